// The server: opening it (settings checked, root, credentials, caps), its kept contexts, its
// information text, closing it.
#include "libdvsrv/srv_server.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "libdvsrv/srv_route.h"
#include "liblog/log2.h"
#include "libpwd/libpwd.h"

int64_t srv_now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               srv_steady::now().time_since_epoch())
        .count();
}

void dvsrv::expire_contexts(bool all) {
    std::vector<std::shared_ptr<srv_context>> gone;
    const int64_t limit = int64_t{1000} * conf.context_timeout_s;
    const int64_t now =
        std::chrono::duration_cast<std::chrono::milliseconds>(srv_steady::now().time_since_epoch())
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

// A password as configured: plain, or "{SHA}" and the base64 of a SHA-1 digest.
bool password_form_ok(const std::string& pwd) {
    if (pwd.empty()) return false;
    if (pwd.rfind("{SHA}", 0) != 0) return true;
    const std::string b64 = pwd.substr(5);
    if (b64.size() != 28 || b64.back() != '=') return false;
    for (size_t i = 0; i + 1 < b64.size(); ++i) {
        const char c = b64[i];
        if (!isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/') return false;
    }
    return true;
}

// The users of [user/NAME] sections, checked and their roots opened; the faulty section named.
bool open_accounts(dvsrv* server, std::string* err) {
    const dvsrv_conf& conf = server->conf;
    if (!srv_net_list_parse(conf.hosts_allow, &server->hosts_allow, err)) {
        *err = "hosts_allow=: " + *err;
        return false;
    }
    if (!srv_net_list_parse(conf.hosts_deny, &server->hosts_deny, err)) {
        *err = "hosts_deny=: " + *err;
        return false;
    }
    if (!conf.user.empty()) server->accounts[conf.user].root = server->root.get();
    for (const dvsrv_user& user : conf.users) {
        const std::string section = "[user/" + user.name + "] ";
        if (server->accounts.count(user.name) != 0) {
            *err = section + "the same user as user=";
            return false;
        }
        if (user.name.find_first_of(LIBPWD_REFUSED_CHARS) != std::string::npos) {
            *err = section + "user name must not hold any of " + LIBPWD_REFUSED_CHARS;
            return false;
        }
        if (!password_form_ok(user.passwd)) {
            *err = section + "passwd= must be a password or {SHA} and 28 base64 characters";
            return false;
        }
        srv_account account;
        if (!srv_net_list_parse(user.hosts_allow, &account.allow, err)) {
            *err = section + "hosts_allow=: " + *err;
            return false;
        }
        account.read_only = user.read_only;
        account.root = server->root.get();
        if (!user.root.empty()) {
            struct stat st {};
            if (stat(user.root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                *err = section + "root=" + user.root + ": not a directory";
                return false;
            }
            account.own_root.reset(os_root_open(user.root.c_str(), OS_ROOT_IN_ROOT));
            if (!account.own_root) {
                *err = section + "root=" + user.root + ": " + strerror(errno);
                return false;
            }
            account.root = account.own_root.get();
        }
        server->accounts.emplace(user.name, std::move(account));
    }
    return true;
}

// Hands every user to the credentials module: the first of them as its configured user.
bool configure_credentials(const dvsrv_conf& conf, std::string* err) {
    const bool first_is_section = conf.user.empty() && !conf.users.empty();
    libpwd_conf pwd;
    pwd.user = first_is_section ? conf.users[0].name.c_str() : conf.user.c_str();
    pwd.pwd = first_is_section ? conf.users[0].passwd.c_str() : conf.passwd.c_str();
    pwd.login_fail_count = conf.login_fail_count;
    pwd.login_lock_minutes = conf.login_lock_minutes;
    if (libpwd_init(&pwd) != 0) {
        *err = "user or passwd too long";
        return false;
    }
    for (size_t i = first_is_section ? 1 : 0; i < conf.users.size(); ++i) {
        if (libpwd_add_user(conf.users[i].name.c_str(), conf.users[i].passwd.c_str()) != 0) {
            *err = "[user/" + conf.users[i].name + "] passwd too long";
            libpwd_exit();
            return false;
        }
    }
    return true;
}

// metrics= names an address this machine can listen on (check=1 says so before a start does).
bool metrics_address_resolves(const std::string& address, std::string* err) {
    std::string host;
    uint32_t port = 0;
    if (!srv_metrics_address_parse(address, &host, &port, err)) return false;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (found != nullptr) freeaddrinfo(found);
    if (rc != 0) {
        *err = "metrics=" + address + ": " + gai_strerror(rc);
        return false;
    }
    return true;
}

}  // namespace

dvsrv* dvsrv_open(const dvsrv_conf& conf, std::string* err) {
    if (conf.root.empty()) {
        *err = "root= is required";
        return nullptr;
    }
    if (conf.user.empty() && conf.users.empty() && !conf.anonymous) {
        *err = "either user= (with passwd=), a [user/NAME] section or anonymous=1 is required";
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
    if (!open_accounts(server.get(), err)) return nullptr;
    if (!conf.run_as.empty() &&
        srv_resolve_run_as(conf.run_as, &server->run_as_uid, &server->run_as_gid, err) != 0) {
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
    if (!conf.metrics.empty() && !metrics_address_resolves(conf.metrics, err)) return nullptr;
    if (!configure_credentials(conf, err)) return nullptr;
    server->metrics.started_s = static_cast<int64_t>(time(nullptr));
    SRV_LOG(LOG_INFO, "root=[%s] user=[%s] passwd=[%s] anonymous=%d read_only=%d\n",
            conf.root.c_str(), conf.user.c_str(), libpwd_log_mask(conf.passwd.c_str()),
            conf.anonymous ? 1 : 0, conf.read_only ? 1 : 0);
    for (const dvsrv_user& user : conf.users) {
        SRV_LOG(LOG_INFO, "user=[%s] root=[%s] read_only=%d hosts_allow=[%s]\n", user.name.c_str(),
                user.root.empty() ? conf.root.c_str() : user.root.c_str(), user.read_only ? 1 : 0,
                user.hosts_allow.c_str());
    }
    size_fd_caps(server.get());
    return server.release();
}

void dvsrv_close(dvsrv* server) {
    if (server == nullptr) return;
    libpwd_exit();
    delete server;
}

std::string dvsrv_info_text(const dvsrv_conf& conf) {
    utsname names{};
    std::string arch = uname(&names) == 0 ? names.machine : "unknown";
    const char* order = std::endian::native == std::endian::little ? "little" : "big";
    return std::string("ver=[") + DVSRV_VERSION + "]\nplat=[linux]\narch=[" + arch + "]\nbit=[" +
           std::to_string(sizeof(void*) * 8) + "]\norder=[" + order + "]\nis_root=[" +
           (geteuid() == 0 ? "1" : "0") + "]\n" + srv_route_offers(conf);
}
