#include "libcdir/v_rdir.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "libpal/os_fs.h"
#include "libpal/strnum.h"
#include "librdir/librdir.h"
#include "librdir/mfile.h"

bool cdir_url_is_local(const char* url) {
    return url == nullptr || strstr(url, "://") == nullptr;
}

namespace {

// The file-server client is not part of this build: a remote side fails in an orderly way.
void remote_not_supported(libcdir_ctx* job, const char* url, err_info* err) {
    CDIR_LOG(LOG_ERR, "[%s] remote endpoints are not supported", url);
    ERR_INFO_SET(err, VERR_NOT_SUPPORTED, nullptr);
    if (job != nullptr) job->last_verr.store(VERR_NOT_SUPPORTED);
}

class local_rdir final : public vrdir {
  public:
    explicit local_rdir(librdir_handle* h) : handle_(h) {}
    ~local_rdir() override { librdir_close(handle_); }
    local_rdir(const local_rdir&) = delete;
    local_rdir& operator=(const local_rdir&) = delete;

    int enum_dir(const char* path) override { return librdir_enum_dir(handle_, path); }
    int read_some(char* buf, int len) override { return librdir_read_item_list(handle_, buf, len); }

  private:
    librdir_handle* handle_;
};

class local_mfile final : public vmfile {
  public:
    explicit local_mfile(libmfile_handle* h) : handle_(h) {}
    ~local_mfile() override { libmfile_close(handle_); }
    local_mfile(const local_mfile&) = delete;
    local_mfile& operator=(const local_mfile&) = delete;

    int post(uint32_t cmd, const char* base, const char* list) override {
        return libmfile_cmd_add_list(handle_, cmd, base, list);
    }
    int collect(char* buf, int len) override { return libmfile_get_list_ret(handle_, buf, len); }
    int set_times(const char* path, const mstat_attr& attr) override {
        os_times times{};
        times.atime.sec = attr.atime;
        times.mtime.sec = attr.mtime;
        times.ctime.sec = attr.ctime;
        return lutime_raw(path, &times);
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

vrdir* vrdir_open(libcdir_ctx* job, const char* url, int is_destination,
                  const libcdir_rdir_param* param, cdir_side* side) {
    err_info* err = param != nullptr ? param->err : nullptr;
    if (!cdir_url_is_local(url)) {
        remote_not_supported(job, url, err);
        return nullptr;
    }
    // A local side's prepared URL text is its root path.
    if (is_destination && os_mkdirs_raw(url) != 0) {
        int eno = errno;
        CDIR_LOG(LOG_ERR | LOG_ERRNO, "mkdirs [%s] eno=%d error: ", url, eno);
        verr code = os_verr_get(eno);
        cdir_verr_check(job, code);
        ERR_INFO_SET(err, code, "mkdirs [%s] error: %s", url, os_strerror(eno));
        return nullptr;
    }
    librdir_param rp;
    rp.flag = param != nullptr ? static_cast<int>(param->flag) : 0;
    rp.read_timeout_ms = param != nullptr ? static_cast<int>(param->read_timeout_ms) : 0;
    rp.err = err;
    librdir_handle* h = librdir_open(url, &rp);
    if (h == nullptr) {
        if (err != nullptr) cdir_verr_check(job, err->code < 0 ? err->code : VERR_GENERAL_FAILURE);
        return nullptr;
    }
    auto* handle = new (std::nothrow) local_rdir(h);
    if (handle == nullptr) {
        librdir_close(h);
        ERR_INFO_SET(err, VERR_NO_MEMORY, nullptr);
        return nullptr;
    }
    handle->job = job;
    handle->is_local = true;
    if (side != nullptr) {
        side->url = url;
        side->root = url;
        side->is_local = true;
    }
    return handle;
}

int vrdir_enum_dir(vrdir* h, const char* path) {
    if (!DV_ASSERT("cdir", h != nullptr)) return -1;
    return h->enum_dir(path);
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
    err_info* err = param != nullptr ? param->err : nullptr;
    if (!cdir_url_is_local(url)) {
        remote_not_supported(job, url, err);
        return nullptr;
    }
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

int vmfile_cmd(vmfile* h, uint32_t cmd, const char* base, const char* list) {
    if (!DV_ASSERT("cdir", h != nullptr)) return -1;
    int ret = h->post(cmd, base, list);
    if (ret < 0) cdir_verr_check(h->job, VERR_GENERAL_FAILURE);
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
    if (h->set_times(path, attr) != 0) {
        cdir_verr_check(h->job, os_verr_get(errno));
        return -1;
    }
    return 0;
}

void vmfile_stop(vmfile* h) {
    if (h != nullptr) h->stop();
}

void vmfile_close(vmfile* h) {
    delete h;
}
