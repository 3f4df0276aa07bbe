// The open family. Every process calls these often, so a process that does
// not observe its opens pays, besides taking the mode argument as the C
// library itself does, one load and one predictable branch on top of the
// next definition: the jump target below is set once that definition is
// resolved. A traced compiler with header tracing from opens clears the
// targets; each call then takes the slow path, which reports the opens that
// succeeded. Nothing here allocates or makes a system call of its own.
#include <cerrno>
#include <cstdarg>
#include <fcntl.h>

#include "ziv_hdeps_open.h"
#include "ziv_interpose.h"
#include "ziv_symbols.h"

namespace {

// Null before the next definition is resolved and while observing.
struct open_targets {
    decltype(g_pf_org_open) open;
    decltype(g_pf_org_open64) open64;
    decltype(g_pf_org_openat) openat;
    decltype(g_pf_org_openat64) openat64;
    decltype(g_pf_org_open_2) open_2;
    decltype(g_pf_org_open64_2) open64_2;
    decltype(g_pf_org_openat_2) openat_2;
    decltype(g_pf_org_openat64_2) openat64_2;
};

open_targets g_open_direct = {};
bool g_open_observing = false;

template <typename Fn>
inline Fn direct_target(const Fn& slot)
{
    return __atomic_load_n(&slot, __ATOMIC_RELAXED);
}

// Resolves the next definition, makes it the fast path's target unless the
// process observes, and calls it with `args`.
template <typename Fn, typename... Args>
__attribute__((noinline)) int open_slow(Fn& next, Fn& direct, const char* symbol, int dirfd, const char* path,
                                        int flags, Args... args)
{
    Fn real = ziv_lazy(next, symbol);
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    if (!__atomic_load_n(&g_open_observing, __ATOMIC_RELAXED)) {
        __atomic_store_n(&direct, real, __ATOMIC_RELAXED);
        // Observation may have begun on another thread meanwhile.
        if (__atomic_load_n(&g_open_observing, __ATOMIC_RELAXED)) {
            __atomic_store_n(&direct, static_cast<Fn>(nullptr), __ATOMIC_RELAXED);
        }
        return real(args...);
    }
    int fd = real(args...);
    if (fd >= 0) {
        // The library's own opens (a signal handler, the allocator, its
        // reads and writes) are not the compiler's and take no lock again.
        ziv_reentry_guard guard;
        if (!guard.reentered()) {
            ziv_hdeps_open_seen(dirfd, path, flags);
        }
    }
    return fd;
}

}  // namespace

// The mode argument exists only when the flags create a file; reading it
// otherwise would take whatever lies in its register.
#define ZIV_OPEN_MODE(flags, mode)         \
    int mode = 0;                          \
    if (__OPEN_NEEDS_MODE(flags)) {        \
        va_list ap;                        \
        va_start(ap, flags);               \
        mode = va_arg(ap, int);            \
        va_end(ap);                        \
    }

void ziv_open_observe(bool on)
{
    __atomic_store_n(&g_open_observing, on, __ATOMIC_RELAXED);
    if (on) {
        g_open_direct = {};
    }
}

extern "C" {

ZIV_EXPORT int open(const char* path, int flags, ...)
{
    ZIV_OPEN_MODE(flags, mode)
    if (auto f = direct_target(g_open_direct.open); __builtin_expect(f != nullptr, 1)) {
        return f(path, flags, mode);
    }
    return open_slow(g_pf_org_open, g_open_direct.open, "open", AT_FDCWD, path, flags, path, flags, mode);
}

ZIV_EXPORT int open64(const char* path, int flags, ...)
{
    ZIV_OPEN_MODE(flags, mode)
    if (auto f = direct_target(g_open_direct.open64); __builtin_expect(f != nullptr, 1)) {
        return f(path, flags, mode);
    }
    return open_slow(g_pf_org_open64, g_open_direct.open64, "open64", AT_FDCWD, path, flags, path, flags, mode);
}

ZIV_EXPORT int openat(int dirfd, const char* path, int flags, ...)
{
    ZIV_OPEN_MODE(flags, mode)
    if (auto f = direct_target(g_open_direct.openat); __builtin_expect(f != nullptr, 1)) {
        return f(dirfd, path, flags, mode);
    }
    return open_slow(g_pf_org_openat, g_open_direct.openat, "openat", dirfd, path, flags, dirfd, path, flags, mode);
}

ZIV_EXPORT int openat64(int dirfd, const char* path, int flags, ...)
{
    ZIV_OPEN_MODE(flags, mode)
    if (auto f = direct_target(g_open_direct.openat64); __builtin_expect(f != nullptr, 1)) {
        return f(dirfd, path, flags, mode);
    }
    return open_slow(g_pf_org_openat64, g_open_direct.openat64, "openat64", dirfd, path, flags, dirfd, path, flags,
                     mode);
}

// What fortified programs call when the flags are not known while compiling;
// these never take a mode.
ZIV_EXPORT int __open_2(const char* path, int flags)
{
    if (auto f = direct_target(g_open_direct.open_2); __builtin_expect(f != nullptr, 1)) {
        return f(path, flags);
    }
    return open_slow(g_pf_org_open_2, g_open_direct.open_2, "__open_2", AT_FDCWD, path, flags, path, flags);
}

ZIV_EXPORT int __open64_2(const char* path, int flags)
{
    if (auto f = direct_target(g_open_direct.open64_2); __builtin_expect(f != nullptr, 1)) {
        return f(path, flags);
    }
    return open_slow(g_pf_org_open64_2, g_open_direct.open64_2, "__open64_2", AT_FDCWD, path, flags, path, flags);
}

ZIV_EXPORT int __openat_2(int dirfd, const char* path, int flags)
{
    if (auto f = direct_target(g_open_direct.openat_2); __builtin_expect(f != nullptr, 1)) {
        return f(dirfd, path, flags);
    }
    return open_slow(g_pf_org_openat_2, g_open_direct.openat_2, "__openat_2", dirfd, path, flags, dirfd, path, flags);
}

ZIV_EXPORT int __openat64_2(int dirfd, const char* path, int flags)
{
    if (auto f = direct_target(g_open_direct.openat64_2); __builtin_expect(f != nullptr, 1)) {
        return f(dirfd, path, flags);
    }
    return open_slow(g_pf_org_openat64_2, g_open_direct.openat64_2, "__openat64_2", dirfd, path, flags, dirfd, path,
                     flags);
}

}  // extern "C"
