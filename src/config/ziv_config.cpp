// Reads the environment once per process into the configuration record and
// answers the feature query that every interposer asks.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <initializer_list>
#include <string_view>
#include <time.h>
#include <unistd.h>

#include "ziv_bounded.h"
#include "ziv_config.h"
#include "ziv_interpose.h"
#include "ziv_log.h"

namespace {

constexpr ziv_cfg_t ziv_cfg_initial()
{
    ziv_cfg_t cfg{};
    cfg.build_time = ZIV_DEFAULT_BUILD_TIME;
    cfg.dev_id = ZIV_DEFAULT_DEV_ID;
    cfg.rdev_id = ZIV_DEFAULT_RDEV_ID;
    cfg.next_inode = ZIV_DEFAULT_INODE;
    for (size_t i = 0; i < sizeof ZIV_DEFAULT_HOSTNAME; ++i) {
        cfg.hostname[i] = ZIV_DEFAULT_HOSTNAME[i];
    }
    return cfg;
}

constexpr uint32_t ZIV_TIME_LIST_BITS = ZIV_F_TIMELIST | ZIV_F_CGTLIST | ZIV_F_FILE_TIME_LIST;

// The value of a variable, or null. Walks the environment itself rather
// than through getenv: every process pays for start-up, and the C library's
// getenv is one more page for a program that never calls it.
const char* env_lookup(std::string_view variable)
{
    if (environ == nullptr) {
        return nullptr;
    }
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const char* text = *entry;
        size_t i = 0;
        while (i < variable.size() && text[i] == variable[i]) {
            ++i;
        }
        if (i == variable.size() && text[i] == '=') {
            return text + i + 1;
        }
    }
    return nullptr;
}

// Unset and empty mean the same for every variable the library reads.
const char* env_value(std::string_view variable)
{
    const char* value = env_lookup(variable);
    return (value != nullptr && value[0] != '\0') ? value : nullptr;
}

// ZIV_TIME as found at start-up, and how far its conversion has got.
const char* g_ziv_time_text = nullptr;
constexpr int ZIV_TIME_PENDING = 0;
constexpr int ZIV_TIME_CONVERTING = 1;
constexpr int ZIV_TIME_CONVERTED = 2;
int g_ziv_time_state = ZIV_TIME_PENDING;

// Either date form of ZIV_TIME into `when`; false when neither matches.
bool ziv_parse_time_fields(const char* text, struct tm& when)
{
    when = tm{};
    if (strptime(text, "%Y-%m-%d,%H:%M:%S", &when) != nullptr) {
        return true;
    }
    when = tm{};
    return strptime(text, "%Y-%m-%d %H:%M:%S", &when) != nullptr;
}

// "@SECONDS" since the epoch, as GNU date reads it: the one form that means
// the same instant in every time zone, and that needs neither the time zone
// file nor an allocation. The whole text must be the number.
bool ziv_epoch_seconds(const char* text, time_t* seconds)
{
    if (*text++ != '@') {
        return false;
    }
    bool negative = *text == '-';
    text += negative ? 1 : 0;
    long long value = 0;
    int count = 0;
    for (; *text >= '0' && *text <= '9' && count < 18; ++text, ++count) {
        value = value * 10 + (*text - '0');
    }
    *seconds = static_cast<time_t>(negative ? -value : value);
    return count > 0 && *text == '\0';
}

// ZIV_TIME as local time. Reads the time zone and allocates: it runs at
// most once per process.
time_t ziv_convert_build_time(const char* text)
{
    ziv_errno_guard keep;
    time_t seconds;
    if (!ziv_parse_build_time(text, &seconds)) {
        ziv_log(LOG_WARNING, "It can not get building ENV var, use default ZIV_TIME value\n");
        seconds = ZIV_DEFAULT_BUILD_TIME;
    }
    return seconds;
}

// atoi without the C library's strtol: the same result for every text,
// out-of-range values clamped to long and then narrowed as atoi does.
int ziv_atoi(const char* text)
{
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) {
        ++text;
    }
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') {
        ++text;
    }
    unsigned long magnitude = 0;
    constexpr unsigned long limit = static_cast<unsigned long>(LONG_MAX) + 1;
    for (; *text >= '0' && *text <= '9'; ++text) {
        magnitude = magnitude > limit / 10 ? limit : magnitude * 10 + static_cast<unsigned long>(*text - '0');
        if (magnitude > limit) {
            magnitude = limit;
        }
    }
    long value;
    if (negative) {
        value = magnitude >= limit ? LONG_MIN : -static_cast<long>(magnitude);
    } else {
        value = magnitude >= limit ? LONG_MAX : static_cast<long>(magnitude);
    }
    return static_cast<int>(value);
}

// Calls `handle` for each blank-separated name until it returns true. Only
// the blank separates: a tab belongs to the name.
template <typename Handle>
void for_each_token(const char* text, Handle handle)
{
    while (*text != '\0') {
        while (*text == ' ') {
            ++text;
        }
        const char* start = text;
        while (*text != '\0' && *text != ' ') {
            ++text;
        }
        if (text != start && handle(std::string_view(start, static_cast<size_t>(text - start)))) {
            return;
        }
    }
}

// Whether a "name:tool" list can match this program.
bool ziv_trace_map_names(const char* value, std::string_view prog, std::string_view normalised)
{
    bool named = false;
    for_each_token(value, [&](std::string_view token) {
        std::string_view name(token.data(), std::min(token.find(':'), token.size()));
        for (std::string_view candidate : {name, token}) {
            named = named || candidate == prog || candidate == normalised;
        }
        return named;
    });
    return named;
}

bool current_program_mode() { return ziv_prog_cfg.env_read == 1; }

// Whether a value variable applies to this process: always in name-table
// mode, otherwise only when the program is listed for its feature.
bool wants_value(uint32_t bit) { return !current_program_mode() || (ziv_prog_cfg.prog[0].mask & bit) != 0; }

}  // namespace

const char* ziv_getenv(const char* name)
{
    return name != nullptr ? env_lookup(name) : nullptr;
}

namespace {

// The C library's own definition, past the program's: bash, for one, defines
// setenv and unsetenv for its shell variables, and its setenv before main
// leaves `environ` alone, so what the library set would never reach the
// program's children.
template <typename Fn>
Fn libc_env_function(Fn& slot, const char* symbol)
{
    if (slot == nullptr) {
        slot = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, symbol));
    }
    return slot;
}

int (*g_libc_setenv)(const char*, const char*, int) = nullptr;
int (*g_libc_unsetenv)(const char*) = nullptr;

}  // namespace

int ziv_setenv(const char* name, const char* value)
{
    auto real = libc_env_function(g_libc_setenv, "setenv");
    return real != nullptr ? real(name, value, 1) : -1;
}

int ziv_unsetenv(const char* name)
{
    auto real = libc_env_function(g_libc_unsetenv, "unsetenv");
    return real != nullptr ? real(name) : -1;
}

extern "C" {

// Constant-initialised: interposers may be called from other libraries'
// constructors before ours has read anything.
ZIV_EXPORT constinit ziv_cfg_t ziv_prog_cfg = ziv_cfg_initial();
ZIV_EXPORT constinit ziv_cfg_t* g_ziv_cfg = &ziv_prog_cfg;
constinit const char g_ziv_env_version[] = "Kalvitrex version 0.1.0";
static_assert(sizeof g_ziv_env_version <= 30, "the version text is at most 29 characters");

ZIV_EXPORT int ziv_get_prog_name(char* dst, size_t size)
{
    const char* name = program_invocation_short_name;
    if (name == nullptr || name[0] == '\0') {
        return 0;
    }
    int err = strcpy_s(dst, size, name);
    if (err != EOK) {
        ZIV_LOG_FAILED("strcpy_s", err);
        return 0;
    }
    return 1;
}

ZIV_EXPORT void init_ziv_log(void)
{
    const char* value = env_lookup("ZIV_LOG");
    if (value == nullptr) {
        return;
    }
    std::string_view level(value);
    if (level == "yes") {
        ziv_prog_cfg.log_level = 1;
    } else if (level == "backtrace") {
        ziv_prog_cfg.log_level = 2;
    } else if (level == "buildtime") {
        ziv_prog_cfg.log_level = 3;
    } else {
        ziv_prog_cfg.log_level = 0;
    }
    if (ziv_prog_cfg.log_level != 0) {
        ziv_log_open();
    }
}

ZIV_EXPORT int insert_ziv_blacklist(const char* name, uint32_t bit)
{
    if (name == nullptr) {
        return -1;
    }
    return ziv_insert_blacklist_view(name, bit);
}

ZIV_EXPORT void init_ziv_process_list(const char* prog, const char* variable, uint32_t bit)
{
    const char* value = env_value(variable);
    if (value == nullptr) {
        // Without a whitelist each time list stands on its own.
        if (bit == ZIV_F_WHITELIST) {
            ziv_prog_cfg.defined_lists |= ZIV_TIME_LIST_BITS;
        }
        return;
    }
    ziv_prog_cfg.defined_lists |= bit;
    const char* normalised = ziv_convert_gnu_cmd(prog);
    // Measured once: the names are compared with every token of the list.
    std::string_view prog_name = prog != nullptr ? prog : "";
    std::string_view normalised_name = normalised != nullptr ? normalised : "";
    // The pairs of a map that does not name this program can never be
    // looked up: storing them would only cost start-up time.
    if (bit == ZIV_F_TRACE_MAP && prog != nullptr && !ziv_trace_map_names(value, prog_name, normalised_name)) {
        return;
    }
    for_each_token(value, [&](std::string_view token) {
        return ziv_match_process_entry_view(prog, prog_name, normalised_name, token, bit) != 0;
    });
}

ZIV_EXPORT void init_ziv_process_lists(void)
{
    const char* prog = current_program_mode() ? ziv_prog_cfg.prog[0].prog_name : nullptr;
    for (const ziv_feature_list& list : ziv_time_lists) {
        init_ziv_process_list(prog, list.variable, list.bit);
    }
    if ((ziv_prog_cfg.defined_lists & ZIV_TIME_LIST_BITS) != ZIV_TIME_LIST_BITS) {
        init_ziv_process_list(prog, ziv_whitelist.variable, ziv_whitelist.bit);
    }
    for (const ziv_feature_list& list : ziv_other_lists) {
        init_ziv_process_list(prog, list.variable, list.bit);
    }
}

ZIV_EXPORT void init_ziv_time(void)
{
    // Converting local time reads the time zone file and allocates: most
    // processes never ask for the build time, so the text is converted
    // only in programs that may be handed it (ziv_prepare_build_time) or on
    // first use.
    g_ziv_time_text = env_value("ZIV_TIME");
    g_ziv_time_state = ZIV_TIME_PENDING;
}

bool ziv_parse_build_time(const char* text, time_t* seconds)
{
    if (ziv_epoch_seconds(text, seconds)) {
        return true;
    }
    if (text[0] == '@') {
        return false;
    }
    struct tm when {};
    *seconds = ziv_parse_time_fields(text, when) ? mktime(&when) : static_cast<time_t>(-1);
    return *seconds != static_cast<time_t>(-1);
}

ZIV_EXPORT time_t ziv_get_build_time(void)
{
    if (__atomic_load_n(&g_ziv_time_state, __ATOMIC_ACQUIRE) == ZIV_TIME_CONVERTED || g_ziv_time_text == nullptr) {
        return ziv_prog_cfg.build_time;
    }
    int expected = ZIV_TIME_PENDING;
    if (!__atomic_compare_exchange_n(&g_ziv_time_state, &expected, ZIV_TIME_CONVERTING, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE)) {
        // Another thread is converting, and may be waiting for a lock this
        // caller holds (an allocator's): no waiting here.
        return expected == ZIV_TIME_CONVERTED ? ziv_prog_cfg.build_time : ziv_build_time_fallback(g_ziv_time_text);
    }
    time_t seconds = ziv_convert_build_time(g_ziv_time_text);
    ziv_prog_cfg.build_time = seconds;
    __atomic_store_n(&g_ziv_time_state, ZIV_TIME_CONVERTED, __ATOMIC_RELEASE);
    return seconds;
}

ZIV_EXPORT void init_ziv_hostname(void)
{
    char* field = ziv_prog_cfg.hostname;
    const char* value = env_value("ZIV_HOSTNAME");
    if (value != nullptr && std::strlen(value) >= ZIV_HOSTNAME_SIZE) {
        ziv_log(LOG_ALERT, "ZIV ALERT: the length of ZIV_HOSTNAME more than 64 char, use default hostname\n");
        value = nullptr;
    }
    int err = strcpy_s(field, ZIV_HOSTNAME_SIZE, value != nullptr ? value : ZIV_DEFAULT_HOSTNAME);
    if (err != EOK) {
        ZIV_LOG_FAILED("strcpy_s", err);
    }
}

ZIV_EXPORT void init_ziv_times(void)
{
    long values[6] = {0, 0, 0, 0, 0, 0};
    const char* text = env_value("ZIV_TIMES");
    if (text != nullptr) {
        int got = sscanf_s(text, "%ld,%ld,%ld,%ld,%ld,%ld", &values[0], &values[1], &values[2], &values[3],
                           &values[4], &values[5]);
        if (got == -1) {
            ziv_log(LOG_INFO, "sscanf_s failed, iRet = %d, function %s line %d\n", got, __func__, __LINE__);
            return;
        }
    }
    std::memcpy(ziv_prog_cfg.times, values, sizeof values);
}

}  // extern "C"

namespace {

// A numeric variable: unset or empty gives the default, a negative value the
// message and the default.
long read_number(const char* variable, long fallback)
{
    const char* text = env_value(variable);
    if (text == nullptr) {
        return fallback;
    }
    int number = ziv_atoi(text);
    if (number < 0) {
        ziv_log(LOG_INFO, "getenv for %s failed, use default value.\n", variable);
        return fallback;
    }
    return number;
}

}  // namespace

extern "C" {

ZIV_EXPORT void init_ziv_uid_gid(void)
{
    ziv_prog_cfg.uid = static_cast<uid_t>(read_number("ZIV_UID", 0));
    ziv_prog_cfg.gid = static_cast<gid_t>(read_number("ZIV_GID", 0));
}

ZIV_EXPORT void init_ziv_inode(void)
{
    ziv_prog_cfg.next_inode = static_cast<uint16_t>(read_number("ZIV_INODE", ZIV_DEFAULT_INODE) % 65536);
}

ZIV_EXPORT void init_ziv_dev_id(void)
{
    ziv_prog_cfg.dev_id = static_cast<uint32_t>(read_number("ZIV_DEV_ID", ZIV_DEFAULT_DEV_ID));
    ziv_prog_cfg.rdev_id = static_cast<uint32_t>(read_number("ZIV_R_DEV_ID", ZIV_DEFAULT_RDEV_ID));
}

ZIV_EXPORT void init_ziv_random_record_output(void)
{
    const char* path = env_value("ZIV_RANDOM_RECORD_OUTPUT");
    if (path == nullptr || std::strlen(path) > ZIV_PATH_SIZE - 2) {
        return;
    }
    int err = strcpy_s(ziv_prog_cfg.random_record_output, ZIV_PATH_SIZE, path);
    if (err != EOK) {
        ZIV_LOG_FAILED("strcpy_s", err);
    }
}

ZIV_EXPORT void init_ziv_env_values(void)
{
    init_ziv_time();
    if (wants_value(ZIV_F_NAMELIST)) {
        init_ziv_hostname();
    }
    if (wants_value(ZIV_F_PRO_TIMES_LIST)) {
        init_ziv_times();
    }
    if (wants_value(ZIV_F_UIDLIST)) {
        init_ziv_uid_gid();
    }
    if (wants_value(ZIV_F_INOLIST)) {
        init_ziv_inode();
    }
    if (wants_value(ZIV_F_DEVIDLIST)) {
        init_ziv_dev_id();
    }
}

ZIV_EXPORT void init_ziv_prog_cfg(void)
{
    init_ziv_process_lists();
    init_ziv_env_values();
}

ZIV_EXPORT void ziv_get_prog_env_cfg(void)
{
    if (environ == nullptr || program_invocation_short_name == nullptr || program_invocation_short_name[0] == '\0') {
        return;
    }
    ziv_prog_cfg.env_read = 1;
    init_ziv_prog_cfg();
}

ZIV_EXPORT void get_ziv_cfg(void)
{
    if (environ == nullptr) {
        return;
    }
    init_ziv_log();
    if (const char* trace = env_lookup("ZIV_TRACE_ENABLE"); trace != nullptr) {
        ziv_prog_cfg.trace_enable = std::string_view(trace) == "yes" ? 1 : 0;
    }
    // A failed copy leaves the row's name empty, as for no name at all.
    if (ziv_get_prog_name(ziv_prog_cfg.prog[0].prog_name, ZIV_NAME_SIZE) == 1) {
        ziv_prog_cfg.prog[0].mask = 0;
        ziv_get_prog_env_cfg();
        init_ziv_random_record_output();
    } else {
        init_ziv_prog_cfg();
    }
}

ZIV_EXPORT uint32_t ziv_get_program_mask(void)
{
    const char* name = program_invocation_short_name;
    if (name == nullptr || name[0] == '\0') {
        return 0;
    }
    const char* normalised = ziv_convert_gnu_cmd(name);
    for (int row = 1; row < ZIV_PROG_MAX && ziv_prog_cfg.prog[row].prog_name[0] != '\0'; ++row) {
        const char* listed = ziv_prog_cfg.prog[row].prog_name;
        if (std::strcmp(listed, name) == 0 || std::strcmp(listed, normalised) == 0) {
            return ziv_prog_cfg.prog[row].mask;
        }
    }
    return 0;
}

ZIV_EXPORT int is_in_ziv_process_list(uint32_t bit)
{
    const ziv_cfg_t& cfg = ziv_prog_cfg;
    if ((bit == ZIV_F_TIMELIST || bit == ZIV_F_FILE_TIME_LIST) && cfg.defined_lists == 0) {
        // Nothing has been read yet (another library's constructor runs
        // before ours): no list counts as defined, and the whitelist rule
        // would hand the fixed time to every program, unlisted ones too.
        return 0;
    }
    uint32_t mask = cfg.env_read == 1 ? cfg.prog[0].mask : ziv_get_program_mask();
    if (bit == ZIV_F_TIMELIST && (cfg.defined_lists & ZIV_F_TIMELIST) == 0) {
        // "zip" stamps archive members with time(): it keeps the fixed
        // time even when whitelisted.
        return ((mask & ZIV_F_WHITELIST) == 0 || std::strcmp(cfg.prog[0].prog_name, "zip") == 0) ? 1 : 0;
    }
    if (bit == ZIV_F_FILE_TIME_LIST && (cfg.defined_lists & ZIV_F_FILE_TIME_LIST) == 0) {
        return (mask & ZIV_F_WHITELIST) == 0 ? 1 : 0;
    }
    return (mask & bit) != 0 ? 1 : 0;
}

}  // extern "C"

int ziv_insert_blacklist_view(std::string_view name, uint32_t bit)
{
    ziv_prog_entry* rows = ziv_prog_cfg.prog;
    for (int row = 1; row < ZIV_PROG_MAX; ++row) {
        if (rows[row].prog_name[0] == '\0') {
            int err = strncpy_s(rows[row].prog_name, ZIV_NAME_SIZE, name.data(), name.size());
            if (err != EOK) {
                ZIV_LOG_FAILED("strcpy_s", err);
                return -1;
            }
        } else if (name != rows[row].prog_name) {
            continue;
        }
        rows[row].mask |= bit;
        return row;
    }
    ziv_log(LOG_INFO, "ZIV: blacklist config has reach the max entry %d !!!\n", ZIV_PROG_MAX - 1);
    return ZIV_PROG_MAX;
}

int ziv_match_process_entry_view(const char* prog, std::string_view prog_name, std::string_view normalised,
                                 std::string_view token, uint32_t bit)
{
    std::string_view name = bit == ZIV_F_TRACE_MAP ? ziv_init_trace_map_view(token) : token;
    if (prog != nullptr) {
        if (name == prog_name || name == normalised) {
            ziv_prog_cfg.prog[0].mask |= bit;
            return 1;
        }
        return 0;
    }
    return ziv_insert_blacklist_view(name, bit) == ZIV_PROG_MAX ? 1 : 0;
}

extern "C" ZIV_EXPORT int ziv_match_process_entry(const char* prog, const char* normalised, const char* token,
                                                  uint32_t bit)
{
    if (token == nullptr) {
        return 0;
    }
    return ziv_match_process_entry_view(prog, prog != nullptr ? prog : "", normalised != nullptr ? normalised : "",
                                        token, bit);
}

const char* ziv_prog_name_for_log()
{
    const char* name = ziv_prog_cfg.prog[0].prog_name;
    return name[0] != '\0' ? name : "NULL";
}

// The answer while the conversion runs on another thread: the same text
// read as UTC, with arithmetic alone (no lock, no allocation, no time zone).
time_t ziv_build_time_fallback(const char* text)
{
    time_t seconds;
    if (ziv_epoch_seconds(text, &seconds)) {
        return seconds;
    }
    struct tm when {};
    if (!ziv_parse_time_fields(text, when)) {
        return ZIV_DEFAULT_BUILD_TIME;
    }
    // Days from the civil date (proleptic Gregorian calendar).
    long year = when.tm_year + 1900L - (when.tm_mon < 2 ? 1 : 0);
    long era = (year >= 0 ? year : year - 399) / 400;
    long year_of_era = year - era * 400;
    long month = when.tm_mon + 1;
    long day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + when.tm_mday - 1;
    long day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    long days = era * 146097 + day_of_era - 719468;
    return static_cast<time_t>(days * 86400L + when.tm_hour * 3600L + when.tm_min * 60L + when.tm_sec);
}

void ziv_prepare_build_time()
{
    bool wanted = ziv_short_name_is("label_bin") || ziv_clock_fixed(CLOCK_REALTIME);
    for (uint32_t bit : {ZIV_F_TIMELIST, ZIV_F_FILE_TIME_LIST, ZIV_F_GTDLIST, ZIV_F_RANDOMLIST}) {
        wanted = wanted || ziv_feature_on(bit);
    }
    if (wanted) {
        ziv_get_build_time();
    }
}

void ziv_cfg_reset()
{
    ziv_prog_cfg = ziv_cfg_initial();
    g_ziv_time_text = nullptr;
    g_ziv_time_state = ZIV_TIME_PENDING;
    ziv_tmap_reset();
}
