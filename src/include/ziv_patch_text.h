// Reading the file headers out of a patch: unified diffs ("--- old" then
// "+++ new"), context diffs ("*** old" then "--- new"), names quoted the
// way git and diff quote them, and hunk bodies skipped by their line counts
// so that a removed line "-- x" is never taken for a header. Works on any
// bytes: binary, truncated or hostile text only yields fewer headers.
#pragma once

#include <cstddef>
#include <sys/types.h>

// A name is kept only when it fits a path.
constexpr size_t ZIV_PATCH_NAME_MAX = 4096;
// Bytes of one line that are looked at; the rest of a longer line is only
// counted past.
constexpr size_t ZIV_PATCH_LINE_MAX = 16384;

// Called for each file header: the old and the new name, each
// NUL-terminated, or null when absent ("/dev/null", missing, unreadable).
// A nonzero result stops the scan.
typedef int (*ziv_patch_header_fn)(void* context, const char* old_name, const char* new_name);

class ziv_patch_scanner {
public:
    ziv_patch_scanner(ziv_patch_header_fn on_header, void* context) : on_header_(on_header), context_(context) {}

    // One line without its line feed, at most ZIV_PATCH_LINE_MAX bytes of it.
    // False once the callback asked to stop.
    bool line(const char* text, size_t length);
    bool stopped() const { return stopped_; }

private:
    enum class pending { none, unified_old, context_old };

    bool in_hunk(const char* text, size_t length);
    void header(const char* old_name, const char* new_name);

    ziv_patch_header_fn on_header_;
    void* context_;
    pending pending_ = pending::none;
    bool pending_named_ = false;
    char pending_name_[ZIV_PATCH_NAME_MAX] = {};
    char name_[ZIV_PATCH_NAME_MAX] = {};
    long old_left_ = 0;  // lines still to come in the current unified hunk
    long new_left_ = 0;
    bool stopped_ = false;
};

// Scans a patch held in memory (any bytes). The number of headers found.
int ziv_scan_patch_text(const char* data, size_t length, ziv_patch_header_fn on_header, void* context);

// Scans at most `limit` bytes of an open file with positioned reads, from
// offset 0: the file position is left where it was, so a descriptor the
// program still reads from loses nothing. The number of headers found, or
// -1 when the file cannot be read.
int ziv_scan_patch_fd(int fd, off_t limit, ziv_patch_header_fn on_header, void* context);

// The file name in the rest of a header line, into `out` (NUL-terminated,
// `size` bytes): a double-quoted name with C escapes decoded, or the text
// up to the tab before a time stamp, or else up to the first blank. False
// for no name: none written, "/dev/null", not fitting, an unclosed quote, an
// escaped NUL.
bool ziv_patch_header_name(const char* text, size_t length, char* out, size_t size);
