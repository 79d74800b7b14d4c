#include "libpack/pack_ex.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> text_block(size_t size) {
    std::vector<uint8_t> out(size);
    static const char kLine[] = "drwxr-xr-x 2 user group 4096 /srv/backup/photos/2021\n";
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(kLine[i % (sizeof kLine - 1)]);
    return out;
}

std::vector<uint8_t> random_block(size_t size) {
    std::mt19937 gen(12345);
    std::vector<uint8_t> out(size);
    for (auto& b : out) b = static_cast<uint8_t>(gen());
    return out;
}

class PackState : public ::testing::Test {
  protected:
    void open(const char* name, int id = 0) {
        std::snprintf(ctx.name, sizeof ctx.name, "%s", name);
        ctx.id = id;
        ASSERT_EQ(zcomp_init(&ctx), 0) << name << " / " << id;
    }

    // Packs `data` into a buffer of exactly zcomp_bound bytes.
    std::vector<uint8_t> pack(const std::vector<uint8_t>& data) {
        std::vector<uint8_t> out(zcomp_bound(data.size()));
        const int n = zcomp_compress(&ctx, data.data(), data.size(), out.data(), out.size());
        EXPECT_GE(n, 0);
        out.resize(n < 0 ? 0 : static_cast<size_t>(n));
        return out;
    }

    zcomp_ctx ctx;
};

TEST(PackBound, WorstCaseSizeAndLimit) {
    EXPECT_EQ(zcomp_bound(0), 16u);
    EXPECT_EQ(zcomp_bound(255), 255u + 1 + 16);
    EXPECT_EQ(zcomp_bound(0x7e000000), 0x7e7e7e8eu);
    EXPECT_EQ(zcomp_bound(0x7e000001), 0u);
}

TEST(PackCodecs, OpenByNameAndId) {
    struct Case {
        const char* name;
        int id;
        int want_id;  // -1: no codec
    } cases[] = {
        {"none", 0, 0}, {"lz4", 0, 1}, {nullptr, 0, 0},  {nullptr, 1, 1},   {"LZ4", 0, -1},
        {"lz", 0, -1},  {"", 0, -1},   {nullptr, 2, -1}, {nullptr, -1, -1},
    };
    for (const auto& c : cases) {
        zcomp* codec =
            c.name ? zcomp_open_by_name(c.name, nullptr) : zcomp_open_by_id(c.id, nullptr);
        if (c.want_id < 0) {
            EXPECT_EQ(codec, nullptr) << (c.name ? c.name : "id") << " " << c.id;
            continue;
        }
        ASSERT_NE(codec, nullptr) << (c.name ? c.name : "id") << " " << c.id;
        EXPECT_EQ(zcomp_get_id(codec), c.want_id);
        EXPECT_STREQ(zcomp_get_name(codec), c.want_id == 0 ? "none" : "lz4");
        zcomp_close(codec);
    }
    zcomp_close(nullptr);
}

TEST(PackCodecs, InitChoosesByNameFirstThenId) {
    struct Case {
        const char* name;
        int id;
        int result;
        int id_after;
    } cases[] = {
        {"", 1, 0, 1},       // empty name: the id decides
        {"", 0, 0, 0},       //
        {"none", 1, 0, 0},   // the name wins and the id follows it
        {"lz4", 0, 0, 1},    //
        {"zstd", 1, -1, 1},  // a name not in the table fails even with a good id
        {"", 2, -1, 2},      // so does an unknown id
        {"", -7, -1, -7},    //
    };
    for (const auto& c : cases) {
        zcomp_ctx ctx;
        std::snprintf(ctx.name, sizeof ctx.name, "%s", c.name);
        ctx.id = c.id;
        EXPECT_EQ(zcomp_init(&ctx), c.result) << "'" << c.name << "' " << c.id;
        EXPECT_EQ(ctx.id, c.id_after) << "'" << c.name << "' " << c.id;
        EXPECT_EQ(ctx.codec != nullptr, c.result == 0);
    }
}

TEST(PackCodecs, NameFillingAllSixteenBytesIsRefused) {
    zcomp_ctx ctx;
    std::memset(ctx.name, 'a', sizeof ctx.name);  // no terminating zero
    EXPECT_EQ(zcomp_init(&ctx), -1);
    std::memcpy(ctx.name, "lz4\0", 4);
    EXPECT_EQ(zcomp_init(&ctx), 0);
}

TEST_F(PackState, RoundTripEveryCodec) {
    const std::vector<std::vector<uint8_t>> blocks = {text_block(1), text_block(100),
                                                      text_block(1 << 20), random_block(4096),
                                                      random_block(70000)};
    for (const char* name : {"none", "lz4"}) {
        open(name);
        for (const auto& block : blocks) {
            const auto packed = pack(block);
            ASSERT_FALSE(packed.empty());
            ASSERT_LE(packed.size(), zcomp_bound(block.size()));
            uint8_t* out = nullptr;
            ASSERT_EQ(
                zcomp_decompress_aligned(&ctx, packed.data(), packed.size(), &out, block.size()), 0)
                << name << " " << block.size();
            EXPECT_EQ(std::memcmp(out, block.data(), block.size()), 0) << name;

            std::vector<uint8_t> plain(block.size());
            EXPECT_EQ(
                zcomp_decompress(&ctx, packed.data(), packed.size(), plain.data(), plain.size()),
                static_cast<int>(block.size()));
            EXPECT_EQ(plain, block);
        }
    }
}

TEST_F(PackState, Lz4ShrinksTextAndBoundHoldsForIncompressibleData) {
    open("lz4");
    EXPECT_LT(pack(text_block(1 << 20)).size(), size_t{1 << 16});
    const auto noise = random_block(1 << 16);
    const auto packed = pack(noise);
    EXPECT_GT(packed.size(), noise.size());
    EXPECT_LE(packed.size(), zcomp_bound(noise.size()));
}

TEST_F(PackState, CompressRefusesTooSmallDestination) {
    const auto block = random_block(1000);
    for (const char* name : {"none", "lz4"}) {
        open(name);
        // Exactly sized so that ASan sees any write past the capacity.
        std::vector<uint8_t> small(block.size() / 2);
        EXPECT_EQ(zcomp_compress(&ctx, block.data(), block.size(), small.data(), small.size()), -1)
            << name;
    }
}

TEST_F(PackState, EmptyBlocks) {
    for (const char* name : {"none", "lz4"}) {
        open(name);
        const auto packed = pack({});
        uint8_t* out = nullptr;
        EXPECT_EQ(zcomp_decompress_aligned(&ctx, packed.data(), packed.size(), &out, 0), 0) << name;
        EXPECT_NE(out, nullptr);
    }
}

TEST(PackNoCodec, EveryOperationFails) {
    zcomp_ctx ctx;
    uint8_t src[8] = {}, dst[64];
    uint8_t* out = nullptr;
    EXPECT_EQ(zcomp_compress(&ctx, src, sizeof src, dst, sizeof dst), -1);
    EXPECT_LT(zcomp_decompress(&ctx, src, sizeof src, dst, sizeof dst), 0);
    EXPECT_EQ(zcomp_decompress_aligned(&ctx, src, sizeof src, &out, 8), -1);
    EXPECT_EQ(out, nullptr);
}

TEST_F(PackState, CorruptOrMisSizedPayloadIsRefused) {
    open("lz4");
    const auto block = text_block(50000);
    const auto packed = pack(block);
    uint8_t* const untouched = reinterpret_cast<uint8_t*>(0x1);

    struct Case {
        const char* what;
        std::vector<uint8_t> payload;
        size_t expected;
    };
    std::vector<uint8_t> truncated(packed.begin(), packed.end() - 3);
    // Point the first sequence's match before the start of the output: skip
    // the token, the literal-length extension bytes and the literals.
    std::vector<uint8_t> bad_offset = packed;
    size_t at = 1;
    size_t literals = bad_offset[0] >> 4;
    if (literals == 15) {
        while (bad_offset[at] == 255) literals += bad_offset[at++];
        literals += bad_offset[at++];
    }
    at += literals;
    ASSERT_LT(at + 1, bad_offset.size());
    bad_offset[at] = 0xff;
    bad_offset[at + 1] = 0xff;
    const Case cases[] = {
        {"one byte short of expected", packed, block.size() + 1},
        {"one byte more than expected", packed, block.size() - 1},
        {"truncated", truncated, block.size()},
        {"match offset out of range", bad_offset, block.size()},
        {"empty payload", {}, 10},
        {"garbage", random_block(64), 1000},
        // A forged length is refused before anything is allocated for it.
        {"claims more than it could unpack to", {0x00}, size_t{1} << 30},
    };
    for (const auto& c : cases) {
        uint8_t* out = untouched;
        EXPECT_EQ(
            zcomp_decompress_aligned(&ctx, c.payload.data(), c.payload.size(), &out, c.expected),
            -1)
            << c.what;
        EXPECT_EQ(out, untouched) << c.what;
    }
    EXPECT_LT(ctx.capacity, size_t{1} << 30);
}

TEST_F(PackState, PlainDecompressNeverWritesPastCapacity) {
    open("lz4");
    const auto packed = pack(text_block(10000));
    std::vector<uint8_t> small(9999);  // one byte short, exactly sized for ASan
    EXPECT_LT(zcomp_decompress(&ctx, packed.data(), packed.size(), small.data(), small.size()), 0);
}

TEST_F(PackState, NoneCodecRequiresExactLength) {
    open("none");
    const auto block = random_block(100);
    uint8_t* out = nullptr;
    EXPECT_EQ(zcomp_decompress_aligned(&ctx, block.data(), block.size(), &out, 101), -1);
    EXPECT_EQ(zcomp_decompress_aligned(&ctx, block.data(), block.size(), &out, 99), -1);
    std::vector<uint8_t> small(50);
    EXPECT_EQ(zcomp_decompress(&ctx, block.data(), block.size(), small.data(), small.size()), -1);
}

TEST_F(PackState, AlignedBufferIsPageAlignedAndReused) {
    open("lz4");
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const auto big = text_block(200000);
    const auto small = text_block(3000);
    const auto packed_big = pack(big);
    const auto packed_small = pack(small);

    uint8_t* first = nullptr;
    ASSERT_EQ(
        zcomp_decompress_aligned(&ctx, packed_big.data(), packed_big.size(), &first, big.size()),
        0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first) % page, 0u);
    EXPECT_EQ(ctx.capacity, big.size());

    uint8_t* second = nullptr;
    ASSERT_EQ(zcomp_decompress_aligned(&ctx, packed_small.data(), packed_small.size(), &second,
                                       small.size()),
              0);
    EXPECT_EQ(second, first);
    EXPECT_EQ(ctx.capacity, big.size());
    EXPECT_EQ(std::memcmp(second, small.data(), small.size()), 0);

    // Growing replaces the buffer.
    uint8_t* grown = zcomp_alloc_align_pagesize(&ctx, big.size() + 1);
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(grown) % page, 0u);
    EXPECT_EQ(ctx.capacity, big.size() + 1);
}

TEST_F(PackState, ExitAndReinitReleaseTheBuffer) {
    open("lz4");
    ASSERT_NE(zcomp_alloc_align_pagesize(&ctx, 10000), nullptr);
    open("none");  // a second init releases what the first left
    EXPECT_EQ(ctx.capacity, 0u);
    EXPECT_EQ(ctx.buffer, nullptr);
    ASSERT_NE(zcomp_alloc_align_pagesize(&ctx, 10), nullptr);
    EXPECT_EQ(zcomp_exit(&ctx), 0);
    EXPECT_EQ(ctx.codec, nullptr);
    EXPECT_EQ(ctx.buffer, nullptr);
    EXPECT_EQ(ctx.capacity, 0u);
    EXPECT_EQ(zcomp_exit(&ctx), 0);
}

}  // namespace
