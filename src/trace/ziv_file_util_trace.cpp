// The file identification functions that account their cost to, or reset,
// the current trace command row.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ziv_bounded.h"
#include "ziv_config.h"
#include "ziv_file_util.h"
#include "ziv_helper_process.h"
#include "ziv_trace.h"

extern "C" {

ZIV_EXPORT int ziv_get_sha256sum(const char* name, char* buffer, size_t size)
{
    ziv_trace_cmd* row = g_ziv_trace_cmd;
    ziv_stopwatch clock(row != nullptr && g_ziv_cfg != nullptr && g_ziv_cfg->log_level == 3);
    int result = ziv_sha256_file_hex(name, buffer, size);
    if (row != nullptr) {
        clock.add_to(&row->time.sha256_ms);
    }
    return result;
}

ZIV_EXPORT void ziv_trace_cmd_default(const char* first, int flag, const char* second)
{
    if (first == nullptr || flag == 0 || second == nullptr) {
        return;
    }
    ziv_errno_guard keep_errno;
    // The two texts are a command line by design ("<program> <arguments>"),
    // so they are handed to the shell as they are.
    size_t size = strlen(first) + strlen(second) + 14;
    auto* line = static_cast<char*>(ziv_malloc_and_init(static_cast<int>(size)));
    if (line == nullptr) {
        return;
    }
    if (sprintf_s(line, size, "LD_PRELOAD= %s %s", second, first) < 0) {
        free(line);
        return;
    }
    pid_t child = fork();
    if (child == 0) {
        // Nothing of this process's tracing or normalisation goes on in the
        // helper processes.
        g_ziv_trace_cmd = nullptr;
        g_ziv_cfg->prog[0].mask = 0;
        g_ziv_cfg->env_read = 1;
        if (fork() == 0) {
            (void)ziv_run_shell_line(line);
        }
        _exit(0);
    }
    free(line);
    if (child > 0) {
        // The middle process leaves at once; waiting for it (rather than
        // polling once) reaps it for sure and leaves no zombie behind.
        ziv_wait_child(child);
    }
}

}  // extern "C"
