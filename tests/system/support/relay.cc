#include "system/support/relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <utility>

#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_wire.h"

namespace systest {
namespace {

constexpr size_t kHeadSize = 8;
constexpr size_t kMaxFrame = size_t{17} << 20;
constexpr size_t kRawChunk = 64 << 10;

const char* action_name(RelayAction a) {
    switch (a) {
        case RelayAction::cut_fin:
            return "cut_fin";
        case RelayAction::cut_rst:
            return "cut_rst";
        case RelayAction::stall:
            return "stall";
        case RelayAction::flip:
            return "flip";
        case RelayAction::trickle:
            return "trickle";
        case RelayAction::rewrite:
            return "rewrite";
    }
    return "?";
}

// Reads up to `len` bytes, waiting for all of them; fewer at the end of the stream or an error.
size_t read_full(int fd, uint8_t* buf, size_t len) {
    size_t done = 0;
    while (done < len) {
        const ssize_t n = recv(fd, buf + done, len - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

bool write_full(int fd, const uint8_t* buf, size_t len) {
    size_t done = 0;
    while (done < len) {
        const ssize_t n = send(fd, buf + done, len - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void no_delay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

void reset_on_close(int fd) {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
}

// The control code of a control request (8 or 20); -1 for other frames.
int control_code(const std::vector<uint8_t>& frame) {
    const uint8_t code = frame[SD_FRAME_OFFSET_CODE];
    if (code != SD_REQ_IOCTL && code != SD_REQ_FILE_IOCTL) return -1;
    static constexpr blobmsg_policy kPolicy[] = {{SDF_CMD, BLOBMSG_TYPE_INT32}};
    const blob_attr* tb[1] = {};
    if (blobmsg_parse(kPolicy, 1, tb, frame.data() + kHeadSize, frame.size() - kHeadSize) != 0 ||
        tb[0] == nullptr) {
        return -1;
    }
    return blobmsg_get_int32(tb[0]);
}

}  // namespace

struct Relay::Conn {
    int number = 0;
    int client = -1;
    int server = -1;
    std::thread up, down;
    std::atomic<bool> dead{false};
    std::atomic<bool> ended{false};  // a direction reached its end
    std::atomic<bool> rst{false};
    std::atomic<int> active{2};
    std::mutex mutex;
    std::deque<std::pair<int, int>> requests;  // code and control code of unanswered requests

    // Closes both sides: FIN now, or RST when the last pump closes the sockets.
    void kill(bool with_rst) {
        if (dead.exchange(true)) return;
        if (with_rst) {
            rst = true;
            reset_on_close(client);
            reset_on_close(server);
            shutdown(client, SHUT_RD);
            shutdown(server, SHUT_RD);
        } else {
            shutdown(client, SHUT_RDWR);
            shutdown(server, SHUT_RDWR);
        }
    }
    // Each pump calls this once when it ends; the last one closes the sockets.
    void pump_done() {
        if (active.fetch_sub(1) != 1) return;
        close(client);
        close(server);
    }
};

Relay::Relay(int upstream_port) : upstream_port_(upstream_port) {
    listen_fd_ = open_listener();
    if (listen_fd_ < 0) return;
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
}

// A listening socket on port_ (any free port while it is 0); -1 when that failed.
int Relay::open_listener() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port_));
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(fd, 64) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

Relay::~Relay() {
    stopping_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    std::list<std::unique_ptr<Conn>> conns;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        conns.swap(conns_);
    }
    for (auto& c : conns) {
        c->kill(false);
        if (c->up.joinable()) c->up.join();
        if (c->down.joinable()) c->down.join();
    }
    if (listen_fd_ >= 0) close(listen_fd_);
}

void Relay::add(const RelayRule& rule) {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.push_back(rule);
    rule_fired_.push_back(0);
}

void Relay::refuse_next(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    refuse_ += n;
}

std::string Relay::log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

void Relay::note(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    log_ += line + "\n";
}

void Relay::accept_loop() {
    while (!stopping_) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        const int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            const int eno = errno;
            // The listener was shut by a rule: listen again once its time is over.
            std::chrono::steady_clock::time_point until;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                until = closed_until_;
            }
            if (std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_until(until);
            }
            if (eno == EINVAL) {
                const int fd = open_listener();
                if (fd >= 0) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    close(listen_fd_);
                    listen_fd_ = fd;
                }
            }
            continue;
        }
        const int number = ++accepted_;
        bool refuse = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (refuse_ > 0) {
                --refuse_;
                refuse = true;
            }
        }
        if (refuse) {
            note("conn " + std::to_string(number) + ": refused");
            close(client);
            continue;
        }
        const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(upstream_port_));
        if (connect(server, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
            note("conn " + std::to_string(number) + ": upstream refused");
            close(server);
            close(client);
            continue;
        }
        no_delay(client);
        no_delay(server);
        auto conn = std::make_unique<Conn>();
        conn->number = number;
        conn->client = client;
        conn->server = server;
        Conn* raw = conn.get();
        conn->up = std::thread([this, raw] { pump(raw, RelayDir::up); });
        conn->down = std::thread([this, raw] { pump(raw, RelayDir::down); });
        std::lock_guard<std::mutex> lock(mutex_);
        conns_.push_back(std::move(conn));
    }
}

bool Relay::match(int conn, RelayDir dir, uint64_t pos, size_t len, int frame, int code, int cmd,
                  size_t* point, RelayRule* rule) {
    std::lock_guard<std::mutex> lock(mutex_);
    int best = -1;
    size_t best_point = 0;
    for (size_t i = 0; i < rules_.size(); ++i) {
        const RelayRule& r = rules_[i];
        if (r.times != 0 && rule_fired_[i] >= r.times) continue;
        if ((r.conn != 0 && r.conn != conn) || r.dir != dir) continue;
        size_t p = 0;
        if (r.stream_offset) {
            if (*r.stream_offset < pos || *r.stream_offset >= pos + len) continue;
            p = static_cast<size_t>(*r.stream_offset - pos);
        } else {
            if (frame == 0) continue;
            if ((r.frame != 0 && r.frame != frame) || (r.code >= 0 && r.code != code) ||
                (r.cmd >= 0 && r.cmd != cmd)) {
                continue;
            }
            p = std::min(r.offset, r.action == RelayAction::flip ? len - 1 : len);
        }
        if (best < 0 || p < best_point) {
            best = static_cast<int>(i);
            best_point = p;
        }
    }
    if (best < 0) return false;
    ++rule_fired_[best];
    ++fired_;
    refuse_ += rules_[best].refuse_next;
    if (rules_[best].refuse_ms > 0) {
        // Shut before the connection is cut, so that no reconnect can slip in.
        closed_until_ =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(rules_[best].refuse_ms);
        shutdown(listen_fd_, SHUT_RDWR);
        log_ += "listener shut for " + std::to_string(rules_[best].refuse_ms) + " ms\n";
    }
    *point = best_point;
    *rule = rules_[best];
    log_ += "conn " + std::to_string(conn) + (dir == RelayDir::up ? " up" : " down") + " frame " +
            std::to_string(frame) + " code " + std::to_string(code) + " cmd " +
            std::to_string(cmd) + " at " + std::to_string(pos + best_point) + ": " +
            action_name(rule->action) + "\n";
    return true;
}

void Relay::pump(Conn* conn, RelayDir dir) {
    const int src = dir == RelayDir::up ? conn->client : conn->server;
    const int dst = dir == RelayDir::up ? conn->server : conn->client;
    uint64_t pos = 0;
    int frames = 0;
    bool raw = false;
    std::vector<uint8_t> unit;
    for (;;) {
        int frame = 0, code = -1, cmd = -1;
        if (raw) {
            unit.resize(kRawChunk);
            const ssize_t n = recv(src, unit.data(), unit.size(), 0);
            if (n <= 0) break;
            unit.resize(static_cast<size_t>(n));
        } else {
            unit.resize(kHeadSize);
            const size_t got = read_full(src, unit.data(), kHeadSize);
            unit.resize(got);
            if (got < kHeadSize) {
                if (got > 0) write_full(dst, unit.data(), got);
                break;
            }
            const uint32_t word = (uint32_t{unit[4]} << 24) | (uint32_t{unit[5]} << 16) |
                                  (uint32_t{unit[6]} << 8) | unit[7];
            const size_t padded = ((word & BLOB_ATTR_LEN_MASK) + 3) & ~size_t{3};
            if (unit[0] != SD_FRAME_MAGIC0 || unit[1] != SD_FRAME_MAGIC1 || padded < 4 ||
                padded + 4 > kMaxFrame) {
                // Not frames (TLS, or bytes a rule flipped): forwarded as they come from now on.
                raw = true;
            } else {
                unit.resize(4 + padded);
                const size_t body = unit.size() - kHeadSize;
                if (read_full(src, unit.data() + kHeadSize, body) < body) break;
                frame = ++frames;
                code = unit[SD_FRAME_OFFSET_CODE];
                cmd = control_code(unit);
                std::lock_guard<std::mutex> lock(conn->mutex);
                if (dir == RelayDir::up) {
                    if (code != SD_REQ_QUIT) conn->requests.emplace_back(code, cmd);
                } else if (!conn->requests.empty()) {
                    code = conn->requests.front().first;
                    cmd = conn->requests.front().second;
                    conn->requests.pop_front();
                }
            }
        }
        size_t point = 0;
        RelayRule rule;
        if (!match(conn->number, dir, pos, unit.size(), frame, code, cmd, &point, &rule)) {
            if (!write_full(dst, unit.data(), unit.size())) break;
            pos += unit.size();
            continue;
        }
        const RelayAction action = rule.action;
        if (action == RelayAction::rewrite) {
            const std::vector<uint8_t> instead = rule.rewrite(unit);
            if (!write_full(dst, instead.data(), instead.size())) break;
            pos += unit.size();
            continue;
        }
        if (point > 0 && !write_full(dst, unit.data(), point)) break;
        if (action == RelayAction::trickle) {
            bool sent = true;
            for (size_t i = point; i < unit.size() && sent; ++i) {
                if (stopping_ || conn->dead) {
                    sent = false;
                    break;
                }
                sent = write_full(dst, unit.data() + i, 1);
                std::this_thread::sleep_for(std::chrono::milliseconds(rule.trickle_ms));
            }
            if (!sent) break;
            pos += unit.size();
            continue;
        }
        if (action == RelayAction::flip) {
            unit[point] ^= 0xff;
            if (!write_full(dst, unit.data() + point, unit.size() - point)) break;
            pos += unit.size();
            continue;
        }
        if (action == RelayAction::stall) {
            while (!stopping_ && !conn->dead && !conn->ended) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            conn->kill(false);
            conn->pump_done();
            return;
        }
        conn->kill(action == RelayAction::cut_rst);
        conn->pump_done();
        return;
    }
    // The end of one direction ends the other: a peer that closes is gone for this relay.
    conn->ended = true;
    conn->kill(false);
    conn->pump_done();
}

}  // namespace systest
