# The trace entry end to end: real make and sh running a probe under tool
# names (the ARM and IAR tools among them), with the library preloaded,
# writing into real SQLite databases made from the shipped schema.
find_package(SQLite3 REQUIRED)

add_executable(ziv_trace_probe trace/trace_probe.cpp)
target_include_directories(ziv_trace_probe PRIVATE ${PROJECT_SOURCE_DIR}/src/include)
target_link_libraries(ziv_trace_probe PRIVATE dl)
target_compile_options(ziv_trace_probe PRIVATE -Wall -Wextra)

# Starts a program with an environment of its own, through each C library call.
add_executable(ziv_trace_spawner trace/trace_spawner.cpp)

# Stands in for the tool parsers: installed into chosen rows of the table.
add_library(ziv_trace_parser_plugin SHARED trace/trace_parser_plugin.cpp)
target_include_directories(ziv_trace_parser_plugin PRIVATE ${PROJECT_SOURCE_DIR}/src/include)
target_link_libraries(ziv_trace_parser_plugin PRIVATE dl)

ziv_add_test_program(ziv_trace_tests
  SOURCES trace/test_trace_build.cpp trace/test_trace_dispatch.cpp trace/test_trace_failures.cpp
          trace/test_trace_embedded.cpp trace/test_trace_children.cpp
  LIBS ziv_test_support SQLite::SQLite3
  DEFS ${ZIV_LIB_DEF} [[ZIV_TRACE_PROBE="$<TARGET_FILE:ziv_trace_probe>"]]
       [[ZIV_TRACE_PLUGIN="$<TARGET_FILE:ziv_trace_parser_plugin>"]] ${ZIV_SCHEMA_DEF}
       [[ZIV_TRACE_SPAWNER="$<TARGET_FILE:ziv_trace_spawner>"]]
  DEPENDS ziv_env ziv_trace_probe ziv_trace_parser_plugin ziv_trace_spawner)
