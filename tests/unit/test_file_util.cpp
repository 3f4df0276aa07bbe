// Names, suffixes, tables, paths and string helpers of file identification.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "ziv_file_util.h"
#include "ziv_run.h"

namespace {

using ziv_test::temp_dir;
using ziv_test::write_file;

std::string text_or_null(char* p)
{
    std::string out = p != nullptr ? p : "<null>";
    free(p);
    return out;
}

void set_env(const char* name, const char* value) { value ? setenv(name, value, 1) : unsetenv(name); }

// Restores an environment variable.
struct restore {
    const char* name;
    std::optional<std::string> value = getenv(name) ? std::optional<std::string>(getenv(name)) : std::nullopt;
    explicit restore(const char* variable) : name(variable) {}
    ~restore() { set_env(name, value ? value->c_str() : nullptr); }
};

TEST(FileUtil, InputFileTypeFromSuffixThenContent)
{
    temp_dir dir;
    write_file(dir.sub("build.sh"), "#!/bin/sh\nmake\n");
    write_file(dir.sub("blob.bin"), std::string("\x7f\x00\x01", 3));
    ASSERT_EQ(symlink("/lib/x86_64-linux-gnu/libc.so.6", dir.sub("libz.so.1").c_str()), 0);
    const struct {
        std::string name;
        int type;
    } cases[] = {
        {"main.c", 1}, {"Main.C", 1}, {"x.hpp", 3}, {"libz.so", 7}, {"a.f90", 2}, {"a.ii", 4}, {"start.S", 5},
        {"x.obj", 6}, {"pch.gch", 8}, {"map.ld", 9}, {"dep.d", 10}, {"m.vrn", 13}, {"x.c++", 1}, {"x.H++", 3},
        {"src/foo.o", 6},
        {"Makefile", 16},                 // no dot: no content look-up at all
        {dir.sub("libz.so.1"), 16},       // last suffix ".1"; a shared library is not text
        {dir.sub("build.sh"), 14},        // ".sh" is not in the table; text content
        {dir.sub("blob.bin"), 16},
        {dir.sub("missing.xyz"), 16},
        {"x.CPp", 16},  // case-sensitive, no such file
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ziv_input_file_type(c.name.c_str()), c.type) << c.name;
    }
    EXPECT_EQ(ziv_input_file_type(nullptr), 16);
    for (int t = -1; t <= 17; ++t) {
        bool source = t == 1 || t == 2 || t == 3 || t == 5 || t == 9 || t == 12 || t == 13 || t == 14;
        EXPECT_EQ(ziv_is_source_file(t), source ? 1 : 0) << t;
    }
}

TEST(FileUtil, CheckInputValid)
{
    temp_dir dir;
    ziv_test::in_dir here(dir.path());
    write_file("a.c", "x");
    ASSERT_EQ(symlink("a.c", "link.c"), 0);
    ASSERT_EQ(mkfifo("fifo", 0644), 0);
    for (const char* n : {"-o", "@args.rsp", "#x"}) {  // option-like names are never looked up
        write_file(n, "x");
    }
    for (auto [name, valid] : {std::pair{"a.c", 1}, std::pair{"link.c", 1}, std::pair{".", 0}, std::pair{"fifo", 0},
                               std::pair{"nothing", 0}, std::pair{"-o", 0}, std::pair{"@args.rsp", 0},
                               std::pair{"#x", 0}}) {
        EXPECT_EQ(ziv_check_input_valid(name), valid) << name;
    }
    EXPECT_EQ(ziv_check_input_valid(nullptr), -1);
}

TEST(FileUtil, FilenameSuffixes)
{
    const std::string deep = std::string(300, 'd') + "/n.c";  // the block is sized by the whole name
    const struct {
        const char* name;
        const char* suffix;
        const char* changed;
    } cases[] = {
        {"src/foo.c", ".o", "foo.o"}, {"dir/x.tar.gz", ".o", "x.tar.o"}, {".profile", ".o", ".o"},
        {"d/.profile", ".o", ".o"},   {"a.b/c", ".o", "<null>"},         {"noext", ".o", "<null>"},
        {nullptr, ".o", "<null>"},    {"a.c", nullptr, "<null>"},
        {deep.c_str(), ".longer_suffix", "n.longer_suffix"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text_or_null(ziv_change_filename_suffix(c.name, c.suffix)), c.changed) << (c.name ? c.name : "-");
    }
    EXPECT_EQ(text_or_null(ziv_append_filename_suffix("a.out", ".d")), "a.out.d");
    EXPECT_EQ(text_or_null(ziv_append_filename_suffix("", "")), "");
    EXPECT_EQ(text_or_null(ziv_append_filename_suffix(nullptr, ".d")), "<null>");
    std::string big(100000, 'x');
    EXPECT_EQ(text_or_null(ziv_append_filename_suffix(big.c_str(), "%s%n")), big + "%s%n");
}

TEST(FileUtil, StripAndCollapseWhiteSpace)
{
    const struct {
        std::string text;
        size_t length;
        const char* stripped;
    } strips[] = {
        {"  ab  ", 6, "ab"},
        {"ab \n", 4, "ab "},   // the blank before the newline stays
        {"ab\n\n", 4, "ab\n"},  // one newline only
        {"   ", 3, ""},
        {"cc1\nrest", 4, "cc1"},  // length shorter than the text: cut there
    };
    for (auto c : strips) {
        EXPECT_STREQ(strstrip(c.text.data(), c.length), c.stripped) << c.text;
    }
    EXPECT_EQ(strstrip(nullptr, 0), nullptr);
    for (auto [text, collapsed] :
         {std::pair{" a\t\tb \n", " a b "}, std::pair{"\r\n\v\fx  y", " x y"}, std::pair{"", ""}}) {
        std::string t = text;
        ziv_del_extra_space_char(t.data());
        EXPECT_STREQ(t.c_str(), collapsed);
    }
    ziv_del_extra_space_char(nullptr);
}

TEST(FileUtil, FileContent)
{
    temp_dir dir;
    std::string data("line 1\nline\0 2\n\xff", 16);
    write_file(dir.sub("p"), data);
    char* got = ziv_get_file_content(dir.sub("p").c_str());
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(std::string(got, data.size() + 1), data + '\0');
    free(got);
    write_file(dir.sub("empty"), "");
    for (const std::string& name : {dir.sub("empty"), dir.sub("missing"), dir.path()}) {
        EXPECT_EQ(ziv_get_file_content(name.c_str()), nullptr) << name;
    }
    EXPECT_EQ(ziv_get_file_content(nullptr), nullptr);
    // A pipe has no size and is not consumed.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "patch", 5), 5);
    EXPECT_EQ(ziv_get_file_content(("/proc/self/fd/" + std::to_string(fds[0])).c_str()), nullptr);
    char back[8] = {};
    EXPECT_EQ(read(fds[0], back, sizeof(back)), 5);
    close(fds[0]);
    close(fds[1]);
}

TEST(FileUtil, NameTables)
{
    EXPECT_STREQ(ziv_get_trace_white_cmd("sed"), "sed");
    for (const char* n : {"arch", "sha256sum", "file", "install-info", "pkg-config", "zecho"}) {
        EXPECT_NE(ziv_get_trace_white_cmd(n), nullptr) << n;
    }
    for (const char* n : {"gcc", "Sed", "sed ", "se", "make", "sh", "", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(ziv_get_trace_white_cmd(n), nullptr) << (n ? n : "-");
    }
    for (const char* n : {"/usr/lib/libc.so", "/lib/x86_64-linux-gnu/libm.so.6", "/lib32", "/lib32x/a.so",
                          "/usr/local/lib64/x.a", "/usr/local/libexec/x", "/lib64/ld.so", "/usr/libx32/z"}) {
        EXPECT_EQ(ziv_is_sys_file(n), 1) << n;
    }
    for (const char* n : {"/opt/lib/x.so", "/usr/lib", "lib/x.so", "/usr/include/stdio.h", "/libfoo", "", "/lib",
                          static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(ziv_is_sys_file(n), 0) << (n ? n : "-");
    }
    const char* table[] = {"-MF", "-o", "-Wl,"};
    EXPECT_EQ(ziv_match_namelist(3, table, "-Wl,"), 1);
    EXPECT_EQ(ziv_match_namelist(3, table, "-MFdep.d") + ziv_match_namelist(3, table, "-M") +
                  ziv_match_namelist(3, table, "-mf") + ziv_match_namelist(2, table, "-Wl,") +
                  ziv_match_namelist(3, table, nullptr) + ziv_match_namelist(3, nullptr, "-o"),
              0);
}

TEST(FileUtil, AbsolutePathOfToolNames)
{
    temp_dir dir;
    char buf[PATH_MAX];
    const std::string real(realpath(dir.path().c_str(), buf));
    mkdir(dir.sub("bin").c_str(), 0755);
    write_file(dir.sub("ls"), "#!/bin/sh\n", 0755);
    write_file(dir.sub("bin/tool"), "#!/bin/sh\n", 0755);
    restore keep("PATH");
    ziv_test::in_dir here(dir.path());
    const struct {
        const char* path;  // PATH, null for unset
        std::string name;
        size_t length;
        std::string found;  // "-1" for a failure
    } cases[] = {
        {":/bin", "ls", 2, real + "/ls"},  // an empty element is the current directory, tried in order
        {"/bin:", "ls", 2, "/bin/ls"},
        {"/nonexistent:", "ls", 2, real + "/ls"},  // the element after the last ":" counts, empty or not
        {"/nonexistent:bin", "tool", 4, real + "/bin/tool"},  // relative element: resolved
        {"/nonexistent:/also-not", "ls", 2, "-1"},
        {nullptr, "ls", 2, "-1"},
        {nullptr, "/no/such/tool", 13, "/no/such/tool"},  // absolute names are taken as they are
        {nullptr, "./bin/../ls", 11, real + "/ls"},
        {nullptr, "bin/missing", 11, "-1"},
        {nullptr, "/usr/bin/xyz", 8, "/usr/bin"},  // only the given length counts
        {nullptr, "", 0, "-1"},
    };
    for (const auto& c : cases) {
        set_env("PATH", c.path);
        int rc = ziv_get_absolute_path(c.name.c_str(), c.length, buf, sizeof(buf));
        EXPECT_EQ(rc == 0 ? std::string(buf) : std::to_string(rc), c.found)
            << (c.path ? c.path : "unset") << " " << c.name;
    }
    // A buffer too small fails instead of overflowing.
    char tiny[4];
    EXPECT_EQ(ziv_get_absolute_path("./ls", 4, tiny, sizeof(tiny)), -1);
    EXPECT_EQ(ziv_get_absolute_path("/usr/bin/env", 12, tiny, sizeof(tiny)), -1);
    EXPECT_EQ(ziv_get_absolute_path(nullptr, 3, buf, sizeof(buf)), -1);
}

TEST(FileUtil, RecoverLdPreload)
{
    restore keep("LD_PRELOAD");
    const struct {
        const char* before;  // null for unset
        const char* after;
    } cases[] = {
        {"libziv_env.so other.so", "other.so"},
        // No separator is left behind the last entry kept.
        {"a.so libziv_env.so", "a.so"},
        {"a.so:/x/libziv_env.so:", "a.so"},
        {"libziv_env.so", nullptr},
        {"ziv_env.so", nullptr},
        {"a.so ziv_env.so b.so", "a.so b.so"},
        // With a directory, the whole entry goes, never half of a path.
        {"/opt/ziv/lib/libziv_env.so /usr/lib/other.so", "/usr/lib/other.so"},
        {"/opt/ziv/lib/libziv_env.so", nullptr},
        {"a.so:/x/libziv_env.so:b.so", "a.so:b.so"},  // colons separate entries too
        {"libziv_env.so libziv_env.so", nullptr},
        {"/opt/libziv_env.so.d/other.so", "/opt/libziv_env.so.d/other.so"},  // a directory is not the library
        {"a.so b.so", "a.so b.so"},
        {"", ""},
        {nullptr, nullptr},
    };
    for (const auto& c : cases) {
        set_env("LD_PRELOAD", c.before);
        ziv_recover_ldpreload();
        const char* now = getenv("LD_PRELOAD");
        EXPECT_STREQ(now, c.after) << (c.before ? c.before : "unset");
    }
}

// The command writes into a private file, removed afterwards.
TEST(FileUtil, CommandOutputAndShellQuoting)
{
    char buf[64] = {};
    EXPECT_EQ(ziv_get_cmd_callback_from_tmpfile("printf 0123456789", buf, 64), 0);
    EXPECT_STREQ(buf, "0123456789");
    memset(buf, 0, sizeof(buf));
    EXPECT_EQ(ziv_get_cmd_callback_from_tmpfile("printf 0123456789", buf, 10), 1);
    EXPECT_EQ(std::string(buf, 11), std::string("0123456789\0", 11));
    EXPECT_EQ(ziv_get_cmd_callback_from_tmpfile("true", buf, 10), 0);
    EXPECT_EQ(ziv_get_cmd_callback_from_tmpfile(nullptr, buf, 10), -1);
    EXPECT_EQ(ziv_get_cmd_callback_from_tmpfile("true", nullptr, 10), -1);
    memset(buf, 0, sizeof(buf));
    ASSERT_EQ(ziv_get_cmd_callback_from_tmpfile("readlink /proc/self/fd/1", buf, 63), 0);
    std::string capture(buf, strcspn(buf, "\n"));
    EXPECT_EQ(capture.rfind("/tmp/ziv_tmpfile.", 0), 0u) << capture;
    EXPECT_NE(access(capture.c_str(), F_OK), 0) << capture;

    // The hook tests show quoted names run nothing; a quoted name that does
    // not fit is refused, leaving an empty text.
    char small[6];
    EXPECT_FALSE(ziv_shell_quote("abcdef", small, sizeof(small)));
    EXPECT_STREQ(small, "");
    EXPECT_TRUE(ziv_shell_quote("abc", small, sizeof(small)));
    EXPECT_STREQ(small, "'abc'");
}

}  // namespace
