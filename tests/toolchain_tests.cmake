# Compilers, header tracing, linkers and archivers: real gcc, clang, as, ld,
# ar, ranlib and make on a generated project, and a release build with
# patch, nasm and the binary utilities, under the preloaded library,
# writing into databases made from the shipped schema; the parsers and the
# dependency-file and linker-script readers called directly on edge cases.
find_package(SQLite3 REQUIRED)

# Stands in for a compiler proper: shows what the second run of header
# tracing receives.
add_executable(ziv_fake_cc1 toolchain/fake_cc1.cpp)

ziv_add_test_program(ziv_toolchain_tests
  SOURCES toolchain/test_toolchain_build.cpp toolchain/test_hdeps_process.cpp toolchain/test_binutils_build.cpp
  LIBS ziv_test_support SQLite::SQLite3
  DEFS ${ZIV_LIB_DEF} [[ZIV_FAKE_CC1="$<TARGET_FILE:ziv_fake_cc1>"]] ${ZIV_SCHEMA_DEF}
  DEPENDS ziv_env ziv_fake_cc1)

# The parsers and readers called directly; the library is linked, tracing
# stays off in the test process.
ziv_add_test_program(ziv_parser_tests
  SOURCES toolchain/test_parsers.cpp
  INCLUDES ${PROJECT_SOURCE_DIR}/src/include
  LIBS ziv_env ziv_core_static ziv_test_support)
target_compile_options(ziv_fake_cc1 PRIVATE -Wall -Wextra)
