#include "liblogsink/bsv.h"

#include <elf.h>
#include <sys/random.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "liblog/log2_sink.h"
#include "libpal/app.h"

namespace {

struct schema_entry {
    int type;
    const char* text;
    bool big_endian;
};

constexpr char kLogSchema[] =
    "sec-u64,usec-u32,pid-u32,tid-u32,level-u8,tag|tid_name|file|line|func|msg-str";
constexpr char kLogKernelSchema[] =
    "sec-u64,usec-u32,pid-u32,tid-u32,cpu_num-u16,irql-u8,level-u8,"
    "tag|tid_name|file|line|func|msg-str";
constexpr char kNetSchema[] =
    "sid-u64,bid-u64,stime-u64,ver_id-u32,app_id-u16,os_id-u8,arch_id-u8,type_id-u16,"
    "hostname|data-str";

constexpr schema_entry kSchemas[] = {
    {BSV_TYPE_LOG, kLogSchema, false},
    {BSV_TYPE_LOG_BE, kLogSchema, true},
    {BSV_TYPE_LOG_KERNEL, kLogKernelSchema, false},
    {BSV_TYPE_NET, kNetSchema, false},
    {BSV_TYPE_NET_BE, kNetSchema, true},
};

const schema_entry* find_schema(int type) {
    for (const schema_entry& entry : kSchemas) {
        if (entry.type == type) return &entry;
    }
    log2_diag("type=%d error: not found\n", type);
    return nullptr;
}

// Only the program's own packets are ever unscrambled, so any fixed key of ours serves.
constexpr uint8_t kScrambleKey[16] = {0x5a, 0x3c, 0x96, 0xe1, 0x0f, 0x71, 0xa8, 0x2d,
                                      0xc4, 0x6b, 0x19, 0xf2, 0x87, 0x4e, 0xb0, 0x35};

size_t width_of(bsv_kind kind) {
    switch (kind) {
        case bsv_kind::u8:
            return 1;
        case bsv_kind::u16:
            return 2;
        case bsv_kind::u32:
            return 4;
        case bsv_kind::u64:
            return 8;
        case bsv_kind::str:
            return 0;
    }
    return 0;
}

void put_integer(std::vector<uint8_t>* out, uint64_t value, size_t width, bool big_endian) {
    for (size_t i = 0; i < width; ++i) {
        const size_t shift = 8 * (big_endian ? width - 1 - i : i);
        out->push_back(static_cast<uint8_t>(value >> shift));
    }
}

uint16_t get_u16(const uint8_t* p, bool big_endian) {
    return big_endian ? static_cast<uint16_t>(p[0] << 8 | p[1])
                      : static_cast<uint16_t>(p[1] << 8 | p[0]);
}

// The directory this tree was built in, taken from this file's own compile-time name.
std::string_view build_source_dir() {
    constexpr std::string_view here = __FILE__;
    constexpr std::string_view tail = "src/lib/liblogsink/bsv.cc";
    if (here.size() <= tail.size() || here.substr(here.size() - tail.size()) != tail) return {};
    return here.substr(0, here.size() - tail.size());
}

uint64_t boot_id() {
    std::ifstream in("/proc/sys/kernel/random/boot_id");
    std::string text;
    if (!std::getline(in, text)) return 0;
    uint64_t value = 0;
    int digits = 0;
    for (char c : text) {
        if (digits == 16) break;
        int nibble = -1;
        if (c >= '0' && c <= '9') nibble = c - '0';
        if (c >= 'a' && c <= 'f') nibble = c - 'a' + 10;
        if (nibble < 0) continue;
        value = value << 4 | static_cast<uint64_t>(nibble);
        ++digits;
    }
    return value;
}

uint64_t machine_start_seconds() {
    timespec now{}, up{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0 || clock_gettime(CLOCK_BOOTTIME, &up) != 0) {
        return 0;
    }
    return now.tv_sec > up.tv_sec ? static_cast<uint64_t>(now.tv_sec - up.tv_sec) : 0;
}

uint64_t random_u64() {
    uint64_t value = 0;
    ssize_t n;
    do {
        n = getrandom(&value, sizeof(value), 0);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(sizeof(value))) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        value =
            static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
    }
    return value;
}

uint16_t application_number() {
    const std::string_view name = program_invocation_short_name;
    if (name == "dvcp") return BSV_APP_DVCP;
    if (name == "dvsd") return BSV_APP_DVSD;
    return BSV_APP_OTHER;
}

uint8_t processor_family() {
#if defined(__x86_64__)
    return EM_X86_64;
#elif defined(__aarch64__)
    return EM_AARCH64;
#elif defined(__i386__)
    return EM_386;
#elif defined(__arm__)
    return EM_ARM;
#elif defined(__riscv)
    return EM_RISCV;
#else
    return EM_NONE;
#endif
}

}  // namespace

const char* bsv_schema(int type) {
    const schema_entry* entry = find_schema(type);
    return entry != nullptr ? entry->text : nullptr;
}

bool bsv_big_endian(int type) {
    return type == BSV_TYPE_LOG_BE || type == BSV_TYPE_NET_BE;
}

int bsv_schema_parse(std::string_view text, std::vector<bsv_field>* fields) {
    fields->clear();
    std::vector<bsv_field> parsed;
    while (!text.empty()) {
        const size_t comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (comma != std::string_view::npos && text.empty()) return -1;  // trailing comma

        const size_t hyphen = item.rfind('-');
        if (hyphen == std::string_view::npos) return -1;
        const std::string_view type = item.substr(hyphen + 1);
        bsv_kind kind;
        if (type == "u8") {
            kind = bsv_kind::u8;
        } else if (type == "u16") {
            kind = bsv_kind::u16;
        } else if (type == "u32") {
            kind = bsv_kind::u32;
        } else if (type == "u64") {
            kind = bsv_kind::u64;
        } else if (type == "str") {
            kind = bsv_kind::str;
        } else {
            return -1;
        }
        std::string_view names = item.substr(0, hyphen);
        for (;;) {
            const size_t bar = names.find('|');
            const std::string_view name = names.substr(0, bar);
            if (name.empty()) return -1;
            parsed.push_back({std::string(name), kind});
            if (bar == std::string_view::npos) break;
            names = names.substr(bar + 1);
        }
    }
    if (parsed.empty()) return -1;
    *fields = std::move(parsed);
    return 0;
}

int bsv_encode(int type, std::span<const bsv_value> values, size_t string_budget,
               std::vector<uint8_t>* out) {
    const schema_entry* entry = find_schema(type);
    if (entry == nullptr) return -1;
    std::vector<bsv_field> fields;
    if (bsv_schema_parse(entry->text, &fields) != 0 || values.size() > fields.size()) return -1;

    size_t strings = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        if (fields[i].kind == bsv_kind::str) ++strings;
    }
    if (strings > string_budget) return -1;

    std::vector<uint8_t> encoded;
    size_t left = string_budget;
    size_t strings_after = strings;
    bool cut = false;
    for (size_t i = 0; i < values.size(); ++i) {
        if (fields[i].kind != bsv_kind::str) {
            put_integer(&encoded, values[i].number, width_of(fields[i].kind), entry->big_endian);
            continue;
        }
        --strings_after;
        // A NUL stays reserved for every later string, so a cut never drops a field.
        const size_t room = left - strings_after - 1;
        std::string_view text = cut ? std::string_view() : values[i].text;
        // A string ends at its first NUL, as its reader sees it.
        text = text.substr(0, text.find('\0'));
        if (text.size() > room) {
            text = text.substr(0, room);
            cut = true;
        }
        encoded.insert(encoded.end(), text.begin(), text.end());
        encoded.push_back(0);
        left -= text.size() + 1;
    }
    out->insert(out->end(), encoded.begin(), encoded.end());
    return 0;
}

std::vector<uint8_t> bsv_log_record(const bsv_log_fields& f, size_t string_budget) {
    const bsv_value values[] = {
        {f.sec, {}},        {f.usec, {}}, {f.pid, {}}, {f.tid, {}}, {f.level, {}},  {0, f.tag},
        {0, f.thread_name}, {0, f.file},  {0, f.line}, {0, f.func}, {0, f.message},
    };
    std::vector<uint8_t> record;
    record.reserve(BSV_LOG_RECORD_MAX);
    const size_t budget = string_budget < BSV_LOG_STRINGS_MAX ? string_budget : BSV_LOG_STRINGS_MAX;
    if (bsv_encode(BSV_TYPE_LOG, values, budget, &record) != 0) record.clear();
    return record;
}

std::string_view bsv_source_file(std::string_view file) {
    const std::string_view prefix = build_source_dir();
    if (!prefix.empty() && file.size() > prefix.size() && file.substr(0, prefix.size()) == prefix) {
        return file.substr(prefix.size());
    }
    return file;
}

const bsv_origin& bsv_local_origin() {
    static const bsv_origin origin = [] {
        bsv_origin o;
        o.sid = random_u64();
        o.bid = boot_id();
        o.stime = machine_start_seconds();
        o.ver_id = app_version_id(APP_VERSION_TEXT);
        o.app_id = application_number();
        o.os_id = 2;
        o.arch_id = processor_family();
        return o;
    }();
    return origin;
}

size_t bsv_net_string_budget(size_t hostname_length) {
    if (hostname_length > BSV_HOSTNAME_MAX) hostname_length = BSV_HOSTNAME_MAX;
    // Head, host name and NUL, fixed record fields, strings: below the limit without the CRC.
    const size_t fixed = BSV_NET_FIXED_SIZE + hostname_length + 1 + BSV_LOG_FIXED_SIZE;
    const size_t budget = BSV_NET_LIMIT - 1 - fixed;
    return budget < BSV_LOG_STRINGS_MAX ? budget : BSV_LOG_STRINGS_MAX;
}

std::vector<uint8_t> bsv_net_packet(std::span<const uint8_t> record, uint16_t record_type,
                                    std::string_view hostname, const bsv_origin& origin,
                                    bool scramble) {
    hostname = hostname.substr(0, hostname.find('\0'));
    if (hostname.size() > BSV_HOSTNAME_MAX) hostname = hostname.substr(0, BSV_HOSTNAME_MAX);
    const size_t length = BSV_NET_FIXED_SIZE + hostname.size() + 1 + record.size() + 1;
    if (length - 1 >= BSV_NET_LIMIT) return {};

    std::vector<uint8_t> packet;
    packet.reserve(length);
    packet.insert(packet.end(), BSV_MAGIC, BSV_MAGIC + sizeof(BSV_MAGIC));
    packet.push_back(BSV_FLAG_CRC | (scramble ? BSV_FLAG_SCRAMBLED : 0));
    put_integer(&packet, length, 2, false);
    put_integer(&packet, BSV_TYPE_NET, 2, false);
    const bsv_value fields[] = {
        {origin.sid, {}},     {origin.bid, {}},    {origin.stime, {}},
        {origin.ver_id, {}},  {origin.app_id, {}}, {origin.os_id, {}},
        {origin.arch_id, {}}, {record_type, {}},   {0, hostname},
    };
    if (bsv_encode(BSV_TYPE_NET, fields, hostname.size() + 1, &packet) != 0) return {};
    packet.insert(packet.end(), record.begin(), record.end());
    packet.push_back(bsv_crc8(std::span<const uint8_t>(packet).subspan(3)));
    if (scramble) bsv_scramble(packet);
    return packet;
}

uint8_t bsv_crc8(std::span<const uint8_t> bytes) {
    uint8_t crc = 0;
    for (uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80) ? static_cast<uint8_t>(crc << 1 ^ 0x07)
                               : static_cast<uint8_t>(crc << 1);
        }
    }
    return crc;
}

void bsv_scramble(std::span<uint8_t> packet) {
    for (size_t i = 4; i < packet.size(); ++i) packet[i] ^= kScrambleKey[(i - 4) % 16];
}

int bsv_parse_net_type(uint8_t* packet, size_t length) {
    if (packet == nullptr || length < BSV_NET_MIN_SIZE) {
        log2_diag("len=%d error: len<16 \n", static_cast<int>(length));
        return -1;
    }
    if (memcmp(packet, BSV_MAGIC, sizeof(BSV_MAGIC)) != 0) {
        log2_diag("magic 0x%x-0x%x-0x%x error\n", packet[0], packet[1], packet[2]);
        return -1;
    }
    const uint8_t flags = packet[3];
    if ((flags >> 4) != 0) {
        log2_diag("ver=%d not supportd\n", flags >> 4);
        return -1;
    }
    const std::span<uint8_t> bytes(packet, length);
    if (flags & BSV_FLAG_SCRAMBLED) bsv_scramble(bytes);
    if ((flags & BSV_FLAG_CRC) &&
        bsv_crc8(std::span<const uint8_t>(bytes).subspan(3, length - 4)) != packet[length - 1]) {
        log2_diag("crc check failed\n");
        if (flags & BSV_FLAG_SCRAMBLED) bsv_scramble(bytes);  // leave it as it came
        return -1;
    }
    if (flags & BSV_FLAG_SCRAMBLED) {
        // Left as the same packet sent unscrambled, so that a second look reads it alike.
        packet[3] = static_cast<uint8_t>(flags & ~BSV_FLAG_SCRAMBLED);
        if (flags & BSV_FLAG_CRC) {
            packet[length - 1] = bsv_crc8(std::span<const uint8_t>(bytes).subspan(3, length - 4));
        }
    }
    const bool big_endian = flags & BSV_FLAG_BIG_ENDIAN;
    const uint16_t declared = get_u16(packet + 4, big_endian);
    if (declared != length) {
        log2_diag("len=%d dlen=%d endian=%d error: len!=dlen\n", static_cast<int>(length), declared,
                  big_endian ? 1 : 0);
        return -1;
    }
    return get_u16(packet + 6, big_endian);
}
