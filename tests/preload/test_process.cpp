// Parent and ancestor classification seen from real process chains: shells,
// make, configure scripts, config.status, test runs, login daemons, odd
// names, all started under the library.
#include <sys/stat.h>

#include <sstream>
#include <tuple>

#include "preload_env.h"

namespace ziv_test {
namespace {

class ancestry : public ::testing::Test {
protected:
    temp_dir dir;

    // What the probe's "ancestry" reported, somewhere below `exe`.
    std::map<std::string, std::string> start(const std::string& exe, const std::vector<std::string>& argv)
    {
        run_result r = run({.exe = exe, .argv = argv, .env = {"PATH=/usr/bin:/bin", "LD_PRELOAD=" + kLib,
                                                             "DRIVER=" + kProbe, "DIR=" + dir.path()},
                            .cwd = dir.path(), .timeout_s = 20});
        auto v = report(r);
        EXPECT_EQ(v["errno_changed"] + v["missing"], "") << describe(r);
        EXPECT_NE(v["valid_parent"], "") << describe(r);
        return v;
    }

    // The probe run as the child of a parent called `name` (not a shell).
    std::map<std::string, std::string> under_parent(const std::string& name, const std::string& where = "")
    {
        std::string parent = make_tool_dir_link(where.empty() ? dir.path() : where, name, kProbe);
        return start(parent, {name, "spawn", kProbe, "ancestry"});
    }

    // A /bin/sh script `name` in the directory whose body is `body`.
    void script(const std::string& name, const std::string& body)
    {
        write_file(dir.sub(name), "#!/bin/sh\n" + body + "\ntrue\n", 0755);
    }
};

TEST_F(ancestry, ParentQualifiesByShortName)
{
    // Not build parents: a daemon, near misses, a 15-character name that may
    // be a cut one, and a script's name on a program that is no shell.
    const std::pair<const char*, const char*> names[] = {
        {"1", "make gmake remake sh bash zsh ninja ccache perl configure build.sh gen.py rpm-tmp.12345 python3.11 "
              "a.b.sh"},
        {"0", "crond makex shell build.shx pythn rpm-tmp build-script.sh sh.build generate-config-headers"}};
    std::map<std::string, std::string> crond;
    for (const auto& [want, list] : names) {
        std::istringstream words(list);
        for (std::string name; words >> name;) {
            auto v = under_parent(name);
            crond = name == "crond" ? v : crond;
            EXPECT_EQ(v["valid_parent"], want) << name;
            EXPECT_EQ(v["parent_comm"], name.substr(0, 15));
            EXPECT_EQ(v["parent_exe"] + " " + v["parent_ppid"] + " " + v["parent"],
                      v["spawner.exe"] + " " + v["spawner.ppid"] + " " + v["spawner.pid"]);
        }
    }
    // Processes that are gone, and init.
    EXPECT_EQ(crond["self_ppid"], crond["parent"]);
    EXPECT_EQ(crond["gone"], "0 -1 <null> 0");
    EXPECT_EQ(crond["init_configure"], "0");
    EXPECT_EQ(crond["parent_comm_len"], "6");  // "crond\n"
}

// Shells, make, configure scripts, config.status and test runs: the chain
// above the probe, each a real process.
TEST_F(ancestry, ChainsOfShellsMakeConfigureAndTestRuns)
{
    const std::string probe = "\"$DRIVER\" ancestry";
    for (const char* name : {"generate-config-headers", "probe.sh", "config.status", "configure.ac", "build.sh"}) {
        script(name, probe);
    }
    script("configure", "sh ./probe.sh");
    write_file(dir.sub("dh_auto_configure"), "system(\"$ENV{DRIVER} ancestry\"); exit 0;\n");
    write_file(dir.sub("Makefile"), "all check test:\n\t@$(DRIVER) ancestry\n"
                                    "deep-check:\n\t@cd sub && sh -c '$(DRIVER) ancestry; true'\n");
    ASSERT_EQ(mkdir(dir.sub("sub").c_str(), 0755), 0);
    // Scratch directories where CMake and Meson probe the compiler.
    for (const char* scratch : {"CMakeFiles", "CMakeFiles/CMakeScratch", "CMakeFiles/CMakeScratch/TryCompile-ab12",
                                "CMakeFiles/3.25.1", "CMakeFiles/3.25.1/CompilerIdC", "meson-private",
                                "meson-private/tmpab12", "CMakeFiles/lib.dir"}) {
        ASSERT_EQ(mkdir(dir.sub(scratch).c_str(), 0755), 0);
        write_file(dir.sub(scratch) + "/Makefile", "all:\n\t@$(DRIVER) ancestry\n");
    }
    ASSERT_EQ(mkdir(dir.sub("runner").c_str(), 0755), 0);
    write_file(dir.sub("runner/Makefile"), "check:\n\t@sh -c 'sh ../probe.sh; true'\n");
    const std::string sh = "/bin/sh", make = "/usr/bin/make";
    const std::tuple<std::string, std::vector<std::string>, const char*> cases[] = {
        // The parent's short name, whether it is a valid parent, and whether
        // this is a configure or test run. The kernel keeps 15 characters of
        // a name; a script under a shell qualifies by its executable.
        {dir.sub("generate-config-headers"), {"generate-config-headers"}, "generate-config 1 0 /usr/bin/dash"},
        {sh, {"sh", "-c", "make; true"}, "make 1 0"},
        {make, {"make", "all"}, "make 1 0"},
        {make, {"make", "check"}, "make 1 1"},
        {make, {"make", "test"}, "make 1 1"},
        // Only the first argument of make counts, also deeper down.
        {make, {"make", "-j1", "check"}, "make 1 0"},
        {make, {"make", "-s", "test"}, "make 1 0"},
        {sh, {"sh", "-c", "make deep-check; true"}, "sh 1 0"},
        {sh, {"sh", "-c", "cd runner && make check; true"}, "sh 1 1"},
        // ./configure directly: configure is two levels up.
        {dir.sub("configure"), {"./configure"}, "sh 1 1"},
        {sh, {"sh", "configure"}, "sh 1 1"},
        {sh, {"sh", "./config.status", "--recheck"}, "sh 1 1"},
        {"/usr/bin/perl", {"perl", dir.sub("dh_auto_configure")}, "perl 1 1"},
        {make, {"make", "-C", "CMakeFiles/CMakeScratch/TryCompile-ab12"}, "make 1 1"},
        {make, {"make", "-C", "CMakeFiles/3.25.1/CompilerIdC"}, "make 1 1"},
        {make, {"make", "-C", "meson-private/tmpab12"}, "make 1 1"},
        {make, {"make", "-C", "meson-private"}, "make 1 1"},
        // Near misses: a name that only begins with "config", a build script,
        // a target's own directory of CMake.
        {sh, {"sh", "./configure.ac"}, "sh 1 0"},
        {sh, {"sh", "./build.sh"}, "sh 1 0"},
        {make, {"make", "-C", "CMakeFiles/lib.dir"}, "make 1 0"},
    };
    for (const auto& [exe, argv, want] : cases) {
        auto v = start(exe, argv);
        std::string got = v["parent_comm"] + " " + v["valid_parent"] + " " + v["configure_or_test"];
        EXPECT_EQ(got + (got.rfind("generate", 0) == 0 ? " " + v["parent_exe"] : ""), want) << argv.back();
    }
}

TEST_F(ancestry, LoginDaemonEndsTheWalkAndOddNamesAreRead)
{
    make_tool_dir_link(dir.path(), "sshd", kProbe);
    make_tool_dir_link(dir.path(), "sshd2", kProbe);
    script("configure",
           "\"$DIR/sshd\" spawn \"$DRIVER\" ancestry\n\"$DIR/sshd2\" spawn \"$DRIVER\" ancestry > sshd2.out");
    auto v = start(dir.sub("configure"), {"./configure"});
    EXPECT_EQ(v["parent_comm"] + " " + v["configure_or_test"], "sshd 0");
    // Control: the same chain through another name reaches configure.
    run_result control;
    control.out = read_file(dir.sub("sshd2.out"));
    auto o = report(control);
    EXPECT_EQ(o["parent_comm"] + " " + o["configure_or_test"], "sshd2 1");

    // A short name that fools a field-by-field reading of /proc/PID/stat into
    // taking "1" for the parent.
    const std::string odd = "my) S 1 2 (x";
    make_tool_dir_link(dir.path(), odd, kProbe);
    script("configure", "\"$DIR/" + odd + "\" spawn \"$DRIVER\" ancestry");
    auto odd_v = start(dir.sub("configure"), {"./configure"});
    EXPECT_EQ(odd_v["parent_comm"], odd);
    EXPECT_EQ(odd_v["parent_ppid"], odd_v["spawner.ppid"]);
    EXPECT_NE(odd_v["parent_ppid"], "1");
    EXPECT_EQ(odd_v["configure_or_test"], "1");
}

}  // namespace
}  // namespace ziv_test
