// In-process SHA-256 against the system's sha256sum, with both compression
// paths, at the lengths where padding takes one or two blocks.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "ziv_file_util.h"
#include "ziv_run.h"

namespace {

using ziv_test::temp_dir;

std::vector<ziv_sha256_impl> impls()
{
    std::vector<ziv_sha256_impl> v = {ziv_sha256_impl::automatic, ziv_sha256_impl::portable};
    if (ziv_sha256_have_shani()) {
        v.push_back(ziv_sha256_impl::shani);
    }
    return v;
}

// The digest, or "-1" with the first byte of `out` checked to be cleared.
std::string file_digest(const std::string& path, ziv_sha256_impl impl = ziv_sha256_impl::automatic)
{
    char out[ZIV_SHA256_BUF_SIZE];
    memset(out, '#', sizeof(out));
    int rc = ziv_sha256_file_hex(path.c_str(), out, sizeof(out), impl);
    return rc == 0 ? std::string(out) : out[0] == '\0' ? std::to_string(rc) : "not cleared";
}

TEST(Sha256, FilesMatchSha256sumAtBlockBoundaries)
{
    temp_dir dir;
    // 55/56 and 63/64/65 bytes are where the padding needs one or two
    // blocks; 1 MiB + 3 crosses the read buffer. Names with shell
    // characters must run nothing.
    const size_t sizes[] = {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 1 << 20, (1 << 20) + 3};
    const std::string names[] = {"x;touch pwned.c", "a b", "it's", "$(touch pwned2)", "`touch pwned3`", "q\"uote"};
    std::mt19937 gen(1);
    for (size_t i = 0; i < std::size(sizes); ++i) {
        std::string path = dir.sub(std::to_string(sizes[i]) + names[i % 6]), data(sizes[i], '\0');
        for (char& c : data) {
            c = static_cast<char>(gen());
        }
        ziv_test::write_file(path, data);
        const std::string want = ziv_test::sha256_of(path);
        ASSERT_EQ(want.size(), 64u) << want;
        for (ziv_sha256_impl impl : impls()) {
            char in_memory[ZIV_SHA256_BUF_SIZE];
            ASSERT_TRUE(ziv_sha256_buffer_hex(data.data(), data.size(), in_memory, impl));
            EXPECT_EQ(file_digest(path, impl), want) << sizes[i] << " impl " << static_cast<int>(impl);
            EXPECT_EQ(in_memory, want) << sizes[i] << " impl " << static_cast<int>(impl);
        }
    }
    for (const char* left : {"pwned.c", "pwned2", "pwned3"}) {
        EXPECT_NE(access(dir.sub(left).c_str(), F_OK), 0) << left;
    }
}

TEST(Sha256, UnreadableMissingAndOddFilesGiveEmpty)
{
    temp_dir dir;
    ASSERT_EQ(mkfifo(dir.sub("fifo").c_str(), 0644), 0);
    ziv_test::write_file(dir.sub("plain"), "abc");
    for (const std::string& name : {dir.sub("missing"), dir.path(), dir.sub("fifo"), std::string("/dev/zero"),
                                    dir.sub("plain/below"), std::string(),
                                    std::string("/proc/self/mem")}) {  // a regular file whose reads fail
        EXPECT_EQ(file_digest(name), "-1") << name;
    }
    char out[ZIV_SHA256_BUF_SIZE] = "#";
    EXPECT_EQ(ziv_sha256_file_hex(nullptr, out, sizeof(out)), -1);
    EXPECT_EQ(out[0], '\0');

    // The trace record passes a zeroed 65-byte buffer with size 64: filled
    // without terminator. One byte less is refused.
    memset(out, '#', sizeof(out));
    ASSERT_EQ(ziv_sha256_file_hex(dir.sub("plain").c_str(), out, 64), 0);
    EXPECT_EQ(std::string(out, 65), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad#");
    EXPECT_EQ(ziv_sha256_file_hex(dir.sub("plain").c_str(), out, 63), -1);
    EXPECT_EQ(out[0], '\0');

    // Root reads everything: check a file without read permission as an
    // unprivileged user in a child.
    ziv_test::write_file(dir.sub("secret"), "hidden", 0600);
    chmod(dir.path().c_str(), 0755);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && setresuid(65534, 65534, 65534) != 0) {
            _exit(3);
        }
        _exit(file_digest(dir.sub("secret")) == "-1" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
