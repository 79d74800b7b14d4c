#include "libcdir/libcdir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>
#include <vector>

#include "libcdir/comm.h"
#include "libcdir/v_fs.h"
#include "libcdir/v_rdir.h"
#include "libcdir/v_remote.h"
#include "libcdir/work.h"
#include "libconf/ini/conf_client.h"
#include "libpal/cmder.h"
#include "libpal/os_fs.h"
#include "libpal/os_root.h"
#include "libpal/strnum.h"
#include "libpal/url.h"

namespace {

constexpr uint32_t kDefaultReadTimeoutMs = 15000;
constexpr uint32_t kDefaultListTimeoutMs = 5000;
constexpr uint32_t kDefaultMaxMfileSize = 0x80000;
constexpr uint32_t kCmderIntervalMs = 1000;
constexpr int kCloseWaitMs = 2000;

bool is_copy_or_sync(uint32_t job_type) {
    return job_type == LIBCDIR_JOB_COPY || job_type == LIBCDIR_JOB_SYNC;
}

// Whether an endpoint text names a server (a URL of another scheme than "file").
bool names_server(const char* url) {
    return url != nullptr && strncmp(url, "file://", 7) != 0 && strstr(url, "://") != nullptr;
}

bool no_memory(err_info* err) {
    ERR_INFO_SET(err, VERR_NO_MEMORY, nullptr);
    return false;
}

// The root path named by a server URL: runs of "/" collapsed, no "/" at the end but for the
// served root itself.
std::string remote_root(const char* path) {
    std::string root = "/";
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' && root.back() == '/') continue;
        root += *p;
    }
    if (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

// A server URL: checked, given the job's read time-out, and its path taken as the side's root.
bool prepare_remote_side(const char* url, uint32_t read_timeout_ms, cdir_side* side,
                         err_info* err) {
    if (strlen(url) >= PL_MAX_URL) {
        ERR_INFO_SET(err, VERR_INVALID_PARAMETER, "url too long");
        return false;
    }
    char storage[PL_MAX_URL];
    url_info info;
    if (url_parser(&info, storage, url) != 0 || info.host[0] == '\0') {
        const std::string shown = url_mask_password(url);
        CDIR_FAIL(err, VERR_INVALID_PARAMETER, "[%s] invalid url", shown.c_str());
        return false;
    }
    if (url_get_type(&info) != URL_TYPE_DVP) {
        CDIR_LOG(LOG_ERR, "[%s] unsupported url scheme [%s]", url_mask_password(url).c_str(),
                 info.protocol);
        ERR_INFO_SET(err, VERR_NOT_SUPPORTED, "unsupported url scheme [%s]", info.protocol);
        return false;
    }
    char prepared[PL_MAX_URL];
    snprintf(prepared, sizeof(prepared), "%s", url);
    if (conf_client_add_timeouts(prepared) != 0) {
        ERR_INFO_SET(err, VERR_INVALID_PARAMETER, "url too long");
        return false;
    }
    const uint32_t seconds = read_timeout_ms / 1000;
    if (url_set_query_int(prepared, "read_timeout", seconds == 0 ? 5 : static_cast<int>(seconds)) !=
        0) {
        ERR_INFO_SET(err, VERR_INVALID_PARAMETER, "url too long");
        return false;
    }
    side->url = prepared;
    side->shown = url_mask_password(prepared);
    side->root = remote_root(info.path);
    side->endpoints.reset(cdir_endpoints_for(side->url.c_str()));
    if (!side->endpoints) return no_memory(err);
    side->is_local = side->endpoints->is_local();
    return true;
}

// "///name/path", also written with backslashes.
bool is_session_reference(const char* url) {
    for (int i = 0; i < 3; ++i) {
        if (url[i] != '/' && url[i] != '\\') return false;
    }
    return true;
}

// Prepares one endpoint text: a session reference ("///name/path") is expanded first; a local
// path (also written as "file://...") is normalised into the side's root path; a server URL gets
// the profile's time-outs it does not name and the job's read time-out.
bool prepare_side(const char* given, uint32_t read_timeout_ms, cdir_side* side, err_info* err) {
    std::vector<char> resolved;
    const char* url = given;
    if (is_session_reference(given)) {
        resolved.resize(PL_MAX_URL);
        if (conf_client_url_resolve(given, resolved.data(), err) != 0) {
            CDIR_LOG(LOG_ERR, "[%s] %s", given, err_info_str(err));
            return false;
        }
        url = resolved.data();
    }
    if (names_server(url)) return prepare_remote_side(url, read_timeout_ms, side, err);
    std::string path = path_normalized(url);
    if (path.empty()) {
        CDIR_FAIL(err, VERR_INVALID_PARAMETER, "[%s] empty path", url);
        return false;
    }
    if (path.size() >= PL_MAX_PATH) {
        CDIR_LOG(LOG_ERR, "path too long: [%s]", path.c_str());
        ERR_INFO_SET(err, VERR_FILENAME_TOO_LONG, nullptr);
        return false;
    }
    side->url = path;
    side->shown = path;
    side->root = path;
    side->endpoints.reset(cdir_endpoints_for(path.c_str()));
    if (!side->endpoints) return no_memory(err);
    side->is_local = side->endpoints->is_local();
    return true;
}

// Canonical form of a path that may not exist yet: the longest existing prefix resolved, the rest
// appended with "." and ".." taken lexically (the rest will be created as plain directories).
std::string canonical_future_path(const std::string& path) {
    std::string abs = path;
    if (abs.empty() || abs[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof(cwd)) == nullptr) return std::string();
        abs = std::string(cwd) + "/" + abs;
    }
    std::vector<std::string> rest;
    std::string existing = abs;
    char resolved[PATH_MAX];
    while (realpath(existing.c_str(), resolved) == nullptr) {
        if (errno != ENOENT && errno != ENOTDIR) return std::string();
        while (existing.size() > 1 && existing.back() == '/') existing.pop_back();
        size_t slash = existing.rfind('/');
        if (slash == std::string::npos) return std::string();
        rest.insert(rest.begin(), existing.substr(slash + 1));
        existing.resize(slash == 0 ? 1 : slash);
    }
    std::vector<std::string> parts;
    std::string base = resolved;
    for (const std::string& part : rest) {
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            } else {
                size_t slash = base.rfind('/');
                base.resize(slash == 0 || slash == std::string::npos ? 1 : slash);
            }
            continue;
        }
        parts.push_back(part);
    }
    std::string out = base;
    for (const std::string& part : parts) {
        if (out.back() != '/') out += '/';
        out += part;
    }
    return out;
}

bool same_identity(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the directory open as `fd`, or any directory above it, is `target`. Directories are
// compared by device and inode and the walk goes up through "..", so neither another spelling of
// a path, a symbolic link nor a bind mount hides that one end lies inside the other.
bool at_or_below(int fd, const struct stat& target) {
    int cur = dup(fd);
    for (size_t depth = 0; cur >= 0 && depth < PL_MAX_PATH; ++depth) {
        struct stat st;
        if (fstat(cur, &st) != 0) break;
        if (same_identity(st, target)) {
            close(cur);
            return true;
        }
        int up = openat(cur, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
        struct stat up_st;
        if (up < 0 || fstat(up, &up_st) != 0 || same_identity(up_st, st)) {
            if (up >= 0) close(up);
            break;  // the top: "/" is its own parent
        }
        close(cur);
        cur = up;
    }
    if (cur >= 0) close(cur);
    return false;
}

// The deepest directory of `path` that exists, opened as a path descriptor, or -1.
int open_deepest_existing(std::string path) {
    for (;;) {
        int fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) return fd;
        if (errno != ENOENT) return -1;
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        size_t slash = path.rfind('/');
        if (slash == std::string::npos) return -1;
        path.resize(slash == 0 ? 1 : slash);
    }
}

void refuse(err_info* err, const char* text, const libcdir_ctx* job) {
    CDIR_FAIL(err, VERR_INVALID_PARAMETER, "%s: [%s] [%s]", text, job->src.root.c_str(),
              job->dst.root.c_str());
}

// A local copy or sync between a directory and itself (under any name), into its own source, or
// from a directory inside its destination would read what it writes, delete its own source, or
// descend into its own output without end. Returns false with the reason in `err`.
bool check_local_overlap(const libcdir_ctx* job, err_info* err) {
    if (!job->src.fs) return true;  // the listing will tell why the source cannot be read
    const int src_fd = os_root_fd(job->src.fs.get());
    struct stat src_st;
    if (fstat(src_fd, &src_st) != 0) return true;
    std::string dst = canonical_future_path(job->dst.root);
    if (dst.empty()) dst = job->dst.root;
    int dst_fd = open(dst.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dst_fd >= 0) {
        struct stat dst_st;
        bool ok = fstat(dst_fd, &dst_st) == 0;
        if (ok && same_identity(src_st, dst_st)) {
            close(dst_fd);
            CDIR_FAIL(err, VERR_INVALID_PARAMETER,
                      "The source url and destination url cannot be the same");
            return false;
        }
        const bool dst_inside = ok && at_or_below(dst_fd, src_st);
        const bool src_inside = ok && at_or_below(src_fd, dst_st);
        close(dst_fd);
        if (dst_inside) {
            refuse(err, "the destination is inside the source", job);
            return false;
        }
        if (src_inside) {
            refuse(err, "the source is inside the destination", job);
            return false;
        }
        return true;
    }
    // The destination is still to be made: where it will be made must not be in the source.
    int base = open_deepest_existing(dst);
    if (base >= 0) {
        const bool inside = at_or_below(base, src_st);
        close(base);
        if (inside) {
            refuse(err, "the destination is inside the source", job);
            return false;
        }
    }
    return true;
}

// The attribute record of a local directory, as a listing of its parent would carry it.
mstat_attr dir_attr_of(const struct stat& st) {
    mstat_attr a{};
    a.type = RDIR_TYPE_DIR;
    a.mode = st.st_mode;
    a.attr = RDIR_ATTR_POSIX;
    a.uid = st.st_uid;
    a.gid = st.st_gid;
    a.atime = st.st_atim.tv_sec;
    a.mtime = st.st_mtim.tv_sec;
    a.ctime = st.st_ctim.tv_sec;
    return a;
}

bool prepare_local_dst_root(libcdir_ctx* job, err_info* err);

// The mode of a destination directory while its contents are written: the source's, and
// writable by the owner.
mode_t new_dir_mode(const mstat_attr& src) {
    if (src.type == 0 || (src.type & RDIR_TYPE_NO_POSIX) != 0) return 0700;
    return static_cast<mode_t>((src.mode & 0777) | 0700);
}

// Local sides of a copy or sync: opens the source root, refuses overlapping ends, makes the
// destination root and opens it. False (logged, reason in `err`) when the job cannot go on; a
// source that cannot be opened is left to the listing's open, which reports it.
bool prepare_local_roots(libcdir_ctx* job, err_info* err) {
    job->src.fs.reset(os_root_open(job->src.root.c_str(), OS_ROOT_NO_SYMLINKS));
    if (!job->src.fs) return true;
    struct stat src_st;
    if (fstat(os_root_fd(job->src.fs.get()), &src_st) == 0)
        job->src_root_attr = dir_attr_of(src_st);
    if (!check_local_overlap(job, err)) return false;
    return prepare_local_dst_root(job, err);
}

// A local destination root of a copy or sync: made when missing and opened. False (logged,
// reason in `err`) when the job cannot go on.
bool prepare_local_dst_root(libcdir_ctx* job, err_info* err) {
    const char* root = job->dst.root.c_str();
    int type = os_file_type_raw(root);
    if (type == 1) {
        CDIR_FAIL(err, VERR_GENERAL_FAILURE, "[%s] It is a file, must be a directory", root);
        return false;
    }
    if (type == -1 && job->dry_run) {
        // A dry run makes nothing, not even the destination root: everything would be new.
        job->need_odir_list = false;
        return true;
    }
    if (os_mkdirs_raw(root) != 0) {
        int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "mkdirs [%s] eno=%d error: ", root, eno);
        ERR_INFO_SET(err, os_verr_get(eno), "mkdirs [%s] error: %s", root, os_strerror(eno));
        return false;
    }
    job->dst_root_created = type == -1;
    verr opened = VERR_SUCCESS;
    job->dst.fs.reset(os_root_open(root, OS_ROOT_NO_SYMLINKS, &opened));
    if (!job->dst.fs) {
        int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "open [%s] eno=%d error: ", root, eno);
        ERR_INFO_SET(err, opened, "open [%s] error: %s", root, os_strerror(eno));
        return false;
    }
    if (job->dst_root_created && job->src.is_local) {
        // Writable by its owner until the copy is complete; then it gets the source root's mode.
        // What others may do is already the source's, so that a run that is stopped leaves no
        // root closed to them.
        int fd = openat(os_root_fd(job->dst.fs.get()), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            (void)fchmod(fd, new_dir_mode(job->src_root_attr));
            close(fd);
        }
    }
    return true;
}

// Releases whatever an open got to; the caller's err survives it (closing endpoints must not
// replace the reason of a failure).
void release_job(libcdir_ctx* job) {
    err_info kept{};
    err_info* err = job->err;
    if (err != nullptr) err_info_copy(&kept, err);
    delete job;
    if (err != nullptr) err_info_copy(err, &kept);
}

bool alloc_buffer(std::unique_ptr<char[]>* buf, size_t size) {
    buf->reset(new (std::nothrow) char[size + 1]);
    return *buf != nullptr;
}

// Opens the endpoints of the job's route; false (logged, reason in param->err) on failure.
bool open_endpoints(libcdir_ctx* job, libcdir_param* param) {
    err_info* err = &param->err;
    const bool transfer = is_copy_or_sync(job->job_type);
    const char* o_url = param->o_url;

    job->irdir.reset(vrdir_open(job, job->src.url.c_str(), 0, &param->irdir_param, &job->src));
    if (job->irdir == nullptr) {
        CDIR_LOG(LOG_ERR, "vrdir_open [%s] error: %s", job->src.shown.c_str(), err_info_str(err));
        return false;
    }
    // A local destination of a served source is made only once the server let this job in.
    if (transfer && job->route == CDIR_ROUTE_RL && !prepare_local_dst_root(job, err)) return false;
    if (job->route == CDIR_ROUTE_LL || job->route == CDIR_ROUTE_RL) {
        if (job->need_odir_list && o_url != nullptr) {
            job->ordir.reset(
                vrdir_open(job, job->dst.url.c_str(), 1, &param->ordir_param, &job->dst));
            if (job->ordir == nullptr) {
                CDIR_LOG(LOG_ERR, "vrdir_open [%s] error: %s", job->dst.shown.c_str(),
                         err_info_str(err));
                return false;
            }
        }
        if (job->route == CDIR_ROUTE_RL && transfer) {
            job->imfile.reset(vmfile_open(job, job->src.url.c_str(), &param->imfile_param));
            if (job->imfile == nullptr) {
                CDIR_LOG(LOG_ERR, "vmfile_open [%s] error: %s", job->src.shown.c_str(),
                         err_info_str(err));
                return false;
            }
            job->ibfile.reset(vbfile_init(job, job->src.url.c_str(), err));
            if (job->ibfile == nullptr) {
                CDIR_LOG(LOG_ERR, "vbfile_init [%s] error: %s", job->src.shown.c_str(),
                         err_info_str(err));
                return false;
            }
        }
        return true;
    }
    // Remote destination.
    job->ordir.reset(vrdir_open(job, job->dst.url.c_str(), 1, &param->ordir_param, &job->dst));
    if (job->ordir == nullptr) {
        CDIR_LOG(LOG_ERR, "vrdir_open [%s] error: %s", job->dst.shown.c_str(), err_info_str(err));
        return false;
    }
    if (!transfer) return true;
    if (job->route == CDIR_ROUTE_RR) {
        job->imfile.reset(vmfile_open(job, job->src.url.c_str(), &param->imfile_param));
        if (job->imfile == nullptr) {
            CDIR_LOG(LOG_ERR, "vmfile_open [%s] error: %s", job->src.shown.c_str(),
                     err_info_str(err));
            return false;
        }
        job->ibfile.reset(vbfile_init(job, job->src.url.c_str(), err));
        if (job->ibfile == nullptr) {
            CDIR_LOG(LOG_ERR, "vbfile_init [%s] error: %s", job->src.shown.c_str(),
                     err_info_str(err));
            return false;
        }
        if (!alloc_buffer(&job->rr_buf, job->bs)) {
            ERR_INFO_SET(err, VERR_NO_MEMORY, nullptr);
            return false;
        }
    }
    job->omfile.reset(vmfile_open(job, job->dst.url.c_str(), &param->imfile_param));
    if (job->omfile == nullptr) {
        CDIR_LOG(LOG_ERR, "vmfile_open [%s] error: %s", job->dst.shown.c_str(), err_info_str(err));
        return false;
    }
    job->obfile.reset(vbfile_init(job, job->dst.url.c_str(), err));
    if (job->obfile == nullptr) {
        CDIR_LOG(LOG_ERR, "vbfile_init_read [%s] error: %s", job->dst.shown.c_str(),
                 err_info_str(err));
        return false;
    }
    return true;
}

}  // namespace

libcdir_ctx::~libcdir_ctx() {
    if (work.joinable()) {
        user_stop.store(1);
        std::unique_lock<std::mutex> lock(work_mutex);
        if (!work_cv.wait_for(lock, std::chrono::milliseconds(kCloseWaitMs),
                              [this] { return work_done; })) {
            CDIR_LOG(LOG_ERR, "os_thead_wait failed ret=%d\n", -1);
        }
        lock.unlock();
        // The walk ends at its next check; it uses the job, so it must be gone before the job.
        work.join();
    }
    if (cmd) {
        // A handler still running uses the job: let it see the stop and drain before the exit.
        if (cmder_wait_idle(cmd.get(), 1) != 0) {
            user_stop.store(1);
            while (cmder_wait_idle(cmd.get(), 1000) != 0) {
            }
        }
        cmd.reset();
    }
    work_queue.clear();
    // The members go now: endpoints in closing order (see their declaration), then the rest.
}

void cmder_closer::operator()(cmder* c) const {
    cmder_exit(c);
}

void file_closer::operator()(FILE* f) const {
    if (f != nullptr) fclose(f);
}

bool libcdir_bs_valid(uint64_t bs) {
    return bs >= LIBCDIR_BS_MIN && bs <= LIBCDIR_BS_MAX;
}

void libcdir_param_init(libcdir_param* param) {
    if (param == nullptr) return;
    memset(param, 0, sizeof(*param));
    param->read_timeout_ms = kDefaultReadTimeoutMs;
    param->bs = LIBCDIR_BS_DEFAULT;
    param->irdir_param.read_timeout_ms = kDefaultListTimeoutMs;
    param->ordir_param.read_timeout_ms = kDefaultListTimeoutMs;
    param->imfile_param.max_mfile_size = kDefaultMaxMfileSize;
    param->imfile_param.read_timeout_ms = kDefaultListTimeoutMs;
    param->max_delete = -1;
}

libcdir_ctx* libcdir_open(libcdir_param* param) {
    if (param == nullptr) return nullptr;
    err_info* err = &param->err;
    err_info_clear(err);
    if (param->i_url == nullptr) {
        log2_assert_fail("cdir", "param->i_url != NULL", __FILE__, __LINE__, __func__);
        ERR_INFO_SET(err, VERR_INVALID_PARAMETER, "no source given");
        return nullptr;
    }
    if (param->job_type > LIBCDIR_JOB_REMOVE) {
        CDIR_FAIL(err, VERR_INVALID_PARAMETER, "job_type=%u invalid", param->job_type);
        return nullptr;
    }
    const bool transfer = is_copy_or_sync(param->job_type);
    if (transfer && (param->o_url == nullptr || param->o_url[0] == '\0')) {
        CDIR_FAIL(err, VERR_INVALID_PARAMETER, "a copy or sync needs a destination (of=)");
        return nullptr;
    }
    if (transfer && strcmp(param->i_url, param->o_url) == 0) {
        CDIR_FAIL(err, VERR_INVALID_PARAMETER,
                  "The source url and destination url cannot be the same");
        return nullptr;
    }
    const bool remote = names_server(param->i_url) || names_server(param->o_url);
    if (remote && (param->hard_links != 0 || param->xattrs != 0)) {
        CDIR_FAIL(err, VERR_NOT_SUPPORTED,
                  "hard_links=1 and xattrs=1 work between local directories only");
        return nullptr;
    }
    if (!libcdir_bs_valid(param->bs)) {
        CDIR_FAIL(err, VERR_OUT_OF_RANGE, "bs=%u out of range [%u, %u]", param->bs, LIBCDIR_BS_MIN,
                  LIBCDIR_BS_MAX);
        return nullptr;
    }
    libcdir_mfile_param& mp = param->imfile_param;
    if (mp.max_mfile_size == 0) mp.max_mfile_size = kDefaultMaxMfileSize;
    if (param->bs < 2 * static_cast<uint64_t>(mp.max_mfile_size)) {
        CDIR_LOG(LOG_WARN, "imfile_param.max_mfile_size=%d too big",
                 static_cast<int>(mp.max_mfile_size));
        mp.max_mfile_size = param->bs / 2;
    }
    param->irdir_param.err = err;
    param->ordir_param.err = err;
    param->imfile_param.err = err;
    param->irdir_param.thread_place = param->thread_place;
    param->ordir_param.thread_place = param->thread_place;

    auto* job = new (std::nothrow) libcdir_ctx();
    if (job == nullptr) {
        ERR_INFO_SET(err, VERR_NO_MEMORY, nullptr);
        return nullptr;
    }
    job->err = err;
    job->cancel = param->cancel;
    if (param->max_dir_entries != 0) job->max_dir_entries = param->max_dir_entries;
    if (param->max_dir_bytes != 0) job->max_dir_bytes = param->max_dir_bytes;
    const uint32_t read_timeout_ms =
        param->read_timeout_ms != 0 ? param->read_timeout_ms : kDefaultReadTimeoutMs;
    if (!prepare_side(param->i_url, read_timeout_ms, &job->src, err)) {
        release_job(job);
        return nullptr;
    }
    CDIR_LOG(LOG_VERB, "[i_url=%s]", job->src.shown.c_str());
    if (param->o_url != nullptr) {
        if (!prepare_side(param->o_url, read_timeout_ms, &job->dst, err)) {
            release_job(job);
            return nullptr;
        }
        job->has_dst = true;
        CDIR_LOG(LOG_VERB, "[o_url=%s]", job->dst.shown.c_str());
    }

    job->start_ms = os_time_ms();
    job->job_type = param->job_type;
    job->cmp_mode = param->cmp_mode;
    job->dbg = param->dbg;
    job->read_timeout_ms = read_timeout_ms;
    job->bs = param->bs;
    job->max_mfile_size = mp.max_mfile_size;
    if (param->changes != nullptr) job->changes_path = param->changes;
    job->dry_run = param->dry_run != 0;
    job->max_delete = param->max_delete;
    job->hard_links = param->hard_links != 0;
    job->xattrs = param->xattrs != 0;
    // An absent destination counts as local.
    const bool dst_local = !job->has_dst || job->dst.is_local;
    job->route = job->src.is_local ? (dst_local ? CDIR_ROUTE_LL : CDIR_ROUTE_LR)
                                   : (dst_local ? CDIR_ROUTE_RL : CDIR_ROUTE_RR);

    switch (job->job_type) {
        case LIBCDIR_JOB_LIST:
            CDIR_LOG(LOG_DBG, "list_dir=[%s]", job->src.shown.c_str());
            break;
        case LIBCDIR_JOB_REMOVE:
            CDIR_LOG(LOG_DBG, "rm_dir=[%s]", job->src.shown.c_str());
            break;
        case LIBCDIR_JOB_COPY:
            CDIR_LOG(LOG_DBG, "cp idir=[%s] odir=[%s]\n", job->src.shown.c_str(),
                     job->dst.shown.c_str());
            if (job->cmp_mode == LIBCDIR_CMP_DEFAULT) job->cmp_mode = LIBCDIR_CMP_OVERWRITE;
            break;
        case LIBCDIR_JOB_SYNC:
            CDIR_LOG(LOG_DBG, "sync idir=[%s] odir=[%s]\n", job->src.shown.c_str(),
                     job->dst.shown.c_str());
            if (job->cmp_mode == LIBCDIR_CMP_DEFAULT) {
                job->cmp_mode = LIBCDIR_CMP_SYNC_DIFF_SIZE_DATE;
            }
            break;
        default:
            break;
    }
    // A copy that overwrites lists a server destination only to tell created from updated
    // entries in the changes= lines, as a local destination tells them by writing.
    job->need_odir_list =
        job->job_type == LIBCDIR_JOB_SYNC ||
        (job->job_type == LIBCDIR_JOB_COPY &&
         (job->cmp_mode != LIBCDIR_CMP_OVERWRITE || (!dst_local && !job->changes_path.empty())));

    if (transfer && job->src.is_local && job->dst.is_local && !prepare_local_roots(job, err)) {
        release_job(job);
        return nullptr;
    }
    if (!open_endpoints(job, param)) {
        release_job(job);
        return nullptr;
    }
    if (transfer && job->route != CDIR_ROUTE_LL && job->dst_root_created) {
        // A root made here gets the source root's attributes when the copy is complete, as
        // between local directories; a local one is owner-only until then.
        struct stat st;
        if (job->src.is_local) {
            if (job->src.fs && fstat(os_root_fd(job->src.fs.get()), &st) == 0) {
                job->src_root_attr = dir_attr_of(st);
            }
        } else if (cdir_remote_dir_attr(job->irdir.get(), job->src.root.c_str(),
                                        &job->src_root_attr) == 0 &&
                   job->dst.is_local) {
            (void)chmod(job->dst.root.c_str(), new_dir_mode(job->src_root_attr));
        }
    }
    if (!job->changes_path.empty()) {
        FILE* f = nullptr;
        if (job->changes_path == "-") {
            int fd = dup(STDOUT_FILENO);
            if (fd >= 0) f = fdopen(fd, "w");
            if (f == nullptr && fd >= 0) close(fd);
        } else {
            f = fopen(job->changes_path.c_str(), "w");
        }
        if (f == nullptr) {
            int eno = errno;
            CDIR_LOG(LOG_ERR | LOG_ERRNO, "open [%s] error: ", job->changes_path.c_str());
            ERR_INFO_SET(err, eno == ENOSPC ? os_verr_get(eno) : VERR_GENERAL_FAILURE,
                         "open [%s] error: %s", job->changes_path.c_str(), os_strerror(eno));
            release_job(job);
            return nullptr;
        }
        job->changes_file.reset(f);
    }
    // After the source opened, so that a missing source is reported as such.
    if (job->job_type == LIBCDIR_JOB_LIST && param->olist != nullptr) {
        job->list_path = param->olist;
        job->list_file.reset(fopen(param->olist, "w+"));
        if (job->list_file == nullptr) {
            // A listing asked for and not written must not end as a successful run.
            int eno = errno;
            CDIR_LOG(LOG_ERR | LOG_ERRNO, "open [%s] error: ", param->olist);
            ERR_INFO_SET(err, eno == ENOSPC ? os_verr_get(eno) : VERR_GENERAL_FAILURE,
                         "open [%s] error: %s", param->olist, os_strerror(eno));
            release_job(job);
            return nullptr;
        }
    }
    bool buffers =
        alloc_buffer(&job->list_buf, job->max_mfile_size) && alloc_buffer(&job->trans_buf, job->bs);
    if (buffers && job->route != CDIR_ROUTE_LL) buffers = alloc_buffer(&job->enc_buf, job->bs);
    if (!buffers) {
        CDIR_LOG(LOG_ERR, "buffer alloc failed bs=%u", job->bs);
        ERR_INFO_SET(err, VERR_NO_MEMORY, nullptr);
        release_job(job);
        return nullptr;
    }

    cmder_conf conf{};
    conf.user = job;
    conf.queue_max = CDIR_QUEUE_MAX;
    conf.timer_interval_ms = kCmderIntervalMs;
    conf.name = "cdir_cmder";
    conf.msg_proc = cdir_cmd_proc;
    conf.msg_free = cdir_cmd_free;
    job->cmd.reset(cmder_init(&conf));
    if (job->cmd == nullptr) {
        CDIR_LOG(LOG_ERR, "cmder_init failed");
        ERR_INFO_SET(err, VERR_NO_MEMORY, "cannot start the command thread");
        release_job(job);
        return nullptr;
    }
    try {
        job->work = std::thread(cdir_work_thread, job);
    } catch (const std::system_error& e) {
        errno = e.code().value();
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "os_thread_init error: ");
        ERR_INFO_SET(err, os_verr_get(e.code().value()), "cannot start the walk thread");
        release_job(job);
        return nullptr;
    }
    return job;
}

int libcdir_wait_stop(libcdir_ctx* job) {
    if (job == nullptr) return 0;
    if (job->work.joinable()) {
        job->work.join();
        CDIR_LOG(LOG_DBG, "os_thread_wait retval=%d\n", job->work_result);
    }
    CDIR_LOG(LOG_VERB, "cmder_wait_idle exit\n");
    // A long copy would otherwise be waited for by polling; the end marker wakes this thread once
    // the command thread got through everything posted before it.
    if (cdir_post_msg(job, CDIR_CMD_END, nullptr, 0, nullptr) == 0) {
        std::unique_lock<std::mutex> lock(job->work_mutex);
        job->work_cv.wait(lock, [job] { return job->cmds_done; });
    }
    while (cmder_wait_idle(job->cmd.get(), 1000) != 0) {
    }
    // Both engine threads are done: the list output is complete once it reached the file.
    if (job->list_file != nullptr && !job->list_failed && fflush(job->list_file.get()) != 0) {
        cdir_list_write_failed(job);
    }
    if (job->changes_file && !job->changes_failed && fflush(job->changes_file.get()) != 0) {
        int eno = errno;
        job->changes_failed = true;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "write [%s] error: ", job->changes_path.c_str());
        cdir_verr_check(job, eno != 0 ? os_verr_get(eno) : VERR_GENERAL_FAILURE);
    }
    return cdir_report_and_status(job);
}

void libcdir_close(libcdir_ctx* job) {
    if (job != nullptr) release_job(job);
}

int libcdir_req_stop(libcdir_ctx* job) {
    if (job == nullptr) return 0;
    job->user_stop.store(1);
    vrdir_stop(job->irdir.get());
    vmfile_stop(job->imfile.get());
    vbfile_stop(job->ibfile.get());
    vrdir_stop(job->ordir.get());
    vmfile_stop(job->omfile.get());
    vbfile_stop(job->obfile.get());
    return 0;
}

int libcdir_get_progress(libcdir_ctx* job, libcdir_progress* out) {
    if (job == nullptr || out == nullptr) return -1;
    out->files_done = job->done_files.load(std::memory_order_relaxed);
    out->bytes_done = job->done_bytes.load(std::memory_order_relaxed);
    out->files_seen = job->seen_files.load(std::memory_order_relaxed);
    out->dirs_seen = job->seen_dirs.load(std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(job->walk_dir_mutex);
    snprintf(out->dir, sizeof(out->dir), "%s", job->walk_dir.c_str());
    return 0;
}

int cdir_need_exit(libcdir_ctx* job) {
    if (job->error_stop.load(std::memory_order_relaxed) != 0) {
        CDIR_LOG(LOG_VERB, "error stop exit...");
        return 1;
    }
    if (job->user_stop.load(std::memory_order_relaxed) != 0) {
        CDIR_LOG(LOG_VERB, "user req exit...");
        return 1;
    }
    return 0;
}
