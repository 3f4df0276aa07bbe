// Header tracing from the files a compiling process opens ("ZIV_TRACE_HDEPS"
// "open" and "open-all"): the compiler parsers start it before main, the
// open family reports each successful open to it, and the end of the traced
// command writes what it saw.
#pragma once

#include "ziv_trace.h"

// What "ZIV_TRACE_HDEPS" asks of the opens: nothing, the headers outside
// system directories ("open", the counterpart of "mm"), or all headers
// ("open-all", the counterpart of "m").
enum class ziv_open_hdeps { off, user, all };
ziv_open_hdeps ziv_open_hdeps_mode();

// Prepares to observe this process's opens for the sources of its command
// line. `md_takes_file`: the line is a compiler proper's, where "-MD" and
// "-MMD" are followed by the dependency file (a driver's take nothing).
// Does nothing when the line names no source or memory cannot be reserved.
void ziv_hdeps_open_begin(int argc, char** argv, bool md_takes_file);
using ziv_main_fn = int (*)(int, char**, char**);
// Starts observing, when prepared: called last before main, so that the
// library's own reads at entry (digests of the inputs) are not the
// program's. The main to start: the program's, or one that notes the
// status the program exits with and then runs it.
ziv_main_fn ziv_hdeps_open_watch(ziv_main_fn main);
// From the open family, after an open that succeeded, while observing, and
// never for an open that came back into the library (the caller holds a
// ziv_reentry_guard). Adds no system call and no allocation; keeps errno.
void ziv_hdeps_open_seen(int dirfd, const char* path, int flags);
// Stops observing and writes every source's headers in one transaction.
void ziv_hdeps_open_finish(const ziv_trace_cmd* row);

// Routes the open family through ziv_hdeps_open_seen (true) or straight to
// the next definitions again (false). Called while the process has a single
// thread, before main and at its end.
void ziv_open_observe(bool on);

// The relations of one source to its headers, as both kinds of header
// tracing record them: the headers identified (digested when not yet),
// inserted when new, related to the source. `grouped` wraps each batch of
// writes in a transaction of its own; a caller that holds one passes false.
// The source's id, or a value below 1 when it could not be identified.
int ziv_record_source_heads(int pwd_id, const char* source, const char* source_digest, ziv_trace_file* headers,
                             bool grouped);
