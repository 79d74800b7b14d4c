// Reading and writing open files, and the other requests on an open file's descriptor.
#include <unistd.h>

#include <cerrno>

#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_wire.h"
#include "libdvsrv/srv_file.h"
#include "libdvsrv/srv_handlers.h"

namespace srv_fs {

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

namespace {

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

void serve_read(srv_context& ctx, uint8_t code, std::span<const uint8_t> body,
                sd_frame_msg& reply) {
    srv_body_fields<3> b;
    const bool positional = code == SD_REQ_PREAD;
    if (!b.parse(kReadBody, body, positional ? 3 : 2)) return reply_bad_request(reply);
    srv_open_file* f = ctx.files->file(b.u64(0));
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

void serve_write(srv_context& ctx, uint8_t code, std::span<const uint8_t> body,
                 sd_frame_msg& reply) {
    srv_body_fields<4> b;
    const bool positional = code == SD_REQ_PWRITE;
    if (!b.parse(kWriteBody, body, positional ? 4 : 3)) return reply_bad_request(reply);
    srv_open_file* f = ctx.files->file(b.u64(0));
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

void serve_flush(srv_context& ctx, std::span<const uint8_t> body, sd_frame_msg& reply) {
    srv_body_fields<1> b;
    if (!b.parse(kFdBody, body)) return reply_bad_request(reply);
    const uint64_t number = b.u64(0);
    if (srv_open_file* f = ctx.files->file(number)) {
        if (f->can_write && fsync(f->fd()) != 0 && errno != EINVAL) {
            return reply_errno(reply, errno);
        }
        return reply_ok(reply);
    }
    if (ctx.files->dir(number) != nullptr) return reply_ok(reply);
    reply_errno(reply, EBADF);
}

void serve_seek(srv_context& ctx, std::span<const uint8_t> body, sd_frame_msg& reply) {
    srv_body_fields<3> b;
    if (!b.parse(kSeekBody, body)) return reply_bad_request(reply);
    srv_open_file* f = ctx.files->file(b.u64(0));
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
    srv_body_fields<2> b;
    if (!b.parse(kSetLenBody, body)) return reply_bad_request(reply);
    srv_open_file* f = ctx.files->file(b.u64(0));
    if (f == nullptr) return reply_errno(reply, EBADF);
    if (!f->can_write) return reply_errno(reply, EACCES);
    const int64_t len = b.i64(1);
    if (len < 0) return reply_errno(reply, EINVAL);
    if (ftruncate(f->fd(), static_cast<off_t>(len)) != 0) return reply_errno(reply, errno);
    reply_ok(reply);
}

void serve_geometry(srv_context& ctx, std::span<const uint8_t> body, sd_frame_msg& reply) {
    srv_body_fields<1> b;
    if (!b.parse(kFdBody, body)) return reply_bad_request(reply);
    srv_open_file* f = ctx.files->file(b.u64(0));
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

}  // namespace
}  // namespace srv_fs

using namespace srv_fs;

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
