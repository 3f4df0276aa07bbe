// File identification inside real processes under the library: forwarding
// to extra build tools with LD_PRELOAD cleaned up, messages, detached commands.
#include "preload_env.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace ziv_test {
namespace {

const std::string kDriver = ZIV_FILE_UTIL_DRIVER;

struct driver_run {
    std::vector<std::string> args{};
    std::vector<std::string> env{};  // on top of PATH
    std::string preload = kLib;    // empty: no LD_PRELOAD at all
    bool capture_log = false;
    std::string cwd{};
};

run_result run_driver(const driver_run& d)
{
    run_options o;
    o.exe = kDriver;
    o.argv = {"driver"};
    o.argv.insert(o.argv.end(), d.args.begin(), d.args.end());
    o.env = {"PATH=/usr/bin:/bin"};
    if (!d.preload.empty()) {
        o.env.push_back("LD_PRELOAD=" + d.preload);
    }
    o.env.insert(o.env.end(), d.env.begin(), d.env.end());
    o.capture_log = d.capture_log;
    o.cwd = d.cwd;
    return run(o);
}

TEST(FileUtilPreload, ForwardedToolGetsIdAndArgumentsWithoutTheLibrary)
{
    temp_dir dir;
    std::string tool = make_tool_dir_link(dir.path(), "report-tool", kDriver);
    // Another preloaded library stays; only this one is taken out, and only
    // in the tool's process.
    std::string preload = "/lib/x86_64-linux-gnu/libm.so.6 " + kLib;
    // The tool's argv: itself, the id, then the program's arguments.
    std::vector<std::string> tool_argv = {tool, "42", "gcc", "-c", "a b.c", "x;touch pwned", "$(id)", ""};
    std::vector<std::string> args = {"forward"};
    args.insert(args.end(), tool_argv.begin(), tool_argv.end());
    run_result r = run_driver({.args = args, .preload = preload, .cwd = dir.path()});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    auto v = report(r);
    EXPECT_EQ(v["lib_loaded"], "1");
    EXPECT_EQ(v["tool.argc"], "8");
    for (size_t i = 0; i < tool_argv.size(); ++i) {
        EXPECT_EQ(v["tool.arg" + std::to_string(i)], tool_argv[i]) << i;
    }
    EXPECT_EQ(v["tool.ld_preload"], "/lib/x86_64-linux-gnu/libm.so.6 ");
    EXPECT_EQ(v["tool.lib_loaded"], "0");
    // The program itself keeps its environment and errno, and went on only
    // after the tool had finished.
    EXPECT_EQ(v["parent.ld_preload"], preload);
    EXPECT_EQ(v["errno"], "1234");
    EXPECT_LT(r.out.find("tool.lib_loaded="), r.out.find("errno="));
    EXPECT_NE(access(dir.sub("pwned").c_str(), F_OK), 0);
}

TEST(FileUtilPreload, ForwardingToAMissingToolLeavesTheProgramAlone)
{
    temp_dir dir;
    run_result r = run_driver({.args = {"forward", dir.sub("no-such-tool"), "7", "gcc"}});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    auto v = report(r);
    EXPECT_EQ(v["errno"], "1234");
    // The failed child ended without printing or running the program on.
    EXPECT_EQ(r.out.find("errno="), r.out.rfind("errno="));
    EXPECT_EQ(r.out.find("tool."), std::string::npos);
}

TEST(FileUtilPreload, WaitpidFailureIsLoggedWhateverTheLogLevel)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    temp_dir dir;
    std::string tool = make_tool_dir_link(dir.path(), "report-tool", kDriver);
    run_result r = run_driver({.args = {"forward", tool, "1"}, .env = {"IGNORE_SIGCHLD=1"}, .capture_log = true});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(report(r)["tool.arg1"], "1");
    const log_record* rec = find_message(r, "waitpid error ...");
    ASSERT_NE(rec, nullptr) << describe(r);
    // The library's own ident, and no facility bits at all.
    EXPECT_EQ(rec->ident, "ziv_env");
    EXPECT_EQ(rec->priority, LOG_INFO);
}

TEST(FileUtilPreload, FileContentMessages)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    temp_dir dir;
    write_file(dir.sub("p.patch"), "--- a\n+++ b\n");
    run_result ok = run_driver({.args = {"content", dir.sub("p.patch")}, .env = {"ZIV_LOG=yes"}, .capture_log = true});
    EXPECT_EQ(report(ok)["content"], "--- a");
    EXPECT_EQ(count_message(ok, "open patch file failed, function ziv_get_file_content line 580\n"), 0);

    run_result bad = run_driver({.args = {"content", dir.sub("none")}, .env = {"ZIV_LOG=yes"}, .capture_log = true});
    EXPECT_EQ(report(bad)["content"], "<null>");
    const log_record* rec = find_message(bad, "open patch file failed, function ziv_get_file_content line 580\n");
    ASSERT_NE(rec, nullptr) << describe(bad);
    EXPECT_EQ(rec->priority, kInfo);

    run_result quiet = run_driver({.args = {"content", dir.sub("none")}, .capture_log = true});
    EXPECT_EQ(count_message(quiet, "open patch file failed, function ziv_get_file_content line 580\n"), 0);
}

TEST(FileUtilPreload, BackgroundCommandRunsDetached)
{
    temp_dir dir;
    std::string marker = dir.sub("marker");
    // "<second> <first>": the two texts form the command line.
    run_result r = run_driver({.args = {"default", marker, "sleep 0.2; touch"}, .cwd = dir.path()});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(report(r)["returned"], "1");
    // The harness waits for every process the driver left behind.
    EXPECT_EQ(access(marker.c_str(), F_OK), 0) << describe(r);
}

}  // namespace
}  // namespace ziv_test
