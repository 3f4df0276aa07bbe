// ARM (armcc, armasm, armlink, fromelf) and IAR (iccarm, iarchive)
// embedded toolchains.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

#include "ziv_bounded.h"
#include "ziv_cmdline.h"
#include "ziv_config.h"
#include "ziv_db.h"
#include "ziv_file_util.h"
#include "ziv_parsers.h"
#include "ziv_parsers_arm.h"
#include "ziv_sysio.h"
#include "ziv_trace_entry.h"

char* g_iarbuild_cmd_log = nullptr;

namespace {

// ARM options whose next argument is a value (armcc, armlink).
constexpr const char* ziv_armcc_ignore_param_value[] = {"-o", "-via", "--cpu", "--output", "--feedback"};

// IAR compiler options as they stand in command files. Only those that take
// their value in the next argument keep that argument from being taken for
// a file: skipping the word after "--debug" or "-e" would lose a source
// written after them.
struct iar_option {
    const char* name;
    bool takes_value;
};
constexpr iar_option ziv_iccarm_ignore_param_value[] = {
    {"-D", true},          {"-lCN", true},           {"-lB", true},
    {"--no_cse", false},   {"--no_unroll", false},   {"--no_inline", false},
    {"--no_code_motion", false}, {"--no_tbaa", false}, {"--no_clustering", false},
    {"--no_scheduling", false},  {"--debug", false},   {"--endian=little", false},
    {"--cpu=Cortex-M7", false},  {"-e", false},        {"--fpu=VFPv5_d16", false},
    {"-I", true},          {"-Ol", false},           {"--source_encoding", true},
};
static_assert(sizeof ziv_iccarm_ignore_param_value / sizeof ziv_iccarm_ignore_param_value[0] == 18);

// The arguments before "-f" in the rebuilt line; a longer run is no IAR
// invocation.
constexpr size_t kMaxPrefix = 131072;
// An IAR command file is one line of options written by the IDE; anything
// bigger is not read into memory.
constexpr size_t kMaxCommandFile = 1024 * 1024;

int arm_takes_value(const char* arg)
{
    return ziv_match_namelist(static_cast<int>(sizeof ziv_armcc_ignore_param_value / sizeof(const char*)),
                              ziv_armcc_ignore_param_value, arg);
}

bool starts_with(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

const char* base_name(const char* name)
{
    const char* slash = strrchr(name, '/');
    return slash != nullptr ? slash + 1 : name;
}

// The value of the first option of a kind: a separate form ("-o x") takes
// the next argument, the glued form ("--output=x") its own text, or the
// next argument when the text is empty. Null when absent or empty.
const char* first_value(int argc, char** argv, std::initializer_list<const char*> separate, const char* glued)
{
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        const char* arg = argv[i];
        const char* value = nullptr;
        bool found = false;
        for (const char* form : separate) {
            if (strcmp(arg, form) == 0) {
                found = true;
                value = i + 1 < argc ? argv[i + 1] : nullptr;
            }
        }
        if (!found && glued != nullptr && starts_with(arg, glued)) {
            found = true;
            value = arg[strlen(glued)] != '\0' ? arg + strlen(glued) : i + 1 < argc ? argv[i + 1] : nullptr;
        }
        if (found) {
            return value != nullptr && value[0] != '\0' ? value : nullptr;
        }
    }
    return nullptr;
}

// "dir" + "/" + "name" without doubling a slash the directory ends with.
char* in_directory(const char* dir, const char* name)
{
    size_t dir_length = strlen(dir);
    size_t size = dir_length + strlen(name) + 2;
    if (size > static_cast<size_t>(INT_MAX)) {
        return nullptr;
    }
    char* path = static_cast<char*>(ziv_malloc_and_init(static_cast<int>(size)));
    const char* separator = dir_length > 0 && dir[dir_length - 1] == '/' ? "" : "/";
    if (path != nullptr && sprintf_s(path, size, "%s%s%s", dir, separator, name) < 0) {
        free(path);
        return nullptr;
    }
    return path;
}

// armcc -c/-S --output_dir=dir: every object or assembly file lands there.
void place_in_output_dir(int argc, char** argv, ziv_trace_info* info)
{
    const char* dir = ziv_get_cmdline_filename(argc, argv, nullptr, "--output_dir=");
    if (info == nullptr || dir == nullptr || dir[0] == '\0') {
        return;
    }
    for (ziv_trace_paired_file* pair = info->paired; pair != nullptr; pair = pair->next) {
        if (pair->out_name != nullptr) {
            // No output rather than one in the wrong directory.
            char* placed = in_directory(dir, pair->out_name);
            free(pair->out_name);
            pair->out_name = placed;
        }
    }
}

bool names_directory(const char* name)
{
    size_t length = strlen(name);
    if (length > 0 && name[length - 1] == '/') {
        return true;
    }
    struct stat st;
    return stat(name, &st) == 0 && S_ISDIR(st.st_mode);
}

const iar_option* iar_option_of(const char* arg)
{
    for (const iar_option& option : ziv_iccarm_ignore_param_value) {
        if (strcmp(option.name, arg) == 0) {
            return &option;
        }
    }
    return nullptr;
}

void iarchive_scan(int argc, char** argv, ziv_trace_info* info)
{
    for (int i = argc - 1; i >= 1; --i) {
        const char* arg = argv[i];
        if (arg == nullptr) {
            continue;
        }
        if (strcmp(arg, "-o") == 0) {
            if (i + 1 < argc && argv[i + 1] != nullptr) {
                ziv_append_trace_file(&info->outputs, argv[i + 1]);
                // An existing library is updated: the old one is read too.
                if (access(argv[i + 1], R_OK) == 0) {
                    ziv_append_trace_file(&info->inputs, argv[i + 1]);
                }
            }
            continue;
        }
        if (strlen(arg) > 2 && ziv_check_input_valid(arg) > 0 && ziv_input_file_type(arg) == ZIV_FILE_OBJECT) {
            ziv_append_trace_file(&info->inputs, arg);
        }
    }
}

// Runs `scan` over argv, or over the rebuilt line, which is released after.
template <typename Scan>
void scan_line(int argc, char** argv, int from_log, ziv_trace_cmd* row, Scan scan)
{
    if (from_log != 1) {
        if (row != nullptr && row->info != nullptr && argv != nullptr) {
            scan(argc, argv, row->info);
        }
        return;
    }
    int count = 0;
    ziv_block<char*> words{ziv_iarbuild_nargv(&count)};
    if (words.block != nullptr && row != nullptr && row->info != nullptr) {
        scan(count, words.block, row->info);
    }
    free_g_iarbuild_cmd_log();
}

// The usable arguments of the command file at `path`, or null (missing,
// unreadable, not a regular file, too big, too short, binary).
char* read_validdata_from_tmpfile(const char* path)
{
    char resolved[PATH_MAX];
    if (realpath(path, resolved) == nullptr) {
        return nullptr;
    }
    size_t size = 0;
    ziv_block<char> content{ziv_read_bounded_file(resolved, kMaxCommandFile, &size)};
    return content.block != nullptr ? ziv_iar_file_arguments(content.block, size, nullptr) : nullptr;
}

// The command line of an IAR tool started with "-f file": the arguments
// before "-f", each followed by a blank, then those of the file.
char* rebuild_from_command_file(int argc, char** argv, bool complete_object)
{
    int f = 1;
    while (f < argc && argv[f] != nullptr && strcmp(argv[f], "-f") != 0) {
        ++f;
    }
    if (f + 1 >= argc || argv[f] == nullptr || argv[f + 1] == nullptr) {
        return nullptr;
    }
    size_t length = 0;
    for (int i = 0; i < f; ++i) {
        length += strlen(argv[i]) + 1;
        if (length >= kMaxPrefix) {
            return nullptr;
        }
    }
    ziv_block<char> prefix{static_cast<char*>(ziv_malloc_and_init(static_cast<int>(length) + 1))};
    if (prefix.block == nullptr) {
        return nullptr;
    }
    for (int i = 0, at = 0; i < f; ++i) {
        int n = sprintf_s(prefix.block + at, length + 1 - at, "%s ", argv[i]);
        if (n < 0) {
            return nullptr;
        }
        at += n;
    }
    ziv_block<char> arguments{read_validdata_from_tmpfile(argv[f + 1])};
    if (arguments.block == nullptr) {
        return nullptr;
    }
    return ziv_iar_rebuild_line(prefix.block, arguments.block, complete_object);
}

// Shared by iccarm and iarchive: the trace record first, then the line.
template <typename Scan>
int parse_iar_tool(int argc, char** argv, ziv_trace_cmd* row, Scan scan)
{
    ziv_errno_guard keep_errno;
    if (argv == nullptr || row == nullptr || ziv_init_trace_info(nullptr, row) != 0) {
        return 0;
    }
    int from_log = 0;
    if (ziv_match_namelist(argc, argv, "-f") == 1) {
        if (ziv_parse_param_f_default(argc, argv, row) < 1) {
            free_g_iarbuild_cmd_log();
            return 0;
        }
        from_log = 1;
    }
    scan(argc, argv, from_log, row);
    return 0;
}

}  // namespace

void free_g_iarbuild_cmd_log()
{
    free(g_iarbuild_cmd_log);
    g_iarbuild_cmd_log = nullptr;
}

extern "C" {

ZIV_EXPORT int ziv_parse_armcc_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    ziv_errno_guard keep_errno;
    if (argv == nullptr || row == nullptr) {
        return 0;
    }
    ziv_scanned_argv line(argc, argv, row);
    // "--output_dir" places what "-c" and "-S" make.
    int mode = ziv_parse_driver_line(line.count(), line.argv(), row, {nullptr, arm_takes_value, nullptr});
    if (mode == 1 || mode == 2) {
        place_in_output_dir(line.count(), line.argv(), row->info);
    }
    return 0;
}

ZIV_EXPORT int ziv_parse_armasm_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    (void)argc;
    (void)argv;
    (void)row;
    return 0;
}

ZIV_EXPORT void ziv_get_armlink_input_file(int argc, char** argv, ziv_trace_info* info)
{
    if (argv == nullptr || info == nullptr) {
        return;
    }
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        const char* arg = argv[i];
        // "--feedback= fb.txt": the file is written here, not read.
        if (arm_takes_value(arg) == 1 || strcmp(arg, "--feedback=") == 0 || strcmp(arg, "--output=") == 0) {
            ++i;
            continue;
        }
        if (strchr(arg, '.') != nullptr && ziv_check_input_valid(arg) > 0 &&
            ziv_append_trace_file(&info->inputs, arg) < 0) {
            break;
        }
    }
}

ZIV_EXPORT int ziv_parse_armlink_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    ziv_errno_guard keep_errno;
    if (argv == nullptr || row == nullptr) {
        return 0;
    }
    // Object lists are long enough to be handed over in via files.
    ziv_scanned_argv line(argc, argv, row);
    const char* out = first_value(line.count(), line.argv(), {"-o", "--output"}, "--output=");
    if (ziv_gcc_output_name_valid(out) != 1 || ziv_init_trace_info(out, row) != 0) {
        return 0;
    }
    const char* feedback = first_value(line.count(), line.argv(), {"--feedback"}, "--feedback=");
    if (ziv_gcc_output_name_valid(feedback) == 1) {
        ziv_append_trace_file(&row->info->outputs, feedback);
    }
    ziv_get_armlink_input_file(line.count(), line.argv(), row->info);
    return 0;
}

ZIV_EXPORT int ziv_parse_fromelf_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    ziv_errno_guard keep_errno;
    if (argv == nullptr || row == nullptr) {
        return 0;
    }
    const char* out = first_value(argc, argv, {"-o", "--output"}, "--output=");
    if (out == nullptr) {
        return 0;
    }
    // The image: the first existing file argument; an archive member
    // written lib.a(member.o) stands for the archive.
    ziv_block<char> in{nullptr};
    for (int i = 1; i < argc && argv[i] != nullptr && in.block == nullptr; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "-o") == 0 || strcmp(arg, "--output") == 0) {
            ++i;
            continue;
        }
        if (arg[0] == '-') {
            continue;
        }
        ziv_block<char> cut{ziv_copy_string(arg)};
        if (cut.block == nullptr) {
            return 0;
        }
        if (char* paren = strchr(cut.block, '('); paren != nullptr) {
            *paren = '\0';
        }
        if (ziv_check_input_valid(cut.block) == 1) {
            in.block = cut.release();
        }
    }
    if (in.block == nullptr || ziv_init_trace_info(nullptr, row) != 0) {
        return 0;
    }
    if (names_directory(out)) {
        // Written into the directory under the image's own name.
        ziv_block<char> placed{in_directory(out, base_name(in.block))};
        if (placed.block != nullptr) {
            ziv_append_trace_paired_file(in.block, placed.block, &row->info->paired);
        }
        return 0;
    }
    ziv_parse_single_in2out_cmd(in.block, out, row);
    return 0;
}

ZIV_EXPORT void ziv_get_iccarm_input_file_and_output(int argc, char** argv, ziv_trace_info* info)
{
    if (argv == nullptr || info == nullptr) {
        return;
    }
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        const char* arg = argv[i];
        if (const iar_option* option = iar_option_of(arg); option != nullptr) {
            i += option->takes_value ? 1 : 0;
            continue;
        }
        const char* dot = strrchr(arg, '.');
        if (dot == nullptr) {
            continue;
        }
        if (strcmp(dot, ".o") == 0) {
            ziv_append_trace_file(&info->outputs, arg);
        } else if (ziv_check_input_valid(arg) > 0) {
            ziv_append_trace_file(&info->inputs, arg);
        }
    }
}

ZIV_EXPORT void ziv_get_iarbuild_output_file(int argc, char** argv, int from_log, ziv_trace_cmd* row)
{
    scan_line(argc, argv, from_log, row, ziv_get_iccarm_input_file_and_output);
}

ZIV_EXPORT void ziv_get_iarchive_output_file(int argc, char** argv, int from_log, ziv_trace_cmd* row)
{
    scan_line(argc, argv, from_log, row, iarchive_scan);
}

ZIV_EXPORT int ziv_parse_iccarm_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    return parse_iar_tool(argc, argv, row, ziv_get_iarbuild_output_file);
}

ZIV_EXPORT int ziv_parse_iarchive_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    return parse_iar_tool(argc, argv, row, ziv_get_iarchive_output_file);
}

ZIV_EXPORT char** ziv_iarbuild_nargv(int* count)
{
    return ziv_iar_split_line(g_iarbuild_cmd_log, count);
}

ZIV_EXPORT int ziv_parse_iarbuild_command(int argc, char** argv, ziv_trace_cmd* row)
{
    if (row == nullptr) {
        return -1;
    }
    if (g_iarbuild_cmd_log == nullptr || argv == nullptr || argc < 1 || argv[0] == nullptr) {
        return 0;
    }
    row->pwd_id = ziv_db_get_pwd_id();
    int tool_id = ziv_db_insert_tool(argv[0]);
    // Quotes doubled for the statement, like any command line.
    ziv_block<char> text{ziv_get_cmd_log(1, &g_iarbuild_cmd_log)};
    int id = text.block != nullptr ? ziv_db_insert_command(tool_id, row->pwd_id, text.block) : 0;
    // Children name this row as their parent; when it was not written they
    // keep naming the command recorded at entry.
    if (id > 0) {
        row->command_id = id;
        ziv_set_parentid(id);
    }
    return id;
}

ZIV_EXPORT int ziv_parse_param_f_default(int argc, char** argv, ziv_trace_cmd* row)
{
    if (ziv_prog_cfg.db == nullptr || argv == nullptr || row == nullptr) {
        return -1;
    }
    free_g_iarbuild_cmd_log();
    // An archive's line is recorded as the file has it; only the compiler's
    // names an object directory to complete.
    bool archive = row->name != nullptr && strcmp(row->name, "iarchive") == 0;
    g_iarbuild_cmd_log = rebuild_from_command_file(argc, argv, !archive);
    return ziv_parse_iarbuild_command(argc, argv, row);
}

}  // extern "C"
