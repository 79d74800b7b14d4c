// Opening, closing and storing files: in place, or under a temporary name placed on close by
// the destination writer; and the context's table of open files and directories.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_wire.h"
#include "libdvsrv/srv_file.h"
#include "libdvsrv/srv_handlers.h"
#include "libpal/os_root.h"

void srv_files_deleter::operator()(srv_files* files) const {
    delete files;
}

srv_files* srv_files_new() {
    return new (std::nothrow) srv_files;
}

void srv_file_release_buffers(srv_context& ctx) {
    if (ctx.files) std::vector<uint8_t>().swap(ctx.files->buffer);
}

namespace srv_fs {
namespace {

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
verr open_replacing(srv_context& ctx, const std::string& path, const srv_open_request& req,
                    const struct stat& existing, srv_open_file* f) {
    const srv_cut_path c = cut(path);
    if (c.slash || !plain_name(c.name)) return srv_errno_status(EISDIR);
    unique_fd dir_fd(os_root_open_fd(ctx.root, c.parent.c_str(), O_RDONLY | O_DIRECTORY, 0));
    if (!dir_fd.valid()) return sys_status();
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
    verr ret = f->temp->create(*f->dir, c.name, (f->final_attr.mode & 0777) | 0600, true);
    if (ret != 0) return ret;
    if (req.read) {
        // The writer's temporary is write-only; reads of it go through a second descriptor.
        char self[64];
        std::snprintf(self, sizeof(self), "/proc/self/fd/%d", f->temp->fd());
        f->own.reset(open(self, O_RDWR | O_CLOEXEC));
        if (!f->own.valid()) return sys_status();
    }
    if (req.append && fcntl(f->fd(), F_SETFL, O_APPEND) != 0) return sys_status();
    // apply_owner_mode changes the owner only when it differs, so an ordinary run never tries.
    ret = f->temp->apply_owner_mode(f->final_attr);
    if (ret != 0) return ret;
    f->can_read = req.read;
    f->can_write = true;
    return 0;
}

verr open_in_place(srv_context& ctx, const std::string& path, const srv_open_request& req,
                   bool exists, srv_open_file* f) {
    int flags = req.read && req.write ? O_RDWR : req.write ? O_WRONLY : O_RDONLY;
    if (req.append) flags |= O_APPEND;
    if (req.create && !exists) flags |= O_CREAT | O_EXCL;
    // Never wait on a fifo or a terminal: the connection would hang.
    flags |= O_NONBLOCK | O_NOCTTY;
    unique_fd fd(os_root_open_fd(ctx.root, path.c_str(), flags, req.perm & 0777));
    if (!fd.valid()) return sys_status();
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return sys_status();
    if (S_ISDIR(st.st_mode) && req.write) return srv_errno_status(EISDIR);
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

void serve_open(srv_context& ctx, srv_open_request req, sd_frame_msg& reply) {
    srv_files& files = *ctx.files;
    if (ctx.read_only && (req.write || req.create || req.truncate)) {
        return reply_status(reply, VERR_WRITE_PROTECT, SRV_READ_ONLY_TEXT);
    }
    auto f = std::make_unique<srv_open_file>();
    std::string why;
    if (const verr status = f->charge.take(ctx, files.open_count(), &why); status != 0) {
        return reply_status(reply, status, why.c_str());
    }
    if (!req.read && !req.write) req.read = true;
    if (req.create && req.make_parents) {
        const srv_cut_path c = cut(req.path);
        if (!c.parent.empty()) {
            const verr ret = make_dirs(ctx.root, c.parent);
            if (ret != 0) return reply_status(reply, ret);
        }
    }
    std::string path;
    verr ret = follow_final(ctx.root, req.path, &path);
    if (ret != 0) return reply_status(reply, ret);
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
    if (ret != 0) return reply_status(reply, ret);
    const uint64_t number = files.take_number();
    files.files.emplace(number, std::move(f));
    reply_ok(reply);
    reply.add_int64(SDF_FD, number);
    reply_done(reply);
}

// Places a replacing file under its name; a file opened in place is just closed. 0 or a status;
// a failure is logged with the reason the system gave.
verr finish_file(srv_open_file& f) {
    auto failed = [](int eno) {
        SRV_LOG(LOG_WARN, "close: the file could not be placed: %s\n", strerror(eno));
        return srv_errno_status(eno);
    };
    int ret = f.own.close_checked();
    if (!f.temp) return ret == 0 ? 0 : failed(ret);
    struct stat st;
    if (ret == 0 && fstat(f.temp->fd(), &st) != 0) ret = errno;
    if (ret != 0) {
        f.temp->abort();
        return failed(ret);
    }
    // Owner and bits as decided at open or by the client since; times as the file has them.
    const timespec times[2] = {st.st_atim, st.st_mtim};
    const verr placed = f.temp->commit(f.final_attr, nullptr, times);
    if (placed >= 0) return 0;
    SRV_LOG(LOG_WARN, "close: the file could not be placed: %s\n", strerror(errno));
    return placed;
}

void serve_open10(srv_context& ctx, std::span<const uint8_t> body, sd_frame_msg& reply) {
    srv_body_fields<2> b;
    if (!b.parse(kOpenBody, body)) return reply_bad_request(reply);
    const uint64_t mode = b.u64(1);
    srv_open_request req;
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
    srv_body_fields<3> b;
    if (!b.parse(kOpen2Body, body)) return reply_bad_request(reply);
    const int flags = b.i32(1);
    srv_open_request req;
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

void serve_close(srv_context& ctx, std::span<const uint8_t> body, sd_frame_msg& reply) {
    srv_body_fields<1> b;
    if (!b.parse(kFdBody, body)) return reply_bad_request(reply);
    auto it = ctx.files->files.find(b.u64(0));
    if (it == ctx.files->files.end()) return reply_errno(reply, EBADF);
    std::unique_ptr<srv_open_file> f = std::move(it->second);
    ctx.files->files.erase(it);
    if (ctx.read_only && f->can_write) {
        // Opened for writing under an earlier login: a read-only one does not place it.
        if (f->temp) f->temp->abort();
        return reply_status(reply, VERR_WRITE_PROTECT, SRV_READ_ONLY_TEXT);
    }
    const verr ret = finish_file(*f);
    if (ret != 0) return reply_status(reply, ret);
    reply_ok(reply);
}

void serve_put_file(srv_context& ctx, std::span<const uint8_t> body, sd_frame_msg& reply) {
    srv_body_fields<4> b;
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
    verr ret = make_dirs(ctx.root, dir_path);
    if (ret != 0) return reply_status(reply, ret);
    unique_fd dir_fd(
        os_root_open_fd(ctx.root, (dir_path + "/").c_str(), O_RDONLY | O_DIRECTORY, 0));
    if (!dir_fd.valid()) return reply_errno(reply, errno);
    rdir_dst_dir dir;
    dir.adopt(dir_fd.release());
    rdir_dst_file file;
    ret = file.create(dir, name, kNewFileMode, true);
    if (ret != 0) return reply_status(reply, ret);
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
    const verr placed = file.commit(attr, nullptr, times);
    if (placed < 0) return reply_status(reply, placed);
    reply_ok(reply);
    reply.add_int32(SDF_LEN, static_cast<uint32_t>(len));
    reply_done(reply);
}

}  // namespace
}  // namespace srv_fs

using namespace srv_fs;

void srv_req_open(srv_call& c) {
    serve_open10(c.ctx, c.body, c.reply);
}

void srv_req_open2(srv_call& c) {
    serve_open25(c.ctx, c.body, c.reply);
}

void srv_req_close(srv_call& c) {
    serve_close(c.ctx, c.body, c.reply);
}

void srv_req_put_file(srv_call& c) {
    serve_put_file(c.ctx, c.body, c.reply);
}
