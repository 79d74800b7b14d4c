// Remote directories: listings read in packed batches, the server-side lister and batched
// small-file worker, and the set-attribute requests.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "libdvsd/cli_internal.h"

namespace {

constexpr char kBaseEntryList[] = "u32|u32|u32|u32|u64|u64|u64|u64";
constexpr char kExtEntryList[] =
    "u32|u32|u32|u32|u64|u64|u64|u64|u32|u32|u32|u64|u64|u64|u64|u64|u64";
constexpr size_t kBaseEntryFields = 8;
constexpr size_t kExtEntryFields = 17;

void copy_cut(char* dst, size_t size, std::string_view src) {
    const size_t n = std::min(src.size(), size - 1);
    memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

// A failed batch leaves the stream wherever it stands: the connection is not used again until
// reconnected.
void drop_socket(dvsd_cli_ctx* ctx) {
    const uint32_t stop = ctx->net.stop.load(std::memory_order_acquire);
    net_close(&ctx->net);
    ctx->net.stop.store(stop, std::memory_order_release);
}

int fetch_batch(dvsd_cli_dir* dir) {
    dvsd_cli_ctx* ctx = dir->ctx;
    const uint32_t capacity = static_cast<uint32_t>(dir->batch.size() - 1);
    cli_msg_begin(ctx);
    ctx->msg.add_int64(SDF_FD, dir->fd);
    ctx->msg.add_int32(SDF_LEN, capacity);
    const blob_attr* tb[SD_READDIR_COUNT];
    const uint8_t code = ctx->ext_stat ? SD_REQ_READDIR_EX : SD_REQ_READDIR;
    int rc = cli_request(ctx, code, false, tb, SD_READDIR_COUNT, "parse data error");
    if (rc == SD_FRAME_SRV_ERROR) CLI_LOG(LOG_VERB, "ctx->last_error=%d\n", ctx->frame.srv_errno);
    if (rc != SD_FRAME_OK) return rc;
    const uint32_t stated = static_cast<uint32_t>(blobmsg_get_int32(tb[SD_READDIR_LEN]));
    const size_t packed = blobmsg_data_len(tb[SD_READDIR_DATA]);
    int unpacked = 0;
    if (packed > 0) {
        unpacked = zcomp_decompress(&ctx->pack, blobmsg_data(tb[SD_READDIR_DATA]), packed,
                                    dir->batch.data(), capacity);
    }
    if (unpacked < 0 || static_cast<uint32_t>(unpacked) != stated) {
        CLI_LOG(LOG_DBG, "sdcomp_unpack pack_len=%zu buf_len=%u ret=%d\n", packed, capacity,
                unpacked);
        return SD_FRAME_DATA_ERROR;
    }
    dir->batch_len = static_cast<uint32_t>(unpacked);
    dir->batch[dir->batch_len] = '\0';
    dir->read_pos = 0;
    return SD_FRAME_OK;
}

// Fills the entry from one line (without its line feed): SD_FRAME_OK or SD_FRAME_DATA_ERROR.
int parse_entry(const dvsd_cli_ctx* ctx, std::string_view line, dvsd_dirent* e) {
    dvsd_stat& st = e->st;
    uint32_t* const u32s[] = {&st.type, &st.attrib_mode, &st.uid, &st.gid};
    const typed_dest dest[] = {u32s[0],
                               u32s[1],
                               u32s[2],
                               u32s[3],
                               &st.time_access,
                               &st.time_write,
                               &st.time_create,
                               &st.len,
                               &st.time_access_ns,
                               &st.time_write_ns,
                               &st.time_create_ns,
                               &st.st_nlink,
                               &st.st_dev,
                               &st.st_rdev,
                               &st.st_ino,
                               &st.st_blksize,
                               &st.st_blocks};
    const bool ext = ctx->ext_stat;
    const int n = cli_typed_list_parse(line, SD_TYPED_LIST_SEPARATOR,
                                       ext ? kExtEntryList : kBaseEntryList, dest);
    if (n != static_cast<int>(ext ? kExtEntryFields : kBaseEntryFields)) {
        return SD_FRAME_DATA_ERROR;
    }
    if (!ext) st.time_access_ns = st.time_write_ns = st.time_create_ns = 0;
    // The two texts follow the numbers: a line too short for them would lend its last numbers
    // as texts.
    const size_t fields = ext ? kExtEntryFields : kBaseEntryFields;
    if (static_cast<size_t>(std::count(line.begin(), line.end(), '\t')) < fields + 1) {
        return SD_FRAME_DATA_ERROR;
    }
    const size_t last = line.rfind('\t');
    const size_t before = line.rfind('\t', last - 1);
    if (before == std::string_view::npos) return SD_FRAME_DATA_ERROR;
    copy_cut(e->name, sizeof e->name, line.substr(last + 1));
    copy_cut(e->info, sizeof e->info, line.substr(before + 1, last - before - 1));
    return SD_FRAME_OK;
}

// A control request with output on the connection whose output goes, unterminated, to `buf`.
int64_t take_block(dvsd_cli_ctx* ctx, int32_t code, char* buf, uint32_t size) {
    if (ctx == nullptr) return -1;
    if (buf == nullptr && size > 0) return cli_fail(ctx, VERR_INVALID_PARAMETER, "buffer missing");
    uint32_t got = 0;
    const int rc = cli_ioctl_imp(ctx, 0, code, nullptr, 0, buf, size, &got);
    if (cli_outcome(ctx, rc) != 0) return -1;
    return got;
}

std::string attr_fields(const dvsd_attr* a) {
    return cli_format("%d\t%x\t%x\t%llx\t%llx\t%llx\t%u\t%u", a->type, a->mode, a->attr,
                      static_cast<unsigned long long>(a->ctime),
                      static_cast<unsigned long long>(a->mtime),
                      static_cast<unsigned long long>(a->atime), a->uid, a->gid);
}

bool has_tab(const char* s) {
    return s != nullptr && strchr(s, '\t') != nullptr;
}

}  // namespace

// ---- classic listing ----------------------------------------------------------------------------

dvsd_cli_dir* dvsd_cli_opendir(dvsd_cli_ctx* ctx, const char* path, const char* pattern) {
    if (ctx == nullptr) return nullptr;
    if (path == nullptr) {
        cli_fail(ctx, VERR_INVALID_PARAMETER, "path missing");
        return nullptr;
    }
    auto dir = std::unique_ptr<dvsd_cli_dir>(new (std::nothrow) dvsd_cli_dir);
    if (!dir) {
        cli_outcome(ctx, SD_FRAME_NO_MEMORY);
        return nullptr;
    }
    dir->kind = DVSD_CLI_KIND_DIR;
    dir->ctx = ctx;
    cli_msg_begin(ctx);
    ctx->msg.add_string(SDF_PATH, path);
    ctx->msg.add_string(SDF_PATTERN, pattern != nullptr ? pattern : "");
    const blob_attr* tb[SD_FD_COUNT];
    const std::string what = cli_format("[%s] error: parse data", path);
    const int rc = cli_request(ctx, SD_REQ_OPENDIR, false, tb, SD_FD_COUNT, what.c_str());
    if (rc == SD_FRAME_OK) dir->fd = static_cast<uint64_t>(blobmsg_get_int64(tb[SD_FD_FD]));
    if (cli_outcome(ctx, rc) != 0) return nullptr;
    try {
        ctx->dirs.push_back(std::move(dir));
    } catch (const std::bad_alloc&) {
        cli_outcome(ctx, SD_FRAME_NO_MEMORY);
        return nullptr;
    }
    return ctx->dirs.back().get();
}

dvsd_dirent* dvsd_cli_readdir(dvsd_cli_dir* dir) {
    if (dir == nullptr) return nullptr;
    dvsd_cli_ctx* ctx = dir->ctx;
    if (dir->batch.empty()) {
        try {
            // One byte more than the batch so that a batch is always terminated.
            dir->batch.resize(size_t{ctx->rdir_size} + 1);
        } catch (const std::bad_alloc&) {
            cli_outcome(ctx, SD_FRAME_NO_MEMORY);
            return nullptr;
        }
    }
    if (dir->read_pos == CLI_DIR_NEED_BATCH) {
        const int rc = fetch_batch(dir);
        if (cli_outcome(ctx, rc) != 0) {
            drop_socket(ctx);
            return nullptr;
        }
    }
    const std::string_view rest(dir->batch.data() + dir->read_pos, dir->batch_len - dir->read_pos);
    const size_t nl = rest.find('\n');
    if (nl == std::string_view::npos) {
        CLI_LOG(LOG_ERR, "error: info=[%.*s]\n",
                static_cast<int>(std::min<size_t>(rest.size(), 512)), rest.data());
        cli_outcome(ctx, SD_FRAME_DATA_ERROR);
        return nullptr;
    }
    if (nl == 0) {
        // The empty line: the directory is exhausted.
        cli_outcome(ctx, SD_FRAME_OK);
        return nullptr;
    }
    if (cli_outcome(ctx, parse_entry(ctx, rest.substr(0, nl), &dir->entry)) != 0) return nullptr;
    const uint32_t next = dir->read_pos + static_cast<uint32_t>(nl) + 1;
    dir->read_pos = next >= dir->batch_len || dir->batch[next] == '\0' ? CLI_DIR_NEED_BATCH : next;
    ++dir->handed_out;
    return &dir->entry;
}

int dvsd_cli_closedir(dvsd_cli_dir* dir) {
    if (dir == nullptr) return -1;
    dvsd_cli_ctx* ctx = dir->ctx;
    int rc = SD_FRAME_OK;
    if (ctx->net.sock != 0) {
        cli_msg_begin(ctx);
        ctx->msg.add_int64(SDF_FD, dir->fd);
        const blob_attr* tb[SD_STATUS_COUNT];
        rc = cli_request(ctx, SD_REQ_CLOSEDIR, false, tb, SD_STATUS_COUNT, "parse data error");
        cli_outcome(ctx, rc);
    }
    cli_forget_dir(dir);
    return rc == SD_FRAME_OK ? 0 : -1;
}

uint64_t dvsd_cli_telldir(dvsd_cli_dir* dir) {
    return dir != nullptr ? dir->handed_out : 0;
}

int dvsd_cli_seekdir(dvsd_cli_dir* dir, uint64_t pos) {
    if (dir == nullptr) return -1;
    const std::string text = cli_format("%llu", static_cast<unsigned long long>(pos));
    if (cli_ctl_text_out(dir, DVSD_IOCTL_SEEKDIR, &text, nullptr, 0, nullptr) != 0) return -1;
    dir->handed_out = pos;
    dir->read_pos = CLI_DIR_NEED_BATCH;
    return 0;
}

// ---- server-side lister -------------------------------------------------------------------------

int dvsd_cli_rdir_open(dvsd_cli_ctx* ctx, const char* dir, uint32_t flag, int32_t timeout_ms) {
    if (ctx == nullptr) return -1;
    if (!cli_ver_at_least(ctx, CLI_VER_1_7_8)) return cli_not_supported(ctx);
    if (dir == nullptr || has_tab(dir))
        return cli_fail(ctx, VERR_INVALID_PARAMETER, "bad directory");
    const std::string text = cli_format("%s\t%x\t%d", dir, flag, timeout_ms);
    return cli_ctl_text_out(ctx, DVSD_IOCTL_RDIR_OPEN, &text, nullptr, 0, nullptr);
}

int dvsd_cli_rdir_close(dvsd_cli_ctx* ctx) {
    if (ctx == nullptr) return -1;
    return cli_ctl_text_out(ctx, DVSD_IOCTL_RDIR_CLOSE, nullptr, nullptr, 0, nullptr);
}

int dvsd_cli_rdir_enum(dvsd_cli_ctx* ctx, const char* dir) {
    if (ctx == nullptr) return -1;
    if (dir == nullptr) return cli_fail(ctx, VERR_INVALID_PARAMETER, "directory missing");
    const std::string text = dir;
    return cli_ctl_text_out(ctx, DVSD_IOCTL_RDIR_ENUM, &text, nullptr, 0, nullptr);
}

int64_t dvsd_cli_rdir_read(dvsd_cli_ctx* ctx, char* buf, uint32_t size) {
    return take_block(ctx, DVSD_IOCTL_RDIR_READ, buf, size);
}

// ---- server-side batched worker -----------------------------------------------------------------

int dvsd_cli_mfile_open(dvsd_cli_ctx* ctx, int32_t buffer_size, int32_t list_timeout_ms) {
    if (ctx == nullptr) return -1;
    if (!cli_ver_at_least(ctx, CLI_VER_1_7_8)) return cli_not_supported(ctx);
    const std::string text = cli_format("%d\t%d", buffer_size, list_timeout_ms);
    return cli_ctl_text_out(ctx, DVSD_IOCTL_MFILE_OPEN, &text, nullptr, 0, nullptr);
}

int dvsd_cli_mfile_close(dvsd_cli_ctx* ctx) {
    if (ctx == nullptr) return -1;
    return cli_ctl_text_out(ctx, DVSD_IOCTL_MFILE_CLOSE, nullptr, nullptr, 0, nullptr);
}

int64_t dvsd_cli_mfile_list_ret(dvsd_cli_ctx* ctx, char* buf, uint32_t size) {
    return take_block(ctx, DVSD_IOCTL_MFILE_LIST_RET, buf, size);
}

namespace {

// The text of worker command `code` ("base\tlist"); false, with the failure recorded, when the
// command or its base cannot go.
bool worker_text(dvsd_cli_ctx* ctx, int32_t code, const char* base, const char* list,
                 std::string* text) {
    const bool known = (code >= DVSD_IOCTL_MFILE_READ && code <= DVSD_IOCTL_MFILE_REMOVE) ||
                       code == DVSD_IOCTL_MFILE_EMPTY;
    if (!known) return cli_fail(ctx, VERR_INVALID_PARAMETER, "not a worker command") == 0;
    if (has_tab(base)) return cli_fail(ctx, VERR_INVALID_PARAMETER, "base holds a tab") == 0;
    if (base != nullptr) *text = base;
    if (list != nullptr) text->append("\t").append(list);
    return true;
}

}  // namespace

int dvsd_cli_mfile_cmd(dvsd_cli_ctx* ctx, int32_t code, const char* base, const char* list) {
    if (ctx == nullptr) return -1;
    std::string text;
    if (!worker_text(ctx, code, base, list, &text)) return -1;
    return cli_ctl_text_out(ctx, code, &text, nullptr, 0, nullptr);
}

int dvsd_cli_mfile_post(dvsd_cli_ctx* ctx, int32_t code, const char* base, const char* list) {
    if (ctx == nullptr) return -1;
    std::string text;
    if (!worker_text(ctx, code, base, list, &text)) return -1;
    return dvsd_cli_post_ioctl2(ctx, code, text.c_str(), static_cast<uint32_t>(text.size() + 1), 0);
}

int dvsd_cli_mfile_post_results(dvsd_cli_ctx* ctx, uint32_t size) {
    return dvsd_cli_post_ioctl2(ctx, DVSD_IOCTL_MFILE_LIST_RET, nullptr, 0, size);
}

// ---- attributes ---------------------------------------------------------------------------------

int dvsd_cli_set_stat(void* handle, const char* path, const dvsd_attr* attr) {
    dvsd_cli_ctx* ctx = cli_get_ctx(handle, nullptr);
    if (ctx == nullptr) return -1;
    if (path == nullptr || attr == nullptr || has_tab(path)) {
        return cli_fail(ctx, VERR_INVALID_PARAMETER, "bad path or attributes");
    }
    return cli_ctl_text(handle, DVSD_IOCTL_SET_STAT, std::string(path) + "\t" + attr_fields(attr));
}

int dvsd_cli_post_set_stat(dvsd_cli_ctx* ctx, const char* path, const dvsd_attr* attr) {
    if (ctx == nullptr) return -1;
    if (path == nullptr || attr == nullptr || has_tab(path)) {
        return cli_fail(ctx, VERR_INVALID_PARAMETER, "bad path or attributes");
    }
    if (!ctx->pipe_armed && sd_frame_pending(&ctx->frame) == 0) {
        const int rc = cli_pipe_arm(ctx);
        if (rc != SD_FRAME_OK) return cli_outcome(ctx, rc);
    }
    const std::string text = std::string(path) + "\t" + attr_fields(attr);
    const uint32_t len = static_cast<uint32_t>(text.size() + 1);
    cli_msg_begin(ctx);
    ctx->msg.add_int64(SDF_FD, 0);
    ctx->msg.add_int32(SDF_CMD, static_cast<uint32_t>(DVSD_IOCTL_SET_STAT));
    ctx->msg.add_int32(SDF_LEN, len);
    ctx->msg.add_field(BLOBMSG_TYPE_BINARY, SDF_DATA, text.c_str(), len);
    if (!ctx->msg.ok()) return cli_outcome(ctx, SD_FRAME_NO_MEMORY);
    if (ctx->net.stop.load(std::memory_order_acquire) != 0) {
        return cli_outcome(ctx, SD_FRAME_USER_STOP);
    }
    // The answer is a status and perhaps the server's error text.
    const size_t bound = SD_FRAME_HEAD_SIZE + SD_SRV_ERROR_TEXT_SIZE + 256;
    return cli_outcome(ctx, dvsd_post_request(&ctx->frame, SD_REQ_FILE_IOCTL, ctx->msg, bound));
}

int dvsd_cli_collect_set_stat(dvsd_cli_ctx* ctx) {
    if (ctx == nullptr) return -1;
    size_t len = 0;
    int rc = client_collect_response(&ctx->frame, &len);
    if (rc == SD_FRAME_OK) {
        const blob_attr* tb[SD_STATUS_COUNT];
        rc = cli_parse(ctx, SD_REQ_FILE_IOCTL, false, tb, SD_STATUS_COUNT, len, "parse data error");
    }
    const int ret = cli_outcome(ctx, rc);
    return rc == SD_FRAME_SRV_ERROR ? 1 : ret;
}

int dvsd_cli_fset_stat(dvsd_cli_file* file, const dvsd_attr* attr) {
    if (file == nullptr) return -1;
    if (attr == nullptr) return cli_fail(file->ctx, VERR_INVALID_PARAMETER, "attributes missing");
    return cli_ctl_text(file, DVSD_IOCTL_FSET_STAT, attr_fields(attr));
}
