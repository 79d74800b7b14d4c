// The client library against the real dvsd on loopback: logins of every kind, files of awkward
// sizes through both packers and small blocks, directory listings, the control operations, the
// server's lister and batch worker, and a served root that nothing a client sends can leave.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lib/test_support/temp_dir.h"
#include "libdvsd/dvsd_cli.h"
#include "librdir/mfile.h"
#include "librdir/misc.h"
#include "system/support/dvsd_process.h"
#include "system/support/tree.h"

namespace {

namespace fs = std::filesystem;

constexpr int32_t kRead = 0x1;
constexpr int32_t kWrite = 0x2;
constexpr int32_t kCreate = 0x8;
constexpr int32_t kTruncate = 0x20;

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
void write_file(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

struct ctx_closer {
    void operator()(dvsd_cli_ctx* ctx) const { dvsd_cli_exit(ctx); }
};
using ctx_ptr = std::unique_ptr<dvsd_cli_ctx, ctx_closer>;

class DvsdClient : public testing::Test {
  protected:
    static void SetUpTestSuite() { dvsd_cli_init(); }
    static void TearDownTestSuite() { dvsd_cli_uninit(); }

    void SetUp() override {
        root_ = dir_.path() + "/root";
        outside_ = dir_.path() + "/outside";
        fs::create_directories(root_);
        write_file(outside_ + "/secret", "outside");
    }

    // Starts dvsd on a free loopback port with `args` after root=, listen= and port=.
    void start(std::vector<std::string> args = {"user=joe", "passwd=secret"}) {
        args.insert(args.begin(), {"root=" + root_, "listen=127.0.0.1", "port=0"});
        server_ = std::make_unique<systest::DvsdProcess>(args);
        port_ = systest::port_of(server_->first_line());
        ASSERT_GT(port_, 0);
    }
    std::string url(const std::string& credentials = "joe:secret@",
                    const std::string& options = "") const {
        return "dvp://" + credentials + "127.0.0.1:" + std::to_string(port_) + "/" +
               (options.empty() ? "" : "?" + options);
    }
    // The record of every operation's outcome is the caller's and must outlive the connection.
    ctx_ptr connect(const std::string& options = "") {
        dvsd_cli_ctx* ctx = dvsd_cli_connect(url("joe:secret@", options).c_str(), &connect_err_);
        EXPECT_NE(ctx, nullptr) << connect_err_.code << " " << connect_err_.msg;
        return ctx_ptr(ctx);
    }
    err_info connect_err_{};

    // The outside sentinel is untouched: content and mode.
    void expect_outside_untouched() {
        EXPECT_EQ(read_file(outside_ + "/secret"), "outside");
        struct stat st {};
        ASSERT_EQ(stat((outside_ + "/secret").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
    }

    systest::TempDir dir_{"dvsd-client"};
    std::string root_;
    std::string outside_;
    std::unique_ptr<systest::DvsdProcess> server_;
    int port_ = 0;
};

TEST_F(DvsdClient, PasswordLoginVersionAndInformation) {
    start();
    ctx_ptr ctx = connect();
    ASSERT_TRUE(ctx);
    EXPECT_STREQ(dvsd_cli_get_version(ctx.get()), "1.7.8");
    char info[512];
    ASSERT_EQ(dvsd_cli_info(ctx.get(), info, sizeof(info)), 0);
    EXPECT_EQ(std::string(info).rfind("ver=[1.7.8]\n", 0), 0u) << info;
    dvsd_statfs fs_info;
    ASSERT_EQ(dvsd_cli_statfs(ctx.get(), "", &fs_info), 0) << dvsd_cli_get_error_str(ctx.get());
    EXPECT_GT(fs_info.total_bytes, 0u);
    char blocks[256];
    EXPECT_EQ(dvsd_cli_lsblk(ctx.get(), blocks, sizeof(blocks)), 0);
}

// Requests posted ahead come back in the order of the posts, each with its own answer; with the
// server's offer the connection waits only when its window is full, without it (pipe=0) it works
// one exchange at a time as before.
TEST_F(DvsdClient, PostedRequestsAreAnsweredInOrderWithinTheWindow) {
    struct server_case {
        const char* name;
        std::vector<std::string> args;
        uint32_t window;
    };
    const server_case cases[] = {
        {"offered", {"user=joe", "passwd=secret"}, 64},
        {"offer narrowed", {"user=joe", "passwd=secret", "pipe=8"}, 8},
        {"not offered", {"user=joe", "passwd=secret", "pipe=0"}, 1},
    };
    constexpr int kPosts = 300;
    // The caller collects this far behind its posts: within every window, so it never fills.
    constexpr int kAhead = 4;
    for (const server_case& c : cases) {
        SCOPED_TRACE(c.name);
        server_.reset();
        start(c.args);
        ctx_ptr ctx = connect();
        ASSERT_TRUE(ctx);
        EXPECT_EQ(dvsd_cli_pipe_window(ctx.get()), c.window);
        dvsd_cli_traffic before;
        dvsd_cli_get_traffic(ctx.get(), &before);
        // Unknown controls: each answer names its own code, so an answer out of order shows.
        const std::string payload(64 << 10, 'x');
        auto collect = [&](int i) {
            EXPECT_EQ(dvsd_cli_collect_ioctl2(ctx.get(), nullptr, 0, nullptr), -1);
            EXPECT_EQ(std::string(dvsd_cli_get_error_str(ctx.get())),
                      "Unknown control " + std::to_string(30000 + i));
        };
        for (int i = 0; i < kPosts; ++i) {
            ASSERT_EQ(dvsd_cli_post_ioctl2(ctx.get(), 30000 + i, payload.data(),
                                           static_cast<uint32_t>(payload.size()), 64),
                      0)
                << i << " " << dvsd_cli_get_error_str(ctx.get());
            if (i >= kAhead) collect(i - kAhead);
        }
        for (int i = kPosts - kAhead; i < kPosts; ++i) collect(i);
        // Nothing is left posted: a plain exchange works again.
        dvsd_statfs fs_info;
        EXPECT_EQ(dvsd_cli_statfs(ctx.get(), "", &fs_info), 0) << dvsd_cli_get_error_str(ctx.get());
        dvsd_cli_traffic after;
        dvsd_cli_get_traffic(ctx.get(), &after);
        EXPECT_EQ(after.requests - before.requests, uint64_t{kPosts} + 1);
        if (c.window == 1) {
            EXPECT_EQ(after.waits - before.waits, after.requests - before.requests);
        } else {
            // Only the collects that drain the pipe at the end and the plain exchange wait.
            EXPECT_LE(after.waits - before.waits, uint64_t{kAhead} + 2);
        }
    }
}

TEST_F(DvsdClient, APlainRequestWaitsForThePostedOnesToBeCollected) {
    start();
    ctx_ptr ctx = connect();
    ASSERT_TRUE(ctx);
    ASSERT_GT(dvsd_cli_pipe_window(ctx.get()), 1u);
    ASSERT_EQ(dvsd_cli_post_ioctl2(ctx.get(), 30001, "a", DVSD_CLI_TEXT, 64), 0);
    ASSERT_EQ(dvsd_cli_post_ioctl2(ctx.get(), 30002, "b", DVSD_CLI_TEXT, 64), 0);
    EXPECT_EQ(dvsd_cli_pipe_pending(ctx.get()), 2u);
    // Its answer would be taken for the posted one's: refused, nothing sent.
    dvsd_statfs fs_info;
    EXPECT_EQ(dvsd_cli_statfs(ctx.get(), "", &fs_info), -1);
    // A refusal by the server leaves the other post in place.
    EXPECT_EQ(dvsd_cli_collect_ioctl2(ctx.get(), nullptr, 0, nullptr), -1);
    EXPECT_STREQ(dvsd_cli_get_error_str(ctx.get()), "Unknown control 30001");
    EXPECT_EQ(dvsd_cli_pipe_pending(ctx.get()), 1u);
    EXPECT_EQ(dvsd_cli_collect_ioctl2(ctx.get(), nullptr, 0, nullptr), -1);
    EXPECT_STREQ(dvsd_cli_get_error_str(ctx.get()), "Unknown control 30002");
    EXPECT_EQ(dvsd_cli_pipe_pending(ctx.get()), 0u);
    // Nothing posted: nothing to collect.
    EXPECT_EQ(dvsd_cli_collect_ioctl2(ctx.get(), nullptr, 0, nullptr), -1);
    EXPECT_EQ(dvsd_cli_statfs(ctx.get(), "", &fs_info), 0) << dvsd_cli_get_error_str(ctx.get());
}

TEST_F(DvsdClient, WrongPasswordsFailAndThreeLockTheAddress) {
    start();
    for (int i = 0; i < 3; ++i) {
        err_info err;
        EXPECT_EQ(dvsd_cli_connect(url("joe:guess@").c_str(), &err), nullptr);
        EXPECT_EQ(err.code, -38);
        EXPECT_STREQ(err.msg, "Wrong user or password");
    }
    err_info err;
    EXPECT_EQ(dvsd_cli_connect(url().c_str(), &err), nullptr);
    EXPECT_EQ(err.code, -38);
    EXPECT_NE(std::string(err.msg).find("Login failed 3 times"), std::string::npos) << err.msg;
}

TEST_F(DvsdClient, KeyAndAnonymousLogins) {
    start({"user=joe", "passwd=secret", "login=key"});
    ctx_ptr ctx = connect();
    ASSERT_TRUE(ctx);
    EXPECT_STREQ(dvsd_cli_get_version(ctx.get()), "1.7.8");
    err_info err;
    EXPECT_EQ(dvsd_cli_connect(url("joe:wrong@").c_str(), &err), nullptr);
    EXPECT_EQ(err.code, -38);

    server_.reset();
    start({"anonymous=1"});
    dvsd_cli_ctx* anonymous = dvsd_cli_connect(url("").c_str(), &err);
    ASSERT_NE(anonymous, nullptr) << err.msg;
    dvsd_cli_exit(anonymous);
}

// Passwords holding the URL's own delimiters travel %-escaped and log in.
TEST_F(DvsdClient, EscapedPasswordInTheUrl) {
    start({"user=joe", "passwd=p@ss:w/rd"});
    err_info err;
    dvsd_cli_ctx* ctx = dvsd_cli_connect(url("joe:p%40ss%3Aw%2Frd@").c_str(), &err);
    ASSERT_NE(ctx, nullptr) << err.code << " " << err.msg;
    dvsd_cli_exit(ctx);
}

struct size_case {
    size_t size;
    const char* options;
};

TEST_F(DvsdClient, FilesOfEverySizeRoundTrip) {
    start();
    const size_case cases[] = {
        {0, ""},
        {1, "pack=none"},
        {204800, ""},
        {524284, "mblock-size=64k"},
        {524285, "pack=none&mblock-size=64k"},
        {524286, ""},
        {524287, "mblock-size=100000"},
        {524288, "pack=none"},
        {524289, "mblock-size=4k"},
        {(10u << 20) + 1, ""},
        {(10u << 20) + 1, "pack=none&mblock-size=1m"},
    };
    int n = 0;
    for (const size_case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " " + c.options);
        ctx_ptr ctx = connect(c.options);
        ASSERT_TRUE(ctx);
        const std::string data = systest::pattern_bytes(c.size, c.size + n);
        const std::string name = "d" + std::to_string(n) + "/sub/f" + std::to_string(n);
        ++n;
        // Missing parents are made by the create.
        dvsd_cli_file* out = dvsd_cli_open(ctx.get(), name.c_str(), kWrite | kCreate | kTruncate);
        ASSERT_NE(out, nullptr) << dvsd_cli_get_error_str(ctx.get());
        EXPECT_EQ(dvsd_cli_write(out, data.data(), uint32_t(data.size()), DVSD_CLI_CUR_POS),
                  int64_t(data.size()))
            << dvsd_cli_get_error_str(ctx.get());
        ASSERT_EQ(dvsd_cli_close(out), 0) << dvsd_cli_get_error_str(ctx.get());
        EXPECT_TRUE(read_file(root_ + "/" + name) == data);

        dvsd_stat st;
        ASSERT_EQ(dvsd_cli_stat(ctx.get(), name.c_str(), &st), 0);
        EXPECT_EQ(st.len, data.size());

        dvsd_cli_file* in = dvsd_cli_open(ctx.get(), name.c_str(), kRead);
        ASSERT_NE(in, nullptr) << dvsd_cli_get_error_str(ctx.get());
        // Asking for more than there is gives what there is.
        std::string back(data.size() + 100, '\0');
        EXPECT_EQ(dvsd_cli_read(in, back.data(), uint32_t(back.size()), 0), int64_t(data.size()))
            << dvsd_cli_get_error_str(ctx.get());
        back.resize(data.size());
        EXPECT_TRUE(back == data);
        // A read at an offset in the middle.
        if (data.size() > 10) {
            char middle[7];
            EXPECT_EQ(dvsd_cli_read(in, middle, 7, data.size() / 2), 7);
            EXPECT_EQ(std::string(middle, 7), data.substr(data.size() / 2, 7));
        }
        EXPECT_EQ(dvsd_cli_close(in), 0);
    }
}

// A file replaced through the protocol keeps its old content until the new one is complete.
TEST_F(DvsdClient, AnInterruptedReplacementKeepsTheOldFile) {
    start();
    write_file(root_ + "/keep", "old content");
    {
        ctx_ptr ctx = connect();
        ASSERT_TRUE(ctx);
        dvsd_cli_file* out = dvsd_cli_open(ctx.get(), "keep", kWrite | kCreate | kTruncate);
        ASSERT_NE(out, nullptr);
        ASSERT_EQ(dvsd_cli_write(out, "new", 3, DVSD_CLI_CUR_POS), 3);
        EXPECT_EQ(read_file(root_ + "/keep"), "old content");
        dvsd_cli_drop(ctx.release());  // the connection goes without closing the file
    }
    // The server notices the closed connection and throws the unfinished copy away.
    for (int i = 0; i < 200; ++i) {
        if (fs::directory_iterator(root_) != fs::directory_iterator() &&
            std::distance(fs::directory_iterator(root_), fs::directory_iterator()) == 1)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(read_file(root_ + "/keep"), "old content");
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(root_)) names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"keep"});
}

TEST_F(DvsdClient, DirectoryListing) {
    start();
    std::set<std::string> expected;
    for (int i = 0; i < 300; ++i) {
        std::string name = "file " + std::to_string(i) + (i % 7 == 0 ? " \xe9\x01" : "");
        write_file(root_ + "/list/" + name, std::string(size_t(i), 'x'));
        expected.insert(name);
    }
    fs::create_directories(root_ + "/list/dir");
    expected.insert("dir");
    // Names that cannot travel in a listing line are left out.
    write_file(root_ + "/list/tab\there", "");
    fs::create_symlink("/etc", root_ + "/list/link");
    expected.insert("link");

    ctx_ptr ctx = connect("rdir-size=4k");
    ASSERT_TRUE(ctx);
    dvsd_cli_dir* dir = dvsd_cli_opendir(ctx.get(), "list", nullptr);
    ASSERT_NE(dir, nullptr) << dvsd_cli_get_error_str(ctx.get());
    std::set<std::string> seen;
    for (dvsd_dirent* e; (e = dvsd_cli_readdir(dir)) != nullptr;) {
        seen.insert(e->name);
        if (std::string(e->name) == "file 12") {
            EXPECT_EQ(e->st.len, 12u);
        }
    }
    EXPECT_EQ(dvsd_cli_get_error(ctx.get()), 0) << dvsd_cli_get_error_str(ctx.get());
    seen.erase(".");
    seen.erase("..");
    EXPECT_EQ(seen, expected);
    EXPECT_GE(dvsd_cli_telldir(dir), expected.size());
    ASSERT_EQ(dvsd_cli_seekdir(dir, 0), 0) << dvsd_cli_get_error_str(ctx.get());
    EXPECT_NE(dvsd_cli_readdir(dir), nullptr);
    EXPECT_EQ(dvsd_cli_closedir(dir), 0);
}

TEST_F(DvsdClient, ControlOperations) {
    start();
    ctx_ptr ctx = connect();
    ASSERT_TRUE(ctx);
    ASSERT_EQ(dvsd_cli_mkdirs(ctx.get(), "a/b/c"), 0) << dvsd_cli_get_error_str(ctx.get());
    EXPECT_TRUE(fs::is_directory(root_ + "/a/b/c"));
    EXPECT_EQ(dvsd_cli_mkdirs(ctx.get(), "a/b/c"), 0);  // already there

    write_file(root_ + "/a/f", "x");
    dvsd_times times;
    times.time_access = 1000000000;
    times.time_write = 1200000000;
    times.time_write_ns = 123456789;
    ASSERT_EQ(dvsd_cli_set_times2(ctx.get(), "a/f", &times), 0)
        << dvsd_cli_get_error_str(ctx.get());
    struct stat st {};
    ASSERT_EQ(stat((root_ + "/a/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
    EXPECT_EQ(st.st_atim.tv_sec, 1000000000);

    EXPECT_EQ(dvsd_cli_remove2(ctx.get(), "a/f", 0), 0) << dvsd_cli_get_error_str(ctx.get());
    EXPECT_FALSE(fs::exists(root_ + "/a/f"));
    EXPECT_NE(dvsd_cli_remove2(ctx.get(), "a/f", 0), 0);
    EXPECT_EQ(dvsd_cli_rmdir2(ctx.get(), "a/b/c", 0), 0) << dvsd_cli_get_error_str(ctx.get());
    EXPECT_FALSE(fs::exists(root_ + "/a/b/c"));

    // A request the server refuses leaves its status, and the connection goes on.
    EXPECT_EQ(dvsd_cli_open(ctx.get(), "missing", kRead), nullptr);
    EXPECT_NE(dvsd_cli_get_error(ctx.get()), 0);
    EXPECT_EQ(dvsd_cli_mkdirs(ctx.get(), "again"), 0);
    // Commands are never run for a client.
    char out[256];
    EXPECT_EQ(dvsd_cli_smart_scan(ctx.get(), out, sizeof(out)), -1);
    EXPECT_EQ(dvsd_cli_get_error(ctx.get()), -37);
}

// Listing through the server's own lister: blocks of lines on two streams, each ending with its
// end marker.
TEST_F(DvsdClient, ServerLister) {
    start();
    write_file(root_ + "/tree/one", "1");
    write_file(root_ + "/tree/two", "22");
    fs::create_directories(root_ + "/tree/sub");
    ctx_ptr ctx = connect();
    ASSERT_TRUE(ctx);
    ASSERT_EQ(dvsd_cli_rdir_open(ctx.get(), "tree", 0, 3000), 0)
        << dvsd_cli_get_error_str(ctx.get());
    std::string files, dirs;
    int ends = 0;
    std::vector<char> buf(65536);
    for (int i = 0; i < 100 && ends < 2; ++i) {
        int64_t n = dvsd_cli_rdir_read(ctx.get(), buf.data(), uint32_t(buf.size()));
        ASSERT_GE(n, 0) << dvsd_cli_get_error_str(ctx.get());
        if (n == 0) continue;
        std::string block(buf.data() + 1, size_t(n) - 1);
        (buf[0] == 'F' ? files : dirs) += block;
        if (block.find('\r') != std::string::npos) ++ends;
    }
    EXPECT_EQ(ends, 2);
    EXPECT_NE(files.find("one"), std::string::npos) << files;
    EXPECT_NE(files.find("two"), std::string::npos) << files;
    EXPECT_NE(dirs.find("sub"), std::string::npos) << dirs;
    EXPECT_NE(files.find("\r0"), std::string::npos) << files;
    EXPECT_EQ(dvsd_cli_rdir_close(ctx.get()), 0);
}

// The server's batch worker driven by the client: directories made, files written (a link among
// them), read back and removed, each compared with the disk.
TEST_F(DvsdClient, ServerBatchWorker) {
    start();
    fs::create_directories(root_ + "/w");
    ctx_ptr ctx = connect();
    ASSERT_TRUE(ctx);
    constexpr int32_t kBuffer = 1 << 20;
    ASSERT_EQ(dvsd_cli_mfile_open(ctx.get(), kBuffer, 2000), 0)
        << dvsd_cli_get_error_str(ctx.get());
    std::vector<char> buf(2 * kBuffer);
    // Collects results until `expected` bytes came (or a few empty waits passed).
    auto results = [&](size_t expected) {
        std::string got;
        for (int empty = 0; got.size() < expected && empty < 3;) {
            int64_t n = dvsd_cli_mfile_list_ret(ctx.get(), buf.data(), uint32_t(buf.size()));
            EXPECT_GE(n, 0) << dvsd_cli_get_error_str(ctx.get());
            if (n <= 0) {
                ++empty;
                continue;
            }
            got.append(buf.data(), size_t(n));
        }
        return got;
    };

    mstat_attr dir{nullptr, 1, 040750, 0x80, 0, 0, 1500000000, 1500000000, 0};
    char line[1024];
    ASSERT_EQ(libmfile_dir_printf("sub", &dir, line, sizeof(line)), 0);
    ASSERT_EQ(dvsd_cli_mfile_cmd(ctx.get(), DVSD_IOCTL_MFILE_MKDIR, "w", line), 0);
    EXPECT_EQ(results(2), "0\t");
    EXPECT_TRUE(fs::is_directory(root_ + "/w/sub"));

    const std::string data = systest::pattern_bytes(300000, 7);
    const std::string encoded = rdir_b64_encode(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
    std::vector<char> write(encoded.size() + 1024);
    mstat_attr file{nullptr, 2, 0100640, 0x80, 0, 0, 1400000000, 1400000000, 0};
    ASSERT_EQ(libmfile_write_printf("sub/f", &file, encoded.c_str(), write.data(), write.size()),
              0);
    mstat_attr link{"f", 0x102, 0120777, 0x80, 0, 0, 1400000000, 1400000000, 0};
    char link_line[1024];
    ASSERT_EQ(libmfile_write_printf("sub/l", &link, "", link_line, sizeof(link_line)), 0);
    const std::string list = std::string(write.data()) + "\n" + link_line;
    ASSERT_EQ(dvsd_cli_mfile_cmd(ctx.get(), DVSD_IOCTL_MFILE_WRITE, "w", list.c_str()), 0);
    // One result line per entry.
    std::string written = results(1);
    while (std::count(written.begin(), written.end(), '\n') < 2) {
        const std::string more = results(1);
        if (more.empty()) break;
        written += more;
    }
    EXPECT_EQ(written.substr(0, written.find('\n') + 1), "0\t300000\n") << written;
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 2) << written;
    EXPECT_TRUE(read_file(root_ + "/w/sub/f") == data);
    EXPECT_EQ(fs::read_symlink(root_ + "/w/sub/l"), "f");
    struct stat st {};
    ASSERT_EQ(stat((root_ + "/w/sub/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtime, 1400000000);

    ASSERT_EQ(dvsd_cli_mfile_cmd(ctx.get(), DVSD_IOCTL_MFILE_READ, "w", "sub/f\t300000"), 0);
    std::string block = results(300000 + 4);
    mfile_data_result r{};
    size_t consumed = 0;
    ASSERT_EQ(libmfile_read_get_data_len_err(reinterpret_cast<uint8_t*>(block.data()), block.size(),
                                             &consumed, &r),
              0);
    EXPECT_FALSE(r.open_failed || r.read_failed);
    ASSERT_EQ(r.length, data.size());
    EXPECT_TRUE(std::string(reinterpret_cast<char*>(r.data), r.length) == data);
    std::free(r.data);

    ASSERT_EQ(dvsd_cli_mfile_cmd(ctx.get(), DVSD_IOCTL_MFILE_REMOVE, "w/sub", "f\nl"), 0);
    EXPECT_EQ(results(4), "0\t0\t");
    EXPECT_FALSE(fs::exists(root_ + "/w/sub/f"));
    EXPECT_EQ(dvsd_cli_mfile_close(ctx.get()), 0);
}

// Every path a client sends stays below the served root: parent steps, absolute paths, links
// that point out (made on the server's disk or by the client itself).
TEST_F(DvsdClient, NothingLeavesTheServedRoot) {
    start();
    fs::create_symlink(outside_ + "/secret", root_ + "/abs_link");
    fs::create_symlink("../outside/secret", root_ + "/rel_link");
    fs::create_symlink(outside_, root_ + "/dir_link");
    ctx_ptr ctx = connect();
    ASSERT_TRUE(ctx);
    const std::vector<std::string> paths = {
        "../outside/secret", "/../outside/secret", outside_ + "/secret",    "abs_link",
        "rel_link",          "dir_link/secret",    "a/../../outside/secret"};
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        dvsd_cli_file* in = dvsd_cli_open(ctx.get(), path.c_str(), kRead);
        if (in != nullptr) {
            char buf[16] = {};
            int64_t n = dvsd_cli_read(in, buf, sizeof(buf), 0);
            EXPECT_NE(std::string(buf, n > 0 ? size_t(n) : 0), "outside");
            dvsd_cli_close(in);
        }
        dvsd_cli_file* out = dvsd_cli_open(ctx.get(), path.c_str(), kWrite | kCreate | kTruncate);
        if (out != nullptr) {
            dvsd_cli_write(out, "pwned", 5, DVSD_CLI_CUR_POS);
            dvsd_cli_close(out);
        }
        dvsd_attr attr;
        attr.type = 1;
        attr.mode = 0777;
        dvsd_cli_set_stat(ctx.get(), path.c_str(), &attr);
        dvsd_times times;
        times.time_write = 1;
        dvsd_cli_set_times2(ctx.get(), path.c_str(), &times);
        dvsd_cli_remove2(ctx.get(), path.c_str(), 0);
        expect_outside_untouched();
        struct stat st {};
        ASSERT_EQ(stat((outside_ + "/secret").c_str(), &st), 0);
        EXPECT_NE(st.st_mtime, 1);
    }
    EXPECT_TRUE(fs::exists(outside_ + "/secret"));
}

// A stop from another thread ends a wait at once, with its own status.
TEST_F(DvsdClient, StopEndsAWait) {
    start();
    ctx_ptr ctx = connect();
    ASSERT_TRUE(ctx);
    fs::create_directories(root_ + "/empty");
    ASSERT_EQ(dvsd_cli_rdir_open(ctx.get(), "empty", 0, 5000), 0);
    std::vector<char> buf(4096);
    // Read the empty listing to its two end markers; the next read waits on the server for a
    // listing that never comes.
    int ends = 0;
    for (int i = 0; i < 10 && ends < 2; ++i) {
        int64_t n = dvsd_cli_rdir_read(ctx.get(), buf.data(), uint32_t(buf.size()));
        ASSERT_GE(n, 0);
        if (n > 0 && std::string(buf.data(), size_t(n)).find('\r') != std::string::npos) ++ends;
    }
    ASSERT_EQ(ends, 2);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        dvsd_cli_stop(ctx.get());
    });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(dvsd_cli_rdir_read(ctx.get(), buf.data(), uint32_t(buf.size())), -1);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2500));
    EXPECT_EQ(dvsd_cli_get_error(ctx.get()), VERR_NET_USER_STOP);
}

}  // namespace
