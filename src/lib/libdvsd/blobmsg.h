// Typed-field messages: the only code that writes or reads message bytes.
//
// A message is a root table attribute whose value is a sequence of named,
// typed fields (layout in libdvsd/sd_wire.h). Requests are built into a
// blob_buf; replies are matched against a field table (blobmsg_policy[]),
// which yields pointers to the attributes found.
//
// Threads: a blob_buf and the attributes parsed out of a buffer belong to the
// one connection that owns them; nothing here keeps global state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "libdvsd/sd_wire.h"

// An attribute inside a message buffer. Only ever handled by pointer: it
// points at the attribute's header word, which need not be aligned.
struct blob_attr;

// ---- raw attribute access -----------------------------------------------------
// For attributes that the builder wrote or that a parse accepted (a parse
// validates every attribute it hands out). These do no bounds checks of their own.

uint32_t blob_raw_header(const blob_attr* attr);
unsigned blob_id(const blob_attr* attr);          // type number
size_t blob_raw_len(const blob_attr* attr);       // header through end of value
size_t blob_pad_len(const blob_attr* attr);       // raw length rounded up to 4
const uint8_t* blob_data(const blob_attr* attr);  // bytes after the header word
size_t blob_len(const blob_attr* attr);           // raw length minus the header word

// Named attributes: name, value bytes and value length V.
const char* blobmsg_name(const blob_attr* attr);
uint8_t* blobmsg_data(blob_attr* attr);
const uint8_t* blobmsg_data(const blob_attr* attr);
size_t blobmsg_data_len(const blob_attr* attr);

// ---- getters for parse results ---------------------------------------------------
// `attr` must not be null. A value too short for the getter (a field matched
// by an UNSPEC table entry) reads as 0, and a value that is not a terminated
// string reads as "".

int32_t blobmsg_get_int32(const blob_attr* attr);
int64_t blobmsg_get_int64(const blob_attr* attr);
const char* blobmsg_get_string(const blob_attr* attr);

// ---- building ----------------------------------------------------------------------

// A connection's message buffer, reused for every request. `bytes.size()` is
// the capacity; it grows in steps of 256 bytes, zero-filled, and never shrinks.
// The root attribute sits at the start.
struct blob_buf {
    std::vector<uint8_t> bytes;
};

// Empties the buffer and starts a root table of length 4 (no fields).
// 0, or -1 when the first 256 bytes cannot be allocated.
int blob_buf_init(blob_buf* buf);
// The root attribute: what the frame carries after its four fixed bytes;
// nullptr before the first init.
const blob_attr* blob_buf_root(const blob_buf* buf);
// Padded length P of the root (header word included): the bytes to send;
// 0 before the first init.
size_t blob_buf_padded_len(const blob_buf* buf);

// Each add appends one named field to the root and returns 0, or -1 when the
// buffer was never initialised or cannot grow, the name is empty or longer than 65535 bytes, or the
// message would exceed the 24-bit length of the root. On failure the message
// is left as it was. Name and value padding are zero bytes.
int blobmsg_add_field(blob_buf* buf, int type, const char* name, const void* data, size_t len);
// Type string; the value is `text` and its terminating zero ("" has V = 1).
int blobmsg_add_string(blob_buf* buf, const char* name, const char* text);
// Type int32, big-endian.
int blobmsg_add_int32(blob_buf* buf, const char* name, uint32_t value);
// Type int64: high 32 bits first, each half big-endian.
int blobmsg_add_int64(blob_buf* buf, const char* name, uint64_t value);

// Appends a binary field of V = `capacity` whose value is to be written in
// place (blobmsg_data of the result), e.g. a packed payload. nullptr on
// failure. The pointer stays valid until the next add, reserve or init.
blob_attr* blobmsg_reserve_field(blob_buf* buf, const char* name, size_t capacity);
// Shrinks the value of `attr`, which must be the last field of the message,
// to `length` bytes (at most its current V) and shrinks the root to match.
// 0, or -1 when `attr` is not the last field or `length` is too large.
int blobmsg_trim_field(blob_buf* buf, blob_attr* attr, size_t length);

// ---- parsing ------------------------------------------------------------------------

// One field-table entry. Type BLOBMSG_TYPE_UNSPEC matches fields of any type.
struct blobmsg_policy {
    const char* name;
    uint8_t type;
};

// True when `data` is a well-formed field table: every field whole and valid for its type, the
// fields filling the `len` bytes exactly. blobmsg_parse skips what it does not look for; a server
// checks every request's table with this first, so that each is refused the same way.
bool blobmsg_table_valid(const void* data, size_t len);

// Matches the fields of a root value (`data`, `len` bytes, untrusted) against
// the `count` entries of `policy`. `results` (count entries) receives, for each
// entry, the first field of that name and type, or nullptr. A field whose
// type and name length match some entry must be well formed, or the whole
// parse fails. Fields matching no entry are ignored; a truncated tail ends
// the walk. Returns 0, or -1 with every result cleared when a field is
// malformed. Results point into `data`.
int blobmsg_parse(const blobmsg_policy* policy, int count, const blob_attr** results,
                  const void* data, size_t len);

// Parse of a reply: every table starts with {"errno", int32}, {"errno_str",
// string}. Both must be present. When errno is not 0 the reply reports a server
// failure and nothing else is required; otherwise every further entry must be
// present. 0 or -1 (malformed or a required field missing, logged with its
// table index as "ba[%d]=NULL error").
int cli_blobmsg_parse(const blobmsg_policy* policy, int count, const blob_attr** results,
                      const void* data, size_t len);

// ---- typed lists ------------------------------------------------------------------
//
// A line of values separated by one character (tab in every use) read against
// a format of type names separated by "|":
//   "u32", "x32"  unsigned decimal / hexadecimal  -> uint32_t
//   "u64", "x64"  unsigned decimal / hexadecimal  -> uint64_t
//   "size"        unsigned decimal                -> size_t
//   "int"         signed decimal, leading blanks  -> int
//   "str"         the value text                  -> std::string

// Where one converted value goes; its kind must suit the format type.
class typed_dest {
  public:
    enum class kind { u32, u64, int_, str };
    typed_dest(uint32_t* p) : kind_(kind::u32), ptr_(p) {}
    typed_dest(uint64_t* p) : kind_(kind::u64), ptr_(p) {}
    typed_dest(int* p) : kind_(kind::int_), ptr_(p) {}
    typed_dest(std::string* p) : kind_(kind::str), ptr_(p) {}
    kind which() const { return kind_; }
    void* get() const { return ptr_; }

  private:
    kind kind_;
    void* ptr_;
};

// Converts the values of `line` in order, as many as the smaller of the value
// and type counts (surplus values or types are ignored), and returns how many
// were converted. A value that is not a well-formed number of its type (empty,
// stray characters, too large for its destination) stops the conversion there:
// the result is then smaller than the caller expects. -1 with the thread's
// error set to VERR_INVALID_PARAMETER when the format names an unknown type, or
// `dest` has fewer entries than the format has types or one of the wrong kind.
int cli_typed_list_parse(std::string_view line, char separator, std::string_view format,
                         std::span<const typed_dest> dest);
