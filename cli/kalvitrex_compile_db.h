// The JSON compilation database (compile_commands.json) from a traced build.
#pragma once

#include <string>
#include <vector>

#include "kalvitrex_db.h"

namespace kvx {

struct compile_entry {
    int64_t command = 0;
    std::string directory;
    std::vector<std::string> arguments;
    std::string file;    // absolute
    std::string output;  // absolute; empty when the compile writes nothing
};

// One entry per compile: every source a compiler driver (gcc, clang, ...,
// also behind ccache or distcc) was asked to compile gives one, whether the
// compile succeeded or not; its arguments are the exact vector, with the
// command's other input files left out (see cli/README.md for the rules).
// Entries equal in directory, file, output and arguments are one. A driver
// started by another driver or launcher is that one's own work and gives
// none. Other compilers (nasm, armcc, ...) give an entry for each source of
// an object they made. Entries whose source no longer exists are left out
// unless `keep_missing`.
std::vector<compile_entry> compile_entries(const build_data& b, bool keep_missing);
// `not_utf8` is set when a byte that is not UTF-8 had to be escaped.
std::string compile_commands_json(const std::vector<compile_entry>& entries, bool* not_utf8);
// Writes the file for `run` and `report`, with their messages on stderr.
void write_compile_commands(const build_data& b, const std::string& path, bool keep_missing);

}  // namespace kvx
