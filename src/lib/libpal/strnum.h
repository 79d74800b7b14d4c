// Sizes, durations and numbers: the small conversions whose exact output users see (the bs=
// option, size-capped log files, the run report).
//
// Every function here is thread-safe except where noted.
#pragma once

#include <cstddef>
#include <cstdint>

// A byte count with an optional unit suffix of at most two letters, e.g. "64k" (65536), "64kB"
// (64000), "1M" (1048576), "1b" (512), "2w" (4), "10" (10). Units, matched left to right, first
// table entry whose name is a prefix of the rest of the suffix:
//   c 1, w 2, b 512, kB kD 1000, k 1024, KB KD 1000, K 1024, MB MD 10^6, M 2^20,
//   GB GD 10^9, G 2^30, TB 10^12, T 2^40, PB 10^15, P 2^50.
// Lower-case m, g, t, p and a bare B are not units. Trailing blanks are ignored.
// Returns 0 for anything it does not accept: a null text, a leading sign or blank, a number part
// that is not all digits ("1.5M"), an unknown or over-long suffix ("5MiB"), a text longer than 256
// characters, or a value that does not fit in 64 bits.
uint64_t str_size_parse(const char* text);

// The human form of a byte count.
//   divisor != 0: value / divisor rounded half up, as a plain number.
//   divisor == 0: binary units with one decimal, e.g. 1023 -> "1023", 1536 -> "1.5K",
//                 2047 -> "2.0K", 1048576 -> "1.0M" (units K M G T P E Z Y).
// Writes into `buffer` (cut to `size`, always NUL-terminated when size > 0) and returns it; a
// null buffer or size 0 returns "" (the value 0 returns "0").
const char* str_size_text(uint64_t value, uint64_t divisor, char* buffer, size_t size);

// str_size_text into a 21-byte buffer owned by the calling thread: the text stays valid until the
// same thread calls this again.
const char* str_size_text_static(uint64_t value, uint64_t divisor);

// The compact form of a duration in seconds: "MM:SS.mmm", "HH:MM:SS.mmm" once there are hours,
// "D_HH:MM:SS.mmm" once there are days; e.g. 5.25 -> "00:05.250", 3725.5 -> "01:02:05.500",
// 90061 -> "1_01:01:01.000". A negative value (or NaN) gives "00:00". The milliseconds are rounded
// on their own (59.9996 -> "00:59.000"). Writes into `buffer` (cut to `size`) and returns it.
char* str_time_text(double seconds, char* buffer, size_t size);

// Milliseconds of the monotonic clock.
uint64_t os_time_ms();

enum str_number_kind : int {
    STR_NUMBER_INT = 0,
    STR_NUMBER_FLOAT = 1,
};

// Result of str_parse_all_number.
struct str_number {
    str_number_kind kind;
    uint64_t u64;  // the value when kind == STR_NUMBER_INT
    double dbl;    // the value when kind == STR_NUMBER_FLOAT
};

// Parses a number literal: decimal, "0x"/"0X" hexadecimal, "0b"/"0B" binary (not when base is 16,
// where b is a digit), leading-zero octal in base 10, or floating ("." or an e/E exponent in base
// 10, a p/P exponent in base 16 or 2). Leading blanks are skipped; a leading "+" is allowed and a
// leading "-" negates a floating literal. Up to two l/L and one u/U may follow an integer; any
// other trailing character ends the literal. `base` is 10 (0 means 10), 16 or 2.
// Returns 0 with the literal in `result`, or -1 with integer 0 in `result` for an absent or empty
// text, no digits, a digit not valid for the base, an integer overflowing 64 bits, a negative
// integer, or more than 1000 digits (debug line "number too long").
int str_parse_all_number(str_number* result, const char* text, int base);

// The literal as an integer (base 10 / 16); a floating literal is truncated; 0 when the text is not
// a number or the value does not fit.
uint64_t str_to_u64(const char* text);
uint64_t str_hex_to_u64(const char* text);
uint32_t str_hex_to_u32(const char* text);

// The literal as a double (base 10); 0 when the text is not a number.
double str_to_double(const char* text);
