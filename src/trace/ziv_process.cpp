// Process ancestry read from /proc: the short name, command line, executable
// and parent of another process, and the two questions tracing asks of them
// (does the parent deserve its children traced, does a configure script or a
// test run sit above us). Runs in every traced process before main, so reads
// are bounded, one read per file, nothing allocated, errno left as it was.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/syscall.h>
#include <unistd.h>

#include "ziv_bounded.h"
#include "ziv_file_util.h"
#include "ziv_lifecycle.h"
#include "ziv_process.h"
#include "ziv_sysio.h"

namespace {

// Longest short name that can be trusted not to be cut by the kernel
// (which keeps 15 characters).
constexpr size_t ZIV_SHORT_NAME_MAX = 14;
// A process tree is far shallower than this; the bound only guards against
// a /proc that loops.
constexpr int ZIV_ANCESTRY_MAX_DEPTH = 4096;

// Straight to the kernel: the library's own (or another preload's) open and
// read wrappers have no business seeing these.
int proc_open(const char* path)
{
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
}

ssize_t proc_read_once(int fd, char* buffer, size_t length)
{
    ssize_t got;
    do {
        got = syscall(SYS_read, fd, buffer, length);
    } while (got < 0 && errno == EINTR);
    return got;
}

bool proc_path(char (&path)[ZIV_PROC_BUF_SIZE], pid_t pid, const char* name)
{
    return sprintf_s(path, sizeof path, "/proc/%u/%s", static_cast<unsigned>(pid), name) > 0;
}

// The short name of `pid` (stripped "comm") in `buffer`; null when nothing
// could be read.
char* short_name(pid_t pid, char (&buffer)[ZIV_PROC_BUF_SIZE])
{
    ssize_t got = ziv_get_proc_info(pid, "comm", buffer, sizeof buffer - 1);
    if (got <= 0) {
        return nullptr;
    }
    return strstrip(buffer, static_cast<size_t>(got));
}

// The first argument of `pid` (argv[1], empty without one) in `buffer`;
// null when the command line cannot be read.
const char* first_argument(pid_t pid, char (&buffer)[ZIV_PROC_BUF_SIZE])
{
    ssize_t got = ziv_get_proc_info(pid, "cmdline", buffer, sizeof buffer - 1);
    if (got <= 0) {
        return nullptr;
    }
    size_t program_len = strnlen(buffer, static_cast<size_t>(got));
    if (program_len >= static_cast<size_t>(got)) {
        return "";  // no separator: a rewritten command line, no argument
    }
    return buffer + program_len + 1;
}

// No substr here: its range check would pull in the C++ run-time library.
bool starts_with(std::string_view text, std::string_view prefix) { return text.starts_with(prefix); }

std::string_view base_name(std::string_view path)
{
    size_t slash = path.rfind('/');
    if (slash != std::string_view::npos) {
        path.remove_prefix(slash + 1);
    }
    return path;
}

bool name_marks_build_parent(std::string_view name)
{
    if (name.empty() || name.size() > ZIV_SHORT_NAME_MAX) {
        return false;
    }
    size_t dot = name.rfind('.');
    if (dot != std::string_view::npos) {
        std::string_view extension(name.data() + dot, name.size() - dot);
        if (extension == ".sh" || extension == ".py") {
            return true;
        }
    }
    if (starts_with(name, "rpm-tmp.") || starts_with(name, "python")) {
        return true;
    }
    char copy[ZIV_SHORT_NAME_MAX + 1] = {};
    if (memcpy_s(copy, sizeof copy, name.data(), name.size()) != EOK) {
        return false;
    }
    return ziv_process_is_make(copy) != 0 || ziv_process_is_shell(copy) != 0 ||
           ziv_process_is_build_driver(copy) != 0;
}

bool exe_is_shell(pid_t pid)
{
    char path[ZIV_PROC_BUF_SIZE] = {};
    if (ziv_get_proc_exec(pid, path, sizeof path - 1) == nullptr) {
        return false;
    }
    const char* slash = strrchr(path, '/');
    return slash != nullptr && ziv_process_is_shell(slash + 1) != 0;
}

// CMake and Meson probe the compiler from scratch directories of their own
// (try-compiles, compiler identification, sanity checks): what is made there
// is thrown away, like a configure script's conftest.
bool works_in_configure_scratch()
{
    char cwd[ZIV_PROC_BUF_SIZE] = {};
    if (syscall(SYS_getcwd, cwd, sizeof cwd - 1) <= 0) {
        return false;
    }
    const char* cmake = strstr(cwd, "/CMakeFiles/");
    if (cmake != nullptr) {
        const char* rest = cmake + strlen("/CMakeFiles/");
        if (strncmp(rest, "CMakeScratch/", 13) == 0 || strncmp(rest, "CMakeTmp", 8) == 0 ||
            strstr(rest, "/CompilerId") != nullptr) {
            return true;
        }
    }
    const char* meson = strstr(cwd, "/meson-private");
    return meson != nullptr && (meson[14] == '/' || meson[14] == '\0');
}

// One ancestor: 1 configure or test run, 0 the search ends here (login
// daemon, unreadable), -1 look further up.
int classify_ancestor(pid_t pid)
{
    char comm[ZIV_PROC_BUF_SIZE] = {};
    const char* name = short_name(pid, comm);
    if (name == nullptr) {
        return 0;
    }
    std::string_view short_nm(name);
    if (short_nm == "sshd") {
        return 0;
    }
    if (short_nm == "configure") {
        return 1;
    }
    bool is_make = ziv_process_is_make(name) != 0;
    bool is_script_runner = !is_make && (ziv_process_is_shell(name) != 0 || short_nm == "perl");
    if (!is_make && !is_script_runner) {
        return -1;
    }
    char cmdline[ZIV_PROC_BUF_SIZE] = {};
    const char* first = first_argument(pid, cmdline);
    if (first == nullptr) {
        return -1;
    }
    std::string_view arg(first);
    if (is_make) {
        return starts_with(arg, "test") || starts_with(arg, "check") ? 1 : -1;
    }
    std::string_view script = base_name(arg);
    if (starts_with(script, "config.") || script == "configure" || script == "dh_auto_configure") {
        return 1;
    }
    return -1;
}

}  // namespace

extern "C" {

ZIV_EXPORT ssize_t ziv_get_proc_info(pid_t pid, const char* name, char* buffer, size_t length)
{
    ziv_errno_guard keep_errno;
    char path[ZIV_PROC_BUF_SIZE] = {};
    if (name == nullptr || buffer == nullptr || !proc_path(path, pid, name)) {
        return -1;
    }
    ziv_fd_closer file{proc_open(path)};
    if (file.fd < 0) {
        return -1;
    }
    return proc_read_once(file.fd, buffer, length);
}

ZIV_EXPORT char* ziv_get_proc_exec(pid_t pid, char* buffer, size_t size)
{
    ziv_errno_guard keep_errno;
    char path[ZIV_PROC_BUF_SIZE] = {};
    if (buffer == nullptr || !proc_path(path, pid, "exe")) {
        return nullptr;
    }
    ssize_t got = syscall(SYS_readlinkat, AT_FDCWD, path, buffer, size);
    if (got < 0) {
        return nullptr;
    }
    buffer[got] = '\0';
    return buffer;
}

ZIV_EXPORT pid_t ziv_get_ppid_by_proc(pid_t pid)
{
    ziv_errno_guard keep_errno;
    char path[ZIV_PROC_BUF_SIZE] = {};
    if (!proc_path(path, pid, "stat")) {
        return -1;
    }
    ziv_fd_closer file{proc_open(path)};
    if (file.fd < 0) {
        return 0;
    }
    char stat[ZIV_PROC_BUF_SIZE] = {};
    ssize_t got = proc_read_once(file.fd, stat, sizeof stat - 1);
    if (got <= 0) {
        return -1;
    }
    // The name field is "(comm)" and comm may hold blanks and parentheses
    // itself; only the last ')' reliably ends it.
    const char* name_end = strrchr(stat, ')');
    if (name_end == nullptr) {
        return -1;
    }
    char state = 0;
    int ppid = -1;
    if (sscanf_s(name_end + 1, " %c %d", &state, &ppid) != 2) {
        return -1;
    }
    return ppid;
}

ZIV_EXPORT int ziv_is_valid_parent(void)
{
    ziv_errno_guard keep_errno;
    pid_t ppid = ziv_libc_getppid();
    char comm[ZIV_PROC_BUF_SIZE] = {};
    const char* name = short_name(ppid, comm);
    if (name != nullptr && name_marks_build_parent(name)) {
        return 1;
    }
    return exe_is_shell(ppid) ? 1 : 0;
}

ZIV_EXPORT int ziv_is_configure_or_test_process(pid_t pid)
{
    ziv_errno_guard keep_errno;
    if (works_in_configure_scratch()) {
        return 1;
    }
    for (int depth = 0; depth < ZIV_ANCESTRY_MAX_DEPTH; ++depth) {
        if (pid < 2) {
            return 0;
        }
        int verdict = classify_ancestor(pid);
        if (verdict >= 0) {
            return verdict;
        }
        pid_t parent = ziv_get_ppid_by_proc(pid);
        if (parent == pid) {
            return 0;
        }
        pid = parent;
    }
    return 0;
}

}  // extern "C"
