# Process ancestry, argument vectors and response files.

# The scanner and the response-file code are pure apart from the trace info
# lists; both are compiled straight into the unit tests.
add_executable(ziv_cmdline_tests
  unit/test_cmdline.cpp
  ${PROJECT_SOURCE_DIR}/src/trace/parsers/ziv_cmdline.cpp
  ${PROJECT_SOURCE_DIR}/src/trace/ziv_trace_info.cpp
)
target_link_libraries(ziv_cmdline_tests PRIVATE ziv_core_static ziv_test_support GTest::gtest_main)
target_compile_options(ziv_cmdline_tests PRIVATE -Wall -Wextra)
gtest_discover_tests(ziv_cmdline_tests DISCOVERY_TIMEOUT 30)

# The probe asks the preloaded library about its parent and ancestors; it is
# also a parent of any chosen name ("spawn").
add_executable(ziv_process_tests preload/test_process.cpp)
target_include_directories(ziv_process_tests PRIVATE preload)
target_link_libraries(ziv_process_tests PRIVATE ziv_test_support GTest::gtest_main)
target_compile_options(ziv_process_tests PRIVATE -Wall -Wextra)
target_compile_definitions(ziv_process_tests PRIVATE
  ZIV_LIB_PATH="$<TARGET_FILE:ziv_env>"
  ZIV_PROBE_PATH="$<TARGET_FILE:ziv_probe>")
add_dependencies(ziv_process_tests ziv_env ziv_probe)
gtest_discover_tests(ziv_process_tests DISCOVERY_TIMEOUT 30)
