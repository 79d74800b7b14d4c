// The process frame that every program runs its work inside:
//
//   int main(int argc, char** argv) {
//       app_start(argc, argv);
//       ...
//       app_end();
//   }
//
// app_start sets the platform up once per process (log level from DV_ENV_LOG_LEVEL, handlers
// that print the recent log lines on a fatal signal, SIGPIPE ignored, the identity values of the
// application), names the calling thread "main" for the log and keeps the joined command line.
// app_end undoes it and ends logging. Both are called by the main thread.
#pragma once

#include <cstddef>
#include <cstdint>

// Capacity of the joined command line, NUL included.
#define APP_CMDLINE_SIZE 4096

// The program version as "-v" prints it; structured records carry it packed (app_version_id).
inline constexpr char APP_VERSION_TEXT[] = "1.0.1.0";

// A dotted version packed one byte per part, the first part in the top byte: "1.0.1.0" gives
// 0x01000100. Missing parts count as 0. 0 when `text` is not one to four numbers of 0 to 255
// joined by ".".
uint32_t app_version_id(const char* text);

// Values that identify this run of the application (structured log records carry them).
struct app_info {
    char os_name[16];        // "linux"
    uint8_t os_id;           // 2 for Linux
    char arch_name[65];      // processor family as uname reports it, e.g. "x86_64"
    uint8_t arch_id;         // 1 x86, 2 x86_64, 3 arm, 4 aarch64, 0 other
    char host_name[256];     // "" when unknown
    uint64_t start_ms;       // wall clock at start, milliseconds since the epoch
    uint64_t start_mono_ms;  // monotonic clock at start (os_time_ms)
    uint64_t boot_ms;        // wall clock when the machine started, milliseconds since the epoch
    size_t page_size;        // memory page size in bytes
};

// Sets up the process (see above) and keeps the command line: each argument followed by one
// blank, in double quotes when it contains a blank, cut to APP_CMDLINE_SIZE - 1 bytes.
// Returns 0, or -1 when a part of the set-up failed (logged; the rest is still done).
int app_start(int argc, char** argv);

// Releases what app_start kept, removes the thread's log name, restores the signal handlers and
// ends logging (log2_exit). A later app_start sets everything up again.
void app_end();

// The joined command line of the last app_start ("" before it and after app_end).
const char* app_cmdline();

// Identity values, filled by app_start (zeroed before it).
const app_info* app_info_get();
