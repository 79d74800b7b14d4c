// Untrusted message bodies: the attribute walk, validation and getters, and a
// rebuild of everything found, which must read back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "libdvsd/blobmsg.h"

namespace {

// Every type, names of several lengths (so that many attributes get
// validated), and UNSPEC entries that accept any type.
const blobmsg_policy kTable[] = {
    {"a", BLOBMSG_TYPE_UNSPEC},   {"fd", BLOBMSG_TYPE_INT64},    {"len", BLOBMSG_TYPE_INT32},
    {"len", BLOBMSG_TYPE_INT64},  {"path", BLOBMSG_TYPE_STRING}, {"data", BLOBMSG_TYPE_BINARY},
    {"i16", BLOBMSG_TYPE_INT16},  {"i8", BLOBMSG_TYPE_INT8},     {"tbl", BLOBMSG_TYPE_TABLE},
    {"arr", BLOBMSG_TYPE_ARRAY},  {"errno", BLOBMSG_TYPE_INT32}, {"errno_str", BLOBMSG_TYPE_STRING},
    {"any", BLOBMSG_TYPE_UNSPEC}, {"x", BLOBMSG_TYPE_UNSPEC},
};
constexpr int kCount = sizeof kTable / sizeof kTable[0];

// Touches every value byte so that a bad length shows up under ASan.
uint32_t touch(const blob_attr* attr) {
    uint32_t sum = blob_id(attr) + static_cast<uint32_t>(std::strlen(blobmsg_name(attr)));
    const uint8_t* value = blobmsg_data(attr);
    for (size_t i = 0; i < blobmsg_data_len(attr); ++i) sum += value[i];
    sum += static_cast<uint32_t>(blobmsg_get_int32(attr));
    sum += static_cast<uint32_t>(blobmsg_get_int64(attr));
    sum += static_cast<uint32_t>(std::strlen(blobmsg_get_string(attr)));
    return sum;
}

void walk(const uint8_t* data, size_t size, int depth, blob_buf* rebuilt) {
    const blob_attr* tb[kCount];
    if (blobmsg_parse(kTable, kCount, tb, data, size) != 0) return;
    volatile uint32_t sink = 0;
    for (int i = 0; i < kCount; ++i) {
        if (tb[i] == nullptr) continue;
        sink = sink + touch(tb[i]);
        const uint8_t* at = reinterpret_cast<const uint8_t*>(tb[i]);
        if (at < data || at + blob_raw_len(tb[i]) > data + size) std::abort();
        if (depth == 0) {
            blobmsg_add_field(rebuilt, static_cast<int>(blob_id(tb[i])), blobmsg_name(tb[i]),
                              blobmsg_data(tb[i]), blobmsg_data_len(tb[i]));
        }
        const unsigned type = blob_id(tb[i]);
        if (depth < 3 && (type == BLOBMSG_TYPE_TABLE || type == BLOBMSG_TYPE_ARRAY)) {
            walk(blobmsg_data(tb[i]), blobmsg_data_len(tb[i]), depth + 1, rebuilt);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    blob_buf rebuilt;
    if (blob_buf_init(&rebuilt) != 0) return 0;
    walk(data, size, 0, &rebuilt);

    // What was found, written again, must parse to the same values.
    const blob_attr* first[kCount];
    const blob_attr* second[kCount];
    if (blobmsg_parse(kTable, kCount, first, data, size) != 0) return 0;
    const blob_attr* root = blob_buf_root(&rebuilt);
    if (blobmsg_parse(kTable, kCount, second, blob_data(root), blob_len(root)) != 0) std::abort();
    for (int i = 0; i < kCount; ++i) {
        if ((first[i] == nullptr) != (second[i] == nullptr)) std::abort();
        if (first[i] == nullptr) continue;
        if (blobmsg_data_len(first[i]) != blobmsg_data_len(second[i]) ||
            std::memcmp(blobmsg_data(first[i]), blobmsg_data(second[i]),
                        blobmsg_data_len(first[i])) != 0) {
            std::abort();
        }
    }
    return 0;
}
