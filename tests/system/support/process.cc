#include "system/support/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace systest {

namespace {

class Fd final {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

void make_pipe(Fd& read_end, Fd& write_end) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
}

// Only async-signal-safe calls between fork and exec.
[[noreturn]] void exec_child(const std::vector<char*>& args, const char* cwd, int out_fd,
                             int err_fd, const RunOptions& options) {
    int null_fd = ::open("/dev/null", O_RDONLY);
    if (null_fd < 0 || ::dup2(null_fd, 0) < 0 || ::dup2(out_fd, 1) < 0 || ::dup2(err_fd, 2) < 0)
        ::_exit(126);
    ::setpgid(0, 0);
    if (cwd && ::chdir(cwd) != 0) {
        static const char msg[] = "run_program: cannot change directory\n";
        ssize_t ignored = ::write(2, msg, sizeof msg - 1);
        (void)ignored;
        ::_exit(126);
    }
    if (options.uid) {
        gid_t gid = options.gid ? *options.gid : static_cast<gid_t>(*options.uid);
        if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
            ::setresuid(*options.uid, *options.uid, *options.uid) != 0) {
            static const char msg[] = "run_program: cannot switch user\n";
            ssize_t ignored = ::write(2, msg, sizeof msg - 1);
            (void)ignored;
            ::_exit(126);
        }
    }
    ::execv(args[0], args.data());
    static const char msg[] = "run_program: exec failed\n";
    ssize_t ignored = ::write(2, msg, sizeof msg - 1);
    (void)ignored;
    ::_exit(127);
}

}  // namespace

std::vector<pid_t> child_pids(pid_t pid) {
    std::vector<pid_t> children;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (dir == nullptr) return children;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream in(tasks + "/" + e->d_name + "/children");
        for (pid_t child; in >> child;) children.push_back(child);
    }
    ::closedir(dir);
    return children;
}

std::string process_exe(pid_t pid) {
    char buf[4096];
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

std::string RunResult::describe() const {
    std::string text = "command:";
    for (const auto& a : argv) text += " '" + printable(a) + "'";
    if (timed_out) {
        text += "\nTIMED OUT (killed)";
    } else if (exited) {
        text += "\nexit status " + std::to_string(exit_code);
    } else {
        text += "\nkilled by signal " + std::to_string(term_signal);
    }
    if (!out.empty()) text += "\n--- stdout (" + std::to_string(out.size()) + " bytes)";
    const size_t tail = 6000;
    text += "\n--- stderr tail:\n";
    text += err.size() > tail ? "..." + err.substr(err.size() - tail) : err;
    return text;
}

RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options) {
    RunResult result;
    result.argv = argv;
    if (argv.empty()) throw std::invalid_argument("run_program: empty argv");

    std::vector<std::string> storage = argv;
    std::vector<char*> args;
    for (auto& s : storage) args.push_back(s.data());
    args.push_back(nullptr);

    Fd out_read, out_write, err_read, err_write;
    make_pipe(out_read, out_write);
    make_pipe(err_read, err_write);

    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0)
        exec_child(args, options.cwd ? options.cwd->c_str() : nullptr, out_write.get(),
                   err_write.get(), options);
    out_write.reset();
    err_write.reset();

    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    auto limit = deadline;  // moves to a short drain period once the child was killed
    bool out_open = true, err_open = true;
    char buf[65536];
    while (out_open || err_open) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            limit - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            if (result.timed_out) break;  // the drain after the kill is over too
            result.timed_out = true;
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            limit = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            continue;
        }
        pollfd fds[2] = {{out_open ? out_read.get() : -1, POLLIN, 0},
                         {err_open ? err_read.get() : -1, POLLIN, 0}};
        const long long wait_ms = options.on_poll ? 5 : 1000;
        int n = ::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), wait_ms)));
        if (options.on_poll && !result.timed_out) options.on_poll(pid, result.err);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
            if (got <= 0) {
                if (got < 0 && errno == EINTR) continue;
                (i == 0 ? out_open : err_open) = false;
                continue;
            }
            if (i == 0) {
                result.out.append(buf, static_cast<size_t>(got));
            } else {
                result.err.append(buf, static_cast<size_t>(got));
                if (options.on_stderr) options.on_stderr(pid, result.err);
            }
        }
    }

    // The child may close its output and still not end: keep to the same time-out.
    int status = 0;
    for (;;) {
        pid_t done = ::waitpid(pid, &status, result.timed_out ? 0 : WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return result;
        if (done == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                result.timed_out = true;
                ::kill(-pid, SIGKILL);
                ::kill(pid, SIGKILL);
            } else {
                ::usleep(5000);
            }
        }
    }
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.term_signal = WTERMSIG(status);
    }
    return result;
}

}  // namespace systest
