# Time, file status, directory order and tree walk: the probe started under
# chosen names, and real tools (ls, tar) under the library.
# The probe's own library, whose constructor runs before the preloaded one's.
add_library(fs_early SHARED probe/fs_early.c)
target_link_libraries(ziv_probe PRIVATE fs_early pthread)

# A library preloaded after ours whose gettimeofday fails.
add_library(fs_fail_next SHARED probe/fs_fail_next.c)

add_executable(ziv_fs_tests
  preload/test_time.cpp
  preload/test_stat.cpp
  preload/test_readdir.cpp
)
target_include_directories(ziv_fs_tests PRIVATE preload)
target_link_libraries(ziv_fs_tests PRIVATE ziv_test_support GTest::gtest_main)
target_compile_definitions(ziv_fs_tests PRIVATE
  ZIV_LIB_PATH="$<TARGET_FILE:ziv_env>"
  ZIV_PROBE_PATH="$<TARGET_FILE:ziv_probe>"
  ZIV_FAIL_NEXT_PATH="$<TARGET_FILE:fs_fail_next>")
add_dependencies(ziv_fs_tests ziv_env ziv_probe fs_fail_next)
gtest_discover_tests(ziv_fs_tests DISCOVERY_TIMEOUT 30)
