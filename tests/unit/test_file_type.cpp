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

using ziv_test::temp_dir;
using ziv_test::write_file;

ziv_test::run_result run_tool(const std::string& exe, std::vector<std::string> argv, const std::string& cwd = "")
{
    ziv_test::run_options o;
    o.exe = exe;
    o.argv = std::move(argv);
    o.env = {"PATH=/usr/bin:/bin"};
    o.cwd = cwd;
    return ziv_test::run(o);
}

std::string file_mime(const std::string& path)
{
    ziv_test::run_result r = run_tool("/usr/bin/file", {"file", "-b", "-L", "-i", "--", path});
    EXPECT_EQ(r.exit_code, 0) << ziv_test::describe(r);
    return r.out;
}

// The reduction the tracing side makes of `file`'s answer.
int from_mime(const std::string& mime)
{
    if (mime.rfind("text", 0) == 0) {
        return ZIV_CONTENT_TEXT;
    }
    if (mime.rfind("application/x-sharedlib", 0) == 0 || mime.rfind("application/x-archive", 0) == 0) {
        return ZIV_CONTENT_LIBRARY;
    }
    return ZIV_CONTENT_OTHER;
}

void build(const std::vector<std::string>& argv, const std::string& cwd)
{
    std::string exe = argv[0] == "gcc" ? "/usr/bin/gcc" : "/usr/bin/ar";
    ziv_test::run_result r = run_tool(exe, argv, cwd);
    ASSERT_EQ(r.exit_code, 0) << ziv_test::describe(r);
}

class FileType : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new temp_dir;
        const std::string d = dir_->path();
        write_file(d + "/lib.c", "int f(void) { return 1; }\n");
        write_file(d + "/main.c", "int main(void) { return 0; }\n");
        write_file(d + "/build.sh", "#!/bin/sh\necho built\n", 0755);
        write_file(d + "/libgroup.so", "/* GNU ld script */\nOUTPUT_FORMAT(elf64-x86-64)\nGROUP ( libc.so.6 libc_nonshared.a )\n");
        write_file(d + "/latin1.txt", "caf\xe9 cr\xe8me\n");
        write_file(d + "/utf16.txt", std::string("\xff\xfeh\0i\0\n\0", 8));
        write_file(d + "/binary.dat", std::string("\x01\x02\x00\x03text", 8));
        write_file(d + "/empty", "");
        // `file` decides on the first 64 KiB; a NUL after that does not count.
        std::string text(70000, 'a');
        text[69000] = '\0';
        write_file(d + "/late_nul.txt", text);
        text[1000] = '\0';
        write_file(d + "/early_nul.txt", text);
        build({"gcc", "-c", "-fPIC", "lib.c", "-o", "lib.o"}, d);
        build({"gcc", "-shared", "lib.o", "-o", "libreal.so"}, d);
        build({"gcc", "-shared", "-Wl,-z,nodelete", "lib.o", "-o", "libflags.so"}, d);
        build({"ar", "rcs", "libarch.a", "lib.o"}, d);
        build({"ar", "rcsT", "libthin.a", "lib.o"}, d);
        build({"gcc", "-pie", "-fPIE", "main.c", "-o", "pie"}, d);
        build({"gcc", "-no-pie", "main.c", "-o", "nopie"}, d);
        ASSERT_EQ(symlink("libreal.so", (d + "/libreal.so.1").c_str()), 0);
        ASSERT_EQ(symlink("nowhere", (d + "/dangling").c_str()), 0);
        mkdir((d + "/dir.so").c_str(), 0755);
    }
    static void TearDownTestSuite()
    {
        delete dir_;
        dir_ = nullptr;
    }
    static std::string at(const std::string& name) { return dir_->sub(name); }
    static temp_dir* dir_;
};

temp_dir* FileType::dir_ = nullptr;

TEST_F(FileType, AgreesWithTheFileCommand)
{
    struct {
        std::string path;
        int expected;
    } cases[] = {
        {at("lib.c"), ZIV_CONTENT_TEXT},
        {at("build.sh"), ZIV_CONTENT_TEXT},
        {at("libgroup.so"), ZIV_CONTENT_TEXT},  // a linker script behind a library name
        {at("latin1.txt"), ZIV_CONTENT_TEXT},
        {at("utf16.txt"), ZIV_CONTENT_TEXT},
        {at("binary.dat"), ZIV_CONTENT_OTHER},
        {at("late_nul.txt"), ZIV_CONTENT_TEXT},
        {at("early_nul.txt"), ZIV_CONTENT_OTHER},
        {at("libreal.so"), ZIV_CONTENT_LIBRARY},
        {at("libflags.so"), ZIV_CONTENT_LIBRARY},   // has DT_FLAGS_1, without the PIE bit
        {at("libreal.so.1"), ZIV_CONTENT_LIBRARY},  // symbolic link followed
        {"/lib/x86_64-linux-gnu/libc.so.6", ZIV_CONTENT_LIBRARY},
        {"/usr/lib/x86_64-linux-gnu/libc.so", ZIV_CONTENT_TEXT},
        {at("libarch.a"), ZIV_CONTENT_LIBRARY},
        {at("lib.o"), ZIV_CONTENT_OTHER},
        {at("pie"), ZIV_CONTENT_OTHER},  // ET_DYN too, but DF_1_PIE: "x-pie-executable"
        {at("nopie"), ZIV_CONTENT_OTHER},
        {at("empty"), ZIV_CONTENT_OTHER},
        {at("dir.so"), ZIV_CONTENT_OTHER},
        {"/dev/null", ZIV_CONTENT_OTHER},
    };
    for (const auto& c : cases) {
        if (access(c.path.c_str(), F_OK) != 0) {
            ADD_FAILURE() << "missing test input " << c.path;
            continue;
        }
        std::string mime = file_mime(c.path);
        EXPECT_EQ(from_mime(mime), c.expected) << c.path << ": file says " << mime;
        EXPECT_EQ(ziv_get_file_type(c.path.c_str()), c.expected) << c.path << ": file says " << mime;
    }
    // `file` 5.44 does not know thin archives ("application/octet-stream"),
    // but for the linker they are archives like any other.
    EXPECT_EQ(ziv_get_file_type(at("libthin.a").c_str()), ZIV_CONTENT_LIBRARY);
    for (const std::string& path : {at("missing"), at("dangling"), std::string()}) {
        EXPECT_EQ(ziv_get_file_type(path.c_str()), ZIV_CONTENT_OTHER) << path;
    }
    EXPECT_EQ(ziv_get_file_type(nullptr), ZIV_CONTENT_OTHER);
}

TEST_F(FileType, NamesWithShellCharactersRunNothing)
{
    const struct {
        std::string name;
        int type;
    } cases[] = {
        {"x;touch pwned.c", ZIV_FILE_C_SOURCE},
        {"a b.so", ZIV_FILE_LIBRARY},
        {"it's.sh", ZIV_FILE_TEXT},  // unknown suffix: decided by content
        // The test directory's own dot is the last one: content decides.
        {"$(touch pwned2)", ZIV_FILE_TEXT},
    };
    for (const auto& c : cases) {
        write_file(at(c.name), "#!/bin/sh\n");
        EXPECT_EQ(ziv_get_file_type(at(c.name).c_str()), ZIV_CONTENT_TEXT) << c.name;
        EXPECT_EQ(ziv_input_file_type(at(c.name).c_str()), c.type) << c.name;
    }
    EXPECT_NE(access(at("pwned.c").c_str(), F_OK), 0);
    EXPECT_NE(access("pwned.c", F_OK), 0);
    EXPECT_NE(access("pwned2", F_OK), 0);
}

}  // namespace
