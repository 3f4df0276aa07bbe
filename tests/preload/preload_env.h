// Starting the probe under the library, under any program name, and reading
// back what it reported.
#pragma once

#include <cstdlib>

#include "ziv_check.h"

namespace ziv_test {

inline const std::string kLib = ZIV_LIB_PATH;
inline const std::string kProbe = ZIV_PROBE_PATH;
inline const std::string kVersion = "Kalvitrex version 0.1.0";
inline const std::string kBuildTime = "1646016134";  // the default ZIV_TIME

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
    std::vector<std::string> hide_files{};
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

// A run that must succeed.
inline run_result probe(const std::string& name, std::vector<std::string> commands, std::vector<std::string> env = {},
                        bool preload = true)
{
    run_result r = run_probe({.name = name, .commands = std::move(commands), .env = std::move(env), .preload = preload});
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    return r;
}

inline std::map<std::string, std::string> probe_values(const std::string& name, std::vector<std::string> commands,
                                                       std::vector<std::string> env = {})
{
    return report(probe(name, std::move(commands), std::move(env)));
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
