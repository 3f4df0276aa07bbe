// The traced command: its row, its timing block, the parser signature, and
// the trace info record a parser fills with the command's files.
#pragma once

#include <cstdint>
#include <sys/time.h>

#include "ziv_common.h"

struct ziv_trace_cmd;
struct ziv_trace_info;

// Fills the trace info of `row` from the command line; the result is ignored.
typedef int (*ziv_trace_parse_fn)(int argc, char** argv, ziv_trace_cmd* row);

// Where a traced command's time goes. Timestamps come from the real
// gettimeofday only; the counters are milliseconds.
struct ziv_trace_time {
    struct timeval start;       // tracing of the command began
    struct timeval main_start;  // control passed to the program
    int32_t runtime_ms;         // main_start to exit
    int32_t total_ms;           // start to the timing row
    int32_t sha256_ms;          // digests (log level 3 only)
    int32_t sql_ms;             // statements (log level 3 only)
    int32_t dataid_ms;          // id look-ups
};

struct ziv_trace_cmd {
    const char* name;          // tool name, the key of the row
    ziv_trace_parse_fn parse;  // null: the command is recorded, nothing parsed
    int pwd_id;                // working directory in path_file_table
    int command_id;            // row in build_command_table; 0 = not recorded
    int excluded;              // 1: builds a configure test file
    ziv_trace_info* info;      // null until the parser creates it
    ziv_trace_time time;
};

// Digest text: 64 lower-case hexadecimal characters and the terminator;
// empty when the file was not digested.
constexpr int ZIV_TRACE_SHA256_SIZE = 65;

struct ziv_trace_file {
    char* name;  // owned copy, as written on the command line
    int type;    // file type code; 0 = not yet classified
    int id;      // database id; below 1 = not identified
    char sha256[ZIV_TRACE_SHA256_SIZE];
    ziv_trace_file* next;
};

struct ziv_trace_paired_file {
    char* in_name;   // owned copy or null
    char* out_name;  // owned copy or null; may equal in_name
    int unchanged;   // 1: in-place edit left the file as it was
    int in_type;
    int in_id;
    int out_id;
    char in_sha256[ZIV_TRACE_SHA256_SIZE];
    char out_sha256[ZIV_TRACE_SHA256_SIZE];
    ziv_trace_paired_file* next;
};

// Bits of ziv_trace_info::flags.
enum ziv_trace_flag : int {
    ZIV_TRACE_IN_PLACE = 1,       // an unchanged paired output is not recorded
    ZIV_TRACE_OUT_SOURCE = 2,     // outputs are sources, not targets
    ZIV_TRACE_REUSE_TARGET = 4,   // attribute an identical existing target
    ZIV_TRACE_LINK_PAIRED = 16,   // first output depends on every paired input
};

struct ziv_trace_info {
    int pwd_id;
    int command_id;
    int flags;
    ziv_trace_file* inputs;
    ziv_trace_paired_file* paired;
    ziv_trace_file* common_inputs;  // inputs every paired output depends on
    ziv_trace_file* outputs;        // the first one is the main output
};

extern "C" {

// The row chosen for this process; null while the process is not traced.
ZIV_EXPORT extern ziv_trace_cmd* g_ziv_trace_cmd;

// Starts timing: start = main_start = now (when the real clock is there),
// the five counters zeroed. Null is ignored.
ZIV_EXPORT void ziv_init_trace_time(ziv_trace_time* time);

// Trace info record and its lists.
ZIV_EXPORT int ziv_init_trace_info(const char* first_output, ziv_trace_cmd* row);
ZIV_EXPORT int ziv_append_trace_file(ziv_trace_file** list, const char* name);
ZIV_EXPORT int ziv_append_trace_paired_file(const char* in_name, const char* out_name, ziv_trace_paired_file** list);
ZIV_EXPORT ziv_trace_file* ziv_copy_trace_file(const char* name);
ZIV_EXPORT void ziv_free_trace_file(ziv_trace_file* list);
ZIV_EXPORT void ziv_free_trace_paired_file(ziv_trace_paired_file* list);
ZIV_EXPORT void ziv_free_trace_info(ziv_trace_info* info);
ZIV_EXPORT int ziv_outfile_is_test(const ziv_trace_info* info);

}  // extern "C"

// 1 when a node of `list` is named `name` (0 for a null name).
int trace_file_exist(const ziv_trace_file* list, const char* name);

// Milliseconds from `from` to `to`: seconds x 1000 plus microseconds / 1000,
// the division truncating toward zero (10.999999 s -> 11.0 s is 1 ms).
constexpr int32_t ziv_interval_ms(const timeval& from, const timeval& to)
{
    return static_cast<int32_t>((to.tv_sec - from.tv_sec) * 1000 + (to.tv_usec - from.tv_usec) / 1000);
}

// Now, from the real gettimeofday; false when it cannot be resolved.
bool ziv_real_now(timeval* now);

// Measures one piece of the tracing work and adds it to a counter.
class ziv_stopwatch {
public:
    // Takes the start time only when `active`.
    explicit ziv_stopwatch(bool active) : running_(active && ziv_real_now(&start_)) {}
    // Adds the elapsed milliseconds to `*counter` (null: nothing).
    void add_to(int32_t* counter) const
    {
        timeval now{};
        if (running_ && counter != nullptr && ziv_real_now(&now)) {
            *counter += ziv_interval_ms(start_, now);
        }
    }

private:
    timeval start_{};
    bool running_;
};
