// Wildcard patterns: input is "<pattern>\0<text>". Any pattern matches or not without reading
// out of bounds, and a text always matches its own escaped form.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "libconf/ini/wildcard.h"
#include "liblog/log2.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Syntax errors are logged; keep the console quiet.
    static const bool quiet = [] {
        int off = 0;
        return log2_ioctl(nullptr, 40, &off, -1) == 0;
    }();
    (void)quiet;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t split = input.find('\0');
    std::string_view pattern = input.substr(0, split);
    std::string_view text = split == std::string_view::npos ? "" : input.substr(split + 1);
    (void)wildcard_match(pattern, text, false);
    (void)wildcard_match(pattern, text, true);
    (void)wildcard_match_any(pattern, text, true);

    std::string escaped;
    for (char c : text) {
        escaped += '\\';
        escaped += c;
    }
    if (!wildcard_match(escaped, text, false)) std::abort();
    if (!wildcard_match("*", text, false)) std::abort();
    return 0;
}
