# Per-command recording cost in a small and a large build database, run by
# hand: build/bench/bench_db_record
add_executable(bench_db_record bench_db_record.cpp)
target_include_directories(bench_db_record PRIVATE ${PROJECT_SOURCE_DIR}/src/include)
target_link_libraries(bench_db_record PRIVATE ziv_env SQLite::SQLite3)
target_compile_options(bench_db_record PRIVATE -O2 -Wall -Wextra)
target_compile_definitions(bench_db_record PRIVATE ZIV_SCHEMA_PATH="${PROJECT_SOURCE_DIR}/src/db/ziv_schema.sql")
