// The destination writer: everything that creates or replaces an entry at a destination goes
// through here — the copy engine's local destination, the batch worker, and the file server's
// request handlers — so that all of them follow the same rules:
//
//   - nothing inside the destination tree is followed when it is a symbolic link: directories are
//     opened one component at a time with O_NOFOLLOW, entries are acted on by name relative to an
//     open directory; a link standing where a directory must be is replaced by a real directory
//     (the link itself is removed, never its target);
//   - a file is written under a temporary name (librdir/temp_name.h) in its directory, given its
//     owner, then its mode, then its times, and only then renamed onto its final name: an
//     interrupted or failed write never leaves a partial file under the final name, never loses
//     the previous copy, and never writes through a hard link of the previous copy;
//   - set-user-id and set-group-id bits are dropped when the owner cannot be given;
//   - directories are created owner-only (0700) until their final mode is applied.
//
// Functions return 0 or a negative status code; on failure errno is left as the failing call set
// it (or, for a failure found here, set to the errno that names it: EINVAL, EISDIR, ENOTDIR, ...),
// so that callers can log the system's number. Nothing here logs. Names given to the entry
// operations are single directory entries (no "/", not "." or ".."); anything else is refused
// with EINVAL.
//
// Objects are used by one thread at a time.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "libpal/verr.h"
#include "librdir/mstat.h"
#include "librdir/temp_name.h"

struct os_root;

// An open destination directory.
class rdir_dst_dir final {
  public:
    rdir_dst_dir() = default;
    ~rdir_dst_dir() { close(); }
    rdir_dst_dir(const rdir_dst_dir&) = delete;
    rdir_dst_dir& operator=(const rdir_dst_dir&) = delete;
    rdir_dst_dir(rdir_dst_dir&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    rdir_dst_dir& operator=(rdir_dst_dir&& other) noexcept;

    // Opens the directory `rel` ("" for the root itself) beneath `root`, never following a link
    // below the root's own directory. With `create`, missing directories are made (0700) and a
    // link standing where a directory must be is replaced; *created (may be null) tells whether
    // the last component was made here. Something else standing there fails with ENOTDIR
    // (VERR_PATH_NOT_FOUND).
    verr open(const os_root* root, std::string_view rel, bool create, bool* created = nullptr);
    // The same for one entry `name` of `parent`.
    verr open_child(const rdir_dst_dir& parent, std::string_view name, bool create,
                    bool* created = nullptr);
    // Adopts an open directory descriptor.
    void adopt(int fd);
    void close();
    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // Removes the temporaries of writers that no longer run (their process is gone). Returns the
    // number removed.
    int clean_temps();

    // Status of the entry itself (a link is not followed).
    verr lstat(std::string_view name, struct stat* st) const;
    // Removes a non-directory entry (a link itself, never its target).
    verr remove(std::string_view name) const;
    // Creates the directory `name` (0700). An existing directory is fine (*created false); a link
    // is replaced; anything else fails with ENOTDIR.
    verr make_dir(std::string_view name, bool* created = nullptr) const;
    // Creates the symbolic link `name` with the raw text `text` and gives the link itself the
    // owner and times of `attr`, replacing what stands there (a file or link; an empty directory
    // when `to_dir`).
    verr make_link(std::string_view name, const char* text, bool to_dir,
                   const mstat_attr& attr) const;
    // Makes `name` another hard link of the file `target_name` in `target_dir` (on the same file
    // system), replacing a file, link or node standing there as a whole; a name that already is
    // that file is left as it is. With `expect`, the target must still be that file (device and
    // inode) or nothing is changed (VERR_GENERAL_FAILURE, errno ESTALE). *replaced (may be null)
    // tells whether something stood at the name.
    verr make_hard_link(const rdir_dst_dir& target_dir, std::string_view target_name,
                        std::string_view name, const struct stat* expect = nullptr,
                        bool* replaced = nullptr) const;
    // Owner, mode and times of `attr` applied to the entry `name` (a directory or a file; a link
    // gets owner and times only). `with_times` false leaves the times alone.
    verr set_attr(std::string_view name, const mstat_attr& attr, bool with_times = true) const;
    // The same for the open directory itself.
    verr set_own_attr(const mstat_attr& attr, bool with_times = true) const;

  private:
    int fd_ = -1;
};

// Permission bits that an attribute record asks for.
uint32_t rdir_attr_perm(const mstat_attr& attr);

// Owner fields of an attribute record that leave the owner as it is (a file made here keeps its
// creator).
inline constexpr uint32_t RDIR_OWNER_KEPT = UINT32_MAX;

// What a client's attribute records may change at a server. Every write path of the file server
// (the batch worker's files, directories and links, open/write/close, set-attribute) passes the
// records it applies through rdir_attr_policy_apply; a local copy applies records as they are.
struct rdir_attr_policy {
    bool owner = false;  // the record's owner is given (a root server, a client with credentials)
    bool setid = false;  // set-uid and set-gid bits are kept; never when the owner is not given
    // Nodes a client may make: fifos and sockets when owners are given (a node it could not own
    // would be the server user's), devices only where set-id bits are kept too (a device node
    // grants as much as a set-id program).
    bool nodes = false;
    bool devices = false;
};

// Whether `policy` lets a client make a node of the type in `mode` (fifo, socket, device).
bool rdir_attr_policy_node(const rdir_attr_policy& policy, uint32_t mode);

// The record `attr` as `policy` lets it through: the owner fields RDIR_OWNER_KEPT unless owners
// are given, set-id bits dropped unless kept. Permission bits and the sticky bit pass as asked.
mstat_attr rdir_attr_policy_apply(const rdir_attr_policy& policy, mstat_attr attr);

// An extended attribute that could not be copied or removed, and why.
struct rdir_xattr_failure {
    std::string name;
    int eno = 0;
};

// Gives `to` the extended attributes of `from` (user, security and trusted ones, and the POSIX
// ACLs, as far as this user may read them) and removes the user, trusted and ACL attributes of
// `to` that `from` lacks (an ACL inherited from the directory), so that both end with the same
// set. Either descriptor may be a path descriptor (fifos, devices, sockets). An attribute that
// cannot be copied or removed is added to *failures (with its errno, for the log) and the others
// still go; returns 0, or the status of reading `from`'s list (a file system without extended
// attributes has an empty list).
// Owner and mode come first (a later change of owner drops file capabilities, a later change of
// mode rewrites the ACL mask), times last.
verr rdir_copy_xattrs(int from, int to, std::vector<rdir_xattr_failure>* failures);
// Whether rdir_copy_xattrs(from, to) would change anything: an attribute of `from` missing or
// with another value at `to`, or one `to` has of its own that would go. A `from` whose list
// cannot be read differs in nothing.
bool rdir_xattrs_differ(int from, int to);

// rdir_dst_file::commit: the name already is the source file itself (the same file under two
// names); nothing was changed. A success (positive): test failures with `< 0`.
inline constexpr verr RDIR_DST_IS_SOURCE = 1;

// A file being written under a temporary name in an open directory.
class rdir_dst_file final {
  public:
    rdir_dst_file() = default;
    ~rdir_dst_file() { abort(); }
    rdir_dst_file(const rdir_dst_file&) = delete;
    rdir_dst_file& operator=(const rdir_dst_file&) = delete;

    // Starts the file `name` in `dir` (which must outlive this object) and creates the temporary,
    // open for writing, with the permission bits `perm` (set-id bits never; the umask applies):
    // never wider than what the file will get, so that its content is not exposed while it is
    // written. With `look_first`, what stands at the name is looked at now (existing(); a
    // directory there fails with EISDIR at once); without, only when commit finds the name
    // taken, which saves a call for every new file.
    verr create(const rdir_dst_dir& dir, std::string_view name, uint32_t perm = 0600,
                bool look_first = true);
    // Starts the node `name` in `dir` instead of a file: a fifo, socket or character or block
    // device (the type bits of `mode`; `rdev` for a device), made under the temporary name
    // owner-only. fd() is then a path descriptor of it (no data; enough for rdir_copy_xattrs).
    // commit applies the attributes and renames as for a file. Any other type fails with EINVAL;
    // EPERM where this user may not make such a node.
    verr create_node(const rdir_dst_dir& dir, std::string_view name, uint32_t mode, dev_t rdev);
    int fd() const { return fd_; }
    // What stood at the final name (st_ino 0 when nothing): known after create with look_first,
    // or after a commit that found the name taken.
    const struct stat& existing() const { return existing_; }

    // Applies owner, mode and times, closes and renames the temporary onto the final name; a
    // directory standing there fails with EISDIR. With `source` (the status of the file the
    // content came from), a name that is that very file is left alone: RDIR_DST_IS_SOURCE. On
    // any failure the temporary is removed and the final name keeps what it had.
    verr commit(const mstat_attr& attr, const struct stat* source = nullptr);
    // The same with the times `times` (access, modification; nanoseconds kept) in place of the
    // whole seconds of `attr`.
    verr commit(const mstat_attr& attr, const struct stat* source, const timespec (&times)[2]);
    // Gives the temporary the owner and mode of `attr` now, for what must come between them and
    // the times (rdir_copy_xattrs). commit still applies everything.
    verr apply_owner_mode(const mstat_attr& attr);
    // Drops the temporary (nothing at the final name changes). Idempotent.
    void abort();

  private:
    verr place(const struct stat* source);
    verr finish(const mstat_attr& attr, const struct stat* source, const timespec* times);

    const rdir_dst_dir* dir_ = nullptr;
    int fd_ = -1;
    bool looked_ = true;
    bool node_ = false;  // a node: its attributes are set by name, fd_ is a path descriptor
    char temp_[RDIR_TEMP_NAME_LEN + 1] = {};
    char name_[256] = {};
    struct stat existing_ {};
};
