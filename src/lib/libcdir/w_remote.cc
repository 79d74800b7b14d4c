// The routes with a file server on one side or both: a directory's selected files go as empty
// files, small files in batches through the batch workers, and big files block by block; and the
// directory work of the copy and sync cores at a remote destination.
//
// Batches are lists of lines sent in chunks of whole lines, with one answer per line in order.
// Reads from a server are collected chunk by chunk, since their data is needed at once. Everything
// done at a server destination (directories made, files written, names removed, attributes set)
// is posted back to back and its answers are taken later, in order, a few commands behind the
// posts: the client waits for the server only when the job needs the answers.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "libcdir/v_fs.h"
#include "libcdir/v_remote.h"
#include "libcdir/w_cp_core.h"
#include "libcdir/w_sync_core.h"
#include "libcdir/work.h"
#include "libpal/os_root.h"
#include "libpal/url.h"
#include "librdir/mfile.h"
#include "librdir/misc.h"
#include "librdir/stat_line.h"

namespace {

// Room a line needs next to its data: name, link text and the attribute fields.
constexpr size_t kLineOverhead = 160;

// The longest run of whole lines sent as one command.
size_t chunk_cap(const libcdir_ctx* job) {
    return std::min<size_t>(job->bs - 1, CDIR_MAX_CHUNK);
}

// Largest answer read in one collection.
int collect_len(const libcdir_ctx* job) {
    return static_cast<int>(std::min<size_t>(job->bs, CDIR_MAX_CHUNK + 1));
}

bool parse_int(std::string_view text, int* out) {
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, *out);
    return ec == std::errc() && p == end;
}

std::string joined(const std::string& dir, const char* name) {
    return path_join_raw(dir, name);
}

// What became of one entry, told from the counters, for the changes= output.
class outcome_probe {
  public:
    // Links and failed writes do not say whether they replaced something: what the previous
    // entry said must not stand for them.
    explicit outcome_probe(libcdir_ctx* job)
        : written_(job->st.file_open_count),
          failed_(job->st.i_file_fail_count + job->st.o_file_fail_count) {
        job->last_write_replaced = false;
    }
    void note(libcdir_ctx* job, const cdir_item& item, const mstat_item& e) const {
        if (job->st.i_file_fail_count + job->st.o_file_fail_count != failed_) {
            cdir_note_change(job, CDIR_CHANGE_FAILED, item.dst_path, e.name);
        } else if (job->st.file_open_count != written_) {
            const bool listed =
                item.dst_files && cdir_find_name(item.dst_files.items(), e.name) != nullptr;
            const bool replaced = job->dst.is_local && job->last_write_replaced;
            cdir_note_change(job, listed || replaced ? CDIR_CHANGE_UPDATED : CDIR_CHANGE_CREATED,
                             item.dst_path, e.name);
        }
    }

  private:
    uint64_t written_;
    uint64_t failed_;
};

// ---- commands at the destination ----

// Commands at the destination's batch worker whose answers are still due: they are posted back to
// back and their answers taken in order, the oldest once more than this many are due, the rest
// when the job needs them (a directory's attributes, the end of the job).
constexpr size_t kCommandsDue = 8;
// Bytes of lists due at most: the server refuses more posted work than it holds (twice a frame),
// and every command due may not have run yet.
constexpr size_t kBytesDue = size_t{16} << 20;

// A posted command whose answers are counted when they come.
class due_command {
  public:
    virtual ~due_command() = default;
    // Takes the answers in one collection: false for data that is not an answer of this
    // command. `*complete` once every answer came.
    virtual bool take(libcdir_ctx* job, const char* data, size_t len, bool* complete) = 0;
    // The answers from the next one on will not come: the connection failed.
    virtual void lost(libcdir_ctx*) {}
};

// The answers of a directory's reads from a server source, taken while the next directory is
// read.
struct read_tail;

// Attributes a destination directory (or file) gets once everything posted before is answered.
struct due_attr {
    std::string dir;   // the directory that holds the entry
    std::string name;  // the entry; empty for the directory itself
    mstat_attr attr{};
    bool missing_ok = false;  // a sync makes directories as files need them
    bool file = false;        // an update of a file's attributes, counted per file
};

}  // namespace

struct cdir_write_tail {
    struct entry {
        std::unique_ptr<due_command> command;  // or
        std::unique_ptr<due_attr> attr;
        size_t bytes = 0;  // the command's list
    };
    std::deque<entry> due;
    size_t commands = 0;  // entries of `due` that are commands
    size_t bytes = 0;     // their lists
    std::unique_ptr<read_tail> reads;
    bool taking = false;  // answers are being taken: a change noted meanwhile takes none
};

namespace {

dvsd_attr to_dvsd_attr(const mstat_attr& a);

// What an attribute's answer means for the job.
void attr_done(libcdir_ctx* job, const due_attr& a, verr status) {
    const std::string path = a.name.empty() ? a.dir : joined(a.dir, a.name.c_str());
    if (status == 0 || job->user_stop.load() != 0) {
        if (status == 0 && a.file)
            cdir_note_change(job, CDIR_CHANGE_UPDATED, a.dir, a.name.c_str());
        return;
    }
    if (a.missing_ok && (status == VERR_FILE_NOT_FOUND || status == VERR_PATH_NOT_FOUND)) return;
    if (a.file) {
        CDIR_LOG(LOG_ERR, "chmod [%s] error: %s", path.c_str(), verr2str(status));
        job->st.o_file_fail_count++;
        cdir_verr_check(job, status);
        cdir_note_change(job, CDIR_CHANGE_FAILED, a.dir, a.name.c_str());
        return;
    }
    CDIR_LOG(LOG_ERR, "lutime %s error: %s", path.c_str(), verr2str(status));
    cdir_verr_check(job, status);
}

// Posts the attributes at the front of the queue, which follow only answered commands.
bool post_front_attrs(libcdir_ctx* job, cdir_write_tail& tail) {
    vmfile* h = job->omfile.get();
    while (!tail.due.empty() && tail.due.front().attr) {
        std::shared_ptr<due_attr> a(std::move(tail.due.front().attr));
        tail.due.pop_front();
        if (cdir_need_exit(job)) continue;
        const dvsd_attr attr = to_dvsd_attr(a->attr);
        const std::string path = a->name.empty() ? a->dir : joined(a->dir, a->name.c_str());
        if (!cdir_remote_mfile_post_attr(h, path.c_str(), attr,
                                         [job, a](verr status) { attr_done(job, *a, status); })) {
            const verr last = job->last_verr.load();
            attr_done(job, *a, last < 0 ? last : VERR_GENERAL_FAILURE);
            return false;
        }
    }
    return true;
}

// Every command due will go unanswered.
void lose_due(libcdir_ctx* job, cdir_write_tail& tail) {
    for (cdir_write_tail::entry& e : tail.due) {
        if (e.command) e.command->lost(job);
    }
    tail.due.clear();
    tail.commands = 0;
    tail.bytes = 0;
}

// Takes the answers of the oldest commands until at most `limit` are due with at most
// `bytes_limit` of lists, posting the attributes that become free to go. false when the job
// cannot go on with its destination.
bool take_due(libcdir_ctx* job, size_t limit, size_t bytes_limit = kBytesDue) {
    cdir_write_tail* tail = job->write_tail.get();
    if (tail == nullptr || tail->taking) return true;
    tail->taking = true;
    vmfile* h = job->omfile.get();
    char* buf = job->trans_buf.get();
    bool ok = true;
    for (;;) {
        if (!post_front_attrs(job, *tail)) {
            ok = false;
            break;
        }
        if ((tail->commands <= limit && tail->bytes <= bytes_limit) || tail->due.empty()) break;
        if (cdir_need_exit(job)) {
            // A stopping job reads no more answers.
            lose_due(job, *tail);
            ok = false;
            break;
        }
        due_command& command = *tail->due.front().command;
        bool complete = false;
        while (!complete) {
            const int n = vmfile_list_ret(h, buf, collect_len(job));
            if (n < 0) break;
            if (!command.take(job, buf, static_cast<size_t>(n), &complete)) {
                CDIR_LOG(LOG_ERR, "batch answer not understood");
                cdir_verr_check(job, VERR_NET_PROTOCOL_ERROR);
                break;
            }
        }
        if (!complete) {
            lose_due(job, *tail);
            ok = false;
            break;
        }
        tail->bytes -= tail->due.front().bytes;
        tail->due.pop_front();
        tail->commands--;
        cdir_remote_mfile_report(h);
    }
    cdir_remote_mfile_report(h);
    tail->taking = false;
    return ok;
}

cdir_write_tail* due_queue(libcdir_ctx* job) {
    if (!job->write_tail) job->write_tail.reset(new (std::nothrow) cdir_write_tail());
    if (!job->write_tail) cdir_verr_check(job, VERR_NO_MEMORY);
    return job->write_tail.get();
}

// Posts command `cmd` to the destination's worker; `command` counts its answers when they come.
// false when the job cannot go on with its destination (the command's entries were then not
// done).
bool post_due(libcdir_ctx* job, uint32_t cmd, const std::string& base, const std::string& text,
              std::unique_ptr<due_command> command) {
    cdir_write_tail* tail = due_queue(job);
    if (tail == nullptr || !command) {
        if (command) command->lost(job);
        return false;
    }
    // Room first: this list joins those that may not have run yet.
    const size_t bytes = base.size() + text.size() + 2;
    if (!take_due(job, kCommandsDue, bytes < kBytesDue ? kBytesDue - bytes : 0)) {
        command->lost(job);
        return false;
    }
    if (vmfile_cmd(job->omfile.get(), cmd, base.c_str(), text.c_str()) < 0) {
        command->lost(job);
        return false;
    }
    try {
        tail->due.push_back({std::move(command), nullptr, bytes});
    } catch (const std::bad_alloc&) {
        cdir_verr_check(job, VERR_NO_MEMORY);
        return false;
    }
    tail->commands++;
    tail->bytes += bytes;
    return take_due(job, kCommandsDue);
}

// Queues attributes to set once everything posted before is answered.
bool post_due_attr(libcdir_ctx* job, due_attr attr) {
    cdir_write_tail* tail = due_queue(job);
    if (tail == nullptr) return false;
    try {
        tail->due.push_back({nullptr, std::make_unique<due_attr>(std::move(attr)), 0});
    } catch (const std::bad_alloc&) {
        cdir_verr_check(job, VERR_NO_MEMORY);
        return false;
    }
    return take_due(job, kCommandsDue);
}

// Answers of the form "%d\t" (one per entry), possibly several in one collection.
template <typename Each>
bool take_status_answers(const char* data, size_t len, size_t want, size_t* got, Each&& each) {
    std::string_view rest(data, strnlen(data, len));
    while (!rest.empty()) {
        const size_t tab = rest.find('\t');
        const std::string_view part = rest.substr(0, tab);
        rest.remove_prefix(tab == std::string_view::npos ? rest.size() : tab + 1);
        if (part.empty() || part == "\n") continue;
        int status = 0;
        if (!parse_int(part, &status) || *got >= want) return false;
        each(*got, status);
        ++*got;
    }
    return true;
}

// ---- write lists ----

// A write list goes out in pieces of about this size while the next piece is read: the server
// writes one piece while the client reads and encodes the next.
constexpr size_t kWritePiece = size_t{256} << 10;

// The answers of one posted write piece: each counts its file, written in `item`'s directory.
class write_piece final : public due_command {
  public:
    write_piece(std::shared_ptr<const cdir_item> item, std::vector<const mstat_item*> posted)
        : item_(std::move(item)), posted_(std::move(posted)) {}

    bool take(libcdir_ctx* job, const char* data, size_t len, bool* complete) override {
        size_t off = 0;
        len = strnlen(data, len);
        while (off < len) {
            if (data[off] == '\n') {  // the worker's end of a command
                ++off;
                continue;
            }
            size_t used = 0;
            int stage = 0, number = 0;
            if (libmfile_write_get_info(data + off, len - off, &used, &stage, &number) != 0) {
                return false;
            }
            off += used;
            if (got_ >= posted_.size()) return false;
            answer(job, *posted_[got_++], stage, number);
        }
        *complete = got_ == posted_.size();
        return true;
    }

    void lost(libcdir_ctx* job) override {
        if (got_ >= posted_.size() || job->user_stop.load() != 0) return;
        CDIR_LOG(LOG_ERR, "[%s] %zu files of a batch write got no answer: not copied",
                 item_->dst_path.c_str(), posted_.size() - got_);
        for (; got_ < posted_.size(); ++got_) {
            job->st.o_file_fail_count++;
            cdir_note_change(job, CDIR_CHANGE_FAILED, item_->dst_path, posted_[got_]->name);
        }
    }

  private:
    void answer(libcdir_ctx* job, const mstat_item& e, int stage, int number) {
        outcome_probe probe(job);
        if (stage == 0 && number >= 0) {
            job->st.file_open_count++;
            job->st.total_read += static_cast<uint64_t>(number);
            job->st.total_write += static_cast<uint64_t>(number);
            job->done_files.fetch_add(1, std::memory_order_relaxed);
            job->done_bytes.fetch_add(static_cast<uint64_t>(number), std::memory_order_relaxed);
        } else {
            const verr code = number < 0 ? number : VERR_GENERAL_FAILURE;
            CDIR_LOG(LOG_ERR, "mkfile [%s] eno=%d error: %s",
                     joined(item_->src_path, e.name).c_str(), code, verr2str(code));
            job->st.o_file_fail_count++;
            cdir_verr_check(job, code);
        }
        probe.note(job, *item_, e);
    }

    // The paths, and the listings that hold the entries of `posted_`.
    std::shared_ptr<const cdir_item> item_;
    std::vector<const mstat_item*> posted_;
    size_t got_ = 0;
};

// File-write lines for one destination directory, posted as command 3 in pieces whenever the next
// line would not fit. The answers are taken later, in order with every other command at the
// destination (take_due).
class write_list {
  public:
    write_list(libcdir_ctx* job, const cdir_item& item) : job_(job), item_(item) {}
    write_list(const write_list&) = delete;
    write_list& operator=(const write_list&) = delete;

    size_t size() const { return text_.size(); }

    // Adds the line of `e` with `data`, base64 text (which never breaks a line); sends what is
    // pending first when the line would not fit. A line longer than a chunk fails its entry.
    // false when the directory's transfer must end.
    bool add(const mstat_item& e, const mstat_attr& attr, std::string_view data,
             bool send_when_full) {
        const size_t cap =
            strlen(e.name) + kLineOverhead + (attr.link != nullptr ? strlen(attr.link) : 0);
        head_.resize(cap);
        const long head = libmfile_write_head(e.name, &attr, head_.data(), cap);
        if (head < 0) return fail(e, "cannot be carried in a batch line");
        const size_t len = static_cast<size_t>(head) + data.size();
        if (len > chunk_cap(job_)) return fail(e, "too big for one batch");
        if (send_when_full && !text_.empty() &&
            text_.size() + 1 + len > std::min(kWritePiece, chunk_cap(job_))) {
            if (!send()) return false;
        }
        try {
            if (!text_.empty()) text_ += '\n';
            text_.append(head_.data(), static_cast<size_t>(head));
            text_.append(data);
            entries_.push_back(&e);
        } catch (const std::bad_alloc&) {
            cdir_verr_check(job_, VERR_NO_MEMORY);
            return false;
        }
        return true;
    }

    // Posts the pending lines; their answers are counted when they come. false when the transfer
    // must end.
    bool send() {
        if (entries_.empty()) return true;
        if (!item_copy_) {
            cdir_item_ptr copy = cdir_item_copy(item_);
            if (!copy) {
                cdir_verr_check(job_, VERR_NO_MEMORY);
                return false;
            }
            // The entries live in the listings: the copy keeps them.
            copy->src_files = item_.src_files.share();
            copy->dst_files = item_.dst_files.share();
            item_copy_ = std::shared_ptr<const cdir_item>(std::move(copy));
        }
        std::unique_ptr<due_command> piece(new (std::nothrow)
                                               write_piece(item_copy_, std::move(entries_)));
        entries_.clear();
        if (!piece) {
            cdir_verr_check(job_, VERR_NO_MEMORY);
            return false;
        }
        const bool ok = post_due(job_, MFILE_CMD_WRITE, item_.dst_path, text_, std::move(piece));
        text_.clear();
        return ok;
    }

  private:
    bool fail(const mstat_item& e, const char* why) {
        CDIR_LOG(LOG_ERR, "[%s] %s: not copied", joined(item_.src_path, e.name).c_str(), why);
        job_->st.o_file_fail_count++;
        cdir_note_change(job_, CDIR_CHANGE_FAILED, item_.dst_path, e.name);
        return !cdir_need_exit(job_);
    }

    libcdir_ctx* job_;
    const cdir_item& item_;
    std::shared_ptr<const cdir_item> item_copy_;
    std::string text_;
    std::vector<const mstat_item*> entries_;  // lines in text_, not posted yet
    std::vector<char> head_;
};

// ---- read lists ----

// Small files asked of the source's batch worker in chunks, several of which may be posted before
// the oldest one's answers are taken. Each file is asked with one byte more than it was listed
// with, so that a file that grew meanwhile is seen.
class read_list {
  public:
    read_list(libcdir_ctx* job, const cdir_item& item) : job_(job), item_(item) {}

    bool empty() const { return entries_.empty(); }
    size_t size() const { return text_.size(); }

    bool add(const mstat_item& e) {
        char line[PL_MAX_PATH + 32];
        int n = snprintf(line, sizeof(line), "%s\t%u", e.name, static_cast<unsigned>(e.size + 1));
        if (n < 0 || static_cast<size_t>(n) >= sizeof(line)) return false;
        try {
            if (!text_.empty()) text_ += '\n';
            text_.append(line, static_cast<size_t>(n));
            entries_.push_back(&e);
        } catch (const std::bad_alloc&) {
            cdir_verr_check(job_, VERR_NO_MEMORY);
            return false;
        }
        return true;
    }

    // Sends the pending lines; `on_file`(entry, data, length) gets each file that came whole and
    // owns nothing (the data is valid for the call). false when the transfer must end.
    // Posts the pending lines as one command; their answers are taken by take(). false when the
    // transfer must end (the lines were then not copied).
    bool post() {
        if (entries_.empty()) return true;
        const int ret =
            vmfile_cmd(job_->imfile.get(), MFILE_CMD_READ, item_.src_path.c_str(), text_.c_str());
        text_.clear();
        if (ret < 0) {
            unanswered(entries_, 0);
            entries_.clear();
            return false;
        }
        try {
            chunks_.push_back(std::move(entries_));
        } catch (const std::bad_alloc&) {
            cdir_verr_check(job_, VERR_NO_MEMORY);
            return false;
        }
        entries_.clear();
        return true;
    }
    // Chunks posted whose answers were not taken.
    size_t posted() const { return chunks_.size(); }

    // Takes the answers of the oldest chunk posted; `on_file`(entry, data, length) gets each file
    // that came whole and owns nothing (the data is valid for the call). false when the transfer
    // must end: after a failure, no chunk posted gets its answers.
    template <typename OnFile>
    bool take(char* buf, OnFile&& on_file) {
        if (chunks_.empty()) return true;
        const std::vector<const mstat_item*> entries = std::move(chunks_.front());
        chunks_.pop_front();
        bool stop = false;
        bool understood = true;
        size_t got = 0;
        while (got < entries.size() && understood) {
            const int n = vmfile_list_ret(job_->imfile.get(), buf, collect_len(job_));
            if (n < 0) break;
            const char* data = buf;
            const size_t len = static_cast<size_t>(n);
            size_t off = 0;
            while (off < len) {
                if (len - off == 1 && (data[off] == '\n' || data[off] == '\0')) break;
                size_t used = 0;
                mfile_data_result r{};
                auto* block = reinterpret_cast<uint8_t*>(const_cast<char*>(data + off));
                if (libmfile_read_get_data_len_err(block, len - off, &used, &r) != 0 ||
                    got >= entries.size()) {
                    free(r.data);
                    understood = false;
                    break;
                }
                off += used;
                one_file(*entries[got], r, on_file);
                free(r.data);
                ++got;
                if (cdir_need_exit(job_)) stop = true;
            }
        }
        if (got < entries.size()) {
            if (!understood) {
                CDIR_LOG(LOG_ERR, "[%s] batch answer not understood", item_.src_path.c_str());
                cdir_verr_check(job_, VERR_NET_PROTOCOL_ERROR);
            }
            unanswered(entries, got);
            for (const auto& chunk : chunks_) unanswered(chunk, 0);
            chunks_.clear();
            return false;
        }
        return !stop;
    }

    // Posts the pending lines and takes the answers of everything posted.
    template <typename OnFile>
    bool send(char* buf, OnFile&& on_file) {
        if (!post()) return false;
        while (!chunks_.empty()) {
            if (!take(buf, on_file)) return false;
        }
        return true;
    }

  private:
    // The batch ended before the entries from `answered` on had their answers: none of them was
    // copied. After a stop they are simply not done.
    void unanswered(const std::vector<const mstat_item*>& entries, size_t answered) {
        if (answered >= entries.size() || job_->user_stop.load() != 0) return;
        CDIR_LOG(LOG_ERR, "[%s] %zu of %zu files of a batch read got no answer: not copied",
                 item_.src_path.c_str(), entries.size() - answered, entries.size());
        for (size_t i = answered; i < entries.size(); ++i) {
            job_->st.i_file_fail_count++;
            cdir_note_change(job_, CDIR_CHANGE_FAILED, item_.dst_path, entries[i]->name);
        }
    }

    template <typename OnFile>
    void one_file(const mstat_item& e, const mfile_data_result& r, OnFile& on_file) {
        const std::string shown = joined(item_.src_path, e.name);
        if (r.open_failed || r.read_failed) {
            const verr code = r.status < 0 ? r.status : VERR_GENERAL_FAILURE;
            CDIR_LOG(LOG_ERR, "%s [%s] error: %s", r.open_failed ? "i_open" : "i_read",
                     shown.c_str(), verr2str(code));
            job_->st.i_file_fail_count++;
            cdir_verr_check(job_, code);
            cdir_note_change(job_, CDIR_CHANGE_FAILED, item_.dst_path, e.name);
            return;
        }
        if (r.length != e.size) {
            CDIR_LOG(LOG_ERR,
                     "[%s] changed while it was copied: not copied, the destination is kept",
                     shown.c_str());
            job_->st.i_file_fail_count++;
            cdir_note_change(job_, CDIR_CHANGE_FAILED, item_.dst_path, e.name);
            return;
        }
        on_file(e, reinterpret_cast<const char*>(r.data), static_cast<size_t>(r.length));
    }

    libcdir_ctx* job_;
    const cdir_item& item_;
    std::string text_;
    std::vector<const mstat_item*> entries_;             // lines in text_, not posted yet
    std::deque<std::vector<const mstat_item*>> chunks_;  // posted, answers not taken
};

// How many chunks of reads may be posted before the oldest one's answers are taken.
constexpr size_t kReadChunksAhead = 4;

struct read_tail {
    cdir_item_ptr item;  // paths, and the listings that hold the entries of `reads`
    rdir_dst_dir dst;
    std::unique_ptr<read_list> reads;
    cdir_item_ptr dir_done;  // the directory's attributes wait for its files
};

// Writes a file that came from the source's worker into the tail's directory.
void write_read_file(libcdir_ctx* job, read_tail& tail, const mstat_item& e, const char* data,
                     size_t len) {
    outcome_probe probe(job);
    job->st.total_read += len;
    cdir_write_file(job, e, tail.dst, tail.item->dst_path.c_str(), data, len);
    probe.note(job, *tail.item, e);
}

// Takes every answer of the tail's reads and writes their files, then gives the directory its
// attributes when they waited. false when the transfer ended early.
bool take_reads(libcdir_ctx* job, read_tail& tail) {
    bool ok = true;
    while (tail.reads->posted() > 0) {
        if (!tail.reads->take(job->trans_buf.get(),
                              [&](const mstat_item& e, const char* data, size_t len) {
                                  write_read_file(job, tail, e, data, len);
                              })) {
            ok = false;
            break;
        }
    }
    if (tail.dir_done && !cdir_need_exit(job)) cdir_l_touch_dir(job, *tail.dir_done, true);
    return ok;
}

// Takes the reads a previous directory left, if any.
bool take_read_tail(libcdir_ctx* job) {
    cdir_write_tail* queue = job->write_tail.get();
    if (queue == nullptr || !queue->reads || queue->taking) return true;
    std::unique_ptr<read_tail> tail = std::move(queue->reads);
    // A stopping job reads no more answers.
    if (cdir_need_exit(job)) return false;
    queue->taking = true;
    const bool ok = take_reads(job, *tail);
    queue->taking = false;
    return ok;
}

// The runs of `selected` (sorted by size): empty files and links, small files, big files.
struct runs {
    std::span<const mstat_item*> empty;
    std::span<const mstat_item*> small;
    std::span<const mstat_item*> big;
};

runs split_runs(const libcdir_ctx* job, std::span<const mstat_item*> selected) {
    const uint64_t limit = cdir_small_max(job);
    size_t a = 0;
    while (a < selected.size() && selected[a]->size == 0) ++a;
    size_t b = a;
    while (b < selected.size() && selected[b]->size <= limit) ++b;
    return {selected.subspan(0, a), selected.subspan(a, b - a), selected.subspan(b)};
}

// Remote to remote, block by block. 0, or -1 when nothing was opened.
int cdir_rr_up_file(libcdir_ctx* job, const mstat_item& entry, const std::string& src_dir,
                    const std::string& dst_dir) {
    const std::string src = joined(src_dir, entry.name);
    const std::string dst = joined(dst_dir, entry.name);
    vbfile* in = job->ibfile.get();
    vbfile* out = job->obfile.get();
    char* buf = job->trans_buf.get();
    vbfile_state before;
    if (!cdir_open_served_source(job, src.c_str(), &before)) return -1;
    const uint64_t size = before.size;
    // The holes of a sparse source stay holes: its zero runs are not sent.
    const bool sparse = before.sparse();
    uint64_t offset = 0;
    bool created = false;
    for (;;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(job->bs, size - offset));
        int64_t n = 0;
        if (want > 0) n = vbfile_read_at(in, static_cast<int64_t>(offset), buf, want);
        if (n < 0) {
            CDIR_LOG(LOG_ERR, "i_read [%s] error: %s", src.c_str(), verr2str(job->last_verr));
            job->st.i_file_fail_count++;
            if (created) vbfile_abandon(out);
            return 0;
        }
        const size_t len = static_cast<size_t>(n);
        job->st.total_read += len;
        const bool sent = cdir_send_block(out, dst.c_str(), buf, len, offset, !created, sparse);
        created = true;
        if (!sent) {
            CDIR_LOG(LOG_ERR, "o_write [%s] error: %s", dst.c_str(), verr2str(job->last_verr));
            job->st.o_file_fail_count++;
            vbfile_close(in, nullptr);
            return 0;
        }
        job->st.total_write += len;
        job->done_bytes.fetch_add(len, std::memory_order_relaxed);
        offset += len;
        if (offset >= size || len < want) break;
        if (cdir_need_exit(job)) {
            vbfile_abandon(out);
            vbfile_close(in, nullptr);
            return 0;
        }
    }
    const bool unchanged = cdir_served_source_unchanged(job, src.c_str(), before, offset, buf);
    vbfile_close(in, nullptr);
    if (!unchanged) {
        vbfile_abandon(out);
        return 0;
    }
    if (sparse && vbfile_set_size(out, size) < 0) {
        CDIR_LOG(LOG_ERR, "o_write [%s] error: %s", dst.c_str(), verr2str(job->last_verr));
        job->st.o_file_fail_count++;
        return 0;
    }
    // The copy carries the times of what it copied, not those of an older listing.
    mstat_attr attr = mstat_item_attr(entry);
    attr.atime = before.atime;
    attr.mtime = before.mtime;
    int rc = vbfile_close(out, &attr);
    if (rc != 0) {
        CDIR_LOG(LOG_ERR, "o_close [%s] error: %s", dst.c_str(), verr2str(rc));
        job->st.o_file_fail_count++;
        cdir_verr_check(job, rc);
        return 0;
    }
    job->st.file_open_count++;
    job->done_files.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

dvsd_attr to_dvsd_attr(const mstat_attr& a) {
    dvsd_attr d;
    d.type = static_cast<int32_t>(a.type);
    d.mode = a.mode;
    d.attr = a.attr;
    d.ctime = static_cast<uint64_t>(a.ctime);
    d.mtime = static_cast<uint64_t>(a.mtime);
    d.atime = static_cast<uint64_t>(a.atime);
    d.uid = a.uid;
    d.gid = a.gid;
    return d;
}

// The answers of one posted list of names to remove in `dir`.
class remove_answers final : public due_command {
  public:
    remove_answers(std::string dir, std::vector<std::string> names)
        : dir_(std::move(dir)), names_(std::move(names)) {}

    bool take(libcdir_ctx* job, const char* data, size_t len, bool* complete) override {
        const bool ok =
            take_status_answers(data, len, names_.size(), &got_, [&](size_t i, int status) {
                const char* name = names_[i].c_str();
                if (status == 0 || status == VERR_FILE_NOT_FOUND) {
                    job->st.sync_del_file_count++;
                    cdir_note_change(job, CDIR_CHANGE_DELETED, dir_, name);
                } else {
                    CDIR_LOG(LOG_ERR, "remove [%s] error: %s", joined(dir_, name).c_str(),
                             verr2str(status));
                    cdir_verr_check(job, status);
                    job->st.sync_del_file_fail_count++;
                    cdir_note_change(job, CDIR_CHANGE_FAILED, dir_, name);
                }
            });
        *complete = got_ == names_.size();
        return ok;
    }

    void lost(libcdir_ctx* job) override {
        if (got_ >= names_.size() || job->user_stop.load() != 0) return;
        CDIR_LOG(LOG_ERR, "[%s] %zu removals got no answer", dir_.c_str(), names_.size() - got_);
        for (; got_ < names_.size(); ++got_) {
            job->st.sync_del_file_fail_count++;
            cdir_note_change(job, CDIR_CHANGE_FAILED, dir_, names_[got_].c_str());
        }
    }

  private:
    std::string dir_;
    std::vector<std::string> names_;
    size_t got_ = 0;
};

// Removes `names` in `dir` at the destination, in chunks. 0, or -1 when the deletion ended early.
int remove_name_list(libcdir_ctx* job, const std::string& dir,
                     const std::vector<std::string>& names) {
    std::string text;
    std::vector<std::string> chunk;
    auto send = [&] {
        std::unique_ptr<due_command> answers(new (std::nothrow)
                                                 remove_answers(dir, std::move(chunk)));
        chunk.clear();
        if (!answers) {
            cdir_verr_check(job, VERR_NO_MEMORY);
            return false;
        }
        const bool ok = post_due(job, MFILE_CMD_REMOVE, dir, text, std::move(answers));
        text.clear();
        return ok && !cdir_need_exit(job);
    };
    try {
        for (const std::string& name : names) {
            if (!text.empty() && text.size() + 1 + name.size() > chunk_cap(job) && !send()) {
                return -1;
            }
            if (!text.empty()) text += '\n';
            text += name;
            chunk.push_back(name);
        }
    } catch (const std::bad_alloc&) {
        cdir_verr_check(job, VERR_NO_MEMORY);
        return -1;
    }
    if (!chunk.empty() && !send()) return -1;
    return 0;
}

// The answers of the worker's emptying of a directory: "F\t", a status per file, "$"; or "D\t",
// the status of opening the directory, "$".
class clear_answers final : public due_command {
  public:
    explicit clear_answers(std::string dir) : dir_(std::move(dir)) {}

    bool take(libcdir_ctx* job, const char* data, size_t len, bool* complete) override {
        std::string_view rest(data, strnlen(data, len));
        while (!rest.empty() && !ended_) {
            const size_t tab = rest.find('\t');
            const std::string_view part = rest.substr(0, tab);
            rest.remove_prefix(tab == std::string_view::npos ? rest.size() : tab + 1);
            if (part.empty() || part == "F" || part == "\n") continue;
            if (part == "$") {
                ended_ = true;
                break;
            }
            if (part == "D") {
                dir_failed_ = true;
                continue;
            }
            int status = 0;
            if (!parse_int(part, &status)) return false;
            if (dir_failed_) {
                CDIR_LOG(LOG_ERR, "remove [%s] error: %s", dir_.c_str(), verr2str(status));
                cdir_verr_check(job, status);
                job->st.sync_del_file_fail_count++;
            } else if (status == 0) {
                job->st.sync_del_file_count++;
            } else {
                cdir_verr_check(job, status);
                job->st.sync_del_file_fail_count++;
            }
        }
        *complete = ended_;
        return true;
    }

  private:
    std::string dir_;
    bool dir_failed_ = false;
    bool ended_ = false;
};

// Empties a destination directory of its files with the worker's own command (no names travel).
int clear_dir(libcdir_ctx* job, const cdir_item& record) {
    std::unique_ptr<due_command> answers(new (std::nothrow) clear_answers(record.dst_path));
    if (!answers) {
        cdir_verr_check(job, VERR_NO_MEMORY);
        return -1;
    }
    return post_due(job, MFILE_CMD_CLEAR_DIR, record.dst_path, "", std::move(answers)) ? 0 : -1;
}

}  // namespace

void write_tail_deleter::operator()(cdir_write_tail* tail) const {
    delete tail;
}

uint64_t cdir_small_max(const libcdir_ctx* job) {
    // The worker reads at most max_mfile_size - 4 bytes of a file, and each file is asked with one
    // byte more than it holds.
    const uint64_t worker = job->max_mfile_size > 5 ? job->max_mfile_size - 5 : 0;
    return std::min<uint64_t>(CDIR_SMALL_FILE_MAX, worker);
}

int cdir_rl_transfer(libcdir_ctx* job, const cdir_item& item,
                     std::span<const mstat_item*> selected) {
    if (selected.empty()) return 0;
    if (job->dry_run) {
        cdir_dry_transfer(job, item, selected);
        return 0;
    }
    rdir_dst_dir dst;
    if (!cdir_open_dst_dir(job, item, selected.size(), &dst)) {
        for (const mstat_item* e : selected) {
            cdir_note_change(job, CDIR_CHANGE_FAILED, item.dst_path, e->name);
        }
        return 0;
    }
    const runs r = split_runs(job, selected);
    const char* dst_dir = item.dst_path.c_str();
    for (const mstat_item* e : r.empty) {
        outcome_probe probe(job);
        if (cdir_listed_node(*e)) {
            cdir_rl_make_node(job, *e, item.src_path.c_str(), dst, dst_dir);
        } else {
            cdir_write_file(job, *e, dst, dst_dir, nullptr, 0);
        }
        probe.note(job, item, *e);
        if (cdir_need_exit(job)) return 0;
    }
    // The files come while the next directory is read: their reads go with the directory's
    // destination and listings, and the previous directory's answers are taken meanwhile.
    auto tail = std::make_unique<read_tail>();
    tail->item = cdir_item_copy(item);
    if (!tail->item) {
        cdir_verr_check(job, VERR_NO_MEMORY);
        return -1;
    }
    tail->item->src_files = item.src_files.share();
    tail->item->dst_files = item.dst_files.share();
    tail->dst = std::move(dst);
    tail->reads = std::make_unique<read_list>(job, *tail->item);
    read_tail& t = *tail;
    read_list& reads = *t.reads;
    auto write_one = [&](const mstat_item& e, const char* data, size_t len) {
        write_read_file(job, t, e, data, len);
    };
    int ret = 0;
    for (const mstat_item* e : r.small) {
        if (!reads.empty() && reads.size() + kLineOverhead + strlen(e->name) > chunk_cap(job)) {
            if (!reads.post()) {
                ret = -1;
                break;
            }
            if (reads.posted() > kReadChunksAhead && !reads.take(job->trans_buf.get(), write_one)) {
                ret = -1;
                break;
            }
        }
        if (!reads.add(*e)) {
            ret = -1;
            break;
        }
    }
    if (ret == 0 && !reads.post()) ret = -1;
    if (!take_read_tail(job)) ret = -1;
    // A record of changes keeps each directory's files in their order: small ones first.
    if (job->changes_file && !take_reads(job, t)) ret = -1;
    for (const mstat_item* e : r.big) {
        if (ret != 0 || cdir_need_exit(job)) break;
        outcome_probe probe(job);
        cdir_rl_copy_file(job, *e, item.src_path.c_str(), t.dst, dst_dir);
        probe.note(job, item, *e);
    }
    if (reads.posted() == 0) return ret;
    // Whatever was posted is taken, after a failure at once: its answers would otherwise be read
    // as those of the next directory's reads.
    cdir_write_tail* queue = ret == 0 ? due_queue(job) : nullptr;
    if (queue == nullptr) {
        if (!cdir_need_exit(job)) take_reads(job, t);
        return -1;
    }
    queue->reads = std::move(tail);
    return ret;
}

int cdir_lr_transfer(libcdir_ctx* job, const cdir_item& item,
                     std::span<const mstat_item*> selected) {
    if (selected.empty()) return 0;
    if (job->dry_run) {
        cdir_dry_transfer(job, item, selected);
        return 0;
    }
    const int src_fd = cdir_open_src_dir(job, item, selected);
    if (src_fd < 0) return 0;
    const runs r = split_runs(job, selected);
    const uint64_t limit = cdir_small_max(job);
    int ret = 0;
    write_list writes(job, item);
    // Reads and adds one file; false when the transfer must end.
    auto read_here = [&](const mstat_item& e) {
        mstat_attr attr{};
        const int64_t n =
            cdir_read_local_mfile_base64(job, src_fd, e, item.src_path.c_str(), limit, &attr);
        if (n < 0) {
            // Nothing is sent for a file that could not be read: the destination keeps what it
            // has.
            cdir_note_change(job, CDIR_CHANGE_FAILED, item.dst_path, e.name);
            return !cdir_need_exit(job);
        }
        const std::string_view data(job->enc_buf.get(),
                                    rdir_b64_encoded_len(static_cast<size_t>(n)));
        return writes.add(e, attr, data, true);
    };
    std::string rdev;
    // A node goes as a line of its own when the server offers to make it; otherwise reading it
    // fails and counts it as not copied.
    auto add_node = [&](const mstat_item& e) {
        mstat_attr attr{};
        if (!cdir_node_line_attr(job, src_fd, e, item.src_path.c_str(), &rdev, &attr)) {
            cdir_note_change(job, CDIR_CHANGE_FAILED, item.dst_path, e.name);
            return !cdir_need_exit(job);
        }
        return writes.add(e, attr, "", true);
    };
    for (const mstat_item* e : r.empty) {
        const bool go_on =
            (e->type & RDIR_TYPE_LINK) != 0 ? writes.add(*e, mstat_item_attr(*e), "", true)
            : cdir_listed_node(*e) && cdir_server_makes_node(job, e->mode) ? add_node(*e)
                                                                           : read_here(*e);
        if (!go_on) {
            ret = -1;
            break;
        }
    }
    for (const mstat_item* e : r.small) {
        if (ret != 0) break;
        if (!read_here(*e)) ret = -1;
    }
    // The answers come while the next files and directories are read and encoded, instead of
    // the client waiting for the server at every directory.
    if (ret == 0 && !writes.send()) ret = -1;
    if (ret == 0) {
        for (const mstat_item* e : r.big) {
            outcome_probe probe(job);
            cdir_lr_up_file(job, *e, src_fd, item.src_path.c_str(), item.dst_path.c_str());
            probe.note(job, item, *e);
            if (cdir_need_exit(job)) break;
        }
    }
    close(src_fd);
    return ret;
}

int cdir_rr_transfer(libcdir_ctx* job, const cdir_item& item,
                     std::span<const mstat_item*> selected) {
    if (selected.empty()) return 0;
    if (job->dry_run) {
        cdir_dry_transfer(job, item, selected);
        return 0;
    }
    const runs r = split_runs(job, selected);
    write_list writes(job, item);
    std::string rdev;
    for (const mstat_item* e : r.empty) {
        if (cdir_listed_node(*e)) {
            mstat_attr attr{};
            if (!cdir_server_makes_node(job, e->mode)) {
                cdir_node_not_to_server(job, *e, item.src_path.c_str());
            } else if (cdir_node_line_attr(job, -1, *e, item.src_path.c_str(), &rdev, &attr)) {
                if (!writes.add(*e, attr, "", true)) return -1;
                continue;
            }
            cdir_note_change(job, CDIR_CHANGE_FAILED, item.dst_path, e->name);
            if (cdir_need_exit(job)) return 0;
            continue;
        }
        if (!writes.add(*e, mstat_item_attr(*e), "", true)) return -1;
    }
    // Each read chunk is kept small enough that the write lines of its files fit one chunk with
    // what is pending: its answers are turned into lines without sending in between (they are
    // collected into the third buffer, the write answers into the transfer buffer).
    read_list reads(job, item);
    size_t expected = 0;
    auto encode_one = [&](const mstat_item& e, const char* data, size_t len) {
        const long n =
            rdir_b64_encode(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data), len),
                            job->enc_buf.get(), job->bs);
        if (n < 0) {
            CDIR_LOG(LOG_ERR, "[%s] size=%zu does not fit the encode buffer",
                     joined(item.src_path, e.name).c_str(), len);
            job->st.i_file_fail_count++;
            return;
        }
        writes.add(e, mstat_item_attr(e),
                   std::string_view(job->enc_buf.get(), static_cast<size_t>(n)), false);
    };
    auto send_both = [&] {
        bool ok = reads.send(job->rr_buf.get(), encode_one) && writes.send();
        expected = 0;
        return ok;
    };
    for (const mstat_item* e : r.small) {
        const size_t line = rdir_b64_encoded_len(e->size) + strlen(e->name) + kLineOverhead;
        if ((!reads.empty() || writes.size() > 0) &&
            writes.size() + expected + line > chunk_cap(job)) {
            if (!send_both()) return -1;
        }
        if (!reads.add(*e)) return -1;
        expected += line;
    }
    if (!send_both()) return -1;
    for (const mstat_item* e : r.big) {
        outcome_probe probe(job);
        cdir_rr_up_file(job, *e, item.src_path, item.dst_path);
        probe.note(job, item, *e);
        if (cdir_need_exit(job)) return 0;
    }
    return 0;
}

namespace {

// The answers of one posted list of directories to create.
class mkdir_answers final : public due_command {
  public:
    mkdir_answers(std::string dir, std::vector<std::string> names)
        : dir_(std::move(dir)), names_(std::move(names)) {}

    bool take(libcdir_ctx* job, const char* data, size_t len, bool* complete) override {
        const bool ok =
            take_status_answers(data, len, names_.size(), &got_, [&](size_t i, int status) {
                if (status == 0) return;
                CDIR_LOG(LOG_ERR, "mkdir [%s] eno=%d error: %s",
                         joined(dir_, names_[i].c_str()).c_str(), status, verr2str(status));
                job->st.o_file_fail_count++;
                cdir_verr_check(job, status);
            });
        *complete = got_ == names_.size();
        return ok;
    }

  private:
    std::string dir_;
    std::vector<std::string> names_;
    size_t got_ = 0;
};

}  // namespace

int r_create_dir_list(libcdir_ctx* job, const cdir_item& item) {
    if (job->dry_run) return 0;
    std::span<const mstat_item> dirs = item.src_dirs.items();
    if (dirs.empty()) return 0;
    std::vector<std::string> names;
    std::string text;
    char line[PL_MAX_PATH + 256];
    auto send = [&]() -> bool {
        if (names.empty()) return true;
        std::unique_ptr<due_command> answers(new (std::nothrow)
                                                 mkdir_answers(item.dst_path, std::move(names)));
        names.clear();
        if (!answers) {
            cdir_verr_check(job, VERR_NO_MEMORY);
            return false;
        }
        const bool ok = post_due(job, MFILE_CMD_MKDIR, item.dst_path, text, std::move(answers));
        text.clear();
        return ok && !cdir_need_exit(job);
    };
    for (const mstat_item& d : dirs) {
        // Writable by the owner until its contents are in; its own mode comes with its times.
        mstat_attr attr = mstat_item_attr(d);
        attr.link = nullptr;
        attr.mode |= 0700;
        if (libmfile_dir_printf(d.name, &attr, line, sizeof(line)) != 0) {
            job->st.o_file_fail_count++;
            continue;
        }
        const size_t len = strlen(line);
        if (!text.empty() && text.size() + 1 + len > chunk_cap(job) && !send()) return -1;
        try {
            if (!text.empty()) text += '\n';
            text += line;
            names.emplace_back(d.name);
        } catch (const std::bad_alloc&) {
            cdir_verr_check(job, VERR_NO_MEMORY);
            return -1;
        }
    }
    return send() ? 0 : -1;
}

int r_dir_done(libcdir_ctx* job, const cdir_item& item) {
    if (job->dry_run || item.dst_path.empty()) return 0;
    // The destination root keeps its own attributes unless this job made it.
    if (item.is_root && !job->dst_root_created) return 0;
    const mstat_attr& attr = item.is_root ? job->src_root_attr : item.attr;
    if (attr.type == 0) return 0;
    if (job->job_type == LIBCDIR_JOB_SYNC) {
        // A sync makes directories as their files need them, below this one too: their modes
        // come once everything is written.
        try {
            job->new_dirs.push_back(cdir_new_dir{item.dst_path, attr});
        } catch (const std::bad_alloc&) {
            cdir_verr_check(job, VERR_NO_MEMORY);
        }
        return 0;
    }
    // Its files may still be on their way: the times come after their answers.
    due_attr a;
    a.dir = item.dst_path;
    a.attr = attr;
    a.attr.link = nullptr;
    return post_due_attr(job, std::move(a)) ? 0 : -1;
}

bool r_take_write_tail(libcdir_ctx* job) {
    if (!job->write_tail) return true;
    if (job->write_tail->taking) return true;
    bool ok = take_read_tail(job);
    if (!take_due(job, 0)) ok = false;
    job->write_tail->taking = true;
    if (!cdir_remote_mfile_settle(job->omfile.get())) ok = false;
    job->write_tail->taking = false;
    // Only a queue that is empty goes: a stop leaves nothing in it either.
    if (job->write_tail && job->write_tail->due.empty() && !job->write_tail->reads) {
        job->write_tail.reset();
    }
    return ok;
}

bool r_hold_dir_done(libcdir_ctx* job, const cdir_item& item) {
    cdir_write_tail* queue = job->write_tail.get();
    if (queue == nullptr || !queue->reads || queue->reads->item->dst_path != item.dst_path) {
        return false;
    }
    queue->reads->dir_done = cdir_item_copy(item);
    if (queue->reads->dir_done) return true;
    // Without memory to wait, the files come first.
    take_read_tail(job);
    return false;
}

void r_finish_new_dirs(libcdir_ctx* job) {
    // Deepest first: a parent's final mode may close it to the writes below it.
    for (auto it = job->new_dirs.rbegin(); it != job->new_dirs.rend(); ++it) {
        if (cdir_need_exit(job)) break;
        due_attr a;
        a.dir = it->path;
        a.attr = it->attr;
        a.attr.link = nullptr;
        a.missing_ok = true;
        if (!post_due_attr(job, std::move(a))) break;
    }
    job->new_dirs.clear();
    r_take_write_tail(job);
}

int r_sync_del_orphans(libcdir_ctx* job, const cdir_item& record, bool have_src,
                       std::span<const mstat_item> src, std::span<const mstat_item> dst) {
    std::vector<std::string> names;
    for (const mstat_item& d : dst) {
        if (have_src && cdir_find_name(src, d.name) != nullptr) continue;
        if (job->max_delete >= 0 || job->dry_run) {
            // Counted first, decided at the end.
            cdir_hold_delete(job, record, d.name);
            continue;
        }
        try {
            names.emplace_back(d.name);
        } catch (const std::bad_alloc&) {
            cdir_verr_check(job, VERR_NO_MEMORY);
            return -1;
        }
    }
    if (names.empty()) return 0;
    // A directory whose files all go is emptied by the worker itself, unless each name must be
    // reported.
    if (!have_src && !job->changes_file) return clear_dir(job, record);
    return remove_name_list(job, record.dst_path, names);
}

void r_finish_deletes(libcdir_ctx* job) {
    std::string dir;
    std::vector<std::string> names;
    auto flush = [&] {
        if (!names.empty()) remove_name_list(job, dir, names);
        names.clear();
    };
    for (const std::string& path : job->pending_deletes) {
        if (cdir_need_exit(job)) break;
        const size_t slash = path.rfind('/');
        const std::string d = slash == std::string::npos ? std::string() : path.substr(0, slash);
        if (d != dir) {
            flush();
            dir = d;
        }
        names.push_back(path.substr(slash == std::string::npos ? 0 : slash + 1));
    }
    if (!cdir_need_exit(job)) flush();
    r_take_write_tail(job);
}

int r_sync_update_attrs(libcdir_ctx* job, const cdir_item& record,
                        std::span<const mstat_item* const> files) {
    for (const mstat_item* e : files) {
        if (job->dry_run) {
            cdir_note_change(job, CDIR_CHANGE_UPDATED, record.dst_path, e->name);
            continue;
        }
        due_attr a;
        a.dir = record.dst_path;
        a.name = e->name;
        a.attr = mstat_item_attr(*e);
        a.attr.link = nullptr;
        a.file = true;
        if (!post_due_attr(job, std::move(a)) && cdir_need_exit(job)) return -1;
    }
    return 0;
}
