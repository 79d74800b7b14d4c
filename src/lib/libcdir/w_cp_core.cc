#include "libcdir/w_cp_core.h"

#include <algorithm>

#include "libcdir/v_fs.h"
#include "libpal/url.h"

namespace {

// Modification times this close count as equal (file systems with 2-second resolution).
constexpr int64_t kTimeTolerance = 2;

int64_t time_diff(int64_t a, int64_t b) {
    return a > b ? a - b : b - a;
}

int ll_transfer(libcdir_ctx* job, const cdir_item& item, std::span<const mstat_item*> selected) {
    char src[PL_MAX_PATH];
    char dst[PL_MAX_PATH];
    for (const mstat_item* e : selected) {
        if (!cdir_join(src, item.src_path.c_str(), e->name)) {
            job->st.i_file_fail_count++;
        } else if (!cdir_join(dst, item.dst_path.c_str(), e->name)) {
            job->st.o_file_fail_count++;
        } else {
            cdir_l_copy(job, *e, src, dst);
        }
        if (cdir_need_exit(job)) return 0;
    }
    return 0;
}

}  // namespace

int cdir_cmp_file_stat(libcdir_ctx* job, const char* name, const mstat_item& src,
                       const mstat_item& dst) {
    const bool reason = (job->dbg & LIBCDIR_DBG_SYNC_REASON) != 0;
    switch (job->cmp_mode) {
        case LIBCDIR_CMP_NO_OVERWRITE:
            return 0;
        case LIBCDIR_CMP_NEWER:
            // An older source must not replace a newer destination file.
            if (dst.mtime - src.mtime > kTimeTolerance) return 0;
            if (reason) {
                CDIR_LOG(LOG_DBG, "[%s] time_write=%lld != %lld", name,
                         static_cast<long long>(dst.mtime), static_cast<long long>(src.mtime));
            }
            return 1;
        case LIBCDIR_CMP_DIFF_SIZE_DATE:
        case LIBCDIR_CMP_SYNC_DIFF_SIZE_DATE:
            break;
        default:
            return 1;
    }
    if (src.size != dst.size) {
        if (reason) {
            CDIR_LOG(LOG_DBG, "[%s] size=%lld != %lld", name, static_cast<long long>(dst.size),
                     static_cast<long long>(src.size));
        }
        return 1;
    }
    if (time_diff(dst.mtime, src.mtime) <= kTimeTolerance) return 0;
    if (reason) {
        CDIR_LOG(LOG_DBG, "[%s] time_write=%lld != %lld", name, static_cast<long long>(dst.mtime),
                 static_cast<long long>(src.mtime));
    }
    return 1;
}

int cdir_check_file_rlist(libcdir_ctx* job, const mstat_item& src,
                          std::span<const mstat_item> dst_files,
                          std::span<const mstat_item> dst_dirs) {
    const mstat_item* found = cdir_find_name(dst_files, src.name);
    if (found == nullptr) {
        if (cdir_find_name(dst_dirs, src.name) != nullptr) {
            CDIR_LOG(LOG_ERR, "del dir[%s] !!", src.name);
        }
        return 1;
    }
    return cdir_cmp_file_stat(job, src.name, src, *found) > 0 ? 1 : 0;
}

int cdir_route_transfer(libcdir_ctx* job, const cdir_item& item,
                        std::span<const mstat_item*> selected) {
    std::sort(selected.begin(), selected.end(),
              [](const mstat_item* a, const mstat_item* b) { return a->size < b->size; });
    switch (job->route) {
        case CDIR_ROUTE_LL:
            return ll_transfer(job, item, selected);
        case CDIR_ROUTE_RL:
        case CDIR_ROUTE_LR:
        case CDIR_ROUTE_RR:
            // Remote sides cannot be opened in this build, so no job gets here.
            CDIR_LOG(LOG_ERR, "route=%u not supported", job->route);
            return -1;
        default:
            CDIR_LOG(LOG_CRIT, "mode=%d invalid", static_cast<int>(job->route));
            return -1;
    }
}

int cdir_create_dir_list(libcdir_ctx* job, const cdir_item& item) {
    if (job->route != CDIR_ROUTE_LL && job->route != CDIR_ROUTE_RL) {
        CDIR_LOG(LOG_ERR, "route=%u not supported", job->route);
        return -1;
    }
    char path[PL_MAX_PATH];
    for (const mstat_item& d : item.src_dirs.items()) {
        if (cdir_join(path, item.dst_path.c_str(), d.name)) cdir_l_create_dir(job, path, d);
        if (cdir_need_exit(job)) return -1;
    }
    return 0;
}

int cdir_dir_done(libcdir_ctx* job, const cdir_item& item) {
    if (job->route != CDIR_ROUTE_LL && job->route != CDIR_ROUTE_RL) {
        CDIR_LOG(LOG_ERR, "route=%u not supported", job->route);
        return -1;
    }
    return cdir_l_touch_dir(job, item.src_path.c_str(), item);
}
