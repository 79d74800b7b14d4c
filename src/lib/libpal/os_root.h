// Root-confined file system handles: a directory descriptor plus operations whose paths are
// resolved beneath that directory and can never leave it.
//
// Two ways of resolving, chosen when the handle is made:
//   OS_ROOT_IN_ROOT      the directory acts as "/" for every path given: absolute paths start at
//                        it, ".." stops at it, and symbolic links met on the way are followed but
//                        resolved inside it too (an absolute link text starts at the root). Magic
//                        links (/proc/self/fd/...) are never followed. A server hands its served
//                        root out this way; dvcp passes the host's "/".
//   OS_ROOT_NO_SYMLINKS  no symbolic link anywhere on the path is followed, and the path may not
//                        climb above the directory ("..", absolute paths and links fail with the
//                        status of EXDEV or ELOOP). The copy engine resolves everything inside a
//                        destination tree this way.
//
// Whatever the mode, the final component of a path is acted on itself and never followed:
// os_root_lstat describes a link, os_root_remove removes the link, os_root_set_attr changes the
// link's owner and times (never its target), os_root_open_fd and os_root_open_at refuse to open
// through a final link (ELOOP). A path that is empty, or whose last component is "." or "..",
// names the directory of the handle (or the directory reached). A path ending in "/" names a
// directory as in POSIX: for lstat, opendir, readlink, set_attr and open_fd the whole path is
// resolved, so that a final link before the "/" is followed (inside the root in
// OS_ROOT_IN_ROOT mode; ELOOP in OS_ROOT_NO_SYMLINKS mode); for mkdir, rmdir, rename, remove and
// symlink the "/" only asks for a directory (mkdir "d/" creates d; remove "f/" fails).
//
// Paths are used byte for byte (no normalisation: a backslash is a name byte). Failures return a
// negative status code, converted from the failing call's errno (os_errno_verr; the errno names
// below stand for their status, os_verr_get(ELOOP) and so on); nothing here logs. A handle may be
// used by several threads at once; it is released by one. Resolution uses openat2 (Linux 5.6):
// where the kernel lacks it, every path operation fails with the status of ENOSYS.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "libpal/os_fs.h"
#include "libpal/verr.h"

inline constexpr uint32_t OS_ROOT_IN_ROOT = 1;
inline constexpr uint32_t OS_ROOT_NO_SYMLINKS = 2;

struct os_root;

// Opens the directory at the host path `path` (links on the way followed, as the user meant them)
// as a handle resolving with `mode` (OS_ROOT_IN_ROOT or OS_ROOT_NO_SYMLINKS; anything else fails
// with EINVAL). Null on failure, its status in *result (ENOTDIR when it is not a directory);
// *result is 0 on success. `result` may be null.
os_root* os_root_open(const char* path, uint32_t mode, verr* result = nullptr);

// Opens the directory `path` beneath `parent` (resolved by the parent's rules; a final link is
// refused with ELOOP) as a new handle resolving with `mode`. Null on failure, as os_root_open.
os_root* os_root_open_at(const os_root* parent, const char* path, uint32_t mode,
                         verr* result = nullptr);

// Releases the handle (null is accepted).
void os_root_close(os_root* root);

// The handle's directory descriptor (owned by the handle; VERR_INVALID_PARAMETER for no handle)
// and its resolution mode.
int os_root_fd(const os_root* root);
uint32_t os_root_mode(const os_root* root);

// open(2) beneath the root with `flags` (O_NOFOLLOW and O_CLOEXEC are always added) and `mode`
// for a created file. A descriptor the caller owns, or a status. As with open(2), O_PATH with
// the added O_NOFOLLOW opens a final link itself rather than failing.
int os_root_open_fd(const os_root* root, const char* path, int flags, uint32_t mode);

// Opens a directory beneath the root for listing (O_RDONLY | O_DIRECTORY): a descriptor the
// caller owns (fdopendir takes it), or a status.
int os_root_opendir(const os_root* root, const char* path);

// Status of the entry itself (a link is described, not followed). 0 or a status, as every
// operation below.
int os_root_lstat(const os_root* root, const char* path, struct stat* st);

// Creates the directory `path` with `mode` (the parent must exist). EEXIST when anything is there
// (a link too, dangling or not).
int os_root_mkdir(const os_root* root, const char* path, uint32_t mode);

// Removes a file, link or other non-directory (os_root_remove) or an empty directory
// (os_root_rmdir). A link is removed itself, never its target.
int os_root_remove(const os_root* root, const char* path);
int os_root_rmdir(const os_root* root, const char* path);

// Renames `from` to `to`, both beneath the root. With `overwrite` 0 something at `to` (even a
// dangling link) fails the rename with EEXIST, in one step (RENAME_NOREPLACE; a file system
// without it fails such a rename with EINVAL rather than checking first). EBUSY when either path
// names a directory by "." or "..", or is empty.
int os_root_rename(const os_root* root, const char* from, const char* to, int overwrite);

// The text of the link `path` into `buf` (NUL-terminated): its length, or a status (ENAMETOOLONG
// when it does not fit in `len` - 1 bytes, EINVAL when `path` is not a link).
ssize_t os_root_readlink(const os_root* root, const char* path, char* buf, size_t len);

// Creates the link `path` with the text `target`, kept verbatim (the text is not resolved now).
int os_root_symlink(const os_root* root, const char* target, const char* path);

// Applies `attr` to the entry itself as os_set_attr does (owner, then permission bits, then
// access and modification seconds); for a link only its owner and times. Returns 0 when the entry
// could be reached and the times set, else a status; a refused owner or mode change alone is not a
// failure. On kernels before 6.6 (no fchmodat2) devices and sockets keep their permission bits:
// they are never opened to change them.
int os_root_set_attr(const os_root* root, const char* path, const os_attr* attr);

// Permission bits `mode` of the entry `name` of the directory `dir` ("" for `dir` itself), of
// type `type` (S_IFMT bits, not a link), never through a link: the one no-follow mode change of
// every writer. 0 or a status. On kernels before 6.6 (no fchmodat2) devices and sockets keep their
// bits (0): they are never opened to change them.
int os_chmod_nofollow(int dir, const char* name, mode_t type, uint32_t mode);
