// Builds traced end to end: a scratch tree with a bin directory of probe
// links under tool names, a database made from the shipped schema, and the
// probe's per-process report read back.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ziv_test_db.h"
#include "ziv_check.h"
#include "ziv_run.h"

namespace ziv_test {

inline const std::string kLib = ZIV_LIB_PATH;
inline const std::string kTraceProbe = ZIV_TRACE_PROBE;
inline const std::string kParserPlugin = ZIV_TRACE_PLUGIN;
inline const std::string kSchema = ZIV_SCHEMA_PATH;

using trace_db = test_db;

inline std::string schema_text()
{
    std::ifstream in(kSchema);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::string make_db(const std::string& path)
{
    trace_db db(path);
    db.exec(schema_text());
    return path;
}

inline std::string sql_quote(const std::string& text)
{
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("''") : std::string(1, c);
    }
    return out + "'";
}

// SHA-256 of a file through the system's own tool.
inline std::string sha256_of(const std::string& path)
{
    std::string command = "sha256sum '" + path + "'";
    FILE* pipe = popen(command.c_str(), "r");
    char digest[65] = {};
    if (pipe == nullptr || fread(digest, 1, 64, pipe) != 64) {
        if (pipe != nullptr) {
            pclose(pipe);
        }
        throw std::runtime_error("sha256sum failed for " + path);
    }
    pclose(pipe);
    return digest;
}

using probe_line = std::map<std::string, std::string>;

enum class preload { none, library, with_parser };

// One scratch build: the tree, its bin directory, its database.
class trace_build {
public:
    trace_build() : bin_(dir_.sub("bin")), db_path_(dir_.sub("build.db")), report_(dir_.sub("report.txt"))
    {
        mkdir(bin_.c_str(), 0755);
        mkdir(dir_.sub("src").c_str(), 0755);
        make_db(db_path_);
    }

    const std::string& root() const { return dir_.path(); }
    std::string src(const std::string& name = "") const { return dir_.sub("src") + (name.empty() ? "" : "/" + name); }
    const std::string& bin() const { return bin_; }
    const std::string& db_path() const { return db_path_; }

    // bin/<name> -> the probe.
    std::string tool(const std::string& name) const { return make_tool_dir_link(bin_, name, kTraceProbe); }
    void tools(const std::vector<std::string>& names) const
    {
        for (const std::string& n : names) {
            tool(n);
        }
    }
    void file(const std::string& relative, const std::string& content, mode_t mode = 0644) const
    {
        write_file(dir_.sub(relative), content, mode);
    }

    // Runs argv (argv[0] searched in bin, then /usr/bin and /bin) in `cwd`
    // (relative to the root) under the given preload, tracing on.
    run_result run(const std::vector<std::string>& argv, const std::string& cwd, preload with,
                   const std::vector<std::string>& env = {}, bool capture_log = false) const
    {
        run_options o;
        o.exe = argv[0].find('/') != std::string::npos ? argv[0] : locate(argv[0]);
        o.argv = argv;
        o.cwd = dir_.sub(cwd);
        o.env = {"PATH=" + bin_ + ":/usr/bin:/bin", "TRACE_PROBE_REPORT=" + report_, "ZIV_TRACE_ENABLE=yes",
                 "ZIV_TRACE_OUTPUT=" + db_path_, "LC_ALL=C"};
        if (with == preload::library) {
            o.env.push_back("LD_PRELOAD=" + kLib);
        } else if (with == preload::with_parser) {
            o.env.push_back("LD_PRELOAD=" + kLib + " " + kParserPlugin);
        }
        // Later entries replace earlier ones of the same name.
        for (const std::string& e : env) {
            std::string key = e.substr(0, e.find('=') + 1);
            bool replaced = false;
            for (std::string& have : o.env) {
                if (have.compare(0, key.size(), key) == 0) {
                    have = e;
                    replaced = true;
                }
            }
            if (!replaced) {
                o.env.push_back(e);
            }
        }
        o.capture_log = capture_log;
        o.timeout_s = 30;
        return ziv_test::run(o);
    }

    // The probe report lines, in the order they were written.
    std::vector<probe_line> reports() const
    {
        std::vector<probe_line> out;
        std::ifstream in(report_);
        for (std::string line; std::getline(in, line);) {
            probe_line fields;
            std::istringstream parts(line);
            std::string first;
            std::getline(parts, first, '\t');
            fields["kind"] = first.rfind("prog=", 0) == 0 ? "probe" : first;
            if (first.rfind("prog=", 0) == 0) {
                fields["prog"] = first.substr(5);
            }
            for (std::string part; std::getline(parts, part, '\t');) {
                size_t eq = part.find('=');
                fields[part.substr(0, eq)] = eq == std::string::npos ? "" : part.substr(eq + 1);
            }
            out.push_back(fields);
        }
        return out;
    }

    // The report lines of probes started as `prog`.
    std::vector<probe_line> reports_of(const std::string& prog) const
    {
        std::vector<probe_line> out;
        for (const probe_line& l : reports()) {
            if (l.count("prog") != 0 && l.at("prog") == prog) {
                out.push_back(l);
            }
        }
        return out;
    }

    void clear_reports() const { std::remove(report_.c_str()); }

private:
    std::string locate(const std::string& name) const
    {
        for (const std::string& d : {bin_, std::string("/usr/bin"), std::string("/bin")}) {
            std::string p = d + "/" + name;
            if (access(p.c_str(), X_OK) == 0) {
                return p;
            }
        }
        return name;
    }

    temp_dir dir_;
    std::string bin_;
    std::string db_path_;
    std::string report_;
};

}  // namespace ziv_test
