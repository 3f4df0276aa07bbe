# Time, file status, directory order and tree walk: the probe started under
# chosen names, and real tools (ls, tar) under the library.
# The probe's own library, whose constructor runs before the preloaded one's.
add_library(fs_early SHARED probe/fs_early.c)
target_link_libraries(ziv_probe PRIVATE fs_early pthread)

# A library preloaded after ours whose gettimeofday fails.
add_library(fs_fail_next SHARED probe/fs_fail_next.c)

ziv_add_test_program(ziv_fs_tests
  SOURCES preload/test_time.cpp preload/test_stat.cpp preload/test_readdir.cpp
  INCLUDES preload
  LIBS ziv_test_support
  DEFS ${ZIV_LIB_DEF} ${ZIV_PROBE_DEF} [[ZIV_FAIL_NEXT_PATH="$<TARGET_FILE:fs_fail_next>"]]
  DEPENDS ziv_env ziv_probe fs_fail_next)
