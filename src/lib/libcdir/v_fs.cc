#include "libcdir/v_fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#include "libcdir/v_rdir.h"
#include "libcdir/work.h"
#include "libpal/os_fs.h"
#include "libpal/os_root.h"
#include "libpal/url.h"
#include "librdir/misc.h"

namespace {

// The calling thread's lane while it copies a share of a directory's files (null otherwise).
thread_local cdir_lane* t_lane = nullptr;

cdir_counters& lane_st(libcdir_ctx* job) {
    return t_lane != nullptr ? t_lane->st : job->st;
}
bool& lane_replaced(libcdir_ctx* job) {
    return t_lane != nullptr ? t_lane->last_write_replaced : job->last_write_replaced;
}
char* lane_buf(libcdir_ctx* job) {
    return t_lane != nullptr ? t_lane->buf : job->trans_buf.get();
}

// ---- block file endpoint, local side ----

// Reads files of a local side beneath its root handle: no link inside the tree is followed.
class local_bfile final : public vbfile {
  public:
    explicit local_bfile(const cdir_side* side) : side_(side) {}
    ~local_bfile() override { close_file(nullptr); }
    local_bfile(const local_bfile&) = delete;
    local_bfile& operator=(const local_bfile&) = delete;

    int64_t open_read(const char* path, int64_t offset, char* buf, size_t len) override {
        close_file(nullptr);
        read_failed = false;
        if (!side_->fs) return VERR_INVALID_PARAMETER;
        std::string rel(cdir_rel_path(*side_, path));
        const int fd = os_root_open_fd(side_->fs.get(), rel.empty() ? "." : rel.c_str(),
                                       O_RDONLY | O_NONBLOCK, 0);
        if (fd < 0) return fd;
        fd_ = fd;
        const int64_t n = read_at(offset, buf, len);
        read_failed = n < 0;
        return n;
    }
    int64_t read_at(int64_t offset, char* buf, size_t len) override {
        if (fd_ < 0) return status_of(EBADF);
        ssize_t n;
        do {
            n = pread(fd_, buf, len, offset);
        } while (n < 0 && errno == EINTR);
        return n < 0 ? status_of(errno) : n;
    }
    int64_t create_write(const char*, int64_t, const char*, size_t) override {
        return VERR_NOT_SUPPORTED;
    }
    int64_t write_at(int64_t, const char*, size_t) override { return VERR_NOT_SUPPORTED; }
    int state(vbfile_state* out) override {
        struct stat st;
        if (fd_ < 0) return status_of(EBADF);
        if (fstat(fd_, &st) != 0) return status_of(errno);
        out->size = static_cast<uint64_t>(st.st_size);
        out->mode = st.st_mode;
        out->atime = st.st_atim.tv_sec;
        out->mtime = st.st_mtim.tv_sec;
        out->mtime_ns = static_cast<uint32_t>(st.st_mtim.tv_nsec);
        out->ctime = st.st_ctim.tv_sec;
        out->ctime_ns = static_cast<uint32_t>(st.st_ctim.tv_nsec);
        out->blocks = static_cast<uint64_t>(st.st_blocks);
        out->blocks_known = true;
        return 0;
    }
    int close_file(const mstat_attr*) override {
        if (fd_ < 0) return 0;
        int ret = close(fd_);
        fd_ = -1;
        return ret == 0 ? 0 : status_of(errno);
    }

  private:
    static verr status_of(int eno) {
        verr code = os_verr_get(eno);
        return code != 0 ? code : VERR_GENERAL_FAILURE;
    }

    const cdir_side* side_;
    int fd_ = -1;
};

// A failed read or write: its status is the job's failure, and the current file is forgotten.
void block_failure(vbfile* h, int64_t status) {
    // After a stop request every wait fails: that is no failure of the file.
    if (h->job->user_stop.load() == 0) cdir_verr_check(h->job, static_cast<verr>(status));
    h->abandon();
}

// ---- local file helpers ----

ssize_t read_full_retry(int fd, char* buf, size_t len) {
    ssize_t n;
    do {
        n = read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n;
}

// Writes all of `len` bytes, in sequence or (offset 0 or more) at `offset`; a short write is
// continued, so that only a real failure stops it.
bool write_all(int fd, const char* buf, size_t len, int64_t offset = -1) {
    while (len > 0) {
        ssize_t n =
            offset < 0 ? write(fd, buf, len) : pwrite(fd, buf, len, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        buf += n;
        len -= static_cast<size_t>(n);
        if (offset >= 0) offset += n;
    }
    return true;
}

void count_o_fail(libcdir_ctx* job, int eno) {
    lane_st(job).o_file_fail_count++;
    cdir_verr_check(job, os_verr_get(eno));
}

void count_i_fail(libcdir_ctx* job, int eno) {
    lane_st(job).i_file_fail_count++;
    cdir_verr_check(job, os_verr_get(eno));
}

enum class copy_end { done, in_fail, out_fail, stopped };

// Copies `size` bytes from the current offset of `in` to the current offset of `out`.
// copy_file_range moves the data inside the kernel; a failure of it falls back to read/write for
// the same chunk, which then tells which side failed.
copy_end copy_stream(libcdir_ctx* job, int in, int out, uint64_t size, const char* src,
                     const char* dst, uint64_t* copied) {
    const size_t chunk = job->bs;
    char* buf = lane_buf(job);
    uint64_t remaining = size;
    *copied = 0;
    while (remaining > 0) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(chunk, remaining));
        if (!job->no_copy_range) {
            ssize_t n = copy_file_range(in, nullptr, out, nullptr, want, 0);
            if (n > 0) {
                lane_st(job).total_read += static_cast<uint64_t>(n);
                lane_st(job).total_write += static_cast<uint64_t>(n);
                job->done_bytes.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
                remaining -= static_cast<uint64_t>(n);
                *copied += static_cast<uint64_t>(n);
                if (cdir_need_exit(job)) return copy_end::stopped;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP ||
                          errno == EINVAL || errno == EBADF || errno == ETXTBSY)) {
                job->no_copy_range = true;
            }
            // n == 0 before the listed size: end of the source, or a file system that reports
            // no data through copy_file_range; read() below tells which.
        }
        ssize_t r = read_full_retry(in, buf, want);
        if (r < 0) {
            int eno = errno;
            CDIR_LOG(LOG_ERR | LOG_ERRNO, "i_read [%s] eno=%d error: ", src, eno);
            count_i_fail(job, eno);
            return copy_end::in_fail;
        }
        if (r == 0) break;  // the source shrank since it was listed
        if (!job->no_copy_range) job->no_copy_range = true;
        lane_st(job).total_read += static_cast<uint64_t>(r);
        if (!write_all(out, buf, static_cast<size_t>(r))) {
            int eno = errno;
            CDIR_LOG(LOG_ERR | LOG_ERRNO, "o_write [%s] eno=%d error: ", dst, eno);
            count_o_fail(job, eno);
            return copy_end::out_fail;
        }
        lane_st(job).total_write += static_cast<uint64_t>(r);
        job->done_bytes.fetch_add(static_cast<uint64_t>(r), std::memory_order_relaxed);
        remaining -= static_cast<uint64_t>(r);
        *copied += static_cast<uint64_t>(r);
        if (cdir_need_exit(job)) return copy_end::stopped;
    }
    return copy_end::done;
}

// Copies the first `size` bytes of `in`. With `sparse`, only the source's data ranges are copied
// and its holes stay holes at the destination (the size is set at the end), so that a file that
// is mostly hole neither takes the time of its size nor fills the disk. *copied counts the holes
// too: it is how much of the source was covered.
copy_end copy_data(libcdir_ctx* job, int in, int out, uint64_t size, const char* src,
                   const char* dst, uint64_t* copied, bool sparse) {
    if (!sparse) return copy_stream(job, in, out, size, src, dst, copied);
    *copied = 0;
    uint64_t offset = 0;
    while (offset < size) {
        off_t data = lseek(in, static_cast<off_t>(offset), SEEK_DATA);
        off_t hole = static_cast<off_t>(size);
        if (data < 0 && errno == ENXIO) break;  // a hole up to the end (or the source shrank)
        if (data < 0) {
            data = static_cast<off_t>(offset);  // holes cannot be found here: the rest is data
        } else {
            hole = lseek(in, data, SEEK_HOLE);
            if (hole < 0 || static_cast<uint64_t>(hole) > size) hole = static_cast<off_t>(size);
        }
        if (static_cast<uint64_t>(data) >= size) break;
        if (lseek(in, data, SEEK_SET) < 0) {
            int eno = errno;
            CDIR_LOG(LOG_ERR | LOG_ERRNO, "i_read [%s] eno=%d error: ", src, eno);
            count_i_fail(job, eno);
            return copy_end::in_fail;
        }
        if (lseek(out, data, SEEK_SET) < 0) {
            int eno = errno;
            CDIR_LOG(LOG_ERR | LOG_ERRNO, "o_write [%s] eno=%d error: ", dst, eno);
            count_o_fail(job, eno);
            return copy_end::out_fail;
        }
        const uint64_t want = static_cast<uint64_t>(hole - data);
        uint64_t part = 0;
        copy_end end = copy_stream(job, in, out, want, src, dst, &part);
        if (end != copy_end::done) return end;
        if (part != want) {
            *copied = static_cast<uint64_t>(data) + part;  // the source shrank
            return copy_end::done;
        }
        offset = static_cast<uint64_t>(hole);
    }
    if (ftruncate(out, static_cast<off_t>(size)) != 0) {
        int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "o_write [%s] eno=%d error: ", dst, eno);
        count_o_fail(job, eno);
        return copy_end::out_fail;
    }
    *copied = size;
    return copy_end::done;
}

}  // namespace

// ---- block file endpoint ----

vbfile* cdir_local_bfile_new(const cdir_side* side) {
    return new (std::nothrow) local_bfile(side);
}

int64_t vbfile_open_read(vbfile* h, const char* path, int64_t offset, char* buf, size_t len) {
    if (!DV_ASSERT("cdir", h != nullptr)) return -1;
    h->read_failed = false;
    int64_t n = h->open_read(path, offset, buf, len);
    if (n < 0) block_failure(h, n);
    if (n < 0) return h->read_failed ? -2 : -1;
    return n;
}

int64_t vbfile_read_at(vbfile* h, int64_t offset, char* buf, size_t len) {
    if (!DV_ASSERT("cdir", h != nullptr)) return -1;
    int64_t n = h->read_at(offset, buf, len);
    if (n < 0) block_failure(h, n);
    return n < 0 ? -1 : n;
}

int64_t vbfile_create_write(vbfile* h, const char* path, int64_t offset, const char* buf,
                            size_t len) {
    if (!DV_ASSERT("cdir", h != nullptr)) return -1;
    int64_t n = h->create_write(path, offset, buf, len);
    if (n < 0) block_failure(h, n);
    return n < 0 ? -1 : n;
}

int64_t vbfile_write_at(vbfile* h, int64_t offset, const char* buf, size_t len) {
    if (!DV_ASSERT("cdir", h != nullptr)) return -1;
    if (len == 0) return 0;
    int64_t n = h->write_at(offset, buf, len);
    if (n < 0) block_failure(h, n);
    return n < 0 ? -1 : n;
}

int vbfile_close(vbfile* h, const mstat_attr* attr) {
    if (h == nullptr) return 0;
    return h->close_file(attr);
}

int vbfile_set_size(vbfile* h, uint64_t size) {
    if (!DV_ASSERT("cdir", h != nullptr)) return -1;
    const int ret = h->set_size(size);
    if (ret < 0) block_failure(h, ret);
    return ret < 0 ? -1 : 0;
}

int vbfile_state_of(vbfile* h, vbfile_state* out) {
    if (!DV_ASSERT("cdir", h != nullptr)) return -1;
    const int ret = h->state(out);
    if (ret < 0) block_failure(h, ret);
    return ret < 0 ? -1 : 0;
}

void vbfile_abandon(vbfile* h) {
    if (h != nullptr) h->abandon();
}

void vbfile_stop(vbfile* h) {
    if (h != nullptr) h->stop();
}

void vbfile_exit(vbfile* h) {
    delete h;
}

// ---- local destination operations ----

namespace {

std::string shown_path(const char* dir, const char* name) {
    return dir != nullptr ? path_join_raw(dir, name) : std::string(name);
}

void count_o_fail_status(libcdir_ctx* job, verr status) {
    lane_st(job).o_file_fail_count++;
    cdir_verr_check(job, status);
}

// The source changed while it was read: its content may mix old and new.
bool changed_since(const struct stat& before, const struct stat& after) {
    return before.st_size != after.st_size || before.st_mtim.tv_sec != after.st_mtim.tv_sec ||
           before.st_mtim.tv_nsec != after.st_mtim.tv_nsec ||
           before.st_ctim.tv_sec != after.st_ctim.tv_sec ||
           before.st_ctim.tv_nsec != after.st_ctim.tv_nsec;
}

// The attributes a copy of the open source carries: what the file is now, not what the listing
// saw, so that a file changed since its listing is not stamped with an older time (a later sync
// would take it for up to date).
mstat_attr attr_of_source(const mstat_item& entry, const struct stat& st) {
    mstat_attr a = mstat_item_attr(entry);
    if ((a.type & RDIR_TYPE_NO_POSIX) == 0) {
        a.mode = st.st_mode;
        a.uid = st.st_uid;
        a.gid = st.st_gid;
    }
    a.atime = st.st_atim.tv_sec;
    a.mtime = st.st_mtim.tv_sec;
    return a;
}

bool is_node(mode_t mode) {
    return S_ISFIFO(mode) || S_ISSOCK(mode) || S_ISCHR(mode) || S_ISBLK(mode);
}

const char* node_kind(mode_t mode) {
    if (S_ISFIFO(mode)) return "fifo";
    if (S_ISSOCK(mode)) return "socket";
    if (S_ISCHR(mode)) return "character device";
    return "block device";
}

// Extended attributes and ACLs of `from` onto `to`. What could not be copied is named in the log
// and the entry counts as failed once, though its data and other attributes are in place.
void copy_xattrs(libcdir_ctx* job, int from, int to, const char* shown) {
    std::vector<rdir_xattr_failure> failures;
    verr ret = 0;
    try {
        ret = rdir_copy_xattrs(from, to, &failures);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        ret = VERR_NO_MEMORY;
    }
    if (ret < 0) {
        const int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "xattr_list [%s] eno=%d error: ", shown, eno);
    }
    for (const rdir_xattr_failure& f : failures) {
        errno = f.eno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "xattr [%s] %s eno=%d error: ", shown, f.name.c_str(), f.eno);
    }
    if (ret < 0 || !failures.empty()) lane_st(job).o_file_fail_count++;
}

int make_link(libcdir_ctx* job, const mstat_item& entry, const rdir_dst_dir& dst,
              const char* dst_dir) {
    if ((entry.type & RDIR_TYPE_JUNCTION) != 0) return 0;
    const char* text = entry.link() != nullptr ? entry.link() : "";
    const bool to_dir = (entry.type & RDIR_TYPE_KIND_MASK) == RDIR_TYPE_DIR;
    // Whether it replaces something, for the changes= line when nothing listed the destination.
    struct stat there;
    lane_replaced(job) = dst.lstat(entry.name, &there) == 0;
    const verr ret = dst.make_link(entry.name, text, to_dir, mstat_item_attr(entry));
    if (ret < 0) {
        const int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO,
                 "os_symlink2 [%s]->[%s] eno=%d error: ", shown_path(dst_dir, entry.name).c_str(),
                 text, eno);
        count_o_fail_status(job, ret);
        return -1;
    }
    lane_st(job).file_open_count++;
    return 0;
}

// The extended attributes of a link (trusted and security ones: Linux allows no others there)
// onto the link just made, as cp -a copies them.
void copy_link_xattrs(libcdir_ctx* job, const mstat_item& entry, int src_dir_fd,
                      const rdir_dst_dir& dst, const char* dst_dir) {
    const std::string shown = shown_path(dst_dir, entry.name);
    const int from = openat(src_dir_fd, entry.name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    const int to = from < 0 ? -1 : openat(dst.fd(), entry.name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (to >= 0) {
        copy_xattrs(job, from, to, shown.c_str());
        close(to);
    } else {
        const int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "xattr_list [%s] eno=%d error: ", shown.c_str(), eno);
        lane_st(job).o_file_fail_count++;
    }
    if (from >= 0) close(from);
}

// A destination file that could not be started or placed: logged and counted. A directory at
// the name has its own words, since nothing here removes a directory.
void dst_failed(libcdir_ctx* job, verr status, const char* format, const char* name,
                const char* dst_dir) {
    const int eno = errno;
    if (status == VERR_IS_A_DIRECTORY) {
        CDIR_LOG(LOG_ERR, "[%s] a directory stands where the file goes: not replaced",
                 shown_path(dst_dir, name).c_str());
    } else {
        CDIR_LOG(LOG_ERR | LOG_ERRNO, format, shown_path(dst_dir, name).c_str(), eno);
    }
    count_o_fail_status(job, status);
}

// Starts the destination file; a failure is counted and logged. A directory standing at the
// name is a failure too: nothing here removes a directory.
bool start_dst(libcdir_ctx* job, rdir_dst_file* file, const rdir_dst_dir& dst, const char* name,
               const char* dst_dir, const mstat_attr& attr) {
    const verr ret = file->create(dst, name, rdir_attr_perm(attr), false);
    if (ret == 0) return true;
    dst_failed(job, ret, "o_open [%s] eno=%d error: ", name, dst_dir);
    return false;
}

bool commit_dst(libcdir_ctx* job, rdir_dst_file* file, const mstat_attr& attr, const char* name,
                const char* dst_dir, const struct stat* source = nullptr,
                const timespec (*times)[2] = nullptr) {
    const verr ret =
        times != nullptr ? file->commit(attr, source, *times) : file->commit(attr, source);
    lane_replaced(job) = file->existing().st_ino != 0;
    if (ret == 0) {
        lane_st(job).file_open_count++;
        job->done_files.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    if (ret == RDIR_DST_IS_SOURCE) {
        // The destination is the source itself (a hard link, or the same tree under another
        // name): it already is what a copy would make, and replacing it would only break links.
        CDIR_LOG(LOG_DBG, "[%s] is the source file itself: left alone",
                 shown_path(dst_dir, name).c_str());
        return true;
    }
    dst_failed(job, ret, "o_close [%s] eno=%d error: ", name, dst_dir);
    return false;
}

// ---- hard links ----

}  // namespace

struct libcdir_ctx::hard_link_map {
    struct first_copy {
        std::string dir;  // destination directory path, as the job's items carry it
        std::string name;
        dev_t dev = 0;  // the copy's own device and inode: it must still be that file
        ino_t ino = 0;
        nlink_t links_left = 0;  // links of the source not seen yet
    };
    struct key_hash {
        size_t operator()(const std::pair<dev_t, ino_t>& k) const {
            return std::hash<uint64_t>()(static_cast<uint64_t>(k.second) * 0x9e3779b97f4a7c15ull ^
                                         static_cast<uint64_t>(k.first));
        }
    };
    std::unordered_map<std::pair<dev_t, ino_t>, first_copy, key_hash> copies;
};

void libcdir_ctx::hard_link_map_deleter::operator()(hard_link_map* map) const {
    delete map;
}

size_t cdir_l_hard_links_pending(const libcdir_ctx* job) {
    return job->hard_link_copies ? job->hard_link_copies->copies.size() : 0;
}

namespace {

bool wants_hard_link(const libcdir_ctx* job, const struct stat& st) {
    return job->hard_links && S_ISREG(st.st_mode) && st.st_nlink > 1;
}

// Links the destination name to the copy already made of the same source file. True when the
// entry is dealt with (linked, or failed in a way a copy would fail too); false when it must be
// copied (no copy of it yet, or that copy is gone or cannot be linked).
bool link_to_first_copy(libcdir_ctx* job, const struct stat& src, const mstat_item& entry,
                        const rdir_dst_dir& dst, const char* dst_dir) {
    if (!job->hard_link_copies) return false;
    auto& copies = job->hard_link_copies->copies;
    auto it = copies.find({src.st_dev, src.st_ino});
    if (it == copies.end()) return false;
    const libcdir_ctx::hard_link_map::first_copy first = it->second;
    if (--it->second.links_left == 0) copies.erase(it);
    rdir_dst_dir other;
    const rdir_dst_dir* target = &dst;
    verr ret = 0;
    if (dst_dir == nullptr || first.dir != dst_dir) {
        ret = other.open(job->dst.fs.get(), cdir_rel_path(job->dst, first.dir), false);
        target = &other;
    }
    struct stat expect {};
    expect.st_dev = first.dev;
    expect.st_ino = first.ino;
    bool replaced = false;
    if (ret == 0) ret = dst.make_hard_link(*target, first.name, entry.name, &expect, &replaced);
    const int eno = errno;
    const std::string shown = shown_path(dst_dir, entry.name);
    if (ret == 0) {
        lane_replaced(job) = replaced;
        lane_st(job).file_open_count++;
        job->done_files.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    if (ret == VERR_IS_A_DIRECTORY) {
        CDIR_LOG(LOG_ERR, "[%s] a directory stands where the file goes: not replaced",
                 shown.c_str());
        lane_st(job).o_file_fail_count++;
        return true;
    }
    // The first copy was replaced or removed since, or the file system refuses more links:
    // this name gets a copy of its own.
    errno = eno;
    CDIR_LOG(LOG_WARN | LOG_ERRNO, "link [%s] to [%s] eno=%d, copied instead: ", shown.c_str(),
             shown_path(first.dir.c_str(), first.name.c_str()).c_str(), eno);
    return false;
}

// Remembers the copy just made of a source file whose other links are still to come.
void remember_first_copy(libcdir_ctx* job, const struct stat& src, const struct stat& copy,
                         const mstat_item& entry, const char* dst_dir) {
    try {
        if (!job->hard_link_copies) job->hard_link_copies.reset(new libcdir_ctx::hard_link_map);
        libcdir_ctx::hard_link_map::first_copy& first =
            job->hard_link_copies->copies[{src.st_dev, src.st_ino}];
        first.dir = dst_dir != nullptr ? dst_dir : "";
        first.name = entry.name;
        first.dev = copy.st_dev;
        first.ino = copy.st_ino;
        first.links_left = src.st_nlink - 1;
    } catch (const std::bad_alloc&) {
        // Without the record the other links become copies: more space, nothing lost.
        CDIR_LOG(LOG_WARN, "[%s] no memory to remember its hard links",
                 shown_path(dst_dir, entry.name).c_str());
    }
}

// Recreates a fifo, socket or device as such; only root may (an ordinary user cannot make
// devices, and a node owned by the copier would not be what the source is).
void copy_node(libcdir_ctx* job, const mstat_item& entry, int in, const struct stat& st,
               const rdir_dst_dir& dst, const char* src_dir, const char* dst_dir) {
    const std::string src_shown = shown_path(src_dir, entry.name);
    if (geteuid() != 0) {
        CDIR_LOG(LOG_ERR, "[%s] is a %s: not copied, only root recreates it", src_shown.c_str(),
                 node_kind(st.st_mode));
        lane_st(job).o_file_fail_count++;
        return;
    }
    const std::string dst_shown = shown_path(dst_dir, entry.name);
    rdir_dst_file file;
    const verr ret = file.create_node(dst, entry.name, st.st_mode, st.st_rdev);
    if (ret < 0) {
        const int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "o_mknod [%s] (%s) eno=%d error: ", dst_shown.c_str(),
                 node_kind(st.st_mode), eno);
        count_o_fail_status(job, ret);
        return;
    }
    const mstat_attr attr = attr_of_source(entry, st);
    if (job->xattrs && file.apply_owner_mode(attr) == 0) {
        copy_xattrs(job, in, file.fd(), dst_shown.c_str());
    }
    const timespec times[2] = {st.st_atim, st.st_mtim};
    commit_dst(job, &file, attr, entry.name, dst_dir, &st, &times);
}

// Opens the source entry without following a link, and its status. Fifos, sockets and devices
// are opened as paths only: nothing is read from them, and opening a device can act on it.
int open_source(int dir_fd, const mstat_item& entry, struct stat* st) {
    constexpr int kFile = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    constexpr int kPath = O_PATH | O_CLOEXEC | O_NOFOLLOW;
    auto open_stat = [&](int flags) {
        int fd = openat(dir_fd, entry.name, flags);
        if (fd >= 0 && fstat(fd, st) != 0) {
            int eno = errno;
            close(fd);
            errno = eno;
            fd = -1;
        }
        return fd;
    };
    const bool listed_node = (entry.type & RDIR_TYPE_NO_POSIX) == 0 && is_node(entry.mode);
    int in = open_stat(listed_node ? kPath : kFile);
    if (in < 0 && errno == ENXIO && !listed_node) return open_stat(kPath);  // a socket now
    if (in >= 0 && listed_node && !is_node(st->st_mode)) {
        close(in);  // no longer a node: its data is read after all
        in = open_stat(kFile);
    }
    return in;
}

}  // namespace

void cdir_set_lane(cdir_lane* lane) {
    t_lane = lane;
}

int cdir_l_copy(libcdir_ctx* job, const mstat_item& entry, int src_dir_fd, const rdir_dst_dir& dst,
                const char* src_dir, const char* dst_dir) {
    if ((entry.type & RDIR_TYPE_LINK) != 0) {
        const int ret = make_link(job, entry, dst, dst_dir);
        if (ret == 0 && job->xattrs) copy_link_xattrs(job, entry, src_dir_fd, dst, dst_dir);
        return ret;
    }
    struct stat before;
    int in = open_source(src_dir_fd, entry, &before);
    if (in < 0) {
        int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO,
                 "i_open [%s] eno=%d error: ", shown_path(src_dir, entry.name).c_str(), eno);
        count_i_fail(job, eno);
        return -1;
    }
    if (is_node(before.st_mode)) {
        copy_node(job, entry, in, before, dst, src_dir, dst_dir);
        close(in);
        return 0;
    }
    const bool linked = wants_hard_link(job, before);
    if (linked && link_to_first_copy(job, before, entry, dst, dst_dir)) {
        close(in);
        return 0;
    }
    rdir_dst_file file;
    const mstat_attr attr = attr_of_source(entry, before);
    if (!start_dst(job, &file, dst, entry.name, dst_dir, attr)) {
        close(in);
        return -1;
    }
    // Only regular files have content to copy.
    const uint64_t size = S_ISREG(before.st_mode) ? static_cast<uint64_t>(before.st_size) : 0;
    // Fewer blocks than the size needs: the file has holes worth finding.
    const bool sparse = size > 0 && static_cast<uint64_t>(before.st_blocks) * 512 < size;
    uint64_t copied = 0;
    const std::string src_shown = shown_path(src_dir, entry.name);
    const std::string dst_shown = shown_path(dst_dir, entry.name);
    copy_end end = size == 0 ? copy_end::done
                             : copy_data(job, in, file.fd(), size, src_shown.c_str(),
                                         dst_shown.c_str(), &copied, sparse);
    if (end != copy_end::done) {
        close(in);
        return 0;  // the temporary goes with `file`; the old destination stays
    }
    struct stat after;
    const bool changed = fstat(in, &after) != 0 || changed_since(before, after) || copied != size;
    if (changed) {
        close(in);
        CDIR_LOG(LOG_ERR, "[%s] changed while it was copied: not copied, the destination is kept",
                 src_shown.c_str());
        lane_st(job).i_file_fail_count++;
        return 0;
    }
    if (job->xattrs && file.apply_owner_mode(attr) == 0) {
        copy_xattrs(job, in, file.fd(), dst_shown.c_str());
    }
    close(in);
    struct stat copy {};
    if (linked && fstat(file.fd(), &copy) != 0) copy = {};
    const timespec times[2] = {before.st_atim, before.st_mtim};
    if (commit_dst(job, &file, attr, entry.name, dst_dir, &before, &times) && copy.st_ino != 0) {
        remember_first_copy(job, before, copy, entry, dst_dir);
    }
    return 0;
}

int cdir_write_file(libcdir_ctx* job, const mstat_item& entry, const rdir_dst_dir& dst,
                    const char* dst_dir, const char* data, size_t len) {
    if ((entry.type & RDIR_TYPE_LINK) != 0 && len == 0) return make_link(job, entry, dst, dst_dir);
    rdir_dst_file file;
    if (!start_dst(job, &file, dst, entry.name, dst_dir, mstat_item_attr(entry))) return -1;
    if (len > 0 && !write_all(file.fd(), data, len)) {
        int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO,
                 "o_write [%s] eno=%d error: ", shown_path(dst_dir, entry.name).c_str(), eno);
        count_o_fail(job, eno);
        return 0;
    }
    lane_st(job).total_write += len;
    commit_dst(job, &file, mstat_item_attr(entry), entry.name, dst_dir);
    return 0;
}

int cdir_l_create_dir(libcdir_ctx* job, const rdir_dst_dir& parent, const char* parent_path,
                      const mstat_item& entry) {
    bool created = false;
    const verr code = parent.make_dir(entry.name, &created);
    if (code < 0) {
        const int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO,
                 "mkdirs %s eno=%d error: ", shown_path(parent_path, entry.name).c_str(), eno);
        lane_st(job).o_file_fail_count++;
        cdir_verr_check(job, code);
        return code;
    }
    if (created) {
        // The owner now; the mode stays owner-only until the directory's contents are in.
        mstat_attr a = mstat_item_attr(entry);
        a.mode = (a.mode & ~07777u) | 0700;
        a.attr = 0700;
        (void)parent.set_attr(entry.name, a, false);
    }
    return 0;
}

namespace {

// A destination directory mirrors the source directory at the same place below the roots. They
// come before its mode, which then sets the ACL mask as the source has it.
void copy_dir_xattrs(libcdir_ctx* job, const rdir_dst_dir& dir, const std::string& dst_path) {
    const std::string rel(cdir_rel_path(job->dst, dst_path));
    int src = os_root_open_fd(job->src.fs.get(), rel.empty() ? "." : rel.c_str(),
                              O_RDONLY | O_DIRECTORY, 0);
    if (src < 0)
        src = os_root_open_fd(job->src.fs.get(), rel.empty() ? "." : rel.c_str(),
                              O_PATH | O_DIRECTORY, 0);
    if (src < 0) {
        int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO,
                 "xattr_list [%s] eno=%d error: ", path_join_raw(job->src.root, rel).c_str(), eno);
        lane_st(job).o_file_fail_count++;
        return;
    }
    copy_xattrs(job, src, dir.fd(), dst_path.c_str());
    close(src);
}

}  // namespace

int cdir_l_touch_dir(libcdir_ctx* job, const cdir_item& item, bool with_times) {
    mstat_attr attr = item.attr;
    if (item.is_root) {
        if (!job->dst_root_created) return 0;
        attr = job->src_root_attr;
    }
    if (attr.type == 0 || item.dst_path.empty()) return 0;
    rdir_dst_dir dir;
    verr code = dir.open(job->dst.fs.get(), cdir_rel_path(job->dst, item.dst_path), false);
    if (code == VERR_FILE_NOT_FOUND) return 0;  // a sync made nothing below it
    if (code == 0 && job->xattrs) copy_dir_xattrs(job, dir, item.dst_path);
    if (code == 0) code = dir.set_own_attr(attr, with_times);
    if (code < 0) {
        const int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "lutime %s eno=%d error: ", item.dst_path.c_str(), eno);
        cdir_verr_check(job, code);
        return code;
    }
    return 0;
}

void cdir_l_finish_new_dirs(libcdir_ctx* job) {
    // Deepest first: a parent's final mode may close it to the writes below it.
    for (auto it = job->new_dirs.rbegin(); it != job->new_dirs.rend(); ++it) {
        rdir_dst_dir dir;
        if (dir.open(job->dst.fs.get(), cdir_rel_path(job->dst, it->path), false) != 0) continue;
        if (job->xattrs) copy_dir_xattrs(job, dir, it->path);
        if (dir.set_own_attr(it->attr, false) < 0) {
            const int eno = errno;
            CDIR_LOG(LOG_ERR | LOG_ERRNO, "chmod %s eno=%d error: ", it->path.c_str(), eno);
        }
    }
    job->new_dirs.clear();
}

// ---- transfers with a remote side ----

namespace {

// The source entry opened for a transfer to a server: regular files only (a server cannot be
// given fifos, sockets or devices). -1 after counting the failure.
int open_regular_source(libcdir_ctx* job, int src_dir_fd, const mstat_item& entry,
                        const char* src_dir, struct stat* st) {
    int in = open_source(src_dir_fd, entry, st);
    if (in < 0) {
        int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO,
                 "i_open [%s] eno=%d error: ", shown_path(src_dir, entry.name).c_str(), eno);
        count_i_fail(job, eno);
        return -1;
    }
    if (!S_ISREG(st->st_mode)) {
        CDIR_LOG(LOG_ERR, "[%s] is a %s: not copied to a server",
                 shown_path(src_dir, entry.name).c_str(),
                 is_node(st->st_mode) ? node_kind(st->st_mode) : "directory");
        close(in);
        lane_st(job).i_file_fail_count++;
        return -1;
    }
    return in;
}

void source_changed(libcdir_ctx* job, const std::string& shown) {
    CDIR_LOG(LOG_ERR, "[%s] changed while it was copied: not copied, the destination is kept",
             shown.c_str());
    lane_st(job).i_file_fail_count++;
}

}  // namespace

int64_t cdir_read_local_mfile_base64(libcdir_ctx* job, int src_dir_fd, const mstat_item& entry,
                                     const char* src_dir, uint64_t max_size, mstat_attr* attr) {
    struct stat before;
    int in = open_regular_source(job, src_dir_fd, entry, src_dir, &before);
    if (in < 0) return -1;
    const std::string shown = shown_path(src_dir, entry.name);
    // One byte more than the file holds, so that a file that grew meanwhile is seen.
    const uint64_t size = static_cast<uint64_t>(before.st_size);
    const size_t want = static_cast<size_t>(std::min(size, max_size) + 1);
    char* buf = job->trans_buf.get();
    size_t got = 0;
    while (got < want) {
        ssize_t n = read_full_retry(in, buf + got, want - got);
        if (n < 0) {
            int eno = errno;
            CDIR_LOG(LOG_ERR | LOG_ERRNO, "i_read [%s] eno=%d error: ", shown.c_str(), eno);
            count_i_fail(job, eno);
            close(in);
            return -1;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
        // A regular file's read stops short only at its end: no second call to hear that. A
        // file that grew fills `want`; one that changed otherwise shows in its status below.
        if (got == size) break;
    }
    struct stat after;
    const bool changed = fstat(in, &after) != 0 || changed_since(before, after) || got != size;
    close(in);
    if (changed) {
        source_changed(job, shown);
        return -1;
    }
    *attr = attr_of_source(entry, before);
    if (rdir_b64_encode(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(buf), got),
                        job->enc_buf.get(), job->bs) < 0) {
        CDIR_LOG(LOG_ERR, "[%s] size=%zu does not fit the encode buffer", shown.c_str(), got);
        lane_st(job).i_file_fail_count++;
        return -1;
    }
    return static_cast<int64_t>(got);
}

int cdir_lr_up_file(libcdir_ctx* job, const mstat_item& entry, int src_dir_fd, const char* src_dir,
                    const char* dst_dir) {
    struct stat before;
    int in = open_regular_source(job, src_dir_fd, entry, src_dir, &before);
    if (in < 0) return -1;
    const std::string src = shown_path(src_dir, entry.name);
    const std::string dst = shown_path(dst_dir, entry.name);
    vbfile* out = job->obfile.get();
    char* buf = lane_buf(job);
    const uint64_t size = static_cast<uint64_t>(before.st_size);
    // The holes of a sparse source stay holes: its zero runs are not sent.
    const bool sparse = size > 0 && static_cast<uint64_t>(before.st_blocks) * 512 < size;
    uint64_t offset = 0;
    bool first = true;
    for (;;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(job->bs, size - offset));
        ssize_t n;
        do {
            n = pread(in, buf, want, static_cast<off_t>(offset));
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            int eno = errno;
            CDIR_LOG(LOG_ERR | LOG_ERRNO, "i_read [%s] eno=%d error: ", src.c_str(), eno);
            count_i_fail(job, eno);
            vbfile_abandon(out);
            close(in);
            return 0;
        }
        lane_st(job).total_read += static_cast<uint64_t>(n);
        const size_t len = static_cast<size_t>(n);
        if (!cdir_send_block(out, dst.c_str(), buf, len, offset, first, sparse)) {
            CDIR_LOG(LOG_ERR, "o_write [%s] error: %s", dst.c_str(), verr2str(job->last_verr));
            lane_st(job).o_file_fail_count++;
            close(in);
            return 0;
        }
        first = false;
        lane_st(job).total_write += len;
        job->done_bytes.fetch_add(len, std::memory_order_relaxed);
        offset += len;
        if (offset >= size || len < want) break;
        if (cdir_need_exit(job)) {
            vbfile_abandon(out);
            close(in);
            return 0;
        }
    }
    struct stat after;
    const bool changed = fstat(in, &after) != 0 || changed_since(before, after) || offset != size;
    close(in);
    if (changed) {
        vbfile_abandon(out);
        source_changed(job, src);
        return 0;
    }
    if (sparse && vbfile_set_size(out, size) < 0) {
        CDIR_LOG(LOG_ERR, "o_write [%s] error: %s", dst.c_str(), verr2str(job->last_verr));
        lane_st(job).o_file_fail_count++;
        return 0;
    }
    const mstat_attr attr = attr_of_source(entry, before);
    int rc = vbfile_close(out, &attr);
    if (rc != 0) {
        CDIR_LOG(LOG_ERR, "o_close [%s] error: %s", dst.c_str(), verr2str(rc));
        lane_st(job).o_file_fail_count++;
        cdir_verr_check(job, rc);
        return 0;
    }
    lane_st(job).file_open_count++;
    job->done_files.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

namespace {

constexpr size_t kHolePiece = 4096;

bool all_zero(const char* p, size_t n) {
    return n == 0 || (p[0] == 0 && memcmp(p, p + 1, n - 1) == 0);
}

// Writes a block read at `offset`: in sequence, or (sparse) its data runs at their places.
bool write_block(int fd, const char* buf, size_t len, uint64_t offset, bool sparse) {
    if (!sparse) return len == 0 || write_all(fd, buf, len);
    size_t at = 0, run = 0;
    while (cdir_next_data_run(buf, len, &at, &run)) {
        if (!write_all(fd, buf + at, run, static_cast<int64_t>(offset + at))) return false;
        at += run;
    }
    return true;
}

}  // namespace

bool cdir_next_data_run(const char* buf, size_t len, size_t* from, size_t* run) {
    size_t pos = *from;
    while (pos < len && all_zero(buf + pos, std::min(kHolePiece, len - pos))) pos += kHolePiece;
    if (pos >= len) return false;
    size_t end = pos;
    while (end < len && !all_zero(buf + end, std::min(kHolePiece, len - end))) end += kHolePiece;
    *from = pos;
    *run = std::min(end, len) - pos;
    return true;
}

bool cdir_send_block(vbfile* out, const char* dst, const char* buf, size_t len, uint64_t offset,
                     bool first, bool sparse) {
    if (first && vbfile_create_write(out, dst, 0, buf, sparse ? 0 : len) < 0) return false;
    if (!sparse) {
        return first || vbfile_write_at(out, static_cast<int64_t>(offset), buf, len) >= 0;
    }
    size_t at = 0, run = 0;
    while (cdir_next_data_run(buf, len, &at, &run)) {
        if (vbfile_write_at(out, static_cast<int64_t>(offset + at), buf + at, run) < 0)
            return false;
        at += run;
    }
    return true;
}

bool cdir_open_served_source(libcdir_ctx* job, const char* src, vbfile_state* before) {
    vbfile* in = job->ibfile.get();
    if (vbfile_open_read(in, src, 0, nullptr, 0) < 0) {
        CDIR_LOG(LOG_ERR, "i_open [%s] error: %s", src, verr2str(job->last_verr));
        lane_st(job).i_file_fail_count++;
        return false;
    }
    if (vbfile_state_of(in, before) < 0) {
        CDIR_LOG(LOG_ERR, "i_stat [%s] error: %s", src, verr2str(job->last_verr));
        lane_st(job).i_file_fail_count++;
        return false;
    }
    return true;
}

bool cdir_served_source_unchanged(libcdir_ctx* job, const char* src, const vbfile_state& before,
                                  uint64_t read, char* buf) {
    vbfile* in = job->ibfile.get();
    bool changed = read != before.size;
    if (!changed) {
        // A file that grew without a new time still shows it by a byte past its old end.
        const int64_t n = vbfile_read_at(in, static_cast<int64_t>(before.size), buf, 1);
        if (n < 0) {
            CDIR_LOG(LOG_ERR, "i_read [%s] error: %s", src, verr2str(job->last_verr));
            lane_st(job).i_file_fail_count++;
            return false;
        }
        changed = n != 0;
    }
    if (!changed) {
        vbfile_state after;
        if (vbfile_state_of(in, &after) < 0) {
            CDIR_LOG(LOG_ERR, "i_stat [%s] error: %s", src, verr2str(job->last_verr));
            lane_st(job).i_file_fail_count++;
            return false;
        }
        changed = !after.same_as(before);
    }
    if (changed) source_changed(job, src);
    return !changed;
}

bool cdir_listed_node(const mstat_item& entry) {
    return (entry.type & (RDIR_TYPE_NO_POSIX | RDIR_TYPE_LINK)) == 0 && is_node(entry.mode);
}

const char* cdir_node_kind(uint32_t mode) {
    return node_kind(mode);
}

void cdir_node_not_to_server(libcdir_ctx* job, const mstat_item& entry, const char* src_dir) {
    CDIR_LOG(LOG_ERR, "[%s] is a %s: not copied to a server",
             shown_path(src_dir, entry.name).c_str(), node_kind(entry.mode));
    lane_st(job).i_file_fail_count++;
}

bool cdir_server_makes_node(const libcdir_ctx* job, uint32_t mode) {
    const uint32_t kinds = job->dst_nodes.load();
    const mode_t type = static_cast<mode_t>(mode) & S_IFMT;
    if (S_ISFIFO(type) || S_ISSOCK(type)) return (kinds & CDIR_NODES_FIFO) != 0;
    if (S_ISCHR(type) || S_ISBLK(type)) return (kinds & CDIR_NODES_DEVICE) != 0;
    return false;
}

bool cdir_node_line_attr(libcdir_ctx* job, int src_dir_fd, const mstat_item& entry,
                         const char* src_dir, std::string* rdev, mstat_attr* attr) {
    const std::string src_shown = shown_path(src_dir, entry.name);
    uint64_t number = 0;
    if (src_dir_fd >= 0) {
        struct stat st;
        if (fstatat(src_dir_fd, entry.name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            int eno = errno;
            CDIR_LOG(LOG_ERR | LOG_ERRNO, "i_open [%s] eno=%d error: ", src_shown.c_str(), eno);
            count_i_fail(job, eno);
            return false;
        }
        if ((st.st_mode & S_IFMT) != (entry.mode & S_IFMT)) {
            source_changed(job, src_shown);
            return false;
        }
        *attr = attr_of_source(entry, st);
        number = st.st_rdev;
    } else {
        *attr = mstat_item_attr(entry);
        if (S_ISCHR(entry.mode) || S_ISBLK(entry.mode)) {
            // The listing does not carry the device number: the server is asked for it.
            uint32_t mode = 0;
            const int ret = job->ibfile->node_of(src_shown.c_str(), &mode, &number);
            if (ret != 0 || (mode & S_IFMT) != (entry.mode & S_IFMT) || number == 0) {
                CDIR_LOG(LOG_ERR, "[%s] is a %s whose device number cannot be had: not copied",
                         src_shown.c_str(), node_kind(entry.mode));
                lane_st(job).i_file_fail_count++;
                if (ret < 0) cdir_verr_check(job, ret);
                return false;
            }
        }
    }
    *rdev = S_ISCHR(attr->mode) || S_ISBLK(attr->mode) ? std::to_string(number) : std::string();
    attr->link = rdev->empty() ? nullptr : rdev->c_str();
    return true;
}

void cdir_rl_make_node(libcdir_ctx* job, const mstat_item& entry, const char* src_dir,
                       const rdir_dst_dir& dst, const char* dst_dir) {
    const std::string src_shown = shown_path(src_dir, entry.name);
    if (geteuid() != 0) {
        CDIR_LOG(LOG_ERR, "[%s] is a %s: not copied, only root recreates it", src_shown.c_str(),
                 node_kind(entry.mode));
        lane_st(job).o_file_fail_count++;
        return;
    }
    uint32_t mode = entry.mode;
    uint64_t rdev = 0;
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        // The listing does not carry the device number: the server is asked for it.
        const int ret = job->ibfile->node_of(src_shown.c_str(), &mode, &rdev);
        if (ret != 0 || (mode & S_IFMT) != (entry.mode & S_IFMT) || rdev == 0) {
            CDIR_LOG(LOG_ERR, "[%s] is a %s whose device number cannot be had: not copied",
                     src_shown.c_str(), node_kind(entry.mode));
            lane_st(job).i_file_fail_count++;
            if (ret < 0) cdir_verr_check(job, ret);
            return;
        }
        mode = (mode & S_IFMT) | (entry.mode & ~static_cast<uint32_t>(S_IFMT));
    }
    const std::string dst_shown = shown_path(dst_dir, entry.name);
    rdir_dst_file file;
    const verr ret = file.create_node(dst, entry.name, mode, static_cast<dev_t>(rdev));
    if (ret < 0) {
        const int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "o_mknod [%s] (%s) eno=%d error: ", dst_shown.c_str(),
                 node_kind(mode), eno);
        count_o_fail_status(job, ret);
        return;
    }
    commit_dst(job, &file, mstat_item_attr(entry), entry.name, dst_dir);
}

int cdir_rl_copy_file(libcdir_ctx* job, const mstat_item& entry, const char* src_dir,
                      const rdir_dst_dir& dst, const char* dst_dir) {
    const std::string src = shown_path(src_dir, entry.name);
    vbfile* in = job->ibfile.get();
    char* buf = lane_buf(job);
    vbfile_state before;
    if (!cdir_open_served_source(job, src.c_str(), &before)) return -1;
    // The copy carries the times of what it copied, not those of an older listing.
    mstat_attr attr = mstat_item_attr(entry);
    attr.atime = before.atime;
    attr.mtime = before.mtime;
    rdir_dst_file file;
    if (!start_dst(job, &file, dst, entry.name, dst_dir, attr)) {
        vbfile_close(in, nullptr);
        return -1;
    }
    const uint64_t size = before.size;
    // The holes of a sparse source stay holes: its zero runs are not written.
    const bool sparse = before.sparse();
    uint64_t offset = 0;
    while (offset < size) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(job->bs, size - offset));
        const int64_t n = vbfile_read_at(in, static_cast<int64_t>(offset), buf, want);
        if (n < 0) {
            CDIR_LOG(LOG_ERR, "i_read [%s] error: %s", src.c_str(), verr2str(job->last_verr));
            lane_st(job).i_file_fail_count++;
            return 0;
        }
        const size_t len = static_cast<size_t>(n);
        lane_st(job).total_read += len;
        if (!write_block(file.fd(), buf, len, offset, sparse)) {
            int eno = errno;
            CDIR_LOG(LOG_ERR | LOG_ERRNO,
                     "o_write [%s] eno=%d error: ", shown_path(dst_dir, entry.name).c_str(), eno);
            count_o_fail(job, eno);
            vbfile_close(in, nullptr);
            return 0;  // the temporary goes with `file`; the old destination stays
        }
        lane_st(job).total_write += len;
        job->done_bytes.fetch_add(len, std::memory_order_relaxed);
        offset += len;
        if (len < want) break;
        if (cdir_need_exit(job)) {
            vbfile_close(in, nullptr);
            return 0;
        }
    }
    const bool unchanged = cdir_served_source_unchanged(job, src.c_str(), before, offset, buf);
    vbfile_close(in, nullptr);
    if (!unchanged) return 0;
    if (sparse && ftruncate(file.fd(), static_cast<off_t>(offset)) != 0) {
        int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO,
                 "o_write [%s] eno=%d error: ", shown_path(dst_dir, entry.name).c_str(), eno);
        count_o_fail(job, eno);
        return 0;
    }
    commit_dst(job, &file, attr, entry.name, dst_dir);
    return 0;
}
