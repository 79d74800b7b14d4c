// TCP and UDP client sockets: name resolution, a connect bounded by a time-out that the caller can
// cancel, and the plain socket operations.
//
// A socket handle is the descriptor + 1, so that 0 means "no socket". Every socket made here is
// non-blocking and close-on-exec. Failures leave a verr code and an explanation in the caller's
// error sink (`err`, may be null); they are also logged at the debug level (tag "net").
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "libpal/verr.h"

using sock_handle = intptr_t;

// Descriptor of a handle (-1 for 0) and handle of a descriptor (0 for a negative one).
inline int sock_fd(sock_handle sock) {
    return static_cast<int>(sock) - 1;
}
inline sock_handle sock_from_fd(int fd) {
    return fd < 0 ? 0 : static_cast<sock_handle>(fd) + 1;
}

// The status of a wait given up because the user (or another thread) asked to stop.
inline constexpr verr VERR_NET_USER_STOP = -70;

// Lets a caller end a connect, read or write that is waiting. Owned by the caller and shared by
// every operation it is passed to; `stop` and the callback may be changed by other threads while
// an operation runs. Every wait notices within its slice (200 ms connect, 300 ms read, 500 ms
// write).
struct sock_cancel {
    std::atomic<uint32_t> stop{0};  // nonzero asks every wait to give up
    // Optional: called from the waiting thread with `context` and the current time-out in ms;
    // nonzero asks to give up.
    int (*callback)(void* context, int32_t timeout_ms) = nullptr;
    void* context = nullptr;
};

// True when `cancel` (may be null) asks to give up.
bool sock_cancel_requested(sock_cancel* cancel, int32_t timeout_ms);

// Proxy profile (libconf/ini/conf_proxy.h).
struct conf_proxy;

struct sock_opt {
    int32_t connect_timeout_ms = 0;     // longest time for the connect (<= 0: one attempt only)
    uint32_t sock_bufsize = 0;          // nonzero: receive and send buffer sizes
    uint32_t no_wait = 0;               // nonzero: start the connect, do not wait for it
    const conf_proxy* proxy = nullptr;  // null or of type none: direct connection
    sock_cancel* cancel = nullptr;
};

// Connects to `host` (an IPv4 or IPv6 literal, brackets allowed, or a name) on the low 16 bits of
// `port`. A name that resolves to several addresses is tried address by address within the one
// time-out; a refusal moves on to the next address at once. Returns the socket handle, or 0 with
// the error sink holding:
//   VERR_INVALID_PARAMETER  "addrinfo_addr %s failed"      the host does not resolve
//   os error                "os_socket_init error: ..."    no socket could be made
//   os error                "connect ADDRESS: ..."         the peer refused, unreachable, ...
//   VERR_TIMEOUT            "connect ADDRESS timeout"      no answer within connect_timeout_ms
//   VERR_NET_USER_STOP      "User request stop"            the cancel hook asked to stop
// With a proxy in `opt` the whole connect goes through proxy_tcp_connect (libnet/proxy_cli.h),
// which adds the failures of the proxy's handshake.
// With `no_wait` the connect is only started: the handle is returned while it is in progress.
// `opt` may be null (no time-out wait beyond one attempt, no options). Any thread.
sock_handle sock_tcp_connect(const char* host, uint32_t port, const sock_opt* opt, err_info* err);

// A UDP socket connected to `host`:`port` (one address). 0 on failure, as above.
sock_handle sock_udp_open(const char* host, uint32_t port, err_info* err);

// Shuts down reading (SHUT_RD), writing (SHUT_WR) or both (SHUT_RDWR). 0 or a status code.
int sock_shutdown(sock_handle sock, int how);
// Shuts down both directions and closes; 0 for a null handle too.
int sock_close(sock_handle sock);

// One send or receive without waiting (never raises SIGPIPE): the count, or a negative status
// code (VERR_TRY_AGAIN when nothing can move now, VERR_INTERRUPTED for a signal). errno is still
// the failed call's when it returns, for a log line that names the system's error number.
ptrdiff_t sock_send(sock_handle sock, const void* buf, size_t len);
ptrdiff_t sock_recv(sock_handle sock, void* buf, size_t len);
ptrdiff_t sock_sendto(sock_handle sock, const void* buf, size_t len, const void* address,
                      size_t address_len);
ptrdiff_t sock_recvfrom(sock_handle sock, void* buf, size_t len, void* address,
                        size_t* address_len);
