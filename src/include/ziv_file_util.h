// File identification for tracing: what a name on a command line is (type
// code, content type, digest), which programs are never traced, where a tool
// lives, and the small string helpers the parsers share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "ziv_common.h"

// Type codes stored in the `type`/`in_type` fields of trace file nodes;
// 0 there means "not yet classified".
enum ziv_file_type_code : int {
    ZIV_FILE_UNKNOWN = 0,
    ZIV_FILE_C_SOURCE = 1,       // C, C++, Objective-C and the like
    ZIV_FILE_FORTRAN = 2,        // Fortran source
    ZIV_FILE_HEADER = 3,
    ZIV_FILE_PREPROCESSED = 4,   // .i, .ii, ...
    ZIV_FILE_ASM = 5,            // assembler source
    ZIV_FILE_OBJECT = 6,
    ZIV_FILE_LIBRARY = 7,        // shared object or archive
    ZIV_FILE_PCH = 8,            // precompiled header
    ZIV_FILE_LD_SCRIPT = 9,      // linker script
    ZIV_FILE_DEPENDENCY = 10,    // .d dependency file
    ZIV_FILE_PATCH = 12,         // set by the patch parser, never from a name
    ZIV_FILE_VRN_SOURCE = 13,    // source of the vrnc compiler
    ZIV_FILE_TEXT = 14,          // unknown suffix, text content
    ZIV_FILE_LINK_LIBRARY = 15,  // -lname on a link line, set by the linker parser
    ZIV_FILE_OTHER = 16,
};

// Answers of ziv_get_file_type (what `file -b -L -i` would say, reduced).
enum ziv_content_type : int {
    ZIV_CONTENT_OTHER = 0,    // objects, executables, other binaries, failures
    ZIV_CONTENT_TEXT = 1,     // text/* : scripts, sources, linker scripts
    ZIV_CONTENT_LIBRARY = 2,  // ELF shared object or ar archive
};

// A digest is 64 lower-case hexadecimal characters; buffers hold one more
// byte for the terminator.
constexpr size_t ZIV_SHA256_HEX_LEN = 64;
constexpr size_t ZIV_SHA256_BUF_SIZE = ZIV_SHA256_HEX_LEN + 1;

struct ziv_file_suffix {
    const char* suffix;  // with its dot, compared exactly
    int type;            // ziv_file_type_code
};

constexpr int ZIV_FILE_SUFFIX_COUNT = 73;
constexpr int ZIV_TRACE_WHITE_COUNT = 65;

extern "C" {

// Suffix -> type code, searched in order, first exact match wins.
ZIV_EXPORT extern const ziv_file_suffix g_ziv_file_suffix[ZIV_FILE_SUFFIX_COUNT];

// --- Strings -------------------------------------------------------------

// New "<name><suffix>"; null for a null name or a formatting mismatch.
ZIV_EXPORT char* ziv_append_filename_suffix(const char* name, const char* suffix);
// New text: last path component of `name` with its last ".xxx" replaced by
// `suffix` (".o"); null without a dot in the last component.
ZIV_EXPORT char* ziv_change_filename_suffix(const char* name, const char* suffix);
// Runs `command` through /bin/sh with stdout to a private temporary file and
// reads one block of `block_size` bytes into `buffer`: 1 whole block, 0 less
// (what was read is in the buffer), -1 failure. `command` is a shell line:
// callers must quote any file name in it (see ziv_shell_quote).
ZIV_EXPORT int ziv_get_cmd_callback_from_tmpfile(const char* command, char* buffer, int block_size);
// Collapses every run of white space into one blank, in place.
ZIV_EXPORT void ziv_del_extra_space_char(char* text);
// The whole file as a new zero-terminated block (free() it); null when it
// cannot be opened or read, or is empty.
ZIV_EXPORT char* ziv_get_file_content(const char* path);

// --- Files ---------------------------------------------------------------

// SHA-256 of the file's contents as 64 lower-case hex characters, computed
// in the process. 0 on success (terminated when size > 64), -1 with the
// buffer emptied otherwise (size < 64, unreadable, not a regular file...).
// Adds its time to the current row's sha256_ms at log level 3; shared
// library only (ziv_sha256_file_hex is the same digest without accounting).
ZIV_EXPORT int ziv_get_sha256sum(const char* name, char* buffer, size_t size);
// 1 existing regular file; 0 option-like name ("#", "-", "@"), missing or
// other kind of file; -1 null name.
ZIV_EXPORT int ziv_check_input_valid(const char* name);
// Content type from the first bytes, symlinks followed: ziv_content_type.
ZIV_EXPORT int ziv_get_file_type(const char* name);
// Type code from the suffix; unknown suffix: 14 for text content, else 16.
ZIV_EXPORT int ziv_input_file_type(const char* name);
// 1 for the source-like type codes (1, 2, 3, 5, 9, 12, 13, 14), else 0.
ZIV_EXPORT int ziv_is_source_file(int type);

// --- Tracing support -------------------------------------------------------

// The white-list entry equal to `name` (never traced), or null.
ZIV_EXPORT const char* ziv_get_trace_white_cmd(const char* name);
// 1 when `name` begins with one of the system library directories.
ZIV_EXPORT int ziv_is_sys_file(const char* name);
// Absolute path of a program name (first `name_len` bytes of `name`) into
// `buffer`: "/..." unchanged, "a/b" realpath'ed, bare names searched in PATH
// (empty element = "."). 0 success, -1 failure.
ZIV_EXPORT int ziv_get_absolute_path(const char* name, size_t name_len, char* buffer, size_t size);
// 1 when `arg` equals one of the `n` strings of `table` exactly, else 0.
ZIV_EXPORT int ziv_match_namelist(int n, const char* const* table, const char* arg);
// Removes this library from LD_PRELOAD of the current process (the whole
// entry, directory included; other entries kept).
ZIV_EXPORT void ziv_recover_ldpreload(void);
// Forks and execve's `tool` with argv {tool, "<command_id>", argv[0..argc-1]}
// and LD_PRELOAD without this library; waits for it.
ZIV_EXPORT void ziv_forward_cmd_with_execve(int argc, char** argv, const char* tool, int command_id);
// Runs "LD_PRELOAD= <second> <first>" with /bin/sh, detached in the
// background; nothing happens when a text is null or `flag` is 0. Shared
// library only.
ZIV_EXPORT void ziv_trace_cmd_default(const char* first, int flag, const char* second);

}  // extern "C"

// --- Hidden helpers ------------------------------------------------------

// Trims in place: trailing blanks from `length` back, then one trailing
// newline; returns a pointer to the first non-blank character.
char* strstrip(char* text, size_t length);

// The whole of a regular file of 1 to `max_size` bytes as a new block with a
// terminating zero (free() it), its length in `*size`; null for anything
// else (missing, unreadable, a directory or a device, empty, too big). A
// FIFO is never opened.
char* ziv_read_bounded_file(const char* path, size_t max_size, size_t* size);

// Which SHA-256 compression to use; `automatic` picks the x86 SHA
// instructions when the CPU has them.
enum class ziv_sha256_impl { automatic, portable, shani };

// Whether this CPU can run the SHA-instruction compression.
bool ziv_sha256_have_shani();
// Digest of a memory block into `out` (65 bytes, terminated). False only
// when `impl` is shani and the CPU lacks it.
bool ziv_sha256_buffer_hex(const void* data, size_t len, char* out, ziv_sha256_impl impl = ziv_sha256_impl::automatic);
// Digest of a file's contents into `out` (size >= 64; terminated when
// size > 64). 0 success, -1 with out emptied. Never runs a command.
int ziv_sha256_file_hex(const char* name, char* out, size_t size, ziv_sha256_impl impl = ziv_sha256_impl::automatic);

// Shell-quotes `text` as one word ('...' with each ' written '\'') into
// `out`; false when it does not fit.
bool ziv_shell_quote(const char* text, char* out, size_t size);

// Waits for a child the library started, through interrupted waits; logs
// "waitpid error ..." when the child cannot be reaped.
void ziv_wait_child(pid_t child);
