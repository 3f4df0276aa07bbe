# Identity, host name, system information, random sources and their record
# and replay, seen by the probe.
add_executable(ziv_identity_tests
  preload/test_identity.cpp
  preload/test_random.cpp
  preload/test_record.cpp
)
target_include_directories(ziv_identity_tests PRIVATE preload)
target_link_libraries(ziv_identity_tests PRIVATE ziv_test_support GTest::gtest_main)
target_compile_definitions(ziv_identity_tests PRIVATE
  ZIV_LIB_PATH="$<TARGET_FILE:ziv_env>"
  ZIV_PROBE_PATH="$<TARGET_FILE:ziv_probe>")
add_dependencies(ziv_identity_tests ziv_env ziv_probe)
gtest_discover_tests(ziv_identity_tests DISCOVERY_TIMEOUT 30)
