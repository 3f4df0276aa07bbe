// The entry message of the interposers, kept off the hot path: nothing is
// formatted or called while logging is off.
#pragma once

#include "ziv_config.h"
#include "ziv_log.h"

inline bool ziv_logging() { return ziv_prog_cfg.log_level != 0; }

inline void ziv_log_enter(const char* function, int line)
{
    if (ziv_logging()) {
        ziv_log(LOG_INFO, "process %s enter function %s line %d\n", ziv_prog_name_for_log(), function, line);
    }
}
