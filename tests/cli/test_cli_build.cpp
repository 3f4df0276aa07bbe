// Real builds under `kalvitrex run`: make, gcc and ar on a generated
// project, then the database questioned with impact, report and diff.
#include <unistd.h>

#include <set>

#include "cli_fixture.h"

using namespace cli_test;

namespace {

// A program from two sources, an archive and headers; `stamp` is the rule
// that writes stamp.h (a fresh random id makes the build non-reproducible:
// nothing the profile normalises).
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
               "stamp.h:\n\t" + stamp + "\n");
}

// A clean build of the project into `db`.
run_result build(const std::string& dir, const std::string& db, const std::vector<std::string>& opts = {})
{
    for (const char* f : {"prog", "main.o", "util.o", "libutil.a", "stamp.h"}) {
        std::remove((dir + "/" + f).c_str());
    }
    std::vector<std::string> args = {"run", "--db", db};
    args.insert(args.end(), opts.begin(), opts.end());
    args.insert(args.end(), {"--", "make", "-s"});
    return kalvitrex(args, dir, {"SOURCE_DATE_EPOCH=1646016134"}, 120);
}

}  // namespace

TEST(CliBuild, RunRecordsARealBuildThatImpactReportAndDiffThenQuestion)
{
    temp_dir t;
    write_project(t.path(), "echo '#define STAMP \"fixed\"' > stamp.h");
    auto r = build(t.path(), "one.db", {"--hdeps", "mm"});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    run_options prog;
    prog.exe = t.sub("prog");
    prog.argv = {"prog"};
    EXPECT_EQ(run(prog).out, "42 fixed\n");
    {
        test_db db(t.sub("one.db"));
        EXPECT_EQ(db.number("select count(*) from build_command_table where command in "
                            "('gcc -c main.c -o main.o', 'ar rcs libutil.a util.o', 'gcc -o prog main.o libutil.a')"),
                  3);
        // The compiler proper names its driver as parent.
        EXPECT_EQ(db.number("select count(*) from build_command_table c join build_command_table p on "
                            "p.id = c.parent_id where p.command = 'gcc -c util.c' and c.command like '%cc1 %util.c%'"),
                  1);
        // The summary counts what this run added.
        EXPECT_NE(r.err.find(": " + db.value("select count(*) from build_command_table") + " commands traced, "),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find(" files recorded, " +
                             db.value("select count(*) from target_file_table where command_id != 0") + " targets ("),
                  std::string::npos)
            << r.err;
    }
    // impact of a header: exactly the objects, archive and program above it.
    auto imp = kalvitrex({"impact", "--db", "one.db", "util.h"}, t.path());
    EXPECT_EQ(imp.out, t.sub("libutil.a") + "\n" + t.sub("main.o") + "\n" + t.sub("prog") + "\n" + t.sub("util.o") + "\n")
        << describe(imp);
    // One compile entry per source, under its driver.
    auto rep = kalvitrex({"report", "--db", "one.db", "--compile-commands", "compile_commands.json"}, t.path());
    ASSERT_EQ(rep.exit_code, 0) << describe(rep);
    json j = json_reader::parse(read_file(t.sub("compile_commands.json")));
    std::set<std::string> files;
    for (const json& e : j.items) {
        files.insert(e.at("file").text);
        EXPECT_EQ(e.at("directory").text, t.path());
        EXPECT_EQ(e.at("arguments").items.at(0).text, "gcc");
    }
    EXPECT_EQ(j.items.size(), 2u);
    EXPECT_EQ(files, (std::set<std::string>{t.sub("main.c"), t.sub("util.c")}));

    // A second build some time later: reproducible, so nothing differs.
    sleep(2);
    ASSERT_EQ(build(t.path(), "two.db", {"--hdeps", "mm"}).exit_code, 0);
    auto d = kalvitrex({"diff", "one.db", "two.db"}, t.path());
    EXPECT_EQ(d.exit_code, 0) << describe(d);
    EXPECT_EQ(d.out, "");

    // stamp.h with a random id: main.o first, then the program.
    write_project(t.path(), "echo \"#define STAMP \\\"$$(cat /proc/sys/kernel/random/uuid)\\\"\" > stamp.h");
    ASSERT_EQ(build(t.path(), "three.db").exit_code, 0);
    d = kalvitrex({"diff", "two.db", "three.db"}, t.path());
    EXPECT_EQ(d.exit_code, 1) << describe(d);
    auto l = lines_of(d.out);
    ASSERT_GE(l.size(), 6u) << d.out;
    EXPECT_EQ(l[0], "main.o");
    EXPECT_EQ(l[1], "    made by: gcc -c main.c -o main.o");
    std::set<std::string> listed(l.begin() + 3, l.end());
    EXPECT_EQ(listed.count("prog"), 1u) << d.out;
    EXPECT_EQ(listed.count("util.o") + listed.count("libutil.a"), 0u) << d.out;
}
