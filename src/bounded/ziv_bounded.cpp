// Bounded copy, fill, concatenation, formatting and scanning.
// Thin layers over the C library: the checks below decide the result code
// and the destination contents after a failure; the work itself is done by
// memcpy, memmove, memset, vsnprintf, vsscanf and vfscanf.
#include "ziv_bounded.h"

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ziv_log.h"

namespace {

// True when the byte ranges [a, a + alen) and [b, b + blen) share a byte.
// Compared as integers: the pointers may belong to unrelated objects.
bool ranges_overlap(const void* a, size_t alen, const void* b, size_t blen) {
    const uintptr_t pa = reinterpret_cast<uintptr_t>(a);
    const uintptr_t pb = reinterpret_cast<uintptr_t>(b);
    return alen > 0 && blen > 0 && pa < pb + blen && pb < pa + alen;
}

bool bad_size(size_t destsz) { return destsz == 0 || destsz > ZIV_SECUREC_MAX; }

// Skips a scanf conversion specification that starts just after '%'.
// Sets `assigns` when the conversion stores through a pointer and `position`
// to the n of a "%n$" form (0 when absent). Returns the character after the
// specification, or null when the conversion is malformed or unfinished.
const char* skip_scan_spec(const char* p, bool* assigns, unsigned* position) {
    *assigns = true;
    *position = 0;
    unsigned digits = 0;
    const char* start = p;
    while (*p >= '0' && *p <= '9') {
        digits = digits * 10 + static_cast<unsigned>(*p - '0');
        if (digits > 100000) return nullptr;
        ++p;
    }
    if (*p == '$' && p != start) {
        *position = digits;
        ++p;
    } else {
        p = start;
    }
    if (*p == '*') {
        *assigns = false;
        ++p;
    }
    while (*p >= '0' && *p <= '9') ++p;  // field width
    if (*p == 'm') ++p;                  // GNU allocating modifier
    // Length modifiers: hh h ll l L q j z t.
    while (*p == 'h' || *p == 'l' || *p == 'L' || *p == 'q' || *p == 'j' || *p == 'z' || *p == 't') ++p;
    switch (*p) {
        case 'd': case 'i': case 'o': case 'u': case 'x': case 'X':
        case 'a': case 'A': case 'e': case 'E': case 'f': case 'F': case 'g': case 'G':
        case 's': case 'S': case 'c': case 'C': case 'p': case 'n':
            return p + 1;
        case '[':
            ++p;
            if (*p == '^') ++p;
            if (*p == ']') ++p;  // a leading ']' is a member of the set
            while (*p != '\0' && *p != ']') ++p;
            return *p == ']' ? p + 1 : nullptr;
        default:
            return nullptr;
    }
}

// Checks that every result pointer the format will store through is non-null.
// Sequential formats: one pointer per non-suppressed conversion. Positional
// formats ("%2$d"): the pointers up to the highest position.
bool scan_args_ok(const char* fmt, va_list ap) {
    unsigned sequential = 0;
    unsigned highest = 0;
    for (const char* p = fmt; *p != '\0';) {
        if (*p != '%') {
            ++p;
            continue;
        }
        ++p;
        if (*p == '%') {
            ++p;
            continue;
        }
        bool assigns = false;
        unsigned position = 0;
        p = skip_scan_spec(p, &assigns, &position);
        if (p == nullptr) break;  // the C library stops scanning here as well
        if (!assigns) continue;
        if (position > 0) {
            if (position > highest) highest = position;
        } else {
            ++sequential;
        }
    }
    const unsigned count = highest > sequential ? highest : sequential;
    va_list walk;
    va_copy(walk, ap);
    bool ok = true;
    for (unsigned i = 0; i < count; ++i) {
        if (va_arg(walk, void*) == nullptr) {
            ok = false;
            break;
        }
    }
    va_end(walk);
    return ok;
}

// The checks memcpy_s and memmove_s share. Returns the result code, or -1
// when the copy is to go ahead.
int check_memory_copy(void* dest, size_t destsz, const void* src, size_t count) {
    if (bad_size(destsz)) return ZIV_ERANGE;
    if (dest == nullptr) return ZIV_EINVAL;
    if (src == nullptr) {
        memset(dest, 0, destsz);
        return EINVAL_CLEARED;
    }
    if (count > destsz) {
        memset(dest, 0, destsz);
        return ERANGE_CLEARED;
    }
    if (count == 0 || dest == src) return EOK;
    return -1;
}

}  // namespace

extern "C" {

int memcpy_s(void* dest, size_t destsz, const void* src, size_t count) {
    if (int code = check_memory_copy(dest, destsz, src, count); code != -1) return code;
    if (ranges_overlap(dest, count, src, count)) {
        memset(dest, 0, destsz);
        return EOVERLAP_CLEARED;
    }
    memcpy(dest, src, count);
    return EOK;
}

int memmove_s(void* dest, size_t destsz, const void* src, size_t count) {
    if (int code = check_memory_copy(dest, destsz, src, count); code != -1) return code;
    memmove(dest, src, count);
    return EOK;
}

int memset_s(void* dest, size_t destsz, int c, size_t count) {
    if (destsz > ZIV_SECUREC_MAX) return ZIV_ERANGE;
    if (destsz == 0) return count == 0 ? EOK : ZIV_ERANGE;
    if (dest == nullptr) return ZIV_EINVAL;
    if (count > destsz) {
        memset(dest, c, destsz);
        return ERANGE_CLEARED;
    }
    memset(dest, c, count);
    return EOK;
}

int strcpy_s(char* dest, size_t destsz, const char* src) {
    if (bad_size(destsz)) return ZIV_ERANGE;
    if (dest == nullptr) return ZIV_EINVAL;
    if (src == nullptr) {
        dest[0] = '\0';
        return EINVAL_CLEARED;
    }
    const size_t len = strnlen(src, destsz);
    if (len >= destsz) {
        dest[0] = '\0';
        return ERANGE_CLEARED;
    }
    if (dest == src) return EOK;
    // Read: the text and its terminator; written: as many bytes at dest.
    if (ranges_overlap(dest, len + 1, src, len + 1)) {
        dest[0] = '\0';
        return EOVERLAP_CLEARED;
    }
    memcpy(dest, src, len + 1);
    return EOK;
}

int strncpy_s(char* dest, size_t destsz, const char* src, size_t count) {
    if (bad_size(destsz)) return ZIV_ERANGE;
    if (dest == nullptr) return ZIV_EINVAL;
    if (src == nullptr) {
        dest[0] = '\0';
        return EINVAL_CLEARED;
    }
    if (count > ZIV_SECUREC_MAX) {
        dest[0] = '\0';
        return ERANGE_CLEARED;
    }
    if (count == 0) {
        dest[0] = '\0';
        return EOK;
    }
    // Characters to copy: at most count, and fewer than destsz to fit.
    const size_t limit = count < destsz ? count : destsz;
    const size_t len = strnlen(src, limit);
    if (len >= destsz) {
        dest[0] = '\0';
        return ERANGE_CLEARED;
    }
    // Read: len characters, plus the terminator when the text ended before
    // count; written: len characters and a terminator.
    const size_t read = len < count ? len + 1 : len;
    if (ranges_overlap(dest, len + 1, src, read)) {
        dest[0] = '\0';
        return EOVERLAP_CLEARED;
    }
    memcpy(dest, src, len);
    dest[len] = '\0';
    return EOK;
}

int strcat_s(char* dest, size_t destsz, const char* src) {
    if (bad_size(destsz)) return ZIV_ERANGE;
    if (dest == nullptr) return ZIV_EINVAL;
    if (src == nullptr) {
        dest[0] = '\0';
        return EINVAL_CLEARED;
    }
    const size_t dlen = strnlen(dest, destsz);
    if (dlen == destsz) {
        dest[0] = '\0';
        return EINVAL_CLEARED;
    }
    const size_t room = destsz - dlen;  // bytes left, terminator included
    const size_t slen = strnlen(src, room);
    if (slen >= room) {
        dest[0] = '\0';
        return ERANGE_CLEARED;
    }
    // Read: the source and its terminator; written: the same number of bytes
    // from the destination's terminator on.
    if (ranges_overlap(dest + dlen, slen + 1, src, slen + 1)) {
        dest[0] = '\0';
        return EOVERLAP_CLEARED;
    }
    memcpy(dest + dlen, src, slen + 1);
    return EOK;
}

int sprintf_s(char* dest, size_t destsz, const char* fmt, ...) {
    if (dest == nullptr || fmt == nullptr || bad_size(destsz)) {
        if (dest != nullptr && destsz > 0) dest[0] = '\0';
        return -1;
    }
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(dest, destsz, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= destsz) {
        dest[0] = '\0';
        return -1;
    }
    return n;
}

int sscanf_s(const char* buffer, const char* fmt, ...) {
    if (buffer == nullptr || fmt == nullptr) return EOF;
    va_list ap;
    va_start(ap, fmt);
    int ret = EOF;
    if (scan_args_ok(fmt, ap)) ret = vsscanf(buffer, fmt, ap);
    va_end(ap);
    return ret;
}

int fscanf_s(FILE* stream, const char* fmt, ...) {
    if (stream == nullptr || fmt == nullptr) return EOF;
    va_list ap;
    va_start(ap, fmt);
    int ret = EOF;
    if (scan_args_ok(fmt, ap)) ret = vfscanf(stream, fmt, ap);
    va_end(ap);
    return ret;
}

void* ziv_malloc_and_init(int size) {
    if (size < 1) return nullptr;
    void* block = malloc(static_cast<size_t>(size));
    if (block == nullptr) return nullptr;
    const int err = memset_s(block, static_cast<size_t>(size), 0, static_cast<size_t>(size));
    if (err != EOK) {
        free(block);
        ZIV_LOG_FAILED("memset_s", err);
        return nullptr;
    }
    return block;
}

char* ziv_copy_string(const char* text) {
    if (text == nullptr) return nullptr;
    const size_t len = strlen(text);
    if (len >= ZIV_SECUREC_MAX) return nullptr;  // size must fit an int
    const size_t size = len + 1;
    char* copy = static_cast<char*>(ziv_malloc_and_init(static_cast<int>(size)));
    if (copy == nullptr) return nullptr;
    if (strcpy_s(copy, size, text) != EOK) {
        free(copy);
        return nullptr;
    }
    return copy;
}

}  // extern "C"
