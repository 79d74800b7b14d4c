#include "librdir/misc.h"

#include <array>
#include <cstring>

namespace {

constexpr size_t kMaxFields = 64;

enum class field_type { str, x32, x64, u32, u64, int32, unknown };

field_type type_of(std::string_view name) {
    if (name == "str") return field_type::str;
    if (name == "x32") return field_type::x32;
    if (name == "x64") return field_type::x64;
    if (name == "u32") return field_type::u32;
    if (name == "u64" || name == "size") return field_type::u64;
    if (name == "int") return field_type::int32;
    return field_type::unknown;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Unsigned number of at most `max` in base 16 or 10; the whole text must be digits.
bool parse_unsigned(const char* text, int base, uint64_t max, uint64_t* out) {
    if (*text == '\0') return false;
    uint64_t value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        int d = base == 16 ? hex_digit(*p) : (*p >= '0' && *p <= '9' ? *p - '0' : -1);
        if (d < 0) return false;
        if (value > (max - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return false;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    *out = value;
    return true;
}

bool convert(field_type type, const char* text, const scan_dest& dest) {
    uint64_t value = 0;
    switch (type) {
        case field_type::str: {
            auto p = std::get_if<const char**>(&dest);
            if (p == nullptr || *p == nullptr) return false;
            **p = text;
            return true;
        }
        case field_type::x32:
        case field_type::u32: {
            auto p = std::get_if<uint32_t*>(&dest);
            if (p == nullptr || *p == nullptr) return false;
            if (!parse_unsigned(text, type == field_type::x32 ? 16 : 10, UINT32_MAX, &value)) {
                return false;
            }
            **p = static_cast<uint32_t>(value);
            return true;
        }
        case field_type::x64: {
            auto p = std::get_if<uint64_t*>(&dest);
            if (p == nullptr || *p == nullptr) return false;
            if (!parse_unsigned(text, 16, UINT64_MAX, &value)) return false;
            **p = value;
            return true;
        }
        case field_type::u64: {
            auto p = std::get_if<uint64_t*>(&dest);
            if (p == nullptr || *p == nullptr) return false;
            bool negative = *text == '-';
            if (negative) {
                // Only as far as "%lld" of a 64-bit value can reach.
                if (!parse_unsigned(text + 1, 10, uint64_t{1} << 63, &value)) return false;
                value = ~value + 1;
            } else if (!parse_unsigned(text, 10, UINT64_MAX, &value)) {
                return false;
            }
            **p = value;
            return true;
        }
        case field_type::int32: {
            auto p = std::get_if<int32_t*>(&dest);
            if (p == nullptr || *p == nullptr) return false;
            bool negative = *text == '-';
            const char* digits = negative || *text == '+' ? text + 1 : text;
            uint64_t limit = negative ? uint64_t{1} << 31 : INT32_MAX;
            if (!parse_unsigned(digits, 10, limit, &value)) return false;
            **p = negative ? static_cast<int32_t>(-static_cast<int64_t>(value))
                           : static_cast<int32_t>(value);
            return true;
        }
        case field_type::unknown:
            break;
    }
    return false;
}

constexpr char kB64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> make_b64_table() {
    std::array<int8_t, 256> table{};
    for (auto& v : table) v = -1;
    for (int i = 0; i < 64; ++i)
        table[static_cast<uint8_t>(kB64Alphabet[i])] = static_cast<int8_t>(i);
    return table;
}
constexpr auto kB64Table = make_b64_table();

// Two output characters per 12 bits of input: half the lookups of one per 6 bits, and the table
// (8 KiB) stays in the first-level cache.
constexpr std::array<std::array<char, 2>, 4096> make_b64_pairs() {
    std::array<std::array<char, 2>, 4096> pairs{};
    for (size_t v = 0; v < 4096; ++v) pairs[v] = {kB64Alphabet[v >> 6], kB64Alphabet[v & 63]};
    return pairs;
}
constexpr auto kB64Pairs = make_b64_pairs();

// Decoding: one table per position in a group of four, holding the character's six bits already
// in place; a character outside the alphabet sets a bit above the 24 a group fills.
constexpr uint32_t kB64Bad = 1u << 24;
constexpr std::array<std::array<uint32_t, 256>, 4> make_b64_placed() {
    std::array<std::array<uint32_t, 256>, 4> placed{};
    for (int pos = 0; pos < 4; ++pos) {
        for (int c = 0; c < 256; ++c) {
            const int8_t v = kB64Table[static_cast<size_t>(c)];
            placed[pos][c] = v < 0 ? kB64Bad : static_cast<uint32_t>(v) << (18 - 6 * pos);
        }
    }
    return placed;
}
constexpr auto kB64Placed = make_b64_placed();

}  // namespace

int str_scan_fields(char* line, char sep, std::string_view types, std::span<const scan_dest> dest) {
    if (line == nullptr) return -1;
    // Validate the whole type list first, so that a bad one fails whatever the line holds.
    size_t type_count = 0;
    for (size_t pos = 0;;) {
        size_t bar = types.find('|', pos);
        std::string_view name = types.substr(pos, bar == std::string_view::npos ? bar : bar - pos);
        if (type_of(name) == field_type::unknown) return -1;
        ++type_count;
        if (bar == std::string_view::npos) break;
        pos = bar + 1;
    }
    if (type_count != dest.size() || type_count > kMaxFields) return -1;

    // Split in place: every separator becomes a terminator.
    char* fields[kMaxFields];
    size_t found = 0;
    char* start = line;
    // strchrnul: a field may be megabytes of file data, so the scan goes a vector at a time.
    for (;;) {
        char* p = strchrnul(start, sep);
        const bool last = *p == '\0';
        *p = '\0';
        if (found < kMaxFields) fields[found] = start;
        ++found;
        if (last) break;
        start = p + 1;
    }

    size_t n = found < type_count ? found : type_count;
    size_t pos = 0;
    for (size_t i = 0; i < n; ++i) {
        size_t bar = types.find('|', pos);
        std::string_view name = types.substr(pos, bar == std::string_view::npos ? bar : bar - pos);
        pos = bar + 1;
        if (!convert(type_of(name), fields[i], dest[i])) return -1;
    }
    return static_cast<int>(n);
}

long rdir_b64_encode(std::span<const uint8_t> in, char* out, size_t out_size) {
    size_t need = rdir_b64_encoded_len(in.size());
    if (out == nullptr || out_size < need) return -1;
    size_t o = 0;
    size_t i = 0;
    for (; i + 3 <= in.size(); i += 3, o += 4) {
        const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
        std::memcpy(out + o, kB64Pairs[v >> 12].data(), 2);
        std::memcpy(out + o + 2, kB64Pairs[v & 0xfff].data(), 2);
    }
    size_t rest = in.size() - i;
    if (rest > 0) {
        uint32_t v = uint32_t{in[i]} << 16;
        if (rest == 2) v |= uint32_t{in[i + 1]} << 8;
        out[o++] = kB64Alphabet[(v >> 18) & 63];
        out[o++] = kB64Alphabet[(v >> 12) & 63];
        out[o++] = rest == 2 ? kB64Alphabet[(v >> 6) & 63] : '=';
        out[o++] = '=';
    }
    if (o < out_size) out[o] = '\0';
    return static_cast<long>(o);
}

std::string rdir_b64_encode(std::span<const uint8_t> in) {
    std::string out(rdir_b64_encoded_len(in.size()), '\0');
    rdir_b64_encode(in, out.data(), out.size());
    return out;
}

long rdir_b64_decode(std::string_view in, uint8_t* out, size_t out_size) {
    // Padding is optional; when present it completes the last group of four.
    if (in.size() % 4 == 0 && !in.empty()) {
        if (in.back() == '=') in.remove_suffix(1);
        if (in.back() == '=') in.remove_suffix(1);
    }
    if (in.size() % 4 == 1) return -1;
    size_t need = in.size() / 4 * 3 + (in.size() % 4 == 0 ? 0 : in.size() % 4 - 1);
    if (need > out_size || (need > 0 && out == nullptr)) {
        for (char c : in) {
            if (kB64Table[static_cast<uint8_t>(c)] < 0) return -1;
        }
        return -2;
    }
    // Checked while decoding (whole files pass through here): a character outside the alphabet
    // marks its group (or turns `bad` negative in the last one), and the output written so far
    // counts for nothing.
    int32_t bad = 0;
    size_t o = 0;
    size_t i = 0;
    auto val = [&](size_t k) {
        const int32_t v = kB64Table[static_cast<uint8_t>(in[k])];
        bad |= v;
        return static_cast<uint32_t>(v);
    };
    const auto* text = reinterpret_cast<const uint8_t*>(in.data());
    uint32_t bad_groups = 0;
    for (; i + 4 <= in.size(); i += 4) {
        const uint32_t v = kB64Placed[0][text[i]] | kB64Placed[1][text[i + 1]] |
                           kB64Placed[2][text[i + 2]] | kB64Placed[3][text[i + 3]];
        bad_groups |= v;
        out[o++] = static_cast<uint8_t>(v >> 16);
        out[o++] = static_cast<uint8_t>(v >> 8);
        out[o++] = static_cast<uint8_t>(v);
    }
    if (bad_groups & kB64Bad) return -1;
    size_t rest = in.size() - i;
    if (rest >= 2) {
        uint32_t v = (val(i) << 18) | (val(i + 1) << 12) | (rest == 3 ? val(i + 2) << 6 : 0);
        // Bits below the last whole byte must be zero, or the text is not canonical base64.
        if ((rest == 2 && (v & 0xffff) != 0) || (rest == 3 && (v & 0xff) != 0)) return -1;
        if (bad < 0) return -1;
        out[o++] = static_cast<uint8_t>(v >> 16);
        if (rest == 3) out[o++] = static_cast<uint8_t>(v >> 8);
    }
    return bad < 0 ? -1 : static_cast<long>(o);
}

bool rdir_text_breaks_line(std::string_view text) {
    // Texts here include whole files' data: the C library's vectorised search, once per byte
    // value, beats any loop over the characters.
    for (const char c : {'\n', '\t', '\r'}) {
        if (std::memchr(text.data(), c, text.size()) != nullptr) return true;
    }
    return false;
}

bool rdir_name_stays_below(std::string_view name) {
    if (name.empty() || name == "." || name.front() == '/') return false;
    if (name.find('\0') != std::string_view::npos) return false;
    for (size_t pos = 0;;) {
        size_t slash = name.find('/', pos);
        std::string_view part =
            name.substr(pos, slash == std::string_view::npos ? slash : slash - pos);
        if (part == "..") return false;
        if (slash == std::string_view::npos) return true;
        pos = slash + 1;
    }
}

bool rdir_name_is_entry(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    if (name.find_first_of(std::string_view("/\t\n\r\0", 5)) != std::string_view::npos) {
        return false;
    }
    return true;
}
