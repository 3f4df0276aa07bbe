// Cost of tracing a build of many short processes: make running white-listed
// tools, unknown programs and a few compilers, timed with the library not
// loaded, loaded with tracing off, and tracing into a fresh database.
//
//   bench_trace [--rounds R] [--processes N] [--lib PATH]
//
// --lib times another build of the library (an older one, say) against the
// same tools and database schema.
//
// The same binary stands in for the unknown programs and the compilers
// (started as "genstep" and "gcc" it only writes its "-o" file). Each round
// runs every mode once, in rotating order; the figures are medians.
// A second build made of white-listed tools only shows what an untraced
// process pays: the skip test and nothing else.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench_common.h"

using ziv_bench::die;
using ziv_bench::write_text;


namespace {

// Started under a tool name: write the -o file, nothing else.
int act_as_tool(int argc, char** argv)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (strcmp(argv[i], "-o") == 0) {
            FILE* out = fopen(argv[i + 1], "w");
            if (out == nullptr) {
                return 1;
            }
            fputs("object\n", out);
            fclose(out);
        }
    }
    return 0;
}

// N recipe lines without shell syntax, so make starts each tool itself.
std::string makefile(int processes, bool white_only)
{
    static const char* white[] = {"true", "echo step", "cat in.txt", "sed -n 1p in.txt", "wc -l in.txt"};
    std::string text = ".PHONY: all\nall:\n";
    for (int i = 0; i < processes; ++i) {
        std::string line;
        if (!white_only && i % 17 == 0) {
            line = "gcc -c a.c -o a" + std::to_string(i) + ".o";
        } else if (!white_only && i % 3 == 0) {
            line = "genstep " + std::to_string(i);
        } else {
            line = white[i % 5];
        }
        text += "\t" + line + "\n";
    }
    return text;
}

struct mode {
    const char* name;
    bool preload;
    bool trace;
};

double run_build(const std::string& dir, const std::string& bin, const std::string& lib, const mode& m,
                 const std::string& db_template)
{
    std::string db = dir + "/build.db";
    if (m.trace) {
        write_text(db, ziv_bench::read_text(db_template));
    }
    std::vector<std::string> env = {"PATH=" + bin + ":/usr/bin:/bin", "LC_ALL=C"};
    if (m.preload) {
        env.push_back("LD_PRELOAD=" + lib);
    }
    if (m.trace) {
        env.push_back("ZIV_TRACE_ENABLE=yes");
        env.push_back("ZIV_TRACE_OUTPUT=" + db);
    }
    double ms = ziv_bench::run_quiet({"/usr/bin/make", "-s", "-C", dir}, env);
    if (ms < 0) {
        die(std::string("build failed in mode ") + m.name);
    }
    return ms / 1000;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* self = strrchr(argv[0], '/') != nullptr ? strrchr(argv[0], '/') + 1 : argv[0];
    if (strcmp(self, "bench_trace") != 0) {
        return act_as_tool(argc, argv);
    }
    int rounds = 5;
    int processes = 500;
    std::string lib = ZIV_BENCH_LIB;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--rounds") == 0) {
            rounds = atoi(argv[i + 1]);
        } else if (strcmp(argv[i], "--processes") == 0) {
            processes = atoi(argv[i + 1]);
        } else if (strcmp(argv[i], "--lib") == 0) {
            lib = argv[i + 1];
        } else {
            die(std::string("unknown option ") + argv[i]);
        }
    }

    char pattern[] = "/tmp/bench_trace.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        die("mkdtemp");
    }
    std::string root = pattern;
    std::string bin = root + "/bin";
    mkdir(bin.c_str(), 0755);
    char exe[4096] = {};
    if (readlink("/proc/self/exe", exe, sizeof exe - 1) <= 0) {
        die("readlink");
    }
    for (const char* tool : {"gcc", "genstep"}) {
        if (symlink(exe, (bin + "/" + tool).c_str()) != 0) {
            die("symlink");
        }
    }
    std::string db_template = root + "/template.db";
    if (!ziv_bench::make_db(db_template)) {
        die("cannot create the database template");
    }

    const mode modes[] = {{"no library", false, false}, {"tracing off", true, false}, {"tracing on", true, true}};
    printf("bench_trace: make running %d short processes, %d rounds, medians\n", processes, rounds);
    for (bool white_only : {false, true}) {
        std::string dir = root + (white_only ? "/white" : "/mix");
        mkdir(dir.c_str(), 0755);
        write_text(dir + "/Makefile", makefile(processes, white_only));
        write_text(dir + "/in.txt", "line\n");
        write_text(dir + "/a.c", "int a;\n");
        std::vector<double> times[3];
        run_build(dir, bin, lib, modes[0], db_template);  // warm the caches
        for (int r = 0; r < rounds; ++r) {
            for (int k = 0; k < 3; ++k) {
                int m = (r + k) % 3;
                times[m].push_back(run_build(dir, bin, lib, modes[m], db_template));
            }
        }
        double off = ziv_bench::median(times[0]), loaded = ziv_bench::median(times[1]), on = ziv_bench::median(times[2]);
        printf("\n%s build:\n", white_only ? "white-listed only" : "mixed (white-listed, unknown, compilers)");
        for (int m = 0; m < 3; ++m) {
            printf("  %-12s %8.3f s  (%.2f ms per process)\n", modes[m].name, ziv_bench::median(times[m]),
                   1000 * ziv_bench::median(times[m]) / processes);
        }
        printf("  commands recorded in the last traced build: %ld\n", ziv_bench::query_number(dir + "/build.db", "select count(*) from build_command_table"));
        printf("  ratio tracing on / tracing off:  %.2f\n", on / loaded);
        printf("  ratio tracing on / no library:   %.2f\n", on / off);
        printf("  ratio tracing off / no library:  %.2f\n", loaded / off);
    }
    std::string cleanup = "rm -rf '" + root + "'";
    if (system(cleanup.c_str()) != 0) {
        fprintf(stderr, "bench_trace: could not remove %s\n", root.c_str());
    }
    return 0;
}
