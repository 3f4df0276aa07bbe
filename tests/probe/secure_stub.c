// A program's own bounded functions, with the conventional names, in a
// library of the program's: they must stay the program's under preloading.
// They answer 99 and count calls, so a test sees whose definition ran.
#include <stddef.h>

static int calls;

int memcpy_s(void* dest, size_t destsz, const void* src, size_t count)
{
    (void)dest, (void)destsz, (void)src, (void)count;
    return ++calls, 99;
}

int strcpy_s(char* dest, size_t destsz, const char* src)
{
    (void)dest, (void)destsz, (void)src;
    return ++calls, 99;
}

int probe_secure_calls(void) { return calls; }
