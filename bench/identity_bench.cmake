# Read interposer cost benchmark, run by hand (not a test):
#   build/bench/bench_read [--reads N] [--rounds R] [--target X] [LIBRARY]
add_executable(bench_read bench_read.cpp)
target_compile_options(bench_read PRIVATE -O2 -Wall -Wextra)
target_compile_definitions(bench_read PRIVATE ZIV_BENCH_LIB="$<TARGET_FILE:ziv_env>")
add_dependencies(bench_read ziv_env)
