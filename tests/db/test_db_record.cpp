// Recording a command's files and dependencies: the driver does what the
// trace entry does after the parser and at exit, on real files and a real
// database.
#include <sys/stat.h>

#include <cstdio>

#include "db_test_env.h"

namespace ziv_test {
namespace {

std::string sha256_of(const std::string& path)
{
    std::string line = "sha256sum '" + path + "'";
    FILE* p = popen(line.c_str(), "r");
    char buf[65] = {};
    size_t n = p ? fread(buf, 1, 64, p) : 0;
    if (p) {
        pclose(p);
    }
    return std::string(buf, n);
}

// A database and a working directory with a few files in it.
struct workspace {
    temp_dir dir;
    std::string db = make_db(dir);
    std::string work = dir.sub("work");

    workspace() { mkdir(work.c_str(), 0755); }
    std::string file(const std::string& name, const std::string& content)
    {
        write_file(work + "/" + name, content);
        return name;
    }
    driver_result run(std::vector<std::string> lines, std::vector<std::string> env = {})
    {
        lines.insert(lines.begin(), "pwd_id");
        driver_result r = drive({.db = db, .lines = lines, .env = env, .cwd = work});
        EXPECT_EQ(r.run.exit_code, 0) << describe(r.run);
        if (!r.out.empty()) {
            r.out.erase(r.out.begin());
        }
        return r;
    }
};

TEST(DbRecord, CompileRecordsInputsOutputAndRelations)
{
    workspace w;
    w.file("a.c", "int a;\n");
    w.file("b.o", "\x7f" "ELF object b");
    driver_result r = w.run({cmd("row", "10"), cmd("info", "a.o"), cmd("in", "a.c"), cmd("in", "b.o"), "entry",
                             cmd("dump", "in"), cmd("write", "a.o", "object a"), "exit", cmd("dump", "out")});
    std::string sa = sha256_of(w.work + "/a.c");
    std::string sb = sha256_of(w.work + "/b.o");
    std::string so = sha256_of(w.work + "/a.o");
    ASSERT_EQ(sa.size(), 64u);
    ASSERT_EQ(r.out.size(), 9u) << describe(r.run);
    // Sources are identified at exit; other inputs by digest at once.
    EXPECT_EQ(r.out[5], "a.c|1|0|" + sa + ";b.o|6|0|" + sb + ";");
    EXPECT_EQ(r.out[7], "0");
    EXPECT_EQ(r.out[8], "a.o|0|2|" + so + ";");
    db_handle db(w.db);
    EXPECT_EQ(db.rows("select * from path_file_table"), (table_rows{{"1", w.work}}));
    EXPECT_EQ(db.rows("select * from source_file_table"), (table_rows{{"1", "a.c", "1", sa, "0"}}));
    EXPECT_EQ(db.rows("select * from target_file_table order by id"),
              (table_rows{{"1", "b.o", "1", sb, "0", "10"}, {"2", "a.o", "1", so, "10", "10"}}));
    EXPECT_EQ(db.rows("select target_id, source_id from target_source_table"), (table_rows{{"2", "1"}}));
    EXPECT_EQ(db.rows("select target_id, dep_id from target_target_table"), (table_rows{{"2", "1"}}));

    // The same command again with the same files adds nothing.
    r = w.run({cmd("row", "11"), cmd("info", "a.o"), cmd("in", "a.c"), cmd("in", "b.o"), "entry", cmd("dump", "in"),
               cmd("write", "a.o", "object a"), "exit", cmd("dump", "out")});
    ASSERT_EQ(r.out.size(), 9u) << describe(r.run);
    EXPECT_EQ(r.out[5], "a.c|1|0|" + sa + ";b.o|6|1|" + sb + ";");
    EXPECT_EQ(r.out[8], "a.o|0|2|" + so + ";");
    for (const char* table : {"source_file_table", "target_file_table", "target_source_table", "target_target_table"}) {
        EXPECT_EQ(db.count(table), table == std::string("target_file_table") ? 2 : 1) << table;
    }
}

TEST(DbRecord, SystemLibrariesKnownByNameAreNotDigested)
{
    workspace w;
    const std::string libc = "/usr/lib/x86_64-linux-gnu/libc.so.6";
    const std::string libm = "/usr/lib/x86_64-linux-gnu/libm.so.6";
    ASSERT_TRUE(exists(libc) && exists(libm));
    w.file("local.a", "!<arch>\n");
    {
        db_handle db(w.db);
        db.exec("INSERT INTO target_file_table VALUES (NULL,'" + libc + "',9,'known',0,0);"
                "INSERT INTO target_file_table VALUES (NULL,'local.a',1,'old digest',0,0);");
    }
    driver_result r = w.run({cmd("row", "20"), cmd("info", "app"), cmd("in", libc), cmd("in", libm),
                             cmd("in", "local.a"), "entry", cmd("dump", "in"), cmd("write", "app", "program"), "exit"});
    ASSERT_EQ(r.out.size(), 9u) << describe(r.run);
    std::string sm = sha256_of(libm);
    std::string sl = sha256_of(w.work + "/local.a");
    // A known system library keeps its row; an unknown one and any other
    // file are digested and recorded.
    EXPECT_EQ(r.out[6], libc + "|16|1|;" + libm + "|16|0|" + sm + ";local.a|7|0|" + sl + ";");
    db_handle db(w.db);
    EXPECT_EQ(db.rows("select filename, checksum, command_id from target_file_table order by id"),
              (table_rows{{libc, "known", "0"},
                          {"local.a", "old digest", "0"},
                          {libm, sm, "0"},
                          {"local.a", sl, "0"},
                          {"app", sha256_of(w.work + "/app"), "20"}}));
    EXPECT_EQ(db.rows("select target_id, dep_id from target_target_table order by dep_id"),
              (table_rows{{"5", "1"}, {"5", "3"}, {"5", "4"}}));
}

TEST(DbRecord, MissingOutputsRecordNothingAndRunNoHook)
{
    workspace w;
    w.file("a.c", "int a;\n");
    std::string hook_log = w.dir.sub("hook.log");
    w.file("hook.sh", "#!/bin/sh\necho \"$1\" >> " + hook_log + "\n");
    chmod((w.work + "/hook.sh").c_str(), 0755);
    std::vector<std::string> env = {"ZIV_TRACE_OUTPUT_TOOLNAME=" + w.work + "/hook.sh"};
    driver_result r = w.run({cmd("row", "30"), cmd("info", "gone.o"), cmd("out", "gone2.o"), cmd("in", "a.c"),
                             "entry", "exit", cmd("dump", "out")},
                            env);
    ASSERT_EQ(r.out.size(), 7u) << describe(r.run);
    EXPECT_EQ(r.out[6], "gone.o|0|0|;gone2.o|0|0|;");
    EXPECT_FALSE(exists(hook_log));
    // Only an output that appears after an unreadable one: neither is
    // recorded, nor any relation.
    r = w.run({cmd("row", "31"), cmd("info", "gone.o"), cmd("out", "late.o"), cmd("in", "a.c"), "entry",
               cmd("write", "late.o", "late"), "exit", cmd("dump", "out")});
    ASSERT_EQ(r.out.size(), 8u) << describe(r.run);
    EXPECT_EQ(r.out[7], "gone.o|0|0|;late.o|0|0|" + sha256_of(w.work + "/late.o") + ";");
    db_handle db(w.db);
    EXPECT_EQ(db.count("target_file_table"), 0);
    EXPECT_EQ(db.count("target_source_table"), 0);
    EXPECT_EQ(db.count("source_file_table"), 1);
}

// The hook gets the main output's name as its one and only argument, runs
// without the library, once per command with a digested output, and never
// for a command that has paired files only.
TEST(DbRecord, OutputHookGetsTheNameAsOneArgument)
{
    workspace w;
    std::string hook_log = w.dir.sub("hook.log");
    w.file("hook.sh", "#!/bin/sh\nprintf '%s|%s|%s\\n' \"$#\" \"$1\" \"${LD_PRELOAD-unset}\" >> " + hook_log + "\n");
    chmod((w.work + "/hook.sh").c_str(), 0755);
    const std::vector<std::string> names = {"plain.o",   "it's out.o",    "a;touch pwned1.o", "$(touch pwned2).o",
                                            "`touch pwned3`.o", "two  blanks.o", "x' ; touch pwned4 ; '.o",
                                            "tab\there.o", "star*.o"};
    std::vector<std::string> lines;
    int command = 40;
    for (const std::string& name : names) {
        lines.push_back(cmd("row", num(command++)));
        lines.push_back(cmd("info", esc(name)));
        lines.push_back("entry");
        lines.push_back(cmd("write", esc(name), "out"));
        lines.push_back("exit");
        lines.push_back("free");
    }
    // Paired files only.
    w.file("p.o", "p");
    lines.push_back(cmd("info", ""));
    lines.push_back(cmd("pair", "p.o", "q.o"));
    lines.push_back("entry");
    lines.push_back(cmd("write", "q.o", "q"));
    lines.push_back("exit");
    driver_result r =
        w.run(lines, {"ZIV_TRACE_OUTPUT_TOOLNAME=" + w.work + "/hook.sh", "LD_PRELOAD=" + std::string(ZIV_LIB_PATH)});
    std::string expected;
    for (const std::string& name : names) {
        expected += "1|" + name + "|\n";
    }
    EXPECT_EQ(read_file(hook_log), expected) << describe(r.run);
    for (const char* pwned : {"pwned1.o", "pwned2", "pwned3", "pwned4", "pwned1", "pwned2).o"}) {
        EXPECT_FALSE(exists(w.work + "/" + pwned)) << pwned;
    }
    db_handle db(w.db);
    table_rows rows = db.rows("select filename from target_file_table where command_id between 40 and 99 order by id");
    ASSERT_EQ(rows.size(), names.size() + 1);
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(rows[i][0], names[i]);
    }
}

TEST(DbRecord, ByteIdenticalTargetIsReusedUnderFlag4)
{
    workspace w;
    w.file("m.o", "main object");
    auto link = [&](int command, const std::string& flags) {
        std::vector<std::string> lines = {cmd("row", num(command)), cmd("info", "prog"), cmd("in", "m.o")};
        if (!flags.empty()) {
            lines.push_back(cmd("flags", flags));
        }
        for (const char* l : {"entry", "write\tprog\tsame bytes", "exit"}) {
            lines.push_back(l);
        }
        lines.push_back(cmd("dump", "out"));
        return w.run(lines);
    };
    link(10, "");
    driver_result r = link(11, "4");
    std::string sp = sha256_of(w.work + "/prog");
    EXPECT_EQ(r.out.back(), "prog|0|2|" + sp + ";");
    db_handle db(w.db);
    EXPECT_EQ(db.rows("select id, filename, command_id, trace_command_id from target_file_table order by id"),
              (table_rows{{"1", "m.o", "0", "10"}, {"2", "prog", "11", "10"}}));
    // Without the flag the identical target keeps the command that made it.
    link(12, "");
    EXPECT_EQ(db.value("select command_id from target_file_table where id=2"), "11");
    EXPECT_EQ(db.count("target_file_table"), 2);
    EXPECT_EQ(db.rows("select target_id, dep_id from target_target_table"), (table_rows{{"2", "1"}}));
}

TEST(DbRecord, InPlaceEditsRecordOnlyChangedFiles)
{
    workspace w;
    w.file("x.o", "unstripped");
    auto strip = [&](int command, const char* new_content) {
        std::vector<std::string> lines = {cmd("row", num(command)), cmd("info", ""), cmd("pair", "x.o", "x.o"),
                                          cmd("flags", "1"), "entry"};
        if (new_content != nullptr) {
            lines.push_back(cmd("write", "x.o", new_content));
        }
        lines.push_back("exit");
        lines.push_back(cmd("dump", "pair"));
        return w.run(lines);
    };
    std::string before = sha256_of(w.work + "/x.o");
    driver_result r = strip(50, nullptr);
    EXPECT_EQ(r.out.back(), "x.o|x.o|1|6|0|0|" + before + "|" + before + ";");
    db_handle db(w.db);
    EXPECT_EQ(db.rows("select id, checksum, command_id from target_file_table"), (table_rows{{"1", before, "0"}}));
    EXPECT_EQ(db.count("target_target_table"), 0);

    r = strip(51, "stripped");
    std::string after = sha256_of(w.work + "/x.o");
    EXPECT_EQ(r.out.back(), "x.o|x.o|0|6|1|2|" + before + "|" + after + ";");
    EXPECT_EQ(db.rows("select id, checksum, command_id from target_file_table order by id"),
              (table_rows{{"1", before, "0"}, {"2", after, "51"}}));
    EXPECT_EQ(db.rows("select target_id, dep_id from target_target_table"), (table_rows{{"2", "1"}}));

    // A file that vanished does not stop the pairs after it: the source is
    // recorded at entry, and as a new output only once it has changed.
    w.file("f.c", "int f;\n");
    std::string sf = sha256_of(w.work + "/f.c");
    auto edit = [&](int command, const char* new_content) {
        std::vector<std::string> lines = {cmd("row", num(command)), cmd("info", ""), cmd("pair", "gone.c", "gone.c"),
                                          cmd("pair", "f.c", "f.c"), cmd("flags", "1"), "entry"};
        if (new_content != nullptr) {
            lines.push_back(cmd("write", "f.c", esc(new_content)));
        }
        lines.push_back("exit");
        lines.push_back(cmd("dump", "pair"));
        return w.run(lines);
    };
    r = edit(52, nullptr);
    EXPECT_EQ(r.out.back(), "gone.c|gone.c|0|1|0|0||;f.c|f.c|1|1|0|0|" + sf + "|" + sf + ";");
    EXPECT_EQ(db.rows("select id, filename, command_id from source_file_table"), (table_rows{{"1", "f.c", "0"}}));
    EXPECT_EQ(db.count("target_file_table"), 2);
    r = edit(53, "int f = 1;\n");
    EXPECT_EQ(db.rows("select id, filename, command_id from target_file_table where id=3"),
              (table_rows{{"3", "f.c", "53"}}));
    EXPECT_EQ(db.rows("select target_id, source_id from target_source_table"), (table_rows{{"3", "1"}}));
}

TEST(DbRecord, PairedOutputToAnotherFileDependsOnItsInput)
{
    workspace w;
    w.file("a.o", "object with symbols");
    w.file("s.c", "int s;\n");
    driver_result r = w.run({cmd("row", "60"), cmd("info", ""), cmd("pair", "a.o", "a.stripped"),
                             cmd("pair", "s.c", "s.copy"), "entry", cmd("write", "a.stripped", "object"),
                             cmd("write", "s.copy", esc("int s;\n")), "exit", cmd("dump", "pair")});
    std::string sa = sha256_of(w.work + "/a.o");
    std::string sc = sha256_of(w.work + "/s.c");
    std::string ss = sha256_of(w.work + "/a.stripped");
    EXPECT_EQ(r.out.back(), "a.o|a.stripped|0|6|1|2|" + sa + "|" + ss + ";s.c|s.copy|0|1|1|3|" + sc + "|" + sc + ";")
        << describe(r.run);
    db_handle db(w.db);
    EXPECT_EQ(db.rows("select id, filename, command_id from target_file_table order by id"),
              (table_rows{{"1", "a.o", "0"}, {"2", "a.stripped", "60"}, {"3", "s.copy", "60"}}));
    EXPECT_EQ(db.rows("select id, filename from source_file_table"), (table_rows{{"1", "s.c"}}));
    EXPECT_EQ(db.rows("select target_id, dep_id from target_target_table"), (table_rows{{"2", "1"}}));
    EXPECT_EQ(db.rows("select target_id, source_id from target_source_table"), (table_rows{{"3", "1"}}));
}

TEST(DbRecord, APairWithoutOutputDoesNotHideTheNextPairs)
{
    workspace w;
    w.file("a.o", "object with symbols");
    driver_result r = w.run({cmd("row", "61"), cmd("info", ""), cmd("pair", "Makefile", "<null>"),
                             cmd("pair", "a.o", "a.stripped"), "entry", cmd("write", "a.stripped", "object"), "exit"});
    db_handle db(w.db);
    EXPECT_EQ(db.rows("select filename, command_id from target_file_table where filename='a.stripped'"),
              (table_rows{{"a.stripped", "61"}}))
        << describe(r.run);
}

TEST(DbRecord, PatchAndMultifileRelations)
{
    workspace w;
    w.file("f.c", "old\n");
    w.file("fix.patch", "--- f.c\n+++ f.c\n");
    driver_result r = w.run({cmd("row", "70"), cmd("info", ""), cmd("pair", "f.c", "f.c"), cmd("common", "fix.patch"),
                             cmd("settype", "common", "0", "12"), cmd("flags", "1"), "entry",
                             cmd("write", "f.c", esc("new\n")), "exit"});
    db_handle db(w.db);
    EXPECT_EQ(db.rows("select id, filename from source_file_table order by id"),
              (table_rows{{"1", "fix.patch"}, {"2", "f.c"}}));
    EXPECT_EQ(db.rows("select id, filename, command_id from target_file_table"), (table_rows{{"1", "f.c", "70"}}));
    EXPECT_EQ(db.rows("select target_id, source_id from target_source_table order by source_id"),
              (table_rows{{"1", "1"}, {"1", "2"}}));

    // dwz -m multi a.so b.so: the multifile depends on every input it was
    // made from (flag 16), each rewritten file on its old contents.
    w.file("a.so", "a debug");
    w.file("b.so", "b debug");
    r = w.run({cmd("row", "71"), cmd("info", "multi"), cmd("pair", "a.so", "a.so"), cmd("pair", "b.so", "b.so"),
               cmd("flags", "17"), "entry", cmd("write", "a.so", "a smaller"), cmd("write", "b.so", "b smaller"),
               cmd("write", "multi", "common debug"), "exit", cmd("dump", "out")});
    EXPECT_EQ(r.out.back(), "multi|0|6|" + sha256_of(w.work + "/multi") + ";") << describe(r.run);
    EXPECT_EQ(db.rows("select id, filename, command_id from target_file_table order by id"),
              (table_rows{{"1", "f.c", "70"},
                          {"2", "a.so", "0"},
                          {"3", "b.so", "0"},
                          {"4", "a.so", "71"},
                          {"5", "b.so", "71"},
                          {"6", "multi", "71"}}));
    EXPECT_EQ(db.rows("select target_id, dep_id from target_target_table order by id"),
              (table_rows{{"4", "2"}, {"5", "3"}, {"6", "2"}, {"6", "3"}}));
}

TEST(DbRecord, OutputsThatAreSourcesDependOnTheirInputs)
{
    workspace w;
    w.file("gen.y", "%%\nrule: ;\n");
    w.file("tmpl.h", "#define X\n");
    driver_result r = w.run({cmd("row", "80"), cmd("info", "gen.c"), cmd("out", "gen.h"), cmd("in", "gen.y"),
                             cmd("in", "tmpl.h"), cmd("flags", "2"), "entry", cmd("write", "gen.c", esc("int g;\n")),
                             cmd("write", "gen.h", esc("extern int g;\n")), "exit"});
    db_handle db(w.db);
    EXPECT_EQ(db.rows("select id, filename, command_id from source_file_table order by id"),
              (table_rows{{"1", "gen.y", "0"}, {"2", "tmpl.h", "0"}, {"3", "gen.c", "80"}, {"4", "gen.h", "80"}}))
        << describe(r.run);
    EXPECT_EQ(db.count("target_file_table"), 0);
    EXPECT_EQ(db.rows("select source_id, dep_id from source_source_table order by id"),
              (table_rows{{"3", "1"}, {"3", "2"}, {"4", "1"}, {"4", "2"}}));
}

TEST(DbRecord, ConfigureTestsRecordNothing)
{
    workspace w;
    w.file("conftest.c", "int main(){}\n");
    driver_result r = w.run({cmd("row", "90"), cmd("info", "conftest.o"), cmd("in", "conftest.c"), "entry",
                             cmd("write", "conftest.o", "obj"), "exit"});
    EXPECT_EQ(r.out[2], "0");
    EXPECT_EQ(r.out[3], "excluded");
    db_handle db(w.db);
    for (const char* table : {"source_file_table", "target_file_table", "target_source_table"}) {
        EXPECT_EQ(db.count(table), 0) << table;
    }
}

TEST(DbRecord, HeadersUnderUsrAreKnownByName)
{
    workspace w;
    w.file("a.h", "#pragma once\n");
    {
        db_handle db(w.db);
        db.exec("INSERT INTO head_file_table VALUES (NULL,'/usr/include/stdio.h',7,'known');");
    }
    driver_result r = w.run({cmd("heads", "5", "/usr/include/stdio.h"), cmd("heads", "6", "/usr/include/stdio.h", "a.h"),
                             cmd("heads", "6", "a.h")});
    std::string sh = sha256_of(w.work + "/a.h");
    EXPECT_EQ(r.out, (std::vector<std::string>{"0 1 /usr/include/stdio.h|0|1|;",
                                               "1 2 /usr/include/stdio.h|0|1|;a.h|0|2|" + sh + ";",
                                               "0 1 a.h|0|2|" + sh + ";"}));
    db_handle db(w.db);
    EXPECT_EQ(db.rows("select id, filename, path_file_id, checksum from head_file_table order by id"),
              (table_rows{{"1", "/usr/include/stdio.h", "7", "known"}, {"2", "a.h", "1", sh}}));
    EXPECT_EQ(db.rows("select source_id, head_id from source_head_table order by id"),
              (table_rows{{"5", "1"}, {"6", "1"}, {"6", "2"}}));
}

}  // namespace
}  // namespace ziv_test
