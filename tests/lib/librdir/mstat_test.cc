#include "librdir/mstat.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lib/librdir/log_capture.h"
#include "librdir/mfile.h"

namespace {

struct set_deleter {
    void operator()(mstat* s) const { mstat_exit(s); }
};
using set_ptr = std::unique_ptr<mstat, set_deleter>;

set_ptr new_set() {
    return set_ptr(mstat_init(nullptr));
}

std::string line_of(const rdir_entry& e) {
    char buf[RDIR_LINE_MAX];
    int n = stat_2_str(e, buf, sizeof(buf));
    return n < 0 ? std::string("<refused>") : std::string(buf, static_cast<size_t>(n));
}

rdir_entry file_entry(const char* name) {
    return rdir_entry{name, "", 2, 0100644, 1000, 100, 42, 0x65000001, 0x65000002, 0x65000003};
}

// ---- listing lines ----

TEST(StatLine, RegularFileLineByteForByte) {
    EXPECT_EQ(line_of(file_entry("a.txt")),
              "a.txt\t\t2\t81a4\t80\t42\t65000003\t65000002\t65000001\t1000\t100\n");
}

TEST(StatLine, LinkToDirectoryHasTypeAndAttrOfAListerHere) {
    rdir_entry e{"up", "../x", 0x101, 0120777, 0, 0, 0, 1, 2, 3};
    EXPECT_EQ(line_of(e), "up\t../x\t101\ta1ff\t80\t0\t3\t2\t1\t0\t0\n");
}

TEST(StatLine, NegativeTimesWrittenAsSixteenDigitsAndReadBackBitForBit) {
    rdir_entry e = file_entry("old");
    e.mtime = -1;
    e.atime = INT64_MIN;
    std::string line = line_of(e);
    EXPECT_NE(line.find("\tffffffffffffffff\t8000000000000000\t"), std::string::npos) << line;

    auto set = new_set();
    ASSERT_EQ(str_2_stat(line, set.get()), 0);
    size_t n = 0;
    mstat_item* it = mstat_get_item(set.get(), &n);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(it->mtime, -1);
    EXPECT_EQ(it->atime, INT64_MIN);
    EXPECT_EQ(it->ctime, 0x65000003);
}

TEST(StatLine, WriterRefusesWhatWouldCorruptTheLine) {
    const char* bad_names[] = {"a\tb", "a\nb", "a\rb", "\r0", ""};
    for (const char* name : bad_names) {
        EXPECT_EQ(line_of(file_entry(name)), "<refused>") << "name " << name;
    }
    rdir_entry link = file_entry("l");
    link.link = "to\nwhere";
    EXPECT_EQ(line_of(link), "<refused>");

    char small[8];
    EXPECT_EQ(stat_2_str(file_entry("a"), small, sizeof(small)), -1);
    EXPECT_STREQ(small, "");
}

TEST(StatLine, RoundTripKeepsEveryField) {
    rdir_entry e{"q\"uote \\ ", "t\\x y", 0x102, 0120777, 4294967295u, 7, 0, -5, 6, 7};
    auto set = new_set();
    ASSERT_EQ(str_2_stat(line_of(e), set.get()), 0);
    auto items = mstat_items(set.get());
    ASSERT_EQ(items.size(), 1u);
    const mstat_item& it = items[0];
    EXPECT_STREQ(it.name, "q\"uote \\ ");
    EXPECT_STREQ(it.link(), "t\\x y");
    EXPECT_EQ(it.type, 0x102u);
    EXPECT_EQ(it.mode, 0120777u);
    EXPECT_EQ(it.attr, 0x80u);
    EXPECT_EQ(it.uid, 4294967295u);
    EXPECT_EQ(it.gid, 7u);
    EXPECT_EQ(it.size, 0u);
    EXPECT_EQ(it.atime, -5);
    EXPECT_EQ(it.mtime, 6);
    EXPECT_EQ(it.ctime, 7);
}

TEST(StatLine, EmptyLinkIsAbsentAndTrailingNewlineParsesCompletely) {
    auto set = new_set();
    std::string block = line_of(file_entry("a")) + "\n" + line_of(file_entry("b"));
    ASSERT_EQ(block.back(), '\n');
    ASSERT_EQ(str_2_stat(block, set.get()), 0);
    auto items = mstat_items(set.get());
    ASSERT_EQ(items.size(), 2u);
    EXPECT_STREQ(items[0].name, "a");
    EXPECT_EQ(items[0].link(), nullptr);
    EXPECT_STREQ(items[1].name, "b");
}

TEST(StatLine, TwelveFieldsAcceptedTwelfthIgnored) {
    auto set = new_set();
    ASSERT_EQ(str_2_stat("a\t\t2\t81a4\t80\t1\t0\t0\t0\t0\t0\textra\n", set.get()), 0);
    ASSERT_EQ(mstat_items(set.get()).size(), 1u);
    EXPECT_EQ(mstat_items(set.get())[0].gid, 0u);
}

TEST(StatLine, TenFieldsStopTheWalkAfterEarlierLinesAreStored) {
    log_capture log;
    auto set = new_set();
    std::string block = line_of(file_entry("first")) + "x\t\t2\t81a4\t80\t1\t0\t0\t0\t0\n" +
                        line_of(file_entry("never"));
    EXPECT_EQ(str_2_stat(block, set.get()), -1);
    auto items = mstat_items(set.get());
    ASSERT_EQ(items.size(), 1u);
    EXPECT_STREQ(items[0].name, "first");
    EXPECT_TRUE(log.has("ret=10 error: ret!=11"));
}

TEST(StatLine, NamesLeavingTheDirectoryAreLeftOutAndCounted) {
    // A peer's listing that names something outside the listed directory: the entry is never
    // stored (nothing could join it into a path), the rest of the block is, and the set counts
    // the loss so that the listing reads as incomplete.
    const char* names[] = {"..", "", ".", "a/b", "../../etc", "/etc"};
    for (const char* name : names) {
        auto set = new_set();
        const std::string block = line_of(file_entry("before")) + name +
                                  "\t\t1\t41ed\t80\t1\t0\t0\t0\t0\t0\n" +
                                  line_of(file_entry("after"));
        EXPECT_EQ(str_2_stat(block, set.get()), 0) << name;
        auto items = mstat_items(set.get());
        ASSERT_EQ(items.size(), 2u) << name;
        EXPECT_STREQ(items[0].name, "before");
        EXPECT_STREQ(items[1].name, "after");
        EXPECT_EQ(mstat_get_err_count(set.get()), 1u) << name;
    }
}

TEST(StatLine, MalformedLinesAreRefused) {
    // Each would corrupt a field.
    const char* lines[] = {
        "a\t\tzz\t81a4\t80\t1\t0\t0\t0\t0\t0", "a\t\t2\t81a4\t80\t1x\t0\t0\t0\t0\t0",
        "a\t\t2\t81a4\t80\t1\t0\t0\t0\t0\t-1", "a\t\t123456789\t81a4\t80\t1\t0\t0\t0\t0\t0",
        "a\t\t2\t81a4\t80\t\t0\t0\t0\t0\t0",   "a\t\t2\t81a4\t80\t1\t10000000000000000\t0\t0\t0\t0",
    };
    for (const char* line : lines) {
        auto set = new_set();
        EXPECT_EQ(str_2_stat(line, set.get()), -1) << line;
        EXPECT_EQ(mstat_items(set.get()).size(), 0u) << line;
    }
    auto set = new_set();
    const char raw[] = "a\0b\t\t2\t81a4\t80\t1\t0\t0\t0\t0\t0";
    std::string with_nul(raw, sizeof(raw) - 1);
    EXPECT_EQ(str_2_stat(std::string_view(with_nul), set.get()), -1);
}

TEST(StatLine, SizeWrittenAsSignedDecimalReadsBack) {
    auto set = new_set();
    ASSERT_EQ(str_2_stat("big\t\t2\t81a4\t80\t-1\t0\t0\t0\t0\t0", set.get()), 0);
    EXPECT_EQ(mstat_items(set.get())[0].size, UINT64_MAX);
}

// The line is written by hand for speed; it must stay what the format text makes of the fields,
// at every extreme of every field and at every buffer size around the line's length.
TEST(StatLine, WrittenExactlyAsTheFormatWritesIt) {
    std::string long_name(4000, 'n');
    const rdir_entry entries[] = {
        {"a", "", 0, 0, 0, 0, 0, 0, 0, 0},
        {"b", "t", 0xffffffffu, 0xffffffffu, UINT32_MAX, UINT32_MAX, UINT64_MAX, INT64_MIN,
         INT64_MAX, -1},
        {"c", "", 0x802, 0100644, 1, 2, uint64_t{1} << 63, 1, -2, 0x7fffffff},
        {"d", "", 0x801, 040755, 99999, 12345, INT64_MAX, 0x123456789abcdef0, 10, 9},
        {long_name.c_str(), "../x", 0x101, 0120777, 7, 8, 0, 1, 2, 3},
    };
    for (const rdir_entry& e : entries) {
        char want[RDIR_LINE_MAX];
        int want_n = std::snprintf(want, sizeof(want), RDIR_LIST_LINE_FMT, e.name, e.link, e.type,
                                   e.mode, rdir_type_2_attr(e.type), static_cast<long long>(e.size),
                                   static_cast<unsigned long long>(e.ctime),
                                   static_cast<unsigned long long>(e.mtime),
                                   static_cast<unsigned long long>(e.atime), e.uid, e.gid);
        ASSERT_GT(want_n, 0);
        EXPECT_EQ(line_of(e), std::string(want, static_cast<size_t>(want_n)));
        // The line and its NUL fit exactly; one byte less refuses it.
        std::vector<char> out(static_cast<size_t>(want_n) + 1);
        EXPECT_EQ(stat_2_str(e, out.data(), out.size()), want_n);
        EXPECT_STREQ(out.data(), want);
        EXPECT_EQ(stat_2_str(e, out.data(), out.size() - 1), -1);
        EXPECT_STREQ(out.data(), "");
    }
}

// ---- directory-creation and file-write lines ----

mstat_attr sample_attr(const char* link = nullptr) {
    return mstat_attr{link, 1, 040755, 0x80, 1000, 100, 0x11, 0x22, -2};
}

TEST(DirLine, FormatByteForByteAndParseBack) {
    char out[256];
    mstat_attr a = sample_attr();
    ASSERT_EQ(libmfile_dir_printf("sub dir", &a, out, sizeof(out)), 0);
    EXPECT_STREQ(out, "sub dir\t1\t41ed\t80\tfffffffffffffffe\t22\t11\t1000\t100");

    mfile_entry e;
    ASSERT_EQ(libmfile_dir_scanf(out, &e), 0);
    EXPECT_STREQ(e.name, "sub dir");
    EXPECT_EQ(e.attr.link, nullptr);
    EXPECT_EQ(e.attr.type, 1u);
    EXPECT_EQ(e.attr.mode, 040755u);
    EXPECT_EQ(e.attr.ctime, -2);
    EXPECT_EQ(e.attr.mtime, 0x22);
    EXPECT_EQ(e.attr.atime, 0x11);
    EXPECT_EQ(e.attr.uid, 1000u);
    EXPECT_EQ(e.attr.gid, 100u);
}

TEST(DirLine, OnlyExactlyNineFieldsAccepted) {
    log_capture log;
    char ten[] = "d\t1\t41ed\t80\t0\t0\t0\t0\t0\textra";
    char eight[] = "d\t1\t41ed\t80\t0\t0\t0\t0";
    char eleven[] = "d\t1\t41ed\t80\t0\t0\t0\t0\t0\tx\ty";
    mfile_entry e;
    EXPECT_EQ(libmfile_dir_scanf(ten, &e), -1);
    EXPECT_TRUE(log.has("ret=10 error: ret!=9"));
    EXPECT_EQ(libmfile_dir_scanf(eight, &e), -1);
    EXPECT_TRUE(log.has("ret=8 error: ret!=9"));
    EXPECT_EQ(libmfile_dir_scanf(eleven, &e), -1);
}

TEST(WriteLine, FormatByteForByteAndParseBack) {
    char out[256];
    mstat_attr a = sample_attr();
    a.type = 2;
    a.mode = 0100600;
    ASSERT_EQ(libmfile_write_printf("f", &a, "aGk=", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "f\t\t2\t8180\t80\tfffffffffffffffe\t22\t11\t1000\t100\taGk=");

    mfile_entry e;
    ASSERT_EQ(libmfile_write_scanf(out, &e), 0);
    EXPECT_STREQ(e.name, "f");
    EXPECT_EQ(e.attr.link, nullptr);  // an empty link text is absent
    EXPECT_STREQ(e.data, "aGk=");
    EXPECT_EQ(e.attr.mode, 0100600u);

    mstat_attr l = sample_attr("../t a");
    l.type = 0x102;
    ASSERT_EQ(libmfile_write_printf("l", &l, nullptr, out, sizeof(out)), 0);
    EXPECT_STREQ(out, "l\t../t a\t102\t41ed\t80\tfffffffffffffffe\t22\t11\t1000\t100\t");
    ASSERT_EQ(libmfile_write_scanf(out, &e), 0);
    EXPECT_STREQ(e.attr.link, "../t a");
    EXPECT_STREQ(e.data, "");
}

TEST(WriteLine, ParseNeedsElevenFields) {
    log_capture log;
    char ten[] = "f\t\t2\t8180\t80\t0\t0\t0\t0\t0";
    mfile_entry e;
    EXPECT_EQ(libmfile_write_scanf(ten, &e), -1);
    EXPECT_TRUE(log.has("ret=10 error: ret!=11"));
    char twelve[] = "f\t\t2\t8180\t80\t0\t0\t0\t0\t0\t\tmore";
    EXPECT_EQ(libmfile_write_scanf(twelve, &e), 0);
}

TEST(LineWriters, RefuseTextsThatWouldCorruptTheLine) {
    char out[256];
    mstat_attr a = sample_attr();
    mstat_attr bad_link = sample_attr("x\ty");
    struct {
        const char* name;
        const mstat_attr* attr;
        const char* data;
    } cases[] = {{"a\tb", &a, ""}, {"a\nb", &a, ""},      {"a\rb", &a, ""},
                 {"", &a, ""},     {"ok", &bad_link, ""}, {"ok", &a, "QQ\n=="}};
    for (const auto& c : cases) {
        strcpy(out, "junk");
        EXPECT_EQ(libmfile_write_printf(c.name, c.attr, c.data, out, sizeof(out)), -1) << c.name;
        EXPECT_STREQ(out, "");
    }
    EXPECT_EQ(libmfile_dir_printf("a\nb", &a, out, sizeof(out)), -1);
    EXPECT_EQ(libmfile_dir_printf("a", &a, out, 10), -1);  // does not fit
    EXPECT_STREQ(out, "");
    EXPECT_EQ(libmfile_write_printf("a", &a, "QUJD", out, 20), -1);
    // The head alone checks name and link the same way.
    for (const auto& c : cases) {
        if (c.data[0] != '\0') continue;
        strcpy(out, "junk");
        EXPECT_EQ(libmfile_write_head(c.name, c.attr, out, sizeof(out)), -1) << c.name;
        EXPECT_STREQ(out, "");
    }
    EXPECT_EQ(libmfile_write_head("a", &a, out, 10), -1);
}

// A head with data appended is the whole line, for plain files and links.
TEST(WriteLine, HeadAndDataMakeTheLine) {
    const mstat_attr plain = sample_attr();
    const mstat_attr link = sample_attr("../t a");
    for (const mstat_attr* a : {&plain, &link}) {
        for (const char* data : {"", "aGk=", "QUJDREVGR0g="}) {
            char line[256], head[256];
            ASSERT_EQ(libmfile_write_printf("f", a, data, line, sizeof(line)), 0);
            const long n = libmfile_write_head("f", a, head, sizeof(head));
            ASSERT_GT(n, 0);
            EXPECT_EQ(static_cast<size_t>(n), strlen(head));
            EXPECT_EQ(std::string(head) + data, line);
        }
    }
}

// ---- the stat set ----

TEST(StatSet, GrowsPastFirstCapacityKeepingEveryItem) {
    auto set = new_set();
    mstat_item item{};
    for (int i = 0; i < 1000; ++i) {
        item.size = static_cast<uint64_t>(i);
        std::string name = "n" + std::to_string(i);
        ASSERT_NE(mstat_cp_alloc(set.get(), &item, name, i % 3 == 0 ? "target" : ""), nullptr);
    }
    size_t n = 0;
    mstat_item* first = mstat_get_item(set.get(), &n);
    ASSERT_EQ(n, 1000u);
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(first[i].name, "n" + std::to_string(i));
        EXPECT_EQ(first[i].size, i);
        if (i % 3 == 0) {
            EXPECT_STREQ(first[i].link(), "target");
        } else {
            EXPECT_EQ(first[i].link(), nullptr);
        }
    }
    EXPECT_EQ(mstat_get_err_count(set.get()), 0u);
}

TEST(StatSet, CopyFromAnotherSetTakesNameAndLink) {
    auto a = new_set();
    auto b = new_set();
    mstat_item item{};
    item.type = 0x102;
    mstat_item* stored = mstat_cp_alloc(a.get(), &item, "lnk", "dest");
    ASSERT_NE(stored, nullptr);
    mstat_item* copy = mstat_cp_alloc(b.get(), stored);
    ASSERT_NE(copy, nullptr);
    a.reset();  // the copy must not point into the first set
    EXPECT_STREQ(copy->name, "lnk");
    EXPECT_STREQ(copy->link(), "dest");
    EXPECT_EQ(copy->type, 0x102u);
    mstat_attr attr = mstat_item_attr(*copy);
    EXPECT_STREQ(attr.link, "dest");
}

TEST(StatSet, ClearThenReuseStartsAtTheFirstSlot) {
    auto set = new_set();
    mstat_item item{};
    for (int i = 0; i < 40; ++i) mstat_cp_alloc(set.get(), &item, "old" + std::to_string(i), "");
    mstat_item* first_before = mstat_get_item(set.get(), nullptr);
    EXPECT_EQ(mstat_clear(set.get()), 0);
    size_t n = 7;
    EXPECT_EQ(mstat_get_item(set.get(), &n), nullptr);
    EXPECT_EQ(n, 0u);
    mstat_item* again = mstat_cp_alloc(set.get(), &item, "new", "l");
    EXPECT_EQ(again, first_before);
    EXPECT_STREQ(again->name, "new");
    EXPECT_STREQ(again->link(), "l");
    EXPECT_EQ(mstat_items(set.get()).size(), 1u);
}

TEST(StatSet, ReferenceKeepsTheSetAliveUntilTheLastExit) {
    mstat* set = mstat_init(nullptr);
    ASSERT_NE(set, nullptr);
    mstat_item item{};
    mstat_cp_alloc(set, &item, "kept", "");
    EXPECT_EQ(mstat_ref_add(set), 0);
    EXPECT_EQ(mstat_exit(set), 0);
    // Still alive: under the address sanitizer a freed set would be reported here.
    EXPECT_STREQ(mstat_items(set)[0].name, "kept");
    EXPECT_EQ(mstat_exit(set), 0);  // frees; the leak checker confirms nothing is left
}

TEST(StatSet, NullSetIsAnAssertionNotACrash) {
    log_capture log;
    mstat_item item{};
    size_t n = 5;
    EXPECT_EQ(mstat_cp_alloc(nullptr, &item, "a", ""), nullptr);
    EXPECT_EQ(mstat_get_item(nullptr, &n), nullptr);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(mstat_get_err_count(nullptr), 0u);
    EXPECT_EQ(mstat_clear(nullptr), -1);
    EXPECT_EQ(mstat_ref_add(nullptr), -1);
    EXPECT_EQ(mstat_exit(nullptr), -1);
    EXPECT_EQ(str_2_stat("x", nullptr), -1);
    EXPECT_EQ(log.count("expr[h!=NULL]: assert failed"), 7);
}

TEST(StatSet, OnlyPoolTypeZero) {
    mstat_pool_param p;
    p.type = 1;
    EXPECT_EQ(mstat_init(&p), nullptr);
    p.type = 0;
    p.block_size = 16;  // smaller than some names: they still fit
    mstat* set = mstat_init(&p);
    ASSERT_NE(set, nullptr);
    mstat_item item{};
    std::string long_name(300, 'x');
    ASSERT_NE(mstat_cp_alloc(set, &item, long_name, "y"), nullptr);
    EXPECT_EQ(mstat_items(set)[0].name, long_name);
    mstat_exit(set);
}

// The stat set is what a big sync keeps per directory; the item record stays one cache line.
static_assert(sizeof(mstat_item) == 64);

TEST(TypeToAttr, FromTheTypeWordAlone) {
    struct {
        uint32_t type, attr;
    } cases[] = {{1, 0x80}, {2, 0x80}, {0x101, 0x80}, {0x801, 0755}, {0x802, 0644}, {0x901, 0644}};
    for (const auto& c : cases) EXPECT_EQ(rdir_type_2_attr(c.type), c.attr) << std::hex << c.type;
}

}  // namespace
