// kalvitrex report: what a build database holds, its slowest commands, and
// the compilation database and dependency graph made from it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "kalvitrex_commands.h"
#include "kalvitrex_common.h"
#include "kalvitrex_compile_db.h"
#include "kalvitrex_db.h"
#include "kalvitrex_graph.h"

namespace kvx {

const char* const k_report_help =
    "Usage: kalvitrex report [--db PATH] [--top N] [--compile-commands FILE [--all]] [--dot FILE]\n"
    "\n"
    "Prints a summary of the build database and its slowest commands, each\n"
    "quoted so that a shell runs exactly its arguments.\n"
    "\n"
    "Options:\n"
    "  --db PATH                build database (default kalvitrex.db)\n"
    "  --top N                  how many of the slowest commands to list (default 10)\n"
    "  --compile-commands FILE  write the JSON compilation database that clang\n"
    "                           tools read: one entry per compile, with the exact\n"
    "                           arguments; sources that no longer exist and\n"
    "                           compiler probes left out\n"
    "  --all                    keep the entries of sources that no longer exist\n"
    "                           and of CMake's and Meson's compiler probes\n"
    "  --dot FILE               write the file dependency graph for Graphviz\n"
    "  -h, --help               this text\n";

namespace {

std::string display_path(const std::string& path, const std::string& root)
{
    return relative_to(path, root);
}

std::string dot_graph(const build_data& b)
{
    file_graph g = build_graph(b);
    std::string root = b.root_dir();
    std::string out = "digraph build {\n  rankdir=LR;\n  node [fontsize=10];\n";
    for (size_t i = 0; i < g.nodes.size(); ++i) {
        const file_node& n = g.nodes[i];
        const char* shape = (n.kinds & kind_target) ? "box" : (n.kinds & kind_header) ? "note" : "ellipse";
        out += "  n" + std::to_string(i) + " [label=" + dot_quote(display_path(n.path, root)) + ", shape=" + shape +
               "];\n";
    }
    // Edges run from what a file is made of to the file.
    for (size_t i = 0; i < g.nodes.size(); ++i) {
        for (size_t d : g.nodes[i].dependants) {
            out += "  n" + std::to_string(i) + " -> n" + std::to_string(d) + ";\n";
        }
    }
    out += "}\n";
    return out;
}

// The command for a one-line listing: whole arguments, as many as fit in
// about `max` characters, then how many were left out.
std::string shortened_command(const std::vector<std::string>& argv, size_t max)
{
    std::string out;
    for (size_t i = 0; i < argv.size(); ++i) {
        std::string word = i == 0 ? shell_command({argv[i]}) : shell_quote(argv[i]);
        if (i > 0 && out.size() + 1 + word.size() > max) {
            return out + " ... (" + counted(static_cast<long long>(argv.size() - i), "more argument", "more arguments") +
                   ")";
        }
        out += (i == 0 ? "" : " ") + word;
    }
    return out;
}

}  // namespace

int report_command(const args& a)
{
    std::string db_path = "kalvitrex.db";
    std::string compile_file, dot_file, top_text = "10";
    bool all = false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == "-h" || a[i] == "--help") {
            fputs(k_report_help, stdout);
            return 0;
        }
        if (a[i] == "--all") {
            all = true;
            continue;
        }
        if (option_value(a, i, "--db", db_path) || option_value(a, i, "--compile-commands", compile_file) ||
            option_value(a, i, "--dot", dot_file) || option_value(a, i, "--top", top_text)) {
            continue;
        }
        throw user_error("report: unexpected argument " + a[i] + " (see kalvitrex report --help)");
    }
    char* end = nullptr;
    long top = strtol(top_text.c_str(), &end, 10);
    if (top_text.empty() || *end != '\0' || top < 0) {
        throw user_error("report: --top takes a number, got '" + top_text + "'");
    }
    if (all && compile_file.empty()) {
        throw user_error("report: --all goes with --compile-commands FILE");
    }
    database db = database::open_existing(db_path, find_layout().schema);
    build_data b = load_build(db);

    // Outputs first: a failure leaves nothing half-written and no report.
    if (!compile_file.empty()) {
        write_compile_commands(b, compile_file, all);
    }
    if (!dot_file.empty()) {
        write_file_atomically(dot_file, dot_graph(b));
        fprintf(stderr, "kalvitrex: wrote the dependency graph to %s\n", dot_file.c_str());
    }

    long long finished = 0, total_ms = 0;
    std::string first, last;
    for (const auto& [id, c] : b.commands) {
        if (c.runtime_ms >= 0) {
            ++finished;
            total_ms += c.runtime_ms;
        }
        if (first.empty() || c.start_time < first) {
            first = c.start_time;
        }
        if (c.start_time > last) {
            last = c.start_time;
        }
    }
    printf("Build database %s\n", db_path.c_str());
    printf("  commands     %zu (%lld with a run time, %lld ms in all)\n", b.commands.size(), finished,
           total_ms);
    if (!b.commands.empty()) {
        printf("  started      %s to %s\n", first.c_str(), last.c_str());
    }
    printf("  directories  %lld\n", static_cast<long long>(db.scalar("SELECT count(*) FROM path_file_table")));
    printf("  tools        %lld\n", static_cast<long long>(db.scalar("SELECT count(*) FROM tool_file_table")));
    printf("  sources      %zu\n", b.sources.size());
    printf("  headers      %zu\n", b.headers.size());
    size_t made = 0;
    for (const auto& [id, f] : b.targets) {
        made += f.command != 0 ? 1 : 0;
    }
    printf("  targets      %zu (%zu made by the build, the others read by it)\n", b.targets.size(), made);
    printf("  relations    %zu\n", b.relations.size());

    std::vector<const command_row*> timed;
    for (const auto& [id, c] : b.commands) {
        if (c.runtime_ms >= 0) {
            timed.push_back(&c);
        }
    }
    std::stable_sort(timed.begin(), timed.end(),
                     [](const command_row* x, const command_row* y) { return x->runtime_ms > y->runtime_ms; });
    if (timed.size() > static_cast<size_t>(top)) {
        timed.resize(static_cast<size_t>(top));
    }
    if (!timed.empty()) {
        printf("\nSlowest commands (ms):\n");
        for (const command_row* c : timed) {
            printf("%10lld  %s\n", static_cast<long long>(c->runtime_ms), shortened_command(c->argv, 400).c_str());
        }
    }
    return 0;
}

}  // namespace kvx
