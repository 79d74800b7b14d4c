// Run statistics of a job, failure classes and the run report.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "libpal/verr.h"

struct libcdir_ctx;

// The twelve counters of a job, in report order. Each is written by one thread only (see the
// comments); they are read by the caller's thread once both engine threads are done.
struct cdir_counters {
    uint64_t file_total_size = 0;           // command thread
    uint64_t file_count = 0;                // command thread
    uint64_t dir_count = 0;                 // walk thread
    uint64_t file_open_count = 0;           // command thread
    uint64_t i_file_fail_count = 0;         // command thread
    uint64_t i_dir_fail_count = 0;          // walk thread
    uint64_t o_file_fail_count = 0;         // command thread
    uint64_t o_dir_fail_count = 0;          // walk thread
    uint64_t sync_del_file_count = 0;       // command thread
    uint64_t sync_del_file_fail_count = 0;  // command thread
    uint64_t total_read = 0;                // command thread
    uint64_t total_write = 0;               // command thread
};

// Adds every counter of `part` to `sum`.
void cdir_counters_add(cdir_counters* sum, const cdir_counters& part);

// Records `code` as the job's last failure and its class; a class that stops the job also sets
// the error stop flag (log "verr=%d eno=%d need stop!"). Returns 0 for the classes that do not
// stop, the (negative) class for those that do. A code >= 0 is not a failure and is ignored.
// Any thread.
int cdir_verr_check(libcdir_ctx* job, verr code);

// Whether a failure class ends the job.
bool cdir_class_stops(int cls);

// Exit status of a run that was not stopped but in which files or directories failed.
inline constexpr int CDIR_STATUS_FILES_FAILED = 8;

// Whether the counters record a file or directory that was not read, written or deleted: a
// source file or directory that could not be read (or listed only in part), a destination file
// that could not be written, an orphan a sync could not delete. A destination directory that
// could not be listed (o_dir_fail_count) is not among them: the files written there still count
// one by one.
bool cdir_counts_failures(const cdir_counters& st);

// Elapsed seconds between two monotonic millisecond readings; 0 becomes 0.001 so that rates stay
// finite.
double cdir_elapsed_seconds(uint64_t start_ms, uint64_t now_ms);

// The report lines (each ending in "\n") for a job of `job_type` that ran `seconds`.
std::vector<std::string> cdir_report_lines(const cdir_counters& st, uint32_t job_type,
                                           double seconds);

// A byte count for people: "512 B", "1.5 KiB", "12.3 MiB", "4.00 GiB" (binary units, three
// significant digits from KiB on).
std::string cdir_size_for_people(uint64_t bytes);

// A duration for people: "0.35 s", "42.1 s", "2m05s", "1h02m05s".
std::string cdir_duration_for_people(double seconds);

// The one report line meant for a person (ends in "\n"): what was copied, deleted and failed,
// the bytes written with their rate, and the elapsed time; a dry run says what would have been
// done, a list job what was listed.
std::string cdir_summary_line(const cdir_counters& st, uint32_t job_type, bool dry_run,
                              double seconds);

// The job's connections to a server, by what they carry: the block-file connection (files block
// by block, and the odd single request), the lister's and the batch worker's.
enum cdir_conn_kind : uint32_t {
    CDIR_CONN_FILE,
    CDIR_CONN_LISTER,
    CDIR_CONN_BATCH,
    CDIR_CONN_KINDS,
};

// What the connections of one kind (both sides together) opened, sent and waited for: a wait is
// a response the job could not overlap with sending more (dvsd_cli_traffic).
struct cdir_traffic {
    uint64_t connections = 0;
    uint64_t requests = 0;
    uint64_t waits = 0;
};
using cdir_traffic_kinds = std::array<cdir_traffic, CDIR_CONN_KINDS>;

// "file", "lister", "batch".
const char* cdir_conn_kind_name(uint32_t kind);

// Report lines of the kinds that had a connection, three per kind ("lister_conns=2\n",
// "lister_requests=130\n", "lister_waits=130\n"); none for a job without a server.
std::vector<std::string> cdir_traffic_lines(const cdir_traffic_kinds& kinds);

// The same in one line for a person, the kinds without a connection left out:
// "server round trips: file requests=N waits=N, lister requests=N waits=N\n"; "" for a job
// without a server.
std::string cdir_traffic_summary(const cdir_traffic_kinds& kinds);

// Writes the report of `job` to the log at dbg level (the summary line at info level, so that
// level=info still shows it; the server connections' traffic after the report, and its summary
// line at verb level), after ending a console status line, and returns its exit status: 6
// after a stop request, else the class of the failure that stopped the job, else 8 when
// cdir_counts_failures, else 0.
int cdir_report_and_status(libcdir_ctx* job);
