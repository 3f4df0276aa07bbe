// The clock of listed and unlisted programs beyond time lists and the
// whitelist: ftime, gettimeofday, times, null pointers and the messages.
#include "preload_env.h"

namespace ziv_test {
namespace {

TEST(Time, FtimeGettimeofdayAndTimes)
{
    const std::string failing = kLib + " " + ZIV_FAIL_NEXT_PATH;  // its gettimeofday fails
    const std::vector<std::string> steps = {"ZIV_PRO_TIMES_LIST=ar", "ZIV_TIMES=100,5,1,2,3,4"};
    check_all({
        // ftime is fixed for exactly "label_bin", whatever the lists say.
        {"label_bin", {"ftime", "gtod"}, {"ZIV_GTDLIST=label_bin"},
         {"ftime=" + kBuildTime + ".0", "ftime.zone=0,0", "ftime.rc=0", "gtod=" + kBuildTime + ".000000",
          "gtod.zone=0,0", "gtod.rc=0"}},
        {"label_bin2", {"ftime", "gtod"}, {"ZIV_TIMELIST=label_bin2", "ZIV_GTDLIST=label_bin2"},
         {"ftime.real=1", "ftime.rc=0"}},
        {"as", {"gtod"}, {"ZIV_GTDLIST=cc"}, {"gtod.real=1", "gtod.rc=0"}},
        // The next definition fails: a listed program still gets the build
        // time; an unlisted one gets the failure, not a success with an
        // unfilled structure.
        {"cc", {"gtod"}, {"ZIV_GTDLIST=cc"}, {"gtod.rc=0", "gtod=" + kBuildTime + ".000000"}, failing},
        {"as", {"gtod"}, {"ZIV_GTDLIST=cc"}, {"gtod.rc=-1", "gtod.errno=22", "gtod=-1.-00001"}, failing},
        {"ar", {"times", "3"}, steps, {"times=100:1,2,3,4 105:1,2,3,4 110:1,2,3,4"}},
        {"ranlib", {"times", "1"}, steps, {"times.real=1"}},
        // The counter stops at the largest value, and at 0 going down: it
        // never wraps into the error value or below.
        {"ar", {"times", "3"}, {"ZIV_PRO_TIMES_LIST=ar", "ZIV_TIMES=9223372036854775800,5,0,0,0,0"},
         {"times=9223372036854775800:0,0,0,0 9223372036854775805:0,0,0,0 9223372036854775807:0,0,0,0"}},
        {"ar", {"times", "3"}, {"ZIV_PRO_TIMES_LIST=ar", "ZIV_TIMES=7,-6,0,0,0,0"},
         {"times=7:0,0,0,0 1:0,0,0,0 0:0,0,0,0"}},
    });
}

TEST(Time, NullResultPointersAreNeverWritten)
{
    check({"ar", {"nulls", kProbe},
           {"ZIV_GTDLIST=ar", "ZIV_PRO_TIMES_LIST=ar", "ZIV_TIMES=100,5,1,2,3,4", "ZIV_FILE_TIME_LIST=ar",
            "ZIV_INOLIST=ar", "ZIV_UIDLIST=ar"},
           {"nulls.gtod.rc=0", "nulls.gtod.zone=0,0", "nulls.times=100", "nulls.stat.rc=-1", "nulls.stat.errno=14",
            "nulls.statx.rc=-1", "nulls.statx.errno=14"}});
}

TEST(Time, MessagesNameProgramFunctionAndAnswer)
{
    probe_case c{"gcc", {"time", "clock", "1", "clock", "0", "gtod", "times", "1", "ftime"},
                 {"ZIV_LOG=yes", "ZIV_WHITELIST=make", "ZIV_PRO_TIMES_LIST=gcc"},
                 {"#2:gcc time get ziv_timestamp\n", "#1:gcc clock_gettime get ziv_timestamp\n",
                  "#1:gcc gettimeofday get real timestamp\n", "#1:gcc times get ziv_times\n", "^2:gcc times get ",
                  "#1:gcc ftime get real timestamp\n", "log.priorities=182"}};
    // The sanitizer's allocator reads the monotonic clock itself, now and then.
    if (!sanitized_build()) {
        c.expect.insert(c.expect.end(),
                        {"^1:gcc clock_gettime get real timestamp line ", "^7:process gcc enter function "});
    }
    check(c);
}

}  // namespace
}  // namespace ziv_test
