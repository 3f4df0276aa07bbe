// Many processes of a build writing one database at the same time.
#include <sys/stat.h>

#include "db_test_env.h"

namespace ziv_test {
namespace {

// Drivers started by one shell, so that they really run at once; each reads
// <name>.txt and writes <name>.out in the test directory.
struct parallel_drivers {
    temp_dir dir;
    std::string db = make_db(dir);
    std::string work = dir.sub("work");
    parallel_drivers() { mkdir(work.c_str(), 0755); }

    std::string start(const std::string& name, const std::vector<std::string>& lines, bool background)
    {
        write_file(dir.sub(name + ".txt"), script(lines));
        const std::string base = dir.sub(name);
        return "\"$DRIVER\" < " + base + ".txt > " + base + ".out" + (background ? " &\n" : "\n");
    }
    run_result run(const std::string& shell)
    {
        run_options o;
        o.exe = "/bin/sh";
        o.argv = {"sh", "-c", shell + "wait\n"};
        o.env = {"PATH=/usr/bin:/bin", "ZIV_TRACE_OUTPUT=" + db, "DRIVER=" + kDriver};
        o.cwd = work;
        o.timeout_s = 120;
        return ziv_test::run(o);
    }
    std::vector<std::string> out(const std::string& name) { return lines_of(read_file(dir.sub(name + ".out"))); }
};

// A group of writes that begins with "begin;" takes the write lock only at
// its first write. That write starts from no lock at all, so while another
// process holds the write lock it waits in the busy handler instead of
// failing. A group that read first would fail at once with SQLITE_BUSY (the
// control below): the library's groups never read before they write.
TEST(DbConcurrency, GroupsWaitForAnotherWriter)
{
    parallel_drivers p;
    for (const char* name : {"w1.o", "w2.o", "w3.o"}) {
        write_file(p.work + "/" + name, std::string("input ") + name);
    }
    test_db(p.db).exec("INSERT INTO path_file_table VALUES (NULL,'" + p.work + "');");
    const std::string marker = p.dir.sub("locked");
    std::string shell =
        p.start("holder", {cmd("exec", "begin immediate;"), "ins_source 0 1 held.c " + std::string(64, 'h'),
                           "touch " + marker, "sleep 700", "now_ms", cmd("exec", "commit;")}, true);
    shell += "n=0; while [ ! -e " + marker + " ] && [ $n -lt 500 ]; do sleep 0.01; n=$((n+1)); done\n";
    shell += p.start("control",
                     {"now_ms", cmd("exec", "begin;"), cmd("id", "select count(*) from source_file_table;"),
                      "ins_source 0 1 control.c " + std::string(64, 'c'), "now_ms", cmd("exec", "rollback;")},
                     false);
    shell += p.start("writer", {"pwd_id", "row 2", "info w.o", "in w1.o", "in w2.o", "in w3.o", "now_ms", "entry",
                                "now_ms", "write w.o output", "exit"},
                     false);
    run_result r = p.run(shell);
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    std::vector<std::string> holder = p.out("holder"), control = p.out("control"), writer = p.out("writer");
    ASSERT_EQ(holder.size(), 8u);
    ASSERT_EQ(control.size(), 8u);
    ASSERT_EQ(writer.size(), 13u);
    const long committed = std::stol(holder[6]);
    EXPECT_EQ(holder[7], "0");
    // Control: refused at once while the lock is held.
    EXPECT_EQ(control[5], "-1");
    EXPECT_LT(std::stol(control[6]) - std::stol(control[2]), 300);
    EXPECT_LT(std::stol(control[6]), committed);
    // The library's input group waited for the holder's commit, then wrote.
    EXPECT_LT(std::stol(writer[8]), committed);
    EXPECT_GE(std::stol(writer[10]), committed);
    EXPECT_EQ(writer[9], "ok");
    EXPECT_EQ(writer[12], "0");
    test_db db(p.db);
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
    constexpr int kProcesses = 16, kCommands = 25;
    parallel_drivers p;
    write_file(p.work + "/shared.o", "shared object");
    write_file(p.work + "/shared.c", "int shared;\n");
    std::string shell;
    for (int i = 0; i < kProcesses; ++i) {
        std::vector<std::string> lines = {"pwd_id"};
        for (int k = 0; k < kCommands; ++k) {
            std::string tag = std::to_string(i) + "_" + std::to_string(k);
            write_file(p.work + "/in_" + tag + ".o", "input " + tag);
            lines.insert(lines.end(), {"row " + std::to_string(100 + i * kCommands + k), "info out_" + tag + ".o",
                                       "in shared.c", "in shared.o", "in in_" + tag + ".o", "entry",
                                       "write out_" + tag + ".o output_" + tag, "exit", "free"});
        }
        shell += p.start("p" + std::to_string(i), lines, true);
    }
    run_result r = p.run(shell);
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    for (int i = 0; i < kProcesses; ++i) {
        std::vector<std::string> out = p.out("p" + std::to_string(i));
        ASSERT_EQ(out.size(), 3u + kCommands * 9u) << "process " << i;
        for (int k = 0; k < kCommands; ++k) {
            EXPECT_EQ(out[3 + k * 9 + 5], "ok") << i << " " << k;
            EXPECT_EQ(out[3 + k * 9 + 7], "0") << i << " " << k;
        }
    }
    test_db db(p.db);
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
              std::to_string(kAll));
}

}  // namespace
}  // namespace ziv_test
