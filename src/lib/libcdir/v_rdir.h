// Endpoint access layer, listing and batched small-file endpoints: the engine reaches each side
// through handles that hide whether the side is local or remote. A local side drives the lister
// and the batch worker of this process; a remote side (a file server) has a connection per handle
// (v_remote.h). Which one a side is was chosen once, when the job prepared it (cdir_endpoints
// below).
//
// Handles belong to the job. Each is used by one thread at a time (listings by the walk thread,
// batches by the command thread); the stop operations are the exception and may be called from
// any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "libcdir/comm.h"

// ---- listing endpoint ----

struct vrdir {
    virtual ~vrdir() = default;
    // Starts the listing of `path` (read it with read_item_list). 0 or negative.
    virtual int enum_dir(const char* path) = 0;
    // One read of listing blocks: bytes placed (prefix byte included), 0 when nothing came within
    // the lister's own read time-out, negative on failure.
    virtual int read_some(char* buf, int len) = 0;
    // Drops the lister, whatever it stands in the middle of, and starts a fresh one whose first
    // listing is `path`: 0; -1 when `path` could not be listed (a later directory may try
    // again); -2 when no lister can be had any more.
    virtual int reopen(const char*) { return -2; }
    // Makes blocking waits give up. Any thread.
    virtual void stop() {}
    // Adds what the handle's server connections sent and waited for to their kind. Any
    // thread once the handle is idle.
    virtual void add_traffic(cdir_traffic_kinds*) const {}

    libcdir_ctx* job = nullptr;
    bool is_local = true;
    // Walk thread: the lister was given up in the middle of a listing (fresh_needed), so the next
    // directory's listing starts a fresh one; or no fresh one could be had (lost).
    bool fresh_needed = false;
    bool lost = false;
};

// Opens the listing endpoint of one side and starts the listing of its root. A destination
// directory is created first, with its parents. On success the side's root path is recorded in
// `side`. On failure returns null with the reason in param->err (logged and classified).
vrdir* vrdir_open(libcdir_ctx* job, const char* url, int is_destination,
                  const libcdir_rdir_param* param, cdir_side* side);
int vrdir_enum_dir(vrdir* h, const char* path);
// Starts the listing of `path` on a fresh lister when the handle's was given up (see
// vrdir::reopen), else as vrdir_enum_dir. 0, or negative when `path` will have no listing.
int vrdir_enum_dir_fresh(vrdir* h, const char* path);
// Waits for listing data: returns the bytes placed in `buf` (at most `len`, NUL-terminated, so
// `buf` must hold len + 1 bytes), or -1 after a stop request or when nothing came for the job's
// read_timeout_ms (status -40, which stops the job).
int vrdir_read_item_list(vrdir* h, char* buf, int len);
void vrdir_stop(vrdir* h);
void vrdir_close(vrdir* h);

// ---- batched small-file endpoint ----

struct vmfile {
    virtual ~vmfile() = default;
    // Posts a batch command (MFILE_CMD_*) with its base directory and list: 0 or a status code
    // (a remote side has classified it already).
    virtual int post(uint32_t cmd, const char* base, const char* list) = 0;
    // One collection of answers: bytes placed, 0 when nothing came in time, negative on failure.
    virtual int collect(char* buf, int len) = 0;
    // Sets a directory's access, modification (and, where possible, change) times. 0 or a status.
    virtual int set_times(const char* path, const mstat_attr& attr) = 0;
    virtual void stop() {}
    // Adds what the handle's server connections sent and waited for to their kind. Any
    // thread once the handle is idle.
    virtual void add_traffic(cdir_traffic_kinds*) const {}

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

// ---- the side's implementation ----

// Everything that differs between a local side and a file server's side sits behind this
// interface. Each side gets its implementation once, from its URL, when the job prepares it
// (cdir_endpoints_for); the engine's cores use it and never ask which kind a side is. Failures
// are status codes, never errno.
struct cdir_endpoints {
    virtual ~cdir_endpoints() = default;
    virtual bool is_local() const = 0;

    // The three endpoint handles of `side` (the open operations above call these).
    virtual vrdir* open_rdir(libcdir_ctx* job, cdir_side* side, int is_destination,
                             const libcdir_rdir_param* param) = 0;
    virtual vmfile* open_mfile(libcdir_ctx* job, cdir_side* side,
                               const libcdir_mfile_param* param) = 0;
    virtual vbfile* open_bfile(libcdir_ctx* job, cdir_side* side, err_info* err) = 0;

    // Destination directory work of the copy and sync cores (command thread).
    // The subdirectories of `item` (copy modes).
    virtual int create_dirs(libcdir_ctx* job, const cdir_item& item) = 0;
    // `item`'s directory is complete: its final attributes (copy), or noted for the end (sync).
    virtual int dir_done(libcdir_ctx* job, const cdir_item& item) = 0;
    // Removes the entries of `dst` that `src` does not hold (all of them without `have_src`).
    virtual int remove_orphans(libcdir_ctx* job, const cdir_item& record, bool have_src,
                               std::span<const mstat_item> src,
                               std::span<const mstat_item> dst) = 0;
    // Gives `files` (whose data is unchanged) the owner and mode of their source entries.
    virtual int update_attrs(libcdir_ctx* job, const cdir_item& record,
                             std::span<const mstat_item* const> files) = 0;
};

// The implementation for a side whose prepared URL text is `url`: local when it holds no "://".
// Null when memory cannot be had.
cdir_endpoints* cdir_endpoints_for(const char* url);
