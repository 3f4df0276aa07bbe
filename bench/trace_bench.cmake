# Tracing a build of many short processes against the same build untraced,
# run by hand: build/bench/bench_trace [--rounds R] [--processes N]
find_package(SQLite3 REQUIRED)
add_executable(bench_trace bench_trace.cpp)
target_link_libraries(bench_trace PRIVATE SQLite::SQLite3)
target_compile_options(bench_trace PRIVATE -O2 -Wall -Wextra)
target_compile_definitions(bench_trace PRIVATE
  ZIV_BENCH_LIB="$<TARGET_FILE:ziv_env>"
  ZIV_SCHEMA_PATH="${PROJECT_SOURCE_DIR}/src/db/ziv_schema.sql")
add_dependencies(bench_trace ziv_env)

# One strip / objcopy / cp command traced against the same command
# untraced, run by hand: build/bench/bench_binutils [--runs N]
add_executable(bench_binutils bench_binutils.cpp)
target_link_libraries(bench_binutils PRIVATE SQLite::SQLite3)
target_compile_options(bench_binutils PRIVATE -O2 -Wall -Wextra)
target_compile_definitions(bench_binutils PRIVATE
  ZIV_BENCH_LIB="$<TARGET_FILE:ziv_env>"
  ZIV_SCHEMA_PATH="${PROJECT_SOURCE_DIR}/src/db/ziv_schema.sql")
add_dependencies(bench_binutils ziv_env)

# One traced command under this build of the library and under another,
# run by hand: build/bench/bench_traced_command --other /path/libziv_env.so
add_executable(bench_traced_command bench_traced_command.cpp)
target_link_libraries(bench_traced_command PRIVATE SQLite::SQLite3)
target_compile_options(bench_traced_command PRIVATE -O2 -Wall -Wextra)
target_compile_definitions(bench_traced_command PRIVATE
  ZIV_BENCH_LIB="$<TARGET_FILE:ziv_env>"
  ZIV_SCHEMA_PATH="${PROJECT_SOURCE_DIR}/src/db/ziv_schema.sql")
add_dependencies(bench_traced_command ziv_env)
