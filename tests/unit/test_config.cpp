// Configuration logic a real process cannot show directly: the program
// table at its limits, the query in name-table
// mode, value parsing. The preload tests cover what a process ends up with.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "ziv_config.h"

namespace {

// Starts from no configuration and no "ZIV_" variable; `name` sets the
// program name, `read_as` also reads the environment as the constructor does.
class Config : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override
    {
        program_invocation_short_name = saved_;
        reset();
    }
    static void reset()
    {
        for (char** e = environ; *e != nullptr;) {  // unsetenv moves the later entries down
            if (strncmp(*e, "ZIV_", 4) == 0) {
                unsetenv(std::string(*e, strchr(*e, '=') - *e).c_str());
            } else {
                ++e;
            }
        }
        ziv_cfg_reset();
    }
    void name(const char* n) { program_invocation_short_name = (name_ = n).data(); }
    void read_as(const char* n) { name(n), get_ziv_cfg(); }

private:
    char* saved_ = program_invocation_short_name;
    std::string name_;
};

TEST_F(Config, ProgramTableAtItsLimits)
{
    EXPECT_EQ(insert_ziv_blacklist("gcc", ZIV_F_DIRLIST), 1);
    EXPECT_EQ(insert_ziv_blacklist("ld", ZIV_F_DIRLIST), 2);
    EXPECT_EQ(insert_ziv_blacklist(nullptr, ZIV_F_DIRLIST), -1);
    // A name that does not fit leaves no half-written row behind.
    EXPECT_EQ(insert_ziv_blacklist(std::string(256, 'x').c_str(), ZIV_F_DIRLIST), -1);
    EXPECT_EQ(ziv_prog_cfg.prog[3].prog_name[0], '\0');
    EXPECT_EQ(insert_ziv_blacklist(std::string(255, 'x').c_str(), ZIV_F_DIRLIST), 3);
    for (int i = 4; i < ZIV_PROG_MAX; ++i) {
        ASSERT_EQ(insert_ziv_blacklist(("n" + std::to_string(i)).c_str(), ZIV_F_NFTWLIST), i);
    }
    EXPECT_EQ(insert_ziv_blacklist("one-too-many", ZIV_F_NFTWLIST), 256);
    // A name already in the full table still gains bits.
    EXPECT_EQ(insert_ziv_blacklist("ld", ZIV_F_UIDLIST), 2);
    EXPECT_EQ(ziv_prog_cfg.prog[2].mask, ZIV_F_DIRLIST | ZIV_F_UIDLIST);
}

// Another library's constructor can ask before anything was read: no
// program gets fixed times through the whitelist rule then. In name-table
// mode the query follows the program name on every call.
TEST_F(Config, QueryBeforeReadingAndInNameTableMode)
{
    name("gcc");
    EXPECT_EQ(is_in_ziv_process_list(ZIV_F_TIMELIST), 0);
    EXPECT_EQ(is_in_ziv_process_list(ZIV_F_FILE_TIME_LIST), 0);
    setenv("ZIV_DIRLIST", "gcc make", 1);
    setenv("ZIV_WHITELIST", "make", 1);
    read_as("");
    ASSERT_EQ(ziv_prog_cfg.env_read, 0u);
    name("arm-linux-gnueabi-gcc");
    EXPECT_EQ(is_in_ziv_process_list(ZIV_F_DIRLIST), 1);
    EXPECT_EQ(is_in_ziv_process_list(ZIV_F_TIMELIST), 1);
    name("make");
    EXPECT_EQ(ziv_get_program_mask(), ZIV_F_DIRLIST | ZIV_F_WHITELIST);
    EXPECT_EQ(is_in_ziv_process_list(ZIV_F_TIMELIST) + is_in_ziv_process_list(ZIV_F_FILE_TIME_LIST), 0);
    name("python");
    EXPECT_EQ(is_in_ziv_process_list(ZIV_F_DIRLIST), 0);
}

TEST_F(Config, CurrentProgramModeKeepsOneRowAndTheEnvironment)
{
    setenv("ZIV_DIRLIST", "x gcc gcc y", 1);
    read_as("gcc");
    EXPECT_EQ(ziv_prog_cfg.env_read, 1u);
    EXPECT_EQ(ziv_prog_cfg.prog[0].mask, ZIV_F_DIRLIST);
    EXPECT_STREQ(ziv_prog_cfg.prog[0].prog_name, "gcc");
    EXPECT_EQ(ziv_prog_cfg.prog[1].prog_name[0], '\0');
    EXPECT_STREQ(getenv("ZIV_DIRLIST"), "x gcc gcc y");
    // The name is copied only when it fits with its terminator.
    char buffer[8];
    EXPECT_EQ(ziv_get_prog_name(buffer, sizeof buffer), 1);
    read_as("abcdefg");
    EXPECT_EQ(ziv_get_prog_name(buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "abcdefg");
    read_as("abcdefgh");
    EXPECT_EQ(ziv_get_prog_name(buffer, sizeof buffer), 0);
    read_as("");
    EXPECT_EQ(ziv_get_prog_name(buffer, sizeof buffer), 0);
}

TEST_F(Config, TraceMapInNameTableMode)
{
    // Every pair is stored; the last pair for a name wins.
    setenv("ZIV_TRACE_MAP", "a:x b:y a:z plain :nameless", 1);
    read_as("");
    name("a");
    EXPECT_STREQ(ziv_get_trace_map("a"), "z");
    EXPECT_STREQ(ziv_get_trace_map("b"), "y");
    EXPECT_EQ(ziv_get_trace_map("plain"), nullptr);
    EXPECT_EQ(ziv_get_trace_map(""), nullptr);
    EXPECT_EQ(insert_ziv_blacklist("a", 0), 1);
    EXPECT_EQ(ziv_prog_cfg.prog[1].mask, ZIV_F_TRACE_MAP);

    // 32 pairs are kept, and no value too long for its slot.
    ziv_cfg_reset();
    std::string many;
    for (int i = 0; i < 33; ++i) {
        many += "p" + std::to_string(i) + ":t" + std::to_string(i) + " ";
    }
    setenv("ZIV_TRACE_MAP", (many + "long:" + std::string(256, 't')).c_str(), 1);
    read_as("");
    EXPECT_STREQ(ziv_get_trace_map("p31"), "t31");
    EXPECT_EQ(ziv_get_trace_map("p32"), nullptr);
    EXPECT_EQ(ziv_get_trace_map("long"), nullptr);
    EXPECT_EQ(insert_ziv_blacklist("p32:t32", 0), 33);  // unstorable pairs are matched as whole tokens
}

// While another thread converts ZIV_TIME, a caller gets the text read as
// UTC, by arithmetic alone.
TEST(BuildTime, FallbackReadsTheTextAsUtc)
{
    for (const char* text : {"2022-03-01 10:00:00", "2024-02-29,23:59:59", "2000-02-29 00:00:00",
                             "1970-01-01 00:00:00", "2100-03-01 12:30:45", "1969-12-31 23:59:59"}) {
        struct tm when {};
        strptime(text, std::strchr(text, ',') != nullptr ? "%Y-%m-%d,%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &when);
        EXPECT_EQ(ziv_build_time_fallback(text), timegm(&when)) << text;
    }
    EXPECT_EQ(ziv_build_time_fallback("yesterday"), ZIV_DEFAULT_BUILD_TIME);
}

TEST_F(Config, NumbersAreReadAsAtoiReadsThem)
{
    for (const char* text : {"12", "  +12abc", "\t7", "0x10", "4294967296", "2147483648", "99999999999999999999",
                             "-99999999999999999999", "1e3", " - 3", "00042", ""}) {
        setenv("ZIV_UID", text, 1);
        init_ziv_uid_gid();
        EXPECT_EQ(ziv_prog_cfg.uid, static_cast<uid_t>(std::max(std::atoi(text), 0))) << text;
    }
    for (auto [text, inode] : {std::pair{"65536", 0}, std::pair{"65537", 1}, std::pair{"abc", 0}}) {
        setenv("ZIV_INODE", text, 1);
        init_ziv_inode();
        EXPECT_EQ(ziv_prog_cfg.next_inode, inode) << text;
    }
}

}  // namespace
