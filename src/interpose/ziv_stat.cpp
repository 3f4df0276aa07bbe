// The stat family: the real answer, with the listed program's fields
// replaced by the configured ones. Programs call these more than anything
// else, so a call that needs no rewrite costs the next definition plus a
// few loads of the configuration.
#include <cerrno>
#include <sys/sysmacros.h>

#include "ziv_log.h"
#include "ziv_stat.h"
#include "ziv_symbols.h"

namespace {

constexpr uint32_t ZIV_STAT_PLAIN_BITS = ZIV_F_UIDLIST | ZIV_F_INOLIST | ZIV_F_DEVIDLIST | ZIV_F_DIRSIZELIST;

// Whether a successful result goes through the rewriter: when a feature
// applies, or when the log wants to hear about the real fields too.
inline bool ziv_stat_wanted()
{
    const ziv_cfg_t& cfg = ziv_prog_cfg;
    if (cfg.log_level != 0 || cfg.env_read != 1) {
        return true;
    }
    return (cfg.prog[0].mask & ZIV_STAT_PLAIN_BITS) != 0 || ziv_feature_on(ZIV_F_FILE_TIME_LIST);
}

// Counted from the configured first number; the last number is kept once
// reached, rather than wrapping to 0, which means "no file" to many readers.
uint16_t ziv_take_inode()
{
    uint16_t number = ziv_prog_cfg.next_inode;
    ziv_prog_cfg.next_inode = ziv_saturating_step<uint16_t>(number, 1);
    return number;
}

// Field access for the three result layouts.
template <typename Stat>
struct stat_fields {
    static void set_times(Stat* b, time_t t)
    {
        b->st_atim = {t, 0};
        b->st_mtim = {t, 0};
        b->st_ctim = {t, 0};
    }
    static void set_owner(Stat* b, uid_t uid, gid_t gid)
    {
        b->st_uid = uid;
        b->st_gid = gid;
    }
    static void set_inode(Stat* b, uint16_t ino) { b->st_ino = ino; }
    static void set_devices(Stat* b, uint32_t dev, uint32_t rdev)
    {
        b->st_dev = dev;
        b->st_rdev = rdev;
    }
    static bool is_dir(const Stat* b) { return S_ISDIR(b->st_mode); }
    static void clear_size(Stat* b) { b->st_size = 0; }
};

template <>
struct stat_fields<struct statx> {
    using S = struct statx;
    static void set_times(S* b, time_t t)
    {
        for (struct statx_timestamp* stamp : {&b->stx_atime, &b->stx_mtime, &b->stx_ctime, &b->stx_btime}) {
            stamp->tv_sec = t;
            stamp->tv_nsec = 0;
        }
    }
    static void set_owner(S* b, uid_t uid, gid_t gid)
    {
        b->stx_uid = uid;
        b->stx_gid = gid;
    }
    static void set_inode(S* b, uint16_t ino) { b->stx_ino = ino; }
    // Split as the C library splits st_dev, so both interfaces agree.
    static void set_devices(S* b, uint32_t dev, uint32_t rdev)
    {
        b->stx_dev_major = gnu_dev_major(dev);
        b->stx_dev_minor = gnu_dev_minor(dev);
        b->stx_rdev_major = gnu_dev_major(rdev);
        b->stx_rdev_minor = gnu_dev_minor(rdev);
    }
    static bool is_dir(const S* b) { return S_ISDIR(b->stx_mode); }
    static void clear_size(S* b) { b->stx_size = 0; }
};

// The five steps; each message says which answer was handed out, and is
// only formatted while the log is on.
template <typename Stat>
void ziv_rewrite(Stat* buf, const char* name, const char* tag)
{
    using F = stat_fields<Stat>;
    ziv_errno_guard keep;
    const ziv_cfg_t& cfg = ziv_prog_cfg;
    const bool logging = ziv_logging();
    const char* prog = logging ? ziv_prog_name_for_log() : nullptr;
    auto note = [&](bool fixed, const char* fixed_text, const char* real_text) {
        if (logging) {
            ziv_log(LOG_INFO, fixed ? fixed_text : real_text, prog, name);
        }
    };

    bool times = ziv_feature_on(ZIV_F_FILE_TIME_LIST);
    if (times) {
        F::set_times(buf, ziv_get_build_time());
    }
    note(times, "%s %s get ziv_timestamp\n", "%s %s get real timestamp\n");

    bool owner = ziv_feature_on(ZIV_F_UIDLIST);
    if (owner) {
        F::set_owner(buf, cfg.uid, cfg.gid);
    }
    note(owner, "%s %s get ziv_uid and ziv_gid\n", "%s %s get real uid and real gid\n");

    bool inode = ziv_feature_on(ZIV_F_INOLIST);
    if (inode) {
        F::set_inode(buf, ziv_take_inode());
    }
    note(inode, "%s %s get ziv_inode\n", "%s %s get real inode\n");

    bool devices = ziv_feature_on(ZIV_F_DEVIDLIST);
    if (devices) {
        F::set_devices(buf, cfg.dev_id, cfg.rdev_id);
    }
    note(devices, "%s %s get ziv device ID\n", "%s %s get real device ID\n");

    bool size = ziv_feature_on(ZIV_F_DIRSIZELIST) && F::is_dir(buf);
    if (size) {
        F::clear_size(buf);
    }
    note(size, "%s %s get ziv dir size\n", "%s %s get real dir size\n");

    if (logging && (times || owner || inode || devices || size)) {
        ziv_get_stack_info(tag);
    }
}

void ziv_rewrite_any(struct stat* buf, const char* name) { ziv_stat(buf, name); }
void ziv_rewrite_any(struct stat64* buf, const char* name) { ziv_stat64(buf, name); }
void ziv_rewrite_any(struct statx* buf, const char* name) { ziv_statx(buf, name); }

// One wrapper for all: `args` are the caller's arguments, `buf` the result
// structure among them.
template <typename Fn, typename Buf, typename... Args>
inline int ziv_stat_call(Fn& slot, const char* symbol, Buf* buf, Args... args)
{
    Fn real = ziv_lazy(slot, symbol);
    if (__builtin_expect(real == nullptr, 0)) {
        errno = ENOSYS;
        return -1;
    }
    // Decided before the call, so that the common case is a plain jump to
    // the next definition: nothing of the library is touched after the
    // system call.
    if (__builtin_expect(!ziv_stat_wanted(), 1)) {
        return real(args...);
    }
    ziv_reentry_guard guard;
    if (guard.reentered()) {
        return real(args...);
    }
    ziv_log_enter(symbol, __LINE__);
    int result = real(args...);
    if (result != 0) {
        return result;
    }
    ziv_rewrite_any(buf, symbol);
    return 0;
}

}  // namespace

void ziv_statx(struct statx* buf, const char* name) { ziv_rewrite(buf, name, "ziv_statx"); }

extern "C" {

ZIV_EXPORT void ziv_stat(struct stat* buf, const char* name) { ziv_rewrite(buf, name, "ziv_stat"); }

ZIV_EXPORT void ziv_stat64(struct stat64* buf, const char* name) { ziv_rewrite(buf, name, "ziv_stat64"); }

// Entry points of binaries built against older C libraries.
ZIV_EXPORT int __xstat(int ver, const char* path, struct stat* buf)
{
    return ziv_stat_call(g_pf_org_xstat, "__xstat", buf, ver, path, buf);
}

ZIV_EXPORT int __xstat64(int ver, const char* path, struct stat64* buf)
{
    return ziv_stat_call(g_pf_org_xstat64, "__xstat64", buf, ver, path, buf);
}

ZIV_EXPORT int __lxstat(int ver, const char* path, struct stat* buf)
{
    return ziv_stat_call(g_pf_org_lxstat, "__lxstat", buf, ver, path, buf);
}

ZIV_EXPORT int __lxstat64(int ver, const char* path, struct stat64* buf)
{
    return ziv_stat_call(g_pf_org_lxstat64, "__lxstat64", buf, ver, path, buf);
}

ZIV_EXPORT int __fxstat(int ver, int fd, struct stat* buf)
{
    return ziv_stat_call(g_pf_org_fxstat, "__fxstat", buf, ver, fd, buf);
}

ZIV_EXPORT int __fxstat64(int ver, int fd, struct stat64* buf)
{
    return ziv_stat_call(g_pf_org_fxstat64, "__fxstat64", buf, ver, fd, buf);
}

ZIV_EXPORT int __fxstatat(int ver, int dirfd, const char* path, struct stat* buf, int flag)
{
    return ziv_stat_call(g_pf_org_fxstatat, "__fxstatat", buf, ver, dirfd, path, buf, flag);
}

ZIV_EXPORT int __fxstatat64(int ver, int dirfd, const char* path, struct stat64* buf, int flag)
{
    return ziv_stat_call(g_pf_org_fxstatat64, "__fxstatat64", buf, ver, dirfd, path, buf, flag);
}

// The names current binaries call.
ZIV_EXPORT int stat(const char* path, struct stat* buf) noexcept
{
    return ziv_stat_call(g_pf_org_stat, "stat", buf, path, buf);
}

ZIV_EXPORT int lstat(const char* path, struct stat* buf) noexcept
{
    return ziv_stat_call(g_pf_org_lstat, "lstat", buf, path, buf);
}

ZIV_EXPORT int stat64(const char* path, struct stat64* buf) noexcept
{
    return ziv_stat_call(g_pf_org_stat64, "stat64", buf, path, buf);
}

ZIV_EXPORT int lstat64(const char* path, struct stat64* buf) noexcept
{
    return ziv_stat_call(g_pf_org_lstat64, "lstat64", buf, path, buf);
}

ZIV_EXPORT int fstatat(int dirfd, const char* path, struct stat* buf, int flag) noexcept
{
    return ziv_stat_call(g_pf_org_fstatat, "fstatat", buf, dirfd, path, buf, flag);
}

ZIV_EXPORT int fstatat64(int dirfd, const char* path, struct stat64* buf, int flag) noexcept
{
    return ziv_stat_call(g_pf_org_fstatat64, "fstatat64", buf, dirfd, path, buf, flag);
}

ZIV_EXPORT int fstat(int fd, struct stat* buf) noexcept { return ziv_stat_call(g_pf_org_fstat, "fstat", buf, fd, buf); }

ZIV_EXPORT int fstat64(int fd, struct stat64* buf) noexcept
{
    return ziv_stat_call(g_pf_org_fstat64, "fstat64", buf, fd, buf);
}

// What coreutils and other current programs use instead of stat.
ZIV_EXPORT int statx(int dirfd, const char* path, int flags, unsigned int mask, struct statx* buf) noexcept
{
    return ziv_stat_call(g_pf_org_statx, "statx", buf, dirfd, path, flags, mask, buf);
}

}  // extern "C"
