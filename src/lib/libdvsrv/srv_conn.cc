// One connection: its loop of frames and deadlines, the request table's way in, its responses.
#include "libdvsrv/srv_conn.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_wire.h"
#include "libdvsrv/srv_handlers.h"
#include "libdvsrv/srv_route.h"
#include "liblog/log2.h"

namespace {

// A read waits at most this long without progress before the deadlines are looked at again.
constexpr int32_t kReadSliceMs = 10000;
// What a quiet connection keeps of its frame buffer.
constexpr size_t kIdleKeepBytes = size_t{1} << 20;

}  // namespace

bool srv_session::send(const sd_frame_msg& reply, uint8_t code) {
    if (!reply.ok()) {
        SRV_LOG(LOG_ERR, "ip=[%s] reply to %d could not be built\n", peer_, code);
        return false;
    }
    return sd_frame_write(stream_, protocol(), code, reply.root()) == SD_FRAME_OK;
}

// 10001: the packer of the connection's packed data fields.
void srv_session::choose_packer(std::span<const uint8_t> data, sd_frame_msg& reply) {
    std::string_view name(reinterpret_cast<const char*>(data.data()), data.size());
    if (size_t nul = name.find('\0'); nul != std::string_view::npos) name = name.substr(0, nul);
    if (name != "lz4" && name != "none") {
        srv_reply_error(reply, VERR_NOT_SUPPORTED, "unknown packer");
        return;
    }
    zcomp_ctx& pack = ctx_->pack;
    std::memset(pack.name, 0, sizeof(pack.name));
    std::memcpy(pack.name, name.data(), name.size());
    if (zcomp_init(&pack) != 0) {
        srv_reply_error(reply, VERR_NO_MEMORY, "packer could not be made");
        return;
    }
    srv_reply_begin(reply, 0, "");
}

// Lets go of the connection's context: one kept for a repair stays with the server, any other
// ends here with everything it opened.
void srv_session::detach() {
    if (!ctx_) return;
    {
        std::lock_guard<std::mutex> lock(ctx_->mutex);
        if (ctx_->handle == handle_) {
            // What a context keeps for a repair is sized by what it holds, not by what its
            // last request reserved.
            ctx_->reply.compact();
            srv_file_release_buffers(*ctx_);
            ctx_->handle = nullptr;
        }
        ctx_->last_used_ms = srv_now_ms();
    }
    if (ctx_->address != 0 && !ctx_->persistent) server_->forget_context(ctx_->address);
    ctx_.reset();
}

void srv_session::quit() {
    // The client is done: nothing it opened is kept for a repair.
    if (ctx_->address != 0) server_->forget_context(ctx_->address);
    ctx_->persistent = false;
}

// A client sending ahead may lose the responses of several requests: the context keeps them.
void srv_session::keep_for_replay(srv_context& ctx, uint64_t index, uint8_t code) {
    if (ctx.pipe_depth <= 1 || !ctx.reply.ok()) return;
    srv_keep_reply(ctx, index, code, ctx.reply.root());
}

bool srv_session::handle_request(uint8_t code, std::span<const uint8_t> body) {
    srv_call call{.ctx = *ctx_, .session = this, .code = code, .body = body, .reply = ctx_->reply};
    const srv_route* route = srv_route_find(&call);
    if (!logged_in_ && (route->needs & SRV_OPEN) == 0) {
        SRV_LOG(LOG_WARN, "ip=[%s] request %d before login: closed\n", peer_, code);
        end_ = "request before login";
        return false;
    }
    if ((route->needs & SRV_UNCOUNTED) != 0) {
        // Not counted: a re-attach carries on the count of the context it attaches to.
        srv_call own{.ctx = *ctx_,
                     .session = this,
                     .code = code,
                     .body = body,
                     .fd = call.fd,
                     .cmd = call.cmd,
                     .data = call.data,
                     .olen = call.olen,
                     .reply = scratch_};
        route->handler(own);
        end_ = own.end;
        return own.end == nullptr;
    }
    srv_context& ctx = *ctx_;
    ctx.executing = true;
    srv_route_run(*route, call);
    // Counted and kept before the response goes out, so that a response lost on the way can be
    // asked for again.
    const uint64_t index = ++ctx.completed;
    ctx.reply_code = code;
    keep_for_replay(ctx, index, code);
    ctx.executing = false;
    server_->metrics.count_reply(code, ctx.reply);
    SRV_LOG(LOG_DBG, "ip=[%s] ctx=%llu idx=%llu request %u executed\n", peer_,
            static_cast<unsigned long long>(ctx.serial), static_cast<unsigned long long>(index),
            code);
    const bool sent = send(ctx.reply, code);
    if (refused_) {
        end_ = "too many connections";
        return false;
    }
    if (call.end != nullptr) {
        end_ = call.end;
        return false;
    }
    return sent;
}

const char* srv_session::serve() {
    ctx_ = srv_context_new(&server_->conf, server_->root.get(), "");
    if (!ctx_) {
        SRV_LOG(LOG_ERR, "ip=[%s] no memory for a context: closed\n", peer_);
        return "no memory";
    }
    ctx_->handle = handle_;
    ctx_->fd_caps = server_->fd_caps("");
    ctx_->kept_caps = server_->kept_caps("");
    const auto started = watch_ != nullptr ? watch_->accepted : srv_steady::now();
    auto last_request = srv_steady::now();
    const auto login_limit = std::chrono::seconds(server_->conf.login_timeout_s);
    const auto idle_limit = std::chrono::seconds(server_->conf.idle_timeout_s);
    const int64_t frame_limit_ms = int64_t{1000} * server_->conf.read_timeout_s;
    const int32_t slice_ms = static_cast<int32_t>(std::min<int64_t>(
        kReadSliceMs, 1000 * int64_t{std::max<uint32_t>(1, server_->conf.login_timeout_s)}));
    handle_->timeout_ms = slice_ms;
    // Before a login the deadline from accept holds (the accept loop armed it); after, each frame
    // gets the read time-out from its first byte.
    stream_.on_first_byte = [this, frame_limit_ms] {
        if (watch_ != nullptr && logged_in_) watch_->arm(srv_now_ms() + frame_limit_ms);
    };
    for (;;) {
        if (server_->stopping) handle_->stop = 1;
        sd_frame_head head;
        const size_t cap = logged_in_ ? SD_FRAME_MAX_SIZE : DVSRV_LOGIN_FRAME_MAX;
        stream_.frame_begin();
        int status = sd_frame_read(stream_, &frame_, &head, cap);
        const auto now = srv_steady::now();
        if (watch_ != nullptr && watch_->fired) {
            if (!logged_in_) {
                SRV_LOG(LOG_WARN, "ip=[%s] no login in time: closed\n", peer_);
                return "no login in time";
            }
            SRV_LOG(LOG_WARN, "ip=[%s] request not complete in %u s: closed\n", peer_,
                    server_->conf.read_timeout_s);
            return "request not complete in time";
        }
        if (status == SD_FRAME_TIMEOUT) {
            // A quiet connection gives back the buffers its largest requests left.
            if (frame_.capacity() > kIdleKeepBytes) std::vector<uint8_t>().swap(frame_);
            srv_file_release_buffers(*ctx_);
            ctx_->reply.compact();
            if (!logged_in_ && now - started >= login_limit) {
                SRV_LOG(LOG_WARN, "ip=[%s] no login in time: closed\n", peer_);
                return "no login in time";
            }
            if (logged_in_ && now - last_request >= idle_limit) {
                SRV_LOG(LOG_INFO, "ip=[%s] idle: closed\n", peer_);
                return "idle";
            }
            continue;
        }
        if (status != SD_FRAME_OK) {
            SRV_LOG(LOG_DBG, "ip=[%s] frame status %d: closed\n", peer_, status);
            if (status == SD_FRAME_USER_STOP) return "server stopping";
            if (status == SD_FRAME_NET_ERROR) return "closed by the client";
            return "malformed frame";
        }
        if (!logged_in_ && now - started >= login_limit) {
            SRV_LOG(LOG_WARN, "ip=[%s] no login in time: closed\n", peer_);
            return "no login in time";
        }
        // A request runs without a deadline of the read (the login's, before a login, stays).
        if (watch_ != nullptr && logged_in_) watch_->disarm();
        last_request = now;
        std::span<const uint8_t> body(frame_.data() + BLOB_ATTR_HEADER_SIZE,
                                      head.padded_len - BLOB_ATTR_HEADER_SIZE);
        const bool was_logged_in = logged_in_;
        if (!handle_request(head.code, body)) return end_ != nullptr ? end_ : "reply not delivered";
        if (watch_ != nullptr && was_logged_in != logged_in_) {
            // A login lifts the deadline from accept; a failed login on a logged-in connection
            // gives it a login's time again.
            if (logged_in_) {
                watch_->disarm();
            } else {
                watch_->arm(srv_now_ms() + int64_t{1000} * server_->conf.login_timeout_s);
            }
        }
    }
}

void srv_serve_watched(dvsrv* server, net_handle* handle, const char* peer_address,
                       srv_watch* watch) {
    const auto started = srv_steady::now();
    srv_session s(server, handle, peer_address, watch);
    const char* outcome = s.serve();
    const double seconds = std::chrono::duration<double>(srv_steady::now() - started).count();
    // One line per connection, for whoever runs the server: who, how it ended, how much moved.
    SRV_LOG(LOG_INFO | LOG_NETREC, "ip=[%s] user=[%s] %s: %llu bytes in, %llu bytes out, %.3f s\n",
            peer_address, s.user().c_str(), outcome, static_cast<unsigned long long>(s.bytes_in()),
            static_cast<unsigned long long>(s.bytes_out()), seconds);
}

void dvsrv_serve(dvsrv* server, net_handle* handle, const char* peer_address) {
    srv_serve_watched(server, handle, peer_address, nullptr);
}

void srv_req_quit(srv_call& call) {
    call.session->quit();
    call.end = "quit";
}

void srv_req_info(srv_call& call) {
    // The kinds of node this client may make through the batch worker.
    const rdir_attr_policy policy = srv_attr_policy(call.ctx);
    std::string kinds;
    if (rdir_attr_policy_node(policy, S_IFIFO)) kinds += "fifo,sock";
    if (rdir_attr_policy_node(policy, S_IFCHR)) kinds += ",chr,blk";
    srv_reply_begin(call.reply, 0, "");
    call.reply.add_string(
        SDF_INFO, (dvsrv_info_text(call.ctx.conf != nullptr ? *call.ctx.conf : dvsrv_conf{}) +
                   "nodes=[" + kinds + "]\n")
                      .c_str());
}

void srv_ctl_pack(srv_call& call) {
    call.session->choose_packer(call.data, call.reply);
}

void srv_ctl_file_timeout(srv_call& call) {
    srv_reply_begin(call.reply, 0, "");
}
