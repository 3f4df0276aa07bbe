// Pure logic of the front end: build-time text, profiles, the build's
// environment, culprits, escaping, command logs, paths.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "kalvitrex_common.h"
#include "kalvitrex_culprits.h"
#include "kalvitrex_db.h"
#include "kalvitrex_env.h"
#include "kalvitrex_tree.h"
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
    auto s = parse_profile("# comment\ninclude base.profile\nZIV_TIMELIST += cc1\tas\n  ZIV_TIMELIST += ld \\\n     ar\n\n"
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
    EXPECT_EQ(profile_file("./strict", "/s"), "./strict");
    const std::pair<std::string, std::string> errors[] = {
        {"\n\nZIV_TIMELIST gcc\n", "my.profile:3: expected NAME = VALUE or include PROFILE"},
        {"ZIV_TIME += 1\n", "my.profile:1: += only adds to program lists, ZIV_TIME is a value"},
        {"TZ += UTC\n", "my.profile:1: += only adds to program lists, TZ is a value"},
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
    EXPECT_EQ(parse_set_option("ZIV_HOSTNAME=a=b c").value, "a=b c");
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
                   {{"ZIV_DIRLIST", "find"}, {"umask", "002"}}, std::nullopt};
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
    // (An existing SOURCE_DATE_EPOCH, --set ZIV_TIME over it and runs
    // without tracing: the run tests.) Nothing sets a time: the library's
    // default, for both; in a Debian source tree the changelog's, as
    // dpkg-buildpackage would export it.
    s = run_settings{false, "", lib, std::nullopt, {}, {}, std::nullopt};
    inherited = {};
    EXPECT_EQ(with({"ZIV_TIME", "SOURCE_DATE_EPOCH", "ASAN_OPTIONS"}),
              (std::vector<std::string>{"@1646016134", "1646016134", "verify_asan_link_order=0"}));
    EXPECT_EQ(build_umask(s), std::nullopt);
    s.package_time = 1672068600;
    EXPECT_EQ(with({"ZIV_TIME", "SOURCE_DATE_EPOCH"}), (std::vector<std::string>{"@1672068600", "1672068600"}));
    inherited = {"SOURCE_DATE_EPOCH=5"};
    EXPECT_EQ(with({"ZIV_TIME", "SOURCE_DATE_EPOCH"}), (std::vector<std::string>{"@5", "5"}));

    // The newest entry's trailer, with its offset; a bad first trailer is
    // no time (an older entry's date would be a wrong one).
    temp_dir t;
    const std::pair<std::string, std::optional<time_t>> changelogs[] = {
        {"hello (2.10-3) unstable; urgency=medium\n\n  * x\n\n -- A B <a@b.org>  Mon, 26 Dec 2022 15:30:00 +0000\n\n"
         "hello (2.10-2) unstable; urgency=low\n\n -- A B <a@b.org>  Sun, 01 Jan 2017 00:00:00 +0000\n",
         1672068600},
        {"p (1) u; urgency=low\n\n -- A <a@b>  Tue, 27 Dec 2022 00:30:00 +0900\r\n", 1672068600},
        {"p (1) u; urgency=low\n\n -- A <a@b>  someday\n -- A <a@b>  Mon, 26 Dec 2022 15:30:00 +0000\n", std::nullopt},
        {"p (1) u; urgency=low\n\n -- A <a@b>  Mon, 26 Dec 2022 15:30:00 +0000 junk\n", std::nullopt},
        {"no trailer at all\n", std::nullopt},
    };
    for (const auto& [text, want] : changelogs) {
        ziv_test::write_file(t.sub("changelog"), text);
        EXPECT_EQ(changelog_time(t.sub("changelog")), want) << text;
    }
    EXPECT_EQ(changelog_time(t.sub("missing")), std::nullopt);

    // check's second copy moves the times after the build time (1000), and
    // not to it or before: access and modification times alike.
    auto at = [](time_t mtime, time_t atime) {
        tree_entry e{};
        e.st.st_mtim.tv_sec = mtime;
        e.st.st_atim.tv_sec = atime;
        return e;
    };
    const std::pair<std::vector<tree_entry>, int64_t> shifts[] = {
        {{at(900, 900), at(1000, 1000)}, 0}, {{at(900, 900), at(200000, 300000)}, -90017},
        {{at(200000, 1100), at(900, 900)}, -99}, {{}, 0}};
    for (const auto& [entries, want] : shifts) {
        EXPECT_EQ(file_time_shift(entries, 1000), want) << entries.size();
    }
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
    // A vector cut short (no final NUL) loses nothing.
    EXPECT_EQ(decode_argv(std::string("a\0b", 3)), (std::vector<std::string>{"a", "b"}));

    // What a shell reads back as the same argument (blanks, quotes and
    // shell characters: the compile-entries build reads them back with bash).
    const std::pair<std::string, std::string> words[] = {
        {"-DX=1,a/b.c:@%+_", "-DX=1,a/b.c:@%+_"},
        {"caf\xc3\xa9", "'caf\xc3\xa9'"},
        {"a\nb'\\\t\x01", "$'a\\nb\\'\\\\\\t\\x01'"},
        {"caf\xe9 \xc3\xa9", "$'caf\\xe9 \xc3\xa9'"},
    };
    for (const auto& [arg, quoted] : words) {
        EXPECT_EQ(shell_quote(arg), quoted);
    }
    EXPECT_EQ(shell_command({"A=b", "-DA=b", ""}), "'A=b' -DA=b ''");

    EXPECT_EQ(tool_base_name("/usr/bin/x86_64-linux-gnu-gcc-12"), "gcc");
    EXPECT_EQ(normalize_path("/x//y/", "/w") + " " + normalize_path("../../..", "/w"), "/x/y /");
    EXPECT_EQ(relative_to("/wx/a", "/w") + " " + relative_to("/w", "/w"), "/wx/a /w");
}

namespace {

// One build by hand: a generator writes gen.h (from nothing), x.c includes
// it, x.o goes into lib.a; `tool` makes y.out from y.in. `v` is what the
// build's generator, tool and untraced step wrote.
build_data small_build(char v)
{
    build_data b;
    for (const auto& [id, log] : std::vector<std::pair<int64_t, std::string>>{
             {1, "gen"}, {2, "gcc -c x.c"}, {3, "ar rc lib.a x.o"}, {4, "tool y.in"}}) {
        b.commands[id] = {id, "", log, "", "/w", 0, 0, {}, false};
    }
    auto row = [&](std::map<int64_t, file_row>& m, file_table t, int64_t id, const std::string& name,
                   std::string sum, int64_t cmd) { m[id] = {t, id, name, "/w", "/w/" + name, sum, cmd, cmd}; };
    const std::string out(1, v);
    row(b.targets, file_table::target, 1, "gen.h", "g" + out, 1);
    row(b.headers, file_table::header, 1, "gen.h", "g" + out, 0);
    row(b.sources, file_table::source, 1, "x.c", "x", 0);
    row(b.targets, file_table::target, 2, "x.o", "o" + out, 2);
    row(b.targets, file_table::target, 3, "lib.a", "a" + out, 3);
    row(b.sources, file_table::source, 2, "y.in", "y", 0);
    row(b.targets, file_table::target, 4, "y.out", "t" + out, 4);
    row(b.sources, file_table::source, 3, "z.txt", "z" + out, 0);
    b.relations = {{file_table::source, 1, file_table::header, 1},
                   {file_table::target, 2, file_table::source, 1},
                   {file_table::target, 3, file_table::target, 2},
                   {file_table::target, 4, file_table::source, 2}};
    return b;
}

// Culprits as "file PATH<READERS" or "command TEXT>OUTPUTS", then each
// consequence as "PATH<-CULPRIT INDICES".
std::string summary(const analysis& a)
{
    std::string out;
    for (const culprit& c : a.culprits) {
        out += c.kind == culprit::command ? "command " + c.cmd.text + ">" : "file " + c.path + "<";
        for (const std::string& o : c.outputs) {
            out += " " + o;
        }
        for (const shown_command& r : c.read_by) {
            out += " " + r.text;
        }
        out += "; ";
    }
    for (const consequence& c : a.consequences) {
        out += c.path + " (" + c.made_by.text + ")<-";
        for (size_t i : c.culprits) {
            out += std::to_string(i);
        }
        out += "; ";
    }
    return out;
}

}  // namespace

TEST(CliUnits, CulpritsAreWhereDifferencesStartConsequencesFollowThem)
{
    build_data one = small_build('1'), two = small_build('2');
    // A file no command made comes first, then by the order of the makers.
    EXPECT_EQ(summary(find_culprits(one, two, {"/w/gen.h", "/w/x.o", "/w/lib.a", "/w/y.out", "/w/z.txt"})),
              "file /w/z.txt<; command gen> /w/gen.h; command tool y.in> /w/y.out; "
              "/w/x.o (gcc -c x.c)<-1; /w/lib.a (ar rc lib.a x.o)<-1; ");
    // The generator untraced: gen.h is a file culprit, named with its reader;
    // files no command made keep the caller's order (the order the build
    // wrote them); made in one build only by a traced command: that command.
    one.targets.erase(1);
    two.targets.erase(1);
    EXPECT_EQ(summary(find_culprits(one, two, {"/w/z.txt", "/w/x.o", "/w/gen.h"})),
              "file /w/z.txt<; file /w/gen.h< gcc -c x.c; /w/x.o (gcc -c x.c)<-1; ");
    one.targets.erase(4);
    EXPECT_EQ(summary(find_culprits(one, two, {"/w/y.out"})), "command tool y.in> /w/y.out; ");
}
