// dvcp through real proxies to a real dvsd, all on loopback: tinyproxy (HTTP CONNECT, with and
// without Basic authentication), microsocks (SOCKS5, with and without user and password) and
// danted (SOCKS4 and SOCKS5). A tree goes to the server and back through each, and the proxy's own
// log shows the tunnel. Named sessions from a client profile in DV_ENV_CONF_DIR, an IPv6 session,
// and a connection cut behind the proxy that is repaired through the same proxy.
//
// Every run has `http_proxy` cleared, except where that variable is what is tested.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "lib/test_support/real_peer.h"
#include "libnet/proxy_cli.h"
#include "libpal/url.h"
#include "system/support/dvcp_test.h"
#include "system/support/dvsd_process.h"
#include "system/support/relay.h"
#include "system/support/report.h"
#include "system/support/tree.h"

namespace systest {
namespace {

constexpr int64_t kBaseTime = 1600000000;
// Characters a dvsd password may hold that mean something in a URL: the session's URL must
// escape them.
const char kServerPassword[] = "p%41ss&x=1+!";
// A proxy password with every character that ends a part of a URL.
const char kProxyPassword[] = "p@ss:w/rd";

bool have_program(const std::string& path) {
    return access(path.c_str(), X_OK) == 0;
}

// A port that was free a moment ago, for programs that cannot take port 0.
int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool accepts_connections(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

size_t count_of(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

// A proxy from Debian's packages as a child process on a loopback port, its standard output and
// error in `output_path`; stopped (and reaped) when the object goes.
class ProxyProcess {
  public:
    ProxyProcess(const std::vector<std::string>& argv, int port, const std::string& output_path)
        : port_(port) {
        pid_ = fork();
        if (pid_ == 0) {
            const int out = open(output_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (out < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(126);
            std::vector<std::string> args = argv;
            std::vector<char*> raw;
            for (auto& a : args) raw.push_back(a.data());
            raw.push_back(nullptr);
            execv(raw[0], raw.data());
            _exit(127);
        }
        // Ready once it accepts connections; a child that has ended will never be.
        for (int i = 0; i < 200 && !ready_; ++i) {
            if (accepts_connections(port_)) ready_ = true;
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            if (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~ProxyProcess() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    ProxyProcess(const ProxyProcess&) = delete;
    ProxyProcess& operator=(const ProxyProcess&) = delete;

    bool ready() const { return ready_; }
    int port() const { return port_; }

  private:
    pid_t pid_ = -1;
    int port_;
    bool ready_ = false;
};

enum class Kind { tinyproxy, microsocks, danted };

// How dvcp is told about the proxy.
enum class Via {
    url,      // proxy_url= with the proxy URL in base64
    profile,  // proxy= with the name of a profile in dv_proxy.ini
    env,      // the http_proxy environment variable
};

struct ProxyCase {
    const char* name;
    Kind kind;
    const char* proto;  // "http", "socks4", "socks5"
    bool auth;
    Via via;
};

void PrintTo(const ProxyCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<Node> small_tree() {
    std::vector<Node> nodes;
    int64_t t = kBaseTime;
    auto stamp = [&t](Node n) {
        t += 613;
        return std::move(n).with_times(t + 50, t);
    };
    for (const char* dir : {"a", "a/b", "c"}) nodes.push_back(stamp(Node::dir(dir)));
    uint64_t seed = 5;
    for (int i = 0; i < 6; ++i) {
        nodes.push_back(stamp(
            Node::sized((i % 2 ? "a/b/f" : "c/f") + std::to_string(i), 700 + 4000 * i, ++seed)));
    }
    nodes.push_back(stamp(Node::link("a/link", "b/f1")));
    nodes.push_back(stamp(Node::sized("a/big", 400000, ++seed)));
    return nodes;
}

class DvcpProxy : public DvcpProcessTest {
  protected:
    void SetUp() override {
        DvcpProcessTest::SetUp();
        if (IsSkipped()) return;
        if (!kHaveDvsd) GTEST_SKIP() << "dvsd is not part of this build";
        unsetenv("http_proxy");
        setenv("DV_ENV_CONF_DIR", conf_dir().c_str(), 1);
        make_tree(conf_dir(), {});
        make_tree(tmp_ / "served", {});
        make_tree(tmp_ / "src", small_tree());
    }
    void TearDown() override {
        unsetenv("http_proxy");
        unsetenv("DV_ENV_CONF_DIR");
    }

    std::string conf_dir() const { return tmp_ / "conf"; }

    void start_server(const std::string& listen = "127.0.0.1") {
        server_ = std::make_unique<DvsdProcess>(
            std::vector<std::string>{"root=" + (tmp_ / "served"), "listen=" + listen, "port=0",
                                     "user=joe", std::string("passwd=") + kServerPassword},
            std::nullopt, std::nullopt, tmp_ / "dvsd.log");
        const std::string line = server_->first_line();
        static const std::regex listening(R"(listening dvp://(\[[^\]]+\]|[^:]+):(\d+))");
        std::smatch m;
        server_port_ = std::regex_search(line, m, listening) ? std::stoi(m[2]) : -1;
        ASSERT_GT(server_port_, 0) << "dvsd did not start: " << line;
    }

    // The server's URL (or that of whatever stands in front of it at `port`).
    std::string server_url(const std::string& path, int port, const std::string& query = "") {
        return "dvp://joe:" + str_escape_url_args(kServerPassword) +
               "@127.0.0.1:" + std::to_string(port) + path + (query.empty() ? "" : "?" + query);
    }

    std::unique_ptr<ProxyProcess> start_proxy(Kind kind, const std::string& proto, bool auth) {
        const int port = free_port();
        proxy_log_ = tmp_ / ("proxy" + std::to_string(++proxies_) + ".log");
        std::vector<std::string> argv;
        switch (kind) {
            case Kind::tinyproxy: {
                const std::string conf = tmp_ / "tinyproxy.conf";
                write_file(conf, "Port " + std::to_string(port) +
                                     "\nListen 127.0.0.1\nTimeout 60\nAllow 127.0.0.1\n"
                                     "LogLevel Connect\nLogFile \"" +
                                     proxy_log_ + "\"\nMaxClients 50\n" +
                                     (auth ? "BasicAuth joe s3cret\n" : ""));
                argv = {"/usr/bin/tinyproxy", "-d", "-c", conf};
                break;
            }
            case Kind::microsocks:
                argv = {"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", std::to_string(port)};
                if (auth) argv.insert(argv.end(), {"-u", "joe", "-P", kProxyPassword});
                break;
            case Kind::danted: {
                const std::string conf = tmp_ / "danted.conf";
                write_file(conf, "logoutput: " + proxy_log_ +
                                     "\ninternal: 127.0.0.1 port = " + std::to_string(port) +
                                     "\nexternal: 127.0.0.1\nclientmethod: none\n"
                                     "socksmethod: none\nuser.privileged: root\n"
                                     "user.unprivileged: nobody\n"
                                     "client pass {\n from: 127.0.0.0/8 to: 0.0.0.0/0\n"
                                     " log: connect error\n}\n"
                                     "socks pass {\n from: 127.0.0.0/8 to: 0.0.0.0/0\n"
                                     " protocol: tcp\n command: connect\n"
                                     " proxyprotocol: " +
                                     (proto == "socks4" ? std::string("socks_v4")
                                                        : std::string("socks_v5")) +
                                     "\n log: connect error\n}\n");
                argv = {"/usr/sbin/danted", "-f", conf, "-N", "1"};
                break;
            }
        }
        if (!have_program(argv[0])) return nullptr;
        auto proxy = std::make_unique<ProxyProcess>(argv, port, proxy_log_);
        return proxy->ready() ? std::move(proxy) : nullptr;
    }

    // Tunnels to `port` in the proxy's own log.
    size_t tunnels_to(Kind kind, int port) const {
        const std::string log = exists(proxy_log_) ? read_file(proxy_log_) : "";
        const std::string target =
            "127.0.0.1" + std::string(kind == Kind::danted ? "." : ":") + std::to_string(port);
        switch (kind) {
            case Kind::tinyproxy:
                return count_of(log, "CONNECT " + target + " HTTP/1.1");
            case Kind::microsocks:
                return count_of(log, "connected to " + target);
            case Kind::danted: {
                // "pass(1): tcp/connect [: CLIENT PROXY -> PROXY_SIDE TARGET"
                size_t n = 0;
                for (const std::string& line : log_lines(log)) {
                    if (line.find("tcp/connect [") != std::string::npos &&
                        line.find("pass(") != std::string::npos &&
                        line.find(target) != std::string::npos) {
                        ++n;
                    }
                }
                return n;
            }
        }
        return 0;
    }

    std::string proxy_url_text(const std::string& proto, int port, bool auth) const {
        return proto + "://" +
               (auth ? "joe:" + str_escape_url_args(proto == "http" ? "s3cret" : kProxyPassword) +
                           "@"
                     : "") +
               "127.0.0.1:" + std::to_string(port);
    }

    // The query key that sends a connection through the proxy, as `via` says; for Via::env the
    // variable is set instead.
    std::string proxy_query(const ProxyCase& c, int port) {
        const std::string url = proxy_url_text(c.proto, port, c.auth);
        switch (c.via) {
            case Via::url: {
                // The URL-safe alphabet, so that the value needs no escaping.
                std::string b64 = proxy_base64(url);
                for (char& ch : b64) ch = ch == '+' ? '-' : ch == '/' ? '_' : ch == '=' ? ',' : ch;
                return "proxy_url=" + b64;
            }
            case Via::profile: {
                conf_proxy profile;
                profile.type = conf_proxy_type_of(c.proto);
                profile.host = "127.0.0.1";
                profile.port = static_cast<uint32_t>(port);
                if (c.auth) {
                    profile.user = "joe";
                    profile.pwd = std::string(c.proto) == "http" ? "s3cret" : kProxyPassword;
                }
                EXPECT_EQ(conf_proxy_save((conf_dir() + "/dv_proxy.ini").c_str(), "corp", &profile),
                          0);
                return "proxy=corp";
            }
            case Via::env:
                setenv("http_proxy", url.c_str(), 1);
                return "";
        }
        return "";
    }

    void expect_same_tree(const std::string& expected_root, const std::string& actual_root,
                          const RunResult& run) {
        const auto diffs = compare(without_empty_directories(snapshot(expected_root)),
                                   snapshot(actual_root), CompareOptions{.dir_attributes = false});
        EXPECT_TRUE(diffs.empty()) << format_differences(diffs) << run.describe();
    }

    TempDir tmp_{"dvcp-proxy"};
    std::unique_ptr<DvsdProcess> server_;
    int server_port_ = -1;
    std::string proxy_log_;
    int proxies_ = 0;
};

class DvcpThroughProxy : public DvcpProxy, public ::testing::WithParamInterface<ProxyCase> {};

TEST_P(DvcpThroughProxy, CopiesToTheServerAndBack) {
    const ProxyCase& c = GetParam();
    start_server();
    auto proxy = start_proxy(c.kind, c.proto, c.auth);
    if (!proxy) DV_PEER_MISSING("proxy not installed or did not start (scripts/setup.sh)");
    const std::string query = proxy_query(c, proxy->port());

    const RunResult up =
        dvcp({"mode=sync", "if=" + (tmp_ / "src"), "of=" + server_url("/x", server_port_, query)});
    EXPECT_EXIT_STATUS(up, 0);
    const RunResult down =
        dvcp({"if=" + server_url("/x", server_port_, query), "of=" + (tmp_ / "back")});
    EXPECT_EXIT_STATUS(down, 0);
    expect_same_tree(tmp_ / "src", tmp_ / "back", down);
    // Every connection of both runs went through the proxy (a run opens several).
    EXPECT_GE(tunnels_to(c.kind, server_port_), 2u) << read_file(proxy_log_);
    // Neither the passwords nor the proxy URL that carries one (base64 is no disguise).
    const std::string proxy_url_value =
        query.starts_with("proxy_url=") ? query.substr(query.find('=') + 1) : "<none>";
    for (const RunResult* run : {&up, &down}) {
        for (const std::string& secret : {std::string(kProxyPassword), std::string("s3cret"),
                                          proxy_url_value, std::string(kServerPassword)}) {
            EXPECT_EQ(run->err.find(secret), std::string::npos) << secret << " in the log";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Proxies, DvcpThroughProxy,
    ::testing::Values(
        ProxyCase{"tinyproxy_env", Kind::tinyproxy, "http", false, Via::env},
        ProxyCase{"tinyproxy_basic_auth_profile", Kind::tinyproxy, "http", true, Via::profile},
        ProxyCase{"microsocks_url", Kind::microsocks, "socks5", false, Via::url},
        ProxyCase{"microsocks_user_password_url", Kind::microsocks, "socks5", true, Via::url},
        ProxyCase{"microsocks_user_password_profile", Kind::microsocks, "socks5", true,
                  Via::profile},
        ProxyCase{"danted_socks4_url", Kind::danted, "socks4", false, Via::url},
        ProxyCase{"danted_socks5_profile", Kind::danted, "socks5", false, Via::profile}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DvcpProxy, RefusedProxyLoginsFailTheJobWithTheProxysReason) {
    start_server();
    struct Refusal {
        Kind kind;
        const char* proto;
        const char* password;
        const char* text;
    };
    for (const Refusal& r :
         {Refusal{Kind::tinyproxy, "http", "wrong", "proxy user or pwd error"},
          Refusal{Kind::microsocks, "socks5", "wrong", "Proxy password or user name error"}}) {
        auto proxy = start_proxy(r.kind, r.proto, true);
        if (!proxy) DV_PEER_MISSING("proxy not installed or did not start (scripts/setup.sh)");
        const std::string url = std::string(r.proto) + "://joe:" + r.password +
                                "@127.0.0.1:" + std::to_string(proxy->port());
        setenv("http_proxy", url.c_str(), 1);
        const RunResult run =
            dvcp({"if=" + (tmp_ / "src"), "of=" + server_url("/refused", server_port_)});
        unsetenv("http_proxy");
        ASSERT_TRUE(run.exited) << run.describe();
        EXPECT_NE(run.exit_code, 0) << run.describe();
        EXPECT_TRUE(log_contains(run.err, r.text)) << run.describe();
        EXPECT_FALSE(exists(tmp_ / "served/refused"));
    }
}

// ---- sessions ----

TEST_F(DvcpProxy, SessionsNameTheServerTheirProxyAndCredentials) {
    start_server();
    auto proxy = start_proxy(Kind::microsocks, "socks5", true);
    if (!proxy) DV_PEER_MISSING("microsocks not installed or did not start (scripts/setup.sh)");
    conf_proxy corp;
    corp.type = CONF_PROXY_SOCKS5;
    corp.host = "127.0.0.1";
    corp.port = static_cast<uint32_t>(proxy->port());
    corp.user = "joe";
    corp.pwd = kProxyPassword;
    ASSERT_EQ(conf_proxy_save((conf_dir() + "/dv_proxy.ini").c_str(), "corp", &corp), 0);
    write_file(conf_dir() + "/dv_client.ini",
               "[conf]\nconnect_timeout=5\n"
               "[session/backup-server]\nprot=dvp\nip=127.0.0.1\nport=" +
                   std::to_string(server_port_) + "\nuser=joe\npwd=" + kServerPassword +
                   "\nproxy=corp\n");

    const RunResult up = dvcp({"mode=sync", "if=" + (tmp_ / "src"), "of=///backup-server/photos"});
    EXPECT_EXIT_STATUS(up, 0);
    expect_same_tree(tmp_ / "src", tmp_ / "served/photos", up);
    const RunResult down = dvcp({"if=///backup-server/photos?pack=none", "of=" + (tmp_ / "back")});
    EXPECT_EXIT_STATUS(down, 0);
    expect_same_tree(tmp_ / "src", tmp_ / "back", down);
    EXPECT_GE(tunnels_to(Kind::microsocks, server_port_), 2u) << read_file(proxy_log_);
    EXPECT_EQ(up.err.find(kServerPassword), std::string::npos) << "password in the log";

    // A session that is not in the profile fails the job before anything is written.
    const RunResult missing = dvcp({"if=" + (tmp_ / "src"), "of=///nosuch/x"});
    ASSERT_TRUE(missing.exited) << missing.describe();
    EXPECT_NE(missing.exit_code, 0) << missing.describe();
    EXPECT_TRUE(log_contains(missing.err, "'nosuch' does not exist")) << missing.describe();
}

TEST_F(DvcpProxy, Ipv6SessionAndLocalhostSession) {
    start_server("::1");
    write_file(conf_dir() + "/dv_client.ini",
               "[session/v6]\nprot=dvp\nip=__1\nport=" + std::to_string(server_port_) +
                   "\nuser=joe\npwd=" + kServerPassword + "\n[session/localhost]\nprot=loc\n");
    const RunResult up = dvcp({"if=///localhost" + (tmp_ / "src"), "of=///v6/six"});
    EXPECT_EXIT_STATUS(up, 0);
    expect_same_tree(tmp_ / "src", tmp_ / "served/six", up);
}

// ---- repair ----

TEST_F(DvcpProxy, ACutConnectionIsRepairedThroughTheSameProxy) {
    start_server();
    Relay relay(server_port_);
    ASSERT_GT(relay.port(), 0);
    auto proxy = start_proxy(Kind::tinyproxy, "http", false);
    if (!proxy) DV_PEER_MISSING("tinyproxy not installed or did not start (scripts/setup.sh)");
    // Once, on whichever connection first carries that much: the big file's blocks.
    RelayRule cut;
    cut.dir = RelayDir::up;
    cut.stream_offset = 150000;
    cut.action = RelayAction::cut_rst;
    relay.add(cut);
    setenv("http_proxy", proxy_url_text("http", proxy->port(), false).c_str(), 1);
    const RunResult run = dvcp({"if=" + (tmp_ / "src"), "of=" + server_url("/r", relay.port())});
    EXPECT_EXIT_STATUS(run, 0);
    expect_same_tree(tmp_ / "src", tmp_ / "served/r", run);
    EXPECT_EQ(relay.fired(), 1) << relay.log();
    // Every connection the relay saw, the reconnect's included, came through the proxy.
    EXPECT_EQ(tunnels_to(Kind::tinyproxy, relay.port()), static_cast<size_t>(relay.connections()))
        << read_file(proxy_log_) << relay.log();
    EXPECT_GE(relay.connections(), 2);
}

}  // namespace
}  // namespace systest
