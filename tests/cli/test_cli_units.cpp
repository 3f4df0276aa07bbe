// Pure logic of the front end: build-time text, profiles, the build's
// environment, escaping, command logs, paths.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "kalvitrex_common.h"
#include "kalvitrex_env.h"
#include "ziv_run.h"

using ziv_test::temp_dir;

using namespace kvx;

namespace {

void set_zone(const char* tz)
{
    setenv("TZ", tz, 1);
    tzset();
}

}  // namespace

TEST(CliUnits, BuildTimeTextIsReadInTheBuildsZoneAndWrittenZoneFree)
{
    // The front end's own zone must not leak into the conversion.
    set_zone("EST5EDT,M3.2.0,M11.1.0");
    const std::pair<std::optional<std::string>, time_t> zones[] = {
        {std::string("UTC0"), 1646042400}, {std::string("JST-9"), 1646010000}, {std::string("CET-1CEST,M3.5.0,M10.5.0/3"), 1646038800}};
    for (const auto& [zone, want] : zones) {
        EXPECT_EQ(parse_ziv_time("2022-02-28 10:00:00", zone), want) << *zone;
        EXPECT_EQ(parse_ziv_time("2022-02-28,10:00:00", zone), want) << *zone;
        EXPECT_EQ(parse_ziv_time("@1646016134", zone), 1646016134) << *zone;
    }
    EXPECT_EQ(getenv("TZ"), std::string("EST5EDT,M3.2.0,M11.1.0"));
    EXPECT_EQ(parse_ziv_time("@-86400", std::nullopt), -86400);
    for (const char* bad : {"2022/02/28", "@", "@12x", "@ 12", "", "@1234567890123456789"}) {
        EXPECT_THROW(parse_ziv_time(bad, std::string("UTC0")), user_error) << bad;
    }
    EXPECT_EQ(parse_source_date_epoch("1646016134"), 1646016134);
    for (const char* bad : {"", "12a", " 12", "-5", "1.5", "99999999999999999999"}) {
        EXPECT_THROW(parse_source_date_epoch(bad), user_error) << bad;
    }
}

TEST(CliUnits, ProfilesSetAppendIncludeContinueAndNameTheLineOfAnError)
{
    temp_dir t;
    ziv_test::write_file(t.sub("base.profile"), "ZIV_TIMELIST = gcc\nZIV_DIRLIST = ls\nTZ = UTC\n");
    ziv_test::write_file(t.sub("loop.profile"), "include ./loop.profile\n");
    auto s = parse_profile("# comment\ninclude ./base.profile\nZIV_TIMELIST += cc1\tas\n  ZIV_TIMELIST += ld \\\n     ar\n\n"
                           "ZIV_TIME = 2022-02-28  10:00:00\nZIV_DIRLIST = find\nZIV_NAMELIST =\numask = 022\n"
                           "LC_ALL = C.UTF-8\n",
                           t.sub("my.profile"));
    std::vector<std::string> got;
    for (const setting& x : s) {
        got.push_back(x.name + "=" + x.value);
    }
    // Lists have their blanks collapsed and += adds to an included list;
    // values are taken as written, a later line replaces.
    EXPECT_EQ(got, (std::vector<std::string>{"ZIV_TIMELIST=gcc cc1 as ld ar", "TZ=UTC", "ZIV_TIME=2022-02-28  10:00:00",
                                             "ZIV_DIRLIST=find", "ZIV_NAMELIST=", "umask=022", "LC_ALL=C.UTF-8"}));
    EXPECT_EQ(profile_file("strict", "/s"), "/s/strict.profile");
    EXPECT_EQ(profile_file("mine.profile", "/s"), "mine.profile");
    EXPECT_EQ(profile_file("./strict", "/s"), "./strict");
    const std::pair<std::string, std::string> errors[] = {
        {"\n\nZIV_TIMELIST gcc\n", "my.profile:3: expected NAME = VALUE or include PROFILE"},
        {"ZIV_TIMLIST = gcc\n", "my.profile:1: unknown setting ZIV_TIMLIST"},
        {"ZIV_TRACE_OUTPUT = /x.db\n", "my.profile:1: ZIV_TRACE_OUTPUT is set by kalvitrex run itself"},
        {"LD_PRELOAD = /x.so\n", "my.profile:1: LD_PRELOAD is set by kalvitrex run itself"},
        {"ZIV_TIME += 1\n", "my.profile:1: += only adds to program lists, ZIV_TIME is a value"},
        {"TZ += UTC\n", "my.profile:1: += only adds to program lists, TZ is a value"},
        {"umask = 0999\n", "my.profile:1: umask takes an octal mask such as 022, got '0999'"},
        {"umask = 1777\n", "my.profile:1: umask takes an octal mask such as 022, got '1777'"},
        {"MY-VAR = 1\n", "my.profile:1: not a variable name: 'MY-VAR'"},
        {"include nosuch\n", "my.profile:1: no shipped profile named 'nosuch' (in "},
        {"include " + t.sub("loop.profile") + "\n", "profiles include each other too deeply (a loop?)"},
    };
    for (const auto& [text, err] : errors) {
        std::string what = "no error";
        try {
            parse_profile(text, "my.profile", "/nowhere");
        } catch (const user_error& e) {
            what = e.what();
        }
        EXPECT_NE(what.find(err), std::string::npos) << text << " gave: " << what;
    }
    EXPECT_THROW(parse_set_option("=x"), user_error);
    setting ok = parse_set_option("ZIV_HOSTNAME=a=b c");
    EXPECT_EQ(ok.name + "|" + ok.value, "ZIV_HOSTNAME|a=b c");
}

TEST(CliUnits, EnvironmentPrecedencePreloadOrderAndBuildTime)
{
    const std::string lib = "/l/libziv_env.so";
    // In front, behind only the sanitizer runtimes, without a second copy.
    const std::pair<std::optional<std::string>, std::string> preloads[] = {
        {std::nullopt, lib},
        {std::string(""), lib},
        {std::string("/a/x.so /old/libziv_env.so:/b/y.so"), lib + ":/a/x.so:/b/y.so"},
        {std::string("/f/libfaketime.so.1:/usr/lib/libasan.so.8 libclang_rt.ubsan_standalone-x86_64.so"),
         "/usr/lib/libasan.so.8:libclang_rt.ubsan_standalone-x86_64.so:" + lib + ":/f/libfaketime.so.1"},
    };
    for (const auto& [current, want] : preloads) {
        EXPECT_EQ(preload_with(current, lib), want) << current.value_or("(unset)");
    }

    set_zone("UTC0");
    run_settings s{true, "/w/k.db", lib, "mm",
                   {{"ZIV_TIMELIST", "gcc"}, {"ZIV_TIME", "2020-01-01 00:00:00"}, {"ZIV_DIRLIST", "ls"},
                    {"TZ", "JST-9"}, {"umask", "027"}},
                   {{"ZIV_DIRLIST", "find"}, {"umask", "002"}}};
    std::vector<std::string> inherited = {"ZIV_TIMELIST=make", "ZIV_PCOMMAND_ID=17", "ZIV_TRACE_ENABLE=no",
                                          "ZIV_TRACE_OUTPUT=/else.db", "ASAN_OPTIONS=detect_leaks=0", "TZ=UTC0"};
    auto with = [&](const std::vector<std::string>& names) {
        std::vector<std::string> env = compose_environment(inherited, s), out;
        for (const std::string& name : names) {
            std::string value = "<unset>";
            for (const std::string& e : env) {
                value = e.rfind(name + "=", 0) == 0 ? e.substr(name.size() + 1) : value;
            }
            out.push_back(value);
        }
        return out;
    };
    const std::vector<std::string> names = {"ZIV_TIMELIST", "ZIV_DIRLIST", "ZIV_TIME", "SOURCE_DATE_EPOCH", "TZ",
                                            "ZIV_TRACE_ENABLE", "ZIV_TRACE_OUTPUT", "ZIV_TRACE_HDEPS",
                                            "ZIV_PCOMMAND_ID", "ASAN_OPTIONS", "umask"};
    // The profile over the environment, --set over both; the profile's
    // ZIV_TIME is read in the build's zone (JST), given to the build as
    // seconds and as SOURCE_DATE_EPOCH.
    EXPECT_EQ(with(names), (std::vector<std::string>{"gcc", "find", "@1577804400", "1577804400", "JST-9", "yes",
                                                     "/w/k.db", "mm", "<unset>",
                                                     "verify_asan_link_order=0:detect_leaks=0", "<unset>"}));
    EXPECT_EQ(build_umask(s), 02u);
    // An existing SOURCE_DATE_EPOCH is kept and gives the build time...
    inherited.push_back("SOURCE_DATE_EPOCH=1646016134");
    EXPECT_EQ(with({"ZIV_TIME", "SOURCE_DATE_EPOCH"}), (std::vector<std::string>{"@1646016134", "1646016134"}));
    // ... unless --set gives ZIV_TIME; no tracing: no database, no headers.
    s.sets.push_back({"ZIV_TIME", "@1000000000"});
    s.trace = false;
    s.hdeps.reset();
    EXPECT_EQ(with(names), (std::vector<std::string>{"gcc", "find", "@1000000000", "1646016134", "JST-9", "no",
                                                     "<unset>", "<unset>", "<unset>",
                                                     "verify_asan_link_order=0:detect_leaks=0", "<unset>"}));
    // Nothing sets a time: the library's default, for both.
    s = run_settings{false, "", lib, std::nullopt, {}, {}};
    inherited = {};
    EXPECT_EQ(with({"ZIV_TIME", "SOURCE_DATE_EPOCH", "ASAN_OPTIONS"}),
              (std::vector<std::string>{"@1646016134", "1646016134", "verify_asan_link_order=0"}));
    EXPECT_EQ(build_umask(s), std::nullopt);
}

TEST(CliUnits, EscapingCommandLogsToolNamesAndPaths)
{
    bool lossy = false;
    EXPECT_EQ(json_quote("a\"b\\c\nd\te\x01 f/\xc3\xa9", &lossy), "\"a\\\"b\\\\c\\nd\\te\\u0001 f/\xc3\xa9\"");
    EXPECT_FALSE(lossy);
    EXPECT_EQ(json_quote("x\xffy\xc3", &lossy), "\"x\\u00ffy\\u00c3\"");
    EXPECT_TRUE(lossy);
    EXPECT_EQ(dot_quote("a\"b\\c&d\ne\x02\xc3\xa9\xfe"), "\"a\\\"b\\\\c&amp;d\\ne&#2;\xc3\xa9&#254;\"");

    EXPECT_EQ(split_command_log("x  y"), (std::vector<std::string>{"x", "", "y"}));
    EXPECT_TRUE(split_command_log("").empty());
    EXPECT_TRUE(command_log_has_argument("gcc -c my file.c -o x.o", "my file.c"));
    for (const char* log : {"gcc -c ba.c", "gcc -c a.cc"}) {
        EXPECT_FALSE(command_log_has_argument(log, "a.c")) << log;
    }
    EXPECT_FALSE(command_log_has_argument("gcc -c a.c", ""));
    EXPECT_EQ(tool_base_name("/usr/bin/x86_64-linux-gnu-gcc-12 -c a.c"), "gcc");
    EXPECT_EQ(tool_base_name("clang-15 -c a.c"), "clang");
    EXPECT_EQ(tool_base_name("/usr/lib/gcc/x86_64-linux-gnu/12/cc1 -quiet a.c"), "cc1");
    EXPECT_TRUE(is_compiler_driver("g++"));
    EXPECT_FALSE(is_compiler_driver("cc1") || is_compiler_driver("as"));

    EXPECT_EQ(normalize_path("a/./b/../c", "/w"), "/w/a/c");
    EXPECT_EQ(normalize_path("/x//y/", "/w"), "/x/y");
    EXPECT_EQ(normalize_path("../../..", "/w"), "/");
    EXPECT_EQ(relative_to("/w/a/b", "/w"), "a/b");
    EXPECT_EQ(relative_to("/wx/a", "/w"), "/wx/a");
    EXPECT_EQ(relative_to("/w", "/w"), "/w");
}
