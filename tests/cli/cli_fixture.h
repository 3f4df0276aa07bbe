// Running the kalvitrex program, build databases filled by hand the way the
// library fills them, and a strict reader for the JSON it writes.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "ziv_check.h"
#include "ziv_test_db.h"

namespace cli_test {

using namespace ziv_test;

// kalvitrex with a small fixed environment plus `extra` ("K=V").
inline run_result kalvitrex(const std::vector<std::string>& args, const std::string& cwd,
                            const std::vector<std::string>& extra = {}, int timeout_s = 60)
{
    run_options o;
    o.exe = KVX_PROGRAM;
    o.argv = {"kalvitrex"};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.env = {"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=/tmp", "TZ=UTC0"};
    o.env.insert(o.env.end(), extra.begin(), extra.end());
    o.cwd = cwd;
    o.timeout_s = timeout_s;
    return run(o);
}

// sh -c SCRIPT, where "$1" is the kalvitrex program, with the same small
// environment plus `extra`.
inline run_result shell(const std::string& script, const std::string& cwd, const std::vector<std::string>& extra = {},
                        int timeout_s = 60)
{
    run_options o{.exe = "/bin/sh", .argv = {"sh", "-c", script, "sh", KVX_PROGRAM},
                  .env = {"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=/tmp"}, .cwd = cwd, .timeout_s = timeout_s};
    o.env.insert(o.env.end(), extra.begin(), extra.end());
    return run(o);
}

// Creates a build database at `path` from the shipped schema and runs `sql`
// in it, where "@R" stands for `root` and "$c" for a digest made of c.
inline void make_db(const std::string& path, const std::string& sql = "", const std::string& root = "")
{
    std::string text;
    for (size_t i = 0; i < sql.size(); ++i) {
        if (sql[i] == '@' && i + 1 < sql.size() && sql[i + 1] == 'R') {
            text += root;
            ++i;
        } else if (sql[i] == '$' && i + 1 < sql.size()) {
            text += "'" + std::string(64, sql[++i]) + "'";
        } else {
            text += sql[i];
        }
    }
    test_db db(path);
    db.exec(read_file(KVX_SCHEMA_PATH) + text);
}

// The number of tables of a database.
inline long table_count(const std::string& path)
{
    return test_db(path).number("select count(*) from sqlite_master where type = 'table'");
}

struct json {
    std::string text;  // a string's value, or a number's or literal's text
    std::vector<json> items;
    std::map<std::string, json> fields;
    const json& at(const std::string& key) const { return fields.at(key); }
    // The texts of the items, in order.
    std::vector<std::string> texts() const
    {
        std::vector<std::string> out;
        for (const json& i : items) {
            out.push_back(i.text);
        }
        return out;
    }
};

// The JSON value in the file, read by Python's parser (strict: UTF-8 only,
// no control characters in strings, nothing after the value); what
// kalvitrex writes as \udcXX, a byte that is no UTF-8, comes back as that
// byte. Throws on anything else.
inline json read_json(const std::string& path)
{
    const char* script = R"py(import json, sys
def out(*tokens):
    for t in tokens: sys.stdout.buffer.write(t.encode('utf-8', 'surrogateescape') + b'\0')
def walk(v):
    if isinstance(v, dict):
        out('{', str(len(v)))
        for k, x in v.items(): out(k); walk(x)
    elif isinstance(v, list):
        out('[', str(len(v)))
        for x in v: walk(x)
    else: out('=', v if isinstance(v, str) else json.dumps(v))
walk(json.loads(open(sys.argv[1], 'rb').read().decode('utf-8')))
)py";
    run_result r = run({.exe = "/usr/bin/python3", .argv = {"python3", "-c", script, path}});
    if (r.exit_code != 0) {
        throw std::runtime_error(path + " is no JSON: " + r.err);
    }
    size_t at = 0;
    auto token = [&] {
        size_t end = r.out.find('\0', at);
        std::string t = r.out.substr(at, end - at);
        at = end + 1;
        return t;
    };
    std::function<json()> value = [&] {
        json v;
        std::string kind = token();
        for (long n = kind == "=" ? (v.text = token(), 0) : std::stol(token()); n > 0; --n) {
            if (kind == "{") {
                std::string key = token();
                v.fields[key] = value();
            } else {
                v.items.push_back(value());
            }
        }
        return v;
    };
    return value();
}

}  // namespace cli_test
