// Listing directories: open, read in either field set, reposition, close.
#include <fcntl.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>

#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_wire.h"
#include "libdvsrv/srv_file.h"
#include "libdvsrv/srv_handlers.h"
#include "libpal/os_root.h"
#include "librdir/stat_line.h"
#include "librdir/temp_name.h"

namespace srv_fs {
namespace {

void serve_opendir(srv_context& ctx, std::span<const uint8_t> body, sd_frame_msg& reply) {
    srv_body_fields<2> b;
    if (!b.parse(kOpendirBody, body, 1)) return reply_bad_request(reply);
    if (b.at[1] != nullptr && *b.str(1) != '\0') {
        return reply_status(reply, VERR_NOT_SUPPORTED, "patterns are not supported");
    }
    auto d = std::make_unique<srv_open_dir>();
    std::string why;
    if (const verr status = d->charge.take(ctx, ctx.files->open_count(), &why); status != 0) {
        return reply_status(reply, status, why.c_str());
    }
    std::string path = b.str(0);
    // Links to directories are followed, inside the root.
    unique_fd fd(os_root_opendir(ctx.root, (path + "/").c_str()));
    if (!fd.valid()) return reply_errno(reply, errno);
    DIR* dir = fdopendir(fd.get());
    if (dir == nullptr) return reply_errno(reply, errno);
    fd.release();
    d->dir.reset(dir);
    d->path = std::move(path);
    const uint64_t number = ctx.files->take_number();
    ctx.files->dirs.emplace(number, std::move(d));
    reply_ok(reply);
    reply.add_int64(SDF_FD, number);
    reply_done(reply);
}

bool line_safe(std::string_view text) {
    return text.find_first_of("\t\n\r") == std::string_view::npos;
}

// The next entry of `d` into `e`: false at the end of the directory (errno 0) or on a failure
// (errno set). Entries a line cannot carry, and the writer's temporaries, are skipped.
bool next_entry(const srv_context& ctx, srv_open_dir& d, srv_dir_entry* e) {
    for (;;) {
        errno = 0;
        const struct dirent* de = readdir(d.dir.get());
        if (de == nullptr) return false;
        const std::string_view name = de->d_name;
        if (name == "." || name == ".." || rdir_temp_name_is(name)) continue;
        if (!line_safe(name)) {
            SRV_LOG(LOG_WARN, "dir=[%s]: skipped an entry whose name holds a tab or line end\n",
                    d.path.c_str());
            continue;
        }
        if (fstatat(dirfd(d.dir.get()), de->d_name, &e->st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        e->link.clear();
        if (S_ISLNK(e->st.st_mode)) {
            char text[PATH_MAX];
            const ssize_t n = readlinkat(dirfd(d.dir.get()), de->d_name, text, sizeof(text) - 1);
            if (n < 0) continue;
            e->link.assign(text, static_cast<size_t>(n));
            if (!line_safe(e->link)) {
                SRV_LOG(LOG_WARN,
                        "dir=[%s] name=[%s]: skipped a link whose text holds a tab or line end\n",
                        d.path.c_str(), de->d_name);
                continue;
            }
        }
        e->name.assign(name);
        e->type = entry_type(ctx.root, d.path + "/" + e->name, e->st);
        return true;
    }
}

// The line of an entry: the typed fields of the set, the link text, the name.
std::string entry_line(const srv_dir_entry& e, bool extended) {
    const struct stat& st = e.st;
    const uint64_t size = S_ISLNK(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    char head[512];
    int n = std::snprintf(
        head, sizeof(head), "%u\t%u\t%u\t%u\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64,
        e.type, static_cast<unsigned>(st.st_mode), static_cast<unsigned>(st.st_uid),
        static_cast<unsigned>(st.st_gid), static_cast<uint64_t>(st.st_atim.tv_sec),
        static_cast<uint64_t>(st.st_mtim.tv_sec), static_cast<uint64_t>(st.st_ctim.tv_sec), size);
    std::string line(head, static_cast<size_t>(n));
    if (extended) {
        n = std::snprintf(
            head, sizeof(head),
            "\t%u\t%u\t%u\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64
            "\t%" PRIu64,
            static_cast<unsigned>(st.st_atim.tv_nsec), static_cast<unsigned>(st.st_mtim.tv_nsec),
            static_cast<unsigned>(st.st_ctim.tv_nsec), static_cast<uint64_t>(st.st_nlink),
            static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_rdev),
            static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_blksize),
            static_cast<uint64_t>(st.st_blocks));
        line.append(head, static_cast<size_t>(n));
    }
    line.push_back('\t');
    line.append(e.link);
    line.push_back('\t');
    line.append(e.name);
    line.push_back('\n');
    return line;
}

void serve_readdir(srv_context& ctx, uint8_t code, std::span<const uint8_t> body,
                   sd_frame_msg& reply) {
    srv_body_fields<2> b;
    if (!b.parse(kReaddirBody, body)) return reply_bad_request(reply);
    srv_open_dir* d = ctx.files->dir(b.u64(0));
    if (d == nullptr) return reply_errno(reply, EBADF);
    const bool extended = code == SD_REQ_READDIR_EX;
    // More than one block would not fit a frame; a smaller batch is always allowed.
    size_t len = static_cast<uint32_t>(b.i32(1));
    if (len > SRV_MAX_BLOCK) len = SRV_MAX_BLOCK;
    std::string out;
    for (;;) {
        if (!d->pending && !d->exhausted) {
            srv_dir_entry e;
            if (next_entry(ctx, *d, &e)) {
                d->pending = std::move(e);
            } else {
                if (errno != 0) return reply_errno(reply, errno);
                d->exhausted = true;
            }
        }
        // Room for the text and its terminating NUL.
        if (!d->pending) {
            if (out.size() + 2 <= len) out.push_back('\n');
            break;
        }
        const std::string line = entry_line(*d->pending, extended);
        if (out.size() + line.size() + 1 > len) break;
        out += line;
        d->pending.reset();
    }
    if (out.empty()) {
        return reply_status(reply, VERR_BUFFER_OVERFLOW, "the next entry does not fit the buffer");
    }
    out.push_back('\0');
    reply_ok(reply);
    reply.add_int32(SDF_LEN, static_cast<uint32_t>(out.size()));
    if (!add_packed(ctx, reply, {reinterpret_cast<const uint8_t*>(out.data()), out.size()})) {
        return reply_status(reply, VERR_NO_MEMORY);
    }
    reply_done(reply);
}

void serve_closedir(srv_context& ctx, std::span<const uint8_t> body, sd_frame_msg& reply) {
    srv_body_fields<1> b;
    if (!b.parse(kFdBody, body)) return reply_bad_request(reply);
    if (ctx.files->dirs.erase(b.u64(0)) == 0) return reply_errno(reply, EBADF);
    reply_ok(reply);
}

}  // namespace
}  // namespace srv_fs

using namespace srv_fs;

void srv_req_opendir(srv_call& c) {
    serve_opendir(c.ctx, c.body, c.reply);
}

void srv_req_readdir(srv_call& c) {
    serve_readdir(c.ctx, c.code, c.body, c.reply);
}

void srv_req_closedir(srv_call& c) {
    serve_closedir(c.ctx, c.body, c.reply);
}

void srv_ctl_seekdir(srv_call& c) {
    srv_context& ctx = c.ctx;
    sd_frame_msg& reply = c.reply;
    uint64_t index = 0;
    srv_open_dir* d = ctx.files->dir(c.fd);
    if (!parse_number(data_text(c.data), &index)) return reply_errno(reply, EINVAL);
    if (d == nullptr) return reply_errno(reply, EBADF);
    // Entries are counted as the client counts them: the lines handed out.
    rewinddir(d->dir.get());
    d->pending.reset();
    d->exhausted = false;
    srv_dir_entry skipped;
    for (uint64_t i = 0; i < index; ++i) {
        if (!next_entry(ctx, *d, &skipped)) {
            if (errno != 0) return reply_errno(reply, errno);
            d->exhausted = true;
            break;
        }
    }
    reply_ok(reply);
    reply.add_field(BLOBMSG_TYPE_BINARY, SDF_DATA, "", 0);
    reply_done(reply);
}
