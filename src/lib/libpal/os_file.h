// File handles. The path chooses a driver:
//   /dev/stdin, /dev/stdout, /dev/stderr  the process's standard streams (never closed here)
//   /dev/null                             reads give end of file, writes are dropped
//   /dev/zero                             reads give zero bytes
//   /dev/random                           reads give random bytes
//   anything else                         an ordinary local file
// (The plain open forms also accept these names written with backslashes.)
//
// An operation the handle's driver does not have is an assertion failure naming it
// and returns -1 with errno EOPNOTSUPP. Otherwise failures return -1 (or a null
// handle) with errno as the system left it. A handle is used by one thread at a time.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "libpal/os_fs.h"

struct os_file;

// Opens `path` with open(2) flags (O_RDONLY, O_WRONLY | O_CREAT | O_TRUNC, ...).
// os_file_open creates with mode 0644. The plain forms normalise a copy of the
// path first (see os_fs.h); the _raw forms take it byte for byte. Null on failure.
os_file* os_file_open(const char* path, int flags);
os_file* os_file_open_mode(const char* path, int flags, uint32_t mode);
os_file* os_file_open_raw(const char* path, int flags);
os_file* os_file_open_mode_raw(const char* path, int flags, uint32_t mode);

// Releases the handle (null is accepted). Returns -1 when the system reported a
// failure on close (for a written file: data may not have reached the disk).
int os_file_close(os_file* file);

// The path the handle was opened with (after normalisation for the plain forms).
const char* os_file_path(const os_file* file);

// One read of at most `len` bytes: the count read, 0 at end of file, or -1.
ssize_t os_file_read(os_file* file, void* buf, size_t len);
// Writes all `len` bytes unless the system fails part way: the count written, or -1
// when nothing could be written.
ssize_t os_file_write(os_file* file, const void* buf, size_t len);
// As read and write, at `offset`; the handle's position does not move.
ssize_t os_file_pread(os_file* file, void* buf, size_t len, int64_t offset);
ssize_t os_file_pwrite(os_file* file, const void* buf, size_t len, int64_t offset);
ssize_t os_file_readv(os_file* file, const struct iovec* iov, int count);
ssize_t os_file_writev(os_file* file, const struct iovec* iov, int count);

// Flushes written data to the device.
int os_file_sync(os_file* file);
int os_file_ftruncate(os_file* file, int64_t length);
// Moves the position (whence: SEEK_SET, SEEK_CUR, SEEK_END); the new position or -1.
int64_t os_file_seek(os_file* file, int64_t offset, int whence);
// The current position, or -1.
int64_t os_file_offset(os_file* file);
// The size in bytes, or -1.
int64_t os_file_size(os_file* file);
// ioctl(2) on the driver's descriptor.
int os_file_ioctl(os_file* file, unsigned long request, void* arg);

// Time-outs in milliseconds for later reads and writes (0, the default: wait as
// long as it takes). A read or write that cannot start within its time-out fails
// with ETIMEDOUT. Only the descriptor drivers wait at all.
int os_file_read_write_timeout(os_file* file, int read_timeout_ms, int write_timeout_ms);

// Applies `attr` to the open file as os_set_attr does: owner, permission bits,
// access and modification seconds. Returns 0 when the times were set, else -1.
// Only ordinary local files have it.
int os_file_set_attr(os_file* file, const os_attr* attr);
