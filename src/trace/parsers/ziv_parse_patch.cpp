// patch: the files a patch changes become sources made by this command from
// the patch file. The command line is read as GNU patch reads it, the patch
// file where it lies (given by name, or the regular file standard input is
// redirected from, read with positioned reads so the program still gets
// every byte), in bounded chunks; the file each header stands for is the
// one patch itself would pick.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ziv_bounded.h"
#include "ziv_file_util.h"
#include "ziv_parser_kit.h"
#include "ziv_parsers_other.h"
#include "ziv_patch_text.h"
#include "ziv_sysio.h"

namespace {

constexpr const char* kPatchValues[] = {
    "-B", "-d", "-D", "-F", "-g", "-i", "-o", "-p", "-r", "-V", "-x", "-Y", "-z", "--prefix", "--directory",
    "--ifdef", "--fuzz", "--get", "--input", "--output", "--strip", "--reject-file", "--version-control",
    "--debug", "--basename-prefix", "--suffix", "--quoting-style", "--reject-format", "--read-only",
};

// No real patch comes near these; what lies beyond is not looked at.
constexpr off_t kMaxPatchBytes = off_t{256} * 1024 * 1024;
constexpr int kMaxPatchedFiles = 65536;

struct patch_line {
    const char* input = nullptr;     // -i
    const char* output = nullptr;    // -o: every result goes there
    const char* original = nullptr;  // first operand: the one file patched
    const char* second = nullptr;    // second operand: the patch file
    int strip = -1;                  // -p; none given: base names
    bool dry_run = false;
    char* dir = nullptr;             // -d, made absolute: patch changes into it first

    ~patch_line() { free(dir); }
};

// Every -d in turn, relative to the one before.
bool change_dir(patch_line* line, const char* to)
{
    char* next = to[0] == '/' || line->dir == nullptr ? ziv_copy_string(to) : ziv_join_path(line->dir, to);
    free(line->dir);
    line->dir = next;
    return next != nullptr;
}

bool read_patch_line(int argc, char** argv, patch_line* line)
{
    int operands = 0;
    ziv_opt_scanner scan(argc, argv, ziv_grammar(kPatchValues));
    for (ziv_opt_item item; scan.next(&item);) {
        if (item.kind == ziv_opt_item::operand) {
            if (operands == 0) {
                line->original = item.text;
            } else if (operands == 1) {
                line->second = item.text;
            }
            ++operands;
        } else if (item.value != nullptr && (ziv_opt_is(item, "-i") || ziv_opt_is(item, "--input"))) {
            line->input = item.value;
        } else if (item.value != nullptr && (ziv_opt_is(item, "-o") || ziv_opt_is(item, "--output"))) {
            line->output = item.value;
        } else if (item.value != nullptr && (ziv_opt_is(item, "-p") || ziv_opt_is(item, "--strip"))) {
            line->strip = atoi(item.value);
        } else if (item.value != nullptr && (ziv_opt_is(item, "-d") || ziv_opt_is(item, "--directory"))) {
            if (!change_dir(line, item.value)) {
                return false;
            }
        } else if (ziv_opt_is(item, "--dry-run")) {
            line->dry_run = true;
        }
    }
    // Names in the patch are opened after patch has changed directory, and
    // the results are looked at when it ends, still there: absolute names
    // hold in both places.
    if (line->dir != nullptr && line->dir[0] != '/') {
        ziv_block<char> here{getcwd(nullptr, 0)};
        char* absolute = here.block != nullptr ? ziv_join_path(here.block, line->dir) : nullptr;
        free(line->dir);
        line->dir = absolute;
        return absolute != nullptr;
    }
    return true;
}

// A name as patch opens it, newly allocated.
char* place(const patch_line& line, const char* name)
{
    return name[0] == '/' || line.dir == nullptr ? ziv_copy_string(name) : ziv_join_path(line.dir, name);
}

// The name without its first `strip` components (runs of "/" count as one
// separator); base name when no count was given; null when it has fewer.
const char* strip_components(const char* name, int strip)
{
    if (name == nullptr) {
        return nullptr;
    }
    if (strip < 0) {
        const char* slash = strrchr(name, '/');
        return slash != nullptr ? (slash[1] != '\0' ? slash + 1 : nullptr) : name;
    }
    const char* at = name;
    for (int i = 0; i < strip; ++i) {
        at = strchr(at, '/');
        if (at == nullptr) {
            return nullptr;
        }
        while (*at == '/') {
            ++at;
        }
    }
    return *at != '\0' ? at : nullptr;
}

int components(const char* name)
{
    int n = 0;
    for (const char* at = name; *at != '\0'; ++at) {
        n += at[0] == '/' && at[1] != '/' && at[1] != '\0' ? 1 : 0;
    }
    return n;
}

// patch's choice between two names when both or neither exist: fewest
// directory components, then the shorter base name, then the shorter name,
// then the old one.
bool prefer_new(const char* old_name, const char* new_name)
{
    int oc = components(old_name);
    int nc = components(new_name);
    if (oc != nc) {
        return nc < oc;
    }
    size_t ob = strlen(ziv_base_name(old_name));
    size_t nb = strlen(ziv_base_name(new_name));
    if (ob != nb) {
        return nb < ob;
    }
    return strlen(new_name) < strlen(old_name);
}

struct patch_scan {
    const patch_line* line;
    ziv_trace_paired_file* files = nullptr;
    ziv_trace_paired_file** tail = &files;  // appends in constant time
    const char* last = nullptr;
    int count = 0;
    int headers = 0;
};

int on_header(void* context, const char* old_name, const char* new_name)
{
    auto* scan = static_cast<patch_scan*>(context);
    ++scan->headers;
    if (scan->line->output != nullptr || scan->line->original != nullptr) {
        return 1;  // one file takes every result: one header is enough
    }
    const char* o = strip_components(old_name, scan->line->strip);
    const char* n = strip_components(new_name, scan->line->strip);
    ziv_block<char> old_placed{o != nullptr ? place(*scan->line, o) : nullptr};
    ziv_block<char> new_placed{n != nullptr ? place(*scan->line, n) : nullptr};
    const char* chosen = old_placed.block;
    if (old_placed.block == nullptr) {
        chosen = new_placed.block;
    } else if (new_placed.block != nullptr) {
        bool old_exists = ziv_is_regular_input(old_placed.block);
        bool new_exists = ziv_is_regular_input(new_placed.block);
        if (old_exists != new_exists) {
            chosen = new_exists ? new_placed.block : old_placed.block;
        } else if (prefer_new(o, n)) {
            chosen = new_placed.block;
        }
    }
    if (chosen == nullptr || (scan->last != nullptr && strcmp(scan->last, chosen) == 0)) {
        return 0;
    }
    if (ziv_append_trace_paired_file(nullptr, chosen, scan->tail) != 0) {
        return 1;
    }
    scan->last = (*scan->tail)->out_name;
    scan->tail = &(*scan->tail)->next;
    return ++scan->count >= kMaxPatchedFiles ? 1 : 0;
}

// The patch file: its name for the record and a descriptor to read it
// through (standard input is read, never consumed; `*owned` tells whether
// the descriptor is ours to close). False when the patch comes from a
// terminal, a pipe or a file that cannot be read.
bool open_patch(const patch_line& line, char** name, int* fd, bool* owned)
{
    const char* given = line.input != nullptr ? line.input : line.second;
    if (given != nullptr && strcmp(given, "-") != 0) {
        *name = place(line, given);
        if (*name == nullptr) {
            return false;
        }
        *fd = open(*name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        *owned = *fd >= 0;
        struct stat st;
        return *fd >= 0 && fstat(*fd, &st) == 0 && S_ISREG(st.st_mode);
    }
    struct stat in;
    struct stat named;
    char link[PATH_MAX] = {};
    ssize_t n = readlink("/proc/self/fd/0", link, sizeof link - 1);
    // The file must still be the one on standard input (not deleted, not
    // replaced under the same name).
    if (fstat(0, &in) != 0 || !S_ISREG(in.st_mode) || n <= 0 || strncmp(link, "/dev/", 5) == 0 ||
        stat(link, &named) != 0 || named.st_dev != in.st_dev || named.st_ino != in.st_ino) {
        return false;
    }
    *name = ziv_copy_string(link);
    *fd = 0;
    return *name != nullptr;
}

}  // namespace

extern "C" {

ZIV_EXPORT int ziv_parse_patch_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    ziv_errno_guard keep_errno;
    if (argv == nullptr || row == nullptr) {
        return 0;
    }
    patch_line line;
    if (!read_patch_line(argc, argv, &line) || line.dry_run ||
        (line.output != nullptr && strcmp(line.output, "-") == 0)) {
        return 0;
    }
    char* name = nullptr;
    int fd = -1;
    bool owned = false;
    bool readable = open_patch(line, &name, &fd, &owned);
    ziv_block<char> patch_name{name};
    ziv_fd_closer own_fd{owned ? fd : -1};  // standard input stays open
    if (!readable) {
        return 0;
    }
    patch_scan scan{&line};
    ziv_scan_patch_fd(fd, kMaxPatchBytes, on_header, &scan);
    if (scan.headers > 0 && (line.output != nullptr || line.original != nullptr)) {
        ziv_block<char> only{place(line, line.output != nullptr ? line.output : line.original)};
        if (only.block != nullptr) {
            ziv_append_trace_paired_file(nullptr, only.block, &scan.files);
        }
    }
    if (scan.files == nullptr) {
        return 0;
    }
    if (ziv_init_trace_info(nullptr, row) != 0) {
        ziv_free_trace_paired_file(scan.files);
        return 0;
    }
    ziv_trace_info* info = row->info;
    info->paired = scan.files;
    if (ziv_append_trace_file(&info->common_inputs, patch_name.block) == 0) {
        info->common_inputs->type = ZIV_FILE_PATCH;
    }
    info->flags |= ZIV_TRACE_OUT_SOURCE;
    return 0;
}

}  // extern "C"
