// Random words and random device bytes: deterministic for listed programs,
// real for everybody else, never a change to ordinary files.
#include "preload_env.h"

namespace ziv_test {
namespace {

constexpr uint32_t kGccHash = 400;
constexpr uint32_t kProbeHash = 1146;

// The low bytes of steps [from, from + n) as hexadecimal text.
std::string low_bytes(uint32_t name_hash, size_t from, size_t n)
{
    std::vector<uint32_t> all = random_steps(name_hash, from + n);
    std::string bytes;
    for (size_t i = from; i < from + n; ++i) {
        bytes += static_cast<char>(all[i] & 0xff);
    }
    return hex(bytes);
}

// The name hash, for names whose value is not worth spelling out.
int32_t ziv_hash(const std::string& name)
{
    uint32_t hash = static_cast<uint32_t>(static_cast<signed char>(name[0]));
    for (size_t i = 0; i < name.size(); ++i) {
        hash += static_cast<uint32_t>(static_cast<signed char>(name[i])) * static_cast<uint32_t>(i);
    }
    return static_cast<int32_t>(hash);
}

TEST(Random, WordsShareOneSequencePerProgram)
{
    std::vector<uint32_t> expected = random_steps(kGccHash, 6);
    std::string text;
    for (uint32_t v : expected) {
        text += std::to_string(v) + " ";
    }
    auto first = probe_values("gcc", {"words", "2"}, {"ZIV_RANDOMLIST=gcc"});
    EXPECT_EQ(first["words"], text);
    EXPECT_EQ(probe_values("gcc", {"words", "2"}, {"ZIV_RANDOMLIST=gcc"})["words"], text);
    auto other = probe_values("cc1", {"words", "2"}, {"ZIV_RANDOMLIST=cc1"});
    EXPECT_NE(other["words"], text);
    EXPECT_FALSE(other["words"].empty());
    // The build time is part of the seed.
    EXPECT_NE(probe_values("gcc", {"words", "2"}, {"ZIV_RANDOMLIST=gcc", "TZ=UTC0", "ZIV_TIME=2023-01-01 00:00:00"})["words"],
              text);
}

TEST(Random, UnlistedProgramsGetTheRealValues)
{
    // The C library's rand starts from seed 1 unless told otherwise.
    EXPECT_EQ(probe_values("gcc", {"rand", "1"}, {"ZIV_RANDOMLIST=cc1"})["rand"], "1804289383 ");
    auto a = probe_values("gcc", {"arc4"}, {});
    auto b = probe_values("gcc", {"arc4"}, {});
    EXPECT_NE(a["arc4"], b["arc4"]);
    EXPECT_NE(a["arc4"], std::to_string(random_steps(kGccHash, 1)[0]));
    auto bytes = probe_values("gcc", {"getrandom", "16"}, {});
    EXPECT_NE(bytes["getrandom"], "16 " + low_bytes(kGccHash, 0, 16));
    EXPECT_EQ(bytes["getrandom"].substr(0, 3), "16 ");
}

TEST(Random, DeviceBytesComeFromTheReadSequence)
{
    // The read sequence and the word sequence start from the same seed but
    // advance separately.
    run_result r = probe("probe", {"read", "/dev/urandom", "16", "rand", "1", "read", "/dev/random", "16"},
                         {"ZIV_RANDOMLIST=probe"});
    EXPECT_EQ(all_values(r, "read"), (std::vector<std::string>{"16 " + low_bytes(kProbeHash, 0, 16),
                                                                "16 " + low_bytes(kProbeHash, 16, 16)}));
    EXPECT_EQ(report(r)["rand"], std::to_string(random_steps(kProbeHash, 1)[0]) + " ");

    auto entry_points = probe_values("probe",
                              {"read_chk", "/dev/urandom", "4", "fread", "/dev/urandom", "4", "3", "fread_chk",
                               "/dev/random", "2", "2", "getrandom", "5"},
                              {"ZIV_RANDOMLIST=probe"});
    EXPECT_EQ(entry_points["read_chk"], "4 " + low_bytes(kProbeHash, 0, 4));
    EXPECT_EQ(entry_points["fread"], "3 " + low_bytes(kProbeHash, 4, 12));
    EXPECT_EQ(entry_points["fread_chk"], "2 " + low_bytes(kProbeHash, 16, 4));
    // getrandom has a sequence of its own.
    EXPECT_EQ(entry_points["getrandom"], "5 " + low_bytes(kProbeHash, 0, 5));
}

TEST(Random, ShortFreadAltersOnlyCompleteItems)
{
    // Ten known bytes where the device is expected: three items of four
    // bytes give two complete items and two bytes of a third.
    temp_dir dir;
    write_file(dir.sub("ten"), "0123456789");
    auto v = probe_values("probe", {"bind", dir.sub("ten"), "/dev/urandom", "fread", "/dev/urandom", "4", "3"},
                   {"ZIV_RANDOMLIST=probe"});
    EXPECT_EQ(v["fread"], "2 " + low_bytes(kProbeHash, 0, 8) + "3839aaaa");
}

TEST(Random, OrdinaryFilesAreNeverAltered)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    temp_dir dir;
    write_file(dir.sub("data"), "ABCDEFGH");
    run_result r = run_probe({.name = "probe",
                              .commands = {"read", dir.sub("data"), "8", "fread", dir.sub("data"), "2", "4",
                                           "read-bad"},
                              .env = {"ZIV_RANDOMLIST=probe", "ZIV_LOG=yes"},
                              .capture_log = true});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    auto v = report(r);
    EXPECT_EQ(v["read"], "8 4142434445464748");
    EXPECT_EQ(v["fread"], "4 4142434445464748");
    EXPECT_EQ(count_message(r, "probe read is read random file: no \n"), 1) << describe(r);
    EXPECT_EQ(count_message(r, "probe fread is read random file: no \n"), 1);
    // A failing read is handed back as it came.
    EXPECT_EQ(v["read_bad"], "-1 errno=9");
    EXPECT_EQ(count_message(r, "process probe enter function read line 270\n"), 2);
}

TEST(Random, UnlistedReadsCostNoExtraSystemCall)
{
    temp_dir dir;
    write_file(dir.sub("data"), std::string(100, 'd'));
    // Not listed, logging off: the descriptor is never looked at.
    auto quiet = probe_values("probe", {"trap-readlink", dir.sub("data"), "100"}, {"ZIV_RANDOMLIST=gcc", "ZIV_REPLAYLIST=gcc"});
    EXPECT_EQ(quiet["read_bytes"], "100");
    EXPECT_EQ(quiet["trapped"], "0");
    // Listed, or logging: one check per read.
    auto listed = probe_values("probe", {"trap-readlink", dir.sub("data"), "100"}, {"ZIV_RANDOMLIST=probe"});
    EXPECT_EQ(listed["read_bytes"], "100");
    EXPECT_EQ(listed["trapped"], "100");
    if (log_capture_available()) {
        run_result logged = run_probe({.name = "probe",
                                       .commands = {"trap-readlink", dir.sub("data"), "10"},
                                       .env = {"ZIV_LOG=yes"},
                                       .capture_log = true});
        EXPECT_EQ(report(logged)["trapped"], "10") << describe(logged);
    }
}

TEST(Random, MakeProgramsReadRealDeviceBytes)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    temp_dir dir;
    for (const std::string& list : {"ZIV_RANDOMLIST=make", "ZIV_REPLAYLIST=make"}) {
        run_result r = run_probe({.name = "make",
                                  .commands = {"read", "/dev/urandom", "16"},
                                  .env = {list, "ZIV_LOG=yes", "ZIV_RANDOM_RECORD_OUTPUT=" + dir.path()},
                                  .capture_log = true});
        ASSERT_EQ(r.exit_code, 0) << describe(r);
        EXPECT_NE(report(r)["read"], "16 " + low_bytes(723, 0, 16)) << list;  // "make" hashes to 723
        EXPECT_EQ(count_message(r, "make read get real read info\n"), 1) << list << describe(r);
    }
    // Nothing was drawn that could be recorded.
    EXPECT_THROW(read_file(dir.path() + "_make"), std::exception);
    auto a = probe_values("make", {"read", "/dev/urandom", "16"}, {"ZIV_RANDOMLIST=make"});
    auto b = probe_values("make", {"read", "/dev/urandom", "16"}, {"ZIV_RANDOMLIST=make"});
    EXPECT_NE(a["read"], b["read"]);
    // The other make programs too, but not a name that merely starts so.
    auto remake = probe_values("remake", {"read", "/dev/urandom", "4"}, {"ZIV_RANDOMLIST=remake"});
    EXPECT_NE(remake["read"], "4 " + low_bytes(static_cast<uint32_t>(ziv_hash("remake")), 0, 4));
    auto makeinfo = probe_values("makeinfo", {"read", "/dev/urandom", "4"}, {"ZIV_RANDOMLIST=makeinfo"});
    EXPECT_EQ(makeinfo["read"], "4 " + low_bytes(static_cast<uint32_t>(ziv_hash("makeinfo")), 0, 4));
}

TEST(Random, ReplayTakesPrecedenceButNotForArc4random)
{
    // Recording without a place to write: the real values pass.
    auto v = probe_values("gcc", {"rand", "1", "arc4"}, {"ZIV_RANDOMLIST=gcc", "ZIV_REPLAYLIST=gcc"});
    EXPECT_EQ(v["rand"], "1804289383 ");
    EXPECT_EQ(v["arc4"], std::to_string(random_steps(kGccHash, 1)[0]));
}

TEST(Random, MessagesOfTheDeterministicSources)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    run_result r = run_probe({.name = "gcc",
                              .commands = {"words", "1", "getrandom", "2", "read", "/dev/urandom", "2"},
                              .env = {"ZIV_RANDOMLIST=gcc", "ZIV_LOG=yes"},
                              .capture_log = true});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    for (const char* text :
         {"process gcc enter function rand line 106\n", "process gcc enter function random line 77\n",
          "process gcc enter function arc4random line 49\n", "gcc rand get ziv_rand\n", "gcc random get ziv_random\n",
          "gcc arc4random get ziv_arc4random\n", "[pid:8592] process gcc getrandom 2 return 2\n",
          "gcc read is read random file: /dev/urandom \n"}) {
        EXPECT_EQ(count_message(r, text), 1) << text << describe(r);
    }
    EXPECT_EQ(count_message(r, "gcc get random: " + low_bytes(kGccHash, 0, 2) + "\n"), 2);
}

}  // namespace
}  // namespace ziv_test
