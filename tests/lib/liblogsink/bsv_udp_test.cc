#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "lib/liblog/stderr_capture.h"
#include "lib/liblogsink/bsv_reader.h"
#include "lib/liblogsink/loopback.h"
#include "lib/test_support/real_peer.h"
#include "liblog/log2.h"
#include "liblog/log2_sink.h"
#include "liblogsink/bsv.h"
#include "liblogsink/log_init.h"
#include "liblogsink/log_sinks.h"

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

std::string local_name() {
    char name[256] = "";
    gethostname(name, sizeof(name) - 1);
    std::string host = name;
    if (host.empty() || host == "(none)") host = "unknown";
    return host.substr(0, BSV_HOSTNAME_MAX);
}

// A datagram as a collector checks it: magic, length, CRC, then the fields.
struct checked_packet {
    bsvtest::net_packet packet;
    bsvtest::log_record record;
};

std::optional<checked_packet> check_datagram(std::string bytes) {
    std::vector<uint8_t> raw(bytes.begin(), bytes.end());
    EXPECT_EQ(BSV_TYPE_NET, bsv_parse_net_type(raw.data(), raw.size()));
    bytes.assign(raw.begin(), raw.end());  // unscrambled, if it was
    auto packet = bsvtest::parse_packet(bytes);
    if (!packet.has_value()) {
        ADD_FAILURE() << "not a packet";
        return std::nullopt;
    }
    EXPECT_EQ(bytes.size(), packet->length);
    EXPECT_LT(bytes.size() - 1, BSV_NET_LIMIT);
    const std::span<const uint8_t> crc_range(raw.data() + 3, raw.size() - 4);
    EXPECT_EQ(bsv_crc8(crc_range), packet->crc);
    auto record = bsvtest::parse_record(packet->record);
    if (!record.has_value()) {
        ADD_FAILURE() << "record strings without their NUL";
        return std::nullopt;
    }
    return checked_packet{*packet, *record};
}

class BsvUdp : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("DVDBGLOG");
        ASSERT_EQ(0, log_sinks_install());
        ASSERT_TRUE(receiver_.ok());
        ctx_ = log2_ctx_new();
        int off = 0;
        ASSERT_EQ(0, log2_ioctl(ctx_, 40, &off, -1));
    }
    void TearDown() override {
        if (ctx_ != nullptr) log2_exit(ctx_);
        log2_diag_enable(false);
    }

    int open_url(const std::string& url) {
        return log2_ioctl(ctx_, 23, const_cast<char*>(url.c_str()), -1);
    }
    std::string url(const char* scheme = "udp") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(receiver_.port());
    }
    void line(uint32_t level, const char* tag, const std::string& text) {
        log2_printf(ctx_, level, tag, "w.cc", 7, "fn", "%s", text.c_str());
    }
    std::optional<checked_packet> next() {
        auto datagram = receiver_.receive();
        if (!datagram.has_value()) {
            ADD_FAILURE() << "no datagram";
            return std::nullopt;
        }
        return check_datagram(*datagram);
    }

    loopback::udp_receiver receiver_;
    log2_ctx* ctx_ = nullptr;
};

TEST_F(BsvUdp, MarkedLineArrivesAsACheckedPacket) {
    ASSERT_EQ(0, open_url(url()));
    const time_t before = time(nullptr);
    line(LOG_INFO | LOG_NETREC, "cdir", "hello\n");

    auto got = next();
    ASSERT_TRUE(got.has_value());
    const bsvtest::net_packet& p = got->packet;
    EXPECT_EQ(BSV_FLAG_CRC, p.flags);
    EXPECT_EQ(BSV_TYPE_NET, p.type);
    EXPECT_EQ(BSV_TYPE_LOG, p.type_id);
    EXPECT_EQ(2, p.os_id);
    EXPECT_EQ(0x01000100u, p.ver_id);  // the program version 1.0.1.0
    EXPECT_EQ(BSV_APP_OTHER, p.app_id);
    EXPECT_EQ(local_name(), p.hostname);

    const bsvtest::log_record& r = got->record;
    EXPECT_GE(r.sec, static_cast<uint64_t>(before));
    EXPECT_LE(r.sec, static_cast<uint64_t>(time(nullptr)));
    EXPECT_LT(r.usec, 1000000u);
    EXPECT_EQ(static_cast<uint32_t>(getpid()), r.pid);
    EXPECT_EQ(static_cast<uint32_t>(os_thread_id()), r.tid);
    EXPECT_EQ(LOG_INFO, r.level);
    char thread[96];
    os_thread_name_get(thread, sizeof(thread));
    EXPECT_EQ((std::vector<std::string>{"cdir", thread, "w.cc", "7", "fn", "hello\n"}), r.strings);

    // One process run, one machine start: the same ids in every packet.
    line(LOG_WARN | LOG_NETREC, "cdir", "again\n");
    auto second = next();
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(p.sid, second->packet.sid);
    EXPECT_EQ(p.bid, second->packet.bid);
    EXPECT_EQ(LOG_WARN, second->record.level);
}

// Each case is followed by a marked line, which must be the next datagram when the case sent none.
// Warnings and errors are marked without asking; lines below them only when asked.
TEST_F(BsvUdp, OnlyMarkedLinesOfOtherTagsAreSent) {
    ASSERT_EQ(0, open_url(url()));
    struct Case {
        uint32_t level;
        const char* tag;
        bool sent;
    };
    const Case cases[] = {
        {LOG_INFO, "cdir", false},
        {LOG_NOTI, "cdir", false},
        {LOG_DBG, "cdir", false},
        {LOG_WARN, "cdir", true},
        {LOG_ERR, "cdir", true},
        {LOG_CRIT | LOG_NOEXIT, "cdir", true},
        {LOG_WARN, "net", false},
        {LOG_ERR, "bsv", false},
        {LOG_INFO | LOG_NETREC, "cdir", true},
        {LOG_INFO | LOG_RECONLY, "cdir", true},
        {LOG_INFO | LOG_NETREC | LOG_RECONLY, "cdir", true},
        {LOG_INFO | LOG_NETREC, "net", false},
        {LOG_INFO | LOG_NETREC, "bsv", false},
        {LOG_VERB | LOG_NETREC, "cdir", false},  // below the level threshold
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(index);
        const std::string text = "case " + std::to_string(index++) + "\n";
        line(c.level, c.tag, text);
        line(LOG_INFO | LOG_NETREC, "mark", "mark\n");
        auto got = next();
        ASSERT_TRUE(got.has_value());
        ASSERT_EQ(6u, got->record.strings.size());
        if (c.sent) {
            EXPECT_EQ(text, got->record.strings[5]);
            got = next();
            ASSERT_TRUE(got.has_value());
        }
        EXPECT_EQ("mark", got->record.strings[0]);
    }
}

// A collector scope marks every line of its own thread while it lasts, and of no other thread.
TEST_F(BsvUdp, CollectorScopeMarksItsThreadsLines) {
    ASSERT_EQ(0, open_url(url()));
    {
        log2_collector_scope outer;
        {
            log2_collector_scope inner;
            line(LOG_DBG, "cdir", "nested\n");
        }
        std::thread other([this] { line(LOG_INFO, "cdir", "other thread\n"); });
        other.join();
        line(LOG_INFO, "cdir", "report\n");
    }
    line(LOG_INFO, "cdir", "after\n");
    line(LOG_INFO | LOG_NETREC, "mark", "mark\n");
    for (const char* expected : {"nested\n", "report\n", "mark\n"}) {
        auto got = next();
        ASSERT_TRUE(got.has_value());
        ASSERT_EQ(6u, got->record.strings.size());
        EXPECT_EQ(expected, got->record.strings[5]);
    }
}

TEST_F(BsvUdp, RecordOnlyLineSkipsTheTextSinks) {
    ASSERT_EQ(0, open_url(url()));
    int on = 1;
    ASSERT_EQ(0, log2_ioctl(ctx_, 40, &on, -1));
    StderrCapture capture;
    line(LOG_WARN | LOG_RECONLY, "cdir", "machine only\n");
    line(LOG_WARN, "cdir", "for people\n");
    const std::string console = capture.text();
    EXPECT_THAT(console, Not(HasSubstr("machine only")));
    EXPECT_THAT(console, HasSubstr("for people"));
    auto got = next();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ("machine only\n", got->record.strings[5]);
}

// A record may take 1470 bytes, more than a datagram leaves it: its strings are cut to the packet
// instead of the line being lost.
TEST_F(BsvUdp, LongLineIsCutToFitItsPacket) {
    ASSERT_EQ(0, open_url(url()));
    const std::string text(5000, 'z');
    line(LOG_ERR | LOG_NETREC, "cdir", text);
    auto got = next();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(BSV_NET_LIMIT, got->packet.length);  // filled to the limit, CRC byte included
    ASSERT_EQ(6u, got->record.strings.size());
    const std::string& message = got->record.strings[5];
    EXPECT_GT(message.size(), 1000u);
    EXPECT_EQ(std::string(message.size(), 'z'), message);
}

TEST_F(BsvUdp, UdpsScramblesEveryPacket) {
    ASSERT_EQ(0, open_url(url("udps")));
    line(LOG_INFO | LOG_NETREC, "cdir", "secretive\n");
    auto datagram = receiver_.receive();
    ASSERT_TRUE(datagram.has_value());
    EXPECT_THAT(*datagram, StartsWith("bsv"));
    EXPECT_EQ(BSV_FLAG_CRC | BSV_FLAG_SCRAMBLED, (*datagram)[3]);
    EXPECT_THAT(*datagram, Not(HasSubstr("secretive")));
    EXPECT_THAT(*datagram, Not(HasSubstr(local_name())));
    auto got = check_datagram(*datagram);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ("secretive\n", got->record.strings[5]);
}

TEST_F(BsvUdp, FirstLineRightAfterOpeningIsNotLost) {
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(0, open_url(url()));
        line(LOG_INFO | LOG_NETREC, "cdir", "first " + std::to_string(round) + "\n");
        auto got = next();
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ("first " + std::to_string(round) + "\n", got->record.strings[5]);
    }
}

TEST_F(BsvUdp, BadUrlIsRefusedAndThePreviousCollectorKept) {
    ASSERT_EQ(0, open_url(url()));
    log2_diag_enable(true);
    for (const char* bad : {"nowhere", "udp://", "udp://127.0.0.1:70000", "udp://u:s3cret@:9"}) {
        SCOPED_TRACE(bad);
        StderrCapture capture;
        EXPECT_EQ(-1, open_url(bad));
        const std::string err = capture.text();
        EXPECT_THAT(err, HasSubstr("url_parser"));
        EXPECT_THAT(err, HasSubstr(" failed\n"));
        EXPECT_THAT(err, Not(HasSubstr("s3cret")));
    }
    line(LOG_INFO | LOG_NETREC, "cdir", "still here\n");
    auto got = next();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ("still here\n", got->record.strings[5]);
}

TEST_F(BsvUdp, SocketThatCannotOpenIsReportedAndLoggingGoesOn) {
    log2_diag_enable(true);
    StderrCapture capture;
    // Connecting a datagram socket to the broadcast address is refused without a packet sent.
    ASSERT_EQ(0, open_url("udp://255.255.255.255:9"));
    line(LOG_INFO | LOG_NETREC, "cdir", "nowhere to go\n");
    log2_exit(ctx_);  // waits for the opening thread
    ctx_ = nullptr;
    EXPECT_THAT(capture.text(), HasSubstr("os_udp_open 255.255.255.255:9 failed\n"));
}

TEST_F(BsvUdp, PortDefaultsTo514) {
    loopback::udp_receiver syslog_port(514);
    if (!syslog_port.ok()) DV_PEER_MISSING("127.0.0.1:514 is taken or not ours to bind");
    ASSERT_EQ(0, open_url("udp://127.0.0.1"));
    line(LOG_INFO | LOG_NETREC, "cdir", "to 514\n");
    auto datagram = syslog_port.receive();
    ASSERT_TRUE(datagram.has_value());
    auto got = check_datagram(*datagram);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ("to 514\n", got->record.strings[5]);
}

TEST_F(BsvUdp, BsvlogKeyOpensTheCollector) {
    const std::string text = "[log]\nbsvlog=" + url() + "\n";
    log2_ctx* configured = log2_init_str(text.c_str(), nullptr);
    ASSERT_NE(nullptr, configured);
    int off = 0;
    log2_ioctl(configured, 40, &off, -1);
    log2_printf(configured, LOG_NOTI | LOG_NETREC, "cdir", "w.cc", 9, "fn", "configured\n");
    auto got = next();
    log2_exit(configured == log2_global() ? nullptr : configured);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ("configured\n", got->record.strings[5]);
}

}  // namespace
