# The build database and the trace record: a driver linked against the
# library runs its functions on real SQLite files made from the shipped
# schema; the tests read the files back with SQLite itself.
find_package(SQLite3 REQUIRED)

add_executable(ziv_db_driver db/ziv_db_driver.cpp)
target_include_directories(ziv_db_driver PRIVATE ${PROJECT_SOURCE_DIR}/src/include)
target_link_libraries(ziv_db_driver PRIVATE ziv_env dl)

add_executable(ziv_db_tests
  db/test_db_access.cpp
  db/test_db_record.cpp
  db/test_db_concurrency.cpp
)
target_link_libraries(ziv_db_tests PRIVATE ziv_test_support SQLite::SQLite3 GTest::gtest_main pthread)
target_compile_definitions(ziv_db_tests PRIVATE
  ZIV_DB_DRIVER="$<TARGET_FILE:ziv_db_driver>"
  ZIV_LIB_PATH="$<TARGET_FILE:ziv_env>"
  ZIV_SCHEMA_PATH="${PROJECT_SOURCE_DIR}/src/db/ziv_schema.sql")
add_dependencies(ziv_db_tests ziv_db_driver)
gtest_discover_tests(ziv_db_tests DISCOVERY_TIMEOUT 30)
