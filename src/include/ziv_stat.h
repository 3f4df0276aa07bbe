// File status rewriting, shared by the stat family and the directory and
// tree-walk interposers.
#pragma once

#include <cstdint>
#include <sys/stat.h>

#include "ziv_interpose.h"

extern "C" {

// Rewrite a filled result in place according to the program's features;
// `name` is the calling function's name, for messages only.
ZIV_EXPORT void ziv_stat(struct stat* buf, const char* name);
ZIV_EXPORT void ziv_stat64(struct stat64* buf, const char* name);

}  // extern "C"

// The same rewrite for statx results.
void ziv_statx(struct statx* buf, const char* name);

