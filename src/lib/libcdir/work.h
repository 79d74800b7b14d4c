// Directory walk and work distribution: the walk thread reads the source tree breadth-first,
// pairs each directory with its destination listing and posts numbered commands to the command
// thread, which performs them one at a time in posting order.
#pragma once

#include <cstdint>
#include <string>

#include "libcdir/comm.h"
#include "libpal/cmder.h"

// Commands posted to the command thread.
inline constexpr uint32_t CDIR_CMD_FILES = 2;     // the files of one directory
inline constexpr uint32_t CDIR_CMD_NO_FILES = 3;  // sync: no source files, destination has some
inline constexpr uint32_t CDIR_CMD_MKDIRS = 4;    // copy rule 4: create the subdirectories
inline constexpr uint32_t CDIR_CMD_NO_DIRS = 5;   // sync: no source dirs, destination has some
inline constexpr uint32_t CDIR_CMD_LISTING = 6;   // a directory is being listed (list jobs)
inline constexpr uint32_t CDIR_CMD_DIR_DONE = 7;  // a directory's work has been posted
inline constexpr uint32_t CDIR_CMD_END = 100;     // everything was posted: wake the waiter

// One directory of the walk. Owned by whoever holds it: the work queue, the walk loop, or a posted
// command (released after its handler). A queued directory carries only its paths and
// attributes; its listing is read when it comes up, so that the breadth-first frontier of a large
// tree costs little memory.
struct cdir_item {
    std::string src_path;
    std::string dst_path;  // empty when the job has no destination
    cdir_set_ref src_files;
    cdir_set_ref src_dirs;
    cdir_set_ref dst_files;  // empty when the destination was not listed
    cdir_set_ref dst_dirs;
    mstat_attr attr{};  // the directory's own attributes from its parent's listing (link unused)
    bool dst_exists = false;
    // The destination directory exists with another owner or mode than the source's (sync).
    bool dst_attr_differs = false;
    // The source listing did not carry every entry (it ended with a failure status, or entries
    // could not be stored): nothing may be concluded from an entry's absence.
    bool src_incomplete = false;
    bool is_root = false;
    bool started = false;  // its listings have been asked for
    bool skipped = false;  // its source listing could not be started
    // Its destination listing could not be had on a fresh lister (counted): the source listing
    // is read and the directory left alone.
    bool dst_unlisted = false;
};

// Commands waiting for the command thread at most. The walk lists far faster than files are
// copied; without a bound every listing of the tree would wait in memory for its turn.
inline constexpr uint32_t CDIR_QUEUE_MAX = 32;

// Posts a message to the command thread, waiting while its queue is full. 0, or the post's
// failure (the command thread has stopped, or no memory).
int cdir_post_msg(libcdir_ctx* job, uint32_t id, const void* data, uint32_t length, void* arg);

// Listings are started this many queued directories ahead of the one being processed, so that
// the listers keep working while the walk parses or waits for the other side (real trees have
// many directories of a few entries). What the listers hold for the walk is bounded by bytes on
// their side, so a deeper start costs only the posted paths.
inline constexpr size_t CDIR_LISTING_AHEAD = 64;

// New item without sets. With `path`: source path = path and, when the job has a destination,
// destination path = destination root joined with the part of `path` below the source root.
// Without: the two roots. With a template, its destination-exists flag and attributes are copied.
// Empty on allocation failure.
cdir_item_ptr rdir_stat_alloc(libcdir_ctx* job, const char* path, const cdir_item* tmpl);

// Copy of an item's paths and attributes, without sets.
cdir_item_ptr cdir_item_copy(const cdir_item& item);

// Reads the listing that comes next on the source (is_dst false) or destination listing endpoint
// into new sets of `item` (source or destination sets). false when the walk must end (read
// failure, parse failure, stop).
bool rdir_read_stat_into(libcdir_ctx* job, bool is_dst, const char* path, cdir_item* item);

// The same into a new item (rdir_stat_alloc with `path` and `tmpl`). Empty when the walk must end.
cdir_item_ptr rdir_read_stat(libcdir_ctx* job, bool is_dst, const char* path,
                             const cdir_item* tmpl);

// Queues a subdirectory `src` (destination `dst` when it exists there, else null). Its listings
// are started when it comes within CDIR_LISTING_AHEAD of the front of the queue. 0, or -1 when
// the walk must end.
int rdir_get_idir_list(libcdir_ctx* job, const char* src, const char* dst, const cdir_item* tmpl);

// Starts the source listing of a queued item and, when the job reads destination listings and the
// destination exists, its destination listing. A source listing that cannot be started marks the
// item skipped (counted); a destination listing that cannot be started clears dst_exists, or,
// when it needed a fresh lister, marks the item dst_unlisted (counted). A side whose lister was
// given up starts a fresh one here.
void cdir_start_listings(libcdir_ctx* job, cdir_item* item);

// The walk; 0 or negative.
int cdir_worker(libcdir_ctx* job);
// Body of the walk thread "cdir_work".
void cdir_work_thread(libcdir_ctx* job);

// Posts a command with an item (ownership passes to the command thread). On failure the item is
// released and the job stopped: work that cannot be handed over must not vanish silently.
int cdir_post(libcdir_ctx* job, uint32_t cmd, cdir_item_ptr item);

// Command thread hooks.
int cdir_cmd_proc(uint32_t id, void* data, cmder_call* call);
void cdir_cmd_free(void* user, void* arg);

// A write to the list output file failed: logged once and recorded as the job's failure.
void cdir_list_write_failed(libcdir_ctx* job);

// Adds the files of `item` to file_count and file_total_size. false when a stop interrupted.
bool cdir_count_files(libcdir_ctx* job, const cdir_item& item);
