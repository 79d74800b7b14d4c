#include "libnet/sock_cli.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "liblog/log2.h"
#include "libnet/proxy_cli.h"

#define NET_LOG(level, ...) DV_LOG("net", level, __VA_ARGS__)

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int kConnectSliceMs = 200;

struct addrinfo_deleter {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using addrinfo_list = std::unique_ptr<addrinfo, addrinfo_deleter>;

// Closes the descriptor unless released: every failed set-up step leaves nothing open.
class socket_guard final {
  public:
    explicit socket_guard(int fd) : fd_(fd) {}
    ~socket_guard() {
        if (fd_ >= 0) ::close(fd_);
    }
    socket_guard(const socket_guard&) = delete;
    socket_guard& operator=(const socket_guard&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// A literal in brackets ("[::1]") is resolved without them.
std::string bare_host(const char* host) {
    std::string text = host == nullptr ? "" : host;
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
    }
    return text;
}

addrinfo_list resolve(const char* host, uint32_t port, int socktype, err_info* err) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socktype;
    hints.ai_protocol = socktype == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP;
    const std::string name = bare_host(host);
    const std::string service = std::to_string(port & 0xffffu);
    addrinfo* found = nullptr;
    int rc = name.empty() ? EAI_NONAME : getaddrinfo(name.c_str(), service.c_str(), &hints, &found);
    if (rc != 0 || found == nullptr) {
        NET_LOG(LOG_DBG, "addrinfo_addr %s failed: %s\n", name.c_str(), gai_strerror(rc));
        ERR_INFO_SET(err, VERR_INVALID_PARAMETER, "addrinfo_addr %s failed", name.c_str());
        return nullptr;
    }
    return addrinfo_list(found);
}

std::string address_text(const addrinfo* address) {
    char host[INET6_ADDRSTRLEN] = "?";
    char text[INET6_ADDRSTRLEN + 16];
    if (address->ai_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address->ai_addr);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        std::snprintf(text, sizeof text, "[%s]:%u", host, unsigned{ntohs(in6->sin6_port)});
    } else {
        const auto* in4 = reinterpret_cast<const sockaddr_in*>(address->ai_addr);
        inet_ntop(AF_INET, &in4->sin_addr, host, sizeof host);
        std::snprintf(text, sizeof text, "%s:%u", host, unsigned{ntohs(in4->sin_port)});
    }
    return text;
}

// The failure of an OS call, converted once, into the sink and the log.
void set_os_error(err_info* err, const char* what, const std::string& subject) {
    const int eno = errno;
    const verr code = os_errno_verr();
    NET_LOG(LOG_DBG, "%s %s: %s\n", what, subject.c_str(), os_strerror(eno));
    ERR_INFO_SET_DETAIL(err, code, os_strerror(eno), "%s%s", what, subject.c_str());
}

int new_socket(const addrinfo* address, int socktype, int protocol, err_info* err) {
    int fd = ::socket(address->ai_family, socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        const int eno = errno;
        ERR_INFO_SET_DETAIL(err, os_errno_verr(), os_strerror(eno), "os_socket_init error");
        NET_LOG(LOG_DBG, "os_socket_init error: %s\n", os_strerror(eno));
    }
    return fd;
}

void configure_tcp(int fd, const sock_opt& opt) {
    if (opt.sock_bufsize != 0) {
        int size = static_cast<int>(opt.sock_bufsize);
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
            NET_LOG(LOG_WARN, "OS_SOCKET_CTRL_SET_RECV_BUFF_SIZE %d error\n", size);
        }
        if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0) {
            NET_LOG(LOG_WARN, "OS_SOCKET_CTRL_SET_SEND_BUFF_SIZE %d error\n", size);
        }
    }
    int one = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        NET_LOG(LOG_WARN, "OS_SOCKET_CTRL_SET_TCP_NODELAY error\n");
    }
}

enum class attempt { connected, refused, gave_up };

// One address: connect, then wait for writability in slices until connected, refused, out of
// time or stopped. On `refused` the sink holds the OS error and the caller may try another
// address; on `gave_up` it holds the time-out or the stop.
attempt connect_one(int fd, const addrinfo* address, const sock_opt& opt,
                    clock_type::time_point deadline, err_info* err) {
    const std::string text = address_text(address);
    for (;;) {
        if (::connect(fd, address->ai_addr, address->ai_addrlen) == 0 || errno == EISCONN) {
            return attempt::connected;
        }
        if (errno != EINPROGRESS && errno != EALREADY && errno != EINTR && errno != EAGAIN) {
            set_os_error(err, "connect ", text);
            return attempt::refused;
        }
        // Wait until writable; the next connect() call reports how the attempt ended.
        for (;;) {
            const auto now = clock_type::now();
            if (now >= deadline) {
                NET_LOG(LOG_DBG, "connect %s timeout\n", text.c_str());
                ERR_INFO_SET(err, VERR_TIMEOUT, "connect %s timeout", text.c_str());
                return attempt::gave_up;
            }
            if (sock_cancel_requested(opt.cancel, opt.connect_timeout_ms)) {
                NET_LOG(LOG_DBG, "User request stop\n");
                ERR_INFO_SET(err, VERR_NET_USER_STOP, "User request stop");
                return attempt::gave_up;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
            pollfd p{fd, POLLOUT, 0};
            int rc = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, kConnectSliceMs)));
            if (rc < 0 && errno == EINTR) continue;
            if (rc < 0) {
                set_os_error(err, "connect ", text);
                return attempt::refused;
            }
            if (rc == 0) continue;
            // Ready: the attempt has ended. SO_ERROR tells how without a second round trip.
            int so_error = 0;
            socklen_t len = sizeof so_error;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) == 0 && so_error != 0) {
                errno = so_error;
                set_os_error(err, "connect ", text);
                return attempt::refused;
            }
            break;
        }
    }
}

}  // namespace

bool sock_cancel_requested(sock_cancel* cancel, int32_t timeout_ms) {
    if (cancel == nullptr) return false;
    if (cancel->stop.load(std::memory_order_acquire) != 0) return true;
    return cancel->callback != nullptr && cancel->callback(cancel->context, timeout_ms) != 0;
}

sock_handle sock_tcp_connect(const char* host, uint32_t port, const sock_opt* options,
                             err_info* err) {
    const sock_opt defaults{};
    const sock_opt& opt = options != nullptr ? *options : defaults;
    if (opt.proxy != nullptr && opt.proxy->type != CONF_PROXY_NONE) {
        return proxy_tcp_connect(host, port, &opt, err);
    }
    addrinfo_list list = resolve(host, port, SOCK_STREAM, err);
    if (!list) return 0;

    const auto deadline =
        clock_type::now() + std::chrono::milliseconds(std::max<int32_t>(opt.connect_timeout_ms, 0));
    for (const addrinfo* address = list.get(); address != nullptr; address = address->ai_next) {
        socket_guard fd(new_socket(address, SOCK_STREAM, IPPROTO_TCP, err));
        if (fd.get() < 0) return 0;
        configure_tcp(fd.get(), opt);
        if (opt.no_wait != 0) {
            if (::connect(fd.get(), address->ai_addr, address->ai_addrlen) == 0 ||
                errno == EINPROGRESS) {
                return sock_from_fd(fd.release());
            }
            continue;
        }
        switch (connect_one(fd.get(), address, opt, deadline, err)) {
            case attempt::connected:
                err_info_clear(err);
                return sock_from_fd(fd.release());
            case attempt::refused:
                continue;
            case attempt::gave_up:
                return 0;
        }
    }
    return 0;
}

sock_handle sock_udp_open(const char* host, uint32_t port, err_info* err) {
    addrinfo_list list = resolve(host, port, SOCK_DGRAM, err);
    if (!list) return 0;
    const addrinfo* address = list.get();
    socket_guard fd(new_socket(address, SOCK_DGRAM, IPPROTO_UDP, err));
    if (fd.get() < 0) return 0;
    if (::connect(fd.get(), address->ai_addr, address->ai_addrlen) != 0) {
        set_os_error(err, "connect ", address_text(address));
        return 0;
    }
    return sock_from_fd(fd.release());
}

int sock_shutdown(sock_handle sock, int how) {
    return ::shutdown(sock_fd(sock), how) == 0 ? 0 : os_errno_verr();
}

int sock_close(sock_handle sock) {
    if (sock == 0) return 0;
    ::shutdown(sock_fd(sock), SHUT_RDWR);
    ::close(sock_fd(sock));
    return 0;
}

namespace {

// A count of a send or receive call, or its errno as a status.
ptrdiff_t count_or_status(ptrdiff_t n) {
    return n >= 0 ? n : os_errno_verr();
}

}  // namespace

ptrdiff_t sock_send(sock_handle sock, const void* buf, size_t len) {
    return count_or_status(::send(sock_fd(sock), buf, len, MSG_NOSIGNAL | MSG_DONTWAIT));
}

ptrdiff_t sock_recv(sock_handle sock, void* buf, size_t len) {
    return count_or_status(::recv(sock_fd(sock), buf, len, MSG_DONTWAIT));
}

ptrdiff_t sock_sendto(sock_handle sock, const void* buf, size_t len, const void* address,
                      size_t address_len) {
    return count_or_status(::sendto(sock_fd(sock), buf, len, MSG_NOSIGNAL | MSG_DONTWAIT,
                                    static_cast<const sockaddr*>(address),
                                    static_cast<socklen_t>(address_len)));
}

ptrdiff_t sock_recvfrom(sock_handle sock, void* buf, size_t len, void* address,
                        size_t* address_len) {
    socklen_t length = address_len != nullptr ? static_cast<socklen_t>(*address_len) : 0;
    ptrdiff_t n = ::recvfrom(sock_fd(sock), buf, len, MSG_DONTWAIT, static_cast<sockaddr*>(address),
                             address != nullptr ? &length : nullptr);
    if (n < 0) return os_errno_verr();
    if (address_len != nullptr) *address_len = length;
    return n;
}
