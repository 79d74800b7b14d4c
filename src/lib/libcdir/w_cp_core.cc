#include "libcdir/w_cp_core.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "libcdir/v_fs.h"
#include "libcdir/v_rdir.h"
#include "libpal/os_root.h"
#include "libpal/url.h"

namespace {

// Modification times this close count as equal (file systems with 2-second resolution).
constexpr int64_t kTimeTolerance = 2;

// Differences of listed times, which may be anything a listing carried: computed wide, so that
// extreme values cannot overflow.
__int128 time_sub(int64_t a, int64_t b) {
    return static_cast<__int128>(a) - static_cast<__int128>(b);
}
__int128 time_diff(int64_t a, int64_t b) {
    __int128 d = time_sub(a, b);
    return d < 0 ? -d : d;
}

// Opens the destination directory of `item` for writing: made when missing (a link standing
// where it or a parent must be is replaced), and cleared of temporaries that a killed run left.
// A failure counts every file of the directory as failed.
bool open_dst_dir(libcdir_ctx* job, const cdir_item& item, size_t files, rdir_dst_dir* dst) {
    bool created = false;
    int eno = dst->open(job->dst.fs.get(), cdir_rel_path(job->dst, item.dst_path), true, &created);
    if (eno != 0) {
        errno = eno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "mkdirs %s eno=%d error: ", item.dst_path.c_str(), eno);
        job->st.o_file_fail_count += files;
        cdir_verr_check(job, os_verr_get(eno));
        return false;
    }
    if (!created) dst->clean_temps();
    return true;
}

// Whether `name` stands in the destination directory of `item` now (dry runs, which cannot learn
// it from writing).
bool dst_entry_exists(libcdir_ctx* job, const cdir_item& item, const char* name) {
    std::string rel(cdir_rel_path(job->dst, item.dst_path));
    if (!rel.empty()) rel += '/';
    rel += name;
    struct stat st;
    return job->dst.fs && os_root_lstat(job->dst.fs.get(), rel.c_str(), &st) == 0;
}

// A dry run counts what it would write and writes nothing.
void dry_transfer(libcdir_ctx* job, const cdir_item& item, std::span<const mstat_item*> selected) {
    for (const mstat_item* e : selected) {
        const bool exists = item.dst_files
                                ? cdir_find_name(item.dst_files.items(), e->name) != nullptr
                                : dst_entry_exists(job, item, e->name);
        job->st.file_open_count++;
        job->st.total_write += e->size;
        job->done_files.fetch_add(1, std::memory_order_relaxed);
        cdir_note_change(job, exists ? CDIR_CHANGE_UPDATED : CDIR_CHANGE_CREATED, item.dst_path,
                         e->name);
        if (cdir_need_exit(job)) return;
    }
}

int ll_transfer(libcdir_ctx* job, const cdir_item& item, std::span<const mstat_item*> selected) {
    if (selected.empty()) return 0;
    if (job->dry_run) {
        dry_transfer(job, item, selected);
        return 0;
    }
    int src_fd = os_root_open_fd(job->src.fs.get(),
                                 std::string(cdir_rel_path(job->src, item.src_path)).c_str(),
                                 O_PATH | O_DIRECTORY, 0);
    if (src_fd < 0) {
        int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "i_open [%s] eno=%d error: ", item.src_path.c_str(), eno);
        job->st.i_file_fail_count += selected.size();
        cdir_verr_check(job, os_verr_get(eno));
        for (const mstat_item* e : selected) {
            cdir_note_change(job, CDIR_CHANGE_FAILED, item.dst_path, e->name);
        }
        return 0;
    }
    rdir_dst_dir dst;
    if (open_dst_dir(job, item, selected.size(), &dst)) {
        for (const mstat_item* e : selected) {
            const uint64_t written = job->st.file_open_count;
            const uint64_t failed = job->st.i_file_fail_count + job->st.o_file_fail_count;
            cdir_l_copy(job, *e, src_fd, dst, item.src_path.c_str(), item.dst_path.c_str());
            if (job->st.i_file_fail_count + job->st.o_file_fail_count != failed) {
                cdir_note_change(job, CDIR_CHANGE_FAILED, item.dst_path, e->name);
            } else if (job->st.file_open_count != written) {
                const bool listed =
                    item.dst_files && cdir_find_name(item.dst_files.items(), e->name) != nullptr;
                cdir_note_change(
                    job,
                    listed || job->last_write_replaced ? CDIR_CHANGE_UPDATED : CDIR_CHANGE_CREATED,
                    item.dst_path, e->name);
            }
            if (cdir_need_exit(job)) break;
        }
    } else {
        for (const mstat_item* e : selected) {
            cdir_note_change(job, CDIR_CHANGE_FAILED, item.dst_path, e->name);
        }
    }
    close(src_fd);
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
            if (time_sub(dst.mtime, src.mtime) > kTimeTolerance) return 0;
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
    return job->dst.endpoints->create_dirs(job, item);
}

int cdir_dir_done(libcdir_ctx* job, const cdir_item& item) {
    return job->dst.endpoints->dir_done(job, item);
}

int cdir_l_create_dir_list(libcdir_ctx* job, const cdir_item& item) {
    if (job->dry_run) return 0;
    std::span<const mstat_item> dirs = item.src_dirs.items();
    if (dirs.empty()) return 0;
    rdir_dst_dir parent;
    if (!open_dst_dir(job, item, 0, &parent)) return -1;
    for (const mstat_item& d : dirs) {
        cdir_l_create_dir(job, parent, item.dst_path.c_str(), d);
        if (cdir_need_exit(job)) return -1;
    }
    return 0;
}

int cdir_l_dir_done(libcdir_ctx* job, const cdir_item& item) {
    if (job->dry_run) return 0;
    if (job->job_type == LIBCDIR_JOB_SYNC) {
        // A sync makes directories as their files need them, below this one too: their final
        // modes come once everything is written.
        try {
            job->new_dirs.push_back(
                cdir_new_dir{item.dst_path, item.is_root ? job->src_root_attr : item.attr});
        } catch (const std::bad_alloc&) {
            cdir_verr_check(job, VERR_NO_MEMORY);
        }
        return 0;
    }
    return cdir_l_touch_dir(job, item, true);
}
