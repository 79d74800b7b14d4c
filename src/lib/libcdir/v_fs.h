// Block file endpoint and the local file operations of the engine: copying one file, creating an
// empty file or a symbolic link, writing a file from memory, creating a directory and setting a
// directory's times. Everything here runs on the command thread.
//
// Paths handed to these functions are used byte for byte (they are built from listed names).
#pragma once

#include <cstddef>
#include <cstdint>

#include "libcdir/comm.h"
#include "librdir/dst_writer.h"

// ---- block file endpoint ----

// The status of an open file that tells a change: equal records before and after a read mean the
// bytes read are one version of the file.
struct vbfile_state {
    uint64_t size = 0;
    uint32_t mode = 0;
    int64_t atime = 0;
    int64_t mtime = 0;
    uint32_t mtime_ns = 0;
    int64_t ctime = 0;
    uint32_t ctime_ns = 0;
    uint64_t blocks = 0;        // 512-byte units allocated
    bool blocks_known = false;  // the side told the allocation

    // Fewer blocks than the size needs: holes worth keeping.
    bool sparse() const { return blocks_known && blocks * 512 < size; }

    bool same_as(const vbfile_state& o) const {
        return size == o.size && mtime == o.mtime && mtime_ns == o.mtime_ns && ctime == o.ctime &&
               ctime_ns == o.ctime_ns;
    }
};

// Implementations return counts, 0, or the negative status code of a failure (never errno).
struct vbfile {
    virtual ~vbfile() = default;
    // Opens `path` for reading and reads up to `len` bytes at `offset`: bytes read or a status;
    // `read_failed` then says whether the file had opened and only the read failed.
    virtual int64_t open_read(const char* path, int64_t offset, char* buf, size_t len) = 0;
    virtual int64_t read_at(int64_t offset, char* buf, size_t len) = 0;
    // Creates (truncates) `path` and writes `len` bytes at `offset`: bytes written or a status.
    virtual int64_t create_write(const char* path, int64_t offset, const char* buf, size_t len) = 0;
    virtual int64_t write_at(int64_t offset, const char* buf, size_t len) = 0;
    // Closes the current file, applying `attr` when given (remote sides). 0 or a status.
    virtual int close_file(const mstat_attr* attr) = 0;
    // Gives up the current file: one being written is dropped, so that whatever stood under its
    // name stays as it was. Reading sides just close it.
    virtual void abandon() { close_file(nullptr); }
    virtual void stop() {}
    // Adds what the handle's server connections sent and waited for to their kind. Any
    // thread once the handle is idle.
    virtual void add_traffic(cdir_traffic_kinds*) const {}
    // What the file open for reading is now (size, times, ctime where the side gives it), so that
    // a file changing while it is read is told from one that did not. 0 or a status.
    virtual int state(vbfile_state* out) {
        (void)out;
        return VERR_NOT_SUPPORTED;
    }
    // Sets the size of the file being written (a sparse file's holes at its end). 0 or a status.
    virtual int set_size(uint64_t size) {
        (void)size;
        return VERR_NOT_SUPPORTED;
    }
    // The file type bits and device number of the entry `path` (not followed when a link), for
    // recreating a device. 0 or a status.
    virtual int node_of(const char* path, uint32_t* mode, uint64_t* rdev) {
        (void)path;
        (void)mode;
        (void)rdev;
        return VERR_NOT_SUPPORTED;
    }

    libcdir_ctx* job = nullptr;
    bool is_local = true;
    bool read_failed = false;
};

// Opens the block file endpoint of the side whose prepared URL is `url` (v_rdir.h chooses the
// implementation). Null with the reason in `err` on failure.
vbfile* vbfile_init(libcdir_ctx* job, const char* url, err_info* err);
// The local implementation: files of `side` read beneath its root handle.
vbfile* cdir_local_bfile_new(const cdir_side* side);
// A failed read or write classifies the failure and closes the current file; all return -1 on
// failure, except that vbfile_open_read returns -2 when the file opened and its first read failed.
int64_t vbfile_open_read(vbfile* h, const char* path, int64_t offset, char* buf, size_t len);
int64_t vbfile_read_at(vbfile* h, int64_t offset, char* buf, size_t len);
// A local side is never written through this endpoint (it answers "not supported"): the engine
// writes local destinations with the destination writer.
int64_t vbfile_create_write(vbfile* h, const char* path, int64_t offset, const char* buf,
                            size_t len);
int64_t vbfile_write_at(vbfile* h, int64_t offset, const char* buf, size_t len);
int vbfile_close(vbfile* h, const mstat_attr* attr);
// Sets the size of the file being written; a failure is classified, the file dropped, -1.
int vbfile_set_size(vbfile* h, uint64_t size);
// The status of the file open for reading; a failure is classified, the file closed, -1.
int vbfile_state_of(vbfile* h, vbfile_state* out);
// Gives up the current file (a write that must not land); null is fine.
void vbfile_abandon(vbfile* h);
void vbfile_stop(vbfile* h);
void vbfile_exit(vbfile* h);

// ---- local destination operations ----
//
// Everything written at a local destination goes through the destination writer
// (librdir/dst_writer.h): files under a temporary name renamed into place, nothing inside the
// destination followed when it is a link. `dst` is the open destination directory of the entries;
// `dst_dir` and `src_dir` are the directory paths shown in log lines.

// One thread's share of a directory's file copies: what it counts and the buffer it copies
// through. While a lane is set on a thread, the copies it makes count there instead of in the
// job's counters, and the caller adds the lanes up afterwards.
struct cdir_lane {
    cdir_counters st{};
    bool last_write_replaced = false;
    char* buf = nullptr;
};
// Sets (or, with null, clears) the calling thread's lane.
void cdir_set_lane(cdir_lane* lane);

// Copies one listed source entry, the name `entry.name` in the source directory open as
// `src_dir_fd`, to the same name in `dst`: a symbolic link is made again with its raw text,
// a fifo, socket or device is made again as such when this process runs as root and is otherwise
// skipped as a failed file; anything else becomes a regular file with the source's content, its
// holes kept as holes. Owner, mode and times (with nanoseconds) follow the source, and with
// xattrs set its extended attributes and ACLs too. A destination entry that is the source file
// itself is left alone; a source that changes while it is copied counts as a failed file and the
// old destination is kept. Returns -1 when the source could not be opened or the destination could
// not be started, else 0 (later failures are counted and logged).
int cdir_l_copy(libcdir_ctx* job, const mstat_item& entry, int src_dir_fd, const rdir_dst_dir& dst,
                const char* src_dir, const char* dst_dir);

// With hard_links set, a source file with more than one link is copied at its first name and
// its other names are made links of that copy (within the destination); a copy that is gone or
// cannot be linked by then makes the name a copy of its own. Only files with links still to come
// are remembered: this is their number.
size_t cdir_l_hard_links_pending(const libcdir_ctx* job);

// Writes a whole file from memory (`len` 0: an empty file; a link entry: the link). 0 or -1.
int cdir_write_file(libcdir_ctx* job, const mstat_item& entry, const rdir_dst_dir& dst,
                    const char* dst_dir, const char* data, size_t len);

// Creates the subdirectory `entry.name` of `parent` (owner-only until cdir_l_touch_dir gives its
// final mode) with the entry's owner. A link standing there is replaced; an existing directory is
// kept as it is. 0 or a status code.
int cdir_l_create_dir(libcdir_ctx* job, const rdir_dst_dir& parent, const char* parent_path,
                      const mstat_item& entry);

// Applies a directory's owner, final mode and (`with_times`) times to its destination. Items
// without attributes are left alone, and so is the destination root unless this job created it.
// 0 or a status code.
int cdir_l_touch_dir(libcdir_ctx* job, const cdir_item& item, bool with_times);

// ---- transfers with a remote side ----
//
// A file that changes while it is read counts as a failed source file, and a file that did not
// arrive whole never lands under its name: the destination keeps what it had.

// Reads the small local file `entry.name` of the directory open as `src_dir_fd` whole (it must
// hold at most `max_size` bytes) into the transfer buffer and encodes it as base64 into the
// encode buffer; *attr receives the attributes the copy carries. The byte count, or -1 after the
// failure was counted (a file that is not a regular file included).
int64_t cdir_read_local_mfile_base64(libcdir_ctx* job, int src_dir_fd, const mstat_item& entry,
                                     const char* src_dir, uint64_t max_size, mstat_attr* attr);

// Local to remote, block by block: the server writes the file under a temporary name and places
// it at the close, which carries the attributes. 0, or -1 when nothing was opened.
int cdir_lr_up_file(libcdir_ctx* job, const mstat_item& entry, int src_dir_fd, const char* src_dir,
                    const char* dst_dir);

// Remote to local, block by block, into a temporary that is renamed into place once the file
// arrived whole. 0, or -1 when nothing was opened.
int cdir_rl_copy_file(libcdir_ctx* job, const mstat_item& entry, const char* src_dir,
                      const rdir_dst_dir& dst, const char* dst_dir);

// The next run of data in buf[*from, len) of a sparse file: zero runs of whole 4 KiB pieces are
// left out (they stay holes). false when only zeros are left; else *from and *run are the run.
bool cdir_next_data_run(const char* buf, size_t len, size_t* from, size_t* run);

// Sends the block read at `offset` to the file being written at a server (`first`: opens it as
// `dst`): whole, or (sparse) only its data runs. false after a failure (classified, file dropped).
bool cdir_send_block(vbfile* out, const char* dst, const char* buf, size_t len, uint64_t offset,
                     bool first, bool sparse);

// A served source file for a block transfer: opened through the source's block endpoint and its
// status taken before anything is read. false after the failure was logged and counted.
bool cdir_open_served_source(libcdir_ctx* job, const char* src, vbfile_state* before);
// After `read` bytes of a served source: whether it is still what it was when opened (no byte
// past its size, the same size and times). A file that changed is logged and counted as a failed
// source file, as is a failure to tell. The caller closes the source either way.
bool cdir_served_source_unchanged(libcdir_ctx* job, const char* src, const vbfile_state& before,
                                  uint64_t read, char* buf);

// Whether a listed entry is a fifo, socket or device (a POSIX side's listing says so by its mode).
bool cdir_listed_node(const mstat_item& entry);
// "fifo", "socket", "character device" or "block device" after the type bits of `mode`.
const char* cdir_node_kind(uint32_t mode);
// Recreates the fifo, socket or device listed by a served source at a local destination, as the
// local route does: only as root (else a counted failure, never an empty file), made under a
// temporary name and renamed into place with the listed attributes.
void cdir_rl_make_node(libcdir_ctx* job, const mstat_item& entry, const char* src_dir,
                       const rdir_dst_dir& dst, const char* dst_dir);
// A node that is not copied to a server (which is given regular files and links only): logged
// and counted as a failed source file.
void cdir_node_not_to_server(libcdir_ctx* job, const mstat_item& entry, const char* src_dir);
// Whether the server destination offers to make a node of the type in `mode` for this client.
bool cdir_server_makes_node(const libcdir_ctx* job, uint32_t mode);
// The attribute record of a node going to a server in a batch line: the type and attributes of
// the local source entry now (`src_dir_fd`) or of the served source's listing (-1), and its
// device number as decimal text in `rdev` (the line's link field, which attr.link points to).
// false after the failure was logged and counted.
bool cdir_node_line_attr(libcdir_ctx* job, int src_dir_fd, const mstat_item& entry,
                         const char* src_dir, std::string* rdev, mstat_attr* attr);

// Applies the final modes of the directories a sync created (cdir_new_dir), deepest first.
void cdir_l_finish_new_dirs(libcdir_ctx* job);
