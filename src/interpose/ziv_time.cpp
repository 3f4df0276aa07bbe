// The clock, as listed programs see it: the configured build time instead of
// the real one. The real function is always asked first, so unlisted
// programs get exactly its answer.
#include <cerrno>
#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

#include "ziv_interpose.h"
#include "ziv_log.h"
#include "ziv_stat.h"
#include "ziv_symbols.h"

namespace {

// The C library declares the result pointers of these functions non-null;
// hide that from the optimiser so the null tests below stay.
template <typename T>
inline T* ziv_opaque(T* pointer)
{
    asm("" : "+r"(pointer));
    return pointer;
}

inline void ziv_log_answer(const char* function, const char* what)
{
    if (ziv_logging()) {
        ziv_log(LOG_INFO, "%s %s %s\n", ziv_prog_name_for_log(), function, what);
    }
}

// A replaced answer: logged, with the caller's stack at log level 2.
inline void ziv_log_fixed(const char* function, const char* what)
{
    if (ziv_logging()) {
        ziv_errno_guard keep;
        ziv_log_answer(function, what);
        ziv_get_stack_info(function);
    }
}

}  // namespace

extern "C" {

ZIV_EXPORT time_t time(time_t* tloc) noexcept
{
    auto real = ziv_lazy(g_pf_org_time, "time");
    // Unlisted and quiet: a plain jump to the next definition.
    if (__builtin_expect(!ziv_logging() && real != nullptr && !ziv_feature_on(ZIV_F_TIMELIST), 1)) {
        return real(tloc);
    }
    ziv_reentry_guard guard;
    if (guard.reentered()) {
        return real != nullptr ? real(tloc) : static_cast<time_t>(-1);
    }
    ziv_log_enter("time", __LINE__);
    time_t result = static_cast<time_t>(-1);
    if (real != nullptr) {
        result = real(tloc);
    } else {
        ziv_log_answer("time", "does not get timestamp !!!");
    }
    if (!ziv_feature_on(ZIV_F_TIMELIST)) {
        ziv_log_answer("time", "get real timestamp");
        return result;
    }
    time_t fixed = ziv_get_build_time();
    if (tloc != nullptr) {
        *tloc = fixed;
    }
    ziv_log_fixed("time", "get ziv_timestamp");
    return fixed;
}

ZIV_EXPORT int clock_gettime(clockid_t clk, struct timespec* ts) noexcept
{
    ts = ziv_opaque(ts);
    auto real = g_pf_org_clock_gettime;
    // Unlisted and quiet: a plain jump to the next definition.
    if (__builtin_expect(real != nullptr && !ziv_logging() && !ziv_clock_fixed(clk), 1)) {
        return real(clk, ts);
    }
    ziv_reentry_guard guard;
    if (guard.reentered()) {
        // No lookup and no message here: the next definition, or the
        // kernel's clock.
        if (real != nullptr) {
            return real(clk, ts);
        }
        return ts != nullptr ? static_cast<int>(syscall(SYS_clock_gettime, clk, ts)) : -1;
    }
    ziv_log_enter("clock_gettime", __LINE__);
    if (real == nullptr) {
        if (ziv_prog_cfg.env_read == 0) {
            // Too early to look anything up: the clock itself, straight from
            // the kernel.
            if (ts == nullptr) {
                return -1;
            }
            int result = static_cast<int>(syscall(SYS_clock_gettime, clk, ts));
            if (ziv_logging()) {
                ziv_errno_guard keep;
                ziv_log(LOG_INFO, "%s %s get real timestamp \n", ziv_prog_name_for_log(), "clock_gettime");
            }
            return result;
        }
        ziv_errno_guard keep;
        ziv_dlsym_clock_gettime();
        real = g_pf_org_clock_gettime;
    }
    bool replace = ziv_clock_fixed(clk);
    int result = real != nullptr ? real(clk, ts) : -1;
    if (ziv_clock_monotonic_real(clk)) {
        if (ziv_logging()) {
            ziv_errno_guard keep;
            ziv_log(LOG_INFO, "%s %s get real timestamp line %d\n", ziv_prog_name_for_log(), "clock_gettime",
                    __LINE__);
        }
        return result;
    }
    if (replace && ts != nullptr) {
        ts->tv_sec = ziv_get_build_time();
        ts->tv_nsec = 0;
        ziv_log_fixed("clock_gettime", "get ziv_timestamp");
        return 0;
    }
    ziv_log_answer("clock_gettime", "get real timestamp");
    return result;
}

ZIV_EXPORT int ftime(struct timeb* tp)
{
    ziv_reentry_guard guard;
    if (guard.reentered()) {
        auto real = g_pf_org_ftime;
        return real != nullptr ? real(tp) : 0;
    }
    ziv_log_enter("ftime", __LINE__);
    tp = ziv_opaque(tp);
    if (ziv_short_name_is("label_bin")) {
        if (tp != nullptr) {
            tp->time = ziv_get_build_time();
            tp->millitm = 0;
            tp->timezone = 0;
            tp->dstflag = 0;
        }
        ziv_log_fixed("ftime", "get ziv_timestamp");
        return 0;
    }
    ziv_log_answer("ftime", "get real timestamp");
    if (auto real = ziv_lazy(g_pf_org_ftime, "ftime"); real != nullptr) {
        real(tp);
    } else {
        ziv_log_answer("ftime", "does not get timestamp !!!");
    }
    return 0;
}

ZIV_EXPORT int gettimeofday(struct timeval* tv, void* tz) noexcept
{
    auto real = ziv_lazy(g_pf_org_gettimeofday, "gettimeofday");
    if (__builtin_expect(!ziv_logging() && real != nullptr && !ziv_feature_on(ZIV_F_GTDLIST), 1)) {
        return real(tv, tz);
    }
    ziv_reentry_guard guard;
    if (guard.reentered()) {
        return real != nullptr ? real(tv, tz) : -1;
    }
    ziv_log_enter("gettimeofday", __LINE__);
    tv = ziv_opaque(tv);
    int result = -1;
    if (real != nullptr) {
        result = real(tv, tz);
    } else {
        errno = ENOSYS;
        ziv_log_answer("gettimeofday", "get does not get timestamp !!!");
    }
    if (ziv_feature_on(ZIV_F_GTDLIST)) {
        // Each structure the caller passed gets the fixed value.
        if (tv != nullptr) {
            tv->tv_sec = ziv_get_build_time();
            tv->tv_usec = 0;
        }
        if (auto* zone = static_cast<struct timezone*>(ziv_opaque(tz)); zone != nullptr) {
            zone->tz_minuteswest = 0;
            zone->tz_dsttime = 0;
        }
        ziv_log_fixed("gettimeofday", "get ziv_timestamp");
        return 0;
    }
    ziv_log_answer("gettimeofday", "get real timestamp");
    // A failure of the real clock stays a failure: the caller's structure
    // was not filled.
    return result;
}

ZIV_EXPORT clock_t times(struct tms* buf) noexcept
{
    auto real = ziv_lazy(g_pf_org_times, "times");
    if (__builtin_expect(!ziv_logging() && real != nullptr && !ziv_feature_on(ZIV_F_PRO_TIMES_LIST), 1)) {
        return real(buf);
    }
    ziv_reentry_guard guard;
    if (guard.reentered()) {
        return real != nullptr ? real(buf) : static_cast<clock_t>(-1);
    }
    ziv_log_enter("times", __LINE__);
    buf = ziv_opaque(buf);
    clock_t result = static_cast<clock_t>(-1);
    if (real != nullptr) {
        result = real(buf);
        if (ziv_logging() && buf != nullptr) {
            ziv_errno_guard keep;
            ziv_log(LOG_INFO, "%s %s get %ld utime %ld stime %ld cutime %ld cstime %ld \n", ziv_prog_name_for_log(),
                    "times", static_cast<long>(result), static_cast<long>(buf->tms_utime),
                    static_cast<long>(buf->tms_stime), static_cast<long>(buf->tms_cutime),
                    static_cast<long>(buf->tms_cstime));
        }
    } else {
        errno = ENOSYS;
    }
    if (!ziv_feature_on(ZIV_F_PRO_TIMES_LIST)) {
        ziv_log_answer("times", "get real times");
        return result;
    }
    long* values = ziv_prog_cfg.times;
    if (buf != nullptr) {
        buf->tms_utime = values[2];
        buf->tms_stime = values[3];
        buf->tms_cutime = values[4];
        buf->tms_cstime = values[5];
    }
    // Each call one step further: tools that measure elapsed ticks see a
    // steady, reproducible progression, which stops at the largest value
    // (or at 0 for a negative step) instead of wrapping into the error value.
    clock_t fixed = values[0];
    values[0] = ziv_saturating_step(values[0], values[1]);
    ziv_log_fixed("times", "get ziv_times");
    return fixed;
}

}  // extern "C"
