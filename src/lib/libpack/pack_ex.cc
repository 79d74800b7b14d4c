#include "libpack/pack_ex.h"

#include <lz4.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "liblog/log2.h"

#define PACK_LOG(level, ...) DV_LOG("pack", level, __VA_ARGS__)

namespace {

using codec_create = void* (*)(void* param);
using codec_destroy = void (*)(void* state);
// (state, source, length, destination, capacity) -> output length, <= 0 on failure.
using codec_transform = int (*)(void* state, const char* source, int length, char* destination,
                                int capacity);

struct codec_descriptor {
    const char* name;
    int id;
    // Most output bytes one input byte can unpack to: bounds what a payload
    // may claim to unpack to before anything is allocated for it.
    size_t max_expansion;
    codec_create create;
    codec_destroy destroy;
    codec_transform compress;
    codec_transform decompress;
};

// "none" has no state; its create returns this so that a non-null state always
// means a usable codec.
char none_state;

void* none_create(void*) {
    return &none_state;
}
void none_destroy(void*) {}
int none_copy(void*, const char* source, int length, char* destination, int capacity) {
    if (length > capacity) return -1;
    if (length > 0) std::memcpy(destination, source, static_cast<size_t>(length));
    return length;
}

void* lz4_create(void*) {
    return LZ4_createStream();
}
void lz4_destroy(void* state) {
    LZ4_freeStream(static_cast<LZ4_stream_t*>(state));
}
// Acceleration 17 trades ratio for speed: blocks are packed on the fly.
constexpr int kLz4Acceleration = 17;
int lz4_compress(void* state, const char* source, int length, char* destination, int capacity) {
    return LZ4_compress_fast_extState(state, source, destination, length, capacity,
                                      kLz4Acceleration);
}
int lz4_decompress(void*, const char* source, int length, char* destination, int capacity) {
    return LZ4_decompress_safe(source, destination, length, capacity);
}

constexpr std::array<codec_descriptor, 2> kCodecs = {{
    {"none", ZCOMP_ID_NONE, 1, none_create, none_destroy, none_copy, none_copy},
    {"lz4", ZCOMP_ID_LZ4, 255, lz4_create, lz4_destroy, lz4_compress, lz4_decompress},
}};

size_t page_size() {
    static const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<size_t>(size) : 0;
}

bool fits_int(size_t n) {
    return n <= static_cast<size_t>(INT_MAX);
}

}  // namespace

struct zcomp {
    const codec_descriptor* descriptor;
    void* state;
};

size_t zcomp_bound(size_t n) {
    return n > ZCOMP_MAX_INPUT ? 0 : n + n / 255 + 16;
}

namespace {
zcomp* open_codec(const codec_descriptor& descriptor, void* param) {
    void* state = descriptor.create(param);
    if (state == nullptr) return nullptr;
    auto* codec = new (std::nothrow) zcomp{&descriptor, state};
    if (codec == nullptr) descriptor.destroy(state);
    return codec;
}
}  // namespace

zcomp* zcomp_open_by_name(const char* name, void* param) {
    if (name == nullptr) return nullptr;
    for (const auto& descriptor : kCodecs) {
        if (std::strcmp(descriptor.name, name) == 0) return open_codec(descriptor, param);
    }
    return nullptr;
}

zcomp* zcomp_open_by_id(int id, void* param) {
    for (const auto& descriptor : kCodecs) {
        if (descriptor.id == id) return open_codec(descriptor, param);
    }
    return nullptr;
}

void zcomp_close(zcomp* codec) {
    if (codec == nullptr) return;
    codec->descriptor->destroy(codec->state);
    delete codec;
}

int zcomp_get_id(const zcomp* codec) {
    return codec->descriptor->id;
}
const char* zcomp_get_name(const zcomp* codec) {
    return codec->descriptor->name;
}

void zcomp_buffer_free::operator()(uint8_t* buffer) const {
    std::free(buffer);
}

int zcomp_init(zcomp_ctx* ctx) {
    zcomp_exit(ctx);
    // The name may fill all 16 bytes without a terminating zero.
    const std::string_view name(ctx->name, strnlen(ctx->name, ZCOMP_NAME_SIZE));
    zcomp* codec = nullptr;
    if (!name.empty()) {
        if (name.size() < ZCOMP_NAME_SIZE) codec = zcomp_open_by_name(ctx->name, ctx->param);
    } else {
        codec = zcomp_open_by_id(ctx->id, ctx->param);
    }
    if (codec == nullptr) return -1;
    ctx->codec.reset(codec);
    ctx->id = zcomp_get_id(codec);
    return 0;
}

int zcomp_exit(zcomp_ctx* ctx) {
    ctx->codec.reset();
    ctx->buffer.reset();
    ctx->capacity = 0;
    return 0;
}

int zcomp_compress(zcomp_ctx* ctx, const void* source, size_t length, void* destination,
                   size_t capacity) {
    if (!ctx->codec || length > ZCOMP_MAX_INPUT) return -1;
    const zcomp& codec = *ctx->codec;
    const int result = codec.descriptor->compress(
        codec.state, static_cast<const char*>(source), static_cast<int>(length),
        static_cast<char*>(destination), static_cast<int>(std::min<size_t>(capacity, INT_MAX)));
    // LZ4 reports a destination too small as 0; an empty block packs to one byte.
    if (result <= 0 && !(result == 0 && length == 0)) return -1;
    return result;
}

int zcomp_decompress(zcomp_ctx* ctx, const void* source, size_t length, void* destination,
                     size_t capacity) {
    if (!ctx->codec || !fits_int(length)) return -1;
    const zcomp& codec = *ctx->codec;
    return codec.descriptor->decompress(codec.state, static_cast<const char*>(source),
                                        static_cast<int>(length), static_cast<char*>(destination),
                                        static_cast<int>(std::min<size_t>(capacity, INT_MAX)));
}

uint8_t* zcomp_alloc_align_pagesize(zcomp_ctx* ctx, size_t size) {
    if (ctx->buffer && ctx->capacity >= size) return ctx->buffer.get();
    const size_t align = page_size();
    if (align < 2) {
        PACK_LOG(LOG_WARN, "align must >=2\n");
        return nullptr;
    }
    void* fresh = nullptr;
    // posix_memalign may hand out nullptr for 0 bytes; one byte keeps "a buffer" meaningful.
    if (posix_memalign(&fresh, align, size == 0 ? 1 : size) != 0) return nullptr;
    ctx->buffer.reset(static_cast<uint8_t*>(fresh));
    ctx->capacity = size;
    return ctx->buffer.get();
}

int zcomp_decompress_aligned(zcomp_ctx* ctx, const void* source, size_t length, uint8_t** output,
                             size_t expected) {
    if (!ctx->codec || !fits_int(length) || !fits_int(expected)) return -1;
    if (expected / ctx->codec->descriptor->max_expansion > length) return -1;
    uint8_t* buffer = zcomp_alloc_align_pagesize(ctx, expected);
    if (buffer == nullptr) return -1;
    const int result = zcomp_decompress(ctx, source, length, buffer, expected);
    if (result < 0 || static_cast<size_t>(result) != expected) return -1;
    *output = buffer;
    return 0;
}
