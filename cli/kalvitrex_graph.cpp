#include "kalvitrex_graph.h"

#include <algorithm>

namespace kvx {

file_graph build_graph(const build_data& b)
{
    file_graph g;
    std::map<std::pair<std::string, std::string>, size_t> by_identity;
    auto add = [&](const std::map<int64_t, file_row>& rows, unsigned kind) {
        for (const auto& [id, f] : rows) {
            auto key = std::make_pair(f.path, f.checksum);
            auto it = by_identity.find(key);
            size_t n;
            if (it == by_identity.end()) {
                n = g.nodes.size();
                g.nodes.push_back({f.path, f.checksum, 0, {}, {}});
                by_identity.emplace(key, n);
            } else {
                n = it->second;
            }
            g.nodes[n].kinds |= kind;
            g.node_of_row.emplace(std::make_pair(f.table, id), n);
        }
    };
    add(b.sources, kind_source);
    add(b.headers, kind_header);
    add(b.targets, kind_target);
    for (const relation& r : b.relations) {
        auto from = g.node_of_row.find({r.from_table, r.from});
        auto to = g.node_of_row.find({r.to_table, r.to});
        if (from == g.node_of_row.end() || to == g.node_of_row.end() || from->second == to->second) {
            continue;
        }
        g.nodes[to->second].dependants.push_back(from->second);
        g.nodes[from->second].dependencies.push_back(to->second);
    }
    for (auto& n : g.nodes) {
        for (auto* v : {&n.dependants, &n.dependencies}) {
            std::sort(v->begin(), v->end());
            v->erase(std::unique(v->begin(), v->end()), v->end());
        }
    }
    return g;
}

std::vector<size_t> dependants_of(const file_graph& g, const std::vector<size_t>& start)
{
    std::vector<bool> seen(g.nodes.size(), false);
    std::vector<size_t> todo = start;
    std::vector<size_t> out;
    while (!todo.empty()) {
        size_t n = todo.back();
        todo.pop_back();
        for (size_t d : g.nodes[n].dependants) {
            if (!seen[d]) {
                seen[d] = true;
                out.push_back(d);
                todo.push_back(d);
            }
        }
    }
    return out;
}

}  // namespace kvx
