// A TCP relay on loopback that breaks connections on purpose: it sits between dvcp and dvsd,
// forwards both directions, and at a chosen point of a chosen connection cuts it (FIN or RST),
// stalls it, flips a byte, trickles the rest of a frame or puts other bytes in its place (a
// server that lies). Points are named frame-aware (the k-th request or response of a
// connection, its request code and control code, a byte offset inside that frame) or by a byte
// offset of a direction's stream, which is what works under TLS.
//
// Frames are forwarded whole (read completely, then written), so an action inside a frame sees
// the frame's head and fields. A direction whose first bytes are not a frame (TLS) is forwarded
// as it arrives and only stream rules apply to it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace systest {

enum class RelayDir { up, down };  // up: client to server; down: server to client

enum class RelayAction {
    cut_fin,  // forward what comes before the point, then close both sides with FIN
    cut_rst,  // the same, closing with RST
    stall,    // forward what comes before the point, then nothing more in that direction
    flip,     // invert the byte at the point and go on
    trickle,  // forward the frame from the point on one byte at a time, trickle_ms apart
    rewrite,  // forward what `rewrite` makes of the whole frame instead of it (offset unused)
};

struct RelayRule {
    int conn = 0;  // connection number, 1 for the first accepted; 0: every connection
    RelayDir dir = RelayDir::up;
    // Frame rule: the k-th frame of `dir` on the connection (1-based; 0: any frame) whose request
    // code and control code (those of the request a response answers) match (-1: any).
    int frame = 0;
    int code = -1;
    int cmd = -1;
    size_t offset = 0;  // where in the frame the action hits; 0 drops the whole frame
    // Stream rule instead: the action hits at this byte of `dir`'s stream, counted per connection.
    std::optional<uint64_t> stream_offset;
    RelayAction action = RelayAction::cut_fin;
    int times = 1;  // how often the rule fires in all; 0: without limit
    // After firing: the next this many connections are accepted and closed at once (FIN), so
    // that the client's login fails; or no connection is accepted at all (connects are refused)
    // for this many milliseconds.
    int refuse_next = 0;
    int refuse_ms = 0;
    int trickle_ms = 0;
    // The frame (head included) in, the bytes to send in its place out; runs on the relay's
    // thread of that direction.
    std::function<std::vector<uint8_t>(const std::vector<uint8_t>& frame)> rewrite;
};

class Relay {
  public:
    // Listens on 127.0.0.1 (any free port) and forwards to 127.0.0.1:`upstream_port`.
    explicit Relay(int upstream_port);
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    int port() const { return port_; }
    // Connections accepted from now on go to this port (a server started again).
    void set_upstream(int port) { upstream_port_ = port; }
    void add(const RelayRule& rule);
    // The next `n` connections are closed as soon as they are accepted.
    void refuse_next(int n);

    int fired() const { return fired_.load(); }
    int connections() const { return accepted_.load(); }
    // One line per action taken ("conn 2 up frame 5 code 8 cmd 10132 offset 0: cut_fin").
    std::string log() const;

  private:
    struct Conn;
    struct Direction;
    void accept_loop();
    int open_listener();
    void pump(Conn* conn, RelayDir dir);
    // The rule that hits a unit of `len` bytes at stream position `pos` (a frame when `frame`
    // is nonzero), earliest point first; false when none does. Counts the firing.
    bool match(int conn, RelayDir dir, uint64_t pos, size_t len, int frame, int code, int cmd,
               size_t* point, RelayRule* rule);
    void note(const std::string& line);

    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<int> upstream_port_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> fired_{0};
    std::atomic<int> accepted_{0};
    mutable std::mutex mutex_;  // protects everything below
    std::vector<RelayRule> rules_;
    std::vector<int> rule_fired_;
    int refuse_ = 0;
    std::chrono::steady_clock::time_point closed_until_{};  // listener shut until then
    std::string log_;
    std::list<std::unique_ptr<Conn>> conns_;
    std::thread acceptor_;
};

}  // namespace systest
