// Repair against a scripted server: the server's count of executed requests against the client's
// count of sent ones decides between a replayed response and a resent request; anything else,
// a busy context or a login that fails on the new connection ends the repair for good.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "lib/libdvsd/cli_fake_server.h"
#include "libdvsd/cli_internal.h"
#include "libdvsd/dvsd_cli.h"

namespace {

constexpr char kAddress[] = "9876543210";
constexpr char kLostInfo[] = "ver=[1.7.8]\nlost=[yes]\n";

fake::reply text_out(const std::string& text) {
    std::string data = text;
    data.push_back('\0');
    return fake::reply().bin("data", data);
}

// What the scripted server says during a repair.
struct RepairScript {
    const char* name;
    int64_t index_offset;  // server's last index relative to the client's send count
    const char* run_status;
    bool repaired;
    int32_t attach_code;  // 104 or 105 expected; 0: none
};
void PrintTo(const RepairScript& s, std::ostream* os) {
    *os << s.name;
}

class CliRepair : public ::testing::TestWithParam<RepairScript> {
  protected:
    void SetUp() override {
        dvsd_cli_init();
        srv_.on_ctl(102, [](const fake::request&) { return text_out(kAddress); });
        // The second information request of the first connection breaks it.
        srv_.on(SD_REQ_INFO, [this](const fake::request& r) {
            if (r.connection == 1 && ++infos_ == 2) {
                fake::reply gone;
                gone.hang_up = true;
                return gone;
            }
            return fake::reply().str("info", r.connection == 1 ? fake::kDefaultInfo : kLostInfo);
        });
    }
    void TearDown() override { dvsd_cli_drop(ctx_); }

    dvsd_cli_ctx* connect(const std::string& query = "") {
        ctx_ = dvsd_cli_connect(srv_.url(query).c_str(), &err_);
        return ctx_;
    }

    fake::server srv_;
    err_info err_{};
    dvsd_cli_ctx* ctx_ = nullptr;
    std::atomic<int> infos_{0};
};

TEST_P(CliRepair, CountsDecideBetweenReplayAndResend) {
    const RepairScript& s = GetParam();
    ASSERT_NE(connect(), nullptr) << err_info_str(&err_);
    ASSERT_EQ(dvsd_cli_set_auto_reconnect(ctx_), 0) << err_info_str(&err_);
    const uint64_t sent_before = ctx_->frame.send_count;
    // The server's count while the broken request is the client's next.
    const uint64_t sent = sent_before + 1;
    srv_.on_ctl(106, [&s](const fake::request&) { return text_out(s.run_status); });
    srv_.on_ctl(103, [&s, sent](const fake::request& r) {
        if (r.text() == "0") return text_out("41");
        return text_out(std::to_string(static_cast<int64_t>(sent) + s.index_offset));
    });
    srv_.on_ctl(105, [](const fake::request&) { return fake::reply().str("info", kLostInfo); });

    char info[512] = {};
    const int rc = dvsd_cli_info(ctx_, info, sizeof info);
    const auto stops = srv_.controls(107);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].text(), kAddress);
    EXPECT_EQ(stops[0].connection, 2);
    EXPECT_EQ(srv_.controls(104).size(), s.attach_code == 104 ? 1u : 0u);
    EXPECT_EQ(srv_.controls(105).size(), s.attach_code == 105 ? 1u : 0u);
    // A request is resent only on the 104 path: then the server sees it a second time.
    const size_t second_infos = srv_.requests(SD_REQ_INFO).size();
    EXPECT_EQ(second_infos, s.attach_code == 104 ? 3u : 2u);
    if (!s.repaired) {
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(dvsd_cli_get_error(ctx_), VERR_TIMEOUT);
        // The connection refuses all further traffic.
        const size_t seen = srv_.requests().size();
        EXPECT_EQ(dvsd_cli_info(ctx_, info, sizeof info), -1);
        EXPECT_EQ(srv_.requests().size(), seen);
        return;
    }
    ASSERT_EQ(rc, 0) << dvsd_cli_get_error_str(ctx_);
    EXPECT_STREQ(info, kLostInfo);
    // The count starts again from the server's: its answer to 103 "0", plus that request.
    EXPECT_EQ(ctx_->frame.send_count, 42u);
}

const RepairScript kScripts[] = {
    {"ResponseLostReplayed", 0, "0", true, 105},    {"RequestLostResent", -1, "0", true, 104},
    {"CountsTooFarApartFail", -2, "0", false, 0},   {"ServerAheadFails", 1, "0", false, 0},
    {"ContextStillRunningFails", 0, "1", false, 0},
};
INSTANTIATE_TEST_SUITE_P(Scripts, CliRepair, ::testing::ValuesIn(kScripts),
                         [](const auto& info) { return std::string(info.param.name); });

// The reconnect is retried after a time-out (here a login that gets no answer), at most three
// connects in all; a refused login ends the repair at once.
class CliRepairReconnect : public CliRepair {};

TEST_F(CliRepairReconnect, TwoTimedOutLoginsThenSuccess) {
    srv_.on(SD_REQ_LOGIN, [](const fake::request& r) {
        fake::reply quiet;
        quiet.silent = r.connection == 2 || r.connection == 3;
        return quiet.i32("os_type", 2);
    });
    ASSERT_NE(connect("read_timeout=1"), nullptr) << err_info_str(&err_);
    ASSERT_EQ(dvsd_cli_set_auto_reconnect(ctx_), 0);
    const std::string sent = std::to_string(ctx_->frame.send_count + 1);
    srv_.on_ctl(103,
                [sent](const fake::request& r) { return text_out(r.text() == "0" ? "41" : sent); });
    srv_.on_ctl(105, [](const fake::request&) { return fake::reply().str("info", kLostInfo); });
    char info[512] = {};
    ASSERT_EQ(dvsd_cli_info(ctx_, info, sizeof info), 0) << dvsd_cli_get_error_str(ctx_);
    EXPECT_STREQ(info, kLostInfo);
    EXPECT_EQ(srv_.connections(), 4);
}

TEST_F(CliRepairReconnect, RefusedLoginEndsTheRepair) {
    srv_.on(SD_REQ_LOGIN, [](const fake::request& r) {
        if (r.connection > 1)
            return fake::reply::error(VERR_ACCESS_DENIED, "Wrong user or password");
        return fake::reply().i32("os_type", 2);
    });
    ASSERT_NE(connect(), nullptr) << err_info_str(&err_);
    ASSERT_EQ(dvsd_cli_set_auto_reconnect(ctx_), 0);
    char info[512] = {};
    EXPECT_EQ(dvsd_cli_info(ctx_, info, sizeof info), -1);
    EXPECT_EQ(srv_.connections(), 2);
    EXPECT_TRUE(srv_.controls(107).empty());
}

// A stop asked for while the repair waits ends it as a stop, without a further connect.
TEST_F(CliRepairReconnect, StopDuringRepairIsAStop) {
    srv_.on_ctl(107, [this](const fake::request&) {
        dvsd_cli_stop(ctx_);
        return fake::reply();
    });
    ASSERT_NE(connect(), nullptr) << err_info_str(&err_);
    ASSERT_EQ(dvsd_cli_set_auto_reconnect(ctx_), 0);
    char info[512] = {};
    EXPECT_EQ(dvsd_cli_info(ctx_, info, sizeof info), -1);
    EXPECT_EQ(dvsd_cli_get_error(ctx_), VERR_NET_USER_STOP);
    EXPECT_TRUE(srv_.controls(106).empty());
    EXPECT_EQ(srv_.connections(), 2);
}

// Switching repair on asks the server to keep the context and for its address; a server that
// refuses leaves repair off, so a broken request simply fails.
TEST_F(CliRepairReconnect, RefusedContextLeavesRepairOff) {
    srv_.on_ctl(102, [](const fake::request&) { return fake::reply::error(-11, "too many"); });
    ASSERT_NE(connect(), nullptr) << err_info_str(&err_);
    EXPECT_EQ(dvsd_cli_set_auto_reconnect(ctx_), -1);
    EXPECT_EQ(srv_.controls(101).size(), 1u);
    EXPECT_EQ(srv_.controls(101)[0].text(), "0");
    char info[512] = {};
    EXPECT_EQ(dvsd_cli_info(ctx_, info, sizeof info), -1);
    EXPECT_EQ(srv_.connections(), 1);
}

}  // namespace
