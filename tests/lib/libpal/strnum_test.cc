#include "libpal/strnum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

namespace {

struct SizeCase {
    const char* text;
    uint64_t want;
};

TEST(SizeParse, UnitTable) {
    const SizeCase cases[] = {
        {"10", 10},
        {"0", 0},
        {"64k", 65536},
        {"64kB", 64000},
        {"64kD", 64000},
        {"64K", 65536},
        {"64KB", 64000},
        {"1M", 1048576},
        {"3MB", 3000000},
        {"1b", 512},
        {"2w", 4},
        {"7c", 7},
        {"1G", 1073741824ULL},
        {"2GB", 2000000000ULL},
        {"1T", 1099511627776ULL},
        {"1TB", 1000000000000ULL},
        {"1P", 1125899906842624ULL},
        {"1PB", 1000000000000000ULL},
        // Two units chain left to right.
        {"1kk", 1048576},
        {"3bw", 3072},
        {"2M ", 2097152},  // trailing blanks ignored
        {"2048\r\n", 2048},
        {"16383P", 16383ULL * 1125899906842624ULL},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(str_size_parse(c.text), c.want) << c.text;
    }
}

TEST(SizeParse, RejectedTextsGiveZero) {
    const char* cases[] = {
        nullptr,
        "",
        "1B",
        "1m",
        "1g",
        "1t",
        "1p",
        "-5",
        "+5",
        " 5",
        "\t5",
        "5MiB",
        "k",
        "kB",
        "1.5M",  // a fraction is not silently cut to 1M
        "12x3k",
        "1 k",
        "1kx",                   // junk inside the number part or the suffix
        "16384P",                // 2^64: out of range
        "99999999999999999999",  // more than 64 bits
    };
    for (const char* text : cases) {
        EXPECT_EQ(str_size_parse(text), 0u) << (text ? text : "(null)");
    }
    const std::string longest = std::string(254, '0') + "1k";  // 256 characters are still read
    EXPECT_EQ(str_size_parse(longest.c_str()), 1024u);
    const std::string one_more = "0" + longest;
    EXPECT_EQ(str_size_parse(one_more.c_str()), 0u);
    const std::string padded = std::string(250, ' ').insert(0, "1k");
    EXPECT_EQ(str_size_parse(padded.c_str()), 1024u);
}

TEST(SizeText, BinaryUnitsAndDivisor) {
    struct Case {
        uint64_t value;
        uint64_t divisor;
        const char* want;
    };
    const Case cases[] = {
        {0, 0, "0"},
        {1, 0, "1"},
        {1023, 0, "1023"},
        {1024, 0, "1.0K"},
        {1536, 0, "1.5K"},
        {2047, 0, "2.0K"},  // tenths rounding to 10 carries into the value
        {1048576, 0, "1.0M"},
        {1073741824ULL, 0, "1.0G"},
        {1099511627776ULL * 3 / 2, 0, "1.5T"},
        {UINT64_MAX, 0, "16.0E"},
        {0, 1000, "0"},
        {1499, 1000, "1"},
        {1500, 1000, "2"},  // half up
        {10, 3, "3"},
        {UINT64_MAX, 1, "18446744073709551615"},
        {UINT64_MAX, 2, "9223372036854775808"},
    };
    for (const auto& c : cases) {
        char buf[32];
        memset(buf, 'x', sizeof(buf));
        EXPECT_STREQ(str_size_text(c.value, c.divisor, buf, sizeof(buf)), c.want)
            << c.value << "/" << c.divisor;
        EXPECT_STREQ(buf, c.want) << "the buffer holds the text too";
        EXPECT_STREQ(str_size_text_static(c.value, c.divisor), c.want);
    }
}

TEST(SizeText, CutToBufferAndNullBuffer) {
    char small[4];
    EXPECT_STREQ(str_size_text(123456, 1, small, sizeof(small)), "123");
    EXPECT_STREQ(str_size_text(5, 1, nullptr, 0), "");
    EXPECT_STREQ(str_size_text(0, 0, nullptr, 0), "0");
}

TEST(SizeText, StaticBufferIsPerThread) {
    const char* mine = str_size_text_static(1536, 0);
    std::thread other([] { EXPECT_STREQ(str_size_text_static(1048576, 0), "1.0M"); });
    other.join();
    EXPECT_STREQ(mine, "1.5K");
}

TEST(TimeText, Forms) {
    struct Case {
        double seconds;
        const char* want;
    };
    const Case cases[] = {
        {0, "00:00.000"},
        {5.25, "00:05.250"},
        {59.9996, "00:59.000"},  // the fraction is rounded on its own
        {61, "01:01.000"},
        {3600, "01:00:00.000"},
        {3725.5, "01:02:05.500"},
        {86400, "1_00:00:00.000"},
        {90061, "1_01:01:01.000"},
        {-1, "00:00"},
        {NAN, "00:00"},
    };
    for (const auto& c : cases) {
        char buf[64];
        EXPECT_STREQ(str_time_text(c.seconds, buf, sizeof(buf)), c.want) << c.seconds;
    }
    char buf[64];
    EXPECT_EQ(std::string(str_time_text(1e300, buf, sizeof(buf))).substr(0, 9), "115740740");
    char small[6];
    EXPECT_STREQ(str_time_text(5.25, small, sizeof(small)), "00:05");
}

TEST(TimeMs, MonotonicAndMilliseconds) {
    const uint64_t a = os_time_ms();
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t b = os_time_ms();
    EXPECT_LE(a, b);
    const uint64_t direct = static_cast<uint64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    EXPECT_LE(a, direct);
    EXPECT_GE(b, direct);
}

TEST(NumberParse, Integers) {
    struct Case {
        const char* text;
        int base;
        uint64_t want;
    };
    const Case cases[] = {
        {"0", 10, 0},
        {"42", 0, 42},
        {"0x10", 10, 16},
        {"0XfF", 10, 255},
        {"010", 10, 8},
        {"0b101", 10, 5},
        {"0B11", 0, 3},
        {"10", 16, 16},
        {"0b1", 16, 0xb1},  // in base 16 b is a digit, not a prefix
        {"1e3", 16, 0x1e3},
        {"ff", 16, 255},
        {"12UL", 10, 12},
        {"12llu", 10, 12},
        {"12abc", 10, 12},  // trailing characters end the literal
        {"  7", 10, 7},
        {"+7", 10, 7},
        {"-0", 10, 0},
        {"18446744073709551615", 10, UINT64_MAX},
        {"0xffffffffffffffff", 10, UINT64_MAX},
    };
    for (const auto& c : cases) {
        str_number n{};
        EXPECT_EQ(str_parse_all_number(&n, c.text, c.base), 0) << c.text;
        EXPECT_EQ(n.kind, STR_NUMBER_INT) << c.text;
        EXPECT_EQ(n.u64, c.want) << c.text;
    }
}

TEST(NumberParse, Floating) {
    struct Case {
        const char* text;
        int base;
        double want;
    };
    const Case cases[] = {
        {"1e3", 10, 1000.0},  {"1.5", 10, 1.5},
        {".5", 10, 0.5},      {"5.", 10, 5.0},
        {"2.5E-1", 10, 0.25}, {"-1.5", 10, -1.5},
        {"0.5", 10, 0.5},     {"0x1.8p1", 10, 3.0},
        {"0x1p-2", 10, 0.25}, {"0b1.1", 10, 1.5},
        {"0b11p2", 10, 12.0}, {"0b.01p-9223372036854775808", 10, 0.0},  // exponent far out of range
    };
    for (const auto& c : cases) {
        str_number n{};
        EXPECT_EQ(str_parse_all_number(&n, c.text, c.base), 0) << c.text;
        EXPECT_EQ(n.kind, STR_NUMBER_FLOAT) << c.text;
        EXPECT_DOUBLE_EQ(n.dbl, c.want) << c.text;
    }
}

TEST(NumberParse, RejectedGiveIntegerZero) {
    const std::string too_many(1001, '1');
    const std::string many(1000, '0');
    const char* cases[] = {
        nullptr,
        "",
        "abc",
        "0x",
        "0b",
        "-",
        "08",
        "019",
        "0b102",
        "18446744073709551616",  // one past 64 bits
        "0x10000000000000000",
        "-5",
        too_many.c_str(),
    };
    for (const char* text : cases) {
        str_number n{STR_NUMBER_FLOAT, 99, 9.0};
        EXPECT_EQ(str_parse_all_number(&n, text, 10), -1) << (text ? text : "(null)");
        EXPECT_EQ(n.kind, STR_NUMBER_INT);
        EXPECT_EQ(n.u64, 0u);
    }
    str_number n{};
    EXPECT_EQ(str_parse_all_number(&n, many.c_str(), 10), 0);  // 1000 digits are still read
    EXPECT_EQ(str_parse_all_number(nullptr, "1", 10), -1);
}

TEST(NumberParse, Conversions) {
    EXPECT_EQ(str_to_u64("0x10"), 16u);
    EXPECT_EQ(str_to_u64("010"), 8u);
    EXPECT_EQ(str_to_u64("1e3"), 1000u);
    EXPECT_EQ(str_to_u64("2.9"), 2u);
    EXPECT_EQ(str_to_u64("-2.9"), 0u);
    EXPECT_EQ(str_to_u64("1e30"), 0u);  // does not fit
    EXPECT_EQ(str_to_u64("junk"), 0u);
    EXPECT_EQ(str_hex_to_u64("DeadBeef"), 0xdeadbeefu);
    EXPECT_EQ(str_hex_to_u64("0x7fffffffffffffff"), 0x7fffffffffffffffu);
    EXPECT_EQ(str_hex_to_u32("ffffffff"), 0xffffffffu);
    EXPECT_EQ(str_hex_to_u32("100000000"), 0u);
    EXPECT_DOUBLE_EQ(str_to_double("2.5"), 2.5);
    EXPECT_DOUBLE_EQ(str_to_double("0x20"), 32.0);
    EXPECT_DOUBLE_EQ(str_to_double("x"), 0.0);
}

}  // namespace
