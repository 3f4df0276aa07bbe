// The configuration a real process ends up with, from its name and its
// environment, and what it then does to the clock and to file times.
#include <sys/stat.h>

#include "preload_env.h"

namespace ziv_test {
namespace {

TEST(ConfigPreload, TimeListsAndTheWhitelist)
{
    struct stat s {};
    ASSERT_EQ(stat(kProbe.c_str(), &s), 0);
    const std::string real =
        "statx.mtime=" + std::to_string(s.st_mtim.tv_sec) + "." + std::to_string(s.st_mtim.tv_nsec);
    const std::string fixed = kBuildTime + ".000000000", file_fixed = "statx.mtime=" + kBuildTime + ".0";
    const std::vector<std::string> when = {"cfg", "time", "clock", "0", "clock", "1", "stat", "statx", kProbe};
    const std::vector<std::string> white = {"ZIV_WHITELIST=make zip"};
    check_all({
        // Nothing listed: nobody gets fixed times.
        {"python", when, {}, {"defined_lists=0xe", "q.0x2=0", "q.0x8=0", "time.real=1", "clock.0.real=1",
                              "clock.1.real=1", real, "trace_enable=0", "build_time=" + kBuildTime}},
        // A whitelist alone: everybody but the whitelisted programs; elapsed
        // time stays real except for exactly "python".
        {"gcc", when, white, {"q.0x2=1", "q.0x8=1", "time=" + kBuildTime, "clock.0=" + fixed, "clock.0.rc=0",
                              "clock.1.real=1", "clock.1.rc=0", file_fixed}},
        {"python", when, white, {"clock.1=" + fixed}},
        // (A time that only begins with a valid one is taken.)
        {"python3", when, {"ZIV_WHITELIST=make", "TZ=UTC0", "ZIV_TIME=2022-02-28 10:00:00Z trailing"},
         {"clock.1.real=1", "build_time=1646042400"}},
        {"make", when, white, {"q.0x2=0", "q.0x8=0", "mask=0x1", "time.real=1", "clock.0.real=1", real}},
        // zip keeps the fixed time() but not the fixed file times.
        {"zip", when, white, {"q.0x2=1", "q.0x8=0", "time=" + kBuildTime, real}},
        // A time list of its own overrides the whitelist for its own bit only.
        {"gcc", when, {"ZIV_WHITELIST=make", "ZIV_TIMELIST=ld"},
         {"q.0x2=0", "q.0x8=1", "time.real=1", "clock.0=" + fixed, file_fixed}},
        {"gcc", when, {"ZIV_WHITELIST=make", "ZIV_FILE_TIME_LIST=ld"}, {"q.0x8=0", real}},
        // With all three time lists defined the whitelist is not read at all.
        {"make", {"cfg"}, {"ZIV_WHITELIST=make", "ZIV_TIMELIST=make", "ZIV_CGTLIST=x", "ZIV_FILE_TIME_LIST=y"},
         {"mask=0x2", "defined_lists=0xe", "q.0x1=0"}},
        // A clock list replaces every clock of the listed programs only; a bad
        // clock id stays a failure.
        {"gcc", {"clock", "0", "clock", "1", "clock", "7"}, {"ZIV_WHITELIST=make", "ZIV_CGTLIST=gcc"},
         {"clock.0=" + fixed, "clock.1=" + fixed, "clock.7=" + fixed}},
        {"ld", {"clock", "0", "clock", "12345"}, {"ZIV_WHITELIST=make", "ZIV_CGTLIST=gcc"},
         {"clock.0.real=1", "clock.12345.rc=-1"}},
        // The configured build time, in both formats, read as local time.
        {"tar", {"cfg", "time"}, {"ZIV_TIMELIST=tar", "TZ=UTC0", "ZIV_TIME=2022-02-28 10:00:00"},
         {"build_time=1646042400", "time=1646042400", "time.tloc=1646042400", "time.null=1646042400"}},
        {"gzip", {"cfg", "time"}, {"ZIV_TIMELIST=tar", "TZ=JST-9", "ZIV_TIME=2022-02-28,10:00:00"},
         {"build_time=1646010000", "time.real=1"}},
        // "@SECONDS" means the same instant in every zone; only whole numbers.
        {"tar", {"cfg", "time"}, {"ZIV_TIMELIST=tar", "TZ=JST-9", "ZIV_TIME=@1646042400"},
         {"build_time=1646042400", "time=1646042400"}},
        {"tar", {"cfg"}, {"ZIV_TIME=@-86400"}, {"build_time=-86400"}},
        {"tar", {"cfg"}, {"ZIV_TIME=@1646042400x"}, {"build_time=" + kBuildTime}},
    });
}

TEST(ConfigPreload, ListSyntaxNamesAndValues)
{
    const std::vector<std::string> lists = {"ZIV_DIRLIST=  gcc   ld  ", "ZIV_INOLIST=gcc\tld", "ZIV_UIDLIST=ld gcc-9",
                                            "ZIV_RANDOM_RECORD_OUTPUT=/tmp/rec", "ZIV_TRACE_ENABLE=yes"};
    const std::vector<std::string> values = {
        "ZIV_INOLIST=ar", "ZIV_INODE=70000", "ZIV_UIDLIST=ar", "ZIV_UID=1000", "ZIV_GID=50", "ZIV_DEVIDLIST=ar",
        "ZIV_DEV_ID=9", "ZIV_R_DEV_ID=10", "ZIV_PRO_TIMES_LIST=ar", "ZIV_TIMES=5,10", "ZIV_NAMELIST=ar",
        "ZIV_HOSTNAME=" + std::string(63, 'h'), "ZIV_TRACE_ENABLE=YES",
        "ZIV_RANDOM_RECORD_OUTPUT=" + std::string(4095, 'r')};
    check_all({
        // Blanks separate names, a tab is part of one; a list counts as
        // defined even when nothing in it matches.
        {"gcc", {"cfg"}, lists, {"mask=0x40", "defined_lists=0xc4e", "random_record_output=/tmp/rec",
                                 "trace_enable=1"}},
        {"ld", {"cfg"}, lists, {"mask=0x840"}},
        // The cross prefix is dropped, a version suffix is not.
        {"arm-linux-gnueabi-gcc", {"cfg"}, lists, {"q.0x40=1"}},
        {"gcc-9", {"cfg"}, lists, {"q.0x40=0", "mask=0x800", "env_read=1", "prog_name=gcc-9"}},
        // Values are read for listed programs only; tracing is on for exactly "yes".
        {"ar", {"cfg"}, values, {"next_inode=4464", "uid=1000", "gid=50", "dev_id=9", "rdev_id=10",
                                 "times=5,10,0,0,0,0", "hostname=" + std::string(63, 'h'), "trace_enable=0",
                                 "random_record_output="}},
        {"ranlib", {"cfg"}, values, {"next_inode=1", "uid=0", "dev_id=801", "rdev_id=2049", "times=0,0,0,0,0,0",
                                     "hostname=ZIV_LINUX"}},
        // The trace map is read up to the current program's pair.
        {"mycc", {"cfg", "tmap", "mycc", "tmap", "a", "tmap", "b"}, {"ZIV_TRACE_MAP=a:x mycc:gcc b:y"},
         {"mask=0x20000", "tmap mycc=gcc", "tmap a=x", "tmap b=(null)"}},
        {"cc", {"tmap", "a"}, {"ZIV_TRACE_MAP=a:x"}, {"tmap a=(null)"}},
    });
}

TEST(ConfigPreload, BadValuesFallBackWithTheirMessages)
{
    std::vector<std::string> bad = {
        "ZIV_TIME=2022/02/28", "ZIV_NAMELIST=cpio", "ZIV_HOSTNAME=" + std::string(64, 'h'), "ZIV_INOLIST=cpio",
        "ZIV_INODE=-5", "ZIV_UIDLIST=cpio", "ZIV_UID=-1", "ZIV_GID=-2", "ZIV_DEVIDLIST=cpio", "ZIV_DEV_ID=-1",
        "ZIV_R_DEV_ID=-1", "ZIV_PRO_TIMES_LIST=cpio", "ZIV_TIMES= "};
    probe_case logged{"cpio", {"cfg"}, bad,
                      {"build_time=" + kBuildTime, "hostname=ZIV_LINUX", "next_inode=1", "uid=0", "dev_id=801",
                       "rdev_id=2049", "@180:It can not get building ENV var, use default ZIV_TIME value\n",
                       "@177:ZIV ALERT: the length of ZIV_HOSTNAME more than 64 char, use default hostname\n",
                       "^1:sscanf_s failed, iRet = -1, function init_ziv_times line "}};
    logged.env.push_back("ZIV_LOG=yes");
    for (const char* variable : {"ZIV_INODE", "ZIV_UID", "ZIV_GID", "ZIV_DEV_ID", "ZIV_R_DEV_ID"}) {
        logged.expect.push_back(std::string("@182:getenv for ") + variable + " failed, use default value.\n");
    }
    check(logged);
    // ZIV_TIME is converted at start-up, before any handler could need it,
    // in exactly the programs that may be handed the build time.
    const std::string warning = "It can not get building ENV var, use default ZIV_TIME value\n";
    check_all({{"python", {}, {"ZIV_LOG=yes", "ZIV_TIME=bad", "ZIV_WHITELIST=make"}, {"#1:" + warning}},
               {"make", {}, {"ZIV_LOG=yes", "ZIV_TIME=bad", "ZIV_WHITELIST=make"}, {"#0:" + warning}}});
    // Without a log level nothing at all is logged.
    bad.push_back("ZIV_LOG=no");
    check({"cpio", {"cfg", "stack"}, bad, {"log.size=0", "hostname=ZIV_LINUX", "next_inode=1"}});
}

TEST(ConfigPreload, NameTableModeWithoutAUsableProgramName)
{
    std::string names;
    for (int i = 0; i < 256; ++i) {
        names += "p" + std::to_string(i) + " ";
    }
    // p0 was listed first by UIDLIST and gains the later lists' bits; the
    // 256th name finds no row. The table is filled before the start message,
    // which names no program.
    check({"", {"cfg", "row", "p0", "row", "p254", "row", "p255"},
           {"ZIV_LOG=yes", "ZIV_UIDLIST=p0", "ZIV_DIRLIST=" + names, "ZIV_INOLIST=p0 p255",
            "ZIV_RANDOM_RECORD_OUTPUT=/tmp/rec"},
           {"env_read=0", "rows=255", "row p0=1 mask=0xc40", "row p254=255 mask=0x40", "row p255=none",
            "random_record_output=", "log.first=ZIV: blacklist config has reach the max entry 255 !!!\n",
            "#1:" + start_message("NULL")}});
    // A name too long to keep selects the same mode.
    check({std::string(300, 'n'), {"cfg"}, {"ZIV_LOG=yes", "ZIV_DIRLIST=gcc"},
           {"env_read=0", "rows=1", "^1:strcpy_s failed, err = 162, function ziv_get_prog_name line "}});
}

}  // namespace
}  // namespace ziv_test
