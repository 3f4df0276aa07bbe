// File status as listed and unlisted programs see it, through every name of
// the stat family, the compatibility entry points and statx included, and in
// what a build's ls -l and tar produce.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <algorithm>

#include "preload_env.h"

namespace ziv_test {
namespace {

const std::string kStamp = kBuildTime + ".0";
const std::vector<std::string> kFunctions = {
    "stat", "lstat", "stat64", "lstat64", "fstatat", "fstatat64", "__xstat", "__lxstat", "__xstat64", "__lxstat64",
    "__fxstatat", "__fxstatat64", "statx", "fstat", "fstat64", "__fxstat", "__fxstat64"};
const std::vector<std::string> kAllFeatures = {
    "ZIV_FILE_TIME_LIST=cpio", "ZIV_UIDLIST=cpio", "ZIV_UID=1234", "ZIV_GID=567", "ZIV_INOLIST=cpio",
    "ZIV_INODE=100", "ZIV_DEVIDLIST=cpio", "ZIV_DIRSIZELIST=cpio"};

// "stat FN PATH" for every function.
std::vector<std::string> stat_each(const std::string& path)
{
    std::vector<std::string> commands;
    for (const std::string& fn : kFunctions) {
        commands.insert(commands.end(), {"stat", fn, path});
    }
    return commands;
}

struct tree {
    temp_dir dir;
    std::string file = dir.sub("f"), sub = dir.sub("d");
    tree()
    {
        write_file(file, "12345");
        mkdir(sub.c_str(), 0755);
    }
};

TEST(Stat, EveryFunctionRewritesEveryListedField)
{
    tree t;
    probe_case file{"cpio", stat_each(t.file), kAllFeatures, {"statx.btime=" + kStamp}};
    probe_case dir{"cpio", stat_each(t.sub), kAllFeatures};
    unsigned inode = 100;  // one number per rewritten result, in call order
    for (const std::string& fn : kFunctions) {
        for (const std::string& field : std::vector<std::string>{
                 "atime=" + kStamp, "mtime=" + kStamp, "ctime=" + kStamp, "uid=1234", "gid=567",
                 "ino=" + std::to_string(inode++), "dev=801", "rdev=2049", "size=5", "rc=0"}) {
            file.expect.push_back(fn + "." + field);
        }
        // Directories, and only they, report size 0.
        dir.expect.push_back(fn + ".size=0");
    }
    check(file);
    check(dir);
    check({"cpio", {"stat", "stat", t.sub}, {}, {"stat.size!=0"}, ""});
}

TEST(Stat, UnlistedProgramSeesTheNextDefinitionExactly)
{
    tree t;
    std::vector<std::string> both = stat_each(t.file), dir = stat_each(t.sub);
    both.insert(both.end(), dir.begin(), dir.end());
    probe_result without = check({"pax", both, {}, {"stat.mtime!=" + kStamp}, ""});
    EXPECT_EQ(check({"pax", both, kAllFeatures}).run.out, without.run.out);
    EXPECT_EQ(without.v["statx.ino"] + without.v["statx.dev"], without.v["stat.ino"] + without.v["stat.dev"]);
    // Only the listed feature's fields change.
    probe_case owner{"pax", both, {"ZIV_UIDLIST=pax", "ZIV_UID=9"}, {"stat.uid=9", "stat.gid=0"}};
    for (const char* field : {"stat.ino", "stat.dev", "stat.rdev", "stat.size", "stat.atime", "stat.mtime"}) {
        owner.expect.push_back(field + ("=" + without.v[field]));
    }
    check(owner);
}

TEST(Stat, InodeNumbersCountFromTheConfiguredStartAndStopAtTheLast)
{
    tree t;
    const std::string f = t.file;
    check_all({
        {"cpio", {"ino-seq", "stat", f, "3", "ino-seq", "stat64", f, "2", "ino-seq", "statx", f, "2", "ino-seq",
                  "fstat64", f, "1"},
         {"ZIV_INOLIST=cpio", "ZIV_INODE=100"},
         {"ino-seq.stat=100,101,102", "ino-seq.stat64=103,104", "ino-seq.statx=105,106", "ino-seq.fstat64=107"}},
        {"cpio", {"ino-seq", "statx", f, "3"}, {"ZIV_INOLIST=cpio", "ZIV_INODE=65534"}, {"ino-seq.statx=65534,65535,65535"}},
        {"cpio", {"ino-seq", "lstat", f, "2"}, {"ZIV_INOLIST=cpio"}, {"ino-seq.lstat=1,2"}},
    });
}

TEST(Stat, AMissingPathKeepsItsFailureAndConsumesNothing)
{
    ZIV_REQUIRE_LOG_CAPTURE();
    tree t;
    probe_case c{"cpio", stat_each(t.dir.sub("missing")), kAllFeatures,
                 // Only the last, successful call's answers: it got the first number.
                 {"ino-seq.fstat=100", "#1:cpio fstat get ziv_timestamp\n",
                  "#1:cpio fstat get ziv_uid and ziv_gid\n", "#1:cpio fstat get ziv_inode\n",
                  "#1:cpio fstat get ziv device ID\n", "#1:cpio fstat get real dir size\n"}};
    c.commands.insert(c.commands.end(), {"ino-seq", "fstat", t.file, "1"});
    c.env.push_back("ZIV_LOG=yes");
    for (const std::string& fn : kFunctions) {
        c.expect.push_back(fn + ".rc=-1");
        c.expect.push_back(fn + ".errno=2");
    }
    // (The descriptor functions failed at the open already.)
    int rewritten = 0;
    for (const std::string& m : messages(check(c).run)) {
        rewritten += m.find(" get ziv") != std::string::npos;
    }
    EXPECT_EQ(rewritten, 4);
}

TEST(Stat, MessagesNameTheFunctionAndEachAnswer)
{
    tree t;
    probe_case c{"cpio", {"stat", "fstatat", t.sub, "stat", "statx", t.sub},
                 {"ZIV_LOG=yes", "ZIV_INOLIST=cpio", "ZIV_DIRSIZELIST=cpio"}};
    for (const std::string fn : {"fstatat", "statx"}) {
        for (const char* answer : {"real timestamp", "real uid and real gid", "ziv_inode", "real device ID",
                                   "ziv dir size"}) {
            c.expect.push_back("#1:cpio " + fn + " get " + answer + "\n");
        }
        c.expect.push_back("^1:process cpio enter function " + fn + " line ");
    }
    check(c);
}

// A program's own libraries start before the configuration is read: what
// they see must not depend on lists nobody has read yet.
TEST(Stat, BeforeTheConfigurationIsReadNothingIsReplaced)
{
    tree t;
    const std::vector<std::string> cmd = {"stat", "stat", t.file};
    std::string mtime = check({"pax", cmd, {"FS_EARLY_PATH=" + t.file}, {"early.rc=0"}, ""}).v["early.mtime"];
    const std::vector<std::string> env = {"FS_EARLY_PATH=" + t.file, "ZIV_WHITELIST=make"};
    check_all({
        {"pax", cmd, env, {"early.rc=0", "early.mtime=" + mtime, "early.time!=" + kBuildTime,
                           "stat.mtime=" + kStamp}},  // once read, the listed program's are fixed
        {"make", cmd, env, {"early.rc=0", "early.mtime=" + mtime, "early.time!=" + kBuildTime}},
    });
}

run_result run_tool(const std::vector<std::string>& argv, const std::vector<std::string>& env, bool preload = true)
{
    run_options o{.exe = "/bin/" + argv[0], .argv = argv, .env = {"PATH=/usr/bin:/bin", "LC_ALL=C", "TZ=UTC0"}};
    if (preload) {
        o.env.push_back("LD_PRELOAD=" + kLib);
    }
    o.env.insert(o.env.end(), env.begin(), env.end());
    run_result r = run(o);
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    return r;
}

TEST(StatTools, LsLongListingShowsTheConfiguredStatus)
{
    tree t;
    write_file(t.sub + "/b", "abc\n");
    write_file(t.sub + "/a", "x\n");
    ASSERT_EQ(mkdir((t.sub + "/s").c_str(), 0755), 0);
    std::vector<std::string> argv = {"ls", "-lin", "--time-style=+%s", t.sub};
    run_result listed = run_tool(argv, {"ZIV_FILE_TIME_LIST=ls", "ZIV_UIDLIST=ls", "ZIV_UID=4321", "ZIV_GID=8765",
                                        "ZIV_INOLIST=ls", "ZIV_INODE=500", "ZIV_DIRSIZELIST=ls", "ZIV_DIRLIST=ls"});
    // ls asks statx about the argument first, then about each entry in the
    // order the directory hands them out. (The block total is the file system's.)
    EXPECT_EQ(listed.out.substr(listed.out.find('\n') + 1),
              "501 -rw-r--r-- 1 4321 8765 2 1646016134 a\n"
              "502 -rw-r--r-- 1 4321 8765 4 1646016134 b\n"
              "503 drwxr-xr-x 2 4321 8765 0 1646016134 s\n");
}

// The same content, created in another order, with other times and so other
// inode numbers.
void make_tree(const std::string& top, bool reversed, time_t when)
{
    ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((top + "/sub").c_str(), 0755), 0);
    std::vector<std::string> files = {"a", "b", "c", "sub/x", "sub/y"};
    if (reversed) {
        std::reverse(files.begin(), files.end());
    }
    for (const std::string& file : files) {
        write_file(top + "/" + file, "content of " + file + "\n");
        when += 1000;
        struct timespec times[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, (top + "/" + file).c_str(), times, 0), 0);
    }
}

TEST(StatTools, TarArchivesOfTheSameContentAreByteIdenticalWhenListed)
{
    // On tmpfs, where there is one, the listing order follows creation order,
    // so the two trees differ in it.
    std::string saved = getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "";
    setenv("TMPDIR", access("/dev/shm", W_OK) == 0 ? "/dev/shm" : saved.c_str(), 1);
    temp_dir scratch;
    saved.empty() ? unsetenv("TMPDIR") : setenv("TMPDIR", saved.c_str(), 1);
    const std::string& top = scratch.path();
    struct statfs fs {};
    bool on_tmpfs = statfs(top.c_str(), &fs) == 0 && fs.f_type == TMPFS_MAGIC;
    make_tree(top + "/one", false, 1500000000);
    make_tree(top + "/two", true, 1600000000);
    auto archive = [&](const std::string& tree, const std::string& tag, const std::vector<std::string>& env) {
        std::string out = top + "/" + tree + "-" + tag + ".tar";
        run_tool({"tar", "-cf", out, "-C", top + "/" + tree, "."}, env);
        return read_file(out);
    };
    std::vector<std::string> listed = {"ZIV_DIRLIST=tar", "ZIV_FILE_TIME_LIST=tar", "ZIV_INOLIST=tar",
                                       "ZIV_UIDLIST=tar"};
    std::string one = archive("one", "listed", listed);
    EXPECT_TRUE(!one.empty() && one == archive("two", "listed", listed)) << "archives of a listed tar differ";
    EXPECT_EQ(run_tool({"tar", "-tf", top + "/two-listed.tar"}, {}, false).out,
              "./\n./a\n./b\n./c\n./sub/\n./sub/x\n./sub/y\n");
    std::vector<std::string> unlisted = {"ZIV_DIRLIST=cpio", "ZIV_FILE_TIME_LIST=cpio", "ZIV_INOLIST=cpio"};
    EXPECT_FALSE(archive("one", "unlisted", unlisted) == archive("two", "unlisted", unlisted));
    if (on_tmpfs) {
        // Fixed status alone is not enough: the order differs too.
        std::vector<std::string> no_order = {"ZIV_FILE_TIME_LIST=tar", "ZIV_INOLIST=tar", "ZIV_UIDLIST=tar"};
        EXPECT_FALSE(archive("one", "no-order", no_order) == archive("two", "no-order", no_order));
    }
}

}  // namespace
}  // namespace ziv_test
