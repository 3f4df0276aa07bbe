// Build databases made from the shipped schema, read back with SQLite itself,
// and the driver that runs the library's functions on them in a process of
// its own.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ziv_check.h"
#include "ziv_test_db.h"

namespace ziv_test {

inline const std::string kDriver = ZIV_DB_DRIVER;

// A new database file made from the shipped schema.
inline std::string make_db(const temp_dir& dir, const std::string& name = "build.db")
{
    test_db(dir.sub(name)).exec(read_file(ZIV_SCHEMA_PATH));
    return dir.sub(name);
}

// The driver's input, after "init" and "open" unless told otherwise.
inline std::string script(const std::vector<std::string>& lines, bool open = true)
{
    std::string text = open ? "init\nopen\n" : "";
    for (const std::string& l : lines) {
        text += l + "\n";
    }
    return text;
}

struct driver_run {
    std::string db{};  // ZIV_TRACE_OUTPUT; empty: unset
    std::vector<std::string> lines{};
    std::vector<std::string> env{};  // besides PATH
    std::string cwd{};
    bool capture_log = false;
    bool open = true;
};

struct driver_result {
    run_result run;
    std::vector<std::string> out;  // one result per script line, "init" and "open" left out
};

inline driver_result drive(const driver_run& d)
{
    run_options o;
    o.exe = kDriver;
    o.argv = {"ziv_db_driver"};
    o.env = {"PATH=/usr/bin:/bin"};
    o.cwd = d.cwd;
    o.stdin_data = script(d.lines, d.open);
    o.capture_log = d.capture_log;
    if (!d.db.empty()) {
        o.env.push_back("ZIV_TRACE_OUTPUT=" + d.db);
    }
    o.env.insert(o.env.end(), d.env.begin(), d.env.end());
    driver_result r{run(o), {}};
    r.out = lines_of(r.run.out);
    r.out.erase(r.out.begin(), r.out.begin() + (d.open ? std::min<size_t>(2, r.out.size()) : 0));
    return r;
}

// A script line of tab-separated fields, for fields that hold blanks.
template <typename... T>
std::string cmd(const T&... fields)
{
    std::string line;
    ((line += std::string(fields) + "\t"), ...);
    line.pop_back();
    return line;
}

// A text as one script field: backslash, tab and newline escaped.
inline std::string esc(const std::string& text)
{
    std::string out;
    for (char c : text) {
        out += c == '\\' ? "\\\\" : c == '\t' ? "\\t" : c == '\n' ? "\\n" : std::string(1, c);
    }
    return out;
}

}  // namespace ziv_test
