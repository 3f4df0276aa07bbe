// Real builds under `kalvitrex run`: make and gcc on a generated project.
#include <gtest/gtest.h>

#include <set>
#include <unistd.h>

#include "cli_fixture.h"
#include "json_mini.h"

using namespace cli_test;
using ziv_test::describe;
using ziv_test::read_file;
using ziv_test::temp_dir;
using ziv_test::write_file;

namespace {

// A program from two sources, an archive and headers; `stamp` is the rule
// that writes stamp.h (the real date makes the build non-reproducible: sh
// and date are nothing the profile normalises).
void write_project(const std::string& dir, const std::string& stamp)
{
    write_file(dir + "/util.h", "int util(int);\n");
    write_file(dir + "/util.c", "#include \"util.h\"\nint util(int x) { return x * 3; }\n");
    write_file(dir + "/main.c",
               "#include <stdio.h>\n#include \"util.h\"\n#include \"stamp.h\"\n"
               "int main(void) { printf(\"%d %s\\n\", util(14), STAMP); return 0; }\n");
    write_file(dir + "/Makefile",
               "prog: main.o libutil.a\n\tgcc -o prog main.o libutil.a\n"
               "main.o: main.c util.h stamp.h\n\tgcc -c main.c -o main.o\n"
               "util.o: util.c util.h\n\tgcc -c util.c\n"
               "libutil.a: util.o\n\tar rcs libutil.a util.o\n"
               "stamp.h:\n\t" + stamp + "\n"
               "clean:\n\trm -f prog *.o *.a stamp.h\n");
}

const std::string k_fixed_stamp = "echo '#define STAMP \"fixed\"' > stamp.h";
const std::string k_date_stamp = "echo \"#define STAMP \\\"$$(date +%s.%N)\\\"\" > stamp.h";

ziv_test::run_result build(const std::string& dir, const std::string& db, const std::vector<std::string>& opts = {})
{
    std::vector<std::string> args = {"run", "--db", db};
    args.insert(args.end(), opts.begin(), opts.end());
    args.insert(args.end(), {"--", "make", "-s"});
    return kalvitrex(args, dir, {"SOURCE_DATE_EPOCH=1646016134"}, 120);
}

ziv_test::run_result make_clean(const std::string& dir)
{
    ziv_test::run_options o;
    o.exe = "/usr/bin/make";
    o.argv = {"make", "-s", "clean"};
    o.env = {"PATH=/usr/local/bin:/usr/bin:/bin"};
    o.cwd = dir;
    return ziv_test::run(o);
}

int64_t count(const std::string& db, const std::string& sql)
{
    sqlite3* h = nullptr;
    sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    int64_t v = -1;
    if (sqlite3_prepare_v2(h, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW) {
        v = sqlite3_column_int64(st, 0);
    }
    sqlite3_finalize(st);
    sqlite3_close(h);
    return v;
}

}  // namespace

TEST(CliBuild, MakeAndGccUnderRunRecordCommandsWithTheirParents)
{
    temp_dir t;
    write_project(t.path(), k_fixed_stamp);
    auto r = build(t.path(), "k.db");
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    std::string db = t.sub("k.db");
    // The program was built and runs.
    ziv_test::run_options o;
    o.exe = t.sub("prog");
    o.argv = {"prog"};
    EXPECT_EQ(ziv_test::run(o).out, "42 fixed\n");

    int64_t commands = count(db, "SELECT count(*) FROM build_command_table");
    EXPECT_GE(commands, 4) << "gcc twice, ar and the link at least";
    EXPECT_EQ(count(db, "SELECT count(*) FROM build_command_table WHERE command = 'gcc -c main.c -o main.o'"), 1);
    EXPECT_EQ(count(db, "SELECT count(*) FROM build_command_table WHERE command = 'ar rcs libutil.a util.o'"), 1);
    // The compiler proper names its driver as parent.
    EXPECT_GE(count(db,
                    "SELECT count(*) FROM build_command_table c JOIN build_command_table p ON p.id = c.parent_id "
                    "WHERE p.command = 'gcc -c util.c' AND c.command LIKE '%cc1 %util.c%'"),
              1);
    // The summary counts what this run added.
    EXPECT_NE(r.err.find(": " + std::to_string(commands) + " commands traced, "), std::string::npos) << r.err;
    int64_t made = count(db, "SELECT count(*) FROM target_file_table WHERE command_id != 0");
    if (made > 0) {
        EXPECT_NE(r.err.find(" files recorded, " + std::to_string(made) + " targets ("), std::string::npos) << r.err;
    }
}

TEST(CliBuild, DiffImpactAndCompileCommandsOfRealBuilds)
{
    temp_dir t;
    write_project(t.path(), k_fixed_stamp);
    auto r = build(t.path(), "one.db", {"--hdeps", "mm"});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    if (count(t.sub("one.db"), "SELECT count(*) FROM target_file_table") <= 0) {
        GTEST_SKIP() << "the build recorded no files: the compiler, archiver and linker parsers are not in this "
                        "build yet";
    }
    // impact of a header: exactly the objects, archive and program above it.
    auto imp = kalvitrex({"impact", "--db", "one.db", "util.h"}, t.path());
    EXPECT_EQ(imp.out, t.sub("libutil.a") + "\n" + t.sub("main.o") + "\n" + t.sub("prog") + "\n" + t.sub("util.o") +
                           "\n")
        << describe(imp);
    // One compile entry per source.
    auto rep = kalvitrex({"report", "--db", "one.db", "--compile-commands", "compile_commands.json"}, t.path());
    ASSERT_EQ(rep.exit_code, 0) << describe(rep);
    json j = json_reader::parse(read_file(t.sub("compile_commands.json")));
    ASSERT_EQ(j.items.size(), 2u) << read_file(t.sub("compile_commands.json"));
    std::set<std::string> files;
    for (const json& e : j.items) {
        files.insert(e.at("file").text);
        EXPECT_EQ(e.at("directory").text, t.path());
        EXPECT_EQ(e.at("arguments").items.at(0).text, "gcc");
    }
    EXPECT_EQ(files, (std::set<std::string>{t.sub("main.c"), t.sub("util.c")}));

    // A second build some time later: reproducible, so nothing differs.
    ASSERT_EQ(make_clean(t.path()).exit_code, 0);
    sleep(2);
    r = build(t.path(), "two.db", {"--hdeps", "mm"});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    auto d = kalvitrex({"diff", "one.db", "two.db"}, t.path());
    EXPECT_EQ(d.exit_code, 0) << describe(d);
    EXPECT_EQ(d.out, "");

    // stamp.h with the real date: main.o first, then the program.
    write_project(t.path(), k_date_stamp);
    ASSERT_EQ(make_clean(t.path()).exit_code, 0);
    r = build(t.path(), "three.db");
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    d = kalvitrex({"diff", "two.db", "three.db"}, t.path());
    EXPECT_EQ(d.exit_code, 1) << describe(d);
    auto l = lines(d.out);
    ASSERT_GE(l.size(), 6u) << d.out;
    EXPECT_EQ(l[0], "main.o");
    EXPECT_EQ(l[1], "    made by: gcc -c main.c -o main.o");
    bool prog_listed = false;
    for (size_t i = 3; i < l.size(); ++i) {
        prog_listed = prog_listed || l[i] == "prog";
        EXPECT_NE(l[i], "util.o");
        EXPECT_NE(l[i], "libutil.a");
    }
    EXPECT_TRUE(prog_listed) << d.out;
}
