// Endpoint access layer, listing and batched small-file endpoints: the engine reaches each side
// through handles that hide whether the side is local or remote. A local side drives the lister
// and the batch worker of this process; a remote side (a file server) has no implementation yet
// and fails to open with -37.
//
// Handles belong to the job. Each is used by one thread at a time (listings by the walk thread,
// batches by the command thread); the stop operations are the exception and may be called from
// any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libcdir/comm.h"

// ---- listing endpoint ----

struct vrdir {
    virtual ~vrdir() = default;
    // Starts the listing of `path` (read it with read_item_list). 0 or negative.
    virtual int enum_dir(const char* path) = 0;
    // One read of listing blocks: bytes placed (prefix byte included), 0 when nothing came within
    // the lister's own read time-out, negative on failure.
    virtual int read_some(char* buf, int len) = 0;
    // Makes blocking waits give up. Any thread.
    virtual void stop() {}

    libcdir_ctx* job = nullptr;
    bool is_local = true;
};

// Opens the listing endpoint of one side and starts the listing of its root. A destination
// directory is created first, with its parents. On success the side's root path is recorded in
// `side`. On failure returns null with the reason in param->err (logged and classified).
vrdir* vrdir_open(libcdir_ctx* job, const char* url, int is_destination,
                  const libcdir_rdir_param* param, cdir_side* side);
int vrdir_enum_dir(vrdir* h, const char* path);
// Waits for listing data: returns the bytes placed in `buf` (at most `len`, NUL-terminated, so
// `buf` must hold len + 1 bytes), or -1 after a stop request or when nothing came for the job's
// read_timeout_ms (status -40, which stops the job).
int vrdir_read_item_list(vrdir* h, char* buf, int len);
void vrdir_stop(vrdir* h);
void vrdir_close(vrdir* h);

// ---- batched small-file endpoint ----

struct vmfile {
    virtual ~vmfile() = default;
    // Posts a batch command (MFILE_CMD_*) with its base directory and list.
    virtual int post(uint32_t cmd, const char* base, const char* list) = 0;
    // One collection of answers: bytes placed, 0 when nothing came in time, negative on failure.
    virtual int collect(char* buf, int len) = 0;
    // Sets a directory's access, modification (and, where possible, change) times.
    virtual int set_times(const char* path, const mstat_attr& attr) = 0;
    virtual void stop() {}

    libcdir_ctx* job = nullptr;
    bool is_local = true;
};

vmfile* vmfile_open(libcdir_ctx* job, const char* url, const libcdir_mfile_param* param);
int vmfile_cmd(vmfile* h, uint32_t cmd, const char* base, const char* list);
// Waits for answers like vrdir_read_item_list, reading at most `len` - 1 bytes; the data is
// NUL-terminated.
int vmfile_list_ret(vmfile* h, char* buf, int len);
int vmfile_set_times(vmfile* h, const char* path, const mstat_attr& attr);
void vmfile_stop(vmfile* h);
void vmfile_close(vmfile* h);

// Whether a prepared URL text names a local side.
bool cdir_url_is_local(const char* url);
