// Net handles over sockets and their timed reads and writes, and the byte stream interface that
// the protocol layers read and write through.
//
// A read or write waits in slices (300 ms reading, 500 ms writing) so that a stop is seen
// promptly, and gives up when no byte has moved for the handle's time-out: the time-out counts
// from the last progress, so a long transfer on a slow link goes on while bytes keep arriving.
// A reader that must not be held by a peer trickling bytes sets a read deadline as well: reads
// end at it whatever their progress.
// A handle is used by one thread at a time; `stop` and the cancel hook may be set by any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "libnet/sock_cli.h"
#include "libpal/verr.h"

// Kinds of net handle: what carries its bytes.
enum net_kind : int {
    NET_KIND_SOCK = 0,
    NET_KIND_SOCK_SRV = 1,
    NET_KIND_STDIO = 2,
    NET_KIND_PIPE_SRV = 3,
    NET_KIND_PIPE_CLI = 4,
    NET_KIND_SERIAL = 5,
    NET_KIND_MEM = 6,
};

struct net_handle;

// Replacements for the read and write of a socket handle that carries TLS: whole-buffer
// operations with the contract of net_sock_read / net_sock_write.
using net_read_hook = ptrdiff_t (*)(net_handle* handle, void* buf, size_t len);
using net_write_hook = ptrdiff_t (*)(net_handle* handle, const void* buf, size_t len);
// Releases the TLS channel of a handle (`handle->ssl`); called by net_close before the socket
// is closed, so that the channel may still say goodbye on it.
using net_free_hook = void (*)(net_handle* handle);

struct net_handle {
    int kind = NET_KIND_SOCK;
    sock_handle sock = 0;                 // owned: closed by net_close
    void* ssl = nullptr;                  // TLS channel of a socket handle, owned through free_hook
    net_read_hook read_hook = nullptr;    // null: the process-wide TLS read procedure
    net_write_hook write_hook = nullptr;  // null: the process-wide TLS write procedure
    net_free_hook free_hook = nullptr;    // releases `ssl`; null: nothing to release
    // Descriptors of the other carriers, not owned (the opener closes them): the named pipe of
    // either side and the serial line read from `fd`; the serving side of a pipe writes to
    // `write_fd`, every other kind writes to `fd`.
    int fd = -1;
    int write_fd = -1;
    // The memory buffer: bytes written and not yet dropped, and how many of them were read.
    std::vector<uint8_t> mem;
    size_t mem_read = 0;
    int32_t timeout_ms = 0;         // longest wait without progress; <= 0: never wait
    std::atomic<uint32_t> stop{0};  // nonzero: every wait gives up with VERR_NET_USER_STOP
    sock_cancel* cancel = nullptr;  // not owned; may be null
    bool disconnected = false;      // the peer has closed; sticky until net_reset
    // When set, reads end at this time however the bytes trickle in (VERR_TIMEOUT, as the idle
    // time-out). Set and cleared by the handle's reader; net_reset clears it.
    std::optional<std::chrono::steady_clock::time_point> read_deadline;
    // Outcome of the last read or write: 0 when every byte moved, else why it stopped short:
    // VERR_TIMEOUT, VERR_NET_USER_STOP, VERR_NET_NOT_CONNECTED (peer closed) or the socket's
    // error.
    verr status = 0;
};

// Reads up to `len` bytes, waiting for all of them. Returns `len`; fewer (possibly 0) when no
// byte arrived for timeout_ms, the read deadline passed (nothing is read once it has) or the
// peer closed in between (then the handle is disconnected);
// -1 on a socket error, on a disconnected handle, or when a stop was asked for while waiting.
// `handle->status` says which.
ptrdiff_t net_sock_read(net_handle* handle, void* buf, size_t len);

// Writes `len` bytes, waiting while the socket cannot take more. Returns `len`; fewer when no byte
// could be written for timeout_ms ("write timeout"); -1 on a socket error (a closed peer included,
// without SIGPIPE), on a disconnected handle, or a stop. `handle->status` says which.
ptrdiff_t net_sock_write(net_handle* handle, const void* buf, size_t len);

// Clears stop, disconnected and status.
void net_reset(net_handle* handle);

// Closes a handle and resets it. Socket kinds release the TLS channel (through free_hook) and
// then close the socket; the memory buffer is freed; standard input and output and named pipes
// have nothing of their own to close. 0, or -1 for a serial line (its opener closes it) and an
// unknown kind.
int net_close(net_handle* handle);

// Reads through the handle's carrier; the caller's thread. Returns the count (fewer than `len`
// when the carrier ran dry, timed out or closed), or -1 on an error, a stop, a disconnected
// handle or an unknown kind. By kind:
//   socket        without TLS as net_sock_read; with `ssl` through read_hook, else the
//                 process-wide procedure of net_ssl_set_proc; -1 when neither is there
//   stdio         a buffered read of up to `len` bytes from standard input (fewer at its end)
//   pipe          one read of what the pipe holds, waiting up to timeout_ms for the first byte;
//                 0 when nothing came or the writer has gone (then the handle is disconnected)
//   serial line   waits up to timeout_ms for data, then reads until `len` bytes, a zero read or
//                 timeout_ms without a byte
//   memory        copies out up to `len` unread bytes; 0 when all was read
ptrdiff_t net_read(net_handle* handle, void* buf, size_t len);

// Writes through the handle's carrier; the caller's thread. A write of 0 bytes returns 0 without
// touching it. Returns `len`, fewer when the carrier took no byte for timeout_ms (a serial line
// waits at least one second), or -1 on an error, a stop, a disconnected handle or an unknown
// kind. Socket kinds as net_read; stdio writes and flushes standard output; the memory buffer
// drops the bytes already read, then appends (bytes written and not yet read are kept).
ptrdiff_t net_write(net_handle* handle, const void* buf, size_t len);

// Installs the TLS hooks of one handle (any may be null). The handle's thread.
void net_set_hooks(net_handle* handle, net_read_hook read_hook, net_write_hook write_hook,
                   net_free_hook free_hook = nullptr);

// Registers the process-wide TLS read and write procedures, used by TLS handles without hooks of
// their own. Call it before connections start; later calls replace them for later reads.
void net_ssl_set_proc(net_read_hook read_proc, net_write_hook write_proc);

// The client TLS handshake that net_open runs for tcps:// and https:// on a freshly connected
// socket handle, installing the channel on it: 0, or -1 after logging why (the socket is then
// the caller's to close). Registered by the TLS library, which sits above this one.
using net_tls_connect_hook = int (*)(net_handle* handle, int32_t timeout_ms);
// Registers (or, with null, removes) the TLS handshake of net_open. Call it before connections
// start.
void net_tls_set_connect(net_tls_connect_hook hook);

// Opens `handle` (closed or new) on `url` with `timeout_ms` as the connect time-out and the
// handle's time-out:
//   "net://mem"                     a memory buffer (kind 6)
//   tcp://HOST:PORT                 a TCP connection (kind 0); the port is required
//   http://HOST[:PORT]              the same, port 80 by default
//   tcps://..., https://... (443)   TLS over TCP through the registered handshake (every cipher
//                                   suite, the certificate not checked); refused before any
//                                   connect while none is registered
// The connection goes through the proxy that conf_proxy_get chooses from the query keys
// "proxy_url" (a proxy URL as text) and "proxy" (a profile name), or from `http_proxy`; a proxy
// that cannot be chosen fails the open. Returns 0, or -1 after logging why (the handle is then
// left closed). The caller's thread.
int net_open(net_handle* handle, const char* url, int32_t timeout_ms);

// Shuts down the process-wide networking state (there is none to release today).
void libnet_exit();

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
    // Bounds the reads that follow to end by `deadline` (VERR_TIMEOUT) however slowly bytes
    // arrive; none lifts the bound. Streams without a clock of their own ignore it.
    virtual void set_read_deadline(std::optional<std::chrono::steady_clock::time_point> deadline) {
        (void)deadline;
    }
    // How long a read may wait without progress, in ms; 0 when the stream does not say.
    virtual int32_t read_timeout_ms() const { return 0; }
};

// The stream of a socket net handle, which must outlive it: through the handle's TLS channel when
// it has one (net_read / net_write), else straight on the socket.
class net_sock_stream final : public net_stream {
  public:
    explicit net_sock_stream(net_handle* handle) : handle_(handle) {}
    verr read_full(std::span<uint8_t> buf, size_t* done) override;
    verr write_full(std::span<const uint8_t> buf, size_t* done) override;
    void set_read_deadline(std::optional<std::chrono::steady_clock::time_point> deadline) override {
        handle_->read_deadline = deadline;
    }
    int32_t read_timeout_ms() const override { return handle_->timeout_ms; }

  private:
    net_handle* handle_;
};
