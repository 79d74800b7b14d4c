#include "libconf/ini/conf_client.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "libconf/ini/conf.h"
#include "liblog/log2.h"
#include "libpal/url.h"

#define CLIENT_LOG(level, ...) DV_LOG("conf", level, __VA_ARGS__)

namespace {

constexpr const char* kConfSection = "conf";
constexpr const char* kGuiProfile = "dvmo-gui-user.ini";
constexpr const char* kClientProfile = "dv_client.ini";
constexpr const char* kProxyProfile = "dv_proxy.ini";
constexpr int kDefaultConnectTimeout = 6;
constexpr int kDefaultReadTimeout = 15;
constexpr int kDefaultWriteTimeout = 8;

struct conf_deleter {
    void operator()(conf* c) const { conf_close(c); }
};
using conf_ptr = std::unique_ptr<conf, conf_deleter>;

// Set once at start-up; the mutex only makes a late second call (tests) safe.
std::mutex g_paths_mutex;
std::string g_client_file;
std::string g_proxy_file;

std::string normalized_path(const std::string& dir, const char* name) {
    std::string path = dir + "\\" + name;
    path = path_normalized(path);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

bool is_file(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string section_of(const char* name) {
    return std::string("session/") + name;
}

// A missing profile is the usual case, not worth the reader's complaint on standard error.
conf_ptr load_client() {
    const std::string file = dv_conf_client_file();
    if (file.empty() || access(file.c_str(), F_OK) != 0) return nullptr;
    return conf_ptr(conf_load(file.c_str()));
}

conf_ptr create_load_client() {
    const std::string file = dv_conf_client_file();
    conf_ptr c(file.empty() ? nullptr : conf_create_load(file.c_str()));
    if (!c) CLIENT_LOG(LOG_ERR, "conf_create_load [%s] fail\n", file.c_str());
    return c;
}

void copy_out(char* out, size_t out_len, const std::string& text) {
    if (out == nullptr || out_len == 0) return;
    snprintf(out, out_len, "%s", text.c_str());
}

// A session that the walk writes when it is missing.
void ensure_session(conf* c, const char* name, const char* prot) {
    const std::string section = section_of(name);
    if (!conf_has_key(c, section.c_str(), "prot")) conf_set_str(c, section.c_str(), "prot", prot);
}

void replace_all(std::string* text, char from, char to) {
    std::replace(text->begin(), text->end(), from, to);
}

}  // namespace

int dv_conf_set_path(const char* directory) {
    std::string dir = directory != nullptr ? directory : "";
    const char* env_dir = getenv("DV_ENV_CONF_DIR");
    const bool use_env = env_dir != nullptr && env_dir[0] != '\0';
    if (use_env) CLIENT_LOG(LOG_DBG, "use env_conf_dir=[%s]\n", env_dir);
    const std::string profile_dir = use_env ? env_dir : dir;

    std::string client = normalized_path(profile_dir, kGuiProfile);
    if (!is_file(client)) client = normalized_path(profile_dir, kClientProfile);
    const std::string proxy = normalized_path(profile_dir, kProxyProfile);
    {
        std::lock_guard<std::mutex> lock(g_paths_mutex);
        g_client_file = client;
        g_proxy_file = proxy;
    }
    setenv("DV_PROXY_FILE", proxy.c_str(), 1);
    setenv("DV_CACHE", normalized_path(dir, "var\\cache").c_str(), 1);
    conf_ptr c = load_client();
    if (c) {
        const char* cache_dir = conf_get_str(c.get(), kConfSection, "cache_dir", nullptr);
        if (cache_dir != nullptr && cache_dir[0] != '\0') setenv("DV_CACHE", cache_dir, 1);
    }
    CLIENT_LOG(LOG_VERB, "conf_client=[%s] conf_proxy=[%s]\n", client.c_str(), proxy.c_str());
    return 0;
}

std::string dv_conf_client_file() {
    std::lock_guard<std::mutex> lock(g_paths_mutex);
    return g_client_file;
}

std::string dv_conf_proxy_file() {
    std::lock_guard<std::mutex> lock(g_paths_mutex);
    return g_proxy_file;
}

int dv_conf_get_str(const char* key, char* out, size_t out_len) {
    const bool is_cache = key != nullptr && strcmp(key, "cache_dir") == 0;
    const char* cache = getenv("DV_CACHE");
    std::string value = is_cache && cache != nullptr ? cache : "";
    conf_ptr c = load_client();
    if (c && key != nullptr) value = conf_get_str(c.get(), kConfSection, key, value.c_str());
    copy_out(out, out_len, path_normalized(value));
    return 0;
}

int dv_conf_set_str(const char* key, const char* value) {
    if (key == nullptr || value == nullptr) return -1;
    conf_ptr c = create_load_client();
    if (!c) return -1;
    if (conf_set_str(c.get(), kConfSection, key, value) != 0 || conf_save(c.get()) != 0) {
        return -1;
    }
    if (strcmp(key, "cache_dir") == 0) setenv("DV_CACHE", value, 1);
    return 0;
}

int dv_conf_set_int(const char* key, int value) {
    return dv_conf_set_str(key, std::to_string(value).c_str());
}

int conf_client_get_info(const char* name, conf_client* record, err_info* err) {
    conf_ptr c = load_client();
    if (!c) {
        ERR_INFO_SET(err, VERR_INVALID_PARAMETER, "conf_load %s failed",
                     dv_conf_client_file().c_str());
        return -1;
    }
    const std::string section = section_of(name != nullptr ? name : "");
    const char* prot = conf_get_str(c.get(), section.c_str(), "prot", nullptr);
    if (prot == nullptr) {
        ERR_INFO_SET(err, VERR_INVALID_PARAMETER, "'%s' does not exist", name ? name : "");
        return -1;
    }
    conf_client loaded;
    loaded.name = name;
    const char* s = section.c_str();
    if (strcmp(prot, "dvp") == 0) {
        loaded.prot = CONF_CLIENT_DVP;
        const char* ip = conf_get_str(c.get(), s, "ip", nullptr);
        if (ip == nullptr) {
            ERR_INFO_SET(err, VERR_INVALID_PARAMETER, "Failed to get ip");
            return -1;
        }
        loaded.ip = ip;
        loaded.use_ssl = conf_get_int(c.get(), s, "use_ssl", 0) != 0 ? 1 : 0;
        loaded.port = conf_get_str(c.get(), s, "port", "");
        loaded.user = conf_get_str(c.get(), s, "user", "");
        loaded.pwd = conf_get_str(c.get(), s, "pwd", "");
        loaded.bs = conf_get_str(c.get(), s, "bs", "2M");
        loaded.fmod = conf_get_str(c.get(), s, "fmod", "644");
        loaded.dmod = conf_get_str(c.get(), s, "dmod", "755");
        loaded.proxy = conf_get_str(c.get(), s, "proxy", "");
    } else if (strcmp(prot, "net") == 0) {
        loaded.prot = CONF_CLIENT_NETWORK;
    } else if (strcmp(prot, "loc") == 0) {
        loaded.prot = CONF_CLIENT_LOCAL;
    } else {
        ERR_INFO_SET(err, VERR_INVALID_PARAMETER, "Unsupported protocol [%s]", prot);
        return -1;
    }
    *record = std::move(loaded);
    return 0;
}

int conf_client_set_info(const conf_client* record) {
    if (record == nullptr) return -1;
    CLIENT_LOG(LOG_DBG, "prot=%d path=[%s]\n", static_cast<int>(record->prot),
               dv_conf_client_file().c_str());
    if (record->prot != CONF_CLIENT_DVP && record->prot != CONF_CLIENT_NETWORK) {
        CLIENT_LOG(LOG_ERR, "cc->prot=%d error\n", static_cast<int>(record->prot));
        return -1;
    }
    conf_ptr c = create_load_client();
    if (!c) return -1;
    const std::string section = section_of(record->name.c_str());
    const char* s = section.c_str();
    int rc = 0;
    if (record->prot == CONF_CLIENT_NETWORK) {
        rc |= conf_set_str(c.get(), s, "prot", "net");
    } else {
        rc |= conf_set_str(c.get(), s, "prot", "dvp");
        rc |= conf_set_str(c.get(), s, "ip", record->ip.c_str());
        rc |= conf_set_int(c.get(), s, "use_ssl", record->use_ssl);
        rc |= conf_set_str(c.get(), s, "port", record->port.c_str());
        rc |= conf_set_str(c.get(), s, "user", record->user.c_str());
        rc |= conf_set_str(c.get(), s, "pwd", record->pwd.c_str());
        rc |= conf_set_str(c.get(), s, "bs", record->bs.c_str());
        rc |= conf_set_str(c.get(), s, "fmod", record->fmod.c_str());
        rc |= conf_set_str(c.get(), s, "dmod", record->dmod.c_str());
        rc |= conf_set_str(c.get(), s, "proxy", record->proxy.c_str());
    }
    if (rc != 0) return -1;
    return conf_save(c.get());
}

int conf_client_is_exist(const char* name) {
    conf_ptr c = load_client();
    if (!c) {
        CLIENT_LOG(LOG_DBG, "conf_load [%s] failed\n", dv_conf_client_file().c_str());
        return -1;
    }
    return conf_has_section(c.get(), section_of(name ? name : "").c_str()) ? 1 : 0;
}

int conf_client_del(const char* name) {
    conf_ptr c = load_client();
    if (!c || name == nullptr) return -1;
    if (conf_del_section(c.get(), section_of(name).c_str()) != 0) return -1;
    return conf_save(c.get());
}

int conf_client_copy_move(const char* from, const char* to) {
    conf_ptr c = load_client();
    if (!c || from == nullptr || to == nullptr) return -1;
    if (conf_rename_section(c.get(), section_of(from).c_str(), section_of(to).c_str()) != 0) {
        return -1;
    }
    return conf_save(c.get());
}

int conf_walk_item(conf_walk_callback callback, void* context) {
    conf_ptr c = create_load_client();
    if (!c) return -1;
    const bool had_both = conf_has_key(c.get(), "session/localhost", "prot") &&
                          conf_has_key(c.get(), "session/network", "prot");
    ensure_session(c.get(), "localhost", "loc");
    ensure_session(c.get(), "network", "net");
    if (!had_both && conf_save(c.get()) != 0) return -1;
    for (const std::string& section : conf_get_sections_match(c.get(), "session/*")) {
        const std::string name = section.substr(strlen("session/"));
        if (name == "network" || name == "_Quick_Connection") continue;
        conf_client record;
        if (conf_client_get_info(name.c_str(), &record, nullptr) != 0) continue;
        if (callback != nullptr) callback(context, name.c_str(), record.prot);
    }
    return 0;
}

char* conf_client_to_url(const conf_client* record, char* out, size_t out_len) {
    std::string url;
    if (record->prot == CONF_CLIENT_LOCAL) {
        url = "loc://";
    } else if (record->prot == CONF_CLIENT_NETWORK) {
        url = "net://" + record->name;
    } else if (record->prot == CONF_CLIENT_DVP) {
        url = record->use_ssl != 0 ? "dvps://" : "dvp://";
        // Escaped, so that a password holding "@", ":" or "/" survives the URL parser.
        if (!record->user.empty()) {
            url += str_escape_url_args(record->user);
            if (!record->pwd.empty()) url += ":" + str_escape_url_args(record->pwd);
            url += "@";
        }
        std::string host = record->ip;
        replace_all(&host, '_', ':');
        url += host.find(':') != std::string::npos ? "[" + host + "]" : host;
        const bool default_port = (record->use_ssl == 1 && record->port == "DVPS_DEF_PORT") ||
                                  (record->use_ssl == 0 && record->port == "DVP_DEF_PORT");
        if (!record->port.empty() && !default_port) url += ":" + record->port;
        if (!record->proxy.empty()) url += "?proxy=" + str_escape_url_args(record->proxy);
    }
    copy_out(out, out_len, url);
    if (out != nullptr && out_len != 0 && url.size() >= out_len) {
        CLIENT_LOG(LOG_WARN, "session [%s] url too long\n", record->name.c_str());
    }
    return out;
}

int conf_client_url_resolve(const char* url, char* out, err_info* err) {
    std::string text = url != nullptr ? url : "";
    if (text.size() >= PL_MAX_URL) {
        ERR_INFO_SET(err, VERR_BUFFER_OVERFLOW, "url too long");
        return -1;
    }
    replace_all(&text, '\\', '/');
    if (text.compare(0, 3, "///") != 0) {
        copy_out(out, PL_MAX_URL, text);
        return 0;
    }
    const std::string rest = text.substr(3);
    const size_t slash = rest.find('/');
    const std::string name = rest.substr(0, slash);
    std::string path = slash == std::string::npos ? "/" : rest.substr(slash);
    // A session name ends at the first "/"; options written right after it belong to the path.
    std::string query;
    std::string base_name = name;
    if (slash == std::string::npos) {
        const size_t mark = name.find('?');
        if (mark != std::string::npos) {
            base_name = name.substr(0, mark);
            query = name.substr(mark + 1);
        }
    }

    std::vector<char> base(PL_MAX_URL, '\0');
    if (!base_name.empty()) {
        conf_client record;
        if (conf_client_get_info(base_name.c_str(), &record, err) != 0) return -1;
        conf_client_to_url(&record, base.data(), base.size());
        if (strncmp(base.data(), "loc://", 6) == 0) base[0] = '\0';
    }
    const size_t mark = path.find('?');
    if (mark != std::string::npos) {
        query = path.substr(mark + 1);
        path.resize(mark);
    }
    if ((!query.empty() && url_append_query(base.data(), query.c_str()) != 0) ||
        url_add_path(base.data(), path.c_str()) != 0) {
        ERR_INFO_SET(err, VERR_BUFFER_OVERFLOW, "url too long");
        return -1;
    }
    std::string result = base.data();
    replace_all(&result, '\\', '/');
    copy_out(out, PL_MAX_URL, result);
    return 0;
}

int conf_client_url_resolve_inplace(char* url, err_info* err) {
    std::vector<char> out(PL_MAX_URL);
    if (conf_client_url_resolve(url, out.data(), err) != 0) return -1;
    memcpy(url, out.data(), PL_MAX_URL);
    return 0;
}

int conf_client_add_timeouts(char* url) {
    int timeouts[3] = {kDefaultConnectTimeout, kDefaultReadTimeout, kDefaultWriteTimeout};
    static const char* const kKeys[3] = {"connect_timeout", "read_timeout", "write_timeout"};
    conf_ptr c = load_client();
    if (c) {
        for (int i = 0; i < 3; ++i) {
            timeouts[i] = conf_get_int(c.get(), kConfSection, kKeys[i], timeouts[i]);
        }
    }
    std::vector<char> edited(url, url + PL_MAX_URL);
    for (int i = 0; i < 3; ++i) {
        const std::string value = std::to_string(timeouts[i]);
        if (url_set_query(edited.data(), kKeys[i], value.c_str(), 1, URL_QUERY_SET_NOT_EXIST) !=
            0) {
            return -1;
        }
    }
    memcpy(url, edited.data(), PL_MAX_URL);
    return 0;
}
