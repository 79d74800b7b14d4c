#include "librdir/mstat.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "liblog/log2.h"
#include "librdir/mfile.h"
#include "librdir/misc.h"

#define RDIR_LOG(level, ...) DV_LOG("rdir", level, __VA_ARGS__)

namespace {

constexpr size_t kFirstPoolBlock = 256;
constexpr size_t kMaxPoolBlock = 64 * 1024;
constexpr size_t kFirstCapacity = 16;

// Arena for the names and link texts of one set. Blocks are kept across reset() and reused, so a
// cleared set refills without allocating.
class string_pool final {
  public:
    explicit string_pool(size_t first_block) : next_size_(first_block) {}
    string_pool(const string_pool&) = delete;
    string_pool& operator=(const string_pool&) = delete;

    char* alloc(size_t n) {
        while (current_ < blocks_.size() && blocks_[current_].size - used_ < n) {
            ++current_;
            used_ = 0;
        }
        if (current_ == blocks_.size()) {
            size_t size = next_size_ > n ? next_size_ : n;
            std::unique_ptr<char[]> data(new (std::nothrow) char[size]);
            if (!data) return nullptr;
            try {
                blocks_.push_back(block{std::move(data), size});
            } catch (const std::bad_alloc&) {
                return nullptr;
            }
            if (next_size_ < kMaxPoolBlock) next_size_ *= 2;
            used_ = 0;
        }
        char* p = blocks_[current_].data.get() + used_;
        used_ += n;
        return p;
    }

    void reset() {
        current_ = 0;
        used_ = 0;
    }

  private:
    struct block {
        std::unique_ptr<char[]> data;
        size_t size;
    };
    std::vector<block> blocks_;
    size_t current_ = 0;
    size_t used_ = 0;
    size_t next_size_;
};

bool check_set(const void* h, const char* func, int line) {
    if (h != nullptr) return true;
    log2_assert_fail("rdir", "h!=NULL", __FILE__, line, func);
    return false;
}

#define CHECK_SET(h) check_set((h), __func__, __LINE__)

}  // namespace

struct mstat {
    explicit mstat(size_t first_block) : pool(first_block) {}
    ~mstat() { std::free(items); }
    mstat(const mstat&) = delete;
    mstat& operator=(const mstat&) = delete;

    std::atomic<int32_t> references{0};
    size_t count = 0;
    size_t capacity = 0;
    mstat_item* items = nullptr;  // malloc'ed so that growth failures are plain results
    size_t failures = 0;
    string_pool pool;
};

mstat_attr mstat_item_attr(const mstat_item& item) {
    return mstat_attr{item.link(), item.type,  item.mode,  item.attr, item.uid,
                      item.gid,    item.atime, item.mtime, item.ctime};
}

mstat* mstat_init(const mstat_pool_param* param) {
    mstat_pool_param defaults;
    if (param == nullptr) param = &defaults;
    if (param->type != 0) {
        RDIR_LOG(LOG_ERR, "pool type=%d not supported\n", param->type);
        return nullptr;
    }
    size_t first = param->block_size != 0 ? param->block_size : kFirstPoolBlock;
    // The array is made on the first store: many sets (directories without subdirectories) stay
    // empty, and an empty set should cost next to nothing.
    return new (std::nothrow) mstat(first);
}

mstat_item* mstat_cp_alloc(mstat* h, const mstat_item* item, std::string_view name,
                           std::string_view link) {
    if (!CHECK_SET(h)) return nullptr;
    if (item == nullptr) {
        ++h->failures;
        return nullptr;
    }
    if (h->count == h->capacity) {
        size_t capacity = h->capacity == 0 ? kFirstCapacity : h->capacity * 2;
        void* grown = std::realloc(h->items, capacity * sizeof(mstat_item));
        if (grown == nullptr) {
            ++h->failures;
            return nullptr;
        }
        h->items = static_cast<mstat_item*>(grown);
        h->capacity = capacity;
    }
    size_t text_size = name.size() + 1 + (link.empty() ? 0 : link.size() + 1);
    char* text = h->pool.alloc(text_size);
    if (text == nullptr) {
        ++h->failures;
        return nullptr;
    }
    std::memcpy(text, name.data(), name.size());
    text[name.size()] = '\0';
    uint32_t link_off = 0;
    if (!link.empty()) {
        link_off = static_cast<uint32_t>(name.size() + 1);
        std::memcpy(text + link_off, link.data(), link.size());
        text[link_off + link.size()] = '\0';
    }
    mstat_item* stored = &h->items[h->count++];
    *stored = *item;
    stored->name = text;
    stored->link_off = link_off;
    return stored;
}

mstat_item* mstat_cp_alloc(mstat* h, const mstat_item* item) {
    if (!CHECK_SET(h)) return nullptr;
    if (item == nullptr || item->name == nullptr) {
        ++h->failures;
        return nullptr;
    }
    const char* link = item->link();
    return mstat_cp_alloc(h, item, item->name, link != nullptr ? link : "");
}

mstat_item* mstat_get_item(mstat* h, size_t* count) {
    if (!CHECK_SET(h)) {
        if (count != nullptr) *count = 0;
        return nullptr;
    }
    if (count != nullptr) *count = h->count;
    return h->count != 0 ? h->items : nullptr;
}

std::span<mstat_item> mstat_items(mstat* h) {
    if (h == nullptr || h->count == 0) return {};
    return {h->items, h->count};
}

size_t mstat_get_err_count(const mstat* h) {
    if (!CHECK_SET(h)) return 0;
    return h->failures;
}

int mstat_clear(mstat* h) {
    if (!CHECK_SET(h)) return -1;
    h->count = 0;
    h->failures = 0;
    h->pool.reset();
    return 0;
}

int mstat_ref_add(mstat* h) {
    if (!CHECK_SET(h)) return -1;
    h->references.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

int mstat_exit(mstat* h) {
    if (!CHECK_SET(h)) return -1;
    // The holder that finds no other holder left frees the set; doing the test on the value the
    // decrement itself returned keeps two concurrent last calls from both freeing (or neither).
    if (h->references.fetch_sub(1, std::memory_order_acq_rel) < 1) delete h;
    return 0;
}

uint32_t rdir_type_2_attr(uint32_t type) {
    if ((type & RDIR_TYPE_NO_POSIX) == 0) return RDIR_ATTR_POSIX;
    return rdir_type_is_dir(type) ? RDIR_ATTR_DIR_DEFAULT : RDIR_ATTR_FILE_DEFAULT;
}

namespace {

// Listing lines are written and read once per listed entry, on every side of every job: the
// conversions below do by hand exactly what RDIR_LIST_LINE_FMT and the typed scanner do, without
// their per-call parsing of format and type texts.

// Room for everything of a listing line but its name and link: three 8-digit, three 16-digit
// hex fields, a signed 64-bit and two 32-bit decimals, ten tabs and the newline.
constexpr size_t kLineFixedMax = 3 * 8 + 3 * 16 + 20 + 2 * 10 + 11;

char* put_text(char* out, std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

char* put_hex(char* out, uint64_t value) {
    char digits[16];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value & 0xf];
        value >>= 4;
    } while (value != 0);
    while (n > 0) *out++ = digits[--n];
    return out;
}

char* put_dec(char* out, uint64_t value) {
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) *out++ = digits[--n];
    return out;
}

char* put_signed_dec(char* out, int64_t value) {
    if (value >= 0) return put_dec(out, static_cast<uint64_t>(value));
    *out++ = '-';
    return put_dec(out, ~static_cast<uint64_t>(value) + 1);
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A whole field as an unsigned number of at most `max`: not empty, nothing but digits.
template <int Base>
bool read_unsigned(std::string_view text, uint64_t max, uint64_t* out) {
    if (text.empty()) return false;
    uint64_t value = 0;
    for (char c : text) {
        int d = Base == 16 ? hex_value(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0) return false;
        if (value > (max - static_cast<uint64_t>(d)) / Base) return false;
        value = value * Base + static_cast<uint64_t>(d);
    }
    *out = value;
    return true;
}

template <int Base>
bool read_u32(std::string_view text, uint32_t* out) {
    uint64_t value = 0;
    if (!read_unsigned<Base>(text, UINT32_MAX, &value)) return false;
    *out = static_cast<uint32_t>(value);
    return true;
}

// "%lld" of a 64-bit value reads back bit for bit; an unsigned text up to UINT64_MAX too.
bool read_size(std::string_view text, uint64_t* out) {
    if (!text.empty() && text.front() == '-') {
        uint64_t magnitude = 0;
        if (!read_unsigned<10>(text.substr(1), uint64_t{1} << 63, &magnitude)) return false;
        *out = ~magnitude + 1;
        return true;
    }
    return read_unsigned<10>(text, UINT64_MAX, out);
}

bool read_time(std::string_view text, int64_t* out) {
    uint64_t value = 0;
    if (!read_unsigned<16>(text, UINT64_MAX, &value)) return false;
    *out = static_cast<int64_t>(value);
    return true;
}

// Scans one listing line (no newline, no NUL) into `item`, `name` and `link`. Returns the number
// of fields converted (11 when the line is whole; fields beyond the eleventh are ignored), or -1
// when a field up to there is not a clean number of its type: what the typed scanner returns for
// RDIR_LIST_LINE_TYPES.
int scan_list_line(std::string_view line, mstat_item* item, std::string_view* name,
                   std::string_view* link) {
    std::string_view fields[RDIR_LIST_LINE_FIELDS];
    int found = 0;
    size_t start = 0;
    while (found < RDIR_LIST_LINE_FIELDS) {
        size_t tab = line.find(RDIR_FIELD_SEP, start);
        fields[found++] = line.substr(start, tab == std::string_view::npos ? tab : tab - start);
        if (tab == std::string_view::npos) break;
        start = tab + 1;
    }
    uint64_t size = 0;
    for (int i = 0; i < found; ++i) {
        const std::string_view f = fields[i];
        bool ok = true;
        switch (i) {
            case 0:
                *name = f;
                break;
            case 1:
                *link = f;
                break;
            case 2:
                ok = read_u32<16>(f, &item->type);
                break;
            case 3:
                ok = read_u32<16>(f, &item->mode);
                break;
            case 4:
                ok = read_u32<16>(f, &item->attr);
                break;
            case 5:
                ok = read_size(f, &size);
                break;
            case 6:
                ok = read_time(f, &item->ctime);
                break;
            case 7:
                ok = read_time(f, &item->mtime);
                break;
            case 8:
                ok = read_time(f, &item->atime);
                break;
            case 9:
                ok = read_u32<10>(f, &item->uid);
                break;
            default:
                ok = read_u32<10>(f, &item->gid);
                break;
        }
        if (!ok) return -1;
    }
    item->size = size;
    return found;
}

}  // namespace

int stat_2_str(const rdir_entry& entry, char* out, size_t out_len) {
    if (out == nullptr || out_len == 0) return -1;
    out[0] = '\0';
    if (entry.name == nullptr || entry.name[0] == '\0') return -1;
    const std::string_view name(entry.name);
    const std::string_view link(entry.link != nullptr ? entry.link : "");
    if (rdir_text_breaks_line(name) || rdir_text_breaks_line(link)) return -1;
    // The longest line these fields can make must fit with its NUL; a line that might not is
    // refused as snprintf would have cut it.
    const size_t longest = name.size() + link.size() + kLineFixedMax;
    if (longest >= out_len) {
        int n = std::snprintf(out, out_len, RDIR_LIST_LINE_FMT, entry.name, link.data(), entry.type,
                              entry.mode, rdir_type_2_attr(entry.type),
                              static_cast<long long>(entry.size),
                              static_cast<unsigned long long>(entry.ctime),
                              static_cast<unsigned long long>(entry.mtime),
                              static_cast<unsigned long long>(entry.atime), entry.uid, entry.gid);
        if (n < 0 || static_cast<size_t>(n) >= out_len) {
            out[0] = '\0';
            return -1;
        }
        return n;
    }
    char* p = out;
    p = put_text(p, name);
    *p++ = RDIR_FIELD_SEP;
    p = put_text(p, link);
    *p++ = RDIR_FIELD_SEP;
    p = put_hex(p, entry.type);
    *p++ = RDIR_FIELD_SEP;
    p = put_hex(p, entry.mode);
    *p++ = RDIR_FIELD_SEP;
    p = put_hex(p, rdir_type_2_attr(entry.type));
    *p++ = RDIR_FIELD_SEP;
    p = put_signed_dec(p, static_cast<int64_t>(entry.size));
    *p++ = RDIR_FIELD_SEP;
    p = put_hex(p, static_cast<uint64_t>(entry.ctime));
    *p++ = RDIR_FIELD_SEP;
    p = put_hex(p, static_cast<uint64_t>(entry.mtime));
    *p++ = RDIR_FIELD_SEP;
    p = put_hex(p, static_cast<uint64_t>(entry.atime));
    *p++ = RDIR_FIELD_SEP;
    p = put_dec(p, entry.uid);
    *p++ = RDIR_FIELD_SEP;
    p = put_dec(p, entry.gid);
    *p++ = RDIR_LINE_SEP;
    *p = '\0';
    return static_cast<int>(p - out);
}

int str_2_stat(std::string_view text, mstat* set) {
    if (!CHECK_SET(set)) return -1;
    while (!text.empty()) {
        size_t nl = text.find(RDIR_LINE_SEP);
        std::string_view one = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (one.empty()) continue;
        if (one.find('\0') != std::string_view::npos) {
            RDIR_LOG(LOG_ERR, "line with a NUL byte error\n");
            return -1;
        }
        mstat_item item{};
        std::string_view name;
        std::string_view link;
        int ret = scan_list_line(one, &item, &name, &link);
        if (ret != RDIR_LIST_LINE_FIELDS) {
            RDIR_LOG(LOG_ERR, "ret=%d error: ret!=11", ret);
            return -1;
        }
        // A peer's listing must not name anything outside the listed directory: such an entry
        // is left out and counted, so that the listing reads as incomplete.
        if (!rdir_name_is_entry(name) || rdir_text_breaks_line(link)) {
            RDIR_LOG(LOG_ERR, "name=[%.*s] invalid entry name error\n",
                     static_cast<int>(name.size()), name.data());
            set->failures++;
            continue;
        }
        // A storage failure is counted by the set; the walk goes on.
        mstat_cp_alloc(set, &item, name, link);
    }
    return 0;
}

// ---- directory-creation and file-write lines ----

int libmfile_dir_printf(const char* name, const mstat_attr* attr, char* out, size_t out_len) {
    if (out == nullptr || out_len == 0) return -1;
    out[0] = '\0';
    if (name == nullptr || name[0] == '\0' || attr == nullptr) return -1;
    if (rdir_text_breaks_line(name)) {
        RDIR_LOG(LOG_ERR, "name=[%s] cannot be carried in a line\n", name);
        return -1;
    }
    int n = std::snprintf(out, out_len, RDIR_DIR_LINE_FMT, name, attr->type, attr->mode, attr->attr,
                          static_cast<unsigned long long>(attr->ctime),
                          static_cast<unsigned long long>(attr->mtime),
                          static_cast<unsigned long long>(attr->atime), attr->uid, attr->gid);
    if (n < 0 || static_cast<size_t>(n) >= out_len) {
        out[0] = '\0';
        return -1;
    }
    return 0;
}

long libmfile_write_head(const char* name, const mstat_attr* attr, char* out, size_t out_len) {
    if (out == nullptr || out_len == 0) return -1;
    out[0] = '\0';
    if (name == nullptr || name[0] == '\0' || attr == nullptr) return -1;
    const char* link = attr->link != nullptr ? attr->link : "";
    if (rdir_text_breaks_line(name) || rdir_text_breaks_line(link)) {
        RDIR_LOG(LOG_ERR, "name=[%s] link=[%s] cannot be carried in a line\n", name, link);
        return -1;
    }
    int n = std::snprintf(out, out_len, RDIR_WRITE_HEAD_FMT, name, link, attr->type, attr->mode,
                          attr->attr, static_cast<unsigned long long>(attr->ctime),
                          static_cast<unsigned long long>(attr->mtime),
                          static_cast<unsigned long long>(attr->atime), attr->uid, attr->gid);
    if (n < 0 || static_cast<size_t>(n) >= out_len) {
        out[0] = '\0';
        return -1;
    }
    return n;
}

int libmfile_write_printf(const char* name, const mstat_attr* attr, const char* data, char* out,
                          size_t out_len) {
    if (out == nullptr || out_len == 0) return -1;
    out[0] = '\0';
    if (name == nullptr || name[0] == '\0' || attr == nullptr) return -1;
    const char* link = attr->link != nullptr ? attr->link : "";
    if (data == nullptr) data = "";
    if (rdir_text_breaks_line(name) || rdir_text_breaks_line(link) || rdir_text_breaks_line(data)) {
        RDIR_LOG(LOG_ERR, "name=[%s] link=[%s] cannot be carried in a line\n", name, link);
        return -1;
    }
    const long head = libmfile_write_head(name, attr, out, out_len);
    if (head < 0) return -1;
    const size_t len = strlen(data);
    if (static_cast<size_t>(head) + len >= out_len) {
        out[0] = '\0';
        return -1;
    }
    memcpy(out + head, data, len + 1);
    return 0;
}

int libmfile_dir_scanf(char* line, mfile_entry* entry) {
    if (line == nullptr || entry == nullptr) return -1;
    *entry = mfile_entry{};
    uint64_t ctime = 0, mtime = 0, atime = 0;
    const char* unused = nullptr;
    mstat_attr& a = entry->attr;
    const scan_dest dest[] = {&entry->name, &a.type, &a.mode, &a.attr, &ctime,
                              &mtime,       &atime,  &a.uid,  &a.gid,  &unused};
    int ret = str_scan_fields(line, RDIR_FIELD_SEP, RDIR_DIR_LINE_TYPES, dest);
    if (ret != RDIR_DIR_LINE_FIELDS) {
        RDIR_LOG(LOG_ERR, "ret=%d error: ret!=9", ret);
        return -1;
    }
    a.ctime = static_cast<int64_t>(ctime);
    a.mtime = static_cast<int64_t>(mtime);
    a.atime = static_cast<int64_t>(atime);
    return 0;
}

int libmfile_write_scanf(char* line, mfile_entry* entry) {
    if (line == nullptr || entry == nullptr) return -1;
    *entry = mfile_entry{};
    uint64_t ctime = 0, mtime = 0, atime = 0;
    const char* link = nullptr;
    mstat_attr& a = entry->attr;
    const scan_dest dest[] = {&entry->name, &link,  &a.type, &a.mode, &a.attr,     &ctime,
                              &mtime,       &atime, &a.uid,  &a.gid,  &entry->data};
    int ret = str_scan_fields(line, RDIR_FIELD_SEP, RDIR_WRITE_LINE_TYPES, dest);
    if (ret != RDIR_WRITE_LINE_FIELDS) {
        RDIR_LOG(LOG_ERR, "ret=%d error: ret!=11", ret);
        return -1;
    }
    a.link = link[0] != '\0' ? link : nullptr;
    a.ctime = static_cast<int64_t>(ctime);
    a.mtime = static_cast<int64_t>(mtime);
    a.atime = static_cast<int64_t>(atime);
    return 0;
}
