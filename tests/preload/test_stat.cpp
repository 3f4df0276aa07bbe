// File status as listed and unlisted programs see it, through every name of
// the stat family, the compatibility entry points and statx included.
#include <sys/stat.h>

#include "preload_env.h"

namespace ziv_test {
namespace {

const std::string kBuildStamp = "1646016134.0";

const std::vector<std::string> kPathFunctions = {
    "stat", "lstat", "stat64", "lstat64", "fstatat", "fstatat64", "__xstat", "__lxstat", "__xstat64",
    "__lxstat64", "__fxstatat", "__fxstatat64", "statx",
};
const std::vector<std::string> kDescriptorFunctions = {"fstat", "fstat64", "__fxstat", "__fxstat64"};

std::vector<std::string> all_functions()
{
    std::vector<std::string> all = kPathFunctions;
    all.insert(all.end(), kDescriptorFunctions.begin(), kDescriptorFunctions.end());
    return all;
}

// "stat FN PATH" for every function.
std::vector<std::string> stat_each(const std::string& path)
{
    std::vector<std::string> commands;
    for (const std::string& fn : all_functions()) {
        commands.insert(commands.end(), {"stat", fn, path});
    }
    return commands;
}

const std::vector<std::string> kAllFeatures = {
    "ZIV_FILE_TIME_LIST=cpio", "ZIV_UIDLIST=cpio", "ZIV_UID=1234", "ZIV_GID=567", "ZIV_INOLIST=cpio",
    "ZIV_INODE=100", "ZIV_DEVIDLIST=cpio", "ZIV_DIRSIZELIST=cpio",
};

struct tree {
    temp_dir dir;
    std::string file = dir.sub("f");
    std::string sub = dir.sub("d");
    tree()
    {
        write_file(file, "12345");
        mkdir(sub.c_str(), 0755);
    }
};

TEST(Stat, EveryFunctionRewritesEveryListedField)
{
    tree t;
    auto v = report(probe("cpio", stat_each(t.file), kAllFeatures));
    unsigned inode = 100;
    for (const std::string& fn : all_functions()) {
        SCOPED_TRACE(fn);
        EXPECT_EQ(v[fn + ".rc"], "0");
        EXPECT_EQ(v[fn + ".atime"], kBuildStamp);
        EXPECT_EQ(v[fn + ".mtime"], kBuildStamp);
        EXPECT_EQ(v[fn + ".ctime"], kBuildStamp);
        EXPECT_EQ(v[fn + ".uid"], "1234");
        EXPECT_EQ(v[fn + ".gid"], "567");
        // One number per rewritten result, in call order.
        EXPECT_EQ(v[fn + ".ino"], std::to_string(inode++));
        EXPECT_EQ(v[fn + ".dev"], "801");
        EXPECT_EQ(v[fn + ".rdev"], "2049");
        // A regular file keeps its size.
        EXPECT_EQ(v[fn + ".size"], "5");
    }
    EXPECT_EQ(v["statx.btime"], kBuildStamp);

    // A directory reports size 0, through every function.
    auto d = report(probe("cpio", stat_each(t.sub), kAllFeatures));
    auto real = report(probe("cpio", {"stat", "stat", t.sub}, {}, false));
    ASSERT_NE(real["stat.size"], "0");
    for (const std::string& fn : all_functions()) {
        EXPECT_EQ(d[fn + ".size"], "0") << fn;
    }
}

TEST(Stat, UnlistedProgramSeesTheNextDefinitionExactly)
{
    tree t;
    for (const std::string& path : {t.file, t.sub}) {
        auto without = probe("pax", stat_each(path), {}, false);
        auto unlisted = probe("pax", stat_each(path), kAllFeatures);
        EXPECT_EQ(unlisted.out, without.out);
        auto v = report(without);
        EXPECT_NE(v["stat.mtime"], kBuildStamp);
        EXPECT_EQ(v["statx.ino"], v["stat.ino"]);
        EXPECT_EQ(v["statx.dev"], v["stat.dev"]);
    }
    // Only the listed feature's fields change.
    auto without = report(probe("cpio", {"stat", "stat", t.file}, {}, false));
    auto owner = report(probe("cpio", {"stat", "stat", t.file}, {"ZIV_UIDLIST=cpio", "ZIV_UID=9"}));
    for (const char* field : {".ino", ".dev", ".rdev", ".size", ".atime", ".mtime", ".ctime"}) {
        EXPECT_EQ(owner[std::string("stat") + field], without[std::string("stat") + field]) << field;
    }
    EXPECT_EQ(owner["stat.uid"], "9");
    EXPECT_EQ(owner["stat.gid"], "0");
}

TEST(Stat, InodeNumbersCountFromTheConfiguredStartAndWrap)
{
    tree t;
    auto v = report(probe("cpio",
                          {"ino-seq", "stat", t.file, "3", "ino-seq", "stat64", t.file, "2", "ino-seq", "statx",
                           t.file, "2", "ino-seq", "fstat64", t.file, "1"},
                          {"ZIV_INOLIST=cpio", "ZIV_INODE=100"}));
    EXPECT_EQ(v["ino-seq.stat"], "100,101,102");
    EXPECT_EQ(v["ino-seq.stat64"], "103,104");
    EXPECT_EQ(v["ino-seq.statx"], "105,106");
    EXPECT_EQ(v["ino-seq.fstat64"], "107");
    auto wrap = report(probe("cpio", {"ino-seq", "statx", t.file, "3"}, {"ZIV_INOLIST=cpio", "ZIV_INODE=65535"}));
    EXPECT_EQ(wrap["ino-seq.statx"], "65535,0,1");
    // The default start.
    EXPECT_EQ(report(probe("cpio", {"ino-seq", "lstat", t.file, "2"}, {"ZIV_INOLIST=cpio"}))["ino-seq.lstat"], "1,2");
}

TEST(Stat, AMissingPathKeepsItsFailureAndConsumesNothing)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    tree t;
    std::string missing = t.dir.sub("missing");
    std::vector<std::string> commands = stat_each(missing);
    commands.insert(commands.end(), {"ino-seq", "fstat", t.file, "1"});
    std::vector<std::string> env = kAllFeatures;
    env.push_back("ZIV_LOG=yes");
    run_result r = run_probe({.name = "cpio", .commands = commands, .env = env, .capture_log = true});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    auto v = report(r);
    for (const std::string& fn : kPathFunctions) {
        EXPECT_EQ(v[fn + ".rc"], "-1") << fn;
        EXPECT_EQ(v[fn + ".errno"], "2") << fn;
    }
    // The successful call after the failures got the first number.
    EXPECT_EQ(v["ino-seq.fstat"], "100");
    int rewritten = 0;
    for (const std::string& text : messages(r)) {
        rewritten += text.find(" get ziv") != std::string::npos ? 1 : 0;
    }
    // Only the last call's: times, owner, inode, devices.
    EXPECT_EQ(rewritten, 4) << describe(r);
    EXPECT_EQ(count_message(r, "cpio fstat get ziv_timestamp\n"), 1);
    EXPECT_EQ(count_message(r, "cpio fstat get ziv_uid and ziv_gid\n"), 1);
    EXPECT_EQ(count_message(r, "cpio fstat get ziv_inode\n"), 1);
    EXPECT_EQ(count_message(r, "cpio fstat get ziv device ID\n"), 1);
    EXPECT_EQ(count_message(r, "cpio fstat get real dir size\n"), 1);
}

// A program's own libraries start before the configuration is read: what
// they see must not depend on lists nobody has read yet.
TEST(Stat, BeforeTheConfigurationIsReadNothingIsReplaced)
{
    tree t;
    auto without = report(probe("pax", {"stat", "stat", t.file}, {"FS_EARLY_PATH=" + t.file}, false));
    for (const char* name : {"pax", "make"}) {
        auto v = report(probe(name, {"stat", "stat", t.file}, {"FS_EARLY_PATH=" + t.file, "ZIV_WHITELIST=make"}));
        EXPECT_EQ(v["early.rc"], "0");
        EXPECT_EQ(v["early.mtime"], without["early.mtime"]) << name;
        EXPECT_NE(v["early.time"], "1646016134") << name;
    }
    // Once read, the listed program gets the fixed times.
    auto listed = report(probe("pax", {"stat", "stat", t.file}, {"FS_EARLY_PATH=" + t.file, "ZIV_WHITELIST=make"}));
    EXPECT_EQ(listed["stat.mtime"], kBuildStamp);
}

TEST(Stat, FileTimesFollowTheWhitelistWhenTheirListIsUnset)
{
    tree t;
    std::vector<std::string> env = {"ZIV_WHITELIST=make"};
    EXPECT_EQ(report(probe("gcc", {"stat", "statx", t.file}, env))["statx.mtime"], kBuildStamp);
    EXPECT_NE(report(probe("make", {"stat", "statx", t.file}, env))["statx.mtime"], kBuildStamp);
    // A list of its own overrides the fallback.
    env.push_back("ZIV_FILE_TIME_LIST=ld");
    EXPECT_NE(report(probe("gcc", {"stat", "stat", t.file}, env))["stat.mtime"], kBuildStamp);
    EXPECT_EQ(report(probe("ld", {"stat", "stat", t.file}, env))["stat.mtime"], kBuildStamp);
}

TEST(Stat, MessagesNameTheFunctionAndEachAnswer)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    tree t;
    run_result r = run_probe({.name = "cpio",
                              .commands = {"stat", "fstatat", t.sub, "stat", "statx", t.sub},
                              .env = {"ZIV_LOG=yes", "ZIV_INOLIST=cpio", "ZIV_DIRSIZELIST=cpio"},
                              .capture_log = true});
    ASSERT_EQ(r.exit_code, 0) << describe(r);
    for (const char* fn : {"fstatat", "statx"}) {
        std::string prefix = std::string("cpio ") + fn;
        EXPECT_EQ(count_message(r, prefix + " get real timestamp\n"), 1) << describe(r);
        EXPECT_EQ(count_message(r, prefix + " get real uid and real gid\n"), 1);
        EXPECT_EQ(count_message(r, prefix + " get ziv_inode\n"), 1);
        EXPECT_EQ(count_message(r, prefix + " get real device ID\n"), 1);
        EXPECT_EQ(count_message(r, prefix + " get ziv dir size\n"), 1);
        bool entered = false;
        for (const std::string& text : messages(r)) {
            entered |= text.rfind(std::string("process cpio enter function ") + fn + " line ", 0) == 0;
        }
        EXPECT_TRUE(entered) << fn;
    }
}

}  // namespace
}  // namespace ziv_test
