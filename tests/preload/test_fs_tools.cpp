// Real tools under the library: what a build's ls -l and tar produce.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "preload_env.h"

namespace ziv_test {
namespace {

run_result run_tool(const std::string& exe, std::vector<std::string> argv, std::vector<std::string> env,
                    bool preload = true)
{
    run_options o;
    o.exe = exe;
    o.argv = std::move(argv);
    o.env = {"PATH=/usr/bin:/bin", "LC_ALL=C", "TZ=UTC0"};
    if (preload) {
        o.env.push_back("LD_PRELOAD=" + kLib);
    }
    o.env.insert(o.env.end(), env.begin(), env.end());
    run_result r = run(o);
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    return r;
}

void set_mtime(const std::string& path, time_t when)
{
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

TEST(FsTools, LsLongListingShowsTheConfiguredStatus)
{
    temp_dir t;
    std::string d = t.sub("d");
    ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    write_file(d + "/b", "abc\n");
    write_file(d + "/a", "x\n");
    ASSERT_EQ(mkdir((d + "/s").c_str(), 0755), 0);
    std::vector<std::string> argv = {"ls", "-lin", "--time-style=+%s", d};
    std::vector<std::string> env = {"ZIV_FILE_TIME_LIST=ls", "ZIV_UIDLIST=ls",    "ZIV_UID=4321",
                                    "ZIV_GID=8765",          "ZIV_INOLIST=ls",    "ZIV_INODE=500",
                                    "ZIV_DIRSIZELIST=ls",    "ZIV_DIRLIST=ls"};
    run_result listed = run_tool("/bin/ls", argv, env);
    // ls asks statx about the argument first, then about each entry in the
    // order the directory hands them out.
    // (The block total is the file system's.)
    EXPECT_EQ(listed.out.substr(listed.out.find('\n') + 1),
              "501 -rw-r--r-- 1 4321 8765 2 1646016134 a\n"
              "502 -rw-r--r-- 1 4321 8765 4 1646016134 b\n"
              "503 drwxr-xr-x 2 4321 8765 0 1646016134 s\n");
    // A program in none of the lists sees what it sees without the library.
    run_result without = run_tool("/bin/ls", argv, {}, false);
    EXPECT_EQ(run_tool("/bin/ls", argv, {"ZIV_FILE_TIME_LIST=tar", "ZIV_INOLIST=tar", "ZIV_DIRSIZELIST=tar"}).out,
              without.out);
    EXPECT_EQ(without.out.find("1646016134"), std::string::npos) << without.out;
}

// A scratch directory on tmpfs where there is one: there the listing order
// follows creation order, so two trees differ in it.
class scratch_dir {
public:
    scratch_dir()
    {
        std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm/ziv_tar.XXXXXX" : fallback_.sub("XXXXXX");
        path_ = mkdtemp(pattern.data()) != nullptr ? pattern : fallback_.path();
        struct statfs fs {};
        on_tmpfs_ = statfs(path_.c_str(), &fs) == 0 && fs.f_type == TMPFS_MAGIC;
    }
    ~scratch_dir()
    {
        if (path_.rfind("/dev/shm/", 0) == 0) {
            std::system(("rm -rf '" + path_ + "'").c_str());
        }
    }
    std::string sub(const std::string& name) const { return path_ + "/" + name; }
    bool on_tmpfs() const { return on_tmpfs_; }

private:
    temp_dir fallback_;
    std::string path_;
    bool on_tmpfs_ = false;
};

// The same content, created in another order, with other times and so
// other inode numbers.
void make_tree(const std::string& top, bool reversed, time_t when)
{
    ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
    std::vector<std::string> files = {"a", "b", "c", "sub/x", "sub/y"};
    if (reversed) {
        std::reverse(files.begin(), files.end());
    }
    for (const std::string& file : files) {
        mkdir((top + "/sub").c_str(), 0755);
        write_file(top + "/" + file, "content of " + file + "\n");
        set_mtime(top + "/" + file, when);
        when += 1000;
    }
    set_mtime(top + "/sub", when);
    set_mtime(top, when + 7);
}

TEST(FsTools, TarArchivesOfTheSameContentAreByteIdenticalWhenListed)
{
    scratch_dir s;
    make_tree(s.sub("one"), false, 1500000000);
    make_tree(s.sub("two"), true, 1600000000);
    auto archive = [&](const std::string& tree, const std::string& tag, std::vector<std::string> env) {
        std::string out = s.sub(tree + "-" + tag + ".tar");
        run_tool("/bin/tar", {"tar", "-cf", out, "-C", s.sub(tree), "."}, env);
        return read_file(out);
    };
    std::vector<std::string> listed = {"ZIV_DIRLIST=tar", "ZIV_FILE_TIME_LIST=tar", "ZIV_INOLIST=tar",
                                       "ZIV_UIDLIST=tar"};
    std::string one = archive("one", "listed", listed);
    std::string two = archive("two", "listed", listed);
    ASSERT_GT(one.size(), 0u);
    EXPECT_TRUE(one == two) << "archives of a listed tar differ";

    run_result members = run_tool("/bin/tar", {"tar", "-tf", s.sub("two-listed.tar")}, {}, false);
    EXPECT_EQ(members.out, "./\n./a\n./b\n./c\n./sub/\n./sub/x\n./sub/y\n");

    std::vector<std::string> unlisted = {"ZIV_DIRLIST=cpio", "ZIV_FILE_TIME_LIST=cpio", "ZIV_INOLIST=cpio"};
    EXPECT_FALSE(archive("one", "unlisted", unlisted) == archive("two", "unlisted", unlisted));
    if (s.on_tmpfs()) {
        // Fixed status alone is not enough: the order differs too.
        std::vector<std::string> no_order = {"ZIV_FILE_TIME_LIST=tar", "ZIV_INOLIST=tar", "ZIV_UIDLIST=tar"};
        EXPECT_FALSE(archive("one", "no-order", no_order) == archive("two", "no-order", no_order));
    }
}

}  // namespace
}  // namespace ziv_test
