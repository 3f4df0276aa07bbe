// Start and end of real processes under the library: messages, the
// once-only end work, exit paths, errno, and loading SQLite.
#include <unistd.h>

#include "preload_env.h"

namespace ziv_test {
namespace {

TEST(Lifecycle, StartAndEndAreLoggedOnceWithTheVersion)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    run_result r = run_probe({.name = "gcc", .commands = {"cfg"}, .env = {"ZIV_LOG=yes", "ZIV_DIRLIST=ld gcc"},
                              .capture_log = true});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    std::vector<std::string> texts = messages(r);
    ASSERT_GE(texts.size(), 3u) << describe(r);
    EXPECT_EQ(texts.front(), start_message("gcc"));
    EXPECT_EQ(texts[1], " progress gcc mask 0x40\n");
    EXPECT_EQ(texts.back(), end_message("gcc"));
    EXPECT_EQ(count_message(r, end_message("gcc")), 1);
    for (const log_record& rec : r.log) {
        EXPECT_EQ(rec.priority, kInfo) << rec.raw;
        EXPECT_EQ(rec.ident, "ziv_env");
        EXPECT_EQ(rec.pid, rec.sender_pid);
    }
}

TEST(Lifecycle, NothingIsLoggedWithoutALogLevel)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    // Bad values that would each produce a message at a non-zero level.
    run_result r = run_probe({.name = "gcc",
                              .commands = {"cfg", "stack"},
                              .env = {"ZIV_LOG=no", "ZIV_INOLIST=gcc", "ZIV_INODE=-5", "ZIV_NAMELIST=gcc",
                                      "ZIV_HOSTNAME=" + std::string(64, 'h'), "ZIV_TIME=2022/02/28"},
                              .capture_log = true});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_TRUE(r.log.empty()) << describe(r);
    EXPECT_EQ(report(r)["hostname"], "ZIV_LINUX");
}

TEST(Lifecycle, ExitPathsDoTheEndWorkOnceAndKeepTheStatus)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    struct exit_case {
        std::vector<std::string> commands;
        int status;
    } cases[] = {
        {{"atexit", "_exit", "3"}, 3},
        {{"atexit", "_Exit", "5"}, 5},
        {{"atexit"}, 0},
        {{"fini", "atexit"}, 0},
    };
    for (const exit_case& c : cases) {
        run_result r = run_probe({.name = "make", .commands = c.commands, .env = {"ZIV_LOG=yes"}, .capture_log = true});
        SCOPED_TRACE(c.commands.back());
        EXPECT_EQ(r.exit_code, c.status) << describe(r);
        EXPECT_EQ(count_message(r, end_message("make")), 1) << describe(r);
        EXPECT_EQ(messages(r).back(), end_message("make"));
        // _exit and _Exit end the process without the program's exit handlers.
        bool direct = c.status != 0;
        EXPECT_EQ(r.out.find("atexit ran") == std::string::npos, direct) << r.out;
    }
}

TEST(Lifecycle, ForkedChildDoesNoEndWork)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    run_result r = run_probe({.name = "tar", .commands = {"fork"}, .env = {"ZIV_LOG=yes"}, .capture_log = true});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    ASSERT_NE(r.out.find("child "), std::string::npos) << r.out;
    long parent = std::stol(r.out.substr(r.out.find("parent ") + 7));
    long child = std::stol(r.out.substr(r.out.find("child ") + 6));
    ASSERT_NE(parent, child);
    int ends = 0;
    for (const log_record& rec : r.log) {
        if (rec.message == end_message("tar")) {
            ++ends;
            EXPECT_EQ(rec.pid, parent) << "end work done by the forked child";
        }
        EXPECT_NE(rec.pid, child) << rec.raw;
    }
    EXPECT_EQ(ends, 1) << describe(r);
}

TEST(Lifecycle, ErrnoIsThePrograms)
{
    std::vector<std::string> busy_env = {"ZIV_LOG=yes", "ZIV_TIME=bad", "ZIV_INOLIST=gcc", "ZIV_INODE=-3",
                                         "ZIV_TRACE_ENABLE=yes", "ZIV_DIRLIST=gcc"};
    run_result plain = run_probe({.name = "gcc", .commands = {"errno-main"}, .preload = false});
    run_result loaded = run_probe({.name = "gcc", .commands = {"errno-main", "errno-kept", "fini"}, .env = busy_env});
    ASSERT_EQ(plain.exit_code, 0) << describe(plain);
    ASSERT_EQ(loaded.exit_code, 0) << describe(loaded);
    auto v = report(loaded);
    EXPECT_EQ(v["errno at main"], report(plain)["errno at main"]);
    for (const char* fn : {"is_in_ziv_process_list", "ziv_get_program_mask", "ziv_dlsym_sqlite3",
                           "ziv_get_stack_info", "ziv_libc_getpid", "ziv_get_trace_map"}) {
        EXPECT_EQ(v[std::string("errno after ") + fn], "4321") << fn;
    }
    EXPECT_EQ(v["errno after ziv_fini"], "77");
}

TEST(Lifecycle, SqliteLoadingDecidesWhetherTracingStaysOn)
{
    run_result real = run_probe({.name = "gcc", .commands = {"cfg", "sqlite"}, .env = {"ZIV_TRACE_ENABLE=yes"}});
    ASSERT_EQ(real.exit_code, 0) << describe(real);
    EXPECT_NE(real.out.find("trace_enable=1\n"), std::string::npos);
    EXPECT_EQ(report(real)["trace_enable"], "1");

    // A library that lacks one entry point switches tracing off; it stays
    // loaded until the end work closes it.
    std::string fake_dir = ZIV_FAKE_SQLITE_DIR;
    run_result lacking = run_probe({.name = "gcc",
                                    .commands = {"sqlite", "maps", fake_dir, "fini", "maps", fake_dir},
                                    .env = {"ZIV_TRACE_ENABLE=yes", "LD_LIBRARY_PATH=" + fake_dir}});
    ASSERT_EQ(lacking.exit_code, 0) << describe(lacking);
    EXPECT_EQ(report(lacking)["trace_enable"], "0");
    size_t loaded = lacking.out.find("maps " + fake_dir + "=1");
    size_t closed = lacking.out.find("maps " + fake_dir + "=0");
    EXPECT_NE(loaded, std::string::npos) << lacking.out;
    EXPECT_NE(closed, std::string::npos) << lacking.out;
    EXPECT_LT(loaded, closed) << lacking.out;
}

TEST(Lifecycle, MissingSqliteSwitchesTracingOff)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    char real_path[4096];
    ASSERT_NE(realpath("/usr/lib/x86_64-linux-gnu/libsqlite3.so.0", real_path), nullptr);
    run_result r = run_probe({.name = "gcc", .commands = {"sqlite"}, .env = {"ZIV_TRACE_ENABLE=yes"},
                              .hide_files = {real_path}});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(report(r)["trace_enable"], "0");
}

TEST(Lifecycle, BacktracesOnlyAtTheBacktraceLevel)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    for (const char* level : {"backtrace", "yes"}) {
        run_result r = run_probe({.name = "ld", .commands = {"stack"}, .env = {std::string("ZIV_LOG=") + level},
                                  .capture_log = true});
        ASSERT_EQ(r.exit_code, 0) << describe(r);
        int frames = 0;
        for (const std::string& text : messages(r)) {
            frames += text.rfind("ld probe-tag backtrace ", 0) == 0 ? 1 : 0;
        }
        if (std::string(level) == "backtrace") {
            EXPECT_GE(frames, 2) << describe(r);
        } else {
            EXPECT_EQ(frames, 0) << describe(r);
        }
    }
}

TEST(Lifecycle, ProgramsRunUnchangedUnderTheLibrary)
{
    // A real tool: same output, same status, with everything switched on.
    run_options o;
    o.exe = "/bin/sh";
    o.argv = {"sh", "-c", "printf 'a b\\n'; echo err >&2; exit 7"};
    o.env = {"PATH=/usr/bin:/bin"};
    run_result plain = run(o);
    o.env.push_back("LD_PRELOAD=" + kLib);
    o.env.push_back("ZIV_DIRLIST=sh");
    o.env.push_back("ZIV_TRACE_ENABLE=yes");
    run_result loaded = run(o);
    EXPECT_EQ(plain.exit_code, 7);
    EXPECT_EQ(loaded.exit_code, plain.exit_code);
    EXPECT_EQ(loaded.out, plain.out);
    EXPECT_EQ(loaded.err, plain.err);
}

}  // namespace
}  // namespace ziv_test
