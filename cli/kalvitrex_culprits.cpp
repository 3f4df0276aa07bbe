#include "kalvitrex_culprits.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "kalvitrex_common.h"

namespace kvx {

std::string command_text(const command_row& c)
{
    return c.argv.empty() ? c.log : shell_command(c.argv);
}

namespace {

using row_key = std::pair<file_table, int64_t>;

// One build, indexed for the questions below.
struct build_index {
    const build_data& b;
    std::map<row_key, std::vector<row_key>> deps;
    std::map<std::string, std::vector<const file_row*>> rows_of;  // by path, every table

    explicit build_index(const build_data& data) : b(data)
    {
        for (const relation& r : b.relations) {
            deps[{r.from_table, r.from}].push_back({r.to_table, r.to});
        }
        for (const auto* table : {&b.sources, &b.headers, &b.targets}) {
            for (const auto& [id, f] : *table) {
                rows_of[f.path].push_back(&f);
            }
        }
    }

    // The row a command made with these contents, the latest maker's; null
    // when no traced command made them. Versions are matched across tables:
    // a generated header is one command's target and the next one's header.
    const file_row* made(const std::string& path, const std::string* checksum) const
    {
        auto it = rows_of.find(path);
        const file_row* best = nullptr;
        for (const file_row* f : it == rows_of.end() ? std::vector<const file_row*>() : it->second) {
            if (f->command == 0 || (checksum != nullptr && f->checksum != *checksum)) {
                continue;
            }
            if (best == nullptr || std::make_pair(f->command, f->id) > std::make_pair(best->command, best->id)) {
                best = f;
            }
        }
        return best;
    }

    // What the command that made `r` read for it, by path: the files `r`
    // depends on, and for the sources among them the headers they include.
    std::map<std::string, const file_row*> inputs(const file_row& r) const
    {
        std::map<std::string, const file_row*> in;
        auto add = [&](const row_key& k, bool with_headers) {
            const file_row* d = b.find(k.first, k.second);
            if (d == nullptr) {
                return;
            }
            in[d->path] = d;
            auto h = deps.find(k);
            if (!with_headers || k.first != file_table::source || h == deps.end()) {
                return;
            }
            for (const row_key& hk : h->second) {
                if (hk.first == file_table::header) {
                    if (const file_row* hd = b.find(hk.first, hk.second)) {
                        in[hd->path] = hd;
                    }
                }
            }
        };
        auto it = deps.find({r.table, r.id});
        for (const row_key& k : it == deps.end() ? std::vector<row_key>() : it->second) {
            add(k, true);
        }
        return in;
    }

    shown_command shown(int64_t command) const
    {
        if (const command_row* c = b.command(command)) {
            return {command_text(*c), c->argv, c->dir};
        }
        return {"(command " + std::to_string(command) + ", not recorded)", {}, ""};
    }
};

class tracer {
public:
    tracer(const build_data& first, const build_data& second, const std::vector<std::string>& differing)
        : one_(first), two_(second), differing_(differing.begin(), differing.end())
    {
    }

    analysis run(const std::vector<std::string>& differing)
    {
        // Earliest maker first, files no command made before them in the
        // caller's order: the culprits then come in the order the build met
        // them.
        std::vector<std::pair<int64_t, std::string>> order;
        for (const std::string& p : differing) {
            const file_row* m = two_.made(p, nullptr);
            order.push_back({m != nullptr ? m->command : 0, p});
        }
        std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [id, path] : order) {
            const file_row* m1 = one_.made(path, nullptr);
            const file_row* m2 = two_.made(path, nullptr);
            std::set<size_t> from = explain(path, m1, m2);
            if (is_own_culprit(path, from)) {
                continue;
            }
            const file_row* m = m2 != nullptr ? m2 : m1;
            consequence c{path, (m2 != nullptr ? two_ : one_).shown(m->command), {from.begin(), from.end()}};
            out_.consequences.push_back(std::move(c));
        }
        for (culprit& c : out_.culprits) {
            if (c.kind == culprit::file) {
                c.read_by = readers(c.path);
            }
        }
        return std::move(out_);
    }

private:
    build_index one_, two_;
    std::set<std::string> differing_;
    analysis out_;
    std::map<std::tuple<std::string, const file_row*, const file_row*>, std::set<size_t>> memo_;
    std::set<std::tuple<std::string, const file_row*, const file_row*>> open_;

    bool is_own_culprit(const std::string& path, const std::set<size_t>& from) const
    {
        for (size_t i : from) {
            const culprit& c = out_.culprits[i];
            if ((c.kind == culprit::file && c.path == path) ||
                (c.kind == culprit::command &&
                 std::find(c.outputs.begin(), c.outputs.end(), path) != c.outputs.end())) {
                return true;
            }
        }
        return false;
    }

    size_t file_culprit(const std::string& path)
    {
        for (size_t i = 0; i < out_.culprits.size(); ++i) {
            if (out_.culprits[i].kind == culprit::file && out_.culprits[i].path == path) {
                return i;
            }
        }
        culprit c;
        c.kind = culprit::file;
        c.path = path;
        out_.culprits.push_back(std::move(c));
        return out_.culprits.size() - 1;
    }

    size_t command_culprit(const shown_command& cmd, const std::string& output)
    {
        size_t i = 0;
        while (i < out_.culprits.size() && !(out_.culprits[i].kind == culprit::command && out_.culprits[i].cmd == cmd)) {
            ++i;
        }
        if (i == out_.culprits.size()) {
            culprit c;
            c.cmd = cmd;
            out_.culprits.push_back(std::move(c));
        }
        std::vector<std::string>& outs = out_.culprits[i].outputs;
        if (differing_.count(output) != 0 && std::find(outs.begin(), outs.end(), output) == outs.end()) {
            outs.push_back(output);
        }
        return i;
    }

    // The culprits of the version of `path` that m1 and m2 (the rows the
    // builds made it as, or null) hold.
    std::set<size_t> explain(const std::string& path, const file_row* m1, const file_row* m2)
    {
        auto key = std::make_tuple(path, m1, m2);
        if (auto it = memo_.find(key); it != memo_.end()) {
            return it->second;
        }
        if (!open_.insert(key).second) {
            return {};  // a loop through in-place updates: nothing new there
        }
        std::set<size_t> from;
        if (m1 == nullptr && m2 == nullptr) {
            from.insert(file_culprit(path));
        } else if (m1 == nullptr || m2 == nullptr) {
            // Made by a traced command in one build only.
            from.insert(command_culprit((m2 != nullptr ? two_ : one_).shown((m2 != nullptr ? m2 : m1)->command), path));
        } else {
            auto in1 = one_.inputs(*m1), in2 = two_.inputs(*m2);
            for (const auto& [p, f1] : in1) {
                auto it = in2.find(p);
                if (it == in2.end() || it->second->checksum == f1->checksum) {
                    continue;
                }
                auto sub = explain(p, one_.made(p, &f1->checksum), two_.made(p, &it->second->checksum));
                from.insert(sub.begin(), sub.end());
            }
            // Identical inputs (or inputs that differ only in name, like a
            // temporary file's): the difference starts in this command.
            if (from.empty()) {
                from.insert(command_culprit(two_.shown(m2->command), path));
            }
        }
        open_.erase(key);
        memo_[key] = from;
        return from;
    }

    std::vector<shown_command> readers(const std::string& path) const
    {
        std::vector<shown_command> out;
        for (const build_index* ix : {&two_, &one_}) {
            for (const auto* table : {&ix->b.targets, &ix->b.sources}) {
                for (const auto& [id, f] : *table) {
                    if (f.command == 0 || ix->inputs(f).count(path) == 0) {
                        continue;
                    }
                    shown_command c = ix->shown(f.command);
                    if (std::find(out.begin(), out.end(), c) == out.end()) {
                        out.push_back(c);
                    }
                }
            }
        }
        return out;
    }
};

}  // namespace

analysis find_culprits(const build_data& first, const build_data& second, const std::vector<std::string>& differing)
{
    return tracer(first, second, differing).run(differing);
}

}  // namespace kvx
