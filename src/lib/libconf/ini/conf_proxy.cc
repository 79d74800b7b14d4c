#include "libconf/ini/conf_proxy.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "libconf/ini/conf.h"
#include "liblog/log2.h"
#include "libpal/url.h"

#define PROXY_LOG(level, ...) DV_LOG("conf", level, __VA_ARGS__)

namespace {

// The profile file stores the password in a field of 256 characters, two per byte.
constexpr size_t kMaxStoredPwd = 127;

struct conf_deleter {
    void operator()(conf* c) const { conf_close(c); }
};
using conf_ptr = std::unique_ptr<conf, conf_deleter>;

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool hex_decode(const char* text, std::string* out) {
    const size_t len = strlen(text);
    if (len % 2 != 0) return false;
    out->clear();
    for (size_t i = 0; i < len; i += 2) {
        const int high = hex_digit(text[i]);
        const int low = hex_digit(text[i + 1]);
        if (high < 0 || low < 0) return false;
        out->push_back(static_cast<char>(high * 16 + low));
    }
    return true;
}

std::string hex_encode(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(kDigits[c >> 4]);
        out.push_back(kDigits[c & 15]);
    }
    return out;
}

std::string host_for_url(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// Fills the profile from a proxy URL; false when the text is not a URL with a scheme.
bool profile_from_url(const char* text, conf_proxy* profile) {
    if (text == nullptr || strstr(text, "://") == nullptr || strlen(text) >= PL_MAX_URL) {
        return false;
    }
    std::vector<char> storage(PL_MAX_URL);
    url_info info;
    if (url_parser(&info, storage.data(), text) != 0) return false;
    profile->proto = info.protocol;
    profile->user = info.user;
    profile->pwd = info.passwd;
    profile->host = info.host;
    profile->port = info.port;
    return true;
}

int fail(err_info* err, const char* text) {
    ERR_INFO_SET(err, VERR_INVALID_PARAMETER, "%s", text);
    PROXY_LOG(LOG_DBG, "%s\n", text);
    return -1;
}

}  // namespace

int32_t conf_proxy_type_of(const char* proto) {
    if (proto == nullptr) return CONF_PROXY_NONE;
    if (strcasecmp(proto, "http") == 0) return CONF_PROXY_HTTP;
    if (strcasecmp(proto, "socks4") == 0) return CONF_PROXY_SOCKS4;
    if (strcasecmp(proto, "socks5") == 0) return CONF_PROXY_SOCKS5;
    return CONF_PROXY_NONE;
}

int conf_proxy_get(const char* proxy_url, const char* proxy_name, conf_proxy* profile,
                   err_info* err) {
    *profile = conf_proxy{};
    char text[PL_MAX_URL + 64];
    if (proxy_url != nullptr && proxy_url[0] != '\0') {
        if (!profile_from_url(proxy_url, profile)) {
            snprintf(text, sizeof text, "proxy url [%s] invalid",
                     url_mask_password(proxy_url).c_str());
            return fail(err, text);
        }
    } else if (proxy_name == nullptr || proxy_name[0] == '\0') {
        const char* env = getenv("http_proxy");
        if (env == nullptr || env[0] == '\0') return 1;
        const std::string shown = url_mask_password(env);
        PROXY_LOG(LOG_VERB, "use http_proxy=%s\n", shown.c_str());
        if (!profile_from_url(env, profile)) {
            snprintf(text, sizeof text, "env url [%s] invalid", shown.c_str());
            return fail(err, text);
        }
    } else {
        const char* file = getenv("DV_PROXY_FILE");
        if (file == nullptr || file[0] == '\0') return fail(err, "%DV_ENV_PROXY_FILE% Is NULL");
        std::string url;
        if (conf_proxy_load(file, proxy_name, profile, &url, err) != 0) return -1;
        PROXY_LOG(LOG_VERB, "use proxy=%s [%s]\n", proxy_name, url_mask_password(url).c_str());
    }
    profile->type = conf_proxy_type_of(profile->proto.c_str());
    if (profile->type == CONF_PROXY_NONE) {
        snprintf(text, sizeof text, "proxy protocol [%s] Unsupported", profile->proto.c_str());
        return fail(err, text);
    }
    if (profile->host.empty()) return fail(err, "proxy ip is empty");
    if (profile->port == 0) return fail(err, "proxy port is empty");
    return 0;
}

int conf_proxy_load(const char* file, const char* name, conf_proxy* profile, std::string* url_out,
                    err_info* err) {
    conf_ptr c(file != nullptr ? conf_load(file) : nullptr);
    if (!c) {
        ERR_INFO_SET(err, VERR_INVALID_PARAMETER, "conf_load [%s] failed", file ? file : "");
        return -1;
    }
    if (name == nullptr || !conf_has_section(c.get(), name)) {
        ERR_INFO_SET(err, VERR_INVALID_PARAMETER, "proxy name [%s] does not exist",
                     name ? name : "");
        return -1;
    }
    conf_proxy loaded;
    loaded.proto = conf_get_str(c.get(), name, "proto", "");
    loaded.host = conf_get_str(c.get(), name, "ip", "");
    const int port = conf_get_int(c.get(), name, "port", 0);
    loaded.port = port > 0 && port <= 65535 ? static_cast<uint32_t>(port) : 0;
    loaded.user = conf_get_str(c.get(), name, "user", "");
    const char* stored_pwd = conf_get_str(c.get(), name, "pwd", "");
    if (!hex_decode(stored_pwd, &loaded.pwd)) {
        // The stored text is not shown: it may be most of a password.
        ERR_INFO_SET(err, VERR_INVALID_PARAMETER, "proxy pwd [%s] invalid", name);
        return -1;
    }
    loaded.type = conf_proxy_type_of(loaded.proto.c_str());
    if (url_out != nullptr) {
        std::string url = loaded.proto + "://";
        if (!loaded.user.empty() && !loaded.pwd.empty()) {
            url += str_escape_url_args(loaded.user) + ":" + str_escape_url_args(loaded.pwd) + "@";
        }
        url += host_for_url(loaded.host) + ":" + std::to_string(loaded.port);
        *url_out = url;
    }
    *profile = std::move(loaded);
    return 0;
}

int conf_proxy_save(const char* file, const char* name, const conf_proxy* profile) {
    if (file == nullptr || name == nullptr || profile == nullptr) return -1;
    conf_ptr c(conf_create_load(file));
    if (!c) {
        PROXY_LOG(LOG_ERR, "conf_create_load %s failed\n", file);
        return -1;
    }
    if (profile->pwd.size() > kMaxStoredPwd) {
        PROXY_LOG(LOG_ERR, "encode data failed\n");
        return -1;
    }
    static const char* const kNames[] = {"unkown", "http", "socks4", "socks5"};
    const char* proto = profile->type >= CONF_PROXY_HTTP && profile->type <= CONF_PROXY_SOCKS5
                            ? kNames[profile->type]
                            : kNames[0];
    if (conf_set_str(c.get(), name, "proto", proto) != 0 ||
        conf_set_str(c.get(), name, "ip", profile->host.c_str()) != 0 ||
        conf_set_int(c.get(), name, "port", static_cast<int>(profile->port)) != 0 ||
        conf_set_str(c.get(), name, "user", profile->user.c_str()) != 0 ||
        conf_set_str(c.get(), name, "pwd", hex_encode(profile->pwd).c_str()) != 0) {
        return -1;
    }
    return conf_save(c.get());
}

int conf_proxy_set(const char* old_name, const char* new_name, const conf_proxy* profile) {
    const char* file = getenv("DV_PROXY_FILE");
    if (file == nullptr || file[0] == '\0' || new_name == nullptr) return -1;
    if (old_name != nullptr && old_name[0] != '\0' && strcmp(old_name, new_name) != 0) {
        conf_ptr c(conf_create_load(file));
        if (!c) {
            PROXY_LOG(LOG_ERR, "conf_create_load %s failed\n", file);
            return -1;
        }
        if (conf_rename_section(c.get(), old_name, new_name) == 0 && conf_save(c.get()) != 0) {
            return -1;
        }
    }
    return conf_proxy_save(file, new_name, profile);
}

std::vector<std::string> conf_proxy_list() {
    const char* file = getenv("DV_PROXY_FILE");
    if (file == nullptr || file[0] == '\0') return {};
    conf_ptr c(conf_load(file));
    if (!c) return {};
    return conf_get_sections(c.get());
}

std::string conf_proxy_get_name(int index) {
    const std::vector<std::string> names = conf_proxy_list();
    if (index < 1 || static_cast<size_t>(index) > names.size()) return "";
    return names[static_cast<size_t>(index) - 1];
}

bool conf_proxy_check(const char* name, std::string* url_out) {
    const char* file = getenv("DV_PROXY_FILE");
    if (file == nullptr || file[0] == '\0') return false;
    conf_proxy profile;
    return conf_proxy_load(file, name, &profile, url_out, nullptr) == 0;
}
