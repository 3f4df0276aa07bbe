// Build databases made from the shipped schema, read back with SQLite
// itself, and the driver that runs the library's functions on them in a
// process of its own.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ziv_test_db.h"
#include "ziv_check.h"

namespace ziv_test {

inline const std::string kDriver = ZIV_DB_DRIVER;
inline const std::string kSchema = ZIV_SCHEMA_PATH;

using db_handle = test_db;

inline std::string schema_text()
{
    std::ifstream in(kSchema);
    std::stringstream s;
    s << in.rdbuf();
    if (s.str().empty()) {
        throw std::runtime_error("empty schema " + kSchema);
    }
    return s.str();
}

// A new database file made from the shipped schema.
inline std::string make_db(const temp_dir& dir, const std::string& name = "build.db")
{
    std::string path = dir.sub(name);
    db_handle db(path);
    db.exec(schema_text());
    return path;
}

// The driver's input: one command a line, after "init" and "open".
inline std::string script(const std::vector<std::string>& lines, bool open = true)
{
    std::string text = open ? "init\nopen\n" : "";
    for (const std::string& l : lines) {
        text += l + "\n";
    }
    return text;
}

struct driver_run {
    std::string db;                   // ZIV_TRACE_OUTPUT; empty: unset
    std::vector<std::string> lines;   // the script
    std::vector<std::string> env;     // added to PATH (and ZIV_TRACE_OUTPUT)
    std::string cwd;
    bool capture_log = false;
    std::vector<std::string> hide_files;
    bool open = true;                 // start with "init" and "open"
};

struct driver_result {
    run_result run;
    std::vector<std::string> out;  // one result per script line
};

inline driver_result drive(const driver_run& d)
{
    run_options o;
    o.exe = kDriver;
    o.argv = {"ziv_db_driver"};
    o.env = {"PATH=/usr/bin:/bin"};
    if (!d.db.empty()) {
        o.env.push_back("ZIV_TRACE_OUTPUT=" + d.db);
    }
    o.env.insert(o.env.end(), d.env.begin(), d.env.end());
    o.cwd = d.cwd;
    o.capture_log = d.capture_log;
    o.hide_files = d.hide_files;
    o.stdin_data = script(d.lines, d.open);
    driver_result r;
    r.run = run(o);
    r.out = lines_of(r.run.out);
    if (d.open && r.out.size() >= 2) {
        r.out.erase(r.out.begin(), r.out.begin() + 2);
    }
    return r;
}

// Tab-joined script line.
template <typename... T>
std::string cmd(const T&... fields)
{
    std::vector<std::string> parts{std::string(fields)...};
    std::string line;
    for (size_t i = 0; i < parts.size(); ++i) {
        line += (i == 0 ? "" : "\t") + parts[i];
    }
    return line;
}

inline std::string num(long n) { return std::to_string(n); }

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
