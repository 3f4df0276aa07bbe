// The processes the library starts for itself (the second compiler run of
// header tracing, extra build tools, the output hook, captured commands):
// started past the library's own exec and spawn interposers, which would
// otherwise put the library back into them, and with the library taken out
// of LD_PRELOAD.
#pragma once

#include <spawn.h>
#include <string_view>
#include <sys/types.h>

// The start of environment entries: one variable's "NAME=", or a family's
// common start ("ZIV_"); for "NAME=", value() is what follows it.
struct ziv_env_name {
    std::string_view prefix;

    // Inline and byte by byte: the exec family runs this for every entry of
    // every child's environment, in vfork children too.
    bool names(const char* entry) const
    {
        for (size_t i = 0; i < prefix.size(); ++i) {
            if (entry[i] != prefix.data()[i]) {
                return false;  // also at the end of `entry`
            }
        }
        return true;
    }
    const char* value(const char* entry) const { return entry + prefix.size(); }
};

inline constexpr ziv_env_name ziv_env_preload{"LD_PRELOAD="};

// Whether one LD_PRELOAD entry is this library: its file name part holds
// "ziv_env.so" ("libziv_env.so" included).
bool ziv_preload_entry_is_library(std::string_view entry);

// Calls `f(entry)` for every entry of an LD_PRELOAD value, split at blanks
// and colons as the loader splits it, until `f` returns false. Allocates
// nothing: the exec family runs it in vfork children.
template <typename F>
void ziv_each_preload_entry(const char* value, F f)
{
    auto separator = [](char c) { return c == ' ' || c == ':'; };
    for (size_t at = 0; value[at] != '\0';) {
        size_t end = at;
        while (value[end] != '\0' && !separator(value[end])) {
            ++end;
        }
        if (end > at && !f(std::string_view(value + at, end - at))) {
            return;
        }
        at = value[end] != '\0' ? end + 1 : end;
    }
}

// An LD_PRELOAD value without this library's entries, into `out` (room for
// strlen(value) + 1 bytes): every other entry as written, each after the
// separator that came before it, none before the first or after the last.
// Whether an entry was taken out; `out` is empty when none is left.
bool ziv_preload_without_library(const char* value, char* out);

// A copy of environ for a helper process: LD_PRELOAD without this library's
// entries (dropped when nothing else is left) and, with `tracing_off`,
// without ZIV_TRACE_ENABLE and ZIV_TRACE_HDEPS, so that even a library
// loaded by other means (the loader's preload file) neither traces nor
// starts helpers of its own there. The strings are shared with environ
// except the new LD_PRELOAD entry. get() is null when memory ran out.
class ziv_env_without_library {
public:
    explicit ziv_env_without_library(bool tracing_off);
    ~ziv_env_without_library();
    ziv_env_without_library(const ziv_env_without_library&) = delete;
    ziv_env_without_library& operator=(const ziv_env_without_library&) = delete;
    char** get() const { return envp_; }

private:
    char** envp_ = nullptr;
    char* preload_ = nullptr;
};

// The C library's execve and posix_spawn themselves.
int ziv_libc_execve(const char* path, char* const argv[], char* const envp[]);
int ziv_libc_posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                         const posix_spawnattr_t* attr, char* const argv[], char* const envp[]);

// Runs `line` with /bin/sh -c, without this library, and waits for it (as
// system() would, SIGCHLD held back meanwhile). The shell's exit status as
// waitpid gives it, or -1 when it could not be started.
int ziv_run_shell_line(const char* line);
