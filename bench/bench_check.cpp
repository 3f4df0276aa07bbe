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
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_common.h"
#include "toolchain_project.h"

using ziv_bench::die;

namespace {

struct cost {
    double wall_ms;
    double cpu_ms;  // user + system of the whole process tree
};

// What `argv` costs, run in `dir` with its output and messages discarded;
// dies unless it succeeds.
cost timed(const std::vector<std::string>& argv, const std::string& dir)
{
    // The benchmark's own environment, as a user's shell would pass it.
    static std::vector<std::string> env;
    if (env.empty()) {
        for (char** e = environ; *e != nullptr; ++e) {
            env.emplace_back(*e);
        }
    }
    struct rusage usage {};
    double wall = ziv_bench::run_quiet(argv, env, dir, &usage, true);
    if (wall < 0) {
        die(argv[0] + " " + argv[1] + " failed");
    }
    auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    return {wall, ms(usage.ru_utime) + ms(usage.ru_stime)};
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
    const std::vector<std::string> make = {"/usr/bin/make", "-j" + std::to_string(jobs), "-s", "CC=gcc"};
    std::vector<std::string> check = {KVX_BENCH_PROGRAM, "check", "--"};
    check.insert(check.end(), make.begin(), make.end());
    auto clean = [&] {
        for (const std::string& f : ziv_project::outputs(shape)) {
            std::remove((root + "/" + f).c_str());
        }
    };

    std::vector<double> wall[2], cpu[2];  // plain, check
    timed(make, root);  // warms the page cache
    for (int round = 0; round < rounds; ++round) {
        for (int k = 0; k < 2; ++k) {
            clean();
            int m = (k + round) % 2;
            cost c = timed(m == 0 ? make : check, root);
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
