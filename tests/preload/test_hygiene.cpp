// What the library brings into every process besides its features: its
// run-time dependencies, its exported names and its C++ runtime needs.
#include <cstdio>

#include "preload_env.h"

namespace ziv_test {
namespace {

std::vector<std::string> command_lines(const std::string& command)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    for (size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.append(buffer, n);
    }
    EXPECT_TRUE(pipe != nullptr && pclose(pipe) == 0) << command;
    return lines_of(out);
}

TEST(Hygiene, NeedsOnlyTheCLibrary)
{
    int needed = 0;
    for (const std::string& line : command_lines("readelf -dW " + kLib)) {
        if (line.find("(NEEDED)") != std::string::npos) {
            std::string lib = line.substr(line.find('[') + 1, line.find(']') - line.find('[') - 1);
            EXPECT_TRUE(lib == "libc.so.6" || lib == "ld-linux-x86-64.so.2") << "run-time dependency " << lib;
            ++needed;
        }
    }
    EXPECT_GT(needed, 0);
}

TEST(Hygiene, ExportsOnlyInterposedAndProductNames)
{
    const std::set<std::string> interposed = {
        "__libc_start_main", "_exit", "_Exit",
        "time", "clock_gettime", "ftime", "gettimeofday", "times",
        "stat", "lstat", "fstat", "fstatat", "stat64", "lstat64", "fstat64", "fstatat64", "statx",
        "__xstat", "__xstat64", "__lxstat", "__lxstat64", "__fxstat", "__fxstat64", "__fxstatat", "__fxstatat64",
        "readdir", "readdir64", "readdir_r", "readdir64_r", "closedir", "nftw", "nftw64",
        "getpid", "getppid", "getuid", "getgid", "gethostname", "uname", "sysinfo", "arc4random", "random", "rand",
        "getrandom", "read", "__read_chk", "fread", "__fread_chk",
        "execve", "execv", "execvp", "execvpe", "execl", "execle", "execlp", "fexecve", "execveat",
        "posix_spawn", "posix_spawnp",
        "open", "open64", "openat", "openat64", "__open_2", "__open64_2", "__openat_2", "__openat64_2",
    };
    std::set<std::string> names;
    for (const std::string& line : command_lines("nm -D --defined-only " + kLib)) {
        std::string name = line.substr(line.rfind(' ') + 1);
        names.insert(name);
        EXPECT_TRUE(name.find("ziv") != std::string::npos || name == "g_trace_compile_group" ||
                    interposed.count(name) == 1)
            << "exported name outside the product: " << name;
    }
    for (const std::string& name : interposed) {
        EXPECT_EQ(names.count(name), 1u) << "interposer not exported: " << name;
    }
    for (const char* name : {"ziv_prog_cfg", "g_ziv_cfg", "g_ziv_env_version", "is_in_ziv_process_list", "ziv_init",
                             "ziv_fini", "ziv_convert_gnu_cmd", "ziv_get_trace_map", "ziv_dlsym_sqlite3",
                             "ziv_init_trace_map", "ziv_match_process_entry", "ziv_dlopen_sqlite3", "ziv_read",
                             "ziv_is_response_arg", "ziv_normalize_response_text", "ziv_parse_iccarm_cmd",
                             "ziv_is_template_cmd", "ziv_parse_template_cmd"}) {
        EXPECT_EQ(names.count(name), 1u) << "product name not exported: " << name;
    }
    // Generic helpers and the library's own logging stay inside.
    for (const char* name : {"memcpy_s", "memmove_s", "memset_s", "strcpy_s", "strncpy_s", "strcat_s", "sprintf_s",
                             "sscanf_s", "fscanf_s", "ziv_log", "ziv_log_always", "g_pf_org_time",
                             "g_dlhandle_ziv_c_lazy"}) {
        EXPECT_EQ(names.count(name), 0u) << "internal name exported: " << name;
    }
}

TEST(Hygiene, NoCxxRuntimeExceptionsRttiOrDynamicInitialisers)
{
    for (const std::string& line : command_lines("nm " + kLib)) {
        for (const char* marker : {"_GLOBAL__sub_I", "__cxa_throw", "__gxx_personality", "__cxa_guard", "_ZTI",
                                   "_ZTS", "__cxa_pure_virtual", "_Znwm", "_ZdlPv"}) {
            EXPECT_EQ(line.find(marker), std::string::npos) << line;
        }
    }
    // Every undefined symbol is the C library's (versioned GLIBC) or a weak
    // hook of the toolchain.
    for (const std::string& line : command_lines("nm -D --undefined-only " + kLib)) {
        EXPECT_TRUE(line.find(" w ") != std::string::npos || line.find("@GLIBC_") != std::string::npos) << line;
    }
}

// A program linked against its own library of bounded functions keeps them,
// and the library never calls the program's.
TEST(Hygiene, ProgramKeepsItsOwnBoundedFunctions)
{
    check({"gcc", {"secure"}, {"ZIV_DIRLIST=gcc", "ZIV_HOSTNAME=abc", "ZIV_LOG=yes"},
           {"calls_before=0", "secure=99 99 calls=2"}});
}

}  // namespace
}  // namespace ziv_test
