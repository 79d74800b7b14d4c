// Listening and accepting: the listeners, the one accept loop (silent connections wait in it
// without a thread, deadlines and kept contexts are watched from it), a thread per connection.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

#include "libdvsd/sd_frame.h"
#include "libdvsd/sd_wire.h"
#include "libdvsrv/srv_server.h"
#include "liblog/log2.h"

namespace {

std::string address_text(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr, text,
                  sizeof(text));
    } else {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr, text,
                  sizeof(text));
    }
    return text;
}

uint16_t address_port(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

}  // namespace

namespace {

// One listening socket on the configured address; named "SCHEME://ADDRESS:PORT".
int listen_on(dvsrv* server, uint32_t port_number, bool tls, std::string* err) {
    const std::string host = server->conf.listen.empty() ? "0.0.0.0" : server->conf.listen;
    std::string bare = host;
    if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']') {
        bare = bare.substr(1, bare.size() - 2);
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(port_number);
    const char* port_key = tls ? "ssl_port=" : "port=";
    int rc = getaddrinfo(bare.c_str(), port.c_str(), &hints, &found);
    if (rc != 0 || found == nullptr) {
        *err = "listen=" + host + ": " + gai_strerror(rc);
        return -1;
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, freeaddrinfo);
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *err = std::string("socket: ") + strerror(errno);
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, 128) != 0) {
        *err = "listen=" + host + " " + port_key + port + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t bound_len = sizeof(bound);
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_len);
    std::string shown = address_text(bound);
    if (bound.ss_family == AF_INET6) shown = "[" + shown + "]";
    server->listeners.push_back({fd,
                                 std::string(tls ? "dvps://" : "dvp://") + shown + ":" +
                                     std::to_string(address_port(bound)),
                                 tls});
    return 0;
}

}  // namespace

int dvsrv_listen(dvsrv* server, std::string* err) {
    if (server->conf.plain && listen_on(server, server->conf.port, false, err) != 0) return -1;
    if (server->tls && listen_on(server, server->conf.ssl_port, true, err) != 0) return -1;
    if (!server->conf.metrics.empty()) {
        auto http = std::make_unique<srv_metrics_http>();
        if (http->listen(server->conf.metrics, err) != 0) return -1;
        server->metrics_http = std::move(http);
    }
    return 0;
}

std::string dvsrv_metrics_url(const dvsrv* server) {
    return server->metrics_http ? server->metrics_http->url() : std::string();
}

std::vector<std::string> dvsrv_listen_urls(const dvsrv* server) {
    std::vector<std::string> urls;
    for (const srv_listener& l : server->listeners) urls.push_back(l.url);
    return urls;
}

void dvsrv_stop(dvsrv* server) {
    if (server->stopping.exchange(true)) return;
    const char b = 1;
    ssize_t ignored = write(server->wake_pipe[1], &b, 1);
    (void)ignored;
    if (server->metrics_http) server->metrics_http->stop();
    std::lock_guard<std::mutex> lock(server->mutex);
    for (auto& c : server->connections) c->handle.stop = 1;
}

namespace {

// Joins the threads of connections that have ended.
void reap(dvsrv* server, bool all) {
    std::list<std::unique_ptr<srv_connection>> done;
    {
        std::lock_guard<std::mutex> lock(server->mutex);
        for (auto it = server->connections.begin(); it != server->connections.end();) {
            if (all || (*it)->finished) {
                // A stop may still be on its way to this list (dvsrv_stop from a signal):
                // a connection taken out of it is told here, not left to its read time-out.
                if (all) (*it)->handle.stop = 1;
                done.push_back(std::move(*it));
                it = server->connections.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : done) c->thread.join();
}

// A connection accepted but silent so far: it waits in the accept loop, costing a descriptor and
// no thread, until its first bytes arrive or the login time-out passes.
struct waiting final {
    int fd = -1;
    std::string peer;
    bool tls = false;
    srv_steady::time_point since;
};

// Turns away a connection the server has no room for with an answer the client can show: its
// first request (already here, since it became readable) gets a reply naming the reason. A TLS
// connection cannot be answered before its handshake and is only closed.
void refuse(dvsrv* server, int fd, bool tls, const char* peer, size_t active, const char* which) {
    SRV_LOG(LOG_WARN, "ip=[%s] refused: %zu connections %s\n", peer, active, which);
    server->metrics.refuse(srv_refusal::max_login_connections);
    uint8_t head[SD_FRAME_HEAD_SIZE] = {};
    // Drained so that closing sends a FIN after the reply, not a reset that could overtake it.
    uint8_t sink[4096];
    ssize_t got = recv(fd, head, sizeof(head), MSG_DONTWAIT);
    while (recv(fd, sink, sizeof(sink), MSG_DONTWAIT) > 0) {
    }
    net_handle handle;
    handle.sock = sock_from_fd(fd);
    handle.timeout_ms = 200;
    if (!tls && got >= 4 && head[0] == SD_FRAME_MAGIC0 && head[1] == SD_FRAME_MAGIC1) {
        sd_frame_msg reply;
        srv_reply_error(reply, VERR_TRY_AGAIN, "Too many connections, try again later");
        if (reply.ok()) {
            net_sock_stream stream(&handle);
            sd_frame_write(stream,
                           server->conf.key_login ? SD_FRAME_PROTOCOL_KEY_LOGIN : SD_FRAME_PROTOCOL,
                           head[3], reply.root());
        }
    }
    net_close(&handle);
}

// Serves a connection that has sent its first bytes on a thread of its own, or refuses it when
// max_login_connections are being served that have not logged in yet.
void start(dvsrv* server, waiting&& w) {
    std::lock_guard<std::mutex> lock(server->mutex);
    if (server->stopping) {
        close(w.fd);
        return;
    }
    if (server->not_logged_in >= server->conf.max_login_connections) {
        refuse(server, w.fd, w.tls, w.peer.c_str(), server->not_logged_in, "not logged in");
        return;
    }
    auto c = std::make_unique<srv_connection>();
    c->handle.sock = sock_from_fd(w.fd);
    c->peer = std::move(w.peer);
    srv_connection* raw = c.get();
    const bool tls = w.tls;
    // The login's time counts from accept and covers the handshake: a client that never speaks
    // TLS cannot hold the thread longer than one that never logs in.
    raw->watch.accepted = w.since;
    const int64_t login_deadline =
        srv_now_ms() +
        std::chrono::duration_cast<std::chrono::milliseconds>(
            w.since + std::chrono::seconds(server->conf.login_timeout_s) - srv_steady::now())
            .count();
    raw->watch.arm(login_deadline);
    ++server->not_logged_in;
    raw->thread = std::thread([server, raw, tls, login_deadline] {
        pthread_setname_np(pthread_self(), "dvsd_conn");
        const auto handshake_ms =
            static_cast<int32_t>(std::max<int64_t>(1, login_deadline - srv_now_ms()));
        if (!tls || ssl_srv_new(server->tls.get(), &raw->handle, handshake_ms) != nullptr) {
            srv_serve_watched(server, &raw->handle, raw->peer.c_str(), &raw->watch);
        } else {
            SRV_LOG(LOG_WARN, "ip=[%s] TLS handshake failed: closed\n", raw->peer.c_str());
            server->metrics.refuse(srv_refusal::tls_handshake);
        }
        server->leave(raw->watch);
        raw->finished = true;
    });
    server->connections.push_back(std::move(c));
}

// The accept loop's own state: listeners, connections not yet active, and the limit on those.
class accept_loop final {
  public:
    explicit accept_loop(dvsrv* server) : server_(server) {
        // Half the descriptors for silent connections, the rest for served ones and their files.
        rlimit limit{};
        size_t cap = 1024;
        if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
            cap = static_cast<size_t>(limit.rlim_cur) / 2;
        }
        max_waiting_ = std::clamp<size_t>(cap, 16, 65536);
    }
    ~accept_loop() {
        for (waiting& w : waiting_) close(w.fd);
    }
    accept_loop(const accept_loop&) = delete;
    accept_loop& operator=(const accept_loop&) = delete;

    int run();

  private:
    void accept_from(const srv_listener& from);
    void drop_oldest(const char* why);
    void sweep(srv_steady::time_point now);
    int poll_timeout_ms(srv_steady::time_point now) const;

    dvsrv* server_;
    std::deque<waiting> waiting_;  // oldest first
    size_t max_waiting_;
    srv_steady::time_point accept_paused_until_{};
};

void accept_loop::drop_oldest(const char* why) {
    waiting& w = waiting_.front();
    SRV_LOG(LOG_DBG, "ip=[%s] silent connection dropped: %s\n", w.peer.c_str(), why);
    server_->metrics.refuse(srv_refusal::silent);
    close(w.fd);
    waiting_.pop_front();
}

void accept_loop::accept_from(const srv_listener& from) {
    // A bounded batch per pass, so that one busy listener cannot starve the others.
    for (int i = 0; i < 64; ++i) {
        sockaddr_storage peer{};
        socklen_t peer_len = sizeof(peer);
        int fd = accept4(from.fd, reinterpret_cast<sockaddr*>(&peer), &peer_len,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) {
                // Out of descriptors: the connection that has been silent longest makes room;
                // with none to spare, accepting rests a moment instead of spinning.
                if (!waiting_.empty()) {
                    drop_oldest("out of descriptors");
                    continue;
                }
                SRV_LOG(LOG_WARN, "accept error: %s\n", strerror(errno));
                accept_paused_until_ = srv_steady::now() + std::chrono::milliseconds(100);
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                       errno != ECONNABORTED) {
                SRV_LOG(LOG_WARN, "accept error: %s\n", strerror(errno));
            }
            return;
        }
        if (server_->stopping) {
            close(fd);
            return;
        }
        // Responses go out as soon as they are written, not after the client's next
        // acknowledgement.
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        server_->metrics.accepted.fetch_add(1, std::memory_order_relaxed);
        if (waiting_.size() >= max_waiting_) drop_oldest("too many silent connections");
        waiting_.push_back({fd, address_text(peer), from.tls, srv_steady::now()});
    }
}

// Silent connections get as long as a login takes to say anything at all.
void accept_loop::sweep(srv_steady::time_point now) {
    const auto limit = std::chrono::seconds(server_->conf.login_timeout_s);
    while (!waiting_.empty() && now - waiting_.front().since >= limit) {
        SRV_LOG(LOG_DBG, "ip=[%s] nothing sent in %u s: closed\n", waiting_.front().peer.c_str(),
                server_->conf.login_timeout_s);
        close(waiting_.front().fd);
        waiting_.pop_front();
    }
}

int accept_loop::poll_timeout_ms(srv_steady::time_point now) const {
    int64_t ms = 1000;
    if (!waiting_.empty()) {
        const auto due =
            waiting_.front().since + std::chrono::seconds(server_->conf.login_timeout_s);
        ms = std::min<int64_t>(
            ms, std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1);
    }
    if (accept_paused_until_ > now) {
        ms = std::min<int64_t>(
            ms, std::chrono::duration_cast<std::chrono::milliseconds>(accept_paused_until_ - now)
                        .count() +
                    1);
    }
    return static_cast<int>(std::max<int64_t>(ms, 0));
}

int accept_loop::run() {
    const auto& listeners = server_->listeners;
    std::vector<pollfd> fds;
    int status = 0;
    while (!server_->stopping) {
        const auto before = srv_steady::now();
        const bool accepting = accept_paused_until_ <= before;
        fds.clear();
        fds.push_back({server_->wake_pipe[0], POLLIN, 0});
        for (const srv_listener& l : listeners) {
            fds.push_back({l.fd, static_cast<short>(accepting ? POLLIN : 0), 0});
        }
        for (const waiting& w : waiting_) fds.push_back({w.fd, POLLIN, 0});
        int n = poll(fds.data(), fds.size(), poll_timeout_ms(before));
        if (n < 0 && errno != EINTR) {
            SRV_LOG(LOG_ERR, "poll error: %s\n", strerror(errno));
            status = -1;
            break;
        }
        reap(server_, false);
        server_->check_deadlines();
        server_->expire_contexts(false);
        if (n > 0) {
            // Connections that spoke first, then new ones: accepting appends to the list polled.
            const size_t first_waiting = 1 + listeners.size();
            std::deque<waiting> still;
            for (size_t i = 0; i < waiting_.size(); ++i) {
                const short revents = fds[first_waiting + i].revents;
                if (revents & POLLIN) {
                    start(server_, std::move(waiting_[i]));
                } else if (revents != 0) {
                    close(waiting_[i].fd);  // gone before it said anything
                } else {
                    still.push_back(std::move(waiting_[i]));
                }
            }
            waiting_.swap(still);
            for (size_t i = 0; i < listeners.size(); ++i) {
                if (fds[1 + i].revents & POLLIN) accept_from(listeners[i]);
            }
        }
        sweep(srv_steady::now());
        server_->metrics.silent.store(static_cast<int64_t>(waiting_.size()),
                                      std::memory_order_relaxed);
    }
    server_->metrics.silent.store(0, std::memory_order_relaxed);
    return status;
}

}  // namespace

int dvsrv_run(dvsrv* server) {
    int status = 0;
    // Metrics are a side show: without their thread the files are still served.
    if (server->metrics_http && server->metrics_http->start(server) != 0) {
        SRV_LOG(LOG_ERR, "metrics: not served\n");
    }
    {
        accept_loop loop(server);
        status = loop.run();
    }
    dvsrv_stop(server);
    reap(server, true);
    server->expire_contexts(true);
    // Only ended here: dvsrv_stop may still be telling it to stop from another thread.
    if (server->metrics_http) server->metrics_http->join();
    return status;
}
