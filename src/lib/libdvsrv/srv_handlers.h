// Inside the file server: the handlers the request table (srv_route.cc) points at, by the file
// that holds them. Each fills call.reply; see srv_route.h for what a handler is given.
#pragma once

#include "libdvsrv/srv_route.h"

// ---- the connection (srv_conn.cc) ----
void srv_req_quit(srv_call& call);          // 2
void srv_req_info(srv_call& call);          // 4
void srv_ctl_pack(srv_call& call);          // 20: 10001
void srv_ctl_file_timeout(srv_call& call);  // 20: 10100, 10105

// ---- logins (srv_login.cc) ----
void srv_req_login(srv_call& call);       // 1
void srv_req_key_login1(srv_call& call);  // 90
void srv_req_key_login2(srv_call& call);  // 91

// ---- contexts kept for a repair (srv_context.cc) ----
void srv_ctl_context(srv_call& call);  // 8: 101-103, 106, 107
void srv_ctl_attach(srv_call& call);   // 8: 104, 105

// ---- paths (srv_path.cc) ----
void srv_ctl_mkdirs(srv_call& call);  // 20: 10013
void srv_ctl_remove(srv_call& call);  // 20: 10036, 10037

// ---- attributes (srv_attr.cc) ----
void srv_req_set_times(srv_call& call);  // 22, 27
void srv_ctl_set_times(srv_call& call);  // 20: 10029, 10030
void srv_ctl_set_stat(srv_call& call);   // 20: 10038
void srv_ctl_fset_stat(srv_call& call);  // 20: 10039

// ---- opening, closing and storing files (srv_open.cc) ----
void srv_req_put_file(srv_call& call);  // 9
void srv_req_open(srv_call& call);      // 10
void srv_req_close(srv_call& call);     // 11
void srv_req_open2(srv_call& call);     // 25

// ---- reading and writing open files (srv_io.cc) ----
void srv_req_read(srv_call& call);      // 12, 29
void srv_req_write(srv_call& call);     // 13, 30
void srv_req_flush(srv_call& call);     // 14
void srv_req_seek(srv_call& call);      // 15
void srv_req_set_len(srv_call& call);   // 16
void srv_req_geometry(srv_call& call);  // 19

// ---- describing entries (srv_stat.cc) ----
void srv_req_lsblk(srv_call& call);   // 3
void srv_req_statfs(srv_call& call);  // 5
void srv_req_stat(srv_call& call);    // 6, 7, 28
void srv_req_fstat(srv_call& call);   // 21, 26

// ---- directories (srv_dir.cc) ----
void srv_req_opendir(srv_call& call);   // 41
void srv_req_readdir(srv_call& call);   // 42, 44
void srv_req_closedir(srv_call& call);  // 43
void srv_ctl_seekdir(srv_call& call);   // 8: 10050

// ---- the lister and the batch worker (srv_batch.cc) ----
void srv_ctl_rdir_open(srv_call& call);      // 8: 10120
void srv_ctl_rdir_close(srv_call& call);     // 8: 10121
void srv_ctl_rdir_enum(srv_call& call);      // 8: 10122
void srv_ctl_rdir_read(srv_call& call);      // 8: 10123
void srv_ctl_mfile_open(srv_call& call);     // 8: 10130
void srv_ctl_mfile_close(srv_call& call);    // 8: 10131
void srv_ctl_mfile_results(srv_call& call);  // 8: 10132
void srv_ctl_mfile_post(srv_call& call);     // 8: 10133-10136, 10138
