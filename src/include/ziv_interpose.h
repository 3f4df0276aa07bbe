// What every interposer shares: the feature test of the hot paths, the entry
// message, and the guard that keeps the library's own work from coming back
// into itself.
#pragma once

#include <cstdint>
#include <limits>
#include <pthread.h>
#include <time.h>

#include "ziv_config.h"
#include "ziv_log.h"

// The answer of is_in_ziv_process_list(bit) without a call into it in the
// common case: once the program's row is final, every bit but the two time
// lists with a whitelist fallback is just the mask bit.
inline bool ziv_feature_on(uint32_t bit)
{
    const ziv_cfg_t& cfg = ziv_prog_cfg;
    constexpr uint32_t fallback_bits = ZIV_F_TIMELIST | ZIV_F_FILE_TIME_LIST;
    if (cfg.env_read == 1 && ((bit & fallback_bits) == 0 || (cfg.defined_lists & bit) != 0)) {
        return (cfg.prog[0].mask & bit) != 0;
    }
    return is_in_ziv_process_list(bit) != 0;
}

inline bool ziv_short_name_is(const char* name)
{
    const char* prog = program_invocation_short_name;
    return prog != nullptr && __builtin_strcmp(prog, name) == 0;
}

// Without a list of its own, elapsed-time measurements keep working for
// everyone but exactly "python".
inline bool ziv_clock_monotonic_real(clockid_t clk)
{
    return (ziv_prog_cfg.defined_lists & ZIV_F_CGTLIST) == 0 && clk == CLOCK_MONOTONIC && !ziv_short_name_is("python");
}

// Whether the clock's answer is the build time: the list when it is
// defined, otherwise everybody not whitelisted.
inline bool ziv_clock_fixed(clockid_t clk)
{
    if ((ziv_prog_cfg.defined_lists & ZIV_F_CGTLIST) != 0) {
        return ziv_feature_on(ZIV_F_CGTLIST);
    }
    return !ziv_clock_monotonic_real(clk) && !ziv_feature_on(ZIV_F_WHITELIST);
}

// Whether the log is on: messages are formatted only then.
inline bool ziv_logging() { return ziv_prog_cfg.log_level != 0; }

inline void ziv_log_enter(const char* function, int line)
{
    if (ziv_logging()) {
        ziv_log(LOG_INFO, "process %s enter function %s line %d\n", ziv_prog_name_for_log(), function, line);
    }
}

// A counter one configured step further. It stops at its type's largest
// value instead of wrapping, and a negative step stops at 0: a counter the
// program sees never jumps to the other end of its range.
template <typename T>
constexpr T ziv_saturating_step(T value, T step)
{
    T next;
    if (__builtin_add_overflow(value, step, &next)) {
        return step > T{} ? std::numeric_limits<T>::max() : std::numeric_limits<T>::min();
    }
    if constexpr (std::numeric_limits<T>::is_signed) {
        if (step < 0 && value >= 0 && next < 0) {
            return 0;
        }
    }
    return next;
}

// Set while this thread does the library's own work. The library is loaded
// at start-up, so the flag lives in the static thread block: reading it is
// one load, with no call and no allocation.
extern __thread bool g_ziv_busy __attribute__((tls_model("initial-exec")));

// Marks the library's own work on this thread for as long as it lives.
//
// The work of an interposer (messages, locks, allocations, the build-time
// conversion) can call an interposed function again on the same thread: an
// allocator that reads the clock, a signal handler that interrupts the work,
// the system log's own allocations. Such a call must neither take a lock the
// outer call may hold nor log: it answers with the next definition.
//
//     ZIV_EXPORT int stat(const char* path, struct stat* buf)
//     {
//         auto real = ziv_lazy(g_pf_org_stat, "stat");
//         if (nothing applies and the log is off) {
//             return real(path, buf);          // hot path: no lock, no message
//         }
//         ziv_reentry_guard guard;
//         if (guard.reentered()) {
//             return real(path, buf);          // no lock, no message
//         }
//         ziv_log_enter("stat", __LINE__);     // messages only under the guard
//         ...
//     }
//
// Calls into the program (tree-walk callbacks, the program's main) must run
// outside the guard: end its scope first, or the program's own calls would
// lose their normalisation. So must a call that may not come back: an exec
// that succeeds in a vfork child leaves the flag set in the parent, whose
// thread the child borrowed.
class ziv_reentry_guard {
public:
    ziv_reentry_guard() : outer_(!g_ziv_busy)
    {
        g_ziv_busy = true;
        // Nothing of the work may be moved before the flag is set: a signal
        // handler must see it.
        __atomic_signal_fence(__ATOMIC_SEQ_CST);
    }
    ~ziv_reentry_guard()
    {
        __atomic_signal_fence(__ATOMIC_SEQ_CST);
        if (outer_) {
            g_ziv_busy = false;
        }
    }
    ziv_reentry_guard(const ziv_reentry_guard&) = delete;
    ziv_reentry_guard& operator=(const ziv_reentry_guard&) = delete;

    // This thread was already inside the library's work.
    bool reentered() const { return !outer_; }

private:
    bool outer_;
};

// Whether this thread is inside the library's work right now.
inline bool ziv_busy() { return g_ziv_busy; }

// The library's own locks. Each is taken only under a ziv_reentry_guard
// (a re-entered call takes none), never while another of them is held, and
// is listed in ziv_threads.cpp, whose at-fork handlers hold every one
// across fork and renew them in the child: a lock held by another thread at
// the moment of fork would otherwise stay held in the child for ever.
extern "C" {
// The process-wide list of directory-stream records.
ZIV_EXPORT extern pthread_mutex_t g_ziv_mutex_r;
}
// The random value record-and-replay store.
extern pthread_mutex_t g_ziv_random_store_mutex;
// What header tracing saw of a compiler's opens.
extern pthread_mutex_t g_ziv_hdeps_open_mutex;

// Holds one of the locks above for its scope.
class ziv_lock_hold {
public:
    explicit ziv_lock_hold(pthread_mutex_t& mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
    ~ziv_lock_hold() { pthread_mutex_unlock(&mutex_); }
    ziv_lock_hold(const ziv_lock_hold&) = delete;
    ziv_lock_hold& operator=(const ziv_lock_hold&) = delete;

private:
    pthread_mutex_t& mutex_;
};
