// Attributes: what a client may set (the server's attribute policy), and the requests and
// controls that set owners, permission bits and times.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_wire.h"
#include "libdvsrv/srv_file.h"
#include "libdvsrv/srv_handlers.h"
#include "libpal/os_root.h"

namespace srv_fs {

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

namespace {

// What a set-attribute line asks for.
struct srv_attr_request {
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
bool parse_attr_fields(const std::vector<std::string_view>& f, srv_attr_request* a) {
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
// final link: a link gets its owner and times. 0 or a status.
verr apply_attr_at(const srv_context& ctx, const srv_entry_ref& at, const srv_attr_request& req) {
    const int dir = at.dir.get();
    const bool whole = at.name.empty();
    struct stat st;
    if ((whole ? fstat(dir, &st) : fstatat(dir, at.name.c_str(), &st, AT_SYMLINK_NOFOLLOW)) != 0) {
        return sys_status();
    }
    const mstat_attr a = req.allowed(ctx);
    if (gives_owner(a, st)) {
        const int r = whole ? fchown(dir, a.uid, a.gid)
                            : fchownat(dir, at.name.c_str(), a.uid, a.gid, AT_SYMLINK_NOFOLLOW);
        if (r != 0) return sys_status();
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
    return r == 0 ? 0 : sys_status();
}

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
    srv_entry_ref at;
    const verr ret = locate_entry(ctx.root, path, &at);
    if (ret != 0) return reply_status(reply, ret);
    const timespec ts[2] = {{static_cast<time_t>(atime), static_cast<long>(ans)},
                            {static_cast<time_t>(mtime), static_cast<long>(mns)}};
    const int r = at.name.empty()
                      ? futimens(at.dir.get(), ts)
                      : utimensat(at.dir.get(), at.name.c_str(), ts, AT_SYMLINK_NOFOLLOW);
    if (r != 0) return reply_errno(reply, errno);
    reply_ok(reply);
}

void control_set_stat(std::string_view text, const srv_context& ctx, sd_frame_msg& reply) {
    std::string_view path;
    std::vector<std::string_view> f;
    srv_attr_request a;
    if (!split_right(text, 8, &path, &f) || !parse_attr_fields(f, &a)) {
        return reply_errno(reply, EINVAL);
    }
    srv_entry_ref at;
    verr ret = locate_entry(ctx.root, path, &at);
    if (ret == 0) ret = apply_attr_at(ctx, at, a);
    if (ret != 0) return reply_status(reply, ret);
    reply_ok(reply);
}

void control_file_set_stat(srv_context& ctx, uint64_t number, std::string_view text,
                           sd_frame_msg& reply) {
    // The same eight fields as a path's line, without the path.
    std::string_view first;
    std::vector<std::string_view> f;
    srv_attr_request a;
    if (!split_right(text, 7, &first, &f) || first.find('\t') != std::string_view::npos) {
        return reply_errno(reply, EINVAL);
    }
    f.insert(f.begin(), first);
    if (!parse_attr_fields(f, &a)) return reply_errno(reply, EINVAL);
    srv_open_file* file = ctx.files->file(number);
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

void serve_set_times(srv_context& ctx, uint8_t code, std::span<const uint8_t> body,
                     sd_frame_msg& reply) {
    srv_body_fields<7> b;
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

}  // namespace
}  // namespace srv_fs

using namespace srv_fs;

void srv_req_set_times(srv_call& c) {
    serve_set_times(c.ctx, c.code, c.body, c.reply);
}

void srv_ctl_set_times(srv_call& c) {
    control_set_times(data_text(c.data), c.ctx, c.reply);
}

void srv_ctl_set_stat(srv_call& c) {
    control_set_stat(data_text(c.data), c.ctx, c.reply);
}

void srv_ctl_fset_stat(srv_call& c) {
    control_file_set_stat(c.ctx, c.fd, data_text(c.data), c.reply);
}
