// kalvitrex diff DB1 DB2: the files two builds made differently, in the order
// their producing commands started.
#include <algorithm>
#include <cstdio>
#include <map>
#include <tuple>

#include "kalvitrex_commands.h"
#include "kalvitrex_common.h"
#include "kalvitrex_db.h"

namespace kvx {

const char* const k_diff_help =
    "Usage: kalvitrex diff DB1 DB2\n"
    "\n"
    "Compares two builds of the same sources: lists every file that both\n"
    "builds made but with different contents, each followed by the command\n"
    "that made it in DB2 (quoted so that a shell runs exactly its arguments),\n"
    "earliest producers first. Files are matched by their path below each\n"
    "build's top directory, so the two builds may run in different places.\n"
    "Exit status: 0 no difference, 1 differences, 2 error.\n"
    "\n"
    "Options:\n"
    "  -h, --help  this text\n";

namespace {

struct made_file {
    const file_row* row;
    const command_row* producer;
};

// The last version of each file a command of the build made, by its path
// below the build's top directory.
std::map<std::string, made_file> made_files(const build_data& b)
{
    std::string root = b.root_dir();
    std::map<std::string, made_file> out;
    for (const auto* rows : {&b.targets, &b.sources}) {
        for (const auto& [id, f] : *rows) {
            if (f.command == 0) {
                continue;  // recorded as an input, not made by the build
            }
            std::string key = relative_to(f.path, root);
            auto it = out.find(key);
            const command_row* c = b.command(f.command);
            if (it == out.end()) {
                out.emplace(key, made_file{&f, c});
                continue;
            }
            // The newest row is the file's final state; rows of the two
            // tables compare by their producers' order.
            int64_t old_order = it->second.producer ? it->second.producer->id : 0;
            int64_t new_order = c ? c->id : 0;
            if (new_order > old_order || (new_order == old_order && it->second.row->table == f.table &&
                                          f.id > it->second.row->id)) {
                it->second = made_file{&f, c};
            }
        }
    }
    return out;
}

}  // namespace

int diff_command(const args& a)
{
    std::vector<std::string> dbs;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == "-h" || a[i] == "--help") {
            fputs(k_diff_help, stdout);
            return 0;
        }
        if (a[i] == "--") {
            dbs.insert(dbs.end(), a.begin() + static_cast<long>(i) + 1, a.end());
            break;
        }
        if (a[i].size() > 1 && a[i][0] == '-') {
            throw user_error("diff: unknown option " + a[i] + " (see kalvitrex diff --help)");
        }
        dbs.push_back(a[i]);
    }
    if (dbs.size() != 2) {
        throw user_error("diff: give two databases (see kalvitrex diff --help)");
    }
    std::string schema = find_layout().schema;
    database db1 = database::open_existing(dbs[0], schema);
    database db2 = database::open_existing(dbs[1], schema);
    build_data b1 = load_build(db1);
    build_data b2 = load_build(db2);
    auto m1 = made_files(b1);
    auto m2 = made_files(b2);

    struct difference {
        std::string key;
        const made_file* second;
    };
    std::vector<difference> diffs;
    size_t common = 0, only1 = 0, only2 = 0;
    for (const auto& [key, f1] : m1) {
        auto it = m2.find(key);
        if (it == m2.end()) {
            ++only1;
            continue;
        }
        ++common;
        if (f1.row->checksum != it->second.row->checksum) {
            diffs.push_back({key, &it->second});
        }
    }
    for (const auto& [key, f2] : m2) {
        only2 += m1.count(key) == 0 ? 1 : 0;
    }
    // Earliest producer first: where the second build started to differ.
    auto order = [](const difference& d) {
        const command_row* c = d.second->producer;
        return std::make_tuple(c == nullptr, c ? c->start_time : std::string(), c ? c->id : 0, d.key);
    };
    std::stable_sort(diffs.begin(), diffs.end(),
                     [&](const difference& x, const difference& y) { return order(x) < order(y); });
    for (const auto& d : diffs) {
        printf("%s\n", d.key.c_str());
        const command_row* c = d.second->producer;
        if (c != nullptr) {
            printf("    made by: %s\n    in: %s\n", shell_command(c->argv).c_str(), c->dir.c_str());
        } else {
            printf("    made by: (command %lld, not recorded)\n", static_cast<long long>(d.second->row->command));
        }
    }
    fprintf(stderr, "kalvitrex: %zu of %zu files made by both builds differ; %zu only in %s, %zu only in %s\n",
            diffs.size(), common, only1, dbs[0].c_str(), only2, dbs[1].c_str());
    return diffs.empty() ? 0 : 1;
}

}  // namespace kvx
