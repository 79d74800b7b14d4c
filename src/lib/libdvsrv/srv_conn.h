// Inside the file server: one connection, served on its own thread from accept (or its first
// bytes) to its end: frames in, the request table, responses out, the login and the context it
// works on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "libdvsd/sd_frame.h"
#include "libdvsrv/srv_server.h"

// The connection's stream, counting what passes for the connection's closing log line. After
// frame_begin, the first byte is read alone and reported to `on_first_byte`, so that a frame's
// deadline can count from it.
class counting_stream final : public net_stream {
  public:
    explicit counting_stream(net_handle* handle) : inner_(handle) {}
    void frame_begin() { frame_starting_ = true; }
    verr read_full(std::span<uint8_t> buf, size_t* done) override {
        if (!frame_starting_ || buf.size() < 2) {
            frame_starting_ = false;
            const verr status = inner_.read_full(buf, done);
            count_in(*done);
            return status;
        }
        size_t first = 0;
        verr status = inner_.read_full(buf.first(1), &first);
        count_in(first);
        *done = first;
        if (status != VERR_SUCCESS) return status;
        frame_starting_ = false;
        if (on_first_byte) on_first_byte();
        size_t rest = 0;
        status = inner_.read_full(buf.subspan(1), &rest);
        count_in(rest);
        *done += rest;
        return status;
    }
    verr write_full(std::span<const uint8_t> buf, size_t* done) override {
        verr status = inner_.write_full(buf, done);
        out += *done;
        if (metrics != nullptr) metrics->add_out(*done);
        return status;
    }
    uint64_t in = 0;
    uint64_t out = 0;
    std::function<void()> on_first_byte;
    srv_metrics* metrics = nullptr;  // the server's byte counters, when set

  private:
    void count_in(size_t n) {
        in += n;
        if (metrics != nullptr) metrics->add_in(n);
    }

    net_sock_stream inner_;
    bool frame_starting_ = false;
};

// One connection's state, owned by the thread that serves it.
class srv_session final {
  public:
    // `watch` (may be null) is the deadline the accept loop watches for this connection.
    srv_session(dvsrv* server, net_handle* handle, const char* peer, srv_watch* watch)
        : server_(server), handle_(handle), stream_(handle), peer_(peer), watch_(watch) {
        stream_.metrics = &server->metrics;
    }
    srv_session(const srv_session&) = delete;
    srv_session& operator=(const srv_session&) = delete;
    ~srv_session() { detach(); }

    // Serves until the connection ends; returns why it ended, for the closing log line.
    const char* serve();
    const std::string& user() const { return logged_user_; }
    uint64_t bytes_in() const { return stream_.in; }
    uint64_t bytes_out() const { return stream_.out; }

    // The handlers of the connection's own rows (srv_route.cc).
    void login(std::span<const uint8_t> body, sd_frame_msg& reply);
    void key_challenge(std::span<const uint8_t> body, sd_frame_msg& reply);
    void key_answer(std::span<const uint8_t> body, sd_frame_msg& reply);
    void choose_packer(std::span<const uint8_t> data, sd_frame_msg& reply);
    // 101 to 103, 106 and 107.
    void context_control(int32_t cmd, std::span<const uint8_t> data, sd_frame_msg& reply);
    // 104 and 105: answers by itself; false ends the connection.
    bool attach(int32_t cmd, std::span<const uint8_t> data);
    // 2: the client is done.
    void quit();

  private:
    // false ends the connection.
    bool handle_request(uint8_t code, std::span<const uint8_t> body);
    void keep_for_replay(srv_context& ctx, uint64_t index, uint8_t code);
    // 109: the responses after the client's index, in order, after the attach's own.
    bool replay_from(uint64_t index);
    // A login succeeded for `user`: the connection and its context are now that user's. False
    // when max_connections are logged in already or the user may not log in from this address
    // (the login is then refused, with the reply's status and text set here).
    bool logged_in_as(const std::string& user, verr* error, std::string* text);
    // Counts a login the credentials module refused (`checked`: 1 wrong, 2 address locked).
    void count_login_failure(int checked);
    // True (with the refusal) when the client's address may not log in at all.
    bool address_refused(verr* error, std::string* text);
    void detach();
    bool send(const sd_frame_msg& reply, uint8_t code);
    uint8_t protocol() const {
        return server_->conf.key_login ? SD_FRAME_PROTOCOL_KEY_LOGIN : SD_FRAME_PROTOCOL;
    }

    dvsrv* server_;
    net_handle* handle_;
    counting_stream stream_;
    const char* peer_;
    srv_watch* watch_;
    bool logged_in_ = false;
    bool refused_ = false;  // turned away at login: the reply goes out, then the connection ends
    std::string user_;
    std::string logged_user_ = "-";  // who last logged in on this connection, for the closing line
    const char* end_ = nullptr;      // why handle_request ended the connection
    // The challenge of a key login: the key the answer must match, for this connection only.
    bool key_pending_ = false;
    std::string key_expected_;
    std::string key_user_;
    std::vector<uint8_t> frame_;
    sd_frame_msg scratch_;  // replies that are not kept for a repair
    std::shared_ptr<srv_context> ctx_;
};
