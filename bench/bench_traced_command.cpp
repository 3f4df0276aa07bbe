// Cost of one traced command, from its start to its exit, under two builds
// of the library: the one of this tree and another (an older one, say).
// The command is "gcc -c a.c -o a.o" played by this binary, so that both
// builds record the same rows; each build writes into a database of its
// own, made from the schema.
//
//   bench_traced_command --other LIB [--lib LIB] [--rounds R] [--per-round K]
//
// Each round starts the command K times under each build, alternating which
// goes first; the figures are medians of the per-round means, and of the
// per-round differences (this build minus the other).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_common.h"

using ziv_bench::die;


namespace {

// Started as gcc: write the -o file, nothing else.
int act_as_compiler(int argc, char** argv)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (strcmp(argv[i], "-o") == 0) {
            FILE* out = fopen(argv[i + 1], "w");
            if (out == nullptr || fputs("object\n", out) < 0 || fclose(out) != 0) {
                return 1;
            }
        }
    }
    return 0;
}

// One start to exit, in microseconds.
double traced_start(const std::string& dir, const std::string& lib, const std::string& db)
{
    double ms = ziv_bench::run_quiet({dir + "/bin/gcc", "-c", "a.c", "-o", "a.o"},
                                     {"PATH=" + dir + "/bin:/usr/bin:/bin", "LC_ALL=C", "LD_PRELOAD=" + lib,
                                      "ZIV_TRACE_ENABLE=yes", "ZIV_TRACE_OUTPUT=" + db},
                                     dir);
    if (ms < 0) {
        die("the traced command failed under " + lib);
    }
    return ms * 1000;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* self = strrchr(argv[0], '/') != nullptr ? strrchr(argv[0], '/') + 1 : argv[0];
    if (strcmp(self, "gcc") == 0) {
        return act_as_compiler(argc, argv);
    }
    int rounds = 200;
    int per_round = 5;
    std::string libs[2] = {ZIV_BENCH_LIB, ""};
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--rounds") == 0) {
            rounds = atoi(argv[i + 1]);
        } else if (strcmp(argv[i], "--per-round") == 0) {
            per_round = atoi(argv[i + 1]);
        } else if (strcmp(argv[i], "--lib") == 0) {
            libs[0] = argv[i + 1];
        } else if (strcmp(argv[i], "--other") == 0) {
            libs[1] = argv[i + 1];
        } else {
            die(std::string("unknown option ") + argv[i]);
        }
    }
    if (libs[1].empty() || libs[0][0] != '/' || libs[1][0] != '/' || rounds < 1 || per_round < 1) {
        die("usage: bench_traced_command --other /LIB [--lib /LIB] [--rounds R] [--per-round K]");
    }

    char pattern[] = "/tmp/bench_traced_command.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        die("mkdtemp");
    }
    const std::string dir = pattern;
    char exe[4096] = {};
    if (mkdir((dir + "/bin").c_str(), 0755) != 0 || readlink("/proc/self/exe", exe, sizeof exe - 1) <= 0 ||
        symlink(exe, (dir + "/bin/gcc").c_str()) != 0) {
        die("cannot set up " + dir);
    }
    FILE* source = fopen((dir + "/a.c").c_str(), "w");
    if (source == nullptr || fputs("int a;\n", source) < 0 || fclose(source) != 0) {
        die("cannot write a.c");
    }
    const std::string dbs[2] = {dir + "/this.db", dir + "/other.db"};
    for (int b = 0; b < 2; ++b) {
        if (!ziv_bench::make_db(dbs[b])) {
            die("cannot create " + dbs[b]);
        }
        traced_start(dir, libs[b], dbs[b]);  // warm the caches
    }

    std::vector<double> means[2];
    std::vector<double> differences;
    for (int r = 0; r < rounds; ++r) {
        double sum[2] = {0, 0};
        for (int k = 0; k < 2; ++k) {
            int b = (r + k) % 2;
            for (int i = 0; i < per_round; ++i) {
                sum[b] += traced_start(dir, libs[b], dbs[b]);
            }
        }
        for (int b = 0; b < 2; ++b) {
            means[b].push_back(sum[b] / per_round);
        }
        differences.push_back(means[0].back() - means[1].back());
    }
    printf("bench_traced_command: gcc -c a.c -o a.o traced, %d rounds of %d starts per build, medians\n", rounds,
           per_round);
    for (int b = 0; b < 2; ++b) {
        printf("  %-6s %8.1f us per command  (%ld commands with a run time)  %s\n", b == 0 ? "this" : "other",
               ziv_bench::median(means[b]), ziv_bench::query_number(dbs[b], "select count(*) from build_command_table where runtime >= 0"), libs[b].c_str());
    }
    printf("  this - other: %+.1f us per command (ratio %.3f)\n", ziv_bench::median(differences),
           ziv_bench::median(means[0]) / ziv_bench::median(means[1]));
    for (const char* name : {"/this.db", "/this.db-wal", "/this.db-shm", "/other.db", "/other.db-wal",
                             "/other.db-shm", "/a.c", "/a.o", "/bin/gcc", "/bin"}) {
        remove((dir + name).c_str());
    }
    rmdir(dir.c_str());
    return 0;
}
