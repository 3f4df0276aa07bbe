// Answers 99 and counts calls, so a test sees whose definition ran.
#include "secure_stub.h"

static int calls;

int memcpy_s(void* dest, size_t destsz, const void* src, size_t count)
{
    (void)dest; (void)destsz; (void)src; (void)count;
    ++calls;
    return 99;
}

int strcpy_s(char* dest, size_t destsz, const char* src)
{
    (void)dest; (void)destsz; (void)src;
    ++calls;
    return 99;
}

int probe_secure_calls(void) { return calls; }
