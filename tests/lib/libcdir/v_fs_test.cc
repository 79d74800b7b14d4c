// Local file operations of the engine on real files in a temporary directory.
#include "libcdir/v_fs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "lib/test_support/temp_dir.h"
#include "libcdir/work.h"

namespace fs = std::filesystem;

namespace {

using dvtest::read_file;
using dvtest::write_file;

std::string random_bytes(size_t n) {
    std::mt19937 gen(42);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen());
    return s;
}

void set_times(const std::string& path, int64_t atime, int64_t mtime) {
    timespec t[2] = {{atime, 0}, {mtime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW), 0) << path;
}

class LocalFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        job_.bs = 64 * 1024;
        job_.trans_buf.reset(new char[job_.bs + 1]);
        set_ = cdir_set_ref::create();
        ASSERT_TRUE(set_);
    }
    std::string path(const std::string& name) const { return tmp_.at(name); }

    // Copies `src` over `dst` in a child that has become `user`, as an unprivileged run would;
    // the copy must have succeeded.
    void copy_as(const passwd& user, const mstat_item& e, const std::string& src,
                 const std::string& dst) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (setgid(user.pw_gid) != 0 || setuid(user.pw_uid) != 0) _exit(2);
            cdir_copy_file(&job_, e, src.c_str(), dst.c_str());
            _exit(job_.st.file_open_count == 1 ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }

    // The entry a listing of `name` would carry (owner, mode, size and times from lstat).
    const mstat_item& entry_of(const std::string& name, std::string_view link = {}) {
        struct stat st;
        EXPECT_EQ(lstat(path(name).c_str(), &st), 0) << name;
        mstat_item e{};
        e.type = S_ISDIR(st.st_mode) ? RDIR_TYPE_DIR : RDIR_TYPE_OTHER;
        if (S_ISLNK(st.st_mode)) e.type = RDIR_TYPE_LINK | RDIR_TYPE_OTHER;
        e.mode = st.st_mode;
        e.attr = RDIR_ATTR_POSIX;
        e.uid = st.st_uid;
        e.gid = st.st_gid;
        e.size = S_ISLNK(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
        e.atime = st.st_atim.tv_sec;
        e.mtime = st.st_mtim.tv_sec;
        e.ctime = st.st_ctim.tv_sec;
        mstat_item* stored = mstat_cp_alloc(set_.get(), &e, name, link);
        EXPECT_NE(stored, nullptr);
        return *stored;
    }

    dvtest::TempDir tmp_{"cdir_vfs"};
    std::string dir_ = tmp_.path();
    libcdir_ctx job_;
    cdir_set_ref set_;
};

class CopyFile : public LocalFiles, public ::testing::WithParamInterface<bool> {};

TEST_P(CopyFile, ContentModeAndTimesArrive) {
    job_.no_copy_range = GetParam();
    const std::string data = random_bytes(200 * 1024 + 17);  // several blocks of bs
    write_file(path("src"), data);
    ASSERT_EQ(chmod(path("src").c_str(), 0640), 0);
    set_times(path("src"), 1000000000, 1500000000);
    const mstat_item& e = entry_of("src");

    EXPECT_EQ(cdir_copy_file(&job_, e, path("src").c_str(), path("sub/dir/dst").c_str()), 0);

    struct stat st;  // before reading it back, which moves its access time
    ASSERT_EQ(stat(path("sub/dir/dst").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);
    EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
    EXPECT_EQ(read_file(path("sub/dir/dst")), data);
    EXPECT_EQ(job_.st.file_open_count, 1u);
    EXPECT_EQ(job_.st.total_read, data.size());
    EXPECT_EQ(job_.st.total_write, data.size());
    EXPECT_EQ(job_.st.o_file_fail_count + job_.st.i_file_fail_count, 0u);
}

INSTANTIATE_TEST_SUITE_P(CopyRangeAndReadWrite, CopyFile, ::testing::Bool());

TEST_F(LocalFiles, CopyReplacesDestinationLinkInsteadOfWritingThroughIt) {
    write_file(path("victim"), "keep me");
    write_file(path("src"), "new content");
    ASSERT_EQ(symlink("victim", path("dst").c_str()), 0);
    EXPECT_EQ(cdir_copy_file(&job_, entry_of("src"), path("src").c_str(), path("dst").c_str()), 0);
    EXPECT_EQ(read_file(path("victim")), "keep me");
    struct stat st;
    ASSERT_EQ(lstat(path("dst").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read_file(path("dst")), "new content");
}

TEST_F(LocalFiles, CopyReplacesDestinationFifoWithoutBlocking) {
    write_file(path("src"), "data");
    ASSERT_EQ(mkfifo(path("dst").c_str(), 0644), 0);
    EXPECT_EQ(cdir_copy_file(&job_, entry_of("src"), path("src").c_str(), path("dst").c_str()), 0);
    struct stat st;
    ASSERT_EQ(lstat(path("dst").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read_file(path("dst")), "data");
}

TEST_F(LocalFiles, SourceShorterThanListedGivesWhatIsThere) {
    write_file(path("src"), "0123456789");
    set_times(path("src"), 1000, 2000);
    mstat_item e = entry_of("src");
    e.size = 100000;  // listed before it shrank
    EXPECT_EQ(cdir_copy_file(&job_, e, path("src").c_str(), path("dst").c_str()), 0);
    EXPECT_EQ(read_file(path("dst")), "0123456789");
    struct stat st;
    ASSERT_EQ(stat(path("dst").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 2000);
    EXPECT_EQ(job_.st.file_open_count, 1u);
}

TEST_F(LocalFiles, FailedWriteLeavesNoPartialFile) {
    const std::string data = random_bytes(300 * 1024);
    write_file(path("src"), data);
    const mstat_item& e = entry_of("src");
    // The file size limit makes the destination fail part way; a child process keeps it apart.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit lim{100 * 1024, 100 * 1024};
        setrlimit(RLIMIT_FSIZE, &lim);
        cdir_copy_file(&job_, e, path("src").c_str(), path("dst").c_str());
        bool counted = job_.st.o_file_fail_count == 1 && job_.st.file_open_count == 0;
        _exit(counted ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failure not counted";
    EXPECT_FALSE(fs::exists(path("dst"))) << "a partial copy was left behind";
}

TEST_F(LocalFiles, ReadOnlyDestinationOfAnUnprivilegedUserIsReplaced) {
    passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root to become nobody";
    write_file(path("src"), "version 2");
    write_file(path("dst"), "version 1");
    ASSERT_EQ(chmod(path("dst").c_str(), 0444), 0);
    for (const char* p : {"", "/src", "/dst"}) {
        ASSERT_EQ(chown((dir_ + p).c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    }
    const mstat_item& e = entry_of("src");
    ASSERT_NO_FATAL_FAILURE(copy_as(*nobody, e, path("src"), path("dst")));
    EXPECT_EQ(read_file(path("dst")), "version 2");
}

// The copy sets only what differs from the file it opened; whatever the destination had before,
// it ends with the source's mode and owner.
TEST_F(LocalFiles, ModeAndOwnerArriveWhateverTheDestinationHad) {
    passwd* nobody = getpwnam("nobody");
    const bool root = geteuid() == 0 && nobody != nullptr;
    struct Case {
        const char* name;
        mode_t src_mode;
        mode_t old_dst_mode;   // 0: no destination yet
        bool old_dst_foreign;  // the old destination belongs to nobody (root only)
    };
    const Case cases[] = {
        {"new_default_mode", 0644, 0, false},        {"new_private", 0600, 0, false},
        {"wider_than_before", 0644, 0600, false},    {"narrower_than_before", 0600, 0666, false},
        {"same_mode_other_owner", 0644, 0644, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.old_dst_foreign && !root) continue;
        const std::string src = path(std::string(c.name) + ".src");
        const std::string dst = path(std::string(c.name) + ".dst");
        write_file(src, c.name);
        ASSERT_EQ(chmod(src.c_str(), c.src_mode), 0);
        if (c.old_dst_mode != 0) {
            write_file(dst, "older and longer content");
            ASSERT_EQ(chmod(dst.c_str(), c.old_dst_mode), 0);
            if (c.old_dst_foreign) {
                ASSERT_EQ(chown(dst.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
            }
        }
        const mstat_item& e = entry_of(std::string(c.name) + ".src");
        EXPECT_EQ(cdir_copy_file(&job_, e, src.c_str(), dst.c_str()), 0);
        struct stat st;
        ASSERT_EQ(lstat(dst.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.src_mode);
        EXPECT_EQ(st.st_uid, e.uid);
        EXPECT_EQ(st.st_gid, e.gid);
        EXPECT_EQ(read_file(dst), c.name);
    }
}

// Rewriting a set-user-id file clears that bit for an unprivileged writer; the copy must set it
// again.
TEST_F(LocalFiles, SetUserIdSurvivesRewriteByAnUnprivilegedOwner) {
    passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root to become nobody";
    write_file(path("src"), "new program");
    write_file(path("dst"), "old program");
    for (const char* p : {"", "/src", "/dst"}) {
        ASSERT_EQ(chown((dir_ + p).c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    }
    ASSERT_EQ(chmod(path("src").c_str(), 04755), 0);
    ASSERT_EQ(chmod(path("dst").c_str(), 04755), 0);
    const mstat_item& e = entry_of("src");
    ASSERT_NO_FATAL_FAILURE(copy_as(*nobody, e, path("src"), path("dst")));
    struct stat st;
    ASSERT_EQ(lstat(path("dst").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 04755u);
    EXPECT_EQ(read_file(path("dst")), "new program");
}

TEST_F(LocalFiles, MissingSourceIsCountedOnTheInputSide) {
    write_file(path("src"), "x");
    const mstat_item& e = entry_of("src");
    ASSERT_EQ(unlink(path("src").c_str()), 0);
    EXPECT_EQ(cdir_copy_file(&job_, e, path("src").c_str(), path("dst").c_str()), -1);
    EXPECT_EQ(job_.st.i_file_fail_count, 1u);
    EXPECT_EQ(job_.st.o_file_fail_count, 0u);
    EXPECT_FALSE(fs::exists(path("dst")));
    EXPECT_EQ(job_.error_stop.load(), 0u);  // file not found does not stop a job
}

TEST_F(LocalFiles, DestinationDirectoryInTheWayIsAnOutputFailure) {
    write_file(path("src"), "x");
    ASSERT_EQ(mkdir(path("dst").c_str(), 0755), 0);
    EXPECT_EQ(cdir_copy_file(&job_, entry_of("src"), path("src").c_str(), path("dst").c_str()), -1);
    EXPECT_EQ(job_.st.o_file_fail_count, 1u);
    EXPECT_TRUE(fs::is_directory(path("dst")));
}

TEST_F(LocalFiles, LinkIsRecreatedWithItsRawTextReplacingAFile) {
    const std::string texts[] = {"../a\\b", " lead/\"q\"", "/abs/target"};
    int n = 0;
    for (const std::string& text : texts) {
        std::string name = "l" + std::to_string(n++);
        ASSERT_EQ(symlink(text.c_str(), path(name).c_str()), 0);
        set_times(path(name), 3000, 4000);
        const mstat_item& e = entry_of(name, text);
        write_file(path(name + ".dst"), "old file");
        EXPECT_EQ(cdir_create_file(&job_, e, path(name + ".dst").c_str()), 0);
        char buf[256];
        ssize_t len = readlink(path(name + ".dst").c_str(), buf, sizeof(buf));
        ASSERT_GT(len, 0);
        EXPECT_EQ(std::string(buf, static_cast<size_t>(len)), text);
        struct stat st;
        ASSERT_EQ(lstat(path(name + ".dst").c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, 4000);
    }
    EXPECT_EQ(job_.st.file_open_count, 3u);
}

TEST_F(LocalFiles, LinkToDirectoryReplacesAnEmptyDirectory) {
    ASSERT_EQ(mkdir(path("target").c_str(), 0755), 0);
    ASSERT_EQ(symlink("target", path("ldir").c_str()), 0);
    mstat_item e = entry_of("ldir", "target");
    e.type = RDIR_TYPE_LINK | RDIR_TYPE_DIR;
    ASSERT_EQ(mkdir(path("out").c_str(), 0755), 0);
    EXPECT_EQ(cdir_create_file(&job_, e, path("out").c_str()), 0);
    struct stat st;
    ASSERT_EQ(lstat(path("out").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(LocalFiles, EmptyFileGetsItsTimesWithoutReading) {
    write_file(path("empty"), "");
    set_times(path("empty"), 5000, 6000);
    ASSERT_EQ(chmod(path("empty").c_str(), 0600), 0);
    write_file(path("dst"), "previous content");
    EXPECT_EQ(cdir_l_copy(&job_, entry_of("empty"), path("empty").c_str(), path("dst").c_str()), 0);
    struct stat st;
    ASSERT_EQ(stat(path("dst").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 6000);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(job_.st.total_read, 0u);
}

TEST_F(LocalFiles, ReadOnlyDirectoryStaysWritableUntilItsTimesAreSet) {
    ASSERT_EQ(mkdir(path("srcdir").c_str(), 0555), 0);
    set_times(path("srcdir"), 7000, 8000);
    const mstat_item& e = entry_of("srcdir");
    const std::string out = path("a/b/outdir");
    EXPECT_EQ(cdir_l_create_dir(&job_, out.c_str(), e), 0);
    // Files copied into the directory after its creation must be writable, for any user.
    struct stat st;
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & S_IRWXU, static_cast<mode_t>(S_IRWXU));
    write_file(out + "/file", "x");

    job_.src.root = path("src-root");
    job_.cmp_mode = LIBCDIR_CMP_OVERWRITE;
    cdir_item item;
    item.src_path = path("src-root/outdir");
    item.dst_path = out;
    item.attr = mstat_item_attr(e);
    EXPECT_EQ(cdir_l_touch_dir(&job_, item.src_path.c_str(), item), 0);
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0555u);
    EXPECT_EQ(st.st_mtim.tv_sec, 8000);
    EXPECT_EQ(st.st_atim.tv_sec, 7000);
}

TEST_F(LocalFiles, TouchLeavesTheRootAndItemsWithoutAttributesAlone) {
    ASSERT_EQ(mkdir(path("out").c_str(), 0755), 0);
    set_times(path("out"), 100, 200);
    job_.src.root = path("src-root");
    cdir_item item;
    item.dst_path = path("out");
    item.attr.type = RDIR_TYPE_DIR;
    item.attr.mode = 040700;
    item.attr.mtime = 999999;
    item.src_path = job_.src.root;
    EXPECT_EQ(cdir_l_touch_dir(&job_, item.src_path.c_str(), item), 0);
    item.src_path = path("src-root/out");
    item.attr.type = 0;
    EXPECT_EQ(cdir_l_touch_dir(&job_, item.src_path.c_str(), item), 0);
    struct stat st;
    ASSERT_EQ(stat(path("out").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 200);
}

}  // namespace
