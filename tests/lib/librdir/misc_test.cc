#include "librdir/misc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(FieldScan, SplitsInPlaceAndCountsTheSmallerOfFieldsAndTypes) {
    char line[] = "a\t\tff\t12";
    const char *s1 = nullptr, *s2 = nullptr;
    uint32_t x = 0, u = 0;
    const scan_dest dest[] = {&s1, &s2, &x, &u};
    ASSERT_EQ(str_scan_fields(line, '\t', "str|str|x32|u32", dest), 4);
    EXPECT_STREQ(s1, "a");
    EXPECT_STREQ(s2, "");  // two adjacent separators give an empty field
    EXPECT_EQ(x, 0xffu);
    EXPECT_EQ(u, 12u);

    char longer[] = "1\t2\t3";
    int32_t i = 0;
    const scan_dest one[] = {&i};
    EXPECT_EQ(str_scan_fields(longer, '\t', "int", one), 1);  // extra fields ignored
    EXPECT_EQ(i, 1);

    char shorter[] = "7";
    int32_t j = 0, k = 99;
    const scan_dest two[] = {&j, &k};
    EXPECT_EQ(str_scan_fields(shorter, '\t', "int|int", two), 1);
    EXPECT_EQ(j, 7);
    EXPECT_EQ(k, 99);  // not touched
}

TEST(FieldScan, NumbersMustBeCleanAndInRange) {
    struct {
        const char* types;
        const char* text;
        bool ok;
        uint64_t value;
    } cases[] = {
        {"x32", "ffffffff", true, 0xffffffffu},
        {"x32", "100000000", false, 0},
        {"x32", "FF", true, 0xff},
        {"x32", "0x1", false, 0},
        {"x32", "", false, 0},
        {"u32", "4294967295", true, 4294967295u},
        {"u32", "4294967296", false, 0},
        {"u32", "-1", false, 0},
        {"u32", " 1", false, 0},
        {"x64", "ffffffffffffffff", true, UINT64_MAX},
        {"x64", "1ffffffffffffffff", false, 0},
        {"u64", "-1", true, UINT64_MAX},
        {"size", "18446744073709551615", true, UINT64_MAX},
        {"u64", "18446744073709551616", false, 0},
        {"u64", "-9223372036854775808", true, uint64_t{1} << 63},
        {"u64", "-9223372036854775809", false, 0},
        {"u64", "12a", false, 0},
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        uint32_t v32 = 0;
        uint64_t v64 = 0;
        bool wide = std::string(c.types) != "x32" && std::string(c.types) != "u32";
        scan_dest d = wide ? scan_dest(&v64) : scan_dest(&v32);
        int ret = str_scan_fields(text.data(), '\t', c.types, {&d, 1});
        EXPECT_EQ(ret, c.ok ? 1 : -1) << c.types << " " << c.text;
        if (c.ok) {
            EXPECT_EQ(wide ? v64 : v32, c.value) << c.types << " " << c.text;
        }
    }

    struct {
        const char* text;
        bool ok;
        int32_t value;
    } ints[] = {{"-2147483648", true, INT32_MIN},
                {"2147483647", true, INT32_MAX},
                {"2147483648", false, 0},
                {"+5", true, 5},
                {"-", false, 0},
                {"5 ", false, 0}};
    for (const auto& c : ints) {
        std::string text = c.text;
        int32_t v = 0;
        scan_dest d = &v;
        EXPECT_EQ(str_scan_fields(text.data(), '\t', "int", {&d, 1}), c.ok ? 1 : -1) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value);
        }
    }
}

TEST(FieldScan, BadTypeListOrDestinationsFail) {
    char line[] = "1\t2";
    uint32_t a = 0;
    uint64_t b = 0;
    const scan_dest two[] = {&a, &a};
    EXPECT_EQ(str_scan_fields(line, '\t', "u32|float", two), -1);
    const scan_dest wrong[] = {&b};
    char line2[] = "1";
    EXPECT_EQ(str_scan_fields(line2, '\t', "u32", wrong), -1);  // u32 needs a uint32_t*
    const scan_dest one[] = {&a};
    char line3[] = "1";
    EXPECT_EQ(str_scan_fields(line3, '\t', "u32|u32", one), -1);  // one destination per type
}

TEST(Base64, KnownVectorsAndRoundTrips) {
    struct {
        std::string plain, coded;
    } cases[] = {{"", ""},        {"M", "TQ=="},         {"Ma", "TWE="},
                 {"Man", "TWFu"}, {"hello", "aGVsbG8="}, {std::string("\xff\xfe\x00", 3), "//4A"}};
    for (const auto& c : cases) {
        std::span<const uint8_t> in(reinterpret_cast<const uint8_t*>(c.plain.data()),
                                    c.plain.size());
        EXPECT_EQ(rdir_b64_encode(in), c.coded);
        std::vector<uint8_t> out(c.plain.size() + 1);
        long n = rdir_b64_decode(c.coded, out.data(), out.size());
        ASSERT_EQ(n, static_cast<long>(c.plain.size())) << c.coded;
        EXPECT_EQ(std::string(out.begin(), out.begin() + n), c.plain);
    }
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i) all[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    std::string coded = rdir_b64_encode(all);
    std::vector<uint8_t> back(256);
    ASSERT_EQ(rdir_b64_decode(coded, back.data(), back.size()), 256);
    EXPECT_EQ(back, all);
}

TEST(Base64, DecoderRefusesWhatIsNotBase64) {
    uint8_t out[16];
    const char* bad[] = {
        "A", "QQ=", "Q===", "aGk=aGk=", "a-k=", "a k=", "TR==", "TWF=", "====", "aGk\n"};
    for (const char* text : bad) EXPECT_EQ(rdir_b64_decode(text, out, sizeof(out)), -1) << text;
    EXPECT_EQ(rdir_b64_decode("TWE", out, sizeof(out)), 2);  // padding left out
    EXPECT_EQ(rdir_b64_decode("aGVsbG8=", out, 4), -2);      // does not fit
    char small[4];
    uint8_t three[] = {1, 2, 3, 4};
    EXPECT_EQ(rdir_b64_encode(three, small, sizeof(small)), -1);
}

TEST(EntryNames, WhatMayBeJoinedBelowABase) {
    struct {
        std::string name;
        bool below, entry;
    } cases[] = {
        {"a", true, true},
        {"a\\b", true, true},
        {" lead", true, true},
        {"q\"uote", true, true},
        {"...", true, true},
        {"a/b", true, false},
        {"", false, false},
        {".", false, false},
        {"..", false, false},
        {"../x", false, false},
        {"a/../../x", false, false},
        {"a/..", false, false},
        {"/etc/passwd", false, false},
        {std::string("a\0b", 3), false, false},
        {"a\tb", true, false},
        {"a\nb", true, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rdir_name_stays_below(c.name), c.below) << c.name;
        EXPECT_EQ(rdir_name_is_entry(c.name), c.entry) << c.name;
    }
    EXPECT_TRUE(rdir_text_breaks_line("a\rb"));
    EXPECT_FALSE(rdir_text_breaks_line("a b\\"));
}

}  // namespace
