// Parsers of the ARM (armcc, armasm, armlink, fromelf) and IAR (iccarm,
// iarchive) embedded toolchains, and the IAR command file: "-f file" names a
// file that holds the tool's real arguments, each in double quotes.
#pragma once

#include <cstddef>

#include "ziv_common.h"
#include "ziv_trace.h"

extern "C" {

// armcc: like the gcc driver; "--output_dir=dir" places the objects of
// "-c" and the assembly of "-S".
ZIV_EXPORT int ziv_parse_armcc_cmd(int argc, char** argv, ziv_trace_cmd* row);
// armasm: the command line only.
ZIV_EXPORT int ziv_parse_armasm_cmd(int argc, char** argv, ziv_trace_cmd* row);
// armlink: the image, the feedback file and the input files.
ZIV_EXPORT int ziv_parse_armlink_cmd(int argc, char** argv, ziv_trace_cmd* row);
// fromelf: one (image, converted file) pair.
ZIV_EXPORT int ziv_parse_fromelf_cmd(int argc, char** argv, ziv_trace_cmd* row);
// iccarm: sources in, objects out; iarchive: objects in, the library out.
// Both read their command file first when started with "-f".
ZIV_EXPORT int ziv_parse_iccarm_cmd(int argc, char** argv, ziv_trace_cmd* row);
ZIV_EXPORT int ziv_parse_iarchive_cmd(int argc, char** argv, ziv_trace_cmd* row);

// The existing files of an armlink line (option values left out) into
// `info->inputs`.
ZIV_EXPORT void ziv_get_armlink_input_file(int argc, char** argv, ziv_trace_info* info);

// Rebuilds the command line of an IAR tool started with "-f" from its
// command file, records it as this process's command and keeps it in
// g_iarbuild_cmd_log: the new command id, or 0 / -1 (no database, no
// usable command file, row not written).
ZIV_EXPORT int ziv_parse_param_f_default(int argc, char** argv, ziv_trace_cmd* row);
// The recording step: the command id, 0 when there is no rebuilt line, -1
// for a null row.
ZIV_EXPORT int ziv_parse_iarbuild_command(int argc, char** argv, ziv_trace_cmd* row);
// The rebuilt line split into words, in place; the array (free() it) points
// into g_iarbuild_cmd_log. Null, count 0, when there is none.
ZIV_EXPORT char** ziv_iarbuild_nargv(int* count);

// File scans of iccarm and iarchive over argv, or with `from_log` 1 over
// the rebuilt line, which they release afterwards.
ZIV_EXPORT void ziv_get_iarbuild_output_file(int argc, char** argv, int from_log, ziv_trace_cmd* row);
ZIV_EXPORT void ziv_get_iccarm_input_file_and_output(int argc, char** argv, ziv_trace_info* info);
ZIV_EXPORT void ziv_get_iarchive_output_file(int argc, char** argv, int from_log, ziv_trace_cmd* row);

}  // extern "C"

// --- Hidden ----------------------------------------------------------------

// The command line rebuilt from an IAR command file, owned here from its
// recording until the parser has scanned it.
extern char* g_iarbuild_cmd_log;
void free_g_iarbuild_cmd_log();

// The IAR command file as text, pure and in memory (fuzzable on its own).
//
// The arguments of a command file: its bytes without the first three and
// the last one, newly allocated and terminated; null for a file of fewer
// than four bytes or one holding a NUL byte (not a command file).
char* ziv_iar_file_arguments(const char* content, size_t size, size_t* length);
// `prefix` (the arguments before "-f", each followed by a blank) followed
// by `arguments`; with `complete_object`, the "-o" directory of an iccarm
// line is completed with the object name of its source ("obj" ->
// "obj/main.o" for main.c). Newly allocated, or null when the line cannot
// be made (no source or no "-o" value to complete, no memory).
char* ziv_iar_rebuild_line(const char* prefix, const char* arguments, bool complete_object);
// Splits a rebuilt line in place into its words: blanks separate, a word in
// double quotes may hold blanks and loses its quotes. New array of `*count`
// pointers into `line` plus a null entry (free() it); null, count 0, for
// no word or no memory.
char** ziv_iar_split_line(char* line, int* count);
