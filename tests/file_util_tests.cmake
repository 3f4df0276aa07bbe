# File identification: unit tests of the pure logic, and real processes
# under the library for what starts or replaces programs.
ziv_add_test_program(ziv_file_util_tests
  SOURCES unit/test_file_util.cpp unit/test_sha256.cpp unit/test_file_type.cpp
  LIBS ziv_core_static ziv_test_support)

ziv_add_test_program(ziv_file_util_preload_tests
  SOURCES preload/test_file_util_preload.cpp
  INCLUDES preload
  LIBS ziv_test_support
  DEFS ${ZIV_LIB_DEF} ${ZIV_PROBE_DEF}
  DEPENDS ziv_env ziv_probe)
