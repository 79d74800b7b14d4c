// The server's settings: the keys of the command line and of the INI file.
#include <charconv>
#include <memory>
#include <optional>
#include <string>

#include "libconf/ini/conf.h"
#include "libdvsrv/dvsrv.h"
#include "libdvsrv/srv_metrics.h"

namespace {

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
    {"pipe", &dvsrv_conf::pipe, 0, 1024},
};

constexpr char kUserPrefix[] = "user/";

// The [user/NAME] sections, in file order.
int load_users(::conf* ini, const char* path, dvsrv_conf* settings, std::string* err) {
    for (const std::string& section : conf_get_sections(ini)) {
        if (section.rfind(kUserPrefix, 0) != 0) continue;
        dvsrv_user user;
        user.name = section.substr(sizeof(kUserPrefix) - 1);
        auto fail = [&](const std::string& why) {
            *err = std::string(path) + ": [" + section + "] " + why;
            return -1;
        };
        if (user.name.empty()) return fail("names no user");
        for (const std::string& key : conf_get_keys(ini, section.c_str())) {
            const std::string value = conf_get_str(ini, section.c_str(), key.c_str(), "");
            if (key == "passwd") {
                user.passwd = value;
            } else if (key == "root") {
                user.root = value;
            } else if (key == "hosts_allow") {
                user.hosts_allow = value;
            } else if (key == "read_only") {
                if (value != "0" && value != "1") {
                    return fail("read_only=" + value + ": must be 0 or 1");
                }
                user.read_only = value == "1";
            } else {
                return fail("unknown key \"" + key + "\"");
            }
        }
        for (const dvsrv_user& other : settings->users) {
            if (other.name == user.name) return fail("user given twice");
        }
        settings->users.push_back(std::move(user));
    }
    return 0;
}

}  // namespace

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
    } else if (key == "read_only") {
        if (value != "0" && value != "1") {
            *err = "read_only=" + std::string(value) + ": must be 0 or 1";
            return -1;
        }
        conf->read_only = value == "1";
    } else if (key == "hosts_allow") {
        conf->hosts_allow = value;
    } else if (key == "hosts_deny") {
        conf->hosts_deny = value;
    } else if (key == "run_as") {
        conf->run_as = value;
    } else if (key == "metrics") {
        std::string host;
        uint32_t port = 0;
        if (!value.empty() && !srv_metrics_address_parse(value, &host, &port, err)) return -1;
        conf->metrics = value;
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
                                            "read_only",
                                            "hosts_allow",
                                            "hosts_deny",
                                            "run_as",
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
                                            "pipe",
                                            "ssl_port",
                                            "ssl_cert",
                                            "ssl_key",
                                            "metrics"};
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
    return load_users(ini.get(), path, settings, err);
}
