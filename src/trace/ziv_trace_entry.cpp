// Process entry: every program passes through here before its main.
#include <cerrno>
#include <dlfcn.h>
#include <unistd.h>

#include "ziv_identity.h"
#include "ziv_lifecycle.h"
#include "ziv_log.h"

namespace {

using ziv_main_fn = int (*)(int, char**, char**);
using ziv_start_fn = int (*)(ziv_main_fn, int, char**, void (*)(void), void (*)(void), void (*)(void), void*);

}  // namespace

extern "C" {

ZIV_EXPORT pid_t g_ziv_pid = 0;

ZIV_EXPORT int __libc_start_main(ziv_main_fn main, int argc, char** argv, void (*init)(void), void (*fini)(void),
                                 void (*rtld_fini)(void), void* stack_end)
{
    int saved_errno = errno;
    // tar and hostname lose features depending on what they are asked to do.
    ziv_adjust_features_from_args(argc, argv);
    auto next = reinterpret_cast<ziv_start_fn>(dlsym(RTLD_NEXT, "__libc_start_main"));
    g_ziv_pid = ziv_libc_getpid();
    if (next == nullptr) {
        ziv_log_always(LOG_ALERT, "%s dlsym error: %s.\n", "__libc_start_main", "symbol not found");
        _exit(127);
    }
    errno = saved_errno;
    return next(main, argc, argv, init, fini, rtld_fini, stack_end);
}

ZIV_EXPORT void ziv_trace_fini(void) {}

}  // extern "C"
