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
    test_db db(make_db(dir));
    std::vector<std::string> lookups = {
        "select id from path_file_table where filename='/w' limit 1;",
        "select id from tool_file_table where filename='/usr/bin/gcc' limit 1;",
        "select id from build_time_table where build_id=3;",
        "select id from target_file_table where checksum='x' AND id!=3 order by id desc limit 1;",
        "select id from target_file_table where checksum='x' order by id desc limit 1;",
    };
    for (std::string t : {"source_file_table", "head_file_table", "target_file_table"}) {
        lookups.push_back("select id from " + t + " where filename='a.c' limit 1;");
        lookups.push_back("select id from " + t + " where checksum='x' AND filename='/a.c' order by id desc limit 1;");
        lookups.push_back("select id from " + t +
                          " where checksum='x' AND filename='a.c' AND path_file_id=2 order by id desc limit 1;");
    }
    for (const std::string& sql : lookups) {
        std::string detail = db.rows("explain query plan " + sql).at(0).back();
        EXPECT_EQ(detail.rfind("SEARCH ", 0), 0u) << sql << " -> " << detail;
        EXPECT_NE(detail.find("INDEX"), std::string::npos) << sql << " -> " << detail;
    }
}

// No path, a path too long, a missing file or directory, no SQLite: nothing
// is recorded, no file is made, and only real open failures alert, whatever
// the log level.
TEST(DbOpen, FailuresAlertOnlyWhenAnOpenWasTried)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    temp_dir dir;
    const std::string db = make_db(dir), missing = dir.sub("no-such-dir/build.db"), absent = dir.sub("absent.db");
    const std::string longest = dir.path() + "/" + std::string(4093 - dir.path().size(), 'd');  // 4094 bytes
    auto failed = [](const std::string& path) { return "ziv_open_sqlite sqlite3_open " + path + " failed.\n"; };
    struct {
        std::vector<std::string> env;
        std::string path, alert;
    } cases[] = {
        {{}, "", ""},
        {{"ZIV_TRACE_OUTPUT="}, "", ""},
        {{"ZIV_TRACE_OUTPUT=" + longest + "d"}, "", ""},
        {{"ZIV_TRACE_OUTPUT=" + missing}, missing, failed(missing)},
        // A name that does not exist yet, absolute or relative to the
        // directory the program runs in, is never created.
        {{"ZIV_TRACE_OUTPUT=" + absent}, absent, failed(absent)},
        {{"ZIV_TRACE_OUTPUT=absent.db"}, "absent.db", failed("absent.db")},
        // An SQLite library without the entry points.
        {{"ZIV_TRACE_OUTPUT=" + db, "LD_LIBRARY_PATH=" ZIV_FAKE_SQLITE_DIR}, db,
         "ziv_open_sqlite g_ziv_sqlite3_open is null\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.env.empty() ? "unset" : c.env[0].substr(0, 80));
        driver_result r = drive({.lines = {"init", "open", cmd("exec", "select 1;"), cmd("id", "select 7;")},
                                 .env = c.env, .cwd = dir.path(), .capture_log = true, .open = false});
        ASSERT_EQ(r.run.exit_code, 0) << describe(r.run);
        EXPECT_EQ(r.out, (std::vector<std::string>{"path=" + c.path, "-1", "-1", "0"}));
        EXPECT_EQ(messages(r.run), c.alert.empty() ? std::vector<std::string>{} : std::vector{c.alert});
        for (const log_record& rec : r.run.log) {
            EXPECT_EQ(rec.priority, kAlert);
        }
        EXPECT_FALSE(exists(absent)) << "an empty database was made";
    }
    driver_result r = drive({.lines = {"init"}, .env = {"ZIV_TRACE_OUTPUT=" + longest}, .open = false});
    EXPECT_EQ(r.out, (std::vector<std::string>{"path=" + longest})) << describe(r.run);
}

TEST(DbAccess, SettingsExecAndQueryResults)
{
    temp_dir dir;
    driver_result r = drive(
        {.db = make_db(dir),
         .lines = {cmd("id", "PRAGMA synchronous;"), cmd("id", "PRAGMA cache_size;"), cmd("id", "PRAGMA temp_store;"),
                   "open", cmd("exec", "select 1;", "0"), cmd("exec", "no such statement;"),
                   cmd("exec", "INSERT INTO path_file_table VALUES (NULL,'/w');"), cmd("id", "select 5;", "0"),
                   cmd("id", "select id from path_file_table;"),
                   cmd("id", "select id from path_file_table where id=9;"),
                   cmd("id", "select NULL;"), cmd("id", "not sql;")}});
    // OFF, 5000 pages, MEMORY; a second open keeps the one connection.
    EXPECT_EQ(r.out, (std::vector<std::string>{"0", "5000", "2", "0", "-1", "-1", "0", "-1", "1", "0", "0", "0"}))
        << describe(r.run);
}

// Relative names are looked up with their directory; of equal targets the
// newest counts; self-relations are skipped only between rows of one table.
TEST(DbAccess, LookupsInsertsAndRelations)
{
    temp_dir dir;
    std::string db_path = make_db(dir);
    const std::string s1 = " " + kSum1 + " ", s2 = " " + kSum2 + " ";
    driver_result r = drive(
        {.db = db_path,
         .lines = {"ins_path /w1 4096", "ins_path /w2 4096", "ins_path /w1 4096", "by_name /w2 path_file_table",
                   "ins_source 0 1 src/a.c" + s1, "ins_source 0 2 src/a.c" + s1,  // one name, two directories
                   "by_sum src/a.c" + s1 + "1 source_file_table", "by_sum src/a.c" + s1 + "2 source_file_table",
                   "by_sum src/a.c" + s1 + "3 source_file_table", "by_sum src/a.c" + s2 + "1 source_file_table",
                   "by_name src/a.c source_file_table", "by_name src/b.c source_file_table",
                   "ins_head 1 a.h" + s1, "ins_head 1 a.h" + s1, "by_sum a.h" + s1 + "1 head_file_table",
                   "by_sum <null>" + s1 + "1 head_file_table", "by_sum a.h <null> 1 head_file_table",
                   cmd("by_sum", "a.h", "", "1", "head_file_table"), "by_sum a.h" + s1 + "1 <null>",
                   // The same absolute target written from two directories.
                   "norow", "ins_target 7 1 /out/app" + s1, "row 8", "ins_target 8 2 /out/app" + s1,
                   "ins_target 8 2 /out/app" + s1, "by_sum /out/app" + s1 + "1 target_file_table",
                   "by_sum /out/app" + s1 + "99 target_file_table", "ins_target 9 1 other" + s1,
                   "target_by_sum 0" + s1, "target_by_sum 3" + s1, "target_by_sum 0" + s2, "target_by_sum 0 <null>",
                   cmd("ins_target", "9", "1", "empty", ""), "ins_target 9 1 empty <null>",  // a target needs a digest
                   "upd_target 1 42", "upd_target 77 42",
                   "tt 5 5", "ss 5 5", "ts 5 5", "sh 5 5", "tt 5 6", "tt 5 6", "ss 6 5", "ss 6 5", "ts 5 5",
                   "sh 5 5", "relation target_target_table 1 1",
                   cmd("relation", "target_target_table; DROP TABLE x", "1", "2"), cmd("relation", "", "1", "2"),
                   "relation <null> 1 2"}});
    EXPECT_EQ(r.out, (std::vector<std::string>{
                         "0", "0", "0", "2", "0", "0", "1", "2", "0", "0", "1", "0", "0", "0", "1", "-1", "-1", "0",
                         "-1",
                         "norow", "0", "row", "0", "0", "2", "2", "0", "3", "2", "0", "-1", "-1", "-1", "0", "0",
                         "0", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0", "-1", "-1", "-1"}))
        << describe(r.run);
    test_db db(db_path);
    EXPECT_EQ(db.count("path_file_table"), 2);
    EXPECT_EQ(db.rows("select * from source_file_table order by id"),
              (table_rows{{"1", "src/a.c", "1", kSum1, "0"}, {"2", "src/a.c", "2", kSum1, "0"}}));
    // Producing command, then the command being traced when it was written.
    EXPECT_EQ(db.rows("select * from target_file_table order by id"),
              (table_rows{{"1", "/out/app", "1", kSum1, "42", "0"},
                          {"2", "/out/app", "2", kSum1, "8", "8"},
                          {"3", "other", "1", kSum1, "9", "8"}}));
    // Each relation is recorded once.
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
    test_db(db_path).exec("INSERT INTO build_command_table VALUES (NULL,'2022-02-28 10:00:00','gcc -c a.c',1,1,0,-1);");
    driver_result r = drive({.db = db_path,
                             .lines = {"row 1", "time_init", "time_show", "time_set 100 2 3 4", "time_start_ago 3000",
                                       "time_row 1", "time_show", "time_id 1", "time_set 200 5 6 7", "time_row 1",
                                       "time_id 1", "time_row 1 <null>", "time_id 2", "runtime 1234 1", "time_init",
                                       "time_show"}});
    ASSERT_EQ(r.out.size(), 16u) << describe(r.run);
    EXPECT_EQ(r.out[2], "0 0 0 0 0");
    EXPECT_EQ(r.out[5], "0");
    // The row takes the run time and the time since tracing began.
    long runtime = 0, total = 0;
    std::istringstream(r.out[6]) >> runtime >> total;
    EXPECT_EQ(runtime, 100);
    EXPECT_GE(total, 3000);
    EXPECT_LT(total, 10000);
    EXPECT_EQ(std::vector<std::string>(r.out.begin() + 7, r.out.end()),
              (std::vector<std::string>{"1", "time", "0", "1", "-1", "0", "0", "time", "0 0 0 0 0"}));
    test_db db(db_path);
    EXPECT_EQ(db.rows("select id, build_id, runtime_ms, sha256_ms, sql_ms, dataid_ms from build_time_table"),
              (table_rows{{"1", "1", "200", "5", "6", "7"}}));
    EXPECT_EQ(db.value("select runtime from build_command_table where id=1"), "1234");
}

// SQL time is accounted at log level "buildtime" only; look-up time always,
// also without a current row.
TEST(DbAccess, TimeAccountingFollowsTheLogLevel)
{
    temp_dir dir;
    std::string db_path = make_db(dir);
    const std::string slow =
        "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c WHERE x<400000) SELECT count(*) FROM c;";
    for (std::string level : {"buildtime", "yes"}) {
        SCOPED_TRACE(level);
        driver_result r = drive({.db = db_path,
                                 .lines = {"row 1", "time_init", cmd("exec", slow), cmd("id", slow), "time_show",
                                           "norow", cmd("id", slow)},
                                 .env = {"ZIV_LOG=" + level}});
        ASSERT_EQ(r.out.size(), 7u) << describe(r.run);
        long runtime = 0, total = 0, sha = 0, sql = -1, dataid = -1;
        std::istringstream(r.out[4]) >> runtime >> total >> sha >> sql >> dataid;
        EXPECT_EQ(r.out[3], "400000");
        EXPECT_EQ(r.out[6], "400000");
        EXPECT_TRUE(level == "buildtime" ? sql >= 20 : sql == 0) << sql;
        EXPECT_GE(dataid, 20);
    }
}

// Names with quotes and shell characters, also in the working directory:
// stored exactly, found again, and never able to change what a statement does.
TEST(DbAccess, NamesAreStoredExactlyWhateverTheyHold)
{
    temp_dir dir;
    std::string db_path = make_db(dir);
    std::string work = dir.sub("it's a dir");
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    const std::vector<std::string> names = {"it's.c",        "''",         "a b\tc.c",  "x;touch pwned.c",
                                            "$(touch pwned).c", "`id`.c",  "q\"uote\\d.c", "%s%d%n.c",
                                            "line\nbreak.c", "x'); DROP TABLE source_file_table; --"};
    std::vector<std::string> lines = {"pwd_id", "pwd_id"};
    for (const std::string& name : names) {
        std::string n = esc(name), p = esc("/w/" + name);
        lines.insert(lines.end(),
                     {cmd("ins_source", "0", "1", n, kSum1), cmd("by_sum", n, kSum1, "1", "source_file_table"),
                      cmd("by_name", n, "source_file_table"), cmd("ins_target", "0", "1", n, kSum1),
                      cmd("by_name", n, "target_file_table"), cmd("ins_head", "1", n, kSum1),
                      cmd("ins_path", p, "4096"), cmd("by_name", p, "path_file_table")});
    }
    lines.insert(lines.end(), {cmd("by_sum", "it's.c", "x' OR '1'='1", "1", "source_file_table"),
                               cmd("target_by_sum", "0", "x' OR '1'='1"), "cd ..", "pwd_id"});
    driver_result r = drive({.db = db_path, .lines = lines, .cwd = work});
    ASSERT_EQ(r.out.size(), lines.size()) << describe(r.run);
    EXPECT_EQ(r.out[0], "1");
    EXPECT_EQ(r.out[1], "1");  // the working directory is recorded once
    for (size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i]);
        std::string id = std::to_string(i + 1), path_id = std::to_string(i + 2);
        EXPECT_EQ(std::vector<std::string>(r.out.begin() + 2 + i * 8, r.out.begin() + 10 + i * 8),
                  (std::vector<std::string>{"0", id, id, "0", id, "0", "0", path_id}));
    }
    EXPECT_EQ(std::vector<std::string>(r.out.end() - 4, r.out.end()),
              (std::vector<std::string>{"0", "0", "0", std::to_string(names.size() + 2)}));
    test_db db(db_path);
    for (std::string table : {"source_file_table", "target_file_table", "head_file_table"}) {
        table_rows rows = db.rows("select filename from " + table + " order by id");
        ASSERT_EQ(rows.size(), names.size()) << table;
        for (size_t i = 0; i < names.size(); ++i) {
            EXPECT_EQ(rows[i][0], names[i]) << table;
        }
    }
    EXPECT_EQ(db.value("select filename from path_file_table where id=1"), work);
    EXPECT_EQ(db.value("select filename from path_file_table order by id desc limit 1"), dir.path());
    EXPECT_FALSE(exists(work + "/pwned") || exists(work + "/pwned.c"));
}

TEST(DbAccess, StatementsThatDoNotFitAreNotRun)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    temp_dir dir;
    std::string db_path = make_db(dir);
    const std::string s1 = " " + kSum1;
    driver_result r = drive({.db = db_path,
                             .lines = {"ins_source 0 1 " + std::string(32700, 'n') + s1,  // the statement does not fit
                                       "ins_target 0 1 " + std::string(40000, 'n') + s1,  // nor even the name
                                       "by_name " + std::string(16380, '\'') + " head_file_table",  // once quoted
                                       "ins_source 0 1 " + std::string(32000, 'n') + s1},
                             .env = {"ZIV_LOG=yes"},
                             .capture_log = true});
    EXPECT_EQ(r.out, (std::vector<std::string>{"-1", "-1", "-1", "0"})) << describe(r.run);
    EXPECT_EQ(count_prefix(r.run, "sprintf_s failed, err = -1, function ziv_insert_source_file line "), 1)
        << describe(r.run);
    test_db db(db_path);
    EXPECT_EQ(db.count("source_file_table"), 1);
    EXPECT_EQ(db.count("target_file_table"), 0);
}

}  // namespace
}  // namespace ziv_test
