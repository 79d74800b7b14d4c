// An independent reader of structured log records, their network packets and capture files, for
// the tests: it decodes by the documented offsets, not through the library's encoder.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace bsvtest {

inline uint64_t le(const std::string& bytes, size_t offset, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) {
        value |= static_cast<uint64_t>(static_cast<uint8_t>(bytes[offset + i])) << (8 * i);
    }
    return value;
}

// A type 1 log record, or a capture frame (the record from its offset 12 on).
struct log_record {
    uint64_t sec = 0;
    uint32_t usec = 0;
    uint32_t pid = 0;
    uint32_t tid = 0;
    uint8_t level = 0;
    std::vector<std::string> strings;  // tag, thread name, file, line, function, message
};

// Decodes `bytes` from `pid` on (`with_time`: from `sec`). None when a string lacks its NUL.
inline std::optional<log_record> parse_record(const std::string& bytes, bool with_time = true) {
    const size_t base = with_time ? 0 : 12;
    if (bytes.size() + base < 21) return std::nullopt;
    log_record r;
    auto at = [&](size_t offset) { return offset - base; };
    if (with_time) {
        r.sec = le(bytes, 0, 8);
        r.usec = static_cast<uint32_t>(le(bytes, 8, 4));
    }
    r.pid = static_cast<uint32_t>(le(bytes, at(12), 4));
    r.tid = static_cast<uint32_t>(le(bytes, at(16), 4));
    r.level = static_cast<uint8_t>(bytes[at(20)]);
    size_t offset = at(21);
    while (offset < bytes.size()) {
        const size_t nul = bytes.find('\0', offset);
        if (nul == std::string::npos) return std::nullopt;
        r.strings.push_back(bytes.substr(offset, nul - offset));
        offset = nul + 1;
    }
    return r;
}

struct net_packet {
    uint8_t flags = 0;
    uint16_t length = 0;
    uint16_t type = 0;
    uint64_t sid = 0, bid = 0, stime = 0;
    uint32_t ver_id = 0;
    uint16_t app_id = 0;
    uint8_t os_id = 0, arch_id = 0;
    uint16_t type_id = 0;
    std::string hostname;
    std::string record;
    uint8_t crc = 0;
};

// Decodes an unscrambled packet; none when it is too short or its magic is wrong.
inline std::optional<net_packet> parse_packet(const std::string& bytes) {
    if (bytes.size() < 44 || bytes.compare(0, 3, "bsv") != 0) return std::nullopt;
    net_packet p;
    p.flags = static_cast<uint8_t>(bytes[3]);
    p.length = static_cast<uint16_t>(le(bytes, 4, 2));
    p.type = static_cast<uint16_t>(le(bytes, 6, 2));
    p.sid = le(bytes, 8, 8);
    p.bid = le(bytes, 16, 8);
    p.stime = le(bytes, 24, 8);
    p.ver_id = static_cast<uint32_t>(le(bytes, 32, 4));
    p.app_id = static_cast<uint16_t>(le(bytes, 36, 2));
    p.os_id = static_cast<uint8_t>(bytes[38]);
    p.arch_id = static_cast<uint8_t>(bytes[39]);
    p.type_id = static_cast<uint16_t>(le(bytes, 40, 2));
    const size_t nul = bytes.find('\0', 42);
    if (nul == std::string::npos || nul + 1 >= bytes.size()) return std::nullopt;
    p.hostname = bytes.substr(42, nul - 42);
    p.record = bytes.substr(nul + 1, bytes.size() - nul - 2);
    p.crc = static_cast<uint8_t>(bytes.back());
    return p;
}

struct pcap_frame {
    uint32_t sec = 0, usec = 0, captured = 0, original = 0;
    std::string data;
};

struct pcap_file {
    uint32_t magic = 0;
    uint16_t major = 0, minor = 0;
    int32_t zone = 0;
    uint32_t accuracy = 0, snapshot = 0, link_type = 0;
    std::vector<pcap_frame> frames;
};

// Reads a whole little-endian capture file; none unless its bytes are exactly a global header and
// whole frames.
inline std::optional<pcap_file> parse_pcap(const std::string& bytes) {
    if (bytes.size() < 24) return std::nullopt;
    pcap_file f;
    f.magic = static_cast<uint32_t>(le(bytes, 0, 4));
    f.major = static_cast<uint16_t>(le(bytes, 4, 2));
    f.minor = static_cast<uint16_t>(le(bytes, 6, 2));
    f.zone = static_cast<int32_t>(le(bytes, 8, 4));
    f.accuracy = static_cast<uint32_t>(le(bytes, 12, 4));
    f.snapshot = static_cast<uint32_t>(le(bytes, 16, 4));
    f.link_type = static_cast<uint32_t>(le(bytes, 20, 4));
    size_t offset = 24;
    while (offset < bytes.size()) {
        if (bytes.size() - offset < 16) return std::nullopt;
        pcap_frame frame;
        frame.sec = static_cast<uint32_t>(le(bytes, offset, 4));
        frame.usec = static_cast<uint32_t>(le(bytes, offset + 4, 4));
        frame.captured = static_cast<uint32_t>(le(bytes, offset + 8, 4));
        frame.original = static_cast<uint32_t>(le(bytes, offset + 12, 4));
        offset += 16;
        if (bytes.size() - offset < frame.captured) return std::nullopt;
        frame.data = bytes.substr(offset, frame.captured);
        offset += frame.captured;
        f.frames.push_back(std::move(frame));
    }
    return f;
}

}  // namespace bsvtest
