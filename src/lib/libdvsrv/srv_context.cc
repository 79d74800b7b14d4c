#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <new>
#include <optional>

#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_wire.h"
#include "libdvsrv/srv_conn.h"
#include "libdvsrv/srv_handlers.h"
#include "libdvsrv/srv_session.h"
#include "liblog/log2.h"

std::shared_ptr<srv_context> srv_context_new(const dvsrv_conf* conf, const os_root* root,
                                             std::string user) {
    auto ctx = std::shared_ptr<srv_context>(new (std::nothrow) srv_context);
    if (!ctx) return nullptr;
    static std::atomic<uint64_t> last_serial{0};
    ctx->serial = ++last_serial;
    ctx->conf = conf;
    ctx->root = root;
    ctx->user = std::move(user);
    ctx->read_only = conf != nullptr && conf->read_only;
    ctx->files.reset(srv_files_new());
    ctx->batch.reset(srv_batch_new());
    std::strncpy(ctx->pack.name, "lz4", sizeof(ctx->pack.name) - 1);
    if (!ctx->files || !ctx->batch || zcomp_init(&ctx->pack) != 0) return nullptr;
    return ctx;
}

bool srv_reply_begin(sd_frame_msg& reply, verr error, const char* text) {
    return reply.reset() == 0 && reply.add_int32(SDF_ERRNO, static_cast<uint32_t>(error)) &&
           reply.add_string(SDF_ERRNO_STR, text != nullptr ? text : "");
}

bool srv_reply_error(sd_frame_msg& reply, verr error, const char* text) {
    return srv_reply_begin(reply, error, text != nullptr ? text : verr2str(error));
}

verr srv_errno_status(int eno) {
    return os_verr_get(eno);
}

rdir_attr_policy srv_attr_policy(const srv_context& ctx) {
    rdir_attr_policy policy;
    policy.owner = geteuid() == 0 && !ctx.user.empty();
    policy.setid = ctx.conf != nullptr && ctx.conf->keep_setid;
    policy.nodes = policy.owner;
    policy.devices = policy.owner && policy.setid;
    return policy;
}

// ---- contexts kept for a repair: the controls 101 to 107 ----

namespace {

// A nonzero address no client can guess.
uint64_t random_address() {
    uint64_t value = 0;
    while (value == 0) {
        if (getrandom(&value, sizeof(value), 0) != sizeof(value)) value = 0;
    }
    return value;
}

std::optional<uint64_t> parse_address(std::span<const uint8_t> data) {
    std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    if (size_t nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
    uint64_t n = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return n;
}

void reply_text(sd_frame_msg& reply, const std::string& text) {
    srv_reply_begin(reply, 0, "");
    reply.add_field(BLOBMSG_TYPE_BINARY, SDF_DATA, text.c_str(), text.size() + 1);
}

}  // namespace

void srv_session::context_control(int32_t cmd, std::span<const uint8_t> data, sd_frame_msg& reply) {
    if (cmd == SD_CTL_CTX_INIT) {
        ctx_->persistent = true;
        reply_text(reply, "");
        return;
    }
    if (cmd == SD_CTL_CTX_GET_ADDR) {
        if (ctx_->address == 0) {
            std::lock_guard<std::mutex> lock(server_->context_mutex);
            if (server_->contexts.size() >= server_->conf.max_contexts) {
                srv_reply_error(reply, VERR_TRY_AGAIN, "too many server contexts");
                return;
            }
            uint64_t address = random_address();
            while (server_->contexts.count(address) != 0) address = random_address();
            ctx_->address = address;
            server_->contexts[address] = ctx_;
        }
        reply_text(reply, std::to_string(ctx_->address));
        return;
    }
    auto address = parse_address(data);
    if (!address) {
        srv_reply_error(reply, VERR_INVALID_PARAMETER, "bad context address");
        return;
    }
    std::shared_ptr<srv_context> target = *address == 0 ? ctx_ : server_->find_context(*address);
    if (!target || target->user != user_) {
        srv_reply_error(reply, VERR_NOT_FOUND, "no such context");
        return;
    }
    if (cmd == SD_CTL_CTX_LAST_INDEX) {
        reply_text(reply, std::to_string(target->completed.load()));
    } else if (cmd == SD_CTL_CTX_RUN_STATUS) {
        reply_text(reply, target->executing ? "1" : "0");
    } else if (cmd == SD_CTL_CTX_REQ_STOP) {
        if (target != ctx_) {
            std::lock_guard<std::mutex> lock(target->mutex);
            if (target->handle != nullptr) {
                // Ends the old connection's wait for a request and any write it is stuck in.
                target->handle->stop = 1;
                shutdown(sock_fd(target->handle->sock), SHUT_RDWR);
            }
        }
        srv_batch_interrupt(*target);
        reply_text(reply, "");
    } else {
        srv_reply_error(reply, VERR_NOT_SUPPORTED, "Not supported.");
    }
}

bool srv_session::attach(int32_t cmd, std::span<const uint8_t> data) {
    auto address = parse_address(data);
    std::shared_ptr<srv_context> target;
    if (address && *address != 0) target = server_->find_context(*address);
    const char* refusal = nullptr;
    if (!target || target->user != user_) {
        refusal = "no such context";
    } else if (target->executing) {
        refusal = "context busy";
    } else if (cmd == SD_CTL_CTX_ATTACH_REPLY && !target->reply.ok()) {
        refusal = "no response to repeat";
    }
    if (refusal == nullptr && target != ctx_) {
        // Checked and taken in one step: of two connections attaching at once, one gets it.
        std::lock_guard<std::mutex> lock(target->mutex);
        if (target->handle != nullptr) {
            refusal = "context in use";
        } else {
            target->handle = handle_;
        }
    }
    if (refusal != nullptr) {
        SRV_LOG(LOG_WARN, "ip=[%s] attach refused: %s\n", peer_, refusal);
        srv_reply_error(scratch_, VERR_NOT_FOUND, refusal);
        return send(scratch_, SD_REQ_IOCTL);
    }
    if (target != ctx_) {
        detach();
        ctx_ = target;
    }
    SRV_LOG(LOG_INFO, "ip=[%s] attached to context, %llu requests done, %s\n", peer_,
            static_cast<unsigned long long>(ctx_->completed.load()),
            cmd == SD_CTL_CTX_ATTACH_REPLY ? "last response sent again" : "lost request awaited");
    if (cmd == SD_CTL_CTX_ATTACH_REPLY) return send(ctx_->reply, ctx_->reply_code);
    reply_text(scratch_, "");
    return send(scratch_, SD_REQ_IOCTL);
}

void srv_ctl_context(srv_call& call) {
    call.session->context_control(call.cmd, call.data, call.reply);
}

void srv_ctl_attach(srv_call& call) {
    if (!call.session->attach(call.cmd, call.data)) call.end = "reply not delivered";
}
