// The shipped schema and the database access functions, run in a process of
// their own on real SQLite files.
#include <sys/stat.h>

#include "db_test_env.h"

namespace ziv_test {
namespace {

const std::string kSum1(64, 'a');
const std::string kSum2(64, 'b');

// Every look-up the library makes must be answered from an index: a full
// scan makes each command's cost grow with the size of the build.
TEST(DbSchema, EveryLookupUsesAnIndex)
{
    temp_dir dir;
    db_handle db(make_db(dir));
    std::vector<std::string> lookups = {
        "select id from path_file_table where filename='/w' limit 1;",
        "select id from tool_file_table where filename='/usr/bin/gcc' limit 1;",
        "select id from build_time_table where build_id=3;",
        "select id from target_file_table where checksum='x' AND id!=3 order by id desc limit 1;",
        "select id from target_file_table where checksum='x' order by id desc limit 1;",
    };
    for (const char* table : {"source_file_table", "head_file_table", "target_file_table"}) {
        std::string t = table;
        lookups.push_back("select id from " + t + " where filename='a.c' limit 1;");
        lookups.push_back("select id from " + t + " where checksum='x' AND filename='/a.c' order by id desc limit 1;");
        lookups.push_back("select id from " + t +
                          " where checksum='x' AND filename='a.c' AND path_file_id=2 order by id desc limit 1;");
    }
    for (const std::string& sql : lookups) {
        table_rows plan = db.rows("explain query plan " + sql);
        ASSERT_FALSE(plan.empty()) << sql;
        std::string detail = plan[0].back();
        EXPECT_EQ(detail.rfind("SEARCH ", 0), 0u) << sql << " -> " << detail;
        EXPECT_NE(detail.find("INDEX"), std::string::npos) << sql << " -> " << detail;
    }
}

TEST(DbOpen, WithoutADatabasePathNothingIsOpenedOrLogged)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    temp_dir dir;
    struct path_case {
        const char* what;
        std::vector<std::string> env;
    } cases[] = {
        {"unset", {}},
        {"empty", {"ZIV_TRACE_OUTPUT="}},
        {"4095 bytes", {"ZIV_TRACE_OUTPUT=" + dir.path() + "/" + std::string(4094 - dir.path().size(), 'd')}},
    };
    for (const path_case& c : cases) {
        SCOPED_TRACE(c.what);
        driver_result r = drive({.lines = {"init", "open", cmd("exec", "select 1;"), cmd("id", "select 7;")},
                                 .env = c.env, .capture_log = true, .open = false});
        ASSERT_EQ(r.run.exit_code, 0) << describe(r.run);
        EXPECT_EQ(r.out, (std::vector<std::string>{"path=", "-1", "-1", "0"}));
        EXPECT_TRUE(messages(r.run).empty()) << describe(r.run);
    }
    // One byte shorter is taken.
    std::string path = dir.path() + "/" + std::string(4093 - dir.path().size(), 'd');
    driver_result r = drive({.lines = {"init"}, .env = {"ZIV_TRACE_OUTPUT=" + path}, .open = false});
    EXPECT_EQ(r.out, (std::vector<std::string>{"path=" + path})) << describe(r.run);
}

TEST(DbOpen, FailuresAlertWhateverTheLogLevel)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    temp_dir dir;
    std::string missing = dir.sub("no-such-dir/build.db");
    driver_result r = drive({.db = missing, .lines = {"init", "open", cmd("exec", "select 1;")}, .capture_log = true,
                             .open = false});
    ASSERT_EQ(r.run.exit_code, 0) << describe(r.run);
    EXPECT_EQ(r.out, (std::vector<std::string>{"path=" + missing, "-1", "-1"}));
    ASSERT_EQ(messages(r.run), (std::vector<std::string>{"ziv_open_sqlite sqlite3_open " + missing + " failed.\n"}))
        << describe(r.run);
    EXPECT_EQ(r.run.log[0].priority, kAlert);

    // No SQLite at all: the library cannot even try.
    char real[PATH_MAX];
    ASSERT_NE(realpath("/usr/lib/x86_64-linux-gnu/libsqlite3.so.0", real), nullptr);
    std::string db = make_db(dir);
    r = drive({.db = db, .lines = {"init", "open", cmd("ins_path", "/w", "4096")}, .capture_log = true,
               .hide_files = {real}, .open = false});
    ASSERT_EQ(r.run.exit_code, 0) << describe(r.run);
    EXPECT_EQ(r.out, (std::vector<std::string>{"path=" + db, "-1", "-1"}));
    ASSERT_EQ(messages(r.run), (std::vector<std::string>{"ziv_open_sqlite g_ziv_sqlite3_open is null\n"}))
        << describe(r.run);
    EXPECT_EQ(r.run.log[0].priority, kAlert);
}

TEST(DbOpen, SettingsAreAppliedAndAMissingFileRecordsNothing)
{
    temp_dir dir;
    driver_result r = drive({.db = make_db(dir),
                             .lines = {cmd("id", "PRAGMA synchronous;"), cmd("id", "PRAGMA cache_size;"),
                                       cmd("id", "PRAGMA temp_store;"), "open"}});
    // OFF, 5000 pages, MEMORY; a second open keeps the one connection.
    EXPECT_EQ(r.out, (std::vector<std::string>{"0", "5000", "2", "0"})) << describe(r.run);

    // sqlite3_open creates a missing file; without tables nothing is written.
    std::string fresh = dir.sub("fresh.db");
    r = drive({.db = fresh, .lines = {"pwd_id", cmd("ins_source", "0", "1", "a.c", kSum1), cmd("tt", "1", "2")}});
    ASSERT_EQ(r.run.exit_code, 0) << describe(r.run);
    EXPECT_EQ(r.out, (std::vector<std::string>{"-1", "-1", "-1"}));
    struct stat st{};
    EXPECT_EQ(stat(fresh.c_str(), &st), 0);
}

TEST(DbAccess, ExecAndQueryResults)
{
    temp_dir dir;
    driver_result r = drive({.db = make_db(dir),
                             .lines = {cmd("exec", "select 1;", "0"), cmd("exec", "no such statement;"),
                                       cmd("exec", "INSERT INTO path_file_table VALUES (NULL,'/w');"),
                                       cmd("id", "select 5;", "0"), cmd("id", "select id from path_file_table;"),
                                       cmd("id", "select id from path_file_table where id=99;"),
                                       cmd("id", "select NULL;"), cmd("id", "not sql;")}});
    EXPECT_EQ(r.out, (std::vector<std::string>{"-1", "-1", "0", "-1", "1", "0", "0", "0"})) << describe(r.run);
}

TEST(DbAccess, RelativeNamesAreLookedUpWithTheirDirectory)
{
    temp_dir dir;
    std::string db_path = make_db(dir);
    driver_result r = drive({.db = db_path,
                             .lines = {
                                 cmd("ins_path", "/w1", "4096"), cmd("ins_path", "/w2", "4096"),
                                 cmd("ins_path", "/w1", "4096"), cmd("by_name", "/w2", "path_file_table"),
                                 // The same relative name in two directories: two rows.
                                 cmd("ins_source", "0", "1", "src/a.c", kSum1), cmd("ins_source", "0", "2", "src/a.c", kSum1),
                                 cmd("by_sum", "src/a.c", kSum1, "1", "source_file_table"),
                                 cmd("by_sum", "src/a.c", kSum1, "2", "source_file_table"),
                                 cmd("by_sum", "src/a.c", kSum1, "3", "source_file_table"),
                                 cmd("by_sum", "src/a.c", kSum2, "1", "source_file_table"),
                                 cmd("by_name", "src/a.c", "source_file_table"),
                                 cmd("by_name", "src/b.c", "source_file_table"),
                                 cmd("ins_head", "1", "a.h", kSum1), cmd("ins_head", "1", "a.h", kSum1),
                                 cmd("by_sum", "a.h", kSum1, "1", "head_file_table"),
                                 cmd("by_sum", "<null>", kSum1, "1", "head_file_table"),
                                 cmd("by_sum", "a.h", "<null>", "1", "head_file_table"),
                                 cmd("by_sum", "a.h", "", "1", "head_file_table"),
                                 cmd("by_sum", "a.h", kSum1, "1", "<null>"),
                             }});
    EXPECT_EQ(r.out, (std::vector<std::string>{"0", "0", "0", "2", "0", "0", "1", "2", "0", "0", "1", "0", "0", "0",
                                               "1", "-1", "-1", "0", "-1"}))
        << describe(r.run);
    db_handle db(db_path);
    EXPECT_EQ(db.count("path_file_table"), 2);
    EXPECT_EQ(db.rows("select * from source_file_table order by id"),
              (table_rows{{"1", "src/a.c", "1", kSum1, "0"}, {"2", "src/a.c", "2", kSum1, "0"}}));
}

TEST(DbAccess, NewestOfEqualTargetsAndTheCommandsThatWroteThem)
{
    temp_dir dir;
    std::string db_path = make_db(dir);
    driver_result r = drive(
        {.db = db_path,
         .lines = {
             // The same absolute target written from two directories.
             "norow", cmd("ins_target", "7", "1", "/out/app", kSum1), cmd("row", "8"),
             cmd("ins_target", "8", "2", "/out/app", kSum1), cmd("ins_target", "8", "2", "/out/app", kSum1),
             cmd("by_sum", "/out/app", kSum1, "1", "target_file_table"),
             cmd("by_sum", "/out/app", kSum1, "99", "target_file_table"),
             cmd("ins_target", "9", "1", "other", kSum1), cmd("target_by_sum", "0", kSum1),
             cmd("target_by_sum", "3", kSum1), cmd("target_by_sum", "0", kSum2), cmd("target_by_sum", "0", "<null>"),
             // A target needs a digest.
             cmd("ins_target", "9", "1", "empty", ""), cmd("ins_target", "9", "1", "empty", "<null>"),
             cmd("upd_target", "1", "42"), cmd("upd_target", "77", "42"),
         }});
    EXPECT_EQ(r.out, (std::vector<std::string>{"norow", "0", "row", "0", "0", "2", "2", "0", "3", "2", "0", "-1", "-1",
                                               "-1", "0", "0"}))
        << describe(r.run);
    db_handle db(db_path);
    // Producing command, then the command being traced when it was written.
    EXPECT_EQ(db.rows("select * from target_file_table order by id"),
              (table_rows{{"1", "/out/app", "1", kSum1, "42", "0"},
                          {"2", "/out/app", "2", kSum1, "8", "8"},
                          {"3", "other", "1", kSum1, "9", "8"}}));
}

TEST(DbAccess, SelfRelationsAreSkippedOnlyBetweenRowsOfOneTable)
{
    temp_dir dir;
    std::string db_path = make_db(dir);
    driver_result r = drive({.db = db_path,
                             .lines = {cmd("tt", "5", "5"), cmd("ss", "5", "5"), cmd("ts", "5", "5"), cmd("sh", "5", "5"),
                                       cmd("tt", "5", "6"), cmd("tt", "5", "6"), cmd("ss", "6", "5"),
                                       // Each relation is recorded once.
                                       cmd("ss", "6", "5"), cmd("ts", "5", "5"), cmd("sh", "5", "5"),
                                       cmd("relation", "target_target_table", "1", "1"),
                                       cmd("relation", "target_target_table; DROP TABLE x", "1", "2"),
                                       cmd("relation", "", "1", "2"), cmd("relation", "<null>", "1", "2")}});
    EXPECT_EQ(r.out, (std::vector<std::string>{"0", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0", "-1", "-1", "-1"}))
        << describe(r.run);
    db_handle db(db_path);
    EXPECT_EQ(db.rows("select target_id, dep_id from target_target_table order by id"),
              (table_rows{{"5", "6"}, {"1", "1"}}));
    EXPECT_EQ(db.rows("select source_id, dep_id from source_source_table"), (table_rows{{"6", "5"}}));
    EXPECT_EQ(db.rows("select target_id, source_id from target_source_table"), (table_rows{{"5", "5"}}));
    EXPECT_EQ(db.rows("select source_id, head_id from source_head_table"), (table_rows{{"5", "5"}}));
}

TEST(DbAccess, TimingRowIsReplacedUnderItsIdAndRunTimeUpdated)
{
    temp_dir dir;
    std::string db_path = make_db(dir);
    {
        db_handle db(db_path);
        db.exec("INSERT INTO build_command_table VALUES (NULL,'2022-02-28 10:00:00','gcc -c a.c', 1, 1, 0, -1);");
    }
    driver_result r = drive({.db = db_path,
                             .lines = {cmd("row", "1"), "time_init", "time_show", cmd("time_set", "100", "2", "3", "4"),
                                       cmd("time_start_ago", "3000"), cmd("time_row", "1"), "time_show",
                                       cmd("time_id", "1"), cmd("time_set", "200", "5", "6", "7"), cmd("time_row", "1"),
                                       cmd("time_id", "1"), cmd("time_null_row", "1"), cmd("time_id", "2"),
                                       cmd("runtime", "1234", "1")}});
    ASSERT_EQ(r.out.size(), 14u) << describe(r.run);
    EXPECT_EQ(r.out[2], "0 0 0 0 0");
    EXPECT_EQ(r.out[5], "0");
    std::istringstream shown(r.out[6]);
    long runtime = 0, total = 0;
    shown >> runtime >> total;
    EXPECT_EQ(runtime, 100);
    EXPECT_GE(total, 3000);
    EXPECT_LT(total, 10000);
    EXPECT_EQ(r.out[7], "1");
    EXPECT_EQ(r.out[9], "0");
    EXPECT_EQ(r.out[10], "1");
    EXPECT_EQ(r.out[11], "-1");
    EXPECT_EQ(r.out[12], "0");
    EXPECT_EQ(r.out[13], "0");
    db_handle db(db_path);
    table_rows rows = db.rows("select id, build_id, runtime_ms, sha256_ms, sql_ms, dataid_ms from build_time_table");
    EXPECT_EQ(rows, (table_rows{{"1", "1", "200", "5", "6", "7"}}));
    EXPECT_EQ(db.value("select runtime from build_command_table where id=1"), "1234");
}

// Names with quotes and shell characters: stored exactly, found again, and
// never able to change what a statement does.
TEST(DbAccess, NamesAreStoredExactlyWhateverTheyHold)
{
    temp_dir dir;
    std::string db_path = make_db(dir);
    const std::vector<std::string> names = {
        "it's.c",
        "''",
        "a b\tc.c",
        "x;touch pwned.c",
        "$(touch pwned).c",
        "`id`.c",
        "q\"uote\\d.c",
        "%s%d%n.c",
        "line\nbreak.c",
        "x'); DROP TABLE source_file_table; --",
        "/abs/o'clock/file.c",
    };
    std::vector<std::string> lines;
    for (const std::string& name : names) {
        lines.push_back(cmd("ins_source", "0", "1", esc(name), kSum1));
        lines.push_back(cmd("by_sum", esc(name), kSum1, "1", "source_file_table"));
        lines.push_back(cmd("by_name", esc(name), "source_file_table"));
        lines.push_back(cmd("ins_target", "0", "1", esc(name), kSum1));
        lines.push_back(cmd("by_name", esc(name), "target_file_table"));
        lines.push_back(cmd("ins_head", "1", esc(name), kSum1));
        lines.push_back(cmd("ins_path", esc("/w/" + name), "4096"));
        lines.push_back(cmd("by_name", esc("/w/" + name), "path_file_table"));
    }
    lines.push_back(cmd("by_sum", "it's.c", "x' OR '1'='1", "1", "source_file_table"));
    lines.push_back(cmd("target_by_sum", "0", "x' OR '1'='1"));
    driver_result r = drive({.db = db_path, .lines = lines, .cwd = dir.path()});
    ASSERT_EQ(r.out.size(), lines.size()) << describe(r.run);
    for (size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i]);
        std::string id = num(static_cast<long>(i) + 1);
        EXPECT_EQ(std::vector<std::string>(r.out.begin() + i * 8, r.out.begin() + i * 8 + 8),
                  (std::vector<std::string>{"0", id, id, "0", id, "0", "0", id}));
    }
    EXPECT_EQ(r.out[names.size() * 8], "0");
    EXPECT_EQ(r.out[names.size() * 8 + 1], "0");
    db_handle db(db_path);
    for (const char* table : {"source_file_table", "target_file_table", "head_file_table"}) {
        table_rows rows = db.rows(std::string("select filename from ") + table + " order by id");
        ASSERT_EQ(rows.size(), names.size()) << table;
        for (size_t i = 0; i < names.size(); ++i) {
            EXPECT_EQ(rows[i][0], names[i]) << table;
        }
    }
    EXPECT_EQ(db.count("path_file_table"), static_cast<long>(names.size()));
    struct stat st{};
    EXPECT_NE(stat(dir.sub("pwned").c_str(), &st), 0);
    EXPECT_NE(stat(dir.sub("pwned.c").c_str(), &st), 0);
}

TEST(DbAccess, WorkingDirectoryIsRecordedOnce)
{
    temp_dir dir;
    std::string db_path = make_db(dir);
    std::string work = dir.sub("it's a dir");
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    driver_result r = drive({.db = db_path, .lines = {"pwd_id", "pwd_id", cmd("cd", ".."), "pwd_id"}, .cwd = work});
    EXPECT_EQ(r.out, (std::vector<std::string>{"1", "1", "0", "2"})) << describe(r.run);
    db_handle db(db_path);
    EXPECT_EQ(db.rows("select filename from path_file_table order by id"), (table_rows{{work}, {dir.path()}}));
}

TEST(DbAccess, StatementsThatDoNotFitAreNotRun)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    temp_dir dir;
    std::string db_path = make_db(dir);
    std::string fits(32700, 'n');     // the name fits, the statement around it does not
    std::string huge(40000, 'n');     // not even the name fits
    std::string quoted(16380, '\'');  // fits only until its quotes are doubled
    driver_result r = drive({.db = db_path,
                             .lines = {cmd("ins_source", "0", "1", fits, kSum1), cmd("ins_target", "0", "1", huge, kSum1),
                                       cmd("by_name", quoted, "head_file_table"),
                                       cmd("ins_source", "0", "1", std::string(32000, 'n'), kSum1)},
                             .env = {"ZIV_LOG=yes"},
                             .capture_log = true});
    EXPECT_EQ(r.out, (std::vector<std::string>{"-1", "-1", "-1", "0"})) << describe(r.run);
    EXPECT_EQ(count_prefix(r.run, "sprintf_s failed, err = -1, function ziv_insert_source_file line "), 1)
        << describe(r.run);
    db_handle db(db_path);
    EXPECT_EQ(db.count("source_file_table"), 1);
    EXPECT_EQ(db.count("target_file_table"), 0);
}

// SQL time is accounted at log level "buildtime" only; look-up time always.
TEST(DbAccess, TimeAccountingFollowsTheLogLevel)
{
    temp_dir dir;
    std::string db_path = make_db(dir);
    const std::string slow =
        "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c WHERE x<400000) SELECT count(*) FROM c;";
    for (const char* level : {"buildtime", "yes", ""}) {
        SCOPED_TRACE(level);
        driver_result r = drive({.db = db_path,
                                 .lines = {cmd("row", "1"), "time_init", cmd("exec", slow), cmd("id", slow), "time_show",
                                           "norow", cmd("id", slow)},
                                 .env = {std::string("ZIV_LOG=") + level}});
        ASSERT_EQ(r.out.size(), 7u) << describe(r.run);
        EXPECT_EQ(r.out[3], "400000");
        std::istringstream shown(r.out[4]);
        long runtime = 0, total = 0, sha = 0, sql = 0, dataid = 0;
        shown >> runtime >> total >> sha >> sql >> dataid;
        if (std::string(level) == "buildtime") {
            EXPECT_GE(sql, 20);
        } else {
            EXPECT_EQ(sql, 0);
        }
        EXPECT_GE(dataid, 20);
        EXPECT_EQ(r.out[6], "400000");  // no current row: the look-up still works
    }
}

}  // namespace
}  // namespace ziv_test
