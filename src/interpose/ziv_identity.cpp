// Process and user identity, host name and system statistics. Listed
// programs see ids derived from their name, the configured user, group and
// host name, and system figures that do not change from build to build.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/syscall.h>
#include <unistd.h>

#include "ziv_bounded.h"
#include "ziv_config.h"
#include "ziv_lifecycle.h"
#include "ziv_interpose.h"
#include "ziv_identity.h"
#include "ziv_random.h"
#include "ziv_symbols.h"

namespace {

constexpr int32_t ZIV_PID_SPAN = 32768;
constexpr int32_t ZIV_PID_LOW = 8192;    // a quarter of the span
constexpr int32_t ZIV_PID_HIGH = 24576;  // three quarters of the span

constexpr long ZIV_UPTIME_SPAN = 1296000;  // 15 days in seconds
constexpr unsigned long ZIV_RAM_LIMIT = 0xECCCC000UL;
constexpr unsigned long ZIV_DEFAULT_TOTALRAM = 7986060;
constexpr unsigned long ZIV_DEFAULT_FREERAM = 3993030;
constexpr size_t ZIV_LOADS_TOKEN_MAX = 255;

const char* ziv_name() { return ziv_prog_name_for_log(); }

// One rand_r step from a fresh copy of the program seed: the same on every
// call of every process of the program.
uint32_t ziv_derived_value()
{
    unsigned int seed = ziv_program_seed();
    return static_cast<uint32_t>(rand_r(&seed));
}

// "Given": set and not empty.
const char* ziv_given(const char* variable)
{
    const char* text = ziv_getenv(variable);
    return text != nullptr && text[0] != '\0' ? text : nullptr;
}

// A plain field: a given value is stored, a negative one ends the call.
template <typename Field>
bool ziv_sysinfo_plain(Field& field, const char* variable, const char* label)
{
    const char* text = ziv_given(variable);
    if (text == nullptr) {
        return true;
    }
    long value = atol(text);
    if (value < 0) {
        return false;
    }
    field = static_cast<Field>(value);
    ziv_log(LOG_INFO, "ZIV: %s get the ziv %s %lu \n", ziv_name(), label, static_cast<unsigned long>(field));
    return true;
}

// A RAM figure: out of range or negative values give the default.
unsigned long ziv_ram_value(const char* text, const char* variable, unsigned long fallback)
{
    long value = atol(text);
    if (value < 0) {
        ziv_log(LOG_INFO, "getenv for %s failed, use default value.\n", variable);
        return fallback;
    }
    if (value == 0 || static_cast<unsigned long>(value) > ZIV_RAM_LIMIT) {
        return fallback;
    }
    return static_cast<unsigned long>(value);
}

bool ziv_is_blank(char c) { return c == ' ' || c == '\t'; }

// For a call made while this thread is inside the library's own work: the
// next definition when it is known, else the system call itself (no lookup,
// no message).
template <typename Fn, typename... Args>
auto ziv_next_or_syscall(Fn next, long number, Args... args)
{
    using result = decltype(next(args...));
    return next != nullptr ? next(args...) : static_cast<result>(syscall(number, args...));
}

// getuid and getgid: the configured id for listed programs, else the next
// definition's.
template <typename Id>
Id ziv_user_id(Id (*&slot)(), const char* symbol, long number, Id fixed, const char* fixed_what)
{
    ziv_reentry_guard guard;
    if (guard.reentered()) {
        return ziv_next_or_syscall(slot, number);
    }
    ziv_log_enter(symbol, __LINE__);
    if (ziv_feature_on(ZIV_F_UIDLIST)) {
        ziv_log(LOG_INFO, "%s %s get %s\n", ziv_name(), symbol, fixed_what);
        ziv_get_stack_info(symbol);
        return fixed;
    }
    auto real = ziv_lazy(slot, symbol);
    if (real == nullptr) {
        ziv_log(LOG_INFO, "%s %s get g_pf_org_%s fail !!!\n", ziv_name(), symbol, symbol);
        return 0;
    }
    return real();
}

pid_t ziv_derived_pid()
{
    int32_t id = ziv_name_hash(program_invocation_short_name);
    // Names with many bytes above 0x7f hash below zero; a negative process id
    // would name a process group, so such names are folded into the span too.
    if (id < 0) {
        id %= ZIV_PID_SPAN;
        if (id < 0) {
            id += ZIV_PID_SPAN;
        }
    }
    if (id > ZIV_PID_SPAN) {
        id %= ZIV_PID_SPAN;
    }
    if (id > ZIV_PID_HIGH) {
        id -= ZIV_PID_LOW;
    } else if (id < ZIV_PID_LOW) {
        id += ZIV_PID_LOW;
    }
    return id;
}

}  // namespace

extern "C" {

ZIV_EXPORT pid_t ziv_getpid(const char* caller)
{
    ziv_errno_guard keep;
    pid_t id = ziv_derived_pid();
    ziv_log(LOG_INFO, "%s %s get ziv_pid\n", ziv_name(), caller);
    ziv_get_stack_info("ziv_getpid");
    return id;
}

ZIV_EXPORT pid_t getpid(void)
{
    ziv_reentry_guard guard;
    if (guard.reentered()) {
        return ziv_next_or_syscall(g_pf_org_getpid, SYS_getpid);
    }
    ziv_log_enter("getpid", __LINE__);
    if (ziv_feature_on(ZIV_F_RANDOMLIST)) {
        return ziv_getpid("getpid");
    }
    if (g_pf_org_getpid != nullptr) {
        ziv_log(LOG_INFO, "%s %s get real getpid\n", ziv_name(), "getpid");
        return g_pf_org_getpid();
    }
    pid_t id = static_cast<pid_t>(syscall(SYS_getpid));
    ziv_log(LOG_INFO, "%s does not get g_pf_org_getpid %s fail !!!!! Return syscall getpid\n", ziv_name(), "getpid");
    return id;
}

ZIV_EXPORT pid_t getppid(void)
{
    ziv_reentry_guard guard;
    if (guard.reentered()) {
        return ziv_next_or_syscall(g_pf_org_getppid, SYS_getppid);
    }
    ziv_log_enter("getppid", __LINE__);
    if (ziv_feature_on(ZIV_F_RANDOMLIST)) {
        return ziv_getpid("getppid");
    }
    auto real = ziv_lazy(g_pf_org_getppid, "getppid");
    if (real == nullptr) {
        ziv_log(LOG_INFO, "%s does not get g_pf_org_getppid %s fail !!!!!\n", ziv_name(), "getppid");
        return 0;
    }
    ziv_log(LOG_INFO, "%s %s get real getppid\n", ziv_name(), "getppid");
    return real();
}

ZIV_EXPORT uid_t getuid(void)
{
    return ziv_user_id(g_pf_org_getuid, "getuid", SYS_getuid, ziv_prog_cfg.uid, "ziv_uid");
}

ZIV_EXPORT gid_t getgid(void)
{
    return ziv_user_id(g_pf_org_getgid, "getgid", SYS_getgid, ziv_prog_cfg.gid, "ziv_gid");
}

ZIV_EXPORT int gethostname(char* name, size_t len)
{
    auto real = ziv_lazy(g_pf_org_gethostname, "gethostname");
    ziv_reentry_guard guard;
    if (guard.reentered()) {
        return real != nullptr ? real(name, len) : -1;
    }
    ziv_log_enter("gethostname", __LINE__);
    int result = real != nullptr ? real(name, len) : -1;
    if (result != 0 || !ziv_feature_on(ZIV_F_NAMELIST)) {
        return result;
    }
    const char* fixed = ziv_prog_cfg.hostname;
    if (len < std::strlen(fixed) && ziv_logging()) {
        ziv_log(LOG_ALERT,
                "%s ZIV_ERR:!!!Fatal Error,current hostname (%s) space is limited (%zu),stop building\n",
                "gethostname", name, len);
    }
    int err = strcpy_s(name, len, fixed);
    if (err != EOK) {
        ziv_log(LOG_INFO, "strcpy_s failed, err = %d, function %s line %d\n", err, "gethostname", __LINE__);
        ziv_log(LOG_INFO, "%s %s get real hostname\n", ziv_name(), "gethostname");
        // As the C library reports a buffer too small for the name.
        errno = ENAMETOOLONG;
        return -1;
    }
    ziv_log(LOG_INFO, "%s %s get ziv_hostname\n", ziv_name(), "gethostname");
    ziv_get_stack_info("gethostname");
    return 0;
}

ZIV_EXPORT int uname(struct utsname* buf)
{
    ziv_reentry_guard guard;
    if (guard.reentered()) {
        return ziv_next_or_syscall(g_pf_org_uname, SYS_uname, buf);
    }
    ziv_log_enter("uname", __LINE__);
    if (buf == nullptr) {
        return -1;
    }
    if (g_pf_org_uname == nullptr) {
        ziv_errno_guard keep;
        ziv_dlsym_uname();
    }
    int result = -1;
    if (g_pf_org_uname != nullptr) {
        result = g_pf_org_uname(buf);
        if (result != 0) {
            return result;
        }
    }
    if (!ziv_feature_on(ZIV_F_NAMELIST)) {
        ziv_log(LOG_INFO, "%s %s get real hostname\n", ziv_name(), "uname");
        return result;
    }
    int err = strcpy_s(buf->nodename, sizeof buf->nodename, ziv_prog_cfg.hostname);
    if (err != EOK) {
        ziv_log(LOG_INFO, "strcpy_s failed, err = %d, function %s line %d\n", err, "uname", __LINE__);
        return -1;
    }
    ziv_log(LOG_INFO, "%s %s get ziv_hostname\n", ziv_name(), "uname");
    ziv_get_stack_info("uname");
    return 0;
}

ZIV_EXPORT int sysinfo(struct sysinfo* info)
{
    auto real = ziv_lazy(g_pf_org_sysinfo, "sysinfo");
    if (real == nullptr) {
        return -1;
    }
    ziv_reentry_guard guard;
    if (guard.reentered()) {
        return real(info);
    }
    ziv_log_enter("sysinfo", __LINE__);
    int result = real(info);
    if (result != 0) {
        return result;
    }
    return ziv_sysinfo(info, result, "sysinfo");
}

ZIV_EXPORT void ziv_sysinfo_uptime(struct sysinfo* info, const char* variable)
{
    const char* text = ziv_getenv(variable);
    if (text != nullptr) {
        long value = atol(text);
        info->uptime = value == LONG_MIN ? LONG_MAX : labs(value);
    } else {
        info->uptime = static_cast<long>(ziv_derived_value() % ZIV_UPTIME_SPAN);
    }
    ziv_log(LOG_INFO, "ZIV: %s get the ziv info->uptime %ld \n", ziv_name(), info->uptime);
}

ZIV_EXPORT void ziv_sysinfo_loads(struct sysinfo* info, const char* variable)
{
    const char* text = ziv_getenv(variable);
    if (text == nullptr) {
        return;
    }
    for (int i = 0; i < 3; ++i) {
        while (ziv_is_blank(*text)) {
            ++text;
        }
        if (*text == '\0') {
            break;
        }
        const char* start = text;
        while (*text != '\0' && !ziv_is_blank(*text)) {
            ++text;
        }
        char token[ZIV_LOADS_TOKEN_MAX + 1];
        size_t length = std::min(static_cast<size_t>(text - start), ZIV_LOADS_TOKEN_MAX);
        int err = strncpy_s(token, sizeof token, start, length);
        if (err != EOK) {
            ziv_log(LOG_INFO, "strcpy_s failed, err = %d, function %s line %d\n", err, "ziv_sysinfo_loads", __LINE__);
            return;
        }
        long value = atol(token);
        if (value < 0) {
            ziv_log(LOG_INFO, "atol(loads_tmp[i]) <0, error \n");
            return;
        }
        info->loads[i] = static_cast<unsigned long>(value);
    }
    ziv_log(LOG_INFO, "ZIV: %s get the ziv info->loads %lu %lu %lu\n", ziv_name(), info->loads[0], info->loads[1],
            info->loads[2]);
}

ZIV_EXPORT void ziv_sysinfo_totalram(struct sysinfo* info, const char* variable)
{
    if (const char* text = ziv_given(variable); text != nullptr) {
        info->totalram = ziv_ram_value(text, variable, ZIV_DEFAULT_TOTALRAM);
    }
    ziv_log(LOG_INFO, "ZIV: %s get the ziv info->totalram %lu \n", ziv_name(), info->totalram);
}

ZIV_EXPORT void ziv_sysinfo_freeram(struct sysinfo* info, const char* variable)
{
    if (const char* text = ziv_given(variable); text != nullptr) {
        info->freeram = ziv_ram_value(text, variable, ZIV_DEFAULT_FREERAM);
    } else {
        unsigned long derived = ziv_derived_value();
        // A zero total (no real figure) must not divide.
        info->freeram = derived < info->totalram || info->totalram == 0 ? derived : derived % info->totalram;
    }
    ziv_log(LOG_INFO, "ZIV: %s get the ziv info->freeram %lu \n", ziv_name(), info->freeram);
}

ZIV_EXPORT void ziv_sysinfo_procs(struct sysinfo* info, const char* variable)
{
    const char* text = ziv_given(variable);
    if (text != nullptr) {
        long value = atol(text);
        info->procs = static_cast<unsigned short>(value >= 0 ? static_cast<unsigned long>(value) : ziv_derived_value());
        return;
    }
    info->procs = static_cast<unsigned short>(ziv_derived_value());
    ziv_log(LOG_INFO, "ZIV: %s get the ziv info->procs %d \n", ziv_name(), info->procs);
}

ZIV_EXPORT void ziv_sysinfo_f(struct sysinfo* info, const char* variable)
{
    const char* text = ziv_given(variable);
    // The padding field has no room at all on 64-bit targets: a text only
    // goes in when it fits the field as this platform lays it out.
    if (text == nullptr || std::strlen(text) > sizeof info->_f) {
        return;
    }
    int err = memcpy_s(info->_f, sizeof info->_f, text, std::strlen(text));
    if (err != EOK) {
        ziv_log(LOG_INFO, "memcpy_s failed, err = %d, function %s line %d\n", err, "ziv_sysinfo_f", __LINE__);
        return;
    }
    ziv_log(LOG_INFO, "ZIV: %s get the ziv info->_f %s \n", ziv_name(), text);
}

ZIV_EXPORT int ziv_sysinfo(struct sysinfo* info, int result, const char* name)
{
    ziv_log_enter("ziv_sysinfo", __LINE__);
    if (!ziv_feature_on(ZIV_F_SYSINFOLIST)) {
        ziv_log(LOG_INFO, "%s %s get real sysinfo\n", ziv_name(), name);
        return result;
    }
    ziv_errno_guard keep;
    ziv_sysinfo_uptime(info, "ZIV_SYSINFO_UPTIME");
    ziv_sysinfo_loads(info, "ZIV_SYSINFO_LOADS");
    ziv_sysinfo_totalram(info, "ZIV_SYSINFO_TOTALRAM");
    ziv_sysinfo_freeram(info, "ZIV_SYSINFO_FREERAM");
    if (!ziv_sysinfo_plain(info->sharedram, "ZIV_SYSINFO_SHAREDRAM", "info->sharedram") ||
        !ziv_sysinfo_plain(info->bufferram, "ZIV_SYSINFO_BUFFERRAM", "info->bufferram") ||
        !ziv_sysinfo_plain(info->totalswap, "ZIV_SYSINFO_TOTALSWAP", "info->totalswap") ||
        !ziv_sysinfo_plain(info->freeswap, "ZIV_SYSINFO_FREESWAP", "info->freeswap")) {
        return -1;
    }
    ziv_sysinfo_procs(info, "ZIV_SYSINFO_PROCS");
    if (!ziv_sysinfo_plain(info->totalhigh, "ZIV_SYSINFO_TOTALHIGH", "info->totalhigh") ||
        !ziv_sysinfo_plain(info->freehigh, "ZIV_SYSINFO_FREEHIGH", "info->freehigh") ||
        !ziv_sysinfo_plain(info->mem_unit, "ZIV_SYSINFO_MEM_UNIT", "info->mem_unit")) {
        return -1;
    }
    ziv_sysinfo_f(info, "ZIV_SYSINFO_F");
    ziv_get_stack_info("ziv_sysinfo");
    return result;
}

ZIV_EXPORT void ziv_parse_tar_command(int argc, char** argv)
{
    if (argc < 2 || argv == nullptr || argv[1] == nullptr) {
        return;
    }
    uint32_t& mask = ziv_prog_cfg.prog[0].mask;
    // Old-style combined letters such as xvf.
    if (argv[1][0] != '-' && std::strchr(argv[1], 'x') != nullptr) {
        mask = 0;
        return;
    }
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        std::string_view arg(argv[i]);
        bool short_options = arg.size() > 1 && arg[0] == '-' && arg[1] != '-';
        if ((short_options && arg.find('x') != std::string_view::npos) || arg == "--extract" || arg == "--get") {
            mask = 0;
            return;
        }
        // Told the member times by its own options (dpkg-deb's
        // --clamp-mtime --mtime=@SOURCE_DATE_EPOCH), tar must see the real
        // ones: a fixed time would also overwrite the older files that
        // clamping keeps, and the archive would differ from a plain build's.
        if (arg == "--clamp-mtime" || arg == "--mtime" || arg.starts_with("--mtime=")) {
            mask &= ~static_cast<uint32_t>(ZIV_F_FILE_TIME_LIST);
        }
    }
}

ZIV_EXPORT void ziv_parse_hostname_command(int argc, char** argv)
{
    uint32_t& mask = ziv_prog_cfg.prog[0].mask;
    if (argc < 2 || argv == nullptr || (mask & ZIV_F_NAMELIST) == 0) {
        return;
    }
    mask &= ~static_cast<uint32_t>(ZIV_F_NAMELIST);
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        std::string_view arg(argv[i]);
        if (arg.empty() || arg[0] != '-') {
            continue;
        }
        switch (arg.back()) {
        case 's':
        case 'A':
        case 'f':
            mask |= ZIV_F_NAMELIST;
            break;
        case 'a':
        case 'i':
        case 'I':
            mask &= ~static_cast<uint32_t>(ZIV_F_NAMELIST);
            break;
        case 'F':
            ++i;  // the file the new name is read from
            break;
        default:
            break;
        }
    }
}

}  // extern "C"

pid_t ziv_program_pid()
{
    return ziv_feature_on(ZIV_F_RANDOMLIST) ? ziv_derived_pid() : ziv_libc_getpid();
}

void ziv_adjust_features_from_args(int argc, char** argv)
{
    const char* name = program_invocation_short_name;
    if (name == nullptr) {
        return;
    }
    std::string_view program(name);
    if (program == "tar") {
        ziv_parse_tar_command(argc, argv);
    } else if (program == "hostname") {
        ziv_parse_hostname_command(argc, argv);
    }
}
