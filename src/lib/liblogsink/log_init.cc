#include "liblogsink/log_init.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "libconf/ini/conf.h"
#include "liblog/log2.h"
#include "liblog/log2_sink.h"
#include "liblogsink/log_sinks.h"
#include "libpal/strnum.h"
#include "sink_impl.h"

#define LOGSINK_LOG(ctx, level, ...) \
    log2_printf((ctx), (level), "log", __FILE__, __LINE__, __func__, __VA_ARGS__)

namespace {

constexpr int kMinFileSize = 2048;

std::mutex init_mutex;
bool global_configured = false;  // guarded by init_mutex

class conf_handle final {
  public:
    explicit conf_handle(conf* c) : conf_(c) {}
    ~conf_handle() { conf_close(conf_); }
    conf_handle(const conf_handle&) = delete;
    conf_handle& operator=(const conf_handle&) = delete;
    conf* get() const { return conf_; }

  private:
    conf* conf_;
};

enum class read_result { ok, missing, failed };

read_result read_file(const char* path, std::string* text) {
    // Non-blocking, so that a FIFO in place of the file cannot stall start-up.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT ? read_result::missing : read_result::failed;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return read_result::failed;
    }
    char buffer[8192];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int saved = errno;
            close(fd);
            errno = saved;
            return read_result::failed;
        }
        if (n == 0) break;
        text->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return read_result::ok;
}

// Applies one section's keys in their fixed order.
class log_configurator final {
  public:
    log_configurator(log2_ctx* ctx, conf* c, std::string section)
        : ctx_(ctx), conf_(c), section_(std::move(section)) {}

    void apply() {
        // Applied before its echo, so that "debug=1" shows every echo including its own.
        if (const char* v = raw_value("debug")) {
            log2_diag_enable(strcmp(v, "1") == 0);
            echo("debug", v);
        }
        if (const char* v = value("level")) {
            // A bad name is reported by log2_ioctl and leaves the level as it was.
            log2_ioctl(ctx_, 3, const_cast<char*>(v), -1);
        }
        if (const char* v = value("flags")) log2_ioctl(ctx_, 4, const_cast<char*>(v), -1);
        if (const char* v = value("syslog")) {
            if (check(log2_ioctl(ctx_, 24, const_cast<char*>(v), -1), "syslog", v)) enable(43);
        }
        if (const char* v = value("bsvlog"))
            check(log2_ioctl(ctx_, 23, const_cast<char*>(v), -1), "bsvlog", v);
        if (const char* v = value("file_dir")) {
            check(log2_ioctl(ctx_, 21, const_cast<char*>(v), -1), "file_dir", v);
        }
        if (const char* v = value("file_mode")) {
            if (strcmp(v, "a") == 0 || strcmp(v, "w") == 0) {
                check(logsink::set_file_mode(ctx_, v[0]), "file_mode", v);
            } else {
                // Left at its old value; said aloud, since "w" empties the file on opening.
                log2_diag("mode %s err\n", v);
                check(-1, "file_mode", v);
            }
        }
        if (const char* v = value("file")) {
            if (check(log2_ioctl(ctx_, 20, const_cast<char*>(v), -1), "file", v)) enable(42);
        }
        if (const char* v = value("file_size")) apply_file_size(v);
    }

  private:
    // The value of a key, echoed; null when absent or empty.
    const char* value(const char* key) {
        const char* v = raw_value(key);
        if (v != nullptr) echo(key, v);
        return v;
    }
    const char* raw_value(const char* key) {
        const char* v = conf_get_str(conf_, section_.c_str(), key, nullptr);
        return v == nullptr || v[0] == '\0' ? nullptr : v;
    }
    void echo(const char* key, const char* v) {
        log2_diag("%s.%s=%s\n", section_.c_str(), key, log_mask_url_password(v).c_str());
    }

    bool check(int result, const char* key, const char* v) {
        if (result == 0) return true;
        LOGSINK_LOG(ctx_, LOG_WARN, "log2_ioctl %s.%s=%s failed\n", section_.c_str(), key,
                    log_mask_url_password(v).c_str());
        return false;
    }

    void enable(int command) {
        int on = 1;
        log2_ioctl(ctx_, command, &on, -1);
    }

    void apply_file_size(const char* v) {
        const uint64_t size = str_size_parse(v);
        if (size == 0 && strcmp(v, "0") != 0) {
            LOGSINK_LOG(ctx_, LOG_WARN, "log2_ioctl %s.file_size=%s (not a size)\n",
                        section_.c_str(), v);
            return;
        }
        if (size < static_cast<uint64_t>(kMinFileSize)) {
            LOGSINK_LOG(ctx_, LOG_WARN, "log2_ioctl %s.file_size=%d (must>=%d error)\n",
                        section_.c_str(), static_cast<int>(size), kMinFileSize);
            return;
        }
        const int64_t bytes =
            size > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(size);
        check(log2_ioctl(ctx_, 22, const_cast<int64_t*>(&bytes), sizeof(bytes)), "file_size", v);
    }

    log2_ctx* ctx_;
    conf* conf_;
    std::string section_;
};

}  // namespace

namespace logsink {

void forget_configured_global() {
    std::lock_guard<std::mutex> lock(init_mutex);
    global_configured = false;
}

}  // namespace logsink

log2_ctx* log2_init_imp(const char* type, const char* source, const char* name) {
    const bool from_file = type != nullptr && strcmp(type, "ini_file") == 0;
    const bool from_text = type != nullptr && strcmp(type, "ini_str") == 0;
    if (!from_file && !from_text) {
        log2_diag("type [%s] error\n", type != nullptr ? type : "");
        return nullptr;
    }
    if (source == nullptr) {
        log2_diag("log2_init_imp: no %s given\n", from_file ? "file" : "text");
        return nullptr;
    }
    log_sinks_install();

    std::string text;
    bool missing = false;
    if (from_file) {
        read_result result = read_file(source, &text);
        if (result == read_result::failed) {
            fprintf(stderr, "log2_init_imp: cannot read %s: %s\n", source, os_strerror(errno));
            return nullptr;
        }
        missing = result == read_result::missing;
    } else {
        text = source;
    }
    conf_handle config(missing ? nullptr : conf_load_str(text.c_str(), CONF_TYPE_INI));
    if (!missing && config.get() == nullptr) {
        fprintf(stderr, "log2_init_imp: cannot parse %s\n", from_file ? source : "[str]");
        return nullptr;
    }

    std::lock_guard<std::mutex> lock(init_mutex);
    log2_ctx* ctx = nullptr;
    if (!global_configured) {
        ctx = log2_global();
        global_configured = true;
    } else {
        ctx = log2_ctx_new();
    }
    if (config.get() != nullptr) {
        std::string section = "log";
        if (name != nullptr && name[0] != '\0') section = std::string("log_") + name;
        log_configurator(ctx, config.get(), std::move(section)).apply();
    }
    return ctx;
}

log2_ctx* log2_init_file(const char* path, const char* name) {
    return log2_init_imp("ini_file", path, name);
}

log2_ctx* log2_init_str(const char* text, const char* name) {
    return log2_init_imp("ini_str", text, name);
}
