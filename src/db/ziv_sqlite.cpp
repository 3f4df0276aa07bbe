// The build database: opening it, running statements, and the look-ups and
// writes the tracing side records its rows with. SQLite is reached through
// the pointers resolved at run time; the library links nothing but libc.
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "ziv_bounded.h"
#include "ziv_config.h"
#include "ziv_db.h"
#include "ziv_lifecycle.h"
#include "ziv_log.h"
#include "ziv_sysio.h"

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
