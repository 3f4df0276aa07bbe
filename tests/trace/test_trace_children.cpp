// Programs a build step starts with an environment of its own making stay
// inside the build: every call of the C library that starts a program with a
// given environment, and env -i / env -, give the child back this library's
// preload entry and the ZIV_* settings, and nothing else of the parent's.
#include "trace_test_env.h"

namespace ziv_test {
namespace {

const std::string kSpawner = ZIV_TRACE_SPAWNER;

struct child_view {
    std::vector<std::string> env;  // sorted, as the child printed it
    long long time = 0;
};

child_view child_of(const run_result& r)
{
    child_view v;
    for (const std::string& l : lines_of(r.out)) {
        if (l.rfind("env:", 0) == 0) {
            v.env.push_back(l.substr(4));
        } else if (l.rfind("time=", 0) == 0) {
            v.time = std::stoll(l.substr(5));
        }
    }
    return v;
}

std::vector<std::string> without_library_entries(const std::vector<std::string>& env)
{
    std::vector<std::string> out;
    for (const std::string& e : env) {
        if (e.rfind("ZIV_", 0) != 0 && e.rfind("LD_PRELOAD=", 0) != 0) {
            out.push_back(e);
        }
    }
    return out;
}

std::string value_in(const std::vector<std::string>& env, const std::string& name)
{
    for (const std::string& e : env) {
        if (e.rfind(name + "=", 0) == 0) {
            return e.substr(name.size() + 1);
        }
    }
    return "<unset>";
}

TEST(TraceChildren, EveryWayToStartAProgramWithItsOwnEnvironmentKeepsTheLibraryAndNothingElse)
{
    trace_build b;
    b.tools({"gcc"});
    // The spawner is recorded as a command (a table row without a parser),
    // so that its children can name it as their parent.
    make_tool_dir_link(b.bin(), "collect2", kSpawner);
    const std::string report = b.root() + "/report";
    const std::vector<std::string> given = {"PATH=" + b.bin() + ":/usr/bin:/bin", "TRACE_PROBE_REPORT=" + report,
                                            "GIVEN=a b", "EMPTY="};
    auto write_given = [&](const std::vector<std::string>& extra) {
        std::string text;
        for (const std::string& e : given) {
            text += e + "\n";
        }
        for (const std::string& e : extra) {
            text += e + "\n";
        }
        b.file("env.txt", text);
    };
    const std::vector<std::string> settings = {"SPAWN_ENV_FILE=" + b.root() + "/env.txt", "ZIV_TIMELIST=gcc",
                                               "ZIV_TIME=2001-02-03 04:05:06", "ZIV_HOSTNAME=parent"};
    const std::vector<std::string> carried = {"ZIV_HOSTNAME=parent", "ZIV_TIME=2001-02-03 04:05:06",
                                              "ZIV_TIMELIST=gcc", "ZIV_TRACE_ENABLE=yes",
                                              "ZIV_TRACE_OUTPUT=" + b.db_path()};
    const std::string gcc = b.bin() + "/gcc";
    struct start {
        std::vector<std::string> argv;
        std::vector<std::string> extra_given;  // beyond `given`
        std::vector<std::string> extra_env;    // of the starting process
        std::string preload;                   // the child's LD_PRELOAD
    };
    temp_dir fake;
    // A sanitizer runtime that came before the library comes back with it.
    const std::string asan = make_tool_dir_link(fake.path(), "libasan.so.8", "/lib/x86_64-linux-gnu/libm.so.6");
    const std::string libm = "/lib/x86_64-linux-gnu/libm.so.6";
    std::vector<start> starts = {
        {{"collect2", "execve", gcc, "--probe-env"}, {}, {}, kLib},
        {{"collect2", "execle", gcc}, {}, {}, kLib},
        // A setting the parent gave the child itself stays the child's.
        {{"collect2", "execvpe", "gcc", "--probe-env"}, {"ZIV_HOSTNAME=child"}, {}, kLib},
        {{"collect2", "posix_spawn", gcc, "--probe-env"}, {"LD_PRELOAD=" + libm}, {}, kLib + ":" + libm},
        {{"collect2", "posix_spawnp", "gcc", "--probe-env"}, {}, {}, kLib},
        {{"collect2", "fexecve", gcc, "--probe-env"}, {}, {}, kLib},
        {{"collect2", "execveat", gcc, "--probe-env"}, {}, {}, kLib},
        {{"collect2", "vfork", gcc, "--probe-env"}, {"LD_PRELOAD="}, {}, kLib},
        {{"collect2", "execv", gcc, "--probe-env"}, {}, {}, kLib},
        {{"collect2", "execvp", "gcc", "--probe-env"}, {}, {}, kLib},
        {{"collect2", "execl", gcc}, {}, {}, kLib},
        {{"collect2", "execlp", "gcc"}, {}, {"LD_PRELOAD=" + asan + ":" + kLib}, asan + ":" + kLib},
        {{"env", "-i", given[0], given[1], given[2], given[3], "gcc", "--probe-env"}, {}, {}, kLib},
        {{"env", "-", given[0], given[1], given[2], given[3], "gcc", "--probe-env"}, {}, {}, kLib},
    };
    for (const start& s : starts) {
        SCOPED_TRACE(s.argv[1]);
        write_given(s.extra_given);
        b.clear_reports();
        std::vector<std::string> env = settings;
        env.insert(env.end(), s.extra_env.begin(), s.extra_env.end());
        run_result r = b.run(s.argv, "src", preload::library, env);
        ASSERT_EQ(r.exit_code, 0) << describe(r);
        child_view child = child_of(r);
        // Exactly what the parent gave, apart from the library's entries.
        std::vector<std::string> want = given;
        for (const std::string& e : s.extra_given) {
            if (e.rfind("LD_PRELOAD=", 0) != 0 && e.rfind("ZIV_", 0) != 0) {
                want.push_back(e);
            }
        }
        std::sort(want.begin(), want.end());
        EXPECT_EQ(without_library_entries(child.env), want);
        EXPECT_EQ(value_in(child.env, "LD_PRELOAD"), s.preload);
        for (std::string c : carried) {
            for (const std::string& own : s.extra_given) {
                c = own.rfind(c.substr(0, c.find('=') + 1), 0) == 0 ? own : c;
            }
            EXPECT_EQ(std::count_if(child.env.begin(), child.env.end(),
                                    [&](const std::string& e) { return e.rfind(c.substr(0, c.find('=') + 1), 0) == 0; }),
                      1)
                << c;
            EXPECT_EQ(value_in(child.env, c.substr(0, c.find('='))), c.substr(c.find('=') + 1));
        }
        // Normalised: the build time, not the clock.
        EXPECT_LT(child.time, 1000000000) << r.out;
        // Traced, and its parent link right where the parent was traced.
        std::vector<probe_line> lines = b.reports("gcc");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].at("row"), "gcc");
        EXPECT_EQ(value_in(child.env, "ZIV_PCOMMAND_ID"), lines[0].at("cmd"));
        test_db db(b.db_path());
        std::string parent = db.value("select parent_id from build_command_table where id = " + lines[0].at("cmd"));
        if (s.argv[0] == "collect2") {
            EXPECT_EQ(parent, db.value("select max(id) from build_command_table where command like 'collect2 %'"));
        }
    }

    // The calls keep their own behaviour: a failed search ends in -1 with
    // the C library's errno; a file without "#!" runs under /bin/sh.
    write_given({});
    b.file("bin/noshebang", "echo \"ran with $GIVEN\"\n", 0755);
    run_result r = b.run({"collect2", "execvp", "no-such-tool"}, "src", preload::library, settings);
    EXPECT_EQ(r.exit_code, 127) << describe(r);
    EXPECT_EQ(r.err, "execvp: No such file or directory\n");
    r = b.run({"collect2", "execvpe", "noshebang"}, "src", preload::library, settings);
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(r.out, "ran with a b\n");

    // Switched off, in the starting process's environment or in the one
    // it gives: the child gets exactly that environment, untraced.
    for (const auto& [extra_env, extra_given] : std::vector<std::pair<std::string, std::string>>{
             {"ZIV_CARRY_ENV=no", ""}, {"X=", "ZIV_CARRY_ENV=no"}}) {
        for (const std::string call : {"execve", "posix_spawn"}) {
            SCOPED_TRACE(call + " " + extra_env + extra_given);
            write_given(extra_given.empty() ? std::vector<std::string>{} : std::vector<std::string>{extra_given});
            b.clear_reports();
            std::vector<std::string> env = settings;
            env.push_back(extra_env);
            run_result r = b.run({"collect2", call, gcc, "--probe-env"}, "src", preload::library, env);
            ASSERT_EQ(r.exit_code, 0) << describe(r);
            child_view child = child_of(r);
            std::vector<std::string> want = given;
            if (!extra_given.empty()) {
                want.push_back(extra_given);
            }
            std::sort(want.begin(), want.end());
            EXPECT_EQ(child.env, want);
            EXPECT_GT(child.time, 1000000000);
            ASSERT_EQ(b.reports("gcc").size(), 1u);
            EXPECT_EQ(b.reports("gcc")[0].at("row"), "none");
        }
    }
}

}  // namespace
}  // namespace ziv_test
