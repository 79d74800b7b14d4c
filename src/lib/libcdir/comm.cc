#include "libcdir/comm.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "libcdir/work.h"
#include "libpal/os_fs.h"
#include "libpal/os_root.h"
#include "libpal/url.h"

void os_root_closer::operator()(os_root* root) const {
    os_root_close(root);
}

std::string_view cdir_rel_path(const cdir_side& side, std::string_view path) {
    std::string_view root = side.root;
    if (path.size() < root.size() || path.compare(0, root.size(), root) != 0) return path;
    if (path.size() > root.size() && !root.empty() && root.back() != '/' &&
        path[root.size()] != '/') {
        return path;
    }
    path.remove_prefix(root.size());
    // The root "/" ends in its separator; any other root is followed by one.
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    return path;
}

cdir_set_ref cdir_set_ref::create() {
    mstat_pool_param param;
    param.tag = "cdir";
    return cdir_set_ref(mstat_init(&param));
}

cdir_set_ref cdir_set_ref::share() const {
    if (set_ == nullptr) return cdir_set_ref();
    mstat_ref_add(set_);
    return cdir_set_ref(set_);
}

std::span<mstat_item> cdir_set_ref::items() const {
    if (set_ == nullptr) return {};
    return mstat_items(set_);
}

void cdir_set_ref::reset(mstat* set) {
    if (set_ != nullptr) mstat_exit(set_);
    set_ = set;
}

void cdir_item_free(cdir_item* item) {
    delete item;
}

bool cdir_name_less(const mstat_item& a, const mstat_item& b) {
    return strcmp(a.name, b.name) < 0;
}

void cdir_sort_by_name(std::span<mstat_item> items) {
    std::sort(items.begin(), items.end(), cdir_name_less);
}

const mstat_item* cdir_find_name(std::span<const mstat_item> sorted, const char* name) {
    size_t lo = 0;
    size_t hi = sorted.size();
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        int c = strcmp(sorted[mid].name, name);
        if (c == 0) return &sorted[mid];
        if (c < 0) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return nullptr;
}

bool cdir_join(char* out, const char* dir, const char* name) {
    if (path_join_raw(out, PL_MAX_PATH, dir, name) == 0) return true;
    CDIR_LOG(LOG_ERR, "path too long: [%s] + [%s]", dir, name);
    return false;
}

void cdir_os_attr(const mstat_attr& a, os_attr* out) {
    out->flags = a.type & RDIR_TYPE_NO_POSIX;
    out->mode = a.mode;
    out->attr = a.attr;
    out->uid = a.uid;
    out->gid = a.gid;
    out->atime = a.atime;
    out->mtime = a.mtime;
    out->ctime = a.ctime;
}

void cdir_note_change(libcdir_ctx* job, char kind, std::string_view dir, const char* name) {
    if (!job->changes_file || job->changes_failed) return;
    // The files of a directory whose answers are still due come first.
    if (job->write_tail) r_take_write_tail(job);
    std::string path = path_join_raw(std::string(dir), name);
    if (fprintf(job->changes_file.get(), "%c %s\n", kind, path.c_str()) < 0) {
        int eno = errno;
        job->changes_failed = true;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "write [%s] error: ", job->changes_path.c_str());
        // A record of changes that is cut short must not end as a successful run.
        cdir_verr_check(job, eno != 0 ? os_verr_get(eno) : VERR_GENERAL_FAILURE);
    }
}
