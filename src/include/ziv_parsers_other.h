// Parsers of copies (cp, mv, ln, install), nasm, perl-driven packaging
// steps, the kernel's build helpers and patch.
#pragma once

#include "ziv_common.h"
#include "ziv_trace.h"

extern "C" {

// cp, mv, ln, install with one source and one destination: programs,
// libraries and objects copied under a new name, and stripped copies.
ZIV_EXPORT int ziv_prase_cp_cmd(int argc, char** argv, ziv_trace_cmd* row);  // spelled so

// nasm -o out src, or nasm src writing the name nasm derives.
ZIV_EXPORT int ziv_parse_nasm_cmd(int argc, char** argv, ziv_trace_cmd* row);
// 1 when `arg` is a nasm option whose next argument is its value.
ZIV_EXPORT int ziv_nasm_ignore_param_value(const char* arg);

// perl running the kernel's sign-file or dh_strip_nondeterminism.
ZIV_EXPORT int ziv_parse_perl_cmd(int argc, char** argv, ziv_trace_cmd* row);
// perl ./scripts/sign-file hash key cert module: the module signed.
ZIV_EXPORT int ziv_parse_sign_file_cmd(int argc, char** argv, ziv_trace_cmd* row);
// perl -w /usr/bin/dh_strip_nondeterminism: the files under ./debian it
// normalises, each in place.
ZIV_EXPORT int ziv_parse_dh_strip_cmd(int argc, char** argv, ziv_trace_cmd* row);
// The files under `dir` that dh_strip_nondeterminism normalises (archives,
// message catalogs, EPUB documents, recognised by their content), as
// in-place pairs in directory order; null when there are none. Reads the
// tree itself: no shell, no command, no file written.
ZIV_EXPORT ziv_trace_paired_file* ziv_get_cmd_for_dh_strip(const char* dir);

// .../arch/x86/boot/tools/build inputs... image.
ZIV_EXPORT int ziv_parse_build_cmd(int argc, char** argv, ziv_trace_cmd* row);
// pesign -i in -o out.
ZIV_EXPORT int ziv_parse_pesign_cmd(int argc, char** argv, ziv_trace_cmd* row);
// recordmcount, sortextable: every file argument edited in place.
ZIV_EXPORT int ziv_parse_recordmcount_cmd(int argc, char** argv, ziv_trace_cmd* row);
ZIV_EXPORT int ziv_parse_sortextable_cmd(int argc, char** argv, ziv_trace_cmd* row);

// patch: the files a patch changes, as sources made from the patch file.
// The patch is read where it lies, never from the program's input stream.
ZIV_EXPORT int ziv_parse_patch_cmd(int argc, char** argv, ziv_trace_cmd* row);

}  // extern "C"
