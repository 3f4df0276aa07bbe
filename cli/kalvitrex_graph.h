// The file dependency graph of a build. One node per file version: rows of
// different tables with the same path and digest (a generated header that is
// a target of one command and a header of the next compilation) are one node,
// so dependencies run through them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "kalvitrex_db.h"

namespace kvx {

enum node_kind : unsigned { kind_source = 1, kind_header = 2, kind_target = 4 };

struct file_node {
    std::string path;
    std::string checksum;
    unsigned kinds = 0;
    std::vector<size_t> dependants;    // files made from this one
    std::vector<size_t> dependencies;  // files this one is made from
};

struct file_graph {
    std::vector<file_node> nodes;
    std::map<std::pair<file_table, int64_t>, size_t> node_of_row;
};

file_graph build_graph(const build_data& b);

// Every node that depends on one of `start`, directly or transitively
// (the start nodes themselves only when a cycle leads back to them).
std::vector<size_t> dependants_of(const file_graph& g, const std::vector<size_t>& start);

}  // namespace kvx
