// Saved next definitions of every interposed C library function, and the
// libraries the library opens by itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <ftw.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/time.h>
#include <sys/timeb.h>
#include <sys/times.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <time.h>
#include <type_traits>

#include "ziv_common.h"

using ziv_spawn_fn = int (*)(pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*,
                            char* const*, char* const*);

// name, function type, symbol resolved at start-up with dlsym(RTLD_NEXT).
// Symbols with a loader fallback are resolved by their own resolver.
#define ZIV_ORG_SYMBOLS(X)                                                          \
    X(time, time_t (*)(time_t*), "time")                                            \
    X(ftime, int (*)(struct timeb*), "ftime")                                       \
    X(gettimeofday, int (*)(struct timeval*, void*), "gettimeofday")                \
    X(times, clock_t (*)(struct tms*), "times")                                     \
    X(stat, int (*)(const char*, struct stat*), "stat")                             \
    X(stat64, int (*)(const char*, struct stat64*), "stat64")                       \
    X(lstat, int (*)(const char*, struct stat*), "lstat")                           \
    X(lstat64, int (*)(const char*, struct stat64*), "lstat64")                     \
    X(xstat, int (*)(int, const char*, struct stat*), "__xstat")                    \
    X(xstat64, int (*)(int, const char*, struct stat64*), "__xstat64")              \
    X(lxstat, int (*)(int, const char*, struct stat*), "__lxstat")                  \
    X(lxstat64, int (*)(int, const char*, struct stat64*), "__lxstat64")            \
    X(fxstat, int (*)(int, int, struct stat*), "__fxstat")                          \
    X(fxstat64, int (*)(int, int, struct stat64*), "__fxstat64")                    \
    X(fxstatat, int (*)(int, int, const char*, struct stat*, int), "__fxstatat")    \
    X(fxstatat64, int (*)(int, int, const char*, struct stat64*, int), "__fxstatat64") \
    X(fstatat, int (*)(int, const char*, struct stat*, int), "fstatat")             \
    X(fstatat64, int (*)(int, const char*, struct stat64*, int), "fstatat64")       \
    X(fstat, int (*)(int, struct stat*), "fstat")                                   \
    X(fstat64, int (*)(int, struct stat64*), "fstat64")                             \
    X(statx, int (*)(int, const char*, int, unsigned int, struct statx*), "statx") \
    X(readdir, struct dirent* (*)(DIR*), "readdir")                                 \
    X(closedir, int (*)(DIR*), "closedir")                                          \
    X(readdir64, struct dirent64* (*)(DIR*), "readdir64")                           \
    X(readdir_r, int (*)(DIR*, struct dirent*, struct dirent**), "readdir_r")       \
    X(readdir64_r, int (*)(DIR*, struct dirent64*, struct dirent64**), "readdir64_r") \
    X(nftw, int (*)(const char*, __nftw_func_t, int, int), "nftw")                  \
    X(nftw64, int (*)(const char*, __nftw64_func_t, int, int), "nftw64")            \
    X(random, long (*)(void), "random")                                             \
    X(rand, int (*)(void), "rand")                                                  \
    X(getpid, pid_t (*)(void), "getpid")                                            \
    X(getppid, pid_t (*)(void), "getppid")                                          \
    X(read, ssize_t (*)(int, void*, size_t), "read")                                \
    X(read_chk, ssize_t (*)(int, void*, size_t, size_t), "__read_chk")              \
    X(fread, size_t (*)(void*, size_t, size_t, FILE*), "fread")                     \
    X(fread_chk, size_t (*)(void*, size_t, size_t, size_t, FILE*), "__fread_chk")   \
    X(getuid, uid_t (*)(void), "getuid")                                            \
    X(getgid, gid_t (*)(void), "getgid")                                            \
    X(gethostname, int (*)(char*, size_t), "gethostname")                           \
    X(sysinfo, int (*)(struct sysinfo*), "sysinfo")                                 \
    X(_exit, void (*)(int), "_exit")                                                \
    X(execve, int (*)(const char*, char* const*, char* const*), "execve")           \
    X(execvpe, int (*)(const char*, char* const*, char* const*), "execvpe")         \
    X(fexecve, int (*)(int, char* const*, char* const*), "fexecve")                 \
    X(execveat, int (*)(int, const char*, char* const*, char* const*, int), "execveat") \
    X(posix_spawn, ziv_spawn_fn, "posix_spawn")                                     \
    X(posix_spawnp, ziv_spawn_fn, "posix_spawnp")                                   \
    X(open, int (*)(const char*, int, ...), "open")                                 \
    X(open64, int (*)(const char*, int, ...), "open64")                             \
    X(openat, int (*)(int, const char*, int, ...), "openat")                        \
    X(openat64, int (*)(int, const char*, int, ...), "openat64")                    \
    X(open_2, int (*)(const char*, int), "__open_2")                                \
    X(open64_2, int (*)(const char*, int), "__open64_2")                            \
    X(openat_2, int (*)(int, const char*, int), "__openat_2")                       \
    X(openat64_2, int (*)(int, const char*, int), "__openat64_2")

extern "C" {

#define ZIV_DECLARE_ORG(name, type, symbol) extern std::type_identity_t<type> g_pf_org_##name;
ZIV_ORG_SYMBOLS(ZIV_DECLARE_ORG)
#undef ZIV_DECLARE_ORG

// Resolved by their own resolvers, with a library fallback.
extern int (*g_pf_org_clock_gettime)(clockid_t, struct timespec*);
extern int (*g_pf_org_uname)(struct utsname*);
extern uint32_t (*g_pf_org_arc4random)(void);
// Resolved lazily by its interposer only.
extern ssize_t (*g_pf_org_getrandom)(void*, size_t, unsigned int);

extern void* g_dlhandle_ziv_rt_lazy;
extern void* g_dlhandle_ziv_c_lazy;
extern void* g_dlhandle_ziv_bsd;
extern void* g_dlhandle_ziv_sqlite3_lazy;

ZIV_EXPORT void init_ziv_org_symbols(void);
ZIV_EXPORT void ziv_dlsym_clock_gettime(void);
ZIV_EXPORT void ziv_dlsym_uname(void);
ZIV_EXPORT void ziv_dlsym_exit(void);
ZIV_EXPORT void ziv_dlsym_arc4random(void);
ZIV_EXPORT void ziv_dlclose_all(void);

}  // extern "C"

// Looks `symbol` up in the objects loaded after this library. The stat
// family's versioned entry points exist only as compatibility symbols in
// current C libraries, which a plain lookup does not return.
void* ziv_next_symbol(const char* symbol);

// Resolves a saved pointer on first use: interposers can be called before
// the constructor, from another library's constructor.
template <typename Fn>
inline Fn ziv_lazy(Fn& slot, const char* symbol)
{
    if (slot == nullptr) {
        slot = reinterpret_cast<Fn>(ziv_next_symbol(symbol));
    }
    return slot;
}
