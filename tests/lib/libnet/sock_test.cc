// Client sockets and timed I/O against real loopback peers. Upper time bounds are loose (the
// machine may be busy) but far below the time-outs they tell apart from a stop.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "libconf/ini/conf_proxy.h"
#include "libnet/net_sock.h"
#include "libnet/sock_cli.h"

namespace {

using std::chrono::milliseconds;
using clock_type = std::chrono::steady_clock;

long long ms_since(clock_type::time_point start) {
    return std::chrono::duration_cast<milliseconds>(clock_type::now() - start).count();
}

// A descriptor closed on scope exit.
class fd_owner final {
  public:
    explicit fd_owner(int fd = -1) : fd_(fd) {}
    ~fd_owner() { reset(); }
    fd_owner(const fd_owner&) = delete;
    fd_owner& operator=(const fd_owner&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

// A listening TCP socket on an ephemeral loopback port.
class listener final {
  public:
    explicit listener(int family = AF_INET, int backlog = 16) {
        fd_.reset(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (fd_.get() < 0) return;
        sockaddr_storage address{};
        socklen_t length = 0;
        if (family == AF_INET6) {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
            in6->sin6_family = AF_INET6;
            in6->sin6_addr = in6addr_loopback;
            length = sizeof *in6;
        } else {
            auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
            in4->sin_family = AF_INET;
            in4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof *in4;
        }
        if (bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(fd_.get(), backlog) != 0 ||
            getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            fd_.reset();
            return;
        }
        port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                         : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    }
    bool ok() const { return fd_.get() >= 0; }
    uint16_t port() const { return port_; }
    int fd() const { return fd_.get(); }
    // Accepts one connection, waiting at most 5 s; -1 when none came.
    int accept_one() const {
        pollfd p{fd_.get(), POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) return -1;
        return accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    }

  private:
    fd_owner fd_;
    uint16_t port_ = 0;
};

// A port on which nothing listens: bound (so no one else takes it) but never listening.
class closed_port final {
  public:
    closed_port() {
        fd_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port_ = ntohs(address.sin_port);
        }
    }
    uint16_t port() const { return port_; }

  private:
    fd_owner fd_;
    uint16_t port_ = 0;
};

// A listener whose accept queue is full and that never accepts: further connection requests get
// no answer, as from a host that drops packets, without leaving loopback.
class full_listener final {
  public:
    full_listener() : listener_(AF_INET, 0) {
        if (!listener_.ok()) return;
        for (int i = 0; i < 8; ++i) {
            sock_opt opt;
            opt.no_wait = 1;
            sock_handle s = sock_tcp_connect("127.0.0.1", listener_.port(), &opt, nullptr);
            if (s != 0) fillers_.push_back(s);
        }
        // Let the handshakes of the fillers settle into the queue.
        std::this_thread::sleep_for(milliseconds(200));
    }
    ~full_listener() {
        for (sock_handle s : fillers_) sock_close(s);
    }
    uint16_t port() const { return listener_.port(); }

  private:
    listener listener_;
    std::vector<sock_handle> fillers_;
};

bool ipv6_loopback_available() {
    listener probe(AF_INET6);
    return probe.ok();
}

// ---- connect ------------------------------------------------------------------------------------

struct connect_case {
    const char* name;
    const char* host;
    int family;
};

void PrintTo(const connect_case& c, std::ostream* os) {
    *os << c.name << " (" << c.host << ")";
}

class SockConnect : public ::testing::TestWithParam<connect_case> {};

TEST_P(SockConnect, ReachesListenerAndCarriesBytes) {
    const connect_case& c = GetParam();
    if (c.family == AF_INET6 && !ipv6_loopback_available()) GTEST_SKIP() << "no ::1";
    listener server(c.family);
    ASSERT_TRUE(server.ok());
    err_info err{};
    sock_opt opt;
    opt.connect_timeout_ms = 3000;
    opt.sock_bufsize = 65536;
    sock_handle s = sock_tcp_connect(c.host, server.port(), &opt, &err);
    ASSERT_NE(s, 0) << err_info_str(&err);
    EXPECT_EQ(err.code, VERR_SUCCESS);
    fd_owner peer(server.accept_one());
    ASSERT_GE(peer.get(), 0);

    net_handle handle;
    handle.sock = s;
    handle.timeout_ms = 2000;
    EXPECT_EQ(net_sock_write(&handle, "ping", 4), 4);
    char got[4] = {};
    ASSERT_EQ(read(peer.get(), got, 4), 4);
    EXPECT_EQ(std::string(got, 4), "ping");
    EXPECT_EQ(net_close(&handle), 0);
    EXPECT_EQ(handle.sock, 0);
}

INSTANTIATE_TEST_SUITE_P(Hosts, SockConnect,
                         ::testing::Values(connect_case{"ipv4_literal", "127.0.0.1", AF_INET},
                                           connect_case{"name", "localhost", AF_INET},
                                           connect_case{"ipv6_literal", "::1", AF_INET6},
                                           connect_case{"ipv6_bracketed", "[::1]", AF_INET6}),
                         [](const ::testing::TestParamInfo<connect_case>& info) {
                             return info.param.name;
                         });

TEST(SockConnectFailure, RefusedPortFailsAtOnceWithTheRefusal) {
    closed_port port;
    ASSERT_NE(port.port(), 0);
    err_info err{};
    sock_opt opt;
    opt.connect_timeout_ms = 5000;
    const auto start = clock_type::now();
    EXPECT_EQ(sock_tcp_connect("127.0.0.1", port.port(), &opt, &err), 0);
    EXPECT_LT(ms_since(start), 1000);
    EXPECT_EQ(err.code, VERR_NET_CONNECTION_REFUSED);
    EXPECT_EQ(std::string(err.msg).rfind("connect 127.0.0.1:" + std::to_string(port.port()), 0), 0u)
        << err.msg;
}

TEST(SockConnectFailure, EmptyHostDoesNotResolve) {
    err_info err{};
    EXPECT_EQ(sock_tcp_connect("", 1, nullptr, &err), 0);
    EXPECT_EQ(err.code, VERR_INVALID_PARAMETER);
    EXPECT_STREQ(err.msg, "addrinfo_addr  failed");
}

TEST(SockConnectFailure, UnansweredConnectTimesOutAfterItsTimeOut) {
    full_listener server;
    err_info err{};
    sock_opt opt;
    opt.connect_timeout_ms = 600;
    const auto start = clock_type::now();
    EXPECT_EQ(sock_tcp_connect("127.0.0.1", server.port(), &opt, &err), 0);
    const auto elapsed = ms_since(start);
    EXPECT_GE(elapsed, 600);
    EXPECT_LT(elapsed, 600 + 1500);
    EXPECT_EQ(err.code, VERR_TIMEOUT);
    EXPECT_EQ(std::string(err.msg),
              "connect 127.0.0.1:" + std::to_string(server.port()) + " timeout");
}

int stop_after_deadline(void* context, int32_t) {
    return clock_type::now() >= *static_cast<clock_type::time_point*>(context) ? 1 : 0;
}

TEST(SockConnectFailure, StopFlagEndsAWaitingConnectAsAStopNotATimeout) {
    full_listener server;
    sock_cancel cancel;
    std::thread stopper([&] {
        std::this_thread::sleep_for(milliseconds(300));
        cancel.stop = 1;
    });
    err_info err{};
    sock_opt opt;
    opt.connect_timeout_ms = 20000;
    opt.cancel = &cancel;
    const auto start = clock_type::now();
    EXPECT_EQ(sock_tcp_connect("127.0.0.1", server.port(), &opt, &err), 0);
    stopper.join();
    EXPECT_LT(ms_since(start), 2000);
    EXPECT_EQ(err.code, VERR_NET_USER_STOP);
    EXPECT_STREQ(err.msg, "User request stop");
}

TEST(SockConnectFailure, CancelCallbackEndsAWaitingConnect) {
    full_listener server;
    auto deadline = clock_type::now() + milliseconds(300);
    sock_cancel cancel;
    cancel.callback = &stop_after_deadline;
    cancel.context = &deadline;
    err_info err{};
    sock_opt opt;
    opt.connect_timeout_ms = 20000;
    opt.cancel = &cancel;
    const auto start = clock_type::now();
    EXPECT_EQ(sock_tcp_connect("127.0.0.1", server.port(), &opt, &err), 0);
    EXPECT_LT(ms_since(start), 2000);
    EXPECT_EQ(err.code, VERR_NET_USER_STOP);
}

TEST(SockConnect, AProxyOfTypeNoneMeansADirectConnect) {
    listener server;
    ASSERT_TRUE(server.ok());
    conf_proxy none;
    sock_opt opt;
    opt.connect_timeout_ms = 2000;
    opt.proxy = &none;
    err_info err{};
    const sock_handle sock = sock_tcp_connect("127.0.0.1", server.port(), &opt, &err);
    ASSERT_NE(sock, 0) << err_info_str(&err);
    fd_owner peer(server.accept_one());
    EXPECT_GE(peer.get(), 0);
    sock_close(sock);
}

TEST(SockUdp, ConnectedDatagramReachesReceiver) {
    fd_owner receiver(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(receiver.get(), reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(getsockname(receiver.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);

    err_info err{};
    sock_handle s = sock_udp_open("127.0.0.1", ntohs(address.sin_port), &err);
    ASSERT_NE(s, 0) << err_info_str(&err);
    EXPECT_EQ(sock_send(s, "dgram", 5), 5);
    char got[16] = {};
    pollfd p{receiver.get(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_EQ(recv(receiver.get(), got, sizeof got, 0), 5);
    EXPECT_STREQ(got, "dgram");
    sock_close(s);
}

// Failures come back as status codes, the one a caller waits on kept apart from a broken link.
TEST(SockIoStatus, NothingToReadIsTryAgainAndASendToAClosedPeerIsABrokenPipe) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
    const sock_handle ours = sock_from_fd(pair[0]);
    char buf[8];
    EXPECT_EQ(VERR_TRY_AGAIN, sock_recv(ours, buf, sizeof buf));
    close(pair[1]);
    EXPECT_EQ(VERR_BROKEN_PIPE, sock_send(ours, "x", 1));
    EXPECT_EQ(0, sock_recv(ours, buf, sizeof buf));
    sock_close(ours);
    EXPECT_LT(sock_shutdown(ours, SHUT_RDWR), 0);
}

// ---- timed reads and writes -----------------------------------------------------------------

// A connected pair: `handle` is our side (made by sock_tcp_connect), `peer` the accepted side.
class SockIo : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.ok());
        err_info err{};
        sock_opt opt;
        opt.connect_timeout_ms = 3000;
        handle_.sock = sock_tcp_connect("127.0.0.1", server_.port(), &opt, &err);
        ASSERT_NE(handle_.sock, 0) << err_info_str(&err);
        peer_.reset(server_.accept_one());
        ASSERT_GE(peer_.get(), 0);
    }
    void TearDown() override { net_close(&handle_); }

    void peer_send(const std::string& bytes) {
        ASSERT_EQ(send(peer_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }

    listener server_;
    net_handle handle_;
    fd_owner peer_;
};

TEST_F(SockIo, ReadGetsEverythingTheTimeOutAllows) {
    handle_.timeout_ms = 2000;
    peer_send("0123456789");
    char buf[10];
    EXPECT_EQ(net_sock_read(&handle_, buf, sizeof buf), 10);
    EXPECT_EQ(handle_.status, VERR_SUCCESS);
    EXPECT_EQ(std::string(buf, 10), "0123456789");
}

TEST_F(SockIo, SilentPeerGivesShortCountAfterTheTimeOut) {
    handle_.timeout_ms = 500;
    peer_send(std::string(40, 'x'));
    char buf[100];
    const auto start = clock_type::now();
    EXPECT_EQ(net_sock_read(&handle_, buf, sizeof buf), 40);
    const auto elapsed = ms_since(start);
    EXPECT_GE(elapsed, 500);
    EXPECT_LT(elapsed, 500 + 1500);
    EXPECT_EQ(handle_.status, VERR_TIMEOUT);
    EXPECT_FALSE(handle_.disconnected);
}

TEST_F(SockIo, TimeOutCountsFromTheLastByteNotFromTheStart) {
    // Ten bytes, one every 150 ms: 1.5 s in all, three times the time-out, but never 500 ms
    // without progress.
    handle_.timeout_ms = 500;
    std::thread trickle([this] {
        for (int i = 0; i < 10; ++i) {
            std::this_thread::sleep_for(milliseconds(150));
            char c = static_cast<char>('a' + i);
            if (send(peer_.get(), &c, 1, MSG_NOSIGNAL) != 1) return;
        }
    });
    char buf[10];
    const auto start = clock_type::now();
    const ptrdiff_t n = net_sock_read(&handle_, buf, sizeof buf);
    const auto elapsed = ms_since(start);
    trickle.join();
    EXPECT_EQ(n, 10);
    EXPECT_EQ(handle_.status, VERR_SUCCESS);
    EXPECT_GE(elapsed, 1000);
    EXPECT_EQ(std::string(buf, 10), "abcdefghij");
}

TEST_F(SockIo, PeerCloseMidReadReturnsWhatCameThenFailsAtOnce) {
    handle_.timeout_ms = 5000;
    peer_send(std::string(40, 'y'));
    peer_.reset();
    char buf[100];
    const auto start = clock_type::now();
    EXPECT_EQ(net_sock_read(&handle_, buf, sizeof buf), 40);
    EXPECT_TRUE(handle_.disconnected);
    EXPECT_EQ(handle_.status, VERR_NET_NOT_CONNECTED);
    EXPECT_EQ(net_sock_read(&handle_, buf, sizeof buf), -1);
    EXPECT_EQ(net_sock_write(&handle_, buf, 1), -1);
    EXPECT_LT(ms_since(start), 1000);
    net_reset(&handle_);
    EXPECT_FALSE(handle_.disconnected);
}

TEST_F(SockIo, StopFromAnotherThreadEndsABlockedReadPromptly) {
    handle_.timeout_ms = 20000;
    std::thread stopper([this] {
        std::this_thread::sleep_for(milliseconds(300));
        handle_.stop = 1;
    });
    char buf[16];
    const auto start = clock_type::now();
    EXPECT_EQ(net_sock_read(&handle_, buf, sizeof buf), -1);
    const auto elapsed = ms_since(start);
    stopper.join();
    EXPECT_EQ(handle_.status, VERR_NET_USER_STOP);
    EXPECT_LT(elapsed, 2000);
}

TEST_F(SockIo, CancelHookStopEndsABlockedRead) {
    sock_cancel cancel;
    handle_.cancel = &cancel;
    handle_.timeout_ms = 20000;
    std::thread stopper([&] {
        std::this_thread::sleep_for(milliseconds(200));
        cancel.stop = 1;
    });
    char buf[16];
    EXPECT_EQ(net_sock_read(&handle_, buf, sizeof buf), -1);
    stopper.join();
    EXPECT_EQ(handle_.status, VERR_NET_USER_STOP);
}

TEST_F(SockIo, WriteToAPeerThatDoesNotReadTimesOutWithAShortCount) {
    handle_.timeout_ms = 400;
    std::vector<uint8_t> big(64 << 20, 0x5a);
    const auto start = clock_type::now();
    const ptrdiff_t n = net_sock_write(&handle_, big.data(), big.size());
    EXPECT_GT(n, 0);
    EXPECT_LT(static_cast<size_t>(n), big.size());
    EXPECT_EQ(handle_.status, VERR_TIMEOUT);
    EXPECT_LT(ms_since(start), 5000);
}

TEST_F(SockIo, StopEndsABlockedWriteAsAStop) {
    sock_cancel cancel;
    handle_.cancel = &cancel;
    handle_.timeout_ms = 20000;
    std::thread stopper([&] {
        std::this_thread::sleep_for(milliseconds(300));
        cancel.stop = 1;
    });
    std::vector<uint8_t> big(64 << 20, 0x5a);
    const auto start = clock_type::now();
    EXPECT_EQ(net_sock_write(&handle_, big.data(), big.size()), -1);
    stopper.join();
    EXPECT_EQ(handle_.status, VERR_NET_USER_STOP);
    EXPECT_LT(ms_since(start), 2500);
}

// A stop while a write is under way lets the rest of its bytes go out when the peer takes them
// soon: a request cut in the middle would leave the connection unable to say anything more. The
// next wait on the handle is the one that sees the stop.
TEST_F(SockIo, StopDuringAWriteTheRestGoesOutWhenThePeerReads) {
    sock_cancel cancel;
    handle_.cancel = &cancel;
    handle_.timeout_ms = 20000;
    std::vector<uint8_t> big(64 << 20, 0x5a);
    size_t drained = 0;
    std::thread peer([&] {
        // The write fills the socket buffers and waits; then the stop, which the write sees at
        // the end of its wait slice at the latest; then the peer reads on, within the grace.
        std::this_thread::sleep_for(milliseconds(200));
        cancel.stop = 1;
        std::this_thread::sleep_for(milliseconds(600));
        std::vector<char> buf(1 << 20);
        for (;;) {
            // A writer that gave up sends nothing more: the peer stops after a quiet while.
            pollfd p{peer_.get(), POLLIN, 0};
            if (poll(&p, 1, 2000) != 1) break;
            const ssize_t n = recv(peer_.get(), buf.data(), buf.size(), 0);
            if (n <= 0) break;
            drained += static_cast<size_t>(n);
            if (drained == big.size()) break;
        }
    });
    EXPECT_EQ(net_sock_write(&handle_, big.data(), big.size()), static_cast<ptrdiff_t>(big.size()));
    peer.join();
    EXPECT_EQ(drained, big.size());
    char byte;
    const auto start = clock_type::now();
    EXPECT_EQ(net_sock_read(&handle_, &byte, 1), -1);
    EXPECT_EQ(handle_.status, VERR_NET_USER_STOP);
    EXPECT_LT(ms_since(start), 1000);
}

TEST_F(SockIo, WriteToAClosedPeerFailsWithoutSignal) {
    handle_.timeout_ms = 2000;
    peer_.reset();
    std::this_thread::sleep_for(milliseconds(50));
    std::vector<uint8_t> data(1 << 20, 1);
    ptrdiff_t n = 0;
    // The first write may still be taken in before the reset arrives.
    for (int i = 0; i < 20 && n >= 0; ++i) n = net_sock_write(&handle_, data.data(), data.size());
    EXPECT_EQ(n, -1);
    EXPECT_TRUE(handle_.status == VERR_BROKEN_PIPE || handle_.status == VERR_NET_CONNECTION_RESET)
        << handle_.status;
}

TEST_F(SockIo, StreamReportsWhyItStoppedShort) {
    handle_.timeout_ms = 300;
    net_sock_stream stream(&handle_);
    peer_send("abc");
    uint8_t buf[3];
    size_t done = 9;
    EXPECT_EQ(stream.read_full(buf, &done), VERR_SUCCESS);
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(stream.read_full(buf, &done), VERR_TIMEOUT);
    EXPECT_EQ(done, 0u);
}

}  // namespace
