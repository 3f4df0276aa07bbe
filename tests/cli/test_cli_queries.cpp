// report, impact and diff on build databases filled the way the library
// fills them: a make driving compiler drivers whose compiler proper and
// assembler are traced as their children, an archive and a link.
#include <sys/stat.h>

#include "cli_fixture.h"

using namespace cli_test;

namespace {

// make (1)
// +- gcc -c main.c -o main.o (2): output mode, main.o taken over from as (4)
// |  +- cc1 ... main.c -o /tmp/ccA.s (3) records the headers
// +- gcc -c util.c (5): paired mode, util.o stays with as (7)
// +- ar rcs libutil.a util.o (8), gcc -o prog main.o libutil.a (9)
// +- gcc -c it's.c -o we"ird\.o (10), in @R/sub: names to escape
// Variant digests: $a main.o, $d prog, $f the C library the link read.
const char* kProject = R"(
INSERT INTO path_file_table VALUES (1, '@R'), (2, '@R/sub');
INSERT INTO tool_file_table VALUES (1, '/usr/bin/make', $0), (2, '/usr/bin/gcc', $0),
  (3, '/usr/lib/gcc/x86_64-linux-gnu/12/cc1', $0), (4, '/usr/bin/as', $0), (5, '/usr/bin/ar', $0);
INSERT INTO build_command_table VALUES
  (1, '2026-12-06 09:00:00', 'make -j2', 1, 1, 0, 900),
  (2, '2026-12-06 09:00:01', 'gcc -c main.c -o main.o', 2, 1, 1, 300),
  (3, '2026-12-06 09:00:01', '/usr/lib/gcc/x86_64-linux-gnu/12/cc1 -quiet main.c -o /tmp/ccA.s', 3, 1, 2, 250),
  (4, '2026-12-06 09:00:02', 'as --64 -o main.o /tmp/ccA.s', 4, 1, 2, 20),
  (5, '2026-12-06 09:00:02', 'gcc -c util.c', 2, 1, 1, 200),
  (6, '2026-12-06 09:00:02', '/usr/lib/gcc/x86_64-linux-gnu/12/cc1 -quiet util.c -o /tmp/ccB.s', 3, 1, 5, 150),
  (7, '2026-12-06 09:00:03', 'as --64 -o util.o /tmp/ccB.s', 4, 1, 5, 10),
  (8, '2026-12-06 09:00:04', 'ar rcs libutil.a util.o', 5, 1, 1, 5),
  (9, '2026-12-06 09:00:05', 'gcc -o prog main.o libutil.a', 2, 1, 1, 1200),
  (10, '2026-12-06 09:00:06', 'gcc -c it''s.c -o we"ird\.o', 2, 2, 1, 100);
INSERT INTO source_file_table VALUES (1, 'main.c', 1, $1, 0), (2, 'util.c', 1, $2, 0),
  (3, '/tmp/ccA.s', 1, $3, 0), (4, '/tmp/ccB.s', 1, $4, 0), (5, 'it''s.c', 2, $5, 0);
INSERT INTO head_file_table VALUES (1, 'util.h', 1, $6), (2, '/usr/include/stdio.h', 1, $7);
INSERT INTO source_head_table VALUES (NULL, 1, 1), (NULL, 1, 2), (NULL, 2, 1);
INSERT INTO target_file_table VALUES (1, 'main.o', 1, $a, 2, 4), (2, 'util.o', 1, $b, 7, 7),
  (3, 'libutil.a', 1, $c, 8, 8), (4, 'prog', 1, $d, 9, 9), (5, 'we"ird\.o', 2, $e, 10, 10),
  (6, '/usr/lib/x86_64-linux-gnu/libc.so', 1, $f, 0, 9);
INSERT INTO target_source_table VALUES (NULL, 1, 3), (NULL, 1, 1), (NULL, 2, 4), (NULL, 2, 2), (NULL, 5, 5);
INSERT INTO target_target_table VALUES (NULL, 3, 2), (NULL, 4, 1), (NULL, 4, 3);
)";

// A blob literal of an argument vector as the library stores it.
std::string vector_literal(const std::vector<std::string>& argv)
{
    std::string bytes;
    for (const std::string& a : argv) {
        bytes += a + '\0';
    }
    return "X'" + hex(bytes) + "'";
}

}  // namespace

TEST(CliReport, SummaryAndSlowestCommandsQuotedExactly)
{
    temp_dir t;
    // The link recorded with its exact vector: argument boundaries, an empty
    // argument and a quote that the command text cannot keep apart.
    make_db(t.sub("k.db"), kProject + std::string("INSERT INTO build_command_argv_table VALUES (9, ") +
                               vector_literal({"gcc", "-o", "prog", "main.o", "libutil.a", "-Wl,-rpath,$ORIGIN/it's lib", ""}) +
                               ");",
            "/w");
    auto r = kalvitrex({"report", "--db", "k.db", "--top", "3"}, t.path());
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_NE(r.out.find("  commands     10 (10 with a run time, 3135 ms in all)\n"
                         "  started      2026-12-06 09:00:00 to 2026-12-06 09:00:06\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  sources      5\n  headers      2\n"
                         "  targets      6 (5 made by the build, the others read by it)\n  relations    11\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Slowest commands (ms):\n"
                         "      1200  gcc -o prog main.o libutil.a '-Wl,-rpath,$ORIGIN/it'\\''s lib' ''\n"
                         "       900  make -j2\n       300  gcc -c main.c -o main.o\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("cc1 -quiet util.c"), std::string::npos);  // beyond --top 3
}

// The entry rules on cases a test machine cannot run for real: a compiler
// behind a launcher, a driver that a link started, a compiler that is no
// driver, a command recorded before vectors were kept; and the file written
// all or nothing.
TEST(CliReport, CompileCommandsFromLaunchersNestedDriversOtherCompilersAndOldRows)
{
    temp_dir t;
    const std::string w = t.path();
    for (const char* f : {"c.c", "m.c", "s.asm", "old.c"}) {
        write_file(t.sub(f), "");
    }
    // Compiler probes whose sources stay: CMake's identification and
    // try-compile of its own module, Meson's sanity check.
    std::system(("mkdir -p '" + w + "/b/CMakeFiles/3.25.1/CompilerIdC' '" + w + "/b/meson-private'").c_str());
    for (const char* f : {"b/CMakeFiles/3.25.1/CompilerIdC/CMakeCCompilerId.c", "b/meson-private/sanitycheckc.c"}) {
        write_file(t.sub(f), "");
    }
    make_db(t.sub("k.db"), R"(
INSERT INTO path_file_table VALUES (1, '@R'), (2, '@R/b/CMakeFiles/3.25.1/CompilerIdC'),
  (3, '@R/b/CMakeFiles/CMakeScratch/TryCompile-x1'), (4, '@R/b/meson-private');
INSERT INTO tool_file_table VALUES (1, '/usr/bin/ccache', $0), (2, '/usr/bin/gcc', $0), (3, '/usr/bin/nasm', $0),
  (4, '/usr/lib/gcc/x86_64-linux-gnu/12/lto-wrapper', $0), (5, '/usr/bin/clang', $0);
INSERT INTO build_command_table VALUES
  (1, '2026-12-06 09:00:00', 'ccache gcc -c c.c -o c.o', 1, 1, 0, 5),
  (2, '2026-12-06 09:00:00', '/usr/bin/gcc -c c.c -o c.o', 2, 1, 1, 5),
  (3, '2026-12-06 09:00:00', 'gcc -flto -o p m.o', 2, 1, 0, 5),
  (4, '2026-12-06 09:00:00', 'lto-wrapper', 4, 1, 3, 5),
  (5, '2026-12-06 09:00:00', 'gcc -c -x c m.c', 2, 1, 4, 5),
  (6, '2026-12-06 09:00:00', 'nasm -f elf64 s.asm -o s.o', 3, 1, 0, 5),
  (7, '2026-12-06 09:00:00', 'gcc -c old.c', 2, 1, 0, 5),
  (8, '2026-12-06 09:00:00', 'gcc -E m.c -o m.i', 2, 1, 0, 5),
  (9, '2026-12-06 09:00:00', 'clang m.c x.o -lm -o prog', 5, 1, 0, 5),
  (10, '2026-12-06 09:00:00', 'clang -cc1 -emit-obj m.c', 5, 1, 9, 5),
  (11, '2026-12-06 09:00:00', 'gcc CMakeCCompilerId.c', 2, 2, 0, 5),
  (12, '2026-12-06 09:00:00', 'gcc -c @R/m.c', 2, 3, 0, 5),
  (13, '2026-12-06 09:00:00', 'gcc sanitycheckc.c -o sanitycheckc.exe', 2, 4, 0, 5);
INSERT INTO source_file_table VALUES (1, 's.asm', 1, $1, 0);
INSERT INTO target_file_table VALUES (1, 's.o', 1, $2, 6, 6);
INSERT INTO target_source_table VALUES (NULL, 1, 1);
)" + [] {
        // The vectors of every row but the old one (7).
        std::string rows;
        int id = 0;
        for (const std::vector<std::string>& argv : std::vector<std::vector<std::string>>{
                 {"ccache", "gcc", "-c", "c.c", "-o", "c.o"}, {"/usr/bin/gcc", "-c", "c.c", "-o", "c.o"},
                 {"gcc", "-flto", "-o", "p", "m.o"}, {"lto-wrapper"}, {"gcc", "-c", "-x", "c", "m.c"},
                 {"nasm", "-f", "elf64", "s.asm", "-o", "s.o"}, {}, {"gcc", "-E", "m.c", "-o", "m.i"},
                 {"clang", "m.c", "x.o", "-lm", "-o", "prog"}, {"clang", "-cc1", "-emit-obj", "m.c"}}) {
            ++id;
            rows += argv.empty() ? "" : (rows.empty() ? "" : ", ") + ("(" + std::to_string(id) + ", " + vector_literal(argv) + ")");
        }
        return "INSERT INTO build_command_argv_table VALUES " + rows + ";";
    }(), w);

    auto r = kalvitrex({"report", "--db", "k.db", "--compile-commands", "out/cc.json"}, w);
    EXPECT_NE(r.exit_code, 0) << "no out/ directory: the write must fail";
    EXPECT_NE(r.err.find("cannot write out/cc.json"), std::string::npos) << describe(r);
    mkdir(t.sub("out").c_str(), 0755);
    r = kalvitrex({"report", "--db", "k.db", "--compile-commands", "out/cc.json"}, w);
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_NE(r.err.find("kalvitrex: wrote 4 entries to out/cc.json\n"), std::string::npos) << r.err;
    std::vector<std::vector<std::string>> entries;
    for (const json& e : read_json(t.sub("out/cc.json")).items) {
        EXPECT_EQ(e.at("directory").text, w);
        entries.push_back({e.at("file").text, e.at("output").text});
        for (const std::string& a : e.at("arguments").texts()) {
            entries.back().push_back(a);
        }
    }
    // The launcher's compile once, without the launcher; nothing of what the
    // link or the driver started; nasm by the object it made; a row without
    // its vector by its text; the link of one source read as its compile.
    EXPECT_EQ(entries, (std::vector<std::vector<std::string>>{
                           {w + "/c.c", w + "/c.o", "gcc", "-c", "c.c", "-o", "c.o"},
                           {w + "/s.asm", w + "/s.o", "nasm", "-f", "elf64", "s.asm", "-o", "s.o"},
                           {w + "/old.c", w + "/old.o", "gcc", "-c", "old.c"},
                           {w + "/m.c", w + "/m.o", "clang", "-c", "m.c", "-lm"}}));
    // No leftovers of the failed and the successful write.
    EXPECT_EQ(std::system(("test \"$(ls -A " + t.sub("out") + ")\" = cc.json").c_str()), 0);
}

TEST(CliImpact, TargetsAboveAHeaderASourceATargetAndAGeneratedHeaderAndTheGraph)
{
    temp_dir t;
    const std::string w = t.path();
    make_db(t.sub("k.db"), kProject, w);
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"util.h", w, w + "/libutil.a\n" + w + "/main.o\n" + w + "/prog\n" + w + "/util.o\n"},
        {"/usr/include/stdio.h", "/", w + "/main.o\n" + w + "/prog\n"},
        {"./sub/../util.c", w, w + "/libutil.a\n" + w + "/prog\n" + w + "/util.o\n"},
        {"libutil.a", w, w + "/prog\n"},
        {"prog", w, ""},
    };
    for (const auto& [file, cwd, want] : cases) {
        auto r = kalvitrex({"impact", "--db=" + w + "/k.db", file}, cwd);
        EXPECT_EQ(r.exit_code, 0) << describe(r);
        EXPECT_EQ(r.out, want) << file;
    }
    auto r = kalvitrex({"impact", "--db", "k.db", "nothere.h"}, w);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "kalvitrex: nothere.h is not recorded in k.db\n");

    // A script writes config.h (a target made from config.h.in), and the
    // compilation then records config.h as a header with the same digest.
    make_db(t.sub("gen.db"), kProject + std::string(R"(
INSERT INTO tool_file_table VALUES (6, '/usr/bin/perl', $0);
INSERT INTO build_command_table VALUES (11, '2026-12-06 09:00:07', 'perl gen.pl config.h.in config.h', 6, 1, 1, 5);
INSERT INTO source_file_table VALUES (6, 'config.h.in', 1, $g, 0);
INSERT INTO target_file_table VALUES (7, 'config.h', 1, $h, 11, 11);
INSERT INTO head_file_table VALUES (3, 'config.h', 1, $h);
INSERT INTO source_head_table VALUES (NULL, 1, 3);
INSERT INTO target_source_table VALUES (NULL, 7, 6);
)"), w);
    r = kalvitrex({"impact", "--db", "gen.db", "config.h.in"}, w);
    EXPECT_EQ(r.out, w + "/config.h\n" + w + "/main.o\n" + w + "/prog\n") << describe(r);
    // Traced without header tracing: the answer says how to get one.
    make_db(t.sub("plain.db"), kProject + std::string("DELETE FROM source_head_table; DELETE FROM head_file_table;"), w);
    r = kalvitrex({"impact", "--db", "plain.db", "a.h"}, w);
    EXPECT_EQ(r.err, "kalvitrex: a.h is not recorded in plain.db (it records no headers: trace the build with "
                     "kalvitrex run --hdeps)\n");

    ASSERT_EQ(kalvitrex({"report", "--db", "k.db", "--dot", "g.dot"}, w).exit_code, 0);
    std::string dot = read_file(t.sub("g.dot"));
    EXPECT_EQ(dot.rfind("digraph build {\n", 0), 0u);
    // Labels relative to the directory the commands ran under.
    EXPECT_NE(dot.find("[label=\"sub/we\\\"ird\\\\.o\", shape=box]"), std::string::npos) << dot;
    EXPECT_NE(dot.find("[label=\"util.h\", shape=note]"), std::string::npos) << dot;
    size_t edges = 0;
    for (size_t at = dot.find(" -> "); at != std::string::npos; at = dot.find(" -> ", at + 1)) {
        ++edges;
    }
    EXPECT_EQ(edges, 11u) << dot;
}

TEST(CliDiff, ListsDifferingFilesEarliestProducerFirstByTheirNewestVersion)
{
    temp_dir t;
    make_db(t.sub("a.db"), kProject, "/x/one");
    // main.o, prog and libc.so differ; a scratch object only here.
    make_db(t.sub("b.db"), std::string(kProject) + R"(
UPDATE target_file_table SET checksum = (CASE id WHEN 1 THEN $M WHEN 4 THEN $P ELSE $L END) WHERE id IN (1, 4, 6);
INSERT INTO path_file_table VALUES (3, '/tmp');
INSERT INTO target_file_table VALUES (7, '/tmp/ccZZ.o', 3, $z, 2, 2);
)", "/x/two");
    auto r = kalvitrex({"diff", "a.db", "b.db"}, t.path());
    EXPECT_EQ(r.exit_code, 1) << describe(r);
    EXPECT_EQ(r.out, "main.o\n    made by: gcc -c main.c -o main.o\n    in: /x/two\n"
                     "prog\n    made by: gcc -o prog main.o libutil.a\n    in: /x/two\n");
    EXPECT_EQ(r.err, "kalvitrex: 2 of 5 files made by both builds differ; 0 only in a.db, 1 only in b.db\n");
    r = kalvitrex({"diff", "a.db", "a.db"}, t.path());
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(r.out, "");

    // prog linked, then stripped in place: the final contents count.
    for (const char* name : {"c.db", "d.db"}) {
        make_db(t.sub(name), std::string(R"(
INSERT INTO path_file_table VALUES (1, '/w');
INSERT INTO tool_file_table VALUES (1, '/usr/bin/gcc', $0), (2, '/usr/bin/strip', $0);
INSERT INTO build_command_table VALUES (1, '2026-12-06 09:00:00', 'gcc -o prog a.o', 1, 1, 0, 1),
  (2, '2026-12-06 09:00:00', 'strip prog', 2, 1, 0, 1);
INSERT INTO target_file_table VALUES (1, 'prog', 1, $)") + name[0] + ", 1, 1), (2, 'prog', 1, $3, 2, 2);");
    }
    r = kalvitrex({"diff", "c.db", "d.db"}, t.path());
    EXPECT_EQ(r.exit_code, 0) << describe(r);
}

TEST(CliErrors, MissingForeignAndMismatchedDatabasesAndBadArguments)
{
    temp_dir t;
    write_file(t.sub("junk.db"), std::string(4096, 'j'));
    make_db(t.sub("old.db"), "DROP TABLE build_time_table; CREATE TABLE build_time_table (id INTEGER PRIMARY KEY, "
                             "build_id INTEGER);");
    make_db(t.sub("nohead.db"), "DROP TABLE head_file_table;");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"report"}, "no such database: kalvitrex.db"},
        {{"report", "--db", "none.db"}, "no such database: none.db"},
        {{"impact", "--db", "junk.db", "a.c"}, "junk.db: not a build database (file is not a database)"},
        {{"diff", "nohead.db", "old.db"}, "nohead.db: not a build database (table head_file_table is missing)"},
        {{"report", "--db", "old.db"},
         "old.db: not a build database (table build_time_table has columns (id, build_id), expected (id, "
         "build_id, runtime_ms, total_ms, sha256_ms, sql_ms, dataid_ms))"},
        {{"report", "--db", "."}, ".: not a build database (not a regular file)"},
        {{"report", "--top", "x"}, "report: --top takes a number, got 'x'"},
        {{"report", "--db"}, "--db needs a value"},
        {{"report", "extra"}, "report: unexpected argument extra (see kalvitrex report --help)"},
        {{"impact"}, "impact: give exactly one FILE (see kalvitrex impact --help)"},
        {{"diff", "a.db"}, "diff: give two databases (see kalvitrex diff --help)"},
        {{"frobnicate"}, "no such command: frobnicate (see kalvitrex --help)"},
    };
    for (const auto& [args, err] : cases) {
        auto r = kalvitrex(args, t.path());
        EXPECT_EQ(r.exit_code, 2) << describe(r);
        EXPECT_EQ(r.err, "kalvitrex: " + err + "\n");
        EXPECT_EQ(r.out, "");
    }
    // Reading never creates or changes a database.
    EXPECT_FALSE(exists(t.sub("kalvitrex.db")));
    EXPECT_EQ(read_file(t.sub("junk.db")), std::string(4096, 'j'));

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
        EXPECT_EQ(kalvitrex({"help", cmd}, t.path()).out, h.out);
    }
}
