#include "libdvsrv/srv_route.h"

#include <cstdio>
#include <new>

#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_wire.h"
#include "libdvsrv/srv_handlers.h"
#include "libdvsrv/srv_session.h"

namespace {

// ---- answers of codes without a handler of their own ----

void unknown_request(srv_call& call) {
    char text[64];
    snprintf(text, sizeof(text), "Unknown request %d", call.code);
    srv_reply_error(call.reply, VERR_NOT_IMPLEMENTED, text);
}

// Requests of the protocol this server does not offer.
void request_not_supported(srv_call& call) {
    srv_reply_error(call.reply, VERR_NOT_SUPPORTED);
}

// A control request whose fields do not parse or name no control.
void malformed_control(srv_call& call) {
    srv_reply_error(call.reply, VERR_NET_PROTOCOL_ERROR, "malformed control request");
}

// Controls known to the protocol that this server never serves: without output, any it does not
// serve; with output, those that would run commands or rewrite its settings or credentials.
void control_not_supported(srv_call& call) {
    srv_reply_error(call.reply, VERR_NOT_SUPPORTED, "Not supported.");
}

void unknown_control(srv_call& call) {
    char text[64];
    snprintf(text, sizeof(text), "Unknown control %d", call.cmd);
    srv_reply_error(call.reply, VERR_NOT_IMPLEMENTED, text);
}

// ---- the table ----

constexpr uint32_t kOpen = SRV_OPEN;
constexpr uint32_t kTree = SRV_CHANGES_TREE;
constexpr uint32_t kConn = SRV_CONNECTION;
constexpr uint32_t kOwn = SRV_UNCOUNTED;

constexpr srv_route kRequests[] = {
    {SD_REQ_LOGIN, 0, kOpen | kConn, srv_req_login},
    {SD_REQ_QUIT, 0, kOpen | kConn | kOwn, srv_req_quit},
    {SD_REQ_LSBLK, 0, 0, srv_req_lsblk},
    {SD_REQ_INFO, 0, 0, srv_req_info},
    {SD_REQ_STATFS, 0, 0, srv_req_statfs},
    {SD_REQ_STAT, 0, 0, srv_req_stat},
    {SD_REQ_STAT_EX, 0, 0, srv_req_stat},
    // Reached only when the fields name no control; the controls are the rows below.
    {SD_REQ_IOCTL, 0, 0, malformed_control},
    {SD_REQ_PUT_FILE, 0, kTree, srv_req_put_file},
    // Open and close change the tree only for writing: their handlers refuse that when read-only.
    {SD_REQ_OPEN, 0, 0, srv_req_open},
    {SD_REQ_CLOSE, 0, 0, srv_req_close},
    {SD_REQ_READ, 0, 0, srv_req_read},
    {SD_REQ_WRITE, 0, kTree, srv_req_write},
    {SD_REQ_FILE_FD, 0, 0, srv_req_flush},
    {SD_REQ_SEEK, 0, 0, srv_req_seek},
    {SD_REQ_SET_LEN, 0, kTree, srv_req_set_len},
    {SD_REQ_GEOMETRY, 0, 0, srv_req_geometry},
    {SD_REQ_FILE_IOCTL, 0, 0, malformed_control},
    {SD_REQ_FSTAT, 0, 0, srv_req_fstat},
    {SD_REQ_FSET_TIME, 0, kTree, srv_req_set_times},
    {SD_REQ_RANGE, 0, 0, request_not_supported},
    {SD_REQ_WOPEN, 0, 0, request_not_supported},
    {SD_REQ_OPEN2, 0, 0, srv_req_open2},
    {SD_REQ_FSTAT_EX, 0, 0, srv_req_fstat},
    {SD_REQ_FSET_TIME_EX, 0, kTree, srv_req_set_times},
    {SD_REQ_LSTAT, 0, 0, srv_req_stat},
    {SD_REQ_PREAD, 0, 0, srv_req_read},
    {SD_REQ_PWRITE, 0, kTree, srv_req_write},
    {SD_REQ_OPENDIR, 0, 0, srv_req_opendir},
    {SD_REQ_READDIR, 0, 0, srv_req_readdir},
    {SD_REQ_CLOSEDIR, 0, 0, srv_req_closedir},
    {SD_REQ_READDIR_EX, 0, 0, srv_req_readdir},
    {SD_REQ_RANGE_LEN, 0, 0, request_not_supported},
    {SD_REQ_KEY_LOGIN1, 0, kOpen | kConn, srv_req_key_login1},
    {SD_REQ_KEY_LOGIN2, 0, kOpen | kConn, srv_req_key_login2},
};

// Request 20: controls without output.
constexpr srv_route kControls[] = {
    {SD_REQ_FILE_IOCTL, SD_CTL_PACK, kConn, srv_ctl_pack},
    {SD_REQ_FILE_IOCTL, SD_CTL_MKDIRS, kTree, srv_ctl_mkdirs},
    {SD_REQ_FILE_IOCTL, SD_CTL_SET_TIMES, kTree, srv_ctl_set_times},
    {SD_REQ_FILE_IOCTL, SD_CTL_SET_TIMES2, kTree, srv_ctl_set_times},
    {SD_REQ_FILE_IOCTL, SD_CTL_RMDIR2, kTree, srv_ctl_remove},
    {SD_REQ_FILE_IOCTL, SD_CTL_REMOVE2, kTree, srv_ctl_remove},
    {SD_REQ_FILE_IOCTL, SD_CTL_SET_STAT, kTree, srv_ctl_set_stat},
    {SD_REQ_FILE_IOCTL, SD_CTL_FSET_STAT, kTree, srv_ctl_fset_stat},
    // Time-outs of a file on the server: reads and writes here do not wait on a peer.
    {SD_REQ_FILE_IOCTL, SD_CTL_FD_READ_TIMEOUT, 0, srv_ctl_file_timeout},
    {SD_REQ_FILE_IOCTL, SD_CTL_FD_WRITE_TIMEOUT, 0, srv_ctl_file_timeout},

    // Request 8: controls with output.
    {SD_REQ_IOCTL, SD_CTL_CTX_INIT, kConn, srv_ctl_context},
    {SD_REQ_IOCTL, SD_CTL_CTX_GET_ADDR, kConn, srv_ctl_context},
    {SD_REQ_IOCTL, SD_CTL_CTX_LAST_INDEX, kConn, srv_ctl_context},
    {SD_REQ_IOCTL, SD_CTL_CTX_ATTACH, kConn | kOwn, srv_ctl_attach},
    {SD_REQ_IOCTL, SD_CTL_CTX_ATTACH_REPLY, kConn | kOwn, srv_ctl_attach},
    {SD_REQ_IOCTL, SD_CTL_CTX_RUN_STATUS, kConn, srv_ctl_context},
    {SD_REQ_IOCTL, SD_CTL_CTX_REQ_STOP, kConn, srv_ctl_context},
    {SD_REQ_IOCTL, SD_CTL_CTX_PIPE, kConn, srv_ctl_context, "pipe", &dvsrv_conf::pipe},
    {SD_REQ_IOCTL, SD_CTL_CTX_ATTACH_FROM, kConn | kOwn, srv_ctl_attach},
    {SD_REQ_IOCTL, SD_CTL_SEEKDIR, 0, srv_ctl_seekdir},
    {SD_REQ_IOCTL, SD_CTL_RDIR_OPEN, 0, srv_ctl_rdir_open, "stale_temps"},
    {SD_REQ_IOCTL, SD_CTL_RDIR_CLOSE, 0, srv_ctl_rdir_close},
    {SD_REQ_IOCTL, SD_CTL_RDIR_ENUM, 0, srv_ctl_rdir_enum},
    {SD_REQ_IOCTL, SD_CTL_RDIR_READ, 0, srv_ctl_rdir_read},
    {SD_REQ_IOCTL, SD_CTL_MFILE_OPEN, 0, srv_ctl_mfile_open},
    {SD_REQ_IOCTL, SD_CTL_MFILE_CLOSE, 0, srv_ctl_mfile_close},
    {SD_REQ_IOCTL, SD_CTL_MFILE_LIST_RET, 0, srv_ctl_mfile_results},
    {SD_REQ_IOCTL, SD_CTL_MFILE_READ, 0, srv_ctl_mfile_post},
    {SD_REQ_IOCTL, SD_CTL_MFILE_MKDIR, kTree, srv_ctl_mfile_post},
    {SD_REQ_IOCTL, SD_CTL_MFILE_WRITE, kTree, srv_ctl_mfile_post},
    {SD_REQ_IOCTL, SD_CTL_MFILE_REMOVE, kTree, srv_ctl_mfile_post},
    {SD_REQ_IOCTL, SD_CTL_MFILE_EMPTY, kTree, srv_ctl_mfile_post},
    // Settings and credentials are never served; those that would change them are refused as
    // changes, so that a read-only login hears why.
    {SD_REQ_IOCTL, SD_CTL_GET_CONF, 0, control_not_supported},
    {SD_REQ_IOCTL, SD_CTL_SET_CONF, kTree, control_not_supported},
    {SD_REQ_IOCTL, SD_CTL_OUT_10002, kTree, control_not_supported},
    {SD_REQ_IOCTL, SD_CTL_OUT_10003, kTree, control_not_supported},
    {SD_REQ_IOCTL, SD_CTL_OUT_10004, kTree, control_not_supported},
    {SD_REQ_IOCTL, SD_CTL_OUT_10005, kTree, control_not_supported},
};

// Codes that have no row.
constexpr srv_route kUnknownRequest = {0, 0, 0, unknown_request};
constexpr srv_route kUnknownControl20 = {SD_REQ_FILE_IOCTL, 0, 0, control_not_supported};
constexpr srv_route kUnknownControl8 = {SD_REQ_IOCTL, 0, 0, unknown_control};
// Request 8 with the host's own codes 10100 to 10113 (disk health, hashes, commands).
constexpr srv_route kHostControl = {SD_REQ_IOCTL, 0, 0, control_not_supported};

bool is_control_request(uint8_t code) {
    return code == SD_REQ_IOCTL || code == SD_REQ_FILE_IOCTL;
}

// The fields of a control request: false when they do not parse or name no control.
bool parse_control(srv_call* call) {
    const bool with_output = call->code == SD_REQ_IOCTL;
    static constexpr blobmsg_policy kWithout[] = {{SDF_FD, BLOBMSG_TYPE_INT64},
                                                  {SDF_CMD, BLOBMSG_TYPE_INT32},
                                                  {SDF_DATA, BLOBMSG_TYPE_BINARY},
                                                  {SDF_LEN, BLOBMSG_TYPE_INT32}};
    static constexpr blobmsg_policy kWith[] = {{SDF_FD, BLOBMSG_TYPE_INT64},
                                               {SDF_CMD, BLOBMSG_TYPE_INT32},
                                               {SDF_DATA, BLOBMSG_TYPE_BINARY},
                                               {SDF_OLEN, BLOBMSG_TYPE_INT32}};
    const std::span<const uint8_t> body = call->body;
    const blob_attr* tb[4] = {};
    if (!blobmsg_table_valid(body.data(), body.size()) ||
        blobmsg_parse(with_output ? kWith : kWithout, 4, tb, body.data(), body.size()) != 0 ||
        tb[1] == nullptr) {
        return false;
    }
    call->fd = tb[0] ? static_cast<uint64_t>(blobmsg_get_int64(tb[0])) : 0;
    call->cmd = blobmsg_get_int32(tb[1]);
    call->data = {};
    if (tb[2] != nullptr) call->data = {blobmsg_data(tb[2]), blobmsg_data_len(tb[2])};
    call->olen = 0;
    if (with_output && tb[3] != nullptr)
        call->olen = static_cast<uint32_t>(blobmsg_get_int32(tb[3]));
    return true;
}

const srv_route* find_control(uint8_t code, int32_t cmd) {
    for (const srv_route& r : kControls) {
        if (r.code == code && r.cmd == cmd) return &r;
    }
    if (code == SD_REQ_FILE_IOCTL) return &kUnknownControl20;
    if (cmd >= SD_CTL_HOST_FIRST && cmd <= SD_CTL_HOST_LAST) return &kHostControl;
    return &kUnknownControl8;
}

}  // namespace

const srv_route* srv_route_find(srv_call* call) {
    const srv_route* found = &kUnknownRequest;
    for (const srv_route& r : kRequests) {
        if (r.code == call->code) {
            found = &r;
            break;
        }
    }
    if (is_control_request(call->code) && parse_control(call)) {
        return find_control(call->code, call->cmd);
    }
    return found;
}

void srv_route_run(const srv_route& route, srv_call& call) {
    try {
        // Whatever fields a request takes, a table that is not well formed is refused alike.
        if (!blobmsg_table_valid(call.body.data(), call.body.size())) {
            srv_reply_error(call.reply, VERR_NET_PROTOCOL_ERROR, "malformed request");
            return;
        }
        if ((route.needs & SRV_CHANGES_TREE) != 0 && call.ctx.read_only) {
            srv_reply_error(call.reply, VERR_WRITE_PROTECT, SRV_READ_ONLY_TEXT);
            return;
        }
        route.handler(call);
    } catch (const std::bad_alloc&) {
        srv_reply_error(call.reply, VERR_NO_MEMORY);
    }
}

std::string srv_route_offers(const dvsrv_conf& conf) {
    std::string offers;
    auto offer = [&](const srv_route& r) {
        if (r.offer == nullptr) return;
        if (r.offer_value == nullptr) {
            offers += std::string(r.offer) + "=[1]\n";
        } else if (conf.*r.offer_value != 0) {
            offers += std::string(r.offer) + "=[" + std::to_string(conf.*r.offer_value) + "]\n";
        }
    };
    for (const srv_route& r : kRequests) offer(r);
    for (const srv_route& r : kControls) offer(r);
    return offers;
}

namespace {

void serve_alone(srv_call& call) {
    const srv_route* route = srv_route_find(&call);
    if ((route->needs & SRV_CONNECTION) != 0) {
        srv_reply_error(call.reply, VERR_NOT_SUPPORTED);
        return;
    }
    srv_route_run(*route, call);
}

}  // namespace

void srv_context_request(srv_context& ctx, uint8_t code, std::span<const uint8_t> body,
                         sd_frame_msg& reply) {
    srv_call call{.ctx = ctx, .session = nullptr, .code = code, .body = body, .reply = reply};
    serve_alone(call);
}

void srv_context_control(srv_context& ctx, uint8_t code, uint64_t fd, int32_t cmd,
                         std::span<const uint8_t> data, uint32_t olen, sd_frame_msg& reply) {
    // Built as the client builds it, so that the control goes the way of any other.
    sd_frame_msg request;
    request.reset();
    request.add_int64(SDF_FD, fd);
    request.add_int32(SDF_CMD, static_cast<uint32_t>(cmd));
    request.add_field(BLOBMSG_TYPE_BINARY, SDF_DATA, data.data(), data.size());
    if (code == SD_REQ_IOCTL) {
        request.add_int32(SDF_OLEN, olen);
    } else {
        request.add_int32(SDF_LEN, static_cast<uint32_t>(data.size()));
    }
    if (!request.ok()) {
        srv_reply_error(reply, VERR_NO_MEMORY);
        return;
    }
    srv_call call{.ctx = ctx,
                  .session = nullptr,
                  .code = code,
                  .body = request.root().subspan(BLOB_ATTR_HEADER_SIZE),
                  .reply = reply};
    serve_alone(call);
}
