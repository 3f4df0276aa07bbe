// Configuration logic tested directly: name normalisation, the program
// table, the trace map, value parsing and the feature query.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ziv_config.h"

namespace {

class Config : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_name_ = program_invocation_short_name;
        clear_ziv_environment();
        ziv_cfg_reset();
    }
    void TearDown() override
    {
        program_invocation_short_name = saved_name_;
        clear_ziv_environment();
        ziv_cfg_reset();
    }
    static void clear_ziv_environment()
    {
        for (bool again = true; again;) {
            again = false;
            for (char** e = environ; *e != nullptr; ++e) {
                if (std::strncmp(*e, "ZIV_", 4) == 0) {
                    std::string name(*e, std::strchr(*e, '=') - *e);
                    unsetenv(name.c_str());
                    again = true;
                    break;
                }
            }
        }
    }
    // Reads the environment as the constructor does, for a program `name`.
    void read_as(const char* name)
    {
        name_ = name;
        program_invocation_short_name = name_.data();
        get_ziv_cfg();
    }

private:
    char* saved_name_ = nullptr;
    std::string name_;
};

TEST(Names, CrossPrefixIsDroppedOnlyForGnuTools)
{
    EXPECT_STREQ(ziv_convert_gnu_cmd("arm-linux-gnueabi-gcc"), "gcc");
    EXPECT_STREQ(ziv_convert_gnu_cmd("x86_64-linux-gnu-ld.gold"), "ld.gold");
    EXPECT_STREQ(ziv_convert_gnu_cmd("aarch64-linux-gnu-gfortran"), "gfortran");
    EXPECT_STREQ(ziv_convert_gnu_cmd("gcc-9"), "gcc-9");
    EXPECT_STREQ(ziv_convert_gnu_cmd("arm-linux-gnueabi-gcc-9"), "arm-linux-gnueabi-gcc-9");
    EXPECT_STREQ(ziv_convert_gnu_cmd("eu-strip"), "eu-strip");
    EXPECT_STREQ(ziv_convert_gnu_cmd("x-clang"), "x-clang");
    EXPECT_STREQ(ziv_convert_gnu_cmd("make"), "make");
    EXPECT_EQ(ziv_convert_gnu_cmd(nullptr), nullptr);
    // The result points into the argument.
    const char* name = "arm-none-eabi-as";
    EXPECT_EQ(ziv_convert_gnu_cmd(name), name + 14);
}

TEST(Names, VersionSuffixFallback)
{
    struct {
        const char* in;
        const char* out;
    } cases[] = {{"gcc-9", "gcc"}, {"arm-none-eabi-gcc-9", "gcc"}, {"arm-none-eabi-gcc", "arm-none-eabi"},
                 {"g++-12", "g++"}, {"x-", "x"}, {"gcc", nullptr}};
    for (const auto& c : cases) {
        char* got = ziv_convert_gnu_cmd_endswith_digit(c.in);
        if (c.out == nullptr) {
            EXPECT_EQ(got, nullptr) << c.in;
        } else {
            ASSERT_NE(got, nullptr) << c.in;
            EXPECT_STREQ(got, c.out) << c.in;
        }
        std::free(got);
    }
    EXPECT_EQ(ziv_convert_gnu_cmd_endswith_digit(nullptr), nullptr);
}

TEST_F(Config, ProgramTableReusesRowsAndStopsWhenFull)
{
    EXPECT_EQ(insert_ziv_blacklist("gcc", ZIV_F_DIRLIST), 1);
    EXPECT_EQ(insert_ziv_blacklist("ld", ZIV_F_DIRLIST), 2);
    EXPECT_EQ(insert_ziv_blacklist("gcc", ZIV_F_INOLIST), 1);
    EXPECT_EQ(ziv_prog_cfg.prog[1].mask, ZIV_F_DIRLIST | ZIV_F_INOLIST);
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

TEST_F(Config, NameTableQueryFollowsTheProgramNameOnEveryCall)
{
    setenv("ZIV_DIRLIST", "gcc make", 1);
    setenv("ZIV_WHITELIST", "make", 1);
    read_as("");
    ASSERT_EQ(ziv_prog_cfg.env_read, 0u);
    char cross[] = "arm-linux-gnueabi-gcc";
    program_invocation_short_name = cross;
    EXPECT_EQ(is_in_ziv_process_list(ZIV_F_DIRLIST), 1);
    EXPECT_EQ(is_in_ziv_process_list(ZIV_F_TIMELIST), 1);
    char make[] = "make";
    program_invocation_short_name = make;
    EXPECT_EQ(ziv_get_program_mask(), ZIV_F_DIRLIST | ZIV_F_WHITELIST);
    EXPECT_EQ(is_in_ziv_process_list(ZIV_F_TIMELIST), 0);
    EXPECT_EQ(is_in_ziv_process_list(ZIV_F_FILE_TIME_LIST), 0);
    char other[] = "python";
    program_invocation_short_name = other;
    EXPECT_EQ(is_in_ziv_process_list(ZIV_F_DIRLIST), 0);
}

// Another library's constructor can ask before anything was read: no
// program gets fixed times through the whitelist rule then.
TEST_F(Config, NothingReadMeansNoFixedTime)
{
    ziv_cfg_reset();
    char gcc[] = "gcc";
    program_invocation_short_name = gcc;
    EXPECT_EQ(is_in_ziv_process_list(ZIV_F_TIMELIST), 0);
    EXPECT_EQ(is_in_ziv_process_list(ZIV_F_FILE_TIME_LIST), 0);
    setenv("ZIV_WHITELIST", "make", 1);
    read_as("gcc");
    EXPECT_EQ(is_in_ziv_process_list(ZIV_F_TIMELIST), 1);
    EXPECT_EQ(is_in_ziv_process_list(ZIV_F_FILE_TIME_LIST), 1);
}

TEST_F(Config, CurrentProgramStopsAtTheFirstMatch)
{
    setenv("ZIV_DIRLIST", "x gcc gcc y", 1);
    read_as("gcc");
    EXPECT_EQ(ziv_prog_cfg.env_read, 1u);
    EXPECT_EQ(ziv_prog_cfg.prog[0].mask, ZIV_F_DIRLIST);
    EXPECT_STREQ(ziv_prog_cfg.prog[0].prog_name, "gcc");
    // Current-program mode keeps no table of other names.
    EXPECT_EQ(ziv_prog_cfg.prog[1].prog_name[0], '\0');
    // The environment string is left as it was.
    EXPECT_STREQ(getenv("ZIV_DIRLIST"), "x gcc gcc y");
}

TEST_F(Config, TraceMapSlots)
{
    // Name-table mode stores every pair; the last pair for a name wins.
    setenv("ZIV_TRACE_MAP", "a:x b:y a:z plain :nameless", 1);
    read_as("");
    char name[] = "a";
    program_invocation_short_name = name;
    EXPECT_STREQ(ziv_get_trace_map("a"), "z");
    EXPECT_STREQ(ziv_get_trace_map("b"), "y");
    EXPECT_EQ(ziv_get_trace_map("plain"), nullptr);
    EXPECT_EQ(ziv_get_trace_map(""), nullptr);
    EXPECT_EQ(insert_ziv_blacklist("a", 0), 1);
    EXPECT_EQ(ziv_prog_cfg.prog[1].mask, ZIV_F_TRACE_MAP);

    ziv_cfg_reset();
    std::string many;
    for (int i = 0; i < 33; ++i) {
        many += "p" + std::to_string(i) + ":t" + std::to_string(i) + " ";
    }
    many += "long:" + std::string(256, 't');
    setenv("ZIV_TRACE_MAP", many.c_str(), 1);
    read_as("");
    EXPECT_STREQ(ziv_get_trace_map("p31"), "t31");
    EXPECT_EQ(ziv_get_trace_map("p32"), nullptr);
    EXPECT_EQ(ziv_get_trace_map("long"), nullptr);
    // Unstorable pairs are matched as whole tokens.
    EXPECT_EQ(insert_ziv_blacklist("p32:t32", 0), 33);
}

TEST_F(Config, TimesScanning)
{
    setenv("ZIV_PRO_TIMES_LIST", "ar", 1);
    setenv("ZIV_TIMES", "1,2,3", 1);
    read_as("ar");
    EXPECT_EQ(ziv_prog_cfg.times[0], 1);
    EXPECT_EQ(ziv_prog_cfg.times[2], 3);
    EXPECT_EQ(ziv_prog_cfg.times[3], 0);

    // Nothing scanned at all leaves the fields as they were.
    setenv("ZIV_TIMES", "   ", 1);
    init_ziv_times();
    EXPECT_EQ(ziv_prog_cfg.times[0], 1);
    EXPECT_EQ(ziv_prog_cfg.times[1], 2);
    unsetenv("ZIV_TIMES");
    init_ziv_times();
    EXPECT_EQ(ziv_prog_cfg.times[0], 0);
}

TEST_F(Config, ProgramNameCopy)
{
    char buffer[8];
    read_as("abcdefg");
    EXPECT_EQ(ziv_get_prog_name(buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "abcdefg");
    read_as("abcdefgh");
    EXPECT_EQ(ziv_get_prog_name(buffer, sizeof buffer), 0);
    read_as("");
    EXPECT_EQ(ziv_get_prog_name(buffer, sizeof buffer), 0);
}

TEST_F(Config, NumericValuesWrapAndFallBack)
{
    setenv("ZIV_INODE", "65536", 1);
    init_ziv_inode();
    EXPECT_EQ(ziv_prog_cfg.next_inode, 0);
    setenv("ZIV_INODE", "abc", 1);
    init_ziv_inode();
    EXPECT_EQ(ziv_prog_cfg.next_inode, 0);
    setenv("ZIV_UID", "1000", 1);
    setenv("ZIV_GID", "", 1);
    init_ziv_uid_gid();
    EXPECT_EQ(ziv_prog_cfg.uid, 1000u);
    EXPECT_EQ(ziv_prog_cfg.gid, 0u);
}

TEST_F(Config, NumbersAreReadAsAtoiReadsThem)
{
    for (const char* text : {"12", "  +12abc", "\t7", "0x10", "4294967296", "2147483648", "99999999999999999999",
                             "-99999999999999999999", "1e3", " - 3", "00042"}) {
        setenv("ZIV_UID", text, 1);
        init_ziv_uid_gid();
        EXPECT_EQ(ziv_prog_cfg.uid, static_cast<uid_t>(std::max(std::atoi(text), 0))) << text;
    }
}

}  // namespace
