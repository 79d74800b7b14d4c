// Requests posted ahead of their answers on a connection that breaks: the real dvsd behind a relay
// that cuts the connection with a full window on the way, in either direction, plain and over TLS,
// and a relay that keeps cutting. Every answer must come back in order, and the server must have
// run every request exactly once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "lib/test_support/temp_dir.h"
#include "lib/test_support/tls_certs.h"
#include "libdvsd/dvsd_cli.h"
#include "system/support/dvsd_process.h"
#include "system/support/relay.h"
#include "system/support/tree.h"

namespace systest {
namespace {

int port_after(const std::string& line, const std::string& prefix) {
    if (line.rfind(prefix, 0) != 0) return -1;
    return std::stoi(line.substr(prefix.size()));
}

struct ctx_closer {
    void operator()(dvsd_cli_ctx* ctx) const { dvsd_cli_exit(ctx); }
};
using ctx_ptr = std::unique_ptr<dvsd_cli_ctx, ctx_closer>;

class DvsdPipeRepair : public testing::Test {
  protected:
    static void SetUpTestSuite() { dvsd_cli_init(); }
    static void TearDownTestSuite() { dvsd_cli_uninit(); }

    // dvsd with a plain listener (and a TLS one with `tls`), a relay in front of the one used.
    void start(bool tls) {
        if (!kHaveDvsd) {
            if (std::getenv("CI") != nullptr) FAIL() << "dvsd was not built";
            GTEST_SKIP() << "dvsd was not built";
        }
        std::vector<std::string> args = {"root=" + dir_.path(), "listen=127.0.0.1", "port=0",
                                         "user=joe", "passwd=secret"};
        if (tls) {
            ASSERT_TRUE(dvtest::tls_certs().server.ok()) << "openssl made no certificates";
            args.insert(args.end(), {"ssl_port=0", "ssl_cert=" + dvtest::tls_certs().server.cert,
                                     "ssl_key=" + dvtest::tls_certs().server.key});
        }
        server_ = std::make_unique<DvsdProcess>(args);
        int port = port_after(server_->first_line(), "listening dvp://127.0.0.1:");
        if (tls) port = port_after(server_->first_line(), "listening dvps://127.0.0.1:");
        ASSERT_GT(port, 0);
        relay_ = std::make_unique<Relay>(port);
        url_ = std::string(tls ? "dvps" : "dvp") +
               "://joe:secret@127.0.0.1:" + std::to_string(relay_->port()) + "/";
    }

    ctx_ptr connect_with_repair() {
        ctx_ptr ctx(dvsd_cli_connect(url_.c_str(), &err_));
        EXPECT_TRUE(ctx) << err_.code << " " << err_.msg;
        if (ctx) {
            EXPECT_EQ(dvsd_cli_set_auto_reconnect(ctx.get()), 0);
        }
        return ctx;
    }

    // Requests the server ran on the connection's context so far (this one not counted).
    static uint64_t server_count(dvsd_cli_ctx* ctx) {
        char out[64] = {};
        uint32_t len = 0;
        EXPECT_EQ(dvsd_cli_ioctl2(ctx, DVSD_IOCTL2_GET_LAST_CMD_IDX, "0", DVSD_CLI_TEXT, out,
                                  sizeof out - 1, &len),
                  0)
            << dvsd_cli_get_error_str(ctx);
        return std::strtoull(out, nullptr, 10);
    }

    // Posts `posts` unknown controls of `payload` bytes, collecting `lag` behind: each answer
    // names its own code, so one out of order or repeated shows. Then the server must have run
    // exactly the requests sent.
    void post_and_check(dvsd_cli_ctx* ctx, int posts, size_t payload, int lag) {
        // The first post has the server keep responses for a replay (one request of its own).
        ASSERT_EQ(dvsd_cli_post_ioctl2(ctx, 29999, "", DVSD_CLI_TEXT, 64), 0);
        EXPECT_EQ(dvsd_cli_collect_ioctl2(ctx, nullptr, 0, nullptr), -1);
        const uint64_t before = server_count(ctx);
        const std::string data(payload, 'x');
        int collected = 0;
        auto collect = [&] {
            EXPECT_EQ(dvsd_cli_collect_ioctl2(ctx, nullptr, 0, nullptr), -1);
            EXPECT_EQ(std::string(dvsd_cli_get_error_str(ctx)),
                      "Unknown control " + std::to_string(30000 + collected));
            ++collected;
        };
        for (int i = 0; i < posts; ++i) {
            ASSERT_EQ(dvsd_cli_post_ioctl2(ctx, 30000 + i, data.data(),
                                           static_cast<uint32_t>(data.size()), 64),
                      0)
                << i << " " << dvsd_cli_get_error_str(ctx) << "\n"
                << relay_->log();
            if (i >= lag) collect();
        }
        while (collected < posts) collect();
        // The count itself is the one more request.
        EXPECT_EQ(server_count(ctx) - before, uint64_t(posts) + 1) << relay_->log();
    }

    TempDir dir_{"dvsd-pipe"};
    err_info err_{};  // the connection's record of outcomes: lives as long as it
    std::unique_ptr<DvsdProcess> server_;
    std::unique_ptr<Relay> relay_;
    std::string url_;
};

struct cut_case {
    const char* name;
    bool tls;
    RelayDir dir;
    uint64_t offset;  // into that direction's stream of the first connection
    RelayAction action;
};

class DvsdPipeCut : public DvsdPipeRepair, public testing::WithParamInterface<cut_case> {};

// The relay cuts once, with about a window of requests on the way: those the server ran are
// answered again from what it kept, the rest go again, none runs twice.
TEST_P(DvsdPipeCut, ABreakWithAFullWindowLosesAndRepeatsNothing) {
    const cut_case& c = GetParam();
    start(c.tls);
    if (HasFatalFailure() || IsSkipped()) return;
    RelayRule cut;
    cut.conn = 1;
    cut.dir = c.dir;
    cut.stream_offset = c.offset;
    cut.action = c.action;
    relay_->add(cut);
    ctx_ptr ctx = connect_with_repair();
    ASSERT_TRUE(ctx);
    ASSERT_GT(dvsd_cli_pipe_window(ctx.get()), 32u);
    post_and_check(ctx.get(), 400, 16 << 10, 48);
    EXPECT_EQ(relay_->fired(), 1) << relay_->log();
    EXPECT_GE(relay_->connections(), 2);
    // The window shrank after the break and grew back while the answers kept coming.
    EXPECT_GT(dvsd_cli_pipe_window(ctx.get()), 32u);
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, DvsdPipeCut,
    testing::Values(
        cut_case{"RequestsCutPlain", false, RelayDir::up, 2 << 20, RelayAction::cut_fin},
        cut_case{"ResponsesCutPlain", false, RelayDir::down, 20000, RelayAction::cut_rst},
        cut_case{"RequestsCutTls", true, RelayDir::up, 2 << 20, RelayAction::cut_rst},
        cut_case{"ResponsesCutTls", true, RelayDir::down, 20000, RelayAction::cut_fin}),
    [](const testing::TestParamInfo<cut_case>& info) { return std::string(info.param.name); });

// A link that breaks every 3 MB while a window of 64 KiB requests (4 MB) goes out: the window
// shrinks after each break, so the job gets through exactly instead of resending for ever.
TEST_F(DvsdPipeRepair, ALinkThatKeepsBreakingStillFinishesExactly) {
    start(false);
    if (HasFatalFailure() || IsSkipped()) return;
    RelayRule cut;
    cut.dir = RelayDir::up;
    cut.stream_offset = 3 << 20;
    cut.action = RelayAction::cut_rst;
    cut.times = 0;
    relay_->add(cut);
    ctx_ptr ctx = connect_with_repair();
    ASSERT_TRUE(ctx);
    post_and_check(ctx.get(), 320, 64 << 10, 60);
    EXPECT_GE(relay_->fired(), 4) << relay_->log();
}

// Without repair a break with requests on the way cannot tell which of them ran: the connection
// is given up and says so, it never guesses.
TEST_F(DvsdPipeRepair, ABreakWithoutRepairGivesTheConnectionUp) {
    start(false);
    if (HasFatalFailure() || IsSkipped()) return;
    RelayRule cut;
    cut.conn = 1;
    cut.dir = RelayDir::up;
    cut.stream_offset = 1 << 20;
    cut.action = RelayAction::cut_rst;
    relay_->add(cut);
    ctx_ptr ctx(dvsd_cli_connect(url_.c_str(), &err_));
    ASSERT_TRUE(ctx) << err_.msg;
    const std::string data(16 << 10, 'x');
    int failed_at = -1;
    for (int i = 0; i < 200 && failed_at < 0; ++i) {
        if (dvsd_cli_post_ioctl2(ctx.get(), 30000 + i, data.data(),
                                 static_cast<uint32_t>(data.size()), 64) != 0) {
            failed_at = i;
        } else if (i >= 8 && dvsd_cli_collect_ioctl2(ctx.get(), nullptr, 0, nullptr) != 0 &&
                   std::string(dvsd_cli_get_error_str(ctx.get())).rfind("Unknown control", 0) !=
                       0) {
            failed_at = i;
        }
    }
    ASSERT_GE(failed_at, 0) << relay_->log();
    dvsd_statfs fs_info;
    EXPECT_EQ(dvsd_cli_statfs(ctx.get(), "", &fs_info), -1);
}

}  // namespace
}  // namespace systest
