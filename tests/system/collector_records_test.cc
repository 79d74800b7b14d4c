// bsvlog= on the real programs: a UDP socket on loopback receives the records a collector gets
// from a dvcp run (its warnings and errors, run report and summary) and from a dvsd (its start,
// refusals, locks, the line of each connection), decoded by the documented layout.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lib/liblogsink/bsv_reader.h"
#include "lib/liblogsink/loopback.h"
#include "system/support/dvcp_test.h"
#include "system/support/dvsd_process.h"
#include "system/support/process.h"
#include "system/support/tree.h"

namespace fs = std::filesystem;

namespace systest {
namespace {

constexpr int kLevelWarn = 4;
constexpr int kLevelErr = 3;
constexpr uint16_t kAppDvcp = 1;
constexpr uint16_t kAppDvsd = 2;

// CRC-8, polynomial 0x07, initial 0, no reflection: written here from the documented rule.
uint8_t crc8(const std::string& bytes, size_t from, size_t to) {
    uint8_t crc = 0;
    for (size_t i = from; i < to; ++i) {
        crc ^= static_cast<uint8_t>(bytes[i]);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
        }
    }
    return crc;
}

struct received final {
    bsvtest::net_packet packet;
    bsvtest::log_record record;
    const std::string& tag() const { return record.strings.at(0); }
    const std::string& message() const { return record.strings.at(5); }
};

// Every datagram that arrives until none has for `quiet_ms`, each checked and decoded.
std::vector<received> drain(loopback::udp_receiver& receiver, int quiet_ms = 1500) {
    std::vector<received> all;
    while (auto datagram = receiver.receive(quiet_ms)) {
        const std::string& bytes = *datagram;
        auto packet = bsvtest::parse_packet(bytes);
        if (!packet) {
            ADD_FAILURE() << "not a bsv packet: " << printable(bytes.substr(0, 64));
            continue;
        }
        EXPECT_EQ(2, packet->flags);  // a CRC, not scrambled, little-endian, version 0
        EXPECT_EQ(bytes.size(), packet->length);
        EXPECT_EQ(5, packet->type);
        EXPECT_EQ(1, packet->type_id);
        EXPECT_EQ(crc8(bytes, 3, bytes.size() - 1), packet->crc);
        auto record = bsvtest::parse_record(packet->record);
        if (!record || record->strings.size() != 6) {
            ADD_FAILURE() << "record without its six strings";
            continue;
        }
        all.push_back({*packet, *record});
    }
    return all;
}

std::string listing(const std::vector<received>& records) {
    std::string text;
    for (const received& r : records) {
        text += std::to_string(r.record.level) + " " + r.tag() + " " + r.message();
        if (text.back() != '\n') text += '\n';
    }
    return text;
}

// The first record whose tag is `tag` and whose message holds `text`, or null.
const received* find(const std::vector<received>& records, const std::string& tag,
                     const std::string& text) {
    for (const received& r : records) {
        if (r.tag() == tag && r.message().find(text) != std::string::npos) return &r;
    }
    return nullptr;
}

class CollectorRecords : public DvcpProcessTest {
  protected:
    void SetUp() override {
        DvcpProcessTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(collector_.ok());
        bsvlog_ = "bsvlog=udp://127.0.0.1:" + std::to_string(collector_.port()) + "\n";
    }

    // A copy of dvcp with its dvcp.ini beside it (the log is configured there).
    std::string install_dvcp(const std::string& ini) {
        const std::string exe = tmp_ / "bin/dvcp";
        fs::create_directories(tmp_ / "bin");
        fs::copy_file(kDvcpBinary, exe, fs::copy_options::overwrite_existing);
        fs::permissions(exe, fs::perms::owner_all);
        write_file(tmp_ / "bin/dvcp.ini", ini);
        return exe;
    }

    TempDir tmp_{"collector"};
    loopback::udp_receiver collector_;
    std::string bsvlog_;
};

// Only what a collector wants arrives: the error of a source name no listing line can carry and
// the warning that no file is deleted because of it, the report and summary at the end, and none
// of the walk's ordinary lines.
TEST_F(CollectorRecords, DvcpSendsItsWarningsErrorsReportAndSummary) {
    make_tree(tmp_ / "src", {Node::file("a\nb", "a"), Node::file("c", "c")});
    make_tree(tmp_ / "dst", {Node::file("orphan", "o")});
    const std::string exe = install_dvcp("[log]\nlevel=dbg\n" + bsvlog_);
    pid_t pid = 0;
    RunOptions options;
    options.on_poll = [&pid](pid_t child, const std::string&) { pid = child; };
    const RunResult run =
        run_program({exe, "mode=sync", "if=" + tmp_ / "src", "of=" + tmp_ / "dst"}, options);
    ASSERT_TRUE(run.exited) << run.describe();
    const auto records = drain(collector_);
    ASSERT_FALSE(records.empty()) << "the collector received nothing\n" << run.describe();

    const received* error = find(records, "rdir", "entry name holds a tab or line break");
    ASSERT_NE(nullptr, error) << listing(records);
    EXPECT_EQ(kLevelErr, error->record.level);
    const received* warning = find(records, "cdir", "source listing incomplete");
    ASSERT_NE(nullptr, warning) << listing(records);
    EXPECT_EQ(kLevelWarn, warning->record.level);
    const received* summary = find(records, "cdir", "1 files copied, 0 deleted, 0 failed");
    ASSERT_NE(nullptr, summary) << listing(records);
    EXPECT_NE(nullptr, find(records, "cdir", "file_count=")) << listing(records);
    for (const received& r : records) {
        EXPECT_EQ(kAppDvcp, r.packet.app_id);
        if (pid != 0) {
            EXPECT_EQ(static_cast<uint32_t>(pid), r.record.pid) << listing(records);
        }
        // Nothing of the walk's chatter: every record is a warning or worse, or from the end.
        if (r.record.level > kLevelWarn) {
            EXPECT_EQ(r.record.tid, summary->record.tid) << r.message();
        }
    }
}

// A dvsd's start, a refused login, a lock and the line of each connection reach the collector;
// the ordinary info lines of its start (its root, its caps) do not.
TEST_F(CollectorRecords, DvsdSendsStartRefusalsLocksAndConnections) {
    if (!kHaveDvsd) GTEST_SKIP() << "dvsd is not part of this build";
    make_tree(tmp_ / "served", {Node::file("f", "f")});
    const std::string conf = tmp_ / "dvsd.ini";
    write_file(conf,
               "[dvsd]\nlogin_fail_count=1\n[user/far]\npasswd=pw\nhosts_allow=192.0.2.1\n"
               "[log]\nlevel=info\n" +
                   bsvlog_);
    DvsdProcess server({"root=" + tmp_ / "served", "listen=127.0.0.1", "port=0", "user=joe",
                        "passwd=secret", "conf=" + conf});
    const int port = port_of(server.first_line());
    ASSERT_GT(port, 0);
    const std::string base = "@127.0.0.1:" + std::to_string(port);

    RunResult run = dvcp({"if=dvp://joe:secret" + base + "/", "of=" + tmp_ / "dst"});
    EXPECT_EXIT_STATUS(run, 0);
    run = dvcp({"if=dvp://far:pw" + base + "/", "of=" + tmp_ / "dst2"});
    EXPECT_NE(0, run.exit_code);
    run = dvcp({"if=dvp://joe:wrong" + base + "/", "of=" + tmp_ / "dst3"});
    EXPECT_NE(0, run.exit_code);
    EXPECT_EQ(0, server.stop(SIGTERM));
    const auto records = drain(collector_);

    const received* start = find(records, "dvsd", "started: dvp://127.0.0.1:");
    ASSERT_NE(nullptr, start) << listing(records);
    EXPECT_EQ(kAppDvsd, start->packet.app_id);
    EXPECT_EQ(static_cast<uint32_t>(server.pid()), start->record.pid);
    EXPECT_NE(nullptr, find(records, "dvsd", "user=[joe] quit")) << listing(records);
    const received* refused = find(records, "dvsd", "user=[far] login refused");
    ASSERT_NE(nullptr, refused) << listing(records);
    EXPECT_EQ(kLevelWarn, refused->record.level);
    EXPECT_NE(nullptr, find(records, "pwd", "locked for 60 minutes after 1 failed logins"))
        << listing(records);
    EXPECT_NE(nullptr, find(records, "dvsd", "stopped")) << listing(records);
    EXPECT_EQ(nullptr, find(records, "dvsd", "descriptors=")) << listing(records);
}

}  // namespace
}  // namespace systest
