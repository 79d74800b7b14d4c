#include "libcdir/v_rdir.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "libcdir/v_fs.h"
#include "libcdir/v_remote.h"
#include "libcdir/w_cp_core.h"
#include "libcdir/w_sync_core.h"
#include "libpal/os_fs.h"
#include "libpal/os_root.h"
#include "libpal/strnum.h"
#include "librdir/librdir.h"
#include "librdir/mfile.h"

namespace {

// A local side lists beneath its root handle: the engine's paths (root + relative part) become
// relative paths there, so no link inside the tree is followed.
class local_rdir final : public vrdir {
  public:
    local_rdir(librdir_handle* h, const cdir_side* side, const librdir_param& param)
        : handle_(h), side_(side), param_(param) {
        param_.err = nullptr;  // the open's record is the caller's
    }
    ~local_rdir() override { librdir_close(handle_); }
    local_rdir(const local_rdir&) = delete;
    local_rdir& operator=(const local_rdir&) = delete;

    int enum_dir(const char* path) override {
        if (handle_ == nullptr) return -1;
        return librdir_enum_dir(handle_, rel_of(path).c_str());
    }
    int read_some(char* buf, int len) override {
        if (handle_ == nullptr) return -1;
        return librdir_read_item_list(handle_, buf, len);
    }
    int reopen(const char* path) override {
        librdir_handle* old;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            old = handle_;
            handle_ = nullptr;
        }
        librdir_close(old);
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_) return -2;
        handle_ = librdir_open(rel_of(path).c_str(), &param_);
        return handle_ != nullptr ? 0 : -1;
    }
    void stop() override {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        if (handle_ != nullptr) librdir_stop(handle_);
    }

  private:
    std::string rel_of(const char* path) const {
        std::string_view rel = cdir_rel_path(*side_, path);
        return rel.empty() ? std::string(".") : std::string(rel);
    }

    std::mutex mutex_;  // handle_ against stop() from other threads
    librdir_handle* handle_;
    const cdir_side* side_;
    librdir_param param_;
    bool stopped_ = false;
};

// The device and inode of a local side's root, when it has one open.
bool side_identity(const cdir_side& side, struct stat* st) {
    return side.is_local && side.fs && fstat(os_root_fd(side.fs.get()), st) == 0;
}

class local_mfile final : public vmfile {
  public:
    explicit local_mfile(libmfile_handle* h) : handle_(h) {}
    ~local_mfile() override { libmfile_close(handle_); }
    local_mfile(const local_mfile&) = delete;
    local_mfile& operator=(const local_mfile&) = delete;

    int post(uint32_t cmd, const char* base, const char* list) override {
        return libmfile_cmd_add_list(handle_, cmd, base, list) == 0 ? 0 : VERR_GENERAL_FAILURE;
    }
    int collect(char* buf, int len) override { return libmfile_get_list_ret(handle_, buf, len); }
    void stop() override { libmfile_stop(handle_); }
    int set_times(const char* path, const mstat_attr& attr) override {
        os_times times{};
        times.atime.sec = attr.atime;
        times.mtime.sec = attr.mtime;
        times.ctime.sec = attr.ctime;
        return lutime_raw(path, &times) == 0 ? 0 : os_errno_verr();
    }

  private:
    libmfile_handle* handle_;
};

// The wait shared by listing reads and batch collections: retries an empty read until data
// comes, the job is asked to stop, or the job's read time-out has passed.
template <typename Read>
int wait_for_data(libcdir_ctx* job, bool is_local, Read&& read) {
    uint64_t start = os_time_ms();
    for (;;) {
        int n = read();
        if (n != 0) return n;
        std::this_thread::sleep_for(std::chrono::milliseconds(is_local ? 1 : 1000));
        if (cdir_need_exit(job)) return -1;
        if (os_time_ms() - start >= job->read_timeout_ms) {
            CDIR_LOG(LOG_ERR, "read_timeout max_read_timeout=%d",
                     static_cast<int>(job->read_timeout_ms));
            cdir_verr_check(job, VERR_TIMEOUT);
            return -1;
        }
    }
}

}  // namespace

namespace {

vrdir* local_rdir_open(libcdir_ctx* job, cdir_side* side, int is_destination,
                       const libcdir_rdir_param* param) {
    err_info* err = param != nullptr ? param->err : nullptr;
    const char* url = side->url.c_str();
    // A local side's prepared URL text is its root path.
    if (is_destination && os_mkdirs_raw(url) != 0) {
        int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "mkdirs [%s] eno=%d error: ", url, eno);
        verr code = os_verr_get(eno);
        cdir_verr_check(job, code);
        ERR_INFO_SET(err, code, "mkdirs [%s] error: %s", url, os_strerror(eno));
        return nullptr;
    }
    side->root = side->url;
    if (!side->fs) {
        // The root given by the user is followed once, if it is a link; nothing below it is.
        verr code = VERR_SUCCESS;
        side->fs.reset(os_root_open(url, OS_ROOT_NO_SYMLINKS, &code));
        if (!side->fs) {
            int eno = errno;
            cdir_verr_check(job, code);
            ERR_INFO_SET(err, code, "opendir [%s] error: %s", url, os_strerror(eno));
            return nullptr;
        }
    }
    librdir_param rp;
    rp.flag = param != nullptr ? static_cast<int>(param->flag) : 0;
    rp.read_timeout_ms = param != nullptr ? static_cast<int>(param->read_timeout_ms) : 0;
    rp.err = err;
    rp.root = side->fs.get();
    // Only a source link's kind is ever used (to make the link at the destination).
    rp.link_kinds = !is_destination;
    // A source file named like a temporary that no writer is writing is the user's: it is listed
    // and told about. A destination's leftovers are the writer's to clear.
    rp.list_stale_temps = !is_destination;
    // Neither walk enters the other end of the job, wherever it is mounted or linked below.
    const cdir_side& other = is_destination ? job->src : job->dst;
    struct stat other_st;
    if (job->has_dst && side_identity(other, &other_st)) {
        rp.skip_dir = true;
        rp.skip_dev = other_st.st_dev;
        rp.skip_ino = other_st.st_ino;
    }
    librdir_handle* h = librdir_open(".", &rp);
    if (h == nullptr) {
        if (err != nullptr) cdir_verr_check(job, err->code < 0 ? err->code : VERR_GENERAL_FAILURE);
        return nullptr;
    }
    auto* handle = new (std::nothrow) local_rdir(h, side, rp);
    if (handle == nullptr) {
        librdir_close(h);
        ERR_INFO_SET(err, VERR_NO_MEMORY, nullptr);
        return nullptr;
    }
    handle->job = job;
    handle->is_local = true;
    return handle;
}

vmfile* local_mfile_open(libcdir_ctx* job, const libcdir_mfile_param* param) {
    err_info* err = param != nullptr ? param->err : nullptr;
    libmfile_param mp;
    mp.max_mfile_size = param != nullptr ? param->max_mfile_size : 0;
    mp.list_timeout_ms = param != nullptr ? static_cast<int>(param->read_timeout_ms) : 0;
    mp.err = err;
    libmfile_handle* h = libmfile_open(&mp);
    if (h == nullptr) {
        if (err != nullptr) cdir_verr_check(job, err->code < 0 ? err->code : VERR_GENERAL_FAILURE);
        return nullptr;
    }
    auto* handle = new (std::nothrow) local_mfile(h);
    if (handle == nullptr) {
        libmfile_close(h);
        ERR_INFO_SET(err, VERR_NO_MEMORY, nullptr);
        return nullptr;
    }
    handle->job = job;
    handle->is_local = true;
    return handle;
}

class local_endpoints final : public cdir_endpoints {
  public:
    bool is_local() const override { return true; }
    vrdir* open_rdir(libcdir_ctx* job, cdir_side* side, int is_destination,
                     const libcdir_rdir_param* param) override {
        return local_rdir_open(job, side, is_destination, param);
    }
    vmfile* open_mfile(libcdir_ctx* job, cdir_side*, const libcdir_mfile_param* param) override {
        return local_mfile_open(job, param);
    }
    vbfile* open_bfile(libcdir_ctx* job, cdir_side* side, err_info* err) override {
        vbfile* h = cdir_local_bfile_new(side);
        if (h == nullptr) {
            ERR_INFO_SET(err, VERR_NO_MEMORY, nullptr);
            return nullptr;
        }
        h->job = job;
        h->is_local = true;
        return h;
    }
    int create_dirs(libcdir_ctx* job, const cdir_item& item) override {
        return cdir_l_create_dir_list(job, item);
    }
    int dir_done(libcdir_ctx* job, const cdir_item& item) override {
        return cdir_l_dir_done(job, item);
    }
    int remove_orphans(libcdir_ctx* job, const cdir_item& record, bool have_src,
                       std::span<const mstat_item> src, std::span<const mstat_item> dst) override {
        return l_sync_del_orphaned_file(job, record, have_src, src, dst);
    }
    int update_attrs(libcdir_ctx* job, const cdir_item& record,
                     std::span<const mstat_item* const> files) override {
        return l_sync_update_attrs(job, record, files);
    }
};

// The side a prepared URL text belongs to; the destination when it is neither.
cdir_side* side_of(libcdir_ctx* job, const char* url) {
    if (url != nullptr && job->src.url == url) return &job->src;
    return &job->dst;
}

// The side's implementation, made now if the job did not prepare it (a side set up by hand).
cdir_endpoints* endpoints_of(cdir_side* side) {
    if (!side->endpoints) side->endpoints.reset(cdir_endpoints_for(side->url.c_str()));
    return side->endpoints.get();
}

}  // namespace

cdir_endpoints* cdir_endpoints_for(const char* url) {
    const bool local = url == nullptr || strstr(url, "://") == nullptr;
    if (local) return new (std::nothrow) local_endpoints();
    return cdir_remote_endpoints_new();
}

void endpoints_deleter::operator()(cdir_endpoints* e) const {
    delete e;
}

vrdir* vrdir_open(libcdir_ctx* job, const char* url, int is_destination,
                  const libcdir_rdir_param* param, cdir_side* side) {
    if (side == nullptr) side = side_of(job, url);
    if (url != nullptr && side->url != url) side->url = url;
    cdir_endpoints* e = endpoints_of(side);
    if (e == nullptr) {
        ERR_INFO_SET(param != nullptr ? param->err : nullptr, VERR_NO_MEMORY, nullptr);
        return nullptr;
    }
    return e->open_rdir(job, side, is_destination, param);
}

int vrdir_enum_dir(vrdir* h, const char* path) {
    if (!DV_ASSERT("cdir", h != nullptr)) return -1;
    return h->enum_dir(path);
}

int vrdir_enum_dir_fresh(vrdir* h, const char* path) {
    if (!DV_ASSERT("cdir", h != nullptr)) return -1;
    if (!h->fresh_needed) return h->enum_dir(path);
    if (h->lost) return -2;
    const int ret = h->reopen(path);
    if (ret == 0) {
        h->fresh_needed = false;
    } else if (ret == -2) {
        CDIR_LOG(LOG_ERR, "[%s] no fresh lister: no further directory is listed", path);
        h->lost = true;
    }
    return ret;
}

int vrdir_read_item_list(vrdir* h, char* buf, int len) {
    if (!DV_ASSERT("cdir", h != nullptr && buf != nullptr && len > 0)) return -1;
    int n = wait_for_data(h->job, h->is_local, [&] { return h->read_some(buf, len); });
    if (n <= 0) return -1;
    if (!DV_ASSERT("cdir", n <= len)) n = len;
    buf[n] = '\0';
    return n;
}

void vrdir_stop(vrdir* h) {
    if (h != nullptr) h->stop();
}

void vrdir_close(vrdir* h) {
    delete h;
}

vmfile* vmfile_open(libcdir_ctx* job, const char* url, const libcdir_mfile_param* param) {
    cdir_endpoints* e = endpoints_of(side_of(job, url));
    if (e == nullptr) {
        ERR_INFO_SET(param != nullptr ? param->err : nullptr, VERR_NO_MEMORY, nullptr);
        return nullptr;
    }
    return e->open_mfile(job, side_of(job, url), param);
}

vbfile* vbfile_init(libcdir_ctx* job, const char* url, err_info* err) {
    cdir_endpoints* e = endpoints_of(side_of(job, url));
    if (e == nullptr) {
        ERR_INFO_SET(err, VERR_NO_MEMORY, nullptr);
        return nullptr;
    }
    return e->open_bfile(job, side_of(job, url), err);
}

int vmfile_cmd(vmfile* h, uint32_t cmd, const char* base, const char* list) {
    if (!DV_ASSERT("cdir", h != nullptr)) return -1;
    int ret = h->post(cmd, base, list);
    if (ret < 0 && h->is_local) cdir_verr_check(h->job, ret);
    return ret;
}

int vmfile_list_ret(vmfile* h, char* buf, int len) {
    if (!DV_ASSERT("cdir", h != nullptr && buf != nullptr && len > 1)) return -1;
    int n = wait_for_data(h->job, h->is_local, [&] { return h->collect(buf, len - 1); });
    if (n <= 0) return -1;
    if (!DV_ASSERT("cdir", n <= len - 1)) n = len - 1;
    buf[n] = '\0';
    return n;
}

int vmfile_set_times(vmfile* h, const char* path, const mstat_attr& attr) {
    if (!DV_ASSERT("cdir", h != nullptr)) return -1;
    int ret = h->set_times(path, attr);
    if (ret != 0) {
        cdir_verr_check(h->job, ret < 0 ? ret : VERR_GENERAL_FAILURE);
        return -1;
    }
    return 0;
}

void vrdir_closer::operator()(vrdir* h) const {
    vrdir_close(h);
}
void vmfile_closer::operator()(vmfile* h) const {
    vmfile_close(h);
}
void vbfile_closer::operator()(vbfile* h) const {
    vbfile_exit(h);
}

void vmfile_stop(vmfile* h) {
    if (h != nullptr) h->stop();
}

void vmfile_close(vmfile* h) {
    delete h;
}
