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
#include "libpal/os_root.h"
#include "libpal/url.h"

namespace {

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
        if (!side_->fs) return VERR_INVALID_PARAMETER;
        std::string rel(cdir_rel_path(*side_, path));
        fd_ = os_root_open_fd(side_->fs.get(), rel.empty() ? "." : rel.c_str(),
                              O_RDONLY | O_NONBLOCK, 0);
        if (fd_ < 0) return status_of(errno);
        return read_at(offset, buf, len);
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
    cdir_verr_check(h->job, static_cast<verr>(status));
    h->close_file(nullptr);
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

void count_o_fail(libcdir_ctx* job, int eno) {
    job->st.o_file_fail_count++;
    cdir_verr_check(job, os_verr_get(eno));
}

void count_i_fail(libcdir_ctx* job, int eno) {
    job->st.i_file_fail_count++;
    cdir_verr_check(job, os_verr_get(eno));
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

}  // namespace

// ---- block file endpoint ----

vbfile* cdir_local_bfile_new(const cdir_side* side) {
    return new (std::nothrow) local_bfile(side);
}

int64_t vbfile_open_read(vbfile* h, const char* path, int64_t offset, char* buf, size_t len) {
    if (!DV_ASSERT("cdir", h != nullptr)) return -1;
    int64_t n = h->open_read(path, offset, buf, len);
    if (n < 0) block_failure(h, n);
    return n < 0 ? -1 : n;
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

void count_o_fail_code(libcdir_ctx* job, int eno) {
    job->st.o_file_fail_count++;
    cdir_verr_check(job, os_verr_get(eno));
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
    a.mtime = st.st_mtim.tv_sec;
    return a;
}

int make_link(libcdir_ctx* job, const mstat_item& entry, const rdir_dst_dir& dst,
              const char* dst_dir) {
    if ((entry.type & RDIR_TYPE_JUNCTION) != 0) return 0;
    const char* text = entry.link() != nullptr ? entry.link() : "";
    const bool to_dir = (entry.type & RDIR_TYPE_KIND_MASK) == RDIR_TYPE_DIR;
    int eno = dst.make_link(entry.name, text, to_dir, mstat_item_attr(entry));
    if (eno != 0) {
        errno = eno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO,
                 "os_symlink2 [%s]->[%s] eno=%d error: ", shown_path(dst_dir, entry.name).c_str(),
                 text, eno);
        count_o_fail_code(job, eno);
        return -1;
    }
    job->st.file_open_count++;
    return 0;
}

// Starts the destination file; a failure is counted and logged. A directory standing at the
// name is a failure too: nothing here removes a directory.
bool start_dst(libcdir_ctx* job, rdir_dst_file* file, const rdir_dst_dir& dst, const char* name,
               const char* dst_dir, const mstat_attr& attr) {
    int eno = file->create(dst, name, rdir_attr_perm(attr), false);
    if (eno == 0) return true;
    errno = eno;
    if (eno == EISDIR) {
        CDIR_LOG(LOG_ERR, "[%s] a directory stands where the file goes: not replaced",
                 shown_path(dst_dir, name).c_str());
    } else {
        CDIR_LOG(LOG_ERR | LOG_ERRNO,
                 "o_open [%s] eno=%d error: ", shown_path(dst_dir, name).c_str(), eno);
    }
    count_o_fail_code(job, eno);
    return false;
}

bool commit_dst(libcdir_ctx* job, rdir_dst_file* file, const mstat_attr& attr, const char* name,
                const char* dst_dir, const struct stat* source = nullptr) {
    int eno = file->commit(attr, source);
    if (eno == 0) {
        job->st.file_open_count++;
        return true;
    }
    if (eno == RDIR_DST_IS_SOURCE) {
        // The destination is the source itself (a hard link, or the same tree under another
        // name): it already is what a copy would make, and replacing it would only break links.
        CDIR_LOG(LOG_DBG, "[%s] is the source file itself: left alone",
                 shown_path(dst_dir, name).c_str());
        return true;
    }
    errno = eno;
    if (eno == EISDIR) {
        CDIR_LOG(LOG_ERR, "[%s] a directory stands where the file goes: not replaced",
                 shown_path(dst_dir, name).c_str());
    } else {
        CDIR_LOG(LOG_ERR | LOG_ERRNO,
                 "o_close [%s] eno=%d error: ", shown_path(dst_dir, name).c_str(), eno);
    }
    count_o_fail_code(job, eno);
    return false;
}

}  // namespace

int cdir_l_copy(libcdir_ctx* job, const mstat_item& entry, int src_dir_fd, const rdir_dst_dir& dst,
                const char* src_dir, const char* dst_dir) {
    if ((entry.type & RDIR_TYPE_LINK) != 0) return make_link(job, entry, dst, dst_dir);
    int in = openat(src_dir_fd, entry.name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (in < 0) {
        int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO,
                 "i_open [%s] eno=%d error: ", shown_path(src_dir, entry.name).c_str(), eno);
        count_i_fail(job, eno);
        return -1;
    }
    struct stat before;
    if (fstat(in, &before) != 0) {
        int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO,
                 "i_open [%s] eno=%d error: ", shown_path(src_dir, entry.name).c_str(), eno);
        count_i_fail(job, eno);
        close(in);
        return -1;
    }
    rdir_dst_file file;
    const mstat_attr attr = attr_of_source(entry, before);
    if (!start_dst(job, &file, dst, entry.name, dst_dir, attr)) {
        close(in);
        return -1;
    }
    // Only regular files have content to copy; a fifo or device becomes an empty file.
    const uint64_t size = S_ISREG(before.st_mode) ? static_cast<uint64_t>(before.st_size) : 0;
    uint64_t copied = 0;
    const std::string src_shown = shown_path(src_dir, entry.name);
    const std::string dst_shown = shown_path(dst_dir, entry.name);
    copy_end end = size == 0 ? copy_end::done
                             : copy_data(job, in, file.fd(), size, src_shown.c_str(),
                                         dst_shown.c_str(), &copied);
    if (end != copy_end::done) {
        close(in);
        return 0;  // the temporary goes with `file`; the old destination stays
    }
    struct stat after;
    const bool changed = fstat(in, &after) != 0 || changed_since(before, after) || copied != size;
    close(in);
    if (changed) {
        CDIR_LOG(LOG_ERR, "[%s] changed while it was copied: not copied, the destination is kept",
                 src_shown.c_str());
        job->st.i_file_fail_count++;
        return 0;
    }
    commit_dst(job, &file, attr, entry.name, dst_dir, &before);
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
    job->st.total_write += len;
    commit_dst(job, &file, mstat_item_attr(entry), entry.name, dst_dir);
    return 0;
}

int cdir_l_create_dir(libcdir_ctx* job, const rdir_dst_dir& parent, const char* parent_path,
                      const mstat_item& entry) {
    bool created = false;
    int eno = parent.make_dir(entry.name, &created);
    if (eno != 0) {
        errno = eno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO,
                 "mkdirs %s eno=%d error: ", shown_path(parent_path, entry.name).c_str(), eno);
        verr code = os_verr_get(eno);
        job->st.o_file_fail_count++;
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

int cdir_l_touch_dir(libcdir_ctx* job, const cdir_item& item, bool with_times) {
    mstat_attr attr = item.attr;
    if (item.is_root) {
        if (!job->dst_root_created) return 0;
        attr = job->src_root_attr;
    }
    if (attr.type == 0 || item.dst_path.empty()) return 0;
    rdir_dst_dir dir;
    int eno = dir.open(job->dst.fs.get(), cdir_rel_path(job->dst, item.dst_path), false);
    if (eno == ENOENT) return 0;  // a sync made nothing below it
    if (eno == 0) eno = dir.set_own_attr(attr, with_times);
    if (eno != 0) {
        errno = eno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "lutime %s eno=%d error: ", item.dst_path.c_str(), eno);
        verr code = os_verr_get(eno);
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
        int eno = dir.set_own_attr(it->attr, false);
        if (eno != 0) {
            errno = eno;
            CDIR_LOG(LOG_ERR | LOG_ERRNO, "chmod %s eno=%d error: ", it->path.c_str(), eno);
        }
    }
    job->new_dirs.clear();
}
