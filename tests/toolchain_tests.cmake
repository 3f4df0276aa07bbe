# Compilers, header tracing, linkers and archivers: real gcc, clang, as, ld,
# ar, ranlib and make on a generated project under the preloaded library,
# writing into databases made from the shipped schema; the parsers and the
# dependency-file and linker-script readers called directly on edge cases.
find_package(SQLite3 REQUIRED)

# Stands in for a compiler proper: shows what the second run of header
# tracing receives.
add_executable(ziv_fake_cc1 toolchain/fake_cc1.cpp)

add_executable(ziv_toolchain_tests toolchain/test_toolchain_build.cpp toolchain/test_hdeps_process.cpp)
target_link_libraries(ziv_toolchain_tests PRIVATE ziv_test_support SQLite::SQLite3 GTest::gtest_main)
target_compile_definitions(ziv_toolchain_tests PRIVATE
  ZIV_LIB_PATH="$<TARGET_FILE:ziv_env>"
  ZIV_FAKE_CC1="$<TARGET_FILE:ziv_fake_cc1>"
  ZIV_SCHEMA_PATH="${PROJECT_SOURCE_DIR}/src/db/ziv_schema.sql")
add_dependencies(ziv_toolchain_tests ziv_env ziv_fake_cc1)
gtest_discover_tests(ziv_toolchain_tests DISCOVERY_TIMEOUT 30)

# The parsers and readers called directly; the library is linked, tracing
# stays off in the test process.
add_executable(ziv_parser_tests toolchain/test_parsers.cpp)
target_include_directories(ziv_parser_tests PRIVATE ${PROJECT_SOURCE_DIR}/src/include)
target_link_libraries(ziv_parser_tests PRIVATE ziv_env ziv_test_support GTest::gtest_main)
gtest_discover_tests(ziv_parser_tests DISCOVERY_TIMEOUT 30)
foreach(t ziv_fake_cc1 ziv_toolchain_tests ziv_parser_tests)
  target_compile_options(${t} PRIVATE -Wall -Wextra)
endforeach()
