// Content types decided in the process, checked against what the real
// `file -b -L -i` answers for the same files.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ziv_file_util.h"
#include "ziv_run.h"

namespace {

using ziv_test::write_file;

ziv_test::run_result run_tool(std::vector<std::string> argv, const std::string& cwd = "")
{
    ziv_test::run_options o;
    o.exe = "/usr/bin/" + argv[0];
    o.argv = std::move(argv);
    o.env = {"PATH=/usr/bin:/bin"};
    o.cwd = cwd;
    return ziv_test::run(o);
}

TEST(FileType, AgreesWithTheFileCommand)
{
    ziv_test::temp_dir dir;
    const std::string d = dir.path() + "/";
    write_file(d + "lib.c", "int f(void) { return 1; }\n");
    write_file(d + "main.c", "int main(void) { return 0; }\n");
    write_file(d + "build.sh", "#!/bin/sh\necho built\n", 0755);
    write_file(d + "libgroup.so", "/* GNU ld script */\nOUTPUT_FORMAT(elf64-x86-64)\nGROUP ( libc.so.6 )\n");
    write_file(d + "latin1.txt", "caf\xe9 cr\xe8me\n");
    write_file(d + "utf16.txt", std::string("\xff\xfeh\0i\0\n\0", 8));
    write_file(d + "binary.dat", std::string("\x01\x02\x00\x03text", 8));
    write_file(d + "empty", "");
    // `file` decides on the first 64 KiB; a NUL after that does not count.
    std::string text(70000, 'a');
    text[69000] = '\0';
    write_file(d + "late_nul.txt", text);
    text[1000] = '\0';
    write_file(d + "early_nul.txt", text);
    const std::vector<std::string> builds[] = {
        {"gcc", "-c", "-fPIC", "lib.c", "-o", "lib.o"},    {"gcc", "-shared", "lib.o", "-o", "libreal.so"},
        {"gcc", "-shared", "-Wl,-z,nodelete", "lib.o", "-o", "libflags.so"},
        {"ar", "rcs", "libarch.a", "lib.o"},               {"ar", "rcsT", "libthin.a", "lib.o"},
        {"gcc", "-pie", "-fPIE", "main.c", "-o", "pie"}, {"gcc", "-no-pie", "main.c", "-o", "nopie"}};
    for (const auto& argv : builds) {
        ziv_test::run_result r = run_tool(argv, d);
        ASSERT_EQ(r.exit_code, 0) << ziv_test::describe(r);
    }
    ASSERT_EQ(symlink("libreal.so", (d + "libreal.so.1").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (d + "dangling").c_str()), 0);
    mkdir((d + "dir.so").c_str(), 0755);

    const struct {
        std::string path;
        int expected;
    } cases[] = {
        {d + "lib.c", ZIV_CONTENT_TEXT},         {d + "build.sh", ZIV_CONTENT_TEXT},
        {d + "libgroup.so", ZIV_CONTENT_TEXT},  // a linker script behind a library name
        {d + "latin1.txt", ZIV_CONTENT_TEXT},    {d + "utf16.txt", ZIV_CONTENT_TEXT},
        {d + "binary.dat", ZIV_CONTENT_OTHER},   {d + "late_nul.txt", ZIV_CONTENT_TEXT},
        {d + "early_nul.txt", ZIV_CONTENT_OTHER}, {d + "libreal.so", ZIV_CONTENT_LIBRARY},
        {d + "libflags.so", ZIV_CONTENT_LIBRARY},   // has DT_FLAGS_1, without the PIE bit
        {d + "libreal.so.1", ZIV_CONTENT_LIBRARY},  // symbolic link followed
        {"/lib/x86_64-linux-gnu/libc.so.6", ZIV_CONTENT_LIBRARY},
        {"/usr/lib/x86_64-linux-gnu/libc.so", ZIV_CONTENT_TEXT},
        {d + "libarch.a", ZIV_CONTENT_LIBRARY},  {d + "lib.o", ZIV_CONTENT_OTHER},
        {d + "pie", ZIV_CONTENT_OTHER},  // ET_DYN too, but DF_1_PIE: "x-pie-executable"
        {d + "nopie", ZIV_CONTENT_OTHER},        {d + "empty", ZIV_CONTENT_OTHER},
        {d + "dir.so", ZIV_CONTENT_OTHER},       {"/dev/null", ZIV_CONTENT_OTHER},
    };
    for (const auto& c : cases) {
        std::string mime = run_tool({"file", "-b", "-L", "-i", "--", c.path}).out;
        int from_file = mime.rfind("text", 0) == 0                              ? ZIV_CONTENT_TEXT
                        : mime.rfind("application/x-sharedlib", 0) == 0 ||
                                  mime.rfind("application/x-archive", 0) == 0 ? ZIV_CONTENT_LIBRARY
                                                                                : ZIV_CONTENT_OTHER;
        EXPECT_EQ(from_file, c.expected) << c.path << ": file says " << mime;
        EXPECT_EQ(ziv_get_file_type(c.path.c_str()), c.expected) << c.path << ": file says " << mime;
    }
    // `file` 5.44 does not know thin archives ("application/octet-stream"),
    // but for the linker they are archives like any other.
    EXPECT_EQ(ziv_get_file_type((d + "libthin.a").c_str()), ZIV_CONTENT_LIBRARY);
    for (const std::string& path : {d + "missing", d + "dangling", std::string()}) {
        EXPECT_EQ(ziv_get_file_type(path.c_str()), ZIV_CONTENT_OTHER) << path;
    }
    EXPECT_EQ(ziv_get_file_type(nullptr), ZIV_CONTENT_OTHER);

    // Names with shell characters are read as they are and run nothing.
    const struct {
        std::string name;
        int type;
    } named[] = {
        {"x;touch pwned.c", ZIV_FILE_C_SOURCE},
        {"a b.so", ZIV_FILE_LIBRARY},
        {"it's.sh", ZIV_FILE_TEXT},          // unknown suffix: decided by content
        {"$(touch pwned2)", ZIV_FILE_TEXT},  // the last dot is the directory's: content decides
    };
    for (const auto& c : named) {
        write_file(d + c.name, "#!/bin/sh\n");
        EXPECT_EQ(ziv_get_file_type((d + c.name).c_str()), ZIV_CONTENT_TEXT) << c.name;
        EXPECT_EQ(ziv_input_file_type((d + c.name).c_str()), c.type) << c.name;
    }
    for (const char* left : {"pwned.c", "pwned2"}) {
        EXPECT_TRUE(access((d + left).c_str(), F_OK) != 0 && access(left, F_OK) != 0) << left;
    }
}

}  // namespace
