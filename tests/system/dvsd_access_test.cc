// Who may do what on a real dvsd on loopback: a read-only server refuses every upload and sync
// into it with "write-protect" (dvcp exits 3) and changes nothing, while downloads still work.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "system/support/dvcp_test.h"
#include "system/support/dvsd_process.h"
#include "system/support/process.h"
#include "system/support/report.h"
#include "system/support/tree.h"

namespace systest {
namespace {

const char kPassword[] = "secret";

class DvsdAccess : public DvcpProcessTest {
  protected:
    void SetUp() override {
        DvcpProcessTest::SetUp();
        if (IsSkipped()) return;
        if (!kHaveDvsd) GTEST_SKIP() << "dvsd is not part of this build";
        root_ = tmp_ / "served";
    }

    void start(std::vector<std::string> extra) {
        std::vector<std::string> args{"root=" + root_, "listen=127.0.0.1", "port=0", "user=joe",
                                      std::string("passwd=") + kPassword};
        args.insert(args.end(), extra.begin(), extra.end());
        server_ = std::make_unique<DvsdProcess>(args);
        port_ = port_of(server_->first_line());
        ASSERT_GT(port_, 0) << "dvsd did not start";
    }
    std::string url(const std::string& path) const {
        return std::string("dvp://joe:") + kPassword + "@127.0.0.1:" + std::to_string(port_) + path;
    }

    TempDir tmp_{"dvsd-access"};
    std::string root_;
    std::unique_ptr<DvsdProcess> server_;
    int port_ = -1;
};

struct refused_case {
    const char* name;
    std::vector<std::string> mode;
    const char* dst;  // a served path
};
void PrintTo(const refused_case& c, std::ostream* os) {
    *os << c.name;
}

class DvsdReadOnlyRefuses : public DvsdAccess, public testing::WithParamInterface<refused_case> {};

TEST_P(DvsdReadOnlyRefuses, WriteProtectExitThreeNothingChanged) {
    make_tree(tmp_ / "src", {Node::file("a", "new a"), Node::file("sub/b", std::string(70000, 'b')),
                             Node::link("l", "a"), Node::dir("empty")});
    make_tree(root_, {Node::file("old/a", "old a"), Node::file("old/orphan", "keep me"),
                      Node::file("keep", "k")});
    start({"read_only=1"});
    const Snapshot before = snapshot(root_);
    std::vector<std::string> args = GetParam().mode;
    args.push_back("if=" + tmp_ / "src");
    args.push_back("of=" + url(GetParam().dst));
    const RunResult run = dvcp(args);
    EXPECT_EXIT_STATUS(run, 3);
    EXPECT_TRUE(log_contains(run.err, "write-protect")) << run.describe();
    const auto diffs = compare(before, snapshot(root_));
    EXPECT_TRUE(diffs.empty()) << format_differences(diffs);
}

INSTANTIATE_TEST_SUITE_P(Jobs, DvsdReadOnlyRefuses,
                         testing::Values(refused_case{"CopyIntoNewDirectory", {"mode=cp"}, "/new"},
                                         refused_case{"CopyOverExisting", {"mode=cp"}, "/old"},
                                         refused_case{"SyncDeletingOrphans", {"mode=sync"}, "/old"},
                                         refused_case{
                                             "SyncSmallBlocks", {"mode=sync", "bs=64k"}, "/old"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DvsdAccess, ReadOnlyServerStillServesDownloads) {
    const std::vector<Node> tree = {Node::file("a", "served a"),
                                    Node::file("sub/big", std::string(3 << 20, 'x')),
                                    Node::link("l", "a"), Node::dir("empty")};
    make_tree(root_ + "/src", tree);
    start({"read_only=1"});
    const Snapshot source = settled_snapshot(root_ + "/src");
    const Snapshot before = snapshot(root_);
    const RunResult run = dvcp({"mode=cp", "if=" + url("/src"), "of=" + tmp_ / "dst"});
    EXPECT_EXIT_STATUS(run, 0);
    const auto copied =
        compare(source, snapshot(tmp_ / "dst"), CompareOptions{.dir_attributes = true});
    EXPECT_TRUE(copied.empty()) << format_differences(copied);
    const auto diffs = compare(before, snapshot(root_));
    EXPECT_TRUE(diffs.empty()) << format_differences(diffs);
}

}  // namespace
}  // namespace systest
