// Stat record lines and batch results on arbitrary bytes: the listing parser, the directory and
// write line readers, the command 1 data-block parser and the command 3 result reader. Whatever a
// line parses to must format and parse back to the same fields.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "liblog/log2.h"
#include "librdir/mfile.h"
#include "librdir/misc.h"
#include "librdir/mstat.h"

namespace {

void quiet_log() {
    static bool done = [] {
        int level = LOG_CRIT;
        log2_ioctl(nullptr, 1, &level, sizeof(level));
        return true;
    }();
    (void)done;
}

void check_same(const mstat_attr& a, const mstat_attr& b) {
    if (a.type != b.type || a.mode != b.mode || a.attr != b.attr || a.uid != b.uid ||
        a.gid != b.gid || a.atime != b.atime || a.mtime != b.mtime || a.ctime != b.ctime) {
        std::abort();
    }
}

// The listing parser reads lines by hand; the typed field scanner is the reference for what it
// must accept, refuse and store.
struct reference_item {
    std::string name;
    std::string link;
    uint32_t type, mode, attr, uid, gid;
    uint64_t size, ctime, mtime, atime;
};

int reference_listing(std::string_view text, std::vector<reference_item>* out) {
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string line(text.substr(0, nl));
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (line.empty()) continue;
        if (line.find('\0') != std::string::npos) return -1;
        const char* name = nullptr;
        const char* link = nullptr;
        reference_item it{};
        const scan_dest dest[] = {&name,     &link,     &it.type,  &it.mode, &it.attr, &it.size,
                                  &it.ctime, &it.mtime, &it.atime, &it.uid,  &it.gid};
        if (str_scan_fields(line.data(), '\t', RDIR_LIST_LINE_TYPES, dest) != 11) return -1;
        // An entry that could name something outside the directory is left out.
        if (!rdir_name_is_entry(name) || rdir_text_breaks_line(link)) continue;
        it.name = name;
        it.link = link;
        out->push_back(it);
    }
    return 0;
}

void same_as_reference(std::string_view text, int ret, mstat* set) {
    std::vector<reference_item> want;
    if (reference_listing(text, &want) != ret) std::abort();
    auto items = mstat_items(set);
    if (items.size() != want.size()) std::abort();
    for (size_t i = 0; i < want.size(); ++i) {
        const mstat_item& it = items[i];
        const reference_item& w = want[i];
        const char* link = it.link() != nullptr ? it.link() : "";
        if (w.name != it.name || w.link != link || w.type != it.type || w.mode != it.mode ||
            w.attr != it.attr || w.uid != it.uid || w.gid != it.gid || w.size != it.size ||
            w.ctime != static_cast<uint64_t>(it.ctime) ||
            w.mtime != static_cast<uint64_t>(it.mtime) ||
            w.atime != static_cast<uint64_t>(it.atime)) {
            std::abort();
        }
    }
}

void listing(std::string_view text) {
    mstat* set = mstat_init(nullptr);
    if (set == nullptr) return;
    same_as_reference(text, str_2_stat(text, set), set);
    // Every stored item must format into a line that parses back to it.
    for (const mstat_item& it : mstat_items(set)) {
        rdir_entry e{it.name, it.link(), it.type,  it.mode,  it.uid,
                     it.gid,  it.size,   it.atime, it.mtime, it.ctime};
        char line[RDIR_LINE_MAX];
        int n = stat_2_str(e, line, sizeof(line));
        if (n < 0) continue;  // an attr column the lister would not write is fine to drop
        mstat* again = mstat_init(nullptr);
        if (str_2_stat(std::string_view(line, static_cast<size_t>(n)), again) != 0) std::abort();
        auto items = mstat_items(again);
        if (items.size() != 1 || std::strcmp(items[0].name, it.name) != 0 ||
            items[0].size != it.size || items[0].mtime != it.mtime) {
            std::abort();
        }
        mstat_exit(again);
    }
    mstat_exit(set);
}

void dir_line(const std::string& text) {
    std::string line = text;
    mfile_entry e;
    if (libmfile_dir_scanf(line.data(), &e) != 0) return;
    std::vector<char> out(text.size() + 64);
    if (libmfile_dir_printf(e.name, &e.attr, out.data(), out.size()) != 0) return;
    mfile_entry back;
    if (libmfile_dir_scanf(out.data(), &back) != 0 || std::strcmp(back.name, e.name) != 0) {
        std::abort();
    }
    check_same(e.attr, back.attr);
}

void write_line(const std::string& text) {
    std::string line = text;
    mfile_entry e;
    if (libmfile_write_scanf(line.data(), &e) != 0) return;
    std::vector<char> out(text.size() + 64);
    if (libmfile_write_printf(e.name, &e.attr, e.data, out.data(), out.size()) != 0) return;
    mfile_entry back;
    if (libmfile_write_scanf(out.data(), &back) != 0 || std::strcmp(back.name, e.name) != 0 ||
        std::strcmp(back.data, e.data) != 0 ||
        (back.attr.link == nullptr) != (e.attr.link == nullptr)) {
        std::abort();
    }
    check_same(e.attr, back.attr);
}

void results(const uint8_t* data, size_t size) {
    std::vector<uint8_t> copy(data, data + size);
    size_t pos = 0;
    while (pos < copy.size()) {
        size_t consumed = 0;
        mfile_data_result r;
        if (libmfile_read_get_data_len_err(copy.data() + pos, copy.size() - pos, &consumed, &r) !=
            0) {
            break;
        }
        std::free(r.data);
        if (consumed == 0 || consumed > copy.size() - pos) std::abort();
        pos += consumed;
    }
    const char* text = reinterpret_cast<const char*>(data);
    size_t at = 0;
    while (at < size) {
        size_t consumed = 0;
        int stage = 0, number = 0;
        if (libmfile_write_get_info(text + at, size - at, &consumed, &stage, &number) != 0) break;
        if (consumed == 0 || consumed > size - at) std::abort();
        at += consumed;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quiet_log();
    std::string text(reinterpret_cast<const char*>(data), size);
    listing(text);
    // The line readers take NUL-terminated lines: cut at the first newline or NUL.
    std::string first = text.substr(0, text.find_first_of(std::string_view("\n\0", 2)));
    dir_line(first);
    write_line(first);
    results(data, size);
    return 0;
}
