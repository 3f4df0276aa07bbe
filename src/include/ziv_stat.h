// File status rewriting, shared by the stat family and the directory and
// tree-walk interposers, and the cheap feature test of the hot paths.
#pragma once

#include <cstdint>
#include <sys/stat.h>

#include "ziv_config.h"

extern "C" {

// Rewrite a filled result in place according to the program's features;
// `name` is the calling function's name, for messages only.
ZIV_EXPORT void ziv_stat(struct stat* buf, const char* name);
ZIV_EXPORT void ziv_stat64(struct stat64* buf, const char* name);

}  // extern "C"

// The same rewrite for statx results.
void ziv_statx(struct statx* buf, const char* name);

// The answer of is_in_ziv_process_list(bit) without a call into it in the
// common case: once the program's row is final, every bit but the two time
// lists with a whitelist fallback is just the mask bit.
// Before the configuration is read (another library's constructor can run
// before ours) no list counts as defined, and the whitelist fallback would
// hand the fixed time to every program: nothing is replaced then.
inline bool ziv_feature_on(uint32_t bit)
{
    const ziv_cfg_t& cfg = ziv_prog_cfg;
    constexpr uint32_t fallback_bits = ZIV_F_TIMELIST | ZIV_F_FILE_TIME_LIST;
    if (cfg.env_read == 1 && ((bit & fallback_bits) == 0 || (cfg.defined_lists & bit) != 0)) {
        return (cfg.prog[0].mask & bit) != 0;
    }
    if ((bit & fallback_bits) != 0 && cfg.defined_lists == 0) {
        return false;
    }
    return is_in_ziv_process_list(bit) != 0;
}

// Whether the log is on: messages are formatted only then.
inline bool ziv_logging() { return ziv_prog_cfg.log_level != 0; }
