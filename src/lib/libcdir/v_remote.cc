#include "libcdir/v_remote.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "librdir/librdir.h"
#include "librdir/stat_line.h"

namespace {

// Open flags of the server's open request.
constexpr int32_t kOpenForReading = 0x1081;
constexpr int32_t kOpenForReplacing = 0x2a;  // writing, creation, truncation

// The value of `key` in the server's information text ("key=[value]" lines).
std::string info_value(std::string_view info, std::string_view key) {
    while (!info.empty()) {
        const size_t nl = info.find('\n');
        const std::string_view line = info.substr(0, nl);
        info.remove_prefix(nl == std::string_view::npos ? info.size() : nl + 1);
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos || line.substr(0, eq) != key) continue;
        const size_t open = line.find('[', eq);
        const size_t close = line.rfind(']');
        if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
            return std::string(line.substr(eq + 1));
        }
        return std::string(line.substr(open + 1, close - open - 1));
    }
    return std::string();
}

// One connection of an endpoint handle. The handle's thread uses it; stop() may come from any
// thread, so the pointer is swapped and read under a lock.
class remote_conn {
  public:
    explicit remote_conn(cdir_conn_kind kind) : kind_(kind) {}
    remote_conn(const remote_conn&) = delete;
    remote_conn& operator=(const remote_conn&) = delete;
    ~remote_conn() { close(); }

    bool open(libcdir_ctx* job, const char* url, err_info* err) {
        dvsd_cli_ctx* ctx = dvsd_conn_init(job, url, &conn_err_, err);
        if (ctx == nullptr) return false;
        std::lock_guard<std::mutex> lock(mutex_);
        job_ = job;
        ctx_ = ctx;
        ++ended_.connections;
        if (stopped_) dvsd_cli_stop(ctx_);
        return true;
    }
    // The traffic of every connection this one has been, the current one included.
    void add_traffic(cdir_traffic_kinds* kinds) const {
        std::lock_guard<std::mutex> lock(mutex_);
        cdir_traffic& sum = (*kinds)[kind_];
        sum.connections += ended_.connections;
        sum.requests += ended_.requests;
        sum.waits += ended_.waits;
        dvsd_cli_traffic live;
        dvsd_cli_get_traffic(ctx_, &live);
        sum.requests += live.requests;
        sum.waits += live.waits;
    }
    dvsd_cli_ctx* get() const { return ctx_; }
    void stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        if (ctx_ != nullptr) dvsd_cli_stop(ctx_);
    }
    bool stopped() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopped_;
    }
    // Ends the connection telling the server to drop whatever was under way on it (a file being
    // written never reaches its name).
    void drop() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ctx_ != nullptr) {
            keep_traffic();
            dvsd_cli_abandon(ctx_);
        }
        ctx_ = nullptr;
    }
    // Ends the connection in order; `before` runs first on a live connection. A job that is
    // stopping abandons it instead: its server may be the reason, and each request in order
    // could wait the whole time-out.
    template <typename Before>
    void close(Before&& before) {
        if (ctx_ == nullptr) return;
        CDIR_LOG(LOG_DBG, "==>");
        dvsd_cli_clear_auto_reconnect(ctx_);
        if (stopped() || (job_ != nullptr && cdir_need_exit(job_))) {
            drop();
            return;
        }
        before(ctx_);
        std::lock_guard<std::mutex> lock(mutex_);
        keep_traffic();
        dvsd_cli_exit(ctx_);
        ctx_ = nullptr;
    }
    void close() {
        close([](dvsd_cli_ctx*) {});
    }

  private:
    // Under mutex_: the current connection is about to go.
    void keep_traffic() {
        dvsd_cli_traffic t;
        dvsd_cli_get_traffic(ctx_, &t);
        ended_.requests += t.requests;
        ended_.waits += t.waits;
    }

    const cdir_conn_kind kind_;
    cdir_traffic ended_;  // under mutex_: every connection made; requests and waits of those gone
    mutable std::mutex mutex_;
    libcdir_ctx* job_ = nullptr;
    dvsd_cli_ctx* ctx_ = nullptr;
    bool stopped_ = false;
    err_info conn_err_{};  // the connection keeps its outcomes here
};

// ---- listing ----

// Answers of the server's lister are at most this large; a read asks for exactly that, since the
// window counts each read by what it asked for.
constexpr uint32_t kListerReplyMax = uint32_t{64} << 10;

// The listings the walk starts go out without waiting, and reads follow them so that the walk
// finds the data already here. The server answers in order and a read takes at most one stream
// end, of which each listing has two (files and directories): no more reads are out than ends
// still to come, so none of them idles on the server waiting for a listing nobody asked for
// (holding up the requests behind it). Without the server's offer it asks one thing at a time.
class remote_rdir final : public vrdir {
  public:
    ~remote_rdir() override {
        // Answers still on the way would have to be read before an ordered close; the server
        // drops them instead.
        if (broken_ || dvsd_cli_pipe_pending(conn_.get()) > 0) {
            conn_.drop();
            return;
        }
        conn_.close([](dvsd_cli_ctx* ctx) { dvsd_cli_rdir_close(ctx); });
    }

    int enum_dir(const char* path) override {
        if (broken_) return -1;
        if (lock_step()) {
            if (dvsd_cli_rdir_enum(conn_.get(), path) != 0) {
                cdir_remote_failure(job, conn_.get());
                return -1;
            }
            started(path, true);
            return 0;
        }
        if (!make_room()) return -1;
        if (dvsd_cli_post_ioctl2(conn_.get(), DVSD_IOCTL_RDIR_ENUM, path, DVSD_CLI_TEXT, 0) != 0) {
            return broke();
        }
        outstanding_.push_back(sent::listing);
        started(path, false);
        // A failed read post breaks the connection: the walk learns of it at its next read.
        (void)post_reads(false);
        return 0;
    }

    int read_some(char* buf, int len) override {
        for (;;) {
            if (broken_) return -1;
            if (listings_.empty()) {
                CDIR_LOG(LOG_ERR, "listing read with no listing started");
                return -1;
            }
            listing& front = listings_.front();
            if (front.failed != 0) {
                // As a listing whose directory cannot be opened: both streams end with the code.
                const int n = snprintf(buf, static_cast<size_t>(len), "%c\r%d",
                                       front.ends_out == 0 ? 'F' : 'D', front.failed);
                handed_end(front);
                return std::min(n, len);
            }
            if (!ready_.empty()) return hand_out(buf, len);
            if (lock_step()) return read_now(buf, len);
            // The server gets more to do before this thread waits for it.
            if (!post_reads(true) || !collect_one()) return -1;
        }
    }

    // The connection stands in the middle of a listing: it goes, and a new one opens the
    // lister afresh.
    int reopen(const char* path) override {
        conn_.drop();
        outstanding_.clear();
        listings_.clear();
        ready_.clear();
        ends_due_ = 0;
        reads_out_ = 0;
        broken_ = false;
        if (conn_.stopped() || cdir_need_exit(job)) return -2;
        err_info err{};
        if (!conn_.open(job, url_.c_str(), &err)) {
            CDIR_LOG(LOG_ERR, "reconnect [%s] error: %s", shown_.c_str(), err_info_str(&err));
            return -2;
        }
        if (dvsd_cli_rdir_open(conn_.get(), path, flag_, timeout_ms_) != 0) {
            CDIR_LOG(LOG_ERR, "[%s] lister open error: %s", path,
                     dvsd_cli_get_error_str(conn_.get()));
            cdir_remote_failure(job, conn_.get());
            return -2;
        }
        started(path, true);
        return 0;
    }
    void stop() override { conn_.stop(); }
    void add_traffic(cdir_traffic_kinds* kinds) const override { conn_.add_traffic(kinds); }

    // Nothing posted is waiting: ordinary requests may go on the connection.
    bool idle() const { return !broken_ && dvsd_cli_pipe_pending(conn_.get()) == 0; }
    // The root's listing, started by the lister's open.
    void root_started(const char* path) { started(path, true); }

    remote_conn conn_{CDIR_CONN_LISTER};
    std::string url_;
    std::string shown_;  // the URL without its password, for the log
    uint32_t flag_ = 0;
    int32_t timeout_ms_ = 0;

  private:
    enum class sent : uint8_t { listing, read };
    struct listing {
        std::string path;        // for the log
        bool confirmed = false;  // the server took it
        verr failed = 0;         // the server refused it
        int ends_out = 0;        // stream ends handed to the walk
    };

    void started(const char* path, bool confirmed) {
        listings_.push_back({path, confirmed, 0, 0});
        ends_due_ += 2;
    }

    // A post or collect failed: the connection is unusable. -1 for the walk.
    int broke() {
        broken_ = true;
        cdir_remote_failure(job, conn_.get());
        return -1;
    }
    bool give_up() {
        broke();
        return false;
    }

    uint32_t read_size() const {
        const uint32_t walk_buffer = job->max_mfile_size > 1 ? job->max_mfile_size - 1 : 1;
        return std::min({kListerReplyMax, CDIR_MAX_CHUNK, walk_buffer});
    }

    // One free place in the window before a post, taken by collecting the oldest answer here: the
    // client library would hold it back anyway, and only so many may wait uncollected there.
    bool make_room() {
        const uint32_t window = dvsd_cli_pipe_window(conn_.get());
        const size_t most = window > 1 ? window - 1 : 1;
        while (outstanding_.size() >= most) {
            if (!collect_one()) return false;
        }
        return true;
    }

    // A server without the offer (or a window a break shrank to one, with nothing in flight) is
    // asked one thing at a time, with the plain requests: what a repair repeats is then the
    // single exchange.
    bool lock_step() const {
        return dvsd_cli_pipe_window(conn_.get()) <= 1 && outstanding_.empty();
    }
    int read_now(char* buf, int len) {
        const uint32_t cap = std::min<uint32_t>(static_cast<uint32_t>(len), CDIR_MAX_CHUNK);
        const int64_t got = dvsd_cli_rdir_read(conn_.get(), buf, cap);
        if (got < 0) {
            cdir_remote_failure(job, conn_.get());
            return -1;
        }
        const std::string_view data(buf, static_cast<size_t>(got));
        if (got > 1 && data.find('\r', 1) != std::string_view::npos) {
            if (ends_due_ > 0) --ends_due_;
            handed_end(listings_.front());
        }
        return static_cast<int>(got);
    }

    // Reads ahead up to half the window (the rest stays free for listings), never more than the
    // stream ends to come; `one` asks for one read even with a window of one, when the walk
    // waits.
    bool post_reads(bool one) {
        const uint32_t window = dvsd_cli_pipe_window(conn_.get());
        const uint64_t ahead = window > 1 ? window / 2 : (one && reads_out_ == 0 ? 1 : 0);
        while (reads_out_ < ahead && ends_due_ > reads_out_) {
            if (!make_room()) return false;
            if (dvsd_cli_post_ioctl2(conn_.get(), DVSD_IOCTL_RDIR_READ, nullptr, 0, read_size()) !=
                0) {
                return give_up();
            }
            outstanding_.push_back(sent::read);
            ++reads_out_;
        }
        return true;
    }

    // Collects the oldest answer: read data goes to ready_, a listing's refusal to its record.
    bool collect_one() {
        if (outstanding_.empty()) {
            CDIR_LOG(LOG_ERR, "listing read with nothing asked of the server");
            return give_up();
        }
        const sent what = outstanding_.front();
        outstanding_.pop_front();
        std::string data;
        uint32_t got = 0;
        if (what == sent::read) {
            --reads_out_;
            data.resize(read_size());
        }
        dvsd_cli_ctx* ctx = conn_.get();
        const int rc =
            dvsd_cli_collect_ioctl2(ctx, data.data(), static_cast<uint32_t>(data.size()), &got);
        if (what == sent::listing) {
            auto it = std::find_if(listings_.begin(), listings_.end(),
                                   [](const listing& l) { return !l.confirmed; });
            if (it == listings_.end()) {
                CDIR_LOG(LOG_ERR, "listing answer without a listing");
                return give_up();
            }
            it->confirmed = true;
            if (rc != 0) {
                // A refusal leaves the other answers in place: only this directory fails.
                if (dvsd_cli_pipe_pending(ctx) != outstanding_.size() || conn_.stopped() ||
                    cdir_need_exit(job)) {
                    return give_up();
                }
                CDIR_LOG(LOG_ERR, "[%s] listing not started: %s", it->path.c_str(),
                         dvsd_cli_get_error_str(ctx));
                it->failed = cdir_remote_failure(job, ctx);
                ends_due_ -= 2;
            }
            return true;
        }
        if (rc != 0) return give_up();
        data.resize(got);
        if (got > 1 && data.find('\r', 1) != std::string::npos && ends_due_ > 0) --ends_due_;
        ready_.push_back(std::move(data));
        return true;
    }

    int hand_out(char* buf, int len) {
        std::string& data = ready_.front();
        if (data.size() > static_cast<size_t>(len)) {
            CDIR_LOG(LOG_ERR, "listing block of %zu bytes over the buffer of %d", data.size(), len);
            return broke();
        }
        const int n = static_cast<int>(data.size());
        memcpy(buf, data.data(), data.size());
        const bool end = n > 1 && data.find('\r', 1) != std::string::npos;
        ready_.pop_front();
        if (end) handed_end(listings_.front());
        return n;
    }

    void handed_end(listing& front) {
        if (++front.ends_out >= 2) listings_.pop_front();
    }

    std::deque<sent> outstanding_;   // posted, answer not collected, in order
    std::deque<listing> listings_;   // started, not wholly handed to the walk, in order
    std::deque<std::string> ready_;  // read answers collected, not handed to the walk
    uint64_t ends_due_ = 0;          // stream ends of the listings taken, not collected yet
    uint64_t reads_out_ = 0;         // reads among outstanding_
    bool broken_ = false;            // a post or collect failed: the connection is unusable
};

// A new handle of kind T with its connection to the side's server; null (reason in `err`) when
// either cannot be had.
template <typename T>
std::unique_ptr<T> connected(libcdir_ctx* job, const cdir_side* side, err_info* err) {
    auto handle = std::unique_ptr<T>(new (std::nothrow) T());
    if (!handle) {
        ERR_INFO_SET(err, VERR_NO_MEMORY, nullptr);
        return nullptr;
    }
    handle->job = job;
    handle->is_local = false;
    if (!handle->conn_.open(job, side->url.c_str(), err)) return nullptr;
    return handle;
}

// Whether two status records are one directory: the same device and inode, and the same times,
// so that two servers whose numbers happen to match are not taken for one. A server that does not
// give inode numbers tells nothing.
bool same_dir(const dvsd_stat& a, const dvsd_stat& b) {
    return a.st_ino != 0 && a.st_ino == b.st_ino && a.st_dev == b.st_dev &&
           a.time_write == b.time_write && a.time_write_ns == b.time_write_ns &&
           a.time_create == b.time_create && a.time_create_ns == b.time_create_ns;
}

// Whether `path` on `ctx`, or a directory above it, is the directory `target`.
bool at_or_below(dvsd_cli_ctx* ctx, std::string path, const dvsd_stat& target) {
    for (;;) {
        dvsd_stat st;
        if (dvsd_cli_stat(ctx, path.c_str(), &st) == 0 && same_dir(st, target)) return true;
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos || path == "/") return false;
        path.resize(slash == 0 ? 1 : slash);
    }
}

// Source and destination on one server (under any name for it or for the directory): a job
// into its own source, or out of its own destination, would copy itself without end or delete
// its own source. false with the reason in `err`.
bool remote_overlap_ok(libcdir_ctx* job, dvsd_cli_ctx* dst_ctx, const std::string& dst_root,
                       err_info* err) {
    auto* src = dynamic_cast<remote_rdir*>(job->irdir.get());
    if (src == nullptr || src->conn_.get() == nullptr) return true;
    dvsd_cli_ctx* src_ctx = src->conn_.get();
    dvsd_stat src_st;
    if (dvsd_cli_stat(src_ctx, job->src.root.c_str(), &src_st) != 0) return true;
    const char* why = nullptr;
    dvsd_stat dst_st;
    const bool dst_there = dvsd_cli_stat(dst_ctx, dst_root.c_str(), &dst_st) == 0;
    if (dst_there && same_dir(src_st, dst_st)) {
        why = "The source url and destination url cannot be the same";
    } else if (at_or_below(dst_ctx, dst_root, src_st)) {
        why = "the destination is inside the source";
    } else if (dst_there && at_or_below(src_ctx, job->src.root, dst_st)) {
        why = "the source is inside the destination";
    }
    if (why == nullptr) return true;
    CDIR_FAIL(err, VERR_INVALID_PARAMETER, "%s: [%s] [%s]", why, job->src.shown.c_str(),
              job->dst.shown.c_str());
    return false;
}

vrdir* remote_rdir_open(libcdir_ctx* job, cdir_side* side, int is_destination,
                        const libcdir_rdir_param* param) {
    err_info* err = param != nullptr ? param->err : nullptr;
    auto handle = connected<remote_rdir>(job, side, err);
    if (!handle) return nullptr;
    dvsd_cli_ctx* ctx = handle->conn_.get();
    const char* root = side->root.c_str();
    dvsd_stat st;
    const bool dst_missing = is_destination && dvsd_cli_lstat(ctx, root, &st) != 0;
    if (dst_missing) job->dst_root_created = true;
    if (is_destination && !dst_missing && (st.type & RDIR_TYPE_KIND_MASK) != RDIR_TYPE_DIR) {
        // As at a local destination: a file cannot take a tree.
        CDIR_FAIL(err, VERR_GENERAL_FAILURE, "[%s] It is a file, must be a directory", root);
        return nullptr;
    }
    if (is_destination && !remote_overlap_ok(job, ctx, side->root, err)) return nullptr;
    if (dst_missing && job->dry_run) {
        // A dry run makes nothing, not even the destination root: everything would be new.
        job->need_odir_list = false;
        return handle.release();
    }
    if (is_destination && dvsd_cli_ctl_s(ctx, DVSD_IOCTL_MKDIRS, root) != 0) {
        CDIR_LOG(LOG_ERR, "mkdirs [%s] error: %s", root, dvsd_cli_get_error_str(ctx));
        cdir_remote_failure(job, ctx);
        dvsd_cli_copy_error(ctx, err);
        return nullptr;
    }
    uint32_t flag = param != nullptr ? param->flag : 0;
    // As at a local source, a file named like a temporary that no writer is writing is listed
    // and told about; a destination's leftovers are the writer's to clear.
    if (!is_destination && job->src_stale_temps.load()) flag |= RDIR_FLAG_STALE_TEMPS;
    const int32_t timeout = param != nullptr ? static_cast<int32_t>(param->read_timeout_ms) : 0;
    if (dvsd_cli_rdir_open(ctx, root, flag, timeout) != 0) {
        cdir_remote_failure(job, ctx);
        dvsd_cli_copy_error(ctx, err);
        return nullptr;
    }
    handle->root_started(root);
    handle->url_ = side->url;
    handle->shown_ = side->shown;
    handle->flag_ = flag;
    handle->timeout_ms_ = timeout;
    return handle.release();
}

// ---- batch worker ----

int32_t worker_code(uint32_t cmd) {
    switch (cmd) {
        case MFILE_CMD_READ:
            return DVSD_IOCTL_MFILE_READ;
        case MFILE_CMD_MKDIR:
            return DVSD_IOCTL_MFILE_MKDIR;
        case MFILE_CMD_WRITE:
            return DVSD_IOCTL_MFILE_WRITE;
        case MFILE_CMD_REMOVE:
            return DVSD_IOCTL_MFILE_REMOVE;
        case MFILE_CMD_CLEAR_DIR:
            return DVSD_IOCTL_MFILE_EMPTY;
        default:
            return 0;
    }
}

// Answers a worker command owes, and how a collection of its results counts them: one block per
// list line; the emptying of a directory ends its answers with "$".
class owed_answers {
  public:
    owed_answers(uint32_t cmd, const char* list) : cmd_(cmd) {
        if (cmd == MFILE_CMD_CLEAR_DIR) return;
        const std::string_view text = list != nullptr ? list : "";
        left_ = text.empty()
                    ? 0
                    : static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    }
    bool done() const { return cmd_ == MFILE_CMD_CLEAR_DIR ? ended_ : left_ == 0; }
    bool reads_files() const { return cmd_ == MFILE_CMD_READ; }
    // Counts the answers in one collection of results.
    void count(std::string_view data) {
        switch (cmd_) {
            case MFILE_CMD_READ:
                take(read_blocks(data));
                break;
            case MFILE_CMD_WRITE:
                take(lines(data));
                break;
            case MFILE_CMD_CLEAR_DIR:
                if (data.find('$') != std::string_view::npos) ended_ = true;
                break;
            default:
                take(static_cast<uint64_t>(std::count(data.begin(), data.end(), '\t')));
                break;
        }
    }

  private:
    void take(uint64_t n) { left_ -= std::min(left_, n); }
    static uint64_t read_blocks(std::string_view data) {
        uint64_t n = 0;
        size_t off = 0;
        while (data.size() - off >= static_cast<size_t>(MFILE_HEAD_SIZE)) {
            const auto* p = reinterpret_cast<const uint8_t*>(data.data() + off);
            const uint32_t head = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) |
                                  (uint32_t{p[2]} << 8) | uint32_t{p[3]};
            off += static_cast<size_t>(MFILE_HEAD_SIZE) + (head & MFILE_HEAD_LEN_MASK);
            ++n;
            if (off > data.size()) break;
        }
        return n;
    }
    static uint64_t lines(std::string_view data) {
        uint64_t n = 0;
        size_t start = 0;
        while (start < data.size()) {
            size_t nl = data.find('\n', start);
            if (nl == std::string_view::npos) nl = data.size();
            if (nl > start) ++n;
            start = nl + 1;
        }
        return n;
    }

    uint32_t cmd_;
    uint64_t left_ = 0;
    bool ended_ = false;
};

// The batch worker's connection keeps its requests on the way: commands go without waiting for
// their (empty) answers, collections of results go ahead of the caller's need, and directory
// attributes go once the caller has the answers they must follow. Everything is collected in the
// order it went. A collection goes only where it is sure to find results: never more of them on
// the way than commands still owing answers, since one collection takes at least one answer and
// the answers of one command at most. With a server that does not take requests ahead, each
// post simply waits for its answer.
class remote_mfile final : public vmfile {
  public:
    ~remote_mfile() override {
        // Requests may be on the way whose answers nobody will read.
        if (broken_ != 0) conn_.drop();
        conn_.close([this](dvsd_cli_ctx* ctx) {
            // Answers still on the way are taken first: a request may not overtake them.
            if (settle(true)) dvsd_cli_mfile_close(ctx);
        });
    }

    int post(uint32_t cmd, const char* base, const char* list) override {
        const int32_t code = worker_code(cmd);
        if (code == 0) return VERR_INVALID_PARAMETER;
        if (broken_ != 0) return broken_;
        if (!make_room()) return broken_;
        try {
            owed_.emplace_back(cmd, list);
            flight_.push_back({sent::command, {}});
        } catch (const std::bad_alloc&) {
            return fail(VERR_NO_MEMORY);
        }
        if (dvsd_cli_mfile_post(conn_.get(), code, base, list) != 0) {
            flight_.pop_back();
            owed_.pop_back();
            return fail(cdir_remote_failure(job, conn_.get()));
        }
        if (owed_.back().done()) owed_.pop_back();  // an empty list owes nothing
        return 0;
    }

    int collect(char* buf, int len) override {
        if (buf == nullptr || len <= 0) return -1;
        capacity_ = std::min<uint32_t>(static_cast<uint32_t>(len), CDIR_MAX_CHUNK);
        if (results_.empty()) {
            if (broken_ != 0) return -1;
            if (owed_.empty() && results_in_flight_ == 0) {
                // Nothing can come: the caller counts on answers the worker does not owe.
                CDIR_LOG(LOG_ERR, "batch results asked with no command owing any");
                cdir_verr_check(job, VERR_NET_PROTOCOL_ERROR);
                return -1;
            }
            if (!post_results() || !take_until_results()) return -1;
        }
        std::string data = std::move(results_.front());
        results_.pop_front();
        if (data.size() > static_cast<size_t>(len)) {
            CDIR_LOG(LOG_ERR, "batch results of %zu bytes beyond the buffer of %d", data.size(),
                     len);
            cdir_verr_check(job, VERR_BUFFER_OVERFLOW);
            return -1;
        }
        memcpy(buf, data.data(), data.size());
        return static_cast<int>(data.size());
    }

    int set_times(const char* path, const mstat_attr& attr) override {
        if (!settle(false)) return broken_;
        dvsd_times times;
        times.time_access = static_cast<uint64_t>(attr.atime);
        times.time_write = static_cast<uint64_t>(attr.mtime);
        times.time_create = static_cast<uint64_t>(attr.ctime);
        if (dvsd_cli_set_times2(conn_.get(), path, &times) == 0) return 0;
        verr code = dvsd_cli_get_error(conn_.get());
        return code < 0 ? code : VERR_GENERAL_FAILURE;
    }

    bool post_attr(const char* path, const dvsd_attr& attr, std::function<void(verr)> done) {
        if (broken_ != 0 || !make_room()) return false;
        try {
            flight_.push_back({sent::attributes, std::move(done)});
        } catch (const std::bad_alloc&) {
            fail(VERR_NO_MEMORY);
            return false;
        }
        if (dvsd_cli_post_set_stat(conn_.get(), path, &attr) != 0) {
            flight_.pop_back();
            fail(cdir_remote_failure(job, conn_.get()));
            return false;
        }
        return true;
    }

    // Takes the answers of everything on the way; results that come are kept for collect. With
    // `closing`, a handle whose results were not all collected takes them too. false when the
    // connection can carry no more requests.
    bool settle(bool closing) {
        if (broken_ != 0) return false;
        while (!flight_.empty()) {
            if (!take_front()) return false;
        }
        if (!closing) return true;
        // The caller left answers: they are taken, so that the worker is idle for its close. A
        // collection that brings nothing means the worker will not give them.
        while (!owed_.empty()) {
            if (!post_results() || !take_until_results()) return false;
            const bool any = std::any_of(results_.begin(), results_.end(),
                                         [](const std::string& r) { return !r.empty(); });
            results_.clear();
            if (!any) return false;
        }
        return true;
    }

    // Tells the attributes whose answers are in their outcome.
    void report() {
        while (!finished_.empty()) {
            auto done = std::move(finished_);
            finished_.clear();
            for (auto& [call, status] : done) call(status);
        }
    }

    void stop() override { conn_.stop(); }
    void add_traffic(cdir_traffic_kinds* kinds) const override { conn_.add_traffic(kinds); }

    remote_conn conn_{CDIR_CONN_BATCH};

  private:
    enum class sent : uint8_t { command, results, attributes };
    struct on_the_way {
        sent what;
        std::function<void(verr)> done;  // attributes: told the outcome
    };
    // Collections of results kept on the way at most: each may bring a block of the caller's
    // size.
    static constexpr size_t kResultsAhead = 8;
    static constexpr uint32_t kStatusCapacity = 16 << 10;

    // A post waits for nothing while the connection has room: past half the window, the oldest
    // answers are taken (they are there by then) so that the sender never stands at a full
    // window.
    bool make_room() {
        const size_t high = std::max<size_t>(1, dvsd_cli_pipe_window(conn_.get()) / 2);
        while (flight_.size() >= high) {
            if (!take_front()) return false;
        }
        return true;
    }

    // Posts collections of results while each is sure to find some.
    bool post_results() {
        const size_t ahead =
            dvsd_cli_pipe_window(conn_.get()) > 1 ? std::min(kResultsAhead, owed_.size()) : 1;
        if (results_in_flight_ == 0 && !make_room()) return false;
        while (results_in_flight_ < ahead && results_in_flight_ < owed_.size()) {
            try {
                flight_.push_back({sent::results, {}});
            } catch (const std::bad_alloc&) {
                return fail(VERR_NO_MEMORY) == 0;
            }
            if (dvsd_cli_mfile_post_results(conn_.get(), results_capacity()) != 0) {
                flight_.pop_back();
                fail(cdir_remote_failure(job, conn_.get()));
                return false;
            }
            ++results_in_flight_;
        }
        return true;
    }

    // The output a collection asks for: a status answer is a few bytes, and asking for no more
    // than a few thousand of them keeps the responses on the way small, so that posts need not
    // wait for room; file data gets the caller's buffer.
    uint32_t results_capacity() const {
        const bool data = !owed_.empty() && owed_.front().reads_files();
        return data ? capacity_ : std::min(capacity_, kStatusCapacity);
    }

    // Takes answers in order until a collection of results is among them.
    bool take_until_results() {
        const size_t before = results_.size();
        while (results_.size() == before) {
            if (flight_.empty()) {
                // The server's wait ended before the worker had answers: nothing this time.
                try {
                    results_.emplace_back();
                } catch (const std::bad_alloc&) {
                    return fail(VERR_NO_MEMORY) == 0;
                }
                break;
            }
            const bool was_results = flight_.front().what == sent::results;
            const size_t had = results_.size();
            if (!take_front()) return false;
            if (was_results && results_.size() == had) {
                // An empty collection: the caller tries again after a pause.
                try {
                    results_.emplace_back();
                } catch (const std::bad_alloc&) {
                    return fail(VERR_NO_MEMORY) == 0;
                }
            }
        }
        return true;
    }

    // Takes the answer of the oldest request on the way.
    bool take_front() {
        on_the_way front = std::move(flight_.front());
        flight_.pop_front();
        dvsd_cli_ctx* ctx = conn_.get();
        switch (front.what) {
            case sent::command:
                if (dvsd_cli_collect_ioctl2(ctx, nullptr, 0, nullptr) != 0) {
                    fail(cdir_remote_failure(job, ctx));
                    return false;
                }
                return true;
            case sent::attributes: {
                const int rc = dvsd_cli_collect_set_stat(ctx);
                // A refusal is the request's own; anything else leaves the connection unusable.
                if (rc >= 0) {
                    const verr code = dvsd_cli_get_error(ctx);
                    finish(std::move(front.done),
                           rc == 0 ? 0 : (code < 0 ? code : VERR_GENERAL_FAILURE));
                    return true;
                }
                fail(cdir_remote_failure(job, ctx));
                finish(std::move(front.done), broken_);
                return false;
            }
            case sent::results:
                break;
        }
        --results_in_flight_;
        // Received into a buffer kept for the purpose: a collection of file data is megabytes.
        try {
            if (scratch_.size() < capacity_) scratch_.resize(capacity_);
        } catch (const std::bad_alloc&) {
            fail(VERR_NO_MEMORY);
            return false;
        }
        uint32_t got = 0;
        if (dvsd_cli_collect_ioctl2(ctx, scratch_.data(), capacity_, &got) != 0) {
            fail(cdir_remote_failure(job, ctx));
            return false;
        }
        if (got == 0) return true;
        std::string data;
        try {
            data.assign(scratch_.data(), got);
        } catch (const std::bad_alloc&) {
            fail(VERR_NO_MEMORY);
            return false;
        }
        if (!owed_.empty()) {
            owed_.front().count(data);
            if (owed_.front().done()) owed_.pop_front();
        }
        try {
            results_.push_back(std::move(data));
        } catch (const std::bad_alloc&) {
            fail(VERR_NO_MEMORY);
            return false;
        }
        return true;
    }

    // The connection can no longer be trusted with the order of its answers: everything on the
    // way is given up, and the handle refuses further work.
    int fail(verr code) {
        broken_ = code < 0 ? code : VERR_GENERAL_FAILURE;
        for (on_the_way& w : flight_) {
            if (w.what == sent::attributes) finish(std::move(w.done), broken_);
        }
        flight_.clear();
        owed_.clear();
        results_in_flight_ = 0;
        return broken_;
    }

    // Outcomes are told from report(), never from the middle of a post or a collection, where
    // the caller's own state may be half changed.
    void finish(std::function<void(verr)> done, verr status) {
        if (!done) return;
        try {
            finished_.emplace_back(std::move(done), status);
        } catch (const std::bad_alloc&) {
            done(status);
        }
    }

    std::deque<on_the_way> flight_;  // posted, answer not taken, oldest first
    std::vector<std::pair<std::function<void(verr)>, verr>> finished_;
    std::deque<owed_answers> owed_;    // commands with answers not collected, oldest first
    std::deque<std::string> results_;  // collections taken, not handed to the caller yet
    size_t results_in_flight_ = 0;
    uint32_t capacity_ = 1 << 20;  // output asked of a collection: the caller's buffer
    std::vector<char> scratch_;    // a collection as it arrives
    verr broken_ = 0;
};

vmfile* remote_mfile_open(libcdir_ctx* job, cdir_side* side, const libcdir_mfile_param* param) {
    err_info* err = param != nullptr ? param->err : nullptr;
    auto handle = connected<remote_mfile>(job, side, err);
    if (!handle) return nullptr;
    dvsd_cli_ctx* ctx = handle->conn_.get();
    const int32_t size = param != nullptr ? static_cast<int32_t>(param->max_mfile_size) : 0;
    const int32_t timeout = param != nullptr ? static_cast<int32_t>(param->read_timeout_ms) : 0;
    if (dvsd_cli_mfile_open(ctx, size, timeout) != 0) {
        cdir_remote_failure(job, ctx);
        dvsd_cli_copy_error(ctx, err);
        return nullptr;
    }
    return handle.release();
}

// ---- block files ----

class remote_bfile final : public vbfile {
  public:
    explicit remote_bfile(std::string url) : url_(std::move(url)) {}
    ~remote_bfile() override {
        // A file still open here was not finished: it must not land.
        abandon();
        conn_.close();
    }
    remote_bfile(const remote_bfile&) = delete;
    remote_bfile& operator=(const remote_bfile&) = delete;

    bool connect(err_info* err) { return conn_.open(job, url_.c_str(), err); }

    int64_t open_read(const char* path, int64_t offset, char* buf, size_t len) override {
        if (int64_t ret = open_file(path, kOpenForReading); ret != 0) return ret;
        writing_ = false;
        if (len == 0) return 0;  // opened only, to take its status before reading
        const int64_t n = read_at(offset, buf, len);
        read_failed = n < 0;
        return n;
    }
    int64_t read_at(int64_t offset, char* buf, size_t len) override {
        if (file_ == nullptr) return VERR_INVALID_STATE;
        const uint32_t block = dvsd_cli_block_size(conn_.get());
        if (!dvsd_cli_can_post_io(conn_.get()) || len == 0 || len > block) {
            if (const verr code = settle(); code != 0) return code;
            const int64_t n = dvsd_cli_read(file_, buf, static_cast<uint32_t>(len),
                                            static_cast<uint64_t>(offset));
            return n >= 0 ? n : status();
        }
        const auto n32 = static_cast<uint32_t>(len);
        // A read where the ones sent ahead do not stand (the walk moved, the file shrank) takes
        // them off the connection first.
        if (!reads_.empty() && (reads_.front().offset != offset || reads_.front().len != n32)) {
            if (const verr code = settle(); code != 0) return code;
        }
        if (reads_.empty()) {
            if (dvsd_cli_post_read(file_, n32, static_cast<uint64_t>(offset)) != 0) return status();
            reads_.push_back({offset, n32});
        }
        // The next blocks of the file go ahead, up to its size when it is known.
        int64_t next = reads_.back().offset + reads_.back().len;
        while (read_end_ > next && reads_.size() < window() &&
               reads_.size() * n32 + n32 <= kAheadBytes) {
            // The last block as the walk will ask for it: only what the file holds.
            const auto want = static_cast<uint32_t>(std::min<int64_t>(n32, read_end_ - next));
            if (dvsd_cli_post_read(file_, want, static_cast<uint64_t>(next)) != 0) return status();
            reads_.push_back({next, want});
            next += want;
        }
        reads_.pop_front();
        const int64_t n = dvsd_cli_collect_read(file_, buf, n32);
        return n >= 0 ? n : status();
    }
    int64_t create_write(const char* path, int64_t offset, const char* buf, size_t len) override {
        if (int64_t ret = open_file(path, kOpenForReplacing); ret != 0) return ret;
        writing_ = true;
        if (len == 0) return 0;
        return write_at(offset, buf, len);
    }
    int64_t write_at(int64_t offset, const char* buf, size_t len) override {
        if (file_ == nullptr) return VERR_INVALID_STATE;
        // Writes wait for their answers: a stop must find the stream between requests, so that
        // the server hears the quit and drops the unfinished file at once.
        const int64_t n =
            dvsd_cli_write(file_, buf, static_cast<uint32_t>(len), static_cast<uint64_t>(offset));
        return n >= 0 ? n : status();
    }
    int close_file(const mstat_attr* attr) override {
        if (file_ == nullptr) return 0;
        if (const verr code = settle(); code != 0) {
            abandon();
            return code;
        }
        if (attr != nullptr) {
            dvsd_attr a;
            a.type = static_cast<int32_t>(attr->type);
            a.mode = attr->mode;
            a.attr = attr->attr;
            a.ctime = static_cast<uint64_t>(attr->ctime);
            a.mtime = static_cast<uint64_t>(attr->mtime);
            a.atime = static_cast<uint64_t>(attr->atime);
            a.uid = attr->uid;
            a.gid = attr->gid;
            if (dvsd_cli_fset_stat(file_, &a) != 0) {
                // Without its attributes the file would land as something it is not.
                const verr code = status();
                abandon();
                return code;
            }
        }
        dvsd_cli_file* file = file_;
        file_ = nullptr;
        writing_ = false;
        return dvsd_cli_close(file) == 0 ? 0 : status();
    }
    void abandon() override {
        if (file_ == nullptr) return;
        dvsd_cli_file* file = file_;
        file_ = nullptr;
        const bool posted = !reads_.empty();
        forget_posted();
        if (writing_ || posted) {
            // The server writes a replaced file under a temporary name and places it at its close;
            // a connection that ends without the close drops it. The next file connects anew.
            conn_.drop();
            writing_ = false;
            return;
        }
        // A read handle goes with its connection when the close cannot be sent.
        if (dvsd_cli_close(file) != 0) conn_.drop();
    }
    void stop() override { conn_.stop(); }
    void add_traffic(cdir_traffic_kinds* kinds) const override { conn_.add_traffic(kinds); }
    int state(vbfile_state* out) override {
        if (file_ == nullptr) return VERR_INVALID_STATE;
        if (const verr code = settle(); code != 0) return code;
        dvsd_stat st;
        if (dvsd_cli_fstat(file_, &st) != 0) return status();
        // Reads go ahead of the walk within what the file holds.
        read_end_ = static_cast<int64_t>(st.len);
        out->size = st.len;
        out->mode = st.attrib_mode;
        out->atime = static_cast<int64_t>(st.time_access);
        out->mtime = static_cast<int64_t>(st.time_write);
        out->mtime_ns = st.time_write_ns;
        out->ctime = static_cast<int64_t>(st.time_create);
        out->ctime_ns = st.time_create_ns;
        out->blocks = st.st_blocks;
        out->blocks_known = st.st_blksize != 0;  // an extended status record
        return 0;
    }
    int set_size(uint64_t size) override {
        if (file_ == nullptr) return VERR_INVALID_STATE;
        if (const verr code = settle(); code != 0) return code;
        return dvsd_cli_ftruncate(file_, size) == 0 ? 0 : status();
    }
    int node_of(const char* path, uint32_t* mode, uint64_t* rdev) override {
        if (conn_.get() == nullptr) {
            if (conn_.stopped()) return VERR_NET_USER_STOP;
            err_info err{};
            if (!conn_.open(job, url_.c_str(), &err)) return err.code < 0 ? err.code : -1;
        }
        dvsd_stat st;
        if (dvsd_cli_lstat(conn_.get(), path, &st) != 0) return status();
        *mode = st.attrib_mode;
        *rdev = st.st_rdev;
        return 0;
    }

  private:
    // Takes the reads sent ahead off the connection: 0, or the failure of the connection. A
    // broken connection answers the rest at once.
    verr settle() {
        verr code = 0;
        while (!reads_.empty()) {
            reads_.pop_front();
            if (dvsd_cli_collect_discard(conn_.get()) != 0 && code == 0) code = status();
        }
        if (code != 0) forget_posted();
        return code;
    }
    void forget_posted() {
        reads_.clear();
        read_end_ = -1;
    }
    size_t window() const { return dvsd_cli_pipe_window(conn_.get()); }

    int64_t open_file(const char* path, int32_t flags) {
        abandon();
        if (conn_.get() == nullptr) {
            if (conn_.stopped()) return VERR_NET_USER_STOP;
            err_info err{};
            if (!conn_.open(job, url_.c_str(), &err)) return err.code < 0 ? err.code : -1;
        }
        file_ = dvsd_cli_open(conn_.get(), path, flags);
        return file_ != nullptr ? 0 : status();
    }
    verr status() const {
        const verr code = dvsd_cli_get_error(conn_.get());
        return code < 0 ? code : VERR_GENERAL_FAILURE;
    }

    // A file's blocks sent ahead of the walk: at most the connection's window, and this many
    // bytes of data.
    static constexpr size_t kAheadBytes = size_t{16} << 20;
    struct posted_io {
        int64_t offset = 0;
        uint32_t len = 0;
    };

    std::string url_;
    remote_conn conn_{CDIR_CONN_FILE};
    dvsd_cli_file* file_ = nullptr;
    bool writing_ = false;
    std::deque<posted_io> reads_;  // posted, in the order of their offsets
    int64_t read_end_ = -1;        // the size of the file being read, once known
};

class remote_endpoints final : public cdir_endpoints {
  public:
    bool is_local() const override { return false; }
    vrdir* open_rdir(libcdir_ctx* job, cdir_side* side, int is_destination,
                     const libcdir_rdir_param* param) override {
        return remote_rdir_open(job, side, is_destination, param);
    }
    vmfile* open_mfile(libcdir_ctx* job, cdir_side* side,
                       const libcdir_mfile_param* param) override {
        return remote_mfile_open(job, side, param);
    }
    vbfile* open_bfile(libcdir_ctx* job, cdir_side* side, err_info* err) override {
        auto handle = std::unique_ptr<remote_bfile>(new (std::nothrow) remote_bfile(side->url));
        if (!handle) {
            ERR_INFO_SET(err, VERR_NO_MEMORY, nullptr);
            return nullptr;
        }
        handle->job = job;
        handle->is_local = false;
        if (!handle->connect(err)) return nullptr;
        return handle.release();
    }
    int create_dirs(libcdir_ctx* job, const cdir_item& item) override {
        return r_create_dir_list(job, item);
    }
    int dir_done(libcdir_ctx* job, const cdir_item& item) override { return r_dir_done(job, item); }
    int remove_orphans(libcdir_ctx* job, const cdir_item& record, bool have_src,
                       std::span<const mstat_item> src, std::span<const mstat_item> dst) override {
        return r_sync_del_orphans(job, record, have_src, src, dst);
    }
    int update_attrs(libcdir_ctx* job, const cdir_item& record,
                     std::span<const mstat_item* const> files) override {
        return r_sync_update_attrs(job, record, files);
    }
};

}  // namespace

verr cdir_remote_failure(libcdir_ctx* job, dvsd_cli_ctx* ctx) {
    verr code = dvsd_cli_get_error(ctx);
    if (code >= 0) code = VERR_GENERAL_FAILURE;
    if (job != nullptr && job->user_stop.load() == 0) cdir_verr_check(job, code);
    return code;
}

dvsd_cli_ctx* dvsd_conn_init(libcdir_ctx* job, const char* url, err_info* conn_err, err_info* err) {
    dvsd_cli_ctx* ctx = dvsd_cli_connect_ex(url, job != nullptr ? job->cancel : nullptr, conn_err);
    if (ctx == nullptr) {
        const verr code = conn_err->code < 0 ? conn_err->code : VERR_GENERAL_FAILURE;
        if (job != nullptr) cdir_verr_check(job, code);
        if (err != nullptr) err_info_copy(err, conn_err);
        return nullptr;
    }
    const std::string_view info = dvsd_cli_server_info(ctx);
    const std::string ver = info_value(info, "ver").substr(0, 31);
    if (dvsd_cli_version_number(ver.c_str()) < dvsd_cli_version_number(CDIR_MIN_SERVER_VERSION)) {
        CDIR_LOG(LOG_ERR, "dvsd ver=%s: %s", ver.c_str(), DVSD_CLI_NOT_SUPPORTED);
        ERR_INFO_SET(err, VERR_GENERAL_FAILURE, "%s", DVSD_CLI_NOT_SUPPORTED);
        dvsd_cli_exit(ctx);
        if (job != nullptr) {
            job->last_class.store(-2);
            job->stop_class.store(-2);
            job->error_stop.store(1);
        }
        return nullptr;
    }
    if (job != nullptr && !job->dst.is_local && job->dst.url == url) {
        // "nodes=[fifo,sock,chr,blk]": what the batch worker makes for this client.
        const std::string nodes = "," + info_value(info, "nodes") + ",";
        uint32_t kinds = 0;
        if (nodes.find(",fifo,") != std::string::npos) kinds |= CDIR_NODES_FIFO;
        if (nodes.find(",chr,") != std::string::npos) kinds |= CDIR_NODES_DEVICE;
        job->dst_nodes.store(kinds);
        // Owners count as they did when this process is root, and only if the server can apply
        // them.
        if (info_value(info, "is_root") != "1") job->dst_owners.store(false);
    }
    if (job != nullptr && !job->src.is_local && job->src.url == url) {
        job->src_stale_temps.store(info_value(info, "stale_temps") == "1");
    }
    CDIR_LOG(LOG_VERB, "set_auto_reconnect\n");
    if (dvsd_cli_set_auto_reconnect(ctx) != 0) {
        cdir_remote_failure(job, ctx);
        dvsd_cli_copy_error(ctx, err);
        dvsd_cli_exit(ctx);
        return nullptr;
    }
    return ctx;
}

cdir_endpoints* cdir_remote_endpoints_new() {
    return new (std::nothrow) remote_endpoints();
}

bool cdir_remote_mfile_post_attr(vmfile* h, const char* path, const dvsd_attr& attr,
                                 std::function<void(verr)> done) {
    auto* remote = dynamic_cast<remote_mfile*>(h);
    if (remote == nullptr) return false;
    return remote->post_attr(path, attr, std::move(done));
}

bool cdir_remote_mfile_settle(vmfile* h) {
    auto* remote = dynamic_cast<remote_mfile*>(h);
    if (remote == nullptr) return true;
    const bool ok = remote->settle(false);
    remote->report();
    return ok;
}

void cdir_remote_mfile_report(vmfile* h) {
    auto* remote = dynamic_cast<remote_mfile*>(h);
    if (remote != nullptr) remote->report();
}

int cdir_remote_dir_attr(vrdir* h, const char* path, mstat_attr* attr) {
    auto* remote = dynamic_cast<remote_rdir*>(h);
    if (remote == nullptr || !remote->idle()) return -1;
    dvsd_stat st;
    if (dvsd_cli_stat(remote->conn_.get(), path, &st) != 0) return -1;
    *attr = mstat_attr{};
    attr->type = RDIR_TYPE_DIR;
    attr->mode = st.attrib_mode;
    attr->attr = RDIR_ATTR_POSIX;
    attr->uid = st.uid;
    attr->gid = st.gid;
    attr->atime = static_cast<int64_t>(st.time_access);
    attr->mtime = static_cast<int64_t>(st.time_write);
    attr->ctime = static_cast<int64_t>(st.time_create);
    return 0;
}
