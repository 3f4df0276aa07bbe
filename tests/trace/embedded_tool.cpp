// Stands in for tools that cannot be installed here: started as armcc,
// armasm, armlink, fromelf, iccarm or iarchive it takes their documented
// command lines and writes the files they name; under any other name
// (a tool described by a template file) it writes the values of "-o" and
// "--out=". The bytes written depend only on the arguments, so a build is
// the same with and without tracing. What the library's parser made of the
// command is appended to TRACE_PROBE_REPORT, one line per process:
//   prog=<name> row=<row> cmd=<id> pcommand=<ZIV_PCOMMAND_ID> args=<args>
//   in=<a|b> out=<a|b> pairs=<in>b|..> flags=<n>
// ("none" for the row and "-" for the lists when the process is untraced
// or nothing was parsed).
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ziv_trace.h"

namespace {

using args_t = std::vector<std::string>;

std::string base_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool is_dir(const std::string& path)
{
    struct stat st;
    return (!path.empty() && path.back() == '/') || (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

bool is_file(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string in_dir(const std::string& dir, const std::string& name)
{
    return dir + (dir.empty() || dir.back() == '/' ? "" : "/") + name;
}

// name.ext -> name<suffix>
std::string with_suffix(const std::string& path, const std::string& suffix)
{
    std::string base = base_of(path);
    return base.substr(0, base.rfind('.')) + suffix;
}

std::string joined(const args_t& args)
{
    std::string text;
    for (size_t i = 1; i < args.size(); ++i) {
        text += (i > 1 ? " " : "") + args[i];
    }
    return text;
}

// The tool's product: what made it, so that reruns give the same bytes.
bool produce(const std::string& tool, const std::string& path, const args_t& args)
{
    std::ofstream out(path, std::ios::binary);
    out << tool << " made " << base_of(path) << " from: " << joined(args) << "\n";
    if (!out) {
        std::fprintf(stderr, "%s: cannot write %s\n", tool.c_str(), path.c_str());
        return false;
    }
    return true;
}

// "@file" and "--via=file": the words of the file (blank separated).
args_t expand_via(const args_t& args)
{
    args_t out;
    for (const std::string& a : args) {
        std::string file = a.rfind("--via=", 0) == 0 ? a.substr(6) : a.size() > 1 && a[0] == '@' ? a.substr(1) : "";
        if (file.empty() || &a == &args[0]) {
            out.push_back(a);
            continue;
        }
        std::ifstream in(file);
        for (std::string w; in >> w;) {
            out.push_back(w);
        }
    }
    return out;
}

// "-f file": three leading bytes and a final one frame the quoted words.
bool read_command_file(args_t& args)
{
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] != "-f") {
            continue;
        }
        if (i + 1 >= args.size()) {
            std::fprintf(stderr, "-f needs a file\n");
            return false;
        }
        if (!is_file(args[i + 1])) {
            std::fprintf(stderr, "%s is no command file\n", args[i + 1].c_str());
            return false;
        }
        std::ifstream in(args[i + 1], std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) {
            std::fprintf(stderr, "cannot read %s\n", args[i + 1].c_str());
            return false;
        }
        args_t words(args.begin(), args.begin() + static_cast<long>(i));
        text = text.size() >= 4 ? text.substr(3, text.size() - 4) : "";
        for (size_t at = 0; at < text.size();) {
            if (text[at] == ' ') {
                ++at;
            } else if (text[at] == '"') {
                size_t end = text.find("\" ", at + 1);
                end = end == std::string::npos ? text.size() - 1 : end;
                words.push_back(text.substr(at + 1, end - at - 1));
                at = end + 1;
            } else {
                size_t end = std::min(text.find(' ', at), text.size());
                words.push_back(text.substr(at, end - at));
                at = end;
            }
        }
        args = words;
        return true;
    }
    return true;
}

// The value of the first of `forms` ("-o x", "--output=x").
std::string value_of(const args_t& args, std::initializer_list<std::string> forms)
{
    for (size_t i = 1; i < args.size(); ++i) {
        for (const std::string& f : forms) {
            if (f.back() == '=' && args[i].rfind(f, 0) == 0 && args[i].size() > f.size()) {
                return args[i].substr(f.size());
            }
            if (args[i] == f && i + 1 < args.size()) {
                return args[i + 1];
            }
        }
    }
    return "";
}

int run_tool(const std::string& tool, args_t args)
{
    if (tool == "armcc" || tool == "armlink") {
        args = expand_via(args);
    }
    if ((tool == "iccarm" || tool == "iarchive") && !read_command_file(args)) {
        return 2;
    }
    bool ok = true;
    if (tool == "armcc" && value_of(args, {"-o"}).empty()) {
        // -c / -S: one file per source, in --output_dir.
        std::string dir = value_of(args, {"--output_dir="});
        bool assembly = false;
        for (const std::string& a : args) {
            assembly = assembly || a == "-S";
        }
        for (size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--cpu" || args[i] == "--output_dir=") {
                ++i;
            } else if (args[i][0] != '-' && is_file(args[i])) {
                ok = produce(tool, in_dir(dir, with_suffix(args[i], assembly ? ".s" : ".o")), args) && ok;
            }
        }
    } else if (tool == "fromelf") {
        std::string out = value_of(args, {"-o", "--output", "--output="});
        std::string image;
        for (size_t i = 1; i < args.size() && image.empty(); ++i) {
            if (args[i] == "-o" || args[i] == "--output") {
                ++i;
            } else if (args[i][0] != '-' && is_file(args[i].substr(0, args[i].find('(')))) {
                image = args[i].substr(0, args[i].find('('));
            }
        }
        if (out.empty() || image.empty()) {
            std::fprintf(stderr, "fromelf: nothing to convert\n");
            return 1;
        }
        ok = produce(tool, is_dir(out) ? in_dir(out, base_of(image)) : out, args);
    } else if (tool == "iccarm") {
        std::string source;
        for (size_t i = 1; i < args.size() && source.empty(); ++i) {
            std::string suffix = args[i].substr(std::min(args[i].rfind('.'), args[i].size()));
            source = suffix == ".c" || suffix == ".cpp" ? args[i] : "";
        }
        std::string out = value_of(args, {"-o"});
        if (source.empty() || out.empty()) {
            std::fprintf(stderr, "iccarm: no source or no -o\n");
            return 1;
        }
        ok = produce(tool, is_dir(out) ? in_dir(out, with_suffix(source, ".o")) : out, args);
    } else {
        // armcc -o, armasm, armlink, iarchive, template-described tools.
        args_t outs = {value_of(args, {"-o", "--output", "--output="}), value_of(args, {"--out="})};
        if (tool == "armlink") {
            outs.push_back(value_of(args, {"--feedback", "--feedback="}));
        }
        for (const std::string& out : outs) {
            if (!out.empty()) {
                ok = produce(tool, out, args) && ok;
            }
        }
    }
    return ok ? 0 : 1;
}

std::string names(const ziv_trace_file* list)
{
    std::string out;
    for (; list != nullptr; list = list->next) {
        out += (out.empty() ? "" : "|") + std::string(list->name);
    }
    return out.empty() ? "-" : out;
}

void report(const std::string& tool, const args_t& args)
{
    const char* path = getenv("TRACE_PROBE_REPORT");
    if (path == nullptr) {
        return;
    }
    auto** current = reinterpret_cast<ziv_trace_cmd**>(dlsym(RTLD_DEFAULT, "g_ziv_trace_cmd"));
    const ziv_trace_cmd* row = current != nullptr ? *current : nullptr;
    const ziv_trace_info* info = row != nullptr ? row->info : nullptr;
    std::string pairs;
    for (const ziv_trace_paired_file* p = info != nullptr ? info->paired : nullptr; p != nullptr; p = p->next) {
        pairs += (pairs.empty() ? "" : "|") + std::string(p->in_name != nullptr ? p->in_name : "") + ">" +
                 (p->out_name != nullptr ? p->out_name : "");
    }
    const char* pcommand = getenv("ZIV_PCOMMAND_ID");
    std::string line = "prog=" + tool + "\trow=" + (row != nullptr ? row->name : "none") +
                       "\tcmd=" + std::to_string(row != nullptr ? row->command_id : -1) +
                       "\tpcommand=" + (pcommand != nullptr ? pcommand : "unset") + "\targs=" + joined(args) +
                       "\tin=" + names(info != nullptr ? info->inputs : nullptr) +
                       "\tout=" + names(info != nullptr ? info->outputs : nullptr) +
                       "\tpairs=" + (pairs.empty() ? "-" : pairs) +
                       "\tflags=" + std::to_string(info != nullptr ? info->flags : -1) + "\n";
    // Names may hold line feeds: the report keeps one line per process.
    for (char& c : line) {
        c = c == '\n' && &c != &line.back() ? '~' : c;
    }
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0 || write(fd, line.data(), line.size()) < 0) {
        std::perror("report");
    }
    close(fd);
}

}  // namespace

int main(int argc, char** argv)
{
    args_t args(argv, argv + argc);
    std::string tool = base_of(args[0]);
    report(tool, args);
    int status = run_tool(tool, args);
    std::printf("%s: %s\nstatus=%d\n", tool.c_str(), joined(args).c_str(), status);
    return status;
}
