// Remote files: open, read and write in blocks with packing, seek, set length, stat, small-file
// store, server-side time-outs, and the restart of a failed large read.
#include <fcntl.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "libdvsd/cli_internal.h"

namespace {

// A connection that has read this much in one request does not fall back to small blocks.
constexpr uint32_t kLargeReadSeen = 0x200000;

int record_short_write(dvsd_cli_ctx* ctx, uint32_t asked, uint32_t written) {
    CLI_LOG(LOG_ERR, "short write: asked %u bytes, server wrote %u\n", asked, written);
    ERR_INFO_SET(ctx->last_error, VERR_WRITE_ERROR, "short write: asked %u bytes, server wrote %u",
                 asked, written);
    return -1;
}

dvsd_cli_file* new_file(dvsd_cli_ctx* ctx, const char* path, int32_t flags) {
    auto file = std::unique_ptr<dvsd_cli_file>(new (std::nothrow) dvsd_cli_file);
    if (!file) return nullptr;
    file->kind = DVSD_CLI_KIND_FILE;
    file->ctx = ctx;
    file->path = path;
    file->flags = flags;
    file->pending_read_timeout = file->pending_write_timeout = ctx->windows;
    return file.release();
}

// Sends the open request built in the message and keeps the file number.
int open_exchange(dvsd_cli_ctx* ctx, uint8_t code, uint64_t* fd) {
    const blob_attr* tb[SD_FD_COUNT];
    const int rc = cli_request(ctx, code, false, tb, SD_FD_COUNT, "parse data error");
    if (rc == SD_FRAME_OK) *fd = static_cast<uint64_t>(blobmsg_get_int64(tb[SD_FD_FD]));
    return rc;
}

int cli_open(dvsd_cli_ctx* ctx, const char* path, int32_t flags, uint64_t* fd) {
    CLI_LOG(LOG_VERB, "%s mode=%d\n", path, flags);
    cli_msg_begin(ctx);
    ctx->msg.add_string(SDF_PATH, path);
    ctx->msg.add_int64(SDF_MODE, static_cast<uint64_t>(static_cast<int64_t>(flags)));
    return open_exchange(ctx, SD_REQ_OPEN, fd);
}

int cli_open2(dvsd_cli_ctx* ctx, const char* path, int32_t flag, int32_t mode, uint64_t* fd) {
    cli_msg_begin(ctx);
    ctx->msg.add_string(SDF_PATH, path);
    ctx->msg.add_int32(SDF_FLAG, static_cast<uint32_t>(flag));
    ctx->msg.add_int32(SDF_MODE, static_cast<uint32_t>(mode));
    return open_exchange(ctx, SD_REQ_OPEN2, fd);
}

int cli_wopen(dvsd_cli_ctx* ctx, const char* path, const cli_wopen_args& a, uint64_t* fd) {
    cli_msg_begin(ctx);
    ctx->msg.add_string(SDF_PATH, path);
    ctx->msg.add_int32(SDF_DESIRE_ACCESS, a.desired_access);
    ctx->msg.add_int32(SDF_SHARE_MODE, a.share_mode);
    ctx->msg.add_string(SDF_SEC_ATTRIB, "");
    ctx->msg.add_int32(SDF_CREAT_DISP, a.creation_disposition);
    ctx->msg.add_int32(SDF_FLAG_ATTRIB, a.flags_and_attributes);
    ctx->msg.add_int64(SDF_TEMP_HANDLE, a.template_handle);
    return open_exchange(ctx, SD_REQ_WOPEN, fd);
}

// Opens a handle's file again on a new connection, the way it was first opened but never
// creating or emptying it: the file holds what the client has done with it so far.
int reopen(dvsd_cli_file* file, uint64_t* fd) {
    dvsd_cli_ctx* ctx = file->ctx;
    const char* path = file->path.c_str();
    switch (file->open_code) {
        case SD_REQ_OPEN2:
            return cli_open2(ctx, path, file->open2_flag & ~(O_CREAT | O_TRUNC | O_EXCL),
                             file->flags, fd);
        case SD_REQ_WOPEN: {
            cli_wopen_args a = file->wopen;
            a.creation_disposition = SD_WOPEN_OPEN_EXISTING;
            return cli_wopen(ctx, path, a, fd);
        }
        default:
            return cli_open(ctx, path,
                            file->flags & ~static_cast<int32_t>(SD_OPEN_CREATE | SD_OPEN_TRUNCATE),
                            fd);
    }
}

// The end of every open form: a handle on the list, or none with the outcome recorded.
dvsd_cli_file* finish_open(dvsd_cli_ctx* ctx, dvsd_cli_file* file, int rc) {
    std::unique_ptr<dvsd_cli_file> owned(file);
    if (cli_outcome(ctx, rc) != 0) return nullptr;
    try {
        ctx->files.push_back(std::move(owned));
    } catch (const std::bad_alloc&) {
        cli_outcome(ctx, SD_FRAME_NO_MEMORY);
        return nullptr;
    }
    return file;
}

bool stopped(const dvsd_cli_ctx* ctx) {
    return ctx->net.stop.load(std::memory_order_acquire) != 0;
}

// Offset handling shared by reads and writes: without positional requests the server's position
// is moved first. 0 or -1.
int place(dvsd_cli_file* file, uint64_t offset) {
    if (offset == DVSD_CLI_CUR_POS) return 0;
    if (!file->ctx->pos_io &&
        dvsd_cli_seek(file, static_cast<int64_t>(offset), 0) == DVSD_CLI_CUR_POS) {
        return -1;
    }
    file->position = offset;
    return 0;
}

int take_read(dvsd_cli_ctx* ctx, const blob_attr* const* tb, uint32_t chunk, uint8_t* buf,
              bool keep_packed, uint32_t* amount, uint32_t* packed_len);

// One read request of `chunk` bytes into `buf`: unpacked (`*amount` the data's length) or copied
// packed (`*packed_len` its packed length, `*amount` the stated length).
int read_request(dvsd_cli_file* file, bool positional, uint32_t chunk, uint8_t* buf,
                 bool keep_packed, uint32_t* amount, uint32_t* packed_len) {
    dvsd_cli_ctx* ctx = file->ctx;
    cli_msg_begin(ctx);
    ctx->msg.add_int64(SDF_FD, file->fd);
    ctx->msg.add_int32(SDF_LEN, chunk);
    if (positional) ctx->msg.add_int64(SDF_OFFSET, file->position);
    const blob_attr* tb[SD_READ_COUNT];
    int rc = cli_request(ctx, positional ? SD_REQ_PREAD : SD_REQ_READ, false, tb, SD_READ_COUNT,
                         "parse data error");
    if (rc != SD_FRAME_OK) return rc;
    return take_read(ctx, tb, chunk, buf, keep_packed, amount, packed_len);
}

// The data of a read response parsed into `tb`, asked with `chunk` bytes (read_request).
int take_read(dvsd_cli_ctx* ctx, const blob_attr* const* tb, uint32_t chunk, uint8_t* buf,
              bool keep_packed, uint32_t* amount, uint32_t* packed_len) {
    const uint32_t stated = static_cast<uint32_t>(blobmsg_get_int32(tb[SD_READ_LEN]));
    const uint8_t* data = blobmsg_data(tb[SD_READ_DATA]);
    const size_t data_len = blobmsg_data_len(tb[SD_READ_DATA]);
    // The server never returns more than asked; a stated length above it cannot be trusted.
    // Such a reply, like data that does not unpack to what it states, breaks the protocol.
    if (stated > chunk) {
        CLI_LOG(LOG_DBG, "read len=%u > asked=%u\n", stated, chunk);
        return SD_FRAME_DATA_ERROR;
    }
    if (keep_packed) {
        if (data_len > zcomp_bound(chunk)) {
            CLI_LOG(LOG_DBG, "pack_len=%zu > bound=%zu\n", data_len, zcomp_bound(chunk));
            return SD_FRAME_DATA_ERROR;
        }
        if (data_len > 0) memcpy(buf, data, data_len);
        *packed_len = static_cast<uint32_t>(data_len);
        *amount = stated;
        return SD_FRAME_OK;
    }
    int unpacked = 0;
    if (data_len > 0) unpacked = zcomp_decompress(&ctx->pack, data, data_len, buf, chunk);
    if (unpacked < 0 || static_cast<uint32_t>(unpacked) != stated) {
        CLI_LOG(LOG_DBG, "sdcomp_unpack pack_len=%zu buf_len=%u ret=%d\n", data_len, chunk,
                unpacked);
        return SD_FRAME_DATA_ERROR;
    }
    *amount = static_cast<uint32_t>(unpacked);
    return SD_FRAME_OK;
}

// One write request of `len` raw bytes (`packed_len` > 0: `data` is already packed).
int write_request(dvsd_cli_file* file, bool positional, const void* data, uint32_t len, bool packed,
                  uint32_t packed_len, uint32_t* written) {
    dvsd_cli_ctx* ctx = file->ctx;
    cli_msg_begin(ctx);
    ctx->msg.add_int64(SDF_FD, file->fd);
    ctx->msg.add_int32(SDF_FLAGS, 0);
    ctx->msg.add_int32(SDF_LEN, len);
    if (positional) ctx->msg.add_int64(SDF_OFFSET, file->position);
    int rc = SD_FRAME_OK;
    if (packed) {
        ctx->msg.add_field(BLOBMSG_TYPE_BINARY, SDF_DATA, data, packed_len);
    } else {
        rc = cli_add_packed(ctx, data, len);
    }
    if (rc != SD_FRAME_OK) return rc;
    const blob_attr* tb[SD_LEN_COUNT];
    rc = cli_request(ctx, positional ? SD_REQ_PWRITE : SD_REQ_WRITE, false, tb, SD_LEN_COUNT,
                     "parse data error");
    if (rc == SD_FRAME_OK) *written = static_cast<uint32_t>(blobmsg_get_int32(tb[SD_LEN_LEN]));
    return rc;
}

int fd_timeout(dvsd_cli_file* file, int32_t code, int32_t timeout_ms, const char* what) {
    dvsd_cli_ctx* ctx = file->ctx;
    const std::string text = cli_format("%d", timeout_ms);
    const int rc =
        cli_outcome(ctx, cli_file_ioctl(ctx, file->fd, code, text.c_str(), text.size() + 1));
    if (rc != 0) CLI_LOG(LOG_WARN, "warn: %s %s\n", what, err_info_str(ctx->last_error));
    return rc;
}

// A new connection, the file opened again at its position and the packer chosen again.
int dvsd_cli_restart_work(dvsd_cli_file* file) {
    dvsd_cli_ctx* ctx = file->ctx;
    CLI_LOG(LOG_DBG, "==> %s\n", file->path.c_str());
    if (dvsd_cli_reconnect(ctx) != 0) return -1;
    // The new connection has a context of its own: a repair must attach to that one from now on.
    if (ctx->auto_reconnect && dvsd_cli_set_auto_reconnect(ctx) != 0) return -1;
    uint64_t fd = 0;
    if (cli_outcome(ctx, reopen(file, &fd)) != 0) return -1;
    file->fd = fd;
    if (ctx->windows) file->pending_read_timeout = file->pending_write_timeout = true;
    const uint64_t position = file->position;
    if (dvsd_cli_seek(file, static_cast<int64_t>(position), 0) == DVSD_CLI_CUR_POS) {
        CLI_LOG(LOG_ERR, "seek: offset=%llu ctx->offset=%llu error\n",
                static_cast<unsigned long long>(position),
                static_cast<unsigned long long>(file->position));
        return -1;
    }
    const std::string name = ctx->pack_name;
    const int rc =
        cli_outcome(ctx, cli_file_ioctl(ctx, 0, DVSD_IOCTL_PACK, name.c_str(), name.size() + 1));
    if (rc != 0) {
        CLI_LOG(LOG_ERR, "dvsd_cli_ioctl DVSD_IOCTL_PACK %s error=%d\n", name.c_str(), rc);
        return -1;
    }
    return 0;
}

// Whether a failed read request may be repeated on a new connection with small blocks.
bool may_restart(const dvsd_cli_ctx* ctx, int status, uint32_t chunk) {
    if (status == SD_FRAME_USER_STOP || stopped(ctx)) return false;
    // A server that broke the protocol would only break it again on a new connection.
    if (status == SD_FRAME_DATA_ERROR) return false;
    const verr code = ctx->last_error->code;
    if (code == VERR_DEV_NO_SUCH_DEVICE || code == VERR_FILE_NOT_FOUND) return false;
    if (chunk <= DVSD_CLI_RESTART_BLOCK) return false;
    return ctx->max_read < kLargeReadSeen;
}

}  // namespace

// ---- open and close -----------------------------------------------------------------------------

dvsd_cli_file* dvsd_cli_open(dvsd_cli_ctx* ctx, const char* path, int32_t flags) {
    if (ctx == nullptr) return nullptr;
    if (path == nullptr) {
        cli_fail(ctx, VERR_INVALID_PARAMETER, "path missing");
        return nullptr;
    }
    if ((static_cast<uint64_t>(flags) & SD_OPEN_NEEDS_167) != 0 &&
        !cli_ver_at_least(ctx, CLI_VER_1_6_7)) {
        cli_not_supported(ctx);
        return nullptr;
    }
    dvsd_cli_file* file = new_file(ctx, path, flags);
    if (file == nullptr) {
        cli_outcome(ctx, SD_FRAME_NO_MEMORY);
        return nullptr;
    }
    return finish_open(ctx, file, cli_open(ctx, path, flags, &file->fd));
}

dvsd_cli_file* dvsd_cli_open2(dvsd_cli_ctx* ctx, const char* path, int32_t flag, int32_t mode) {
    if (ctx == nullptr) return nullptr;
    if (path == nullptr) {
        cli_fail(ctx, VERR_INVALID_PARAMETER, "path missing");
        return nullptr;
    }
    dvsd_cli_file* file = new_file(ctx, path, mode);
    if (file == nullptr) {
        cli_outcome(ctx, SD_FRAME_NO_MEMORY);
        return nullptr;
    }
    file->open_code = SD_REQ_OPEN2;
    file->open2_flag = flag;
    return finish_open(ctx, file, cli_open2(ctx, path, flag, mode, &file->fd));
}

dvsd_cli_file* dvsd_cli_wopen(dvsd_cli_ctx* ctx, const char* path, uint32_t desired_access,
                              uint32_t share_mode, const void* /*security_attributes*/,
                              uint32_t creation_disposition, uint32_t flags_and_attributes,
                              uint32_t template_handle) {
    if (ctx == nullptr) return nullptr;
    if (path == nullptr) {
        cli_fail(ctx, VERR_INVALID_PARAMETER, "path missing");
        return nullptr;
    }
    dvsd_cli_file* file = new_file(ctx, path, 0);
    if (file == nullptr) {
        cli_outcome(ctx, SD_FRAME_NO_MEMORY);
        return nullptr;
    }
    file->open_code = SD_REQ_WOPEN;
    file->wopen = {desired_access, share_mode, creation_disposition, flags_and_attributes,
                   template_handle};
    return finish_open(ctx, file, cli_wopen(ctx, path, file->wopen, &file->fd));
}

int dvsd_cli_close(dvsd_cli_file* file) {
    if (file == nullptr) return -1;
    dvsd_cli_ctx* ctx = file->ctx;
    int rc = SD_FRAME_OK;
    if (ctx->net.sock != 0) {
        cli_msg_begin(ctx);
        ctx->msg.add_int64(SDF_FD, file->fd);
        const blob_attr* tb[SD_STATUS_COUNT];
        rc = cli_request(ctx, SD_REQ_CLOSE, false, tb, SD_STATUS_COUNT, "parse data error");
        cli_outcome(ctx, rc);
    }
    cli_forget_file(file);
    return rc == SD_FRAME_OK ? 0 : -1;
}

// ---- read and write
// ------------------------------------------------------------------------------

int64_t dvsd_cli_read(dvsd_cli_file* file, void* buf, uint32_t len, uint64_t offset) {
    if (file == nullptr) return -1;
    dvsd_cli_ctx* ctx = file->ctx;
    if (buf == nullptr && len > 0) return cli_fail(ctx, VERR_INVALID_PARAMETER, "buffer missing");
    if (file->pending_read_timeout) {
        if (dvsd_cli_set_fd_read_timeout(file, ctx->read_timeout_ms - 1000) != 0) return -1;
        file->pending_read_timeout = false;
    }
    if (place(file, offset) != 0) return -1;
    const bool positional = ctx->pos_io && offset != DVSD_CLI_CUR_POS;
    uint8_t* out = static_cast<uint8_t*>(buf);
    uint64_t total = 0;
    uint32_t remaining = len;
    int restarts = 0;
    while (true) {
        const uint32_t chunk = std::min(remaining, ctx->block_size);
        uint32_t amount = 0;
        const int rc = read_request(file, positional, chunk, out + total, false, &amount, nullptr);
        if (cli_outcome(ctx, rc) != 0) {
            // One restart per failure: a read that fails again before any request succeeded
            // gives up.
            if (restarts >= 1) {
                CLI_LOG(LOG_ERR, "error: count++>=1\n");
                return -1;
            }
            if (!may_restart(ctx, rc, chunk)) return -1;
            ctx->block_size = DVSD_CLI_RESTART_BLOCK;
            CLI_LOG(LOG_DBG, "ctx->block_size=%d!!\n", ctx->block_size);
            if (dvsd_cli_restart_work(file) != 0) return -1;
            restarts = 1;
            continue;
        }
        total += amount;
        ctx->max_read = std::max(ctx->max_read, amount);
        file->position += amount;
        remaining -= chunk;
        restarts = 0;
        if (remaining == 0 || amount < chunk) return static_cast<int64_t>(total);
    }
}

int64_t dvsd_cli_read_packed(dvsd_cli_file* file, void* buf, uint32_t len, uint32_t* packed_len,
                             uint64_t offset) {
    if (file == nullptr) return -1;
    dvsd_cli_ctx* ctx = file->ctx;
    if (buf == nullptr || packed_len == nullptr) {
        return cli_fail(ctx, VERR_INVALID_PARAMETER, "buffer missing");
    }
    if (len > ctx->block_size) return cli_fail(ctx, VERR_INVALID_PARAMETER, "block too large");
    if (file->pending_read_timeout) {
        if (dvsd_cli_set_fd_read_timeout(file, ctx->read_timeout_ms - 1000) != 0) return -1;
        file->pending_read_timeout = false;
    }
    if (place(file, offset) != 0) return -1;
    const bool positional = ctx->pos_io && offset != DVSD_CLI_CUR_POS;
    uint32_t amount = 0;
    const int rc =
        read_request(file, positional, len, static_cast<uint8_t*>(buf), true, &amount, packed_len);
    if (cli_outcome(ctx, rc) != 0) return -1;
    return amount;
}

int64_t dvsd_cli_write(dvsd_cli_file* file, const void* data, uint32_t len, uint64_t offset) {
    if (file == nullptr) return -1;
    dvsd_cli_ctx* ctx = file->ctx;
    if (data == nullptr && len > 0) return cli_fail(ctx, VERR_INVALID_PARAMETER, "data missing");
    if (file->pending_write_timeout) {
        dvsd_cli_set_fd_write_timeout(file, ctx->write_timeout_ms);
        file->pending_write_timeout = false;
    }
    if (place(file, offset) != 0) return -1;
    const bool positional = ctx->pos_io && offset != DVSD_CLI_CUR_POS;
    const uint8_t* in = static_cast<const uint8_t*>(data);
    uint64_t total = 0;
    uint32_t remaining = len;
    while (true) {
        const uint32_t chunk = std::min(remaining, ctx->block_size);
        uint32_t written = 0;
        const int rc = write_request(file, positional, in + total, chunk, false, 0, &written);
        if (cli_outcome(ctx, rc) != 0) return -1;
        // A server that took less than a whole request has not done what was asked.
        if (written != chunk) return record_short_write(ctx, chunk, written);
        file->position += written;
        total += written;
        remaining -= chunk;
        ctx->data_written = 1;
        if (remaining == 0) return static_cast<int64_t>(total);
    }
}

int dvsd_cli_write_packed(dvsd_cli_file* file, const void* packed, uint32_t len,
                          uint32_t packed_len, uint64_t offset) {
    if (file == nullptr) return -1;
    dvsd_cli_ctx* ctx = file->ctx;
    if (packed == nullptr && packed_len > 0) {
        return cli_fail(ctx, VERR_INVALID_PARAMETER, "data missing");
    }
    if (len > ctx->block_size || packed_len > zcomp_bound(len)) {
        return cli_fail(ctx, VERR_INVALID_PARAMETER, "block too large");
    }
    if (file->pending_write_timeout) {
        dvsd_cli_set_fd_write_timeout(file, ctx->write_timeout_ms);
        file->pending_write_timeout = false;
    }
    if (place(file, offset) != 0) return -1;
    const bool positional = ctx->pos_io && offset != DVSD_CLI_CUR_POS;
    uint32_t written = 0;
    const int rc = write_request(file, positional, packed, len, true, packed_len, &written);
    if (cli_outcome(ctx, rc) != 0) return -1;
    if (written != len) return record_short_write(ctx, len, written);
    ctx->data_written = 1;
    return 0;
}

// ---- reads and writes sent ahead
// -----------------------------------------------------------------

namespace {

// What a read or write response takes at most besides its data.
constexpr size_t kFileReplySpare = SD_FRAME_HEAD_SIZE + SD_SRV_ERROR_TEXT_SIZE + 256;

// Before a post's message is built (the server's keeping of responses is asked for with a
// request of its own).
int arm(dvsd_cli_ctx* ctx) {
    if (ctx->pipe_armed || sd_frame_pending(&ctx->frame) != 0) return SD_FRAME_OK;
    return cli_pipe_arm(ctx);
}

// Posts request `code` with the message built in ctx->msg (no wait unless the window is full).
int post_file_request(dvsd_cli_ctx* ctx, uint8_t code, size_t reply_bound) {
    if (!ctx->msg.ok()) return SD_FRAME_NO_MEMORY;
    if (ctx->net.stop.load(std::memory_order_acquire) != 0) return SD_FRAME_USER_STOP;
    return dvsd_post_request(&ctx->frame, code, ctx->msg, reply_bound);
}

// Takes the oldest posted response and parses it as a response to `code`.
int collect_file_response(dvsd_cli_ctx* ctx, uint8_t code, const blob_attr** tb, size_t count) {
    size_t len = 0;
    const int rc = client_collect_response(&ctx->frame, &len);
    if (rc != SD_FRAME_OK) return rc;
    return cli_parse(ctx, code, false, tb, count, len, "parse data error");
}

bool can_post(const dvsd_cli_file* file, uint32_t len) {
    return file->ctx->pos_io && len <= file->ctx->block_size;
}

}  // namespace

int dvsd_cli_post_read(dvsd_cli_file* file, uint32_t len, uint64_t offset) {
    if (file == nullptr) return -1;
    dvsd_cli_ctx* ctx = file->ctx;
    if (!can_post(file, len) || offset == DVSD_CLI_CUR_POS) return cli_not_supported(ctx);
    if (file->pending_read_timeout) {
        if (dvsd_cli_set_fd_read_timeout(file, ctx->read_timeout_ms - 1000) != 0) return -1;
        file->pending_read_timeout = false;
    }
    if (cli_outcome(ctx, arm(ctx)) != 0) return -1;
    cli_msg_begin(ctx);
    ctx->msg.add_int64(SDF_FD, file->fd);
    ctx->msg.add_int32(SDF_LEN, len);
    ctx->msg.add_int64(SDF_OFFSET, offset);
    const int rc = post_file_request(ctx, SD_REQ_PREAD, zcomp_bound(len) + kFileReplySpare);
    return cli_outcome(ctx, rc);
}

int64_t dvsd_cli_collect_read(dvsd_cli_file* file, void* buf, uint32_t len) {
    if (file == nullptr) return -1;
    dvsd_cli_ctx* ctx = file->ctx;
    if (buf == nullptr && len > 0) return cli_fail(ctx, VERR_INVALID_PARAMETER, "buffer missing");
    const blob_attr* tb[SD_READ_COUNT];
    int rc = collect_file_response(ctx, SD_REQ_PREAD, tb, SD_READ_COUNT);
    uint32_t amount = 0;
    if (rc == SD_FRAME_OK) {
        rc = take_read(ctx, tb, len, static_cast<uint8_t*>(buf), false, &amount, nullptr);
    }
    if (cli_outcome(ctx, rc) != 0) return -1;
    ctx->max_read = std::max(ctx->max_read, amount);
    return amount;
}

int64_t dvsd_cli_pwritex(dvsd_cli_file* file, uint32_t mode, uint32_t len, uint64_t offset) {
    if (file == nullptr) return -1;
    dvsd_cli_ctx* ctx = file->ctx;
    if (!cli_ver_at_least(ctx, CLI_VER_PWRITEX)) return cli_not_supported(ctx);
    if (file->pending_write_timeout) {
        dvsd_cli_set_fd_write_timeout(file, ctx->write_timeout_ms);
        file->pending_write_timeout = false;
    }
    if (!cli_ver_at_least(ctx, CLI_VER_1_6_2)) {
        cli_msg_begin(ctx);
        ctx->msg.add_int64(SDF_FD, file->fd);
        ctx->msg.add_int32(SDF_MODE, mode);
        ctx->msg.add_int32(SDF_LEN, len);
        ctx->msg.add_int64(SDF_OFFSET, offset);
        const blob_attr* tb[SD_LEN_COUNT];
        const int rc =
            cli_request(ctx, SD_REQ_RANGE_LEN, false, tb, SD_LEN_COUNT, "parse data error");
        if (cli_outcome(ctx, rc) != 0) return -1;
        return static_cast<uint32_t>(blobmsg_get_int32(tb[SD_LEN_LEN]));
    }
    const std::string arg = cli_format("%lld\t%u", static_cast<long long>(offset), len);
    char out[512];
    if (cli_ctl_text_out(file, DVSD_IOCTL_PWRITEX, &arg, out, sizeof out, nullptr) != 0) {
        return -1;
    }
    char* end = nullptr;
    const long long count = strtoll(out, &end, 10);
    if (end == out) return cli_outcome(ctx, SD_FRAME_DATA_ERROR);
    return count;
}

// ---- position, length, stat ---------------------------------------------------------------------

uint64_t dvsd_cli_seek(dvsd_cli_file* file, int64_t offset, int32_t whence) {
    if (file == nullptr) return DVSD_CLI_CUR_POS;
    dvsd_cli_ctx* ctx = file->ctx;
    CLI_LOG(LOG_VERB, "offset=%llu mode=%d\n", static_cast<unsigned long long>(offset), whence);
    cli_msg_begin(ctx);
    ctx->msg.add_int64(SDF_FD, file->fd);
    ctx->msg.add_int64(SDF_OFFSET, static_cast<uint64_t>(offset));
    ctx->msg.add_int64(SDF_MODE, static_cast<uint64_t>(static_cast<int64_t>(whence)));
    const blob_attr* tb[SD_SEEK_COUNT];
    const int rc = cli_request(ctx, SD_REQ_SEEK, false, tb, SD_SEEK_COUNT, "parse data error");
    if (cli_outcome(ctx, rc) != 0) return DVSD_CLI_CUR_POS;
    file->position = static_cast<uint64_t>(blobmsg_get_int64(tb[SD_SEEK_OFFSET]));
    return file->position;
}

int dvsd_cli_ftruncate(dvsd_cli_file* file, uint64_t len) {
    if (file == nullptr) return -1;
    dvsd_cli_ctx* ctx = file->ctx;
    cli_msg_begin(ctx);
    ctx->msg.add_int64(SDF_FD, file->fd);
    ctx->msg.add_int64(SDF_LEN, len);
    const blob_attr* tb[SD_STATUS_COUNT];
    const int rc = cli_request(ctx, SD_REQ_SET_LEN, false, tb, SD_STATUS_COUNT, "parse data error");
    if (cli_outcome(ctx, rc) != 0) return -1;
    return dvsd_cli_seek(file, 0, 1) == DVSD_CLI_CUR_POS ? -1 : 0;
}

namespace {

int cli_stat_get(dvsd_cli_ctx* ctx, uint8_t code, const char* path, dvsd_stat* st) {
    if (path == nullptr || st == nullptr) {
        return cli_fail(ctx, VERR_INVALID_PARAMETER, "path or stat record missing");
    }
    cli_msg_begin(ctx);
    ctx->msg.add_string(SDF_PATH, path);
    const size_t count = ctx->ext_stat ? SD_STAT_EX_COUNT : SD_STAT_COUNT;
    const blob_attr* tb[SD_STAT_EX_COUNT];
    const int rc = cli_request(ctx, code, ctx->ext_stat, tb, count, "cli_blobmsg_parse ret=-1");
    if (cli_outcome(ctx, rc) != 0) return -1;
    cli_fill_stat(tb, ctx->ext_stat, st);
    return 0;
}

}  // namespace

int dvsd_cli_stat(dvsd_cli_ctx* ctx, const char* path, dvsd_stat* st) {
    if (ctx == nullptr) return -1;
    return cli_stat_get(ctx, ctx->ext_stat ? SD_REQ_STAT_EX : SD_REQ_STAT, path, st);
}

int dvsd_cli_lstat(dvsd_cli_ctx* ctx, const char* path, dvsd_stat* st) {
    if (ctx == nullptr) return -1;
    return cli_stat_get(ctx, SD_REQ_LSTAT, path, st);
}

// ---- small files, time-outs, request 14
// -----------------------------------------------------------

int dvsd_cli_put_small_file(void* handle, const char* path, const char* name, const void* data,
                            uint32_t len, uint32_t flags) {
    dvsd_cli_ctx* ctx = cli_get_ctx(handle, nullptr);
    if (ctx == nullptr) return -1;
    if (path == nullptr || name == nullptr || (data == nullptr && len > 0)) {
        return cli_fail(ctx, VERR_INVALID_PARAMETER, "path, name or data missing");
    }
    if (len > DVSD_CLI_MAX_BLOCK) return cli_fail(ctx, VERR_INVALID_PARAMETER, "file too large");
    cli_msg_begin(ctx);
    ctx->msg.add_string(SDF_PATH, path);
    ctx->msg.add_string(SDF_NAME, name);
    ctx->msg.add_int32(SDF_FLAGS, flags);
    ctx->msg.add_int32(SDF_LEN, len);
    int rc = cli_add_packed(ctx, data, len);
    const blob_attr* tb[SD_LEN_COUNT];
    if (rc == SD_FRAME_OK) {
        rc = cli_request(ctx, SD_REQ_PUT_FILE, false, tb, SD_LEN_COUNT, "parse data error");
    }
    if (cli_outcome(ctx, rc) != 0) return -1;
    const uint32_t written = static_cast<uint32_t>(blobmsg_get_int32(tb[SD_LEN_LEN]));
    if (written != len) return record_short_write(ctx, len, written);
    return 0;
}

int dvsd_cli_set_fd_read_timeout(dvsd_cli_file* file, int32_t timeout_ms) {
    if (file == nullptr) return -1;
    return fd_timeout(file, DVSD_IOCTL_FD_READ_TIMEOUT, timeout_ms, "set_read_timeout");
}

int dvsd_cli_set_fd_write_timeout(dvsd_cli_file* file, int32_t timeout_ms) {
    if (file == nullptr) return -1;
    return fd_timeout(file, DVSD_IOCTL_FD_WRITE_TIMEOUT, timeout_ms, "set_write_timeout");
}

int dvsd_cli_fd_request(dvsd_cli_file* file) {
    if (file == nullptr) return -1;
    dvsd_cli_ctx* ctx = file->ctx;
    cli_msg_begin(ctx);
    ctx->msg.add_int64(SDF_FD, file->fd);
    const blob_attr* tb[SD_STATUS_COUNT];
    return cli_outcome(
        ctx, cli_request(ctx, SD_REQ_FILE_FD, false, tb, SD_STATUS_COUNT, "parse data error"));
}

uint32_t dvsd_cli_block_size(const dvsd_cli_ctx* ctx) {
    return ctx != nullptr ? ctx->block_size : 0;
}

bool dvsd_cli_can_post_io(const dvsd_cli_ctx* ctx) {
    return ctx != nullptr && ctx->pos_io && ctx->frame.window > 1;
}
