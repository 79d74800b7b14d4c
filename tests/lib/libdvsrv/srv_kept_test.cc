// Responses kept for a replay: the context's own bounds, and the shares of its user and of the
// server that all contexts draw on.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "lib/test_support/temp_dir.h"
#include "libdvsrv/srv_session.h"
#include "libpal/os_root.h"

namespace {

class KeptReplies : public testing::Test {
  protected:
    void SetUp() override {
        root_ = os_root_open(dir_.path().c_str(), OS_ROOT_IN_ROOT);
        ASSERT_NE(root_, nullptr);
    }
    void TearDown() override { os_root_close(root_); }

    std::shared_ptr<srv_context> context(uint32_t depth) {
        auto ctx = srv_context_new(&conf_, root_, "joe");
        ctx->pipe_depth = depth;
        ctx->kept_caps = srv_kept_caps{user_, server_};
        return ctx;
    }
    static void keep(srv_context& ctx, uint64_t index, size_t bytes) {
        const std::vector<uint8_t> root(bytes, 0x5a);
        srv_keep_reply(ctx, index, 8, root);
    }
    static std::vector<uint64_t> indexes(const srv_context& ctx) {
        std::vector<uint64_t> out;
        for (const auto& k : ctx.kept) out.push_back(k.index);
        return out;
    }

    dvtest::TempDir dir_;
    dvsrv_conf conf_;
    os_root* root_ = nullptr;
    std::shared_ptr<srv_quota> user_ = std::make_shared<srv_quota>(1000);
    std::shared_ptr<srv_quota> server_ = std::make_shared<srv_quota>(1500);
};

TEST_F(KeptReplies, TheLastOnesWithinTheDepthStayAndTheirBytesAreCounted) {
    auto ctx = context(3);
    for (uint64_t i = 1; i <= 5; ++i) keep(*ctx, i, 100);
    EXPECT_EQ(indexes(*ctx), (std::vector<uint64_t>{3, 4, 5}));
    EXPECT_EQ(ctx->kept_bytes, 300u);
    EXPECT_EQ(user_->used.load(), 300u);
    EXPECT_EQ(server_->used.load(), 300u);
    ctx.reset();
    EXPECT_EQ(user_->used.load(), 0u);
    EXPECT_EQ(server_->used.load(), 0u);
}

TEST_F(KeptReplies, AUsersShareTakenByOthersLeavesAContextItsOwnOldestToGive) {
    auto other = context(8);
    keep(*other, 1, 700);  // the user's share has 300 left
    auto ctx = context(8);
    keep(*ctx, 1, 200);
    keep(*ctx, 2, 200);  // no room: its own oldest goes, never the other context's
    EXPECT_EQ(indexes(*ctx), (std::vector<uint64_t>{2}));
    EXPECT_EQ(indexes(*other), (std::vector<uint64_t>{1}));
    // One that cannot fit even alone leaves none kept: a replay cannot reach back past it, so
    // nothing older is worth its bytes.
    keep(*ctx, 3, 400);
    EXPECT_TRUE(ctx->kept.empty());
    EXPECT_EQ(ctx->kept_bytes, 0u);
    EXPECT_EQ(user_->used.load(), 700u);
}

TEST_F(KeptReplies, TheServersShareBoundsAllUsers) {
    auto a = context(8);
    keep(*a, 1, 900);
    auto b = context(8);
    b->kept_caps.user = std::make_shared<srv_quota>(1000);  // another user, a share of its own
    keep(*b, 1, 700);                                       // the server has 600 left
    EXPECT_TRUE(b->kept.empty());
    keep(*b, 2, 600);
    EXPECT_EQ(indexes(*b), (std::vector<uint64_t>{2}));
    EXPECT_EQ(server_->used.load(), 1500u);
    EXPECT_EQ(user_->used.load(), 900u);
    EXPECT_EQ(b->kept_caps.user->used.load(), 600u);
}

}  // namespace
