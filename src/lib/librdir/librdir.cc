#include "librdir/librdir.h"

#include <dirent.h>

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
#include "libpal/os_fs.h"
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

int is_end_marker(const char* data, uint32_t length) {
    return length > 0 && data[0] == RDIR_END_MARK ? 1 : 0;
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
    // Reader side only.
    bool dirs_end = false;
    bool files_end = false;
};

namespace {

// Queues one block; a failure is logged and remembered as the listing's status.
void put_line(librdir_handle* h, qbuf* q, const char* line, int length, verr* failure) {
    if (qbuf_write_timeout(q, line, static_cast<uint32_t>(length), h->write_timeout_ms) != 0) {
        RDIR_LOG(LOG_ERR, "qbuf_write_timeout hqbuf_file failed\n");
        if (*failure == 0) *failure = VERR_NO_MEMORY;
    }
}

// Builds the listing line of one entry. Returns the line length, 0 when the entry vanished in the
// meantime (not an error: it is simply not there), or -1 with *failure set.
int format_entry(const std::string& path, const char* name, char* line, uint32_t* type_out,
                 verr* failure) {
    struct os_stat st;
    if (os_lstat_ex_raw(path.c_str(), OS_LSTAT_LINK_RAW, &st) != 0) {
        int eno = errno;
        if (eno == ENOENT) return 0;
        RDIR_LOG(LOG_ERR | LOG_ERRNO, "lstat [%s] eno=%d error: ", path.c_str(), eno);
        *failure = os_verr_get(eno);
        return -1;
    }
    uint32_t type = st.type;
    uint64_t size = st.size;
    if ((type & RDIR_TYPE_LINK) != 0) {
        // A link's kind is its target's; a target that cannot be reached counts as "other".
        struct os_stat target;
        uint32_t kind = RDIR_TYPE_OTHER;
        if (os_stat_raw(path.c_str(), &target) == 0 && (target.type & RDIR_TYPE_LINK) == 0) {
            kind = target.type & RDIR_TYPE_KIND_MASK;
        }
        type = RDIR_TYPE_LINK | kind;
        size = 0;
    }
    rdir_entry entry{name,   st.link, type,         st.mode,      st.uid,
                     st.gid, size,    st.atime.sec, st.mtime.sec, st.ctime.sec};
    *type_out = type;
    int n = stat_2_str(entry, line, RDIR_LINE_MAX);
    if (n < 0) {
        RDIR_LOG(LOG_ERR, "[%s] link text cannot be carried in a stat line, skipped\n",
                 path.c_str());
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
        auto line = std::make_unique<char[]>(RDIR_LINE_MAX);
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
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
            if (rdir_text_breaks_line(name)) {
                // No escape exists for these bytes; the listing is reported incomplete so that
                // nobody takes the missing entry for a deleted one.
                RDIR_LOG(LOG_ERR, "[%s] entry name holds a tab or line break, skipped\n", dir);
                if (failure == 0) failure = kBadName;
                continue;
            }
            verr entry_failure = 0;
            uint32_t type = 0;
            int n = format_entry(path_join_raw(dir, name), name, line.get(), &type, &entry_failure);
            if (n < 0) {
                if (failure == 0) failure = entry_failure;
                continue;
            }
            if (n == 0) continue;
            put_line(h, rdir_type_is_dir(type) ? h->dirs.get() : h->files.get(), line.get(), n,
                     &failure);
        }
    }
    h->status = failure;

    char marker[32];
    int n = std::snprintf(marker, sizeof(marker), RDIR_END_MARK_FMT, static_cast<int>(failure));
    for (qbuf* q : {h->files.get(), h->dirs.get()}) {
        if (qbuf_write_timeout(q, marker, static_cast<uint32_t>(n), h->write_timeout_ms) != 0) {
            RDIR_LOG(LOG_ERR, "qbuf_write_timeout end marker failed\n");
        }
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
    if (!h->files || !h->dirs) {
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

int librdir_read_item_list(librdir_handle* h, char* buf, int len) {
    if (!DV_ASSERT("rdir", h != nullptr) || buf == nullptr || len < 2) return 0;
    int64_t start = now_ms();
    if (h->files_end && h->dirs_end) {
        h->files_end = false;
        h->dirs_end = false;
    }
    struct stream {
        qbuf* q;
        bool* end;
        char prefix;
    };
    const stream streams[] = {{h->files.get(), &h->files_end, RDIR_STREAM_FILES},
                              {h->dirs.get(), &h->dirs_end, RDIR_STREAM_DIRS}};
    for (int pass = 0;; ++pass) {
        int64_t left = h->read_timeout_ms - (now_ms() - start);
        // One wait per pass, on the first stream still open: files are served first.
        int wait = pass == 0
                       ? 0
                       : static_cast<int>(left < kPollWaitMs ? (left > 0 ? left : 0) : kPollWaitMs);
        for (const stream& s : streams) {
            if (*s.end) continue;
            int end_flag = 0;
            int n = qbuf_read_until(s.q, buf + 1, static_cast<uint32_t>(len - 1), wait,
                                    is_end_marker, &end_flag);
            wait = 0;
            if (end_flag != 0) *s.end = true;
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
