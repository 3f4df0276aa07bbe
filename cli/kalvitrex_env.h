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

// A profile file: "NAME = words", "NAME += words", "include PROFILE" (what
// that profile sets, here; named as --profile names one, a relative file
// beside this one), '#' comment lines, a trailing backslash continues a
// line. Names are checked (see check_setting), list values have their
// blanks collapsed. `origin` names the file in errors.
std::vector<setting> parse_profile(const std::string& text, const std::string& origin,
                                   const std::string& shipped_dir = "");
// The profile that --profile VALUE names (see profile_file), read and parsed.
std::vector<setting> read_profile(const std::string& value, const std::string& shipped_dir);
// "NAME=VALUE" of --set.
setting parse_set_option(const std::string& arg);

// Whether NAME=VALUE may be set by a profile or --set: a known ZIV_*
// setting, "umask" with an octal mask, or an ordinary environment variable
// that run does not set itself. Throws user_error otherwise.
void check_setting(const std::string& name, const std::string& value, const std::string& where);
bool is_feature_list(const std::string& name);

// The profile file that --profile VALUE names: a path when VALUE holds a
// '/' or ends in ".profile", else the shipped profile of that name.
std::string profile_file(const std::string& value, const std::string& shipped_dir);

// SOURCE_DATE_EPOCH's value (decimal seconds) as a time; throws on junk.
time_t parse_source_date_epoch(const std::string& value);
// ZIV_TIME's text as the instant it names in time zone `tz` (the build's TZ;
// none: the system's); throws on junk.
time_t parse_ziv_time(const std::string& text, const std::optional<std::string>& tz);

// LD_PRELOAD with `library` in front, behind only the sanitizer runtimes
// that insist on coming first; entries naming another copy of the library
// are dropped so that it is not loaded twice.
std::string preload_with(const std::optional<std::string>& current, const std::string& library);

struct run_settings {
    bool trace = true;
    std::string database;  // absolute
    std::string library;   // absolute
    std::optional<std::string> hdeps;
    std::vector<setting> profile;
    std::vector<setting> sets;
    // The time the sources carry themselves (a Debian package's latest
    // changelog entry): the build time when nothing else names one.
    std::optional<time_t> package_time;
};

// The build's environment from the inherited one ("K=V" entries): the
// profile, then --set, then what run controls. The build time is --set
// ZIV_TIME, else SOURCE_DATE_EPOCH, else ZIV_TIME, else the package's time,
// else the library's default; it goes to the build as ZIV_TIME "@SECONDS" and, when unset, as
// SOURCE_DATE_EPOCH.
std::vector<std::string> compose_environment(const std::vector<std::string>& inherited, const run_settings& s);
// The build time compose_environment gives the build.
time_t build_time_of(const std::vector<std::string>& inherited, const run_settings& s);
// The date of a Debian changelog's newest entry (its trailer line), as the
// packaging tools read it; none when the file or the date is missing or bad.
std::optional<time_t> changelog_time(const std::string& file);
// The file-creation mask the build gets: the last "umask" of the profile
// and --set, if any.
std::optional<unsigned> build_umask(const run_settings& s);

}  // namespace kvx
