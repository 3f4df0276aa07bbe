// Builds traced end to end: a scratch tree whose bin directory holds probe
// links under tool names, a database made from the shipped schema, and the
// per-process reports of the probe and the test parser read back.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "ziv_check.h"
#include "ziv_test_db.h"

namespace ziv_test {

inline const std::string kLib = ZIV_LIB_PATH;
inline const std::string kTraceProbe = ZIV_TRACE_PROBE;
inline const std::string kParserPlugin = ZIV_TRACE_PLUGIN;

inline void make_db(const std::string& path) { test_db(path).exec(read_file(ZIV_SCHEMA_PATH)); }

// Text in single quotes, each quote inside written as `inner`: "''" for
// SQL, "'\\''" for the shell.
inline std::string quoted(const std::string& text, const std::string& inner = "''")
{
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? inner : std::string(1, c);
    }
    return out + "'";
}

inline std::string joined(const std::vector<std::string>& argv, size_t from = 0)
{
    std::string text;
    for (size_t i = from; i < argv.size(); ++i) {
        text += (i > from ? " " : "") + argv[i];
    }
    return text;
}

// One report line; "prog" is "parser" for calls of the test parser.
using probe_line = std::map<std::string, std::string>;

// parser_only: the test parser's errno without the library, as a baseline.
enum class preload { none, library, with_parser, parser_only };

class trace_build {
public:
    trace_build()
    {
        mkdir(bin().c_str(), 0755);
        mkdir(src().c_str(), 0755);
        make_db(db_path());
    }

    std::string root() const { return dir_.path(); }
    std::string src(const std::string& name = "") const { return dir_.sub("src") + (name.empty() ? "" : "/" + name); }
    std::string bin() const { return dir_.sub("bin"); }
    std::string db_path() const { return dir_.sub("build.db"); }

    // bin/<name> -> the probe.
    void tools(std::initializer_list<std::string> names) const
    {
        for (const std::string& n : names) {
            make_tool_dir_link(bin(), n, kTraceProbe);
        }
    }
    void file(const std::string& relative, const std::string& content, mode_t mode = 0644) const
    {
        write_file(dir_.sub(relative), content, mode);
    }

    // Runs argv (argv[0] looked up in bin, /usr/bin, /bin) in root/cwd with
    // tracing on; `env` entries replace the defaults of the same name.
    run_result run(const std::vector<std::string>& argv, const std::string& cwd, preload with,
                   const std::vector<std::string>& env = {}, bool capture_log = false) const
    {
        run_options o;
        o.exe = argv[0];
        for (const std::string& d : {bin(), std::string("/usr/bin"), std::string("/bin")}) {
            if (argv[0].find('/') == std::string::npos && access((d + "/" + argv[0]).c_str(), X_OK) == 0) {
                o.exe = d + "/" + argv[0];
                break;
            }
        }
        o.argv = argv;
        o.cwd = dir_.sub(cwd);
        o.env = env;
        const std::string libs[] = {"", kLib, kLib + " " + kParserPlugin, kParserPlugin};
        for (const std::string& d : {"PATH=" + bin() + ":/usr/bin:/bin", "TRACE_PROBE_REPORT=" + dir_.sub("report"),
                                     std::string("ZIV_TRACE_ENABLE=yes"), "ZIV_TRACE_OUTPUT=" + db_path(), std::string("LC_ALL=C"),
                                     with == preload::none ? "" : "LD_PRELOAD=" + libs[static_cast<int>(with)]}) {
            std::string key = d.substr(0, d.find('=') + 1);
            if (!d.empty() && std::none_of(env.begin(), env.end(), [&](const std::string& e) { return e.rfind(key, 0) == 0; })) {
                o.env.push_back(d);
            }
        }
        o.capture_log = capture_log;
        o.timeout_s = 30;
        return ziv_test::run(o);
    }

    // The report lines in the order they were written; only those of `prog`
    // when it is given.
    std::vector<probe_line> reports(const std::string& prog = "") const
    {
        std::vector<probe_line> out;
        std::ifstream in(dir_.sub("report"));
        for (std::string line; std::getline(in, line);) {
            probe_line fields;
            std::istringstream parts(line);
            for (std::string part; std::getline(parts, part, '\t');) {
                size_t eq = part.find('=');
                fields[part.substr(0, eq)] = eq == std::string::npos ? "" : part.substr(eq + 1);
            }
            if (prog.empty() || fields["prog"] == prog) {
                out.push_back(fields);
            }
        }
        return out;
    }
    // The id of the command row with this text; "" when there is none.
    std::string id_of(const std::string& command) const
    {
        return test_db(db_path()).value("select id from build_command_table where command = " + quoted(command));
    }
    void clear_reports() const { std::remove(dir_.sub("report").c_str()); }

private:
    temp_dir dir_;
};

}  // namespace ziv_test
