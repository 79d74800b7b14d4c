// 64-bit sizes and offsets on 32-bit targets too.
#define _FILE_OFFSET_BITS 64

#include "libpal/os_fs.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "liblog/log2.h"

#define PAL_LOG(level, ...) DV_LOG("pal", level, __VA_ARGS__)

namespace {

// A normalised copy of a typed path. A result that does not fit the path capacity
// is refused rather than cut: a cut path names a different file.
class typed_path final {
  public:
    explicit typed_path(const char* path) {
        if (path == nullptr) {
            errno = EINVAL;
            return;
        }
        text_ = path_normalized(path);
        if (text_.size() >= PL_MAX_PATH) {
            errno = ENAMETOOLONG;
            return;
        }
        ok_ = true;
    }
    typed_path(const typed_path&) = delete;
    typed_path& operator=(const typed_path&) = delete;

    bool ok() const { return ok_; }
    const char* c_str() const { return text_.c_str(); }

  private:
    std::string text_;
    bool ok_ = false;
};

os_time to_os_time(const struct timespec& ts) {
    return os_time{static_cast<int64_t>(ts.tv_sec), static_cast<uint32_t>(ts.tv_nsec)};
}

void fill_stat(const struct stat& sys, struct os_stat* st) {
    st->type = S_ISDIR(sys.st_mode) ? OS_TYPE_DIR : OS_TYPE_OTHER;
    if (S_ISLNK(sys.st_mode)) st->type |= OS_TYPE_LINK;
    st->mode = sys.st_mode;
    st->uid = sys.st_uid;
    st->gid = sys.st_gid;
    st->size = static_cast<uint64_t>(sys.st_size);
    st->atime = to_os_time(sys.st_atim);
    st->mtime = to_os_time(sys.st_mtim);
    st->ctime = to_os_time(sys.st_ctim);
    st->nlink = sys.st_nlink;
    st->dev = sys.st_dev;
    st->rdev = sys.st_rdev;
    st->ino = sys.st_ino;
    st->blksize = sys.st_blksize;
    st->blocks = static_cast<uint64_t>(sys.st_blocks);
    st->name[0] = '\0';
    st->link[0] = '\0';
}

bool is_directory(const char* path) {
    struct stat sys;
    return stat(path, &sys) == 0 && S_ISDIR(sys.st_mode);
}

bool exists_no_follow(const char* path) {
    struct stat sys;
    return lstat(path, &sys) == 0;
}

// Owner as the attribute record asks for it.
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

os_times attr_times(const os_attr* attr) {
    return os_times{{attr->atime, 0}, {attr->mtime, 0}, {attr->ctime, 0}};
}

// Copies `text` into `out` (`size` bytes) or fails with ENAMETOOLONG.
int copy_fitting(std::string_view text, char* out, size_t size) {
    if (out == nullptr || text.size() >= size) {
        errno = out == nullptr ? EINVAL : ENAMETOOLONG;
        return -1;
    }
    memcpy(out, text.data(), text.size());
    out[text.size()] = '\0';
    return 0;
}

// The first word of /proc/self/cmdline, made absolute and canonical.
int exe_from_cmdline(char* buffer, size_t size) {
    std::string word;
    FILE* f = fopen("/proc/self/cmdline", "re");
    if (f != nullptr) {
        for (int c = fgetc(f); c != EOF && c != '\0'; c = fgetc(f))
            word.push_back(static_cast<char>(c));
        fclose(f);
    }
    if (f == nullptr || word.empty()) {
        if (f != nullptr) errno = ENOENT;
        PAL_LOG(LOG_ERR | LOG_ERRNO, "os_cat /proc/self/cmdline error: ");
        return -1;
    }
    if (word.front() == '/') return copy_fitting(word, buffer, size);

    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof(cwd)) == nullptr) {
        PAL_LOG(LOG_ERR | LOG_ERRNO, "getcwd error:");
        return -1;
    }
    const std::string joined = path_join_raw(cwd, word);
    char real[PATH_MAX];
    if (realpath(joined.c_str(), real) == nullptr) {
        PAL_LOG(LOG_ERR | LOG_ERRNO, "realpath [%s] error:", joined.c_str());
        return -1;
    }
    return copy_fitting(real, buffer, size);
}

}  // namespace

// ---- status ----

int os_stat_raw(const char* path, struct os_stat* st) {
    struct stat sys;
    if (stat(path, &sys) != 0 && lstat(path, &sys) != 0) return -1;
    fill_stat(sys, st);
    return 0;
}

int os_stat(const char* path, struct os_stat* st) {
    const typed_path p(path);
    return p.ok() ? os_stat_raw(p.c_str(), st) : -1;
}

int os_lstat_raw(const char* path, struct os_stat* st) {
    struct stat sys;
    if (lstat(path, &sys) != 0) return -1;
    fill_stat(sys, st);
    return 0;
}

int os_lstat(const char* path, struct os_stat* st) {
    const typed_path p(path);
    return p.ok() ? os_lstat_raw(p.c_str(), st) : -1;
}

int os_lstat_ex_raw(const char* path, int flags, struct os_stat* st) {
    if (os_lstat_raw(path, st) != 0) return -1;

    std::string_view whole(path);
    while (whole.size() > 1 && whole.back() == '/') whole.remove_suffix(1);
    const size_t sep = whole.rfind('/');
    const std::string_view name = sep == std::string_view::npos ? whole : whole.substr(sep + 1);
    const size_t name_len = std::min(name.size(), sizeof(st->name) - 1);
    memcpy(st->name, name.data(), name_len);
    st->name[name_len] = '\0';

    if (!(st->type & OS_TYPE_LINK)) return 0;
    char target[PL_MAX_PATH];
    const ssize_t n = readlink(path, target, sizeof(target));
    if (n < 0) return -1;
    if (static_cast<size_t>(n) >= sizeof(target)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const std::string_view text(target, static_cast<size_t>(n));
    if ((flags & OS_LSTAT_LINK_RAW) || text.starts_with('/') || sep == std::string_view::npos) {
        return copy_fitting(text, st->link, sizeof(st->link));
    }
    std::string joined(whole.substr(0, sep + 1));
    joined.append(text);
    return copy_fitting(joined, st->link, sizeof(st->link));
}

int os_lstat_ex(const char* path, int flags, struct os_stat* st) {
    const typed_path p(path);
    return p.ok() ? os_lstat_ex_raw(p.c_str(), flags, st) : -1;
}

int os_file_type_raw(const char* path) {
    struct stat sys;
    if (stat(path, &sys) != 0 && lstat(path, &sys) != 0) return -1;
    return S_ISDIR(sys.st_mode) ? 0 : 1;
}

int os_file_type(const char* path) {
    const typed_path p(path);
    return p.ok() ? os_file_type_raw(p.c_str()) : -1;
}

int os_is_dir_raw(const char* path) {
    struct stat sys;
    if (stat(path, &sys) != 0 && lstat(path, &sys) != 0) return -1;
    return S_ISDIR(sys.st_mode) ? 1 : 0;
}

int os_is_dir(const char* path) {
    const typed_path p(path);
    return p.ok() ? os_is_dir_raw(p.c_str()) : -1;
}

// ---- directories and names ----

int os_mkdir_raw(const char* path, uint32_t mode) {
    if (is_directory(path)) return 0;
    if (exists_no_follow(path)) {
        errno = EACCES;
        return -1;
    }
    if (mkdir(path, static_cast<mode_t>(mode)) == 0) return 0;
    // Someone else may have created it meanwhile.
    const int eno = errno;
    if (eno == EEXIST && is_directory(path)) return 0;
    errno = eno;
    return -1;
}

int os_mkdir(const char* path, uint32_t mode) {
    const typed_path p(path);
    return p.ok() ? os_mkdir_raw(p.c_str(), mode) : -1;
}

int os_mkdirs_raw(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::string prefix(path);
    for (size_t i = 1; i < prefix.size(); ++i) {
        if (prefix[i] != '/') continue;
        prefix[i] = '\0';
        const char* dir = prefix.c_str();
        if (!exists_no_follow(dir) && mkdir(dir, 0755) != 0 && errno != EEXIST) return -1;
        prefix[i] = '/';
    }
    return os_mkdir_raw(path, 0755);
}

int os_mkdirs(const char* path) {
    const typed_path p(path);
    return p.ok() ? os_mkdirs_raw(p.c_str()) : -1;
}

int os_mkdirs_parent_raw(const char* path) {
    const char* sep = path != nullptr ? strrchr(path, '/') : nullptr;
    if (sep == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (sep == path) return 0;  // the root
    return os_mkdirs_raw(std::string(path, static_cast<size_t>(sep - path)).c_str());
}

int os_mkdirs_parent(const char* path) {
    const typed_path p(path);
    return p.ok() ? os_mkdirs_parent_raw(p.c_str()) : -1;
}

int os_remove_raw(const char* path) {
    return remove(path);
}

int os_remove(const char* path) {
    const typed_path p(path);
    return p.ok() ? os_remove_raw(p.c_str()) : -1;
}

int os_rmdir_or_remove_raw(const char* path) {
    if (rmdir(path) == 0) return 0;
    if (errno != ENOTDIR) return -1;
    return unlink(path);
}

int os_rmdir_or_remove(const char* path) {
    const typed_path p(path);
    return p.ok() ? os_rmdir_or_remove_raw(p.c_str()) : -1;
}

int os_rename_raw(const char* from, const char* to, int overwrite) {
    if (overwrite) return rename(from, to);
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    // File systems without the atomic form: check, then rename.
    if (errno != EINVAL && errno != ENOSYS) return -1;
    if (exists_no_follow(to)) {
        errno = EEXIST;
        return -1;
    }
    return rename(from, to);
}

int os_rename(const char* from, const char* to, int overwrite) {
    const typed_path f(from);
    if (!f.ok()) return -1;
    const typed_path t(to);
    return t.ok() ? os_rename_raw(f.c_str(), t.c_str(), overwrite) : -1;
}

int os_symlink_raw(const char* link, const char* target) {
    return symlink(target, link);
}

int os_symlink(const char* link, const char* target) {
    const typed_path l(link);
    if (!l.ok()) return -1;
    const typed_path t(target);
    return t.ok() ? os_symlink_raw(l.c_str(), t.c_str()) : -1;
}

int os_symlink2_raw(const char* link, const char* target, int flags, const os_attr* attr) {
    (void)flags;
    if (os_symlink_raw(link, target) != 0) return -1;
    if (attr != nullptr) os_set_attr_raw(link, attr);
    return 0;
}

int os_symlink2(const char* link, const char* target, int flags, const os_attr* attr) {
    const typed_path l(link);
    if (!l.ok()) return -1;
    const typed_path t(target);
    return t.ok() ? os_symlink2_raw(l.c_str(), t.c_str(), flags, attr) : -1;
}

// ---- attributes ----

int os_chmod_raw(const char* path, uint32_t mode) {
    return chmod(path, static_cast<mode_t>(mode & 07777));
}

int os_chmod(const char* path, uint32_t mode) {
    const typed_path p(path);
    return p.ok() ? os_chmod_raw(p.c_str(), mode) : -1;
}

int os_chown_raw(const char* path, uint32_t uid, uint32_t gid) {
    return chown(path, uid, gid);
}

int os_chown(const char* path, uint32_t uid, uint32_t gid) {
    const typed_path p(path);
    return p.ok() ? os_chown_raw(p.c_str(), uid, gid) : -1;
}

int os_lchown_raw(const char* path, uint32_t uid, uint32_t gid) {
    return lchown(path, uid, gid);
}

int os_lchown(const char* path, uint32_t uid, uint32_t gid) {
    const typed_path p(path);
    return p.ok() ? os_lchown_raw(p.c_str(), uid, gid) : -1;
}

int lutime_raw(const char* path, const os_times* times) {
    if (times == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const struct timespec ts[2] = {
        {static_cast<time_t>(times->atime.sec), static_cast<long>(times->atime.nsec)},
        {static_cast<time_t>(times->mtime.sec), static_cast<long>(times->mtime.nsec)},
    };
    return utimensat(AT_FDCWD, path, ts, AT_SYMLINK_NOFOLLOW);
}

int lutime(const char* path, const os_times* times) {
    const typed_path p(path);
    return p.ok() ? lutime_raw(p.c_str(), times) : -1;
}

void os_set_attr_raw(const char* path, const os_attr* attr) {
    if (path == nullptr || attr == nullptr) return;
    uid_t uid;
    gid_t gid;
    attr_owner(attr, &uid, &gid);
    struct stat sys;
    // A link's own mode means nothing here, and following it would change
    // whatever it points to, possibly outside the tree being written.
    if (lstat(path, &sys) == 0 && S_ISLNK(sys.st_mode)) {
        (void)lchown(path, uid, gid);
    } else {
        (void)chown(path, uid, gid);
        (void)os_chmod_raw(path, attr_mode(attr));
    }
    const os_times times = attr_times(attr);
    (void)lutime_raw(path, &times);
}

void os_set_attr(const char* path, const os_attr* attr) {
    const typed_path p(path);
    if (p.ok()) os_set_attr_raw(p.c_str(), attr);
}

// ---- executable ----

int os_exe_get_name(char* buffer, size_t size) {
    char target[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", target, sizeof(target));
    if (n >= 0 && static_cast<size_t>(n) < sizeof(target)) {
        return copy_fitting(std::string_view(target, static_cast<size_t>(n)), buffer, size);
    }
    if (n >= 0) errno = ENAMETOOLONG;
    PAL_LOG(LOG_DBG | LOG_ERRNO, "readlink /proc/self/exe error: ");
    return exe_from_cmdline(buffer, size);
}

int os_exe_get_dir(char* buffer, size_t size) {
    if (os_exe_get_name(buffer, size) != 0) {
        PAL_LOG(LOG_ERR | LOG_ERRNO, "os_exe_get_name error:");
        return -1;
    }
    char* sep = strrchr(buffer, '/');
    if (sep != nullptr) sep[1] = '\0';
    return 0;
}
