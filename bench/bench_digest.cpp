// Digest throughput: the library's in-process SHA-256 against the system's
// sha256sum on the same file, and the per-file cost of a digest taken the
// old way (a shell running sha256sum into a capture file) against in-process.
//
//   bench_digest [--size MiB] [--rounds R] [--small N] [--dir DIR]
//
// Prints times and ratios (library / sha256sum); exit status 0 after a
// completed run whatever the ratios, 2 on any error.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_common.h"
#include "ziv_file_util.h"

using ziv_bench::die;

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0)
{
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// Runs sha256sum on the file with its output in `digest`; returns seconds.
double run_sha256sum(const std::string& path, std::string* digest)
{
    int fds[2];
    if (pipe(fds) != 0) die("pipe failed");
    auto t0 = clock_type::now();
    pid_t child = fork();
    if (child < 0) die("fork failed");
    if (child == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execl("/usr/bin/sha256sum", "sha256sum", "--", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0) out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    double s = seconds_since(t0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || out.size() < 64) die("sha256sum failed on " + path);
    *digest = out.substr(0, 64);
    return s;
}

double run_library(const std::string& path, ziv_sha256_impl impl, std::string* digest)
{
    char out[ZIV_SHA256_BUF_SIZE];
    auto t0 = clock_type::now();
    int rc = ziv_sha256_file_hex(path.c_str(), out, sizeof(out), impl);
    double s = seconds_since(t0);
    if (rc != 0) die("in-process digest failed on " + path);
    *digest = out;
    return s;
}

// The former way: a shell line with a capture file, one per digest.
double run_shell_way(const std::string& path, std::string* digest)
{
    char out[ZIV_SHA256_BUF_SIZE] = {};
    std::string cmd = "LD_PRELOAD= sha256sum " + path;
    auto t0 = clock_type::now();
    int rc = ziv_get_cmd_callback_from_tmpfile(cmd.c_str(), out, 64);
    double s = seconds_since(t0);
    if (rc != 1) die("shell digest failed on " + path);
    *digest = std::string(out, 64);
    return s;
}

void write_random(const std::string& path, size_t bytes, unsigned seed)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) die("cannot create " + path);
    std::mt19937_64 gen(seed);
    std::vector<uint64_t> block(1 << 17);
    size_t left = bytes;
    while (left > 0) {
        for (auto& w : block) w = gen();
        size_t chunk = std::min(left, block.size() * sizeof(uint64_t));
        if (write(fd, block.data(), chunk) != static_cast<ssize_t>(chunk)) die("write failed");
        left -= chunk;
    }
    close(fd);
}

}  // namespace

int main(int argc, char** argv)
{
    size_t size_mib = 100;
    int rounds = 5;
    int small = 200;
    std::string dir = "/tmp";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) die("missing value for " + a);
        if (a == "--size") size_mib = std::strtoul(argv[++i], nullptr, 10);
        else if (a == "--rounds") rounds = std::atoi(argv[++i]);
        else if (a == "--small") small = std::atoi(argv[++i]);
        else if (a == "--dir") dir = argv[++i];
        else die("unknown option " + a);
    }
    if (size_mib == 0 || rounds < 1 || small < 1) die("bad option value");

    std::string big = dir + "/bench_digest_big." + std::to_string(getpid());
    std::string little = dir + "/bench_digest_small." + std::to_string(getpid());
    write_random(big, size_mib << 20, 1);
    write_random(little, 4096, 2);

    // Warm the page cache so every run reads from memory.
    std::string want, got;
    run_sha256sum(big, &want);

    std::vector<ziv_sha256_impl> impls = {ziv_sha256_impl::automatic, ziv_sha256_impl::portable};
    const char* names[] = {"in-process (automatic)", "in-process (portable)"};
    std::vector<double> tool_times, lib_times[2];
    for (int r = 0; r < rounds; ++r) {
        tool_times.push_back(run_sha256sum(big, &got));
        if (got != want) die("sha256sum changed its mind");
        for (size_t k = 0; k < impls.size(); ++k) {
            lib_times[k].push_back(run_library(big, impls[k], &got));
            if (got != want) die(std::string(names[k]) + " digest differs from sha256sum: " + got + " vs " + want);
        }
    }
    double tool = ziv_bench::median(tool_times);
    double mib = static_cast<double>(size_mib);
    std::printf("file: %zu MiB, %d rounds, medians; SHA instructions %s\n", size_mib, rounds,
                ziv_sha256_have_shani() ? "available" : "not available (automatic = portable)");
    std::printf("  %-24s %8.1f ms  %7.1f MiB/s\n", "sha256sum", tool * 1e3, mib / tool);
    for (size_t k = 0; k < impls.size(); ++k) {
        double lib = ziv_bench::median(lib_times[k]);
        std::printf("  %-24s %8.1f ms  %7.1f MiB/s  ratio library/sha256sum %.2f\n", names[k], lib * 1e3, mib / lib,
                    lib / tool);
    }

    // Small files: what one digest of a source file costs.
    std::string small_want;
    run_sha256sum(little, &small_want);
    std::vector<double> shell_times, inproc_times;
    for (int i = 0; i < small; ++i) {
        shell_times.push_back(run_shell_way(little, &got));
        if (got != small_want) die("shell digest differs");
        inproc_times.push_back(run_library(little, ziv_sha256_impl::automatic, &got));
        if (got != small_want) die("in-process digest differs");
    }
    double shell = ziv_bench::median(shell_times);
    double inproc = ziv_bench::median(inproc_times);
    std::printf("4 KiB file, %d digests, medians:\n", small);
    std::printf("  %-24s %8.1f us\n", "shell + sha256sum", shell * 1e6);
    std::printf("  %-24s %8.1f us  ratio in-process/shell %.4f\n", "in-process", inproc * 1e6, inproc / shell);

    unlink(big.c_str());
    unlink(little.c_str());
    return 0;
}
