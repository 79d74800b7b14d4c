// The sinks of one log context. Not part of the public interface: the front end reaches them
// through the provider in log_sinks.cc, always with the context's mutex held, so nothing here
// locks. Nothing here may log through log2_printf (the caller holds a log lock); failures go to
// log2_diag.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

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
    // `mode` 'w' truncates an existing file, 'a' appends. A name ending in ".pcap" opens a
    // capture file of structured records instead of a text file.
    int open(const char* name, char mode);
    int set_max_size(int64_t bytes);
    // 0, or -1 when the line could not be written. A capture file takes no text (0).
    int write(const log2_line& line);
    // Whether the file opened last is a capture file of structured records.
    bool holds_records() const { return records_ && !path_.empty(); }
    // Appends one record (time stamp `sec`.`usec`) to the capture file. 0, or -1 when it could
    // not be written.
    int write_record(std::span<const uint8_t> record, uint64_t sec, uint32_t usec);
    void close();
    // Whether a file has been opened (it may be closed for the moment after a write error).
    bool is_open() const { return !path_.empty(); }
    // Closes the file and opens it again under its name, appending. false when it cannot.
    bool reopen_append();

  private:
    bool put(const char* prefix, size_t prefix_length, const log2_line& line);
    bool ensure_open();

    std::string dir_;
    std::string path_;  // canonical path of the file opened last; empty when none
    uint64_t max_size_ = kDefaultMaxSize;
    bool records_ = false;  // path_ names a capture file
    FILE* file_ = nullptr;
};

// Capture files of structured records (pcap, link type 146 + record type), used by file_sink.
namespace pcap {

// Opens `path` for records of `record_type`: mode 'a' appends to an existing capture file ("ab+";
// a file that is not one, or holds other records, is refused so that nothing is appended to it),
// 'w' empties or creates it ("wb+"). A new or empty file gets the global header. Null on failure,
// with a diagnostic.
FILE* open(const char* path, char mode, int record_type);

// Appends a packet holding `record` from its offset 12 on; a failed write is taken back, so the
// file never holds a partial packet. 0, or -1.
int append(FILE* file, std::span<const uint8_t> record, uint64_t sec, uint32_t usec);

// Once the file has reached `max_size`, drops whole packets from the front until at most half of
// it remains; the global header stays. Leaves the file positioned at its end. 1 when it was cut,
// 0 when below the cap, -1 on an i/o error.
int keep_newest_half(FILE* file, uint64_t max_size);

}  // namespace pcap

// The structured record UDP sink ("bsvlog"). Lines are sent from the logging thread; a thread
// "bsvnet" opens the socket, so that a slow name lookup never holds up a log line.
class bsv_udp_sink final {
  public:
    bsv_udp_sink() = default;
    ~bsv_udp_sink() { close(); }
    bsv_udp_sink(const bsv_udp_sink&) = delete;
    bsv_udp_sink& operator=(const bsv_udp_sink&) = delete;

    // Whether log_bsv_udp_open succeeded (the socket may still be opening, or have failed).
    bool configured() const { return configured_; }
    bool scrambled() const { return scramble_; }
    const std::string& hostname() const { return hostname_; }
    // Sends one packet. While the socket is still being opened, the first packet is kept (at most
    // kPendingMax bytes of it) and sent once it is open; others are dropped, as are all packets
    // when no socket could be opened.
    void send(std::span<const uint8_t> packet);
    // Waits for the opening thread, closes the socket. The sink is then unconfigured.
    void close();

    static constexpr size_t kPendingMax = 8192;

  private:
    friend int log_bsv_udp_open(bsv_udp_sink* sink, const char* url);
    void open_socket(std::string host, uint16_t port);  // the "bsvnet" thread

    // Owned by the thread that configures the sink (the one holding the log context's lock).
    bool configured_ = false;
    bool scramble_ = false;
    std::string hostname_;
    std::thread opener_;

    // Shared with the "bsvnet" thread.
    std::mutex mutex_;
    enum class socket_state { opening, open, failed } state_ = socket_state::failed;
    int fd_ = -1;
    std::vector<uint8_t> pending_;
};

// Configures the sink from a URL "udp://host[:port]" (port 514 when absent; "udps://" scrambles
// the packets) and starts opening its socket; any previous configuration is closed first. 0, or
// -1 for a URL without a host ("url_parser%s failed\n" as a diagnostic).
int log_bsv_udp_open(bsv_udp_sink* sink, const char* url);

// "unknown" when the machine has no name, as syslog shows it.
std::string local_hostname();

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
