#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "liblog/flog.h"
#include "liblog/log2.h"
#include "liblog/log2_sink.h"
#include "liblogsink/bsv.h"
#include "libpal/os_fs.h"
#include "sink_impl.h"

namespace logsink {

namespace {

constexpr size_t kPrefixMax = 512;

bool is_structured_record_name(std::string_view name) {
    return name.size() >= 5 && name.substr(name.size() - 5) == ".pcap";
}

// "2024-05-01 12:00:00.250000 INFO  1234 --- [main_1a2b_77] cdir "
size_t compose_prefix(char* out, size_t size, const log2_line& line) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    int n = snprintf(out, size, "%04d-%02d-%02d %02d:%02d:%02d.%06d %-5s %d --- [%s] %s ",
                     local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                     local.tm_min, local.tm_sec, static_cast<int>(now.tv_nsec / 1000),
                     log_level_file_name(static_cast<int>(line.level & 0xff)),
                     static_cast<int>(getpid()),
                     line.thread_name != nullptr ? line.thread_name : "", line.tag);
    if (n < 0) return 0;
    return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

}  // namespace

int file_sink::set_dir(const char* dir, const std::string& exe_dir) {
    if (dir == nullptr) return -1;
    if (dir[0] == '\0') {
        dir_.clear();
        return 0;
    }
    std::string full;
    if (dir[0] == '/') {
        full = dir;
    } else if (!exe_dir.empty()) {
        full = exe_dir + dir;
    } else {
        log2_diag("file_dir %s: the executable's directory is unknown\n", dir);
        return -1;
    }
    if (full.size() >= kDirMax) {
        log2_diag("file_dir %s: longer than %zu bytes\n", full.c_str(), kDirMax - 1);
        return -1;
    }
    if (os_mkdirs(full.c_str()) != 0) {
        log2_diag("os_mkdirs %s failed\n", full.c_str());
        return -1;
    }
    dir_ = std::move(full);
    return 0;
}

int file_sink::open(const char* name, char mode) {
    close();
    path_.clear();
    records_ = false;
    if (name == nullptr || name[0] == '\0') return -1;
    std::string path;
    if (name[0] != '/' && !dir_.empty()) {
        path = dir_;
        if (path.back() != '/') path += '/';
        path += name;
    } else {
        path = name;
    }
    if (path.size() >= PL_MAX_PATH) {
        log2_diag("fopen %s err\n", path.c_str());
        return -1;
    }
    if (is_structured_record_name(name)) {
        file_ = pcap::open(path.c_str(), mode, BSV_TYPE_LOG);
        if (file_ == nullptr) return -1;
        records_ = true;
    } else {
        // Readable streams, so that the size cap reads the tail through the same file.
        file_ = fopen(path.c_str(), mode == 'a' ? "a+e" : "w+e");
        if (file_ == nullptr) {
            log2_diag("fopen %s err\n", path.c_str());
            return -1;
        }
    }
    // Kept canonical so that a later change of the working directory does not move the log.
    char canonical[PATH_MAX];
    path_ = realpath(path.c_str(), canonical) != nullptr ? canonical : path;
    return 0;
}

int file_sink::set_max_size(int64_t bytes) {
    if (bytes < static_cast<int64_t>(kMinMaxSize)) {
        log2_diag("file_size %lld err: must be at least %llu\n", static_cast<long long>(bytes),
                  static_cast<unsigned long long>(kMinMaxSize));
        return -1;
    }
    max_size_ = static_cast<uint64_t>(bytes);
    return 0;
}

void file_sink::close() {
    if (file_ != nullptr) fclose(file_);
    file_ = nullptr;
}

bool file_sink::reopen_append() {
    close();
    file_ = records_ ? pcap::open(path_.c_str(), 'a', BSV_TYPE_LOG) : fopen(path_.c_str(), "a+e");
    return file_ != nullptr;
}

// Deleted or moved away while we were writing: start a fresh file under the same name.
bool file_sink::ensure_open() {
    struct stat st {};
    if (file_ != nullptr && stat(path_.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) return true;
    if (reopen_append()) return true;
    log2_diag("fopen %s err\n", path_.c_str());
    return false;
}

bool file_sink::put(const char* prefix, size_t prefix_length, const log2_line& line) {
    if (fwrite(prefix, 1, prefix_length, file_) != prefix_length) return false;
    if (line.file_text_length > 0 &&
        fwrite(line.file_text, 1, line.file_text_length, file_) != line.file_text_length) {
        return false;
    }
    return fflush(file_) == 0 && !ferror(file_);
}

int file_sink::write(const log2_line& line) {
    if (path_.empty()) return -1;
    if (records_) return 0;  // a capture file holds the lines' records, not their text
    if (!ensure_open()) return -1;

    char prefix[kPrefixMax];
    const size_t prefix_length = compose_prefix(prefix, sizeof(prefix), line);
    if (!put(prefix, prefix_length, line)) {
        log2_diag("log_file_write: fwrite error\n");
        if (!reopen_append() || !put(prefix, prefix_length, line)) {
            close();  // the next line tries to reopen it
            return -1;
        }
    }

    if (log_file_keep_newest_half(file_, path_.c_str(), max_size_) < 0) {
        log2_diag("log_file_write: cutting %s failed\n", path_.c_str());
        close();
        return -1;
    }
    return 0;
}

int file_sink::write_record(std::span<const uint8_t> record, uint64_t sec, uint32_t usec) {
    if (!holds_records() || !ensure_open()) return -1;
    if (pcap::append(file_, record, sec, usec) != 0) {
        log2_diag("log_file_write: fwrite error\n");
        if (!reopen_append() || pcap::append(file_, record, sec, usec) != 0) {
            close();  // the next record tries to reopen it
            return -1;
        }
    }
    if (pcap::keep_newest_half(file_, max_size_) < 0) {
        log2_diag("log_file_write: cutting %s failed\n", path_.c_str());
        close();
        return -1;
    }
    return 0;
}

}  // namespace logsink
