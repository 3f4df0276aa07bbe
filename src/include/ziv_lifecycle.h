// Start and end of every process the library is loaded into.
#pragma once

#include <cstdint>
#include <sys/types.h>

#include "ziv_common.h"

struct sqlite3;
struct ziv_sqlite3_vfs;
typedef int (*ziv_sqlite3_callback)(void*, int, char**, char**);

extern "C" {

ZIV_EXPORT void ziv_init(void);
ZIV_EXPORT void ziv_fini(void);
ZIV_EXPORT pid_t ziv_libc_getpid(void);
ZIV_EXPORT pid_t ziv_libc_getppid(void);
ZIV_EXPORT int ziv_dlsym_sqlite3(void);
// Opens SQLite and resolves its seven entry points: 0, or -1 at the first
// one missing. sqlite3_vfs_find is resolved too but not required: without
// it the database works, only its descriptors stay where SQLite puts them.
ZIV_EXPORT int ziv_dlopen_sqlite3(void);

// The real process id recorded at process entry; only that process does
// the end work.
ZIV_EXPORT extern pid_t g_ziv_pid;

// SQLite entry points, resolved by ziv_dlsym_sqlite3.
extern int (*g_ziv_sqlite3_open_v2)(const char*, sqlite3**, int, const char*);
extern int (*g_ziv_sqlite3_close)(sqlite3*);
extern int (*g_ziv_sqlite3_exec)(sqlite3*, const char*, ziv_sqlite3_callback, void*, char**);
extern int (*g_ziv_sqlite3_get_table)(sqlite3*, const char*, char***, int*, int*, char**);
extern void (*g_ziv_sqlite3_free_table)(char**);
extern int (*g_ziv_sqlite3_busy_handler)(sqlite3*, int (*)(void*, int), void*);
extern long long (*g_ziv_sqlite3_last_insert_rowid)(sqlite3*);
extern ziv_sqlite3_vfs* (*g_ziv_sqlite3_vfs_find)(const char*);

// Finishes the traced command at process end; nothing in untraced processes.
ZIV_EXPORT void ziv_trace_fini(void);

}  // extern "C"

// Installs the at-fork handlers of the library's locks (once).
void ziv_register_fork_handlers();
