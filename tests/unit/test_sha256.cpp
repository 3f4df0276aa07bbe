// In-process SHA-256 against the system's sha256sum, with both compression
// paths.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "ziv_file_util.h"
#include "ziv_run.h"

namespace {

using ziv_test::temp_dir;
using ziv_test::write_file;

// sha256sum's digest of a file, run without any shell.
std::string reference_digest(const std::string& path)
{
    ziv_test::run_options o;
    o.exe = "/usr/bin/sha256sum";
    o.argv = {"sha256sum", "--", path};
    o.env = {"PATH=/usr/bin:/bin"};
    ziv_test::run_result r = ziv_test::run(o);
    EXPECT_EQ(r.exit_code, 0) << ziv_test::describe(r);
    return r.out.substr(0, 64);
}

std::string file_digest(const std::string& path, ziv_sha256_impl impl)
{
    char out[ZIV_SHA256_BUF_SIZE];
    memset(out, 'x', sizeof(out));
    int rc = ziv_sha256_file_hex(path.c_str(), out, sizeof(out), impl);
    EXPECT_EQ(rc, 0) << path;
    return rc == 0 ? std::string(out) : std::string();
}

std::vector<ziv_sha256_impl> impls()
{
    std::vector<ziv_sha256_impl> v = {ziv_sha256_impl::portable};
    if (ziv_sha256_have_shani()) {
        v.push_back(ziv_sha256_impl::shani);
    }
    return v;
}

std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) {
        c = static_cast<char>(gen());
    }
    return s;
}

TEST(Sha256, KnownVectors)
{
    // FIPS 180-4 examples: one block, two blocks, a million 'a'.
    struct {
        std::string data;
        const char* digest;
    } cases[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    };
    for (ziv_sha256_impl impl : impls()) {
        for (const auto& c : cases) {
            char out[ZIV_SHA256_BUF_SIZE];
            ASSERT_TRUE(ziv_sha256_buffer_hex(c.data.data(), c.data.size(), out, impl));
            EXPECT_STREQ(out, c.digest) << "length " << c.data.size() << " impl " << static_cast<int>(impl);
        }
    }
}

TEST(Sha256, FilesMatchSha256sumAtBlockBoundaries)
{
    temp_dir dir;
    // 55/56 and 63/64/65 bytes are where the padding needs one or two
    // blocks; 1 MiB + 3 crosses the read buffer. Names with shell
    // characters must run nothing.
    std::vector<size_t> sizes = {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 1 << 20, (1 << 20) + 3};
    const std::string names[] = {"x;touch pwned.c", "a b", "it's", "$(touch pwned2)", "`touch pwned3`", "q\"uote"};
    unsigned seed = 1;
    for (size_t n : sizes) {
        std::string path = dir.sub(std::to_string(n) + names[seed % 6]);
        write_file(path, random_bytes(n, seed++));
        std::string want = reference_digest(path);
        ASSERT_EQ(want.size(), 64u);
        for (ziv_sha256_impl impl : impls()) {
            EXPECT_EQ(file_digest(path, impl), want) << n << " bytes, impl " << static_cast<int>(impl);
        }
        EXPECT_EQ(file_digest(path, ziv_sha256_impl::automatic), want);
    }
    for (const char* left : {"pwned.c", "pwned2", "pwned3"}) {
        EXPECT_NE(access(dir.sub(left).c_str(), F_OK), 0) << left;
        EXPECT_NE(access(left, F_OK), 0) << left;
    }
}

TEST(Sha256, CompressionPathsAgreeOnRandomLengths)
{
    if (!ziv_sha256_have_shani()) {
        GTEST_SKIP() << "this CPU has no SHA instructions; the portable path is checked against sha256sum";
    }
    std::mt19937 gen(7);
    for (int i = 0; i < 300; ++i) {
        size_t n = gen() % 2000;
        std::string data = random_bytes(n, static_cast<unsigned>(i) + 100);
        char a[ZIV_SHA256_BUF_SIZE];
        char b[ZIV_SHA256_BUF_SIZE];
        ASSERT_TRUE(ziv_sha256_buffer_hex(data.data(), n, a, ziv_sha256_impl::portable));
        ASSERT_TRUE(ziv_sha256_buffer_hex(data.data(), n, b, ziv_sha256_impl::shani));
        ASSERT_STREQ(a, b) << "length " << n;
    }
}

TEST(Sha256, BufferOf64BytesIsFilledWithoutTerminator)
{
    // The trace record passes a zeroed 65-byte buffer with size 64.
    temp_dir dir;
    write_file(dir.sub("a"), "abc");
    char out[ZIV_SHA256_BUF_SIZE];
    memset(out, '#', sizeof(out));
    ASSERT_EQ(ziv_sha256_file_hex(dir.sub("a").c_str(), out, 64), 0);
    EXPECT_EQ(std::string(out, 64), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(out[64], '#');

    char small[ZIV_SHA256_BUF_SIZE];
    memset(small, '#', sizeof(small));
    EXPECT_EQ(ziv_sha256_file_hex(dir.sub("a").c_str(), small, 63), -1);
    EXPECT_EQ(small[0], '\0');
}

TEST(Sha256, UnreadableMissingAndOddFilesGiveEmpty)
{
    temp_dir dir;
    std::string fifo = dir.sub("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    write_file(dir.sub("plain"), "x");
    const std::string names[] = {
        dir.sub("missing"), dir.path(), fifo, "/dev/zero", dir.sub("plain") + "/below", "",
        "/proc/self/mem",  // a regular file whose reads fail
    };
    for (const std::string& name : names) {
        char out[ZIV_SHA256_BUF_SIZE];
        memset(out, '#', sizeof(out));
        EXPECT_EQ(ziv_sha256_file_hex(name.c_str(), out, sizeof(out)), -1) << name;
        EXPECT_EQ(out[0], '\0') << name;
    }
    char out[ZIV_SHA256_BUF_SIZE] = "#";
    EXPECT_EQ(ziv_sha256_file_hex(nullptr, out, sizeof(out)), -1);
    EXPECT_EQ(out[0], '\0');
}

TEST(Sha256, FileWithoutReadPermissionGivesEmpty)
{
    temp_dir dir;
    std::string secret = dir.sub("secret");
    write_file(secret, "hidden", 0600);
    chmod(dir.path().c_str(), 0755);
    // Root reads everything: check as an unprivileged user in a child.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && setresuid(65534, 65534, 65534) != 0) {
            _exit(3);
        }
        char out[ZIV_SHA256_BUF_SIZE] = "#";
        int rc = ziv_sha256_file_hex(secret.c_str(), out, sizeof(out));
        _exit(rc == -1 && out[0] == '\0' ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
