// dvcp on a slow file system: a preloaded shim delays every status call in one directory, so
// that listing it takes longer than the job's read time-out while its entries keep coming.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "system/support/process.h"
#include "system/support/tree.h"

namespace systest {
namespace {

#ifdef DVCP_BIN
const char* const kDvcp = DVCP_BIN;
#else
const char* const kDvcp = nullptr;
#endif
#ifdef SLOW_STAT_SHIM
const char* const kShim = SLOW_STAT_SHIM;
#else
const char* const kShim = nullptr;
#endif

std::multiset<std::string> file_lines(const std::string& path) {
    std::multiset<std::string> lines;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);) lines.insert(line);
    return lines;
}

// Runs dvcp with the shim preloaded, `delay_ms` per status call in "slow" directories. The
// sanitizer runtime wants to be loaded first; the shim needs none of it, so that check is off.
RunResult dvcp_on_slow_fs(const TempDir& tmp, int delay_ms, const std::vector<std::string>& args,
                          RunOptions options = {}) {
    std::string asan_options = "verify_asan_link_order=0";
    if (const char* inherited = std::getenv("ASAN_OPTIONS")) {
        asan_options = std::string(inherited) + ":" + asan_options;
    }
    std::vector<std::string> argv = {"/usr/bin/env",
                                     std::string("LD_PRELOAD=") + kShim,
                                     "ASAN_OPTIONS=" + asan_options,
                                     "DV_SLOW_STAT_MS=" + std::to_string(delay_ms),
                                     "DV_SLOW_STAT_REPORT=" + (tmp / "delayed_calls"),
                                     kDvcp};
    argv.insert(argv.end(), args.begin(), args.end());
    options.timeout = std::chrono::seconds(120);
    return run_program(argv, options);
}

// 300 entries at 60 ms each take 18 s, more than the 15 s the job waits for listing data: the
// listing must reach the reader as it goes, not in one piece at its end.
TEST(DvcpSlowFileSystem, ListingLongerThanTheReadTimeOutCompletes) {
    if (kDvcp == nullptr || kShim == nullptr) GTEST_SKIP() << "dvcp or the shim is not built";
    TempDir tmp;
    const std::string slow = tmp / "slow";
    std::vector<Node> nodes;
    for (int i = 0; i < 300; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "entry_%03d", i);
        nodes.push_back(i % 50 == 0 ? Node::dir(name) : Node::file(name, std::to_string(i)));
    }
    make_tree(slow, nodes);
    const Snapshot tree = settled_snapshot(slow);
    const std::string list = tmp / "list.txt";

    const RunResult run = dvcp_on_slow_fs(tmp, 60, {"mode=ls", "if=" + slow, "olist=" + list});

    ASSERT_TRUE(run.exited) << run.describe();
    EXPECT_EQ(run.exit_code, 0) << run.describe();
    // The shim must really have been in the way, or this proves nothing.
    const std::string delayed = read_file(tmp / "delayed_calls");
    EXPECT_GE(std::atoi(delayed.c_str()), 300) << "delayed calls: " << delayed;
    EXPECT_EQ(file_lines(list), expected_list_lines(slow, tree));
}

// A stop acts at once, even while listings of a slow directory are under way (and more are
// queued behind it): the run ends with 6 in a fraction of a second, not after the listings.
TEST(DvcpSlowFileSystem, StopDuringASlowListingActsAtOnce) {
    if (kDvcp == nullptr || kShim == nullptr) GTEST_SKIP() << "dvcp or the shim is not built";
    TempDir tmp;
    const std::string slow = tmp / "slow";
    std::vector<Node> nodes;
    for (int d = 0; d < 6; ++d) {
        for (int i = 0; i < 100; ++i) {
            nodes.push_back(Node::file("d" + std::to_string(d) + "/f" + std::to_string(i), "x"));
        }
    }
    make_tree(slow, nodes);
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    std::optional<clock::time_point> signalled;
    RunOptions options;
    options.on_poll = [&](pid_t pid, const std::string&) {
        if (signalled || clock::now() - start < std::chrono::seconds(2)) return;
        // The child of env is dvcp itself once env has exec'ed it: the same pid.
        ::kill(pid, SIGINT);
        signalled = clock::now();
    };
    const RunResult run =
        dvcp_on_slow_fs(tmp, 60, {"if=" + slow, "of=" + tmp.path() + "/dst"}, options);
    const auto ended = clock::now();
    ASSERT_TRUE(signalled) << run.describe();
    EXPECT_TRUE(run.exited && run.exit_code == 6) << run.describe();
    // 600 entries at 60 ms would take 36 s; a prompt stop takes well under a second. The bound
    // is generous: it tells a stop that waits for the listings from one that does not.
    EXPECT_LT(ended - *signalled, std::chrono::seconds(3)) << run.describe();
}

}  // namespace
}  // namespace systest
