#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "liblog/log2.h"
#include "liblog/log2_sink.h"
#include "liblogsink/log_sinks.h"
#include "libpal/strnum.h"
#include "libpal/url.h"
#include "sink_impl.h"

namespace logsink {

namespace {

// A log line waits for the syslog server under the log lock, so every wait is short.
constexpr int kConnectTimeoutMs = 2000;
constexpr int kSendTimeoutMs = 2000;
// After a lookup failed or a connect timed out, lines skip the server for a while instead of each
// waiting again.
constexpr uint64_t kRetryHoldMs = 10000;

constexpr size_t kMessageMax = 1024;

// Registered ports, for systems whose services database lacks the names.
int fallback_port(const char* service) {
    if (strcmp(service, "syslog") == 0) return 514;
    if (strcmp(service, "syslog-conn") == 0) return 601;
    return 0;
}

int syslog_severity(uint32_t level) {
    const int value = static_cast<int>(level & 0xff);
    return value < 7 ? value : 7;
}

size_t time_prefix_length(uint32_t flags) {
    if (flags & LOG_FLAG_TIME) return 9;      // "HH:MM:SS "
    if (flags & LOG_FLAG_TIME_MS) return 13;  // "HH:MM:SS.mmm "
    return 0;
}

bool wait_connected(int fd) {
    pollfd p{fd, POLLOUT, 0};
    int n;
    do {
        n = poll(&p, 1, kConnectTimeoutMs);
    } while (n < 0 && errno == EINTR);
    if (n == 0) {
        errno = ETIMEDOUT;
        return false;
    }
    if (n < 0) return false;
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
    if (error != 0) {
        errno = error;
        return false;
    }
    return true;
}

}  // namespace

std::string local_hostname() {
    char name[256] = "";
    if (gethostname(name, sizeof(name) - 1) != 0) name[0] = '\0';
    name[sizeof(name) - 1] = '\0';
    if (name[0] == '\0' || strcmp(name, "(none)") == 0) return "unknown";
    return name;
}

int syslog_sink::configure(const char* url) {
    if (url == nullptr) return -1;
    std::vector<char> storage(PL_MAX_URL);
    url_info info{};
    url_parser(&info, storage.data(), url);
    // The parser takes anything without "scheme://" for a local path: no server there.
    if (strstr(url, "://") == nullptr || info.host[0] == '\0') {
        log2_diag("url_parser %s failed\n", log_mask_url_password(url).c_str());
        return -1;
    }
    disconnect();
    tcp_ = strcasecmp(info.protocol, "tcp") == 0;
    host_ = info.host;
    port_ = info.port != 0 ? std::to_string(info.port) : (tcp_ ? "syslog-conn" : "syslog");
    hostname_ = local_hostname();
    state_ = kConfigured;
    outage_reported_ = false;
    retry_after_ms_ = 0;
    return 0;
}

void syslog_sink::disconnect() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (state_ == kConnected) state_ = kConfigured;
}

// The first failure of an outage is always shown; repeats only as diagnostics, so that a server
// that is down does not flood the console.
void syslog_sink::report(const char* what) {
    char text[512];
    snprintf(text, sizeof(text), "%s %s port %s\n", what, host_.c_str(), port_.c_str());
    if (!outage_reported_) {
        fputs(text, stderr);
        fflush(stderr);
        outage_reported_ = true;
    } else {
        log2_diag("%s", text);
    }
}

bool syslog_sink::connect() {
    if (retry_after_ms_ != 0 && os_time_ms() < retry_after_ms_) return false;
    retry_after_ms_ = 0;

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = tcp_ ? SOCK_STREAM : SOCK_DGRAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host_.c_str(), port_.c_str(), &hints, &found);
    if (rc != 0 && fallback_port(port_.c_str()) != 0) {
        found = nullptr;
        const std::string number = std::to_string(fallback_port(port_.c_str()));
        rc = getaddrinfo(host_.c_str(), number.c_str(), &hints, &found);
    }
    if (rc != 0 || found == nullptr) {
        if (found != nullptr) freeaddrinfo(found);
        // A failing name server can take seconds per lookup.
        retry_after_ms_ = os_time_ms() + kRetryHoldMs;
        report("failed to resolve name");
        return false;
    }

    // Only the first address is tried.
    int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    bool ok = fd >= 0;
    if (ok && tcp_) {
        const int flags = fcntl(fd, F_GETFL);
        ok = flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
        if (ok && ::connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
            ok = errno == EINPROGRESS && wait_connected(fd);
            if (!ok && errno == ETIMEDOUT) retry_after_ms_ = os_time_ms() + kRetryHoldMs;
        }
        // Blocking sends with a time-out: a server that stops reading cannot stall the program.
        timeval timeout{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
        ok = ok && fcntl(fd, F_SETFL, flags) == 0 &&
             setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout)) == 0;
    } else if (ok) {
        ok = ::connect(fd, found->ai_addr, found->ai_addrlen) == 0;
    }
    freeaddrinfo(found);
    if (!ok) {
        if (fd >= 0) ::close(fd);
        report("failed to connect to");
        return false;
    }
    fd_ = fd;
    state_ = kConnected;
    outage_reported_ = false;
    return true;
}

bool syslog_sink::send_message(const char* data, size_t length) {
    while (length > 0) {
        // MSG_NOSIGNAL: a closed TCP peer must not raise SIGPIPE, which stops the program's job.
        ssize_t n = send(fd_, data, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// A syslog server never sends anything, so a readable TCP socket means the server closed it (or
// reset it). Found before the send, the line goes over a fresh connection instead of being lost.
bool syslog_sink::peer_gone() const {
    pollfd p{fd_, POLLIN | POLLRDHUP, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    if (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) return true;
    char byte;
    ssize_t n = recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

void syslog_sink::write(const log2_line& line) {
    if (state_ == kNotConfigured) return;

    time_t now = time(nullptr);
    char clock_text[32] = "";
    if (ctime_r(&now, clock_text) == nullptr || strlen(clock_text) < 19) clock_text[0] = '\0';
    const char* clock_part = clock_text[0] != '\0' ? clock_text + 4 : "";  // "Mmm dd hh:mm:ss"

    const char* body = line.console != nullptr ? line.console : "";
    const size_t skip = time_prefix_length(line.flags);
    if (line.console_length >= skip) body += skip;

    char pid_text[24];
    snprintf(pid_text, sizeof(pid_text), "[%d]", static_cast<int>(getpid()));
    const char* tag = line.tag != nullptr && line.tag[0] != '\0' ? line.tag : "<someone>";

    char message[kMessageMax];
    int n = snprintf(message, sizeof(message), "<%d>%.15s %.32s %.64s%s: %.800s",
                     8 + syslog_severity(line.level), clock_part, hostname_.c_str(), tag, pid_text,
                     body);
    if (n < 0) return;
    // The terminating NUL travels with the message.
    const size_t length =
        (static_cast<size_t>(n) < sizeof(message) ? static_cast<size_t>(n) : sizeof(message) - 1) +
        1;

    if (state_ == kConnected && tcp_ && peer_gone()) disconnect();
    if (state_ != kConnected && !connect()) return;
    if (send_message(message, length)) return;

    // One reconnect and one more try.
    disconnect();
    if (connect() && send_message(message, length)) return;
    log2_diag("syslog_write %s:%s err\n", host_.c_str(), port_.c_str());
    disconnect();
}

}  // namespace logsink
