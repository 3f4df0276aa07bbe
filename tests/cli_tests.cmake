# The kalvitrex front end: pure logic in-process, the program itself on
# databases filled by hand, and real builds run under `kalvitrex run`.
find_package(SQLite3 REQUIRED)

add_executable(kalvitrex_unit_tests cli/test_cli_units.cpp)
target_link_libraries(kalvitrex_unit_tests PRIVATE kalvitrex_core GTest::gtest_main)
gtest_discover_tests(kalvitrex_unit_tests DISCOVERY_TIMEOUT 30)

add_executable(kalvitrex_tests
  cli/test_cli_queries.cpp
  cli/test_cli_run.cpp
  cli/test_cli_build.cpp
)
target_link_libraries(kalvitrex_tests PRIVATE ziv_test_support SQLite::SQLite3 GTest::gtest_main)
target_compile_definitions(kalvitrex_tests PRIVATE
  KVX_PROGRAM="$<TARGET_FILE:kalvitrex>"
  KVX_LIB_PATH="$<TARGET_FILE:ziv_env>"
  KVX_SCHEMA_PATH="${PROJECT_SOURCE_DIR}/src/db/ziv_schema.sql"
  KVX_BUILD_DIR="${PROJECT_BINARY_DIR}")
add_dependencies(kalvitrex_tests kalvitrex ziv_env)
gtest_discover_tests(kalvitrex_tests DISCOVERY_TIMEOUT 30)
