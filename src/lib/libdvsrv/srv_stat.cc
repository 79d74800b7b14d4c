// Describing entries: stat of a path or an open object, the file system's space, block devices.
#include <fcntl.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>

#include <cerrno>

#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_wire.h"
#include "libdvsrv/srv_file.h"
#include "libdvsrv/srv_handlers.h"
#include "libpal/os_root.h"
#include "librdir/stat_line.h"

namespace srv_fs {

uint32_t entry_type(const os_root* root, const std::string& path, const struct stat& st) {
    if (S_ISLNK(st.st_mode)) {
        return RDIR_TYPE_LINK | (is_dir_in_root(root, path) ? RDIR_TYPE_DIR : RDIR_TYPE_OTHER);
    }
    return S_ISDIR(st.st_mode) ? RDIR_TYPE_DIR : RDIR_TYPE_OTHER;
}

int object_fd(srv_context& ctx, uint64_t number) {
    if (srv_open_file* f = ctx.files->file(number)) return f->fd();
    if (srv_open_dir* d = ctx.files->dir(number)) return dirfd(d->dir.get());
    return -1;
}

namespace {

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

void serve_stat(srv_context& ctx, uint8_t code, std::span<const uint8_t> body,
                sd_frame_msg& reply) {
    srv_body_fields<1> b;
    if (!b.parse(kPathBody, body)) return reply_bad_request(reply);
    std::string path = b.str(0);
    if (code != SD_REQ_LSTAT) {
        const verr ret = follow_final(ctx.root, path, &path);
        if (ret != 0) return reply_status(reply, ret);
    }
    struct stat st;
    if (os_root_lstat(ctx.root, path.c_str(), &st) != 0) return reply_errno(reply, errno);
    reply_ok(reply);
    add_stat(reply, st, entry_type(ctx.root, path, st), code != SD_REQ_STAT);
    reply_done(reply);
}

void serve_fstat(srv_context& ctx, uint8_t code, std::span<const uint8_t> body,
                 sd_frame_msg& reply) {
    srv_body_fields<1> b;
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
    srv_body_fields<1> b;
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

}  // namespace
}  // namespace srv_fs

using namespace srv_fs;

void srv_req_lsblk(srv_call& call) {
    // Block devices of the host are not given out.
    reply_ok(call.reply);
    call.reply.add_string(SDF_LSBLK, "");
    reply_done(call.reply);
}

void srv_req_stat(srv_call& c) {
    serve_stat(c.ctx, c.code, c.body, c.reply);
}

void srv_req_fstat(srv_call& c) {
    serve_fstat(c.ctx, c.code, c.body, c.reply);
}

void srv_req_statfs(srv_call& c) {
    serve_statfs(c.ctx, c.body, c.reply);
}
