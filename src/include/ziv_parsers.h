// Parsers of compiler drivers, compilers proper, assemblers, linkers and
// archivers, and header dependency tracing.
#pragma once

#include <cstdio>

#include "ziv_cmdline.h"
#include "ziv_common.h"
#include "ziv_trace.h"

extern "C" {

// --- Compiler drivers, compilers proper, assembler ------------------------

// gcc-like drivers: one output with its inputs ("-o"), or one pair per
// source ("-c" -> .o, "-S" -> .s); "-E" and plain links to a.out: nothing.
ZIV_EXPORT int ziv_parse_gcc_cmd(int argc, char** argv, ziv_trace_cmd* row);
// cc1, cc1plus: no files of its own; starts header tracing.
ZIV_EXPORT int ziv_parse_cc1_cmd(int argc, char** argv, ziv_trace_cmd* row);
// as, when started by a shell, make or a build script.
ZIV_EXPORT int ziv_parse_as_cmd(int argc, char** argv, ziv_trace_cmd* row);

// Replaces the output of every pair by the input's last component with
// ".o" (mode 1) or ".s" (mode 2); objects get no output.
ZIV_EXPORT void ziv_parse_gcc_multi_output_file(int mode, ziv_trace_info* info);
// 1 when `arg` is exactly "-o".
ZIV_EXPORT int ziv_gcc_out_arg(const char* arg);
// The name glued to "-o" ("-oprog" -> "prog"), or null.
ZIV_EXPORT const char* ziv_gcc_out_ext_arg(const char* arg);
// 1 when `arg` is a driver option whose next argument is its value.
ZIV_EXPORT int ziv_gcc_ignore_param_value(const char* arg);
// 1 when `arg` is an assembler option whose next argument is its value.
ZIV_EXPORT int ziv_as_ignore_param_value(const char* arg);
// 1 for an existing regular file that is not an object file.
ZIV_EXPORT int ziv_gcc_check_input_valid(const char* arg);
// The argument after the last "-o", or null.
ZIV_EXPORT const char* ziv_get_gcc_output_name(int argc, char** argv);
// -1 null, 0 "-" or "/dev/null", 1 a real output.
ZIV_EXPORT int ziv_gcc_output_name_valid(const char* name);

// --- Header dependency tracing --------------------------------------------

// Runs the compiler proper of this command line a second time, untraced,
// for its header dependencies, and records them. Never changes the traced
// command's own arguments or outputs.
ZIV_EXPORT void ziv_trace_hfile(int argc, char** argv);
// Header names of a make-style dependency rule: the rule continues in
// `buffer` at `offset` (just after the source name) and further lines are
// read from `stream` into `buffer` (capacity `size`). New list, or null.
ZIV_EXPORT ziv_trace_file* ziv_get_hdep_input(FILE* stream, char* buffer, int size, int offset);

// --- Linkers and archivers ------------------------------------------------

// Search directories, requested library names and link inputs of the
// current linker parser call.
ZIV_EXPORT extern ziv_trace_file* g_ziv_ld_path;
ZIV_EXPORT extern ziv_trace_file* g_ziv_ld_lib;
ZIV_EXPORT extern ziv_trace_file* g_ziv_ld_input;

ZIV_EXPORT int ziv_parse_ld_cmd(int argc, char** argv, ziv_trace_cmd* row);
// Fills the three lists from a linker command line.
ZIV_EXPORT void ziv_get_ld_input_file(int argc, char** argv);
// Adds what a linker script names to the three lists.
ZIV_EXPORT void ziv_parse_script_file(const char* path);
// -1 null or unreadable directory, 0 added or ignored ("=", "$SYSROOT"),
// 1 out of memory.
ZIV_EXPORT int ziv_append_trace_path(ziv_trace_file** list, const char* directory);
// Appends a library reference (type 15): 0, or -1 for null / no memory.
ZIV_EXPORT int ziv_append_trace_lib(ziv_trace_file** list, const char* name);
// First readable candidate for library `name` in directory `dir` (".so"
// before ".a"; ":file" as is), newly allocated, or null.
ZIV_EXPORT char* ziv_get_single_lib(const ziv_trace_file* dir, const char* name);

ZIV_EXPORT int ziv_parse_ar_cmd(int argc, char** argv, ziv_trace_cmd* row);
ZIV_EXPORT int ziv_parse_armar_cmd(int argc, char** argv, ziv_trace_cmd* row);
ZIV_EXPORT int ziv_parse_ranlib_cmd(int argc, char** argv, ziv_trace_cmd* row);

}  // extern "C"

// How a gcc-like driver spells its options: the output glued to "-o" (null
// when the driver takes none), the options that take a value, and which
// operands of "-c" and "-S" are sources (null: every existing file).
struct ziv_driver_grammar {
    ziv_arg_out_fn glued_out;
    ziv_arg_pred_fn takes_value;
    ziv_arg_pred_fn is_source;
};
// A driver's line as the driver reads it: one output with its inputs
// ("-o"; the target the linker below records is reused), or one pair per
// source in the working directory ("-c" -> .o, "-S" -> .s); "-E" and plain
// links to a.out: nothing. The mode: 0 "-o", 1 "-c", 2 "-S", 3 nothing.
int ziv_parse_driver_line(int argc, char** argv, ziv_trace_cmd* row, const ziv_driver_grammar& grammar);
// Source name and header list of the first rule of a dependency file (the
// source into `*source`, malloc'd). 0 when a rule with a source was found,
// else -1.
int ziv_read_hdep_file(FILE* stream, char** source, ziv_trace_file** headers);
