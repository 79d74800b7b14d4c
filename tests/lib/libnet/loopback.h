// Loopback fixtures shared by the net handle and event loop tests: owned descriptors, a listening
// socket on an ephemeral port, and a client connected to it.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace loopback {

// A descriptor closed on scope exit.
class fd_owner final {
  public:
    explicit fd_owner(int fd = -1) : fd_(fd) {}
    ~fd_owner() { reset(); }
    fd_owner(const fd_owner&) = delete;
    fd_owner& operator=(const fd_owner&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

inline bool is_open(int fd) {
    return fd >= 0 && fcntl(fd, F_GETFD) != -1;
}

// Whether `fd` has something to read (or an end) within `ms`.
inline bool readable_within(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

// A listening TCP socket on 127.0.0.1 with an ephemeral port.
class listener final {
  public:
    listener() {
        fd_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_.get() < 0 || bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(fd_.get(), 16) != 0 ||
            getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            fd_.reset();
            return;
        }
        port_ = ntohs(address.sin_port);
    }
    bool ok() const { return fd_.get() >= 0; }
    uint16_t port() const { return port_; }
    int fd() const { return fd_.get(); }
    // Hands the descriptor over (to an event loop registration).
    int release() { return fd_.release(); }
    // Accepts one connection, waiting at most 5 s; -1 when none came.
    int accept_one() const {
        if (!readable_within(fd_.get(), 5000)) return -1;
        return accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    }

  private:
    fd_owner fd_;
    uint16_t port_ = 0;
};

// A blocking client socket connected to 127.0.0.1:`port`; -1 on failure.
inline int connect_to(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads what arrives within `ms` (up to 4 KiB); "" on end or silence.
inline std::string read_some(int fd, int ms) {
    if (!readable_within(fd, ms)) return {};
    char buf[4096];
    ssize_t n = ::read(fd, buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Whether the peer of `fd` has closed within `ms`: readable with nothing to read.
inline bool peer_closed_within(int fd, int ms) {
    if (!readable_within(fd, ms)) return false;
    char byte;
    return recv(fd, &byte, 1, MSG_PEEK) <= 0;
}

}  // namespace loopback
