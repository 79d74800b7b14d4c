// The routes with a file server on one side or both: a directory's selected files go as empty
// files, small files in batches through the batch workers, and big files block by block; and the
// directory work of the copy and sync cores at a remote destination.
//
// Batches are lists of lines sent in chunks of whole lines; each chunk's answers (one per line,
// in order) are collected before the next chunk goes, so that neither side holds more than a
// chunk and its answers. File writes to a server are the exception: a few pieces of them may be
// at the server at once, and a directory's last ones while the next directory is read.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "libcdir/v_remote.h"
#include "libcdir/w_cp_core.h"
#include "libcdir/w_sync_core.h"
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

// Sends one chunk as command `cmd` and hands the answers to `take`(data, length, answers so far),
// which returns how many answers the data held, or -1 for data that is not an answer. Ends when
// `want` answers came. 0, or negative when the job cannot go on with this directory.
template <typename Take>
int run_chunk(libcdir_ctx* job, vmfile* h, uint32_t cmd, const std::string& base,
              const std::string& text, size_t want, char* buf, Take&& take) {
    if (h == job->omfile.get()) r_take_write_tail(job);
    int ret = vmfile_cmd(h, cmd, base.c_str(), text.c_str());
    if (ret < 0) return ret;
    size_t got = 0;
    while (got < want) {
        int n = vmfile_list_ret(h, buf, collect_len(job));
        if (n < 0) return -1;
        long k = take(buf, static_cast<size_t>(n), got);
        if (k < 0 || got + static_cast<size_t>(k) > want) {
            CDIR_LOG(LOG_ERR, "[%s] batch answer not understood", base.c_str());
            cdir_verr_check(job, VERR_NET_PROTOCOL_ERROR);
            return -1;
        }
        got += static_cast<size_t>(k);
    }
    return 0;
}

// Answers of the form "%d\t" (one per entry), possibly several in one collection.
template <typename Each>
long take_statuses(const char* data, size_t len, Each&& each) {
    std::string_view rest(data, strnlen(data, len));
    long count = 0;
    while (!rest.empty()) {
        const size_t tab = rest.find('\t');
        const std::string_view part = rest.substr(0, tab);
        rest.remove_prefix(tab == std::string_view::npos ? rest.size() : tab + 1);
        if (part.empty() || part == "\n") continue;
        int status = 0;
        if (!parse_int(part, &status)) return -1;
        each(status);
        ++count;
    }
    return count;
}

// ---- write lists ----

// A write list goes out in pieces of about this size while the next piece is read: the server
// writes one piece while the client reads and encodes the next.
constexpr size_t kWritePiece = size_t{256} << 10;
// Pieces at the server at once: it has the next at hand when it ends one.
constexpr size_t kPiecesAtServer = 3;

// Takes the answers of a posted write piece: `posted` are its entries, written in `item`'s
// directory; each answer counts its file. false when the transfer must end.
class piece_answers {
  public:
    piece_answers(libcdir_ctx* job, const cdir_item& item,
                  const std::vector<const mstat_item*>& posted)
        : job_(job), item_(item), posted_(posted) {}

    // Takes answers until `*got` (the entries answered so far) reaches `until`. Answers of later
    // entries that come in the same collection are taken too.
    bool take_until(size_t* got, size_t until) {
        bool stop = false;
        char* buf = job_->trans_buf.get();
        while (*got < until) {
            const int n = vmfile_list_ret(job_->omfile.get(), buf, collect_len(job_));
            if (n < 0) return false;
            const long k = take_answers(buf, static_cast<size_t>(n), *got, &stop);
            if (k < 0 || *got + static_cast<size_t>(k) > posted_.size()) {
                CDIR_LOG(LOG_ERR, "[%s] batch answer not understood", item_.dst_path.c_str());
                cdir_verr_check(job_, VERR_NET_PROTOCOL_ERROR);
                return false;
            }
            *got += static_cast<size_t>(k);
        }
        return !stop;
    }
    bool take() {
        size_t got = 0;
        return take_until(&got, posted_.size());
    }

  private:
    // The answers in one collection, each counting the posted entry it answers; -1 for data that
    // is not an answer.
    long take_answers(const char* data, size_t len, size_t got, bool* stop) {
        long count = 0;
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
                return -1;
            }
            off += used;
            if (got + count >= posted_.size()) return -1;
            answer(*posted_[got + count], stage, number);
            ++count;
            if (cdir_need_exit(job_)) *stop = true;
        }
        return count;
    }

    void answer(const mstat_item& e, int stage, int number) {
        outcome_probe probe(job_);
        if (stage == 0 && number >= 0) {
            job_->st.file_open_count++;
            job_->st.total_read += static_cast<uint64_t>(number);
            job_->st.total_write += static_cast<uint64_t>(number);
            job_->done_files.fetch_add(1, std::memory_order_relaxed);
            job_->done_bytes.fetch_add(static_cast<uint64_t>(number), std::memory_order_relaxed);
        } else {
            const verr code = number < 0 ? number : VERR_GENERAL_FAILURE;
            CDIR_LOG(LOG_ERR, "mkfile [%s] eno=%d error: %s",
                     joined(item_.src_path, e.name).c_str(), code, verr2str(code));
            job_->st.o_file_fail_count++;
            cdir_verr_check(job_, code);
        }
        probe.note(job_, item_, e);
    }

    libcdir_ctx* job_;
    const cdir_item& item_;
    const std::vector<const mstat_item*>& posted_;
};

}  // namespace

struct cdir_write_tail {
    cdir_item_ptr item;  // paths, and the listings that share the entries of `posted`
    std::vector<const mstat_item*> posted;
    size_t pieces = 0;  // pieces of `posted` at the server
    // The directory's own attributes, set once the answers are in.
    bool dir_done = false;
    mstat_attr dir_attr{};
};

void write_tail_deleter::operator()(cdir_write_tail* tail) const {
    delete tail;
}

namespace {

// File-write lines for one destination directory, posted as command 3 in pieces whenever the next
// line would not fit. Up to kPiecesAtServer pieces are at the server while the next is made; the
// oldest one's answers are taken before one more goes. Each answer counts its file.
class write_list {
  public:
    write_list(libcdir_ctx* job, const cdir_item& item) : job_(job), item_(item) {}
    // A transfer that ended early still takes the answers of its posted piece, which would
    // otherwise be read as the answers of the next list on this worker.
    ~write_list() {
        if (!posted_.empty() && !cdir_need_exit(job_)) collect();
    }
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
            if (!post()) return false;
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

    // Sends the pending lines and counts the answers of everything sent. false when the transfer
    // must end.
    bool send() { return post() && collect(); }

    // Sends the pending lines and leaves the answers of what is at the server to be taken while
    // the next directory is read (the job's write_tail). false when the transfer must end.
    bool hand_over() {
        if (!post()) return false;
        // One tail at a time: the previous directory's answers come first.
        r_take_write_tail(job_);
        drop_answered();
        if (posted_.empty()) return true;
        cdir_write_tail_ptr tail(new (std::nothrow) cdir_write_tail());
        cdir_item_ptr item = tail ? cdir_item_copy(item_) : cdir_item_ptr();
        if (!item) return collect();
        // The entries live in the listing: the tail keeps it.
        item->src_files = item_.src_files.share();
        item->dst_files = item_.dst_files.share();
        tail->item = std::move(item);
        tail->posted.swap(posted_);
        tail->pieces = ends_.size();
        ends_.clear();
        job_->write_tail = std::move(tail);
        return true;
    }

  private:
    // Posts the pending lines without waiting for their answers. Up to kPiecesAtServer pieces may
    // be at the server: before one more goes, the answers of the oldest are taken (and first of
    // all those of the previous directory's tail).
    bool post() {
        if (entries_.empty()) return true;
        const cdir_write_tail* tail = job_->write_tail.get();
        if (tail != nullptr && tail->pieces + ends_.size() >= kPiecesAtServer) {
            r_take_write_tail(job_);
        }
        if (ends_.size() >= kPiecesAtServer) {
            if (!piece_answers(job_, item_, posted_).take_until(&answered_, ends_.front())) {
                posted_.clear();
                ends_.clear();
                answered_ = 0;
                return false;
            }
            drop_answered();
        }
        if (vmfile_cmd(job_->omfile.get(), MFILE_CMD_WRITE, item_.dst_path.c_str(), text_.c_str()) <
            0) {
            return false;
        }
        try {
            posted_.insert(posted_.end(), entries_.begin(), entries_.end());
            ends_.push_back(posted_.size());
        } catch (const std::bad_alloc&) {
            cdir_verr_check(job_, VERR_NO_MEMORY);
            return false;
        }
        entries_.clear();
        text_.clear();
        return true;
    }

    // Forgets the entries already answered, and the pieces they complete.
    void drop_answered() {
        posted_.erase(posted_.begin(), posted_.begin() + static_cast<std::ptrdiff_t>(answered_));
        while (!ends_.empty() && ends_.front() <= answered_) ends_.erase(ends_.begin());
        for (size_t& end : ends_) end -= answered_;
        answered_ = 0;
    }

    // Counts the answers of everything posted.
    bool collect() {
        if (posted_.empty()) return true;
        r_take_write_tail(job_);
        const bool ok = piece_answers(job_, item_, posted_).take_until(&answered_, posted_.size());
        posted_.clear();
        ends_.clear();
        answered_ = 0;
        return ok;
    }

    bool fail(const mstat_item& e, const char* why) {
        CDIR_LOG(LOG_ERR, "[%s] %s: not copied", joined(item_.src_path, e.name).c_str(), why);
        job_->st.o_file_fail_count++;
        cdir_note_change(job_, CDIR_CHANGE_FAILED, item_.dst_path, e.name);
        return !cdir_need_exit(job_);
    }

    libcdir_ctx* job_;
    const cdir_item& item_;
    std::string text_;
    std::vector<const mstat_item*> entries_;  // lines in text_, not posted yet
    std::vector<const mstat_item*> posted_;   // posted, from the oldest piece at the server on
    size_t answered_ = 0;                     // entries of posted_ whose answers were taken
    std::vector<size_t> ends_;                // where each piece at the server ends in posted_
    std::vector<char> head_;
};

// ---- read lists ----

// Small files asked of the source's batch worker, one chunk at a time. Each file is asked with
// one byte more than it was listed with, so that a file that grew meanwhile is seen.
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
    template <typename OnFile>
    bool send(char* buf, OnFile&& on_file) {
        if (entries_.empty()) return true;
        bool stop = false;
        size_t answered = 0;
        int ret = run_chunk(
            job_, job_->imfile.get(), MFILE_CMD_READ, item_.src_path, text_, entries_.size(), buf,
            [&](const char* data, size_t len, size_t got) -> long {
                long count = 0;
                size_t off = 0;
                while (off < len) {
                    if (len - off == 1 && (data[off] == '\n' || data[off] == '\0')) break;
                    size_t used = 0;
                    mfile_data_result r{};
                    auto* block = reinterpret_cast<uint8_t*>(const_cast<char*>(data + off));
                    if (libmfile_read_get_data_len_err(block, len - off, &used, &r) != 0) return -1;
                    off += used;
                    if (got + count >= entries_.size()) {
                        free(r.data);
                        return -1;
                    }
                    one_file(*entries_[got + count], r, on_file);
                    free(r.data);
                    ++count;
                    answered = got + count;
                    if (cdir_need_exit(job_)) stop = true;
                }
                return count;
            });
        if (ret < 0) unanswered(answered);
        text_.clear();
        entries_.clear();
        return ret >= 0 && !stop;
    }

  private:
    // The batch ended before the entries from `answered` on had their answers: none of them was
    // copied. After a stop they are simply not done.
    void unanswered(size_t answered) {
        if (answered >= entries_.size() || job_->user_stop.load() != 0) return;
        CDIR_LOG(LOG_ERR, "[%s] %zu of %zu files of a batch read got no answer: not copied",
                 item_.src_path.c_str(), entries_.size() - answered, entries_.size());
        for (size_t i = answered; i < entries_.size(); ++i) {
            job_->st.i_file_fail_count++;
            cdir_note_change(job_, CDIR_CHANGE_FAILED, item_.dst_path, entries_[i]->name);
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
    std::vector<const mstat_item*> entries_;
};

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

// The connection for attribute requests at the destination.
dvsd_cli_ctx* dst_conn(libcdir_ctx* job) {
    return cdir_remote_mfile_conn(job->omfile.get());
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

// Removes the names of `names` (one chunk at most) in `dir` at the destination and counts each
// answer. false when the deletion must end.
bool remove_names(libcdir_ctx* job, const std::string& dir, const std::vector<std::string>& names,
                  size_t first, size_t count, const std::string& text) {
    bool stop = false;
    int ret = run_chunk(job, job->omfile.get(), MFILE_CMD_REMOVE, dir, text, count,
                        job->trans_buf.get(), [&](const char* data, size_t len, size_t got) {
                            size_t i = first + got;
                            return take_statuses(data, len, [&](int status) {
                                const char* name = i < names.size() ? names[i].c_str() : "";
                                ++i;
                                if (status == 0 || status == VERR_FILE_NOT_FOUND) {
                                    job->st.sync_del_file_count++;
                                    cdir_note_change(job, CDIR_CHANGE_DELETED, dir, name);
                                } else {
                                    CDIR_LOG(LOG_ERR, "remove [%s] error: %s",
                                             joined(dir, name).c_str(), verr2str(status));
                                    cdir_verr_check(job, status);
                                    job->st.sync_del_file_fail_count++;
                                    cdir_note_change(job, CDIR_CHANGE_FAILED, dir, name);
                                }
                                if (cdir_need_exit(job)) stop = true;
                            });
                        });
    return ret >= 0 && !stop;
}

// Removes `names` in `dir` at the destination, in chunks. 0, or -1 when the deletion ended early.
int remove_name_list(libcdir_ctx* job, const std::string& dir,
                     const std::vector<std::string>& names) {
    std::string text;
    size_t first = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        if (!text.empty() && text.size() + 1 + names[i].size() > chunk_cap(job)) {
            if (!remove_names(job, dir, names, first, i - first, text)) return -1;
            text.clear();
            first = i;
        }
        if (!text.empty()) text += '\n';
        text += names[i];
    }
    if (!text.empty() && !remove_names(job, dir, names, first, names.size() - first, text)) {
        return -1;
    }
    return 0;
}

// Empties a destination directory of its files with the worker's own command (no names travel).
int clear_dir(libcdir_ctx* job, const cdir_item& record) {
    vmfile* h = job->omfile.get();
    r_take_write_tail(job);
    int ret = vmfile_cmd(h, MFILE_CMD_CLEAR_DIR, record.dst_path.c_str(), "");
    if (ret < 0) return ret;
    char* buf = job->trans_buf.get();
    for (;;) {
        int n = vmfile_list_ret(h, buf, collect_len(job));
        if (n < 0) return -1;
        std::string_view rest(buf, strnlen(buf, static_cast<size_t>(n)));
        bool dir_failed = false;
        while (!rest.empty()) {
            const size_t tab = rest.find('\t');
            const std::string_view part = rest.substr(0, tab);
            rest.remove_prefix(tab == std::string_view::npos ? rest.size() : tab + 1);
            if (part.empty() || part == "F" || part == "\n") continue;
            if (part == "$") return 0;
            if (part == "D") {
                dir_failed = true;
                continue;
            }
            int status = 0;
            if (!parse_int(part, &status)) {
                CDIR_LOG(LOG_ERR, "[%s] batch answer not understood", record.dst_path.c_str());
                cdir_verr_check(job, VERR_NET_PROTOCOL_ERROR);
                return -1;
            }
            if (dir_failed) {
                CDIR_LOG(LOG_ERR, "remove [%s] error: %s", record.dst_path.c_str(),
                         verr2str(status));
                cdir_verr_check(job, status);
                job->st.sync_del_file_fail_count++;
                return 0;
            }
            if (status == 0) {
                job->st.sync_del_file_count++;
            } else {
                cdir_verr_check(job, status);
                job->st.sync_del_file_fail_count++;
            }
            if (cdir_need_exit(job)) return -1;
        }
    }
}

}  // namespace

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
    read_list reads(job, item);
    auto write_one = [&](const mstat_item& e, const char* data, size_t len) {
        outcome_probe probe(job);
        job->st.total_read += len;
        cdir_write_file(job, e, dst, dst_dir, data, len);
        probe.note(job, item, e);
    };
    for (const mstat_item* e : r.small) {
        if (!reads.empty() && reads.size() + kLineOverhead + strlen(e->name) > chunk_cap(job)) {
            if (!reads.send(job->trans_buf.get(), write_one)) return -1;
        }
        if (!reads.add(*e)) return -1;
    }
    if (!reads.send(job->trans_buf.get(), write_one)) return -1;
    for (const mstat_item* e : r.big) {
        outcome_probe probe(job);
        cdir_rl_copy_file(job, *e, item.src_path.c_str(), dst, dst_dir);
        probe.note(job, item, *e);
        if (cdir_need_exit(job)) return 0;
    }
    return 0;
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
    // With no big file after them, the last piece's answers wait while the next directory is
    // read and encoded, instead of the client waiting for the server at every directory.
    const bool hand_over = r.big.empty();
    if (ret == 0 && !(hand_over ? writes.hand_over() : writes.send())) ret = -1;
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

int r_create_dir_list(libcdir_ctx* job, const cdir_item& item) {
    if (job->dry_run) return 0;
    std::span<const mstat_item> dirs = item.src_dirs.items();
    if (dirs.empty()) return 0;
    std::vector<const mstat_item*> entries;
    std::string text;
    char line[PL_MAX_PATH + 256];
    auto send = [&]() -> bool {
        if (entries.empty()) return true;
        bool stop = false;
        size_t i = 0;
        int ret = run_chunk(
            job, job->omfile.get(), MFILE_CMD_MKDIR, item.dst_path, text, entries.size(),
            job->trans_buf.get(), [&](const char* data, size_t len, size_t) {
                return take_statuses(data, len, [&](int status) {
                    const mstat_item* d = entries[std::min(i, entries.size() - 1)];
                    ++i;
                    if (status == 0) return;
                    CDIR_LOG(LOG_ERR, "mkdir [%s] eno=%d error: %s",
                             joined(item.dst_path, d->name).c_str(), status, verr2str(status));
                    job->st.o_file_fail_count++;
                    cdir_verr_check(job, status);
                    if (cdir_need_exit(job)) stop = true;
                });
            });
        entries.clear();
        text.clear();
        return ret >= 0 && !stop;
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
        if (!text.empty()) text += '\n';
        text += line;
        entries.push_back(&d);
    }
    return send() ? 0 : -1;
}

namespace {

// With `missing_ok` a directory that is not there is no failure: a sync makes directories only
// as their files need them.
int set_dir_attr(libcdir_ctx* job, const std::string& path, const mstat_attr& a,
                 bool missing_ok = false) {
    const dvsd_attr attr = to_dvsd_attr(a);
    dvsd_cli_ctx* ctx = dst_conn(job);
    if (dvsd_cli_set_stat(ctx, path.c_str(), &attr) == 0) return 0;
    const verr status = dvsd_cli_get_error(ctx);
    if (missing_ok && (status == VERR_FILE_NOT_FOUND || status == VERR_PATH_NOT_FOUND)) return 0;
    const verr code = cdir_remote_failure(job, ctx);
    CDIR_LOG(LOG_ERR, "lutime %s error: %s", path.c_str(), verr2str(code));
    return code;
}

}  // namespace

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
    // Its last files may still be written: the times come after them.
    cdir_write_tail* tail = job->write_tail.get();
    if (tail != nullptr && tail->item->dst_path == item.dst_path) {
        tail->dir_done = true;
        tail->dir_attr = attr;
        return 0;
    }
    return set_dir_attr(job, item.dst_path, attr);
}

bool r_take_write_tail(libcdir_ctx* job) {
    if (!job->write_tail) return true;
    cdir_write_tail_ptr tail = std::move(job->write_tail);
    // A stopping job reads no more answers, as a transfer that ends early does not.
    if (cdir_need_exit(job)) return false;
    const bool ok = piece_answers(job, *tail->item, tail->posted).take();
    if (tail->dir_done && !cdir_need_exit(job)) {
        set_dir_attr(job, tail->item->dst_path, tail->dir_attr);
    }
    return ok;
}

void r_finish_new_dirs(libcdir_ctx* job) {
    // Deepest first: a parent's final mode may close it to the writes below it.
    for (auto it = job->new_dirs.rbegin(); it != job->new_dirs.rend(); ++it) {
        if (cdir_need_exit(job)) break;
        set_dir_attr(job, it->path, it->attr, true);
    }
    job->new_dirs.clear();
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
}

int r_sync_update_attrs(libcdir_ctx* job, const cdir_item& record,
                        std::span<const mstat_item* const> files) {
    dvsd_cli_ctx* ctx = dst_conn(job);
    for (const mstat_item* e : files) {
        if (!job->dry_run) {
            const dvsd_attr attr = to_dvsd_attr(mstat_item_attr(*e));
            const std::string path = joined(record.dst_path, e->name);
            if (dvsd_cli_set_stat(ctx, path.c_str(), &attr) != 0) {
                const verr code = cdir_remote_failure(job, ctx);
                CDIR_LOG(LOG_ERR, "chmod [%s] error: %s", path.c_str(), verr2str(code));
                job->st.o_file_fail_count++;
                cdir_note_change(job, CDIR_CHANGE_FAILED, record.dst_path, e->name);
                if (cdir_need_exit(job)) return -1;
                continue;
            }
        }
        cdir_note_change(job, CDIR_CHANGE_UPDATED, record.dst_path, e->name);
    }
    return 0;
}
