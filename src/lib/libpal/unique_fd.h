// An owned file descriptor, closed when the object goes. Closing on destruction or reset never
// changes errno, so a failure reported after the object went keeps its own reason.
#pragma once

#include <unistd.h>

#include <cerrno>

class unique_fd final {
  public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            const int saved = errno;
            (void)::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }
    // Closes now and reports what close said (0 or errno).
    int close_checked() {
        if (fd_ < 0) return 0;
        const int ret = ::close(fd_) == 0 ? 0 : errno;
        fd_ = -1;
        return ret;
    }

  private:
    int fd_ = -1;
};
