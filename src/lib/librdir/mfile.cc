#include "librdir/mfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "liblog/log2.h"
#include "libpal/cmder.h"
#include "libpal/os_fs.h"
#include "libpal/os_root.h"
#include "libpal/queue.h"
#include "libpal/url.h"
#include "librdir/dst_writer.h"
#include "librdir/misc.h"
#include "librdir/temp_name.h"

#define RDIR_LOG(level, ...) DV_LOG("rdir", level, __VA_ARGS__)

namespace {

constexpr int kPostTimeoutMs = 1000;
constexpr int kResultWriteTimeoutMs = 100;
// Result blocks queued at most; the worker waits for the reader beyond that.
constexpr uint32_t kResultBlocksMax = 64;
// Answers of a command sent in one block at most (the last block of a command may hold fewer).
constexpr uint32_t kAnswersPerBlock = 64;
constexpr int kPollWaitMs = 500;
// A list entry whose name is unusable: it would leave the base, or there is no base at all.
constexpr verr kBadName = -104;

enum : int { STATE_IDLE = 0, STATE_RUNNING = 1, STATE_DONE = 2 };

struct qbuf_closer {
    void operator()(qbuf* q) const { qbuf_exit(q); }
};
struct dir_closer {
    void operator()(DIR* d) const { closedir(d); }
};
struct root_closer {
    void operator()(os_root* r) const { os_root_close(r); }
};

// An assertion with its own text, logged the way DV_ASSERT logs.
#define RDIR_ASSERT(expr, text) \
    (static_cast<bool>(expr) || log2_assert_fail("rdir", (text), __FILE__, __LINE__, __func__))

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Whole blocks of zeros are left as holes, so that a sparse file sent in a batch stays sparse.
constexpr size_t kHoleBlock = 4096;

bool all_zero(const uint8_t* p, size_t n) {
    return n > 0 && p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0;
}

bool is_hole(const uint8_t* data, size_t off, size_t size) {
    return size - off >= kHoleBlock && all_zero(data + off, kHoleBlock);
}

// Writes `size` bytes of `data` into the new, empty file `fd`: runs of data with pwrite, whole
// zero blocks skipped, the size set at the end. 0 or a status, errno naming the failure.
verr write_sparse(int fd, const uint8_t* data, size_t size) {
    bool holes = false;
    size_t off = 0;
    while (off < size) {
        if (is_hole(data, off, size)) {
            holes = true;
            off += kHoleBlock;
            continue;
        }
        size_t end = off;
        do {
            end += std::min(kHoleBlock, size - end);
        } while (end < size && !is_hole(data, end, size));
        while (off < end) {
            ssize_t n = ::pwrite(fd, data + off, end - off, static_cast<off_t>(off));
            if (n < 0 && errno == EINTR) continue;
            if (n == 0) errno = ENOSPC;
            if (n <= 0) return os_errno_verr();
            off += static_cast<size_t>(n);
        }
    }
    if (holes && ::ftruncate(fd, static_cast<off_t>(size)) != 0) return os_errno_verr();
    return 0;
}

int is_end_block(const char* data, uint32_t length) {
    return length == 1 && data[0] == MFILE_END_BLOCK ? 1 : 0;
}

verr errno_status(int eno) {
    verr code = os_verr_get(eno);
    return code != 0 ? code : VERR_GENERAL_FAILURE;
}

// No base directory to write into: a missing file, errno ENOENT for the log line.
verr no_base() {
    errno = ENOENT;
    return VERR_FILE_NOT_FOUND;
}

void put_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint32_t get_be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Calls fn(line) for each "\n"-separated line of `list`; fn returns false to end the walk. An
// empty list has no lines; a trailing newline gives a last, empty line.
template <typename Fn>
void for_each_line(std::string_view list, Fn fn) {
    if (list.empty()) return;
    for (;;) {
        size_t nl = list.find(RDIR_LINE_SEP);
        if (!fn(list.substr(0, nl))) return;
        if (nl == std::string_view::npos) return;
        list.remove_prefix(nl + 1);
    }
}

}  // namespace

struct libmfile_handle {
    std::unique_ptr<uint8_t[]> buffer;  // head room of 4 bytes, then file contents
    uint32_t max_mfile_size = 0;
    int list_timeout_ms = 0;
    const os_root* root = nullptr;  // borrowed; null: bases are host paths
    bool has_policy = false;        // a server's: records pass through `policy`
    rdir_attr_policy policy;
    // Command thread only: the base and, opened when a command first needs it, the handle every
    // entry is resolved beneath without following links.
    std::string base;
    std::unique_ptr<os_root, root_closer> base_root;
    bool base_tried = false;
    bool base_made = false;      // a missing base was made (or tried) for a write
    bool temps_cleaned = false;  // stale temporaries of the base were removed
    std::string posted_base;     // caller thread only: for its log lines
    cmder* cmd = nullptr;
    std::unique_ptr<qbuf, qbuf_closer> results;
    std::atomic<int> state{STATE_IDLE};
    // Set by libmfile_stop / libmfile_close: a worker waiting for room in the results gives up.
    std::atomic<bool> stopping{false};
    // Bytes of the commands posted and not yet run to their end.
    std::atomic<uint64_t> pending_bytes{0};
};

namespace {

class worker final {
  public:
    explicit worker(libmfile_handle* h) : h_(h) {}
    worker(const worker&) = delete;
    worker& operator=(const worker&) = delete;

    void run(uint32_t cmd, std::string_view list) {
        h_->state.exchange(STATE_RUNNING);
        switch (cmd) {
            case MFILE_CMD_READ:
                read_files(list);
                break;
            case MFILE_CMD_MKDIR:
                create_dirs(list);
                break;
            case MFILE_CMD_WRITE:
                write_files(list);
                break;
            case MFILE_CMD_REMOVE:
                remove_files(list);
                break;
            case MFILE_CMD_CLEAR_DIR:
                clear_dir();
                break;
            default:
                break;
        }
        char end = MFILE_END_BLOCK;
        put(&end, 1);
        h_->state.exchange(STATE_DONE);
    }

  private:
    // Short answers (statuses) go out several to a block, so that a reader is not woken for each
    // file; whatever else is put, and the end of a command, sends them first.
    void put_answer(const char* text, size_t length) {
        answers_.append(text, length);
        if (++answer_count_ >= kAnswersPerBlock) flush_answers();
    }
    void flush_answers() {
        if (answers_.empty()) return;
        push(answers_.data(), answers_.size());
        answers_.clear();
        answer_count_ = 0;
    }
    void put(const void* data, size_t length) {
        flush_answers();
        push(data, length);
    }

    // Results wait for room: a slow reader holds the worker back instead of making it queue
    // a whole command's results (a server must not hold them for a client that does not read).
    void push(const void* data, size_t length) {
        for (;;) {
            const bool stopping = h_->stopping.load();
            if (qbuf_write_timeout(h_->results.get(), data, static_cast<uint32_t>(length),
                                   stopping ? 0 : kResultWriteTimeoutMs) == 0) {
                return;
            }
            if (stopping || qbuf_count(h_->results.get()) < kResultBlocksMax) {
                // Stopped, or a failure other than a full queue: the result is lost.
                if (!dropped_) RDIR_LOG(LOG_ERR, "qbuf_write_timeout failed\n");
                dropped_ = true;
                return;
            }
        }
    }

    void put_text(const char* fmt, int a) {
        char text[32];
        int n = std::snprintf(text, sizeof(text), fmt, a);
        put_answer(text, static_cast<size_t>(n));
    }

    void put_write_result(int stage, int number) {
        char text[32];
        int n = std::snprintf(text, sizeof(text), MFILE_WRITE_RESULT_FMT, stage, number);
        put_answer(text, static_cast<size_t>(n));
    }

    void put_failure_block(int kind, verr status) {
        uint8_t block[MFILE_FAIL_BLOCK_SIZE];
        libmfile_read_set_data_len_err(block, 4, kind);
        put_be32(block + MFILE_HEAD_SIZE, static_cast<uint32_t>(status));
        put(block, sizeof(block));
    }

    // The path of a listed name below the base, for log lines, or "" when the name must not be
    // touched.
    std::string entry_path(std::string_view name) {
        if (h_->base.empty() || !rdir_name_stays_below(name)) {
            RDIR_LOG(LOG_ERR, "base=[%s] name=[%.*s] refused\n", h_->base.c_str(),
                     static_cast<int>(name.size()), name.data());
            return {};
        }
        return path_join_raw(h_->base, name);
    }

    os_root* open_base(verr* result) const {
        return h_->root != nullptr
                   ? os_root_open_at(h_->root, h_->base.c_str(), OS_ROOT_NO_SYMLINKS, result)
                   : os_root_open(h_->base.c_str(), OS_ROOT_NO_SYMLINKS, result);
    }

    // The base, opened once per base: what lies below it is reached without following a link.
    // With `create` (writes), a missing base is made first, with its missing parents, the way
    // the destination writer makes directories.
    const os_root* base_root(bool create = false) {
        if (!h_->base_tried || (create && h_->base_root == nullptr && !h_->base_made)) {
            if (create && h_->base_tried) {
                h_->base_made = true;
                make_base();
            }
            h_->base_tried = true;
            verr opened = VERR_SUCCESS;
            os_root* r = open_base(&opened);
            if (r == nullptr && create && opened == VERR_FILE_NOT_FOUND && !h_->base_made) {
                h_->base_made = true;
                make_base();
                r = open_base(&opened);
            }
            if (r == nullptr) {
                RDIR_LOG(LOG_ERR | LOG_ERRNO, "open base [%s] eno=%d error: ", h_->base.c_str(),
                         errno);
            }
            h_->base_root.reset(r);
        }
        return h_->base_root.get();
    }

    // Temporaries that writers killed mid-file left in the base (their process is gone) are
    // removed once per base before it is written to: nothing else would ever remove them.
    void clean_base_temps() {
        if (h_->temps_cleaned || h_->base.empty()) return;
        h_->temps_cleaned = true;
        const os_root* root = base_root(true);
        if (root == nullptr) return;
        rdir_dst_dir dir;
        if (dir.open(root, "", false) == 0) dir.clean_temps();
    }

    void make_base() {
        if (h_->root != nullptr) {
            std::string_view rel = h_->base;
            while (!rel.empty() && rel.front() == '/') rel.remove_prefix(1);
            rdir_dst_dir dir;
            (void)dir.open(h_->root, rel, true);
        } else {
            (void)os_mkdirs_raw(h_->base.c_str());
        }
    }

    // Opens the directory holding the entry `name` (made, with `create`, the way the destination
    // writer makes directories) and gives the entry's last component in *leaf. 0 or a status,
    // errno naming the failure.
    verr open_parent(std::string_view name, bool create, rdir_dst_dir* dir, std::string* leaf) {
        const os_root* root = base_root(create);
        if (root == nullptr) return no_base();
        size_t slash = name.rfind('/');
        std::string_view parent =
            slash == std::string_view::npos ? std::string_view{} : name.substr(0, slash);
        leaf->assign(slash == std::string_view::npos ? name : name.substr(slash + 1));
        return dir->open(root, parent, create);
    }

    // The parent of the entry `name` for a write, as open_parent with create; the last one stays
    // open for the next entry of the same command, since most entries of a list share it.
    verr write_parent(std::string_view name, const rdir_dst_dir** dir, std::string* leaf) {
        const os_root* root = base_root(true);
        if (root == nullptr) return no_base();
        const size_t slash = name.rfind('/');
        const std::string_view parent =
            slash == std::string_view::npos ? std::string_view{} : name.substr(0, slash);
        leaf->assign(slash == std::string_view::npos ? name : name.substr(slash + 1));
        if (!parent_dir_.is_open() || parent_root_ != root || parent_rel_ != parent) {
            parent_dir_.close();
            const verr ret = parent_dir_.open(root, parent, true);
            if (ret < 0) return ret;
            parent_root_ = root;
            parent_rel_.assign(parent);
        }
        *dir = &parent_dir_;
        return 0;
    }

    // An attribute record as the worker applies it: through the server's policy, if any.
    mstat_attr allowed(const mstat_attr& a) const {
        return h_->has_policy ? rdir_attr_policy_apply(h_->policy, a) : a;
    }

    // Command 1.
    void read_files(std::string_view list) {
        const uint32_t room = h_->max_mfile_size - MFILE_HEAD_SIZE;
        for_each_line(list, [&](std::string_view line) {
            size_t tab = line.find(RDIR_FIELD_SEP);
            if (tab == std::string_view::npos) {
                RDIR_LOG(LOG_ERR, "invalid name_list\n");
                // The caller waits for one block per line it sent: a bad line is answered too.
                if (!line.empty()) put_failure_block(MFILE_FAIL_READ, VERR_INVALID_PARAMETER);
                return true;
            }
            std::string path = entry_path(line.substr(0, tab));
            if (path.empty()) {
                put_failure_block(MFILE_FAIL_OPEN, kBadName);
                return true;
            }
            std::string length_text(line.substr(tab + 1));
            int32_t length = 0;
            const scan_dest dest[] = {&length};
            if (str_scan_fields(length_text.data(), RDIR_FIELD_SEP, "int", dest) != 1 ||
                length < 0) {
                RDIR_LOG(LOG_ERR, "[%s] invalid length [%s]\n", path.c_str(), length_text.c_str());
                put_failure_block(MFILE_FAIL_READ, VERR_INVALID_PARAMETER);
                return true;
            }
            if (!RDIR_ASSERT(static_cast<uint32_t>(length) <= room, "len <= mlen")) {
                // Never read past the buffer: the entry is refused instead.
                put_failure_block(MFILE_FAIL_READ, VERR_BUFFER_OVERFLOW);
                return true;
            }
            read_one(line.substr(0, tab), path, static_cast<uint32_t>(length));
            return true;
        });
    }

    void read_one(std::string_view name, const std::string& path, uint32_t length) {
        // Non-blocking, so that a fifo put in a file's place cannot stall the worker; beneath the
        // base, so that no link leads the read out of it.
        const os_root* root = base_root();
        std::string rel(name);
        const int fd = root != nullptr
                           ? os_root_open_fd(root, rel.c_str(), O_RDONLY | O_NONBLOCK, 0)
                           : VERR_FILE_NOT_FOUND;
        if (fd < 0) {
            put_failure_block(MFILE_FAIL_OPEN, fd);
            return;
        }
        struct fd_closer {
            int fd;
            ~fd_closer() { ::close(fd); }
        } closer{fd};
        uint8_t* payload = h_->buffer.get() + MFILE_HEAD_SIZE;
        uint32_t got = 0;
        while (got < length) {
            ssize_t n = ::read(fd, payload + got, length - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                int eno = errno;
                RDIR_LOG(LOG_ERR | LOG_ERRNO, "o_read [%s] eno=%d error: ", path.c_str(), eno);
                put_failure_block(MFILE_FAIL_READ, errno_status(eno));
                return;
            }
            if (n == 0) break;  // the file shrank since it was listed
            got += static_cast<uint32_t>(n);
        }
        libmfile_read_set_data_len_err(h_->buffer.get(), got, MFILE_FAIL_NONE);
        put(h_->buffer.get(), MFILE_HEAD_SIZE + got);
    }

    // Command 2.
    void create_dirs(std::string_view list) {
        std::string line;
        for_each_line(list, [&](std::string_view text) {
            if (text.empty()) return true;
            line.assign(text);
            mfile_entry entry;
            if (libmfile_dir_scanf(line.data(), &entry) != 0) {
                put_text(MFILE_STATUS_FMT, VERR_INVALID_PARAMETER);
                return true;
            }
            std::string path = entry_path(entry.name);
            if (path.empty()) {
                put_text(MFILE_STATUS_FMT, kBadName);
                return true;
            }
            rdir_dst_dir parent;
            std::string leaf;
            verr ret = open_parent(entry.name, true, &parent, &leaf);
            if (ret == 0) ret = parent.make_dir(leaf);
            if (ret < 0) {
                const int eno = errno;
                RDIR_LOG(LOG_ERR | LOG_ERRNO, "mkdirs %s eno=%d error: ", path.c_str(), eno);
                put_text(MFILE_STATUS_FMT, ret);
                return true;
            }
            (void)parent.set_attr(leaf, allowed(entry.attr));
            put_text(MFILE_STATUS_FMT, 0);
            return true;
        });
    }

    // Command 3.
    void write_files(std::string_view list) {
        clean_base_temps();
        // Directories are looked up afresh for each command: between two, a client may have
        // changed what stands at a name.
        parent_dir_.close();
        std::string line;
        for_each_line(list, [&](std::string_view text) {
            if (text.empty()) return true;
            line.assign(text);
            mfile_entry entry;
            if (libmfile_write_scanf(line.data(), &entry) != 0) {
                put_write_result(MFILE_STAGE_OPEN, VERR_INVALID_PARAMETER);
                return true;
            }
            write_one(entry);
            return true;
        });
        parent_dir_.close();
    }

    void write_one(const mfile_entry& entry) {
        const bool has_data = entry.data != nullptr && entry.data[0] != '\0';
        long size = 0;
        if (has_data) {
            // Decoded in full before anything is opened: data that cannot be had whole leaves
            // whatever stands at the name as it was.
            size = rdir_b64_decode(entry.data, h_->buffer.get(), h_->max_mfile_size);
            if (size == -2) {
                RDIR_LOG(LOG_ERR, "[%s] file_data larger than max_mfile_size=%u\n", entry.name,
                         h_->max_mfile_size);
                put_write_result(MFILE_STAGE_WRITE, VERR_BUFFER_OVERFLOW);
                return;
            }
            if (size < 1) {
                RDIR_LOG(LOG_ERR, "file_data base64 decode error");
                put_write_result(MFILE_STAGE_WRITE, VERR_BUFFER_OVERFLOW);
                return;
            }
        }
        std::string path = entry_path(entry.name);
        if (path.empty()) {
            put_write_result(MFILE_STAGE_OPEN, kBadName);
            return;
        }
        const rdir_dst_dir* dir = nullptr;
        std::string leaf;
        const verr ret = write_parent(entry.name, &dir, &leaf);
        if (ret < 0) {
            const int eno = errno;
            RDIR_LOG(LOG_ERR | LOG_ERRNO, "o_open [%s] eno=%d error: ", path.c_str(), eno);
            put_write_result(MFILE_STAGE_OPEN, ret);
            return;
        }
        const mstat_attr attr = allowed(entry.attr);
        if (!has_data && (attr.type & RDIR_TYPE_LINK) != 0) {
            make_link(*dir, leaf, path, attr);
            return;
        }
        if (!has_data && (attr.type & RDIR_TYPE_NO_POSIX) == 0 && is_node(attr.mode)) {
            make_node(*dir, leaf, path, attr);
            return;
        }
        write_file(*dir, leaf, path, attr, static_cast<size_t>(size));
    }

    void make_link(const rdir_dst_dir& dir, const std::string& leaf, const std::string& path,
                   const mstat_attr& a) {
        const bool to_dir = (a.type & RDIR_TYPE_KIND_MASK) == RDIR_TYPE_DIR;
        const char* target = a.link != nullptr ? a.link : "";
        if ((a.type & RDIR_TYPE_JUNCTION) != 0) {
            RDIR_LOG(LOG_ERR, "os_create_junction [%s]->[%s] error: not supported", path.c_str(),
                     target);
            put_write_result(MFILE_STAGE_OPEN, VERR_NOT_SUPPORTED);
            return;
        }
        const verr ret = dir.make_link(leaf, target, to_dir, a);
        if (ret < 0) {
            const int eno = errno;
            RDIR_LOG(LOG_ERR | LOG_ERRNO, "os_symlink2 [%s]->[%s] eno=%d error: ", path.c_str(),
                     target, eno);
            put_write_result(MFILE_STAGE_OPEN, ret);
            return;
        }
        put_write_result(MFILE_STAGE_OK, 0);
    }

    static bool is_node(uint32_t mode) {
        const mode_t type = static_cast<mode_t>(mode) & S_IFMT;
        return S_ISFIFO(type) || S_ISSOCK(type) || S_ISCHR(type) || S_ISBLK(type);
    }

    // A fifo, socket or device (its number as decimal text in the link field), made under a
    // temporary and renamed as a file is; a server makes only what its policy allows.
    void make_node(const rdir_dst_dir& dir, const std::string& leaf, const std::string& path,
                   const mstat_attr& a) {
        if (h_->has_policy && !rdir_attr_policy_node(h_->policy, a.mode)) {
            RDIR_LOG(LOG_ERR, "o_mknod [%s] mode=%o error: not allowed to this client",
                     path.c_str(), a.mode);
            put_write_result(MFILE_STAGE_OPEN, VERR_ACCESS_DENIED);
            return;
        }
        uint64_t rdev = 0;
        const std::string_view text = a.link != nullptr ? a.link : "";
        if (S_ISCHR(a.mode & S_IFMT) || S_ISBLK(a.mode & S_IFMT)) {
            auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), rdev);
            if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
                put_write_result(MFILE_STAGE_OPEN, VERR_INVALID_PARAMETER);
                return;
            }
        }
        rdir_dst_file file;
        mstat_attr attr = a;
        attr.link = nullptr;
        verr ret = file.create_node(dir, leaf, attr.mode, static_cast<dev_t>(rdev));
        if (ret == 0) ret = file.commit(attr);
        if (ret < 0) {
            const int eno = errno;
            RDIR_LOG(LOG_ERR | LOG_ERRNO, "o_mknod [%s] eno=%d error: ", path.c_str(), eno);
            put_write_result(MFILE_STAGE_OPEN, ret);
            return;
        }
        put_write_result(MFILE_STAGE_OK, 0);
    }

    // Writes `size` bytes of the buffer as the file `leaf` of `dir`, through a temporary that
    // replaces whatever file, link, fifo or device stood there only once it is complete.
    void write_file(const rdir_dst_dir& dir, const std::string& leaf, const std::string& path,
                    const mstat_attr& a, size_t size) {
        rdir_dst_file file;
        // What stands at the name is looked at only when the placement finds it taken: most
        // files a worker writes are new, and that saves a call for each.
        verr ret = file.create(dir, leaf, rdir_attr_perm(a), false);
        if (ret < 0) {
            const int eno = errno;
            RDIR_LOG(LOG_ERR | LOG_ERRNO, "o_open [%s] eno=%d error: ", path.c_str(), eno);
            put_write_result(MFILE_STAGE_OPEN, ret);
            return;
        }
        ret = write_sparse(file.fd(), h_->buffer.get(), size);
        // A failed close or rename means the file is not there: a failed write.
        if (ret == 0) ret = file.commit(a);
        if (ret < 0) {
            const int eno = errno;
            RDIR_LOG(LOG_ERR | LOG_ERRNO, "o_write [%s] eno=%d error: ", path.c_str(), eno);
            put_write_result(MFILE_STAGE_WRITE, ret);
            return;
        }
        put_write_result(MFILE_STAGE_OK, static_cast<int>(size));
    }

    // Command 4.
    void remove_files(std::string_view list) {
        for_each_line(list, [&](std::string_view name) {
            if (name.empty()) return true;
            std::string path = entry_path(name);
            if (path.empty()) {
                put_text(MFILE_STATUS_FMT, kBadName);
                return true;
            }
            // The entry itself goes, never what a link leads to: a trailing "/" (a link to a
            // directory written as a directory) does not make it follow the link.
            const os_root* root = base_root();
            std::string rel(name);
            while (rel.size() > 1 && rel.back() == '/') rel.pop_back();
            const verr removed =
                root != nullptr ? os_root_remove(root, rel.c_str()) : VERR_FILE_NOT_FOUND;
            if (removed != 0) {
                errno = root == nullptr ? ENOENT : errno;
                RDIR_LOG(LOG_DBG | LOG_ERRNO, "remove [%s] eno=%d error: ", path.c_str(), errno);
                put_text(MFILE_STATUS_FMT, removed);
                return true;
            }
            put_text(MFILE_STATUS_FMT, 0);
            return true;
        });
    }

    // Command 5.
    void clear_dir() {
        if (h_->base.empty()) {
            RDIR_LOG(LOG_ERR, "no base directory\n");
            put_text(MFILE_CLEAR_DIR_OPEN_FAILED_FMT, kBadName);
            return;
        }
        const os_root* root = base_root();
        const int dir_fd = root != nullptr ? os_root_opendir(root, ".") : VERR_FILE_NOT_FOUND;
        std::unique_ptr<DIR, dir_closer> d(dir_fd >= 0 ? fdopendir(dir_fd) : nullptr);
        verr failed = dir_fd;
        if (!d && dir_fd >= 0) {
            failed = errno_status(errno);
            ::close(dir_fd);
        }
        if (root == nullptr) errno = ENOENT;
        if (!d) {
            int eno = errno;
            RDIR_LOG(LOG_ERR | LOG_ERRNO, "opendir [%s] eno=%d error: ", h_->base.c_str(), eno);
            put_text(MFILE_CLEAR_DIR_OPEN_FAILED_FMT, failed);
            return;
        }
        // Temporaries whose writer is gone would keep the base from ever being empty; they go
        // quietly, as listings never show them. A live writer's stay: it renames or removes them.
        rdir_dst_dir stale;
        stale.adopt(dup(os_root_fd(root)));
        if (stale.fd() >= 0) stale.clean_temps();
        put(MFILE_CLEAR_DIR_BEGIN, std::strlen(MFILE_CLEAR_DIR_BEGIN));
        for (;;) {
            errno = 0;
            struct dirent* de = readdir(d.get());
            if (de == nullptr) break;
            const char* name = de->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
            std::string path = path_join_raw(h_->base, name);
            // Directories and links to directories stay; the rest is removed by name in the open
            // directory, a link itself and never its target.
            const int fd = dirfd(d.get());
            struct stat st;
            if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            if (S_ISDIR(st.st_mode)) continue;
            if (S_ISLNK(st.st_mode) && link_leads_to_dir(fd, name)) continue;
            if (rdir_temp_name_is(name)) continue;
            if (unlinkat(fd, name, 0) != 0) {
                int eno = errno;
                if (eno == ENOENT) continue;  // already gone
                RDIR_LOG(LOG_DBG | LOG_ERRNO, "remove [%s] eno=%d error: ", path.c_str(), eno);
                put_text(MFILE_STATUS_FMT, errno_status(eno));
                continue;
            }
            put_text(MFILE_STATUS_FMT, 0);
        }
        put(MFILE_CLEAR_DIR_END, std::strlen(MFILE_CLEAR_DIR_END));
    }

    // Whether the link `name` of the base (open as `dir_fd`) leads to a directory. Beneath a
    // root it is followed inside the root, as a listing judges it: a target outside is no
    // directory of the root's, and what is kept must not tell what lies outside.
    bool link_leads_to_dir(int dir_fd, const char* name) const {
        if (h_->root == nullptr) {
            struct stat target;
            return fstatat(dir_fd, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
        }
        const std::string path = path_join_raw(h_->base, name) + "/";
        const int fd = os_root_open_fd(h_->root, path.c_str(), O_PATH | O_DIRECTORY, 0);
        if (fd < 0) return false;
        ::close(fd);
        return true;
    }

    libmfile_handle* h_;
    bool dropped_ = false;
    std::string answers_;  // answers not pushed yet
    // The parent directory of the last entry written by the running command.
    rdir_dst_dir parent_dir_;
    const os_root* parent_root_ = nullptr;
    std::string parent_rel_;
    uint32_t answer_count_ = 0;
};

int dispatch(uint32_t id, void* data, cmder_call* call) {
    auto* h = static_cast<libmfile_handle*>(call->user);
    if (h == nullptr) return 0;
    struct done_at_end {
        libmfile_handle* h;
        uint32_t bytes;
        ~done_at_end() { h->pending_bytes -= bytes; }
    } done{h, call->data_len};
    if (id < MFILE_CMD_READ || id > MFILE_CMD_CLEAR_DIR) return 0;
    // The message is "base\0list\0"; read both within its length.
    std::string_view message(static_cast<const char*>(data), data != nullptr ? call->data_len : 0);
    size_t end = message.find('\0');
    std::string_view base = message.substr(0, end);
    std::string_view list;
    if (end != std::string_view::npos) {
        list = message.substr(end + 1);
        size_t list_end = list.find('\0');
        if (list_end != std::string_view::npos) list = list.substr(0, list_end);
    }
    if (!base.empty()) h->base.assign(base);
    // Each command resolves its base afresh: a base missing for one command may exist for the
    // next, and one moved away must not keep receiving what is written under its old name.
    h->base_root.reset();
    h->base_tried = false;
    h->base_made = false;
    h->temps_cleaned = false;
    worker(h).run(id, list);
    return 0;
}

}  // namespace

libmfile_handle* libmfile_open(const libmfile_param* param) {
    if (param == nullptr) return nullptr;
    if (param->max_mfile_size < MFILE_FAIL_BLOCK_SIZE ||
        param->max_mfile_size > RDIR_MAX_MLEN + MFILE_HEAD_SIZE) {
        RDIR_LOG(LOG_ERR, "max_mfile_size=%u out of range\n", param->max_mfile_size);
        ERR_INFO_SET(param->err, VERR_INVALID_PARAMETER, "max_mfile_size=%u out of range",
                     param->max_mfile_size);
        return nullptr;
    }
    std::unique_ptr<libmfile_handle> h(new (std::nothrow) libmfile_handle);
    if (h) h->buffer.reset(new (std::nothrow) uint8_t[param->max_mfile_size]);
    if (!h || !h->buffer) {
        RDIR_LOG(LOG_DBG, "max_mfile_size=%u alloc failed\n", param->max_mfile_size);
        ERR_INFO_SET(param->err, VERR_NO_MEMORY, nullptr);
        return nullptr;
    }
    h->max_mfile_size = param->max_mfile_size;
    h->root = param->root;
    if (param->policy != nullptr) {
        h->has_policy = true;
        h->policy = *param->policy;
    }
    h->list_timeout_ms = param->list_timeout_ms;
    h->results.reset(qbuf_init(kResultBlocksMax));
    if (!h->results) {
        RDIR_LOG(LOG_ERR, "qbuf_init failed\n");
        ERR_INFO_SET(param->err, VERR_NO_MEMORY, nullptr);
        return nullptr;
    }
    cmder_conf conf{};
    conf.user = h.get();
    conf.queue_max = 0;
    conf.timer_interval_ms = 1000;
    conf.name = "mfile_cmder";
    conf.msg_proc = dispatch;
    h->cmd = cmder_init(&conf);
    if (h->cmd == nullptr) {
        RDIR_LOG(LOG_ERR, "cmder_init failed\n");
        ERR_INFO_SET(param->err, VERR_NO_MEMORY, "cmder_init failed");
        return nullptr;
    }
    return h.release();
}

int libmfile_cmd_add_list(libmfile_handle* h, uint32_t cmd, const char* base, const char* list) {
    if (!DV_ASSERT("rdir", h != nullptr)) return -1;
    std::string message;
    try {
        message.append(base != nullptr ? base : "");
        message.push_back('\0');
        message.append(list != nullptr ? list : "");
        message.push_back('\0');
        if (base != nullptr && base[0] != '\0') h->posted_base = base;
    } catch (const std::bad_alloc&) {
        RDIR_LOG(LOG_ERR, "cmder_post_msg3 failed\n");
        return VERR_NO_MEMORY;
    }
    // Counted before the post: the command may run and end before the post returns.
    h->pending_bytes += message.size();
    int ret = cmder_post_msg3(h->cmd, cmd, message.data(), static_cast<uint32_t>(message.size()),
                              nullptr, kPostTimeoutMs);
    if (ret < 0) {
        h->pending_bytes -= message.size();
        RDIR_LOG(LOG_ERR, "cmder_post_msg3 failed\n");
        return ret;
    }
    return 0;
}

int libmfile_cmd_post(libmfile_handle* h, uint32_t cmd, const char* message, uint32_t size) {
    if (!DV_ASSERT("rdir", h != nullptr) || message == nullptr || size < 2 ||
        message[size - 1] != '\0' || memchr(message, '\0', size - 1) == nullptr) {
        return VERR_INVALID_PARAMETER;
    }
    try {
        if (message[0] != '\0') h->posted_base = message;
    } catch (const std::bad_alloc&) {
        RDIR_LOG(LOG_ERR, "cmder_post_msg3 failed\n");
        return VERR_NO_MEMORY;
    }
    h->pending_bytes += size;
    int ret = cmder_post_msg3(h->cmd, cmd, message, size, nullptr, kPostTimeoutMs);
    if (ret < 0) {
        h->pending_bytes -= size;
        RDIR_LOG(LOG_ERR, "cmder_post_msg3 failed\n");
        return ret;
    }
    return 0;
}

uint64_t libmfile_pending_bytes(const libmfile_handle* h) {
    return h != nullptr ? h->pending_bytes.load() : 0;
}

int libmfile_read_list(libmfile_handle* h, const char* base, const char* list) {
    return libmfile_cmd_add_list(h, MFILE_CMD_READ, base, list);
}
int libmfile_create_dir(libmfile_handle* h, const char* base, const char* list) {
    return libmfile_cmd_add_list(h, MFILE_CMD_MKDIR, base, list);
}
int libmfile_write_list(libmfile_handle* h, const char* base, const char* list) {
    return libmfile_cmd_add_list(h, MFILE_CMD_WRITE, base, list);
}
int libmfile_remove_list(libmfile_handle* h, const char* base, const char* list) {
    return libmfile_cmd_add_list(h, MFILE_CMD_REMOVE, base, list);
}
int libmfile_clear_dir(libmfile_handle* h, const char* base) {
    return libmfile_cmd_add_list(h, MFILE_CMD_CLEAR_DIR, base, nullptr);
}

namespace {

// libmfile_get_list_ret; `*ended` tells whether the running command's end block was taken.
int get_list_ret(libmfile_handle* h, char* buf, int len, bool* ended) {
    *ended = false;
    if (!DV_ASSERT("rdir", h != nullptr) || buf == nullptr || len < 1) return 0;
    const int64_t start = now_ms();
    int wait = 0;
    for (;;) {
        int end = 0;
        int n = qbuf_read_until(h->results.get(), buf, static_cast<uint32_t>(len), wait,
                                is_end_block, &end);
        if (n > 0) {
            if (end == 0) return n;
            if (n > 1) {
                *ended = true;
                buf[n - 1] = '\0';
                return n - 1;
            }
            // Only the end block of a command whose results were all taken: look again at once.
            wait = 0;
            continue;
        }
        int64_t elapsed = now_ms() - start;
        if (elapsed >= h->list_timeout_ms) {
            RDIR_LOG(LOG_DBG, "[%s] readlist timeout=%d\n", h->posted_base.c_str(),
                     h->list_timeout_ms);
            return 0;
        }
        int64_t left = h->list_timeout_ms - elapsed;
        wait = static_cast<int>(left < kPollWaitMs ? left : kPollWaitMs);
    }
}

}  // namespace

int libmfile_get_list_ret(libmfile_handle* h, char* buf, int len) {
    bool ended = false;
    return get_list_ret(h, buf, len, &ended);
}

int libmfile_get_list_ret_gather(libmfile_handle* h, char* buf, int len, int gather_ms) {
    bool ended = false;
    int n = get_list_ret(h, buf, len, &ended);
    if (n <= 0 || ended) return n;
    const int64_t deadline = now_ms() + gather_ms;
    for (;;) {
        const int64_t left = deadline - now_ms();
        uint32_t next = 0;
        // A block that does not fit stays for the next collection (reading it would log it as
        // too big for the buffer).
        if (left <= 0 || qbuf_peek_length(h->results.get(), static_cast<int>(left), &next) == 0 ||
            next > static_cast<uint32_t>(len - n)) {
            return n;
        }
        int end = 0;
        const int m = qbuf_read_until(h->results.get(), buf + n, static_cast<uint32_t>(len - n), 0,
                                      is_end_block, &end);
        if (m <= 0) return n;
        n += m;
        if (end != 0) {
            // The end block is the last byte taken: not a result.
            buf[--n] = '\0';
            return n;
        }
    }
}

int libmfile_next_length(libmfile_handle* h, int timeout_ms, uint32_t* length) {
    if (h == nullptr || length == nullptr) return 0;
    return qbuf_peek_length(h->results.get(), timeout_ms, length);
}

uint32_t libmfile_queued_blocks(const libmfile_handle* h) {
    return h != nullptr ? qbuf_count(h->results.get()) : 0;
}

void libmfile_stop(libmfile_handle* h) {
    if (h != nullptr) h->stopping.store(true);
}

void libmfile_close(libmfile_handle* h) {
    if (h == nullptr) return;
    // Nobody reads the results any more: a worker waiting for room must not wait for ever.
    h->stopping.store(true);
    if (h->cmd != nullptr) {
        while (cmder_wait_idle(h->cmd, 1000) != 0) {
        }
        cmder_exit(h->cmd);
        h->cmd = nullptr;
    }
    delete h;
}

int libmfile_read_set_data_len_err(uint8_t* head, uint32_t length, int kind) {
    if (head == nullptr) return -1;
    if (!RDIR_ASSERT(length <= RDIR_MAX_MLEN, "dlen <= RDIR_MAX_MLEN")) return -1;
    uint32_t word = length;
    switch (kind) {
        case MFILE_FAIL_NONE:
            break;
        case MFILE_FAIL_OPEN:
            word |= MFILE_HEAD_OPEN_FAILED;
            break;
        case MFILE_FAIL_READ:
            word |= MFILE_HEAD_READ_FAILED;
            break;
        default:
            return -1;
    }
    put_be32(head, word);
    return 0;
}

int libmfile_read_get_data_len_err(uint8_t* block, size_t avail, size_t* consumed,
                                   mfile_data_result* result) {
    if (block == nullptr || consumed == nullptr || result == nullptr) return -1;
    *result = mfile_data_result{};
    *consumed = 0;
    if (avail < MFILE_HEAD_SIZE) return -1;
    uint32_t word = get_be32(block);
    uint32_t length = word & MFILE_HEAD_LEN_MASK;
    result->open_failed = (word & MFILE_HEAD_OPEN_FAILED) != 0;
    result->read_failed = (word & MFILE_HEAD_READ_FAILED) != 0;
    result->length = length;
    block[0] &= 0x3f;
    if (result->open_failed || result->read_failed) {
        if (!RDIR_ASSERT(avail >= 8, "alen>=8")) return -1;
        if (!RDIR_ASSERT(length == 4, "len==4")) return -1;
        result->status = static_cast<verr>(get_be32(block + MFILE_HEAD_SIZE));
        *consumed = MFILE_FAIL_BLOCK_SIZE;
        return 0;
    }
    if (!RDIR_ASSERT(avail >= static_cast<size_t>(length) + 4, "alen>=len+4")) return -1;
    if (length > 0) {
        result->data = static_cast<uint8_t*>(std::malloc(length));
        if (result->data == nullptr) return -1;
        std::memcpy(result->data, block + MFILE_HEAD_SIZE, length);
    }
    *consumed = MFILE_HEAD_SIZE + static_cast<size_t>(length);
    return 0;
}

int libmfile_write_get_info(const char* text, size_t length, size_t* consumed, int* stage,
                            int* number) {
    if (text == nullptr || consumed == nullptr || stage == nullptr || number == nullptr) return -1;
    *consumed = 0;
    const void* nl = std::memchr(text, RDIR_LINE_SEP, length);
    if (nl == nullptr) {
        RDIR_LOG(LOG_ERR, "ret=%d error: ret!=2", 0);
        return -1;
    }
    size_t line_len = static_cast<size_t>(static_cast<const char*>(nl) - text);
    std::string line(text, line_len);
    int32_t a = 0, b = 0;
    const scan_dest dest[] = {&a, &b};
    int ret = str_scan_fields(line.data(), RDIR_FIELD_SEP, "int|int", dest);
    if (ret != 2) {
        RDIR_LOG(LOG_ERR, "ret=%d error: ret!=2", ret);
        return -1;
    }
    *stage = a;
    *number = b;
    *consumed = line_len + 1;
    return 0;
}
