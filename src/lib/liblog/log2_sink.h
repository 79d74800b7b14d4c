// Extension point of the log front end for the sinks that need more than the C library (the log
// file, syslog, structured records). They live in a unit above the platform layer and plug in here,
// so that liblog itself stays at the bottom of the target graph.
//
// One provider is installed per process. It keeps per-context sink state, created lazily the first
// time a context needs it (`open`) and released by log2_exit (`close`). Every callback except
// `shutdown` runs with the context's mutex held, in this order for each line: output hooks,
// console, `record` (structured record; skipped for the tags "bsv" and "net"), `write` (file and
// syslog sinks, skipped for LOG_RECONLY lines), then the recent-lines buffer. Callbacks must not
// log on the same context (they would deadlock); use log2_diag for their own diagnostics.
#pragma once

#include <cstddef>
#include <cstdint>

#include "liblog/log2.h"

// One composed line as the sinks see it.
struct log2_line {
    uint32_t level;    // full level word, option bits included
    const char* tag;   // never null ("tag" when the caller gave none)
    const char* file;  // may be null
    int line;
    const char* func;     // may be null
    const char* message;  // formatted message with the errno text (LOG_ERRNO), no prefixes
    const char* console;  // the console line without colour codes, ends in a line feed
    size_t console_length;
    const char* file_text;  // "func(): " (LOG_FLAG_FUNC), message, errno text; ends in '\n'
    size_t file_text_length;
    const char* thread_name;  // as os_thread_name_get() formats it
    uint32_t flags;           // the context's prefix options when the line was composed
};

struct log2_sink_provider {
    // Creates the sink state of a context (may return null for "no state").
    void* (*open)(log2_ctx* ctx);
    // Closes the sinks of a context and releases its state.
    void (*close)(void* state);
    // Commands 20 to 24; 42 and 43 after the front end has recorded the flag. Returns 0 or -1.
    int (*ioctl)(void* state, int command, void* arg, int size);
    // Structured record of a line (also for LOG_RECONLY lines).
    void (*record)(void* state, const log2_line* line);
    // Text sinks: file (when file_on) and syslog (when syslog_on).
    void (*write)(void* state, const log2_line* line, bool file_on, bool syslog_on);
    // Releases state shared by all contexts; called by log2_exit(nullptr), without locks held.
    void (*shutdown)();
};

// Installs the provider (the pointer must stay valid for the life of the process). Installing the
// same provider again is a no-op; a different one is refused with -1. Returns 0.
int log2_set_sink_provider(const log2_sink_provider* provider);

// The global context, created with defaults on first use.
log2_ctx* log2_global();

// A new, separate context with the defaults; released by log2_exit(ctx).
log2_ctx* log2_ctx_new();

// The module's own diagnostics: printed on standard error (at most 4096 bytes) only when the
// environment variable DVDBGLOG is set or log2_diag_enable(true) was called.
void log2_diag(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void log2_diag_enable(bool on);
bool log2_diag_enabled();
