#include "librdir/librdir.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "liblog/log2.h"
#include "libpal/os_root.h"
#include "libpal/url.h"
#include "librdir/misc.h"
#include "librdir/mstat.h"
#include "librdir/stat_line.h"
#include "librdir/temp_name.h"
#include "librdir/wake_word.h"

#define RDIR_LOG(level, ...) DV_LOG("rdir", level, __VA_ARGS__)

namespace {

constexpr int kDefaultReadTimeoutMs = 3000;
// The reader's longest single wait: it then looks at the other stream and at a stop request.
constexpr int kPollWaitMs = 100;
// The reader first waits this long without asking for the lines gathered so far: a directory on
// a fast file system is listed in less, and then comes in whole blocks rather than in dribbles
// with a wake-up each (which made a sync of an unchanged tree measurably slower).
constexpr int kQuietWaitMs = 5;
// No line waits longer than this for its block to be handed over (give or take the coarse
// clock's few milliseconds), so that a slow file system still feeds the reader steadily.
constexpr int64_t kHandOverMs = 100;
// A lister waiting for room looks at a stop request at least this often (a stop also wakes it).
constexpr int kRoomCheckMs = 100;
// An idle lister looks at a stop request at least this often (a post or a stop also wakes it).
constexpr int kIdleCheckMs = 1000;
// Lines travel in blocks of up to this many bytes: one hand-over, and at most one wake-up of the
// reader, per block instead of per line. A block always holds whole lines, and a stream's end
// marker only ever comes last in its block.
constexpr size_t kBlockMax = 32 * 1024;
static_assert(kBlockMax >= RDIR_LINE_MAX + 32, "a block must hold the longest line and a marker");
// Longest end marker: the carriage return and a status in decimal.
constexpr size_t kMarkerMax = 16;
// Bytes a stream holds for the reader before the lister waits: what a slow reader costs. It is
// counted in bytes, not blocks, so that the small blocks of many small directories listed ahead
// of the reader cost no more than one full block. More buys no speed: the listers then only
// run further ahead of a walk busy with a large directory, and the process's peak grows.
constexpr size_t kQueueBytes = kBlockMax;
// Links followed one after another to find what a link leads to beneath a root (the kernel's own
// limit is larger; a longer chain counts as leading nowhere).
constexpr int kLinkHopsMax = 16;
// Status of a listing that had to skip an entry whose name cannot be carried in a line.
constexpr verr kBadName = -104;

enum : int { STATE_IDLE = 0, STATE_LISTING = 1, STATE_DONE = 2 };
enum : int { FILES = 0, DIRS = 1 };

// Size of the buffer that directory entries are read into, one per lister.
constexpr size_t kDirBufferSize = 32 * 1024;

// Entries of one open directory, read straight from the kernel into the lister's buffer:
// no per-directory allocation and none of the descriptor checks a stream library does on open.
class dir_reader final {
  public:
    dir_reader(int fd, char* buffer) : fd_(fd), buffer_(buffer) {}
    dir_reader(const dir_reader&) = delete;
    dir_reader& operator=(const dir_reader&) = delete;
    ~dir_reader() {
        if (fd_ >= 0) close(fd_);
    }
    int fd() const { return fd_; }
    // The next entry's name; nullptr at the end (errno 0) or on a failure (errno set).
    const char* next() {
        for (;;) {
            if (at_ < filled_) {
                auto* entry = reinterpret_cast<const struct dirent64*>(buffer_ + at_);
                at_ += entry->d_reclen;
                return entry->d_name;
            }
            const long n = syscall(SYS_getdents64, fd_, buffer_, kDirBufferSize);
            if (n <= 0) {
                if (n == 0) errno = 0;
                return nullptr;
            }
            filled_ = static_cast<size_t>(n);
            at_ = 0;
        }
    }

  private:
    int fd_;
    char* buffer_;
    size_t at_ = 0;
    size_t filled_ = 0;
};

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Read once per listed entry: the coarse clock costs no system call and its few milliseconds of
// resolution are plenty for the hand-over deadline.
int64_t coarse_now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A block handed over: whole lines of one stream, possibly ending in the end marker.
struct ready_block {
    std::unique_ptr<char[]> data;
    uint32_t length = 0;
};

// A block buffer of kBlockMax bytes (the reader's holds a handed-over block of its own size).
struct block_buffer {
    std::unique_ptr<char[]> data;
    size_t used = 0;         // writer: bytes gathered; reader: bytes of the block taken
    size_t taken = 0;        // reader only: bytes already handed to the caller
    int64_t first_line = 0;  // writer only: when its first line was gathered (coarse clock)
};

bool make_block(block_buffer* b) {
    b->data.reset(new (std::nothrow) char[kBlockMax]);
    return b->data != nullptr;
}

}  // namespace

struct librdir_handle {
    // Set by librdir_open, only read afterwards.
    std::string dir;
    int read_timeout_ms = kDefaultReadTimeoutMs;
    const os_root* root = nullptr;
    bool skip_dir = false;
    uint64_t skip_dev = 0;
    uint64_t skip_ino = 0;
    bool link_kinds = true;
    bool list_stale_temps = false;
    std::thread thread;  // the lister ("rdir_cmder")

    // Any thread.
    std::atomic<bool> stopping{false};        // set under mutex, never cleared
    std::atomic<bool> reader_waiting{false};  // the reader is blocked in a wait for data
    std::atomic<int> state{STATE_IDLE};

    // Everything the lister and its reader hand each other, behind one short-held lock: the
    // directories posted and not yet started, and per stream the blocks handed over and not yet
    // taken (FILES, DIRS). The lister waits while a block would take a stream that holds any
    // past kQueueBytes; the end markers
    // of a stopped listing go regardless. A listing's last blocks of both streams are handed
    // over together, so a small directory costs one hand-over and at most one wake-up.
    mutable std::mutex mutex;
    std::deque<std::string> posted;
    size_t posted_bytes = 0;  // the texts of `posted`
    std::deque<ready_block> ready[2];
    size_t ready_bytes[2] = {0, 0};
    bool closing = false;  // the lister ends once nothing is posted
    // Wake the reader (blocks handed over, stop), the lister waiting for room (blocks taken,
    // stop) and the idle lister (posts, stop, close).
    rdir_wake_word to_reader;
    rdir_wake_word to_room;
    rdir_wake_word to_post;

    // Command thread only.
    verr status = 0;
    std::unique_ptr<char[]> dir_buffer;  // kDirBufferSize bytes of directory entries
    block_buffer out[2];                 // the lines of each stream not yet handed over

    // Reader side only.
    bool ended[2] = {false, false};
    block_buffer in[2];  // the block being handed out, line by line
};

namespace {

// Waits until a block of `bytes` fits on stream `s`: while the blocks that the reader has not
// taken would come to more than kQueueBytes with it (a stream that holds none always takes one).
// Returns false when the handle is stopped first. Only the lister adds blocks, so the room found
// stays.
bool wait_for_room(librdir_handle* h, int s, size_t bytes) {
    for (;;) {
        const uint32_t seen = h->to_room.prepare();
        bool room;
        {
            std::lock_guard lock(h->mutex);
            room = h->ready[s].empty() || h->ready_bytes[s] + bytes <= kQueueBytes;
        }
        if (room || h->stopping.load()) {
            h->to_room.cancel();
            return room;
        }
        h->to_room.wait(seen, kRoomCheckMs);
    }
}

// A copy of `length` bytes of `data` in a block of its own size; false when memory runs out.
bool copy_block(const char* data, size_t length, ready_block* out) {
    out->data.reset(new (std::nothrow) char[length]);
    if (!out->data) return false;
    std::memcpy(out->data.get(), data, length);
    out->length = static_cast<uint32_t>(length);
    return true;
}

// Appends a block to stream `s`, with the handle's lock held; false when memory runs out.
bool queue_block(librdir_handle* h, int s, ready_block&& block) {
    const size_t bytes = block.length;
    try {
        h->ready[s].push_back(std::move(block));
    } catch (const std::bad_alloc&) {
        return false;
    }
    h->ready_bytes[s] += bytes;
    return true;
}

// Queues the gathered lines of stream `s` as one block, waiting for room as long as the reader
// needs. When they cannot be queued (a stop, or no memory) they are gone and *failure says why.
//
// Waiting cannot deadlock although both streams are bounded and the lister writes them in entry
// order: the lister only ever waits on a stream that holds blocks, and the reader takes blocks of
// whichever stream has them (files first, directories while no files block is ready), so the
// awaited stream is drained. Listings posted ahead run only after the previous one has queued all
// its blocks, so a reader still on an earlier listing never waits for the lister either.
void hand_over(librdir_handle* h, int s, verr* failure) {
    block_buffer& out = h->out[s];
    if (out.used == 0) return;
    ready_block block;
    if (!wait_for_room(h, s, out.used)) {
        *failure = VERR_INTERRUPTED;
    } else {
        bool queued = copy_block(out.data.get(), out.used, &block);
        if (queued) {
            std::lock_guard lock(h->mutex);
            queued = queue_block(h, s, std::move(block));
        }
        if (queued) {
            h->to_reader.notify();
        } else {
            RDIR_LOG(LOG_ERR, "qbuf_write_timeout hqbuf_file failed\n");
            if (*failure == 0) *failure = VERR_NO_MEMORY;
        }
    }
    out.used = 0;
}

// Adds one line to a stream's block, handing the block over first when the line would not fit.
void put_line(librdir_handle* h, int s, const char* line, size_t length, int64_t now,
              verr* failure) {
    block_buffer& out = h->out[s];
    if (out.used + length > kBlockMax) hand_over(h, s, failure);
    if (out.used == 0) out.first_line = now;
    std::memcpy(out.data.get() + out.used, line, length);
    out.used += length;
}

// Called after each entry: a block goes to the reader when its first line has waited long
// enough, and every gathered line goes when the reader waits for data. The flag is consumed, so
// a reader that keeps up receives one block per wait rather than one per line.
void hand_over_due(librdir_handle* h, int64_t now, verr* failure) {
    const bool pending = h->out[FILES].used != 0 || h->out[DIRS].used != 0;
    if (!pending) return;
    const bool reader_waits =
        h->reader_waiting.load(std::memory_order_relaxed) && h->reader_waiting.exchange(false);
    for (int s : {FILES, DIRS}) {
        block_buffer& out = h->out[s];
        if (out.used != 0 && (reader_waits || now - out.first_line >= kHandOverMs)) {
            hand_over(h, s, failure);
        }
    }
}

// Opens `dir` for listing: beneath the handle's root when it has one, else as a host path.
// A descriptor, or a status (errno is still the failed call's, for its text).
int open_listed_dir(const os_root* root, const char* dir) {
    if (root != nullptr) return os_root_opendir(root, dir);
    const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd >= 0 ? fd : os_errno_verr();
}

std::string parent_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return std::string();
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Whether the link `dir`/`name` with text `text` leads to a directory, every step resolved
// beneath `root` by its rules, so that neither a link's text nor ".." in it reaches out of the
// root (an absolute text starts at the root, or fails, as the root's mode says). `hops` links
// have been followed already.
bool link_leads_to_dir_beneath(const os_root* root, const std::string& dir, std::string text,
                               int hops) {
    std::string base = dir;
    for (int hop = hops; hop < kLinkHopsMax; ++hop) {
        std::string path =
            text.empty() || text[0] == '/' || base.empty() ? text : path_join_raw(base, text);
        struct stat st;
        if (os_root_lstat(root, path.c_str(), &st) != 0) return false;
        if (S_ISDIR(st.st_mode)) return true;
        if (!S_ISLNK(st.st_mode)) return false;
        char next[PL_MAX_PATH];
        if (os_root_readlink(root, path.c_str(), next, sizeof(next)) < 0) return false;
        base = parent_of(path);
        text = next;
    }
    return false;
}

// A link text that names an entry of the link's own directory: no "/", not "." or "..".
bool names_sibling(const char* text) {
    if (text[0] == '\0' || std::strchr(text, '/') != nullptr) return false;
    return !(text[0] == '.' && (text[1] == '\0' || (text[1] == '.' && text[2] == '\0')));
}

// The same question as link_leads_to_dir_beneath for the link `name` with text `text` of the
// directory open as `dir_fd`. Most links name an entry of their own directory; those steps are
// looked up through the open directory, which stays beneath the root and crosses no link, so
// the answer is the same at a third of the calls of a lookup from the root.
bool link_leads_to_dir(const os_root* root, int dir_fd, const char* dir, const char* text) {
    char next[PL_MAX_PATH];
    for (int hop = 0; hop < kLinkHopsMax; ++hop) {
        if (!names_sibling(text)) return link_leads_to_dir_beneath(root, dir, text, hop);
        struct stat st;
        if (fstatat(dir_fd, text, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
        if (S_ISDIR(st.st_mode)) return true;
        if (!S_ISLNK(st.st_mode)) return false;
        const ssize_t n = readlinkat(dir_fd, text, next, sizeof(next));
        if (n < 0 || static_cast<size_t>(n) >= sizeof(next)) return false;
        next[n] = '\0';
        text = next;
    }
    return false;
}

// Builds the listing line of the entry `name` (status `st`) of the directory open as `dir_fd`;
// the calls go through the directory's descriptor, so the kernel does not walk the whole path
// for each entry. Returns the line length, 0 when the entry vanished in the meantime (not an
// error: it is simply not there), or -1 with *failure set.
int format_entry(const librdir_handle* h, int dir_fd, const char* dir, const char* name,
                 const struct stat& st, char* line, uint32_t* type_out, verr* failure) {
    uint32_t type = S_ISDIR(st.st_mode) ? RDIR_TYPE_DIR : RDIR_TYPE_OTHER;
    uint64_t size = static_cast<uint64_t>(st.st_size);
    char link[PL_MAX_PATH];
    link[0] = '\0';
    if (S_ISLNK(st.st_mode)) {
        ssize_t n = readlinkat(dir_fd, name, link, sizeof(link));
        if (n < 0 || static_cast<size_t>(n) >= sizeof(link)) {
            int eno = n < 0 ? errno : ENAMETOOLONG;
            if (eno == ENOENT) return 0;
            RDIR_LOG(LOG_ERR | LOG_ERRNO,
                     "lstat [%s] eno=%d error: ", path_join_raw(dir, name).c_str(), eno);
            *failure = os_verr_get(eno);
            return -1;
        }
        link[n] = '\0';
        // A link's kind is its target's; a target that cannot be reached counts as "other", and
        // so does every link of a lister told that nobody reads the kind.
        bool to_dir = false;
        if (h->link_kinds && h->root != nullptr) {
            to_dir = link_leads_to_dir(h->root, dir_fd, dir, link);
        } else if (h->link_kinds) {
            struct stat target;
            to_dir = fstatat(dir_fd, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
        }
        type = RDIR_TYPE_LINK | (to_dir ? RDIR_TYPE_DIR : RDIR_TYPE_OTHER);
        size = 0;
    }
    rdir_entry entry{name,
                     link,
                     type,
                     st.st_mode,
                     st.st_uid,
                     st.st_gid,
                     size,
                     static_cast<int64_t>(st.st_atim.tv_sec),
                     static_cast<int64_t>(st.st_mtim.tv_sec),
                     static_cast<int64_t>(st.st_ctim.tv_sec)};
    *type_out = type;
    int n = stat_2_str(entry, line, RDIR_LINE_MAX);
    if (n < 0) {
        RDIR_LOG(LOG_ERR, "[%s] link text cannot be carried in a stat line, skipped\n",
                 path_join_raw(dir, name).c_str());
        *failure = kBadName;
        return -1;
    }
    return n;
}

// Whether the writer whose process id a temporary name carries still runs (a reused id only
// makes a stale temporary look alive).
bool temp_writer_runs(const char* name) {
    const uint32_t pid = rdir_temp_name_pid(name);
    return pid != 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// Lists the open directory entry by entry until it ends, fails or the handle is stopped.
void list_entries(librdir_handle* h, dir_reader& d, const char* dir, verr* failure) {
    const int dir_fd = d.fd();
    char line[RDIR_LINE_MAX];
    bool told_left_out = false;
    for (;;) {
        if (h->stopping.load(std::memory_order_relaxed)) {
            *failure = VERR_INTERRUPTED;
            return;
        }
        const char* name = d.next();
        if (name == nullptr) {
            if (errno != 0) {
                int eno = errno;
                RDIR_LOG(LOG_ERR | LOG_ERRNO, "readdir [%s] eno=%d error: ", dir, eno);
                if (*failure == 0) *failure = os_verr_get(eno);
                if (*failure == 0) *failure = VERR_GENERAL_FAILURE;
            }
            return;
        }
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
            continue;
        }
        // The writer's own unfinished files are not content of the tree.
        if (rdir_temp_name_is(name) && (!h->list_stale_temps || temp_writer_runs(name))) continue;
        if (rdir_text_breaks_line(name)) {
            // No escape exists for these bytes; the listing is reported incomplete so that
            // nobody takes the missing entry for a deleted one.
            RDIR_LOG(LOG_ERR, "[%s] entry name holds a tab or line break, skipped\n", dir);
            if (*failure == 0) *failure = kBadName;
            continue;
        }
        struct stat st;
        if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            int eno = errno;
            if (eno == ENOENT) continue;
            RDIR_LOG(LOG_ERR | LOG_ERRNO,
                     "lstat [%s] eno=%d error: ", path_join_raw(dir, name).c_str(), eno);
            if (*failure == 0) *failure = os_verr_get(eno);
            continue;
        }
        if (h->skip_dir && static_cast<uint64_t>(st.st_dev) == h->skip_dev &&
            static_cast<uint64_t>(st.st_ino) == h->skip_ino) {
            if (!told_left_out) {
                RDIR_LOG(LOG_WARN, "[%s] left out: it is the other end of the job",
                         path_join_raw(dir, name).c_str());
                told_left_out = true;
            }
            continue;
        }
        verr entry_failure = 0;
        uint32_t type = 0;
        int n = format_entry(h, dir_fd, dir, name, st, line, &type, &entry_failure);
        if (n < 0 && *failure == 0) *failure = entry_failure;
        const int64_t now = coarse_now_ms();
        if (n > 0) {
            put_line(h, rdir_type_is_dir(type) ? DIRS : FILES, line, static_cast<size_t>(n), now,
                     failure);
        }
        hand_over_due(h, now, failure);
    }
}

// Ends both streams of the listing with the marker of `failure`, files first (a reader serves
// the files stream first).
void finish_listing(librdir_handle* h, verr failure) {
    char marker[32];
    // Lines that would leave no room for the marker go first, so that the status the marker
    // reports includes their fate.
    for (int s : {FILES, DIRS}) {
        if (h->out[s].used + sizeof(marker) > kBlockMax) hand_over(h, s, &failure);
    }
    // The last blocks wait for room like any other. Once the handle is stopped they go
    // regardless (only then may a stream hold one block more than its bound), so that whoever
    // still reads sees the listing end. Both go in one step, with one wake-up of the reader.
    for (int s : {FILES, DIRS}) wait_for_room(h, s, h->out[s].used + sizeof(marker));
    if (h->stopping.load()) failure = VERR_INTERRUPTED;
    h->status = failure;
    int n = std::snprintf(marker, sizeof(marker), RDIR_END_MARK_FMT, static_cast<int>(failure));
    ready_block last[2];
    bool queued[2];
    for (int s : {FILES, DIRS}) {
        block_buffer& out = h->out[s];
        std::memcpy(out.data.get() + out.used, marker, static_cast<size_t>(n));
        out.used += static_cast<size_t>(n);
        queued[s] = copy_block(out.data.get(), out.used, &last[s]);
        out.used = 0;
    }
    {
        std::lock_guard lock(h->mutex);
        for (int s : {FILES, DIRS}) {
            if (queued[s]) queued[s] = queue_block(h, s, std::move(last[s]));
        }
    }
    h->to_reader.notify();
    for (int s : {FILES, DIRS}) {
        if (!queued[s]) RDIR_LOG(LOG_ERR, "qbuf_write_timeout end marker failed\n");
    }
}

void list_dir(librdir_handle* h, const char* dir) {
    h->state.exchange(STATE_LISTING);
    RDIR_LOG(LOG_VERB, "dir=%s", dir);

    verr failure = 0;
    if (h->stopping.load()) {
        failure = VERR_INTERRUPTED;
    } else if (int fd = open_listed_dir(h->root, dir); fd < 0) {
        failure = fd;
        RDIR_LOG(LOG_ERR, "opendir [%s] veno=%d %s\n", dir, failure, verr2str(failure));
    } else {
        if (!h->dir_buffer) h->dir_buffer.reset(new (std::nothrow) char[kDirBufferSize]);
        if (!h->dir_buffer) {
            close(fd);
            failure = VERR_NO_MEMORY;
            RDIR_LOG(LOG_ERR, "opendir [%s] veno=%d %s\n", dir, failure, verr2str(failure));
        } else {
            dir_reader d(fd, h->dir_buffer.get());
            list_entries(h, d, dir, &failure);
        }
    }
    finish_listing(h, failure);
    h->state.exchange(STATE_DONE);
}

// The lister's thread: runs the posted listings one after another, in posting order, until the
// handle is closed.
void lister_main(librdir_handle* h) {
    static constexpr char kName[] = "rdir_cmder";
    pthread_setname_np(pthread_self(), kName);
    os_thread_name_set(kName);
    for (;;) {
        const uint32_t seen = h->to_post.prepare();
        std::string dir;
        bool have = false;
        bool closing = false;
        {
            std::lock_guard lock(h->mutex);
            if (!h->posted.empty()) {
                dir = std::move(h->posted.front());
                h->posted.pop_front();
                h->posted_bytes -= dir.size();
                have = true;
            }
            closing = h->closing;
        }
        if (!have) {
            if (closing) {
                h->to_post.cancel();
                break;
            }
            h->to_post.wait(seen, kIdleCheckMs);
            continue;
        }
        h->to_post.cancel();
        list_dir(h, dir.c_str());
    }
    os_thread_name_del();
}

}  // namespace

librdir_handle* librdir_open(const char* dir, const librdir_param* param) {
    librdir_param defaults;
    if (param == nullptr) param = &defaults;
    if (dir == nullptr) {
        ERR_INFO_SET(param->err, VERR_INVALID_PARAMETER, "no directory");
        return nullptr;
    }
    RDIR_LOG(LOG_DBG, "dir=%s flag=%d", dir, param->flag);

    // Probe first so that a missing directory fails here, with its own reason.
    const int probe = open_listed_dir(param->root, dir);
    if (probe < 0) {
        ERR_INFO_SET(param->err, probe, "opendir [%s] error: %s", dir, os_strerror(errno));
        return nullptr;
    }
    close(probe);

    std::unique_ptr<librdir_handle> h(new (std::nothrow) librdir_handle);
    if (!h) {
        ERR_INFO_SET(param->err, VERR_NO_MEMORY, nullptr);
        return nullptr;
    }
    try {
        h->dir = dir;
    } catch (const std::bad_alloc&) {
        ERR_INFO_SET(param->err, VERR_NO_MEMORY, nullptr);
        return nullptr;
    }
    h->read_timeout_ms =
        param->read_timeout_ms > 0 ? param->read_timeout_ms : kDefaultReadTimeoutMs;
    h->root = param->root;
    h->skip_dir = param->skip_dir;
    h->skip_dev = param->skip_dev;
    h->skip_ino = param->skip_ino;
    h->link_kinds = param->link_kinds;
    h->list_stale_temps = param->list_stale_temps;
    for (int s : {FILES, DIRS}) {
        if (!make_block(&h->out[s])) {
            RDIR_LOG(LOG_ERR, "qbuf_init failed\n");
            ERR_INFO_SET(param->err, VERR_NO_MEMORY, nullptr);
            return nullptr;
        }
    }
    try {
        h->thread = std::thread(lister_main, h.get());
    } catch (const std::system_error&) {
        RDIR_LOG(LOG_ERR, "cmder_init failed\n");
        ERR_INFO_SET(param->err, VERR_NO_MEMORY, "cmder_init failed");
        return nullptr;
    }
    int ret = librdir_enum_dir(h.get(), dir);
    if (ret < 0) {
        ERR_INFO_SET(param->err, VERR_GENERAL_FAILURE, "cmder_post_msg3 failed");
        librdir_close(h.release());
        return nullptr;
    }
    return h.release();
}

int librdir_enum_dir(librdir_handle* h, const char* dir) {
    if (!DV_ASSERT("rdir", h != nullptr) || dir == nullptr) return -1;
    bool posted = false;
    {
        std::lock_guard lock(h->mutex);
        if (!h->closing) {
            try {
                h->posted.emplace_back(dir);
                h->posted_bytes += h->posted.back().size();
                posted = true;
            } catch (const std::bad_alloc&) {
            }
        }
    }
    if (!posted) {
        RDIR_LOG(LOG_ERR, "cmder_post_msg3 failed\n");
        return VERR_NO_MEMORY;
    }
    h->to_post.notify();
    return 0;
}

namespace {

// Takes the next block of stream `s` into `in`; false when none is there.
bool take_block(librdir_handle* h, int s, block_buffer* in) {
    {
        std::lock_guard lock(h->mutex);
        if (h->ready[s].empty()) return false;
        ready_block& block = h->ready[s].front();
        in->data = std::move(block.data);
        in->used = block.length;
        h->ready_bytes[s] -= block.length;
        h->ready[s].pop_front();
    }
    in->taken = 0;
    h->to_room.notify();
    return true;
}

// Whether a block of a stream still to be read is there, or the handle is stopped.
bool worth_reading(const librdir_handle* h) {
    if (h->stopping.load()) return true;
    std::lock_guard lock(h->mutex);
    return (!h->ended[FILES] && !h->ready[FILES].empty()) ||
           (!h->ended[DIRS] && !h->ready[DIRS].empty());
}

// Moves whole lines of stream `s`, and its end marker when it comes, into `out` (`room` bytes).
// Blocks are taken from the queue as needed; what does not fit stays for the next read. Returns
// the bytes placed; sets the stream's end flag when they end with the end marker.
int take_lines(librdir_handle* h, int s, char* out, size_t room) {
    block_buffer* in = &h->in[s];
    size_t placed = 0;
    for (;;) {
        if (in->taken == in->used && !take_block(h, s, in)) return static_cast<int>(placed);
        const char* rest = in->data.get() + in->taken;
        const size_t rest_len = in->used - in->taken;
        const size_t free_room = room - placed;
        // Lines never hold a carriage return, and an end marker only ever ends its block: a
        // look at the block's last bytes finds it.
        const size_t tail = std::min(rest_len, kMarkerMax);
        const char* cr =
            static_cast<const char*>(memrchr(rest + rest_len - tail, RDIR_END_MARK, tail));
        const size_t lines_len = cr != nullptr ? static_cast<size_t>(cr - rest) : rest_len;
        size_t take = lines_len;
        if (take > free_room) {
            const void* nl = memrchr(rest, RDIR_LINE_SEP, free_room);
            take = nl != nullptr ? static_cast<size_t>(static_cast<const char*>(nl) - rest) + 1 : 0;
        }
        if (take == 0 && lines_len > 0) {
            if (placed == 0) {
                const void* nl = std::memchr(rest, RDIR_LINE_SEP, lines_len);
                size_t line = nl != nullptr
                                  ? static_cast<size_t>(static_cast<const char*>(nl) - rest) + 1
                                  : lines_len;
                RDIR_LOG(LOG_ERR, "len=%u blen=%u len must >= blen", static_cast<unsigned>(room),
                         static_cast<unsigned>(line));
            }
            return static_cast<int>(placed);
        }
        std::memcpy(out + placed, rest, take);
        placed += take;
        in->taken += take;
        if (take < lines_len) return static_cast<int>(placed);
        if (cr != nullptr) {
            const size_t marker_len = rest_len - lines_len;
            if (marker_len > room - placed) {
                if (placed == 0) {
                    RDIR_LOG(LOG_ERR, "len=%u blen=%u len must >= blen",
                             static_cast<unsigned>(room), static_cast<unsigned>(marker_len));
                }
                return static_cast<int>(placed);
            }
            std::memcpy(out + placed, cr, marker_len);
            placed += marker_len;
            in->taken += marker_len;
            h->ended[s] = true;
            return static_cast<int>(placed);
        }
    }
}

}  // namespace

int librdir_read_item_list(librdir_handle* h, char* buf, int len) {
    if (!DV_ASSERT("rdir", h != nullptr) || buf == nullptr || len < 2) return 0;
    int64_t start = now_ms();
    if (h->ended[FILES] && h->ended[DIRS]) {
        h->ended[FILES] = false;
        h->ended[DIRS] = false;
    }
    for (int pass = 0;; ++pass) {
        const bool stopped = h->stopping.load();
        int64_t left = h->read_timeout_ms - (now_ms() - start);
        if (left < 0) left = 0;
        // One wait per pass, for a block of either stream still open. From the third pass on, the
        // lister hands over what it has as soon as it sees the reader waiting.
        int wait = 0;
        if (!stopped && pass > 0) {
            wait =
                static_cast<int>(std::min<int64_t>(left, pass == 1 ? kQuietWaitMs : kPollWaitMs));
        }
        if (wait > 0) {
            const uint32_t seen = h->to_reader.prepare();
            if (pass > 1) h->reader_waiting.store(true);
            if (worth_reading(h)) {
                h->to_reader.cancel();
            } else {
                h->to_reader.wait(seen, wait);
            }
        }
        // Files are served first.
        for (int s : {FILES, DIRS}) {
            if (h->ended[s]) continue;
            int n = take_lines(h, s, buf + 1, static_cast<size_t>(len - 1));
            if (n > 0) {
                h->reader_waiting.store(false, std::memory_order_relaxed);
                buf[0] = s == FILES ? RDIR_STREAM_FILES : RDIR_STREAM_DIRS;
                return n + 1;
            }
        }
        h->reader_waiting.store(false, std::memory_order_relaxed);
        if (stopped) return 0;
        if (now_ms() - start >= h->read_timeout_ms) {
            RDIR_LOG(LOG_DBG, "readdir data timeout=%d\n", h->read_timeout_ms);
            return 0;
        }
    }
}

void librdir_stop(librdir_handle* h) {
    if (h == nullptr) return;
    {
        std::lock_guard lock(h->mutex);
        h->stopping.store(true);
    }
    h->to_reader.notify();
    h->to_room.notify();
    h->to_post.notify();
}

uint32_t librdir_queued_blocks(const librdir_handle* h, char stream) {
    if (h == nullptr) return 0;
    std::lock_guard lock(h->mutex);
    return static_cast<uint32_t>(h->ready[stream == RDIR_STREAM_DIRS ? DIRS : FILES].size());
}

size_t librdir_posted_bytes(const librdir_handle* h) {
    if (h == nullptr) return 0;
    std::lock_guard lock(h->mutex);
    return h->posted_bytes;
}

size_t librdir_queued_bytes(const librdir_handle* h, char stream) {
    if (h == nullptr) return 0;
    std::lock_guard lock(h->mutex);
    return h->ready_bytes[stream == RDIR_STREAM_DIRS ? DIRS : FILES];
}

void librdir_close(librdir_handle* h) {
    if (h == nullptr) return;
    if (h->thread.joinable()) {
        // Nobody reads any more: a listing that waits for room would wait for ever. What is
        // still posted ends at once.
        librdir_stop(h);
        {
            std::lock_guard lock(h->mutex);
            h->closing = true;
        }
        h->to_post.notify();
        h->thread.join();
    }
    delete h;
}
