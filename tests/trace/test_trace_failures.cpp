// The database can be missing, read-only or without tables: the build step
// runs exactly as it would without the library. Processes that are not
// traced never open the database.
#include "trace_test_env.h"

namespace ziv_test {
namespace {

std::string open_failed(const std::string& path) { return "ziv_open_sqlite sqlite3_open " + path + " failed.\n"; }

TEST(TraceFailures, MissingReadOnlyOrTablelessDatabaseNeverFailsABuildStep)
{
    trace_build b;
    b.tools({"gcc"});
    b.file("src/a.c", "int a;\n");
    // An extra build tool that only notes what it was given, so that the
    // step's own output can be compared.
    const std::string forwarded = b.root() + "/forwarded.txt";
    b.file("bin/t1", "#!/bin/sh\nprintf '%s\\n' \"$*\" >> " + forwarded + "\n", 0755);
    const std::string readonly = b.root() + "/readonly.db";
    make_db(readonly);
    const std::string garbage = b.root() + "/garbage.db";
    b.file("garbage.db", std::string(4096, 'g'));
    const std::vector<std::string> argv = {"gcc", "-c", "a.c", "-o", "a.o", "--probe-exit=5"};

    b.clear_reports();
    run_result plain = b.run(argv, "src", preload::none);
    ASSERT_EQ(plain.exit_code, 5) << describe(plain);
    const std::string plain_output = read_file(b.src("a.o"));

    const std::vector<std::string> databases = {
        "/nonexistent-ziv-dir/build.db",  // cannot be opened at all
        "file:" + readonly + "?mode=ro",  // opened read-only
        b.root() + "/new.db",             // created empty: no tables
        garbage,                          // not a database
    };
    for (const std::string& database : databases) {
        SCOPED_TRACE(database);
        std::remove(b.src("a.o").c_str());
        b.clear_reports();
        run_result r = b.run(argv, "src", preload::with_parser,
                             {"ZIV_TRACE_OUTPUT=" + database, "TRACE_TEST_PARSER_ROWS=gcc",
                              "ZIV_TRACE_BUILDLIST=gcc", "ZIV_TRACE_BUILD_TOOLNAME=" + b.bin() + "/t1"},
                             database[0] == '/' && database.find("nonexistent") != std::string::npos);
        EXPECT_EQ(r.exit_code, plain.exit_code);
        EXPECT_EQ(r.out, plain.out);
        EXPECT_EQ(r.err, plain.err);
        EXPECT_EQ(read_file(b.src("a.o")), plain_output);
        // Nothing recorded: forwarded with command id 0 all the same.
        EXPECT_EQ(read_file(forwarded), "0 gcc -c a.c -o a.o --probe-exit=5\n");
        std::remove(forwarded.c_str());
        EXPECT_EQ(b.reports_of("gcc")[0].at("row"), "gcc");
        EXPECT_EQ(b.reports_of("gcc")[0].at("cmd"), "0");
        if (database.find("nonexistent") != std::string::npos && log_capture_available()) {
            const log_record* alert = nullptr;
            for (const log_record& rec : r.log) {
                if (rec.message == open_failed(database)) {
                    alert = &rec;
                }
            }
            ASSERT_NE(alert, nullptr) << describe(r);
            EXPECT_EQ(alert->priority, kAlert);
        }
    }
    trace_db db(readonly);
    EXPECT_EQ(db.count("build_command_table"), 0);
    EXPECT_EQ(db.count("path_file_table"), 0);
}

TEST(TraceFailures, ProgramFindsTheErrnoItStartedWith)
{
    trace_build b;
    b.tools({"gcc", "sed", "t1"});
    b.file("src/a.c", "int a;\n");
    const std::vector<std::string> env = {"TRACE_TEST_ERRNO=77", "TRACE_TEST_PARSER_ROWS=gcc",
                                          "ZIV_TRACE_BUILDLIST=gcc", "ZIV_TRACE_BUILD_TOOLNAME=" + b.bin() + "/t1"};
    // Traced with files and a forwarded tool, untraced, and a database that
    // cannot be opened.
    for (const auto& [prog, database] : std::vector<std::pair<std::string, std::string>>{
             {"gcc", b.db_path()}, {"sed", b.db_path()}, {"gcc", "/nonexistent-ziv-dir/build.db"}}) {
        std::vector<std::string> with = env;
        with.push_back("ZIV_TRACE_OUTPUT=" + database);
        run_result r = b.run({prog, "-c", "a.c", "-o", "a.o"}, "src", preload::with_parser, with);
        ASSERT_EQ(r.exit_code, 0) << describe(r);
        EXPECT_NE(r.out.find(prog + ": -c a.c -o a.o\nerrno_at_main=77\n"), std::string::npos) << describe(r);
    }
    trace_db db(b.db_path());
    EXPECT_EQ(db.rows("select filename from target_file_table"), (table_rows{{"a.o"}}));
}

TEST(TraceFailures, UntracedProcessesNeverOpenTheDatabase)
{
    std::string why;
    if (!log_capture_available(&why)) {
        GTEST_SKIP() << "system log capture unavailable here: " << why;
    }
    trace_build b;
    b.tools({"gcc", "sed", "loner"});
    b.file("src/run.sh", "sh -c 'sed x; sed y'\ntrue\n");
    const std::string missing = "/nonexistent-ziv-dir/build.db";
    struct untraced {
        std::vector<std::string> argv;
        std::vector<std::string> env;
    };
    const std::vector<untraced> cases = {
        {{"gcc", "x"}, {"ZIV_TRACE_ENABLE=no"}},           // tracing off
        {{"gcc", "x"}, {"ZIV_TRACE_ENABLE="}},             // likewise
        {{"sed", "x"}, {}},                                // trace white list
        {{"gcc", "x"}, {"ZIV_TRACE_WHITELIST=ar gcc"}},    // ZIV_TRACE_WHITELIST
        {{"loner", "x"}, {}},                              // parent does not qualify
        {{"sh", "run.sh"}, {}},  // runs sh -c: its parent qualifies, the rule does not
    };
    for (const untraced& c : cases) {
        SCOPED_TRACE(c.argv[0] + (c.env.empty() ? "" : " " + c.env[0]));
        std::vector<std::string> env = c.env;
        env.push_back("ZIV_TRACE_OUTPUT=" + missing);
        run_result r = b.run(c.argv, "src", preload::library, env, true);
        ASSERT_EQ(r.exit_code, 0) << describe(r);
        EXPECT_EQ(r.log.size(), 0u) << describe(r);
    }
    // The same database path does make a traced process complain.
    run_result traced = b.run({"gcc", "x"}, "src", preload::library, {"ZIV_TRACE_OUTPUT=" + missing}, true);
    ASSERT_EQ(traced.exit_code, 0) << describe(traced);
    int alerts = 0;
    for (const log_record& rec : traced.log) {
        alerts += rec.message == open_failed(missing) ? 1 : 0;
    }
    EXPECT_EQ(alerts, 1) << describe(traced);
    std::vector<probe_line> lines = b.reports();
    ASSERT_EQ(lines.size(), cases.size() + 2);  // sh -c ran two probes
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_EQ(lines[i].at("row"), "none") << i;
    }
    EXPECT_EQ(lines.back().at("row"), "gcc");
}

}  // namespace
}  // namespace ziv_test
