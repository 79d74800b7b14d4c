// Captures what the process writes to standard error (file descriptor 2) while in scope.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

class StderrCapture final {
  public:
    StderrCapture() {
        char name[] = "/tmp/dv_stderr_XXXXXX";
        fd_ = mkstemp(name);
        path_ = name;
        fflush(stderr);
        saved_ = dup(2);
        dup2(fd_, 2);
    }
    ~StderrCapture() {
        restore();
        close(fd_);
        unlink(path_.c_str());
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Everything written so far; stops the capture.
    std::string text() {
        restore();
        std::ifstream in(path_, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

  private:
    void restore() {
        if (saved_ < 0) return;
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }

    int fd_ = -1;
    int saved_ = -1;
    std::string path_;
};
