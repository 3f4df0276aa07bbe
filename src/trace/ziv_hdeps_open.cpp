// Header tracing from the files a compiling process opens. A compiler reads
// each header it includes through a successful read-only open, after it has
// opened the source; so the files opened from then on, less the compiler's
// own and the system's, are the source's headers, learnt without running
// anything a second time. What is seen stays in memory reserved before main
// and is written when the process ends, in one transaction.
//
// The rule for system headers follows the preprocessor's: a header is a
// system header when the longest directory of the command line it lies in
// is a system one (-isystem, -idirafter, the sysroot, /usr, the compiler's
// own prefix); a directory given with -I or -iquote, or the source's own,
// makes it a user header; a name in no such directory is a user header.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ziv_bounded.h"
#include "ziv_config.h"
#include "ziv_db.h"
#include "ziv_file_util.h"
#include "ziv_hdeps_open.h"
#include "ziv_interpose.h"
#include "ziv_log.h"
#include "ziv_symbols.h"
#include "ziv_trace.h"

pthread_mutex_t g_ziv_hdeps_open_mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

// Virtual space for names and the seen-set; pages are touched as used.
constexpr size_t kArenaSize = 64u << 20;
constexpr size_t kMaxName = PATH_MAX;
constexpr int kMaxSources = 256;
constexpr int kMaxDirs = 256;
constexpr int kMaxOutputs = 16;
constexpr int kMaxOwn = 4;
constexpr uint32_t kFirstTable = 1024;

struct name_ref {
    const char* text;
    uint32_t len;
};

struct dir_ref {
    const char* text;
    uint32_t len;
    bool system;
};

// One (source, header) pair as seen, in the order seen.
struct seen_record {
    int32_t source;
    uint32_t len;
    char name[];
};

struct observer_state {
    bool active;
    bool keep_system;
    // Fixed before main.
    name_ref sources[kMaxSources];
    int source_count;
    name_ref outputs[kMaxOutputs];
    int output_count;
    dir_ref dirs[kMaxDirs];
    int dir_count;
    name_ref own[kMaxOwn];
    int own_count;
    // Names grow up from the bottom, the seen-set's tables down from the top.
    char* arena;
    size_t low;
    size_t high;
    size_t records_start;
    uint32_t* table;
    uint32_t table_capacity;
    uint32_t table_count;
    bool full;
    // Changed under g_ziv_hdeps_open_mutex.
    int current;
    // What the process passed to exit(); 0 until then, and when it ends by
    // _exit, which runs no exit handler.
    int exit_status;
    ziv_main_fn program_main;
};

// In the reserved memory of an observing process; null in every other.
observer_state* g_observer = nullptr;

bool starts_with(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

// "./a.h" and "a.h" are one file; clang writes the first for headers next
// to a source in the working directory, gcc the second.
const char* skip_dot_slash(const char* path)
{
    while (path[0] == '.' && path[1] == '/') {
        path += 2;
        while (*path == '/') {
            ++path;
        }
    }
    return path;
}

size_t align8(size_t n) { return (n + 7) & ~static_cast<size_t>(7); }

void* take_low(size_t size)
{
    observer_state& o = *g_observer;
    size = align8(size);
    if (o.arena == nullptr || o.high - o.low < size) {
        o.full = true;
        return nullptr;
    }
    void* at = o.arena + o.low;
    o.low += size;
    return at;
}

uint32_t* take_high(uint32_t count)
{
    observer_state& o = *g_observer;
    size_t size = align8(static_cast<size_t>(count) * sizeof(uint32_t));
    if (o.arena == nullptr || o.high - o.low < size) {
        o.full = true;
        return nullptr;
    }
    o.high -= size;
    return reinterpret_cast<uint32_t*>(o.arena + o.high);
}

// A copy in the arena, without "./" in front and "/" at the end.
bool keep_name(const char* text, name_ref* out, bool is_dir)
{
    text = skip_dot_slash(text);
    size_t len = strnlen(text, kMaxName);
    while (is_dir && len > 0 && text[len - 1] == '/') {
        --len;
    }
    if (len == 0 || len >= kMaxName) {
        return false;
    }
    char* copy = static_cast<char*>(take_low(len + 1));
    if (copy == nullptr) {
        return false;
    }
    memcpy(copy, text, len);
    copy[len] = '\0';
    *out = {copy, static_cast<uint32_t>(len)};
    return true;
}

void add_source(const char* name)
{
    observer_state& o = *g_observer;
    if (o.source_count < kMaxSources && keep_name(name, &o.sources[o.source_count], false)) {
        ++o.source_count;
    }
}

void add_output(const char* name)
{
    observer_state& o = *g_observer;
    if (o.output_count < kMaxOutputs && keep_name(name, &o.outputs[o.output_count], false)) {
        ++o.output_count;
    }
}

void add_dir(const char* name, bool system)
{
    observer_state& o = *g_observer;
    name_ref kept{};
    if (o.dir_count < kMaxDirs && name[0] != '\0' && keep_name(name, &kept, true)) {
        o.dirs[o.dir_count++] = {kept.text, kept.len, system};
    }
}

// Directories given as user ones that are the compiler's default system
// directories stay system directories, as the preprocessor keeps them.
void add_user_dir(const char* name)
{
    if (strcmp(name, "/usr/include") != 0 && strcmp(name, "/usr/local/include") != 0) {
        add_dir(name, false);
    }
}

void add_own(const char* text, size_t len)
{
    observer_state& o = *g_observer;
    char* copy = static_cast<char*>(take_low(len + 1));
    if (o.own_count < kMaxOwn && copy != nullptr && len > 1) {
        memcpy(copy, text, len);
        copy[len] = '\0';
        o.own[o.own_count++] = {copy, static_cast<uint32_t>(len)};
    }
}

// --- The command line ---------------------------------------------------------

// Options whose next argument is their value: files and directories, and
// values that name no file (kept from being taken for a source).
constexpr const char* kValueOptions[] = {
    "-o", "-MF", "-MT", "-MQ", "-MJ", "-dependency-file", "-I", "-iquote", "-isystem", "-idirafter",
    "-isysroot", "--sysroot", "-imultilib", "-imultiarch", "-iprefix", "-iwithprefix", "-iwithprefixbefore",
    "-internal-isystem", "-internal-externc-isystem", "-resource-dir", "-ivfsoverlay", "-include", "-imacros",
    "-include-pch", "-B", "-L", "-T", "-D", "-U", "-A", "-x", "-l", "-u", "-z", "-G", "-V", "-arch", "-target",
    "-triple", "-target-cpu", "-tune-cpu", "-target-feature", "-target-abi", "-mllvm", "-main-file-name",
    "-mrelocation-model", "-pic-level", "-ferror-limit", "-stack-protector", "-fmessage-length", "-mcode-model",
    "-mthread-model", "-dumpbase", "-dumpbase-ext", "-dumpdir", "-auxbase", "-auxbase-strip", "-aux-info",
    "--param", "-Xclang", "-Xlinker", "-Xassembler", "-Xpreprocessor", "-coverage-notes-file",
    "-coverage-data-file", "-split-dwarf-file", "-split-dwarf-output", "--output-pch",
};

bool takes_value(const char* arg, bool md_takes_file)
{
    if (md_takes_file && (strcmp(arg, "-MD") == 0 || strcmp(arg, "-MMD") == 0)) {
        return true;
    }
    for (const char* option : kValueOptions) {
        if (strcmp(arg, option) == 0) {
            return true;
        }
    }
    return false;
}

// The value of `option` glued to it ("-Iinc", "--sysroot=/x"), or null.
const char* glued(const char* arg, const char* option)
{
    size_t n = strlen(option);
    return strncmp(arg, option, n) == 0 && arg[n] != '\0' ? arg + n : nullptr;
}

// What an option with its value says about directories and outputs.
void take_option(const char* option, const char* value, bool md_takes_file)
{
    if (strcmp(option, "-I") == 0 || strcmp(option, "-iquote") == 0) {
        add_user_dir(value);
    } else if (strcmp(option, "-isystem") == 0 || strcmp(option, "-idirafter") == 0 ||
               strcmp(option, "-internal-isystem") == 0 || strcmp(option, "-internal-externc-isystem") == 0 ||
               strcmp(option, "-isysroot") == 0 || strcmp(option, "--sysroot") == 0) {
        add_dir(value, true);
    } else if (strcmp(option, "-include") == 0 || strcmp(option, "-imacros") == 0) {
        // Named on the command line: a user header wherever it lies.
        add_dir(value, false);
    } else if (strcmp(option, "-o") == 0 || strcmp(option, "-MF") == 0 || strcmp(option, "-MJ") == 0 ||
               strcmp(option, "-dependency-file") == 0 || strcmp(option, "--output-pch") == 0 ||
               (md_takes_file && (strcmp(option, "-MD") == 0 || strcmp(option, "-MMD") == 0))) {
        add_output(value);
    }
}

void take_glued(const char* arg)
{
    const char* v = nullptr;
    if ((v = glued(arg, "-I")) != nullptr || (v = glued(arg, "-iquote")) != nullptr) {
        if (strcmp(arg, "-I-") != 0) {
            add_user_dir(v);
        }
    } else if ((v = glued(arg, "-isystem")) != nullptr || (v = glued(arg, "-idirafter")) != nullptr ||
               (v = glued(arg, "--sysroot=")) != nullptr || (v = glued(arg, "-isysroot")) != nullptr) {
        add_dir(v, true);
    } else if ((v = glued(arg, "-o")) != nullptr) {
        add_output(v);
    }
}

void read_command_line(int argc, char** argv, bool md_takes_file)
{
    bool inputs_only = false;
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        const char* arg = argv[i];
        if (inputs_only || arg[0] != '-') {
            add_source(arg);
            // A quoted include next to a source named by its full path is
            // opened under that path.
            if (arg[0] == '/') {
                const char* slash = strrchr(arg, '/');
                char dir[kMaxName];
                size_t len = static_cast<size_t>(slash - arg);
                if (len > 0 && len < sizeof dir) {
                    memcpy(dir, arg, len);
                    dir[len] = '\0';
                    add_dir(dir, false);
                }
            }
        } else if (strcmp(arg, "--") == 0) {
            inputs_only = true;
        } else if (takes_value(arg, md_takes_file)) {
            if (i + 1 < argc && argv[i + 1] != nullptr) {
                take_option(arg, argv[i + 1], md_takes_file);
                ++i;
            }
        } else {
            take_glued(arg);
        }
    }
}

// The compiler's own directories: where its program lies, and for the gcc
// layout (prefix/lib/gcc/target/version, or libexec for the program) and
// the clang one (prefix/bin, resources under prefix/lib/clang) the prefix,
// whose files are system files, and the version or resource directory.
void read_installation(const char* argv0)
{
    char exe[kMaxName];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0 && argv0 != nullptr && argv0[0] == '/' && strlen(argv0) < sizeof exe) {
        n = static_cast<ssize_t>(strlen(argv0));
        memcpy(exe, argv0, static_cast<size_t>(n));
    }
    if (n <= 0) {
        return;
    }
    exe[n] = '\0';
    char* slash = strrchr(exe, '/');
    if (slash == nullptr || slash == exe) {
        return;
    }
    *slash = '\0';
    add_own(exe, strlen(exe));
    char prefix[kMaxName];
    const char* gcc_dir = nullptr;
    bool libexec = false;
    if ((gcc_dir = strstr(exe, "/libexec/gcc/")) != nullptr) {
        libexec = true;
    } else {
        gcc_dir = strstr(exe, "/lib/gcc/");
    }
    size_t prefix_len = 0;
    if (gcc_dir != nullptr) {
        prefix_len = static_cast<size_t>(gcc_dir - exe);
        if (libexec) {
            // prefix/lib/gcc/target/version beside prefix/libexec/gcc/target/version
            char version_dir[kMaxName];
            const char* rest = gcc_dir + strlen("/libexec/gcc/");
            if (sprintf_s(version_dir, sizeof version_dir, "%.*s/lib/gcc/%s", static_cast<int>(prefix_len), exe,
                          rest) > 0) {
                add_own(version_dir, strlen(version_dir));
            }
        }
    } else {
        size_t len = strlen(exe);
        if (len < 4 || strcmp(exe + len - 4, "/bin") != 0) {
            return;
        }
        prefix_len = len - 4;
        char resources[kMaxName];
        if (sprintf_s(resources, sizeof resources, "%.*s/lib/clang", static_cast<int>(prefix_len), exe) > 0) {
            add_own(resources, strlen(resources));
        }
    }
    if (prefix_len > 0 && prefix_len < sizeof prefix) {
        memcpy(prefix, exe, prefix_len);
        prefix[prefix_len] = '\0';
        add_dir(prefix, true);
    }
}

// --- Sorting what is opened -------------------------------------------------------

// `dir` is `path` or one of its parent directories.
bool lies_in(const char* path, size_t path_len, const char* dir, size_t dir_len)
{
    return dir_len <= path_len && memcmp(path, dir, dir_len) == 0 && (path[dir_len] == '/' || path[dir_len] == '\0');
}

bool is_system(const char* path, size_t len)
{
    const observer_state& o = *g_observer;
    uint32_t best = 0;
    bool system = false;
    for (int i = 0; i < o.dir_count; ++i) {
        const dir_ref& d = o.dirs[i];
        if (lies_in(path, len, d.text, d.len) && (d.len > best || (d.len == best && d.system))) {
            best = d.len;
            system = d.system;
        }
    }
    return system;
}

// Under one of the compiler's own directories, and not in a header
// directory there ("include", "include-fixed"): its specs, plugins,
// sanitizer lists and the like.
bool is_own(const char* path, size_t len)
{
    const observer_state& o = *g_observer;
    for (int i = 0; i < o.own_count; ++i) {
        if (lies_in(path, len, o.own[i].text, o.own[i].len)) {
            const char* rest = path + o.own[i].len;
            return strstr(rest, "/include/") == nullptr && strstr(rest, "/include-fixed/") == nullptr;
        }
    }
    return false;
}

bool is_output(const char* path, size_t len)
{
    const observer_state& o = *g_observer;
    for (int i = 0; i < o.output_count; ++i) {
        if (o.outputs[i].len == len && memcmp(o.outputs[i].text, path, len) == 0) {
            return true;
        }
    }
    return false;
}

int source_index(const char* path, size_t len)
{
    const observer_state& o = *g_observer;
    for (int i = 0; i < o.source_count; ++i) {
        if (o.sources[i].len == len && memcmp(o.sources[i].text, path, len) == 0) {
            return i;
        }
    }
    return -1;
}

uint32_t hash_of(int source, const char* name, size_t len)
{
    uint32_t h = 2166136261u ^ static_cast<uint32_t>(source);
    for (size_t i = 0; i < len; ++i) {
        h = (h ^ static_cast<unsigned char>(name[i])) * 16777619u;
    }
    return h;
}

const seen_record* record_at(uint32_t offset)
{
    return reinterpret_cast<const seen_record*>(g_observer->arena + offset);
}

bool grow_table()
{
    observer_state& o = *g_observer;
    uint32_t capacity = o.table_capacity == 0 ? kFirstTable : o.table_capacity * 2;
    uint32_t* table = take_high(capacity);
    if (table == nullptr) {
        return false;
    }
    memset(table, 0, capacity * sizeof(uint32_t));
    for (uint32_t i = 0; i < o.table_capacity; ++i) {
        uint32_t offset = o.table[i];
        if (offset != 0) {
            const seen_record* r = record_at(offset);
            uint32_t at = hash_of(r->source, r->name, r->len) & (capacity - 1);
            while (table[at] != 0) {
                at = (at + 1) & (capacity - 1);
            }
            table[at] = offset;
        }
    }
    o.table = table;
    o.table_capacity = capacity;
    return true;
}

// Adds (current source, name) unless it is there already.
void remember(int source, const char* name, size_t len)
{
    observer_state& o = *g_observer;
    if ((o.table_count + 1) * 2 > o.table_capacity && !grow_table()) {
        return;
    }
    uint32_t at = hash_of(source, name, len) & (o.table_capacity - 1);
    for (; o.table[at] != 0; at = (at + 1) & (o.table_capacity - 1)) {
        const seen_record* r = record_at(o.table[at]);
        if (r->source == source && r->len == len && memcmp(r->name, name, len) == 0) {
            return;
        }
    }
    auto* r = static_cast<seen_record*>(take_low(sizeof(seen_record) + len + 1));
    if (r == nullptr) {
        return;
    }
    r->source = source;
    r->len = static_cast<uint32_t>(len);
    memcpy(r->name, name, len);
    r->name[len] = '\0';
    o.table[at] = static_cast<uint32_t>(reinterpret_cast<char*>(r) - o.arena);
    ++o.table_count;
}

// --- At the end -------------------------------------------------------------------

// The header a precompiled one stands for: "a.h.gch", "a.h.pch" and
// "a.h.gch/variant" name "a.h" when that file is there.
void name_precompiled(ziv_trace_file* node)
{
    char* name = node->name;
    size_t len = strlen(name);
    char* cut = nullptr;
    if (len > 4 && (strcmp(name + len - 4, ".gch") == 0 || strcmp(name + len - 4, ".pch") == 0)) {
        cut = name + len - 4;
    } else if (char* dir = strstr(name, ".gch/"); dir != nullptr) {
        cut = dir;
    }
    if (cut == nullptr || cut == name) {
        return;
    }
    char saved = *cut;
    *cut = '\0';
    if (access(name, F_OK) != 0) {
        *cut = saved;
    } else {
        node->type = ZIV_FILE_PCH;
    }
}

// The headers of one source, in the order first opened.
ziv_trace_file* headers_of(int source)
{
    const observer_state& o = *g_observer;
    ziv_trace_file* list = nullptr;
    ziv_trace_file** tail = &list;
    for (size_t at = o.records_start; at < o.low;) {
        const seen_record* r = record_at(static_cast<uint32_t>(at));
        at += align8(sizeof(seen_record) + r->len + 1);
        if (r->source != source) {
            continue;
        }
        ziv_trace_file* node = ziv_copy_trace_file(r->name);
        if (node == nullptr) {
            break;
        }
        name_precompiled(node);
        *tail = node;
        tail = &node->next;
    }
    return list;
}

struct source_heads {
    const char* source;
    char digest[ZIV_SHA256_BUF_SIZE];
    ziv_trace_file* headers;
};

void digest_node(ziv_trace_file* node)
{
    if (node->sha256[0] == '\0' && ziv_get_sha256sum(node->name, node->sha256, sizeof node->sha256) != 0) {
        node->sha256[0] = '\0';
    }
}

// A precompiled header stands for the headers it was made from, which gcc
// then does not open: the source gets the headers the header got when it
// was compiled under this build's tracing.
void add_precompiled_headers(source_heads& s, int pwd_id)
{
    ziv_trace_file* last = s.headers;
    while (last != nullptr && last->next != nullptr) {
        last = last->next;
    }
    for (ziv_trace_file* node = s.headers; node != nullptr; node = node == last ? nullptr : node->next) {
        if (node->type != ZIV_FILE_PCH) {
            continue;
        }
        digest_node(node);
        int made_from = node->sha256[0] != '\0'
                            ? ziv_get_obj_id_by_checksum(node->name, node->sha256, pwd_id, "source_file_table")
                            : 0;
        if (made_from > 0) {
            ziv_append_head_names_of(made_from, pwd_id, &s.headers);
        }
    }
}

struct file_key {
    dev_t dev;
    ino_t ino;
    int index;  // -1: the source
};

int by_file_then_index(const void* a, const void* b)
{
    const auto* x = static_cast<const file_key*>(a);
    const auto* y = static_cast<const file_key*>(b);
    if (x->dev != y->dev) {
        return x->dev < y->dev ? -1 : 1;
    }
    if (x->ino != y->ino) {
        return x->ino < y->ino ? -1 : 1;
    }
    return x->index < y->index ? -1 : (x->index > y->index ? 1 : 0);
}

// One name per file: a header opened under several names (through a
// symlink and its target, relative and absolute, the names a precompiled
// header keeps) keeps the first, and the source is never its own header.
void drop_same_files(source_heads& s)
{
    int count = 0;
    for (const ziv_trace_file* node = s.headers; node != nullptr; node = node->next) {
        ++count;
    }
    auto real_stat = ziv_lazy(g_pf_org_stat, "stat");
    auto* keys = static_cast<file_key*>(ziv_malloc_and_init(static_cast<int>(sizeof(file_key) * (count + 1))));
    auto* drop = static_cast<bool*>(ziv_malloc_and_init(count + 1));
    if (real_stat != nullptr && keys != nullptr && drop != nullptr) {
        int n = 0;
        struct stat st {};
        if (real_stat(s.source, &st) == 0) {
            keys[n++] = {st.st_dev, st.st_ino, -1};
        }
        int index = 0;
        for (const ziv_trace_file* node = s.headers; node != nullptr; node = node->next, ++index) {
            if (real_stat(node->name, &st) == 0) {
                keys[n++] = {st.st_dev, st.st_ino, index};
            }
        }
        qsort(keys, static_cast<size_t>(n), sizeof(file_key), by_file_then_index);
        for (int i = 1; i < n; ++i) {
            if (keys[i].dev == keys[i - 1].dev && keys[i].ino == keys[i - 1].ino) {
                drop[keys[i].index] = true;
            }
        }
        ziv_trace_file** link = &s.headers;
        index = 0;
        while (*link != nullptr) {
            ziv_trace_file* node = *link;
            if (drop[index++]) {
                *link = node->next;
                node->next = nullptr;
                ziv_free_trace_file(node);
            } else {
                link = &node->next;
            }
        }
    }
    free(keys);
    free(drop);
}

// Everything read before the transaction, so that the write lock every
// process of the build waits for is held for the statements only. System
// headers the database already knows are identified by name later,
// undigested.
bool prepare(source_heads& s, int pwd_id)
{
    if (ziv_get_sha256sum(s.source, s.digest, sizeof s.digest) != 0 || s.digest[0] == '\0') {
        return false;
    }
    add_precompiled_headers(s, pwd_id);
    drop_same_files(s);
    for (ziv_trace_file* node = s.headers; node != nullptr; node = node->next) {
        if (strncmp(node->name, "/usr/", 5) != 0) {
            digest_node(node);
        }
    }
    return s.headers != nullptr;
}

void write_all(const ziv_trace_cmd* row)
{
    observer_state& o = *g_observer;
    auto* all = static_cast<source_heads*>(
        ziv_malloc_and_init(static_cast<int>(sizeof(source_heads) * static_cast<size_t>(o.source_count))));
    if (all == nullptr) {
        return;
    }
    int pwd_id = row != nullptr && row->pwd_id > 0 ? row->pwd_id : ziv_db_get_pwd_id();
    bool ready[kMaxSources] = {};
    int count = 0;
    for (int i = 0; i < o.source_count; ++i) {
        all[i].source = o.sources[i].text;
        all[i].headers = headers_of(i);
        ready[i] = all[i].headers != nullptr && prepare(all[i], pwd_id);
        count += ready[i] ? 1 : 0;
    }
    if (count > 0) {
        ziv_db_group group(true, ziv_db_group::lock::write);
        for (int i = 0; i < o.source_count; ++i) {
            if (ready[i]) {
                ziv_record_source_heads(pwd_id, all[i].source, all[i].digest, all[i].headers, false);
            }
        }
    }
    for (int i = 0; i < o.source_count; ++i) {
        ziv_free_trace_file(all[i].headers);
    }
    free(all);
}

}  // namespace

ziv_open_hdeps ziv_open_hdeps_mode()
{
    const char* value = ziv_getenv("ZIV_TRACE_HDEPS");
    if (value == nullptr) {
        return ziv_open_hdeps::off;
    }
    if (strcmp(value, "open") == 0) {
        return ziv_open_hdeps::user;
    }
    return strcmp(value, "open-all") == 0 ? ziv_open_hdeps::all : ziv_open_hdeps::off;
}

void ziv_hdeps_open_begin(int argc, char** argv, bool md_takes_file)
{
    ziv_errno_guard keep;
    ziv_open_hdeps mode = ziv_open_hdeps_mode();
    if (g_observer != nullptr || argv == nullptr || argc < 2 || mode == ziv_open_hdeps::off) {
        return;
    }
    void* arena = mmap(nullptr, kArenaSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (arena == MAP_FAILED) {
        return;
    }
    // The state lies at the start of the zeroed memory; the seen-set's empty
    // slots are offset 0, which no record has.
    g_observer = static_cast<observer_state*>(arena);
    observer_state& o = *g_observer;
    o.arena = static_cast<char*>(arena);
    o.low = align8(sizeof(observer_state));
    o.high = kArenaSize;
    o.keep_system = mode == ziv_open_hdeps::all;
    o.current = -1;
    add_dir("/usr", true);
    read_installation(argv[0]);
    read_command_line(argc, argv, md_takes_file);
    o.records_start = o.low;
    if (o.source_count == 0 || !grow_table()) {
        g_observer = nullptr;
        munmap(arena, kArenaSize);
    }
}

ziv_main_fn ziv_hdeps_open_watch(ziv_main_fn main)
{
    if (g_observer == nullptr || g_observer->active || main == nullptr) {
        return main;
    }
    g_observer->active = true;
    g_observer->program_main = main;
    ziv_open_observe(true);
    // A compile that fails records nothing, as no dependency file would be
    // written for it. Registered from main, the exit handler runs before the
    // library's end work, which the loader's own handler, registered before
    // main, leads to.
    return [](int argc, char** argv, char** envp) {
        on_exit([](int status, void*) { g_observer->exit_status = status; }, nullptr);
        return g_observer->program_main(argc, argv, envp);
    };
}

void ziv_hdeps_open_seen(int dirfd, const char* path, int flags)
{
    // A name relative to another directory cannot be told without a
    // system call; compilers open headers by name.
    if (g_observer == nullptr || path == nullptr || (dirfd != AT_FDCWD && path[0] != '/') ||
        (flags & O_ACCMODE) != O_RDONLY || (flags & (O_DIRECTORY | O_PATH)) != 0) {
        return;
    }
    ziv_errno_guard keep;
    path = skip_dot_slash(path);
    size_t len = strnlen(path, kMaxName);
    if (len == 0 || len >= kMaxName) {
        return;
    }
    // Taken only here and at the end, and never by a call that came back
    // into the library (ziv_open.cpp): a signal handler's opens are not
    // seen.
    ziv_lock_hold lock(g_ziv_hdeps_open_mutex);
    observer_state& o = *g_observer;
    if (!o.active) {
        return;
    }
    int source = source_index(path, len);
    if (source >= 0) {
        o.current = source;
        return;
    }
    if (o.current < 0 || starts_with(path, "/proc/") || starts_with(path, "/sys/") || starts_with(path, "/dev/") ||
        is_output(path, len) || is_own(path, len) || (!o.keep_system && is_system(path, len))) {
        return;
    }
    remember(o.current, path, len);
}

void ziv_hdeps_open_finish(const ziv_trace_cmd* row)
{
    if (g_observer == nullptr) {
        return;
    }
    ziv_errno_guard keep;
    ziv_open_observe(false);
    observer_state& o = *g_observer;
    {
        // An open still being noted on another thread ends first. The end
        // work never runs inside this thread's own noting: it is skipped
        // when it comes back into the library.
        ziv_lock_hold lock(g_ziv_hdeps_open_mutex);
        o.active = false;
    }
    if (o.full) {
        ziv_log(LOG_INFO, "%s: more files opened than header tracing keeps, the rest is not recorded\n",
                ziv_prog_name_for_log());
    }
    if (o.exit_status == 0 && (row == nullptr || row->excluded == 0)) {
        write_all(row);
    }
    // Not unmapped: an exit handler of this library may still run after
    // the end work, when a program's own exit runs it last.
}
