#include "libdvsd/blobmsg.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "libdvsd/sd_msg.h"
#include "liblog/log2.h"
#include "libpal/verr.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes root_bytes(const blob_buf& buf) {
    return Bytes(buf.bytes.begin(), buf.bytes.begin() + blob_buf_padded_len(&buf));
}

// The root's value: what a reply parse is handed.
const uint8_t* value_of(const blob_buf& buf) {
    return blob_data(blob_buf_root(&buf));
}
size_t value_len_of(const blob_buf& buf) {
    return blob_len(blob_buf_root(&buf));
}

void put_be32(Bytes* out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<uint8_t>(v >> shift));
}

// Lays out one named attribute by hand, so that malformed ones can be made.
// `raw_len` 0 means the length a writer would put in the header.
struct Field {
    unsigned type;
    std::string name;
    Bytes value;
    size_t raw_len = 0;
    uint8_t name_end = 0;  // the byte after the name; a writer puts 0 there
};

Bytes lay(const Field& f) {
    const size_t value_at = 4 + ((f.name.size() + 6) & ~size_t{3});
    Bytes out;
    put_be32(&out, 0x80000000u | (f.type << 24) |
                       static_cast<uint32_t>(f.raw_len ? f.raw_len : value_at + f.value.size()));
    out.push_back(static_cast<uint8_t>(f.name.size() >> 8));
    out.push_back(static_cast<uint8_t>(f.name.size()));
    out.insert(out.end(), f.name.begin(), f.name.end());
    out.push_back(f.name_end);
    out.resize(value_at, 0);
    out.insert(out.end(), f.value.begin(), f.value.end());
    out.resize((out.size() + 3) & ~size_t{3}, 0);
    return out;
}

// A heap copy of exactly `bytes.size()` bytes, so that ASan sees any read past
// the end (a vector's spare capacity would hide it).
struct Exact {
    explicit Exact(const Bytes& bytes) : data(new uint8_t[bytes.size()]), size(bytes.size()) {
        std::memcpy(data.get(), bytes.data(), size);
    }
    std::unique_ptr<uint8_t[]> data;
    size_t size;
};

Bytes join(std::initializer_list<Field> fields) {
    Bytes out;
    for (const auto& f : fields) {
        const Bytes b = lay(f);
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

Bytes be32(uint32_t v) {
    Bytes out;
    put_be32(&out, v);
    return out;
}
Bytes be64(uint64_t v) {
    Bytes out;
    put_be32(&out, static_cast<uint32_t>(v >> 32));
    put_be32(&out, static_cast<uint32_t>(v));
    return out;
}
Bytes str(const std::string& s) {
    Bytes out(s.begin(), s.end());
    out.push_back(0);
    return out;
}

// ---- building -----------------------------------------------------------------------

TEST(BlobBuild, EmptyMessageIsTheRootHeaderAlone) {
    blob_buf buf;
    ASSERT_EQ(blob_buf_init(&buf), 0);
    EXPECT_EQ(root_bytes(buf), (Bytes{0x02, 0x00, 0x00, 0x04}));
    EXPECT_EQ(blob_buf_padded_len(&buf), 4u);
}

TEST(BlobBuild, NothingIsWrittenBeforeInit) {
    blob_buf buf;
    EXPECT_EQ(blob_buf_padded_len(&buf), 0u);
    EXPECT_EQ(blob_buf_root(&buf), nullptr);
    EXPECT_EQ(blobmsg_add_int32(&buf, "len", 1), -1);
    EXPECT_EQ(blobmsg_reserve_field(&buf, "data", 4), nullptr);
    EXPECT_TRUE(buf.bytes.empty());
}

TEST(BlobBuild, FieldsMatchHandComputedBytes) {
    blob_buf buf;
    ASSERT_EQ(blob_buf_init(&buf), 0);
    ASSERT_EQ(blobmsg_add_string(&buf, "path", ""), 0);
    ASSERT_EQ(blobmsg_add_int32(&buf, "len", 5), 0);
    ASSERT_EQ(blobmsg_add_int64(&buf, "offset", 0x0102030405060708ull), 0);
    ASSERT_EQ(blobmsg_add_field(&buf, BLOBMSG_TYPE_BINARY, "a", "xyz", 3), 0);

    const Bytes want = {
        0x02, 0x00, 0x00, 0x48,                          // root: table, 72 bytes
        0x84, 0x00, 0x00, 0x0d, 0x00, 0x04, 'p',  'a',   // "path": string, V = 1
        't',  'h',  0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  //   name zero, pad, "", pad
        0x86, 0x00, 0x00, 0x10, 0x00, 0x03, 'l',  'e',   // "len": int32
        'n',  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05,  //
        0x85, 0x00, 0x00, 0x18, 0x00, 0x06, 'o',  'f',   // "offset": int64, high word first
        'f',  's',  'e',  't',  0x00, 0x00, 0x00, 0x00,  //
        0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  //
        0x83, 0x00, 0x00, 0x0b, 0x00, 0x01, 'a',  0x00,  // "a": binary, no name padding
        'x',  'y',  'z',  0x00,                          //   value padding
    };
    EXPECT_EQ(root_bytes(buf), want);
    EXPECT_EQ(blob_buf_padded_len(&buf), 72u);
}

TEST(BlobBuild, InitStartsOverAndKeepsTheBuffer) {
    blob_buf buf;
    ASSERT_EQ(blob_buf_init(&buf), 0);
    ASSERT_EQ(blobmsg_add_string(&buf, "user", "someone"), 0);
    const size_t capacity = buf.bytes.size();
    ASSERT_EQ(blob_buf_init(&buf), 0);
    EXPECT_EQ(blob_buf_padded_len(&buf), 4u);
    EXPECT_EQ(buf.bytes.size(), capacity);
}

TEST(BlobBuild, GrowsInWhole256ByteSteps) {
    blob_buf buf;
    ASSERT_EQ(blob_buf_init(&buf), 0);
    EXPECT_EQ(buf.bytes.size(), 256u);
    const Bytes big(1000, 0xab);
    ASSERT_EQ(blobmsg_add_field(&buf, BLOBMSG_TYPE_BINARY, "d", big.data(), big.size()), 0);
    // 4 + 8 + 1000 bytes needed, 756 more than the first block: three more blocks.
    EXPECT_EQ(buf.bytes.size(), 1024u);
    const blob_attr* tb[1];
    const blobmsg_policy table[] = {{"d", BLOBMSG_TYPE_BINARY}};
    ASSERT_EQ(blobmsg_parse(table, 1, tb, value_of(buf), value_len_of(buf)), 0);
    ASSERT_NE(tb[0], nullptr);
    EXPECT_EQ(Bytes(blobmsg_data(tb[0]), blobmsg_data(tb[0]) + blobmsg_data_len(tb[0])), big);
}

TEST(BlobBuild, ReserveWritesInPlaceAndTrimShrinksTheRoot) {
    blob_buf buf;
    ASSERT_EQ(blob_buf_init(&buf), 0);
    ASSERT_EQ(blobmsg_add_int32(&buf, "len", 3), 0);
    blob_attr* data = blobmsg_reserve_field(&buf, "data", 10);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(blobmsg_data_len(data), 10u);
    EXPECT_EQ(blob_buf_padded_len(&buf), 4u + 16 + 24);
    std::memcpy(blobmsg_data(data), "hello-----", 10);

    EXPECT_EQ(blobmsg_trim_field(&buf, data, 11), -1);  // never grows
    ASSERT_EQ(blobmsg_trim_field(&buf, data, 5), 0);
    const Bytes tail = {0x83, 0x00, 0x00, 0x11, 0x00, 0x04, 'd', 'a',  't',  'a',
                        0x00, 0x00, 'h',  'e',  'l',  'l',  'o', 0x00, 0x00, 0x00};
    const Bytes all = root_bytes(buf);
    ASSERT_EQ(all.size(), 4u + 16 + 20);
    EXPECT_EQ(Bytes(all.begin(), all.begin() + 4), (Bytes{0x02, 0x00, 0x00, 0x28}));
    EXPECT_EQ(Bytes(all.end() - 20, all.end()), tail);

    ASSERT_EQ(blobmsg_trim_field(&buf, data, 0), 0);
    EXPECT_EQ(blob_buf_padded_len(&buf), 4u + 16 + 12);
}

TEST(BlobBuild, TrimRefusesAnyFieldButTheLast) {
    blob_buf buf;
    ASSERT_EQ(blob_buf_init(&buf), 0);
    ASSERT_NE(blobmsg_reserve_field(&buf, "a", 8), nullptr);
    blob_attr* first = reinterpret_cast<blob_attr*>(buf.bytes.data() + 4);
    ASSERT_NE(blobmsg_reserve_field(&buf, "b", 8), nullptr);
    const size_t before = blob_buf_padded_len(&buf);
    EXPECT_EQ(blobmsg_trim_field(&buf, first, 1), -1);
    EXPECT_EQ(blobmsg_trim_field(&buf, reinterpret_cast<blob_attr*>(buf.bytes.data()), 1), -1);
    EXPECT_EQ(blob_buf_padded_len(&buf), before);
}

TEST(BlobBuild, RefusedAddsLeaveTheMessageAsItWas) {
    blob_buf buf;
    ASSERT_EQ(blob_buf_init(&buf), 0);
    ASSERT_EQ(blobmsg_add_int32(&buf, "len", 1), 0);
    const Bytes before = root_bytes(buf);

    const std::string long_name(65536, 'n');
    EXPECT_EQ(blobmsg_add_int32(&buf, "", 1), -1);
    EXPECT_EQ(blobmsg_add_int32(&buf, long_name.c_str(), 1), -1);
    EXPECT_EQ(blobmsg_add_field(&buf, 9, "x", "", 0), -1);
    EXPECT_EQ(blobmsg_add_field(&buf, -1, "x", "", 0), -1);
    EXPECT_EQ(blobmsg_add_string(&buf, "x", nullptr), -1);
    // The 24-bit length caps a field and the whole message at 16 MiB.
    EXPECT_EQ(blobmsg_reserve_field(&buf, "data", 0xffffff), nullptr);
    EXPECT_EQ(root_bytes(buf), before);

    ASSERT_NE(blobmsg_reserve_field(&buf, "data", 0xfffffc - 4 - 16 - 12), nullptr);
    EXPECT_EQ(blob_buf_padded_len(&buf), 0xfffffcu);
    EXPECT_EQ(blobmsg_add_int32(&buf, "len", 1), -1);
    EXPECT_EQ(blob_buf_padded_len(&buf), 0xfffffcu);
}

// ---- parsing ------------------------------------------------------------------------

TEST(BlobParse, RoundTripOfEveryType) {
    blob_buf buf;
    ASSERT_EQ(blob_buf_init(&buf), 0);
    const uint8_t i16[] = {0x12, 0x34}, i8[] = {0x7f};
    ASSERT_EQ(blobmsg_add_string(&buf, "path", "/srv/a b"), 0);
    ASSERT_EQ(blobmsg_add_int32(&buf, "errno", 0xfffffffeu), 0);
    ASSERT_EQ(blobmsg_add_int64(&buf, "fd", 0x8000000000000001ull), 0);
    ASSERT_EQ(blobmsg_add_field(&buf, BLOBMSG_TYPE_INT16, "i16", i16, 2), 0);
    ASSERT_EQ(blobmsg_add_field(&buf, BLOBMSG_TYPE_INT8, "i8", i8, 1), 0);
    ASSERT_EQ(blobmsg_add_field(&buf, BLOBMSG_TYPE_BINARY, "data", "\0\1\2", 3), 0);
    ASSERT_EQ(blobmsg_add_field(&buf, BLOBMSG_TYPE_TABLE, "tbl", nullptr, 0), 0);
    ASSERT_EQ(blobmsg_add_field(&buf, BLOBMSG_TYPE_UNSPEC, "any", "zz", 2), 0);
    ASSERT_EQ(blobmsg_add_string(&buf, "empty", ""), 0);

    const blobmsg_policy table[] = {
        {"empty", BLOBMSG_TYPE_STRING}, {"fd", BLOBMSG_TYPE_INT64},  {"errno", BLOBMSG_TYPE_INT32},
        {"path", BLOBMSG_TYPE_STRING},  {"i16", BLOBMSG_TYPE_INT16}, {"i8", BLOBMSG_TYPE_INT8},
        {"data", BLOBMSG_TYPE_BINARY},  {"tbl", BLOBMSG_TYPE_TABLE}, {"any", BLOBMSG_TYPE_UNSPEC},
        {"gone", BLOBMSG_TYPE_INT32},
    };
    const blob_attr* tb[10];
    ASSERT_EQ(blobmsg_parse(table, 10, tb, value_of(buf), value_len_of(buf)), 0);
    for (int i = 0; i < 9; ++i) ASSERT_NE(tb[i], nullptr) << table[i].name;
    EXPECT_EQ(tb[9], nullptr);

    EXPECT_STREQ(blobmsg_get_string(tb[0]), "");
    EXPECT_EQ(blobmsg_data_len(tb[0]), 1u);  // "" carries its zero
    EXPECT_EQ(blobmsg_get_int64(tb[1]), static_cast<int64_t>(0x8000000000000001ull));
    EXPECT_EQ(blobmsg_get_int32(tb[2]), -2);
    EXPECT_STREQ(blobmsg_get_string(tb[3]), "/srv/a b");
    EXPECT_STREQ(blobmsg_name(tb[3]), "path");
    EXPECT_EQ(blobmsg_data(tb[4])[0], 0x12);
    EXPECT_EQ(blobmsg_data(tb[5])[0], 0x7f);
    EXPECT_EQ(Bytes(blobmsg_data(tb[6]), blobmsg_data(tb[6]) + blobmsg_data_len(tb[6])),
              (Bytes{0, 1, 2}));
    EXPECT_EQ(blobmsg_data_len(tb[7]), 0u);
    EXPECT_EQ(blob_id(tb[8]), BLOBMSG_TYPE_UNSPEC);
}

TEST(BlobParse, TypeIsPartOfTheMatch) {
    // {"len", int32} and {"len", int64} are different fields.
    const blobmsg_policy want_i32[] = {{"len", BLOBMSG_TYPE_INT32}};
    const blob_attr* tb[1];

    const Bytes only_i64 = join({{BLOBMSG_TYPE_INT64, "len", be64(7)}});
    ASSERT_EQ(blobmsg_parse(want_i32, 1, tb, only_i64.data(), only_i64.size()), 0);
    EXPECT_EQ(tb[0], nullptr);

    const Bytes both =
        join({{BLOBMSG_TYPE_INT64, "len", be64(7)}, {BLOBMSG_TYPE_INT32, "len", be32(9)}});
    ASSERT_EQ(blobmsg_parse(want_i32, 1, tb, both.data(), both.size()), 0);
    ASSERT_NE(tb[0], nullptr);
    EXPECT_EQ(blobmsg_get_int32(tb[0]), 9);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(tb[0]), both.data() + 20);
}

TEST(BlobParse, FirstOccurrenceWinsAndOneFieldFillsEveryEntryItMatches) {
    const Bytes msg = join({{BLOBMSG_TYPE_INT32, "len", be32(1)},
                            {BLOBMSG_TYPE_STRING, "junk", str("ignored")},
                            {BLOBMSG_TYPE_INT32, "len", be32(2)}});
    const blobmsg_policy table[] = {{"len", BLOBMSG_TYPE_INT32}, {"len", BLOBMSG_TYPE_UNSPEC}};
    const blob_attr* tb[2];
    ASSERT_EQ(blobmsg_parse(table, 2, tb, msg.data(), msg.size()), 0);
    ASSERT_NE(tb[0], nullptr);
    EXPECT_EQ(tb[0], tb[1]);
    EXPECT_EQ(blobmsg_get_int32(tb[0]), 1);
}

TEST(BlobParse, MalformedFieldThatCouldBeWantedFailsTheWholeParse) {
    const Bytes good = lay({BLOBMSG_TYPE_INT32, "len", be32(1)});
    struct Case {
        const char* what;
        Field field;
    } cases[] = {
        // Same type and name length as "len": the name is checked before it is compared.
        {"name not terminated", {BLOBMSG_TYPE_INT32, "lex", be32(1), 0, 'x'}},
        {"int32 of 3 bytes", {BLOBMSG_TYPE_INT32, "len", {1, 2, 3}}},
        {"int32 of 8 bytes", {BLOBMSG_TYPE_INT32, "len", be64(1)}},
        {"int64 of 4 bytes", {BLOBMSG_TYPE_INT64, "fd", be32(1)}},
        {"int16 of 1 byte", {BLOBMSG_TYPE_INT16, "i16", {1}}},
        {"int8 of 2 bytes", {BLOBMSG_TYPE_INT8, "i8", {1, 2}}},
        {"string without zero", {BLOBMSG_TYPE_STRING, "path", {'a', 'b'}}},
        {"string of 0 bytes", {BLOBMSG_TYPE_STRING, "path", {}}},
        {"type above 8", {9, "any", {1}}},
        // The name's zero would be the first byte past the attribute.
        {"name zero outside the attribute", {BLOBMSG_TYPE_BINARY, "data", {}, 10}},
        // The value would start past the end of the attribute.
        {"value start outside the attribute", {BLOBMSG_TYPE_BINARY, "data", {}, 11}},
    };
    const blobmsg_policy table[] = {
        {"len", BLOBMSG_TYPE_INT32},   {"fd", BLOBMSG_TYPE_INT64},    {"i16", BLOBMSG_TYPE_INT16},
        {"i8", BLOBMSG_TYPE_INT8},     {"path", BLOBMSG_TYPE_STRING}, {"any", BLOBMSG_TYPE_UNSPEC},
        {"data", BLOBMSG_TYPE_BINARY},
    };
    for (const auto& c : cases) {
        Bytes msg = good;
        const Bytes bad = lay(c.field);
        msg.insert(msg.end(), bad.begin(), bad.end());
        const blob_attr* tb[7];
        const Exact exact(msg);
        EXPECT_EQ(blobmsg_parse(table, 7, tb, exact.data.get(), exact.size), -1) << c.what;
        EXPECT_EQ(tb[0], nullptr) << c.what;  // nothing half-filled is handed out
    }
}

TEST(BlobParse, MalformedFieldNobodyWantsIsIgnored) {
    const blobmsg_policy table[] = {{"len", BLOBMSG_TYPE_INT32}};
    Bytes msg = join({
        {BLOBMSG_TYPE_INT64, "lex", be64(1), 0, 'x'},  // other type
        {BLOBMSG_TYPE_INT32, "long", {1}},             // other name length
    });
    // An int32 too short to carry a name length has no name to match.
    const Bytes nameless = {0x86, 0x00, 0x00, 0x05, 0x00, 0x03, 'l', 0x00};
    const Bytes wanted = lay({BLOBMSG_TYPE_INT32, "len", be32(4)});
    msg.insert(msg.end(), nameless.begin(), nameless.end());
    msg.insert(msg.end(), wanted.begin(), wanted.end());
    const blob_attr* tb[1];
    ASSERT_EQ(blobmsg_parse(table, 1, tb, msg.data(), msg.size()), 0);
    ASSERT_NE(tb[0], nullptr);
    EXPECT_EQ(blobmsg_get_int32(tb[0]), 4);
}

TEST(BlobParse, TruncatedTailEndsTheWalk) {
    const Bytes first = lay({BLOBMSG_TYPE_INT32, "len", be32(4)});
    const Bytes second = lay({BLOBMSG_TYPE_STRING, "path", str("/x")});
    struct Case {
        const char* what;
        Bytes tail;
    } cases[] = {
        {"1 stray byte", {0x84}},
        {"3 stray bytes", {0x84, 0x00, 0x00}},
        {"field cut short", Bytes(second.begin(), second.end() - 4)},
        {"zero length", {0x84, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff}},
        {"length beyond the message", {0x84, 0xff, 0xff, 0xff, 0x00, 0x04, 'p', 'a'}},
    };
    const blobmsg_policy table[] = {{"len", BLOBMSG_TYPE_INT32}, {"path", BLOBMSG_TYPE_STRING}};
    for (const auto& c : cases) {
        Bytes msg = first;
        msg.insert(msg.end(), c.tail.begin(), c.tail.end());
        const blob_attr* tb[2];
        const Exact exact(msg);
        ASSERT_EQ(blobmsg_parse(table, 2, tb, exact.data.get(), exact.size), 0) << c.what;
        EXPECT_NE(tb[0], nullptr) << c.what;
        EXPECT_EQ(tb[1], nullptr) << c.what;
    }
    const blob_attr* tb[2] = {};
    EXPECT_EQ(blobmsg_parse(table, 2, tb, nullptr, 0), 0);
    EXPECT_EQ(blobmsg_parse(table, 2, tb, first.data(), 0), 0);
    EXPECT_EQ(tb[0], nullptr);
}

// ---- the reply rule ------------------------------------------------------------------

class ReplyRule : public ::testing::Test {
  protected:
    struct Line {
        uint32_t level;
        std::string text;
    };
    static std::mutex mutex;
    static std::vector<Line> lines;

    static void capture(uint32_t level, const char* text, size_t length) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back({level & 0xff, std::string(text, length)});
    }

    void SetUp() override {
        int level = LOG_DBG;
        log2_ioctl(nullptr, 1, &level, sizeof level);
        log2_out_hook hook = &capture;
        log2_ioctl(nullptr, 5, &hook, sizeof hook);
        log2_ioctl(nullptr, 6, &hook, sizeof hook);
        lines.clear();
    }
    void TearDown() override {
        log2_out_hook none = nullptr;
        log2_ioctl(nullptr, 5, &none, sizeof none);
        log2_ioctl(nullptr, 6, &none, sizeof none);
    }

    bool logged(uint32_t level, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& line : lines) {
            if (line.level == level && line.text.find(text) != std::string::npos) return true;
        }
        return false;
    }

    int parse(size_t code, const Bytes& msg, bool extended = false) {
        const auto table = sd_reply_table(static_cast<int>(code), extended);
        tb.assign(table.size(), nullptr);
        return cli_blobmsg_parse(table.data(), static_cast<int>(table.size()), tb.data(),
                                 msg.data(), msg.size());
    }

    std::vector<const blob_attr*> tb;
};
std::mutex ReplyRule::mutex;
std::vector<ReplyRule::Line> ReplyRule::lines;

TEST_F(ReplyRule, ServerErrorNeedsNoFurtherFields) {
    const Bytes msg = join({{BLOBMSG_TYPE_INT32, "errno", be32(5)},
                            {BLOBMSG_TYPE_STRING, "errno_str", str("Input/output error")}});
    ASSERT_EQ(parse(SD_REQ_STAT, msg), 0);
    ASSERT_EQ(tb.size(), 10u);
    EXPECT_EQ(blobmsg_get_int32(tb[SD_ERRNO]), 5);
    EXPECT_STREQ(blobmsg_get_string(tb[SD_ERRNO_STR]), "Input/output error");
    EXPECT_EQ(tb[SD_STAT_TYPE], nullptr);
}

TEST_F(ReplyRule, SuccessWithoutTheThirdFieldIsRejectedAndLogsIndexTwo) {
    const Bytes msg = join({{BLOBMSG_TYPE_INT32, "errno", be32(0)},
                            {BLOBMSG_TYPE_STRING, "errno_str", str("")},
                            {BLOBMSG_TYPE_INT32, "flags", be32(0)}});
    EXPECT_EQ(parse(SD_REQ_READ, msg), -1);  // "len", "flags", "data": "len" is missing
    EXPECT_TRUE(logged(LOG_ERR, "ba[2]=NULL error\n"));
}

TEST_F(ReplyRule, MissingErrnoOrErrnoStrIsRejectedAtDebugLevel) {
    struct Case {
        Bytes msg;
        const char* line;
    } cases[] = {
        {join({{BLOBMSG_TYPE_STRING, "errno_str", str("")}, {BLOBMSG_TYPE_INT64, "fd", be64(3)}}),
         "ba[0]=NULL error\n"},
        // "errno" of the wrong type does not count.
        {join(
             {{BLOBMSG_TYPE_INT64, "errno", be64(0)}, {BLOBMSG_TYPE_STRING, "errno_str", str("")}}),
         "ba[0]=NULL error\n"},
        {join({{BLOBMSG_TYPE_INT32, "errno", be32(2)}, {BLOBMSG_TYPE_INT64, "fd", be64(3)}}),
         "ba[1]=NULL error\n"},
    };
    for (const auto& c : cases) {
        lines.clear();
        EXPECT_EQ(parse(SD_REQ_OPEN, c.msg), -1) << c.line;
        EXPECT_TRUE(logged(LOG_DBG, c.line)) << c.line;
    }
}

TEST_F(ReplyRule, MalformedReplyFailsBeforeTheRule) {
    const Bytes msg =
        join({{BLOBMSG_TYPE_INT32, "errno", be32(0)}, {BLOBMSG_TYPE_STRING, "errno_str", {'x'}}});
    EXPECT_EQ(parse(SD_REQ_CLOSE, msg), -1);
}

// A complete reply for every table: every field of the table's type, in order.
Bytes full_reply(std::span<const blobmsg_policy> table) {
    Bytes out;
    int n = 0;
    for (const auto& entry : table) {
        Bytes value;
        switch (entry.type) {
            case BLOBMSG_TYPE_INT32:
                value = be32(n == 0 ? 0 : 1000 + n);
                break;
            case BLOBMSG_TYPE_INT64:
                value = be64(0x100000000ull + n);
                break;
            case BLOBMSG_TYPE_STRING:
                value = str("v" + std::to_string(n));
                break;
            default:
                value = {1, 2, 3};
                break;
        }
        const Bytes f = lay({entry.type, entry.name, value});
        out.insert(out.end(), f.begin(), f.end());
        ++n;
    }
    return out;
}

TEST_F(ReplyRule, EveryCatalogueTableAcceptsItsCompleteReply) {
    const int codes[] = {1,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 19, 20,
                         21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 41, 42, 43, 44, 50, 90, 91};
    for (int code : codes) {
        for (bool extended : {false, true}) {
            const auto table = sd_reply_table(code, extended);
            ASSERT_GE(table.size(), 2u) << code;
            EXPECT_STREQ(table[0].name, "errno");
            EXPECT_EQ(table[0].type, BLOBMSG_TYPE_INT32);
            EXPECT_STREQ(table[1].name, "errno_str");
            EXPECT_EQ(table[1].type, BLOBMSG_TYPE_STRING);
            std::set<std::string> names;
            for (const auto& entry : table) names.insert(entry.name);
            EXPECT_EQ(names.size(), table.size()) << code;

            const Bytes msg = full_reply(table);
            EXPECT_EQ(parse(static_cast<size_t>(code), msg, extended), 0) << code;
            for (size_t i = 0; i < tb.size(); ++i) EXPECT_NE(tb[i], nullptr) << code << " " << i;
        }
    }
    EXPECT_TRUE(sd_reply_table(SD_REQ_QUIT, false).empty());
    EXPECT_TRUE(sd_reply_table(17, false).empty());
    EXPECT_TRUE(sd_reply_table(255, true).empty());
}

TEST(Catalogue, StatTablesHaveTenAndNineteenEntries) {
    for (int code : {6, 7, 21, 26, 28}) {
        const auto base = sd_reply_table(code, false);
        const auto ext = sd_reply_table(code, true);
        ASSERT_EQ(base.size(), 10u);
        ASSERT_EQ(ext.size(), 19u);
        for (size_t i = 0; i < base.size(); ++i) EXPECT_EQ(base[i].name, ext[i].name);
    }
    const auto ext = sd_reply_table(SD_REQ_STAT_EX, true);
    std::vector<std::string> names;
    for (const auto& entry : ext) names.push_back(entry.name);
    EXPECT_THAT(names, ::testing::ElementsAre("errno", "errno_str", "type", "attrib_mode", "uid",
                                              "gid", "len", "time_access", "time_write",
                                              "time_create", "time_access_ns", "time_write_ns",
                                              "time_create_ns", "st_nlink", "st_dev", "st_rdev",
                                              "st_ino", "st_blksize", "st_blocks"));
    EXPECT_EQ(ext[SD_STAT_LEN].type, BLOBMSG_TYPE_INT64);
    EXPECT_EQ(ext[SD_STAT_TIME_CREATE_NS].type, BLOBMSG_TYPE_INT32);
    EXPECT_STREQ(ext[SD_STAT_ST_BLOCKS].name, "st_blocks");
}

TEST(Catalogue, FieldOrderOfMultiFieldReplies) {
    struct Case {
        int code;
        std::vector<std::string> names;
        std::vector<uint8_t> types;
    } cases[] = {
        {5,
         {"flags", "name_len", "avail_bytes", "free_bytes", "total_bytes", "fs_name", "vol_name"},
         {6, 6, 5, 5, 5, 4, 4}},
        {12, {"len", "flags", "data"}, {6, 6, 3}},
        {29, {"len", "flags", "data"}, {6, 6, 3}},
        {19, {"type", "len", "offset", "sector_bytes", "info"}, {6, 5, 5, 6, 4}},
        {42, {"len", "data"}, {6, 3}},
        {90, {"ver", "cert"}, {6, 4}},
        {15, {"offset"}, {5}},
        {24, {"fd"}, {5}},
    };
    for (const auto& c : cases) {
        const auto table = sd_reply_table(c.code, false);
        ASSERT_EQ(table.size(), c.names.size() + 2) << c.code;
        for (size_t i = 0; i < c.names.size(); ++i) {
            EXPECT_EQ(table[i + 2].name, c.names[i]) << c.code;
            EXPECT_EQ(table[i + 2].type, c.types[i]) << c.code << " " << c.names[i];
        }
    }
}

// ---- typed lists ---------------------------------------------------------------------

TEST(TypedList, ConvertsAsManyAsTheShorterSide) {
    uint32_t a = 0, b = 0;
    uint64_t c = 77;
    const typed_dest dest[] = {&a, &b, &c};
    EXPECT_EQ(cli_typed_list_parse("12\t34", '\t', "u32|u32|u64", dest), 2);
    EXPECT_EQ(a, 12u);
    EXPECT_EQ(b, 34u);
    EXPECT_EQ(c, 77u);  // surplus type: untouched
    EXPECT_EQ(cli_typed_list_parse("5\t6\t7\tname\tmore", '\t', "u32|u32", dest), 2);
    EXPECT_EQ(b, 6u);
}

TEST(TypedList, EveryTypeConverts) {
    uint32_t u32 = 0, x32 = 0;
    uint64_t u64 = 0, x64 = 0;
    size_t size = 0;
    int neg = 0, pos = 0;
    std::string text;
    const typed_dest dest[] = {&u32, &u64, &x32, &x64, &size, &neg, &pos, &text};
    EXPECT_EQ(cli_typed_list_parse("4294967295\t18446744073709551615\tdeadBEEF\t0x1F\t4096\t"
                                   "  -42\t+7\ta name with spaces",
                                   '\t', "u32|u64|x32|x64|size|int|int|str", dest),
              8);
    EXPECT_EQ(u32, 4294967295u);
    EXPECT_EQ(u64, 18446744073709551615ull);
    EXPECT_EQ(x32, 0xdeadbeefu);
    EXPECT_EQ(x64, 0x1fu);
    EXPECT_EQ(size, 4096u);
    EXPECT_EQ(neg, -42);
    EXPECT_EQ(pos, 7);
    EXPECT_EQ(text, "a name with spaces");
}

TEST(TypedList, BadValueStopsTheConversionThere) {
    struct Case {
        const char* line;
        int converted;
    } cases[] = {
        {"1\t4294967296\t3", 1},                 // too large for 32 bits
        {"1\t-2\t3", 1},                         // a sign in an unsigned value
        {"1\t 2\t3", 1},                         // blanks are only skipped for "int"
        {"1\t2x\t3", 1},         {"1\t\t3", 1},  // empty value
        {"\t2\t3", 0},           {"", 0},       {"1\t2\t3", 3},
    };
    for (const auto& c : cases) {
        uint32_t v[3] = {};
        const typed_dest dest[] = {&v[0], &v[1], &v[2]};
        EXPECT_EQ(cli_typed_list_parse(c.line, '\t', "u32|u32|u32", dest), c.converted) << c.line;
    }
    int i = 0;
    const typed_dest one_int[] = {&i};
    EXPECT_EQ(cli_typed_list_parse("2147483648", '\t', "int", one_int), 0);
    EXPECT_EQ(cli_typed_list_parse("-2147483648", '\t', "int", one_int), 1);
}

TEST(TypedList, BadFormatOrDestinationIsAnInvalidParameter) {
    uint32_t a = 0;
    uint64_t b = 0;
    struct Case {
        const char* what;
        const char* format;
        std::vector<typed_dest> dest;
    } cases[] = {
        {"unknown type", "u32|u16", {&a, &a}},
        {"empty type name", "u32||u32", {&a, &a, &a}},
        {"fewer destinations than types", "u32|u32", {&a}},
        {"u64 into 32 bits", "u64", {&a}},
        {"u32 into 64 bits", "u32", {&b}},
        {"str into a number", "str", {&a}},
        {"int into unsigned", "int", {&a}},
    };
    for (const auto& c : cases) {
        errno = 0;
        EXPECT_EQ(cli_typed_list_parse("1\t2\t3", '\t', c.format, c.dest), -1) << c.what;
        EXPECT_EQ(errno, verr_2_posix(VERR_INVALID_PARAMETER)) << c.what;
    }
}

TEST(TypedList, DirectoryEntryLine) {
    // The extended entry set followed by the second text and the name.
    uint32_t u[7] = {};
    uint64_t w[10] = {};
    const typed_dest dest[] = {&u[0], &u[1], &u[2], &u[3], &w[0], &w[1], &w[2], &w[3], &u[4],
                               &u[5], &u[6], &w[4], &w[5], &w[6], &w[7], &w[8], &w[9]};
    const char* line =
        "1\t33188\t1000\t1000\t1700000000\t1700000001\t1700000002\t12345\t1\t2\t3\t1\t2049\t0\t"
        "131\t4096\t32\tinfo\tfile name.txt";
    EXPECT_EQ(cli_typed_list_parse(line, '\t',
                                   "u32|u32|u32|u32|u64|u64|u64|u64|u32|u32|u32|u64|u64|u64|u64|"
                                   "u64|u64",
                                   dest),
              17);
    EXPECT_EQ(u[1], 33188u);
    EXPECT_EQ(w[3], 12345u);
    EXPECT_EQ(w[9], 32u);
}

}  // namespace

namespace {

// A server checks every request's table whole, whatever fields it looks for.
TEST(BlobmsgTableValid, EveryFieldWholeAndTheTableFilledExactly) {
    const Bytes good = lay({BLOBMSG_TYPE_STRING, "path", {'a', 0}});
    const Bytes two = [&] {
        Bytes b = good;
        const Bytes more = lay({BLOBMSG_TYPE_INT32, "len", {0, 0, 0, 7}});
        b.insert(b.end(), more.begin(), more.end());
        return b;
    }();
    struct Case {
        const char* name;
        Bytes table;
        bool valid;
    };
    Bytes claims_more = good;
    claims_more[3] = 0x7f;
    Bytes trailing = good;
    trailing.insert(trailing.end(), {0, 0});
    const std::vector<Case> cases = {
        {"empty", {}, true},
        {"one field", good, true},
        {"two fields", two, true},
        {"a field claiming more than the table holds", claims_more, false},
        {"bytes after the last field", trailing, false},
        {"a string without its zero", lay({BLOBMSG_TYPE_STRING, "path", {'a', 'b'}}), false},
        {"an int32 of 8 bytes", lay({BLOBMSG_TYPE_INT32, "len", Bytes(8, 0)}), false},
        {"a name without its zero", lay({BLOBMSG_TYPE_BINARY, "x", {1}, 0, 'y'}), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(blobmsg_table_valid(c.table.data(), c.table.size()), c.valid);
    }
    EXPECT_TRUE(blobmsg_table_valid(nullptr, 0));
}

}  // namespace
