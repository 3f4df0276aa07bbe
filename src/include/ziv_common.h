// Shared by every part of the library: export control and errno keeping.
#pragma once

#include <cerrno>

// The library is built with hidden visibility; only the interposed C library
// names and the product's own names are put in the dynamic symbol table.
#define ZIV_EXPORT __attribute__((visibility("default")))
#define ZIV_HIDDEN __attribute__((visibility("hidden")))

// Keeps the program's errno across the library's own work, whatever path
// the work leaves by.
class ziv_errno_guard {
public:
    ziv_errno_guard() : saved_(errno) {}
    ~ziv_errno_guard() { errno = saved_; }
    ziv_errno_guard(const ziv_errno_guard&) = delete;
    ziv_errno_guard& operator=(const ziv_errno_guard&) = delete;

private:
    int saved_;
};
