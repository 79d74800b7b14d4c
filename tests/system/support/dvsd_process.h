// The real dvsd as a child process for process-level tests: started with its arguments, its
// listening line read from standard output, stopped by a signal. A server left running is killed
// when the object goes.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace systest {

// Whether this build has dvsd to run: tests that need it skip without it.
#ifdef DVSD_BIN
inline constexpr bool kHaveDvsd = true;
#else
inline constexpr bool kHaveDvsd = false;
#define DVSD_BIN ""
#endif

class DvsdProcess {
  public:
    // With `uid` and `gid` the server drops supplementary groups and runs as that user (the
    // caller must be root), so that file permissions apply to what it serves.
    // With `stderr_path` the server's standard error (its log) goes to that file. With
    // `max_files` the server starts with that descriptor limit (soft and hard).
    explicit DvsdProcess(const std::vector<std::string>& args, std::optional<uid_t> uid = {},
                         std::optional<gid_t> gid = {}, const std::string& stderr_path = "",
                         std::optional<rlim_t> max_files = {}) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            if (!stderr_path.empty()) {
                const int err = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
                if (err < 0 || dup2(err, 2) < 0) _exit(126);
            }
            if (max_files) {
                const rlimit limit{*max_files, *max_files};
                if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
            }
            if (gid && (setgroups(0, nullptr) != 0 || setgid(*gid) != 0)) _exit(126);
            if (uid && setuid(*uid) != 0) _exit(126);
            std::vector<std::string> all = {DVSD_BIN};
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (auto& a : all) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(DVSD_BIN, argv.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
    }
    ~DvsdProcess() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }

    // The first line of standard output, waiting at most 10 s.
    std::string first_line() {
        std::string line;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < until) {
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char c;
            if (read(out_, &c, 1) != 1) break;
            if (c == '\n') return line;
            line += c;
        }
        return line;
    }

    // Signals the server and waits (at most 10 s) for its exit status; -1 if it does not exit.
    int stop(int signum) {
        kill(pid_, signum);
        for (int i = 0; i < 1000; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    // Sends a signal without waiting (SIGSTOP and SIGCONT to make a server hang and resume).
    void signal(int signum) const { kill(pid_, signum); }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    bool reaped_ = false;
};

inline int port_of(const std::string& line) {
    const std::string prefix = "listening dvp://127.0.0.1:";
    if (line.rfind(prefix, 0) != 0) return -1;
    return std::stoi(line.substr(prefix.size()));
}

}  // namespace systest
