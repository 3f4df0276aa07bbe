// Cost of tracing a real C build: the generated project (static library,
// shared library, linker-script .so, assembler source, executable) built by
// make -j with gcc, timed untraced, traced, and traced with header tracing
// both ways: "ZIV_TRACE_HDEPS"=mm (one more preprocessing run per source)
// and "open" (the compiler's own opens noted). Both header modes are also
// set against the traced build without headers.
//
//   bench_toolchain [--rounds R] [--sources N] [--helpers H] [--jobs J] [--cc gcc]
//
// Library sources hold H helper functions each (default 12, a few hundred
// lines of ordinary C): a build of one-line sources would time process
// start-up and the preprocessing of system headers, not a build.
//
// Each round builds once in every mode, in rotating order, into a fresh
// database; the figures are medians of wall time and of the CPU time of the
// whole build (the latter steadier on a machine shared with other work). The outputs of every build are
// compared with the untraced ones: tracing must not change a byte.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench_common.h"
#include "toolchain_project.h"

using ziv_bench::die;

namespace {

enum mode { kOff, kTraced, kHdeps, kOpen, kModes };
const char* kModeNames[] = {"untraced", "traced", "traced+hdeps(mm)", "traced+hdeps(open)"};

struct cost {
    double wall_ms;
    double cpu_ms;  // user + system of make and everything it waited for
};

cost build(const std::string& root, const std::string& cc, int jobs, const std::vector<std::string>& extra)
{
    std::vector<std::string> env = {"PATH=/usr/bin:/bin", "LC_ALL=C", "TMPDIR=/tmp"};
    env.insert(env.end(), extra.begin(), extra.end());
    struct rusage usage {};
    double wall = ziv_bench::run_quiet({"/usr/bin/make", "-j" + std::to_string(jobs), "CC=" + cc, "-C" + root, "-s"},
                                       env, "", &usage);
    if (wall < 0) {
        die("the build failed");
    }
    auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    return {wall, ms(usage.ru_utime) + ms(usage.ru_stime)};
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = 3;
    int sources = 210;
    int jobs = 2;
    int helpers = 12;
    std::string cc = "gcc";
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string opt = argv[i];
        if (opt == "--rounds") {
            rounds = std::max(1, atoi(argv[i + 1]));
        } else if (opt == "--sources") {
            sources = std::max(4, atoi(argv[i + 1]));
        } else if (opt == "--helpers") {
            helpers = std::max(0, atoi(argv[i + 1]));
        } else if (opt == "--jobs") {
            jobs = std::max(1, atoi(argv[i + 1]));
        } else if (opt == "--cc") {
            cc = argv[i + 1];
        } else {
            die("unknown option " + opt);
        }
    }
    char pattern[] = "/tmp/ziv_bench_toolchain.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        die("mkdtemp");
    }
    std::string root = pattern;
    ziv_project::shape shape{sources * 3 / 4, sources - sources * 3 / 4, helpers};
    ziv_project::write(root, shape);
    std::string db = root + "/build.db";
    const std::string lib = ZIV_BENCH_LIB;
    const std::vector<std::string> outputs = ziv_project::outputs(shape);

    std::map<std::string, std::string> reference;
    std::vector<double> times[kModes];
    std::vector<double> cpu[kModes];
    long heads[2] = {0, 0};  // mm, open
    long targets = 0;
    // A warm-up build fills the page cache and gives the reference bytes.
    for (int round = -1; round < rounds; ++round) {
        for (int k = 0; k < kModes; ++k) {
            int m = round < 0 ? kOff : (k + round) % kModes;
            for (const std::string& f : outputs) {
                std::remove((root + "/" + f).c_str());
            }
            if (!ziv_bench::make_db(db)) {
                die("cannot create " + db);
            }
            std::vector<std::string> extra;
            if (m != kOff) {
                extra = {"LD_PRELOAD=" + lib, "ZIV_TRACE_ENABLE=yes", "ZIV_TRACE_OUTPUT=" + db};
            }
            if (m == kHdeps || m == kOpen) {
                extra.push_back(m == kHdeps ? "ZIV_TRACE_HDEPS=mm" : "ZIV_TRACE_HDEPS=open");
            }
            cost c = build(root, cc, jobs, extra);
            std::map<std::string, std::string> bytes;
            for (const std::string& f : outputs) {
                bytes[f] = ziv_bench::read_text(root + "/" + f);
            }
            if (reference.empty()) {
                reference = bytes;
            } else if (bytes != reference) {
                die(std::string("outputs of the ") + kModeNames[m] + " build differ");
            }
            if (round < 0) {
                break;
            }
            times[m].push_back(c.wall_ms);
            cpu[m].push_back(c.cpu_ms);
            if (m == kHdeps || m == kOpen) {
                heads[m == kOpen ? 1 : 0] = ziv_bench::query_number(db, "select count(*) from source_head_table");
            } else if (m == kTraced) {
                targets = ziv_bench::query_number(db, "select count(*) from target_file_table");
            }
        }
    }
    double off = ziv_bench::median(times[kOff]);
    double on = ziv_bench::median(times[kTraced]);
    double hdeps = ziv_bench::median(times[kHdeps]);
    printf("project: %d C sources (+ main.c, 1 assembler source), %d helpers per library source, make -j%d, "
           "CC=%s, %d rounds\n",
           shape.lib_sources + shape.shared_sources, helpers, jobs, cc.c_str(), rounds);
    for (int m = 0; m < kModes; ++m) {
        printf("  %-18s median %8.1f ms wall, %8.1f ms cpu\n", kModeNames[m], ziv_bench::median(times[m]), ziv_bench::median(cpu[m]));
    }
    double open = ziv_bench::median(times[kOpen]);
    printf("  rows: %ld targets (traced), %ld source->header relations (mm), %ld (open)\n", targets, heads[0],
           heads[1]);
    printf("ratio traced/untraced:        %.3f wall, %.3f cpu (target <= 1.15)\n", on / off,
           ziv_bench::median(cpu[kTraced]) / ziv_bench::median(cpu[kOff]));
    printf("ratio traced+hdeps/untraced:  %.3f wall, %.3f cpu (target <= 1.6)\n", hdeps / off,
           ziv_bench::median(cpu[kHdeps]) / ziv_bench::median(cpu[kOff]));
    // The builds of one round lie close in time: their ratios are less
    // exposed to other load on a shared machine than the medians above.
    auto per_round = [&](const std::vector<double>* v, int m) {
        std::vector<double> r;
        for (int i = 0; i < rounds; ++i) {
            r.push_back(v[m][i] / v[kTraced][i]);
        }
        return ziv_bench::median(r);
    };
    printf("ratio mm/traced:              %.3f wall, %.3f cpu; per round %.3f wall, %.3f cpu\n", hdeps / on,
           ziv_bench::median(cpu[kHdeps]) / ziv_bench::median(cpu[kTraced]), per_round(times, kHdeps),
           per_round(cpu, kHdeps));
    printf("ratio open/traced:            %.3f wall, %.3f cpu; per round %.3f wall, %.3f cpu (target <= 1.03)\n",
           open / on, ziv_bench::median(cpu[kOpen]) / ziv_bench::median(cpu[kTraced]), per_round(times, kOpen),
           per_round(cpu, kOpen));
    std::string cleanup = "rm -rf '" + root + "'";
    if (system(cleanup.c_str()) != 0) {
        fprintf(stderr, "bench_toolchain: could not remove %s\n", root.c_str());
    }
    return 0;
}
