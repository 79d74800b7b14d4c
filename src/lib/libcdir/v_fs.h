// Block file endpoint and the local file operations of the engine: copying one file, creating an
// empty file or a symbolic link, writing a file from memory, creating a directory and setting a
// directory's times. Everything here runs on the command thread.
//
// Paths handed to these functions are used byte for byte (they are built from listed names).
#pragma once

#include <cstddef>
#include <cstdint>

#include "libcdir/comm.h"

// ---- block file endpoint ----

struct vbfile {
    virtual ~vbfile() = default;
    // Opens `path` for reading and reads up to `len` bytes at `offset`: bytes read or -1.
    virtual int64_t open_read(const char* path, int64_t offset, char* buf, size_t len) = 0;
    virtual int64_t read_at(int64_t offset, char* buf, size_t len) = 0;
    // Creates (truncates) `path` and writes `len` bytes at `offset`: bytes written or -1.
    virtual int64_t create_write(const char* path, int64_t offset, const char* buf, size_t len) = 0;
    virtual int64_t write_at(int64_t offset, const char* buf, size_t len) = 0;
    // Closes the current file, applying `attr` when given (remote sides).
    virtual int close_file(const mstat_attr* attr) = 0;
    virtual void stop() {}

    libcdir_ctx* job = nullptr;
    bool is_local = true;
};

vbfile* vbfile_init(libcdir_ctx* job, const char* url, err_info* err);
// A failed read or write classifies the failure and closes the current file; all return -1 on
// failure.
int64_t vbfile_open_read(vbfile* h, const char* path, int64_t offset, char* buf, size_t len);
int64_t vbfile_read_at(vbfile* h, int64_t offset, char* buf, size_t len);
// Local sides are never written through this endpoint: -1.
int64_t vbfile_create_write(vbfile* h, const char* path, int64_t offset, const char* buf,
                            size_t len);
int64_t vbfile_write_at(vbfile* h, int64_t offset, const char* buf, size_t len);
int vbfile_close(vbfile* h, const mstat_attr* attr);
void vbfile_stop(vbfile* h);
void vbfile_exit(vbfile* h);

// ---- local file operations ----

// Copies the non-empty regular file `src` to `dst` with the entry's attributes (owner, mode,
// access and modification times). Returns -1 when either side could not be opened, else 0 (a
// failure after that is counted and logged, and the partly written destination is removed).
int cdir_copy_file(libcdir_ctx* job, const mstat_item& entry, const char* src, const char* dst);

// Local destination: creates an empty file, or a symbolic link with the entry's raw link text,
// replacing a file (or an empty directory, for a link to a directory) that stands there.
// 0 or -1.
int cdir_create_file(libcdir_ctx* job, const mstat_item& entry, const char* dst);

// Local destination: writes a whole file from memory (`len` 0: as cdir_create_file). 0 or -1.
int cdir_write_file(libcdir_ctx* job, const mstat_item& entry, const char* dst, const char* data,
                    size_t len);

// Size 0 -> cdir_create_file, else cdir_copy_file.
int cdir_l_copy(libcdir_ctx* job, const mstat_item& entry, const char* src, const char* dst);

// Creates the directory `path` (and missing parents) and applies the entry's owner, mode and
// times. The directory stays writable for its owner until cdir_l_touch_dir sets its final mode,
// so that the files copied into it can be written. 0 or a status code.
int cdir_l_create_dir(libcdir_ctx* job, const char* path, const mstat_item& entry);

// Applies a directory's times (and its final mode, when cdir_l_create_dir had to relax it) to the
// destination directory of `item`. The destination root and items without attributes are left
// alone. 0 or a status code.
int cdir_l_touch_dir(libcdir_ctx* job, const char* src_dir, const cdir_item& item);
