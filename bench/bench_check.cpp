// What `kalvitrex check` costs against one plain build of the toolchain
// benchmark's project: check makes two copies of the tree, builds each
// under kalvitrex run with header tracing, compares the trees and reads both
// databases.
//
//   bench_check [--rounds R] [--sources N] [--helpers H] [--jobs J]
//
// Each round runs one plain build (make -jJ, no library) and one check, in
// alternating order, on the clean tree; the figures are medians of wall
// time. The check must find the project reproducible.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_common.h"

using ziv_bench::die;
#include "toolchain_project.h"

namespace {

struct cost {
    double wall_ms;
    double cpu_ms;  // user + system of the whole process tree
};

// What `argv` costs, run in `dir` with its output discarded; dies unless it
// exits with `want`.
cost timed(const std::vector<std::string>& argv, const std::string& dir, int want)
{
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0 || !freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) {
            _exit(126);
        }
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != want) {
        die(argv[0] + std::string(" ") + argv[1] + " exited with " + std::to_string(WEXITSTATUS(status)));
    }
    auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    return {std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count(),
            ms(usage.ru_utime) + ms(usage.ru_stime)};
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = 3, sources = 210, helpers = 12, jobs = 2;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string opt = argv[i];
        int v = atoi(argv[i + 1]);
        if (opt == "--rounds") {
            rounds = std::max(1, v);
        } else if (opt == "--sources") {
            sources = std::max(4, v);
        } else if (opt == "--helpers") {
            helpers = std::max(0, v);
        } else if (opt == "--jobs") {
            jobs = std::max(1, v);
        } else {
            die("unknown option " + opt);
        }
    }
    char pattern[] = "/tmp/ziv_bench_check.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        die("mkdtemp");
    }
    const std::string root = std::string(pattern) + "/project";
    mkdir(root.c_str(), 0755);
    ziv_project::shape shape{sources * 3 / 4, sources - sources * 3 / 4, helpers};
    ziv_project::write(root, shape);
    const std::vector<std::string> make = {"make", "-j" + std::to_string(jobs), "-s", "CC=gcc"};
    std::vector<std::string> check = {KVX_BENCH_PROGRAM, "check", "--"};
    check.insert(check.end(), make.begin(), make.end());
    auto clean = [&] {
        for (const std::string& f : ziv_project::outputs(shape)) {
            std::remove((root + "/" + f).c_str());
        }
    };

    std::vector<double> wall[2], cpu[2];  // plain, check
    timed(make, root, 0);  // warms the page cache
    for (int round = 0; round < rounds; ++round) {
        for (int k = 0; k < 2; ++k) {
            clean();
            int m = (k + round) % 2;
            cost c = timed(m == 0 ? make : check, root, 0);
            wall[m].push_back(c.wall_ms);
            cpu[m].push_back(c.cpu_ms);
        }
    }
    printf("project: %d C sources, %d helpers per library source, make -j%d, %d rounds\n",
           shape.lib_sources + shape.shared_sources, helpers, jobs, rounds);
    const char* names[2] = {"plain build", "kalvitrex check"};
    for (int m = 0; m < 2; ++m) {
        printf("  %-16s median %8.1f ms wall, %8.1f ms cpu\n", names[m], ziv_bench::median(wall[m]),
               ziv_bench::median(cpu[m]));
    }
    printf("ratio check/plain build: %.3f wall, %.3f cpu (two traced builds with header tracing, the copies, "
           "the comparison)\n",
           ziv_bench::median(wall[1]) / ziv_bench::median(wall[0]), ziv_bench::median(cpu[1]) / ziv_bench::median(cpu[0]));
    std::string cleanup = "rm -rf '" + std::string(pattern) + "'";
    if (system(cleanup.c_str()) != 0) {
        fprintf(stderr, "bench_check: could not remove %s\n", pattern);
    }
    return 0;
}
