// Many processes of a build writing one database at the same time.
#include <sys/stat.h>

#include <sstream>

#include "db_test_env.h"

namespace ziv_test {
namespace {

// Several drivers started by one shell, so that they really run at once.
run_result run_shell(const std::string& db, const std::string& cwd, const std::string& shell_script)
{
    run_options o;
    o.exe = "/bin/sh";
    o.argv = {"sh", "-c", shell_script};
    o.env = {"PATH=/usr/bin:/bin", "ZIV_TRACE_OUTPUT=" + db, "DRIVER=" + kDriver};
    o.cwd = cwd;
    o.timeout_s = 120;
    return run(o);
}

// A group of writes that begins with "begin;" takes the write lock only at
// its first write. That write starts from no lock at all, so while another
// process holds the write lock it waits in the busy handler instead of
// failing. A group that read first would fail at once with SQLITE_BUSY (the
// control below): the library's groups never read before they write.
TEST(DbConcurrency, GroupsWaitForAnotherWriter)
{
    temp_dir dir;
    std::string db_path = make_db(dir);
    std::string work = dir.sub("work");
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    for (const char* name : {"w1.o", "w2.o", "w3.o"}) {
        write_file(work + "/" + name, std::string("input ") + name);
    }
    {
        db_handle db(db_path);
        db.exec("INSERT INTO path_file_table VALUES (NULL,'" + work + "');");
    }
    std::string marker = dir.sub("locked");
    write_file(dir.sub("holder.txt"), script({cmd("exec", "begin immediate;"), cmd("ins_source", "0", "1", "held.c",
                                                                                    std::string(64, 'h')),
                                              cmd("touch", marker), cmd("sleep", "700"), "now_ms",
                                              cmd("exec", "commit;")}));
    write_file(dir.sub("control.txt"),
               script({"now_ms", cmd("exec", "begin;"), cmd("id", "select count(*) from source_file_table;"),
                       cmd("ins_source", "0", "1", "control.c", std::string(64, 'c')), "now_ms",
                       cmd("exec", "rollback;")}));
    write_file(dir.sub("writer.txt"),
               script({"pwd_id", cmd("row", "2"), cmd("info", "w.o"), cmd("in", "w1.o"), cmd("in", "w2.o"),
                       cmd("in", "w3.o"), "now_ms", "entry", "now_ms", cmd("write", "w.o", "output"), "exit",
                       cmd("dump", "in"), cmd("dump", "out")}));
    std::string d = dir.path();
    run_result r = run_shell(db_path, work,
                             "\"$DRIVER\" < " + d + "/holder.txt > " + d + "/holder.out &\n"
                             "n=0; while [ ! -e " + marker + " ] && [ $n -lt 500 ]; do sleep 0.01; n=$((n+1)); done\n"
                             "\"$DRIVER\" < " + d + "/control.txt > " + d + "/control.out\n"
                             "\"$DRIVER\" < " + d + "/writer.txt > " + d + "/writer.out\n"
                             "wait\n");
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    std::vector<std::string> holder = lines_of(read_file(d + "/holder.out"));
    std::vector<std::string> control = lines_of(read_file(d + "/control.out"));
    std::vector<std::string> writer = lines_of(read_file(d + "/writer.out"));
    ASSERT_EQ(holder.size(), 8u);
    ASSERT_EQ(control.size(), 8u);
    ASSERT_EQ(writer.size(), 15u);
    EXPECT_EQ(holder[7], "0");  // commit

    // Control: refused at once while the lock is held.
    EXPECT_EQ(control[5], "-1");
    EXPECT_LT(std::stol(control[6]) - std::stol(control[2]), 300);
    EXPECT_LT(std::stol(control[6]), std::stol(holder[6]));

    // The library's input group waited for the holder's commit, then wrote.
    long entry_start = std::stol(writer[8]);
    long entry_end = std::stol(writer[10]);
    EXPECT_LT(entry_start, std::stol(holder[6]));
    EXPECT_GE(entry_end, std::stol(holder[6]));
    EXPECT_EQ(writer[9], "ok");
    EXPECT_EQ(writer[12], "0");
    db_handle db(db_path);
    EXPECT_EQ(db.rows("select filename from target_file_table order by id"),
              (table_rows{{"w1.o"}, {"w2.o"}, {"w3.o"}, {"w.o"}}));
    EXPECT_EQ(db.rows("select target_id, dep_id from target_target_table order by id"),
              (table_rows{{"4", "1"}, {"4", "2"}, {"4", "3"}}));
    EXPECT_EQ(db.rows("select filename from source_file_table"), (table_rows{{"held.c"}}));
}

// 16 traced commands at once, each recording its inputs, output and
// relations several times over: no row may be lost.
TEST(DbConcurrency, SixteenWritersLoseNoRow)
{
    constexpr int kProcesses = 16;
    constexpr int kCommands = 25;
    temp_dir dir;
    std::string db_path = make_db(dir);
    std::string work = dir.sub("work");
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    write_file(work + "/shared.o", "shared object");
    write_file(work + "/shared.c", "int shared;\n");
    std::string shell;
    for (int p = 0; p < kProcesses; ++p) {
        std::vector<std::string> lines = {"pwd_id"};
        for (int k = 0; k < kCommands; ++k) {
            std::string tag = num(p) + "_" + num(k);
            write_file(work + "/in_" + tag + ".o", "input " + tag);
            lines.push_back(cmd("row", num(100 + p * kCommands + k)));
            lines.push_back(cmd("info", "out_" + tag + ".o"));
            lines.push_back(cmd("in", "shared.c"));
            lines.push_back(cmd("in", "shared.o"));
            lines.push_back(cmd("in", "in_" + tag + ".o"));
            lines.push_back("entry");
            lines.push_back(cmd("write", "out_" + tag + ".o", "output " + tag));
            lines.push_back("exit");
            lines.push_back(cmd("dump", "out"));
            lines.push_back(cmd("dump", "in"));
            lines.push_back("free");
        }
        std::string base = dir.sub("p" + num(p));
        write_file(base + ".txt", script(lines));
        shell += "\"$DRIVER\" < " + base + ".txt > " + base + ".out &\n";
    }
    shell += "wait\n";
    run_result r = run_shell(db_path, work, shell);
    ASSERT_EQ(r.exit_code, 0) << describe(r);

    for (int p = 0; p < kProcesses; ++p) {
        std::vector<std::string> out = lines_of(read_file(dir.sub("p" + num(p) + ".out")));
        ASSERT_EQ(out.size(), 3u + kCommands * 11u) << "process " << p;
        for (int k = 0; k < kCommands; ++k) {
            size_t at = 3 + k * 11;
            SCOPED_TRACE("process " + num(p) + " command " + num(k));
            EXPECT_EQ(out[at + 5], "ok");
            EXPECT_EQ(out[at + 7], "0");
            // Every node got its id: the output was inserted and found, every
            // input identified.
            for (size_t line : {at + 8, at + 9}) {
                std::istringstream nodes(out[line]);
                for (std::string node; std::getline(nodes, node, ';');) {
                    std::vector<std::string> fields;
                    std::istringstream f(node);
                    for (std::string field; std::getline(f, field, '|');) {
                        fields.push_back(field);
                    }
                    ASSERT_EQ(fields.size(), 4u) << node;
                    EXPECT_GT(std::stol(fields[2]), 0) << node;
                }
            }
        }
    }
    db_handle db(db_path);
    constexpr long kAll = kProcesses * kCommands;
    EXPECT_EQ(db.count("path_file_table"), 1);
    EXPECT_EQ(db.count("source_file_table"), 1);
    EXPECT_EQ(db.count("target_file_table"), 1 + 2 * kAll);
    EXPECT_EQ(db.count("target_source_table"), kAll);
    EXPECT_EQ(db.count("target_target_table"), 2 * kAll);
    // Each output depends on exactly its own inputs.
    EXPECT_EQ(db.value("select count(*) from target_target_table r join target_file_table o on o.id=r.target_id "
                       "join target_file_table i on i.id=r.dep_id where i.filename <> 'shared.o' and "
                       "substr(o.filename, 5) <> substr(i.filename, 4)"),
              "0");
    EXPECT_EQ(db.value("select count(distinct command_id) from target_file_table where filename like 'out_%'"),
              num(kAll));
}

}  // namespace
}  // namespace ziv_test
