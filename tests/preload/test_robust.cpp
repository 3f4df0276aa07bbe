// The library inside programs that are hard on it: threads that fork, signal
// handlers and allocators that call back into it. Each case has a deadline:
// a hang is the fault looked for.
#include <cstring>
#include <ctime>
#include <sys/stat.h>

#include "preload_env.h"

namespace ziv_test {
namespace {

const std::string kClockMalloc = ZIV_CLOCK_MALLOC_PATH;
constexpr int kDeadline = 60;

struct listed_dir {
    temp_dir dir;
    listed_dir()
    {
        for (const char* name : {"b", "a", "d", "c"}) {
            write_file(dir.sub(name), name);
        }
        mkdir(dir.sub("out").c_str(), 0755);
    }
};

TEST(Robust, ThreadedProgramForksHundredsOfTimes)
{
    if (sanitized_build()) {
        GTEST_SKIP() << "AddressSanitizer's allocator (GCC 12) holds no lock across fork: a child forked while "
                        "another thread allocates waits for ever in malloc";
    }
    listed_dir d;
    // The record file goes beside the configured directory.
    const std::string out = d.dir.sub("out");
    probe_result p = check({"probe", {"fork-storm", d.dir.path(), "300"},
                            {"ZIV_DIRLIST=probe", "ZIV_CGTLIST=probe", "ZIV_INOLIST=probe", "ZIV_REPLAYLIST=probe",
                             "ZIV_TIME=2022-03-01 10:00:00", "ZIV_RANDOM_RECORD_OUTPUT=" + out},
                            {"fork-storm.failures=0"}, kLib, kDeadline});
    ASSERT_FALSE(p.run.timed_out) << describe(p.run);
    // Only the parent wrote its record, at its end, with every value its
    // threads drew: no child (forked, vfork'd or spawned) did its end work.
    // (The record file begins with the counts of its first three tables.)
    std::string bytes = read_file(out + "_probe") + std::string(12, '\xff');
    uint32_t counts[3];
    std::memcpy(counts, bytes.data(), sizeof counts);
    EXPECT_EQ(std::to_string(counts[0]) + " " + std::to_string(counts[1]) + " " + std::to_string(counts[2]),
              "0 0 " + p.v["fork-storm.draws"]);
}

TEST(Robust, HandlersAndAllocatorsThatComeBackGetTheNextDefinition)
{
    listed_dir d;
    struct tm local {};
    strptime("2022-03-01 10:00:00", "%Y-%m-%d %H:%M:%S", &local);
    const std::string fixed = std::to_string(mktime(&local));
    const std::vector<std::string> listed = {"ZIV_DIRLIST=probe", "ZIV_CGTLIST=probe", "ZIV_FILE_TIME_LIST=probe",
                                             "ZIV_REPLAYLIST=probe", "ZIV_TIME=2022-03-01 10:00:00"};
    for (const char* log : {"ZIV_LOG=", "ZIV_LOG=yes"}) {
        std::vector<std::string> env = listed;
        env.push_back(log);
        // A signal handler that runs while the program is inside the library.
        probe_result p = check({"probe", {"signal-storm", d.dir.path(), "300"}, env,
                                {"signal-storm.handled=1", "signal-storm.rounds!=0"}, kLib, kDeadline});
        EXPECT_FALSE(p.run.timed_out) << describe(p.run);
        // An allocator that reads the clock before the library: the build
        // time converted while the allocator runs, messages that allocate.
        p = check({"probe", {"list", d.dir.path(), "readdir", "clock", "0", "stat", "stat", d.dir.sub("a")}, env,
                   {"list.readdir=.,..,a,b,c,d,out", "clock.0=" + fixed + ".000000000", "stat.mtime=" + fixed + ".0"},
                   kClockMalloc + ":" + kLib, kDeadline});
        EXPECT_FALSE(p.run.timed_out) << describe(p.run);
        run_result r = run({.exe = "/usr/bin/gcc", .argv = {"gcc", "--version"},
                            .env = {"PATH=/usr/bin:/bin", "LD_PRELOAD=" + kClockMalloc + ":" + kLib,
                                    "ZIV_CGTLIST=gcc", "ZIV_TIME=2022-03-01 10:00:00", log},
                            .capture_log = log_capture_available(), .timeout_s = kDeadline});
        EXPECT_EQ(r.exit_code, 0) << describe(r);
        EXPECT_NE(r.out.find("Free Software Foundation"), std::string::npos) << describe(r);
    }
}

// A forked child draws from a sequence of its own: distinct from its
// parent's and its siblings', and the same in every run.
TEST(Robust, ForkedChildrenDrawTheirOwnReproducibleValues)
{
    const probe_case c{"probe", {"fork-rand"}, {"ZIV_RANDOMLIST=probe"}};
    probe_result first = check(c), second = check(c);
    std::set<std::string> values;
    for (const char* key : {"fork-rand.child0", "fork-rand.child1", "fork-rand.parent"}) {
        EXPECT_EQ(first.v[key], second.v[key]) << key;
        values.insert(first.v[key]);
    }
    EXPECT_EQ(values.size(), 3u) << first.run.out;
}

}  // namespace
}  // namespace ziv_test
