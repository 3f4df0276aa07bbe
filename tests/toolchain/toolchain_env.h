// Shared by the toolchain tests: a database made from the shipped schema and
// read back with SQLite, and small file helpers.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ziv_run.h"

namespace ziv_test {

inline const std::string kLib = ZIV_LIB_PATH;
inline const std::string kSchema = ZIV_SCHEMA_PATH;

using string_pairs = std::set<std::pair<std::string, std::string>>;

class build_db {
public:
    explicit build_db(const std::string& path)
    {
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
            throw std::runtime_error("cannot open " + path);
        }
        sqlite3_busy_timeout(db_, 10000);
    }
    ~build_db() { sqlite3_close(db_); }
    build_db(const build_db&) = delete;
    build_db& operator=(const build_db&) = delete;

    void exec(const std::string& sql)
    {
        char* err = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
            std::string text = err != nullptr ? err : "?";
            sqlite3_free(err);
            throw std::runtime_error(text + " in: " + sql);
        }
    }

    std::vector<std::vector<std::string>> rows(const std::string& sql)
    {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
            throw std::runtime_error(std::string(sqlite3_errmsg(db_)) + " in: " + sql);
        }
        std::vector<std::vector<std::string>> out;
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int i = 0; i < sqlite3_column_count(st); ++i) {
                const unsigned char* text = sqlite3_column_text(st, i);
                row.push_back(text != nullptr ? reinterpret_cast<const char*>(text) : "NULL");
            }
            out.push_back(row);
        }
        sqlite3_finalize(st);
        return out;
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

    long count(const std::string& sql) { return std::stol(rows(sql).at(0).at(0)); }

private:
    sqlite3* db_ = nullptr;
};

inline std::string schema_text()
{
    std::ifstream in(kSchema);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void make_db(const std::string& path)
{
    build_db db(path);
    db.exec(schema_text());
}

inline bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace ziv_test
