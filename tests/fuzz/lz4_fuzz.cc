// Untrusted packed payloads. Byte 0 picks the codec, bytes 1-4 the length the
// payload claims to unpack to (big-endian), the rest is the payload. The pack
// state lives across inputs, so buffer reuse is exercised too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "libpack/pack_ex.h"

namespace {
zcomp_ctx& state(int id) {
    static zcomp_ctx contexts[2];
    zcomp_ctx& ctx = contexts[id];
    if (!ctx.codec) {
        ctx.id = id;
        if (zcomp_init(&ctx) != 0) std::abort();
    }
    return ctx;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    zcomp_ctx& ctx = state(data[0] & 1);
    const size_t expected =
        (size_t{data[1]} << 24) | (size_t{data[2]} << 16) | (size_t{data[3]} << 8) | data[4];
    const uint8_t* payload = data + 5;
    const size_t length = size - 5;

    uint8_t* out = nullptr;
    if (zcomp_decompress_aligned(&ctx, payload, length, &out, expected) == 0) {
        volatile uint8_t sink = 0;
        for (size_t i = 0; i < expected; ++i) sink = sink ^ out[i];
    }

    // An exactly sized destination, so that any write past it is caught.
    std::vector<uint8_t> plain(expected % 65536);
    const int n = zcomp_decompress(&ctx, payload, length, plain.data(), plain.size());
    if (n > static_cast<int>(plain.size())) std::abort();

    // Whatever the bytes, packing them must read back unchanged.
    std::vector<uint8_t> packed(zcomp_bound(length));
    const int packed_len = zcomp_compress(&ctx, payload, length, packed.data(), packed.size());
    if (packed_len < 0) std::abort();
    if (zcomp_decompress_aligned(&ctx, packed.data(), static_cast<size_t>(packed_len), &out,
                                 length) != 0 ||
        std::memcmp(out, payload, length) != 0) {
        std::abort();
    }
    return 0;
}
