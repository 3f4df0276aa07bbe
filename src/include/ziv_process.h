// Classification of processes by their short names.
#pragma once

#include "ziv_common.h"

extern "C" {

// 1 when `name` is one of the make programs, else 0.
ZIV_EXPORT int ziv_process_is_make(const char* name);

}  // extern "C"
