// The status line of a running job: a thread of its own polls the job a few times a second and
// keeps one line on standard error up to date. The log draws it below its lines; destroying the
// display ends it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "libcdir/libcdir.h"

// Columns of standard error when it is a terminal; otherwise COLUMNS or 80.
size_t status_width();

// The last `columns` columns of a path (UTF-8 sequences kept whole), "..." in front when cut.
std::string path_tail(std::string_view path, size_t columns);

class progress_display final {
  public:
    // Starts showing `job`, which must stay open until the display is destroyed. Throws
    // std::system_error when the thread cannot start.
    explicit progress_display(libcdir_ctx* job);
    ~progress_display();
    progress_display(const progress_display&) = delete;
    progress_display& operator=(const progress_display&) = delete;

  private:
    struct sample {
        std::chrono::steady_clock::time_point at;
        uint64_t bytes;
    };

    void run();
    void show();

    libcdir_ctx* const job_;
    std::vector<sample> samples_;  // progress thread only

    std::mutex mutex_;  // guards stop_
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};
