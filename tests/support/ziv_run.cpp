#include "ziv_run.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace ziv_test {
namespace {

std::string errno_text(const std::string& what, int e = errno) { return what + ": " + strerror(e); }

long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

bool write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return false;
    p += w;
    n -= size_t(w);
  }
  return true;
}

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Appends what can be read now; at the end (or an error) closes the descriptor.
void read_some(int& fd, std::string& into) {
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      into.append(buf, size_t(n));
    } else if (n < 0 && errno == EAGAIN) {
      return;
    } else if (n == 0 || errno != EINTR) {
      return close_fd(fd);
    }
  }
}

// Gives the calling, disposable process a private mount namespace with a
// tmpfs /dev holding the usual nodes and the log socket bound at /dev/log.
std::string setup_namespace(int log_fd) {
  if (unshare(CLONE_NEWNS) != 0) return errno_text("unshare(CLONE_NEWNS)");
  // Without this, mounts below could propagate back to the host.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return errno_text("making / recursively private");
  // Keeps the real /dev reachable once it is covered.
  int devfd = open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (devfd < 0) return errno_text("open /dev");
  const std::string real_dev = "/proc/self/fd/" + std::to_string(devfd) + "/";
  if (mount("ziv_dev", "/dev", "tmpfs", MS_NOSUID, "mode=0755") != 0)
    return errno_text("mount tmpfs on /dev");
  for (std::string n : {"null", "zero", "full", "random", "urandom", "tty"}) {
    std::string dst = "/dev/" + n;
    int f = open(dst.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
    if (f < 0) return errno_text("create " + dst);
    close(f);
    if (mount((real_dev + n).c_str(), dst.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      int e = errno;
      unlink(dst.c_str());
      if (n != "tty") return errno_text("bind " + dst, e);  // no terminal is fine
    }
  }
  if (mkdir("/dev/shm", 01777) != 0 ||
      mount("ziv_shm", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0)
    return errno_text("/dev/shm");
  static const char* const links[][2] = {{"/dev/fd", "/proc/self/fd"},
                                         {"/dev/stdin", "/proc/self/fd/0"},
                                         {"/dev/stdout", "/proc/self/fd/1"},
                                         {"/dev/stderr", "/proc/self/fd/2"}};
  for (const auto& l : links)
    if (symlink(l[1], l[0]) != 0) return errno_text(std::string("symlink ") + l[0]);
  sockaddr_un a{.sun_family = AF_UNIX, .sun_path = "/dev/log"};
  if (bind(log_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || chmod("/dev/log", 0666) != 0)
    return errno_text("bind /dev/log");
  return {};
}

// "<PRI>Mmm dd hh:mm:ss ident[pid]: message", as the C library sends it; the
// sender's own pid in brackets ends the ident (which may hold ": ") most
// reliably, else the first ": " does.
log_record parse_datagram(std::string_view rest, long sender) {
  log_record l;
  l.sender_pid = sender;
  size_t gt = rest.find('>');
  if (!rest.empty() && rest[0] == '<' && gt != std::string_view::npos && gt > 1 && gt < 5) {
    l.priority = atoi(std::string(rest.substr(1, gt - 1)).c_str());
    rest.remove_prefix(gt + 1);
  }
  if (rest.size() >= 16 && rest[3] == ' ' && rest[6] == ' ' && rest[9] == ':' && rest[12] == ':' && rest[15] == ' ')
    rest.remove_prefix(16);
  std::string tag = "[" + std::to_string(sender) + "]: ";
  size_t end = rest.find(tag);
  l.pid = end != std::string_view::npos ? sender : -1;
  end = end != std::string_view::npos ? end : rest.find(": ");
  if (end == std::string_view::npos) {
    l.message = rest;
  } else {
    l.ident = rest.substr(0, end);
    l.message = rest.substr(end + (l.pid > 0 ? tag.size() : 2));
  }
  return l;
}

// Direct children of this process, found through /proc.
std::vector<pid_t> my_children() {
  std::vector<pid_t> kids;
  DIR* d = opendir("/proc");
  while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
    char stat[4096] = {}, st = 0;
    long ppid = 0;
    std::string path = std::string("/proc/") + e->d_name + "/stat";
    int fd = isdigit(static_cast<unsigned char>(e->d_name[0])) ? open(path.c_str(), O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) continue;
    ssize_t n = read(fd, stat, sizeof stat - 1);
    close(fd);
    // The command name may hold anything, so read after the last ')'.
    const char* rp = n > 0 ? strrchr(stat, ')') : nullptr;
    if (rp != nullptr && sscanf(rp + 1, " %c %ld", &st, &ppid) == 2 && ppid == getpid())
      kids.push_back(pid_t(atol(e->d_name)));
  }
  if (d != nullptr) closedir(d);
  return kids;
}

// What the supervisor sends back, in one write.
struct outcome {
  int exit_code = -1, term_signal = 0, timed_out = 0;
  char error[512] = {};
};

// The supervisor: starts the program, is the reaper of its whole tree (what
// the program leaves behind is re-parented here), kills the tree at the
// deadline, and reports once every process of it has ended.
std::vector<std::string> program_environment(const run_options& o);

[[noreturn]] void supervise(const run_options& o, const int fds[3], int log_fd, int report_fd) {
  outcome res;
  std::string error;
  pid_t target = -1;
  bool reaped = false;
  sigset_t chld;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  sigprocmask(SIG_BLOCK, &chld, nullptr);
  int ex[2];
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0 || pipe2(ex, O_CLOEXEC) != 0) {
    error = errno_text("supervisor set-up");
  } else if ((target = fork()) == 0) {
    setpgid(0, 0);
    std::string e;
    if (o.capture_log) {
      e = setup_namespace(log_fd);
      if (!e.empty()) e = "private namespace unavailable: " + e;
    }
    std::vector<char*> argv, envp;
    const std::vector<std::string> env = program_environment(o);
    for (const std::string& a : o.argv) argv.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& v : env) envp.push_back(const_cast<char*>(v.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    if (e.empty()) {
      for (int i = 0; i < 3; ++i) dup2(fds[i], i);
      for (int s = 1; s < NSIG; ++s) signal(s, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) {
        e = errno_text("chdir(" + o.cwd + ")");
      } else {
        // Only the failure-report pipe (close-on-exec) stays open.
        if (ex[1] > 3) close_range(3, unsigned(ex[1]) - 1, 0);
        close_range(unsigned(ex[1]) + 1, ~0u, 0);
        execve(o.exe.c_str(), argv.data(), envp.data());
        e = errno_text("execve(" + o.exe + ")");
      }
    }
    write_all(ex[1], e.data(), e.size());
    _exit(127);
  } else if (target < 0) {
    error = errno_text("fork");
  } else {
    setpgid(target, target);  // also done by the child; whichever runs first
    close(ex[1]);
    read_some(ex[0], error);  // blocking: until execve closes it
  }
  for (int i = 0; i < 3; ++i) close(fds[i]);

  const long long deadline = now_ms() + o.timeout_s * 1000LL;
  long long give_up = 0;
  for (;;) {
    int st = 0;
    pid_t p = waitpid(-1, &st, WNOHANG);
    if (p == target) {
      reaped = true;
      res.exit_code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      res.term_signal = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
    }
    if (p > 0 || (p < 0 && errno == EINTR)) continue;
    if (p < 0) break;  // ECHILD: the whole tree has ended
    long long left = deadline - now_ms();
    if (left <= 0) {
      if (!res.timed_out) give_up = now_ms() + 10000;
      res.timed_out = 1;
      if (now_ms() > give_up) break;
      kill(-target, SIGKILL);
      for (pid_t k : my_children()) kill(k, SIGKILL);
      left = 5;
    }
    timespec ts{0, (left > 999 ? 999 : left) * 1000000};
    sigtimedwait(&chld, nullptr, &ts);
  }
  if (!reaped && error.empty()) error = "the program was never reaped";
  snprintf(res.error, sizeof res.error, "%s", error.c_str());
  _exit(write_all(report_fd, reinterpret_cast<const char*>(&res), sizeof res) ? 0 : 1);
}

// The environment a started program gets. In a sanitizer build, when the
// environment names LD_PRELOAD at all, or the program or one of its
// arguments is one of this build (a shell told to start kalvitrex, which
// starts others with the library), the runtime comes first in LD_PRELOAD
// and reports go to the report directory. Without it first, the runtime
// comes in late as the library's dependency and misses the program's
// vfork: a child's stack frames then stay poisoned for the parent.
std::vector<std::string> program_environment(const run_options& o) {
  const std::vector<std::string>& env = o.env;
  if (!sanitized_build()) return env;
  std::vector<std::string> out;
  bool preload = o.exe.rfind(ZIV_BUILD_ROOT "/", 0) == 0;
  for (const std::string& a : o.argv) preload = preload || a.rfind(ZIV_BUILD_ROOT "/", 0) == 0;
  std::string libraries;
  for (const std::string& v : env) {
    if (v.rfind("LD_PRELOAD=", 0) == 0) {
      preload = true;
      libraries = seen_preload(v.substr(11), "");
    } else {
      out.push_back(v);
    }
  }
  if (!preload) return env;
  out.push_back("LD_PRELOAD=" + preload_value(libraries));
  for (const char* options : {"ASAN_OPTIONS=", "UBSAN_OPTIONS="}) {
    bool given = false;
    for (const std::string& v : env) given |= v.rfind(options, 0) == 0;
    // Programs started here include whole toolchains, whose own leaks are
    // not ours to report; the library's are found in-process by the unit
    // tests and the fuzzers.
    if (!given) out.push_back(options + std::string("detect_leaks=0:exitcode=86:log_path=") + ZIV_SANITIZER_REPORTS +
                              "/report");
  }
  return out;
}

}  // namespace

bool sanitized_build() { return ZIV_SANITIZER_RUNTIME[0] != '\0'; }

std::string preload_value(const std::string& libraries) {
  if (!sanitized_build()) return libraries;
  return std::string(ZIV_SANITIZER_RUNTIME) + (libraries.empty() ? "" : ":" + libraries);
}

std::string seen_preload(const std::string& value, const std::string& unset) {
  const std::string runtime = ZIV_SANITIZER_RUNTIME;
  if (runtime.empty() || value.rfind(runtime, 0) != 0) return value;
  std::string rest = value.substr(runtime.size());
  if (rest.find_first_not_of(": ") == std::string::npos) return unset;
  return rest.substr(1);
}

run_result run(const run_options& o) {
  run_result r;
  int in[2], out[2], err[2], rep[2], log_fd = -1, one = 1;
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC) || pipe2(rep, O_CLOEXEC) ||
      (o.capture_log &&
       ((log_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) < 0 ||
        setsockopt(log_fd, SOL_SOCKET, SO_PASSCRED, &one, sizeof one) != 0))) {
    r.harness_error = errno_text("pipes and sockets");
    r.err = "ziv_run: " + r.harness_error + "\n";
    return r;
  }
  // A program that stops reading its input must not end the test with SIGPIPE.
  struct sigaction ignore {}, old{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);
  const pid_t parent = getpid();
  pid_t sup = fork();
  if (sup == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    for (int fd : {in[1], out[0], err[0], rep[0]}) close(fd);
    const int fds[3] = {in[0], out[1], err[1]};
    supervise(o, fds, log_fd, rep[1]);
  }
  for (int fd : {in[0], out[1], err[1], rep[1]}) close(fd);
  int in_fd = in[1], out_fd = out[0], err_fd = err[0], rep_fd = rep[0];
  for (int fd : {in_fd, out_fd, err_fd, rep_fd}) fcntl(fd, F_SETFL, O_NONBLOCK);
  if (o.stdin_data.empty() || sup < 0) close_fd(in_fd);
  if (sup < 0) close_fd(rep_fd);

  std::vector<char> dgram(1 << 20);
  auto read_log = [&] {
    while (log_fd >= 0) {
      iovec iov{dgram.data(), dgram.size()};
      alignas(cmsghdr) char cbuf[CMSG_SPACE(sizeof(ucred))];
      msghdr m{nullptr, 0, &iov, 1, cbuf, sizeof cbuf, 0};
      ssize_t n = recvmsg(log_fd, &m, MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return;  // the queue is empty
      long sender = -1;
      for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
          ucred cr;
          memcpy(&cr, CMSG_DATA(c), sizeof cr);
          sender = cr.pid;
        }
      }
      r.log.push_back(parse_datagram(std::string_view(dgram.data(), size_t(n)), sender));
    }
  };

  // The supervisor enforces the timeout; this only guards against it getting stuck.
  const long long give_up = now_ms() + o.timeout_s * 1000LL + 60000;
  std::string report;
  size_t in_off = 0;
  while (out_fd >= 0 || err_fd >= 0 || rep_fd >= 0) {
    if (now_ms() > give_up) {
      kill(sup, SIGKILL);
      break;
    }
    pollfd p[5];
    int n = 0;
    for (int fd : {in_fd, out_fd, err_fd, rep_fd, log_fd})
      if (fd >= 0) p[n++] = {fd, short(fd == in_fd ? POLLOUT : POLLIN), 0};
    if (poll(p, nfds_t(n), 1000) <= 0) continue;
    for (int i = 0; i < n; ++i) {
      if (p[i].revents == 0) continue;
      if (p[i].fd == in_fd) {
        ssize_t w = write(in_fd, o.stdin_data.data() + in_off, o.stdin_data.size() - in_off);
        if (w > 0) in_off += size_t(w);
        // A reader that went away (EPIPE) simply does not get the rest.
        if ((w < 0 && errno != EAGAIN && errno != EINTR) || in_off == o.stdin_data.size()) close_fd(in_fd);
      } else if (p[i].fd == log_fd) {
        read_log();
      } else if (p[i].fd == out_fd) {
        read_some(out_fd, r.out);
      } else if (p[i].fd == err_fd) {
        read_some(err_fd, r.err);
      } else {
        read_some(rep_fd, report);
      }
    }
  }
  for (int* fd : {&in_fd, &out_fd, &err_fd, &rep_fd}) close_fd(*fd);
  int st = 0;
  while (sup > 0 && waitpid(sup, &st, 0) < 0 && errno == EINTR) {
  }
  sigaction(SIGPIPE, &old, nullptr);
  // Every sender has ended and datagrams are queued by send() itself, so
  // whatever was logged is in the queue now.
  read_log();
  close_fd(log_fd);

  outcome res;
  if (sup < 0) {
    r.harness_error = errno_text("fork");
  } else if (report.size() != sizeof res) {
    r.harness_error = "supervisor ended without a complete report (wait status " + std::to_string(st) + ")";
  } else {
    memcpy(&res, report.data(), sizeof res);
    r.exit_code = res.exit_code;
    r.term_signal = res.term_signal;
    r.timed_out = res.timed_out != 0;
    r.harness_error = res.error;
  }
  if (!r.harness_error.empty()) {
    r.exit_code = -1;
    r.err += "ziv_run: " + r.harness_error + "\n";
  }
  // The undefined-behaviour runtime writes its reports to standard error
  // whatever its options say: what the program let through goes to the
  // report directory too.
  if (sanitized_build() && (r.err.find("runtime error: ") != std::string::npos ||
                            r.err.find("Sanitizer") != std::string::npos)) {
    mkdir(ZIV_SANITIZER_REPORTS, 0755);
    write_file(std::string(ZIV_SANITIZER_REPORTS) + "/report.stderr." + std::to_string(getpid()) + "." +
                   std::to_string(now_ms()),
               o.exe + "\n" + r.err);
  }
  return r;
}

bool log_capture_available(std::string* why_not) {
  // One message through a private /dev/log, as every log test needs it.
  static const run_result probe =
      run({.exe = "/usr/bin/logger", .argv = {"logger", "-t", "probe", "x"}, .capture_log = true, .timeout_s = 10});
  bool ok = probe.exit_code == 0 && probe.log.size() == 1 && probe.log[0].message == "x";
  if (why_not != nullptr) *why_not = ok ? "" : describe(probe);
  return ok;
}

std::string describe(const run_result& r) {
  auto cut = [](const std::string& t) {
    return t.size() <= 4000 ? t : t.substr(0, 4000) + "...[" + std::to_string(t.size()) + " bytes]";
  };
  std::string s = "exit_code=" + std::to_string(r.exit_code) + " term_signal=" + std::to_string(r.term_signal) +
                  " timed_out=" + (r.timed_out ? "true" : "false") + "\n";
  if (!r.harness_error.empty()) s += "harness_error: " + r.harness_error + "\n";
  s += "--- stdout ---\n" + cut(r.out) + "\n--- stderr ---\n" + cut(r.err) + "\n";
  s += "--- log (" + std::to_string(r.log.size()) + ") ---\n";
  for (size_t i = 0; i < r.log.size() && i < 50; ++i)
    s += "<" + std::to_string(r.log[i].priority) + "> " + r.log[i].ident + "[" + std::to_string(r.log[i].pid) +
         "]: " + cut(r.log[i].message) + "\n";
  return s;
}

temp_dir::temp_dir() {
  const char* t = getenv("TMPDIR");
  std::string tmpl = std::string(t && *t ? t : "/tmp") + "/ziv_test.XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error(errno_text("mkdtemp " + tmpl));
  path_ = tmpl;
}

temp_dir::~temp_dir() {
  if (path_.empty()) return;
  nftw(
      path_.c_str(), [](const char* p, const struct stat*, int, FTW*) { return remove(p), 0; }, 32,
      FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

in_dir::in_dir(const std::string& dir) {
  char here[PATH_MAX];
  if (getcwd(here, sizeof here) == nullptr || chdir(dir.c_str()) != 0)
    throw std::runtime_error(errno_text("chdir " + dir));
  old_ = here;
}

in_dir::~in_dir() {
  if (chdir(old_.c_str()) != 0) abort();  // every later test would run in the wrong place
}

std::string make_tool_dir_link(const std::string& dir, const std::string& name, const std::string& target) {
  std::string p = dir + "/" + name;
  if (symlink(target.c_str(), p.c_str()) != 0)
    throw std::runtime_error(errno_text("symlink " + p + " -> " + target));
  return p;
}

std::string sha256_of(const std::string& path) {
  run_result r = run({.exe = "/usr/bin/sha256sum", .argv = {"sha256sum", "--", path}});
  // A name with a backslash or line break is escaped in the output, the
  // digest then follows a leading backslash.
  size_t at = r.out.rfind('\\', 0) == 0 ? 1 : 0;
  return r.exit_code == 0 && r.out.size() >= at + 64 ? r.out.substr(at, 64) : "sha256sum failed";
}

std::string read_file(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error(errno_text("open " + path));
  std::string s;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) != 0) {
    if (n > 0) {
      s.append(buf, size_t(n));
    } else if (errno != EINTR) {
      int e = errno;
      close(fd);
      throw std::runtime_error(errno_text("read " + path, e));
    }
  }
  close(fd);
  return s;
}

void write_file(const std::string& path, const std::string& content, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) throw std::runtime_error(errno_text("open " + path));
  // The umask must not decide the mode a test asked for.
  bool ok = write_all(fd, content.data(), content.size()) && fchmod(fd, mode) == 0;
  int e = errno;
  close(fd);
  if (!ok) throw std::runtime_error(errno_text("write " + path, e));
}

}  // namespace ziv_test
