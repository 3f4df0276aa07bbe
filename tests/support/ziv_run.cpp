#include "ziv_run.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace ziv_test {
namespace {

std::string errno_text(const std::string& what, int e = errno) {
  return what + ": " + strerror(e);
}

int64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void close_fd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

bool write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= size_t(w);
  }
  return true;
}

// ---- result transport from the supervising child -------------------------

struct packer {
  std::string buf;
  void u64(uint64_t v) { buf.append(reinterpret_cast<const char*>(&v), sizeof v); }
  void i64(int64_t v) { u64(uint64_t(v)); }
  void str(const std::string& s) {
    u64(s.size());
    buf += s;
  }
};

struct unpacker {
  const std::string& buf;
  size_t pos = 0;
  bool ok = true;
  uint64_t u64() {
    uint64_t v = 0;
    if (buf.size() - pos < sizeof v) {
      ok = false;
      return 0;
    }
    memcpy(&v, buf.data() + pos, sizeof v);
    pos += sizeof v;
    return v;
  }
  int64_t i64() { return int64_t(u64()); }
  std::string str() {
    uint64_t n = u64();
    if (!ok || buf.size() - pos < n) {
      ok = false;
      return {};
    }
    std::string s = buf.substr(pos, n);
    pos += n;
    return s;
  }
};

constexpr uint64_t kMagic = 0x7a69765f72756e31ull;  // catches a torn report

std::string pack(const run_result& r) {
  packer p;
  p.u64(kMagic);
  p.i64(r.exit_code);
  p.i64(r.term_signal);
  p.i64(r.timed_out);
  p.str(r.out);
  p.str(r.err);
  p.str(r.harness_error);
  p.u64(r.log.size());
  for (const log_record& l : r.log) {
    p.i64(l.priority);
    p.str(l.ident);
    p.i64(l.pid);
    p.i64(l.sender_pid);
    p.str(l.message);
    p.str(l.raw);
  }
  p.u64(kMagic);
  return std::move(p.buf);
}

bool unpack(const std::string& buf, run_result* r) {
  unpacker u{buf};
  if (u.u64() != kMagic) return false;
  r->exit_code = int(u.i64());
  r->term_signal = int(u.i64());
  r->timed_out = u.i64() != 0;
  r->out = u.str();
  r->err = u.str();
  r->harness_error = u.str();
  uint64_t n = u.u64();
  for (uint64_t i = 0; u.ok && i < n; ++i) {
    log_record l;
    l.priority = int(u.i64());
    l.ident = u.str();
    l.pid = long(u.i64());
    l.sender_pid = long(u.i64());
    l.message = u.str();
    l.raw = u.str();
    r->log.push_back(std::move(l));
  }
  return u.ok && u.u64() == kMagic && u.ok && u.pos == buf.size();
}

// ---- the private mount namespace ------------------------------------------

// Must run in a disposable child: it changes that process's mount namespace.
// On success returns "" and, when capture_log, a non-blocking datagram socket
// bound at /dev/log with SO_PASSCRED set.
std::string setup_namespace(bool capture_log, const std::vector<std::string>& hide,
                            int* log_fd) {
  *log_fd = -1;
  if (unshare(CLONE_NEWNS) != 0) return errno_text("unshare(CLONE_NEWNS)");
  // Without this, mounts below could propagate back to the host.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return errno_text("making / recursively private");

  // Keeps the real /dev reachable (via /proc/self/fd) once it is covered.
  int devfd = open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (devfd < 0) return errno_text("open /dev");
  struct fd_closer {
    int fd;
    ~fd_closer() { close(fd); }
  } devfd_closer{devfd};
  const std::string real_dev = "/proc/self/fd/" + std::to_string(devfd) + "/";

  if (mount("ziv_dev", "/dev", "tmpfs", MS_NOSUID, "mode=0755") != 0)
    return errno_text("mount tmpfs on /dev");

  if (capture_log) {
    struct node {
      const char* name;
      bool required;
    };
    static const node nodes[] = {{"null", true},    {"zero", true}, {"full", true},
                                 {"random", true},  {"urandom", true},
                                 {"tty", false}};
    for (const node& n : nodes) {
      std::string dst = std::string("/dev/") + n.name;
      int f = open(dst.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
      if (f < 0) return errno_text("create " + dst);
      close(f);
      if (mount((real_dev + n.name).c_str(), dst.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        int e = errno;
        unlink(dst.c_str());
        if (n.required) return errno_text("bind " + dst, e);
      }
    }
    if (mkdir("/dev/shm", 01777) != 0) return errno_text("mkdir /dev/shm");
    if (mount("ziv_shm", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0)
      return errno_text("mount tmpfs on /dev/shm");
    // A private devpts instance so pty users work; optional.
    if (mkdir("/dev/pts", 0755) == 0) {
      if (mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC,
                "newinstance,ptmxmode=0666,mode=0620") == 0)
        (void)symlink("pts/ptmx", "/dev/ptmx");
      else
        rmdir("/dev/pts");
    }
    static const char* const links[][2] = {{"/dev/fd", "/proc/self/fd"},
                                           {"/dev/stdin", "/proc/self/fd/0"},
                                           {"/dev/stdout", "/proc/self/fd/1"},
                                           {"/dev/stderr", "/proc/self/fd/2"}};
    for (const auto& l : links)
      if (symlink(l[1], l[0]) != 0) return errno_text(std::string("symlink ") + l[0]);

    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) return errno_text("socket(AF_UNIX, SOCK_DGRAM)");
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strcpy(a.sun_path, "/dev/log");
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      int e = errno;
      close(s);
      return errno_text("bind /dev/log", e);
    }
    int one = 1;
    if (chmod("/dev/log", 0666) != 0 ||
        setsockopt(s, SOL_SOCKET, SO_PASSCRED, &one, sizeof one) != 0) {
      int e = errno;
      close(s);
      return errno_text("set up /dev/log", e);
    }
    *log_fd = s;
  }

  if (!hide.empty()) {
    // One read-only empty inode shared by every hidden path; unlinked
    // afterwards so it leaves no trace in the visible /dev.
    const char* empty = "/dev/.ziv_empty";
    int f = open(empty, O_CREAT | O_WRONLY | O_CLOEXEC, 0444);
    if (f < 0) return errno_text("create empty file");
    close(f);
    for (const std::string& h : hide) {
      if (mount(empty, h.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return errno_text("hide " + h);
      if (mount(nullptr, h.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
        return errno_text("make hidden " + h + " read-only");
    }
    unlink(empty);
  }

  // Only the empty file was wanted; give the program the real /dev back.
  if (!capture_log && umount2("/dev", MNT_DETACH) != 0) return errno_text("umount /dev");
  return {};
}

// ---- supervising the program ----------------------------------------------

struct exec_failure {
  int stage;  // 0 = chdir, 1 = execve
  int err;
};

// Direct children of this process, found through /proc.
std::vector<pid_t> my_children() {
  std::vector<pid_t> kids;
  pid_t self = getpid();
  DIR* d = opendir("/proc");
  if (!d) return kids;
  while (dirent* e = readdir(d)) {
    if (!isdigit(static_cast<unsigned char>(e->d_name[0]))) continue;
    std::string stat;
    try {
      stat = read_file(std::string("/proc/") + e->d_name + "/stat");
    } catch (...) {
      continue;
    }
    // The command name may contain anything, so parse after the last ')'.
    size_t rp = stat.rfind(')');
    if (rp == std::string::npos) continue;
    char st = 0;
    long ppid = 0;
    if (sscanf(stat.c_str() + rp + 1, " %c %ld", &st, &ppid) == 2 && ppid == self)
      kids.push_back(pid_t(atol(e->d_name)));
  }
  closedir(d);
  return kids;
}

struct supervisor {
  const run_options& o;
  run_result r;
  pid_t target = -1;
  bool target_reaped = false;
  bool no_children = false;
  int log_fd = -1;
  std::vector<char> dgram = std::vector<char>(1 << 20);

  void reap() {
    for (;;) {
      int st = 0;
      pid_t p = waitpid(-1, &st, WNOHANG);
      if (p > 0) {
        if (p == target) {
          target_reaped = true;
          if (WIFEXITED(st)) {
            r.exit_code = WEXITSTATUS(st);
          } else if (WIFSIGNALED(st)) {
            r.exit_code = -1;
            r.term_signal = WTERMSIG(st);
          }
        }
        continue;
      }
      if (p < 0 && errno == EINTR) continue;
      no_children = p < 0 && errno == ECHILD;
      return;
    }
  }

  // Everything left behind was re-parented to us (we are a subreaper), so
  // killing our children repeatedly reaches the whole tree.
  void kill_tree() {
    kill(-target, SIGKILL);
    int64_t give_up = now_ms() + 10000;
    for (;;) {
      reap();
      if (no_children || now_ms() > give_up) return;
      for (pid_t k : my_children()) kill(k, SIGKILL);
      usleep(5000);
    }
  }

  void read_log() {
    if (log_fd < 0) return;
    for (;;) {
      iovec iov{dgram.data(), dgram.size()};
      alignas(cmsghdr) char cbuf[CMSG_SPACE(sizeof(ucred))];
      msghdr m{};
      m.msg_iov = &iov;
      m.msg_iovlen = 1;
      m.msg_control = cbuf;
      m.msg_controllen = sizeof cbuf;
      ssize_t n = recvmsg(log_fd, &m, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;  // EAGAIN: queue empty
      }
      long sender = -1;
      for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
          ucred cr;
          memcpy(&cr, CMSG_DATA(c), sizeof cr);
          sender = cr.pid;
        }
      }
      if (m.msg_flags & MSG_TRUNC)
        r.harness_error += "a log datagram was larger than the receive buffer; ";
      r.log.push_back(parse_log_datagram(std::string(dgram.data(), size_t(n)), sender));
    }
  }

  static bool read_some(int& fd, std::string& into) {
    char buf[65536];
    for (;;) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) {
        into.append(buf, size_t(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return true;
      close_fd(fd);  // EOF or error
      return false;
    }
  }

  void fail(const std::string& why) {
    r.exit_code = -1;
    r.harness_error += why;
  }

  void go(bool use_ns) {
    const int64_t deadline = now_ms() + int64_t(o.timeout_s) * 1000;
    signal(SIGPIPE, SIG_IGN);
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) return fail(errno_text("PR_SET_CHILD_SUBREAPER"));
    if (use_ns) {
      std::string e = setup_namespace(o.capture_log, o.hide_files, &log_fd);
      if (!e.empty()) return fail("private namespace unavailable: " + e);
    }

    std::vector<char*> argv, envp;
    for (const std::string& a : o.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string& e : o.env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    int in[2], out[2], err[2], ex[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC) ||
        pipe2(ex, O_CLOEXEC))
      return fail(errno_text("pipe2"));

    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);
    int sfd = signalfd(-1, &chld, SFD_CLOEXEC | SFD_NONBLOCK);
    if (sfd < 0) return fail(errno_text("signalfd"));

    target = fork();
    if (target < 0) return fail(errno_text("fork"));
    if (target == 0) {
      setpgid(0, 0);
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      for (int s = 1; s < NSIG; ++s) signal(s, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      exec_failure f{0, 0};
      if (o.cwd.empty() || chdir(o.cwd.c_str()) == 0) {
        // Only the failure-report pipe (close-on-exec) may stay open.
        if (ex[1] > 3) close_range(3, unsigned(ex[1]) - 1, 0);
        close_range(unsigned(ex[1]) + 1, ~0u, 0);
        execve(o.exe.c_str(), argv.data(), envp.data());
        f.stage = 1;
      }
      f.err = errno;
      (void)!write(ex[1], &f, sizeof f);
      _exit(127);
    }
    setpgid(target, target);  // also done by the child; whichever runs first
    close(in[0]);
    close(out[1]);
    close(err[1]);
    close(ex[1]);

    exec_failure f{};
    ssize_t got;
    do got = read(ex[0], &f, sizeof f);
    while (got < 0 && errno == EINTR);
    close(ex[0]);
    if (got == ssize_t(sizeof f)) {
      fail(errno_text(f.stage == 0 ? "chdir(" + o.cwd + ")" : "execve(" + o.exe + ")", f.err));
      close(in[1]);
      close(out[0]);
      close(err[0]);
      kill_tree();
      read_log();
      return;
    }

    int in_fd = in[1], out_fd = out[0], err_fd = err[0];
    fcntl(in_fd, F_SETFL, O_NONBLOCK);
    fcntl(out_fd, F_SETFL, O_NONBLOCK);
    fcntl(err_fd, F_SETFL, O_NONBLOCK);
    size_t in_off = 0;
    if (o.stdin_data.empty()) close_fd(in_fd);

    for (;;) {
      reap();
      if (no_children && out_fd < 0 && err_fd < 0) break;
      int64_t left = deadline - now_ms();
      if (left <= 0) {
        r.timed_out = true;
        close_fd(in_fd);
        kill_tree();
        // Every writer is dead now, so the pipes end promptly.
        int64_t stop = now_ms() + 5000;
        while ((out_fd >= 0 || err_fd >= 0) && now_ms() < stop) {
          if (out_fd >= 0) read_some(out_fd, r.out);
          if (err_fd >= 0) read_some(err_fd, r.err);
          if (out_fd >= 0 || err_fd >= 0) usleep(1000);
        }
        close_fd(out_fd);
        close_fd(err_fd);
        break;
      }
      pollfd p[5];
      int n = 0;
      int i_in = -1, i_out = -1, i_err = -1, i_log = -1;
      if (in_fd >= 0) p[i_in = n++] = {in_fd, POLLOUT, 0};
      if (out_fd >= 0) p[i_out = n++] = {out_fd, POLLIN, 0};
      if (err_fd >= 0) p[i_err = n++] = {err_fd, POLLIN, 0};
      if (log_fd >= 0) p[i_log = n++] = {log_fd, POLLIN, 0};
      p[n++] = {sfd, POLLIN, 0};
      int pr = poll(p, nfds_t(n), int(left > 1000 ? 1000 : left));
      if (pr < 0 && errno != EINTR) {
        fail(errno_text("poll"));
        break;
      }
      if (pr <= 0) continue;
      if (i_in >= 0 && p[i_in].revents) {
        ssize_t w = write(in_fd, o.stdin_data.data() + in_off, o.stdin_data.size() - in_off);
        if (w > 0) in_off += size_t(w);
        // A reader that went away (EPIPE) simply does not get the rest.
        if ((w < 0 && errno != EAGAIN && errno != EINTR) || in_off == o.stdin_data.size())
          close_fd(in_fd);
      }
      if (i_out >= 0 && p[i_out].revents) read_some(out_fd, r.out);
      if (i_err >= 0 && p[i_err].revents) read_some(err_fd, r.err);
      if (i_log >= 0 && p[i_log].revents) read_log();
      signalfd_siginfo si;
      while (read(sfd, &si, sizeof si) > 0) {
      }
    }
    close_fd(in_fd);
    // Every sender has exited and AF_UNIX datagrams are queued synchronously
    // by send(), so whatever was logged is in the queue now: no grace needed.
    read_log();
    if (!target_reaped && r.harness_error.empty()) fail("the program was never reaped");
  }
};

struct probe_state {
  bool done = false;
  bool ok = false;
  std::string why;
};

}  // namespace

log_record parse_log_datagram(const std::string& raw, long sender_pid) {
  log_record l;
  l.raw = raw;
  l.sender_pid = sender_pid;
  std::string_view rest(raw);
  if (rest.size() > 2 && rest[0] == '<') {
    size_t j = 1;
    int v = 0;
    while (j < rest.size() && j < 5 && isdigit(static_cast<unsigned char>(rest[j])))
      v = v * 10 + (rest[j++] - '0');
    if (j > 1 && j < rest.size() && rest[j] == '>') {
      l.priority = v;
      rest.remove_prefix(j + 1);
    }
  }
  // "Mmm dd hh:mm:ss " in the C locale, day padded with a space.
  auto is_d = [](char c) { return isdigit(static_cast<unsigned char>(c)) != 0; };
  auto is_a = [](char c) { return isalpha(static_cast<unsigned char>(c)) != 0; };
  if (rest.size() >= 16 && is_a(rest[0]) && is_a(rest[1]) && is_a(rest[2]) && rest[3] == ' ' &&
      (rest[4] == ' ' || is_d(rest[4])) && is_d(rest[5]) && rest[6] == ' ' && is_d(rest[7]) &&
      is_d(rest[8]) && rest[9] == ':' && is_d(rest[10]) && is_d(rest[11]) && rest[12] == ':' &&
      is_d(rest[13]) && is_d(rest[14]) && rest[15] == ' ')
    rest.remove_prefix(16);

  // The sender's own pid in brackets is the most reliable end of the ident:
  // the ident itself may contain ": ".
  if (sender_pid > 0) {
    std::string pat = "[" + std::to_string(sender_pid) + "]: ";
    size_t p = rest.find(pat);
    if (p != std::string_view::npos) {
      l.ident = std::string(rest.substr(0, p));
      l.pid = sender_pid;
      l.message = std::string(rest.substr(p + pat.size()));
      return l;
    }
  }
  size_t q = rest.find(": ");
  if (q == std::string_view::npos) {
    l.message = std::string(rest);
    return l;
  }
  std::string_view head = rest.substr(0, q);
  size_t lb = head.rfind('[');
  if (head.size() >= 3 && head.back() == ']' && lb != std::string_view::npos &&
      lb + 2 < head.size()) {
    std::string_view num = head.substr(lb + 1, head.size() - lb - 2);
    bool digits = num.size() < 19;
    for (char c : num) digits = digits && is_d(c);
    if (digits) {
      l.pid = atol(std::string(num).c_str());
      head = head.substr(0, lb);
    }
  }
  l.ident = std::string(head);
  l.message = std::string(rest.substr(q + 2));
  return l;
}

run_result run(const run_options& o) {
  run_result r;
  const bool use_ns = o.capture_log || !o.hide_files.empty();
  int rep[2];
  if (pipe2(rep, O_CLOEXEC) != 0) {
    r.harness_error = errno_text("pipe2");
    r.err = "ziv_run: " + r.harness_error + "\n";
    return r;
  }
  const pid_t parent = getpid();
  pid_t mon = fork();
  if (mon == 0) {
    // The supervisor: owns the namespace, is the reaper of the whole tree,
    // and sends the finished result back in one message.
    close(rep[0]);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    std::string msg;
    try {
      supervisor s{o, {}};
      s.go(use_ns);
      msg = pack(s.r);
    } catch (const std::exception& e) {
      run_result f;
      f.harness_error = std::string("supervisor exception: ") + e.what();
      msg = pack(f);
    }
    _exit(write_all(rep[1], msg.data(), msg.size()) ? 0 : 1);
  }
  close(rep[1]);
  if (mon < 0) {
    close(rep[0]);
    r.harness_error = errno_text("fork");
    r.err = "ziv_run: " + r.harness_error + "\n";
    return r;
  }

  // The supervisor enforces the timeout itself; this only guards against
  // the supervisor getting stuck.
  const int64_t give_up = now_ms() + int64_t(o.timeout_s) * 1000 + 60000;
  std::string report;
  bool killed = false;
  for (;;) {
    int64_t left = give_up - now_ms();
    if (left <= 0) {
      kill(mon, SIGKILL);
      killed = true;
      break;
    }
    pollfd p{rep[0], POLLIN, 0};
    int pr = poll(&p, 1, int(left > 1000 ? 1000 : left));
    if (pr < 0 && errno != EINTR) break;
    if (pr <= 0) continue;
    char buf[65536];
    ssize_t n = read(rep[0], buf, sizeof buf);
    if (n > 0) {
      report.append(buf, size_t(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  close(rep[0]);
  int st = 0;
  while (waitpid(mon, &st, 0) < 0 && errno == EINTR) {
  }

  if (!unpack(report, &r)) {
    r = run_result{};
    r.harness_error = killed ? "supervisor did not finish in time and was killed"
                             : "supervisor died without a complete report (wait status " +
                                   std::to_string(st) + ")";
  }
  if (!r.harness_error.empty()) {
    r.exit_code = -1;
    r.err += "ziv_run: " + r.harness_error + "\n";
  }
  return r;
}

bool log_capture_available(std::string* why_not) {
  static probe_state state;
  if (!state.done) {
    state.done = true;
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
      state.why = errno_text("pipe2");
    } else {
      pid_t c = fork();
      if (c == 0) {
        close(p[0]);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int fd = -1;
        std::string e = setup_namespace(true, {}, &fd);
        if (e.empty()) {
          // A full round trip, as a program would do it.
          int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
          sockaddr_un a{};
          a.sun_family = AF_UNIX;
          strcpy(a.sun_path, "/dev/log");
          char got[16] = {};
          if (s < 0 || connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
              send(s, "<13>probe", 9, 0) != 9 || recv(fd, got, sizeof got, MSG_DONTWAIT) != 9 ||
              memcmp(got, "<13>probe", 9) != 0)
            e = errno_text("/dev/log round trip");
        }
        write_all(p[1], e.data(), e.size());
        _exit(e.empty() ? 0 : 1);
      }
      close(p[1]);
      if (c < 0) {
        state.why = errno_text("fork");
      } else {
        std::string msg;
        char buf[4096];
        ssize_t n;
        while ((n = read(p[0], buf, sizeof buf)) != 0) {
          if (n > 0)
            msg.append(buf, size_t(n));
          else if (errno != EINTR)
            break;
        }
        int st = 0;
        while (waitpid(c, &st, 0) < 0 && errno == EINTR) {
        }
        state.ok = WIFEXITED(st) && WEXITSTATUS(st) == 0 && msg.empty();
        if (!state.ok)
          state.why = msg.empty() ? "probe child failed, status " + std::to_string(st) : msg;
      }
      close(p[0]);
    }
  }
  if (why_not) *why_not = state.why;
  return state.ok;
}

std::string describe(const run_result& r) {
  std::string s = "exit_code=" + std::to_string(r.exit_code) +
                  " term_signal=" + std::to_string(r.term_signal) +
                  " timed_out=" + (r.timed_out ? "true" : "false") + "\n";
  if (!r.harness_error.empty()) s += "harness_error: " + r.harness_error + "\n";
  auto cut = [](const std::string& t) {
    return t.size() <= 4000 ? t : t.substr(0, 4000) + "...[" + std::to_string(t.size()) + " bytes]";
  };
  s += "--- stdout ---\n" + cut(r.out) + "\n--- stderr ---\n" + cut(r.err) + "\n";
  s += "--- log (" + std::to_string(r.log.size()) + ") ---\n";
  for (size_t i = 0; i < r.log.size() && i < 50; ++i) s += cut(r.log[i].raw) + "\n";
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
      path_.c_str(),
      [](const char* p, const struct stat*, int, FTW*) {
        remove(p);
        return 0;
      },
      32, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

temp_dir::temp_dir(temp_dir&& o) noexcept : path_(std::move(o.path_)) { o.path_.clear(); }

temp_dir& temp_dir::operator=(temp_dir&& o) noexcept {
  if (this != &o) {
    temp_dir gone(std::move(*this));
    path_ = std::move(o.path_);
    o.path_.clear();
  }
  return *this;
}

std::string make_tool_dir_link(const std::string& dir, const std::string& name,
                               const std::string& target) {
  std::string p = dir + "/" + name;
  if (symlink(target.c_str(), p.c_str()) != 0)
    throw std::runtime_error(errno_text("symlink " + p + " -> " + target));
  return p;
}

std::string read_file(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error(errno_text("open " + path));
  std::string s;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      s.append(buf, size_t(n));
    } else if (n == 0) {
      break;
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
  bool ok = write_all(fd, content.data(), content.size());
  int e = errno;
  // The umask must not decide the mode a test asked for.
  if (ok && fchmod(fd, mode) != 0) {
    ok = false;
    e = errno;
  }
  close(fd);
  if (!ok) throw std::runtime_error(errno_text("write " + path, e));
}

}  // namespace ziv_test
