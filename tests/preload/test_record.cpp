// Recording the random values of one run into the program's record file and
// replaying them in the next, including while other processes of the same
// program are writing the file.
#include <sys/stat.h>

#include "preload_env.h"

namespace ziv_test {
namespace {

std::string u32(uint32_t value) { return std::string(reinterpret_cast<const char*>(&value), 4); }

// One table of the record file; a file has five: rand, random, getrandom,
// /dev/random, /dev/urandom.
std::string table(const std::vector<std::string>& values)
{
    std::string bytes = u32(static_cast<uint32_t>(values.size()));
    for (const std::string& v : values) {
        bytes += u32(static_cast<uint32_t>(v.size())) + v;
    }
    return bytes;
}

// The record directory "out" of a fresh temporary directory; files go beside
// it as out_<program>.
struct record_place {
    temp_dir dir;
    std::string output = dir.sub("out");
    record_place() { mkdir(output.c_str(), 0755); }
    std::string file(const std::string& prog) const { return output + "_" + prog; }
    probe_case listed(const std::string& name, std::vector<std::string> commands, std::vector<std::string> expect = {})
    {
        return {name, std::move(commands), {"ZIV_REPLAYLIST=" + name, "ZIV_RANDOM_RECORD_OUTPUT=" + output,
                                            "ZIV_LOG=yes"}, std::move(expect)};
    }
};

TEST(Record, ThreeRandCallsAreRecordedThenReplayed)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    record_place place;
    probe_result rec = check(place.listed("gcc", {"srand", "7", "rand", "3"},
                                          {"#1:########## start record mode ##########\n"}));
    EXPECT_EQ(count_prefix(rec.run, "[pid:", "] process gcc get real random value.\n"), 3);
    std::vector<std::string> words;
    const std::string& text = rec.v["rand"];
    for (size_t start = 0, end; (end = text.find(' ', start)) != std::string::npos; start = end + 1) {
        words.push_back(u32(static_cast<uint32_t>(std::stoul(text.substr(start, end - start)))));
    }
    // The file lies beside the configured directory, not inside it.
    std::string bytes = read_file(place.file("gcc"));
    EXPECT_EQ(bytes.size(), 44u);
    EXPECT_EQ(bytes, table(words) + table({}) + table({}) + table({}) + table({}));
    EXPECT_FALSE(exists(place.output + "/gcc"));

    // Replaying hands the three values out in order; the fourth is real. A
    // replaying process leaves the file as it found it.
    probe_result rep = check(place.listed("gcc", {"rand", "4"},
                                          {"#1:########## start replay mode ##########\n",
                                           "rand=" + rec.v["rand"] + "1714636915 "}));
    EXPECT_EQ(count_prefix(rep.run, "[pid:", "] process gcc get replay random value\n"), 3);
    EXPECT_EQ(count_prefix(rep.run, "[pid:", "] process gcc get replay random value fail.\n"), 1);
    EXPECT_EQ(read_file(place.file("gcc")), bytes);
}

TEST(Record, EachSourceHasItsOwnTable)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    record_place place;
    const std::vector<std::string> draws = {"rand", "1", "getrandom", "5", "read", "/dev/random", "3",
                                            "fread", "/dev/urandom", "2", "3"};
    probe_result rec = check(place.listed("cc1", draws));
    // Every recorded byte string is what the program received.
    EXPECT_EQ(hex(read_file(place.file("cc1"))),
              hex(table({u32(static_cast<uint32_t>(std::stoul(rec.v["rand"])))}) + table({}) + u32(1) + u32(5)) +
                  rec.v["getrandom"].substr(2) + hex(u32(1) + u32(3)) + rec.v["read"].substr(2) +
                  hex(u32(1) + u32(6)) + rec.v["fread"].substr(2));
    // And the next run gets the same bytes.
    check(place.listed("cc1", draws, {"rand=" + rec.v["rand"], "getrandom=" + rec.v["getrandom"],
                                      "read=" + rec.v["read"], "fread=" + rec.v["fread"]}));
}

TEST(Record, OddFilesAndRequests)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    record_place place;
    // A value of another length is used up, not replayed. Replayed bytes are
    // logged as text.
    std::string lengths = table({std::string(32, '\x11'), std::string("\x00\xff\x10", 3)});
    write_file(place.file("as"), table({}) + table({}) + lengths + table({}) + table({}));
    probe_result mismatch = check(place.listed("as", {"getrandom", "16", "getrandom", "3", "getrandom", "16"},
                                               {"#1:as get random: 00ff10\n"}));
    EXPECT_NE(mismatch.run.out.find("getrandom=3 00ff10\n"), std::string::npos) << mismatch.run.out;
    EXPECT_EQ(mismatch.run.out.find(hex(std::string(16, '\x11'))), std::string::npos) << mismatch.run.out;
    EXPECT_EQ(count_prefix(mismatch.run, "[pid:", "] process as get replay random value fail.\n"), 2);

    // A request of no bytes records nothing, and in replay leaves the next
    // value in place.
    check(place.listed("ld", {"read", "/dev/urandom", "0"},
                       {"#1:########## no random value record, do not write ##########\n"}));
    EXPECT_FALSE(exists(place.file("ld")));
    write_file(place.file("ld"), table({}) + table({}) + table({}) + table({}) + table({"\x33\x44\x55\x66"}));
    check(place.listed("ld", {"read", "/dev/urandom", "0", "read", "/dev/urandom", "4"}, {"read=4 33445566"}));

    // A damaged file (three values announced, two present, the other tables
    // missing) replays what it holds and stays as it is.
    std::string damaged = u32(3) + u32(4) + u32(11) + u32(4) + u32(22);
    write_file(place.file("gcc"), damaged);
    check(place.listed("gcc", {"rand", "3"},
                       {"#1:########## load urandom conf fail ##########\n",
                        "#1:########## start replay mode ##########\n", "rand=11 22 1681692777 "}));
    EXPECT_EQ(read_file(place.file("gcc")), damaged);

    // Without a place to write in, the real values pass and nothing is written.
    probe_case nowhere = place.listed("cc", {"rand", "2"}, {"rand=1804289383 846930886 ",
                                                            "#1:########## start record mode ##########\n"});
    nowhere.env[1] = "ZIV_RANDOM_RECORD_OUTPUT=" + place.dir.sub("missing");
    check(nowhere);
    EXPECT_FALSE(exists(place.dir.sub("missing_cc")));
}

TEST(Record, ReadersNeverSeeAHalfWrittenFile)
{
    // Writers ("q_r", place "out") and readers ("r", place "out_q") share the
    // file out_q_r. The writers record and wait before they end; the file
    // first appears when a reader records it. Then readers keep starting while
    // the writers end one after another, each replacing the file.
    temp_dir dir;
    make_tool_dir_link(dir.path(), "q_r", kProbe);
    make_tool_dir_link(dir.path(), "r", kProbe);
    const char* script = R"(mkdir out out_q
        W="env ZIV_RANDOM_RECORD_OUTPUT=$PWD/out ./q_r" R="env ZIV_RANDOM_RECORD_OUTPUT=$PWD/out_q ./r" n=0
        readers() { for i in $(seq $1); do n=$((n+1)); $R randhash 60000 > r$n & done; }
        for k in 1 2 3 4; do $W srand $k randhash 60000 touch ready$k wait-file go$k > w$k & eval w$k=$!; done
        for k in 1 2 3 4; do while [ ! -e ready$k ]; do sleep 0.01; done; done
        [ ! -e out_q_r ] || echo a writer ended before the readers were ready
        $R srand 99 randhash 60000 > w0
        for k in 1 2 3 4; do readers 3; touch go$k; readers 3; eval wait \$w$k; readers 2; done
        wait; $R randhash 60000 > last; echo readers=$n leftovers=$(ls | grep -c '^out_q_r\.'))";
    run_result r = run({.exe = "/bin/sh", .argv = {"sh", "-c", script}, .env = {"PATH=/usr/bin:/bin",
                        "LD_PRELOAD=" + kLib, "ZIV_REPLAYLIST=q_r r"}, .cwd = dir.path()});
    // No temporary file is left behind.
    ASSERT_EQ(r.out, "readers=32 leftovers=0\n") << describe(r);
    auto hash = [&](const std::string& out) {
        run_result f;
        f.out = read_file(dir.sub(out));
        return report(f)["randhash"];
    };
    std::set<std::string> complete;
    for (int k = 0; k <= 4; ++k) {
        complete.insert(hash("w" + std::to_string(k)));
    }
    EXPECT_EQ(complete.size(), 5u);
    for (int i = 1; i <= 32; ++i) {
        EXPECT_EQ(complete.count(hash("r" + std::to_string(i))), 1u) << "reader " << i << " replayed a mixture";
    }
    // The last file standing is one writer's, whole.
    EXPECT_EQ(complete.count(hash("last")), 1u);
    EXPECT_EQ(read_file(dir.sub("out_q_r")).size(), 60000u * 8 + 4 * 5);
}

}  // namespace
}  // namespace ziv_test
