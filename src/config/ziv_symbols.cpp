// The next definitions of the interposed functions, and the libraries the
// library opens itself when a definition is not found where expected.
#include <cstdio>
#include <dlfcn.h>
#include <initializer_list>

#include "ziv_log.h"
#include "ziv_symbols.h"

extern "C" {

#define ZIV_DEFINE_ORG(name, type, symbol) std::type_identity_t<type> g_pf_org_##name = nullptr;
ZIV_ORG_SYMBOLS(ZIV_DEFINE_ORG)
#undef ZIV_DEFINE_ORG

int (*g_pf_org_clock_gettime)(clockid_t, struct timespec*) = nullptr;
int (*g_pf_org_uname)(struct utsname*) = nullptr;
uint32_t (*g_pf_org_arc4random)(void) = nullptr;
ssize_t (*g_pf_org_getrandom)(void*, size_t, unsigned int) = nullptr;

void* g_dlhandle_ziv_rt_lazy = nullptr;
void* g_dlhandle_ziv_c_lazy = nullptr;
void* g_dlhandle_ziv_bsd = nullptr;
void* g_dlhandle_ziv_sqlite3_lazy = nullptr;

}  // extern "C"

namespace {

// The base symbol version of the C library on x86-64.
constexpr const char* ZIV_LIBC_BASE_VERSION = "GLIBC_2.2.5";

// Looks `symbol` up in an opened library; the error text, when there is
// one, is reported through `report`.
template <typename Fn, typename Report>
void ziv_fallback_lookup(Fn& slot, void*& handle, const char* library, const char* symbol, Report report)
{
    if (handle == nullptr) {
        handle = dlopen(library, RTLD_LAZY);
    }
    if (handle == nullptr) {
        if (const char* error = dlerror(); error != nullptr) {
            report(error);
        }
        return;
    }
    dlerror();
    slot = reinterpret_cast<Fn>(dlsym(handle, symbol));
    if (const char* error = dlerror(); error != nullptr) {
        report(error);
    }
}

void ziv_report_stdout(const char* error) { puts(error); }

void ziv_report_exit_alert(const char* error)
{
    ziv_log_always(LOG_ALERT, "%s dlsym error: %s.\n", "ziv_dlsym_exit", error);
}

// The next definition; when none is found without a loader error, the C
// library's own. A loader error is reported and ends the search.
template <typename Fn, typename Report>
void ziv_next_or_libc(Fn& slot, const char* symbol, Report report)
{
    dlerror();
    slot = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, symbol));
    if (const char* error = dlerror(); error != nullptr) {
        report(error);
        return;
    }
    if (slot == nullptr) {
        ziv_fallback_lookup(slot, g_dlhandle_ziv_c_lazy, "libc.so.6", symbol, report);
    }
}

}  // namespace

void* ziv_next_symbol(const char* symbol)
{
    void* found = dlsym(RTLD_NEXT, symbol);
    if (found == nullptr) {
        found = dlvsym(RTLD_NEXT, symbol, ZIV_LIBC_BASE_VERSION);
    }
    return found;
}

extern "C" {

ZIV_EXPORT void ziv_dlsym_clock_gettime(void)
{
    dlerror();
    g_pf_org_clock_gettime = reinterpret_cast<decltype(g_pf_org_clock_gettime)>(dlsym(RTLD_NEXT, "clock_gettime"));
    if (dlerror() != nullptr) {
        ziv_fallback_lookup(g_pf_org_clock_gettime, g_dlhandle_ziv_rt_lazy, "librt.so", "clock_gettime",
                            ziv_report_stdout);
    }
}

ZIV_EXPORT void ziv_dlsym_uname(void) { ziv_next_or_libc(g_pf_org_uname, "uname", ziv_report_stdout); }

ZIV_EXPORT void ziv_dlsym_exit(void) { ziv_next_or_libc(g_pf_org__exit, "_exit", ziv_report_exit_alert); }

ZIV_EXPORT void ziv_dlsym_arc4random(void)
{
    g_pf_org_arc4random = reinterpret_cast<decltype(g_pf_org_arc4random)>(dlsym(RTLD_NEXT, "arc4random"));
    if (g_pf_org_arc4random == nullptr) {
        ziv_fallback_lookup(g_pf_org_arc4random, g_dlhandle_ziv_bsd, "libbsd.so", "arc4random", ziv_report_stdout);
    }
}

ZIV_EXPORT void init_ziv_org_symbols(void)
{
#define ZIV_RESOLVE_ORG(name, type, symbol) g_pf_org_##name = reinterpret_cast<type>(ziv_next_symbol(symbol));
    ZIV_ORG_SYMBOLS(ZIV_RESOLVE_ORG)
#undef ZIV_RESOLVE_ORG
    ziv_dlsym_clock_gettime();
    ziv_dlsym_uname();
    g_pf_org_arc4random = reinterpret_cast<decltype(g_pf_org_arc4random)>(dlsym(RTLD_NEXT, "arc4random"));
}

ZIV_EXPORT void ziv_dlclose_all(void)
{
    for (void** handle : {&g_dlhandle_ziv_rt_lazy, &g_dlhandle_ziv_c_lazy, &g_dlhandle_ziv_bsd,
                          &g_dlhandle_ziv_sqlite3_lazy}) {
        if (*handle != nullptr) {
            dlclose(*handle);
            *handle = nullptr;
        }
    }
}

}  // extern "C"
