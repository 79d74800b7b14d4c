// Process-level checks of dvcp's main paths: arguments and their exit statuses, jobs that cannot
// be opened, a block size at its lower bound, an interrupt during a run, and a sync run by an
// unprivileged user over a source directory it cannot read.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct proc_result {
    int exit_code = -1;  // -1 when it did not exit normally
    int term_signal = 0;
    std::string out;
    std::string err;  // colour codes removed
};

std::string strip_colours(const std::string& text) {
    static const std::regex ansi("\x1b\\[[0-9;]*m");
    return std::regex_replace(text, ansi, "");
}

// Runs dvcp with `args`; `prefix` goes in front of it (e.g. setpriv and its options). The child is
// killed after a generous time-out so that a stuck run cannot hang the test. `on_err` sees the
// standard error text gathered so far whenever more arrives.
proc_result run_dvcp(const std::vector<std::string>& args,
                     const std::vector<std::string>& prefix = {},
                     const std::function<void(pid_t, const std::string&)>& on_err = {}) {
    std::vector<std::string> argv = prefix;
    argv.push_back(DVCP_BIN);
    argv.insert(argv.end(), args.begin(), args.end());
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        std::vector<char*> cargv;
        for (std::string& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    proc_result r;
    std::string raw_err;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_fds = 2;
    while (open_fds > 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, 1000) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof(buf));
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
                continue;
            }
            if (i == 0) {
                r.out.append(buf, static_cast<size_t>(n));
            } else {
                raw_err.append(buf, static_cast<size_t>(n));
                if (on_err) on_err(pid, raw_err);
            }
        }
    }
    for (pollfd& p : fds) {
        if (p.fd >= 0) close(p.fd);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.term_signal = WTERMSIG(status);
    r.err = strip_colours(raw_err);
    return r;
}

// Value of a report line "key=N" in the log, or -1.
long long report_value(const std::string& err, const std::string& key) {
    std::regex re(key + "=(\\d+)");
    std::smatch m;
    if (!std::regex_search(err, m, re)) return -1;
    return std::stoll(m[1]);
}

void write_file(const std::string& path, const std::string& data) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Dvcp : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/dvcp_engine_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        src_ = dir_ + "/src";
        dst_ = dir_ + "/dst";
        fs::create_directories(src_);
    }
    void TearDown() override {
        std::error_code ec;
        for (auto& e : fs::recursive_directory_iterator(dir_, ec)) {
            if (e.is_directory(ec) && !e.is_symlink(ec)) {
                fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
            }
        }
        fs::remove_all(dir_, ec);
    }
    std::string dir_, src_, dst_;
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
        proc_result r = run_dvcp(c.args);
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
    proc_result r = run_dvcp({"--", "mode=cp", "mode=ls", "if=" + src_, "olist=" + list});
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
        proc_result r = run_dvcp(c.args);
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
    proc_result r = run_dvcp({"if=" + src_, "of=" + dst_, "bs=64k"});
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
    proc_result r =
        run_dvcp({"if=" + src_, "of=" + dst_}, {}, [&](pid_t pid, const std::string& err) {
            if (!sent && err.find("cp idir=") != std::string::npos) {
                kill(pid, SIGINT);
                sent = true;
            }
        });
    ASSERT_TRUE(sent) << r.err;
    EXPECT_EQ(r.exit_code, 6) << r.err;
    EXPECT_NE(r.err.find("signum=2"), std::string::npos);
    EXPECT_NE(r.err.find("total_time="), std::string::npos);  // the report is still written
    EXPECT_LT(report_value(r.err, "file_open_count"), 2000);
}

TEST_F(Dvcp, UnprivilegedSyncKeepsFilesOfAnUnreadableSourceDirectory) {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) {
        GTEST_SKIP() << "needs root and setpriv";
    }
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

    proc_result r =
        run_dvcp({"mode=sync", "if=" + src_, "of=" + dst_},
                 {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
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
