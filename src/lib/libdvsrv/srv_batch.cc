// The lister and the batch worker a client drives through control requests with output: the
// client opens them on the served root, feeds them directories and lists, and collects their
// blocks. Everything they touch is resolved beneath the served root by the lister and the worker
// themselves; this file checks the control texts, caps what a client may ask (buffer sizes, waits)
// and keeps every wait short enough for a repair or a server stop to end it.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_wire.h"
#include "libdvsrv/srv_handlers.h"
#include "libdvsrv/srv_session.h"
#include "liblog/log2.h"
#include "librdir/librdir.h"
#include "librdir/mfile.h"
#include "librdir/misc.h"
#include "librdir/stat_line.h"

namespace {

// Longest a worker collection waits for more results after its first ones.
constexpr int kGatherMs = 50;

// A client's wait is served in slices of at most this long, so that an interrupt ends it well
// within the second a repairing client gives the old request before asking whether it still runs.
constexpr int kSliceMs = 200;
// The wait of a lister opened with time-out 0: the lister's own default.
constexpr int kListerDefaultWaitMs = 3000;
// The smallest buffer the worker works with: a failure block.
constexpr uint32_t kWorkerBufferMin = MFILE_FAIL_BLOCK_SIZE;
// A listing read needs room for the stream prefix and at least one byte.
constexpr size_t kListerOutputMin = 2;
// The most one listing read reserves, whatever output the client allows: the lister hands over
// at most 32 KiB of a stream at a time, so a reply never holds more.
constexpr size_t kListerReplyMax = size_t{64} << 10;
// The most one collection of worker results reserves beyond the worker's buffer: a few of its
// largest blocks (and at least 1 MiB), so that a reply is sized by what the worker can hand over,
// not by the output a client allows.
constexpr size_t kWorkerReplyBlocks = 4;
constexpr size_t kWorkerReplyMin = size_t{1} << 20;
// What a client may have posted and not yet run, beyond which a post is refused until it reads.
// The lister and the worker take posts without waiting and hold them until their turn, so a
// client that posts and never reads would otherwise grow the server without end. A client
// posts one directory at a time and worker lists of a frame at most, one or two ahead.
constexpr size_t kListerPostedMax = size_t{1} << 20;
constexpr uint64_t kWorkerPendingMax = uint64_t{2} * SD_FRAME_MAX_SIZE;

// The slice a wait of `wait_ms` is served in: equal slices of at most kSliceMs that add up to the
// whole wait, so that the last one does not run past it.
int slice_of(int wait_ms) {
    const int slices = std::max(1, (wait_ms + kSliceMs - 1) / kSliceMs);
    return (wait_ms + slices - 1) / slices;
}

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

struct srv_batch {
    // The context's thread only (srv_batch_control, the deleter).
    librdir_handle* lister = nullptr;
    int lister_wait_ms = 0;  // how long one 10123 waits for listing data
    libmfile_handle* worker = nullptr;
    int worker_wait_ms = 0;        // how long one 10132 waits for results
    int32_t worker_posted = 0;     // the control code of the last command posted to the worker
    uint32_t worker_buffer = 0;    // the worker's buffer: its largest result block
    uint64_t interrupts_seen = 0;  // interrupts already answered by ending a wait
    // Any thread: counts srv_batch_interrupt calls.
    std::atomic<uint64_t> interrupts{0};
};

namespace {

void close_lister(srv_batch& batch) {
    librdir_close(batch.lister);
    batch.lister = nullptr;
}

void close_worker(srv_batch& batch) {
    libmfile_close(batch.worker);
    batch.worker = nullptr;
}

// An interrupt not yet answered ends the wait that sees it first. One that came while nothing
// waited ends the next wait early, once: that reply is merely empty, while missing an interrupt
// that raced with the start of a wait would keep a repairing client waiting.
bool take_interrupt(srv_batch& batch) {
    const uint64_t count = batch.interrupts.load();
    if (count == batch.interrupts_seen) return false;
    batch.interrupts_seen = count;
    return true;
}

// Calls `read` (which waits at most one slice) until it delivers, `wait_ms` have passed or the
// context is interrupted. The bytes delivered, or 0.
template <typename Read>
int wait_for(srv_batch& batch, int wait_ms, Read read) {
    const int64_t deadline = now_ms() + wait_ms;
    for (;;) {
        const int n = read();
        if (n > 0) return n;
        if (take_interrupt(batch) || now_ms() >= deadline) return 0;
    }
}

// The text of a control request: the bytes before its terminating zero, or all of them when it
// has none. Nothing when anything but zeros follows the first zero: such a text was not meant.
std::optional<std::string> control_text(std::span<const uint8_t> data) {
    const std::string_view bytes(reinterpret_cast<const char*>(data.data()), data.size());
    const size_t end = bytes.find('\0');
    if (end == std::string_view::npos) return std::string(bytes);
    if (bytes.find_first_not_of('\0', end) != std::string_view::npos) return std::nullopt;
    return std::string(bytes.substr(0, end));
}

// A clean signed decimal of 32 bits.
std::optional<int32_t> parse_int(std::string text) {
    int32_t value = 0;
    const scan_dest dest[] = {&value};
    if (text.find(RDIR_FIELD_SEP) != std::string::npos ||
        str_scan_fields(text.data(), RDIR_FIELD_SEP, "int", dest) != 1) {
        return std::nullopt;
    }
    return value;
}

// A clean hexadecimal of 32 bits.
std::optional<uint32_t> parse_hex(std::string text) {
    uint32_t value = 0;
    const scan_dest dest[] = {&value};
    if (text.find(RDIR_FIELD_SEP) != std::string::npos ||
        str_scan_fields(text.data(), RDIR_FIELD_SEP, "x32", dest) != 1) {
        return std::nullopt;
    }
    return value;
}

bool reply_empty(sd_frame_msg& reply) {
    return srv_reply_begin(reply, 0, "") &&
           reply.add_field(BLOBMSG_TYPE_BINARY, SDF_DATA, nullptr, 0);
}

bool reply_bad_text(sd_frame_msg& reply, int32_t cmd, const char* expected) {
    char text[128];
    std::snprintf(text, sizeof(text), "control %d: bad text, expected %s", cmd, expected);
    return srv_reply_error(reply, VERR_INVALID_PARAMETER, text);
}

// Starts a successful reply whose data field the caller fills in place (at most `capacity`
// bytes); nullptr, with the reply made a failure, when it cannot be had.
uint8_t* reply_reserve(sd_frame_msg& reply, size_t capacity, blob_attr** field) {
    *field = srv_reply_begin(reply, 0, "") ? reply.reserve(SDF_DATA, capacity) : nullptr;
    if (*field == nullptr) {
        srv_reply_error(reply, VERR_NO_MEMORY, "no memory for the output");
        return nullptr;
    }
    return blobmsg_data(*field);
}

// ---- the lister ----

// 10120 "directory\tflag\ttime-out": the directory is what comes before the last two tabs.
void lister_open(srv_context& ctx, const std::string& text, sd_frame_msg& reply) {
    srv_batch& batch = *ctx.batch;
    const size_t wait_tab = text.rfind(RDIR_FIELD_SEP);
    const size_t flag_tab = wait_tab == std::string::npos || wait_tab == 0
                                ? std::string::npos
                                : text.rfind(RDIR_FIELD_SEP, wait_tab - 1);
    if (flag_tab == std::string::npos) {
        reply_bad_text(reply, SD_CTL_RDIR_OPEN, "directory, flag and time-out");
        return;
    }
    const std::string dir = text.substr(0, flag_tab);
    const auto flag = parse_hex(text.substr(flag_tab + 1, wait_tab - flag_tab - 1));
    const auto wait_ms = parse_int(text.substr(wait_tab + 1));
    if (!flag || !wait_ms || *wait_ms < 0) {
        reply_bad_text(reply, SD_CTL_RDIR_OPEN, "a hexadecimal flag and a time-out of 0 or more");
        return;
    }
    // A second open replaces the first, whether or not it succeeds: the client has moved on.
    close_lister(batch);
    const int wait = *wait_ms == 0 ? kListerDefaultWaitMs : std::min(*wait_ms, SRV_MAX_WAIT_MS);
    err_info err{};
    librdir_param param;
    param.flag = static_cast<int>(*flag);
    param.read_timeout_ms = slice_of(wait);
    param.err = &err;
    param.root = ctx.root;
    param.list_stale_temps = (*flag & RDIR_FLAG_STALE_TEMPS) != 0;
    batch.lister = librdir_open(dir.c_str(), &param);
    if (batch.lister == nullptr) {
        const verr status = err.code != 0 ? err.code : VERR_GENERAL_FAILURE;
        SRV_LOG(LOG_DBG, "user=[%s] lister open [%s] ret=%d\n", ctx.user.c_str(), dir.c_str(),
                status);
        srv_reply_error(reply, status, err_info_str(&err));
        return;
    }
    batch.lister_wait_ms = wait;
    reply_empty(reply);
}

// 10122 "directory": the whole text, tabs included, names the directory.
void lister_enum(srv_context& ctx, const std::string& dir, sd_frame_msg& reply) {
    if (librdir_posted_bytes(ctx.batch->lister) + dir.size() > kListerPostedMax) {
        srv_reply_error(reply, VERR_TRY_AGAIN,
                        "too many directories posted to the lister: read its listings first");
        return;
    }
    const int ret = librdir_enum_dir(ctx.batch->lister, dir.c_str());
    if (ret < 0) {
        srv_reply_error(reply, ret, "the listing could not be started");
        return;
    }
    reply_empty(reply);
}

// 10123: whole blocks of one stream, prefix included, or nothing when no data came in time.
void lister_read(srv_context& ctx, uint32_t olen, sd_frame_msg& reply) {
    srv_batch& batch = *ctx.batch;
    const size_t capacity = std::min<size_t>(olen, SRV_MAX_OUTPUT);
    if (capacity < kListerOutputMin) {
        srv_reply_error(reply, VERR_BUFFER_OVERFLOW, "output too small for a listing block");
        return;
    }
    const size_t room = std::min(capacity, kListerReplyMax);
    blob_attr* field = nullptr;
    uint8_t* out = reply_reserve(reply, room, &field);
    if (out == nullptr) return;
    const int n = wait_for(batch, batch.lister_wait_ms, [&] {
        return librdir_read_item_list(batch.lister, reinterpret_cast<char*>(out),
                                      static_cast<int>(room));
    });
    reply.trim(field, static_cast<size_t>(n));
}

// ---- the worker ----

// 10130 "buffer size\ttime-out".
void worker_open(srv_context& ctx, const std::string& text, sd_frame_msg& reply) {
    srv_batch& batch = *ctx.batch;
    const size_t tab = text.find(RDIR_FIELD_SEP);
    const auto size = tab == std::string::npos ? std::nullopt : parse_int(text.substr(0, tab));
    const auto wait_ms = tab == std::string::npos ? std::nullopt : parse_int(text.substr(tab + 1));
    if (!size || !wait_ms || *size < 0 || *wait_ms < 0) {
        reply_bad_text(reply, SD_CTL_MFILE_OPEN, "a buffer size and a time-out of 0 or more");
        return;
    }
    // A larger buffer than the server grants is lowered to it rather than refused: batched files
    // stay far below it, and one that does not fit is refused per entry (-41), so nothing is lost.
    const uint32_t buffer = std::clamp(static_cast<uint32_t>(*size), kWorkerBufferMin,
                                       static_cast<uint32_t>(SRV_MAX_WORKER_BUFFER));
    const int wait = std::min(*wait_ms, SRV_MAX_WAIT_MS);
    close_worker(batch);
    err_info err{};
    libmfile_param param;
    param.max_mfile_size = buffer;
    param.root = ctx.root;
    const rdir_attr_policy policy = srv_attr_policy(ctx);
    param.policy = &policy;
    param.list_timeout_ms = slice_of(wait);
    param.err = &err;
    batch.worker = libmfile_open(&param);
    if (batch.worker == nullptr) {
        const verr status = err.code != 0 ? err.code : VERR_GENERAL_FAILURE;
        SRV_LOG(LOG_DBG, "user=[%s] worker open size=%u ret=%d\n", ctx.user.c_str(), buffer,
                status);
        srv_reply_error(reply, status, err_info_str(&err));
        return;
    }
    if (buffer != static_cast<uint32_t>(*size)) {
        SRV_LOG(LOG_DBG, "user=[%s] worker buffer %d set to %u\n", ctx.user.c_str(), *size, buffer);
    }
    batch.worker_wait_ms = wait;
    batch.worker_buffer = buffer;
    reply_empty(reply);
}

// 10132: whole result blocks, as many as fit the output, never the block that ends a command:
// the client counts one result per entry it sent, and a stray byte would read as one more. A
// block is never cut either: one that cannot fit the output would wait for ever, so the
// collection that finds it next is refused. Nothing is reserved until results are there.
void worker_results(srv_context& ctx, uint32_t olen, sd_frame_msg& reply) {
    srv_batch& batch = *ctx.batch;
    const size_t capacity = std::min<size_t>(olen, SRV_MAX_OUTPUT);
    uint32_t next = 0;
    const int slice = slice_of(std::max(batch.worker_wait_ms, 1));
    const bool ready = wait_for(batch, batch.worker_wait_ms, [&] {
                           return libmfile_next_length(batch.worker, slice, &next);
                       }) > 0;
    if (!ready) {
        reply_empty(reply);
        return;
    }
    if (next > capacity) {
        char text[128];
        std::snprintf(text, sizeof(text), "output of %u bytes below the next result block of %u",
                      olen, next);
        srv_reply_error(reply, VERR_BUFFER_OVERFLOW, text);
        return;
    }
    const size_t room = std::min(
        capacity,
        std::max<size_t>({kWorkerReplyBlocks * batch.worker_buffer, kWorkerReplyMin, next}));
    blob_attr* field = nullptr;
    uint8_t* out = reply_reserve(reply, room, &field);
    if (out == nullptr) return;
    // Each collection costs the client a round trip: once short answers flow, the reply waits a
    // little for the rest of the command's. File data is not held back: the client writes what
    // came while the next files are read.
    const int gather_ms = batch.worker_posted == SD_CTL_MFILE_READ ? 0 : kGatherMs;
    const int n = wait_for(batch, batch.worker_wait_ms, [&] {
        return libmfile_get_list_ret_gather(batch.worker, reinterpret_cast<char*>(out),
                                            static_cast<int>(room), gather_ms);
    });
    reply.trim(field, static_cast<size_t>(n));
}

uint32_t worker_command(int32_t cmd) {
    switch (cmd) {
        case SD_CTL_MFILE_READ:
            return MFILE_CMD_READ;
        case SD_CTL_MFILE_MKDIR:
            return MFILE_CMD_MKDIR;
        case SD_CTL_MFILE_WRITE:
            return MFILE_CMD_WRITE;
        case SD_CTL_MFILE_REMOVE:
            return MFILE_CMD_REMOVE;
        default:
            return MFILE_CMD_CLEAR_DIR;
    }
}

// 10133-10136 "base\tlist", "\tlist" or "base"; 10138 "base" or "base\t". An empty base keeps
// the worker's previous one. `text` is taken apart in place: lists are megabytes, copied once.
void worker_post(srv_context& ctx, int32_t cmd, std::string& text, sd_frame_msg& reply) {
    const size_t tab = text.find(RDIR_FIELD_SEP);
    if (cmd == SD_CTL_MFILE_EMPTY && tab != std::string::npos && tab + 1 < text.size()) {
        reply_bad_text(reply, cmd, "a base and no list");
        return;
    }
    // The worker's message: base and list, each with its terminating zero.
    if (tab == std::string::npos) {
        text.push_back('\0');
    } else {
        text[tab] = '\0';
    }
    text.push_back('\0');
    if (libmfile_pending_bytes(ctx.batch->worker) + text.size() > kWorkerPendingMax) {
        srv_reply_error(reply, VERR_TRY_AGAIN,
                        "too much work posted to the batch worker: collect its results first");
        return;
    }
    const int ret = libmfile_cmd_post(ctx.batch->worker, worker_command(cmd), text.data(),
                                      static_cast<uint32_t>(text.size()));
    if (ret < 0) {
        srv_reply_error(reply, ret, "the command could not be posted");
        return;
    }
    ctx.batch->worker_posted = cmd;
    reply_empty(reply);
}

}  // namespace

void srv_batch_deleter::operator()(srv_batch* batch) const {
    if (batch == nullptr) return;
    close_lister(*batch);
    close_worker(*batch);
    delete batch;
}

srv_batch* srv_batch_new() {
    return new (std::nothrow) srv_batch;
}

namespace {

// The lister or the worker a control works on must be open.
bool lister_open_for(srv_call& call) {
    if (call.ctx.batch->lister != nullptr) return true;
    srv_reply_error(call.reply, VERR_INVALID_STATE, "no directory lister is open");
    return false;
}

bool worker_open_for(srv_call& call) {
    if (call.ctx.batch->worker != nullptr) return true;
    srv_reply_error(call.reply, VERR_INVALID_STATE, "no batch worker is open");
    return false;
}

// The text of a control that takes one; false (answered) when there is none.
bool text_of(srv_call& call, std::optional<std::string>* text) {
    *text = control_text(call.data);
    if (*text) return true;
    reply_bad_text(call.reply, call.cmd, "a text without embedded zeros");
    return false;
}

}  // namespace

// Texts and lists are copied on their way to the lister and the worker: running out of memory is
// answered by the table. Closing and collecting take no text; whatever came with them is ignored.

void srv_ctl_rdir_open(srv_call& call) {
    std::optional<std::string> text;
    if (text_of(call, &text)) lister_open(call.ctx, *text, call.reply);
}

void srv_ctl_rdir_close(srv_call& call) {
    close_lister(*call.ctx.batch);
    reply_empty(call.reply);
}

void srv_ctl_rdir_enum(srv_call& call) {
    std::optional<std::string> text;
    if (lister_open_for(call) && text_of(call, &text)) lister_enum(call.ctx, *text, call.reply);
}

void srv_ctl_rdir_read(srv_call& call) {
    if (lister_open_for(call)) lister_read(call.ctx, call.olen, call.reply);
}

void srv_ctl_mfile_open(srv_call& call) {
    std::optional<std::string> text;
    if (text_of(call, &text)) worker_open(call.ctx, *text, call.reply);
}

void srv_ctl_mfile_close(srv_call& call) {
    close_worker(*call.ctx.batch);
    reply_empty(call.reply);
}

void srv_ctl_mfile_results(srv_call& call) {
    if (worker_open_for(call)) worker_results(call.ctx, call.olen, call.reply);
}

void srv_ctl_mfile_post(srv_call& call) {
    std::optional<std::string> text;
    if (worker_open_for(call) && text_of(call, &text)) {
        worker_post(call.ctx, call.cmd, *text, call.reply);
    }
}

void srv_batch_interrupt(srv_context& ctx) {
    if (ctx.batch) ctx.batch->interrupts.fetch_add(1);
}

void srv_batch_close(srv_context& ctx) {
    if (!ctx.batch) return;
    close_lister(*ctx.batch);
    close_worker(*ctx.batch);
}
