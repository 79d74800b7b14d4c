// dvcp against a user's worst day: the same files under two names (hard links, bind mounts,
// symbolic links), one end inside the other, links planted inside the destination, a full disk,
// private directories and set-id programs. Every case uses real kernel objects.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
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

bool is_root() {
    return ::geteuid() == 0;
}

#define ASSERT_EXIT_OK(expr)                                                                    \
    do {                                                                                        \
        const RunResult exit_ok_run = (expr);                                                   \
        ASSERT_TRUE(exit_ok_run.exited&& exit_ok_run.exit_code == 0) << exit_ok_run.describe(); \
    } while (0)

// A mount made for one test and undone however the test ends (before the temporary directory
// is removed, which would otherwise reach through it).
class Mount final {
  public:
    Mount(const std::string& source, const std::string& target, const char* type,
          unsigned long flags, const char* data = nullptr)
        : target_(target) {
        if (::mount(source.c_str(), target.c_str(), type, flags, data) != 0) {
            throw std::runtime_error("mount " + target + ": " + std::strerror(errno));
        }
    }
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;
    ~Mount() { ::umount2(target_.c_str(), MNT_DETACH); }

  private:
    std::string target_;
};

class DvcpSafety : public DvcpProcessTest {
  protected:
    // A small tree with nested directories, a private one, a link and times.
    void make_source() {
        make_tree(src_, {
                            Node::file("top.txt", "top level\n").with_times(kBaseTime, kBaseTime),
                            Node::sized("big.bin", 3 << 20).with_times(kBaseTime, kBaseTime),
                            Node::file("sub/inner.txt", "inner\n").with_times(kBaseTime, kBaseTime),
                            Node::file("sub/deeper/leaf", "leaf\n"),
                            Node::link("sub/link", "../top.txt"),
                            Node::dir("private").with_mode(0700),
                            Node::file("private/secret", "s\n").with_mode(0600),
                        });
    }

    // No writer temporary anywhere below `root`.
    void expect_no_temporaries(const std::string& root) const {
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            EXPECT_FALSE(is_writer_temporary_name(it->path().filename().string()))
                << it->path() << " left behind";
        }
    }

    TempDir tmp_;
    const std::string src_ = tmp_ / "src";
    const std::string dst_ = tmp_ / "dst";
};

// ---------------------------------------------------------------------------------------
// The same files under two names.

// `cp -al src dst` makes every destination file the source file itself: a copy or sync into it
// must leave the source whole.
TEST_F(DvcpSafety, HardLinkedTreesKeepTheSource) {
    make_source();
    const Snapshot before = settled_snapshot(src_);
    const RunResult cp = run_program({"/bin/cp", "-al", src_, dst_});
    ASSERT_TRUE(cp.exited && cp.exit_code == 0) << cp.describe();
    for (const char* mode : {"mode=cp", "mode=sync", "mode=copy_diff_size_date"}) {
        SCOPED_TRACE(mode);
        const RunResult run = dvcp({mode, "if=" + src_, "of=" + dst_});
        EXPECT_EXIT_STATUS(run, 0);
        const auto diffs = compare(before, snapshot(src_), {});
        EXPECT_TRUE(diffs.empty()) << format_differences(diffs);
        EXPECT_EQ(read_file(src_ + "/top.txt"), "top level\n");
        EXPECT_EQ(std::filesystem::file_size(src_ + "/big.bin"), 3u << 20);
    }
    expect_no_temporaries(dst_);
}

// A snapshot made with `cp -al` from an earlier copy shares its files with that copy: updating
// the copy must replace its files, not write through them into the snapshot.
TEST_F(DvcpSafety, UpdateNeverWritesThroughIntoAHardLinkedSnapshot) {
    make_source();
    ASSERT_EXIT_OK(dvcp({"if=" + src_, "of=" + dst_}));
    const std::string snap = tmp_ / "snapshot";
    ASSERT_EXIT_OK(run_program({"/bin/cp", "-al", dst_, snap}));
    const Snapshot snapshot_before = settled_snapshot(snap);
    write_file(src_ + "/top.txt", "changed in the source, longer than before\n");
    write_file(src_ + "/sub/inner.txt", "also changed\n");
    const RunResult run = dvcp({"mode=sync", "if=" + src_, "of=" + dst_});
    EXPECT_EXIT_STATUS(run, 0);
    EXPECT_EQ(read_file(dst_ + "/top.txt"), "changed in the source, longer than before\n");
    const auto diffs = compare(snapshot_before, snapshot(snap), {});
    EXPECT_TRUE(diffs.empty()) << format_differences(diffs);
}

// The same directory under another name is refused like an equal path, before anything is
// written: a bind mount of the source, a link to it, the source reached through ".." elsewhere.
TEST_F(DvcpSafety, SameDirectoryUnderAnotherNameIsRefused) {
    make_source();
    const Snapshot before = settled_snapshot(src_);
    ASSERT_EQ(::symlink(src_.c_str(), (tmp_ / "src_link").c_str()), 0);
    ASSERT_EQ(::mkdir((tmp_ / "bound").c_str(), 0755), 0);
    std::unique_ptr<Mount> bind;
    if (is_root()) bind = std::make_unique<Mount>(src_, tmp_ / "bound", nullptr, MS_BIND);
    struct Case {
        const char* what;
        std::string dst;
    };
    std::vector<Case> cases = {
        {"link to the source", tmp_ / "src_link"},
        {"dotted spelling", tmp_ / "src/sub/../../src"},
    };
    if (bind) cases.push_back({"bind mount of the source", tmp_ / "bound"});
    for (const Case& c : cases) {
        for (const char* mode : {"mode=cp", "mode=sync"}) {
            SCOPED_TRACE(std::string(c.what) + " " + mode);
            const RunResult run = dvcp({mode, "if=" + src_, "of=" + c.dst});
            EXPECT_EXIT_STATUS(run, 1);
            const auto diffs = compare(before, snapshot(src_), {});
            EXPECT_TRUE(diffs.empty()) << format_differences(diffs);
        }
    }
}

// One end inside the other, in either direction and by any name, is refused: a sync would
// delete from its own source or write into it.
TEST_F(DvcpSafety, OneEndInsideTheOtherIsRefused) {
    const std::string data = tmp_ / "data";
    make_tree(data, {Node::file("keep.txt", "k"), Node::file("a/inner.txt", "i"),
                     Node::file("a/b/deep.txt", "d")});
    const Snapshot before = settled_snapshot(data);
    ASSERT_EQ(::symlink((data + "/a").c_str(), (tmp_ / "a_link").c_str()), 0);
    ASSERT_EQ(::symlink(data.c_str(), (tmp_ / "data_link").c_str()), 0);
    struct Case {
        const char* what;
        std::string src, dst;
    };
    const Case cases[] = {
        {"source inside the destination", data + "/a", data},
        {"source inside, through a link", tmp_ / "a_link", data},
        {"destination inside, through a link", data, tmp_ / "a_link/new"},
        {"destination is an ancestor by link", data + "/a/b", tmp_ / "data_link"},
        {"destination inside, not yet made", data, data + "/a/new/deeper"},
    };
    for (const Case& c : cases) {
        for (const char* mode : {"mode=cp", "mode=sync"}) {
            SCOPED_TRACE(std::string(c.what) + " " + mode);
            const RunResult run = dvcp({mode, "if=" + c.src, "of=" + c.dst});
            EXPECT_EXIT_STATUS(run, 1);
            const auto diffs = compare(before, snapshot(data), {});
            EXPECT_TRUE(diffs.empty()) << format_differences(diffs);
        }
    }
}

// A destination mounted below the source cannot be seen from its path; the source walk still
// never enters it, so the copy ends and does not copy itself into itself.
TEST_F(DvcpSafety, DestinationMountedInsideTheSourceIsNotWalked) {
    if (!is_root()) GTEST_SKIP() << "needs root to mount";
    make_source();
    ASSERT_EQ(::mkdir(dst_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((src_ + "/mirror").c_str(), 0755), 0);
    Mount bind(dst_, src_ + "/mirror", nullptr, MS_BIND);
    RunOptions bounded;
    bounded.timeout = std::chrono::seconds(60);
    const RunResult run = dvcp({"if=" + src_, "of=" + dst_}, bounded);
    EXPECT_EXIT_STATUS(run, 0);
    EXPECT_EQ(read_file(dst_ + "/sub/inner.txt"), "inner\n");
    EXPECT_FALSE(exists(dst_ + "/mirror")) << "the copy walked into its own output";
}

// ---------------------------------------------------------------------------------------
// Links planted inside the destination.

// A destination subdirectory that is a link (into the source, or anywhere outside) is replaced
// by a real directory: nothing is written, chmod-ed or deleted through it.
TEST_F(DvcpSafety, LinkedDestinationSubdirectoryIsReplacedNotFollowed) {
    const std::string outside = tmp_ / "outside";
    struct Case {
        const char* mode;
        const char* target;  // where dst/sub points
    };
    const Case cases[] = {
        {"mode=cp", "../outside"}, {"mode=sync", "../outside"}, {"mode=copy_newer", "../outside"},
        {"mode=cp", "../src/sub"}, {"mode=sync", "../src/sub"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " -> " + c.target);
        remove_all(src_);
        remove_all(dst_);
        remove_all(outside);
        make_source();
        make_tree(outside, {Node::file("inner.txt", "outside, must stay\n").with_mode(0640),
                            Node::file("orphan", "must not be deleted\n")});
        ASSERT_EQ(::chmod(outside.c_str(), 0751), 0);
        const Snapshot outside_before = settled_snapshot(outside);
        const Snapshot source_before = settled_snapshot(src_);
        ASSERT_EQ(::mkdir(dst_.c_str(), 0755), 0);
        ASSERT_EQ(::symlink(c.target, (dst_ + "/sub").c_str()), 0);

        const RunResult run = dvcp({c.mode, "if=" + src_, "of=" + dst_});
        EXPECT_EXIT_STATUS(run, 0);
        EXPECT_EQ(S_ISDIR(lstat_path(dst_ + "/sub").mode), true);
        EXPECT_EQ(read_file(dst_ + "/sub/inner.txt"), "inner\n");
        auto diffs = compare(outside_before, snapshot(outside), {});
        EXPECT_TRUE(diffs.empty()) << "outside changed:\n" << format_differences(diffs);
        EXPECT_EQ(lstat_path(outside).mode & 07777, 0751u);
        diffs = compare(source_before, snapshot(src_), {});
        EXPECT_TRUE(diffs.empty()) << "source changed:\n" << format_differences(diffs);
    }
}

// ---------------------------------------------------------------------------------------
// A full disk.

// The destination fills up in the middle of an overwrite: the job stops with status 4 and the
// previous copy is still there, whole.
TEST_F(DvcpSafety, FullDiskKeepsThePreviousCopy) {
    if (!is_root()) GTEST_SKIP() << "needs root to mount a small tmpfs";
    ASSERT_EQ(::mkdir(dst_.c_str(), 0755), 0);
    Mount small("tmpfs", dst_, "tmpfs", 0, "size=2m");
    make_tree(src_, {Node::sized("a_big", 3 << 20), Node::file("b_small", "new small")});
    const std::string old = std::string(512 * 1024, 'o');
    write_file(dst_ + "/a_big", old);
    write_file(dst_ + "/b_small", "old small");
    const RunResult run = dvcp({"if=" + src_, "of=" + dst_});
    EXPECT_EXIT_STATUS(run, 4);
    EXPECT_EQ(read_file(dst_ + "/a_big"), old);
    expect_no_temporaries(dst_);
}

// A list file on a full disk fails the run with status 4 rather than leaving a cut list.
TEST_F(DvcpSafety, ListOnAFullDiskFails) {
    if (!is_root()) GTEST_SKIP() << "needs root to mount a small tmpfs";
    const std::string full = tmp_ / "full";
    ASSERT_EQ(::mkdir(full.c_str(), 0755), 0);
    Mount small("tmpfs", full, "tmpfs", 0, "size=64k");
    write_file(full + "/filler", std::string(60 * 1024, 'f'));
    std::vector<Node> nodes;
    for (int i = 0; i < 400; ++i) nodes.push_back(Node::file("f" + std::to_string(i), "x"));
    make_tree(src_, nodes);
    const RunResult run = dvcp({"mode=ls", "if=" + src_, "olist=" + full + "/list"});
    EXPECT_EXIT_STATUS(run, 4);
}

// ---------------------------------------------------------------------------------------
// What the destination exposes.

// Private directories stay private: a copy or sync gives every directory it makes the source's
// permission bits, the destination root included, never a wider default.
TEST_F(DvcpSafety, DirectoriesGetTheSourceModeNeverWider) {
    make_tree(src_, {Node::dir("private").with_mode(0700),
                     Node::file("private/secret", "s").with_mode(0600),
                     Node::dir("private/inner").with_mode(0750), Node::file("private/inner/f", "f"),
                     Node::dir("shared").with_mode(0755), Node::file("shared/f", "f")});
    ASSERT_EQ(::chmod(src_.c_str(), 0710), 0);
    for (const char* mode : {"mode=cp", "mode=sync", "mode=copy_no_overwrite"}) {
        SCOPED_TRACE(mode);
        remove_all(dst_);
        const RunResult run = dvcp({mode, "if=" + src_, "of=" + dst_});
        EXPECT_EXIT_STATUS(run, 0);
        EXPECT_EQ(lstat_path(dst_).mode & 07777, 0710u);
        EXPECT_EQ(lstat_path(dst_ + "/private").mode & 07777, 0700u);
        EXPECT_EQ(lstat_path(dst_ + "/private/inner").mode & 07777, 0750u);
        EXPECT_EQ(lstat_path(dst_ + "/shared").mode & 07777, 0755u);
        EXPECT_EQ(read_file(dst_ + "/private/secret"), "s");
    }
}

// Every copy mode gives directories their own times after their contents are in.
TEST_F(DvcpSafety, CopyModesSetDirectoryTimesAfterTheirContents) {
    make_tree(src_, {Node::dir("d").with_times(kBaseTime, kBaseTime),
                     Node::dir("d/e").with_times(kBaseTime + 10, kBaseTime + 10),
                     Node::file("d/e/f", "f"), Node::file("d/g", "g")});
    set_times(src_ + "/d/e", kBaseTime + 10, kBaseTime + 10);
    set_times(src_ + "/d", kBaseTime, kBaseTime);
    for (const char* mode :
         {"mode=cp", "mode=copy_no_overwrite", "mode=copy_newer", "mode=copy_diff_size_date"}) {
        SCOPED_TRACE(mode);
        remove_all(dst_);
        const RunResult run = dvcp({mode, "if=" + src_, "of=" + dst_});
        EXPECT_EXIT_STATUS(run, 0);
        EXPECT_EQ(lstat_path(dst_ + "/d").mtime, kBaseTime);
        EXPECT_EQ(lstat_path(dst_ + "/d/e").mtime, kBaseTime + 10);
    }
}

// An ordinary user copying someone else's set-id program becomes its owner: the set-id bits go.
TEST_F(DvcpSafety, SetIdBitsDoNotSurviveALostOwner) {
    if (!is_root()) GTEST_SKIP() << "needs root to run as an ordinary user";
    make_tree(src_, {Node::file("prog", "#!/bin/sh\n").with_mode(06755)});
    ASSERT_EQ(::mkdir(dst_.c_str(), 0755), 0);
    ASSERT_EQ(::chown(dst_.c_str(), kNobody, kNogroup), 0);
    ASSERT_EQ(::chmod(tmp_.path().c_str(), 0755), 0);
    RunOptions as_nobody;
    as_nobody.uid = kNobody;
    as_nobody.gid = kNogroup;
    const RunResult run = dvcp({"if=" + src_, "of=" + dst_}, as_nobody);
    EXPECT_EXIT_STATUS(run, 0);
    const auto st = lstat_path(dst_ + "/prog");
    EXPECT_EQ(st.uid, kNobody);
    EXPECT_EQ(st.mode & 07777, 0755u);
}

// ---------------------------------------------------------------------------------------
// Failures are not successes.

// A source directory that became a file cannot be written over the destination's directory (a
// sync never deletes directories): a failed file on every run, never a silent success.
TEST_F(DvcpSafety, SourceDirectoryReplacedByAFileIsAFailedFile) {
    make_tree(src_, {Node::file("x/inner", "i"), Node::file("y", "y")});
    ASSERT_EXIT_OK(dvcp({"mode=sync", "if=" + src_, "of=" + dst_}));
    remove_all(src_ + "/x");
    write_file(src_ + "/x", "now a file");
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const RunResult run = dvcp({"mode=sync", "if=" + src_, "of=" + dst_});
        EXPECT_EXIT_STATUS(run, 8);
        EXPECT_EQ(read_file(dst_ + "/x/inner"), "i");
    }
}

// The list shows names exactly as stored and tells a file named "a -> b" from a link a to b.
TEST_F(DvcpSafety, ListLinesAreUnambiguous) {
    make_tree(src_, {Node::file("a\\b", "1"), Node::file("a/b", "2"), Node::file("l -> t", "3"),
                     Node::link("l", "t"), Node::dir("d -> e")});
    const std::string list = tmp_ / "list";
    const RunResult run = dvcp({"mode=ls", "if=" + src_, "olist=" + list});
    EXPECT_EXIT_STATUS(run, 0);
    const std::string text = read_file(list);
    for (const std::string& line : {src_ + "/a\\b\n", src_ + "/a/b\n", src_ + "/l -> t\t\n",
                                    src_ + "/l -> t\n", src_ + "/d -> e/\t\n", src_ + "/a/\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << printable(line) << " in\n"
                                                      << printable(text);
    }
}

}  // namespace
}  // namespace systest
