// The server's metrics: the exposition text and the HTTP listener that serves it.
#include "libdvsrv/srv_metrics.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_wire.h"
#include "libdvsrv/srv_server.h"
#include "liblog/log2.h"
#include "libpwd/libpwd.h"

namespace {

constexpr const char* kRefusalNames[] = {
    "max_connections", "max_login_connections", "hosts", "user_hosts", "locked",
    "silent",          "tls_handshake"};
static_assert(std::size(kRefusalNames) == srv_metrics::kCauses);

// The HTTP side: a collector's request must be whole within this many bytes and this long, and
// no more than this many are served at once.
constexpr size_t kRequestMax = 8192;
constexpr auto kClientDeadline = std::chrono::seconds(10);
constexpr size_t kClientsMax = 8;

}  // namespace

const char* srv_refusal_name(srv_refusal cause) {
    const auto i = static_cast<size_t>(cause);
    return i < std::size(kRefusalNames) ? kRefusalNames[i] : "unknown";
}

void srv_metrics::count_reply(uint8_t code, const sd_frame_msg& reply) {
    bool failed = !reply.ok();
    if (!failed) {
        static constexpr blobmsg_policy kPolicy[] = {{SDF_ERRNO, BLOBMSG_TYPE_INT32}};
        const blob_attr* tb[1] = {};
        const std::span<const uint8_t> root = reply.root();
        failed = root.size() < BLOB_ATTR_HEADER_SIZE ||
                 blobmsg_parse(kPolicy, 1, tb, root.data() + BLOB_ATTR_HEADER_SIZE,
                               root.size() - BLOB_ATTR_HEADER_SIZE) != 0 ||
                 tb[0] == nullptr || blobmsg_get_int32(tb[0]) != 0;
    }
    (failed ? requests_failed : requests_ok)[code].fetch_add(1, std::memory_order_relaxed);
}

namespace {

class exposition final {
  public:
    void family(const char* name, const char* type, const char* help) {
        text_ += "# HELP ";
        text_ += name;
        text_ += ' ';
        text_ += help;
        text_ += "\n# TYPE ";
        text_ += name;
        text_ += ' ';
        text_ += type;
        text_ += '\n';
    }
    // `labels` is "" or "{key=\"value\",...}".
    void sample(const char* name, const std::string& labels, uint64_t value) {
        text_ += name;
        text_ += labels;
        text_ += ' ';
        text_ += std::to_string(value);
        text_ += '\n';
    }
    void one(const char* name, const char* type, const char* help, uint64_t value) {
        family(name, type, help);
        sample(name, "", value);
    }
    std::string take() { return std::move(text_); }

  private:
    std::string text_;
};

uint64_t load(const std::atomic<uint64_t>& counter) {
    return counter.load(std::memory_order_relaxed);
}

// Descriptors the process holds now (the listing's own one not counted).
uint64_t descriptors_open() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return 0;
    uint64_t n = 0;
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(dir);
    return n > 0 ? n - 1 : 0;
}

uint64_t resident_bytes() {
    FILE* f = fopen("/proc/self/statm", "re");
    if (f == nullptr) return 0;
    unsigned long long size = 0, resident = 0;
    const int got = fscanf(f, "%llu %llu", &size, &resident);
    fclose(f);
    return got == 2 ? resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) : 0;
}

// The memory cap of the process's control group (a service's MemoryMax=), or 0 for none.
uint64_t cgroup_memory_max() {
    FILE* f = fopen("/proc/self/cgroup", "re");
    if (f == nullptr) return 0;
    char line[4096];
    std::string path;
    while (fgets(line, sizeof(line), f) != nullptr) {
        if (strncmp(line, "0::", 3) == 0) {
            path = line + 3;
            while (!path.empty() && path.back() == '\n') path.pop_back();
        }
    }
    fclose(f);
    if (path.empty()) return 0;
    f = fopen(("/sys/fs/cgroup" + path + "/memory.max").c_str(), "re");
    if (f == nullptr) return 0;
    unsigned long long max = 0;
    const int got = fscanf(f, "%llu", &max);  // "max": no cap
    fclose(f);
    return got == 1 ? max : 0;
}

}  // namespace

std::string srv_metrics_text(dvsrv* server) {
    const srv_metrics& m = server->metrics;
    exposition out;

    out.family("dvsd_info", "gauge", "Version of the server.");
    out.sample("dvsd_info", std::string("{version=\"") + DVSRV_VERSION + "\"}", 1);
    out.one("dvsd_start_time_seconds", "gauge", "When the server started, seconds since the epoch.",
            static_cast<uint64_t>(m.started_s));

    size_t logged_in = 0, not_logged_in = 0;
    {
        std::lock_guard<std::mutex> lock(server->mutex);
        logged_in = server->logged_in;
        not_logged_in = server->not_logged_in;
    }
    const int64_t silent = std::max<int64_t>(0, m.silent.load(std::memory_order_relaxed));
    out.family("dvsd_connections_open", "gauge",
               "Connections open: silent (nothing sent yet), login (served, not logged in), "
               "logged_in.");
    out.sample("dvsd_connections_open", "{state=\"silent\"}", static_cast<uint64_t>(silent));
    out.sample("dvsd_connections_open", "{state=\"login\"}", not_logged_in);
    out.sample("dvsd_connections_open", "{state=\"logged_in\"}", logged_in);
    out.family("dvsd_connections_max", "gauge",
               "Caps on connections served at once (max_login_connections, max_connections).");
    out.sample("dvsd_connections_max", "{state=\"login\"}", server->conf.max_login_connections);
    out.sample("dvsd_connections_max", "{state=\"logged_in\"}", server->conf.max_connections);
    out.one("dvsd_connections_accepted_total", "counter", "Connections accepted.",
            load(m.accepted));
    out.family("dvsd_connections_refused_total", "counter",
               "Connections and logins turned away, by cause.");
    for (size_t i = 0; i < srv_metrics::kCauses; ++i) {
        out.sample("dvsd_connections_refused_total",
                   std::string("{cause=\"") + kRefusalNames[i] + "\"}", load(m.refused[i]));
    }

    out.family("dvsd_logins_total", "counter", "Login attempts, by result.");
    out.sample("dvsd_logins_total", "{result=\"ok\"}", load(m.logins_ok));
    out.sample("dvsd_logins_total", "{result=\"failed\"}", load(m.logins_failed));
    uint64_t locks = 0;
    size_t locked_now = 0;
    libpwd_lock_stats(&locks, &locked_now);
    out.one("dvsd_login_locks_total", "counter", "Addresses locked after failed logins.", locks);
    out.one("dvsd_login_locked_addresses", "gauge", "Addresses locked now.", locked_now);

    out.one("dvsd_received_bytes_total", "counter", "Bytes received from clients.",
            load(m.bytes_in));
    out.one("dvsd_sent_bytes_total", "counter", "Bytes sent to clients.", load(m.bytes_out));

    out.family("dvsd_requests_total", "counter",
               "Requests answered, by request code and result (error: the reply carries a "
               "failure).");
    for (size_t code = 0; code < 256; ++code) {
        const uint64_t ok = load(m.requests_ok[code]);
        const uint64_t failed = load(m.requests_failed[code]);
        const std::string c = "{code=\"" + std::to_string(code) + "\",result=\"";
        if (ok != 0) out.sample("dvsd_requests_total", c + "ok\"}", ok);
        if (failed != 0) out.sample("dvsd_requests_total", c + "error\"}", failed);
    }

    size_t contexts = 0;
    {
        std::lock_guard<std::mutex> lock(server->context_mutex);
        contexts = server->contexts.size();
    }
    out.one("dvsd_contexts_kept", "gauge", "Contexts kept for a repair.", contexts);
    out.one("dvsd_contexts_max", "gauge", "Cap on contexts kept (max_contexts).",
            server->conf.max_contexts);

    const uint64_t files = server->server_fds ? server->server_fds->used.load() : 0;
    const uint64_t files_cap = server->server_fds ? server->server_fds->cap : 0;
    out.one("dvsd_open_files", "gauge", "Files and directories clients hold open.", files);
    out.one("dvsd_open_files_max", "gauge", "Cap on files and directories all clients hold open.",
            files_cap);
    rlimit limit{};
    const bool have_limit = getrlimit(RLIMIT_NOFILE, &limit) == 0;
    out.one("dvsd_descriptors_open", "gauge", "Descriptors the server holds.", descriptors_open());
    if (have_limit && limit.rlim_cur != RLIM_INFINITY) {
        out.one("dvsd_descriptors_max", "gauge", "The server's descriptor limit.",
                static_cast<uint64_t>(limit.rlim_cur));
    }
    out.one("dvsd_memory_resident_bytes", "gauge", "Resident memory of the server.",
            resident_bytes());
    uint64_t memory_max = cgroup_memory_max();
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        (memory_max == 0 || limit.rlim_cur < memory_max)) {
        memory_max = static_cast<uint64_t>(limit.rlim_cur);
    }
    if (memory_max != 0) {
        out.one("dvsd_memory_max_bytes", "gauge",
                "The tighter of the server's address-space limit and its control group's "
                "memory cap.",
                memory_max);
    }
    return out.take();
}

bool srv_metrics_address_parse(std::string_view text, std::string* host, uint32_t* port,
                               std::string* err) {
    const std::string shown = "metrics=" + std::string(text);
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) {
        *err = shown + ": must be ADDRESS:PORT";
        return false;
    }
    std::string_view h = text.substr(0, colon);
    const std::string_view p = text.substr(colon + 1);
    if (h.front() == '[') {
        if (h.size() < 3 || h.back() != ']') {
            *err = shown + ": an IPv6 address goes in brackets, [ADDRESS]:PORT";
            return false;
        }
        h = h.substr(1, h.size() - 2);
    } else if (h.find(':') != std::string_view::npos) {
        *err = shown + ": an IPv6 address goes in brackets, [ADDRESS]:PORT";
        return false;
    }
    uint32_t n = 0;
    auto [end, ec] = std::from_chars(p.data(), p.data() + p.size(), n);
    if (p.empty() || ec != std::errc() || end != p.data() + p.size() || n > 65535) {
        *err = shown + ": the port must be a number from 0 to 65535";
        return false;
    }
    for (char c : h) {
        if (static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '@') {
            *err = shown + ": not an address";
            return false;
        }
    }
    *host = h;
    *port = n;
    return true;
}

srv_metrics_http::~srv_metrics_http() {
    stop();
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
    for (int fd : wake_) {
        if (fd >= 0) close(fd);
    }
}

int srv_metrics_http::listen(std::string_view address, std::string* err) {
    std::string host;
    uint32_t port = 0;
    if (!srv_metrics_address_parse(address, &host, &port, err)) return -1;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0 || found == nullptr) {
        *err = "metrics=" + std::string(address) + ": " + gai_strerror(rc);
        return -1;
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, freeaddrinfo);
    fd_ = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        *err = std::string("metrics: socket: ") + strerror(errno);
        return -1;
    }
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (bind(fd_, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd_, 16) != 0) {
        *err = "metrics=" + std::string(address) + ": " + strerror(errno);
        return -1;
    }
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        *err = std::string("metrics: pipe: ") + strerror(errno);
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof(bound);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length);
    char text[INET6_ADDRSTRLEN] = "";
    uint16_t bound_port = 0;
    if (bound.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&bound);
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof(text));
        bound_port = ntohs(a->sin6_port);
        url_ = std::string("http://[") + text + "]:";
    } else {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&bound);
        inet_ntop(AF_INET, &a->sin_addr, text, sizeof(text));
        bound_port = ntohs(a->sin_port);
        url_ = std::string("http://") + text + ":";
    }
    url_ += std::to_string(bound_port) + "/metrics";
    return 0;
}

int srv_metrics_http::start(dvsrv* server) {
    if (fd_ < 0 || thread_.joinable()) return -1;
    try {
        thread_ = std::thread(&srv_metrics_http::run, this, server);
    } catch (const std::system_error& e) {
        SRV_LOG(LOG_ERR, "metrics: cannot start its thread: %s\n", e.what());
        return -1;
    }
    return 0;
}

void srv_metrics_http::join() {
    stop();
    if (thread_.joinable()) thread_.join();
}

void srv_metrics_http::stop() {
    if (stopping_.exchange(true) || wake_[1] < 0) return;
    const char b = 1;
    ssize_t ignored = write(wake_[1], &b, 1);
    (void)ignored;
}

namespace {

struct http_client final {
    int fd = -1;
    std::string in;
    std::string out;
    size_t sent = 0;
    std::chrono::steady_clock::time_point deadline;
    bool answering = false;
};

std::string http_response(const std::string& version, const char* status, const char* type,
                          const std::string& body, bool with_body) {
    std::string r = version + " " + status + "\r\nContent-Type: " + type +
                    "\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\nConnection: close\r\n\r\n";
    if (with_body) r += body;
    return r;
}

// The answer to a request whose head is `head` (request line and header lines).
std::string http_answer(dvsrv* server, std::string_view head) {
    const size_t eol = head.find_first_of("\r\n");
    const std::string_view line = head.substr(0, eol);
    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    const std::string_view method = line.substr(0, sp1);
    const std::string_view target =
        sp1 == std::string_view::npos ? std::string_view() : line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view proto =
        sp2 == std::string_view::npos ? std::string_view() : line.substr(sp2 + 1);
    const std::string version = proto == "HTTP/1.1" ? "HTTP/1.1" : "HTTP/1.0";
    constexpr const char* kText = "text/plain; charset=utf-8";
    if (sp2 == std::string_view::npos || proto.rfind("HTTP/1.", 0) != 0) {
        return http_response(version, "400 Bad Request", kText, "bad request\n", true);
    }
    const bool head_only = method == "HEAD";
    if (method != "GET" && !head_only) {
        return http_response(version, "405 Method Not Allowed", kText, "only GET\n", true);
    }
    const std::string_view path = target.substr(0, target.find('?'));
    if (path != "/metrics") {
        return http_response(version, "404 Not Found", kText, "not found: try /metrics\n",
                             !head_only);
    }
    return http_response(version, "200 OK", "text/plain; version=0.0.4; charset=utf-8",
                         srv_metrics_text(server), !head_only);
}

void close_client(http_client& c) {
    if (c.fd >= 0) close(c.fd);
    c.fd = -1;
}

// Reads what is there; switches to answering once the head is whole. False: close it.
bool client_read(dvsrv* server, http_client& c) {
    char buffer[2048];
    for (;;) {
        const ssize_t n = recv(c.fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n == 0) return false;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        c.in.append(buffer, static_cast<size_t>(n));
        size_t end = c.in.find("\r\n\r\n");
        if (end == std::string::npos) end = c.in.find("\n\n");
        if (end != std::string::npos) {
            c.out = http_answer(server, std::string_view(c.in).substr(0, end));
            c.in.clear();
            c.in.shrink_to_fit();
            c.answering = true;
            return true;
        }
        if (c.in.size() > kRequestMax) {
            c.out = http_response("HTTP/1.0", "431 Request Header Fields Too Large",
                                  "text/plain; charset=utf-8", "request too large\n", true);
            c.in.clear();
            c.in.shrink_to_fit();
            c.answering = true;
            return true;
        }
    }
}

// Writes what the socket takes. False: done or failed, close it.
bool client_write(http_client& c) {
    while (c.sent < c.out.size()) {
        const ssize_t n =
            send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        c.sent += static_cast<size_t>(n);
    }
    shutdown(c.fd, SHUT_WR);
    return false;
}

}  // namespace

void srv_metrics_http::run(dvsrv* server) {
    pthread_setname_np(pthread_self(), "dvsd_metrics");
    std::vector<http_client> clients;
    std::vector<pollfd> fds;
    auto paused_until = std::chrono::steady_clock::time_point{};
    while (!stopping_.load()) {
        const auto now = std::chrono::steady_clock::now();
        fds.clear();
        fds.push_back({wake_[0], POLLIN, 0});
        fds.push_back({fd_, static_cast<short>(now >= paused_until ? POLLIN : 0), 0});
        int64_t wait_ms = 1000;
        for (const http_client& c : clients) {
            fds.push_back({c.fd, static_cast<short>(c.answering ? POLLOUT : POLLIN), 0});
            wait_ms = std::min<int64_t>(
                wait_ms,
                std::chrono::duration_cast<std::chrono::milliseconds>(c.deadline - now).count() +
                    1);
        }
        if (paused_until > now) {
            wait_ms = std::min<int64_t>(
                wait_ms,
                std::chrono::duration_cast<std::chrono::milliseconds>(paused_until - now).count() +
                    1);
        }
        const int n = poll(fds.data(), fds.size(), static_cast<int>(std::max<int64_t>(wait_ms, 0)));
        if (n < 0 && errno != EINTR) {
            SRV_LOG(LOG_ERR, "metrics: poll error: %s\n", strerror(errno));
            break;
        }
        if (stopping_.load()) break;
        const auto after = std::chrono::steady_clock::now();
        for (size_t i = 0; i < clients.size(); ++i) {
            http_client& c = clients[i];
            const short revents = n > 0 ? fds[2 + i].revents : 0;
            bool keep = after < c.deadline;
            if (keep && revents != 0) {
                keep = c.answering ? client_write(c) : client_read(server, c);
                // An answer made just now goes out without waiting for the next round.
                if (keep && c.answering && c.sent == 0) keep = client_write(c);
            }
            if (!keep) close_client(c);
        }
        std::erase_if(clients, [](const http_client& c) { return c.fd < 0; });
        if (n > 0 && (fds[1].revents & POLLIN)) {
            for (int batch = 0; batch < 16; ++batch) {
                const int fd = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) {
                    if (errno == EMFILE || errno == ENFILE) {
                        // No descriptor to spare: rest a moment rather than spin.
                        paused_until = after + std::chrono::milliseconds(100);
                    }
                    break;
                }
                if (clients.size() >= kClientsMax) {
                    // Full: the oldest that has not finished its request makes room, so that
                    // connections that never speak cannot keep a collector out for long.
                    auto oldest = std::find_if(clients.begin(), clients.end(),
                                               [](const http_client& c) { return !c.answering; });
                    if (oldest == clients.end()) {
                        close(fd);  // all busy answering: this one tries again later
                        continue;
                    }
                    close_client(*oldest);
                    clients.erase(oldest);
                }
                clients.push_back({fd, {}, {}, 0, after + kClientDeadline, false});
            }
        }
    }
    for (http_client& c : clients) close_client(c);
}
