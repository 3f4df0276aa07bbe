// Which row a process gets: table names with cross prefixes, versions and
// the trace map; demotion under configure scripts and test runs; configure
// test objects; extra build tools; response files; the timing row.
#include "trace_test_env.h"

namespace ziv_test {
namespace {

TEST(TraceDispatch, ToolNamesWithPrefixVersionAndTraceMapFindTheirRows)
{
    trace_build b;
    b.tools({"gcc", "arm-linux-gnueabi-gcc", "x86_64-linux-gnu-gcc-12", "eu-strip", "ld.gold", "collect2",
             "ocamlopt.opt", "mycc", "notatool"});
    make_tool_dir_link(b.bin(), "gcc-12", b.bin() + "/gcc");
    const std::string map = "ZIV_TRACE_MAP=mycc:gcc";
    // program, row, trace map; the test is neither shell nor make, so a
    // program that is no tool stays untraced.
    const std::vector<std::array<std::string, 3>> cases = {
        {"arm-linux-gnueabi-gcc", "gcc", ""}, {"gcc-12", "gcc", ""},     {"x86_64-linux-gnu-gcc-12", "gcc", ""},
        {"eu-strip", "eu-strip", ""},         {"ld.gold", "ld.gold", ""}, {"collect2", "collect2", ""},
        {"ocamlopt.opt", "ocamlopt.opt", ""}, {"mycc", "gcc", map},       {"mycc", "none", ""},
        {"notatool", "none", map},
    };
    for (const auto& [prog, row, env] : cases) {
        SCOPED_TRACE(prog + " " + env);
        b.clear_reports();
        run_result r = b.run({prog, "-c", "x.c"}, "src", preload::library, {env.empty() ? "X=" : env});
        ASSERT_EQ(r.exit_code, 0) << describe(r);
        ASSERT_EQ(b.reports().size(), 1u);
        EXPECT_EQ(b.reports()[0].at("row"), row);
    }
    test_db db(b.db_path());
    // One command row per traced run, each named by its own program.
    EXPECT_EQ(db.count("build_command_table"), 8);
    EXPECT_EQ(db.value("select t.filename from build_command_table c join tool_file_table t on t.id = c.tool_id "
                       "where c.command = 'gcc-12 -c x.c'"),
              b.bin() + "/gcc-12");
    EXPECT_EQ(db.value("select count(*) from build_command_table where parent_id != 0"), "0");
}

TEST(TraceDispatch, ConfigureAndTestRunsGetTheDefaultRowAndConfigureTestObjectsOnlyTheirCommand)
{
    trace_build b;
    b.tools({"gcc", "t1", "myunknown"});
    for (const char* c : {"t1", "t4", "t5", "conftest", "a"}) {
        b.file("src/" + std::string(c) + ".c", "int t;\n");
    }
    // ./configure and make check; make all and make build are the build
    // proper. (Which shapes of configure and test runs there are is the
    // ancestry tests' matter; here, what they do to the row.)
    b.file("src/configure", "#!/bin/sh\ngcc -c t1.c -o t1.o\ntrue\n", 0755);
    b.file("src/Makefile", ".PHONY: check all build u\ncheck:\n\tgcc -c t4.c -o t4.o\nall:\n\tgcc -c t5.c -o t5.o\n"
                           "build: conftest.o a.o u\nconftest.o:\n\tgcc -c conftest.c -o conftest.o\n"
                           "a.o:\n\tgcc -c a.c -o a.o\nu:\n\tmyunknown u\n");
    std::vector<std::string> env = {"TRACE_TEST_PARSER_ROWS=gcc", "ZIV_TRACE_BUILDLIST=gcc",
                                    "ZIV_TRACE_BUILD_TOOLNAME=" + b.bin() + "/t1"};
    for (const std::vector<std::string>& argv : {std::vector<std::string>{b.src("configure")}, {"make", "check"}, {"make", "all"}}) {
        run_result r = b.run(argv, "src", preload::with_parser, env);
        ASSERT_EQ(r.exit_code, 0) << describe(r);
    }
    std::map<std::string, std::string> rows;
    for (const probe_line& l : b.reports("gcc")) {
        rows[l.at("args")] = l.at("row");
    }
    EXPECT_EQ(rows, (std::map<std::string, std::string>{
                        {"-c t1.c -o t1.o", "default"}, {"-c t4.c -o t4.o", "default"}, {"-c t5.c -o t5.o", "gcc"}}));
    // Only the compiler outside configure and test runs was parsed; the
    // default row is forwarded like any other command.
    EXPECT_EQ(b.reports("parser").size(), 1u);
    EXPECT_EQ(b.reports("t1").size(), 3u);

    // A configure test object in the build proper, at log level 3.
    b.clear_reports();
    env.push_back("ZIV_LOG=buildtime");
    ASSERT_EQ(b.run({"make", "build"}, "src", preload::with_parser, env).exit_code, 0);
    test_db db(b.db_path());
    for (const char* t : {"t1", "t4", "t5"}) {
        EXPECT_NE(b.id_of("gcc -c " + std::string(t) + ".c -o " + t + ".o"), "") << t;
    }
    const std::string conftest = b.id_of("gcc -c conftest.c -o conftest.o"), object = b.id_of("gcc -c a.c -o a.o");
    ASSERT_TRUE(conftest != "" && object != "");
    ASSERT_EQ(b.reports("gcc").size(), 2u);
    for (const probe_line& l : b.reports("gcc")) {
        EXPECT_EQ(l.at("excluded"), l.at("args") == "-c conftest.c -o conftest.o" ? "1" : "0");
    }
    // Forwarded: the real object only, with its command id and command line.
    ASSERT_EQ(b.reports("t1").size(), 1u);
    EXPECT_EQ(b.reports("t1")[0].at("args"), object + " gcc -c a.c -o a.o");
    // Nothing of configure and test runs in the file tables.
    EXPECT_EQ(db.rows("select filename from source_file_table order by id"), (table_rows{{"t5.c"}, {"a.c"}}));
    EXPECT_EQ(db.rows("select filename, command_id from target_file_table order by id"),
              (table_rows{{"t5.o", b.id_of("gcc -c t5.c -o t5.o")}, {"a.o", object}}));
    EXPECT_EQ(db.count("target_source_table"), 2);
    EXPECT_NE(db.value("select runtime from build_command_table where id = " + conftest), "-1");
    // Timing rows only at log level 3, for every command with a trace record:
    // both compilers of make build, not t5 before it nor the unknown program.
    EXPECT_EQ(db.rows("select build_id from build_time_table order by build_id"),
              (table_rows{{std::min(conftest, object)}, {std::max(conftest, object)}}));
    EXPECT_NE(b.id_of("myunknown u"), "");
}

TEST(TraceDispatch, ExtraBuildToolsGetTheCommandIdAndLineWithoutTheLibrary)
{
    trace_build b;
    b.tools({"gcc", "ld", "loner", "t1", "t2", "t3", "t4", "t5", "t6"});
    const std::string t = b.bin() + "/t";
    const std::string too_long = b.bin() + "/" + std::string(300, 'x');
    const std::string names = "  " + t + "1 " + t + "2  " + t + "3 " + too_long + " " + t + "4 " + t + "5 " + t + "6";
    const std::string list = "ZIV_TRACE_BUILDLIST=gcc loner";
    run_result r = b.run({"gcc", "-c", "it's.c", "-o", "a b.o"}, "src", preload::with_parser,
                         {list, "ZIV_TRACE_BUILD_TOOLNAME=" + names});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    auto seen = [&] {
        std::vector<std::string> out;
        for (const probe_line& l : b.reports()) {
            out.push_back(l.at("prog") + "|" + l.at("row") + "|" + l.at("preload") + "|" + l.at("args"));
        }
        return out;
    };
    // The tools run one after the other before the program's main, with the
    // library taken out of LD_PRELOAD; the variable stays as it was.
    std::vector<std::string> want;
    for (const char* tool : {"t1", "t2", "t3", "t4", "t5"}) {
        want.push_back(std::string(tool) + "|none|" + kParserPlugin + "|" + b.id_of("gcc -c it's.c -o a b.o") +
                       " gcc -c it's.c -o a b.o");
    }
    want.push_back("gcc|gcc|" + kLib + " " + kParserPlugin + "|-c it's.c -o a b.o");
    EXPECT_EQ(seen(), want);
    EXPECT_EQ(b.reports().back().at("toolname"), names);

    // Only the library preloaded: the tools run with no LD_PRELOAD at all.
    // A program without the feature is not forwarded; one that is not
    // traced is, with command id 0.
    b.clear_reports();
    for (const char* prog : {"gcc", "ld", "loner"}) {
        ASSERT_EQ(b.run({prog, "x"}, "src", preload::library, {list, "ZIV_TRACE_BUILD_TOOLNAME=" + t + "1"}).exit_code, 0);
    }
    EXPECT_EQ(seen(), (std::vector<std::string>{"t1|none|unset|" + b.id_of("gcc x") + " gcc x", "gcc|gcc|" + kLib + "|x",
                                                "ld|ld|" + kLib + "|x", "t1|none|unset|0 loner x",
                                                "loner|none|" + kLib + "|x"}));
}

TEST(TraceDispatch, ResponseFilesAreExpandedOneLevelAndEveryVectorIsRecordedByteForByte)
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
    // Whatever the bytes of the arguments, the vector comes back as it was
    // given, and the command text stays as it always was.
    const std::vector<std::string> odd = {
        "gcc", "-DMESSAGE=\"Hello World\\n\"", "-DEXPORT=extern \"C\"", "-I", "inc dir", "", "a\\b", "it's",
        "x=y", "line1\nline2\ttab", "\xff\xfe caf\xe9", std::string(40000, 'L'), ""};
    ASSERT_EQ(b.run(odd, "src", preload::library).exit_code, 0);

    test_db db(b.db_path());
    const std::string original = b.id_of("gcc @args.rsp -o out.o"), unreadable = b.id_of("gcc @missing.rsp -c a.c -o a.o"),
                      expanded = b.id_of("gcc -c my file.c -DX @inner.rsp -o out.o");
    ASSERT_TRUE(original != "" && expanded != "" && unreadable != "");
    EXPECT_EQ(db.count("build_command_table"), 4);
    // The expanded line is recorded under the original and becomes the
    // command: the parser saw the original id, the program the new one.
    EXPECT_EQ(db.value("select parent_id from build_command_table where id = " + expanded), original);
    std::vector<probe_line> calls = b.reports("parser"), runs = b.reports("gcc");
    ASSERT_TRUE(calls.size() == 2 && runs.size() == 3);
    EXPECT_EQ(calls[0].at("cmd") + " " + calls[0].at("pcommand"), original + " " + original);
    EXPECT_EQ(runs[0].at("cmd") + " " + runs[0].at("pcommand"), expanded + " " + expanded);
    EXPECT_EQ(db.rows("select filename from source_file_table order by filename"), (table_rows{{"a.c"}, {"my file.c"}}));
    EXPECT_EQ(db.rows("select filename, command_id from target_file_table order by filename"),
              (table_rows{{"a.o", unreadable}, {"out.o", expanded}}));
    // Each row with its own vector, byte for byte.
    auto vector_of = [&](const std::string& id) {
        return db.value("select lower(hex(argv)) from build_command_argv_table where command_id = " + id);
    };
    using namespace std::string_literals;
    EXPECT_EQ(vector_of(original), hex("gcc\0@args.rsp\0-o\0out.o\0"s));
    EXPECT_EQ(vector_of(expanded), hex("gcc\0-c\0my file.c\0-DX\0@inner.rsp\0-o\0out.o\0"s));
    std::string bytes;
    for (const std::string& a : odd) {
        bytes += a + '\0';
    }
    EXPECT_EQ(vector_of(b.id_of(joined(odd))), hex(bytes));
    // Both rows stand for the one process: both carry its run time.
    EXPECT_EQ(db.rows("select count(distinct runtime), min(runtime) >= 0 from build_command_table where id in (" +
                      original + ", " + expanded + ")"),
              (table_rows{{"1", "1"}}));
}

}  // namespace
}  // namespace ziv_test
