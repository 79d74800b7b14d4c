// Repair of an exchange whose response did not arrive: a new connection is attached to the server
// context of the broken one, and the server either replays the lost response or receives the lost
// request again. The server counts what it executed in the context, the client what it sent; the
// two counts say which of the two happened.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "libdvsd/cli_internal.h"

namespace {

constexpr int kReconnectAttempts = 3;
constexpr uint32_t kOutputSize = 4096;
// Repairs of one break with requests posted, when the link breaks again during one.
constexpr int kPostedRepairAttempts = 4;
// The old connection's thread on the server is asked to let go of the context; this is how long
// it gets.
constexpr auto kStopGrace = std::chrono::seconds(1);
constexpr auto kStopSlice = std::chrono::milliseconds(50);
// A repair returns this when it cannot go on (and not a frame status).
constexpr int kRepairImpossible = 1;

bool stopped(const dvsd_cli_ctx* ctx) {
    return ctx->net.stop.load(std::memory_order_acquire) != 0;
}

bool parse_u64(const char* text, uint64_t* value) {
    const std::string_view s(text);
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *value);
    return !s.empty() && ec == std::errc() && end == s.data() + s.size();
}

// A context control request with the decimal text `text` (none when null) and a text output.
// The frame status; the outcome is left in the connection's last error.
int context_request(dvsd_cli_ctx* ctx, int32_t code, const std::string* text, std::string* output) {
    std::string data;
    if (text != nullptr) {
        data = *text;
        data.push_back('\0');
    }
    char out[kOutputSize + 1] = {};
    uint32_t out_len = 0;
    const int rc =
        cli_ioctl_imp(ctx, 0, code, data.data(), data.size(), out, kOutputSize, &out_len);
    cli_outcome(ctx, rc);
    if (rc == SD_FRAME_OK && output != nullptr) output->assign(out, strnlen(out, out_len));
    return rc;
}

// Waits for the server to end the old connection's work; false when the user stopped meanwhile.
bool wait_for_old_connection(const dvsd_cli_ctx* ctx) {
    const auto until = std::chrono::steady_clock::now() + kStopGrace;
    while (std::chrono::steady_clock::now() < until) {
        if (stopped(ctx)) return false;
        std::this_thread::sleep_for(kStopSlice);
    }
    return !stopped(ctx);
}

int reconnect(dvsd_cli_ctx* ctx) {
    for (int attempt = 1;; ++attempt) {
        if (dvsd_cli_reconnect(ctx) == 0) {
            CLI_LOG(LOG_DBG, "dvsd_cli_reconnect ok\n");
            return SD_FRAME_OK;
        }
        const verr code = ctx->last_error->code;
        CLI_LOG(LOG_DBG, "dvsd_cli_reconnect eno=%d erorr: %s\n", code,
                err_info_str(ctx->last_error));
        // A stop ends the repair at once: no further connection is tried.
        if (stopped(ctx)) return SD_FRAME_USER_STOP;
        if (code != VERR_TIMEOUT || attempt >= kReconnectAttempts) return kRepairImpossible;
    }
}

int client_fix_last_error_imp(dvsd_cli_ctx* ctx, uint8_t code, const sd_frame_msg& request,
                              size_t* out_len) {
    CLI_LOG(LOG_DBG, "==>\n");
    int rc = reconnect(ctx);
    if (rc != SD_FRAME_OK) return rc;
    const std::string old = std::to_string(ctx->ctx_addr);

    rc = context_request(ctx, DVSD_IOCTL2_CTX_REQ_STOP, &old, nullptr);
    if (rc != SD_FRAME_OK) {
        CLI_LOG(LOG_DBG, "DVSD_IOCTL2_CTX_REQ_STOP addr=%s ret=%d error:%s\n", old.c_str(), rc,
                sd_frame_status_str(rc));
        return rc;
    }
    if (!wait_for_old_connection(ctx)) return SD_FRAME_USER_STOP;

    std::string output;
    rc = context_request(ctx, DVSD_IOCTL2_CTX_RUN_STATUS, &old, &output);
    if (rc != SD_FRAME_OK) {
        CLI_LOG(LOG_DBG, "DVSD_IOCTL2_CTX_RUN_STATUS addr=%s ret=%d failed\n", old.c_str(), rc);
        return rc;
    }
    CLI_LOG(LOG_DBG, "run status=[%s]\n", output.c_str());
    uint64_t running = 0;
    if (parse_u64(output.c_str(), &running) && running == 1) {
        CLI_LOG(LOG_DBG, "ctx thread now is runing\n");
        return kRepairImpossible;
    }

    rc = context_request(ctx, DVSD_IOCTL2_GET_LAST_CMD_IDX, &old, &output);
    uint64_t server_index = 0;
    if (rc == SD_FRAME_OK && !parse_u64(output.c_str(), &server_index)) rc = SD_FRAME_DATA_ERROR;
    if (rc != SD_FRAME_OK) {
        CLI_LOG(LOG_DBG, "DVSD_IOCTL2_GET_LAST_CMD_IDX addr=%s ret=%d failed\n", old.c_str(), rc);
        return rc;
    }

    const uint64_t sent = ctx->frame.send_count;  // the interrupted request included
    if (server_index == sent) {
        // The request ran; only its response was lost: the server sends it again.
        CLI_LOG(LOG_DBG, "DVSD_IOCTL2_ATTACH_CTX_REPLY\n");
        rc = context_request(ctx, DVSD_IOCTL2_ATTACH_CTX_REPLY, &old, nullptr);
        if (rc != SD_FRAME_OK) {
            CLI_LOG(LOG_DBG, "DVSD_IOCTL2_ATTACH_CTX_REPLY addr=%s ret=%d failed\n", old.c_str(),
                    rc);
            return rc;
        }
        return client_recv_response_imp(&ctx->frame, out_len);
    }
    if (server_index + 1 == sent) {
        // The request never reached the server: it goes again, on the old context.
        CLI_LOG(LOG_DBG, "DVSD_IOCTL2_ATTACH_CTX\n");
        rc = context_request(ctx, DVSD_IOCTL2_ATTACH_CTX, &old, nullptr);
        if (rc != SD_FRAME_OK) {
            CLI_LOG(LOG_DBG, "DVSD_IOCTL2_ATTACH_CTX addr=%s ret=%d failed\n", old.c_str(), rc);
            return rc;
        }
        if (stopped(ctx)) return SD_FRAME_USER_STOP;
        rc = dvsd_send_request(&ctx->frame, code, request);
        if (rc != SD_FRAME_OK) return rc;
        return client_recv_response_imp(&ctx->frame, out_len);
    }
    CLI_LOG(LOG_ERR, "cmd_send_count=%llu srv_last_idx=%llu [%s]\n",
            static_cast<unsigned long long>(sent), static_cast<unsigned long long>(server_index),
            old.c_str());
    return kRepairImpossible;
}

// The break of a connection with requests posted: requests up to the server's index ran (their
// responses missing here come again after the attach's own answer), the rest never arrived whole
// and go again. The posted requests' responses then arrive in order on the new stream.
// `*again`: the attempt failed on a new connection that broke too, and another may succeed.
int repair_posted_imp(dvsd_cli_ctx* ctx, bool* again) {
    CLI_LOG(LOG_DBG, "==> %zu requests posted\n", ctx->frame.posted.size());
    *again = false;
    int rc = reconnect(ctx);
    if (rc != SD_FRAME_OK) return rc;
    // From here a failure of the stream is the link's, unless the server says otherwise.
    *again = true;
    const std::string old = std::to_string(ctx->ctx_addr);
    rc = context_request(ctx, DVSD_IOCTL2_CTX_REQ_STOP, &old, nullptr);
    if (rc != SD_FRAME_OK) return rc;
    if (!wait_for_old_connection(ctx)) return SD_FRAME_USER_STOP;
    std::string output;
    rc = context_request(ctx, DVSD_IOCTL2_CTX_RUN_STATUS, &old, &output);
    if (rc != SD_FRAME_OK) return rc;
    uint64_t running = 0;
    if (parse_u64(output.c_str(), &running) && running == 1) {
        *again = false;
        return kRepairImpossible;
    }
    rc = context_request(ctx, DVSD_IOCTL2_GET_LAST_CMD_IDX, &old, &output);
    uint64_t server_index = 0;
    if (rc == SD_FRAME_OK && !parse_u64(output.c_str(), &server_index)) rc = SD_FRAME_DATA_ERROR;
    if (rc != SD_FRAME_OK) return rc;

    sd_frame_conn& frame = ctx->frame;
    const uint64_t sent = frame.send_count;
    const uint64_t answered = sent - frame.posted.size();  // responses read off the old stream
    if (server_index < answered || server_index > sent) {
        CLI_LOG(LOG_ERR, "cmd_send_count=%llu answered=%llu srv_last_idx=%llu [%s]\n",
                static_cast<unsigned long long>(sent), static_cast<unsigned long long>(answered),
                static_cast<unsigned long long>(server_index), old.c_str());
        *again = false;
        return kRepairImpossible;
    }
    const std::string from = old + " " + std::to_string(answered);
    rc = context_request(ctx, DVSD_IOCTL2_CTX_ATTACH_FROM, &from, &output);
    uint64_t replayed = 0;
    if (rc == SD_FRAME_OK &&
        (!parse_u64(output.c_str(), &replayed) || replayed != server_index - answered)) {
        rc = SD_FRAME_DATA_ERROR;
    }
    if (rc != SD_FRAME_OK) {
        CLI_LOG(LOG_DBG, "DVSD_IOCTL2_CTX_ATTACH_FROM %s ret=%d failed\n", from.c_str(), rc);
        // A refusal (responses no longer kept, context gone) stands.
        if (rc == SD_FRAME_SRV_ERROR) *again = false;
        return rc;
    }
    CLI_LOG(LOG_DBG, "%llu responses replayed, %llu requests sent again\n",
            static_cast<unsigned long long>(replayed),
            static_cast<unsigned long long>(sent - server_index));
    // The responses sent again are taken at once: should this connection break too, the next
    // attempt starts after them, so a link that breaks every so many bytes still moves on.
    for (uint64_t k = 0; k < replayed; ++k) {
        if (stopped(ctx)) return SD_FRAME_USER_STOP;
        rc = sd_frame_take_posted(&frame);
        if (rc != SD_FRAME_OK) return rc;
    }
    for (const sd_frame_conn::posted_request& p : frame.posted) {
        if (stopped(ctx)) return SD_FRAME_USER_STOP;
        verr status = VERR_SUCCESS;
        rc = sd_frame_write(*frame.stream, SD_FRAME_PROTOCOL, p.code, p.root, &status);
        if (rc != SD_FRAME_OK) {
            frame.net_status = status;
            return rc;
        }
    }
    frame.in_flight = static_cast<uint32_t>(frame.posted.size());
    return SD_FRAME_OK;
}

}  // namespace

int client_fix_posted(dvsd_cli_ctx* ctx) {
    ctx->frame.repairing = true;
    // A link that breaks again while the lost responses come again or the lost requests go again
    // is repaired again: each attempt starts from what the client has, so none runs twice.
    int rc = SD_FRAME_OK;
    // Attempts that took some of the responses back do not count: the posted ones run out.
    for (int attempt = 1; attempt <= kPostedRepairAttempts; ++attempt) {
        bool again = false;
        const size_t posted = ctx->frame.posted.size();
        rc = repair_posted_imp(ctx, &again);
        if (rc == SD_FRAME_OK || !again || stopped(ctx)) break;
        CLI_LOG(LOG_DBG, "repair attempt %d ret=%d: the new connection broke too\n", attempt, rc);
        if (ctx->frame.posted.size() < posted) attempt = 0;
    }
    ctx->frame.repairing = false;
    return rc;
}

int client_fix_last_error(dvsd_cli_ctx* ctx, size_t* out_len) {
    CLI_LOG(LOG_DBG, "==>\n");
    const uint8_t code = ctx->frame.last_code;
    std::unique_ptr<sd_frame_msg> request(new (std::nothrow) sd_frame_msg);
    if (!request) return kRepairImpossible;
    try {
        *request = ctx->msg;
    } catch (const std::bad_alloc&) {
        return kRepairImpossible;
    }
    ctx->frame.repairing = true;
    int rc = client_fix_last_error_imp(ctx, code, *request, out_len);
    ctx->frame.repairing = false;
    request.reset();
    if (rc != SD_FRAME_OK) return rc;

    // The response is kept aside while the count is taken again from the server.
    std::vector<uint8_t> response;
    try {
        response.assign(ctx->frame.reply.begin(), ctx->frame.reply.begin() + *out_len);
    } catch (const std::bad_alloc&) {
        return kRepairImpossible;
    }
    const std::string own = "0";
    std::string output;
    rc = context_request(ctx, DVSD_IOCTL2_GET_LAST_CMD_IDX, &own, &output);
    uint64_t server_index = 0;
    if (rc == SD_FRAME_OK && !parse_u64(output.c_str(), &server_index)) rc = SD_FRAME_DATA_ERROR;
    if (rc != SD_FRAME_OK) {
        CLI_LOG(LOG_ERR, "DVSD_IOCTL2_GET_LAST_CMD_IDX addr=[%s] ret=%d failed\n", own.c_str(), rc);
        return rc;
    }
    ctx->frame.send_count = server_index + 1;
    std::copy(response.begin(), response.end(), ctx->frame.reply.begin());
    *out_len = response.size();
    CLI_LOG(LOG_DBG, "last_cmd_len=%d cmd_send_count=%llu fix ok\n",
            static_cast<int>(response.size()),
            static_cast<unsigned long long>(ctx->frame.send_count));
    return SD_FRAME_OK;
}

int dvsd_cli_set_auto_reconnect(dvsd_cli_ctx* ctx) {
    if (ctx == nullptr) return -1;
    const std::string zero = "0";
    std::string output;
    int rc = SD_FRAME_OK;
    if (ctx->frame.window > 1 && !ctx->frame.repair_enabled && sd_frame_pending(&ctx->frame) == 0) {
        // A server that takes requests ahead gets both at once: one wait instead of two. Repair
        // is not on yet, so no replay can meet them.
        rc = cli_post_ioctl(ctx, 0, DVSD_IOCTL2_CTX_INIT, zero.c_str(), 2, kOutputSize);
        if (rc == SD_FRAME_OK) {
            rc = cli_post_ioctl(ctx, 0, DVSD_IOCTL2_GET_CTX_ADDR, nullptr, 0, kOutputSize);
        }
        if (rc != SD_FRAME_OK) return cli_outcome(ctx, rc);
        char out[kOutputSize + 1] = {};
        uint32_t out_len = 0;
        // The collections record their own outcome.
        if (dvsd_cli_collect_ioctl2(ctx, nullptr, 0, nullptr) != 0 ||
            dvsd_cli_collect_ioctl2(ctx, out, kOutputSize, &out_len) != 0) {
            return -1;
        }
        output.assign(out, strnlen(out, out_len));
    } else {
        rc = context_request(ctx, DVSD_IOCTL2_CTX_INIT, &zero, nullptr);
        if (rc == SD_FRAME_OK) {
            rc = context_request(ctx, DVSD_IOCTL2_GET_CTX_ADDR, nullptr, &output);
        }
    }
    uint64_t address = 0;
    if (rc == SD_FRAME_OK && (!parse_u64(output.c_str(), &address) || address == 0)) {
        rc = SD_FRAME_DATA_ERROR;
        cli_outcome(ctx, rc);
    }
    if (rc != SD_FRAME_OK) return -1;
    ctx->ctx_addr = address;
    ctx->auto_reconnect = true;
    ctx->frame.repair_enabled = true;
    ctx->frame.repair = [ctx](sd_frame_conn*, size_t* out_len) {
        return client_fix_last_error(ctx, out_len);
    };
    ctx->frame.repair_posted = [ctx](sd_frame_conn*) { return client_fix_posted(ctx); };
    return 0;
}

int cli_pipe_arm(dvsd_cli_ctx* ctx) {
    if (ctx->pipe_armed || !ctx->frame.repair_enabled || ctx->frame.window <= 1) return 0;
    ctx->pipe_armed = true;
    // Requests sent ahead need the server to keep their responses for a replay: as many as the
    // window, in as many bytes as it grants. Asked for only once requests go ahead, so that a
    // connection working one exchange at a time costs the server no copies.
    const std::string depth = std::to_string(ctx->frame.window);
    std::string output;
    uint64_t granted = 0;
    uint64_t bytes = 0;
    const int rc = context_request(ctx, DVSD_IOCTL2_CTX_PIPE, &depth, &output);
    if (rc == SD_FRAME_OK &&
        sscanf(output.c_str(), "%llu %llu", reinterpret_cast<unsigned long long*>(&granted),
               reinterpret_cast<unsigned long long*>(&bytes)) == 2 &&
        granted >= 1) {
        ctx->frame.window = ctx->frame.window_max =
            static_cast<uint32_t>(std::min<uint64_t>(granted, ctx->frame.window));
        ctx->frame.window_bytes = std::min<size_t>(ctx->frame.window_bytes, bytes);
    } else {
        // Without responses kept, a break could not be repaired with several on the way.
        ctx->frame.window = ctx->frame.window_max = 1;
    }
    CLI_LOG(LOG_DBG, "pipe window=%u bytes=%zu with repair\n", ctx->frame.window,
            ctx->frame.window_bytes);
    // A refusal leaves one exchange at a time; only a broken connection fails the post.
    return rc == SD_FRAME_SRV_ERROR || rc == SD_FRAME_DATA_ERROR ? SD_FRAME_OK : rc;
}

int dvsd_cli_clear_auto_reconnect(dvsd_cli_ctx* ctx) {
    if (ctx == nullptr) return -1;
    ctx->auto_reconnect = false;
    ctx->frame.repair_enabled = false;
    return 0;
}
