#include "kalvitrex_env.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include <unistd.h>

#include "kalvitrex_common.h"
#include "kalvitrex_db.h"
#include "ziv_config.h"

namespace kvx {

namespace {

constexpr const char* k_lists[] = {
    "ZIV_WHITELIST",       "ZIV_TIMELIST",     "ZIV_CGTLIST",      "ZIV_FILE_TIME_LIST", "ZIV_GTDLIST",
    "ZIV_PRO_TIMES_LIST",  "ZIV_DIRLIST",      "ZIV_NFTWLIST",     "ZIV_RANDOMLIST",     "ZIV_NAMELIST",
    "ZIV_INOLIST",         "ZIV_UIDLIST",      "ZIV_DEVIDLIST",    "ZIV_SYSINFOLIST",    "ZIV_TRACE_WHITELIST",
    "ZIV_DIRONCELIST",     "ZIV_TRACE_BUILDLIST", "ZIV_TRACE_MAP", "ZIV_DIRSIZELIST",    "ZIV_REPLAYLIST",
};

constexpr const char* k_values[] = {
    "ZIV_TIME", "ZIV_HOSTNAME", "ZIV_TIMES", "ZIV_UID", "ZIV_GID", "ZIV_INODE", "ZIV_DEV_ID", "ZIV_R_DEV_ID",
    "ZIV_RANDOM_RECORD_OUTPUT", "ZIV_LOG", "ZIV_TRACE_HDEPS", "ZIV_TRACE_TEMPLATE", "ZIV_TRACE_BUILD_TOOLNAME",
    "ZIV_TRACE_OUTPUT_TOOLNAME", "ZIV_CARRY_ENV", "ZIV_SYSINFO_UPTIME", "ZIV_SYSINFO_LOADS", "ZIV_SYSINFO_TOTALRAM",
    "ZIV_SYSINFO_FREERAM", "ZIV_SYSINFO_SHAREDRAM", "ZIV_SYSINFO_BUFFERRAM", "ZIV_SYSINFO_TOTALSWAP",
    "ZIV_SYSINFO_FREESWAP", "ZIV_SYSINFO_PROCS", "ZIV_SYSINFO_TOTALHIGH", "ZIV_SYSINFO_FREEHIGH",
    "ZIV_SYSINFO_MEM_UNIT", "ZIV_SYSINFO_F",
};

// Set by run from its own options, never from a profile.
constexpr const char* k_reserved[] = {"ZIV_TRACE_ENABLE", "ZIV_TRACE_OUTPUT", "ZIV_PCOMMAND_ID", "LD_PRELOAD"};

// Not an environment variable: the build's file-creation mask.
constexpr const char* k_umask = "umask";

// Runtimes that abort unless they come first in the list of loaded
// libraries (AddressSanitizer checks; the others share its start-up).
constexpr std::string_view k_first_runtimes[] = {
    "libasan.",  "libhwasan.", "libtsan.",  "liblsan.",  "libubsan.", "libclang_rt.asan",
    "libclang_rt.hwasan", "libclang_rt.tsan", "libclang_rt.msan", "libclang_rt.lsan",
    "libclang_rt.ubsan", "libclang_rt.memprof", "libclang_rt.dfsan",
};

bool in(const char* const* b, const char* const* e, const std::string& name)
{
    for (; b != e; ++b) {
        if (name == *b) {
            return true;
        }
    }
    return false;
}

std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) {
        return "";
    }
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// The library separates names by blanks only; a tab in a profile is meant as
// a separator too.
std::string collapse_blanks(const std::string& s)
{
    std::string out;
    bool gap = false;
    for (char c : s) {
        if (c == ' ' || c == '\t' || c == '\r') {
            gap = !out.empty();
            continue;
        }
        if (gap) {
            out += ' ';
            gap = false;
        }
        out += c;
    }
    return out;
}

std::string normalized_value(const std::string& name, const std::string& value)
{
    return is_feature_list(name) ? collapse_blanks(value) : value;
}

void set_entry(std::vector<std::string>& env, const std::string& name, const std::optional<std::string>& value)
{
    std::string prefix = name + "=";
    for (auto it = env.begin(); it != env.end();) {
        if (it->compare(0, prefix.size(), prefix) == 0) {
            it = env.erase(it);
        } else {
            ++it;
        }
    }
    if (value) {
        env.push_back(prefix + *value);
    }
}

std::optional<std::string> get_entry(const std::vector<std::string>& env, const std::string& name)
{
    std::string prefix = name + "=";
    for (const auto& e : env) {
        if (e.compare(0, prefix.size(), prefix) == 0) {
            return e.substr(prefix.size());
        }
    }
    return std::nullopt;
}

}  // namespace

bool is_feature_list(const std::string& name) { return in(std::begin(k_lists), std::end(k_lists), name); }

void check_setting(const std::string& name, const std::string& value, const std::string& where)
{
    if (in(std::begin(k_reserved), std::end(k_reserved), name)) {
        throw user_error(where + ": " + name + " is set by kalvitrex run itself");
    }
    if (name == k_umask) {
        if (value.empty() || value.size() > 4 || value.find_first_not_of("01234567") != std::string::npos ||
            strtoul(value.c_str(), nullptr, 8) > 0777) {
            throw user_error(where + ": umask takes an octal mask such as 022, got '" + value + "'");
        }
        return;
    }
    if (name.compare(0, 4, "ZIV_") == 0) {
        if (!is_feature_list(name) && !in(std::begin(k_values), std::end(k_values), name)) {
            throw user_error(where + ": unknown setting " + name);
        }
        return;
    }
    bool word = !name.empty() && (name[0] < '0' || name[0] > '9');
    for (char c : name) {
        word = word && (c == '_' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'));
    }
    if (!word) {
        throw user_error(where + ": not a variable name: '" + name + "'");
    }
}

std::string profile_file(const std::string& value, const std::string& shipped_dir)
{
    const std::string suffix = ".profile";
    bool path = value.find('/') != std::string::npos ||
                (value.size() >= suffix.size() && value.compare(value.size() - suffix.size(), suffix.size(), suffix) == 0);
    return path ? value : shipped_dir + "/" + value + suffix;
}

namespace {

// Includes deeper than this are a loop.
constexpr int k_include_depth = 8;

std::vector<setting> parse_profile_at(const std::string& text, const std::string& origin,
                                      const std::string& shipped_dir, int depth);

std::vector<setting> read_profile_at(const std::string& value, const std::string& shipped_dir, int depth,
                                     const std::string& where)
{
    if (depth > k_include_depth) {
        throw user_error(where + "profiles include each other too deeply (a loop?)");
    }
    std::string file = profile_file(value, shipped_dir);
    if (file != value && access(file.c_str(), F_OK) != 0) {
        throw user_error(where + "no shipped profile named '" + value + "' (in " + shipped_dir +
                         "); a profile file is named by a path or a name ending in .profile");
    }
    return parse_profile_at(read_text_file(file, "profile"), file, shipped_dir, depth);
}

// Replaces NAME's earlier setting, or adds it.
void put_setting(std::vector<setting>& out, setting s)
{
    for (auto it = out.begin(); it != out.end(); ++it) {
        if (it->name == s.name) {
            out.erase(it);
            break;
        }
    }
    out.push_back(std::move(s));
}

std::vector<setting> parse_profile_at(const std::string& text, const std::string& origin,
                                      const std::string& shipped_dir, int depth)
{
    std::vector<setting> out;
    size_t at = 0;
    int line_no = 0;
    while (at < text.size()) {
        // One logical line, joined over trailing backslashes.
        std::string line;
        int first_line = line_no + 1;
        for (;;) {
            size_t nl = text.find('\n', at);
            std::string piece = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
            at = nl == std::string::npos ? text.size() : nl + 1;
            ++line_no;
            std::string t = trim(piece);
            if (!t.empty() && t[0] == '#') {
                t.clear();
            }
            if (!t.empty() && t.back() == '\\' && at < text.size()) {
                line += t.substr(0, t.size() - 1) + " ";
                continue;
            }
            line += t;
            break;
        }
        line = trim(line);
        if (line.empty()) {
            continue;
        }
        std::string where = origin + ":" + std::to_string(first_line);
        size_t eq = line.find('=');
        if (eq == std::string::npos && line.compare(0, 8, "include ") == 0) {
            // A relative file is found beside the including one.
            std::string name = trim(line.substr(8));
            size_t slash = origin.rfind('/');
            if (profile_file(name, shipped_dir) == name && name[0] != '/' && slash != std::string::npos) {
                name = origin.substr(0, slash + 1) + name;
            }
            for (setting& s : read_profile_at(name, shipped_dir, depth + 1, where + ": ")) {
                put_setting(out, std::move(s));
            }
            continue;
        }
        if (eq == std::string::npos) {
            throw user_error(where + ": expected NAME = VALUE or include PROFILE");
        }
        bool append = eq > 0 && line[eq - 1] == '+';
        std::string name = trim(line.substr(0, append ? eq - 1 : eq));
        std::string value = trim(line.substr(eq + 1));
        check_setting(name, value, where);
        if (append && !is_feature_list(name)) {
            throw user_error(where + ": += only adds to program lists, " + name + " is a value");
        }
        value = normalized_value(name, value);
        if (append) {
            for (auto& s : out) {
                if (s.name == name) {
                    s.value = collapse_blanks(s.value + " " + value);
                    value.clear();
                    name.clear();
                    break;
                }
            }
            if (name.empty()) {
                continue;
            }
        }
        put_setting(out, {name, value});
    }
    return out;
}

}  // namespace

std::vector<setting> parse_profile(const std::string& text, const std::string& origin, const std::string& shipped_dir)
{
    return parse_profile_at(text, origin, shipped_dir, 0);
}

std::vector<setting> read_profile(const std::string& value, const std::string& shipped_dir)
{
    return read_profile_at(value, shipped_dir, 0, "");
}

setting parse_set_option(const std::string& arg)
{
    size_t eq = arg.find('=');
    if (eq == std::string::npos || eq == 0) {
        throw user_error("--set needs NAME=VALUE, got '" + arg + "'");
    }
    std::string name = arg.substr(0, eq);
    check_setting(name, arg.substr(eq + 1), "--set");
    return {name, normalized_value(name, arg.substr(eq + 1))};
}

time_t parse_source_date_epoch(const std::string& value)
{
    if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos || value.size() > 18) {
        throw user_error("SOURCE_DATE_EPOCH must be a number of seconds, got '" + value + "'");
    }
    return static_cast<time_t>(strtoll(value.c_str(), nullptr, 10));
}

namespace {

// TZ as the build will have it, for the length of one conversion; the
// program's own zone comes back afterwards.
class zone_switch {
public:
    explicit zone_switch(const std::optional<std::string>& tz)
    {
        if (const char* own = getenv("TZ")) {
            own_ = own;
        }
        apply(tz);
    }
    ~zone_switch() { apply(own_); }
    zone_switch(const zone_switch&) = delete;
    zone_switch& operator=(const zone_switch&) = delete;

private:
    static void apply(const std::optional<std::string>& tz)
    {
        if (tz) {
            setenv("TZ", tz->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    std::optional<std::string> own_;
};

bool is_first_runtime(const std::string& file)
{
    for (std::string_view stem : k_first_runtimes) {
        if (file.compare(0, stem.size(), stem) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

time_t parse_ziv_time(const std::string& text, const std::optional<std::string>& tz)
{
    zone_switch zone(tz);
    time_t t;
    if (!ziv_parse_build_time(text.c_str(), &t)) {
        throw user_error("ZIV_TIME must be 'YYYY-MM-DD HH:MM:SS' (local time) or '@SECONDS', got '" + text + "'");
    }
    return t;
}

std::string preload_with(const std::optional<std::string>& current, const std::string& library)
{
    std::string first, rest;
    size_t at = 0;
    const std::string v = current.value_or("");
    while (at < v.size()) {
        size_t end = v.find_first_of(" :", at);
        end = end == std::string::npos ? v.size() : end;
        std::string entry = v.substr(at, end - at);
        std::string file = entry.substr(entry.rfind('/') == std::string::npos ? 0 : entry.rfind('/') + 1);
        at = end + 1;
        if (entry.empty() || file.find("ziv_env.so") != std::string::npos) {
            continue;
        }
        std::string& to = is_first_runtime(file) ? first : rest;
        to += (to.empty() ? "" : ":") + entry;
    }
    return (first.empty() ? "" : first + ":") + library + (rest.empty() ? "" : ":" + rest);
}

namespace {

// The inherited environment with the profile and --set applied, and the
// build time they name.
std::vector<std::string> settled_environment(const std::vector<std::string>& inherited, const run_settings& s,
                                             time_t* build_time)
{
    std::vector<std::string> env = inherited;
    std::optional<std::string> set_time;
    for (const auto* list : {&s.profile, &s.sets}) {
        for (const auto& p : *list) {
            if (p.name != k_umask) {
                set_entry(env, p.name, p.value);
            }
            if (list == &s.sets && p.name == "ZIV_TIME") {
                set_time = p.value;
            }
        }
    }
    std::optional<std::string> sde = get_entry(env, "SOURCE_DATE_EPOCH");
    std::optional<std::string> text = get_entry(env, "ZIV_TIME");
    *build_time = s.package_time.value_or(ZIV_DEFAULT_BUILD_TIME);
    if (set_time || (text && !sde)) {
        *build_time = parse_ziv_time(set_time ? *set_time : *text, get_entry(env, "TZ"));
    } else if (sde) {
        *build_time = parse_source_date_epoch(*sde);
    }
    return env;
}

}  // namespace

time_t build_time_of(const std::vector<std::string>& inherited, const run_settings& s)
{
    time_t build_time = 0;
    settled_environment(inherited, s, &build_time);
    return build_time;
}

std::vector<std::string> compose_environment(const std::vector<std::string>& inherited, const run_settings& s)
{
    time_t build_time = 0;
    std::vector<std::string> env = settled_environment(inherited, s, &build_time);
    bool sde = get_entry(env, "SOURCE_DATE_EPOCH").has_value();
    // One instant for the whole build, written so that no process turns it
    // into another: a step with a TZ of its own reads "@SECONDS" alike.
    set_entry(env, "ZIV_TIME", "@" + std::to_string(build_time));
    if (!sde) {
        set_entry(env, "SOURCE_DATE_EPOCH", std::to_string(build_time));
    }
    set_entry(env, "LD_PRELOAD", preload_with(get_entry(inherited, "LD_PRELOAD"), s.library));
    // AddressSanitizer refuses to start when a preloaded library precedes
    // its runtime; the library only passes calls on, so its check is off
    // (a setting of the user's own, later in the list, still wins).
    std::optional<std::string> asan = get_entry(env, "ASAN_OPTIONS");
    set_entry(env, "ASAN_OPTIONS", "verify_asan_link_order=0" + (asan && !asan->empty() ? ":" + *asan : ""));
    // A parent id from an outer traced build would point into another
    // database.
    set_entry(env, "ZIV_PCOMMAND_ID", std::nullopt);
    if (s.trace) {
        set_entry(env, "ZIV_TRACE_ENABLE", std::string("yes"));
        set_entry(env, "ZIV_TRACE_OUTPUT", s.database);
        if (s.hdeps) {
            set_entry(env, "ZIV_TRACE_HDEPS", *s.hdeps);
        }
    } else {
        set_entry(env, "ZIV_TRACE_ENABLE", std::string("no"));
        set_entry(env, "ZIV_TRACE_OUTPUT", std::nullopt);
    }
    return env;
}

std::optional<time_t> changelog_time(const std::string& file)
{
    FILE* f = fopen(file.c_str(), "re");
    if (f == nullptr) {
        return std::nullopt;
    }
    // The newest entry comes first; its trailer line is
    // " -- Name <address>  Mon, 26 Dec 2022 15:30:00 +0000".
    std::optional<time_t> when;
    char line[4096];
    for (int n = 0; n < 10000 && fgets(line, sizeof line, f) != nullptr; ++n) {
        if (strncmp(line, " -- ", 4) != 0) {
            continue;
        }
        const char* date = strstr(line + 4, ">  ");
        struct tm tm {};
        const char* end = date != nullptr ? strptime(date + 3, "%a, %d %b %Y %H:%M:%S %z", &tm) : nullptr;
        if (end != nullptr && strspn(end, " \t\r\n") == strlen(end)) {
            long offset = tm.tm_gmtoff;
            time_t t = timegm(&tm);
            if (t != static_cast<time_t>(-1) && t - offset >= 0) {
                when = t - offset;
            }
        }
        break;
    }
    fclose(f);
    return when;
}

std::optional<unsigned> build_umask(const run_settings& s)
{
    std::optional<unsigned> mask;
    for (const auto* list : {&s.profile, &s.sets}) {
        for (const auto& p : *list) {
            if (p.name == k_umask) {
                mask = static_cast<unsigned>(strtoul(p.value.c_str(), nullptr, 8));
            }
        }
    }
    return mask;
}

}  // namespace kvx
