// The log front end: one call for every log line of the program.
//
// A line is written when its level is at most the context's threshold (default LOG_DBG). It goes
// to the console (standard error, coloured by level when it is a terminal), to the file and syslog
// sinks when a sink provider is installed and they are enabled (see liblog/log2_sink.h), and to a
// 1024-byte buffer of the most recent lines. Any thread may log at any time; the sinks of one
// context are serialised, so lines of different threads never interleave.
#pragma once

#include <cstddef>
#include <cstdint>

#include "liblog/errno_text.h"

// Levels (bits 0 to 7 of a level word); smaller is more severe. Plain macros so that they agree
// with <syslog.h> where both are included.
#define LOG_CRIT 2
#define LOG_ERR 3
#define LOG_WARN 4
#define LOG_NOTI 5
#define LOG_INFO 6
#define LOG_DBG 7
#define LOG_VERB 8

// Option bits of a level word.
#define LOG_ERRNO 0x100   // append the text of errno as it was on entry, then a line feed
#define LOG_NOEXIT 0x200  // a LOG_CRIT line does not end the process
#define LOG_NETREC \
    0x400                  // the structured record also goes to the network record sink
                           // (every LOG_WARN line and above, and the lines of a marked thread,
                           // get it without asking: see log2_printf)
#define LOG_RECONLY 0x800  // structured record only: the text sinks get nothing

// Prefix options of a context (`flags`).
#define LOG_FLAG_TID 1         // "[%u] " kernel thread id
#define LOG_FLAG_TIME 2        // "%02d:%02d:%02d " local time
#define LOG_FLAG_FUNC 4        // "%s(): " function name
#define LOG_FLAG_FILE 8        // "[%s:%d] " source file and line
#define LOG_FLAG_FILE_BASE 16  // with LOG_FLAG_FILE: only the file's last path element
#define LOG_FLAG_COLOUR 32     // colour codes on the console
#define LOG_FLAG_TIME_MS 64    // "%02d:%02d:%02d.%03d " (LOG_FLAG_TIME wins when both are set)
#define LOG_FLAG_TID_NAME 128  // "[%s] " thread name
#define LOG_FLAGS_DEFAULT 39   // colour, time, thread id, function

// A log context. The global one (ctx == nullptr everywhere) is created on first use.
struct log2_ctx;

// Writes one line: filters by level (one comparison before any formatting), composes the prefixes
// named by the context's flags and the formatted message (cut at 8192 bytes), and hands it to the
// sinks. An empty or absent tag reads "tag". errno is the same on return as on entry. A LOG_CRIT
// line without LOG_NOEXIT ends the process with status 1 after it has been written. Lines of level
// LOG_WARN and more severe, and every line of a thread inside a log2_collector_scope, are marked
// LOG_NETREC: a collector receives every warning and error without each call asking. Returns 0.
int log2_printf(log2_ctx* ctx, uint32_t level, const char* tag, const char* file, int line,
                const char* func, const char* fmt, ...) __attribute__((format(printf, 7, 8)));

// Logs on the global context with the caller's source position:
//   #define CDIR_LOG(level, ...) DV_LOG("cdir", level, __VA_ARGS__)
#define DV_LOG(tag, level, ...) \
    log2_printf(nullptr, (level), (tag), __FILE__, __LINE__, __func__, __VA_ARGS__)

// Marks every line the calling thread logs while it lives for the collector (LOG_NETREC): for a
// stretch of work whose lines an operator collects (a run's report) but whose calls sit elsewhere.
// Scopes nest.
class log2_collector_scope final {
  public:
    log2_collector_scope();
    ~log2_collector_scope();
    log2_collector_scope(const log2_collector_scope&) = delete;
    log2_collector_scope& operator=(const log2_collector_scope&) = delete;
};

// Reports a failed assertion (two error lines) and yields false; execution goes on:
//   if (!DV_ASSERT("pal", p != nullptr)) return -1;
#define DV_ASSERT(tag, expr) \
    (static_cast<bool>(expr) || log2_assert_fail((tag), #expr, __FILE__, __LINE__, __func__))

// Used by DV_ASSERT: logs "expr[%s]: assert failed\n" and "[%s]\n" ("release no stack info") at
// LOG_ERR on the global context. Returns false.
bool log2_assert_fail(const char* tag, const char* expr, const char* file, int line,
                      const char* func);

// Output hook (commands 5 and 6): receives the console line, without colour codes.
using log2_out_hook = void (*)(uint32_t level, const char* text, size_t length);

// Settings by command number. `size` is -1 where it has no use. Returns 0, or -1 on a bad
// argument or an unknown command ("Invalid command code\n" on standard error).
//   1   set the level:                arg = const int* (0..255)
//   2   set the prefix flags:          arg = const uint32_t*
//   3   set the level from a name:     arg = const char* ("crit", "err", "warn", "noti", "info",
//       "dbg", "verb"); any other name prints "error: invalid level [%s]\n" on standard error,
//       leaves the level unchanged and returns -1
//   4   set the prefix flags from names joined by "|" (see log_flags_2_int): arg = const char*
//   5   hook for levels below LOG_NOTI:    arg = const log2_out_hook* (null hook clears)
//   6   hook for LOG_NOTI and above:       arg = const log2_out_hook*
//       (the hooks are used only when both are set)
//   7   read the level:                arg = int*, size >= 4
//   20  open the log file:             arg = const char* (name)           } handled by the sink
//   21  set the log file directory:    arg = const char*                  } provider; -1 when
//   22  set the maximum file size:     arg = const int64_t* (bytes)       } none is installed
//   23  open the record UDP sink:      arg = const char* (URL)            }
//   24  configure the syslog sink:     arg = const char* (URL)            }
//   25  reopen the log file (append):  arg unused (a rotated file is let go) }
//   40  console on/off:                arg = const int*
//   41  console colours:               arg = const int*: LOG_COLOUR_NEVER, LOG_COLOUR_ALWAYS or
//       LOG_COLOUR_AUTO (the default); the colour option of `flags` must be set as well
//   42  file sink on/off:              arg = const int*  (also passed to the sink provider)
//   43  syslog sink on/off:            arg = const int*  (also passed to the sink provider)
//   50  escape control bytes:          arg = const int*: nonzero writes every control byte of a
//       message but its closing line feed as \xNN (a server whose messages carry clients' texts)
int log2_ioctl(log2_ctx* ctx, int command, void* arg, int size);

// Console colour settings (command 41). Auto colours a line only when standard error is a terminal
// at the time of writing and the environment variable NO_COLOR is unset or empty, so that a log
// redirected to a file or a pipe holds no escape codes.
#define LOG_COLOUR_NEVER 0
#define LOG_COLOUR_ALWAYS 1
#define LOG_COLOUR_AUTO 2

// Whether standard error is a terminal and NO_COLOR is unset or empty: the auto colour rule, for
// front ends that draw on the terminal themselves.
bool log_console_is_terminal();

// A transient status line on the console (a progress display) below the log lines. Between
// log2_status_begin and log2_status_end, log2_status_show replaces the line in place ('\r', no
// line feed); a log line written meanwhile erases it, goes above it, and the line is drawn again.
// The caller keeps the text within the terminal's width; control bytes are shown as '?'. Nothing
// here writes an escape code, so a status line shown on a redirected stream leaves only text.
// Any thread. Each returns 0, or -1 (show: outside begin/end or with the console off).
int log2_status_begin(log2_ctx* ctx);
int log2_status_show(log2_ctx* ctx, const char* text);
// Erases the line; later shows are refused until the next begin. Harmless when not begun.
int log2_status_end(log2_ctx* ctx);

// Parses prefix option names joined by "|" ("no_colour", "time", "time_ms", "func", "tid",
// "tid_name", "file"), starting from LOG_FLAG_COLOUR. Unknown names print "Invalid tags: [%s]\n"
// on standard error and are skipped. A null or empty text gives LOG_FLAG_COLOUR.
uint32_t log_flags_2_int(const char* text);

// Level from its name, or -1 for a name not in the table.
int log_level_from_name(const char* name);

// Lower-case name of a level ("crit" ... "verb"), or "unknown".
const char* log_level_name(int level);

// Upper-case name of a level as log files show it ("CRIT", "ERROR", ... "VERB"), or "UNKN".
const char* log_level_file_name(int level);

// Closes the sinks and releases the context. For the global context (nullptr) it also releases the
// sink provider's shared state and the thread-name registry; a later log call starts a fresh
// default global context. Call it when no other thread logs on that context any more.
int log2_exit(log2_ctx* ctx);

// The global context's buffer of the most recent whole lines (at most 1024 bytes with its NUL),
// newest last; "" when there is none. Meant for a fatal-signal handler: reads without locking.
const char* log2_recent_lines();

// Thread names. A thread registers under "<name>_<4 hex digits>" (the digits come from the
// registration time, so equal names stay distinct); lines show "<registered name>_<tid>" or, for
// an unregistered thread, "<tid>". Each thread manages only its own entry.
int os_thread_name_set(const char* name);
// Formats the calling thread's name into `buf` (cut to `size`); returns `buf`.
char* os_thread_name_get(char* buf, size_t size);
int os_thread_name_del();
// Kernel thread id of the calling thread.
uint64_t os_thread_id();
