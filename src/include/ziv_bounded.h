// Size-bounded copy, fill, concatenation, formatting and scanning. Every
// write into a fixed-size buffer in the library goes through these. They are
// hidden: a program with its own memcpy_s keeps it.
#pragma once

#include <cstddef>
#include <cstdio>

#include "ziv_common.h"

// Result codes.
constexpr int EOK = 0;
constexpr int ZIV_EINVAL = 22;
constexpr int ZIV_ERANGE = 34;
constexpr int EINVAL_CLEARED = 150;
constexpr int ERANGE_CLEARED = 162;
constexpr int EOVERLAP_CLEARED = 182;
// Largest destination size accepted.
constexpr size_t ZIV_SECUREC_MAX = 0x7FFFFFFF;

extern "C" {

int memcpy_s(void* dest, size_t destsz, const void* src, size_t count);
int memmove_s(void* dest, size_t destsz, const void* src, size_t count);
int memset_s(void* dest, size_t destsz, int c, size_t count);
int strcpy_s(char* dest, size_t destsz, const char* src);
int strncpy_s(char* dest, size_t destsz, const char* src, size_t count);
int strcat_s(char* dest, size_t destsz, const char* src);
int sprintf_s(char* dest, size_t destsz, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
int sscanf_s(const char* buffer, const char* fmt, ...);
int fscanf_s(FILE* stream, const char* fmt, ...);

// Zero-filled block of `size` bytes; null when size < 1 or on failure.
ZIV_EXPORT void* ziv_malloc_and_init(int size);
// Heap copy of `text`; null for a null text or on failure.
ZIV_EXPORT char* ziv_copy_string(const char* text);

}  // extern "C"
