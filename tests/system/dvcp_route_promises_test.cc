// What the README promises holds on every route alike (local to local, local to server, server to
// local, server to server), checked on disk with the real dvsd: a source that changes while it is
// downloaded never lands torn, special files never become empty regular files, a sync passes on
// a link pointing elsewhere and a directory's new mode, a dry run predicts the real run.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "system/support/dvcp_test.h"
#include "system/support/dvsd_process.h"
#include "system/support/report.h"
#include "system/support/tree.h"

namespace systest {
namespace {

constexpr int64_t kBaseTime = 1600000000;  // 2020-09-13
constexpr size_t kMiB = size_t{1} << 20;
const char kPassword[] = "secret";

// ll: local to local; lr: local to server; rl: server to local; rr: server to server.
enum class Route { ll, lr, rl, rr };

const char* route_name(Route r) {
    switch (r) {
        case Route::ll:
            return "ll";
        case Route::lr:
            return "lr";
        case Route::rl:
            return "rl";
        case Route::rr:
            return "rr";
    }
    return "?";
}

bool src_remote(Route r) {
    return r == Route::rl || r == Route::rr;
}
bool dst_remote(Route r) {
    return r == Route::lr || r == Route::rr;
}

// An end of a job: what dvcp is given, and the directory on disk behind it.
struct End {
    std::string arg;
    std::string disk;
};

std::multiset<std::string> lines_of(const std::string& text) {
    std::multiset<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.insert(line);
    return lines;
}

std::string join_lines(const std::multiset<std::string>& lines) {
    std::string text;
    for (const auto& l : lines) text += "  " + printable(l) + "\n";
    return text;
}

// Writer temporaries directly in `dir`.
std::vector<std::string> temporaries_in(const std::string& dir) {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        if (is_writer_temporary_name(e.path().filename().string()))
            found.push_back(e.path().string());
    }
    return found;
}

void write_big_file(const std::string& path, size_t size, uint64_t seed) {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    for (size_t done = 0; done < size; done += kMiB) {
        const std::string part = pattern_bytes(std::min(kMiB, size - done), seed + done);
        ASSERT_EQ(fwrite(part.data(), 1, part.size(), f), part.size());
    }
    ASSERT_EQ(fclose(f), 0);
}

// Overwrites `len` bytes of `path` at `offset` in place (same size).
void rewrite_at(const std::string& path, off_t offset, size_t len, char byte) {
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0) << path;
    const std::string data(len, byte);
    ASSERT_EQ(::pwrite(fd, data.data(), data.size(), offset), static_cast<ssize_t>(data.size()));
    ::close(fd);
}

class RoutePromise : public DvcpProcessTest, public ::testing::WithParamInterface<Route> {
  protected:
    void SetUp() override {
        DvcpProcessTest::SetUp();
        if (IsSkipped()) return;
        route_ = GetParam();
        make_tree(root_, {});
        if (!src_remote(route_) && !dst_remote(route_)) return;
        if (!kHaveDvsd) {
            if (std::getenv("CI") != nullptr) FAIL() << "dvsd is not part of this build";
            GTEST_SKIP() << "dvsd is not part of this build";
        }
        start_server({});
    }

    // (Re)starts the server with `extra` settings; with anonymous=1 the client logs in without
    // credentials.
    void start_server(const std::vector<std::string>& extra) {
        server_.reset();
        std::vector<std::string> args{"root=" + root_,
                                      "listen=127.0.0.1",
                                      "port=0",
                                      "user=joe",
                                      std::string("passwd=") + kPassword,
                                      "context_timeout=2"};
        args.insert(args.end(), extra.begin(), extra.end());
        anonymous_ = std::find(extra.begin(), extra.end(), "anonymous=1") != extra.end();
        server_ = std::make_unique<DvsdProcess>(args);
        port_ = port_of(server_->first_line());
        ASSERT_GT(port_, 0) << "dvsd did not start";
    }

    std::string url(const std::string& path) const {
        const std::string login = anonymous_ ? "" : "joe:" + std::string(kPassword) + "@";
        return "dvp://" + login + "127.0.0.1:" + std::to_string(port_) + path;
    }
    End src() const {
        if (src_remote(route_)) return {url("/src"), root_ + "/src"};
        return {tmp_ / "src", tmp_ / "src"};
    }
    End dst() const {
        if (dst_remote(route_)) return {url("/dst"), root_ + "/dst"};
        return {tmp_ / "dst", tmp_ / "dst"};
    }
    RunResult run(const std::string& mode, std::vector<std::string> extra = {},
                  RunOptions options = {}) const {
        std::vector<std::string> args = {"mode=" + mode, "if=" + src().arg, "of=" + dst().arg};
        args.insert(args.end(), extra.begin(), extra.end());
        return dvcp(args, options);
    }

    Route route_ = Route::ll;
    TempDir tmp_{"dvcp-promise"};
    std::string root_ = tmp_ / "served";
    std::unique_ptr<DvsdProcess> server_;
    int port_ = -1;
    bool anonymous_ = false;
};

std::string route_test_name(const ::testing::TestParamInfo<Route>& info) {
    return route_name(info.param);
}

// ---------------------------------------------------------------------------------------
// Special files

// A fifo and (as root) a device are recreated as such at a local destination when dvcp runs as
// root. A server destination makes them as its attribute policy allows: a fifo when it runs as
// root and the client logged in with credentials, a device only with keep_setid=1 too; an
// anonymous client gets neither. What is not made is skipped, named and counted (exit 8), never
// an empty regular file. The dry run says exactly what the real run then does.
TEST_P(RoutePromise, SpecialFilesNeverBecomeEmptyRegularFiles) {
    const End s = src();
    make_tree(s.disk, {Node::file("dir/plain", "plain").with_times(kBaseTime, kBaseTime)});
    ASSERT_EQ(::mkfifo((s.disk + "/dir/fifo").c_str(), 0640), 0);
    const bool root = running_as_root();
    const dev_t null_dev = makedev(1, 3);
    if (root) {
        ASSERT_EQ(::mknod((s.disk + "/dir/chr").c_str(), S_IFCHR | 0600, null_dev), 0);
    }
    struct Setup {
        std::vector<std::string> server;  // settings of the server
        bool fifo;                        // the fifo is made at a server destination
        bool device;                      // the device too
    };
    std::vector<Setup> setups = {{{}, root, false}};
    if (server_) {
        setups.push_back({{"keep_setid=1"}, root, root});
        setups.push_back({{"anonymous=1", "keep_setid=1"}, false, false});
    }
    for (const Setup& setup : setups) {
        SCOPED_TRACE(setup.server.empty() ? "plain server" : setup.server.back());
        if (server_ && !setup.server.empty()) {
            std::filesystem::remove_all(dst().disk);
            start_server(setup.server);
            if (HasFatalFailure()) return;
        }
        const End d = dst();
        const bool fifo_made = dst_remote(route_) ? setup.fifo : root;
        const bool device_made = dst_remote(route_) ? setup.device : root;
        const bool all_made = fifo_made && (device_made || !root);

        const RunResult dry = run("sync", {"dry_run=1", "changes=-"});
        EXPECT_FALSE(exists(d.disk + "/dir")) << "a dry run made something\n" << dry.describe();
        const RunResult real = run("sync", {"changes=-"});
        EXPECT_EXIT_STATUS(real, all_made ? 0 : 8);
        EXPECT_EXIT_STATUS(dry, all_made ? 0 : 8);
        EXPECT_EQ(lines_of(dry.out), lines_of(real.out))
            << "dry run:\n"
            << join_lines(lines_of(dry.out)) << "real run:\n"
            << join_lines(lines_of(real.out));
        EXPECT_EQ(read_file(d.disk + "/dir/plain"), "plain");

        struct stat st {};
        if (fifo_made) {
            ASSERT_EQ(::lstat((d.disk + "/dir/fifo").c_str(), &st), 0) << real.describe();
            EXPECT_TRUE(S_ISFIFO(st.st_mode)) << std::oct << st.st_mode;
            EXPECT_EQ(st.st_mode & 07777, 0640u);
        }
        if (device_made) {
            ASSERT_EQ(::lstat((d.disk + "/dir/chr").c_str(), &st), 0) << real.describe();
            EXPECT_TRUE(S_ISCHR(st.st_mode)) << std::oct << st.st_mode;
            EXPECT_EQ(st.st_rdev, null_dev);
        }
        for (const char* name : {"/dir/fifo", "/dir/chr"}) {
            if (::lstat((d.disk + name).c_str(), &st) == 0) {
                EXPECT_FALSE(S_ISREG(st.st_mode)) << name << " became a regular file";
            }
        }
        if (!fifo_made) {
            EXPECT_TRUE(log_contains(real.err, "fifo")) << real.describe();
        }
        if (root && !device_made) {
            EXPECT_TRUE(log_contains(real.err, "character device")) << real.describe();
        }
        EXPECT_TRUE(temporaries_in(d.disk + "/dir").empty()) << real.describe();
        // What was made is up to date for the next sync; what was skipped is skipped again.
        const RunResult again = run("sync", {"changes=-"});
        EXPECT_EXIT_STATUS(again, all_made ? 0 : 8);
        for (const std::string& line : lines_of(again.out)) {
            EXPECT_TRUE(line.starts_with("! ")) << again.describe();
        }
    }
}

// ---------------------------------------------------------------------------------------
// What a sync passes on without new data

// A link made to point elsewhere keeps its time (a restore, cp -a): the text itself is
// compared, in every mode that compares size and time, and the change is told as an update, by
// the dry run as by the real run.
TEST_P(RoutePromise, LinkPointingElsewhereIsUpdated) {
    const End s = src(), d = dst();
    for (const char* mode : {"sync", "sync_diff_size_date", "copy_diff_size_date", "cp"}) {
        SCOPED_TRACE(mode);
        remove_all(s.disk);
        remove_all(d.disk);
        make_tree(s.disk, {Node::link("l/link", "target-a").with_times(kBaseTime, kBaseTime),
                           Node::file("l/f", "f").with_times(kBaseTime, kBaseTime)});
        const RunResult first = run(mode);
        EXPECT_EXIT_STATUS(first, 0);
        ASSERT_EQ(std::filesystem::read_symlink(d.disk + "/l/link").string(), "target-a");

        std::filesystem::remove(s.disk + "/l/link");
        std::filesystem::create_symlink("target-b", s.disk + "/l/link");
        set_times(s.disk + "/l/link", kBaseTime, kBaseTime);
        const RunResult dry = run(mode, {"changes=-", "dry_run=1"});
        const RunResult second = run(mode, {"changes=-"});
        EXPECT_EXIT_STATUS(second, 0);
        EXPECT_EQ(std::filesystem::read_symlink(d.disk + "/l/link").string(), "target-b")
            << second.describe();
        // A plain copy writes everything again; the others only the link.
        const auto lines = lines_of(second.out);
        const bool all = std::string(mode) == "cp";
        EXPECT_EQ(lines.size(), all ? 2u : 1u) << join_lines(lines);
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string& l) {
                                    return l.starts_with("~ ") && l.ends_with("/l/link");
                                }),
                  1)
            << join_lines(lines);
        EXPECT_EQ(lines_of(dry.out), lines) << "dry run:\n" << join_lines(lines_of(dry.out));
    }
}

// A directory made private after the first sync becomes private at the destination, and one
// left owner-only (as a stopped run leaves the directories it made) gets its mode back.
TEST_P(RoutePromise, SyncPassesOnDirectoryModes) {
    const End s = src(), d = dst();
    make_tree(s.disk, {Node::dir("open").with_mode(0755),
                       Node::file("open/f", "f").with_times(kBaseTime, kBaseTime),
                       Node::dir("shut").with_mode(0755),
                       Node::file("shut/f", "f").with_times(kBaseTime, kBaseTime)});
    RunResult first = run("sync");
    EXPECT_EXIT_STATUS(first, 0);
    ASSERT_EQ(lstat_path(d.disk + "/open").mode & 07777, 0755u);

    ASSERT_EQ(::chmod((s.disk + "/shut").c_str(), 0700), 0);
    ASSERT_EQ(::chmod((d.disk + "/open").c_str(), 0700), 0);
    const RunResult second = run("sync");
    EXPECT_EXIT_STATUS(second, 0);
    EXPECT_EQ(lstat_path(d.disk + "/shut").mode & 07777, 0700u) << second.describe();
    EXPECT_EQ(lstat_path(d.disk + "/open").mode & 07777, 0755u) << second.describe();
}

// A dry run writes, makes and deletes nothing, not even the destination root on a server.
TEST_P(RoutePromise, DryRunMakesNothing) {
    const End s = src();
    make_tree(s.disk, {Node::file("a/b/f", "f").with_times(kBaseTime, kBaseTime)});
    const std::string dst_disk = dst().disk + "/new/a/b";
    const std::string dst_arg = dst().arg + "/new/a/b";
    for (const char* mode : {"sync", "cp"}) {
        SCOPED_TRACE(mode);
        const RunResult dry =
            dvcp({std::string("mode=") + mode, "dry_run=1", "if=" + s.arg, "of=" + dst_arg});
        EXPECT_EXIT_STATUS(dry, 0);
        EXPECT_FALSE(exists(dst().disk)) << dry.describe();
    }
}

// A destination root that is a file is refused at the open as between local directories (exit
// 1), and the file stays.
TEST_P(RoutePromise, DestinationRootThatIsAFileExits1) {
    make_tree(src().disk, {Node::file("f", "f")});
    make_tree(dst().disk, {});
    write_file(dst().disk + "/file", "keep");
    const RunResult r = dvcp({"mode=sync", "if=" + src().arg, "of=" + dst().arg + "/file"});
    EXPECT_EXIT_STATUS(r, 1);
    EXPECT_EQ(read_file(dst().disk + "/file"), "keep");
}

// Work that did not fail writes no error line: a sync of a tree holding an empty directory (which
// a sync does not make) says nothing about it.
TEST_P(RoutePromise, NoErrorLineForEmptyDirectory) {
    make_tree(src().disk, {Node::dir("emptydir"), Node::dir("d/inner_empty"),
                           Node::file("d/f", "f").with_times(kBaseTime, kBaseTime)});
    const RunResult r = run("sync", {"level=dbg"});
    EXPECT_EXIT_STATUS(r, 0);
    EXPECT_FALSE(log_contains(r.err, "error")) << r.describe();
    EXPECT_EQ(read_file(dst().disk + "/d/f"), "f");
}

// A sparse file stays sparse: 64 MiB of which 8 KiB hold data arrive with their holes, at the
// server as from it.
TEST_P(RoutePromise, SparseFileKeepsItsHoles) {
    const End s = src(), d = dst();
    make_tree(s.disk, {Node::dir("s")});
    const std::string path = s.disk + "/s/sparse";
    const off_t size = 64 * static_cast<off_t>(kMiB);
    {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        const std::string data = pattern_bytes(4096, 5);
        ASSERT_EQ(::pwrite(fd, data.data(), data.size(), 0), 4096);
        ASSERT_EQ(::pwrite(fd, data.data(), data.size(), 40 * static_cast<off_t>(kMiB) + 512),
                  4096);
        ASSERT_EQ(::ftruncate(fd, size), 0);
        ::close(fd);
    }
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    ASSERT_LT(st.st_blocks * 512, 1 << 20) << "the file system here keeps no holes";
    const RunResult r = run("sync");
    EXPECT_EXIT_STATUS(r, 0);
    ASSERT_EQ(::stat((d.disk + "/s/sparse").c_str(), &st), 0) << r.describe();
    EXPECT_EQ(st.st_size, size);
    EXPECT_LT(st.st_blocks * 512, 1 << 20) << "allocated: " << st.st_blocks * 512;
    EXPECT_TRUE(read_file(d.disk + "/s/sparse") == read_file(path));
}

INSTANTIATE_TEST_SUITE_P(Routes, RoutePromise,
                         ::testing::Values(Route::ll, Route::lr, Route::rl, Route::rr),
                         route_test_name);

// ---------------------------------------------------------------------------------------
// A source that changes while it is copied

class TornSource : public RoutePromise {};

// A big source rewritten in place at its start and its end (same size) while its middle is on
// the way: the run fails that file (exit 8) and the old copy stays; the next run copies the file
// whole. The client is held still while the source changes, so that the change surely falls
// within the transfer.
TEST_P(TornSource, ChangedSourceFailsAndKeepsTheOldCopy) {
    const End s = src(), d = dst();
    make_tree(s.disk, {Node::dir("z")});
    const size_t size = 64 * kMiB;
    write_big_file(s.disk + "/z/big", size, 11);
    set_times(s.disk + "/z/big", kBaseTime, kBaseTime);
    const std::string old_version = "the previous copy\n";
    make_tree(d.disk, {Node::file("z/big", old_version).with_times(kBaseTime, kBaseTime - 100)});

    bool changed = false;
    bool partial = false;
    RunOptions options;
    options.timeout = std::chrono::seconds(150);
    options.on_poll = [&](pid_t pid, const std::string&) {
        if (changed) return;
        std::error_code ec;
        for (const auto& t : temporaries_in(d.disk + "/z")) {
            const auto now = std::filesystem::file_size(t, ec);
            if (ec || now == 0) continue;
            ::kill(pid, SIGSTOP);
            partial = std::filesystem::file_size(t, ec) < size;
            rewrite_at(s.disk + "/z/big", 0, 4096, 'A');
            rewrite_at(s.disk + "/z/big", static_cast<off_t>(size - 4096), 4096, 'Z');
            set_times(s.disk + "/z/big", kBaseTime, kBaseTime);  // the time says nothing
            changed = true;
            ::kill(pid, SIGCONT);
            return;
        }
    };
    const RunResult torn = run("sync", {"bs=64k"}, options);
    ASSERT_TRUE(changed) << "the copy was never seen under way\n" << torn.describe();
    ASSERT_TRUE(partial) << "the copy was complete before the source changed";
    EXPECT_EXIT_STATUS(torn, 8);
    EXPECT_TRUE(log_contains(torn.err, "changed while it was copied")) << torn.describe();
    EXPECT_EQ(read_file(d.disk + "/z/big"), old_version);
    EXPECT_EQ(lstat_path(d.disk + "/z/big").mtime, kBaseTime - 100);

    const RunResult again = run("sync");
    EXPECT_EXIT_STATUS(again, 0);
    EXPECT_TRUE(read_file(d.disk + "/z/big") == read_file(s.disk + "/z/big"));
}

INSTANTIATE_TEST_SUITE_P(ServedSources, TornSource, ::testing::Values(Route::rl, Route::rr),
                         route_test_name);

// ---------------------------------------------------------------------------------------
// A user's file named like a temporary

class TemporaryLookalike : public RoutePromise {};

// A source file named like a writer's temporary whose writer is gone is the user's: it is
// named in the log and counted (exit 8), never skipped without a word; one of a writer that runs
// (this test) is a temporary and stays out.
TEST_P(TemporaryLookalike, IsToldAboutNotSkippedSilently) {
    const End s = src(), d = dst();
    char live[32];
    snprintf(live, sizeof(live), ".dvcp.%08x0001.tmp", static_cast<unsigned>(::getpid()));
    make_tree(s.disk, {Node::file("t/.dvcp.7ffffffe0001.tmp", "mine"),
                       Node::file(std::string("t/") + live, "in flux"), Node::file("t/f", "f")});
    for (const char* dry : {"dry_run=1", "dry_run=0"}) {
        SCOPED_TRACE(dry);
        const RunResult r = run("sync", {dry, "changes=-"});
        EXPECT_EXIT_STATUS(r, 8);
        EXPECT_TRUE(log_contains(r.err, ".dvcp.7ffffffe0001.tmp] is named like a temporary"))
            << r.describe();
        EXPECT_FALSE(log_contains(r.err, live)) << r.describe();
        const auto lines = lines_of(r.out);
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& l) { return l.starts_with("! "); }),
                  1)
            << join_lines(lines);
    }
    EXPECT_EQ(read_file(d.disk + "/t/f"), "f");
}

INSTANTIATE_TEST_SUITE_P(Routes, TemporaryLookalike,
                         ::testing::Values(Route::ll, Route::lr, Route::rl, Route::rr),
                         route_test_name);

// ---------------------------------------------------------------------------------------
// A stopped sync to a local destination

class StoppedSync : public RoutePromise {};

// A sync killed in the middle leaves no directory closed to others that the source opens to
// them: the root it made has the source's mode bits at once, and the directories it made get
// theirs from the next run.
TEST_P(StoppedSync, NextRunGivesDirectoriesTheirModes) {
    const End s = src(), d = dst();
    make_tree(s.disk, {Node::dir("d").with_mode(0755), Node::dir("d/e").with_mode(0750),
                       Node::file("d/e/small", "s").with_times(kBaseTime, kBaseTime)});
    ASSERT_EQ(::chmod(s.disk.c_str(), 0755), 0);
    write_big_file(s.disk + "/d/e/big", 128 * kMiB, 3);
    bool killed = false;
    RunOptions options;
    options.timeout = std::chrono::seconds(150);
    options.on_poll = [&](pid_t pid, const std::string&) {
        if (killed) return;
        std::error_code ec;
        for (const auto& t : temporaries_in(d.disk + "/d/e")) {
            if (std::filesystem::file_size(t, ec) == 0 || ec) continue;
            ::kill(pid, SIGKILL);
            killed = true;
            return;
        }
    };
    const RunResult stopped = run("sync", {"bs=64k"}, options);
    ASSERT_TRUE(killed) << "the copy was never seen under way\n" << stopped.describe();
    EXPECT_EQ(lstat_path(d.disk).mode & 07777, 0755u);

    const RunResult again = run("sync");
    EXPECT_EXIT_STATUS(again, 0);
    EXPECT_EQ(lstat_path(d.disk).mode & 07777, 0755u);
    EXPECT_EQ(lstat_path(d.disk + "/d").mode & 07777, 0755u) << again.describe();
    EXPECT_EQ(lstat_path(d.disk + "/d/e").mode & 07777, 0750u) << again.describe();
}

INSTANTIATE_TEST_SUITE_P(LocalDestinations, StoppedSync, ::testing::Values(Route::ll, Route::rl),
                         route_test_name);

// ---------------------------------------------------------------------------------------
// Overlap on one server

class OneServerOverlap : public RoutePromise {};

// Source and destination on one server, one inside the other or the same directory under
// another spelling: refused (exit 1) before anything is made, as between local directories.
TEST_P(OneServerOverlap, RefusedUnderEverySpelling) {
    make_tree(root_, {Node::file("p/f", "f"), Node::file("p/sub/g", "g")});
    const std::pair<std::string, std::string> cases[] = {
        {"/p", "/p/backup"},     {"/p", "/p/backup/deeper"},
        {"/p/", "//p/./backup"}, {"/p", "/p"},
        {"/p", "/./p/"},         {"//p", "/p/sub/"},
        {"/p/sub", "/p"},        {"/p/./sub", "//p"},
    };
    for (const auto& [from, to] : cases) {
        SCOPED_TRACE(from + " -> " + to);
        const RunResult r = dvcp({"mode=sync", "if=" + url(from), "of=" + url(to)});
        EXPECT_EXIT_STATUS(r, 1);
        EXPECT_TRUE(log_contains(r.err, "inside the") || log_contains(r.err, "cannot be the same"))
            << r.describe();
        EXPECT_FALSE(exists(root_ + "/p/backup")) << r.describe();
    }
    // Neighbours are not nested.
    const RunResult ok = dvcp({"mode=sync", "if=" + url("/p/sub"), "of=" + url("/p2")});
    EXPECT_EXIT_STATUS(ok, 0);
    EXPECT_EQ(read_file(root_ + "/p2/g"), "g");
}

// The same server under two host names (localhost and 127.0.0.1): still one server.
TEST_P(OneServerOverlap, LocalhostAndItsAddressAreOneServer) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    bool loopback = false;
    if (::getaddrinfo("localhost", nullptr, &hints, &found) == 0) {
        for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
            if (a->ai_family != AF_INET) continue;
            const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
            loopback = loopback || ntohl(in->sin_addr.s_addr) == INADDR_LOOPBACK;
        }
        ::freeaddrinfo(found);
    }
    if (!loopback) GTEST_SKIP() << "localhost does not resolve to 127.0.0.1 here";
    make_tree(root_, {Node::file("p/f", "f")});
    const std::string other =
        "dvp://joe:" + std::string(kPassword) + "@localhost:" + std::to_string(port_);
    const std::pair<std::string, std::string> cases[] = {
        {url("/p"), other + "/p/backup"},
        {other + "/p", url("/p/backup")},
        {url("/p"), other + "//p/"},
    };
    for (const auto& [from, to] : cases) {
        SCOPED_TRACE(from + " -> " + to);
        const RunResult r = dvcp({"mode=sync", "if=" + from, "of=" + to});
        EXPECT_EXIT_STATUS(r, 1);
        EXPECT_TRUE(log_contains(r.err, "inside the") || log_contains(r.err, "cannot be the same"))
            << r.describe();
        EXPECT_FALSE(exists(root_ + "/p/backup")) << r.describe();
    }
}

INSTANTIATE_TEST_SUITE_P(ServerToServer, OneServerOverlap, ::testing::Values(Route::rr),
                         route_test_name);

}  // namespace
}  // namespace systest
