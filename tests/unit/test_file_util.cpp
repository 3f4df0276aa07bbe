// Names, suffixes, tables, paths and string helpers of file identification.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <string>

#include "ziv_file_util.h"
#include "ziv_run.h"

namespace {

using ziv_test::temp_dir;
using ziv_test::write_file;

struct free_deleter {
    void operator()(char* p) const { free(p); }
};
using owned = std::unique_ptr<char, free_deleter>;

std::string text_or_null(char* p)
{
    owned o(p);
    return o ? std::string(o.get()) : std::string("<null>");
}

// Restores an environment variable at scope end.
struct env_var {
    const char* name;
    const char* value = getenv(name);
    std::string old = value != nullptr ? value : "";
    ~env_var() { value != nullptr ? setenv(name, old.c_str(), 1) : unsetenv(name); }
};

class cwd_scope {
public:
    explicit cwd_scope(const std::string& dir)
    {
        char buf[PATH_MAX];
        old_ = getcwd(buf, sizeof(buf)) ? buf : "/";
        EXPECT_EQ(chdir(dir.c_str()), 0);
    }
    ~cwd_scope() { (void)!chdir(old_.c_str()); }

private:
    std::string old_;
};

TEST(FileUtil, InputFileTypeFromSuffixThenContent)
{
    temp_dir dir;
    write_file(dir.sub("build.sh"), "#!/bin/sh\nmake\n");
    write_file(dir.sub("blob.bin"), std::string("\x7f\x00\x01", 3));
    std::string libz_so_1 = dir.sub("libz.so.1");
    ASSERT_EQ(symlink("/lib/x86_64-linux-gnu/libc.so.6", libz_so_1.c_str()), 0);
    struct {
        std::string name;
        int type;
    } cases[] = {
        {"main.c", 1}, {"Main.C", 1}, {"x.hpp", 3}, {"libz.so", 7}, {"a.f90", 2}, {"a.ii", 4},
        {"start.S", 5}, {"x.obj", 6}, {"pch.gch", 8}, {"map.ld", 9}, {"dep.d", 10}, {"m.vrn", 13},
        {"x.c++", 1}, {"x.H++", 3}, {"src/foo.o", 6},
        {"Makefile", 16},           // no dot: no content look-up at all
        {libz_so_1, 16},            // last suffix ".1"; a shared library is not text
        {dir.sub("build.sh"), 14},  // ".sh" is not in the table; text content
        {dir.sub("blob.bin"), 16},
        {dir.sub("missing.xyz"), 16},
        {"x.CPp", 16},  // case-sensitive, no such file
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ziv_input_file_type(c.name.c_str()), c.type) << c.name;
    }
    EXPECT_EQ(ziv_input_file_type(nullptr), 16);
}

TEST(FileUtil, SourceLikeTypes)
{
    for (int t = -1; t <= 17; ++t) {
        bool source = t == 1 || t == 2 || t == 3 || t == 5 || t == 9 || t == 12 || t == 13 || t == 14;
        EXPECT_EQ(ziv_is_source_file(t), source ? 1 : 0) << t;
    }
}

TEST(FileUtil, CheckInputValid)
{
    temp_dir dir;
    write_file(dir.sub("a.c"), "x");
    ASSERT_EQ(symlink("a.c", dir.sub("link.c").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.sub("fifo").c_str(), 0644), 0);
    EXPECT_EQ(ziv_check_input_valid(dir.sub("a.c").c_str()), 1);
    EXPECT_EQ(ziv_check_input_valid(dir.sub("link.c").c_str()), 1);  // followed
    EXPECT_EQ(ziv_check_input_valid(dir.path().c_str()), 0);
    EXPECT_EQ(ziv_check_input_valid(dir.sub("fifo").c_str()), 0);
    EXPECT_EQ(ziv_check_input_valid(dir.sub("nothing").c_str()), 0);
    EXPECT_EQ(ziv_check_input_valid(nullptr), -1);
    // Option-like names are never looked up, even when such files exist.
    cwd_scope in(dir.path());
    for (const char* n : {"-o", "@args.rsp", "#x"}) {
        write_file(dir.sub(n), "x");
        EXPECT_EQ(ziv_check_input_valid(n), 0) << n;
    }
}

TEST(FileUtil, ChangeFilenameSuffix)
{
    EXPECT_EQ(text_or_null(ziv_change_filename_suffix("src/foo.c", ".o")), "foo.o");
    EXPECT_EQ(text_or_null(ziv_change_filename_suffix("dir/x.tar.gz", ".o")), "x.tar.o");
    EXPECT_EQ(text_or_null(ziv_change_filename_suffix("a.c", ".s")), "a.s");
    EXPECT_EQ(text_or_null(ziv_change_filename_suffix(".profile", ".o")), ".o");
    EXPECT_EQ(text_or_null(ziv_change_filename_suffix("d/.profile", ".o")), ".o");
    EXPECT_EQ(text_or_null(ziv_change_filename_suffix("a.b/c", ".o")), "<null>");
    EXPECT_EQ(text_or_null(ziv_change_filename_suffix("noext", ".o")), "<null>");
    EXPECT_EQ(text_or_null(ziv_change_filename_suffix(nullptr, ".o")), "<null>");
    EXPECT_EQ(text_or_null(ziv_change_filename_suffix("a.c", nullptr)), "<null>");
    // A long directory part: the block is sized by the whole name.
    std::string deep = std::string(300, 'd') + "/n.c";
    EXPECT_EQ(text_or_null(ziv_change_filename_suffix(deep.c_str(), ".longer_suffix")), "n.longer_suffix");
}

TEST(FileUtil, AppendFilenameSuffix)
{
    EXPECT_EQ(text_or_null(ziv_append_filename_suffix("a.out", ".d")), "a.out.d");
    EXPECT_EQ(text_or_null(ziv_append_filename_suffix("", "")), "");
    EXPECT_EQ(text_or_null(ziv_append_filename_suffix(nullptr, ".d")), "<null>");
    std::string big(100000, 'x');
    EXPECT_EQ(text_or_null(ziv_append_filename_suffix(big.c_str(), "%s%n")), big + "%s%n");
}

TEST(FileUtil, StripAndCollapseWhiteSpace)
{
    char a[] = "  ab  ";
    EXPECT_STREQ(strstrip(a, 6), "ab");
    char b[] = "ab \n";
    EXPECT_STREQ(strstrip(b, 4), "ab ");  // the blank before the newline stays
    char c[] = "ab\n\n";
    EXPECT_STREQ(strstrip(c, 4), "ab\n");  // one newline only
    char d[] = "   ";
    EXPECT_STREQ(strstrip(d, 3), "");
    char e[] = "cc1\nrest";  // length shorter than the text: cut there
    EXPECT_STREQ(strstrip(e, 4), "cc1");
    EXPECT_EQ(strstrip(nullptr, 0), nullptr);

    char f[] = " a\t\tb \n";
    ziv_del_extra_space_char(f);
    EXPECT_STREQ(f, " a b ");
    char g[] = "\r\n\v\fx  y";
    ziv_del_extra_space_char(g);
    EXPECT_STREQ(g, " x y");
    char h[] = "";
    ziv_del_extra_space_char(h);
    EXPECT_STREQ(h, "");
    ziv_del_extra_space_char(nullptr);
}

TEST(FileUtil, FileContent)
{
    temp_dir dir;
    std::string data = "line 1\nline\0 2\n";
    data.push_back('\xff');
    write_file(dir.sub("p"), data);
    owned got(ziv_get_file_content(dir.sub("p").c_str()));
    ASSERT_TRUE(got);
    EXPECT_EQ(std::string(got.get(), data.size()), data);
    EXPECT_EQ(got.get()[data.size()], '\0');

    write_file(dir.sub("empty"), "");
    EXPECT_EQ(ziv_get_file_content(dir.sub("empty").c_str()), nullptr);
    EXPECT_EQ(ziv_get_file_content(dir.sub("missing").c_str()), nullptr);
    EXPECT_EQ(ziv_get_file_content(dir.path().c_str()), nullptr);
    EXPECT_EQ(ziv_get_file_content(nullptr), nullptr);

    // A pipe has no size and is not consumed.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "patch", 5), 5);
    std::string proc = "/proc/self/fd/" + std::to_string(fds[0]);
    EXPECT_EQ(ziv_get_file_content(proc.c_str()), nullptr);
    char back[8] = {};
    EXPECT_EQ(read(fds[0], back, sizeof(back)), 5);
    close(fds[0]);
    close(fds[1]);
}

TEST(FileUtil, TraceWhiteList)
{
    const char* sed = ziv_get_trace_white_cmd("sed");
    ASSERT_NE(sed, nullptr);
    EXPECT_STREQ(sed, "sed");
    for (const char* n : {"arch", "sha256sum", "file", "touch", "install-info", "pkg-config", "zecho"}) {
        EXPECT_NE(ziv_get_trace_white_cmd(n), nullptr) << n;
    }
    for (const char* n : {"gcc", "Sed", "sed ", "se", "make", "sh", ""}) {
        EXPECT_EQ(ziv_get_trace_white_cmd(n), nullptr) << n;
    }
    EXPECT_EQ(ziv_get_trace_white_cmd(nullptr), nullptr);
}

TEST(FileUtil, SystemFilesByPrefix)
{
    for (const char* n : {"/usr/lib/libc.so", "/lib/x86_64-linux-gnu/libm.so.6", "/lib32", "/lib32x/a.so",
                          "/usr/local/lib64/x.a", "/usr/local/libexec/x", "/lib64/ld.so", "/usr/libx32/z"}) {
        EXPECT_EQ(ziv_is_sys_file(n), 1) << n;
    }
    for (const char* n : {"/opt/lib/x.so", "/usr/lib", "lib/x.so", "/usr/include/stdio.h", "/libfoo", "", "/lib"}) {
        EXPECT_EQ(ziv_is_sys_file(n), 0) << n;
    }
    EXPECT_EQ(ziv_is_sys_file(nullptr), 0);
}

TEST(FileUtil, MatchNamelistIsExact)
{
    const char* table[] = {"-MF", "-o", "-Wl,"};
    EXPECT_EQ(ziv_match_namelist(3, table, "-MF"), 1);
    EXPECT_EQ(ziv_match_namelist(3, table, "-Wl,"), 1);
    EXPECT_EQ(ziv_match_namelist(3, table, "-MFdep.d"), 0);
    EXPECT_EQ(ziv_match_namelist(3, table, "-M"), 0);
    EXPECT_EQ(ziv_match_namelist(3, table, "-mf"), 0);
    EXPECT_EQ(ziv_match_namelist(2, table, "-Wl,"), 0);  // only the first n
    EXPECT_EQ(ziv_match_namelist(0, table, "-MF"), 0);
    EXPECT_EQ(ziv_match_namelist(3, table, nullptr), 0);
    EXPECT_EQ(ziv_match_namelist(3, nullptr, "-o"), 0);
}

TEST(FileUtil, AbsolutePathOfToolNames)
{
    temp_dir dir;
    env_var keep_path{"PATH"};
    char buf[PATH_MAX];
    std::string real_dir(realpath(dir.path().c_str(), buf));
    mkdir(dir.sub("bin").c_str(), 0755);
    write_file(dir.sub("ls"), "#!/bin/sh\n", 0755);
    write_file(dir.sub("bin/tool"), "#!/bin/sh\n", 0755);
    cwd_scope in(dir.path());

    // An empty element stands for the current directory and is tried first.
    setenv("PATH", ":/bin", 1);
    ASSERT_EQ(ziv_get_absolute_path("ls", 2, buf, sizeof(buf)), 0);
    EXPECT_EQ(std::string(buf), real_dir + "/ls");
    setenv("PATH", "/bin:", 1);
    ASSERT_EQ(ziv_get_absolute_path("ls", 2, buf, sizeof(buf)), 0);
    EXPECT_EQ(std::string(buf), "/bin/ls");
    // The element after the last ":" counts, empty or not.
    setenv("PATH", "/nonexistent:", 1);
    ASSERT_EQ(ziv_get_absolute_path("ls", 2, buf, sizeof(buf)), 0);
    EXPECT_EQ(std::string(buf), real_dir + "/ls");
    setenv("PATH", "/nonexistent:bin", 1);  // relative element: resolved
    ASSERT_EQ(ziv_get_absolute_path("tool", 4, buf, sizeof(buf)), 0);
    EXPECT_EQ(std::string(buf), real_dir + "/bin/tool");
    setenv("PATH", "/nonexistent:/also-not", 1);
    EXPECT_EQ(ziv_get_absolute_path("ls", 2, buf, sizeof(buf)), -1);
    unsetenv("PATH");
    EXPECT_EQ(ziv_get_absolute_path("ls", 2, buf, sizeof(buf)), -1);

    // Absolute names are taken as they are; relative ones are resolved.
    EXPECT_EQ(ziv_get_absolute_path("/no/such/tool", 13, buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "/no/such/tool");
    ASSERT_EQ(ziv_get_absolute_path("./bin/../ls", 11, buf, sizeof(buf)), 0);
    EXPECT_EQ(std::string(buf), real_dir + "/ls");
    EXPECT_EQ(ziv_get_absolute_path("bin/missing", 11, buf, sizeof(buf)), -1);
    // Only the given length of the name counts.
    ASSERT_EQ(ziv_get_absolute_path("/usr/bin/xyz", 8, buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "/usr/bin");
    // A buffer too small fails instead of overflowing.
    char tiny[4];
    EXPECT_EQ(ziv_get_absolute_path("./ls", 4, tiny, sizeof(tiny)), -1);
    EXPECT_EQ(ziv_get_absolute_path("/usr/bin/env", 12, tiny, sizeof(tiny)), -1);
    EXPECT_EQ(ziv_get_absolute_path("", 0, buf, sizeof(buf)), -1);
    EXPECT_EQ(ziv_get_absolute_path(nullptr, 3, buf, sizeof(buf)), -1);
}

TEST(FileUtil, RecoverLdPreload)
{
    env_var keep{"LD_PRELOAD"};
    auto after = [](const char* value) {
        if (value == nullptr) {
            unsetenv("LD_PRELOAD");
        } else {
            setenv("LD_PRELOAD", value, 1);
        }
        ziv_recover_ldpreload();
        const char* v = getenv("LD_PRELOAD");
        return v == nullptr ? std::string("<unset>") : std::string(v);
    };
    EXPECT_EQ(after("libziv_env.so other.so"), "other.so");
    EXPECT_EQ(after("a.so libziv_env.so"), "a.so ");
    EXPECT_EQ(after("libziv_env.so"), "<unset>");
    EXPECT_EQ(after("ziv_env.so"), "<unset>");
    EXPECT_EQ(after("a.so ziv_env.so b.so"), "a.so b.so");
    // With a directory, the whole entry goes, never half of a path.
    EXPECT_EQ(after("/opt/ziv/lib/libziv_env.so /usr/lib/other.so"), "/usr/lib/other.so");
    EXPECT_EQ(after("/opt/ziv/lib/libziv_env.so"), "<unset>");
    // Colons separate entries too, and the entries after the match stay.
    EXPECT_EQ(after("a.so:/x/libziv_env.so:b.so"), "a.so:b.so");
    EXPECT_EQ(after("libziv_env.so libziv_env.so"), "<unset>");
    // A directory that merely contains the name is not the library.
    EXPECT_EQ(after("/opt/libziv_env.so.d/other.so"), "/opt/libziv_env.so.d/other.so");
    EXPECT_EQ(after("a.so b.so"), "a.so b.so");
    EXPECT_EQ(after(""), "");
    EXPECT_EQ(after(nullptr), "<unset>");
}

TEST(FileUtil, CommandOutputCapture)
{
    char buf[64];
    memset(buf, 0, sizeof(buf));
    EXPECT_EQ(ziv_get_cmd_callback_from_tmpfile("printf 0123456789", buf, 64), 0);
    EXPECT_EQ(std::string(buf), "0123456789");
    memset(buf, 0, sizeof(buf));
    EXPECT_EQ(ziv_get_cmd_callback_from_tmpfile("printf 0123456789", buf, 10), 1);
    EXPECT_EQ(std::string(buf, 10), "0123456789");
    EXPECT_EQ(ziv_get_cmd_callback_from_tmpfile("true", buf, 10), 0);
    EXPECT_EQ(ziv_get_cmd_callback_from_tmpfile(nullptr, buf, 10), -1);
    EXPECT_EQ(ziv_get_cmd_callback_from_tmpfile("true", nullptr, 10), -1);
    // The command writes into a private file, removed afterwards.
    memset(buf, 0, sizeof(buf));
    ASSERT_EQ(ziv_get_cmd_callback_from_tmpfile("readlink /proc/self/fd/1", buf, 63), 0);
    std::string capture(buf);
    EXPECT_EQ(capture.rfind("/tmp/ziv_tmpfile.", 0), 0u) << capture;
    while (!capture.empty() && capture.back() == '\n') {
        capture.pop_back();
    }
    EXPECT_NE(access(capture.c_str(), F_OK), 0) << capture;
}

TEST(FileUtil, ShellQuoteKeepsAnyNameOneWord)
{
    temp_dir dir;
    const std::string names[] = {"x;touch pwned.c", "it's", "a b", "$(touch pwned2)", "`id`", "\"q\"", "\\", "", "''"};
    for (const std::string& n : names) {
        char quoted[256];
        ASSERT_TRUE(ziv_shell_quote(n.c_str(), quoted, sizeof(quoted))) << n;
        std::string cmd = "cd " + dir.path() + " && printf %s " + quoted;
        char out[128] = {};
        ziv_get_cmd_callback_from_tmpfile(cmd.c_str(), out, sizeof(out) - 1);
        EXPECT_EQ(std::string(out), n);
    }
    EXPECT_NE(access(dir.sub("pwned.c").c_str(), F_OK), 0);
    EXPECT_NE(access(dir.sub("pwned2").c_str(), F_OK), 0);
    char small[6];
    EXPECT_FALSE(ziv_shell_quote("abcdef", small, sizeof(small)));
    EXPECT_STREQ(small, "");
    EXPECT_TRUE(ziv_shell_quote("abc", small, sizeof(small)));
    EXPECT_STREQ(small, "'abc'");
}

}  // namespace
