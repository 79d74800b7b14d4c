// TLS channels between a real client and server over loopback TCP, with certificates made by
// openssl for the test run: the round trip through the net handle's hooks, time-outs and a
// peer's close on reads, the certificate checks of the client, and the deadlines of both
// handshakes.
#include "libssl/ssl.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lib/libnet/loopback.h"
#include "lib/librdir/log_capture.h"
#include "lib/test_support/tls_certs.h"

namespace {

using clock_type = std::chrono::steady_clock;

using dvtest::tls_identity;

dvtest::tls_certificates& certs() {
    return dvtest::tls_certs();
}

// Two connected loopback sockets as net handles, closed (channels and all) at the end.
struct socket_pair {
    net_handle client;
    net_handle server;
    bool ok = false;

    socket_pair() {
        loopback::listener l;
        const int c = loopback::connect_to(l.port());
        const int s = l.accept_one();
        if (c < 0 || s < 0) return;
        client.sock = sock_from_fd(c);
        server.sock = sock_from_fd(s);
        client.timeout_ms = server.timeout_ms = 5000;
        ok = true;
    }
    ~socket_pair() {
        net_close(&client);
        net_close(&server);
    }
};

class SslChannel : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        libssl_init();
        std::string err;
        conf_ = ssl_srv_conf_new(certs().server.cert.c_str(), certs().server.key.c_str(), &err);
        ASSERT_NE(conf_, nullptr) << err;
    }
    static void TearDownTestSuite() {
        ssl_srv_conf_free(conf_);
        conf_ = nullptr;
        libssl_exit();
    }
    void SetUp() override {
        ASSERT_TRUE(certs().server.ok() && certs().other.ok())
            << "openssl could not make certificates";
        ASSERT_TRUE(pair_.ok);
    }

    // Both handshakes at once, the server's on a thread. A client that fails drops its socket so
    // that the server's handshake ends too.
    ssl_channel* connect(const char* cipher = "", const ssl_verify* verify = nullptr,
                         err_info* err = nullptr) {
        std::thread server([this] { server_channel_ = ssl_srv_new(conf_, &pair_.server, 5000); });
        ssl_channel* channel = ssl_cli_connect(nullptr, &pair_.client, cipher, 5000, verify, err);
        if (channel == nullptr) sock_shutdown(pair_.client.sock, SHUT_RDWR);
        server.join();
        return channel;
    }

    static ssl_srv_conf* conf_;
    socket_pair pair_;
    ssl_channel* server_channel_ = nullptr;
};

ssl_srv_conf* SslChannel::conf_ = nullptr;

std::string pattern(size_t size) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>((i * 131 + i / 7) & 0xff);
    return text;
}

// ---- the channel carries the handle's bytes ----

TEST_F(SslChannel, RoundTripThroughTheHandleInBothDirections) {
    ssl_channel* channel = connect();
    ASSERT_NE(channel, nullptr);
    ASSERT_NE(server_channel_, nullptr);
    EXPECT_EQ(pair_.client.ssl, static_cast<void*>(channel));
    EXPECT_EQ(pair_.server.ssl, static_cast<void*>(server_channel_));

    // More than one record each way, read in pieces that do not match the records.
    const std::string sent = pattern(100000);
    std::thread echo([this, size = sent.size()] {
        std::string buf(size, '\0');
        for (size_t done = 0; done < buf.size();) {
            const size_t piece = std::min<size_t>(7001, buf.size() - done);
            if (net_read(&pair_.server, buf.data() + done, piece) !=
                static_cast<ptrdiff_t>(piece)) {
                return;
            }
            done += piece;
        }
        net_write(&pair_.server, buf.data(), buf.size());
    });
    EXPECT_EQ(net_write(&pair_.client, sent.data(), sent.size()),
              static_cast<ptrdiff_t>(sent.size()));
    std::string back(sent.size(), '\0');
    EXPECT_EQ(net_read(&pair_.client, back.data(), back.size()),
              static_cast<ptrdiff_t>(back.size()));
    EXPECT_EQ(pair_.client.status, VERR_SUCCESS);
    echo.join();
    EXPECT_TRUE(back == sent) << "the echo differs";

    // On the wire it is not the plain text: a raw look at the next record shows no pattern.
    const std::string marker = "PLAINTEXT-MARKER-0123456789";
    std::thread peek([this, &marker] {
        std::string raw(64, '\0');
        loopback::readable_within(sock_fd(pair_.server.sock), 5000);
        const ptrdiff_t n = recv(sock_fd(pair_.server.sock), raw.data(), raw.size(), MSG_PEEK);
        EXPECT_GT(n, 0);
        EXPECT_EQ(raw.find("PLAINTEXT"), std::string::npos);
    });
    EXPECT_EQ(net_write(&pair_.client, marker.data(), marker.size()),
              static_cast<ptrdiff_t>(marker.size()));
    peek.join();
    std::string got(marker.size(), '\0');
    EXPECT_EQ(net_read(&pair_.server, got.data(), got.size()), static_cast<ptrdiff_t>(got.size()));
    EXPECT_EQ(got, marker);
}

TEST_F(SslChannel, ForcedCipherNameNegotiatesTheOneSuite) {
    ssl_channel* channel = connect(SSL_FORCED_CIPHER_NAME);
    ASSERT_NE(channel, nullptr);
    EXPECT_STREQ(ssl_channel_cipher(channel), "TLS-RSA-WITH-AES-256-CBC-SHA");
    // The shared configuration is not changed by it: the next connect offers every suite again.
    socket_pair second;
    ASSERT_TRUE(second.ok);
    ssl_channel* srv = nullptr;
    std::thread server([&] { srv = ssl_srv_new(conf_, &second.server, 5000); });
    ssl_channel* plain = ssl_cli_connect(nullptr, &second.client, "", 5000);
    server.join();
    ASSERT_NE(plain, nullptr);
    EXPECT_STRNE(ssl_channel_cipher(plain), "TLS-RSA-WITH-AES-256-CBC-SHA");
}

// Handshakes on several threads at once, half of them forcing the suite: each gets what it
// asked for (the choice is per connect, not written into shared state).
TEST_F(SslChannel, ConcurrentConnectsKeepTheirOwnSuiteChoice) {
    constexpr int kThreads = 6;
    std::vector<std::thread> threads;
    std::vector<std::string> suites(kThreads);
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([i, &suites] {
            socket_pair p;
            if (!p.ok) return;
            std::thread server([&] { ssl_srv_new(conf_, &p.server, 5000); });
            ssl_channel* c =
                ssl_cli_connect(nullptr, &p.client, i % 2 == 0 ? SSL_FORCED_CIPHER_NAME : "", 5000);
            if (c == nullptr) sock_shutdown(p.client.sock, SHUT_RDWR);
            server.join();
            if (c != nullptr) suites[static_cast<size_t>(i)] = ssl_channel_cipher(c);
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) {
        SCOPED_TRACE(i);
        ASSERT_FALSE(suites[static_cast<size_t>(i)].empty());
        EXPECT_EQ(suites[static_cast<size_t>(i)] == "TLS-RSA-WITH-AES-256-CBC-SHA", i % 2 == 0);
    }
}

// ---- reads end on time-out and on a peer's close ----

TEST_F(SslChannel, SilentPeerEndsTheReadAfterTheHandleTimeOut) {
    ASSERT_NE(connect(), nullptr);
    pair_.client.timeout_ms = 400;
    std::string buf(100, '\0');
    ASSERT_EQ(net_write(&pair_.server, "abc", 3), 3);
    const auto start = clock_type::now();
    EXPECT_EQ(net_read(&pair_.client, buf.data(), buf.size()), 3);
    const auto waited = clock_type::now() - start;
    EXPECT_EQ(pair_.client.status, VERR_TIMEOUT);
    EXPECT_FALSE(pair_.client.disconnected);
    EXPECT_GE(waited, std::chrono::milliseconds(350));
    EXPECT_LT(waited, std::chrono::seconds(4));
    EXPECT_EQ(buf.substr(0, 3), "abc");
    // The channel is still usable afterwards.
    ASSERT_EQ(net_write(&pair_.server, "more", 4), 4);
    EXPECT_EQ(net_read(&pair_.client, buf.data(), 4), 4);
    EXPECT_EQ(buf.substr(0, 4), "more");
}

// How the server goes away: with a close-notify (net_close) or by dropping the socket.
struct close_case {
    const char* name;
    bool notify;
};
void PrintTo(const close_case& c, std::ostream* os) {
    *os << c.name;
}

class SslPeerClose : public SslChannel, public ::testing::WithParamInterface<close_case> {};

TEST_P(SslPeerClose, ReadReturnsWhatCameAndMarksTheHandleDisconnected) {
    ASSERT_NE(connect(), nullptr);
    pair_.client.timeout_ms = 60000;  // far beyond the test: only the close may end the read
    ASSERT_EQ(net_write(&pair_.server, "tail", 4), 4);
    if (GetParam().notify) {
        net_close(&pair_.server);
    } else {
        ::shutdown(sock_fd(pair_.server.sock), SHUT_RDWR);
    }
    std::string buf(64, '\0');
    const auto start = clock_type::now();
    EXPECT_EQ(net_read(&pair_.client, buf.data(), buf.size()), 4);
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(buf.substr(0, 4), "tail");
    EXPECT_EQ(pair_.client.status, VERR_NET_NOT_CONNECTED);
    EXPECT_TRUE(pair_.client.disconnected);
    // Reading or writing on afterwards fails at once, as on a plain socket.
    EXPECT_EQ(net_read(&pair_.client, buf.data(), buf.size()), -1);
    EXPECT_EQ(net_write(&pair_.client, "x", 1), -1);
}

INSTANTIATE_TEST_SUITE_P(Ways, SslPeerClose,
                         ::testing::Values(close_case{"CloseNotify", true},
                                           close_case{"Dropped", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SslChannel, StopEndsAWaitingRead) {
    ASSERT_NE(connect(), nullptr);
    pair_.client.timeout_ms = 60000;
    std::thread stopper([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        pair_.client.stop = 1;
    });
    char byte;
    EXPECT_EQ(net_read(&pair_.client, &byte, 1), -1);
    EXPECT_EQ(pair_.client.status, VERR_NET_USER_STOP);
    stopper.join();
}

// ---- the client's certificate checks ----

struct verify_case {
    const char* name;
    std::string ca;    // "server", "other" or ""
    std::string pin;   // "right", "right-lower-bare", a literal, or ""
    std::string host;  // checked with ca
    bool accepted;
    const char* text;  // in the error record or the log
};
void PrintTo(const verify_case& c, std::ostream* os) {
    *os << c.name;
}

std::string bare_fingerprint() {
    return certs().server.bare_fingerprint();
}

class SslVerify : public SslChannel, public ::testing::WithParamInterface<verify_case> {};

TEST_P(SslVerify, ClientAcceptsOnlyWhatTheOptionsAllow) {
    const verify_case& c = GetParam();
    ssl_verify verify;
    verify.host = c.host;
    if (!c.ca.empty()) verify.ca_file = c.ca == "server" ? certs().server.cert : certs().other.cert;
    verify.pin = c.pin;
    if (c.pin == "right") verify.pin = certs().server.fingerprint;
    if (c.pin == "right-lower-bare") verify.pin = bare_fingerprint();
    if (c.pin == "other") verify.pin = certs().other.fingerprint;

    log_capture log;
    err_info err{};
    ssl_channel* channel = connect("", &verify, &err);
    EXPECT_EQ(channel != nullptr, c.accepted) << err_info_str(&err);
    if (c.accepted) {
        EXPECT_EQ(pair_.client.ssl, static_cast<void*>(channel));
    } else {
        EXPECT_EQ(pair_.client.ssl, nullptr);
        EXPECT_NE(std::string(err_info_str(&err)).find(c.text), std::string::npos)
            << err_info_str(&err);
    }
    if (c.accepted) {
        EXPECT_TRUE(log.has(c.text)) << c.text;
    }
    // Every handshake names the certificate it got; a pin that is no fingerprint stops the
    // connect before it.
    EXPECT_EQ(log.has("server certificate sha256=" + bare_fingerprint()),
              std::string(c.name) != "MalformedPin");
}

INSTANTIATE_TEST_SUITE_P(
    Options, SslVerify,
    ::testing::Values(
        verify_case{"NoOptionWarns", "", "", "", true, "server certificate not verified"},
        verify_case{"RightCa", "server", "", "localhost", true, "server certificate sha256="},
        verify_case{"WrongCa", "other", "", "localhost", false, "not verified with ssl-ca="},
        verify_case{"RightCaWrongHost", "server", "", "elsewhere", false,
                    "not verified with ssl-ca="},
        verify_case{"RightPinUpperWithColons", "", "right", "", true, "server certificate sha256="},
        verify_case{"RightPinLowerBare", "", "right-lower-bare", "", true,
                    "server certificate sha256="},
        verify_case{"WrongPin", "", "other", "", false, "does not match ssl-pin"},
        verify_case{"MalformedPin", "", "abc", "", false, "expected 64 hexadecimal digits"},
        verify_case{"RightPinWrongCa", "other", "right", "localhost", false,
                    "not verified with ssl-ca="}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SslPin, ParsesHexWithOptionalColonsOnly) {
    ssl_sha256 digest{};
    const std::string hex64(64, 'a');
    EXPECT_TRUE(ssl_parse_pin(hex64, &digest));
    EXPECT_EQ(digest[0], 0xaa);
    std::string colons;
    for (int i = 0; i < 32; ++i) colons += (i ? ":" : "") + std::string("0F");
    ASSERT_TRUE(ssl_parse_pin(colons, &digest));
    std::string expected;
    for (int i = 0; i < 32; ++i) expected += "0f";
    EXPECT_EQ(ssl_hex(digest), expected);
    for (const std::string& bad : {std::string(63, 'a'), std::string(65, 'a'), std::string(),
                                   std::string(62, 'a') + "g0", std::string(64, 'a') + " "}) {
        EXPECT_FALSE(ssl_parse_pin(bad, &digest)) << bad;
    }
}

// ---- handshake failures and deadlines ----

TEST_F(SslChannel, ServerHandshakeWithASilentClientEndsAtItsDeadline) {
    log_capture log;
    const auto start = clock_type::now();
    EXPECT_EQ(ssl_srv_new(conf_, &pair_.server, 600), nullptr);
    const auto waited = clock_type::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(550));
    EXPECT_LT(waited, std::chrono::seconds(4));
    EXPECT_EQ(pair_.server.ssl, nullptr);
    EXPECT_TRUE(log.has("mbedtls_ssl_handshake eno="));
}

// A client that trickles bytes gets no more time than the deadline.
TEST_F(SslChannel, ServerHandshakeDeadlineHoldsAgainstATricklingClient) {
    std::atomic<bool> done{false};
    std::thread trickle([this, &done] {
        // The start of a TLS record announcing a long handshake message, then a byte at a time.
        const unsigned char head[] = {0x16, 0x03, 0x01, 0x01, 0x00, 0x01};
        for (unsigned char b : head) {
            if (done) return;
            ::send(sock_fd(pair_.client.sock), &b, 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        for (int i = 0; i < 100 && !done; ++i) {
            const unsigned char b = 0;
            ::send(sock_fd(pair_.client.sock), &b, 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    const auto start = clock_type::now();
    EXPECT_EQ(ssl_srv_new(conf_, &pair_.server, 800), nullptr);
    const auto waited = clock_type::now() - start;
    done = true;
    trickle.join();
    EXPECT_LT(waited, std::chrono::seconds(4));
}

TEST_F(SslChannel, ServerHandshakeEndsAtOnceOnStop) {
    pair_.server.stop = 1;
    const auto start = clock_type::now();
    EXPECT_EQ(ssl_srv_new(conf_, &pair_.server, 60000), nullptr);
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(4));
}

TEST_F(SslChannel, ClientHandshakeWithASilentServerFailsWithATimeOut) {
    err_info err{};
    const auto start = clock_type::now();
    EXPECT_EQ(ssl_cli_connect(nullptr, &pair_.client, "", 500, nullptr, &err), nullptr);
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(4));
    EXPECT_EQ(err.code, VERR_TIMEOUT);
    EXPECT_NE(std::string(err_info_str(&err)).find("ssl_cli_connect failed"), std::string::npos);
    EXPECT_EQ(pair_.client.ssl, nullptr);
}

TEST_F(SslChannel, ClientHandshakeWithAPeerThatIsNotTlsGivesTheLibraryText) {
    const std::string junk = "HTTP/1.0 400 Bad Request\r\n\r\n";
    ::send(sock_fd(pair_.server.sock), junk.data(), junk.size(), MSG_NOSIGNAL);
    ::shutdown(sock_fd(pair_.server.sock), SHUT_WR);
    err_info err{};
    EXPECT_EQ(ssl_cli_connect(nullptr, &pair_.client, "", 5000, nullptr, &err), nullptr);
    const std::string text = err_info_str(&err);
    EXPECT_NE(text.find("mbedtls_ssl_handshake eno="), std::string::npos) << text;
    EXPECT_NE(text.find("err=[SSL - "), std::string::npos) << text;
}

// ---- server configuration ----

struct conf_case {
    const char* name;
    std::string cert;
    std::string key;
    const char* text;
};

TEST(SslServerConf, BadFilesAreRefusedWithTheirName) {
    const tls_identity& server = certs().server;
    const tls_identity& other = certs().other;
    ASSERT_TRUE(server.ok() && other.ok());
    const std::string missing = certs().dir.path() + "/missing.pem";
    const conf_case cases[] = {
        {"MissingCert", missing, server.key, "ssl_cert="},
        {"MissingKey", server.cert, missing, "ssl_key="},
        {"KeyAsCert", server.key, server.key, "ssl_cert="},
        {"KeyOfAnotherCert", server.cert, other.key, "does not belong to ssl_cert="},
    };
    for (const conf_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string err;
        ssl_srv_conf* conf = ssl_srv_conf_new(c.cert.c_str(), c.key.c_str(), &err);
        EXPECT_EQ(conf, nullptr);
        ssl_srv_conf_free(conf);
        EXPECT_NE(err.find(c.text), std::string::npos) << err;
    }
    // Certificate followed by a chain certificate is fine.
    const std::string bundle = certs().dir.path() + "/bundle.pem";
    const std::string cat = "cat " + server.cert + " " + other.cert + " > " + bundle;
    ASSERT_EQ(std::system(cat.c_str()), 0);
    std::string err;
    ssl_srv_conf* conf = ssl_srv_conf_new(bundle.c_str(), server.key.c_str(), &err);
    EXPECT_NE(conf, nullptr) << err;
    ssl_srv_conf_free(conf);
}

// ---- net_open ----

TEST_F(SslChannel, NetOpenTcpsConnectsThroughTheRegisteredHandshake) {
    loopback::listener l;
    ASSERT_TRUE(l.ok());
    net_handle accepted;
    std::thread server([&] {
        const int fd = l.accept_one();
        if (fd < 0) return;
        accepted.sock = sock_from_fd(fd);
        accepted.timeout_ms = 5000;
        if (ssl_srv_new(conf_, &accepted, 5000) == nullptr) return;
        char buf[5] = {};
        if (net_read(&accepted, buf, 5) == 5) net_write(&accepted, buf, 5);
    });
    net_handle handle;
    const std::string url = "tcps://127.0.0.1:" + std::to_string(l.port());
    ASSERT_EQ(net_open(&handle, url.c_str(), 5000), 0);
    EXPECT_NE(handle.ssl, nullptr);
    EXPECT_EQ(net_write(&handle, "hello", 5), 5);
    char back[6] = {};
    EXPECT_EQ(net_read(&handle, back, 5), 5);
    EXPECT_STREQ(back, "hello");
    server.join();
    net_close(&handle);
    net_close(&accepted);
}

}  // namespace
