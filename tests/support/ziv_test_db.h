// Reading and writing a build database from a test, with SQLite itself.
#pragma once

#include <sqlite3.h>

#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace ziv_test {

using table_rows = std::vector<std::vector<std::string>>;
using string_pairs = std::set<std::pair<std::string, std::string>>;

class test_db {
public:
    explicit test_db(const std::string& path)
    {
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
            throw std::runtime_error("cannot open " + path);
        }
        sqlite3_busy_timeout(db_, 10000);
    }
    ~test_db() { sqlite3_close(db_); }
    test_db(const test_db&) = delete;
    test_db& operator=(const test_db&) = delete;

    void exec(const std::string& sql)
    {
        char* err = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
            std::string text = err != nullptr ? err : "?";
            sqlite3_free(err);
            throw std::runtime_error(text + " in: " + sql);
        }
    }

    // Every row as text; NULL as "NULL".
    table_rows rows(const std::string& sql)
    {
        sqlite3_stmt* st = nullptr;
        table_rows out;
        int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr);
        while (st != nullptr && (rc = sqlite3_step(st)) == SQLITE_ROW) {
            out.emplace_back();
            for (int i = 0; i < sqlite3_column_count(st); ++i) {
                const unsigned char* text = sqlite3_column_text(st, i);
                out.back().push_back(text != nullptr ? reinterpret_cast<const char*>(text) : "NULL");
            }
        }
        sqlite3_finalize(st);
        if (rc != SQLITE_DONE) {
            throw std::runtime_error(std::string(sqlite3_errmsg(db_)) + " in: " + sql);
        }
        return out;
    }

    // The first cell, or "" when there is none.
    std::string value(const std::string& sql)
    {
        table_rows r = rows(sql);
        return r.empty() || r[0].empty() ? "" : r[0][0];
    }

    // The first two columns of every row.
    string_pairs pairs(const std::string& sql)
    {
        string_pairs out;
        for (const auto& r : rows(sql)) {
            out.insert({r.at(0), r.at(1)});
        }
        return out;
    }

    long count(const std::string& table) { return std::stol(value("select count(*) from " + table)); }
    // A number the query computes, such as a count with a condition.
    long number(const std::string& sql) { return std::stol(value(sql)); }

    sqlite3* get() const { return db_; }

private:
    sqlite3* db_ = nullptr;
};

}  // namespace ziv_test
