#include "libcdir/v_fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "libcdir/v_rdir.h"
#include "libcdir/work.h"
#include "libpal/os_fs.h"

namespace {

// ---- block file endpoint, local side ----

class local_bfile final : public vbfile {
  public:
    local_bfile() = default;
    ~local_bfile() override { close_file(nullptr); }
    local_bfile(const local_bfile&) = delete;
    local_bfile& operator=(const local_bfile&) = delete;

    int64_t open_read(const char* path, int64_t offset, char* buf, size_t len) override {
        close_file(nullptr);
        fd_ = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd_ < 0) return -1;
        return read_at(offset, buf, len);
    }
    int64_t read_at(int64_t offset, char* buf, size_t len) override {
        if (fd_ < 0) {
            errno = EBADF;
            return -1;
        }
        ssize_t n;
        do {
            n = pread(fd_, buf, len, offset);
        } while (n < 0 && errno == EINTR);
        return n;
    }
    int64_t create_write(const char*, int64_t, const char*, size_t) override {
        errno = EOPNOTSUPP;
        return -1;
    }
    int64_t write_at(int64_t, const char*, size_t) override {
        errno = EOPNOTSUPP;
        return -1;
    }
    int close_file(const mstat_attr*) override {
        if (fd_ < 0) return 0;
        int ret = close(fd_);
        fd_ = -1;
        return ret;
    }

  private:
    int fd_ = -1;
};

void block_failure(vbfile* h) {
    int eno = errno;
    cdir_verr_check(h->job, h->is_local ? os_verr_get(eno) : VERR_GENERAL_FAILURE);
    h->close_file(nullptr);
    errno = eno;
}

// ---- local file helpers ----

ssize_t read_full_retry(int fd, char* buf, size_t len) {
    ssize_t n;
    do {
        n = read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n;
}

// Writes all of `len` bytes; a short write is continued, so that only a real failure stops it.
bool write_all(int fd, const char* buf, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
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
    }
    return true;
}

constexpr int kDstFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;

// Opens a destination file for writing: created 0644 when absent, truncated when present.
// Something other than a regular file standing there (a symbolic link, a fifo, a device) is
// replaced, never written through: it could point anywhere, or block the job forever. So is a
// file this user may not write but may remove. Missing parents are created when the first open
// fails for another reason than a permission. *st receives the opened file's status.
int open_dst(const char* dst, struct stat* st) {
    int fd = open(dst, kDstFlags, 0644);
    if (fd < 0 && (errno == ELOOP || errno == ENXIO)) {
        if (unlink(dst) == 0) fd = open(dst, kDstFlags, 0644);
    }
    if (fd < 0 && (errno == EACCES || errno == EPERM)) {
        // A read-only file from an earlier copy is replaced, as its directory allows.
        int eno = errno;
        if (unlink(dst) == 0) {
            fd = open(dst, kDstFlags, 0644);
        } else {
            errno = eno;
        }
    }
    if (fd < 0) {
        if (errno == EPERM || errno == EACCES || errno == EISDIR) return -1;
        int eno = errno;
        if (os_mkdirs_parent_raw(dst) != 0) {
            errno = eno;
            return -1;
        }
        fd = open(dst, kDstFlags, 0644);
        if (fd < 0) return -1;
    }
    if (fstat(fd, st) == 0 && S_ISREG(st->st_mode)) return fd;
    close(fd);
    if (unlink(dst) != 0) return -1;
    fd = open(dst, kDstFlags | O_EXCL, 0644);
    if (fd >= 0 && fstat(fd, st) != 0) {
        // Nothing known about the new file: every attribute is applied.
        st->st_uid = static_cast<uid_t>(-1);
        st->st_mode = 0;
    }
    return fd;
}

uint32_t perm_bits(const mstat_attr& a) {
    return ((a.type & RDIR_TYPE_NO_POSIX) != 0 ? a.attr : a.mode) & 07777;
}

// Owner first: changing it clears the set-user-id and set-group-id bits that the mode sets.
// The single steps' failures are not reported (an unprivileged run cannot give files away).
// `st` is the open file's status: an owner or mode it already has is not set again, which saves
// two system calls for most files of a copy.
void apply_fd_attr(int fd, const struct stat& st, const mstat_attr& a) {
    bool owner_changed = false;
    if ((a.type & RDIR_TYPE_NO_POSIX) != 0 && a.uid == 0 && a.gid == 0) {
        // A record without owner information keeps the process's own.
    } else if (st.st_uid == a.uid && st.st_gid == a.gid) {
        // Already the wanted owner.
    } else {
        owner_changed = true;
        if (fchown(fd, a.uid, a.gid) != 0) {
            // Not permitted for an unprivileged user: the file keeps its creator.
        }
    }
    // Writing as an unprivileged user clears set-user-id and set-group-id bits, maybe after `st`
    // was taken: a mode with them is always set.
    const uint32_t perm = perm_bits(a);
    if (owner_changed || (st.st_mode & 07777) != perm || (perm & (S_ISUID | S_ISGID)) != 0) {
        (void)fchmod(fd, perm);
    }
    timespec times[2];
    times[0].tv_sec = a.atime;
    times[0].tv_nsec = 0;
    times[1].tv_sec = a.mtime;
    times[1].tv_nsec = 0;
    (void)futimens(fd, times);
}

void count_o_fail(libcdir_ctx* job, int eno) {
    job->st.o_file_fail_count++;
    cdir_verr_check(job, os_verr_get(eno));
}

void count_i_fail(libcdir_ctx* job, int eno) {
    job->st.i_file_fail_count++;
    cdir_verr_check(job, os_verr_get(eno));
}

// A destination that did not receive all of its content must not stay behind looking like a
// copy; its old content is gone already (it was truncated).
void drop_partial(const char* dst) {
    if (unlink(dst) == 0) {
        CDIR_LOG(LOG_WARN, "[%s] removed: incomplete copy", dst);
    }
}

enum class copy_end { done, in_fail, out_fail, stopped };

// copy_file_range moves the data inside the kernel; a failure of it falls back to read/write for
// the same chunk, which then tells which side failed.
copy_end copy_data(libcdir_ctx* job, int in, int out, uint64_t size, const char* src,
                   const char* dst, uint64_t* copied) {
    const size_t chunk = job->bs;
    char* buf = job->trans_buf.get();
    uint64_t remaining = size;
    *copied = 0;
    while (remaining > 0) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(chunk, remaining));
        if (!job->no_copy_range) {
            ssize_t n = copy_file_range(in, nullptr, out, nullptr, want, 0);
            if (n > 0) {
                job->st.total_read += static_cast<uint64_t>(n);
                job->st.total_write += static_cast<uint64_t>(n);
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
        job->st.total_read += static_cast<uint64_t>(r);
        if (!write_all(out, buf, static_cast<size_t>(r))) {
            int eno = errno;
            CDIR_LOG(LOG_ERR | LOG_ERRNO, "o_write [%s] eno=%d error: ", dst, eno);
            count_o_fail(job, eno);
            return copy_end::out_fail;
        }
        job->st.total_write += static_cast<uint64_t>(r);
        remaining -= static_cast<uint64_t>(r);
        *copied += static_cast<uint64_t>(r);
        if (cdir_need_exit(job)) return copy_end::stopped;
    }
    return copy_end::done;
}

// Closes a written destination; a failure here can mean lost data.
bool close_dst(libcdir_ctx* job, int fd, const char* dst) {
    if (close(fd) == 0) return true;
    int eno = errno;
    CDIR_LOG(LOG_ERR | LOG_ERRNO, "o_close [%s] eno=%d error: ", dst, eno);
    count_o_fail(job, eno);
    return false;
}

}  // namespace

// ---- block file endpoint ----

vbfile* vbfile_init(libcdir_ctx* job, const char* url, err_info* err) {
    if (!cdir_url_is_local(url)) {
        CDIR_LOG(LOG_ERR, "[%s] remote endpoints are not supported", url);
        ERR_INFO_SET(err, VERR_NOT_SUPPORTED, nullptr);
        return nullptr;
    }
    auto* h = new (std::nothrow) local_bfile();
    if (h == nullptr) {
        ERR_INFO_SET(err, VERR_NO_MEMORY, nullptr);
        return nullptr;
    }
    h->job = job;
    h->is_local = true;
    return h;
}

int64_t vbfile_open_read(vbfile* h, const char* path, int64_t offset, char* buf, size_t len) {
    if (!DV_ASSERT("cdir", h != nullptr)) return -1;
    int64_t n = h->open_read(path, offset, buf, len);
    if (n < 0) block_failure(h);
    return n < 0 ? -1 : n;
}

int64_t vbfile_read_at(vbfile* h, int64_t offset, char* buf, size_t len) {
    if (!DV_ASSERT("cdir", h != nullptr)) return -1;
    int64_t n = h->read_at(offset, buf, len);
    if (n < 0) block_failure(h);
    return n < 0 ? -1 : n;
}

int64_t vbfile_create_write(vbfile* h, const char* path, int64_t offset, const char* buf,
                            size_t len) {
    if (!DV_ASSERT("cdir", h != nullptr)) return -1;
    if (h->is_local) return -1;
    int64_t n = h->create_write(path, offset, buf, len);
    if (n < 0) block_failure(h);
    return n < 0 ? -1 : n;
}

int64_t vbfile_write_at(vbfile* h, int64_t offset, const char* buf, size_t len) {
    if (!DV_ASSERT("cdir", h != nullptr)) return -1;
    if (h->is_local) return -1;
    if (len == 0) return 0;
    int64_t n = h->write_at(offset, buf, len);
    if (n < 0) block_failure(h);
    return n < 0 ? -1 : n;
}

int vbfile_close(vbfile* h, const mstat_attr* attr) {
    if (h == nullptr) return 0;
    return h->close_file(attr);
}

void vbfile_stop(vbfile* h) {
    if (h != nullptr) h->stop();
}

void vbfile_exit(vbfile* h) {
    delete h;
}

// ---- local file operations ----

int cdir_copy_file(libcdir_ctx* job, const mstat_item& entry, const char* src, const char* dst) {
    int in = open(src, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (in < 0) {
        int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "i_open [%s] eno=%d error: ", src, eno);
        count_i_fail(job, eno);
        return -1;
    }
    struct stat out_st;
    int out = open_dst(dst, &out_st);
    if (out < 0) {
        int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "o_open [%s] eno=%d error: ", dst, eno);
        count_o_fail(job, eno);
        close(in);
        return -1;
    }
    uint64_t copied = 0;
    copy_end end = copy_data(job, in, out, entry.size, src, dst, &copied);
    close(in);
    if (end != copy_end::done) {
        close(out);
        drop_partial(dst);
        return 0;
    }
    if (copied < entry.size) {
        CDIR_LOG(LOG_WARN, "[%s] size=%llu, shorter than listed (%llu): copied what was there", src,
                 static_cast<unsigned long long>(copied),
                 static_cast<unsigned long long>(entry.size));
    }
    apply_fd_attr(out, out_st, mstat_item_attr(entry));
    if (!close_dst(job, out, dst)) {
        drop_partial(dst);
        return 0;
    }
    job->st.file_open_count++;
    return 0;
}

int cdir_create_file(libcdir_ctx* job, const mstat_item& entry, const char* dst) {
    mstat_attr attr = mstat_item_attr(entry);
    if ((entry.type & RDIR_TYPE_LINK) != 0) {
        if ((entry.type & RDIR_TYPE_JUNCTION) != 0) return 0;
        const char* text = entry.link() != nullptr ? entry.link() : "";
        int flags = (entry.type & RDIR_TYPE_KIND_MASK) == RDIR_TYPE_DIR ? OS_SYMLINK_DIR : 0;
        os_attr oa;
        cdir_os_attr(attr, &oa);
        int ret = os_symlink2_raw(dst, text, flags, &oa);
        if (ret != 0 && errno == EEXIST) {
            // Replace what stands there: a file, or an empty directory for a link to a directory.
            if (flags != 0) {
                os_rmdir_or_remove_raw(dst);
            } else {
                os_remove_raw(dst);
            }
            ret = os_symlink2_raw(dst, text, flags, &oa);
        } else if (ret != 0 && errno == ENOENT && os_mkdirs_parent_raw(dst) == 0) {
            ret = os_symlink2_raw(dst, text, flags, &oa);
        }
        if (ret != 0) {
            int eno = errno;
            CDIR_LOG(LOG_ERR | LOG_ERRNO, "os_symlink2 [%s]->[%s] eno=%d error: ", dst, text, eno);
            count_o_fail(job, eno);
            return -1;
        }
        job->st.file_open_count++;
        return 0;
    }
    struct stat st;
    int fd = open_dst(dst, &st);
    if (fd < 0) {
        int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "o_open [%s] eno=%d error: ", dst, eno);
        count_o_fail(job, eno);
        return -1;
    }
    apply_fd_attr(fd, st, attr);
    if (!close_dst(job, fd, dst)) return -1;
    job->st.file_open_count++;
    return 0;
}

int cdir_write_file(libcdir_ctx* job, const mstat_item& entry, const char* dst, const char* data,
                    size_t len) {
    if (len == 0) return cdir_create_file(job, entry, dst);
    struct stat st;
    int fd = open_dst(dst, &st);
    if (fd < 0) {
        int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "o_open [%s] eno=%d error: ", dst, eno);
        count_o_fail(job, eno);
        return -1;
    }
    if (!write_all(fd, data, len)) {
        int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "o_write [%s] eno=%d error: ", dst, eno);
        count_o_fail(job, eno);
        close(fd);
        drop_partial(dst);
        return 0;
    }
    job->st.total_write += len;
    apply_fd_attr(fd, st, mstat_item_attr(entry));
    if (!close_dst(job, fd, dst)) {
        drop_partial(dst);
        return 0;
    }
    job->st.file_open_count++;
    return 0;
}

int cdir_l_copy(libcdir_ctx* job, const mstat_item& entry, const char* src, const char* dst) {
    if (entry.size == 0) return cdir_create_file(job, entry, dst);
    return cdir_copy_file(job, entry, src, dst);
}

int cdir_l_create_dir(libcdir_ctx* job, const char* path, const mstat_item& entry) {
    int ret = os_mkdir_raw(path, 0755);
    if (ret != 0 && errno == ENOENT) ret = os_mkdirs_raw(path);
    if (ret != 0) {
        int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "mkdirs %s eno=%d error: ", path, eno);
        verr code = os_verr_get(eno);
        cdir_verr_check(job, code);
        return code;
    }
    mstat_attr attr = mstat_item_attr(entry);
    os_attr oa;
    cdir_os_attr(attr, &oa);
    // The files of the directory are written after this; its final mode follows with its times.
    oa.flags &= ~OS_ATTR_NO_POSIX_MODE;
    oa.mode = perm_bits(attr) | S_IRWXU;
    os_set_attr_raw(path, &oa);
    return 0;
}

int cdir_l_touch_dir(libcdir_ctx* job, const char* src_dir, const cdir_item& item) {
    if (src_dir == nullptr || job->src.root == src_dir) return 0;
    if (item.attr.type == 0 || item.dst_path.empty()) return 0;
    const char* dst = item.dst_path.c_str();
    // Copy rule 4 created the directory writable for its owner (cdir_l_create_dir); its final
    // mode comes now that its files are in.
    uint32_t perm = perm_bits(item.attr);
    const bool final_mode = job->cmp_mode == LIBCDIR_CMP_OVERWRITE && (perm & S_IRWXU) != S_IRWXU;
    if (final_mode) (void)os_chmod_raw(dst, perm);
    os_times times{};
    times.atime.sec = item.attr.atime;
    times.mtime.sec = item.attr.mtime;
    times.ctime.sec = item.attr.ctime;
    int ret = lutime_raw(dst, &times);
    if (ret != 0 && errno == ENOENT && os_mkdirs_raw(dst) == 0) {
        if (final_mode) (void)os_chmod_raw(dst, perm);
        ret = lutime_raw(dst, &times);
    }
    if (ret != 0) {
        int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "lutime %s eno=%d error: ", dst, eno);
        verr code = os_verr_get(eno);
        cdir_verr_check(job, code);
        return code;
    }
    return 0;
}
