#include "liblogsink/log_sinks.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "liblog/log2.h"
#include "liblog/log2_sink.h"
#include "liblogsink/bsv.h"
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
    bool file_on = false;  // as the front end's command 42 last set it
    file_sink file;
    syslog_sink syslog;
    bsv_udp_sink records;
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
            return log_bsv_udp_open(&state->records, text);
        case 24:
            return state->syslog.configure(text);
        case 25:
            // After a rotation the old file was moved away under us: from here on the lines go
            // to a file under the configured name again. Nothing open is no failure.
            if (!state->file.is_open()) return 0;
            return state->file.reopen_append() ? 0 : -1;
        case 42: {
            int on = 0;
            if (arg != nullptr) memcpy(&on, arg, sizeof(on));
            state->file_on = on != 0;
            return 0;
        }
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

// The structured record of a line goes to a capture file (every line) and to the collector (only
// lines marked for it), each cut to what its destination holds.
void sinks_record(void* opaque, const log2_line* line) {
    auto* state = static_cast<context_sinks*>(opaque);
    if (state == nullptr || line == nullptr) return;
    const bool to_file = state->file_on && state->file.holds_records();
    const bool to_collector =
        state->records.configured() && (line->level & (LOG_NETREC | LOG_RECONLY)) != 0;
    if (!to_file && !to_collector) return;

    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char line_number[16];
    snprintf(line_number, sizeof(line_number), "%d", line->line);
    bsv_log_fields fields;
    fields.sec = static_cast<uint64_t>(now.tv_sec);
    fields.usec = static_cast<uint32_t>(now.tv_nsec / 1000);
    fields.pid = static_cast<uint32_t>(getpid());
    fields.tid = static_cast<uint32_t>(os_thread_id());
    fields.level = static_cast<uint8_t>(line->level & 0xff);
    fields.tag = line->tag;
    fields.thread_name = line->thread_name != nullptr ? line->thread_name : "";
    fields.file = bsv_source_file(line->file != nullptr ? line->file : "");
    fields.line = line_number;
    fields.func = line->func != nullptr ? line->func : "";
    fields.message = line->message != nullptr ? line->message : "";

    if (to_file) state->file.write_record(bsv_log_record(fields), fields.sec, fields.usec);
    if (to_collector) {
        // A record that fills its own limit would not fit a datagram with the packet around it:
        // its strings are cut to what the packet leaves instead of the line being lost.
        const std::string& host = state->records.hostname();
        const std::vector<uint8_t> record =
            bsv_log_record(fields, bsv_net_string_budget(host.size()));
        const std::vector<uint8_t> packet = bsv_net_packet(
            record, BSV_TYPE_LOG, host, bsv_local_origin(), state->records.scrambled());
        if (!packet.empty()) state->records.send(packet);
    }
}

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
