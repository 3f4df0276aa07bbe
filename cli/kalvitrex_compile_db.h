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
    std::string output;  // absolute
};

// One entry per compiled source (the newest compilation of it). A source
// counts when a target depends on it and it is a compiler input by its
// suffix; the entry belongs to the outermost compiler driver above the
// producing command whose command line names the source, so the compiler
// proper and assembler a driver starts fold into it and their temporary
// files drop out.
std::vector<compile_entry> compile_entries(const build_data& b);
// `lossy` is set when a name had to be written with non-UTF-8 bytes replaced.
std::string compile_commands_json(const std::vector<compile_entry>& entries, bool* lossy);

}  // namespace kvx
