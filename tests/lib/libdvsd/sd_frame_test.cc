#include "libdvsd/sd_frame.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "libdvsd/sd_msg.h"
#include "libpal/verr.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Our side of a socket pair is a net handle read and written through the frame layer; the other
// side is a raw descriptor the test writes hand-made bytes to and reads frames from.
class SdFrame : public ::testing::Test {
  protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        handle_.sock = sock_from_fd(fds[0]);
        handle_.timeout_ms = 300;
        peer_ = fds[1];
        conn_.stream = &stream_;
        conn_.last_error = &last_error_;
    }
    void TearDown() override {
        net_close(&handle_);
        close_peer();
    }

    void close_peer() {
        if (peer_ >= 0) close(peer_);
        peer_ = -1;
    }
    void peer_write(const Bytes& bytes) {
        ASSERT_EQ(write(peer_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Everything the peer can read without waiting more than `wait_ms` for the first byte.
    Bytes peer_read_all(int wait_ms = 1000) {
        Bytes out;
        pollfd p{peer_, POLLIN, 0};
        while (poll(&p, 1, out.empty() ? wait_ms : 50) == 1) {
            uint8_t chunk[4096];
            ssize_t n = read(peer_, chunk, sizeof chunk);
            if (n <= 0) break;
            out.insert(out.end(), chunk, chunk + n);
        }
        return out;
    }

    net_handle handle_;
    net_sock_stream stream_{&handle_};
    int peer_ = -1;
    err_info last_error_{};
    sd_frame_conn conn_;
};

Bytes be32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// A response head: "DV", protocol, code, then the root word.
Bytes head(uint8_t protocol, uint8_t code, uint32_t root_word) {
    return cat({{0x44, 0x56, protocol, code}, be32(root_word)});
}

// ---- bytes on the wire
// ---------------------------------------------------------------------------

TEST_F(SdFrame, QuitRequestIsTheEightByteHeadAlone) {
    sd_frame_msg msg;
    ASSERT_EQ(msg.reset(), 0);
    EXPECT_EQ(dvsd_send_request(&conn_, SD_REQ_QUIT, msg), SD_FRAME_OK);
    EXPECT_EQ(peer_read_all(), (Bytes{0x44, 0x56, 0x01, 0x02, 0x02, 0x00, 0x00, 0x04}));
    EXPECT_EQ(conn_.send_count, 1u);
    EXPECT_EQ(conn_.last_code, SD_REQ_QUIT);
}

TEST_F(SdFrame, RequestWithOneFieldIsHeadThenPaddedFields) {
    sd_frame_msg msg;
    ASSERT_EQ(msg.reset(), 0);
    ASSERT_TRUE(msg.add_int32("fd", 7));
    EXPECT_EQ(dvsd_send_request(&conn_, SD_REQ_CLOSE, msg), SD_FRAME_OK);
    // Field: named int32 of raw length 16 (header, name length 2, "fd", zero, pad, value).
    const Bytes want = {
        0x44, 0x56, 0x01, 0x0b, 0x02, 0x00, 0x00, 0x14,  // head: root table, L = 20
        0x86, 0x00, 0x00, 0x10, 0x00, 0x02, 0x66, 0x64,  // "fd" int32, raw length 16
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07,  // zero, padding, value 7
    };
    EXPECT_EQ(peer_read_all(), want);
}

TEST_F(SdFrame, RootLengthNotOnAFourByteBoundaryReadsThePaddedBody) {
    // L = 6: two payload bytes and two of padding, so P = 8 and 4 body bytes follow the head.
    peer_write(cat({head(1, 12, 0x02000006), {0xab, 0xcd, 0x00, 0x00}}));
    size_t len = 0;
    ASSERT_EQ(client_recv_response_imp(&conn_, &len), SD_FRAME_OK);
    EXPECT_EQ(len, 8u);
    EXPECT_GE(conn_.reply.size(), len + 4);
    EXPECT_EQ(Bytes(conn_.reply.begin(), conn_.reply.begin() + 8),
              (Bytes{0x02, 0x00, 0x00, 0x06, 0xab, 0xcd, 0x00, 0x00}));
}

TEST_F(SdFrame, EmptyResponseIsAcceptedWithoutABody) {
    peer_write(head(1, 4, 0x02000004));
    size_t len = 0;
    ASSERT_EQ(client_recv_response_imp(&conn_, &len), SD_FRAME_OK);
    EXPECT_EQ(len, 4u);
    EXPECT_EQ(Bytes(conn_.reply.begin(), conn_.reply.begin() + 4), be32(0x02000004));
}

TEST_F(SdFrame, ResponseCodeIsNotExaminedAndPeerProtocolComesFromTheFirstResponse) {
    peer_write(cat({head(3, 99, 0x02000004), head(7, 1, 0x02000004)}));
    size_t len = 0;
    ASSERT_EQ(client_recv_response_imp(&conn_, &len), SD_FRAME_OK);
    EXPECT_EQ(conn_.peer_protocol, 3);
    ASSERT_EQ(client_recv_response_imp(&conn_, &len), SD_FRAME_OK);
    EXPECT_EQ(conn_.peer_protocol, 3);
}

// ---- heads that are refused --------------------------------------------------------------------

struct head_case {
    const char* name;
    Bytes bytes;
    size_t max_frame;
    int want;
    size_t padded;  // when accepted
};

void PrintTo(const head_case& c, std::ostream* os) {
    *os << c.name;
}

class SdFrameHead : public ::testing::TestWithParam<head_case> {};

TEST_P(SdFrameHead, ParseAcceptsOnlyAWellFormedRoot) {
    const head_case& c = GetParam();
    ASSERT_EQ(c.bytes.size(), SD_FRAME_HEAD_SIZE);
    sd_frame_head parsed;
    EXPECT_EQ(sd_frame_head_parse(
                  std::span<const uint8_t, SD_FRAME_HEAD_SIZE>(c.bytes.data(), SD_FRAME_HEAD_SIZE),
                  c.max_frame, &parsed),
              c.want);
    if (c.want == SD_FRAME_OK) {
        EXPECT_EQ(parsed.padded_len, c.padded);
    }
}

constexpr size_t kMax = SD_FRAME_MAX_SIZE;

INSTANTIATE_TEST_SUITE_P(
    Cases, SdFrameHead,
    ::testing::Values(
        head_case{"smallest", head(1, 1, 0x02000004), kMax, SD_FRAME_OK, 4},
        head_case{"padded", head(1, 1, 0x02000005), kMax, SD_FRAME_OK, 8},
        head_case{"largest_within_cap", head(1, 1, 0x02fffffc), kMax, SD_FRAME_OK, 0xfffffc},
        head_case{"one_over_cap", head(1, 1, 0x02fffffd), kMax, SD_FRAME_DATA_ERROR, 0},
        head_case{"largest_length", head(1, 1, 0x02ffffff), kMax, SD_FRAME_DATA_ERROR, 0},
        head_case{"over_smaller_cap", head(1, 1, 0x02000020), 32, SD_FRAME_DATA_ERROR, 0},
        head_case{"at_smaller_cap", head(1, 1, 0x0200001c), 32, SD_FRAME_OK, 28},
        head_case{"bad_magic0", cat({{0x45, 0x56, 1, 1}, be32(0x02000004)}), kMax,
                  SD_FRAME_DATA_ERROR, 0},
        head_case{"bad_magic1", cat({{0x44, 0x57, 1, 1}, be32(0x02000004)}), kMax,
                  SD_FRAME_DATA_ERROR, 0},
        head_case{"length_0", head(1, 1, 0x02000000), kMax, SD_FRAME_DATA_ERROR, 0},
        head_case{"length_3", head(1, 1, 0x02000003), kMax, SD_FRAME_DATA_ERROR, 0},
        head_case{"named_bit", head(1, 1, 0x82000004), kMax, SD_FRAME_DATA_ERROR, 0},
        head_case{"type_array", head(1, 1, 0x01000004), kMax, SD_FRAME_DATA_ERROR, 0},
        head_case{"type_binary", head(1, 1, 0x03000004), kMax, SD_FRAME_DATA_ERROR, 0},
        head_case{"type_unspec", head(1, 1, 0x00000004), kMax, SD_FRAME_DATA_ERROR, 0},
        head_case{"type_7f", head(1, 1, 0x7f000004), kMax, SD_FRAME_DATA_ERROR, 0}),
    [](const ::testing::TestParamInfo<head_case>& info) { return info.param.name; });

TEST_F(SdFrame, OversizedHeadIsRefusedBeforeAnythingIsAllocated) {
    peer_write(head(1, 1, 0x02ffffff));
    size_t len = 0;
    EXPECT_EQ(client_recv_response_imp(&conn_, &len), SD_FRAME_DATA_ERROR);
    EXPECT_EQ(conn_.reply.size(), 0u);
}

TEST_F(SdFrame, ServerSideCapRefusesAFrameTheClientCapWouldTake) {
    peer_write(cat({head(1, 1, 0x02000010), Bytes(12, 0)}));
    std::vector<uint8_t> buf;
    sd_frame_head parsed;
    EXPECT_EQ(sd_frame_read(stream_, &buf, &parsed, 16), SD_FRAME_DATA_ERROR);
    EXPECT_TRUE(buf.empty());
}

// A head announces; only arriving bytes make the buffer grow. A peer that sends the head of a
// frame at the limit and stops costs a first stretch, not 16 MiB; a frame that does come whole
// arrives intact however many steps its buffer took.
TEST_F(SdFrame, BufferGrowsWithTheBytesThatArriveNotWithTheHead) {
    peer_write(cat({head(1, 13, 0x02fffffc), Bytes(100, 7)}));
    close_peer();
    std::vector<uint8_t> buf;
    sd_frame_head parsed;
    EXPECT_EQ(sd_frame_read(stream_, &buf, &parsed), SD_FRAME_LEN_ERROR);
    EXPECT_LT(buf.size(), size_t{1} << 20);
}

TEST_F(SdFrame, LargeFrameArrivesWholeThroughAGrowingBuffer) {
    const size_t payload = (size_t{3} << 20) + 12;
    Bytes body(payload);
    for (size_t i = 0; i < payload; ++i) body[i] = static_cast<uint8_t>(i * 31 + i / 4093);
    std::thread writer([&] {
        peer_write(cat({head(1, 13, 0x02000000 | static_cast<uint32_t>(payload + 4)), body}));
    });
    std::vector<uint8_t> buf(100, 0xee);  // smaller than the frame: it must grow
    sd_frame_head parsed;
    handle_.timeout_ms = 5000;
    const int rc = sd_frame_read(stream_, &buf, &parsed);
    writer.join();
    ASSERT_EQ(rc, SD_FRAME_OK);
    EXPECT_EQ(parsed.padded_len, payload + 4);
    ASSERT_GE(buf.size(), payload + 8);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 4),
              be32(0x02000000 | static_cast<uint32_t>(payload + 4)));
    EXPECT_TRUE(std::equal(body.begin(), body.end(), buf.begin() + 4));
}

// ---- frames cut short ------------------------------------------------------------------------

enum class then { nothing, close };

struct short_case {
    const char* name;
    Bytes bytes;  // what the peer sends
    then after;
    int want;
};

void PrintTo(const short_case& c, std::ostream* os) {
    *os << c.name;
}

class SdFrameShort : public SdFrame, public ::testing::WithParamInterface<short_case> {};

TEST_P(SdFrameShort, ReportsHowTheFrameEnded) {
    const short_case& c = GetParam();
    if (!c.bytes.empty()) peer_write(c.bytes);
    if (c.after == then::close) close_peer();
    size_t len = 0;
    EXPECT_EQ(client_recv_response_imp(&conn_, &len), c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SdFrameShort,
    ::testing::Values(
        short_case{"silent", {}, then::nothing, SD_FRAME_TIMEOUT},
        short_case{"closed_between_frames", {}, then::close, SD_FRAME_NET_ERROR},
        short_case{"head_5_of_8_silent", {0x44, 0x56, 1, 1, 2}, then::nothing, SD_FRAME_LEN_ERROR},
        short_case{"head_5_of_8_closed", {0x44, 0x56, 1, 1, 2}, then::close, SD_FRAME_LEN_ERROR},
        short_case{"body_short_silent", cat({head(1, 1, 0x02000010), Bytes(5, 0)}), then::nothing,
                   SD_FRAME_LEN_ERROR},
        short_case{"body_missing_closed", head(1, 1, 0x02000010), then::close, SD_FRAME_LEN_ERROR}),
    [](const ::testing::TestParamInfo<short_case>& info) { return info.param.name; });

// ---- whole-frame deadline

// The peer sends `frame` a piece at a time, `pause_ms` apart, on a thread of its own.
class trickler {
  public:
    trickler(int fd, Bytes frame, size_t piece, int pause_ms)
        : thread_([fd, frame = std::move(frame), piece, pause_ms, this] {
              for (size_t at = 0; at < frame.size() && !stop_; at += piece) {
                  const size_t n = std::min(piece, frame.size() - at);
                  if (write(fd, frame.data() + at, n) != static_cast<ssize_t>(n)) return;
                  std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
              }
          }) {}
    ~trickler() {
        stop_ = true;
        thread_.join();
    }

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

Bytes response_of(size_t payload) {
    return cat({head(1, 4, 0x02000000 | static_cast<uint32_t>(4 + payload)), Bytes(payload, 0)});
}

// A byte each 30 ms never leaves the idle time-out (300 ms), yet 40 bytes take over a second:
// the client's read gives up at the frame's deadline (time-out plus size at the minimum rate),
// while a read without one takes the whole frame.
TEST_F(SdFrame, TrickledFrameMissesTheClientsWholeFrameDeadline) {
    trickler peer(peer_, response_of(32), 1, 30);
    size_t len = 0;
    const int rc = client_recv_response_imp(&conn_, &len);
    EXPECT_EQ(rc, SD_FRAME_LEN_ERROR);
    EXPECT_EQ(conn_.net_status, VERR_TIMEOUT);
    EXPECT_FALSE(handle_.read_deadline.has_value()) << "the deadline outlived the frame";
    dvsd_cli_set_last_error(&conn_, rc);
    EXPECT_EQ(last_error_.code, VERR_TIMEOUT);
}

TEST_F(SdFrame, TrickledFrameIsReadWholeWithoutAMinimumRate) {
    trickler peer(peer_, response_of(32), 1, 30);
    Bytes buf;
    sd_frame_head h;
    EXPECT_EQ(sd_frame_read(stream_, &buf, &h), SD_FRAME_OK);
    EXPECT_EQ(h.padded_len, 36u);
}

// A frame that pauses (less than the time-out) and arrives well within its deadline is whole.
TEST_F(SdFrame, SlowFrameWithinItsDeadlineArrivesWhole) {
    handle_.timeout_ms = 2000;
    trickler peer(peer_, response_of(64), 24, 100);
    Bytes buf;
    sd_frame_head h;
    EXPECT_EQ(sd_frame_read(stream_, &buf, &h, SD_FRAME_MAX_SIZE, nullptr, 64 * 1024), SD_FRAME_OK);
    EXPECT_EQ(h.padded_len, 68u);
    EXPECT_FALSE(handle_.read_deadline.has_value());
}

TEST_F(SdFrame, ShortHeadIsRecordedAsATimeOut) {
    peer_write({0x44, 0x56, 1, 1, 2});
    size_t len = 0;
    const int rc = client_recv_response_imp(&conn_, &len);
    EXPECT_EQ(rc, SD_FRAME_LEN_ERROR);
    dvsd_cli_set_last_error(&conn_, rc);
    EXPECT_EQ(last_error_.code, VERR_TIMEOUT);
    EXPECT_STREQ(last_error_.msg, "read data timeout");
}

TEST_F(SdFrame, StopWhileWaitingIsAUserStopAndStartsNoRepair) {
    int repairs = 0;
    conn_.repair_enabled = true;
    conn_.repair = [&](sd_frame_conn*, size_t*) { return ++repairs, SD_FRAME_OK; };
    handle_.timeout_ms = 20000;
    std::thread stopper([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        handle_.stop = 1;
    });
    size_t len = 0;
    const int rc = client_recv_response(&conn_, &len);
    stopper.join();
    EXPECT_EQ(rc, SD_FRAME_USER_STOP);
    EXPECT_EQ(repairs, 0);
    dvsd_cli_set_last_error(&conn_, rc);
    EXPECT_EQ(last_error_.code, VERR_NET_USER_STOP);
}

// ---- sends that write nothing ------------------------------------------------------------------

TEST_F(SdFrame, RequestMissingAFieldIsNotSent) {
    sd_frame_msg msg;
    ASSERT_EQ(msg.reset(), 0);
    ASSERT_TRUE(msg.add_string("path", "/a"));
    EXPECT_FALSE(msg.add_string("", "no name"));
    EXPECT_TRUE(msg.add_int32("fd", 1));  // later adds do not make it whole again
    EXPECT_FALSE(msg.ok());
    EXPECT_EQ(dvsd_send_request(&conn_, SD_REQ_OPEN, msg), SD_FRAME_DATA_ERROR);
    EXPECT_TRUE(peer_read_all(100).empty());
    // Not counted: the server never sees it, and a repair compares the two counts.
    EXPECT_EQ(conn_.send_count, 0u);
    ASSERT_EQ(msg.reset(), 0);
    EXPECT_TRUE(msg.ok());
}

TEST_F(SdFrame, MessageNeverResetIsNotSent) {
    sd_frame_msg msg;
    EXPECT_TRUE(msg.root().empty());
    EXPECT_EQ(dvsd_send_request(&conn_, SD_REQ_INFO, msg), SD_FRAME_DATA_ERROR);
    EXPECT_TRUE(peer_read_all(100).empty());
}

struct root_case {
    const char* name;
    Bytes root;
};

void PrintTo(const root_case& c, std::ostream* os) {
    *os << c.name;
}

class SdFrameBadRoot : public SdFrame, public ::testing::WithParamInterface<root_case> {};

TEST_P(SdFrameBadRoot, WritesNothing) {
    EXPECT_EQ(sd_frame_write(stream_, 1, 6, GetParam().root), SD_FRAME_DATA_ERROR);
    EXPECT_TRUE(peer_read_all(100).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SdFrameBadRoot,
    ::testing::Values(root_case{"empty", {}}, root_case{"three_bytes", {0x02, 0x00, 0x00}},
                      root_case{"length_below_4", be32(0x02000003)},
                      root_case{"named", be32(0x82000004)},
                      root_case{"not_a_table", be32(0x03000004)},
                      root_case{"longer_than_its_head", cat({be32(0x02000004), Bytes(4, 0)})},
                      root_case{"shorter_than_its_head", be32(0x02000008)},
                      root_case{"unpadded", cat({be32(0x02000005), Bytes(1, 0)})}),
    [](const ::testing::TestParamInfo<root_case>& info) { return info.param.name; });

// ---- traffic counts ----------------------------------------------------------------------------

// A well-formed empty response the peer can send for any request.
Bytes empty_response(uint8_t code) {
    return head(1, code, 0x02000004);
}

TEST_F(SdFrame, LockStepCountsEveryRequestAsAWait) {
    sd_frame_msg msg;
    ASSERT_EQ(msg.reset(), 0);
    size_t len = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(dvsd_send_request(&conn_, SD_REQ_INFO, msg), SD_FRAME_OK);
        peer_write(empty_response(SD_REQ_INFO));
        ASSERT_EQ(client_recv_response(&conn_, &len), SD_FRAME_OK);
    }
    EXPECT_EQ(conn_.requests, 3u);
    EXPECT_EQ(conn_.waits, 3u);
    EXPECT_EQ(conn_.in_flight, 0u);
}

// A sender that keeps requests in flight waits only when the pipe runs dry or its window is full:
// four requests out under a window of 8, then their four answers, is one wait (the last answer).
TEST_F(SdFrame, RequestsInFlightWaitOnlyWhenThePipeRunsDryOrTheWindowIsFull) {
    sd_frame_msg msg;
    ASSERT_EQ(msg.reset(), 0);
    size_t len = 0;
    conn_.window = 8;
    for (int i = 0; i < 4; ++i) ASSERT_EQ(dvsd_send_request(&conn_, SD_REQ_INFO, msg), SD_FRAME_OK);
    for (int i = 0; i < 4; ++i) peer_write(empty_response(SD_REQ_INFO));
    for (int i = 0; i < 4; ++i) ASSERT_EQ(client_recv_response(&conn_, &len), SD_FRAME_OK);
    EXPECT_EQ(conn_.requests, 4u);
    EXPECT_EQ(conn_.waits, 1u);

    // A full window: two out under a window of 2, the first answer is a wait, and so is the last.
    conn_.window = 2;
    for (int i = 0; i < 2; ++i) ASSERT_EQ(dvsd_send_request(&conn_, SD_REQ_INFO, msg), SD_FRAME_OK);
    for (int i = 0; i < 2; ++i) peer_write(empty_response(SD_REQ_INFO));
    for (int i = 0; i < 2; ++i) ASSERT_EQ(client_recv_response(&conn_, &len), SD_FRAME_OK);
    EXPECT_EQ(conn_.requests, 6u);
    EXPECT_EQ(conn_.waits, 3u);
    EXPECT_EQ(conn_.in_flight, 0u);
}

// What a repair repeats is not traffic of the job: the exchange it mends counts once.
TEST_F(SdFrame, RepairedExchangeCountsOnce) {
    conn_.repair_enabled = true;
    conn_.repair = [](sd_frame_conn* conn, size_t* out_len) {
        sd_frame_msg again;
        if (again.reset() != 0) return SD_FRAME_NO_MEMORY;
        conn->repairing = true;  // as the repair layer marks its repeats
        dvsd_send_request(conn, SD_REQ_INFO, again);
        size_t ignored = 0;
        client_recv_response(conn, &ignored);
        conn->repairing = false;
        *out_len = 4;
        return SD_FRAME_OK;
    };
    sd_frame_msg msg;
    ASSERT_EQ(msg.reset(), 0);
    ASSERT_EQ(dvsd_send_request(&conn_, SD_REQ_INFO, msg), SD_FRAME_OK);
    // Not a frame, so the receive hands over to repair; then the answer to the repeat.
    peer_write(cat({{0x00, 0x00, 0, 0, 0, 0, 0, 0}, empty_response(SD_REQ_INFO)}));
    size_t len = 0;
    ASSERT_EQ(client_recv_response(&conn_, &len), SD_FRAME_OK);
    EXPECT_EQ(conn_.requests, 1u);
    EXPECT_EQ(conn_.waits, 1u);
    EXPECT_EQ(conn_.in_flight, 0u);
}

// ---- repair hand-over and outcome ---------------------------------------------------------------

TEST_F(SdFrame, AfterRepairFailedNothingIsWrittenOrRead) {
    conn_.repair_failed = true;
    sd_frame_msg msg;
    ASSERT_EQ(msg.reset(), 0);
    peer_write(head(1, 4, 0x02000004));
    EXPECT_EQ(dvsd_send_request(&conn_, SD_REQ_INFO, msg), SD_FRAME_TIMEOUT);
    size_t len = 0;
    EXPECT_EQ(client_recv_response(&conn_, &len), SD_FRAME_TIMEOUT);
    EXPECT_TRUE(peer_read_all(100).empty());
    EXPECT_EQ(conn_.send_count, 0u);
    // The response is still unread in the stream.
    EXPECT_EQ(client_recv_response_imp(&conn_, &len), SD_FRAME_OK);
}

TEST_F(SdFrame, FailedReceiveHandsOverToRepair) {
    conn_.repair_enabled = true;
    int repairs = 0;
    conn_.repair = [&](sd_frame_conn* conn, size_t* out_len) {
        ++repairs;
        EXPECT_FALSE(conn->repairing);
        *out_len = 4;
        return SD_FRAME_OK;
    };
    peer_write({0x00, 0x00, 0, 0, 0, 0, 0, 0});  // not a frame
    size_t len = 0;
    EXPECT_EQ(client_recv_response(&conn_, &len), SD_FRAME_OK);
    EXPECT_EQ(repairs, 1);
    EXPECT_EQ(len, 4u);
}

TEST_F(SdFrame, FailedRepairClosesTheConnectionForGood) {
    conn_.repair_enabled = true;
    conn_.repair = [](sd_frame_conn*, size_t*) { return SD_FRAME_NET_ERROR; };
    size_t len = 0;
    EXPECT_EQ(client_recv_response(&conn_, &len), SD_FRAME_TIMEOUT);  // silent peer
    EXPECT_TRUE(conn_.repair_failed);
}

TEST_F(SdFrame, NoRepairWhileRepairing) {
    conn_.repair_enabled = true;
    conn_.repairing = true;
    int repairs = 0;
    conn_.repair = [&](sd_frame_conn*, size_t*) { return ++repairs, SD_FRAME_OK; };
    size_t len = 0;
    EXPECT_EQ(client_recv_response(&conn_, &len), SD_FRAME_TIMEOUT);
    EXPECT_EQ(repairs, 0);
    EXPECT_FALSE(conn_.repair_failed);

    // A repeated request is not counted again.
    sd_frame_msg msg;
    ASSERT_EQ(msg.reset(), 0);
    EXPECT_EQ(dvsd_send_request(&conn_, SD_REQ_INFO, msg), SD_FRAME_OK);
    EXPECT_EQ(conn_.send_count, 0u);
}

TEST_F(SdFrame, FailedSendIsReportedByTheReceiveWithoutWaiting) {
    close_peer();
    handle_.timeout_ms = 20000;
    sd_frame_msg msg;
    ASSERT_EQ(msg.reset(), 0);
    EXPECT_EQ(dvsd_send_request(&conn_, SD_REQ_INFO, msg), SD_FRAME_OK);
    const auto start = std::chrono::steady_clock::now();
    size_t len = 0;
    const int rc = client_recv_response(&conn_, &len);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(rc, SD_FRAME_NET_ERROR);
    dvsd_cli_set_last_error(&conn_, rc);
    EXPECT_EQ(last_error_.code, VERR_BROKEN_PIPE);
}

struct outcome_case {
    int status;
    verr code;
    const char* text;
};

void PrintTo(const outcome_case& c, std::ostream* os) {
    *os << "status " << c.status << " (" << sd_frame_status_str(c.status) << ")";
}

class SdFrameOutcome : public SdFrame, public ::testing::WithParamInterface<outcome_case> {};

TEST_P(SdFrameOutcome, StoresCodeAndText) {
    const outcome_case& c = GetParam();
    conn_.srv_errno = -102;
    std::snprintf(conn_.srv_errstr, sizeof conn_.srv_errstr, "%s", "no such file %s %n");
    dvsd_cli_set_last_error(&conn_, c.status);
    EXPECT_EQ(last_error_.code, c.code);
    EXPECT_STREQ(last_error_.msg, c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SdFrameOutcome,
    ::testing::Values(outcome_case{SD_FRAME_OK, VERR_SUCCESS, ""},
                      outcome_case{SD_FRAME_NET_ERROR, VERR_NET_IO_ERROR, "read data net error"},
                      outcome_case{SD_FRAME_DATA_ERROR, VERR_NET_PROTOCOL_ERROR,
                                   "read data content error"},
                      outcome_case{SD_FRAME_TIMEOUT, VERR_TIMEOUT, "read data timeout"},
                      outcome_case{SD_FRAME_SRV_ERROR, -102, "no such file %s %n"},
                      outcome_case{SD_FRAME_NO_MEMORY, VERR_NO_MEMORY, "memory allocation failed"},
                      outcome_case{SD_FRAME_USER_STOP, VERR_NET_USER_STOP, "user stop"},
                      outcome_case{SD_FRAME_LEN_ERROR, VERR_TIMEOUT, "read data timeout"},
                      outcome_case{42, VERR_GENERAL_FAILURE, "unkown error=42"}));

TEST(SdFrameStatus, TextsOfEveryStatus) {
    const char* want[] = {
        "ok",           "net error",       "net data error",    "timeout error", "dvsd srv error",
        "memory error", "user stop error", "unpack data error", "data len error"};
    for (int status = 0; status < 9; ++status) {
        EXPECT_STREQ(sd_frame_status_str(status), want[status]) << status;
    }
    EXPECT_STREQ(sd_frame_status_str(9), "unkown error");
    EXPECT_STREQ(sd_frame_status_str(-1), "unkown error");
}

// ---- both directions over one socket pair
// ---------------------------------------------------------

TEST_F(SdFrame, RoundTripClientRequestServerResponse) {
    // The server end is a second net handle on the peer descriptor, using the same codec.
    net_handle server_handle;
    server_handle.sock = sock_from_fd(peer_);
    server_handle.timeout_ms = 5000;
    peer_ = -1;  // owned by server_handle now
    net_sock_stream server_stream(&server_handle);
    handle_.timeout_ms = 5000;

    const Bytes payload = [] {
        Bytes b(1 << 20);
        for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
        return b;
    }();

    std::thread server([&] {
        std::vector<uint8_t> buf;
        sd_frame_head request;
        ASSERT_EQ(sd_frame_read(server_stream, &buf, &request), SD_FRAME_OK);
        EXPECT_EQ(request.protocol, SD_FRAME_PROTOCOL);
        const blobmsg_policy policy[] = {{"path", BLOBMSG_TYPE_STRING},
                                         {"data", BLOBMSG_TYPE_BINARY}};
        const blob_attr* tb[2];
        const auto* root = reinterpret_cast<const blob_attr*>(buf.data());
        ASSERT_EQ(blobmsg_parse(policy, 2, tb, blob_data(root), blob_len(root)), 0);
        ASSERT_NE(tb[0], nullptr);
        ASSERT_NE(tb[1], nullptr);
        sd_frame_msg reply;
        ASSERT_EQ(reply.reset(), 0);
        reply.add_int32(SDF_ERRNO, 0);
        reply.add_string(SDF_ERRNO_STR, blobmsg_get_string(tb[0]));
        reply.add_int32(SDF_LEN, static_cast<uint32_t>(blobmsg_data_len(tb[1])));
        ASSERT_TRUE(reply.ok());
        EXPECT_EQ(sd_frame_write(server_stream, SD_FRAME_PROTOCOL, request.code, reply.root()),
                  SD_FRAME_OK);
    });

    sd_frame_msg msg;
    ASSERT_EQ(msg.reset(), 0);
    ASSERT_TRUE(msg.add_string(SDF_PATH, "/srv/x"));
    blob_attr* data = msg.reserve(SDF_DATA, payload.size() + 100);
    ASSERT_NE(data, nullptr);
    std::memcpy(blobmsg_data(data), payload.data(), payload.size());
    ASSERT_TRUE(msg.trim(data, payload.size()));
    EXPECT_EQ(dvsd_send_request(&conn_, SD_REQ_WRITE, msg), SD_FRAME_OK);
    size_t len = 0;
    EXPECT_EQ(client_recv_response(&conn_, &len), SD_FRAME_OK);
    server.join();
    net_close(&server_handle);

    const auto table = sd_reply_table(SD_REQ_WRITE, false);
    const blob_attr* tb[SD_LEN_COUNT];
    ASSERT_EQ(table.size(), SD_LEN_COUNT);
    ASSERT_EQ(cli_blobmsg_parse(table.data(), static_cast<int>(table.size()), tb,
                                conn_.reply.data() + 4, len - 4),
              0);
    EXPECT_EQ(blobmsg_get_int32(tb[SD_ERRNO]), 0);
    EXPECT_STREQ(blobmsg_get_string(tb[SD_ERRNO_STR]), "/srv/x");
    EXPECT_EQ(static_cast<size_t>(blobmsg_get_int32(tb[SD_LEN_LEN])), payload.size());
    EXPECT_EQ(conn_.peer_protocol, SD_FRAME_PROTOCOL);
}

}  // namespace
