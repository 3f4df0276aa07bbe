// What the library brings into every process besides its features: its
// run-time dependencies, its exported names and its C++ runtime needs.
#include "preload_env.h"

namespace ziv_test {
namespace {

// The lines a binutils tool prints about the library.
std::vector<std::string> tool_lines(std::vector<std::string> argv)
{
    argv.push_back(kLib);
    run_result r = run({.exe = "/usr/bin/" + argv[0], .argv = argv, .env = {"LC_ALL=C"}});
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    return lines_of(r.out);
}

// Only the C library at run time, and nothing of the C++ runtime: no
// exceptions, no RTTI, no dynamic initialisers. (A sanitizer build links the
// sanitizer runtimes, and with them the C++ runtime, into the library.)
TEST(Hygiene, NeedsOnlyTheCLibraryAndNoCxxRuntime)
{
    if (sanitized_build()) {
        GTEST_SKIP() << "a sanitizer build links the sanitizer runtimes into the library";
    }
    int needed = 0;
    for (const std::string& line : tool_lines({"readelf", "-dW"})) {
        if (line.find("(NEEDED)") != std::string::npos) {
            std::string lib = line.substr(line.find('[') + 1, line.find(']') - line.find('[') - 1);
            EXPECT_TRUE(lib == "libc.so.6" || lib == "ld-linux-x86-64.so.2") << "run-time dependency " << lib;
            ++needed;
        }
    }
    EXPECT_GT(needed, 0);
    for (const std::string& line : tool_lines({"nm"})) {
        for (const char* marker : {"_GLOBAL__sub_I", "__cxa_throw", "__gxx_personality", "__cxa_guard", "_ZTI",
                                   "_ZTS", "__cxa_pure_virtual", "_Znwm", "_ZdlPv"}) {
            EXPECT_EQ(line.find(marker), std::string::npos) << line;
        }
    }
    // Every undefined symbol is the C library's (versioned GLIBC) or a weak
    // hook of the toolchain.
    for (const std::string& line : tool_lines({"nm", "-D", "--undefined-only"})) {
        EXPECT_TRUE(line.find(" w ") != std::string::npos || line.find("@GLIBC_") != std::string::npos) << line;
    }
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
    for (const std::string& line : tool_lines({"nm", "-D", "--defined-only"})) {
        std::string name = line.substr(line.rfind(' ') + 1);
        if (sanitized_build() && name.rfind("__odr_asan", 0) == 0) {
            continue;  // the sanitizer's marker of an exported object
        }
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
    // The library's own logging stays inside. (Names without "ziv", such as
    // the bounded helpers, are caught above.)
    for (const char* name : {"ziv_log", "ziv_log_always", "g_dlhandle_ziv_c_lazy"}) {
        EXPECT_EQ(names.count(name), 0u) << "internal name exported: " << name;
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
