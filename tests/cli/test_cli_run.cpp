// kalvitrex run: what it controls before and after the build, checked with
// real processes (coreutils env, sh, printf, date).
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <regex>
#include <sstream>

#include "cli_fixture.h"

using namespace cli_test;

namespace {

bool has_word(const std::string& list, const std::string& word)
{
    std::istringstream in(list);
    for (std::string w; in >> w;) {
        if (w == word) {
            return true;
        }
    }
    return false;
}

}  // namespace

TEST(CliRun, CreatesTheDatabaseFromTheSchemaAndSummarises)
{
    temp_dir t;
    mkdir(t.sub("d").c_str(), 0755);
    // `true` is never traced: the run records nothing.
    auto r = kalvitrex({"run", "--db", "d/k.db", "--", "true"}, t.path());
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_TRUE(std::regex_match(r.err, std::regex("kalvitrex: build exited with status 0 after [0-9]+\\.[0-9][0-9] s: "
                                                   "0 commands traced, 0 files recorded, 0 targets \\(.*\\)\n")))
        << r.err;
    EXPECT_NE(r.err.find("(" + t.sub("d/k.db") + ")"), std::string::npos) << r.err;
    // Nothing else left beside it: no temporary file, no write-ahead log.
    EXPECT_EQ(std::system(("test \"$(ls -A " + t.sub("d") + ")\" = k.db").c_str()), 0);
    EXPECT_EQ(table_count(t.sub("d/k.db")), 12);
    // A second run uses it as it is; so does one on an empty file; and the
    // default place.
    EXPECT_EQ(kalvitrex({"run", "--db", "d/k.db", "--", "true"}, t.path()).exit_code, 0);
    write_file(t.sub("empty.db"), "");
    EXPECT_EQ(kalvitrex({"run", "--db", "empty.db", "true"}, t.path()).exit_code, 0);
    EXPECT_EQ(table_count(t.sub("empty.db")), 12);
    EXPECT_EQ(kalvitrex({"run", "--", "true"}, t.path()).exit_code, 0);
    EXPECT_EQ(table_count(t.sub("kalvitrex.db")), 12);
    // A database made before argument vectors were kept reads as it is, and
    // a run adds the table.
    make_db(t.sub("old.db"), "DROP TABLE build_command_argv_table;");
    auto rep = kalvitrex({"report", "--db", "old.db"}, t.path());
    EXPECT_EQ(rep.exit_code, 0) << describe(rep);
    EXPECT_EQ(table_count(t.sub("old.db")), 11);
    EXPECT_EQ(kalvitrex({"run", "--db", "old.db", "--", "true"}, t.path()).exit_code, 0);
    EXPECT_EQ(table_count(t.sub("old.db")), 12);
}

TEST(CliRun, RefusesForeignDatabasesAndMissingPiecesBeforeTheBuild)
{
    temp_dir t;
    write_file(t.sub("junk.db"), "this is not sqlite, but long enough to look like a header....................");
    make_db(t.sub("old.db"), "DROP TABLE source_head_table;");
    write_file(t.sub("bad.profile"), "# mine\nZIV_TIMELIST = gcc\nZIV_FOO = 1\n");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--db", "k.db"}, "SOURCE_DATE_EPOCH must be a number of seconds, got 'yesterday'\n"},
        {{"--db", "junk.db"}, t.sub("junk.db") + ": not a build database (file is not a database)"},
        {{"--db", "old.db"}, t.sub("old.db") + ": not a build database (table source_head_table is missing)"},
        {{"--lib", "/nonexistent/libziv_env.so"},
         "library not found: /nonexistent/libziv_env.so (give its place with --lib PATH)"},
        {{"--profile", "bad.profile"}, "bad.profile:3: unknown setting ZIV_FOO"},
        {{"--profile", "none.profile"}, "profile not found: none.profile"},
        {{"--hdeps", "x"}, "--hdeps takes open, open-all, mm or m, got 'x'"},
        {{"--hdeps=mmm"}, "--hdeps takes open, open-all, mm or m, got 'mmm'"},
        {{"--no-trace", "--hdeps", "m"}, "run: --hdeps records headers and needs tracing; drop --no-trace"},
        {{"--set", "ZIV_TRACE_OUTPUT=/x.db"}, "--set: ZIV_TRACE_OUTPUT is set by kalvitrex run itself"},
        {{"--bogus"}, "run: unknown option --bogus (see kalvitrex run --help)"},
        {{"--set", "ZIV_TIMELIST"}, "--set needs NAME=VALUE, got 'ZIV_TIMELIST'"},
        {{"--set", "ZIV_PCOMMAND_ID=3"}, "--set: ZIV_PCOMMAND_ID is set by kalvitrex run itself"},
        {{"--set", "LD_PRELOAD=/x.so"}, "--set: LD_PRELOAD is set by kalvitrex run itself"},
        {{"--set", "umask=8"}, "--set: umask takes an octal mask such as 022, got '8'"},
        {{"--set", "ZIV_TIME=yesterday"}, "ZIV_TIME must be 'YYYY-MM-DD HH:MM:SS' (local time) or '@SECONDS', got 'yesterday'"},
        {{"--profile", "nosuch"}, "no shipped profile named 'nosuch' (in "},
        {{}, "run: no build command given (kalvitrex run [options] -- COMMAND ...)"},
    };
    for (const auto& [options, err] : cases) {
        std::vector<std::string> args = {"run"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back("--");
        if (!options.empty()) {
            args.insert(args.end(), {"sh", "-c", "touch ran"});
        }
        auto r = kalvitrex(args, t.path(), {err.rfind("SOURCE_DATE_EPOCH", 0) == 0 ? "SOURCE_DATE_EPOCH=yesterday" : "X="});
        EXPECT_EQ(r.exit_code, 125) << describe(r);
        EXPECT_EQ(r.err.substr(0, err.size() + 11), "kalvitrex: " + err) << describe(r);
        EXPECT_FALSE(exists(t.sub("ran"))) << "a refused run must not start the build";
        EXPECT_FALSE(exists(t.sub("kalvitrex.db")) || exists(t.sub("k.db"))) << "nor create a database";
    }
}

TEST(CliRun, BuildEnvironmentFromProfileOptionsAndSourceDateEpoch)
{
    temp_dir t;
    auto r = kalvitrex({"run", "--db", "k.db", "--hdeps", "mm", "--set", "ZIV_HOSTNAME=build host", "--", "env"},
                       t.path(),
                       {"LD_PRELOAD=/opt/x/libother.so", "SOURCE_DATE_EPOCH=1646016134", "ZIV_PCOMMAND_ID=44",
                        "ZIV_TIMELIST=mine"});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    auto env = report(r);
    EXPECT_EQ(env["LD_PRELOAD"], std::string(KVX_LIB_PATH) + ":/opt/x/libother.so");
    EXPECT_EQ(env["ZIV_TRACE_ENABLE"], "yes");
    EXPECT_EQ(env["ZIV_TRACE_OUTPUT"], t.sub("k.db"));
    EXPECT_EQ(env["ZIV_TRACE_HDEPS"], "mm");
    // Without a mode, header tracing from the compiler's opens; a word that
    // is no mode starts the build command.
    for (const auto& [hdeps, mode] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--hdeps", "--", "env"}, "open"}, {{"--hdeps", "env"}, "open"}, {{"--hdeps=open-all", "env"}, "open-all"}}) {
        std::vector<std::string> args = {"run", "--db", "k.db"};
        args.insert(args.end(), hdeps.begin(), hdeps.end());
        auto h = kalvitrex(args, t.path());
        ASSERT_EQ(h.exit_code, 0) << describe(h);
        EXPECT_EQ(report(h)["ZIV_TRACE_HDEPS"], mode) << hdeps[0];
    }
    EXPECT_EQ(env["ZIV_TIME"], "@1646016134");
    EXPECT_EQ(env["SOURCE_DATE_EPOCH"], "1646016134");
    EXPECT_EQ(env["PYTHONHASHSEED"], "0");
    EXPECT_EQ(env["ZIV_HOSTNAME"], "build host");
    EXPECT_EQ(env.count("ZIV_PCOMMAND_ID"), 0u);
    EXPECT_EQ(env["PATH"], "/usr/local/bin:/usr/bin:/bin");
    // The shipped profile (it decides over the inherited lists): make
    // programs keep real times both ways; archivers get fixed file times,
    // owners and inodes; compilers and code generators a fixed time; listing
    // programs sorted listings.
    const std::string makes = "make gmake ninja cmake", compilers = "gcc cc1 cc1plus as bison date";
    for (const auto& [list, in, out] : std::vector<std::array<std::string, 3>>{
             {"ZIV_WHITELIST", makes, ""}, {"ZIV_TIMELIST", compilers, makes + " mine"}, {"ZIV_CGTLIST", compilers, makes},
             {"ZIV_GTDLIST", "", makes}, {"ZIV_FILE_TIME_LIST", "ar tar zip cpio", makes}, {"ZIV_UIDLIST", "ar tar zip cpio", ""},
             {"ZIV_INOLIST", "tar", ""}, {"ZIV_DIRLIST", "ls find", ""}}) {
        ASSERT_EQ(env.count(list), 1u) << list;
        EXPECT_EQ(env[list].find("  "), std::string::npos) << list;
        for (const auto& [words, want] : {std::pair{in, true}, std::pair{out, false}}) {
            std::istringstream each(words);
            for (std::string w; each >> w;) {
                EXPECT_EQ(has_word(env[list], w), want) << w << " in " << list;
            }
        }
    }

    // No profile, no tracing: inherited values stay, no database appears;
    // --lib: a relative place is made absolute for the loader.
    mkdir(t.sub("mylib").c_str(), 0755);
    ASSERT_EQ(symlink(KVX_LIB_PATH, t.sub("mylib/libziv_env.so").c_str()), 0);
    r = kalvitrex({"run", "--no-profile", "--no-trace", "--db", "n.db", "--lib", "mylib/libziv_env.so", "--", "env"},
                  t.path(), {"ZIV_TIMELIST=mine", "ZIV_TRACE_ENABLE=yes", "ZIV_TRACE_OUTPUT=/else.db"});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    env = report(r);
    EXPECT_EQ(env["ZIV_TIMELIST"], "mine");
    EXPECT_EQ(env["ZIV_TRACE_ENABLE"], "no");
    EXPECT_EQ(env.count("ZIV_TRACE_OUTPUT"), 0u);
    EXPECT_EQ(env.count("ZIV_WHITELIST"), 0u);
    EXPECT_EQ(env["LD_PRELOAD"], t.sub("mylib/libziv_env.so"));
    EXPECT_FALSE(exists(t.sub("n.db")));
    EXPECT_TRUE(std::regex_match(r.err,
                                 std::regex("kalvitrex: build exited with status 0 after [0-9.]+ s \\(not traced\\)\n")))
        << r.err;

    // date is listed and prints the build time, whatever zone a step sets
    // for itself; SOURCE_DATE_EPOCH is exported when unset, kept when set.
    const std::string show = "date +%s; TZ=JST-9 date +%s; echo $SOURCE_DATE_EPOCH; umask";
    r = kalvitrex({"run", "--no-trace", "--", "sh", "-c", show}, t.path(), {"TZ=CET-1CEST,M3.5.0,M10.5.0/3"});
    EXPECT_EQ(r.out, "1646016134\n1646016134\n1646016134\n0022\n") << describe(r);
    r = kalvitrex({"run", "--no-trace", "--set", "umask=027", "--", "sh", "-c", show}, t.path(),
                  {"SOURCE_DATE_EPOCH=1656000000", "TZ=CET-1CEST,M3.5.0,M10.5.0/3"});
    EXPECT_EQ(r.out, "1656000000\n1656000000\n1656000000\n0027\n") << describe(r);
    r = kalvitrex({"run", "--no-trace", "--set", "ZIV_TIME=2022-06-23 12:00:00", "--set", "TZ=UTC0", "--", "sh", "-c",
                   show},
                  t.path(), {"SOURCE_DATE_EPOCH=1", "TZ=JST-9"});
    EXPECT_EQ(r.out, "1655985600\n1655985600\n1\n0022\n") << describe(r);
    // The strict profile by its name: zone, locale and mask fixed.
    r = kalvitrex({"run", "--no-trace", "--profile", "strict", "--", "sh", "-c", "echo $TZ $LC_ALL; umask; date"},
                  t.path(), {"TZ=JST-9", "LC_ALL=POSIX"});
    EXPECT_EQ(r.out, "UTC C.UTF-8\n0022\nMon Feb 28 02:42:14 UTC 2022\n") << describe(r);
}

TEST(CliRun, ArgumentsPassExactlyAndTheBuildStatusComesBack)
{
    temp_dir t;
    auto r = kalvitrex({"run", "--no-trace", "--", "printf", "[%s]\\n", "a b", "it's", "$(touch x);|&\"\\", ""},
                       t.path());
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(r.out, "[a b]\n[it's]\n[$(touch x);|&\"\\]\n[]\n");
    EXPECT_FALSE(exists(t.sub("x")));
    const std::tuple<std::string, int, std::string> ends[] = {
        {"exit 7", 7, "kalvitrex: build exited with status 7 after "},
        {"kill -TERM $$", 128 + 15, "kalvitrex: build was killed by signal 15 after "},
    };
    for (const auto& [script, status, message] : ends) {
        r = kalvitrex({"run", "--db", "k.db", "--", "sh", "-c", script}, t.path());
        EXPECT_EQ(r.exit_code, status) << describe(r);
        EXPECT_EQ(r.err.rfind(message, 0), 0u) << r.err;
    }
    r = kalvitrex({"run", "--db", "k.db", "--", "no-such-build-tool", "x"}, t.path());
    EXPECT_EQ(r.exit_code, 127) << describe(r);
    EXPECT_NE(r.err.find("kalvitrex: cannot run no-such-build-tool: No such file or directory\n"), std::string::npos)
        << r.err;

    // A database path with blanks and quotes reaches the library unchanged.
    r = kalvitrex({"run", "--db", "my 'odd\" db.db", "--", "env"}, t.path());
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(report(r)["ZIV_TRACE_OUTPUT"], t.sub("my 'odd\" db.db"));
    EXPECT_EQ(table_count(t.sub("my 'odd\" db.db")), 12);

    // Terminated itself, it passes the signal to the build and reports it.
    r = shell("\"$1\" run --no-trace -- sh -c 'exec sleep 20' & k=$!; sleep 0.5; kill -TERM $k; wait $k; "
              "echo status=$?",
              t.path(), {}, 15);
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(r.out, "status=143\n");
    EXPECT_TRUE(std::regex_match(
        r.err, std::regex("kalvitrex: build was killed by signal 15 after [0-9.]+ s \\(not traced\\)\n")))
        << describe(r);
}

TEST(CliRun, InstalledLayoutFindsLibrarySchemaAndProfile)
{
    temp_dir t;
    const std::string prefix = t.sub("prefix");
    auto inst = shell("cmake --install \"$BUILD\" --prefix \"$PREFIX\" >/dev/null", t.path(),
                      {"BUILD=" KVX_BUILD_DIR, "PREFIX=" + prefix});
    ASSERT_EQ(inst.exit_code, 0) << describe(inst);
    run_options o;
    o.env = {"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=/tmp"};
    o.exe = prefix + "/bin/kalvitrex";
    o.argv = {"kalvitrex", "run", "--db", "i.db", "--", "env"};
    o.cwd = t.path();
    auto r = run(o);
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    auto env = report(r);
    const std::string lib = env["LD_PRELOAD"];
    EXPECT_TRUE(lib.rfind(prefix + "/lib", 0) == 0 && lib.size() > 14 && lib.substr(lib.size() - 14) == "/libziv_env.so")
        << lib;
    EXPECT_EQ(access(lib.c_str(), R_OK), 0);
    EXPECT_TRUE(has_word(env["ZIV_WHITELIST"], "make"));
    EXPECT_EQ(table_count(t.sub("i.db")), 12);
    // The other shipped profile, by name, including the default one.
    o.argv = {"kalvitrex", "run", "--no-trace", "--profile", "strict", "--", "env"};
    env = report(run(o));
    EXPECT_EQ(env["TZ"], "UTC");
    EXPECT_TRUE(has_word(env["ZIV_WHITELIST"], "make"));
    o.argv = {"kalvitrex", "run", "--db", "i.db", "--", "env"};
    // Without the library beside it, the program says so.
    unlink(lib.c_str());
    r = run(o);
    EXPECT_EQ(r.exit_code, 125);
    EXPECT_EQ(r.err, "kalvitrex: library not found: " + lib + " (give its place with --lib PATH)\n");
}
