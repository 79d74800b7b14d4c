#include "libcdir/w_sync_core.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>
#include <vector>

#include "libcdir/v_fs.h"
#include "libcdir/v_rdir.h"
#include "libcdir/v_remote.h"
#include "libcdir/w_cp_core.h"
#include "libpal/os_fs.h"
#include "libpal/os_root.h"
#include "libpal/url.h"
#include "librdir/dst_writer.h"
#include "librdir/temp_name.h"

// A file whose data is the same at both ends but whose mode, or (when the destination can give
// files away) owner, is not: the sync passes the change on without moving data. An owner the
// destination would drop is no difference: passing it on would be reported as done every run.
bool cdir_attrs_differ(const mstat_item& src, const mstat_item* dst, bool owners) {
    if (dst == nullptr) return false;
    if (((src.type | dst->type) & (RDIR_TYPE_LINK | RDIR_TYPE_NO_POSIX)) != 0) return false;
    const bool other_owner = src.uid != dst->uid || src.gid != dst->gid;
    if (owners && other_owner) return true;
    // Without the owner, set-id bits are dropped on purpose: not a difference to repair.
    const uint32_t mask = !owners && other_owner ? 01777 : 07777;
    return (src.mode & mask) != (dst->mode & mask);
}

void cdir_hold_delete(libcdir_ctx* job, const cdir_item& record, const char* name) {
    job->held_deletes++;
    if (job->deletes_refused) return;
    if (job->max_delete >= 0 && job->held_deletes > static_cast<uint64_t>(job->max_delete)) {
        job->deletes_refused = true;
        job->pending_deletes.clear();
        job->pending_deletes.shrink_to_fit();
        return;
    }
    try {
        job->pending_deletes.push_back(path_join_raw(record.dst_path, name));
    } catch (const std::bad_alloc&) {
        cdir_verr_check(job, VERR_NO_MEMORY);
    }
}

namespace {

// The source entry `name` of `record` and its destination, opened as paths (links themselves).
// false when either cannot be opened.
bool open_pair(libcdir_ctx* job, const cdir_item& record, const char* name, int* src, int* dst) {
    auto rel = [name](const cdir_side& side, const std::string& dir) {
        std::string path(cdir_rel_path(side, dir));
        if (!path.empty()) path += '/';
        return path + name;
    };
    const std::string s = rel(job->src, record.src_path);
    const std::string d = rel(job->dst, record.dst_path);
    *src = os_root_open_fd(job->src.fs.get(), s.c_str(), O_PATH, 0);
    if (*src < 0) return false;
    *dst = os_root_open_fd(job->dst.fs.get(), d.c_str(), O_PATH, 0);
    if (*dst < 0) {
        close(*src);
        return false;
    }
    return true;
}

// With xattrs set between local directories: whether the extended attributes or ACLs of a file
// whose data is unchanged differ, so that the sync passes them on as it does a mode.
bool xattrs_differ(libcdir_ctx* job, const cdir_item& record, const mstat_item& e) {
    if (!job->xattrs || job->route != CDIR_ROUTE_LL || !job->src.fs || !job->dst.fs) return false;
    int src = -1, dst = -1;
    if (!open_pair(job, record, e.name, &src, &dst)) return false;
    bool differ = false;
    try {
        differ = rdir_xattrs_differ(src, dst);
    } catch (const std::bad_alloc&) {
        differ = false;
    }
    close(src);
    close(dst);
    return differ;
}

// Deleting on the strength of a listing that misses entries would remove files that still exist
// in the source.
bool may_delete(const cdir_item& record) {
    if (!record.src_incomplete) return true;
    CDIR_LOG(LOG_WARN, "[%s] source listing incomplete: no file is deleted in [%s]",
             record.src_path.c_str(), record.dst_path.c_str());
    return false;
}

}  // namespace

int l_sync_del_orphaned_file(libcdir_ctx* job, const cdir_item& record, bool have_src,
                             std::span<const mstat_item> src, std::span<const mstat_item> dst) {
    rdir_dst_dir dir;
    bool opened = false;
    for (const mstat_item& d : dst) {
        if (have_src && cdir_find_name(src, d.name) != nullptr) continue;
        if (job->max_delete >= 0 || job->dry_run) {
            // Counted first, decided at the end: a sync must not delete a few hundred files
            // before it learns that it would delete too many.
            cdir_hold_delete(job, record, d.name);
            continue;
        }
        if (!opened) {
            // Resolved without following links: an orphan is removed where it was listed, and
            // a link is removed itself, never what it points to.
            const verr ret =
                dir.open(job->dst.fs.get(), cdir_rel_path(job->dst, record.dst_path), false);
            if (ret < 0) {
                CDIR_LOG(LOG_ERR | LOG_ERRNO, "remove [%s] error: ", record.dst_path.c_str());
                cdir_verr_check(job, ret);
                job->st.sync_del_file_fail_count++;
                cdir_note_change(job, CDIR_CHANGE_FAILED, record.dst_path, d.name);
                return 0;
            }
            opened = true;
        }
        const verr ret = dir.remove(d.name);
        if (ret < 0 && ret != VERR_FILE_NOT_FOUND) {
            CDIR_LOG(LOG_ERR | LOG_ERRNO,
                     "remove [%s] error: ", path_join_raw(record.dst_path, d.name).c_str());
            cdir_verr_check(job, ret);
            job->st.sync_del_file_fail_count++;
            cdir_note_change(job, CDIR_CHANGE_FAILED, record.dst_path, d.name);
        } else {
            job->st.sync_del_file_count++;
            cdir_note_change(job, CDIR_CHANGE_DELETED, record.dst_path, d.name);
        }
        if (cdir_need_exit(job)) return -1;
    }
    return 0;
}

void cdir_finish_deletes(libcdir_ctx* job) {
    if (job->held_deletes == 0) return;
    if (job->deletes_refused) {
        CDIR_LOG(LOG_ERR, "max_delete=%lld: %llu files would be deleted, none was",
                 static_cast<long long>(job->max_delete),
                 static_cast<unsigned long long>(job->held_deletes));
        // Not deleted as the sync asked: counted as failed deletions, so the run says so.
        job->st.sync_del_file_fail_count += job->held_deletes;
        job->pending_deletes.clear();
        return;
    }
    if (!job->dst.is_local && !job->dry_run) {
        r_finish_deletes(job);
        job->pending_deletes.clear();
        return;
    }
    for (const std::string& path : job->pending_deletes) {
        if (cdir_need_exit(job)) break;
        size_t slash = path.rfind('/');
        const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash);
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        if (job->dry_run) {
            job->st.sync_del_file_count++;
            cdir_note_change(job, CDIR_CHANGE_DELETED, dir, name.c_str());
            continue;
        }
        std::string rel(cdir_rel_path(job->dst, path));
        const verr removed = os_root_remove(job->dst.fs.get(), rel.c_str());
        if (removed != 0 && removed != VERR_FILE_NOT_FOUND) {
            CDIR_LOG(LOG_ERR | LOG_ERRNO, "remove [%s] error: ", path.c_str());
            cdir_verr_check(job, removed);
            job->st.sync_del_file_fail_count++;
            cdir_note_change(job, CDIR_CHANGE_FAILED, dir, name.c_str());
        } else {
            job->st.sync_del_file_count++;
            cdir_note_change(job, CDIR_CHANGE_DELETED, dir, name.c_str());
        }
    }
    job->pending_deletes.clear();
}

int r_sync_file_list(libcdir_ctx* job, const cdir_item& record, [[maybe_unused]] uint32_t route,
                     bool is_sync) {
    std::vector<const mstat_item*>& selected = job->selected;
    selected.clear();
    std::span<mstat_item> src = record.src_files.items();
    // A destination clears names of this form as leftovers of a killed writer: a copy there would
    // not stay. Such a source file is named and counted instead of vanishing without a word.
    auto temp_named = [&](const mstat_item& e) {
        if (!rdir_temp_name_is(e.name)) return false;
        CDIR_LOG(LOG_ERR, "[%s] is named like a temporary of this tool: not copied",
                 path_join_raw(record.src_path, e.name).c_str());
        job->st.i_file_fail_count++;
        cdir_note_change(job, CDIR_CHANGE_FAILED, record.dst_path, e.name);
        return true;
    };
    if (!record.dst_files) {
        if ((job->dbg & LIBCDIR_DBG_SYNC_REASON) != 0) {
            CDIR_LOG(LOG_DBG, "sync_dir [%s]", record.dst_path.c_str());
        }
        for (const mstat_item& e : src) {
            if (!temp_named(e)) selected.push_back(&e);
        }
    } else {
        cdir_sort_by_name(src);
        std::span<const mstat_item> dst_files = record.dst_files.items();
        std::span<const mstat_item> dst_dirs = record.dst_dirs.items();
        std::vector<const mstat_item*>& attrs_only = job->attrs_only;
        attrs_only.clear();
        for (const mstat_item& e : src) {
            if (temp_named(e)) continue;
            if (cdir_check_file_rlist(job, e, dst_files, dst_dirs) == 1) {
                selected.push_back(&e);
            } else if (is_sync && (cdir_attrs_differ(e, cdir_find_name(dst_files, e.name),
                                                     job->dst_owners.load()) ||
                                   xattrs_differ(job, record, e))) {
                attrs_only.push_back(&e);
            }
            if (cdir_need_exit(job)) return -1;
        }
        if (is_sync && may_delete(record)) {
            int ret = job->dst.endpoints->remove_orphans(job, record, true, src, dst_files);
            if (ret < 0) return ret;
        }
        if (!attrs_only.empty()) {
            int ret = job->dst.endpoints->update_attrs(job, record, attrs_only);
            if (ret < 0) return ret;
        }
    }
    return cdir_route_transfer(job, record, selected);
}

namespace {

// Extended attributes and ACLs of a source entry onto its destination (after its owner and
// mode). 0 or the status of the first failure (each is logged), errno naming it.
verr copy_entry_xattrs(libcdir_ctx* job, const cdir_item& record, const char* name) {
    int src = -1, dst = -1;
    if (!open_pair(job, record, name, &src, &dst)) {
        if (errno == 0) errno = EIO;
        return os_errno_verr();
    }
    std::vector<rdir_xattr_failure> failures;
    verr ret = 0;
    int eno = 0;
    try {
        ret = rdir_copy_xattrs(src, dst, &failures);
        eno = errno;
    } catch (const std::bad_alloc&) {
        ret = VERR_NO_MEMORY;
        eno = ENOMEM;
    }
    close(src);
    close(dst);
    const std::string shown = path_join_raw(record.dst_path, name);
    for (const rdir_xattr_failure& f : failures) {
        errno = f.eno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "xattr [%s] %s eno=%d error: ", shown.c_str(), f.name.c_str(),
                 f.eno);
    }
    if (ret < 0) {
        errno = eno;
        return ret;
    }
    if (failures.empty()) return 0;
    errno = failures.front().eno;
    return os_errno_verr();
}

}  // namespace

int l_sync_update_attrs(libcdir_ctx* job, const cdir_item& record,
                        std::span<const mstat_item* const> files) {
    if (job->dry_run) {
        for (const mstat_item* e : files) {
            cdir_note_change(job, CDIR_CHANGE_UPDATED, record.dst_path, e->name);
        }
        return 0;
    }
    rdir_dst_dir dir;
    verr ret = dir.open(job->dst.fs.get(), cdir_rel_path(job->dst, record.dst_path), false);
    for (const mstat_item* e : files) {
        if (ret == 0) {
            // Owner and mode only: the data and its times are already the source's.
            ret = dir.set_attr(e->name, mstat_item_attr(*e), false);
            if (ret == 0 && job->xattrs) ret = copy_entry_xattrs(job, record, e->name);
            if (ret == 0) {
                cdir_note_change(job, CDIR_CHANGE_UPDATED, record.dst_path, e->name);
                continue;
            }
        }
        const int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO,
                 "chmod [%s] eno=%d error: ", path_join_raw(record.dst_path, e->name).c_str(), eno);
        job->st.o_file_fail_count++;
        cdir_verr_check(job, ret);
        cdir_note_change(job, CDIR_CHANGE_FAILED, record.dst_path, e->name);
        ret = 0;
        if (cdir_need_exit(job)) return -1;
    }
    return 0;
}

int cdir_sync_no_files(libcdir_ctx* job, const cdir_item& record) {
    if (!may_delete(record)) return 0;
    return job->dst.endpoints->remove_orphans(job, record, false, {}, record.dst_files.items());
}
