#include "libdvsd/sd_frame.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "liblog/log2.h"

#define SDCLI_LOG(level, ...) DV_LOG("sdcli", level, __VA_ARGS__)

namespace {

// The first stretch of a frame's payload the read buffer grows to; it doubles from there.
constexpr size_t kFirstReadStep = size_t{64} << 10;

uint32_t load_be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

size_t padded_len_of(uint32_t root_word) {
    return ((root_word & BLOB_ATTR_LEN_MASK) + 3) & ~size_t{3};
}

// A root header word a frame may carry: not named, a table, long enough for its own header.
// Logs why not.
bool root_word_valid(uint32_t root_word) {
    const unsigned type = (root_word & BLOB_ATTR_TYPE_MASK) >> BLOB_ATTR_TYPE_SHIFT;
    const size_t length = root_word & BLOB_ATTR_LEN_MASK;
    if ((root_word & BLOB_ATTR_NAMED) != 0 || type != BLOBMSG_TYPE_TABLE ||
        length < BLOB_ATTR_HEADER_SIZE) {
        SDCLI_LOG(LOG_DBG, "root head error %08x\n", root_word);
        return false;
    }
    return true;
}

bool frame_fits(size_t padded_len, size_t max_frame) {
    if (SD_FRAME_PREFIX_SIZE + padded_len > max_frame) {
        SDCLI_LOG(LOG_DBG, "frame len=%zu over limit %zu\n", SD_FRAME_PREFIX_SIZE + padded_len,
                  max_frame);
        return false;
    }
    return true;
}

// What a read that came back short means for the frame: `done` bytes of it had arrived.
int short_read_status(verr status, size_t done) {
    if (status == VERR_NET_USER_STOP) return SD_FRAME_USER_STOP;
    const bool ended = status == VERR_TIMEOUT || status == VERR_NET_NOT_CONNECTED;
    if (!ended) return SD_FRAME_NET_ERROR;
    if (done > 0) return SD_FRAME_LEN_ERROR;
    return status == VERR_TIMEOUT ? SD_FRAME_TIMEOUT : SD_FRAME_NET_ERROR;
}

// The whole-frame deadline of a read: from the frame's first byte, the stream's read time-out
// plus `bytes` at `min_rate`. Lifted again when the read ends, whichever way.
class frame_deadline final {
  public:
    frame_deadline(net_stream& stream, uint32_t min_rate) : stream_(stream), rate_(min_rate) {}
    ~frame_deadline() {
        if (started_) stream_.set_read_deadline(std::nullopt);
    }
    frame_deadline(const frame_deadline&) = delete;
    frame_deadline& operator=(const frame_deadline&) = delete;

    bool paced() const { return rate_ > 0; }
    // The first byte is in: the clock starts.
    void start() {
        first_byte_ = std::chrono::steady_clock::now();
        started_ = true;
    }
    // Logs, when the deadline is what ended a read of the frame that had `got` of its bytes.
    void note_if_missed(verr status, size_t got) const {
        if (!started_ || status != VERR_TIMEOUT || std::chrono::steady_clock::now() < deadline_) {
            return;
        }
        SDCLI_LOG(LOG_WARN, "frame not whole within %lld ms of its first byte (%zu bytes of %zu)\n",
                  static_cast<long long>(allowed_ms_), got, size_);
    }
    void allow(size_t bytes) {
        const uint64_t ms =
            uint64_t{static_cast<uint32_t>(std::max(stream_.read_timeout_ms(), 0))} +
            (uint64_t{bytes} * 1000 + rate_ - 1) / rate_;
        deadline_ = first_byte_ + std::chrono::milliseconds(ms);
        allowed_ms_ = static_cast<int64_t>(ms);
        size_ = bytes;
        stream_.set_read_deadline(deadline_);
    }

  private:
    net_stream& stream_;
    const uint32_t rate_;
    bool started_ = false;
    std::chrono::steady_clock::time_point first_byte_;
    std::chrono::steady_clock::time_point deadline_;
    int64_t allowed_ms_ = 0;
    size_t size_ = 0;
};

}  // namespace

const char* sd_frame_status_str(int status) {
    switch (status) {
        case SD_FRAME_OK:
            return "ok";
        case SD_FRAME_NET_ERROR:
            return "net error";
        case SD_FRAME_DATA_ERROR:
            return "net data error";
        case SD_FRAME_TIMEOUT:
            return "timeout error";
        case SD_FRAME_SRV_ERROR:
            return "dvsd srv error";
        case SD_FRAME_NO_MEMORY:
            return "memory error";
        case SD_FRAME_USER_STOP:
            return "user stop error";
        case SD_FRAME_UNPACK_ERROR:
            return "unpack data error";
        case SD_FRAME_LEN_ERROR:
            return "data len error";
        default:
            return "unkown error";
    }
}

// ---- sd_frame_msg ------------------------------------------------------------------------------

int sd_frame_msg::reset() {
    ok_ = blob_buf_init(&buf_) == 0;
    return ok_ ? 0 : -1;
}

bool sd_frame_msg::note(bool added) {
    if (!added) ok_ = false;
    return added;
}

bool sd_frame_msg::add_string(const char* name, const char* text) {
    return note(blobmsg_add_string(&buf_, name, text) == 0);
}
bool sd_frame_msg::add_int32(const char* name, uint32_t value) {
    return note(blobmsg_add_int32(&buf_, name, value) == 0);
}
bool sd_frame_msg::add_int64(const char* name, uint64_t value) {
    return note(blobmsg_add_int64(&buf_, name, value) == 0);
}
bool sd_frame_msg::add_field(int type, const char* name, const void* data, size_t len) {
    return note(blobmsg_add_field(&buf_, type, name, data, len) == 0);
}
blob_attr* sd_frame_msg::reserve(const char* name, size_t capacity) {
    blob_attr* attr = blobmsg_reserve_field(&buf_, name, capacity);
    note(attr != nullptr);
    return attr;
}
bool sd_frame_msg::trim(blob_attr* attr, size_t length) {
    return note(blobmsg_trim_field(&buf_, attr, length) == 0);
}

void sd_frame_msg::compact() {
    constexpr size_t kKeep = size_t{64} << 10;
    const size_t used = std::max<size_t>(blob_buf_padded_len(&buf_), 256);
    if (buf_.bytes.size() <= kKeep || buf_.bytes.size() / 2 < used) return;
    try {
        std::vector<uint8_t> exact(buf_.bytes.begin(), buf_.bytes.begin() + used);
        buf_.bytes.swap(exact);
    } catch (const std::bad_alloc&) {
        // Keeping the larger buffer is no failure.
    }
}

std::span<const uint8_t> sd_frame_msg::root() const {
    const size_t padded = blob_buf_padded_len(&buf_);
    if (padded == 0 || padded > buf_.bytes.size()) return {};
    return {buf_.bytes.data(), padded};
}

// ---- codec
// ---------------------------------------------------------------------------------------

int sd_frame_head_parse(std::span<const uint8_t, SD_FRAME_HEAD_SIZE> bytes, size_t max_frame,
                        sd_frame_head* head) {
    if (bytes[0] != SD_FRAME_MAGIC0 || bytes[1] != SD_FRAME_MAGIC1) {
        SDCLI_LOG(LOG_DBG, "magic error %02x %02x\n", bytes[0], bytes[1]);
        return SD_FRAME_DATA_ERROR;
    }
    const uint32_t root_word = load_be32(&bytes[SD_FRAME_PREFIX_SIZE]);
    if (!root_word_valid(root_word)) return SD_FRAME_DATA_ERROR;
    const size_t padded = padded_len_of(root_word);
    if (!frame_fits(padded, max_frame)) return SD_FRAME_DATA_ERROR;
    head->protocol = bytes[SD_FRAME_OFFSET_PROTOCOL];
    head->code = bytes[SD_FRAME_OFFSET_CODE];
    head->root_word = root_word;
    head->padded_len = padded;
    return SD_FRAME_OK;
}

int sd_frame_write(net_stream& stream, uint8_t protocol, uint8_t code,
                   std::span<const uint8_t> root, verr* stream_status) {
    if (stream_status != nullptr) *stream_status = VERR_SUCCESS;
    if (root.size() < BLOB_ATTR_HEADER_SIZE) {
        SDCLI_LOG(LOG_DBG, "reqest need len >= 4 [len=%zu]\n", root.size());
        return SD_FRAME_DATA_ERROR;
    }
    const uint32_t root_word = load_be32(root.data());
    if (!root_word_valid(root_word) || !frame_fits(root.size(), SD_FRAME_MAX_SIZE)) {
        return SD_FRAME_DATA_ERROR;
    }
    if (padded_len_of(root_word) != root.size()) {
        SDCLI_LOG(LOG_DBG, "root len=%zu disagrees with head %08x\n", root.size(), root_word);
        return SD_FRAME_DATA_ERROR;
    }

    uint8_t head[SD_FRAME_HEAD_SIZE] = {SD_FRAME_MAGIC0, SD_FRAME_MAGIC1, protocol, code};
    std::memcpy(head + SD_FRAME_PREFIX_SIZE, root.data(), BLOB_ATTR_HEADER_SIZE);
    size_t done = 0;
    verr status = stream.write_full(head, &done);
    if (status == VERR_SUCCESS) {
        status = stream.write_full(root.subspan(BLOB_ATTR_HEADER_SIZE), &done);
        if (status != VERR_SUCCESS) {
            SDCLI_LOG(LOG_DBG, "net_write data len=%zu error\n",
                      root.size() - BLOB_ATTR_HEADER_SIZE);
        }
    } else {
        SDCLI_LOG(LOG_DBG, "net_write head len=%zu error\n", SD_FRAME_HEAD_SIZE);
    }
    if (stream_status != nullptr) *stream_status = status;
    if (status == VERR_SUCCESS) return SD_FRAME_OK;
    return status == VERR_NET_USER_STOP ? SD_FRAME_USER_STOP : SD_FRAME_NET_ERROR;
}

int sd_frame_read(net_stream& stream, std::vector<uint8_t>* buf, sd_frame_head* head,
                  size_t max_frame, verr* stream_status, uint32_t min_rate) {
    if (stream_status != nullptr) *stream_status = VERR_SUCCESS;
    uint8_t bytes[SD_FRAME_HEAD_SIZE];
    frame_deadline deadline(stream, min_rate);
    size_t done = 0;
    verr status = VERR_SUCCESS;
    if (deadline.paced()) {
        // The first byte alone, so that the deadline counts from it.
        status = stream.read_full(std::span<uint8_t>(bytes, 1), &done);
        if (status == VERR_SUCCESS) {
            deadline.start();
            deadline.allow(sizeof bytes);
            size_t rest = 0;
            status = stream.read_full(std::span<uint8_t>(bytes + 1, sizeof bytes - 1), &rest);
            done += rest;
        }
    } else {
        status = stream.read_full(bytes, &done);
    }
    if (status != VERR_SUCCESS) {
        if (stream_status != nullptr) *stream_status = status;
        deadline.note_if_missed(status, done);
        if (done > 0) SDCLI_LOG(LOG_DBG, "net_read head len=%zu need=%zu\n", done, sizeof bytes);
        return short_read_status(status, done);
    }
    sd_frame_head parsed;
    int rc = sd_frame_head_parse(bytes, max_frame, &parsed);
    if (rc != SD_FRAME_OK) return rc;
    if (deadline.paced()) deadline.allow(SD_FRAME_PREFIX_SIZE + parsed.padded_len);

    const size_t padded = parsed.padded_len;
    const size_t body = padded - BLOB_ATTR_HEADER_SIZE;
    // The buffer grows with what arrives, not with what the head announces: eight bytes of a
    // peer that then stops must not commit a whole frame's memory. Beyond the payload it holds
    // the header word in front and the spare bytes callers count on.
    constexpr size_t kSpare = 2 * BLOB_ATTR_HEADER_SIZE;
    size_t got = 0;
    for (;;) {
        const size_t room = buf->size() > kSpare ? buf->size() - kSpare : 0;
        const size_t until = std::min(body, room > got ? room : std::max(kFirstReadStep, 2 * got));
        if (until + kSpare > buf->size()) {
            try {
                if (got == 0) {
                    // A fresh buffer rather than a resize: the old contents need not be copied.
                    std::vector<uint8_t> bigger(until + kSpare);
                    buf->swap(bigger);
                } else {
                    buf->resize(until + kSpare);
                }
            } catch (const std::bad_alloc&) {
                SDCLI_LOG(LOG_ERR, "malloc [%zu] erorr\n", padded);
                return SD_FRAME_NO_MEMORY;
            }
        }
        if (got == body) break;
        size_t done_now = 0;
        status = stream.read_full(
            std::span<uint8_t>(buf->data() + BLOB_ATTR_HEADER_SIZE + got, until - got), &done_now);
        got += done_now;
        if (status != VERR_SUCCESS) {
            if (stream_status != nullptr) *stream_status = status;
            deadline.note_if_missed(status, SD_FRAME_HEAD_SIZE + got);
            SDCLI_LOG(LOG_DBG, "net_read len=%zu need=%zu\n", got, body);
            // The head has arrived, so the frame has begun: a quiet or closed peer cut it short.
            return short_read_status(status, 1);
        }
    }
    std::memcpy(buf->data(), bytes + SD_FRAME_PREFIX_SIZE, BLOB_ATTR_HEADER_SIZE);
    *head = parsed;
    return SD_FRAME_OK;
}

// ---- client connection --------------------------------------------------------------------------

namespace {

int send_frame(sd_frame_conn* conn, uint8_t code, bool ok, std::span<const uint8_t> root);

// A posted exchange failed. With repair, the responses of the posted requests are made to come
// on a new stream; without, or when that fails, the requests are left without an answer and
// nothing tells which of them ran: the connection takes no more traffic.
int fail_posted(sd_frame_conn* conn, int status) {
    SDCLI_LOG(LOG_DBG, "ret=%d error:[%s] with %zu requests posted\n", status,
              sd_frame_status_str(status), conn->posted.size());
    if (status != SD_FRAME_NO_MEMORY && status != SD_FRAME_USER_STOP && conn->repair_enabled &&
        !conn->repairing && conn->repair_posted) {
        const int fixed = conn->repair_posted(conn);
        if (fixed == SD_FRAME_OK) {
            // Like TCP after a loss: half the window, grown back as exchanges succeed.
            conn->window = std::max<uint32_t>(1, conn->window / 2);
            conn->window_good = 0;
            SDCLI_LOG(LOG_DBG, "posted requests repaired, window=%u\n", conn->window);
            return SD_FRAME_OK;
        }
        SDCLI_LOG(LOG_DBG, "ret=%d fix failed need reopen...\n", fixed);
        if (fixed == SD_FRAME_USER_STOP)
            status = fixed;
        else
            status = SD_FRAME_TIMEOUT;
    }
    conn->repair_failed = true;
    if (status == SD_FRAME_USER_STOP) conn->stopped_posted = true;
    conn->in_flight = 0;
    conn->posted.clear();
    conn->arrived.clear();
    conn->posted_bytes = 0;
    conn->posted_request_bytes = 0;
    conn->posted_sent_bytes = 0;
    return status;
}

// One more response arrived whole: the window grows back after a break.
void note_good(sd_frame_conn* conn) {
    if (conn->window >= conn->window_max) return;
    if (++conn->window_good >= conn->window) {
        ++conn->window;
        conn->window_good = 0;
    }
}

// Reads the response of the oldest posted request off the stream into `arrived`.
int read_posted(sd_frame_conn* conn) {
    if (conn->in_flight <= 1 || conn->in_flight >= conn->window) ++conn->waits;
    for (;;) {
        const size_t posted = conn->posted.size();
        const int rc = sd_frame_take_posted(conn);
        if (rc == SD_FRAME_OK) break;
        // Repaired: the response came again during the repair, or comes on the new stream.
        const int fixed = fail_posted(conn, rc);
        if (fixed != SD_FRAME_OK) return fixed;
        if (conn->posted.size() < posted) break;
    }
    note_good(conn);
    return SD_FRAME_OK;
}

}  // namespace

int sd_frame_take_posted(sd_frame_conn* conn) {
    sd_frame_conn::arrived_response a;
    a.reply_bound = conn->posted.front().reply_bound;
    int rc = SD_FRAME_OK;
    try {
        rc = client_recv_response_imp(conn, &a.padded_len);
        if (rc == SD_FRAME_OK) {
            std::swap(a.root, conn->reply);
            conn->arrived.push_back(std::move(a));
        }
    } catch (const std::bad_alloc&) {
        rc = SD_FRAME_NO_MEMORY;
    }
    if (rc != SD_FRAME_OK) return rc;
    if (conn->in_flight > 0) --conn->in_flight;
    sd_frame_conn::posted_request& done = conn->posted.front();
    conn->posted_bytes -= std::min(conn->posted_bytes, done.reply_bound);
    conn->posted_request_bytes -= std::min(conn->posted_request_bytes, done.root.size());
    conn->posted_sent_bytes -= std::min(conn->posted_sent_bytes, done.sent_bytes);
    conn->posted.pop_front();
    return SD_FRAME_OK;
}

int dvsd_post_request(sd_frame_conn* conn, uint8_t code, const sd_frame_msg& msg,
                      size_t reply_bound) {
    if (conn->repair_failed) return SD_FRAME_TIMEOUT;
    if (!msg.ok()) return SD_FRAME_DATA_ERROR;
    if (conn->arrived.size() >= SD_FRAME_MAX_UNCOLLECTED) {
        // Responses must be collected before more go out: memory stays within the window.
        SDCLI_LOG(LOG_ERR, "request %u posted with %zu responses not collected\n", code,
                  conn->arrived.size());
        return SD_FRAME_DATA_ERROR;
    }
    // The request is kept (with repair) before anything is read: a repair while making room
    // reuses the caller's message buffer for its own requests.
    const bool keep = conn->repair_enabled;
    sd_frame_conn::posted_request p;
    try {
        p.reply_bound = reply_bound;
        p.sent_bytes = msg.root().size() + SD_FRAME_HEAD_SIZE;
        p.code = code;
        if (keep) p.root.assign(msg.root().begin(), msg.root().end());
    } catch (const std::bad_alloc&) {
        return SD_FRAME_NO_MEMORY;
    }
    const size_t request_bytes = p.root.size();
    const size_t sent_bytes = p.sent_bytes;
    // Room first: the window in requests, in response bytes on the way and in requests kept for a
    // repair, and one direction of the socket that cannot fill (one request always goes).
    const auto full = [&] {
        const size_t replies = conn->posted_bytes + reply_bound;
        return sd_frame_pending(conn) >= conn->window || replies > conn->window_bytes ||
               conn->posted_request_bytes + request_bytes > SD_FRAME_MAX_KEPT_REQUESTS ||
               (replies > conn->sock_reply_bytes &&
                conn->posted_sent_bytes + sent_bytes > conn->sock_request_bytes);
    };
    while (!conn->posted.empty() && full()) {
        const int rc = read_posted(conn);
        if (rc != SD_FRAME_OK) return rc;
    }
    try {
        conn->posted.push_back(std::move(p));
    } catch (const std::bad_alloc&) {
        return SD_FRAME_NO_MEMORY;
    }
    const std::span<const uint8_t> root =
        keep ? std::span<const uint8_t>(conn->posted.back().root) : msg.root();
    const int rc = send_frame(conn, code, true, root);
    if (rc == SD_FRAME_DATA_ERROR) {
        conn->posted.pop_back();
        return rc;
    }
    conn->posted_bytes += reply_bound;
    conn->posted_request_bytes += request_bytes;
    conn->posted_sent_bytes += sent_bytes;
    // A send cut short: the repair sends it again when the server never got it whole.
    if (rc != SD_FRAME_OK || conn->send_failed) {
        conn->send_failed = false;
        return fail_posted(conn, rc != SD_FRAME_OK ? rc : SD_FRAME_NET_ERROR);
    }
    return SD_FRAME_OK;
}

int client_collect_response(sd_frame_conn* conn, size_t* out_len) {
    if (conn->repair_failed) return SD_FRAME_TIMEOUT;
    if (conn->arrived.empty()) {
        if (conn->posted.empty()) return SD_FRAME_DATA_ERROR;
        const int rc = read_posted(conn);
        if (rc != SD_FRAME_OK) return rc;
    }
    sd_frame_conn::arrived_response& a = conn->arrived.front();
    std::swap(conn->reply, a.root);
    *out_len = a.padded_len;
    conn->arrived.pop_front();
    return SD_FRAME_OK;
}

int dvsd_send_request(sd_frame_conn* conn, uint8_t code, const sd_frame_msg& msg) {
    if (conn->repair_failed) return SD_FRAME_TIMEOUT;
    if (!conn->repairing && sd_frame_pending(conn) != 0) {
        // A response of a posted request would be taken for this one's.
        SDCLI_LOG(LOG_ERR, "request %u sent with %zu posted requests unanswered\n", code,
                  sd_frame_pending(conn));
        return SD_FRAME_DATA_ERROR;
    }
    return send_frame(conn, code, msg.ok(), msg.root());
}

namespace {

int send_frame(sd_frame_conn* conn, uint8_t code, bool ok, std::span<const uint8_t> root) {
    // Only a request that goes out is counted: the server counts what it receives, and a repair
    // compares the two counts.
    if (!ok) {
        SDCLI_LOG(LOG_DBG, "request %u incomplete, not sent\n", code);
        return SD_FRAME_DATA_ERROR;
    }
    const uint8_t previous_code = conn->last_code;
    if (!conn->repairing) {
        ++conn->send_count;
        conn->last_code = code;
    }
    conn->send_failed = false;
    verr status = VERR_SUCCESS;
    const int rc = sd_frame_write(*conn->stream, SD_FRAME_PROTOCOL, code, root, &status);
    if (rc == SD_FRAME_DATA_ERROR) {
        // A malformed root: nothing was written.
        if (!conn->repairing) {
            --conn->send_count;
            conn->last_code = previous_code;
        }
        return rc;
    }
    if (!conn->repairing) {
        ++conn->requests;
        ++conn->in_flight;
    }
    if (rc != SD_FRAME_OK) conn->send_incomplete = true;
    if (rc == SD_FRAME_USER_STOP) return rc;
    if (rc != SD_FRAME_OK) {
        conn->net_status = status;
        conn->send_failed = true;
    }
    return SD_FRAME_OK;
}

}  // namespace

int client_recv_response_imp(sd_frame_conn* conn, size_t* out_len) {
    if (conn->send_failed) {
        conn->send_failed = false;
        return SD_FRAME_NET_ERROR;
    }
    sd_frame_head head;
    verr status = VERR_SUCCESS;
    const int rc = sd_frame_read(*conn->stream, &conn->reply, &head, SD_FRAME_MAX_SIZE, &status,
                                 SD_FRAME_CLIENT_MIN_RATE);
    if (status != VERR_SUCCESS) conn->net_status = status;
    if (rc != SD_FRAME_OK) return rc;
    if (conn->peer_protocol == 0) conn->peer_protocol = head.protocol;
    *out_len = head.padded_len;
    return SD_FRAME_OK;
}

int client_recv_response(sd_frame_conn* conn, size_t* out_len) {
    if (conn->repair_failed) {
        SDCLI_LOG(LOG_DBG, "have_fix_error_fail return\n");
        return SD_FRAME_TIMEOUT;
    }
    if (!conn->repairing) {
        if (conn->in_flight <= 1 || conn->in_flight >= conn->window) ++conn->waits;
        if (conn->in_flight > 0) --conn->in_flight;
    }
    const int rc = client_recv_response_imp(conn, out_len);
    // Out of memory and a user stop are not the connection's fault: repeating cannot help.
    if (rc == SD_FRAME_OK || rc == SD_FRAME_NO_MEMORY || rc == SD_FRAME_USER_STOP) return rc;
    SDCLI_LOG(LOG_DBG, "ret=%d error:[%s]\n", rc, sd_frame_status_str(rc));
    if (!conn->repair_enabled || !conn->repair) {
        SDCLI_LOG(LOG_DBG, "!net_error_reconnect return\n");
        return rc;
    }
    if (conn->repairing) {
        SDCLI_LOG(LOG_DBG, "now_fix_last_error return\n");
        return rc;
    }
    SDCLI_LOG(LOG_DBG, "start fix..\n");
    const int fixed = conn->repair(conn, out_len);
    if (fixed == SD_FRAME_OK) return SD_FRAME_OK;
    SDCLI_LOG(LOG_DBG, "ret=%d fix failed need reopen...\n", fixed);
    conn->repair_failed = true;
    // A stop is the user's, not a time-out: the caller must see it as one.
    return fixed == SD_FRAME_USER_STOP ? SD_FRAME_USER_STOP : SD_FRAME_TIMEOUT;
}

void dvsd_cli_set_last_error(sd_frame_conn* conn, int status) {
    err_info* record = conn->last_error;
    if (record == nullptr) return;
    switch (status) {
        case SD_FRAME_OK:
            ERR_INFO_SET(record, VERR_SUCCESS, nullptr);
            break;
        case SD_FRAME_NET_ERROR:
            if (conn->net_status < 0) {
                ERR_INFO_SET(record, conn->net_status, "%s", verr2str(conn->net_status));
            } else {
                ERR_INFO_SET(record, VERR_NET_IO_ERROR, "read data net error");
            }
            break;
        case SD_FRAME_DATA_ERROR:
            ERR_INFO_SET(record, VERR_NET_PROTOCOL_ERROR, "read data content error");
            break;
        case SD_FRAME_TIMEOUT:
        case SD_FRAME_LEN_ERROR:
            ERR_INFO_SET(record, VERR_TIMEOUT, "read data timeout");
            break;
        case SD_FRAME_SRV_ERROR:
            ERR_INFO_SET(record, conn->srv_errno, "%s", conn->srv_errstr);
            break;
        case SD_FRAME_NO_MEMORY:
            ERR_INFO_SET(record, VERR_NO_MEMORY, "memory allocation failed");
            break;
        case SD_FRAME_USER_STOP:
            ERR_INFO_SET(record, VERR_NET_USER_STOP, "user stop");
            break;
        default:
            ERR_INFO_SET(record, VERR_GENERAL_FAILURE, "unkown error=%d", status);
            break;
    }
}
