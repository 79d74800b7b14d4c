// Running a program as a child process for process-level tests: arguments, optional
// user switch, captured output and a hard time-out so that a stuck child never hangs a test.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace systest {

struct RunOptions {
    // The child is killed (SIGKILL) when it runs longer than this; the result says so.
    std::chrono::seconds timeout{180};
    // When set, the child drops supplementary groups and switches to this user and group
    // before exec (the caller must be root for that).
    std::optional<uid_t> uid;
    std::optional<gid_t> gid;
    // Working directory of the child; the caller's when not set.
    std::optional<std::string> cwd;
    // Called on the calling thread each time new standard error output has arrived, with the
    // child's pid and all standard error text so far. Used to signal the child mid-run.
    std::function<void(pid_t pid, const std::string& err_so_far)> on_stderr;
    // When set, also called every few milliseconds while the child runs, output or not.
    std::function<void(pid_t pid, const std::string& err_so_far)> on_poll;
};

struct RunResult {
    std::vector<std::string> argv;
    bool exited = false;  // ended through exit(); exit_code is valid
    int exit_code = -1;
    int term_signal = 0;     // signal that ended the child, when !exited
    bool timed_out = false;  // killed by the time-out
    std::string out;         // standard output
    std::string err;         // standard error (raw, colour codes included)

    // Command line, status and the tail of standard error, for assertion messages.
    std::string describe() const;
};

// Runs argv[0] (a path, not looked up in PATH) with argv, standard input from /dev/null.
RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options = {});

// The direct children of process `pid` (from /proc), for a test that runs the program under a
// wrapper (strace, setpriv) and must signal the program itself. Empty when there are none or
// `pid` is gone.
std::vector<pid_t> child_pids(pid_t pid);

// The program a process runs (the target of /proc/PID/exe), or "" when it cannot be read.
std::string process_exe(pid_t pid);

// Quotes a byte string for messages: printable ASCII as is, anything else as \xNN.
std::string printable(const std::string& text);

}  // namespace systest
