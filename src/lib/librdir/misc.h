// Small text helpers shared by the stat line codec, the lister and the batch worker: the typed
// field scanner, a strict base64 codec and the checks on entry names that come from lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

// One destination of str_scan_fields. The pointer type must match the field's type name:
//   "str" -> const char**   (points into the scanned line, valid as long as the line)
//   "x32", "u32" -> uint32_t*        "x64", "u64", "size" -> uint64_t*        "int" -> int32_t*
using scan_dest = std::variant<const char**, uint32_t*, uint64_t*, int32_t*>;

// Splits `line` in place at every `sep` (each becomes a NUL; adjacent separators give empty
// fields) and converts the fields by `types`, type names joined by "|". Returns the number of
// fields converted: the smaller of the fields found and the types given; fields beyond the types
// are ignored. Returns -1 when `types` holds an unknown type name, when `dest` does not have one
// entry of the matching pointer type per type name, or when a numeric field is not a clean number
// of its type (empty, stray characters, out of range); destinations of fields before the bad one
// may already be written. Numbers: "x32"/"x64" hexadecimal (either case, no prefix), "u32" decimal,
// "u64"/"size" decimal with an optional '-' that wraps bit for bit (so "%lld" output reads back),
// "int" signed decimal.
int str_scan_fields(char* line, char sep, std::string_view types, std::span<const scan_dest> dest);

// ---- base64, standard alphabet, "=" padding, no line breaks ----

// Characters needed to encode `len` bytes (no terminator).
constexpr size_t rdir_b64_encoded_len(size_t len) {
    return (len + 2) / 3 * 4;
}

// Encodes `in` into `out`; returns the characters written (a NUL follows when there is room for
// it), or -1 when `out` is smaller than rdir_b64_encoded_len(in.size()).
long rdir_b64_encode(std::span<const uint8_t> in, char* out, size_t out_size);
std::string rdir_b64_encode(std::span<const uint8_t> in);

// Decodes `in` into `out`. Padding may be present or left out; anything else outside the
// alphabet, or a length that cannot be base64, is refused. Returns the bytes written, -1 for
// text that is not base64, -2 when the decoded bytes do not fit in `out_size`.
long rdir_b64_decode(std::string_view in, uint8_t* out, size_t out_size);

// ---- names from lists ----

// True when `text` holds a tab, a line feed or a carriage return: such a text cannot be carried in
// a stat line without corrupting it.
bool rdir_text_breaks_line(std::string_view text);

// True when `name` can be joined under a base directory without leaving it: not empty, no NUL, not
// absolute, and no "/"-separated component that is "." alone as the whole name or ".." anywhere.
bool rdir_name_stays_below(std::string_view name);

// True when `name` is one plain directory entry name: not empty, not "." or "..", no "/", no NUL,
// and nothing that breaks a stat line.
bool rdir_name_is_entry(std::string_view name);
