// Argument vectors, response files ("@file", "--via=file") and the generic
// command-line scanner the trace parsers share.
#pragma once

#include <cstdlib>

#include "ziv_common.h"
#include "ziv_trace.h"
#include "ziv_trace_entry.h"

// Predicate on one argument: 1 (true) or 0.
typedef int (*ziv_arg_pred_fn)(const char* arg);
// Output name carried inside an option ("-oname" -> "name"), or null.
typedef const char* (*ziv_arg_out_fn)(const char* arg);

// Descriptor of one ziv_parse_cmdline call, built on the parser's stack.
struct ziv_cmdline_desc {
    int paired;                   // 0 output mode, 1 paired (in place) mode
    ziv_arg_pred_fn is_out_opt;   // option whose next argument is the output
    ziv_arg_out_fn out_from_opt;  // output name inside the option itself
    ziv_arg_pred_fn takes_value;  // option whose next argument is its value
    ziv_arg_pred_fn is_input;     // non-option argument that is an input
    ziv_trace_cmd* cmd;           // row whose trace info is filled
};

extern "C" {

// Frees every string up to the null entry and nulls the slots; the array
// itself is not freed. Null is ignored.
ZIV_EXPORT void ziv_freeargv(char** argv);
// New zero-filled array of `capacity` slots holding the first `count`
// pointers of `old` (strings not copied); null on failure. `old` not freed.
ZIV_EXPORT char** ziv_realloc_argv(int count, char** old, int capacity);
// Splits modifiable response text into words pointing into it; sets
// `*count`. Null (count 0) when there is no word or memory runs out.
ZIV_EXPORT char** ziv_buildargv(char* text, int* count);
// New zero-filled vector of `capacity` slots: copies of the first `*count`
// strings of `base` then copies of the `n` words; `*count` += n. Null with
// nothing allocated and the count unchanged on failure.
ZIV_EXPORT char** ziv_append_file_argv(int capacity, char** base, int* count, int n, char** words);
// The vector to scan, response files expanded one level deep. The caller
// sets `*count` = argc; when the result is not `argv` the caller frees it
// (ziv_freeargv, then free).
ZIV_EXPORT char** ziv_expand_argv(int argc, char** argv, int* count);

// Generic scanner filling the trace info of desc->cmd; always 0.
ZIV_EXPORT int ziv_parse_cmdline(int argc, char** argv, const ziv_cmdline_desc* desc);
// Output name of the line (last one wins), or null.
ZIV_EXPORT const char* ziv_get_cmdline_out(int argc, char** argv, const ziv_cmdline_desc* desc);
// Appends the line's inputs (paired mode: as in-place pairs).
ZIV_EXPORT void ziv_get_cmdline_input(int argc, char** argv, const ziv_cmdline_desc* desc);

// Value of the first occurrence of `option` ("-o x") or `prefix` ("-ox",
// "-o x"); either may be null. Null when absent.
ZIV_EXPORT const char* ziv_get_cmdline_filename(int argc, char** argv, const char* option, const char* prefix);
// Last existing regular file argument not an option nor a value of one.
ZIV_EXPORT const char* ziv_get_cmdline_single_input(int argc, char** argv, ziv_arg_pred_fn takes_value);
// Records the pair (input, output); equal names mark the edit in place. 0.
ZIV_EXPORT int ziv_parse_single_in2out_cmd(const char* in_name, const char* out_name, ziv_trace_cmd* cmd);
// Records every readable non-option argument as modified in place. 0.
ZIV_EXPORT int ziv_parse_simple_paired_cmd(int argc, char** argv, ziv_trace_cmd* cmd);

// 1 when `arg` begins with "@" or "--via=".
ZIV_EXPORT int ziv_is_response_arg(const char* arg);
// Deletes backslashes and turns CR, tab and LF into spaces, in place.
ZIV_EXPORT void ziv_normalize_response_text(char* text);

}  // extern "C"

// The vector a parser scans: the process's own, or one with its response
// files expanded, released at the end of the parser call. An expanded line
// is what the command really was, so it is recorded as the row's command.
class ziv_scanned_argv {
public:
    ziv_scanned_argv(int argc, char** argv, ziv_trace_cmd* row) : own_(argv), count_(argc)
    {
        argv_ = ziv_expand_argv(argc, argv, &count_);
        if (expanded() && row != nullptr) {
            ziv_parse_cmd_default(count_, argv_, row);
        }
    }
    ~ziv_scanned_argv()
    {
        if (argv_ != own_ && argv_ != nullptr) {
            ziv_freeargv(argv_);
            free(argv_);
        }
    }
    ziv_scanned_argv(const ziv_scanned_argv&) = delete;
    ziv_scanned_argv& operator=(const ziv_scanned_argv&) = delete;

    bool expanded() const { return argv_ != own_; }
    int count() const { return count_; }
    char** argv() const { return argv_; }

private:
    char** own_;
    char** argv_;
    int count_;
};
