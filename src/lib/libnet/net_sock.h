// Net handles over sockets and their timed reads and writes, and the byte stream interface that
// the protocol layers read and write through.
//
// A read or write waits in slices (300 ms reading, 500 ms writing) so that a stop is seen
// promptly, and gives up when no byte has moved for the handle's time-out: the time-out counts
// from the last progress, so a long transfer on a slow link goes on while bytes keep arriving.
// A handle is used by one thread at a time; `stop` and the cancel hook may be set by any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "libnet/sock_cli.h"
#include "libpal/verr.h"

// Kinds of net handle. Only the socket kinds are served by this module.
enum net_kind : int {
    NET_KIND_SOCK = 0,
    NET_KIND_SOCK_SRV = 1,
    NET_KIND_STDIO = 2,
    NET_KIND_PIPE_SRV = 3,
    NET_KIND_PIPE_CLI = 4,
    NET_KIND_SERIAL = 5,
    NET_KIND_MEM = 6,
};

struct net_handle {
    int kind = NET_KIND_SOCK;
    sock_handle sock = 0;           // owned: closed by net_close
    int32_t timeout_ms = 0;         // longest wait without progress; <= 0: never wait
    std::atomic<uint32_t> stop{0};  // nonzero: every wait gives up with VERR_NET_USER_STOP
    sock_cancel* cancel = nullptr;  // not owned; may be null
    bool disconnected = false;      // the peer has closed; sticky until net_reset
    // Outcome of the last read or write: 0 when every byte moved, else why it stopped short:
    // VERR_TIMEOUT, VERR_NET_USER_STOP, VERR_NET_NOT_CONNECTED (peer closed) or the socket's
    // error.
    verr status = 0;
};

// Reads up to `len` bytes, waiting for all of them. Returns `len`; fewer (possibly 0) when no
// byte arrived for timeout_ms or the peer closed in between (then the handle is disconnected);
// -1 on a socket error, on a disconnected handle, or when a stop was asked for while waiting.
// `handle->status` says which.
ptrdiff_t net_sock_read(net_handle* handle, void* buf, size_t len);

// Writes `len` bytes, waiting while the socket cannot take more. Returns `len`; fewer when no byte
// could be written for timeout_ms ("write timeout"); -1 on a socket error (a closed peer included,
// without SIGPIPE), on a disconnected handle, or a stop. `handle->status` says which.
ptrdiff_t net_sock_write(net_handle* handle, const void* buf, size_t len);

// Clears stop, disconnected and status.
void net_reset(net_handle* handle);

// Closes the socket of a socket handle and resets it; 0, or -1 for a kind this module does not
// serve.
int net_close(net_handle* handle);

// A byte stream that frames travel on. Implementations: a socket net handle (below), and whatever
// a test or a server needs. Used by one thread at a time.
class net_stream {
  public:
    virtual ~net_stream() = default;
    // Reads exactly `buf.size()` bytes. 0 when all arrived, else the reason it stopped short
    // (as net_handle::status); `*done` receives the bytes read either way.
    virtual verr read_full(std::span<uint8_t> buf, size_t* done) = 0;
    // Writes exactly `buf.size()` bytes; as read_full.
    virtual verr write_full(std::span<const uint8_t> buf, size_t* done) = 0;
};

// The stream of a socket net handle, which must outlive it.
class net_sock_stream final : public net_stream {
  public:
    explicit net_sock_stream(net_handle* handle) : handle_(handle) {}
    verr read_full(std::span<uint8_t> buf, size_t* done) override;
    verr write_full(std::span<const uint8_t> buf, size_t* done) override;

  private:
    net_handle* handle_;
};
