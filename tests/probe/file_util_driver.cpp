// Calls the library's file identification functions from inside a process
// started under LD_PRELOAD, and prints what happened as key=value lines.
// Started under a name beginning with "report-tool" it is instead the
// forwarded build tool: it prints its arguments and whether the library is
// loaded in it.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

template <typename Fn>
Fn lib(const char* name)
{
    auto fn = reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, name));
    if (fn == nullptr) {
        printf("missing=%s\n", name);
        fflush(stdout);
        exit(2);
    }
    return fn;
}

bool library_mapped()
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find("libziv_env.so") != std::string::npos) {
            return true;
        }
    }
    return false;
}

void print_preload(const char* key)
{
    const char* v = getenv("LD_PRELOAD");
    printf("%s=%s\n", key, v == nullptr ? "<unset>" : v);
}

int report_tool(int argc, char** argv)
{
    printf("tool.argc=%d\n", argc);
    for (int i = 0; i < argc; ++i) {
        printf("tool.arg%d=%s\n", i, argv[i]);
    }
    print_preload("tool.ld_preload");
    printf("tool.lib_loaded=%d\n", library_mapped() ? 1 : 0);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* base = strrchr(argv[0], '/');
    base = base == nullptr ? argv[0] : base + 1;
    if (strncmp(base, "report-tool", 11) == 0) {
        return report_tool(argc, argv);
    }
    if (argc < 2) {
        return 2;
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    printf("lib_loaded=%d\n", library_mapped() ? 1 : 0);
    std::string cmd = argv[1];
    if (cmd == "forward" && argc >= 4) {
        // forward TOOL ID [ARGS...]: ARGS stand for the program's argv.
        using fn = void (*)(int, char**, const char*, int);
        if (getenv("IGNORE_SIGCHLD") != nullptr) {
            signal(SIGCHLD, SIG_IGN);  // children are reaped by the kernel
        }
        errno = 1234;
        lib<fn>("ziv_forward_cmd_with_execve")(argc - 4, argv + 4, argv[2], atoi(argv[3]));
        printf("errno=%d\n", errno);
        print_preload("parent.ld_preload");
        return 0;
    }
    if (cmd == "content" && argc >= 3) {
        char* text = lib<char* (*)(const char*)>("ziv_get_file_content")(argv[2]);
        printf("content=%s\n", text == nullptr ? "<null>" : text);
        free(text);
        return 0;
    }
    if (cmd == "default" && argc >= 4) {
        lib<void (*)(const char*, int, const char*)>("ziv_trace_cmd_default")(argv[2], 1, argv[3]);
        printf("returned=1\n");
        return 0;
    }
    return 2;
}
