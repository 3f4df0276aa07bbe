// Self-tests of the process/syslog harness: every other test trusts it, and
// a log test that is skipped or captures nothing would pass for nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <fstream>

#include "ziv_check.h"

using namespace ziv_test;
using namespace std::string_literals;

namespace {

run_options sh(const std::string& script, bool capture_log = false)
{
    return {.exe = "/bin/sh", .argv = {"sh", "-c", script}, .env = {"PATH=/usr/bin:/bin"},
            .capture_log = capture_log, .timeout_s = 30};
}

}  // namespace

TEST(ZivRun, StreamsStatusAndStartFailures)
{
    // Large streams both ways must not deadlock.
    std::string data(1 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>((i * 2654435761u) >> 13);
    }
    run_options o = sh("cat; head -c 300000 /dev/zero >&2; exit 7");
    o.stdin_data = data;
    run_result r = run(o);
    EXPECT_EQ(r.exit_code, 7) << describe(r);
    EXPECT_TRUE(r.out == data) << "stdout differs, size " << r.out.size();
    EXPECT_EQ(r.err, std::string(300000, '\0'));
    // A program that reads nothing of a large input.
    o = sh("exit 3");
    o.stdin_data = data;
    EXPECT_EQ(run(o).exit_code, 3);

    r = run(sh("kill -TERM $$"));
    EXPECT_EQ(r.exit_code, -1) << describe(r);
    EXPECT_EQ(r.term_signal, SIGTERM);

    // A program that cannot start is the harness's error. (The exact
    // environment, argv[0] and directory are checked by every other test.)
    o = sh("exit 0");
    o.exe = "/nonexistent/program";
    r = run(o);
    EXPECT_EQ(r.exit_code, -1);
    EXPECT_NE(r.harness_error.find("execve"), std::string::npos) << describe(r);
}

TEST(ZivRun, WaitsForLeftoversAndKillsTheTreeAtTheTimeout)
{
    // The leftover holds none of the captured pipes; only the reaper sees it.
    temp_dir td;
    std::string mark = td.sub("mark");
    run_result r = run(sh("(exec >/dev/null 2>&1 </dev/null; sleep 1; echo done > '" + mark + "') & echo started"));
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(read_file(mark), "done\n");

    // The background sleep gets its own session, so only the reaper finds it.
    run_options o = sh("setsid sleep 300 & echo $!; exec sleep 300");
    o.timeout_s = 1;
    auto t0 = std::chrono::steady_clock::now();
    r = run(o);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 15.0);
    EXPECT_TRUE(r.timed_out) << describe(r);
    EXPECT_EQ(r.term_signal, SIGKILL);
    long escaped = atol(r.out.c_str());
    ASSERT_GT(escaped, 1) << describe(r);
    EXPECT_EQ(kill(pid_t(escaped), 0), -1) << "the setsid'd sleep survived the timeout";
}

TEST(ZivRunLog, CapturedExactlyInAPrivateDev)
{
    // As root the log tests must run: a capture that is silently unavailable
    // would turn every one of them into a skip.
    std::ifstream status("/proc/self/status");
    bool sys_admin = false;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("CapEff:", 0) == 0) {
            sys_admin = (std::stoull(line.substr(7), nullptr, 16) >> 21) & 1;
        }
    }
    std::string why;
    EXPECT_TRUE(!sys_admin || log_capture_available(&why)) << why;
    ZIV_REQUIRE_LOG_CAPTURE();

    // The logger starts after the shell that started it has ended; its ident
    // and message hold ": ".
    run_result r = run(sh("sh -c 'sleep 0.3; exec logger -i -p local6.warning -t \"tag: x\" \"from: the orphan\"' &"
                          " echo $!",
                          true));
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    ASSERT_EQ(r.log.size(), 1u) << describe(r);
    EXPECT_EQ(r.log[0].priority, kWarning);
    EXPECT_EQ(r.log[0].ident, "tag: x");
    EXPECT_EQ(r.log[0].pid, atol(r.out.c_str()));
    EXPECT_EQ(r.log[0].sender_pid, r.log[0].pid);
    EXPECT_EQ(r.log[0].message, "from: the orphan");

    // None lost, in order.
    r = run(sh("seq 2000 | logger -t bulk", true));
    ASSERT_EQ(r.log.size(), 2000u) << describe(r);
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(r.log[size_t(i)].message, std::to_string(i + 1));
    }

    // The private /dev serves programs; the host's mounts are untouched.
    std::string mounts_before = read_file("/proc/self/mountinfo");
    r = run(sh("test -S /dev/log && echo x > /dev/null && head -c 16 /dev/urandom | wc -c && test -w /dev/shm && "
               "test -e /dev/fd/0 && echo ok",
               true));
    EXPECT_EQ(r.out, "16\nok\n") << describe(r);
    EXPECT_TRUE(r.log.empty()) << describe(r);
    EXPECT_EQ(read_file("/proc/self/mountinfo"), mounts_before);
}
