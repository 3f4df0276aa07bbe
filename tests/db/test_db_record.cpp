// Recording a command's files and dependencies: the driver does what the
// trace entry does after the parser and at exit, on real files and a real
// database.
#include <sys/stat.h>

#include <cstdio>

#include "db_test_env.h"

namespace ziv_test {
namespace {

// A database and a working directory with a few files in it.
struct workspace {
    temp_dir dir;
    std::string db = make_db(dir);
    std::string work = dir.sub("work");
    std::string hook_log = dir.sub("hook.log");
    // Logs its argument count, its argument and LD_PRELOAD.
    std::string hook = "ZIV_TRACE_OUTPUT_TOOLNAME=" + dir.sub("hook.sh");

    workspace()
    {
        mkdir(work.c_str(), 0755);
        write_file(dir.sub("hook.sh"),
                   "#!/bin/sh\nprintf '%s|%s|%s\\n' \"$#\" \"$1\" \"${LD_PRELOAD-unset}\" >> '" + hook_log + "'\n",
                   0755);
    }
    void file(const std::string& name, const std::string& content) { write_file(work + "/" + name, content); }
    std::string sum(const std::string& name) { return sha256_of(name[0] == '/' ? name : work + "/" + name); }
    driver_result run(std::vector<std::string> lines, std::vector<std::string> env = {})
    {
        lines.insert(lines.begin(), "pwd_id");
        driver_result r = drive({.db = db, .lines = lines, .env = env, .cwd = work});
        EXPECT_EQ(r.run.exit_code, 0) << describe(r.run);
        EXPECT_EQ(r.out.size(), lines.size()) << describe(r.run);
        r.out.resize(lines.size(), "missing");
        r.out.erase(r.out.begin());
        return r;
    }
    table_rows rows(const std::string& sql) { return test_db(db).rows(sql); }
};

// The lists keep their order and their own copies of the names and take a
// name (an input name for pairs) once. Configure tests record nothing.
TEST(DbRecord, TraceInfoListsAndConfigureTests)
{
    workspace w;
    driver_result r = w.run({"info", "in b.c", "in a.c", "in b.c", "in <null>", "out b.c", "pair x.o x.o",
                             "pair x.o y.o", "pair y.o <null>", "pair <null> z.o", "pair <null> z.o", "dump in",
                             "dump out", "dump pair", "free"});
    EXPECT_EQ(r.out, (std::vector<std::string>{
                         "0", "0", "0", "1", "-1", "0", "0", "1", "0", "0", "0", "b.c|0|0|;a.c|0|0|;", "b.c|0|0|;",
                         "x.o|x.o|0|0|0|0||;y.o|(null)|0|0|0|0||;(null)|z.o|0|0|0|0||;(null)|z.o|0|0|0|0||;",
                         "freed"}));
    const struct {
        std::string output, paired, entry;
    } cases[] = {
        {"conftest.o", "", "excluded"},    {"sub/dir/conftest", "", "excluded"},
        {".libs/libconftest.so", "", "excluded"}, {"conftest2.o", "", "excluded"},
        {"myconftest.o", "", "ok"},        {"conftest/a.o", "", "ok"},
        {"a.o", "conftest.o", "excluded"}, {"a.o", "dir/libconftest.a", "excluded"}, {"a.o", "b.o", "ok"},
        {"", "conftest.o", "ok"},  // no outputs: never a test
    };
    std::vector<std::string> lines;
    for (const auto& c : cases) {
        lines.insert(lines.end(), {"info " + c.output, c.paired.empty() ? "sleep 0" : "pair in.o " + c.paired, "entry",
                                   "exit", "free"});
    }
    r = w.run(lines);
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(r.out[i * 5 + 2], cases[i].entry) << cases[i].output << " " << cases[i].paired;
    }
    EXPECT_EQ(test_db(w.db).count("target_file_table"), 0);
}

// Sources are identified at exit, other inputs by digest at once; a system
// library already known by its name keeps its row and is not digested.
TEST(DbRecord, CompileRecordsInputsOutputAndRelationsOnce)
{
    workspace w;
    const std::string libc = "/usr/lib/x86_64-linux-gnu/libc.so.6", libm = "/usr/lib/x86_64-linux-gnu/libm.so.6";
    w.file("a.c", "int a;\n");
    w.file("b.o", "\x7f" "ELF object b");
    w.file("local.a", "!<arch>\n");
    test_db(w.db).exec("INSERT INTO target_file_table VALUES (NULL,'" + libc + "',9,'known',0,0);"
                       "INSERT INTO target_file_table VALUES (NULL,'local.a',1,'old digest',0,0);");
    auto compile = [&](const std::string& row) {
        return w.run({"row " + row, "info a.o", "in a.c", "in b.o", "in " + libc, "in " + libm, "in local.a", "entry",
                      "dump in", "write a.o object", "exit", "dump out"});
    };
    driver_result r = compile("10");
    const std::string sa = w.sum("a.c"), sb = w.sum("b.o"), sm = w.sum(libm), sl = w.sum("local.a"), so = w.sum("a.o");
    ASSERT_EQ(sa.size(), 64u);
    EXPECT_EQ(r.out[8], "a.c|1|0|" + sa + ";b.o|6|0|" + sb + ";" + libc + "|16|1|;" + libm + "|16|0|" + sm +
                            ";local.a|7|0|" + sl + ";");
    EXPECT_EQ(r.out[10], "0");
    EXPECT_EQ(r.out[11], "a.o|0|6|" + so + ";");
    EXPECT_EQ(w.rows("select * from path_file_table"), (table_rows{{"1", w.work}}));
    EXPECT_EQ(w.rows("select * from source_file_table"), (table_rows{{"1", "a.c", "1", sa, "0"}}));
    EXPECT_EQ(w.rows("select filename, checksum, command_id, trace_command_id from target_file_table order by id"),
              (table_rows{{libc, "known", "0", "0"},
                          {"local.a", "old digest", "0", "0"},
                          {"b.o", sb, "0", "10"},
                          {libm, sm, "0", "10"},
                          {"local.a", sl, "0", "10"},
                          {"a.o", so, "10", "10"}}));
    EXPECT_EQ(w.rows("select target_id, source_id from target_source_table"), (table_rows{{"6", "1"}}));
    EXPECT_EQ(w.rows("select target_id, dep_id from target_target_table order by dep_id"),
              (table_rows{{"6", "1"}, {"6", "3"}, {"6", "4"}, {"6", "5"}}));

    // The same command again finds every row and adds none; libm is now known.
    r = compile("11");
    EXPECT_EQ(r.out[8], "a.c|1|0|" + sa + ";b.o|6|3|" + sb + ";" + libc + "|16|1|;" + libm + "|16|4|;local.a|7|5|" +
                            sl + ";");
    EXPECT_EQ(r.out[11], "a.o|0|6|" + so + ";");
    test_db db(w.db);
    EXPECT_EQ(std::vector<long>({db.count("source_file_table"), db.count("target_file_table"),
                                 db.count("target_source_table"), db.count("target_target_table")}),
              std::vector<long>({1, 6, 1, 4}));
}

// Outputs that never appeared record nothing and run no hook; when a later
// output did appear the hook runs, still nothing is recorded. The hook gets
// the first output's name as its one argument, without the library, and
// never runs for a command with paired files only.
TEST(DbRecord, OutputHookAndMissingOutputs)
{
    workspace w;
    w.file("a.c", "int a;\n");
    w.file("p.o", "p");
    driver_result r = w.run({"row 30", "info gone.o", "out gone2.o", "in a.c", "entry", "exit", "dump out", "free",
                             "row 31", "info gone.o", "out late.o", "in a.c", "entry", "write late.o late", "exit",
                             "dump out", "free"},
                            {w.hook});
    EXPECT_EQ(r.out[6], "gone.o|0|0|;gone2.o|0|0|;");
    EXPECT_EQ(r.out[15], "gone.o|0|0|;late.o|0|1|" + w.sum("late.o") + ";");
    // Nothing for command 30, which wrote nothing; command 31's missing first
    // output does not hide the one it did write.
    EXPECT_EQ(w.rows("select t.filename, t.command_id, s.filename from target_file_table t join "
                     "target_source_table r on r.target_id = t.id join source_file_table s on s.id = r.source_id"),
              (table_rows{{"late.o", "31", "a.c"}}));
    test_db db(w.db);
    EXPECT_EQ(db.count("target_file_table"), 1);
    EXPECT_EQ(db.count("source_file_table"), 1);

    const std::vector<std::string> names = {"plain.o",          "it's out.o",        "a;touch pwned1.o",
                                            "$(touch pwned2).o", "`touch pwned3`.o", "two  blanks.o",
                                            "x' ; touch pwned4 ; '.o", "tab\there.o"};
    std::vector<std::string> lines;
    for (const std::string& name : names) {
        lines.insert(lines.end(), {"row 40", cmd("info", esc(name)), "entry", cmd("write", esc(name), "out"), "exit",
                                   "free"});
    }
    lines.insert(lines.end(), {"info", "pair p.o q.o", "entry", "write q.o q", "exit"});
    w.run(lines, {w.hook, "LD_PRELOAD=" + std::string(ZIV_LIB_PATH)});
    std::string expected = "1|gone.o|\n";  // command 31 only
    for (const std::string& name : names) {
        expected += "1|" + name + "|\n";
    }
    EXPECT_EQ(read_file(w.hook_log), expected);
    for (const char* pwned : {"pwned1.o", "pwned2", "pwned3", "pwned4", "pwned1", "pwned2).o"}) {
        EXPECT_FALSE(exists(w.work + "/" + pwned)) << pwned;
    }
    table_rows stored = w.rows("select filename from target_file_table where command_id=40 order by id");
    ASSERT_EQ(stored.size(), names.size() + 1);
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(stored[i][0], names[i]);
    }
}

TEST(DbRecord, ByteIdenticalTargetIsReusedUnderFlag4)
{
    workspace w;
    w.file("m.o", "main object");
    auto link = [&](const std::string& row, const std::string& flags) {
        return w.run({"row " + row, "info prog", "in m.o", "flags " + flags, "entry", "write prog same", "exit",
                      "dump out"});
    };
    link("10", "0");
    EXPECT_EQ(link("11", "4").out.back(), "prog|0|2|" + w.sum("prog") + ";");
    EXPECT_EQ(w.rows("select id, filename, command_id, trace_command_id from target_file_table order by id"),
              (table_rows{{"1", "m.o", "0", "10"}, {"2", "prog", "11", "10"}}));
    // Without the flag the identical target keeps the command that made it.
    link("12", "0");
    EXPECT_EQ(w.rows("select id, command_id from target_file_table order by id"),
              (table_rows{{"1", "0"}, {"2", "11"}}));
    EXPECT_EQ(w.rows("select target_id, dep_id from target_target_table"), (table_rows{{"2", "1"}}));
}

// A source edited in place is recorded at entry, and as a new output only
// once changed; a vanished file does not stop the pairs after it. (Objects
// edited in place: the release build.)
TEST(DbRecord, InPlaceEditsRecordOnlyChangedFiles)
{
    workspace w;
    w.file("f.c", "int f;\n");
    const std::string sf = w.sum("f.c");
    auto edit = [&](const std::string& row, const std::string& write) {
        return w.run({"row " + row, "info", "pair gone.c gone.c", "pair f.c f.c", "flags 1", "entry", write, "exit",
                      "dump pair"})
            .out.back();
    };
    EXPECT_EQ(edit("52", "sleep 0"), "gone.c|gone.c|0|1|0|0||;f.c|f.c|1|1|0|0|" + sf + "|" + sf + ";");
    EXPECT_EQ(w.rows("select id, filename, command_id from source_file_table"), (table_rows{{"1", "f.c", "0"}}));
    EXPECT_EQ(test_db(w.db).count("target_file_table"), 0);
    edit("53", cmd("write", "f.c", "int f = 1;\\n"));
    EXPECT_EQ(w.rows("select id, filename, command_id from target_file_table"), (table_rows{{"1", "f.c", "53"}}));
    EXPECT_EQ(w.rows("select target_id, source_id from target_source_table"), (table_rows{{"1", "1"}}));
}

// objcopy a.o a.stripped, cp s.c s.copy: each output depends on its own
// input; a pair without output before them hides nothing.
TEST(DbRecord, PairedOutputToAnotherFileDependsOnItsInput)
{
    workspace w;
    w.file("a.o", "object with symbols");
    w.file("s.c", "int s;\n");
    driver_result r = w.run({"row 60", "info", "pair Makefile <null>", "pair a.o a.stripped", "pair s.c s.copy",
                             "entry", "write a.stripped object", cmd("write", "s.copy", esc("int s;\n")), "exit",
                             "dump pair"});
    const std::string sa = w.sum("a.o"), sc = w.sum("s.c"), ss = w.sum("a.stripped");
    const std::string tail = "a.o|a.stripped|0|6|1|2|" + sa + "|" + ss + ";s.c|s.copy|0|1|1|3|" + sc + "|" + sc + ";";
    ASSERT_GE(r.out.back().size(), tail.size());
    EXPECT_EQ(r.out.back().substr(r.out.back().size() - tail.size()), tail) << r.out.back();
    EXPECT_EQ(w.rows("select id, filename, command_id from target_file_table order by id"),
              (table_rows{{"1", "a.o", "0"}, {"2", "a.stripped", "60"}, {"3", "s.copy", "60"}}));
    EXPECT_EQ(w.rows("select id, filename from source_file_table"), (table_rows{{"1", "s.c"}}));
    EXPECT_EQ(w.rows("select target_id, dep_id from target_target_table"), (table_rows{{"2", "1"}}));
    EXPECT_EQ(w.rows("select target_id, source_id from target_source_table"), (table_rows{{"3", "1"}}));
}

// bison: outputs that are sources (flag 2) depend on every input. (Patches
// and dwz's common file: the release build.)
TEST(DbRecord, GeneratedSourcesDependOnEveryInput)
{
    workspace w;
    w.file("gen.y", "%%\nrule: ;\n");
    w.file("tmpl.h", "#define X\n");
    w.run({"row 80", "info gen.c", "out gen.h", "in gen.y", "in tmpl.h", "flags 2", "entry", "write gen.c int",
           "write gen.h extern", "exit"});
    EXPECT_EQ(w.rows("select id, filename, command_id from source_file_table order by id"),
              (table_rows{{"1", "gen.y", "0"}, {"2", "tmpl.h", "0"}, {"3", "gen.c", "80"}, {"4", "gen.h", "80"}}));
    EXPECT_EQ(test_db(w.db).count("target_file_table"), 0);
    EXPECT_EQ(w.rows("select source_id, dep_id from source_source_table order by id"),
              (table_rows{{"3", "1"}, {"3", "2"}, {"4", "1"}, {"4", "2"}}));
}

TEST(DbRecord, HeadersUnderUsrAreKnownByName)
{
    workspace w;
    w.file("a.h", "#pragma once\n");
    test_db(w.db).exec("INSERT INTO head_file_table VALUES (NULL,'/usr/include/stdio.h',7,'known');");
    driver_result r = w.run({"heads 5 /usr/include/stdio.h", "heads 6 /usr/include/stdio.h a.h", "heads 6 a.h"});
    const std::string sh = w.sum("a.h");
    EXPECT_EQ(r.out, (std::vector<std::string>{"0 1 /usr/include/stdio.h|0|1|;",
                                               "1 2 /usr/include/stdio.h|0|1|;a.h|0|2|" + sh + ";",
                                               "0 1 a.h|0|2|" + sh + ";"}));
    EXPECT_EQ(w.rows("select id, filename, path_file_id, checksum from head_file_table order by id"),
              (table_rows{{"1", "/usr/include/stdio.h", "7", "known"}, {"2", "a.h", "1", sh}}));
    EXPECT_EQ(w.rows("select source_id, head_id from source_head_table order by id"),
              (table_rows{{"5", "1"}, {"6", "1"}, {"6", "2"}}));
}

}  // namespace
}  // namespace ziv_test
