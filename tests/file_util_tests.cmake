# File identification: unit tests of the pure logic, and real processes
# under the library for what starts or replaces programs.
add_executable(ziv_file_util_tests
  unit/test_file_util.cpp
  unit/test_sha256.cpp
  unit/test_file_type.cpp
)
target_link_libraries(ziv_file_util_tests PRIVATE ziv_core_static ziv_test_support GTest::gtest_main)
target_compile_options(ziv_file_util_tests PRIVATE -Wall -Wextra)
gtest_discover_tests(ziv_file_util_tests DISCOVERY_TIMEOUT 30)

add_executable(ziv_file_util_preload_tests preload/test_file_util_preload.cpp)
target_include_directories(ziv_file_util_preload_tests PRIVATE preload)
target_link_libraries(ziv_file_util_preload_tests PRIVATE ziv_test_support GTest::gtest_main)
target_compile_options(ziv_file_util_preload_tests PRIVATE -Wall -Wextra)
target_compile_definitions(ziv_file_util_preload_tests PRIVATE
  ZIV_LIB_PATH="$<TARGET_FILE:ziv_env>"
  ZIV_PROBE_PATH="$<TARGET_FILE:ziv_probe>")
add_dependencies(ziv_file_util_preload_tests ziv_env ziv_probe)
gtest_discover_tests(ziv_file_util_preload_tests DISCOVERY_TIMEOUT 30)
