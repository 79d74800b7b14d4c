#include "libpal/strnum.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include "liblog/log2.h"

#define PAL_LOG(level, ...) DV_LOG("pal", level, __VA_ARGS__)

namespace {

constexpr bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}
constexpr bool is_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
constexpr bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Value of a hexadecimal digit, or 99 for anything else.
constexpr unsigned digit_value(char c) {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
    return 99;
}

struct size_unit {
    std::string_view name;
    uint64_t multiplier;
};

// Order matters: the first entry whose name is a prefix of the remaining suffix wins.
constexpr size_unit kSizeUnits[] = {
    {"c", 1ULL},
    {"w", 2ULL},
    {"b", 512ULL},
    {"kB", 1000ULL},
    {"kD", 1000ULL},
    {"k", 1024ULL},
    {"KB", 1000ULL},
    {"KD", 1000ULL},
    {"K", 1024ULL},
    {"MB", 1000000ULL},
    {"MD", 1000000ULL},
    {"M", 1048576ULL},
    {"GB", 1000000000ULL},
    {"GD", 1000000000ULL},
    {"G", 1073741824ULL},
    {"TB", 1000000000000ULL},
    {"T", 1099511627776ULL},
    {"PB", 1000000000000000ULL},
    {"P", 1125899906842624ULL},
};

constexpr size_t kSizeTextMax = 256;
constexpr size_t kNumberDigitsMax = 1000;
constexpr double kTwoPow64 = 18446744073709551616.0;

uint64_t double_to_u64(double d) {
    // Outside [0, 2^64) the conversion is undefined; such values are not accepted.
    if (!(d >= 0.0) || d >= kTwoPow64) return 0;
    return static_cast<uint64_t>(d);
}

}  // namespace

uint64_t str_size_parse(const char* text) {
    if (text == nullptr) return 0;
    if (text[0] == '+' || text[0] == '-' || is_blank(text[0])) return 0;
    size_t len = strnlen(text, kSizeTextMax + 1);
    if (len == 0 || len > kSizeTextMax) return 0;
    while (len > 0 && is_blank(text[len - 1])) --len;

    // The suffix is the run of letters at the end, at most two of them.
    size_t number_end = len;
    int letters = 0;
    while (letters < 3 && number_end > 0 && is_letter(text[number_end - 1])) {
        --number_end;
        ++letters;
    }
    if (letters > 2 || number_end == 0) return 0;

    uint64_t value = 0;
    for (size_t i = 0; i < number_end; ++i) {
        if (!is_digit(text[i])) return 0;
        if (__builtin_mul_overflow(value, 10ULL, &value) ||
            __builtin_add_overflow(value, static_cast<uint64_t>(text[i] - '0'), &value)) {
            return 0;
        }
    }

    std::string_view rest(text + number_end, len - number_end);
    while (!rest.empty()) {
        const size_unit* unit = nullptr;
        for (const auto& u : kSizeUnits) {
            if (rest.starts_with(u.name)) {
                unit = &u;
                break;
            }
        }
        if (unit == nullptr) return 0;
        if (__builtin_mul_overflow(value, unit->multiplier, &value)) return 0;
        rest.remove_prefix(unit->name.size());
    }
    return value;
}

const char* str_size_text(uint64_t value, uint64_t divisor, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return value == 0 ? "0" : "";
    if (value == 0) {
        snprintf(buffer, size, "0");
        return buffer;
    }
    if (divisor != 0) {
        // Half up without overflowing near the top of the range.
        uint64_t q = value / divisor;
        if (value % divisor >= divisor - divisor / 2) ++q;
        snprintf(buffer, size, "%llu", static_cast<unsigned long long>(q));
        return buffer;
    }
    static constexpr char kUnits[] = "KMGTPEZY";
    unsigned tenths = 0;
    int steps = 0;
    while (value >= 1024 && steps < 8) {
        // Only the last division's remainder feeds the tenths digit.
        tenths = static_cast<unsigned>(((value % 1024) * 10 + 512) / 1024);
        value /= 1024;
        ++steps;
    }
    if (steps == 0) {
        snprintf(buffer, size, "%llu", static_cast<unsigned long long>(value));
        return buffer;
    }
    if (tenths == 10) {
        ++value;
        tenths = 0;
    }
    snprintf(buffer, size, "%llu.%u%c", static_cast<unsigned long long>(value), tenths,
             kUnits[steps - 1]);
    return buffer;
}

const char* str_size_text_static(uint64_t value, uint64_t divisor) {
    thread_local char buffer[21];
    return str_size_text(value, divisor, buffer, sizeof(buffer));
}

char* str_time_text(double seconds, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return buffer;
    if (!(seconds >= 0.0)) {
        snprintf(buffer, size, "00:00");
        return buffer;
    }
    // Keeps the integer conversion defined; no job runs for 30 million years.
    if (seconds > 1e15) seconds = 1e15;

    const auto whole = static_cast<int64_t>(seconds);
    int64_t rest = whole;
    int64_t days = 0;
    int hours = 0;
    int minutes = 0;
    if (rest >= 86400) {
        days = rest / 86400;
        rest %= 86400;
    }
    if (rest >= 3600) {
        hours = static_cast<int>(rest / 3600);
        rest %= 3600;
    }
    if (rest >= 60) {
        minutes = static_cast<int>(rest / 60);
        rest %= 60;
    }
    // The fraction is rounded on its own: 59.9996 shows 59 seconds and ".000".
    const double with_fraction = seconds - static_cast<double>(whole) + static_cast<double>(rest);
    char fraction_text[48];
    snprintf(fraction_text, sizeof(fraction_text), "%.3f", with_fraction);
    const char* fraction = strchr(fraction_text, '.');
    if (fraction == nullptr) fraction = "";
    const int secs = static_cast<int>(with_fraction);

    if (days > 0) {
        snprintf(buffer, size, "%lld_%02d:%02d:%02d%s", static_cast<long long>(days), hours,
                 minutes, secs, fraction);
    } else if (hours > 0) {
        snprintf(buffer, size, "%02d:%02d:%02d%s", hours, minutes, secs, fraction);
    } else {
        snprintf(buffer, size, "%02d:%02d%s", minutes, secs, fraction);
    }
    return buffer;
}

uint64_t os_time_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 +
           static_cast<uint64_t>(static_cast<double>(ts.tv_nsec) / 1000000.0);
}

int str_parse_all_number(str_number* result, const char* text, int base) {
    if (result == nullptr) return -1;
    *result = str_number{STR_NUMBER_INT, 0, 0.0};
    if (text == nullptr) return -1;
    if (base == 0) base = 10;
    if (base != 2 && base != 8 && base != 10 && base != 16) return -1;

    const char* p = text;
    while (is_blank(*p)) ++p;
    bool negative = false;
    if (*p == '+') {
        ++p;
    } else if (*p == '-') {
        negative = true;
        ++p;
    }
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    } else if (p[0] == '0' && (p[1] == 'b' || p[1] == 'B') && base != 16) {
        base = 2;
        p += 2;
    }

    // Decimal digits are collected in every base but 16 so that "019" or "0b12" are rejected
    // rather than cut short.
    auto is_literal_digit = [base](char c) {
        return base == 16 ? digit_value(c) < 16 : is_digit(c);
    };

    const char* const start = p;
    size_t digits = 0;
    while (is_literal_digit(*p)) {
        ++p;
        ++digits;
    }
    const char* const integer_end = p;
    bool floating = false;
    if (*p == '.' && (digits > 0 || is_literal_digit(p[1]))) {
        floating = true;
        ++p;
        while (is_literal_digit(*p)) {
            ++p;
            ++digits;
        }
    }
    if (digits == 0) return -1;
    const char exponent_mark = base == 10 ? 'e' : 'p';
    if ((*p | 0x20) == exponent_mark && base != 8) {
        const char* q = p + 1;
        if (*q == '+' || *q == '-') ++q;
        if (is_digit(*q)) {
            floating = true;
            while (is_digit(*q)) {
                ++q;
                ++digits;
            }
            p = q;
        }
    }
    if (digits > kNumberDigitsMax) {
        PAL_LOG(LOG_DBG, "number too long\n");
        return -1;
    }

    if (floating) {
        double value = 0.0;
        if (base == 10 || base == 16) {
            const auto format = base == 10 ? std::chars_format::general : std::chars_format::hex;
            const auto [ptr, ec] = std::from_chars(start, p, value, format);
            if (ec != std::errc() || ptr != p) return -1;
        } else {
            // Binary (and octal-looking) floating literals: mantissa bit by bit, then the exponent.
            const char* q = start;
            int scale = 0;
            bool in_fraction = false;
            for (; q < p && (*q | 0x20) != exponent_mark; ++q) {
                if (*q == '.') {
                    in_fraction = true;
                    continue;
                }
                const unsigned d = digit_value(*q);
                if (d >= static_cast<unsigned>(base)) return -1;
                value = value * base + d;
                if (in_fraction) --scale;
            }
            // Far beyond the range of a double either way; clamped so the sum cannot overflow.
            long exponent = 0;
            if (q < p) exponent = std::clamp(strtol(q + 1, nullptr, 10), -100000L, 100000L);
            value = std::ldexp(value, static_cast<int>(exponent + scale));
        }
        result->kind = STR_NUMBER_FLOAT;
        result->dbl = negative ? -value : value;
        return 0;
    }

    if (base == 10 && start[0] == '0' && integer_end - start > 1) base = 8;
    uint64_t value = 0;
    for (const char* q = start; q < integer_end; ++q) {
        const unsigned d = digit_value(*q);
        if (d >= static_cast<unsigned>(base)) return -1;
        if (__builtin_mul_overflow(value, static_cast<uint64_t>(base), &value) ||
            __builtin_add_overflow(value, static_cast<uint64_t>(d), &value)) {
            return -1;
        }
    }
    if (negative && value != 0) return -1;
    result->u64 = value;
    return 0;
}

namespace {

uint64_t number_as_u64(const char* text, int base) {
    str_number n{};
    if (str_parse_all_number(&n, text, base) != 0) return 0;
    return n.kind == STR_NUMBER_INT ? n.u64 : double_to_u64(std::trunc(n.dbl));
}

}  // namespace

uint64_t str_to_u64(const char* text) {
    return number_as_u64(text, 10);
}

uint64_t str_hex_to_u64(const char* text) {
    return number_as_u64(text, 16);
}

uint32_t str_hex_to_u32(const char* text) {
    const uint64_t value = number_as_u64(text, 16);
    return value > UINT32_MAX ? 0 : static_cast<uint32_t>(value);
}

double str_to_double(const char* text) {
    str_number n{};
    if (str_parse_all_number(&n, text, 10) != 0) return 0.0;
    return n.kind == STR_NUMBER_FLOAT ? n.dbl : static_cast<double>(n.u64);
}
