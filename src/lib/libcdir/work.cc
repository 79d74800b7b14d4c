#include "libcdir/work.h"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "libcdir/v_fs.h"
#include "libcdir/v_rdir.h"
#include "libcdir/v_remote.h"
#include "libcdir/w_cp_core.h"
#include "libcdir/w_sync_core.h"
#include "libpal/url.h"

namespace {

// Destination path of a source directory below the source root.
std::string dst_path_for(const libcdir_ctx* job, std::string_view src_path) {
    const std::string& root = job->src.root;
    if (src_path.size() < root.size() || src_path.compare(0, root.size(), root) != 0) {
        return job->dst.root;
    }
    std::string_view rel = src_path.substr(root.size());
    if (!rel.empty() && rel.front() == '/') rel.remove_prefix(1);
    if (rel.empty()) return job->dst.root;
    return path_join_raw(job->dst.root, rel);
}

bool is_list_job(const libcdir_ctx* job) {
    return job->job_type == LIBCDIR_JOB_LIST;
}
bool is_sync_job(const libcdir_ctx* job) {
    return job->job_type == LIBCDIR_JOB_SYNC;
}
bool is_copy_job(const libcdir_ctx* job) {
    return job->job_type == LIBCDIR_JOB_COPY;
}

// The record for a directory's files: the source files and the destination listing (when it was
// read) move in from `item`.
cdir_item_ptr files_record(cdir_item& item) {
    cdir_item_ptr rec = cdir_item_copy(item);
    if (!rec) return rec;
    rec->src_files = std::move(item.src_files);
    rec->dst_files = std::move(item.dst_files);
    rec->dst_dirs = std::move(item.dst_dirs);
    rec->src_incomplete = item.src_incomplete;
    return rec;
}

// A list line carries the path exactly as stored. Only a path that itself holds " -> " could be
// misread (as a link, or split at the wrong arrow): a tab, which no listed name holds, then
// follows the path (after the "/" of a directory), and readers split there.
bool path_needs_tab(const char* path) {
    return strstr(path, " -> ") != nullptr;
}

void write_list_files(libcdir_ctx* job, const cdir_item& item) {
    if (job->list_file == nullptr) return;
    char path[PL_MAX_PATH];
    for (const mstat_item& e : item.src_files.items()) {
        if (!cdir_join(path, item.src_path.c_str(), e.name)) continue;
        const bool tab = path_needs_tab(path);
        int n;
        if (e.link() != nullptr) {
            n = fprintf(job->list_file.get(), tab ? "%s\t-> %s\n" : "%s -> %s\n", path, e.link());
        } else {
            n = fprintf(job->list_file.get(), tab ? "%s\t\n" : "%s\n", path);
        }
        if (n < 0) cdir_list_write_failed(job);
        if (cdir_need_exit(job)) return;
    }
}

void write_list_dir(libcdir_ctx* job, const char* path) {
    if (job->list_file == nullptr || path == nullptr) return;
    const bool root = strcmp(path, "/") == 0;
    if (fprintf(job->list_file.get(), "%s%s%s\n", path, root ? "" : "/",
                path_needs_tab(path) ? "\t" : "") < 0) {
        cdir_list_write_failed(job);
    }
}

// The listers were given up (a listing over the caps): the listings started ahead are asked
// again, on fresh listers, as their directories come up.
void restart_listings(libcdir_ctx* job) {
    job->listing_dropped = false;
    for (cdir_item_ptr& queued : job->work_queue) {
        if (!queued->started || queued->skipped) continue;
        queued->started = false;
        job->st.dir_count--;
        if (queued->dst_unlisted) {
            queued->dst_unlisted = false;
            job->st.o_dir_fail_count--;
            job->o_dirs_left--;
        }
    }
}

}  // namespace

cdir_item_ptr cdir_item_copy(const cdir_item& item) {
    cdir_item_ptr copy(new (std::nothrow) cdir_item());
    if (!copy) return copy;
    copy->src_path = item.src_path;
    copy->dst_path = item.dst_path;
    copy->attr = item.attr;
    copy->dst_exists = item.dst_exists;
    copy->dst_attr_differs = item.dst_attr_differs;
    copy->is_root = item.is_root;
    return copy;
}

cdir_item_ptr rdir_stat_alloc(libcdir_ctx* job, const char* path, const cdir_item* tmpl) {
    cdir_item_ptr item(new (std::nothrow) cdir_item());
    if (!item) return item;
    if (path != nullptr) {
        item->src_path = path;
        if (job->has_dst) item->dst_path = dst_path_for(job, path);
    } else {
        item->src_path = job->src.root;
        if (job->has_dst) item->dst_path = job->dst.root;
    }
    if (tmpl != nullptr) {
        item->dst_exists = tmpl->dst_exists;
        item->dst_attr_differs = tmpl->dst_attr_differs;
        item->attr = tmpl->attr;
    }
    return item;
}

bool rdir_read_stat_into(libcdir_ctx* job, bool is_dst, const char* path, cdir_item* item) {
    cdir_set_ref files = cdir_set_ref::create();
    cdir_set_ref dirs = cdir_set_ref::create();
    if (!files) {
        log2_assert_fail("cdir", "st->hstat_file != NULL", __FILE__, __LINE__, __func__);
        return false;
    }
    if (!dirs) {
        log2_assert_fail("cdir", "st->hstat_dir != NULL", __FILE__, __LINE__, __func__);
        return false;
    }
    if (!is_dst && path != nullptr && is_list_job(job)) {
        if (cdir_post_msg(job, CDIR_CMD_LISTING, path, static_cast<uint32_t>(strlen(path) + 1),
                          nullptr) != 0) {
            CDIR_LOG(LOG_ERR, "cmder_post_msg3 failed\n");
            cdir_verr_check(job, VERR_GENERAL_FAILURE);
        }
    }
    const char* shown = path != nullptr ? path : item->src_path.c_str();
    vrdir* h = is_dst ? job->ordir.get() : job->irdir.get();
    char* buf = job->list_buf.get();
    const int cap = static_cast<int>(job->max_mfile_size) - 1;
    int ends = 0;
    int status = 0;
    uint64_t bytes = 0;
    while (ends < 2) {
        int n = vrdir_read_item_list(h, buf, cap);
        if (n < 1) {
            CDIR_LOG(LOG_ERR, "[%s] vrdir_read_item_list failed\n", shown);
            return false;
        }
        std::string_view body(buf + 1, static_cast<size_t>(n - 1));
        size_t cr = body.find('\r');
        if (cr != std::string_view::npos) {
            int end_status = atoi(buf + 1 + cr + 1);
            if (status == 0) status = end_status;
            ends++;
            body = body.substr(0, cr);
        }
        mstat* set = buf[0] == 'F' ? files.get() : dirs.get();
        if (!body.empty() && str_2_stat(body, set) != 0) {
            cdir_verr_check(job, VERR_GENERAL_FAILURE);
            CDIR_LOG(LOG_ERR, "vrdir_str_2_stat failed\n");
            return false;
        }
        // One directory's listing may hold only so much: a peer that never ends one must not
        // take all memory. What was read of it is not used, so nothing there is deleted. Both
        // listing streams stand in the middle of something now (this listing, the other side's
        // of the same directory, those started ahead): the walk goes on with fresh listers.
        bytes += body.size();
        if (files.items().size() + dirs.items().size() > job->max_dir_entries ||
            bytes > job->max_dir_bytes) {
            CDIR_LOG(LOG_ERR,
                     "[%s] listing over max_dir_entries=%llu or max_dir_bytes=%llu: directory "
                     "failed",
                     shown, static_cast<unsigned long long>(job->max_dir_entries),
                     static_cast<unsigned long long>(job->max_dir_bytes));
            if (is_dst) {
                job->st.o_dir_fail_count++;
                job->o_dirs_left++;
            } else {
                job->st.i_dir_fail_count++;
            }
            job->irdir->fresh_needed = true;
            if (job->ordir) job->ordir->fresh_needed = true;
            job->listing_dropped = true;
            return false;
        }
        if (cdir_need_exit(job)) return false;
    }
    size_t lost = mstat_get_err_count(files.get()) + mstat_get_err_count(dirs.get());
    if (status != 0) {
        CDIR_LOG(LOG_VERB, "vrdir_read_item_list [%s] veno=%d err: %s", shown, status,
                 verr2str(status));
    } else if (lost > 0) {
        CDIR_LOG(LOG_ERR, "[%s] %zu listed entries could not be stored", shown, lost);
    }
    if (status != 0 || lost > 0) {
        if (is_dst) {
            job->st.o_dir_fail_count++;
        } else {
            job->st.i_dir_fail_count++;
            item->src_incomplete = true;
        }
    }
    if (is_dst) {
        item->dst_files = std::move(files);
        item->dst_dirs = std::move(dirs);
    } else {
        item->src_files = std::move(files);
        item->src_dirs = std::move(dirs);
    }
    return true;
}

cdir_item_ptr rdir_read_stat(libcdir_ctx* job, bool is_dst, const char* path,
                             const cdir_item* tmpl) {
    cdir_item_ptr item = rdir_stat_alloc(job, is_dst ? nullptr : path, tmpl);
    if (!item) {
        CDIR_LOG(LOG_ERR, "rdir_stat_alloc failed\n");
        return {};
    }
    if (!is_dst && path == nullptr) item->dst_exists = true;
    if (!rdir_read_stat_into(job, is_dst, path, item.get())) return {};
    if (is_dst) {
        // Callers of a destination read want its sets where a source read puts them.
        item->src_files = std::move(item->dst_files);
        item->src_dirs = std::move(item->dst_dirs);
    }
    return item;
}

int rdir_get_idir_list(libcdir_ctx* job, const char* src, const char* dst, const cdir_item* tmpl) {
    CDIR_LOG(LOG_VERB, "idir=[%s] odir=[%s]", src != nullptr ? src : "", dst != nullptr ? dst : "");
    cdir_item_ptr item = rdir_stat_alloc(job, src, tmpl);
    if (!item) {
        CDIR_LOG(LOG_ERR, "rdir_stat_alloc failed\n");
        return -1;
    }
    if (src == nullptr) {
        // The root's listings were started when the endpoints were opened.
        item->is_root = true;
        item->dst_exists = true;
        item->started = true;
    } else if (dst != nullptr) {
        item->dst_path = dst;
    }
    job->work_queue.push_back(std::move(item));
    return 0;
}

void cdir_start_listings(libcdir_ctx* job, cdir_item* item) {
    item->started = true;
    if (vrdir_enum_dir_fresh(job->irdir.get(), item->src_path.c_str()) != 0) {
        CDIR_LOG(LOG_ERR, "vrdir_enum_dir [%s] failed", item->src_path.c_str());
        job->st.i_dir_fail_count++;
        item->skipped = true;
        return;
    }
    job->st.dir_count++;
    if (!job->need_odir_list || !item->dst_exists) return;
    const bool fresh = job->ordir->fresh_needed;
    if (vrdir_enum_dir_fresh(job->ordir.get(), item->dst_path.c_str()) != 0) {
        CDIR_LOG(LOG_ERR, "vrdir_enum_odir [%s] failed", item->dst_path.c_str());
        if (fresh) {
            // Without a lister the destination is unknown: nothing is done there.
            job->st.o_dir_fail_count++;
            job->o_dirs_left++;
            item->dst_unlisted = true;
            return;
        }
        // Destination listings pair with items by order: an item whose listing was not started
        // must not read one, or it would take the next directory's.
        item->dst_exists = false;
    }
}

int cdir_post_msg(libcdir_ctx* job, uint32_t id, const void* data, uint32_t length, void* arg) {
    for (;;) {
        // A full queue is waited out in slices: the command thread is working through it, and
        // when it stops the post fails instead of waiting.
        int ret = cmder_post_msg3(job->cmd.get(), id, data, length, arg, 200);
        if (ret != -2) return ret;
    }
}

int cdir_post(libcdir_ctx* job, uint32_t cmd, cdir_item_ptr item) {
    if (!item) {
        CDIR_LOG(LOG_ERR, "rdir_stat_alloc failed\n");
        cdir_verr_check(job, VERR_GENERAL_FAILURE);
        return -1;
    }
    cdir_item* raw = item.release();
    int ret = cdir_post_msg(job, cmd, nullptr, 0, raw);
    if (ret != 0) {
        cdir_item_free(raw);
        CDIR_LOG(LOG_ERR, "cmder_post_msg3 failed\n");
        cdir_verr_check(job, VERR_GENERAL_FAILURE);
        return -1;
    }
    return 0;
}

int cdir_worker(libcdir_ctx* job) {
    if (rdir_get_idir_list(job, nullptr, nullptr, nullptr) < 0) return -1;
    // Every copy mode makes the subdirectories while their parent is at hand, so that the
    // parent's times, set after its contents, are not changed again by its children.
    const bool make_dirs = is_copy_job(job);
    char child_src[PL_MAX_PATH];
    char child_dst[PL_MAX_PATH];
    while (!job->work_queue.empty()) {
        // Listings run on the listers' threads in the order they are asked for, which is the
        // queue's order, so each read below returns the listing of the item in hand.
        const size_t ahead = std::min(CDIR_LISTING_AHEAD, job->work_queue.size());
        for (size_t k = 0; k < ahead; ++k) {
            cdir_item* next = job->work_queue[k].get();
            if (!next->started) cdir_start_listings(job, next);
        }
        cdir_item_ptr item = std::move(job->work_queue.front());
        job->work_queue.pop_front();
        if (item->skipped) continue;
        CDIR_LOG(LOG_VERB, "[%s] [%d]", item->src_path.c_str(), item->dst_exists ? 1 : 0);
        {
            std::lock_guard<std::mutex> lock(job->walk_dir_mutex);
            job->walk_dir = item->src_path;
        }
        job->seen_dirs.fetch_add(1, std::memory_order_relaxed);

        const char* src_arg = item->is_root ? nullptr : item->src_path.c_str();
        if (!rdir_read_stat_into(job, false, src_arg, item.get())) {
            if (item->is_root) return -1;
            if (!job->listing_dropped) return 0;
            restart_listings(job);
            continue;
        }
        if (item->dst_unlisted) continue;

        bool listed_dst = false;
        bool dst_has_files = true;
        if (job->need_odir_list && item->dst_exists) {
            if (!rdir_read_stat_into(job, true, item->dst_path.c_str(), item.get())) {
                if (!job->listing_dropped) return 0;
                restart_listings(job);
                continue;
            }
            cdir_sort_by_name(item->dst_files.items());
            cdir_sort_by_name(item->dst_dirs.items());
            dst_has_files = !item->dst_files.items().empty();
            listed_dst = true;
        }

        // A sync leaves orphaned destination directories alone: nothing to post when the source
        // has no subdirectories.
        std::span<const mstat_item> src_dirs = item->src_dirs.items();
        if (!src_dirs.empty()) {
            if (make_dirs) {
                cdir_item_ptr rec = cdir_item_copy(*item);
                if (rec) rec->src_dirs = item->src_dirs.share();
                if (cdir_post(job, CDIR_CMD_MKDIRS, std::move(rec)) != 0) return 0;
            }
            std::span<const mstat_item> dst_dirs = item->dst_dirs.items();
            for (const mstat_item& d : src_dirs) {
                if (!cdir_join(child_src, item->src_path.c_str(), d.name)) {
                    job->st.i_dir_fail_count++;
                    continue;
                }
                cdir_item tmpl;
                tmpl.attr = mstat_item_attr(d);
                tmpl.attr.link = nullptr;
                const char* dst_arg = nullptr;
                const mstat_item* there = listed_dst ? cdir_find_name(dst_dirs, d.name) : nullptr;
                if (there != nullptr && cdir_join(child_dst, item->dst_path.c_str(), d.name)) {
                    tmpl.dst_exists = true;
                    tmpl.dst_attr_differs = cdir_attrs_differ(d, there, job->dst_owners.load());
                    dst_arg = child_dst;
                }
                if (rdir_get_idir_list(job, child_src, dst_arg, &tmpl) < 0) return 0;
            }
        }
        if (!item->src_files.items().empty()) {
            if (cdir_post(job, CDIR_CMD_FILES, files_record(*item)) != 0) return 0;
        } else if (is_sync_job(job) && item->dst_exists && dst_has_files) {
            if (item->src_incomplete) {
                CDIR_LOG(LOG_WARN, "[%s] source listing incomplete: no file is deleted in [%s]",
                         item->src_path.c_str(), item->dst_path.c_str());
            } else if (cdir_post(job, CDIR_CMD_NO_FILES, files_record(*item)) != 0) {
                return 0;
            }
        }
        // A copy gives every directory its attributes after its contents; a sync restores no
        // times, but a directory it makes, or one whose owner or mode is not the source's (made
        // private since, or left owner-only by a run that was stopped), gets the source's mode
        // and owner once it is complete.
        const bool new_dir = item->is_root ? job->dst_root_created : !item->dst_exists;
        if ((is_copy_job(job) || (is_sync_job(job) && (new_dir || item->dst_attr_differs))) &&
            cdir_post(job, CDIR_CMD_DIR_DONE, cdir_item_copy(*item)) != 0) {
            return 0;
        }
        if (cdir_need_exit(job)) return 0;
    }
    return 0;
}

void cdir_work_thread(libcdir_ctx* job) {
    pthread_setname_np(pthread_self(), "cdir_work");
    os_thread_name_set("cdir_work");
    CDIR_LOG(LOG_VERB, "==>\n");
    int ret = cdir_worker(job);
    if (ret != 0) CDIR_LOG(LOG_DBG, "ret=%d\n", ret);
    CDIR_LOG(LOG_VERB, "<==\n");
    job->work_queue.clear();
    os_thread_name_del();
    {
        std::lock_guard<std::mutex> lock(job->work_mutex);
        job->work_done = true;
        job->work_result = ret;
    }
    job->work_cv.notify_all();
}

bool cdir_count_files(libcdir_ctx* job, const cdir_item& item) {
    for (const mstat_item& e : item.src_files.items()) {
        job->st.file_count++;
        job->st.file_total_size += e.size;
        job->seen_files.fetch_add(1, std::memory_order_relaxed);
        if (cdir_need_exit(job)) return false;
    }
    return true;
}

int cdir_cmd_proc(uint32_t id, void* data, cmder_call* call) {
    auto* job = static_cast<libcdir_ctx*>(call->user);
    auto* item = static_cast<cdir_item*>(call->arg);
    if (id == CDIR_CMD_END) {
        // Commands run in posting order: every command posted before this one is done, but for
        // the answers of the last directory's writes.
        r_take_write_tail(job);
        cdir_finish_deletes(job);
        if (!job->new_dirs.empty() && !job->dry_run) {
            if (job->dst.is_local) {
                cdir_l_finish_new_dirs(job);
            } else {
                r_finish_new_dirs(job);
            }
        }
        std::lock_guard<std::mutex> lock(job->work_mutex);
        job->cmds_done = true;
        job->work_cv.notify_all();
        return 0;
    }
    if (cdir_need_exit(job)) return 0;
    switch (job->job_type) {
        case LIBCDIR_JOB_COPY:
            if (item == nullptr) return 0;
            if (id == CDIR_CMD_FILES) {
                if (cdir_count_files(job, *item)) r_sync_file_list(job, *item, job->route, false);
            } else if (id == CDIR_CMD_MKDIRS) {
                cdir_create_dir_list(job, *item);
            } else if (id == CDIR_CMD_DIR_DONE) {
                cdir_dir_done(job, *item);
            }
            break;
        case LIBCDIR_JOB_SYNC:
            if (item == nullptr) return 0;
            if (id == CDIR_CMD_FILES) {
                if (cdir_count_files(job, *item)) r_sync_file_list(job, *item, job->route, true);
            } else if (id == CDIR_CMD_NO_FILES) {
                cdir_sync_no_files(job, *item);
            } else if (id == CDIR_CMD_DIR_DONE) {
                cdir_dir_done(job, *item);
            }
            break;
        case LIBCDIR_JOB_LIST:
            if (id == CDIR_CMD_FILES && item != nullptr) {
                if (cdir_count_files(job, *item)) write_list_files(job, *item);
            } else if (id == CDIR_CMD_LISTING) {
                write_list_dir(job, static_cast<const char*>(data));
            }
            break;
        default:
            break;
    }
    return 0;
}

void cdir_list_write_failed(libcdir_ctx* job) {
    int eno = errno;
    if (job->list_failed) return;
    job->list_failed = true;
    CDIR_LOG(LOG_ERR | LOG_ERRNO, "write [%s] error: ", job->list_path.c_str());
    // An incomplete listing must not end as a successful run.
    cdir_verr_check(job, eno != 0 ? os_verr_get(eno) : VERR_GENERAL_FAILURE);
}

void cdir_cmd_free(void*, void* arg) {
    cdir_item_free(static_cast<cdir_item*>(arg));
}
