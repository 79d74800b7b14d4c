// Who may do what on a real dvsd on loopback: a read-only server refuses every upload and sync
// into it with "write-protect" (dvcp exits 3) and changes nothing, while downloads still work;
// users of the configuration file each see their own tree only; addresses outside the allowed
// ones are refused at login.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
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

    void start(std::vector<std::string> extra, const std::string& listen = "127.0.0.1",
               const std::string& log = "") {
        std::vector<std::string> args{"root=" + root_, "listen=" + listen, "port=0", "user=joe",
                                      std::string("passwd=") + kPassword};
        args.insert(args.end(), extra.begin(), extra.end());
        server_ = std::make_unique<DvsdProcess>(args, std::nullopt, std::nullopt, log);
        const std::string line = server_->first_line();
        const size_t colon = line.rfind(':');
        if (line.rfind("listening dvp://", 0) == 0 && colon != std::string::npos) {
            port_ = std::stoi(line.substr(colon + 1));
        }
        host_ = listen.find(':') != std::string::npos ? "[" + listen + "]" : listen;
        ASSERT_GT(port_, 0) << "dvsd did not start: " << line;
    }
    std::string url(const std::string& path, const std::string& user = "joe",
                    const std::string& password = kPassword) const {
        return "dvp://" + user + ":" + password + "@" + host_ + ":" + std::to_string(port_) + path;
    }
    // A configuration file with `text`; its path.
    std::string conf_file(const std::string& text) const {
        const std::string path = tmp_ / "dvsd.ini";
        std::ofstream(path) << text;
        return path;
    }

    TempDir tmp_{"dvsd-access"};
    std::string root_;
    std::unique_ptr<DvsdProcess> server_;
    int port_ = -1;
    std::string host_;
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

TEST_F(DvsdAccess, AnonymousReadOnlyMirrorServesButTakesNothing) {
    make_tree(root_, {Node::file("pub/f", "public")});
    start({"anonymous=1", "read_only=1"});
    const std::string base = "dvp://" + host_ + ":" + std::to_string(port_);
    const Snapshot before = snapshot(root_);
    RunResult run = dvcp({"mode=cp", "if=" + base + "/pub", "of=" + tmp_ / "dst"});
    EXPECT_EXIT_STATUS(run, 0);
    EXPECT_EQ(read_file(tmp_ / "dst/f"), "public");
    run = dvcp({"mode=sync", "if=" + tmp_ / "dst", "of=" + base + "/pub2"});
    EXPECT_EXIT_STATUS(run, 3);
    EXPECT_TRUE(log_contains(run.err, "write-protect")) << run.describe();
    const auto diffs = compare(before, snapshot(root_));
    EXPECT_TRUE(diffs.empty()) << format_differences(diffs);
}

// ---- users ----

TEST_F(DvsdAccess, TwoUsersEachSeeOnlyTheirOwnTree) {
    const std::string alice = tmp_ / "alice", bob = tmp_ / "bob";
    make_tree(alice, {Node::file("mine", "alice's")});
    make_tree(bob, {Node::file("secret", "bob's"), Node::file("pub/readme", "r")});
    make_tree(root_, {Node::file("shared", "s")});
    const std::string ini =
        conf_file("[user/alice]\npasswd=a-pass\nroot=" + alice +
                  "\n[user/bob]\npasswd=b-pass\nroot=" + bob + "\nread_only=1\n");
    start({"conf=" + ini});
    const Snapshot bob_before = snapshot(bob);

    // alice gets her tree, whatever path she names to get out of it.
    RunResult run = dvcp({"mode=cp", "if=" + url("/", "alice", "a-pass"), "of=" + tmp_ / "a1"});
    EXPECT_EXIT_STATUS(run, 0);
    EXPECT_EQ(read_file(tmp_ / "a1/mine"), "alice's");
    EXPECT_FALSE(exists(tmp_ / "a1/secret"));
    EXPECT_FALSE(exists(tmp_ / "a1/shared"));
    for (const char* escape : {"/../bob", "/../../bob/pub", "/../dvsd-access"}) {
        SCOPED_TRACE(escape);
        const std::string out = tmp_ / "escape";
        dvcp({"mode=cp", "if=" + url(escape, "alice", "a-pass"), "of=" + out});
        EXPECT_FALSE(exists(out + "/secret"));
        EXPECT_FALSE(exists(out + "/readme"));
    }
    // Her upload lands in her root; bob's and the server's stay as they were.
    make_tree(tmp_ / "up", {Node::file("new", "n")});
    run = dvcp({"mode=cp", "if=" + tmp_ / "up", "of=" + url("/up", "alice", "a-pass")});
    EXPECT_EXIT_STATUS(run, 0);
    EXPECT_EQ(read_file(alice + "/up/new"), "n");
    EXPECT_FALSE(exists(root_ + "/up"));

    // bob may read his own tree only, and write nothing.
    run = dvcp({"mode=cp", "if=" + url("/pub", "bob", "b-pass"), "of=" + tmp_ / "b1"});
    EXPECT_EXIT_STATUS(run, 0);
    EXPECT_EQ(read_file(tmp_ / "b1/readme"), "r");
    run = dvcp({"mode=cp", "if=" + tmp_ / "up", "of=" + url("/up", "bob", "b-pass")});
    EXPECT_EXIT_STATUS(run, 3);
    EXPECT_TRUE(log_contains(run.err, "write-protect")) << run.describe();
    const auto diffs = compare(bob_before, snapshot(bob));
    EXPECT_TRUE(diffs.empty()) << format_differences(diffs);

    // Each password opens its own user only; joe of the command line still has the server's root.
    run = dvcp({"mode=cp", "if=" + url("/", "bob", "a-pass"), "of=" + tmp_ / "b2"});
    EXPECT_NE(run.exit_code, 0) << run.describe();
    EXPECT_TRUE(log_contains(run.err, "Wrong user or password")) << run.describe();
    run = dvcp({"mode=cp", "if=" + url("/"), "of=" + tmp_ / "j1"});
    EXPECT_EXIT_STATUS(run, 0);
    EXPECT_EQ(read_file(tmp_ / "j1/shared"), "s");
}

struct address_case {
    const char* name;
    const char* listen;
    std::vector<std::string> server_keys;  // on the command line
    const char* alice_allow;               // hosts_allow= of [user/alice]; "" for none
    bool admitted;
};
void PrintTo(const address_case& c, std::ostream* os) {
    *os << c.name;
}

class DvsdAddresses : public DvsdAccess, public testing::WithParamInterface<address_case> {};

TEST_P(DvsdAddresses, RefusedAtLoginWithAClearError) {
    const address_case& c = GetParam();
    make_tree(root_, {Node::file("f", "data")});
    std::string ini = "[user/alice]\npasswd=a-pass\n";
    if (*c.alice_allow != '\0') ini += std::string("hosts_allow=") + c.alice_allow + "\n";
    std::vector<std::string> keys = {"conf=" + conf_file(ini)};
    keys.insert(keys.end(), c.server_keys.begin(), c.server_keys.end());
    start(keys, c.listen);
    const RunResult run =
        dvcp({"mode=cp", "if=" + url("/", "alice", "a-pass"), "of=" + tmp_ / "dst"});
    if (c.admitted) {
        EXPECT_EXIT_STATUS(run, 0);
        EXPECT_EQ(read_file(tmp_ / "dst/f"), "data");
    } else {
        EXPECT_NE(run.exit_code, 0) << run.describe();
        const std::string peer = std::string(c.listen) == "::1" ? "::1" : "127.0.0.1";
        EXPECT_TRUE(log_contains(run.err, "Login from " + peer + " not allowed")) << run.describe();
        EXPECT_FALSE(exists(tmp_ / "dst/f"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DvsdAddresses,
    testing::Values(
        address_case{"UserRangeAdmits", "127.0.0.1", {}, "10.0.0.0/8, 127.0.0.0/8", true},
        address_case{"UserRangeRefuses", "127.0.0.1", {}, "10.0.0.0/8", false},
        address_case{"UserExactAddressAdmits", "127.0.0.1", {}, "127.0.0.1", true},
        address_case{"ServerAllowRefuses", "127.0.0.1", {"hosts_allow=192.168.0.0/16"}, "", false},
        address_case{"ServerDenyRefuses", "127.0.0.1", {"hosts_deny=127.0.0.0/24"}, "", false},
        address_case{
            "ServerDenyBeatsUserAllow", "127.0.0.1", {"hosts_deny=127.0.0.1"}, "127.0.0.1", false},
        address_case{"Ipv6UserAdmits", "::1", {}, "::1", true},
        address_case{"Ipv6UserRangeRefuses", "::1", {}, "fd00::/8, 127.0.0.1", false},
        address_case{"Ipv6ServerDenyRefuses", "::1", {"hosts_deny=::1/128"}, "", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DvsdAccess, CheckNamesTheFaultySection) {
    make_tree(root_, {});
    const std::string ini = conf_file(
        "[user/good]\npasswd=g\n[user/broken]\npasswd=b\nroot=" + tmp_ / "no-such-dir" + "\n");
    const RunResult run = run_program({DVSD_BIN, "root=" + root_, "conf=" + ini, "check=1"}, {});
    EXPECT_EXIT_STATUS(run, 1);
    EXPECT_TRUE(log_contains(run.err, "[user/broken] root=")) << run.describe();
    EXPECT_TRUE(log_contains(run.err, "not a directory")) << run.describe();
    const std::string good = conf_file("[user/good]\npasswd=g\n");
    const RunResult ok = run_program({DVSD_BIN, "root=" + root_, "conf=" + good, "check=1"}, {});
    EXPECT_EXIT_STATUS(ok, 0);
}

// ---- run_as ----

// The line of /proc/PID/status that starts with `key`, its value with blanks squeezed.
std::string status_line(pid_t pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + ":", 0) != 0) continue;
        std::string value, word;
        std::istringstream words(line.substr(key.size() + 1));
        while (words >> word) value += (value.empty() ? "" : " ") + word;
        return value;
    }
    return "(none)";
}

TEST_F(DvsdAccess, RunAsDropsRootForGoodAndStillServes) {
    if (!running_as_root()) GTEST_SKIP() << "run_as= needs the test to run as root";
    make_tree(root_, {Node::file("dl/f", "served")});
    chown_tree(root_, kNobodyUid, kNogroupGid);
    const std::string log = tmp_ / "dvsd.log";
    start({"run_as=nobody"}, "127.0.0.1", log);
    const pid_t pid = server_->pid();
    EXPECT_EQ(status_line(pid, "Uid"), "65534 65534 65534 65534");
    EXPECT_EQ(status_line(pid, "Gid"), "65534 65534 65534 65534");
    EXPECT_EQ(status_line(pid, "Groups"), "");
    EXPECT_EQ(status_line(pid, "CapPrm"), "0000000000000000");
    EXPECT_EQ(status_line(pid, "CapEff"), "0000000000000000");
    EXPECT_EQ(status_line(pid, "CapAmb"), "0000000000000000");

    // Copies both ways still work; an owner the client sends is not applied.
    make_tree(tmp_ / "src", {Node::file("up", "uploaded").with_owner(1234, 1234)});
    RunResult run = dvcp({"mode=cp", "if=" + tmp_ / "src", "of=" + url("/up")});
    EXPECT_EXIT_STATUS(run, 0);
    EXPECT_EQ(read_file(root_ + "/up/up"), "uploaded");
    struct stat st {};
    ASSERT_EQ(lstat((root_ + "/up/up").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobodyUid);
    // Nor is it reported as changed by the next sync: there is nothing it could change.
    const std::string changes = tmp_ / "changes.txt";
    run = dvcp({"mode=sync", "if=" + tmp_ / "src", "of=" + url("/up"), "changes=" + changes});
    EXPECT_EXIT_STATUS(run, 0);
    EXPECT_EQ(read_file(changes), "") << run.describe();
    run = dvcp({"mode=cp", "if=" + url("/dl"), "of=" + tmp_ / "dst"});
    EXPECT_EXIT_STATUS(run, 0);
    EXPECT_EQ(read_file(tmp_ / "dst/f"), "served");
    EXPECT_TRUE(log_contains(read_file(log), "running as uid=65534 gid=65534")) << read_file(log);
}

TEST_F(DvsdAccess, RootWithoutRunAsWarnsThatItKeepsRoot) {
    if (!running_as_root()) GTEST_SKIP() << "the warning is for a dvsd started as root";
    make_tree(root_, {});
    const std::string log = tmp_ / "dvsd.log";
    start({}, "127.0.0.1", log);
    server_->stop(SIGTERM);
    EXPECT_TRUE(log_contains(read_file(log), "running as root without run_as=: dvsd keeps root"))
        << read_file(log);
}

TEST_F(DvsdAccess, BadRunAsStopsTheStart) {
    make_tree(root_, {});
    struct bad {
        const char* value;
        const char* said;
    };
    for (const bad& b :
         {bad{"no-such-user-here", "no user no-such-user-here"},
          bad{"nobody:no-such-group", "no group no-such-group"}, bad{"root", "other than root"},
          bad{"nobody:0", "other than root"}, bad{"4321", "needs a group"}}) {
        SCOPED_TRACE(b.value);
        const RunResult run = run_program(
            {DVSD_BIN, "root=" + root_, "anonymous=1", std::string("run_as=") + b.value, "check=1"},
            {});
        EXPECT_EXIT_STATUS(run, 1);
        EXPECT_TRUE(log_contains(run.err, b.said)) << run.describe();
    }
}

}  // namespace
}  // namespace systest
