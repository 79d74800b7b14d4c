// dvcp against a server that stalls or lies: the real dvsd behind a relay that trickles its
// replies a byte at a time, answers a read with more than was asked or with data that does not
// unpack, or leaves one file of a batch read unanswered. Every such run ends, with the status of
// a time-out or a protocol error (7), or of a stop (6) when the user asks for one; nothing that was
// not copied is reported as copied.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "libdvsd/blobmsg.h"
#include "libdvsd/dvsd_cli.h"
#include "libdvsd/sd_frame.h"
#include "libpack/pack_ex.h"
#include "librdir/mfile.h"
#include "system/support/dvcp_test.h"
#include "system/support/dvsd_process.h"
#include "system/support/relay.h"
#include "system/support/report.h"
#include "system/support/tree.h"

namespace systest {
namespace {

using bytes = std::vector<uint8_t>;

const char kPassword[] = "secret";
constexpr size_t kKiB = 1024;

// ---- response frames taken apart and put together again ----------------------------------------

struct field {
    unsigned type;
    std::string name;
    bytes value;
};

std::vector<field> fields_of(const bytes& frame) {
    std::vector<field> out;
    const uint32_t word =
        uint32_t{frame[4]} << 24 | uint32_t{frame[5]} << 16 | uint32_t{frame[6]} << 8 | frame[7];
    const size_t end = 4 + (word & BLOB_ATTR_LEN_MASK);
    size_t off = 8;
    while (off + 4 <= end && off < frame.size()) {
        const auto* a = reinterpret_cast<const blob_attr*>(frame.data() + off);
        const size_t pad = blob_pad_len(a);
        if (pad < 4 || off + blob_raw_len(a) > end) break;
        const uint8_t* d = blobmsg_data(a);
        out.push_back({blob_id(a), blobmsg_name(a), bytes(d, d + blobmsg_data_len(a))});
        off += pad;
    }
    return out;
}

bytes frame_of(const bytes& original, const std::vector<field>& fields) {
    sd_frame_msg msg;
    msg.reset();
    for (const field& f : fields)
        msg.add_field(int(f.type), f.name.c_str(), f.value.data(), f.value.size());
    bytes out(original.begin(), original.begin() + 4);
    const auto root = msg.root();
    out.insert(out.end(), root.begin(), root.end());
    return out;
}

field* find(std::vector<field>& fields, const std::string& name) {
    for (field& f : fields) {
        if (f.name == name) return &f;
    }
    return nullptr;
}

uint32_t be32(const bytes& v) {
    return uint32_t{v[0]} << 24 | uint32_t{v[1]} << 16 | uint32_t{v[2]} << 8 | v[3];
}
bytes be32_bytes(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

bytes lz4(const bytes& raw) {
    zcomp_ctx codec;
    snprintf(codec.name, sizeof codec.name, "lz4");
    zcomp_init(&codec);
    bytes out(zcomp_bound(raw.size()));
    const int n = zcomp_compress(&codec, raw.data(), raw.size(), out.data(), out.size());
    out.resize(n < 0 ? 0 : size_t(n));
    return out;
}

// ---- fixture
// -------------------------------------------------------------------------------------

class DvcpLiar : public DvcpProcessTest {
  protected:
    void SetUp() override {
        DvcpProcessTest::SetUp();
        if (IsSkipped()) return;
        if (!kHaveDvsd) {
            if (std::getenv("CI") != nullptr) FAIL() << "CI needs dvsd in the build";
            GTEST_SKIP() << "dvsd is not part of this build";
        }
        root_ = tmp_ / "root";
        make_tree(root_, {Node::dir("src")});
    }

    void start(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args{"root=" + root_,
                                      "listen=127.0.0.1",
                                      "port=0",
                                      "user=joe",
                                      std::string("passwd=") + kPassword,
                                      "context_timeout=2"};
        args.insert(args.end(), extra.begin(), extra.end());
        server_ = std::make_unique<DvsdProcess>(args);
        const int port = port_of(server_->first_line());
        ASSERT_GT(port, 0) << "dvsd did not start";
        relay_ = std::make_unique<Relay>(port);
        ASSERT_GT(relay_->port(), 0) << "the relay did not start";
    }

    // The served path `path` through the relay.
    std::string url(const std::string& path, const std::string& query) const {
        return "dvp://joe:" + std::string(kPassword) +
               "@127.0.0.1:" + std::to_string(relay_->port()) + path + "?" + query;
    }

    // Every reply to requests `code` (and control code `cmd`, -1 any) trickled one byte each
    // `every_ms`.
    void trickle(int code, int cmd, int every_ms) {
        RelayRule rule;
        rule.dir = RelayDir::down;
        rule.code = code;
        rule.cmd = cmd;
        rule.action = RelayAction::trickle;
        rule.trickle_ms = every_ms;
        rule.times = 0;
        relay_->add(rule);
    }

    void rewrite(int code, int cmd, std::function<bytes(const bytes&)> how) {
        RelayRule rule;
        rule.dir = RelayDir::down;
        rule.code = code;
        rule.cmd = cmd;
        rule.action = RelayAction::rewrite;
        rule.rewrite = std::move(how);
        rule.times = 0;
        relay_->add(rule);
    }

    TempDir tmp_{"dvcp-liar"};
    std::string root_;
    std::unique_ptr<DvsdProcess> server_;
    std::unique_ptr<Relay> relay_;
};

// ---- 1: trickled replies end as time-outs
// ----------------------------------------------------------

struct TrickleCase {
    const char* name;
    std::vector<std::pair<int, int>> replies;  // request and control codes whose replies trickle
    std::vector<std::string> server_args;
};
const TrickleCase kTrickleCases[] = {
    // During set-up, before the job is open.
    {"ServerInformation", {{SD_REQ_INFO, -1}}, {}},
    // Listing answers, and their repeats when a repair asks for the lost one again. One exchange
    // at a time: the repeats of answers that were in flight come after the re-attach's own answer
    // with no request of their own, and the relay could not tell them for listing answers.
    {"Listing",
     {{SD_REQ_IOCTL, DVSD_IOCTL_RDIR_READ}, {SD_REQ_IOCTL, DVSD_IOCTL2_ATTACH_CTX_REPLY}},
     {"pipe=0"}},
};
void PrintTo(const TrickleCase& c, std::ostream* os) {
    *os << c.name;
}

class DvcpLiarTrickle : public DvcpLiar, public ::testing::WithParamInterface<TrickleCase> {};

// A byte each 200 ms never leaves dvcp's idle time-out (15 s) without progress, but a reply of
// more than 75 bytes misses its whole-frame deadline: the job ends as timed out.
TEST_P(DvcpLiarTrickle, EndsAsTimeOut) {
    make_tree(root_, {Node::file("src/one", "one small file")});
    start(GetParam().server_args);
    for (const auto& [code, cmd] : GetParam().replies) trickle(code, cmd, 200);
    RunOptions options;
    options.timeout = std::chrono::seconds(150);
    const RunResult run = dvcp({"if=" + url("/src", "pack=none"), "of=" + (tmp_ / "dst")}, options);
    EXPECT_FALSE(run.timed_out) << run.describe();
    EXPECT_EXIT_STATUS(run, 7);
    EXPECT_TRUE(log_contains(run.err, "frame not whole within")) << run.describe();
    EXPECT_GT(relay_->fired(), 0) << relay_->log();
}

INSTANTIATE_TEST_SUITE_P(Replies, DvcpLiarTrickle, ::testing::ValuesIn(kTrickleCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- 1: a stop ends set-up at once
// ----------------------------------------------------------------

struct StopCase {
    const char* name;
    int code;  // the set-up reply that trickles while the stop comes
    int signum;
};
const StopCase kStopCases[] = {
    {"LoginSigterm", SD_REQ_LOGIN, SIGTERM},
    {"LoginSigint", SD_REQ_LOGIN, SIGINT},
    {"ServerInformationSigterm", SD_REQ_INFO, SIGTERM},
    {"ServerInformationSighup", SD_REQ_INFO, SIGHUP},
};
void PrintTo(const StopCase& c, std::ostream* os) {
    *os << c.name;
}

class DvcpLiarStop : public DvcpLiar, public ::testing::WithParamInterface<StopCase> {};

// The reply trickles slowly enough (and the time-outs are long enough) that only the stop can end
// the run within the test's bound.
TEST_P(DvcpLiarStop, StopEndsTheRun) {
    make_tree(root_, {Node::file("src/one", "one small file")});
    start();
    trickle(GetParam().code, -1, 400);
    std::atomic<bool> sent{false};
    RunOptions options;
    options.timeout = std::chrono::seconds(30);
    options.on_poll = [&](pid_t pid, const std::string&) {
        if (relay_->fired() > 0 && !sent.exchange(true)) kill(pid, GetParam().signum);
    };
    const RunResult run =
        dvcp({"if=" + url("/src", "read_timeout=120&connect_timeout=120"), "of=" + (tmp_ / "dst")},
             options);
    EXPECT_TRUE(sent.load()) << relay_->log();
    EXPECT_FALSE(run.timed_out) << run.describe();
    EXPECT_EXIT_STATUS(run, 6);
}

INSTANTIATE_TEST_SUITE_P(SetUp, DvcpLiarStop, ::testing::ValuesIn(kStopCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- 3: read replies that lie are protocol errors at the read
// ------------------------------------

struct LieCase {
    const char* name;
    const char* pack;
    // The reply made of the real one's stated length and data.
    std::function<void(uint32_t* stated, bytes* data)> lie;
};
const LieCase kLieCases[] = {
    {"LongerThanAsked", "none",
     [](uint32_t* stated, bytes* data) {
         data->insert(data->end(), 100, 'x');
         *stated += 100;
     }},
    {"UnpacksBeyondAsked", "lz4",
     [](uint32_t* stated, bytes* data) { *data = lz4(bytes(*stated + 100, 'y')); }},
    {"GarbageForPackedData", "lz4", [](uint32_t*, bytes* data) { *data = bytes(200, 0xff); }},
};
void PrintTo(const LieCase& c, std::ostream* os) {
    *os << c.name;
}

class DvcpLiarRead : public DvcpLiar, public ::testing::WithParamInterface<LieCase> {};

// A file large enough to travel block by block: every read reply lies. The file fails at its
// read, the run ends with the status of a protocol error, and nothing of the file lands.
TEST_P(DvcpLiarRead, ProtocolErrorAtRead) {
    make_tree(root_, {Node::sized("src/big", 1024 * kKiB, 3)});
    start();
    const auto lie = [](const bytes& frame) {
        std::vector<field> fields = fields_of(frame);
        field* len = find(fields, SDF_LEN);
        field* data = find(fields, SDF_DATA);
        if (len == nullptr || data == nullptr || len->value.size() != 4) return frame;
        uint32_t stated = be32(len->value);
        GetParam().lie(&stated, &data->value);
        len->value = be32_bytes(stated);
        return frame_of(frame, fields);
    };
    rewrite(SD_REQ_READ, -1, lie);
    rewrite(SD_REQ_PREAD, -1, lie);
    const RunResult run =
        dvcp({"if=" + url("/src", std::string("pack=") + GetParam().pack), "of=" + (tmp_ / "dst")});
    EXPECT_GT(relay_->fired(), 0) << relay_->log();
    EXPECT_EXIT_STATUS(run, 7);
    EXPECT_TRUE(log_contains(run.err, "i_read [")) << run.describe();
    EXPECT_FALSE(log_contains(run.err, "i_open [")) << run.describe();
    EXPECT_FALSE(log_contains(run.err, "General failure")) << run.describe();
    EXPECT_FALSE(exists(tmp_ / "dst/big"));
    EXPECT_EQ(Report::parse(run.err).number("i_file_fail_count"), 1) << run.describe();
}

INSTANTIATE_TEST_SUITE_P(Replies, DvcpLiarRead, ::testing::ValuesIn(kLieCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- 4: a batch read answered one file short
// ------------------------------------------------------

// The data blocks of a batch answer, each whole.
std::vector<bytes> blocks_of(const bytes& data) {
    std::vector<bytes> out;
    size_t off = 0;
    while (off < data.size()) {
        bytes rest(data.begin() + long(off), data.end());
        size_t used = 0;
        mfile_data_result r{};
        if (libmfile_read_get_data_len_err(rest.data(), rest.size(), &used, &r) != 0) break;
        free(r.data);
        out.emplace_back(data.begin() + long(off), data.begin() + long(off + used));
        off += used;
    }
    if (off < data.size()) out.emplace_back(data.begin() + long(off), data.end());
    return out;
}

TEST_F(DvcpLiar, BatchReadAnsweredOneShortFailsTheUnanswered) {
    std::vector<Node> nodes;
    const std::vector<std::string> names = {"a", "b", "c"};
    for (const auto& n : names) nodes.push_back(Node::file("src/" + n, "content of " + n));
    make_tree(root_, nodes);
    start();
    // The first answer that holds any file loses its last one; the server answers nothing more.
    auto dropped = std::make_shared<std::atomic<bool>>(false);
    rewrite(SD_REQ_IOCTL, DVSD_IOCTL_MFILE_LIST_RET, [dropped](const bytes& frame) {
        if (dropped->load()) return frame;
        std::vector<field> fields = fields_of(frame);
        field* data = find(fields, SDF_DATA);
        if (data == nullptr) return frame;
        std::vector<bytes> blocks = blocks_of(data->value);
        if (blocks.empty()) return frame;
        dropped->store(true);
        blocks.pop_back();
        data->value.clear();
        for (const bytes& b : blocks) data->value.insert(data->value.end(), b.begin(), b.end());
        return frame_of(frame, fields);
    });
    const std::string changes = tmp_ / "changes.txt";
    const RunResult run = dvcp({"if=" + url("/src", "pack=none&read_timeout=3"),
                                "of=" + (tmp_ / "dst"), "changes=" + changes});
    ASSERT_TRUE(dropped->load()) << relay_->log();
    EXPECT_EXIT_STATUS(run, 7);
    std::set<std::string> missing;
    for (const auto& n : names) {
        if (!exists(tmp_ / "dst" + "/" + n)) missing.insert("! " + (tmp_ / "dst") + "/" + n);
    }
    EXPECT_FALSE(missing.empty());
    std::set<std::string> failed_lines;
    std::istringstream lines(read_file(changes));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("! ", 0) == 0) failed_lines.insert(line);
    }
    EXPECT_EQ(failed_lines, missing) << read_file(changes);
    EXPECT_EQ(Report::parse(run.err).number("i_file_fail_count"), int64_t(missing.size()))
        << run.describe();
}

// ---- a listing the server refuses
// ----------------------------------------------------------------

// The server refuses the listing of one directory (an unknown control in its place) while the
// listings behind it are already asked for: that directory fails and the job says so; every
// other directory gets its own listing, none another's.
TEST_F(DvcpLiar, RefusedListingFailsOnlyThatDirectory) {
    constexpr int kDirs = 8;
    const auto file_of = [](int i) { return "d" + std::to_string(i) + "/f" + std::to_string(i); };
    const auto sub_of = [](int i) {
        return "d" + std::to_string(i) + "/sub/g" + std::to_string(i);
    };
    std::vector<Node> nodes;
    for (int i = 0; i < kDirs; ++i) {
        nodes.push_back(Node::file("src/" + file_of(i), file_of(i)));
        nodes.push_back(Node::file("src/" + sub_of(i), sub_of(i)));
    }
    make_tree(root_, nodes);
    start();
    RelayRule rule;
    rule.dir = RelayDir::up;
    rule.code = SD_REQ_IOCTL;
    rule.cmd = DVSD_IOCTL_RDIR_ENUM;
    rule.action = RelayAction::rewrite;
    rule.times = 0;
    auto seen = std::make_shared<std::atomic<int>>(0);
    rule.rewrite = [seen](const bytes& frame) {
        // The third listing asked for after the lister's open.
        if (++*seen != 3) return frame;
        std::vector<field> fields = fields_of(frame);
        if (field* cmd = find(fields, SDF_CMD)) cmd->value = be32_bytes(10199);
        return frame_of(frame, fields);
    };
    relay_->add(rule);
    const std::string dst = tmp_ / "dst";
    const RunResult run = dvcp({"if=" + url("/src", "pack=none"), "of=" + dst});
    EXPECT_GE(*seen, 3) << relay_->log();
    EXPECT_TRUE(run.exited && run.exit_code != 0) << run.describe();
    EXPECT_TRUE(log_contains(run.err, "listing not started")) << run.describe();
    EXPECT_EQ(Report::parse(run.err).number("i_dir_fail_count"), 1) << run.describe();
    int refused = 0;
    for (int i = 0; i < kDirs; ++i) {
        if (!exists(dst + "/" + file_of(i))) {
            // Its subdirectory was never seen either.
            ++refused;
            EXPECT_FALSE(exists(dst + "/" + sub_of(i))) << sub_of(i);
            continue;
        }
        EXPECT_EQ(read_file(dst + "/" + file_of(i)), file_of(i));
        ASSERT_TRUE(exists(dst + "/" + sub_of(i))) << sub_of(i) << "\n" << run.describe();
        EXPECT_EQ(read_file(dst + "/" + sub_of(i)), sub_of(i));
    }
    EXPECT_EQ(refused, 1) << run.describe();
}

// A stop while listings and their reads are in flight (the relay holds one answer back) ends the
// run as a stop: the lister is abandoned, not waited for.
TEST_F(DvcpLiar, StopWithListingsInFlightEndsAsStop) {
    std::vector<Node> nodes;
    for (int i = 0; i < 40; ++i)
        nodes.push_back(Node::file("src/d" + std::to_string(i) + "/f", "x"));
    make_tree(root_, nodes);
    start();
    auto answers = std::make_shared<std::atomic<int>>(0);
    auto release = std::make_shared<std::atomic<bool>>(false);
    RelayRule rule;
    rule.dir = RelayDir::down;
    rule.code = SD_REQ_IOCTL;
    rule.cmd = DVSD_IOCTL_RDIR_READ;
    rule.action = RelayAction::rewrite;
    rule.times = 0;
    rule.rewrite = [answers, release](const bytes& frame) {
        // The root's two answers pass; a later one is held until the run is over.
        if (++*answers == 4) {
            while (!release->load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return frame;
    };
    relay_->add(rule);
    std::atomic<bool> sent{false};
    RunOptions options;
    options.timeout = std::chrono::seconds(60);
    options.on_poll = [&](pid_t pid, const std::string&) {
        if (answers->load() >= 4 && !sent.exchange(true)) kill(pid, SIGINT);
    };
    const RunResult run =
        dvcp({"if=" + url("/src", "read_timeout=120"), "of=" + (tmp_ / "dst")}, options);
    release->store(true);
    EXPECT_TRUE(sent.load()) << relay_->log();
    EXPECT_FALSE(run.timed_out) << run.describe();
    EXPECT_EXIT_STATUS(run, 6);
}

// ---- 2: a listing that never ends
// ----------------------------------------------------------------

// The listing of a directory named "endless" never ends: its answers hold new file lines (made
// from the first real line seen) and never the end marker. Listings run in the order they were
// asked for (the lister's open asks for the first), each ending with two end markers, so the
// answers that belong to it are told by counting those. A new lister (an open) starts the count
// again.
class endless_listing {
  public:
    bytes request(const bytes& frame, bool open) {
        std::vector<field> fields = fields_of(frame);
        field* data = find(fields, SDF_DATA);
        std::string path =
            data != nullptr ? std::string(data->value.begin(), data->value.end()) : std::string();
        if (open) path = path.substr(0, path.find('\t'));
        while (!path.empty() && path.back() == '\0') path.pop_back();
        std::lock_guard<std::mutex> lock(mutex_);
        if (open) {
            ++opens_;
            asked_.clear();
            ends_ = 0;
        }
        asked_.push_back(path);
        if (endless_at_ >= 0 && opens_ == endless_open_) ++behind_;
        return frame;
    }
    bytes answer(const bytes& frame) {
        std::vector<field> fields = fields_of(frame);
        field* data = find(fields, SDF_DATA);
        if (data == nullptr || data->value.empty()) return frame;
        std::lock_guard<std::mutex> lock(mutex_);
        if (tail_.empty() && data->value[0] == 'F') {
            const std::string text(data->value.begin() + 1, data->value.end());
            const size_t tab = text.find('\t');
            const size_t nl = text.find('\n');
            if (tab != std::string::npos && nl != std::string::npos && tab < nl) {
                tail_ = text.substr(tab, nl + 1 - tab);
            }
        }
        const size_t now = ends_ / 2;
        const bool endless = now < asked_.size() && asked_[now].ends_with("/endless");
        if (!endless || tail_.empty()) {
            ends_ += static_cast<size_t>(std::count(data->value.begin(), data->value.end(), '\r'));
            return frame;
        }
        if (endless_at_ < 0) {
            endless_at_ = static_cast<int>(now);
            endless_open_ = opens_;
            behind_ = static_cast<int>(asked_.size() - now - 1);
            if (on_endless) on_endless();
        }
        std::string made = "F";
        while (made.size() < 16 * kKiB) made += "entry" + std::to_string(++made_) + tail_;
        data->value.assign(made.begin(), made.end());
        ++answers_;
        return frame_of(frame, fields);
    }
    int answers() const { return answers_.load(); }
    int opens() {
        std::lock_guard<std::mutex> lock(mutex_);
        return opens_;
    }
    // Listings asked for on the endless one's lister after it.
    int behind() {
        std::lock_guard<std::mutex> lock(mutex_);
        return behind_;
    }

    std::function<void()> on_endless;  // once, when the endless answers begin; set before use

  private:
    std::mutex mutex_;
    std::vector<std::string> asked_;  // listings of the current lister, in order
    size_t ends_ = 0;                 // end markers answered on it
    int opens_ = 0;
    int endless_at_ = -1;
    int endless_open_ = 0;
    int behind_ = 0;
    std::string tail_;  // a real line from its tab on
    uint64_t made_ = 0;
    std::atomic<int> answers_{0};
};

// The liar of the run at hand, for relay rules that outlive runs.
class liar_slot {
  public:
    void set(std::shared_ptr<endless_listing> liar) {
        std::lock_guard<std::mutex> lock(mutex_);
        liar_ = std::move(liar);
    }
    std::shared_ptr<endless_listing> get() {
        std::lock_guard<std::mutex> lock(mutex_);
        return liar_;
    }

  private:
    std::mutex mutex_;
    std::shared_ptr<endless_listing> liar_;
};

// Listing requests go by the liar (it learns their order), listing answers through it.
void lie_endless(Relay& relay, const std::shared_ptr<liar_slot>& slot) {
    for (const int cmd : {DVSD_IOCTL_RDIR_OPEN, DVSD_IOCTL_RDIR_ENUM, DVSD_IOCTL_RDIR_READ}) {
        RelayRule rule;
        rule.dir = cmd == DVSD_IOCTL_RDIR_READ ? RelayDir::down : RelayDir::up;
        rule.code = SD_REQ_IOCTL;
        rule.cmd = cmd;
        rule.action = RelayAction::rewrite;
        rule.rewrite = [slot, cmd](const bytes& frame) {
            std::shared_ptr<endless_listing> liar = slot->get();
            if (cmd == DVSD_IOCTL_RDIR_READ) return liar->answer(frame);
            return liar->request(frame, cmd == DVSD_IOCTL_RDIR_OPEN);
        };
        rule.times = 0;
        relay.add(rule);
    }
}

// Directories before and after the endless one in walk order (siblings, and the levels below
// them); orphans at the destination in each.
std::vector<Node> tree_around_endless(const std::string& big) {
    return {Node::file("src/keep", "kept"),
            Node::file("src/a/one", "a1"),
            Node::file("src/a/sub/two", "a2"),
            Node::file("src/b/three", "b3"),
            Node::file("src/" + big + "/real", "real"),
            Node::file("src/c/four", "c4"),
            Node::file("src/c/sub/five", "c5"),
            Node::file("src/d/deep/deeper/six", "d6"),
            Node::file("src/e/seven", "e7")};
}
const char* const kArrived[] = {"keep",   "a/one",      "a/sub/two",         "b/three",
                                "c/four", "c/sub/five", "d/deep/deeper/six", "e/seven"};
const char* const kOrphans[] = {"gone", "a/gone", "c/sub/gone", "d/deep/gone"};

void expect_whole_but(const std::string& dst, const std::string& big, bool sync,
                      const std::string& why) {
    for (const char* path : kArrived) {
        EXPECT_TRUE(exists(dst + "/" + path)) << path << "\n" << why;
    }
    for (const char* path : kOrphans) {
        EXPECT_EQ(exists(dst + "/" + path), !sync) << path << "\n" << why;
    }
    EXPECT_TRUE(exists(dst + "/" + big + "/old")) << why;
}

void make_dst_with_orphans(const std::string& dst, const std::string& big) {
    std::vector<Node> nodes{Node::file(big + "/old", "only at the destination")};
    for (const char* path : kOrphans) nodes.push_back(Node::file(path, "orphan"));
    make_tree(dst, nodes);
}

// The endless directory fails; the listers are opened afresh and every other directory, those
// listed before it and those whose listings were queued behind it, is handled as usual.
TEST_F(DvcpLiar, EndlessListingFailsOnlyThatDirectory) {
    make_tree(root_, tree_around_endless("endless"));
    start();
    auto slot = std::make_shared<liar_slot>();
    lie_endless(*relay_, slot);
    for (const bool sync : {true, false}) {
        SCOPED_TRACE(sync ? "sync" : "copy");
        const std::string dst = tmp_ / (sync ? "dst_sync" : "dst_copy");
        make_dst_with_orphans(dst, "endless");
        auto liar = std::make_shared<endless_listing>();
        slot->set(liar);
        RunOptions options;
        options.timeout = std::chrono::seconds(120);
        const RunResult run =
            dvcp({sync ? "mode=sync" : "mode=cp", "if=" + url("/src", "pack=none"), "of=" + dst,
                  "max_dir_entries=1000"},
                 options);
        EXPECT_GT(liar->answers(), 0) << relay_->log();
        EXPECT_GT(liar->behind(), 0) << "no listing was queued behind the endless one";
        EXPECT_GE(liar->opens(), 2);
        EXPECT_FALSE(run.timed_out) << run.describe();
        EXPECT_EXIT_STATUS(run, 8);
        EXPECT_TRUE(log_contains(run.err, "[/src/endless] listing over max_dir_entries=1000"))
            << run.describe();
        EXPECT_EQ(Report::parse(run.err).number("i_dir_fail_count"), 1) << run.describe();
        expect_whole_but(dst, "endless", sync, run.describe());
        EXPECT_FALSE(exists(dst + "/endless/real"));
    }
}

// No fresh lister can be had (the server takes no new connection once the endless answers
// begin): the directories not listed count as failed, none is silently dropped, and nothing is
// deleted in the endless one.
TEST_F(DvcpLiar, EndlessListingWithoutAFreshListerFailsTheRest) {
    make_tree(root_, tree_around_endless("endless"));
    const std::string dst = tmp_ / "dst";
    make_dst_with_orphans(dst, "endless");
    start();
    auto slot = std::make_shared<liar_slot>();
    lie_endless(*relay_, slot);
    auto liar = std::make_shared<endless_listing>();
    Relay* relay = relay_.get();
    liar->on_endless = [relay] { relay->refuse_next(1000); };
    slot->set(liar);
    RunOptions options;
    options.timeout = std::chrono::seconds(120);
    const RunResult run =
        dvcp({"mode=sync", "if=" + url("/src", "pack=none"), "of=" + dst, "max_dir_entries=1000"},
             options);
    EXPECT_GT(liar->answers(), 0) << relay_->log();
    EXPECT_FALSE(run.timed_out) << run.describe();
    EXPECT_TRUE(run.exited && run.exit_code != 0) << run.describe();
    EXPECT_TRUE(log_contains(run.err, "no fresh lister")) << run.describe();
    // The endless directory and each one queued behind it.
    EXPECT_EQ(Report::parse(run.err).number("i_dir_fail_count"), 1 + liar->behind())
        << run.describe();
    EXPECT_TRUE(exists(dst + "/endless/old"));
}

// An honest served directory above a small cap, on either side, fails alone as well.
TEST_F(DvcpLiar, ServedDirectoryAboveTheCapFailsAlone) {
    std::vector<Node> many;
    for (int i = 0; i < 50; ++i) many.push_back(Node::file("big/f" + std::to_string(i), "x"));
    // The served source (its big directory full) and a local source with the served destination
    // (full there instead).
    std::vector<Node> served = tree_around_endless("big");
    for (const Node& n : many) served.push_back(Node::file("src/" + n.path, n.content));
    make_tree(root_, served);
    const std::string local_src = tmp_ / "local";
    make_tree(local_src, tree_around_endless("big"));
    make_dst_with_orphans(root_ + "/dst", "big");
    make_tree(root_ + "/dst", many);
    start();
    for (const bool at_dst : {false, true}) {
        SCOPED_TRACE(at_dst ? "destination" : "source");
        const std::string local_dst = tmp_ / "dst";
        if (!at_dst) make_dst_with_orphans(local_dst, "big");
        const std::string src = at_dst ? local_src + "/src" : url("/src", "pack=none");
        const std::string dst = at_dst ? url("/dst", "pack=none") : local_dst;
        RunOptions options;
        options.timeout = std::chrono::seconds(120);
        const RunResult run =
            dvcp({"mode=sync", "if=" + src, "of=" + dst, "max_dir_entries=20"}, options);
        EXPECT_EXIT_STATUS(run, 8);
        EXPECT_TRUE(log_contains(run.err, at_dst ? "[/dst/big] listing over max_dir_entries=20"
                                                 : "[/src/big] listing over max_dir_entries=20"))
            << run.describe();
        const Report report = Report::parse(run.err);
        EXPECT_EQ(report.number(at_dst ? "o_dir_fail_count" : "i_dir_fail_count"), 1)
            << run.describe();
        const std::string landed = at_dst ? root_ + "/dst" : local_dst;
        expect_whole_but(landed, "big", true, run.describe());
        EXPECT_EQ(exists(landed + "/big/f49"), at_dst) << run.describe();
        EXPECT_FALSE(exists(landed + "/big/real")) << run.describe();
    }
}

// A local directory above a small cap, on either side, fails the same way and alone.
TEST(DvcpLocalListingCap, DirectoryAboveTheCapFailsAlone) {
    if (kDvcpBinary == nullptr) GTEST_SKIP() << "dvcp is not part of this build";
    for (const bool at_dst : {false, true}) {
        SCOPED_TRACE(at_dst ? "destination" : "source");
        TempDir tmp("dvcp-cap");
        std::vector<Node> src = tree_around_endless("big");
        const std::string dst = tmp / "dst";
        make_dst_with_orphans(dst, "big");
        std::vector<Node> many;
        for (int i = 0; i < 50; ++i) many.push_back(Node::file("big/f" + std::to_string(i), "x"));
        if (at_dst) {
            make_tree(dst, many);
        } else {
            for (Node& n : many) n.path = "src/" + n.path;
            src.insert(src.end(), many.begin(), many.end());
        }
        make_tree(tmp / "root", src);
        const RunResult run = run_program({kDvcpBinary, "mode=sync", "if=" + (tmp / "root/src"),
                                           "of=" + dst, "max_dir_entries=20"});
        EXPECT_EXIT_STATUS(run, 8);
        const std::string shown = at_dst ? dst + "/big" : tmp / "root/src/big";
        EXPECT_TRUE(log_contains(run.err, "[" + shown + "] listing over max_dir_entries=20"))
            << run.describe();
        const Report report = Report::parse(run.err);
        EXPECT_EQ(report.number(at_dst ? "o_dir_fail_count" : "i_dir_fail_count"), 1)
            << run.describe();
        EXPECT_EQ(report.number(at_dst ? "i_dir_fail_count" : "o_dir_fail_count"), 0)
            << run.describe();
        expect_whole_but(dst, "big", true, run.describe());
        EXPECT_EQ(exists(dst + "/big/f49"), at_dst) << run.describe();
        EXPECT_FALSE(exists(dst + "/big/real")) << run.describe();
    }
}

// Honest directories above the default get through with the caps raised.
TEST_F(DvcpLiar, ListingWithinRaisedCapsIsCopied) {
    std::vector<Node> nodes;
    for (int i = 0; i < 300; ++i) nodes.push_back(Node::file("src/d/f" + std::to_string(i), "x"));
    make_tree(root_, nodes);
    start();
    const std::string dst = tmp_ / "dst";
    const RunResult small =
        dvcp({"if=" + url("/src", "pack=none"), "of=" + dst, "max_dir_entries=100"});
    EXPECT_EXIT_STATUS(small, 8);
    const RunResult raised = dvcp(
        {"if=" + url("/src", "pack=none"), "of=" + dst, "max_dir_entries=300", "max_dir_bytes=1M"});
    EXPECT_EXIT_STATUS(raised, 0);
    EXPECT_TRUE(exists(dst + "/d/f299"));
}

}  // namespace
}  // namespace systest
