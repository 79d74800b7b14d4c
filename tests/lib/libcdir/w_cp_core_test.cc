// Comparison rules and the decision against a destination listing.
#include "libcdir/w_cp_core.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

mstat_item entry(const char* name, uint64_t size, int64_t mtime) {
    mstat_item e{};
    e.name = name;
    e.type = RDIR_TYPE_OTHER;
    e.mode = 0100644;
    e.size = size;
    e.mtime = mtime;
    return e;
}

struct rule_case {
    uint32_t cmp_mode;
    uint64_t dst_size;
    int64_t dst_mtime_offset;  // destination mtime minus source mtime
    int expected;
};

class CompareRule : public ::testing::TestWithParam<rule_case> {};

TEST_P(CompareRule, DecidesTransfer) {
    const rule_case& c = GetParam();
    libcdir_ctx job;
    job.cmp_mode = c.cmp_mode;
    job.dbg = LIBCDIR_DBG_SYNC_REASON;
    mstat_item src = entry("f", 100, 1700000000);
    mstat_item dst = entry("f", c.dst_size, 1700000000 + c.dst_mtime_offset);
    EXPECT_EQ(cdir_cmp_file_stat(&job, "f", src, dst), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CompareRule,
    ::testing::Values(
        // Size and date rules: equal within 2 seconds either way.
        rule_case{LIBCDIR_CMP_DIFF_SIZE_DATE, 100, 0, 0},
        rule_case{LIBCDIR_CMP_DIFF_SIZE_DATE, 100, 2, 0},
        rule_case{LIBCDIR_CMP_DIFF_SIZE_DATE, 100, -2, 0},
        rule_case{LIBCDIR_CMP_DIFF_SIZE_DATE, 100, 3, 1},
        rule_case{LIBCDIR_CMP_DIFF_SIZE_DATE, 100, -3, 1},
        rule_case{LIBCDIR_CMP_DIFF_SIZE_DATE, 99, 0, 1},
        rule_case{LIBCDIR_CMP_SYNC_DIFF_SIZE_DATE, 100, 2, 0},
        rule_case{LIBCDIR_CMP_SYNC_DIFF_SIZE_DATE, 100, -3, 1},
        rule_case{LIBCDIR_CMP_SYNC_DIFF_SIZE_DATE, 101, 0, 1},
        // Overwrite and the content-based sync rules transfer every file.
        rule_case{LIBCDIR_CMP_OVERWRITE, 100, 0, 1}, rule_case{6, 100, 0, 1},
        rule_case{7, 100, 0, 1}, rule_case{8, 100, 0, 1}, rule_case{9, 100, 0, 1},
        // Newer: equal files go again, a newer destination is kept.
        rule_case{LIBCDIR_CMP_NEWER, 100, 0, 1}, rule_case{LIBCDIR_CMP_NEWER, 100, -100, 1},
        rule_case{LIBCDIR_CMP_NEWER, 100, 2, 1}, rule_case{LIBCDIR_CMP_NEWER, 50, 3, 0},
        // No overwrite: a file present at the destination is never replaced.
        rule_case{LIBCDIR_CMP_NO_OVERWRITE, 100, 0, 0},
        rule_case{LIBCDIR_CMP_NO_OVERWRITE, 1, -100, 0}));

TEST(CheckFileRlist, NameLookupAgainstSortedListing) {
    libcdir_ctx job;
    job.cmp_mode = LIBCDIR_CMP_SYNC_DIFF_SIZE_DATE;
    // Byte-wise order: upper case before lower case, "a\\b" between "a" and "b".
    mstat_item files[] = {entry("B", 1, 10), entry("a", 1, 10), entry("a\\b", 5, 10),
                          entry("c", 7, 10)};
    mstat_item dirs[] = {entry("d", 0, 10)};
    struct {
        mstat_item src;
        int expected;
    } cases[] = {
        {entry("a", 1, 11), 0},     // same size, within the tolerance
        {entry("a\\b", 5, 10), 0},  // the backslash is part of the name
        {entry("a\\b", 6, 10), 1},  // size differs
        {entry("B", 1, 20), 1},     // time differs
        {entry("b", 1, 10), 1},     // not at the destination
        {entry("d", 3, 10), 1},     // a directory at the destination: transferred (and fails)
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cdir_check_file_rlist(&job, c.src, files, dirs), c.expected) << c.src.name;
    }
}

TEST(FindName, BinarySearchIsByteWise) {
    mstat_item items[] = {entry(" lead", 0, 0), entry("Z", 0, 0), entry("a", 0, 0),
                          entry("a\\b", 0, 0), entry("\xc3\xa9", 0, 0)};
    cdir_sort_by_name(items);
    for (const mstat_item& e : items) {
        const mstat_item* found = cdir_find_name(items, e.name);
        ASSERT_NE(found, nullptr) << e.name;
        EXPECT_EQ(std::string(found->name), e.name);
    }
    EXPECT_EQ(cdir_find_name(items, "a/b"), nullptr);
    EXPECT_EQ(cdir_find_name(items, "lead"), nullptr);
    EXPECT_EQ(cdir_find_name({}, "a"), nullptr);
}

// A listing may carry any time at all (a hostile server, a corrupt file system): the comparison
// must decide without overflowing, and decide the obvious way.
TEST(CompareRuleExtremes, FarApartTimesNeverOverflow) {
    struct Case {
        uint32_t cmp_mode;
        int64_t src_mtime, dst_mtime;
        int expected;
    };
    const int64_t lo = INT64_MIN, hi = INT64_MAX;
    const Case cases[] = {
        {LIBCDIR_CMP_NEWER, lo, hi, 0},  // the destination is newer: kept
        {LIBCDIR_CMP_NEWER, hi, lo, 1},
        {LIBCDIR_CMP_DIFF_SIZE_DATE, lo, hi, 1},
        {LIBCDIR_CMP_DIFF_SIZE_DATE, hi, lo, 1},
        {LIBCDIR_CMP_SYNC_DIFF_SIZE_DATE, hi, hi, 0},
        {LIBCDIR_CMP_SYNC_DIFF_SIZE_DATE, lo, lo + 2, 0},
    };
    for (const Case& c : cases) {
        libcdir_ctx job;
        job.cmp_mode = c.cmp_mode;
        job.dbg = LIBCDIR_DBG_SYNC_REASON;
        mstat_item src = entry("f", 100, c.src_mtime);
        mstat_item dst = entry("f", 100, c.dst_mtime);
        EXPECT_EQ(cdir_cmp_file_stat(&job, "f", src, dst), c.expected)
            << c.cmp_mode << " " << c.src_mtime << " " << c.dst_mtime;
    }
}

}  // namespace
