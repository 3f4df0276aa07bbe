// What tests read back from a run: "key=value" reports, output lines, the
// library's messages and their priorities. Shared by every test family.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ziv_run.h"

namespace ziv_test {

// syslog priorities as they arrive: facility LOG_LOCAL6 with a severity.
constexpr int kWarning = (22 << 3) | 4;
constexpr int kAlert = (22 << 3) | 1;

inline std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// "key=value" lines of the output; the last value of a key counts.
inline std::map<std::string, std::string> report(const run_result& r)
{
    std::map<std::string, std::string> values;
    for (const std::string& line : lines_of(r.out)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) {
            values[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    // A sanitizer build puts its runtime first: compare what the test gave.
    if (values.count("LD_PRELOAD") != 0) {
        values["LD_PRELOAD"] = seen_preload(values["LD_PRELOAD"]);
    }
    return values;
}

// Messages the library sent, in order.
inline std::vector<std::string> messages(const run_result& r)
{
    std::vector<std::string> texts;
    for (const log_record& rec : r.log) {
        if (rec.ident == "ziv_env") {
            texts.push_back(rec.message);
        }
    }
    return texts;
}

inline int count_message(const run_result& r, const std::string& text)
{
    int n = 0;
    for (const std::string& m : messages(r)) {
        n += m == text;
    }
    return n;
}

// Library messages that begin with `prefix` (and end with `suffix`).
inline int count_prefix(const run_result& r, const std::string& prefix, const std::string& suffix = "")
{
    int n = 0;
    for (const std::string& m : messages(r)) {
        n += m.rfind(prefix, 0) == 0 && m.size() >= prefix.size() + suffix.size() &&
             m.compare(m.size() - suffix.size(), suffix.size(), suffix) == 0;
    }
    return n;
}

inline const log_record* find_message(const run_result& r, const std::string& text)
{
    for (const log_record& rec : r.log) {
        if (rec.message == text) {
            return &rec;
        }
    }
    return nullptr;
}

inline bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

inline std::string hex(const std::string& bytes)
{
    std::string text;
    for (unsigned char c : bytes) {
        text += "0123456789abcdef"[c >> 4];
        text += "0123456789abcdef"[c & 15];
    }
    return text;
}

#define ZIV_REQUIRE_LOG_CAPTURE()                                                   \
    do {                                                                            \
        std::string why;                                                            \
        if (!ziv_test::log_capture_available(&why)) {                               \
            GTEST_SKIP() << "system log capture unavailable here: " << why;         \
        }                                                                           \
    } while (0)

}  // namespace ziv_test
