#include "kalvitrex_compile_db.h"

#include <algorithm>
#include <map>

#include "kalvitrex_common.h"
#include "ziv_file_util.h"

namespace kvx {

namespace {

// What a compiler takes as its source, by the same suffix table the library
// classifies files with.
bool is_compiled_source(const std::string& name)
{
    size_t slash = name.rfind('/');
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return false;
    }
    std::string suffix = name.substr(dot);
    for (const ziv_file_suffix& s : g_ziv_file_suffix) {
        if (suffix == s.suffix) {
            switch (s.type) {
            case ZIV_FILE_C_SOURCE:
            case ZIV_FILE_FORTRAN:
            case ZIV_FILE_PREPROCESSED:
            case ZIV_FILE_ASM:
            case ZIV_FILE_VRN_SOURCE:
                return true;
            default:
                return false;
            }
        }
    }
    return false;
}

// The command an entry belongs to, or 0 when none of the candidates names
// the source.
int64_t owning_command(const build_data& b, int64_t producer, const std::string& source_name)
{
    std::vector<const command_row*> chain;
    for (const command_row* c = b.command(producer); c != nullptr && chain.size() < 10000;
         c = c->parent != 0 && c->parent != c->id ? b.command(c->parent) : nullptr) {
        chain.push_back(c);
    }
    if (chain.empty()) {
        return 0;
    }
    std::vector<const command_row*> drivers;
    for (const command_row* c : chain) {
        if (is_compiler_driver(tool_base_name(c->log))) {
            drivers.push_back(c);
        }
    }
    const std::vector<const command_row*>& candidates = drivers.empty() ? chain : drivers;
    if (drivers.empty()) {
        // No driver above: the producing command itself (nasm, armcc, ...).
        return command_log_has_argument(chain.front()->log, source_name) ? chain.front()->id : 0;
    }
    for (auto it = candidates.rbegin(); it != candidates.rend(); ++it) {
        if (command_log_has_argument((*it)->log, source_name)) {
            return (*it)->id;
        }
    }
    return 0;
}

// The command log loses the boundaries of arguments holding blanks; the
// names the build recorded (source, output) are put back together.
void rejoin(std::vector<std::string>& args, const std::string& name)
{
    if (name.find(' ') == std::string::npos) {
        return;
    }
    size_t parts = split_command_log(name).size();
    for (size_t i = 0; i + parts <= args.size(); ++i) {
        std::string joined = args[i];
        for (size_t k = 1; k < parts; ++k) {
            joined += " " + args[i + k];
        }
        if (joined == name) {
            args[i] = joined;
            args.erase(args.begin() + static_cast<long>(i) + 1, args.begin() + static_cast<long>(i + parts));
        }
    }
}

}  // namespace

std::vector<compile_entry> compile_entries(const build_data& b)
{
    std::map<std::string, compile_entry> by_file;
    for (const relation& r : b.relations) {
        if (r.from_table != file_table::target || r.to_table != file_table::source) {
            continue;
        }
        const file_row* target = b.find(file_table::target, r.from);
        const file_row* source = b.find(file_table::source, r.to);
        if (target == nullptr || source == nullptr || !is_compiled_source(source->name)) {
            continue;
        }
        int64_t producer = target->command != 0 ? target->command : target->trace_command;
        int64_t owner = owning_command(b, producer, source->name);
        if (owner == 0) {
            continue;
        }
        const command_row* c = b.command(owner);
        auto it = by_file.find(source->path);
        if (it != by_file.end() && it->second.command > owner) {
            continue;
        }
        compile_entry e{owner, c->dir, split_command_log(c->log), source->path, target->path};
        rejoin(e.arguments, source->name);
        rejoin(e.arguments, target->name);
        if (it != by_file.end() && it->second.command == owner) {
            // One compilation with several outputs: keep the first output.
            continue;
        }
        by_file[source->path] = std::move(e);
    }
    std::vector<compile_entry> out;
    for (auto& [path, e] : by_file) {
        out.push_back(std::move(e));
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const compile_entry& x, const compile_entry& y) { return x.command < y.command; });
    return out;
}

std::string compile_commands_json(const std::vector<compile_entry>& entries, bool* lossy)
{
    std::string out = "[";
    for (size_t i = 0; i < entries.size(); ++i) {
        const compile_entry& e = entries[i];
        out += i == 0 ? "\n" : ",\n";
        out += "  {\n    \"directory\": " + json_quote(e.directory, lossy) + ",\n    \"arguments\": [";
        for (size_t k = 0; k < e.arguments.size(); ++k) {
            out += (k == 0 ? "" : ", ") + json_quote(e.arguments[k], lossy);
        }
        out += "],\n    \"file\": " + json_quote(e.file, lossy) + ",\n    \"output\": " + json_quote(e.output, lossy) +
               "\n  }";
    }
    out += entries.empty() ? "]\n" : "\n]\n";
    return out;
}

}  // namespace kvx
