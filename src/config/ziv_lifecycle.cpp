// Constructor, destructor and the exit interposers: the start and end work
// of every process, done once, by the process that ran the program.
#include <cerrno>
#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "ziv_config.h"
#include "ziv_exec.h"
#include "ziv_interpose.h"
#include "ziv_lifecycle.h"
#include "ziv_log.h"
#include "ziv_random_store.h"
#include "ziv_symbols.h"

extern "C" {

int (*g_ziv_sqlite3_open_v2)(const char*, sqlite3**, int, const char*) = nullptr;
int (*g_ziv_sqlite3_close)(sqlite3*) = nullptr;
int (*g_ziv_sqlite3_exec)(sqlite3*, const char*, ziv_sqlite3_callback, void*, char**) = nullptr;
int (*g_ziv_sqlite3_get_table)(sqlite3*, const char*, char***, int*, int*, char**) = nullptr;
void (*g_ziv_sqlite3_free_table)(char**) = nullptr;
int (*g_ziv_sqlite3_busy_handler)(sqlite3*, int (*)(void*, int), void*) = nullptr;
long long (*g_ziv_sqlite3_last_insert_rowid)(sqlite3*) = nullptr;
ziv_sqlite3_vfs* (*g_ziv_sqlite3_vfs_find)(const char*) = nullptr;

}  // extern "C"

namespace {

int g_ziv_end_done = 0;

template <typename Fn>
bool ziv_sqlite3_symbol(Fn& slot, const char* symbol)
{
    slot = reinterpret_cast<Fn>(dlsym(g_dlhandle_ziv_sqlite3_lazy, symbol));
    return slot != nullptr;
}

}  // namespace

extern "C" {

ZIV_EXPORT int ziv_dlopen_sqlite3(void)
{
    if (g_dlhandle_ziv_sqlite3_lazy == nullptr) {
        g_dlhandle_ziv_sqlite3_lazy = dlopen("libsqlite3.so.0", RTLD_LAZY);
    }
    bool found = g_dlhandle_ziv_sqlite3_lazy != nullptr && ziv_sqlite3_symbol(g_ziv_sqlite3_open_v2, "sqlite3_open_v2") &&
                 ziv_sqlite3_symbol(g_ziv_sqlite3_close, "sqlite3_close") &&
                 ziv_sqlite3_symbol(g_ziv_sqlite3_exec, "sqlite3_exec") &&
                 ziv_sqlite3_symbol(g_ziv_sqlite3_get_table, "sqlite3_get_table") &&
                 ziv_sqlite3_symbol(g_ziv_sqlite3_free_table, "sqlite3_free_table") &&
                 ziv_sqlite3_symbol(g_ziv_sqlite3_busy_handler, "sqlite3_busy_handler") &&
                 ziv_sqlite3_symbol(g_ziv_sqlite3_last_insert_rowid, "sqlite3_last_insert_rowid");
    if (found) {
        ziv_sqlite3_symbol(g_ziv_sqlite3_vfs_find, "sqlite3_vfs_find");
    }
    return found ? 0 : -1;
}

ZIV_EXPORT pid_t ziv_libc_getpid(void)
{
    auto real = ziv_lazy(g_pf_org_getpid, "getpid");
    return real != nullptr ? real() : 0;
}

ZIV_EXPORT pid_t ziv_libc_getppid(void)
{
    auto real = ziv_lazy(g_pf_org_getppid, "getppid");
    return real != nullptr ? real() : 0;
}

ZIV_EXPORT int ziv_dlsym_sqlite3(void)
{
    ziv_errno_guard keep;
    ziv_prog_cfg.trace_enable = 0;
    if (ziv_dlopen_sqlite3() == 0) {
        ziv_prog_cfg.trace_enable = 1;
    }
    return ziv_prog_cfg.trace_enable == 1 ? 0 : -1;
}

__attribute__((constructor)) ZIV_EXPORT void ziv_init(void)
{
    ziv_errno_guard keep;
    ziv_reentry_guard guard;
    ziv_register_fork_handlers();
    get_ziv_cfg();
    ziv_log(LOG_INFO, "########## start progress %s %s ##########\n", ziv_prog_name_for_log(), g_ziv_env_version);
    init_ziv_org_symbols();
    ziv_exec_snapshot();
    if (ziv_prog_cfg.env_read == 1) {
        ziv_log(LOG_INFO, " progress %s mask 0x%x\n", ziv_prog_name_for_log(), ziv_prog_cfg.prog[0].mask);
    }
    if (is_in_ziv_process_list(ZIV_F_REPLAYLIST) != 0) {
        init_ziv_random_conf();
    }
    ziv_prepare_build_time();
}

__attribute__((destructor)) ZIV_EXPORT void ziv_fini(void)
{
    ziv_errno_guard keep;
    ziv_reentry_guard guard;
    // Reached through exit() from a signal handler or an allocator while this
    // thread was inside the library: the end work could wait for a lock this
    // very thread holds.
    if (guard.reentered()) {
        return;
    }
    // A forked child that never ran a program of its own, or a process the
    // entry never saw, must not finish its parent's work.
    if (ziv_libc_getpid() != g_ziv_pid || g_ziv_end_done != 0) {
        return;
    }
    g_ziv_end_done = 1;
    ziv_random_store_finish();
    ziv_log(LOG_INFO, "############ end progress %s %s ##########\n", ziv_prog_name_for_log(), g_ziv_env_version);
    ziv_trace_fini();
    ziv_log_close();
    ziv_prog_cfg.log_level = 0;
    ziv_dlclose_all();
}

ZIV_EXPORT __attribute__((noreturn)) void _exit(int status)
{
    // Called from a signal handler or an allocator while this thread was
    // inside the library: the end work could wait for a lock this very
    // thread holds, so the process ends without it.
    if (!ziv_busy()) {
        ziv_fini();
    }
    if (g_pf_org__exit == nullptr) {
        ziv_dlsym_exit();
    }
    if (g_pf_org__exit != nullptr) {
        g_pf_org__exit(status);
    } else {
        ziv_log_always(LOG_ALERT, "%s ziv get _exit symbol fail !!!\n", "_exit");
        ziv_log_close();
    }
    // The process must end here whatever happened above.
    for (;;) {
        syscall(SYS_exit_group, status);
    }
}

ZIV_EXPORT __attribute__((noreturn)) void _Exit(int status) { _exit(status); }

}  // extern "C"
