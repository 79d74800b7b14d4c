// 64-bit sizes and offsets on 32-bit targets too.
#define _FILE_OFFSET_BITS 64

#include "libpal/os_file.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "liblog/log2.h"

namespace {

struct os_file_ops {
    int (*close)(os_file* ctx);
    ssize_t (*read)(os_file* ctx, void* buf, size_t len);
    ssize_t (*write)(os_file* ctx, const void* buf, size_t len);
    ssize_t (*pread)(os_file* ctx, void* buf, size_t len, int64_t offset);
    ssize_t (*pwrite)(os_file* ctx, const void* buf, size_t len, int64_t offset);
    ssize_t (*readv)(os_file* ctx, const struct iovec* iov, int count);
    ssize_t (*writev)(os_file* ctx, const struct iovec* iov, int count);
    int (*sync)(os_file* ctx);
    int (*ftruncate)(os_file* ctx, int64_t length);
    int64_t (*seek)(os_file* ctx, int64_t offset, int whence);
    int64_t (*offset)(os_file* ctx);
    int64_t (*size)(os_file* ctx);
    int (*ioctl)(os_file* ctx, unsigned long request, void* arg);
    int (*set_attr)(os_file* ctx, const os_attr* attr);
};

}  // namespace

struct os_file final {
    const os_file_ops* ops = nullptr;
    int fd = -1;  // descriptor drivers only
    std::string path;
    int read_timeout_ms = 0;
    int write_timeout_ms = 0;
    bool nonblocking = false;      // the descriptor is in non-blocking mode
    bool set_nonblocking = false;  // ... because a time-out asked for it
};

namespace {

// Waits until `fd` is ready for `events` or the time-out passes (ETIMEDOUT).
bool wait_ready(int fd, short events, int timeout_ms) {
    if (timeout_ms <= 0) return true;
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        struct pollfd pfd = {fd, events, 0};
        const int n = poll(&pfd, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (n > 0) return true;
        if (n == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (errno != EINTR) return false;
    }
}

// ---- descriptor drivers (local files and standard streams) ----

int fd_close(os_file* ctx) {
    return close(ctx->fd);
}

int std_close(os_file*) {
    return 0;
}

bool retry(const os_file* ctx, int timeout_ms) {
    return errno == EINTR || (timeout_ms > 0 && ctx->nonblocking && errno == EAGAIN);
}

ssize_t fd_read(os_file* ctx, void* buf, size_t len) {
    while (true) {
        if (!wait_ready(ctx->fd, POLLIN, ctx->read_timeout_ms)) return -1;
        const ssize_t n = read(ctx->fd, buf, len);
        if (n >= 0 || !retry(ctx, ctx->read_timeout_ms)) return n;
    }
}

ssize_t fd_write(os_file* ctx, const void* buf, size_t len) {
    const char* p = static_cast<const char*>(buf);
    const int timeout = ctx->write_timeout_ms;
    size_t done = 0;
    while (done < len) {
        if (!wait_ready(ctx->fd, POLLOUT, timeout))
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        // On a blocking descriptor only a write that fits the room poll saw cannot block.
        const size_t chunk =
            timeout > 0 && !ctx->nonblocking ? std::min<size_t>(len - done, PIPE_BUF) : len - done;
        const ssize_t n = write(ctx->fd, p + done, chunk);
        if (n < 0 && retry(ctx, timeout)) continue;
        if (n <= 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

ssize_t fd_pread(os_file* ctx, void* buf, size_t len, int64_t offset) {
    ssize_t n;
    do n = pread(ctx->fd, buf, len, static_cast<off_t>(offset));
    while (n < 0 && errno == EINTR);
    return n;
}

ssize_t fd_pwrite(os_file* ctx, const void* buf, size_t len, int64_t offset) {
    const char* p = static_cast<const char*>(buf);
    size_t done = 0;
    while (done < len) {
        const ssize_t n = pwrite(ctx->fd, p + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

ssize_t fd_readv(os_file* ctx, const struct iovec* iov, int count) {
    while (true) {
        if (!wait_ready(ctx->fd, POLLIN, ctx->read_timeout_ms)) return -1;
        const ssize_t n = readv(ctx->fd, iov, count);
        if (n >= 0 || !retry(ctx, ctx->read_timeout_ms)) return n;
    }
}

ssize_t fd_writev(os_file* ctx, const struct iovec* iov, int count) {
    if (count < 0) {
        errno = EINVAL;
        return -1;
    }
    if (ctx->write_timeout_ms > 0 && !ctx->nonblocking) {
        // A blocking stream with a time-out: buffer by buffer, in pieces that cannot block.
        size_t written = 0;
        for (int i = 0; i < count; ++i) {
            if (iov[i].iov_len == 0) continue;
            const ssize_t n = fd_write(ctx, iov[i].iov_base, iov[i].iov_len);
            if (n > 0) written += static_cast<size_t>(n);
            if (n < static_cast<ssize_t>(iov[i].iov_len)) {
                return written > 0 ? static_cast<ssize_t>(written) : -1;
            }
        }
        return static_cast<ssize_t>(written);
    }
    std::vector<struct iovec> rest(iov, iov + count);
    size_t first = 0;
    size_t done = 0;
    while (true) {
        while (first < rest.size() && rest[first].iov_len == 0) ++first;
        if (first == rest.size()) return static_cast<ssize_t>(done);
        if (!wait_ready(ctx->fd, POLLOUT, ctx->write_timeout_ms)) {
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        }
        const ssize_t n =
            writev(ctx->fd, rest.data() + first, static_cast<int>(rest.size() - first));
        if (n < 0 && retry(ctx, ctx->write_timeout_ms)) continue;
        if (n <= 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
        done += static_cast<size_t>(n);
        // Skip what went out; a short write resumes inside the current buffer.
        for (size_t left = static_cast<size_t>(n); left > 0;) {
            const size_t take = std::min(left, rest[first].iov_len);
            rest[first].iov_base = static_cast<char*>(rest[first].iov_base) + take;
            rest[first].iov_len -= take;
            left -= take;
            if (rest[first].iov_len == 0) ++first;
        }
    }
}

int fd_sync(os_file* ctx) {
    return fsync(ctx->fd);
}

int fd_ftruncate(os_file* ctx, int64_t length) {
    return ftruncate(ctx->fd, static_cast<off_t>(length));
}

int64_t fd_seek(os_file* ctx, int64_t offset, int whence) {
    return lseek(ctx->fd, static_cast<off_t>(offset), whence);
}

int64_t fd_offset(os_file* ctx) {
    return lseek(ctx->fd, 0, SEEK_CUR);
}

int64_t fd_size(os_file* ctx) {
    struct stat sys;
    if (fstat(ctx->fd, &sys) != 0) return -1;
    return sys.st_size;
}

int fd_ioctl(os_file* ctx, unsigned long request, void* arg) {
    return ioctl(ctx->fd, request, arg);
}

int fd_set_attr(os_file* ctx, const os_attr* attr) {
    uid_t uid = attr->uid;
    gid_t gid = attr->gid;
    if ((attr->flags & OS_ATTR_NO_POSIX_MODE) && uid == 0 && gid == 0) {
        uid = geteuid();
        gid = getegid();
    }
    // Owner first: changing it clears set-user-id and set-group-id bits.
    (void)fchown(ctx->fd, uid, gid);
    const uint32_t mode = (attr->flags & OS_ATTR_NO_POSIX_MODE) ? attr->attr : attr->mode;
    (void)fchmod(ctx->fd, static_cast<mode_t>(mode & 07777));
    const struct timespec ts[2] = {{static_cast<time_t>(attr->atime), 0},
                                   {static_cast<time_t>(attr->mtime), 0}};
    return futimens(ctx->fd, ts) == 0 ? 0 : -1;
}

constexpr os_file_ops kLocalOps = {
    fd_close, fd_read,      fd_write, fd_pread,  fd_pwrite, fd_readv, fd_writev,
    fd_sync,  fd_ftruncate, fd_seek,  fd_offset, fd_size,   fd_ioctl, fd_set_attr,
};

// The standard streams belong to the process: never closed, truncated or chmod-ed.
constexpr os_file_ops kStdOps = {
    std_close, fd_read, fd_write, fd_pread,  fd_pwrite, fd_readv, fd_writev,
    fd_sync,   nullptr, fd_seek,  fd_offset, fd_size,   fd_ioctl, nullptr,
};

// ---- null: end of file on read, writes dropped ----

int none_close(os_file*) {
    return 0;
}
ssize_t null_read(os_file*, void*, size_t) {
    return 0;
}
ssize_t null_write(os_file*, const void*, size_t len) {
    return static_cast<ssize_t>(len);
}
ssize_t null_pread(os_file*, void*, size_t, int64_t) {
    return 0;
}
ssize_t null_pwrite(os_file*, const void*, size_t len, int64_t) {
    return static_cast<ssize_t>(len);
}
ssize_t null_readv(os_file*, const struct iovec*, int) {
    return 0;
}
ssize_t null_writev(os_file*, const struct iovec* iov, int count) {
    size_t total = 0;
    for (int i = 0; i < count; ++i) total += iov[i].iov_len;
    return static_cast<ssize_t>(total);
}
int null_sync(os_file*) {
    return 0;
}
int64_t zero_seek(os_file*, int64_t, int) {
    return 0;
}
int64_t zero_offset(os_file*) {
    return 0;
}
int64_t zero_size(os_file*) {
    return 0;
}

constexpr os_file_ops kNullOps = {
    none_close, null_read, null_write, null_pread,  null_pwrite, null_readv, null_writev,
    null_sync,  nullptr,   zero_seek,  zero_offset, zero_size,   nullptr,    nullptr,
};

// ---- zero and random sources ----

using fill_fn = bool (*)(void* buf, size_t len);

bool fill_zero(void* buf, size_t len) {
    memset(buf, 0, len);
    return true;
}

bool fill_random(void* buf, size_t len) {
    char* p = static_cast<char*>(buf);
    while (len > 0) {
        const ssize_t n = getrandom(p, len, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

template <fill_fn Fill>
ssize_t source_read(os_file*, void* buf, size_t len) {
    return Fill(buf, len) ? static_cast<ssize_t>(len) : -1;
}

template <fill_fn Fill>
ssize_t source_pread(os_file*, void* buf, size_t len, int64_t) {
    return Fill(buf, len) ? static_cast<ssize_t>(len) : -1;
}

template <fill_fn Fill>
ssize_t source_readv(os_file*, const struct iovec* iov, int count) {
    size_t total = 0;
    for (int i = 0; i < count; ++i) {
        if (!Fill(iov[i].iov_base, iov[i].iov_len)) return -1;
        total += iov[i].iov_len;
    }
    return static_cast<ssize_t>(total);
}

template <fill_fn Fill>
constexpr os_file_ops kSourceOps = {
    none_close, source_read<Fill>, nullptr, source_pread<Fill>, nullptr,     source_readv<Fill>,
    nullptr,    nullptr,           nullptr, zero_seek,          zero_offset, nullptr,
    nullptr,    nullptr,
};

struct device_entry {
    std::string_view name;
    const os_file_ops* ops;
    int fd;
};

constexpr device_entry kDevices[] = {
    {"stdin", &kStdOps, STDIN_FILENO},    {"stdout", &kStdOps, STDOUT_FILENO},
    {"stderr", &kStdOps, STDERR_FILENO},  {"null", &kNullOps, -1},
    {"zero", &kSourceOps<fill_zero>, -1}, {"random", &kSourceOps<fill_random>, -1},
};

const device_entry* find_device(std::string_view path) {
    static constexpr std::string_view kDev = "/dev/";
    if (!path.starts_with(kDev)) return nullptr;
    path.remove_prefix(kDev.size());
    for (const device_entry& dev : kDevices) {
        if (dev.name == path) return &dev;
    }
    return nullptr;
}

}  // namespace

// Checks the handle and that its driver has `op`; `ctx` names the handle.
#define REQUIRE_OP(op)                           \
    do {                                         \
        if (!DV_ASSERT("pal", ctx != nullptr)) { \
            errno = EBADF;                       \
            return -1;                           \
        }                                        \
        if (!DV_ASSERT("pal", ctx->ops->op)) {   \
            errno = EOPNOTSUPP;                  \
            return -1;                           \
        }                                        \
    } while (0)

os_file* os_file_open_mode_raw(const char* path, int flags, uint32_t mode) {
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    auto* ctx = new (std::nothrow) os_file;
    if (ctx == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    try {
        ctx->path = path;
    } catch (const std::bad_alloc&) {
        delete ctx;
        errno = ENOMEM;
        return nullptr;
    }
    if (const device_entry* dev = find_device(path)) {
        ctx->ops = dev->ops;
        ctx->fd = dev->fd;
        return ctx;
    }
    ctx->fd = open(path, flags | O_CLOEXEC, static_cast<mode_t>(mode));
    if (ctx->fd < 0) {
        const int eno = errno;
        delete ctx;
        errno = eno;
        return nullptr;
    }
    ctx->ops = &kLocalOps;
    ctx->nonblocking = (flags & O_NONBLOCK) != 0;
    return ctx;
}

os_file* os_file_open_raw(const char* path, int flags) {
    return os_file_open_mode_raw(path, flags, 0644);
}

os_file* os_file_open_mode(const char* path, int flags, uint32_t mode) {
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    std::string normal;
    try {
        normal = path_normalized(path);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return nullptr;
    }
    if (normal.size() >= PL_MAX_PATH) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    return os_file_open_mode_raw(normal.c_str(), flags, mode);
}

os_file* os_file_open(const char* path, int flags) {
    return os_file_open_mode(path, flags, 0644);
}

int os_file_close(os_file* ctx) {
    if (ctx == nullptr) return 0;
    const int rc = ctx->ops->close(ctx);
    const int eno = errno;
    delete ctx;
    errno = eno;
    return rc == 0 ? 0 : -1;
}

const char* os_file_path(const os_file* ctx) {
    return ctx != nullptr ? ctx->path.c_str() : "";
}

ssize_t os_file_read(os_file* ctx, void* buf, size_t len) {
    REQUIRE_OP(read);
    return ctx->ops->read(ctx, buf, len);
}

ssize_t os_file_write(os_file* ctx, const void* buf, size_t len) {
    REQUIRE_OP(write);
    return ctx->ops->write(ctx, buf, len);
}

ssize_t os_file_pread(os_file* ctx, void* buf, size_t len, int64_t offset) {
    REQUIRE_OP(pread);
    return ctx->ops->pread(ctx, buf, len, offset);
}

ssize_t os_file_pwrite(os_file* ctx, const void* buf, size_t len, int64_t offset) {
    REQUIRE_OP(pwrite);
    return ctx->ops->pwrite(ctx, buf, len, offset);
}

ssize_t os_file_readv(os_file* ctx, const struct iovec* iov, int count) {
    REQUIRE_OP(readv);
    return ctx->ops->readv(ctx, iov, count);
}

ssize_t os_file_writev(os_file* ctx, const struct iovec* iov, int count) {
    REQUIRE_OP(writev);
    return ctx->ops->writev(ctx, iov, count);
}

int os_file_sync(os_file* ctx) {
    REQUIRE_OP(sync);
    return ctx->ops->sync(ctx);
}

int os_file_ftruncate(os_file* ctx, int64_t length) {
    REQUIRE_OP(ftruncate);
    return ctx->ops->ftruncate(ctx, length);
}

int64_t os_file_seek(os_file* ctx, int64_t offset, int whence) {
    REQUIRE_OP(seek);
    return ctx->ops->seek(ctx, offset, whence);
}

int64_t os_file_offset(os_file* ctx) {
    REQUIRE_OP(offset);
    return ctx->ops->offset(ctx);
}

int64_t os_file_size(os_file* ctx) {
    REQUIRE_OP(size);
    return ctx->ops->size(ctx);
}

int os_file_ioctl(os_file* ctx, unsigned long request, void* arg) {
    REQUIRE_OP(ioctl);
    return ctx->ops->ioctl(ctx, request, arg);
}

int os_file_read_write_timeout(os_file* ctx, int read_timeout_ms, int write_timeout_ms) {
    if (!DV_ASSERT("pal", ctx != nullptr)) {
        errno = EBADF;
        return -1;
    }
    // A descriptor we opened ourselves turns non-blocking, so that no read or write
    // can block past its wait; the standard streams are shared with other
    // processes and keep their mode.
    const bool want = (read_timeout_ms > 0 || write_timeout_ms > 0) && ctx->ops == &kLocalOps;
    if (want != ctx->set_nonblocking && (!want || !ctx->nonblocking)) {
        const int flags = fcntl(ctx->fd, F_GETFL);
        if (flags < 0 ||
            fcntl(ctx->fd, F_SETFL, want ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) != 0) {
            return -1;
        }
        ctx->nonblocking = want;
        ctx->set_nonblocking = want;
    }
    ctx->read_timeout_ms = read_timeout_ms;
    ctx->write_timeout_ms = write_timeout_ms;
    return 0;
}

int os_file_set_attr(os_file* ctx, const os_attr* attr) {
    REQUIRE_OP(set_attr);
    if (attr == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return ctx->ops->set_attr(ctx, attr);
}
