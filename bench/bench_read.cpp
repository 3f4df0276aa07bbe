// Cost of the read interposer: a child process makes N one-byte reads of a
// regular file, with nothing preloaded, with the library preloaded and the
// program in no random list, and with the program in ZIV_RANDOMLIST.
// Configurations alternate within every round; medians of the processor
// time the child spends in its loop are compared.
//
//   bench_read [--reads N] [--rounds R] [--target X] [LIBRARY]

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_common.h"

#ifndef ZIV_BENCH_LIB
#define ZIV_BENCH_LIB "libziv_env.so"
#endif

namespace {

// The clock through the system call: the library's time interposers must
// not be part of the measurement.
long long now_ns(clockid_t clock)
{
    struct timespec ts {};
    syscall(SYS_clock_gettime, clock, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int child(const char* path, long reads)
{
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        return 2;
    }
    char byte;
    // Processor time of the process: other load on the machine changes when
    // the loop runs, much less what it costs.
    long long start = now_ns(CLOCK_PROCESS_CPUTIME_ID);
    for (long i = 0; i < reads; ++i) {
        if (read(fd, &byte, 1) != 1) {
            return 3;
        }
    }
    long long elapsed = now_ns(CLOCK_PROCESS_CPUTIME_ID) - start;
    close(fd);
    std::printf("%lld\n", elapsed);
    return 0;
}

struct config {
    const char* name;
    bool preload;
    const char* randomlist;
};

// Runs the child once; the processor time of its loop in nanoseconds, or -1.
long long run_child(const std::string& self, const std::string& lib, const config& c, const std::string& file,
                    long reads)
{
    std::string reads_text = std::to_string(reads);
    std::vector<std::string> env_text = {"PATH=/usr/bin:/bin",
                                         "ZIV_TIMELIST=gcc ld",
                                         "ZIV_REPLAYLIST=gcc cc1 python3",
                                         "ZIV_NAMELIST=uname hostname",
                                         std::string("ZIV_RANDOMLIST=gcc cc1 ") + c.randomlist};
    if (c.preload) {
        env_text.push_back("LD_PRELOAD=" + lib);
    }
    std::string out;
    if (!ziv_bench::child_output(self, {"bench_read", "--child", file, reads_text}, env_text, &out)) {
        return -1;
    }
    return std::atoll(out.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0) {
        return child(argv[2], std::atol(argv[3]));
    }
    long reads = 1000000;
    int rounds = 5;
    double target = 1.05;
    std::string lib = ZIV_BENCH_LIB;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--reads" && i + 1 < argc) {
            reads = std::atol(argv[++i]);
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::atoi(argv[++i]);
        } else if (arg == "--target" && i + 1 < argc) {
            target = std::atof(argv[++i]);
        } else if (arg[0] != '-') {
            lib = arg;
        } else {
            std::fprintf(stderr, "usage: bench_read [--reads N] [--rounds R] [--target X] [LIBRARY]\n");
            return 2;
        }
    }
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
        return 2;
    }

    // A regular file as long as the run: every read returns one byte.
    char file[] = "/tmp/ziv_bench_readXXXXXX";
    int fd = mkstemp(file);
    if (fd < 0) {
        return 2;
    }
    std::vector<char> block(1 << 16, 'r');
    for (long left = reads; left > 0; left -= static_cast<long>(block.size())) {
        size_t n = std::min<long>(left, static_cast<long>(block.size()));
        if (write(fd, block.data(), n) != static_cast<ssize_t>(n)) {
            unlink(file);
            return 2;
        }
    }
    close(fd);

    const config configs[] = {
        {"nothing", false, ""},
        {"library, no feature", true, ""},
        {"library, ZIV_RANDOMLIST", true, "bench_read"},
    };
    std::vector<double> times[3];
    // One untimed round warms the page cache and the loader.
    for (const config& c : configs) {
        run_child(self, lib, c, file, reads);
    }
    for (int round = 0; round < rounds; ++round) {
        for (int k = 0; k < 3; ++k) {
            // Rotate the order so that no configuration always runs first.
            const config& c = configs[(k + round) % 3];
            long long t = run_child(self, lib, c, file, reads);
            if (t < 0) {
                std::fprintf(stderr, "child failed (%s)\n", c.name);
                unlink(file);
                return 2;
            }
            times[(k + round) % 3].push_back(t);
        }
    }
    unlink(file);

    double base = ziv_bench::median(times[0]);
    std::printf("%ld one-byte reads of a regular file, %d rounds, medians of the child's processor time\n", reads,
                rounds);
    for (int k = 0; k < 3; ++k) {
        double m = ziv_bench::median(times[k]);
        std::printf("  %-26s %9.1f ms  %6.1f ns/read  ratio %.3f\n", configs[k].name, m / 1e6, m / reads, m / base);
    }
    // Ratios within each round, whose three runs lie close in time, are less
    // exposed to load that comes and goes on a shared machine.
    std::vector<double> paired[3];
    for (int k = 1; k < 3; ++k) {
        for (int round = 0; round < rounds; ++round) {
            paired[k].push_back(static_cast<double>(times[k][round]) / static_cast<double>(times[0][round]));
        }
        std::sort(paired[k].begin(), paired[k].end());
        std::printf("  median of per-round ratios, %-24s %.3f\n", configs[k].name, paired[k][paired[k].size() / 2]);
    }
    double ratio = ziv_bench::median(times[1]) / base;
    std::printf("no feature: ratio %.3f, target at most %.2f: %s\n", ratio, target, ratio <= target ? "met" : "missed");
    return 0;
}
