// Self-tests of the process/syslog harness: every other preload test trusts it.
#include <gtest/gtest.h>
#include <dirent.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <fstream>
#include <sstream>

#include "ziv_run.h"

using namespace ziv_test;
using namespace std::string_literals;

namespace {

const std::vector<std::string> kPathEnv = {"PATH=/usr/bin:/bin"};

run_options sh(const std::string& script) {
  run_options o;
  o.exe = "/bin/sh";
  o.argv = {"sh", "-c", script};
  o.env = kPathEnv;
  o.timeout_s = 30;
  return o;
}

run_options emitter(std::vector<std::string> args) {
  run_options o;
  o.exe = ZIV_SYSLOG_EMITTER;
  o.argv = std::move(args);
  o.env = {};
  o.capture_log = true;
  o.timeout_s = 30;
  return o;
}

#define REQUIRE_LOG_CAPTURE()                                              \
  do {                                                                     \
    std::string why_;                                                      \
    if (!log_capture_available(&why_)) GTEST_SKIP() << "no log capture: " << why_; \
  } while (0)

std::vector<std::string> dev_listing() {
  std::vector<std::string> names;
  DIR* d = opendir("/dev");
  if (!d) return names;
  while (dirent* e = readdir(d)) names.push_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

bool has_cap_sys_admin() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("CapEff:", 0) == 0) {
      unsigned long long caps = std::stoull(line.substr(7), nullptr, 16);
      return (caps >> 21) & 1;  // CAP_SYS_ADMIN
    }
  }
  return false;
}

}  // namespace

// ---- plain process control -------------------------------------------------

TEST(ZivRun, ExitCodeOutputErrorAndStdin) {
  run_options o = sh("cat; printf 'to err' >&2; exit 7");
  o.stdin_data = "line one\nline two\n";
  run_result r = run(o);
  EXPECT_EQ(r.exit_code, 7) << describe(r);
  EXPECT_EQ(r.term_signal, 0);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.out, "line one\nline two\n");
  EXPECT_EQ(r.err, "to err");
  EXPECT_EQ(r.harness_error, "");
  EXPECT_TRUE(r.log.empty());
}

TEST(ZivRun, TerminationSignalIsReported) {
  run_result r = run(sh("kill -TERM $$"));
  EXPECT_EQ(r.exit_code, -1) << describe(r);
  EXPECT_EQ(r.term_signal, SIGTERM);
  EXPECT_FALSE(r.timed_out);
}

TEST(ZivRun, EmptyStdinIsClosedNotLeftOpen) {
  run_options o;
  o.exe = "/bin/cat";
  o.argv = {"cat"};
  o.timeout_s = 20;
  run_result r = run(o);
  EXPECT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.out, "");
}

TEST(ZivRun, LargeStreamsInBothDirectionsDoNotDeadlock) {
  std::string data;
  data.reserve(4 << 20);
  unsigned x = 12345;
  while (data.size() < (4u << 20)) {
    x = x * 1103515245u + 12345u;
    data.push_back(char(x >> 16));
  }
  run_options o = sh("cat; head -c 3000000 /dev/zero >&2; cat /dev/null");
  o.stdin_data = data;
  run_result r = run(o);
  ASSERT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_TRUE(r.out == data) << "stdout differs, size " << r.out.size();
  EXPECT_EQ(r.err, std::string(3000000, '\0'));
}

TEST(ZivRun, EnvironmentIsExactlyWhatWasGiven) {
  setenv("ZIV_SELFTEST_MUST_NOT_LEAK", "1", 1);
  run_options o;
  o.exe = "/usr/bin/env";
  o.argv = {"env"};
  o.env = {"A=1", "B=two words", "EMPTY=", "WEIRD=x=y"};
  run_result r = run(o);
  EXPECT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_EQ(r.out, "A=1\nB=two words\nEMPTY=\nWEIRD=x=y\n");

  o.env = {};
  r = run(o);
  EXPECT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_EQ(r.out, "");
  unsetenv("ZIV_SELFTEST_MUST_NOT_LEAK");
}

TEST(ZivRun, Argv0IsWhatWasGiven) {
  // The kernel's record of the argument vector, read by the process itself.
  run_options o;
  o.exe = "/bin/cat";
  o.argv = {"fancy name with spaces", "/proc/self/cmdline"};
  run_result r = run(o);
  EXPECT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_EQ(r.out, "fancy name with spaces\0/proc/self/cmdline\0"s);

  o.argv = {"", "/proc/self/cmdline"};
  r = run(o);
  EXPECT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_EQ(r.out, "\0/proc/self/cmdline\0"s);

  run_options s = sh("printf '%s|' \"$0\" \"$@\"");
  s.argv.insert(s.argv.end(), {"my name", "a", "b c"});
  r = run(s);
  EXPECT_EQ(r.out, "my name|a|b c|") << describe(r);
}

TEST(ZivRun, WorkingDirectory) {
  temp_dir td;
  char real[PATH_MAX];
  ASSERT_NE(realpath(td.path().c_str(), real), nullptr);
  run_options o = sh("pwd -P");
  o.cwd = td.path();
  run_result r = run(o);
  EXPECT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_EQ(r.out, std::string(real) + "\n");
}

TEST(ZivRun, ExecFailureIsLoud) {
  temp_dir td;
  run_options o;
  o.exe = td.sub("does-not-exist");
  o.argv = {"x"};
  run_result r = run(o);
  EXPECT_EQ(r.exit_code, -1);
  EXPECT_NE(r.harness_error.find("execve"), std::string::npos) << describe(r);
  EXPECT_NE(r.err.find("ziv_run: "), std::string::npos);

  o = sh("true");
  o.cwd = td.sub("no-such-dir");
  r = run(o);
  EXPECT_EQ(r.exit_code, -1);
  EXPECT_NE(r.harness_error.find("chdir"), std::string::npos) << describe(r);
}

TEST(ZivRun, TimeoutKillsTheWholeTreeEvenOutsideTheProcessGroup) {
  // The background sleep gets its own session, so only the reaper finds it.
  run_options o = sh("setsid sleep 300 & echo $!; exec sleep 300");
  o.timeout_s = 1;
  auto t0 = std::chrono::steady_clock::now();
  run_result r = run(o);
  auto secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_TRUE(r.timed_out) << describe(r);
  EXPECT_EQ(r.exit_code, -1);
  EXPECT_EQ(r.term_signal, SIGKILL);
  EXPECT_GE(secs, 0.9);
  EXPECT_LT(secs, 15.0);
  long escaped = atol(r.out.c_str());
  ASSERT_GT(escaped, 1) << describe(r);
  errno = 0;
  EXPECT_EQ(kill(pid_t(escaped), 0), -1);
  EXPECT_EQ(errno, ESRCH) << "the setsid'd sleep survived the timeout";
}

TEST(ZivRun, WaitsForProcessesLeftBehind) {
  // The leftover holds none of the captured pipes; only the reaper sees it.
  temp_dir td;
  std::string mark = td.sub("mark");
  run_result r = run(sh("(exec >/dev/null 2>&1 </dev/null; sleep 1; echo done > '" + mark +
                        "') & echo started"));
  EXPECT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_EQ(r.out, "started\n");
  EXPECT_EQ(read_file(mark), "done\n");
}

// ---- syslog capture ----------------------------------------------------------

TEST(ZivRunLog, ProbeSucceedsWithCapSysAdmin) {
  if (!has_cap_sys_admin()) GTEST_SKIP() << "no CAP_SYS_ADMIN here";
  std::string why;
  EXPECT_TRUE(log_capture_available(&why)) << why;
  EXPECT_EQ(why, "");
}

TEST(ZivRunLog, RefusedNamespaceFailsLoudly) {
  // As an unprivileged user the namespace cannot be had; run() must say so.
  auto check = []() -> int {
    run_options o;
    o.exe = "/bin/true";
    o.argv = {"true"};
    o.capture_log = true;
    run_result r = run(o);
    if (r.exit_code != -1) return 10;
    if (r.harness_error.find("unshare") == std::string::npos) return 11;
    if (r.err.find("ziv_run: ") == std::string::npos) return 12;
    if (!r.log.empty()) return 13;
    o.capture_log = false;
    if (run(o).exit_code != 0) return 14;  // the plain path still works
    return 0;
  };
  if (geteuid() != 0) {
    if (log_capture_available(nullptr)) GTEST_SKIP() << "unprivileged namespaces are allowed";
    EXPECT_EQ(check(), 0);
    return;
  }
  pid_t c = fork();
  ASSERT_GE(c, 0);
  if (c == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
        setresuid(65534, 65534, 65534) != 0)
      _exit(2);
    _exit(check());
  }
  int st = 0;
  ASSERT_EQ(waitpid(c, &st, 0), c);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0) << "see the codes in the check lambda";
}

TEST(ZivRunLog, CapturesUtilLinuxLogger) {
  REQUIRE_LOG_CAPTURE();
  if (access("/usr/bin/logger", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/logger";
  run_options o;
  o.exe = "/usr/bin/logger";
  o.argv = {"logger", "-p", "local6.info", "-t", "sometag", "hello"};
  o.env = kPathEnv;
  o.capture_log = true;
  run_result r = run(o);
  ASSERT_EQ(r.exit_code, 0) << describe(r);
  ASSERT_EQ(r.log.size(), 1u) << describe(r);
  EXPECT_EQ(r.log[0].priority, 182);  // local6 (22) * 8 + info (6)
  EXPECT_EQ(r.log[0].ident, "sometag");
  EXPECT_EQ(r.log[0].message, "hello");
  EXPECT_GT(r.log[0].sender_pid, 0);
}

TEST(ZivRunLog, NothingLoggedMeansNoRecords) {
  REQUIRE_LOG_CAPTURE();
  run_options o = sh("echo quiet");
  o.capture_log = true;
  run_result r = run(o);
  EXPECT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_EQ(r.out, "quiet\n");
  EXPECT_TRUE(r.log.empty()) << describe(r);
}

TEST(ZivRunLog, GrandchildLoggingAfterItsParentExitedIsCaptured) {
  REQUIRE_LOG_CAPTURE();
  run_result r = run(emitter({"emitter", "--orphan", "--pid", "--ident", "orphantag",
                              "--facility", "19", "--severity", "4", "--delay-ms", "300",
                              "from the grandchild"}));
  ASSERT_EQ(r.exit_code, 0) << describe(r);
  long parent = 0, child = 0;
  ASSERT_EQ(sscanf(r.out.c_str(), "parent %ld\nchild %ld\n", &parent, &child), 2) << describe(r);
  EXPECT_NE(parent, child);
  ASSERT_EQ(r.log.size(), 1u) << describe(r);
  EXPECT_EQ(r.log[0].priority, 19 * 8 + 4);
  EXPECT_EQ(r.log[0].ident, "orphantag");
  EXPECT_EQ(r.log[0].pid, child);
  EXPECT_EQ(r.log[0].sender_pid, child);
  EXPECT_EQ(r.log[0].message, "from the grandchild");
}

TEST(ZivRunLog, ManyMessagesNoneLostInOrder) {
  REQUIRE_LOG_CAPTURE();
  const int n = 2000;
  run_result r = run(emitter({"emitter", "--pid", "--ident", "bulk", "--count",
                              std::to_string(n), "message"}));
  ASSERT_EQ(r.exit_code, 0) << describe(r);
  ASSERT_EQ(r.log.size(), size_t(n)) << describe(r);
  for (int i = 0; i < n; ++i) {
    const log_record& l = r.log[size_t(i)];
    ASSERT_EQ(l.message, "message " + std::to_string(i));
    ASSERT_EQ(l.priority, 13);  // user.notice
    ASSERT_EQ(l.ident, "bulk");
    ASSERT_EQ(l.pid, r.log[0].sender_pid);
    ASSERT_EQ(l.sender_pid, r.log[0].sender_pid);
  }
}

TEST(ZivRunLog, IdentComesFromArgv0AndTrailingNewlineIsKept) {
  REQUIRE_LOG_CAPTURE();
  // glibc uses the part of argv[0] after the last '/' when no ident is given.
  run_result r = run(emitter({"/some/dir/odd: name[1]", "--pid", "ends with newline\n"}));
  ASSERT_EQ(r.exit_code, 0) << describe(r);
  ASSERT_EQ(r.log.size(), 1u) << describe(r);
  EXPECT_EQ(r.log[0].ident, "odd: name[1]");
  EXPECT_EQ(r.log[0].pid, r.log[0].sender_pid);
  EXPECT_EQ(r.log[0].message, "ends with newline\n");

  r = run(emitter({"plainname", "no pid here: really"}));
  ASSERT_EQ(r.log.size(), 1u) << describe(r);
  EXPECT_EQ(r.log[0].ident, "plainname");
  EXPECT_EQ(r.log[0].pid, -1);
  EXPECT_EQ(r.log[0].message, "no pid here: really");

  r = run(emitter({"", "--pid", "nameless"}));
  ASSERT_EQ(r.log.size(), 1u) << describe(r);
  EXPECT_EQ(r.log[0].ident, "");
  EXPECT_EQ(r.log[0].message, "nameless");
}

TEST(ZivRunLog, PrivateDevStillServesOrdinaryPrograms) {
  REQUIRE_LOG_CAPTURE();
  run_options o = sh(
      "test -S /dev/log && test -c /dev/null && test -c /dev/zero && echo x > /dev/null &&"
      " head -c 16 /dev/urandom | wc -c && test -d /dev/shm && test -w /dev/shm &&"
      " test -e /dev/fd/0 && test -L /dev/stdout && echo ok");
  o.capture_log = true;
  run_result r = run(o);
  EXPECT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_EQ(r.out, "16\nok\n") << describe(r);
}

TEST(ZivRunLog, HostDevAndMountsAreUntouched) {
  REQUIRE_LOG_CAPTURE();
  std::vector<std::string> dev_before = dev_listing();
  std::string mounts_before = read_file("/proc/self/mountinfo");
  struct stat log_before;
  bool had_log = stat("/dev/log", &log_before) == 0;

  temp_dir td;
  write_file(td.sub("f"), "content");
  run_options o = sh("logger -t t hi; echo in > /dev/shm/ziv_selftest_marker");
  o.capture_log = true;
  o.hide_files = {td.sub("f")};
  run_result r = run(o);
  ASSERT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_EQ(r.log.size(), 1u) << describe(r);

  EXPECT_EQ(dev_listing(), dev_before);
  EXPECT_EQ(read_file("/proc/self/mountinfo"), mounts_before);
  struct stat log_after;
  EXPECT_EQ(stat("/dev/log", &log_after) == 0, had_log);
  EXPECT_NE(access("/dev/shm/ziv_selftest_marker", F_OK), 0);
  EXPECT_EQ(read_file(td.sub("f")), "content");
}

// ---- hiding files --------------------------------------------------------------

TEST(ZivRunHide, HiddenFileReadsEmptyInsideOnly) {
  REQUIRE_LOG_CAPTURE();
  temp_dir td;
  std::string f = td.sub("secret.txt");
  write_file(f, "secret");
  run_options o = sh("cat '" + f + "'; stat -c '%s %F' '" + f + "'; echo more >> '" + f +
                     "' || echo refused");
  o.hide_files = {f};
  run_result r = run(o);
  EXPECT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_EQ(r.out, "0 regular empty file\nrefused\n") << describe(r);
  EXPECT_EQ(read_file(f), "secret");

  r = run(sh("cat '" + f + "'"));
  EXPECT_EQ(r.out, "secret");
}

TEST(ZivRunHide, HiddenSharedLibraryCannotBePreloaded) {
  REQUIRE_LOG_CAPTURE();
  // Any real shared object this test binary has loaded will do.
  std::string lib;
  std::istringstream maps(read_file("/proc/self/maps"));
  for (std::string line; std::getline(maps, line);) {
    size_t p = line.find('/');
    if (p == std::string::npos) continue;
    std::string path = line.substr(p);
    if (path.find("/libgcc_s.so") != std::string::npos ||
        path.find("/libm.so") != std::string::npos) {
      lib = path;
      break;
    }
  }
  if (lib.empty()) GTEST_SKIP() << "no suitable shared library mapped";
  temp_dir td;
  std::string copy = td.sub("libziv_selftest_probe.so");
  write_file(copy, read_file(lib), 0755);

  run_options o;
  o.exe = "/bin/true";
  o.argv = {"true"};
  o.env = {"LD_PRELOAD=" + copy};
  run_result r = run(o);
  EXPECT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_EQ(r.err, "") << "the unhidden copy should preload cleanly";

  o.hide_files = {copy};
  r = run(o);
  EXPECT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_NE(r.err.find("cannot be preloaded"), std::string::npos) << describe(r);
}

TEST(ZivRunHide, MissingHiddenPathIsLoud) {
  REQUIRE_LOG_CAPTURE();
  temp_dir td;
  run_options o = sh("echo should not run");
  o.hide_files = {td.sub("absent")};
  run_result r = run(o);
  EXPECT_EQ(r.exit_code, -1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.harness_error.find("absent"), std::string::npos) << describe(r);
}

TEST(ZivRunHide, WithoutLogCaptureTheRealDevIsKept) {
  REQUIRE_LOG_CAPTURE();
  temp_dir td;
  write_file(td.sub("f"), "x");
  // Compare what the program sees in /dev with what the host has.
  std::string host;
  for (const std::string& n : dev_listing())
    if (n != "." && n != "..") host += n + "\n";
  run_options o;
  o.exe = "/bin/ls";
  o.argv = {"ls", "-1A", "/dev"};
  o.env = {"LC_ALL=C"};
  o.hide_files = {td.sub("f")};
  run_result r = run(o);
  EXPECT_EQ(r.exit_code, 0) << describe(r);
  EXPECT_EQ(r.out, host);
}

// ---- parsing -------------------------------------------------------------------

TEST(ParseLogDatagram, HeaderForms) {
  struct {
    const char* raw;
    long sender;
    int priority;
    const char* ident;
    long pid;
    const char* message;
  } cases[] = {
      {"<13>Dec  6 08:21:00 tag[42]: hi: there", 42, 13, "tag", 42, "hi: there"},
      {"<190>Jan 31 23:59:59 x[9]: m", -1, 190, "x", 9, "m"},
      // The sender's pid ends an ident that itself holds ": ".
      {"<30>Feb 28 23:59:59 daemon: started[500]: odd", 500, 30, "daemon: started", 500, "odd"},
      // Without a matching pid the first ": " ends the ident.
      {"<30>Feb 28 23:59:59 daemon: started [7]: odd", 500, 30, "daemon", -1, "started [7]: odd"},
      {"<13>Dec 16 08:21:00 : m", 5, 13, "", -1, "m"},
      {"just text", 5, -1, "", -1, "just text"},
  };
  for (const auto& c : cases) {
    log_record l = parse_log_datagram(c.raw, c.sender);
    EXPECT_EQ(l.priority, c.priority) << c.raw;
    EXPECT_EQ(l.ident, c.ident) << c.raw;
    EXPECT_EQ(l.pid, c.pid) << c.raw;
    EXPECT_EQ(l.message, c.message) << c.raw;
    EXPECT_EQ(l.raw, c.raw);
  }
}

// ---- file helpers -----------------------------------------------------------------

TEST(ZivFiles, TempDirWriteReadLinkAndCleanup) {
  std::string kept;
  {
    temp_dir td;
    kept = td.path();
    write_file(td.sub("tool.sh"), "#!/bin/sh\necho tool \"$0\"\n", 0750);
    struct stat st;
    ASSERT_EQ(stat(td.sub("tool.sh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    EXPECT_EQ(read_file(td.sub("tool.sh")), "#!/bin/sh\necho tool \"$0\"\n");
    ASSERT_EQ(mkdir(td.sub("bin").c_str(), 0755), 0);
    std::string link = make_tool_dir_link(td.sub("bin"), "cc", td.sub("tool.sh"));
    EXPECT_EQ(link, td.sub("bin") + "/cc");
    run_options o;
    o.exe = link;
    o.argv = {"cc"};
    run_result r = run(o);
    EXPECT_EQ(r.out, "tool " + link + "\n") << describe(r);
    EXPECT_THROW(read_file(td.sub("missing")), std::runtime_error);
  }
  EXPECT_NE(access(kept.c_str(), F_OK), 0);
}
