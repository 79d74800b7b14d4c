// Client profiles: the profile directory, the [conf] settings, named sessions and the expansion
// of session references ("///name/path?options") into server URLs.
//
// The profile directory is chosen once at start-up by dv_conf_set_path; it holds the client
// profile file ("dvmo-gui-user.ini" when that exists and is not a directory, else
// "dv_client.ini") and the proxy profile file ("dv_proxy.ini"). Every other function loads the
// client profile file afresh, so it sees edits made by others; writers load, change and save the
// whole file (two writers at once lose one change). Any thread once dv_conf_set_path has run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "libpal/verr.h"

// Session kinds.
enum conf_client_kind : uint32_t {
    CONF_CLIENT_LOCAL = 2,    // "loc": this machine's file system
    CONF_CLIENT_NETWORK = 3,  // "net"
    CONF_CLIENT_DVP = 4,      // "dvp": a file server
};

// A named session. The texts other than `name` are used by kind CONF_CLIENT_DVP only.
struct conf_client {
    uint32_t prot = 0;
    std::string name;
    uint8_t use_ssl = 0;
    std::string ip;    // an IPv6 address is stored with "_" for ":"
    std::string port;  // a number, or "DVP_DEF_PORT" / "DVPS_DEF_PORT" for the scheme's default
    std::string user;
    std::string pwd;
    std::string bs = "2M";
    std::string fmod = "644";
    std::string dmod = "755";
    std::string proxy;  // name of a proxy profile, or empty
};

// Start-up: `directory` (the executable's) is the profile directory unless DV_ENV_CONF_DIR is
// set and non-empty. Sets the two profile file paths and exports DV_PROXY_FILE and DV_CACHE
// ("<directory>/var/cache", or [conf] cache_dir of the client profile). Returns 0.
int dv_conf_set_path(const char* directory);
// The paths chosen by dv_conf_set_path ("" before it ran).
std::string dv_conf_client_file();
std::string dv_conf_proxy_file();

// [conf] `key` of the client profile, normalised as a path, into `out` (`out_len` bytes, cut to
// fit); "" when absent, except cache_dir, whose default is DV_CACHE. Returns 0.
int dv_conf_get_str(const char* key, char* out, size_t out_len);
// Sets [conf] `key` in the client profile (created when missing) and saves it; setting cache_dir
// also exports it as DV_CACHE. 0, or -1 ("conf_create_load [%s] fail" when it does not load).
int dv_conf_set_str(const char* key, const char* value);
int dv_conf_set_int(const char* key, int value);

// Reads session `name` into `record`. 0, or -1 with `err` (may be null) holding
// VERR_INVALID_PARAMETER and "conf_load %s failed", "'%s' does not exist", "Failed to get ip" or
// "Unsupported protocol [%s]".
int conf_client_get_info(const char* name, conf_client* record, err_info* err);
// Writes the session of `record` (kinds CONF_CLIENT_DVP and CONF_CLIENT_NETWORK) and saves. 0 or
// -1.
int conf_client_set_info(const conf_client* record);
// 1 when session `name` exists, 0 when not, -1 when the file does not load.
int conf_client_is_exist(const char* name);
// Removes session `name`; renames session `from` to `to`. 0, or -1 when the file does not load,
// there is no such session, the new name is taken, or the save fails.
int conf_client_del(const char* name);
int conf_client_copy_move(const char* from, const char* to);

// Writes the sessions "localhost" and "network" when missing, then calls `callback` for every
// session other than "network" and "_Quick_Connection" that loads. 0, or -1 when the file does
// not load.
using conf_walk_callback = void (*)(void* context, const char* name, uint32_t kind);
int conf_walk_item(conf_walk_callback callback, void* context);

// The session's URL: "loc://", "net://NAME", or "dvp[s]://[user[:pwd]@]host[:port][?proxy=...]"
// with user and password %-escaped, an IPv6 host in brackets and no port for the scheme's
// default. Cut to `out_len` bytes; "" for an unknown kind. Returns `out`.
char* conf_client_to_url(const conf_client* record, char* out, size_t out_len);

// Expands a session reference: backslashes become slashes; a text not beginning with "///" is
// returned as it is; "///NAME/PATH?OPTIONS" becomes the session's URL with PATH inserted and
// OPTIONS added to its query ("///localhost/PATH" gives the bare local path PATH). `out` holds
// PL_MAX_URL bytes. 0, or -1 with `err` holding conf_client_get_info's error, or
// VERR_BUFFER_OVERFLOW "url too long".
int conf_client_url_resolve(const char* url, char* out, err_info* err);
// The same in place; `url` is a PL_MAX_URL buffer.
int conf_client_url_resolve_inplace(char* url, err_info* err);

// Adds connect_timeout, read_timeout and write_timeout from [conf] (defaults 6, 15 and 8 s, also
// when the file does not load) to the query of `url` (a PL_MAX_URL buffer), each only when the
// URL does not carry it already. 0, or -1 when the result would not fit (then nothing is added).
int conf_client_add_timeouts(char* url);
