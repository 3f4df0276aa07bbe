// What a name on a command line is, which programs are never traced, where
// a tool lives, and the string helpers the command parsers share.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ziv_bounded.h"
#include "ziv_config.h"
#include "ziv_sysio.h"
#include "ziv_file_util.h"
#include "ziv_helper_process.h"
#include "ziv_log.h"

extern char** environ;

extern "C" {

const ziv_file_suffix g_ziv_file_suffix[ZIV_FILE_SUFFIX_COUNT] = {
    {".c", 1},    {".C", 1},    {".cc", 1},   {".CC", 1},   {".cp", 1},   {".CP", 1},   {".rc", 1},
    {".cpp", 1},  {".CPP", 1},  {".cxx", 1},  {".CXX", 1},  {".x", 1},    {".c++", 1},  {".C++", 1},
    {".m", 1},    {".mm", 1},   {".M", 1},    {".c++", 1},
    {".F", 2},    {".fpp", 2},  {".F03", 2},  {".F08", 2},  {".FPP", 2},  {".FTN", 2},  {".F95", 2},
    {".f", 2},    {".for", 2},  {".FOR", 2},  {".ftn", 2},  {".f90", 2},  {".F90", 2},  {".f95", 2},
    {".f03", 2},  {".f08", 2},
    {".i", 4},    {".ii", 4},   {".mi", 4},   {".mii", 4},
    {".s", 5},    {".S", 5},    {".sx", 5},   {".asm", 5},
    {".o", 6},    {".obj", 6},  {".os", 6},
    {".h", 3},    {".H", 3},    {".hh", 3},   {".HH", 3},   {".hp", 3},   {".HP", 3},   {".hpp", 3},
    {".HPP", 3},  {".hxx", 3},  {".HXX", 3},  {".h++", 3},  {".H++", 3},  {".tcc", 3},  {".TCC", 3},
    {".inc", 3},  {".imp", 3},  {".impl", 3}, {".tpp", 3},  {".inl", 3},  {".ixx", 3},  {".ipp", 3},
    {".gch", 8},
    {".so", 7},   {".a", 7},
    {".ld", 9},
    {".d", 10},   {".dd", 10},
    {".vrn", 13},
};

}  // extern "C"

namespace {

// Programs never traced: plain utilities, and the tools tracing itself uses.
constexpr const char* g_trace_white_group[ZIV_TRACE_WHITE_COUNT] = {
    "arch",     "awk",        "basename", "cat",      "cmp",    "comm",   "cut",      "date",
    "diff",     "dirname",    "dot",      "echo",     "elfdeps", "env",   "expand",   "expr",
    "fgrep",    "file",       "find",     "gawk",     "getconf", "gdb",   "grep",     "head",
    "hostname", "iconv",      "id",       "install-info", "ls", "m4",     "mawk",     "md5sum",
    "mkdir",    "mktemp",     "pkg-config", "printenv", "printf", "ps",   "pwd",      "readlink",
    "recho",    "sed",        "sha256sum", "sleep",   "sort",   "sqlite3", "stat",    "tail",
    "tee",      "test",       "time",     "tput",     "tr",     "true",   "tty",      "umount",
    "uniq",     "vi",         "vim",      "wc",       "which",  "xargs",  "xgettext", "zecho",
    "touch",
};

constexpr const char* k_sys_dirs[] = {
    "/lib/",       "/usr/lib/", "/lib64/", "/usr/lib64/", "/lib/x86_64-linux-gnu/", "/usr/local/lib",
    "/usr/local/lib64", "/lib32", "/usr/lib32", "/libx32", "/usr/libx32",
};

constexpr bool is_source_type(int type)
{
    switch (type) {
    case ZIV_FILE_C_SOURCE:
    case ZIV_FILE_FORTRAN:
    case ZIV_FILE_HEADER:
    case ZIV_FILE_ASM:
    case ZIV_FILE_LD_SCRIPT:
    case ZIV_FILE_PATCH:
    case ZIV_FILE_VRN_SOURCE:
    case ZIV_FILE_TEXT:
        return true;
    default:
        return false;
    }
}

// Copies a found path into the caller's buffer; -1 when it does not fit.
int copy_path(const char* path, char* buffer, size_t size)
{
    int err = strcpy_s(buffer, size, path);
    if (err != EOK) {
        ZIV_LOG_FAILED("strcpy_s", err);
        return -1;
    }
    return 0;
}

int resolve_into(const char* path, char* buffer, size_t size)
{
    // realpath into its own allocation: the caller's buffer may be shorter
    // than PATH_MAX.
    ziv_block<char> real{realpath(path, nullptr)};
    if (real.block == nullptr) {
        return -1;
    }
    return copy_path(real.block, buffer, size);
}

void exit_child(int code) { syscall(SYS_exit_group, code); }

}  // namespace

// --- Strings -----------------------------------------------------------------

char* strstrip(char* text, size_t length)
{
    if (text == nullptr) {
        return nullptr;
    }
    size_t end = length;
    while (end > 0 && text[end - 1] == ' ') {
        --end;
    }
    if (end > 0 && text[end - 1] == '\n') {
        --end;
    }
    text[end] = '\0';
    char* p = text;
    while (*p == ' ') {
        ++p;
    }
    return p;
}

bool ziv_shell_quote(const char* text, char* out, size_t size)
{
    if (text == nullptr || out == nullptr || size == 0) {
        return false;
    }
    size_t at = 0;
    auto put = [&](std::string_view piece) {
        if (at + piece.size() >= size) {
            return false;
        }
        memcpy(out + at, piece.data(), piece.size());
        at += piece.size();
        return true;
    };
    bool ok = put("'");
    for (const char* p = text; ok && *p != '\0'; ++p) {
        ok = *p == '\'' ? put("'\\''") : put(std::string_view(p, 1));
    }
    ok = ok && put("'");
    out[ok ? at : 0] = '\0';
    return ok;
}

extern "C" {

ZIV_EXPORT char* ziv_append_filename_suffix(const char* name, const char* suffix)
{
    if (name == nullptr || suffix == nullptr) {
        return nullptr;
    }
    ziv_errno_guard keep_errno;
    size_t want = strlen(name) + strlen(suffix);
    if (want >= INT_MAX) {
        return nullptr;
    }
    ziv_block<char> text{static_cast<char*>(ziv_malloc_and_init(static_cast<int>(want + 1)))};
    if (text.block == nullptr) {
        return nullptr;
    }
    int n = sprintf_s(text.block, want + 1, "%s%s", name, suffix);
    if (n < 0 || static_cast<size_t>(n) != want) {
        ZIV_LOG_FAILED("sprintf_s", n);
        return nullptr;
    }
    return text.release();
}

ZIV_EXPORT char* ziv_change_filename_suffix(const char* name, const char* suffix)
{
    if (name == nullptr || suffix == nullptr) {
        return nullptr;
    }
    ziv_errno_guard keep_errno;
    const char* dot = strrchr(name, '.');
    const char* slash = strrchr(name, '/');
    if (dot == nullptr || (slash != nullptr && dot < slash)) {
        return nullptr;  // no dot, or only in a directory name
    }
    const char* base = slash == nullptr ? name : slash + 1;
    size_t dot_pos = static_cast<size_t>(dot - name);
    size_t size = strlen(suffix) + dot_pos + 1;
    if (size >= INT_MAX) {
        return nullptr;
    }
    ziv_block<char> text{static_cast<char*>(ziv_malloc_and_init(static_cast<int>(size)))};
    if (text.block == nullptr) {
        return nullptr;
    }
    int err = memcpy_s(text.block, size, base, static_cast<size_t>(dot - base));
    if (err != EOK) {
        ziv_log(LOG_INFO, "memcpy_s failed, err = %d, function %s line %d\n", err, __func__, 216);
        return nullptr;
    }
    err = strcat_s(text.block, size, suffix);
    if (err != EOK) {
        ziv_log(LOG_INFO, "memcpy_s failed, err = %d, function %s line %d\n", err, __func__, 223);
        return nullptr;
    }
    return text.release();
}

ZIV_EXPORT int ziv_get_cmd_callback_from_tmpfile(const char* command, char* buffer, int block_size)
{
    ziv_errno_guard keep_errno;
    if (command == nullptr || buffer == nullptr || block_size <= 0) {
        return -1;
    }
    // mkstemp's name holds only safe characters, so it can stand unquoted
    // in the shell line; each capture gets its own file.
    char tmp_name[] = "/tmp/ziv_tmpfile.XXXXXX";
    int fd = mkstemp(tmp_name);
    if (fd < 0) {
        return -1;
    }
    close(fd);
    size_t line_size = strlen(command) + sizeof(tmp_name) + 4;
    ziv_block<char> line{static_cast<char*>(malloc(line_size))};
    if (line.block == nullptr || sprintf_s(line.block, line_size, "%s > %s", command, tmp_name) < 0) {
        unlink(tmp_name);
        return -1;
    }
    (void)ziv_run_shell_line(line.block);
    int result = 0;
    ziv_fd_closer out{open(tmp_name, O_RDONLY | O_CLOEXEC)};
    if (out.fd >= 0) {
        ssize_t got = ziv_sys_read_full(out.fd, buffer, static_cast<size_t>(block_size));
        result = got == block_size ? 1 : 0;
    }
    unlink(tmp_name);
    return result;
}

ZIV_EXPORT void ziv_del_extra_space_char(char* text)
{
    if (text == nullptr) {
        return;
    }
    char* out = text;
    for (const char* in = text; *in != '\0';) {
        if (isspace(static_cast<unsigned char>(*in))) {
            *out++ = ' ';
            while (*in != '\0' && isspace(static_cast<unsigned char>(*in))) {
                ++in;
            }
        } else {
            *out++ = *in++;
        }
    }
    *out = '\0';
}

ZIV_EXPORT char* ziv_get_file_content(const char* path)
{
    ziv_errno_guard keep_errno;
    if (path == nullptr) {
        return nullptr;
    }
    // Non-blocking: a FIFO without a writer must not hold the process.
    ziv_fd_closer file{open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
    if (file.fd < 0) {
        ziv_log(LOG_INFO, "open patch file failed, function %s line %d\n", __func__, 580);
        return nullptr;
    }
    // A pipe has no size: nothing is read from it, so the program still
    // gets all of its input.
    off_t size = lseek(file.fd, 0, SEEK_END);
    if (size <= 0 || size >= INT_MAX || lseek(file.fd, 0, SEEK_SET) != 0) {
        return nullptr;
    }
    ziv_block<char> text{static_cast<char*>(ziv_malloc_and_init(static_cast<int>(size) + 1))};
    if (text.block == nullptr) {
        return nullptr;
    }
    ssize_t got = ziv_sys_read_full(file.fd, text.block, static_cast<size_t>(size));
    if (got != size) {
        ziv_log(LOG_INFO, "read patch file failed, function %s line %d\n", __func__, 597);
        if (got < 0) {
            got = 0;
        }
    }
    text.block[got] = '\0';
    return text.release();
}

// --- Files ---------------------------------------------------------------------

ZIV_EXPORT int ziv_check_input_valid(const char* name)
{
    if (name == nullptr) {
        return -1;
    }
    if (name[0] == '#' || name[0] == '-' || name[0] == '@') {
        return 0;
    }
    ziv_errno_guard keep_errno;
    struct stat st;
    if (stat(name, &st) != 0) {
        return 0;
    }
    return S_ISREG(st.st_mode) ? 1 : 0;
}

ZIV_EXPORT int ziv_input_file_type(const char* name)
{
    if (name == nullptr) {
        return ZIV_FILE_OTHER;
    }
    // The last dot of the whole name: a dot in a directory counts when the
    // file name has none.
    const char* dot = strrchr(name, '.');
    if (dot == nullptr) {
        return ZIV_FILE_OTHER;
    }
    for (const ziv_file_suffix& s : g_ziv_file_suffix) {
        if (strcmp(dot, s.suffix) == 0) {
            return s.type;
        }
    }
    return ziv_get_file_type(name) == ZIV_CONTENT_TEXT ? ZIV_FILE_TEXT : ZIV_FILE_OTHER;
}

ZIV_EXPORT int ziv_is_source_file(int type) { return is_source_type(type) ? 1 : 0; }

// --- Tracing support ---------------------------------------------------------------

ZIV_EXPORT const char* ziv_get_trace_white_cmd(const char* name)
{
    if (name == nullptr || name[0] == '\0') {
        return nullptr;
    }
    for (const char* entry : g_trace_white_group) {
        if (strcmp(entry, name) == 0) {
            return entry;
        }
    }
    return nullptr;
}

ZIV_EXPORT int ziv_is_sys_file(const char* name)
{
    if (name == nullptr) {
        return 0;
    }
    for (const char* dir : k_sys_dirs) {
        if (strncmp(name, dir, strlen(dir)) == 0) {
            return 1;
        }
    }
    return 0;
}

ZIV_EXPORT int ziv_get_absolute_path(const char* name, size_t name_len, char* buffer, size_t size)
{
    ziv_errno_guard keep_errno;
    if (name == nullptr || buffer == nullptr || size == 0) {
        return -1;
    }
    size_t len = strnlen(name, name_len);
    if (len == 0 || len >= PATH_MAX) {
        return -1;
    }
    char prog[PATH_MAX];
    memcpy(prog, name, len);
    prog[len] = '\0';

    if (prog[0] == '/') {
        return copy_path(prog, buffer, size);
    }
    if (strchr(prog, '/') != nullptr) {
        return resolve_into(prog, buffer, size);
    }
    const char* path = ziv_getenv("PATH");
    if (path == nullptr) {
        return -1;
    }
    // Every element in order, the one after the last ":" included; an empty
    // element stands for the current directory.
    for (const char* elem = path;;) {
        const char* colon = strchr(elem, ':');
        size_t elem_len = colon == nullptr ? strlen(elem) : static_cast<size_t>(colon - elem);
        std::string_view dir = elem_len == 0 ? std::string_view(".") : std::string_view(elem, elem_len);
        char candidate[PATH_MAX];
        int n = sprintf_s(candidate, sizeof(candidate), "%.*s/%s", static_cast<int>(dir.size()), dir.data(), prog);
        if (n > 0 && access(candidate, R_OK) == 0) {
            return candidate[0] == '/' ? copy_path(candidate, buffer, size) : resolve_into(candidate, buffer, size);
        }
        if (colon == nullptr) {
            return -1;
        }
        elem = colon + 1;
    }
}

ZIV_EXPORT int ziv_match_namelist(int n, const char* const* table, const char* arg)
{
    if (table == nullptr || arg == nullptr) {
        return 0;
    }
    for (int i = 0; i < n; ++i) {
        if (table[i] != nullptr && strcmp(table[i], arg) == 0) {
            return 1;
        }
    }
    return 0;
}

ZIV_EXPORT void ziv_recover_ldpreload(void)
{
    ziv_errno_guard keep_errno;
    const char* value = ziv_getenv("LD_PRELOAD");
    if (value == nullptr) {
        return;
    }
    ziv_block<char> kept{static_cast<char*>(ziv_malloc_and_init(static_cast<int>(strlen(value) + 1)))};
    if (kept.block == nullptr || !ziv_preload_without_library(value, kept.block)) {
        return;
    }
    if (kept.block[0] == '\0') {
        ziv_unsetenv("LD_PRELOAD");
    } else {
        ziv_setenv("LD_PRELOAD", kept.block);
    }
}

ZIV_EXPORT void ziv_forward_cmd_with_execve(int argc, char** argv, const char* tool, int command_id)
{
    ziv_errno_guard keep_errno;
    if (tool == nullptr || argv == nullptr || argc < 0) {
        return;
    }
    // The tool gets the command id, then the program's own arguments, each
    // as one argument: nothing passes through a shell. Everything is made
    // before fork: the child of a threaded program may neither allocate nor
    // take a lock before its exec.
    char id_text[32];
    if (sprintf_s(id_text, sizeof(id_text), "%d", command_id) < 0) {
        id_text[0] = '0';
        id_text[1] = '\0';
    }
    ziv_block<char*> args{static_cast<char**>(calloc(static_cast<size_t>(argc) + 3, sizeof(char*)))};
    ziv_env_without_library env(false);
    if (args.block == nullptr || env.get() == nullptr) {
        return;
    }
    args.block[0] = const_cast<char*>(tool);
    args.block[1] = id_text;
    for (int i = 0; i < argc; ++i) {
        args.block[i + 2] = argv[i];
    }
    pid_t child = fork();
    if (child < 0) {
        return;
    }
    if (child == 0) {
        ziv_libc_execve(tool, args.block, env.get());
        // Nothing to run: leave without running the program's exit work.
        exit_child(127);
    }
    ziv_wait_child(child);
}

}  // extern "C"

void ziv_wait_child(pid_t child)
{
    int status = 0;
    pid_t got;
    do {
        got = waitpid(child, &status, 0);
    } while (got < 0 && errno == EINTR);
    if (got != child) {
        ziv_log_plain(LOG_INFO, "waitpid error ...");
    }
}

char* ziv_read_bounded_file(const char* path, size_t max_size, size_t* size)
{
    if (path == nullptr || size == nullptr || max_size >= static_cast<size_t>(INT_MAX)) {
        return nullptr;
    }
    // Only a regular file is opened: opening a FIFO would release a writer
    // waiting for the program's own reader.
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
        return nullptr;
    }
    ziv_fd_closer file{open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
    if (file.fd < 0 || fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
        static_cast<size_t>(st.st_size) > max_size) {
        return nullptr;
    }
    ziv_block<char> text{static_cast<char*>(ziv_malloc_and_init(static_cast<int>(st.st_size) + 1))};
    if (text.block == nullptr) {
        return nullptr;
    }
    // A file that shrank meanwhile gives what it still holds.
    ssize_t got = ziv_sys_read_full(file.fd, text.block, static_cast<size_t>(st.st_size));
    if (got <= 0) {
        return nullptr;
    }
    text.block[got] = '\0';
    *size = static_cast<size_t>(got);
    return text.release();
}
