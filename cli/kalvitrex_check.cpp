// kalvitrex check: builds the current directory's tree twice, in fresh
// copies at one temporary path, varying what the library does not fix, and
// says whether the results are identical and, if not, where the
// differences start.
#include <dirent.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string_view>
#include <thread>

#include "kalvitrex_commands.h"
#include "kalvitrex_common.h"
#include "kalvitrex_culprits.h"
#include "kalvitrex_db.h"
#include "kalvitrex_env.h"
#include "kalvitrex_tree.h"

extern char** environ;

namespace kvx {

const char* const k_check_help =
    "Usage: kalvitrex check [options] -- BUILD COMMAND [ARGS...]\n"
    "\n"
    "Builds the current directory's tree twice, each time in a fresh copy made\n"
    "at the same temporary path, under kalvitrex run with its own database, and\n"
    "compares what the two builds leave. Between the two builds it varies what\n"
    "the library does not fix: the order the copies are made in, their file\n"
    "times after the build time (earlier ones came with the sources), the\n"
    "start time (at least a second apart) and, where the system\n"
    "allows it (root, or unprivileged user namespaces), the host name.\n"
    "Differing outputs are grouped into culprits, where a difference starts (a\n"
    "command that read identical inputs and made different outputs, or a file\n"
    "no traced command made), and consequences, outputs that differ because an\n"
    "input does. Build-system records (config.log, .ninja_log, meson-private/,\n"
    "a package's .buildinfo and .changes, ...) that differ are listed apart and\n"
    "do not count. Run it in a clean\n"
    "tree: outputs already there are not rebuilt.\n"
    "\n"
    "Options:\n"
    "  --profile P       the profile of both builds (see kalvitrex run --help)\n"
    "  --set NAME=VALUE  one setting over the profile (repeatable)\n"
    "  --json FILE       also write the answer as JSON\n"
    "  --keep            keep the temporary directory with both built trees and\n"
    "                    their databases (first, second, first.db, second.db;\n"
    "                    first.beside, second.beside: what each wrote in ..)\n"
    "  -h, --help        this text\n"
    "\n"
    "The copies go to a new directory under TMPDIR (default /tmp), removed at\n"
    "the end. Files a build writes beside its tree, in .. (the packages of\n"
    "dpkg-buildpackage), are compared too, as ../NAME. Exit status: 0\n"
    "reproducible, 1 not reproducible, 2 no answer (a build failed, or check\n"
    "itself did), 128+N interrupted by signal N.\n";

namespace {

// Headers are traced so that a differing header is seen.
constexpr const char* k_check_hdeps = "open";

constexpr const char* k_host_names[2] = {"kalvitrex-check-1", "kalvitrex-check-2"};
constexpr const char* k_ordinal[2] = {"first", "second"};

volatile sig_atomic_t g_check_child = 0;

void on_signal(int sig)
{
    g_tree_stop = sig;
    if (g_check_child > 0) {
        kill(g_check_child, SIGTERM);
    }
}

// For its lifetime, an interrupt stops the copies and comparisons and ends
// the running build; check then cleans up and exits.
class signal_watch {
public:
    signal_watch()
    {
        struct sigaction act {};
        act.sa_handler = on_signal;
        for (size_t i = 0; i < 3; ++i) {
            sigaction(k_signals[i], &act, &old_[i]);
        }
    }
    ~signal_watch()
    {
        for (size_t i = 0; i < 3; ++i) {
            sigaction(k_signals[i], &old_[i], nullptr);
        }
    }
    signal_watch(const signal_watch&) = delete;
    signal_watch& operator=(const signal_watch&) = delete;

private:
    static constexpr int k_signals[3] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction old_[3];
};

struct options {
    profile_options given;  // its profile made absolute when it is a file
    std::vector<setting> profile;
    std::string json;  // absolute
    bool keep = false;
    args build;
};

options parse_options(const args& a, const std::string& cwd)
{
    options o;
    size_t i = 0;
    for (; i < a.size(); ++i) {
        std::string v;
        if (a[i] == "--") {
            ++i;
            break;
        }
        if (o.given.take(a, i)) {
            continue;
        }
        if (option_value(a, i, "--json", v)) {
            o.json = normalize_path(v, cwd);
        } else if (a[i] == "--keep") {
            o.keep = true;
        } else if (!a[i].empty() && a[i][0] == '-') {
            throw user_error("check: unknown option " + a[i] + " (see kalvitrex check --help)");
        } else {
            break;
        }
    }
    o.build.assign(a.begin() + static_cast<long>(i), a.end());
    if (o.build.empty()) {
        throw user_error("check: no build command given (kalvitrex check [options] -- COMMAND ...)");
    }
    // The builds run elsewhere; a bad profile is found now, not after the first copy.
    std::string& p = o.given.profile;
    p = p.empty() ? "default" : profile_file(p, "") == p ? normalize_path(p, cwd) : p;
    o.profile = read_profile(p, find_layout().profiles);
    return o;
}

void write_text(const std::string& path, const std::string& text)
{
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0) {
        close(fd);
    }
    if (!ok) {
        throw std::runtime_error(path);
    }
}

// Enters a UTS namespace of its own (as root) or with a user namespace that
// maps the caller to itself, and sets the host name. False when the system
// allows neither.
bool own_host_name(const char* name)
{
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (unshare(CLONE_NEWUTS) != 0) {
        if (unshare(CLONE_NEWUSER | CLONE_NEWUTS) != 0) {
            return false;
        }
        try {
            write_text("/proc/self/setgroups", "deny");
            write_text("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1\n");
            write_text("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1\n");
        } catch (const std::exception&) {
            return false;
        }
    }
    return sethostname(name, strlen(name)) == 0;
}

// Whether a child can have a host name of its own.
bool host_names_can_vary()
{
    pid_t pid = fork();
    if (pid == 0) {
        _exit(own_host_name(k_host_names[0]) ? 0 : 1);
    }
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Files a build system keeps about itself (logs, timing and dependency
// caches, stored configuration): they differ between any two builds and
// are no build output, so they are listed apart and do not decide. So do
// dpkg-buildpackage's .buildinfo (the date and environment of the build)
// and .changes (which holds the .buildinfo's digests) beside the tree: the
// packages they list are compared themselves.
bool is_build_record(const std::string& rel)
{
    std::string_view path(rel);
    std::string_view base = path.substr(path.rfind('/') == std::string_view::npos ? 0 : path.rfind('/') + 1);
    if (path.starts_with("../") && (base.ends_with(".buildinfo") || base.ends_with(".changes"))) {
        return true;
    }
    auto below = [&](std::string_view dir) {
        return path.compare(0, dir.size() + 1, std::string(dir) + "/") == 0 ||
               path.find("/" + std::string(dir) + "/") != std::string_view::npos;
    };
    // CMake's generated makefiles list a target's dependencies in an order
    // that follows its own memory addresses, which vary from run to run; the
    // objects and programs they build are compared themselves.
    bool cmake_state = base == "CMakeOutput.log" || base == "CMakeError.log" || base == "CMakeConfigureLog.yaml" ||
                       base == "Makefile2" || base == "Makefile.cmake" || base == "TargetDirectories.txt" ||
                       base == "progress.marks" || base.ends_with(".make") || base == "compiler_depend.ts" ||
                       base == "depend.internal";
    return base == ".ninja_log" || base == ".ninja_deps" || base == "config.log" || below("meson-logs") ||
           below("meson-private") || below("autom4te.cache") || (below("CMakeFiles") && cmake_state);
}

struct build_run {
    int status = 0;  // as kalvitrex run exits: the build's status, 128+N for a signal
    double seconds = 0;
    std::string db;
    timespec mark{};  // change time just before the build
    long long commands = -1;  // traced; -1 when the database cannot be read
};

// kalvitrex run in `dir`, in the child's own host name when `host` is set.
build_run run_build(const options& o, const std::string& dir, const std::string& db, const char* host,
                    const std::string& mark_file)
{
    build_run r;
    r.db = db;
    // File change times are kept in coarse ticks: the copy's last change and
    // the mark must not share one (the build's first change comes much later).
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    int fd = open(mark_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        throw user_error("cannot write " + mark_file + ": " + strerror(errno));
    }
    close(fd);
    r.mark = st.st_ctim;

    args argv = {"kalvitrex", "run", "--db", db, "--hdeps", k_check_hdeps, "--profile", o.given.profile};
    for (const setting& s : o.given.sets) {
        argv.insert(argv.end(), {"--set", s.name + "=" + s.value});
    }
    argv.push_back("--");
    argv.insert(argv.end(), o.build.begin(), o.build.end());
    std::vector<char*> cargv;
    for (std::string& s : argv) {
        cargv.push_back(s.data());
    }
    cargv.push_back(nullptr);

    fflush(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid < 0) {
        throw user_error(std::string("cannot start the build: ") + strerror(errno));
    }
    if (pid == 0) {
        // The answer is check's standard output; the builds' go with its
        // messages.
        dup2(STDERR_FILENO, STDOUT_FILENO);
        if (chdir(dir.c_str()) != 0) {
            fprintf(stderr, "kalvitrex: check: cannot enter %s: %s\n", dir.c_str(), strerror(errno));
            _exit(125);
        }
        if (host != nullptr && !own_host_name(host)) {
            fprintf(stderr, "kalvitrex: check: cannot set the host name %s\n", host);
            _exit(125);
        }
        execv("/proc/self/exe", cargv.data());
        fprintf(stderr, "kalvitrex: check: cannot run kalvitrex: %s\n", strerror(errno));
        _exit(125);
    }
    g_check_child = pid;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            g_check_child = 0;
            throw user_error(std::string("lost the build process: ") + strerror(errno));
        }
    }
    g_check_child = 0;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    try {
        r.commands = database::open_existing(db, find_layout().schema).scalar("SELECT count(*) FROM build_command_table");
    } catch (const user_error&) {
    }
    return r;
}

std::string shown_path(const std::string& path, const std::string& top)
{
    if (path == top) {
        return ".";
    }
    std::string parent = top.substr(0, top.rfind('/') + 1);
    if (path.compare(0, top.size() + 1, top + "/") != 0 && path.compare(0, parent.size(), parent) == 0 &&
        path.find('/', parent.size()) == std::string::npos) {
        return "../" + path.substr(parent.size());
    }
    return relative_to(path, top);
}

// What a build writes beside its tree (dpkg-buildpackage puts the packages
// in "..") is moved into "<first|second>.beside" after it, so that the
// second build starts without the first's, and compared as "../NAME".
constexpr const char* k_beside = ".beside";

bool is_checks_own(const std::string& entry, const std::string& top_name)
{
    if (entry == "." || entry == ".." || entry == top_name) {
        return true;
    }
    for (const char* o : k_ordinal) {
        const std::string own = o;
        if (entry == own || entry == own + k_beside || entry == own + ".mark" || entry.rfind(own + ".db", 0) == 0) {
            return true;
        }
    }
    return false;
}

// True when the build left something beside its tree (now below `to`).
bool move_beside(const std::string& area, const std::string& top_name, const std::string& to)
{
    std::vector<std::string> found;
    if (DIR* d = opendir(area.c_str())) {
        while (const dirent* e = readdir(d)) {
            if (!is_checks_own(e->d_name, top_name)) {
                found.emplace_back(e->d_name);
            }
        }
        closedir(d);
    }
    if (found.empty()) {
        return false;
    }
    if (mkdir(to.c_str(), 0700) != 0) {
        throw user_error("cannot create " + to + ": " + strerror(errno));
    }
    for (const std::string& f : found) {
        if (rename((area + "/" + f).c_str(), (to + "/" + f).c_str()) != 0) {
            throw user_error("cannot move " + area + "/" + f + ": " + strerror(errno));
        }
    }
    return true;
}

std::string json_command(const shown_command& c, const std::string& top)
{
    std::string args;
    for (const std::string& a : c.argv) {
        args += (args.empty() ? "" : ", ") + json_quote(a);
    }
    return "{\"command\": " + json_quote(c.text) + ", \"arguments\": [" + args + "], \"directory\": " +
           json_quote(shown_path(c.dir, top)) + "}";
}

template <typename T, typename F>
std::string json_list(const std::vector<T>& items, F each)
{
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        out += (i > 0 ? ", " : "") + each(items[i]);
    }
    return out + "]";
}

struct outcome {
    std::string top;  // the build directory
    const options* opts = nullptr;
    bool hosts_varied = false;
    double delay_s = 0;
    int64_t shift_s = 0;
    int64_t shift_after = 0;  // the build time: only later file times move
    std::vector<build_run> runs;
    bool answered = false;  // both builds ran and their trees were compared
    tree_comparison trees;
    std::vector<std::string> records;  // differing build-system records, apart from trees.differing
    analysis why;
    std::string kept;
};

std::string to_json(const outcome& r)
{
    auto quoted = [](const std::string& s) { return json_quote(s); };
    auto rel = [&](const std::string& s) { return json_quote(shown_path(s, r.top)); };
    bool answered = r.answered;
    std::string j = "{\n";
    j += "  \"reproducible\": " +
         std::string(!answered ? "null" : r.trees.differing.empty() && r.trees.only_first.empty() &&
                                                  r.trees.only_second.empty()
                                              ? "true"
                                              : "false") +
         ",\n";
    j += "  \"build\": " + json_list(r.opts->build, quoted) + ",\n";
    j += "  \"profile\": " + json_quote(r.opts->given.profile) + ",\n";
    j += "  \"directory\": " + json_quote(r.top) + ",\n";
    j += "  \"variations\": {\"copy_order\": true, \"file_times_shift_s\": " + std::to_string(r.shift_s) +
         ", \"file_times_after\": " + std::to_string(r.shift_after) +
         ", \"second_start_after_s\": " + std::to_string(r.delay_s) + ", \"host_names\": " +
         (r.hosts_varied ? "[\"" + std::string(k_host_names[0]) + "\", \"" + k_host_names[1] + "\"]" : "null") +
         "},\n";
    j += "  \"builds\": " + json_list(r.runs, [](const build_run& b) {
             return "{\"status\": " + std::to_string(b.status) + ", \"seconds\": " + std::to_string(b.seconds) +
                    ", \"commands\": " + (b.commands < 0 ? std::string("null") : std::to_string(b.commands)) + "}";
         }) + ",\n";
    if (answered) {
        j += "  \"files_made_by_both\": " + std::to_string(r.trees.made_by_both) + ",\n";
        j += "  \"differing\": " + json_list(r.trees.differing, quoted) + ",\n";
        j += "  \"culprits\": " + json_list(r.why.culprits, [&](const culprit& c) {
                 if (c.kind == culprit::file) {
                     return "{\"kind\": \"file\", \"file\": " + rel(c.path) + ", \"read_by\": " +
                            json_list(c.read_by, [&](const shown_command& s) { return json_command(s, r.top); }) + "}";
                 }
                 return "{\"kind\": \"command\", \"command\": " + json_command(c.cmd, r.top) +
                        ", \"outputs\": " + json_list(c.outputs, rel) + "}";
             }) + ",\n";
        j += "  \"consequences\": " + json_list(r.why.consequences, [&](const consequence& c) {
                 return "{\"file\": " + rel(c.path) + ", \"made_by\": " + json_command(c.made_by, r.top) +
                        ", \"culprits\": " + json_list(c.culprits, [](size_t i) { return std::to_string(i); }) + "}";
             }) + ",\n";
        j += "  \"records_differing\": " + json_list(r.records, quoted) + ",\n";
        j += "  \"only_in_first\": " + json_list(r.trees.only_first, quoted) + ",\n";
        j += "  \"only_in_second\": " + json_list(r.trees.only_second, quoted) + ",\n";
    }
    j += "  \"kept\": " + (r.kept.empty() ? std::string("null") : json_quote(r.kept)) + "\n}\n";
    return j;
}

std::string where_shown(const shown_command& c, const std::string& top)
{
    std::string dir = shown_path(c.dir, top);
    return c.text + (dir == "." ? "" : "   [in " + dir + "]");
}

void print_records(const outcome& r)
{
    if (r.records.empty()) {
        return;
    }
    printf("\nBuild-system records that differ (logs, caches, stored settings; not counted):\n");
    for (size_t n = 0; n < r.records.size() && n < 20; ++n) {
        printf("  %s\n", r.records[n].c_str());
    }
    if (r.records.size() > 20) {
        printf("  ... and %zu more (--json FILE lists them all)\n", r.records.size() - 20);
    }
}

void print_summary(const outcome& r)
{
    const tree_comparison& t = r.trees;
    if (t.differing.empty() && t.only_first.empty() && t.only_second.empty() && t.made_by_both == 0) {
        printf("kalvitrex check: reproducible, trivially: the builds made or changed no file in the tree\n");
        print_records(r);
        return;
    }
    if (t.differing.empty() && t.only_first.empty() && t.only_second.empty()) {
        printf("kalvitrex check: reproducible: %s made by both builds %s identical\n",
               counted(static_cast<long long>(t.made_by_both), "file", "files").c_str(),
               t.made_by_both == 1 ? "is" : "are");
        print_records(r);
        return;
    }
    printf("kalvitrex check: not reproducible: %zu of %s made by both builds differ", t.differing.size(),
           counted(static_cast<long long>(t.made_by_both), "file", "files").c_str());
    if (!t.only_first.empty() || !t.only_second.empty()) {
        printf(", %zu made by one build only", t.only_first.size() + t.only_second.size());
    }
    printf("\n");
    auto rel = [&](const std::string& p) { return shown_path(p, r.top); };
    // The terminal gets the first of each list; --json gets them all.
    constexpr size_t k_shown = 20;
    auto more = [&](size_t n, int indent) {
        if (n > k_shown) {
            printf("%*s... and %zu more (--json FILE lists them all)\n", indent, "", n - k_shown);
        }
    };
    if (!r.why.culprits.empty()) {
        printf("\nCulprits (where the differences start):\n");
        for (size_t n = 0; n < r.why.culprits.size() && n < k_shown; ++n) {
            const culprit& c = r.why.culprits[n];
            if (c.kind == culprit::file) {
                printf("  %s\n      made by no traced command; ", rel(c.path).c_str());
                if (c.read_by.empty()) {
                    printf("read by no traced command\n");
                }
                for (size_t i = 0; i < c.read_by.size() && i < k_shown; ++i) {
                    printf("%*s%s\n", i == 0 ? 0 : 42, i == 0 ? "read by: " : "",
                           where_shown(c.read_by[i], r.top).c_str());
                }
                more(c.read_by.size(), 42);
                continue;
            }
            printf("  %s\n      same inputs, different output: ", where_shown(c.cmd, r.top).c_str());
            for (size_t i = 0; i < c.outputs.size(); ++i) {
                printf("%s%s", i == 0 ? "" : ", ", rel(c.outputs[i]).c_str());
            }
            printf("%s\n", c.outputs.empty() ? "(outside the tree)" : "");
        }
        more(r.why.culprits.size(), 2);
    }
    if (!r.why.consequences.empty()) {
        printf("\nConsequences (differ because an input differs):\n");
        size_t width = 0;
        for (const consequence& c : r.why.consequences) {
            width = std::max(width, rel(c.path).size());
        }
        for (size_t n = 0; n < r.why.consequences.size() && n < k_shown; ++n) {
            const consequence& c = r.why.consequences[n];
            std::string from;
            for (size_t i : c.culprits) {
                const culprit& k = r.why.culprits[i];
                from += (from.empty() ? "" : ", ") + (k.kind == culprit::file ? rel(k.path) : k.cmd.text);
            }
            printf("  %-*s  <- %s; made by: %s\n", static_cast<int>(width), rel(c.path).c_str(), from.c_str(),
                   where_shown(c.made_by, r.top).c_str());
        }
        more(r.why.consequences.size(), 2);
    }
    for (int i = 0; i < 2; ++i) {
        const auto& only = i == 0 ? t.only_first : t.only_second;
        if (!only.empty()) {
            printf("\nMade by the %s build only:\n", k_ordinal[i]);
            for (size_t n = 0; n < only.size() && n < k_shown; ++n) {
                printf("  %s\n", only[n].c_str());
            }
            more(only.size(), 2);
        }
    }
    print_records(r);
}

// The build time that run will give both builds, as it works it out in the
// copy: the profile, --set, the environment, the package's changelog.
int64_t build_time_for(const options& o, const std::string& source)
{
    run_settings s;
    s.profile = o.profile;
    s.sets = o.given.sets;
    s.package_time = changelog_time(source + "/debian/changelog");
    std::vector<std::string> inherited;
    for (char** e = environ; *e != nullptr; ++e) {
        inherited.emplace_back(*e);
    }
    return build_time_of(inherited, s);
}

// The two builds and their comparison; throws user_error or interrupted.
int check_in(const options& o, temp_area& area, outcome& r)
{
    std::string source = current_dir();
    if (source == "/") {
        throw user_error("check: will not copy the whole file system; run it in the project's directory");
    }
    std::string name = source.substr(source.rfind('/') + 1);
    r.top = area.path() + "/" + name;
    struct stat self;
    if (stat(area.path().c_str(), &self) != 0) {
        throw user_error("cannot read " + area.path() + ": " + strerror(errno));
    }
    std::vector<tree_entry> entries = scan_tree(source, self.st_dev, self.st_ino);
    // Two copies are on disk at once, with what the builds add.
    uint64_t need = 2 * tree_bytes(entries) + (16u << 20);
    struct statvfs fs;
    if (statvfs(area.path().c_str(), &fs) == 0 &&
        static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize < need) {
        throw user_error("not enough disk space for two copies of the tree in " + area.path() + ": about " +
                         std::to_string(need >> 20) + " MiB needed, " +
                         std::to_string((static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize) >> 20) +
                         " MiB free (set TMPDIR to a file system with more room)");
    }
    r.shift_after = build_time_for(o, source);
    r.shift_s = file_time_shift(entries, r.shift_after);
    r.hosts_varied = host_names_can_vary();
    std::string times = r.shift_s != 0 ? "the file times after the build time (" + std::to_string(-r.shift_s) + " s earlier)"
                                       : "not the file times (none is after the build time)";
    fprintf(stderr, "kalvitrex: check: building twice in %s; varied: copy order, %s, start time, %s\n",
            r.top.c_str(), times.c_str(),
            r.hosts_varied ? "host names" : "not the host name (needs root or unprivileged user namespaces)");

    auto first_start = std::chrono::steady_clock::now();
    bool beside[2] = {false, false};
    for (int i = 0; i < 2; ++i) {
        copy_tree(entries, source, r.top, {i == 1, i == 1 ? r.shift_s : 0, r.shift_after});
        if (i == 0) {
            first_start = std::chrono::steady_clock::now();
        } else {
            // The second build starts at least a second after the first.
            auto due = first_start + std::chrono::milliseconds(1100);
            while (std::chrono::steady_clock::now() < due && g_tree_stop == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            r.delay_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - first_start).count();
        }
        if (g_tree_stop != 0) {
            throw interrupted{};
        }
        fprintf(stderr, "kalvitrex: check: %s build\n", k_ordinal[i]);
        build_run b = run_build(o, r.top, area.path() + "/" + k_ordinal[i] + ".db",
                                r.hosts_varied ? k_host_names[i] : nullptr, area.path() + "/" + k_ordinal[i] + ".mark");
        r.runs.push_back(b);
        if (g_tree_stop != 0) {
            throw interrupted{};
        }
        if (b.status != 0) {
            printf("kalvitrex check: the %s build failed (%s %d); nothing is claimed about reproducibility\n",
                   k_ordinal[i], b.status > 128 ? "killed, status" : "exit status", b.status);
            return 2;
        }
        std::string kept = area.path() + "/" + k_ordinal[i];
        beside[i] = move_beside(area.path(), name, kept + k_beside);
        if (rename(r.top.c_str(), kept.c_str()) != 0) {
            printf("kalvitrex check: the %s build removed its own directory (%s); there is nothing to compare\n",
                   k_ordinal[i], r.top.c_str());
            return 2;
        }
    }

    std::string first = area.path() + "/first", second = area.path() + "/second";
    r.answered = true;
    r.trees = compare_trees(first, second, r.runs[0].mark, r.runs[1].mark);
    if (beside[0] || beside[1]) {
        for (const std::string& dir : {first + k_beside, second + k_beside}) {
            mkdir(dir.c_str(), 0700);
        }
        tree_comparison b = compare_trees(first + k_beside, second + k_beside, r.runs[0].mark, r.runs[1].mark);
        for (auto [from, to] : {std::pair{&b.differing, &r.trees.differing}, std::pair{&b.only_first, &r.trees.only_first},
                                std::pair{&b.only_second, &r.trees.only_second}}) {
            for (const std::string& f : *from) {
                to->push_back("../" + f);
            }
        }
        r.trees.made_by_both += b.made_by_both;
    }
    std::string schema = find_layout().schema;
    build_data b[2];
    for (int i = 0; i < 2; ++i) {
        b[i] = load_build(database::open_existing(r.runs[static_cast<size_t>(i)].db, schema));
    }
    std::vector<std::string> outputs;
    for (const std::string& d : r.trees.differing) {
        (is_build_record(d) ? r.records : outputs).push_back(d);
    }
    r.trees.made_by_both -= r.records.size();
    r.trees.differing = std::move(outputs);
    // In the order the second build last wrote them: change times, which
    // no tool sets back as cp -p, install -p and gzip do modification times.
    std::vector<std::pair<timespec, std::string>> written;
    for (const std::string& d : r.trees.differing) {
        struct stat st {};
        std::string kept = d.rfind("../", 0) == 0 ? second + k_beside + "/" + d.substr(3) : second + "/" + d;
        lstat(kept.c_str(), &st);
        written.push_back({st.st_ctim, d});
    }
    std::stable_sort(written.begin(), written.end(), [](const auto& a, const auto& b) {
        return a.first.tv_sec != b.first.tv_sec ? a.first.tv_sec < b.first.tv_sec : a.first.tv_nsec < b.first.tv_nsec;
    });
    std::vector<std::string> differing;
    for (const auto& w : written) {
        differing.push_back(normalize_path(w.second, r.top));
    }
    r.why = find_culprits(b[0], b[1], differing);
    print_summary(r);
    for (int i = 0; i < 2; ++i) {
        if (r.runs[static_cast<size_t>(i)].commands == 0) {
            fprintf(stderr,
                    "kalvitrex: check: the %s build traced no command: was the tree built already? (check copies "
                    "it as it is)\n",
                    k_ordinal[i]);
        }
    }
    bool same = r.trees.differing.empty() && r.trees.only_first.empty() && r.trees.only_second.empty();
    return same ? 0 : 1;
}

}  // namespace

int check_command(const args& a)
{
    for (const std::string& s : a) {
        if (s == "-h" || s == "--help") {
            fputs(k_check_help, stdout);
            return 0;
        }
        if (s == "--") {
            break;
        }
    }
    options o = parse_options(a, current_dir());
    signal_watch watch;
    int code = 2;
    outcome r;
    r.opts = &o;
    temp_area area;
    try {
        code = check_in(o, area, r);
    } catch (const interrupted&) {
        fprintf(stderr, "kalvitrex: check: interrupted; removing %s\n", area.path().c_str());
        return 128 + static_cast<int>(g_tree_stop);
    }
    if (o.keep) {
        area.keep();
        r.kept = area.path();
        fprintf(stderr, "kalvitrex: check: kept %s (first, second, first.db, second.db)\n", area.path().c_str());
    }
    if (!o.json.empty()) {
        write_file_atomically(o.json, to_json(r));
    }
    return code;
}

}  // namespace kvx
