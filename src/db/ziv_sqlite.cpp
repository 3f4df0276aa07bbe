// The build database: opening it, running statements, and the look-ups and
// writes the tracing side records its rows with. SQLite is reached through
// the pointers resolved at run time; the library links nothing but libc.
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "ziv_bounded.h"
#include "ziv_config.h"
#include "ziv_db.h"
#include "ziv_lifecycle.h"
#include "ziv_log.h"
#include "ziv_sysio.h"

// SQLite's public sqlite3_vfs, versions 1 to 3: a stable binary interface,
// declared here since the library is built without SQLite's header.
struct ziv_sqlite3_vfs {
    using syscall_ptr = void (*)(void);
    int iVersion;
    int szOsFile;
    int mxPathname;
    ziv_sqlite3_vfs* pNext;
    const char* zName;
    void* pAppData;
    // xOpen to xGetLastError (version 1), xCurrentTimeInt64 (version 2):
    // never called here.
    syscall_ptr unused_methods[13];
    int (*xSetSystemCall)(ziv_sqlite3_vfs*, const char*, syscall_ptr);
    syscall_ptr (*xGetSystemCall)(ziv_sqlite3_vfs*, const char*);
    const char* (*xNextSystemCall)(ziv_sqlite3_vfs*, const char*);
};
static_assert(offsetof(ziv_sqlite3_vfs, xSetSystemCall) == 144 && sizeof(ziv_sqlite3_vfs) == 168,
              "the x86-64 layout of sqlite3_vfs");

namespace {

constexpr uint32_t ZIV_LOG_BUILDTIME = 3;
constexpr int ZIV_SQLITE_OPEN_READWRITE = 0x00000002;  // without SQLITE_OPEN_CREATE

// A zeroed statement buffer of ZIV_SQL_SIZE bytes on the heap: the
// destructor may run on a thread with a small stack.
class sql_buffer {
public:
    sql_buffer() : text_(static_cast<char*>(ziv_malloc_and_init(ZIV_SQL_SIZE))) {}
    ~sql_buffer() { free(text_); }
    sql_buffer(const sql_buffer&) = delete;
    sql_buffer& operator=(const sql_buffer&) = delete;
    bool ok() const { return text_ != nullptr; }
    char* text() const { return text_; }

private:
    char* text_;
};

// Table names are placed into statements unquoted: only plain identifiers.
bool valid_table(const char* table)
{
    if (table == nullptr || table[0] == '\0') {
        return false;
    }
    for (const char* c = table; *c != '\0'; ++c) {
        bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') || *c == '_';
        if (!plain) {
            return false;
        }
    }
    return true;
}

bool db_ready() { return ziv_prog_cfg.db != nullptr && g_ziv_sqlite3_exec != nullptr; }

// Runs a statement outside the SQL time accounting.
int exec_direct(const char* sql)
{
    if (!db_ready()) {
        return -1;
    }
    return g_ziv_sqlite3_exec(ziv_prog_cfg.db, sql, nullptr, nullptr, nullptr) == 0 ? 0 : -1;
}

int32_t* current_counter(int32_t ziv_trace_time::*field)
{
    return g_ziv_trace_cmd != nullptr ? &(g_ziv_trace_cmd->time.*field) : nullptr;
}

// Waits out a lock held by another process of the build: retry every 5 ms,
// for as long as it takes.
int ziv_sqlite3_busy_wait(void*, int)
{
    usleep(5000);
    return 1;
}

// Relations between two rows of the same table: a row never depends on
// itself.
int insert_relation_unless_self(const char* table, int first_id, int second_id)
{
    return first_id == second_id ? 0 : ziv_insert_relation(table, first_id, second_id);
}

// --- SQLite's descriptors, kept out of the program's way -------------------
//
// The connection opened at entry stays open while the program runs, and
// its files (the database, its -wal and its -shm) would take the lowest
// free numbers, 3, 4 and 5: the very numbers shell scripts and libtool
// pick with `exec 4>file` or dup2. A program that replaced one would have
// SQLite write pages into its file, or wait ten seconds on locks that
// cannot be taken. So, while the connection is opened and first read,
// SQLite's "open" system call is routed through open_kept_high, which
// moves each new descriptor near the top of the usual descriptor range and
// notes the file it refers to. Both calls are handed back before main: a
// program's own use of SQLite is not affected. Files SQLite opens later (a
// rollback journal of a database not in WAL mode, /dev/urandom) are opened
// and closed again within one statement, before main or at exit, on
// whatever number is free then: no file of the program's can be on it, and
// none of the program's code runs until it is closed again.

using sqlite3_syscall_ptr = ziv_sqlite3_vfs::syscall_ptr;
using open_call = int (*)(const char*, int, int);
using close_call = int (*)(int);

// Never above FD_SETSIZE: the kernel sizes a process's descriptor table
// (copied at every fork) by its highest descriptor, and programs built
// around select() expect theirs below it. The margin stays free for
// programs that take the last numbers below their limit.
constexpr rlim_t kDescriptorCeiling = 1024;
constexpr int kDescriptorMargin = 64;
// Shells hand out 3 to 9 by number: a floor among them gains nothing.
constexpr int kLowestFloor = 10;
// SQLite keeps three; the rest is room.
constexpr int kKeptMax = 8;

struct kept_descriptor {
    int fd;
    dev_t dev;
    ino_t ino;
};

struct kept_descriptors {
    open_call open;
    close_call close;
    int floor;
    int count;
    kept_descriptor fds[kKeptMax];
};

kept_descriptors g_kept;

void forget_kept(int fd)
{
    for (int i = 0; i < g_kept.count; ++i) {
        if (g_kept.fds[i].fd == fd) {
            g_kept.fds[i] = g_kept.fds[--g_kept.count];
            return;
        }
    }
}

// The raw calls: the library's own fstat interposer would normalise what
// it reports, and nothing here may reach a program's interposers.
bool file_of(int fd, struct stat* st) { return syscall(SYS_fstat, fd, st) == 0; }

int open_kept_high(const char* path, int flags, int mode)
{
    int fd = g_kept.open(path, flags, mode);
    if (fd < 0 || g_kept.count == kKeptMax) {
        return fd;
    }
    int saved = errno;
    if (fd < g_kept.floor) {
        long high = syscall(SYS_fcntl, fd, F_DUPFD_CLOEXEC, g_kept.floor);
        if (high >= 0) {
            syscall(SYS_close, fd);
            fd = static_cast<int>(high);
        }
    }
    struct stat st {};
    if (file_of(fd, &st)) {
        forget_kept(fd);
        g_kept.fds[g_kept.count++] = {fd, st.st_dev, st.st_ino};
    }
    errno = saved;
    return fd;
}

// Files SQLite opens and closes again meanwhile (/dev/urandom for its
// first random numbers, a hot journal) are not kept.
int close_kept(int fd)
{
    forget_kept(fd);
    return g_kept.close(fd);
}

int descriptor_floor()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 0;
    }
    rlim_t top = limit.rlim_cur < kDescriptorCeiling ? limit.rlim_cur : kDescriptorCeiling;
    return static_cast<int>(top) - kDescriptorMargin;
}

// While alive, every file SQLite opens lands at or above the floor and is
// noted. The system-call hooks are an optional part of a VFS (version 3 and
// later); the unix VFSes all share one table of calls taking open's
// arguments. Without them, or with too low a descriptor limit, SQLite
// opens its files as it always did and nothing is noted.
class kept_high_window {
public:
    kept_high_window()
    {
        g_kept.count = 0;
        vfs_ = g_ziv_sqlite3_vfs_find != nullptr ? g_ziv_sqlite3_vfs_find(nullptr) : nullptr;
        if (vfs_ == nullptr || vfs_->iVersion < 3 || vfs_->xSetSystemCall == nullptr ||
            vfs_->xGetSystemCall == nullptr || vfs_->zName == nullptr || strncmp(vfs_->zName, "unix", 4) != 0) {
            vfs_ = nullptr;
            return;
        }
        g_kept.open = reinterpret_cast<open_call>(vfs_->xGetSystemCall(vfs_, "open"));
        g_kept.close = reinterpret_cast<close_call>(vfs_->xGetSystemCall(vfs_, "close"));
        g_kept.floor = descriptor_floor();
        if (g_kept.open == nullptr || g_kept.close == nullptr || g_kept.floor < kLowestFloor ||
            vfs_->xSetSystemCall(vfs_, "close", reinterpret_cast<sqlite3_syscall_ptr>(close_kept)) != 0) {
            vfs_ = nullptr;
            return;
        }
        if (vfs_->xSetSystemCall(vfs_, "open", reinterpret_cast<sqlite3_syscall_ptr>(open_kept_high)) != 0) {
            restore("close", reinterpret_cast<sqlite3_syscall_ptr>(g_kept.close));
            vfs_ = nullptr;
        }
    }
    ~kept_high_window()
    {
        if (vfs_ != nullptr) {
            restore("open", reinterpret_cast<sqlite3_syscall_ptr>(g_kept.open));
            restore("close", reinterpret_cast<sqlite3_syscall_ptr>(g_kept.close));
        }
    }
    kept_high_window(const kept_high_window&) = delete;
    kept_high_window& operator=(const kept_high_window&) = delete;

private:
    void restore(const char* call, sqlite3_syscall_ptr previous) { vfs_->xSetSystemCall(vfs_, call, previous); }

    ziv_sqlite3_vfs* vfs_ = nullptr;
};

}  // namespace

// Statement text that did not fit its buffer: logged, nothing executed.
#define ZIV_SQL_FORMATTED(len)                  \
    do {                                        \
        if ((len) < 0) {                        \
            ZIV_LOG_FAILED("sprintf_s", (len)); \
            return -1;                          \
        }                                       \
    } while (0)

// Formats one statement into a fresh buffer and returns what `run`
// (ziv_sqlite3_exec or ziv_get_data_id) makes of it; -1 when there is no
// buffer or the text does not fit.
#define ZIV_SQL_RETURN(run, ...)                                          \
    do {                                                                  \
        sql_buffer sql;                                                   \
        if (!sql.ok()) {                                                  \
            return -1;                                                    \
        }                                                                 \
        int len = sprintf_s(sql.text(), ZIV_SQL_SIZE, __VA_ARGS__);       \
        ZIV_SQL_FORMATTED(len);                                           \
        return run(sql.text(), len);                                      \
    } while (0)

ziv_sql_text::ziv_sql_text(const char* text)
{
    if (text == nullptr) {
        return;
    }
    size_t quotes = 0;
    size_t length = 0;
    for (; text[length] != '\0'; ++length) {
        quotes += text[length] == '\'' ? 1 : 0;
    }
    if (quotes == 0) {
        text_ = text;
        return;
    }
    if (length + quotes + 1 > ZIV_SQL_SIZE) {
        return;  // could never fit a statement
    }
    owned_ = static_cast<char*>(ziv_malloc_and_init(static_cast<int>(length + quotes + 1)));
    if (owned_ == nullptr) {
        return;
    }
    char* out = owned_;
    for (const char* in = text; *in != '\0'; ++in) {
        *out++ = *in;
        if (*in == '\'') {
            *out++ = '\'';
        }
    }
    text_ = owned_;
}

// A deferred "begin;" takes the write lock only at the group's first
// write, and that first write starts from no lock at all, so SQLite's busy
// handler still applies to it (the concurrency tests hold the database
// locked from another process to show it).
ziv_db_group::ziv_db_group(bool wrap, lock kind)
    : wrapped_(wrap && exec_direct(kind == lock::write ? "begin immediate;" : "begin;") == 0)
{
}

ziv_db_group::~ziv_db_group()
{
    if (wrapped_ && exec_direct("commit;") != 0) {
        // Never leave the connection inside a transaction that would keep
        // other processes of the build waiting until this one exits.
        exec_direct("rollback;");
    }
}

extern "C" {

ZIV_EXPORT void init_ziv_sqlite3_cfg(void)
{
    ziv_errno_guard keep;
    ziv_dlsym_sqlite3();
    const char* path = ziv_getenv("ZIV_TRACE_OUTPUT");
    if (path == nullptr || path[0] == '\0' || strlen(path) >= ZIV_PATH_SIZE - 1) {
        return;
    }
    int err = strcpy_s(ziv_prog_cfg.trace_output, sizeof ziv_prog_cfg.trace_output, path);
    if (err != EOK) {
        ZIV_LOG_FAILED("strcpy_s", err);
    }
}

ZIV_EXPORT int ziv_open_sqlite(void)
{
    ziv_errno_guard keep;
    if (ziv_prog_cfg.trace_output[0] == '\0') {
        return -1;
    }
    if (ziv_prog_cfg.db != nullptr) {
        return 0;  // already open: a second connection would only leak
    }
    if (g_ziv_sqlite3_open_v2 == nullptr) {
        ziv_log_always(LOG_ALERT, "%s g_ziv_sqlite3_open is null\n", "ziv_open_sqlite");
        return -1;
    }
    // Everything SQLite keeps open is opened here, before the window closes:
    // the database by the open, its -wal and -shm by the first read.
    kept_high_window window;
    // Read-write, never created: a name that does not exist yet (often a
    // relative one, in every directory of the build) must not leave an
    // empty file behind.
    sqlite3* db = nullptr;
    if (g_ziv_sqlite3_open_v2(ziv_prog_cfg.trace_output, &db, ZIV_SQLITE_OPEN_READWRITE, nullptr) != 0) {
        ziv_log_always(LOG_ALERT, "%s sqlite3_open %s failed.\n", "ziv_open_sqlite", ziv_prog_cfg.trace_output);
        if (g_ziv_sqlite3_close != nullptr) {
            g_ziv_sqlite3_close(db);
        }
        ziv_prog_cfg.db = nullptr;
        return -1;
    }
    ziv_prog_cfg.db = db;
    if (g_ziv_sqlite3_busy_handler != nullptr) {
        g_ziv_sqlite3_busy_handler(db, ziv_sqlite3_busy_wait, nullptr);
    }
    exec_direct("PRAGMA synchronous = OFF; PRAGMA cache_size = 5000; PRAGMA temp_store = MEMORY;");
    exec_direct("SELECT 1 FROM sqlite_master LIMIT 1;");
    return 0;
}

ZIV_EXPORT int ziv_sqlite3_exec(const char* sql, int size)
{
    if (sql == nullptr || size < 1 || !db_ready()) {
        return -1;
    }
    ziv_errno_guard keep;
    ziv_stopwatch watch(ziv_prog_cfg.log_level == ZIV_LOG_BUILDTIME);
    int rc = g_ziv_sqlite3_exec(ziv_prog_cfg.db, sql, nullptr, nullptr, nullptr);
    watch.add_to(current_counter(&ziv_trace_time::sql_ms));
    return rc == 0 ? 0 : -1;
}

ZIV_EXPORT int ziv_get_data_id(const char* sql, int size)
{
    if (sql == nullptr || size < 1) {
        return -1;
    }
    ziv_errno_guard keep;
    ziv_stopwatch watch(true);
    int id = 0;
    if (ziv_prog_cfg.db != nullptr && g_ziv_sqlite3_get_table != nullptr) {
        char** table = nullptr;
        int rows = 0;
        int columns = 0;
        int rc = g_ziv_sqlite3_get_table(ziv_prog_cfg.db, sql, &table, &rows, &columns, nullptr);
        // The first row follows the column names.
        if (rc == 0 && table != nullptr && rows >= 1 && columns >= 1 && table[columns] != nullptr) {
            id = atoi(table[columns]);
        }
        if (table != nullptr && g_ziv_sqlite3_free_table != nullptr) {
            g_ziv_sqlite3_free_table(table);
        }
    }
    watch.add_to(current_counter(&ziv_trace_time::dataid_ms));
    return id;
}

ZIV_EXPORT int ziv_get_obj_id_by_filename(const char* name, const char* table)
{
    ziv_sql_text text(name);
    if (!text.ok() || !valid_table(table)) {
        return -1;
    }
    ZIV_SQL_RETURN(ziv_get_data_id, "select id from %s where filename='%s' limit 1;", table, text.get());
}

ZIV_EXPORT int ziv_get_obj_id_by_checksum(const char* name, const char* checksum, int path_id, const char* table)
{
    ziv_sql_text text(name);
    ziv_sql_text digest(checksum);
    sql_buffer sql;
    if (!text.ok() || !digest.ok() || !valid_table(table) || !sql.ok()) {
        return -1;
    }
    int len = 0;
    if (name[0] == '/') {
        len = sprintf_s(sql.text(), ZIV_SQL_SIZE,
                        "select id from %s where checksum='%s' AND filename='%s' order by id desc limit 1;", table,
                        digest.get(), text.get());
    } else {
        len = sprintf_s(sql.text(), ZIV_SQL_SIZE,
                        "select id from %s where checksum='%s' AND filename='%s' AND path_file_id=%d order by id desc "
                        "limit 1;",
                        table, digest.get(), text.get(), path_id);
    }
    ZIV_SQL_FORMATTED(len);
    return ziv_get_data_id(sql.text(), len);
}

ZIV_EXPORT int ziv_get_target_obj_id(int exclude_id, const char* checksum)
{
    ziv_sql_text digest(checksum);
    sql_buffer sql;
    if (!digest.ok() || !sql.ok()) {
        return -1;
    }
    int len = 0;
    if (exclude_id != 0) {
        len = sprintf_s(sql.text(), ZIV_SQL_SIZE,
                        "select id from target_file_table where checksum='%s' AND id!=%d order by id desc limit 1;",
                        digest.get(), exclude_id);
    } else {
        len = sprintf_s(sql.text(), ZIV_SQL_SIZE,
                        "select id from target_file_table where checksum='%s' order by id desc limit 1;", digest.get());
    }
    ZIV_SQL_FORMATTED(len);
    return ziv_get_data_id(sql.text(), len);
}

ZIV_EXPORT int ziv_get_build_time_id(int command_id)
{
    ZIV_SQL_RETURN(ziv_get_data_id, "select id from build_time_table where build_id=%d;", command_id);
}

ZIV_EXPORT int ziv_insert_path_file(const char* path, int size)
{
    ziv_sql_text text(path);
    if (path == nullptr || size == 0 || !text.ok()) {
        return -1;
    }
    ZIV_SQL_RETURN(ziv_sqlite3_exec, "INSERT OR IGNORE INTO path_file_table VALUES (NULL,'%s');", text.get());
}

ZIV_EXPORT int ziv_db_get_pwd_id(void)
{
    ziv_errno_guard keep;
    char* cwd = static_cast<char*>(ziv_malloc_and_init(ZIV_PATH_SIZE));
    if (cwd == nullptr) {
        return -1;
    }
    int id = -1;
    if (getcwd(cwd, ZIV_PATH_SIZE) != nullptr) {
        id = ziv_get_obj_id_by_filename(cwd, "path_file_table");
        if (id <= 0) {
            id = ziv_insert_path_file(cwd, ZIV_PATH_SIZE) < 0 ? -1 : ziv_get_obj_id_by_filename(cwd, "path_file_table");
        }
    }
    free(cwd);
    return id;
}

ZIV_EXPORT int ziv_insert_source_file(int command_id, int path_id, const char* name, const char* checksum)
{
    ziv_sql_text text(name);
    ziv_sql_text digest(checksum);
    if (!text.ok() || !digest.ok()) {
        return -1;
    }
    ZIV_SQL_RETURN(ziv_sqlite3_exec, "INSERT OR IGNORE INTO source_file_table VALUES (NULL,'%s',%d,'%s',%d);",
                   text.get(), path_id, digest.get(), command_id);
}

ZIV_EXPORT int ziv_insert_head_file_sqlite(int path_id, const char* name, const char* checksum)
{
    ziv_sql_text text(name);
    ziv_sql_text digest(checksum);
    if (!text.ok() || !digest.ok()) {
        return -1;
    }
    ZIV_SQL_RETURN(ziv_sqlite3_exec, "INSERT OR IGNORE INTO head_file_table VALUES (NULL,'%s',%d,'%s');", text.get(),
                   path_id, digest.get());
}

ZIV_EXPORT int ziv_insert_target_file(int command_id, int path_id, const char* name, const char* checksum)
{
    ziv_sql_text text(name);
    ziv_sql_text digest(checksum);
    if (checksum == nullptr || checksum[0] == '\0' || !text.ok() || !digest.ok()) {
        return -1;
    }
    int tracing_id = g_ziv_trace_cmd != nullptr ? g_ziv_trace_cmd->command_id : 0;
    ZIV_SQL_RETURN(ziv_sqlite3_exec, "INSERT OR IGNORE INTO target_file_table VALUES (NULL,'%s',%d,'%s',%d, %d);",
                   text.get(), path_id, digest.get(), command_id, tracing_id);
}

ZIV_EXPORT int ziv_update_target_file(int target_id, int command_id)
{
    ZIV_SQL_RETURN(ziv_sqlite3_exec, "UPDATE target_file_table set command_id=%d where id=%d;", command_id, target_id);
}

ZIV_EXPORT int ziv_insert_relation(const char* table, int first_id, int second_id)
{
    if (!valid_table(table)) {
        return -1;
    }
    ZIV_SQL_RETURN(ziv_sqlite3_exec, "INSERT OR IGNORE INTO %s VALUES (NULL,%d,%d);", table, first_id, second_id);
}

ZIV_EXPORT int ziv_insert_target_target(int target_id, int dep_id)
{
    return insert_relation_unless_self("target_target_table", target_id, dep_id);
}

ZIV_EXPORT int ziv_insert_target_source(int target_id, int source_id)
{
    return ziv_insert_relation("target_source_table", target_id, source_id);
}

ZIV_EXPORT int ziv_insert_source_source(int source_id, int dep_id)
{
    return insert_relation_unless_self("source_source_table", source_id, dep_id);
}

ZIV_EXPORT int ziv_insert_source_head(int source_id, int head_id)
{
    return ziv_insert_relation("source_head_table", source_id, head_id);
}

ZIV_EXPORT int ziv_insert_command_argv(int command_id, int argc, char** argv)
{
    if (command_id < 1 || argc < 0 || (argc > 0 && argv == nullptr)) {
        return -1;
    }
    // A hex blob literal: any byte can stand in it, and the zero byte after
    // each argument keeps empty arguments and the boundaries.
    size_t bytes = 0;
    int count = 0;
    for (; count < argc && argv[count] != nullptr; ++count) {
        bytes += strlen(argv[count]) + 1;
    }
    constexpr char kHead[] = "INSERT OR REPLACE INTO build_command_argv_table VALUES (%d,X'";
    constexpr char kTail[] = "');";
    size_t size = sizeof kHead + 16 + 2 * bytes + sizeof kTail;
    if (size > static_cast<size_t>(INT32_MAX)) {
        return -1;
    }
    ziv_block<char> sql{static_cast<char*>(ziv_malloc_and_init(static_cast<int>(size)))};
    if (sql.block == nullptr) {
        return -1;
    }
    int len = sprintf_s(sql.block, size, kHead, command_id);
    ZIV_SQL_FORMATTED(len);
    char* out = sql.block + len;
    constexpr char kHex[] = "0123456789abcdef";
    for (int i = 0; i < count; ++i) {
        for (const char* c = argv[i];; ++c) {
            auto byte = static_cast<unsigned char>(*c);
            *out++ = kHex[byte >> 4];
            *out++ = kHex[byte & 15];
            if (byte == 0) {
                break;
            }
        }
    }
    memcpy(out, kTail, sizeof kTail);
    return ziv_sqlite3_exec(sql.block, static_cast<int>(out - sql.block) + 3);
}

ZIV_EXPORT int ziv_append_head_names_of(int source_id, int pwd_id, ziv_trace_file** list)
{
    if (list == nullptr || ziv_prog_cfg.db == nullptr || g_ziv_sqlite3_get_table == nullptr) {
        return -1;
    }
    sql_buffer sql;
    if (!sql.ok()) {
        return -1;
    }
    // A relative name stands for a file of the directory it was recorded in.
    int len = sprintf_s(sql.text(), ZIV_SQL_SIZE,
                        "SELECT h.filename FROM source_head_table r JOIN head_file_table h ON h.id = r.head_id "
                        "WHERE r.source_id = %d AND (h.filename LIKE '/%%' OR h.path_file_id = %d) ORDER BY r.id;",
                        source_id, pwd_id);
    ZIV_SQL_FORMATTED(len);
    char** table = nullptr;
    int rows = 0;
    int columns = 0;
    int rc = g_ziv_sqlite3_get_table(ziv_prog_cfg.db, sql.text(), &table, &rows, &columns, nullptr);
    int added = 0;
    for (int row = 1; rc == 0 && table != nullptr && columns == 1 && row <= rows; ++row) {
        const char* name = table[row];
        if (name != nullptr && ziv_append_trace_file(list, name) == 0) {
            ++added;
        }
    }
    if (table != nullptr && g_ziv_sqlite3_free_table != nullptr) {
        g_ziv_sqlite3_free_table(table);
    }
    return rc == 0 ? added : -1;
}

ZIV_EXPORT int ziv_update_build_command_runtime(int runtime_ms, int command_id)
{
    ZIV_SQL_RETURN(ziv_sqlite3_exec, "UPDATE build_command_table set runtime=%d where id=%d;", runtime_ms,
                   command_id);
}

ZIV_EXPORT int ziv_insert_trace_time(int command_id, ziv_trace_time* time)
{
    if (time == nullptr) {
        return -1;
    }
    ziv_errno_guard keep;
    timeval now{};
    if (ziv_real_now(&now)) {
        time->total_ms = ziv_interval_ms(time->start, now);
    }
    int existing = ziv_get_build_time_id(command_id);
    sql_buffer sql;
    if (!sql.ok()) {
        return -1;
    }
    long runtime = time->runtime_ms;
    long total = time->total_ms;
    long sha256 = time->sha256_ms;
    long in_sql = time->sql_ms;
    long dataid = time->dataid_ms;
    int len = 0;
    if (existing < 1) {
        len = sprintf_s(sql.text(), ZIV_SQL_SIZE, "INSERT INTO build_time_table VALUES (NULL,%d,%ld,%ld,%ld,%ld,%ld);",
                        command_id, runtime, total, sha256, in_sql, dataid);
    } else {
        len = sprintf_s(sql.text(), ZIV_SQL_SIZE,
                        "INSERT OR REPLACE INTO build_time_table VALUES (%d,%d,%ld,%ld,%ld,%ld,%ld);", existing,
                        command_id, runtime, total, sha256, in_sql, dataid);
    }
    ZIV_SQL_FORMATTED(len);
    return exec_direct(sql.text());
}

}  // extern "C"

bool ziv_db_descriptors_intact()
{
    if (ziv_prog_cfg.db == nullptr) {
        return true;
    }
    for (int i = 0; i < g_kept.count; ++i) {
        const kept_descriptor& kept = g_kept.fds[i];
        struct stat st {};
        if (file_of(kept.fd, &st) && st.st_dev == kept.dev && st.st_ino == kept.ino) {
            continue;
        }
        // Closing the connection could close the program's file before its
        // buffered output reaches it, and a new connection would find the
        // same stale descriptors through SQLite's per-process sharing of
        // open files: the connection is left as it is to the process's end.
        ziv_log_always(LOG_ALERT,
                       "%s descriptor %d of the build database %s was closed or reused by %s: the end of command %d "
                       "is not recorded.\n",
                       "ziv_trace_fini", kept.fd, ziv_prog_cfg.trace_output, ziv_prog_name_for_log(),
                       g_ziv_trace_cmd != nullptr ? g_ziv_trace_cmd->command_id : 0);
        ziv_prog_cfg.db = nullptr;
        g_kept.count = 0;
        return false;
    }
    return true;
}
