// The per-process configuration record, the feature bits and the query that
// every interposer asks before it replaces a real answer.
#pragma once

#include <cstdint>
#include <string_view>
#include <sys/types.h>
#include <time.h>

#include "ziv_common.h"

struct sqlite3;

constexpr int ZIV_PROG_MAX = 256;        // rows of the program table, row 0 included
constexpr int ZIV_NAME_SIZE = 256;       // one program name, terminator included
constexpr int ZIV_HOSTNAME_SIZE = 64;
constexpr int ZIV_PATH_SIZE = 4096;
constexpr int ZIV_TMAP_SLOTS = 32;

struct ziv_prog_entry {
    uint32_t mask;
    char prog_name[ZIV_NAME_SIZE];
};

struct ziv_cfg_t {
    uint32_t env_read;       // 1: row 0 is the current program and its mask is final
    uint32_t defined_lists;  // feature lists that count as defined
    uint32_t log_level;      // 0 off, 1 "yes", 2 "backtrace", 3 "buildtime"
    uint32_t trace_enable;
    time_t build_time;
    uint32_t dev_id;
    uint32_t rdev_id;
    uint16_t next_inode;     // post-incremented on use, stays at 65535
    uid_t uid;
    gid_t gid;
    long times[6];           // next value, step, utime, stime, cutime, cstime
    char hostname[ZIV_HOSTNAME_SIZE];
    char trace_output[ZIV_PATH_SIZE];
    char random_record_output[ZIV_PATH_SIZE];
    sqlite3* db;
    ziv_prog_entry prog[ZIV_PROG_MAX];
};

// Feature bits, one per list variable.
enum ziv_feature : uint32_t {
    ZIV_F_WHITELIST = 0x1,
    ZIV_F_TIMELIST = 0x2,
    ZIV_F_CGTLIST = 0x4,
    ZIV_F_FILE_TIME_LIST = 0x8,
    ZIV_F_GTDLIST = 0x10,
    ZIV_F_PRO_TIMES_LIST = 0x20,
    ZIV_F_DIRLIST = 0x40,
    ZIV_F_NFTWLIST = 0x80,
    ZIV_F_RANDOMLIST = 0x100,
    ZIV_F_NAMELIST = 0x200,
    ZIV_F_INOLIST = 0x400,
    ZIV_F_UIDLIST = 0x800,
    ZIV_F_DEVIDLIST = 0x1000,
    ZIV_F_SYSINFOLIST = 0x2000,
    ZIV_F_TRACE_WHITELIST = 0x4000,
    ZIV_F_DIRONCELIST = 0x8000,
    ZIV_F_TRACE_BUILDLIST = 0x10000,
    ZIV_F_TRACE_MAP = 0x20000,
    ZIV_F_DIRSIZELIST = 0x40000,
    ZIV_F_REPLAYLIST = 0x80000,
};

struct ziv_feature_list {
    uint32_t bit;
    const char* variable;
};

// The order in which the lists are read. The whitelist is read after the
// three time lists, and only when one of them is undefined.
inline constexpr ziv_feature_list ziv_time_lists[] = {
    {ZIV_F_TIMELIST, "ZIV_TIMELIST"},
    {ZIV_F_CGTLIST, "ZIV_CGTLIST"},
    {ZIV_F_FILE_TIME_LIST, "ZIV_FILE_TIME_LIST"},
};
inline constexpr ziv_feature_list ziv_whitelist = {ZIV_F_WHITELIST, "ZIV_WHITELIST"};
inline constexpr ziv_feature_list ziv_other_lists[] = {
    {ZIV_F_GTDLIST, "ZIV_GTDLIST"},
    {ZIV_F_PRO_TIMES_LIST, "ZIV_PRO_TIMES_LIST"},
    {ZIV_F_DIRLIST, "ZIV_DIRLIST"},
    {ZIV_F_NFTWLIST, "ZIV_NFTWLIST"},
    {ZIV_F_RANDOMLIST, "ZIV_RANDOMLIST"},
    {ZIV_F_UIDLIST, "ZIV_UIDLIST"},
    {ZIV_F_INOLIST, "ZIV_INOLIST"},
    {ZIV_F_DEVIDLIST, "ZIV_DEVIDLIST"},
    {ZIV_F_NAMELIST, "ZIV_NAMELIST"},
    {ZIV_F_SYSINFOLIST, "ZIV_SYSINFOLIST"},
    {ZIV_F_TRACE_WHITELIST, "ZIV_TRACE_WHITELIST"},
    {ZIV_F_DIRONCELIST, "ZIV_DIRONCELIST"},
    {ZIV_F_TRACE_BUILDLIST, "ZIV_TRACE_BUILDLIST"},
    {ZIV_F_TRACE_MAP, "ZIV_TRACE_MAP"},
    {ZIV_F_DIRSIZELIST, "ZIV_DIRSIZELIST"},
    {ZIV_F_REPLAYLIST, "ZIV_REPLAYLIST"},
};

constexpr time_t ZIV_DEFAULT_BUILD_TIME = 1646016134;  // 2022-02-28 02:42:14 UTC
constexpr uint32_t ZIV_DEFAULT_DEV_ID = 801;
constexpr uint32_t ZIV_DEFAULT_RDEV_ID = 2049;
constexpr uint16_t ZIV_DEFAULT_INODE = 1;
inline constexpr char ZIV_DEFAULT_HOSTNAME[] = "ZIV_LINUX";

extern "C" {

ZIV_EXPORT extern ziv_cfg_t ziv_prog_cfg;
ZIV_EXPORT extern ziv_cfg_t* g_ziv_cfg;
ZIV_EXPORT extern const char g_ziv_env_version[];

ZIV_EXPORT void get_ziv_cfg(void);
ZIV_EXPORT void ziv_get_prog_env_cfg(void);
ZIV_EXPORT void init_ziv_prog_cfg(void);
ZIV_EXPORT void init_ziv_log(void);
ZIV_EXPORT void init_ziv_process_lists(void);
ZIV_EXPORT void init_ziv_process_list(const char* prog, const char* variable, uint32_t bit);
ZIV_EXPORT void init_ziv_env_values(void);
ZIV_EXPORT void init_ziv_time(void);
// The environment as the C library keeps it, never through the program's
// own definitions of getenv, setenv and unsetenv (bash has its own).
const char* ziv_getenv(const char* name);
// Sets `name` (overwriting) or removes it: 0, or -1 as the C library says.
int ziv_setenv(const char* name, const char* value);
int ziv_unsetenv(const char* name);
// The build time. ZIV_TIME is converted once per process, on first use,
// without a lock; a caller that finds the conversion under way elsewhere
// does not wait for it (see ziv_config.cpp).
ZIV_EXPORT time_t ziv_get_build_time(void);
// ZIV_TIME's text as a time: "@SECONDS", or "%Y-%m-%d,%H:%M:%S" or
// "%Y-%m-%d %H:%M:%S" in local time (daylight saving flag 0). False when
// the text is none of them. (Not exported: the front end links it.)
bool ziv_parse_build_time(const char* text, time_t* seconds);
ZIV_EXPORT void init_ziv_hostname(void);
ZIV_EXPORT void init_ziv_times(void);
ZIV_EXPORT void init_ziv_uid_gid(void);
ZIV_EXPORT void init_ziv_inode(void);
ZIV_EXPORT void init_ziv_dev_id(void);
ZIV_EXPORT void init_ziv_random_record_output(void);

ZIV_EXPORT int is_in_ziv_process_list(uint32_t bit);
ZIV_EXPORT uint32_t ziv_get_program_mask(void);
ZIV_EXPORT int ziv_get_prog_name(char* dst, size_t size);
ZIV_EXPORT int insert_ziv_blacklist(const char* name, uint32_t bit);

ZIV_EXPORT const char* ziv_convert_gnu_cmd(const char* name);
ZIV_EXPORT char* ziv_convert_gnu_cmd_endswith_digit(const char* name);
ZIV_EXPORT const char* ziv_get_trace_map(const char* name);
ZIV_EXPORT char* ziv_get_tmap_cfg(void);

ZIV_EXPORT void ziv_get_stack_info(const char* tag);

// Handles one token of a feature list: in current-program mode (`prog`
// non-null) 1 when it names the program (the bit is then set), otherwise
// its row in the program table (1 only when the table is full).
ZIV_EXPORT int ziv_match_process_entry(const char* prog, const char* normalised, const char* token, uint32_t bit);
// Stores a "name:tool" token in the trace map and returns its name part;
// any other token comes back unchanged.
ZIV_EXPORT const char* ziv_init_trace_map(const char* token);

}  // extern "C"

// Hidden helpers shared inside the library.
// Handles one token of a list: in current-program mode (`prog` non-null)
// whether it names the program, otherwise its row in the program table.
int ziv_match_process_entry_view(const char* prog, std::string_view prog_name, std::string_view normalised,
                                 std::string_view token, uint32_t bit);
std::string_view ziv_init_trace_map_view(std::string_view token);
int ziv_insert_blacklist_view(std::string_view name, uint32_t bit);
// ZIV_TIME read as UTC with arithmetic alone: the answer while another
// thread converts it.
time_t ziv_build_time_fallback(const char* text);
// Converts ZIV_TIME now when this program can be handed the build time:
// called where converting is safe (before main, on one thread), so that a
// signal handler or an allocator never has to.
void ziv_prepare_build_time();
// The current program's short name, or "NULL" when there is none, for messages.
const char* ziv_prog_name_for_log();
// Back to the initial values, as if no environment had been read.
void ziv_cfg_reset();
void ziv_tmap_reset();
