# The trace entry end to end: real make and sh running a probe under tool
# names, with the library preloaded, writing into real SQLite databases made
# from the shipped schema.
find_package(SQLite3 REQUIRED)

add_executable(ziv_trace_probe trace/trace_probe.cpp)
target_include_directories(ziv_trace_probe PRIVATE ${PROJECT_SOURCE_DIR}/src/include)
target_link_libraries(ziv_trace_probe PRIVATE dl)

# Stands in for the tool parsers: installed into chosen rows of the table.
add_library(ziv_trace_parser_plugin SHARED trace/trace_parser_plugin.cpp)
target_include_directories(ziv_trace_parser_plugin PRIVATE ${PROJECT_SOURCE_DIR}/src/include)
target_link_libraries(ziv_trace_parser_plugin PRIVATE dl)

add_executable(ziv_trace_tests
  trace/test_trace_build.cpp
  trace/test_trace_dispatch.cpp
  trace/test_trace_failures.cpp
)
target_link_libraries(ziv_trace_tests PRIVATE ziv_test_support SQLite::SQLite3 GTest::gtest_main)
target_compile_definitions(ziv_trace_tests PRIVATE
  ZIV_LIB_PATH="$<TARGET_FILE:ziv_env>"
  ZIV_TRACE_PROBE="$<TARGET_FILE:ziv_trace_probe>"
  ZIV_TRACE_PLUGIN="$<TARGET_FILE:ziv_trace_parser_plugin>"
  ZIV_SCHEMA_PATH="${PROJECT_SOURCE_DIR}/src/db/ziv_schema.sql")
add_dependencies(ziv_trace_tests ziv_env ziv_trace_probe ziv_trace_parser_plugin)
gtest_discover_tests(ziv_trace_tests DISCOVERY_TIMEOUT 30)
