// kalvitrex impact FILE: the targets that depend on a file, transitively.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "kalvitrex_commands.h"
#include "kalvitrex_common.h"
#include "kalvitrex_db.h"
#include "kalvitrex_graph.h"

namespace kvx {

const char* const k_impact_help =
    "Usage: kalvitrex impact [--db PATH] FILE\n"
    "\n"
    "Lists every target (object, archive, program, ...) that depends on FILE, a\n"
    "source or header (or a target), directly or through other files, as\n"
    "absolute paths in sorted order. Exits with 1 when the database does not\n"
    "know FILE.\n"
    "\n"
    "Options:\n"
    "  --db PATH   build database (default kalvitrex.db)\n"
    "  -h, --help  this text\n";

int impact_command(const args& a)
{
    std::string db_path = "kalvitrex.db";
    std::vector<std::string> files;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == "-h" || a[i] == "--help") {
            fputs(k_impact_help, stdout);
            return 0;
        }
        if (a[i] == "--") {
            files.insert(files.end(), a.begin() + static_cast<long>(i) + 1, a.end());
            break;
        }
        if (option_value(a, i, "--db", db_path)) {
            continue;
        }
        if (a[i].size() > 1 && a[i][0] == '-') {
            throw user_error("impact: unknown option " + a[i] + " (see kalvitrex impact --help)");
        }
        files.push_back(a[i]);
    }
    if (files.size() != 1) {
        throw user_error("impact: give exactly one FILE (see kalvitrex impact --help)");
    }
    database db = database::open_existing(db_path, find_layout().schema);
    build_data b = load_build(db);
    file_graph g = build_graph(b);

    // The file as the user names it, and with symbolic links resolved (the
    // build recorded its directories as getcwd gave them).
    std::set<std::string> wanted{normalize_path(files[0], current_dir())};
    if (char* r = realpath(files[0].c_str(), nullptr)) {
        wanted.insert(r);
        free(r);
    }
    std::vector<size_t> start;
    for (size_t i = 0; i < g.nodes.size(); ++i) {
        if (wanted.count(g.nodes[i].path) != 0) {
            start.push_back(i);
        }
    }
    if (start.empty()) {
        // A header is the usual question, and a build traced without header
        // tracing cannot answer it: say how to get the answer.
        bool any_header = std::any_of(g.nodes.begin(), g.nodes.end(),
                                      [](const auto& n) { return (n.kinds & kind_header) != 0; });
        fprintf(stderr, "kalvitrex: %s is not recorded in %s%s\n", files[0].c_str(), db_path.c_str(),
                any_header ? "" : " (it records no headers: trace the build with kalvitrex run --hdeps)");
        return 1;
    }
    std::set<std::string> targets;
    for (size_t n : dependants_of(g, start)) {
        if ((g.nodes[n].kinds & kind_target) != 0 && wanted.count(g.nodes[n].path) == 0) {
            targets.insert(g.nodes[n].path);
        }
    }
    for (const auto& t : targets) {
        printf("%s\n", t.c_str());
    }
    return 0;
}

}  // namespace kvx
