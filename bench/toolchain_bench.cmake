# A real C build of the generated project (>= 200 sources) by make and gcc,
# untraced, traced, and traced with header tracing, run by hand:
#   build/bench/bench_toolchain [--rounds R] [--sources N] [--jobs J] [--cc gcc]
ziv_trace_bench(bench_toolchain)
target_include_directories(bench_toolchain PRIVATE ${PROJECT_SOURCE_DIR}/tests/toolchain)

# What kalvitrex check costs against one plain build of the same project:
#   build/bench/bench_check [--rounds R] [--sources N] [--helpers H] [--jobs J]
add_executable(bench_check bench_check.cpp)
target_include_directories(bench_check PRIVATE ${PROJECT_SOURCE_DIR}/tests/toolchain)
target_compile_options(bench_check PRIVATE -O2 -Wall -Wextra)
target_compile_definitions(bench_check PRIVATE KVX_BENCH_PROGRAM="$<TARGET_FILE:kalvitrex>")
add_dependencies(bench_check kalvitrex)
