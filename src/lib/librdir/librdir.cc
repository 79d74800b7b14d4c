#include "librdir/librdir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "liblog/log2.h"
#include "libpal/cmder.h"
#include "libpal/queue.h"
#include "libpal/url.h"
#include "librdir/misc.h"
#include "librdir/mstat.h"
#include "librdir/stat_line.h"

#define RDIR_LOG(level, ...) DV_LOG("rdir", level, __VA_ARGS__)

namespace {

constexpr int kDefaultReadTimeoutMs = 3000;
constexpr int kWriteTimeoutMs = 5000;
constexpr int kPostTimeoutMs = 1000;
constexpr int kPollWaitMs = 500;
constexpr uint32_t kCmdList = 1;
// Lines travel in blocks of up to this many bytes: one hand-over, and at most one wake-up of the
// reader, per block instead of per line. A block always holds whole lines, and a stream's end
// marker only ever comes last in its block.
constexpr size_t kBlockMax = 32 * 1024;
static_assert(kBlockMax >= RDIR_LINE_MAX + 32, "a block must hold the longest line and a marker");
// Status of a listing that had to skip an entry whose name cannot be carried in a line.
constexpr verr kBadName = -104;

enum : int { STATE_IDLE = 0, STATE_LISTING = 1, STATE_DONE = 2 };

struct dir_closer {
    void operator()(DIR* d) const { closedir(d); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

struct qbuf_closer {
    void operator()(qbuf* q) const { qbuf_exit(q); }
};
using qbuf_ptr = std::unique_ptr<qbuf, qbuf_closer>;

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A block buffer of kBlockMax bytes.
struct block_buffer {
    std::unique_ptr<char[]> data;
    size_t used = 0;   // writer: bytes gathered; reader: bytes of the block taken from the queue
    size_t taken = 0;  // reader only: bytes already handed to the caller
};

bool make_block(block_buffer* b) {
    b->data.reset(new (std::nothrow) char[kBlockMax]);
    return b->data != nullptr;
}

}  // namespace

struct librdir_handle {
    std::string dir;
    int read_timeout_ms = kDefaultReadTimeoutMs;
    int write_timeout_ms = kWriteTimeoutMs;
    err_info* err = nullptr;
    qbuf_ptr dirs;
    qbuf_ptr files;
    cmder* cmd = nullptr;
    std::atomic<int> state{STATE_IDLE};
    verr status = 0;  // written and read on the command thread only
    // Command thread only: the lines of each stream not yet handed over.
    block_buffer files_out;
    block_buffer dirs_out;
    // Reader side only.
    bool dirs_end = false;
    bool files_end = false;
    block_buffer files_in;  // the block being handed out, line by line
    block_buffer dirs_in;
};

namespace {

// Hands the gathered lines over as one block; a failure is logged and remembered as the
// listing's status (the lines are lost).
void flush_block(librdir_handle* h, qbuf* q, block_buffer* out, const char* what, verr* failure) {
    if (out->used == 0) return;
    if (qbuf_write_timeout(q, out->data.get(), static_cast<uint32_t>(out->used),
                           h->write_timeout_ms) != 0) {
        RDIR_LOG(LOG_ERR, "%s", what);
        if (*failure == 0) *failure = VERR_NO_MEMORY;
    }
    out->used = 0;
}

// Adds one line (or the end marker) to a stream's block, handing the block over first when the
// text would not fit behind what it holds.
void put_line(librdir_handle* h, qbuf* q, block_buffer* out, const char* line, size_t length,
              verr* failure) {
    if (out->used + length > kBlockMax) {
        flush_block(h, q, out, "qbuf_write_timeout hqbuf_file failed\n", failure);
    }
    std::memcpy(out->data.get() + out->used, line, length);
    out->used += length;
}

// Builds the listing line of the entry `name` of the directory open as `dir_fd`; the status calls
// go through the directory's descriptor, so the kernel does not walk the whole path for each
// entry. Returns the line length, 0 when the entry vanished in the meantime (not an error: it is
// simply not there), or -1 with *failure set.
int format_entry(int dir_fd, const char* dir, const char* name, char* line, uint32_t* type_out,
                 verr* failure) {
    struct stat st;
    if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        int eno = errno;
        if (eno == ENOENT) return 0;
        RDIR_LOG(LOG_ERR | LOG_ERRNO, "lstat [%s] eno=%d error: ", path_join_raw(dir, name).c_str(),
                 eno);
        *failure = os_verr_get(eno);
        return -1;
    }
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
        // A link's kind is its target's; a target that cannot be reached counts as "other".
        struct stat target;
        uint32_t kind = RDIR_TYPE_OTHER;
        if (fstatat(dir_fd, name, &target, 0) == 0 && S_ISDIR(target.st_mode)) {
            kind = RDIR_TYPE_DIR;
        }
        type = RDIR_TYPE_LINK | kind;
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

void list_dir(librdir_handle* h, const char* dir) {
    h->state.exchange(STATE_LISTING);
    RDIR_LOG(LOG_VERB, "dir=%s", dir);

    verr failure = 0;
    dir_ptr d(opendir(dir));
    if (!d) {
        int eno = errno;
        failure = os_verr_get(eno);
        if (failure == 0) failure = VERR_GENERAL_FAILURE;
        RDIR_LOG(LOG_ERR, "opendir [%s] veno=%d %s\n", dir, failure, verr2str(failure));
    } else {
        const int dir_fd = dirfd(d.get());
        char line[RDIR_LINE_MAX];
        for (;;) {
            errno = 0;
            struct dirent* de = readdir(d.get());
            if (de == nullptr) {
                if (errno != 0) {
                    int eno = errno;
                    RDIR_LOG(LOG_ERR | LOG_ERRNO, "readdir [%s] eno=%d error: ", dir, eno);
                    if (failure == 0) failure = os_verr_get(eno);
                    if (failure == 0) failure = VERR_GENERAL_FAILURE;
                }
                break;
            }
            const char* name = de->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
                continue;
            }
            if (rdir_text_breaks_line(name)) {
                // No escape exists for these bytes; the listing is reported incomplete so that
                // nobody takes the missing entry for a deleted one.
                RDIR_LOG(LOG_ERR, "[%s] entry name holds a tab or line break, skipped\n", dir);
                if (failure == 0) failure = kBadName;
                continue;
            }
            verr entry_failure = 0;
            uint32_t type = 0;
            int n = format_entry(dir_fd, dir, name, line, &type, &entry_failure);
            if (n < 0) {
                if (failure == 0) failure = entry_failure;
                continue;
            }
            if (n == 0) continue;
            if (rdir_type_is_dir(type)) {
                put_line(h, h->dirs.get(), &h->dirs_out, line, static_cast<size_t>(n), &failure);
            } else {
                put_line(h, h->files.get(), &h->files_out, line, static_cast<size_t>(n), &failure);
            }
        }
    }
    // Each stream's last block carries its end marker. Lines that would leave no room for it go
    // first, so that the status the marker reports includes their fate.
    char marker[32];
    for (auto [q, out] :
         {std::pair{h->files.get(), &h->files_out}, std::pair{h->dirs.get(), &h->dirs_out}}) {
        if (out->used + sizeof(marker) > kBlockMax) {
            flush_block(h, q, out, "qbuf_write_timeout hqbuf_file failed\n", &failure);
        }
    }
    h->status = failure;
    int n = std::snprintf(marker, sizeof(marker), RDIR_END_MARK_FMT, static_cast<int>(failure));
    // Files first: a reader serves the files stream first.
    for (auto [q, out] :
         {std::pair{h->files.get(), &h->files_out}, std::pair{h->dirs.get(), &h->dirs_out}}) {
        verr lost = 0;
        put_line(h, q, out, marker, static_cast<size_t>(n), &lost);
        flush_block(h, q, out, "qbuf_write_timeout end marker failed\n", &lost);
    }
    d.reset();
    h->state.exchange(STATE_DONE);
}

int dispatch(uint32_t id, void* data, cmder_call* call) {
    auto* h = static_cast<librdir_handle*>(call->user);
    if (id != kCmdList || h == nullptr || data == nullptr || call->data_len == 0) return 0;
    const char* text = static_cast<const char*>(data);
    // The path is the posted text up to its terminator, never beyond the message.
    if (std::memchr(text, '\0', call->data_len) == nullptr) return 0;
    list_dir(h, text);
    return 0;
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
    {
        dir_ptr probe(opendir(dir));
        if (!probe) {
            int eno = errno;
            verr code = os_verr_get(eno);
            if (code == 0) code = VERR_GENERAL_FAILURE;
            ERR_INFO_SET(param->err, code, "opendir [%s] error: %s", dir, os_strerror(eno));
            return nullptr;
        }
    }

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
    h->err = param->err;
    h->files.reset(qbuf_init(0));
    h->dirs.reset(qbuf_init(0));
    if (!h->files || !h->dirs || !make_block(&h->files_out) || !make_block(&h->dirs_out) ||
        !make_block(&h->files_in) || !make_block(&h->dirs_in)) {
        RDIR_LOG(LOG_ERR, "qbuf_init failed\n");
        ERR_INFO_SET(param->err, VERR_NO_MEMORY, nullptr);
        return nullptr;
    }
    cmder_conf conf{};
    conf.user = h.get();
    conf.queue_max = 0;
    conf.timer_interval_ms = 1000;
    conf.name = "rdir_cmder";
    conf.msg_proc = dispatch;
    h->cmd = cmder_init(&conf);
    if (h->cmd == nullptr) {
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
    int ret = cmder_post_str(h->cmd, kCmdList, dir, nullptr, kPostTimeoutMs);
    if (ret < 0) {
        RDIR_LOG(LOG_ERR, "cmder_post_msg3 failed\n");
        return ret;
    }
    return 0;
}

namespace {

// Moves whole lines of one stream, and its end marker when it comes, into `out` (`room` bytes).
// Blocks are taken from the queue as needed, waiting up to `wait_ms` for the first one only; what
// does not fit stays for the next read. Returns the bytes placed; *end is set when they end with
// the end marker.
int take_lines(qbuf* q, block_buffer* in, char* out, size_t room, int wait_ms, bool* end) {
    size_t placed = 0;
    for (;;) {
        if (in->taken == in->used) {
            int n = qbuf_read(q, in->data.get(), static_cast<uint32_t>(kBlockMax),
                              placed == 0 ? wait_ms : 0);
            if (n <= 0) return static_cast<int>(placed);
            in->used = static_cast<size_t>(n);
            in->taken = 0;
        }
        const char* rest = in->data.get() + in->taken;
        const size_t rest_len = in->used - in->taken;
        const size_t free_room = room - placed;
        // Lines never hold a carriage return: the first one starts the end marker.
        const char* cr = static_cast<const char*>(std::memchr(rest, RDIR_END_MARK, rest_len));
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
            *end = true;
            return static_cast<int>(placed);
        }
    }
}

}  // namespace

int librdir_read_item_list(librdir_handle* h, char* buf, int len) {
    if (!DV_ASSERT("rdir", h != nullptr) || buf == nullptr || len < 2) return 0;
    int64_t start = now_ms();
    if (h->files_end && h->dirs_end) {
        h->files_end = false;
        h->dirs_end = false;
    }
    struct stream {
        qbuf* q;
        block_buffer* in;
        bool* end;
        char prefix;
    };
    const stream streams[] = {{h->files.get(), &h->files_in, &h->files_end, RDIR_STREAM_FILES},
                              {h->dirs.get(), &h->dirs_in, &h->dirs_end, RDIR_STREAM_DIRS}};
    for (int pass = 0;; ++pass) {
        int64_t left = h->read_timeout_ms - (now_ms() - start);
        // One wait per pass, on the first stream still open: files are served first.
        int wait = pass == 0
                       ? 0
                       : static_cast<int>(left < kPollWaitMs ? (left > 0 ? left : 0) : kPollWaitMs);
        for (const stream& s : streams) {
            if (*s.end) continue;
            int n = take_lines(s.q, s.in, buf + 1, static_cast<size_t>(len - 1), wait, s.end);
            wait = 0;
            if (n > 0) {
                buf[0] = s.prefix;
                return n + 1;
            }
        }
        if (now_ms() - start >= h->read_timeout_ms) {
            RDIR_LOG(LOG_DBG, "readdir data timeout=%d\n", h->read_timeout_ms);
            return 0;
        }
    }
}

void librdir_close(librdir_handle* h) {
    if (h == nullptr) return;
    if (h->cmd != nullptr) {
        while (cmder_wait_idle(h->cmd, 1000) != 0) {
        }
        cmder_exit(h->cmd);
        h->cmd = nullptr;
    }
    delete h;
}
