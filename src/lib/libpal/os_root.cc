#include "libpal/os_root.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "libpal/unique_fd.h"
#include "libpal/verr.h"

// fchmodat2 (Linux 6.6) has the same number on every architecture; older C library headers lack
// the name.
#ifndef SYS_fchmodat2
#define SYS_fchmodat2 452
#endif

namespace {

// openat2 fails with EAGAIN when a rename or mount elsewhere raced a RESOLVE_IN_ROOT or
// RESOLVE_BENEATH walk through ".."; the walk is simply tried again, this many times at most.
constexpr int kMaxAgain = 64;

}  // namespace

struct os_root {
    unique_fd fd;  // O_PATH | O_DIRECTORY
    uint32_t mode = 0;
};

namespace {

bool valid_mode(uint32_t mode) {
    return mode == OS_ROOT_IN_ROOT || mode == OS_ROOT_NO_SYMLINKS;
}

uint64_t resolve_flags(uint32_t mode) {
    return mode == OS_ROOT_IN_ROOT
               ? (RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS)
               : (RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS);
}

// openat2 of `path` beneath the root with the root's rules. An empty path is the root itself.
int open_beneath(const os_root& root, const char* path, int flags, uint32_t mode) {
    struct open_how how;
    memset(&how, 0, sizeof(how));
    how.flags = static_cast<uint32_t>(flags | O_CLOEXEC);
    // The kernel refuses a mode without a flag that creates something.
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) how.mode = mode & 07777;
    how.resolve = resolve_flags(root.mode);
    if (*path == '\0') path = ".";
    for (int again = 0;;) {
        const long fd = syscall(SYS_openat2, root.fd.get(), path, &how, sizeof(how));
        if (fd >= 0) return static_cast<int>(fd);
        if (errno == EINTR) continue;
        if (errno == EAGAIN && ++again < kMaxAgain) continue;
        return -1;
    }
}

// What the last component of a path is.
enum class last_kind {
    name,    // an ordinary name
    self,    // none: the path is empty or only "/"s
    dot,     // "."
    dotdot,  // ".."
};

// A path cut into the part before its last component and that component. Trailing "/"s are not
// part of the name; `slash` tells they were there.
struct cut_path {
    std::string_view parent;  // up to and including the "/" before the name; "" when none
    std::string_view name;
    last_kind kind = last_kind::name;
    bool slash = false;
};

cut_path cut(std::string_view path) {
    cut_path c;
    size_t end = path.size();
    while (end > 0 && path[end - 1] == '/') --end;
    c.slash = end < path.size();
    const std::string_view body = path.substr(0, end);
    const size_t sep = body.rfind('/');
    // The parent keeps its "/": "/x" has the parent "/" (the root, or EXDEV without links).
    c.parent = sep == std::string_view::npos ? std::string_view() : body.substr(0, sep + 1);
    c.name = sep == std::string_view::npos ? body : body.substr(sep + 1);
    if (c.name.empty()) {
        c.kind = last_kind::self;
    } else if (c.name == ".") {
        c.kind = last_kind::dot;
    } else if (c.name == "..") {
        c.kind = last_kind::dotdot;
    }
    return c;
}

// Where an operation acts: the component `name` in the directory `dir`, or, when `name` is
// empty, the directory `dir` itself (an O_PATH descriptor used with AT_EMPTY_PATH). `name` is
// never "." or ".." and never holds a "/", so an *at call on (dir, name) cannot leave `dir`.
struct place {
    unique_fd owned;
    int dir = -1;
    std::string name;
    last_kind kind = last_kind::name;
    bool slash = false;

    bool whole() const { return name.empty(); }
    int empty_flag() const { return name.empty() ? AT_EMPTY_PATH : 0; }
};

// How a path is located.
enum class want {
    // The entry the path names. A path whose last component is not an ordinary name, or that
    // ends in "/", names a directory: the whole path is resolved (as POSIX does, a final link
    // before a "/" is then followed, inside the root in OS_ROOT_IN_ROOT mode).
    entry,
    // The directory that holds the last component, to create, remove or rename it. Trailing
    // "/"s are left to the operation (`slash`). A path without an ordinary last name is still
    // resolved whole, so that the caller gets the resolution's own failure first.
    parent,
};

int locate(const os_root* root, const char* path, want w, place* at) {
    if (root == nullptr || path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const cut_path c = cut(path);
    at->kind = c.kind;
    at->slash = c.slash;
    if (c.kind != last_kind::name || (w == want::entry && c.slash)) {
        const int fd = open_beneath(*root, path, O_PATH | O_DIRECTORY, 0);
        if (fd < 0) return -1;
        at->owned.reset(fd);
        at->dir = fd;
        at->name.clear();
        return 0;
    }
    if (c.parent.empty()) {
        at->dir = root->fd.get();
    } else {
        const std::string parent(c.parent);
        const int fd = open_beneath(*root, parent.c_str(), O_PATH | O_DIRECTORY, 0);
        if (fd < 0) return -1;
        at->owned.reset(fd);
        at->dir = fd;
    }
    at->name.assign(c.name);
    return 0;
}

// Fails with `err`, returning -1.
int fail(int err) {
    errno = err;
    return -1;
}

// The result of a call that returns -1 with errno on failure, as this module's callers get it: the
// value, or the status code of the errno.
template <typename T>
T status(T result) {
    return result < 0 ? static_cast<T>(os_errno_verr()) : result;
}

// Runs `f`; an exception (an allocation that failed) becomes ENOMEM and `failed`.
template <typename T, typename F>
T guarded(T failed, F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        errno = ENOMEM;
        return failed;
    }
}

// ---- attributes (the meaning of os_attr as in os_fs.cc) ----

void attr_owner(const os_attr* attr, uid_t* uid, gid_t* gid) {
    *uid = attr->uid;
    *gid = attr->gid;
    if ((attr->flags & OS_ATTR_NO_POSIX_MODE) && attr->uid == 0 && attr->gid == 0) {
        *uid = geteuid();
        *gid = getegid();
    }
}

uint32_t attr_mode(const os_attr* attr) {
    return ((attr->flags & OS_ATTR_NO_POSIX_MODE) ? attr->attr : attr->mode) & 07777;
}

// Opens the entry at `at` itself for fchmod/futimens: never through a link (O_NOFOLLOW), never
// waiting on a FIFO (O_NONBLOCK).
int open_entry(const place& at, int extra) {
    const char* name = at.whole() ? "." : at.name.c_str();
    for (;;) {
        const int fd = openat(at.dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | extra);
        if (fd >= 0 || errno != EINTR) return fd;
    }
}

void chmod_entry(const place& at, mode_t type, uint32_t mode) {
    (void)os_chmod_nofollow(at.dir, at.name.c_str(), type, mode);
}

// Access and modification times of the entry at `at` itself.
int times_entry(const place& at, const struct timespec ts[2]) {
    if (utimensat(at.dir, at.name.c_str(), ts, AT_SYMLINK_NOFOLLOW | at.empty_flag()) == 0) {
        return 0;
    }
    // Kernels before 5.8 refuse AT_EMPTY_PATH here: change the directory through a descriptor of
    // its own.
    if (!at.whole() || errno != EINVAL) return -1;
    const unique_fd fd(open_entry(at, O_DIRECTORY));
    return fd.get() >= 0 ? futimens(fd.get(), ts) : -1;
}

// For an operation that needs a trailing "/" to name a directory: 0 when the entry at `at` is
// one, else -1 with ENOENT (nothing), or `not_dir_err`.
int require_dir(const place& at, int not_dir_err) {
    struct stat st;
    if (fstatat(at.dir, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
    return S_ISDIR(st.st_mode) ? 0 : fail(not_dir_err);
}

}  // namespace

namespace {

os_root* open_root(const char* path, uint32_t mode) {
    if (path == nullptr || !valid_mode(mode)) {
        errno = EINVAL;
        return nullptr;
    }
    unique_fd fd;
    do {
        fd.reset(open(path, O_PATH | O_DIRECTORY | O_CLOEXEC));
    } while (fd.get() < 0 && errno == EINTR);
    if (fd.get() < 0) return nullptr;
    os_root* root = new (std::nothrow) os_root;
    if (root == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    root->fd.reset(fd.release());
    root->mode = mode;
    return root;
}

os_root* open_root_at(const os_root* parent, const char* path, uint32_t mode) {
    if (parent == nullptr || path == nullptr || !valid_mode(mode)) {
        errno = EINVAL;
        return nullptr;
    }
    // O_PATH | O_NOFOLLOW opens a final link itself, so that it can be refused by name.
    unique_fd fd(open_beneath(*parent, path, O_PATH | O_NOFOLLOW, 0));
    if (fd.get() < 0) return nullptr;
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return nullptr;
    if (!S_ISDIR(st.st_mode)) {
        errno = S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR;
        return nullptr;
    }
    os_root* root = new (std::nothrow) os_root;
    if (root == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    root->fd.reset(fd.release());
    root->mode = mode;
    return root;
}

// A made handle, or null with the reason in *result (may be null).
os_root* made(os_root* root, verr* result) {
    if (result != nullptr) *result = root != nullptr ? VERR_SUCCESS : os_errno_verr();
    return root;
}

}  // namespace

os_root* os_root_open(const char* path, uint32_t mode, verr* result) {
    return made(open_root(path, mode), result);
}

os_root* os_root_open_at(const os_root* parent, const char* path, uint32_t mode, verr* result) {
    return made(open_root_at(parent, path, mode), result);
}

void os_root_close(os_root* root) {
    delete root;
}

int os_root_fd(const os_root* root) {
    return root != nullptr ? root->fd.get() : VERR_INVALID_PARAMETER;
}

uint32_t os_root_mode(const os_root* root) {
    return root != nullptr ? root->mode : 0;
}

static int os_root_open_fd_errno(const os_root* root, const char* path, int flags, uint32_t mode) {
    if (root == nullptr || path == nullptr) return fail(EINVAL);
    flags |= O_NOFOLLOW | O_CLOEXEC;
    const cut_path c = cut(path);
    if (!(flags & O_CREAT) || c.kind != last_kind::name || c.slash) {
        return open_beneath(*root, path, flags, mode);
    }
    // Created in the resolved parent: `name` is one component, and O_NOFOLLOW refuses a link
    // there (even a dangling one, which O_CREAT alone would follow to create its target).
    return guarded(-1, [&] {
        place at;
        if (locate(root, path, want::parent, &at) != 0) return -1;
        for (;;) {
            const int fd =
                openat(at.dir, at.name.c_str(), flags, static_cast<mode_t>(mode & 07777));
            if (fd >= 0 || errno != EINTR) return fd;
        }
    });
}

static int os_root_opendir_errno(const os_root* root, const char* path) {
    if (root == nullptr || path == nullptr) return fail(EINVAL);
    return open_beneath(*root, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0);
}

static int os_root_lstat_errno(const os_root* root, const char* path, struct stat* st) {
    if (st == nullptr) return fail(EINVAL);
    return guarded(-1, [&] {
        place at;
        if (locate(root, path, want::entry, &at) != 0) return -1;
        return fstatat(at.dir, at.name.c_str(), st, AT_SYMLINK_NOFOLLOW | at.empty_flag());
    });
}

static int os_root_mkdir_errno(const os_root* root, const char* path, uint32_t mode) {
    return guarded(-1, [&] {
        place at;
        if (locate(root, path, want::parent, &at) != 0) return -1;
        // "mkdir d/" creates d, as POSIX has it.
        if (at.whole()) return fail(EEXIST);
        return mkdirat(at.dir, at.name.c_str(), static_cast<mode_t>(mode & 07777));
    });
}

static int os_root_remove_errno(const os_root* root, const char* path) {
    return guarded(-1, [&] {
        place at;
        if (locate(root, path, want::parent, &at) != 0) return -1;
        if (at.whole()) return fail(EISDIR);
        // "f/" names a directory: nothing that is not one is removed through it.
        if (at.slash) return require_dir(at, ENOTDIR) != 0 ? -1 : fail(EISDIR);
        return unlinkat(at.dir, at.name.c_str(), 0);
    });
}

static int os_root_rmdir_errno(const os_root* root, const char* path) {
    return guarded(-1, [&] {
        place at;
        if (locate(root, path, want::parent, &at) != 0) return -1;
        if (at.whole()) {
            // The errors rmdir(2) gives for these.
            return fail(at.kind == last_kind::dot      ? EINVAL
                        : at.kind == last_kind::dotdot ? ENOTEMPTY
                                                       : EBUSY);
        }
        // unlinkat with AT_REMOVEDIR does not follow a final link (ENOTDIR), slash or not.
        return unlinkat(at.dir, at.name.c_str(), AT_REMOVEDIR);
    });
}

static int os_root_rename_errno(const os_root* root, const char* from, const char* to,
                                int overwrite) {
    return guarded(-1, [&] {
        place src;
        place dst;
        if (locate(root, from, want::parent, &src) != 0) return -1;
        if (locate(root, to, want::parent, &dst) != 0) return -1;
        if (src.whole() || dst.whole()) return fail(EBUSY);
        // A trailing "/" on either side asks for a directory to be renamed.
        if ((src.slash || dst.slash) && require_dir(src, ENOTDIR) != 0) return -1;
        return renameat2(src.dir, src.name.c_str(), dst.dir, dst.name.c_str(),
                         overwrite ? 0u : static_cast<unsigned>(RENAME_NOREPLACE));
    });
}

static ssize_t os_root_readlink_errno(const os_root* root, const char* path, char* buf,
                                      size_t len) {
    if (buf == nullptr || len == 0) {
        errno = EINVAL;
        return -1;
    }
    return guarded(static_cast<ssize_t>(-1), [&]() -> ssize_t {
        place at;
        if (locate(root, path, want::entry, &at) != 0) return -1;
        if (at.whole()) return fail(EINVAL);  // a directory
        const ssize_t n = readlinkat(at.dir, at.name.c_str(), buf, len);
        if (n < 0) return -1;
        if (static_cast<size_t>(n) >= len) return fail(ENAMETOOLONG);
        buf[n] = '\0';
        return n;
    });
}

static int os_root_symlink_errno(const os_root* root, const char* target, const char* path) {
    if (target == nullptr) return fail(EINVAL);
    return guarded(-1, [&] {
        place at;
        if (locate(root, path, want::parent, &at) != 0) return -1;
        if (at.whole()) return fail(EEXIST);
        if (at.slash) {
            // A link cannot be named "l/": EEXIST when something is there, as symlink(2) says.
            struct stat st;
            return fstatat(at.dir, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? fail(EEXIST)
                                                                                   : -1;
        }
        return symlinkat(target, at.dir, at.name.c_str());
    });
}

static int os_root_set_attr_errno(const os_root* root, const char* path, const os_attr* attr) {
    if (attr == nullptr) return fail(EINVAL);
    return guarded(-1, [&] {
        place at;
        if (locate(root, path, want::entry, &at) != 0) return -1;
        struct stat st;
        if (fstatat(at.dir, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW | at.empty_flag()) != 0) {
            return -1;
        }
        // Owner first: changing it clears the set-id bits that the mode may then set again.
        // AT_SYMLINK_NOFOLLOW: a link (even one swapped in since the fstatat) is changed itself.
        uid_t uid;
        gid_t gid;
        attr_owner(attr, &uid, &gid);
        (void)fchownat(at.dir, at.name.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW | at.empty_flag());
        // A link's own mode means nothing.
        if (!S_ISLNK(st.st_mode)) chmod_entry(at, st.st_mode, attr_mode(attr));
        const struct timespec ts[2] = {
            {static_cast<time_t>(attr->atime), 0},
            {static_cast<time_t>(attr->mtime), 0},
        };
        return times_entry(at, ts);
    });
}

// Race-free: fchmodat2 with AT_SYMLINK_NOFOLLOW acts on whatever is at (dir, name) when it runs
// and never follows a link, so a link swapped in after the caller looked is not followed out of
// the root (the kernel refuses or changes the link itself). fchmodat without the flag is never
// used: it would follow such a link. Kernels before 6.6 lack fchmodat2; there the entry itself is
// opened with O_NOFOLLOW (a link swapped in fails the open) and fchmod-ed, for directories,
// regular files and FIFOs. Other special files are not opened (opening a device can act on it).
int os_chmod_nofollow(int dir, const char* name, mode_t type, uint32_t mode) {
    const bool whole = name[0] == '\0';
    if (syscall(SYS_fchmodat2, dir, name, mode,
                AT_SYMLINK_NOFOLLOW | (whole ? AT_EMPTY_PATH : 0)) == 0) {
        return 0;
    }
    if (errno != ENOSYS) return os_errno_verr();
    if (!S_ISDIR(type) && !S_ISREG(type) && !S_ISFIFO(type)) return 0;
    int fd;
    do {
        fd = openat(
            dir, whole ? "." : name,
            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (S_ISDIR(type) ? O_DIRECTORY : 0));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return os_errno_verr();
    const unique_fd own(fd);
    return fchmod(fd, mode) == 0 ? 0 : os_errno_verr();
}

// ---- the status of each operation ----

int os_root_open_fd(const os_root* root, const char* path, int flags, uint32_t mode) {
    return status(os_root_open_fd_errno(root, path, flags, mode));
}

int os_root_opendir(const os_root* root, const char* path) {
    return status(os_root_opendir_errno(root, path));
}

int os_root_lstat(const os_root* root, const char* path, struct stat* st) {
    return status(os_root_lstat_errno(root, path, st));
}

int os_root_mkdir(const os_root* root, const char* path, uint32_t mode) {
    return status(os_root_mkdir_errno(root, path, mode));
}

int os_root_remove(const os_root* root, const char* path) {
    return status(os_root_remove_errno(root, path));
}

int os_root_rmdir(const os_root* root, const char* path) {
    return status(os_root_rmdir_errno(root, path));
}

int os_root_rename(const os_root* root, const char* from, const char* to, int overwrite) {
    return status(os_root_rename_errno(root, from, to, overwrite));
}

ssize_t os_root_readlink(const os_root* root, const char* path, char* buf, size_t len) {
    return status(os_root_readlink_errno(root, path, buf, len));
}

int os_root_symlink(const os_root* root, const char* target, const char* path) {
    return status(os_root_symlink_errno(root, target, path));
}

int os_root_set_attr(const os_root* root, const char* path, const os_attr* attr) {
    return status(os_root_set_attr_errno(root, path, attr));
}
