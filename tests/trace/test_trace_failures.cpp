// The database can be missing, read-only, without tables or no database at
// all: the build step runs exactly as it would without the library, with
// the errno it started with. Processes that are not traced never open the
// database. A traced program owns every descriptor number it redirects.
#include <chrono>

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
        // The missing database's alert is captured, kept off the system log.
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

// Scripts run by make put files on descriptor numbers of their choosing, as
// libtool and configure scripts do. Each writes its number into f<n> for
// every number it took and lists them in "taken". The files hold exactly
// that, nothing waits on the database's locks, and the database stays
// whole. A script that closes everything and puts its files on the
// database's own numbers loses its end record, with an alert; the next
// command is recorded as usual.
TEST(TraceFailures, DescriptorsAScriptRedirectsAreItsOwn)
{
    struct script_case {
        const char* name;
        const char* body;
        bool finished;  // its run time is recorded
    };
    const script_case cases[] = {
        {"numbers", "exec 3>f3 4>f4 5>f5 6>f6\nfor n in 3 4 5 6; do echo $n >&$n; done\necho 3 4 5 6 >taken\n", true},
        // One number alone: the database's locks still work, so its pages
        // would be written, into the file.
        {"one", "exec 4>f4\necho 4 >&4\necho 4 >taken\n", true},
        // Every descriptor above 2 but the one bash reads the script from.
        {"takeover",
         "taken=\nfor n in $(ls /proc/$$/fd); do\n"
         "  if [ $n -gt 2 ] && [ $n -ne 255 ]; then eval \"exec $n>&-\"; taken=\"$taken $n\"; fi\ndone\n"
         "for n in $taken; do eval \"exec $n>f$n\"; echo $n >&$n; done\necho $taken >taken\n",
         false},
    };
    const bool capture = log_capture_available();
    for (const script_case& c : cases) {
        SCOPED_TRACE(c.name);
        trace_build b;
        b.file("src/step.sh", std::string("#!/bin/bash\n") + c.body, 0755);
        b.file("src/after.sh", "#!/bin/bash\necho after >after.txt\n", 0755);
        b.file("src/Makefile", "all:\n\t./step.sh\n\t./after.sh\n");
        auto start = std::chrono::steady_clock::now();
        run_result r = b.run({"make", "-s"}, "src", preload::library, {}, capture);
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
        ASSERT_EQ(r.exit_code, 0) << describe(r);
        EXPECT_LT(seconds.count(), 5) << "waited on the database's locks";

        std::istringstream taken(read_file(b.src("taken")));
        int count = 0;
        for (std::string n; taken >> n; ++count) {
            const std::string held = read_file(b.src("f" + n));
            EXPECT_TRUE(held == n + "\n") << "f" << n << " holds " << held.size() << " bytes";
        }
        EXPECT_GT(count, 0);
        EXPECT_EQ(read_file(b.src("after.txt")), "after\n");

        test_db db(b.db_path());
        EXPECT_EQ(db.value("pragma integrity_check"), "ok");
        const std::string step = db.value("select id from build_command_table where command = '/bin/bash ./step.sh'");
        ASSERT_NE(step, "");
        const std::string runtime = db.value("select runtime from build_command_table where id = " + step);
        EXPECT_EQ(runtime != "-1", c.finished) << runtime;
        EXPECT_EQ(db.value("select runtime >= 0 from build_command_table where command = '/bin/bash ./after.sh'"), "1");
        if (capture) {
            int alerts = count_prefix(r, "ziv_trace_fini descriptor ",
                                      " was closed or reused by bash: the end of command " + step + " is not recorded.\n");
            EXPECT_EQ(alerts, c.finished ? 0 : 1) << describe(r);
            EXPECT_EQ(r.log.size(), static_cast<size_t>(alerts)) << describe(r);
        }
    }
}

}  // namespace
}  // namespace ziv_test
