// Parent and ancestor classification seen from real process chains: shells,
// make, configure scripts, config.status, test runs, login daemons, odd
// names, all started under the library.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "preload_env.h"
#include "ziv_run.h"

namespace {

using namespace ziv_test;

const std::string kDriver = ZIV_PROCESS_DRIVER;

class ancestry : public ::testing::Test {
protected:
    temp_dir dir;

    run_result start(const std::string& exe, const std::vector<std::string>& argv)
    {
        run_options o;
        o.exe = exe;
        o.argv = argv;
        o.cwd = dir.path();
        o.env = {"PATH=/usr/bin:/bin", "LD_PRELOAD=" + kLib, "DRIVER=" + kDriver, "DIR=" + dir.path()};
        o.timeout_s = 20;
        return run(o);
    }

    // The driver run as the child of a parent called `name` (not a shell).
    std::map<std::string, std::string> under_parent(const std::string& name, const std::string& where = "")
    {
        std::string parent = make_tool_dir_link(where.empty() ? dir.path() : where, name, kDriver);
        run_result r = start(parent, {name, "spawn", kDriver});
        EXPECT_EQ(r.exit_code, 0) << describe(r);
        return checked(r);
    }

    // A /bin/sh script `name` in the directory whose body is `body`.
    void script(const std::string& name, const std::string& body)
    {
        write_file(dir.sub(name), "#!/bin/sh\n" + body + "\ntrue\n", 0755);
    }

    std::map<std::string, std::string> checked(const run_result& r)
    {
        auto v = report(r);
        EXPECT_EQ(v.count("errno_changed"), 0u) << describe(r);
        EXPECT_EQ(v.count("missing"), 0u) << describe(r);
        EXPECT_FALSE(v["valid_parent"].empty()) << describe(r);
        return v;
    }
};

TEST_F(ancestry, ParentQualifiesByShortName)
{
    const std::map<std::string, std::string> expected = {
        {"make", "1"},       {"gmake", "1"},         {"remake", "1"},          {"sh", "1"},
        {"bash", "1"},       {"zsh", "1"},           {"ninja", "1"},           {"ccache", "1"},
        {"perl", "1"},       {"configure", "1"},     {"build.sh", "1"},        {"gen.py", "1"},
        {"rpm-tmp.12345", "1"}, {"python3.11", "1"}, {"a.b.sh", "1"},
        // Not build parents: a daemon, near misses, and a 15-character name
        // that may be a cut one.
        {"crond", "0"},      {"makex", "0"},         {"shell", "0"},           {"build.shx", "0"},
        {"pythn", "0"},      {"rpm-tmp", "0"},       {"build-script.sh", "0"}, {"sh.build", "0"},
    };
    for (const auto& [name, want] : expected) {
        auto v = under_parent(name);
        EXPECT_EQ(v["valid_parent"], want) << name;
        EXPECT_EQ(v["parent_comm"], name);
        EXPECT_EQ(v["parent_exe"], v["spawner.exe"]) << name;
        EXPECT_EQ(v["parent_ppid"], v["spawner.ppid"]) << name;
        EXPECT_EQ(v["parent"], v["spawner.pid"]) << name;
    }
}

TEST_F(ancestry, ScriptRunningUnderAShellQualifiesByItsExecutable)
{
    // The kernel keeps 15 characters: the short name is "generate-config".
    script("generate-config-headers", "\"$DRIVER\"");
    auto v = checked(start(dir.sub("generate-config-headers"), {"generate-config-headers"}));
    EXPECT_EQ(v["parent_comm"], "generate-config");
    EXPECT_EQ(v["parent_exe"], "/usr/bin/dash");
    EXPECT_EQ(v["valid_parent"], "1");
    EXPECT_EQ(v["configure_or_test"], "0");

    // The same name on a program that is no shell does not qualify.
    temp_dir other;
    EXPECT_EQ(under_parent("generate-config-headers", other.path())["valid_parent"], "0");
}

TEST_F(ancestry, MakeRunFromAShell)
{
    write_file(dir.sub("Makefile"),
               "all check test:\n\t@$(DRIVER)\n"
               "deep-check:\n\t@cd sub && sh -c '$(DRIVER); true'\n");
    run_result mk = start("/bin/sh", {"sh", "-c", "make; true"});
    auto v = checked(mk);
    EXPECT_EQ(v["parent_comm"], "make");
    EXPECT_EQ(v["valid_parent"], "1");
    EXPECT_EQ(v["configure_or_test"], "0");

    struct {
        std::vector<std::string> make_args;
        const char* want;
    } runs[] = {
        {{"make", "all"}, "0"},     {{"make", "check"}, "1"},     {{"make", "test"}, "1"},
        {{"make", "-j1", "check"}, "0"},  // the first argument is an option
        {{"make", "-s", "test"}, "0"},
    };
    for (const auto& r : runs) {
        auto got = checked(start("/usr/bin/make", r.make_args));
        EXPECT_EQ(got["configure_or_test"], r.want) << r.make_args.back() << " after " << r.make_args[1];
        EXPECT_EQ(got["valid_parent"], "1");
    }

    // Below the make check run, through a shell in another directory.
    run_result deep = start("/bin/sh", {"sh", "-c", "mkdir -p sub && make deep-check; true"});
    auto d = checked(deep);
    EXPECT_EQ(d["parent_comm"], "sh");
    EXPECT_EQ(d["configure_or_test"], "0") << "first argument of make is deep-check";
}

TEST_F(ancestry, MakeCheckAtAnyDepth)
{
    write_file(dir.sub("Makefile"), "check:\n\t@sh -c 'sh ./runner.sh; true'\n");
    script("runner.sh", "\"$DRIVER\"");
    auto v = checked(start("/usr/bin/make", {"make", "check"}));
    EXPECT_EQ(v["parent_comm"], "sh");
    EXPECT_EQ(v["configure_or_test"], "1");
}

TEST_F(ancestry, ConfigureScriptsAndConfigStatus)
{
    script("configure", "sh ./probe.sh");
    script("probe.sh", "\"$DRIVER\"");
    script("config.status", "\"$DRIVER\"");
    script("configure.ac", "\"$DRIVER\"");
    script("build.sh", "\"$DRIVER\"");
    write_file(dir.sub("dh_auto_configure"), "system($ENV{DRIVER}); exit 0;\n");

    // ./configure directly: its short name is configure, two levels up.
    auto direct = checked(start(dir.sub("configure"), {"./configure"}));
    EXPECT_EQ(direct["parent_comm"], "sh");
    EXPECT_EQ(direct["configure_or_test"], "1");

    auto via_sh = checked(start("/bin/sh", {"sh", "configure"}));
    EXPECT_EQ(via_sh["configure_or_test"], "1");

    auto status = checked(start("/bin/sh", {"sh", "./config.status", "--recheck"}));
    EXPECT_EQ(status["parent_comm"], "sh");
    EXPECT_EQ(status["configure_or_test"], "1");

    auto perl = checked(start("/usr/bin/perl", {"perl", dir.sub("dh_auto_configure")}));
    EXPECT_EQ(perl["configure_or_test"], "1");

    // Near misses: a base name that only begins with "config", a build script.
    EXPECT_EQ(checked(start("/bin/sh", {"sh", "./configure.ac"}))["configure_or_test"], "0");
    auto build = checked(start("/bin/sh", {"sh", "./build.sh"}));
    EXPECT_EQ(build["configure_or_test"], "0");
    EXPECT_EQ(build["valid_parent"], "1");
}

TEST_F(ancestry, LoginDaemonEndsTheWalk)
{
    make_tool_dir_link(dir.path(), "sshd", kDriver);
    make_tool_dir_link(dir.path(), "sshd2", kDriver);
    script("configure", "\"$DIR/sshd\" spawn \"$DRIVER\"\n\"$DIR/sshd2\" spawn \"$DRIVER\" > sshd2.out");
    auto v = checked(start(dir.sub("configure"), {"./configure"}));
    EXPECT_EQ(v["parent_comm"], "sshd");
    EXPECT_EQ(v["configure_or_test"], "0");
    // Control: the same chain through another name reaches configure.
    run_result other;
    other.out = read_file(dir.sub("sshd2.out"));
    auto o = report(other);
    EXPECT_EQ(o["parent_comm"], "sshd2");
    EXPECT_EQ(o["configure_or_test"], "1");
}

TEST_F(ancestry, ParentNamedWithBlanksAndParentheses)
{
    // A short name that fools a field-by-field reading of /proc/PID/stat
    // into taking "1" for the parent.
    const std::string odd = "my) S 1 2 (x";
    make_tool_dir_link(dir.path(), odd, kDriver);
    script("configure", "\"$DIR/" + odd + "\" spawn \"$DRIVER\"");
    auto v = checked(start(dir.sub("configure"), {"./configure"}));
    EXPECT_EQ(v["parent_comm"], odd);
    EXPECT_EQ(v["parent_ppid"], v["spawner.ppid"]);
    EXPECT_NE(v["parent_ppid"], "1");
    EXPECT_EQ(v["configure_or_test"], "1");
}

TEST_F(ancestry, ProcessesThatAreGone)
{
    auto v = under_parent("crond");
    EXPECT_EQ(v["self_ppid"], v["parent"]);
    EXPECT_EQ(v["gone_ppid"], "0");
    EXPECT_EQ(v["gone_info"], "-1");
    EXPECT_EQ(v["gone_exec"], "<null>");
    EXPECT_EQ(v["gone_configure"], "0");
    EXPECT_EQ(v["init_configure"], "0");
    EXPECT_EQ(v["parent_comm_len"], "6");  // "crond\n"
}

}  // namespace
