// Parsers of the tools that rewrite finished binaries: strip, objcopy, the
// elfutils tools, elfedit, dwz, debugedit and sepdebugcrcfix. A file such a
// tool writes anew is an (input, output) pair or an output; a file it
// rewrites in place is the pair (file, file) with the in-place flag, so that
// a run that leaves it as it was records no new file.
#pragma once

#include "ziv_common.h"
#include "ziv_trace.h"

extern "C" {

// strip [-o out] files: one new file, or every file stripped in place.
ZIV_EXPORT int ziv_parse_strip_cmd(int argc, char** argv, ziv_trace_cmd* row);
// dwz: as strip; with -m the common file is an output depending on every
// file dwz rewrote.
ZIV_EXPORT int ziv_parse_dwz_cmd(int argc, char** argv, ziv_trace_cmd* row);
// eu-elfcompress: as strip.
ZIV_EXPORT int ziv_parse_eu_elfcompress_cmd(int argc, char** argv, ziv_trace_cmd* row);
// eu-strip [-o out] [-f debug] file: the stripped file and the debug file.
ZIV_EXPORT int ziv_parse_eu_strip_cmd(int argc, char** argv, ziv_trace_cmd* row);
// eu-unstrip [-o out | -d dir] stripped debug.
ZIV_EXPORT int ziv_parse_eu_unstrip_cmd(int argc, char** argv, ziv_trace_cmd* row);
// objcopy in [out]: a new file, or one rewritten in place, with the files
// it adds (sections, debug link) as inputs and the sections it dumps as
// outputs.
ZIV_EXPORT int ziv_parse_objcopy_cmd(int argc, char** argv, ziv_trace_cmd* row);
// elfedit files: every file edited in place.
ZIV_EXPORT int ziv_parse_elfedit_cmd(int argc, char** argv, ziv_trace_cmd* row);
// sepdebugcrcfix debug-dir files: every file's debug link fixed in place.
ZIV_EXPORT int ziv_parse_sepdebugcrcfix_cmd(int argc, char** argv, ziv_trace_cmd* row);
// debugedit [options] file: the file rewritten in place.
ZIV_EXPORT int ziv_parse_debugedit_cmd(int argc, char** argv, ziv_trace_cmd* row);

}  // extern "C"
