// Inside the file server: the state a client's requests work on and the request handlers' seams.
//
// A server context (srv_context) holds everything a client's requests create: its open files and
// directories, its packer, its lister and worker. A connection works on one context; a context can
// outlive its connection and be attached by the same user's next connection, so file and directory
// numbers stay valid across a reconnect.
//
// Handlers fill a reply (srv_reply_begin first, then the fields of the request's reply table) and
// never write to the network; the connection's loop sends what they built.
//
// Threads: a context is worked on by one connection thread at a time. Only the members marked
// "any thread" may be touched from another connection (the context requests of a repair).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "libdvsd/sd_frame.h"
#include "libdvsrv/dvsrv.h"
#include "liblog/log2.h"
#include "libnet/net_sock.h"
#include "libpack/pack_ex.h"
#include "libpal/verr.h"
#include "librdir/dst_writer.h"

struct os_root;

// The server's log lines.
#define SRV_LOG(level, ...) DV_LOG("dvsd", level, __VA_ARGS__)

// Open files and directories of a context (srv_file.h).
struct srv_files;
struct srv_files_deleter {
    void operator()(srv_files* files) const;
};
// Made empty with the context; nullptr when memory ran out.
srv_files* srv_files_new();
// The lister and the batch worker of a context (srv_batch.cc).
struct srv_batch;
struct srv_batch_deleter {
    void operator()(srv_batch* batch) const;
};
// Made empty with the context (nothing runs until a client opens a lister or worker).
srv_batch* srv_batch_new();

// Largest amount one read or write request moves: every packed reply and request fits a frame.
inline constexpr size_t SRV_MAX_BLOCK = (size_t{16} << 20) - (size_t{1} << 20);
// Most bytes of earlier responses a context keeps for a replay (108): the window in bytes a client
// sending ahead may have in flight. All contexts of one user together keep at most
// SRV_MAX_KEPT_BYTES_USER, all of the server's SRV_MAX_KEPT_BYTES_SERVER: beyond them a context
// keeps fewer (a break then reaches back less far and may end the client's job, never run a
// request twice).
inline constexpr size_t SRV_MAX_KEPT_BYTES = size_t{32} << 20;
inline constexpr size_t SRV_MAX_KEPT_BYTES_USER = size_t{256} << 20;
inline constexpr size_t SRV_MAX_KEPT_BYTES_SERVER = size_t{1} << 30;
// Largest buffer a client may ask of the batch worker (10130) and largest output (olen) of a
// control request with output.
inline constexpr size_t SRV_MAX_WORKER_BUFFER = size_t{8} << 20;
inline constexpr size_t SRV_MAX_OUTPUT = SRV_MAX_BLOCK;
// Longest wait a client may ask of the lister or the worker (10123, 10132).
inline constexpr int SRV_MAX_WAIT_MS = 5000;
// The text of the VERR_WRITE_PROTECT refusal of a read-only login.
inline constexpr char SRV_READ_ONLY_TEXT[] = "write-protect: read-only access";

// A count (descriptors, bytes) against a cap, shared by all it covers (any thread).
struct srv_quota final {
    explicit srv_quota(size_t limit) : cap(limit) {}
    const size_t cap;
    std::atomic<size_t> used{0};

    // `k` more, unless that goes beyond the cap.
    bool take(size_t k = 1) {
        size_t n = used.load();
        do {
            if (k > cap - std::min(n, cap)) return false;
        } while (!used.compare_exchange_weak(n, n + k));
        return true;
    }
    void give(size_t k = 1) { used.fetch_sub(k); }
};

// The caps on the files and directories a context's client holds open: its own, and the shares
// of its user (all of the user's connections and kept contexts together) and of the server.
struct srv_fd_caps {
    size_t context = 1024;
    std::shared_ptr<srv_quota> user;    // null: no cap
    std::shared_ptr<srv_quota> server;  // null: no cap
};

struct srv_context;
void srv_drop_kept(srv_context& ctx);

// The shares of kept responses a context's bytes count against: its user's and the server's.
struct srv_kept_caps {
    std::shared_ptr<srv_quota> user;    // null: no cap
    std::shared_ptr<srv_quota> server;  // null: no cap
};

struct srv_context final {
    srv_context() = default;
    srv_context(const srv_context&) = delete;
    srv_context& operator=(const srv_context&) = delete;
    ~srv_context() { srv_drop_kept(*this); }

    // Fixed when the context is made.
    const dvsrv_conf* conf = nullptr;  // the server's settings
    const os_root* root = nullptr;     // the served root: every client path resolves beneath it
    std::string user;                  // who logged in ("" for an anonymous client)
    // The login may read only: requests that could change the tree are refused (set by a login).
    bool read_only = false;

    // Caps on open files and directories (set by the server; the user's share changes with a
    // login as another user, and what is open stays charged where it was taken).
    srv_fd_caps fd_caps;

    // The packer of packed data fields ("lz4" until the client chooses, 10001).
    zcomp_ctx pack;

    // Both made with the context, never null, and released with it (the batch's threads end first).
    std::unique_ptr<srv_files, srv_files_deleter> files;
    std::unique_ptr<srv_batch, srv_batch_deleter> batch;

    // Repair bookkeeping (srv_context.cc, srv_conn.cc).
    uint64_t serial = 0;      // names the context in the log (the address is the client's secret)
    uint64_t address = 0;     // 0 until a client asks for it (102)
    bool persistent = false;  // kept for a re-attach after its connection ends (101)
    std::atomic<uint64_t> completed{
        0};  // requests completed, counted as the client counts its sends
    // The response to the last request completed, kept until the next one is answered: a client
    // whose connection broke asks for it again (105).
    sd_frame_msg reply;
    uint8_t reply_code = 0;
    // A client that sends requests ahead (108) may lose several responses at once: the ones
    // before the last, up to pipe_depth - 1 of them and SRV_MAX_KEPT_BYTES, oldest first.
    struct kept_reply {
        uint64_t index = 0;
        uint8_t code = 0;
        std::vector<uint8_t> root;
    };
    uint32_t pipe_depth = 1;  // responses kept for a replay, the last one included
    std::deque<kept_reply> kept;
    size_t kept_bytes = 0;
    srv_kept_caps kept_caps;             // where kept_bytes are counted (set with the user)
    std::atomic<bool> executing{false};  // any thread: a request of this context is running
    std::mutex mutex;                    // protects `handle` and `last_used_ms`
    net_handle* handle = nullptr;        // the connection working on the context now, if any
    int64_t last_used_ms = 0;            // monotonic; for the expiry of detached contexts
};

// Keeps `root`, the response to request number `index` (code `code`), for a replay: the last
// pipe_depth responses within SRV_MAX_KEPT_BYTES and the context's shares of its user's and the
// server's bytes, oldest dropped first. What cannot be kept leaves none kept (a replay could not
// reach back past it anyway).
void srv_keep_reply(srv_context& ctx, uint64_t index, uint8_t code, std::span<const uint8_t> root);
// srv_drop_kept(ctx): drops the kept responses and gives their bytes back.

// A new context with an empty file table, an idle batch and the "lz4" packer; nullptr when memory
// ran out. `conf` and `root` must outlive it.
std::shared_ptr<srv_context> srv_context_new(const dvsrv_conf* conf, const os_root* root,
                                             std::string user);

// What the context's client may set of owners and modes: owners only when the server runs as
// root and the client logged in with credentials, set-id bits only with keep_setid=1 and the
// owner given. Every write path applies attributes through it.
rdir_attr_policy srv_attr_policy(const srv_context& ctx);

// Starts a reply: reset, then "errno" and "errno_str". False when the message could not be built.
bool srv_reply_begin(sd_frame_msg& reply, verr error, const char* text);
// A reply carrying only a failure: errno `error` and its text (the status's own text when null).
bool srv_reply_error(sd_frame_msg& reply, verr error, const char* text = nullptr);
// The status of errno `eno` (os_verr_get), and its text.
verr srv_errno_status(int eno);

// ---- srv_open.cc ----
//
// Frees the read buffer of the context's files (a quiet connection; the next read makes it again).
void srv_file_release_buffers(srv_context& ctx);

// ---- srv_batch.cc ----
//
// Stops (from any thread) whatever wait of the lister or worker runs for the context, so that a
// request blocked in it returns promptly (107, server stop).
void srv_batch_interrupt(srv_context& ctx);
// Closes the lister and the worker (the context changed hands: what they were opened with, such
// as the attribute policy, no longer holds).
void srv_batch_close(srv_context& ctx);
