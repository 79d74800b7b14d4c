// The file server's side of the endpoint layer: one connection per endpoint handle, and the
// directory work of the copy and sync cores done through the server's batch worker.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "libcdir/comm.h"
#include "libcdir/v_fs.h"
#include "libcdir/v_rdir.h"
#include "libdvsd/dvsd_cli.h"

// Oldest server that has everything the remote routes use (the lister and the batch worker).
inline constexpr char CDIR_MIN_SERVER_VERSION[] = "1.7.8";

// Largest list chunk or answer asked for in one request: a request must fit one frame whatever
// the block size.
inline constexpr uint32_t CDIR_MAX_CHUNK = DVSD_CLI_MAX_BLOCK;

// Connects to the server named by `url` with login and checks that it is new enough; the
// connection's outcomes are kept in `conn_err`, which must outlive the connection. A failure is
// classified for the job, copied into `err` (may be null) and gives null.
dvsd_cli_ctx* dvsd_conn_init(libcdir_ctx* job, const char* url, err_info* conn_err, err_info* err);

// Classifies the last failure of a connection for the job (nothing after a stop request, which
// makes every wait fail) and returns its status code.
verr cdir_remote_failure(libcdir_ctx* job, dvsd_cli_ctx* ctx);

// Largest file that travels in a batch: what the batch worker reads of a file, less the byte
// asked beyond each file to see whether it grew.
uint64_t cdir_small_max(const libcdir_ctx* job);

// The implementation of a file server's side.
cdir_endpoints* cdir_remote_endpoints_new();

// The attributes of the directory `path` on the server of a remote listing endpoint, as its
// parent's listing would carry them. 0, or -1 when they cannot be had.
int cdir_remote_dir_attr(vrdir* h, const char* path, mstat_attr* attr);

// Attributes of `path` set through a remote batch endpoint, posted behind what went before
// without waiting: `done`(status) runs once the answer is in (0, or the status the server or the
// connection gave), from cdir_remote_mfile_report or _settle. Post it only after the answers of the
// commands it must follow were collected. false when the handle carries no more requests
// (classified for the job; `done` is then not called).
bool cdir_remote_mfile_post_attr(vmfile* h, const char* path, const dvsd_attr& attr,
                                 std::function<void(verr)> done);
// Takes every answer on the way of a remote batch endpoint (results stay for vmfile_list_ret)
// and reports the attributes done. false when its connection carries no more requests.
bool cdir_remote_mfile_settle(vmfile* h);
// Runs the `done` of the posted attributes whose answers came meanwhile.
void cdir_remote_mfile_report(vmfile* h);

// Directory work at a remote destination (w_remote.cc).
int r_create_dir_list(libcdir_ctx* job, const cdir_item& item);
int r_dir_done(libcdir_ctx* job, const cdir_item& item);
int r_sync_del_orphans(libcdir_ctx* job, const cdir_item& record, bool have_src,
                       std::span<const mstat_item> src, std::span<const mstat_item> dst);
int r_sync_update_attrs(libcdir_ctx* job, const cdir_item& record,
                        std::span<const mstat_item* const> files);
// Applies the attributes of the directories a sync made at a remote destination, deepest first.
void r_finish_new_dirs(libcdir_ctx* job);
// Deletes the orphans a sync held back until its end, at a remote destination.
void r_finish_deletes(libcdir_ctx* job);

// The route transfers with a remote side (w_remote.cc); `selected` is sorted smallest first.
int cdir_rl_transfer(libcdir_ctx* job, const cdir_item& item,
                     std::span<const mstat_item*> selected);
int cdir_lr_transfer(libcdir_ctx* job, const cdir_item& item,
                     std::span<const mstat_item*> selected);
int cdir_rr_transfer(libcdir_ctx* job, const cdir_item& item,
                     std::span<const mstat_item*> selected);
