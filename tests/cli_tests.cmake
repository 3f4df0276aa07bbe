# The kalvitrex front end: pure logic in-process, the program itself on
# databases filled by hand, and real builds run under `kalvitrex run`.
find_package(SQLite3 REQUIRED)

ziv_add_test_program(kalvitrex_unit_tests
  SOURCES cli/test_cli_units.cpp
  LIBS kalvitrex_core ziv_test_support)

# A time-faking preload of the kind reproducibility checkers use.
add_library(kvx_fake_clock SHARED cli/fake_clock.c)

ziv_add_test_program(kalvitrex_tests
  SOURCES cli/test_cli_queries.cpp cli/test_cli_run.cpp cli/test_cli_build.cpp cli/test_cli_check.cpp
          cli/test_cli_stamps.cpp
  LIBS ziv_test_support SQLite::SQLite3
  DEFS [[KVX_PROGRAM="$<TARGET_FILE:kalvitrex>"]] [[KVX_LIB_PATH="$<TARGET_FILE:ziv_env>"]]
       [[KVX_FAKE_CLOCK="$<TARGET_FILE:kvx_fake_clock>"]]
       "KVX_SCHEMA_PATH=\"${PROJECT_SOURCE_DIR}/src/db/ziv_schema.sql\"" "KVX_BUILD_DIR=\"${PROJECT_BINARY_DIR}\""
  DEPENDS kalvitrex ziv_env kvx_fake_clock)
