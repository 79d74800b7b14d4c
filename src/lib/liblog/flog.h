// flog: a plain append-only log file with an optional size cap, for logs that are not the program's
// main log (for example the login log of the serving side). Each handle has its own mutex, so any
// thread may write to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Option bits of flog_open.
#define FLOG_OPT_TIME 1  // start each write with the local time "%04d-%02d-%02d %02d:%02d:%02d "

struct flog;

// Opens (creating if needed) `path` for appending. On failure logs the debug line
// "fopen %s error: %s\n" and returns null.
flog* flog_open(const char* path, uint32_t options);

// Caps the file at `max_size` bytes (0, the default, means no cap). When a write finds the file
// at or above the cap, only its newest half is kept (cut at a line boundary).
void flog_set_max_size(flog* handle, uint64_t max_size);

// Appends `length` bytes of `text` (with the time prefix when FLOG_OPT_TIME) and flushes. A stream
// error closes the file, reopens it and writes once more. Returns 0, or -1 when the text could not
// be written; the result is also kept for flog_last_result.
int flog_write(flog* handle, const char* text, size_t length);

// Formats at most 4096 bytes and writes them with flog_write.
int flog_printf(flog* handle, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Result of the handle's last write (0 before the first one).
int flog_last_result(const flog* handle);

// Closes the file and releases the handle (null is ignored).
void flog_close(flog* handle);

// Keeps only the newest half of a log file once it has reached `max_size` bytes: the last
// max_size/2 bytes are kept from just after their first line feed (all but their first byte when
// they hold none), so the file starts on a line boundary. `file` stays open and is left positioned
// at the end; `path` is used to read the tail when `file` was opened write-only (may be null
// otherwise). Returns 1 when the file was cut, 0 when it was below the cap (or max_size is 0), -1
// on an i/o error. Shared by every size-capped log file.
int log_file_keep_newest_half(FILE* file, const char* path, uint64_t max_size);
