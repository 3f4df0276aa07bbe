// What keeps the library safe in threaded programs that fork: the per-thread
// busy flag of the re-entrance guard, and the at-fork handlers that hold the
// library's locks across fork and give the child a fresh set.
#include <pthread.h>

#include "ziv_interpose.h"
#include "ziv_lifecycle.h"
#include "ziv_random.h"
#include "ziv_random_store.h"

__thread bool g_ziv_busy __attribute__((tls_model("initial-exec"))) = false;

namespace {

// Every lock the library's own code takes. A lock missing here can be held
// by another thread at the moment of fork and then stays held in the child.
pthread_mutex_t* const g_ziv_locks[] = {&g_ziv_mutex_r, &g_ziv_random_store_mutex, &g_ziv_hdeps_open_mutex};

// Forks of this process so far; a child's random sequences are told apart
// by it. The handlers of concurrent forks run one at a time.
uint32_t g_ziv_forks = 0;

// Whether this thread's prepare handler took the locks.
__thread bool g_ziv_locks_taken __attribute__((tls_model("initial-exec"))) = false;

void ziv_before_fork()
{
    ++g_ziv_forks;
    // A fork from a signal handler that interrupted the library's own work
    // on this thread: that work may hold a lock, which this thread cannot
    // wait for. The child renews the locks all the same.
    if (ziv_busy()) {
        return;
    }
    for (pthread_mutex_t* lock : g_ziv_locks) {
        pthread_mutex_lock(lock);
    }
    g_ziv_locks_taken = true;
}

void ziv_after_fork_parent()
{
    if (g_ziv_locks_taken) {
        for (pthread_mutex_t* lock : g_ziv_locks) {
            pthread_mutex_unlock(lock);
        }
        g_ziv_locks_taken = false;
    }
}

void ziv_after_fork_child()
{
    const pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
    for (pthread_mutex_t* lock : g_ziv_locks) {
        *lock = fresh;
    }
    g_ziv_locks_taken = false;
    ziv_random_after_fork(g_ziv_forks);
    ziv_random_store_after_fork();
}

bool g_ziv_fork_handlers = false;

}  // namespace

void ziv_register_fork_handlers()
{
    if (!g_ziv_fork_handlers) {
        g_ziv_fork_handlers = pthread_atfork(ziv_before_fork, ziv_after_fork_parent, ziv_after_fork_child) == 0;
    }
}
