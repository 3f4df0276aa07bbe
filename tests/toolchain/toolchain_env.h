// Shared by the toolchain tests: a database made from the shipped schema and
// read back with SQLite, and small file helpers.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ziv_test_db.h"
#include "ziv_run.h"

namespace ziv_test {

inline const std::string kLib = ZIV_LIB_PATH;
inline const std::string kSchema = ZIV_SCHEMA_PATH;

using build_db = test_db;

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
