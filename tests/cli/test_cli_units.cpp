// Pure logic of the front end: build-time text, profiles, the build's
// environment, escaping, command logs, paths.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "kalvitrex_common.h"
#include "kalvitrex_db.h"
#include "kalvitrex_env.h"

using namespace kvx;

namespace {

void set_zone(const char* tz)
{
    setenv("TZ", tz, 1);
    tzset();
}

std::string error_of(const std::string& profile)
{
    try {
        parse_profile(profile, "my.profile");
    } catch (const user_error& e) {
        return e.what();
    }
    return "no error";
}

}  // namespace

TEST(CliUnits, BuildTimeTextReadsBackExactlyInEveryZoneAndSeason)
{
    // Winter, summer, the hour after a spring change and the repeated autumn
    // hour, in zones with and without daylight saving; read back as the
    // library reads ZIV_TIME: strptime into a zeroed tm, then mktime.
    for (const char* zone : {"UTC0", "Europe/Berlin", "America/New_York", "Australia/Lord_Howe", "Asia/Kolkata"}) {
        set_zone(zone);
        for (time_t t : {1646016134, 1656000000, 1679792400 + 1800, 1698541200 + 600, 0, 1700000000}) {
            std::string text = ziv_time_text(t);
            struct tm tm {};
            ASSERT_NE(strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &tm), nullptr) << text;
            EXPECT_EQ(mktime(&tm), t) << zone << " " << t << " -> " << text;
            EXPECT_EQ(text.size(), 19u) << text;
        }
    }
    set_zone("UTC0");
    EXPECT_EQ(ziv_time_text(1646016134), "2022-02-28 02:42:14");
    EXPECT_EQ(parse_source_date_epoch("1646016134"), 1646016134);
    for (const char* bad : {"", "12a", " 12", "-5", "1.5", "99999999999999999999"}) {
        EXPECT_THROW(parse_source_date_epoch(bad), user_error) << bad;
    }
}

TEST(CliUnits, ProfilesSetAppendContinueAndNameTheLineOfAnError)
{
    auto s = parse_profile("# comment\nZIV_TIMELIST = gcc\tcc1   as\n  ZIV_TIMELIST += ld \\\n     ar\n\n"
                           "ZIV_TIME = 2022-02-28  10:00:00\nZIV_DIRLIST = ls\nZIV_DIRLIST = find\nZIV_NAMELIST =\n",
                           "p");
    std::vector<std::string> got;
    for (const setting& x : s) {
        got.push_back(x.name + "=" + x.value);
    }
    // Lists have their blanks collapsed, values are taken as written, a
    // later line replaces.
    EXPECT_EQ(got, (std::vector<std::string>{"ZIV_TIMELIST=gcc cc1 as ld ar", "ZIV_TIME=2022-02-28  10:00:00",
                                             "ZIV_DIRLIST=find", "ZIV_NAMELIST="}));
    EXPECT_EQ(error_of("\n\nZIV_TIMELIST gcc\n"), "my.profile:3: expected NAME = VALUE");
    EXPECT_EQ(error_of("ZIV_TIMLIST = gcc\n"), "my.profile:1: unknown setting ZIV_TIMLIST");
    EXPECT_EQ(error_of("ZIV_TRACE_OUTPUT = /x.db\n"), "my.profile:1: ZIV_TRACE_OUTPUT is set by kalvitrex run itself");
    EXPECT_EQ(error_of("ZIV_TIME += 1\n"), "my.profile:1: += only adds to program lists, ZIV_TIME is a value");
    EXPECT_THROW(parse_set_option("=x"), user_error);
    setting ok = parse_set_option("ZIV_HOSTNAME=a=b c");
    EXPECT_EQ(ok.name + "|" + ok.value, "ZIV_HOSTNAME|a=b c");
}

TEST(CliUnits, EnvironmentPrecedencePreloadAndTracingSwitches)
{
    const std::string lib = "/l/libziv_env.so";
    EXPECT_EQ(preload_with(std::nullopt, lib), lib);
    EXPECT_EQ(preload_with(std::string(""), lib), lib);
    // Appended, without a second copy of the library.
    EXPECT_EQ(preload_with(std::string("/a/x.so /old/libziv_env.so:/b/y.so"), lib), "/a/x.so:/b/y.so:" + lib);

    set_zone("UTC0");
    run_settings s{true, "/w/k.db", lib, "mm",
                   {{"ZIV_TIMELIST", "gcc"}, {"ZIV_TIME", "2020-01-01 00:00:00"}, {"ZIV_DIRLIST", "ls"}},
                   {{"ZIV_DIRLIST", "find"}}};
    std::vector<std::string> inherited = {"ZIV_TIMELIST=make", "SOURCE_DATE_EPOCH=1646016134", "ZIV_PCOMMAND_ID=17",
                                          "ZIV_TRACE_ENABLE=no", "ZIV_TRACE_OUTPUT=/else.db"};
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
    const std::vector<std::string> names = {"ZIV_TIMELIST", "ZIV_DIRLIST", "ZIV_TIME", "ZIV_TRACE_ENABLE", "ZIV_TRACE_OUTPUT",
                                            "ZIV_TRACE_HDEPS", "ZIV_PCOMMAND_ID"};
    // The profile over the environment, SOURCE_DATE_EPOCH over the profile,
    // --set over both.
    EXPECT_EQ(with(names), (std::vector<std::string>{"gcc", "find", "2022-02-28 02:42:14", "yes", "/w/k.db", "mm", "<unset>"}));
    // --set over SOURCE_DATE_EPOCH; no tracing: no database, no headers.
    s.sets.push_back({"ZIV_TIME", "2001-02-03 04:05:06"});
    s.trace = false;
    s.hdeps.reset();
    EXPECT_EQ(with(names), (std::vector<std::string>{"gcc", "find", "2001-02-03 04:05:06", "no", "<unset>", "<unset>", "<unset>"}));
}

TEST(CliUnits, EscapingArgumentVectorsToolNamesAndPaths)
{
    bool not_utf8 = false;
    EXPECT_EQ(json_quote("a\"b\\c\nd\te\x01 f/\xc3\xa9", &not_utf8), "\"a\\\"b\\\\c\\nd\\te\\u0001 f/\xc3\xa9\"");
    EXPECT_FALSE(not_utf8);
    // Bytes outside UTF-8 as lone surrogates: distinct from the characters
    // U+00FF and U+00C3, so the bytes can be had back.
    EXPECT_EQ(json_quote("x\xffy\xc3\xc3\xbf", &not_utf8), "\"x\\udcffy\\udcc3\xc3\xbf\"");
    EXPECT_TRUE(not_utf8);
    EXPECT_EQ(dot_quote("a\"b\\c&d\ne\x02\xc3\xa9\xfe"), "\"a\\\"b\\\\c&amp;d\\ne&#2;\xc3\xa9&#254;\"");

    EXPECT_EQ(split_command_log("x  y"), (std::vector<std::string>{"x", "", "y"}));
    EXPECT_TRUE(split_command_log("").empty());
    EXPECT_EQ(decode_argv(std::string("a b\0\0c\0", 7)), (std::vector<std::string>{"a b", "", "c"}));
    EXPECT_EQ(decode_argv(std::string("a\0b", 3)), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(decode_argv("").empty());

    // What a shell reads back as the same argument.
    const std::pair<std::string, std::string> words[] = {
        {"-DX=1,a/b.c:@%+_", "-DX=1,a/b.c:@%+_"},
        {"", "''"},
        {"a b", "'a b'"},
        {"it's", "'it'\\''s'"},
        {"$(touch x);|&*?~#!`\"\\", "'$(touch x);|&*?~#!`\"\\'"},
        {"caf\xc3\xa9", "'caf\xc3\xa9'"},
        {"a\nb'\\\t\x01", "$'a\\nb\\'\\\\\\t\\x01'"},
        {"caf\xe9 \xc3\xa9", "$'caf\\xe9 \xc3\xa9'"},
    };
    for (const auto& [arg, quoted] : words) {
        EXPECT_EQ(shell_quote(arg), quoted);
    }
    EXPECT_EQ(shell_command({"A=b", "-DA=b", ""}), "'A=b' -DA=b ''");

    EXPECT_EQ(tool_base_name("/usr/bin/x86_64-linux-gnu-gcc-12"), "gcc");
    EXPECT_EQ(tool_base_name("clang-15"), "clang");
    EXPECT_EQ(tool_base_name("/usr/lib/gcc/x86_64-linux-gnu/12/cc1"), "cc1");
    EXPECT_TRUE(is_compiler_driver("g++"));
    EXPECT_FALSE(is_compiler_driver("cc1") || is_compiler_driver("as"));

    EXPECT_EQ(normalize_path("a/./b/../c", "/w"), "/w/a/c");
    EXPECT_EQ(normalize_path("/x//y/", "/w"), "/x/y");
    EXPECT_EQ(normalize_path("../../..", "/w"), "/");
    EXPECT_EQ(relative_to("/w/a/b", "/w"), "a/b");
    EXPECT_EQ(relative_to("/wx/a", "/w"), "/wx/a");
    EXPECT_EQ(relative_to("/w", "/w"), "/w");
}
