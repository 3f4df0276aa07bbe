// Cost of the time, file status, open and directory interposers: the same loop in
// a child process with and without the library preloaded, in alternating
// rounds of one run; the figure is the median of the per-round ratios.
//
//   bench_fs [--rounds R] [--only NAME] [LIBRARY]
//
// Each loop is timed inside the child, in CPU time, with the raw clock
// system call, so neither process start-up nor the interposed clock is in
// the figure.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
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

constexpr const char* kName = "bench_fs";

// CPU time of the calling thread: time spent while other processes had the
// CPU is not counted, which on a shared machine is most of the noise.
double now_ns()
{
    struct timespec ts {};
    syscall(SYS_clock_gettime, CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// ---- the child: one loop, its time on stdout ---------------------------

int child(const std::string& loop, const std::string& target, long count)
{
    long sink = 0;
    double start = now_ns();
    if (loop == "stat") {
        struct stat s {};
        for (long i = 0; i < count; ++i) {
            sink += stat(target.c_str(), &s);
        }
    } else if (loop == "open") {
        for (long i = 0; i < count; ++i) {
            int fd = open(target.c_str(), O_RDONLY);
            sink += fd;
            close(fd);
        }
    } else if (loop == "clock_gettime") {
        struct timespec ts {};
        for (long i = 0; i < count; ++i) {
            clock_gettime(CLOCK_REALTIME, &ts);
            sink += ts.tv_nsec;
        }
    } else if (loop == "time") {
        for (long i = 0; i < count; ++i) {
            sink += time(nullptr);
        }
    } else if (loop == "readdir") {
        for (long i = 0; i < count; ++i) {
            DIR* d = opendir(target.c_str());
            if (d == nullptr) {
                return 2;
            }
            long n = 0;
            while (readdir(d) != nullptr) {
                ++n;
            }
            closedir(d);
            sink += n;
        }
    } else {
        return 2;
    }
    double elapsed = now_ns() - start;
    // Keeps the loops' results alive.
    std::printf("%.0f %ld\n", elapsed, sink & 1);
    return 0;
}

// ---- the parent -----------------------------------------------------------

struct scenario {
    const char* name;
    const char* loop;
    long count;                    // calls (listings) per child
    int rounds_factor;             // rounds, relative to --rounds
    std::vector<std::string> env;  // the library's configuration
    double target;                 // 0: report only
};

double run_child(const std::string& self, const scenario& s, const std::string& target, const std::string& library,
                 bool preload)
{
    std::vector<std::string> env = {"PATH=/usr/bin:/bin", "LC_ALL=C"};
    if (preload) {
        env.push_back("LD_PRELOAD=" + library);
    }
    // The configuration is there in both runs: only LD_PRELOAD differs.
    env.insert(env.end(), s.env.begin(), s.env.end());
    std::string count = std::to_string(s.count);
    std::string out;
    if (!ziv_bench::child_output(self, {kName, "--child", s.loop, target, count}, env, &out)) {
        std::fprintf(stderr, "child for %s failed\n", s.name);
        std::exit(2);
    }
    return std::atof(out.c_str());
}

std::string make_big_dir(const std::string& base, int entries)
{
    std::string dir = base + "/big";
    mkdir(dir.c_str(), 0755);
    for (int i = 0; i < entries; ++i) {
        std::string path = dir + "/entry-" + std::to_string(i * 7919 % 100003);
        int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
        if (fd >= 0) {
            close(fd);
        }
    }
    return dir;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--child") == 0) {
        return child(argv[2], argv[3], std::atol(argv[4]));
    }
    int rounds = 10;
    std::string only;
    std::string library = ZIV_BENCH_LIB;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc) {
            rounds = std::atoi(argv[++i]);
        } else if (a == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else {
            library = a;
        }
    }
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
        std::perror("readlink /proc/self/exe");
        return 2;
    }

    char base_template[] = "/tmp/ziv_bench_fs.XXXXXX";
    std::string base = mkdtemp(base_template);
    std::string file = base + "/file";
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0644));
    std::string big = make_big_dir(base, 10000);

    // Lists that name other programs, as in a real build environment.
    std::vector<std::string> others = {"ZIV_FILE_TIME_LIST=tar cpio", "ZIV_UIDLIST=tar", "ZIV_INOLIST=tar",
                                       "ZIV_DEVIDLIST=tar", "ZIV_DIRSIZELIST=tar", "ZIV_TIMELIST=tar",
                                       "ZIV_CGTLIST=tar", "ZIV_DIRLIST=tar"};
    std::string me = kName;
    std::vector<scenario> scenarios = {
        // 1,000,000 stat calls per configuration at the default 10 rounds, in
        // short children of 20,000 calls each: the
        // machine's load changes less within a pair.
        {"stat, nothing listed", "stat", 20000, 5, others, 1.03},
        {"stat, all five stat features", "stat", 20000, 5,
         {"ZIV_FILE_TIME_LIST=" + me, "ZIV_UIDLIST=" + me, "ZIV_INOLIST=" + me, "ZIV_DEVIDLIST=" + me,
          "ZIV_DIRSIZELIST=" + me},
         1.10},
        // What every process pays for header tracing from a compiler's
        // opens: the open family's fast path (an open and a close per call).
        {"open+close, nothing listed, header tracing on", "open", 20000, 5,
         [&] {
             std::vector<std::string> env = others;
             env.insert(env.end(), {"ZIV_TRACE_HDEPS=open", "ZIV_TRACE_ENABLE=yes"});
             return env;
         }(),
         1.02},
        {"clock_gettime, off", "clock_gettime", 1000000, 1, others, 0},
        {"clock_gettime, on", "clock_gettime", 1000000, 1, {"ZIV_CGTLIST=" + me}, 0},
        {"time, off", "time", 1000000, 1, others, 0},
        {"time, on", "time", 1000000, 1, {"ZIV_TIMELIST=" + me}, 0},
        {"readdir 10000 entries, ZIV_DIRLIST", "readdir", 2, 1, {"ZIV_DIRLIST=" + me}, 0},
        {"readdir 10000 entries, ZIV_DIRLIST+ZIV_DIRONCELIST", "readdir", 2, 1,
         {"ZIV_DIRLIST=" + me, "ZIV_DIRONCELIST=" + me}, 0},
    };

    std::printf("%-52s %12s %12s %8s  %s\n", "loop", "without ms", "with ms", "ratio", "target");
    for (const scenario& s : scenarios) {
        if (!only.empty() && std::string(s.name).find(only) == std::string::npos) {
            continue;
        }
        std::string target = std::string(s.loop) == "readdir" ? big : file;
        std::vector<double> with, without, ratios;
        for (int r = 0; r < rounds * s.rounds_factor; ++r) {
            // Alternate which runs first, so drifts fall on both alike.
            double a, b;
            if (r % 2 == 0) {
                a = run_child(self, s, target, library, false);
                b = run_child(self, s, target, library, true);
            } else {
                b = run_child(self, s, target, library, true);
                a = run_child(self, s, target, library, false);
            }
            without.push_back(a);
            with.push_back(b);
            ratios.push_back(b / a);
        }
        double ratio = ziv_bench::median(ratios);
        char verdict[64] = "";
        if (s.target > 0) {
            std::snprintf(verdict, sizeof verdict, "<= %.2f %s", s.target, ratio <= s.target ? "met" : "MISSED");
        }
        std::printf("%-52s %12.2f %12.2f %8.3f  %s\n", s.name, ziv_bench::median(without) / 1e6, ziv_bench::median(with) / 1e6, ratio,
                    verdict);
        std::fflush(stdout);
    }
    std::system(("rm -rf '" + base + "'").c_str());
    return 0;
}
