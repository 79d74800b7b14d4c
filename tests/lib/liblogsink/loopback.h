// Loopback peers for the log sink tests: a UDP receiver and a TCP listener, each on an ephemeral
// port of 127.0.0.1. Every wait has a generous bound so that a broken sink fails a test instead of
// hanging it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>

namespace loopback {

inline constexpr int kWaitMs = 10000;

inline bool wait_readable(int fd, int timeout_ms = kWaitMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1;
}

inline sockaddr_in address(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Binds a socket of `type` to 127.0.0.1:`port` (0: ephemeral); -1 on failure.
inline int bound_socket(int type, uint16_t port, uint16_t* bound_port) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a = address(port);
    socklen_t length = sizeof(a);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        close(fd);
        return -1;
    }
    *bound_port = ntohs(a.sin_port);
    return fd;
}

class udp_receiver final {
  public:
    explicit udp_receiver(uint16_t port = 0) { fd_ = bound_socket(SOCK_DGRAM, port, &port_); }
    ~udp_receiver() { close_now(); }
    udp_receiver(const udp_receiver&) = delete;
    udp_receiver& operator=(const udp_receiver&) = delete;

    bool ok() const { return fd_ >= 0; }
    uint16_t port() const { return port_; }
    void close_now() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    // One datagram, byte for byte; none when nothing arrives within `timeout_ms`.
    std::optional<std::string> receive(int timeout_ms = kWaitMs) {
        if (!wait_readable(fd_, timeout_ms)) return std::nullopt;
        char buffer[65536];
        ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
        if (n < 0) return std::nullopt;
        return std::string(buffer, static_cast<size_t>(n));
    }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

class tcp_listener final {
  public:
    explicit tcp_listener(uint16_t port = 0) {
        fd_ = bound_socket(SOCK_STREAM, port, &port_);
        if (fd_ >= 0 && listen(fd_, 8) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~tcp_listener() {
        if (fd_ >= 0) close(fd_);
    }
    tcp_listener(const tcp_listener&) = delete;
    tcp_listener& operator=(const tcp_listener&) = delete;

    bool ok() const { return fd_ >= 0; }
    uint16_t port() const { return port_; }
    // An accepted connection, or -1.
    int accept_one() {
        if (!wait_readable(fd_)) return -1;
        return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// Reads from a stream up to and including the next NUL; none on end of stream or time-out.
inline std::optional<std::string> read_to_nul(int fd) {
    std::string text;
    char c = 0;
    do {
        if (!wait_readable(fd)) return std::nullopt;
        if (recv(fd, &c, 1, 0) != 1) return std::nullopt;
        text += c;
    } while (c != '\0');
    return text;
}

}  // namespace loopback
