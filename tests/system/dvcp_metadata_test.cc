// dvcp keeps what `cp -a` keeps on a local destination: times to the nanosecond, holes, hard-link
// groups (hard_links=1), extended attributes and ACLs (xattrs=1), and fifos, sockets and devices
// (as root). Real files, the real program, and the system's own attribute tools to look.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "system/support/dvcp_test.h"
#include "system/support/process.h"
#include "system/support/report.h"
#include "system/support/tree.h"

namespace systest {
namespace {

constexpr uid_t kNobody = kNobodyUid;
constexpr gid_t kNogroup = kNogroupGid;

struct stat stat_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

class DvcpMetadata : public DvcpProcessTest {
  protected:
    // Runs a tool of the system (setfattr, getfacl, ...) that must succeed; its output.
    static std::string tool(const std::vector<std::string>& argv) {
        const RunResult r = run_program(argv);
        EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
        return r.out;
    }

    // getfattr's dump of every attribute of the entries (ACLs included), paths relative to `root`.
    static std::string attribute_dump(const std::string& root,
                                      const std::vector<std::string>& rel) {
        std::string all;
        for (const std::string& r : rel) {
            std::string dump = tool({"/usr/bin/getfattr", "--absolute-names", "-d", "-m", "-", "-e",
                                     "hex", root + "/" + r});
            all += r + ":" + dump.substr(std::min(dump.find('\n'), dump.size()));
        }
        return all;
    }

    TempDir tmp_;
    const std::string src_ = tmp_ / "src";
    const std::string dst_ = tmp_ / "dst";
};

TEST_F(DvcpMetadata, TimesArriveToTheNanosecond) {
    make_tree(src_, {Node::file("a", "a"), Node::file("sub/b", "b")});
    const timespec t[2] = {{1600000000, 123456789}, {1650000000, 987654321}};
    for (const char* rel : {"a", "sub/b"}) {
        ASSERT_EQ(::utimensat(AT_FDCWD, (src_ + "/" + rel).c_str(), t, 0), 0);
    }
    const RunResult run = dvcp({"mode=cp", "if=" + src_, "of=" + dst_});
    ASSERT_TRUE(run.exited && run.exit_code == 0) << run.describe();
    for (const char* rel : {"a", "sub/b"}) {
        SCOPED_TRACE(rel);
        const struct stat st = stat_of(dst_ + "/" + rel);
        EXPECT_EQ(st.st_mtim.tv_sec, t[1].tv_sec);
        EXPECT_EQ(st.st_mtim.tv_nsec, t[1].tv_nsec);
        EXPECT_EQ(st.st_atim.tv_sec, t[0].tv_sec);
        EXPECT_EQ(st.st_atim.tv_nsec, t[0].tv_nsec);
    }
}

TEST_F(DvcpMetadata, SparseFilesStaySparseAndAHugeHoleCostsNothing) {
    make_tree(src_, {Node::file("dense", pattern_bytes(1 << 20, 7))});
    {
        // 5 GiB that are one hole, and a file of data islands in holes.
        int fd = ::open((src_ + "/hole").c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 5LL << 30), 0);
        ::close(fd);
        fd = ::open((src_ + "/islands").c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        const std::string data = pattern_bytes(200000, 3);
        for (off_t at : {off_t{0}, off_t{10} << 20, off_t{30} << 20}) {
            ASSERT_EQ(::pwrite(fd, data.data(), data.size(), at),
                      static_cast<ssize_t>(data.size()));
        }
        ASSERT_EQ(::ftruncate(fd, 40 << 20), 0);
        ::close(fd);
    }
    const RunResult run = dvcp({"mode=cp", "if=" + src_, "of=" + dst_});
    ASSERT_TRUE(run.exited && run.exit_code == 0) << run.describe();
    for (const char* rel : {"dense", "hole", "islands"}) {
        SCOPED_TRACE(rel);
        const struct stat a = stat_of(src_ + "/" + rel);
        const struct stat b = stat_of(dst_ + "/" + rel);
        EXPECT_EQ(b.st_size, a.st_size);
        EXPECT_EQ(b.st_blocks, a.st_blocks);
    }
    EXPECT_EQ(stat_of(dst_ + "/hole").st_blocks, 0);
    EXPECT_TRUE(read_file(dst_ + "/islands") == read_file(src_ + "/islands"));
}

// Three groups of names of one file each: two in one directory, one reaching into another, and
// one with a link outside the tree (its other link is never seen).
void make_link_groups(const std::string& src) {
    make_tree(src, {Node::file("a1", "group a"), Node::file("b1", "group b"),
                    Node::file("lonely", "one of two links copied"), Node::file("plain", "p")});
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"a1", "a2"}, {"a1", "sub/a3"}, {"b1", "sub/deeper/b2"}}) {
        std::filesystem::create_directories(std::filesystem::path(src + "/" + to).parent_path());
        ASSERT_EQ(::link((src + "/" + from).c_str(), (src + "/" + to).c_str()), 0);
    }
    ASSERT_EQ(::link((src + "/lonely").c_str(), (src + "/../outside").c_str()), 0);
}

TEST_F(DvcpMetadata, HardLinkGroupsAreKeptWhenAsked) {
    ASSERT_NO_FATAL_FAILURE(make_link_groups(src_));
    for (const char* mode : {"mode=cp", "mode=sync"}) {
        SCOPED_TRACE(mode);
        remove_all(dst_);
        const RunResult run = dvcp({mode, "hard_links=1", "if=" + src_, "of=" + dst_});
        ASSERT_TRUE(run.exited && run.exit_code == 0) << run.describe();
        auto ino = [&](const std::string& rel) { return stat_of(dst_ + "/" + rel).st_ino; };
        EXPECT_EQ(ino("a2"), ino("a1"));
        EXPECT_EQ(ino("sub/a3"), ino("a1"));
        EXPECT_EQ(ino("sub/deeper/b2"), ino("b1"));
        EXPECT_NE(ino("b1"), ino("a1"));
        EXPECT_EQ(stat_of(dst_ + "/a1").st_nlink, 3u);
        EXPECT_EQ(stat_of(dst_ + "/lonely").st_nlink, 1u);
        EXPECT_EQ(stat_of(dst_ + "/plain").st_nlink, 1u);
        EXPECT_NE(ino("a1"), stat_of(src_ + "/a1").st_ino) << "the destination links the source";
        EXPECT_EQ(read_file(dst_ + "/sub/a3"), "group a");
    }
}

TEST_F(DvcpMetadata, HardLinkedFilesAreSeparateCopiesByDefault) {
    ASSERT_NO_FATAL_FAILURE(make_link_groups(src_));
    const RunResult run = dvcp({"mode=cp", "if=" + src_, "of=" + dst_});
    ASSERT_TRUE(run.exited && run.exit_code == 0) << run.describe();
    EXPECT_EQ(stat_of(dst_ + "/a1").st_nlink, 1u);
    EXPECT_NE(stat_of(dst_ + "/a2").st_ino, stat_of(dst_ + "/a1").st_ino);
}

TEST_F(DvcpMetadata, ExtendedAttributesAndAclsArriveWhenAsked) {
    make_tree(src_, {Node::file("f", "f").with_mode(0640), Node::file("plain", "p"),
                     Node::file("d/inner", "i")});
    const std::vector<std::string> entries{".", "f", "plain", "d", "d/inner"};
    tool({"/usr/bin/setfattr", "-n", "user.origin", "-v", "lab", src_ + "/f"});
    tool({"/usr/bin/setfattr", "-n", "user.bin", "-v", "0x00ff00", src_ + "/f"});
    tool({"/usr/bin/setfacl", "-m", "u:nobody:r,g:nogroup:rw", src_ + "/f"});
    tool({"/usr/bin/setfattr", "-n", "user.dir", "-v", "yes", src_ + "/d"});
    tool({"/usr/bin/setfacl", "-m", "u:nobody:rx", "-d", "-m", "u:nobody:rwx", src_ + "/d"});
    if (::geteuid() == 0) {
        tool({"/usr/bin/setfattr", "-n", "trusted.note", "-v", "t", src_ + "/f"});
    }
    const RunResult run = dvcp({"mode=cp", "xattrs=1", "if=" + src_, "of=" + dst_});
    ASSERT_TRUE(run.exited && run.exit_code == 0) << run.describe();
    EXPECT_EQ(attribute_dump(dst_, entries), attribute_dump(src_, entries));
    for (const std::string& rel : entries) {
        SCOPED_TRACE(rel);
        EXPECT_EQ(tool({"/usr/bin/getfacl", "-cp", dst_ + "/" + rel}),
                  tool({"/usr/bin/getfacl", "-cp", src_ + "/" + rel}));
        EXPECT_EQ(stat_of(dst_ + "/" + rel).st_mode, stat_of(src_ + "/" + rel).st_mode);
    }

    // Without the key, none of them.
    const std::string plain_dst = tmp_ / "plain_dst";
    const RunResult off = dvcp({"mode=cp", "if=" + src_, "of=" + plain_dst});
    ASSERT_TRUE(off.exited && off.exit_code == 0) << off.describe();
    EXPECT_EQ(tool({"/usr/bin/getfattr", "--absolute-names", "-d", "-m", "-", plain_dst + "/f"}),
              "");
}

// A sync with xattrs=1 passes on an attribute changed, added or removed and an ACL entry revoked
// on a file whose data did not change, as it passes on a mode.
TEST_F(DvcpMetadata, SyncPassesOnChangedAttributesAndAcls) {
    make_tree(src_, {Node::file("f", "f").with_mode(0640).with_times(1600000000, 1600000000),
                     Node::file("same", "s").with_times(1600000000, 1600000000)});
    const std::vector<std::string> entries{"f", "same"};
    tool({"/usr/bin/setfattr", "-n", "user.origin", "-v", "lab", src_ + "/f"});
    tool({"/usr/bin/setfattr", "-n", "user.gone", "-v", "soon", src_ + "/f"});
    tool({"/usr/bin/setfacl", "-m", "u:nobody:r", src_ + "/f"});
    RunResult run = dvcp({"mode=sync", "xattrs=1", "if=" + src_, "of=" + dst_});
    ASSERT_TRUE(run.exited && run.exit_code == 0) << run.describe();
    ASSERT_EQ(attribute_dump(dst_, entries), attribute_dump(src_, entries));

    tool({"/usr/bin/setfattr", "-n", "user.origin", "-v", "field", src_ + "/f"});
    tool({"/usr/bin/setfattr", "-n", "user.added", "-v", "new", src_ + "/f"});
    tool({"/usr/bin/setfattr", "-x", "user.gone", src_ + "/f"});
    tool({"/usr/bin/setfacl", "-x", "u:nobody", src_ + "/f"});
    run = dvcp({"mode=sync", "xattrs=1", "changes=-", "if=" + src_, "of=" + dst_});
    ASSERT_TRUE(run.exited && run.exit_code == 0) << run.describe();
    EXPECT_EQ(attribute_dump(dst_, entries), attribute_dump(src_, entries));
    EXPECT_EQ(tool({"/usr/bin/getfacl", "-cp", dst_ + "/f"}),
              tool({"/usr/bin/getfacl", "-cp", src_ + "/f"}));
    EXPECT_EQ(stat_of(dst_ + "/f").st_mode, stat_of(src_ + "/f").st_mode);
    EXPECT_EQ(run.out, "~ " + dst_ + "/f\n");

    // Nothing changed: nothing to pass on.
    run = dvcp({"mode=sync", "xattrs=1", "changes=-", "if=" + src_, "of=" + dst_});
    ASSERT_TRUE(run.exited && run.exit_code == 0) << run.describe();
    EXPECT_EQ(run.out, "");
}

// A symbolic link's own attributes come with it, as cp -a copies them (Linux allows trusted ones
// there, which need root).
TEST_F(DvcpMetadata, LinkAttributesArriveWhenAsked) {
    if (::geteuid() != 0) GTEST_SKIP() << "attributes of links are trusted ones: root only";
    make_tree(src_, {Node::link("l", "nowhere")});
    tool({"/usr/bin/setfattr", "-h", "-n", "trusted.mark", "-v", "link", src_ + "/l"});
    for (const char* mode : {"mode=cp", "mode=sync"}) {
        SCOPED_TRACE(mode);
        remove_all(dst_);
        const RunResult run = dvcp({mode, "xattrs=1", "if=" + src_, "of=" + dst_});
        ASSERT_TRUE(run.exited && run.exit_code == 0) << run.describe();
        EXPECT_EQ(
            tool({"/usr/bin/getfattr", "-h", "--only-values", "-n", "trusted.mark", dst_ + "/l"}),
            "link");
    }
}

struct node_case {
    const char* name;
    mode_t type;
    dev_t rdev;
};

const node_case kNodes[] = {{"fifo", S_IFIFO, 0},
                            {"socket", S_IFSOCK, 0},
                            {"tty", S_IFCHR, makedev(5, 0)},
                            {"loop", S_IFBLK, makedev(7, 0)}};

class DvcpSpecialFiles : public DvcpMetadata {
  protected:
    void SetUp() override {
        DvcpMetadata::SetUp();
        if (::geteuid() != 0) GTEST_SKIP() << "devices need root";
        make_tree(src_, {Node::file("regular", "r")});
        for (const node_case& c : kNodes) {
            const std::string p = src_ + "/" + c.name;
            ASSERT_EQ(::mknod(p.c_str(), c.type | 0640, c.rdev), 0) << c.name;
            ASSERT_EQ(::lchown(p.c_str(), 1234, 5678), 0);
            const timespec t[2] = {{1500000000, 1}, {1550000000, 222222222}};
            ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), t, AT_SYMLINK_NOFOLLOW), 0);
        }
    }
};

TEST_F(DvcpSpecialFiles, RootRecreatesThemAsTheyAre) {
    make_tree(dst_, {Node::file("fifo", "an old file in the way")});
    const RunResult run = dvcp({"mode=cp", "if=" + src_, "of=" + dst_});
    ASSERT_TRUE(run.exited && run.exit_code == 0) << run.describe();
    for (const node_case& c : kNodes) {
        SCOPED_TRACE(c.name);
        const struct stat st = stat_of(dst_ + "/" + c.name);
        EXPECT_EQ(st.st_mode, c.type | 0640);
        EXPECT_EQ(st.st_rdev, c.rdev);
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 5678u);
        EXPECT_EQ(st.st_mtim.tv_sec, 1550000000);
        EXPECT_EQ(st.st_mtim.tv_nsec, 222222222);
    }
    // A second sync finds them up to date and leaves them.
    const struct stat before = stat_of(dst_ + "/fifo");
    const RunResult again = dvcp({"mode=sync", "if=" + src_, "of=" + dst_});
    ASSERT_TRUE(again.exited && again.exit_code == 0) << again.describe();
    EXPECT_EQ(stat_of(dst_ + "/fifo").st_ino, before.st_ino);
}

TEST_F(DvcpSpecialFiles, AnOrdinaryUserSkipsThemNamingEachAndFails) {
    chown_tree(src_, kNobody, kNogroup);
    std::filesystem::create_directory(dst_);
    chown_tree(dst_, kNobody, kNogroup);
    RunOptions as_nobody;
    as_nobody.uid = kNobody;
    as_nobody.gid = kNogroup;
    const RunResult run = dvcp({"mode=cp", "if=" + src_, "of=" + dst_}, as_nobody);
    EXPECT_TRUE(run.exited && run.exit_code != 0) << "skipped files reported as success\n"
                                                  << run.describe();
    const Report report = Report::parse(run.err);
    EXPECT_EQ(report.number("o_file_fail_count"), static_cast<int64_t>(std::size(kNodes)))
        << run.describe();
    for (const node_case& c : kNodes) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(log_contains(run.err, src_ + "/" + c.name + "]")) << run.describe();
        EXPECT_FALSE(exists(dst_ + "/" + c.name));
    }
    EXPECT_EQ(read_file(dst_ + "/regular"), "r");
}

}  // namespace
}  // namespace systest
