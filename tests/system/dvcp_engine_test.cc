// Process-level checks of dvcp's main paths: arguments and their exit statuses, jobs that cannot
// be opened, a block size at its lower bound, an interrupt during a run, and a sync run by an
// unprivileged user over a source directory it cannot read.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "system/support/process.h"
#include "system/support/report.h"
#include "system/support/tree.h"

namespace fs = std::filesystem;
using systest::read_file;
using systest::RunOptions;
using systest::RunResult;

namespace {

// Runs dvcp with `args` under a generous time-out, so that a stuck run cannot hang the test.
// The standard error text handed back has its colour codes removed.
RunResult run_dvcp(const std::vector<std::string>& args, RunOptions options = {}) {
    std::vector<std::string> argv{DVCP_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    options.timeout = std::chrono::seconds(300);
    RunResult r = systest::run_program(argv, options);
    r.err = systest::strip_ansi(r.err);
    return r;
}

// Value of a report line "key=N" in the log, or -1.
long long report_value(const std::string& err, const std::string& key) {
    return systest::Report::parse(err).number(key).value_or(-1);
}

void write_file(const std::string& path, const std::string& data) {
    fs::create_directories(fs::path(path).parent_path());
    systest::write_file(path, data);
}

class Dvcp : public ::testing::Test {
  protected:
    void SetUp() override { fs::create_directories(src_); }
    systest::TempDir tmp_;
    std::string dir_ = tmp_.path();
    std::string src_ = tmp_ / "src";
    std::string dst_ = tmp_ / "dst";
};

const char* const kUsageLine = "usage: dvcp [mode=..] [if=dir] [of=dir] [bs=N]\n";

struct arg_case {
    std::vector<std::string> args;
    int exit_code;
    std::string out;  // exact standard output
    bool usage;       // the usage text on standard error
};

TEST_F(Dvcp, ArgumentsAndTheirExitStatus) {
    const arg_case cases[] = {
        {{"-v"}, 0, "1.0.1.0\n", false},
        {{"-v", "if=x"}, 1, "", true},
        {{"ls_mode=cp"}, 0, "supprots_mode:\ncopy_overwrite\ncopy_diff_size_date\n", false},
        {{"ls_mode=sync"}, 0, "supprots_mode:\nsync_diff_size_date\n", false},
        {{"ls_mode=nothing"}, 0, "supprots_mode:\n", false},
        {{"ls_mode="},
         0,
         "supprots_mode:\ncopy_overwrite\ncopy_diff_size_date\nsync_diff_size_date\n",
         false},
        {{"ls_mode=cp", "bogus"},
         0,
         "supprots_mode:\ncopy_overwrite\ncopy_diff_size_date\n",
         false},
        {{"bogus", "ls_mode=cp"}, 1, "", true},
        {{"mode=rm", "if=/a"}, 1, "", true},
        {{"mode=copy", "if=/a"}, 1, "", true},
        {{"of=/a"}, 1, "", true},
        {{"if=/a", "colour=1"}, 1, "", true},
        {{"if=/a", "of=/b", "bs=0"}, 1, "", true},
        {{"if=/a", "of=/b", "bs=lots"}, 1, "", true},
        {{"if=/a", "of=/b", "bs=1k"}, 1, "", true},
        {{"if=/a", "of=/b", "bs=512M"}, 1, "", true},
        {{"if=/a", "of=/b", "bs=8G"}, 1, "", true},
    };
    for (const arg_case& c : cases) {
        std::string shown;
        for (const std::string& a : c.args) shown += a + " ";
        RunResult r = run_dvcp(c.args);
        EXPECT_EQ(r.exit_code, c.exit_code) << shown << r.err;
        EXPECT_EQ(r.out, c.out) << shown;
        EXPECT_EQ(r.err.find(kUsageLine) != std::string::npos, c.usage) << shown << r.err;
        if (c.usage) {
            EXPECT_NE(r.err.find("dvcp v1.0.1.0 (2023-11-8) [little] - Quickly copy synced files"),
                      std::string::npos);
        }
    }
}

TEST_F(Dvcp, ListWithLoneDoubleDashAndLaterKeysWinning) {
    write_file(src_ + "/f", "x");
    const std::string list = dir_ + "/list";
    RunResult r = run_dvcp({"--", "mode=cp", "mode=ls", "if=" + src_, "olist=" + list});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(list), src_ + "/f\n");
    EXPECT_EQ(report_value(r.err, "file_count"), 1);
    EXPECT_EQ(r.err.find("o_file_fail_count"), std::string::npos);  // a list job's report
}

TEST_F(Dvcp, JobsThatCannotBeOpenedNeverExitZero) {
    write_file(dir_ + "/plain", "x");
    struct {
        std::vector<std::string> args;
        int exit_code;
        std::string message;
    } cases[] = {
        {{"if=" + src_, "of=" + src_},
         1,
         "error: The source url and destination url cannot be the same"},
        {{"mode=sync", "if=" + src_, "of=" + src_ + "/"},
         1,
         "error: The source url and destination url cannot be the same"},
        {{"if=" + src_, "of=" + src_ + "/sub"}, 1, "is inside the source"},
        {{"if=" + src_}, 1, "error: a copy or sync needs a destination (of=)"},
        {{"if=" + src_, "of=" + dir_ + "/plain"}, 1, "It is a file, must be a directory"},
        {{"if=" + src_, "of=dvp://127.0.0.1/backup"}, 1, "error: Not supported."},
        {{"mode=sync", "if=///session/data", "of=" + dst_}, 1, "error: Not supported."},
        {{"mode=ls", "if=" + dir_ + "/missing"}, 2, "error: "},
    };
    for (const auto& c : cases) {
        RunResult r = run_dvcp(c.args);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.args[0] << " " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.message << "\n" << r.err;
    }
    EXPECT_FALSE(fs::exists(src_ + "/sub"));
}

TEST_F(Dvcp, SmallestBlockSizeCopiesEndToEnd) {
    std::string big(3 * 1024 * 1024 + 11, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i % 251);
    write_file(src_ + "/big", big);
    write_file(src_ + "/d/small", "small");
    RunResult r = run_dvcp({"if=" + src_, "of=" + dst_, "bs=64k"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(dst_ + "/big"), big);
    EXPECT_EQ(read_file(dst_ + "/d/small"), "small");
    EXPECT_EQ(report_value(r.err, "file_open_count"), 2);
    EXPECT_EQ(report_value(r.err, "total_write"), static_cast<long long>(big.size() + 5));
    EXPECT_NE(r.err.find("imfile_param.max_mfile_size=524288 too big"), std::string::npos);
}

TEST_F(Dvcp, InterruptEndsTheRunWithSix) {
    for (int d = 0; d < 40; ++d) {
        for (int f = 0; f < 50; ++f) {
            write_file(src_ + "/d" + std::to_string(d) + "/f" + std::to_string(f),
                       std::string(2000, 'a'));
        }
    }
    bool sent = false;
    RunOptions options;
    options.on_stderr = [&](pid_t pid, const std::string& err) {
        if (!sent && err.find("cp idir=") != std::string::npos) {
            kill(pid, SIGINT);
            sent = true;
        }
    };
    RunResult r = run_dvcp({"if=" + src_, "of=" + dst_}, options);
    ASSERT_TRUE(sent) << r.err;
    EXPECT_EQ(r.exit_code, 6) << r.err;
    EXPECT_NE(r.err.find("signum=2"), std::string::npos);
    EXPECT_NE(r.err.find("total_time="), std::string::npos);  // the report is still written
    EXPECT_LT(report_value(r.err, "file_open_count"), 2000);
}

TEST_F(Dvcp, UnprivilegedSyncKeepsFilesOfAnUnreadableSourceDirectory) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    passwd* nobody = getpwnam("nobody");
    group* nogroup = getgrnam("nogroup");
    if (nobody == nullptr || nogroup == nullptr) GTEST_SKIP() << "no user nobody";

    write_file(src_ + "/open/f", "readable");
    write_file(src_ + "/locked/a", "a");
    write_file(src_ + "/locked/b", "b");
    write_file(dst_ + "/locked/a", "a");
    write_file(dst_ + "/locked/b", "b");
    write_file(dst_ + "/orphan", "gone after the sync");
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    for (auto& e : fs::recursive_directory_iterator(dir_)) {
        ASSERT_EQ(lchown(e.path().c_str(), nobody->pw_uid, nogroup->gr_gid), 0);
    }
    ASSERT_EQ(chmod((src_ + "/locked").c_str(), 0), 0);

    RunOptions options;
    options.uid = nobody->pw_uid;
    options.gid = nogroup->gr_gid;
    RunResult r = run_dvcp({"mode=sync", "if=" + src_, "of=" + dst_}, options);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_file(dst_ + "/locked/a"), "a");
    EXPECT_EQ(read_file(dst_ + "/locked/b"), "b");
    EXPECT_EQ(read_file(dst_ + "/open/f"), "readable");
    EXPECT_FALSE(fs::exists(dst_ + "/orphan"));
    EXPECT_EQ(report_value(r.err, "i_dir_fail_count"), 1) << r.err;
    EXPECT_EQ(report_value(r.err, "sync_del_file_count"), 1) << r.err;
    EXPECT_NE(r.err.find("source listing incomplete"), std::string::npos) << r.err;
}

}  // namespace
