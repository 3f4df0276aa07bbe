// Build databases filled by hand, the way the library fills them, and a
// runner for the kalvitrex program.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ziv_run.h"

namespace cli_test {

inline std::string schema_sql() { return ziv_test::read_file(KVX_SCHEMA_PATH); }

class build_db {
 public:
    explicit build_db(const std::string& path) : path_(path)
    {
        EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
        exec("PRAGMA synchronous = OFF; PRAGMA journal_mode = MEMORY;");
        exec(schema_sql());
    }
    ~build_db() { sqlite3_close(db_); }
    build_db(const build_db&) = delete;

    void exec(const std::string& sql)
    {
        char* err = nullptr;
        int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err);
        ASSERT_EQ(rc, SQLITE_OK) << (err ? err : "") << "\n" << sql;
    }
    int64_t insert(const char* sql, const std::vector<std::string>& texts, const std::vector<int64_t>& ints)
    {
        sqlite3_stmt* st = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db_, sql, -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db_);
        int i = 1;
        for (const auto& t : texts) {
            sqlite3_bind_text(st, i++, t.c_str(), -1, SQLITE_TRANSIENT);
        }
        for (int64_t v : ints) {
            sqlite3_bind_int64(st, i++, v);
        }
        EXPECT_EQ(sqlite3_step(st), SQLITE_DONE) << sqlite3_errmsg(db_);
        sqlite3_finalize(st);
        return sqlite3_last_insert_rowid(db_);
    }
    int64_t dir(const std::string& path)
    {
        insert("INSERT OR IGNORE INTO path_file_table VALUES (NULL, ?1)", {path}, {});
        return lookup("SELECT id FROM path_file_table WHERE filename = ?1", path);
    }
    int64_t tool(const std::string& path)
    {
        insert("INSERT OR IGNORE INTO tool_file_table VALUES (NULL, ?1, ?2)", {path, std::string(64, 'a')}, {});
        return lookup("SELECT id FROM tool_file_table WHERE filename = ?1", path);
    }
    int64_t command(const std::string& log, int64_t dir_id, int64_t parent, int64_t runtime_ms,
                    const std::string& start = "2026-12-06 09:00:00")
    {
        int64_t t = tool("/usr/bin/" + log.substr(0, log.find(' ')));
        return insert("INSERT INTO build_command_table VALUES (NULL, ?1, ?2, ?3, ?4, ?5, ?6)", {start, log},
                      {t, dir_id, parent, runtime_ms});
    }
    int64_t source(const std::string& name, int64_t dir_id, const std::string& sum, int64_t cmd = 0)
    {
        return insert("INSERT INTO source_file_table VALUES (NULL, ?1, ?3, ?2, ?4)", {name, sum}, {dir_id, cmd});
    }
    int64_t header(const std::string& name, int64_t dir_id, const std::string& sum)
    {
        return insert("INSERT INTO head_file_table VALUES (NULL, ?1, ?3, ?2)", {name, sum}, {dir_id});
    }
    int64_t target(const std::string& name, int64_t dir_id, const std::string& sum, int64_t cmd, int64_t trace_cmd)
    {
        return insert("INSERT INTO target_file_table VALUES (NULL, ?1, ?3, ?2, ?4, ?5)", {name, sum},
                      {dir_id, cmd, trace_cmd});
    }
    void rel(const char* table, int64_t a, int64_t b)
    {
        insert((std::string("INSERT INTO ") + table + " VALUES (NULL, ?1, ?2)").c_str(), {}, {a, b});
    }
    int64_t lookup(const char* sql, const std::string& key)
    {
        sqlite3_stmt* st = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db_, sql, -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db_);
        sqlite3_bind_text(st, 1, key.c_str(), -1, SQLITE_TRANSIENT);
        int64_t v = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
        sqlite3_finalize(st);
        return v;
    }
    int64_t count(const std::string& sql)
    {
        sqlite3_stmt* st = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db_);
        int64_t v = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
        sqlite3_finalize(st);
        return v;
    }

 private:
    std::string path_;
    sqlite3* db_ = nullptr;
};

inline std::string sum(char c) { return std::string(64, c); }

// kalvitrex with a small fixed environment plus `extra` ("K=V").
inline ziv_test::run_result kalvitrex(const std::vector<std::string>& args, const std::string& cwd,
                                      const std::vector<std::string>& extra = {}, int timeout_s = 60)
{
    ziv_test::run_options o;
    o.exe = KVX_PROGRAM;
    o.argv = {"kalvitrex"};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.env = {"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=/tmp", "TZ=UTC0"};
    o.env.insert(o.env.end(), extra.begin(), extra.end());
    o.cwd = cwd;
    o.timeout_s = timeout_s;
    return ziv_test::run(o);
}

// The lines of a text, without the final empty one.
inline std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        out.push_back(text.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
        at = nl == std::string::npos ? text.size() : nl + 1;
    }
    return out;
}

}  // namespace cli_test
