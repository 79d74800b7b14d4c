// Connections broken in the middle of a job: dvcp talks to a real dvsd through a relay that cuts,
// stalls or garbles one chosen frame (a request or its response, at a byte offset inside it) or
// cuts every connection after so many bytes. The job carries on over a new connection attached
// to the same server context and its result is exactly the source; the server's log shows that no
// request ran twice. Where repair is impossible (the server restarted, the reconnect refused) the
// job stops with the status of a lost connection and nothing partial stands under a final name.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lib/test_support/tls_certs.h"
#include "libdvsd/sd_wire.h"
#include "system/support/dvcp_test.h"
#include "system/support/dvsd_process.h"
#include "system/support/relay.h"
#include "system/support/tree.h"

namespace systest {
namespace {

constexpr int64_t kBaseTime = 1600000000;
const char kPassword[] = "secret";

enum : int {
    kListRead = 10123,
    kWorkerAnswers = 10132,
    kWorkerRead = 10133,
    kWorkerWrite = 10135,
};

// lr: local to server; rl: server to local; rr: server to server (one server, both ends through
// the relay).
enum class Route { lr, rl, rr };
const char* route_name(Route r) {
    return r == Route::lr ? "lr" : r == Route::rl ? "rl" : "rr";
}

// Small files go through the batch worker (at bs=64k those of at most 32763 bytes), the others
// block by block; a few of each so that every kind of request is cut somewhere.
std::vector<Node> repair_tree() {
    std::vector<Node> nodes;
    int64_t t = kBaseTime;
    auto stamp = [&t](Node n) {
        t += 977;
        return std::move(n).with_times(t + 100, t);
    };
    for (const char* dir : {"a", "a/b", "c", "empty"}) nodes.push_back(stamp(Node::dir(dir)));
    uint64_t seed = 11;
    for (int i = 0; i < 24; ++i) {
        const std::string dir = i % 3 == 0 ? "a" : i % 3 == 1 ? "a/b" : "c";
        nodes.push_back(
            stamp(Node::sized(dir + "/small" + std::to_string(i), 1000 + 1300 * i, ++seed)));
    }
    nodes.push_back(stamp(Node::file("a/empty_file", "")));
    nodes.push_back(stamp(Node::link("a/link", "b/small1")));
    nodes.push_back(stamp(Node::sized("c/medium", 200000, ++seed)));
    nodes.push_back(stamp(Node::sized("a/b/big", 1100000, ++seed)));
    return nodes;
}

// Files under the destination that differ from the source: each file must be the source's
// version or absent (nothing partial under a final name).
std::vector<std::string> partial_files(const std::string& src, const std::string& dst) {
    std::vector<std::string> bad;
    namespace fs = std::filesystem;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dst, ec); it != fs::end(it); it.increment(ec)) {
        if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
        const std::string rel = fs::relative(it->path(), dst).string();
        // A temporary is no final name; a killed server cannot remove its own, and those of a
        // context kept for a repair go when the context expires.
        if (is_writer_temporary_name(it->path().filename().string())) continue;
        if (!exists(src + "/" + rel) || read_file(src + "/" + rel) != read_file(it->path())) {
            bad.push_back(rel);
        }
    }
    return bad;
}

class DvcpRepair : public DvcpProcessTest {
  protected:
    void SetUp() override {
        DvcpProcessTest::SetUp();
        if (IsSkipped()) return;
        if (!kHaveDvsd) GTEST_SKIP() << "dvsd is not part of this build";
        root_ = tmp_ / "served";
        make_tree(root_, {});
        start_server();
        ASSERT_GT(port_, 0) << "dvsd did not start";
        relay_ = std::make_unique<Relay>(port_);
        ASSERT_GT(relay_->port(), 0);
    }

    // dvsd with its log at debug level; with tls_ the relay goes to its TLS listener.
    void start_server() {
        log_ = tmp_ / ("dvsd" + std::to_string(++starts_) + ".log");
        std::vector<std::string> args{"root=" + root_,
                                      "listen=127.0.0.1",
                                      "port=0",
                                      "user=joe",
                                      std::string("passwd=") + kPassword,
                                      "level=dbg"};
        if (tls_) {
            const auto& id = dvtest::tls_certs().server;
            args.insert(args.end(), {"ssl_port=0", "ssl_cert=" + id.cert, "ssl_key=" + id.key});
        }
        server_ = std::make_unique<DvsdProcess>(args, std::nullopt, std::nullopt, log_);
        port_ = port_of(server_->first_line());
        if (tls_) {
            const std::string line = server_->first_line();
            const std::string prefix = "listening dvps://127.0.0.1:";
            port_ = line.rfind(prefix, 0) == 0 ? std::stoi(line.substr(prefix.size())) : -1;
        }
    }

    std::string url(const std::string& path) const {
        return std::string(tls_ ? "dvps" : "dvp") + "://joe:" + kPassword +
               "@127.0.0.1:" + std::to_string(relay_->port()) + path;
    }
    std::string src_arg(Route r) const {
        return r == Route::rl || r == Route::rr ? url("/src") : src_disk(r);
    }
    std::string dst_arg(Route r) const {
        return r == Route::lr || r == Route::rr ? url("/dst") : dst_disk(r);
    }
    std::string src_disk(Route r) const {
        return r == Route::lr ? std::string(tmp_ / "src") : root_ + "/src";
    }
    std::string dst_disk(Route r) const {
        return r == Route::rl ? std::string(tmp_ / "dst") : root_ + "/dst";
    }

    // Every request the server executed, by context and index; none may appear twice.
    std::vector<std::string> requests_run_twice() const {
        static const std::regex line(R"(ctx=(\d+) idx=(\d+) request (\d+) executed)");
        std::set<std::pair<std::string, std::string>> seen;
        std::vector<std::string> twice;
        const std::string text = read_file(log_);
        for (auto it = std::sregex_iterator(text.begin(), text.end(), line);
             it != std::sregex_iterator(); ++it) {
            if (!seen.insert({(*it)[1], (*it)[2]}).second) twice.push_back((*it)[0]);
        }
        return twice;
    }
    size_t server_log_count(const std::string& text) const {
        const std::string log = read_file(log_);
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n;
    }

    void expect_exact_copy(Route route, const RunResult& run, const Snapshot& source) {
        EXPECT_EXIT_STATUS(run, 0);
        const Snapshot expected = without_empty_directories(source);
        const auto diffs =
            compare(expected, snapshot(dst_disk(route)), CompareOptions{.dir_attributes = false});
        EXPECT_TRUE(diffs.empty()) << format_differences(diffs) << "\n"
                                   << relay_->log() << run.describe();
        const auto twice = requests_run_twice();
        EXPECT_TRUE(twice.empty()) << "run twice: " << twice.front();
    }

    bool tls_ = false;  // set before SetUp
    TempDir tmp_{"dvcp-repair"};
    std::string root_, log_;  // the log of the server running now
    int starts_ = 0;
    std::unique_ptr<DvsdProcess> server_;
    int port_ = -1;
    std::unique_ptr<Relay> relay_;
};

// ---------------------------------------------------------------------------------------
// One frame broken: the job goes on and ends exact

struct CutCase {
    const char* name;
    std::vector<Route> routes;
    RelayRule rule;
    const char* repair;  // what the server is asked: re-attach and resend, or replay
};
void PrintTo(const CutCase& c, std::ostream* os) {
    *os << c.name;
}

RelayRule frame_rule(RelayDir dir, int code, int cmd, size_t offset, RelayAction action) {
    RelayRule r;
    r.dir = dir;
    r.code = code;
    r.cmd = cmd;
    r.offset = offset;
    r.action = action;
    return r;
}

constexpr const char* kResend = "lost request awaited";
// One response or several (requests sent ahead of their answers).
constexpr const char* kReplay = "sent again";
// Several requests on the way: the server sends again what followed the last response the client
// has, and awaits the requests it never got.
constexpr const char* kReplayFrom = "attached to context";
const CutCase kCutCases[] = {
    // The request never reaches the server: it is sent again on the old context.
    {"WorkerWriteDropped",
     {Route::lr, Route::rr},
     frame_rule(RelayDir::up, SD_REQ_IOCTL, kWorkerWrite, 0, RelayAction::cut_fin),
     kResend},
    {"BlockWriteCutInside",
     {Route::lr, Route::rr},
     frame_rule(RelayDir::up, SD_REQ_PWRITE, -1, 1000, RelayAction::cut_rst),
     kResend},
    {"WorkerReadMagicFlipped",
     {Route::rl, Route::rr},
     frame_rule(RelayDir::up, SD_REQ_IOCTL, kWorkerRead, 1, RelayAction::flip),
     kResend},
    // The request ran, its response is lost: the server sends it again (the worker's answers are
    // collected with other requests on the way).
    {"WorkerAnswersDropped",
     {Route::lr, Route::rl, Route::rr},
     frame_rule(RelayDir::down, SD_REQ_IOCTL, kWorkerAnswers, 0, RelayAction::cut_fin),
     kReplayFrom},
    {"WorkerAnswersCutInside",
     {Route::lr, Route::rl},
     frame_rule(RelayDir::down, SD_REQ_IOCTL, kWorkerAnswers, 40, RelayAction::cut_rst),
     kReplayFrom},
    {"BlockReadCutInside",
     {Route::rl, Route::rr},
     frame_rule(RelayDir::down, SD_REQ_PREAD, -1, 5000, RelayAction::cut_fin),
     kReplay},
    {"ListingBlockDropped",
     {Route::lr, Route::rl},
     frame_rule(RelayDir::down, SD_REQ_IOCTL, kListRead, 0, RelayAction::cut_fin),
     kReplay},
    {"BlockReadMagicFlipped",
     {Route::rl},
     frame_rule(RelayDir::down, SD_REQ_PREAD, -1, 0, RelayAction::flip),
     kReplay},
};

class DvcpRepairCut : public DvcpRepair, public ::testing::WithParamInterface<CutCase> {};

TEST_P(DvcpRepairCut, JobCarriesOnAndEndsExact) {
    const CutCase& c = GetParam();
    for (Route route : c.routes) {
        SCOPED_TRACE(route_name(route));
        remove_all(src_disk(route));
        remove_all(dst_disk(route));
        make_tree(src_disk(route), repair_tree());
        const Snapshot source = settled_snapshot(src_disk(route));
        relay_->add(c.rule);
        const int fired = relay_->fired();
        const size_t attached = server_log_count(c.repair);
        const RunResult run =
            dvcp({"mode=sync", "bs=64k", "if=" + src_arg(route), "of=" + dst_arg(route)});
        EXPECT_EQ(relay_->fired(), fired + 1) << "the rule never hit\n" << run.describe();
        EXPECT_GT(server_log_count(c.repair), attached) << "no repair was seen";
        expect_exact_copy(route, run, source);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, DvcpRepairCut, ::testing::ValuesIn(kCutCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A response that never comes (the connection stays open): after the read time-out the request is
// repaired like a cut one.
TEST_F(DvcpRepair, StalledResponseIsRepairedAfterTheTimeOut) {
    make_tree(src_disk(Route::lr), repair_tree());
    const Snapshot source = settled_snapshot(src_disk(Route::lr));
    relay_->add(frame_rule(RelayDir::down, SD_REQ_IOCTL, kWorkerAnswers, 0, RelayAction::stall));
    const RunResult run =
        dvcp({"mode=sync", "bs=64k", "if=" + src_arg(Route::lr), "of=" + dst_arg(Route::lr)});
    EXPECT_EQ(relay_->fired(), 1);
    expect_exact_copy(Route::lr, run, source);
}

// Every connection cut after every 256 KiB either way (each new connection too): the job still
// ends exact, on every route, in the clear and over TLS (where only the byte count says where).
class DvcpRepairEveryConnection : public DvcpRepair, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        tls_ = GetParam();
        if (tls_ && !dvtest::tls_certs().server.ok()) GTEST_SKIP() << "openssl made no certificate";
        DvcpRepair::SetUp();
    }
};

TEST_P(DvcpRepairEveryConnection, CutEveryFewHundredKilobytes) {
    for (RelayDir dir : {RelayDir::up, RelayDir::down}) {
        RelayRule r;
        r.dir = dir;
        r.stream_offset = 256 << 10;
        r.times = 0;
        r.action = dir == RelayDir::up ? RelayAction::cut_fin : RelayAction::cut_rst;
        relay_->add(r);
    }
    for (Route route : {Route::lr, Route::rl, Route::rr}) {
        SCOPED_TRACE(route_name(route));
        remove_all(src_disk(route));
        remove_all(dst_disk(route));
        make_tree(src_disk(route), repair_tree());
        const Snapshot source = settled_snapshot(src_disk(route));
        const int fired = relay_->fired();
        const RunResult run =
            dvcp({"mode=sync", "bs=64k", "if=" + src_arg(route), "of=" + dst_arg(route)});
        EXPECT_GE(relay_->fired(), fired + 3) << run.describe();
        expect_exact_copy(route, run, source);
    }
}

INSTANTIATE_TEST_SUITE_P(Channels, DvcpRepairEveryConnection, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Tls" : "Plain"; });

// Listings in flight cut again and again: both sides of a sync list some hundred and fifty
// directories with their reads sent ahead, and every connection is cut after 48 KiB of answers
// (each new one too). The job still ends exact on every route.
TEST_F(DvcpRepair, ListingsInFlightCutAgainAndAgain) {
    RelayRule cut;
    cut.dir = RelayDir::down;
    cut.stream_offset = 48 << 10;
    cut.times = 0;
    cut.action = RelayAction::cut_rst;
    relay_->add(cut);
    const std::vector<Node> tree =
        generated_nodes({.seed = 28, .levels = 3, .dirs = 5, .files = 12, .max_size = 64});
    for (Route route : {Route::lr, Route::rl, Route::rr}) {
        SCOPED_TRACE(route_name(route));
        remove_all(src_disk(route));
        remove_all(dst_disk(route));
        make_tree(dst_disk(route), tree);
        std::vector<Node> changed = tree;
        changed.push_back(Node::file("fresh", "only at the source"));
        make_tree(src_disk(route), changed);
        const Snapshot source = settled_snapshot(src_disk(route));
        const int fired = relay_->fired();
        const RunResult run =
            dvcp({"mode=sync", "level=dbg", "if=" + src_arg(route), "of=" + dst_arg(route)});
        EXPECT_GE(relay_->fired(), fired + 2) << run.describe();
        // Some cut hit with requests in flight.
        EXPECT_NE(run.err.find("posted requests repaired"), std::string::npos) << run.describe();
        expect_exact_copy(route, run, source);
    }
}

// A stop while a repair runs ends the job as a stop (6), with no further connection tried.
TEST_F(DvcpRepair, StopDuringRepairEndsAsStop) {
    const Route route = Route::rl;
    make_tree(src_disk(route), repair_tree());
    relay_->add(frame_rule(RelayDir::down, SD_REQ_PREAD, -1, 2000, RelayAction::cut_fin));
    bool stopped = false;
    RunOptions options;
    options.on_stderr = [&](pid_t pid, const std::string& err) {
        if (!stopped && err.find("dvsd_cli_reconnect ok") != std::string::npos) {
            stopped = true;
            ::kill(pid, SIGINT);
        }
    };
    const RunResult run =
        dvcp({"mode=sync", "bs=64k", "level=dbg", "if=" + src_arg(route), "of=" + dst_arg(route)},
             options);
    ASSERT_TRUE(stopped) << run.describe();
    EXPECT_EXIT_STATUS(run, 6);
    EXPECT_EQ(run.err.find("run status="), std::string::npos) << run.describe();
    const auto bad = partial_files(src_disk(route), dst_disk(route));
    EXPECT_TRUE(bad.empty()) << bad.front();
}

// A job stopped by the user while a big file is being written tells the server to drop its
// work: the temporary goes at once, not when the context kept for a repair expires.
TEST_F(DvcpRepair, StoppedJobLeavesNoTemporaryBehind) {
    const Route route = Route::lr;
    make_tree(src_disk(route), {Node::dir("z")});
    write_file(src_disk(route) + "/z/big", pattern_bytes(64 << 20, 3));
    const std::string dir = dst_disk(route) + "/z";
    auto temporaries = [&dir] {
        std::vector<std::string> found;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir, ec))
            if (is_writer_temporary_name(e.path().filename().string())) found.push_back(e.path());
        return found;
    };
    bool stopped = false;
    RunOptions options;
    options.on_poll = [&](pid_t pid, const std::string&) {
        if (stopped) return;
        std::error_code ec;
        for (const auto& t : temporaries()) {
            if (std::filesystem::file_size(t, ec) > 0) {
                stopped = true;
                ::kill(pid, SIGINT);
                return;
            }
        }
    };
    const RunResult run =
        dvcp({"mode=sync", "bs=64k", "if=" + src_arg(route), "of=" + dst_arg(route)}, options);
    ASSERT_TRUE(stopped) << run.describe();
    EXPECT_EXIT_STATUS(run, 6);
    for (int i = 0; i < 100 && !temporaries().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(temporaries().empty());
    EXPECT_FALSE(exists(dir + "/big"));
}

// ---------------------------------------------------------------------------------------
// Repair impossible: the job stops, nothing partial stays, the next run finishes it

// The server restarted while a response was outstanding: its context is gone, so the job ends
// with the status of a lost connection.
TEST_F(DvcpRepair, ServerRestartedEndsTheJob) {
    const Route route = Route::lr;
    make_tree(src_disk(route), repair_tree());
    relay_->add(frame_rule(RelayDir::down, SD_REQ_PWRITE, -1, 0, RelayAction::stall));
    bool restarted = false;
    RunOptions options;
    options.timeout = std::chrono::seconds(120);
    options.on_poll = [&](pid_t, const std::string&) {
        if (restarted || relay_->fired() == 0) return;
        restarted = true;
        server_->stop(SIGKILL);
        start_server();
        relay_->set_upstream(port_);
    };
    const RunResult run =
        dvcp({"mode=sync", "bs=64k", "if=" + src_arg(route), "of=" + dst_arg(route)}, options);
    ASSERT_TRUE(restarted) << run.describe();
    EXPECT_EXIT_STATUS(run, 7);
    const auto bad = partial_files(src_disk(route), dst_disk(route));
    EXPECT_TRUE(bad.empty()) << bad.front();

    const RunResult again = dvcp({"mode=sync", "if=" + src_arg(route), "of=" + dst_arg(route)});
    expect_exact_copy(route, again, settled_snapshot(src_disk(route)));
}

// The new connection of a repair fails: its login meets a closed connection (no second try), or
// every connect is refused (three tries, none waiting). The job ends with the status of a lost
// connection; nothing partial stands under a final name.
struct RefusalCase {
    const char* name;
    int refuse_next;
    int refuse_ms;
};
void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}
class DvcpRepairRefused : public DvcpRepair, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(DvcpRepairRefused, JobEndsWithNothingPartial) {
    const Route route = Route::rl;
    make_tree(src_disk(route), repair_tree());
    RelayRule cut = frame_rule(RelayDir::down, SD_REQ_PREAD, -1, 2000, RelayAction::cut_rst);
    cut.refuse_next = GetParam().refuse_next;
    cut.refuse_ms = GetParam().refuse_ms;
    relay_->add(cut);
    const RunResult run =
        dvcp({"mode=sync", "bs=64k", "if=" + src_arg(route), "of=" + dst_arg(route)});
    EXPECT_EQ(relay_->fired(), 1);
    EXPECT_EXIT_STATUS(run, 7);
    const auto bad = partial_files(src_disk(route), dst_disk(route));
    EXPECT_TRUE(bad.empty()) << bad.front();
    if (GetParam().refuse_next > 0) {
        EXPECT_NE(relay_->log().find("refused"), std::string::npos) << relay_->log();
    }
}

const RefusalCase kRefusalCases[] = {
    {"LoginOnNewConnectionFails", 1, 0},
    {"ConnectsRefused", 0, 2000},
};
INSTANTIATE_TEST_SUITE_P(Cases, DvcpRepairRefused, ::testing::ValuesIn(kRefusalCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace systest
