// Inside the file server: what the handlers of paths, open files and directories share.
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
//
// Failures are status codes (0 or a negative verr), turned from errno where the failing call
// is seen: sys_status for the system and os_root calls; the destination writer returns its own.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>

#include <charconv>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_wire.h"
#include "libdvsrv/srv_session.h"
#include "libpal/unique_fd.h"
#include "librdir/dst_writer.h"

namespace srv_fs {

// The failure of the system or os_root call just made.
inline verr sys_status() {
    return os_errno_verr();
}

inline constexpr uint32_t kNewFileMode = 0644;
inline constexpr uint32_t kNewDirMode = 0755;
inline constexpr long kNanosPerSecond = 1000000000L;

// An open file's or directory's share of its user's and the server's caps, given back when it
// goes.
class srv_charge final {
  public:
    srv_charge() = default;
    srv_charge(const srv_charge&) = delete;
    srv_charge& operator=(const srv_charge&) = delete;
    ~srv_charge() {
        if (user_) user_->give();
        if (server_) server_->give();
    }

    // Takes one of each; 0, or a status with `*why` saying which cap was reached.
    verr take(const srv_context& ctx, size_t open_now, std::string* why) {
        const srv_fd_caps& caps = ctx.fd_caps;
        if (open_now >= caps.context) {
            *why = "too many open files and directories on this connection (" +
                   std::to_string(caps.context) + ")";
            return srv_errno_status(EMFILE);
        }
        if (caps.user && !caps.user->take()) {
            *why = "too many open files and directories for this user (" +
                   std::to_string(caps.user->cap) + ")";
            return srv_errno_status(EMFILE);
        }
        user_ = caps.user;
        if (caps.server && !caps.server->take()) {
            *why = "too many open files and directories on the server (" +
                   std::to_string(caps.server->cap) + ")";
            return srv_errno_status(ENFILE);
        }
        server_ = caps.server;
        return 0;
    }

  private:
    std::shared_ptr<srv_quota> user_;
    std::shared_ptr<srv_quota> server_;
};

// A file a client has open.
struct srv_open_file final {
    srv_charge charge;
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

struct srv_dir_closer {
    void operator()(DIR* dir) const { closedir(dir); }
};

// One listed entry, before it becomes a line of either field set.
struct srv_dir_entry final {
    std::string name;
    std::string link;  // text of a symbolic link
    struct stat st {};
    uint32_t type = 0;
};

// A directory a client is listing.
struct srv_open_dir final {
    srv_charge charge;
    std::unique_ptr<DIR, srv_dir_closer> dir;
    std::string path;                      // as the client named it, to resolve its links
    std::optional<srv_dir_entry> pending;  // an entry that did not fit the previous batch
    bool exhausted = false;                // every entry has been read from the directory
};

// What an open asks for, in the terms of both open requests.
struct srv_open_request {
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

// ---- request texts and paths (srv_path.cc) ----

// A text of a request: the data up to its first NUL (or all of it).
std::string_view data_text(std::span<const uint8_t> data);

template <typename T>
inline bool parse_number(std::string_view text, T* out, int base = 10) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out, base);
    return ec == std::errc() && end == text.data() + text.size();
}

// Splits `count` tab-separated fields off the right end of `text`; the rest (which may itself
// hold tabs) is the path. False when there are fewer fields.
bool split_right(std::string_view text, size_t count, std::string_view* path,
                 std::vector<std::string_view>* fields);

// A path cut at its last component: the parent keeps its trailing "/" (so that a link there is
// followed, inside the root), the name has no "/".
struct srv_cut_path {
    std::string parent;
    std::string name;
    bool slash = false;  // the path ended in "/"
};

srv_cut_path cut(std::string_view path);
bool plain_name(std::string_view name);

// True when `path` leads to a directory beneath the root, links followed inside it.
bool is_dir_in_root(const os_root* root, const std::string& path);

// `path` with the links at its end followed inside the root: a path beneath the root that names
// no link (or nothing, for a file about to be created). 0 or a status.
verr follow_final(const os_root* root, std::string path, std::string* out);

// Makes `path` and every missing directory above it (0755). An existing directory (or a link
// to one inside the root) is fine. 0 or a status.
verr make_dirs(const os_root* root, std::string_view path);

// An entry reached without following it: a name in its (resolved) parent directory, or, for a
// path that names a directory as a whole ("", ".", "..", a trailing "/"), that directory opened
// itself (`name` empty).
struct srv_entry_ref {
    unique_fd dir;
    std::string name;
};

// 0 or a status.
verr locate_entry(const os_root* root, std::string_view path, srv_entry_ref* at);

// ---- attributes (srv_attr.cc) ----

// Permission bits a client asked for, as the server's attribute policy lets them through.
uint32_t client_perm(const srv_context& ctx, uint32_t mode);
// A file replaced by a root server keeps its owner; a new one is the server's.
bool server_is_root();

// ---- describing entries (srv_stat.cc) ----

// The type word of an entry's line: a link's says whether it leads to a directory in the root.
uint32_t entry_type(const os_root* root, const std::string& path, const struct stat& st);
// The descriptor of an open file or directory of the context, or -1.
int object_fd(srv_context& ctx, uint64_t number);

// ---- replies and request bodies ----

inline void reply_status(sd_frame_msg& reply, verr error, const char* text = nullptr) {
    srv_reply_error(reply, error, text);
}

inline void reply_errno(sd_frame_msg& reply, int eno) {
    srv_reply_error(reply, srv_errno_status(eno));
}

inline void reply_bad_request(sd_frame_msg& reply) {
    srv_reply_error(reply, VERR_NET_PROTOCOL_ERROR);
}

inline void reply_ok(sd_frame_msg& reply) {
    if (!srv_reply_begin(reply, 0, "")) srv_reply_error(reply, VERR_NO_MEMORY);
}

// Finishes a reply whose fields were added: a message that could not be built becomes a
// memory failure.
inline void reply_done(sd_frame_msg& reply) {
    if (!reply.ok()) srv_reply_error(reply, VERR_NO_MEMORY);
}

// Adds a packed "data" field holding `data`. False when it could not be built (srv_io.cc).
bool add_packed(srv_context& ctx, sd_frame_msg& reply, std::span<const uint8_t> data);

// The fields of a request body. The first `required` entries of the table must be present.
template <size_t N>
struct srv_body_fields {
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

inline constexpr blobmsg_policy kPathBody[] = {{SDF_PATH, BLOBMSG_TYPE_STRING}};
inline constexpr blobmsg_policy kFdBody[] = {{SDF_FD, BLOBMSG_TYPE_INT64}};
inline constexpr blobmsg_policy kOpenBody[] = {{SDF_PATH, BLOBMSG_TYPE_STRING},
                                               {SDF_MODE, BLOBMSG_TYPE_INT64}};
inline constexpr blobmsg_policy kOpen2Body[] = {{SDF_PATH, BLOBMSG_TYPE_STRING},
                                                {SDF_FLAG, BLOBMSG_TYPE_INT32},
                                                {SDF_MODE, BLOBMSG_TYPE_INT32}};
inline constexpr blobmsg_policy kReadBody[] = {
    {SDF_FD, BLOBMSG_TYPE_INT64}, {SDF_LEN, BLOBMSG_TYPE_INT32}, {SDF_OFFSET, BLOBMSG_TYPE_INT64}};
inline constexpr blobmsg_policy kWriteBody[] = {{SDF_FD, BLOBMSG_TYPE_INT64},
                                                {SDF_LEN, BLOBMSG_TYPE_INT32},
                                                {SDF_DATA, BLOBMSG_TYPE_BINARY},
                                                {SDF_OFFSET, BLOBMSG_TYPE_INT64}};
inline constexpr blobmsg_policy kSeekBody[] = {
    {SDF_FD, BLOBMSG_TYPE_INT64}, {SDF_OFFSET, BLOBMSG_TYPE_INT64}, {SDF_MODE, BLOBMSG_TYPE_INT64}};
inline constexpr blobmsg_policy kSetLenBody[] = {{SDF_FD, BLOBMSG_TYPE_INT64},
                                                 {SDF_LEN, BLOBMSG_TYPE_INT64}};
inline constexpr blobmsg_policy kTimesBody[] = {{SDF_FD, BLOBMSG_TYPE_INT64},
                                                {SDF_TIME_ACCESS, BLOBMSG_TYPE_INT64},
                                                {SDF_TIME_WRITE, BLOBMSG_TYPE_INT64},
                                                {SDF_TIME_CREATE, BLOBMSG_TYPE_INT64},
                                                {SDF_TIME_ACCESS_NS, BLOBMSG_TYPE_INT32},
                                                {SDF_TIME_WRITE_NS, BLOBMSG_TYPE_INT32},
                                                {SDF_TIME_CREATE_NS, BLOBMSG_TYPE_INT32}};
inline constexpr blobmsg_policy kPutBody[] = {{SDF_PATH, BLOBMSG_TYPE_STRING},
                                              {SDF_NAME, BLOBMSG_TYPE_STRING},
                                              {SDF_LEN, BLOBMSG_TYPE_INT32},
                                              {SDF_DATA, BLOBMSG_TYPE_BINARY}};
inline constexpr blobmsg_policy kOpendirBody[] = {{SDF_PATH, BLOBMSG_TYPE_STRING},
                                                  {SDF_PATTERN, BLOBMSG_TYPE_STRING}};
inline constexpr blobmsg_policy kReaddirBody[] = {{SDF_FD, BLOBMSG_TYPE_INT64},
                                                  {SDF_LEN, BLOBMSG_TYPE_INT32}};

// ---- reading and writing (srv_io.cc) ----

// Writes all of `len` bytes; `offset` < 0: at the position. The count, or -1 with errno set.
ssize_t write_full(int fd, const uint8_t* buf, size_t len, int64_t offset);
// Unpacks `packed` to exactly `len` bytes: a pointer to them, or nullptr when it unpacks to
// anything else (or is malformed).
const uint8_t* unpack_exact(srv_context& ctx, std::span<const uint8_t> packed, size_t len);

}  // namespace srv_fs

// Open files and directories of a context, by the numbers handed to the client.
struct srv_files {
    std::map<uint64_t, std::unique_ptr<srv_fs::srv_open_file>> files;
    std::map<uint64_t, std::unique_ptr<srv_fs::srv_open_dir>> dirs;
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
    srv_fs::srv_open_file* file(uint64_t number) {
        auto it = files.find(number);
        return it != files.end() ? it->second.get() : nullptr;
    }
    srv_fs::srv_open_dir* dir(uint64_t number) {
        auto it = dirs.find(number);
        return it != dirs.end() ? it->second.get() : nullptr;
    }
};
