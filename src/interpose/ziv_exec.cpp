// Programs started by a process of the build stay inside the build. A step
// that starts a child with an environment of its own making (env -i, env -,
// execve or posix_spawn with a list it built) would start it without
// LD_PRELOAD and the ZIV_* settings: untraced, not normalised, its commands
// missing from the database. Every C library call that starts a program
// with a given environment comes here and gets back what it lacks of this
// library's preload entry and the ZIV_* settings, as this process received
// them at its start; whatever else the parent put in the child's
// environment stays exactly as it is. ZIV_CARRY_ENV=no, in this process's
// environment or in the one handed to the child, leaves children alone.
//
// These run in vfork children and between fork and exec of threaded
// programs: no allocation, no lock, no stdio, errno untouched before the
// real call. The new list is built on the stack, or in pages of its own
// when it is large; when it cannot be built the call goes out unchanged.
// A call made while this thread is inside the library's own work (a signal
// handler, the library's helpers) goes out unchanged too.
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <spawn.h>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>

#include "ziv_exec.h"
#include "ziv_helper_process.h"
#include "ziv_interpose.h"
#include "ziv_symbols.h"

namespace {

constexpr ziv_env_name kZiv{"ZIV_"};
constexpr ziv_env_name kPreload = ziv_env_preload;
constexpr ziv_env_name kCommandId{"ZIV_PCOMMAND_ID="};
constexpr ziv_env_name kSwitch{"ZIV_CARRY_ENV="};
// Entries of the start-up environment kept; a larger environment keeps
// only its ZIV_* and LD_PRELOAD entries, up to this many.
constexpr size_t kStartMax = 128;
// Entries of the new list that fit on the caller's stack.
constexpr size_t kLocalBytes = 8192;

// Runtimes that must come first in LD_PRELOAD for a library built with a
// sanitizer to load at all: when one came before this library, it comes
// back with it.
constexpr const char* kSanitizerRuntimes[] = {"libasan", "libhwasan", "liblsan", "libmsan",
                                              "libtsan", "libubsan", "libclang_rt."};

// The environment the process started with, as pointers into the block the
// kernel wrote: the start of every process only copies this array, and
// everything else is worked out when a child is started. The program may
// change or reorder its environment array; the strings of the block stay
// (only programs that write their process title over it change them, and
// an entry that no longer reads "NAME=..." is not carried).
const char* g_start[kStartMax];
size_t g_start_count = 0;
bool g_started = false;
// "ZIV_PCOMMAND_ID=<id>" once this process recorded its own command.
char g_command_id[kCommandId.prefix.size() + 25] = {};

// Length of "NAME=" of an environment entry; 0 without '='.
size_t name_length(const char* entry)
{
    const char* eq = strchr(entry, '=');
    return eq != nullptr ? static_cast<size_t>(eq - entry) + 1 : 0;
}

bool same_name(const char* a, const char* b, size_t b_name_len) { return strncmp(a, b, b_name_len) == 0; }

bool is_sanitizer_runtime(std::string_view entry)
{
    size_t slash = entry.rfind('/');
    const char* file = slash == std::string_view::npos ? entry.data() : entry.data() + slash + 1;
    size_t len = entry.size() - static_cast<size_t>(file - entry.data());
    for (const char* runtime : kSanitizerRuntimes) {
        size_t n = strlen(runtime);
        if (len >= n && memcmp(file, runtime, n) == 0) {
            return true;
        }
    }
    return false;
}

bool preload_has_library(const char* value)
{
    bool found = false;
    ziv_each_preload_entry(value, [&](std::string_view e) { return !(found = ziv_preload_entry_is_library(e)); });
    return found;
}

// "LD_PRELOAD=" with the sanitizer runtimes before this library's entry
// and the entry, in their order, then `rest` (the child's own preloads)
// when given, into `out` (null: only the length). 0 when the start-up
// value has no entry of this library.
size_t compose_preload(const char* start_value, const char* rest, char* out)
{
    size_t len = 0;
    auto put = [&](const char* text, size_t n) {
        if (out != nullptr) {
            memcpy(out + len, text, n);
        }
        len += n;
    };
    put(kPreload.prefix.data(), kPreload.prefix.size());
    bool ours = false;
    ziv_each_preload_entry(start_value, [&](std::string_view e) {
        ours = ziv_preload_entry_is_library(e);
        if (ours || is_sanitizer_runtime(e)) {
            if (len > kPreload.prefix.size()) {
                put(":", 1);
            }
            put(e.data(), e.size());
        }
        return !ours;
    });
    if (!ours) {
        return 0;
    }
    if (rest != nullptr) {
        put(":", 1);
        put(rest, strlen(rest));
    }
    if (out != nullptr) {
        out[len] = '\0';
    }
    return len + 1;
}

bool has_entries(const char* preload_value)
{
    bool any = false;
    ziv_each_preload_entry(preload_value, [&](std::string_view) { return !(any = true); });
    return any;
}

// What the start-up environment says, worked out at the first start of a
// child and kept: which entries are carried, the command id received, the
// LD_PRELOAD value, the switch. Threads that race to work it out write the
// same values.
struct start_info {
    uint64_t carried[kStartMax / 64] = {};
    const char* received_id = nullptr;
    const char* preload_entry = nullptr;  // "LD_PRELOAD=..."
    const char* preload = nullptr;        // its value
    bool preload_has_ours = false;
    bool switched_off = false;

    static const start_info* get();
};

start_info g_start_info;
std::atomic<bool> g_start_info_ready{false};

const start_info* start_info::get()
{
    if (g_start_info_ready.load(std::memory_order_acquire)) {
        return &g_start_info;
    }
    start_info info;
    for (size_t i = 0; i < g_start_count; ++i) {
        const char* e = g_start[i];
        if (kZiv.names(e)) {
            if (kSwitch.names(e)) {
                info.switched_off = info.switched_off || strcmp(kSwitch.value(e), "no") == 0;
            } else if (kCommandId.names(e)) {
                info.received_id = info.received_id == nullptr ? e : info.received_id;
                continue;
            }
            // A name that came twice is carried once, with its first value
            // (getenv's).
            size_t len = name_length(e);
            bool repeated = false;
            for (size_t j = 0; j < i && !repeated && len > 0; ++j) {
                repeated = (info.carried[j / 64] >> (j % 64) & 1) != 0 && same_name(g_start[j], e, len);
            }
            if (len > 0 && !repeated) {
                info.carried[i / 64] |= uint64_t{1} << (i % 64);
            }
        } else if (info.preload == nullptr && kPreload.names(e)) {
            info.preload_entry = e;
            info.preload = kPreload.value(e);
            info.preload_has_ours = preload_has_library(info.preload);
        }
    }
    g_start_info = info;
    g_start_info_ready.store(true, std::memory_order_release);
    return &g_start_info;
}

// The environment a child is started with: the given one, or a copy with
// what it lacks added.
class child_environment {
public:
    explicit child_environment(char* const* envp) : result_(envp) {}
    ~child_environment()
    {
        if (mapped_ != nullptr) {
            int saved = errno;
            munmap(mapped_, mapped_size_);
            errno = saved;
        }
    }
    child_environment(const child_environment&) = delete;
    child_environment& operator=(const child_environment&) = delete;
    char* const* get() const { return result_; }

    void build(char* const* envp)
    {
        if (!g_started) {
            return;
        }
        const start_info* start = start_info::get();
        if (start->switched_off) {
            return;
        }
        uint64_t carried[kStartMax / 64];
        memcpy(carried, start->carried, sizeof carried);
        const char* received_id = start->received_id;
        const char* start_preload = start->preload;
        // What the child is given. Its entries are most often those the
        // process started with, in their order (the same strings): each is
        // first compared with the one after the last found.
        size_t n = 0;
        long preload_at = -1;
        bool has_command_id = false;
        size_t cursor = 0;
        bool given_has_ours = false;
        for (; envp != nullptr && envp[n] != nullptr; ++n) {
            const char* e = envp[n];
            if (cursor < g_start_count && g_start[cursor] == e) {
                // An entry as the process started with it, in its place.
                size_t i = cursor++;
                if ((carried[i / 64] >> (i % 64) & 1) != 0) {
                    carried[i / 64] &= ~(uint64_t{1} << (i % 64));
                } else if (e == received_id) {
                    has_command_id = true;
                } else if (preload_at < 0 && e == start->preload_entry) {
                    preload_at = static_cast<long>(n);
                    given_has_ours = start->preload_has_ours;
                }
                continue;
            }
            if (kZiv.names(e)) {
                if (kSwitch.names(e) && strcmp(kSwitch.value(e), "no") == 0) {
                    return;  // the parent wants this child left alone
                }
                has_command_id = has_command_id || kCommandId.names(e);
                size_t len = name_length(e);
                for (size_t k = 0; len > 0 && k < g_start_count; ++k) {
                    size_t i = (cursor + k) % g_start_count;
                    if ((carried[i / 64] >> (i % 64) & 1) != 0 && same_name(g_start[i], e, len)) {
                        carried[i / 64] &= ~(uint64_t{1} << (i % 64));
                        cursor = i + 1;
                        break;
                    }
                }
            } else if (preload_at < 0 && kPreload.names(e)) {
                preload_at = static_cast<long>(n);
                given_has_ours = preload_has_library(kPreload.value(e));
            }
        }
        size_t missing = 0;
        for (uint64_t bits : carried) {
            missing += static_cast<size_t>(__builtin_popcountll(bits));
        }
        // The parent link names this process's own command when it has one,
        // else the command it received.
        const char* command_id = nullptr;
        if (!has_command_id) {
            command_id = g_command_id[0] != '\0' ? g_command_id : received_id;
        }
        missing += command_id != nullptr ? 1 : 0;
        const char* given_preload = preload_at >= 0 ? kPreload.value(envp[preload_at]) : nullptr;
        const char* rest = given_preload != nullptr && has_entries(given_preload) ? given_preload : nullptr;
        size_t preload_len = 0;
        if (start_preload != nullptr && start->preload_has_ours && !given_has_ours) {
            preload_len = compose_preload(start_preload, rest, nullptr);
        }
        if (missing == 0 && preload_len == 0) {
            return;
        }
        size_t slots = n + missing + 2;
        char* space = reserve(slots * sizeof(char*) + preload_len);
        if (space == nullptr) {
            return;
        }
        auto** out = reinterpret_cast<char**>(space);
        char* preload = space + slots * sizeof(char*);
        if (preload_len > 0) {
            compose_preload(start_preload, rest, preload);
        }
        size_t k = 0;
        for (size_t i = 0; i < n; ++i) {
            bool replaced = preload_len > 0 && static_cast<long>(i) == preload_at;
            out[k++] = replaced ? preload : const_cast<char*>(envp[i]);
        }
        if (preload_len > 0 && preload_at < 0) {
            out[k++] = preload;
        }
        for (size_t i = 0; i < g_start_count; ++i) {
            if ((carried[i / 64] >> (i % 64) & 1) != 0) {
                out[k++] = const_cast<char*>(g_start[i]);
            }
        }
        if (command_id != nullptr) {
            out[k++] = const_cast<char*>(command_id);
        }
        out[k] = nullptr;
        result_ = out;
    }

private:
    char* reserve(size_t bytes)
    {
        if (bytes <= sizeof local_) {
            return local_;
        }
        int saved = errno;
        void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        errno = saved;
        if (pages == MAP_FAILED) {
            return nullptr;
        }
        mapped_ = pages;
        mapped_size_ = bytes;
        return static_cast<char*>(pages);
    }

    char* const* result_;
    void* mapped_ = nullptr;
    size_t mapped_size_ = 0;
    alignas(char*) char local_[kLocalBytes];
};

// Calls the next definition of `symbol` through `call(next, envp)` with the
// child's environment in place of `envp`. The constructor resolved it; it
// is looked up here only when a program starts another from a constructor
// that ran before the library's. `unresolved` is the answer without one.
template <typename Fn, typename Call>
int start_child(Fn& slot, const char* symbol, char* const* envp, int unresolved, Call call)
{
    Fn next = slot != nullptr ? slot : ziv_lazy(slot, symbol);
    if (next == nullptr) {
        errno = ENOSYS;
        return unresolved;
    }
    child_environment env(envp);
    {
        // Over before the real call: a vfork child shares this thread's
        // flag with its parent, and an exec that succeeds never comes back
        // to clear it, which would leave the parent outside the library for
        // good.
        ziv_reentry_guard guard;
        if (!guard.reentered()) {
            env.build(envp);
        }
    }
    return call(next, env.get());
}

int exec_path(const char* path, char* const argv[], char* const envp[])
{
    return start_child(g_pf_org_execve, "execve", envp, -1,
                       [&](auto next, char* const* env) { return next(path, argv, env); });
}

int exec_search(const char* file, char* const argv[], char* const envp[])
{
    // The search follows this process's PATH, as execvp's does.
    return start_child(g_pf_org_execvpe, "execvpe", envp, -1,
                       [&](auto next, char* const* env) { return next(file, argv, env); });
}

// execl, execle and execlp: the arguments after `first` up to the
// terminating null become a vector on this frame's stack, as the C library
// makes it, and `run(argv, envp)` starts the program; `envp` is what
// follows the null for execle, else environ. `count_ap` and `fill_ap` are
// two starts of the same argument list.
template <typename Run>
int variadic_exec(const char* first, va_list count_ap, va_list fill_ap, bool with_env, Run run)
{
    size_t count = 0;
    if (first != nullptr) {
        for (count = 1; va_arg(count_ap, const char*) != nullptr; ++count) {
            if (count >= INT_MAX) {
                errno = E2BIG;
                return -1;
            }
        }
    }
    char* argv[count + 1];
    if (count > 0) {
        argv[0] = const_cast<char*>(first);
        for (size_t i = 1; i < count; ++i) {
            argv[i] = va_arg(fill_ap, char*);
        }
        (void)va_arg(fill_ap, char*);  // the terminator
    }
    argv[count] = nullptr;
    return run(argv, with_env ? va_arg(fill_ap, char* const*) : environ);
}

}  // namespace

void ziv_exec_snapshot()
{
    size_t n = 0;
    while (environ != nullptr && environ[n] != nullptr) {
        ++n;
    }
    if (n <= kStartMax) {
        memcpy(g_start, environ, n * sizeof(char*));
        g_start_count = n;
    } else {
        for (size_t i = 0; i < n && g_start_count < kStartMax; ++i) {
            if (kZiv.names(environ[i]) || kPreload.names(environ[i])) {
                g_start[g_start_count++] = environ[i];
            }
        }
    }
    g_started = true;
}

void ziv_exec_note_command_id(const char* id_text)
{
    size_t prefix = kCommandId.prefix.size();
    size_t len = id_text != nullptr ? strlen(id_text) : 0;
    if (len == 0 || prefix + len + 1 > sizeof g_command_id) {
        return;
    }
    memcpy(g_command_id, kCommandId.prefix.data(), prefix);
    memcpy(g_command_id + prefix, id_text, len + 1);
}

extern "C" {

ZIV_EXPORT int execve(const char* path, char* const argv[], char* const envp[]) noexcept
{
    return exec_path(path, argv, envp);
}

ZIV_EXPORT int execv(const char* path, char* const argv[]) noexcept { return exec_path(path, argv, environ); }

ZIV_EXPORT int execvp(const char* file, char* const argv[]) noexcept { return exec_search(file, argv, environ); }

ZIV_EXPORT int execvpe(const char* file, char* const argv[], char* const envp[]) noexcept
{
    return exec_search(file, argv, envp);
}

// Both lists are started before anything runs and ended only when the
// program could not be started.
#define ZIV_VARIADIC_EXEC(first, with_env, run)                               \
    va_list count_ap;                                                         \
    va_list fill_ap;                                                          \
    va_start(count_ap, first);                                                \
    va_start(fill_ap, first);                                                 \
    int result = variadic_exec(first, count_ap, fill_ap, with_env, run);      \
    va_end(count_ap);                                                         \
    va_end(fill_ap);                                                          \
    return result

ZIV_EXPORT int execl(const char* path, const char* arg, ...) noexcept
{
    ZIV_VARIADIC_EXEC(arg, false, [&](char** argv, char* const* envp) { return exec_path(path, argv, envp); });
}

ZIV_EXPORT int execle(const char* path, const char* arg, ...) noexcept
{
    ZIV_VARIADIC_EXEC(arg, true, [&](char** argv, char* const* envp) { return exec_path(path, argv, envp); });
}

ZIV_EXPORT int execlp(const char* file, const char* arg, ...) noexcept
{
    ZIV_VARIADIC_EXEC(arg, false, [&](char** argv, char* const* envp) { return exec_search(file, argv, envp); });
}

ZIV_EXPORT int fexecve(int fd, char* const argv[], char* const envp[]) noexcept
{
    return start_child(g_pf_org_fexecve, "fexecve", envp, -1,
                       [&](auto next, char* const* env) { return next(fd, argv, env); });
}

ZIV_EXPORT int execveat(int dirfd, const char* path, char* const argv[], char* const envp[], int flags) noexcept
{
    return start_child(g_pf_org_execveat, "execveat", envp, -1,
                       [&](auto next, char* const* env) { return next(dirfd, path, argv, env, flags); });
}

ZIV_EXPORT int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                           const posix_spawnattr_t* attr, char* const argv[], char* const envp[])
{
    return start_child(g_pf_org_posix_spawn, "posix_spawn", envp, ENOSYS,
                       [&](auto next, char* const* env) { return next(pid, path, actions, attr, argv, env); });
}

ZIV_EXPORT int posix_spawnp(pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
                            const posix_spawnattr_t* attr, char* const argv[], char* const envp[])
{
    return start_child(g_pf_org_posix_spawnp, "posix_spawnp", envp, ENOSYS,
                       [&](auto next, char* const* env) { return next(pid, file, actions, attr, argv, env); });
}

}  // extern "C"
