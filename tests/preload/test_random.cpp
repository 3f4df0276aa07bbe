// Random words and random device bytes: deterministic for listed programs,
// real for everybody else, never a change to ordinary files.
#include "preload_env.h"

namespace ziv_test {
namespace {

constexpr uint32_t kGccHash = 400, kProbeHash = 1146, kMakeHash = 723;

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

TEST(Random, WordsAndDeviceBytesFollowTheProgramSeed)
{
    std::string words, first = std::to_string(random_steps(kGccHash, 1)[0]);
    for (uint32_t v : random_steps(kGccHash, 6)) {
        words += std::to_string(v) + " ";
    }
    const std::string urandom = "/dev/urandom", random = "/dev/random";
    check_all({
        // rand, random and arc4random share one sequence, different per
        // program and per build time.
        {"gcc", {"words", "2"}, {"ZIV_RANDOMLIST=gcc"}, {"words=" + words}},
        {"cc1", {"words", "2"}, {"ZIV_RANDOMLIST=cc1"}, {"words!=" + words, "words!="}},
        {"gcc", {"words", "2"}, {"ZIV_RANDOMLIST=gcc", "TZ=UTC0", "ZIV_TIME=2023-01-01 00:00:00"}, {"words!=" + words}},
        // Device bytes come from a sequence of their own, continued across
        // devices and entry points; getrandom has another one.
        {"probe",
         {"read", urandom, "16", "rand", "1", "read_chk", random, "4", "fread", urandom, "4", "3", "fread_chk", random,
          "2", "2", "getrandom", "5"},
         {"ZIV_RANDOMLIST=probe"},
         {"read=16 " + low_bytes(kProbeHash, 0, 16), "rand=" + std::to_string(random_steps(kProbeHash, 1)[0]) + " ",
          "read_chk=4 " + low_bytes(kProbeHash, 16, 4), "fread=3 " + low_bytes(kProbeHash, 20, 12),
          "fread_chk=2 " + low_bytes(kProbeHash, 32, 4), "getrandom=5 " + low_bytes(kProbeHash, 0, 5)}},
        // Unlisted: the real values; the C library's rand starts from seed 1.
        {"gcc", {"rand", "1", "arc4", "getrandom", "16"}, {"ZIV_RANDOMLIST=cc1"},
         {"rand=1804289383 ", "arc4!=" + first, "getrandom!=16 " + low_bytes(kGccHash, 0, 16)}},
        // Replay takes precedence, but not for arc4random; with no place to
        // record in, the real values pass.
        {"gcc", {"rand", "1", "arc4"}, {"ZIV_RANDOMLIST=gcc", "ZIV_REPLAYLIST=gcc"},
         {"rand=1804289383 ", "arc4=" + first}},
        {"gcc", {"words", "1", "getrandom", "2", "read", urandom, "2"}, {"ZIV_RANDOMLIST=gcc", "ZIV_LOG=yes"},
         {"#1:process gcc enter function rand line 106\n", "#1:process gcc enter function random line 77\n",
          "#1:process gcc enter function arc4random line 49\n", "#1:gcc rand get ziv_rand\n",
          "#1:gcc random get ziv_random\n", "#1:gcc arc4random get ziv_arc4random\n",
          "#1:[pid:8592] process gcc getrandom 2 return 2\n", "#1:gcc read is read random file: /dev/urandom \n",
          "#2:gcc get random: " + low_bytes(kGccHash, 0, 2) + "\n"}},
    });
}

TEST(Random, OnlyCompleteItemsAndOnlyDevicesAreAltered)
{
    ZIV_REQUIRE_LOG_CAPTURE();  // also for the private namespaces
    // Ten known bytes where the device is expected: three items of four
    // bytes give two complete items and two bytes of a third.
    temp_dir dir;
    write_file(dir.sub("ten"), "0123456789");
    write_file(dir.sub("data"), "ABCDEFGH");
    check_all({
        {"probe", {"bind", dir.sub("ten"), "/dev/urandom", "fread", "/dev/urandom", "4", "3"}, {"ZIV_RANDOMLIST=probe"},
         {"fread=2 " + low_bytes(kProbeHash, 0, 8) + "3839aaaa"}},
        // A failing read is handed back as it came.
        {"probe", {"read", dir.sub("data"), "8", "fread", dir.sub("data"), "2", "4", "read-bad"},
         {"ZIV_RANDOMLIST=probe", "ZIV_LOG=yes"},
         {"read=8 4142434445464748", "fread=4 4142434445464748", "read_bad=-1 errno=9",
          "#1:probe read is read random file: no \n", "#1:probe fread is read random file: no \n",
          "#2:process probe enter function read line 270\n"}},
    });
}

TEST(Random, UnlistedReadsCostNoExtraSystemCall)
{
    temp_dir dir;
    write_file(dir.sub("data"), std::string(100, 'd'));
    const std::vector<std::string> reads = {"trap-readlink", dir.sub("data"), "100"};
    check_all({
        // Not listed, logging off: the descriptor is never looked at.
        {"probe", reads, {"ZIV_RANDOMLIST=gcc", "ZIV_REPLAYLIST=gcc"}, {"read_bytes=100", "trapped=0"}},
        // Listed, or logging: one check per read.
        {"probe", reads, {"ZIV_RANDOMLIST=probe"}, {"read_bytes=100", "trapped=100"}},
        {"probe", reads, {"ZIV_LOG=yes"}, {"trapped=100", "log.size!=0"}},
    });
}

TEST(Random, MakeProgramsReadRealDeviceBytes)
{
    temp_dir dir;
    for (const std::string list : {"ZIV_RANDOMLIST=make", "ZIV_REPLAYLIST=make"}) {
        check({"make", {"read", "/dev/urandom", "16"}, {list, "ZIV_LOG=yes", "ZIV_RANDOM_RECORD_OUTPUT=" + dir.path()},
               {"read!=16 " + low_bytes(kMakeHash, 0, 16), "#1:make read get real read info\n"}});
    }
    // Nothing was drawn that could be recorded.
    EXPECT_FALSE(exists(dir.path() + "_make"));
    // The other make programs too, but not a name that merely starts so: its
    // device bytes follow the same seed as its getrandom bytes.
    probe_result remake = check({"remake", {"read", "/dev/urandom", "4", "getrandom", "4"}, {"ZIV_RANDOMLIST=remake"}});
    EXPECT_NE(remake.v["read"], remake.v["getrandom"]);
    probe_result makeinfo =
        check({"makeinfo", {"read", "/dev/urandom", "4", "getrandom", "4"}, {"ZIV_RANDOMLIST=makeinfo"}});
    EXPECT_EQ(makeinfo.v["read"], makeinfo.v["getrandom"]);
}

}  // namespace
}  // namespace ziv_test
