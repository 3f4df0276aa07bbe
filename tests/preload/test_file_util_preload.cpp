// File identification inside real processes under the library: forwarding
// to extra build tools with LD_PRELOAD cleaned up, messages, detached commands.
#include <syslog.h>

#include "preload_env.h"

namespace ziv_test {
namespace {

TEST(FileUtilPreload, ForwardedToolGetsIdAndArgumentsWithoutTheLibrary)
{
    temp_dir dir;
    std::string tool = make_tool_dir_link(dir.path(), "report-tool", kProbe);
    // Another preloaded library stays; only this one is taken out, and only in
    // the tool's process. The tool's argv: itself, the id, then the program's
    // arguments, which hold blanks and shell characters that must run nothing.
    std::string preload = "/lib/x86_64-linux-gnu/libm.so.6 " + kLib;
    std::vector<std::string> tool_argv = {tool, "42", "gcc", "-c", "a b.c", "x;touch pwned", "$(id)", ""};
    probe_case c{"driver", {"forward"}, {}, {"lib_loaded=1", "tool.argc=8", "tool.lib_loaded=0",
                                             "tool.ld_preload=/lib/x86_64-linux-gnu/libm.so.6",
                                             // The program keeps its environment and errno.
                                             "parent.ld_preload=" + preload, "errno=1234"},
                 preload};
    c.commands.insert(c.commands.end(), tool_argv.begin(), tool_argv.end());
    for (size_t i = 0; i < tool_argv.size(); ++i) {
        c.expect.push_back("tool.arg" + std::to_string(i) + "=" + tool_argv[i]);
    }
    run_result r = check(c).run;
    // The program went on only after the tool had finished.
    EXPECT_LT(r.out.find("tool.lib_loaded="), r.out.find("errno="));
    EXPECT_FALSE(exists("pwned"));  // in the directory the program ran in

    // A missing tool: the failed child ended without printing or running the
    // program on.
    r = check({"driver", {"forward", dir.sub("no-such-tool"), "7", "gcc"}, {}, {"errno=1234"}}).run;
    EXPECT_EQ(r.out.find("errno="), r.out.rfind("errno="));
    EXPECT_EQ(r.out.find("tool."), std::string::npos);
}

TEST(FileUtilPreload, WaitpidFailureIsLoggedWhateverTheLogLevel)
{
    temp_dir dir;
    std::string tool = make_tool_dir_link(dir.path(), "report-tool", kProbe);
    // The library's own ident, and no facility bits at all.
    check({"driver", {"forward", tool, "1"}, {"IGNORE_SIGCHLD=1"},
           {"tool.arg1=1", "@" + std::to_string(LOG_INFO) + ":waitpid error ..."}});
}

TEST(FileUtilPreload, FileContentMessages)
{
    temp_dir dir;
    write_file(dir.sub("p.patch"), "--- a\n+++ b\n");
    const std::string failed = "open patch file failed, function ziv_get_file_content line 580\n";
    check_all({
        {"driver", {"content", dir.sub("p.patch")}, {"ZIV_LOG=yes"}, {"content=--- a", "#0:" + failed}},
        {"driver", {"content", dir.sub("none")}, {"ZIV_LOG=yes"}, {"content=<null>", "@182:" + failed}},
        {"driver", {"content", dir.sub("none")}, {}, {"content=<null>", "#0:" + failed}},
    });
}

TEST(FileUtilPreload, BackgroundCommandRunsDetached)
{
    // "<second> <first>": the two texts form the command line. The harness
    // waits for every process the program left behind.
    temp_dir dir;
    check({"driver", {"default", dir.sub("marker"), "sleep 0.2; touch"}, {}, {"returned=1"}});
    EXPECT_TRUE(exists(dir.sub("marker")));
}

}  // namespace
}  // namespace ziv_test
