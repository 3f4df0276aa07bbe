// A stand-in for build tools: tests start it as gcc, ld, armcc, iccarm,
// unknown programs, extra build tools and template-described tools. What it
// does depends only on its arguments and TRACE_PROBE_WRITES, so a build made
// of it gives the same bytes with and without tracing. What tracing made of
// the process is appended, one line per process, to TRACE_PROBE_REPORT.
//
//   -o FILE, --out=FILE writes FILE (content made from the arguments)
//   --probe-exit=N      exits with N
//   --probe-sleep=MS    sleeps before exiting
//   --probe-run PROG... runs PROG with the remaining arguments and waits
//   --probe-env         prints its environment ("env:" lines, sorted) and
//                       the time() it is given
//   TRACE_PROBE_WRITES="a|b"  the files it writes instead, as the
//                       tool it stands for would (ARM and IAR tools name
//                       their outputs in many ways)
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ziv_trace.h"

namespace {

std::string env_or_unset(const char* name)
{
    const char* value = getenv(name);
    return value != nullptr ? value : "unset";
}

// "a|b", or "-" for none.
template <typename Node, typename Fn>
std::string listed(const Node* list, Fn name)
{
    std::string out;
    for (; list != nullptr; list = list->next) {
        out += (out.empty() ? "" : "|") + name(list);
    }
    return out.empty() ? "-" : out;
}

// What the library decided for this process, read from its exported row.
void report(const std::string& name, const std::string& args)
{
    const char* path = getenv("TRACE_PROBE_REPORT");
    if (path == nullptr) {
        return;
    }
    auto** current = reinterpret_cast<ziv_trace_cmd**>(dlsym(RTLD_DEFAULT, "g_ziv_trace_cmd"));
    const ziv_trace_cmd* row = current != nullptr ? *current : nullptr;
    const ziv_trace_info* info = row != nullptr ? row->info : nullptr;
    auto file = [](const ziv_trace_file* f) { return std::string(f->name); };
    auto pair = [](const ziv_trace_paired_file* p) {
        return std::string(p->in_name != nullptr ? p->in_name : "") + ">" + (p->out_name != nullptr ? p->out_name : "");
    };
    std::string line = "prog=" + name + "\trow=" + (row != nullptr ? row->name : "none") +
                       "\tcmd=" + std::to_string(row != nullptr ? row->command_id : -1) +
                       "\texcluded=" + std::to_string(row != nullptr ? row->excluded : -1) +
                       "\tpcommand=" + env_or_unset("ZIV_PCOMMAND_ID") + "\tpreload=" + env_or_unset("LD_PRELOAD") +
                       "\ttoolname=" + env_or_unset("ZIV_TRACE_BUILD_TOOLNAME") + "\targs=" + args +
                       "\tin=" + listed(info != nullptr ? info->inputs : nullptr, file) +
                       "\tout=" + listed(info != nullptr ? info->outputs : nullptr, file) +
                       "\tpairs=" + listed(info != nullptr ? info->paired : nullptr, pair) +
                       "\tflags=" + std::to_string(info != nullptr ? info->flags : -1);
    // Names may hold line feeds: the report keeps one line per process, and
    // one write per line so that concurrent probes never interleave.
    std::replace(line.begin(), line.end(), '\n', '~');
    line += '\n';
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0 || write(fd, line.data(), line.size()) < 0) {
        perror("report");
    }
    close(fd);
}

bool produce(const std::string& name, const std::string& path, const std::string& args)
{
    FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) {
        std::perror(path.c_str());
        return false;
    }
    std::fprintf(out, "%s made from: %s\n", name.c_str(), args.c_str());
    return std::fclose(out) == 0;
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
    report(name, joined);
    std::printf("%s: %s\nerrno_at_main=%d\n", name.c_str(), joined.c_str(), errno_at_main);
    std::fprintf(stderr, "%s writes to stderr\n", name.c_str());
    const char* writes = getenv("TRACE_PROBE_WRITES");
    for (std::string list = writes != nullptr ? writes : "", file; !list.empty(); list.erase(0, file.size() + 1)) {
        file = list.substr(0, list.find('|'));
        if (!file.empty() && !produce(name, file, joined)) {
            return 1;
        }
    }
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        // argv[argc] is null: a last "-o" names nothing.
        const char* out = std::strcmp(argv[i], "-o") == 0 ? argv[i + 1]
                          : std::strncmp(argv[i], "--out=", 6) == 0 ? argv[i] + 6
                                                                     : nullptr;
        if (out != nullptr && writes == nullptr) {
            if (!produce(name, out, joined)) {
                return 1;
            }
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
