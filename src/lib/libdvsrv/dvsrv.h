// The file server's serving side: its configuration (the keys of the command line and of the INI
// file), the served root, the listeners, one thread per connection and the requests each
// connection answers.
//
// Life of a server: dvsrv_conf_set / dvsrv_conf_load for every key, dvsrv_open (checks the
// configuration, opens the root, sets up the credentials), dvsrv_listen, dvsrv_run on one thread
// until dvsrv_stop, dvsrv_close. Credentials and throttling live in libpwd, which holds one
// configuration per process: open one server at a time.
//
// Threads: dvsrv_stop may be called from any thread (not from a signal handler). Everything else
// on a server runs on the thread that opened it, except dvsrv_serve, which any number of threads
// may run at once, one connection each.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "libnet/net_sock.h"

inline constexpr char DVSRV_VERSION[] = "1.7.8";
inline constexpr uint32_t DVSRV_DEFAULT_PORT = 6688;
// Before a login a client may send only small frames.
inline constexpr size_t DVSRV_LOGIN_FRAME_MAX = size_t{64} << 10;

// A user of the configuration file's [user/NAME] section.
struct dvsrv_user {
    std::string name;
    std::string passwd;       // plain or "{SHA}" form
    std::string root;         // the directory served to this user; empty: the server's root
    bool read_only = false;   // may only read
    std::string hosts_allow;  // addresses and CIDR ranges it may log in from; empty: any
};

struct dvsrv_conf {
    std::string root;                    // served directory (required)
    std::string listen;                  // address to listen on; empty: every IPv4 address
    uint32_t port = DVSRV_DEFAULT_PORT;  // 0: any free port
    bool plain = true;                   // port=off: no plain listener (TLS only)
    std::string user;
    std::string passwd;  // plain or "{SHA}" form
    bool anonymous = false;
    bool read_only = false;  // every login may only read
    // Users beside user=, from [user/NAME] sections of the configuration file.
    std::vector<dvsrv_user> users;
    // Comma-separated addresses and CIDR ranges (IPv4, IPv6) that may log in at all (empty:
    // any) and that may not.
    std::string hosts_allow;
    std::string hosts_deny;
    // USER[:GROUP] (names or numbers) dvsd changes to once its listeners, roots, key and
    // certificate are open; empty: it stays who started it.
    std::string run_as;
    std::string level;                // log level text, handed to the log as given
    uint32_t max_connections = 1024;  // logged-in connections served at once; more are refused
    // Connections served at once that have not logged in yet: a cap of their own, so that they
    // never take the place of a client that logged in.
    uint32_t max_login_connections = 128;
    uint32_t login_timeout_s = 30;  // from accept to a successful login, TLS handshake included
    uint32_t idle_timeout_s = 900;  // a logged-in connection with no request for this long
    // A request frame not complete this long after its first byte closes the connection, however
    // slowly its bytes keep coming.
    uint32_t read_timeout_s = 120;
    uint32_t login_fail_count = 3;     // failed logins that lock an address; 0: no throttling
    uint32_t login_lock_minutes = 60;  // how long such a lock lasts
    uint32_t max_contexts = 1024;      // contexts kept for a repair at once
    uint32_t context_timeout_s = 120;  // how long a context outlives its connection
    // Requests a client may send ahead of their responses (offered as "pipe=[N]"); 0: none, every
    // client works one exchange at a time.
    uint32_t pipe = 64;
    bool key_login = false;   // login=key: clients must use the key login
    bool keep_setid = false;  // keep set-uid / set-gid bits a client asks for
    // A TLS listener (dvps://) beside the plain one, on the same address: on when ssl_port is
    // given (0: any free port). Certificate file (own certificate first, then its CA chain) and
    // unencrypted key file, read once by dvsrv_open.
    bool ssl = false;
    uint32_t ssl_port = 0;
    std::string ssl_cert;
    std::string ssl_key;
    // ADDRESS:PORT of an HTTP listener serving the metrics (GET /metrics); empty: none.
    std::string metrics;
};

// Applies one key=value setting. 0, or -1 with `*err` saying why (unknown key, bad number).
// Values are never echoed for the credential keys.
int dvsrv_conf_set(dvsrv_conf* conf, std::string_view key, std::string_view value,
                   std::string* err);

// Applies every key found in section [dvsd] of the INI file `path`, and adds a user for every
// section [user/NAME] (keys passwd, root, read_only, hosts_allow). 0 or -1 with `*err` (naming
// the section for a user's unknown key or bad value).
int dvsrv_conf_load(dvsrv_conf* conf, const char* path, std::string* err);

struct dvsrv;

// Checks the configuration (root given and a directory; a user or anonymous=1; every user's root
// a directory, its password of a valid form and its addresses valid, a fault naming its section;
// with ssl_port a certificate and key that load and belong together), opens the roots and
// configures the credentials. Null with `*err` on failure.
dvsrv* dvsrv_open(const dvsrv_conf& conf, std::string* err);

// Binds and listens on the configured address and port, on ssl_port for TLS and on metrics=.
// 0, or -1 with `*err`. Afterwards dvsrv_listen_urls names each listener ("dvp://ADDRESS:PORT",
// then "dvps://ADDRESS:PORT"; the real port when 0 was asked) and dvsrv_metrics_url the metrics
// one ("http://ADDRESS:PORT/metrics", "" without metrics=). A TLS connection's handshake runs on
// its own thread within login_timeout; one that fails is logged and closed.
int dvsrv_listen(dvsrv* server, std::string* err);
std::vector<std::string> dvsrv_listen_urls(const dvsrv* server);
std::string dvsrv_metrics_url(const dvsrv* server);

// run_as=: changes to that user and group (supplementary groups cleared, no capability kept),
// then checks that root cannot be regained. Without run_as= only warns when running as root.
// 0, or -1 with `*err` (the server must not go on). Call after dvsrv_listen, before dvsrv_run,
// while no other thread of the server runs.
int dvsrv_drop_privileges(dvsrv* server, std::string* err);

// Accepts connections and serves each on a thread of its own until dvsrv_stop; then ends every
// connection and waits for their threads. Returns 0, or -1 when accepting failed for good.
int dvsrv_run(dvsrv* server);

// Asks dvsrv_run and every connection to end. Any thread; idempotent.
void dvsrv_stop(dvsrv* server);

// Releases the server (null is accepted); dvsrv_run must have returned.
void dvsrv_close(dvsrv* server);

// Serves one connection on the calling thread until the client quits or closes, sends something
// malformed, stays idle too long, or the server stops. `handle` (a connected non-blocking socket)
// stays the caller's. `peer_address` names the client for throttling and logs.
void dvsrv_serve(dvsrv* server, net_handle* handle, const char* peer_address);

// The text of request 4 (server information).
std::string dvsrv_info_text(const dvsrv_conf& conf);
