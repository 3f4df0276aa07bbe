// The trace info record and the timing block, called in this process
// (the test is linked against the library).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ziv_trace.h"

namespace {

std::vector<std::string> names(const ziv_trace_file* list)
{
    std::vector<std::string> out;
    for (; list != nullptr; list = list->next) {
        out.push_back(list->name);
    }
    return out;
}

struct info_owner {
    ziv_trace_cmd row{"gcc", nullptr, 0, 0, 0, nullptr, {}};
    ~info_owner()
    {
        ziv_free_trace_info(row.info);
        free(row.info);
    }
};

TEST(TraceTime, IntervalsTruncateTowardZero)
{
    static_assert(ziv_interval_ms({10, 999999}, {11, 0}) == 1);
    static_assert(ziv_interval_ms({10, 0}, {10, 999}) == 0);
    static_assert(ziv_interval_ms({10, 0}, {12, 500000}) == 2500);
    static_assert(ziv_interval_ms({10, 500000}, {10, 0}) == -500);
    static_assert(ziv_interval_ms({11, 0}, {10, 999999}) == -1);
    // Init starts both clocks together and clears every counter.
    ziv_trace_time t{{1, 2}, {3, 4}, 5, 6, 7, 8, 9};
    ziv_init_trace_time(&t);
    EXPECT_EQ(ziv_interval_ms(t.start, t.main_start), 0);
    EXPECT_GT(t.start.tv_sec, 1600000000);
    EXPECT_EQ(std::vector<int32_t>({t.runtime_ms, t.total_ms, t.sha256_ms, t.sql_ms, t.dataid_ms}),
              std::vector<int32_t>(5, 0));
}

TEST(TraceInfo, ListsKeepOrderRejectDuplicatesAndOwnTheirNames)
{
    info_owner o;
    ASSERT_EQ(ziv_init_trace_info(nullptr, &o.row), 0);
    ziv_trace_info* info = o.row.info;
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->outputs, nullptr);
    char name[] = "b.c";
    EXPECT_EQ(ziv_append_trace_file(&info->inputs, name), 0);
    name[0] = 'a';  // the list kept its own copy
    EXPECT_EQ(ziv_append_trace_file(&info->inputs, name), 0);
    EXPECT_EQ(ziv_append_trace_file(&info->inputs, "b.c"), 1);
    EXPECT_EQ(ziv_append_trace_file(&info->inputs, nullptr), -1);
    EXPECT_EQ(ziv_append_trace_file(&info->outputs, "b.c"), 0);  // another list
    EXPECT_EQ(names(info->inputs), (std::vector<std::string>{"b.c", "a.c"}));
    EXPECT_EQ(names(info->outputs), (std::vector<std::string>{"b.c"}));
    for (const ziv_trace_file* n = info->inputs; n != nullptr; n = n->next) {
        EXPECT_EQ(n->type, 0);
        EXPECT_EQ(n->id, 0);
        EXPECT_EQ(n->sha256[0], '\0');
    }

    EXPECT_EQ(ziv_append_trace_paired_file("x.o", "x.o", &info->paired), 0);
    EXPECT_EQ(ziv_append_trace_paired_file("x.o", "y.o", &info->paired), 1);
    EXPECT_EQ(ziv_append_trace_paired_file("y.o", nullptr, &info->paired), 0);
    EXPECT_EQ(ziv_append_trace_paired_file(nullptr, "z.o", &info->paired), 0);
    EXPECT_EQ(ziv_append_trace_paired_file(nullptr, "z.o", &info->paired), 0);  // no input name to compare
    std::vector<std::string> pairs;
    for (const ziv_trace_paired_file* p = info->paired; p != nullptr; p = p->next) {
        pairs.push_back(std::string(p->in_name ? p->in_name : "-") + ">" + (p->out_name ? p->out_name : "-"));
    }
    EXPECT_EQ(pairs, (std::vector<std::string>{"x.o>x.o", "y.o>-", "->z.o", "->z.o"}));

    ziv_trace_file* copy = ziv_copy_trace_file("c.o");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy->name, "c.o");
    EXPECT_EQ(copy->next, nullptr);
    ziv_free_trace_file(copy);
    EXPECT_EQ(ziv_copy_trace_file(nullptr), nullptr);
}

TEST(TraceInfo, InitAttachesTheFirstOutputAndReplacesTheRecord)
{
    info_owner o;
    ASSERT_EQ(ziv_init_trace_info("a.o", &o.row), 0);
    ziv_trace_info* first = o.row.info;
    EXPECT_EQ(names(first->outputs), (std::vector<std::string>{"a.o"}));
    EXPECT_EQ(first->flags, 0);
    EXPECT_EQ(first->inputs, nullptr);
    ASSERT_EQ(ziv_init_trace_info("b.o", &o.row), 0);
    EXPECT_NE(o.row.info, first);
    EXPECT_EQ(names(o.row.info->outputs), (std::vector<std::string>{"b.o"}));
    ziv_free_trace_info(first);
    free(first);
    EXPECT_EQ(ziv_init_trace_info("c.o", nullptr), -1);
    ziv_free_trace_info(nullptr);
    ziv_init_trace_time(nullptr);
}

TEST(TraceInfo, ConfigureTestOutputsAreRecognised)
{
    struct test_case {
        const char* first_output;
        const char* paired_out;
        int expected;
    } cases[] = {
        {"conftest.o", nullptr, 1},
        {"sub/dir/conftest", nullptr, 1},
        {".libs/libconftest.so", nullptr, 1},
        {"conftest2.o", nullptr, 1},
        {"myconftest.o", nullptr, 0},
        {"conftest/a.o", nullptr, 0},
        {"a.o", "conftest.o", 1},
        {"a.o", "dir/libconftest.a", 1},
        {"a.o", "b.o", 0},
        {nullptr, "conftest.o", 0},  // no outputs: never a test
    };
    for (const test_case& c : cases) {
        SCOPED_TRACE(std::string(c.first_output ? c.first_output : "-") + " " + (c.paired_out ? c.paired_out : "-"));
        info_owner o;
        ASSERT_EQ(ziv_init_trace_info(c.first_output, &o.row), 0);
        if (c.paired_out != nullptr) {
            ASSERT_EQ(ziv_append_trace_paired_file("in.o", c.paired_out, &o.row.info->paired), 0);
        }
        EXPECT_EQ(ziv_outfile_is_test(o.row.info), c.expected);
    }
    EXPECT_EQ(ziv_outfile_is_test(nullptr), 0);
}

}  // namespace
