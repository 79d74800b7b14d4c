// Collects the log lines written while it lives (both hooks of the global context).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "liblog/log2.h"

class log_capture {
  public:
    log_capture() {
        lines().clear();
        log2_out_hook hook = &log_capture::hook;
        log2_ioctl(nullptr, 5, &hook, sizeof(hook));
        log2_ioctl(nullptr, 6, &hook, sizeof(hook));
        int level = LOG_VERB;
        log2_ioctl(nullptr, 1, &level, sizeof(level));
    }
    ~log_capture() {
        log2_out_hook none = nullptr;
        log2_ioctl(nullptr, 5, &none, sizeof(none));
        log2_ioctl(nullptr, 6, &none, sizeof(none));
        int level = LOG_DBG;
        log2_ioctl(nullptr, 1, &level, sizeof(level));
    }
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    // True when some captured line contains `text`.
    bool has(const std::string& text) const {
        std::lock_guard<std::mutex> lock(mutex());
        for (const auto& line : lines()) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }
    int count(const std::string& text) const {
        std::lock_guard<std::mutex> lock(mutex());
        int n = 0;
        for (const auto& line : lines()) {
            if (line.find(text) != std::string::npos) ++n;
        }
        return n;
    }

  private:
    static void hook(uint32_t, const char* text, size_t length) {
        std::lock_guard<std::mutex> lock(mutex());
        lines().emplace_back(text, length);
    }
    static std::vector<std::string>& lines() {
        static std::vector<std::string> all;
        return all;
    }
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
};
