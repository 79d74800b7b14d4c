// The batched small-file worker ("mfile"): runs whole lists of small-file operations on its own
// command thread ("mfile_cmder") next to the files they touch, and answers with one result block
// per entry on a block queue. The copy engine uses it for a local side; the file server runs the
// same worker for remote clients, so every list line is treated as untrusted: entry names are
// joined to the base byte for byte, and a name that could leave the base (empty, ".", "..", a ".."
// component, or an absolute name) is refused with -104 instead of being touched. The base itself
// is used as given; a server confines it (and what it reaches) to its served root.
//
// Commands (list lines split at "\n", names relative to the base):
//   1 read files     "name\tlength"               -> one data block per entry (head + payload)
//   2 create dirs    directory-creation lines      -> "%d\t" per entry (0 or status)
//   3 write files    file-write lines              -> "%d\t%d\n" per entry (stage, count or status)
//   4 remove files   one name per line             -> "%d\t" per entry
//   5 empty the base (no list)                     -> "F\t", "%d\t" per removed entry, "$";
//                                                     or "D\t%d\t$" when the base cannot be opened
// Every command ends its results with a one-byte block "\n". The caller waits for one result per
// line it sent, so every non-empty line of commands 1 to 4 is answered, in order, whatever it
// holds, and the command always goes on with the next line; empty lines (a trailing newline) are
// skipped without an answer (command 1 logs "invalid name_list" for them).
//
// Per-entry refusals:
//   any command: a refused name -> -104 (command 1: open-failed block; command 3: "1\t-104\n").
//   command 1: a line without a tab, a length that is not a number or is negative -> read-failed
//              block, -2; a length above max_mfile_size - 4 -> read-failed block, -41 (the
//              buffer is never overrun).
//   command 2: a line that does not parse -> "-2\t".
//   command 3: a line that does not parse -> "1\t-2\n"; data that is not base64, or whose
//              decoded size exceeds max_mfile_size -> "2\t-41\n", and nothing at the name is
//              created, truncated or replaced. A symbolic link standing where a file is written
//              is replaced by the file, never written through. A failed close of a written file
//              is a failed write (stage 2). A link entry's owner and times are applied to the
//              link itself. A line without data whose mode has a fifo, socket or device type is
//              that node (a device's number as decimal text in the link field), made under a
//              temporary and renamed; one the worker's policy does not allow -> "1\t-38\n".
//
// One caller thread posts and collects on a handle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "libpal/verr.h"
#include "librdir/mstat.h"
#include "librdir/stat_line.h"

// ---- directory-creation and file-write lines ----

// A parsed directory-creation or file-write line. Texts point into the parsed line.
struct mfile_entry {
    const char* name;
    const char* data;  // base64 content (write lines; "" when empty); nullptr for dir lines
    mstat_attr attr;   // attr.link set by write lines only (nullptr when empty)
};

// Format a directory-creation line (no newline) / a file-write line into `out` (NUL-terminated).
// Return 0, or -1 when the name, link or data text holds a tab, line feed or carriage return (the
// line would be corrupt), when the name is empty, or when the line does not fit in `out_len` (out
// is then "").
int libmfile_dir_printf(const char* name, const mstat_attr* attr, char* out, size_t out_len);
int libmfile_write_printf(const char* name, const mstat_attr* attr, const char* data, char* out,
                          size_t out_len);
// The same line up to its data field (the tab before the data included), for a writer that
// appends data known to keep to one line, such as base64. Its length, or -1.
long libmfile_write_head(const char* name, const mstat_attr* attr, char* out, size_t out_len);

// Parse a line in place (tabs become NULs). Directory lines need exactly 9 fields, write lines at
// least 11; numbers must be clean. Return 0, or -1 (logged); `entry` then holds nothing usable.
int libmfile_dir_scanf(char* line, mfile_entry* entry);
int libmfile_write_scanf(char* line, mfile_entry* entry);

// ---- the worker ----

struct os_root;
struct rdir_attr_policy;

struct libmfile_param {
    uint32_t max_mfile_size = 0;  // working buffer: largest file content in or out (at least 8)
    // When set, every base is resolved beneath this handle by its rules (a server's served root);
    // when null, bases are host paths. Borrowed: it must outlive the worker. Below a base nothing
    // is followed if it is a link, whatever the handle.
    const os_root* root = nullptr;
    // When set (a server), every attribute record of a directory, file or link is passed through
    // it before it is applied; copied by libmfile_open. When null, records are applied as sent.
    const rdir_attr_policy* policy = nullptr;
    int list_timeout_ms = 0;  // how long libmfile_get_list_ret waits for results
    err_info* err = nullptr;  // receives the reason when the open fails; may be null
};

struct libmfile_handle;

// Allocates the working buffer and starts the command thread. Returns nullptr (reason in
// param->err) when max_mfile_size is below 8 or above 0x40000003, or memory or the thread cannot
// be had.
libmfile_handle* libmfile_open(const libmfile_param* param);

// Posts command `cmd` (1..5) with its base directory and list. An empty or null base keeps the base
// of the previous command; a worker that never got a base refuses every entry with -104. A null
// list is sent as empty. Returns 0 or the negative result of posting.
int libmfile_cmd_add_list(libmfile_handle* h, uint32_t cmd, const char* base, const char* list);
int libmfile_read_list(libmfile_handle* h, const char* base, const char* list);
int libmfile_create_dir(libmfile_handle* h, const char* base, const char* list);
int libmfile_write_list(libmfile_handle* h, const char* base, const char* list);
int libmfile_remove_list(libmfile_handle* h, const char* base, const char* list);
int libmfile_clear_dir(libmfile_handle* h, const char* base);
// Posts command `cmd` with its message already made: the base and its zero, then the list and its
// zero (`size` bytes in all). As libmfile_cmd_add_list, without copying base and list first.
int libmfile_cmd_post(libmfile_handle* h, uint32_t cmd, const char* message, uint32_t size);

// Collects result blocks of the posted commands into `buf`: whole blocks, concatenated, up to the
// end block of the running command. When the end block came with other data it is not counted and
// a NUL stands in its place. Waits up to list_timeout_ms for data; returns the bytes placed, or 0
// on time-out. `len` must hold the largest block: max_mfile_size bytes for command 1.
int libmfile_get_list_ret(libmfile_handle* h, char* buf, int len);

// libmfile_get_list_ret, and then, for up to `gather_ms` after the first data, more of the
// running command's results: until its end block came or the next block would not fit `len`.
// For a caller that pays for each collection (a network round trip): fewer, fuller ones.
int libmfile_get_list_ret_gather(libmfile_handle* h, char* buf, int len, int gather_ms);

// Results queue up to a bound; beyond it the worker waits for the reader. After libmfile_stop
// (any thread) a worker that waits for room drops its results instead, so that it ends.
void libmfile_stop(libmfile_handle* h);
// Waits up to `timeout_ms` for a result block without taking it: 1 with its length in *length,
// or 0 when none came. The collector's thread.
int libmfile_next_length(libmfile_handle* h, int timeout_ms, uint32_t* length);
// Result blocks queued now and not yet collected (any thread; for tests and diagnostics).
uint32_t libmfile_queued_blocks(const libmfile_handle* h);
// Bytes of the commands posted (as their messages: base, list and both zeros) and not yet run to
// their end (any thread). Posting never waits for the worker, so a caller that posts for a
// remote peer bounds this: a peer that never collects would otherwise queue without end.
uint64_t libmfile_pending_bytes(const libmfile_handle* h);

// Waits until every posted command has run (results nobody will read are dropped), stops the
// thread and frees the handle. Null is fine.
void libmfile_close(libmfile_handle* h);

// ---- data blocks of command 1 ----

enum : int { MFILE_FAIL_NONE = 0, MFILE_FAIL_OPEN = 1, MFILE_FAIL_READ = 2 };

struct mfile_data_result {
    bool open_failed;
    bool read_failed;
    verr status;      // the failure's status code, 0 without a failure bit
    uint32_t length;  // payload length
    uint8_t* data;    // malloc'ed copy of the payload (release with free()); nullptr when empty
                      // or for a failure block
};

// Parses the data block at `block` (`avail` bytes available): head, then payload or status. Sets
// *consumed to the block's size (head included) and fills *result. Clears the failure bits in the
// block's first byte. Returns 0, or -1 without reading past `avail` when the block is incomplete
// (fewer than 8 bytes for a failure block, fewer than length + 4 otherwise), when a failure head
// does not have length 4, or when the copy cannot be allocated.
int libmfile_read_get_data_len_err(uint8_t* block, size_t avail, size_t* consumed,
                                   mfile_data_result* result);

// Writes a 4-byte head for `length` and failure `kind` (MFILE_FAIL_*). Returns 0, or -1 (head not
// written) when `length` exceeds RDIR_MAX_MLEN or the kind is unknown.
int libmfile_read_set_data_len_err(uint8_t* head, uint32_t length, int kind);

// Reads one result line of command 3 ("%d\t%d\n") at `text` (`length` bytes): *consumed gets its
// size, newline included; *stage and *number its two numbers. Returns 0, or -1 when no complete
// line with both numbers is there.
int libmfile_write_get_info(const char* text, size_t length, size_t* consumed, int* stage,
                            int* number);
