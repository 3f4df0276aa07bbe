// Linkers (ld and its kin), archivers (ar, armar) and ranlib.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ziv_bounded.h"
#include "ziv_cmdline.h"
#include "ziv_config.h"
#include "ziv_file_util.h"
#include "ziv_log.h"
#include "ziv_parser_kit.h"
#include "ziv_parsers.h"
#include "ziv_sysio.h"
#include "ziv_trace_entry.h"

extern "C" {
ZIV_EXPORT ziv_trace_file* g_ziv_ld_path = nullptr;
ZIV_EXPORT ziv_trace_file* g_ziv_ld_lib = nullptr;
ZIV_EXPORT ziv_trace_file* g_ziv_ld_input = nullptr;
}

namespace {

// Linker options whose next argument is a value, not a file.
constexpr const char* kLdValueOptions[] = {
    "-o", "-O", "-a", "-A", "-b", "-c", "-e", "-f", "-F", "-G", "-h", "-I", "-l", "-L", "-m",
    "-R", "-T", "-dT", "-u", "-y", "-Y", "-z", "-assert", "-plugin", "--depaudit", "--exclude-libs",
    "--exclude-modules-for-implib", "--exclude-symbols", "--heap", "--image-base", "--major-image-version",
    "--major-os-version", "--major-subsystem-version", "--minor-image-version", "--minor-os-version",
    "--minor-subsystem-version", "--output-def", "--dll-search-prefix", "--stack", "--subsystem",
    "--dsbt-size", "--dsbt-index", "--bank-window", "-dynamic-linker",
};
static_assert(sizeof kLdValueOptions / sizeof kLdValueOptions[0] == 44);

// A linker script bigger than this is no script anyone writes by hand or
// generates for a library; it is left out rather than read into memory.
constexpr size_t kMaxScriptSize = 4UL * 1024 * 1024;

bool starts_with(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

// Names in linker scripts and on the line that stand for the sysroot.
bool names_sysroot(const char* name) { return name[0] == '=' || starts_with(name, "$SYSROOT"); }

void free_list(ziv_trace_file** list)
{
    ziv_free_trace_file(*list);
    *list = nullptr;
}

// A library requested by name: once per name, however often it is asked for.
void request_library(const char* name)
{
    if (name == nullptr || name[0] == '\0' || trace_file_exist(g_ziv_ld_lib, name) != 0) {
        return;
    }
    if (ziv_append_trace_file(&g_ziv_ld_lib, name) < 0) {
        return;
    }
    ziv_append_trace_lib(&g_ziv_ld_input, name);
}


// The whole text of a linker script, or null (unreadable, not a regular
// file, empty, too big).
char* read_script(const char* path)
{
    size_t size = 0;
    return ziv_read_bounded_file(path, kMaxScriptSize, &size);
}

// Tokens of a linker script: "(", ")", names (a double-quoted name may hold
// any character but the quote); comments, blanks, "," and ";" separate.
class script_tokens {
public:
    explicit script_tokens(char* text) : at_(text) {}

    // The next token, terminated in place, or null at the end.
    const char* next()
    {
        for (;;) {
            while (*at_ != '\0' && (strchr(" \t\r\n\f\v,;", *at_) != nullptr)) {
                ++at_;
            }
            if (at_[0] == '/' && at_[1] == '*') {
                char* end = strstr(at_ + 2, "*/");
                if (end == nullptr) {
                    return nullptr;
                }
                at_ = end + 2;
                continue;
            }
            break;
        }
        if (*at_ == '\0') {
            return nullptr;
        }
        if (*at_ == '(' || *at_ == ')') {
            paren_[0] = *at_++;
            return paren_;
        }
        if (*at_ == '"') {
            char* start = ++at_;
            char* end = strchr(start, '"');
            if (end == nullptr) {
                return nullptr;  // an unclosed quote ends the script
            }
            *end = '\0';
            at_ = end + 1;
            return start;
        }
        char* start = at_;
        while (*at_ != '\0' && strchr(" \t\r\n\f\v,;()\"", *at_) == nullptr && !(at_[0] == '/' && at_[1] == '*')) {
            ++at_;
        }
        // Copied out: the delimiter stays in place for the next call.
        size_t length = static_cast<size_t>(at_ - start);
        if (length + 1 > sizeof word_) {
            // A name longer than a path: skipped, the walk goes on.
            word_[0] = '\0';
            return word_;
        }
        memcpy(word_, start, length);
        word_[length] = '\0';
        return word_;
    }

private:
    char* at_;
    char paren_[2] = {};
    char word_[ZIV_PATH_SIZE] = {};
};

enum class script_kind { input, group, search_dir };

// One name of an INPUT, GROUP or SEARCH_DIR list.
void script_name(script_kind kind, const char* name)
{
    if (name[0] == '\0' || strcmp(name, "AS_NEEDED") == 0) {
        return;
    }
    if (kind == script_kind::search_dir) {
        ziv_append_trace_path(&g_ziv_ld_path, name);
        return;
    }
    if (name[0] == '-' && name[1] == 'l' && name[2] != '\0') {
        request_library(name + 2);
        return;
    }
    if (ziv_check_input_valid(name) == 1) {
        ziv_append_trace_file(&g_ziv_ld_input, name);
        return;
    }
    if (name[0] == '/') {
        return;
    }
    // Not here: a plain file name searched along the library path.
    size_t length = strlen(name);
    ziv_block<char> plain{static_cast<char*>(ziv_malloc_and_init(static_cast<int>(length) + 2))};
    if (plain.block == nullptr) {
        return;
    }
    plain.block[0] = ':';
    memcpy(plain.block + 1, name, length + 1);
    request_library(plain.block);
}

bool resolve_one(ziv_trace_file* node)
{
    char* found = nullptr;
    for (const ziv_trace_file* dir = g_ziv_ld_path; dir != nullptr && found == nullptr; dir = dir->next) {
        found = ziv_get_single_lib(dir, node->name);
    }
    if (found == nullptr) {
        return false;
    }
    // The same file named directly on the line is already an input.
    if (trace_file_exist(g_ziv_ld_input, found) != 0) {
        free(found);
        return false;
    }
    // libc.so and friends: a text file standing for a group of libraries.
    if (ziv_get_file_type(found) == ZIV_CONTENT_TEXT) {
        ziv_parse_script_file(found);
    }
    free(node->name);
    node->name = found;
    return true;
}

// Library references become the files they name, in the order of the
// search directories; references added by scripts met on the way included.
void resolve_libraries()
{
    ziv_trace_file** link = &g_ziv_ld_input;
    while (*link != nullptr) {
        ziv_trace_file* node = *link;
        if (node->type != ZIV_FILE_LINK_LIBRARY || resolve_one(node)) {
            link = &node->next;
            continue;
        }
        *link = node->next;
        node->next = nullptr;
        ziv_free_trace_file(node);
    }
}

// ar's command line as ar itself reads it: the key (operation and
// modifiers, with or without "-", possibly after options such as --plugin),
// then the member name the a, b and i modifiers position by, the count of
// the N modifier, the archive (any name at all) and the members.
constexpr const char* kArValues[] = {"-l", "--plugin", "--target", "--output", "--record-libdeps"};

class ar_line {
public:
    char operation = 0;
    const char* archive = nullptr;

    ar_line() = default;
    ~ar_line() { free(members_); }
    ar_line(const ar_line&) = delete;
    ar_line& operator=(const ar_line&) = delete;

    // False for a line that writes nothing a trace can name (listing,
    // printing, an MRI script from standard input) or no memory.
    bool read(int argc, char** argv)
    {
        if (argc < 2 || argv[1] == nullptr) {
            return false;
        }
        members_ = static_cast<const char**>(ziv_malloc_and_init(static_cast<int>(sizeof(char*)) * argc));
        if (members_ == nullptr) {
            return false;
        }
        int first = 1;
        if (argv[1][0] != '-') {
            // An old-style key: each "l" in it takes the next argument.
            first = 2 + key(argv[1]);
        }
        ziv_opt_scanner scan(argc, argv, ziv_grammar(kArValues), first);
        int skip = 0;  // values of "l" in a key met among the operands
        for (ziv_opt_item item; scan.next(&item);) {
            if (item.kind == ziv_opt_item::option) {
                if (ziv_opt_is(item, "--output")) {
                    out_dir_ = item.value;
                } else if (item.letter != 0 && item.letter != 'l') {
                    char letters[2] = {item.letter, '\0'};
                    key(letters);
                }
            } else if (skip > 0) {
                --skip;
            } else if (operation == 0 && !armap_ && !mri_) {
                // Options came first ("ar --plugin p rcs ..."): this is the key.
                skip = key(item.text);
            } else {
                operand(item.text);
            }
        }
        return !mri_ && archive != nullptr &&
               (operation == 'r' || operation == 'q' || operation == 'd' || operation == 'm' ||
                (operation == 'x' && count_ > 0) || (operation == 0 && armap_));
    }

    void record(ziv_trace_cmd* row) const
    {
        if (ziv_init_trace_info(nullptr, row) != 0) {
            return;
        }
        ziv_trace_info* info = row->info;
        if (operation == 'x') {
            // Without member names every member would be extracted, under
            // names only the archive knows: such lines are not read here.
            for (int i = 0; i < count_; ++i) {
                ziv_block<char> joined{out_dir_ != nullptr ? ziv_join_path(out_dir_, members_[i]) : nullptr};
                ziv_append_trace_file(&info->outputs, joined.block != nullptr ? joined.block : members_[i]);
            }
            ziv_append_trace_file(&info->inputs, archive);
            return;
        }
        if (operation == 'r' || operation == 'q') {
            // Any existing file can be a member (objects, archives of a thin
            // archive, data); last to first.
            for (int i = count_ - 1; i >= 0; --i) {
                if (ziv_is_regular_input(members_[i])) {
                    ziv_append_trace_file(&info->inputs, members_[i]);
                }
            }
        }
        ziv_append_trace_file(&info->outputs, archive);
        // Updating an existing archive: the old one is read too.
        if (access(archive, R_OK) == 0) {
            ziv_append_trace_file(&info->inputs, archive);
            info->flags |= ZIV_TRACE_IN_PLACE;
        }
    }

private:
    // Applies the letters of a key; the number of "l" among them.
    int key(const char* letters)
    {
        int values = 0;
        for (const char* c = letters; *c != '\0'; ++c) {
            if (strchr("dmpqrtx", *c) != nullptr) {
                operation = *c;
            } else if (*c == 's') {
                armap_ = true;
            } else if (*c == 'a' || *c == 'b' || *c == 'i') {
                positioned_ = true;
            } else if (*c == 'N') {
                counted_ = true;
            } else if (*c == 'M') {
                mri_ = true;
            } else if (*c == 'l') {
                ++values;
            }
        }
        return values;
    }

    // [member to position by] [count] archive members...
    void operand(const char* text)
    {
        if (positioned_ && !relpos_seen_) {
            relpos_seen_ = true;
        } else if (counted_ && !count_seen_) {
            count_seen_ = true;
        } else if (archive == nullptr) {
            archive = text;
        } else {
            members_[count_++] = text;
        }
    }

    const char** members_ = nullptr;  // at most argc of them
    int count_ = 0;
    const char* out_dir_ = nullptr;
    bool armap_ = false;
    bool positioned_ = false;
    bool counted_ = false;
    bool mri_ = false;
    bool relpos_seen_ = false;
    bool count_seen_ = false;
};

int ranlib_takes_value(const char* arg) { return arg != nullptr && strcmp(arg, "--plugin") == 0 ? 1 : 0; }

}  // namespace

extern "C" {

ZIV_EXPORT int ziv_append_trace_path(ziv_trace_file** list, const char* directory)
{
    if (list == nullptr || directory == nullptr) {
        return -1;
    }
    if (names_sysroot(directory)) {
        return 0;
    }
    if (access(directory, R_OK) != 0) {
        return -1;
    }
    return ziv_append_trace_file(list, directory) < 0 ? 1 : 0;
}

ZIV_EXPORT int ziv_append_trace_lib(ziv_trace_file** list, const char* name)
{
    if (list == nullptr || name == nullptr) {
        return -1;
    }
    if (names_sysroot(name)) {
        return 0;
    }
    ziv_trace_file* node = ziv_copy_trace_file(name);
    if (node == nullptr) {
        return -1;
    }
    node->type = ZIV_FILE_LINK_LIBRARY;
    ziv_trace_file** tail = list;
    while (*tail != nullptr) {
        tail = &(*tail)->next;
    }
    *tail = node;
    return 0;
}

ZIV_EXPORT char* ziv_get_single_lib(const ziv_trace_file* dir, const char* name)
{
    if (dir == nullptr || dir->name == nullptr || name == nullptr || name[0] == '\0') {
        return nullptr;
    }
    char candidate[ZIV_PATH_SIZE];
    if (name[0] == ':') {
        if (sprintf_s(candidate, sizeof candidate, "%s/%s", dir->name, name + 1) < 0) {
            return nullptr;
        }
        return access(candidate, R_OK) == 0 ? ziv_copy_string(candidate) : nullptr;
    }
    // A shared library before an archive, within one directory.
    for (const char* format : {"%s/lib%s.so", "%s/lib%s.a"}) {
        if (sprintf_s(candidate, sizeof candidate, format, dir->name, name) < 0) {
            return nullptr;
        }
        if (access(candidate, R_OK) == 0) {
            return ziv_copy_string(candidate);
        }
    }
    return nullptr;
}

ZIV_EXPORT void ziv_parse_script_file(const char* path)
{
    if (path == nullptr) {
        return;
    }
    ziv_block<char> text{read_script(path)};
    if (text.block == nullptr) {
        return;
    }
    script_tokens tokens(text.block);
    int depth = 0;
    for (const char* token = tokens.next(); token != nullptr; token = tokens.next()) {
        if (strcmp(token, "(") == 0) {
            ++depth;
            continue;
        }
        if (strcmp(token, ")") == 0) {
            depth -= depth > 0 ? 1 : 0;
            continue;
        }
        if (depth != 0) {
            continue;  // arguments of statements that name no file
        }
        script_kind kind;
        if (strcmp(token, "INPUT") == 0) {
            kind = script_kind::input;
        } else if (strcmp(token, "GROUP") == 0) {
            kind = script_kind::group;
        } else if (strcmp(token, "SEARCH_DIR") == 0) {
            kind = script_kind::search_dir;
        } else {
            continue;
        }
        token = tokens.next();
        if (token == nullptr || strcmp(token, "(") != 0) {
            if (token == nullptr) {
                break;
            }
            continue;
        }
        // The list, AS_NEEDED ( ... ) inside it included, up to its own ")".
        int inner = 1;
        while (inner > 0 && (token = tokens.next()) != nullptr) {
            if (strcmp(token, "(") == 0) {
                ++inner;
            } else if (strcmp(token, ")") == 0) {
                --inner;
            } else {
                script_name(kind, token);
            }
        }
        if (token == nullptr) {
            break;
        }
    }
}

ZIV_EXPORT void ziv_get_ld_input_file(int argc, char** argv)
{
    if (argv == nullptr) {
        return;
    }
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        const char* arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (strcmp(arg, "-MD") == 0 && value != nullptr && ziv_input_file_type(value) == ZIV_FILE_DEPENDENCY) {
            ++i;
            continue;
        }
        if (strcmp(arg, "-T") == 0 || strcmp(arg, "-L") == 0 || strcmp(arg, "-l") == 0) {
            if (value != nullptr) {
                if (arg[1] == 'T') {
                    ziv_parse_script_file(value);
                } else if (arg[1] == 'L') {
                    ziv_append_trace_path(&g_ziv_ld_path, value);
                } else {
                    request_library(value);
                }
            }
            ++i;
            continue;
        }
        if (starts_with(arg, "--script=")) {
            ziv_parse_script_file(arg + 9);
            continue;
        }
        if (arg[0] == '-' && arg[1] == 'L' && arg[2] != '\0') {
            ziv_append_trace_path(&g_ziv_ld_path, arg + 2);
            continue;
        }
        if (starts_with(arg, "--library-path=")) {
            ziv_append_trace_path(&g_ziv_ld_path, arg + 15);
            continue;
        }
        if (arg[0] == '-' && arg[1] == 'l' && arg[2] != '\0') {
            request_library(arg + 2);
            continue;
        }
        if (starts_with(arg, "--library=")) {
            request_library(arg + 10);
            continue;
        }
        if (ziv_match_namelist(static_cast<int>(sizeof kLdValueOptions / sizeof kLdValueOptions[0]),
                               kLdValueOptions, arg) == 1) {
            ++i;
            continue;
        }
        // A driver's temporary objects live under /tmp/ and are gone after.
        if (strchr(arg, '.') == nullptr || starts_with(arg, "/tmp/") || ziv_check_input_valid(arg) != 1) {
            continue;
        }
        if (ziv_append_trace_file(&g_ziv_ld_input, arg) < 0) {
            break;
        }
    }
}

ZIV_EXPORT int ziv_parse_ld_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    ziv_errno_guard keep_errno;
    if (argv == nullptr || row == nullptr) {
        return 0;
    }
    ziv_scanned_argv line(argc, argv, row);
    char** args = line.argv();
    const char* out = nullptr;
    for (int i = 1; i < line.count() && args[i] != nullptr; ++i) {
        if (strcmp(args[i], "-o") == 0) {
            if (i + 1 < line.count()) {
                out = args[i + 1];
            }
            ++i;
        } else if (starts_with(args[i], "--output=")) {
            out = args[i] + 9;
        }
    }
    if (ziv_gcc_output_name_valid(out) == 1) {
        if (ziv_init_trace_info(out, row) != 0) {
            free_list(&g_ziv_ld_input);
        } else {
            ziv_get_ld_input_file(line.count(), args);
            resolve_libraries();
            // The inputs now belong to the trace info.
            ziv_trace_file** tail = &row->info->inputs;
            while (*tail != nullptr) {
                tail = &(*tail)->next;
            }
            *tail = g_ziv_ld_input;
            g_ziv_ld_input = nullptr;
        }
    }
    free_list(&g_ziv_ld_path);
    free_list(&g_ziv_ld_lib);
    free_list(&g_ziv_ld_input);
    return 0;
}

ZIV_EXPORT int ziv_parse_ar_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    ziv_errno_guard keep_errno;
    if (argv == nullptr || row == nullptr) {
        return 0;
    }
    ziv_scanned_argv line(argc, argv, row);
    ar_line ar;
    if (!ar.read(line.count(), line.argv()) || ar.archive == nullptr) {
        return 0;
    }
    ar.record(row);
    return 0;
}

ZIV_EXPORT int ziv_parse_armar_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    return ziv_parse_ar_cmd(argc, argv, row);
}

ZIV_EXPORT int ziv_parse_ranlib_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    ziv_errno_guard keep_errno;
    ziv_cmdline_desc desc{1, nullptr, nullptr, ranlib_takes_value, nullptr, row};
    ziv_parse_cmdline(argc, argv, &desc);
    return 0;
}

}  // extern "C"
