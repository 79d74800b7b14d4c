// The directory lister: reads one directory at a time on its own command thread ("rdir_cmder") and
// hands the entries over as listing lines (librdir/mstat.h) on two block streams, files and
// directories, so that a consumer can start on the files while the listing still runs. The same
// lister serves a local side of the copy engine and, inside the file server, remote clients.
//
// What a read returns: a buffer whose first byte is 'F' (files stream: everything that is not a
// real directory, links to directories included) or 'D' (directories), followed by whole lines of
// that stream, each ending in "\n". A stream of one listing ends with the end marker "\r%d"
// (carriage return, the listing status in decimal, no newline). Status 0 means the listing is
// complete. A non-zero status means it is not: the directory could not be opened or read (the
// status of that error), an entry could not be read (the status of that error), an entry's name or
// link text cannot be carried in a stat line (-104, the entry is skipped), memory ran out for a
// block of lines (-8, the lines are lost), or the listing was stopped (-39, see librdir_stop),
// which may also cut lines gathered before the stop. A consumer must then treat the directory as
// only partly listed and must not conclude that an entry is gone from it.
//
// Entries that are never listed, without affecting the status: "." and "..", the destination
// writer's temporary files (librdir/temp_name.h), and the entry whose identity the parameters name
// to leave out.
//
// Lines are handed over soon after they are read, not only in full blocks: a reader waiting for
// data gets what is there, and no line waits much longer than 100 ms, so a slow file system still
// gives a steady flow. Each stream holds at most 32 KiB of blocks that the reader has not taken
// (one full block, or many small ones of directories listed ahead): when a block would go beyond
// that, the lister waits for the reader (never dropping a line), so a slow reader costs that
// memory only.
//
// One thread calls librdir_enum_dir / librdir_read_item_list / librdir_close on a handle;
// librdir_stop may be called from any other thread while the handle is open.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/verr.h"

struct os_root;

// A bit of the lister's open flag at the file server (offered as "stale_temps=[1]" in its
// information): list_stale_temps for that listing, asked for by a client listing a source.
inline constexpr uint32_t RDIR_FLAG_STALE_TEMPS = 0x100000;

struct librdir_param {
    int flag = 0;             // logged only; carried to the file server's open request
    int read_timeout_ms = 0;  // how long one read waits for data; 0 means 3000
    err_info* err = nullptr;  // receives the reason when the open fails; may be null
    // When set, every directory path given to librdir_open / librdir_enum_dir is resolved beneath
    // this handle, by its rules, and a listed link's kind is found beneath it too (a link is never
    // followed out of it). When null, paths are host paths. Borrowed: it must outlive the lister.
    const os_root* root = nullptr;
    // When skip_dir is set, an entry whose device and inode numbers (of the entry itself, a link
    // not followed) are skip_dev / skip_ino is left out of every listing, with one warning per
    // listing: a walk of one end of a job never enters the other end mounted or linked below it.
    bool skip_dir = false;
    uint64_t skip_dev = 0;
    uint64_t skip_ino = 0;
    // When false, a listed link's kind is not looked up and every link reads as one to something
    // other than a directory (type 0x102), its text as stored. For a reader that never uses the
    // kind, such as the destination side of a local job, this saves the lookups of the target.
    bool link_kinds = true;
    // When true, an entry named like a writer's temporary whose writer no longer runs is listed
    // like any other (a source: a user's own file of that name is theirs to copy or be told
    // about). A temporary of a writer that still runs is never listed.
    bool list_stale_temps = false;
};

struct librdir_handle;

// Probes `dir`, starts the command thread and posts the first listing of `dir`. Returns nullptr
// when the directory cannot be opened (param->err holds the operating-system error) or when
// memory or the thread cannot be had (-8). `param` may be null (defaults); it is copied. The path
// is used byte for byte (no normalisation); log lines show it as given.
librdir_handle* librdir_open(const char* dir, const librdir_param* param);

// Posts one more listing of `dir`. Listings run in posting order; start the next one after both
// end markers of the previous one have been read. Returns 0, or the negative result of posting.
// After librdir_stop the listing still comes, at once, with status -39 and no entries.
int librdir_enum_dir(librdir_handle* h, const char* dir);

// Waits up to the read time-out for listing data and copies whole lines (and possibly the end
// marker) of one stream into `buf`, the prefix byte first. Serves the files stream first: the
// directories stream is served while no files data is ready. Returns the bytes placed (prefix
// included), or 0 when nothing arrived in time. A line longer than `len` - 1 stays queued for a
// later, larger read. After both end markers of a listing have been read, the next call waits for
// the next listing. After librdir_stop it no longer waits: it returns what is already queued, else
// 0 within about 100 ms.
int librdir_read_item_list(librdir_handle* h, char* buf, int len);

// Ends the listing that runs (within about 100 ms, or one entry's status call when that is
// slower) and every listing posted later, each with status -39 in its end markers, and makes
// waits of the lister and of the reader give up. Final: the handle lists nothing afterwards.
// Any thread, while the handle is open (not from a signal handler); calling it again is harmless.
void librdir_stop(librdir_handle* h);

// Blocks handed over on the stream 'F' or 'D' and not yet taken by the reader, and their bytes
// (at most 32 KiB, the end markers of a stopped listing aside). Any thread, while the handle is
// open; for diagnostics.
uint32_t librdir_queued_blocks(const librdir_handle* h, char stream);
size_t librdir_queued_bytes(const librdir_handle* h, char stream);
// Bytes of the directory texts posted and not yet started (any thread, while the handle is open).
// Posting never waits, so a caller that posts for a remote peer bounds this.
size_t librdir_posted_bytes(const librdir_handle* h);

// Stops what is still listing or posted (as librdir_stop: nobody reads it any more), ends the
// thread and frees the handle. Returns promptly. Null is fine.
void librdir_close(librdir_handle* h);
