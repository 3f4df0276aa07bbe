// Programs a build step starts with an environment of its own making stay
// inside the build: every call of the C library that starts a program with a
// given environment, and env -i / env -, give the child back this library's
// preload entry and the ZIV_* settings, and nothing else of the parent's.
#include "trace_test_env.h"

namespace ziv_test {
namespace {

// The environment the child printed (sorted) and the time it was given.
std::pair<std::vector<std::string>, long long> child_of(const run_result& r)
{
    std::pair<std::vector<std::string>, long long> v{{}, 0};
    for (const std::string& l : lines_of(r.out)) {
        if (l.rfind("env:LD_PRELOAD=", 0) == 0) {
            v.first.push_back("LD_PRELOAD=" + seen_preload(l.substr(15)));
        } else if (l.rfind("env:", 0) == 0) {
            v.first.push_back(l.substr(4));
        } else if (l.rfind("time=", 0) == 0) {
            v.second = std::stoll(l.substr(5));
        }
    }
    return v;
}

TEST(TraceChildren, EveryWayToStartAProgramWithItsOwnEnvironmentKeepsTheLibraryAndNothingElse)
{
    trace_build b;
    b.tools({"gcc"});
    // The spawner is recorded as a command (a table row without a parser),
    // so that its children can name it as their parent.
    make_tool_dir_link(b.bin(), "collect2", ZIV_TRACE_SPAWNER);
    const std::vector<std::string> given = {"PATH=" + b.bin() + ":/usr/bin:/bin", "TRACE_PROBE_REPORT=" + b.root() + "/report",
                                            "GIVEN=a b", "EMPTY="};
    auto write_given = [&](const std::string& extra) {
        std::string text;
        for (const std::string& e : given) {
            text += e + "\n";
        }
        b.file("env.txt", text + (extra.empty() ? "" : extra + "\n"));
    };
    const std::vector<std::string> settings = {"SPAWN_ENV_FILE=" + b.root() + "/env.txt", "ZIV_TIMELIST=gcc",
                                               "ZIV_TIME=2001-02-03 04:05:06", "ZIV_HOSTNAME=parent"};
    const std::string gcc = b.bin() + "/gcc", libm = "/lib/x86_64-linux-gnu/libm.so.6";
    temp_dir fake;
    // A sanitizer runtime that came before the library comes back with it.
    const std::string asan = make_tool_dir_link(fake.path(), "libasan.so.8", libm);
    struct start {
        std::vector<std::string> argv;
        std::string given;  // beyond `given`
        std::string env;    // of the starting process, beyond `settings`
        std::string preload = kLib;  // the child's LD_PRELOAD
    };
    const std::vector<start> starts = {
        {{"collect2", "execve", gcc, "--probe-env"}, "", ""},
        {{"collect2", "execle", gcc}, "", ""},
        // A setting the parent gave the child itself stays the child's.
        {{"collect2", "execvpe", "gcc", "--probe-env"}, "ZIV_HOSTNAME=child", ""},
        {{"collect2", "posix_spawn", gcc, "--probe-env"}, "LD_PRELOAD=" + libm, "", kLib + ":" + libm},
        {{"collect2", "posix_spawnp", "gcc", "--probe-env"}, "", ""},
        {{"collect2", "fexecve", gcc, "--probe-env"}, "", ""},
        {{"collect2", "execveat", gcc, "--probe-env"}, "", ""},
        {{"collect2", "vfork", gcc, "--probe-env"}, "LD_PRELOAD=", ""},
        {{"collect2", "execv", gcc, "--probe-env"}, "", ""},
        {{"collect2", "execvp", "gcc", "--probe-env"}, "", ""},
        {{"collect2", "execl", gcc}, "", ""},
        {{"collect2", "execlp", "gcc"}, "", "LD_PRELOAD=" + asan + ":" + kLib, asan + ":" + kLib},
        {{"env", "-i", given[0], given[1], given[2], given[3], "gcc", "--probe-env"}, "", ""},
        {{"env", "-", given[0], given[1], given[2], given[3], "gcc", "--probe-env"}, "", ""},
    };
    for (const start& s : starts) {
        SCOPED_TRACE(s.argv[1]);
        write_given(s.given);
        b.clear_reports();
        std::vector<std::string> env = settings;
        env.push_back(s.env.empty() ? "X=" : s.env);
        run_result r = b.run(s.argv, "src", preload::library, env);
        ASSERT_EQ(r.exit_code, 0) << describe(r);
        // Traced, with its parent link right where the parent was traced.
        std::vector<probe_line> lines = b.reports("gcc");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].at("row"), "gcc");
        const std::string cmd = lines[0].at("cmd");
        if (s.argv[0] == "collect2") {
            EXPECT_EQ(test_db(b.db_path()).value("select parent_id from build_command_table where id = " + cmd),
                      b.id_of(joined(s.argv)));
        }
        // Exactly what the parent gave, the library's entries and the
        // settings (those the parent gave the child win), nothing else.
        std::vector<std::string> want = given;
        const std::string own = s.given.rfind("ZIV_HOSTNAME=", 0) == 0 ? s.given : "ZIV_HOSTNAME=parent";
        want.insert(want.end(), {own, "ZIV_TIME=2001-02-03 04:05:06", "ZIV_TIMELIST=gcc", "ZIV_TRACE_ENABLE=yes",
                                 "ZIV_TRACE_OUTPUT=" + b.db_path(), "LD_PRELOAD=" + s.preload, "ZIV_PCOMMAND_ID=" + cmd});
        std::sort(want.begin(), want.end());
        auto [child_env, time] = child_of(r);
        EXPECT_EQ(child_env, want);
        EXPECT_LT(time, 1000000000) << "the build time, not the clock";
    }

    // The calls keep their own behaviour: a failed search ends in -1 with
    // the C library's errno; a file without "#!" runs under /bin/sh.
    write_given("");
    b.file("bin/noshebang", "echo \"ran with $GIVEN\"\n", 0755);
    run_result r = b.run({"collect2", "execvp", "no-such-tool"}, "src", preload::library, settings);
    EXPECT_EQ(r.exit_code, 127) << describe(r);
    EXPECT_EQ(r.err, "execvp: No such file or directory\n");
    r = b.run({"collect2", "execvpe", "noshebang"}, "src", preload::library, settings);
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(r.out, "ran with a b\n");

    // Switched off, in the starting process's environment or in the one
    // it gives: the child gets exactly that environment, untraced.
    for (const std::string off : {"", "ZIV_CARRY_ENV=no"}) {
        for (const std::string call : {"execve", "posix_spawn"}) {
            SCOPED_TRACE(call + " " + off);
            write_given(off);
            b.clear_reports();
            r = b.run({"collect2", call, gcc, "--probe-env"}, "src", preload::library,
                      {settings[0], settings[1], settings[2], settings[3], off.empty() ? "ZIV_CARRY_ENV=no" : "X="});
            ASSERT_EQ(r.exit_code, 0) << describe(r);
            std::vector<std::string> want = given;
            if (!off.empty()) {
                want.push_back(off);
            }
            std::sort(want.begin(), want.end());
            auto [env, time] = child_of(r);
            EXPECT_EQ(env, want);
            EXPECT_GT(time, 1000000000);
            ASSERT_EQ(b.reports("gcc").size(), 1u);
            EXPECT_EQ(b.reports("gcc")[0].at("row"), "none");
        }
    }
}

}  // namespace
}  // namespace ziv_test
