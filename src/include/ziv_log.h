// The one way the library reports anything: the system log, ident "ziv_env",
// facility LOG_LOCAL6.
#pragma once

#include <syslog.h>

extern "C" {

// Emits only while the configured log level is non-zero. `priority` is one
// of LOG_INFO, LOG_ALERT, LOG_WARNING; the facility is added here.
void ziv_log(int priority, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Emits whatever the log level is: for the few alerts that must always be
// seen (loader failures of _exit, build database open failures).
void ziv_log_always(int priority, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Emits whatever the log level is, with `priority` exactly as given (no
// facility added): for the few messages that go to the default facility.
void ziv_log_plain(int priority, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Opens the system log under the library's ident.
void ziv_log_open();

// Closes the system log if the library opened it.
void ziv_log_close();

}  // extern "C"

// "<call> failed, err = <code>, function <caller> line <line>"
#define ZIV_LOG_FAILED(call, err)                                                                \
    ziv_log(LOG_INFO, "%s failed, err = %d, function %s line %d\n", (call), static_cast<int>(err), \
            __func__, __LINE__)
