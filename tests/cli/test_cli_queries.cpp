// report, impact and diff on build databases filled the way the library
// fills them: a make driving compiler drivers whose compiler proper and
// assembler are traced as their children, an archive and a link.
#include <gtest/gtest.h>

#include <set>
#include <sys/stat.h>

#include "cli_fixture.h"
#include "json_mini.h"

using namespace cli_test;
using ziv_test::describe;
using ziv_test::read_file;
using ziv_test::temp_dir;

namespace {

// The project in `root` (a path that need not exist):
//   make
//   +- gcc -c main.c -o main.o       (output mode: main.o taken over by gcc)
//   |  +- cc1 ... main.c -o /tmp/ccA.s   (records headers)
//   |  +- as -o main.o /tmp/ccA.s
//   +- gcc -c util.c                 (paired mode: util.o stays with as)
//   |  +- cc1 ...   +- as -o util.o /tmp/ccB.s
//   +- ar rcs libutil.a util.o
//   +- gcc -o prog main.o libutil.a
//   +- gcc -c sub/it's.c -o "we\"ird\\.o"   (in root/sub: names to escape)
struct project {
    int64_t main_o, util_o, lib_a, prog, weird_o;
};

project fill_project(build_db& db, const std::string& root, char variant = 'x', bool with_prog = true)
{
    int64_t d = db.dir(root);
    int64_t dsub = db.dir(root + "/sub");
    int64_t make = db.command("make -j2", d, 0, 900, "2026-12-06 09:00:00");
    int64_t gcc1 = db.command("gcc -c main.c -o main.o", d, make, 300, "2026-12-06 09:00:01");
    db.command("/usr/lib/gcc/x86_64-linux-gnu/12/cc1 -quiet main.c -o /tmp/ccA.s", d, gcc1, 250,
               "2026-12-06 09:00:01");
    int64_t as1 = db.command("as --64 -o main.o /tmp/ccA.s", d, gcc1, 20, "2026-12-06 09:00:02");
    int64_t gcc2 = db.command("gcc -c util.c", d, make, 200, "2026-12-06 09:00:02");
    db.command("/usr/lib/gcc/x86_64-linux-gnu/12/cc1 -quiet util.c -o /tmp/ccB.s", d, gcc2, 150,
               "2026-12-06 09:00:02");
    int64_t as2 = db.command("as --64 -o util.o /tmp/ccB.s", d, gcc2, 10, "2026-12-06 09:00:03");
    int64_t ar = db.command("ar rcs libutil.a util.o", d, make, 5, "2026-12-06 09:00:04");
    int64_t link = db.command("gcc -o prog main.o libutil.a", d, make, 1200, "2026-12-06 09:00:05");
    int64_t gcc3 = db.command("gcc -c it's.c -o we\"ird\\.o", dsub, make, 100, "2026-12-06 09:00:06");

    int64_t main_c = db.source("main.c", d, sum('1'));
    int64_t util_c = db.source("util.c", d, sum('2'));
    int64_t s_a = db.source("/tmp/ccA.s", d, sum('3'));
    int64_t s_b = db.source("/tmp/ccB.s", d, sum('4'));
    int64_t its_c = db.source("it's.c", dsub, sum('5'));
    int64_t util_h = db.header("util.h", d, sum('6'));
    int64_t stdio_h = db.header("/usr/include/stdio.h", d, sum('7'));
    db.rel("source_head_table", main_c, util_h);
    db.rel("source_head_table", main_c, stdio_h);
    db.rel("source_head_table", util_c, util_h);

    project p{};
    p.main_o = db.target("main.o", d, sum(variant == 'm' ? 'M' : 'a'), gcc1, as1);
    db.rel("target_source_table", p.main_o, s_a);
    db.rel("target_source_table", p.main_o, main_c);
    p.util_o = db.target("util.o", d, sum('b'), as2, as2);
    db.rel("target_source_table", p.util_o, s_b);
    db.rel("target_source_table", p.util_o, util_c);
    p.lib_a = db.target("libutil.a", d, sum('c'), ar, ar);
    db.rel("target_target_table", p.lib_a, p.util_o);
    if (with_prog) {
        p.prog = db.target("prog", d, sum(variant == 'm' ? 'P' : 'd'), link, link);
        db.rel("target_target_table", p.prog, p.main_o);
        db.rel("target_target_table", p.prog, p.lib_a);
    }
    p.weird_o = db.target("we\"ird\\.o", dsub, sum('e'), gcc3, gcc3);
    db.rel("target_source_table", p.weird_o, its_c);
    // A system library the link read: recorded as an input, made by nobody.
    db.target("/usr/lib/x86_64-linux-gnu/libc.so", d, sum(variant == 'm' ? 'L' : 'f'), 0, link);
    return p;
}

}  // namespace

TEST(CliReport, SummaryAndSlowestCommands)
{
    temp_dir t;
    {
        build_db db(t.sub("k.db"));
        fill_project(db, "/w");
    }
    auto r = kalvitrex({"report", "--db", "k.db", "--top", "3"}, t.path());
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_NE(r.out.find("  commands     10 (10 with a run time, 3135 ms in all)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  started      2026-12-06 09:00:00 to 2026-12-06 09:00:06\n"), std::string::npos);
    EXPECT_NE(r.out.find("  sources      5\n  headers      2\n"
                         "  targets      6 (5 made by the build, the others read by it)\n  relations    11\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Slowest commands (ms):\n"
                         "      1200  gcc -o prog main.o libutil.a\n"
                         "       900  make -j2\n"
                         "       300  gcc -c main.c -o main.o\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("cc1 -quiet util.c"), std::string::npos);  // beyond --top 3
}

TEST(CliReport, CompileCommandsHaveOneEntryPerSourceFoldedUnderTheDriver)
{
    temp_dir t;
    {
        build_db db(t.sub("k.db"));
        fill_project(db, "/w");
        // util.c compiled again later (a second build into the same
        // database): still one entry, the newer command's.
        int64_t d = db.dir("/w2");
        int64_t g = db.command("gcc -O2 -c util.c -o util.o", d, 0, 10, "2026-12-06 10:00:00");
        int64_t c = db.source("util.c", db.dir("/w"), sum('9'));
        int64_t o = db.target("util.o", db.dir("/w"), sum('8'), g, g);
        db.rel("target_source_table", o, c);
        // A source name with blanks: its argument is put back together.
        int64_t b = db.command("gcc -c my  file.c -o my file.o", d, 0, 10, "2026-12-06 10:00:01");
        int64_t bc = db.source("my  file.c", d, sum('7'));
        int64_t bo = db.target("my file.o", d, sum('6'), b, b);
        db.rel("target_source_table", bo, bc);
    }
    auto r = kalvitrex({"report", "--db", "k.db", "--compile-commands", "out/cc.json"}, t.path());
    EXPECT_NE(r.exit_code, 0) << "no out/ directory: the write must fail";
    EXPECT_NE(r.err.find("cannot write out/cc.json"), std::string::npos) << describe(r);
    mkdir(t.sub("out").c_str(), 0755);
    r = kalvitrex({"report", "--db", "k.db", "--compile-commands", "out/cc.json"}, t.path());
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    json j = json_reader::parse(read_file(t.sub("out/cc.json")));
    ASSERT_EQ(j.kind, json::array);
    ASSERT_EQ(j.items.size(), 4u) << read_file(t.sub("out/cc.json"));
    std::map<std::string, const json*> by_file;
    for (const json& e : j.items) {
        by_file[e.at("file").text] = &e;
    }
    ASSERT_EQ(by_file.count("/w/main.c"), 1u);
    ASSERT_EQ(by_file.count("/w/util.c"), 1u);
    ASSERT_EQ(by_file.count("/w/sub/it's.c"), 1u);
    ASSERT_EQ(by_file.count("/w2/my  file.c"), 1u);
    std::vector<std::string> blank_args;
    for (const json& a : by_file["/w2/my  file.c"]->at("arguments").items) {
        blank_args.push_back(a.text);
    }
    EXPECT_EQ(blank_args, (std::vector<std::string>{"gcc", "-c", "my  file.c", "-o", "my file.o"}));
    const json& m = *by_file["/w/main.c"];
    EXPECT_EQ(m.at("directory").text, "/w");
    EXPECT_EQ(m.at("output").text, "/w/main.o");
    std::vector<std::string> args;
    for (const json& a : m.at("arguments").items) {
        args.push_back(a.text);
    }
    EXPECT_EQ(args, (std::vector<std::string>{"gcc", "-c", "main.c", "-o", "main.o"}));
    const json& u = *by_file["/w/util.c"];
    EXPECT_EQ(u.at("directory").text, "/w2");
    EXPECT_EQ(u.at("arguments").items.at(1).text, "-O2");
    const json& w = *by_file["/w/sub/it's.c"];
    EXPECT_EQ(w.at("output").text, "/w/sub/we\"ird\\.o");
    EXPECT_EQ(w.at("arguments").items.back().text, "we\"ird\\.o");
    EXPECT_EQ(w.at("directory").text, "/w/sub");
    // No leftovers of the failed and the successful write.
    EXPECT_EQ(std::system(("test -z \"$(ls -A " + t.sub("out") + " | grep -v '^cc.json$')\"").c_str()), 0);
}

TEST(CliReport, DotGraphIsEscapedAndHasEveryEdge)
{
    temp_dir t;
    {
        build_db db(t.sub("k.db"));
        fill_project(db, "/w");
    }
    auto r = kalvitrex({"report", "--db", "k.db", "--dot", "g.dot"}, t.path());
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    std::string dot = read_file(t.sub("g.dot"));
    EXPECT_EQ(dot.rfind("digraph build {\n", 0), 0u);
    EXPECT_NE(dot.find("[label=\"sub/we\\\"ird\\\\.o\", shape=box]"), std::string::npos) << dot;
    EXPECT_NE(dot.find("[label=\"util.h\", shape=note]"), std::string::npos) << dot;
    size_t edges = 0;
    for (size_t at = dot.find(" -> "); at != std::string::npos; at = dot.find(" -> ", at + 1)) {
        ++edges;
    }
    EXPECT_EQ(edges, 11u) << dot;
}

TEST(CliImpact, TargetsAboveAHeaderASourceAndATarget)
{
    temp_dir t;
    {
        build_db db(t.sub("k.db"));
        fill_project(db, t.path());
    }
    const std::string w = t.path();
    auto r = kalvitrex({"impact", "--db", "k.db", "util.h"}, t.path());
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(r.out, w + "/libutil.a\n" + w + "/main.o\n" + w + "/prog\n" + w + "/util.o\n");
    r = kalvitrex({"impact", "--db=" + w + "/k.db", "/usr/include/stdio.h"}, "/");
    EXPECT_EQ(r.out, w + "/main.o\n" + w + "/prog\n") << describe(r);
    r = kalvitrex({"impact", "--db", "k.db", "./sub/../util.c"}, t.path());
    EXPECT_EQ(r.out, w + "/libutil.a\n" + w + "/prog\n" + w + "/util.o\n") << describe(r);
    r = kalvitrex({"impact", "--db", "k.db", "libutil.a"}, t.path());
    EXPECT_EQ(r.out, w + "/prog\n") << describe(r);
    r = kalvitrex({"impact", "--db", "k.db", "prog"}, t.path());
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    r = kalvitrex({"impact", "--db", "k.db", "nothere.h"}, t.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "kalvitrex: nothere.h is not recorded in k.db\n");
}

TEST(CliImpact, GeneratedHeaderLinksItsInputToTheObjectsIncludingIt)
{
    // gen.sh writes config.h (a target made from config.h.in), and the
    // compilation then records config.h as a header with the same digest.
    temp_dir t;
    const std::string w = t.path();
    {
        build_db db(t.sub("k.db"));
        int64_t d = db.dir(w);
        int64_t gen = db.command("perl gen.pl config.h.in config.h", d, 0, 5);
        int64_t gcc = db.command("gcc -c a.c -o a.o", d, 0, 5);
        int64_t in = db.source("config.h.in", d, sum('1'));
        int64_t out = db.target("config.h", d, sum('2'), gen, gen);
        db.rel("target_source_table", out, in);
        int64_t a_c = db.source("a.c", d, sum('3'));
        int64_t h = db.header("config.h", d, sum('2'));
        db.rel("source_head_table", a_c, h);
        int64_t a_o = db.target("a.o", d, sum('4'), gcc, gcc);
        db.rel("target_source_table", a_o, a_c);
    }
    auto r = kalvitrex({"impact", "--db", "k.db", "config.h.in"}, w);
    EXPECT_EQ(r.out, w + "/a.o\n" + w + "/config.h\n") << describe(r);
}

TEST(CliDiff, ListsDifferingFilesEarliestProducerFirst)
{
    temp_dir t;
    {
        build_db a(t.sub("a.db"));
        fill_project(a, "/x/one");
        build_db b(t.sub("b.db"));
        fill_project(b, "/x/two", 'm');  // main.o, prog and libc.so differ
        b.target("/tmp/ccZZ.o", b.dir("/tmp"), sum('z'), 2, 2);
    }
    auto r = kalvitrex({"diff", "a.db", "b.db"}, t.path());
    EXPECT_EQ(r.exit_code, 1) << describe(r);
    EXPECT_EQ(r.out,
              "main.o\n"
              "    made by: gcc -c main.c -o main.o\n"
              "    in: /x/two\n"
              "prog\n"
              "    made by: gcc -o prog main.o libutil.a\n"
              "    in: /x/two\n");
    EXPECT_EQ(r.err, "kalvitrex: 2 of 5 files made by both builds differ; 0 only in a.db, 1 only in b.db\n");

    r = kalvitrex({"diff", "a.db", "a.db"}, t.path());
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(r.out, "");
}

TEST(CliDiff, UsesTheNewestVersionOfAFile)
{
    // prog linked, then stripped in place: the final contents count.
    temp_dir t;
    for (const char* name : {"a.db", "b.db"}) {
        build_db db(t.sub(name));
        int64_t d = db.dir("/w");
        int64_t ld = db.command("gcc -o prog a.o", d, 0, 1);
        int64_t st = db.command("strip prog", d, 0, 1);
        db.target("prog", d, sum(name[0] == 'a' ? '1' : '2'), ld, ld);  // unstripped: differs
        db.target("prog", d, sum('3'), st, st);                          // stripped: same
    }
    auto r = kalvitrex({"diff", "a.db", "b.db"}, t.path());
    EXPECT_EQ(r.exit_code, 0) << describe(r);
}

TEST(CliErrors, MissingForeignAndMismatchedDatabases)
{
    temp_dir t;
    ziv_test::write_file(t.sub("junk.db"), std::string(4096, 'j'));
    {
        build_db db(t.sub("old.db"));
        db.exec("DROP TABLE build_time_table; CREATE TABLE build_time_table (id INTEGER PRIMARY KEY, build_id INTEGER);");
    }
    {
        build_db db(t.sub("nohead.db"));
        db.exec("DROP TABLE head_file_table;");
    }
    struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"report"}, "kalvitrex: no such database: kalvitrex.db\n"},
        {{"report", "--db", "none.db"}, "kalvitrex: no such database: none.db\n"},
        {{"impact", "--db", "junk.db", "a.c"}, "kalvitrex: junk.db: not a build database (file is not a database)\n"},
        {{"diff", "nohead.db", "old.db"}, "kalvitrex: nohead.db: not a build database (table head_file_table is missing)\n"},
        {{"report", "--db", "old.db"},
         "kalvitrex: old.db: not a build database (table build_time_table has columns (id, build_id), expected (id, "
         "build_id, runtime_ms, total_ms, sha256_ms, sql_ms, dataid_ms))\n"},
        {{"report", "--db", "."}, "kalvitrex: .: not a build database (not a regular file)\n"},
        {{"report", "--top", "x"}, "kalvitrex: report: --top takes a number, got 'x'\n"},
        {{"report", "--db"}, "kalvitrex: --db needs a value\n"},
        {{"report", "extra"}, "kalvitrex: report: unexpected argument extra (see kalvitrex report --help)\n"},
        {{"impact"}, "kalvitrex: impact: give exactly one FILE (see kalvitrex impact --help)\n"},
        {{"diff", "a.db"}, "kalvitrex: diff: give two databases (see kalvitrex diff --help)\n"},
        {{"frobnicate"}, "kalvitrex: no such command: frobnicate (see kalvitrex --help)\n"},
    };
    for (const auto& c : cases) {
        auto r = kalvitrex(c.args, t.path());
        EXPECT_EQ(r.exit_code, 2) << describe(r);
        EXPECT_EQ(r.err, c.err) << c.args[0];
        EXPECT_EQ(r.out, "");
    }
    // Reading never creates or changes a database.
    EXPECT_NE(access(t.sub("kalvitrex.db").c_str(), F_OK), 0);
    EXPECT_EQ(read_file(t.sub("junk.db")), std::string(4096, 'j'));
}

TEST(CliHelp, ProgramAndEveryCommand)
{
    temp_dir t;
    auto r = kalvitrex({"--help"}, t.path());
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind("Usage: kalvitrex COMMAND [options]\n", 0), 0u) << r.out;
    r = kalvitrex({}, t.path());
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("Usage: kalvitrex COMMAND"), std::string::npos);
    for (const char* cmd : {"run", "report", "impact", "diff"}) {
        auto h = kalvitrex({cmd, "--help"}, t.path());
        EXPECT_EQ(h.exit_code, 0) << cmd;
        EXPECT_EQ(h.out.rfind(std::string("Usage: kalvitrex ") + cmd, 0), 0u) << h.out;
        auto h2 = kalvitrex({"help", cmd}, t.path());
        EXPECT_EQ(h2.out, h.out);
    }
}
