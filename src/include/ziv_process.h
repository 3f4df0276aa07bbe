// Process ancestry and classification: what the parent and ancestors of the
// current process are, read from /proc, and the program-name lists.
#pragma once

#include <cstddef>
#include <sys/types.h>

#include "ziv_common.h"

// Path and content buffers of the /proc readers; contents are read into
// zeroed buffers of this size, at most one byte less, so always terminated.
constexpr size_t ZIV_PROC_BUF_SIZE = 4096;

extern "C" {

// Reads at most `length` bytes of "/proc/<pid>/<name>" with one read into
// `buffer`: bytes read, or -1 (path too long, cannot open).
ZIV_EXPORT ssize_t ziv_get_proc_info(pid_t pid, const char* name, char* buffer, size_t length);
// Executable path of `pid` ("/proc/<pid>/exe" link target) in `buffer`,
// terminated after the bytes read; null on failure. `size` is one less than
// the buffer.
ZIV_EXPORT char* ziv_get_proc_exec(pid_t pid, char* buffer, size_t size);
// Parent pid from "/proc/<pid>/stat": -1 path or field unreadable, 0 when
// the file cannot be opened.
ZIV_EXPORT pid_t ziv_get_ppid_by_proc(pid_t pid);

// 1 when `name` is one of the make programs, else 0.
ZIV_EXPORT int ziv_process_is_make(const char* name);
// 1 when `name` is one of the shells, else 0.
ZIV_EXPORT int ziv_process_is_shell(const char* name);
// 1 when `name` is one of the build drivers (gdb, ccache, ninja...), else 0.
ZIV_EXPORT int ziv_process_is_build_driver(const char* name);

// 1 when the real parent is a make program, shell, build driver or script,
// whose children deserve a command row even when not in the tool table.
ZIV_EXPORT int ziv_is_valid_parent(void);
// 1 when `pid` or an ancestor is a configure script or a test run.
ZIV_EXPORT int ziv_is_configure_or_test_process(pid_t pid);

}  // extern "C"
