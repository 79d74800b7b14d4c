#include "liblog/log2.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "liblog/log2_sink.h"
#include "log_internal.h"

namespace {

constexpr size_t kLineMax = 8192;
constexpr size_t kRecentSize = 1024;
constexpr size_t kErrnoTextMax = 256;
constexpr size_t kDiagMax = 4096;
constexpr const char* kColourReset = "\033[0m";

struct level_info {
    const char* name;
    const char* file_name;
    const char* colour;  // null: written without colour
};

// Indexed by level value.
constexpr level_info kLevels[] = {
    {nullptr, nullptr, nullptr},        {nullptr, nullptr, nullptr},
    {"crit", "CRIT", "\033[01;07;31m"}, {"err", "ERROR", "\033[01;31m"},
    {"warn", "WARN", "\033[01;33m"},    {"noti", "NOTI", "\033[07;37m"},
    {"info", "INFO", nullptr},          {"dbg", "DEBUG", "\033[36m"},
    {"verb", "VERB", "\033[32m"},
};
constexpr int kLevelCount = sizeof(kLevels) / sizeof(kLevels[0]);

const level_info* level_lookup(int level) {
    if (level < LOG_CRIT || level >= kLevelCount) return nullptr;
    return &kLevels[level];
}

// Bounded text assembly: appends are cut at the capacity, never overrun it.
template <size_t Capacity>
class line_buffer final {
  public:
    line_buffer() { data_[0] = '\0'; }
    void append(std::string_view text) {
        size_t room = Capacity - length_;
        size_t n = text.size() < room ? text.size() : room;
        memcpy(data_ + length_, text.data(), n);
        length_ += n;
        data_[length_] = '\0';
    }
    void appendf(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, fmt);
        vappendf(fmt, args);
        va_end(args);
    }
    void vappendf(const char* fmt, va_list args) {
        size_t room = Capacity - length_;
        int n = vsnprintf(data_ + length_, room + 1, fmt, args);
        if (n > 0) length_ += static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
        data_[length_] = '\0';
    }
    // Makes the text end in a line feed, replacing the last byte when the buffer is full.
    void end_line() {
        if (length_ > 0 && data_[length_ - 1] == '\n') return;
        if (length_ == Capacity) --length_;
        data_[length_++] = '\n';
        data_[length_] = '\0';
    }
    const char* data() const { return data_; }
    size_t size() const { return length_; }

  private:
    // Left uninitialised: only the first length_ + 1 bytes are ever read.
    char data_[Capacity + 1];
    size_t length_ = 0;
};

// Restores errno on every way out of a log call.
class errno_keeper final {
  public:
    errno_keeper() : saved_(errno) {}
    ~errno_keeper() { errno = saved_; }
    errno_keeper(const errno_keeper&) = delete;
    errno_keeper& operator=(const errno_keeper&) = delete;
    int saved() const { return saved_; }

  private:
    int saved_;
};

std::atomic<const log2_sink_provider*> sink_provider{nullptr};
std::atomic<log2_ctx*> global_ctx{nullptr};
std::mutex global_ctx_mutex;
std::atomic<bool> diag_on{false};
// Depth of log2_collector_scope on this thread.
thread_local int collector_depth = 0;

}  // namespace

log2_collector_scope::log2_collector_scope() {
    ++collector_depth;
}

log2_collector_scope::~log2_collector_scope() {
    --collector_depth;
}

struct log2_ctx {
    std::atomic<uint32_t> flags{LOG_FLAGS_DEFAULT};
    std::atomic<int32_t> level{LOG_DBG};
    std::atomic<bool> console_on{true};
    std::atomic<bool> file_on{false};
    std::atomic<bool> syslog_on{false};
    std::atomic<int> colour_mode{LOG_COLOUR_AUTO};
    std::atomic<bool> escape_controls{false};

    std::mutex mutex;  // serialises the hooks, the sinks and the recent-lines buffer
    log2_out_hook hook_low = nullptr;
    log2_out_hook hook_high = nullptr;
    char recent[kRecentSize] = {};
    size_t recent_length = 0;
    const log2_sink_provider* provider = nullptr;  // the one `sink_state` was opened with
    void* sink_state = nullptr;
    // The console's status line, under `mutex` like the console itself.
    bool status_open = false;
    std::string status_text;    // what is drawn (or would be, once drawn again)
    size_t status_columns = 0;  // columns the drawn line occupies; 0 when nothing is drawn

    // Called with `mutex` held.
    const log2_sink_provider* sinks() {
        if (provider == nullptr) {
            provider = sink_provider.load(std::memory_order_acquire);
            if (provider != nullptr && provider->open != nullptr) sink_state = provider->open(this);
        }
        return provider;
    }

    void close_sinks() {
        std::lock_guard<std::mutex> lock(mutex);
        if (provider != nullptr && provider->close != nullptr) provider->close(sink_state);
        provider = nullptr;
        sink_state = nullptr;
    }

    // Keeps whole lines, newest last. Old lines are dropped from the front to make room; a line
    // that could never fit is skipped so that it does not wipe the lines before it.
    void remember(const char* line, size_t length) {
        if (length + 1 > kRecentSize) return;
        size_t drop = 0;
        while (recent_length - drop + length + 1 > kRecentSize) {
            const char* lf =
                static_cast<const char*>(memchr(recent + drop, '\n', recent_length - drop));
            if (lf == nullptr) {
                drop = recent_length;
                break;
            }
            drop = static_cast<size_t>(lf - recent) + 1;
        }
        if (drop > 0) {
            memmove(recent, recent + drop, recent_length - drop);
            recent_length -= drop;
        }
        memcpy(recent + recent_length, line, length);
        recent_length += length;
        recent[recent_length] = '\0';
    }
};

log2_ctx* log2_ctx_new() {
    return new log2_ctx();
}

log2_ctx* log2_global() {
    log2_ctx* ctx = global_ctx.load(std::memory_order_acquire);
    if (ctx != nullptr) return ctx;
    std::lock_guard<std::mutex> lock(global_ctx_mutex);
    ctx = global_ctx.load(std::memory_order_acquire);
    if (ctx == nullptr) {
        ctx = new log2_ctx();
        global_ctx.store(ctx, std::memory_order_release);
    }
    return ctx;
}

int log2_set_sink_provider(const log2_sink_provider* provider) {
    if (provider == nullptr) return -1;
    const log2_sink_provider* expected = nullptr;
    if (sink_provider.compare_exchange_strong(expected, provider)) return 0;
    return expected == provider ? 0 : -1;
}

void log2_diag_enable(bool on) {
    diag_on.store(on);
}

bool log2_diag_enabled() {
    return diag_on.load() || getenv("DVDBGLOG") != nullptr;
}

void log2_diag(const char* fmt, ...) {
    if (!log2_diag_enabled()) return;
    char text[kDiagMax];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    fputs(text, stderr);
    fflush(stderr);
}

int log_level_from_name(const char* name) {
    if (name == nullptr) return -1;
    for (int level = LOG_CRIT; level < kLevelCount; ++level) {
        if (strcmp(kLevels[level].name, name) == 0) return level;
    }
    return -1;
}

const char* log_level_name(int level) {
    const level_info* info = level_lookup(level);
    return info != nullptr ? info->name : "unknown";
}

const char* log_level_file_name(int level) {
    const level_info* info = level_lookup(level);
    return info != nullptr ? info->file_name : "UNKN";
}

uint32_t log_flags_2_int(const char* text) {
    uint32_t flags = LOG_FLAG_COLOUR;
    if (text == nullptr) return flags;
    std::string_view rest(text);
    while (!rest.empty()) {
        size_t bar = rest.find('|');
        std::string_view name = rest.substr(0, bar);
        rest = bar == std::string_view::npos ? std::string_view() : rest.substr(bar + 1);
        while (!name.empty() && (name.front() == ' ' || name.front() == '\t'))
            name.remove_prefix(1);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
        if (name.empty()) continue;
        if (name == "no_colour") {
            flags &= ~static_cast<uint32_t>(LOG_FLAG_COLOUR);
        } else if (name == "time") {
            flags |= LOG_FLAG_TIME;
        } else if (name == "time_ms") {
            flags |= LOG_FLAG_TIME_MS;
            flags &= ~static_cast<uint32_t>(LOG_FLAG_TIME);
        } else if (name == "func") {
            flags |= LOG_FLAG_FUNC;
        } else if (name == "tid") {
            flags |= LOG_FLAG_TID;
        } else if (name == "tid_name") {
            flags |= LOG_FLAG_TID_NAME;
        } else if (name == "file") {
            flags |= LOG_FLAG_FILE | LOG_FLAG_FILE_BASE;
        } else {
            fprintf(stderr, "Invalid tags: [%.*s]\n", static_cast<int>(name.size()), name.data());
        }
    }
    return flags;
}

namespace {

log2_ctx* resolve(log2_ctx* ctx) {
    return ctx != nullptr ? ctx : log2_global();
}

bool read_int(const void* arg, int* value) {
    if (arg == nullptr) return false;
    memcpy(value, arg, sizeof(*value));
    return true;
}

int forward_to_sinks(log2_ctx* ctx, int command, void* arg, int size) {
    std::lock_guard<std::mutex> lock(ctx->mutex);
    const log2_sink_provider* provider = ctx->sinks();
    if (provider == nullptr || provider->ioctl == nullptr) return -1;
    return provider->ioctl(ctx->sink_state, command, arg, size);
}

int set_hook(log2_ctx* ctx, log2_out_hook log2_ctx::*slot, const void* arg) {
    if (arg == nullptr) return -1;
    log2_out_hook hook = nullptr;
    memcpy(&hook, arg, sizeof(hook));
    std::lock_guard<std::mutex> lock(ctx->mutex);
    ctx->*slot = hook;
    return 0;
}

}  // namespace

int log2_ioctl(log2_ctx* ctx, int command, void* arg, int size) {
    ctx = resolve(ctx);
    int value = 0;
    switch (command) {
        case 1:
            // Below LOG_CRIT nothing at all would be written, not even the line that ends the
            // process.
            if (!read_int(arg, &value) || value < LOG_CRIT || value > 0xff) return -1;
            ctx->level.store(value);
            return 0;
        case 2: {
            if (arg == nullptr) return -1;
            uint32_t flags = 0;
            memcpy(&flags, arg, sizeof(flags));
            ctx->flags.store(flags);
            return 0;
        }
        case 3: {
            const char* name = static_cast<const char*>(arg);
            int level = log_level_from_name(name);
            if (level < 0) {
                fprintf(stderr, "error: invalid level [%s]\n", name != nullptr ? name : "");
                return -1;
            }
            ctx->level.store(level);
            return 0;
        }
        case 4:
            if (arg == nullptr) return -1;
            ctx->flags.store(log_flags_2_int(static_cast<const char*>(arg)));
            return 0;
        case 5:
            return set_hook(ctx, &log2_ctx::hook_low, arg);
        case 6:
            return set_hook(ctx, &log2_ctx::hook_high, arg);
        case 7: {
            if (arg == nullptr || size < static_cast<int>(sizeof(int32_t))) return -1;
            int32_t level = ctx->level.load();
            memcpy(arg, &level, sizeof(level));
            return 0;
        }
        case 20:
        case 21:
        case 22:
        case 23:
        case 24:
        case 25:
            return forward_to_sinks(ctx, command, arg, size);
        case 40:
            if (!read_int(arg, &value)) return -1;
            ctx->console_on.store(value != 0);
            return 0;
        case 41:
            if (!read_int(arg, &value) || value < LOG_COLOUR_NEVER || value > LOG_COLOUR_AUTO)
                return -1;
            ctx->colour_mode.store(value);
            return 0;
        case 42:
        case 43: {
            if (!read_int(arg, &value)) return -1;
            (command == 42 ? ctx->file_on : ctx->syslog_on).store(value != 0);
            std::lock_guard<std::mutex> lock(ctx->mutex);
            const log2_sink_provider* provider = ctx->sinks();
            if (provider == nullptr || provider->ioctl == nullptr) return 0;
            return provider->ioctl(ctx->sink_state, command, arg, size);
        }
        case 50:
            if (!read_int(arg, &value)) return -1;
            ctx->escape_controls.store(value != 0);
            return 0;
        default:
            fputs("Invalid command code\n", stderr);
            return -1;
    }
}

namespace {

void compose_time(line_buffer<kLineMax>& out, uint32_t flags) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    if (flags & LOG_FLAG_TIME) {
        out.appendf("%02d:%02d:%02d ", local.tm_hour, local.tm_min, local.tm_sec);
    } else {
        out.appendf("%02d:%02d:%02d.%03d ", local.tm_hour, local.tm_min, local.tm_sec,
                    static_cast<int>(now.tv_nsec / 1000000));
    }
}

const char* file_base(const char* file) {
    const char* base = file;
    for (const char* p = file; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') base = p + 1;
    }
    return base;
}

// Blanks out the status line so that the next output starts on a clean row.
void erase_status(log2_ctx* ctx) {
    if (ctx->status_columns == 0) return;
    std::string blank = "\r";
    blank.append(ctx->status_columns, ' ');
    blank += '\r';
    fwrite(blank.data(), 1, blank.size(), stderr);
    ctx->status_columns = 0;
}

// Columns a status text takes: UTF-8 continuation bytes take none.
size_t columns_of(std::string_view text) {
    size_t columns = 0;
    for (unsigned char c : text) {
        if ((c & 0xc0) != 0x80) ++columns;
    }
    return columns;
}

void draw_status(log2_ctx* ctx) {
    if (!ctx->status_open || ctx->status_text.empty()) return;
    size_t columns = columns_of(ctx->status_text);
    std::string out = "\r" + ctx->status_text;
    // Whatever a longer previous line left on the row is blanked, not just overwritten.
    if (ctx->status_columns > columns) out.append(ctx->status_columns - columns, ' ');
    fwrite(out.data(), 1, out.size(), stderr);
    fflush(stderr);
    ctx->status_columns = columns > ctx->status_columns ? columns : ctx->status_columns;
}

bool colour_allowed(int mode) {
    if (mode == LOG_COLOUR_ALWAYS) return true;
    if (mode != LOG_COLOUR_AUTO) return false;
    return log_console_is_terminal();
}

// The reset goes before the line feed: a line cut off or read by a tool that strips escape codes
// line by line must not carry the colour into the next line.
void write_console(log2_ctx* ctx, uint32_t level, uint32_t flags, const char* line, size_t length) {
    erase_status(ctx);
    const level_info* info = level_lookup(static_cast<int>(level & 0xff));
    if ((flags & LOG_FLAG_COLOUR) && info != nullptr && info->colour != nullptr &&
        colour_allowed(ctx->colour_mode.load(std::memory_order_relaxed))) {
        size_t body = length > 0 && line[length - 1] == '\n' ? length - 1 : length;
        fputs(info->colour, stderr);
        fwrite(line, 1, body, stderr);
        fputs(kColourReset, stderr);
        fwrite(line + body, 1, length - body, stderr);
    } else {
        fwrite(line, 1, length, stderr);
    }
    draw_status(ctx);
    fflush(stderr);
}

bool skips_record(const char* tag) {
    return strcmp(tag, "bsv") == 0 || strcmp(tag, "net") == 0;
}

}  // namespace

namespace {

// The message with every control byte but its closing line feed written as \xNN, so that no
// text a message carries can start a line of its own. Returns `out`, or `in` when nothing needed
// escaping.
line_buffer<kLineMax>* escape_controls(line_buffer<kLineMax>& in, line_buffer<kLineMax>* out) {
    const char* p = in.data();
    const size_t n = in.size();
    bool any = false;
    for (size_t i = 0; i < n && !any; ++i) {
        const auto u = static_cast<unsigned char>(p[i]);
        any = (u < 0x20 && !(u == '\n' && i + 1 == n)) || u == 0x7f;
    }
    if (!any) return &in;
    for (size_t i = 0; i < n; ++i) {
        const auto u = static_cast<unsigned char>(p[i]);
        if ((u < 0x20 && !(u == '\n' && i + 1 == n)) || u == 0x7f) {
            out->appendf("\\x%02x", u);
        } else {
            out->append(std::string_view(p + i, 1));
        }
    }
    return out;
}

}  // namespace

int log2_printf(log2_ctx* ctx, uint32_t level, const char* tag, const char* file, int line,
                const char* func, const char* fmt, ...) {
    errno_keeper errno_saved;
    ctx = resolve(ctx);
    const int severity = static_cast<int>(level & 0xff);
    if (severity > ctx->level.load(std::memory_order_relaxed)) return 0;

    if (tag == nullptr || tag[0] == '\0') tag = "tag";
    // What an operator collects: every warning and error, and the lines of a marked stretch.
    if (severity <= LOG_WARN || collector_depth > 0) level |= LOG_NETREC;
    const uint32_t flags = ctx->flags.load(std::memory_order_relaxed);
    const log2_sink_provider* provider = sink_provider.load(std::memory_order_acquire);

    line_buffer<kLineMax> message_text;
    line_buffer<kLineMax> escaped_text;
    line_buffer<kLineMax>* message = &message_text;
    if (fmt != nullptr) {
        va_list args;
        va_start(args, fmt);
        message->vappendf(fmt, args);
        va_end(args);
    }
    if (ctx->escape_controls.load(std::memory_order_relaxed)) {
        message = escape_controls(*message, &escaped_text);
    }
    if (level & LOG_ERRNO) {
        char text[kErrnoTextMax];
        os_errno_str(errno_saved.saved(), text, sizeof(text));
        message->append(text);
        message->append("\n");
    }

    char thread_name[96] = "";
    if ((flags & LOG_FLAG_TID_NAME) || provider != nullptr) {
        os_thread_name_get(thread_name, sizeof(thread_name));
    }

    line_buffer<kLineMax> console_text;
    line_buffer<kLineMax>* console = &console_text;
    if (flags & (LOG_FLAG_TIME | LOG_FLAG_TIME_MS)) compose_time(*console, flags);
    if (flags & LOG_FLAG_TID) console->appendf("[%" PRIu64 "] ", os_thread_id());
    if (flags & LOG_FLAG_TID_NAME) console->appendf("[%s] ", thread_name);
    if ((flags & LOG_FLAG_FILE) && file != nullptr) {
        console->appendf("[%s:%d] ", (flags & LOG_FLAG_FILE_BASE) ? file_base(file) : file, line);
    }
    const bool with_func = (flags & LOG_FLAG_FUNC) && func != nullptr && func[0] != '\0';
    if (with_func) console->appendf("%s(): ", func);
    console->append(std::string_view(message->data(), message->size()));

    const bool text_sinks = !(level & LOG_RECONLY);
    line_buffer<kLineMax> file_text_buffer;
    line_buffer<kLineMax>* file_text = nullptr;
    if (text_sinks) {
        console->end_line();
        if (provider != nullptr) {
            file_text = &file_text_buffer;
            if (with_func) file_text->appendf("%s(): ", func);
            file_text->append(std::string_view(message->data(), message->size()));
            file_text->end_line();
        }
    }

    log2_line composed{};
    composed.level = level;
    composed.tag = tag;
    composed.file = file;
    composed.line = line;
    composed.func = func;
    composed.message = message->data();
    composed.console = console->data();
    composed.console_length = console->size();
    composed.file_text = file_text != nullptr ? file_text->data() : "";
    composed.file_text_length = file_text != nullptr ? file_text->size() : 0;
    composed.thread_name = thread_name;
    composed.flags = flags;

    {
        std::lock_guard<std::mutex> lock(ctx->mutex);
        const log2_sink_provider* sinks = ctx->sinks();
        if (sinks != nullptr && sinks->record != nullptr && !skips_record(tag)) {
            sinks->record(ctx->sink_state, &composed);
        }
        if (text_sinks) {
            if (ctx->hook_low != nullptr && ctx->hook_high != nullptr) {
                (severity < LOG_NOTI ? ctx->hook_low : ctx->hook_high)(level, console->data(),
                                                                       console->size());
            }
            if (ctx->console_on.load(std::memory_order_relaxed)) {
                write_console(ctx, level, flags, console->data(), console->size());
            }
            const bool file_on = ctx->file_on.load(std::memory_order_relaxed);
            const bool syslog_on = ctx->syslog_on.load(std::memory_order_relaxed);
            if (sinks != nullptr && sinks->write != nullptr && (file_on || syslog_on)) {
                sinks->write(ctx->sink_state, &composed, file_on, syslog_on);
            }
            ctx->remember(console->data(), console->size());
        }
    }

    if (severity == LOG_CRIT && !(level & LOG_NOEXIT)) {
        fflush(nullptr);
        exit(1);
    }
    return 0;
}

bool log2_assert_fail(const char* tag, const char* expr, const char* file, int line,
                      const char* func) {
    log2_printf(nullptr, LOG_ERR, tag, file, line, func, "expr[%s]: assert failed\n", expr);
    log2_printf(nullptr, LOG_ERR, tag, file, line, func, "[%s]\n", "release no stack info");
    return false;
}

int log2_exit(log2_ctx* ctx) {
    if (ctx != nullptr && ctx != global_ctx.load(std::memory_order_acquire)) {
        ctx->close_sinks();
        delete ctx;
        return 0;
    }
    log2_ctx* global = nullptr;
    {
        std::lock_guard<std::mutex> lock(global_ctx_mutex);
        global = global_ctx.exchange(nullptr, std::memory_order_acq_rel);
    }
    if (global == nullptr) return 0;
    global->close_sinks();
    delete global;
    const log2_sink_provider* provider = sink_provider.load(std::memory_order_acquire);
    if (provider != nullptr && provider->shutdown != nullptr) provider->shutdown();
    log_thread_registry_release();
    return 0;
}

const char* log2_recent_lines() {
    log2_ctx* ctx = global_ctx.load(std::memory_order_acquire);
    return ctx != nullptr ? ctx->recent : "";
}

bool log_console_is_terminal() {
    if (isatty(STDERR_FILENO) == 0) return false;
    const char* no_colour = getenv("NO_COLOR");
    return no_colour == nullptr || no_colour[0] == '\0';
}

int log2_status_begin(log2_ctx* ctx) {
    errno_keeper errno_saved;
    ctx = resolve(ctx);
    std::lock_guard<std::mutex> lock(ctx->mutex);
    ctx->status_open = true;
    ctx->status_text.clear();
    return 0;
}

int log2_status_show(log2_ctx* ctx, const char* text) {
    errno_keeper errno_saved;
    ctx = resolve(ctx);
    if (text == nullptr) return -1;
    std::string shown(text);
    // A name holding an escape code or a line break must not steer the terminal or break the row.
    for (char& c : shown) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) c = '?';
    }
    std::lock_guard<std::mutex> lock(ctx->mutex);
    if (!ctx->status_open || !ctx->console_on.load(std::memory_order_relaxed)) return -1;
    ctx->status_text = std::move(shown);
    draw_status(ctx);
    return 0;
}

int log2_status_end(log2_ctx* ctx) {
    errno_keeper errno_saved;
    ctx = resolve(ctx);
    std::lock_guard<std::mutex> lock(ctx->mutex);
    erase_status(ctx);
    fflush(stderr);
    ctx->status_open = false;
    ctx->status_text.clear();
    return 0;
}
