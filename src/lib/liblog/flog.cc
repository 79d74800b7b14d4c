#include "liblog/flog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "liblog/log2.h"

namespace {

constexpr size_t kPrintfMax = 4096;

// Reads exactly `length` bytes at `offset`, retrying short reads.
bool read_at(int fd, char* out, size_t length, off_t offset) {
    while (length > 0) {
        ssize_t n = pread(fd, out, length, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        out += n;
        length -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

bool read_tail(FILE* file, const char* path, char* out, size_t length, off_t offset) {
    if (read_at(fileno(file), out, length, offset)) return true;
    if (path == nullptr) return false;
    // A stream opened "w" cannot be read through: read the same file by name.
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = read_at(fd, out, length, offset);
    close(fd);
    return ok;
}

}  // namespace

int log_file_keep_newest_half(FILE* file, const char* path, uint64_t max_size) {
    if (file == nullptr) return -1;
    if (fflush(file) != 0 || fseeko(file, 0, SEEK_END) != 0) return -1;
    off_t size = ftello(file);
    if (size < 0) return -1;
    if (max_size == 0 || static_cast<uint64_t>(size) < max_size) return 0;

    size_t half = static_cast<size_t>(max_size / 2);
    std::vector<char> tail(half);
    if (half > 0 && !read_tail(file, path, tail.data(), half, size - static_cast<off_t>(half))) {
        return -1;
    }
    size_t skip = 0;
    if (half > 0) {
        const char* lf = static_cast<const char*>(memchr(tail.data(), '\n', half));
        skip = lf != nullptr ? static_cast<size_t>(lf - tail.data()) + 1 : 1;
    }
    // Cut in place rather than reopening, so the stream (and its mode) survives the cut.
    if (ftruncate(fileno(file), 0) != 0 || fseeko(file, 0, SEEK_SET) != 0) return -1;
    size_t keep = half - skip;
    if (keep > 0 && fwrite(tail.data() + skip, 1, keep, file) != keep) return -1;
    if (fflush(file) != 0 || fseeko(file, 0, SEEK_END) != 0) return -1;
    return 1;
}

struct flog {
    mutable std::mutex mutex;
    FILE* file = nullptr;
    std::string path;
    uint64_t max_size = 0;
    uint32_t options = 0;
    int last_result = 0;

    bool reopen() {
        if (file != nullptr) fclose(file);
        file = fopen(path.c_str(), "a+");
        return file != nullptr;
    }

    // The file was deleted or moved away: write to a fresh one under the same name.
    bool still_there() const {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
    }

    bool put(const char* prefix, size_t prefix_length, const char* text, size_t length) {
        if (prefix_length > 0 && fwrite(prefix, 1, prefix_length, file) != prefix_length) {
            return false;
        }
        if (length > 0 && fwrite(text, 1, length, file) != length) return false;
        return fflush(file) == 0 && !ferror(file);
    }
};

flog* flog_open(const char* path, uint32_t options) {
    if (path == nullptr || path[0] == '\0') return nullptr;
    FILE* file = fopen(path, "a+");
    if (file == nullptr) {
        DV_LOG("pal", LOG_DBG, "fopen %s error: %s\n", path, os_last_errno_str());
        return nullptr;
    }
    flog* handle = new flog();
    handle->file = file;
    handle->path = path;
    handle->options = options;
    return handle;
}

void flog_set_max_size(flog* handle, uint64_t max_size) {
    if (handle == nullptr) return;
    std::lock_guard<std::mutex> lock(handle->mutex);
    handle->max_size = max_size;
}

int flog_write(flog* handle, const char* text, size_t length) {
    if (handle == nullptr || (text == nullptr && length > 0)) return -1;
    std::lock_guard<std::mutex> lock(handle->mutex);

    char prefix[64];
    size_t prefix_length = 0;
    if (handle->options & FLOG_OPT_TIME) {
        time_t now = time(nullptr);
        tm local{};
        localtime_r(&now, &local);
        int n =
            snprintf(prefix, sizeof(prefix), "%04d-%02d-%02d %02d:%02d:%02d ", local.tm_year + 1900,
                     local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
        prefix_length = n > 0 ? static_cast<size_t>(n) : 0;
    }

    bool ok = (handle->file != nullptr && handle->still_there()) || handle->reopen();
    if (ok && !handle->put(prefix, prefix_length, text, length)) {
        // One more try on a fresh stream.
        ok = handle->reopen() && handle->put(prefix, prefix_length, text, length);
    }
    if (!ok && handle->file != nullptr) {
        fclose(handle->file);
        handle->file = nullptr;  // the next write tries to reopen
    }
    if (ok && handle->max_size > 0 &&
        log_file_keep_newest_half(handle->file, handle->path.c_str(), handle->max_size) < 0) {
        ok = false;
    }
    handle->last_result = ok ? 0 : -1;
    return handle->last_result;
}

int flog_printf(flog* handle, const char* fmt, ...) {
    if (handle == nullptr || fmt == nullptr) return -1;
    char text[kPrintfMax];
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    if (n < 0) return -1;
    size_t length =
        static_cast<size_t>(n) < sizeof(text) ? static_cast<size_t>(n) : sizeof(text) - 1;
    return flog_write(handle, text, length);
}

int flog_last_result(const flog* handle) {
    if (handle == nullptr) return -1;
    std::lock_guard<std::mutex> lock(handle->mutex);
    return handle->last_result;
}

void flog_close(flog* handle) {
    if (handle == nullptr) return;
    if (handle->file != nullptr) fclose(handle->file);
    delete handle;
}
