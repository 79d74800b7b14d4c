#include <unistd.h>

#include <cstring>
#include <new>

#include "libdvsrv/srv_session.h"

std::shared_ptr<srv_context> srv_context_new(const dvsrv_conf* conf, const os_root* root,
                                             std::string user) {
    auto ctx = std::shared_ptr<srv_context>(new (std::nothrow) srv_context);
    if (!ctx) return nullptr;
    static std::atomic<uint64_t> last_serial{0};
    ctx->serial = ++last_serial;
    ctx->conf = conf;
    ctx->root = root;
    ctx->user = std::move(user);
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
