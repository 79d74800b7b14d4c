#include "liblogsink/bsv.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "lib/liblog/stderr_capture.h"
#include "lib/liblogsink/bsv_reader.h"
#include "liblog/log2_sink.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

std::string as_string(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

bsv_log_fields sample_fields() {
    bsv_log_fields f;
    f.sec = 1714564800;  // 12:00:00 UTC
    f.usec = 250000;
    f.pid = 1234;
    f.tid = 1240;
    f.level = 6;
    f.tag = "cdir";
    f.thread_name = "main_1a2b_1240";
    f.file = "src/lib/libcdir/job.cc";
    f.line = "42";
    f.func = "run";
    f.message = "copied\n";
    return f;
}

class Bsv : public ::testing::Test {
  protected:
    void SetUp() override { unsetenv("DVDBGLOG"); }
    void TearDown() override { log2_diag_enable(false); }
};

TEST_F(Bsv, SchemasOfEveryRecordType) {
    struct Case {
        int type;
        size_t fields;
        bool big_endian;
        const char* last;
    };
    const Case cases[] = {
        {BSV_TYPE_LOG, 11, false, "msg"},        {BSV_TYPE_LOG_BE, 11, true, "msg"},
        {BSV_TYPE_LOG_KERNEL, 13, false, "msg"}, {BSV_TYPE_NET, 10, false, "data"},
        {BSV_TYPE_NET_BE, 10, true, "data"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        const char* text = bsv_schema(c.type);
        ASSERT_NE(nullptr, text);
        std::vector<bsv_field> fields;
        ASSERT_EQ(0, bsv_schema_parse(text, &fields));
        ASSERT_EQ(c.fields, fields.size());
        EXPECT_EQ(c.last, fields.back().name);
        EXPECT_EQ(bsv_kind::str, fields.back().kind);
        EXPECT_EQ(c.big_endian, bsv_big_endian(c.type));
    }
    // Names joined by "|" share the type after the last of them.
    std::vector<bsv_field> log;
    ASSERT_EQ(0, bsv_schema_parse(bsv_schema(BSV_TYPE_LOG), &log));
    EXPECT_EQ("sec", log[0].name);
    EXPECT_EQ(bsv_kind::u64, log[0].kind);
    EXPECT_EQ(bsv_kind::u8, log[4].kind);
    EXPECT_EQ("tid_name", log[6].name);
    EXPECT_EQ(bsv_kind::str, log[6].kind);
}

TEST_F(Bsv, UnknownTypeAndMalformedSchemasAreRefused) {
    log2_diag_enable(true);
    for (int type : {0, 4, 7}) {
        SCOPED_TRACE(type);
        StderrCapture capture;
        EXPECT_EQ(nullptr, bsv_schema(type));
        std::vector<uint8_t> out;
        EXPECT_EQ(-1, bsv_encode(type, {}, 10, &out));
        EXPECT_TRUE(out.empty());
        EXPECT_THAT(capture.text(),
                    HasSubstr("type=" + std::to_string(type) + " error: not found\n"));
    }
    for (const char* text : {"", "a", "a-u7", "a-", "-u8", "a|-str", "a-u8,", "a-u8,,b-u8"}) {
        SCOPED_TRACE(text);
        std::vector<bsv_field> fields{{"stale", bsv_kind::u8}};
        EXPECT_EQ(-1, bsv_schema_parse(text, &fields));
        EXPECT_TRUE(fields.empty());
    }
}

TEST_F(Bsv, Crc8IsPolynomial7FromZero) {
    const std::string check = "123456789";
    EXPECT_EQ(0xf4, bsv_crc8({reinterpret_cast<const uint8_t*>(check.data()), check.size()}));
    EXPECT_EQ(0x00, bsv_crc8({}));
    const uint8_t one[] = {0x01};
    EXPECT_EQ(0x07, bsv_crc8(one));
}

TEST_F(Bsv, LogRecordLayout) {
    const std::vector<uint8_t> record = bsv_log_record(sample_fields());
    const std::string bytes = as_string(record);
    // Fixed fields at their offsets, little-endian.
    EXPECT_EQ(1714564800u, bsvtest::le(bytes, 0, 8));
    EXPECT_EQ(250000u, bsvtest::le(bytes, 8, 4));
    EXPECT_EQ(1234u, bsvtest::le(bytes, 12, 4));
    EXPECT_EQ(1240u, bsvtest::le(bytes, 16, 4));
    EXPECT_EQ(6, bytes[20]);
    // Then the six strings, each with its NUL, and nothing else.
    EXPECT_EQ(std::string("cdir\0main_1a2b_1240\0src/lib/libcdir/job.cc\0"
                          "42\0run\0copied\n\0",
                          58),
              bytes.substr(21));
    EXPECT_EQ(21u + 58u, record.size());
}

TEST_F(Bsv, BigEndianTypeReversesTheIntegers) {
    const bsv_value values[] = {{0x0102030405060708ull, {}}, {0x0a0b0c0d, {}}};
    std::vector<uint8_t> big, little;
    ASSERT_EQ(0, bsv_encode(BSV_TYPE_LOG_BE, values, 6, &big));
    ASSERT_EQ(0, bsv_encode(BSV_TYPE_LOG, values, 6, &little));
    EXPECT_THAT(big, ElementsAre(1, 2, 3, 4, 5, 6, 7, 8, 0x0a, 0x0b, 0x0c, 0x0d));
    EXPECT_THAT(little, ElementsAre(8, 7, 6, 5, 4, 3, 2, 1, 0x0d, 0x0c, 0x0b, 0x0a));
}

// Whatever is cut, a record keeps all six strings, so a reader by the schema never runs out.
TEST_F(Bsv, StringsAreCutToTheBudgetAndNoneIsDropped) {
    const std::string long_text(3000, 'x');
    const std::string with_nul("ab\0cd", 5);
    struct Case {
        const char* name;
        bsv_log_fields fields;
        size_t budget;
        std::vector<std::string> strings;
    };
    bsv_log_fields long_message = sample_fields();
    long_message.message = long_text;
    bsv_log_fields long_file = sample_fields();
    long_file.file = long_text;
    bsv_log_fields nul_inside = sample_fields();
    nul_inside.message = with_nul;
    // tag, thread name, file, line, func take 5+15+23+3+4 = 50 bytes before the message.
    const Case cases[] = {
        {"message cut at the record's limit",
         long_message,
         BSV_LOG_STRINGS_MAX,
         {"cdir", "main_1a2b_1240", "src/lib/libcdir/job.cc", "42", "run",
          std::string(BSV_LOG_STRINGS_MAX - 50 - 1, 'x')}},
        {"a larger budget is capped",
         long_message,
         100000,
         {"cdir", "main_1a2b_1240", "src/lib/libcdir/job.cc", "42", "run",
          std::string(BSV_LOG_STRINGS_MAX - 50 - 1, 'x')}},
        {"file cut, later strings kept empty",
         long_file,
         BSV_LOG_STRINGS_MAX,
         {"cdir", "main_1a2b_1240", std::string(BSV_LOG_STRINGS_MAX - 20 - 3 - 1, 'x'), "", "",
          ""}},
        {"the smallest budget holds six empty strings",
         sample_fields(),
         6,
         {"", "", "", "", "", ""}},
        {"a string ends at its first NUL",
         nul_inside,
         BSV_LOG_STRINGS_MAX,
         {"cdir", "main_1a2b_1240", "src/lib/libcdir/job.cc", "42", "run", "ab"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> record = bsv_log_record(c.fields, c.budget);
        EXPECT_LE(record.size(), BSV_LOG_RECORD_MAX);
        auto parsed = bsvtest::parse_record(as_string(record));
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(c.strings, parsed->strings);
    }
    EXPECT_EQ(BSV_LOG_RECORD_MAX, bsv_log_record(long_message).size());
    EXPECT_TRUE(bsv_log_record(sample_fields(), 5).empty());  // not even the NULs fit
}

TEST_F(Bsv, SourceFileLosesTheBuildDirectory) {
    EXPECT_EQ("tests/lib/liblogsink/bsv_test.cc", bsv_source_file(__FILE__));
    EXPECT_EQ("/elsewhere/x.cc", bsv_source_file("/elsewhere/x.cc"));
    EXPECT_EQ("w.cc", bsv_source_file("w.cc"));
}

TEST_F(Bsv, PacketLayout) {
    const std::vector<uint8_t> record = bsv_log_record(sample_fields());
    bsv_origin origin;
    origin.sid = 0x1111111111111111ull;
    origin.bid = 0x2222222222222222ull;
    origin.stime = 1700000000;
    origin.ver_id = 0x01000100;
    origin.app_id = BSV_APP_DVCP;
    origin.os_id = 2;
    origin.arch_id = 62;
    const std::vector<uint8_t> packet = bsv_net_packet(record, BSV_TYPE_LOG, "box", origin, false);
    const std::string bytes = as_string(packet);
    auto p = bsvtest::parse_packet(bytes);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(BSV_FLAG_CRC, p->flags);
    EXPECT_EQ(packet.size(), p->length);
    EXPECT_EQ(42u + 4u + record.size() + 1u, packet.size());
    EXPECT_EQ(5, p->type);
    EXPECT_EQ(origin.sid, p->sid);
    EXPECT_EQ(origin.bid, p->bid);
    EXPECT_EQ(origin.stime, p->stime);
    EXPECT_EQ(origin.ver_id, p->ver_id);
    EXPECT_EQ(BSV_APP_DVCP, p->app_id);
    EXPECT_EQ(2, p->os_id);
    EXPECT_EQ(62, p->arch_id);
    EXPECT_EQ(1, p->type_id);
    EXPECT_EQ("box", p->hostname);
    EXPECT_EQ(as_string(record), p->record);
    EXPECT_EQ(bsv_crc8(std::span<const uint8_t>(packet).subspan(3, packet.size() - 4)), p->crc);

    std::vector<uint8_t> received = packet;
    EXPECT_EQ(5, bsv_parse_net_type(received.data(), received.size()));
}

// The strings budget for a host name keeps a packet within one datagram: one byte more would not.
TEST_F(Bsv, NetBudgetFillsThePacketExactly) {
    bsv_log_fields fields = sample_fields();
    const std::string long_text(3000, 'y');
    fields.message = long_text;
    for (size_t host_length : {size_t{0}, size_t{1}, size_t{20}, size_t{64}}) {
        SCOPED_TRACE(host_length);
        const std::string host(host_length, 'h');
        const size_t budget = bsv_net_string_budget(host_length);
        const auto fits = bsv_net_packet(bsv_log_record(fields, budget), BSV_TYPE_LOG, host,
                                         bsv_local_origin(), false);
        ASSERT_FALSE(fits.empty());
        EXPECT_EQ(BSV_NET_LIMIT - 1, fits.size() - 1);
        EXPECT_TRUE(bsv_net_packet(bsv_log_record(fields, budget + 1), BSV_TYPE_LOG, host,
                                   bsv_local_origin(), false)
                        .empty());
    }
    // A full-size record never fits with the packet around it.
    EXPECT_TRUE(bsv_net_packet(bsv_log_record(fields), BSV_TYPE_LOG, "h", bsv_local_origin(), false)
                    .empty());
    // Host names are cut to 64 bytes.
    const auto packet = bsv_net_packet(bsv_log_record(sample_fields()), BSV_TYPE_LOG,
                                       std::string(100, 'h'), bsv_local_origin(), false);
    auto p = bsvtest::parse_packet(as_string(packet));
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(std::string(64, 'h'), p->hostname);
}

TEST_F(Bsv, ScrambledPacketHidesItsTextAndParsesBack) {
    const std::vector<uint8_t> record = bsv_log_record(sample_fields());
    const bsv_origin& origin = bsv_local_origin();
    const std::vector<uint8_t> plain = bsv_net_packet(record, BSV_TYPE_LOG, "box", origin, false);
    std::vector<uint8_t> scrambled = bsv_net_packet(record, BSV_TYPE_LOG, "box", origin, true);
    ASSERT_EQ(plain.size(), scrambled.size());
    EXPECT_EQ(BSV_FLAG_CRC | BSV_FLAG_SCRAMBLED, scrambled[3]);
    EXPECT_EQ(std::string::npos, as_string(scrambled).find("copied"));

    EXPECT_EQ(5, bsv_parse_net_type(scrambled.data(), scrambled.size()));
    EXPECT_EQ(plain, scrambled);  // now the same packet as sent unscrambled
    EXPECT_EQ(5, bsv_parse_net_type(scrambled.data(), scrambled.size()));
}

TEST_F(Bsv, ReceivedPacketChecks) {
    const bsv_origin origin{};  // fixed, so that every row is the same packet on every run
    const std::vector<uint8_t> good =
        bsv_net_packet(bsv_log_record(sample_fields()), BSV_TYPE_LOG, "box", origin, false);
    struct Case {
        const char* name;
        std::vector<uint8_t> packet;
        std::string diagnostic;
    };
    auto changed = [&](size_t offset, uint8_t value) {
        std::vector<uint8_t> p = good;
        p[offset] = value;
        return p;
    };
    std::vector<uint8_t> no_crc_long = changed(3, 0);  // no CRC: only the length can tell
    no_crc_long.push_back(0);
    const std::vector<uint8_t> scrambled_bad = [&] {
        auto p = bsv_net_packet(bsv_log_record(sample_fields()), BSV_TYPE_LOG, "box", origin, true);
        p[50] ^= 0x20;
        return p;
    }();
    const Case cases[] = {
        {"short", std::vector<uint8_t>(good.begin(), good.begin() + 15), "len=15 error: len<16 \n"},
        {"magic", changed(0, 'B'), "magic 0x42-0x73-0x76 error\n"},
        {"version", changed(3, 0x12), "ver=1 not supportd\n"},
        {"crc byte", changed(good.size() - 1, good.back() ^ 1), "crc check failed\n"},
        {"flipped message bit", changed(good.size() - 4, good[good.size() - 4] ^ 0x40),
         "crc check failed\n"},
        {"scrambled, flipped bit", scrambled_bad, "crc check failed\n"},
        {"length", no_crc_long,
         ("len=" + std::to_string(good.size() + 1) + " dlen=" + std::to_string(good.size()) +
          " endian=0 error: len!=dlen\n")},
    };
    log2_diag_enable(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> packet = c.packet;
        StderrCapture capture;
        EXPECT_EQ(-1, bsv_parse_net_type(packet.data(), packet.size()));
        EXPECT_THAT(capture.text(), HasSubstr(c.diagnostic));
    }
    EXPECT_EQ(-1, bsv_parse_net_type(nullptr, 0));
}

}  // namespace
