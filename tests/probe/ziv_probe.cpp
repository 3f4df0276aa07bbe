// A program that reports what the preloaded library did to it. Tests start
// it under many names (argv[0]); each argument is a command run in order.
// It never links the library: it finds the library's exported names at run
// time, so it also runs with nothing preloaded ("lib=absent").
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "secure_stub.h"
#include "ziv_config.h"

namespace {

int g_errno_at_main;

template <typename Fn>
Fn lib_symbol(const char* name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, name));
}

ziv_cfg_t* config()
{
    auto** pointer = lib_symbol<ziv_cfg_t**>("g_ziv_cfg");
    return pointer != nullptr ? *pointer : nullptr;
}

void print_config()
{
    ziv_cfg_t* cfg = config();
    if (cfg == nullptr) {
        std::printf("lib=absent\n");
        return;
    }
    std::printf("lib=present\n");
    std::printf("env_read=%u\ndefined_lists=0x%x\nlog_level=%u\ntrace_enable=%u\n", cfg->env_read,
                cfg->defined_lists, cfg->log_level, cfg->trace_enable);
    auto build_time = lib_symbol<time_t (*)()>("ziv_get_build_time");
    std::printf("build_time=%lld\ndev_id=%u\nrdev_id=%u\nnext_inode=%u\nuid=%u\ngid=%u\n",
                static_cast<long long>(build_time()), cfg->dev_id, cfg->rdev_id, cfg->next_inode, cfg->uid,
                cfg->gid);
    std::printf("times=%ld,%ld,%ld,%ld,%ld,%ld\n", cfg->times[0], cfg->times[1], cfg->times[2], cfg->times[3],
                cfg->times[4], cfg->times[5]);
    std::printf("hostname=%s\nrandom_record_output=%s\n", cfg->hostname, cfg->random_record_output);
    std::printf("prog_name=%s\nmask=0x%x\n", cfg->prog[0].prog_name, cfg->prog[0].mask);
    int rows = 0;
    while (rows + 1 < ZIV_PROG_MAX && cfg->prog[rows + 1].prog_name[0] != '\0') {
        ++rows;
    }
    std::printf("rows=%d\n", rows);
    auto query = lib_symbol<int (*)(uint32_t)>("is_in_ziv_process_list");
    for (uint32_t bit = 1; bit <= ZIV_F_REPLAYLIST; bit <<= 1) {
        std::printf("q.0x%x=%d\n", bit, query(bit));
    }
}

void print_row(const char* name)
{
    ziv_cfg_t* cfg = config();
    for (int row = 1; cfg != nullptr && row < ZIV_PROG_MAX && cfg->prog[row].prog_name[0] != '\0'; ++row) {
        if (std::strcmp(cfg->prog[row].prog_name, name) == 0) {
            std::printf("row %s=%d mask=0x%x\n", name, row, cfg->prog[row].mask);
            return;
        }
    }
    std::printf("row %s=none\n", name);
}

// Calls every exported entry point the lifecycle offers with errno set,
// and reports what errno was afterwards.
void check_errno_kept()
{
    const char* names[] = {"is_in_ziv_process_list", "ziv_get_program_mask", "ziv_dlsym_sqlite3",
                           "ziv_get_stack_info", "ziv_libc_getpid", "ziv_get_trace_map"};
    for (const char* name : names) {
        void* fn = dlsym(RTLD_DEFAULT, name);
        errno = 4321;
        if (std::strcmp(name, "is_in_ziv_process_list") == 0) {
            reinterpret_cast<int (*)(uint32_t)>(fn)(ZIV_F_TIMELIST);
        } else if (std::strcmp(name, "ziv_get_stack_info") == 0 || std::strcmp(name, "ziv_get_trace_map") == 0) {
            reinterpret_cast<void (*)(const char*)>(fn)("probe");
        } else {
            reinterpret_cast<long (*)()>(fn)();
        }
        std::printf("errno after %s=%d\n", name, errno);
    }
}

void at_exit_report() { std::printf("atexit ran\n"); std::fflush(stdout); }

int run(const std::string& cmd, const char* arg)
{
    if (cmd == "cfg") {
        print_config();
    } else if (cmd == "row") {
        print_row(arg);
        return 1;
    } else if (cmd == "tmap") {
        auto lookup = lib_symbol<const char* (*)(const char*)>("ziv_get_trace_map");
        const char* tool = lookup(arg);
        std::printf("tmap %s=%s\n", arg, tool != nullptr ? tool : "(null)");
        return 1;
    } else if (cmd == "errno-main") {
        std::printf("errno at main=%d\n", g_errno_at_main);
    } else if (cmd == "errno-kept") {
        check_errno_kept();
    } else if (cmd == "fini") {
        errno = 77;
        lib_symbol<void (*)()>("ziv_fini")();
        std::printf("errno after ziv_fini=%d\n", errno);
    } else if (cmd == "sqlite") {
        lib_symbol<int (*)()>("ziv_dlsym_sqlite3")();
        std::printf("trace_enable=%u\n", config()->trace_enable);
    } else if (cmd == "maps") {
        // Whether a mapped file's path contains the text.
        FILE* maps = std::fopen("/proc/self/maps", "r");
        char line[4096];
        bool found = false;
        while (maps != nullptr && std::fgets(line, sizeof line, maps) != nullptr) {
            found = found || std::strstr(line, arg) != nullptr;
        }
        if (maps != nullptr) {
            std::fclose(maps);
        }
        std::printf("maps %s=%d\n", arg, found ? 1 : 0);
        return 1;
    } else if (cmd == "stack") {
        lib_symbol<void (*)(const char*)>("ziv_get_stack_info")("probe-tag");
    } else if (cmd == "atexit") {
        std::atexit(at_exit_report);
    } else if (cmd == "_exit") {
        std::fflush(stdout);
        _exit(std::atoi(arg));
    } else if (cmd == "_Exit") {
        std::fflush(stdout);
        _Exit(std::atoi(arg));
    } else if (cmd == "fork") {
        // The child ends through exit(), so destructors run in it too.
        std::fflush(stdout);
        pid_t child = fork();
        if (child == 0) {
            // The system call itself: the library's getpid logs its entry,
            // and the child must send nothing at all.
            std::printf("child %d\n", static_cast<int>(syscall(SYS_getpid)));
            std::exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        std::printf("parent %d\n", static_cast<int>(syscall(SYS_getpid)));
    } else if (cmd == "secure") {
        // The program's own bounded functions, from its own library.
        char buffer[8];
        int copied = memcpy_s(buffer, sizeof buffer, "ab", 2);
        int string_copied = strcpy_s(buffer, sizeof buffer, "ab");
        std::printf("memcpy_s=%d strcpy_s=%d calls=%d\n", copied, string_copied, probe_secure_calls());
    } else if (cmd == "secure-calls") {
        std::printf("calls=%d\n", probe_secure_calls());
    } else {
        std::fprintf(stderr, "unknown command %s\n", cmd.c_str());
        std::exit(2);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    g_errno_at_main = errno;
    for (int i = 1; i < argc; ++i) {
        i += run(argv[i], i + 1 < argc ? argv[i + 1] : "");
    }
    std::fflush(stdout);
    return 0;
}
