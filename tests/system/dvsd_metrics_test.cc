// metrics= on a real dvsd on loopback, scraped with a real HTTP client (curl): counters move with
// what clients do (requests and bytes grow while a dvcp job runs, failed logins, locks and refused
// logins count), other paths and methods are turned away, and connections that never speak neither
// keep a collector out nor hold up the file service.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lib/test_support/real_peer.h"
#include "system/support/dvcp_test.h"
#include "system/support/dvsd_process.h"
#include "system/support/process.h"
#include "system/support/tree.h"

namespace systest {
namespace {

const char kPassword[] = "secret";

// Standard output of a shell command.
std::string command_output(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

bool have_curl() {
    return system("curl --version >/dev/null 2>&1") == 0;
}

// A scraped exposition: every sample by its name and labels as written ("name{a=\"b\"}").
struct scrape final {
    std::map<std::string, double> samples;
    std::string text;
    std::optional<double> get(const std::string& key) const {
        auto it = samples.find(key);
        if (it == samples.end()) return std::nullopt;
        return it->second;
    }
    double value(const std::string& key) const { return get(key).value_or(-1); }
    // The sum of every sample of `name`, whatever its labels.
    double sum(const std::string& name) const {
        double total = 0;
        for (const auto& [key, v] : samples) {
            if (key == name || key.rfind(name + "{", 0) == 0) total += v;
        }
        return total;
    }
};

scrape parse(const std::string& text) {
    scrape s;
    s.text = text;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        const size_t space = line.rfind(' ');
        if (space == std::string::npos) continue;
        s.samples[line.substr(0, space)] = std::stod(line.substr(space + 1));
    }
    return s;
}

class DvsdMetrics : public DvcpProcessTest {
  protected:
    void SetUp() override {
        DvcpProcessTest::SetUp();
        if (IsSkipped()) return;
        if (!kHaveDvsd) GTEST_SKIP() << "dvsd is not part of this build";
        if (!have_curl()) DV_PEER_MISSING("curl is not installed (scripts/setup.sh installs it)");
        root_ = tmp_ / "served";
        make_tree(root_, {});
    }

    // dvsd with metrics on any free port; its ports read from the announcements.
    void start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"root=" + root_,
                                      "listen=127.0.0.1",
                                      "port=0",
                                      "user=joe",
                                      std::string("passwd=") + kPassword,
                                      "metrics=127.0.0.1:0"};
        args.insert(args.end(), extra.begin(), extra.end());
        server_ =
            std::make_unique<DvsdProcess>(args, std::nullopt, std::nullopt, tmp_ / "dvsd.log");
        const std::string line = server_->first_line();
        port_ = port_of(line);
        ASSERT_GT(port_, 0) << "dvsd did not start: " << line;
        const std::string metrics = server_->first_line();
        const std::string prefix = "listening http://127.0.0.1:";
        ASSERT_EQ(0u, metrics.rfind(prefix, 0)) << metrics;
        metrics_url_ = metrics.substr(std::string("listening ").size());
        ASSERT_EQ("/metrics", metrics_url_.substr(metrics_url_.rfind('/')));
        metrics_port_ = std::stoi(metrics.substr(prefix.size()));
    }
    std::string url(const std::string& path, const std::string& user = "joe",
                    const std::string& password = kPassword) const {
        return "dvp://" + user + ":" + password + "@127.0.0.1:" + std::to_string(port_) + path;
    }
    // A scrape through curl (status checked: --fail); empty samples when it failed.
    scrape get(const std::string& path = "/metrics") const {
        const std::string base = metrics_url_.substr(0, metrics_url_.rfind('/'));
        return parse(command_output("curl -sS --fail --max-time 20 '" + base + path + "'"));
    }
    // The HTTP status curl got for `path` with `method`.
    std::string status_of(const std::string& path, const std::string& method = "GET") const {
        const std::string base = metrics_url_.substr(0, metrics_url_.rfind('/'));
        const std::string head = method == "HEAD" ? " -I" : " -X " + method;
        return command_output("curl -s -o /dev/null -w '%{http_code}' --max-time 20" + head + " '" +
                              base + path + "'");
    }
    // A configuration file with `text`; its path.
    std::string conf_file(const std::string& text) const {
        const std::string path = tmp_ / "dvsd.ini";
        std::ofstream(path) << text;
        return path;
    }

    TempDir tmp_{"dvsd-metrics"};
    std::string root_;
    std::unique_ptr<DvsdProcess> server_;
    int port_ = -1;
    int metrics_port_ = -1;
    std::string metrics_url_;
};

TEST_F(DvsdMetrics, ExpositionHasHelpAndTypeForEveryFamily) {
    start();
    const scrape s = get();
    ASSERT_FALSE(s.samples.empty()) << "no scrape";
    for (const char* family :
         {"dvsd_info", "dvsd_connections_open", "dvsd_connections_max",
          "dvsd_connections_accepted_total", "dvsd_connections_refused_total", "dvsd_logins_total",
          "dvsd_login_locks_total", "dvsd_login_locked_addresses", "dvsd_received_bytes_total",
          "dvsd_sent_bytes_total", "dvsd_requests_total", "dvsd_contexts_kept", "dvsd_contexts_max",
          "dvsd_open_files", "dvsd_open_files_max", "dvsd_descriptors_open",
          "dvsd_memory_resident_bytes"}) {
        SCOPED_TRACE(family);
        EXPECT_NE(std::string::npos, s.text.find(std::string("# HELP ") + family + " "));
        EXPECT_NE(std::string::npos, s.text.find(std::string("# TYPE ") + family + " "));
    }
    EXPECT_EQ(1, s.value("dvsd_info{version=\"1.7.8\"}"));
    EXPECT_EQ(1024, s.value("dvsd_connections_max{state=\"logged_in\"}"));
    EXPECT_EQ(128, s.value("dvsd_connections_max{state=\"login\"}"));
    EXPECT_EQ(1024, s.value("dvsd_contexts_max"));
    EXPECT_GT(s.value("dvsd_descriptors_open"), 0);
    EXPECT_GT(s.value("dvsd_memory_resident_bytes"), 0);
    EXPECT_EQ(0, s.sum("dvsd_requests_total"));
    EXPECT_EQ(0, s.sum("dvsd_connections_refused_total"));
}

// Scrapes run the whole time an upload and a download run: each succeeds, no counter ever goes
// back, and at the end requests and bytes have grown by at least what the jobs moved.
TEST_F(DvsdMetrics, RequestsAndBytesGrowWhileJobsRun) {
    std::vector<Node> tree;
    for (int i = 0; i < 200; ++i) tree.push_back(Node::file("small/" + std::to_string(i), "x"));
    // Bytes that do not pack: the counters see what crosses the wire.
    const size_t big = 8 << 20;
    std::string noise(big, '\0');
    uint64_t state = 0x9e3779b97f4a7c15ull;
    for (char& c : noise) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        c = static_cast<char>(state);
    }
    tree.push_back(Node::file("big", noise));
    make_tree(tmp_ / "src", tree);
    start();
    const scrape before = get();
    ASSERT_FALSE(before.samples.empty());

    std::atomic<bool> done{false};
    std::vector<scrape> during;
    std::thread scraper([&] {
        while (!done.load()) during.push_back(get());
    });
    RunResult up = dvcp({"mode=cp", "bs=64k", "if=" + tmp_ / "src", "of=" + url("/up")});
    RunResult down = dvcp({"mode=cp", "bs=64k", "if=" + url("/up"), "of=" + tmp_ / "down"});
    done = true;
    scraper.join();
    EXPECT_EXIT_STATUS(up, 0);
    EXPECT_EXIT_STATUS(down, 0);
    const scrape after = get();

    ASSERT_FALSE(during.empty());
    const char* counters[] = {"dvsd_received_bytes_total", "dvsd_sent_bytes_total",
                              "dvsd_connections_accepted_total"};
    double last[3] = {0, 0, 0};
    for (const scrape& s : during) {
        ASSERT_FALSE(s.samples.empty()) << "a scrape during the jobs failed";
        for (int i = 0; i < 3; ++i) {
            EXPECT_GE(s.value(counters[i]), last[i]) << counters[i] << " went back";
            last[i] = s.value(counters[i]);
        }
    }
    EXPECT_GE(after.value("dvsd_received_bytes_total"),
              before.value("dvsd_received_bytes_total") + static_cast<double>(big));
    EXPECT_GE(after.value("dvsd_sent_bytes_total"),
              before.value("dvsd_sent_bytes_total") + static_cast<double>(big));
    EXPECT_GT(after.sum("dvsd_requests_total"), before.sum("dvsd_requests_total") + 100);
    // A download of 8 MiB in 64 KiB reads is at least 128 successful reads of one code.
    double most_ok = 0;
    for (const auto& [key, v] : after.samples) {
        if (key.rfind("dvsd_requests_total{", 0) == 0 &&
            key.find("result=\"ok\"") != std::string::npos) {
            most_ok = std::max(most_ok, v);
        }
    }
    EXPECT_GE(most_ok, 128);
    EXPECT_GE(after.value("dvsd_logins_total{result=\"ok\"}"), 2);
    EXPECT_EQ(0, after.value("dvsd_logins_total{result=\"failed\"}"));
    EXPECT_GT(after.value("dvsd_connections_accepted_total"),
              before.value("dvsd_connections_accepted_total"));
    EXPECT_EQ(0, after.value("dvsd_connections_open{state=\"logged_in\"}")) << after.text;
}

// Wrong passwords count as failed logins until the address is locked; a login from the locked
// address is refused with its own cause; a user's address list refuses with another.
TEST_F(DvsdMetrics, FailedLoginsLocksAndRefusalsCount) {
    const std::string conf =
        conf_file("[dvsd]\nlogin_fail_count=2\n[user/far]\npasswd=pw\nhosts_allow=192.0.2.0/24\n");
    make_tree(tmp_ / "src", {Node::file("a", "a")});
    start({"conf=" + conf});

    RunResult run = dvcp({"mode=cp", "if=" + tmp_ / "src", "of=" + url("/x", "far", "pw")});
    EXPECT_NE(0, run.exit_code);
    scrape s = get();
    EXPECT_EQ(1, s.value("dvsd_connections_refused_total{cause=\"user_hosts\"}")) << s.text;

    // Two wrong passwords lock 127.0.0.1 (a run may try more than once: stop at the lock).
    for (int i = 0; i < 3 && s.value("dvsd_login_locks_total") < 1; ++i) {
        run = dvcp({"mode=cp", "if=" + tmp_ / "src", "of=" + url("/x", "joe", "wrong")});
        EXPECT_NE(0, run.exit_code);
        s = get();
    }
    EXPECT_EQ(2, s.value("dvsd_logins_total{result=\"failed\"}")) << s.text;
    EXPECT_EQ(1, s.value("dvsd_login_locks_total")) << s.text;
    EXPECT_EQ(1, s.value("dvsd_login_locked_addresses")) << s.text;

    // Even the right password is refused now, as a locked address.
    run = dvcp({"mode=cp", "if=" + tmp_ / "src", "of=" + url("/x")});
    EXPECT_NE(0, run.exit_code);
    s = get();
    EXPECT_GE(s.value("dvsd_connections_refused_total{cause=\"locked\"}"), 1) << s.text;
    EXPECT_EQ(2, s.value("dvsd_logins_total{result=\"failed\"}")) << s.text;
    // The user of the address list logged in (its password was right) only to be refused: no
    // login of the locked address got through.
    EXPECT_EQ(0, s.value("dvsd_logins_total{result=\"ok\"}")) << s.text;
    EXPECT_NE(std::string::npos, read_file(tmp_ / "dvsd.log").find("locked for 60 minutes"));
}

TEST_F(DvsdMetrics, OtherPathsAndMethodsAreTurnedAway) {
    start();
    struct Case {
        const char* path;
        const char* method;
        const char* status;
    };
    const Case cases[] = {
        {"/metrics", "GET", "200"},  {"/metrics?x=1", "GET", "200"}, {"/metrics", "HEAD", "200"},
        {"/", "GET", "404"},         {"/metrics/x", "GET", "404"},   {"/etc/passwd", "GET", "404"},
        {"/metrics", "POST", "405"}, {"/metrics", "DELETE", "405"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        EXPECT_EQ(c.status, status_of(c.path, c.method));
    }
}

int connect_to(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Connections that never finish a request (silent, or a head without end) neither keep a collector
// out nor hold up the file service; a head past 8 KiB is answered 431 and closed.
TEST_F(DvsdMetrics, StalledAndOversizedClientsKeepNobodyOut) {
    make_tree(root_, {Node::file("f", "served")});
    start();
    std::vector<int> stalled;
    for (int i = 0; i < 40; ++i) {
        const int fd = connect_to(metrics_port_);
        ASSERT_GE(fd, 0);
        if (i % 2 == 1) {
            const std::string part = "GET /metrics HTTP/1.1\r\nHost: x\r\n";
            ASSERT_EQ(static_cast<ssize_t>(part.size()), write(fd, part.data(), part.size()));
        }
        stalled.push_back(fd);
    }
    const scrape s = get();
    EXPECT_FALSE(s.samples.empty()) << "a collector was kept out";
    const RunResult run = dvcp({"mode=cp", "if=" + url("/"), "of=" + tmp_ / "dst"});
    EXPECT_EXIT_STATUS(run, 0);
    EXPECT_EQ("served", read_file(tmp_ / "dst/f"));

    const int fd = connect_to(metrics_port_);
    ASSERT_GE(fd, 0);
    const std::string huge = "GET /metrics HTTP/1.1\r\nX: " + std::string(20000, 'a');
    // The server may close before taking all of it.
    ssize_t ignored = send(fd, huge.data(), huge.size(), MSG_NOSIGNAL);
    (void)ignored;
    std::string answer;
    char buffer[4096];
    timeval limit{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    ssize_t n;
    while ((n = read(fd, buffer, sizeof(buffer))) > 0)
        answer.append(buffer, static_cast<size_t>(n));
    close(fd);
    EXPECT_EQ(0u, answer.rfind("HTTP/1.0 431 ", 0)) << answer;
    for (int f : stalled) close(f);
}

struct bad_address {
    const char* value;
    const char* message;
};
void PrintTo(const bad_address& c, std::ostream* os) {
    *os << c.value;
}

class DvsdMetricsAddress : public DvsdMetrics, public testing::WithParamInterface<bad_address> {};

// check=1 refuses a metrics address of a bad form, naming the key, and serves nothing.
TEST_P(DvsdMetricsAddress, CheckRefusesIt) {
    const RunResult run = run_program({DVSD_BIN, "root=" + root_, "user=joe", "passwd=x",
                                       std::string("metrics=") + GetParam().value, "check=1"});
    EXPECT_TRUE(run.exited && run.exit_code == 1) << run.describe();
    EXPECT_NE(std::string::npos, run.err.find(GetParam().message)) << run.describe();
}

INSTANTIATE_TEST_SUITE_P(
    Forms, DvsdMetricsAddress,
    testing::Values(bad_address{"9688", "must be ADDRESS:PORT"},
                    bad_address{"127.0.0.1:", "port must be a number"},
                    bad_address{"127.0.0.1:65536", "port must be a number"},
                    bad_address{"127.0.0.1:http", "port must be a number"},
                    bad_address{"::1:9688", "in brackets"}, bad_address{"[::1:9688", "in brackets"},
                    bad_address{"no.such.host.invalid:9688", "metrics=no.such.host.invalid"}));

TEST_F(DvsdMetrics, CheckAcceptsGoodAddresses) {
    for (const char* value : {"127.0.0.1:9688", "[::1]:0", "localhost:9688"}) {
        SCOPED_TRACE(value);
        const RunResult run = run_program({DVSD_BIN, "root=" + root_, "user=joe", "passwd=x",
                                           std::string("metrics=") + value, "check=1"});
        EXPECT_TRUE(run.exited && run.exit_code == 0) << run.describe();
    }
}

}  // namespace
}  // namespace systest
