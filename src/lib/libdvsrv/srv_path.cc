// Paths: the texts of path requests, a path's parent and name, the entry a path names, and the
// controls that make and remove entries by path.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_wire.h"
#include "libdvsrv/srv_file.h"
#include "libdvsrv/srv_handlers.h"
#include "libpal/os_root.h"

namespace srv_fs {

namespace {

// Links followed at the end of a path before giving up (as the kernel does).
constexpr int kMaxLinkHops = 40;

}  // namespace

std::string_view data_text(std::span<const uint8_t> data) {
    const char* p = reinterpret_cast<const char*>(data.data());
    const size_t n = data.empty() ? 0 : strnlen(p, data.size());
    return std::string_view(p, n);
}

// Splits `count` tab-separated fields off the right end of `text`; the rest (which may itself
// hold tabs) is the path. False when there are fewer fields.
bool split_right(std::string_view text, size_t count, std::string_view* path,
                 std::vector<std::string_view>* fields) {
    fields->assign(count, std::string_view());
    for (size_t i = count; i > 0; --i) {
        const size_t tab = text.rfind('\t');
        if (tab == std::string_view::npos) return false;
        (*fields)[i - 1] = text.substr(tab + 1);
        text = text.substr(0, tab);
    }
    *path = text;
    return true;
}

srv_cut_path cut(std::string_view path) {
    srv_cut_path c;
    size_t end = path.size();
    while (end > 0 && path[end - 1] == '/') --end;
    c.slash = end < path.size();
    const std::string_view body = path.substr(0, end);
    const size_t sep = body.rfind('/');
    if (sep == std::string_view::npos) {
        c.name.assign(body);
    } else {
        c.parent.assign(body.substr(0, sep + 1));
        c.name.assign(body.substr(sep + 1));
    }
    return c;
}

bool plain_name(std::string_view name) {
    return !name.empty() && name != "." && name != "..";
}

// True when `path` leads to a directory beneath the root, links followed inside it.
bool is_dir_in_root(const os_root* root, const std::string& path) {
    const unique_fd fd(os_root_open_fd(root, (path + "/").c_str(), O_PATH | O_DIRECTORY, 0));
    return fd.valid();
}

// `path` with the links at its end followed inside the root: a path beneath the root that names
// no link (or nothing, for a file about to be created). 0 or a status.
verr follow_final(const os_root* root, std::string path, std::string* out) {
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        struct stat st;
        if (os_root_lstat(root, path.c_str(), &st) != 0) {
            if (errno != ENOENT) return sys_status();
            *out = std::move(path);
            return 0;
        }
        if (!S_ISLNK(st.st_mode)) {
            *out = std::move(path);
            return 0;
        }
        char target[PATH_MAX];
        if (os_root_readlink(root, path.c_str(), target, sizeof(target)) < 0) return sys_status();
        // An absolute text starts at the served root; a relative one at the link's directory.
        path = target[0] == '/' ? std::string(target) : cut(path).parent + target;
    }
    return srv_errno_status(ELOOP);
}

// Makes `path` and every missing directory above it (0755). An existing directory (or a link
// to one inside the root) is fine. 0 or a status.
verr make_dirs(const os_root* root, std::string_view path) {
    const std::string whole(path);
    if (is_dir_in_root(root, whole)) return 0;
    size_t pos = 0;
    while (pos < path.size()) {
        while (pos < path.size() && path[pos] == '/') ++pos;
        if (pos >= path.size()) break;
        size_t end = path.find('/', pos);
        if (end == std::string_view::npos) end = path.size();
        const std::string prefix(path.substr(0, end));
        pos = end;
        if (os_root_mkdir(root, prefix.c_str(), kNewDirMode) == 0) continue;
        if (errno != EEXIST) return sys_status();
        if (!is_dir_in_root(root, prefix)) return srv_errno_status(ENOTDIR);
    }
    return 0;
}

verr locate_entry(const os_root* root, std::string_view path, srv_entry_ref* at) {
    srv_cut_path c = cut(path);
    if (c.slash || !plain_name(c.name)) {
        at->dir.reset(os_root_opendir(root, std::string(path.empty() ? "/" : path).c_str()));
        at->name.clear();
        return at->dir.valid() ? 0 : sys_status();
    }
    at->dir.reset(os_root_open_fd(root, c.parent.c_str(), O_PATH | O_DIRECTORY, 0));
    if (!at->dir.valid()) return sys_status();
    at->name = std::move(c.name);
    return 0;
}

namespace {

void control_remove(std::string_view text, bool dir, const srv_context& ctx, sd_frame_msg& reply) {
    std::string_view path;
    std::vector<std::string_view> f;
    int32_t flag = 0;
    if (!split_right(text, 1, &path, &f) || !parse_number(f[0], &flag)) {
        return reply_errno(reply, EINVAL);
    }
    const std::string p(path);
    const int r = dir ? os_root_rmdir(ctx.root, p.c_str()) : os_root_remove(ctx.root, p.c_str());
    if (r != 0) return reply_errno(reply, errno);
    reply_ok(reply);
}

}  // namespace
}  // namespace srv_fs

using namespace srv_fs;

void srv_ctl_mkdirs(srv_call& c) {
    const verr ret = make_dirs(c.ctx.root, data_text(c.data));
    if (ret != 0) return reply_status(c.reply, ret);
    reply_ok(c.reply);
}

void srv_ctl_remove(srv_call& c) {
    control_remove(data_text(c.data), c.cmd == SD_CTL_RMDIR2, c.ctx, c.reply);
}
