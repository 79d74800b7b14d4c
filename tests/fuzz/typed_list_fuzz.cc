// Untrusted typed-list lines (directory entries, counters): the first byte
// picks the format, the rest is the line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "libdvsd/blobmsg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string_view line(reinterpret_cast<const char*>(data + 1), size - 1);
    uint32_t u32[8] = {};
    uint64_t u64[12] = {};
    size_t sz = 0;
    int i = 0;
    std::string text;
    int result = 0;
    int types = 0;
    switch (data[0] % 4) {
        case 0: {  // directory entry, extended set
            const typed_dest dest[] = {&u32[0], &u32[1], &u32[2], &u32[3], &u64[0], &u64[1],
                                       &u64[2], &u64[3], &u32[4], &u32[5], &u32[6], &u64[4],
                                       &u64[5], &u64[6], &u64[7], &u64[8], &u64[9]};
            types = 17;
            result = cli_typed_list_parse(
                line, '\t', "u32|u32|u32|u32|u64|u64|u64|u64|u32|u32|u32|u64|u64|u64|u64|u64|u64",
                dest);
            break;
        }
        case 1: {  // counters
            const typed_dest dest[] = {&u64[0], &u64[1], &u64[2], &u64[3], &u64[4], &u64[5],
                                       &u64[6], &u64[7], &u64[8], &u64[9], &u64[10]};
            types = 11;
            result = cli_typed_list_parse(line, '\t', "u64|u64|u64|u64|u64|u64|u64|u64|u64|u64|u64",
                                          dest);
            break;
        }
        default: {  // every type
            const typed_dest dest[] = {&u32[0], &u64[0], &u32[1], &u64[1], &sz, &i, &text};
            types = 7;
            result = cli_typed_list_parse(line, data[0] % 4 == 2 ? '\t' : ' ',
                                          "u32|u64|x32|x64|size|int|str", dest);
            break;
        }
    }
    if (result < 0 || result > types) std::abort();
    if (text.size() > line.size()) std::abort();
    return 0;
}
