// Copy-mode core: the comparison rules, the transfer of a directory's selected files on each
// route, the creation of a directory's destination subdirectories (copy rule 4) and directory
// times. Runs on the command thread.
#pragma once

#include <span>

#include "libcdir/comm.h"
#include "libcdir/work.h"

// The comparison rule of the job: 1 when `src` must be transferred over `dst`, 0 when not.
int cdir_cmp_file_stat(libcdir_ctx* job, const char* name, const mstat_item& src,
                       const mstat_item& dst);

// Decision against a destination listing (both arrays sorted by name): 1 transfer, 0 skip. A
// name that is a directory at the destination is logged ("del dir[%s] !!") and transferred (which
// then fails and is counted).
int cdir_check_file_rlist(libcdir_ctx* job, const mstat_item& src,
                          std::span<const mstat_item> dst_files,
                          std::span<const mstat_item> dst_dirs);

// Transfers the entries in `selected` (smallest first) from the item's source directory to its
// destination directory on the job's route. 0 or negative.
int cdir_route_transfer(libcdir_ctx* job, const cdir_item& item,
                        std::span<const mstat_item*> selected);

// Command 4: creates the destination subdirectories of `item` with their attributes.
int cdir_create_dir_list(libcdir_ctx* job, const cdir_item& item);

// Command 7 of a copy: applies the directory's times at the destination.
int cdir_dir_done(libcdir_ctx* job, const cdir_item& item);

// The local destination's implementations of the two above.
int cdir_l_create_dir_list(libcdir_ctx* job, const cdir_item& item);
int cdir_l_dir_done(libcdir_ctx* job, const cdir_item& item);

// Opens the local destination directory of `item` for writing (made when missing, temporaries of
// a killed run cleared). A failure counts `files` failed files and gives false.
struct rdir_dst_dir;
bool cdir_open_dst_dir(libcdir_ctx* job, const cdir_item& item, size_t files, rdir_dst_dir* dst);
// A dry run counts what it would write and writes nothing.
void cdir_dry_transfer(libcdir_ctx* job, const cdir_item& item,
                       std::span<const mstat_item*> selected);
// Opens the local source directory of `item` (a path descriptor); a failure counts every file of
// `selected` failed and gives -1.
int cdir_open_src_dir(libcdir_ctx* job, const cdir_item& item,
                      std::span<const mstat_item*> selected);
