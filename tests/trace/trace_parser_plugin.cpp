// Preloaded after the library in tests: installs a parser into the rows
// named in TRACE_TEST_PARSER_ROWS (comma separated), standing in for the
// tool parsers. It keeps the parser contract: response files expanded and
// the expanded line recorded as the command, then "-o output" and the
// existing files of the line recorded. Each call is noted in the probe
// report file (as program "parser"), with the ids the row carried when the parser was called.
// With TRACE_TEST_ERRNO set it also leaves that errno behind for the entry.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ziv_cmdline.h"
#include "ziv_trace_entry.h"

namespace {

template <typename Fn>
Fn lib(const char* name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, name));
}

int is_out_opt(const char* arg) { return std::string(arg) == "-o" ? 1 : 0; }

int test_parser(int argc, char** argv, ziv_trace_cmd* row)
{
    if (const char* path = getenv("TRACE_PROBE_REPORT"); path != nullptr) {
        const char* pcommand = getenv("ZIV_PCOMMAND_ID");
        std::string line = "prog=parser\trow=" + std::string(row->name) + "\tcmd=" + std::to_string(row->command_id) +
                           "\tpcommand=" + (pcommand != nullptr ? pcommand : "unset") + "\n";
        int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd < 0 || write(fd, line.data(), line.size()) < 0) {
            std::perror("report");
        }
        close(fd);
    }
    auto expand = lib<char** (*)(int, char**, int*)>("ziv_expand_argv");
    auto record = lib<int (*)(int, char**, ziv_trace_cmd*)>("ziv_parse_cmd_default");
    auto scan = lib<int (*)(int, char**, const ziv_cmdline_desc*)>("ziv_parse_cmdline");
    auto free_argv = lib<void (*)(char**)>("ziv_freeargv");
    if (expand == nullptr || record == nullptr || scan == nullptr || free_argv == nullptr) {
        return 0;
    }
    int count = argc;
    char** args = expand(argc, argv, &count);
    if (args != argv) {
        record(count, args, row);
    }
    ziv_cmdline_desc desc{0, is_out_opt, nullptr, nullptr, nullptr, row};
    scan(count, args, &desc);
    if (args != argv) {
        free_argv(args);
        free(args);
    }
    return 0;
}

__attribute__((constructor)) void install_test_parser()
{
    // The errno the program's start-up will find, to show the entry keeps it.
    if (const char* value = getenv("TRACE_TEST_ERRNO"); value != nullptr) {
        errno = atoi(value);
    }
    const char* wanted = getenv("TRACE_TEST_PARSER_ROWS");
    auto* table = lib<ziv_trace_cmd*>("g_trace_compile_group");
    if (wanted == nullptr || table == nullptr) {
        return;
    }
    std::string list = "," + std::string(wanted) + ",";
    for (int i = 0; i < ZIV_TRACE_TOOL_COUNT; ++i) {
        if (list.find("," + std::string(table[i].name) + ",") != std::string::npos) {
            table[i].parse = test_parser;
        }
    }
}

}  // namespace
