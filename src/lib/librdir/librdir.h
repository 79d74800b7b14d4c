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
// link text cannot be carried in a stat line (-104, the entry is skipped), or a line could not be
// queued (-8, the line is lost). A consumer must then treat the directory as only partly listed
// and must not conclude that an entry is gone from it.
//
// One thread calls librdir_enum_dir / librdir_read_item_list / librdir_close on a handle.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libpal/verr.h"

struct librdir_param {
    int flag = 0;             // logged only; carried to the file server's open request
    int read_timeout_ms = 0;  // how long one read waits for data; 0 means 3000
    err_info* err = nullptr;  // receives the reason when the open fails; may be null
};

struct librdir_handle;

// Probes `dir`, starts the command thread and posts the first listing of `dir`. Returns nullptr
// when the directory cannot be opened (param->err holds the operating-system error) or when
// memory or the thread cannot be had (-8). `param` may be null (defaults). The path is used byte
// for byte (no normalisation).
librdir_handle* librdir_open(const char* dir, const librdir_param* param);

// Posts one more listing of `dir`. Listings run in posting order; start the next one after both
// end markers of the previous one have been read. Returns 0, or the negative result of posting.
int librdir_enum_dir(librdir_handle* h, const char* dir);

// Waits up to the read time-out for listing data and copies whole lines (and possibly the end
// marker) of one stream into `buf`, the prefix byte first. Serves the files stream before the
// directories stream. Returns the bytes placed (prefix included), or 0 when nothing arrived in
// time. A line longer than `len` - 1 stays queued for a later, larger read. After both end markers
// of a listing have been read, the next call waits for the next listing.
int librdir_read_item_list(librdir_handle* h, char* buf, int len);

// Waits until every posted listing has run, stops the thread and frees the handle. Null is fine.
void librdir_close(librdir_handle* h);
