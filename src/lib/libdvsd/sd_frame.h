// Frames of the file-server protocol: the codec that both sides use (a client writes request
// frames and reads responses, a server reads requests and writes responses), and the client's
// per-connection frame state with its send, receive and outcome operations.
//
// Frames travel on a net_stream (libnet/net_sock.h), so the codec works on a socket, a socket
// pair or anything else that implements the stream. Layout and limits: libdvsd/sd_wire.h.
//
// Threads: no locking here. A stream, a message and a connection's frame state belong to the one
// thread that carries its exchange.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <vector>

#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_wire.h"
#include "libnet/net_sock.h"
#include "libpal/verr.h"

// Outcome of a frame operation and of every request operation built on them.
enum sd_frame_status : int {
    SD_FRAME_OK = 0,
    SD_FRAME_NET_ERROR = 1,     // the stream failed or the peer closed between frames
    SD_FRAME_DATA_ERROR = 2,    // a malformed frame or message, or a reply that does not parse
    SD_FRAME_TIMEOUT = 3,       // nothing arrived within the time-out; or repair has failed
    SD_FRAME_SRV_ERROR = 4,     // the server answered with a nonzero "errno"
    SD_FRAME_NO_MEMORY = 5,     // an allocation failed
    SD_FRAME_USER_STOP = 6,     // the user asked to stop
    SD_FRAME_UNPACK_ERROR = 7,  // a payload could not be packed or unpacked
    SD_FRAME_LEN_ERROR = 8,     // a frame ended before the length its head announced
};

// "ok", "net error", ... "data len error"; "unkown error" for any other number. Pure.
const char* sd_frame_status_str(int status);

// ---- message under construction ------------------------------------------------------------

// A message (a request or a response) being built, reused from one exchange to the next. It
// remembers whether every field went in: a message missing a field is never sent.
class sd_frame_msg final {
  public:
    // Empties the message. 0, or -1 when the first buffer cannot be allocated (the message is
    // then unusable until a reset succeeds).
    int reset();
    // Each add appends a field (see blobmsg.h); false when it could not, which also marks the
    // whole message failed.
    bool add_string(const char* name, const char* text);
    bool add_int32(const char* name, uint32_t value);
    bool add_int64(const char* name, uint64_t value);
    bool add_field(int type, const char* name, const void* data, size_t len);
    // A binary field to be filled in place (nullptr, marking the message failed, when it cannot
    // be made) and the shrinking of that last field to its final length.
    blob_attr* reserve(const char* name, size_t capacity);
    bool trim(blob_attr* attr, size_t length);
    // Gives back the room beyond what the message holds when that is much more than it holds (a
    // reply kept after a large reservation was trimmed); the message stays as it is.
    void compact();

    // True after a successful reset when every add since succeeded.
    bool ok() const { return ok_; }
    // The padded root attribute: what a frame carries after its four fixed bytes. Empty before
    // the first successful reset.
    std::span<const uint8_t> root() const;

  private:
    bool note(bool added);

    blob_buf buf_;
    bool ok_ = false;
};

// ---- codec (both directions) ------------------------------------------------------------------

// What a frame's head says.
struct sd_frame_head {
    uint8_t protocol = 0;    // byte 2
    uint8_t code = 0;        // byte 3
    uint32_t root_word = 0;  // bytes 4 to 7
    size_t padded_len = 0;   // P: the padded root, header word included
};

// Checks an 8-byte head: magic "DV", a root word that is not named, of type table, with a length
// of at least 4, and a frame of at most `max_frame` bytes. SD_FRAME_OK with `head` filled, or
// SD_FRAME_DATA_ERROR (logged).
int sd_frame_head_parse(std::span<const uint8_t, SD_FRAME_HEAD_SIZE> bytes, size_t max_frame,
                        sd_frame_head* head);

// Writes one frame: the prefix (magic, `protocol`, `code`) and `root`, a padded root attribute
// whose header word must be well formed (as sd_frame_head_parse checks it) and agree with
// root.size(). A root that does not passes nothing to the stream and gives SD_FRAME_DATA_ERROR.
// Otherwise SD_FRAME_OK, SD_FRAME_USER_STOP, or SD_FRAME_NET_ERROR when the stream failed or ran
// out of time (part of the frame may then have gone out); `*stream_status` (may be null) receives
// the stream's status.
int sd_frame_write(net_stream& stream, uint8_t protocol, uint8_t code,
                   std::span<const uint8_t> root, verr* stream_status = nullptr);

// Reads one frame. On SD_FRAME_OK `head` is filled and `buf` holds the padded root (header word
// and padded payload) in its first head->padded_len bytes. `buf->size()` is the buffer's
// capacity, always at least 4 bytes more than the root it holds; it grows as the bytes of a frame
// that needs more arrive (not on the strength of its head alone) and never shrinks; the payload
// is read in place.
// Failures: SD_FRAME_NET_ERROR (stream error, or the peer closed before the frame began),
// SD_FRAME_TIMEOUT (no byte of the frame arrived in time), SD_FRAME_USER_STOP, SD_FRAME_DATA_ERROR
// (bad head, nothing allocated), SD_FRAME_LEN_ERROR (the frame ended early: time-out or close
// after its first byte), SD_FRAME_NO_MEMORY (`buf` keeps at least its old capacity).
// `*stream_status` (may be null) receives the stream's status. A failed read leaves the stream
// wherever it stands.
// With `min_rate` (bytes per second) the whole frame must also have arrived by a deadline
// counted from its first byte: the stream's read time-out plus the frame's size at that rate, so
// that a peer sending a byte now and then cannot hold the reader for ever while a slow honest
// link still gets through. A frame that misses it ends as one that ended early (or as a time-out
// when not even its head came whole). 0: only the stream's own time-out applies.
int sd_frame_read(net_stream& stream, std::vector<uint8_t>* buf, sd_frame_head* head,
                  size_t max_frame = SD_FRAME_MAX_SIZE, verr* stream_status = nullptr,
                  uint32_t min_rate = 0);

// The rate a response must keep up with on a client connection: 64 KiB/s.
inline constexpr uint32_t SD_FRAME_CLIENT_MIN_RATE = 64 * 1024;

// ---- a client connection's frame state ---------------------------------------------------------

inline constexpr size_t SD_SRV_ERROR_TEXT_SIZE = 4096;

// Responses a client may leave uncollected while it posts more: the caller's lag, whatever the
// window (a connection without one reads each response as the next post goes out).
inline constexpr size_t SD_FRAME_MAX_UNCOLLECTED = 64;
// Bytes of posted requests kept for a repair at most: a post beyond it waits for responses.
inline constexpr size_t SD_FRAME_MAX_KEPT_REQUESTS = size_t{32} << 20;

struct sd_frame_conn {
    net_stream* stream = nullptr;    // not owned
    err_info* last_error = nullptr;  // the caller's record of every operation's outcome

    // Reply buffer: size() is its capacity; after a successful receive it holds the root header
    // word and the padded payload.
    std::vector<uint8_t> reply;
    uint8_t peer_protocol = 0;    // byte 2 of the first response; 0 before it
    uint64_t send_count = 0;      // requests handed to dvsd_send_request (repeats excluded)
    uint8_t last_code = 0;        // code of the last request counted
    bool repairing = false;       // a lost exchange is being repeated
    bool repair_failed = false;   // sticky: the connection refuses all traffic
    bool stopped_posted = false;  // a user stop ended it with requests posted
    bool repair_enabled = false;
    // Repeats the interrupted exchange on a new stream and leaves its response in `reply`;
    // SD_FRAME_OK or a failure. Installed by the repair layer; used when repair_enabled.
    std::function<int(sd_frame_conn* conn, size_t* out_len)> repair;

    // Traffic for the run report, repeats of a repair left out. A wait is a receive the sender
    // could not overlap with sending: the request answered is the only one in flight (the pipe
    // runs dry and the sender pays the whole round trip), or the sender has `window` requests out
    // and may send no more. In lock-step, every request is one wait.
    uint64_t requests = 0;
    uint64_t waits = 0;
    uint32_t in_flight = 0;  // requests sent whose response has not been taken
    uint32_t window = 1;     // requests the sender keeps in flight at most

    // Requests posted ahead of their responses (dvsd_post_request), when the server offers it.
    // Responses of posted requests are taken in the order of the posts; those read off the
    // stream to make room stay in `arrived` until collected (SD_FRAME_MAX_UNCOLLECTED). The
    // response bytes on the way are `window_bytes` at most (what the server keeps for a replay).
    //
    // The server works through its requests one at a time and reads the next only once it has
    // written a response, so both sides could end up stuck writing: the client a request into
    // a full socket while the server writes a response into a full one. A post goes only while
    // the responses on the way fit in `sock_reply_bytes` (the client's receive buffer) or the
    // requests on the way fit in `sock_request_bytes` (its send buffer): then one side's writes
    // always complete. Small requests with big answers (listing and file reads) and big requests
    // with small answers (file writes) both go a whole window ahead.
    size_t window_bytes = 0;
    size_t sock_reply_bytes = 0;
    size_t sock_request_bytes = 0;
    struct posted_request {
        size_t reply_bound = 0;  // the most bytes its response frame may take
        size_t sent_bytes = 0;   // the request frame's bytes
        // With repair enabled, the request itself, to send again when a break lost it.
        uint8_t code = 0;
        std::vector<uint8_t> root;
    };
    std::deque<posted_request> posted;  // posted, response not read from the stream yet
    struct arrived_response {
        std::vector<uint8_t> root;
        size_t padded_len = 0;
        size_t reply_bound = 0;
    };
    std::deque<arrived_response> arrived;  // read from the stream, not collected yet
    size_t posted_bytes = 0;               // reply bounds of `posted`
    size_t posted_request_bytes = 0;       // requests kept in `posted` for a repair
    size_t posted_sent_bytes = 0;          // request frames of `posted`
    // The window a break shrinks to half and exchanges that succeed grow back, one request per
    // window's worth of responses, up to window_max (what the server granted).
    uint32_t window_max = 1;
    uint32_t window_good = 0;
    // Repairs a break with requests posted: on a new stream attached to the same server context,
    // the responses the server sent and the client lacks come again and the requests the server
    // never got go again, so that the responses of `posted` arrive in order. Installed by the
    // repair layer; used when repair_enabled.
    std::function<int(sd_frame_conn* conn)> repair_posted;

    // Stream status of the last send or receive that failed on the stream (0 otherwise).
    verr net_status = 0;
    // The last send did not get all of its frame out; the next receive reports a net error at
    // once instead of waiting for a response that cannot come.
    bool send_failed = false;
    // A send ended part-way: the server may be waiting for the rest of a frame, so nothing more
    // may go on this stream. Cleared when the stream is replaced.
    bool send_incomplete = false;

    int32_t srv_errno = 0;  // "errno" and "errno_str" of the last reply that carried them
    char srv_errstr[SD_SRV_ERROR_TEXT_SIZE] = {};
};

// Sends request `code` with message `msg`. Counts the request (unless repairing) before anything
// else, in send_count and in the traffic. SD_FRAME_TIMEOUT without writing when repair has failed;
// SD_FRAME_DATA_ERROR without writing when the message is incomplete or malformed;
// SD_FRAME_USER_STOP when a stop ended the write. A write that fails otherwise is logged and
// reported as SD_FRAME_OK: the receive that follows reports it, so that repair can repeat the
// exchange.
int dvsd_send_request(sd_frame_conn* conn, uint8_t code, const sd_frame_msg& msg);

// Receives one response frame into conn->reply, without repair; `*out_len` receives its padded
// length P. Statuses as sd_frame_read, plus SD_FRAME_NET_ERROR at once after a failed send.
int client_recv_response_imp(sd_frame_conn* conn, size_t* out_len);

// The receive of every request: client_recv_response_imp, and on a failure other than memory or
// a user stop, repair when it is enabled and not already running. Counts a wait (see `waits`)
// unless repairing; the request answered leaves the flight whatever the outcome. A failed repair
// sets repair_failed and gives SD_FRAME_TIMEOUT.
int client_recv_response(sd_frame_conn* conn, size_t* out_len);

// Posts request `code` with message `msg` without waiting for its response, whose frame takes at
// most `reply_bound` bytes. While the window (count and response bytes) is full, first reads the
// oldest responses off the stream into `arrived` (each such read is a wait). Statuses as
// dvsd_send_request and client_recv_response_imp. A failure with requests posted leaves them
// unanswered: the connection then refuses all traffic (repair_failed), since a repeat could run
// one of them twice.
int dvsd_post_request(sd_frame_conn* conn, uint8_t code, const sd_frame_msg& msg,
                      size_t reply_bound);

// Takes the response of the oldest posted request into conn->reply, reading it from the stream
// when it has not arrived; `*out_len` receives its padded length. SD_FRAME_DATA_ERROR when
// nothing is posted; failures as dvsd_post_request.
int client_collect_response(sd_frame_conn* conn, size_t* out_len);

// Reads the response of the oldest posted request off the stream into `arrived`, without a
// repair (the repair layer takes the responses a server sends again this way).
int sd_frame_take_posted(sd_frame_conn* conn);

// Requests posted whose response has not been collected.
inline size_t sd_frame_pending(const sd_frame_conn* conn) {
    return conn->posted.size() + conn->arrived.size();
}

// Stores the outcome `status` of a request operation in conn->last_error (null is ignored):
//   0 -> 0 ""; 1 -> the stream's status or VERR_NET_IO_ERROR, "read data net error" or the
//   status's text; 2 -> VERR_NET_PROTOCOL_ERROR "read data content error"; 3, 8 -> VERR_TIMEOUT
//   "read data timeout"; 4 -> the server's errno and text, verbatim; 5 -> VERR_NO_MEMORY
//   "memory allocation failed"; 6 -> VERR_NET_USER_STOP "user stop"; other -> VERR_GENERAL_FAILURE
//   "unkown error=N".
void dvsd_cli_set_last_error(sd_frame_conn* conn, int status);
