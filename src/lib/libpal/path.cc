#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "liblog/log2.h"
#include "libpal/url.h"
#include "libpal/url_internal.h"

namespace {

bool is_sep(char c) {
    return c == '/' || c == '\\';
}

const char* last_sep(const char* path) {
    const char* slash = strrchr(path, '/');
    const char* back = strrchr(path, '\\');
    if (slash == nullptr) return back;
    if (back == nullptr) return slash;
    return std::max(slash, back);
}

// Copies `text` into `out` (`size` bytes), cut; `out` may overlap the source.
void copy_cut(char* out, size_t size, std::string_view text) {
    const size_t n = std::min(text.size(), size - 1);
    memmove(out, text.data(), n);
    out[n] = '\0';
}

}  // namespace

size_t pal_trim_quotes_blanks(char* text, size_t len) {
    size_t begin = 0;
    size_t end = len;
    bool changed = true;
    while (changed) {
        changed = false;
        while (begin < end && pal_is_blank(text[begin])) {
            ++begin;
            changed = true;
        }
        while (end > begin && pal_is_blank(text[end - 1])) {
            --end;
            changed = true;
        }
        if (end - begin >= 2 && (text[begin] == '"' || text[begin] == '\'') &&
            text[end - 1] == text[begin]) {
            ++begin;
            --end;
            changed = true;
        }
    }
    memmove(text, text + begin, end - begin);
    text[end - begin] = '\0';
    return end - begin;
}

char* path_normalize(char* path) {
    if (path == nullptr) return path;
    size_t len = pal_trim_quotes_blanks(path, strlen(path));
    std::replace(path, path + len, '\\', '/');
    if (len > 0 && std::all_of(path, path + len, [](char c) { return c == '/'; })) {
        path[1] = '\0';
        return path;
    }
    static constexpr std::string_view kFileScheme = "file://";
    if (std::string_view(path, len).starts_with(kFileScheme)) {
        memmove(path, path + kFileScheme.size(), len - kFileScheme.size() + 1);
        len -= kFileScheme.size();
    }
    size_t out = 0;
    for (size_t in = 0; in < len; ++in) {
        if (path[in] == '/' && out > 0 && path[out - 1] == '/') continue;
        path[out++] = path[in];
    }
    path[out] = '\0';
    return path;
}

std::string path_normalized(std::string_view path) {
    std::string copy(path);
    copy.resize(strlen(path_normalize(copy.data())));
    return copy;
}

char* path_build(char* out, const char* dir, const char* name) {
    std::string joined(dir != nullptr ? dir : "");
    if (joined.empty() || !is_sep(joined.back())) joined.push_back('/');
    joined.append(name != nullptr ? name : "");
    copy_cut(out, PL_MAX_PATH, joined);
    return out;
}

std::string path_join_raw(std::string_view dir, std::string_view name) {
    std::string joined;
    joined.reserve(dir.size() + name.size() + 1);
    joined.append(dir);
    if (joined.empty() || joined.back() != '/') joined.push_back('/');
    joined.append(name);
    return joined;
}

int path_join_raw(char* out, size_t size, const char* dir, const char* name) {
    if (out == nullptr || size == 0) return -1;
    const std::string joined =
        path_join_raw(dir != nullptr ? dir : "", name != nullptr ? name : "");
    if (joined.size() >= size) {
        out[0] = '\0';
        return -1;
    }
    memcpy(out, joined.c_str(), joined.size() + 1);
    return 0;
}

bool path_is_absolute(const char* path) {
    if (!DV_ASSERT("pal", path)) return false;
    const char c = path[0];
    if (c == '~' || c == '/' || c == '\\') return true;
    if (((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) && path[1] == ':') return true;
    return strstr(path, "://") != nullptr || strstr(path, ":\\") != nullptr;
}

char* path_add_sep_not_exist_tail(char* path) {
    const size_t len = strlen(path);
    if (len > 0 && is_sep(path[len - 1])) return path;
    // clang-format off
    if (!DV_ASSERT("pal", len+2<=PL_MAX_PATH)) return path;
    // clang-format on
    path[len] = '/';
    path[len + 1] = '\0';
    return path;
}

const char* path_basename(const char* path) {
    const char* sep = last_sep(path);
    return sep != nullptr ? sep + 1 : path;
}

char* path_dirname(char* path) {
    const char* sep = last_sep(path);
    path[sep != nullptr ? sep - path + 1 : 0] = '\0';
    return path;
}
