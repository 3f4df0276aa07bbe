// Running the kalvitrex program, build databases filled by hand the way the
// library fills them, and a strict reader for the JSON it writes.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
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

// The value of each "K=V" line.
inline std::map<std::string, std::string> values_of(const std::string& text)
{
    std::map<std::string, std::string> m;
    for (const std::string& l : lines_of(text)) {
        if (size_t eq = l.find('='); eq != std::string::npos) {
            m[l.substr(0, eq)] = l.substr(eq + 1);
        }
    }
    if (m.count("LD_PRELOAD") != 0) {
        m["LD_PRELOAD"] = seen_preload(m["LD_PRELOAD"]);
    }
    return m;
}

struct json {
    std::string text;  // a string's value, or a number's or literal's text
    std::vector<json> items;
    std::map<std::string, json> fields;
    const json& at(const std::string& key) const { return fields.at(key); }
};

// Throws on anything that is not exactly one JSON value.
class json_reader {
public:
    static json parse(const std::string& text)
    {
        json_reader r{text};
        json v = r.value();
        r.check(r.skip() == text.size());
        return v;
    }

private:
    explicit json_reader(const std::string& text) : s(text) {}

    const std::string& s;
    size_t at = 0;

    void check(bool ok) const
    {
        if (!ok) {
            throw std::runtime_error("not JSON at offset " + std::to_string(at));
        }
    }
    size_t skip()
    {
        while (at < s.size() && std::string_view(" \n\t\r").find(s[at]) != std::string_view::npos) {
            ++at;
        }
        return at;
    }
    bool eat(char c)
    {
        bool here = skip() < s.size() && s[at] == c;
        at += here ? 1 : 0;
        return here;
    }
    std::string str()
    {
        check(eat('"'));
        std::string out;
        for (char c; check(at < s.size()), (c = s[at++]) != '"'; out += c) {
            check(static_cast<unsigned char>(c) >= 0x20);
            if (c != '\\') {
                continue;  // appended by the loop
            }
            check(at < s.size());
            if (size_t e = std::string_view("\"\\/bfnrt").find(s[at++]); e != std::string_view::npos) {
                c = "\"\\/\b\f\n\r\t"[e];
                continue;
            }
            // Otherwise only \u00XX, all kalvitrex writes, taken as UTF-8.
            check(s[at - 1] == 'u' && s.compare(at, 2, "00") == 0 && at + 4 <= s.size());
            unsigned cp = static_cast<unsigned>(std::stoul(s.substr(at + 2, 2), nullptr, 16));
            at += 4;
            if (cp >= 0x80) {
                out += static_cast<char>(0xc0 | (cp >> 6));
            }
            c = static_cast<char>(cp < 0x80 ? cp : 0x80 | (cp & 0x3f));
        }
        return out;
    }
    json value()
    {
        json v;
        if (eat('{')) {
            for (bool more = !eat('}'); more; more = eat(',') || (check(eat('}')), false)) {
                std::string key = (skip(), str());
                check(eat(':'));
                v.fields[key] = value();
            }
        } else if (eat('[')) {
            for (bool more = !eat(']'); more; more = eat(',') || (check(eat(']')), false)) {
                v.items.push_back(value());
            }
        } else if (skip() < s.size() && s[at] == '"') {
            v.text = str();
        } else {
            size_t from = at;
            while (at < s.size() && std::string_view("-+.eE0123456789truefalsn").find(s[at]) != std::string_view::npos) {
                ++at;
            }
            v.text = s.substr(from, at - from);
            check(v.text == "true" || v.text == "false" || v.text == "null" ||
                  (!v.text.empty() && v.text.find_first_not_of("-+.eE0123456789") == std::string::npos));
        }
        return v;
    }
};

}  // namespace cli_test
