// Local file operations of the engine on real files in a temporary directory.
#include "libcdir/v_fs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "lib/liblog/stderr_capture.h"
#include "lib/test_support/temp_dir.h"
#include "libcdir/work.h"
#include "libpal/os_root.h"

namespace fs = std::filesystem;

namespace {

// The data runs of a sparse file's block: zero pieces of 4 KiB (aligned to the block) stay out,
// a short tail and zeros inside a piece with data stay in.
TEST(DataRuns, LeaveOutWholeZeroPiecesOnly) {
    struct run {
        size_t at, len;
    };
    struct piece {
        size_t at, len;
    };
    struct data_case {
        const char* name;
        size_t size;
        std::vector<piece> data;  // where nonzero bytes are
        std::vector<run> want;
    };
    const data_case cases[] = {
        {"all zero", 16384, {}, {}},
        {"one byte at the start", 16384, {{0, 1}}, {{0, 4096}}},
        {"one byte in the third piece", 16384, {{8200, 1}}, {{8192, 4096}}},
        {"two runs", 20480, {{0, 5000}, {16384, 10}}, {{0, 8192}, {16384, 4096}}},
        {"short tail with data", 10000, {{9999, 1}}, {{8192, 1808}}},
        {"short tail of zeros", 10000, {{0, 1}}, {{0, 4096}}},
        {"everything", 12288, {{0, 12288}}, {{0, 12288}}},
    };
    for (const data_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<char> buf(c.size, 0);
        for (const piece& p : c.data) std::fill_n(buf.begin() + p.at, p.len, 'x');
        std::vector<std::pair<size_t, size_t>> got;
        size_t at = 0, len = 0;
        while (cdir_next_data_run(buf.data(), buf.size(), &at, &len)) {
            got.emplace_back(at, len);
            at += len;
        }
        std::vector<std::pair<size_t, size_t>> want;
        for (const run& r : c.want) want.emplace_back(r.at, r.len);
        EXPECT_EQ(got, want);
    }
}

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

// Sources live in the temporary directory itself, copies go to its subdirectory "out" under the
// same names, as the engine does it: through an open source directory and the destination writer.
class LocalFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        job_.bs = 64 * 1024;
        job_.trans_buf.reset(new char[job_.bs + 1]);
        set_ = cdir_set_ref::create();
        ASSERT_TRUE(set_);
        ASSERT_EQ(mkdir(out_.c_str(), 0755), 0);
        open_ends();
    }
    void TearDown() override {
        if (src_fd_ >= 0) close(src_fd_);
    }
    void open_ends() {
        src_fd_ = open(dir_.c_str(), O_PATH | O_DIRECTORY);
        ASSERT_GE(src_fd_, 0);
        job_.dst.root = out_;
        job_.dst.fs.reset(os_root_open(out_.c_str(), OS_ROOT_NO_SYMLINKS));
        ASSERT_TRUE(job_.dst.fs);
        ASSERT_EQ(dst_.open(job_.dst.fs.get(), "", false), 0);
    }
    std::string path(const std::string& name) const { return tmp_.at(name); }
    std::string out(const std::string& name) const { return out_ + "/" + name; }

    int copy(const mstat_item& e) {
        return cdir_l_copy(&job_, e, src_fd_, dst_, dir_.c_str(), out_.c_str());
    }

    // Copies the file `name` of the source subdirectory `sub` into the same subdirectory of
    // "out", made when missing.
    int copy_in(const std::string& sub, const std::string& name) {
        const mstat_item& e = entry_at(path(sub + "/" + name), name);
        int fd = open(path(sub).c_str(), O_PATH | O_DIRECTORY);
        EXPECT_GE(fd, 0);
        rdir_dst_dir dst;
        EXPECT_EQ(dst.open(job_.dst.fs.get(), sub, true), 0);
        int ret = cdir_l_copy(&job_, e, fd, dst, path(sub).c_str(), out(sub).c_str());
        close(fd);
        return ret;
    }

    // Copies `e` in a child that has become `user`, as an unprivileged run would; the copy must
    // have succeeded.
    void copy_as(const passwd& user, const mstat_item& e) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (setgid(user.pw_gid) != 0 || setuid(user.pw_uid) != 0) _exit(2);
            copy(e);
            _exit(job_.st.file_open_count == 1 ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }

    // The entry a listing of `name` would carry (owner, mode, size and times from lstat).
    const mstat_item& entry_of(const std::string& name, std::string_view link = {}) {
        return entry_at(path(name), name, link);
    }
    const mstat_item& entry_at(const std::string& file, const std::string& name,
                               std::string_view link = {}) {
        struct stat st;
        EXPECT_EQ(lstat(file.c_str(), &st), 0) << file;
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

    // Names in "out" other than the copies themselves: temporaries left behind.
    std::vector<std::string> leftovers() const {
        std::vector<std::string> names;
        for (const auto& it : fs::directory_iterator(out_)) {
            std::string n = it.path().filename().string();
            if (n.rfind(".dvcp.", 0) == 0) names.push_back(n);
        }
        return names;
    }

    dvtest::TempDir tmp_{"cdir_vfs"};
    std::string dir_ = tmp_.path();
    std::string out_ = tmp_.at("out");
    libcdir_ctx job_;
    cdir_set_ref set_;
    int src_fd_ = -1;
    rdir_dst_dir dst_;
};

class CopyFile : public LocalFiles, public ::testing::WithParamInterface<bool> {};

TEST_P(CopyFile, ContentModeAndTimesArrive) {
    job_.no_copy_range = GetParam();
    const std::string data = random_bytes(200 * 1024 + 17);  // several blocks of bs
    write_file(path("src"), data);
    ASSERT_EQ(chmod(path("src").c_str(), 0640), 0);
    set_times(path("src"), 1000000000, 1500000000);
    const mstat_item& e = entry_of("src");

    EXPECT_EQ(copy(e), 0);

    struct stat st;  // before reading it back, which moves its access time
    ASSERT_EQ(stat(out("src").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);
    EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
    EXPECT_EQ(read_file(out("src")), data);
    EXPECT_EQ(job_.st.file_open_count, 1u);
    EXPECT_EQ(job_.st.total_read, data.size());
    EXPECT_EQ(job_.st.total_write, data.size());
    EXPECT_EQ(job_.st.o_file_fail_count + job_.st.i_file_fail_count, 0u);
    EXPECT_TRUE(leftovers().empty());
}

INSTANTIATE_TEST_SUITE_P(CopyRangeAndReadWrite, CopyFile, ::testing::Bool());

// What stands at the destination name is replaced as a whole, never written through.
TEST_F(LocalFiles, CopyReplacesLinksFifosAndHardLinksWithoutTouchingWhatTheyReach) {
    write_file(path("victim"), "keep me");
    write_file(path("snapshot"), "old snapshot");
    struct Case {
        const char* name;
        void (*make)(const std::string& dst, const std::string& dir);
    };
    const Case cases[] = {
        {"link",
         [](const std::string& d, const std::string& dir) {
             ASSERT_EQ(symlink((dir + "/victim").c_str(), d.c_str()), 0);
         }},
        {"fifo",
         [](const std::string& d, const std::string&) { ASSERT_EQ(mkfifo(d.c_str(), 0644), 0); }},
        {"hardlink",
         [](const std::string& d, const std::string& dir) {
             ASSERT_EQ(link((dir + "/snapshot").c_str(), d.c_str()), 0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(path(c.name), std::string("new ") + c.name);
        c.make(out(c.name), dir_);
        EXPECT_EQ(copy(entry_of(c.name)), 0);
        struct stat st;
        ASSERT_EQ(lstat(out(c.name).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(read_file(out(c.name)), std::string("new ") + c.name);
    }
    EXPECT_EQ(read_file(path("victim")), "keep me");
    EXPECT_EQ(read_file(path("snapshot")), "old snapshot");
    EXPECT_EQ(job_.st.file_open_count, 3u);
}

// A destination that is the source file itself (the trees are hard-linked) is never rewritten.
TEST_F(LocalFiles, DestinationThatIsTheSourceFileIsLeftAlone) {
    const std::string data = random_bytes(100 * 1024);
    write_file(path("src"), data);
    ASSERT_EQ(link(path("src").c_str(), out("src").c_str()), 0);
    EXPECT_EQ(copy(entry_of("src")), 0);
    EXPECT_EQ(read_file(path("src")), data);
    struct stat a, b;
    ASSERT_EQ(stat(path("src").c_str(), &a), 0);
    ASSERT_EQ(stat(out("src").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(job_.st.o_file_fail_count + job_.st.i_file_fail_count, 0u);
    EXPECT_TRUE(leftovers().empty());
}

// The copy carries what the source is when it is opened, with that time: a file that changed
// since its listing must not be stamped with the listed time (a later sync would skip it).
TEST_F(LocalFiles, SourceChangedSinceListingIsCopiedAsItIsNow) {
    write_file(path("src"), "0123456789");
    set_times(path("src"), 1000, 2000);
    mstat_item e = entry_of("src");
    e.size = 100000;
    e.mtime = 1500;  // listed before it was rewritten
    EXPECT_EQ(copy(e), 0);
    EXPECT_EQ(read_file(out("src")), "0123456789");
    struct stat st;
    ASSERT_EQ(stat(out("src").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 2000);
    EXPECT_EQ(job_.st.file_open_count, 1u);
}

// A source written to while it is copied gives a mixed copy: it is counted as failed and the old
// destination stays.
TEST_F(LocalFiles, SourceChangingDuringTheCopyKeepsTheOldDestination) {
    write_file(path("src"), random_bytes(16 * 1024 * 1024));
    write_file(out("src"), "old good copy");
    const mstat_item& e = entry_of("src");
    std::atomic<bool> done{false};
    std::atomic<int> changes{0};
    const std::string src = path("src");
    std::thread writer([&] {
        int fd = open(src.c_str(), O_WRONLY);
        for (int i = 0; !done.load(); ++i) {
            char c = static_cast<char>(i);
            if (pwrite(fd, &c, 1, 0) == 1) changes.fetch_add(1);
        }
        close(fd);
    });
    while (changes.load() == 0) std::this_thread::yield();
    job_.no_copy_range = true;  // read/write: the copy takes long enough to be written into
    // On a loaded machine the writer may get no turn while one copy runs, and a copy nobody
    // wrote into is a good copy; the copy is tried again until a write lands in the middle.
    bool caught = false;
    for (int attempt = 0; attempt < 50 && !caught; ++attempt) {
        job_.st = {};
        write_file(out("src"), "old good copy");
        EXPECT_EQ(copy(e), 0);
        caught = job_.st.i_file_fail_count == 1;
    }
    done = true;
    writer.join();
    ASSERT_TRUE(caught) << "no copy saw the source change";
    EXPECT_EQ(job_.st.file_open_count, 0u);
    EXPECT_EQ(read_file(out("src")), "old good copy");
    EXPECT_TRUE(leftovers().empty());
}

// A write that fails part way (here: the file size limit) keeps the previous copy.
TEST_F(LocalFiles, FailedWriteKeepsTheOldCopyAndLeavesNoTemporary) {
    const std::string data = random_bytes(300 * 1024);
    write_file(path("src"), data);
    write_file(out("src"), "previous good copy");
    const mstat_item& e = entry_of("src");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit lim{100 * 1024, 100 * 1024};
        setrlimit(RLIMIT_FSIZE, &lim);
        copy(e);
        bool counted = job_.st.o_file_fail_count == 1 && job_.st.file_open_count == 0;
        _exit(counted ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failure not counted";
    EXPECT_EQ(read_file(out("src")), "previous good copy");
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(LocalFiles, ReadOnlyDestinationOfAnUnprivilegedUserIsReplaced) {
    passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root to become nobody";
    write_file(path("src"), "version 2");
    write_file(out("src"), "version 1");
    ASSERT_EQ(chmod(out("src").c_str(), 0444), 0);
    for (const std::string& p : {dir_, path("src"), out_, out("src")}) {
        ASSERT_EQ(chown(p.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    }
    ASSERT_NO_FATAL_FAILURE(copy_as(*nobody, entry_of("src")));
    EXPECT_EQ(read_file(out("src")), "version 2");
}

// Whatever the destination had before, it ends with the source's mode and owner.
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
        {"same_mode_other_owner", 0644, 0644, true}, {"setuid", 04755, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.old_dst_foreign && !root) continue;
        write_file(path(c.name), c.name);
        ASSERT_EQ(chmod(path(c.name).c_str(), c.src_mode), 0);
        if (c.old_dst_mode != 0) {
            write_file(out(c.name), "older and longer content");
            ASSERT_EQ(chmod(out(c.name).c_str(), c.old_dst_mode), 0);
            if (c.old_dst_foreign) {
                ASSERT_EQ(chown(out(c.name).c_str(), nobody->pw_uid, nobody->pw_gid), 0);
            }
        }
        const mstat_item& e = entry_of(c.name);
        EXPECT_EQ(copy(e), 0);
        struct stat st;
        ASSERT_EQ(lstat(out(c.name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.src_mode);
        EXPECT_EQ(st.st_uid, e.uid);
        EXPECT_EQ(st.st_gid, e.gid);
        EXPECT_EQ(read_file(out(c.name)), c.name);
    }
}

// An unprivileged copy of someone else's set-id program gets the copier as owner: the set-id
// bits must go, or the copy would run with the copier's rights for anyone.
TEST_F(LocalFiles, SetIdBitsAreDroppedWhenTheOwnerCannotBeKept) {
    passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root to become nobody";
    write_file(path("src"), "program");
    ASSERT_EQ(chmod(path("src").c_str(), 06755), 0);  // owned by root
    ASSERT_EQ(chown(dir_.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    ASSERT_EQ(chown(out_.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    ASSERT_NO_FATAL_FAILURE(copy_as(*nobody, entry_of("src")));
    struct stat st;
    ASSERT_EQ(lstat(out("src").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody->pw_uid);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
}

// The copier's own set-user-id program keeps its bit.
TEST_F(LocalFiles, SetUserIdSurvivesForAnUnprivilegedOwner) {
    passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root to become nobody";
    write_file(path("src"), "new program");
    write_file(out("src"), "old program");
    for (const std::string& p : {dir_, path("src"), out_, out("src")}) {
        ASSERT_EQ(chown(p.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    }
    ASSERT_EQ(chmod(path("src").c_str(), 04755), 0);
    ASSERT_EQ(chmod(out("src").c_str(), 04755), 0);
    ASSERT_NO_FATAL_FAILURE(copy_as(*nobody, entry_of("src")));
    struct stat st;
    ASSERT_EQ(lstat(out("src").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 04755u);
    EXPECT_EQ(read_file(out("src")), "new program");
}

TEST_F(LocalFiles, MissingSourceIsCountedOnTheInputSide) {
    write_file(path("src"), "x");
    const mstat_item& e = entry_of("src");
    ASSERT_EQ(unlink(path("src").c_str()), 0);
    EXPECT_EQ(copy(e), -1);
    EXPECT_EQ(job_.st.i_file_fail_count, 1u);
    EXPECT_EQ(job_.st.o_file_fail_count, 0u);
    EXPECT_FALSE(fs::exists(out("src")));
    EXPECT_EQ(job_.error_stop.load(), 0u);  // file not found does not stop a job
}

TEST_F(LocalFiles, DestinationDirectoryInTheWayIsAnOutputFailure) {
    write_file(path("src"), "x");
    ASSERT_EQ(mkdir(out("src").c_str(), 0755), 0);
    write_file(out("src/inside"), "kept");
    copy(entry_of("src"));
    EXPECT_EQ(job_.st.o_file_fail_count, 1u);
    EXPECT_EQ(read_file(out("src/inside")), "kept");
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(LocalFiles, LinkIsRecreatedWithItsRawTextReplacingAFile) {
    const std::string texts[] = {"../a\\b", " lead/\"q\"", "/abs/target"};
    int n = 0;
    for (const std::string& text : texts) {
        std::string name = "l" + std::to_string(n++);
        ASSERT_EQ(symlink(text.c_str(), path(name).c_str()), 0);
        set_times(path(name), 3000, 4000);
        const mstat_item& e = entry_of(name, text);
        write_file(out(name), "old file");
        EXPECT_EQ(copy(e), 0);
        char buf[256];
        ssize_t len = readlink(out(name).c_str(), buf, sizeof(buf));
        ASSERT_GT(len, 0);
        EXPECT_EQ(std::string(buf, static_cast<size_t>(len)), text);
        struct stat st;
        ASSERT_EQ(lstat(out(name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, 4000);
    }
    EXPECT_EQ(job_.st.file_open_count, 3u);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(LocalFiles, LinkToDirectoryReplacesAnEmptyDirectory) {
    ASSERT_EQ(mkdir(path("target").c_str(), 0755), 0);
    ASSERT_EQ(symlink("target", path("ldir").c_str()), 0);
    mstat_item e = entry_of("ldir", "target");
    e.type = RDIR_TYPE_LINK | RDIR_TYPE_DIR;
    ASSERT_EQ(mkdir(out("ldir").c_str(), 0755), 0);
    EXPECT_EQ(copy(e), 0);
    struct stat st;
    ASSERT_EQ(lstat(out("ldir").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// The log line of a failed destination step names the error number of the call that failed,
// not that of the cleanup after it.
TEST_F(LocalFiles, FailureLinesNameTheErrorOfTheCallThatFailed) {
    ASSERT_EQ(mkdir(path("target").c_str(), 0755), 0);
    ASSERT_EQ(symlink("target", path("ldir").c_str()), 0);
    mstat_item e = entry_of("ldir", "target");
    e.type = RDIR_TYPE_LINK | RDIR_TYPE_DIR;
    // A full directory stands there: the rename says EISDIR, removing the directory after it
    // says ENOTEMPTY.
    ASSERT_EQ(mkdir(out("ldir").c_str(), 0755), 0);
    write_file(out("ldir/inside"), "kept");
    std::string text;
    {
        StderrCapture capture;
        EXPECT_EQ(copy(e), -1);
        text = capture.text();
    }
    EXPECT_NE(text.find("os_symlink2 [" + out("ldir") +
                        "]->[target] eno=" + std::to_string(EISDIR) + " error: "),
              std::string::npos)
        << text;
    EXPECT_EQ(job_.st.o_file_fail_count, 1u);
    EXPECT_EQ(job_.last_verr.load(), VERR_IS_A_DIRECTORY);
    EXPECT_EQ(read_file(out("ldir/inside")), "kept");
}

// A first copy replaced since is no failure: the link's line says why (ESTALE) and nothing else
// is logged about that number.
TEST_F(LocalFiles, HardLinkToAReplacedFirstCopyLogsOnlyItsOwnLine) {
    write_file(path("a"), "shared");
    ASSERT_EQ(link(path("a").c_str(), path("b").c_str()), 0);
    job_.hard_links = true;
    EXPECT_EQ(copy(entry_of("a")), 0);
    // Kept under another name, so that the new file cannot get its inode number.
    ASSERT_EQ(rename(out("a").c_str(), out("a.old").c_str()), 0);
    write_file(out("a"), "someone else's file");
    std::string text;
    {
        StderrCapture capture;
        EXPECT_EQ(copy(entry_of("b")), 0);
        text = capture.text();
    }
    EXPECT_NE(text.find("link [" + out("b") + "] to [" + out("a") +
                        "] eno=" + std::to_string(ESTALE) + ", copied instead"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("unkown eno"), std::string::npos) << text;
    EXPECT_EQ(read_file(out("b")), "shared");
    EXPECT_EQ(job_.st.o_file_fail_count + job_.st.i_file_fail_count, 0u);
}

TEST_F(LocalFiles, EmptyFileReplacesAnOldOneWithItsAttributes) {
    write_file(path("empty"), "");
    set_times(path("empty"), 5000, 6000);
    ASSERT_EQ(chmod(path("empty").c_str(), 0600), 0);
    write_file(out("empty"), "previous content");
    EXPECT_EQ(copy(entry_of("empty")), 0);
    struct stat st;
    ASSERT_EQ(lstat(out("empty").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 6000);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(job_.st.total_read, 0u);
}

// A new directory is owner-only while its files are written into it, then gets its own mode
// and times.
TEST_F(LocalFiles, NewDirectoryIsPrivateUntilItsAttributesAreSet) {
    ASSERT_EQ(mkdir(path("srcdir").c_str(), 0555), 0);
    set_times(path("srcdir"), 7000, 8000);
    const mstat_item& e = entry_of("srcdir");
    EXPECT_EQ(cdir_l_create_dir(&job_, dst_, out_.c_str(), e), 0);
    struct stat st;
    ASSERT_EQ(stat(out("srcdir").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    write_file(out("srcdir/file"), "x");

    cdir_item item;
    item.dst_path = out("srcdir");
    item.attr = mstat_item_attr(e);
    EXPECT_EQ(cdir_l_touch_dir(&job_, item, true), 0);
    ASSERT_EQ(stat(out("srcdir").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0555u);
    EXPECT_EQ(st.st_mtim.tv_sec, 8000);
    EXPECT_EQ(st.st_atim.tv_sec, 7000);
}

// A link standing where a directory goes is replaced by a directory; its target is untouched.
TEST_F(LocalFiles, LinkWhereADirectoryGoesIsReplaced) {
    ASSERT_EQ(mkdir(path("outside").c_str(), 0751), 0);
    ASSERT_EQ(symlink("../outside", out("sub").c_str()), 0);
    ASSERT_EQ(mkdir(path("sub").c_str(), 0750), 0);
    EXPECT_EQ(cdir_l_create_dir(&job_, dst_, out_.c_str(), entry_of("sub")), 0);
    struct stat st;
    ASSERT_EQ(lstat(out("sub").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    ASSERT_EQ(stat(path("outside").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0751u);
}

TEST_F(LocalFiles, TouchLeavesAnOldRootAndItemsWithoutAttributesAlone) {
    ASSERT_EQ(mkdir(out("sub").c_str(), 0755), 0);
    set_times(out_, 100, 200);
    cdir_item item;
    item.dst_path = out_;
    item.is_root = true;
    item.attr.type = RDIR_TYPE_DIR;
    item.attr.mode = 040700;
    item.attr.mtime = 999999;
    EXPECT_EQ(cdir_l_touch_dir(&job_, item, true), 0);
    set_times(out("sub"), 100, 200);
    item.is_root = false;
    item.dst_path = out("sub");
    item.attr.type = 0;
    EXPECT_EQ(cdir_l_touch_dir(&job_, item, true), 0);
    struct stat st;
    ASSERT_EQ(stat(out_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 200);
    ASSERT_EQ(stat(out("sub").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 200);
}

// ---- precise times ----

TEST_F(LocalFiles, FileTimesArriveWithTheirNanoseconds) {
    write_file(path("src"), "x");
    const timespec t[2] = {{1000000000, 111111111}, {1500000000, 999999999}};
    ASSERT_EQ(utimensat(AT_FDCWD, path("src").c_str(), t, 0), 0);
    EXPECT_EQ(copy(entry_of("src")), 0);
    struct stat st;
    ASSERT_EQ(stat(out("src").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, t[1].tv_sec);
    EXPECT_EQ(st.st_mtim.tv_nsec, t[1].tv_nsec);
    EXPECT_EQ(st.st_atim.tv_sec, t[0].tv_sec);
    EXPECT_EQ(st.st_atim.tv_nsec, t[0].tv_nsec);
}

// ---- sparse files ----

// Data ranges of a source file: (offset, length) pairs, the rest of `size` is hole.
struct sparse_case {
    const char* name;
    off_t size;
    std::vector<std::pair<off_t, size_t>> data;
};

void PrintTo(const sparse_case& c, std::ostream* os) {
    *os << c.name;
}

class SparseCopy : public LocalFiles,
                   public ::testing::WithParamInterface<std::tuple<sparse_case, bool>> {};

TEST_P(SparseCopy, HolesStayHolesAndTheContentIsTheSame) {
    const sparse_case& c = std::get<0>(GetParam());
    job_.no_copy_range = std::get<1>(GetParam());
    {
        int fd = open(path("src").c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        for (const auto& [offset, length] : c.data) {
            const std::string bytes = random_bytes(length);
            ASSERT_EQ(pwrite(fd, bytes.data(), length, offset), static_cast<ssize_t>(length));
        }
        ASSERT_EQ(ftruncate(fd, c.size), 0);
        close(fd);
    }
    write_file(out("src"), random_bytes(300 * 1024));  // an old copy whose bytes must not show
    EXPECT_EQ(copy(entry_of("src")), 0);
    struct stat a, b;
    ASSERT_EQ(stat(path("src").c_str(), &a), 0);
    ASSERT_EQ(stat(out("src").c_str(), &b), 0);
    EXPECT_EQ(b.st_size, a.st_size);
    EXPECT_EQ(b.st_blocks, a.st_blocks);
    EXPECT_TRUE(read_file(out("src")) == read_file(path("src")));
    EXPECT_EQ(job_.st.o_file_fail_count + job_.st.i_file_fail_count, 0u);
    EXPECT_EQ(job_.st.file_open_count, 1u);
    EXPECT_TRUE(leftovers().empty());
}

const sparse_case kSparseCases[] = {
    {"only_hole", 64 << 20, {}},
    {"data_hole_data", 8 << 20, {{0, 100000}, {(8 << 20) - 5000, 5000}}},
    {"hole_then_data", 8 << 20, {{4 << 20, 70000}}},
    {"data_then_hole", 8 << 20, {{0, 70000}}},
    {"many_ranges", 4 << 20, {{0, 4096}, {1 << 20, 8192}, {2 << 20, 1}, {3 << 20, 65536}}},
};

INSTANTIATE_TEST_SUITE_P(Layouts, SparseCopy,
                         ::testing::Combine(::testing::ValuesIn(kSparseCases), ::testing::Bool()));

// ---- hard links ----

TEST_F(LocalFiles, HardLinkedSourceFilesAreLinkedTogetherAtTheDestination) {
    job_.hard_links = true;
    write_file(path("a"), "shared content");
    ASSERT_EQ(link(path("a").c_str(), path("b").c_str()), 0);
    ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
    ASSERT_EQ(link(path("a").c_str(), path("sub/c").c_str()), 0);
    write_file(path("single"), "alone");
    write_file(out("b"), "an old file in the way");
    EXPECT_EQ(copy(entry_of("a")), 0);
    EXPECT_EQ(copy(entry_of("single")), 0);
    EXPECT_EQ(cdir_l_hard_links_pending(&job_), 1u) << "a file with one link is remembered";
    EXPECT_EQ(copy(entry_of("b")), 0);
    EXPECT_EQ(copy_in("sub", "c"), 0);
    EXPECT_EQ(cdir_l_hard_links_pending(&job_), 0u) << "all links seen: the entry goes";

    struct stat src, a, b, c;
    ASSERT_EQ(stat(path("a").c_str(), &src), 0);
    ASSERT_EQ(stat(out("a").c_str(), &a), 0);
    ASSERT_EQ(stat(out("b").c_str(), &b), 0);
    ASSERT_EQ(stat(out("sub/c").c_str(), &c), 0);
    EXPECT_NE(a.st_ino, src.st_ino);
    EXPECT_EQ(b.st_ino, a.st_ino);
    EXPECT_EQ(c.st_ino, a.st_ino);
    EXPECT_EQ(a.st_nlink, 3u);
    EXPECT_EQ(read_file(out("b")), "shared content");
    EXPECT_EQ(job_.st.file_open_count, 4u);
    EXPECT_EQ(job_.st.o_file_fail_count + job_.st.i_file_fail_count, 0u);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(LocalFiles, HardLinksAreCopiesWhenOffOrWhenTheFirstCopyWasReplaced) {
    write_file(path("a"), "shared");
    ASSERT_EQ(link(path("a").c_str(), path("b").c_str()), 0);
    ASSERT_EQ(link(path("a").c_str(), path("c").c_str()), 0);
    EXPECT_EQ(copy(entry_of("a")), 0);
    EXPECT_EQ(copy(entry_of("b")), 0);
    EXPECT_FALSE(job_.hard_link_copies) << "nothing remembered with hard_links off";
    struct stat a, b, c;
    ASSERT_EQ(stat(out("a").c_str(), &a), 0);
    ASSERT_EQ(stat(out("b").c_str(), &b), 0);
    EXPECT_NE(a.st_ino, b.st_ino);

    // On: the first copy is replaced by something else before the next link comes.
    job_.hard_links = true;
    EXPECT_EQ(copy(entry_of("a")), 0);
    // The old copy stays alive elsewhere, so that the replacement cannot reuse its inode number.
    ASSERT_EQ(link(out("a").c_str(), path("old_a").c_str()), 0);
    ASSERT_EQ(unlink(out("a").c_str()), 0);
    write_file(out("a"), "someone else's file");
    EXPECT_EQ(copy(entry_of("c")), 0);
    ASSERT_EQ(stat(out("a").c_str(), &a), 0);
    ASSERT_EQ(stat(out("c").c_str(), &c), 0);
    EXPECT_NE(c.st_ino, a.st_ino);
    EXPECT_EQ(read_file(out("c")), "shared");
    EXPECT_EQ(read_file(out("a")), "someone else's file");
    EXPECT_EQ(job_.st.o_file_fail_count + job_.st.i_file_fail_count, 0u);
    EXPECT_TRUE(leftovers().empty());
}

// ---- extended attributes ----

std::string xattr_of(const std::string& file, const char* name) {
    char buf[1024];
    ssize_t n = lgetxattr(file.c_str(), name, buf, sizeof(buf));
    return n < 0 ? "<none>" : std::string(buf, static_cast<size_t>(n));
}

// An ACL in the kernel's format: owner rwx, user `uid` r-x, group r-x, mask r-x, other ---.
std::string acl_value(uint32_t uid) {
    struct entry {
        uint16_t tag;
        uint16_t perm;
        uint32_t id;
    };
    const uint32_t version = 2;
    const entry entries[] = {
        {0x01, 7, ~0u}, {0x02, 5, uid}, {0x04, 5, ~0u}, {0x10, 5, ~0u}, {0x20, 0, ~0u}};
    std::string v(reinterpret_cast<const char*>(&version), sizeof(version));
    v.append(reinterpret_cast<const char*>(entries), sizeof(entries));
    return v;
}

TEST_F(LocalFiles, ExtendedAttributesAndAclsOfFilesAndDirectoriesArriveWhenAsked) {
    const std::string acl = acl_value(65534);
    write_file(path("f"), "x");
    ASSERT_EQ(chmod(path("f").c_str(), 0750), 0);
    ASSERT_EQ(setxattr(path("f").c_str(), "user.origin", "lab", 3, 0), 0);
    ASSERT_EQ(setxattr(path("f").c_str(), "trusted.t", "root only", 9, 0), 0);
    ASSERT_EQ(setxattr(path("f").c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0), 0);
    ASSERT_EQ(mkdir(path("d").c_str(), 0750), 0);
    ASSERT_EQ(setxattr(path("d").c_str(), "user.dir", "yes", 3, 0), 0);
    ASSERT_EQ(setxattr(path("d").c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0),
              0);
    // The destination directory hands a default ACL down: the copy must not keep it.
    ASSERT_EQ(setxattr(out_.c_str(), "system.posix_acl_default", acl.data(), acl.size(), 0), 0);
    write_file(path("plain"), "p");
    ASSERT_EQ(chmod(path("plain").c_str(), 0640), 0);

    job_.src.root = dir_;
    job_.src.fs.reset(os_root_open(dir_.c_str(), OS_ROOT_NO_SYMLINKS));
    ASSERT_TRUE(job_.src.fs);
    job_.xattrs = true;
    EXPECT_EQ(copy(entry_of("f")), 0);
    EXPECT_EQ(copy(entry_of("plain")), 0);
    const mstat_item& d = entry_of("d");
    EXPECT_EQ(cdir_l_create_dir(&job_, dst_, out_.c_str(), d), 0);
    cdir_item item;
    item.src_path = path("d");
    item.dst_path = out("d");
    item.attr = mstat_item_attr(d);
    EXPECT_EQ(cdir_l_touch_dir(&job_, item, true), 0);

    EXPECT_EQ(xattr_of(out("f"), "user.origin"), "lab");
    EXPECT_EQ(xattr_of(out("f"), "trusted.t"), geteuid() == 0 ? "root only" : "<none>");
    EXPECT_EQ(xattr_of(out("f"), "system.posix_acl_access"), acl);
    EXPECT_EQ(xattr_of(out("plain"), "system.posix_acl_access"), "<none>");
    EXPECT_EQ(xattr_of(out("d"), "user.dir"), "yes");
    EXPECT_EQ(xattr_of(out("d"), "system.posix_acl_default"), acl);
    struct stat st;
    ASSERT_EQ(stat(out("f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    ASSERT_EQ(stat(out("plain").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(stat(out("d").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    EXPECT_EQ(job_.st.o_file_fail_count, 0u);

    // Off: the copy has none of them.
    job_.xattrs = false;
    ASSERT_EQ(setxattr(out_.c_str(), "system.posix_acl_default", "", 0, 0) == 0 ||
                  removexattr(out_.c_str(), "system.posix_acl_default") == 0,
              true);
    ASSERT_EQ(rename(path("f").c_str(), path("g").c_str()), 0);
    EXPECT_EQ(copy(entry_of("g")), 0);
    EXPECT_EQ(xattr_of(out("g"), "user.origin"), "<none>");
}

TEST_F(LocalFiles, AttributeThatCannotBeCopiedIsCountedAndNamedButTheFileArrives) {
    passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root to become nobody";
    write_file(path("src"), "program");
    for (const std::string& p : {dir_, path("src"), out_}) {
        ASSERT_EQ(chown(p.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    }
    // Only root may give a file capability (and a change of owner drops it: after the chown).
    const uint32_t caps[5] = {0x02000000, 1u << 10, 0, 0, 0};
    ASSERT_EQ(setxattr(path("src").c_str(), "security.capability", caps, sizeof(caps), 0), 0);
    const mstat_item& e = entry_of("src");
    job_.xattrs = true;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(2);
        copy(e);
        _exit(job_.st.file_open_count == 1 && job_.st.o_file_fail_count == 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "failure not counted";
    EXPECT_EQ(read_file(out("src")), "program");
}

// ---- fifos, sockets and devices ----

struct node_case {
    const char* name;
    mode_t type;
    dev_t rdev;
};

void PrintTo(const node_case& c, std::ostream* os) {
    *os << c.name;
}

class NodeCopy : public LocalFiles, public ::testing::WithParamInterface<node_case> {
  protected:
    void make_source() {
        ASSERT_EQ(mknod(path("n").c_str(), GetParam().type | 0640, GetParam().rdev), 0);
        ASSERT_EQ(chown(path("n").c_str(), 1234, 5678), 0);
        const timespec t[2] = {{1000000000, 5}, {1200000000, 123456789}};
        ASSERT_EQ(utimensat(AT_FDCWD, path("n").c_str(), t, AT_SYMLINK_NOFOLLOW), 0);
    }
};

TEST_P(NodeCopy, RootRecreatesItWithOwnerModeAndTimes) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    ASSERT_NO_FATAL_FAILURE(make_source());
    write_file(out("n"), "an old file in the way");
    EXPECT_EQ(copy(entry_of("n")), 0);
    struct stat st;
    ASSERT_EQ(lstat(out("n").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & S_IFMT, GetParam().type);
    EXPECT_EQ(st.st_rdev, GetParam().rdev);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
    EXPECT_EQ(st.st_atim.tv_nsec, 5);
    EXPECT_EQ(job_.st.file_open_count, 1u);
    EXPECT_EQ(job_.st.o_file_fail_count + job_.st.i_file_fail_count, 0u);
    EXPECT_EQ(job_.st.total_read, 0u);
    EXPECT_TRUE(leftovers().empty());
}

TEST_P(NodeCopy, OrdinaryUserSkipsItWithACountedFailure) {
    passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root to become nobody";
    ASSERT_NO_FATAL_FAILURE(make_source());
    ASSERT_EQ(chown(out_.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    const mstat_item& e = entry_of("n");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(2);
        int ret = copy(e);
        _exit(ret == 0 && job_.st.o_file_fail_count == 1 && job_.st.file_open_count == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "skip not counted";
    EXPECT_FALSE(fs::exists(fs::symlink_status(out("n"))));
}

INSTANTIATE_TEST_SUITE_P(Kinds, NodeCopy,
                         ::testing::Values(node_case{"fifo", S_IFIFO, 0},
                                           node_case{"socket", S_IFSOCK, 0},
                                           node_case{"char_device", S_IFCHR, makedev(1, 3)},
                                           node_case{"block_device", S_IFBLK, makedev(7, 0)}));

}  // namespace
