// Inside the file server: its counters for a metrics collector, and the small HTTP listener that
// serves them (metrics=ADDRESS:PORT) in the Prometheus text format, version 0.0.4.
//
// Counters are atomics bumped on the request path with relaxed order: a request pays a few
// uncontended increments, never a lock. Gauges (connections open, contexts kept, descriptors,
// memory) are read from the server when a collector asks.
//
// The listener runs on a thread of its own with its own descriptors. It serves GET /metrics
// (anything else: 404; a method other than GET or HEAD: 405), one request per connection. A
// request must arrive whole within 10 seconds and 8 KiB; at most 8 collectors are served at once
// (a further one takes the place of the oldest still sending its request), so that no client can
// exhaust the server's descriptors or memory through it, and nothing it does waits on the file
// service.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "libdvsd/sd_frame.h"

struct dvsrv;

// Why a connection or a login was turned away.
enum class srv_refusal : uint8_t {
    max_connections,        // max_connections logged in already
    max_login_connections,  // max_login_connections not logged in yet
    hosts,                  // hosts_allow= / hosts_deny= of the server
    user_hosts,             // hosts_allow= of the user's section
    locked,                 // the address is locked after failed logins
    silent,                 // accepted but dropped before it spoke (descriptors ran out)
    tls_handshake,          // the TLS handshake failed
    count_
};

// The cause's label value, as the metrics show it.
const char* srv_refusal_name(srv_refusal cause);

struct srv_metrics final {
    static constexpr size_t kCauses = static_cast<size_t>(srv_refusal::count_);

    // Every counter starts at zero (an atomic's default constructor value-initialises it).
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> refused[kCauses];
    std::atomic<uint64_t> logins_ok{0};
    std::atomic<uint64_t> logins_failed{0};
    std::atomic<uint64_t> bytes_in{0};
    std::atomic<uint64_t> bytes_out{0};
    // Requests answered, by request code and by whether the reply carried a failure.
    std::atomic<uint64_t> requests_ok[256];
    std::atomic<uint64_t> requests_failed[256];
    // Connections accepted that have not sent anything yet (they wait in the accept loop).
    std::atomic<int64_t> silent{0};
    int64_t started_s = 0;  // wall clock, set when the server opens

    void refuse(srv_refusal cause) {
        refused[static_cast<size_t>(cause)].fetch_add(1, std::memory_order_relaxed);
    }
    void add_in(uint64_t n) { bytes_in.fetch_add(n, std::memory_order_relaxed); }
    void add_out(uint64_t n) { bytes_out.fetch_add(n, std::memory_order_relaxed); }
    // Counts a reply to request `code` by its status field.
    void count_reply(uint8_t code, const sd_frame_msg& reply);
};

// The exposition of every metric of `server`, in the Prometheus text format 0.0.4.
std::string srv_metrics_text(dvsrv* server);

// metrics=: "HOST:PORT" or "[IPV6]:PORT", PORT 0 to 65535 (0: any free port). False with `*err`
// for another form; `host` without brackets.
bool srv_metrics_address_parse(std::string_view text, std::string* host, uint32_t* port,
                               std::string* err);

// The HTTP listener of metrics=. Made by dvsrv_listen (so that it binds before a privilege drop),
// started by dvsrv_run, stopped by dvsrv_stop.
class srv_metrics_http final {
  public:
    srv_metrics_http() = default;
    ~srv_metrics_http();
    srv_metrics_http(const srv_metrics_http&) = delete;
    srv_metrics_http& operator=(const srv_metrics_http&) = delete;

    // Binds and listens on `address` (the metrics= text). 0, or -1 with `*err`.
    int listen(std::string_view address, std::string* err);
    // "http://ADDRESS:PORT/metrics", with the real port.
    const std::string& url() const { return url_; }
    // Serves `server` on a thread of its own until stop().
    int start(dvsrv* server);
    // Tells the thread to end; any thread, idempotent.
    void stop();
    // Stops the thread and waits for it; the thread that started it.
    void join();

  private:
    void run(dvsrv* server);

    int fd_ = -1;
    int wake_[2] = {-1, -1};
    std::string url_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
};
