// Deterministic random sources: the program seed, the name hash and the
// random devices a read is checked against.
#pragma once

#include <cstdint>
#include <sys/types.h>

#include "ziv_common.h"

constexpr int ZIV_RANDOM_FILE_ROWS = 16;
constexpr int ZIV_RANDOM_FILE_SIZE = 256;

extern "C" {

// Row 0 is never matched; 1 "/dev/random", 2 "/dev/urandom".
ZIV_EXPORT extern const char g_ziv_random_file[ZIV_RANDOM_FILE_ROWS][ZIV_RANDOM_FILE_SIZE];

// The first byte plus every byte times its position, bytes signed, wrapping.
ZIV_EXPORT int32_t ziv_name_hash(const char* name);

// Treats bytes just read from `fd` (replay, deterministic fill, or the real
// bytes); returns `count` unchanged.
ZIV_EXPORT ssize_t ziv_read(int fd, void* buffer, ssize_t count, const char* caller);

}  // extern "C"

// The build time plus the hash of the short program name, wrapping.
uint32_t ziv_program_seed();

// In a forked child: its seeded sequences part from its parent's and from
// its siblings', by the number of forks the parent made so far.
void ziv_random_after_fork(uint32_t fork_number);

// The device row of a descriptor's link text, 0 for none.
int is_open_randmom_file(int fd);
