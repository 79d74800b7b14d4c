// Structured binary log records: the machine-readable twin of each log line.
//
// Records are described by schema strings: comma-separated fields, each "name-type", where several
// names joined by "|" share the type after the last of them. Types are "u8", "u16", "u32", "u64"
// (unsigned integers, little-endian unless the record type is big-endian) and "str" (bytes followed
// by a NUL). A log line becomes a record of type 1; a record goes to a collector wrapped in a
// network packet ("bsv" magic, type 5 fields, host name, record, CRC-8), and into a ".pcap" log
// file as one capture packet (link type 146 + record type).
//
// Everything here is reentrant and never logs through log2_printf, so that it can run inside the
// log's sinks; bsv_parse_net_type alone reports through log2_diag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Record types.
inline constexpr int BSV_TYPE_LOG = 1;         // a log line, little-endian
inline constexpr int BSV_TYPE_LOG_BE = 2;      // a log line, big-endian
inline constexpr int BSV_TYPE_LOG_KERNEL = 3;  // a log line with cpu number and irq level
inline constexpr int BSV_TYPE_NET = 5;         // network packet fields, little-endian
inline constexpr int BSV_TYPE_NET_BE = 6;      // network packet fields, big-endian

// Log record (type 1) layout: fixed fields, then six strings (tag, thread name, source file, line
// number in decimal, function, message) that together take at most BSV_LOG_STRINGS_MAX bytes.
inline constexpr size_t BSV_LOG_FIXED_SIZE = 21;
inline constexpr size_t BSV_LOG_STRING_COUNT = 6;
inline constexpr size_t BSV_LOG_STRINGS_MAX = 1449;
inline constexpr size_t BSV_LOG_RECORD_MAX = BSV_LOG_FIXED_SIZE + BSV_LOG_STRINGS_MAX;  // 1470

// Network packet layout.
inline constexpr char BSV_MAGIC[3] = {'b', 's', 'v'};
inline constexpr uint8_t BSV_FLAG_BIG_ENDIAN = 1;
inline constexpr uint8_t BSV_FLAG_CRC = 2;
inline constexpr uint8_t BSV_FLAG_SCRAMBLED = 4;
inline constexpr size_t BSV_NET_HEAD_SIZE = 8;    // magic, flags, length, packet type
inline constexpr size_t BSV_NET_FIXED_SIZE = 42;  // head and the type 5 integers
inline constexpr size_t BSV_NET_MIN_SIZE = 16;    // smallest packet a receiver accepts
// A packet without its CRC byte must be shorter than this (one Ethernet datagram).
inline constexpr size_t BSV_NET_LIMIT = 1472;
inline constexpr size_t BSV_HOSTNAME_MAX = 64;  // host names longer than this are cut

// pcap files of records.
inline constexpr uint32_t BSV_PCAP_MAGIC = 0xa1b2c3d4;
inline constexpr uint32_t BSV_PCAP_LINK_BASE = 146;  // + record type: 147 for log records
inline constexpr size_t BSV_PCAP_HEADER_SIZE = 24;
inline constexpr size_t BSV_PCAP_PACKET_HEADER_SIZE = 16;
inline constexpr size_t BSV_PCAP_RECORD_SKIP = 12;  // a packet holds the record from `pid` on

enum class bsv_kind : uint8_t { u8, u16, u32, u64, str };

struct bsv_field {
    std::string name;
    bsv_kind kind;
};

// The schema text of a record type, or null for an unknown type (then the diagnostic
// "type=%d error: not found\n").
const char* bsv_schema(int type);

// Whether a record type's integers are big-endian.
bool bsv_big_endian(int type);

// Parses a schema text into its fields, in order. Returns 0, or -1 for a malformed text (an empty
// name, a missing or unknown type); `fields` is then left empty.
int bsv_schema_parse(std::string_view text, std::vector<bsv_field>* fields);

// One value to encode: `number` for an integer field, `text` for a string field.
struct bsv_value {
    uint64_t number = 0;
    std::string_view text;
};

// Encodes `values` field by field after the schema of `type`, appending to `out`. Fewer values
// than fields encode only the leading fields. Integers are cut to their width. The strings share
// `string_budget` bytes, their NULs included: a string that does not fit is cut (and still ends in
// a NUL), and every later string is written empty, so the record always holds every field of its
// schema. `string_budget` must leave at least one byte per string. Returns 0, or -1 (nothing
// appended) for an unknown type, more values than fields, or a budget too small for the NULs.
int bsv_encode(int type, std::span<const bsv_value> values, size_t string_budget,
               std::vector<uint8_t>* out);

// The fields of one log record.
struct bsv_log_fields {
    uint64_t sec = 0;   // real-time clock seconds
    uint32_t usec = 0;  // microseconds within that second
    uint32_t pid = 0;
    uint32_t tid = 0;  // kernel thread id
    uint8_t level = 0;
    std::string_view tag, thread_name, file, line, func, message;
};

// Builds a log record (type 1) whose strings take at most `string_budget` bytes (capped at
// BSV_LOG_STRINGS_MAX); see bsv_encode for how strings are cut. An empty vector when the budget
// cannot hold the six NULs.
std::vector<uint8_t> bsv_log_record(const bsv_log_fields& fields,
                                    size_t string_budget = BSV_LOG_STRINGS_MAX);

// `file` without the build machine's source directory when it starts with it.
std::string_view bsv_source_file(std::string_view file);

// The type 5 fields that say where a packet comes from.
struct bsv_origin {
    uint64_t sid = 0;    // this process run
    uint64_t bid = 0;    // this machine start
    uint64_t stime = 0;  // when the machine started (seconds since the epoch)
    uint32_t ver_id = 0;
    uint16_t app_id = 0;
    uint8_t os_id = 0;
    uint8_t arch_id = 0;
};

// Values of this process: ids drawn once per process run and per machine start, the program's
// version, 2 (Linux) and the processor's ELF machine number.
const bsv_origin& bsv_local_origin();

// Application numbers, from the executable's name.
inline constexpr uint16_t BSV_APP_OTHER = 0;
inline constexpr uint16_t BSV_APP_DVCP = 1;
inline constexpr uint16_t BSV_APP_DVSD = 2;

// The strings budget that keeps a log record with its packet within BSV_NET_LIMIT, for a host
// name of `hostname_length` bytes (cut to BSV_HOSTNAME_MAX); never more than BSV_LOG_STRINGS_MAX.
size_t bsv_net_string_budget(size_t hostname_length);

// Wraps a record of `record_type` in a network packet (type 5): head, `origin`, host name (cut to
// BSV_HOSTNAME_MAX) and its NUL, the record, CRC-8. Scrambled when `scramble` is set. An empty
// vector when the packet would not stay within BSV_NET_LIMIT.
std::vector<uint8_t> bsv_net_packet(std::span<const uint8_t> record, uint16_t record_type,
                                    std::string_view hostname, const bsv_origin& origin,
                                    bool scramble);

// CRC-8, polynomial 0x07, initial value 0, no reflection.
uint8_t bsv_crc8(std::span<const uint8_t> bytes);

// Scrambles or unscrambles (the same operation) the bytes of a packet from offset 4 on with the
// program's fixed key. This hides a packet's text from casual reading; it is no encryption.
void bsv_scramble(std::span<uint8_t> packet);

// Checks a received packet: length at least 16, magic, version 0, CRC when the flags say there is
// one, and the length field against `length`. A scrambled packet that passes its CRC check is
// left unscrambled in place, as the same packet sent without scrambling (flag cleared, CRC byte
// to match), so the caller reads its fields afterwards. Returns the packet type, or
// -1 with a diagnostic ("len=%d error: len<16 \n", "magic 0x%x-0x%x-0x%x error\n",
// "ver=%d not supportd\n", "crc check failed\n", "len=%d dlen=%d endian=%d error: len!=dlen\n").
int bsv_parse_net_type(uint8_t* packet, size_t length);
