// What every interposer shares: the feature test of the hot paths and the
// entry message, neither of which costs a call while nothing applies.
#pragma once

#include <cstdint>

#include "ziv_config.h"
#include "ziv_log.h"

// The answer of is_in_ziv_process_list(bit) without a call into it in the
// common case: once the program's row is final, every bit but the two time
// lists with a whitelist fallback is just the mask bit.
inline bool ziv_feature_on(uint32_t bit)
{
    const ziv_cfg_t& cfg = ziv_prog_cfg;
    constexpr uint32_t fallback_bits = ZIV_F_TIMELIST | ZIV_F_FILE_TIME_LIST;
    if (cfg.env_read == 1 && ((bit & fallback_bits) == 0 || (cfg.defined_lists & bit) != 0)) {
        return (cfg.prog[0].mask & bit) != 0;
    }
    return is_in_ziv_process_list(bit) != 0;
}

// Whether the log is on: messages are formatted only then.
inline bool ziv_logging() { return ziv_prog_cfg.log_level != 0; }

inline void ziv_log_enter(const char* function, int line)
{
    if (ziv_logging()) {
        ziv_log(LOG_INFO, "process %s enter function %s line %d\n", ziv_prog_name_for_log(), function, line);
    }
}
