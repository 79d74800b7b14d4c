#include "libdvsrv/dvsrv.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "libconf/ini/conf.h"
#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_frame.h"
#include "libdvsd/sd_wire.h"
#include "libdvsrv/srv_handlers.h"
#include "libdvsrv/srv_route.h"
#include "libdvsrv/srv_session.h"
#include "liblog/log2.h"
#include "libpal/os_root.h"
#include "libpal/verr.h"
#include "libpwd/libpwd.h"
#include "libssl/ssl.h"

#define SRV_LOG(level, ...) DV_LOG("dvsd", level, __VA_ARGS__)

namespace {

using steady = std::chrono::steady_clock;

// A read waits at most this long without progress before the deadlines are looked at again.
constexpr int32_t kReadSliceMs = 10000;
// What a quiet connection keeps of its frame buffer.
constexpr size_t kIdleKeepBytes = size_t{1} << 20;
constexpr char kWrongLogin[] = "Wrong user or password";

std::optional<uint32_t> parse_u32(std::string_view value) {
    uint32_t n = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (value.empty() || ec != std::errc() || end != value.data() + value.size()) {
        return std::nullopt;
    }
    return n;
}

struct number_key {
    const char* name;
    uint32_t dvsrv_conf::*field;
    uint32_t min;
    uint32_t max;
};

constexpr number_key kNumberKeys[] = {
    {"port", &dvsrv_conf::port, 0, 65535},
    {"ssl_port", &dvsrv_conf::ssl_port, 0, 65535},
    {"max_connections", &dvsrv_conf::max_connections, 1, 100000},
    {"max_login_connections", &dvsrv_conf::max_login_connections, 1, 100000},
    {"login_timeout", &dvsrv_conf::login_timeout_s, 1, 86400},
    {"read_timeout", &dvsrv_conf::read_timeout_s, 1, 86400},
    {"idle_timeout", &dvsrv_conf::idle_timeout_s, 1, 7 * 86400},
    {"login_fail_count", &dvsrv_conf::login_fail_count, 0, 1000000},
    {"login_lock_minutes", &dvsrv_conf::login_lock_minutes, 1, 10 * 365 * 24 * 60},
    {"max_contexts", &dvsrv_conf::max_contexts, 1, 1000000},
    {"context_timeout", &dvsrv_conf::context_timeout_s, 1, 7 * 86400},
};

int64_t now_ms();

// The deadline of a connection served by dvsrv_run, watched by the accept loop: a wait still
// under way when it passes is stopped, however slowly bytes keep coming.
struct conn_watch final {
    steady::time_point accepted;
    std::atomic<int64_t> deadline_ms{0};  // monotonic; 0: none
    std::atomic<bool> fired{false};       // the deadline passed and stopped the connection
    // Server mutex: counted among the logged-in connections (else among those not logged in).
    bool logged_in = false;

    void arm(int64_t at_ms) { deadline_ms.store(at_ms); }
    void disarm() { deadline_ms.store(0); }
};

// One connection served by dvsrv_run: its socket and the thread that serves it.
struct connection final {
    net_handle handle;
    std::string peer;
    std::thread thread;
    std::atomic<bool> finished{false};
    conn_watch watch;

    connection() = default;
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;
    ~connection() { net_close(&handle); }
};

struct listener final {
    int fd = -1;
    std::string url;
    bool tls = false;
};

}  // namespace

struct dvsrv {
    // Fixed after dvsrv_open / dvsrv_listen.
    dvsrv_conf conf;
    std::unique_ptr<os_root, decltype(&os_root_close)> root{nullptr, os_root_close};
    // Declared before the connections so that it outlives every TLS channel.
    std::unique_ptr<ssl_srv_conf, decltype(&ssl_srv_conf_free)> tls{nullptr, ssl_srv_conf_free};
    std::vector<listener> listeners;
    int wake_pipe[2] = {-1, -1};  // written by dvsrv_stop to end the accept loop's wait

    std::atomic<bool> stopping{false};

    // State below is protected by mutex; only dvsrv_run adds or removes connections.
    std::mutex mutex;
    std::list<std::unique_ptr<connection>> connections;
    size_t not_logged_in = 0;  // connections running that have not logged in
    size_t logged_in = 0;      // and those that have

    // A connection of dvsrv_run logs in: false when max_connections are logged in already.
    bool admit(conn_watch* watch) {
        std::lock_guard<std::mutex> lock(mutex);
        if (watch->logged_in) return true;
        if (logged_in >= conf.max_connections) return false;
        --not_logged_in;
        ++logged_in;
        watch->logged_in = true;
        return true;
    }
    void leave(const conn_watch& watch) {
        std::lock_guard<std::mutex> lock(mutex);
        --(watch.logged_in ? logged_in : not_logged_in);
    }
    // Stops every connection whose deadline has passed.
    void check_deadlines() {
        const int64_t now = now_ms();
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
    // there are at most two users, the configured one and the anonymous one).
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
        for (listener& l : listeners) close(l.fd);
        if (wake_pipe[0] >= 0) close(wake_pipe[0]);
        if (wake_pipe[1] >= 0) close(wake_pipe[1]);
    }
};

void dvsrv::expire_contexts(bool all) {
    std::vector<std::shared_ptr<srv_context>> gone;
    const int64_t limit = int64_t{1000} * conf.context_timeout_s;
    const int64_t now =
        std::chrono::duration_cast<std::chrono::milliseconds>(steady::now().time_since_epoch())
            .count();
    {
        std::lock_guard<std::mutex> lock(context_mutex);
        for (auto it = contexts.begin(); it != contexts.end();) {
            bool expired = all;
            if (!expired) {
                std::lock_guard<std::mutex> in_use(it->second->mutex);
                expired = it->second->handle == nullptr && now - it->second->last_used_ms >= limit;
            }
            if (expired) {
                gone.push_back(std::move(it->second));
                it = contexts.erase(it);
            } else {
                ++it;
            }
        }
    }
}

int dvsrv_conf_set(dvsrv_conf* conf, std::string_view key, std::string_view value,
                   std::string* err) {
    std::string name(key);
    if (key == "root") {
        conf->root = value;
    } else if (key == "listen") {
        conf->listen = value;
    } else if (key == "user") {
        conf->user = value;
    } else if (key == "passwd") {
        conf->passwd = value;
    } else if (key == "ssl_cert") {
        conf->ssl_cert = value;
    } else if (key == "ssl_key") {
        conf->ssl_key = value;
    } else if (key == "port" && value == "off") {
        conf->plain = false;
    } else if (key == "level") {
        conf->level = value;
    } else if (key == "login") {
        if (value != "key" && value != "pwd") {
            *err = "login=" + std::string(value) + ": must be key or pwd";
            return -1;
        }
        conf->key_login = value == "key";
    } else if (key == "keep_setid") {
        if (value != "0" && value != "1") {
            *err = "keep_setid=" + std::string(value) + ": must be 0 or 1";
            return -1;
        }
        conf->keep_setid = value == "1";
    } else if (key == "anonymous") {
        if (value != "0" && value != "1") {
            *err = "anonymous=" + std::string(value) + ": must be 0 or 1";
            return -1;
        }
        conf->anonymous = value == "1";
    } else {
        for (const number_key& k : kNumberKeys) {
            if (key != k.name) continue;
            auto n = parse_u32(value);
            if (!n || *n < k.min || *n > k.max) {
                *err = name + "=" + std::string(value) + ": must be a number from " +
                       std::to_string(k.min) + " to " + std::to_string(k.max) +
                       (key == "port" ? " or off" : "");
                return -1;
            }
            conf->*k.field = *n;
            if (key == "ssl_port") conf->ssl = true;
            if (key == "port") conf->plain = true;
            return 0;
        }
        *err = "unknown key \"" + name + "\"";
        return -1;
    }
    return 0;
}

int dvsrv_conf_load(dvsrv_conf* settings, const char* path, std::string* err) {
    std::unique_ptr<::conf, decltype(&conf_close)> ini(conf_load(path), conf_close);
    if (!ini) {
        *err = std::string("cannot read configuration file ") + path;
        return -1;
    }
    static constexpr const char* kKeys[] = {"root",
                                            "listen",
                                            "port",
                                            "user",
                                            "passwd",
                                            "anonymous",
                                            "level",
                                            "max_connections",
                                            "max_login_connections",
                                            "login_timeout",
                                            "read_timeout",
                                            "idle_timeout",
                                            "login_fail_count",
                                            "login_lock_minutes",
                                            "login",
                                            "keep_setid",
                                            "max_contexts",
                                            "context_timeout",
                                            "ssl_port",
                                            "ssl_cert",
                                            "ssl_key"};
    for (const char* section : {"dvsd"}) {
        for (const char* key : kKeys) {
            if (!conf_has_key(ini.get(), section, key)) continue;
            const char* value = conf_get_str(ini.get(), section, key, "");
            if (dvsrv_conf_set(settings, key, value, err) != 0) {
                *err = std::string(path) + ": " + *err;
                return -1;
            }
        }
    }
    return 0;
}

namespace {

// Sizes the caps on open files and directories from the process's descriptor limit: a quarter of
// it for all clients together (half of it waits for connections that have not spoken yet, the
// rest carries connections, listings and the worker), half of that for one user, and at most
// 1024 for one connection.
void size_fd_caps(dvsrv* server) {
    rlimit limit{};
    size_t descriptors = 1024;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        descriptors = limit.rlim_cur == RLIM_INFINITY
                          ? size_t{1} << 20
                          : static_cast<size_t>(std::min<rlim_t>(limit.rlim_cur, rlim_t{1} << 30));
    }
    const size_t all = std::max<size_t>(descriptors / 4, 16);
    server->server_fds = std::make_shared<srv_quota>(all);
    server->user_fd_cap = std::max<size_t>(all / 2, 8);
    server->context_fd_cap = std::min<size_t>(1024, server->user_fd_cap);
    SRV_LOG(LOG_INFO,
            "descriptors=%zu: open files and directories at most %zu on the server, %zu per "
            "user, %zu per connection\n",
            descriptors, all, server->user_fd_cap, server->context_fd_cap);
}

}  // namespace

dvsrv* dvsrv_open(const dvsrv_conf& conf, std::string* err) {
    if (conf.root.empty()) {
        *err = "root= is required";
        return nullptr;
    }
    if (conf.user.empty() && !conf.anonymous) {
        *err = "either user= (with passwd=) or anonymous=1 is required";
        return nullptr;
    }
    struct stat st {};
    if (stat(conf.root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *err = "root=" + conf.root + ": not a directory";
        return nullptr;
    }
    auto server = std::make_unique<dvsrv>();
    server->conf = conf;
    server->root.reset(os_root_open(conf.root.c_str(), OS_ROOT_IN_ROOT));
    if (!server->root) {
        *err = "root=" + conf.root + ": " + strerror(errno);
        return nullptr;
    }
    if (pipe2(server->wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        *err = std::string("pipe: ") + strerror(errno);
        return nullptr;
    }
    if (conf.ssl && (conf.ssl_cert.empty() || conf.ssl_key.empty())) {
        *err = "ssl_port= needs ssl_cert= and ssl_key=";
        return nullptr;
    }
    if (!conf.plain && !conf.ssl) {
        *err = "port=off needs ssl_port= (a TLS listener)";
        return nullptr;
    }
    if (!conf.ssl && (!conf.ssl_cert.empty() || !conf.ssl_key.empty())) {
        *err = "ssl_cert= and ssl_key= need ssl_port=";
        return nullptr;
    }
    if (conf.ssl) {
        // Loaded once here, outside the served root, so that a bad file stops the start.
        server->tls.reset(ssl_srv_conf_new(conf.ssl_cert.c_str(), conf.ssl_key.c_str(), err));
        if (!server->tls) return nullptr;
    }
    libpwd_conf pwd;
    pwd.user = conf.user.c_str();
    pwd.pwd = conf.passwd.c_str();
    pwd.login_fail_count = conf.login_fail_count;
    pwd.login_lock_minutes = conf.login_lock_minutes;
    if (libpwd_init(&pwd) != 0) {
        *err = "user or passwd too long";
        return nullptr;
    }
    SRV_LOG(LOG_INFO, "root=[%s] user=[%s] passwd=[%s] anonymous=%d\n", conf.root.c_str(),
            conf.user.c_str(), libpwd_log_mask(conf.passwd.c_str()), conf.anonymous ? 1 : 0);
    size_fd_caps(server.get());
    return server.release();
}

namespace {

std::string address_text(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address.ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr, text,
                  sizeof(text));
    } else {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr, text,
                  sizeof(text));
    }
    return text;
}

uint16_t address_port(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

}  // namespace

namespace {

// One listening socket on the configured address; named "SCHEME://ADDRESS:PORT".
int listen_on(dvsrv* server, uint32_t port_number, bool tls, std::string* err) {
    const std::string host = server->conf.listen.empty() ? "0.0.0.0" : server->conf.listen;
    std::string bare = host;
    if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']') {
        bare = bare.substr(1, bare.size() - 2);
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(port_number);
    const char* port_key = tls ? "ssl_port=" : "port=";
    int rc = getaddrinfo(bare.c_str(), port.c_str(), &hints, &found);
    if (rc != 0 || found == nullptr) {
        *err = "listen=" + host + ": " + gai_strerror(rc);
        return -1;
    }
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, freeaddrinfo);
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *err = std::string("socket: ") + strerror(errno);
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, 128) != 0) {
        *err = "listen=" + host + " " + port_key + port + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t bound_len = sizeof(bound);
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_len);
    std::string shown = address_text(bound);
    if (bound.ss_family == AF_INET6) shown = "[" + shown + "]";
    server->listeners.push_back({fd,
                                 std::string(tls ? "dvps://" : "dvp://") + shown + ":" +
                                     std::to_string(address_port(bound)),
                                 tls});
    return 0;
}

}  // namespace

int dvsrv_listen(dvsrv* server, std::string* err) {
    if (server->conf.plain && listen_on(server, server->conf.port, false, err) != 0) return -1;
    if (server->tls && listen_on(server, server->conf.ssl_port, true, err) != 0) return -1;
    return 0;
}

std::vector<std::string> dvsrv_listen_urls(const dvsrv* server) {
    std::vector<std::string> urls;
    for (const listener& l : server->listeners) urls.push_back(l.url);
    return urls;
}

void dvsrv_stop(dvsrv* server) {
    if (server->stopping.exchange(true)) return;
    const char b = 1;
    ssize_t ignored = write(server->wake_pipe[1], &b, 1);
    (void)ignored;
    std::lock_guard<std::mutex> lock(server->mutex);
    for (auto& c : server->connections) c->handle.stop = 1;
}

namespace {

// Joins the threads of connections that have ended.
void reap(dvsrv* server, bool all) {
    std::list<std::unique_ptr<connection>> done;
    {
        std::lock_guard<std::mutex> lock(server->mutex);
        for (auto it = server->connections.begin(); it != server->connections.end();) {
            if (all || (*it)->finished) {
                // A stop may still be on its way to this list (dvsrv_stop from a signal):
                // a connection taken out of it is told here, not left to its read time-out.
                if (all) (*it)->handle.stop = 1;
                done.push_back(std::move(*it));
                it = server->connections.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : done) c->thread.join();
}

// A connection accepted but silent so far: it waits in the accept loop, costing a descriptor and
// no thread, until its first bytes arrive or the login time-out passes.
struct waiting final {
    int fd = -1;
    std::string peer;
    bool tls = false;
    steady::time_point since;
};

// Turns away a connection the server has no room for with an answer the client can show: its
// first request (already here, since it became readable) gets a reply naming the reason. A TLS
// connection cannot be answered before its handshake and is only closed.
void refuse(dvsrv* server, int fd, bool tls, const char* peer, size_t active, const char* which) {
    SRV_LOG(LOG_WARN, "ip=[%s] refused: %zu connections %s\n", peer, active, which);
    uint8_t head[SD_FRAME_HEAD_SIZE] = {};
    // Drained so that closing sends a FIN after the reply, not a reset that could overtake it.
    uint8_t sink[4096];
    ssize_t got = recv(fd, head, sizeof(head), MSG_DONTWAIT);
    while (recv(fd, sink, sizeof(sink), MSG_DONTWAIT) > 0) {
    }
    net_handle handle;
    handle.sock = sock_from_fd(fd);
    handle.timeout_ms = 200;
    if (!tls && got >= 4 && head[0] == SD_FRAME_MAGIC0 && head[1] == SD_FRAME_MAGIC1) {
        sd_frame_msg reply;
        srv_reply_error(reply, VERR_TRY_AGAIN, "Too many connections, try again later");
        if (reply.ok()) {
            net_sock_stream stream(&handle);
            sd_frame_write(stream,
                           server->conf.key_login ? SD_FRAME_PROTOCOL_KEY_LOGIN : SD_FRAME_PROTOCOL,
                           head[3], reply.root());
        }
    }
    net_close(&handle);
}

void serve_watched(dvsrv* server, net_handle* handle, const char* peer, conn_watch* watch);

// Serves a connection that has sent its first bytes on a thread of its own, or refuses it when
// max_login_connections are being served that have not logged in yet.
void start(dvsrv* server, waiting&& w) {
    std::lock_guard<std::mutex> lock(server->mutex);
    if (server->stopping) {
        close(w.fd);
        return;
    }
    if (server->not_logged_in >= server->conf.max_login_connections) {
        refuse(server, w.fd, w.tls, w.peer.c_str(), server->not_logged_in, "not logged in");
        return;
    }
    auto c = std::make_unique<connection>();
    c->handle.sock = sock_from_fd(w.fd);
    c->peer = std::move(w.peer);
    connection* raw = c.get();
    const bool tls = w.tls;
    // The login's time counts from accept and covers the handshake: a client that never speaks
    // TLS cannot hold the thread longer than one that never logs in.
    raw->watch.accepted = w.since;
    const int64_t login_deadline =
        now_ms() + std::chrono::duration_cast<std::chrono::milliseconds>(
                       w.since + std::chrono::seconds(server->conf.login_timeout_s) - steady::now())
                       .count();
    raw->watch.arm(login_deadline);
    ++server->not_logged_in;
    raw->thread = std::thread([server, raw, tls, login_deadline] {
        pthread_setname_np(pthread_self(), "dvsd_conn");
        const auto handshake_ms =
            static_cast<int32_t>(std::max<int64_t>(1, login_deadline - now_ms()));
        if (!tls || ssl_srv_new(server->tls.get(), &raw->handle, handshake_ms) != nullptr) {
            serve_watched(server, &raw->handle, raw->peer.c_str(), &raw->watch);
        } else {
            SRV_LOG(LOG_WARN, "ip=[%s] TLS handshake failed: closed\n", raw->peer.c_str());
        }
        server->leave(raw->watch);
        raw->finished = true;
    });
    server->connections.push_back(std::move(c));
}

// The accept loop's own state: listeners, connections not yet active, and the limit on those.
class accept_loop final {
  public:
    explicit accept_loop(dvsrv* server) : server_(server) {
        // Half the descriptors for silent connections, the rest for served ones and their files.
        rlimit limit{};
        size_t cap = 1024;
        if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
            cap = static_cast<size_t>(limit.rlim_cur) / 2;
        }
        max_waiting_ = std::clamp<size_t>(cap, 16, 65536);
    }
    ~accept_loop() {
        for (waiting& w : waiting_) close(w.fd);
    }
    accept_loop(const accept_loop&) = delete;
    accept_loop& operator=(const accept_loop&) = delete;

    int run();

  private:
    void accept_from(const listener& from);
    void drop_oldest(const char* why);
    void sweep(steady::time_point now);
    int poll_timeout_ms(steady::time_point now) const;

    dvsrv* server_;
    std::deque<waiting> waiting_;  // oldest first
    size_t max_waiting_;
    steady::time_point accept_paused_until_{};
};

void accept_loop::drop_oldest(const char* why) {
    waiting& w = waiting_.front();
    SRV_LOG(LOG_DBG, "ip=[%s] silent connection dropped: %s\n", w.peer.c_str(), why);
    close(w.fd);
    waiting_.pop_front();
}

void accept_loop::accept_from(const listener& from) {
    // A bounded batch per pass, so that one busy listener cannot starve the others.
    for (int i = 0; i < 64; ++i) {
        sockaddr_storage peer{};
        socklen_t peer_len = sizeof(peer);
        int fd = accept4(from.fd, reinterpret_cast<sockaddr*>(&peer), &peer_len,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) {
                // Out of descriptors: the connection that has been silent longest makes room;
                // with none to spare, accepting rests a moment instead of spinning.
                if (!waiting_.empty()) {
                    drop_oldest("out of descriptors");
                    continue;
                }
                SRV_LOG(LOG_WARN, "accept error: %s\n", strerror(errno));
                accept_paused_until_ = steady::now() + std::chrono::milliseconds(100);
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                       errno != ECONNABORTED) {
                SRV_LOG(LOG_WARN, "accept error: %s\n", strerror(errno));
            }
            return;
        }
        if (server_->stopping) {
            close(fd);
            return;
        }
        // Responses go out as soon as they are written, not after the client's next
        // acknowledgement.
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        if (waiting_.size() >= max_waiting_) drop_oldest("too many silent connections");
        waiting_.push_back({fd, address_text(peer), from.tls, steady::now()});
    }
}

// Silent connections get as long as a login takes to say anything at all.
void accept_loop::sweep(steady::time_point now) {
    const auto limit = std::chrono::seconds(server_->conf.login_timeout_s);
    while (!waiting_.empty() && now - waiting_.front().since >= limit) {
        SRV_LOG(LOG_DBG, "ip=[%s] nothing sent in %u s: closed\n", waiting_.front().peer.c_str(),
                server_->conf.login_timeout_s);
        close(waiting_.front().fd);
        waiting_.pop_front();
    }
}

int accept_loop::poll_timeout_ms(steady::time_point now) const {
    int64_t ms = 1000;
    if (!waiting_.empty()) {
        const auto due =
            waiting_.front().since + std::chrono::seconds(server_->conf.login_timeout_s);
        ms = std::min<int64_t>(
            ms, std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1);
    }
    if (accept_paused_until_ > now) {
        ms = std::min<int64_t>(
            ms, std::chrono::duration_cast<std::chrono::milliseconds>(accept_paused_until_ - now)
                        .count() +
                    1);
    }
    return static_cast<int>(std::max<int64_t>(ms, 0));
}

int accept_loop::run() {
    const auto& listeners = server_->listeners;
    std::vector<pollfd> fds;
    int status = 0;
    while (!server_->stopping) {
        const auto before = steady::now();
        const bool accepting = accept_paused_until_ <= before;
        fds.clear();
        fds.push_back({server_->wake_pipe[0], POLLIN, 0});
        for (const listener& l : listeners) {
            fds.push_back({l.fd, static_cast<short>(accepting ? POLLIN : 0), 0});
        }
        for (const waiting& w : waiting_) fds.push_back({w.fd, POLLIN, 0});
        int n = poll(fds.data(), fds.size(), poll_timeout_ms(before));
        if (n < 0 && errno != EINTR) {
            SRV_LOG(LOG_ERR, "poll error: %s\n", strerror(errno));
            status = -1;
            break;
        }
        reap(server_, false);
        server_->check_deadlines();
        server_->expire_contexts(false);
        if (n > 0) {
            // Connections that spoke first, then new ones: accepting appends to the list polled.
            const size_t first_waiting = 1 + listeners.size();
            std::deque<waiting> still;
            for (size_t i = 0; i < waiting_.size(); ++i) {
                const short revents = fds[first_waiting + i].revents;
                if (revents & POLLIN) {
                    start(server_, std::move(waiting_[i]));
                } else if (revents != 0) {
                    close(waiting_[i].fd);  // gone before it said anything
                } else {
                    still.push_back(std::move(waiting_[i]));
                }
            }
            waiting_.swap(still);
            for (size_t i = 0; i < listeners.size(); ++i) {
                if (fds[1 + i].revents & POLLIN) accept_from(listeners[i]);
            }
        }
        sweep(steady::now());
    }
    return status;
}

}  // namespace

int dvsrv_run(dvsrv* server) {
    int status = 0;
    {
        accept_loop loop(server);
        status = loop.run();
    }
    dvsrv_stop(server);
    reap(server, true);
    server->expire_contexts(true);
    return status;
}

void dvsrv_close(dvsrv* server) {
    if (server == nullptr) return;
    libpwd_exit();
    delete server;
}

std::string dvsrv_info_text() {
    utsname names{};
    std::string arch = uname(&names) == 0 ? names.machine : "unknown";
    const char* order = std::endian::native == std::endian::little ? "little" : "big";
    return std::string("ver=[") + DVSRV_VERSION + "]\nplat=[linux]\narch=[" + arch + "]\nbit=[" +
           std::to_string(sizeof(void*) * 8) + "]\norder=[" + order + "]\nis_root=[" +
           (geteuid() == 0 ? "1" : "0") + "]\n" + srv_route_offers();
}

namespace {

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady::now().time_since_epoch())
        .count();
}

// A nonzero address no client can guess.
uint64_t random_address() {
    uint64_t value = 0;
    while (value == 0) {
        if (getrandom(&value, sizeof(value), 0) != sizeof(value)) value = 0;
    }
    return value;
}

std::optional<uint64_t> parse_address(std::span<const uint8_t> data) {
    std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    if (size_t nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
    uint64_t n = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return n;
}

// The connection's stream, counting what passes for the connection's closing log line. After
// frame_begin, the first byte is read alone and reported to `on_first_byte`, so that a frame's
// deadline can count from it.
class counting_stream final : public net_stream {
  public:
    explicit counting_stream(net_handle* handle) : inner_(handle) {}
    void frame_begin() { frame_starting_ = true; }
    verr read_full(std::span<uint8_t> buf, size_t* done) override {
        if (!frame_starting_ || buf.size() < 2) {
            frame_starting_ = false;
            const verr status = inner_.read_full(buf, done);
            in += *done;
            return status;
        }
        size_t first = 0;
        verr status = inner_.read_full(buf.first(1), &first);
        in += first;
        *done = first;
        if (status != VERR_SUCCESS) return status;
        frame_starting_ = false;
        if (on_first_byte) on_first_byte();
        size_t rest = 0;
        status = inner_.read_full(buf.subspan(1), &rest);
        in += rest;
        *done += rest;
        return status;
    }
    verr write_full(std::span<const uint8_t> buf, size_t* done) override {
        verr status = inner_.write_full(buf, done);
        out += *done;
        return status;
    }
    uint64_t in = 0;
    uint64_t out = 0;
    std::function<void()> on_first_byte;

  private:
    net_sock_stream inner_;
    bool frame_starting_ = false;
};

}  // namespace

// One connection's state, owned by the thread that serves it.
class srv_session final {
  public:
    // `watch` (may be null) is the deadline the accept loop watches for this connection.
    srv_session(dvsrv* server, net_handle* handle, const char* peer, conn_watch* watch)
        : server_(server), handle_(handle), stream_(handle), peer_(peer), watch_(watch) {}
    srv_session(const srv_session&) = delete;
    srv_session& operator=(const srv_session&) = delete;
    ~srv_session() { detach(); }

    // Serves until the connection ends; returns why it ended, for the closing log line.
    const char* serve();
    const std::string& user() const { return logged_user_; }
    uint64_t bytes_in() const { return stream_.in; }
    uint64_t bytes_out() const { return stream_.out; }

    // The handlers of the connection's own rows (srv_route.cc).
    void login(std::span<const uint8_t> body, sd_frame_msg& reply);
    void key_challenge(std::span<const uint8_t> body, sd_frame_msg& reply);
    void key_answer(std::span<const uint8_t> body, sd_frame_msg& reply);
    void choose_packer(std::span<const uint8_t> data, sd_frame_msg& reply);
    // 101 to 103, 106 and 107.
    void context_control(int32_t cmd, std::span<const uint8_t> data, sd_frame_msg& reply);
    // 104 and 105: answers by itself; false ends the connection.
    bool attach(int32_t cmd, std::span<const uint8_t> data);
    // 2: the client is done.
    void quit();

  private:
    // false ends the connection.
    bool handle_request(uint8_t code, std::span<const uint8_t> body);
    // A login succeeded for `user`: the connection and its context are now that user's. False
    // when max_connections are logged in already (the login is then refused, with the reply's
    // status and text set here).
    bool logged_in_as(const std::string& user, verr* error, std::string* text);
    void detach();
    bool send(const sd_frame_msg& reply, uint8_t code);
    uint8_t protocol() const {
        return server_->conf.key_login ? SD_FRAME_PROTOCOL_KEY_LOGIN : SD_FRAME_PROTOCOL;
    }

    dvsrv* server_;
    net_handle* handle_;
    counting_stream stream_;
    const char* peer_;
    conn_watch* watch_;
    bool logged_in_ = false;
    bool refused_ = false;  // turned away at login: the reply goes out, then the connection ends
    std::string user_;
    std::string logged_user_ = "-";  // who last logged in on this connection, for the closing line
    const char* end_ = nullptr;      // why handle_request ended the connection
    // The challenge of a key login: the key the answer must match, for this connection only.
    bool key_pending_ = false;
    std::string key_expected_;
    std::string key_user_;
    std::vector<uint8_t> frame_;
    sd_frame_msg scratch_;  // replies that are not kept for a repair
    std::shared_ptr<srv_context> ctx_;
};

bool srv_session::send(const sd_frame_msg& reply, uint8_t code) {
    if (!reply.ok()) {
        SRV_LOG(LOG_ERR, "ip=[%s] reply to %d could not be built\n", peer_, code);
        return false;
    }
    return sd_frame_write(stream_, protocol(), code, reply.root()) == SD_FRAME_OK;
}

void srv_session::login(std::span<const uint8_t> body, sd_frame_msg& reply) {
    static constexpr blobmsg_policy kPolicy[] = {{SDF_USER, BLOBMSG_TYPE_STRING},
                                                 {SDF_PASSWD, BLOBMSG_TYPE_STRING}};
    const blob_attr* tb[2] = {};
    verr error = 0;
    std::string text;
    if (blobmsg_parse(kPolicy, 2, tb, body.data(), body.size()) != 0) {
        error = VERR_NET_PROTOCOL_ERROR;
        text = "malformed login request";
    } else {
        const char* user = tb[0] ? blobmsg_get_string(tb[0]) : "";
        const char* pwd = tb[1] ? blobmsg_get_string(tb[1]) : "";
        if (strcmp(user, ":") == 0 && pwd[0] == '\0') {
            // The client's probe: it asks whether credentials are needed, so it is no failure.
            if (server_->conf.anonymous) {
                if (logged_in_as("", &error, &text)) {
                    logged_user_ = "(anonymous)";
                    SRV_LOG(LOG_DBG, "ip=[%s] anonymous login_ok\n", peer_);
                }
            } else {
                error = 1;
                text = "Login required";
            }
        } else if (server_->conf.key_login) {
            logged_in_ = false;
            error = VERR_ACCESS_DENIED;
            text = "Key login required";
        } else {
            char why[512] = "";
            if (libpwd_check_user_pwd(peer_, user, pwd, why, sizeof(why)) == 0) {
                logged_in_as(user, &error, &text);
            } else {
                // A failed attempt on a logged-in connection ends that login too.
                logged_in_ = false;
                error = VERR_ACCESS_DENIED;
                text = why[0] != '\0' ? why : kWrongLogin;
            }
        }
    }
    srv_reply_begin(reply, error, text.c_str());
    reply.add_int32(SDF_OS_TYPE, SD_OS_TYPE_LINUX);
}

void srv_session::key_challenge(std::span<const uint8_t> body, sd_frame_msg& reply) {
    static constexpr blobmsg_policy kPolicy[] = {{SDF_USER, BLOBMSG_TYPE_STRING},
                                                 {SDF_VER, BLOBMSG_TYPE_INT32}};
    const blob_attr* tb[2] = {};
    key_pending_ = false;
    key_expected_.clear();
    if (blobmsg_parse(kPolicy, 2, tb, body.data(), body.size()) != 0 || tb[0] == nullptr) {
        srv_reply_error(reply, VERR_NET_PROTOCOL_ERROR, "malformed login request");
        return;
    }
    const char* user = blobmsg_get_string(tb[0]);
    const int version = tb[1] ? blobmsg_get_int32(tb[1]) : 1;
    char cert[LIBPWD_CERT_SIZE] = "";
    char key[LIBPWD_KEY_SIZE] = "";
    char why[512] = "";
    int version_out = version;
    int rc = libpwd_user_get_cert(peer_, version, &version_out, user, cert, sizeof(cert), key,
                                  sizeof(key), why, sizeof(why));
    if (rc == 2) {
        srv_reply_error(reply, VERR_ACCESS_DENIED, why);
        return;
    }
    if (rc != 0) {
        // An unknown user gets a challenge like anyone else and fails at the answer, so that the
        // reply does not tell which users exist.
        uint8_t random[LIBPWD_CERT_BYTES];
        if (getrandom(random, sizeof(random), 0) != static_cast<ssize_t>(sizeof(random))) {
            srv_reply_error(reply, VERR_GENERAL_FAILURE, "no random data");
            return;
        }
        static constexpr char kHex[] = "0123456789abcdef";
        for (size_t i = 0; i < sizeof(random); ++i) {
            cert[2 * i] = kHex[random[i] >> 4];
            cert[2 * i + 1] = kHex[random[i] & 15];
        }
        cert[2 * sizeof(random)] = '\0';
        key[0] = '\0';
    }
    key_pending_ = true;
    key_expected_ = key;
    key_user_ = user;
    srv_reply_begin(reply, 0, "");
    reply.add_int32(SDF_VER, static_cast<uint32_t>(version_out));
    reply.add_string(SDF_CERT, cert);
}

void srv_session::key_answer(std::span<const uint8_t> body, sd_frame_msg& reply) {
    static constexpr blobmsg_policy kPolicy[] = {{SDF_LKEY, BLOBMSG_TYPE_STRING}};
    const blob_attr* tb[1] = {};
    const bool pending = key_pending_;
    const std::string expected = std::move(key_expected_);
    key_pending_ = false;  // a challenge answers one attempt only
    key_expected_.clear();
    logged_in_ = false;
    if (blobmsg_parse(kPolicy, 1, tb, body.data(), body.size()) != 0 || tb[0] == nullptr) {
        srv_reply_error(reply, VERR_NET_PROTOCOL_ERROR, "malformed login request");
        return;
    }
    if (!pending || expected.empty()) {
        srv_reply_error(reply, VERR_ACCESS_DENIED, kWrongLogin);
        return;
    }
    char why[512] = "";
    if (libpwd_check_key(peer_, blobmsg_get_string(tb[0]), expected.c_str(), why, sizeof(why)) !=
        0) {
        srv_reply_error(reply, VERR_ACCESS_DENIED, why[0] != '\0' ? why : kWrongLogin);
        return;
    }
    verr error = 0;
    std::string text;
    if (!logged_in_as(key_user_, &error, &text)) {
        srv_reply_error(reply, error, text.c_str());
        return;
    }
    srv_reply_begin(reply, 0, "");
}

bool srv_session::logged_in_as(const std::string& user, verr* error, std::string* text) {
    if (watch_ != nullptr && !server_->admit(watch_)) {
        SRV_LOG(LOG_WARN, "ip=[%s] refused: %u connections\n", peer_,
                server_->conf.max_connections);
        logged_in_ = false;
        refused_ = true;
        *error = VERR_TRY_AGAIN;
        *text = "Too many connections, try again later";
        return false;
    }
    logged_in_ = true;
    user_ = user;
    logged_user_ = user;
    if (ctx_->user == user) return true;
    // The lister and the worker were opened under the old user's rights.
    srv_batch_close(*ctx_);
    // A context with an address can be attached by the user it was made for only. When someone
    // else logs in on its connection, its address is withdrawn: the context carries on for this
    // connection alone and no other connection of the new user (or of the old one) can take it.
    if (ctx_->address != 0) {
        SRV_LOG(LOG_INFO, "ip=[%s] another user logged in: context address withdrawn\n", peer_);
        server_->forget_context(ctx_->address);
        ctx_->address = 0;
        ctx_->persistent = false;
    }
    ctx_->user = user;
    ctx_->fd_caps = server_->fd_caps(user);
    return true;
}

// 10001: the packer of the connection's packed data fields.
void srv_session::choose_packer(std::span<const uint8_t> data, sd_frame_msg& reply) {
    std::string_view name(reinterpret_cast<const char*>(data.data()), data.size());
    if (size_t nul = name.find('\0'); nul != std::string_view::npos) name = name.substr(0, nul);
    if (name != "lz4" && name != "none") {
        srv_reply_error(reply, VERR_NOT_SUPPORTED, "unknown packer");
        return;
    }
    zcomp_ctx& pack = ctx_->pack;
    std::memset(pack.name, 0, sizeof(pack.name));
    std::memcpy(pack.name, name.data(), name.size());
    if (zcomp_init(&pack) != 0) {
        srv_reply_error(reply, VERR_NO_MEMORY, "packer could not be made");
        return;
    }
    srv_reply_begin(reply, 0, "");
}

void reply_text(sd_frame_msg& reply, const std::string& text) {
    srv_reply_begin(reply, 0, "");
    reply.add_field(BLOBMSG_TYPE_BINARY, SDF_DATA, text.c_str(), text.size() + 1);
}

void srv_session::context_control(int32_t cmd, std::span<const uint8_t> data, sd_frame_msg& reply) {
    if (cmd == SD_CTL_CTX_INIT) {
        ctx_->persistent = true;
        reply_text(reply, "");
        return;
    }
    if (cmd == SD_CTL_CTX_GET_ADDR) {
        if (ctx_->address == 0) {
            std::lock_guard<std::mutex> lock(server_->context_mutex);
            if (server_->contexts.size() >= server_->conf.max_contexts) {
                srv_reply_error(reply, VERR_TRY_AGAIN, "too many server contexts");
                return;
            }
            uint64_t address = random_address();
            while (server_->contexts.count(address) != 0) address = random_address();
            ctx_->address = address;
            server_->contexts[address] = ctx_;
        }
        reply_text(reply, std::to_string(ctx_->address));
        return;
    }
    auto address = parse_address(data);
    if (!address) {
        srv_reply_error(reply, VERR_INVALID_PARAMETER, "bad context address");
        return;
    }
    std::shared_ptr<srv_context> target = *address == 0 ? ctx_ : server_->find_context(*address);
    if (!target || target->user != user_) {
        srv_reply_error(reply, VERR_NOT_FOUND, "no such context");
        return;
    }
    if (cmd == SD_CTL_CTX_LAST_INDEX) {
        reply_text(reply, std::to_string(target->completed.load()));
    } else if (cmd == SD_CTL_CTX_RUN_STATUS) {
        reply_text(reply, target->executing ? "1" : "0");
    } else if (cmd == SD_CTL_CTX_REQ_STOP) {
        if (target != ctx_) {
            std::lock_guard<std::mutex> lock(target->mutex);
            if (target->handle != nullptr) {
                // Ends the old connection's wait for a request and any write it is stuck in.
                target->handle->stop = 1;
                shutdown(sock_fd(target->handle->sock), SHUT_RDWR);
            }
        }
        srv_batch_interrupt(*target);
        reply_text(reply, "");
    } else {
        srv_reply_error(reply, VERR_NOT_SUPPORTED, "Not supported.");
    }
}

bool srv_session::attach(int32_t cmd, std::span<const uint8_t> data) {
    auto address = parse_address(data);
    std::shared_ptr<srv_context> target;
    if (address && *address != 0) target = server_->find_context(*address);
    const char* refusal = nullptr;
    if (!target || target->user != user_) {
        refusal = "no such context";
    } else if (target->executing) {
        refusal = "context busy";
    } else if (cmd == SD_CTL_CTX_ATTACH_REPLY && !target->reply.ok()) {
        refusal = "no response to repeat";
    }
    if (refusal == nullptr && target != ctx_) {
        // Checked and taken in one step: of two connections attaching at once, one gets it.
        std::lock_guard<std::mutex> lock(target->mutex);
        if (target->handle != nullptr) {
            refusal = "context in use";
        } else {
            target->handle = handle_;
        }
    }
    if (refusal != nullptr) {
        SRV_LOG(LOG_WARN, "ip=[%s] attach refused: %s\n", peer_, refusal);
        srv_reply_error(scratch_, VERR_NOT_FOUND, refusal);
        return send(scratch_, SD_REQ_IOCTL);
    }
    if (target != ctx_) {
        detach();
        ctx_ = target;
    }
    SRV_LOG(LOG_INFO, "ip=[%s] attached to context, %llu requests done, %s\n", peer_,
            static_cast<unsigned long long>(ctx_->completed.load()),
            cmd == SD_CTL_CTX_ATTACH_REPLY ? "last response sent again" : "lost request awaited");
    if (cmd == SD_CTL_CTX_ATTACH_REPLY) return send(ctx_->reply, ctx_->reply_code);
    reply_text(scratch_, "");
    return send(scratch_, SD_REQ_IOCTL);
}

// Lets go of the connection's context: one kept for a repair stays with the server, any other
// ends here with everything it opened.
void srv_session::detach() {
    if (!ctx_) return;
    {
        std::lock_guard<std::mutex> lock(ctx_->mutex);
        if (ctx_->handle == handle_) {
            // What a context keeps for a repair is sized by what it holds, not by what its
            // last request reserved.
            ctx_->reply.compact();
            srv_file_release_buffers(*ctx_);
            ctx_->handle = nullptr;
        }
        ctx_->last_used_ms = now_ms();
    }
    if (ctx_->address != 0 && !ctx_->persistent) server_->forget_context(ctx_->address);
    ctx_.reset();
}

void srv_session::quit() {
    // The client is done: nothing it opened is kept for a repair.
    if (ctx_->address != 0) server_->forget_context(ctx_->address);
    ctx_->persistent = false;
}

bool srv_session::handle_request(uint8_t code, std::span<const uint8_t> body) {
    srv_call call{.ctx = *ctx_, .session = this, .code = code, .body = body, .reply = ctx_->reply};
    const srv_route* route = srv_route_find(&call);
    if (!logged_in_ && (route->needs & SRV_OPEN) == 0) {
        SRV_LOG(LOG_WARN, "ip=[%s] request %d before login: closed\n", peer_, code);
        end_ = "request before login";
        return false;
    }
    if ((route->needs & SRV_UNCOUNTED) != 0) {
        // Not counted: a re-attach carries on the count of the context it attaches to.
        srv_call own{.ctx = *ctx_,
                     .session = this,
                     .code = code,
                     .body = body,
                     .fd = call.fd,
                     .cmd = call.cmd,
                     .data = call.data,
                     .olen = call.olen,
                     .reply = scratch_};
        route->handler(own);
        end_ = own.end;
        return own.end == nullptr;
    }
    srv_context& ctx = *ctx_;
    ctx.executing = true;
    srv_route_run(*route, call);
    // Counted and kept before the response goes out, so that a response lost on the way can be
    // asked for again.
    const uint64_t index = ++ctx.completed;
    ctx.reply_code = code;
    ctx.executing = false;
    SRV_LOG(LOG_DBG, "ip=[%s] ctx=%llu idx=%llu request %u executed\n", peer_,
            static_cast<unsigned long long>(ctx.serial), static_cast<unsigned long long>(index),
            code);
    const bool sent = send(ctx.reply, code);
    if (refused_) {
        end_ = "too many connections";
        return false;
    }
    if (call.end != nullptr) {
        end_ = call.end;
        return false;
    }
    return sent;
}

const char* srv_session::serve() {
    ctx_ = srv_context_new(&server_->conf, server_->root.get(), "");
    if (!ctx_) {
        SRV_LOG(LOG_ERR, "ip=[%s] no memory for a context: closed\n", peer_);
        return "no memory";
    }
    ctx_->handle = handle_;
    ctx_->fd_caps = server_->fd_caps("");
    const auto started = watch_ != nullptr ? watch_->accepted : steady::now();
    auto last_request = steady::now();
    const auto login_limit = std::chrono::seconds(server_->conf.login_timeout_s);
    const auto idle_limit = std::chrono::seconds(server_->conf.idle_timeout_s);
    const int64_t frame_limit_ms = int64_t{1000} * server_->conf.read_timeout_s;
    const int32_t slice_ms = static_cast<int32_t>(std::min<int64_t>(
        kReadSliceMs, 1000 * int64_t{std::max<uint32_t>(1, server_->conf.login_timeout_s)}));
    handle_->timeout_ms = slice_ms;
    // Before a login the deadline from accept holds (the accept loop armed it); after, each frame
    // gets the read time-out from its first byte.
    stream_.on_first_byte = [this, frame_limit_ms] {
        if (watch_ != nullptr && logged_in_) watch_->arm(now_ms() + frame_limit_ms);
    };
    for (;;) {
        if (server_->stopping) handle_->stop = 1;
        sd_frame_head head;
        const size_t cap = logged_in_ ? SD_FRAME_MAX_SIZE : DVSRV_LOGIN_FRAME_MAX;
        stream_.frame_begin();
        int status = sd_frame_read(stream_, &frame_, &head, cap);
        const auto now = steady::now();
        if (watch_ != nullptr && watch_->fired) {
            if (!logged_in_) {
                SRV_LOG(LOG_WARN, "ip=[%s] no login in time: closed\n", peer_);
                return "no login in time";
            }
            SRV_LOG(LOG_WARN, "ip=[%s] request not complete in %u s: closed\n", peer_,
                    server_->conf.read_timeout_s);
            return "request not complete in time";
        }
        if (status == SD_FRAME_TIMEOUT) {
            // A quiet connection gives back the buffers its largest requests left.
            if (frame_.capacity() > kIdleKeepBytes) std::vector<uint8_t>().swap(frame_);
            srv_file_release_buffers(*ctx_);
            ctx_->reply.compact();
            if (!logged_in_ && now - started >= login_limit) {
                SRV_LOG(LOG_WARN, "ip=[%s] no login in time: closed\n", peer_);
                return "no login in time";
            }
            if (logged_in_ && now - last_request >= idle_limit) {
                SRV_LOG(LOG_INFO, "ip=[%s] idle: closed\n", peer_);
                return "idle";
            }
            continue;
        }
        if (status != SD_FRAME_OK) {
            SRV_LOG(LOG_DBG, "ip=[%s] frame status %d: closed\n", peer_, status);
            if (status == SD_FRAME_USER_STOP) return "server stopping";
            if (status == SD_FRAME_NET_ERROR) return "closed by the client";
            return "malformed frame";
        }
        if (!logged_in_ && now - started >= login_limit) {
            SRV_LOG(LOG_WARN, "ip=[%s] no login in time: closed\n", peer_);
            return "no login in time";
        }
        // A request runs without a deadline of the read (the login's, before a login, stays).
        if (watch_ != nullptr && logged_in_) watch_->disarm();
        last_request = now;
        std::span<const uint8_t> body(frame_.data() + BLOB_ATTR_HEADER_SIZE,
                                      head.padded_len - BLOB_ATTR_HEADER_SIZE);
        const bool was_logged_in = logged_in_;
        if (!handle_request(head.code, body)) return end_ != nullptr ? end_ : "reply not delivered";
        if (watch_ != nullptr && was_logged_in != logged_in_) {
            // A login lifts the deadline from accept; a failed login on a logged-in connection
            // gives it a login's time again.
            if (logged_in_) {
                watch_->disarm();
            } else {
                watch_->arm(now_ms() + int64_t{1000} * server_->conf.login_timeout_s);
            }
        }
    }
}

namespace {

void serve_watched(dvsrv* server, net_handle* handle, const char* peer_address, conn_watch* watch) {
    const auto started = steady::now();
    srv_session s(server, handle, peer_address, watch);
    const char* outcome = s.serve();
    const double seconds = std::chrono::duration<double>(steady::now() - started).count();
    // One line per connection, for whoever runs the server: who, how it ended, how much moved.
    SRV_LOG(LOG_INFO, "ip=[%s] user=[%s] %s: %llu bytes in, %llu bytes out, %.3f s\n", peer_address,
            s.user().c_str(), outcome, static_cast<unsigned long long>(s.bytes_in()),
            static_cast<unsigned long long>(s.bytes_out()), seconds);
}

}  // namespace

void dvsrv_serve(dvsrv* server, net_handle* handle, const char* peer_address) {
    serve_watched(server, handle, peer_address, nullptr);
}

// ---- the connection's rows of the request table ----

void srv_req_login(srv_call& call) {
    call.session->login(call.body, call.reply);
}

void srv_req_key_login1(srv_call& call) {
    call.session->key_challenge(call.body, call.reply);
}

void srv_req_key_login2(srv_call& call) {
    call.session->key_answer(call.body, call.reply);
}

void srv_req_quit(srv_call& call) {
    call.session->quit();
    call.end = "quit";
}

void srv_req_info(srv_call& call) {
    // The kinds of node this client may make through the batch worker.
    const rdir_attr_policy policy = srv_attr_policy(call.ctx);
    std::string kinds;
    if (rdir_attr_policy_node(policy, S_IFIFO)) kinds += "fifo,sock";
    if (rdir_attr_policy_node(policy, S_IFCHR)) kinds += ",chr,blk";
    srv_reply_begin(call.reply, 0, "");
    call.reply.add_string(SDF_INFO, (dvsrv_info_text() + "nodes=[" + kinds + "]\n").c_str());
}

void srv_ctl_pack(srv_call& call) {
    call.session->choose_packer(call.data, call.reply);
}

void srv_ctl_file_timeout(srv_call& call) {
    srv_reply_begin(call.reply, 0, "");
}

void srv_ctl_context(srv_call& call) {
    call.session->context_control(call.cmd, call.data, call.reply);
}

void srv_ctl_attach(srv_call& call) {
    if (!call.session->attach(call.cmd, call.data)) call.end = "reply not delivered";
}
