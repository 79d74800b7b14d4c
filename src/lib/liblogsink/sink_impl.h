// The sinks of one log context. Not part of the public interface: the front end reaches them
// through the provider in log_sinks.cc, always with the context's mutex held, so nothing here
// locks. Nothing here may log through log2_printf (the caller holds a log lock); failures go to
// log2_diag.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct log2_ctx;
struct log2_line;

namespace logsink {

inline constexpr size_t kDirMax = 2048;
inline constexpr uint64_t kDefaultMaxSize = 2097152;
inline constexpr uint64_t kMinMaxSize = 1024;

class file_sink final {
  public:
    file_sink() = default;
    ~file_sink() { close(); }
    file_sink(const file_sink&) = delete;
    file_sink& operator=(const file_sink&) = delete;

    // `exe_dir` ends in "/" (may be empty when unknown). 0 or -1.
    int set_dir(const char* dir, const std::string& exe_dir);
    // `mode` 'w' truncates an existing file, 'a' appends.
    int open(const char* name, char mode);
    int set_max_size(int64_t bytes);
    // 0, or -1 when the line could not be written.
    int write(const log2_line& line);
    void close();

  private:
    bool reopen_append();
    bool put(const char* prefix, size_t prefix_length, const log2_line& line);

    std::string dir_;
    std::string path_;  // canonical path of the file opened last; empty when none
    uint64_t max_size_ = kDefaultMaxSize;
    FILE* file_ = nullptr;
};

class syslog_sink final {
  public:
    syslog_sink() = default;
    ~syslog_sink() { disconnect(); }
    syslog_sink(const syslog_sink&) = delete;
    syslog_sink& operator=(const syslog_sink&) = delete;

    // Command 24. 0 or -1 (the previous configuration is then kept).
    int configure(const char* url);
    void write(const log2_line& line);
    void disconnect();

  private:
    enum : int { kNotConfigured = 0, kConfigured = 1, kConnected = 2 };

    bool connect();
    bool send_message(const char* data, size_t length);
    bool peer_gone() const;
    void report(const char* what);

    int state_ = kNotConfigured;
    bool tcp_ = false;
    std::string host_;
    std::string port_;  // the URL's port, or the service name used without one
    std::string hostname_;
    int fd_ = -1;
    bool outage_reported_ = false;
    uint64_t retry_after_ms_ = 0;  // no connect attempt before this (monotonic ms)
};

// The file mode of a context's file sink for later opens ('w' or 'a'); log2_init_imp sets it.
// 0, or -1 when the sinks are not installed.
int set_file_mode(log2_ctx* ctx, char mode);

// The global context was released (log2_exit(nullptr)): the next log2_init_imp configures the
// fresh one.
void forget_configured_global();

}  // namespace logsink
