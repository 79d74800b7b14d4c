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

int stat_2_str(const rdir_entry& entry, char* out, size_t out_len) {
    if (out == nullptr || out_len == 0) return -1;
    out[0] = '\0';
    const char* link = entry.link != nullptr ? entry.link : "";
    if (entry.name == nullptr || entry.name[0] == '\0') return -1;
    if (rdir_text_breaks_line(entry.name) || rdir_text_breaks_line(link)) return -1;
    int n = std::snprintf(
        out, out_len, RDIR_LIST_LINE_FMT, entry.name, link, entry.type, entry.mode,
        rdir_type_2_attr(entry.type), static_cast<long long>(entry.size),
        static_cast<unsigned long long>(entry.ctime), static_cast<unsigned long long>(entry.mtime),
        static_cast<unsigned long long>(entry.atime), entry.uid, entry.gid);
    if (n < 0 || static_cast<size_t>(n) >= out_len) {
        out[0] = '\0';
        return -1;
    }
    return n;
}

int str_2_stat(std::string_view text, mstat* set) {
    if (!CHECK_SET(set)) return -1;
    std::string line;
    while (!text.empty()) {
        size_t nl = text.find(RDIR_LINE_SEP);
        std::string_view one = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (one.empty()) continue;
        if (one.find('\0') != std::string_view::npos) {
            RDIR_LOG(LOG_ERR, "line with a NUL byte error\n");
            return -1;
        }
        line.assign(one);

        const char* name = nullptr;
        const char* link = nullptr;
        mstat_item item{};
        uint64_t ctime = 0, mtime = 0, atime = 0;
        const scan_dest dest[] = {&name,  &link,  &item.type, &item.mode, &item.attr, &item.size,
                                  &ctime, &mtime, &atime,     &item.uid,  &item.gid};
        int ret = str_scan_fields(line.data(), RDIR_FIELD_SEP, RDIR_LIST_LINE_TYPES, dest);
        if (ret != RDIR_LIST_LINE_FIELDS) {
            RDIR_LOG(LOG_ERR, "ret=%d error: ret!=11", ret);
            return -1;
        }
        // A peer's listing must not name anything outside the listed directory.
        if (!rdir_name_is_entry(name) || rdir_text_breaks_line(link)) {
            RDIR_LOG(LOG_ERR, "name=[%s] invalid entry name error\n", name);
            return -1;
        }
        item.ctime = static_cast<int64_t>(ctime);
        item.mtime = static_cast<int64_t>(mtime);
        item.atime = static_cast<int64_t>(atime);
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
    int n = std::snprintf(out, out_len, RDIR_WRITE_LINE_FMT, name, link, attr->type, attr->mode,
                          attr->attr, static_cast<unsigned long long>(attr->ctime),
                          static_cast<unsigned long long>(attr->mtime),
                          static_cast<unsigned long long>(attr->atime), attr->uid, attr->gid, data);
    if (n < 0 || static_cast<size_t>(n) >= out_len) {
        out[0] = '\0';
        return -1;
    }
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
