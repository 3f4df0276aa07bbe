// Cost of tracing one binary-utility or copy command: strip writing a new
// file, strip in place, objcopy splitting the debug information and cp,
// each run untraced and traced into a database, alternately; medians.
//
//   bench_binutils [--runs N]
//
// The program they work on is a small C program built with -g once. The
// in-place strip works on a fresh copy each time (the copy is not timed).

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

// Runs argv in `dir` with exactly `env`; the wall time in milliseconds.
double run(const std::string& dir, const std::vector<std::string>& argv, const std::vector<std::string>& env)
{
    double ms = ziv_bench::run_quiet(argv, env, dir);
    if (ms < 0) {
        die(argv[0] + " failed");
    }
    return ms;
}

struct command {
    const char* name;
    std::vector<std::string> argv;
    bool fresh_copy;  // work on a new copy of the program each time
};

}  // namespace

int main(int argc, char** argv)
{
    int runs = 40;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--runs") == 0) {
            runs = atoi(argv[i + 1]);
        } else {
            die(std::string("unknown option ") + argv[i]);
        }
    }
    char pattern[] = "/tmp/bench_binutils.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        die("mkdtemp");
    }
    const std::string dir = pattern;
    const std::vector<std::string> plain_env = {"PATH=/usr/bin:/bin", "LC_ALL=C"};
    std::string source = "#include <stdio.h>\n";
    for (int i = 0; i < 200; ++i) {
        source += "int f" + std::to_string(i) + "(int x) { return x * " + std::to_string(i) + " + 1; }\n";
    }
    source += "int main(void) { printf(\"%d\\n\", f1(2)); return 0; }\n";
    write_text(dir + "/prog.c", source);
    run(dir, {"/usr/bin/gcc", "-g", "-O1", "-o", "prog", "prog.c"}, plain_env);

    const std::string db = dir + "/build.db";
    if (!ziv_bench::make_db(db)) {
        die("cannot create the database");
    }
    std::vector<std::string> traced_env = plain_env;
    traced_env.insert(traced_env.end(), {"LD_PRELOAD=" ZIV_BENCH_LIB, "ZIV_TRACE_ENABLE=yes", "ZIV_TRACE_OUTPUT=" + db});

    const command commands[] = {
        {"strip -o out prog", {"/usr/bin/strip", "-o", "stripped", "prog"}, false},
        {"strip prog (in place)", {"/usr/bin/strip", "--strip-debug", "work"}, true},
        {"objcopy --only-keep-debug", {"/usr/bin/objcopy", "--only-keep-debug", "prog", "prog.debug"}, false},
        {"cp prog copy", {"/bin/cp", "prog", "copy"}, false},
    };
    printf("bench_binutils: %d runs per command and mode, medians\n", runs);
    printf("  %-28s %12s %12s %10s %8s\n", "command", "untraced ms", "traced ms", "added ms", "ratio");
    for (const command& c : commands) {
        std::vector<double> times[2];
        for (int r = 0; r < runs + 2; ++r) {
            for (int k = 0; k < 2; ++k) {
                int traced = (r + k) % 2;
                if (c.fresh_copy) {
                    run(dir, {"/bin/cp", "prog", "work"}, plain_env);
                }
                double ms = run(dir, c.argv, traced != 0 ? traced_env : plain_env);
                if (r >= 2) {  // the first rounds warm the caches
                    times[traced].push_back(ms);
                }
            }
        }
        double off = ziv_bench::median(times[0]);
        double on = ziv_bench::median(times[1]);
        printf("  %-28s %12.2f %12.2f %10.2f %8.2f\n", c.name, off, on, on - off, on / off);
    }
    std::string cleanup = "rm -rf '" + dir + "'";
    if (system(cleanup.c_str()) != 0) {
        fprintf(stderr, "bench_binutils: could not remove %s\n", dir.c_str());
    }
    return 0;
}
