#include "kalvitrex_env.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kalvitrex_common.h"

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
constexpr const char* k_reserved[] = {"ZIV_TRACE_ENABLE", "ZIV_TRACE_OUTPUT", "ZIV_PCOMMAND_ID"};

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

void check_setting_name(const std::string& name, const std::string& where)
{
    if (in(std::begin(k_reserved), std::end(k_reserved), name)) {
        throw user_error(where + ": " + name + " is set by kalvitrex run itself");
    }
    if (!is_feature_list(name) && !in(std::begin(k_values), std::end(k_values), name)) {
        throw user_error(where + ": unknown setting " + name);
    }
}

std::vector<setting> parse_profile(const std::string& text, const std::string& origin)
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
        if (eq == std::string::npos) {
            throw user_error(where + ": expected NAME = VALUE");
        }
        bool append = eq > 0 && line[eq - 1] == '+';
        std::string name = trim(line.substr(0, append ? eq - 1 : eq));
        std::string value = trim(line.substr(eq + 1));
        check_setting_name(name, where);
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
        } else {
            for (auto it = out.begin(); it != out.end(); ++it) {
                if (it->name == name) {
                    out.erase(it);
                    break;
                }
            }
        }
        out.push_back({name, value});
    }
    return out;
}

setting parse_set_option(const std::string& arg)
{
    size_t eq = arg.find('=');
    if (eq == std::string::npos || eq == 0) {
        throw user_error("--set needs NAME=VALUE, got '" + arg + "'");
    }
    std::string name = arg.substr(0, eq);
    check_setting_name(name, "--set");
    return {name, normalized_value(name, arg.substr(eq + 1))};
}

std::string ziv_time_text(time_t t)
{
    struct tm wall;
    if (localtime_r(&t, &wall) == nullptr) {
        throw user_error("the build time " + std::to_string(t) + " has no local time");
    }
    // The library reads the text with the DST flag 0, so mktime takes it as
    // standard time; in summer the wall clock is moved back by the DST
    // offset until it reads back as `t`.
    for (int attempt = 0; attempt < 4; ++attempt) {
        struct tm probe = wall;
        probe.tm_isdst = 0;
        probe.tm_wday = 0;
        probe.tm_yday = 0;
        time_t back = mktime(&probe);
        if (back == t) {
            char buf[64];
            strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &wall);
            return buf;
        }
        struct tm utc = wall;
        time_t as_utc = timegm(&utc) + (t - back);
        gmtime_r(&as_utc, &wall);
    }
    throw user_error("the build time " + std::to_string(t) + " cannot be written as local time");
}

time_t parse_source_date_epoch(const std::string& value)
{
    if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos || value.size() > 18) {
        throw user_error("SOURCE_DATE_EPOCH must be a number of seconds, got '" + value + "'");
    }
    return static_cast<time_t>(strtoll(value.c_str(), nullptr, 10));
}

std::string preload_with(const std::optional<std::string>& current, const std::string& library)
{
    std::string out;
    if (current) {
        const std::string& v = *current;
        size_t at = 0;
        while (at <= v.size()) {
            size_t end = v.find_first_of(" :", at);
            if (end == std::string::npos) {
                end = v.size();
            }
            std::string entry = v.substr(at, end - at);
            std::string file = entry.substr(entry.rfind('/') == std::string::npos ? 0 : entry.rfind('/') + 1);
            if (!entry.empty() && file.find("ziv_env.so") == std::string::npos) {
                out += (out.empty() ? "" : ":") + entry;
            }
            at = end + 1;
        }
    }
    return out.empty() ? library : out + ":" + library;
}

std::vector<std::string> compose_environment(const std::vector<std::string>& inherited, const run_settings& s)
{
    std::vector<std::string> env = inherited;
    for (const auto& p : s.profile) {
        set_entry(env, p.name, p.value);
    }
    if (auto sde = get_entry(inherited, "SOURCE_DATE_EPOCH")) {
        set_entry(env, "ZIV_TIME", ziv_time_text(parse_source_date_epoch(*sde)));
    }
    for (const auto& p : s.sets) {
        set_entry(env, p.name, p.value);
    }
    set_entry(env, "LD_PRELOAD", preload_with(get_entry(inherited, "LD_PRELOAD"), s.library));
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

}  // namespace kvx
