// The safety valves and records of a run: changes=, dry_run=, max_delete= and the attribute-only
// update of a sync, on real trees.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "system/support/dvcp_test.h"
#include "system/support/process.h"
#include "system/support/report.h"
#include "system/support/tree.h"

namespace systest {
namespace {

constexpr int64_t kBaseTime = 1600000000;
constexpr uid_t kNobody = kNobodyUid;
constexpr gid_t kNogroup = kNogroupGid;

ino_t lstat_inode(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::multiset<std::string> lines_of(const std::string& text) {
    std::multiset<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.insert(line);
    return lines;
}

class DvcpOptions : public DvcpProcessTest {
  protected:
    // A source and an older copy of it: one file changed, one new, one orphan at the
    // destination, one unchanged.
    void make_pair() {
        make_tree(src_, {Node::file("same", "same").with_times(kBaseTime, kBaseTime),
                         Node::file("changed", "new content").with_times(kBaseTime, kBaseTime),
                         Node::file("sub/new", "n").with_times(kBaseTime, kBaseTime)});
        make_tree(dst_, {Node::file("same", "same").with_times(kBaseTime, kBaseTime),
                         Node::file("changed", "old").with_times(kBaseTime, kBaseTime - 100),
                         Node::file("sub/orphan", "o").with_times(kBaseTime, kBaseTime)});
    }

    int64_t count(const RunResult& run, const std::string& key) const {
        return Report::parse(run.err).number(key).value_or(-1);
    }

    TempDir tmp_;
    const std::string src_ = tmp_ / "src";
    const std::string dst_ = tmp_ / "dst";
    const std::string changes_ = tmp_ / "changes.txt";
};

// One line per entry created, updated, deleted or failed, with the destination path.
TEST_F(DvcpOptions, ChangesRecordEveryKindOfChange) {
    make_pair();
    const RunResult run = dvcp({"mode=sync", "if=" + src_, "of=" + dst_, "changes=" + changes_});
    EXPECT_EXIT_STATUS(run, 0);
    EXPECT_EQ(lines_of(read_file(changes_)),
              (std::multiset<std::string>{"~ " + dst_ + "/changed", "+ " + dst_ + "/sub/new",
                                          "- " + dst_ + "/sub/orphan"}));

    // A copy that cannot read one file says so with "!".
    if (::geteuid() != 0) return;
    write_file(src_ + "/locked", "l");
    ASSERT_EQ(::chmod((src_ + "/locked").c_str(), 0), 0);
    chown_tree(tmp_.path(), kNobody, kNogroup);
    RunOptions as_nobody;
    as_nobody.uid = kNobody;
    as_nobody.gid = kNogroup;
    const RunResult failed =
        dvcp({"mode=sync", "if=" + src_, "of=" + dst_, "changes=-"}, as_nobody);
    EXPECT_EXIT_STATUS(failed, 8);
    EXPECT_EQ(lines_of(failed.out), (std::multiset<std::string>{"! " + dst_ + "/locked"}));
}

// A directory of many files is copied by two threads: every file is counted once, every change
// is recorded once with its kind, and a failure among them is counted and recorded as such.
TEST_F(DvcpOptions, ManyFilesOfOneDirectoryCountedAndRecordedOnce) {
    std::vector<Node> src_nodes, dst_nodes;
    std::multiset<std::string> expected;
    for (int i = 0; i < 200; ++i) {
        const std::string name = "many/f" + std::to_string(i);
        src_nodes.push_back(Node::file(name, "content " + std::to_string(i)));
        if (i % 40 == 0) {
            // A directory where the file must go: the file cannot be placed.
            dst_nodes.push_back(Node::dir(name + "/inside"));
            expected.insert("! " + dst_ + "/" + name);
        } else if (i % 10 == 0) {
            dst_nodes.push_back(Node::file(name, "old"));
            expected.insert("~ " + dst_ + "/" + name);
        } else {
            expected.insert("+ " + dst_ + "/" + name);
        }
    }
    make_tree(src_, src_nodes);
    make_tree(dst_, dst_nodes);
    const RunResult run = dvcp({"if=" + src_, "of=" + dst_, "changes=" + changes_});
    EXPECT_EXIT_STATUS(run, 8);
    EXPECT_EQ(lines_of(read_file(changes_)), expected);
    EXPECT_EQ(count(run, "file_open_count"), 195);
    EXPECT_EQ(count(run, "o_file_fail_count"), 5);
    EXPECT_EQ(count(run, "i_file_fail_count"), 0);
    for (int i = 0; i < 200; ++i) {
        if (i % 40 == 0) continue;
        const std::string name = "/many/f" + std::to_string(i);
        EXPECT_EQ(read_file(dst_ + name), "content " + std::to_string(i)) << name;
    }
}

// A dry run walks and compares as the mode would, reports and records what it would do, and
// leaves the destination as it was, byte for byte.
TEST_F(DvcpOptions, DryRunChangesNothing) {
    make_pair();
    const Snapshot before = settled_snapshot(dst_);
    for (const char* mode : {"mode=sync", "mode=cp", "mode=copy_diff_size_date"}) {
        SCOPED_TRACE(mode);
        const RunResult run =
            dvcp({mode, "if=" + src_, "of=" + dst_, "dry_run=1", "changes=" + changes_});
        EXPECT_EXIT_STATUS(run, 0);
        const auto diffs = compare(before, snapshot(dst_), {});
        EXPECT_TRUE(diffs.empty()) << format_differences(diffs);
        const auto lines = lines_of(read_file(changes_));
        EXPECT_EQ(lines.count("+ " + dst_ + "/sub/new"), 1u);
        EXPECT_EQ(lines.count("~ " + dst_ + "/changed"), 1u);
        EXPECT_EQ(lines.count("- " + dst_ + "/sub/orphan"),
                  std::string(mode) == "mode=sync" ? 1u : 0u);
        EXPECT_GE(count(run, "file_open_count"), 2);
    }
    // A dry run into a destination that does not exist makes none.
    for (const char* mode : {"mode=cp", "mode=sync"}) {
        const RunResult fresh = dvcp({mode, "if=" + src_, "of=" + tmp_ / "fresh", "dry_run=1"});
        EXPECT_EXIT_STATUS(fresh, 0);
        EXPECT_EQ(count(fresh, "file_open_count"), 3);
    }
    EXPECT_FALSE(exists(tmp_ / "fresh"));
}

// A source that is suddenly empty (an unmounted disk) cannot wipe a backup: beyond max_delete
// the sync deletes none of the files and says so with status 8.
TEST_F(DvcpOptions, MaxDeleteProtectsABackupFromAnEmptiedSource) {
    std::vector<Node> nodes;
    for (int i = 0; i < 20; ++i) nodes.push_back(Node::file("d/f" + std::to_string(i), "x"));
    make_tree(src_, nodes);
    ASSERT_TRUE(dvcp({"mode=sync", "if=" + src_, "of=" + dst_}).exit_code == 0);
    const Snapshot backup = settled_snapshot(dst_);
    remove_all(src_ + "/d");
    ASSERT_EQ(::mkdir((src_ + "/d").c_str(), 0755), 0);

    const RunResult refused = dvcp({"mode=sync", "if=" + src_, "of=" + dst_, "max_delete=5"});
    EXPECT_EXIT_STATUS(refused, 8);
    EXPECT_NE(refused.err.find("max_delete=5"), std::string::npos) << refused.describe();
    const auto diffs = compare(backup, snapshot(dst_), {});
    EXPECT_TRUE(diffs.empty()) << format_differences(diffs);
    EXPECT_EQ(count(refused, "sync_del_file_count"), 0);

    const RunResult allowed = dvcp({"mode=sync", "if=" + src_, "of=" + dst_, "max_delete=20"});
    EXPECT_EXIT_STATUS(allowed, 0);
    EXPECT_EQ(count(allowed, "sync_del_file_count"), 20);
    EXPECT_FALSE(exists(dst_ + "/d/f0"));
}

// A file made private at the source becomes private in the backup without its data being
// copied again.
TEST_F(DvcpOptions, SyncPassesOnModeAndOwnerChangesWithoutData) {
    make_tree(src_, {Node::file("doc", std::string(100000, 'd')).with_mode(0644)});
    ASSERT_TRUE(dvcp({"mode=sync", "if=" + src_, "of=" + dst_}).exit_code == 0);
    ASSERT_EQ(::chmod((src_ + "/doc").c_str(), 0600), 0);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown((src_ + "/doc").c_str(), kNobody, kNogroup), 0);
    }
    const ino_t inode = lstat_inode(dst_ + "/doc");

    const RunResult run = dvcp({"mode=sync", "if=" + src_, "of=" + dst_, "changes=" + changes_});
    EXPECT_EXIT_STATUS(run, 0);
    const auto st = lstat_path(dst_ + "/doc");
    EXPECT_EQ(st.mode & 07777, 0600u);
    if (::geteuid() == 0) {
        EXPECT_EQ(st.uid, kNobody);
    }
    EXPECT_EQ(count(run, "total_write"), 0) << run.describe();
    EXPECT_EQ(lstat_inode(dst_ + "/doc"), inode) << "the data was copied again";
    EXPECT_EQ(lines_of(read_file(changes_)), (std::multiset<std::string>{"~ " + dst_ + "/doc"}));

    const RunResult again = dvcp({"mode=sync", "if=" + src_, "of=" + dst_, "changes=" + changes_});
    EXPECT_EXIT_STATUS(again, 0);
    EXPECT_TRUE(read_file(changes_).empty()) << "nothing is left to change";
}

}  // namespace
}  // namespace systest
