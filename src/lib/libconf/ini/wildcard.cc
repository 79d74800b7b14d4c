#include "libconf/ini/wildcard.h"

#include <cctype>

namespace {

char fold(char c, bool ignore_case) {
    return ignore_case ? static_cast<char>(std::tolower(static_cast<unsigned char>(c))) : c;
}

bool in_range(char c, char lo, char hi) {
    const auto u = static_cast<unsigned char>(c);
    return static_cast<unsigned char>(lo) <= u && u <= static_cast<unsigned char>(hi);
}

// Matches one character against the bracket expression starting at pattern[p] == '['. Returns
// false in `valid` when the expression has no closing "]"; otherwise sets `next` past it.
bool match_set(std::string_view pattern, size_t p, char c, bool ignore_case, bool& valid,
               size_t& next) {
    size_t i = p + 1;
    bool negate = i < pattern.size() && pattern[i] == '!';
    if (negate) ++i;
    bool found = false;
    bool first = true;
    while (i < pattern.size() && (pattern[i] != ']' || first)) {
        first = false;
        char lo = pattern[i];
        if (lo == '\\' && i + 1 < pattern.size()) lo = pattern[++i];
        ++i;
        char hi = lo;
        if (i + 1 < pattern.size() && pattern[i] == '-' && pattern[i + 1] != ']') {
            hi = pattern[i + 1];
            i += 2;
            if (hi == '\\' && i < pattern.size()) hi = pattern[i++];
        }
        if (in_range(c, lo, hi) ||
            (ignore_case &&
             (in_range(static_cast<char>(std::tolower(static_cast<unsigned char>(c))), lo, hi) ||
              in_range(static_cast<char>(std::toupper(static_cast<unsigned char>(c))), lo, hi)))) {
            found = true;
        }
    }
    if (i >= pattern.size()) {
        valid = false;
        return false;
    }
    valid = true;
    next = i + 1;
    return found != negate;
}

// Matches the single-character element at pattern[p] against c; sets `next` past it.
bool match_one(std::string_view pattern, size_t p, char c, bool ignore_case, size_t& next) {
    char pc = pattern[p];
    if (pc == '?') {
        next = p + 1;
        return true;
    }
    if (pc == '[') {
        bool valid = false;
        bool m = match_set(pattern, p, c, ignore_case, valid, next);
        if (valid) return m;
    } else if (pc == '\\' && p + 1 < pattern.size()) {
        next = p + 2;
        return fold(pattern[p + 1], ignore_case) == fold(c, ignore_case);
    }
    next = p + 1;
    return fold(pc, ignore_case) == fold(c, ignore_case);
}

}  // namespace

bool wildcard_match(std::string_view pattern, std::string_view text, bool ignore_case) {
    size_t p = 0;
    size_t t = 0;
    size_t star_p = std::string_view::npos;  // pattern position after the last "*"
    size_t star_t = 0;                       // text position that "*" was last tried up to
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            while (p < pattern.size() && pattern[p] == '*') ++p;
            star_p = p;
            star_t = t;
            continue;
        }
        size_t next = 0;
        if (p < pattern.size() && match_one(pattern, p, text[t], ignore_case, next)) {
            p = next;
            ++t;
            continue;
        }
        if (star_p == std::string_view::npos) return false;
        // Let the last "*" take one more character and retry from there.
        p = star_p;
        t = ++star_t;
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool wildcard_match_any(std::string_view patterns, std::string_view text, bool ignore_case) {
    while (true) {
        size_t bar = patterns.find('|');
        if (wildcard_match(patterns.substr(0, bar), text, ignore_case)) return true;
        if (bar == std::string_view::npos) return false;
        patterns.remove_prefix(bar + 1);
    }
}
