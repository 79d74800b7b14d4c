// dvcp run as a process on local trees: command line, list output, copy and sync results
// compared byte for byte and attribute by attribute, report lines and exit statuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "lib/test_support/real_peer.h"
#include "system/support/process.h"
#include "system/support/report.h"
#include "system/support/tree.h"

namespace systest {
namespace {

#ifdef DVCP_BIN
const char* const kDvcp = DVCP_BIN;
#else
const char* const kDvcp = nullptr;
#endif

constexpr int64_t kBaseTime = 1600000000;  // 2020-09-13
constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

const char kUsageLine[] = "usage: dvcp [mode=..] [if=dir] [of=dir] [bs=N]";

bool is_root() {
    return ::geteuid() == 0;
}

std::string join_lines(const std::multiset<std::string>& lines) {
    std::string text;
    for (const auto& l : lines) text += "  " + printable(l) + "\n";
    return text;
}

std::multiset<std::string> file_lines(const std::string& path) {
    std::multiset<std::string> lines;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);) lines.insert(line);
    return lines;
}

// A tree with what trips copiers up: sizes around block and batch limits, empty files and
// directories, every kind of link, awkward names and a spread of modes, owners and times.
// `outside` is an absolute path outside both trees that one link points to.
std::vector<Node> rich_tree(const std::string& outside) {
    int64_t t = kBaseTime;
    auto stamp = [&t](Node n) {
        t += 3671;
        return std::move(n).with_times(t + 1000, t);
    };
    std::vector<Node> nodes;
    const std::pair<const char*, size_t> sizes[] = {
        {"size_0", 0},           {"size_1", 1},           {"size_4095", 4095},
        {"size_4096", 4096},     {"size_65535", 65535},   {"size_65536", 65536},
        {"size_65537", 65537},   {"size_524287", 524287}, {"size_524288", 524288},
        {"size_524289", 524289}, {"size_2m", 2 << 20},    {"size_3m", (3 << 20) + 7},
        {"size_4m", 4 << 20},
    };
    for (const auto& [name, size] : sizes) nodes.push_back(stamp(Node::sized(name, size)));
    for (const char* dir :
         {"sub", "sub/deeper", "sub/deeper/deepest", "empty_dir", "sub/empty_inner",
          "sub/deeper/deepest/void", "only_empty", "only_empty/inner", "only_empty/inner/innermost",
          "links", "names", "names/dir with blank", "a", "modes"})
        nodes.push_back(stamp(Node::dir(dir)));
    nodes.push_back(stamp(Node::file("sub/empty_file", "")));
    nodes.push_back(stamp(Node::sized("sub/deeper/x.bin", 12345)));
    nodes.push_back(stamp(Node::file("sub/deeper/deepest/leaf.txt", "leaf\n")));
    // Links are copied as links; their text is kept as stored.
    nodes.push_back(stamp(Node::link("links/rel_file", "../size_1")));
    nodes.push_back(stamp(Node::link("links/rel_dir", "../sub")));
    nodes.push_back(stamp(Node::link("links/dangling", "no/such/target")));
    nodes.push_back(stamp(Node::link("links/abs_dangling", "/nonexistent/dvcp-test-target")));
    nodes.push_back(stamp(Node::link("links/abs_outside", outside)));
    nodes.push_back(stamp(Node::link("sub/deeper/up_link", "../../size_4096")));
    // Names that hold the list output's link separator.
    nodes.push_back(stamp(Node::link("links/arrow -> link", "../size_1")));
    nodes.push_back(stamp(Node::dir("names/dir -> arrow")));
    nodes.push_back(stamp(Node::file("names/dir -> arrow/inside", "i")));
    nodes.push_back(stamp(Node::file("names/file -> arrow", "f")));
    for (const char* name : {"names/with blank", "names/ leading blank", "names/say \"hi\"",
                             "names/caf\xc3\xa9", "names/raw\xff\xfe", "names/%s %d %n",
                             "names/-dash", "names/'single'", "names/dir with blank/inside"})
        nodes.push_back(stamp(Node::file(name, std::string("content of ") + name)));
    // A file named a\b beside a directory a holding b.
    nodes.push_back(stamp(Node::file("a\\b", "the file named a-backslash-b")));
    nodes.push_back(stamp(Node::file("a/b", "the file b inside directory a")));
    nodes.push_back(stamp(Node::file("modes/private", "p").with_mode(0600)));
    nodes.push_back(stamp(Node::file("modes/exec", "#!/bin/sh\n").with_mode(0755)));
    nodes.push_back(stamp(Node::file("modes/readonly", "r").with_mode(0444)));
    nodes.push_back(stamp(Node::dir("modes/closed").with_mode(0700)));
    nodes.push_back(stamp(Node::file("modes/closed/inner", "i").with_mode(0640)));
    if (is_root()) {
        nodes.push_back(stamp(Node::dir("owners")));
        nodes.push_back(stamp(Node::file("owners/nobody", "n").with_owner(kNobody, kNogroup)));
        nodes.push_back(stamp(Node::file("owners/numeric", "x").with_owner(1234, 5678)));
        nodes.push_back(stamp(Node::dir("owners/dir").with_owner(4321, 8765).with_mode(0750)));
        nodes.push_back(stamp(Node::file("owners/dir/f", "f").with_owner(4321, 8765)));
    }
    return nodes;
}

class Dvcp : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!kDvcp) GTEST_SKIP() << "dvcp is not part of this build";
    }

    RunResult dvcp(const std::vector<std::string>& args, RunOptions options = {}) const {
        std::vector<std::string> argv{kDvcp};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv, options);
    }

    // A file beside the trees that links point to; see expect_outside_untouched.
    void make_outside() {
        write_file(outside_, "outside the trees\n");
        if (is_root() && ::lchown(outside_.c_str(), kNobody, kNogroup) != 0)
            throw std::runtime_error("lchown " + outside_);
        if (::chmod(outside_.c_str(), 0640) != 0) throw std::runtime_error("chmod " + outside_);
        set_times(outside_, kBaseTime - 50, kBaseTime - 100);
    }

    // Builds the rich tree at src and the file its absolute link points to.
    void make_rich_source() {
        make_outside();
        make_tree(src_, rich_tree(outside_));
    }

    // A link's attributes must never be applied to whatever it points to.
    void expect_outside_untouched() const {
        const auto st = lstat_path(outside_);
        EXPECT_EQ(st.mode & 07777, 0640u);
        EXPECT_EQ(st.mtime, kBaseTime - 100);
        if (is_root()) {
            EXPECT_EQ(st.uid, kNobody);
        }
        EXPECT_EQ(read_file(outside_), "outside the trees\n");
    }

    TempDir tmp_;
    const std::string src_ = tmp_ / "src";
    const std::string dst_ = tmp_ / "dst";
    const std::string outside_ = tmp_ / "outside.txt";
};

#define EXPECT_EXIT_STATUS(result, status)                         \
    EXPECT_TRUE((result).exited && (result).exit_code == (status)) \
        << "expected exit status " << (status) << "\n"             \
        << (result).describe()

void expect_counts(const RunResult& run, const std::map<std::string, int64_t>& counts) {
    const Report report = Report::parse(run.err);
    for (const auto& [key, value] : counts)
        EXPECT_EQ(report.number(key), std::optional<int64_t>(value)) << key << "\n"
                                                                     << report.describe();
}

// ---------------------------------------------------------------------------------------
// Command line

struct CliCase {
    const char* name;
    std::vector<std::string> args;  // "{src}" and "{dst}" are replaced
    int status;
    bool usage;                      // usage text on standard error
    std::optional<std::string> out;  // exact standard output
    const char* complaint;           // the line that names the fault, before the usage text
};
void PrintTo(const CliCase& c, std::ostream* os) {
    *os << c.name;
}

class DvcpCommandLine : public Dvcp, public ::testing::WithParamInterface<CliCase> {};

TEST_P(DvcpCommandLine, StatusOutputAndUsage) {
    const CliCase& c = GetParam();
    make_tree(src_, {Node::file("f", "data")});
    std::vector<std::string> args;
    for (std::string a : c.args) {
        for (auto [key, value] :
             {std::pair<std::string, std::string>{"{src}", src_}, {"{dst}", dst_}}) {
            if (auto at = a.find(key); at != std::string::npos) a.replace(at, key.size(), value);
        }
        args.push_back(a);
    }
    const RunResult run = dvcp(args);
    EXPECT_EXIT_STATUS(run, c.status);
    const std::string err = strip_ansi(run.err);
    EXPECT_EQ(err.find(kUsageLine) != std::string::npos, c.usage) << run.describe();
    if (c.usage) {
        EXPECT_NE(err.find("dvcp v1.0.1.0 (2023-11-8) [little] - Quickly copy synced files"),
                  std::string::npos);
        EXPECT_NE(err.find("\tbs=BYTES    read and write BYTES bytes at a time\n"),
                  std::string::npos);
        EXPECT_NE(err.find("\tlevel=LEVEL    set log level: [verb, dbg, info, warn, err]\n"),
                  std::string::npos);
    }
    if (c.out) {
        EXPECT_EQ(run.out, *c.out);
    }
    if (c.complaint) {
        const size_t at = err.find(std::string(c.complaint) + "\n");
        EXPECT_NE(at, std::string::npos) << run.describe();
        EXPECT_LT(at, err.find("dvcp v1.0.1.0")) << "the complaint comes first\n" << run.describe();
    }
    if (c.status != 0) {
        EXPECT_FALSE(exists(dst_)) << "a refused command wrote its destination";
    }
}

const CliCase kCliCases[] = {
    {"Version", {"-v"}, 0, false, "1.0.1.0\n", nullptr},
    {"VersionAmongOtherArguments", {"-v", "if={src}"}, 1, true, std::nullopt, nullptr},
    {"ModeListCp",
     {"ls_mode=cp"},
     0,
     false,
     "supprots_mode:\ncopy_overwrite\ncopy_diff_size_date\n",
     nullptr},
    {"ModeListCopy",
     {"ls_mode=copy"},
     0,
     false,
     "supprots_mode:\ncopy_overwrite\ncopy_diff_size_date\n",
     nullptr},
    {"ModeListSync", {"ls_mode=sync"}, 0, false, "supprots_mode:\nsync_diff_size_date\n", nullptr},
    {"ModeListNoMatch", {"ls_mode=other"}, 0, false, "supprots_mode:\n", nullptr},
    {"ModeListAll",
     {"ls_mode="},
     0,
     false,
     "supprots_mode:\ncopy_overwrite\ncopy_diff_size_date\nsync_diff_size_date\n",
     nullptr},
    {"ModeListEndsBeforeLaterArguments",
     {"ls_mode=sync", "if={src}", "of={dst}"},
     0,
     false,
     "supprots_mode:\nsync_diff_size_date\n",
     nullptr},
    {"ModeListEndsBeforeABadArgument",
     {"ls_mode=cp", "bogus"},
     0,
     false,
     "supprots_mode:\ncopy_overwrite\ncopy_diff_size_date\n",
     nullptr},
    {"RemoveModeRefused", {"mode=rm", "if={src}", "of={dst}"}, 1, true, std::nullopt, nullptr},
    {"UnknownModeRefused", {"mode=mirror", "if={src}", "of={dst}"}, 1, true, std::nullopt, nullptr},
    {"ModePrefixRefused", {"mode=copy", "if={src}", "of={dst}"}, 1, true, std::nullopt, nullptr},
    {"MissingSource", {"of={dst}"}, 1, true, std::nullopt, nullptr},
    {"ArgumentWithoutEquals", {"if={src}", "of={dst}", "verbose"}, 1, true, std::nullopt, nullptr},
    {"UnknownKey", {"if={src}", "of={dst}", "colour=red"}, 1, true, std::nullopt, nullptr},
    {"BadArgumentBeforeModeList", {"bogus", "ls_mode=cp"}, 1, true, std::nullopt, nullptr},
    // A listing nobody receives is refused, not run into nowhere.
    {"ListWithoutListFile", {"mode=ls", "if={src}"}, 1, true, "", "mode=ls needs olist=FILE"},
    {"ListWithEmptyListFile",
     {"mode=ls", "if={src}", "olist="},
     1,
     true,
     "",
     "mode=ls needs olist=FILE"},
    {"LaterCopyModeNeedsNoListFile",
     {"mode=ls", "mode=cp", "if={src}", "of={dst}"},
     0,
     false,
     "",
     nullptr},
    // A misspelt option must not pass for one that was applied.
    {"UnknownLevel",
     {"level=loud", "if={src}", "of={dst}"},
     1,
     true,
     std::nullopt,
     "bad level \"loud\""},
    {"EmptyLevel", {"level=", "if={src}", "of={dst}"}, 1, true, std::nullopt, "bad level \"\""},
    {"LevelNamesAreExact",
     {"level=DBG", "if={src}", "of={dst}"},
     1,
     true,
     std::nullopt,
     "bad level \"DBG\""},
    {"EveryLevelNameAccepted",
     {"level=crit", "level=err", "level=warn", "level=noti", "level=info", "level=verb",
      "level=dbg", "if={src}", "of={dst}"},
     0,
     false,
     "",
     nullptr},
    {"UnknownDebugOption",
     {"dbg=what", "if={src}", "of={dst}"},
     1,
     true,
     std::nullopt,
     "bad dbg \"what\""},
    {"DebugOptionAccepted", {"dbg=sync_reason", "if={src}", "of={dst}"}, 0, false, "", nullptr},
    // Block sizes outside 64k..256M are refused up front, whatever the spelling.
    {"BlockSizeZero",
     {"if={src}", "of={dst}", "bs=0"},
     1,
     true,
     std::nullopt,
     "bs=0: must be a size from 64k to 256M"},
    {"BlockSizeEmpty", {"if={src}", "of={dst}", "bs="}, 1, true, std::nullopt, nullptr},
    {"BlockSizeGarbage", {"if={src}", "of={dst}", "bs=garbage"}, 1, true, std::nullopt, nullptr},
    {"BlockSizeNegative", {"if={src}", "of={dst}", "bs=-64k"}, 1, true, std::nullopt, nullptr},
    {"BlockSizeLowerCaseMega", {"if={src}", "of={dst}", "bs=1m"}, 1, true, std::nullopt, nullptr},
    {"BlockSizeOneByte", {"if={src}", "of={dst}", "bs=1"}, 1, true, std::nullopt, nullptr},
    {"BlockSize1k",
     {"if={src}", "of={dst}", "bs=1k"},
     1,
     true,
     std::nullopt,
     "bs=1k: must be a size from 64k to 256M"},
    {"BlockSize4k", {"if={src}", "of={dst}", "bs=4k"}, 1, true, std::nullopt, nullptr},
    {"BlockSize512M", {"if={src}", "of={dst}", "bs=512M"}, 1, true, std::nullopt, nullptr},
    {"BlockSize8G", {"if={src}", "of={dst}", "bs=8G"}, 1, true, std::nullopt, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Cases, DvcpCommandLine, ::testing::ValuesIn(kCliCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// Jobs that cannot be opened: an error line, a failing status, nothing written.

struct OpenFailureCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* log_text;  // expected in a log line, or nullptr
};
void PrintTo(const OpenFailureCase& c, std::ostream* os) {
    *os << c.name;
}

class DvcpOpenFailure : public Dvcp, public ::testing::WithParamInterface<OpenFailureCase> {};

TEST_P(DvcpOpenFailure, FailsWithoutTouchingAnything) {
    const OpenFailureCase& c = GetParam();
    make_tree(src_, {Node::file("f", "source data"), Node::file("sub/g", "more")});
    write_file(tmp_ / "plain_file", "not a directory");
    const Snapshot before = snapshot(tmp_.path());
    std::vector<std::string> args;
    for (std::string a : c.args) {
        if (auto at = a.find("{tmp}"); at != std::string::npos) a.replace(at, 5, tmp_.path());
        args.push_back(a);
    }
    const RunResult run = dvcp(args);
    EXPECT_EXIT_STATUS(run, c.status);
    if (c.log_text) {
        EXPECT_TRUE(log_contains(run.err, c.log_text)) << run.describe();
    }
    const auto diffs = compare(before, snapshot(tmp_.path()), {.atime = false});
    EXPECT_TRUE(diffs.empty()) << format_differences(diffs);
}

const OpenFailureCase kOpenFailureCases[] = {
    // A failure must never be reported as success.
    {"SameSourceAndDestinationCopy",
     {"if={tmp}/src", "of={tmp}/src"},
     1,
     "The source url and destination url cannot be the same"},
    {"SameSourceAndDestinationSync",
     {"mode=sync", "if={tmp}/src", "of={tmp}/src"},
     1,
     "The source url and destination url cannot be the same"},
    {"SameDirectoryWithTrailingSlash",
     {"mode=sync", "if={tmp}/src", "of={tmp}/src/"},
     1,
     "The source url and destination url cannot be the same"},
    // A destination inside the source would be copied into itself without end.
    {"DestinationInsideSource",
     {"if={tmp}/src", "of={tmp}/src/sub/inner"},
     1,
     "is inside the source"},
    {"DestinationRootIsAFile",
     {"if={tmp}/src", "of={tmp}/plain_file"},
     1,
     "It is a file, must be a directory"},
    {"SyncDestinationRootIsAFile",
     {"mode=sync", "if={tmp}/src", "of={tmp}/plain_file"},
     1,
     "It is a file, must be a directory"},
    // File not found is class 2.
    {"SourceMissing", {"if={tmp}/no_such_dir", "of={tmp}/dst"}, 2, nullptr},
    {"ListSourceMissing",
     {"mode=ls", "if={tmp}/no_such_dir", "olist={tmp}/no_such_dir/list"},
     2,
     "error: "},
    {"CopyWithoutDestination",
     {"if={tmp}/src"},
     1,
     "error: a copy or sync needs a destination (of=)"},
    {"SyncWithoutDestination", {"mode=sync", "if={tmp}/src"}, 1, nullptr},
    {"ServerNotListening",
     {"if={tmp}/src", "of=dvp://127.0.0.1:1/backup"},
     1,
     "error: connect 127.0.0.1:1: Connection refused"},
    {"UnknownUrlScheme",
     {"if={tmp}/src", "of=ftp://127.0.0.1/backup"},
     1,
     "error: unsupported url scheme [ftp]"},
    // A session name needs the client profile that defines it; there is none here.
    {"SessionWithoutClientProfile",
     {"mode=sync", "if=///session/data", "of={tmp}/dst"},
     1,
     "error: conf_load"},
};

INSTANTIATE_TEST_SUITE_P(Cases, DvcpOpenFailure, ::testing::ValuesIn(kOpenFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The same directory written differently must not be copied onto itself: that would truncate
// every source file before reading it.
TEST_F(Dvcp, SourceNeverDestroyedByCopyOntoItself) {
    make_tree(src_, {Node::sized("f", 100000), Node::file("sub/g", "more"), Node::dir("e")});
    const Snapshot before = snapshot(src_);
    for (const std::string& other : {src_ + "/", src_ + "/.", src_ + "//", tmp_ / "./src"}) {
        for (const char* mode : {"mode=cp", "mode=sync"}) {
            SCOPED_TRACE(std::string(mode) + " of=" + other);
            const RunResult run = dvcp({mode, "if=" + src_, "of=" + other});
            EXPECT_TRUE(run.exited) << run.describe();
            const auto diffs = compare(before, snapshot(src_), {.mtime = false});
            EXPECT_TRUE(diffs.empty()) << format_differences(diffs) << "\n" << run.describe();
        }
    }
}

// ---------------------------------------------------------------------------------------
// List jobs

struct ListCase {
    const char* name;
    std::vector<std::string> leading;  // arguments before the usual ones
};
void PrintTo(const ListCase& c, std::ostream* os) {
    *os << c.name;
}

class DvcpList : public Dvcp, public ::testing::WithParamInterface<ListCase> {};

TEST_P(DvcpList, WritesEveryPathOnce) {
    make_rich_source();
    const Snapshot tree = settled_snapshot(src_);
    const std::string list = tmp_ / "list.txt";
    std::vector<std::string> args = GetParam().leading;
    args.insert(args.end(), {"mode=ls", "if=" + src_, "olist=" + list});
    const RunResult run = dvcp(args);
    EXPECT_EXIT_STATUS(run, 0);

    const auto expected = expected_list_lines(src_, tree);
    const auto got = file_lines(list);
    EXPECT_EQ(got, expected) << "expected:\n"
                             << join_lines(expected) << "got:\n"
                             << join_lines(got);

    expect_counts(run,
                  {{"file_count", static_cast<int64_t>(tree.size() - count_kind(tree, Kind::dir))},
                   {"dir_count", static_cast<int64_t>(count_kind(tree, Kind::dir))},
                   {"file_total_size", total_file_bytes(tree)},
                   {"i_dir_fail_count", 0},
                   {"i_file_fail_count", 0}});
    const Report report = Report::parse(run.err);
    EXPECT_TRUE(report.has("total_time")) << report.describe();
    for (const char* key :
         {"o_file_fail_count", "total_read", "total_write", "trans_rate", "sync_del_file_count"})
        EXPECT_FALSE(report.has(key)) << key << " in the report of a list job";

    const auto diffs = compare(tree, snapshot(src_));
    EXPECT_TRUE(diffs.empty()) << "listing changed the source: " << format_differences(diffs);
}

const ListCase kListCases[] = {
    {"Plain", {}},
    {"AfterDoubleDash", {"--"}},
    {"LaterModeWins", {"--", "mode=cp"}},
};

INSTANTIATE_TEST_SUITE_P(Cases, DvcpList, ::testing::ValuesIn(kListCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Dvcp, ListOfEmptyRootIsEmpty) {
    make_tree(src_, {});
    const std::string list = tmp_ / "list.txt";
    write_file(list, "stale content\n");
    const RunResult run = dvcp({"mode=ls", "if=" + src_, "olist=" + list});
    EXPECT_EXIT_STATUS(run, 0);
    EXPECT_EQ(read_file(list), "");
    expect_counts(run, {{"file_count", 0}, {"dir_count", 0}});
}

// A listing that was asked for and cannot be written is a failed run, not a silent success.
TEST_F(Dvcp, ListWithUnwritableListFileFails) {
    make_tree(src_, {Node::file("f", "x"), Node::dir("d")});
    const RunResult run = dvcp({"mode=ls", "if=" + src_, "olist=" + tmp_ / "no/such/dir/list"});
    EXPECT_EXIT_STATUS(run, 1);
    EXPECT_TRUE(log_contains(run.err, "open [")) << run.describe();
}

TEST_F(Dvcp, LevelErrSilencesTheReport) {
    make_tree(src_, {Node::file("f", "x")});
    const std::string list = tmp_ / "list.txt";
    const RunResult run = dvcp({"level=err", "mode=ls", "if=" + src_, "olist=" + list});
    EXPECT_EXIT_STATUS(run, 0);
    EXPECT_FALSE(Report::parse(run.err).has("file_count")) << run.describe();
    EXPECT_EQ(read_file(list), src_ + "/f\n");
}

// ---------------------------------------------------------------------------------------
// Copy with rule 4: everything, with attributes, empty directories and directory times.

struct CopyCase {
    const char* name;
    std::vector<std::string> args;
    const char* log_text;  // expected in a log line, or nullptr
};
void PrintTo(const CopyCase& c, std::ostream* os) {
    *os << c.name;
}

class DvcpCopyAll : public Dvcp, public ::testing::WithParamInterface<CopyCase> {};

TEST_P(DvcpCopyAll, DestinationEqualsSource) {
    make_rich_source();
    const Snapshot expected = settled_snapshot(src_);
    std::vector<std::string> args = GetParam().args;
    // The destination root does not exist yet, nor its parent.
    const std::string dst = dst_ + "/nested/root";
    args.insert(args.end(), {"if=" + src_, "of=" + dst});
    const RunResult run = dvcp(args);
    EXPECT_EXIT_STATUS(run, 0);

    const auto diffs = compare(expected, snapshot(dst), {.atime = true});
    EXPECT_TRUE(diffs.empty()) << format_differences(diffs) << "\n" << run.describe();
    const auto src_diffs = compare(expected, snapshot(src_));
    EXPECT_TRUE(src_diffs.empty()) << "the source changed: " << format_differences(src_diffs);
    expect_outside_untouched();

    const auto files = static_cast<int64_t>(expected.size() - count_kind(expected, Kind::dir));
    const int64_t bytes = total_file_bytes(expected);
    expect_counts(run, {{"file_count", files},
                        {"dir_count", static_cast<int64_t>(count_kind(expected, Kind::dir))},
                        {"file_total_size", bytes},
                        {"i_file_fail_count", 0},
                        {"i_dir_fail_count", 0},
                        {"o_file_fail_count", 0},
                        {"o_dir_fail_count", 0},
                        {"total_read", bytes},
                        {"total_write", bytes}});
    const Report report = Report::parse(run.err);
    const auto opened = report.number("file_open_count");
    ASSERT_TRUE(opened) << report.describe();
    EXPECT_GE(*opened, static_cast<int64_t>(count_kind(expected, Kind::file)));
    EXPECT_LE(*opened, files);
    for (const char* key : {"trans_rate", "file_rate", "total_time"})
        EXPECT_TRUE(report.has(key)) << key << " missing; " << report.describe();
    EXPECT_FALSE(report.has("sync_del_file_count")) << "sync counters in a copy report";
    if (GetParam().log_text) {
        EXPECT_TRUE(log_contains(run.err, GetParam().log_text)) << run.describe();
    }
}

const CopyCase kCopyCases[] = {
    {"Default", {}, nullptr},
    {"Cp", {"mode=cp"}, nullptr},
    {"CopyOverwrite", {"mode=copy_overwrite"}, nullptr},
    // The smallest block size: the listing buffers shrink with it, and say so.
    {"BlockSize64k", {"bs=64k"}, "imfile_param.max_mfile_size=524288 too big"},
    {"CpBlockSize1M", {"mode=cp", "bs=1M"}, nullptr},
    {"DoubleDashSkipped", {"--", "mode=cp"}, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Cases, DvcpCopyAll, ::testing::ValuesIn(kCopyCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Rule 4 overwrites files whatever their size and time, and deletes nothing.
TEST_F(Dvcp, CopyOverwritesAndNeverDeletes) {
    make_tree(src_,
              {Node::file("same_size_same_time", "from source").with_times(kBaseTime, kBaseTime),
               Node::file("sub/changed", "new").with_times(kBaseTime, kBaseTime)});
    make_tree(dst_,
              {Node::file("same_size_same_time", "from target").with_times(kBaseTime, kBaseTime),
               Node::file("sub/changed", "old content").with_times(kBaseTime, kBaseTime + 500),
               Node::file("extra_root", "stays"), Node::file("sub/extra", "stays too"),
               Node::file("extra_dir/deep/file", "and this")});
    const RunResult run = dvcp({"mode=cp", "if=" + src_, "of=" + dst_});
    EXPECT_EXIT_STATUS(run, 0);
    EXPECT_EQ(read_file(dst_ + "/same_size_same_time"), "from source");
    EXPECT_EQ(read_file(dst_ + "/sub/changed"), "new");
    EXPECT_EQ(lstat_path(dst_ + "/sub/changed").mtime, kBaseTime);
    EXPECT_EQ(read_file(dst_ + "/extra_root"), "stays");
    EXPECT_EQ(read_file(dst_ + "/sub/extra"), "stays too");
    EXPECT_EQ(read_file(dst_ + "/extra_dir/deep/file"), "and this");
    expect_counts(run, {{"file_open_count", 2}, {"o_file_fail_count", 0}});
}

// A link replaces the file or empty directory at its place; a regular file replaces a link
// without writing through it.
class DvcpReplace : public Dvcp, public ::testing::WithParamInterface<const char*> {};

TEST_P(DvcpReplace, WhatStandsInTheWayIsReplaced) {
    make_outside();
    make_tree(src_, {Node::file("target.txt", "t"), Node::file("sub/in_sub", "s"),
                     Node::link("file_link", "target.txt"), Node::link("dir_link", "sub"),
                     Node::file("was_link", "regular now").with_mode(0600)});
    make_tree(dst_, {Node::file("file_link", "a regular file in the way"), Node::dir("dir_link"),
                     Node::link("was_link", outside_)});
    const bool sync = std::string(GetParam()) == "mode=sync";
    const Snapshot expected = settled_snapshot(src_);
    const RunResult run = dvcp({GetParam(), "if=" + src_, "of=" + dst_});
    EXPECT_EXIT_STATUS(run, 0);
    const auto diffs = compare(expected, snapshot(dst_), {.dir_attributes = !sync});
    EXPECT_TRUE(diffs.empty()) << format_differences(diffs) << "\n" << run.describe();
    expect_outside_untouched();
}

INSTANTIATE_TEST_SUITE_P(Modes, DvcpReplace, ::testing::Values("mode=cp", "mode=sync"));

// The forms a user may type for a local directory all name the same directory.
struct PathFormCase {
    const char* name;
    const char* source;  // "{tmp}" is replaced
    const char* destination;
    bool relative;  // run from {tmp}
};
void PrintTo(const PathFormCase& c, std::ostream* os) {
    *os << c.name;
}

class DvcpPathForms : public Dvcp, public ::testing::WithParamInterface<PathFormCase> {};

TEST_P(DvcpPathForms, CopyLandsInTheNamedDirectory) {
    const PathFormCase& c = GetParam();
    make_tree(src_,
              {Node::file("f", "data").with_times(kBaseTime, kBaseTime),
               Node::file("sub/g", "more").with_times(kBaseTime, kBaseTime),
               Node::link("sub/l", "../f"), Node::dir("empty").with_times(kBaseTime, kBaseTime)});
    const Snapshot expected = settled_snapshot(src_);
    auto expand = [&](std::string text) {
        if (auto at = text.find("{tmp}"); at != std::string::npos) text.replace(at, 5, tmp_.path());
        return text;
    };
    RunOptions options;
    if (c.relative) options.cwd = tmp_.path();
    const RunResult run = dvcp({"if=" + expand(c.source), "of=" + expand(c.destination)}, options);
    EXPECT_EXIT_STATUS(run, 0);
    const auto diffs = compare(expected, snapshot(dst_));
    EXPECT_TRUE(diffs.empty()) << format_differences(diffs) << "\n" << run.describe();
}

const PathFormCase kPathFormCases[] = {
    {"Relative", "src", "dst", true},
    {"RelativeWithDot", "./src", "./dst/", true},
    {"FileScheme", "file://{tmp}/src", "file://{tmp}/dst", false},
    {"TrailingSlashes", "{tmp}/src/", "{tmp}/dst/", false},
    {"DoubledSlashes", "{tmp}//src", "{tmp}///dst", false},
    {"Quoted", "\"{tmp}/src\"", "'{tmp}/dst'", false},
};

INSTANTIATE_TEST_SUITE_P(Cases, DvcpPathForms, ::testing::ValuesIn(kPathFormCases),
                         [](const auto& info) { return std::string(info.param.name); });

// dbg=sync_reason says why each file moves.
TEST_F(Dvcp, SyncReasonNamesSizeAndTimeChanges) {
    make_tree(src_, {Node::file("resized", "longer source").with_times(kBaseTime, kBaseTime),
                     Node::file("touched", "same").with_times(kBaseTime, kBaseTime + 10),
                     Node::file("equal", "same").with_times(kBaseTime, kBaseTime)});
    make_tree(dst_, {Node::file("resized", "short").with_times(kBaseTime, kBaseTime),
                     Node::file("touched", "same").with_times(kBaseTime, kBaseTime),
                     Node::file("equal", "same").with_times(kBaseTime, kBaseTime)});
    const RunResult run = dvcp({"mode=sync", "dbg=sync_reason", "if=" + src_, "of=" + dst_});
    EXPECT_EXIT_STATUS(run, 0);
    EXPECT_TRUE(log_contains(run.err, "[resized] size=5 != 13")) << run.describe();
    EXPECT_TRUE(log_contains(run.err, "[touched] time_write=" + std::to_string(kBaseTime) +
                                          " != " + std::to_string(kBaseTime + 10)))
        << run.describe();
    EXPECT_FALSE(log_contains(run.err, "[equal]")) << run.describe();
    expect_counts(run, {{"file_open_count", 2}});
}

// A destination path past the system's limit fails and is counted; it is never cut short
// into some other path.
// Destination paths longer than the system's path limit are still written whole: the writer
// reaches every directory from its parent's open descriptor, never through the full path.
TEST_F(Dvcp, OverlongDestinationPathsAreWrittenWhole) {
    std::vector<Node> nodes;
    std::string dir;
    std::vector<std::string> parts;
    for (int level = 0; level < 16; ++level) {
        parts.push_back(std::string(level < 10 ? "n0" : "n1") + std::to_string(level % 10) +
                        std::string(244, 'a'));
        dir += (level ? "/" : "") + parts.back();
        nodes.push_back(Node::file(dir + "/f", "level " + std::to_string(level)));
    }
    make_tree(src_, nodes);
    const std::string dst = tmp_ / ("dst_" + std::string(200, 'y'));
    const RunResult run = dvcp({"if=" + src_, "of=" + dst});
    EXPECT_EXIT_STATUS(run, 0);
    ASSERT_GT(dst.size() + dir.size(), 4096u) << "the tree does not reach the limit";
    int fd = open(dst.c_str(), O_PATH | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (size_t level = 0; level < parts.size(); ++level) {
        int next = openat(fd, parts[level].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW);
        close(fd);
        ASSERT_GE(next, 0) << "level " << level;
        fd = next;
        int file = openat(fd, "f", O_RDONLY);
        ASSERT_GE(file, 0) << "level " << level;
        char buf[64];
        ssize_t n = read(file, buf, sizeof(buf));
        close(file);
        EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0),
                  "level " + std::to_string(level));
    }
    close(fd);
}

// ---------------------------------------------------------------------------------------
// Comparison rules: which destination files each mode replaces.

struct RuleCase {
    const char* mode;
    bool tolerant;  // rules 2 and 5: same size and mtimes at most 2 s apart count as equal
};
void PrintTo(const RuleCase& c, std::ostream* os) {
    *os << c.mode;
}

class DvcpRules : public Dvcp, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(DvcpRules, ReplacesExactlyTheChangedFiles) {
    struct FileCase {
        const char* name;
        int64_t dst_delta;  // destination mtime minus source mtime
        bool same_size;
        bool replaced_when_tolerant;
    };
    const FileCase files[] = {
        {"same_time", 0, true, false},     {"two_later", 2, true, false},
        {"two_earlier", -2, true, false},  {"three_later", 3, true, true},
        {"three_earlier", -3, true, true}, {"other_size", 0, false, true},
        {"far_later", 100000, true, true},
    };
    std::vector<Node> src_nodes, dst_nodes;
    for (const auto& f : files) {
        src_nodes.push_back(Node::file(std::string("d/") + f.name, "source-content-16")
                                .with_times(kBaseTime, kBaseTime));
        dst_nodes.push_back(
            Node::file(std::string("d/") + f.name, f.same_size ? "target-content-16" : "target")
                .with_times(kBaseTime, kBaseTime + f.dst_delta));
    }
    src_nodes.push_back(
        Node::file("d/new_file", "only in the source").with_times(kBaseTime, kBaseTime));
    make_tree(src_, src_nodes);
    make_tree(dst_, dst_nodes);

    const RuleCase& c = GetParam();
    const RunResult run = dvcp({std::string("mode=") + c.mode, "if=" + src_, "of=" + dst_});
    EXPECT_EXIT_STATUS(run, 0);
    int64_t replaced = 1;  // new_file
    for (const auto& f : files) {
        SCOPED_TRACE(f.name);
        const std::string path = dst_ + "/d/" + f.name;
        const bool expect_replaced = !c.tolerant || f.replaced_when_tolerant;
        replaced += expect_replaced;
        if (expect_replaced) {
            EXPECT_EQ(read_file(path), "source-content-16");
            EXPECT_EQ(lstat_path(path).mtime, kBaseTime);
        } else {
            EXPECT_EQ(read_file(path), "target-content-16") << "an equal file was transferred";
            EXPECT_EQ(lstat_path(path).mtime, kBaseTime + f.dst_delta);
        }
    }
    EXPECT_EQ(read_file(dst_ + "/d/new_file"), "only in the source");
    expect_counts(run, {{"file_count", 8},
                        {"file_open_count", replaced},
                        {"o_file_fail_count", 0},
                        {"i_file_fail_count", 0}});
}

const RuleCase kRuleCases[] = {
    {"copy_diff_size_date", true},
    {"sync", true},
    {"sync_diff_size_date", true},
    {"cp", false},
    {"copy_overwrite", false},
    {"sync_diff_size_date_bin", false},
    {"sync_diff_size_date_hash", false},
    {"sync_diff_size_date_rsync", false},
    {"sync_diff_size_date_auto_hash_rsync", false},
};

INSTANTIATE_TEST_SUITE_P(Modes, DvcpRules, ::testing::ValuesIn(kRuleCases),
                         [](const auto& info) { return std::string(info.param.mode); });

// Modes whose names promise to keep destination files must not overwrite them.
TEST_F(Dvcp, CopyNoOverwriteKeepsExistingFiles) {
    make_tree(src_, {Node::file("exists", "from source").with_times(kBaseTime, kBaseTime),
                     Node::file("new", "brand new").with_times(kBaseTime, kBaseTime)});
    make_tree(dst_,
              {Node::file("exists", "user's own data").with_times(kBaseTime, kBaseTime - 100)});
    const RunResult run = dvcp({"mode=copy_no_overwrite", "if=" + src_, "of=" + dst_});
    EXPECT_EXIT_STATUS(run, 0);
    EXPECT_EQ(read_file(dst_ + "/exists"), "user's own data");
    EXPECT_EQ(read_file(dst_ + "/new"), "brand new");
}

TEST_F(Dvcp, CopyNewerKeepsNewerDestinationFiles) {
    make_tree(src_, {Node::file("dst_newer", "older source").with_times(kBaseTime, kBaseTime),
                     Node::file("dst_older", "newer source").with_times(kBaseTime, kBaseTime)});
    make_tree(dst_, {Node::file("dst_newer", "edited later").with_times(kBaseTime, kBaseTime + 100),
                     Node::file("dst_older", "stale").with_times(kBaseTime, kBaseTime - 100)});
    const RunResult run = dvcp({"mode=copy_newer", "if=" + src_, "of=" + dst_});
    EXPECT_EXIT_STATUS(run, 0);
    EXPECT_EQ(read_file(dst_ + "/dst_newer"), "edited later");
    EXPECT_EQ(read_file(dst_ + "/dst_older"), "newer source");
}

// ---------------------------------------------------------------------------------------
// Sync

class DvcpSyncAll : public Dvcp, public ::testing::WithParamInterface<const char*> {};

// Files and links arrive with their attributes; directories exist only where something was
// written into them; a second run of rule 5 transfers nothing.
TEST_P(DvcpSyncAll, MirrorsFilesWithoutEmptyDirectories) {
    make_rich_source();
    const Snapshot source = settled_snapshot(src_);
    const Snapshot expected = without_empty_directories(source);
    const std::string mode = std::string("mode=") + GetParam();
    const RunResult run = dvcp({mode, "if=" + src_, "of=" + dst_});
    EXPECT_EXIT_STATUS(run, 0);
    const CompareOptions options{.atime = true, .dir_attributes = false};
    auto diffs = compare(expected, snapshot(dst_), options);
    EXPECT_TRUE(diffs.empty()) << format_differences(diffs) << "\n" << run.describe();
    expect_outside_untouched();
    const auto files = static_cast<int64_t>(source.size() - count_kind(source, Kind::dir));
    expect_counts(run, {{"file_count", files},
                        {"file_total_size", total_file_bytes(source)},
                        {"total_write", total_file_bytes(source)},
                        {"i_file_fail_count", 0},
                        {"i_dir_fail_count", 0},
                        {"o_file_fail_count", 0},
                        {"o_dir_fail_count", 0},
                        {"sync_del_file_count", 0},
                        {"sync_del_file_fail_count", 0}});
    EXPECT_FALSE(Report::parse(run.err).has("trans_rate")) << "copy-only line in a sync report";

    const bool rule5 =
        std::string(GetParam()) == "sync" || std::string(GetParam()) == "sync_diff_size_date";
    const RunResult again = dvcp({mode, "if=" + src_, "of=" + dst_});
    EXPECT_EXIT_STATUS(again, 0);
    // Reading the destination above moved its atimes; the second run is judged without them.
    diffs = compare(expected, snapshot(dst_), {.dir_attributes = false});
    EXPECT_TRUE(diffs.empty()) << "after the second run: " << format_differences(diffs);
    if (rule5) {
        expect_counts(again,
                      {{"file_open_count", 0}, {"total_write", 0}, {"sync_del_file_count", 0}});
    } else {
        expect_counts(again, {{"total_write", total_file_bytes(source)}});
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, DvcpSyncAll,
                         ::testing::Values("sync", "sync_diff_size_date", "sync_diff_size_date_bin",
                                           "sync_diff_size_date_hash", "sync_diff_size_date_rsync",
                                           "sync_diff_size_date_auto_hash_rsync"));

// Orphaned files go in a sync and stay in a copy; orphaned directories stay in both.
TEST_F(Dvcp, OrphansDeletedBySyncOnly) {
    const std::vector<Node> source = {
        Node::file("keep", "k").with_times(kBaseTime, kBaseTime),
        Node::file("sub/keep2", "k2").with_times(kBaseTime, kBaseTime),
        Node::dir("now_empty"),
    };
    const std::vector<std::string> orphans = {"orphan_root",
                                              "sub/orphan",
                                              "sub/orphan with blank",
                                              "sub/say \"orphan\"",
                                              "sub/caf\xc3\xa9 orphan",
                                              "sub/ leading",
                                              "now_empty/gone1",
                                              "now_empty/gone2"};
    const std::vector<std::string> survivors = {"old_dir/file", "old_dir/nested/deep",
                                                "sub/old_sub/x", "now_empty/keep_dir/y"};
    for (const char* mode : {"mode=sync", "mode=cp", "mode=copy_diff_size_date"}) {
        SCOPED_TRACE(mode);
        remove_all(src_);
        remove_all(dst_);
        make_tree(src_, source);
        std::vector<Node> target = source;
        for (const auto& p : orphans) target.push_back(Node::file(p, "orphan " + p));
        for (const auto& p : survivors) target.push_back(Node::file(p, "survivor " + p));
        make_tree(dst_, target);

        const RunResult run = dvcp({mode, "if=" + src_, "of=" + dst_});
        EXPECT_EXIT_STATUS(run, 0);
        const bool sync = std::string(mode) == "mode=sync";
        for (const auto& p : orphans) EXPECT_EQ(exists(dst_ + "/" + p), !sync) << printable(p);
        for (const auto& p : survivors) EXPECT_EQ(read_file(dst_ + "/" + p), "survivor " + p);
        EXPECT_EQ(read_file(dst_ + "/keep"), "k");
        EXPECT_EQ(read_file(dst_ + "/sub/keep2"), "k2");
        if (sync) {
            expect_counts(run, {{"sync_del_file_count", static_cast<int64_t>(orphans.size())},
                                {"sync_del_file_fail_count", 0}});
        }
    }
}

// An empty (readable) source root is a complete listing: its files go, directories stay.
TEST_F(Dvcp, SyncFromEmptyRootRemovesFilesOnly) {
    make_tree(src_, {});
    make_tree(dst_, {Node::file("a", "a"), Node::file("b c", "b"), Node::file("d/e", "e")});
    const RunResult run = dvcp({"mode=sync", "if=" + src_, "of=" + dst_});
    EXPECT_EXIT_STATUS(run, 0);
    EXPECT_FALSE(exists(dst_ + "/a"));
    EXPECT_FALSE(exists(dst_ + "/b c"));
    EXPECT_EQ(read_file(dst_ + "/d/e"), "e");
    expect_counts(run, {{"file_count", 0}, {"sync_del_file_count", 2}});
}

// A FIFO on either side must not block the run: reading or opening one waits for a peer
// that never comes.
TEST_F(Dvcp, FifosNeverBlock) {
    for (const char* mode : {"mode=cp", "mode=sync"}) {
        SCOPED_TRACE(mode);
        remove_all(src_);
        remove_all(dst_);
        make_tree(src_, {Node::file("plain", "p"), Node::file("clash", "regular in the source")});
        make_tree(dst_, {});
        ASSERT_EQ(::mkfifo((src_ + "/fifo").c_str(), 0644), 0);
        ASSERT_EQ(::mkfifo((dst_ + "/clash").c_str(), 0644), 0);
        RunOptions options;
        options.timeout = std::chrono::seconds(60);
        const RunResult run = dvcp({mode, "if=" + src_, "of=" + dst_}, options);
        EXPECT_EXIT_STATUS(run, 0);
        EXPECT_EQ(read_file(dst_ + "/plain"), "p");
        EXPECT_EQ(read_file(dst_ + "/clash"), "regular in the source");
    }
}

// A source file whose name is a directory at the destination: logged, counted, directory kept.
TEST_F(Dvcp, SyncKeepsDirectoryWhereSourceHasFile) {
    make_tree(src_, {Node::file("clash", "a file in the source"), Node::file("other", "o")});
    make_tree(dst_, {Node::file("clash/inner", "inside the destination directory")});
    const RunResult run = dvcp({"mode=sync", "if=" + src_, "of=" + dst_});
    EXPECT_EXIT_STATUS(run, 8);
    EXPECT_TRUE(log_contains(run.err, "del dir[clash] !!")) << run.describe();
    EXPECT_EQ(read_file(dst_ + "/clash/inner"), "inside the destination directory");
    EXPECT_EQ(read_file(dst_ + "/other"), "o");
    const auto failed = Report::parse(run.err).number("o_file_fail_count");
    ASSERT_TRUE(failed);
    EXPECT_GE(*failed, 1);
}

// A destination file where the source has a directory: a copy keeps the file and counts the
// files it could not place; a sync removes it as an orphan and then fills the directory.
TEST_F(Dvcp, FileWhereSourceHasDirectory) {
    for (const char* mode : {"mode=cp", "mode=sync"}) {
        SCOPED_TRACE(mode);
        remove_all(src_);
        remove_all(dst_);
        make_tree(src_, {Node::file("sub/inner", "inner"), Node::file("top", "t")});
        make_tree(dst_, {Node::file("sub", "a file in the way")});
        const RunResult run = dvcp({mode, "if=" + src_, "of=" + dst_});
        const bool copy = std::string(mode) == "mode=cp";
        EXPECT_EXIT_STATUS(run, copy ? 8 : 0);
        EXPECT_EQ(read_file(dst_ + "/top"), "t");
        if (copy) {
            EXPECT_EQ(read_file(dst_ + "/sub"), "a file in the way");
            const auto failed = Report::parse(run.err).number("o_file_fail_count");
            ASSERT_TRUE(failed) << run.describe();
            EXPECT_GE(*failed, 1) << run.describe();
        } else {
            EXPECT_EQ(read_file(dst_ + "/sub/inner"), "inner") << run.describe();
            expect_counts(run, {{"sync_del_file_count", 1}});
        }
    }
}

// ---------------------------------------------------------------------------------------
// Names that change meaning when a path is normalised: a\b beside a/b.

struct BackslashCase {
    const char* name;
    const char* mode;
    std::vector<Node> source;
    std::vector<Node> target;
    std::vector<Node> expected;
    int64_t deleted;  // sync_del_file_count, -1: not checked
};
void PrintTo(const BackslashCase& c, std::ostream* os) {
    *os << c.name;
}

class DvcpBackslash : public Dvcp, public ::testing::WithParamInterface<BackslashCase> {};

TEST_P(DvcpBackslash, TouchesExactlyTheNamedFiles) {
    const BackslashCase& c = GetParam();
    make_tree(src_, c.source);
    make_tree(dst_, c.target);
    TempDir want;
    make_tree(want.path(), c.expected);
    const RunResult run = dvcp({c.mode, "if=" + src_, "of=" + dst_});
    EXPECT_EXIT_STATUS(run, 0);
    const CompareOptions content_only{
        .mode = false, .owner = false, .mtime = false, .dir_attributes = false};
    const auto diffs = compare(snapshot(want.path()), snapshot(dst_), content_only);
    EXPECT_TRUE(diffs.empty()) << format_differences(diffs) << "\n" << run.describe();
    if (c.deleted >= 0) expect_counts(run, {{"sync_del_file_count", c.deleted}});
}

Node timed(Node n) {
    return std::move(n).with_times(kBaseTime, kBaseTime);
}

const BackslashCase kBackslashCases[] = {
    {"CopyBoth",
     "mode=cp",
     {Node::file("a\\b", "backslash"), Node::file("a/b", "nested")},
     {},
     {Node::file("a\\b", "backslash"), Node::file("a/b", "nested")},
     -1},
    {"SyncBoth",
     "mode=sync",
     {Node::file("a\\b", "backslash"), Node::file("a/b", "nested")},
     {},
     {Node::file("a\\b", "backslash"), Node::file("a/b", "nested")},
     0},
    {"SyncDeletesOrphanedBackslashName",
     "mode=sync",
     {timed(Node::file("a/b", "nested"))},
     {Node::file("a\\b", "stale"), timed(Node::file("a/b", "nested"))},
     {Node::file("a/b", "nested")},
     1},
    {"SyncDeletesOrphanedNestedName",
     "mode=sync",
     {timed(Node::file("a\\b", "backslash")), timed(Node::file("a/other", "o"))},
     {timed(Node::file("a\\b", "backslash")), Node::file("a/b", "stale"),
      timed(Node::file("a/other", "o"))},
     {Node::file("a\\b", "backslash"), Node::file("a/other", "o")},
     1},
    {"SyncUpdatesBackslashNameOnly",
     "mode=sync",
     {timed(Node::file("a\\b", "new backslash")), timed(Node::file("a/b", "nested"))},
     {Node::file("a\\b", "old"), timed(Node::file("a/b", "nested"))},
     {Node::file("a\\b", "new backslash"), Node::file("a/b", "nested")},
     0},
};

INSTANTIATE_TEST_SUITE_P(Cases, DvcpBackslash, ::testing::ValuesIn(kBackslashCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// A sync must not delete on the strength of a listing it could not read.

class DvcpUnprivileged : public Dvcp {
  protected:
    // As root the run goes as nobody, so that permissions apply: the trees are handed over
    // first. Take permissions away only after this.
    RunOptions hand_over() {
        RunOptions options;
        if (is_root()) {
            chown_tree(tmp_.path(), kNobody, kNogroup);
            options.uid = kNobody;
            options.gid = kNogroup;
        }
        return options;
    }
};

TEST_F(DvcpUnprivileged, SyncKeepsDestinationOfUnreadableSubdirectory) {
    make_tree(src_,
              {Node::file("top", "new top").with_times(kBaseTime, kBaseTime),
               Node::file("open/a", "a").with_times(kBaseTime, kBaseTime),
               Node::file("open/unreadable", "source version").with_times(kBaseTime, kBaseTime),
               Node::file("locked/secret", "s"), Node::file("locked/inner/deep", "d")});
    make_tree(
        dst_,
        {Node::file("top", "old top").with_times(kBaseTime, kBaseTime - 100),
         Node::file("open/a", "a").with_times(kBaseTime, kBaseTime),
         Node::file("open/orphan", "goes"), Node::file("open/unreadable", "destination version"),
         Node::file("locked/secret", "destination secret"), Node::file("locked/dst_only", "kept"),
         Node::file("locked/inner/deep", "destination deep")});
    const RunOptions options = hand_over();
    ASSERT_EQ(::chmod((src_ + "/locked").c_str(), 0), 0);
    ASSERT_EQ(::chmod((src_ + "/open/unreadable").c_str(), 0), 0);
    const RunResult run = dvcp({"mode=sync", "if=" + src_, "of=" + dst_}, options);
    EXPECT_EXIT_STATUS(run, 8);
    EXPECT_TRUE(log_contains(run.err, "source listing incomplete")) << run.describe();

    EXPECT_EQ(read_file(dst_ + "/locked/secret"), "destination secret");
    EXPECT_EQ(read_file(dst_ + "/locked/dst_only"), "kept");
    EXPECT_EQ(read_file(dst_ + "/locked/inner/deep"), "destination deep");
    EXPECT_EQ(read_file(dst_ + "/open/unreadable"), "destination version");
    // The rest of the tree is still synchronised.
    EXPECT_EQ(read_file(dst_ + "/top"), "new top");
    EXPECT_FALSE(exists(dst_ + "/open/orphan"));
    const Report report = Report::parse(run.err);
    const auto dir_failures = report.number("i_dir_fail_count");
    const auto file_failures = report.number("i_file_fail_count");
    ASSERT_TRUE(dir_failures && file_failures) << run.describe();
    EXPECT_GE(*dir_failures, 1);
    EXPECT_GE(*file_failures, 1);
    expect_counts(run, {{"sync_del_file_count", 1}});
}

TEST_F(DvcpUnprivileged, SyncFromUnreadableRootDeletesNothing) {
    make_tree(src_, {Node::file("f", "source")});
    make_tree(dst_, {Node::file("f", "destination"), Node::file("g", "only here")});
    const RunOptions options = hand_over();
    ASSERT_EQ(::chmod(src_.c_str(), 0), 0);
    const RunResult run = dvcp({"mode=sync", "if=" + src_, "of=" + dst_}, options);
    ASSERT_TRUE(run.exited) << run.describe();
    EXPECT_NE(run.exit_code, 0) << run.describe();
    EXPECT_EQ(read_file(dst_ + "/f"), "destination");
    EXPECT_EQ(read_file(dst_ + "/g"), "only here");
}

// A file that cannot be read fails the run (status 8) but not the rest of the copy.
TEST_F(DvcpUnprivileged, CopyWithUnreadableFileCopiesTheRestAndExitsEight) {
    make_tree(src_, {Node::file("a", "a"), Node::file("locked", "secret"), Node::file("sub/b", "b"),
                     Node::dir("empty")});
    const RunOptions options = hand_over();
    ASSERT_EQ(::chmod((src_ + "/locked").c_str(), 0), 0);
    const RunResult run = dvcp({"if=" + src_, "of=" + dst_}, options);
    EXPECT_EXIT_STATUS(run, 8);
    EXPECT_EQ(read_file(dst_ + "/a"), "a");
    EXPECT_EQ(read_file(dst_ + "/sub/b"), "b");
    EXPECT_TRUE(exists(dst_ + "/empty"));
    EXPECT_FALSE(exists(dst_ + "/locked"));
    expect_counts(run, {{"i_file_fail_count", 1}, {"o_file_fail_count", 0}});
}

// An orphan in a directory the user may not change stays, and the sync says it failed.
TEST_F(DvcpUnprivileged, SyncThatCannotDeleteAnOrphanExitsEight) {
    make_tree(src_, {Node::file("kept/same", "same").with_times(kBaseTime, kBaseTime),
                     Node::file("new", "new")});
    make_tree(dst_, {Node::file("kept/same", "same").with_times(kBaseTime, kBaseTime),
                     Node::file("kept/orphan", "cannot go"), Node::file("orphan", "goes")});
    const RunOptions options = hand_over();
    ASSERT_EQ(::chmod((dst_ + "/kept").c_str(), 0555), 0);
    const RunResult run = dvcp({"mode=sync", "if=" + src_, "of=" + dst_}, options);
    ASSERT_EQ(::chmod((dst_ + "/kept").c_str(), 0755), 0);
    EXPECT_EXIT_STATUS(run, 8);
    EXPECT_EQ(read_file(dst_ + "/kept/orphan"), "cannot go");
    EXPECT_FALSE(exists(dst_ + "/orphan"));
    EXPECT_EQ(read_file(dst_ + "/new"), "new");
    expect_counts(run, {{"sync_del_file_count", 1}, {"sync_del_file_fail_count", 1}});
}

// The copy gives a read-only source file a read-only destination; the owner's next sync must
// still be able to bring that file up to date.
TEST_F(DvcpUnprivileged, ReadOnlyDestinationFileUpdatedByNextSync) {
    make_tree(src_, {Node::file("ro", "version 1").with_mode(0444).with_times(kBaseTime, kBaseTime),
                     Node::file("sub/ro", "v1").with_mode(0444).with_times(kBaseTime, kBaseTime)});
    make_tree(dst_, {});
    RunOptions options = hand_over();
    RunResult run = dvcp({"mode=sync", "if=" + src_, "of=" + dst_}, options);
    EXPECT_EXIT_STATUS(run, 0);
    ASSERT_EQ(lstat_path(dst_ + "/ro").mode & 07777, 0444u);

    write_file(src_ + "/ro", "version 2, longer");
    write_file(src_ + "/sub/ro", "v2");  // same size, later time
    set_times(src_ + "/ro", kBaseTime, kBaseTime + 100);
    set_times(src_ + "/sub/ro", kBaseTime, kBaseTime + 100);
    options = hand_over();
    run = dvcp({"mode=sync", "if=" + src_, "of=" + dst_}, options);
    EXPECT_EXIT_STATUS(run, 0);
    EXPECT_EQ(read_file(dst_ + "/ro"), "version 2, longer") << run.describe();
    EXPECT_EQ(read_file(dst_ + "/sub/ro"), "v2");
    EXPECT_EQ(lstat_path(dst_ + "/ro").mode & 07777, 0444u);
    EXPECT_EQ(lstat_path(dst_ + "/ro").mtime, kBaseTime + 100);
    expect_counts(run, {{"file_open_count", 2}, {"o_file_fail_count", 0}});
}

// ---------------------------------------------------------------------------------------
// Signals during a run. The walk-stage table signals once the walk is under way; the mid-copy
// table slows every data transfer and signals while a file is being written.

struct SignalCase {
    const char* name;
    int signal;
    int status;
    const char* mode;
};
void PrintTo(const SignalCase& c, std::ostream* os) {
    *os << c.name;
}

class DvcpSignal : public Dvcp, public ::testing::WithParamInterface<SignalCase> {
  protected:
    // One big tree for every case: enough files that a run lasts well beyond the first lines.
    static void SetUpTestSuite() {
        if (!kDvcp) return;
        big_ = new TempDir;
        make_tree(
            big_->path() + "/src",
            generated_nodes({.seed = 7, .levels = 2, .dirs = 8, .files = 40, .max_size = 3000}));
    }
    static void TearDownTestSuite() {
        delete big_;
        big_ = nullptr;
    }
    static TempDir* big_;
};
TempDir* DvcpSignal::big_ = nullptr;

TEST_P(DvcpSignal, EndsTheRunWithItsStatus) {
    const SignalCase& c = GetParam();
    const std::string src = big_->path() + "/src";
    const bool sync = std::string(c.mode) == "mode=sync";
    // The signal goes once the walk has reached a subdirectory: the job is open and running
    // then (the walk names each directory it starts at level verb).
    const std::string walk_started = "idir=[" + src + "/";
    bool sent = false;
    RunOptions options;
    options.on_stderr = [&](pid_t pid, const std::string& err) {
        if (!sent && strip_ansi(err).find(walk_started) != std::string::npos) {
            sent = true;
            ::kill(pid, c.signal);
        }
    };
    const RunResult run = dvcp({"level=verb", c.mode, "if=" + src, "of=" + dst_}, options);
    ASSERT_TRUE(sent) << "the run printed no start line\n" << run.describe();
    EXPECT_EXIT_STATUS(run, c.status);
    EXPECT_TRUE(log_contains(run.err, "signum=" + std::to_string(c.signal))) << run.describe();
    EXPECT_TRUE(Report::parse(run.err).has("file_count")) << "no report\n" << run.describe();
    const Snapshot source = snapshot(src);
    if (c.status == 6) {
        const auto opened = Report::parse(run.err).number("file_open_count");
        ASSERT_TRUE(opened) << run.describe();
        EXPECT_LT(*opened, static_cast<int64_t>(count_kind(source, Kind::file)))
            << "the run did not stop early";
    }
    // Whatever the signal cut short, the next run completes the tree.
    const RunResult again = dvcp({c.mode, "if=" + src, "of=" + dst_});
    EXPECT_EXIT_STATUS(again, 0);
    const auto diffs = compare(sync ? without_empty_directories(source) : source, snapshot(dst_),
                               {.dir_attributes = false});
    EXPECT_TRUE(diffs.empty()) << format_differences(diffs);
    if (sync && c.status == 0) expect_counts(again, {{"file_open_count", 0}});
}

const SignalCase kSignalCases[] = {
    {"Interrupt", SIGINT, 6, "mode=sync"},
    {"InterruptCopy", SIGINT, 6, "mode=cp"},
    {"BrokenPipe", SIGPIPE, 6, "mode=sync"},
    {"User1HasNoEffect", SIGUSR1, 0, "mode=sync"},
};

INSTANTIATE_TEST_SUITE_P(Cases, DvcpSignal, ::testing::ValuesIn(kSignalCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct MidCopySignalCase {
    const char* name;
    int signal;
    // Run as an ordinary user with an unreadable source file copied before the big one: the
    // stop must still give 6, not the status of a run with failed files.
    bool with_failed_file;
};
void PrintTo(const MidCopySignalCase& c, std::ostream* os) {
    *os << c.name;
}

class DvcpMidCopySignal : public Dvcp, public ::testing::WithParamInterface<MidCopySignalCase> {
  protected:
    void SetUp() override {
        Dvcp::SetUp();
        if (IsSkipped()) return;
        for (const char* dir : {"/usr/bin", "/bin"}) {
            if (::access((std::string(dir) + "/strace").c_str(), X_OK) == 0) {
                strace_ = std::string(dir) + "/strace";
                break;
            }
        }
        if (strace_.empty()) DV_PEER_MISSING("strace is not installed");
        char resolved[PATH_MAX];
        if (::realpath(kDvcp, resolved) != nullptr) dvcp_exe_ = resolved;
    }

    // dvcp under strace, each data transfer held back 30 ms so that the copy of a big file takes
    // seconds. LeakSanitizer cannot run under a tracer, so a sanitizer build is told not to try.
    RunResult slowed_dvcp(const std::vector<std::string>& args, RunOptions options) const {
        const char* asan = std::getenv("ASAN_OPTIONS");
        std::vector<std::string> argv{
            "/usr/bin/env",
            "ASAN_OPTIONS=" + std::string(asan && *asan ? std::string(asan) + ":" : "") +
                "detect_leaks=0",
            strace_,
            "-f",
            "-o",
            "/dev/null",
            "-e",
            "inject=read,write,pwrite64,copy_file_range:delay_exit=30000",
            kDvcp};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv, options);
    }

    // The process running dvcp below `tracer`, once it has started it.
    std::optional<pid_t> traced_dvcp(pid_t tracer) const {
        for (pid_t child : child_pids(tracer)) {
            if (process_exe(child) == dvcp_exe_) return child;
        }
        return std::nullopt;
    }

    std::string strace_;
    std::string dvcp_exe_;
};

TEST_P(DvcpMidCopySignal, StopsCleanlyWithSix) {
    const MidCopySignalCase& c = GetParam();
    const std::string old_version = "the previous copy\n";
    const size_t size = 16u << 20;
    std::vector<Node> source = {Node::sized("z/big", size).with_times(kBaseTime, kBaseTime)};
    if (c.with_failed_file) source.push_back(Node::file("a_locked", "unreadable"));
    make_tree(src_, source);
    make_tree(dst_, {Node::file("z/big", old_version).with_times(kBaseTime, kBaseTime - 100)});
    RunOptions options;
    if (c.with_failed_file) {
        if (!is_root()) GTEST_SKIP() << "needs root to run as an ordinary user";
        chown_tree(tmp_.path(), kNobody, kNogroup);
        options.uid = kNobody;
        options.gid = kNogroup;
        ASSERT_EQ(::chmod((src_ + "/a_locked").c_str(), 0), 0);
    }
    // In the copy: some file in the destination directory has grown past the old version.
    auto copy_under_way = [&] {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dst_ + "/z", ec)) {
            struct stat st;
            if (::lstat(e.path().c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                st.st_size > static_cast<off_t>(old_version.size()))
                return true;
        }
        return false;
    };
    std::optional<pid_t> signalled;
    options.on_poll = [&](pid_t tracer, const std::string&) {
        if (signalled) return;
        const auto target = traced_dvcp(tracer);
        if (target && copy_under_way()) {
            ::kill(*target, c.signal);
            signalled = target;
        }
    };
    const RunResult run = slowed_dvcp({"mode=sync", "bs=64k", "if=" + src_, "of=" + dst_}, options);
    ASSERT_TRUE(signalled) << "the copy was never seen under way\n" << run.describe();
    EXPECT_EXIT_STATUS(run, 6);
    EXPECT_TRUE(log_contains(run.err, "signum=" + std::to_string(c.signal))) << run.describe();
    const Report report = Report::parse(run.err);
    EXPECT_TRUE(report.has("file_count")) << "no report\n" << run.describe();
    EXPECT_LT(report.number("total_write").value_or(0), static_cast<int64_t>(size))
        << "the copy was not cut short";
    if (c.with_failed_file) {
        EXPECT_GE(report.number("i_file_fail_count").value_or(0), 1) << run.describe();
    }
    // No partial file stays behind, under its name or any other: the destination holds the
    // previous copy or (had the copy just finished) the whole new one, never nothing.
    const Snapshot after = snapshot(dst_);
    EXPECT_EQ(after.count("z/big"), 1u) << "the previous copy was lost";
    for (const auto& [rel, entry] : after) {
        if (entry.kind != Kind::file) continue;
        EXPECT_EQ(rel, "z/big") << "left behind: " << printable(rel);
        if (rel == "z/big") {
            EXPECT_TRUE(entry.content == old_version || entry.content == read_file(src_ + "/z/big"))
                << "a partial copy of " << entry.content.size() << " bytes";
        }
    }
    if (c.with_failed_file) {
        ASSERT_EQ(::chmod((src_ + "/a_locked").c_str(), 0644), 0);
    }
    const RunResult again = dvcp({"mode=sync", "if=" + src_, "of=" + dst_}, {});
    EXPECT_EXIT_STATUS(again, 0);
    EXPECT_TRUE(read_file(dst_ + "/z/big") == read_file(src_ + "/z/big"));
}

const MidCopySignalCase kMidCopySignalCases[] = {
    {"Interrupt", SIGINT, false},
    {"Terminate", SIGTERM, false},
    {"HangUp", SIGHUP, false},
    {"TerminateBeatsFailedFiles", SIGTERM, true},
};

INSTANTIATE_TEST_SUITE_P(Cases, DvcpMidCopySignal, ::testing::ValuesIn(kMidCopySignalCases),
                         [](const auto& info) { return std::string(info.param.name); });

// kill -9 gives no chance to clean up: the previous copy is still whole under its name, the
// temporary stays behind, and the next run that writes that directory removes it.
class DvcpKilled : public DvcpMidCopySignal {};

TEST_F(DvcpKilled, KeepsThePreviousCopyAndTheNextRunRemovesTheTemporary) {
    const std::string old_version = "the previous copy\n";
    make_tree(src_, {Node::sized("z/big", 16u << 20).with_times(kBaseTime, kBaseTime),
                     Node::file("z/other", "changes later")});
    make_tree(dst_, {Node::file("z/big", old_version).with_times(kBaseTime, kBaseTime - 100)});
    auto temporary_growing = [&] {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dst_ + "/z", ec)) {
            if (is_writer_temporary_name(e.path().filename().string()) &&
                std::filesystem::file_size(e.path(), ec) > 0)
                return true;
        }
        return false;
    };
    std::optional<pid_t> killed;
    RunOptions options;
    options.on_poll = [&](pid_t tracer, const std::string&) {
        if (killed) return;
        const auto target = traced_dvcp(tracer);
        if (target && temporary_growing()) {
            ::kill(*target, SIGKILL);
            killed = target;
        }
    };
    slowed_dvcp({"mode=sync", "bs=64k", "if=" + src_, "of=" + dst_}, options);
    ASSERT_TRUE(killed) << "the copy was never seen under way";
    EXPECT_EQ(read_file(dst_ + "/z/big"), old_version);
    size_t temporaries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dst_ + "/z"))
        temporaries += is_writer_temporary_name(e.path().filename().string()) ? 1 : 0;
    EXPECT_EQ(temporaries, 1u);

    const RunResult again = dvcp({"mode=sync", "if=" + src_, "of=" + dst_});
    EXPECT_EXIT_STATUS(again, 0);
    EXPECT_EQ(read_file(dst_ + "/z/big"), read_file(src_ + "/z/big"));
    for (const auto& e : std::filesystem::directory_iterator(dst_ + "/z"))
        EXPECT_FALSE(is_writer_temporary_name(e.path().filename().string())) << e.path();
}

}  // namespace
}  // namespace systest
