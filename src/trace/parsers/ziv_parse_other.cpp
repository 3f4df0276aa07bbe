// Copies (cp, mv, ln, install), nasm, the perl-driven packaging steps and
// the kernel's build helpers.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ziv_bounded.h"
#include "ziv_cmdline.h"
#include "ziv_file_util.h"
#include "ziv_parser_kit.h"
#include "ziv_parsers_other.h"
#include "ziv_sysio.h"

namespace {

// --- Copies ------------------------------------------------------------------

constexpr const char* kInstallValues[] = {"-g", "-m", "-o", "-S", "-t", "--group", "--mode", "--owner", "--suffix",
                                          "--target-directory", "--strip-program"};
constexpr const char* kCpValues[] = {"-S", "-t", "--suffix", "--target-directory", "--sparse", "--no-preserve"};
constexpr const char* kMoveValues[] = {"-S", "-t", "--suffix", "--target-directory"};

enum class file_kind { directory, regular, missing, other };

file_kind kind_of(const char* name)
{
    struct stat st;
    if (stat(name, &st) != 0) {
        return errno == ENOENT ? file_kind::missing : file_kind::other;
    }
    return S_ISDIR(st.st_mode) ? file_kind::directory : S_ISREG(st.st_mode) ? file_kind::regular : file_kind::other;
}

// Whether the destination is the source already (a copy onto itself
// copies nothing); a link at the destination is a file of its own, which
// ln -sf replaces.
bool same_file(const char* source, const char* dest)
{
    struct stat s, d;
    return stat(source, &s) == 0 && lstat(dest, &d) == 0 && s.st_dev == d.st_dev && s.st_ino == d.st_ino;
}

// Programs (no suffix), libraries (".so", ".a", versioned ".so.N") and
// objects: what a build makes; other copies are data being installed.
bool names_build_product(const char* name)
{
    const char* base = ziv_base_name(name);
    const char* dot = strrchr(base, '.');
    return dot == nullptr || strcmp(dot, ".so") == 0 || strcmp(dot, ".a") == 0 || strcmp(dot, ".o") == 0 ||
           strstr(base, ".so.") != nullptr;
}

struct copy_line {
    const char* source = nullptr;  // the first operand
    const char* dest = nullptr;
    int sources = 0;
    bool strip = false;
    bool symbolic = false;  // ln -s: a relative source is relative to the link
    bool traced = false;    // a source and a destination, no backup suffix
};

ziv_opt_grammar copy_grammar(const char* tool)
{
    return strcmp(tool, "install") == 0 ? ziv_grammar(kInstallValues)
           : strcmp(tool, "cp") == 0    ? ziv_grammar(kCpValues)
                                        : ziv_grammar(kMoveValues);
}

copy_line read_copy_line(int argc, char** argv, const char* tool)
{
    bool install = strcmp(tool, "install") == 0;
    bool ln = strcmp(tool, "ln") == 0;
    copy_line line;
    const char* target_dir = nullptr;
    const char* last = nullptr;
    int operands = 0;
    bool suffix = false;
    bool relative = false;
    ziv_opt_scanner scan(argc, argv, copy_grammar(tool));
    for (ziv_opt_item item; scan.next(&item);) {
        if (item.kind == ziv_opt_item::operand) {
            line.source = operands == 0 ? item.text : line.source;
            last = item.text;
            ++operands;
        } else if (ziv_opt_is(item, "-S") || ziv_opt_is(item, "--suffix")) {
            suffix = true;
        } else if (ziv_opt_is(item, "-t") || ziv_opt_is(item, "--target-directory")) {
            target_dir = item.value;
        } else if (ziv_opt_is(item, "--strip") || (install && ziv_opt_is(item, "-s"))) {
            line.strip = true;
        } else if (ln && (ziv_opt_is(item, "-s") || ziv_opt_is(item, "--symbolic"))) {
            line.symbolic = true;
        } else if (ln && (ziv_opt_is(item, "-r") || ziv_opt_is(item, "--relative"))) {
            relative = true;
        }
    }
    // With a target directory every operand is a source.
    line.dest = target_dir != nullptr ? target_dir : operands >= 2 ? last : nullptr;
    line.sources = target_dir != nullptr ? operands : operands - 1;
    line.traced = !suffix && line.source != nullptr && line.dest != nullptr && line.sources >= 1;
    line.symbolic = line.symbolic && !relative;
    return line;
}

// What a symbolic link will point at, as a name from here: a relative
// target is relative to the link's own directory. Null: the name as given.
char* link_target_from_here(const copy_line& line)
{
    if (!line.symbolic || line.source[0] == '/') {
        return nullptr;
    }
    const char* slash = strrchr(line.dest, '/');
    if (slash == nullptr) {
        return nullptr;
    }
    size_t dir_len = static_cast<size_t>(slash - line.dest) + 1;
    if (dir_len >= INT_MAX) {
        return nullptr;
    }
    ziv_block<char> dir{static_cast<char*>(ziv_malloc_and_init(static_cast<int>(dir_len) + 1))};
    if (dir.block == nullptr) {
        return nullptr;
    }
    memcpy(dir.block, line.dest, dir_len);
    return ziv_join_path(dir.block, line.source);
}

// A stripped copy differs from its source whatever its name; a plain copy
// is followed for what a build makes, also when it keeps its name (an
// install into a staging tree), so that installed and packaged files lead
// back to the objects they were linked from.
bool is_copied_product(const char* source, const copy_line& line)
{
    return kind_of(source) == file_kind::regular && (line.strip || names_build_product(source));
}

void copy_each_into(int argc, char** argv, const char* tool, const copy_line& line, ziv_trace_cmd* row)
{
    ziv_opt_scanner scan(argc, argv, copy_grammar(tool));
    int seen = 0;
    for (ziv_opt_item item; scan.next(&item) && seen < line.sources;) {
        if (item.kind != ziv_opt_item::operand) {
            continue;
        }
        ++seen;
        if (!is_copied_product(item.text, line)) {
            continue;
        }
        ziv_block<char> out{ziv_join_path(line.dest, ziv_base_name(item.text))};
        if (out.block == nullptr || same_file(item.text, out.block) ||
            (row->info == nullptr && ziv_init_trace_info(nullptr, row) != 0)) {
            continue;
        }
        ziv_append_trace_paired_file(item.text, out.block, &row->info->paired);
    }
}

// --- nasm --------------------------------------------------------------------

constexpr const char* kNasmValues[] = {"-@", "-o", "-O", "-D", "-d", "-f", "-F", "-i", "-I", "-l", "-MG",
                                      "-MF", "-MD", "-MT", "-MQ", "-P", "-p", "-U", "-u", "-X", "-Z"};
static_assert(sizeof kNasmValues / sizeof kNasmValues[0] == 21);

int nasm_is_output(const char* arg) { return strcmp(arg, "-o") == 0 ? 1 : 0; }

// nasm also takes "-ofile".
const char* nasm_glued_output(const char* arg) { return arg[0] == '-' && arg[1] == 'o' && arg[2] != '\0' ? arg + 2 : nullptr; }

int nasm_is_source(const char* arg)
{
    return ziv_is_source_file(ziv_input_file_type(arg)) == 1 && ziv_check_input_valid(arg) == 1 ? 1 : 0;
}

// The suffix nasm gives its default output, by output format; null for a
// format nasm does not know (it then writes nothing).
const char* nasm_format_suffix(const char* format)
{
    static constexpr struct {
        const char* format;
        const char* suffix;
    } kFormats[] = {
        {"bin", ""},       {"ith", ".ith"},      {"srec", ".srec"},    {"aout", ".o"},  {"aoutb", ".o"},
        {"coff", ".o"},    {"elf32", ".o"},      {"elf64", ".o"},      {"elfx32", ".o"}, {"as86", ".o"},
        {"elf", ".o"},     {"ieee", ".o"},       {"macho32", ".o"},    {"macho64", ".o"}, {"macho", ".o"},
        {"obj", ".obj"},   {"win32", ".obj"},    {"win64", ".obj"},    {"win", ".obj"}, {"dbg", ".dbg"},
    };
    for (const auto& f : kFormats) {
        if (strcmp(f.format, format) == 0) {
            return f.suffix;
        }
    }
    return nullptr;
}

// The output nasm writes without -o: the source name cut at its last "."
// (even one in a directory name, as nasm does) with the format's suffix,
// or "nasm.out" when that would be the source itself.
char* nasm_default_output(const char* source, const char* suffix)
{
    const char* dot = strrchr(source, '.');
    size_t stem = dot != nullptr ? static_cast<size_t>(dot - source) : strlen(source);
    size_t size = stem + strlen(suffix) + 1;
    if (size >= INT_MAX) {
        return nullptr;
    }
    char* name = static_cast<char*>(ziv_malloc_and_init(static_cast<int>(size)));
    if (name == nullptr) {
        return nullptr;
    }
    memcpy(name, source, stem);
    memcpy(name + stem, suffix, strlen(suffix) + 1);
    if (strcmp(name, source) == 0) {
        free(name);
        return ziv_copy_string("nasm.out");
    }
    return name;
}

// --- dh_strip_nondeterminism -------------------------------------------------

constexpr int kDhMaxDepth = 64;
constexpr int kDhMaxEntries = 200000;

// What `file` calls an archive, a GNU message catalog or an EPUB document,
// from the first bytes.
bool normalised_content(const char* path)
{
    ziv_fd_closer file{open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY)};
    struct stat st;
    if (file.fd < 0 || fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    unsigned char head[512] = {};
    ssize_t got = ziv_sys_read_full(file.fd, head, sizeof head, 0);
    if (got < 4) {
        return false;
    }
    auto at = [&](size_t offset, const char* magic, size_t n) {
        return static_cast<size_t>(got) >= offset + n && memcmp(head + offset, magic, n) == 0;
    };
    return at(0, "!<arch>\n", 8)                                        // ar
           || at(0, "PK\x03\x04", 4) || at(0, "PK\x05\x06", 4)           // zip, jar, EPUB
           || at(257, "ustar", 5)                                       // tar
           || at(0, "\xde\x12\x04\x95", 4) || at(0, "\x95\x04\x12\xde", 4)  // gettext .mo
           || at(0, "070701", 6) || at(0, "070702", 6) || at(0, "070707", 6)  // cpio
           || at(0, "\xc7\x71", 2) || at(0, "\x71\xc7", 2)               // binary cpio
           || at(0, "7z\xbc\xaf\x27\x1c", 6) || at(0, "Rar!", 4);
}

struct dh_walk {
    ziv_trace_paired_file* found = nullptr;
    int entries = 0;

    void directory(const char* path, int depth)
    {
        if (depth > kDhMaxDepth) {
            return;
        }
        DIR* dir = opendir(path);
        if (dir == nullptr) {
            return;
        }
        for (struct dirent* e = readdir(dir); e != nullptr && entries < kDhMaxEntries; e = readdir(dir)) {
            if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) {
                continue;
            }
            ++entries;
            ziv_block<char> child{ziv_join_path(path, e->d_name)};
            struct stat st;
            if (child.block == nullptr || strlen(child.block) >= PATH_MAX || lstat(child.block, &st) != 0) {
                continue;
            }
            // Symbolic links are not followed, as find does not.
            if (S_ISDIR(st.st_mode)) {
                directory(child.block, depth + 1);
            } else if (S_ISREG(st.st_mode) && normalised_content(child.block)) {
                ziv_append_trace_paired_file(child.block, child.block, &found);
            }
        }
        closedir(dir);
    }
};

}  // namespace

extern "C" {

ZIV_EXPORT int ziv_prase_cp_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    ziv_errno_guard keep_errno;
    if (argv == nullptr || argc < 1 || argv[0] == nullptr || row == nullptr) {
        return 0;
    }
    const char* tool = row->name != nullptr ? row->name : ziv_base_name(argv[0]);
    copy_line line = read_copy_line(argc, argv, tool);
    if (!line.traced) {
        return 0;
    }
    bool into_dir = kind_of(line.dest) == file_kind::directory;
    if (line.sources > 1) {
        // Several sources into a directory (an install of a library's
        // versions at once): each copy is a pair of its own.
        if (into_dir && !line.symbolic) {
            copy_each_into(argc, argv, tool, line, row);
        }
        return 0;
    }
    ziv_block<char> resolved{link_target_from_here(line)};
    const char* source = resolved.block != nullptr ? resolved.block : line.source;
    if (!is_copied_product(source, line)) {
        return 0;
    }
    ziv_block<char> joined{nullptr};
    if (into_dir) {
        if (line.symbolic) {
            return 0;  // the link's text would name itself from there
        }
        joined.block = ziv_join_path(line.dest, ziv_base_name(line.source));
        if (joined.block == nullptr) {
            return 0;
        }
    }
    const char* out = joined.block != nullptr ? joined.block : line.dest;
    if (same_file(source, out) || ziv_init_trace_info(nullptr, row) != 0) {
        return 0;
    }
    ziv_append_trace_file(&row->info->inputs, source);
    ziv_append_trace_file(&row->info->outputs, out);
    return 0;
}

ZIV_EXPORT int ziv_nasm_ignore_param_value(const char* arg)
{
    return ziv_match_namelist(static_cast<int>(sizeof kNasmValues / sizeof kNasmValues[0]), kNasmValues, arg);
}

ZIV_EXPORT int ziv_parse_nasm_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    ziv_errno_guard keep_errno;
    if (argv == nullptr || row == nullptr) {
        return 0;
    }
    bool named_output = false;
    const char* format = "bin";  // nasm's default
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        const char* arg = argv[i];
        named_output = named_output || nasm_is_output(arg) == 1 || nasm_glued_output(arg) != nullptr;
        if (strcmp(arg, "-f") == 0 && i + 1 < argc && argv[i + 1] != nullptr) {
            format = argv[++i];
        } else if (strncmp(arg, "-f", 2) == 0 && arg[2] != '\0') {
            format = arg + 2;
        } else if (ziv_nasm_ignore_param_value(arg) == 1) {
            ++i;
        }
    }
    if (named_output) {
        ziv_cmdline_desc desc{0, nasm_is_output, nasm_glued_output, ziv_nasm_ignore_param_value, nasm_is_source, row};
        ziv_parse_cmdline(argc, argv, &desc);
        if (row->info != nullptr) {
            row->info->flags |= ZIV_TRACE_REUSE_TARGET;
        }
        return 0;
    }
    const char* suffix = nasm_format_suffix(format);
    if (suffix == nullptr) {
        return 0;
    }
    ziv_cmdline_desc desc{1, nullptr, nullptr, ziv_nasm_ignore_param_value, nasm_is_source, row};
    ziv_parse_cmdline(argc, argv, &desc);
    if (row->info == nullptr) {
        return 0;
    }
    for (ziv_trace_paired_file* pair = row->info->paired; pair != nullptr; pair = pair->next) {
        char* out = nasm_default_output(pair->in_name, suffix);
        if (out != nullptr) {
            free(pair->out_name);
            pair->out_name = out;
        }
    }
    // The object is a new file, not the source edited in place.
    row->info->flags &= ~ZIV_TRACE_IN_PLACE;
    return 0;
}

ZIV_EXPORT int ziv_parse_perl_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    if (argv == nullptr || argc < 2 || argv[1] == nullptr) {
        return 0;
    }
    if (strcmp(argv[1], "./scripts/sign-file") == 0) {
        return ziv_parse_sign_file_cmd(argc, argv, row);
    }
    if (argc == 3 && strcmp(argv[1], "-w") == 0 && argv[2] != nullptr &&
        strcmp(argv[2], "/usr/bin/dh_strip_nondeterminism") == 0) {
        return ziv_parse_dh_strip_cmd(argc, argv, row);
    }
    return 0;
}

ZIV_EXPORT int ziv_parse_sign_file_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    ziv_errno_guard keep_errno;
    if (argv == nullptr || ziv_init_trace_info(nullptr, row) != 0) {
        return 0;
    }
    const char* module = nullptr;
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        if (ziv_is_regular_input(argv[i])) {
            ziv_append_trace_file(&row->info->inputs, argv[i]);
            module = argv[i];
        }
    }
    // The signature is appended to the module, the last file of the line.
    if (module != nullptr) {
        ziv_append_trace_file(&row->info->outputs, module);
    }
    return 0;
}

ZIV_EXPORT ziv_trace_paired_file* ziv_get_cmd_for_dh_strip(const char* dir)
{
    ziv_errno_guard keep_errno;
    if (dir == nullptr) {
        return nullptr;
    }
    dh_walk walk;
    walk.directory(dir, 0);
    return walk.found;
}

ZIV_EXPORT int ziv_parse_dh_strip_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    ziv_errno_guard keep_errno;
    (void)argc;
    (void)argv;
    // Listed before the tool runs: the files as they are before it
    // normalises them.
    ziv_trace_paired_file* files = ziv_get_cmd_for_dh_strip("./debian");
    if (ziv_init_trace_info(nullptr, row) != 0) {
        ziv_free_trace_paired_file(files);
        return 0;
    }
    row->info->paired = files;
    row->info->flags |= ZIV_TRACE_IN_PLACE;
    return 0;
}

ZIV_EXPORT int ziv_parse_build_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    ziv_errno_guard keep_errno;
    constexpr char kTool[] = "arch/x86/boot/tools/build";
    if (argv == nullptr || argc < 2 || argv[0] == nullptr) {
        return 0;
    }
    size_t len = strlen(argv[0]);
    if (len < sizeof kTool - 1 || strcmp(argv[0] + len - (sizeof kTool - 1), kTool) != 0 ||
        argv[argc - 1] == nullptr || ziv_init_trace_info(argv[argc - 1], row) != 0) {
        return 0;
    }
    for (int i = 1; i < argc - 1 && argv[i] != nullptr; ++i) {
        if (ziv_is_regular_input(argv[i])) {
            ziv_append_trace_file(&row->info->inputs, argv[i]);
        }
    }
    return 0;
}

ZIV_EXPORT int ziv_parse_pesign_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    ziv_errno_guard keep_errno;
    const char* in = ziv_get_cmdline_filename(argc, argv, "-i", "--in=");
    const char* out = ziv_get_cmdline_filename(argc, argv, "-o", "--out=");
    if (in == nullptr || out == nullptr || ziv_init_trace_info(nullptr, row) != 0) {
        return 0;
    }
    ziv_append_trace_paired_file(in, out, &row->info->paired);
    return 0;
}

ZIV_EXPORT int ziv_parse_recordmcount_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    return ziv_parse_simple_paired_cmd(argc, argv, row);
}

ZIV_EXPORT int ziv_parse_sortextable_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    return ziv_parse_simple_paired_cmd(argc, argv, row);
}

}  // extern "C"
