// dvcp's output for people, run as a process: colours only on a terminal, the progress line,
// usage errors that name the fault, help, and the summary line of the run report.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <regex>
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

const char kUsageLine[] = "usage: dvcp [mode=..] [if=dir] [of=dir] [bs=N]";
const char kBanner[] = "dvcp v1.0.1.0 (2023-11-8) [little] - Quickly copy synced files";

#define ASSERT_EXIT_STATUS_OK(result)                                                     \
    ASSERT_TRUE((result).exited && (result).exit_code == 0) << "expected exit status 0\n" \
                                                            << (result).describe()

#define EXPECT_EXIT_STATUS(result, status)                         \
    EXPECT_TRUE((result).exited && (result).exit_code == (status)) \
        << "expected exit status " << (status) << "\n"             \
        << (result).describe()

std::optional<std::string> find_program(const char* name) {
    for (const char* dir : {"/usr/bin", "/bin"}) {
        std::string path = std::string(dir) + "/" + name;
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    return std::nullopt;
}

// One word for `sh -c`.
std::string shell_quote(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

// A status line as the progress display draws it: at the start of a row, files first.
const std::regex kStatusLine("\r[0-9]+ files, [0-9.]+ [KMGTPE]?i?B, ");

size_t count_matches(const std::string& text, const std::regex& re) {
    return static_cast<size_t>(
        std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator()));
}

class Output : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!kDvcp) GTEST_SKIP() << "dvcp is not part of this build";
        char resolved[PATH_MAX];
        ASSERT_NE(::realpath(kDvcp, resolved), nullptr);
        dvcp_exe_ = resolved;
    }

    RunResult dvcp(const std::vector<std::string>& args) const {
        std::vector<std::string> argv{dvcp_exe_};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv);
    }

    // The command line of a dvcp run, for a shell. With `slow`, dvcp runs under strace with every
    // open held back, so that a run over a few dozen files lasts seconds; LeakSanitizer cannot run
    // under a tracer, so a sanitizer build is told not to try.
    std::string command(const std::vector<std::string>& args, bool slow,
                        const std::string& env = "") const {
        std::string cmd = "exec env " + env + " ";
        if (slow) {
            const char* asan = std::getenv("ASAN_OPTIONS");
            cmd += shell_quote(
                       "ASAN_OPTIONS=" + std::string(asan && *asan ? std::string(asan) + ":" : "") +
                       "detect_leaks=0") +
                   " " + *strace_ + " -f -o /dev/null -e inject=openat:delay_exit=40000 ";
        }
        cmd += shell_quote(dvcp_exe_);
        for (const std::string& a : args) cmd += " " + shell_quote(a);
        return cmd;
    }

    // dvcp on a terminal: `script` gives it one and copies what it shows to standard output
    // (where the terminal turns each "\n" into "\r\n").
    RunResult on_terminal(const std::vector<std::string>& args, bool slow,
                          const std::string& env = "") const {
        return run_program({*script_, "-qec", command(args, slow, env), "/dev/null"});
    }

    // dvcp with standard error going to a pipe.
    RunResult redirected(const std::vector<std::string>& args, bool slow) const {
        return run_program({"/bin/sh", "-c", command(args, slow)});
    }

    void need_script() {
        script_ = find_program("script");
        if (!script_) DV_PEER_MISSING("script (util-linux) is not installed");
    }
    void need_strace() {
        strace_ = find_program("strace");
        if (!strace_) DV_PEER_MISSING("strace is not installed");
    }

    // Enough files that a slowed run shows several progress updates.
    void make_many_files() {
        std::vector<Node> nodes;
        for (int d = 0; d < 3; ++d) {
            for (int f = 0; f < 12; ++f) {
                nodes.push_back(Node::sized("dir" + std::to_string(d) + "/f" + std::to_string(f),
                                            4096 + f * 1000, f));
            }
        }
        make_tree(src_, nodes);
    }

    TempDir tmp_;
    std::string src_ = tmp_.path() + "/src";
    std::string dst_ = tmp_.path() + "/dst";
    std::string dvcp_exe_;
    std::optional<std::string> script_;
    std::optional<std::string> strace_;
};

// ---------------------------------------------------------------------------------------
// Colours and the progress line

TEST_F(Output, RedirectedLogHasNoEscapeByteAndNoProgress) {
    make_many_files();
    const RunResult run = dvcp({"if=" + src_, "of=" + dst_});
    EXPECT_EXIT_STATUS(run, 0);
    EXPECT_TRUE(Report::parse(run.err).has("file_count")) << run.describe();
    EXPECT_EQ(run.err.find('\033'), std::string::npos) << printable(run.err);
    EXPECT_EQ(run.err.find('\r'), std::string::npos) << printable(run.err);
}

TEST_F(Output, TerminalLinesAreColouredAndResetBeforeTheLineEnd) {
    need_script();
    if (IsSkipped() || HasFatalFailure()) return;
    make_tree(src_, {Node::file("f", "data")});
    const RunResult run = on_terminal({"if=" + src_, "of=" + dst_}, false);
    ASSERT_EXIT_STATUS_OK(run);
    EXPECT_NE(run.out.find("\033[36m"), std::string::npos) << printable(run.out);
    EXPECT_NE(run.out.find("\033[0m\r\n"), std::string::npos) << printable(run.out);
    EXPECT_EQ(run.out.find("\n\033[0m"), std::string::npos) << "a line starts with the reset\n"
                                                            << printable(run.out);
}

TEST_F(Output, NoColorLeavesTheTerminalPlain) {
    need_script();
    if (IsSkipped() || HasFatalFailure()) return;
    make_tree(src_, {Node::file("f", "data")});
    const RunResult run = on_terminal({"if=" + src_, "of=" + dst_}, false, "NO_COLOR=1");
    ASSERT_EXIT_STATUS_OK(run);
    EXPECT_NE(run.out.find("file_count=1"), std::string::npos) << printable(run.out);
    EXPECT_EQ(run.out.find('\033'), std::string::npos) << printable(run.out);
}

// What a run showed as its progress: the status lines drawn, and whether the last one was
// blanked before the report began.
struct ProgressSeen {
    size_t draws = 0;
    bool erased_before_report = false;
    bool drawn_after_report = false;
};

ProgressSeen progress_in(const std::string& text) {
    ProgressSeen seen;
    seen.draws = count_matches(text, kStatusLine);
    // The report begins with its first counter line, or with the summary at level=info.
    const size_t report = std::min(text.find("file_total_size="), text.find(" files copied, "));
    if (report == std::string::npos) return seen;
    const std::string before = text.substr(0, report);
    const std::string after = text.substr(report);
    // The blanking is "\r", blanks, "\r"; only a log prefix may stand between it and the report.
    seen.erased_before_report = std::regex_search(before, std::regex("\r +\r[^\r\n]*$"));
    seen.drawn_after_report = std::regex_search(after, kStatusLine);
    return seen;
}

TEST_F(Output, TerminalShowsAThrottledProgressLineErasedBeforeTheReport) {
    need_script();
    need_strace();
    if (IsSkipped() || HasFatalFailure()) return;
    make_many_files();
    const auto start = std::chrono::steady_clock::now();
    const RunResult run = on_terminal({"level=info", "if=" + src_, "of=" + dst_}, true);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EXIT_STATUS_OK(run);
    const ProgressSeen seen = progress_in(run.out);
    EXPECT_GE(seen.draws, 2u) << printable(run.out);
    EXPECT_LE(static_cast<double>(seen.draws), seconds * 4 + 1) << printable(run.out);
    EXPECT_TRUE(seen.erased_before_report) << printable(run.out);
    EXPECT_FALSE(seen.drawn_after_report) << printable(run.out);
    EXPECT_NE(run.out.find(src_ + "/dir"), std::string::npos) << "the directory being walked\n"
                                                              << printable(run.out);
}

TEST_F(Output, ProgressZeroTurnsItOffOnATerminal) {
    need_script();
    need_strace();
    if (IsSkipped() || HasFatalFailure()) return;
    make_many_files();
    const RunResult run = on_terminal({"progress=0", "if=" + src_, "of=" + dst_}, true);
    ASSERT_EXIT_STATUS_OK(run);
    EXPECT_EQ(progress_in(run.out).draws, 0u) << printable(run.out);
}

TEST_F(Output, ProgressOneIsShownInARedirectedLogWithoutEscapeCodes) {
    need_strace();
    if (IsSkipped() || HasFatalFailure()) return;
    make_many_files();
    const RunResult run = redirected({"progress=1", "if=" + src_, "of=" + dst_}, true);
    ASSERT_EXIT_STATUS_OK(run);
    const ProgressSeen seen = progress_in(run.err);
    EXPECT_GE(seen.draws, 2u) << printable(run.err);
    EXPECT_TRUE(seen.erased_before_report) << printable(run.err);
    EXPECT_EQ(run.err.find('\033'), std::string::npos) << printable(run.err);
}

// ---------------------------------------------------------------------------------------
// Usage errors and help

struct UsageCase {
    const char* name;
    std::vector<std::string> args;  // "{src}" is replaced
    const char* complaint;          // the line before the usage text
};
void PrintTo(const UsageCase& c, std::ostream* os) {
    *os << c.name;
}

class UsageError : public Output, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(UsageError, NamesTheFaultThenTheUsageTextAndExitsOne) {
    const UsageCase& c = GetParam();
    make_tree(src_, {Node::file("f", "data")});
    std::vector<std::string> args;
    for (std::string a : c.args) {
        if (auto at = a.find("{src}"); at != std::string::npos) a.replace(at, 5, src_);
        args.push_back(a);
    }
    args.push_back("of=" + dst_);
    const RunResult run = dvcp(args);
    EXPECT_EXIT_STATUS(run, 1);
    EXPECT_EQ(run.out, "");
    const size_t complaint = run.err.find(std::string(c.complaint) + "\n");
    ASSERT_NE(complaint, std::string::npos) << run.describe();
    const size_t banner = run.err.find(kBanner);
    ASSERT_NE(banner, std::string::npos) << run.describe();
    EXPECT_LT(complaint, banner) << run.describe();
    EXPECT_NE(run.err.find(kUsageLine), std::string::npos);
    EXPECT_FALSE(exists(dst_)) << "a refused command wrote its destination";
}

const UsageCase kUsageCases[] = {
    {"UnknownKey", {"foo=1", "if={src}"}, "unknown key \"foo\""},
    {"UnknownEmptyKey", {"=x", "if={src}"}, "unknown key \"\""},
    {"RemoveMode", {"mode=rm", "if={src}"}, "bad mode \"rm\""},
    {"EmptyMode", {"mode=", "if={src}"}, "bad mode \"\""},
    {"EmptySource", {"if="}, "empty value for if="},
    {"MissingSource", {}, "missing if=SRC"},
    {"EmptyDestination", {"if={src}", "of="}, "empty value for of="},
    {"NotKeyValue", {"if={src}", "verbose"}, "bad argument \"verbose\": expected key=value"},
    {"VersionAmongOthers", {"-v", "if={src}"}, "bad argument \"-v\": expected key=value"},
    {"EmptyChanges", {"changes=", "if={src}"}, "empty value for changes="},
    {"NegativeMaxDelete",
     {"max_delete=-1", "if={src}"},
     "bad max_delete \"-1\": must be a whole number, 0 or more"},
    {"SignedMaxDelete",
     {"max_delete=+5", "if={src}"},
     "bad max_delete \"+5\": must be a whole number, 0 or more"},
    {"WordMaxDelete",
     {"max_delete=ten", "if={src}"},
     "bad max_delete \"ten\": must be a whole number, 0 or more"},
    {"SuffixedMaxDelete",
     {"max_delete=1k", "if={src}"},
     "bad max_delete \"1k\": must be a whole number, 0 or more"},
    {"EmptyMaxDelete",
     {"max_delete=", "if={src}"},
     "bad max_delete \"\": must be a whole number, 0 or more"},
    {"OverflowingMaxDelete",
     {"max_delete=9223372036854775808", "if={src}"},
     "bad max_delete \"9223372036854775808\": must be a whole number, 0 or more"},
    {"DryRunTwo", {"dry_run=2", "if={src}"}, "bad dry_run \"2\": must be 0 or 1"},
    {"DryRunYes", {"dry_run=yes", "if={src}"}, "bad dry_run \"yes\": must be 0 or 1"},
    {"HardLinksEmpty", {"hard_links=", "if={src}"}, "bad hard_links \"\": must be 0 or 1"},
    {"XattrsOn", {"xattrs=on", "if={src}"}, "bad xattrs \"on\": must be 0 or 1"},
    {"ProgressTrue", {"progress=true", "if={src}"}, "bad progress \"true\": must be 0 or 1"},
    {"BlockSizeZero", {"bs=0", "if={src}"}, "bs=0: must be a size from 64k to 256M"},
    {"LevelUnknown", {"level=loud", "if={src}"}, "bad level \"loud\""},
    {"DbgUnknown", {"dbg=what", "if={src}"}, "bad dbg \"what\""},
    {"ListWithoutListFile", {"mode=ls", "if={src}"}, "mode=ls needs olist=FILE"},
};

INSTANTIATE_TEST_SUITE_P(Table, UsageError, ::testing::ValuesIn(kUsageCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Output, HelpPrintsTheUsageOnStandardOutputAndSucceeds) {
    for (const char* flag : {"-h", "--help"}) {
        const RunResult run = dvcp({flag});
        EXPECT_EXIT_STATUS(run, 0);
        EXPECT_NE(run.out.find(kBanner), std::string::npos) << flag;
        EXPECT_NE(run.out.find(kUsageLine), std::string::npos) << flag;
        for (const char* key :
             {"\tchanges=FILE", "\tdry_run=0|1", "\tmax_delete=N", "\thard_links=0|1",
              "\txattrs=0|1", "\tprogress=0|1", "\tolist=FILE"}) {
            EXPECT_NE(run.out.find(key), std::string::npos) << flag << " lacks " << key;
        }
        EXPECT_EQ(run.err.find(kUsageLine), std::string::npos) << flag;
    }
}

TEST_F(Output, GoodValuesOfTheNewKeysAreAccepted) {
    make_tree(src_, {Node::file("f", "data")});
    const RunResult run =
        dvcp({"dry_run=0", "hard_links=0", "xattrs=0", "progress=0", "max_delete=0",
              "max_delete=9223372036854775807", "if=" + src_, "of=" + dst_});
    EXPECT_EXIT_STATUS(run, 0);
    EXPECT_EQ(read_file(dst_ + "/f"), "data");
}

// ---------------------------------------------------------------------------------------
// The summary line

std::optional<std::string> summary_line(const std::string& log) {
    for (const std::string& line : log_lines(log)) {
        if (line.find(" files copied, ") != std::string::npos) return line;
    }
    return std::nullopt;
}

TEST_F(Output, CopySummaryCountsFilesAndBytesBesideTheCounters) {
    make_tree(src_, {Node::sized("a", 3000), Node::sized("d/b", 1 << 20), Node::file("d/c", "")});
    const RunResult run = dvcp({"if=" + src_, "of=" + dst_});
    EXPECT_EXIT_STATUS(run, 0);
    const std::optional<std::string> line = summary_line(run.err);
    ASSERT_TRUE(line) << run.describe();
    EXPECT_TRUE(std::regex_search(
        *line, std::regex("3 files copied, 0 deleted, 0 failed, 1\\.00 MiB written at "
                          "[0-9.]+ [KMG]?i?B/s, in [0-9.]+ s$")))
        << *line;
    // The specified counter lines are all still there.
    const Report report = Report::parse(run.err);
    for (const char* key : {"file_count", "file_open_count", "total_write", "trans_rate",
                            "file_rate", "total_time"}) {
        EXPECT_TRUE(report.has(key)) << key << "\n" << report.describe();
    }
}

TEST_F(Output, SyncSummaryCountsDeletionsAndShowsAtLevelInfo) {
    make_tree(src_, {Node::file("keep", "k"), Node::file("new", "n")});
    make_tree(dst_, {Node::file("orphan1", "o"), Node::file("orphan2", "o")});
    const RunResult run = dvcp({"mode=sync", "level=info", "if=" + src_, "of=" + dst_});
    EXPECT_EXIT_STATUS(run, 0);
    const std::optional<std::string> line = summary_line(run.err);
    ASSERT_TRUE(line) << run.describe();
    EXPECT_NE(line->find("2 files copied, 2 deleted, 0 failed, 2 B written"), std::string::npos)
        << *line;
    EXPECT_FALSE(Report::parse(run.err).has("file_count")) << "counter lines are at dbg level";
}

}  // namespace
}  // namespace systest
