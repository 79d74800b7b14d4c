// Status codes: 0 success, negative failure (test with `< 0`, never `!= 0`), one positive success
// that carries information (+203). Every code in the message table has a fixed text.
//
// The failure convention of the libraries: a function returns 0 (or a count, a descriptor or a
// handle) on success and a negative status code on failure (a null handle, with the status in an
// optional out-parameter, where it returns a pointer). A failed system call becomes a status once,
// where it failed, through os_errno_verr; callers branch on the status, never on errno. Where a
// log line must name the system's error number, errno is left as the failed call set it. A failure
// that is both logged and kept for the caller goes through ERR_INFO_FAIL. The os_fs and os_file
// primitives keep their documented -1 with errno; their callers convert it at the call.
//
// Allocation failure, in every library: an ordinary failure (VERR_NO_MEMORY or a null handle),
// never an exception out of a public function. Objects and buffers that a function checks itself
// are made with new (std::nothrow); standard containers and make_unique throw std::bad_alloc,
// which the library catches before its public function returns.
#pragma once

#include <cstddef>
#include <cstdint>

#include "liblog/errno_text.h"

using verr = int32_t;

inline constexpr verr VERR_SUCCESS = 0;
inline constexpr verr VERR_GENERAL_FAILURE = -1;
inline constexpr verr VERR_INVALID_PARAMETER = -2;
inline constexpr verr VERR_NO_MEMORY = -8;
inline constexpr verr VERR_NOT_IMPLEMENTED = -12;
inline constexpr verr VERR_NOT_SUPPORTED = -37;
inline constexpr verr VERR_ACCESS_DENIED = -38;
inline constexpr verr VERR_INTERRUPTED = -39;
inline constexpr verr VERR_TIMEOUT = -40;
inline constexpr verr VERR_BUFFER_OVERFLOW = -41;
inline constexpr verr VERR_TOO_MUCH_DATA = -42;
inline constexpr verr VERR_TRY_AGAIN = -52;
inline constexpr verr VERR_PARSE_ERROR = -53;
inline constexpr verr VERR_OUT_OF_RANGE = -54;
inline constexpr verr VERR_NOT_FOUND = -78;
inline constexpr verr VERR_INVALID_STATE = -79;
inline constexpr verr VERR_AUTHENTICATION_FAILURE = -89;
inline constexpr verr VERR_FILE_IO_ERROR = -100;
inline constexpr verr VERR_FILE_NOT_FOUND = -102;
inline constexpr verr VERR_PATH_NOT_FOUND = -103;
inline constexpr verr VERR_ALREADY_EXISTS = -105;
inline constexpr verr VERR_EOF = -110;
inline constexpr verr VERR_WRITE_PROTECT = -113;
inline constexpr verr VERR_SHARING_VIOLATION = -114;
inline constexpr verr VERR_FILENAME_TOO_LONG = -120;
inline constexpr verr VERR_IS_A_DIRECTORY = -127;
inline constexpr verr VERR_DISK_FULL = -152;
inline constexpr verr VERR_DEV_IO_ERROR = -250;
inline constexpr verr VERR_DEV_NOT_READY = -252;
inline constexpr verr VERR_DEV_NO_SUCH_DEVICE = -258;
inline constexpr verr VERR_BROKEN_PIPE = -301;
inline constexpr verr VERR_NET_IO_ERROR = -400;
inline constexpr verr VERR_NET_IN_PROGRESS = -436;
inline constexpr verr VERR_NET_CONNECTION_RESET = -454;
inline constexpr verr VERR_NET_NOT_CONNECTED = -457;
inline constexpr verr VERR_NET_CONNECTION_REFUSED = -461;
inline constexpr verr VERR_NET_HOST_UNREACHABLE = -465;
inline constexpr verr VERR_NET_PROTOCOL_ERROR = -466;

// One entry of the message table.
struct verr_msg {
    verr code;
    const char* msg;  // null only in the closing entry
};

// The message table in its fixed order, closed by an entry whose text is null.
extern const verr_msg verr_msg_table[];
// Number of entries with a text (the closing entry not counted).
extern const size_t verr_msg_count;

// Message of a status code. For a code not in the table it logs the debug line
// "Invalid errno=%d (0x%x)\n" (tag "pal") and returns "Invalid error code". Never null. Any thread.
const char* verr2str(verr code);

// Status code for an errno value (0 gives 0). An errno without a mapping logs the warning
// "unkown eno=%d\n" (tag "pal") and gives -1.
verr os_verr_get(int eno);

// The calling thread's errno as a status code (os_verr_get), or `fallback` when errno is 0: the
// one way a failed system call becomes a status. Call it right after the call that failed, before
// anything else can change errno; errno is left as it was.
verr os_errno_verr(verr fallback = VERR_GENERAL_FAILURE);

// errno value for a status code (0 gives 0, -1 gives EPERM). A code without a mapping logs the
// warning "unkown verrno = %d\n" (tag "pal") and gives EPERM.
int verr_2_posix(verr code);

// Sets the calling thread's errno to verr_2_posix(code) and returns it.
int os_set_errno_verr(verr code);

inline constexpr size_t ERR_INFO_MSG_SIZE = 4096;

// The last failure of a component: where it happened, its code and an optional explanation.
// Plain data, copied by value; owned by one component and used by one thread at a time.
struct err_info {
    const char* file;      // static string: source file that reported the failure
    const char* function;  // static string
    uint32_t line;
    verr code;
    char msg[ERR_INFO_MSG_SIZE];  // NUL-terminated; empty means the code's message stands for it
};

// Fills `record` (null is ignored). A null `fmt` leaves the message empty; otherwise the message is
// the formatted text, cut at 4095 characters.
void err_info_set(err_info* record, const char* file, uint32_t line, const char* function,
                  verr code, const char* fmt, ...) __attribute__((format(printf, 6, 7)));

// Like err_info_set, but the message is the formatted text, ": " and `detail` (for the error text
// of a lower layer), cut to fit the 4096-byte field. A null `fmt` makes the message just the
// detail; a null detail counts as "".
void err_info_set_detail(err_info* record, const char* file, uint32_t line, const char* function,
                         verr code, const char* detail, const char* fmt, ...)
    __attribute__((format(printf, 7, 8)));

// Logs a failure at the error level under `tag` and records it in `record` (null: logged only),
// both with the formatted text and the caller's source position; the record keeps the first 4095
// characters. For a failure that is both reported in the log and kept for the caller.
void err_info_fail(err_info* record, const char* tag, const char* file, uint32_t line,
                   const char* function, verr code, const char* fmt, ...)
    __attribute__((format(printf, 7, 8)));

// The record's message if it has one, else verr2str of its code ("" for a null record).
const char* err_info_str(const err_info* record);

// Copies `src` into `dst` (no-op when they are the same record or either is null).
void err_info_copy(err_info* dst, const err_info* src);

// Clears a record to success with no message.
void err_info_clear(err_info* record);

// Fills a record with the caller's source position:
//   ERR_INFO_SET(&ctx->last_error, VERR_TIMEOUT, "connect %s ", host);
//   ERR_INFO_SET(&ctx->last_error, VERR_TIMEOUT, nullptr);
#define ERR_INFO_SET(record, code, ...) \
    err_info_set((record), __FILE__, __LINE__, __func__, (code), __VA_ARGS__)
#define ERR_INFO_SET_DETAIL(record, code, detail, ...) \
    err_info_set_detail((record), __FILE__, __LINE__, __func__, (code), (detail), __VA_ARGS__)
// Logs and records a failure with the caller's source position (err_info_fail):
//   ERR_INFO_FAIL(err, "cdir", VERR_INVALID_PARAMETER, "[%s] empty path", url);
#define ERR_INFO_FAIL(record, tag, code, ...) \
    err_info_fail((record), (tag), __FILE__, __LINE__, __func__, (code), __VA_ARGS__)
