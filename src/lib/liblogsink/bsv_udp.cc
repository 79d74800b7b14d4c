#include <netdb.h>
#include <pthread.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "liblog/log2.h"
#include "liblog/log2_sink.h"
#include "liblogsink/bsv.h"
#include "liblogsink/log_sinks.h"
#include "libpal/url.h"
#include "sink_impl.h"

namespace logsink {

namespace {

constexpr uint16_t kDefaultPort = 514;

int connected_udp_socket(const std::string& host, uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
        return -1;
    }
    // Only the first address is tried.
    int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    if (fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
        close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    return fd;
}

}  // namespace

int log_bsv_udp_open(bsv_udp_sink* sink, const char* url) {
    if (sink == nullptr || url == nullptr) return -1;
    std::vector<char> storage(PL_MAX_URL);
    url_info info{};
    const int parsed = url_parser(&info, storage.data(), url);
    // Anything without "scheme://" is a local path to the parser: no collector there. A port
    // above 65535 is refused rather than taken for the default one.
    if (parsed != 0 || strstr(url, "://") == nullptr || info.host[0] == '\0') {
        log2_diag("url_parser%s failed\n", log_mask_url_password(url).c_str());
        return -1;
    }
    sink->close();
    sink->configured_ = true;
    sink->scramble_ = strcasecmp(info.protocol, "udps") == 0;
    sink->hostname_ = local_hostname();
    {
        std::lock_guard<std::mutex> lock(sink->mutex_);
        sink->state_ = bsv_udp_sink::socket_state::opening;
    }
    const uint16_t port = info.port != 0 ? info.port : kDefaultPort;
    sink->opener_ = std::thread(&bsv_udp_sink::open_socket, sink, std::string(info.host), port);
    return 0;
}

void bsv_udp_sink::open_socket(std::string host, uint16_t port) {
    pthread_setname_np(pthread_self(), "bsvnet");
    os_thread_name_set("bsvnet");
    const int fd = connected_udp_socket(host, port);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd >= 0) {
            fd_ = fd;
            state_ = socket_state::open;
            if (!pending_.empty()) ::send(fd_, pending_.data(), pending_.size(), MSG_NOSIGNAL);
        } else {
            state_ = socket_state::failed;
        }
        pending_.clear();
        pending_.shrink_to_fit();
    }
    if (fd < 0) log2_diag("os_udp_open %s:%d failed\n", host.c_str(), port);
    os_thread_name_del();
}

void bsv_udp_sink::send(std::span<const uint8_t> packet) {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (state_) {
        case socket_state::opening:
            if (pending_.empty()) {
                const size_t kept = packet.size() < kPendingMax ? packet.size() : kPendingMax;
                pending_.assign(packet.begin(), packet.begin() + static_cast<ptrdiff_t>(kept));
            }
            return;
        case socket_state::open:
            // Never waits: a line must not stall on a full socket buffer. A collector that is
            // not there (an ICMP error on the previous datagram) costs this packet only.
            if (::send(fd_, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
                errno != ECONNREFUSED) {
                log2_diag("bsvlog send err: %s\n", os_strerror(errno));
            }
            return;
        case socket_state::failed:
            return;
    }
}

void bsv_udp_sink::close() {
    if (opener_.joinable()) opener_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    state_ = socket_state::failed;
    pending_.clear();
    configured_ = false;
}

}  // namespace logsink
