// A release build with the real tools, once untraced and once traced, in the
// same directory: patches (one named, one on standard input), gcc, nasm,
// debugedit, dwz over two programs, debug files split out with objcopy,
// strip and eu-strip, compressed with eu-elfcompress, then installed with
// install, cp and ln -s. The outputs are the same bytes; the database holds
// the chain from each patch to the installed program and its debug file,
// every in-place step as a new version of the file, and nothing for a strip
// that changed nothing.
#include <gtest/gtest.h>
#include <filesystem>

#include <cstring>
#include <map>
#include <queue>

#include "../cli/tree_snapshot.h"
#include "ziv_check.h"
#include "ziv_test_db.h"

namespace ziv_test {
namespace {

// A name no shell could carry unquoted.
const std::string kHostile = "we'ird $(touch pwned) \"x\"\nname.dbg";

void write_project(const std::string& root)
{
    mkdir((root + "/src").c_str(), 0755);
    write_file(root + "/src/main.c", "#include <stdio.h>\nint util(int);\nint val(void);\nint main(void)\n{\n"
                                     "    printf(\"%d\\n\", util(1) + val());\n    return 0;\n}\n");
    write_file(root + "/src/other.c", "#include <stdio.h>\nint util(int);\nint val(void);\nint main(void)\n{\n"
                                      "    printf(\"other %d\\n\", util(2) + val());\n    return 0;\n}\n");
    write_file(root + "/src/util.c", "int util(int x)\n{\n    return x + 1;\n}\n");
    write_file(root + "/src/val.asm", "section .text\nglobal val\nval:\n    mov eax, 7\n    ret\n"
                                      "section .note.GNU-stack noalloc noexec nowrite progbits\n");
    write_file(root + "/fix.patch", "--- a/src/main.c\n+++ b/src/main.c\n@@ -4,5 +4,5 @@\n int main(void)\n {\n"
                                    "-    printf(\"%d\\n\", util(1) + val());\n"
                                    "+    printf(\"patched %d\\n\", util(1) + val());\n     return 0;\n }\n");
    write_file(root + "/fix2.patch", "--- a/src/util.c\t2024-01-01 00:00:00\n+++ b/src/util.c\t2024-01-01 00:00:01\n"
                                     "@@ -1,4 +1,4 @@\n int util(int x)\n {\n-    return x + 1;\n+    return x + 2;\n }\n");
    write_file(root + "/note.txt", "built by kalvitrex tests\n");
    write_file(root + "/build.sh",
               "set -e\n"
               "H='we'\\''ird $(touch pwned) \"x\"\nname.dbg'\n"
               "patch -s -p1 -i fix.patch\n"
               "patch -s -p1 < fix2.patch\n"
               "gcc -g -O1 -c src/main.c -o main.o\n"
               "gcc -g -O1 -c src/util.c -o util.o\n"
               "gcc -g -O1 -c src/other.c -o other.o\n"
               "nasm -f elf64 -o val.o src/val.asm\n"
               // ar's positioning member and count before an archive named without a dot.
               "ar rc libk main.o\n"
               "ar rcb main.o libk util.o\n"
               "ar dN 1 libk main.o\n"
               "gcc -g -o app main.o util.o val.o\n"
               "gcc -g -o app2 other.o util.o val.o\n"
               "debugedit -b \"$PWD\" -d /usr/src/debug app\n"
               "dwz -m common.debug app app2\n"
               "objcopy --only-keep-debug app app.debug\n"
               "objcopy --only-keep-debug app \"$H\"\n"
               "strip --strip-debug app\n"
               "objcopy --add-gnu-debuglink=app.debug --add-section .note.k=note.txt app\n"
               "strip --strip-debug app\n"
               "eu-strip -f app2.debug app2\n"
               "eu-elfcompress -q -t zlib app.debug\n"
               "mkdir -p stage/bin\n"
               "install -m 755 app stage/bin/kapp\n"
               "install -s -m 755 app2 stage/bin\n"
               "cp app stage/bin/kapp-copy\n"
               "ln -s kapp stage/bin/kapp-link\n"
               "./stage/bin/kapp\n");
}

// Builds from a fresh tree; traced into a new database when one is named.
run_result build(const std::string& root, const std::string& db_path = "")
{
    for (const auto& entry : std::filesystem::directory_iterator(root)) {
        std::filesystem::remove_all(entry.path());
    }
    write_project(root);
    run_options o;
    o.exe = "/bin/sh";
    o.argv = {"sh", "build.sh"};
    o.env = {"PATH=/usr/bin:/bin", "LC_ALL=C", "TMPDIR=/tmp"};
    if (!db_path.empty()) {
        test_db(db_path).exec(read_file(ZIV_SCHEMA_PATH));
        o.env.insert(o.env.end(), {"LD_PRELOAD=" ZIV_LIB_PATH, "ZIV_TRACE_ENABLE=yes", "ZIV_TRACE_OUTPUT=" + db_path});
    }
    o.cwd = root;
    o.timeout_s = 120;
    return run(o);
}

TEST(binutils_build, ChainFromPatchesToInstalledProgramWithInPlaceStepsAsVersions)
{
    temp_dir dir;
    run_result plain_run = build(dir.path());
    ASSERT_EQ(plain_run.exit_code, 0) << describe(plain_run);
    ASSERT_EQ(plain_run.out, "patched 10\n");
    const std::map<std::string, std::string> plain = tree_of(dir.path());

    const std::string db_path = dir.sub("build.db");
    run_result traced_run = build(dir.path(), db_path);
    test_db db(db_path);
    ASSERT_EQ(traced_run.exit_code, 0) << describe(traced_run);
    EXPECT_EQ(traced_run.out, plain_run.out);
    // Names of the files that differ (the bytes would drown the message);
    // the database is the one file more.
    std::map<std::string, std::string> traced = tree_of(dir.path());
    EXPECT_EQ(std::erase_if(traced, [](const auto& e) { return e.first.rfind("build.db", 0) == 0; }), 1u);
    std::set<std::string> differ;
    for (const auto& [name, bytes] : plain) {
        if (traced.count(name) == 0 || traced.at(name) != bytes) {
            differ.insert(name);
        }
    }
    EXPECT_EQ(differ, std::set<std::string>{}) << "traced outputs differ from the untraced build";
    EXPECT_EQ(traced.size(), plain.size());
    EXPECT_GT(plain.size(), 20u);
    EXPECT_FALSE(exists(dir.sub("pwned")));

    // Every version of every file, and the edges between them.
    std::map<std::string, std::string> name_of;  // "t12" / "s3" -> file name
    for (const char* table : {"target_file_table", "source_file_table"}) {
        for (const auto& row : db.rows(std::string("select id, filename from ") + table)) {
            name_of[std::string(1, table[0]) + row[0]] = row[1];
        }
    }
    std::multimap<std::string, std::string> edges;
    for (const auto& [sql, from, to] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"select target_id, dep_id from target_target_table", "t", "t"},
             {"select target_id, source_id from target_source_table", "t", "s"},
             {"select source_id, dep_id from source_source_table", "s", "s"}}) {
        for (const auto& row : db.rows(sql)) {
            edges.insert({from + row[0], to + row[1]});
        }
    }
    auto reached_from = [&](const std::string& start) {
        std::set<std::string> seen;
        std::queue<std::string> todo;
        todo.push(start);
        while (!todo.empty()) {
            std::string node = todo.front();
            todo.pop();
            if (seen.insert(node).second) {
                for (auto [it, end] = edges.equal_range(node); it != end; ++it) {
                    todo.push(it->second);
                }
            }
        }
        std::set<std::string> names;
        for (const std::string& node : seen) {
            names.insert(name_of[node]);
        }
        return names;
    };
    const std::string installed = db.value("select id from target_file_table where filename = 'stage/bin/kapp'");
    ASSERT_NE(installed, "");
    std::set<std::string> chain = reached_from("t" + installed);
    for (const std::string& want : std::vector<std::string>{"app", "app.debug", "main.o", "util.o", "val.o", "src/main.c", "src/util.c",
                                    "src/val.asm", "fix.patch", dir.sub("fix2.patch")}) {
        EXPECT_EQ(chain.count(want), 1u) << want;
    }
    EXPECT_EQ(chain.count("other.o"), 0u);
    // Copies and links of the installed program lead back to it.
    for (const char* copy : {"stage/bin/kapp-copy", "stage/bin/kapp-link", "stage/bin/app2"}) {
        std::string id = db.value(std::string("select max(id) from target_file_table where filename = '") + copy + "'");
        EXPECT_TRUE(reached_from("t" + id).count(std::string(copy).back() == '2' ? "app2" : "app")) << copy;
    }

    // Each in-place step made a new version of app from the one before; the
    // second strip changed nothing and made none.
    const table_rows versions = db.rows("select t.id, c.command from target_file_table t join build_command_table c "
                                        "on c.id = t.command_id where t.filename = 'app' order by t.id");
    std::vector<std::string> steps;
    for (size_t i = 0; i < versions.size(); ++i) {
        steps.push_back(versions[i][1]);
        if (i > 0) {
            std::set<std::string> deps;
            for (auto [it, end] = edges.equal_range("t" + versions[i][0]); it != end; ++it) {
                deps.insert(name_of[it->second] + (it->second == "t" + versions[i - 1][0] ? " before" : ""));
            }
            EXPECT_EQ(deps, (i == versions.size() - 1 ? std::set<std::string>{"app before", "app.debug", "note.txt"}
                                                      : std::set<std::string>{"app before"}))
                << versions[i][1];
        }
    }
    EXPECT_EQ(steps, (std::vector<std::string>{"gcc -g -o app main.o util.o val.o",
                                               "debugedit -b " + dir.path() + " -d /usr/src/debug app",
                                               "dwz -m common.debug app app2", "strip --strip-debug app",
                                               "objcopy --add-gnu-debuglink=app.debug --add-section .note.k=note.txt app"}));
    EXPECT_EQ(db.number("select count(*) from build_command_table where command = 'strip --strip-debug app'"), 2);
    // The archive ar wrote, whatever its name, each version from the one
    // before; the member named for positioning and the count are no files.
    EXPECT_EQ(db.rows("select c.command from target_file_table t join build_command_table c on c.id = t.command_id "
                      "where t.filename = 'libk' order by t.id"),
              (table_rows{{"ar rc libk main.o"}, {"ar rcb main.o libk util.o"}, {"ar dN 1 libk main.o"}}));
    EXPECT_EQ(db.number("select count(*) from target_file_table t join build_command_table c on c.id = t.command_id "
                        "where c.command like 'ar %' and t.filename != 'libk'"),
              0);
    const std::string last_archive = db.value("select max(id) from target_file_table where filename = 'libk'");
    EXPECT_EQ(reached_from("t" + last_archive), (std::set<std::string>{"libk", "main.o", "util.o", "src/main.c",
                                                                       "src/util.c", "fix.patch", dir.sub("fix2.patch")}));
    // dwz's common file depends on both programs it rewrote.
    EXPECT_EQ(reached_from("t" + db.value("select id from target_file_table where filename = 'common.debug'")).count("app2"), 1u);
    // The patched sources were made by the patches; the name that needs
    // quoting reached the database as it is.
    EXPECT_EQ(db.rows("select s.filename, c.command from source_file_table s join build_command_table c on "
                      "c.id = s.command_id order by s.id"),
              (table_rows{{"src/main.c", "patch -s -p1 -i fix.patch"}, {"src/util.c", "patch -s -p1"}}));
    EXPECT_EQ(db.number("select count(*) from target_file_table where lower(hex(filename)) = '" + hex(kHostile) + "'"), 1);
}

}  // namespace
}  // namespace ziv_test
