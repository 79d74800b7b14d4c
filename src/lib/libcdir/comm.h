// The job context shared by every module of the copy engine, and small helpers on it.
#pragma once

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "libcdir/cstat.h"
#include "libcdir/libcdir.h"
#include "liblog/log2.h"
#include "libpal/verr.h"
#include "librdir/mstat.h"

#define CDIR_LOG(level, ...) DV_LOG("cdir", level, __VA_ARGS__)
// A failure logged at the error level and kept in the record `err` with the same text.
#define CDIR_FAIL(err, code, ...) ERR_INFO_FAIL((err), "cdir", (code), __VA_ARGS__)

// Routes: which sides are local.
inline constexpr uint32_t CDIR_ROUTE_LL = 0;
inline constexpr uint32_t CDIR_ROUTE_RL = 1;
inline constexpr uint32_t CDIR_ROUTE_LR = 2;
inline constexpr uint32_t CDIR_ROUTE_RR = 3;

// Files up to this size travel in batches between a local and a remote side.
inline constexpr uint64_t CDIR_SMALL_FILE_MAX = 0x80000;

struct cmder;
struct os_root;
struct vrdir;
struct vmfile;
struct vbfile;
struct cdir_item;

struct cdir_endpoints;

struct os_root_closer {
    void operator()(os_root* root) const;
};
using os_root_ptr = std::unique_ptr<os_root, os_root_closer>;
struct vrdir_closer {
    void operator()(vrdir* h) const;
};
struct vmfile_closer {
    void operator()(vmfile* h) const;
};
struct vbfile_closer {
    void operator()(vbfile* h) const;
};
struct cmder_closer {
    void operator()(cmder* c) const;
};
struct file_closer {
    void operator()(FILE* f) const;
};
struct endpoints_deleter {
    void operator()(cdir_endpoints* e) const;
};
using vrdir_ptr = std::unique_ptr<vrdir, vrdir_closer>;
using vmfile_ptr = std::unique_ptr<vmfile, vmfile_closer>;
using vbfile_ptr = std::unique_ptr<vbfile, vbfile_closer>;
using cmder_ptr = std::unique_ptr<cmder, cmder_closer>;
using file_ptr = std::unique_ptr<FILE, file_closer>;
using endpoints_ptr = std::unique_ptr<cdir_endpoints, endpoints_deleter>;

// One side of a job: its prepared URL text and the root path within it.
struct cdir_side {
    std::string url;    // after preparation
    std::string shown;  // the same for log lines: a server URL's password masked
    std::string root;   // root directory path; entry paths below it are root + "/" + relative part
    bool is_local = true;
    // The implementation of the side's endpoints, chosen once from its URL (v_rdir.h).
    endpoints_ptr endpoints;
    // Local sides: the root directory, opened once (a link given as the root is followed here);
    // everything below it is resolved without following links.
    os_root_ptr fs;
};

// The part of `path` (an entry path of `side`) below the side's root: "" for the root itself.
std::string_view cdir_rel_path(const cdir_side& side, std::string_view path);

// A directory this job created at a local destination by a sync, whose final mode is applied
// when everything below it is written.
struct cdir_new_dir {
    std::string path;
    mstat_attr attr;
};

// Releases a work item (null is fine). Declared here because the job owns a queue of them.
void cdir_item_free(cdir_item* item);
struct cdir_item_deleter {
    void operator()(cdir_item* item) const { cdir_item_free(item); }
};
using cdir_item_ptr = std::unique_ptr<cdir_item, cdir_item_deleter>;

// The commands at a remote destination's batch worker whose answers are still due, and the
// attributes that wait for them.
struct cdir_write_tail;
struct write_tail_deleter {
    void operator()(cdir_write_tail* tail) const;
};
using cdir_write_tail_ptr = std::unique_ptr<cdir_write_tail, write_tail_deleter>;

// Kinds of node a server destination makes for the client (libcdir_ctx::dst_nodes).
inline constexpr uint32_t CDIR_NODES_FIFO = 1;    // fifos and sockets
inline constexpr uint32_t CDIR_NODES_DEVICE = 2;  // character and block devices

// A job and everything it owns. Releasing it stops its threads first (the destructor), then its
// members go: endpoints in the order source listing, batches, blocks, then the same of the
// destination; the list file; the sides' root handles.
struct libcdir_ctx {
    libcdir_ctx() = default;
    libcdir_ctx(const libcdir_ctx&) = delete;
    libcdir_ctx& operator=(const libcdir_ctx&) = delete;
    ~libcdir_ctx();

    cdir_side src;
    cdir_side dst;
    bool has_dst = false;

    uint32_t job_type = LIBCDIR_JOB_COPY;
    uint32_t cmp_mode = 0;
    uint32_t route = CDIR_ROUTE_LL;
    uint32_t dbg = 0;
    uint32_t read_timeout_ms = 0;
    bool need_odir_list = false;    // the destination listing is read (sync, copy rules but 4)
    err_info* err = nullptr;        // the caller's record
    sock_cancel* cancel = nullptr;  // the caller's; handed to every server connection
    uint64_t max_dir_entries = LIBCDIR_MAX_DIR_ENTRIES_DEFAULT;  // one directory's listing
    uint64_t max_dir_bytes = LIBCDIR_MAX_DIR_BYTES_DEFAULT;
    bool listing_dropped = false;  // walk thread: a listing was given up at the caps
    // Walk thread: directories left alone because their destination listing could not be had
    // (counted in o_dir_fail_count too); unlike a partly read destination listing, they fail
    // the run.
    uint64_t o_dirs_left = 0;
    file_ptr list_file;  // list jobs
    std::string list_path;
    bool list_failed = false;  // command thread

    // Last failure (any thread writes; the last writer wins).
    std::atomic<int32_t> last_class{0};
    std::atomic<int32_t> last_verr{0};
    std::atomic<int32_t> stop_class{0};  // class of the last failure that set error_stop

    uint64_t start_ms = 0;
    cdir_counters st;

    // Buffers, allocated once per job. The listing buffer belongs to the walk thread, the
    // transfer and encode buffers to the command thread.
    uint32_t bs = 0;
    uint32_t max_mfile_size = 0;
    std::unique_ptr<char[]> list_buf;
    std::unique_ptr<char[]> trans_buf;
    std::unique_ptr<char[]> enc_buf;          // remote routes only
    std::unique_ptr<char[]> rr_buf;           // route rr only
    std::atomic<bool> no_copy_range{false};   // copy_file_range unusable here: read/write instead
    std::vector<const mstat_item*> selected;  // command thread: the files of one directory to move
    std::vector<const mstat_item*> attrs_only;  // command thread: same data, other owner or mode

    // The destination root was created by this job: it gets the source root's attributes.
    bool dst_root_created = false;
    mstat_attr src_root_attr{};
    std::vector<cdir_new_dir> new_dirs;  // command thread
    // Command thread: a directory's last write piece whose answers are not taken yet, so that the
    // next directory is read while the server writes it. Taken before anything else goes to the
    // destination's batch worker and before any later change is noted.
    cdir_write_tail_ptr write_tail;

    // Progress for another thread (libcdir_get_progress): the counters themselves are written
    // without locks by their threads, so these copies are atomics.
    std::atomic<uint64_t> done_files{0};
    std::atomic<uint64_t> done_bytes{0};
    std::atomic<uint64_t> seen_files{0};
    std::atomic<uint64_t> seen_dirs{0};
    std::mutex walk_dir_mutex;
    std::string walk_dir;  // under walk_dir_mutex: the directory the walk is at

    // Command thread: the last file committed replaced an entry that stood at its name.
    bool last_write_replaced = false;

    // The second thread that copies a share of a directory's files while the command thread
    // copies the rest (w_cp_core.cc), and the buffer it copies through. Made when first needed;
    // idle whenever the command thread is not inside a directory's copy. Declared after the
    // buffers so that it ends before they go.
    std::unique_ptr<char[]> trans_buf2;
    struct copy_helper;
    struct copy_helper_deleter {
        void operator()(copy_helper* helper) const;
    };
    std::unique_ptr<copy_helper, copy_helper_deleter> helper;

    // Options (libcdir_param).
    std::string changes_path;
    file_ptr changes_file;  // command thread writes; null without changes=
    bool changes_failed = false;
    // Orphans held back until the end because max_delete is set (command thread).
    std::vector<std::string> pending_deletes;
    uint64_t held_deletes = 0;
    bool deletes_refused = false;
    bool dry_run = false;
    int64_t max_delete = -1;
    bool hard_links = false;
    bool xattrs = false;

    // Hard links (hard_links=1), command thread, v_fs.cc: where the first copy of each source
    // file with links still to come was made. Made at the first such file; files with one link
    // are never entered, and an entry goes when its last link was seen.
    struct hard_link_map;
    struct hard_link_map_deleter {
        void operator()(hard_link_map* map) const;
    };
    std::unique_ptr<hard_link_map, hard_link_map_deleter> hard_link_copies;

    std::atomic<uint32_t> error_stop{0};
    std::atomic<uint32_t> user_stop{0};
    // Kinds of node the server destination offers to make for this client (CDIR_NODES_*), from
    // its information text: none when it offers none or tells nothing of them.
    std::atomic<uint32_t> dst_nodes{0};
    // The server source lists files named like temporaries whose writer is gone, when asked.
    std::atomic<bool> src_stale_temps{false};
    // Owners count as a difference to pass on: this process is root and, for a server
    // destination, the server says it runs as root in its information text ("is_root=[1]").
    std::atomic<bool> dst_owners{::geteuid() == 0};

    // Declared in reverse closing order: members are destroyed last to first.
    vbfile_ptr obfile;
    vmfile_ptr omfile;
    vrdir_ptr ordir;
    vbfile_ptr ibfile;
    vmfile_ptr imfile;
    vrdir_ptr irdir;

    // Threads: the destructor ends both before anything above goes.
    cmder_ptr cmd;
    std::thread work;
    std::mutex work_mutex;
    std::condition_variable work_cv;
    bool work_done = false;  // under work_mutex
    bool cmds_done = false;  // under work_mutex: the command thread reached the end marker
    int work_result = 0;
    std::deque<cdir_item_ptr> work_queue;  // walk thread only
};

// Stat set holder: one reference of an mstat, dropped on destruction.
class cdir_set_ref final {
  public:
    cdir_set_ref() = default;
    explicit cdir_set_ref(mstat* set) : set_(set) {}
    cdir_set_ref(const cdir_set_ref&) = delete;
    cdir_set_ref& operator=(const cdir_set_ref&) = delete;
    cdir_set_ref(cdir_set_ref&& other) noexcept : set_(other.release()) {}
    cdir_set_ref& operator=(cdir_set_ref&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~cdir_set_ref() { reset(); }

    // A new empty set tagged "cdir"; empty on allocation failure.
    static cdir_set_ref create();
    // One more reference to the same set.
    cdir_set_ref share() const;

    mstat* get() const { return set_; }
    explicit operator bool() const { return set_ != nullptr; }
    std::span<mstat_item> items() const;
    mstat* release() {
        mstat* s = set_;
        set_ = nullptr;
        return s;
    }
    void reset(mstat* set = nullptr);

  private:
    mstat* set_ = nullptr;
};

// Byte-wise name order and lookups over sorted item arrays.
bool cdir_name_less(const mstat_item& a, const mstat_item& b);
void cdir_sort_by_name(std::span<mstat_item> items);
const mstat_item* cdir_find_name(std::span<const mstat_item> sorted, const char* name);

// Change kinds of the changes= output.
inline constexpr char CDIR_CHANGE_CREATED = '+';
inline constexpr char CDIR_CHANGE_UPDATED = '~';
inline constexpr char CDIR_CHANGE_DELETED = '-';
inline constexpr char CDIR_CHANGE_FAILED = '!';

// Writes one changes= line "<kind> <dir>/<name>" (command thread). Nothing without changes=.
void cdir_note_change(libcdir_ctx* job, char kind, std::string_view dir, const char* name);
// Takes the answers of every command still due at the destination's batch worker (write_tail),
// and sets the attributes that waited for them. Nothing when there is none, or when the job is
// stopping. false when the answers could not be taken.
bool r_take_write_tail(libcdir_ctx* job);
// When the files of `item`'s directory are still on their way from a server source, keeps its
// attributes until they are written and returns true; false when nothing waits.
bool r_hold_dir_done(libcdir_ctx* job, const cdir_item& item);

// Joins `dir` and a listed `name` byte for byte into `out` (PL_MAX_PATH bytes). Returns false,
// with a log line, when the path does not fit.
bool cdir_join(char* out, const char* dir, const char* name);

// Attribute record of an item for the platform's apply operations.
struct os_attr;
void cdir_os_attr(const mstat_attr& a, os_attr* out);
