// Untrusted replies against the reply tables of the message catalogue: the
// first byte picks the request code and the stat set, the rest is the reply's
// root value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_msg.h"
#include "liblog/log2.h"

namespace {
const int kCodes[] = {1,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 19, 20,
                      21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 41, 42, 43, 44, 50, 90, 91};
constexpr size_t kCodeCount = sizeof kCodes / sizeof kCodes[0];
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Rejected replies are logged; the lines still get formatted, just not printed.
    static const bool quiet = [] {
        int off = 0;
        return log2_ioctl(nullptr, 40, &off, sizeof off) == 0;
    }();
    (void)quiet;
    if (size < 1) return 0;
    const int code = kCodes[(data[0] >> 1) % kCodeCount];
    const auto table = sd_reply_table(code, (data[0] & 1) != 0);
    std::vector<const blob_attr*> tb(table.size());
    if (cli_blobmsg_parse(table.data(), static_cast<int>(table.size()), tb.data(), data + 1,
                          size - 1) != 0) {
        return 0;
    }
    // What a request operation does next: read errno, then every field by its type.
    if (tb[SD_ERRNO] == nullptr || tb[SD_ERRNO_STR] == nullptr) std::abort();
    const bool server_error = blobmsg_get_int32(tb[SD_ERRNO]) != 0;
    volatile size_t sink = std::strlen(blobmsg_get_string(tb[SD_ERRNO_STR]));
    for (size_t i = SD_REPLY_HEAD_COUNT; i < table.size(); ++i) {
        if (tb[i] == nullptr) {
            if (!server_error) std::abort();
            continue;
        }
        if (blob_id(tb[i]) != table[i].type) std::abort();
        switch (table[i].type) {
            case BLOBMSG_TYPE_INT32:
                sink = sink + static_cast<uint32_t>(blobmsg_get_int32(tb[i]));
                break;
            case BLOBMSG_TYPE_INT64:
                sink = sink + static_cast<size_t>(blobmsg_get_int64(tb[i]));
                break;
            case BLOBMSG_TYPE_STRING:
                sink = sink + std::strlen(blobmsg_get_string(tb[i]));
                break;
            default: {
                const uint8_t* value = blobmsg_data(tb[i]);
                for (size_t k = 0; k < blobmsg_data_len(tb[i]); ++k) sink = sink + value[k];
            }
        }
    }
    return 0;
}
