// kalvitrex run: what it controls before and after the build, checked with
// real processes (coreutils env, sh, printf, date).
#include <sys/stat.h>
#include <unistd.h>

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
    EXPECT_EQ(table_count(t.sub("d/k.db")), 11);
    // A second run uses it as it is; so does one on an empty file; and the
    // default place.
    EXPECT_EQ(kalvitrex({"run", "--db", "d/k.db", "--", "true"}, t.path()).exit_code, 0);
    write_file(t.sub("empty.db"), "");
    EXPECT_EQ(kalvitrex({"run", "--db", "empty.db", "true"}, t.path()).exit_code, 0);
    EXPECT_EQ(table_count(t.sub("empty.db")), 11);
    EXPECT_EQ(kalvitrex({"run", "--", "true"}, t.path()).exit_code, 0);
    EXPECT_EQ(table_count(t.sub("kalvitrex.db")), 11);
}

TEST(CliRun, RefusesForeignDatabasesAndMissingPiecesBeforeTheBuild)
{
    temp_dir t;
    write_file(t.sub("junk.db"), "this is not sqlite, but long enough to look like a header....................");
    make_db(t.sub("old.db"), "DROP TABLE source_head_table;");
    write_file(t.sub("bad.profile"), "# mine\nZIV_TIMELIST = gcc\nZIV_FOO = 1\n");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--db", "junk.db"}, t.sub("junk.db") + ": not a build database (file is not a database)"},
        {{"--db", "old.db"}, t.sub("old.db") + ": not a build database (table source_head_table is missing)"},
        {{"--lib", "/nonexistent/libziv_env.so"},
         "library not found: /nonexistent/libziv_env.so (give its place with --lib PATH)"},
        {{"--profile", "bad.profile"}, "bad.profile:3: unknown setting ZIV_FOO"},
        {{"--profile", "none.profile"}, "profile not found: none.profile"},
        {{"--hdeps", "x"}, "--hdeps takes m or mm, got 'x'"},
        {{"--no-trace", "--hdeps", "m"}, "run: --hdeps records headers and needs tracing; drop --no-trace"},
        {{"--set", "ZIV_TRACE_OUTPUT=/x.db"}, "--set: ZIV_TRACE_OUTPUT is set by kalvitrex run itself"},
        {{"--bogus"}, "run: unknown option --bogus (see kalvitrex run --help)"},
        {{"--set", "ZIV_TIMELIST"}, "--set needs NAME=VALUE, got 'ZIV_TIMELIST'"},
        {{"--set", "ZIV_PCOMMAND_ID=3"}, "--set: ZIV_PCOMMAND_ID is set by kalvitrex run itself"},
        {{}, "run: no build command given (kalvitrex run [options] -- COMMAND ...)"},
    };
    for (const auto& [options, err] : cases) {
        std::vector<std::string> args = {"run"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back("--");
        if (!options.empty()) {
            args.insert(args.end(), {"sh", "-c", "touch ran"});
        }
        auto r = kalvitrex(args, t.path());
        EXPECT_EQ(r.exit_code, 125) << describe(r);
        EXPECT_EQ(r.err.substr(0, err.size() + 11), "kalvitrex: " + err) << describe(r);
    }
    EXPECT_FALSE(exists(t.sub("kalvitrex.db"))) << "a refused run must not create a database";
    auto r = kalvitrex({"run", "--", "sh", "-c", "touch ran"}, t.path(), {"SOURCE_DATE_EPOCH=yesterday"});
    EXPECT_EQ(r.exit_code, 125);
    EXPECT_EQ(r.err, "kalvitrex: SOURCE_DATE_EPOCH must be a number of seconds, got 'yesterday'\n");
    EXPECT_FALSE(exists(t.sub("ran"))) << "a refused run must not start the build";
    EXPECT_FALSE(exists(t.sub("kalvitrex.db"))) << "a refused run must not create a database";
}

TEST(CliRun, BuildEnvironmentFromProfileOptionsAndSourceDateEpoch)
{
    temp_dir t;
    auto r = kalvitrex({"run", "--db", "k.db", "--hdeps", "mm", "--set", "ZIV_HOSTNAME=build host", "--", "env"},
                       t.path(),
                       {"LD_PRELOAD=/opt/x/libother.so", "SOURCE_DATE_EPOCH=1646016134", "ZIV_PCOMMAND_ID=44",
                        "ZIV_TIMELIST=mine"});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    auto env = values_of(r.out);
    EXPECT_EQ(env["LD_PRELOAD"], std::string("/opt/x/libother.so:") + KVX_LIB_PATH);
    EXPECT_EQ(env["ZIV_TRACE_ENABLE"], "yes");
    EXPECT_EQ(env["ZIV_TRACE_OUTPUT"], t.sub("k.db"));
    EXPECT_EQ(env["ZIV_TRACE_HDEPS"], "mm");
    EXPECT_EQ(env["ZIV_TIME"], "2022-02-28 02:42:14");
    EXPECT_EQ(env["ZIV_HOSTNAME"], "build host");
    EXPECT_EQ(env.count("ZIV_PCOMMAND_ID"), 0u);
    EXPECT_EQ(env["PATH"], "/usr/local/bin:/usr/bin:/bin");
    // The shipped profile: make programs keep real times both ways;
    // archivers get fixed file times, owners and inodes; compilers and code
    // generators a fixed time; listing programs sorted listings.
    for (const char* mk : {"make", "gmake", "ninja", "cmake"}) {
        EXPECT_TRUE(has_word(env["ZIV_WHITELIST"], mk)) << mk;
        for (const char* list : {"ZIV_TIMELIST", "ZIV_CGTLIST", "ZIV_GTDLIST", "ZIV_FILE_TIME_LIST"}) {
            ASSERT_EQ(env.count(list), 1u) << list;
            EXPECT_FALSE(has_word(env[list], mk)) << mk << " in " << list;
        }
    }
    for (const char* ar : {"ar", "tar", "zip", "cpio"}) {
        EXPECT_TRUE(has_word(env["ZIV_FILE_TIME_LIST"], ar) && has_word(env["ZIV_UIDLIST"], ar)) << ar;
    }
    EXPECT_TRUE(has_word(env["ZIV_INOLIST"], "tar"));
    for (const char* cc : {"gcc", "cc1", "cc1plus", "as", "bison"}) {
        EXPECT_TRUE(has_word(env["ZIV_TIMELIST"], cc) && has_word(env["ZIV_CGTLIST"], cc)) << cc;
    }
    EXPECT_FALSE(has_word(env["ZIV_TIMELIST"], "mine"));  // the profile decides
    EXPECT_TRUE(has_word(env["ZIV_DIRLIST"], "ls") && has_word(env["ZIV_DIRLIST"], "find"));
    EXPECT_EQ(env["ZIV_DIRLIST"].find("  "), std::string::npos);

    // No profile, no tracing: inherited values stay, no database appears;
    // --lib: a relative place is made absolute for the loader.
    mkdir(t.sub("mylib").c_str(), 0755);
    ASSERT_EQ(symlink(KVX_LIB_PATH, t.sub("mylib/libziv_env.so").c_str()), 0);
    r = kalvitrex({"run", "--no-profile", "--no-trace", "--db", "n.db", "--lib", "mylib/libziv_env.so", "--", "env"},
                  t.path(), {"ZIV_TIMELIST=mine", "ZIV_TRACE_ENABLE=yes", "ZIV_TRACE_OUTPUT=/else.db"});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    env = values_of(r.out);
    EXPECT_EQ(env["ZIV_TIMELIST"], "mine");
    EXPECT_EQ(env["ZIV_TRACE_ENABLE"], "no");
    EXPECT_EQ(env.count("ZIV_TRACE_OUTPUT"), 0u);
    EXPECT_EQ(env.count("ZIV_WHITELIST"), 0u);
    EXPECT_EQ(env["LD_PRELOAD"], t.sub("mylib/libziv_env.so"));
    EXPECT_FALSE(exists(t.sub("n.db")));
    EXPECT_TRUE(std::regex_match(r.err,
                                 std::regex("kalvitrex: build exited with status 0 after [0-9.]+ s \\(not traced\\)\n")))
        << r.err;

    // date reads the clock through clock_gettime: listed, it must print
    // SOURCE_DATE_EPOCH back, in a zone with summer time too.
    for (const char* zone : {"UTC0", "Europe/Berlin"}) {
        for (const char* epoch : {"1646016134", "1656000000"}) {
            r = kalvitrex({"run", "--no-trace", "--no-profile", "--set", "ZIV_CGTLIST=date", "--set",
                           "ZIV_TIMELIST=date", "--", "date", "+%s"},
                          t.path(), {std::string("SOURCE_DATE_EPOCH=") + epoch, std::string("TZ=") + zone});
            EXPECT_EQ(r.out, std::string(epoch) + "\n") << zone << describe(r);
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
    EXPECT_EQ(values_of(r.out)["ZIV_TRACE_OUTPUT"], t.sub("my 'odd\" db.db"));
    EXPECT_EQ(table_count(t.sub("my 'odd\" db.db")), 11);

    // Terminated itself, it passes the signal to the build and reports it.
    run_options o;
    o.exe = "/bin/sh";
    o.argv = {"sh", "-c",
              "\"$1\" run --no-trace -- sh -c 'exec sleep 20' & k=$!; sleep 0.5; kill -TERM $k; wait $k; "
              "echo status=$?",
              "sh", KVX_PROGRAM};
    o.env = {"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=/tmp", "LD_PRELOAD="};
    o.cwd = t.path();
    o.timeout_s = 15;
    r = run(o);
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
    run_options o;
    o.exe = "/bin/sh";
    o.argv = {"sh", "-c", "cmake --install \"$1\" --prefix \"$2\" >/dev/null", "sh", KVX_BUILD_DIR, prefix};
    o.env = {"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=/tmp", "LD_PRELOAD="};
    auto inst = run(o);
    ASSERT_EQ(inst.exit_code, 0) << describe(inst);
    o.exe = prefix + "/bin/kalvitrex";
    o.argv = {"kalvitrex", "run", "--db", "i.db", "--", "env"};
    o.cwd = t.path();
    auto r = run(o);
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    auto env = values_of(r.out);
    const std::string lib = env["LD_PRELOAD"];
    EXPECT_TRUE(lib.rfind(prefix + "/lib", 0) == 0 && lib.size() > 14 && lib.substr(lib.size() - 14) == "/libziv_env.so")
        << lib;
    EXPECT_EQ(access(lib.c_str(), R_OK), 0);
    EXPECT_TRUE(has_word(env["ZIV_WHITELIST"], "make"));
    EXPECT_EQ(table_count(t.sub("i.db")), 11);
    // Without the library beside it, the program says so.
    unlink(lib.c_str());
    r = run(o);
    EXPECT_EQ(r.exit_code, 125);
    EXPECT_EQ(r.err, "kalvitrex: library not found: " + lib + " (give its place with --lib PATH)\n");
}
