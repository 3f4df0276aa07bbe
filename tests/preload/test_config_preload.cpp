// The configuration a real process ends up with, from its name and its
// environment, as the probe reports it from inside.
#include "preload_env.h"

namespace ziv_test {
namespace {

std::map<std::string, std::string> probe_config(const std::string& name, std::vector<std::string> env)
{
    return probe_values(name, {"cfg"}, std::move(env));
}

TEST(ConfigPreload, TimeListsAndTheWhitelist)
{
    // No whitelist and no time list: nobody gets the fixed times.
    auto none = probe_config("gcc", {});
    EXPECT_EQ(none["q.0x2"], "0");
    EXPECT_EQ(none["q.0x8"], "0");
    EXPECT_EQ(none["defined_lists"], "0xe");

    // A whitelist alone: everybody but the whitelisted programs.
    std::vector<std::string> white = {"ZIV_WHITELIST=make zip"};
    auto gcc = probe_config("gcc", white);
    EXPECT_EQ(gcc["q.0x2"], "1");
    EXPECT_EQ(gcc["q.0x8"], "1");
    auto make = probe_config("make", white);
    EXPECT_EQ(make["q.0x2"], "0");
    EXPECT_EQ(make["q.0x8"], "0");
    EXPECT_EQ(make["mask"], "0x1");
    // zip keeps the fixed time() but not the fixed file times.
    auto zip = probe_config("zip", white);
    EXPECT_EQ(zip["q.0x2"], "1");
    EXPECT_EQ(zip["q.0x8"], "0");

    // A time list of its own overrides the whitelist fallback.
    auto listed = probe_config("gcc", {"ZIV_WHITELIST=make", "ZIV_TIMELIST=ld"});
    EXPECT_EQ(listed["q.0x2"], "0");
    EXPECT_EQ(listed["q.0x8"], "1");

    // With all three time lists defined the whitelist is not read at all.
    auto all = probe_config("make", {"ZIV_WHITELIST=make", "ZIV_TIMELIST=make", "ZIV_CGTLIST=x",
                                     "ZIV_FILE_TIME_LIST=y"});
    EXPECT_EQ(all["mask"], "0x2");
    EXPECT_EQ(all["defined_lists"], "0xe");
    EXPECT_EQ(all["q.0x1"], "0");
}

TEST(ConfigPreload, ListSyntaxAndNameNormalisation)
{
    std::vector<std::string> env = {"ZIV_DIRLIST=  gcc   ld  ", "ZIV_INOLIST=gcc\tld", "ZIV_UIDLIST=ld gcc-9"};
    auto gcc = probe_config("gcc", env);
    EXPECT_EQ(gcc["mask"], "0x40");  // a tab is part of a name
    auto ld = probe_config("ld", env);
    EXPECT_EQ(ld["mask"], "0x840");
    // The cross prefix is dropped, a version suffix is not.
    EXPECT_EQ(probe_config("arm-linux-gnueabi-gcc", env)["q.0x40"], "1");
    EXPECT_EQ(probe_config("x86_64-linux-gnu-ld", env)["q.0x40"], "1");
    auto versioned = probe_config("gcc-9", env);
    EXPECT_EQ(versioned["q.0x40"], "0");
    EXPECT_EQ(versioned["mask"], "0x800");
    EXPECT_EQ(versioned["env_read"], "1");
    EXPECT_EQ(versioned["prog_name"], "gcc-9");
    // Each list counts as defined even when nothing in it matches.
    EXPECT_EQ(probe_config("python", env)["defined_lists"], "0xc4e");
}

TEST(ConfigPreload, ValuesAreReadOnlyForListedPrograms)
{
    std::vector<std::string> env = {"ZIV_INOLIST=ar", "ZIV_INODE=70000", "ZIV_UIDLIST=ar", "ZIV_UID=1000",
                                    "ZIV_GID=50", "ZIV_DEVIDLIST=ar", "ZIV_DEV_ID=9", "ZIV_R_DEV_ID=10",
                                    "ZIV_PRO_TIMES_LIST=ar", "ZIV_TIMES=5,10", "ZIV_NAMELIST=ar",
                                    "ZIV_HOSTNAME=" + std::string(63, 'h')};
    auto ar = probe_config("ar", env);
    EXPECT_EQ(ar["next_inode"], "4464");
    EXPECT_EQ(ar["uid"], "1000");
    EXPECT_EQ(ar["gid"], "50");
    EXPECT_EQ(ar["dev_id"], "9");
    EXPECT_EQ(ar["rdev_id"], "10");
    EXPECT_EQ(ar["times"], "5,10,0,0,0,0");
    EXPECT_EQ(ar["hostname"], std::string(63, 'h'));

    auto other = probe_config("ranlib", env);
    EXPECT_EQ(other["next_inode"], "1");
    EXPECT_EQ(other["uid"], "0");
    EXPECT_EQ(other["dev_id"], "801");
    EXPECT_EQ(other["rdev_id"], "2049");
    EXPECT_EQ(other["times"], "0,0,0,0,0,0");
    EXPECT_EQ(other["hostname"], "ZIV_LINUX");
    EXPECT_EQ(other["build_time"], "1646016134");
}

TEST(ConfigPreload, BuildTimeIsLocalTime)
{
    // 2022-02-28 10:00:00 in UTC and nine hours east of it.
    EXPECT_EQ(probe_config("gcc", {"TZ=UTC0", "ZIV_TIME=2022-02-28 10:00:00"})["build_time"], "1646042400");
    EXPECT_EQ(probe_config("gcc", {"TZ=JST-9", "ZIV_TIME=2022-02-28,10:00:00"})["build_time"], "1646010000");
    // A matching prefix is enough.
    EXPECT_EQ(probe_config("gcc", {"TZ=UTC0", "ZIV_TIME=2022-02-28 10:00:00Z trailing"})["build_time"],
              "1646042400");
}

TEST(ConfigPreload, BadValuesFallBackWithTheirMessages)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    run_result r = run_probe({.name = "cpio",
                              .commands = {"cfg"},
                              .env = {"ZIV_LOG=yes", "ZIV_TIME=2022/02/28", "ZIV_NAMELIST=cpio",
                                      "ZIV_HOSTNAME=" + std::string(64, 'h'), "ZIV_INOLIST=cpio", "ZIV_INODE=-5",
                                      "ZIV_UIDLIST=cpio", "ZIV_UID=-1", "ZIV_GID=-2", "ZIV_DEVIDLIST=cpio",
                                      "ZIV_DEV_ID=-1", "ZIV_R_DEV_ID=-1", "ZIV_PRO_TIMES_LIST=cpio",
                                      "ZIV_TIMES= "},
                              .capture_log = true});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    auto v = report(r);
    EXPECT_EQ(v["build_time"], "1646016134");
    EXPECT_EQ(v["hostname"], "ZIV_LINUX");
    EXPECT_EQ(v["next_inode"], "1");
    EXPECT_EQ(v["uid"], "0");
    EXPECT_EQ(v["dev_id"], "801");
    EXPECT_EQ(v["rdev_id"], "2049");

    const log_record* warning = find_message(r, "It can not get building ENV var, use default ZIV_TIME value\n");
    ASSERT_NE(warning, nullptr) << describe(r);
    EXPECT_EQ(warning->priority, kWarning);
    const log_record* alert =
        find_message(r, "ZIV ALERT: the length of ZIV_HOSTNAME more than 64 char, use default hostname\n");
    ASSERT_NE(alert, nullptr) << describe(r);
    EXPECT_EQ(alert->priority, kAlert);
    for (const char* variable : {"ZIV_INODE", "ZIV_UID", "ZIV_GID", "ZIV_DEV_ID", "ZIV_R_DEV_ID"}) {
        const log_record* rec =
            find_message(r, std::string("getenv for ") + variable + " failed, use default value.\n");
        ASSERT_NE(rec, nullptr) << variable;
        EXPECT_EQ(rec->priority, kInfo);
    }
    bool scan_failed = false;
    for (const std::string& text : messages(r)) {
        scan_failed |= text.rfind("sscanf_s failed, iRet = -1, function init_ziv_times line ", 0) == 0;
    }
    EXPECT_TRUE(scan_failed) << describe(r);
}

TEST(ConfigPreload, TracingSwitchIsExactlyYes)
{
    EXPECT_EQ(probe_config("gcc", {"ZIV_TRACE_ENABLE=yes"})["trace_enable"], "1");
    EXPECT_EQ(probe_config("gcc", {"ZIV_TRACE_ENABLE=YES"})["trace_enable"], "0");
    EXPECT_EQ(probe_config("gcc", {})["trace_enable"], "0");
}

TEST(ConfigPreload, TraceMapStopsAtTheCurrentProgram)
{
    run_result r = run_probe({.name = "mycc", .commands = {"cfg", "tmap", "mycc", "tmap", "a", "tmap", "b"},
                              .env = {"ZIV_TRACE_MAP=a:x mycc:gcc b:y"}});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    auto v = report(r);
    EXPECT_EQ(v["mask"], "0x20000");
    EXPECT_EQ(v["tmap mycc"], "gcc");
    EXPECT_EQ(v["tmap a"], "x");
    EXPECT_EQ(v["tmap b"], "(null)");

    // A program without the map feature gets no mapping at all.
    run_result other = run_probe({.name = "cc", .commands = {"tmap", "a"}, .env = {"ZIV_TRACE_MAP=a:x"}});
    EXPECT_EQ(report(other)["tmap a"], "(null)");
}

TEST(ConfigPreload, RandomRecordPathOnlyForANamedProgram)
{
    std::string path = "ZIV_RANDOM_RECORD_OUTPUT=/tmp/rec";
    EXPECT_EQ(probe_config("gcc", {path})["random_record_output"], "/tmp/rec");
    EXPECT_EQ(probe_config("", {path})["random_record_output"], "");
    EXPECT_EQ(probe_config("gcc", {"ZIV_RANDOM_RECORD_OUTPUT=" + std::string(4095, 'r')})["random_record_output"],
              "");
}

TEST(ConfigPreload, NameTableModeWithoutAProgramName)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    std::string names;
    for (int i = 0; i < 256; ++i) {
        names += "p" + std::to_string(i) + " ";
    }
    run_result r = run_probe({.name = "",
                              .commands = {"cfg", "row", "p0", "row", "p254", "row", "p255"},
                              .env = {"ZIV_LOG=yes", "ZIV_UIDLIST=p0", "ZIV_DIRLIST=" + names,
                                      "ZIV_INOLIST=p0 p255"},
                              .capture_log = true});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    auto v = report(r);
    EXPECT_EQ(v["env_read"], "0");
    EXPECT_EQ(v["rows"], "255");
    // p0 was listed first by UIDLIST and gains the later lists' bits.
    EXPECT_EQ(v["row p0"], "1 mask=0xc40");
    EXPECT_EQ(v["row p254"], "255 mask=0x40");
    EXPECT_EQ(v["row p255"], "none");
    EXPECT_GE(count_message(r, "ZIV: blacklist config has reach the max entry 255 !!!\n"), 1) << describe(r);
    // The table is filled before the start message names no program.
    EXPECT_EQ(r.log.front().message, "ZIV: blacklist config has reach the max entry 255 !!!\n");
    EXPECT_EQ(count_message(r, start_message("NULL")), 1) << describe(r);
}

TEST(ConfigPreload, OverlongProgramNameSelectsNameTableMode)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    std::string name(300, 'n');
    run_result r = run_probe({.name = name, .commands = {"cfg"}, .env = {"ZIV_LOG=yes", "ZIV_DIRLIST=gcc"},
                              .capture_log = true});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    auto v = report(r);
    EXPECT_EQ(v["env_read"], "0");
    EXPECT_EQ(v["rows"], "1");
    ASSERT_FALSE(r.log.empty());
    EXPECT_EQ(r.log.front().message.rfind("strcpy_s failed, err = 162, function ziv_get_prog_name line ", 0), 0u)
        << describe(r);
}

}  // namespace
}  // namespace ziv_test
