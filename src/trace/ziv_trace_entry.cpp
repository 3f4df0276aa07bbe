// Process entry: every program passes through here before its main. This is
// where a process is recognised as a build command, recorded, parsed and
// timed; ziv_trace_fini finishes the command at exit.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <sys/time.h>
#include <unistd.h>

#include "ziv_bounded.h"
#include "ziv_config.h"
#include "ziv_db.h"
#include "ziv_exec.h"
#include "ziv_file_util.h"
#include "ziv_hdeps_open.h"
#include "ziv_identity.h"
#include "ziv_interpose.h"
#include "ziv_lifecycle.h"
#include "ziv_log.h"
#include "ziv_process.h"
#include "ziv_symbols.h"
#include "ziv_sysio.h"
#include "ziv_template.h"
#include "ziv_trace_entry.h"

namespace {

using ziv_start_fn = int (*)(ziv_main_fn, int, char**, void (*)(void), void (*)(void), void (*)(void), void*);

constexpr uint32_t ZIV_LOG_BUILDTIME = 3;
constexpr int ZIV_FORWARD_MAX = 5;             // extra build tools per command
constexpr size_t ZIV_FORWARD_NAME_SIZE = 256;  // a longer name is skipped
constexpr size_t ZIV_TIME_TEXT_SIZE = 256;
constexpr int ZIV_ID_TEXT_SIZE = 32;

// The command row recorded at entry. A parser that expands response files
// records a second row for the same process and makes it the current one;
// both rows get the process's run time.
int g_ziv_entry_command_id = 0;

// Characters the command log reserves room for (two more bytes each); only
// the single quote is actually escaped.
bool reserves_room(char c)
{
    return c != '\0' && std::strchr("() <>&,|;\\\"'", c) != nullptr;
}

// Start of the command row: the real time when the clock can be reached,
// else the configured build time.
void command_time_text(char* text, size_t size)
{
    auto real_time = ziv_lazy(g_pf_org_time, "time");
    time_t now = real_time != nullptr ? real_time(nullptr) : ziv_get_build_time();
    struct tm local {};
    text[0] = '\0';
    if (localtime_r(&now, &local) != nullptr && strftime(text, size, "%F %T", &local) == 0) {
        text[0] = '\0';
    }
}

int parent_command_id()
{
    const char* text = ziv_getenv("ZIV_PCOMMAND_ID");
    int id = text != nullptr ? atoi(text) : 0;
    return id > 0 ? id : 0;
}

// The row this process is traced with, or null: table, template file, then
// the default row for children of shells, make and build scripts; known
// tools under a configure script or a test run are demoted to the default.
ziv_trace_cmd* choose_row()
{
    ziv_trace_cmd* row = ziv_lookup_trace_cmd();
    if (row == nullptr && ziv_is_template_cmd(program_invocation_short_name) == 0) {
        row = &g_trace_template_cmd;
    }
    if (row == nullptr) {
        return ziv_is_valid_parent() == 1 ? &g_trace_build_default : nullptr;
    }
    if (ziv_is_configure_or_test_process(ziv_libc_getppid()) != 0) {
        return &g_trace_build_default;
    }
    return row;
}

void trace_at_entry(int argc, char** argv)
{
    ziv_trace_cmd* row = choose_row();
    g_ziv_trace_cmd = row;
    int command_id = 0;
    if (row != nullptr) {
        init_ziv_sqlite3_cfg();
        if (ziv_open_sqlite() == 0) {
            ziv_trace_command(argc, argv, row);
            command_id = row->command_id;
        }
    }
    if (row == nullptr || row->excluded == 0) {
        ziv_forward_build_command(argc, argv, command_id);
    }
    timeval now{};
    if (row != nullptr && ziv_real_now(&now)) {
        row->time.main_start = now;
    }
}

}  // namespace

int insert_process_file(const char* abs_path)
{
    if (abs_path == nullptr) {
        return -1;
    }
    int id = ziv_get_obj_id_by_filename(abs_path, "tool_file_table");
    if (id != 0) {
        return id;
    }
    // The tool file itself is unreadable: its row carries an empty digest.
    char digest[ZIV_SHA256_BUF_SIZE] = {};
    ziv_get_sha256sum(abs_path, digest, sizeof digest);
    ziv_sql_text path(abs_path);
    ziv_block<char> sql{static_cast<char*>(ziv_malloc_and_init(ZIV_SQL_SIZE))};
    if (path.get() == nullptr || sql.block == nullptr) {
        return -1;
    }
    int len = sprintf_s(sql.block, ZIV_SQL_SIZE, "INSERT OR IGNORE INTO tool_file_table VALUES (NULL,'%s','%s');",
                        path.get(), digest);
    if (len < 0) {
        ziv_log(LOG_INFO, "sprintf_s failed, iRet = %d, function %s line %d\n", len, "insert_process_file", 53);
        return -1;
    }
    if (ziv_sqlite3_exec(sql.block, len) != 0) {
        return -1;
    }
    return ziv_get_obj_id_by_filename(abs_path, "tool_file_table");
}

extern "C" {

ZIV_EXPORT pid_t g_ziv_pid = 0;

ZIV_EXPORT int ziv_trace_skip(int argc, char** argv)
{
    if (ziv_prog_cfg.trace_enable != 1) {
        return 1;
    }
    const char* name = program_invocation_short_name;
    // The commands such a shell runs are traced in their own processes. Any
    // shell: make runs its recipes with the SHELL a Makefile names (bash in
    // every Makefile that configure wrote on a system with bash), and a
    // shell given one command executes it in its own place, so its row
    // would never get a run time.
    if (ziv_process_is_shell(name) != 0 && argc > 2 && argv != nullptr && argv[1] != nullptr &&
        std::strcmp(argv[1], "-c") == 0) {
        return 1;
    }
    if (ziv_get_trace_white_cmd(name) != nullptr) {
        return 1;
    }
    return is_in_ziv_process_list(ZIV_F_TRACE_WHITELIST) != 0 ? 1 : 0;
}

ZIV_EXPORT ziv_trace_cmd* ziv_lookup_trace_cmd(void)
{
    const char* name = program_invocation_short_name;
    if (name == nullptr || name[0] == '\0') {
        return nullptr;
    }
    const char* normalised = ziv_convert_gnu_cmd(name);
    ziv_trace_cmd* row = get_compile_parse_cmd(normalised);
    if (row == nullptr) {
        // gcc-12, x86_64-linux-gnu-gcc-12
        if (char* cut = ziv_convert_gnu_cmd_endswith_digit(name); cut != nullptr) {
            row = get_compile_parse_cmd(cut);
            free(cut);
        }
    }
    if (row == nullptr) {
        row = get_compile_parse_cmd(ziv_get_trace_map(normalised));
    }
    return row;
}

ZIV_EXPORT void ziv_set_parentid(int id)
{
    char text[ZIV_ID_TEXT_SIZE];
    if (sprintf_s(text, sizeof text, "%d", id) < 0) {
        text[0] = '0';
        text[1] = '\0';
    }
    ziv_setenv("ZIV_PCOMMAND_ID", text);
    // Children started with an environment of their own still get it.
    ziv_exec_note_command_id(text);
}

ZIV_EXPORT char* ziv_get_cmd_log(int argc, char** argv)
{
    if (argc < 0 || (argc > 0 && argv == nullptr)) {
        return nullptr;
    }
    size_t size = static_cast<size_t>(argc) + 1;
    for (int i = 0; i < argc && argv[i] != nullptr; ++i) {
        for (const char* c = argv[i]; *c != '\0'; ++c) {
            size += reserves_room(*c) ? 3 : 1;
        }
    }
    if (size + 1 > static_cast<size_t>(INT32_MAX)) {
        return nullptr;
    }
    char* log = static_cast<char*>(ziv_malloc_and_init(static_cast<int>(size + 1)));
    if (log == nullptr) {
        return nullptr;
    }
    size_t pos = 0;
    for (int i = 0; i < argc && argv[i] != nullptr && pos < size; ++i) {
        const char* arg = argv[i];
        if (std::strchr(arg, '\'') == nullptr) {
            int n = sprintf_s(log + pos, size - pos, "%s ", arg);
            if (n < 0) {
                ZIV_LOG_FAILED("sprintf_s", n);
                free(log);
                return nullptr;
            }
            pos += static_cast<size_t>(n);
            continue;
        }
        // Quotes doubled, so that the text stands inside an SQL literal.
        for (const char* c = arg; *c != '\0' && pos + 2 < size; ++c) {
            log[pos++] = *c;
            if (*c == '\'') {
                log[pos++] = '\'';
            }
        }
        log[pos++] = ' ';
    }
    if (pos > 0 && log[pos - 1] == ' ') {
        log[pos - 1] = '\0';
    }
    return log;
}

ZIV_EXPORT int ziv_db_insert_command(int tool_id, int pwd_id, const char* log)
{
    if (tool_id < 1 || log == nullptr) {
        return -1;
    }
    char time_text[ZIV_TIME_TEXT_SIZE];
    command_time_text(time_text, sizeof time_text);
    int parent_id = parent_command_id();
    if (pwd_id < 1) {
        return -1;
    }
    size_t size = std::strlen(log) + std::strlen(time_text) + 128;
    if (size > static_cast<size_t>(INT32_MAX)) {
        return -1;
    }
    ziv_block<char> sql{static_cast<char*>(ziv_malloc_and_init(static_cast<int>(size)))};
    if (sql.block == nullptr) {
        return -1;
    }
    int len = sprintf_s(sql.block, size, "INSERT INTO build_command_table VALUES (NULL,'%s','%s', %d, %d, %d, -1);",
                        time_text, log, tool_id, pwd_id, parent_id);
    if (len < 0) {
        ZIV_LOG_FAILED("sprintf_s", len);
        return -1;
    }
    // Executed directly: the new id is this connection's last rowid.
    if (ziv_prog_cfg.db == nullptr || g_ziv_sqlite3_exec == nullptr || g_ziv_sqlite3_last_insert_rowid == nullptr ||
        g_ziv_sqlite3_exec(ziv_prog_cfg.db, sql.block, nullptr, nullptr, nullptr) != 0) {
        return 0;
    }
    return static_cast<int>(g_ziv_sqlite3_last_insert_rowid(ziv_prog_cfg.db));
}

ZIV_EXPORT int ziv_db_insert_tool(const char* path)
{
    if (path == nullptr) {
        return -1;
    }
    char absolute[ZIV_PATH_SIZE];
    if (ziv_get_absolute_path(path, std::strlen(path), absolute, sizeof absolute) != 0) {
        return -1;
    }
    return insert_process_file(absolute);
}

ZIV_EXPORT int ziv_parse_build_command(int argc, char** argv, int pwd_id)
{
    if (argv == nullptr) {
        return -1;
    }
    int tool_id = argc > 0 ? ziv_db_insert_tool(argv[0]) : -1;
    ziv_block<char> log{ziv_get_cmd_log(argc, argv)};
    if (log.block == nullptr) {
        return 0;
    }
    // The row and its exact vector under one write lock: a reader finds
    // both or neither, and the build pays one transaction, not two.
    ziv_db_group group(tool_id > 0 && pwd_id > 0);
    int id = ziv_db_insert_command(tool_id, pwd_id, log.block);
    if (id > 0) {
        ziv_insert_command_argv(id, argc, argv);
    }
    return id;
}

ZIV_EXPORT void ziv_trace_command(int argc, char** argv, ziv_trace_cmd* row)
{
    if (row == nullptr) {
        return;
    }
    ziv_init_trace_time(&row->time);
    row->pwd_id = ziv_db_get_pwd_id();
    int id = ziv_parse_build_command(argc, argv, row->pwd_id);
    if (id < 0) {
        return;
    }
    ziv_set_parentid(id);
    row->command_id = id;
    g_ziv_entry_command_id = id;
    if (row->parse == nullptr) {
        return;
    }
    row->parse(argc, argv, row);
    // A configure test object: nothing of it belongs to the build.
    if (ziv_outfile_is_test(row->info) != 0) {
        row->excluded = 1;
        return;
    }
    ziv_record_inputs_at_entry(row->info, row->pwd_id);
}

ZIV_EXPORT int ziv_parse_cmd_default(int argc, char** argv, ziv_trace_cmd* row)
{
    if (argv == nullptr || row == nullptr || ziv_prog_cfg.db == nullptr) {
        return -1;
    }
    row->pwd_id = ziv_db_get_pwd_id();
    int id = ziv_parse_build_command(argc, argv, row->pwd_id);
    if (id < 1) {
        return id;
    }
    row->command_id = id;
    ziv_set_parentid(id);
    return id;
}

ZIV_EXPORT void ziv_forward_build_command(int argc, char** argv, int command_id)
{
    if (is_in_ziv_process_list(ZIV_F_TRACE_BUILDLIST) == 0) {
        return;
    }
    const char* value = ziv_getenv("ZIV_TRACE_BUILD_TOOLNAME");
    if (value == nullptr || value[0] == '\0') {
        return;
    }
    // The names are copied out: the variable itself stays as it is for the
    // program and its children.
    char names[ZIV_FORWARD_MAX][ZIV_FORWARD_NAME_SIZE];
    int count = 0;
    for (const char* word = value; *word != '\0' && count < ZIV_FORWARD_MAX;) {
        if (*word == ' ') {
            ++word;
            continue;
        }
        const char* end = std::strchr(word, ' ');
        size_t length = end != nullptr ? static_cast<size_t>(end - word) : std::strlen(word);
        if (length < ZIV_FORWARD_NAME_SIZE) {
            int err = memcpy_s(names[count], sizeof names[count], word, length);
            if (err == EOK) {
                names[count][length] = '\0';
                ++count;
            } else {
                ZIV_LOG_FAILED("memcpy_s", err);
            }
        }
        word += length;
    }
    for (int i = 0; i < count; ++i) {
        ziv_forward_cmd_with_execve(argc, argv, names[i], command_id);
    }
}

ZIV_EXPORT int __libc_start_main(ziv_main_fn main, int argc, char** argv, void (*init)(void), void (*fini)(void),
                                 void (*rtld_fini)(void), void* stack_end)
{
    int saved_errno = errno;
    ziv_start_fn next;
    {
        // The program's main runs outside: its calls are the program's own.
        ziv_reentry_guard guard;
        next = reinterpret_cast<ziv_start_fn>(dlsym(RTLD_NEXT, "__libc_start_main"));
        // tar and hostname lose features depending on what they are asked to do.
        ziv_adjust_features_from_args(argc, argv);
        g_ziv_pid = ziv_libc_getpid();
        if (next == nullptr) {
            ziv_log_always(LOG_ALERT, "%s dlsym error: %s.\n", "__libc_start_main", "symbol not found");
            _exit(127);
        }
        if (ziv_trace_skip(argc, argv) == 0) {
            trace_at_entry(argc, argv);
            main = ziv_hdeps_open_watch(main);
        }
    }
    errno = saved_errno;
    return next(main, argc, argv, init, fini, rtld_fini, stack_end);
}

ZIV_EXPORT void ziv_trace_fini(void)
{
    ziv_trace_cmd* row = g_ziv_trace_cmd;
    if (row == nullptr) {
        return;
    }
    ziv_errno_guard keep;
    timeval now{};
    if (row->command_id != 0 && ziv_real_now(&now)) {
        row->time.runtime_ms = ziv_interval_ms(row->time.main_start, now);
    }
    // A program that closed or reused the database's descriptors loses its
    // end record; whatever does not write to the database still happens.
    ziv_db_descriptors_intact();
    ziv_hdeps_open_finish(row);
    if (row->info != nullptr) {
        row->info->command_id = row->command_id;
        ziv_parse_trace_info(row->info);
    }
    // Every recorded command gets its run time, files or not.
    if (row->command_id > 0) {
        ziv_update_build_command_runtime(row->time.runtime_ms, row->command_id);
    }
    if (g_ziv_entry_command_id > 0 && g_ziv_entry_command_id != row->command_id) {
        ziv_update_build_command_runtime(row->time.runtime_ms, g_ziv_entry_command_id);
    }
    if (row->info != nullptr) {
        if (ziv_prog_cfg.log_level == ZIV_LOG_BUILDTIME) {
            ziv_insert_trace_time(row->command_id, &row->time);
        }
        ziv_free_trace_info(row->info);
        free(row->info);
        row->info = nullptr;
    }
    // The section loaded for a template-described program goes with it.
    if (g_ziv_template_conf.name != nullptr) {
        ziv_free_template_cfg(&g_ziv_template_conf);
    }
    if (ziv_prog_cfg.db != nullptr && g_ziv_sqlite3_close != nullptr) {
        g_ziv_sqlite3_close(ziv_prog_cfg.db);
        ziv_prog_cfg.db = nullptr;
    }
}

}  // extern "C"
