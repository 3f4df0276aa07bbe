// Starting the probe under the library, under any program name, and checking
// what it reported and what the library logged.
#pragma once

#include <cstdlib>
#include <set>

#include "ziv_check.h"

namespace ziv_test {

inline const std::string kLib = ZIV_LIB_PATH;
inline const std::string kProbe = ZIV_PROBE_PATH;
inline const std::string kBuildTime = "1646016134";  // the default ZIV_TIME

inline std::string start_message(const std::string& prog)
{
    return "########## start progress " + prog + " Kalvitrex version 0.1.0 ##########\n";
}

inline std::string end_message(const std::string& prog)
{
    return "############ end progress " + prog + " Kalvitrex version 0.1.0 ##########\n";
}

// One probe run and what it must show. An expectation is "key=value" (the
// last value the key took, "" when absent), "key!=value", "#N:text" (the
// library sent exactly the message text N times), "^N:text" (N of its
// messages begin with text) or "@P:text" (text was sent with priority P).
// The run also reports "exit" (which must be 0 unless expected otherwise)
// and, when the log is captured, "log.size", "log.first", "log.last" and
// "log.priorities" (the distinct ones, ascending, comma-separated). Where the
// log cannot be captured, such a case is skipped (and says so).
struct probe_case {
    std::string name = "probe";  // argv[0]
    std::vector<std::string> commands{};
    std::vector<std::string> env{};  // on top of PATH and LD_PRELOAD
    std::vector<std::string> expect{};
    std::string preload = kLib;  // empty: nothing preloaded
    int timeout_s = 60;
};

struct probe_result {
    run_result run;
    std::map<std::string, std::string> v{};
};

inline probe_result check(const probe_case& c)
{
    // The log is captured whenever the library may write one, so that
    // nothing reaches the machine's own.
    bool log = false, exit_expected = false;
    for (const std::string& e : c.env) {
        log |= e.rfind("ZIV_LOG=", 0) == 0;
    }
    for (const std::string& e : c.expect) {
        log |= std::string("#^@").find(e[0]) != std::string::npos || e.rfind("log.", 0) == 0;
        exit_expected |= e.rfind("exit=", 0) == 0;
    }
    run_options o{.exe = kProbe, .argv = {c.name}, .env = {"PATH=/usr/bin:/bin"}, .capture_log = log,
                  .timeout_s = c.timeout_s};
    o.argv.insert(o.argv.end(), c.commands.begin(), c.commands.end());
    if (!c.preload.empty()) {
        o.env.push_back("LD_PRELOAD=" + c.preload);
    }
    o.env.insert(o.env.end(), c.env.begin(), c.env.end());
    std::string where = "probe '" + c.name.substr(0, 40) + "'";
    for (const std::string& s : c.commands) {
        where += " " + s.substr(0, 60);
    }
    std::string why;
    if (log && !log_capture_available(&why)) {
        std::printf("skipped, no log capture here (%s): %s\n", why.c_str(), where.c_str());
        return {};
    }
    probe_result p{run(o)};
    const run_result& r = p.run;
    p.v = report(r);
    for (auto& [key, value] : p.v) {
        if (key.find("ld_preload") != std::string::npos) {
            value = seen_preload(value);
        }
    }
    p.v["exit"] = std::to_string(r.exit_code);
    if (log) {
        std::vector<std::string> texts = messages(r);
        std::set<int> priorities;
        for (const log_record& rec : r.log) {
            priorities.insert(rec.priority);
            // The library's own ident, with the sender's pid.
            EXPECT_EQ(rec.ident + " " + std::to_string(rec.pid), "ziv_env " + std::to_string(rec.sender_pid))
                << rec.message;
        }
        p.v["log.size"] = std::to_string(r.log.size());
        p.v["log.first"] = texts.empty() ? "" : texts.front();
        p.v["log.last"] = texts.empty() ? "" : texts.back();
        for (int pr : priorities) {
            p.v["log.priorities"] += (p.v["log.priorities"].empty() ? "" : ",") + std::to_string(pr);
        }
    }
    EXPECT_TRUE(exit_expected || r.exit_code == 0) << where << "\n" << describe(r);
    for (const std::string& e : c.expect) {
        size_t colon = e.find(':');
        if (e[0] == '#' || e[0] == '^' || e[0] == '@') {
            int n = std::atoi(e.c_str() + 1);
            std::string text = e.substr(colon + 1);
            if (e[0] == '@') {
                const log_record* rec = find_message(r, text);
                EXPECT_TRUE(rec != nullptr && rec->priority == n) << where << "\n" << e << "\n" << describe(r);
            } else {
                EXPECT_EQ(e[0] == '#' ? count_message(r, text) : count_prefix(r, text), n)
                    << where << "\n" << e << "\n" << describe(r);
            }
            continue;
        }
        size_t eq = e.find('=');
        bool differs = eq > 0 && e[eq - 1] == '!';
        std::string key = e.substr(0, differs ? eq - 1 : eq), value = e.substr(eq + 1);
        if (differs) {
            EXPECT_NE(p.v[key], value) << where << "\n" << key << "\n" << r.out;
        } else {
            EXPECT_EQ(p.v[key], value) << where << "\n" << key << "\n" << describe(r);
        }
    }
    return p;
}

inline void check_all(const std::vector<probe_case>& cases)
{
    for (const probe_case& c : cases) {
        check(c);
    }
}

// The generator steps a listed program's random values come from: seeded
// with the build time plus the hash of the program's name.
inline std::vector<uint32_t> random_steps(uint32_t name_hash, size_t n)
{
    unsigned int state = 1646016134u + name_hash;
    std::vector<uint32_t> values;
    for (size_t i = 0; i < n; ++i) {
        values.push_back(static_cast<uint32_t>(rand_r(&state)));
    }
    return values;
}

}  // namespace ziv_test
