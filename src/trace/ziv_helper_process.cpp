// Starting the library's own helper processes without the library.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ziv_bounded.h"
#include "ziv_file_util.h"
#include "ziv_helper_process.h"

extern char** environ;

namespace {

// "LD_PRELOAD=..." without this library's entries; null when no entry is
// left or memory ran out.
char* preload_without_library(const char* entry)
{
    char* out = static_cast<char*>(ziv_malloc_and_init(static_cast<int>(strlen(entry) + 1)));
    if (out == nullptr) {
        return nullptr;
    }
    const size_t prefix = ziv_env_preload.prefix.size();
    memcpy(out, entry, prefix);
    ziv_preload_without_library(entry + prefix, out + prefix);
    if (out[prefix] == '\0') {
        free(out);
        return nullptr;
    }
    return out;
}

}  // namespace

bool ziv_preload_entry_is_library(std::string_view entry)
{
    size_t slash = entry.rfind('/');
    // No substr: its range check would pull in the C++ runtime.
    std::string_view file = slash == std::string_view::npos
                                ? entry
                                : std::string_view(entry.data() + slash + 1, entry.size() - slash - 1);
    return file.find("ziv_env.so") != std::string_view::npos;
}

bool ziv_preload_without_library(const char* value, char* out)
{
    size_t n = 0;
    bool removed = false;
    ziv_each_preload_entry(value, [&](std::string_view entry) {
        if (ziv_preload_entry_is_library(entry)) {
            removed = true;
            return true;
        }
        if (n > 0) {
            out[n++] = entry.data()[-1];
        }
        memcpy(out + n, entry.data(), entry.size());
        n += entry.size();
        return true;
    });
    out[n] = '\0';
    return removed;
}

ziv_env_without_library::ziv_env_without_library(bool tracing_off)
{
    size_t n = 0;
    while (environ != nullptr && environ[n] != nullptr) {
        ++n;
    }
    envp_ = static_cast<char**>(ziv_malloc_and_init(static_cast<int>((n + 1) * sizeof(char*))));
    if (envp_ == nullptr) {
        return;
    }
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
        if (tracing_off && (ziv_env_name{"ZIV_TRACE_HDEPS="}.names(environ[i]) ||
                            ziv_env_name{"ZIV_TRACE_ENABLE="}.names(environ[i]))) {
            continue;
        }
        if (!ziv_env_preload.names(environ[i])) {
            envp_[k++] = environ[i];
            continue;
        }
        if (preload_ == nullptr && (preload_ = preload_without_library(environ[i])) != nullptr) {
            envp_[k++] = preload_;
        }
    }
    envp_[k] = nullptr;
}

ziv_env_without_library::~ziv_env_without_library()
{
    free(envp_);
    free(preload_);
}

int ziv_libc_execve(const char* path, char* const argv[], char* const envp[])
{
    // The system call is all the C library's execve does.
    return static_cast<int>(syscall(SYS_execve, path, argv, envp));
}

int ziv_libc_posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                         const posix_spawnattr_t* attr, char* const argv[], char* const envp[])
{
    using spawn_fn = int (*)(pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*,
                             char* const*, char* const*);
    // Resolved where the library (or a program linking these objects) calls
    // it, never in a child: the next definition after the caller's object.
    static spawn_fn real = nullptr;
    if (real == nullptr) {
        real = reinterpret_cast<spawn_fn>(dlsym(RTLD_NEXT, "posix_spawn"));
    }
    return real != nullptr ? real(pid, path, actions, attr, argv, envp) : ENOSYS;
}

int ziv_run_shell_line(const char* line)
{
    if (line == nullptr) {
        return -1;
    }
    ziv_env_without_library env(false);
    if (env.get() == nullptr) {
        return -1;
    }
    static char sh[] = "sh";
    static char dash_c[] = "-c";
    char* argv[] = {sh, dash_c, const_cast<char*>(line), nullptr};
    // Like system(): a SIGCHLD handler of the program that reaps children
    // must not take this one away before it is waited for.
    sigset_t chld;
    sigset_t old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &chld, &old);
    pid_t child = -1;
    int status = -1;
    if (ziv_libc_posix_spawn(&child, "/bin/sh", nullptr, nullptr, argv, env.get()) == 0) {
        pid_t got;
        do {
            got = waitpid(child, &status, 0);
        } while (got < 0 && errno == EINTR);
        status = got == child ? status : -1;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return status;
}
