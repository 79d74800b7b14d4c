#include "libcdir/w_sync_core.h"

#include <cerrno>

#include "libcdir/v_fs.h"
#include "libcdir/v_rdir.h"
#include "libcdir/w_cp_core.h"
#include "libpal/os_fs.h"
#include "libpal/url.h"

namespace {

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
        if (!opened) {
            // Resolved without following links: an orphan is removed where it was listed, and
            // a link is removed itself, never what it points to.
            int eno = dir.open(job->dst.fs.get(), cdir_rel_path(job->dst, record.dst_path), false);
            if (eno != 0) {
                errno = eno;
                CDIR_LOG(LOG_ERR | LOG_ERRNO, "remove [%s] error: ", record.dst_path.c_str());
                cdir_verr_check(job, os_verr_get(eno));
                job->st.sync_del_file_fail_count++;
                return 0;
            }
            opened = true;
        }
        int eno = dir.remove(d.name);
        if (eno != 0 && eno != ENOENT) {
            errno = eno;
            CDIR_LOG(LOG_ERR | LOG_ERRNO,
                     "remove [%s] error: ", path_join_raw(record.dst_path, d.name).c_str());
            cdir_verr_check(job, os_verr_get(eno));
            job->st.sync_del_file_fail_count++;
        } else {
            job->st.sync_del_file_count++;
        }
        if (cdir_need_exit(job)) return -1;
    }
    return 0;
}

int r_sync_file_list(libcdir_ctx* job, const cdir_item& record, [[maybe_unused]] uint32_t route,
                     bool is_sync) {
    std::vector<const mstat_item*>& selected = job->selected;
    selected.clear();
    std::span<mstat_item> src = record.src_files.items();
    if (!record.dst_files) {
        if ((job->dbg & LIBCDIR_DBG_SYNC_REASON) != 0) {
            CDIR_LOG(LOG_DBG, "sync_dir [%s]", record.dst_path.c_str());
        }
        for (const mstat_item& e : src) selected.push_back(&e);
    } else {
        cdir_sort_by_name(src);
        std::span<const mstat_item> dst_files = record.dst_files.items();
        std::span<const mstat_item> dst_dirs = record.dst_dirs.items();
        for (const mstat_item& e : src) {
            if (cdir_check_file_rlist(job, e, dst_files, dst_dirs) == 1) selected.push_back(&e);
            if (cdir_need_exit(job)) return -1;
        }
        if (is_sync && may_delete(record)) {
            int ret = job->dst.endpoints->remove_orphans(job, record, true, src, dst_files);
            if (ret < 0) return ret;
        }
    }
    return cdir_route_transfer(job, record, selected);
}

int cdir_sync_no_files(libcdir_ctx* job, const cdir_item& record) {
    if (!may_delete(record)) return 0;
    return job->dst.endpoints->remove_orphans(job, record, false, {}, record.dst_files.items());
}
