// Pure logic of the front end: build-time text, profiles, the build's
// environment, escaping, command logs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "kalvitrex_common.h"
#include "kalvitrex_env.h"

using namespace kvx;

namespace {

// What the library does with ZIV_TIME: strptime into a zeroed tm, mktime.
time_t library_reading(const std::string& text)
{
    struct tm tm {};
    EXPECT_NE(strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &tm), nullptr) << text;
    return mktime(&tm);
}

struct tz_scope {
    std::string old;
    bool had;
    explicit tz_scope(const char* tz)
    {
        const char* o = getenv("TZ");
        had = o != nullptr;
        old = had ? o : "";
        setenv("TZ", tz, 1);
        tzset();
    }
    ~tz_scope()
    {
        if (had) {
            setenv("TZ", old.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
};

}  // namespace

TEST(CliBuildTime, ReadsBackExactlyInEveryZoneAndSeason)
{
    // Winter, summer, the hour after a spring change and the repeated autumn
    // hour, in zones with and without daylight saving.
    const time_t times[] = {1646016134, 1656000000, 1679792400 + 1800, 1698541200 + 600, 0, 1700000000};
    for (const char* zone : {"UTC0", "Europe/Berlin", "America/New_York", "Australia/Lord_Howe", "Asia/Kolkata"}) {
        tz_scope tz(zone);
        for (time_t t : times) {
            std::string text = ziv_time_text(t);
            EXPECT_EQ(library_reading(text), t) << zone << " " << t << " -> " << text;
            EXPECT_EQ(text.size(), 19u) << text;
        }
    }
}

TEST(CliBuildTime, UtcTextAndSourceDateEpochSyntax)
{
    tz_scope tz("UTC0");
    EXPECT_EQ(ziv_time_text(1646016134), "2022-02-28 02:42:14");
    EXPECT_EQ(parse_source_date_epoch("1646016134"), 1646016134);
    for (const char* bad : {"", "12a", " 12", "-5", "1.5", "99999999999999999999"}) {
        EXPECT_THROW(parse_source_date_epoch(bad), user_error) << bad;
    }
}

TEST(CliProfile, SetsAppendsContinuesAndCollapsesBlanks)
{
    auto s = parse_profile(
        "# comment\n"
        "ZIV_TIMELIST = gcc\tcc1   as\n"
        "  ZIV_TIMELIST += ld \\\n"
        "     ar\n"
        "\n"
        "ZIV_TIME = 2022-02-28  10:00:00\n"
        "ZIV_DIRLIST = ls\n"
        "ZIV_DIRLIST = find\n"
        "ZIV_NAMELIST =\n",
        "p");
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[0].name, "ZIV_TIMELIST");
    EXPECT_EQ(s[0].value, "gcc cc1 as ld ar");
    EXPECT_EQ(s[1].name, "ZIV_TIME");
    EXPECT_EQ(s[1].value, "2022-02-28  10:00:00");  // values are taken as written
    EXPECT_EQ(s[2].value, "find");                  // a later line replaces
    EXPECT_EQ(s[3].name, "ZIV_NAMELIST");
    EXPECT_EQ(s[3].value, "");
}

TEST(CliProfile, BadLinesNameFileAndLine)
{
    auto message = [](const std::string& text) {
        try {
            parse_profile(text, "my.profile");
        } catch (const user_error& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message("\n\nZIV_TIMELIST gcc\n"), "my.profile:3: expected NAME = VALUE");
    EXPECT_EQ(message("ZIV_TIMLIST = gcc\n"), "my.profile:1: unknown setting ZIV_TIMLIST");
    EXPECT_EQ(message("ZIV_TRACE_OUTPUT = /x.db\n"), "my.profile:1: ZIV_TRACE_OUTPUT is set by kalvitrex run itself");
    EXPECT_EQ(message("ZIV_TIME += 1\n"), "my.profile:1: += only adds to program lists, ZIV_TIME is a value");
    EXPECT_THROW(parse_set_option("ZIV_TIMELIST"), user_error);
    EXPECT_THROW(parse_set_option("=x"), user_error);
    EXPECT_THROW(parse_set_option("ZIV_PCOMMAND_ID=3"), user_error);
    setting ok = parse_set_option("ZIV_HOSTNAME=a=b c");
    EXPECT_EQ(ok.name, "ZIV_HOSTNAME");
    EXPECT_EQ(ok.value, "a=b c");
}

TEST(CliEnvironment, PreloadIsAppendedWithoutASecondCopy)
{
    EXPECT_EQ(preload_with(std::nullopt, "/l/libziv_env.so"), "/l/libziv_env.so");
    EXPECT_EQ(preload_with(std::string(""), "/l/libziv_env.so"), "/l/libziv_env.so");
    EXPECT_EQ(preload_with(std::string("/a/libfoo.so"), "/l/libziv_env.so"), "/a/libfoo.so:/l/libziv_env.so");
    EXPECT_EQ(preload_with(std::string("/a/x.so /old/libziv_env.so:/b/y.so"), "/l/libziv_env.so"),
              "/a/x.so:/b/y.so:/l/libziv_env.so");
}

TEST(CliEnvironment, PrecedenceAndTracingSwitches)
{
    tz_scope tz("UTC0");
    run_settings s;
    s.database = "/w/k.db";
    s.library = "/l/libziv_env.so";
    s.hdeps = "mm";
    s.profile = {{"ZIV_TIMELIST", "gcc"}, {"ZIV_TIME", "2020-01-01 00:00:00"}, {"ZIV_DIRLIST", "ls"}};
    s.sets = {{"ZIV_DIRLIST", "find"}};
    std::vector<std::string> inherited = {"PATH=/bin", "ZIV_TIMELIST=make", "SOURCE_DATE_EPOCH=1646016134",
                                          "ZIV_PCOMMAND_ID=17", "LD_PRELOAD=/a/x.so", "ZIV_TRACE_ENABLE=no"};
    auto env = compose_environment(inherited, s);
    auto get = [&](const std::string& name) -> std::string {
        for (const auto& e : env) {
            if (e.rfind(name + "=", 0) == 0) {
                return e.substr(name.size() + 1);
            }
        }
        return "<unset>";
    };
    EXPECT_EQ(get("PATH"), "/bin");
    EXPECT_EQ(get("ZIV_TIMELIST"), "gcc");               // profile over the environment
    EXPECT_EQ(get("ZIV_TIME"), "2022-02-28 02:42:14");   // SOURCE_DATE_EPOCH over the profile
    EXPECT_EQ(get("ZIV_DIRLIST"), "find");               // --set over the profile
    EXPECT_EQ(get("LD_PRELOAD"), "/a/x.so:/l/libziv_env.so");
    EXPECT_EQ(get("ZIV_TRACE_ENABLE"), "yes");
    EXPECT_EQ(get("ZIV_TRACE_OUTPUT"), "/w/k.db");
    EXPECT_EQ(get("ZIV_TRACE_HDEPS"), "mm");
    EXPECT_EQ(get("ZIV_PCOMMAND_ID"), "<unset>");

    s.sets.push_back({"ZIV_TIME", "2001-02-03 04:05:06"});
    s.trace = false;
    s.hdeps.reset();
    inherited.push_back("ZIV_TRACE_OUTPUT=/else.db");
    env = compose_environment(inherited, s);
    EXPECT_EQ(get("ZIV_TIME"), "2001-02-03 04:05:06");  // --set over SOURCE_DATE_EPOCH
    EXPECT_EQ(get("ZIV_TRACE_ENABLE"), "no");
    EXPECT_EQ(get("ZIV_TRACE_OUTPUT"), "<unset>");
    EXPECT_EQ(get("ZIV_TRACE_HDEPS"), "<unset>");
    EXPECT_EQ(get("LD_PRELOAD"), "/a/x.so:/l/libziv_env.so");
}

TEST(CliFormats, JsonAndDotEscaping)
{
    bool lossy = false;
    EXPECT_EQ(json_quote("a\"b\\c\nd\te\x01 f/\xc3\xa9", &lossy), "\"a\\\"b\\\\c\\nd\\te\\u0001 f/\xc3\xa9\"");
    EXPECT_FALSE(lossy);
    EXPECT_EQ(json_quote("x\xffy\xc3", &lossy), "\"x\\u00ffy\\u00c3\"");
    EXPECT_TRUE(lossy);
    EXPECT_EQ(dot_quote("a\"b\\c&d\ne\x02\xc3\xa9\xfe"), "\"a\\\"b\\\\c&amp;d\\ne&#2;\xc3\xa9&#254;\"");
}

TEST(CliFormats, CommandLogsAndToolNames)
{
    EXPECT_EQ(split_command_log("gcc -c a.c"), (std::vector<std::string>{"gcc", "-c", "a.c"}));
    EXPECT_EQ(split_command_log("x  y"), (std::vector<std::string>{"x", "", "y"}));
    EXPECT_TRUE(split_command_log("").empty());
    EXPECT_TRUE(command_log_has_argument("gcc -c my file.c -o x.o", "my file.c"));
    EXPECT_TRUE(command_log_has_argument("gcc -c a.c", "a.c"));
    EXPECT_FALSE(command_log_has_argument("gcc -c ba.c", "a.c"));
    EXPECT_FALSE(command_log_has_argument("gcc -c a.cc", "a.c"));
    EXPECT_FALSE(command_log_has_argument("gcc -c a.c", ""));
    EXPECT_EQ(tool_base_name("/usr/bin/x86_64-linux-gnu-gcc-12 -c a.c"), "gcc");
    EXPECT_EQ(tool_base_name("clang-15 -c a.c"), "clang");
    EXPECT_EQ(tool_base_name("/usr/lib/gcc/x86_64-linux-gnu/12/cc1 -quiet a.c"), "cc1");
    EXPECT_EQ(tool_base_name("as -o a.o"), "as");
    EXPECT_TRUE(is_compiler_driver("g++"));
    EXPECT_FALSE(is_compiler_driver("cc1"));
    EXPECT_FALSE(is_compiler_driver("as"));
}

TEST(CliPaths, NormalizeAndRelative)
{
    EXPECT_EQ(normalize_path("a/./b/../c", "/w"), "/w/a/c");
    EXPECT_EQ(normalize_path("/x//y/", "/w"), "/x/y");
    EXPECT_EQ(normalize_path("../../..", "/w"), "/");
    EXPECT_EQ(relative_to("/w/a/b", "/w"), "a/b");
    EXPECT_EQ(relative_to("/wx/a", "/w"), "/wx/a");
    EXPECT_EQ(relative_to("/w", "/w"), "/w");
}
