// Tools described by the user: a text file named by ZIV_TRACE_TEMPLATE
// holds one section per program, "[name]", with lines "key=value" listing
// the program's output, input and ignored options.
//
//     [mytool]
//     output_short_args=-o
//     output_long_args=--out
//     input_short_args=-i -s
//     input_long_args=--in
//     ignore_args=-v
#pragma once

#include <cstddef>

#include "ziv_common.h"
#include "ziv_trace.h"

// The keys of a section, in the order their lists are kept.
enum ziv_template_key : int {
    ZIV_TEMPLATE_PARENT_PROCESS,  // loaded and kept, consulted by no parser
    ZIV_TEMPLATE_OUTPUT_SHORT,    // "-o file"
    ZIV_TEMPLATE_OUTPUT_LONG,     // "--out=file"
    ZIV_TEMPLATE_INPUT_SHORT,     // "-i file"
    ZIV_TEMPLATE_INPUT_LONG,      // "--in=file"
    ZIV_TEMPLATE_IGNORE,          // arguments that are never inputs
    ZIV_TEMPLATE_KEY_COUNT,
};

struct ziv_template_list {
    char** items;  // owned copies; null while the list is unset
    int count;
};

// One loaded section: the program name (null: nothing loaded) and its lists.
struct ziv_template_conf {
    char* name;
    ziv_template_list lists[ZIV_TEMPLATE_KEY_COUNT];
};

// Text of a template file, read line by line from memory.
struct ziv_template_lines {
    const char* at;
    const char* end;
};

// A line of a template file holds at most this many bytes.
constexpr size_t ZIV_TEMPLATE_LINE_MAX = 1023;

extern "C" {

// 0 when the template file has a section for `name` (now loaded into the
// process's configuration), -1 otherwise.
ZIV_EXPORT int ziv_is_template_cmd(const char* name);
// ZIV_TRACE_TEMPLATE into `buffer`: 0, -1 unset or too long, 1 when the
// file it names is not readable (an empty value included).
ZIV_EXPORT int ziv_get_templatefile(char* buffer, size_t size);
// Loads the section of `name` from the file at `path` into the process's
// configuration: 0, -1 the file is unusable (cannot be opened, not a
// regular file, too big), -2 no such section.
ZIV_EXPORT int ziv_read_template_conf(const char* path, const char* name);
// Applies the lines after a found section header, up to the next header.
ZIV_EXPORT int ziv_get_template_cmd_array(ziv_template_lines* lines, ziv_template_conf* conf, const char* name);
// Applies one trimmed line: -1 for null arguments, else 0.
ZIV_EXPORT int ziv_get_args_array(const char* line, ziv_template_conf* conf);
// The cleaned value of a "key=value" line, newly allocated (free() it), or
// null: another key, an empty value, "NULL" or "null".
ZIV_EXPORT char* ziv_get_args_conf(const char* line, const char* key);
// 1 when `arg` equals an entry, else -1.
ZIV_EXPORT int ziv_is_in_short_args_arr(const char* arg, int count, char* const* list);
// 2 when `arg` is an entry followed by "=", with `*value` after the "=";
// else -1.
ZIV_EXPORT int ziv_is_in_long_args_arr(const char* arg, int count, char* const* list, const char** value);
// The output and input tests of argument `index`: 2 long form, 1 short form
// (the next argument was the file), -1 neither.
ZIV_EXPORT int ziv_add_template_file_to_data_out(const ziv_template_conf* conf, int argc, char** argv, int index,
                                                 ziv_trace_info* info);
ZIV_EXPORT int ziv_add_template_file_to_data_in(const ziv_template_conf* conf, int argc, char** argv, int index,
                                                ziv_trace_info* info);
// The parser of the "template" row: 0, or -1 without a trace record.
ZIV_EXPORT int ziv_parse_template_cmd(int argc, char** argv, ziv_trace_cmd* row);
// Frees every list and the name; the record is left empty.
ZIV_EXPORT void ziv_free_template_cfg(ziv_template_conf* conf);

}  // extern "C"

// The section loaded for this process.
extern ziv_template_conf g_ziv_template_conf;

// The text core, pure and in memory (fuzzable on its own): finds the
// section of `name` in `size` bytes of `text` and loads it into `conf`,
// which must be empty. 0 found, -2 absent, -1 no memory.
int ziv_template_load_text(const char* text, size_t size, const char* name, ziv_template_conf* conf);
// The next line, trimmed, into `line` (ZIV_TEMPLATE_LINE_MAX + 1 bytes).
// False at the end of the text. A line that is too long or holds a NUL byte
// comes back empty, so that no piece of it counts as a header or a key.
bool ziv_template_next_line(ziv_template_lines* lines, char* line);
