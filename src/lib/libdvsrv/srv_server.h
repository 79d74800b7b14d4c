// Inside the file server: the server itself (its settings, root, listeners, connections, caps
// and kept contexts), shared by the files that open it, accept on it and serve its connections.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "libdvsrv/dvsrv.h"
#include "libdvsrv/srv_access.h"
#include "libdvsrv/srv_metrics.h"
#include "libdvsrv/srv_session.h"
#include "libnet/net_sock.h"
#include "libpal/os_root.h"
#include "libssl/ssl.h"

using srv_steady = std::chrono::steady_clock;

// Monotonic milliseconds.
int64_t srv_now_ms();

// The deadline of a connection served by dvsrv_run, watched by the accept loop: a wait still
// under way when it passes is stopped, however slowly bytes keep coming.
struct srv_watch final {
    srv_steady::time_point accepted;
    std::atomic<int64_t> deadline_ms{0};  // monotonic; 0: none
    std::atomic<bool> fired{false};       // the deadline passed and stopped the connection
    // Server mutex: counted among the logged-in connections (else among those not logged in).
    bool logged_in = false;

    void arm(int64_t at_ms) { deadline_ms.store(at_ms); }
    void disarm() { deadline_ms.store(0); }
};

// One connection served by dvsrv_run: its socket and the thread that serves it.
struct srv_connection final {
    net_handle handle;
    std::string peer;
    std::thread thread;
    std::atomic<bool> finished{false};
    srv_watch watch;

    srv_connection() = default;
    srv_connection(const srv_connection&) = delete;
    srv_connection& operator=(const srv_connection&) = delete;
    ~srv_connection() { net_close(&handle); }
};

struct srv_listener final {
    int fd = -1;
    std::string url;
    bool tls = false;
};

// A user who may log in with credentials: what it is served and from where.
struct srv_account final {
    const os_root* root = nullptr;  // the server's root or `own_root`
    std::unique_ptr<os_root, decltype(&os_root_close)> own_root{nullptr, os_root_close};
    bool read_only = false;
    std::vector<srv_net> allow;  // empty: any address
};

struct dvsrv {
    // Fixed after dvsrv_open / dvsrv_listen.
    dvsrv_conf conf;
    std::unique_ptr<os_root, decltype(&os_root_close)> root{nullptr, os_root_close};
    std::map<std::string, srv_account> accounts;   // by user name
    std::vector<srv_net> hosts_allow, hosts_deny;  // server-wide; an empty allow list allows all
    uint32_t run_as_uid = 0, run_as_gid = 0;       // of run_as=, resolved by dvsrv_open
    // Whether `peer` may log in at all (hosts_allow=, hosts_deny=).
    bool address_allowed(const char* peer) const {
        if (!hosts_allow.empty() && !srv_net_list_match(hosts_allow, peer)) return false;
        return !srv_net_list_match(hosts_deny, peer);
    }
    // Declared before the connections so that it outlives every TLS channel.
    std::unique_ptr<ssl_srv_conf, decltype(&ssl_srv_conf_free)> tls{nullptr, ssl_srv_conf_free};
    std::vector<srv_listener> listeners;
    int wake_pipe[2] = {-1, -1};  // written by dvsrv_stop to end the accept loop's wait

    std::atomic<bool> stopping{false};

    // Counters for a collector (any thread), and the listener that serves them (metrics=).
    srv_metrics metrics;
    std::unique_ptr<srv_metrics_http> metrics_http;

    // State below is protected by mutex; only dvsrv_run adds or removes connections.
    std::mutex mutex;
    std::list<std::unique_ptr<srv_connection>> connections;
    size_t not_logged_in = 0;  // connections running that have not logged in
    size_t logged_in = 0;      // and those that have

    // A connection of dvsrv_run logs in: false when max_connections are logged in already.
    bool admit(srv_watch* watch) {
        std::lock_guard<std::mutex> lock(mutex);
        if (watch->logged_in) return true;
        if (logged_in >= conf.max_connections) return false;
        --not_logged_in;
        ++logged_in;
        watch->logged_in = true;
        return true;
    }
    void leave(const srv_watch& watch) {
        std::lock_guard<std::mutex> lock(mutex);
        --(watch.logged_in ? logged_in : not_logged_in);
    }
    // Stops every connection whose deadline has passed.
    void check_deadlines() {
        const int64_t now = srv_now_ms();
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& c : connections) {
            const int64_t at = c->watch.deadline_ms.load();
            if (at == 0 || now < at || c->watch.fired) continue;
            c->watch.fired = true;
            c->handle.stop = 1;
        }
    }

    // Caps on the files and directories clients hold open, sized from the descriptor limit by
    // dvsrv_open: the server's, and one share per user (made when first needed, never dropped:
    // there are only the configured users and the anonymous one).
    size_t context_fd_cap = 1024;
    size_t user_fd_cap = 0;
    std::shared_ptr<srv_quota> server_fds;
    std::mutex quota_mutex;
    std::map<std::string, std::shared_ptr<srv_quota>> user_fds;

    std::shared_ptr<srv_quota> user_quota(const std::string& user) {
        std::lock_guard<std::mutex> lock(quota_mutex);
        auto& quota = user_fds[user];
        if (!quota) quota = std::make_shared<srv_quota>(user_fd_cap);
        return quota;
    }
    srv_fd_caps fd_caps(const std::string& user) {
        return srv_fd_caps{context_fd_cap, user_quota(user), server_fds};
    }

    // Bytes of responses kept for a replay: the server's share, one per user (as above).
    std::shared_ptr<srv_quota> server_kept = std::make_shared<srv_quota>(SRV_MAX_KEPT_BYTES_SERVER);
    std::map<std::string, std::shared_ptr<srv_quota>> user_kept;  // under quota_mutex

    srv_kept_caps kept_caps(const std::string& user) {
        std::lock_guard<std::mutex> lock(quota_mutex);
        auto& quota = user_kept[user];
        if (!quota) quota = std::make_shared<srv_quota>(SRV_MAX_KEPT_BYTES_USER);
        return srv_kept_caps{quota, server_kept};
    }

    // Contexts a client asked an address for, by address. Protected by context_mutex.
    std::mutex context_mutex;
    std::map<uint64_t, std::shared_ptr<srv_context>> contexts;

    std::shared_ptr<srv_context> find_context(uint64_t address) {
        std::lock_guard<std::mutex> lock(context_mutex);
        auto it = contexts.find(address);
        return it == contexts.end() ? nullptr : it->second;
    }
    void forget_context(uint64_t address) {
        std::shared_ptr<srv_context> gone;  // released after the lock: closing it may take a while
        std::lock_guard<std::mutex> lock(context_mutex);
        auto it = contexts.find(address);
        if (it == contexts.end()) return;
        gone = std::move(it->second);
        contexts.erase(it);
    }
    // Drops contexts whose connection ended longer ago than the context time-out (all of them
    // when `all`).
    void expire_contexts(bool all);

    ~dvsrv() {
        for (srv_listener& l : listeners) close(l.fd);
        if (wake_pipe[0] >= 0) close(wake_pipe[0]);
        if (wake_pipe[1] >= 0) close(wake_pipe[1]);
    }
};

// Resolves run_as=USER[:GROUP] (the user's own group without GROUP). 0, or -1 with `*err`.
int srv_resolve_run_as(const std::string& run_as, uint32_t* uid, uint32_t* gid, std::string* err);

// Serves one connection of dvsrv_run (srv_conn.cc); `watch` is its deadline, or null.
void srv_serve_watched(dvsrv* server, net_handle* handle, const char* peer, srv_watch* watch);
