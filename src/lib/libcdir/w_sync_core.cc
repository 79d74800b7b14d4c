#include "libcdir/w_sync_core.h"

#include <cerrno>

#include "libcdir/w_cp_core.h"
#include "libpal/os_fs.h"
#include "libpal/url.h"

namespace {

bool dst_is_local(uint32_t route) {
    return route == CDIR_ROUTE_LL || route == CDIR_ROUTE_RL;
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
    char path[PL_MAX_PATH];
    for (const mstat_item& d : dst) {
        if (have_src && cdir_find_name(src, d.name) != nullptr) continue;
        if (!cdir_join(path, record.dst_path.c_str(), d.name)) {
            job->st.sync_del_file_fail_count++;
        } else if (os_remove_raw(path) != 0) {
            int eno = errno;
            CDIR_LOG(LOG_ERR | LOG_ERRNO, "remove [%s] error: ", path);
            cdir_verr_check(job, os_verr_get(eno));
            job->st.sync_del_file_fail_count++;
        } else {
            job->st.sync_del_file_count++;
        }
        if (cdir_need_exit(job)) return -1;
    }
    return 0;
}

int r_sync_file_list(libcdir_ctx* job, const cdir_item& record, uint32_t route, bool is_sync) {
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
            if (!dst_is_local(route)) {
                CDIR_LOG(LOG_ERR, "route=%u not supported", route);
                return -1;
            }
            int ret = l_sync_del_orphaned_file(job, record, true, src, dst_files);
            if (ret < 0) return ret;
        }
    }
    return cdir_route_transfer(job, record, selected);
}

int cdir_sync_no_files(libcdir_ctx* job, const cdir_item& record) {
    if (!may_delete(record)) return 0;
    if (!dst_is_local(job->route)) {
        CDIR_LOG(LOG_ERR, "route=%u not supported", job->route);
        return -1;
    }
    return l_sync_del_orphaned_file(job, record, false, {}, record.dst_files.items());
}
