// Size texts and number literals from users and configuration files: any input parses or gives 0
// without undefined behaviour, and every size a report prints reads back to the same value.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "liblog/log2.h"
#include "libpal/strnum.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Over-long literals are logged; keep the console quiet.
    static const bool quiet = [] {
        int off = 0;
        return log2_ioctl(nullptr, 40, &off, -1) == 0;
    }();
    (void)quiet;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const uint64_t value = str_size_parse(text.c_str());

    str_number n{};
    for (int base : {0, 2, 8, 10, 16}) (void)str_parse_all_number(&n, text.c_str(), base);
    (void)str_to_u64(text.c_str());
    (void)str_hex_to_u32(text.c_str());
    (void)str_to_double(text.c_str());

    char buf[32];
    if (str_size_parse(str_size_text(value, 1, buf, sizeof(buf))) != value) std::abort();
    (void)str_size_text(value, 0, buf, sizeof(buf));
    char time_buf[64];
    (void)str_time_text(static_cast<double>(value) / 1000.0, time_buf, sizeof(time_buf));
    return 0;
}
