// dvcp with one end or both on a real dvsd on loopback: copy, sync and list on every route
// (local to server, server to local, server to server on one or two servers), compared byte for
// byte and attribute by attribute on disk; orphans deleted in several chunks; incomplete
// listings that delete nothing; files that cannot be read; a wrong password; a server or the
// client killed in the middle of a big file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
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

// lr: local to server; rl: server to local; rr: server to server on one server; rr2: on two.
enum class Route { lr, rl, rr, rr2 };

const char* route_name(Route r) {
    switch (r) {
        case Route::lr:
            return "lr";
        case Route::rl:
            return "rl";
        case Route::rr:
            return "rr";
        case Route::rr2:
            return "rr2";
    }
    return "?";
}

bool src_remote(Route r) {
    return r != Route::lr;
}
bool dst_remote(Route r) {
    return r != Route::rl;
}

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

void expect_counts(const RunResult& run, const std::map<std::string, int64_t>& counts) {
    const Report report = Report::parse(run.err);
    for (const auto& [key, value] : counts)
        EXPECT_EQ(report.number(key), std::optional<int64_t>(value)) << key << "\n"
                                                                     << report.describe();
}

// Writer temporaries in `dir` (not below it).
std::vector<std::string> temporaries_in(const std::string& dir) {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        if (is_writer_temporary_name(e.path().filename().string()))
            found.push_back(e.path().string());
    }
    return found;
}

// A big file of pseudo-random bytes written a MiB at a time.
void write_big_file(const std::string& path, size_t size, uint64_t seed) {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    for (size_t done = 0; done < size; done += kMiB) {
        const std::string part = pattern_bytes(std::min(kMiB, size - done), seed + done);
        ASSERT_EQ(fwrite(part.data(), 1, part.size(), f), part.size());
    }
    ASSERT_EQ(fclose(f), 0);
}

// Every shape the routes treat apart: empty files and links (write lines), files around the
// small-file limit (524283 bytes with the defaults, 32763 at bs=64k) and around the block size
// (2 MiB), nested and empty directories, raw link texts and names that need care on the wire.
std::vector<Node> route_tree() {
    int64_t t = kBaseTime;
    auto stamp = [&t](Node n) {
        t += 3671;
        return std::move(n).with_times(t + 1000, t);
    };
    std::vector<Node> nodes;
    const std::pair<const char*, size_t> sizes[] = {
        {"size_0", 0},
        {"size_1", 1},
        {"size_32762", 32762},
        {"size_32763", 32763},
        {"size_32764", 32764},
        {"size_524282", 524282},
        {"size_524283", 524283},
        {"size_524284", 524284},
        {"size_524285", 524285},
        {"size_524287", 524287},
        {"size_524288", 524288},
        {"size_524289", 524289},
        {"sub/size_2m_minus_1", 2 * kMiB - 1},
        {"sub/size_2m", 2 * kMiB},
        {"sub/size_2m_plus_1", 2 * kMiB + 1},
        {"sub/deeper/size_10m_plus_1", 10 * kMiB + 1},
    };
    uint64_t seed = 7;
    for (const auto& [name, size] : sizes) nodes.push_back(stamp(Node::sized(name, size, ++seed)));
    for (const char* dir :
         {"sub", "sub/deeper", "sub/deeper/deepest", "empty_dir", "sub/empty_inner", "only_empty",
          "only_empty/inner", "links", "names", "names/dir with blank", "modes"})
        nodes.push_back(stamp(Node::dir(dir)));
    nodes.push_back(stamp(Node::file("sub/empty_file", "")));
    nodes.push_back(stamp(Node::file("sub/deeper/deepest/leaf.txt", "leaf\n")));
    nodes.push_back(stamp(Node::link("links/dangling", "no/such/target")));
    nodes.push_back(stamp(Node::link("links/absolute", "/nonexistent/dvcp-remote-target")));
    nodes.push_back(stamp(Node::link("links/up", "../x")));
    nodes.push_back(stamp(Node::link("links/to_file", "../size_1")));
    nodes.push_back(stamp(Node::link("links/odd \"link\"\\ \xff", "../names/with blank")));
    for (const char* name :
         {"names/with blank", "names/ leading blank", "names/trailing blank ", "names/say \"hi\"",
          "names/'single'", "names/back\\slash", "names/caf\xc3\xa9", "names/raw\xff\xfe",
          "names/-dash", "names/--", "names/%s %d %n", "names/dir with blank/inside"})
        nodes.push_back(stamp(Node::file(name, std::string("content of ") + name)));
    nodes.push_back(stamp(Node::sized("names/-big \"odd\" \xff", 3 * kMiB + 5, 99)));
    nodes.push_back(stamp(Node::file("modes/private", "p").with_mode(0600)));
    nodes.push_back(stamp(Node::file("modes/exec", "#!/bin/sh\n").with_mode(0755)));
    nodes.push_back(stamp(Node::file("modes/readonly", "r").with_mode(0444)));
    nodes.push_back(stamp(Node::dir("modes/closed").with_mode(0700)));
    nodes.push_back(stamp(Node::file("modes/closed/inner", "i").with_mode(0640)));
    if (running_as_root()) {
        nodes.push_back(stamp(Node::file("modes/nobody", "n").with_owner(kNobodyUid, kNogroupGid)));
    }
    return nodes;
}

// One dvsd serving a directory of its own.
struct Server {
    std::string root;
    std::optional<uid_t> uid;
    std::unique_ptr<DvsdProcess> process;
    int port = -1;

    void start() {
        process = std::make_unique<DvsdProcess>(
            // Contexts of broken connections are kept for a repair only briefly here, so that
            // the temporaries of a client that died go soon.
            std::vector<std::string>{"root=" + root, "listen=127.0.0.1", "port=0", "user=joe",
                                     std::string("passwd=") + kPassword, "context_timeout=2"},
            uid, uid ? std::optional<gid_t>(kNogroupGid) : std::nullopt);
        port = port_of(process->first_line());
    }
    std::string url(const std::string& path, const std::string& password = kPassword) const {
        return "dvp://joe:" + password + "@127.0.0.1:" + std::to_string(port) + path;
    }
};

// The two ends of a job: the argument dvcp gets and the directory on disk behind it, and the
// path the tool shows for it (the server's path for a remote end).
struct End {
    std::string arg;
    std::string disk;
    std::string shown;
};

class DvcpRemote : public DvcpProcessTest {
  protected:
    void SetUp() override {
        DvcpProcessTest::SetUp();
        if (IsSkipped()) return;
        if (!kHaveDvsd) GTEST_SKIP() << "dvsd is not part of this build";
        a_.root = tmp_ / "server_a";
        b_.root = tmp_ / "server_b";
        make_tree(a_.root, {});
        make_tree(b_.root, {});
    }

    // Starts the servers `route` needs; with `unprivileged` (when this runs as root) server a
    // runs as nobody and owns its tree, so that permissions apply to what it reads.
    void start(Route route, bool unprivileged = false) {
        if (unprivileged && running_as_root()) {
            chown_tree(a_.root, kNobodyUid, kNogroupGid);
            a_.uid = kNobodyUid;
        }
        a_.start();
        ASSERT_GT(a_.port, 0) << "server a did not start";
        if (route == Route::rr2) {
            b_.start();
            ASSERT_GT(b_.port, 0) << "server b did not start";
        }
    }

    End src(Route route) const {
        if (!src_remote(route)) return {tmp_ / "src", tmp_ / "src", tmp_ / "src"};
        return {a_.url("/src"), a_.root + "/src", "/src"};
    }
    End dst(Route route) const {
        switch (route) {
            case Route::rl:
                return {tmp_ / "dst", tmp_ / "dst", tmp_ / "dst"};
            case Route::rr2:
                return {b_.url("/dst"), b_.root + "/dst", "/dst"};
            default:
                return {a_.url("/dst"), a_.root + "/dst", "/dst"};
        }
    }
    Server& dst_server(Route route) { return route == Route::rr2 ? b_ : a_; }

    TempDir tmp_{"dvcp-remote"};
    Server a_, b_;
};

void PrintTo(Route r, std::ostream* os) {
    *os << route_name(r);
}

// ---------------------------------------------------------------------------------------
// Copy and sync on every route

// A mode with its options. At bs=64k the batch worker takes files of at most 32763 bytes, so
// that the files around 512 KiB travel block by block.
struct ModeCase {
    const char* name;
    std::vector<std::string> args;
    bool sync;
};
const ModeCase kModeCases[] = {
    {"Copy", {"mode=cp"}, false},
    {"Sync", {"mode=sync"}, true},
    {"SyncBs64k", {"mode=sync", "bs=64k"}, true},
};
void PrintTo(const ModeCase& m, std::ostream* os) {
    *os << m.name;
}

class DvcpRemoteRoute : public DvcpRemote,
                        public ::testing::WithParamInterface<std::tuple<Route, ModeCase>> {};

TEST_P(DvcpRemoteRoute, DestinationEqualsSourceAndSecondSyncMovesNothing) {
    const auto& [route, mode] = GetParam();
    start(route);
    const End s = src(route), d = dst(route);
    make_tree(s.disk, route_tree());
    const Snapshot source = settled_snapshot(s.disk);
    const bool sync = mode.sync;

    std::vector<std::string> args = mode.args;
    args.insert(args.end(), {"if=" + s.arg, "of=" + d.arg});
    const RunResult run = dvcp(args);
    EXPECT_EXIT_STATUS(run, 0);
    // A copy restores empty directories and directory attributes; a sync writes files only.
    const Snapshot expected = sync ? without_empty_directories(source) : source;
    const CompareOptions options{.dir_attributes = !sync};
    auto diffs = compare(expected, snapshot(d.disk), options);
    EXPECT_TRUE(diffs.empty()) << format_differences(diffs) << "\n" << run.describe();
    diffs = compare(source, snapshot(s.disk));
    EXPECT_TRUE(diffs.empty()) << "the source changed: " << format_differences(diffs);
    EXPECT_TRUE(temporaries_in(d.disk).empty());

    const auto files = static_cast<int64_t>(source.size() - count_kind(source, Kind::dir));
    const int64_t bytes = total_file_bytes(source);
    expect_counts(run, {{"file_count", files},
                        {"dir_count", static_cast<int64_t>(count_kind(source, Kind::dir))},
                        {"file_total_size", bytes},
                        {"file_open_count", files},
                        {"i_file_fail_count", 0},
                        {"i_dir_fail_count", 0},
                        {"o_file_fail_count", 0},
                        {"o_dir_fail_count", 0},
                        {"total_read", bytes},
                        {"total_write", bytes}});
    if (sync) {
        expect_counts(run, {{"sync_del_file_count", 0}, {"sync_del_file_fail_count", 0}});
    }

    const RunResult again = dvcp({"mode=sync", "if=" + s.arg, "of=" + d.arg});
    EXPECT_EXIT_STATUS(again, 0);
    expect_counts(again, {{"file_count", files},
                          {"file_open_count", 0},
                          {"total_write", 0},
                          {"sync_del_file_count", 0},
                          {"i_file_fail_count", 0},
                          {"o_file_fail_count", 0}});
    diffs = compare(expected, snapshot(d.disk), options);
    EXPECT_TRUE(diffs.empty()) << "after the second run: " << format_differences(diffs);
}

INSTANTIATE_TEST_SUITE_P(Routes, DvcpRemoteRoute,
                         ::testing::Combine(::testing::Values(Route::lr, Route::rl, Route::rr,
                                                              Route::rr2),
                                            ::testing::ValuesIn(kModeCases)),
                         [](const auto& info) {
                             return std::string(route_name(std::get<0>(info.param))) + "_" +
                                    std::get<1>(info.param).name;
                         });

// The list of a served tree names every entry once, by its path on the server.
TEST_F(DvcpRemote, ListOfServedTree) {
    start(Route::rl);
    make_tree(a_.root + "/src", route_tree());
    const Snapshot tree = settled_snapshot(a_.root + "/src");
    const std::string list = tmp_ / "list.txt";
    const RunResult run = dvcp({"mode=ls", "if=" + a_.url("/src"), "olist=" + list});
    EXPECT_EXIT_STATUS(run, 0);
    const auto expected = expected_list_lines("/src", tree);
    const auto got = lines_of(read_file(list));
    EXPECT_EQ(got, expected) << "expected:\n"
                             << join_lines(expected) << "got:\n"
                             << join_lines(got);
    expect_counts(run,
                  {{"file_count", static_cast<int64_t>(tree.size() - count_kind(tree, Kind::dir))},
                   {"dir_count", static_cast<int64_t>(count_kind(tree, Kind::dir))},
                   {"file_total_size", total_file_bytes(tree)},
                   {"i_dir_fail_count", 0},
                   {"i_file_fail_count", 0}});
    const auto diffs = compare(tree, snapshot(a_.root + "/src"));
    EXPECT_TRUE(diffs.empty()) << "listing changed the served tree: " << format_differences(diffs);
}

// The served root itself as either end.
TEST_F(DvcpRemote, ServedRootAsSourceAndDestination) {
    start(Route::rl);
    make_tree(tmp_ / "src", {Node::file("f", "f").with_times(kBaseTime, kBaseTime),
                             Node::file("d/g", "g").with_times(kBaseTime, kBaseTime)});
    const Snapshot source = settled_snapshot(tmp_ / "src");
    RunResult run = dvcp({"mode=sync", "if=" + tmp_ / "src", "of=" + a_.url("/")});
    EXPECT_EXIT_STATUS(run, 0);
    auto diffs = compare(source, snapshot(a_.root), {.dir_attributes = false});
    EXPECT_TRUE(diffs.empty()) << format_differences(diffs) << "\n" << run.describe();
    run = dvcp({"mode=sync", "if=" + a_.url("/"), "of=" + tmp_ / "back"});
    EXPECT_EXIT_STATUS(run, 0);
    diffs = compare(source, snapshot(tmp_ / "back"), {.dir_attributes = false});
    EXPECT_TRUE(diffs.empty()) << format_differences(diffs) << "\n" << run.describe();
}

// With a block size above what one request may carry, the lists of small files and their
// answers are still cut to fit a request: 21 MiB of small files in one directory, copied whole.
class DvcpRemoteLargeBlocks : public DvcpRemote, public ::testing::WithParamInterface<Route> {};

TEST_P(DvcpRemoteLargeBlocks, SmallFileBatchesFitOneRequest) {
    const Route route = GetParam();
    start(route);
    const End s = src(route), d = dst(route);
    std::vector<Node> tree;
    uint32_t seed = 12345;
    for (int i = 0; i < 70; ++i) {
        std::string data(300 * 1024 + i, '\0');
        for (char& c : data) {
            seed = seed * 1103515245u + 12345u;
            c = static_cast<char>(seed >> 24);
        }
        tree.push_back(Node::file("batch/f" + std::to_string(i), data));
    }
    make_tree(s.disk, tree);
    const Snapshot source = settled_snapshot(s.disk);
    const RunResult run = dvcp({"mode=sync", "bs=32M", "if=" + s.arg, "of=" + d.arg});
    EXPECT_EXIT_STATUS(run, 0);
    const auto diffs = compare(source, snapshot(d.disk), CompareOptions{.dir_attributes = false});
    EXPECT_TRUE(diffs.empty()) << format_differences(diffs) << "\n" << run.describe();
    expect_counts(run, {{"file_open_count", 70}, {"o_file_fail_count", 0}});
}

INSTANTIATE_TEST_SUITE_P(Routes, DvcpRemoteLargeBlocks,
                         ::testing::Values(Route::lr, Route::rl, Route::rr),
                         [](const auto& info) { return std::string(route_name(info.param)); });

// ---------------------------------------------------------------------------------------
// Orphans and the record of changes

class DvcpRemoteOrphans : public DvcpRemote, public ::testing::WithParamInterface<Route> {};

// Thousands of orphans in one directory travel in several remove commands at bs=64k; every
// one goes in a sync and none in a copy; orphaned directories stay; a source directory without
// files empties its destination directory of files.
TEST_P(DvcpRemoteOrphans, SyncDeletesEveryOrphanCopyNone) {
    const Route route = GetParam();
    start(route);
    const End s = src(route), d = dst(route);
    const std::vector<Node> source = {
        Node::file("keep", "k").with_times(kBaseTime, kBaseTime),
        Node::file("many/keep", "mk").with_times(kBaseTime, kBaseTime),
        Node::dir("emptied"),
    };
    std::vector<std::string> orphans = {"orphan_root",    "many/orphan with blank",
                                        "many/say \"o\"", "many/back\\slash",
                                        "many/raw\xff",   "many/-dash",
                                        "emptied/gone",   "emptied/gone too"};
    for (int i = 0; i < 3000; ++i) {
        orphans.push_back("many/orphan_number_" + std::to_string(i) + "_with_a_long_name");
    }
    const std::vector<std::string> survivors = {"old_dir/file", "old_dir/nested/deep",
                                                "many/old_sub/x", "emptied/sub/y"};
    for (const char* mode : {"mode=cp", "mode=sync"}) {
        SCOPED_TRACE(mode);
        remove_all(s.disk);
        remove_all(d.disk);
        make_tree(s.disk, source);
        std::vector<Node> target = source;
        for (const auto& p : orphans) target.push_back(Node::file(p, "orphan"));
        for (const auto& p : survivors) target.push_back(Node::file(p, "survivor " + p));
        make_tree(d.disk, target);

        const RunResult run = dvcp({mode, "bs=64k", "if=" + s.arg, "of=" + d.arg});
        EXPECT_EXIT_STATUS(run, 0);
        const bool sync = std::string(mode) == "mode=sync";
        size_t left = 0;
        for (const auto& p : orphans) left += exists(d.disk + "/" + p) ? 1 : 0;
        EXPECT_EQ(left, sync ? 0 : orphans.size());
        for (const auto& p : survivors) EXPECT_EQ(read_file(d.disk + "/" + p), "survivor " + p);
        EXPECT_EQ(read_file(d.disk + "/keep"), "k");
        EXPECT_EQ(read_file(d.disk + "/many/keep"), "mk");
        if (sync) {
            expect_counts(run, {{"sync_del_file_count", static_cast<int64_t>(orphans.size())},
                                {"sync_del_file_fail_count", 0}});
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Routes, DvcpRemoteOrphans,
                         ::testing::Values(Route::lr, Route::rl, Route::rr, Route::rr2),
                         [](const auto& info) { return std::string(route_name(info.param)); });

class DvcpRemoteChanges : public DvcpRemote, public ::testing::WithParamInterface<Route> {};

// One line per entry created, updated or deleted, with the destination path as the tool shows
// it; deletions named one by one, also where a source directory has no files.
TEST_P(DvcpRemoteChanges, RecordEveryChange) {
    const Route route = GetParam();
    start(route);
    const End s = src(route), d = dst(route);
    make_tree(s.disk, {Node::file("same", "same").with_times(kBaseTime, kBaseTime),
                       Node::file("changed", "new content").with_times(kBaseTime, kBaseTime),
                       Node::sized("big", 3 * kMiB).with_times(kBaseTime, kBaseTime),
                       Node::file("sub/new", "n").with_times(kBaseTime, kBaseTime),
                       Node::link("sub/link", "../same").with_times(kBaseTime, kBaseTime),
                       Node::dir("emptied")});
    make_tree(d.disk, {Node::file("same", "same").with_times(kBaseTime, kBaseTime),
                       Node::file("changed", "old").with_times(kBaseTime, kBaseTime - 100),
                       Node::file("big", "old big").with_times(kBaseTime, kBaseTime),
                       Node::file("sub/orphan", "o"), Node::file("emptied/gone", "g")});
    const std::string changes = tmp_ / "changes.txt";
    const RunResult run = dvcp({"mode=sync", "if=" + s.arg, "of=" + d.arg, "changes=" + changes});
    EXPECT_EXIT_STATUS(run, 0);
    const std::multiset<std::string> expected = {
        "~ " + d.shown + "/changed",    "~ " + d.shown + "/big",
        "+ " + d.shown + "/sub/new",    "+ " + d.shown + "/sub/link",
        "- " + d.shown + "/sub/orphan", "- " + d.shown + "/emptied/gone"};
    const auto got = lines_of(read_file(changes));
    EXPECT_EQ(got, expected) << "got:\n" << join_lines(got) << run.describe();
    EXPECT_EQ(read_file(d.disk + "/big"), read_file(s.disk + "/big"));
    expect_counts(run, {{"file_open_count", 4}, {"sync_del_file_count", 2}});
}

INSTANTIATE_TEST_SUITE_P(Routes, DvcpRemoteChanges,
                         ::testing::Values(Route::lr, Route::rl, Route::rr, Route::rr2),
                         [](const auto& info) { return std::string(route_name(info.param)); });

// ---------------------------------------------------------------------------------------
// Writes left at the server across directories. The last pieces of a directory's small files
// are still being written while the next directory is read; their answers, the directory's own
// times and the record of changes must come out as if each directory had been waited for.

struct CarryCase {
    const char* mode;
    bool blocked;     // the destination holds a directory at the name of a/b's last file
    bool unreadable;  // h's first file cannot be read while g's last writes are at the server
};

std::string carry_name(const CarryCase& c) {
    return std::string(c.mode) + (c.blocked ? "_blocked" : "") +
           (c.unreadable ? "_unreadable" : "");
}

void PrintTo(const CarryCase& c, std::ostream* os) {
    *os << carry_name(c);
}

class DvcpRemoteCarry : public DvcpRemote, public ::testing::WithParamInterface<CarryCase> {};

TEST_P(DvcpRemoteCarry, EveryDirectoryIsWholeTimedAndRecordedInOrder) {
    const CarryCase c = GetParam();
    start(Route::lr);
    const End s = src(Route::lr), d = dst(Route::lr);
    // Nine directories, nested and side by side, each of 40 files of 20-24 KiB: several pieces
    // of writes per directory, so that some are at the server when the next directory starts.
    const std::vector<std::string> dirs = {"a", "a/b", "a/b/c", "a/d", "e", "e/f", "g", "h", "i"};
    std::vector<Node> tree;
    for (const std::string& dir : dirs) {
        for (int i = 0; i < 40; ++i) {
            tree.push_back(Node::sized(dir + "/f" + std::to_string(i), 20 * 1024 + 100 * i,
                                       static_cast<uint64_t>(i) + dir.size() * 101)
                               .with_times(kBaseTime, kBaseTime));
        }
        tree.push_back(Node::dir(dir).with_times(kBaseTime - 7, kBaseTime - 7));
    }
    make_tree(s.disk, tree);
    // f39 is the largest file of a/b: it goes in that directory's last piece.
    if (c.blocked) make_tree(d.disk, {Node::file("a/b/f39/inside", "x")});
    RunOptions options;
    if (c.unreadable) {
        // dvcp runs as nobody, so that the file's mode keeps it out.
        if (!running_as_root()) GTEST_SKIP() << "needs root to run dvcp as another user";
        chown_tree(tmp_.path(), kNobodyUid, kNogroupGid);
        ASSERT_EQ(::chmod((s.disk + "/h/f0").c_str(), 0), 0);
        options.uid = kNobodyUid;
        options.gid = kNogroupGid;
    }
    const Snapshot source = settled_snapshot(s.disk);
    const std::string changes = tmp_ / "changes.txt";
    const RunResult run =
        dvcp({std::string("mode=") + c.mode, "if=" + s.arg, "of=" + d.arg, "changes=" + changes},
             options);
    EXPECT_EXIT_STATUS(run, c.blocked || c.unreadable ? 8 : 0);
    const int files = static_cast<int>(dirs.size()) * 40;
    expect_counts(run, {{"file_open_count", files - (c.blocked ? 1 : 0) - (c.unreadable ? 1 : 0)},
                        {"o_file_fail_count", c.blocked ? 1 : 0},
                        {"i_file_fail_count", c.unreadable ? 1 : 0}});
    // Everything but the blocked and the unreadable name is the source's, directory times
    // included.
    Snapshot got = snapshot(d.disk);
    Snapshot want = source;
    if (c.unreadable) want.erase("h/f0");
    if (c.blocked) {
        EXPECT_EQ(read_file(d.disk + "/a/b/f39/inside"), "x");
        for (Snapshot* snap : {&got, &want}) {
            for (auto it = snap->begin(); it != snap->end();) {
                const bool skip =
                    it->first == "a" || it->first == "a/b" || it->first.rfind("a/b/f39", 0) == 0;
                it = skip ? snap->erase(it) : std::next(it);
            }
        }
        // a and a/b were there before: a copy gives them the source's times once a/b's last
        // answers are in, a sync leaves the times of directories it did not make.
        if (std::string(c.mode) == "cp") {
            EXPECT_EQ(lstat_path(d.disk + "/a/b").mtime, kBaseTime - 7);
            EXPECT_EQ(lstat_path(d.disk + "/a").mtime, kBaseTime - 7);
        }
    }
    const auto diffs = compare(want, got);
    EXPECT_TRUE(diffs.empty()) << format_differences(diffs) << run.describe();
    // One line per file, and the lines of a directory together: none of another directory
    // comes between them.
    const std::string text = read_file(changes);
    std::vector<std::string> order;
    std::map<std::string, int> per_dir;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const std::string path = line.substr(2);
        const std::string dir = path.substr(0, path.rfind('/'));
        if (order.empty() || order.back() != dir) {
            EXPECT_EQ(per_dir.count(dir), 0u) << dir << " comes back in:\n" << text;
            order.push_back(dir);
        }
        ++per_dir[dir];
        const bool failed = (c.blocked && path == d.shown + "/a/b/f39") ||
                            (c.unreadable && path == d.shown + "/h/f0");
        EXPECT_EQ(line[0], failed ? '!' : '+') << line;
    }
    EXPECT_EQ(order.size(), dirs.size()) << text;
    for (const auto& [dir, count] : per_dir) EXPECT_EQ(count, 40) << dir;
}

INSTANTIATE_TEST_SUITE_P(Modes, DvcpRemoteCarry,
                         ::testing::Values(CarryCase{"cp", false, false},
                                           CarryCase{"sync", false, false},
                                           CarryCase{"cp", true, false},
                                           CarryCase{"sync", true, false},
                                           CarryCase{"cp", false, true}),
                         [](const auto& info) { return carry_name(info.param); });

// ---------------------------------------------------------------------------------------
// Sources that cannot be read. The unreadable side is a server running as nobody, or dvcp
// itself running as nobody, so that permissions hold when the tests run as root.

class DvcpRemoteUnreadable : public DvcpRemote, public ::testing::WithParamInterface<Route> {
  protected:
    // Starts what the route needs with the unreadable side unprivileged; the options run dvcp.
    RunOptions prepare(Route route) {
        RunOptions options;
        start(route, /*unprivileged=*/src_remote(route));
        if (!src_remote(route) && running_as_root()) {
            chown_tree(tmp_.path(), kNobodyUid, kNogroupGid);
            options.uid = kNobodyUid;
            options.gid = kNogroupGid;
        }
        return options;
    }
    // Hands the source tree to the unprivileged reader. Take permissions away only after this.
    void hand_over(const std::string& source) {
        if (running_as_root()) chown_tree(source, kNobodyUid, kNogroupGid);
    }
};

// A directory the listing cannot enter keeps everything below it at the destination; the rest
// of the tree is still synchronised.
TEST_P(DvcpRemoteUnreadable, SyncKeepsDestinationOfUnreadableSubdirectory) {
    const Route route = GetParam();
    const RunOptions options = prepare(route);
    const End s = src(route), d = dst(route);
    make_tree(s.disk, {Node::file("top", "new top").with_times(kBaseTime, kBaseTime),
                       Node::file("open/a", "a").with_times(kBaseTime, kBaseTime),
                       Node::file("locked/secret", "s"), Node::file("locked/inner/deep", "d")});
    make_tree(d.disk,
              {Node::file("top", "old top").with_times(kBaseTime, kBaseTime - 100),
               Node::file("open/a", "a").with_times(kBaseTime, kBaseTime),
               Node::file("open/orphan", "goes"), Node::file("locked/secret", "destination secret"),
               Node::file("locked/dst_only", "kept"),
               Node::file("locked/inner/deep", "destination deep")});
    hand_over(s.disk);
    ASSERT_EQ(::chmod((s.disk + "/locked").c_str(), 0), 0);
    const RunResult run = dvcp({"mode=sync", "if=" + s.arg, "of=" + d.arg}, options);
    EXPECT_EXIT_STATUS(run, 8);
    EXPECT_EQ(read_file(d.disk + "/locked/secret"), "destination secret");
    EXPECT_EQ(read_file(d.disk + "/locked/dst_only"), "kept");
    EXPECT_EQ(read_file(d.disk + "/locked/inner/deep"), "destination deep");
    EXPECT_EQ(read_file(d.disk + "/top"), "new top");
    EXPECT_FALSE(exists(d.disk + "/open/orphan"));
    const auto dir_failures = Report::parse(run.err).number("i_dir_fail_count");
    ASSERT_TRUE(dir_failures) << run.describe();
    EXPECT_GE(*dir_failures, 1);
    expect_counts(run, {{"sync_del_file_count", 1}});
}

// A source root that cannot be listed fails the job and deletes nothing.
TEST_P(DvcpRemoteUnreadable, SyncFromUnreadableRootDeletesNothing) {
    const Route route = GetParam();
    const RunOptions options = prepare(route);
    const End s = src(route), d = dst(route);
    make_tree(s.disk, {Node::file("f", "source")});
    make_tree(d.disk, {Node::file("f", "destination"), Node::file("g", "only here"),
                       Node::file("sub/h", "deep")});
    hand_over(s.disk);
    ASSERT_EQ(::chmod(s.disk.c_str(), 0), 0);
    const RunResult run = dvcp({"mode=sync", "if=" + s.arg, "of=" + d.arg}, options);
    ASSERT_TRUE(run.exited) << run.describe();
    EXPECT_NE(run.exit_code, 0) << run.describe();
    EXPECT_EQ(read_file(d.disk + "/f"), "destination");
    EXPECT_EQ(read_file(d.disk + "/g"), "only here");
    EXPECT_EQ(read_file(d.disk + "/sub/h"), "deep");
}

// A small file that cannot be opened is a failed source file: counted, recorded with "!", not
// written (the destination keeps its version), and the other files of its batch are written.
TEST_P(DvcpRemoteUnreadable, UnreadableSmallFileFailsAloneAndKeepsDestination) {
    const Route route = GetParam();
    const RunOptions options = prepare(route);
    const End s = src(route), d = dst(route);
    make_tree(s.disk, {Node::file("a", "a new").with_times(kBaseTime, kBaseTime),
                       Node::file("locked", "new secret").with_times(kBaseTime, kBaseTime),
                       Node::file("z", "z new").with_times(kBaseTime, kBaseTime),
                       Node::sized("sub/mid", 100000).with_times(kBaseTime, kBaseTime)});
    make_tree(d.disk, {Node::file("locked", "old").with_times(kBaseTime, kBaseTime - 100)});
    hand_over(s.disk);
    ASSERT_EQ(::chmod((s.disk + "/locked").c_str(), 0), 0);
    const std::string changes = tmp_ / "changes.txt";
    const RunResult run =
        dvcp({"mode=sync", "if=" + s.arg, "of=" + d.arg, "changes=" + changes}, options);
    EXPECT_EXIT_STATUS(run, 8);
    EXPECT_EQ(read_file(d.disk + "/locked"), "old");
    EXPECT_EQ(lstat_path(d.disk + "/locked").mtime, kBaseTime - 100);
    EXPECT_EQ(read_file(d.disk + "/a"), "a new");
    EXPECT_EQ(read_file(d.disk + "/z"), "z new");
    EXPECT_TRUE(read_file(d.disk + "/sub/mid") == read_file(s.disk + "/sub/mid"));
    expect_counts(run,
                  {{"i_file_fail_count", 1}, {"o_file_fail_count", 0}, {"file_open_count", 3}});
    const auto lines = lines_of(read_file(changes));
    EXPECT_EQ(lines.count("! " + d.shown + "/locked"), 1u) << join_lines(lines);
}

INSTANTIATE_TEST_SUITE_P(Routes, DvcpRemoteUnreadable,
                         ::testing::Values(Route::lr, Route::rl, Route::rr2),
                         [](const auto& info) { return std::string(route_name(info.param)); });

// ---------------------------------------------------------------------------------------
// Logins

class DvcpRemoteLogin : public DvcpRemote, public ::testing::WithParamInterface<Route> {};

// A wrong password fails the open with the server's message, writes nothing anywhere, and the
// password typed never shows in the log.
TEST_P(DvcpRemoteLogin, WrongPasswordFailsAndWritesNothing) {
    const Route route = GetParam();
    start(route);
    make_tree(tmp_ / "src", {Node::file("f", "local")});
    make_tree(a_.root + "/src", {Node::file("f", "served")});
    const Snapshot before = snapshot(tmp_.path());
    const std::string wrong = "not-the-password";
    std::vector<std::string> args;
    if (route == Route::lr) {
        args = {"if=" + tmp_ / "src", "of=" + a_.url("/dst", wrong)};
    } else if (route == Route::rl) {
        args = {"mode=sync", "if=" + a_.url("/src", wrong), "of=" + tmp_ / "dst"};
    } else {
        args = {"mode=sync", "if=" + a_.url("/src"), "of=" + a_.url("/dst", wrong)};
    }
    const RunResult run = dvcp(args);
    ASSERT_TRUE(run.exited) << run.describe();
    EXPECT_NE(run.exit_code, 0) << run.describe();
    EXPECT_TRUE(log_contains(run.err, "Wrong user or password")) << run.describe();
    EXPECT_EQ(run.err.find(wrong), std::string::npos) << "the password shows in the log";
    EXPECT_EQ(run.out.find(wrong), std::string::npos) << "the password shows in the output";
    const auto diffs = compare(before, snapshot(tmp_.path()));
    EXPECT_TRUE(diffs.empty()) << format_differences(diffs);
}

INSTANTIATE_TEST_SUITE_P(Routes, DvcpRemoteLogin,
                         ::testing::Values(Route::lr, Route::rl, Route::rr),
                         [](const auto& info) { return std::string(route_name(info.param)); });

TEST_F(DvcpRemote, ListWithWrongPasswordFails) {
    start(Route::rl);
    make_tree(a_.root + "/src", {Node::file("f", "served")});
    const std::string list = tmp_ / "list.txt";
    const RunResult run = dvcp({"mode=ls", "if=" + a_.url("/src", "wrong"), "olist=" + list});
    ASSERT_TRUE(run.exited) << run.describe();
    EXPECT_NE(run.exit_code, 0) << run.describe();
    EXPECT_TRUE(log_contains(run.err, "Wrong user or password")) << run.describe();
    EXPECT_TRUE(!exists(list) || read_file(list).empty());
}

// ---------------------------------------------------------------------------------------
// A server (or dvcp) killed in the middle of a big file

// What stops in the middle: a server killed, the destination's server hanging (stopped until
// the run is over), or dvcp killed.
enum class Victim { src_server, dst_server, dst_server_hangs, client };

struct KillCase {
    const char* name;
    Route route;
    Victim victim;
};
void PrintTo(const KillCase& c, std::ostream* os) {
    *os << c.name;
}

class DvcpRemoteKilled : public DvcpRemote, public ::testing::WithParamInterface<KillCase> {};

// What stands under the final name is the previous version whatever dies or hangs; dvcp ends
// with the status of a lost connection or a time-out (7) when a server dies or hangs, and the
// next run finishes the job.
TEST_P(DvcpRemoteKilled, PreviousVersionStaysUnderTheFinalName) {
    const KillCase& c = GetParam();
    start(c.route);
    const End s = src(c.route), d = dst(c.route);
    const std::string old_version = "the previous copy\n";
    make_tree(s.disk, {Node::file("z/small", "small").with_times(kBaseTime, kBaseTime)});
    write_big_file(s.disk + "/z/big", 200 * kMiB, 5);
    set_times(s.disk + "/z/big", kBaseTime, kBaseTime);
    make_tree(d.disk, {Node::file("z/big", old_version).with_times(kBaseTime, kBaseTime - 100)});

    Server& dst_srv = dst_server(c.route);
    bool killed = false;
    RunOptions options;
    options.timeout = std::chrono::seconds(120);
    options.on_poll = [&](pid_t pid, const std::string&) {
        if (killed) return;
        bool growing = false;
        std::error_code ec;
        for (const auto& t : temporaries_in(d.disk + "/z"))
            growing = growing || std::filesystem::file_size(t, ec) > 0;
        if (!growing) return;
        killed = true;
        switch (c.victim) {
            case Victim::client:
                ::kill(pid, SIGKILL);
                break;
            case Victim::src_server:
                a_.process->stop(SIGKILL);
                break;
            case Victim::dst_server:
                dst_srv.process->stop(SIGKILL);
                break;
            case Victim::dst_server_hangs:
                dst_srv.process->signal(SIGSTOP);
                break;
        }
    };
    const RunResult run = dvcp({"mode=sync", "bs=64k", "if=" + s.arg, "of=" + d.arg}, options);
    ASSERT_TRUE(killed) << "the copy was never seen under way\n" << run.describe();
    EXPECT_FALSE(run.timed_out) << run.describe();
    if (c.victim == Victim::client) {
        EXPECT_FALSE(run.exited) << run.describe();
    } else {
        EXPECT_EXIT_STATUS(run, 7);
    }
    if (c.victim == Victim::dst_server_hangs) dst_srv.process->signal(SIGCONT);
    EXPECT_EQ(read_file(d.disk + "/z/big"), old_version);
    EXPECT_EQ(lstat_path(d.disk + "/z/big").mtime, kBaseTime - 100);

    // A writer that is still alive drops its temporary once the transfer is gone.
    const bool writer_alive = c.victim == Victim::src_server ||
                              c.victim == Victim::dst_server_hangs ||
                              (c.victim == Victim::client && dst_remote(c.route));
    if (writer_alive) {
        for (int i = 0; i < 200 && !temporaries_in(d.disk + "/z").empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(temporaries_in(d.disk + "/z").empty());
    }

    // The servers up again (on new ports), the next sync completes and leaves no temporary.
    if (c.victim == Victim::src_server || c.victim == Victim::dst_server) {
        (c.victim == Victim::src_server ? a_ : dst_srv).start();
    }
    const End s2 = src(c.route), d2 = dst(c.route);
    const RunResult again = dvcp({"mode=sync", "if=" + s2.arg, "of=" + d2.arg});
    EXPECT_EXIT_STATUS(again, 0);
    EXPECT_TRUE(read_file(d.disk + "/z/big") == read_file(s.disk + "/z/big"));
    EXPECT_EQ(read_file(d.disk + "/z/small"), "small");
    EXPECT_TRUE(temporaries_in(d.disk + "/z").empty());
}

const KillCase kKillCases[] = {
    {"LrServerKilled", Route::lr, Victim::dst_server},
    {"LrClientKilled", Route::lr, Victim::client},
    // Ends after the read time-out (15 s) and a repair whose three logins each time out too.
    {"LrServerHangs", Route::lr, Victim::dst_server_hangs},
    {"RlServerKilled", Route::rl, Victim::src_server},
    {"RrSourceServerKilled", Route::rr2, Victim::src_server},
    {"RrDestinationServerKilled", Route::rr2, Victim::dst_server},
    {"RrClientKilled", Route::rr2, Victim::client},
};

INSTANTIATE_TEST_SUITE_P(Cases, DvcpRemoteKilled, ::testing::ValuesIn(kKillCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace systest
