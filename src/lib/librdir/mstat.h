// Stat items and stat sets: the in-memory form of listing lines.
//
// A stat set (`mstat`) holds the entries of one listed directory (the copy engine keeps one set
// for files and one for subdirectories). Items live in one contiguous array; names and link texts
// live in the set's own string pool, so an item is a fixed 64-byte record and a listing of many
// entries costs one array plus a few pool blocks. A set is filled by one thread; once filled it may
// be read from several threads. Sets are reference counted: the creator and every mstat_ref_add
// holder call mstat_exit once; the last call frees it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "librdir/stat_line.h"

// One listed entry. `name` (and the link text, when there is one) belong to the set's string pool
// and stay valid until the set is cleared or freed; moving items within the array (sorting) is
// fine. The link text is stored right behind the name, `link_off` bytes after `name`.
struct mstat_item {
    const char* name;   // entry name, no directory part
    uint32_t link_off;  // 0: not a link, or a link whose listed text was empty
    uint32_t type;      // entry type word (stat_line.h)
    uint32_t mode;      // POSIX mode from lstat, file-type bits included
    uint32_t attr;      // attribute column
    uint32_t uid;
    uint32_t gid;
    uint64_t size;  // 0 for a symbolic link
    int64_t atime;  // whole seconds since 1970-01-01 UTC
    int64_t mtime;
    int64_t ctime;

    // Raw link text of a symbolic link, or nullptr when absent.
    const char* link() const { return link_off != 0 ? name + link_off : nullptr; }
};

// What the directory-creation and file-write lines carry and what a receiver applies to a created
// object: the stat item without name and size. `link` is borrowed, never owned.
struct mstat_attr {
    const char* link;  // nullptr or text
    uint32_t type;
    uint32_t mode;
    uint32_t attr;
    uint32_t uid;
    uint32_t gid;
    int64_t atime;
    int64_t mtime;
    int64_t ctime;
};

// The attribute record of an item (link borrowed from the item's set).
mstat_attr mstat_item_attr(const mstat_item& item);

// String pool parameters. Only pool type 0 (a growing arena owned by the set) exists.
struct mstat_pool_param {
    int type = 0;
    uint32_t block_size = 0;    // first pool block in bytes; 0 picks a small default
    const char* tag = nullptr;  // owner's name for log lines ("cdir"); may be null
};

struct mstat;

// Creates an empty set: references 0, count 0, failures 0. `param` may be null (defaults).
// Returns nullptr for a pool type other than 0 or when memory runs out.
mstat* mstat_init(const mstat_pool_param* param);

// Stores a copy of `item`: its name and (when non-empty) its link text are copied into the pool,
// an empty link is stored as absent. `item` may belong to another set. Returns the stored item, or
// nullptr with the set's failure count raised by one when memory runs out (nothing is stored).
mstat_item* mstat_cp_alloc(mstat* h, const mstat_item* item);
// The same with the name and link given apart (item->name and item->link_off are ignored).
mstat_item* mstat_cp_alloc(mstat* h, const mstat_item* item, std::string_view name,
                           std::string_view link);

// First item of the contiguous array (nullptr when empty) and, in *count, the number of items.
mstat_item* mstat_get_item(mstat* h, size_t* count);
// The same as a span (empty for a null set).
std::span<mstat_item> mstat_items(mstat* h);
// Number of items that could not be stored for lack of memory.
size_t mstat_get_err_count(const mstat* h);

// Forgets every item and the failure count; keeps the array's capacity and the pool's memory for
// reuse. Returns 0.
int mstat_clear(mstat* h);
// One more holder. Returns 0.
int mstat_ref_add(mstat* h);
// Drops one holder; the call that finds no extra holder frees the set. Returns 0.
int mstat_exit(mstat* h);

// Every mstat_* call given a null set logs the assertion "h!=NULL" and returns 0, nullptr or -1.

// Attribute column of a listed entry on this platform: 0x80 unless the type word has 0x800, else
// 0755 for a plain directory and 0644 for anything else.
uint32_t rdir_type_2_attr(uint32_t type);

// ---- listing lines ----

// One directory entry as the lister formats it.
struct rdir_entry {
    const char* name;
    const char* link;  // raw link text; nullptr or "" when not a link
    uint32_t type;
    uint32_t mode;
    uint32_t uid;
    uint32_t gid;
    uint64_t size;
    int64_t atime;
    int64_t mtime;
    int64_t ctime;
};

// Formats one listing line, newline included, into `out` (NUL-terminated): name, link, type, mode,
// rdir_type_2_attr(type), size, ctime, mtime, atime, uid, gid. Returns the characters written
// (without the NUL), or -1 when the name is missing or empty, when the name or link text holds a
// tab, line feed or carriage return (the line would be corrupt), or when the line does not fit in
// `out_len` bytes.
int stat_2_str(const rdir_entry& entry, char* out, size_t out_len);

// Parses the listing lines of one block (prefix byte and end marker already removed) into `set`.
// Lines are split at "\n"; empty lines are skipped. Each line must have at least 11 fields (more
// are ignored) and clean numbers: the first line that has not stops the walk (earlier lines stay
// stored and the call returns -1). An entry whose name is not one plain entry name (empty, ".",
// "..", holding "/") could address something outside the listed directory: it is left out and
// counted in the set's failures, as a storage failure is. Returns 0 otherwise.
int str_2_stat(std::string_view text, mstat* set);
inline int str_2_stat(const char* text, mstat* set) {
    return str_2_stat(text != nullptr ? std::string_view(text) : std::string_view(), set);
}
