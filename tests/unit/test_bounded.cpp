// Unit tests of the bounded functions.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ziv_bounded.h"

namespace {
constexpr size_t kHuge = ZIV_SECUREC_MAX + 1;
bool all_bytes(const void* p, size_t n, unsigned char v) {
    for (size_t i = 0; i < n; ++i)
        if (static_cast<const unsigned char*>(p)[i] != v) return false;
    return true;
}
}  // namespace

TEST(Bounded, BadDestinationLeftUntouched) {
    char d[8] = "keep";
    for (size_t sz : {size_t{0}, kHuge}) {
        EXPECT_EQ(memcpy_s(d, sz, "a", 0), ZIV_ERANGE);  // also with count 0
        EXPECT_EQ(memmove_s(d, sz, "a", 1), ZIV_ERANGE);
        EXPECT_EQ(strcpy_s(d, sz, "a"), ZIV_ERANGE);
        EXPECT_EQ(strncpy_s(d, sz, "a", 1), ZIV_ERANGE);
        EXPECT_EQ(strcat_s(d, sz, "a"), ZIV_ERANGE);
    }
    EXPECT_EQ(memset_s(d, kHuge, 0, 1), ZIV_ERANGE);
    EXPECT_EQ(memset_s(d, 0, 0, 1), ZIV_ERANGE);
    EXPECT_EQ(memset_s(d, 0, 0, 0), EOK);
    EXPECT_EQ(memcpy_s(nullptr, 4, "a", 1), ZIV_EINVAL);
    EXPECT_EQ(strcat_s(nullptr, 4, "a"), ZIV_EINVAL);
    EXPECT_STREQ(d, "keep");
}

TEST(Bounded, MemoryFailuresClearWholeSize) {
    unsigned char d[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(memcpy_s(d, 4, "abcdefgh", 0), EOK);
    EXPECT_EQ(d[0], 1);
    EXPECT_EQ(memcpy_s(d, 4, "abcdefgh", 8), ERANGE_CLEARED);
    EXPECT_TRUE(all_bytes(d, 4, 0));
    EXPECT_EQ(d[4], 5);  // nothing beyond the declared size
    memset(d, 7, 4);
    EXPECT_EQ(memmove_s(d, 4, nullptr, 1), EINVAL_CLEARED);
    EXPECT_TRUE(all_bytes(d, 4, 0));
    EXPECT_EQ(memset_s(d, 4, 0xAB, 10), ERANGE_CLEARED);  // fills, not clears
    EXPECT_TRUE(all_bytes(d, 4, 0xAB));
    EXPECT_EQ(d[4], 5);
}

TEST(Bounded, MemcpyOverlapVersusMemmove) {
    char a[11] = "abcdefghij";
    EXPECT_EQ(memmove_s(a + 2, 8, a, 5), EOK);
    EXPECT_EQ(memcmp(a, "ababcdehij", 10), 0);
    memcpy(a, "abcdefghij", 10);
    EXPECT_EQ(memcpy_s(a + 2, 8, a, 5), EOVERLAP_CLEARED);
    EXPECT_TRUE(all_bytes(a + 2, 8, 0));
    memcpy(a, "abcdefghij", 10);
    EXPECT_EQ(memcpy_s(a, 3, a + 3, 3), EOK);  // adjacent areas are fine
    EXPECT_EQ(memcmp(a, "defdef", 6), 0);
    EXPECT_EQ(memcpy_s(a, 10, a, 10), EOK);  // equal pointers
}

TEST(Bounded, StringCopies) {
    char d[8] = "xxxxxxx";
    EXPECT_EQ(strcpy_s(d, 4, "abcd"), ERANGE_CLEARED);
    EXPECT_EQ(d[0], '\0');
    EXPECT_EQ(d[1], 'x');  // string functions clear only the first byte
    EXPECT_EQ(strcpy_s(d, 5, "abcd"), EOK);
    EXPECT_STREQ(d, "abcd");
    EXPECT_EQ(strncpy_s(d, 8, "0123456789", 3), EOK);
    EXPECT_STREQ(d, "012");
    EXPECT_EQ(strncpy_s(d, 8, "0123456789", 8), ERANGE_CLEARED);
    EXPECT_STREQ(d, "");
    EXPECT_EQ(strncpy_s(d, 8, "abcdefg", 100), EOK);  // count >= size, text fits
    EXPECT_STREQ(d, "abcdefg");
    EXPECT_EQ(strncpy_s(d, 8, "x", kHuge), ERANGE_CLEARED);
    EXPECT_EQ(strcpy_s(d, 8, "ab"), EOK);
    EXPECT_EQ(strncpy_s(d, 8, "abc", 0), EOK);
    EXPECT_STREQ(d, "");
}

TEST(Bounded, StringOverlapCountsOnlyBytesTouched) {
    char b[16] = "0123456789";
    EXPECT_EQ(strcpy_s(b, 16, b), EOK);          // equal and fits
    EXPECT_EQ(strcpy_s(b, 10, b + 7), EOK);  // writes b[0..3], reads b[7..10]
    EXPECT_STREQ(b, "789");
    memcpy(b, "0123456789", 11);
    EXPECT_EQ(strcpy_s(b + 2, 14, b), EOVERLAP_CLEARED);
    EXPECT_EQ(b[2], '\0');
    EXPECT_EQ(b[3], '3');
    // strncpy_s stopping at count does not read the next byte...
    memcpy(b, "0123456789", 11);
    EXPECT_EQ(strncpy_s(b + 2, 6, b, 2), EOK);
    EXPECT_STREQ(b, "0101");
    // ...but a text ending before count has its terminator read.
    memcpy(b, "01\0\0\0\0", 6);
    EXPECT_EQ(strncpy_s(b + 2, 6, b, 5), EOVERLAP_CLEARED);
    // strcat_s: a source inside the text shares the terminator.
    strcpy(b, "abc");
    EXPECT_EQ(strcat_s(b, 16, b + 1), EOVERLAP_CLEARED);
    EXPECT_EQ(b[0], '\0');
    memcpy(b, "ab\0\0\0\0\0\0\0\0xy", 13);
    EXPECT_EQ(strcat_s(b, 10, b + 10), EOK);
    EXPECT_STREQ(b, "abxy");
}

TEST(Bounded, Strcat) {
    char d[8] = "ab";
    EXPECT_EQ(strcat_s(d, 8, "cdefg"), EOK);  // exactly fills
    EXPECT_STREQ(d, "abcdefg");
    strcpy(d, "abcde");
    EXPECT_EQ(strcat_s(d, 8, "fgh"), ERANGE_CLEARED);
    EXPECT_STREQ(d, "");
    char raw[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(strcat_s(raw, 4, "x"), EINVAL_CLEARED);
    EXPECT_EQ(raw[0], '\0');
}

TEST(Bounded, Sprintf) {
    char d[8] = "zzzzzzz";
    EXPECT_EQ(sprintf_s(d, 6, "%s%s", "abc", "de"), 5);
    EXPECT_STREQ(d, "abcde");
    EXPECT_EQ(sprintf_s(d, 5, "%s%s", "abc", "de"), -1);
    EXPECT_STREQ(d, "");
    strcpy(d, "keep");
    EXPECT_EQ(sprintf_s(d, 8, nullptr), -1);
    EXPECT_STREQ(d, "");
    strcpy(d, "keep");
    EXPECT_EQ(sprintf_s(d, 0, "%d", 1), -1);
    EXPECT_STREQ(d, "keep");
    EXPECT_EQ(sprintf_s(nullptr, 8, "%d", 1), -1);
    // record_message: successive offsets, remaining size as the limit.
    const unsigned char bytes[3] = {0x00, 0xff, 0x10};
    char out[7];
    for (int i = 0; i < 3; ++i) ASSERT_EQ(sprintf_s(out + 2 * i, 7 - 2 * i, "%02x", bytes[i]), 2);
    EXPECT_STREQ(out, "00ff10");
}

TEST(Bounded, Scanners) {
    long v[6] = {0, 0, 0, 0, 0, 0};
    const char* six = "%ld,%ld,%ld,%ld,%ld,%ld";
    EXPECT_EQ(sscanf_s("5,10", six, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]), 2);
    EXPECT_EQ(v[1], 10);
    EXPECT_EQ(sscanf_s("", six, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]), EOF);
    EXPECT_EQ(sscanf_s("5,10", six, &v[0], &v[1], &v[2], nullptr, &v[4], &v[5]), EOF);
    EXPECT_EQ(v[0], 5);
    int ppid = -5;
    EXPECT_EQ(sscanf_s("1234 (cc1) S 987 1234 0", "%*d %*s %*c %d ", &ppid), 1);
    EXPECT_EQ(ppid, 987);
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    fputs("42 (make) R 17\n", f);
    rewind(f);
    EXPECT_EQ(fscanf_s(f, "%*d %*s %*c %d ", &ppid), 1);
    EXPECT_EQ(ppid, 17);
    EXPECT_EQ(fscanf_s(f, "%d", &ppid), EOF);  // at end of input
    fclose(f);
}

// A trailing null after the real arguments is ignored by the C library; the
// format walk must not take it for a result pointer.
TEST(Bounded, ScannerFormatWalk) {
    long long ll = 0;
    int n = 0;
    char set[8];
    EXPECT_EQ(sscanf_s("7 % 8 9", "%*d %% %*5hhd %lld%n", &ll, &n, nullptr), 1);
    EXPECT_EQ(n, 7);
    EXPECT_EQ(sscanf_s("]%d", "%7[]%d]%n", set, &n, nullptr), 1);  // ']' first is a member
    EXPECT_STREQ(set, "]%d");
    EXPECT_EQ(sscanf_s("5", "%lld%n", &ll, nullptr), EOF);  // %n stores too
}

TEST(Bounded, AllocationHelpers) {
    EXPECT_EQ(ziv_malloc_and_init(0), nullptr);
    void* p = ziv_malloc_and_init(64);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(all_bytes(p, 64, 0));
    free(p);
    EXPECT_EQ(ziv_copy_string(nullptr), nullptr);
    const char text[] = "gcc -c a.c";
    char* c = ziv_copy_string(text);
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c, text);
    free(c);
}
