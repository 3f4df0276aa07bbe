// kalvitrex run: what it controls before and after the build, checked with
// real processes (coreutils env, sh, printf, date).
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

#include "cli_fixture.h"

using namespace cli_test;
using ziv_test::describe;
using ziv_test::read_file;
using ziv_test::temp_dir;
using ziv_test::write_file;

namespace {

std::map<std::string, std::string> env_of(const std::string& out)
{
    std::map<std::string, std::string> m;
    for (const auto& l : lines(out)) {
        size_t eq = l.find('=');
        if (eq != std::string::npos) {
            m[l.substr(0, eq)] = l.substr(eq + 1);
        }
    }
    return m;
}

std::vector<std::string> words(const std::string& s)
{
    std::vector<std::string> out;
    std::string w;
    for (char c : s + " ") {
        if (c == ' ') {
            if (!w.empty()) {
                out.push_back(w);
            }
            w.clear();
        } else {
            w += c;
        }
    }
    return out;
}

bool has_word(const std::string& list, const std::string& w)
{
    for (const auto& x : words(list)) {
        if (x == w) {
            return true;
        }
    }
    return false;
}

int64_t table_count(const std::string& db_path)
{
    build_db* none = nullptr;
    (void)none;
    sqlite3* db = nullptr;
    sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master WHERE type='table'", -1, &st, nullptr);
    int64_t n = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
    sqlite3_finalize(st);
    sqlite3_close(db);
    return n;
}

const std::regex k_summary(
    "kalvitrex: build exited with status 0 after [0-9]+\\.[0-9][0-9] s: 0 commands traced, 0 files recorded, "
    "0 targets \\(.*\\)\n");

}  // namespace

TEST(CliRun, CreatesTheDatabaseFromTheSchemaAndSummarises)
{
    temp_dir t;
    mkdir(t.sub("d").c_str(), 0755);
    // `true` is never traced: the run records nothing.
    auto r = kalvitrex({"run", "--db", "d/k.db", "--", "true"}, t.path());
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_TRUE(std::regex_match(r.err, k_summary)) << r.err;
    EXPECT_NE(r.err.find("(" + t.sub("d/k.db") + ")"), std::string::npos) << r.err;
    // Nothing else left beside it: no temporary file, no write-ahead log.
    EXPECT_EQ(std::system(("test \"$(ls -A " + t.sub("d") + ")\" = k.db").c_str()), 0);
    EXPECT_EQ(table_count(t.sub("d/k.db")), 11);
    // A second run uses it as it is; so does one on an empty file.
    r = kalvitrex({"run", "--db", "d/k.db", "--", "true"}, t.path());
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    write_file(t.sub("empty.db"), "");
    r = kalvitrex({"run", "--db", "empty.db", "true"}, t.path());
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(table_count(t.sub("empty.db")), 11);
    // Default place.
    r = kalvitrex({"run", "--", "true"}, t.path());
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(table_count(t.sub("kalvitrex.db")), 11);
}

TEST(CliRun, RefusesForeignDatabasesAndMissingPiecesBeforeTheBuild)
{
    temp_dir t;
    write_file(t.sub("junk.db"), "this is not sqlite, but long enough to look like a header....................");
    {
        build_db db(t.sub("old.db"));
        db.exec("DROP TABLE source_head_table;");
    }
    write_file(t.sub("bad.profile"), "# mine\nZIV_TIMELIST = gcc\nZIV_FOO = 1\n");
    struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"run", "--db", "junk.db", "--", "sh", "-c", "touch ran"},
         "kalvitrex: " + t.sub("junk.db") + ": not a build database (file is not a database)\n"},
        {{"run", "--db", "old.db", "--", "sh", "-c", "touch ran"},
         "kalvitrex: " + t.sub("old.db") + ": not a build database (table source_head_table is missing)\n"},
        {{"run", "--lib", "/nonexistent/libziv_env.so", "--", "sh", "-c", "touch ran"},
         "kalvitrex: library not found: /nonexistent/libziv_env.so (give its place with --lib PATH)\n"},
        {{"run", "--profile", "bad.profile", "--", "sh", "-c", "touch ran"},
         "kalvitrex: bad.profile:3: unknown setting ZIV_FOO\n"},
        {{"run", "--profile", "none.profile", "--", "sh", "-c", "touch ran"},
         "kalvitrex: profile not found: none.profile\n"},
        {{"run", "--hdeps", "x", "--", "sh", "-c", "touch ran"}, "kalvitrex: --hdeps takes m or mm, got 'x'\n"},
        {{"run", "--no-trace", "--hdeps", "m", "--", "sh", "-c", "touch ran"},
         "kalvitrex: run: --hdeps records headers and needs tracing; drop --no-trace\n"},
        {{"run", "--set", "ZIV_TRACE_OUTPUT=/x.db", "--", "sh", "-c", "touch ran"},
         "kalvitrex: --set: ZIV_TRACE_OUTPUT is set by kalvitrex run itself\n"},
        {{"run", "--bogus", "--", "sh", "-c", "touch ran"},
         "kalvitrex: run: unknown option --bogus (see kalvitrex run --help)\n"},
        {{"run", "--"}, "kalvitrex: run: no build command given (kalvitrex run [options] -- COMMAND ...)\n"},
    };
    for (const auto& c : cases) {
        auto r = kalvitrex(c.args, t.path());
        EXPECT_EQ(r.exit_code, 125) << describe(r);
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err) << describe(r);
    }
    EXPECT_NE(access(t.sub("ran").c_str(), F_OK), 0) << "a refused run must not start the build";
    EXPECT_NE(access(t.sub("kalvitrex.db").c_str(), F_OK), 0) << "a refused run must not create a database";
    // Bad SOURCE_DATE_EPOCH.
    auto r = kalvitrex({"run", "--", "sh", "-c", "touch ran"}, t.path(), {"SOURCE_DATE_EPOCH=yesterday"});
    EXPECT_EQ(r.exit_code, 125);
    EXPECT_EQ(r.err, "kalvitrex: SOURCE_DATE_EPOCH must be a number of seconds, got 'yesterday'\n");
    EXPECT_NE(access(t.sub("ran").c_str(), F_OK), 0);
}

TEST(CliRun, BuildEnvironmentFromProfileOptionsAndSourceDateEpoch)
{
    temp_dir t;
    auto r = kalvitrex({"run", "--db", "k.db", "--hdeps", "mm", "--set", "ZIV_HOSTNAME=build host", "--", "env"},
                       t.path(),
                       {"LD_PRELOAD=/opt/x/libother.so", "SOURCE_DATE_EPOCH=1646016134", "ZIV_PCOMMAND_ID=44",
                        "ZIV_TIMELIST=mine", "TZ=UTC0"});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    auto env = env_of(r.out);
    EXPECT_EQ(env["LD_PRELOAD"], std::string("/opt/x/libother.so:") + KVX_LIB_PATH);
    EXPECT_EQ(env["ZIV_TRACE_ENABLE"], "yes");
    EXPECT_EQ(env["ZIV_TRACE_OUTPUT"], t.sub("k.db"));
    EXPECT_EQ(env["ZIV_TRACE_HDEPS"], "mm");
    EXPECT_EQ(env["ZIV_TIME"], "2022-02-28 02:42:14");
    EXPECT_EQ(env["ZIV_HOSTNAME"], "build host");
    EXPECT_EQ(env.count("ZIV_PCOMMAND_ID"), 0u);
    EXPECT_EQ(env["PATH"], "/usr/local/bin:/usr/bin:/bin");

    // The shipped profile: make programs keep real times both ways.
    for (const char* mk : {"make", "gmake", "ninja", "cmake"}) {
        EXPECT_TRUE(has_word(env["ZIV_WHITELIST"], mk)) << mk;
        for (const char* list : {"ZIV_TIMELIST", "ZIV_CGTLIST", "ZIV_GTDLIST", "ZIV_FILE_TIME_LIST"}) {
            ASSERT_EQ(env.count(list), 1u) << list;
            EXPECT_FALSE(has_word(env[list], mk)) << mk << " in " << list;
        }
    }
    for (const char* ar : {"ar", "tar", "zip", "cpio"}) {
        EXPECT_TRUE(has_word(env["ZIV_FILE_TIME_LIST"], ar)) << ar;
        EXPECT_TRUE(has_word(env["ZIV_UIDLIST"], ar)) << ar;
    }
    EXPECT_TRUE(has_word(env["ZIV_INOLIST"], "tar"));
    for (const char* cc : {"gcc", "cc1", "cc1plus", "as", "bison"}) {
        EXPECT_TRUE(has_word(env["ZIV_TIMELIST"], cc)) << cc;
        EXPECT_TRUE(has_word(env["ZIV_CGTLIST"], cc)) << cc;
    }
    EXPECT_FALSE(has_word(env["ZIV_TIMELIST"], "mine"));  // the profile decides
    EXPECT_TRUE(has_word(env["ZIV_DIRLIST"], "ls"));
    EXPECT_TRUE(has_word(env["ZIV_DIRLIST"], "find"));
    EXPECT_EQ(env["ZIV_DIRLIST"].find("  "), std::string::npos);

    // No profile, no tracing: inherited values stay, no database appears.
    r = kalvitrex({"run", "--no-profile", "--no-trace", "--db", "n.db", "--", "env"}, t.path(),
                  {"ZIV_TIMELIST=mine", "ZIV_TRACE_ENABLE=yes", "ZIV_TRACE_OUTPUT=/else.db"});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    env = env_of(r.out);
    EXPECT_EQ(env["ZIV_TIMELIST"], "mine");
    EXPECT_EQ(env["ZIV_TRACE_ENABLE"], "no");
    EXPECT_EQ(env.count("ZIV_TRACE_OUTPUT"), 0u);
    EXPECT_EQ(env.count("ZIV_WHITELIST"), 0u);
    EXPECT_EQ(env["LD_PRELOAD"], KVX_LIB_PATH);
    EXPECT_NE(access(t.sub("n.db").c_str(), F_OK), 0);

    // --lib: a relative place is made absolute for the loader.
    mkdir(t.sub("mylib").c_str(), 0755);
    ASSERT_EQ(symlink(KVX_LIB_PATH, t.sub("mylib/libziv_env.so").c_str()), 0);
    auto l = kalvitrex({"run", "--no-trace", "--lib", "mylib/libziv_env.so", "--", "env"}, t.path());
    ASSERT_EQ(l.exit_code, 0) << describe(l);
    EXPECT_EQ(env_of(l.out)["LD_PRELOAD"], t.sub("mylib/libziv_env.so"));
    EXPECT_TRUE(std::regex_match(
        r.err, std::regex("kalvitrex: build exited with status 0 after [0-9.]+ s \\(not traced\\)\n")))
        << r.err;
}

TEST(CliRun, SourceDateEpochIsTheTimeProgramsSee)
{
    // date reads the clock through clock_gettime: listed, it must print the
    // epoch back, in a zone with summer time too.
    temp_dir t;
    for (const char* zone : {"UTC0", "Europe/Berlin"}) {
        for (const char* epoch : {"1646016134", "1656000000"}) {
            auto r = kalvitrex({"run", "--no-trace", "--no-profile", "--set", "ZIV_CGTLIST=date", "--set",
                                "ZIV_TIMELIST=date", "--", "date", "+%s"},
                               t.path(), {std::string("SOURCE_DATE_EPOCH=") + epoch, std::string("TZ=") + zone});
            ASSERT_EQ(r.exit_code, 0) << describe(r);
            EXPECT_EQ(r.out, std::string(epoch) + "\n") << zone;
        }
    }
}

TEST(CliRun, ArgumentsPassExactlyAndTheBuildStatusComesBack)
{
    temp_dir t;
    auto r = kalvitrex({"run", "--no-trace", "--", "printf", "[%s]\\n", "a b", "it's", "$(touch x);|&\"\\", ""},
                       t.path());
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(r.out, "[a b]\n[it's]\n[$(touch x);|&\"\\]\n[]\n");
    EXPECT_NE(access(t.sub("x").c_str(), F_OK), 0);

    r = kalvitrex({"run", "--db", "k.db", "--", "sh", "-c", "exit 7"}, t.path());
    EXPECT_EQ(r.exit_code, 7) << describe(r);
    EXPECT_NE(r.err.find("kalvitrex: build exited with status 7 after "), std::string::npos) << r.err;

    r = kalvitrex({"run", "--db", "k.db", "--", "sh", "-c", "kill -TERM $$"}, t.path());
    EXPECT_EQ(r.exit_code, 128 + 15) << describe(r);
    EXPECT_NE(r.err.find("kalvitrex: build was killed by signal 15 after "), std::string::npos) << r.err;

    r = kalvitrex({"run", "--db", "k.db", "--", "no-such-build-tool", "x"}, t.path());
    EXPECT_EQ(r.exit_code, 127) << describe(r);
    EXPECT_NE(r.err.find("kalvitrex: cannot run no-such-build-tool: No such file or directory\n"), std::string::npos)
        << r.err;

    // A database path with blanks and quotes reaches the library unchanged.
    r = kalvitrex({"run", "--db", "my 'odd\" db.db", "--", "env"}, t.path());
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(env_of(r.out)["ZIV_TRACE_OUTPUT"], t.sub("my 'odd\" db.db"));
    EXPECT_EQ(table_count(t.sub("my 'odd\" db.db")), 11);
}

TEST(CliRun, InstalledLayoutFindsLibrarySchemaAndProfile)
{
    temp_dir t;
    std::string prefix = t.sub("prefix");
    ziv_test::run_options o;
    o.exe = "/bin/sh";
    o.argv = {"sh", "-c", "cmake --install \"$1\" --prefix \"$2\" >/dev/null", "sh", KVX_BUILD_DIR, prefix};
    o.env = {"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=/tmp"};
    auto inst = ziv_test::run(o);
    ASSERT_EQ(inst.exit_code, 0) << describe(inst);
    ziv_test::run_options k;
    k.exe = prefix + "/bin/kalvitrex";
    k.argv = {"kalvitrex", "run", "--db", "i.db", "--", "env"};
    k.env = {"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=/tmp"};
    k.cwd = t.path();
    auto r = ziv_test::run(k);
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    auto env = env_of(r.out);
    std::string lib = env["LD_PRELOAD"];
    EXPECT_EQ(lib.rfind(prefix + "/lib", 0), 0u) << lib;
    EXPECT_EQ(lib.substr(lib.size() - 14), "/libziv_env.so");
    EXPECT_EQ(access(lib.c_str(), R_OK), 0);
    EXPECT_TRUE(has_word(env["ZIV_WHITELIST"], "make"));
    EXPECT_EQ(table_count(t.sub("i.db")), 11);
    // Without the library beside it, the program says so.
    unlink(lib.c_str());
    r = ziv_test::run(k);
    EXPECT_EQ(r.exit_code, 125);
    EXPECT_EQ(r.err, "kalvitrex: library not found: " + lib + " (give its place with --lib PATH)\n");
}

TEST(CliRun, TerminationIsPassedToTheBuildAndReported)
{
    temp_dir t;
    ziv_test::run_options o;
    o.exe = "/bin/sh";
    o.argv = {"sh", "-c",
              "\"$1\" run --no-trace -- sh -c 'exec sleep 20' & k=$!; sleep 0.5; kill -TERM $k; wait $k; "
              "echo status=$?",
              "sh", KVX_PROGRAM};
    o.env = {"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=/tmp"};
    o.cwd = t.path();
    o.timeout_s = 15;
    auto r = ziv_test::run(o);
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(r.out, "status=143\n");
    EXPECT_TRUE(std::regex_match(
        r.err, std::regex("kalvitrex: build was killed by signal 15 after [0-9.]+ s \\(not traced\\)\n")))
        << describe(r);
}
