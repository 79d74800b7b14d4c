#include "libpal/url.h"

#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "liblog/log2.h"
#include "libpal/strnum.h"
#include "libpal/url_internal.h"

#define PAL_LOG(level, ...) DV_LOG("pal", level, __VA_ARGS__)

namespace {

// Hands out NUL-terminated texts from the caller's fixed storage. The last byte is
// kept as a shared empty text, so a part that no longer fits is cut or empty but
// never points outside the storage.
class part_writer final {
  public:
    explicit part_writer(char* storage) : base_(storage) {}
    part_writer(const part_writer&) = delete;
    part_writer& operator=(const part_writer&) = delete;

    char* put(std::string_view text) {
        const size_t room = PL_MAX_URL - 1 - used_;
        if (room == 0) return base_ + PL_MAX_URL - 1;
        const size_t n = std::min(text.size(), room - 1);
        char* out = base_ + used_;
        memcpy(out, text.data(), n);
        out[n] = '\0';
        used_ += n + 1;
        return out;
    }

  private:
    char* base_;
    size_t used_ = 0;
};

bool is_host_end(char c) {
    return c == '\0' || pal_is_blank(c) || c == '\\' || c == '&' || c == '/' || c == ':' ||
           c == '?';
}

std::string_view or_empty(const char* text) {
    return text != nullptr ? text : "";
}

// `text` with its %-escapes undone.
std::string unescaped(std::string_view text) {
    std::string out(text);
    out.resize(strlen(str_unescape_url(out.data())));
    return out;
}

bool scheme_is(const url_info* info, const char* name) {
    return info != nullptr && info->protocol != nullptr && strcasecmp(info->protocol, name) == 0;
}

// The query of a URL text: after the first "?", or the whole text without one.
std::string_view query_of(const char* url) {
    const char* q = strchr(url, '?');
    return q != nullptr ? std::string_view(q + 1) : std::string_view(url);
}

// Finds the first item of `query` naming `key`; sets `value` to the raw text after "=".
bool find_query_item(std::string_view query, std::string_view key, std::string_view* value) {
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view item = query.substr(0, amp);
        if (item.size() >= key.size() && item.substr(0, key.size()) == key) {
            const std::string_view rest = item.substr(key.size());
            if (rest.empty() || rest.front() == '=') {
                *value = rest.empty() ? rest : rest.substr(1);
                return true;
            }
        }
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return false;
}

// The unescaped value of `key`, or false when absent.
bool query_value(const char* url, const char* key, std::string* out) {
    if (url == nullptr || key == nullptr || *key == '\0') return false;
    std::string_view raw;
    if (!find_query_item(query_of(url), key, &raw)) return false;
    out->assign(raw);
    out->resize(strlen(str_unescape_url(out->data())));
    return true;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

const char* mode_name(int mode) {
    switch (mode) {
        case URL_QUERY_SET_ALWAYS:
            return "set_always";
        case URL_QUERY_SET_NOT_EXIST:
            return "set_not_exist";
        case URL_QUERY_SET_EXIST:
            return "set_exist";
        case URL_QUERY_DEL_EXIST:
            return "del_exist";
        default:
            return "unknown";
    }
}

constexpr const char* kKeyForbidden = ";/\\\"'?:@# &=";

// Stores `text` into the PL_MAX_URL buffer `url`, or refuses when it does not fit.
bool store_url(char* url, const std::string& text) {
    if (text.size() >= PL_MAX_URL) return false;
    memcpy(url, text.c_str(), text.size() + 1);
    return true;
}

}  // namespace

int url_parser(url_info* info, char* storage, const char* text) {
    memset(info, 0, sizeof(*info));
    memset(storage, 0, PL_MAX_URL);
    part_writer parts(storage);

    std::string copy(text != nullptr ? text : "");
    if (copy.size() >= PL_MAX_URL) copy.resize(PL_MAX_URL - 1);
    copy.resize(pal_trim_quotes_blanks(copy.data(), copy.size()));
    std::replace(copy.begin(), copy.end(), '\\', '/');
    std::string_view rest(copy);

    char* const empty = parts.put("");
    bool port_valid = true;
    info->user = info->passwd = info->host = info->path = info->query = info->hash = empty;

    if (rest.starts_with("///")) {
        info->protocol = parts.put("name");
        rest.remove_prefix(3);
    } else if (const size_t sep = rest.find("://"); sep != std::string_view::npos) {
        info->protocol = parts.put(rest.substr(0, sep));
        rest.remove_prefix(sep + 3);
    } else {
        info->protocol = parts.put("file");
        const size_t q = rest.find('?');
        info->path = parts.put(rest.substr(0, q));
        if (q != std::string_view::npos) info->query = parts.put(rest.substr(q + 1));
        return 0;
    }

    // User information lives in the authority only: an "@" in the path or the query is data.
    // The last "@" of the authority counts, so that an unescaped "@" in a password still works.
    const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    if (const size_t at = authority.rfind('@'); at != std::string_view::npos) {
        const std::string_view userinfo = authority.substr(0, at);
        const size_t colon = userinfo.find(':');
        info->user = parts.put(unescaped(userinfo.substr(0, colon)));
        if (colon != std::string_view::npos) {
            info->passwd = parts.put(unescaped(userinfo.substr(colon + 1)));
        }
        rest.remove_prefix(at + 1);
    }

    if (rest.starts_with('[')) {
        const size_t close = rest.find(']');
        info->host = parts.put(rest.substr(1, close == std::string_view::npos ? close : close - 1));
        rest.remove_prefix(close == std::string_view::npos ? rest.size() : close + 1);
    } else {
        size_t n = 0;
        while (n < rest.size() && !is_host_end(rest[n])) ++n;
        info->host = parts.put(rest.substr(0, n));
        rest.remove_prefix(n);
    }

    if (rest.starts_with(':')) {
        rest.remove_prefix(1);
        uint64_t port = 0;
        for (int digits = 0;
             digits < 12 && !rest.empty() && rest.front() >= '0' && rest.front() <= '9'; ++digits) {
            port = port * 10 + static_cast<uint64_t>(rest.front() - '0');
            rest.remove_prefix(1);
        }
        if (port > UINT16_MAX) {
            port_valid = false;
            port = 0;
        }
        info->port = static_cast<uint16_t>(port);
    }

    while (!rest.empty() && pal_is_blank(rest.front())) rest.remove_prefix(1);
    const size_t path_end = rest.find_first_of("?#");
    const std::string_view path = rest.substr(0, path_end);
    info->path = parts.put(path.empty() ? std::string_view("/") : path);
    rest.remove_prefix(path_end == std::string_view::npos ? rest.size() : path_end);

    if (rest.starts_with('?')) {
        while (!rest.empty() && (rest.front() == '?' || pal_is_blank(rest.front()))) {
            rest.remove_prefix(1);
        }
        const size_t hash = rest.find('#');
        info->query = parts.put(rest.substr(0, hash));
        rest.remove_prefix(hash == std::string_view::npos ? rest.size() : hash);
    }
    if (rest.starts_with('#')) info->hash = parts.put(rest.substr(1));
    return port_valid ? 0 : -1;
}

int url_to_str(const url_info* info, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return -1;
    if (info == nullptr || info->protocol == nullptr) {
        buffer[0] = '\0';
        return -1;
    }
    // A record filled by hand may leave parts null.
    const std::string_view user = or_empty(info->user), passwd = or_empty(info->passwd),
                           host = or_empty(info->host), path = or_empty(info->path),
                           query = or_empty(info->query), hash = or_empty(info->hash);
    std::string out(info->protocol);
    out.append("://");
    if (scheme_is(info, "file")) {
        out.append(path);
    } else {
        // Escaped so that ":", "@", "/" and the like in credentials parse back unchanged.
        if (!user.empty()) {
            out.append(str_escape_url_args(user));
            if (!passwd.empty()) out.append(":").append(str_escape_url_args(passwd));
            out.append("@");
        }
        // An IPv6 address only parses back as a host inside brackets.
        if (host.find(':') != std::string_view::npos) {
            out.append("[").append(host).append("]");
        } else {
            out.append(host);
        }
        if (info->port != 0) out.append(":").append(std::to_string(info->port));
        out.append(path);
        if (!query.empty()) out.append("?").append(query);
        if (!hash.empty()) out.append("#").append(hash);
    }
    const size_t n = std::min(out.size(), size - 1);
    memcpy(buffer, out.data(), n);
    buffer[n] = '\0';
    return n == out.size() ? 0 : -1;
}

int url_get_type(const url_info* info) {
    if (info == nullptr || info->protocol == nullptr) return URL_TYPE_UNKNOWN;
    if (scheme_is(info, "file")) return URL_TYPE_FILE;
    if (scheme_is(info, "name")) return URL_TYPE_NAME;
    if (scheme_is(info, "http") || scheme_is(info, "https")) return URL_TYPE_HTTP;
    if (scheme_is(info, "ftp") || scheme_is(info, "ftps")) return URL_TYPE_FTP;
    if (scheme_is(info, "dvp") || scheme_is(info, "dvps")) return URL_TYPE_DVP;
    return URL_TYPE_UNKNOWN;
}

int url_default_port(const url_info* info) {
    if (info == nullptr) return 0;
    if (info->port != 0) return info->port;
    if (scheme_is(info, "http")) return 80;
    if (scheme_is(info, "https")) return 443;
    return 0;
}

bool url_is_tls(const url_info* info) {
    return info != nullptr && info->protocol != nullptr &&
           (strcmp(info->protocol, "tcps") == 0 || strcmp(info->protocol, "https") == 0);
}

const char* url_get_query(const char* url, const char* key, const char* def, char* buffer,
                          size_t size) {
    if (buffer == nullptr || size == 0) return buffer;
    std::string value;
    const char* src = query_value(url, key, &value) ? value.c_str() : (def != nullptr ? def : "");
    const size_t n = std::min(strlen(src), size - 1);
    memmove(buffer, src, n);
    buffer[n] = '\0';
    return buffer;
}

int url_get_query_int(const char* url, const char* key, int def) {
    const int64_t v = url_get_query_int64(url, key, def);
    return static_cast<int>(std::clamp<int64_t>(v, INT_MIN, INT_MAX));
}

int64_t url_get_query_int64(const char* url, const char* key, int64_t def) {
    std::string value;
    if (!query_value(url, key, &value) || value.empty()) return def;
    // strtoll clamps on overflow and gives 0 without digits: both wanted here.
    const long long v = strtoll(value.c_str(), nullptr, 10);
    return static_cast<int64_t>(v);
}

uint64_t url_get_query_size(const char* url, const char* key, uint64_t def) {
    std::string value;
    if (!query_value(url, key, &value) || value.empty()) return def;
    return str_size_parse(value.c_str());
}

bool url_has_query(const char* url, const char* key) {
    std::string_view raw;
    return url != nullptr && key != nullptr && *key != '\0' &&
           find_query_item(query_of(url), key, &raw);
}

int url_set_query(char* url, const char* key, const char* value, int escape, int mode) {
    const char* reason = nullptr;
    char reason_buf[64];
    std::string val;
    if (url == nullptr || key == nullptr || value == nullptr) {
        reason = "key or val cannot be null";
    } else if (*key == '\0') {
        reason = "key cannot be empty";
    } else if (strpbrk(key, kKeyForbidden) != nullptr) {
        snprintf(reason_buf, sizeof(reason_buf), "key cannot contain [%s]", kKeyForbidden);
        reason = reason_buf;
    } else if (mode < URL_QUERY_SET_ALWAYS || mode > URL_QUERY_DEL_EXIST) {
        reason = "mode is invalid";
    } else {
        val = escape ? str_escape_url_args(value) : std::string(value);
        if (!escape && val.find('&') != std::string::npos) {
            snprintf(reason_buf, sizeof(reason_buf), "escape_val cannot contain [%s]", "&");
            reason = reason_buf;
        } else if (val.empty() && mode != URL_QUERY_DEL_EXIST) {
            reason = "val cannot be empty";
        }
    }

    if (reason == nullptr) {
        const std::string_view whole(url);
        const size_t q = whole.find('?');
        const std::string_view query =
            q == std::string_view::npos ? std::string_view() : whole.substr(q + 1);
        std::string out;
        bool changed = true;
        if (!query.empty()) {
            const std::string_view k(key);
            out.assign(whole.substr(0, q));
            bool matched = false;
            size_t items = 0;
            auto add_item = [&](std::string_view item) {
                out.append(items++ == 0 ? "?" : "&").append(item);
            };
            std::string_view rest = query;
            while (true) {
                const size_t amp = rest.find('&');
                const std::string_view item = rest.substr(0, amp);
                if (!item.empty()) {
                    const bool hit =
                        item.size() > k.size() && item.starts_with(k) && item[k.size()] == '=';
                    if (!hit || mode == URL_QUERY_SET_NOT_EXIST) {
                        add_item(item);
                    } else if (mode != URL_QUERY_DEL_EXIST) {
                        add_item(std::string(k) + "=" + val);
                    }
                    matched = matched || hit;
                }
                if (amp == std::string_view::npos) break;
                rest.remove_prefix(amp + 1);
            }
            if (!matched && (mode == URL_QUERY_SET_ALWAYS || mode == URL_QUERY_SET_NOT_EXIST)) {
                add_item(std::string(k) + "=" + val);
            }
        } else if (mode == URL_QUERY_SET_EXIST || mode == URL_QUERY_DEL_EXIST) {
            changed = false;
        } else {
            out.assign(whole.substr(0, q));  // a lone trailing "?" goes
            out.append("?").append(key).append("=").append(val);
        }
        if (changed && !store_url(url, out)) reason = "url too long";
    }

    if (reason != nullptr) {
        PAL_LOG(LOG_ERR, "url=[%s] key=[%s] val=[%s] escape=[%d] mode=[%s] error: %s\n",
                url != nullptr ? url : "", key != nullptr ? key : "", value != nullptr ? value : "",
                escape, mode_name(mode), reason);
        return -1;
    }
    return 0;
}

int url_set_query_int(char* url, const char* key, int value) {
    char text[32];
    snprintf(text, sizeof(text), "%d", value);
    return url_set_query(url, key, text, 1, URL_QUERY_SET_ALWAYS);
}

int url_set_query_int64(char* url, const char* key, int64_t value) {
    char text[32];
    snprintf(text, sizeof(text), "%lli", static_cast<long long>(value));
    return url_set_query(url, key, text, 1, URL_QUERY_SET_ALWAYS);
}

int url_add_path(char* url, const char* path) {
    if (url == nullptr || path == nullptr) return -1;
    const std::string_view whole(url);
    const size_t q = whole.find('?');
    std::string out(whole.substr(0, q));
    if (*path != '/' && *path != '\\') out.push_back('/');
    out.append(path);
    if (q != std::string_view::npos) out.append(whole.substr(q));
    return store_url(url, out) ? 0 : -1;
}

int url_append_query(char* url, const char* text) {
    if (url == nullptr || text == nullptr) return -1;
    std::string out(url);
    out.append(strchr(url, '?') != nullptr ? "&" : "?").append(text);
    return store_url(url, out) ? 0 : -1;
}

std::string str_escape_url_args(std::string_view in) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(in.size());
    for (const char ch : in) {
        const auto c = static_cast<unsigned char>(ch);
        if (is_unreserved(c)) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xf]);
        }
    }
    return out;
}

int str_escape_url_args(const char* in, char* out, size_t size) {
    if (out == nullptr || size == 0) return -1;
    const std::string escaped = str_escape_url_args(std::string_view(in != nullptr ? in : ""));
    if (escaped.size() >= size) {
        out[0] = '\0';
        return -1;
    }
    memcpy(out, escaped.c_str(), escaped.size() + 1);
    return static_cast<int>(escaped.size());
}

char* str_unescape_url(char* text) {
    if (text == nullptr) return text;
    char* out = text;
    for (const char* in = text; *in != '\0'; ++in) {
        if (*in == '%' && hex_value(in[1]) >= 0 && hex_value(in[2]) >= 0) {
            *out++ = static_cast<char>(hex_value(in[1]) * 16 + hex_value(in[2]));
            in += 2;
        } else {
            *out++ = *in;
        }
    }
    *out = '\0';
    return text;
}

namespace {

// The URL of a proxy in the query carries the proxy's password (encoded, not hidden).
std::string mask_proxy_url_values(std::string text) {
    const size_t query = text.find('?');
    if (query == std::string::npos) return text;
    static constexpr std::string_view kKey = "proxy_url=";
    size_t item = query + 1;
    while (item < text.size()) {
        size_t end = text.find_first_of("&#", item);
        if (end == std::string::npos) end = text.size();
        if (std::string_view(text).substr(item, end - item).starts_with(kKey)) {
            text.replace(item + kKey.size(), end - item - kKey.size(), "***");
            end = item + kKey.size() + 3;
        }
        if (end >= text.size() || text[end] == '#') break;
        item = end + 1;
    }
    return text;
}

std::string mask_user_password(std::string_view text) {
    const size_t scheme_end = text.find("://");
    if (scheme_end == std::string_view::npos) return std::string(text);
    const size_t user_start = scheme_end + 3;
    size_t authority_end = text.find_first_of("/?#", user_start);
    if (authority_end == std::string_view::npos) authority_end = text.size();
    const std::string_view authority = text.substr(user_start, authority_end - user_start);
    const size_t at = authority.rfind('@');
    if (at == std::string_view::npos) return std::string(text);
    const size_t colon = authority.find(':');
    if (colon == std::string_view::npos || colon > at) return std::string(text);
    std::string masked(text.substr(0, user_start + colon + 1));
    masked += "***";
    masked += text.substr(user_start + at);
    return masked;
}

}  // namespace

std::string url_mask_password(std::string_view text) {
    return mask_proxy_url_values(mask_user_password(text));
}
