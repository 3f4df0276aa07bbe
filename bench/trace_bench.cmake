# Tracing a build of many short processes against the same build untraced,
# run by hand: build/bench/bench_trace [--rounds R] [--processes N]
ziv_trace_bench(bench_trace)

# One strip / objcopy / cp command traced against the same command
# untraced, run by hand: build/bench/bench_binutils [--runs N]
ziv_trace_bench(bench_binutils)

# One traced command under this build of the library and under another,
# run by hand: build/bench/bench_traced_command --other /path/libziv_env.so
ziv_trace_bench(bench_traced_command)
