// Compiler drivers (gcc, clang and their kin), compilers proper (cc1,
// cc1plus) and the assembler.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "ziv_cmdline.h"
#include "ziv_file_util.h"
#include "ziv_hdeps_open.h"
#include "ziv_parsers.h"
#include "ziv_process.h"
#include "ziv_trace_entry.h"

namespace {

// Driver options whose next argument is a value, not a file. "-Xlinker"
// stands twice; matching is exact, so "-Iinc" needs no entry.
constexpr const char* kGccValueOptions[] = {
    "-o",          "-A",         "-B",          "-I",       "-D",         "-z",
    "-x",          "-T",         "-u",          "-U",       "-V",         "-l",
    "-G",          "-arch",      "-aux-info",   "-idirafter", "-include", "-imacros",
    "-iprefix",    "-iwithprefix", "-iwithprefixbefore", "-isystem", "-iquote", "-imultilib",
    "-isysroot",   "-Xpreprocessor", "-Xassembler", "-Xclang", "-Xlinker", "-auxbase",
    "-auxbase-strip", "-dumpbase", "--param",   "-MT",      "-MQ",        "-MD",
    "-MF",         "-soname",    "-Xlinker",    "--version-script",
};
static_assert(sizeof kGccValueOptions / sizeof kGccValueOptions[0] == 40);

constexpr const char* kAsValueOptions[] = {"-o", "--debug-prefix-map", "--defsym", "-I", "--MD"};

constexpr int count_of(const auto& table) { return static_cast<int>(sizeof table / sizeof table[0]); }

bool has_arg(int argc, char** argv, const char* wanted)
{
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        if (strcmp(argv[i], wanted) == 0) {
            return true;
        }
    }
    return false;
}

// clang compiles in the driver's own process (one source), or in "clang
// -cc1" processes it starts (several); a gcc driver leaves compiling to
// cc1. The program behind "cc" or "c++" may be either.
bool compiles_itself(const ziv_trace_cmd* row)
{
    if (strncmp(row->name, "clang", 5) == 0) {
        return true;
    }
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) {
        return false;
    }
    exe[n] = '\0';
    const char* base = strrchr(exe, '/');
    return strncmp(base != nullptr ? base + 1 : exe, "clang", 5) == 0;
}

// Header tracing from the opens of a driver that compiles itself; as for a
// compiler proper, not when the result goes nowhere or to the terminal
// (gcc hands its cc1 "-o /dev/null" for -fsyntax-only, no "-o" for -E, -M
// and -MM without one).
void observe_driver(int argc, char** argv, const ziv_trace_cmd* row)
{
    if (ziv_open_hdeps_mode() == ziv_open_hdeps::off || !compiles_itself(row)) {
        return;
    }
    const char* out = ziv_get_gcc_output_name(argc, argv);
    if ((out != nullptr && strcmp(out, "/dev/null") == 0) || has_arg(argc, argv, "-fsyntax-only")) {
        return;
    }
    if (out == nullptr && (has_arg(argc, argv, "-E") || has_arg(argc, argv, "-M") || has_arg(argc, argv, "-MM"))) {
        return;
    }
    ziv_hdeps_open_begin(argc, argv, false);
}


// Driver parse mode: 0 named output, 1 "-c", 2 "-S", 3 nothing to trace.
int get_gcc_parse_mode(int argc, char** argv)
{
    bool compile = false;
    bool assemble = false;
    bool preprocess = false;
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        const char* arg = argv[i];
        if (arg[0] == '-' && arg[1] == 'o') {
            return 0;
        }
        compile = compile || strcmp(arg, "-c") == 0;
        assemble = assemble || strcmp(arg, "-S") == 0;
        preprocess = preprocess || strcmp(arg, "-E") == 0;
    }
    if (preprocess) {
        return 3;
    }
    if (compile) {
        return 1;
    }
    return assemble ? 2 : 3;
}

}  // namespace

int ziv_parse_driver_line(int argc, char** argv, ziv_trace_cmd* row, const ziv_driver_grammar& grammar)
{
    int mode = get_gcc_parse_mode(argc, argv);
    if (mode == 0) {
        ziv_cmdline_desc desc{0, ziv_gcc_out_arg, grammar.glued_out, grammar.takes_value, ziv_gcc_check_input_valid,
                              row};
        ziv_trace_info* before = row->info;
        ziv_parse_cmdline(argc, argv, &desc);
        if (row->info != nullptr && row->info != before) {
            // A link output re-made byte for byte is the row the linker
            // below this driver already recorded.
            row->info->flags |= ZIV_TRACE_REUSE_TARGET;
        }
    } else if (mode == 1 || mode == 2) {
        ziv_cmdline_desc desc{1, nullptr, nullptr, grammar.takes_value, grammar.is_source, row};
        ziv_parse_cmdline(argc, argv, &desc);
        ziv_parse_gcc_multi_output_file(mode, row->info);
    }
    return mode;
}

extern "C" {

ZIV_EXPORT int ziv_gcc_out_arg(const char* arg) { return arg != nullptr && strcmp(arg, "-o") == 0 ? 1 : 0; }

ZIV_EXPORT const char* ziv_gcc_out_ext_arg(const char* arg)
{
    if (arg == nullptr || arg[0] != '-' || arg[1] != 'o' || arg[2] == '\0') {
        return nullptr;
    }
    return arg + 2;
}

ZIV_EXPORT int ziv_gcc_ignore_param_value(const char* arg)
{
    return ziv_match_namelist(count_of(kGccValueOptions), kGccValueOptions, arg);
}

ZIV_EXPORT int ziv_as_ignore_param_value(const char* arg)
{
    return ziv_match_namelist(count_of(kAsValueOptions), kAsValueOptions, arg);
}

ZIV_EXPORT int ziv_gcc_check_input_valid(const char* arg)
{
    if (arg == nullptr || ziv_input_file_type(arg) == ZIV_FILE_OBJECT) {
        return 0;
    }
    return ziv_check_input_valid(arg) == 1 ? 1 : 0;
}

ZIV_EXPORT const char* ziv_get_gcc_output_name(int argc, char** argv)
{
    const char* out = nullptr;
    for (int i = 1; argv != nullptr && i < argc && argv[i] != nullptr; ++i) {
        if (strcmp(argv[i], "-o") == 0) {
            out = i + 1 < argc ? argv[i + 1] : nullptr;
        }
    }
    return out;
}

ZIV_EXPORT int ziv_gcc_output_name_valid(const char* name)
{
    if (name == nullptr) {
        return -1;
    }
    return strcmp(name, "-") == 0 || strcmp(name, "/dev/null") == 0 ? 0 : 1;
}

ZIV_EXPORT void ziv_parse_gcc_multi_output_file(int mode, ziv_trace_info* info)
{
    if (info == nullptr || (mode != 1 && mode != 2)) {
        return;
    }
    const char* suffix = mode == 1 ? ".o" : ".s";
    for (ziv_trace_paired_file* pair = info->paired; pair != nullptr; pair = pair->next) {
        free(pair->out_name);
        pair->out_name = nullptr;
        if (pair->in_name == nullptr || ziv_input_file_type(pair->in_name) == ZIV_FILE_OBJECT) {
            continue;
        }
        // src/a.c -> a.o in the working directory, as the driver writes it.
        pair->out_name = ziv_change_filename_suffix(pair->in_name, suffix);
    }
}

ZIV_EXPORT int ziv_parse_gcc_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    ziv_errno_guard keep_errno;
    if (argv == nullptr || row == nullptr) {
        return 0;
    }
    ziv_scanned_argv line(argc, argv, row);
    ziv_parse_driver_line(line.count(), line.argv(), row,
                          {ziv_gcc_out_ext_arg, ziv_gcc_ignore_param_value, ziv_gcc_check_input_valid});
    observe_driver(line.count(), line.argv(), row);
    return 0;
}

ZIV_EXPORT int ziv_parse_cc1_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    (void)row;
    ziv_errno_guard keep_errno;
    if (argv == nullptr) {
        return 0;
    }
    const char* out = ziv_get_gcc_output_name(argc, argv);
    if (out == nullptr || strcmp(out, "/dev/null") == 0) {
        return 0;
    }
    // A second pass over preprocessed text has no headers to find.
    if (has_arg(argc, argv, "-fpreprocessed")) {
        return 0;
    }
    if (ziv_open_hdeps_mode() != ziv_open_hdeps::off) {
        ziv_hdeps_open_begin(argc, argv, true);
    } else {
        ziv_trace_hfile(argc, argv);
    }
    return 0;
}

ZIV_EXPORT int ziv_parse_as_cmd(int argc, char** argv, ziv_trace_cmd* row)
{
    ziv_errno_guard keep_errno;
    if (argv == nullptr || row == nullptr) {
        return 0;
    }
    // Under a driver the object is already the driver's output.
    if (ziv_is_valid_parent() != 1) {
        return 0;
    }
    ziv_scanned_argv line(argc, argv, row);
    // The expanded line, so that files named in a response file count; the
    // assembler takes no glued "-ofile".
    ziv_cmdline_desc desc{0, ziv_gcc_out_arg, nullptr, ziv_as_ignore_param_value, ziv_check_input_valid, row};
    ziv_parse_cmdline(line.count(), line.argv(), &desc);
    return 0;
}

}  // extern "C"
