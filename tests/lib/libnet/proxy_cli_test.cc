// Tunnelled connects against a scripted proxy on loopback: the exact bytes each handshake sends,
// how it reads the answer (and nothing of the tunnel behind it), and every refusal. The real
// proxies (tinyproxy, microsocks, danted) are exercised by the process tests of dvcp.
#include "libnet/proxy_cli.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "lib/librdir/log_capture.h"
#include "libnet/net_sock.h"
#include "loopback.h"

namespace {

using loopback::fd_owner;
using clock_type = std::chrono::steady_clock;
using namespace std::string_literals;

long long ms_since(clock_type::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start).count();
}

// Bytes the peer of a scripted proxy works with.
class proxy_peer final {
  public:
    explicit proxy_peer(int fd) : fd_(fd) {}
    // Reads exactly `n` bytes (fewer when the client closes or 3 s pass) and records them.
    std::string read(size_t n) {
        std::string got;
        while (got.size() < n && loopback::readable_within(fd_, 3000)) {
            char buf[512];
            const ssize_t r = ::read(fd_, buf, std::min(sizeof buf, n - got.size()));
            if (r <= 0) break;
            got.append(buf, static_cast<size_t>(r));
        }
        received += got;
        return got;
    }
    // Reads up to and including `marker`.
    std::string read_until(const std::string& marker) {
        std::string got;
        while (got.find(marker) == std::string::npos) {
            const std::string one = read(1);
            if (one.empty()) break;
            got += one;
        }
        return got;
    }
    void send(const std::string& bytes) const {
        (void)::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    int fd() const { return fd_; }
    std::string received;

  private:
    int fd_;
};

// A proxy that accepts one connection on an ephemeral loopback port and runs `script` on it.
class scripted_proxy final {
  public:
    explicit scripted_proxy(std::function<void(proxy_peer&)> script) {
        thread_ = std::thread([this, script] {
            fd_owner conn(listener_.accept_one());
            if (conn.get() < 0) return;
            accepted_ = true;
            proxy_peer peer(conn.get());
            script(peer);
            std::lock_guard<std::mutex> lock(mutex_);
            received_ = peer.received;
        });
    }
    ~scripted_proxy() { join(); }
    scripted_proxy(const scripted_proxy&) = delete;
    scripted_proxy& operator=(const scripted_proxy&) = delete;

    uint16_t port() const { return listener_.port(); }
    // What the client sent, once the script has ended.
    std::string received() {
        join();
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }
    bool accepted() {
        join();
        return accepted_;
    }

  private:
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    loopback::listener listener_;
    std::atomic<bool> accepted_{false};
    std::mutex mutex_;
    std::string received_;
    std::thread thread_;
};

struct tunnel_result {
    sock_handle sock = 0;
    err_info err{};
    ~tunnel_result() { sock_close(sock); }
    // What arrives through the tunnel within a second (the bytes the proxy sent after its answer).
    std::string read_through() const {
        return sock == 0 ? "<no socket>" : loopback::read_some(sock_fd(sock), 1000);
    }
};

conf_proxy make_proxy(int32_t type, uint16_t port, const std::string& user = "",
                      const std::string& pwd = "") {
    conf_proxy p;
    p.type = type;
    p.proto = type == CONF_PROXY_HTTP ? "http" : type == CONF_PROXY_SOCKS4 ? "socks4" : "socks5";
    p.host = "127.0.0.1";
    p.port = port;
    p.user = user;
    p.pwd = pwd;
    return p;
}

void connect_through(const conf_proxy& proxy, const char* host, uint32_t port, tunnel_result* out,
                     int32_t timeout_ms = 3000, sock_cancel* cancel = nullptr) {
    sock_opt opt;
    opt.connect_timeout_ms = timeout_ms;
    opt.proxy = &proxy;
    opt.cancel = cancel;
    out->sock = sock_tcp_connect(host, port, &opt, &out->err);
}

// ---- HTTP CONNECT ----

TEST(HttpProxy, TunnelStartsRightAfterTheEmptyLine) {
    scripted_proxy proxy([](proxy_peer& peer) {
        peer.read_until("\r\n\r\n");
        // Answer and the first tunnel bytes in one write: the client must not take any of them.
        peer.send(
            "HTTP/1.1 200 Connection established\r\nProxy-Agent: test\r\nX-A: 1\r\n\r\n"
            "TUNNEL");
    });
    tunnel_result r;
    connect_through(make_proxy(CONF_PROXY_HTTP, proxy.port()), "10.1.2.3", 6688, &r);
    ASSERT_NE(r.sock, 0) << err_info_str(&r.err);
    EXPECT_EQ(r.read_through(), "TUNNEL");
    EXPECT_EQ(proxy.received(), "CONNECT 10.1.2.3:6688 HTTP/1.1\r\nHost: 10.1.2.3:6688\r\n\r\n");
}

TEST(HttpProxy, Ipv6TargetIsBracketedAndCredentialsGoInBasicAuthNeverInTheLog) {
    scripted_proxy proxy([](proxy_peer& peer) {
        peer.read_until("\r\n\r\n");
        peer.send(
            "HTTP/1.0 200 OK\r\n\n"
            "T");  // CR LF LF also ends the block
    });
    log_capture log;
    tunnel_result r;
    connect_through(make_proxy(CONF_PROXY_HTTP, proxy.port(), "joe", "p@ss:w/rd"), "::1", 6688, &r);
    ASSERT_NE(r.sock, 0) << err_info_str(&r.err);
    EXPECT_EQ(r.read_through(), "T");
    const std::string basic = proxy_base64("joe:p@ss:w/rd");
    EXPECT_EQ(basic, "am9lOnBAc3M6dy9yZA==");
    EXPECT_EQ(proxy.received(),
              "CONNECT [::1]:6688 HTTP/1.1\r\nHost: [::1]:6688\r\nProxy-Authorization: Basic " +
                  basic + "\r\n\r\n");
    EXPECT_TRUE(log.has("Proxy-Authorization: Basic ***"));
    EXPECT_FALSE(log.has(basic));
    EXPECT_FALSE(log.has("p@ss"));
}

struct http_refusal {
    const char* name;
    std::string answer;  // sent after the request; then the proxy closes
    const char* text;
};

void PrintTo(const http_refusal& c, std::ostream* os) {
    *os << c.name;
}

class HttpProxyRefusal : public ::testing::TestWithParam<http_refusal> {};

TEST_P(HttpProxyRefusal, FailsWithItsTextAndClosesTheSocket) {
    const http_refusal& c = GetParam();
    scripted_proxy proxy([&c](proxy_peer& peer) {
        peer.read_until("\r\n\r\n");
        peer.send(c.answer);
    });
    tunnel_result r;
    connect_through(make_proxy(CONF_PROXY_HTTP, proxy.port()), "127.0.0.1", 6688, &r);
    EXPECT_EQ(r.sock, 0);
    EXPECT_STREQ(err_info_str(&r.err), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, HttpProxyRefusal,
    ::testing::Values(
        http_refusal{"auth_required", "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n",
                     "proxy user or pwd error"},
        http_refusal{"bad_gateway", "HTTP/1.1 502 Bad Gateway\r\n\r\n", "proxy read return error"},
        http_refusal{"short_status", "HTTP/1.1 2", "proxy recv len error"},
        http_refusal{"closed_inside_headers", "HTTP/1.1 200 OK\r\nX-A: 1\r\n",
                     "proxy read return error"},
        // A header block without end is refused once it passes its cap, not read forever.
        http_refusal{"endless_headers", "HTTP/1.1 200 OK\r\n" + std::string(40000, 'x'),
                     "proxy read return error"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HttpProxy, ATricklingAnswerIsBoundedByTheConnectTimeOutAsAWhole) {
    std::atomic<bool> done{false};
    scripted_proxy proxy([&done](proxy_peer& peer) {
        peer.read_until("\r\n\r\n");
        peer.send("HTTP/1.1 200 OK\r\n");
        // A byte every 100 ms: each single read succeeds, only the whole may not.
        while (!done && !loopback::peer_closed_within(peer.fd(), 100)) peer.send("x");
    });
    tunnel_result r;
    const auto start = clock_type::now();
    connect_through(make_proxy(CONF_PROXY_HTTP, proxy.port()), "127.0.0.1", 6688, &r, 1000);
    done = true;
    EXPECT_EQ(r.sock, 0);
    EXPECT_STREQ(err_info_str(&r.err), "proxy read return error");
    EXPECT_LT(ms_since(start), 5000);
}

TEST(HttpProxy, AStopEndsTheHandshakeWithTheStopsStatus) {
    scripted_proxy proxy([](proxy_peer& peer) {
        peer.read_until("\r\n\r\n");
        loopback::peer_closed_within(peer.fd(), 5000);  // silent until the client goes
    });
    sock_cancel cancel;
    std::thread stopper([&cancel] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cancel.stop = 1;
    });
    tunnel_result r;
    connect_through(make_proxy(CONF_PROXY_HTTP, proxy.port()), "127.0.0.1", 6688, &r, 20000,
                    &cancel);
    stopper.join();
    EXPECT_EQ(r.sock, 0);
    EXPECT_EQ(r.err.code, VERR_NET_USER_STOP);
}

TEST(Proxy, AProxyThatCannotBeReachedReportsTheConnectsError) {
    uint16_t closed_port;
    {
        loopback::listener gone;
        closed_port = gone.port();
    }
    log_capture log;
    tunnel_result r;
    connect_through(make_proxy(CONF_PROXY_SOCKS5, closed_port), "127.0.0.1", 6688, &r);
    EXPECT_EQ(r.sock, 0);
    EXPECT_EQ(r.err.code, VERR_NET_CONNECTION_REFUSED) << err_info_str(&r.err);
    EXPECT_TRUE(log.has("connect proxy server 127.0.0.1:" + std::to_string(closed_port)));
}

// ---- SOCKS4 ----

TEST(Socks4Proxy, SendsTheIpv4AddressAndUserAndReadsEightBytes) {
    scripted_proxy proxy([](proxy_peer& peer) {
        peer.read(8);
        peer.read_until("\0"s);
        peer.send("\x00\x5a\x00\x00\x00\x00\x00\x00"s + "T");
    });
    tunnel_result r;
    connect_through(make_proxy(CONF_PROXY_SOCKS4, proxy.port(), "joe"), "127.0.0.1", 0x1a20, &r);
    ASSERT_NE(r.sock, 0) << err_info_str(&r.err);
    EXPECT_EQ(r.read_through(), "T");
    EXPECT_EQ(proxy.received(), "\x04\x01\x1a\x20\x7f\x00\x00\x01joe\x00"s);
}

TEST(Socks4Proxy, TheAllOnesAddressUsesTheSocks4aFormWithTheHostName) {
    scripted_proxy proxy([](proxy_peer& peer) {
        peer.read(8);
        peer.read_until("\0"s);
        peer.read_until("\0"s);
        peer.send("\x00\x5a\x00\x00\x00\x00\x00\x00"s);
    });
    tunnel_result r;
    connect_through(make_proxy(CONF_PROXY_SOCKS4, proxy.port()), "255.255.255.255", 80, &r);
    ASSERT_NE(r.sock, 0) << err_info_str(&r.err);
    EXPECT_EQ(proxy.received(), "\x04\x01\x00\x50\x00\x00\x00\x01\x00"s + "255.255.255.255" + '\0');
}

TEST(Socks4Proxy, RefusalsAndIpv6) {
    {
        scripted_proxy proxy([](proxy_peer& peer) { peer.read(1); });
        tunnel_result r;
        connect_through(make_proxy(CONF_PROXY_SOCKS4, proxy.port()), "::1", 6688, &r);
        EXPECT_EQ(r.sock, 0);
        EXPECT_STREQ(err_info_str(&r.err), "SOCK4 does not support IPv6");
        EXPECT_EQ(proxy.received(), "");  // nothing was sent
    }
    {
        scripted_proxy proxy([](proxy_peer& peer) {
            peer.read_until("\0"s);
            peer.send("\x00\x5b\x00\x00\x00\x00\x00\x00"s);  // request rejected
        });
        tunnel_result r;
        connect_through(make_proxy(CONF_PROXY_SOCKS4, proxy.port()), "127.0.0.1", 6688, &r);
        EXPECT_EQ(r.sock, 0);
        EXPECT_STREQ(err_info_str(&r.err), "proxy read return error");
    }
}

// ---- SOCKS5 ----

const std::string kBoundV4 = "\x05\x00\x00\x01\x7f\x00\x00\x01\x1a\x20"s;

TEST(Socks5Proxy, NameTargetGoesUnresolvedAndTheBoundAddressIsSkipped) {
    scripted_proxy proxy([](proxy_peer& peer) {
        peer.read(3);
        peer.send("\x05\x00"s);
        peer.read(5 + 12 + 2);
        // A bound name of 200 bytes: its length byte is read as unsigned.
        peer.send("\x05\x00\x00\x03\xc8"s + std::string(200, 'b') + "\x1a\x20" + "T");
    });
    tunnel_result r;
    connect_through(make_proxy(CONF_PROXY_SOCKS5, proxy.port()), "dvsd.example", 6688, &r);
    ASSERT_NE(r.sock, 0) << err_info_str(&r.err);
    EXPECT_EQ(r.read_through(), "T");
    EXPECT_EQ(proxy.received(),
              "\x05\x01\x00"s + "\x05\x01\x00\x03\x0c"s + "dvsd.example" + "\x1a\x20");
}

TEST(Socks5Proxy, Ipv6LiteralIsSentAsSixteenBytes) {
    scripted_proxy proxy([](proxy_peer& peer) {
        peer.read(3);
        peer.send("\x05\x00"s);
        peer.read(4 + 16 + 2);
        peer.send("\x05\x00\x00\x04"s + std::string(16, '\0') + "\x1a\x20" + "T");
    });
    tunnel_result r;
    connect_through(make_proxy(CONF_PROXY_SOCKS5, proxy.port()), "::1", 6688, &r);
    ASSERT_NE(r.sock, 0) << err_info_str(&r.err);
    EXPECT_EQ(r.read_through(), "T");
    EXPECT_EQ(proxy.received(),
              "\x05\x01\x00"s + "\x05\x01\x00\x04"s + std::string(15, '\0') + "\x01\x1a\x20");
}

TEST(Socks5Proxy, UserAndPasswordSubNegotiation) {
    scripted_proxy proxy([](proxy_peer& peer) {
        peer.read(4);
        peer.send("\x05\x02"s);
        peer.read(3 + 3 + 9);
        peer.send("\x01\x00"s);
        peer.read(10);
        peer.send(kBoundV4 + "T");
    });
    tunnel_result r;
    connect_through(make_proxy(CONF_PROXY_SOCKS5, proxy.port(), "joe", "p@ss:w/rd"), "127.0.0.1",
                    6688, &r);
    ASSERT_NE(r.sock, 0) << err_info_str(&r.err);
    EXPECT_EQ(r.read_through(), "T");
    EXPECT_EQ(proxy.received(), "\x05\x02\x00\x02"s + "\x01\x03joe\x09p@ss:w/rd"s +
                                    "\x05\x01\x00\x01\x7f\x00\x00\x01\x1a\x20"s);
}

struct socks5_refusal {
    const char* name;
    std::string user;
    std::string method_answer;   // the proxy's answer to the greeting
    std::string auth_answer;     // to the sub-negotiation, when one happens
    std::string connect_answer;  // to the connect request, when one happens
    const char* text;
};

void PrintTo(const socks5_refusal& c, std::ostream* os) {
    *os << c.name;
}

class Socks5ProxyRefusal : public ::testing::TestWithParam<socks5_refusal> {};

TEST_P(Socks5ProxyRefusal, FailsWithItsText) {
    const socks5_refusal& c = GetParam();
    scripted_proxy proxy([&c](proxy_peer& peer) {
        peer.read(c.user.empty() ? 3 : 4);
        peer.send(c.method_answer);
        if (!c.auth_answer.empty()) {
            peer.read(3 + c.user.size() + 2);
            peer.send(c.auth_answer);
        }
        if (!c.connect_answer.empty()) {
            peer.read(10);
            peer.send(c.connect_answer);
        }
    });
    tunnel_result r;
    connect_through(make_proxy(CONF_PROXY_SOCKS5, proxy.port(), c.user, c.user.empty() ? "" : "pw"),
                    "127.0.0.1", 6688, &r);
    EXPECT_EQ(r.sock, 0);
    EXPECT_STREQ(err_info_str(&r.err), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, Socks5ProxyRefusal,
    ::testing::Values(
        socks5_refusal{"password_method_without_user", "", "\x05\x02"s, "", "",
                       "Proxy read return error"},
        socks5_refusal{"no_acceptable_method", "joe", "\x05\xff"s, "", "",
                       "Proxy read return error"},
        socks5_refusal{"bad_version", "", "\x04\x00"s, "", "", "Proxy read return error"},
        socks5_refusal{"short_method_answer", "", "\x05"s, "", "", "Proxy read return error"},
        socks5_refusal{"wrong_password", "joe", "\x05\x02"s, "\x01\x01"s, "",
                       "Proxy password or user name error"},
        socks5_refusal{"refused", "", "\x05\x00"s, "", "\x05\x05\x00\x01"s, "Connection refused!"},
        socks5_refusal{"ruleset", "", "\x05\x00"s, "", "\x05\x02\x00\x01"s,
                       "Connection not allowed by ruleset!"},
        socks5_refusal{"unknown_code", "", "\x05\x00"s, "", "\x05\x09\x00\x01"s,
                       "proxy unkown error: 9"},
        socks5_refusal{"reply_of_wrong_version", "", "\x05\x00"s, "", "\x04\x00\x00\x01"s,
                       "proxy unkown error: 0"},
        // One byte only: the request's command byte still stands at the code's place.
        socks5_refusal{"short_reply", "", "\x05\x00"s, "", "\x05"s,
                       "General SOCKS server failure!"},
        socks5_refusal{"unknown_bound_address_type", "", "\x05\x00"s, "", "\x05\x00\x00\x07"s,
                       "proxy bound address type 7 unknown"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Socks5Proxy, FieldsLongerThan255BytesAreRefusedBeforeAnythingIsSent) {
    const std::string long_text(256, 'u');
    struct field_case {
        std::string user, pwd, host;
        const char* text;
    };
    for (const field_case& c : {field_case{long_text, "pw", "127.0.0.1", "proxy user longer"},
                                field_case{"joe", long_text, "127.0.0.1", "proxy password longer"},
                                field_case{"", "", long_text, "proxy target host longer"}}) {
        loopback::listener proxy;
        tunnel_result r;
        connect_through(make_proxy(CONF_PROXY_SOCKS5, proxy.port(), c.user, c.pwd), c.host.c_str(),
                        6688, &r);
        EXPECT_EQ(r.sock, 0);
        EXPECT_EQ(r.err.code, VERR_INVALID_PARAMETER);
        EXPECT_NE(std::string(err_info_str(&r.err)).find(c.text), std::string::npos)
            << err_info_str(&r.err);
        EXPECT_FALSE(loopback::readable_within(proxy.fd(), 0));  // not even connected
    }
}

TEST(ProxyBase64, DecoderTakesBothAlphabetsAndRefusesGarbage) {
    std::string out;
    EXPECT_TRUE(proxy_base64_decode(proxy_base64("http://u:p@h:1"), &out));
    EXPECT_EQ(out, "http://u:p@h:1");
    EXPECT_TRUE(proxy_base64_decode("-_8,", &out));  // "+/8="
    EXPECT_EQ(out, "\xfb\xff"s);
    for (const char* bad : {"a", "ab=c", "a*bc", "abc==="}) {
        EXPECT_FALSE(proxy_base64_decode(bad, &out)) << bad;
    }
}

}  // namespace
