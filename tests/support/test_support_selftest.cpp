// Self-test of the syslog capture: a log test that is skipped, or that
// captures nothing or loses messages, would pass its "no such message"
// checks for nothing. (The process side of the harness is exercised by every
// other test: a fault there fails or times them out.)
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

#include "ziv_check.h"

using namespace ziv_test;

namespace {

run_options sh(const std::string& script)
{
    return {.exe = "/bin/sh", .argv = {"sh", "-c", script}, .env = {"PATH=/usr/bin:/bin"}, .capture_log = true,
            .timeout_s = 30};
}

}  // namespace

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
                          " echo $!"));
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    ASSERT_EQ(r.log.size(), 1u) << describe(r);
    EXPECT_EQ(r.log[0].priority, kWarning);
    EXPECT_EQ(r.log[0].ident, "tag: x");
    EXPECT_EQ(r.log[0].pid, atol(r.out.c_str()));
    EXPECT_EQ(r.log[0].sender_pid, r.log[0].pid);
    EXPECT_EQ(r.log[0].message, "from: the orphan");

    // None lost, in order.
    r = run(sh("seq 2000 | logger -t bulk"));
    ASSERT_EQ(r.log.size(), 2000u) << describe(r);
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(r.log[size_t(i)].message, std::to_string(i + 1));
    }

    // The private /dev serves programs; the host's mounts are untouched.
    std::string mounts_before = read_file("/proc/self/mountinfo");
    r = run(sh("test -S /dev/log && echo x > /dev/null && head -c 16 /dev/urandom | wc -c && test -w /dev/shm && "
               "test -e /dev/fd/0 && echo ok"));
    EXPECT_EQ(r.out, "16\nok\n") << describe(r);
    EXPECT_TRUE(r.log.empty()) << describe(r);
    EXPECT_EQ(read_file("/proc/self/mountinfo"), mounts_before);
}
