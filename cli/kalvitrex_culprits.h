// Why two builds of the same tree differ: each differing output traced back
// through the recorded inputs of the commands that made it, to the places
// where the difference starts.
#pragma once

#include <string>
#include <vector>

#include "kalvitrex_db.h"

namespace kvx {

// How check and its reports show a traced command: the one place to change
// when commands are shown another way.
std::string command_text(const command_row& c);

struct shown_command {
    std::string text;                // shell-quoted, for people
    std::vector<std::string> argv;   // exactly as recorded, for machines
    std::string dir;                 // absolute
    bool operator==(const shown_command& o) const { return text == o.text && dir == o.dir; }
};

// Where a difference starts.
struct culprit {
    enum kind_t { command, file } kind = command;
    // command: it read identical inputs in both builds (as recorded) and
    // made different outputs, or it ran in one build only.
    shown_command cmd;
    std::vector<std::string> outputs;  // the differing files it made itself
    // file: it differs, and no traced command made it (absolute path).
    std::string path;
    std::vector<shown_command> read_by;  // the traced commands that read it
};

// An output that differs only because something it was made from differs.
struct consequence {
    std::string path;  // absolute
    shown_command made_by;
    std::vector<size_t> culprits;  // indexes into analysis::culprits
};

struct analysis {
    std::vector<culprit> culprits;
    std::vector<consequence> consequences;
};

// `differing` are the absolute paths of the files the two builds left with
// different contents, in the order the second build wrote them (files no
// traced command made keep it: the first of them is likely where the others
// come from); `first` and `second` their databases.
analysis find_culprits(const build_data& first, const build_data& second, const std::vector<std::string>& differing);

}  // namespace kvx
