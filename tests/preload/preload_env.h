// Starting the probe under the library, under any program name, and reading
// back what it reported.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ziv_run.h"

namespace ziv_test {

inline const std::string kLib = ZIV_LIB_PATH;
inline const std::string kProbe = ZIV_PROBE_PATH;
inline const std::string kVersion = "Kalvitrex version 0.1.0";

// syslog priorities as they arrive: facility LOG_LOCAL6 with a severity.
constexpr int kInfo = (22 << 3) | 6;
constexpr int kWarning = (22 << 3) | 4;
constexpr int kAlert = (22 << 3) | 1;

inline std::string start_message(const std::string& prog)
{
    return "########## start progress " + prog + " " + kVersion + " ##########\n";
}

inline std::string end_message(const std::string& prog)
{
    return "############ end progress " + prog + " " + kVersion + " ##########\n";
}

struct probe_run {
    std::string name = "probe";            // argv[0]
    std::vector<std::string> commands;     // argv[1..]
    std::vector<std::string> env;          // on top of PATH and LD_PRELOAD
    bool preload = true;
    bool capture_log = false;
    std::vector<std::string> hide_files;
};

inline run_result run_probe(const probe_run& p)
{
    run_options o;
    o.exe = kProbe;
    o.argv.push_back(p.name);
    o.argv.insert(o.argv.end(), p.commands.begin(), p.commands.end());
    o.env = {"PATH=/usr/bin:/bin"};
    if (p.preload) {
        o.env.push_back("LD_PRELOAD=" + kLib);
    }
    o.env.insert(o.env.end(), p.env.begin(), p.env.end());
    o.capture_log = p.capture_log;
    o.hide_files = p.hide_files;
    return run(o);
}

// "key=value" lines of the probe's output.
inline std::map<std::string, std::string> report(const run_result& r)
{
    std::map<std::string, std::string> values;
    size_t start = 0;
    while (start < r.out.size()) {
        size_t end = r.out.find('\n', start);
        if (end == std::string::npos) {
            end = r.out.size();
        }
        std::string line = r.out.substr(start, end - start);
        size_t eq = line.find('=');
        if (eq != std::string::npos) {
            values[line.substr(0, eq)] = line.substr(eq + 1);
        }
        start = end + 1;
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
    for (const log_record& rec : r.log) {
        n += rec.message == text ? 1 : 0;
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

#define ZIV_REQUIRE_LOG_CAPTURE()                                                   \
    do {                                                                            \
        std::string why;                                                            \
        if (!ziv_test::log_capture_available(&why)) {                               \
            GTEST_SKIP() << "system log capture unavailable here: " << why;         \
        }                                                                           \
    } while (0)

}  // namespace ziv_test
