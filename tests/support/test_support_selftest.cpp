// Self-tests of the process/syslog harness: every other test trusts it, and
// a log test that is skipped or captures nothing would pass for nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <climits>
#include <fstream>

#include "ziv_check.h"

using namespace ziv_test;
using namespace std::string_literals;

namespace {

run_options sh(const std::string& script, bool capture_log = false)
{
    run_options o;
    o.exe = "/bin/sh";
    o.argv = {"sh", "-c", script};
    o.env = {"PATH=/usr/bin:/bin"};
    o.capture_log = capture_log;
    o.timeout_s = 30;
    return o;
}

bool has_cap_sys_admin()
{
    std::ifstream f("/proc/self/status");
    for (std::string line; std::getline(f, line);) {
        if (line.rfind("CapEff:", 0) == 0) {
            return (std::stoull(line.substr(7), nullptr, 16) >> 21) & 1;  // CAP_SYS_ADMIN
        }
    }
    return false;
}

}  // namespace

TEST(ZivRun, StreamsStatusEnvironmentArgv0AndDirectory)
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
    EXPECT_EQ(r.harness_error, "");

    r = run(sh("kill -TERM $$"));
    EXPECT_EQ(r.exit_code, -1) << describe(r);
    EXPECT_EQ(r.term_signal, SIGTERM);

    // Exactly the given environment, nothing of the test's own.
    setenv("ZIV_SELFTEST_MUST_NOT_LEAK", "1", 1);
    o = {};
    o.exe = "/usr/bin/env";
    o.argv = {"env"};
    o.env = {"A=1", "B=two words", "EMPTY="};
    EXPECT_EQ(run(o).out, "A=1\nB=two words\nEMPTY=\n");
    unsetenv("ZIV_SELFTEST_MUST_NOT_LEAK");

    // argv[0] is what the library takes the program name from.
    o.exe = "/bin/cat";
    o.argv = {"fancy name", "/proc/self/cmdline"};
    EXPECT_EQ(run(o).out, "fancy name\0/proc/self/cmdline\0"s);

    temp_dir td;
    char real[PATH_MAX];
    ASSERT_NE(realpath(td.path().c_str(), real), nullptr);
    o = sh("pwd -P");
    o.cwd = td.path();
    EXPECT_EQ(run(o).out, std::string(real) + "\n");

    o.exe = td.sub("does-not-exist");
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

// As root the log tests must run: a capture that is silently unavailable
// would turn every one of them into a skip.
TEST(ZivRunLog, AvailableWithCapSysAdmin)
{
    if (!has_cap_sys_admin()) {
        GTEST_SKIP() << "no CAP_SYS_ADMIN here";
    }
    std::string why;
    EXPECT_TRUE(log_capture_available(&why)) << why;
}

TEST(ZivRunLog, OrphanedGrandchildAndBulkMessagesAreCaptured)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    // The logger starts after the shell that started it has ended.
    run_result r = run(sh("sh -c 'sleep 0.3; exec logger -i -p local6.warning -t orphantag \"from: the orphan\"' &"
                          " echo $!",
                          true));
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    ASSERT_EQ(r.log.size(), 1u) << describe(r);
    EXPECT_EQ(r.log[0].priority, kWarning);
    EXPECT_EQ(r.log[0].ident, "orphantag");
    EXPECT_EQ(r.log[0].pid, atol(r.out.c_str()));
    EXPECT_EQ(r.log[0].sender_pid, r.log[0].pid);
    EXPECT_EQ(r.log[0].message, "from: the orphan");

    // None lost, in order.
    r = run(sh("seq 2000 | logger -t bulk", true));
    ASSERT_EQ(r.log.size(), 2000u) << describe(r);
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(r.log[size_t(i)].message, std::to_string(i + 1));
    }
}

TEST(ZivRunLog, PrivateDevServesProgramsAndTheHostIsUntouched)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    std::string mounts_before = read_file("/proc/self/mountinfo");
    run_result r = run(sh("test -S /dev/log && test -c /dev/null && echo x > /dev/null && head -c 16 /dev/urandom | "
                          "wc -c && test -w /dev/shm && test -e /dev/fd/0 && echo ok",
                          true));
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(r.out, "16\nok\n");
    EXPECT_TRUE(r.log.empty()) << describe(r);
    EXPECT_EQ(read_file("/proc/self/mountinfo"), mounts_before);
}

TEST(ZivRunHide, HiddenFileReadsEmptyInsideOnly)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    temp_dir td;
    std::string f = td.sub("secret.txt");
    write_file(f, "secret");
    run_options o = sh("cat '" + f + "'; stat -c '%s' '" + f + "'; echo more >> '" + f + "' || echo refused");
    o.hide_files = {f};
    run_result r = run(o);
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(r.out, "0\nrefused\n") << describe(r);
    EXPECT_EQ(read_file(f), "secret");

    o.hide_files = {td.sub("absent")};
    r = run(o);
    EXPECT_EQ(r.exit_code, -1);
    EXPECT_NE(r.harness_error.find("absent"), std::string::npos) << describe(r);
}

TEST(ParseLogDatagram, HeaderForms)
{
    struct {
        const char* raw;
        long sender;
        int priority;
        const char* ident;
        long pid;
        const char* message;
    } cases[] = {
        {"<13>Dec  6 08:21:00 tag[42]: hi: there", 42, 13, "tag", 42, "hi: there"},
        // The sender's pid ends an ident that itself holds ": ".
        {"<30>Feb 28 23:59:59 daemon: started[500]: odd", 500, 30, "daemon: started", 500, "odd"},
        // Without a matching pid the first ": " ends the ident.
        {"<30>Feb 28 23:59:59 daemon: started [7]: odd", 500, 30, "daemon", -1, "started [7]: odd"},
        {"<13>Dec 16 08:21:00 : m\n", 5, 13, "", -1, "m\n"},
        {"just text", 5, -1, "", -1, "just text"},
    };
    for (const auto& c : cases) {
        log_record l = parse_log_datagram(c.raw, c.sender);
        EXPECT_EQ(l.priority, c.priority) << c.raw;
        EXPECT_EQ(l.ident, c.ident) << c.raw;
        EXPECT_EQ(l.pid, c.pid) << c.raw;
        EXPECT_EQ(l.message, c.message) << c.raw;
    }
}

TEST(ZivFiles, TempDirWriteReadLinkAndCleanup)
{
    std::string kept;
    {
        temp_dir td;
        kept = td.path();
        write_file(td.sub("tool.sh"), "#!/bin/sh\necho tool \"$0\"\n", 0750);
        struct stat st;
        ASSERT_EQ(stat(td.sub("tool.sh").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0750u);
        std::string link = make_tool_dir_link(td.path(), "cc", td.sub("tool.sh"));
        run_options o;
        o.exe = link;
        o.argv = {"cc"};
        EXPECT_EQ(run(o).out, "tool " + link + "\n");
        EXPECT_THROW(read_file(td.sub("missing")), std::runtime_error);
    }
    EXPECT_FALSE(exists(kept));
}
