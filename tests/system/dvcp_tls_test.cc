// dvcp against dvsd over dvps:// on loopback, with certificates made for the run: copy and sync
// on the routes local to server, server to local and server to server, trees compared; the
// certificate options (ssl-ca, ssl-pin) right and wrong; the forced cipher suite against an
// openssl s_server that lacks it and one that has it; a relay that shows what crosses the wire
// (the content of a file in the clear over dvp://, not over dvps://); a failed handshake that
// leaves the server serving.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "lib/test_support/tls_certs.h"
#include "system/support/dvcp_test.h"
#include "system/support/dvsd_process.h"
#include "system/support/report.h"
#include "system/support/tree.h"

namespace systest {
namespace {

constexpr int64_t kBaseTime = 1600000000;
const char kPassword[] = "secret";
const char kMarker[] = "PLAIN-TEXT-MARKER-7f3a9c1e-IN-A-FILE";

dvtest::tls_certificates& certs() {
    return dvtest::tls_certs();
}

int port_after(const std::string& line, const std::string& prefix) {
    if (line.rfind(prefix, 0) != 0) return -1;
    return std::stoi(line.substr(prefix.size()));
}

// A port nobody listens on right now.
int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
        port = ntohs(a.sin_port);
    }
    close(fd);
    return port;
}

// dvsd with a plain and a TLS listener on loopback.
struct TlsServer {
    std::string root;
    std::unique_ptr<DvsdProcess> process;
    int port = -1;
    int tls_port = -1;

    void start() {
        process = std::make_unique<DvsdProcess>(std::vector<std::string>{
            "root=" + root, "listen=127.0.0.1", "port=0", "ssl_port=0",
            "ssl_cert=" + certs().server.cert, "ssl_key=" + certs().server.key, "user=joe",
            std::string("passwd=") + kPassword});
        port = port_after(process->first_line(), "listening dvp://127.0.0.1:");
        tls_port = port_after(process->first_line(), "listening dvps://127.0.0.1:");
    }
    std::string url(const std::string& path, const std::string& query = "") const {
        return "dvps://joe:" + std::string(kPassword) + "@127.0.0.1:" + std::to_string(tls_port) +
               path + (query.empty() ? "" : "?" + query);
    }
};

// openssl's test server with one cipher suite, kept running until the object goes. Its
// standard input stays open: at its end the server would quit.
class OpensslServer {
  public:
    explicit OpensslServer(const std::string& cipher) : port_(free_port()) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(out[1], 2);
            const std::string accept = "127.0.0.1:" + std::to_string(port_);
            execlp("openssl", "openssl", "s_server", "-tls1_2", "-cipher", cipher.c_str(), "-cert",
                   certs().server.cert.c_str(), "-key", certs().server.key.c_str(), "-accept",
                   accept.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        out_ = out[0];
        // Ready once it says so.
        std::string text;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (text.find("ACCEPT") == std::string::npos &&
               std::chrono::steady_clock::now() < until) {
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buf[256];
            const ssize_t n = read(out_, buf, sizeof buf);
            if (n <= 0) break;
            text.append(buf, static_cast<size_t>(n));
        }
        ready_ = text.find("ACCEPT") != std::string::npos;
    }
    ~OpensslServer() {
        stop();
        if (stdin_ >= 0) close(stdin_);
        if (out_ >= 0) close(out_);
    }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    bool ready() const { return ready_; }
    int port() const { return port_; }

  private:
    int port_;
    pid_t pid_ = -1;
    int stdin_ = -1;
    int out_ = -1;
    bool ready_ = false;
};

// Copies bytes between clients and a target port, one thread per direction of each connection,
// and keeps everything that went towards the target.
class Relay {
  public:
    explicit Relay(int target) : target_(target) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener_, 16);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        acceptor_ = std::thread([this] { accept_loop(); });
    }
    ~Relay() {
        stop_ = true;
        acceptor_.join();
        for (auto& t : pumps_) t.join();
        for (int fd : fds_) close(fd);
        close(listener_);
    }
    int port() const { return port_; }
    std::string sent() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return sent_;
    }

  private:
    void accept_loop() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (poll(&p, 1, 50) != 1) continue;
            const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<uint16_t>(target_));
            if (connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                close(client);
                close(server);
                continue;
            }
            fds_.push_back(client);
            fds_.push_back(server);
            pumps_.emplace_back([this, client, server] { pump(client, server, true); });
            pumps_.emplace_back([this, client, server] { pump(server, client, false); });
        }
    }
    void pump(int from, int to, bool keep) {
        char buf[65536];
        while (!stop_) {
            pollfd p{from, POLLIN, 0};
            if (poll(&p, 1, 50) != 1) continue;
            const ssize_t n = read(from, buf, sizeof buf);
            if (n <= 0) break;
            if (keep) {
                std::lock_guard<std::mutex> lock(mutex_);
                sent_.append(buf, static_cast<size_t>(n));
            }
            if (send(to, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
        }
        shutdown(to, SHUT_WR);
    }

    int target_;
    int listener_ = -1;
    int port_ = -1;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::vector<std::thread> pumps_;  // only the acceptor adds; joined after it ended
    std::vector<int> fds_;
    mutable std::mutex mutex_;
    std::string sent_;
};

class DvcpTls : public DvcpProcessTest {
  protected:
    void SetUp() override {
        DvcpProcessTest::SetUp();
        if (IsSkipped()) return;
        if (!kHaveDvsd) GTEST_SKIP() << "dvsd is not part of this build";
        ASSERT_TRUE(certs().server.ok() && certs().other.ok()) << "openssl made no certificates";
        server_.root = tmp_ / "served";
        make_tree(server_.root, {});
        server_.start();
        ASSERT_GT(server_.tls_port, 0) << "dvsd did not announce its TLS listener";
    }

    // The marker repeated: a file too big for the batch of small files (whose contents travel
    // base64-encoded), so that its bytes go on the wire as they are.
    static std::string marked_content() {
        std::string text;
        while (text.size() < (size_t{1} << 20)) text += std::string(kMarker) + "\n";
        return text;
    }

    // A small tree with what travels differently: an empty file, one over the block size, a
    // link, nested and empty directories, and the marked file.
    static std::vector<Node> tree() {
        int64_t t = kBaseTime;
        auto stamp = [&t](Node n) {
            t += 3671;
            return std::move(n).with_times(t + 1000, t);
        };
        return {stamp(Node::file("marker.txt", marked_content())),
                stamp(Node::file("empty", "")),
                stamp(Node::sized("sub/big", 3 * (size_t{1} << 20) + 7, 5)),
                stamp(Node::sized("sub/small", 1000, 6)),
                stamp(Node::link("sub/link", "../marker.txt")),
                stamp(Node::dir("sub/empty_dir")),
                stamp(Node::file("modes/private", "p").with_mode(0600))};
    }

    TempDir tmp_{"dvcp-tls"};
    TlsServer server_;
};

// ---- routes ----

enum class Route { lr, rl, rr };

struct RouteCase {
    const char* name;
    Route route;
    bool sync;
};
void PrintTo(const RouteCase& c, std::ostream* os) {
    *os << c.name;
}

class DvcpTlsRoute : public DvcpTls, public ::testing::WithParamInterface<RouteCase> {};

TEST_P(DvcpTlsRoute, DestinationEqualsSourceAndSecondSyncMovesNothing) {
    const RouteCase& c = GetParam();
    const bool src_remote = c.route != Route::lr;
    const bool dst_remote = c.route != Route::rl;
    const std::string src_disk = src_remote ? server_.root + "/src" : tmp_ / "src";
    const std::string dst_disk = dst_remote ? server_.root + "/dst" : tmp_ / "dst";
    const std::string pin = "ssl-pin=" + certs().server.fingerprint;
    const std::string src_arg = src_remote ? server_.url("/src", pin) : src_disk;
    const std::string dst_arg = dst_remote ? server_.url("/dst", pin) : dst_disk;
    make_tree(src_disk, tree());
    const Snapshot source = settled_snapshot(src_disk);

    const RunResult run =
        dvcp({c.sync ? "mode=sync" : "mode=cp", "if=" + src_arg, "of=" + dst_arg});
    EXPECT_EXIT_STATUS(run, 0);
    const Snapshot expected = c.sync ? without_empty_directories(source) : source;
    const CompareOptions options{.dir_attributes = !c.sync};
    auto diffs = compare(expected, snapshot(dst_disk), options);
    EXPECT_TRUE(diffs.empty()) << format_differences(diffs) << "\n" << run.describe();
    EXPECT_TRUE(
        log_contains(run.err, "server certificate sha256=" + certs().server.bare_fingerprint()))
        << run.describe();

    const RunResult again = dvcp({"mode=sync", "if=" + src_arg, "of=" + dst_arg});
    EXPECT_EXIT_STATUS(again, 0);
    const Report report = Report::parse(again.err);
    EXPECT_EQ(report.number("total_write"), std::optional<int64_t>(0)) << again.describe();
    diffs = compare(expected, snapshot(dst_disk), options);
    EXPECT_TRUE(diffs.empty()) << "after the second run: " << format_differences(diffs);
}

INSTANTIATE_TEST_SUITE_P(Routes, DvcpTlsRoute,
                         ::testing::Values(RouteCase{"lr_Copy", Route::lr, false},
                                           RouteCase{"rl_Copy", Route::rl, false},
                                           RouteCase{"rr_Copy", Route::rr, false},
                                           RouteCase{"lr_Sync", Route::lr, true},
                                           RouteCase{"rl_Sync", Route::rl, true},
                                           RouteCase{"rr_Sync", Route::rr, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- certificate options ----

struct VerifyCase {
    const char* name;
    std::string query;  // with {server} / {other} standing for the identities' files and pins
    bool accepted;
    const char* text;  // in the log
};
void PrintTo(const VerifyCase& c, std::ostream* os) {
    *os << c.name;
}

std::string expand(std::string text) {
    const std::pair<const char*, std::string> names[] = {
        {"{server-ca}", certs().server.cert},
        {"{other-ca}", certs().other.cert},
        {"{server-pin}", certs().server.fingerprint},
        {"{other-pin}", certs().other.bare_fingerprint()},
    };
    for (const auto& [name, value] : names) {
        for (size_t at; (at = text.find(name)) != std::string::npos;) {
            text.replace(at, std::string(name).size(), value);
        }
    }
    return text;
}

class DvcpTlsVerify : public DvcpTls, public ::testing::WithParamInterface<VerifyCase> {};

// The certificate is that of CN=localhost, so the CA check needs that name in the URL.
TEST_P(DvcpTlsVerify, ServerCertificateIsCheckedAsTheOptionsSay) {
    const VerifyCase& c = GetParam();
    make_tree(tmp_ / "src", {Node::file("f", "content")});
    std::string url = server_.url("/dst", expand(c.query));
    url.replace(url.find("127.0.0.1"), 9, "localhost");
    const RunResult run = dvcp({"if=" + tmp_ / "src", "of=" + url});
    ASSERT_TRUE(run.exited) << run.describe();
    EXPECT_EQ(run.exit_code == 0, c.accepted) << run.describe();
    EXPECT_EQ(exists(server_.root + "/dst/f"), c.accepted);
    EXPECT_TRUE(log_contains(run.err, c.text)) << c.text << "\n" << run.describe();
}

INSTANTIATE_TEST_SUITE_P(
    Options, DvcpTlsVerify,
    ::testing::Values(
        VerifyCase{"Unverified", "", true, "server certificate not verified"},
        VerifyCase{"RightCa", "ssl-ca={server-ca}", true, "server certificate sha256="},
        VerifyCase{"WrongCa", "ssl-ca={other-ca}", false,
                   "ssl_cli_connect failed: server certificate not verified with ssl-ca="},
        VerifyCase{"RightPin", "ssl-pin={server-pin}", true, "server certificate sha256="},
        VerifyCase{"WrongPin", "ssl-pin={other-pin}", false, "does not match ssl-pin"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- the forced cipher suite against openssl ----

TEST_F(DvcpTls, ForcedSuiteAgainstAServerWithoutItFailsWithTheLibraryText) {
    OpensslServer openssl("AES128-SHA");
    ASSERT_TRUE(openssl.ready()) << "openssl s_server did not start";
    make_tree(tmp_ / "src", {Node::file("f", "content")});
    const RunResult run =
        dvcp({"if=" + tmp_ / "src", "of=dvps://127.0.0.1:" + std::to_string(openssl.port()) +
                                        "/dst?ssl-cipher=aes_256_ecb"});
    ASSERT_TRUE(run.exited) << run.describe();
    EXPECT_NE(run.exit_code, 0);
    EXPECT_TRUE(log_contains(run.err, "force_ciphersuite=53")) << run.describe();
    EXPECT_TRUE(log_contains(run.err, "ssl_cli_connect failed: mbedtls_ssl_handshake eno="))
        << run.describe();
    EXPECT_TRUE(log_contains(run.err, "err=[SSL - ")) << run.describe();
}

TEST_F(DvcpTls, ForcedSuiteAgainstAServerWithItGetsThroughTheHandshake) {
    OpensslServer openssl("AES256-SHA");
    ASSERT_TRUE(openssl.ready()) << "openssl s_server did not start";
    make_tree(tmp_ / "src", {Node::file("f", "content")});
    // s_server is no dvsd: once the handshake is through, it is ended so that the login fails
    // at once instead of waiting for an answer.
    RunOptions options;
    options.on_stderr = [&openssl](pid_t, const std::string& err) {
        if (err.find("server certificate sha256=") != std::string::npos) openssl.stop();
    };
    const RunResult run =
        dvcp({"if=" + tmp_ / "src", "of=dvps://127.0.0.1:" + std::to_string(openssl.port()) +
                                        "/dst?ssl-cipher=aes_256_ecb"},
             options);
    ASSERT_TRUE(run.exited) << run.describe();
    EXPECT_NE(run.exit_code, 0);
    EXPECT_TRUE(log_contains(run.err, "cipher=[TLS-RSA-WITH-AES-256-CBC-SHA]")) << run.describe();
    EXPECT_FALSE(log_contains(run.err, "ssl_cli_connect failed")) << run.describe();
}

// ---- what crosses the wire ----

TEST_F(DvcpTls, OnlyThePlainConnectionShowsTheFileContent) {
    make_tree(tmp_ / "src", tree());
    struct {
        const char* scheme;
        int port;
        bool clear;
    } cases[] = {{"dvp", server_.port, true}, {"dvps", server_.tls_port, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.scheme);
        Relay relay(c.port);
        const std::string url = std::string(c.scheme) + "://joe:" + kPassword +
                                "@127.0.0.1:" + std::to_string(relay.port()) + "/" + c.scheme +
                                "?pack=none";
        const RunResult run = dvcp({"if=" + tmp_ / "src", "of=" + url});
        EXPECT_EXIT_STATUS(run, 0);
        EXPECT_EQ(read_file(server_.root + "/" + c.scheme + "/marker.txt"), marked_content());
        const std::string wire = relay.sent();
        EXPECT_GT(wire.size(), size_t{3} << 20);  // the big file went through the relay
        EXPECT_EQ(wire.find(kMarker) != std::string::npos, c.clear);
    }
}

// ---- a connection cut in the middle ----

// The server dies while a big file comes over TLS: dvcp ends with the status of a lost
// connection (7), promptly rather than after waiting out its time-outs, and the destination
// keeps no partial file under the final name.
TEST_F(DvcpTls, ServerKilledInTheMiddleEndsTheRunAsALostConnection) {
    const std::string src = server_.root + "/src";
    std::string big;
    big.reserve(size_t{64} << 20);
    for (uint64_t seed = 1; big.size() < (size_t{64} << 20); ++seed) {
        big += pattern_bytes(size_t{1} << 20, seed);
    }
    make_tree(src, {Node::file("z/big", big)});
    const std::string dst = tmp_ / "dst";
    bool killed = false;
    RunOptions options;
    options.timeout = std::chrono::seconds(120);
    options.on_poll = [&](pid_t, const std::string&) {
        if (killed) return;
        std::error_code ec;
        bool growing = false;
        for (const auto& e : std::filesystem::directory_iterator(dst + "/z", ec)) {
            growing = growing || (is_writer_temporary_name(e.path().filename().string()) &&
                                  std::filesystem::file_size(e.path(), ec) > 0);
        }
        if (!growing) return;
        killed = true;
        server_.process->stop(SIGKILL);
    };
    const auto start = std::chrono::steady_clock::now();
    const RunResult run =
        dvcp({"mode=sync", "bs=64k", "if=" + server_.url("/src"), "of=" + dst}, options);
    ASSERT_TRUE(killed) << "the copy was never seen under way\n" << run.describe();
    EXPECT_FALSE(run.timed_out) << run.describe();
    EXPECT_EXIT_STATUS(run, 7);
    // A close not seen as one would cost the 15 s read time-out at least.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(12));
    EXPECT_FALSE(exists(dst + "/z/big"));
}

// ---- the server side ----

// Clients that are silent or speak no TLS cost the server one connection each, not its
// service.
TEST_F(DvcpTls, FailedHandshakesLeaveTheServerServing) {
    const int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int garbage = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(server_.tls_port));
    ASSERT_EQ(connect(silent, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(connect(garbage, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const std::string junk = "GET / HTTP/1.0\r\n\r\n";
    ASSERT_EQ(send(garbage, junk.data(), junk.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(junk.size()));
    // The server answers nonsense by closing.
    pollfd p{garbage, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 10000), 1);

    make_tree(tmp_ / "src", {Node::file("f", "content")});
    const RunResult run = dvcp({"if=" + tmp_ / "src", "of=" + server_.url("/dst")});
    EXPECT_EXIT_STATUS(run, 0);
    EXPECT_EQ(read_file(server_.root + "/dst/f"), "content");
    close(silent);
    close(garbage);
}

}  // namespace
}  // namespace systest
