# Digest throughput against sha256sum, run by hand: build/bench/bench_digest
add_executable(bench_digest bench_digest.cpp)
target_link_libraries(bench_digest PRIVATE ziv_core_static)
target_compile_options(bench_digest PRIVATE -O2 -Wall -Wextra)
