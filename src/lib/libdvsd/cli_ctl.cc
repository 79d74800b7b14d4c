// Control operations: the two generic control requests, the local codes of the dispatcher, the
// information requests and the control codes the client sends.
#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "libdvsd/cli_internal.h"
#include "libpwd/libpwd.h"

namespace {

constexpr size_t kConfSize = 4096;
constexpr size_t kConfTextMax = 8181;
constexpr size_t kAllowReadonlyMax = 31;
constexpr size_t kSmartDeviceMax = 4095;
constexpr size_t kSmartCommandMax = 32767;
constexpr size_t kVssOutMax = 4096;
constexpr size_t kNumberOut = 512;
constexpr uint32_t kHashMaxOld = 1023;

void copy_text(char* dst, size_t size, const char* src) {
    snprintf(dst, size, "%s", src != nullptr ? src : "");
}

// The text argument of a control request: text and its zero.
std::string with_zero(const std::string& text) {
    std::string out = text;
    out.push_back('\0');
    return out;
}

bool has_tab(const char* s) {
    return s != nullptr && strchr(s, '\t') != nullptr;
}

bool code_in(int32_t code, std::initializer_list<int32_t> codes) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

int refuse(void* handle, const char* why) {
    dvsd_cli_ctx* ctx = cli_get_ctx(handle, nullptr);
    if (ctx != nullptr) cli_fail(ctx, VERR_INVALID_PARAMETER, why);
    return -1;
}

// Times-record texts of 10029 / 10030.
std::string times_text(const char* path, const dvsd_times* t) {
    return cli_format("%s\t%llu\t%llu\t%llu\t%u\t%u\t%u", path,
                      static_cast<unsigned long long>(t->time_access),
                      static_cast<unsigned long long>(t->time_write),
                      static_cast<unsigned long long>(t->time_create), t->time_access_ns,
                      t->time_write_ns, t->time_create_ns);
}

// ---- local codes ----

int local_geometry(dvsd_cli_ctx* ctx, uint64_t fd, dvsd_geometry* out) {
    cli_msg_begin(ctx);
    ctx->msg.add_int64(SDF_FD, fd);
    const blob_attr* tb[SD_GEOMETRY_COUNT];
    const int rc =
        cli_request(ctx, SD_REQ_GEOMETRY, false, tb, SD_GEOMETRY_COUNT, "parse data error");
    if (rc == SD_FRAME_OK && out != nullptr) {
        out->type = static_cast<uint32_t>(blobmsg_get_int32(tb[SD_GEOMETRY_TYPE]));
        out->len = static_cast<uint64_t>(blobmsg_get_int64(tb[SD_GEOMETRY_LEN]));
        out->offset = static_cast<uint64_t>(blobmsg_get_int64(tb[SD_GEOMETRY_OFFSET]));
        out->sector_bytes = static_cast<uint32_t>(blobmsg_get_int32(tb[SD_GEOMETRY_SECTOR_BYTES]));
        copy_text(out->info, sizeof out->info, blobmsg_get_string(tb[SD_GEOMETRY_INFO]));
    }
    return rc;
}

// Class of the last server error: 0 none, 1 access, 2 not found, 3 anything else.
uint32_t error_class(const dvsd_cli_ctx* ctx) {
    const int32_t e = ctx->frame.srv_errno;
    if (e == 0) return 0;
    if (ctx->os_type == 1) {
        if (e == 55 || e == 2) return 2;
        if (e == 23 || e == 1117) return 1;
        return 3;
    }
    if (e == 6) return 2;
    if (e == 5) return 1;
    return 3;
}

int local_futimes(dvsd_cli_ctx* ctx, uint64_t fd, const dvsd_times* t) {
    const uint8_t code = ctx->ext_stat ? SD_REQ_FSET_TIME_EX : SD_REQ_FSET_TIME;
    cli_msg_begin(ctx);
    ctx->msg.add_int64(SDF_FD, fd);
    ctx->msg.add_int64(SDF_TIME_ACCESS, t->time_access);
    ctx->msg.add_int64(SDF_TIME_WRITE, t->time_write);
    ctx->msg.add_int64(SDF_TIME_CREATE, t->time_create);
    if (code == SD_REQ_FSET_TIME_EX) {
        ctx->msg.add_int32(SDF_TIME_ACCESS_NS, t->time_access_ns);
        ctx->msg.add_int32(SDF_TIME_WRITE_NS, t->time_write_ns);
        ctx->msg.add_int32(SDF_TIME_CREATE_NS, t->time_create_ns);
    }
    const blob_attr* tb[SD_STATUS_COUNT];
    return cli_request(ctx, code, false, tb, SD_STATUS_COUNT, "parse data error");
}

int local_frange(dvsd_cli_ctx* ctx, uint64_t fd, const dvsd_range* r) {
    cli_msg_begin(ctx);
    ctx->msg.add_int64(SDF_FD, fd);
    ctx->msg.add_int32(SDF_TYPE, r->type);
    ctx->msg.add_int64(SDF_OFFSET, r->offset);
    ctx->msg.add_int64(SDF_LEN, r->len);
    const blob_attr* tb[SD_STATUS_COUNT];
    return cli_request(ctx, SD_REQ_RANGE, false, tb, SD_STATUS_COUNT, "parse data error");
}

uint32_t data_len(const void* data, uint32_t len) {
    if (len != DVSD_CLI_TEXT) return len;
    return data != nullptr ? static_cast<uint32_t>(strlen(static_cast<const char*>(data)) + 1) : 0;
}

// A decimal number at the start of an output text.
bool parse_u64(const char* text, int base, uint64_t* value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = strtoull(text, &end, base);
    if (end == text || errno != 0) return false;
    *value = v;
    return true;
}

// A control request with output into a text buffer of `size` bytes; the output is terminated.
int ctl_out_text(dvsd_cli_ctx* ctx, uint64_t fd, int32_t code, const std::string* text, char* out,
                 uint32_t size, uint32_t* out_len) {
    const std::string data = text != nullptr ? with_zero(*text) : std::string();
    std::vector<char> scratch;
    char* dst = out;
    uint32_t capacity = size;
    if (dst == nullptr || capacity == 0) {
        scratch.resize(1);
        dst = scratch.data();
        capacity = 1;
    }
    uint32_t got = 0;
    // One byte is kept for the terminating zero.
    const int rc = cli_ioctl_imp(ctx, fd, code, data.data(), data.size(), dst, capacity - 1, &got);
    dst[rc == SD_FRAME_OK ? got : 0] = '\0';
    if (out_len != nullptr) *out_len = rc == SD_FRAME_OK ? got : 0;
    return rc;
}

}  // namespace

void cli_fill_stat(const blob_attr* const* tb, bool extended, dvsd_stat* st) {
    st->type = static_cast<uint32_t>(blobmsg_get_int32(tb[SD_STAT_TYPE]));
    st->attrib_mode = static_cast<uint32_t>(blobmsg_get_int32(tb[SD_STAT_ATTRIB_MODE]));
    st->uid = static_cast<uint32_t>(blobmsg_get_int32(tb[SD_STAT_UID]));
    st->gid = static_cast<uint32_t>(blobmsg_get_int32(tb[SD_STAT_GID]));
    st->len = static_cast<uint64_t>(blobmsg_get_int64(tb[SD_STAT_LEN]));
    st->time_access = static_cast<uint64_t>(blobmsg_get_int64(tb[SD_STAT_TIME_ACCESS]));
    st->time_write = static_cast<uint64_t>(blobmsg_get_int64(tb[SD_STAT_TIME_WRITE]));
    st->time_create = static_cast<uint64_t>(blobmsg_get_int64(tb[SD_STAT_TIME_CREATE]));
    if (!extended) {
        st->time_access_ns = st->time_write_ns = st->time_create_ns = 0;
        return;
    }
    const auto u32 = [&](size_t i) { return static_cast<uint32_t>(blobmsg_get_int32(tb[i])); };
    const auto u64 = [&](size_t i) { return static_cast<uint64_t>(blobmsg_get_int64(tb[i])); };
    st->time_access_ns = u32(SD_STAT_TIME_ACCESS_NS);
    st->time_write_ns = u32(SD_STAT_TIME_WRITE_NS);
    st->time_create_ns = u32(SD_STAT_TIME_CREATE_NS);
    st->st_nlink = u64(SD_STAT_ST_NLINK);
    st->st_dev = u64(SD_STAT_ST_DEV);
    st->st_rdev = u64(SD_STAT_ST_RDEV);
    st->st_ino = u64(SD_STAT_ST_INO);
    st->st_blksize = u64(SD_STAT_ST_BLKSIZE);
    st->st_blocks = u64(SD_STAT_ST_BLOCKS);
}

// ---- generic requests ---------------------------------------------------------------------------

int cli_file_ioctl(dvsd_cli_ctx* ctx, uint64_t fd, int32_t code, const void* data, size_t len) {
    cli_msg_begin(ctx);
    ctx->msg.add_int64(SDF_FD, fd);
    ctx->msg.add_int32(SDF_CMD, static_cast<uint32_t>(code));
    ctx->msg.add_int32(SDF_LEN, static_cast<uint32_t>(len));
    ctx->msg.add_field(BLOBMSG_TYPE_BINARY, SDF_DATA, data, len);
    const blob_attr* tb[SD_STATUS_COUNT];
    const int rc =
        cli_request(ctx, SD_REQ_FILE_IOCTL, false, tb, SD_STATUS_COUNT, "parse data error");
    if (rc != SD_FRAME_OK || code != DVSD_IOCTL_PACK) return rc;
    // The server packs with the named codec from now on: so must we.
    std::string name(static_cast<const char*>(data), strnlen(static_cast<const char*>(data), len));
    if (name.size() >= ZCOMP_NAME_SIZE) name.resize(ZCOMP_NAME_SIZE - 1);
    if (cli_set_packer(ctx, name.c_str()) != 0) {
        CLI_LOG(LOG_DBG, "cli_ioctl_imp ret=%d\n", -1);
        return SD_FRAME_UNPACK_ERROR;
    }
    return SD_FRAME_OK;
}

namespace {

// Builds control request `code` on handle `fd` in ctx->msg, asking for at most `olen` bytes of
// output; false when the message could not be built.
bool build_ioctl(dvsd_cli_ctx* ctx, uint64_t fd, int32_t code, const void* data, size_t len,
                 uint32_t olen) {
    cli_msg_begin(ctx);
    ctx->msg.add_int64(SDF_FD, fd);
    ctx->msg.add_int32(SDF_CMD, static_cast<uint32_t>(code));
    ctx->msg.add_field(BLOBMSG_TYPE_BINARY, SDF_DATA, data, len);
    ctx->msg.add_int32(SDF_OLEN, olen);
    return ctx->msg.ok();
}

}  // namespace

int cli_ioctl_imp(dvsd_cli_ctx* ctx, uint64_t fd, int32_t code, const void* data, size_t len,
                  void* out, uint32_t out_capacity, uint32_t* out_len) {
    const uint32_t olen = std::min(out_capacity, DVSD_CLI_MAX_BLOCK);
    if (!build_ioctl(ctx, fd, code, data, len, olen)) return SD_FRAME_NO_MEMORY;
    if (code == DVSD_IOCTL2_ATTACH_CTX_REPLY) {
        // The server answers with the response of the context's last request; the repair layer
        // reads it.
        if (ctx->net.stop.load(std::memory_order_acquire) != 0) return SD_FRAME_USER_STOP;
        return dvsd_send_request(&ctx->frame, SD_REQ_IOCTL, ctx->msg);
    }
    const bool context_code = code >= SD_CTL_CTX_FIRST && code <= SD_CTL_CTX_LAST;
    const bool was_enabled = ctx->frame.repair_enabled;
    if (context_code) ctx->frame.repair_enabled = false;
    const blob_attr* tb[SD_IOCTL_COUNT];
    const int rc = cli_request(ctx, SD_REQ_IOCTL, false, tb, SD_IOCTL_COUNT, "parse data error");
    if (context_code) ctx->frame.repair_enabled = was_enabled;
    if (rc != SD_FRAME_OK) return rc;
    const size_t have = blobmsg_data_len(tb[SD_IOCTL_DATA]);
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(have, out_capacity));
    if (out != nullptr && n > 0) memcpy(out, blobmsg_data(tb[SD_IOCTL_DATA]), n);
    if (out_len != nullptr) *out_len = out != nullptr ? n : 0;
    return SD_FRAME_OK;
}

int cli_ctl_text(void* handle, int32_t code, const std::string& text) {
    uint64_t fd = 0;
    dvsd_cli_ctx* ctx = cli_get_ctx(handle, &fd);
    if (ctx == nullptr) return -1;
    const std::string data = with_zero(text);
    return cli_outcome(ctx, cli_file_ioctl(ctx, fd, code, data.data(), data.size()));
}

int cli_ctl_text_out(void* handle, int32_t code, const std::string* text, char* out,
                     uint32_t out_size, uint32_t* out_len) {
    uint64_t fd = 0;
    dvsd_cli_ctx* ctx = cli_get_ctx(handle, &fd);
    if (ctx == nullptr) return -1;
    return cli_outcome(ctx, ctl_out_text(ctx, fd, code, text, out, out_size, out_len));
}

int dvsd_cli_ioctl(void* handle, int32_t code, void* data, uint32_t len) {
    uint64_t fd = 0;
    dvsd_cli_ctx* ctx = cli_get_ctx(handle, &fd);
    if (ctx == nullptr) return -1;
    int rc = SD_FRAME_OK;
    switch (code) {
        case DVSD_IOCTL_GEOMETRY:
            rc = local_geometry(ctx, fd, static_cast<dvsd_geometry*>(data));
            break;
        case DVSD_IOCTL_ERROR_CLASS:
            if (data != nullptr) *static_cast<uint32_t*>(data) = error_class(ctx);
            break;
        case DVSD_IOCTL_FSTAT: {
            const uint8_t req = ctx->ext_stat ? SD_REQ_FSTAT_EX : SD_REQ_FSTAT;
            cli_msg_begin(ctx);
            ctx->msg.add_int64(SDF_FD, fd);
            const blob_attr* tb[SD_STAT_EX_COUNT];
            const size_t count = ctx->ext_stat ? SD_STAT_EX_COUNT : SD_STAT_COUNT;
            rc = cli_request(ctx, req, ctx->ext_stat, tb, count, "cli_blobmsg_parse");
            if (rc == SD_FRAME_OK && data != nullptr) {
                cli_fill_stat(tb, ctx->ext_stat, static_cast<dvsd_stat*>(data));
            }
            break;
        }
        case DVSD_IOCTL_FUTIMES:
            if (data == nullptr) return refuse(handle, "times record missing");
            rc = local_futimes(ctx, fd, static_cast<const dvsd_times*>(data));
            break;
        case DVSD_IOCTL_FRANGE:
            if (data == nullptr) return refuse(handle, "range record missing");
            rc = local_frange(ctx, fd, static_cast<const dvsd_range*>(data));
            break;
        default:
            rc = cli_file_ioctl(ctx, fd, code, data, data_len(data, len));
            break;
    }
    return cli_outcome(ctx, rc);
}

int dvsd_cli_ioctl2(void* handle, int32_t code, const void* data, uint32_t len, void* out,
                    uint32_t out_capacity, uint32_t* out_len) {
    uint64_t fd = 0;
    dvsd_cli_ctx* ctx = cli_get_ctx(handle, &fd);
    if (ctx == nullptr) return -1;
    return cli_outcome(
        ctx, cli_ioctl_imp(ctx, fd, code, data, data_len(data, len), out, out_capacity, out_len));
}

namespace {

// What a response to request 8 with `olen` bytes of output takes at most: the output, its fields
// and the error text.
size_t ioctl_reply_bound(uint32_t olen) {
    return size_t{olen} + SD_FRAME_HEAD_SIZE + SD_SRV_ERROR_TEXT_SIZE + 256;
}

// The output of a control reply in the reply buffer.
int ioctl_output(dvsd_cli_ctx* ctx, size_t len, void* out, uint32_t out_capacity,
                 uint32_t* out_len) {
    const blob_attr* tb[SD_IOCTL_COUNT];
    const int rc = cli_parse(ctx, SD_REQ_IOCTL, false, tb, SD_IOCTL_COUNT, len, "parse data error");
    if (rc != SD_FRAME_OK) return rc;
    const size_t have = blobmsg_data_len(tb[SD_IOCTL_DATA]);
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(have, out_capacity));
    if (out != nullptr && n > 0) memcpy(out, blobmsg_data(tb[SD_IOCTL_DATA]), n);
    if (out_len != nullptr) *out_len = out != nullptr ? n : 0;
    return SD_FRAME_OK;
}

}  // namespace

int cli_post_ioctl(dvsd_cli_ctx* ctx, uint64_t fd, int32_t code, const void* data, uint32_t len,
                   uint32_t out_capacity) {
    const uint32_t olen = std::min(out_capacity, DVSD_CLI_MAX_BLOCK);
    if (!build_ioctl(ctx, fd, code, data, data_len(data, len), olen)) return SD_FRAME_NO_MEMORY;
    if (ctx->net.stop.load(std::memory_order_acquire) != 0) return SD_FRAME_USER_STOP;
    return dvsd_post_request(&ctx->frame, SD_REQ_IOCTL, ctx->msg, ioctl_reply_bound(olen));
}

int dvsd_cli_post_ioctl2(void* handle, int32_t code, const void* data, uint32_t len,
                         uint32_t out_capacity) {
    uint64_t fd = 0;
    dvsd_cli_ctx* ctx = cli_get_ctx(handle, &fd);
    if (ctx == nullptr) return -1;
    // Context codes stand outside the count a replay goes by: never ahead of an answer.
    if (code >= SD_CTL_CTX_FIRST && code <= SD_CTL_CTX_LAST) return cli_not_supported(ctx);
    if (!ctx->pipe_armed && sd_frame_pending(&ctx->frame) == 0) {
        const int rc = cli_pipe_arm(ctx);
        if (rc != SD_FRAME_OK) return cli_outcome(ctx, rc);
    }
    return cli_outcome(ctx, cli_post_ioctl(ctx, fd, code, data, len, out_capacity));
}

int dvsd_cli_collect_ioctl2(dvsd_cli_ctx* ctx, void* out, uint32_t out_capacity,
                            uint32_t* out_len) {
    if (ctx == nullptr) return -1;
    size_t len = 0;
    int rc = client_collect_response(&ctx->frame, &len);
    if (rc == SD_FRAME_OK) rc = ioctl_output(ctx, len, out, out_capacity, out_len);
    return cli_outcome(ctx, rc);
}

int dvsd_cli_collect_discard(dvsd_cli_ctx* ctx) {
    if (ctx == nullptr) return -1;
    size_t len = 0;
    return cli_outcome(ctx, client_collect_response(&ctx->frame, &len));
}

uint32_t dvsd_cli_pipe_window(const dvsd_cli_ctx* ctx) {
    return ctx != nullptr ? ctx->frame.window : 0;
}

size_t dvsd_cli_pipe_pending(const dvsd_cli_ctx* ctx) {
    return ctx != nullptr ? sd_frame_pending(&ctx->frame) : 0;
}

// ---- wrappers over local codes ------------------------------------------------------------------

uint64_t dvsd_cli_get_size(void* handle) {
    dvsd_geometry g;
    return dvsd_cli_ioctl(handle, DVSD_IOCTL_GEOMETRY, &g, sizeof g) == 0 ? g.len : UINT64_MAX;
}

uint64_t dvsd_cli_get_offset(void* handle) {
    dvsd_geometry g;
    return dvsd_cli_ioctl(handle, DVSD_IOCTL_GEOMETRY, &g, sizeof g) == 0 ? g.offset : UINT64_MAX;
}

int dvsd_cli_fstat(void* handle, dvsd_stat* st) {
    return dvsd_cli_ioctl(handle, DVSD_IOCTL_FSTAT, st, sizeof *st);
}

int dvsd_cli_futimes(void* handle, const dvsd_times* times) {
    return dvsd_cli_ioctl(handle, DVSD_IOCTL_FUTIMES, const_cast<dvsd_times*>(times),
                          sizeof *times);
}

int dvsd_cli_frange(void* handle, uint32_t type, uint64_t offset, uint64_t len) {
    dvsd_range r{type, offset, len};
    return dvsd_cli_ioctl(handle, DVSD_IOCTL_FRANGE, &r, sizeof r);
}

// ---- information requests -----------------------------------------------------------------------

namespace {

int text_request(dvsd_cli_ctx* ctx, uint8_t code, size_t index, size_t count, char* buf,
                 uint32_t size) {
    cli_msg_begin(ctx);
    ctx->msg.add_string(SDF_PARAM, "");
    std::vector<const blob_attr*> tb(count);
    const int rc = cli_request(ctx, code, false, tb.data(), count, "parse data error");
    if (rc == SD_FRAME_OK && buf != nullptr && size > 0) {
        copy_text(buf, size, blobmsg_get_string(tb[index]));
    }
    return rc;
}

}  // namespace

int dvsd_cli_lsblk(dvsd_cli_ctx* ctx, char* buf, uint32_t size) {
    if (ctx == nullptr) return -1;
    return cli_outcome(ctx,
                       text_request(ctx, SD_REQ_LSBLK, SD_LSBLK_LSBLK, SD_LSBLK_COUNT, buf, size));
}

int dvsd_cli_info(dvsd_cli_ctx* ctx, char* buf, uint32_t size) {
    if (ctx == nullptr) return -1;
    return cli_outcome(ctx, text_request(ctx, SD_REQ_INFO, SD_INFO_INFO, SD_INFO_COUNT, buf, size));
}

int dvsd_cli_statfs(dvsd_cli_ctx* ctx, const char* path, dvsd_statfs* out) {
    if (ctx == nullptr) return -1;
    if (path == nullptr) return cli_fail(ctx, VERR_INVALID_PARAMETER, "path missing");
    cli_msg_begin(ctx);
    ctx->msg.add_string(SDF_PATH, path);
    const blob_attr* tb[SD_STATFS_COUNT];
    const int rc = cli_request(ctx, SD_REQ_STATFS, false, tb, SD_STATFS_COUNT, "parse data error");
    if (rc == SD_FRAME_OK && out != nullptr) {
        out->flags = static_cast<uint32_t>(blobmsg_get_int32(tb[SD_STATFS_FLAGS]));
        out->name_len = static_cast<uint32_t>(blobmsg_get_int32(tb[SD_STATFS_NAME_LEN]));
        out->avail_bytes = static_cast<uint64_t>(blobmsg_get_int64(tb[SD_STATFS_AVAIL_BYTES]));
        out->free_bytes = static_cast<uint64_t>(blobmsg_get_int64(tb[SD_STATFS_FREE_BYTES]));
        out->total_bytes = static_cast<uint64_t>(blobmsg_get_int64(tb[SD_STATFS_TOTAL_BYTES]));
        copy_text(out->fs_name, sizeof out->fs_name, blobmsg_get_string(tb[SD_STATFS_FS_NAME]));
        copy_text(out->vol_name, sizeof out->vol_name, blobmsg_get_string(tb[SD_STATFS_VOL_NAME]));
    }
    return cli_outcome(ctx, rc);
}

// ---- settings -----------------------------------------------------------------------------------

int64_t dvsd_cli_get_conf(dvsd_cli_ctx* ctx, char* buf, uint32_t size) {
    if (ctx == nullptr) return -1;
    uint32_t got = 0;
    if (cli_ctl_text_out(ctx, DVSD_IOCTL_GET_CONF, nullptr, buf, size, &got) != 0) return -1;
    return got;
}

int dvsd_cli_deny_set_readonly(dvsd_cli_ctx* ctx, int* deny) {
    if (ctx == nullptr || deny == nullptr) return -1;
    *deny = 0;
    if (!cli_ver_at_least(ctx, CLI_VER_READONLY_CONF)) return 0;
    std::vector<char> conf(kConfSize);
    if (dvsd_cli_get_conf(ctx, conf.data(), static_cast<uint32_t>(conf.size())) < 0) return -1;
    // Records "key=value" separated by "\r\n".
    std::string_view text(conf.data());
    while (!text.empty()) {
        size_t end = text.find("\r\n");
        const std::string_view record = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 2);
        const size_t eq = record.find('=');
        if (eq == std::string_view::npos || record.substr(0, eq) != "allow_set_readonly") continue;
        const std::string_view value = record.substr(eq + 1);
        if (value.size() <= kAllowReadonlyMax && value == "0") *deny = 1;
        break;
    }
    return 0;
}

int dvsd_cli_set_conf(void* handle, const char* text) {
    dvsd_cli_ctx* ctx = cli_get_ctx(handle, nullptr);
    if (ctx == nullptr) return -1;
    if (text == nullptr) return cli_fail(ctx, VERR_INVALID_PARAMETER, "settings text missing");
    std::string conf(text);
    if (conf.size() > kConfTextMax) {
        return cli_fail(ctx, VERR_INVALID_PARAMETER, "settings text too long");
    }
    // Split into records; credentials travel enciphered with the login key.
    std::vector<std::string> records;
    for (std::string_view rest(conf); !rest.empty();) {
        const size_t end = rest.find("\r\n");
        records.emplace_back(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 2);
    }
    const auto find = [&](const char* key) -> std::string* {
        const std::string prefix = std::string(key) + "=";
        for (auto& r : records) {
            if (r.starts_with(prefix)) return &r;
        }
        return nullptr;
    };
    std::string* user = find("user");
    std::string* passwd = find("passwd");
    if (user != nullptr && passwd != nullptr) {
        for (auto [record, key] : {std::pair{user, "user"}, std::pair{passwd, "passwd"}}) {
            const std::string value = record->substr(strlen(key) + 1);
            std::vector<char> sealed(4 * value.size() / 3 + 8);
            if (libpwd_encrypt_b64(value.c_str(), ctx->login_key, sealed.data(), sealed.size()) !=
                0) {
                return cli_fail(ctx, VERR_AUTHENTICATION_FAILURE,
                                "no login key to encipher the credentials");
            }
            *record = std::string(key) + "=" + sealed.data();
        }
        // Enciphered records are separated by line feeds.
        conf.clear();
        for (size_t i = 0; i < records.size(); ++i) {
            if (i > 0) conf += "\n";
            conf += records[i];
        }
    }
    uint64_t fd = 0;
    cli_get_ctx(handle, &fd);
    const std::string data = with_zero(conf);
    return cli_outcome(ctx, cli_ioctl_imp(ctx, fd, DVSD_IOCTL_SET_CONF, data.data(), data.size(),
                                          nullptr, 0, nullptr));
}

int dvsd_cli_get_counters(void* handle, const char* text, uint64_t counters[11]) {
    dvsd_cli_ctx* ctx = cli_get_ctx(handle, nullptr);
    if (ctx == nullptr) return -1;
    std::vector<char> out(kConfSize);
    const std::string arg = text != nullptr ? text : "";
    if (cli_ctl_text_out(handle, DVSD_IOCTL_PACK, &arg, out.data(),
                         static_cast<uint32_t>(out.size()), nullptr) != 0) {
        return -1;
    }
    std::vector<typed_dest> dest;
    for (int i = 0; i < 11; ++i) {
        counters[i] = 0;
        dest.emplace_back(&counters[i]);
    }
    const int n = cli_typed_list_parse(out.data(), SD_TYPED_LIST_SEPARATOR,
                                       "u64|u64|u64|u64|u64|u64|u64|u64|u64|u64|u64", dest);
    if (n != 11) return cli_outcome(ctx, SD_FRAME_DATA_ERROR);
    return 0;
}

// ---- named control operations -------------------------------------------------------------------

int dvsd_cli_mkdirs(void* handle, const char* path) {
    return dvsd_cli_ctl_s(handle, DVSD_IOCTL_MKDIRS, path);
}

int dvsd_cli_set_times(void* handle, const char* path, const dvsd_times* times) {
    if (path == nullptr || times == nullptr || has_tab(path)) return refuse(handle, "bad times");
    return cli_ctl_text(handle, DVSD_IOCTL_SET_TIMES, times_text(path, times));
}

int dvsd_cli_set_times2(void* handle, const char* path, const dvsd_times* times) {
    if (path == nullptr || times == nullptr || has_tab(path)) return refuse(handle, "bad times");
    return cli_ctl_text(handle, DVSD_IOCTL_SET_TIMES2, times_text(path, times));
}

namespace {

int gated_path_flag(void* handle, int32_t code, const char* path, int32_t flag) {
    dvsd_cli_ctx* ctx = cli_get_ctx(handle, nullptr);
    if (ctx == nullptr) return -1;
    if (!cli_ver_at_least(ctx, CLI_VER_1_7_8)) return cli_not_supported(ctx);
    if (path == nullptr || has_tab(path)) return refuse(handle, "bad path");
    return cli_ctl_text(handle, code, cli_format("%s\t%d", path, flag));
}

}  // namespace

int dvsd_cli_rmdir2(void* handle, const char* path, int32_t flag) {
    return gated_path_flag(handle, DVSD_IOCTL_RMDIR2, path, flag);
}

int dvsd_cli_remove2(void* handle, const char* path, int32_t flag) {
    return gated_path_flag(handle, DVSD_IOCTL_REMOVE2, path, flag);
}

int dvsd_cli_hash_init(dvsd_cli_file* file, uint32_t block_count, uint32_t a, uint32_t b,
                       const char* text, char* out, uint32_t out_size) {
    dvsd_cli_ctx* ctx = cli_get_ctx(file, nullptr);
    if (ctx == nullptr) return -1;
    if (!cli_ver_at_least(ctx, CLI_VER_HASH_INIT)) return cli_not_supported(ctx);
    if (block_count > kHashMaxOld && !cli_ver_at_least(ctx, CLI_VER_1_6_3)) {
        return cli_not_supported(ctx);
    }
    if (has_tab(text)) return refuse(file, "text holds a tab");
    const std::string arg =
        cli_format("%llx\t%u\t%u\t%u\t%s", static_cast<unsigned long long>(file->fd), block_count,
                   a, b, text != nullptr ? text : "");
    return cli_ctl_text_out(file, DVSD_IOCTL_HASH_INIT, &arg, out, out_size, nullptr);
}

int dvsd_cli_bcount_init(dvsd_cli_file* file, int32_t a, uint32_t b, int32_t c, const char* text,
                         char* out, uint32_t out_size) {
    dvsd_cli_ctx* ctx = cli_get_ctx(file, nullptr);
    if (ctx == nullptr) return -1;
    if (!cli_ver_at_least(ctx, CLI_VER_1_6_2)) return cli_not_supported(ctx);
    if (has_tab(text)) return refuse(file, "text holds a tab");
    const std::string arg =
        cli_format("%llx\t%d\t%u\t%d\t%s", static_cast<unsigned long long>(file->fd), a, b, c,
                   text != nullptr ? text : "");
    return cli_ctl_text_out(file, DVSD_IOCTL_BCOUNT_INIT, &arg, out, out_size, nullptr);
}

int dvsd_cli_ioctl_10109(dvsd_cli_file* file, uint32_t a, uint32_t b, char* out,
                         uint32_t out_size) {
    dvsd_cli_ctx* ctx = cli_get_ctx(file, nullptr);
    if (ctx == nullptr) return -1;
    if (!cli_ver_at_least(ctx, CLI_VER_1_6_2)) return 0;
    const std::string arg =
        cli_format("%llx\t%u\t%u", static_cast<unsigned long long>(file->fd), a, b);
    return cli_ctl_text_out(file, DVSD_IOCTL_10109, &arg, out, out_size, nullptr);
}

int64_t dvsd_cli_hash_max(void* handle) {
    dvsd_cli_ctx* ctx = cli_get_ctx(handle, nullptr);
    if (ctx == nullptr) return -1;
    if (!cli_ver_at_least(ctx, CLI_VER_1_6_3)) return kHashMaxOld;
    char out[kNumberOut];
    if (cli_ctl_text_out(handle, DVSD_IOCTL_HASH_MAX, nullptr, out, sizeof out, nullptr) != 0) {
        return -1;
    }
    uint64_t value = 0;
    if (!parse_u64(out, 16, &value) || value > INT64_MAX) {
        return cli_outcome(ctx, SD_FRAME_DATA_ERROR);
    }
    return static_cast<int64_t>(value);
}

int dvsd_cli_vss_mount(void* handle, const char* text, char* out, uint32_t out_size) {
    dvsd_cli_ctx* ctx = cli_get_ctx(handle, nullptr);
    if (ctx == nullptr) return -1;
    if (!cli_ver_at_least(ctx, CLI_VER_1_6_7)) return cli_not_supported(ctx);
    const std::string arg = text != nullptr ? text : "";
    return cli_ctl_text_out(handle, DVSD_IOCTL_VSS_MOUNT, &arg, out,
                            std::min<uint32_t>(out_size, kVssOutMax), nullptr);
}

int dvsd_cli_hash_get2(void* handle, char* out, uint32_t out_size) {
    dvsd_cli_ctx* ctx = cli_get_ctx(handle, nullptr);
    if (ctx == nullptr) return -1;
    if (!cli_ver_at_least(ctx, CLI_VER_HASH_GET2)) return cli_not_supported(ctx);
    if (out == nullptr) return 0;
    uint64_t fd = 0;
    cli_get_ctx(handle, &fd);
    return cli_outcome(
        ctx, cli_ioctl_imp(ctx, fd, DVSD_IOCTL_HASH_GET2, nullptr, 0, out, out_size, nullptr));
}

// ---- control codes by argument shape ------------------------------------------------------------

int dvsd_cli_ctl_s(void* handle, int32_t code, const char* s) {
    if (!code_in(code, {SD_CTL_MKDIRS, SD_CTL_10014, SD_CTL_10015}))
        return refuse(handle, "code does not take a path");
    if (s == nullptr || has_tab(s)) return refuse(handle, "bad text argument");
    return cli_ctl_text(handle, code, s);
}

int dvsd_cli_ctl_ss(void* handle, int32_t code, const char* s1, const char* s2) {
    if (!code_in(code, {SD_CTL_10023, SD_CTL_10024}))
        return refuse(handle, "code does not take two texts");
    if (s1 == nullptr || s2 == nullptr || has_tab(s1) || has_tab(s2)) {
        return refuse(handle, "bad text argument");
    }
    return cli_ctl_text(handle, code, cli_format("%s\t%s", s1, s2));
}

int dvsd_cli_ctl_ssu(void* handle, int32_t code, const char* s1, const char* s2, uint32_t u) {
    if (code != SD_CTL_10016) return refuse(handle, "code does not take two texts and a number");
    if (s1 == nullptr || s2 == nullptr || has_tab(s1) || has_tab(s2)) {
        return refuse(handle, "bad text argument");
    }
    return cli_ctl_text(handle, code, cli_format("%s\t%s\t%u", s1, s2, u));
}

int dvsd_cli_ctl_su(void* handle, int32_t code, const char* s, uint32_t u) {
    if (!code_in(code, {SD_CTL_10018, SD_CTL_10019, SD_CTL_10020, SD_CTL_10022, SD_CTL_10025,
                        SD_CTL_10026, SD_CTL_10101})) {
        return refuse(handle, "code does not take a text and a number");
    }
    if (s == nullptr || has_tab(s)) return refuse(handle, "bad text argument");
    return cli_ctl_text(handle, code, cli_format("%s\t%u", s, u));
}

int dvsd_cli_ctl_sul(void* handle, int32_t code, const char* s, uint32_t u, uint64_t l) {
    if (code != SD_CTL_10021) return refuse(handle, "code does not take a text and two numbers");
    if (s == nullptr || has_tab(s)) return refuse(handle, "bad text argument");
    return cli_ctl_text(handle, code,
                        cli_format("%s\t%u\t%llu", s, u, static_cast<unsigned long long>(l)));
}

int dvsd_cli_ctl_suu(void* handle, int32_t code, const char* s, uint32_t u1, uint32_t u2) {
    if (!code_in(code, {SD_CTL_10027, SD_CTL_10028})) {
        return refuse(handle, "code does not take a text and two numbers");
    }
    if (s == nullptr || has_tab(s)) return refuse(handle, "bad text argument");
    return cli_ctl_text(handle, code, cli_format("%s\t%u\t%u", s, u1, u2));
}

int dvsd_cli_ctl_sl(void* handle, int32_t code, const char* s, int64_t l) {
    if (code != SD_CTL_10035) return refuse(handle, "code does not take a text and a number");
    if (s == nullptr || has_tab(s)) return refuse(handle, "bad text argument");
    return cli_ctl_text(handle, code, cli_format("%s\t%lli", s, static_cast<long long>(l)));
}

int dvsd_cli_ctl_u(void* handle, int32_t code, uint32_t u) {
    if (!code_in(code, {SD_CTL_10102, SD_CTL_10104}))
        return refuse(handle, "code does not take a number");
    return cli_ctl_text(handle, code, cli_format("%u", u));
}

int dvsd_cli_ctl_uu(void* handle, int32_t code, uint32_t u1, uint32_t u2) {
    if (code != SD_CTL_HASH_INIT) return refuse(handle, "code does not take two numbers");
    return cli_ctl_text(handle, code, cli_format("%u\t%u", u1, u2));
}

int dvsd_cli_ctl_out(void* handle, int32_t code, const char* text, char* out, uint32_t out_size,
                     uint32_t* out_len) {
    if (!code_in(code, {SD_CTL_OUT_10002, SD_CTL_OUT_10003, SD_CTL_OUT_10004, SD_CTL_OUT_10005,
                        SD_CTL_10101, SD_CTL_10104, SD_CTL_FD_WRITE_TIMEOUT, SD_CTL_10107,
                        SD_CTL_10112})) {
        return refuse(handle, "code is not a control with output");
    }
    if (code == SD_CTL_10112)
        return cli_ctl_text_out(handle, code, nullptr, out, out_size, out_len);
    if (text == nullptr) return refuse(handle, "text missing");
    const std::string arg(text);
    return cli_ctl_text_out(handle, code, &arg, out, out_size, out_len);
}

// ---- disk-health queries ------------------------------------------------------------------------

namespace {

int smart_query(dvsd_cli_ctx* ctx, const std::string& command, char* buf, uint32_t* size) {
    if (ctx == nullptr || size == nullptr) return -1;
    if (command.size() > kSmartCommandMax) {
        return cli_fail(ctx, VERR_INVALID_PARAMETER, "command line too long");
    }
    uint32_t got = 0;
    const int rc = cli_ctl_text_out(ctx, DVSD_IOCTL_FD_READ_TIMEOUT, &command, buf, *size, &got);
    *size = got;
    return rc;
}

std::string device_text(const char* device) {
    std::string d = device != nullptr ? device : "";
    if (d.size() > kSmartDeviceMax) d.resize(kSmartDeviceMax);
    return d;
}

}  // namespace

int dvsd_cli_smart_scan(dvsd_cli_ctx* ctx, char* buf, uint32_t capacity) {
    uint32_t size = capacity;
    return smart_query(ctx, "--scan", buf, &size);
}

int dvsd_cli_smart_info(dvsd_cli_ctx* ctx, const char* device, char* buf, uint32_t* size) {
    return smart_query(ctx, "--smart=on -j -a " + device_text(device), buf, size);
}

int dvsd_cli_smart_test(dvsd_cli_ctx* ctx, const char* device, const char* test_type, char* buf,
                        uint32_t* size) {
    return smart_query(ctx, "-t force -t " + device_text(test_type) + " " + device_text(device),
                       buf, size);
}

int dvsd_cli_smart_abort(dvsd_cli_ctx* ctx, const char* device, char* buf, uint32_t* size) {
    return smart_query(ctx, "-X " + device_text(device), buf, size);
}
