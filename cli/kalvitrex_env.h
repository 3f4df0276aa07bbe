// The environment a build runs in: profile settings, the build time, the
// preloaded library and the tracing switches.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace kvx {

struct setting {
    std::string name;
    std::string value;
};

// A profile file: "NAME = words", "NAME += words", '#' comment lines, a
// trailing backslash continues a line. Names are checked (see is_setting_name),
// list values have their blanks collapsed. `origin` names the file in errors.
std::vector<setting> parse_profile(const std::string& text, const std::string& origin);
// "NAME=VALUE" of --set.
setting parse_set_option(const std::string& arg);

// Whether NAME may be set by a profile or --set; throws user_error for names
// that run sets itself or that are unknown.
void check_setting_name(const std::string& name, const std::string& where);
bool is_feature_list(const std::string& name);

// The ZIV_TIME text ("YYYY-MM-DD HH:MM:SS", local time) that the library
// turns back into exactly `t` (it reads it with the DST flag cleared).
std::string ziv_time_text(time_t t);
// SOURCE_DATE_EPOCH's value (decimal seconds) as a time; throws on junk.
time_t parse_source_date_epoch(const std::string& value);

// LD_PRELOAD with `library` appended; entries naming another copy of the
// library are dropped so that it is not loaded twice.
std::string preload_with(const std::optional<std::string>& current, const std::string& library);

struct run_settings {
    bool trace = true;
    std::string database;  // absolute
    std::string library;   // absolute
    std::optional<std::string> hdeps;
    std::vector<setting> profile;
    std::vector<setting> sets;
};

// The build's environment from the inherited one ("K=V" entries): profile,
// then ZIV_TIME from SOURCE_DATE_EPOCH, then --set, then what run controls.
std::vector<std::string> compose_environment(const std::vector<std::string>& inherited, const run_settings& s);

}  // namespace kvx
