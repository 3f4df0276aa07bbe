// The system log, the library's only voice. Messages are sent only while a
// log level is configured, except the few that must always be seen.
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <execinfo.h>

#include "ziv_config.h"
#include "ziv_log.h"

namespace {

bool g_log_open = false;

void ziv_vlog(int priority, const char* fmt, va_list ap)
{
    ziv_errno_guard keep;
    ziv_log_open();
    vsyslog(priority, fmt, ap);
}

}  // namespace

extern "C" {

void ziv_log_open()
{
    if (!g_log_open) {
        ziv_errno_guard keep;
        openlog("ziv_env", LOG_PID | LOG_CONS, 0);
        g_log_open = true;
    }
}

void ziv_log(int priority, const char* fmt, ...)
{
    if (ziv_prog_cfg.log_level == 0) {
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    ziv_vlog(LOG_LOCAL6 | priority, fmt, ap);
    va_end(ap);
}

void ziv_log_always(int priority, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    ziv_vlog(LOG_LOCAL6 | priority, fmt, ap);
    va_end(ap);
}

void ziv_log_plain(int priority, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    ziv_vlog(priority, fmt, ap);
    va_end(ap);
}

void ziv_log_close()
{
    if (g_log_open) {
        ziv_errno_guard keep;
        closelog();
        g_log_open = false;
    }
}

ZIV_EXPORT void ziv_get_stack_info(const char* tag)
{
    if (ziv_prog_cfg.log_level != 2) {
        return;
    }
    ziv_errno_guard keep;
    void* frames[1024];
    int depth = backtrace(frames, 1024);
    char** lines = backtrace_symbols(frames, depth);
    if (lines == nullptr) {
        return;
    }
    for (int i = 0; i < depth; ++i) {
        ziv_log(LOG_INFO, "%s %s backtrace %s\n", program_invocation_short_name, tag != nullptr ? tag : "", lines[i]);
    }
    std::free(lines);
}

}  // extern "C"
