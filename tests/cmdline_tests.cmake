# Process ancestry, argument vectors and response files.

# The scanner and the response-file code are pure apart from the trace info
# lists; both are compiled straight into the unit tests.
ziv_add_test_program(ziv_cmdline_tests
  SOURCES unit/test_cmdline.cpp ${PROJECT_SOURCE_DIR}/src/trace/parsers/ziv_cmdline.cpp
          ${PROJECT_SOURCE_DIR}/src/trace/ziv_trace_info.cpp
  LIBS ziv_core_static ziv_test_support)

# The probe asks the preloaded library about its parent and ancestors; it is
# also a parent of any chosen name ("spawn").
ziv_add_test_program(ziv_process_tests
  SOURCES preload/test_process.cpp
  INCLUDES preload
  LIBS ziv_test_support
  DEFS ${ZIV_LIB_DEF} ${ZIV_PROBE_DEF}
  DEPENDS ziv_env ziv_probe)
