// A stand-in for build tools: tests start it as gcc, ld, ar, as, unknown
// programs and extra build tools. What it does depends only on its
// arguments, so a build made of it gives the same bytes with and without
// tracing; what tracing did to the process is appended, one line per
// process, to the file named by TRACE_PROBE_REPORT.
//
//   -o FILE             writes FILE (content made from the arguments)
//   --probe-exit=N      exits with N
//   --probe-sleep=MS    sleeps before exiting
//   --probe-run PROG... runs PROG with the remaining arguments and waits
//   --probe-env         prints its environment ("env:" lines, sorted) and
//                       the time() it is given
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

#include "ziv_trace.h"

namespace {

std::string env_or_unset(const char* name)
{
    const char* value = getenv(name);
    return value != nullptr ? value : "unset";
}

}  // namespace

int main(int argc, char** argv)
{
    int errno_at_main = errno;
    const char* slash = std::strrchr(argv[0], '/');
    std::string name = slash != nullptr ? slash + 1 : argv[0];
    std::string joined;
    for (int i = 1; i < argc; ++i) {
        joined += (i > 1 ? " " : "") + std::string(argv[i]);
    }
    // What the library decided for this process, read from its exported row.
    if (const char* path = getenv("TRACE_PROBE_REPORT"); path != nullptr) {
        auto** current = reinterpret_cast<ziv_trace_cmd**>(dlsym(RTLD_DEFAULT, "g_ziv_trace_cmd"));
        const ziv_trace_cmd* row = current != nullptr ? *current : nullptr;
        std::string line = "prog=" + name + "\trow=" + (row != nullptr ? row->name : "none") +
                           "\tcmd=" + std::to_string(row != nullptr ? row->command_id : -1) +
                           "\texcluded=" + std::to_string(row != nullptr ? row->excluded : -1) +
                           "\tpcommand=" + env_or_unset("ZIV_PCOMMAND_ID") + "\tpreload=" + env_or_unset("LD_PRELOAD") +
                           "\ttoolname=" + env_or_unset("ZIV_TRACE_BUILD_TOOLNAME") + "\targs=" + joined + "\n";
        // One write per line: concurrent probes never interleave.
        int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd < 0 || write(fd, line.data(), line.size()) < 0) {
            perror("report");
        }
        close(fd);
    }
    std::printf("%s: %s\nerrno_at_main=%d\n", name.c_str(), joined.c_str(), errno_at_main);
    std::fprintf(stderr, "%s writes to stderr\n", name.c_str());
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc) {
            FILE* out = std::fopen(argv[i + 1], "w");
            if (out == nullptr) {
                std::perror(argv[i + 1]);
                return 1;
            }
            std::fprintf(out, "%s made from: %s\n", name.c_str(), joined.c_str());
            std::fclose(out);
        } else if (std::strcmp(argv[i], "--probe-env") == 0) {
            std::vector<std::string> entries;
            for (char** e = environ; *e != nullptr; ++e) {
                entries.push_back(*e);
            }
            std::sort(entries.begin(), entries.end());
            for (const std::string& e : entries) {
                std::printf("env:%s\n", e.c_str());
            }
            std::printf("time=%lld\n", static_cast<long long>(time(nullptr)));
        } else if (std::strncmp(argv[i], "--probe-exit=", 13) == 0) {
            status = std::atoi(argv[i] + 13);
        } else if (std::strncmp(argv[i], "--probe-sleep=", 14) == 0) {
            long ms = std::atol(argv[i] + 14);
            timespec pause{ms / 1000, (ms % 1000) * 1000000};
            nanosleep(&pause, nullptr);
        } else if (std::strcmp(argv[i], "--probe-run") == 0 && i + 1 < argc) {
            std::fflush(stdout);
            pid_t child = fork();
            if (child == 0) {
                execvp(argv[i + 1], argv + i + 1);
                _exit(127);
            }
            int child_status = 0;
            waitpid(child, &child_status, 0);
            return status != 0 ? status : WIFEXITED(child_status) ? WEXITSTATUS(child_status) : 128;
        }
    }
    return status;
}
