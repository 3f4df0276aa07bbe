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
#include "ziv_symbols.h"

namespace {

constexpr char kPreload[] = "LD_PRELOAD=";
constexpr size_t kPreloadLen = sizeof kPreload - 1;
constexpr char kCommandId[] = "ZIV_PCOMMAND_ID=";
constexpr size_t kCommandIdLen = sizeof kCommandId - 1;
constexpr char kSwitch[] = "ZIV_CARRY_ENV=";
constexpr size_t kSwitchLen = sizeof kSwitch - 1;
constexpr size_t kCarriedMax = 256;
// Only the pages the copies need are ever touched.
constexpr size_t kArenaSize = 64 * 1024;
// Entries of the new list that fit on the caller's stack.
constexpr size_t kLocalBytes = 8192;

// Runtimes that must come first in LD_PRELOAD for a library built with a
// sanitizer to load at all: when one came before this library, it comes
// back with it.
constexpr const char* kSanitizerRuntimes[] = {"libasan", "libhwasan", "liblsan", "libmsan",
                                              "libtsan", "libubsan", "libclang_rt."};

struct carried_entry {
    const char* text;  // "NAME=value"
    size_t name_len;   // up to and with the '='
};

// What this process received, fixed before main and only read afterwards.
char g_arena[kArenaSize];
size_t g_arena_used = 0;
carried_entry g_carried[kCarriedMax];
size_t g_carried_count = 0;
const char* g_preload = nullptr;  // "LD_PRELOAD=<sanitizer runtimes>:<this library>"
size_t g_preload_value_len = 0;
const char* g_received_command_id = nullptr;  // "ZIV_PCOMMAND_ID=..." at start
bool g_switched_off = false;
bool g_carry = false;
// "ZIV_PCOMMAND_ID=<id>" once this process recorded its own command.
char g_command_id[sizeof kCommandId + 24] = {};

bool starts_with(const char* text, const char* prefix, size_t len) { return strncmp(text, prefix, len) == 0; }

bool is_preload_separator(char c) { return c == ' ' || c == ':'; }

// The text in the arena; the original when it does not fit (the
// environment block outlives main in all but programs that rewrite it).
const char* keep(const char* text, size_t len)
{
    if (len + 1 > kArenaSize - g_arena_used) {
        return text;
    }
    char* copy = g_arena + g_arena_used;
    memcpy(copy, text, len);
    copy[len] = '\0';
    g_arena_used += len + 1;
    return copy;
}

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

// "LD_PRELOAD=" with the sanitizer runtimes before this library's entry
// and the entry itself, in their order; null without the entry.
void snapshot_preload(const char* value)
{
    char text[4096];
    size_t len = kPreloadLen;
    memcpy(text, kPreload, kPreloadLen);
    for (size_t at = 0; value[at] != '\0';) {
        size_t end = at;
        while (value[end] != '\0' && !is_preload_separator(value[end])) {
            ++end;
        }
        std::string_view entry(value + at, end - at);
        bool ours = !entry.empty() && ziv_preload_entry_is_library(entry);
        if (ours || (!entry.empty() && is_sanitizer_runtime(entry))) {
            if (len + entry.size() + 2 > sizeof text) {
                return;
            }
            if (len > kPreloadLen) {
                text[len++] = ':';
            }
            memcpy(text + len, entry.data(), entry.size());
            len += entry.size();
        }
        if (ours) {
            g_preload = keep(text, len);
            g_preload_value_len = len - kPreloadLen;
            return;
        }
        at = value[end] != '\0' ? end + 1 : end;
    }
}

size_t name_length(const char* entry)
{
    const char* eq = strchr(entry, '=');
    return eq != nullptr ? static_cast<size_t>(eq - entry) + 1 : 0;
}

int compare_names(const char* a, size_t a_len, const char* b, size_t b_len)
{
    int c = memcmp(a, b, a_len < b_len ? a_len : b_len);
    return c != 0 ? c : (a_len < b_len ? -1 : a_len > b_len ? 1 : 0);
}

// Index of the carried variable named like `entry` ("NAME=..."), or -1.
long find_carried(const char* entry)
{
    size_t len = name_length(entry);
    if (len == 0) {
        return -1;
    }
    size_t low = 0;
    size_t high = g_carried_count;
    while (low < high) {
        size_t mid = (low + high) / 2;
        int c = compare_names(entry, len, g_carried[mid].text, g_carried[mid].name_len);
        if (c == 0) {
            return static_cast<long>(mid);
        }
        if (c < 0) {
            high = mid;
        } else {
            low = mid + 1;
        }
    }
    return -1;
}

bool has_entries(const char* preload_value)
{
    for (const char* c = preload_value; *c != '\0'; ++c) {
        if (!is_preload_separator(*c)) {
            return true;
        }
    }
    return false;
}

bool preload_has_library(const char* value)
{
    for (size_t at = 0; value[at] != '\0';) {
        size_t end = at;
        while (value[end] != '\0' && !is_preload_separator(value[end])) {
            ++end;
        }
        if (end > at && ziv_preload_entry_is_library(std::string_view(value + at, end - at))) {
            return true;
        }
        at = value[end] != '\0' ? end + 1 : end;
    }
    return false;
}

// The environment a child is started with: the given one, or a copy with
// what it lacks added.
class child_environment {
public:
    explicit child_environment(char* const* envp) : result_(envp)
    {
        if (g_carry) {
            build(envp);
        }
    }
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

private:
    void build(char* const* envp)
    {
        uint64_t present[kCarriedMax / 64] = {};
        size_t n = 0;
        long preload_at = -1;
        bool has_command_id = false;
        for (; envp != nullptr && envp[n] != nullptr; ++n) {
            const char* e = envp[n];
            if (e[0] == 'Z' && starts_with(e, "ZIV_", 4)) {
                if (starts_with(e, kSwitch, kSwitchLen) && strcmp(e + kSwitchLen, "no") == 0) {
                    return;  // the parent wants this child left alone
                }
                has_command_id = has_command_id || starts_with(e, kCommandId, kCommandIdLen);
                if (long i = find_carried(e); i >= 0) {
                    present[i / 64] |= uint64_t{1} << (i % 64);
                }
            } else if (preload_at < 0 && starts_with(e, kPreload, kPreloadLen)) {
                preload_at = static_cast<long>(n);
            }
        }
        size_t missing = 0;
        for (size_t i = 0; i < g_carried_count; ++i) {
            missing += (present[i / 64] >> (i % 64) & 1) == 0 ? 1 : 0;
        }
        // The parent link names this process's own command when it has one,
        // else the command it received.
        const char* command_id = has_command_id ? nullptr : g_command_id[0] != '\0' ? g_command_id : g_received_command_id;
        missing += command_id != nullptr ? 1 : 0;
        const char* given_preload = preload_at >= 0 ? envp[preload_at] + kPreloadLen : nullptr;
        bool add_preload = g_preload != nullptr && (given_preload == nullptr || !preload_has_library(given_preload));
        if (missing == 0 && !add_preload) {
            return;
        }
        // The library goes in front of the child's own preloads, as it stood
        // in front of what followed it here.
        bool merge = add_preload && given_preload != nullptr && has_entries(given_preload);
        size_t merged_len = merge ? kPreloadLen + g_preload_value_len + 1 + strlen(given_preload) + 1 : 0;
        size_t slots = n + missing + 2;
        size_t bytes = slots * sizeof(char*) + merged_len;
        char* space = reserve(bytes);
        if (space == nullptr) {
            return;
        }
        auto** out = reinterpret_cast<char**>(space);
        const char* preload = g_preload;
        if (merge) {
            char* text = space + slots * sizeof(char*);
            size_t ours = kPreloadLen + g_preload_value_len;
            memcpy(text, g_preload, ours);
            text[ours] = ':';
            memcpy(text + ours + 1, given_preload, strlen(given_preload) + 1);
            preload = text;
        }
        size_t k = 0;
        for (size_t i = 0; i < n; ++i) {
            bool replaced = add_preload && static_cast<long>(i) == preload_at;
            out[k++] = const_cast<char*>(replaced ? preload : envp[i]);
        }
        if (add_preload && preload_at < 0) {
            out[k++] = const_cast<char*>(preload);
        }
        for (size_t i = 0; i < g_carried_count; ++i) {
            if ((present[i / 64] >> (i % 64) & 1) == 0) {
                out[k++] = const_cast<char*>(g_carried[i].text);
            }
        }
        if (command_id != nullptr) {
            out[k++] = const_cast<char*>(command_id);
        }
        out[k] = nullptr;
        result_ = out;
    }

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

template <typename Fn>
Fn real(Fn& slot, const char* symbol)
{
    // Resolved by the constructor; looked up here only when a program
    // starts another from a constructor that ran before the library's.
    return slot != nullptr ? slot : ziv_lazy(slot, symbol);
}

int exec_path(const char* path, char* const argv[], char* const envp[])
{
    auto next = real(g_pf_org_execve, "execve");
    if (next == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    child_environment env(envp);
    return next(path, argv, env.get());
}

int exec_search(const char* file, char* const argv[], char* const envp[])
{
    // The search follows this process's PATH, as execvp's does.
    auto next = real(g_pf_org_execvpe, "execvpe");
    if (next == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    child_environment env(envp);
    return next(file, argv, env.get());
}

int spawn(ziv_spawn_fn& slot, const char* symbol, pid_t* pid, const char* path,
          const posix_spawn_file_actions_t* actions, const posix_spawnattr_t* attr, char* const argv[],
          char* const envp[])
{
    auto next = real(slot, symbol);
    if (next == nullptr) {
        return ENOSYS;
    }
    child_environment env(envp);
    return next(pid, path, actions, attr, argv, env.get());
}

// The arguments of execl, execle and execlp after `first`, up to the
// terminating null: their count (first included).
size_t variadic_count(const char* first, va_list ap)
{
    if (first == nullptr) {
        return 0;
    }
    size_t n = 1;
    while (va_arg(ap, const char*) != nullptr) {
        ++n;
    }
    return n;
}

// Fills `argv` (count + 1 slots) and returns what follows the terminating
// null when `with_env` (execle's environment).
char* const* variadic_fill(char** argv, size_t count, const char* first, va_list ap, bool with_env)
{
    if (count > 0) {
        argv[0] = const_cast<char*>(first);
        for (size_t i = 1; i < count; ++i) {
            argv[i] = va_arg(ap, char*);
        }
        (void)va_arg(ap, char*);  // the terminator
    }
    argv[count] = nullptr;
    return with_env ? va_arg(ap, char* const*) : nullptr;
}

}  // namespace

void ziv_exec_snapshot()
{
    const char* carry = getenv("ZIV_CARRY_ENV");
    if (carry != nullptr && strcmp(carry, "no") == 0) {
        g_switched_off = true;
        return;
    }
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        if (starts_with(*e, kCommandId, kCommandIdLen)) {
            if (g_received_command_id == nullptr) {
                g_received_command_id = keep(*e, strlen(*e));
            }
        } else if (starts_with(*e, "ZIV_", 4) && g_carried_count < kCarriedMax) {
            size_t name_len = name_length(*e);
            // The first of two equal names is the one getenv gives.
            if (name_len == 0 || find_carried(*e) >= 0) {
                continue;
            }
            carried_entry entry{keep(*e, strlen(*e)), name_len};
            size_t at = g_carried_count++;
            while (at > 0 && compare_names(entry.text, entry.name_len, g_carried[at - 1].text,
                                           g_carried[at - 1].name_len) < 0) {
                g_carried[at] = g_carried[at - 1];
                --at;
            }
            g_carried[at] = entry;
        } else if (g_preload == nullptr && starts_with(*e, kPreload, kPreloadLen)) {
            snapshot_preload(*e + kPreloadLen);
        }
    }
    g_carry = g_carried_count > 0 || g_preload != nullptr || g_received_command_id != nullptr;
}

void ziv_exec_note_command_id(const char* id_text)
{
    size_t prefix = kCommandIdLen;
    size_t len = id_text != nullptr ? strlen(id_text) : 0;
    if (len == 0 || prefix + len + 1 > sizeof g_command_id) {
        return;
    }
    memcpy(g_command_id, kCommandId, prefix);
    memcpy(g_command_id + prefix, id_text, len + 1);
    g_carry = !g_switched_off;
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

ZIV_EXPORT int execl(const char* path, const char* arg, ...) noexcept
{
    va_list ap;
    va_start(ap, arg);
    size_t count = variadic_count(arg, ap);
    va_end(ap);
    if (count >= INT_MAX) {
        errno = E2BIG;
        return -1;
    }
    char* argv[count + 1];
    va_start(ap, arg);
    variadic_fill(argv, count, arg, ap, false);
    va_end(ap);
    return exec_path(path, argv, environ);
}

ZIV_EXPORT int execle(const char* path, const char* arg, ...) noexcept
{
    va_list ap;
    va_start(ap, arg);
    size_t count = variadic_count(arg, ap);
    va_end(ap);
    if (count >= INT_MAX) {
        errno = E2BIG;
        return -1;
    }
    char* argv[count + 1];
    va_start(ap, arg);
    char* const* envp = variadic_fill(argv, count, arg, ap, true);
    va_end(ap);
    return exec_path(path, argv, envp);
}

ZIV_EXPORT int execlp(const char* file, const char* arg, ...) noexcept
{
    va_list ap;
    va_start(ap, arg);
    size_t count = variadic_count(arg, ap);
    va_end(ap);
    if (count >= INT_MAX) {
        errno = E2BIG;
        return -1;
    }
    char* argv[count + 1];
    va_start(ap, arg);
    variadic_fill(argv, count, arg, ap, false);
    va_end(ap);
    return exec_search(file, argv, environ);
}

ZIV_EXPORT int fexecve(int fd, char* const argv[], char* const envp[]) noexcept
{
    auto next = real(g_pf_org_fexecve, "fexecve");
    if (next == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    child_environment env(envp);
    return next(fd, argv, env.get());
}

ZIV_EXPORT int execveat(int dirfd, const char* path, char* const argv[], char* const envp[], int flags) noexcept
{
    auto next = real(g_pf_org_execveat, "execveat");
    if (next == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    child_environment env(envp);
    return next(dirfd, path, argv, env.get(), flags);
}

ZIV_EXPORT int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                           const posix_spawnattr_t* attr, char* const argv[], char* const envp[])
{
    return spawn(g_pf_org_posix_spawn, "posix_spawn", pid, path, actions, attr, argv, envp);
}

ZIV_EXPORT int posix_spawnp(pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
                            const posix_spawnattr_t* attr, char* const argv[], char* const envp[])
{
    return spawn(g_pf_org_posix_spawnp, "posix_spawnp", pid, file, actions, attr, argv, envp);
}

}  // extern "C"
