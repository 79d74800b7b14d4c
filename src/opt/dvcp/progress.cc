#include "dvcp/progress.h"

#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <cstring>

#include "libcdir/cstat.h"
#include "liblog/log2.h"

namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(250);
constexpr size_t kProgressSamples = 8;  // the rate is taken over the last two seconds

}  // namespace

size_t status_width() {
    winsize ws{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    if (const char* env = getenv("COLUMNS")) {
        size_t n = 0;
        auto [end, ec] = std::from_chars(env, env + strlen(env), n);
        if (ec == std::errc() && *end == '\0' && n >= 20) return n;
    }
    return 80;
}

std::string path_tail(std::string_view path, size_t columns) {
    size_t count = 0;
    for (unsigned char c : path) count += (c & 0xc0) != 0x80 ? 1 : 0;
    if (count <= columns) return std::string(path);
    if (columns <= 3) return std::string();
    size_t keep = columns - 3;
    size_t at = path.size();
    while (at > 0 && keep > 0) {
        --at;
        if ((static_cast<unsigned char>(path[at]) & 0xc0) != 0x80) --keep;
    }
    return "..." + std::string(path.substr(at));
}

progress_display::progress_display(libcdir_ctx* job) : job_(job) {
    // The job has just started: the first rate is taken from here.
    samples_.push_back({std::chrono::steady_clock::now(), 0});
    log2_status_begin(nullptr);
    thread_ = std::thread([this] { run(); });
}

progress_display::~progress_display() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    log2_status_end(nullptr);
}

void progress_display::run() {
    pthread_setname_np(pthread_self(), "dvcp_progress");
    os_thread_name_set("progress");
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, kProgressInterval, [this] { return stop_; })) {
        lock.unlock();
        show();
        lock.lock();
    }
    os_thread_name_del();
}

void progress_display::show() {
    libcdir_progress p{};
    if (libcdir_get_progress(job_, &p) != 0) return;
    p.dir[sizeof(p.dir) - 1] = '\0';
    const auto now = std::chrono::steady_clock::now();
    samples_.push_back({now, p.bytes_done});
    if (samples_.size() > kProgressSamples) samples_.erase(samples_.begin());
    uint64_t rate = 0;
    const sample& first = samples_.front();
    double seconds = std::chrono::duration<double>(now - first.at).count();
    if (seconds > 0 && p.bytes_done >= first.bytes) {
        rate = static_cast<uint64_t>(static_cast<double>(p.bytes_done - first.bytes) / seconds);
    }
    std::string text = std::to_string(p.files_done) + " files, " +
                       cdir_size_for_people(p.bytes_done) + ", " + cdir_size_for_people(rate) +
                       "/s, " + std::to_string(p.files_seen) + " seen in " +
                       std::to_string(p.dirs_seen) + " dirs";
    // One column short of the width, so that the terminal never wraps the line.
    size_t width = status_width() - 1;
    if (text.size() + 4 < width) text += "  " + path_tail(p.dir, width - text.size() - 2);
    if (text.size() > width) text.resize(width);
    log2_status_show(nullptr, text.c_str());
}
