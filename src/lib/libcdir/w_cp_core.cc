#include "libcdir/w_cp_core.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "libcdir/v_fs.h"
#include "libcdir/v_rdir.h"
#include "libcdir/v_remote.h"
#include "libpal/os_root.h"
#include "libpal/url.h"

// A thread that runs one task at a time for the command thread, which waits for it.
struct libcdir_ctx::copy_helper {
    std::thread thread;
    std::mutex mutex;
    std::condition_variable cv;
    std::function<void()> task;  // under mutex: the task to run, empty when idle
    bool quit = false;           // under mutex

    void loop() {
        pthread_setname_np(pthread_self(), "cdir_copy");
        for (;;) {
            std::function<void()> run;
            {
                std::unique_lock<std::mutex> lock(mutex);
                cv.wait(lock, [this] { return quit || task; });
                if (!task) return;
                run = task;
            }
            run();
            {
                std::lock_guard<std::mutex> lock(mutex);
                task = nullptr;
            }
            cv.notify_all();
        }
    }
    void start(std::function<void()> work) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            task = std::move(work);
        }
        cv.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [this] { return !task; });
    }
    ~copy_helper() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            quit = true;
        }
        cv.notify_all();
        if (thread.joinable()) thread.join();
    }
};

void libcdir_ctx::copy_helper_deleter::operator()(copy_helper* helper) const {
    delete helper;
}

namespace {

// Directories with at least this many files to copy share them between two threads: below it,
// handing the work over costs more than the second core gains.
constexpr size_t kTwoLaneMin = 4;

// The second copying thread and its buffer, made at the first directory that wants them. false
// when they cannot be had: the directory is then copied by the command thread alone.
bool have_helper(libcdir_ctx* job) {
    if (job->helper) return true;
    job->trans_buf2.reset(new (std::nothrow) char[job->bs]);
    if (!job->trans_buf2) return false;
    std::unique_ptr<libcdir_ctx::copy_helper, libcdir_ctx::copy_helper_deleter> helper(
        new (std::nothrow) libcdir_ctx::copy_helper);
    if (!helper) return false;
    try {
        helper->thread = std::thread([h = helper.get()] { h->loop(); });
    } catch (const std::system_error&) {
        return false;
    }
    job->helper = std::move(helper);
    return true;
}

// What became of one file of a directory's copy.
struct copy_outcome {
    bool done = false;  // its copy ran (a stop may leave the rest undone)
    bool failed = false;
    bool written = false;
    bool replaced = false;
};

// Copies the selected files on two threads, each taking the next file not yet taken, and reports
// every file's outcome in `out` (in the order of `selected`). The counters of both threads are
// added to the job's.
void copy_two_lanes(libcdir_ctx* job, const cdir_item& item, std::span<const mstat_item*> selected,
                    int src_fd, const rdir_dst_dir& dst, std::vector<copy_outcome>* out) {
    std::atomic<size_t> next{0};
    cdir_lane lanes[2];
    lanes[0].buf = job->trans_buf.get();
    lanes[1].buf = job->trans_buf2.get();
    auto work = [&](cdir_lane* lane) {
        cdir_set_lane(lane);
        for (;;) {
            if (cdir_need_exit(job)) break;
            const size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= selected.size()) break;
            const uint64_t written = lane->st.file_open_count;
            const uint64_t failed = lane->st.i_file_fail_count + lane->st.o_file_fail_count;
            cdir_l_copy(job, *selected[i], src_fd, dst, item.src_path.c_str(),
                        item.dst_path.c_str());
            copy_outcome& o = (*out)[i];
            o.failed = lane->st.i_file_fail_count + lane->st.o_file_fail_count != failed;
            o.written = lane->st.file_open_count != written;
            o.replaced = lane->last_write_replaced;
            o.done = true;
        }
        cdir_set_lane(nullptr);
    };
    job->helper->start([&] { work(&lanes[1]); });
    work(&lanes[0]);
    job->helper->wait();
    for (const cdir_lane& lane : lanes) cdir_counters_add(&job->st, lane.st);
}

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

// Whether one of two listed entries is a link and the other not, or both are links to different
// texts.
bool link_differs(const mstat_item& src, const mstat_item& dst) {
    if (((src.type ^ dst.type) & RDIR_TYPE_LINK) != 0) return true;
    if ((src.type & RDIR_TYPE_LINK) == 0) return false;
    const char* a = src.link() != nullptr ? src.link() : "";
    const char* b = dst.link() != nullptr ? dst.link() : "";
    return strcmp(a, b) != 0;
}

// Opens the destination directory of `item` for writing: made when missing (a link standing
// where it or a parent must be is replaced), and cleared of temporaries that a killed run left.
// A failure counts every file of the directory as failed.
}  // namespace

bool cdir_open_dst_dir(libcdir_ctx* job, const cdir_item& item, size_t files, rdir_dst_dir* dst) {
    bool created = false;
    const verr ret =
        dst->open(job->dst.fs.get(), cdir_rel_path(job->dst, item.dst_path), true, &created);
    if (ret < 0) {
        const int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "mkdirs %s eno=%d error: ", item.dst_path.c_str(), eno);
        job->st.o_file_fail_count += files;
        cdir_verr_check(job, ret);
        return false;
    }
    if (!created) {
        const int removed = dst->clean_temps();
        if (removed > 0) {
            CDIR_LOG(LOG_WARN, "[%s] %d temporaries of writers that are gone removed",
                     item.dst_path.c_str(), removed);
        }
    }
    return true;
}

namespace {

// Whether `name` stands in the destination directory of `item` now (dry runs, which cannot learn
// it from writing). A server's side that was not listed is taken as empty.
bool dst_entry_exists(libcdir_ctx* job, const cdir_item& item, const char* name) {
    std::string rel(cdir_rel_path(job->dst, item.dst_path));
    if (!rel.empty()) rel += '/';
    rel += name;
    struct stat st;
    return job->dst.fs && os_root_lstat(job->dst.fs.get(), rel.c_str(), &st) == 0;
}

}  // namespace

int cdir_open_src_dir(libcdir_ctx* job, const cdir_item& item,
                      std::span<const mstat_item*> selected) {
    int src_fd = os_root_open_fd(job->src.fs.get(),
                                 std::string(cdir_rel_path(job->src, item.src_path)).c_str(),
                                 O_PATH | O_DIRECTORY, 0);
    if (src_fd >= 0) return src_fd;
    int eno = errno;
    CDIR_LOG(LOG_ERR | LOG_ERRNO, "i_open [%s] eno=%d error: ", item.src_path.c_str(), eno);
    job->st.i_file_fail_count += selected.size();
    cdir_verr_check(job, src_fd);
    for (const mstat_item* e : selected) {
        cdir_note_change(job, CDIR_CHANGE_FAILED, item.dst_path, e->name);
    }
    return -1;
}

void cdir_dry_transfer(libcdir_ctx* job, const cdir_item& item,
                       std::span<const mstat_item*> selected) {
    static const bool root = geteuid() == 0;
    for (const mstat_item* e : selected) {
        const bool refused = job->dst.is_local ? !root : !cdir_server_makes_node(job, e->mode);
        if (cdir_listed_node(*e) && refused) {
            // What the real run would refuse: a node to a server, or one only root may make.
            if (job->dst.is_local) {
                CDIR_LOG(LOG_ERR, "[%s] is a %s: not copied, only root recreates it",
                         path_join_raw(item.src_path, e->name).c_str(), cdir_node_kind(e->mode));
                job->st.o_file_fail_count++;
            } else {
                cdir_node_not_to_server(job, *e, item.src_path.c_str());
            }
            cdir_note_change(job, CDIR_CHANGE_FAILED, item.dst_path, e->name);
            continue;
        }
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

namespace {

int ll_transfer(libcdir_ctx* job, const cdir_item& item, std::span<const mstat_item*> selected) {
    if (selected.empty()) return 0;
    if (job->dry_run) {
        cdir_dry_transfer(job, item, selected);
        return 0;
    }
    const int src_fd = cdir_open_src_dir(job, item, selected);
    if (src_fd < 0) return 0;
    rdir_dst_dir dst;
    if (!cdir_open_dst_dir(job, item, selected.size(), &dst)) {
        for (const mstat_item* e : selected) {
            cdir_note_change(job, CDIR_CHANGE_FAILED, item.dst_path, e->name);
        }
    } else if (selected.size() >= kTwoLaneMin && !job->hard_links && have_helper(job)) {
        // Hard links stay on one thread: the first copy of a file must be made before the
        // names that link to it.
        std::vector<copy_outcome> outcomes(selected.size());
        copy_two_lanes(job, item, selected, src_fd, dst, &outcomes);
        // The change lines come in the order of the files, as from one thread.
        for (size_t i = 0; i < selected.size(); ++i) {
            const copy_outcome& o = outcomes[i];
            if (!o.done) continue;
            const char* name = selected[i]->name;
            if (o.failed) {
                cdir_note_change(job, CDIR_CHANGE_FAILED, item.dst_path, name);
            } else if (o.written) {
                const bool listed =
                    item.dst_files && cdir_find_name(item.dst_files.items(), name) != nullptr;
                cdir_note_change(job,
                                 listed || o.replaced ? CDIR_CHANGE_UPDATED : CDIR_CHANGE_CREATED,
                                 item.dst_path, name);
            }
        }
    } else {
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
    // A link carries no data: its text is what would change, and a restore keeps its time.
    if (link_differs(src, dst)) {
        if (reason) {
            CDIR_LOG(LOG_DBG, "[%s] link=[%s] != [%s]", name, dst.link() ? dst.link() : "",
                     src.link() ? src.link() : "");
        }
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
            return cdir_rl_transfer(job, item, selected);
        case CDIR_ROUTE_LR:
            return cdir_lr_transfer(job, item, selected);
        case CDIR_ROUTE_RR:
            return cdir_rr_transfer(job, item, selected);
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
    if (!cdir_open_dst_dir(job, item, 0, &parent)) return -1;
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
    if (r_hold_dir_done(job, item)) return 0;
    return cdir_l_touch_dir(job, item, true);
}
