// The random value record-and-replay store: per process, five tables of the
// values a program drew, written to a file at the end of a recording process
// and handed out again, in order, by a replaying one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/types.h>

#include "ziv_common.h"

// One recorded value.
struct random_map {
    uint32_t len;        // never 0
    unsigned char* data; // owned by the node
    random_map* next;
};

// One table of values.
struct random_map_info {
    uint32_t count;
    random_map* head;
    // Recording: the last value. Replaying: the next value to hand out,
    // null once the table is used up.
    random_map* cur;
};

constexpr uint32_t ZIV_RANDOM_MODE_RECORD = 0;
constexpr uint32_t ZIV_RANDOM_MODE_REPLAY = 1;

// The five tables stand in this order in the record, in the file and in
// every loop over them.
struct random_conf {
    uint32_t mode;
    random_map_info* rand;
    random_map_info* random;
    random_map_info* getrandom;
    random_map_info* dev_random;
    random_map_info* dev_urandom;
};

// The sources that can be recorded, in table order.
enum class ziv_random_source { rand, random, getrandom, dev_random, dev_urandom };

// Null while the program is not listed for replay.
extern random_conf* g_random_conf;

extern "C" {

// Loads or prepares the record file for a program listed for replay.
ZIV_EXPORT void init_ziv_random_conf(void);
// Writes the record file of a recording process.
ZIV_EXPORT void write_ziv_random_conf(void);
// Record mode: keeps a copy of the value in `buffer`. Replay mode: may
// overwrite `buffer` with the next recorded value of `table`.
ZIV_EXPORT void ziv_random_record_repaly(void* buffer, ssize_t length, random_map_info* table);
ZIV_EXPORT void ziv_free_random_map(random_map* node);

}  // extern "C"

// The table of `source`, or null when there is no store.
random_map_info* ziv_random_table(ziv_random_source source);
// Logs the bytes as lower-case hexadecimal text; returns `length`.
ssize_t record_message(const void* buffer, ssize_t length);

int load_random_conf(FILE* file, random_conf* conf);
int load_random_map(FILE* file, random_map_info* table);
int write_random_conf(FILE* file, const random_conf* conf);
int write_random_map(FILE* file, const random_map_info* table);
void free_random_map_info(random_map_info* table);
void free_random_conf(random_conf* conf);

// End of process: writes the record file in record mode, then releases the
// store in either mode.
void ziv_random_store_finish();

// In a forked child: the recording holds the parent's values, which the
// child must not hand out a second time; it draws real ones instead.
void ziv_random_store_after_fork();
