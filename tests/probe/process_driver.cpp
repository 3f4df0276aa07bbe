// Asks the preloaded library what it thinks of this process's parent and
// ancestors, and prints the answers as key=value lines. With "spawn" as its
// first argument it is instead a parent of a chosen name: it prints its own
// pid and parent, runs the rest of its arguments as a child and exits with
// the child's status.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

template <typename Fn>
Fn lib(const char* name)
{
    auto fn = reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, name));
    if (fn == nullptr) {
        printf("missing=%s\n", name);
        fflush(stdout);
        exit(2);
    }
    return fn;
}

int spawn(int argc, char** argv)
{
    char exe[PATH_MAX] = {};
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    printf("spawner.pid=%d\nspawner.ppid=%d\nspawner.exe=%s\n", getpid(), getppid(), n > 0 ? exe : "");
    fflush(stdout);
    if (argc < 3) {
        return 2;
    }
    pid_t child = fork();
    if (child == 0) {
        execv(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

// errno after a library call, when it was 1234 before.
template <typename Call>
auto keeping_errno(const char* key, Call call)
{
    errno = 1234;
    auto result = call();
    if (errno != 1234) {
        printf("errno_changed=%s:%d\n", key, errno);
    }
    return result;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && strcmp(argv[1], "spawn") == 0) {
        return spawn(argc, argv);
    }
    auto valid_parent = lib<int (*)()>("ziv_is_valid_parent");
    auto configure_or_test = lib<int (*)(pid_t)>("ziv_is_configure_or_test_process");
    auto ppid_by_proc = lib<pid_t (*)(pid_t)>("ziv_get_ppid_by_proc");
    auto proc_info = lib<ssize_t (*)(pid_t, const char*, char*, size_t)>("ziv_get_proc_info");
    auto proc_exec = lib<char* (*)(pid_t, char*, size_t)>("ziv_get_proc_exec");

    pid_t parent = getppid();
    printf("pid=%d\nparent=%d\n", getpid(), parent);
    printf("valid_parent=%d\n", keeping_errno("valid_parent", [&] { return valid_parent(); }));
    printf("configure_or_test=%d\n", keeping_errno("configure", [&] { return configure_or_test(parent); }));
    printf("parent_ppid=%d\n", keeping_errno("ppid", [&] { return ppid_by_proc(parent); }));
    printf("self_ppid=%d\n", ppid_by_proc(getpid()));

    char comm[4096] = {};
    ssize_t got = keeping_errno("info", [&] { return proc_info(parent, "comm", comm, sizeof comm - 1); });
    printf("parent_comm_len=%zd\nparent_comm=%s", got, comm);
    if (got <= 0 || comm[got - 1] != '\n') {
        printf("\n");
    }
    char exe[4096] = {};
    const char* path = keeping_errno("exec", [&] { return proc_exec(parent, exe, sizeof exe - 1); });
    printf("parent_exe=%s\n", path != nullptr ? path : "<null>");

    // A process that is gone: pid_max is at most 4194304.
    constexpr pid_t gone = 4194304 + 7;
    char scratch[64] = {};
    printf("gone_ppid=%d\n", ppid_by_proc(gone));
    printf("gone_info=%zd\n", proc_info(gone, "comm", scratch, sizeof scratch - 1));
    printf("gone_exec=%s\n", proc_exec(gone, scratch, sizeof scratch - 1) == nullptr ? "<null>" : scratch);
    printf("gone_configure=%d\n", configure_or_test(gone));
    printf("init_configure=%d\n", configure_or_test(1));
    return 0;
}
