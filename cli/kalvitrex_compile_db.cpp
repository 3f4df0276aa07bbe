#include "kalvitrex_compile_db.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

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

// Driver options (gcc and clang) whose value is the next argument.
constexpr std::string_view k_value_options[] = {
    "-o", "-x", "-I", "-D", "-U", "-include", "-imacros", "-idirafter", "-iprefix", "-iwithprefix",
    "-iwithprefixbefore", "-isystem", "-isysroot", "-iquote", "-imultilib", "-imultiarch", "-isystem-after",
    "-iframework", "-cxx-isystem", "-include-pch", "-ivfsoverlay", "-MF", "-MT", "-MQ", "-MJ", "-L", "-l", "-T",
    "-u", "-z", "-e", "-A", "-B", "-G", "-V", "-b", "-F", "-aux-info", "-dumpbase", "-dumpbase-ext", "-dumpdir",
    "--param", "-wrapper", "-specs", "--sysroot", "-Xlinker", "-Xassembler", "-Xpreprocessor", "-Xclang", "-mllvm",
    "-Xanalyzer", "-Xopenmp-target", "-Xcuda-ptxas", "-Xcuda-fatbinary", "-arch", "-target", "-gcc-toolchain",
    "-resource-dir", "-serialize-diagnostics", "--include-directory", "--define-macro", "--undefine-macro",
    "--output", "--language", "--library-directory",
};

bool takes_value(std::string_view arg)
{
    return std::find(std::begin(k_value_options), std::end(k_value_options), arg) != std::end(k_value_options);
}

// Programs that run the compiler named after them.
constexpr std::string_view k_launchers[] = {"ccache", "distcc", "sccache", "icecc", "icerun"};

bool is_launcher(const std::string& program)
{
    std::string base = tool_base_name(program);
    return std::find(std::begin(k_launchers), std::end(k_launchers), base) != std::end(k_launchers);
}

// A compiler driver's own command line: not clang's internal "-cc1" run.
bool is_driver_command(const std::vector<std::string>& argv)
{
    return !argv.empty() && is_compiler_driver(tool_base_name(argv[0])) &&
           (argv.size() < 2 || (argv[1] != "-cc1" && argv[1] != "-cc1as"));
}

bool starts_compilers(const command_row& c)
{
    return !c.argv.empty() && (is_driver_command(c.argv) || is_launcher(c.argv[0]));
}

// How the driver was asked to stop.
enum class stage { link, object, assembly, syntax, preprocess };

struct driver_line {
    stage last = stage::link;
    std::string output;                 // -o value
    std::vector<size_t> sources;        // indexes of the source arguments
    std::vector<bool> input;            // per argument: an input file (source or not)
    std::vector<bool> output_option;    // per argument: "-o", its value, or "-oX"
};

driver_line read_driver_line(const std::vector<std::string>& argv)
{
    driver_line d;
    d.input.assign(argv.size(), false);
    d.output_option.assign(argv.size(), false);
    bool object = false, assembly = false, syntax = false, preprocess = false;
    std::string language;  // from -x; "none" or empty: by suffix
    for (size_t i = 1; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (a.size() > 1 && a[0] == '-') {
            if (a == "-c") {
                object = true;
            } else if (a == "-S") {
                assembly = true;
            } else if (a == "-E" || a == "-M" || a == "-MM") {
                preprocess = true;
            } else if (a == "-fsyntax-only") {
                syntax = true;
            } else if (a == "-o" && i + 1 < argv.size()) {
                d.output = argv[i + 1];
                d.output_option[i] = d.output_option[i + 1] = true;
            } else if (a.rfind("-o", 0) == 0 && a.size() > 2) {
                d.output = a.substr(2);
                d.output_option[i] = true;
            } else if (a == "-x" && i + 1 < argv.size()) {
                language = argv[i + 1];
            } else if (a.rfind("-x", 0) == 0 && a.size() > 2) {
                language = a.substr(2);
            }
            if (takes_value(a)) {
                ++i;
            }
            continue;
        }
        if (a.empty() || a[0] == '@') {
            continue;  // an empty argument names no file; a response file is no source
        }
        d.input[i] = true;
        // "-x lto": the compiler's own intermediate code, no source.
        bool by_language = !language.empty() && language != "none" && language != "lto";
        if (a != "-" && (by_language || is_compiled_source(a))) {
            d.sources.push_back(i);
        }
    }
    d.last = preprocess ? stage::preprocess
             : syntax   ? stage::syntax
             : assembly ? stage::assembly
             : object   ? stage::object
                        : stage::link;
    return d;
}

// "src/a.c" -> "a.o": where the driver writes the object of a source when no
// -o says otherwise.
std::string default_output(const std::string& source, const char* suffix)
{
    std::string base = source.substr(source.rfind('/') == std::string::npos ? 0 : source.rfind('/') + 1);
    size_t dot = base.rfind('.');
    return (dot == std::string::npos ? base : base.substr(0, dot)) + suffix;
}

// The entries of one driver command: each source with every option, and
// none of the command's other input files. A compile-and-link reads as the
// compile of its source alone: "-c" added, the link output dropped.
void driver_entries(const command_row& c, const std::vector<std::string>& argv, std::vector<compile_entry>& out)
{
    driver_line d = read_driver_line(argv);
    if (d.last == stage::preprocess || d.sources.empty()) {
        return;
    }
    for (size_t source : d.sources) {
        compile_entry e{c.id, c.dir, {argv[0]}, normalize_path(argv[source], c.dir), ""};
        if (d.last == stage::link) {
            e.arguments.push_back("-c");
        }
        for (size_t i = 1; i < argv.size(); ++i) {
            bool other_input = d.input[i] && i != source;
            bool link_output = d.last == stage::link && d.output_option[i];
            if (!other_input && !link_output) {
                e.arguments.push_back(argv[i]);
            }
        }
        if (d.last == stage::object || d.last == stage::assembly) {
            std::string name =
                d.output.empty() ? default_output(argv[source], d.last == stage::object ? ".o" : ".s") : d.output;
            e.output = normalize_path(name, c.dir);
        } else if (d.last == stage::link) {
            e.output = normalize_path(default_output(argv[source], ".o"), c.dir);
        }
        out.push_back(std::move(e));
    }
}

class entry_maker {
public:
    explicit entry_maker(const build_data& b) : b_(b)
    {
        for (const auto& [id, c] : b.commands) {
            if (c.parent != 0 && c.parent != id) {
                children_[c.parent].push_back(&c);
            }
        }
    }

    void commands(std::vector<compile_entry>& out)
    {
        for (const auto& [id, c] : b_.commands) {
            if (!starts_compilers(c) || below_compiler_starter(c)) {
                continue;
            }
            std::vector<std::string> argv = expanded(c);
            if (is_launcher(argv[0])) {
                argv.erase(argv.begin());
                if (!is_driver_command(argv)) {
                    continue;
                }
            }
            driver_entries(c, argv, out);
        }
    }

    // Compilers that are not drivers: a source of an object they made.
    void other_compilers(std::vector<compile_entry>& out)
    {
        for (const relation& r : b_.relations) {
            if (r.from_table != file_table::target || r.to_table != file_table::source) {
                continue;
            }
            const file_row* target = b_.find(file_table::target, r.from);
            const file_row* source = b_.find(file_table::source, r.to);
            if (target == nullptr || source == nullptr || !is_compiled_source(source->name)) {
                continue;
            }
            const command_row* c = b_.command(target->command != 0 ? target->command : target->trace_command);
            if (c == nullptr || c->argv.empty() || starts_compilers(*c) || below_compiler_starter(*c) ||
                std::find(c->argv.begin(), c->argv.end(), source->name) == c->argv.end()) {
                continue;
            }
            out.push_back({c->id, c->dir, c->argv, source->path, target->path});
        }
    }

private:
    // Whether a driver or launcher started this command, at any depth: a
    // compiler driver behind ccache, the compiler a driver runs for -flto,
    // the expanded vector of a response file.
    bool below_compiler_starter(const command_row& c)
    {
        auto known = below_.find(c.id);
        if (known != below_.end()) {
            return known->second;
        }
        bool below = false;
        std::set<int64_t> seen{c.id};
        for (const command_row* p = b_.command(c.parent); p != nullptr && seen.insert(p->id).second;
             p = b_.command(p->parent)) {
            if (starts_compilers(*p)) {
                below = true;
                break;
            }
        }
        below_[c.id] = below;
        return below;
    }

    // A command line with a response file: the library records the
    // expanded vector as a child command of the same tool in the same
    // directory, and that is what the compiler compiled.
    std::vector<std::string> expanded(const command_row& c)
    {
        bool has_file = std::any_of(c.argv.begin() + 1, c.argv.end(),
                                    [](const std::string& a) { return a.size() > 1 && a[0] == '@'; });
        if (has_file) {
            for (const command_row* child : children_[c.id]) {
                if (child->tool == c.tool && child->dir == c.dir && !child->argv.empty()) {
                    return child->argv;
                }
            }
        }
        return c.argv;
    }

    const build_data& b_;
    std::map<int64_t, std::vector<const command_row*>> children_;
    std::map<int64_t, bool> below_;
};

// CMake's and Meson's compiler probes (identification, try-compiles,
// sanity checks) compile in scratch directories of their own, some of them
// sources that stay (CMakeCCompilerId.c, CMake's own CMakeCCompilerABI.c):
// no editor works on them.
bool in_probe_directory(std::string_view dir)
{
    size_t cmake = dir.find("/CMakeFiles/");
    if (cmake != std::string_view::npos) {
        std::string_view rest = dir.substr(cmake + 12);
        if (rest.starts_with("CMakeScratch/") || rest.starts_with("CMakeTmp") ||
            rest.find("/CompilerId") != std::string_view::npos) {
            return true;
        }
    }
    size_t meson = dir.find("/meson-private");
    return meson != std::string_view::npos && (meson + 14 == dir.size() || dir[meson + 14] == '/');
}

}  // namespace

std::vector<compile_entry> compile_entries(const build_data& b, bool keep_missing)
{
    std::vector<compile_entry> found;
    entry_maker maker(b);
    maker.commands(found);
    maker.other_compilers(found);
    std::stable_sort(found.begin(), found.end(),
                     [](const compile_entry& x, const compile_entry& y) { return x.command < y.command; });
    std::vector<compile_entry> out;
    std::set<std::vector<std::string>> seen;
    for (compile_entry& e : found) {
        std::vector<std::string> key = {e.directory, e.file, e.output};
        key.insert(key.end(), e.arguments.begin(), e.arguments.end());
        if (!seen.insert(std::move(key)).second) {
            continue;  // the same compile again
        }
        if (!keep_missing && (access(e.file.c_str(), F_OK) != 0 || in_probe_directory(e.directory))) {
            continue;  // configure tests, scratch files, compiler probes
        }
        out.push_back(std::move(e));
    }
    return out;
}

std::string compile_commands_json(const std::vector<compile_entry>& entries, bool* not_utf8)
{
    std::string out = "[";
    for (size_t i = 0; i < entries.size(); ++i) {
        const compile_entry& e = entries[i];
        out += i == 0 ? "\n" : ",\n";
        out += "  {\n    \"directory\": " + json_quote(e.directory, not_utf8) + ",\n    \"arguments\": [";
        for (size_t k = 0; k < e.arguments.size(); ++k) {
            out += (k == 0 ? "" : ", ") + json_quote(e.arguments[k], not_utf8);
        }
        out += "],\n    \"file\": " + json_quote(e.file, not_utf8);
        if (!e.output.empty()) {
            out += ",\n    \"output\": " + json_quote(e.output, not_utf8);
        }
        out += "\n  }";
    }
    out += entries.empty() ? "]\n" : "\n]\n";
    return out;
}

void write_compile_commands(const build_data& b, const std::string& path, bool keep_missing)
{
    bool not_utf8 = false;
    std::vector<compile_entry> entries = compile_entries(b, keep_missing);
    write_file_atomically(path, compile_commands_json(entries, &not_utf8));
    if (not_utf8) {
        fprintf(stderr,
                "kalvitrex: warning: some names or arguments in %s are not UTF-8; each such byte was written as "
                "\\udcXX (Python's json with os.fsencode gives it back)\n",
                path.c_str());
    }
    fprintf(stderr, "kalvitrex: wrote %s to %s\n",
            counted(static_cast<long long>(entries.size()), "entry", "entries").c_str(), path.c_str());
}

}  // namespace kvx
