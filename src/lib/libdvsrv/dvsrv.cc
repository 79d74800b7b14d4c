#include "libdvsrv/dvsrv.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
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
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "libconf/ini/conf.h"
#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_frame.h"
#include "libdvsd/sd_wire.h"
#include "liblog/log2.h"
#include "libpal/os_root.h"
#include "libpal/verr.h"
#include "libpwd/libpwd.h"

#define SRV_LOG(level, ...) DV_LOG("dvsd", level, __VA_ARGS__)

namespace {

using steady = std::chrono::steady_clock;

// A read waits at most this long without progress before the deadlines are looked at again.
constexpr int32_t kReadSliceMs = 10000;
constexpr char kWrongLogin[] = "Wrong user or password";
// Byte 2 of every response: this server takes the password login.
constexpr uint8_t kProtocolPasswordLogin = 1;
constexpr uint32_t kOsTypeLinux = 2;

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
    {"max_connections", &dvsrv_conf::max_connections, 1, 100000},
    {"login_timeout", &dvsrv_conf::login_timeout_s, 1, 86400},
    {"idle_timeout", &dvsrv_conf::idle_timeout_s, 1, 7 * 86400},
    {"login_fail_count", &dvsrv_conf::login_fail_count, 0, 1000000},
    {"login_lock_minutes", &dvsrv_conf::login_lock_minutes, 1, 10 * 365 * 24 * 60},
};

// One connection served by dvsrv_run: its socket and the thread that serves it.
struct connection final {
    net_handle handle;
    std::string peer;
    std::thread thread;
    std::atomic<bool> finished{false};

    connection() = default;
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;
    ~connection() { net_close(&handle); }
};

struct listener final {
    int fd = -1;
    std::string url;
};

}  // namespace

struct dvsrv {
    // Fixed after dvsrv_open / dvsrv_listen.
    dvsrv_conf conf;
    std::unique_ptr<os_root, decltype(&os_root_close)> root{nullptr, os_root_close};
    std::vector<listener> listeners;
    int wake_pipe[2] = {-1, -1};  // written by dvsrv_stop to end the accept loop's wait

    std::atomic<bool> stopping{false};

    // State below is protected by mutex; only dvsrv_run adds or removes connections.
    std::mutex mutex;
    std::list<std::unique_ptr<connection>> connections;

    ~dvsrv() {
        for (listener& l : listeners) close(l.fd);
        if (wake_pipe[0] >= 0) close(wake_pipe[0]);
        if (wake_pipe[1] >= 0) close(wake_pipe[1]);
    }
};

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
    } else if (key == "level") {
        conf->level = value;
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
                       std::to_string(k.min) + " to " + std::to_string(k.max);
                return -1;
            }
            conf->*k.field = *n;
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
    static constexpr const char* kKeys[] = {
        "root",         "listen",           "port",
        "user",         "passwd",           "anonymous",
        "level",        "max_connections",  "login_timeout",
        "idle_timeout", "login_fail_count", "login_lock_minutes"};
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

int dvsrv_listen(dvsrv* server, std::string* err) {
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
    const std::string port = std::to_string(server->conf.port);
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
        *err = "listen=" + host + " port=" + port + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t bound_len = sizeof(bound);
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &bound_len);
    std::string shown = address_text(bound);
    if (bound.ss_family == AF_INET6) shown = "[" + shown + "]";
    server->listeners.push_back({fd, "dvp://" + shown + ":" + std::to_string(address_port(bound))});
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
                done.push_back(std::move(*it));
                it = server->connections.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : done) c->thread.join();
}

void accept_one(dvsrv* server, int listen_fd) {
    sockaddr_storage peer{};
    socklen_t peer_len = sizeof(peer);
    int fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &peer_len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            SRV_LOG(LOG_WARN, "accept error: %s\n", strerror(errno));
        }
        return;
    }
    auto c = std::make_unique<connection>();
    c->handle.sock = sock_from_fd(fd);
    c->peer = address_text(peer);
    std::lock_guard<std::mutex> lock(server->mutex);
    if (server->connections.size() >= server->conf.max_connections) {
        SRV_LOG(LOG_WARN, "ip=[%s] refused: %zu connections\n", c->peer.c_str(),
                server->connections.size());
        return;  // the socket closes with the connection
    }
    if (server->stopping) return;
    connection* raw = c.get();
    raw->thread = std::thread([server, raw] {
        pthread_setname_np(pthread_self(), "dvsd_conn");
        dvsrv_serve(server, &raw->handle, raw->peer.c_str());
        raw->finished = true;
    });
    server->connections.push_back(std::move(c));
}

}  // namespace

int dvsrv_run(dvsrv* server) {
    std::vector<pollfd> fds;
    fds.push_back({server->wake_pipe[0], POLLIN, 0});
    for (const listener& l : server->listeners) fds.push_back({l.fd, POLLIN, 0});
    int status = 0;
    while (!server->stopping) {
        int n = poll(fds.data(), fds.size(), 1000);
        if (n < 0 && errno != EINTR) {
            SRV_LOG(LOG_ERR, "poll error: %s\n", strerror(errno));
            status = -1;
            break;
        }
        reap(server, false);
        if (n <= 0) continue;
        for (size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents & POLLIN) accept_one(server, fds[i].fd);
        }
    }
    dvsrv_stop(server);
    reap(server, true);
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
           (geteuid() == 0 ? "1" : "0") + "]\n";
}

namespace {

// One connection's state, owned by the thread that serves it.
class session final {
  public:
    session(dvsrv* server, net_handle* handle, const char* peer)
        : server_(server), handle_(handle), stream_(handle), peer_(peer) {}
    session(const session&) = delete;
    session& operator=(const session&) = delete;

    void serve();

  private:
    // false ends the connection.
    bool handle_request(uint8_t code, std::span<const uint8_t> body);
    bool login(std::span<const uint8_t> body);
    bool reply_status(uint8_t code, verr error, const char* text);
    bool send(uint8_t code);
    bool begin(verr error, const char* text);

    dvsrv* server_;
    net_handle* handle_;
    net_sock_stream stream_;
    const char* peer_;
    bool logged_in_ = false;
    std::vector<uint8_t> frame_;
    sd_frame_msg reply_;
};

bool session::begin(verr error, const char* text) {
    return reply_.reset() == 0 && reply_.add_int32(SDF_ERRNO, static_cast<uint32_t>(error)) &&
           reply_.add_string(SDF_ERRNO_STR, text);
}

bool session::send(uint8_t code) {
    if (!reply_.ok()) {
        SRV_LOG(LOG_ERR, "ip=[%s] reply to %d could not be built\n", peer_, code);
        return false;
    }
    return sd_frame_write(stream_, kProtocolPasswordLogin, code, reply_.root()) == SD_FRAME_OK;
}

bool session::reply_status(uint8_t code, verr error, const char* text) {
    begin(error, text);
    return send(code);
}

bool session::login(std::span<const uint8_t> body) {
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
                logged_in_ = true;
                SRV_LOG(LOG_DBG, "ip=[%s] anonymous login_ok\n", peer_);
            } else {
                error = 1;
                text = "Login required";
            }
        } else {
            char why[512] = "";
            if (libpwd_check_user_pwd(peer_, user, pwd, why, sizeof(why)) == 0) {
                logged_in_ = true;
            } else {
                // A failed attempt on a logged-in connection ends that login too.
                logged_in_ = false;
                error = VERR_ACCESS_DENIED;
                text = why[0] != '\0' ? why : kWrongLogin;
            }
        }
    }
    begin(error, text.c_str());
    reply_.add_int32(SDF_OS_TYPE, kOsTypeLinux);
    return send(SD_REQ_LOGIN);
}

bool session::handle_request(uint8_t code, std::span<const uint8_t> body) {
    if (code == SD_REQ_QUIT) return false;
    if (code == SD_REQ_LOGIN) return login(body);
    if (!logged_in_) {
        SRV_LOG(LOG_WARN, "ip=[%s] request %d before login: closed\n", peer_, code);
        return false;
    }
    if (code == SD_REQ_INFO) {
        begin(0, "");
        reply_.add_string(SDF_INFO, dvsrv_info_text().c_str());
        return send(code);
    }
    char text[64];
    snprintf(text, sizeof(text), "Unknown request %d", code);
    return reply_status(code, VERR_NOT_IMPLEMENTED, text);
}

void session::serve() {
    const auto started = steady::now();
    auto last_request = started;
    const auto login_limit = std::chrono::seconds(server_->conf.login_timeout_s);
    const auto idle_limit = std::chrono::seconds(server_->conf.idle_timeout_s);
    const int32_t slice_ms = static_cast<int32_t>(std::min<int64_t>(
        kReadSliceMs, 1000 * int64_t{std::max<uint32_t>(1, server_->conf.login_timeout_s)}));
    handle_->timeout_ms = slice_ms;
    for (;;) {
        if (server_->stopping) handle_->stop = 1;
        sd_frame_head head;
        const size_t cap = logged_in_ ? SD_FRAME_MAX_SIZE : DVSRV_LOGIN_FRAME_MAX;
        int status = sd_frame_read(stream_, &frame_, &head, cap);
        const auto now = steady::now();
        if (status == SD_FRAME_TIMEOUT) {
            if (!logged_in_ && now - started >= login_limit) {
                SRV_LOG(LOG_WARN, "ip=[%s] no login in time: closed\n", peer_);
                return;
            }
            if (logged_in_ && now - last_request >= idle_limit) {
                SRV_LOG(LOG_INFO, "ip=[%s] idle: closed\n", peer_);
                return;
            }
            continue;
        }
        if (status != SD_FRAME_OK) {
            SRV_LOG(LOG_DBG, "ip=[%s] frame status %d: closed\n", peer_, status);
            return;
        }
        if (!logged_in_ && now - started >= login_limit) {
            SRV_LOG(LOG_WARN, "ip=[%s] no login in time: closed\n", peer_);
            return;
        }
        last_request = now;
        std::span<const uint8_t> body(frame_.data() + BLOB_ATTR_HEADER_SIZE,
                                      head.padded_len - BLOB_ATTR_HEADER_SIZE);
        if (!handle_request(head.code, body)) return;
    }
}

}  // namespace

void dvsrv_serve(dvsrv* server, net_handle* handle, const char* peer_address) {
    session s(server, handle, peer_address);
    s.serve();
}
