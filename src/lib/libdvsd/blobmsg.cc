#include "libdvsd/blobmsg.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <new>

#include "liblog/log2.h"
#include "libpal/verr.h"

#define CLI_LOG(level, ...) DV_LOG("dvcli", level, __VA_ARGS__)

namespace {

// Attributes only ever live in byte buffers; every access goes through these.
const uint8_t* bytes_of(const blob_attr* attr) {
    return reinterpret_cast<const uint8_t*>(attr);
}
uint8_t* bytes_of(blob_attr* attr) {
    return reinterpret_cast<uint8_t*>(attr);
}
const blob_attr* attr_at(const uint8_t* p) {
    return reinterpret_cast<const blob_attr*>(p);
}
blob_attr* attr_at(uint8_t* p) {
    return reinterpret_cast<blob_attr*>(p);
}

uint16_t load_be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
uint32_t load_be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
void store_be16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void store_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

constexpr size_t pad4(size_t n) {
    return (n + 3) & ~size_t{3};
}
// Offset of the value of a named attribute with an n-byte name: header word,
// name length, name and its zero, rounded up to 4.
constexpr size_t value_offset(size_t name_len) {
    return BLOB_ATTR_HEADER_SIZE + ((name_len + 6) & ~size_t{3});
}
constexpr size_t kMaxNameLen = 0xffff;
constexpr size_t kGrowStep = 256;

uint32_t make_header(bool named, unsigned type, size_t len) {
    return (named ? BLOB_ATTR_NAMED : 0) | ((type << BLOB_ATTR_TYPE_SHIFT) & BLOB_ATTR_TYPE_MASK) |
           static_cast<uint32_t>(len & BLOB_ATTR_LEN_MASK);
}

}  // namespace

// ---- raw access -----------------------------------------------------------------------

uint32_t blob_raw_header(const blob_attr* attr) {
    return load_be32(bytes_of(attr));
}
unsigned blob_id(const blob_attr* attr) {
    return (blob_raw_header(attr) & BLOB_ATTR_TYPE_MASK) >> BLOB_ATTR_TYPE_SHIFT;
}
size_t blob_raw_len(const blob_attr* attr) {
    return blob_raw_header(attr) & BLOB_ATTR_LEN_MASK;
}
size_t blob_pad_len(const blob_attr* attr) {
    return pad4(blob_raw_len(attr));
}
const uint8_t* blob_data(const blob_attr* attr) {
    return bytes_of(attr) + BLOB_ATTR_HEADER_SIZE;
}
size_t blob_len(const blob_attr* attr) {
    return blob_raw_len(attr) - BLOB_ATTR_HEADER_SIZE;
}

const char* blobmsg_name(const blob_attr* attr) {
    return reinterpret_cast<const char*>(blob_data(attr) + BLOBMSG_NAME_LEN_SIZE);
}
const uint8_t* blobmsg_data(const blob_attr* attr) {
    return bytes_of(attr) + value_offset(load_be16(blob_data(attr)));
}
uint8_t* blobmsg_data(blob_attr* attr) {
    return bytes_of(attr) + value_offset(load_be16(blob_data(attr)));
}
size_t blobmsg_data_len(const blob_attr* attr) {
    return blob_raw_len(attr) - value_offset(load_be16(blob_data(attr)));
}

int32_t blobmsg_get_int32(const blob_attr* attr) {
    if (blobmsg_data_len(attr) < 4) return 0;
    return static_cast<int32_t>(load_be32(blobmsg_data(attr)));
}

int64_t blobmsg_get_int64(const blob_attr* attr) {
    if (blobmsg_data_len(attr) < 8) return 0;
    const uint8_t* value = blobmsg_data(attr);
    return static_cast<int64_t>((uint64_t{load_be32(value)} << 32) | load_be32(value + 4));
}

const char* blobmsg_get_string(const blob_attr* attr) {
    const size_t len = blobmsg_data_len(attr);
    const uint8_t* value = blobmsg_data(attr);
    if (len == 0 || value[len - 1] != 0) return "";
    return reinterpret_cast<const char*>(value);
}

// ---- building -------------------------------------------------------------------------

namespace {

// The root's length is always 4 plus whole padded fields, so it is its own padded length.
size_t used_len(const blob_buf* buf) {
    return blob_raw_len(attr_at(buf->bytes.data()));
}

bool ensure_room(blob_buf* buf, size_t extra) {
    const size_t need = used_len(buf) + extra;
    const size_t capacity = buf->bytes.size();
    if (need <= capacity) return true;
    try {
        buf->bytes.resize(capacity + ((need - capacity) / kGrowStep + 1) * kGrowStep);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// Appends a named attribute with an unwritten value of `len` bytes; the name,
// its padding and the value padding are written. nullptr when it cannot.
blob_attr* append_field(blob_buf* buf, unsigned type, const char* name, size_t len) {
    if (buf->bytes.size() < BLOB_ATTR_HEADER_SIZE || name == nullptr) return nullptr;
    const size_t name_len = std::strlen(name);
    if (name_len == 0 || name_len > kMaxNameLen) return nullptr;
    const size_t offset = value_offset(name_len);
    const size_t used = used_len(buf);
    // Both the field and the root that holds it must fit the 24-bit length.
    if (len > BLOB_ATTR_LEN_MASK - offset) return nullptr;
    const size_t raw_len = offset + len;
    if (pad4(raw_len) > BLOB_ATTR_LEN_MASK - used) return nullptr;
    if (!ensure_room(buf, pad4(raw_len))) return nullptr;

    uint8_t* p = buf->bytes.data() + used;
    store_be32(p, make_header(true, type, raw_len));
    store_be16(p + BLOB_ATTR_HEADER_SIZE, static_cast<uint16_t>(name_len));
    uint8_t* name_at = p + BLOB_ATTR_HEADER_SIZE + BLOBMSG_NAME_LEN_SIZE;
    std::memcpy(name_at, name, name_len);
    std::memset(name_at + name_len, 0,
                offset - (BLOB_ATTR_HEADER_SIZE + BLOBMSG_NAME_LEN_SIZE) - name_len);
    std::memset(p + raw_len, 0, pad4(raw_len) - raw_len);

    uint8_t* root = buf->bytes.data();
    store_be32(root, make_header(false, BLOBMSG_TYPE_TABLE, used + pad4(raw_len)));
    return attr_at(p);
}

}  // namespace

int blob_buf_init(blob_buf* buf) {
    if (buf->bytes.size() < kGrowStep) {
        try {
            buf->bytes.resize(kGrowStep);
        } catch (const std::bad_alloc&) {
            return -1;
        }
    }
    store_be32(buf->bytes.data(), make_header(false, BLOBMSG_TYPE_TABLE, BLOB_ATTR_HEADER_SIZE));
    return 0;
}

const blob_attr* blob_buf_root(const blob_buf* buf) {
    if (buf->bytes.size() < BLOB_ATTR_HEADER_SIZE) return nullptr;
    return attr_at(buf->bytes.data());
}
size_t blob_buf_padded_len(const blob_buf* buf) {
    if (buf->bytes.size() < BLOB_ATTR_HEADER_SIZE) return 0;
    return blob_pad_len(blob_buf_root(buf));
}

int blobmsg_add_field(blob_buf* buf, int type, const char* name, const void* data, size_t len) {
    if (type < 0 || type > BLOBMSG_TYPE_LAST || (len > 0 && data == nullptr)) return -1;
    blob_attr* attr = append_field(buf, static_cast<unsigned>(type), name, len);
    if (attr == nullptr) return -1;
    if (len > 0) std::memcpy(blobmsg_data(attr), data, len);
    return 0;
}

int blobmsg_add_string(blob_buf* buf, const char* name, const char* text) {
    if (text == nullptr) return -1;
    return blobmsg_add_field(buf, BLOBMSG_TYPE_STRING, name, text, std::strlen(text) + 1);
}

int blobmsg_add_int32(blob_buf* buf, const char* name, uint32_t value) {
    uint8_t be[4];
    store_be32(be, value);
    return blobmsg_add_field(buf, BLOBMSG_TYPE_INT32, name, be, sizeof be);
}

int blobmsg_add_int64(blob_buf* buf, const char* name, uint64_t value) {
    uint8_t be[8];
    store_be32(be, static_cast<uint32_t>(value >> 32));
    store_be32(be + 4, static_cast<uint32_t>(value));
    return blobmsg_add_field(buf, BLOBMSG_TYPE_INT64, name, be, sizeof be);
}

blob_attr* blobmsg_reserve_field(blob_buf* buf, const char* name, size_t capacity) {
    return append_field(buf, BLOBMSG_TYPE_BINARY, name, capacity);
}

int blobmsg_trim_field(blob_buf* buf, blob_attr* attr, size_t length) {
    if (attr == nullptr || buf->bytes.size() < BLOB_ATTR_HEADER_SIZE) return -1;
    uint8_t* const start = buf->bytes.data();
    uint8_t* const p = bytes_of(attr);
    const size_t used = used_len(buf);
    // Only the last field can shrink without moving what follows it.
    if (p < start + BLOB_ATTR_HEADER_SIZE || p >= start + used) return -1;
    if (static_cast<size_t>(p - start) + blob_pad_len(attr) != used) return -1;
    const size_t old_value = blobmsg_data_len(attr);
    if (length > old_value) return -1;

    const size_t old_pad = blob_pad_len(attr);
    const size_t raw_len = blob_raw_len(attr) - (old_value - length);
    store_be32(p, make_header(true, blob_id(attr), raw_len));
    // Readers ignore the padding; zeroing it keeps stale buffer bytes off the wire.
    std::memset(p + raw_len, 0, pad4(raw_len) - raw_len);
    store_be32(start, make_header(false, BLOBMSG_TYPE_TABLE, used - (old_pad - pad4(raw_len))));
    return 0;
}

// ---- parsing --------------------------------------------------------------------------

namespace {

// Checks a named attribute of `raw_len` bytes (all of them readable) before
// anything inside it is trusted.
bool attr_valid(const uint8_t* p, size_t raw_len) {
    if (raw_len < BLOB_ATTR_HEADER_SIZE + BLOBMSG_NAME_LEN_SIZE) return false;
    const size_t name_len = load_be16(p + BLOB_ATTR_HEADER_SIZE);
    if (name_len == 0) return false;
    // The name's terminating zero must lie inside the attribute, and so must
    // the start of the value.
    const size_t name_at = BLOB_ATTR_HEADER_SIZE + BLOBMSG_NAME_LEN_SIZE;
    if (name_len + 1 > raw_len - name_at) return false;
    if (p[name_at + name_len] != 0) return false;
    if (value_offset(name_len) > raw_len) return false;

    const unsigned type = (load_be32(p) & BLOB_ATTR_TYPE_MASK) >> BLOB_ATTR_TYPE_SHIFT;
    const size_t value_len = raw_len - value_offset(name_len);
    const uint8_t* value = p + value_offset(name_len);
    switch (type) {
        case BLOBMSG_TYPE_UNSPEC:
        case BLOBMSG_TYPE_ARRAY:
        case BLOBMSG_TYPE_TABLE:
        case BLOBMSG_TYPE_BINARY:
            return true;
        case BLOBMSG_TYPE_STRING:
            return value_len >= 1 && value[value_len - 1] == 0;
        case BLOBMSG_TYPE_INT64:
            return value_len == 8;
        case BLOBMSG_TYPE_INT32:
            return value_len == 4;
        case BLOBMSG_TYPE_INT16:
            return value_len == 2;
        case BLOBMSG_TYPE_INT8:
            return value_len == 1;
        default:
            return false;
    }
}

}  // namespace

int blobmsg_parse(const blobmsg_policy* policy, int count, const blob_attr** results,
                  const void* data, size_t len) {
    if (count < 0 || (count > 0 && (policy == nullptr || results == nullptr))) return -1;
    const size_t entries = static_cast<size_t>(count);
    for (size_t i = 0; i < entries; ++i) results[i] = nullptr;
    if (data == nullptr) return len == 0 ? 0 : -1;

    // Tables are short (19 entries at most), so name lengths are not cached.
    auto name_len_of = [policy](size_t i) {
        return policy[i].name ? std::strlen(policy[i].name) : 0;
    };

    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t remaining = len;
    // A header word must be readable before its lengths can be trusted.
    while (remaining >= BLOB_ATTR_HEADER_SIZE) {
        const size_t raw_len = load_be32(p) & BLOB_ATTR_LEN_MASK;
        const size_t padded = pad4(raw_len);
        if (padded < BLOB_ATTR_HEADER_SIZE || padded > remaining) break;
        const unsigned type = (load_be32(p) & BLOB_ATTR_TYPE_MASK) >> BLOB_ATTR_TYPE_SHIFT;
        // The name length is only read once it is known to lie inside the attribute.
        const bool has_name_len = raw_len >= BLOB_ATTR_HEADER_SIZE + BLOBMSG_NAME_LEN_SIZE;
        const size_t attr_name_len = has_name_len ? load_be16(p + BLOB_ATTR_HEADER_SIZE) : 0;
        bool validated = false;

        for (size_t i = 0; i < entries; ++i) {
            if (policy[i].type != BLOBMSG_TYPE_UNSPEC && policy[i].type != type) continue;
            // Lengths compare on the low byte of the entry's: a field whose name
            // could be the entry's gets validated before names are compared.
            // A field too short to hold a name length has no name to match.
            const size_t entry_name_len = name_len_of(i);
            if (!has_name_len || attr_name_len != (entry_name_len & 0xff)) continue;
            if (!validated) {
                if (!attr_valid(p, raw_len)) {
                    for (size_t j = 0; j < entries; ++j) results[j] = nullptr;
                    return -1;
                }
                validated = true;
            }
            if (results[i] != nullptr) continue;
            if (attr_name_len != entry_name_len ||
                std::memcmp(p + BLOB_ATTR_HEADER_SIZE + BLOBMSG_NAME_LEN_SIZE, policy[i].name,
                            attr_name_len) != 0) {
                continue;
            }
            results[i] = attr_at(p);
        }
        p += padded;
        remaining -= padded;
    }
    return 0;
}

bool blobmsg_table_valid(const void* data, size_t len) {
    if (data == nullptr) return len == 0;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t remaining = len;
    while (remaining > 0) {
        if (remaining < BLOB_ATTR_HEADER_SIZE) return false;
        const size_t raw_len = load_be32(p) & BLOB_ATTR_LEN_MASK;
        const size_t padded = pad4(raw_len);
        if (padded < BLOB_ATTR_HEADER_SIZE || padded > remaining || !attr_valid(p, raw_len)) {
            return false;
        }
        p += padded;
        remaining -= padded;
    }
    return true;
}

int cli_blobmsg_parse(const blobmsg_policy* policy, int count, const blob_attr** results,
                      const void* data, size_t len) {
    // Every reply table starts with "errno" and "errno_str".
    if (!DV_ASSERT("dvcli", count >= 2)) return -1;
    if (blobmsg_parse(policy, count, results, data, len) != 0) return -1;
    for (int i = 0; i < 2; ++i) {
        if (results[i] == nullptr) {
            CLI_LOG(LOG_DBG, "ba[%d]=NULL error\n", i);
            return -1;
        }
    }
    // A server failure carries no further fields.
    if (blobmsg_get_int32(results[0]) != 0) return 0;
    for (int i = 2; i < count; ++i) {
        if (results[i] == nullptr) {
            CLI_LOG(LOG_ERR, "ba[%d]=NULL error\n", i);
            return -1;
        }
    }
    return 0;
}

// ---- typed lists ----------------------------------------------------------------------

namespace {

enum class list_type { u32, u64, x32, x64, size, int_, str };

bool type_from_name(std::string_view name, list_type* type) {
    static constexpr struct {
        std::string_view name;
        list_type type;
    } kTypes[] = {
        {"u32", list_type::u32}, {"u64", list_type::u64},   {"x32", list_type::x32},
        {"x64", list_type::x64}, {"size", list_type::size}, {"int", list_type::int_},
        {"str", list_type::str},
    };
    for (const auto& entry : kTypes) {
        if (entry.name == name) {
            *type = entry.type;
            return true;
        }
    }
    return false;
}

bool kind_suits(list_type type, typed_dest::kind kind) {
    using K = typed_dest::kind;
    switch (type) {
        case list_type::u32:
        case list_type::x32:
            return kind == K::u32;
        case list_type::u64:
        case list_type::x64:
            return kind == K::u64;
        case list_type::size:
            // size_t is one of the two unsigned widths, whichever the target has.
            return kind == (sizeof(size_t) == sizeof(uint64_t) ? K::u64 : K::u32);
        case list_type::int_:
            return kind == K::int_;
        case list_type::str:
            return kind == K::str;
    }
    return false;
}

// The whole text must be the number: no sign, no blanks, nothing after it.
template <typename T>
bool parse_unsigned(std::string_view text, int base, T* out) {
    if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    if (text.empty()) return false;
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size()) return false;
    *out = value;
    return true;
}

bool parse_int(std::string_view text, int* out) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    if (ec != std::errc() || end != text.data() + text.size()) return false;
    *out = value;
    return true;
}

bool convert(list_type type, std::string_view text, const typed_dest& dest) {
    switch (type) {
        case list_type::u32:
            return parse_unsigned(text, 10, static_cast<uint32_t*>(dest.get()));
        case list_type::x32:
            return parse_unsigned(text, 16, static_cast<uint32_t*>(dest.get()));
        case list_type::u64:
            return parse_unsigned(text, 10, static_cast<uint64_t*>(dest.get()));
        case list_type::x64:
            return parse_unsigned(text, 16, static_cast<uint64_t*>(dest.get()));
        case list_type::size:
            return parse_unsigned(text, 10, static_cast<size_t*>(dest.get()));
        case list_type::int_:
            return parse_int(text, static_cast<int*>(dest.get()));
        case list_type::str:
            try {
                static_cast<std::string*>(dest.get())->assign(text);
            } catch (const std::bad_alloc&) {
                return false;
            }
            return true;
    }
    return false;
}

// Splits off the text up to the next separator; false once `rest` is used up.
bool next_item(std::string_view* rest, bool* done, char separator, std::string_view* item) {
    if (*done) return false;
    const size_t at = rest->find(separator);
    if (at == std::string_view::npos) {
        *item = *rest;
        *done = true;
    } else {
        *item = rest->substr(0, at);
        rest->remove_prefix(at + 1);
    }
    return true;
}

}  // namespace

int cli_typed_list_parse(std::string_view line, char separator, std::string_view format,
                         std::span<const typed_dest> dest) {
    // Check the whole format first, so that a bad one fails the same way
    // whatever the line holds.
    std::string_view types_rest = format;
    bool types_done = false;
    std::string_view name;
    size_t types = 0;
    while (next_item(&types_rest, &types_done, '|', &name)) {
        list_type type;
        if (!type_from_name(name, &type) || types >= dest.size() ||
            !kind_suits(type, dest[types].which()) || dest[types].get() == nullptr) {
            os_set_errno_verr(VERR_INVALID_PARAMETER);
            return -1;
        }
        ++types;
    }

    types_rest = format;
    types_done = false;
    std::string_view values_rest = line;
    bool values_done = false;
    std::string_view value;
    int converted = 0;
    while (next_item(&types_rest, &types_done, '|', &name) &&
           next_item(&values_rest, &values_done, separator, &value)) {
        list_type type = list_type::str;
        type_from_name(name, &type);
        if (!convert(type, value, dest[static_cast<size_t>(converted)])) break;
        ++converted;
    }
    return converted;
}
