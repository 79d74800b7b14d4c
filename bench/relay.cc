// A TCP relay that puts a link's delay (and optionally its rate) between a client and a server
// on one machine, for bench/remote.sh: this machine has no netem. Every chunk read on one side is
// written to the other D milliseconds later, each direction on its own; reading goes on while
// chunks wait, up to a bound of queued bytes per direction, beyond which the relay stops reading
// (the sender then feels the full pipe, as on a real link). A half-close travels as the data does,
// D milliseconds after the last byte before it. One thread, epoll, a timer for the next due chunk:
// nothing spins.
//
//   relay LISTEN_PORT TARGET_HOST:PORT delay_ms=D [rate=BYTES_PER_SEC] [queue=BYTES]
//
// Listens on 127.0.0.1 (LISTEN_PORT 0: a port of the kernel's choosing) and prints
// "relay listening 127.0.0.1:PORT" once it accepts. rate caps each direction of each connection;
// queue is the bound of waiting bytes per direction (default 64 MiB).
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t kReadSize = 256 * 1024;
constexpr size_t kReadsPerEvent = 8;  // then other connections get their turn

struct options {
    uint16_t listen_port = 0;
    std::string target_host;
    std::string target_port;
    int64_t delay_ns = 0;
    uint64_t rate = 0;  // bytes per second, 0: no cap
    size_t queue_cap = size_t{64} << 20;
};

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "relay: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

// The relay must not add Nagle's wait to the delay it is asked for.
void set_nodelay(int fd) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

struct chunk {
    int64_t due_ns = 0;
    std::vector<char> data;  // empty: the sender's half-close
    size_t sent = 0;
};

struct connection;

// One socket of a connection, as epoll sees it.
struct endpoint {
    connection* conn = nullptr;
    int fd = -1;
    uint32_t mask = 0;     // what epoll watches for now
    bool removed = false;  // closed both ways: epoll would report its hang-up for ever
};

// One direction: what is read from `from` goes to `to`.
struct flow {
    endpoint* from = nullptr;
    endpoint* to = nullptr;
    std::deque<chunk> queue;
    size_t queued = 0;
    bool read_done = false;      // the sender half-closed
    bool write_done = false;     // and that was passed on
    bool write_blocked = false;  // the receiver's buffer is full
    double tokens = 0;           // rate cap: bytes that may go now
    int64_t tokens_at = 0;
};

struct connection {
    endpoint client;
    endpoint server;
    flow up;    // client to server
    flow down;  // server to client
    bool connecting = true;
    bool failed = false;
};

class relay final {
  public:
    explicit relay(const options& o) : opt_(o) {}

    void run() {
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0) die("epoll_create1");
        timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (timer_ < 0) die("timerfd_create");
        listen_socket();
        add(timer_, EPOLLIN, &timer_tag_);
        add(listener_, EPOLLIN, &listener_tag_);
        std::vector<epoll_event> events(256);
        for (;;) {
            const int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                die("epoll_wait");
            }
            for (int i = 0; i < n; ++i) {
                void* tag = events[i].data.ptr;
                if (tag == &listener_tag_) {
                    accept_all();
                } else if (tag == &timer_tag_) {
                    uint64_t expired;
                    while (read(timer_, &expired, sizeof expired) > 0) {
                    }
                } else {
                    auto* ep = static_cast<endpoint*>(tag);
                    on_event(ep, events[i].events);
                }
            }
            // Chunks come due and rate tokens come back without an event on any socket.
            pump_all();
            reap();
            arm_timer();
        }
    }

  private:
    void add(int fd, uint32_t mask, void* tag) {
        epoll_event ev{};
        ev.events = mask;
        ev.data.ptr = tag;
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) < 0) die("epoll_ctl");
    }

    void listen_socket() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (listener_ < 0) die("socket");
        const int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(opt_.listen_port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) die("bind");
        if (listen(listener_, 512) < 0) die("listen");
        socklen_t len = sizeof addr;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        std::printf("relay listening 127.0.0.1:%u\n", ntohs(addr.sin_port));
        std::fflush(stdout);

        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        const int rc =
            getaddrinfo(opt_.target_host.c_str(), opt_.target_port.c_str(), &hints, &target_);
        if (rc != 0) {
            std::fprintf(stderr, "relay: %s:%s: %s\n", opt_.target_host.c_str(),
                         opt_.target_port.c_str(), gai_strerror(rc));
            std::exit(1);
        }
    }

    void accept_all() {
        for (;;) {
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) return;
                if (errno == EMFILE || errno == ENFILE) {
                    std::fprintf(stderr, "relay: accept: %s\n", std::strerror(errno));
                    return;
                }
                die("accept");
            }
            const int out =
                socket(target_->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (out < 0) {
                close(fd);
                continue;
            }
            if (connect(out, target_->ai_addr, target_->ai_addrlen) < 0 && errno != EINPROGRESS) {
                close(fd);
                close(out);
                continue;
            }
            set_nodelay(fd);
            set_nodelay(out);
            auto c = std::make_unique<connection>();
            c->client = {c.get(), fd, 0};
            c->server = {c.get(), out, 0};
            c->up.from = &c->client;
            c->up.to = &c->server;
            c->down.from = &c->server;
            c->down.to = &c->client;
            const int64_t now = now_ns();
            c->up.tokens_at = c->down.tokens_at = now;
            c->up.tokens = c->down.tokens = static_cast<double>(burst());
            add(fd, 0, &c->client);
            add(out, EPOLLOUT, &c->server);  // the connect's completion
            c->server.mask = EPOLLOUT;
            conns_.push_back(std::move(c));
            watch(*conns_.back());
        }
    }

    void on_event(endpoint* ep, uint32_t events) {
        connection& c = *ep->conn;
        if (c.failed) return;
        if (ep == &c.server && c.connecting) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(c.server.fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0) {
                c.failed = true;
                return;
            }
            if ((events & EPOLLOUT) == 0) return;
            c.connecting = false;
        }
        flow& out_flow = ep == &c.client ? c.up : c.down;  // ep reads for it
        flow& in_flow = ep == &c.client ? c.down : c.up;   // ep writes for it
        if (events & EPOLLERR) {
            c.failed = true;  // a reset: what was in flight is lost anyway
            return;
        }
        if (events & (EPOLLIN | EPOLLHUP)) read_from(out_flow);
        if (events & (EPOLLOUT | EPOLLHUP)) in_flow.write_blocked = false;
        if ((events & EPOLLHUP) && out_flow.read_done && in_flow.write_done && !ep->removed) {
            epoll_ctl(epoll_, EPOLL_CTL_DEL, ep->fd, nullptr);
            ep->removed = true;
        }
        pump(c);
    }

    void read_from(flow& f) {
        connection& c = *f.from->conn;
        if (f.read_done || c.failed) return;
        for (size_t i = 0; i < kReadsPerEvent && has_room(f); ++i) {
            const size_t want = std::min(kReadSize, opt_.queue_cap - f.queued);
            const ssize_t n = read(f.from->fd, buf_.data(), want);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN) c.failed = true;
                return;
            }
            const int64_t due = now_ns() + opt_.delay_ns;
            if (n == 0) {
                f.read_done = true;
                f.queue.push_back(chunk{due, {}, 0});
                return;
            }
            size_t sent = 0;
            // Without delay or cap a chunk goes straight on when nothing waits before it.
            if (opt_.delay_ns == 0 && opt_.rate == 0 && f.queue.empty() && !f.write_blocked &&
                !c.connecting) {
                const ssize_t w = write_some(f, buf_.data(), static_cast<size_t>(n));
                if (w < 0) return;
                sent = static_cast<size_t>(w);
            }
            if (sent < static_cast<size_t>(n)) {
                f.queue.push_back(
                    chunk{due, std::vector<char>(buf_.data() + sent, buf_.data() + n), 0});
                f.queued += static_cast<size_t>(n) - sent;
            }
            if (static_cast<size_t>(n) < want) return;  // the socket is drained
        }
    }

    // Whether `f` may read more. Without delay or cap nothing is gained by holding bytes here:
    // the relay reads only what it can pass on at once, as a plain forwarder does, and copies
    // nothing.
    bool has_room(const flow& f) const {
        if (opt_.delay_ns == 0 && opt_.rate == 0) return f.queue.empty() && !f.write_blocked;
        return f.queued < opt_.queue_cap;
    }

    // Writes what it can; -1 after the connection failed.
    ssize_t write_some(flow& f, const char* data, size_t len) {
        for (;;) {
            const ssize_t w = send(f.to->fd, data, len, MSG_NOSIGNAL);
            if (w >= 0) return w;
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                f.write_blocked = true;
                return 0;
            }
            f.from->conn->failed = true;
            return -1;
        }
    }

    size_t burst() const {
        return opt_.rate == 0 ? 0 : std::max<size_t>(opt_.rate / 50, 16 * 1024);
    }

    void refill(flow& f, int64_t now) {
        if (opt_.rate == 0) return;
        f.tokens = std::min(static_cast<double>(burst()),
                            f.tokens + static_cast<double>(now - f.tokens_at) *
                                           static_cast<double>(opt_.rate) / 1e9);
        f.tokens_at = now;
    }

    void write_due(flow& f, int64_t now) {
        connection& c = *f.from->conn;
        if (c.connecting) return;
        refill(f, now);
        while (!f.queue.empty() && !f.write_blocked && !c.failed) {
            chunk& head = f.queue.front();
            if (head.due_ns > now) return;
            if (head.data.empty()) {
                shutdown(f.to->fd, SHUT_WR);
                f.write_done = true;
                f.queue.pop_front();
                return;
            }
            size_t len = head.data.size() - head.sent;
            if (opt_.rate != 0) {
                // Small writes against an empty bucket would cost a wake-up per few bytes.
                const size_t least = std::min(len, burst() / 2);
                if (f.tokens < static_cast<double>(least)) return;
                len = std::min(len, static_cast<size_t>(f.tokens));
            }
            const ssize_t w = write_some(f, head.data.data() + head.sent, len);
            if (w <= 0) return;
            head.sent += static_cast<size_t>(w);
            f.queued -= static_cast<size_t>(w);
            if (opt_.rate != 0) f.tokens -= static_cast<double>(w);
            if (head.sent == head.data.size()) f.queue.pop_front();
        }
    }

    // When `f` next needs the clock to move on: its head chunk's due time, or the time the
    // bucket holds enough for it; INT64_MAX when nothing waits on time.
    int64_t next_time(const flow& f) const {
        if (f.queue.empty() || f.write_blocked) return INT64_MAX;
        const chunk& head = f.queue.front();
        if (opt_.rate == 0 || head.data.empty()) return head.due_ns;
        const size_t least = std::min(head.data.size() - head.sent, burst() / 2);
        const double missing = static_cast<double>(least) - f.tokens;
        if (missing <= 0) return head.due_ns;
        const auto wait = static_cast<int64_t>(missing * 1e9 / static_cast<double>(opt_.rate)) + 1;
        return std::max(head.due_ns, f.tokens_at + wait);
    }

    void pump(connection& c) {
        const int64_t now = now_ns();
        write_due(c.up, now);
        write_due(c.down, now);
        watch(c);
    }

    void pump_all() {
        const int64_t now = now_ns();
        for (auto& c : conns_) {
            if (c->failed) continue;
            if (next_time(c->up) <= now || next_time(c->down) <= now) pump(*c);
        }
    }

    // The events each socket needs now: reading while its direction has room, writing while the
    // other direction is held up by a full socket buffer.
    void watch(connection& c) {
        for (endpoint* ep : {&c.client, &c.server}) {
            const flow& out_flow = ep == &c.client ? c.up : c.down;
            const flow& in_flow = ep == &c.client ? c.down : c.up;
            if (ep->removed) continue;
            uint32_t mask = 0;
            if (!out_flow.read_done && has_room(out_flow)) mask |= EPOLLIN;
            if (in_flow.write_blocked || (ep == &c.server && c.connecting)) mask |= EPOLLOUT;
            if (mask == ep->mask) continue;
            epoll_event ev{};
            ev.events = mask;
            ev.data.ptr = ep;
            epoll_ctl(epoll_, EPOLL_CTL_MOD, ep->fd, &ev);
            ep->mask = mask;
        }
    }

    // A connection ends when both half-closes went through, or at once when one side failed.
    void reap() {
        std::erase_if(conns_, [](const std::unique_ptr<connection>& c) {
            if (!c->failed && !(c->up.write_done && c->down.write_done)) return false;
            close(c->client.fd);
            close(c->server.fd);
            return true;
        });
    }

    void arm_timer() {
        int64_t next = INT64_MAX;
        for (const auto& c : conns_) {
            next = std::min({next, next_time(c->up), next_time(c->down)});
        }
        itimerspec when{};
        if (next != INT64_MAX) {
            next = std::max<int64_t>(next, 1);
            when.it_value.tv_sec = next / 1'000'000'000;
            when.it_value.tv_nsec = next % 1'000'000'000;
        }
        if (next == armed_) return;
        timerfd_settime(timer_, TFD_TIMER_ABSTIME, &when, nullptr);
        armed_ = next;
    }

    options opt_;
    int epoll_ = -1;
    int timer_ = -1;
    int listener_ = -1;
    int64_t armed_ = INT64_MAX;
    char listener_tag_ = 0;
    char timer_tag_ = 0;
    addrinfo* target_ = nullptr;
    std::vector<std::unique_ptr<connection>> conns_;
    std::vector<char> buf_ = std::vector<char>(kReadSize);
};

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: relay LISTEN_PORT TARGET_HOST:PORT delay_ms=D [rate=BYTES_PER_SEC] "
                 "[queue=BYTES]\n");
    std::exit(2);
}

bool parse_u64(const char* text, uint64_t* out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-') return false;
    *out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) usage();
    options o;
    uint64_t port = 0;
    if (!parse_u64(argv[1], &port) || port > 65535) usage();
    o.listen_port = static_cast<uint16_t>(port);
    const std::string target = argv[2];
    const size_t colon = target.rfind(':');
    if (colon == std::string::npos || colon == 0) usage();
    o.target_host = target.substr(0, colon);
    o.target_port = target.substr(colon + 1);
    bool have_delay = false;
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        uint64_t v = 0;
        const size_t eq = arg.find('=');
        if (eq == std::string::npos || !parse_u64(arg.c_str() + eq + 1, &v)) usage();
        const std::string key = arg.substr(0, eq);
        if (key == "delay_ms") {
            o.delay_ns = static_cast<int64_t>(v) * 1'000'000;
            have_delay = true;
        } else if (key == "rate") {
            o.rate = v;
        } else if (key == "queue" && v > 0) {
            o.queue_cap = v;
        } else {
            usage();
        }
    }
    if (!have_delay) usage();
    std::signal(SIGPIPE, SIG_IGN);
    relay(o).run();
}
