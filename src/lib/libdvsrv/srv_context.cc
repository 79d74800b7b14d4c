#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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
    if (cmd == SD_CTL_CTX_PIPE) {
        const uint32_t limit = server_->conf.pipe;
        auto depth = parse_address(data);
        if (limit == 0) {
            srv_reply_error(reply, VERR_NOT_SUPPORTED, "Not supported.");
            return;
        }
        if (!depth || *depth == 0) {
            srv_reply_error(reply, VERR_INVALID_PARAMETER, "bad depth");
            return;
        }
        ctx_->pipe_depth = static_cast<uint32_t>(std::min<uint64_t>(*depth, limit));
        while (ctx_->kept.size() > ctx_->pipe_depth) {
            ctx_->kept_bytes -= ctx_->kept.front().root.size();
            ctx_->kept.pop_front();
        }
        reply_text(reply,
                   std::to_string(ctx_->pipe_depth) + " " + std::to_string(SRV_MAX_KEPT_BYTES));
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

namespace {

// Whether the responses after `index` are all still kept by `ctx` for a replay.
bool can_replay_from(const srv_context& ctx, uint64_t index) {
    const uint64_t done = ctx.completed.load();
    if (index > done) return false;
    if (index == done) return true;
    if (index + 1 == done) return ctx.reply.ok();
    return !ctx.kept.empty() && ctx.kept.back().index == done &&
           ctx.kept.front().index <= index + 1;
}

}  // namespace

bool srv_session::attach(int32_t cmd, std::span<const uint8_t> data) {
    std::optional<uint64_t> address;
    std::optional<uint64_t> from;
    if (cmd == SD_CTL_CTX_ATTACH_FROM) {
        // "ADDR IDX"
        const auto* begin = data.data();
        const auto* space = std::find(begin, begin + data.size(), uint8_t{' '});
        if (space != begin + data.size()) {
            address = parse_address({begin, space});
            from = parse_address({space + 1, begin + data.size()});
        }
    } else {
        address = parse_address(data);
    }
    std::shared_ptr<srv_context> target;
    if (address && *address != 0) target = server_->find_context(*address);
    const char* refusal = nullptr;
    if (!target || target->user != user_) {
        refusal = "no such context";
    } else if (target->executing) {
        refusal = "context busy";
    } else if (cmd == SD_CTL_CTX_ATTACH_REPLY && !target->reply.ok()) {
        refusal = "no response to repeat";
    } else if (cmd == SD_CTL_CTX_ATTACH_FROM && (!from || !can_replay_from(*target, *from))) {
        refusal = "responses no longer kept";
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
    const unsigned long long done = ctx_->completed.load();
    if (cmd == SD_CTL_CTX_ATTACH_FROM && done > *from) {
        SRV_LOG(LOG_INFO,
                "ip=[%s] attached to context, %llu requests done, %llu responses sent again\n",
                peer_, done, done - *from);
    } else {
        SRV_LOG(LOG_INFO, "ip=[%s] attached to context, %llu requests done, %s\n", peer_, done,
                cmd == SD_CTL_CTX_ATTACH_REPLY  ? "last response sent again"
                : cmd == SD_CTL_CTX_ATTACH_FROM ? "lost requests awaited"
                                                : "lost request awaited");
    }
    if (cmd == SD_CTL_CTX_ATTACH_REPLY) return send(ctx_->reply, ctx_->reply_code);
    if (cmd == SD_CTL_CTX_ATTACH_FROM) return replay_from(*from);
    reply_text(scratch_, "");
    return send(scratch_, SD_REQ_IOCTL);
}

bool srv_session::replay_from(uint64_t index) {
    srv_context& ctx = *ctx_;
    const uint64_t done = ctx.completed.load();
    reply_text(scratch_, std::to_string(done - index));
    if (!send(scratch_, SD_REQ_IOCTL)) return false;
    for (const srv_context::kept_reply& kept : ctx.kept) {
        if (kept.index <= index || kept.index == done) continue;
        if (sd_frame_write(stream_, protocol(), kept.code, kept.root) != SD_FRAME_OK) return false;
    }
    return index == done || send(ctx.reply, ctx.reply_code);
}

void srv_ctl_context(srv_call& call) {
    call.session->context_control(call.cmd, call.data, call.reply);
}

void srv_ctl_attach(srv_call& call) {
    if (!call.session->attach(call.cmd, call.data)) call.end = "reply not delivered";
}
