#include "liblogsink/log_sinks.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "liblog/log2.h"
#include "liblog/log2_sink.h"
#include "libpal/os_fs.h"
#include "libpal/url.h"
#include "sink_impl.h"

namespace logsink {

namespace {

// The sink state of one log context. Every member but `file_mode` is used only with the
// context's mutex held (the front end's callbacks).
struct context_sinks final {
    explicit context_sinks(log2_ctx* owner) : ctx(owner) {}
    context_sinks(const context_sinks&) = delete;
    context_sinks& operator=(const context_sinks&) = delete;

    log2_ctx* const ctx;
    std::atomic<char> file_mode{'w'};
    file_sink file;
    syslog_sink syslog;
};

// Contexts with sink state, for the settings that are no log2_ioctl command (the file mode).
std::mutex registry_mutex;
std::unordered_map<log2_ctx*, context_sinks*> registry;

// Resolved once at installation: inside the callbacks a failure could not be logged.
std::string exe_dir;

std::mutex install_mutex;

void* sinks_open(log2_ctx* ctx) {
    auto* state = new context_sinks(ctx);
    std::lock_guard<std::mutex> lock(registry_mutex);
    registry[ctx] = state;
    return state;
}

void sinks_close(void* opaque) {
    auto* state = static_cast<context_sinks*>(opaque);
    if (state == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(registry_mutex);
        auto it = registry.find(state->ctx);
        if (it != registry.end() && it->second == state) registry.erase(it);
    }
    delete state;
}

int sinks_ioctl(void* opaque, int command, void* arg, int) {
    auto* state = static_cast<context_sinks*>(opaque);
    if (state == nullptr) return -1;
    const char* text = static_cast<const char*>(arg);
    switch (command) {
        case 20:
            return state->file.open(text, state->file_mode.load());
        case 21:
            return state->file.set_dir(text, exe_dir);
        case 22: {
            if (arg == nullptr) return -1;
            int64_t bytes = 0;
            memcpy(&bytes, arg, sizeof(bytes));
            return state->file.set_max_size(bytes);
        }
        case 23:
            // The structured record UDP sink belongs to the binary record layer, which this
            // program does not have yet.
            log2_diag("bsvlog %s err: structured records are not supported\n",
                      text != nullptr ? log_mask_url_password(text).c_str() : "");
            return -1;
        case 24:
            return state->syslog.configure(text);
        case 42:
            return 0;
        case 43: {
            int on = 0;
            if (arg != nullptr) memcpy(&on, arg, sizeof(on));
            if (on == 0) state->syslog.disconnect();
            return 0;
        }
        default:
            return -1;
    }
}

// Structured binary records of each line plug in here (".pcap" log files and the "bsvlog" UDP
// sink); until that layer exists there is nothing to produce.
void sinks_record(void*, const log2_line*) {}

void sinks_write(void* opaque, const log2_line* line, bool file_on, bool syslog_on) {
    auto* state = static_cast<context_sinks*>(opaque);
    if (state == nullptr || line == nullptr) return;
    if (file_on) state->file.write(*line);
    if (syslog_on) state->syslog.write(*line);
}

void sinks_shutdown() {
    forget_configured_global();
}

const log2_sink_provider kProvider = {sinks_open,   sinks_close, sinks_ioctl,
                                      sinks_record, sinks_write, sinks_shutdown};

}  // namespace

int set_file_mode(log2_ctx* ctx, char mode) {
    if (ctx == nullptr) ctx = log2_global();
    // Any forwarded command creates the context's sink state; a size without a value changes
    // nothing.
    log2_ioctl(ctx, 22, nullptr, -1);
    std::lock_guard<std::mutex> lock(registry_mutex);
    auto it = registry.find(ctx);
    if (it == registry.end()) return -1;
    it->second->file_mode.store(mode);
    return 0;
}

}  // namespace logsink

int log_sinks_install() {
    std::lock_guard<std::mutex> lock(logsink::install_mutex);
    static bool installed = false;
    if (installed) return 0;
    char dir[PL_MAX_PATH];
    if (os_exe_get_dir(dir, sizeof(dir)) == 0) logsink::exe_dir = dir;
    if (log2_set_sink_provider(&logsink::kProvider) != 0) return -1;
    installed = true;
    return 0;
}

std::string log_mask_url_password(std::string_view text) {
    return url_mask_password(text);
}
