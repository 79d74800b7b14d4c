#include "librdir/dst_writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "libpal/os_root.h"
#include "libpal/verr.h"

namespace {

// The status of the system call that just failed; errno stays as it set it.
verr sys_failed() {
    return os_errno_verr();
}

// A failure found here rather than by a call: errno is set to `eno` for the caller's log line.
verr failed(int eno) {
    errno = eno;
    return os_errno_verr();
}

// The entry changed under us. No status code stands for it (it is a general failure); errno
// says ESTALE for the log.
verr stale() {
    errno = ESTALE;
    return VERR_GENERAL_FAILURE;
}

// Cleanup after a failure keeps the errno of the failure.
class errno_keeper final {
  public:
    errno_keeper() : eno_(errno) {}
    ~errno_keeper() { errno = eno_; }
    errno_keeper(const errno_keeper&) = delete;
    errno_keeper& operator=(const errno_keeper&) = delete;

  private:
    int eno_;
};

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// A directory this user may not read can still be written into: its descriptor is then a path
// descriptor (enough for the *at calls; its temporaries cannot be looked for).
constexpr int kDirPathFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t kNewDirMode = 0700;

bool valid_name(std::string_view name) {
    if (name.empty() || name.size() > 255) return false;
    if (name == "." || name == "..") return false;
    return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

// `name` as a NUL-terminated string in `out` (256 bytes); false for an unusable name.
bool name_z(std::string_view name, char* out) {
    if (!valid_name(name)) return false;
    std::memcpy(out, name.data(), name.size());
    out[name.size()] = '\0';
    return true;
}

int open_dir_at(int parent, const char* name) {
    int fd;
    do {
        fd = openat(parent, name, kDirFlags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno == EACCES) fd = openat(parent, name, kDirPathFlags);
    return fd;
}

// Opens (and with `create` makes) the directory entry `name` of `parent`. A link standing there
// is removed and replaced; *created tells whether it was made here.
verr open_or_make(int parent, const char* name, bool create, bool* created, int* out) {
    *created = false;
    for (int attempt = 0; attempt < 4; ++attempt) {
        int fd = open_dir_at(parent, name);
        if (fd >= 0) {
            *out = fd;
            return 0;
        }
        int eno = errno;
        if (!create) return sys_failed();
        if (eno == ENOENT) {
            if (mkdirat(parent, name, kNewDirMode) == 0) {
                *created = true;
            } else if (errno != EEXIST) {
                return sys_failed();
            }
            continue;
        }
        if (eno == ELOOP || eno == ENOTDIR) {
            struct stat st;
            if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return sys_failed();
            if (!S_ISLNK(st.st_mode)) return failed(ENOTDIR);
            // The link goes, never what it points to.
            if (unlinkat(parent, name, 0) != 0 && errno != ENOENT) return sys_failed();
            continue;
        }
        return sys_failed();
    }
    return failed(ELOOP);
}

timespec whole_seconds(int64_t sec) {
    timespec t;
    t.tv_sec = static_cast<time_t>(sec);
    t.tv_nsec = 0;
    return t;
}

bool keeps_own_owner(const mstat_attr& a) {
    if (a.uid == RDIR_OWNER_KEPT && a.gid == RDIR_OWNER_KEPT) return true;
    return (a.type & RDIR_TYPE_NO_POSIX) != 0 && a.uid == 0 && a.gid == 0;
}

// Where attributes go: an open descriptor, or, for a node (whose descriptor is only a path
// descriptor), its name in its directory.
struct apply_target {
    int fd = -1;
    int dir = -1;
    const char* name = nullptr;
};

int target_chown(const apply_target& t, uid_t uid, gid_t gid) {
    return t.name != nullptr ? fchownat(t.dir, t.name, uid, gid, AT_SYMLINK_NOFOLLOW)
                             : fchown(t.fd, uid, gid);
}

// A node is changed by name, never through a link swapped in under its temporary name.
int target_chmod(const apply_target& t, mode_t type, mode_t perm) {
    if (t.name != nullptr) return os_chmod_nofollow(t.dir, t.name, type, perm) == 0 ? 0 : errno;
    return fchmod(t.fd, perm) == 0 ? 0 : errno;
}

int target_times(const apply_target& t, const timespec* times) {
    return t.name != nullptr ? utimensat(t.dir, t.name, times, AT_SYMLINK_NOFOLLOW)
                             : futimens(t.fd, times);
}

// Owner, then mode, then (`times` not null) times on a target whose status is `st`. Set-id bits
// are dropped when the owner could not be given. 0 or the status of the times (owner and mode
// changes an unprivileged run may not make are not failures).
verr apply(const apply_target& t, const struct stat& st, const mstat_attr& a,
           const timespec* times) {
    uint32_t perm = rdir_attr_perm(a);
    bool owner_changed = false;
    if (!keeps_own_owner(a) && (st.st_uid != a.uid || st.st_gid != a.gid)) {
        if (target_chown(t, a.uid, a.gid) == 0) {
            owner_changed = true;
        } else {
            // Not permitted (an ordinary user): the file keeps its creator, and a set-id bit
            // would now grant that user's rights.
            perm &= ~static_cast<uint32_t>(S_ISUID | S_ISGID);
        }
    }
    if (owner_changed || (st.st_mode & 07777) != perm || (perm & (S_ISUID | S_ISGID)) != 0) {
        (void)target_chmod(t, st.st_mode & S_IFMT, perm);
    }
    if (times == nullptr) return 0;
    return target_times(t, times) == 0 ? 0 : sys_failed();
}

verr apply_fd(int fd, const struct stat& st, const mstat_attr& a, bool with_times) {
    timespec times[2] = {whole_seconds(a.atime), whole_seconds(a.mtime)};
    return apply(apply_target{fd, -1, nullptr}, st, a, with_times ? times : nullptr);
}

// ---- extended attributes ----

std::string proc_fd_path(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// The f*xattr calls refuse path descriptors; the descriptor's /proc entry reaches the same file.
ssize_t list_names(int fd, char* buf, size_t size) {
    ssize_t n = flistxattr(fd, buf, size);
    if (n < 0 && errno == EBADF) n = listxattr(proc_fd_path(fd).c_str(), buf, size);
    return n;
}

ssize_t get_value(int fd, const char* name, void* buf, size_t size) {
    ssize_t n = fgetxattr(fd, name, buf, size);
    if (n < 0 && errno == EBADF) n = getxattr(proc_fd_path(fd).c_str(), name, buf, size);
    return n;
}

int set_value(int fd, const char* name, const void* value, size_t size) {
    int r = fsetxattr(fd, name, value, size, 0);
    if (r < 0 && errno == EBADF) r = setxattr(proc_fd_path(fd).c_str(), name, value, size, 0);
    return r == 0 ? 0 : errno;
}

int remove_value(int fd, const char* name) {
    int r = fremovexattr(fd, name);
    if (r < 0 && errno == EBADF) r = removexattr(proc_fd_path(fd).c_str(), name);
    return r == 0 ? 0 : errno;
}

// Reads what `read(buf, size)` returns into *out, growing it while the value grows under us.
template <typename Read>
int read_grown(std::vector<char>* out, Read read) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        ssize_t n = read(nullptr, 0);
        if (n < 0) return errno;
        out->resize(static_cast<size_t>(n));
        if (n == 0) return 0;
        n = read(out->data(), out->size());
        if (n >= 0) {
            out->resize(static_cast<size_t>(n));
            return 0;
        }
        if (errno != ERANGE) return errno;
    }
    return ERANGE;
}

// The names of a list as strings (the list is NUL-separated).
std::vector<std::string_view> split_names(const std::vector<char>& list) {
    std::vector<std::string_view> names;
    for (size_t start = 0; start < list.size();) {
        size_t len = strnlen(list.data() + start, list.size() - start);
        if (len > 0) names.emplace_back(list.data() + start, len);
        start += len + 1;
    }
    return names;
}

bool no_xattr_support(int eno) {
    return eno == ENOTSUP || eno == ENOSYS;
}

// Attributes the copy owns at the destination: one the source lacks goes. Security labels other
// than these are the destination system's own business.
bool removable_name(std::string_view name) {
    return name.starts_with("user.") || name.starts_with("trusted.") ||
           name == "system.posix_acl_access" || name == "system.posix_acl_default";
}

}  // namespace

verr rdir_copy_xattrs(int from, int to, std::vector<rdir_xattr_failure>* failures) {
    std::vector<char> from_list;
    int ret = read_grown(&from_list, [&](char* b, size_t n) { return list_names(from, b, n); });
    if (ret != 0 && !no_xattr_support(ret)) return failed(ret);
    if (ret != 0) from_list.clear();
    const std::vector<std::string_view> wanted = split_names(from_list);

    std::vector<char> to_list;
    if (read_grown(&to_list, [&](char* b, size_t n) { return list_names(to, b, n); }) == 0) {
        for (std::string_view name : split_names(to_list)) {
            if (!removable_name(name) ||
                std::find(wanted.begin(), wanted.end(), name) != wanted.end()) {
                continue;
            }
            const std::string z(name);
            int eno = remove_value(to, z.c_str());
            if (eno != 0 && eno != ENODATA) failures->push_back({z, eno});
        }
    }

    std::vector<char> value;
    for (std::string_view name : wanted) {
        const std::string z(name);
        int eno =
            read_grown(&value, [&](char* b, size_t n) { return get_value(from, z.c_str(), b, n); });
        if (eno == ENODATA) continue;  // removed since it was listed
        if (eno == 0) eno = set_value(to, z.c_str(), value.data(), value.size());
        if (eno != 0) failures->push_back({z, eno});
    }
    return 0;
}

bool rdir_xattrs_differ(int from, int to) {
    std::vector<char> from_list;
    int ret = read_grown(&from_list, [&](char* b, size_t n) { return list_names(from, b, n); });
    if (ret != 0 && !no_xattr_support(ret)) return false;  // nothing that could be copied
    if (ret != 0) from_list.clear();
    std::vector<char> to_list;
    ret = read_grown(&to_list, [&](char* b, size_t n) { return list_names(to, b, n); });
    if (ret != 0) to_list.clear();
    const std::vector<std::string_view> wanted = split_names(from_list);
    const std::vector<std::string_view> there = split_names(to_list);
    for (std::string_view name : there) {
        if (removable_name(name) && std::find(wanted.begin(), wanted.end(), name) == wanted.end()) {
            return true;
        }
    }
    std::vector<char> a, b;
    for (std::string_view name : wanted) {
        if (std::find(there.begin(), there.end(), name) == there.end()) return true;
        const std::string z(name);
        if (read_grown(&a, [&](char* p, size_t n) { return get_value(from, z.c_str(), p, n); }) !=
                0 ||
            read_grown(&b, [&](char* p, size_t n) { return get_value(to, z.c_str(), p, n); }) !=
                0) {
            return true;
        }
        if (a != b) return true;
    }
    return false;
}

uint32_t rdir_attr_perm(const mstat_attr& a) {
    return ((a.type & RDIR_TYPE_NO_POSIX) != 0 ? a.attr : a.mode) & 07777;
}

mstat_attr rdir_attr_policy_apply(const rdir_attr_policy& policy, mstat_attr attr) {
    if (!policy.owner) {
        attr.uid = RDIR_OWNER_KEPT;
        attr.gid = RDIR_OWNER_KEPT;
    }
    if (!policy.owner || !policy.setid) {
        // A set-id bit on a file whose owner the client did not choose would grant the server's
        // own rights.
        constexpr uint32_t kSetId = S_ISUID | S_ISGID;
        attr.mode &= ~kSetId;
        attr.attr &= ~kSetId;
    }
    return attr;
}

bool rdir_attr_policy_node(const rdir_attr_policy& policy, uint32_t mode) {
    const mode_t type = static_cast<mode_t>(mode) & S_IFMT;
    if (S_ISFIFO(type) || S_ISSOCK(type)) return policy.owner && policy.nodes;
    if (S_ISCHR(type) || S_ISBLK(type)) return policy.owner && policy.setid && policy.devices;
    return false;
}

// ---- rdir_dst_dir ----

rdir_dst_dir& rdir_dst_dir::operator=(rdir_dst_dir&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void rdir_dst_dir::adopt(int fd) {
    close();
    fd_ = fd;
}

void rdir_dst_dir::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

verr rdir_dst_dir::open(const os_root* root, std::string_view rel, bool create, bool* created) {
    close();
    if (created != nullptr) *created = false;
    if (root == nullptr) return failed(EINVAL);
    while (!rel.empty() && rel.front() == '/') rel.remove_prefix(1);
    while (!rel.empty() && rel.back() == '/') rel.remove_suffix(1);
    std::string path(rel);
    // The same names whether or not the directories exist yet: the walk below refuses "." and
    // "..", so the whole-path resolution may not accept them either.
    for (size_t start = 0; start < path.size();) {
        size_t slash = std::min(path.find('/', start), path.size());
        std::string_view part(path.data() + start, slash - start);
        if (!part.empty() && !valid_name(part)) return failed(EINVAL);
        start = slash + 1;
    }
    // Most directories exist: one resolution of the whole path first. Only a root that follows
    // no link may resolve it in one step; one resolving in-root would follow links below it.
    if (path.empty() || os_root_mode(root) == OS_ROOT_NO_SYMLINKS) {
        const char* whole = path.empty() ? "." : path.c_str();
        int fd = os_root_open_fd(root, whole, O_RDONLY | O_DIRECTORY, 0);
        if (fd == VERR_ACCESS_DENIED) fd = os_root_open_fd(root, whole, O_PATH | O_DIRECTORY, 0);
        if (fd >= 0) {
            fd_ = fd;
            return 0;
        }
        if (path.empty()) return sys_failed();
    }
    // One component at a time, making and replacing what the walk needs.
    int cur = dup(os_root_fd(root));
    if (cur < 0) return sys_failed();
    size_t start = 0;
    bool made = false;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        std::string part = path.substr(start, slash - start);
        start = slash + 1;
        if (part.empty()) continue;
        if (!valid_name(part)) {
            ::close(cur);
            return failed(EINVAL);
        }
        int next = -1;
        const verr ret = open_or_make(cur, part.c_str(), create, &made, &next);
        {
            const errno_keeper keep;
            ::close(cur);
        }
        if (ret != 0) return ret;
        cur = next;
    }
    fd_ = cur;
    if (created != nullptr) *created = made;
    return 0;
}

verr rdir_dst_dir::open_child(const rdir_dst_dir& parent, std::string_view name, bool create,
                              bool* created) {
    close();
    bool made = false;
    if (created != nullptr) *created = false;
    char z[256];
    if (!parent.is_open()) return failed(EBADF);
    if (!name_z(name, z)) return failed(EINVAL);
    int fd = -1;
    const verr ret = open_or_make(parent.fd_, z, create, &made, &fd);
    if (ret != 0) return ret;
    fd_ = fd;
    if (created != nullptr) *created = made;
    return 0;
}

int rdir_dst_dir::clean_temps() {
    if (fd_ < 0) return 0;
    int fd = openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    DIR* d = fdopendir(fd);
    if (d == nullptr) {
        ::close(fd);
        return 0;
    }
    int removed = 0;
    const uint32_t self = static_cast<uint32_t>(getpid());
    while (struct dirent* de = readdir(d)) {
        uint32_t pid = rdir_temp_name_pid(de->d_name);
        if (pid == 0 || pid == self) continue;
        // A writer that still runs keeps its temporaries; a reused process id only delays the
        // removal to a later run.
        if (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM) continue;
        if (unlinkat(fd_, de->d_name, 0) == 0) removed++;
    }
    closedir(d);
    return removed;
}

verr rdir_dst_dir::lstat(std::string_view name, struct stat* st) const {
    char z[256];
    if (!name_z(name, z)) return failed(EINVAL);
    return fstatat(fd_, z, st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : sys_failed();
}

verr rdir_dst_dir::remove(std::string_view name) const {
    char z[256];
    if (!name_z(name, z)) return failed(EINVAL);
    return unlinkat(fd_, z, 0) == 0 ? 0 : sys_failed();
}

verr rdir_dst_dir::make_dir(std::string_view name, bool* created) const {
    char z[256];
    if (created != nullptr) *created = false;
    if (!name_z(name, z)) return failed(EINVAL);
    bool made = false;
    int fd = -1;
    const verr ret = open_or_make(fd_, z, true, &made, &fd);
    if (ret != 0) return ret;
    ::close(fd);
    if (created != nullptr) *created = made;
    return 0;
}

verr rdir_dst_dir::make_link(std::string_view name, const char* text, bool to_dir,
                             const mstat_attr& attr) const {
    char z[256];
    if (!name_z(name, z)) return failed(EINVAL);
    char temp[RDIR_TEMP_NAME_LEN + 1];
    for (int attempt = 0;; ++attempt) {
        rdir_temp_name_make(temp);
        if (symlinkat(text, fd_, temp) == 0) break;
        if (errno != EEXIST || attempt >= 8) return sys_failed();
    }
    // The link itself gets owner and times; nothing here follows it.
    if (!keeps_own_owner(attr)) (void)fchownat(fd_, temp, attr.uid, attr.gid, AT_SYMLINK_NOFOLLOW);
    timespec times[2] = {whole_seconds(attr.atime), whole_seconds(attr.mtime)};
    (void)utimensat(fd_, temp, times, AT_SYMLINK_NOFOLLOW);
    if (renameat(fd_, temp, fd_, z) != 0) {
        const int eno = errno;
        // An empty directory may give way to a link to a directory.
        if (to_dir && (eno == EISDIR || eno == ENOTEMPTY || eno == EEXIST) &&
            unlinkat(fd_, z, AT_REMOVEDIR) == 0 && renameat(fd_, temp, fd_, z) == 0) {
            return 0;
        }
        unlinkat(fd_, temp, 0);
        return failed(eno);
    }
    return 0;
}

verr rdir_dst_dir::make_hard_link(const rdir_dst_dir& target_dir, std::string_view target_name,
                                  std::string_view name, const struct stat* expect,
                                  bool* replaced) const {
    char z[256];
    if (replaced != nullptr) *replaced = false;
    char target[256];
    if (!name_z(name, z) || !name_z(target_name, target)) return failed(EINVAL);
    if (fd_ < 0 || !target_dir.is_open()) return failed(EBADF);
    char temp[RDIR_TEMP_NAME_LEN + 1];
    for (int attempt = 0;; ++attempt) {
        rdir_temp_name_make(temp);
        // Without AT_SYMLINK_FOLLOW: a link standing at the target is linked itself, and then
        // fails the check below.
        if (linkat(target_dir.fd(), target, fd_, temp, 0) == 0) break;
        if (errno != EEXIST || attempt >= 8) return sys_failed();
    }
    struct stat made;
    verr ret = fstatat(fd_, temp, &made, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : sys_failed();
    if (ret == 0 && !S_ISREG(made.st_mode)) ret = stale();
    if (ret == 0 && expect != nullptr &&
        (made.st_dev != expect->st_dev || made.st_ino != expect->st_ino)) {
        ret = stale();
    }
    struct stat there;
    if (ret == 0 && fstatat(fd_, z, &there, AT_SYMLINK_NOFOLLOW) == 0) {
        if (replaced != nullptr) *replaced = true;
        if (S_ISDIR(there.st_mode)) ret = failed(EISDIR);
        // Renaming a link onto another link of the same file does nothing, which would leave
        // the temporary behind.
        if (ret == 0 && there.st_dev == made.st_dev && there.st_ino == made.st_ino) {
            unlinkat(fd_, temp, 0);
            return 0;
        }
    }
    if (ret == 0 && renameat(fd_, temp, fd_, z) != 0) ret = sys_failed();
    if (ret != 0) {
        const errno_keeper keep;
        unlinkat(fd_, temp, 0);
    }
    return ret;
}

verr rdir_dst_dir::set_attr(std::string_view name, const mstat_attr& attr, bool with_times) const {
    char z[256];
    if (!name_z(name, z)) return failed(EINVAL);
    struct stat st;
    if (fstatat(fd_, z, &st, AT_SYMLINK_NOFOLLOW) != 0) return sys_failed();
    if (S_ISLNK(st.st_mode)) {
        if (!keeps_own_owner(attr)) (void)fchownat(fd_, z, attr.uid, attr.gid, AT_SYMLINK_NOFOLLOW);
        if (!with_times) return 0;
        timespec times[2] = {whole_seconds(attr.atime), whole_seconds(attr.mtime)};
        return utimensat(fd_, z, times, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : sys_failed();
    }
    const int flags = (S_ISDIR(st.st_mode) ? O_DIRECTORY : 0) | O_RDONLY | O_NOFOLLOW | O_NONBLOCK |
                      O_CLOEXEC | O_NOCTTY;
    int fd = openat(fd_, z, flags);
    if (fd < 0) return sys_failed();
    struct stat now;
    verr ret = fstat(fd, &now) != 0 ? sys_failed() : 0;
    if (ret == 0 && (now.st_dev != st.st_dev || now.st_ino != st.st_ino)) ret = stale();
    if (ret == 0) ret = apply_fd(fd, now, attr, with_times);
    const errno_keeper keep;
    ::close(fd);
    return ret;
}

verr rdir_dst_dir::set_own_attr(const mstat_attr& attr, bool with_times) const {
    if (fd_ < 0) return failed(EBADF);
    // A path descriptor cannot change attributes: the directory is opened for reading instead.
    int fd = openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return sys_failed();
    struct stat st;
    verr ret = fstat(fd, &st) == 0 ? 0 : sys_failed();
    if (ret == 0) ret = apply_fd(fd, st, attr, with_times);
    const errno_keeper keep;
    ::close(fd);
    return ret;
}

// ---- rdir_dst_file ----

verr rdir_dst_file::create(const rdir_dst_dir& dir, std::string_view name, uint32_t perm,
                           bool look_first) {
    abort();
    existing_ = {};
    looked_ = look_first;
    if (!dir.is_open()) return failed(EBADF);
    if (!name_z(name, name_)) return failed(EINVAL);
    if (look_first) {
        if (fstatat(dir.fd(), name_, &existing_, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return sys_failed();
            existing_ = {};
        } else if (S_ISDIR(existing_.st_mode)) {
            return failed(EISDIR);
        }
    }
    // Never wider than the final mode while the content is written.
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    for (int attempt = 0;; ++attempt) {
        rdir_temp_name_make(temp_);
        int fd = openat(dir.fd(), temp_, flags, static_cast<mode_t>(perm & 0777));
        if (fd >= 0) {
            fd_ = fd;
            dir_ = &dir;
            return 0;
        }
        if (errno == EINTR) continue;
        if (errno != EEXIST || attempt >= 8) return sys_failed();
    }
}

verr rdir_dst_file::create_node(const rdir_dst_dir& dir, std::string_view name, uint32_t mode,
                                dev_t rdev) {
    abort();
    existing_ = {};
    looked_ = false;
    const mode_t type = static_cast<mode_t>(mode) & S_IFMT;
    if (!S_ISFIFO(type) && !S_ISSOCK(type) && !S_ISCHR(type) && !S_ISBLK(type)) {
        return failed(EINVAL);
    }
    if (!dir.is_open()) return failed(EBADF);
    if (!name_z(name, name_)) return failed(EINVAL);
    if (S_ISFIFO(type) || S_ISSOCK(type)) rdev = 0;
    for (int attempt = 0;; ++attempt) {
        rdir_temp_name_make(temp_);
        if (mknodat(dir.fd(), temp_, type | 0600, rdev) == 0) break;
        if (errno == EINTR) continue;
        if (errno != EEXIST || attempt >= 8) return sys_failed();
    }
    int fd = openat(dir.fd(), temp_, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const verr ret = sys_failed();
        const errno_keeper keep;
        unlinkat(dir.fd(), temp_, 0);
        return ret;
    }
    fd_ = fd;
    dir_ = &dir;
    node_ = true;
    return 0;
}

verr rdir_dst_file::apply_owner_mode(const mstat_attr& attr) {
    if (fd_ < 0 || dir_ == nullptr) return failed(EBADF);
    struct stat st;
    if (fstat(fd_, &st) != 0) return sys_failed();
    const apply_target t =
        node_ ? apply_target{-1, dir_->fd(), temp_} : apply_target{fd_, -1, nullptr};
    return apply(t, st, attr, nullptr);
}

verr rdir_dst_file::place(const struct stat* source) {
    const int dir = dir_->fd();
    if (!looked_) {
        // Most files are new: one step that cannot replace anything. Only when a name is taken
        // is it looked at.
        if (renameat2(dir, temp_, dir, name_, RENAME_NOREPLACE) == 0) return 0;
        if (errno != EEXIST && errno != EINVAL) return sys_failed();
        if (fstatat(dir, name_, &existing_, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return sys_failed();
            existing_ = {};
        } else if (S_ISDIR(existing_.st_mode)) {
            return failed(EISDIR);
        }
    }
    if (source != nullptr && existing_.st_ino != 0 && existing_.st_dev == source->st_dev &&
        existing_.st_ino == source->st_ino) {
        return RDIR_DST_IS_SOURCE;
    }
    return renameat(dir, temp_, dir, name_) == 0 ? 0 : sys_failed();
}

verr rdir_dst_file::commit(const mstat_attr& attr, const struct stat* source) {
    const timespec times[2] = {whole_seconds(attr.atime), whole_seconds(attr.mtime)};
    return finish(attr, source, times);
}

verr rdir_dst_file::commit(const mstat_attr& attr, const struct stat* source,
                           const timespec (&times)[2]) {
    return finish(attr, source, times);
}

verr rdir_dst_file::finish(const mstat_attr& attr, const struct stat* source,
                           const timespec* times) {
    if (fd_ < 0 || dir_ == nullptr) return failed(EBADF);
    struct stat st;
    verr ret = fstat(fd_, &st) == 0 ? 0 : sys_failed();
    const apply_target t =
        node_ ? apply_target{-1, dir_->fd(), temp_} : apply_target{fd_, -1, nullptr};
    if (ret == 0) ret = apply(t, st, attr, times);
    // A failed close can mean the data never reached the disk.
    int fd = fd_;
    fd_ = -1;
    if (ret != 0) {
        const errno_keeper keep;
        ::close(fd);
    } else if (::close(fd) != 0) {
        ret = sys_failed();
    }
    if (ret == 0) ret = place(source);
    node_ = false;
    if (ret != 0) {
        const errno_keeper keep;
        unlinkat(dir_->fd(), temp_, 0);
        dir_ = nullptr;
        return ret;
    }
    dir_ = nullptr;
    return ret;
}

void rdir_dst_file::abort() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    node_ = false;
    if (dir_ != nullptr) unlinkat(dir_->fd(), temp_, 0);
    dir_ = nullptr;
}
