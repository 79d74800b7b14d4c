// The round trips a remote job waits for, as its run report counts them: requests sent and waits
// per kind of server connection, on a tree of a couple of thousand small files, for an upload, a
// download and a no-change sync against the real dvsd on loopback. Nothing here is timed: the
// counts are what keeps a job from paying one round trip per file on a real link.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "system/support/dvcp_test.h"
#include "system/support/dvsd_process.h"
#include "system/support/report.h"
#include "system/support/tree.h"

namespace systest {
namespace {

const char kPassword[] = "secret";
const char* const kKinds[] = {"file", "lister", "batch"};

// 43 directories of 50 files each, of at most 4 KiB.
std::vector<Node> small_tree() {
    return generated_nodes({.seed = 26, .levels = 2, .dirs = 6, .files = 50, .max_size = 4096});
}

struct Counts {
    int64_t conns = 0;
    int64_t requests = 0;
    int64_t waits = 0;
};

// The report's counts by connection kind; kinds without a connection are absent.
std::map<std::string, Counts> report_counts(const RunResult& run) {
    const Report report = Report::parse(run.err);
    std::map<std::string, Counts> counts;
    for (const char* kind : kKinds) {
        const std::string k = kind;
        if (!report.has(k + "_conns")) continue;
        counts[k] = {report.number(k + "_conns").value_or(-1),
                     report.number(k + "_requests").value_or(-1),
                     report.number(k + "_waits").value_or(-1)};
    }
    return counts;
}

// The summary line at level=verb: kind -> (requests, waits).
std::map<std::string, std::pair<int64_t, int64_t>> summary_counts(const RunResult& run) {
    std::map<std::string, std::pair<int64_t, int64_t>> counts;
    for (const std::string& line : log_lines(run.err)) {
        const size_t at = line.find("server round trips: ");
        if (at == std::string::npos) continue;
        static const std::regex part(R"((\w+) requests=(\d+) waits=(\d+))");
        const std::string rest = line.substr(at);
        for (std::sregex_iterator it(rest.begin(), rest.end(), part), end; it != end; ++it) {
            counts[(*it)[1]] = {std::stoll((*it)[2]), std::stoll((*it)[3])};
        }
    }
    return counts;
}

std::string describe(const std::map<std::string, Counts>& counts) {
    std::string text;
    for (const auto& [kind, c] : counts) {
        text += kind + ": conns=" + std::to_string(c.conns) +
                " requests=" + std::to_string(c.requests) + " waits=" + std::to_string(c.waits) +
                "\n";
    }
    return text;
}

enum class Job { upload, download, sync_no_change };

struct JobCase {
    const char* name;
    Job job;
    // Kinds of connection the job must have used.
    std::vector<std::string> kinds;
};

void PrintTo(const JobCase& c, std::ostream* os) {
    *os << c.name;
}

const JobCase kJobCases[] = {
    {"Upload", Job::upload, {"lister", "batch"}},
    {"Download", Job::download, {"lister", "batch"}},
    {"SyncNoChange", Job::sync_no_change, {"lister"}},
};

class DvcpRoundTrips : public DvcpProcessTest, public ::testing::WithParamInterface<JobCase> {
  protected:
    void SetUp() override {
        DvcpProcessTest::SetUp();
        if (IsSkipped()) return;
        if (!kHaveDvsd) GTEST_SKIP() << "dvsd is not part of this build";
        make_tree(served_, {});
        make_tree(local_, small_tree());
        std::vector<std::string> args{"root=" + served_, "listen=127.0.0.1", "port=0", "user=joe",
                                      std::string("passwd=") + kPassword};
        args.insert(args.end(), server_extra_.begin(), server_extra_.end());
        server_ = std::make_unique<DvsdProcess>(args);
        port_ = port_of(server_->first_line());
        ASSERT_GT(port_, 0) << "dvsd did not start";
    }

    std::string url(const std::string& path) const {
        return "dvp://joe:" + std::string(kPassword) + "@127.0.0.1:" + std::to_string(port_) + path;
    }

    // Runs `job` at level=verb (a download and a no-change sync find the tree at the server
    // first) and checks that the destination equals the source.
    RunResult run(Job job) {
        const std::string fetched = tmp_ / "fetched";
        std::vector<std::string> args{"level=verb"};
        if (job != Job::upload) {
            const RunResult up = dvcp({"level=err", "if=" + local_, "of=" + url("/tree")});
            EXPECT_EXIT_STATUS(up, 0);
        }
        switch (job) {
            case Job::upload:
                args.insert(args.end(), {"if=" + local_, "of=" + url("/tree")});
                break;
            case Job::download:
                args.insert(args.end(), {"if=" + url("/tree"), "of=" + fetched});
                break;
            case Job::sync_no_change:
                args.insert(args.end(), {"mode=sync", "if=" + local_, "of=" + url("/tree")});
                break;
        }
        RunResult result = dvcp(args);
        EXPECT_EXIT_STATUS(result, 0);
        const std::string dst = job == Job::download ? fetched : served_ + "/tree";
        const auto diffs = compare(snapshot(local_), snapshot(dst), {.dir_attributes = false});
        EXPECT_TRUE(diffs.empty()) << format_differences(diffs);
        return result;
    }

    std::vector<std::string> server_extra_;  // more arguments of dvsd, set before SetUp
    TempDir tmp_{"dvcp-round-trips"};
    const std::string local_ = tmp_ / "local";
    const std::string served_ = tmp_ / "served";
    std::unique_ptr<DvsdProcess> server_;
    int port_ = -1;
};

// Every request is answered, so no kind waits more often than it asks; and the job's kinds
// each asked and waited at least once. The summary line says the same as the report.
TEST_P(DvcpRoundTrips, ReportCountsRequestsAndWaitsPerConnectionKind) {
    const JobCase& c = GetParam();
    const RunResult result = run(c.job);
    const auto counts = report_counts(result);
    for (const std::string& kind : c.kinds) {
        EXPECT_EQ(counts.count(kind), 1u) << kind << " missing\n" << describe(counts);
    }
    for (const auto& [kind, n] : counts) {
        EXPECT_GE(n.conns, 1) << kind;
        EXPECT_GT(n.waits, 0) << kind;
        EXPECT_GE(n.requests, n.waits) << kind;
    }
    const auto summary = summary_counts(result);
    EXPECT_EQ(summary.size(), counts.size()) << result.describe();
    for (const auto& [kind, n] : counts) {
        const auto it = summary.find(kind);
        ASSERT_NE(it, summary.end()) << kind << " not in the summary line";
        EXPECT_EQ(it->second, std::make_pair(n.requests, n.waits)) << kind;
    }
}

// A job between two local directories has no server connection to count.
TEST_F(DvcpRoundTrips, LocalJobReportsNoServerTraffic) {
    const RunResult result = dvcp({"level=verb", "if=" + local_, "of=" + (tmp_ / "copy")});
    EXPECT_EXIT_STATUS(result, 0);
    EXPECT_TRUE(report_counts(result).empty()) << describe(report_counts(result));
    EXPECT_FALSE(log_contains(result.err, "server round trips:"));
}

// The bound a job that keeps its requests in flight must hold: its waits do not grow with its
// files or directories, so that a tree of this size (and one of 20,000 files) costs a few dozen
// round trips in all, connection set-up included, where a job that asks one thing at a time pays
// one per request (several hundred here).
TEST_P(DvcpRoundTrips, WaitsStayWithinAFewDozen) {
    const RunResult result = run(GetParam().job);
    int64_t waits = 0;
    const auto counts = report_counts(result);
    for (const auto& [kind, n] : counts) waits += n.waits;
    EXPECT_LE(waits, 48) << describe(counts);
}

// The small-file batches of a job wait for the server a few times in all (the end of the job,
// the connection's set-up), not once per directory or per list: 43 directories of 50 files each
// here, which one exchange at a time costs well over a hundred waits.
TEST_P(DvcpRoundTrips, BatchWaitsDoNotGrowWithDirectoriesOrFiles) {
    const RunResult result = run(GetParam().job);
    const auto counts = report_counts(result);
    const auto batch = counts.find("batch");
    if (batch == counts.end()) return;  // a job with nothing to batch
    EXPECT_LE(batch->second.waits, 16) << describe(counts);
}

INSTANTIATE_TEST_SUITE_P(Jobs, DvcpRoundTrips, ::testing::ValuesIn(kJobCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- the listers on a tree of many directories ----

// 259 directories of 2 files each.
std::vector<Node> many_dirs_tree() {
    return generated_nodes({.seed = 27, .levels = 3, .dirs = 6, .files = 2, .max_size = 512});
}
constexpr int64_t kManyDirs = 259;

// Where the tree starts and where it goes: l a local directory, r one on the server.
struct ListerCase {
    const char* name;
    const char* mode;
    bool src_remote;
    bool dst_remote;
    bool dst_filled;  // the destination holds the tree already (a no-change sync)
};
void PrintTo(const ListerCase& c, std::ostream* os) {
    *os << c.name;
}

const ListerCase kListerCases[] = {
    {"CopyDown", "cp", true, false, false},
    {"SyncNoChangeUp", "sync", false, true, true},
    {"SyncNoChangeDown", "sync", true, false, true},
    {"SyncNoChangeRemoteToRemote", "sync", true, true, true},
};

class DvcpListerWaits : public DvcpProcessTest, public ::testing::WithParamInterface<ListerCase> {
  protected:
    void SetUp() override {
        DvcpProcessTest::SetUp();
        if (IsSkipped()) return;
        if (!kHaveDvsd) GTEST_SKIP() << "dvsd is not part of this build";
        make_tree(tmp_ / "served", {});
        make_tree(tmp_ / "local", {});
    }

    // Starts dvsd with `extra` arguments, runs the case at level=verb and checks the result is
    // the source exactly; the lister connections' counts.
    Counts lister_counts(const std::vector<std::string>& extra) {
        std::vector<std::string> args{"root=" + std::string(tmp_ / "served"), "listen=127.0.0.1",
                                      "port=0", "user=joe", std::string("passwd=") + kPassword};
        args.insert(args.end(), extra.begin(), extra.end());
        DvsdProcess server(args);
        const int port = port_of(server.first_line());
        EXPECT_GT(port, 0) << "dvsd did not start";
        if (port <= 0) return {};
        const ListerCase& c = GetParam();
        // The path on disk and the job's argument.
        const auto place = [&](bool remote, const std::string& name) {
            const std::string url = "dvp://joe:" + std::string(kPassword) +
                                    "@127.0.0.1:" + std::to_string(port) + "/" + name;
            const std::string disk = tmp_ / ((remote ? "served/" : "local/") + name);
            return std::make_pair(disk, remote ? url : disk);
        };
        const auto [src_disk, src] = place(c.src_remote, "src");
        const auto [dst_disk, dst] = place(c.dst_remote, "dst");
        make_tree(src_disk, many_dirs_tree());
        if (c.dst_filled) make_tree(dst_disk, many_dirs_tree());
        const RunResult run =
            dvcp({"level=verb", std::string("mode=") + c.mode, "if=" + src, "of=" + dst});
        EXPECT_EXIT_STATUS(run, 0);
        const auto diffs =
            compare(snapshot(src_disk), snapshot(dst_disk), {.dir_attributes = false});
        EXPECT_TRUE(diffs.empty()) << format_differences(diffs);
        const auto counts = report_counts(run);
        const auto it = counts.find("lister");
        EXPECT_NE(it, counts.end()) << describe(counts);
        return it != counts.end() ? it->second : Counts{};
    }

    TempDir tmp_{"dvcp-lister-waits"};
};

// Listings and their reads stay in flight: each lister connection waits a handful of times
// (its set-up included) however many directories the tree has, on either side and on both.
TEST_P(DvcpListerWaits, WaitsDoNotGrowWithDirectories) {
    const Counts lister = lister_counts({});
    EXPECT_GE(lister.conns, 1);
    EXPECT_GE(lister.waits, 1);
    EXPECT_LE(lister.waits, 16 * lister.conns) << "for " << kManyDirs << " directories";
}

// A server without the offer is asked one thing at a time and the tree still comes out exact.
TEST_P(DvcpListerWaits, LockStepWithoutTheServersOffer) {
    EXPECT_GE(lister_counts({"pipe=0"}).waits, kManyDirs);
}

INSTANTIATE_TEST_SUITE_P(Routes, DvcpListerWaits, ::testing::ValuesIn(kListerCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A server that takes no request ahead of the last one's answer: the same jobs give the same
// trees, each request waited for.
class DvcpRoundTripsLockStep : public DvcpRoundTrips {
  protected:
    DvcpRoundTripsLockStep() { server_extra_ = {"pipe=0"}; }
};

TEST_P(DvcpRoundTripsLockStep, SameTreeEveryRequestWaitedFor) {
    const RunResult result = run(GetParam().job);
    const auto counts = report_counts(result);
    for (const auto& [kind, n] : counts) {
        EXPECT_EQ(n.waits, n.requests) << kind << "\n" << describe(counts);
    }
}

INSTANTIATE_TEST_SUITE_P(Jobs, DvcpRoundTripsLockStep, ::testing::ValuesIn(kJobCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace systest
