// kalvitrex: runs a build under libziv_env.so and answers questions about the
// build database it leaves.
#include <cstdio>
#include <cstring>

#include "kalvitrex_commands.h"
#include "kalvitrex_common.h"

namespace kvx {

bool option_value(const args& a, size_t& i, const char* name, std::string& value)
{
    size_t n = strlen(name);
    if (a[i] == name) {
        if (i + 1 >= a.size()) {
            throw user_error(std::string(name) + " needs a value");
        }
        value = a[++i];
        return true;
    }
    if (a[i].size() > n && a[i].compare(0, n, name) == 0 && a[i][n] == '=') {
        value = a[i].substr(n + 1);
        return true;
    }
    return false;
}

bool profile_options::take(const args& a, size_t& i)
{
    std::string v;
    if (option_value(a, i, "--set", v)) {
        sets.push_back(parse_set_option(v));
        return true;
    }
    return option_value(a, i, "--profile", profile);
}

}  // namespace kvx

namespace {

const char* const k_help =
    "Usage: kalvitrex COMMAND [options]\n"
    "\n"
    "Reproducible, traced builds with libziv_env.so.\n"
    "\n"
    "Commands:\n"
    "  run [options] -- BUILD...   run a build with the library preloaded and\n"
    "                              record it in the build database\n"
    "  report [options]            summary, slowest commands, compile_commands.json,\n"
    "                              dependency graph\n"
    "  impact [--db PATH] FILE     targets that depend on a source or header\n"
    "  diff DB1 DB2                files two builds made differently\n"
    "  check [options] -- BUILD... build twice in fresh copies and say whether\n"
    "                              the results are identical, and if not why\n"
    "  help [COMMAND]              this text, or a command's\n"
    "\n"
    "Every command takes --help. The database is kalvitrex.db unless --db PATH\n"
    "says otherwise.\n";

const char* help_of(const std::string& cmd)
{
    if (cmd == "run") return kvx::k_run_help;
    if (cmd == "report") return kvx::k_report_help;
    if (cmd == "impact") return kvx::k_impact_help;
    if (cmd == "diff") return kvx::k_diff_help;
    if (cmd == "check") return kvx::k_check_help;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv)
{
    kvx::args a(argv + 1, argv + argc);
    if (a.empty()) {
        fputs(k_help, stderr);
        return 2;
    }
    std::string cmd = a[0];
    kvx::args rest(a.begin() + 1, a.end());
    if (cmd == "-h" || cmd == "--help") {
        fputs(k_help, stdout);
        return 0;
    }
    if (cmd == "help") {
        if (rest.empty()) {
            fputs(k_help, stdout);
            return 0;
        }
        if (const char* h = help_of(rest[0])) {
            fputs(h, stdout);
            return 0;
        }
        fprintf(stderr, "kalvitrex: no such command: %s\n", rest[0].c_str());
        return 2;
    }
    if (cmd == "run") {
        return kvx::run_command(rest);  // reports its own failures, with 125
    }
    try {
        if (cmd == "report") return kvx::report_command(rest);
        if (cmd == "impact") return kvx::impact_command(rest);
        if (cmd == "diff") return kvx::diff_command(rest);
        if (cmd == "check") return kvx::check_command(rest);
    } catch (const kvx::user_error& e) {
        fprintf(stderr, "kalvitrex: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        fprintf(stderr, "kalvitrex: %s\n", e.what());
        return 2;
    }
    fprintf(stderr, "kalvitrex: no such command: %s (see kalvitrex --help)\n", cmd.c_str());
    return 2;
}
