// Payload packing for the file-server protocol: a table of named codecs, each
// with the numeric id that travels on the wire, and the per-connection pack
// state that owns one codec instance and one page-aligned output buffer reused
// from block to block.
//
// Codecs: "none" (id 0, plain copy) and "lz4" (id 1, LZ4 block format).
//
// Threads: the codec table is read-only, so any thread may open codecs. A
// codec instance and a pack state belong to one connection and are used by one
// thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// An open codec: its descriptor and the state its create operation returned.
struct zcomp;

enum : int {
    ZCOMP_ID_NONE = 0,
    ZCOMP_ID_LZ4 = 1,
};

// Capacity of the codec name in the pack state, terminating zero included.
inline constexpr size_t ZCOMP_NAME_SIZE = 16;
// Largest block any codec accepts.
inline constexpr size_t ZCOMP_MAX_INPUT = 0x7e000000;

// Worst-case packed size of an n-byte block: n + n/255 + 16, or 0 when n is
// above ZCOMP_MAX_INPUT (such a block cannot be packed).
size_t zcomp_bound(size_t n);

// Opens the first codec whose name equals `name` exactly, passing `param` to
// its create operation. nullptr when no codec has that name or it cannot be
// created. Release with zcomp_close.
zcomp* zcomp_open_by_name(const char* name, void* param);
// Id 0 opens "none", id 1 opens "lz4"; any other id gives nullptr.
zcomp* zcomp_open_by_id(int id, void* param);
// Destroys the codec state and frees the instance; nullptr is accepted.
void zcomp_close(zcomp* codec);
int zcomp_get_id(const zcomp* codec);
const char* zcomp_get_name(const zcomp* codec);

struct zcomp_closer {
    void operator()(zcomp* codec) const { zcomp_close(codec); }
};
struct zcomp_buffer_free {
    void operator()(uint8_t* buffer) const;
};

// Pack state of one connection. The owner fills `name` (or, with an empty
// name, `id`) and `param`, then calls zcomp_init; the codec and buffer are
// released by zcomp_exit or when the state is destroyed.
struct zcomp_ctx {
    std::unique_ptr<zcomp, zcomp_closer> codec;
    // Page-aligned output buffer of zcomp_decompress_aligned, `capacity` bytes.
    std::unique_ptr<uint8_t, zcomp_buffer_free> buffer;
    size_t capacity = 0;
    // Selects the codec when non-empty; read up to its first zero or 16 bytes.
    char name[ZCOMP_NAME_SIZE] = {};
    // Selects the codec when `name` is empty; zcomp_init overwrites it with the
    // id of the codec it opened.
    int id = ZCOMP_ID_NONE;
    void* param = nullptr;
};

// Releases what the state holds, then opens the codec by name (or by id when
// the name is empty) and stores its id. 0, or -1 when no codec opened.
int zcomp_init(zcomp_ctx* ctx);
// Closes the codec and frees the buffer (capacity 0). Always 0.
int zcomp_exit(zcomp_ctx* ctx);

// Packs `length` bytes of `source` into `destination` (at most `capacity`
// bytes; zcomp_bound(length) always suffices). Returns the packed length, or
// -1 when the state has no codec, the block is too large or does not fit.
int zcomp_compress(zcomp_ctx* ctx, const void* source, size_t length, void* destination,
                   size_t capacity);
// Unpacks `length` bytes of untrusted `source` into `destination`, writing at
// most `capacity` bytes. Returns the unpacked length, or a negative value when
// the state has no codec or the payload is malformed or does not fit.
int zcomp_decompress(zcomp_ctx* ctx, const void* source, size_t length, void* destination,
                     size_t capacity);
// Unpacks into the state's aligned buffer, grown to at least `expected` bytes,
// and points `*output` at it. 0 on success; -1 (and *output untouched) when the
// buffer cannot be had, the payload is malformed, it unpacks to a length other
// than `expected`, or `expected` is more than the payload could ever unpack to
// (so a forged length never causes a large allocation). The buffer stays valid
// until the next call on this state.
int zcomp_decompress_aligned(zcomp_ctx* ctx, const void* source, size_t length, uint8_t** output,
                             size_t expected);
// The state's buffer when it already holds `size` bytes, otherwise a new
// page-aligned buffer of `size` bytes that replaces it (the old contents are
// not kept). nullptr when the allocation fails; the old buffer is then kept.
uint8_t* zcomp_alloc_align_pagesize(zcomp_ctx* ctx, size_t size);
