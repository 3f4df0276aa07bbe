// The bounded functions: result codes and what the destination holds after
// each call.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ziv_bounded.h"

namespace {

constexpr size_t kHuge = ZIV_SECUREC_MAX + 1;
std::string bytes(const char* text, size_t n) { return std::string(text, n); }

// Each call works on a 24-byte buffer holding `before` (zero-filled after
// it); `after` is compared with as many leading bytes of the buffer.
// Memory functions clear (or fill) the whole declared size, string
// functions only the first byte; overlap counts only bytes read or written.
TEST(Bounded, ResultCodesAndDestinations)
{
    const struct {
        const char* before;
        int (*call)(char* b);
        int rc;
        std::string after;
    } cases[] = {
        {"0123", [](char* b) { return memcpy_s(b, 4, "abcdefgh", 0); }, EOK, "0123"},
        {"0123456", [](char* b) { return memcpy_s(b, 4, "abcdefgh", 8); }, ERANGE_CLEARED, bytes("\0\0\0\0" "456", 8)},
        {"0123456", [](char* b) { return memmove_s(b, 4, nullptr, 1); }, EINVAL_CLEARED, bytes("\0\0\0\0" "4", 5)},
        {"0123456", [](char* b) { return memset_s(b, 4, 'A', 10); }, ERANGE_CLEARED, "AAAA456"},
        {"abcdefghij", [](char* b) { return memmove_s(b + 2, 8, b, 5); }, EOK, "ababcdehij"},
        {"abcdefghij", [](char* b) { return memcpy_s(b + 2, 8, b, 5); }, EOVERLAP_CLEARED, "ab" + std::string(9, 0)},
        {"abcdefghij", [](char* b) { return memcpy_s(b, 3, b + 3, 3); }, EOK, "defdefghij"},  // adjacent areas
        {"abcdefghij", [](char* b) { return memcpy_s(b, 10, b, 10); }, EOK, "abcdefghij"},     // equal pointers
        {"xxxxxxx", [](char* b) { return strcpy_s(b, 4, "abcd"); }, ERANGE_CLEARED, bytes("\0xxx", 4)},
        {"xxxxxxx", [](char* b) { return strcpy_s(b, 5, "abcd"); }, EOK, bytes("abcd\0xx", 7)},
        {"xxxxxxx", [](char* b) { return strncpy_s(b, 8, "0123456789", 3); }, EOK, bytes("012\0xxx", 7)},
        {"xxxxxxx", [](char* b) { return strncpy_s(b, 8, "0123456789", 8); }, ERANGE_CLEARED, bytes("\0xx", 3)},
        {"xxxxxxx", [](char* b) { return strncpy_s(b, 8, "abcdefg", 100); }, EOK, bytes("abcdefg", 8)},  // text fits
        {"xxxxxxx", [](char* b) { return strncpy_s(b, 8, "x", kHuge); }, ERANGE_CLEARED, bytes("\0x", 2)},
        {"xxxxxxx", [](char* b) { return strncpy_s(b, 8, "abc", 0); }, EOK, bytes("\0x", 2)},
        {"ab", [](char* b) { return strcat_s(b, 8, "cdefg"); }, EOK, bytes("abcdefg", 8)},  // exactly fills
        {"abcde", [](char* b) { return strcat_s(b, 8, "fgh"); }, ERANGE_CLEARED, bytes("\0bcde", 5)},
        {"abcd", [](char* b) { return strcat_s(b, 4, "x"); }, EINVAL_CLEARED, bytes("\0bcd", 4)},  // no terminator
        {"0123456789", [](char* b) { return strcpy_s(b, 16, b); }, EOK, "0123456789"},
        {"0123456789", [](char* b) { return strcpy_s(b, 10, b + 7); }, EOK, bytes("789\0" "456789", 10)},
        {"0123456789", [](char* b) { return strcpy_s(b + 2, 14, b); }, EOVERLAP_CLEARED, bytes("01\0" "3", 4)},
        {"0123456789", [](char* b) { return strncpy_s(b + 2, 6, b, 2); }, EOK, bytes("0101\0", 5)},  // reads no further
        {"01", [](char* b) { return strncpy_s(b + 2, 6, b, 5); }, EOVERLAP_CLEARED, bytes("01\0", 3)},  // reads the end
        {"abc", [](char* b) { return strcat_s(b, 16, b + 1); }, EOVERLAP_CLEARED, bytes("\0bc", 3)},  // shares the end
        {"ab", [](char* b) { return strcat_s(b, 10, strcpy(b + 10, "xy")); }, EOK, bytes("abxy\0", 5)},
        {"zzzzzzz", [](char* b) { return sprintf_s(b, 6, "%s%s", "abc", "de"); }, 5, bytes("abcde\0z", 7)},
        {"zzzzzzz", [](char* b) { return sprintf_s(b, 5, "%s%s", "abc", "de"); }, -1, bytes("", 1)},
        {"keep", [](char* b) { return sprintf_s(b, 8, nullptr); }, -1, bytes("\0eep", 4)},
        {"keep", [](char* b) { return sprintf_s(b, 0, "%d", 1); }, -1, "keep"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        char b[24] = {};
        strcpy(b, cases[i].before);
        EXPECT_EQ(cases[i].call(b), cases[i].rc) << "case " << i;
        EXPECT_EQ(std::string(b, cases[i].after.size()), cases[i].after) << "case " << i;
    }

    // A bad size or destination leaves the destination alone.
    char d[8] = "keep";
    for (size_t sz : {size_t{0}, kHuge}) {
        EXPECT_EQ(memcpy_s(d, sz, "a", 0) + memmove_s(d, sz, "a", 1) + memset_s(d, sz, 0, 1) + strcpy_s(d, sz, "a") +
                      strncpy_s(d, sz, "a", 1) + strcat_s(d, sz, "a"),
                  6 * ZIV_ERANGE);
    }
    EXPECT_EQ(memset_s(d, 0, 0, 0), EOK);
    EXPECT_EQ(memcpy_s(nullptr, 4, "a", 1), ZIV_EINVAL);
    EXPECT_EQ(strcat_s(nullptr, 4, "a"), ZIV_EINVAL);
    EXPECT_EQ(sprintf_s(nullptr, 8, "%d", 1), -1);
    EXPECT_STREQ(d, "keep");
}

// A trailing null after the real arguments is ignored by the C library; the
// format walk must not take it for a result pointer.
TEST(Bounded, Scanners)
{
    long v[6] = {};
    const char* six = "%ld,%ld,%ld,%ld,%ld,%ld";
    EXPECT_EQ(sscanf_s("5,10", six, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]), 2);
    EXPECT_EQ(v[1], 10);
    EXPECT_EQ(sscanf_s("", six, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]), EOF);
    EXPECT_EQ(sscanf_s("7,10", six, &v[0], &v[1], &v[2], nullptr, &v[4], &v[5]), EOF);
    EXPECT_EQ(v[0], 5);  // nothing scanned
    int ppid = -5;
    EXPECT_EQ(sscanf_s("1234 (cc1) S 987 1234 0", "%*d %*s %*c %d ", &ppid), 1);
    EXPECT_EQ(ppid, 987);
    long long ll = 0;
    int n = 0;
    char set[8];
    EXPECT_EQ(sscanf_s("7 % 8 9", "%*d %% %*5hhd %lld%n", &ll, &n, nullptr), 1);
    EXPECT_EQ(n, 7);
    EXPECT_EQ(sscanf_s("]%d", "%7[]%d]%n", set, &n, nullptr), 1);  // ']' first is a member
    EXPECT_STREQ(set, "]%d");
    EXPECT_EQ(sscanf_s("5", "%lld%n", &ll, nullptr), EOF);  // %n stores too

    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    fputs("42 (make) R 17\n", f);
    rewind(f);
    EXPECT_EQ(fscanf_s(f, "%*d %*s %*c %d ", &ppid), 1);
    EXPECT_EQ(ppid, 17);
    EXPECT_EQ(fscanf_s(f, "%d", &ppid), EOF);  // at end of input
    fclose(f);
}

}  // namespace
