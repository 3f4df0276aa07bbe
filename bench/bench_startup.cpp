// Start-up cost of the preloaded library: N starts of a trivial program with
// nothing preloaded, with an empty library preloaded, and with libziv_env.so
// preloaded under a realistic configuration. See README.md for how to read it.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bench_common.h"

#ifndef ZIV_BENCH_LIB
#define ZIV_BENCH_LIB "libziv_env.so"
#endif
#ifndef ZIV_BENCH_EMPTY
#define ZIV_BENCH_EMPTY "libziv_empty_preload.so"
#endif

namespace {

// "true" is deliberately in a few lists (the matched path is the one that
// does more work) but never in the random/replay lists, which write records.
struct NamedValue {
    const char* name;
    const char* value;
};

constexpr NamedValue kFeatureLists[] = {
    {"ZIV_WHITELIST", "gcc g++ cc c++ ld ar as ranlib strip objcopy make tar true"},
    {"ZIV_TIMELIST", "gcc g++ cc1 cc1plus ar tar true zip gzip javac jar python3"},
    {"ZIV_CGTLIST", "make cmake ninja gcc g++ ld ar javac java python3 perl bash"},
    {"ZIV_FILE_TIME_LIST", "tar zip unzip gzip xz cpio ar jar rpmbuild dpkg-deb mkisofs cp"},
    {"ZIV_GTDLIST", "gcc g++ cc1 cc1plus as ld make perl python3 java javac sh"},
    {"ZIV_PRO_TIMES_LIST", "make ninja cmake gcc g++ ld bash sh dash perl python3 ccache"},
    {"ZIV_DIRLIST", "find ls tar zip jar cpio rpmbuild mkisofs du rsync cp install"},
    {"ZIV_NFTWLIST", "find tar cpio du rsync install cp mv rm chmod chown ls"},
    {"ZIV_RANDOMLIST", "gcc g++ cc1 cc1plus ld collect2 as python3 openssl uuidgen mktemp perl"},
    {"ZIV_NAMELIST", "uname hostname gcc g++ make cmake true python3 perl bash sh configure"},
    {"ZIV_INOLIST", "tar cpio ls stat find zip jar rsync du install cp mkisofs"},
    {"ZIV_UIDLIST", "tar cpio id whoami ls stat zip jar install rpmbuild dpkg-deb true"},
    {"ZIV_DEVIDLIST", "stat ls tar cpio find du df rsync zip jar mkisofs install"},
    {"ZIV_SYSINFOLIST", "uname nproc free gcc make ninja cmake python3 java top ps true"},
    {"ZIV_TRACE_WHITELIST", "gcc g++ cc1 cc1plus as ld collect2 ar make cmake ninja javac"},
    {"ZIV_DIRONCELIST", "find ls tar jar zip cpio du rsync install mkisofs rpmbuild cp"},
    {"ZIV_TRACE_BUILDLIST", "make cmake ninja gmake bazel ant mvn gradle scons meson bash sh"},
    {"ZIV_TRACE_MAP",
     "mycc:gcc mycxx:g++ xgcc:gcc clang:gcc clang++:g++ ccache-gcc:gcc "
     "arm-linux-gnueabi-gcc:gcc aarch64-linux-gnu-gcc:gcc aarch64-linux-gnu-g++:g++ "
     "icc:gcc tcc:gcc xld:ld"},
    {"ZIV_DIRSIZELIST", "du df ls stat find tar cpio rsync zip jar mkisofs install"},
    {"ZIV_REPLAYLIST", "gcc g++ cc1 cc1plus ld collect2 as python3 java javac perl uuidgen"},
};

constexpr NamedValue kSettings[] = {
    {"ZIV_TIME", "2022-02-28 10:00:00"},
    {"ZIV_HOSTNAME", "buildhost"},
    {"ZIV_UID", "1000"},
    {"ZIV_GID", "1000"},
    {"ZIV_INODE", "1000"},
    {"ZIV_TIMES", "100,1,10,5,0,0"},
};

constexpr const char* kMatchedName = "true";
constexpr const char* kMapsReader = "/bin/cat";

struct Options {
    long rounds = 400;
    long per_round = 10;
    long warmup = 20;
    double target = 1.03;
    bool no_match = false;
    bool print_env = false;
    std::string program = "/bin/true";
    std::string library = ZIV_BENCH_LIB;
    std::string empty = ZIV_BENCH_EMPTY;
    std::string csv;
};

[[noreturn]] void die(const char* fmt, const std::string& arg = {}) {
    std::fprintf(stderr, "bench_startup: ");
    std::fprintf(stderr, fmt, arg.c_str());
    std::fprintf(stderr, "\n");
    std::exit(2);
}

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: bench_startup [options] [LIBRARY [EMPTY_LIBRARY]]\n"
                 "  LIBRARY        library under test (default %s)\n"
                 "  EMPTY_LIBRARY  empty preload for the floor (default %s)\n"
                 "  --rounds R     rounds; each runs the three configurations (default 400)\n"
                 "  --per-round K  starts per configuration per round (default 10)\n"
                 "  --warmup W     untimed starts per configuration first (default 20)\n"
                 "  --program P    program to start (default /bin/true)\n"
                 "  --target X     library/empty target ratio shown (default 1.03)\n"
                 "  --no-match     drop \"true\" from every list (unmatched program)\n"
                 "  --csv FILE     write per-round means (microseconds) to FILE\n"
                 "  --print-env    print the library configuration's environment, one\n"
                 "                 variable a line, and exit (to reproduce a start by hand)\n",
                 ZIV_BENCH_LIB, ZIV_BENCH_EMPTY);
}

long parse_count(const char* opt, const char* text, long min) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min) {
        die("bad value for %s", std::string(opt) + ": " + text);
    }
    return v;
}

Options parse_options(int argc, char** argv) {
    Options o;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) die("%s needs a value", std::string(a));
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            usage(stdout);
            std::exit(0);
        } else if (a == "--rounds") {
            o.rounds = parse_count("--rounds", value(), 1);
        } else if (a == "--per-round") {
            o.per_round = parse_count("--per-round", value(), 1);
        } else if (a == "--warmup") {
            o.warmup = parse_count("--warmup", value(), 0);
        } else if (a == "--program") {
            o.program = value();
        } else if (a == "--target") {
            const char* t = value();
            char* end = nullptr;
            o.target = std::strtod(t, &end);
            if (end == t || *end != '\0' || !(o.target > 0)) die("bad value for --target: %s", t);
        } else if (a == "--no-match") {
            o.no_match = true;
        } else if (a == "--print-env") {
            o.print_env = true;
        } else if (a == "--csv") {
            o.csv = value();
        } else if (!a.empty() && a[0] == '-') {
            usage(stderr);
            die("unknown option %s", std::string(a));
        } else {
            positional.emplace_back(a);
        }
    }
    if (positional.size() > 2) {
        usage(stderr);
        die("too many arguments%s");
    }
    if (positional.size() >= 1) o.library = positional[0];
    if (positional.size() >= 2) o.empty = positional[1];
    return o;
}

std::string without_word(const char* list, std::string_view word) {
    std::string out;
    std::string_view s = list;
    while (!s.empty()) {
        size_t start = s.find_first_not_of(' ');
        if (start == std::string_view::npos) break;
        s.remove_prefix(start);
        size_t len = std::min(s.find(' '), s.size());
        std::string_view tok = s.substr(0, len);
        if (tok != word) {
            if (!out.empty()) out += ' ';
            out += tok;
        }
        s.remove_prefix(len);
    }
    return out;
}

bool has_word(const char* list, std::string_view word) {
    return without_word(list, word).size() != std::string_view(list).size();
}

// One configuration: its own environment block, built explicitly so nothing
// from the caller's environment (LD_PRELOAD, ZIV_LOG, ...) leaks in.
struct Config {
    const char* label;
    std::string preload;  // empty: nothing preloaded
    std::vector<std::string> env;
    std::vector<char*> envp;
    std::vector<double> starts_ns;
    std::vector<double> round_mean_ns;

    void seal() {
        envp.clear();
        for (auto& s : env) envp.push_back(s.data());
        envp.push_back(nullptr);
    }
};

// Every configuration gets the same variables, so the only difference
// between them is LD_PRELOAD.
std::vector<std::string> common_env(const Options& o) {
    std::vector<std::string> env = {"PATH=/usr/local/bin:/usr/bin:/bin", "LC_ALL=C"};
    for (const auto& l : kFeatureLists) {
        std::string v = o.no_match ? without_word(l.value, kMatchedName) : std::string(l.value);
        env.push_back(std::string(l.name) + "=" + v);
    }
    for (const auto& s : kSettings) env.push_back(std::string(s.name) + "=" + s.value);
    return env;
}

double now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

void check_exit(const Config& c, const std::string& prog, int status) {
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
    char buf[128];
    if (WIFSIGNALED(status))
        std::snprintf(buf, sizeof buf, "killed by signal %d", WTERMSIG(status));
    else
        std::snprintf(buf, sizeof buf, "exit status %d", WEXITSTATUS(status));
    die("%s", prog + " failed (" + buf + ") in configuration '" + c.label + "'");
}

// vfork + execve rather than posix_spawn: glibc's posix_spawn child resets
// every signal disposition (~130 system calls), a fixed cost of about 10% of a
// start here that would dilute every ratio. The child only calls dup2, fcntl,
// execve and _exit, all safe while sharing the parent's memory.
pid_t spawn(const Config& c, const std::string& prog, char* const* argv, const int (&fds)[3]) {
    const char* path = prog.c_str();
    char* const* envp = c.envp.data();
    pid_t pid = vfork();
    if (pid == 0) {
        for (int fd = 0; fd < 3; ++fd) {
            if (fds[fd] == fd)
                fcntl(fd, F_SETFD, 0);
            else if (dup2(fds[fd], fd) < 0)
                _exit(126);
        }
        execve(path, argv, envp);
        _exit(127);
    }
    if (pid < 0) die("%s", "vfork for " + prog + ": " + std::strerror(errno));
    return pid;
}

int wait_for(pid_t pid) {
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) die("waitpid: %s", std::strerror(errno));
    }
    return status;
}

// Runs prog once with stdout and stderr captured.
std::string run_captured(const Config& c, const std::string& prog, char* const* argv, int& status) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) die("pipe: %s", std::strerror(errno));
    int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devnull < 0) die("/dev/null: %s", std::strerror(errno));
    const int fds[3] = {devnull, p[1], p[1]};
    pid_t pid = spawn(c, prog, argv, fds);
    close(devnull);
    close(p[1]);
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = read(p[0], buf, sizeof buf);
        if (n > 0) {
            out.append(buf, size_t(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(p[0]);
    status = wait_for(pid);
    return out;
}

struct FileId {
    std::string real;
    ino_t ino = 0;
    std::string base;
};

FileId identify(const std::string& path) {
    FileId id;
    char buf[PATH_MAX];
    if (!realpath(path.c_str(), buf)) die("%s", path + ": " + std::strerror(errno));
    id.real = buf;
    struct stat st;
    if (stat(buf, &st) != 0) die("%s", path + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) die("%s is not a regular file", path);
    id.ino = st.st_ino;
    id.base = id.real.substr(id.real.rfind('/') + 1);
    return id;
}

// True when the file is mapped in the /proc/self/maps text. The path is the
// normal match; the inode (with the same base name) covers overlay file
// systems that show a different path.
bool mapped(const std::string& maps, const FileId& id) {
    size_t pos = 0;
    while (pos < maps.size()) {
        size_t eol = maps.find('\n', pos);
        if (eol == std::string::npos) eol = maps.size();
        std::string line = maps.substr(pos, eol - pos);
        pos = eol + 1;
        unsigned long ino = 0;
        int off = 0;
        if (std::sscanf(line.c_str(), "%*s %*s %*s %*s %lu %n", &ino, &off) < 1 || off == 0) continue;
        std::string path = line.substr(size_t(off));
        if (path == id.real) return true;
        if (ino == id.ino && path.size() >= id.base.size() &&
            path.compare(path.size() - id.base.size(), id.base.size(), id.base) == 0)
            return true;
    }
    return false;
}

// Run once before timing: the program must run silently and succeed in every
// configuration (a preload the loader cannot use is only a warning on stderr,
// and a library that logs would be measuring its logging), and a maps reader
// started the same way must show exactly the expected preload.
void sanity_check(std::array<Config, 3>& cfgs, const Options& o, const std::vector<FileId>& ids) {
    std::string prog = o.program;
    char* targv[] = {prog.data(), nullptr};
    std::string reader = kMapsReader;
    std::string maps_arg = "/proc/self/maps";
    char* margv[] = {reader.data(), maps_arg.data(), nullptr};
    for (size_t i = 0; i < cfgs.size(); ++i) {
        Config& c = cfgs[i];
        int status = 0;
        std::string out = run_captured(c, prog, targv, status);
        if (!out.empty()) die("%s", prog + " printed in configuration '" + c.label + "':\n" + out);
        check_exit(c, prog, status);

        std::string maps = run_captured(c, reader, margv, status);
        check_exit(c, reader, status);
        if (maps.find("[stack]") == std::string::npos)
            die("%s", reader + " /proc/self/maps gave no usable output in '" + c.label + "':\n" + maps);
        for (size_t j = 0; j < ids.size(); ++j) {
            bool want = (i == j + 1);
            bool have = mapped(maps, ids[j]);
            if (want && !have) die("%s", ids[j].real + " is NOT loaded in configuration '" + c.label + "'");
            if (!want && have && (i == 0 || ids[0].real != ids[1].real))
                die("%s", ids[j].real + " is unexpectedly loaded in configuration '" + c.label + "'");
        }
    }
}

double mean(const std::vector<double>& v) {
    double s = 0;
    for (double x : v) s += x;
    return v.empty() ? NAN : s / double(v.size());
}

struct Estimate {
    double mid, lo, hi;
};

// Median with a distribution-free ~95% interval from order statistics
// (binomial, normal approximation): no assumption about the noise shape.
Estimate median_ci(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    double n = double(v.size());
    double half = 0.98 * std::sqrt(n);
    long lo = std::max(0L, long(std::floor(n / 2 - half)));
    long hi = std::min(long(v.size()) - 1, long(std::ceil(n / 2 + half)) - 1);
    return {ziv_bench::median(v), v[size_t(lo)], v[size_t(hi)]};
}

std::vector<double> per_round(const std::vector<double>& a, const std::vector<double>& b, bool ratio) {
    std::vector<double> out;
    for (size_t i = 0; i < a.size(); ++i) out.push_back(ratio ? a[i] / b[i] : a[i] - b[i]);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse_options(argc, argv);
    if (access(o.program.c_str(), X_OK) != 0) die("%s is not executable", o.program);
    if (access(kMapsReader, X_OK) != 0) die("%s is needed for the load check", kMapsReader);
    if (std::getenv("LD_PRELOAD"))
        std::fprintf(stderr, "bench_startup: warning: LD_PRELOAD is set for the benchmark itself\n");

    std::vector<FileId> ids = {identify(o.empty), identify(o.library)};

    std::array<Config, 3> cfgs;
    cfgs[0].label = "nothing";
    cfgs[1].label = "empty";
    cfgs[1].preload = ids[0].real;
    cfgs[2].label = "library";
    cfgs[2].preload = ids[1].real;
    for (auto& c : cfgs) {
        c.env = common_env(o);
        if (!c.preload.empty()) c.env.push_back("LD_PRELOAD=" + c.preload);
        c.seal();
        c.starts_ns.reserve(size_t(o.rounds * o.per_round));
    }

    if (o.print_env) {
        for (const auto& v : cfgs[2].env) std::printf("%s\n", v.c_str());
        return 0;
    }

    std::string matched;
    if (!o.no_match)
        for (const auto& l : kFeatureLists)
            if (has_word(l.value, kMatchedName)) matched += std::string(" ") + l.name;

    std::printf("bench_startup: %ld rounds x %ld starts x 3 configurations of %s (%ld untimed warm-up)\n",
                o.rounds, o.per_round, o.program.c_str(), o.warmup);
    std::printf("  nothing : no LD_PRELOAD\n  empty   : %s\n  library : %s\n", cfgs[1].preload.c_str(),
                cfgs[2].preload.c_str());
    std::printf("  \"%s\" is in:%s\n", kMatchedName, matched.empty() ? " no list" : matched.c_str());

    sanity_check(cfgs, o, ids);
    std::printf("  load check: ok (each preload mapped where expected, %s silent and successful)\n",
                o.program.c_str());
    std::fflush(stdout);

    std::string prog = o.program;
    char* targv[] = {prog.data(), nullptr};
    int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devnull < 0) die("/dev/null: %s", std::strerror(errno));
    const int quiet[3] = {devnull, devnull, devnull};

    auto start_once = [&](Config& c) {
        double t0 = now_ns();
        pid_t pid = spawn(c, prog, targv, quiet);
        int status = wait_for(pid);
        double t1 = now_ns();
        check_exit(c, prog, status);
        return t1 - t0;
    };

    for (long w = 0; w < o.warmup; ++w)
        for (auto& c : cfgs) start_once(c);

    // Rotating the order each round gives every configuration every position
    // equally often, and keeps the three measured close together in time.
    std::vector<std::array<int, 3>> orders;
    double t_begin = now_ns();
    long next_report = 1;
    const bool progress = isatty(2);
    for (long r = 0; r < o.rounds; ++r) {
        std::array<int, 3> order;
        for (int i = 0; i < 3; ++i) order[size_t(i)] = int((r + i) % 3);
        orders.push_back(order);
        for (int idx : order) {
            Config& c = cfgs[size_t(idx)];
            double sum = 0;
            for (long k = 0; k < o.per_round; ++k) {
                double t = start_once(c);
                c.starts_ns.push_back(t);
                sum += t;
            }
            c.round_mean_ns.push_back(sum / double(o.per_round));
        }
        if (progress && (r + 1) * 10 >= next_report * o.rounds) {
            std::fprintf(stderr, "\r  round %ld/%ld", r + 1, o.rounds);
            while ((r + 1) * 10 >= next_report * o.rounds) ++next_report;
        }
    }
    double elapsed = (now_ns() - t_begin) / 1e9;
    if (progress) std::fprintf(stderr, "\r%*s\r", 30, "");
    close(devnull);

    if (!o.csv.empty()) {
        FILE* f = std::fopen(o.csv.c_str(), "w");
        if (!f) die("%s", o.csv + ": " + std::strerror(errno));
        std::fprintf(f, "round,config,position,mean_us\n");
        for (long r = 0; r < o.rounds; ++r)
            for (int pos = 0; pos < 3; ++pos) {
                int idx = orders[size_t(r)][size_t(pos)];
                std::fprintf(f, "%ld,%s,%d,%.3f\n", r, cfgs[size_t(idx)].label, pos,
                             cfgs[size_t(idx)].round_mean_ns[size_t(r)] / 1e3);
            }
        std::fclose(f);
    }

    std::printf("  timed run: %.1f s\n\n", elapsed);
    std::printf("per start, microseconds   mean    median   median of round means\n");
    for (auto& c : cfgs)
        std::printf("  %-18s %9.1f %9.1f %9.1f\n", c.label, mean(c.starts_ns) / 1e3, ziv_bench::median(c.starts_ns) / 1e3,
                    ziv_bench::median(c.round_mean_ns) / 1e3);

    const auto& n = cfgs[0].round_mean_ns;
    const auto& e = cfgs[1].round_mean_ns;
    const auto& l = cfgs[2].round_mean_ns;
    Estimate le = median_ci(per_round(l, e, true));
    Estimate ln = median_ci(per_round(l, n, true));
    Estimate en = median_ci(per_round(e, n, true));
    Estimate dle = median_ci(per_round(l, e, false));
    Estimate den = median_ci(per_round(e, n, false));

    std::printf("\nratios: median over rounds of the per-round ratio of mean start times, ~95%% interval\n");
    std::printf("ratio library/empty: %.3f (target <= %.2f)  [%.3f, %.3f]  %s\n", le.mid, o.target, le.lo, le.hi,
                le.mid <= o.target ? (le.hi <= o.target ? "within target" : "within target (interval crosses it)")
                                   : "ABOVE TARGET");
    std::printf("ratio library/nothing: %.3f  [%.3f, %.3f]\n", ln.mid, ln.lo, ln.hi);
    std::printf("ratio empty/nothing: %.3f  [%.3f, %.3f]\n", en.mid, en.lo, en.hi);
    std::printf("added per start: library-empty %+.1f us [%+.1f, %+.1f], empty-nothing %+.1f us [%+.1f, %+.1f]\n",
                dle.mid / 1e3, dle.lo / 1e3, dle.hi / 1e3, den.mid / 1e3, den.lo / 1e3, den.hi / 1e3);
    std::printf("cross-check, ratio of per-start medians: library/empty %.3f, library/nothing %.3f, "
                "empty/nothing %.3f\n",
                ziv_bench::median(cfgs[2].starts_ns) / ziv_bench::median(cfgs[1].starts_ns),
                ziv_bench::median(cfgs[2].starts_ns) / ziv_bench::median(cfgs[0].starts_ns),
                ziv_bench::median(cfgs[1].starts_ns) / ziv_bench::median(cfgs[0].starts_ns));
    return 0;
}
