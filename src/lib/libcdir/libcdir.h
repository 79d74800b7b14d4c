// The copy engine: one job copies, synchronises or lists one source directory tree into (or next
// to) one destination.
//
// A job runs on two threads of its own: the walk thread "cdir_work" reads the source tree
// breadth-first and posts numbered commands to the command thread "cdir_cmder", which performs the
// per-file work one command at a time. The caller's thread opens the job, waits for its end (which
// writes the run report) and closes it:
//
//   libcdir_param param;
//   libcdir_param_init(&param);
//   param.i_url = "/data"; param.o_url = "/backup"; param.job_type = LIBCDIR_JOB_SYNC;
//   libcdir_ctx* job = libcdir_open(&param);
//   int status = job ? libcdir_wait_stop(job) : libcdir_open_failure_status(&param.err);
//   libcdir_close(job);
#pragma once

#include <cstdint>

#include "libpal/verr.h"

// Job types.
inline constexpr uint32_t LIBCDIR_JOB_COPY = 0;
inline constexpr uint32_t LIBCDIR_JOB_SYNC = 1;
inline constexpr uint32_t LIBCDIR_JOB_LIST = 2;
inline constexpr uint32_t LIBCDIR_JOB_REMOVE = 3;

// Comparison rules (cmp_mode). 0 takes the job type's default: 4 for a copy, 5 for a sync.
//   1 never overwrite: a file already present at the destination is left alone
//   2, 5 transfer when size or modification time (beyond 2 seconds) differ
//   3 transfer unless the destination is newer (beyond 2 seconds)
//   4, 6..9 transfer every file
inline constexpr uint32_t LIBCDIR_CMP_DEFAULT = 0;
inline constexpr uint32_t LIBCDIR_CMP_NO_OVERWRITE = 1;
inline constexpr uint32_t LIBCDIR_CMP_DIFF_SIZE_DATE = 2;
inline constexpr uint32_t LIBCDIR_CMP_NEWER = 3;
inline constexpr uint32_t LIBCDIR_CMP_OVERWRITE = 4;
inline constexpr uint32_t LIBCDIR_CMP_SYNC_DIFF_SIZE_DATE = 5;

// dbg bits.
inline constexpr uint32_t LIBCDIR_DBG_SYNC_REASON = 1;  // log why each entry is transferred

// Block size (bs): the size of each transfer buffer. A job refuses a value outside these bounds;
// the batched small-file size is lowered to bs / 2 when it does not fit twice into bs.
inline constexpr uint32_t LIBCDIR_BS_DEFAULT = 0x200000;       // 2 MiB
inline constexpr uint32_t LIBCDIR_BS_MIN = 64 * 1024;          // 64 KiB
inline constexpr uint32_t LIBCDIR_BS_MAX = 256 * 1024 * 1024;  // 256 MiB

// Whether `bs` lies within [LIBCDIR_BS_MIN, LIBCDIR_BS_MAX]; takes the full 64-bit value so that
// a parsed size is checked before it is cut to 32 bits.
bool libcdir_bs_valid(uint64_t bs);

struct sock_cancel;

// Directory-listing parameters of one side.
struct libcdir_rdir_param {
    uint32_t flag;             // carried to a remote lister; no effect on a local one
    uint32_t read_timeout_ms;  // one read of the lister waits at most this long
    const void* thread_place;  // optional placement record for thread creation; filled by open
    err_info* err;             // filled by libcdir_open: the job parameters' err
};

// Batched small-file parameters.
struct libcdir_mfile_param {
    uint32_t max_mfile_size;   // buffer of the batch worker and of listing reads
    uint32_t read_timeout_ms;  // how long a collection of batch answers waits
    err_info* err;             // filled by libcdir_open
};

// Job parameters. The caller owns every text; they must outlive libcdir_close. The engine reads
// the record and writes only `err` (and the sub-records' err pointers, and max_mfile_size when
// it has to lower it).
struct libcdir_param {
    const char* i_url;  // source: local path or "file://" path (required)
    const char* o_url;  // destination, same forms; may be null for list jobs
    uint32_t dbg;
    uint32_t job_type;
    uint32_t cmp_mode;
    uint32_t read_timeout_ms;  // overall wait for listing data or batch answers
    uint32_t bs;
    const char* olist;  // list jobs: file that receives the listing (may be null)
    libcdir_rdir_param irdir_param;
    libcdir_mfile_param imfile_param;
    libcdir_rdir_param ordir_param;
    err_info err;  // reason of a failed open
    const void* thread_place;

    // Options beyond the classic keys; libcdir_param_init leaves them off (max_delete: no limit).
    const char* changes;  // receives one line per entry created, updated, deleted or failed ("-":
                          // standard output); null for none
    uint32_t dry_run;     // 1: walk and compare as the mode would, fill the report and the
                          // changes, write and delete nothing
    int64_t max_delete;   // a sync that would delete more files than this deletes none (-1: any)
    uint32_t hard_links;  // 1: files hard-linked together in the source are linked together at a
                          // local destination
    uint32_t xattrs;      // 1: extended attributes and ACLs are copied on local routes
    // Optional, owned by the caller, outliving libcdir_close: a stop asked through it ends every
    // connect, login and wait of the job's server connections, those that libcdir_open makes
    // included (the open then fails with VERR_NET_USER_STOP). Any thread may set it.
    sock_cancel* cancel;
    // The most one directory's listing may hold, on either side: entries, and bytes of listing
    // lines. A directory beyond either fails (nothing in it is copied or deleted); the walk goes
    // on with fresh listers. 0 takes the defaults below.
    uint64_t max_dir_entries;
    uint64_t max_dir_bytes;
};

inline constexpr uint64_t LIBCDIR_MAX_DIR_ENTRIES_DEFAULT = 1000000;
inline constexpr uint64_t LIBCDIR_MAX_DIR_BYTES_DEFAULT = uint64_t{128} << 20;

// What a running job has done so far, for a progress display.
struct libcdir_progress {
    uint64_t files_done;  // entries written (or that a dry run would write)
    uint64_t bytes_done;  // bytes written
    uint64_t files_seen;  // files compared so far
    uint64_t dirs_seen;   // directories listed so far
    char dir[4096];       // the directory being walked (NUL-terminated, cut to fit)
};

// Clears `param` and sets the defaults: read_timeout_ms 15000, bs 2 MiB, listing time-outs 5000 ms,
// max_mfile_size 512 KiB.
void libcdir_param_init(libcdir_param* param);

struct libcdir_ctx;

// Opens a job and starts its threads. Returns null on failure; the reason is then in param->err
// (a status code and a message). The caller's thread only.
libcdir_ctx* libcdir_open(libcdir_param* param);

// Waits until the walk has ended and every posted command was handled, writes the run report to
// the log and returns the process exit status: 6 after a stop request, otherwise the class of the
// failure that stopped the job (1, 3, 4, 5 or 7); without a stop 8 when files or directories
// failed, else 0.
int libcdir_wait_stop(libcdir_ctx* job);

// Stops what still runs and releases the job (null is ignored). The param's err is left as it was.
void libcdir_close(libcdir_ctx* job);

// Fills `out` with the job's progress. Any thread, while the job is open. 0, or -1 for a null job.
int libcdir_get_progress(libcdir_ctx* job, libcdir_progress* out);

// Asks the job to stop at its next check. A null job is ignored. Only sets flags: callable from
// any thread, and async-signal-safe for local endpoints. Returns 0.
int libcdir_req_stop(libcdir_ctx* job);

// 1 when the job must stop (error stop or user stop), else 0.
int cdir_need_exit(libcdir_ctx* job);

// Failure class of a status code:
//   -102, -103, -38, -114 -> -2 (does not stop)     -113 -> -3 (stops)
//   -152 -> -4 (stops)     -258, -252 -> -5 (stops)  -40 -> -7 (stops)     -1 -> -1 (stops)
//   anything else -> 0 after the error line "verr=%d [%s]"
int libcdir_verr_2_eno(verr code);

// Exit status of a job that could not be opened: 6 when a stop ended the open, else the negated
// class of the recorded status, but never 0 (a failure must not look like success): 1 where the
// class is 0.
int libcdir_open_failure_status(const err_info* err);
