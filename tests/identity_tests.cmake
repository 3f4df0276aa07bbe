# Identity, host name, system information, random sources and their record
# and replay, seen by the probe.
ziv_add_test_program(ziv_identity_tests
  SOURCES preload/test_identity.cpp preload/test_random.cpp preload/test_record.cpp
  INCLUDES preload
  LIBS ziv_test_support
  DEFS ${ZIV_LIB_DEF} ${ZIV_PROBE_DEF}
  DEPENDS ziv_env ziv_probe)
