// Recording the random values of one run into the program's record file and
// replaying them in the next, including while other processes of the same
// program are writing the file.
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "preload_env.h"

namespace ziv_test {
namespace {

std::string u32(uint32_t value) { return std::string(reinterpret_cast<const char*>(&value), 4); }

// One table of the record file.
std::string table(const std::vector<std::string>& values)
{
    std::string bytes = u32(static_cast<uint32_t>(values.size()));
    for (const std::string& v : values) {
        bytes += u32(static_cast<uint32_t>(v.size())) + v;
    }
    return bytes;
}

std::string record_file(const std::vector<std::string>& rand, const std::vector<std::string>& random,
                        const std::vector<std::string>& getrandom, const std::vector<std::string>& dev_random,
                        const std::vector<std::string>& dev_urandom)
{
    return table(rand) + table(random) + table(getrandom) + table(dev_random) + table(dev_urandom);
}

// The record directory "out" of a fresh temporary directory; files go
// beside it as out_<program>.
struct record_place {
    temp_dir dir;
    std::string output = dir.sub("out");
    record_place() { mkdir(output.c_str(), 0755); }
    std::string file(const std::string& prog) const { return output + "_" + prog; }
};

run_result run_listed(const record_place& place, const std::string& name, std::vector<std::string> commands,
                      bool log = false)
{
    std::vector<std::string> env = {"ZIV_REPLAYLIST=" + name, "ZIV_RANDOM_RECORD_OUTPUT=" + place.output};
    if (log) {
        env.push_back("ZIV_LOG=yes");
    }
    run_result r = run_probe({.name = name, .commands = std::move(commands), .env = env, .capture_log = log});
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    return r;
}

TEST(Record, ThreeRandCallsAreRecordedThenReplayed)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    record_place place;
    run_result rec = run_listed(place, "gcc", {"srand", "7", "rand", "3"}, true);
    EXPECT_EQ(count_message(rec, "########## start record mode ##########\n"), 1) << describe(rec);
    EXPECT_EQ(count_prefix(rec, "[pid:", "] process gcc get real random value.\n"), 3);
    std::vector<std::string> words;
    std::string text = report(rec)["rand"];
    for (size_t start = 0, end; (end = text.find(' ', start)) != std::string::npos; start = end + 1) {
        uint32_t value = static_cast<uint32_t>(std::stoul(text.substr(start, end - start)));
        words.push_back(u32(value));
    }
    ASSERT_EQ(words.size(), 3u);
    // The file lies beside the configured directory, not inside it.
    std::string bytes = read_file(place.file("gcc"));
    EXPECT_EQ(bytes.size(), 44u);
    EXPECT_EQ(bytes, record_file(words, {}, {}, {}, {}));
    EXPECT_FALSE(exists(place.output + "/gcc"));

    // Replaying hands the three values out in order; the fourth is real.
    run_result rep = run_listed(place, "gcc", {"rand", "4"}, true);
    EXPECT_EQ(count_message(rep, "########## start replay mode ##########\n"), 1) << describe(rep);
    EXPECT_EQ(report(rep)["rand"], report(rec)["rand"] + "1714636915 ");
    EXPECT_EQ(count_prefix(rep, "[pid:", "] process gcc get replay random value\n"), 3);
    EXPECT_EQ(count_prefix(rep, "[pid:", "] process gcc get replay random value fail.\n"), 1);
    // A replaying process leaves the file as it found it.
    EXPECT_EQ(read_file(place.file("gcc")), bytes);
}

TEST(Record, EachSourceHasItsOwnTable)
{
    record_place place;
    run_result rec = run_listed(place, "cc1", {"rand", "1", "getrandom", "5", "read", "/dev/random", "3", "fread",
                                               "/dev/urandom", "2", "3"});
    std::string bytes = read_file(place.file("cc1"));
    uint32_t rand_value = static_cast<uint32_t>(std::stoul(report(rec)["rand"]));
    // Every recorded byte string is what the program received.
    std::string got = report(rec)["getrandom"].substr(2);
    std::string dev = report(rec)["read"].substr(2);
    std::string stream = report(rec)["fread"].substr(2);
    ASSERT_EQ(bytes.size(), 4 + 8 + 4 + 4 + 9 + 4 + 7 + 4 + 10u);
    EXPECT_EQ(hex(bytes), hex(table({u32(rand_value)}) + table({})) + hex(u32(1) + u32(5)) + got +
                              hex(u32(1) + u32(3)) + dev + hex(u32(1) + u32(6)) + stream);
    // And the next run sees the same bytes.
    run_result rep = run_listed(place, "cc1", {"rand", "1", "getrandom", "5", "read", "/dev/random", "3", "fread",
                                               "/dev/urandom", "2", "3"});
    for (const char* key : {"rand", "getrandom", "read", "fread"}) {
        EXPECT_EQ(report(rep)[key], report(rec)[key]) << key;
    }
}

TEST(Record, MismatchingLengthConsumesOneValue)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    record_place place;
    write_file(place.file("as"), record_file({}, {}, {std::string(32, '\x11'), std::string("\x00\xff\x10", 3)}, {}, {}));
    run_result r = run_listed(place, "as", {"getrandom", "16", "getrandom", "3", "getrandom", "16"}, true);
    std::vector<std::string> got = all_values(r, "getrandom");
    ASSERT_EQ(got.size(), 3u);
    EXPECT_NE(got[0], "16 " + hex(std::string(16, '\x11')));
    EXPECT_EQ(got[1], "3 00ff10");
    // Replayed bytes are logged as text.
    EXPECT_EQ(count_message(r, "as get random: 00ff10\n"), 1) << describe(r);
    EXPECT_EQ(count_prefix(r, "[pid:", "] process as get replay random value fail.\n"), 2);
}

TEST(Record, ZeroLengthRequestsNeitherRecordNorConsume)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    record_place place;
    run_result rec = run_listed(place, "ld", {"read", "/dev/urandom", "0"}, true);
    EXPECT_EQ(count_message(rec, "########## no random value record, do not write ##########\n"), 1)
        << describe(rec);
    EXPECT_FALSE(exists(place.file("ld")));

    // In replay a request of no bytes leaves the next value in place.
    write_file(place.file("ld"), record_file({}, {}, {}, {}, {"\x33\x44\x55\x66"}));
    run_result rep = run_listed(place, "ld", {"read", "/dev/urandom", "0", "read", "/dev/urandom", "4"});
    EXPECT_EQ(report(rep)["read"], "4 33445566");
}

TEST(Record, DamagedFileReplaysWhatItHolds)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    record_place place;
    // Three values announced, two present, the other tables missing.
    std::string damaged = u32(3) + u32(4) + u32(11) + u32(4) + u32(22);
    write_file(place.file("gcc"), damaged);
    run_result r = run_listed(place, "gcc", {"rand", "3"}, true);
    EXPECT_EQ(count_message(r, "########## load urandom conf fail ##########\n"), 1) << describe(r);
    EXPECT_EQ(count_message(r, "########## start replay mode ##########\n"), 1);
    EXPECT_EQ(report(r)["rand"], "11 22 1681692777 ");
    EXPECT_EQ(read_file(place.file("gcc")), damaged);
}

TEST(Record, WithoutAPlaceNothingIsWritten)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    temp_dir dir;
    run_result r = run_probe({.name = "gcc",
                              .commands = {"rand", "2"},
                              .env = {"ZIV_REPLAYLIST=gcc", "ZIV_LOG=yes",
                                      "ZIV_RANDOM_RECORD_OUTPUT=" + dir.sub("missing")},
                              .capture_log = true});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(report(r)["rand"], "1804289383 846930886 ");
    EXPECT_EQ(count_message(r, "########## start record mode ##########\n"), 1);
    EXPECT_FALSE(exists(dir.sub("missing_gcc")));
}

// Starts the probe directly, many at once, its output into a file.
struct spawned {
    pid_t pid = -1;
    std::string out;
};

spawned spawn_probe(const std::string& name, const std::vector<std::string>& commands,
                    const std::vector<std::string>& env, const std::string& out)
{
    std::vector<std::string> argv_text = {name};
    argv_text.insert(argv_text.end(), commands.begin(), commands.end());
    std::vector<std::string> env_text = {"PATH=/usr/bin:/bin", "LD_PRELOAD=" + kLib};
    env_text.insert(env_text.end(), env.begin(), env.end());
    std::vector<char*> argv;
    std::vector<char*> envp;
    for (std::string& s : argv_text) {
        argv.push_back(s.data());
    }
    for (std::string& s : env_text) {
        envp.push_back(s.data());
    }
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    spawned s;
    s.out = out;
    if (posix_spawn(&s.pid, kProbe.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
        s.pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return s;
}

std::string finish(const spawned& s)
{
    int status = 0;
    waitpid(s.pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << s.out;
    run_result r;
    r.out = read_file(s.out);
    return report(r)["randhash"];
}

TEST(Record, ReadersNeverSeeAHalfWrittenFile)
{
    // Writers ("q_r", directory "out") and readers ("r", directory "out_q")
    // share the file out_q_r. Writers must start while it does not exist
    // yet, so that they record; readers start once it does, and replay.
    temp_dir dir;
    std::string writer_out = dir.sub("out");
    std::string reader_out = dir.sub("out_q");
    mkdir(writer_out.c_str(), 0755);
    mkdir(reader_out.c_str(), 0755);
    const std::string shared = dir.sub("out_q_r");
    const std::string values = "60000";
    const int writers = 4;

    std::vector<spawned> writing;
    for (int k = 0; k < writers; ++k) {
        std::string go = dir.sub("go" + std::to_string(k));
        writing.push_back(spawn_probe("q_r",
                                      {"srand", std::to_string(k + 1), "randhash", values, "touch",
                                       dir.sub("ready" + std::to_string(k)), "wait-file", go},
                                      {"ZIV_REPLAYLIST=q_r", "ZIV_RANDOM_RECORD_OUTPUT=" + writer_out},
                                      dir.sub("w" + std::to_string(k))));
        ASSERT_GT(writing.back().pid, 0);
    }
    for (int k = 0; k < writers; ++k) {
        for (int wait = 0; wait < 2000 && !exists(dir.sub("ready" + std::to_string(k))); ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ASSERT_FALSE(exists(shared)) << "a writer ended before the readers were ready";
    std::vector<std::string> reader_env = {"ZIV_REPLAYLIST=r", "ZIV_RANDOM_RECORD_OUTPUT=" + reader_out};
    std::set<std::string> complete;
    complete.insert(finish(spawn_probe("r", {"srand", "99", "randhash", values}, reader_env, dir.sub("first"))));
    ASSERT_TRUE(exists(shared));

    // Readers keep starting while the writers end one after another.
    std::vector<spawned> reading;
    int started = 0;
    auto start_readers = [&](int n) {
        for (int i = 0; i < n; ++i, ++started) {
            reading.push_back(spawn_probe("r", {"randhash", values}, reader_env, dir.sub("r" + std::to_string(started))));
        }
    };
    for (int k = 0; k < writers; ++k) {
        start_readers(3);
        write_file(dir.sub("go" + std::to_string(k)), "");
        start_readers(3);
        complete.insert(finish(writing[k]));
        start_readers(2);
    }
    start_readers(1);
    std::set<std::string> seen;
    for (const spawned& s : reading) {
        std::string hash = finish(s);
        EXPECT_EQ(complete.count(hash), 1u) << "a reader replayed a mixture: " << s.out;
        seen.insert(hash);
    }
    EXPECT_EQ(complete.size(), static_cast<size_t>(writers + 1));
    // The last file standing is one writer's, whole.
    std::string last = finish(spawn_probe("r", {"randhash", values}, reader_env, dir.sub("last")));
    EXPECT_EQ(complete.count(last), 1u);
    EXPECT_EQ(read_file(shared).size(), 60000u * 8 + 4 * 5);
    // No temporary file is left behind.
    int entries = 0;
    if (DIR* d = opendir(dir.path().c_str()); d != nullptr) {
        while (dirent* e = readdir(d)) {
            entries += std::strstr(e->d_name, "out_q_r.") != nullptr ? 1 : 0;
        }
        closedir(d);
    }
    EXPECT_EQ(entries, 0);
}

}  // namespace
}  // namespace ziv_test
