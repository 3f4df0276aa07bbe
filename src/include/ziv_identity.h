// Process and user identity, host name and system information.
#pragma once

#include <sys/sysinfo.h>
#include <sys/types.h>

#include "ziv_common.h"

extern "C" {

// The process id derived from the program name; `caller` names the asker
// in the message.
ZIV_EXPORT pid_t ziv_getpid(const char* caller);

// Rewrites a filled structure for listed programs; returns `result`, or -1
// when a configured value is negative.
ZIV_EXPORT int ziv_sysinfo(struct sysinfo* info, int result, const char* name);
ZIV_EXPORT void ziv_sysinfo_uptime(struct sysinfo* info, const char* variable);
ZIV_EXPORT void ziv_sysinfo_loads(struct sysinfo* info, const char* variable);
ZIV_EXPORT void ziv_sysinfo_totalram(struct sysinfo* info, const char* variable);
ZIV_EXPORT void ziv_sysinfo_freeram(struct sysinfo* info, const char* variable);
ZIV_EXPORT void ziv_sysinfo_procs(struct sysinfo* info, const char* variable);
ZIV_EXPORT void ziv_sysinfo_f(struct sysinfo* info, const char* variable);

// Start-of-process adjustments of the feature mask from the arguments.
ZIV_EXPORT void ziv_parse_tar_command(int argc, char** argv);
ZIV_EXPORT void ziv_parse_hostname_command(int argc, char** argv);

}  // extern "C"

// The process id as the program sees it (derived for ZIV_RANDOMLIST
// programs), for the library's own messages: nothing is logged.
pid_t ziv_program_pid();

// Calls the adjustment that belongs to the program, if any; every process
// passes here before main.
void ziv_adjust_features_from_args(int argc, char** argv);
