# Time, file status, open and directory interposers against the same loops without
# the library, run by hand (not a test): bench_fs [--rounds R] [--only NAME].
add_executable(bench_fs bench_fs.cpp)
target_compile_options(bench_fs PRIVATE -O2 -Wall -Wextra)
target_compile_definitions(bench_fs PRIVATE ZIV_BENCH_LIB="$<TARGET_FILE:ziv_env>")
add_dependencies(bench_fs ziv_env)
