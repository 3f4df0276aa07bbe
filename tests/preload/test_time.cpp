// The clock as listed and unlisted programs see it.
#include <cstdlib>
#include <ctime>

#include "preload_env.h"

namespace ziv_test {
namespace {

// Seconds of a "sec.fraction" value.
long long seconds(const std::string& value) { return std::atoll(value.substr(0, value.find('.')).c_str()); }

// A real clock reading: close to now and not the build time.
bool is_now(const std::string& value)
{
    long long now = static_cast<long long>(std::time(nullptr));
    return std::llabs(seconds(value) - now) < 300;
}

TEST(Time, TimeListAndItsWhitelistFallback)
{
    auto listed = probe_values("tar", {"time"}, {"ZIV_TIMELIST=tar"});
    EXPECT_EQ(listed["time"], kBuildTime);
    EXPECT_EQ(listed["time.tloc"], kBuildTime);
    EXPECT_EQ(listed["time.null"], kBuildTime);
    EXPECT_TRUE(is_now(probe_values("gzip", {"time"}, {"ZIV_TIMELIST=tar"})["time"]));
    // Nothing listed anywhere: the real clock for everybody.
    EXPECT_TRUE(is_now(probe_values("tar", {"time"})["time"]));

    // A whitelist alone: everybody but the whitelisted, and zip even then.
    std::vector<std::string> white = {"ZIV_WHITELIST=make zip"};
    EXPECT_EQ(probe_values("gcc", {"time"}, white)["time"], kBuildTime);
    EXPECT_TRUE(is_now(probe_values("make", {"time"}, white)["time"]));
    EXPECT_EQ(probe_values("zip", {"time"}, white)["time"], kBuildTime);
    // The configured build time, read as local time.
    EXPECT_EQ(probe_values("gcc", {"time"}, {"ZIV_TIMELIST=gcc", "TZ=UTC0", "ZIV_TIME=2022-02-28 10:00:00"})["time"],
              "1646042400");
}

TEST(Time, ClockGettimeWhitelistRuleAndMonotonic)
{
    std::vector<std::string> white = {"ZIV_WHITELIST=make"};
    auto gcc = probe_values("gcc", {"clock", "0", "clock", "1"}, white);
    EXPECT_EQ(gcc["clock.0"], kBuildTime + ".000000000");
    EXPECT_EQ(gcc["clock.0.rc"], "0");
    // Elapsed time stays real for everyone but exactly "python".
    EXPECT_NE(seconds(gcc["clock.1"]), std::atoll(kBuildTime.c_str()));
    EXPECT_EQ(gcc["clock.1.rc"], "0");
    EXPECT_EQ(probe_values("python", {"clock", "1"}, white)["clock.1"], kBuildTime + ".000000000");
    EXPECT_NE(probe_values("python3", {"clock", "1"}, white)["clock.1"], kBuildTime + ".000000000");
    EXPECT_TRUE(is_now(probe_values("make", {"clock", "0"}, white)["clock.0"]));

    // A list of its own replaces every clock of the listed programs only.
    std::vector<std::string> listed = {"ZIV_WHITELIST=make", "ZIV_CGTLIST=gcc"};
    auto cgt = probe_values("gcc", {"clock", "0", "clock", "1", "clock", "7"}, listed);
    EXPECT_EQ(cgt["clock.0"], kBuildTime + ".000000000");
    EXPECT_EQ(cgt["clock.1"], kBuildTime + ".000000000");
    EXPECT_EQ(cgt["clock.7"], kBuildTime + ".000000000");
    EXPECT_TRUE(is_now(probe_values("ld", {"clock", "0"}, listed)["clock.0"]));
    // Without any whitelist the list stands alone.
    EXPECT_TRUE(is_now(probe_values("python", {"clock", "0"})["clock.0"]));
    // A bad clock id stays a failure for an unlisted program.
    EXPECT_EQ(probe_values("ld", {"clock", "12345"}, listed)["clock.12345.rc"], "-1");
}

TEST(Time, FtimeOnlyForLabelBin)
{
    auto label = probe_values("label_bin", {"ftime"});
    EXPECT_EQ(label["ftime"], kBuildTime + ".0");
    EXPECT_EQ(label["ftime.zone"], "0,0");
    EXPECT_EQ(label["ftime.rc"], "0");
    auto other = probe_values("label_bin2", {"ftime"}, {"ZIV_TIMELIST=label_bin2", "ZIV_GTDLIST=label_bin2"});
    EXPECT_TRUE(is_now(other["ftime"]));
    EXPECT_EQ(other["ftime.rc"], "0");
}

TEST(Time, GettimeofdayAndAFailingRealClock)
{
    auto listed = probe_values("cc", {"gtod"}, {"ZIV_GTDLIST=cc"});
    EXPECT_EQ(listed["gtod"], kBuildTime + ".000000");
    EXPECT_EQ(listed["gtod.zone"], "0,0");
    EXPECT_EQ(listed["gtod.rc"], "0");
    auto unlisted = probe_values("as", {"gtod"}, {"ZIV_GTDLIST=cc"});
    EXPECT_TRUE(is_now(unlisted["gtod"]));
    EXPECT_EQ(unlisted["gtod.rc"], "0");

    // The next definition fails: a listed program still gets the build
    // time; an unlisted one gets the failure, not a success with an
    // unfilled structure.
    for (const auto& [name, rc] : {std::pair{"cc", "0"}, std::pair{"as", "-1"}}) {
        run_result r = run_probe({.name = name, .commands = {"gtod"},
                                  .env = {"LD_PRELOAD=" + kLib + " " + ZIV_FAIL_NEXT_PATH, "ZIV_GTDLIST=cc"},
                                  .preload = false});
        ASSERT_EQ(r.exit_code, 0) << describe(r);
        auto v = report(r);
        EXPECT_EQ(v["gtod.rc"], rc) << name;
        if (std::string(rc) == "0") {
            EXPECT_EQ(v["gtod"], kBuildTime + ".000000");
        } else {
            EXPECT_EQ(v["gtod.errno"], "22");
            EXPECT_EQ(v["gtod"], "-1.-00001");
        }
    }
}

TEST(Time, TimesStepsThroughTheConfiguredValues)
{
    std::vector<std::string> env = {"ZIV_PRO_TIMES_LIST=ar", "ZIV_TIMES=100,5,1,2,3,4"};
    EXPECT_EQ(probe_values("ar", {"times", "3"}, env)["times"], "100:1,2,3,4 105:1,2,3,4 110:1,2,3,4");
    // Every process starts afresh.
    EXPECT_EQ(probe_values("ar", {"times", "1"}, env)["times"], "100:1,2,3,4");
    std::string real = probe_values("ranlib", {"times", "1"}, env)["times"];
    EXPECT_NE(real.rfind("100:", 0), 0u) << real;
    EXPECT_NE(real.find(":0,0,0,0"), std::string::npos) << real;
}

TEST(Time, NullResultPointersAreNeverWritten)
{
    temp_dir d;
    write_file(d.sub("f"), "x");
    std::vector<std::string> env = {"ZIV_GTDLIST=ar",  "ZIV_PRO_TIMES_LIST=ar", "ZIV_TIMES=100,5,1,2,3,4",
                                    "ZIV_FILE_TIME_LIST=ar", "ZIV_INOLIST=ar", "ZIV_UIDLIST=ar"};
    auto v = probe_values("ar", {"nulls", d.sub("f")}, env);
    EXPECT_EQ(v["nulls.gtod.rc"], "0");
    EXPECT_EQ(v["nulls.gtod.zone"], "0,0");
    EXPECT_EQ(v["nulls.times"], "100");
    EXPECT_EQ(v["nulls.stat.rc"], "-1");
    EXPECT_EQ(v["nulls.stat.errno"], "14");
    EXPECT_EQ(v["nulls.statx.rc"], "-1");
    EXPECT_EQ(v["nulls.statx.errno"], "14");
}

TEST(Time, MessagesNameProgramFunctionAndAnswer)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    run_result r = run_probe({.name = "gcc",
                              .commands = {"time", "clock", "1", "clock", "0", "gtod", "times", "1", "ftime"},
                              .env = {"ZIV_LOG=yes", "ZIV_WHITELIST=make", "ZIV_PRO_TIMES_LIST=gcc"},
                              .capture_log = true});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(count_message(r, "gcc time get ziv_timestamp\n"), 2) << describe(r);
    EXPECT_EQ(count_message(r, "gcc clock_gettime get ziv_timestamp\n"), 1);
    EXPECT_EQ(count_message(r, "gcc gettimeofday get real timestamp\n"), 1);
    EXPECT_EQ(count_message(r, "gcc times get ziv_times\n"), 1);
    EXPECT_EQ(count_message(r, "gcc ftime get real timestamp\n"), 1);
    int entries = 0, monotonic = 0, real_times = 0;
    for (const std::string& text : messages(r)) {
        entries += text.rfind("process gcc enter function ", 0) == 0 ? 1 : 0;
        monotonic += text.rfind("gcc clock_gettime get real timestamp line ", 0) == 0 ? 1 : 0;
        real_times += text.rfind("gcc times get ", 0) == 0 && text.find(" utime ") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(entries, 7);
    EXPECT_EQ(monotonic, 1);
    EXPECT_EQ(real_times, 1);
    for (const log_record& rec : r.log) {
        if (rec.ident == "ziv_env") {
            EXPECT_EQ(rec.priority, kInfo) << rec.message;
        }
    }
}

}  // namespace
}  // namespace ziv_test
