// A program's own bounded functions, with the conventional names, in a
// library of the program's: they must stay the program's under preloading.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

int memcpy_s(void* dest, size_t destsz, const void* src, size_t count);
int strcpy_s(char* dest, size_t destsz, const char* src);
// How many times the two functions above were called in this process.
int probe_secure_calls(void);

#ifdef __cplusplus
}
#endif
