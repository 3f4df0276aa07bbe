// The current trace command row and the clock of its timing block.
#include <sys/time.h>

#include "ziv_symbols.h"
#include "ziv_trace.h"

extern "C" {

ZIV_EXPORT ziv_trace_cmd* g_ziv_trace_cmd = nullptr;

ZIV_EXPORT void ziv_init_trace_time(ziv_trace_time* time)
{
    if (time == nullptr) {
        return;
    }
    timeval now{};
    if (ziv_real_now(&now)) {
        time->start = now;
        time->main_start = now;
    }
    time->runtime_ms = 0;
    time->total_ms = 0;
    time->sha256_ms = 0;
    time->sql_ms = 0;
    time->dataid_ms = 0;
}

}  // extern "C"

bool ziv_real_now(timeval* now)
{
    // The library's own gettimeofday may hand out the fixed build time; the
    // accounting needs the real clock.
    auto real = ziv_lazy(g_pf_org_gettimeofday, "gettimeofday");
    return real != nullptr && real(now, nullptr) == 0;
}
