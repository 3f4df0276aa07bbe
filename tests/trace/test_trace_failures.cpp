// The database can be missing, read-only, without tables or no database at
// all: the build step runs exactly as it would without the library, with
// the errno it started with. Processes that are not traced never open the
// database.
#include "trace_test_env.h"

namespace ziv_test {
namespace {

const std::string kMissing = "/nonexistent-ziv-dir/build.db";

TEST(TraceFailures, NoDatabaseProblemChangesABuildStep)
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
    // Made before argument vectors were kept: commands are recorded all the same.
    const std::string previous = b.root() + "/previous.db";
    make_db(previous);
    test_db(previous).exec("DROP TABLE build_command_argv_table;");
    b.file("garbage.db", std::string(4096, 'g'));
    const std::vector<std::string> argv = {"gcc", "-c", "a.c", "-o", "a.o", "--probe-exit=5"};
    // The test parser leaves errno 77 behind for the program's start-up.
    std::vector<std::string> env = {"TRACE_TEST_ERRNO=77", "TRACE_TEST_PARSER_ROWS=gcc", "ZIV_TRACE_BUILDLIST=gcc",
                                    "ZIV_TRACE_BUILD_TOOLNAME=" + b.bin() + "/t1", "ZIV_TRACE_OUTPUT=" + b.db_path()};
    run_result plain = b.run(argv, "src", preload::parser_only, env);
    ASSERT_EQ(plain.exit_code, 5) << describe(plain);
    ASSERT_NE(plain.out.find("gcc: -c a.c -o a.o --probe-exit=5\nerrno_at_main=77\n"), std::string::npos);
    const std::string plain_output = read_file(b.src("a.o"));

    for (const std::string& database : {b.db_path(),
                                        previous,
                                        kMissing,                         // cannot be opened at all
                                        "file:" + readonly + "?mode=ro",  // opened read-only
                                        b.root() + "/new.db",             // created empty: no tables
                                        b.root() + "/garbage.db"}) {      // not a database
        SCOPED_TRACE(database);
        std::remove(b.src("a.o").c_str());
        std::remove(forwarded.c_str());
        env.back() = "ZIV_TRACE_OUTPUT=" + database;
        run_result r = b.run(argv, "src", preload::with_parser, env, database == kMissing);
        EXPECT_EQ(r.exit_code, plain.exit_code);
        EXPECT_EQ(r.out, plain.out);
        EXPECT_EQ(r.err, plain.err);
        EXPECT_EQ(read_file(b.src("a.o")), plain_output);
        // Nothing recorded: forwarded with command id 0 all the same.
        std::string id = "0";
        if (database == b.db_path() || database == previous) {
            test_db db(database);
            id = db.value("select id from build_command_table where command = 'gcc -c a.c -o a.o --probe-exit=5'");
            EXPECT_EQ(db.rows("select filename from source_file_table"), (table_rows{{"a.c"}}));
        }
        EXPECT_EQ(read_file(forwarded), id + " gcc -c a.c -o a.o --probe-exit=5\n");
        EXPECT_EQ(b.reports("gcc").back().at("row") + " " + b.reports("gcc").back().at("cmd"), "gcc " + id);
        if (database == kMissing && log_capture_available()) {
            const log_record* alert = find_message(r, "ziv_open_sqlite sqlite3_open " + kMissing + " failed.\n");
            ASSERT_NE(alert, nullptr) << describe(r);
            EXPECT_EQ(alert->priority, kAlert);
            EXPECT_EQ(r.log.size(), 1u) << describe(r);
        }
    }
    test_db db(readonly);
    EXPECT_EQ(db.count("build_command_table"), 0);
    EXPECT_EQ(db.count("path_file_table"), 0);
}

TEST(TraceFailures, UntracedProcessesNeverOpenTheDatabase)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    trace_build b;
    b.tools({"gcc", "sed", "loner"});
    b.file("src/run.sh", "sh -c 'sed x; sed y'\ntrue\n");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"gcc", "x"}, "ZIV_TRACE_ENABLE=no"},         // tracing off
        {{"gcc", "x"}, "ZIV_TRACE_ENABLE="},           // likewise
        {{"sed", "x"}, "X="},                          // trace white list
        {{"gcc", "x"}, "ZIV_TRACE_WHITELIST=ar gcc"},  // ZIV_TRACE_WHITELIST
        {{"loner", "x"}, "X="},                        // parent does not qualify
        {{"sh", "run.sh"}, "X="},  // runs sh -c: its parent qualifies, the rule does not
    };
    for (const auto& [argv, setting] : cases) {
        SCOPED_TRACE(argv[0] + " " + setting);
        run_result r = b.run(argv, "src", preload::with_parser,
                             {"ZIV_TRACE_OUTPUT=" + kMissing, "TRACE_TEST_ERRNO=77", setting}, true);
        ASSERT_EQ(r.exit_code, 0) << describe(r);
        EXPECT_EQ(r.log.size(), 0u) << describe(r);
        EXPECT_NE(r.out.find("errno_at_main=77\n"), std::string::npos) << r.out;
    }
    std::vector<probe_line> lines = b.reports();
    ASSERT_EQ(lines.size(), cases.size() + 1);  // sh -c ran two probes
    for (const probe_line& l : lines) {
        EXPECT_EQ(l.at("row"), "none") << l.at("prog");
    }
}

}  // namespace
}  // namespace ziv_test
