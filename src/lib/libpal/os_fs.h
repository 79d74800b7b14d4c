// File-system primitives: status records with nanosecond times, directory
// creation with parents, removal, renaming, symbolic links, attributes, and the
// location of the running executable.
//
// Two forms of every path operation:
//  - the plain form takes a path as a user types it and normalises a copy first
//    (path_normalize: quotes and blanks trimmed, "\\" turned into "/", a leading
//    "file://" removed, runs of "/" collapsed); a normalised path longer than
//    PL_MAX_PATH fails with ENAMETOOLONG instead of being cut;
//  - the _raw form passes the path to the system byte for byte. Use it for every
//    path built from a listed entry name (path_join_raw): on Linux a name may hold
//    a backslash, a quote or leading and trailing blanks, and normalising such a
//    path would address a different file.
//
// Failures return -1 with errno as the system left it, except where stated. Nothing
// here logs except os_exe_get_name and os_exe_get_dir. All functions are reentrant.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "libpal/url.h"

// A point in time: seconds since 1970-01-01 UTC and nanoseconds.
struct os_time {
    int64_t sec;
    uint32_t nsec;
};

// os_stat::type
inline constexpr uint32_t OS_TYPE_DIR = 1;       // a directory
inline constexpr uint32_t OS_TYPE_OTHER = 2;     // anything else
inline constexpr uint32_t OS_TYPE_LINK = 0x100;  // added for a symbolic link (then 0x102)

// Status record. Because a function has the same name, name the type as
// `struct os_stat` (as with POSIX `struct stat`).
struct os_stat {
    uint32_t type;  // OS_TYPE_DIR or OS_TYPE_OTHER, plus OS_TYPE_LINK for a link itself
    uint32_t mode;  // file type and permission bits
    uint32_t uid;
    uint32_t gid;
    uint64_t size;
    os_time atime;
    os_time mtime;
    os_time ctime;
    uint64_t nlink;
    uint64_t dev;
    uint64_t rdev;
    uint64_t ino;
    int64_t blksize;
    uint64_t blocks;
    char name[512];          // last element of the path (os_lstat_ex only, else "")
    char link[PL_MAX_PATH];  // target text of a symbolic link (os_lstat_ex only, else "")
};

// os_attr::flags: the record came from a system without Unix permissions; the mode
// is then taken from `attr`.
inline constexpr uint32_t OS_ATTR_NO_POSIX_MODE = 0x800;

// Attributes to apply to a created object, as the copy engine fills them from a
// stat record of the other side. Times are whole seconds.
struct os_attr {
    uint32_t flags;
    uint32_t mode;  // permission bits (file type bits are ignored)
    uint32_t attr;  // permission bits used instead of mode when OS_ATTR_NO_POSIX_MODE is set
    uint32_t uid;
    uint32_t gid;
    int64_t atime;
    int64_t mtime;
    int64_t ctime;  // cannot be set; carried for callers
};

// Times for lutime. ctime cannot be set and is ignored.
struct os_times {
    os_time atime;
    os_time mtime;
    os_time ctime;
};

// ---- status ----

// Status following symbolic links; for a link whose target cannot be reached, the
// link's own status (type 0x102).
int os_stat(const char* path, struct os_stat* st);
int os_stat_raw(const char* path, struct os_stat* st);
// The status of the object itself; a symbolic link gives type 0x102.
int os_lstat(const char* path, struct os_stat* st);
int os_lstat_raw(const char* path, struct os_stat* st);

// os_lstat_ex flags: keep the link text as stored instead of prefixing a relative
// one with the link's own directory.
inline constexpr int OS_LSTAT_LINK_RAW = 1;
// As os_lstat, plus `name`, and for a symbolic link its target text in `link`.
// Without OS_LSTAT_LINK_RAW a relative target is prefixed with the link path up to
// and including its last "/"; an absolute one is kept. A text that does not fit
// fails with ENAMETOOLONG.
int os_lstat_ex(const char* path, int flags, struct os_stat* st);
int os_lstat_ex_raw(const char* path, int flags, struct os_stat* st);

// 1 when something that is not a directory is there, 0 for a directory (links
// followed; a link whose target is missing counts as 1), -1 when nothing is there.
int os_file_type(const char* path);
int os_file_type_raw(const char* path);
// 1 for a directory (links followed), 0 for something else, -1 when nothing is there.
int os_is_dir(const char* path);
int os_is_dir_raw(const char* path);

// ---- directories and names ----

// 0 when the path already is a directory; -1 with EACCES when something else is
// there; otherwise the result of creating it with `mode`.
int os_mkdir(const char* path, uint32_t mode = 0755);
int os_mkdir_raw(const char* path, uint32_t mode = 0755);
// Creates every missing directory of the path (mode 0755); an existing directory
// is success. The plain form treats "\\" as a separator too (it becomes "/").
int os_mkdirs(const char* path);
int os_mkdirs_raw(const char* path);
// os_mkdirs of the path up to its last separator; -1 with EINVAL when it has none.
int os_mkdirs_parent(const char* path);
int os_mkdirs_parent_raw(const char* path);

// Removes a file or an empty directory.
int os_remove(const char* path);
int os_remove_raw(const char* path);
// Removes an empty directory, or the file when the path is not a directory.
int os_rmdir_or_remove(const char* path);
int os_rmdir_or_remove_raw(const char* path);

// Renames `from` to `to`. With `overwrite` 0 and something (even a dangling link)
// at `to`, fails with EEXIST and changes nothing; the check and the rename are one
// step where the file system allows it.
int os_rename(const char* from, const char* to, int overwrite);
int os_rename_raw(const char* from, const char* to, int overwrite);

// Creates `link` pointing to `target`. The plain form normalises both (a target
// written with backslashes is stored with "/"); the raw form keeps both verbatim.
int os_symlink(const char* link, const char* target);
int os_symlink_raw(const char* link, const char* target);

// os_symlink2 flags: the target is a directory (no effect on this platform).
inline constexpr int OS_SYMLINK_DIR = 1;
// os_symlink, then, on success and when `attr` is given, the owner and times
// applied to the link itself (never to what it points to). Returns the result of
// creating the link.
int os_symlink2(const char* link, const char* target, int flags, const os_attr* attr);
int os_symlink2_raw(const char* link, const char* target, int flags, const os_attr* attr);

// ---- attributes ----

// Permission bits (mode & 07777), following a final symbolic link.
int os_chmod(const char* path, uint32_t mode);
int os_chmod_raw(const char* path, uint32_t mode);
// Owner, following a final symbolic link.
int os_chown(const char* path, uint32_t uid, uint32_t gid);
int os_chown_raw(const char* path, uint32_t uid, uint32_t gid);
// Owner of the object itself, a final symbolic link not followed.
int os_lchown(const char* path, uint32_t uid, uint32_t gid);
int os_lchown_raw(const char* path, uint32_t uid, uint32_t gid);

// Access and modification times (seconds and nanoseconds) of the object itself: a
// final symbolic link is not followed. A relative path starts at the current
// directory.
int lutime(const char* path, const os_times* times);
int lutime_raw(const char* path, const os_times* times);

// Applies `attr`: the owner (with OS_ATTR_NO_POSIX_MODE and both ids 0, the
// process's own user and group), then the permission bits (`attr->attr` when
// OS_ATTR_NO_POSIX_MODE is set), then the access and modification seconds. The
// owner goes first because changing it clears set-user-id and set-group-id bits.
// A final symbolic link is never followed: for a link only the owner and times of
// the link are set. Failures of the single steps are not reported.
void os_set_attr(const char* path, const os_attr* attr);
void os_set_attr_raw(const char* path, const os_attr* attr);

// ---- executable ----

// Full path of the running executable into `buffer` (`size` bytes): the target of
// /proc/self/exe or, when that cannot be read, the first word of
// /proc/self/cmdline made absolute and canonical. 0, or -1 (a path that does not
// fit fails with ENAMETOOLONG rather than being cut).
int os_exe_get_name(char* buffer, size_t size);
// Directory of the running executable, ending in "/". 0, or -1 after logging.
int os_exe_get_dir(char* buffer, size_t size);
