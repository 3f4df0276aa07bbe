// kalvitrex run: the build under the preloaded library, with its database.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "kalvitrex_commands.h"
#include "kalvitrex_common.h"
#include "kalvitrex_compile_db.h"
#include "kalvitrex_db.h"
#include "kalvitrex_env.h"

extern char** environ;

namespace kvx {

const char* const k_run_help =
    "Usage: kalvitrex run [options] -- BUILD COMMAND [ARGS...]\n"
    "\n"
    "Runs the build command with libziv_env.so preloaded: programs named in the\n"
    "profile get reproducible answers, and every traced command is recorded in\n"
    "the build database. Exits with the build's own status.\n"
    "\n"
    "Options:\n"
    "  --db PATH        build database (default kalvitrex.db); created from the\n"
    "                   schema when absent, refused when its tables differ\n"
    "  --lib PATH       the library to preload (default: the installed one)\n"
    "  --profile P      settings of the normalisations and the build's\n"
    "                   environment: a shipped profile by name (default,\n"
    "                   strict) or a file (a path, or a name ending in\n"
    "                   .profile); default: the shipped default profile\n"
    "  --no-profile     no profile: only the inherited ZIV_* variables apply\n"
    "  --set NAME=VALUE one setting (ZIV_*, an environment variable or umask),\n"
    "                   over the profile (repeatable)\n"
    "  --hdeps [MODE]   record the headers of each compilation: open (the\n"
    "                   default) notes the headers outside system directories\n"
    "                   as the compiler reads them, open-all all of them;\n"
    "                   mm and m run the compiler a second time for the same\n"
    "                   (only gcc's cc1)\n"
    "  --no-trace       normalisation only, no database\n"
    "  --compile-commands FILE\n"
    "                   after the build, write the JSON compilation database\n"
    "                   (as report --compile-commands does)\n"
    "  --all            with --compile-commands: keep the entries of sources\n"
    "                   that no longer exist and of CMake's and Meson's\n"
    "                   compiler probes\n"
    "  -h, --help       this text\n"
    "\n"
    "When SOURCE_DATE_EPOCH is set it gives the build time (ZIV_TIME) unless\n"
    "--set ZIV_TIME=... is given; when it is not, the build gets it, equal to\n"
    "the build time (in a Debian source tree, by default the date of the\n"
    "latest debian/changelog entry). Exit status 125 means kalvitrex itself\n"
    "failed, 126 and 127 that the build command could not be started.\n";

namespace {

constexpr int k_own_failure = 125;

volatile sig_atomic_t g_child = 0;

void forward_signal(int sig)
{
    if (g_child > 0) {
        kill(g_child, sig);
    }
}

struct row_marks {
    int64_t command = 0, source = 0, header = 0, target = 0;
};

row_marks read_marks(const database& db)
{
    return {db.scalar("SELECT coalesce(max(id),0) FROM build_command_table"),
            db.scalar("SELECT coalesce(max(id),0) FROM source_file_table"),
            db.scalar("SELECT coalesce(max(id),0) FROM head_file_table"),
            db.scalar("SELECT coalesce(max(id),0) FROM target_file_table")};
}

int64_t count_after(const database& db, const char* table, int64_t mark)
{
    std::string sql = std::string("SELECT count(*) FROM ") + table + " WHERE id > " + std::to_string(mark);
    return db.scalar(sql.c_str());
}

std::string absolute_file(const std::string& path)
{
    return normalize_path(path, current_dir());
}

void check_library(const std::string& lib)
{
    struct stat st;
    if (stat(lib.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || access(lib.c_str(), R_OK) != 0) {
        throw user_error("library not found: " + lib + " (give its place with --lib PATH)");
    }
    if (lib.find_first_of(" :\t\n") != std::string::npos) {
        throw user_error("the library's path must not hold blanks or colons (LD_PRELOAD splits there): " + lib);
    }
}

bool hdeps_mode_name(const std::string& v) { return v == "open" || v == "open-all" || v == "mm" || v == "m"; }

// "--hdeps=MODE", "--hdeps MODE", or "--hdeps" alone for "open". A word
// after it that is no mode starts the build command, unless "--" follows
// it: then it was meant as a mode.
std::string hdeps_option(const args& a, size_t& i)
{
    std::string v = "open";
    if (a[i] != "--hdeps") {
        v = a[i].substr(sizeof "--hdeps=" - 1);
    } else if (i + 1 < a.size() && (hdeps_mode_name(a[i + 1]) || (i + 2 < a.size() && a[i + 2] == "--" &&
                                                                   !a[i + 1].empty() && a[i + 1][0] != '-'))) {
        v = a[++i];
    }
    if (!hdeps_mode_name(v)) {
        throw user_error("--hdeps takes open, open-all, mm or m, got '" + v + "'");
    }
    return v;
}

std::string describe_status(int status)
{
    if (WIFSIGNALED(status)) {
        return std::string("was killed by signal ") + std::to_string(WTERMSIG(status));
    }
    return "exited with status " + std::to_string(WEXITSTATUS(status));
}

}  // namespace

static int run_checked(const args& a)
{
    std::string db_path = "kalvitrex.db";
    std::string lib;
    profile_options given;
    std::string compile_file;
    bool all_entries = false;
    bool use_profile = true;
    run_settings s;
    size_t i = 0;
    for (; i < a.size(); ++i) {
        if (a[i] == "--") {
            ++i;
            break;
        }
        if (a[i] == "-h" || a[i] == "--help") {
            fputs(k_run_help, stdout);
            return 0;
        }
        if (option_value(a, i, "--db", db_path) || option_value(a, i, "--lib", lib) || given.take(a, i) ||
            option_value(a, i, "--compile-commands", compile_file)) {
            continue;
        }
        if (a[i] == "--hdeps" || a[i].rfind("--hdeps=", 0) == 0) {
            s.hdeps = hdeps_option(a, i);
        } else if (a[i] == "--no-trace") {
            s.trace = false;
        } else if (a[i] == "--all") {
            all_entries = true;
        } else if (a[i] == "--no-profile") {
            use_profile = false;
        } else if (!a[i].empty() && a[i][0] == '-') {
            throw user_error("run: unknown option " + a[i] + " (see kalvitrex run --help)");
        } else {
            break;
        }
    }
    args build(a.begin() + static_cast<long>(i), a.end());
    if (build.empty()) {
        throw user_error("run: no build command given (kalvitrex run [options] -- COMMAND ...)");
    }
    if (!use_profile && !given.profile.empty()) {
        throw user_error("run: --profile and --no-profile exclude each other");
    }
    if (!s.trace && s.hdeps) {
        throw user_error("run: --hdeps records headers and needs tracing; drop --no-trace");
    }
    if (!s.trace && !compile_file.empty()) {
        throw user_error("run: --compile-commands is made from the trace; drop --no-trace");
    }
    if (all_entries && compile_file.empty()) {
        throw user_error("run: --all goes with --compile-commands FILE");
    }
    if (!compile_file.empty()) {
        compile_file = absolute_file(compile_file);
    }

    install_layout layout = find_layout();
    s.library = absolute_file(lib.empty() ? layout.library : lib);
    check_library(s.library);
    // dpkg-buildpackage and debhelper take SOURCE_DATE_EPOCH from the
    // changelog when it is not set; exporting another would change every
    // time stamp of the packages.
    s.package_time = changelog_time("debian/changelog");
    if (use_profile) {
        s.profile = read_profile(given.profile.empty() ? "default" : given.profile, layout.profiles);
    }
    s.sets = std::move(given.sets);

    row_marks before;
    if (s.trace) {
        s.database = absolute_file(db_path);
        if (s.database.size() >= 4095) {
            throw user_error("the database path is too long for the library: " + s.database);
        }
    }

    // Everything that can refuse the run comes before the database is made.
    std::vector<std::string> inherited;
    for (char** e = environ; *e != nullptr; ++e) {
        inherited.emplace_back(*e);
    }
    std::vector<std::string> env = compose_environment(inherited, s);
    std::optional<unsigned> mask = build_umask(s);
    if (s.trace) {
        database db = database::open_or_create(s.database, layout.schema);
        before = read_marks(db);
    }
    std::vector<char*> envp;
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (auto& b : build) {
        argv.push_back(const_cast<char*>(b.c_str()));
    }
    argv.push_back(nullptr);

    fflush(nullptr);
    auto start = std::chrono::steady_clock::now();
    // The terminal sends ^C to the whole group: the build decides what to do
    // with it, kalvitrex waits for it to end and reports.
    struct sigaction ignore {}, forward {}, old_int {}, old_quit {}, old_term {}, old_hup {};
    ignore.sa_handler = SIG_IGN;
    forward.sa_handler = forward_signal;
    sigaction(SIGINT, &ignore, &old_int);
    sigaction(SIGQUIT, &ignore, &old_quit);
    sigaction(SIGTERM, &forward, &old_term);
    sigaction(SIGHUP, &forward, &old_hup);
    pid_t child = fork();
    if (child < 0) {
        throw user_error(std::string("cannot start the build: ") + strerror(errno));
    }
    if (child == 0) {
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGQUIT, &old_quit, nullptr);
        sigaction(SIGTERM, &old_term, nullptr);
        sigaction(SIGHUP, &old_hup, nullptr);
        if (mask) {
            umask(static_cast<mode_t>(*mask));
        }
        execvpe(argv[0], argv.data(), envp.data());
        int err = errno;
        fprintf(stderr, "kalvitrex: cannot run %s: %s\n", argv[0], strerror(err));
        _exit(err == ENOENT ? 127 : 126);
    }
    g_child = child;
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            throw user_error(std::string("lost the build process: ") + strerror(errno));
        }
    }
    g_child = 0;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    int code = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);

    if (!s.trace) {
        fprintf(stderr, "kalvitrex: build %s after %.2f s (not traced)\n", describe_status(status).c_str(), seconds);
        return code;
    }
    try {
        database db = database::open_existing(s.database, layout.schema);
        int64_t commands = count_after(db, "build_command_table", before.command);
        int64_t files = count_after(db, "source_file_table", before.source) +
                        count_after(db, "head_file_table", before.header) +
                        count_after(db, "target_file_table", before.target);
        // Targets the build made; the rest of the table is what it read
        // (system objects and libraries of the links).
        std::string sql = "SELECT count(*) FROM target_file_table WHERE command_id != 0 AND id > " +
                          std::to_string(before.target);
        int64_t targets = db.scalar(sql.c_str());
        fprintf(stderr, "kalvitrex: build %s after %.2f s: %s traced, %s recorded, %s (%s)\n",
                describe_status(status).c_str(), seconds, counted(commands, "command", "commands").c_str(),
                counted(files, "file", "files").c_str(), counted(targets, "target", "targets").c_str(),
                s.database.c_str());
        if (!compile_file.empty()) {
            build_data b = load_build(db);
            try {
                write_compile_commands(b, compile_file, all_entries);
            } catch (const user_error& e) {
                fprintf(stderr, "kalvitrex: %s\n", e.what());
                // The build's own failure comes first.
                return code != 0 ? code : k_own_failure;
            }
        }
    } catch (const user_error& e) {
        fprintf(stderr, "kalvitrex: build %s after %.2f s; cannot read the database: %s\n",
                describe_status(status).c_str(), seconds, e.what());
    }
    return code;
}

int run_command(const args& a)
{
    try {
        return run_checked(a);
    } catch (const std::exception& e) {
        fprintf(stderr, "kalvitrex: %s\n", e.what());
        return k_own_failure;
    }
}

}  // namespace kvx
