// Text helpers shared by the URL parser and the path functions; not for other modules.
#pragma once

#include <cstddef>

// Space, tab, line feed, vertical tab, form feed, carriage return.
inline bool pal_is_blank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Removes surrounding blanks and surrounding pairs of double or single quotes,
// repeatedly, from the first `len` bytes of `text` (moved to its start and
// NUL-terminated). Returns the new length.
size_t pal_trim_quotes_blanks(char* text, size_t len);
