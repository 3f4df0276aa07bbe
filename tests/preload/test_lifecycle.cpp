// Start and end of real processes under the library: messages, the
// once-only end work, exit paths, errno, and loading SQLite.
#include <stdlib.h>

#include "preload_env.h"

namespace ziv_test {
namespace {

TEST(Lifecycle, StartEndAndExitPaths)
{
    const std::string end = end_message("make");
    const std::vector<std::string> log = {"ZIV_LOG=yes"};
    check_all({
        {"gcc", {"cfg"}, {"ZIV_LOG=yes", "ZIV_DIRLIST=ld gcc"},
         {"log.first=" + start_message("gcc"), "#1: progress gcc mask 0x40\n", "log.last=" + end_message("gcc"),
          "#1:" + end_message("gcc"), "log.priorities=182"}},
        // _exit and _Exit do the end work once, keep the status and skip the
        // program's exit handlers.
        {"make", {"atexit", "_exit", "3"}, log, {"exit=3", "#1:" + end, "log.last=" + end, "atexit="}},
        {"make", {"atexit", "_Exit", "5"}, log, {"exit=5", "#1:" + end, "log.last=" + end, "atexit="}},
        {"make", {"atexit"}, log, {"#1:" + end, "log.last=" + end, "atexit=ran"}},
        {"make", {"fini", "atexit"}, log, {"#1:" + end, "log.last=" + end, "atexit=ran", "errno_after_fini=77"}},
    });
}

TEST(Lifecycle, ErrnoIsThePrograms)
{
    std::string plain = check({"gcc", {"errno"}, {}, {}, ""}).v["errno_at_main"];
    ASSERT_NE(plain, "");
    // Every exported entry point and interposer keeps errno: listed, while
    // the library is busy with bad values, messages and tracing, replaying,
    // and unlisted.
    check_all({
        {"gcc", {"errno"},
         {"ZIV_LOG=yes", "ZIV_TIME=bad", "ZIV_INOLIST=gcc", "ZIV_INODE=-3", "ZIV_TRACE_ENABLE=yes", "ZIV_DIRLIST=gcc",
          "ZIV_RANDOMLIST=gcc", "ZIV_UIDLIST=gcc", "ZIV_NAMELIST=gcc", "ZIV_SYSINFOLIST=gcc", "ZIV_SYSINFO_PROCS=3"},
         {"errno_at_main=" + plain, "errno.bad=", "log.size!=0"}},
        {"gcc", {"errno"}, {"ZIV_REPLAYLIST=gcc", "ZIV_LOG=yes"}, {"errno.bad=", "log.size!=0"}},
        {"gcc", {"errno"}, {}, {"errno.bad="}},
    });
}

TEST(Lifecycle, SqliteLoadingDecidesWhetherTracingStaysOn)
{
    const std::string fake = ZIV_FAKE_SQLITE_DIR;
    // A file the loader finds first and cannot load: as good as none.
    temp_dir broken;
    write_file(broken.sub("libsqlite3.so.0"), "");
    check_all({
        {"gcc", {"cfg", "sqlite"}, {"ZIV_TRACE_ENABLE=yes"}, {"trace_enable=1"}},
        // A library that lacks one entry point switches tracing off; it stays
        // loaded until the end work closes it.
        {"gcc", {"sqlite", "maps", "before", fake, "fini", "maps", "after", fake},
         {"ZIV_TRACE_ENABLE=yes", "LD_LIBRARY_PATH=" + fake}, {"trace_enable=0", "maps.before=1", "maps.after=0"}},
        // No SQLite that loads.
        {"gcc", {"sqlite"}, {"ZIV_TRACE_ENABLE=yes", "LD_LIBRARY_PATH=" + broken.path()}, {"trace_enable=0"}},
    });
}

TEST(Lifecycle, BacktracesOnlyAtTheBacktraceLevel)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    probe_result p = check({"ld", {"stack"}, {"ZIV_LOG=backtrace"}, {"log.priorities=182"}});
    EXPECT_GE(count_prefix(p.run, "ld probe-tag backtrace "), 2) << describe(p.run);
    check({"ld", {"stack"}, {"ZIV_LOG=yes"}, {"^0:ld probe-tag backtrace "}});
}

}  // namespace
}  // namespace ziv_test
