// Which row a process gets: table names with cross prefixes, versions and
// the trace map; demotion under configure scripts and test runs; configure
// test objects; extra build tools; response files; the timing row.
#include "trace_test_env.h"

namespace ziv_test {
namespace {

std::vector<probe_line> parser_calls(const trace_build& b)
{
    std::vector<probe_line> out;
    for (const probe_line& l : b.reports()) {
        if (l.at("kind") == "parser") {
            out.push_back(l);
        }
    }
    return out;
}

long command_id(trace_db& db, const std::string& command)
{
    std::string id = db.value("select id from build_command_table where command = " + sql_quote(command));
    return id.empty() ? -1 : std::stol(id);
}

TEST(TraceDispatch, ToolNamesWithPrefixVersionAndTraceMapFindTheirRows)
{
    trace_build b;
    b.tools({"gcc", "arm-linux-gnueabi-gcc", "x86_64-linux-gnu-gcc-12", "eu-strip", "ld.gold", "collect2",
             "ocamlopt.opt", "mycc", "notatool"});
    make_tool_dir_link(b.bin(), "gcc-12", b.bin() + "/gcc");
    struct expected {
        std::string prog, row;
        std::vector<std::string> env;
    };
    const std::vector<expected> cases = {
        {"arm-linux-gnueabi-gcc", "gcc", {}},
        {"gcc-12", "gcc", {}},
        {"x86_64-linux-gnu-gcc-12", "gcc", {}},
        {"eu-strip", "eu-strip", {}},
        {"ld.gold", "ld.gold", {}},
        {"collect2", "collect2", {}},
        {"ocamlopt.opt", "ocamlopt.opt", {}},
        {"mycc", "gcc", {"ZIV_TRACE_MAP=mycc:gcc"}},
        // Not a tool, and its parent (the test) is neither shell nor make.
        {"mycc", "none", {}},
        {"notatool", "none", {"ZIV_TRACE_MAP=mycc:gcc"}},
    };
    for (const expected& c : cases) {
        SCOPED_TRACE(c.prog + " " + (c.env.empty() ? "" : c.env[0]));
        b.clear_reports();
        run_result r = b.run({c.prog, "-c", "x.c"}, "src", preload::library, c.env);
        ASSERT_EQ(r.exit_code, 0) << describe(r);
        ASSERT_EQ(b.reports().size(), 1u);
        EXPECT_EQ(b.reports()[0].at("row"), c.row);
    }
    trace_db db(b.db_path());
    // One command row per traced run, each named by its own program.
    EXPECT_EQ(db.count("build_command_table"), 8);
    EXPECT_EQ(db.value("select t.filename from build_command_table c join tool_file_table t on t.id = c.tool_id "
                       "where c.command = 'gcc-12 -c x.c'"),
              b.bin() + "/gcc-12");
    EXPECT_EQ(db.value("select count(*) from build_command_table where parent_id != 0"), "0");
}

TEST(TraceDispatch, CompilersUnderConfigureOrTestRunsGetTheDefaultRowAndNoFiles)
{
    trace_build b;
    b.tools({"gcc", "t1"});
    mkdir(b.src("two").c_str(), 0755);
    for (const char* c : {"src/t1.c", "src/two/t2.c", "src/t3.c", "src/t4.c", "src/t5.c"}) {
        b.file(c, "int t;\n");
    }
    // ./configure, "sh configure", a shell running config.status, make check;
    // make all is the build proper.
    b.file("src/configure", "#!/bin/sh\ngcc -c t1.c -o t1.o\ntrue\n", 0755);
    b.file("src/two/configure", "gcc -c t2.c -o t2.o\ntrue\n");
    b.file("src/config.status", "gcc -c t3.c -o t3.o\ntrue\n");
    b.file("src/Makefile", ".PHONY: check all\ncheck:\n\tgcc -c t4.c -o t4.o\nall:\n\tgcc -c t5.c -o t5.o\n");
    const std::vector<std::string> env = {"TRACE_TEST_PARSER_ROWS=gcc", "ZIV_TRACE_BUILDLIST=gcc",
                                          "ZIV_TRACE_BUILD_TOOLNAME=" + b.bin() + "/t1"};
    for (const auto& [argv, cwd] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{b.src("configure")}, "src"},
             {{"sh", "configure"}, "src/two"},
             {{"sh", "config.status"}, "src"},
             {{"make", "check"}, "src"},
             {{"make", "all"}, "src"}}) {
        run_result r = b.run(argv, cwd, preload::with_parser, env);
        ASSERT_EQ(r.exit_code, 0) << describe(r);
    }
    std::map<std::string, std::string> rows;
    for (const probe_line& l : b.reports_of("gcc")) {
        rows[l.at("args")] = l.at("row");
    }
    EXPECT_EQ(rows, (std::map<std::string, std::string>{{"-c t1.c -o t1.o", "default"},
                                                       {"-c t2.c -o t2.o", "default"},
                                                       {"-c t3.c -o t3.o", "default"},
                                                       {"-c t4.c -o t4.o", "default"},
                                                       {"-c t5.c -o t5.o", "gcc"}}));
    // Only the compiler outside configure and test runs was parsed.
    ASSERT_EQ(parser_calls(b).size(), 1u);
    trace_db db(b.db_path());
    for (int i = 1; i <= 5; ++i) {
        EXPECT_GT(command_id(db, "gcc -c t" + std::to_string(i) + ".c -o t" + std::to_string(i) + ".o"), 0) << i;
    }
    EXPECT_EQ(db.rows("select filename from source_file_table"), (table_rows{{"t5.c"}}));
    EXPECT_EQ(db.rows("select filename, command_id from target_file_table"),
              (table_rows{{"t5.o", std::to_string(command_id(db, "gcc -c t5.c -o t5.o"))}}));
    // The default row is forwarded like any other command.
    EXPECT_EQ(b.reports_of("t1").size(), 5u);
    // No timing rows below log level 3.
    EXPECT_EQ(db.count("build_time_table"), 0);
}

TEST(TraceDispatch, ConfigureTestObjectIsACommandOnlyAndIsNotForwarded)
{
    trace_build b;
    b.tools({"gcc", "t1", "myunknown"});
    b.file("src/conftest.c", "int main;\n");
    b.file("src/a.c", "int a;\n");
    b.file("src/Makefile",
           ".PHONY: all u\nall: conftest.o a.o u\nconftest.o:\n\tgcc -c conftest.c -o conftest.o\n"
           "a.o:\n\tgcc -c a.c -o a.o\nu:\n\tmyunknown u\n");
    run_result r = b.run({"make"}, "src", preload::with_parser,
                         {"TRACE_TEST_PARSER_ROWS=gcc", "ZIV_TRACE_BUILDLIST=gcc", "ZIV_LOG=buildtime",
                          "ZIV_TRACE_BUILD_TOOLNAME=" + b.bin() + "/t1"});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    trace_db db(b.db_path());
    long conftest = command_id(db, "gcc -c conftest.c -o conftest.o");
    long object = command_id(db, "gcc -c a.c -o a.o");
    ASSERT_GT(conftest, 0);
    ASSERT_GT(object, 0);
    ASSERT_EQ(b.reports_of("gcc").size(), 2u);
    for (const probe_line& l : b.reports_of("gcc")) {
        EXPECT_EQ(l.at("excluded"), l.at("args") == "-c conftest.c -o conftest.o" ? "1" : "0");
    }
    // Forwarded: the real object only, with its command id and command line.
    ASSERT_EQ(b.reports_of("t1").size(), 1u);
    EXPECT_EQ(b.reports_of("t1")[0].at("args"), std::to_string(object) + " gcc -c a.c -o a.o");
    // Nothing of the configure test in the file tables.
    EXPECT_EQ(db.rows("select filename from source_file_table"), (table_rows{{"a.c"}}));
    EXPECT_EQ(db.rows("select filename from target_file_table"), (table_rows{{"a.o"}}));
    EXPECT_EQ(db.count("target_source_table"), 1);
    EXPECT_NE(db.value("select runtime from build_command_table where id = " + std::to_string(conftest)), "-1");
    // At log level 3 every command with a trace record has its timing row:
    // both compilers, not the unknown program.
    EXPECT_EQ(db.rows("select build_id from build_time_table order by build_id"),
              (table_rows{{std::to_string(std::min(conftest, object))}, {std::to_string(std::max(conftest, object))}}));
    EXPECT_GT(command_id(db, "myunknown u"), 0);
}

TEST(TraceDispatch, ExtraBuildToolsGetTheCommandIdAndLineWithoutTheLibrary)
{
    trace_build b;
    b.tools({"gcc", "ld", "loner", "t1", "t2", "t3", "t4", "t5", "t6"});
    const std::string t = b.bin() + "/t";
    const std::string too_long = b.bin() + "/" + std::string(300, 'x');
    const std::string names = "  " + t + "1 " + t + "2  " + t + "3 " + too_long + " " + t + "4 " + t + "5 " + t + "6";
    const std::vector<std::string> env = {"ZIV_TRACE_BUILDLIST=gcc loner", "ZIV_TRACE_BUILD_TOOLNAME=" + names};

    run_result r = b.run({"gcc", "-c", "it's.c", "-o", "a b.o"}, "src", preload::with_parser, env);
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    trace_db db(b.db_path());
    long id = command_id(db, "gcc -c it's.c -o a b.o");
    ASSERT_GT(id, 0);
    std::vector<probe_line> lines = b.reports();
    // The tools run one after the other before the program's main.
    ASSERT_EQ(lines.size(), 6u);
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(lines[i].at("prog"), "t" + std::to_string(i + 1));
        EXPECT_EQ(lines[i].at("args"), std::to_string(id) + " gcc -c it's.c -o a b.o");
        EXPECT_EQ(lines[i].at("preload"), kParserPlugin);
        EXPECT_EQ(lines[i].at("row"), "none");
    }
    EXPECT_EQ(lines[5].at("prog"), "gcc");
    EXPECT_EQ(lines[5].at("toolname"), names) << "the variable must stay as it was";

    // Only the library preloaded: the tools run with no LD_PRELOAD at all.
    // A program without the feature is not forwarded; one that is not
    // traced is, with command id 0.
    b.clear_reports();
    ASSERT_EQ(b.run({"gcc", "x"}, "src", preload::library, {env[0], "ZIV_TRACE_BUILD_TOOLNAME=" + t + "1"}).exit_code,
              0);
    ASSERT_EQ(b.run({"ld", "x"}, "src", preload::library, {env[0], "ZIV_TRACE_BUILD_TOOLNAME=" + t + "1"}).exit_code,
              0);
    ASSERT_EQ(b.run({"loner", "x"}, "src", preload::library, {env[0], "ZIV_TRACE_BUILD_TOOLNAME=" + t + "1"}).exit_code,
              0);
    lines = b.reports();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].at("prog"), "t1");
    EXPECT_EQ(lines[0].at("preload"), "unset");
    EXPECT_EQ(lines[0].at("args"), std::to_string(command_id(db, "gcc x")) + " gcc x");
    EXPECT_EQ(lines[1].at("prog"), "gcc");
    EXPECT_EQ(lines[2].at("prog"), "ld");
    EXPECT_EQ(lines[3].at("prog"), "t1");
    EXPECT_EQ(lines[3].at("args"), "0 loner x");
    EXPECT_EQ(lines[4].at("prog"), "loner");
    EXPECT_EQ(lines[4].at("row"), "none");
}

TEST(TraceDispatch, ResponseFilesAreExpandedOneLevelAndRecordedAsTheCommand)
{
    trace_build b;
    b.tools({"gcc"});
    b.file("src/my file.c", "int m;\n");
    b.file("src/a.c", "int a;\n");
    b.file("src/args.rsp", "-c 'my file.c'\n-DX @inner.rsp\n");
    b.file("src/inner.rsp", "-DINNER\n");
    const std::vector<std::string> env = {"TRACE_TEST_PARSER_ROWS=gcc"};
    ASSERT_EQ(b.run({"gcc", "@args.rsp", "-o", "out.o"}, "src", preload::with_parser, env).exit_code, 0);
    ASSERT_EQ(b.run({"gcc", "@missing.rsp", "-c", "a.c", "-o", "a.o"}, "src", preload::with_parser, env).exit_code, 0);

    trace_db db(b.db_path());
    long original = command_id(db, "gcc @args.rsp -o out.o");
    long expanded = command_id(db, "gcc -c my file.c -DX @inner.rsp -o out.o");
    long unreadable = command_id(db, "gcc @missing.rsp -c a.c -o a.o");
    ASSERT_GT(original, 0);
    ASSERT_GT(expanded, 0);
    ASSERT_GT(unreadable, 0);
    EXPECT_EQ(db.count("build_command_table"), 3);
    // The expanded line is recorded under the original and becomes the
    // command: the parser saw the original id, the program the new one.
    EXPECT_EQ(db.value("select parent_id from build_command_table where id = " + std::to_string(expanded)),
              std::to_string(original));
    std::vector<probe_line> calls = parser_calls(b);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].at("cmd"), std::to_string(original));
    EXPECT_EQ(calls[0].at("pcommand"), std::to_string(original));
    std::vector<probe_line> runs = b.reports_of("gcc");
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].at("cmd"), std::to_string(expanded));
    EXPECT_EQ(runs[0].at("pcommand"), std::to_string(expanded));
    EXPECT_EQ(db.rows("select filename from source_file_table order by filename"), (table_rows{{"a.c"}, {"my file.c"}}));
    EXPECT_EQ(db.rows("select filename, command_id from target_file_table order by filename"),
              (table_rows{{"a.o", std::to_string(unreadable)}, {"out.o", std::to_string(expanded)}}));
    EXPECT_NE(db.value("select runtime from build_command_table where id = " + std::to_string(expanded)), "-1");
}

}  // namespace
}  // namespace ziv_test
