// What the library brings into every process besides its features: its
// run-time dependencies, its exported names and its C++ runtime needs.
#include <cstdio>
#include <set>

#include "preload_env.h"

namespace ziv_test {
namespace {

std::string command_output(const std::string& command)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return out;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        out.append(buffer, n);
    }
    EXPECT_EQ(pclose(pipe), 0) << command;
    return out;
}

// Names of the dynamic symbols the library defines.
std::set<std::string> exported_names()
{
    std::set<std::string> names;
    for (const std::string& line : lines_of(command_output("nm -D --defined-only " + kLib))) {
        names.insert(line.substr(line.rfind(' ') + 1));
    }
    return names;
}

// The C library names the library interposes.
const std::set<std::string> kInterposed = {
    // process start and end
    "__libc_start_main", "_exit", "_Exit",
    // time, file status, directory streams, tree walk
    "time", "clock_gettime", "ftime", "gettimeofday", "times",
    "stat", "lstat", "fstat", "fstatat", "stat64", "lstat64", "fstat64", "fstatat64", "statx",
    "__xstat", "__xstat64", "__lxstat", "__lxstat64", "__fxstat", "__fxstat64", "__fxstatat", "__fxstatat64",
    "readdir", "readdir64", "readdir_r", "readdir64_r", "closedir", "nftw", "nftw64",
    // identity, host name, system information, random sources
    "getpid", "getppid", "getuid", "getgid", "gethostname", "uname", "sysinfo", "arc4random", "random", "rand",
    "getrandom", "read", "__read_chk", "fread", "__fread_chk",
};

TEST(Hygiene, NeedsOnlyTheCLibrary)
{
    std::vector<std::string> needed;
    for (const std::string& line : lines_of(command_output("readelf -dW " + kLib))) {
        if (line.find("(NEEDED)") != std::string::npos) {
            needed.push_back(line.substr(line.find('[') + 1, line.find(']') - line.find('[') - 1));
        }
    }
    ASSERT_FALSE(needed.empty());
    for (const std::string& lib : needed) {
        EXPECT_TRUE(lib == "libc.so.6" || lib == "ld-linux-x86-64.so.2") << "unexpected run-time dependency " << lib;
    }
}

TEST(Hygiene, ExportsOnlyInterposedAndProductNames)
{
    std::set<std::string> names = exported_names();
    for (const std::string& name : names) {
        bool product = name.find("ziv") != std::string::npos || name == "g_trace_compile_group";
        EXPECT_TRUE(product || kInterposed.count(name) == 1) << "exported name outside the product: " << name;
    }
    for (const std::string& name : kInterposed) {
        EXPECT_EQ(names.count(name), 1u) << "interposer not exported: " << name;
    }
    for (const char* name : {"ziv_prog_cfg", "g_ziv_cfg", "g_ziv_env_version", "is_in_ziv_process_list", "ziv_init",
                             "ziv_fini", "ziv_convert_gnu_cmd", "ziv_get_trace_map", "ziv_dlsym_sqlite3"}) {
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
    std::string all = command_output("nm " + kLib);
    for (const char* marker : {"_GLOBAL__sub_I", "__cxa_throw", "__gxx_personality", "__cxa_guard", "_ZTI", "_ZTS",
                               "__cxa_pure_virtual", "_Znwm", "_ZdlPv"}) {
        EXPECT_EQ(all.find(marker), std::string::npos) << "found " << marker;
    }
    // Every undefined symbol is the C library's (versioned GLIBC) or a weak
    // hook of the toolchain.
    for (const std::string& line : lines_of(command_output("nm -D --undefined-only " + kLib))) {
        bool weak = line.find(" w ") != std::string::npos;
        EXPECT_TRUE(weak || line.find("@GLIBC_") != std::string::npos) << line;
    }
}

// A program linked against its own library of bounded functions keeps them,
// and the library never calls the program's.
TEST(Hygiene, ProgramKeepsItsOwnBoundedFunctions)
{
    run_result r = run_probe({.name = "gcc", .commands = {"secure-calls", "secure"},
                              .env = {"ZIV_DIRLIST=gcc", "ZIV_HOSTNAME=abc", "ZIV_LOG=yes"}});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    auto v = report(r);
    EXPECT_EQ(v["calls"], "0") << "the library called the program's bounded functions";
    EXPECT_EQ(v["memcpy_s"], "99 strcpy_s=99 calls=2") << r.out;
}

}  // namespace
}  // namespace ziv_test
