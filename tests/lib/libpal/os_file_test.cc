#include "libpal/os_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "lib/test_support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using dvtest::read_file;

struct file_closer {
    void operator()(os_file* f) const { os_file_close(f); }
};
using file_ptr = std::unique_ptr<os_file, file_closer>;

class OsFile : public testing::Test {
  protected:
    void SetUp() override {
        char cwd[PATH_MAX];
        ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
        cwd_ = cwd;
        old_umask_ = umask(022);
    }
    void TearDown() override {
        umask(old_umask_);
        ASSERT_EQ(chdir(cwd_.c_str()), 0);
    }
    std::string at(const std::string& name) const { return tmp_.at(name); }

    dvtest::TempDir tmp_{"os_file_test"};
    std::string dir_ = tmp_.path();
    std::string cwd_;
    mode_t old_umask_ = 022;
};

TEST_F(OsFile, WriteReadPositionAndSize) {
    file_ptr f(os_file_open(at("f").c_str(), O_RDWR | O_CREAT | O_TRUNC));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(os_file_write(f.get(), "hello world", 11), 11);
    EXPECT_EQ(os_file_offset(f.get()), 11);
    EXPECT_EQ(os_file_size(f.get()), 11);
    EXPECT_EQ(os_file_pwrite(f.get(), "W", 1, 6), 1);
    EXPECT_EQ(os_file_offset(f.get()), 11);  // pwrite leaves the position

    char buf[32] = {};
    EXPECT_EQ(os_file_pread(f.get(), buf, 5, 6), 5);
    EXPECT_STREQ(buf, "World");
    EXPECT_EQ(os_file_seek(f.get(), 0, SEEK_SET), 0);
    EXPECT_EQ(os_file_read(f.get(), buf, sizeof(buf)), 11);
    EXPECT_EQ(std::string(buf, 11), "hello World");
    EXPECT_EQ(os_file_read(f.get(), buf, sizeof(buf)), 0);  // end of file

    EXPECT_EQ(os_file_seek(f.get(), -5, SEEK_END), 6);
    EXPECT_EQ(os_file_ftruncate(f.get(), 5), 0);
    EXPECT_EQ(os_file_size(f.get()), 5);
    EXPECT_EQ(os_file_sync(f.get()), 0);
    // Offsets beyond 4 GiB make a sparse file.
    const int64_t far = int64_t{5} << 30;
    EXPECT_EQ(os_file_pwrite(f.get(), "z", 1, far), 1);
    EXPECT_EQ(os_file_size(f.get()), far + 1);
    EXPECT_EQ(os_file_close(f.release()), 0);
    EXPECT_EQ(fs::file_size(at("f")), static_cast<uintmax_t>(far + 1));
}

TEST_F(OsFile, VectoredReadAndWrite) {
    file_ptr f(os_file_open(at("v").c_str(), O_RDWR | O_CREAT | O_TRUNC));
    ASSERT_NE(f, nullptr);
    std::string big(1 << 20, 'b');
    char a[] = "aaa";
    struct iovec out[] = {{a, 3}, {nullptr, 0}, {big.data(), big.size()}};
    EXPECT_EQ(os_file_writev(f.get(), out, 3), static_cast<ssize_t>(3 + big.size()));
    EXPECT_EQ(os_file_size(f.get()), static_cast<int64_t>(3 + big.size()));

    ASSERT_EQ(os_file_seek(f.get(), 0, SEEK_SET), 0);
    char x[2], y[4];
    struct iovec in[] = {{x, 2}, {y, 4}};
    EXPECT_EQ(os_file_readv(f.get(), in, 2), 6);
    EXPECT_EQ(std::string(x, 2) + std::string(y, 4), "aaabbb");
}

TEST_F(OsFile, CreateModesAndOpenFailures) {
    file_ptr plain(os_file_open(at("plain").c_str(), O_WRONLY | O_CREAT));
    ASSERT_NE(plain, nullptr);
    file_ptr secret(os_file_open_mode(at("secret").c_str(), O_WRONLY | O_CREAT, 0600));
    ASSERT_NE(secret, nullptr);
    struct stat st;
    ASSERT_EQ(stat(at("plain").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ASSERT_EQ(stat(at("secret").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    errno = 0;
    EXPECT_EQ(os_file_open(at("missing").c_str(), O_RDONLY), nullptr);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(os_file_open(at("plain").c_str(), O_WRONLY | O_CREAT | O_EXCL), nullptr);
    EXPECT_EQ(errno, EEXIST);
    errno = 0;
    EXPECT_EQ(os_file_open(nullptr, O_RDONLY), nullptr);
    EXPECT_EQ(errno, EINVAL);

    // A handle opened read-only refuses writes with the system's reason.
    file_ptr ro(os_file_open(at("plain").c_str(), O_RDONLY));
    ASSERT_NE(ro, nullptr);
    errno = 0;
    EXPECT_EQ(os_file_write(ro.get(), "x", 1), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(OsFile, TypedPathIsNormalisedRawPathIsNot) {
    const std::string typed = "'file://" + dir_ + "\\\\sub\\f'";
    ASSERT_EQ(mkdir(at("sub").c_str(), 0755), 0);
    file_ptr f(os_file_open(typed.c_str(), O_WRONLY | O_CREAT));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::string(os_file_path(f.get())), dir_ + "/sub/f");
    EXPECT_TRUE(fs::exists(at("sub/f")));

    // Raw: a file named "a\b" beside the directory "a" holding "b".
    ASSERT_EQ(mkdir(at("a").c_str(), 0755), 0);
    file_ptr inner(os_file_open(at("a/b").c_str(), O_WRONLY | O_CREAT));
    ASSERT_NE(inner, nullptr);
    ASSERT_EQ(os_file_write(inner.get(), "inner", 5), 5);
    file_ptr outer(os_file_open_raw(path_join_raw(dir_, "a\\b").c_str(), O_WRONLY | O_CREAT));
    ASSERT_NE(outer, nullptr);
    ASSERT_EQ(os_file_write(outer.get(), "outer", 5), 5);
    file_ptr quoted(
        os_file_open_mode_raw(path_join_raw(dir_, "'q' ").c_str(), O_WRONLY | O_CREAT, 0600));
    ASSERT_NE(quoted, nullptr);
    inner.reset();
    outer.reset();
    quoted.reset();
    EXPECT_EQ(read_file(at("a/b")), "inner");
    EXPECT_EQ(read_file(at("a\\b")), "outer");
    EXPECT_TRUE(fs::exists(at("'q' ")));

    // Raw, "\dev\null" is an ordinary relative file name, not the null device.
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    file_ptr not_dev(os_file_open_raw("\\dev\\null", O_WRONLY | O_CREAT));
    ASSERT_NE(not_dev, nullptr);
    EXPECT_EQ(os_file_write(not_dev.get(), "kept", 4), 4);
    not_dev.reset();
    EXPECT_EQ(read_file(at("\\dev\\null")), "kept");
}

TEST_F(OsFile, NullDevice) {
    for (const char* path : {"/dev/null", "\\dev\\null", "file:///dev/null"}) {
        file_ptr f(os_file_open(path, O_RDWR));
        ASSERT_NE(f, nullptr) << path;
        EXPECT_EQ(os_file_write(f.get(), "dropped", 7), 7);
        char buf[4];
        EXPECT_EQ(os_file_read(f.get(), buf, sizeof(buf)), 0);
        EXPECT_EQ(os_file_pwrite(f.get(), "x", 1, 100), 1);
        EXPECT_EQ(os_file_size(f.get()), 0);
        // A driver without the operation: assertion failure and -1.
        errno = 0;
        EXPECT_EQ(os_file_ftruncate(f.get(), 0), -1);
        EXPECT_EQ(errno, EOPNOTSUPP);
    }
}

TEST_F(OsFile, ZeroAndRandomSources) {
    file_ptr zero(os_file_open("/dev/zero", O_RDONLY));
    ASSERT_NE(zero, nullptr);
    std::vector<char> buf(4096, 'x');
    EXPECT_EQ(os_file_read(zero.get(), buf.data(), buf.size()), 4096);
    EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](char c) { return c == 0; }));
    errno = 0;
    EXPECT_EQ(os_file_write(zero.get(), "x", 1), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);

    file_ptr rnd(os_file_open("/dev/random", O_RDONLY));
    ASSERT_NE(rnd, nullptr);
    std::vector<char> r1(4096), r2(4096);
    EXPECT_EQ(os_file_read(rnd.get(), r1.data(), r1.size()), 4096);
    char small[2];
    struct iovec iov[] = {{r2.data(), 4000}, {small, 2}};
    EXPECT_EQ(os_file_readv(rnd.get(), iov, 2), 4002);
    EXPECT_NE(r1, r2);
    EXPECT_FALSE(std::all_of(r1.begin(), r1.end(), [](char c) { return c == 0; }));
    errno = 0;
    EXPECT_EQ(os_file_set_attr(rnd.get(), nullptr), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
}

// Puts a pipe in place of a standard stream for the test's duration.
class stream_swap final {
  public:
    stream_swap(int target, int replacement) : target_(target), saved_(dup(target)) {
        dup2(replacement, target);
    }
    ~stream_swap() {
        dup2(saved_, target_);
        close(saved_);
    }
    stream_swap(const stream_swap&) = delete;
    stream_swap& operator=(const stream_swap&) = delete;

  private:
    int target_;
    int saved_;
};

TEST_F(OsFile, StandardStreamsAreUsedButNeverClosed) {
    int in_pipe[2], out_pipe[2];
    ASSERT_EQ(pipe(in_pipe), 0);
    ASSERT_EQ(pipe(out_pipe), 0);
    {
        stream_swap in(STDIN_FILENO, in_pipe[0]);
        stream_swap out(STDOUT_FILENO, out_pipe[1]);
        ASSERT_EQ(write(in_pipe[1], "from stdin", 10), 10);

        file_ptr f_in(os_file_open("\\dev\\stdin", O_RDONLY));
        ASSERT_NE(f_in, nullptr);
        char buf[16] = {};
        EXPECT_EQ(os_file_read(f_in.get(), buf, sizeof(buf)), 10);
        EXPECT_STREQ(buf, "from stdin");
        EXPECT_EQ(os_file_close(f_in.release()), 0);
        EXPECT_NE(fcntl(STDIN_FILENO, F_GETFD), -1);

        file_ptr f_out(os_file_open("/dev/stdout", O_WRONLY | O_CREAT | O_TRUNC));
        ASSERT_NE(f_out, nullptr);
        EXPECT_EQ(os_file_write(f_out.get(), "to stdout", 9), 9);
        errno = 0;
        EXPECT_EQ(os_file_ftruncate(f_out.get(), 0), -1);
        EXPECT_EQ(errno, EOPNOTSUPP);
        char got[16] = {};
        EXPECT_EQ(read(out_pipe[0], got, sizeof(got)), 9);
        EXPECT_STREQ(got, "to stdout");

        // With a time-out, a stream whose reader stalls gives up instead of blocking;
        // the stream itself stays blocking.
        ASSERT_EQ(os_file_read_write_timeout(f_out.get(), 0, 50), 0);
        const int size = fcntl(out_pipe[1], F_GETPIPE_SZ);
        std::vector<char> block(static_cast<size_t>(size) + 100, 'p');
        struct iovec iov[] = {{block.data(), block.size()}};
        EXPECT_EQ(os_file_writev(f_out.get(), iov, 1), size);
        EXPECT_EQ(fcntl(STDOUT_FILENO, F_GETFL) & O_NONBLOCK, 0);
        EXPECT_EQ(os_file_close(f_out.release()), 0);
        EXPECT_NE(fcntl(STDOUT_FILENO, F_GETFD), -1);
    }
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1]}) close(fd);
}

TEST_F(OsFile, ReadAndWriteTimeOuts) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    file_ptr r(os_file_open(("/proc/self/fd/" + std::to_string(fds[0])).c_str(), O_RDONLY));
    file_ptr w(os_file_open(("/proc/self/fd/" + std::to_string(fds[1])).c_str(), O_WRONLY));
    ASSERT_NE(r, nullptr);
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(os_file_read_write_timeout(r.get(), 50, 0), 0);
    ASSERT_EQ(os_file_read_write_timeout(w.get(), 0, 50), 0);

    char buf[8];
    errno = 0;
    EXPECT_EQ(os_file_read(r.get(), buf, sizeof(buf)), -1);  // nothing written yet
    EXPECT_EQ(errno, ETIMEDOUT);

    // Fill the pipe: the write that finds no room at all times out, and a write
    // that got part of its data out reports that part.
    const int size = fcntl(fds[1], F_GETPIPE_SZ);
    ASSERT_GT(size, 0);
    std::vector<char> block(static_cast<size_t>(size) + 100, 'p');
    EXPECT_EQ(os_file_write(w.get(), block.data(), block.size()), size);
    errno = 0;
    EXPECT_EQ(os_file_write(w.get(), "x", 1), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(os_file_read(r.get(), buf, sizeof(buf)), 8);

    // A handle the caller opened non-blocking stays so after its time-outs go.
    file_ptr nb(
        os_file_open(("/proc/self/fd/" + std::to_string(fds[0])).c_str(), O_RDONLY | O_NONBLOCK));
    ASSERT_NE(nb, nullptr);
    std::vector<char> drain(block.size());
    ASSERT_EQ(os_file_read(nb.get(), drain.data(), drain.size()), size - 8);
    ASSERT_EQ(os_file_read_write_timeout(nb.get(), 50, 0), 0);
    ASSERT_EQ(os_file_read_write_timeout(nb.get(), 0, 0), 0);
    errno = 0;
    EXPECT_EQ(os_file_read(nb.get(), buf, sizeof(buf)), -1);
    EXPECT_EQ(errno, EAGAIN);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(OsFile, SetAttrOnTheOpenFile) {
    file_ptr f(os_file_open(at("f").c_str(), O_WRONLY | O_CREAT));
    ASSERT_NE(f, nullptr);
    os_attr attr = {};
    attr.mode = S_IFREG | 0640;
    attr.uid = geteuid();
    attr.gid = getegid();
    attr.atime = 1500000000;
    attr.mtime = 1600000000;
    EXPECT_EQ(os_file_set_attr(f.get(), &attr), 0);
    struct stat st;
    ASSERT_EQ(stat(at("f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1600000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 0);
    EXPECT_EQ(st.st_atim.tv_sec, 1500000000);

    if (geteuid() == 0) {
        attr.mode = 06755;  // special bits survive the change of owner
        attr.uid = 1234;
        attr.gid = 2345;
        EXPECT_EQ(os_file_set_attr(f.get(), &attr), 0);
        ASSERT_EQ(stat(at("f").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 2345u);
        EXPECT_EQ(st.st_mode & 07777, 06755u);
    }

    attr.flags = OS_ATTR_NO_POSIX_MODE;
    attr.attr = 0604;
    attr.uid = 0;
    attr.gid = 0;
    EXPECT_EQ(os_file_set_attr(f.get(), &attr), 0);
    ASSERT_EQ(stat(at("f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_gid, getegid());
}

TEST_F(OsFile, MissingHandleIsRefused) {
    char buf[1];
    errno = 0;
    EXPECT_EQ(os_file_read(nullptr, buf, 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(os_file_size(nullptr), -1);
    EXPECT_EQ(os_file_read_write_timeout(nullptr, 1, 1), -1);
    EXPECT_EQ(os_file_close(nullptr), 0);
}

TEST_F(OsFile, IoctlReachesTheDescriptor) {
    file_ptr f(os_file_open(at("f").c_str(), O_RDWR | O_CREAT));
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(os_file_write(f.get(), "abc", 3), 3);
    int pending = -1;
    // FIONREAD on a regular file gives the bytes from the position to the end.
    ASSERT_EQ(os_file_seek(f.get(), 1, SEEK_SET), 1);
    EXPECT_EQ(os_file_ioctl(f.get(), FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 2);
    file_ptr null(os_file_open("/dev/null", O_RDWR));
    errno = 0;
    EXPECT_EQ(os_file_ioctl(null.get(), FIONREAD, &pending), -1);
    EXPECT_EQ(errno, EOPNOTSUPP);
}

}  // namespace
