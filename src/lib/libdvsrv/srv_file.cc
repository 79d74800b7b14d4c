// The fixed requests on paths, open files and open directories.
//
// Every path a client sends is resolved beneath the served root (os_root): "..", absolute paths
// and symbolic links, its own included, never lead out of it. Where a request acts on a final
// link rather than through it, the entry is reached by name in its resolved parent directory and
// changed with the *at calls that do not follow. Attributes of open files are set on their
// descriptors.
//
// A file opened to be replaced (created or truncated for writing) is written under a temporary
// name by the destination writer and placed under its name on close, so a client that never
// finishes leaves the previous file as it was.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_wire.h"
#include "libdvsrv/srv_handlers.h"
#include "libdvsrv/srv_session.h"
#include "liblog/log2.h"
#include "libpal/os_root.h"
#include "libpal/unique_fd.h"
#include "librdir/dst_writer.h"
#include "librdir/stat_line.h"
#include "librdir/temp_name.h"

#define SRV_LOG(level, ...) DV_LOG("dvsd", level, __VA_ARGS__)

namespace {

constexpr uint32_t kNewFileMode = 0644;
constexpr uint32_t kNewDirMode = 0755;
// Links followed at the end of a path before giving up (as the kernel does).
constexpr int kMaxLinkHops = 40;
constexpr long kNanosPerSecond = 1000000000L;

// An open file's or directory's share of its user's and the server's caps, given back when it
// goes.
class quota_charge final {
  public:
    quota_charge() = default;
    quota_charge(const quota_charge&) = delete;
    quota_charge& operator=(const quota_charge&) = delete;
    ~quota_charge() {
        if (user_) user_->give();
        if (server_) server_->give();
    }

    // Takes one of each; 0, or errno with `*why` saying which cap was reached.
    int take(const srv_context& ctx, size_t open_now, std::string* why) {
        const srv_fd_caps& caps = ctx.fd_caps;
        if (open_now >= caps.context) {
            *why = "too many open files and directories on this connection (" +
                   std::to_string(caps.context) + ")";
            return EMFILE;
        }
        if (caps.user && !caps.user->take()) {
            *why = "too many open files and directories for this user (" +
                   std::to_string(caps.user->cap) + ")";
            return EMFILE;
        }
        user_ = caps.user;
        if (caps.server && !caps.server->take()) {
            *why = "too many open files and directories on the server (" +
                   std::to_string(caps.server->cap) + ")";
            return ENFILE;
        }
        server_ = caps.server;
        return 0;
    }

  private:
    std::shared_ptr<srv_quota> user_;
    std::shared_ptr<srv_quota> server_;
};

// A file a client has open.
struct open_file final {
    quota_charge charge;
    unique_fd own;  // the descriptor of a file opened in place, or of a temporary reopened
    // Set while the file is written under a temporary name; `dir` must outlive `temp`.
    std::unique_ptr<rdir_dst_dir> dir;
    std::unique_ptr<rdir_dst_file> temp;
    // What the file gets when it is placed: owner and permission bits (times are the
    // temporary's own, so that whatever the client set stays).
    mstat_attr final_attr{};
    bool can_read = false;
    bool can_write = false;

    int fd() const { return own.valid() ? own.get() : (temp ? temp->fd() : -1); }
};

struct dir_closer {
    void operator()(DIR* dir) const { closedir(dir); }
};

// One listed entry, before it becomes a line of either field set.
struct dir_entry final {
    std::string name;
    std::string link;  // text of a symbolic link
    struct stat st {};
    uint32_t type = 0;
};

// A directory a client is listing.
struct open_dir final {
    quota_charge charge;
    std::unique_ptr<DIR, dir_closer> dir;
    std::string path;                  // as the client named it, to resolve its links
    std::optional<dir_entry> pending;  // an entry that did not fit the previous batch
    bool exhausted = false;            // every entry has been read from the directory
};

// A text of a request: the data up to its first NUL (or all of it).
std::string_view data_text(std::span<const uint8_t> data) {
    const char* p = reinterpret_cast<const char*>(data.data());
    const size_t n = data.empty() ? 0 : strnlen(p, data.size());
    return std::string_view(p, n);
}

template <typename T>
bool parse_number(std::string_view text, T* out, int base = 10) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out, base);
    return ec == std::errc() && end == text.data() + text.size();
}

// Splits `count` tab-separated fields off the right end of `text`; the rest (which may itself
// hold tabs) is the path. False when there are fewer fields.
bool split_right(std::string_view text, size_t count, std::string_view* path,
                 std::vector<std::string_view>* fields) {
    fields->assign(count, std::string_view());
    for (size_t i = count; i > 0; --i) {
        const size_t tab = text.rfind('\t');
        if (tab == std::string_view::npos) return false;
        (*fields)[i - 1] = text.substr(tab + 1);
        text = text.substr(0, tab);
    }
    *path = text;
    return true;
}

// A path cut at its last component: the parent keeps its trailing "/" (so that a link there is
// followed, inside the root), the name has no "/".
struct cut_path {
    std::string parent;
    std::string name;
    bool slash = false;  // the path ended in "/"
};

cut_path cut(std::string_view path) {
    cut_path c;
    size_t end = path.size();
    while (end > 0 && path[end - 1] == '/') --end;
    c.slash = end < path.size();
    const std::string_view body = path.substr(0, end);
    const size_t sep = body.rfind('/');
    if (sep == std::string_view::npos) {
        c.name.assign(body);
    } else {
        c.parent.assign(body.substr(0, sep + 1));
        c.name.assign(body.substr(sep + 1));
    }
    return c;
}

bool plain_name(std::string_view name) {
    return !name.empty() && name != "." && name != "..";
}

// True when `path` leads to a directory beneath the root, links followed inside it.
bool is_dir_in_root(const os_root* root, const std::string& path) {
    const unique_fd fd(os_root_open_fd(root, (path + "/").c_str(), O_PATH | O_DIRECTORY, 0));
    return fd.valid();
}

// `path` with the links at its end followed inside the root: a path beneath the root that names
// no link (or nothing, for a file about to be created). 0 or errno.
int follow_final(const os_root* root, std::string path, std::string* out) {
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        struct stat st;
        if (os_root_lstat(root, path.c_str(), &st) != 0) {
            if (errno != ENOENT) return errno;
            *out = std::move(path);
            return 0;
        }
        if (!S_ISLNK(st.st_mode)) {
            *out = std::move(path);
            return 0;
        }
        char target[PATH_MAX];
        if (os_root_readlink(root, path.c_str(), target, sizeof(target)) < 0) return errno;
        // An absolute text starts at the served root; a relative one at the link's directory.
        path = target[0] == '/' ? std::string(target) : cut(path).parent + target;
    }
    return ELOOP;
}

// Makes `path` and every missing directory above it (0755). An existing directory (or a link
// to one inside the root) is fine. 0 or errno.
int make_dirs(const os_root* root, std::string_view path) {
    const std::string whole(path);
    if (is_dir_in_root(root, whole)) return 0;
    size_t pos = 0;
    while (pos < path.size()) {
        while (pos < path.size() && path[pos] == '/') ++pos;
        if (pos >= path.size()) break;
        size_t end = path.find('/', pos);
        if (end == std::string_view::npos) end = path.size();
        const std::string prefix(path.substr(0, end));
        pos = end;
        if (os_root_mkdir(root, prefix.c_str(), kNewDirMode) == 0) continue;
        if (errno != EEXIST) return errno;
        if (!is_dir_in_root(root, prefix)) return ENOTDIR;
    }
    return 0;
}

// An entry reached without following it: a name in its (resolved) parent directory, or, for a
// path that names a directory as a whole ("", ".", "..", a trailing "/"), that directory opened
// itself (`name` empty).
struct entry_ref {
    unique_fd dir;
    std::string name;
};

int locate_entry(const os_root* root, std::string_view path, entry_ref* at) {
    cut_path c = cut(path);
    if (c.slash || !plain_name(c.name)) {
        at->dir.reset(os_root_opendir(root, std::string(path.empty() ? "/" : path).c_str()));
        at->name.clear();
        return at->dir.valid() ? 0 : errno;
    }
    at->dir.reset(os_root_open_fd(root, c.parent.c_str(), O_PATH | O_DIRECTORY, 0));
    if (!at->dir.valid()) return errno;
    at->name = std::move(c.name);
    return 0;
}

// Permission bits a client asked for, as the server's attribute policy lets them through.
uint32_t client_perm(const srv_context& ctx, uint32_t mode) {
    mstat_attr a{};
    a.mode = mode;
    return rdir_attr_perm(rdir_attr_policy_apply(srv_attr_policy(ctx), a));
}

// A file replaced by a root server keeps its owner; a new one is the server's.
bool server_is_root() {
    return geteuid() == 0;
}

// What a set-attribute line asks for.
struct attr_request {
    uint32_t type = 0;
    uint32_t mode = 0;
    uint32_t attr = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    int64_t atime = 0;
    int64_t mtime = 0;

    // The request as the server's attribute policy lets it through.
    mstat_attr allowed(const srv_context& ctx) const {
        mstat_attr a{};
        a.type = type;
        a.mode = mode;
        a.attr = attr;
        a.uid = uid;
        a.gid = gid;
        a = rdir_attr_policy_apply(srv_attr_policy(ctx), a);
        // A record without POSIX owners keeps the entry's own.
        if ((a.type & RDIR_TYPE_NO_POSIX) != 0 && a.uid == 0 && a.gid == 0) {
            a.uid = a.gid = RDIR_OWNER_KEPT;
        }
        return a;
    }
};

bool gives_owner(const mstat_attr& a, const struct stat& st) {
    return a.uid != RDIR_OWNER_KEPT && (st.st_uid != a.uid || st.st_gid != a.gid);
}

// The eight fields after the path: type (decimal), mode, attribute, ctime, mtime, atime (hex),
// uid, gid (decimal).
bool parse_attr_fields(const std::vector<std::string_view>& f, attr_request* a) {
    int32_t type = 0;
    uint64_t ctime = 0, mtime = 0, atime = 0;
    if (!parse_number(f[0], &type) || !parse_number(f[1], &a->mode, 16) ||
        !parse_number(f[2], &a->attr, 16) || !parse_number(f[3], &ctime, 16) ||
        !parse_number(f[4], &mtime, 16) || !parse_number(f[5], &atime, 16) ||
        !parse_number(f[6], &a->uid) || !parse_number(f[7], &a->gid)) {
        return false;
    }
    a->type = static_cast<uint32_t>(type);
    a->mtime = static_cast<int64_t>(mtime);
    a->atime = static_cast<int64_t>(atime);
    return true;
}

// Owner (as the policy allows), permission bits and times of the entry `at`, never through a
// final link: a link gets its owner and times. 0 or errno.
int apply_attr_at(const srv_context& ctx, const entry_ref& at, const attr_request& req) {
    const int dir = at.dir.get();
    const bool whole = at.name.empty();
    struct stat st;
    if ((whole ? fstat(dir, &st) : fstatat(dir, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW)) != 0) {
        return errno;
    }
    const mstat_attr a = req.allowed(ctx);
    if (gives_owner(a, st)) {
        const int r = whole ? fchown(dir, a.uid, a.gid)
                            : fchownat(dir, at.name.c_str(), a.uid, a.gid, AT_SYMLINK_NOFOLLOW);
        if (r != 0) return errno;
    }
    if (!S_ISLNK(st.st_mode)) {
        const int r = os_chmod_nofollow(dir, whole ? "" : at.name.c_str(), st.st_mode & S_IFMT,
                                        rdir_attr_perm(a));
        if (r != 0) return r;
    }
    const timespec ts[2] = {{static_cast<time_t>(req.atime), 0},
                            {static_cast<time_t>(req.mtime), 0}};
    const int r =
        whole ? futimens(dir, ts) : utimensat(dir, at.name.c_str(), ts, AT_SYMLINK_NOFOLLOW);
    return r == 0 ? 0 : errno;
}

// ---- replies ----

void reply_status(sd_frame_msg& reply, verr error, const char* text = nullptr) {
    srv_reply_error(reply, error, text);
}

void reply_errno(sd_frame_msg& reply, int eno) {
    srv_reply_error(reply, srv_errno_status(eno));
}

void reply_bad_request(sd_frame_msg& reply) {
    srv_reply_error(reply, VERR_NET_PROTOCOL_ERROR);
}

void reply_ok(sd_frame_msg& reply) {
    if (!srv_reply_begin(reply, 0, "")) srv_reply_error(reply, VERR_NO_MEMORY);
}

// Finishes a reply whose fields were added: a message that could not be built becomes a
// memory failure.
void reply_done(sd_frame_msg& reply) {
    if (!reply.ok()) srv_reply_error(reply, VERR_NO_MEMORY);
}

// Adds a packed "data" field holding `data`. False when it could not be built.
bool add_packed(srv_context& ctx, sd_frame_msg& reply, std::span<const uint8_t> data) {
    static const uint8_t kEmpty[1] = {0};
    if (data.empty()) data = std::span<const uint8_t>(kEmpty, 0);
    const size_t bound = zcomp_bound(data.size());
    blob_attr* field = reply.reserve(SDF_DATA, bound);
    if (field == nullptr) return false;
    const int packed =
        zcomp_compress(&ctx.pack, data.data(), data.size(), blobmsg_data(field), bound);
    if (packed < 0 || (packed == 0 && !data.empty())) return false;
    return reply.trim(field, static_cast<size_t>(packed));
}

uint32_t entry_type(const os_root* root, const std::string& path, const struct stat& st) {
    if (S_ISLNK(st.st_mode)) {
        return RDIR_TYPE_LINK | (is_dir_in_root(root, path) ? RDIR_TYPE_DIR : RDIR_TYPE_OTHER);
    }
    return S_ISDIR(st.st_mode) ? RDIR_TYPE_DIR : RDIR_TYPE_OTHER;
}

void add_stat(sd_frame_msg& reply, const struct stat& st, uint32_t type, bool extended) {
    const uint64_t size = S_ISLNK(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    reply.add_int32(SDF_TYPE, type);
    reply.add_int32(SDF_ATTRIB_MODE, st.st_mode);
    reply.add_int32(SDF_UID, st.st_uid);
    reply.add_int32(SDF_GID, st.st_gid);
    reply.add_int64(SDF_LEN, size);
    reply.add_int64(SDF_TIME_ACCESS, static_cast<uint64_t>(st.st_atim.tv_sec));
    reply.add_int64(SDF_TIME_WRITE, static_cast<uint64_t>(st.st_mtim.tv_sec));
    reply.add_int64(SDF_TIME_CREATE, static_cast<uint64_t>(st.st_ctim.tv_sec));
    if (!extended) return;
    reply.add_int32(SDF_TIME_ACCESS_NS, static_cast<uint32_t>(st.st_atim.tv_nsec));
    reply.add_int32(SDF_TIME_WRITE_NS, static_cast<uint32_t>(st.st_mtim.tv_nsec));
    reply.add_int32(SDF_TIME_CREATE_NS, static_cast<uint32_t>(st.st_ctim.tv_nsec));
    reply.add_int64(SDF_ST_NLINK, st.st_nlink);
    reply.add_int64(SDF_ST_DEV, st.st_dev);
    reply.add_int64(SDF_ST_RDEV, st.st_rdev);
    reply.add_int64(SDF_ST_INO, st.st_ino);
    reply.add_int64(SDF_ST_BLKSIZE, static_cast<uint64_t>(st.st_blksize));
    reply.add_int64(SDF_ST_BLOCKS, static_cast<uint64_t>(st.st_blocks));
}

// ---- request bodies ----

// The fields of a request body. The first `required` entries of the table must be present.
template <size_t N>
struct body_fields {
    const blob_attr* at[N] = {};
    bool parse(const blobmsg_policy (&policy)[N], std::span<const uint8_t> body,
               size_t required = N) {
        if (blobmsg_parse(policy, static_cast<int>(N), at, body.data(), body.size()) != 0) {
            return false;
        }
        for (size_t i = 0; i < required; ++i) {
            if (at[i] == nullptr) return false;
        }
        return true;
    }
    int32_t i32(size_t i) const { return blobmsg_get_int32(at[i]); }
    int64_t i64(size_t i) const { return blobmsg_get_int64(at[i]); }
    uint64_t u64(size_t i) const { return static_cast<uint64_t>(blobmsg_get_int64(at[i])); }
    const char* str(size_t i) const { return blobmsg_get_string(at[i]); }
    std::span<const uint8_t> bin(size_t i) const {
        return {blobmsg_data(at[i]), blobmsg_data_len(at[i])};
    }
};

constexpr blobmsg_policy kPathBody[] = {{SDF_PATH, BLOBMSG_TYPE_STRING}};
constexpr blobmsg_policy kFdBody[] = {{SDF_FD, BLOBMSG_TYPE_INT64}};
constexpr blobmsg_policy kOpenBody[] = {{SDF_PATH, BLOBMSG_TYPE_STRING},
                                        {SDF_MODE, BLOBMSG_TYPE_INT64}};
constexpr blobmsg_policy kOpen2Body[] = {{SDF_PATH, BLOBMSG_TYPE_STRING},
                                         {SDF_FLAG, BLOBMSG_TYPE_INT32},
                                         {SDF_MODE, BLOBMSG_TYPE_INT32}};
constexpr blobmsg_policy kReadBody[] = {
    {SDF_FD, BLOBMSG_TYPE_INT64}, {SDF_LEN, BLOBMSG_TYPE_INT32}, {SDF_OFFSET, BLOBMSG_TYPE_INT64}};
constexpr blobmsg_policy kWriteBody[] = {{SDF_FD, BLOBMSG_TYPE_INT64},
                                         {SDF_LEN, BLOBMSG_TYPE_INT32},
                                         {SDF_DATA, BLOBMSG_TYPE_BINARY},
                                         {SDF_OFFSET, BLOBMSG_TYPE_INT64}};
constexpr blobmsg_policy kSeekBody[] = {
    {SDF_FD, BLOBMSG_TYPE_INT64}, {SDF_OFFSET, BLOBMSG_TYPE_INT64}, {SDF_MODE, BLOBMSG_TYPE_INT64}};
constexpr blobmsg_policy kSetLenBody[] = {{SDF_FD, BLOBMSG_TYPE_INT64},
                                          {SDF_LEN, BLOBMSG_TYPE_INT64}};
constexpr blobmsg_policy kTimesBody[] = {{SDF_FD, BLOBMSG_TYPE_INT64},
                                         {SDF_TIME_ACCESS, BLOBMSG_TYPE_INT64},
                                         {SDF_TIME_WRITE, BLOBMSG_TYPE_INT64},
                                         {SDF_TIME_CREATE, BLOBMSG_TYPE_INT64},
                                         {SDF_TIME_ACCESS_NS, BLOBMSG_TYPE_INT32},
                                         {SDF_TIME_WRITE_NS, BLOBMSG_TYPE_INT32},
                                         {SDF_TIME_CREATE_NS, BLOBMSG_TYPE_INT32}};
constexpr blobmsg_policy kPutBody[] = {{SDF_PATH, BLOBMSG_TYPE_STRING},
                                       {SDF_NAME, BLOBMSG_TYPE_STRING},
                                       {SDF_LEN, BLOBMSG_TYPE_INT32},
                                       {SDF_DATA, BLOBMSG_TYPE_BINARY}};
constexpr blobmsg_policy kOpendirBody[] = {{SDF_PATH, BLOBMSG_TYPE_STRING},
                                           {SDF_PATTERN, BLOBMSG_TYPE_STRING}};
constexpr blobmsg_policy kReaddirBody[] = {{SDF_FD, BLOBMSG_TYPE_INT64},
                                           {SDF_LEN, BLOBMSG_TYPE_INT32}};

// What an open asks for, in the terms of both open requests.
struct open_request {
    std::string path;
    bool read = false;
    bool write = false;
    bool create = false;
    bool truncate = false;
    bool append = false;
    bool exclusive = false;
    bool make_parents = false;
    uint32_t perm = kNewFileMode;  // of a new file
};

}  // namespace

// Open files and directories of a context, by the numbers handed to the client.
struct srv_files {
    std::map<uint64_t, std::unique_ptr<open_file>> files;
    std::map<uint64_t, std::unique_ptr<open_dir>> dirs;
    uint64_t next_number = 1;
    std::vector<uint8_t> buffer;  // read data, reused
    // Directories whose stale temporaries were removed, by device and inode: once per directory
    // while the bound holds, not once per file.
    std::set<std::pair<uint64_t, uint64_t>> cleaned_dirs;

    size_t open_count() const { return files.size() + dirs.size(); }
    uint64_t take_number() {
        if (next_number == 0) next_number = 1;
        return next_number++;
    }
    open_file* file(uint64_t number) {
        auto it = files.find(number);
        return it != files.end() ? it->second.get() : nullptr;
    }
    open_dir* dir(uint64_t number) {
        auto it = dirs.find(number);
        return it != dirs.end() ? it->second.get() : nullptr;
    }
};

void srv_files_deleter::operator()(srv_files* files) const {
    delete files;
}

srv_files* srv_files_new() {
    return new (std::nothrow) srv_files;
}

namespace {

// ---- opening and closing files ----

// A server killed in the middle of a file leaves its temporary behind: the next file written
// into that directory removes such leftovers (a live writer's temporary stays).
void clean_dir_once(srv_context& ctx, rdir_dst_dir& dir) {
    constexpr size_t kMaxRemembered = 4096;
    struct stat st;
    if (fstat(dir.fd(), &st) != 0) return;
    auto& seen = ctx.files->cleaned_dirs;
    if (!seen.insert({st.st_dev, st.st_ino}).second) return;
    if (seen.size() > kMaxRemembered) seen.clear();
    dir.clean_temps();
}

// Starts a file that replaces (or creates) `path` under a temporary name. `existing` is the
// status of what stands there (st_ino 0 when nothing).
int open_replacing(srv_context& ctx, const std::string& path, const open_request& req,
                   const struct stat& existing, open_file* f) {
    const cut_path c = cut(path);
    if (c.slash || !plain_name(c.name)) return EISDIR;
    unique_fd dir_fd(os_root_open_fd(ctx.root, c.parent.c_str(), O_RDONLY | O_DIRECTORY, 0));
    if (!dir_fd.valid()) return errno;
    f->dir = std::make_unique<rdir_dst_dir>();
    f->dir->adopt(dir_fd.release());
    clean_dir_once(ctx, *f->dir);

    // A replaced file keeps its permission bits and owner; a new one gets what was asked.
    f->final_attr = mstat_attr{};
    f->final_attr.type = RDIR_TYPE_OTHER;
    const bool replacing = existing.st_ino != 0;
    f->final_attr.mode = client_perm(ctx, replacing ? existing.st_mode : req.perm);
    f->final_attr.uid = replacing && server_is_root() ? existing.st_uid : geteuid();
    f->final_attr.gid = replacing && server_is_root() ? existing.st_gid : getegid();

    // The owner must be able to read and write the temporary while the client works on it.
    f->temp = std::make_unique<rdir_dst_file>();
    int ret = f->temp->create(*f->dir, c.name, (f->final_attr.mode & 0777) | 0600, true);
    if (ret != 0) return ret;
    if (req.read) {
        // The writer's temporary is write-only; reads of it go through a second descriptor.
        char self[64];
        std::snprintf(self, sizeof(self), "/proc/self/fd/%d", f->temp->fd());
        f->own.reset(open(self, O_RDWR | O_CLOEXEC));
        if (!f->own.valid()) return errno;
    }
    if (req.append && fcntl(f->fd(), F_SETFL, O_APPEND) != 0) return errno;
    // apply_owner_mode changes the owner only when it differs, so an ordinary run never tries.
    ret = f->temp->apply_owner_mode(f->final_attr);
    if (ret != 0) return ret;
    f->can_read = req.read;
    f->can_write = true;
    return 0;
}

int open_in_place(srv_context& ctx, const std::string& path, const open_request& req, bool exists,
                  open_file* f) {
    int flags = req.read && req.write ? O_RDWR : req.write ? O_WRONLY : O_RDONLY;
    if (req.append) flags |= O_APPEND;
    if (req.create && !exists) flags |= O_CREAT | O_EXCL;
    // Never wait on a fifo or a terminal: the connection would hang.
    flags |= O_NONBLOCK | O_NOCTTY;
    unique_fd fd(os_root_open_fd(ctx.root, path.c_str(), flags, req.perm & 0777));
    if (!fd.valid()) return errno;
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return errno;
    if (S_ISDIR(st.st_mode) && req.write) return EISDIR;
    if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
        const int fl = fcntl(fd.get(), F_GETFL);
        if (fl >= 0) (void)fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK);
    }
    if ((flags & O_CREAT) != 0) {
        // A new file gets exactly the asked bits, whatever the process's umask.
        (void)fchmod(fd.get(), client_perm(ctx, req.perm));
    }
    f->own.reset(fd.release());
    f->can_read = req.read;
    f->can_write = req.write;
    return 0;
}

void serve_open(srv_context& ctx, open_request req, sd_frame_msg& reply) {
    srv_files& files = *ctx.files;
    auto f = std::make_unique<open_file>();
    std::string why;
    if (const int eno = f->charge.take(ctx, files.open_count(), &why); eno != 0) {
        return reply_status(reply, srv_errno_status(eno), why.c_str());
    }
    if (!req.read && !req.write) req.read = true;
    if (req.create && req.make_parents) {
        const cut_path c = cut(req.path);
        if (!c.parent.empty()) {
            const int ret = make_dirs(ctx.root, c.parent);
            if (ret != 0) return reply_errno(reply, ret);
        }
    }
    std::string path;
    int ret = follow_final(ctx.root, req.path, &path);
    if (ret != 0) return reply_errno(reply, ret);
    struct stat st {};
    bool exists = os_root_lstat(ctx.root, path.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) return reply_errno(reply, errno);
    if (!exists) st = {};
    if (exists && req.create && req.exclusive) return reply_errno(reply, EEXIST);
    if (!exists && !req.create) return reply_errno(reply, ENOENT);
    if (exists && S_ISDIR(st.st_mode) && req.write) return reply_errno(reply, EISDIR);

    const bool replace =
        req.write && (!exists ? req.create : (req.truncate && S_ISREG(st.st_mode)));
    ret = replace ? open_replacing(ctx, path, req, st, f.get())
                  : open_in_place(ctx, path, req, exists, f.get());
    if (ret != 0) return reply_errno(reply, ret);
    const uint64_t number = files.take_number();
    files.files.emplace(number, std::move(f));
    reply_ok(reply);
    reply.add_int64(SDF_FD, number);
    reply_done(reply);
}

// Places a replacing file under its name; a file opened in place is just closed. 0 or errno.
int finish_file(open_file& f) {
    if (!f.temp) return f.own.close_checked();
    int ret = f.own.close_checked();
    struct stat st;
    if (ret == 0 && fstat(f.temp->fd(), &st) != 0) ret = errno;
    if (ret != 0) {
        f.temp->abort();
        return ret;
    }
    // Owner and bits as decided at open or by the client since; times as the file has them.
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ret = f.temp->commit(f.final_attr, nullptr, times);
    return ret == RDIR_DST_IS_SOURCE ? 0 : ret;
}

// ---- reading and writing ----

// Reads up to `len` bytes, until `len` or the end of the file. `offset` < 0: at the position.
ssize_t read_full(int fd, uint8_t* buf, size_t len, int64_t offset) {
    size_t done = 0;
    while (done < len) {
        const ssize_t n = offset < 0
                              ? read(fd, buf + done, len - done)
                              : pread(fd, buf + done, len - done,
                                      static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

ssize_t write_full(int fd, const uint8_t* buf, size_t len, int64_t offset) {
    size_t done = 0;
    while (done < len) {
        const ssize_t n = offset < 0
                              ? write(fd, buf + done, len - done)
                              : pwrite(fd, buf + done, len - done,
                                       static_cast<off_t>(offset + static_cast<int64_t>(done)));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) {
            errno = ENOSPC;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

void serve_read(srv_context& ctx, uint8_t code, std::span<const uint8_t> body,
                sd_frame_msg& reply) {
    body_fields<3> b;
    const bool positional = code == SD_REQ_PREAD;
    if (!b.parse(kReadBody, body, positional ? 3 : 2)) return reply_bad_request(reply);
    open_file* f = ctx.files->file(b.u64(0));
    if (f == nullptr) return reply_errno(reply, EBADF);
    if (!f->can_read) return reply_errno(reply, EACCES);
    const size_t len = static_cast<uint32_t>(b.i32(1));
    if (len > SRV_MAX_BLOCK) return reply_status(reply, VERR_BUFFER_OVERFLOW);
    const int64_t offset = positional ? b.i64(2) : -1;
    if (positional && offset < 0) return reply_errno(reply, EINVAL);
    std::vector<uint8_t>& buf = ctx.files->buffer;
    if (buf.size() < len) buf.resize(len);
    const ssize_t n = read_full(f->fd(), buf.data(), len, offset);
    if (n < 0) return reply_errno(reply, errno);
    reply_ok(reply);
    reply.add_int32(SDF_LEN, static_cast<uint32_t>(n));
    reply.add_int32(SDF_FLAGS, 0);
    if (!add_packed(ctx, reply, {buf.data(), static_cast<size_t>(n)})) {
        return reply_status(reply, VERR_NO_MEMORY);
    }
    reply_done(reply);
}

// Unpacks `packed` to exactly `len` bytes: a pointer to them, or nullptr when it unpacks to
// anything else (or is malformed).
const uint8_t* unpack_exact(srv_context& ctx, std::span<const uint8_t> packed, size_t len) {
    static const uint8_t kNothing[1] = {0};
    if (len == 0) {
        // Nothing to hold, but the payload must still unpack to nothing.
        uint8_t probe[1];
        const int n = zcomp_decompress(&ctx.pack, packed.data(), packed.size(), probe, 1);
        return n == 0 ? kNothing : nullptr;
    }
    uint8_t* out = nullptr;
    if (zcomp_decompress_aligned(&ctx.pack, packed.data(), packed.size(), &out, len) != 0) {
        return nullptr;
    }
    return out;
}

void serve_write(srv_context& ctx, uint8_t code, std::span<const uint8_t> body,
                 sd_frame_msg& reply) {
    body_fields<4> b;
    const bool positional = code == SD_REQ_PWRITE;
    if (!b.parse(kWriteBody, body, positional ? 4 : 3)) return reply_bad_request(reply);
    open_file* f = ctx.files->file(b.u64(0));
    if (f == nullptr) return reply_errno(reply, EBADF);
    if (!f->can_write) return reply_errno(reply, EACCES);
    const size_t len = static_cast<uint32_t>(b.i32(1));
    if (len > SRV_MAX_BLOCK) return reply_status(reply, VERR_BUFFER_OVERFLOW);
    const int64_t offset = positional ? b.i64(3) : -1;
    if (positional && offset < 0) return reply_errno(reply, EINVAL);
    const uint8_t* data = unpack_exact(ctx, b.bin(2), len);
    if (data == nullptr) {
        return reply_status(reply, VERR_NET_PROTOCOL_ERROR,
                            "data does not unpack to the stated length");
    }
    const ssize_t n = write_full(f->fd(), data, len, offset);
    if (n < 0) return reply_errno(reply, errno);
    reply_ok(reply);
    reply.add_int32(SDF_LEN, static_cast<uint32_t>(n));
    reply_done(reply);
}

// ---- whole small files ----

void serve_put_file(srv_context& ctx, std::span<const uint8_t> body, sd_frame_msg& reply) {
    body_fields<4> b;
    if (!b.parse(kPutBody, body)) return reply_bad_request(reply);
    const std::string dir_path = b.str(0);
    const std::string_view name = b.str(1);
    const size_t len = static_cast<uint32_t>(b.i32(2));
    if (len > SRV_MAX_BLOCK) return reply_status(reply, VERR_BUFFER_OVERFLOW);
    if (!plain_name(name) || name.find('/') != std::string_view::npos) {
        return reply_errno(reply, EINVAL);
    }
    const uint8_t* data = unpack_exact(ctx, b.bin(3), len);
    if (data == nullptr) {
        return reply_status(reply, VERR_NET_PROTOCOL_ERROR,
                            "data does not unpack to the stated length");
    }
    int ret = make_dirs(ctx.root, dir_path);
    if (ret != 0) return reply_errno(reply, ret);
    unique_fd dir_fd(
        os_root_open_fd(ctx.root, (dir_path + "/").c_str(), O_RDONLY | O_DIRECTORY, 0));
    if (!dir_fd.valid()) return reply_errno(reply, errno);
    rdir_dst_dir dir;
    dir.adopt(dir_fd.release());
    rdir_dst_file file;
    ret = file.create(dir, name, kNewFileMode, true);
    if (ret != 0) return reply_errno(reply, ret);
    const struct stat& existing = file.existing();
    const bool replacing = existing.st_ino != 0 && S_ISREG(existing.st_mode);
    mstat_attr attr{};
    attr.type = RDIR_TYPE_OTHER;
    attr.mode = client_perm(ctx, replacing ? existing.st_mode : kNewFileMode);
    attr.uid = replacing && server_is_root() ? existing.st_uid : geteuid();
    attr.gid = replacing && server_is_root() ? existing.st_gid : getegid();
    if (write_full(file.fd(), data, len, -1) < 0) return reply_errno(reply, errno);
    struct stat st;
    if (fstat(file.fd(), &st) != 0) return reply_errno(reply, errno);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ret = file.commit(attr, nullptr, times);
    if (ret != 0 && ret != RDIR_DST_IS_SOURCE) return reply_errno(reply, ret);
    reply_ok(reply);
    reply.add_int32(SDF_LEN, static_cast<uint32_t>(len));
    reply_done(reply);
}

// ---- stat and file-system information ----

void serve_stat(srv_context& ctx, uint8_t code, std::span<const uint8_t> body,
                sd_frame_msg& reply) {
    body_fields<1> b;
    if (!b.parse(kPathBody, body)) return reply_bad_request(reply);
    std::string path = b.str(0);
    if (code != SD_REQ_LSTAT) {
        const int ret = follow_final(ctx.root, path, &path);
        if (ret != 0) return reply_errno(reply, ret);
    }
    struct stat st;
    if (os_root_lstat(ctx.root, path.c_str(), &st) != 0) return reply_errno(reply, errno);
    reply_ok(reply);
    add_stat(reply, st, entry_type(ctx.root, path, st), code != SD_REQ_STAT);
    reply_done(reply);
}

// The descriptor of an open file or directory.
int object_fd(srv_context& ctx, uint64_t number) {
    if (open_file* f = ctx.files->file(number)) return f->fd();
    if (open_dir* d = ctx.files->dir(number)) return dirfd(d->dir.get());
    return -1;
}

void serve_fstat(srv_context& ctx, uint8_t code, std::span<const uint8_t> body,
                 sd_frame_msg& reply) {
    body_fields<1> b;
    if (!b.parse(kFdBody, body)) return reply_bad_request(reply);
    const int fd = object_fd(ctx, b.u64(0));
    if (fd < 0) return reply_errno(reply, EBADF);
    struct stat st;
    if (fstat(fd, &st) != 0) return reply_errno(reply, errno);
    reply_ok(reply);
    add_stat(reply, st, S_ISDIR(st.st_mode) ? RDIR_TYPE_DIR : RDIR_TYPE_OTHER,
             code == SD_REQ_FSTAT_EX);
    reply_done(reply);
}

const char* fs_type_name(unsigned long magic) {
    struct known {
        unsigned long magic;
        const char* name;
    };
    static constexpr known kKnown[] = {
        {0xEF53, "ext4"},        {0x01021994, "tmpfs"}, {0x58465342, "xfs"},  {0x9123683E, "btrfs"},
        {0x794C7630, "overlay"}, {0x6969, "nfs"},       {0x65735546, "fuse"}, {0x4D44, "vfat"},
        {0x2011BAB0, "exfat"},   {0x5346544E, "ntfs"},  {0x2FC12FC1, "zfs"},  {0xF2F52010, "f2fs"},
    };
    for (const known& k : kKnown) {
        if (k.magic == magic) return k.name;
    }
    return "unknown";
}

void serve_statfs(srv_context& ctx, std::span<const uint8_t> body, sd_frame_msg& reply) {
    body_fields<1> b;
    if (!b.parse(kPathBody, body)) return reply_bad_request(reply);
    const std::string path = b.str(0);
    const unique_fd fd(os_root_open_fd(ctx.root, (path + "/").c_str(), O_PATH | O_DIRECTORY, 0));
    if (!fd.valid()) return reply_errno(reply, errno);
    struct statvfs vfs;
    struct statfs fs;
    if (fstatvfs(fd.get(), &vfs) != 0 || fstatfs(fd.get(), &fs) != 0) {
        return reply_errno(reply, errno);
    }
    const uint64_t unit = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
    reply_ok(reply);
    reply.add_int32(SDF_FLAGS, static_cast<uint32_t>(vfs.f_flag));
    reply.add_int32(SDF_NAME_LEN, static_cast<uint32_t>(vfs.f_namemax));
    reply.add_int64(SDF_AVAIL_BYTES, static_cast<uint64_t>(vfs.f_bavail) * unit);
    reply.add_int64(SDF_FREE_BYTES, static_cast<uint64_t>(vfs.f_bfree) * unit);
    reply.add_int64(SDF_TOTAL_BYTES, static_cast<uint64_t>(vfs.f_blocks) * unit);
    reply.add_string(SDF_FS_NAME, fs_type_name(static_cast<unsigned long>(fs.f_type)));
    // The host's own names of its volumes are not given out.
    reply.add_string(SDF_VOL_NAME, "");
    reply_done(reply);
}

// ---- requests on open files ----

void serve_close(srv_context& ctx, std::span<const uint8_t> body, sd_frame_msg& reply) {
    body_fields<1> b;
    if (!b.parse(kFdBody, body)) return reply_bad_request(reply);
    auto it = ctx.files->files.find(b.u64(0));
    if (it == ctx.files->files.end()) return reply_errno(reply, EBADF);
    std::unique_ptr<open_file> f = std::move(it->second);
    ctx.files->files.erase(it);
    const int ret = finish_file(*f);
    if (ret != 0) {
        SRV_LOG(LOG_WARN, "close: the file could not be placed: %s\n", strerror(ret));
        return reply_errno(reply, ret);
    }
    reply_ok(reply);
}

void serve_flush(srv_context& ctx, std::span<const uint8_t> body, sd_frame_msg& reply) {
    body_fields<1> b;
    if (!b.parse(kFdBody, body)) return reply_bad_request(reply);
    const uint64_t number = b.u64(0);
    if (open_file* f = ctx.files->file(number)) {
        if (f->can_write && fsync(f->fd()) != 0 && errno != EINVAL) {
            return reply_errno(reply, errno);
        }
        return reply_ok(reply);
    }
    if (ctx.files->dir(number) != nullptr) return reply_ok(reply);
    reply_errno(reply, EBADF);
}

void serve_seek(srv_context& ctx, std::span<const uint8_t> body, sd_frame_msg& reply) {
    body_fields<3> b;
    if (!b.parse(kSeekBody, body)) return reply_bad_request(reply);
    open_file* f = ctx.files->file(b.u64(0));
    if (f == nullptr) return reply_errno(reply, EBADF);
    const int64_t whence = b.i64(2);
    if (whence < SEEK_SET || whence > SEEK_HOLE) return reply_errno(reply, EINVAL);
    const off_t at = lseek(f->fd(), static_cast<off_t>(b.i64(1)), static_cast<int>(whence));
    if (at < 0) return reply_errno(reply, errno);
    reply_ok(reply);
    reply.add_int64(SDF_OFFSET, static_cast<uint64_t>(at));
    reply_done(reply);
}

void serve_set_len(srv_context& ctx, std::span<const uint8_t> body, sd_frame_msg& reply) {
    body_fields<2> b;
    if (!b.parse(kSetLenBody, body)) return reply_bad_request(reply);
    open_file* f = ctx.files->file(b.u64(0));
    if (f == nullptr) return reply_errno(reply, EBADF);
    if (!f->can_write) return reply_errno(reply, EACCES);
    const int64_t len = b.i64(1);
    if (len < 0) return reply_errno(reply, EINVAL);
    if (ftruncate(f->fd(), static_cast<off_t>(len)) != 0) return reply_errno(reply, errno);
    reply_ok(reply);
}

void serve_geometry(srv_context& ctx, std::span<const uint8_t> body, sd_frame_msg& reply) {
    body_fields<1> b;
    if (!b.parse(kFdBody, body)) return reply_bad_request(reply);
    open_file* f = ctx.files->file(b.u64(0));
    if (f == nullptr) return reply_errno(reply, EBADF);
    struct stat st;
    if (fstat(f->fd(), &st) != 0) return reply_errno(reply, errno);
    const off_t at = lseek(f->fd(), 0, SEEK_CUR);
    reply_ok(reply);
    reply.add_int32(SDF_TYPE, 1);
    reply.add_int64(SDF_LEN, static_cast<uint64_t>(st.st_size));
    reply.add_int64(SDF_OFFSET, static_cast<uint64_t>(at < 0 ? 0 : at));
    reply.add_int32(SDF_SECTOR_BYTES, 512);
    reply.add_string(SDF_INFO, "");
    reply_done(reply);
}

void serve_set_times(srv_context& ctx, uint8_t code, std::span<const uint8_t> body,
                     sd_frame_msg& reply) {
    body_fields<7> b;
    const bool with_ns = code == SD_REQ_FSET_TIME_EX;
    if (!b.parse(kTimesBody, body, with_ns ? 7 : 4)) return reply_bad_request(reply);
    const int fd = object_fd(ctx, b.u64(0));
    if (fd < 0) return reply_errno(reply, EBADF);
    const uint32_t ans = with_ns ? static_cast<uint32_t>(b.i32(4)) : 0;
    const uint32_t wns = with_ns ? static_cast<uint32_t>(b.i32(5)) : 0;
    if (ans >= kNanosPerSecond || wns >= kNanosPerSecond) return reply_errno(reply, EINVAL);
    const timespec ts[2] = {{static_cast<time_t>(b.i64(1)), static_cast<long>(ans)},
                            {static_cast<time_t>(b.i64(2)), static_cast<long>(wns)}};
    if (futimens(fd, ts) != 0) return reply_errno(reply, errno);
    reply_ok(reply);
}

void serve_open10(srv_context& ctx, std::span<const uint8_t> body, sd_frame_msg& reply) {
    body_fields<2> b;
    if (!b.parse(kOpenBody, body)) return reply_bad_request(reply);
    const uint64_t mode = b.u64(1);
    open_request req;
    req.path = b.str(0);
    req.read = (mode & SD_OPEN_READ) != 0;
    req.write = (mode & SD_OPEN_WRITE) != 0;
    req.create = (mode & SD_OPEN_CREATE) != 0;
    req.truncate = (mode & SD_OPEN_TRUNCATE) != 0;
    req.make_parents = true;
    req.perm = kNewFileMode;
    serve_open(ctx, std::move(req), reply);
}

void serve_open25(srv_context& ctx, std::span<const uint8_t> body, sd_frame_msg& reply) {
    body_fields<3> b;
    if (!b.parse(kOpen2Body, body)) return reply_bad_request(reply);
    const int flags = b.i32(1);
    open_request req;
    req.path = b.str(0);
    const int access = flags & O_ACCMODE;
    req.read = access == O_RDONLY || access == O_RDWR;
    req.write = access == O_WRONLY || access == O_RDWR;
    req.create = (flags & O_CREAT) != 0;
    req.truncate = (flags & O_TRUNC) != 0;
    req.append = (flags & O_APPEND) != 0;
    req.exclusive = (flags & O_EXCL) != 0;
    req.perm = static_cast<uint32_t>(b.i32(2)) & 07777;
    serve_open(ctx, std::move(req), reply);
}

// ---- directories ----

void serve_opendir(srv_context& ctx, std::span<const uint8_t> body, sd_frame_msg& reply) {
    body_fields<2> b;
    if (!b.parse(kOpendirBody, body, 1)) return reply_bad_request(reply);
    if (b.at[1] != nullptr && *b.str(1) != '\0') {
        return reply_status(reply, VERR_NOT_SUPPORTED, "patterns are not supported");
    }
    auto d = std::make_unique<open_dir>();
    std::string why;
    if (const int eno = d->charge.take(ctx, ctx.files->open_count(), &why); eno != 0) {
        return reply_status(reply, srv_errno_status(eno), why.c_str());
    }
    std::string path = b.str(0);
    // Links to directories are followed, inside the root.
    unique_fd fd(os_root_opendir(ctx.root, (path + "/").c_str()));
    if (!fd.valid()) return reply_errno(reply, errno);
    DIR* dir = fdopendir(fd.get());
    if (dir == nullptr) return reply_errno(reply, errno);
    fd.release();
    d->dir.reset(dir);
    d->path = std::move(path);
    const uint64_t number = ctx.files->take_number();
    ctx.files->dirs.emplace(number, std::move(d));
    reply_ok(reply);
    reply.add_int64(SDF_FD, number);
    reply_done(reply);
}

bool line_safe(std::string_view text) {
    return text.find_first_of("\t\n\r") == std::string_view::npos;
}

// The next entry of `d` into `e`: false at the end of the directory (errno 0) or on a failure
// (errno set). Entries a line cannot carry, and the writer's temporaries, are skipped.
bool next_entry(const srv_context& ctx, open_dir& d, dir_entry* e) {
    for (;;) {
        errno = 0;
        const struct dirent* de = readdir(d.dir.get());
        if (de == nullptr) return false;
        const std::string_view name = de->d_name;
        if (name == "." || name == ".." || rdir_temp_name_is(name)) continue;
        if (!line_safe(name)) {
            SRV_LOG(LOG_WARN, "dir=[%s]: skipped an entry whose name holds a tab or line end\n",
                    d.path.c_str());
            continue;
        }
        if (fstatat(dirfd(d.dir.get()), de->d_name, &e->st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        e->link.clear();
        if (S_ISLNK(e->st.st_mode)) {
            char text[PATH_MAX];
            const ssize_t n = readlinkat(dirfd(d.dir.get()), de->d_name, text, sizeof(text) - 1);
            if (n < 0) continue;
            e->link.assign(text, static_cast<size_t>(n));
            if (!line_safe(e->link)) {
                SRV_LOG(LOG_WARN,
                        "dir=[%s] name=[%s]: skipped a link whose text holds a tab or line end\n",
                        d.path.c_str(), de->d_name);
                continue;
            }
        }
        e->name.assign(name);
        e->type = entry_type(ctx.root, d.path + "/" + e->name, e->st);
        return true;
    }
}

// The line of an entry: the typed fields of the set, the link text, the name.
std::string entry_line(const dir_entry& e, bool extended) {
    const struct stat& st = e.st;
    const uint64_t size = S_ISLNK(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    char head[512];
    int n = std::snprintf(
        head, sizeof(head), "%u\t%u\t%u\t%u\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64,
        e.type, static_cast<unsigned>(st.st_mode), static_cast<unsigned>(st.st_uid),
        static_cast<unsigned>(st.st_gid), static_cast<uint64_t>(st.st_atim.tv_sec),
        static_cast<uint64_t>(st.st_mtim.tv_sec), static_cast<uint64_t>(st.st_ctim.tv_sec), size);
    std::string line(head, static_cast<size_t>(n));
    if (extended) {
        n = std::snprintf(
            head, sizeof(head),
            "\t%u\t%u\t%u\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64
            "\t%" PRIu64,
            static_cast<unsigned>(st.st_atim.tv_nsec), static_cast<unsigned>(st.st_mtim.tv_nsec),
            static_cast<unsigned>(st.st_ctim.tv_nsec), static_cast<uint64_t>(st.st_nlink),
            static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_rdev),
            static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_blksize),
            static_cast<uint64_t>(st.st_blocks));
        line.append(head, static_cast<size_t>(n));
    }
    line.push_back('\t');
    line.append(e.link);
    line.push_back('\t');
    line.append(e.name);
    line.push_back('\n');
    return line;
}

void serve_readdir(srv_context& ctx, uint8_t code, std::span<const uint8_t> body,
                   sd_frame_msg& reply) {
    body_fields<2> b;
    if (!b.parse(kReaddirBody, body)) return reply_bad_request(reply);
    open_dir* d = ctx.files->dir(b.u64(0));
    if (d == nullptr) return reply_errno(reply, EBADF);
    const bool extended = code == SD_REQ_READDIR_EX;
    // More than one block would not fit a frame; a smaller batch is always allowed.
    size_t len = static_cast<uint32_t>(b.i32(1));
    if (len > SRV_MAX_BLOCK) len = SRV_MAX_BLOCK;
    std::string out;
    for (;;) {
        if (!d->pending && !d->exhausted) {
            dir_entry e;
            if (next_entry(ctx, *d, &e)) {
                d->pending = std::move(e);
            } else {
                if (errno != 0) return reply_errno(reply, errno);
                d->exhausted = true;
            }
        }
        // Room for the text and its terminating NUL.
        if (!d->pending) {
            if (out.size() + 2 <= len) out.push_back('\n');
            break;
        }
        const std::string line = entry_line(*d->pending, extended);
        if (out.size() + line.size() + 1 > len) break;
        out += line;
        d->pending.reset();
    }
    if (out.empty()) {
        return reply_status(reply, VERR_BUFFER_OVERFLOW, "the next entry does not fit the buffer");
    }
    out.push_back('\0');
    reply_ok(reply);
    reply.add_int32(SDF_LEN, static_cast<uint32_t>(out.size()));
    if (!add_packed(ctx, reply, {reinterpret_cast<const uint8_t*>(out.data()), out.size()})) {
        return reply_status(reply, VERR_NO_MEMORY);
    }
    reply_done(reply);
}

void serve_closedir(srv_context& ctx, std::span<const uint8_t> body, sd_frame_msg& reply) {
    body_fields<1> b;
    if (!b.parse(kFdBody, body)) return reply_bad_request(reply);
    if (ctx.files->dirs.erase(b.u64(0)) == 0) return reply_errno(reply, EBADF);
    reply_ok(reply);
}

// ---- control requests ----

void control_set_times(std::string_view text, const srv_context& ctx, sd_frame_msg& reply) {
    std::string_view path;
    std::vector<std::string_view> f;
    uint64_t atime = 0, mtime = 0, ctime = 0;
    uint32_t ans = 0, mns = 0, cns = 0;
    if (!split_right(text, 6, &path, &f) || !parse_number(f[0], &atime) ||
        !parse_number(f[1], &mtime) || !parse_number(f[2], &ctime) || !parse_number(f[3], &ans) ||
        !parse_number(f[4], &mns) || !parse_number(f[5], &cns)) {
        return reply_errno(reply, EINVAL);
    }
    if (ans >= kNanosPerSecond || mns >= kNanosPerSecond) return reply_errno(reply, EINVAL);
    entry_ref at;
    int ret = locate_entry(ctx.root, path, &at);
    if (ret != 0) return reply_errno(reply, ret);
    const timespec ts[2] = {{static_cast<time_t>(atime), static_cast<long>(ans)},
                            {static_cast<time_t>(mtime), static_cast<long>(mns)}};
    const int r = at.name.empty()
                      ? futimens(at.dir.get(), ts)
                      : utimensat(at.dir.get(), at.name.c_str(), ts, AT_SYMLINK_NOFOLLOW);
    if (r != 0) return reply_errno(reply, errno);
    reply_ok(reply);
}

void control_remove(std::string_view text, bool dir, const srv_context& ctx, sd_frame_msg& reply) {
    std::string_view path;
    std::vector<std::string_view> f;
    int32_t flag = 0;
    if (!split_right(text, 1, &path, &f) || !parse_number(f[0], &flag)) {
        return reply_errno(reply, EINVAL);
    }
    const std::string p(path);
    const int r = dir ? os_root_rmdir(ctx.root, p.c_str()) : os_root_remove(ctx.root, p.c_str());
    if (r != 0) return reply_errno(reply, errno);
    reply_ok(reply);
}

void control_set_stat(std::string_view text, const srv_context& ctx, sd_frame_msg& reply) {
    std::string_view path;
    std::vector<std::string_view> f;
    attr_request a;
    if (!split_right(text, 8, &path, &f) || !parse_attr_fields(f, &a)) {
        return reply_errno(reply, EINVAL);
    }
    entry_ref at;
    int ret = locate_entry(ctx.root, path, &at);
    if (ret == 0) ret = apply_attr_at(ctx, at, a);
    if (ret != 0) return reply_errno(reply, ret);
    reply_ok(reply);
}

void control_file_set_stat(srv_context& ctx, uint64_t number, std::string_view text,
                           sd_frame_msg& reply) {
    // The same eight fields as a path's line, without the path.
    std::string_view first;
    std::vector<std::string_view> f;
    attr_request a;
    if (!split_right(text, 7, &first, &f) || first.find('\t') != std::string_view::npos) {
        return reply_errno(reply, EINVAL);
    }
    f.insert(f.begin(), first);
    if (!parse_attr_fields(f, &a)) return reply_errno(reply, EINVAL);
    open_file* file = ctx.files->file(number);
    if (file == nullptr) return reply_errno(reply, EBADF);
    const int fd = file->fd();
    struct stat st;
    if (fstat(fd, &st) != 0) return reply_errno(reply, errno);
    const mstat_attr allowed = a.allowed(ctx);
    const uint32_t perm = rdir_attr_perm(allowed);
    const bool give_owner = gives_owner(allowed, st);
    if (give_owner && fchown(fd, allowed.uid, allowed.gid) != 0) return reply_errno(reply, errno);
    if (fchmod(fd, perm) != 0) return reply_errno(reply, errno);
    const timespec ts[2] = {{static_cast<time_t>(a.atime), 0}, {static_cast<time_t>(a.mtime), 0}};
    if (futimens(fd, ts) != 0) return reply_errno(reply, errno);
    if (file->temp) {
        // What the file gets when it is placed.
        file->final_attr.mode = perm;
        if (give_owner) {
            file->final_attr.uid = allowed.uid;
            file->final_attr.gid = allowed.gid;
        }
    }
    reply_ok(reply);
}

}  // namespace

void srv_file_release_buffers(srv_context& ctx) {
    if (ctx.files) std::vector<uint8_t>().swap(ctx.files->buffer);
}

// ---- the rows of the request table ----

void srv_req_lsblk(srv_call& call) {
    // Block devices of the host are not given out.
    reply_ok(call.reply);
    call.reply.add_string(SDF_LSBLK, "");
    reply_done(call.reply);
}

void srv_req_statfs(srv_call& c) {
    serve_statfs(c.ctx, c.body, c.reply);
}
void srv_req_stat(srv_call& c) {
    serve_stat(c.ctx, c.code, c.body, c.reply);
}
void srv_req_put_file(srv_call& c) {
    serve_put_file(c.ctx, c.body, c.reply);
}
void srv_req_open(srv_call& c) {
    serve_open10(c.ctx, c.body, c.reply);
}
void srv_req_open2(srv_call& c) {
    serve_open25(c.ctx, c.body, c.reply);
}
void srv_req_close(srv_call& c) {
    serve_close(c.ctx, c.body, c.reply);
}
void srv_req_read(srv_call& c) {
    serve_read(c.ctx, c.code, c.body, c.reply);
}
void srv_req_write(srv_call& c) {
    serve_write(c.ctx, c.code, c.body, c.reply);
}
void srv_req_flush(srv_call& c) {
    serve_flush(c.ctx, c.body, c.reply);
}
void srv_req_seek(srv_call& c) {
    serve_seek(c.ctx, c.body, c.reply);
}
void srv_req_set_len(srv_call& c) {
    serve_set_len(c.ctx, c.body, c.reply);
}
void srv_req_geometry(srv_call& c) {
    serve_geometry(c.ctx, c.body, c.reply);
}
void srv_req_fstat(srv_call& c) {
    serve_fstat(c.ctx, c.code, c.body, c.reply);
}
void srv_req_set_times(srv_call& c) {
    serve_set_times(c.ctx, c.code, c.body, c.reply);
}
void srv_req_opendir(srv_call& c) {
    serve_opendir(c.ctx, c.body, c.reply);
}
void srv_req_readdir(srv_call& c) {
    serve_readdir(c.ctx, c.code, c.body, c.reply);
}
void srv_req_closedir(srv_call& c) {
    serve_closedir(c.ctx, c.body, c.reply);
}

void srv_ctl_mkdirs(srv_call& c) {
    const int ret = make_dirs(c.ctx.root, data_text(c.data));
    if (ret != 0) return reply_errno(c.reply, ret);
    reply_ok(c.reply);
}
void srv_ctl_set_times(srv_call& c) {
    control_set_times(data_text(c.data), c.ctx, c.reply);
}
void srv_ctl_remove(srv_call& c) {
    control_remove(data_text(c.data), c.cmd == SD_CTL_RMDIR2, c.ctx, c.reply);
}
void srv_ctl_set_stat(srv_call& c) {
    control_set_stat(data_text(c.data), c.ctx, c.reply);
}
void srv_ctl_fset_stat(srv_call& c) {
    control_file_set_stat(c.ctx, c.fd, data_text(c.data), c.reply);
}

void srv_ctl_seekdir(srv_call& c) {
    srv_context& ctx = c.ctx;
    sd_frame_msg& reply = c.reply;
    uint64_t index = 0;
    open_dir* d = ctx.files->dir(c.fd);
    if (!parse_number(data_text(c.data), &index)) return reply_errno(reply, EINVAL);
    if (d == nullptr) return reply_errno(reply, EBADF);
    // Entries are counted as the client counts them: the lines handed out.
    rewinddir(d->dir.get());
    d->pending.reset();
    d->exhausted = false;
    dir_entry skipped;
    for (uint64_t i = 0; i < index; ++i) {
        if (!next_entry(ctx, *d, &skipped)) {
            if (errno != 0) return reply_errno(reply, errno);
            d->exhausted = true;
            break;
        }
    }
    reply_ok(reply);
    reply.add_field(BLOBMSG_TYPE_BINARY, SDF_DATA, "", 0);
    reply_done(reply);
}
