// Sync-mode core and the file list work shared by copy and sync: selecting the files of one
// directory that must be transferred, deleting orphaned destination files in a sync, and handing
// the rest to the route's transfer. Runs on the command thread.
#pragma once

#include <span>

#include "libcdir/comm.h"
#include "libcdir/work.h"

// The file list work of command 2. 0 or negative.
int r_sync_file_list(libcdir_ctx* job, const cdir_item& record, uint32_t route, bool is_sync);

// Removes every destination entry of `dst` whose name is not among `src` (sorted by name); with
// `have_src` false every entry goes. 0, or -1 when a stop was requested.
int l_sync_del_orphaned_file(libcdir_ctx* job, const cdir_item& record, bool have_src,
                             std::span<const mstat_item> src, std::span<const mstat_item> dst);

// Command 3 of a sync: the source directory has no files, so every destination file of it is an
// orphan — unless the source listing was incomplete, in which case nothing is deleted.
int cdir_sync_no_files(libcdir_ctx* job, const cdir_item& record);

// Local destination: gives the files of `record` listed in `files` the owner and mode of their
// source entries (their data is unchanged). Failures are counted and logged.
int l_sync_update_attrs(libcdir_ctx* job, const cdir_item& record,
                        std::span<const mstat_item* const> files);

// At the end of a sync whose deletions were held back (max_delete set, or a dry run): deletes
// them all, or none when there were more than max_delete (counted as failed deletions).
void cdir_finish_deletes(libcdir_ctx* job);
// Holds the orphan `name` of `record` for the end of the sync (max_delete set, or a dry run).
// Beyond max_delete nothing more is held: none will be deleted.
void cdir_hold_delete(libcdir_ctx* job, const cdir_item& record, const char* name);

// Whether the owner or mode of a destination entry differs from its source's in a way a sync
// passes on: the owner only when the destination can give entries away (`owners`: this process
// is root and, for a remote destination, the server says it runs as root too), and set-id
// bits only with the owner. Links and entries of a side without POSIX modes never differ; null
// `dst` neither.
bool cdir_attrs_differ(const mstat_item& src, const mstat_item* dst, bool owners);
