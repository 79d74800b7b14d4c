#include "libnet/net_sock.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>

#include "liblog/log2.h"

#define NET_LOG(level, ...) DV_LOG("net", level, __VA_ARGS__)

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int kReadSliceMs = 300;
constexpr int kWriteSliceMs = 500;
// How long a write that a stop interrupts goes on to get the rest of its bytes out.
constexpr int kStopGraceMs = 1000;

bool stop_requested(net_handle* handle) {
    return handle->stop.load(std::memory_order_acquire) != 0 ||
           sock_cancel_requested(handle->cancel, handle->timeout_ms);
}

enum class waited { ready, idle, stopped, failed };

// One slice of waiting for `events`, bounded by the time left before `deadline`. `idle` means the
// deadline has passed without the socket becoming ready.
waited wait_slice(net_handle* handle, short events, int slice_ms, clock_type::time_point deadline,
                  bool heed_stop = true) {
    for (;;) {
        if (heed_stop && stop_requested(handle)) return waited::stopped;
        const auto now = clock_type::now();
        if (now >= deadline) return waited::idle;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        pollfd p{sock_fd(handle->sock), events, 0};
        int rc = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, slice_ms)));
        if (rc > 0) return waited::ready;
        if (rc < 0 && errno != EINTR) return waited::failed;
    }
}

clock_type::time_point deadline_from(const net_handle* handle, clock_type::time_point now) {
    return now + std::chrono::milliseconds(std::max<int32_t>(handle->timeout_ms, 0));
}

// The idle deadline of a read, cut to the handle's read deadline.
clock_type::time_point read_deadline_from(const net_handle* handle, clock_type::time_point now) {
    const auto idle = deadline_from(handle, now);
    return handle->read_deadline ? std::min(idle, *handle->read_deadline) : idle;
}

bool read_deadline_passed(const net_handle* handle) {
    return handle->read_deadline && clock_type::now() >= *handle->read_deadline;
}

bool would_block(ptrdiff_t status) {
    return status == VERR_TRY_AGAIN || status == VERR_INTERRUPTED;
}

}  // namespace

ptrdiff_t net_sock_read(net_handle* handle, void* buf, size_t len) {
    if (handle->disconnected) {
        NET_LOG(LOG_VERB, "_disconnect!!\n");
        handle->status = VERR_NET_NOT_CONNECTED;
        return -1;
    }
    auto* bytes = static_cast<uint8_t*>(buf);
    size_t done = 0;
    auto deadline = read_deadline_from(handle, clock_type::now());
    while (done < len) {
        // A peer that keeps sending a byte now and then must not hold the reader past it.
        if (read_deadline_passed(handle)) {
            NET_LOG(LOG_DBG, "read deadline passed [%zu of %zu]\n", done, len);
            handle->status = VERR_TIMEOUT;
            return static_cast<ptrdiff_t>(done);
        }
        errno = 0;
        ptrdiff_t n = sock_recv(handle->sock, bytes + done, len - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            deadline = read_deadline_from(handle, clock_type::now());
            continue;
        }
        if (n == 0) {
            handle->disconnected = true;
            handle->status = VERR_NET_NOT_CONNECTED;
            return static_cast<ptrdiff_t>(done);
        }
        if (!would_block(n)) {
            const int eno = errno;
            handle->status = static_cast<verr>(n);
            NET_LOG(LOG_DBG, "socket_recv error [%d] [%s]\n", eno, os_strerror(eno));
            return -1;
        }
        switch (wait_slice(handle, POLLIN, kReadSliceMs, deadline)) {
            case waited::ready:
                break;
            case waited::stopped:
                handle->status = VERR_NET_USER_STOP;
                return -1;
            case waited::idle:
                handle->status = VERR_TIMEOUT;
                return static_cast<ptrdiff_t>(done);
            case waited::failed: {
                const int eno = errno;
                handle->status = os_errno_verr(VERR_NET_IO_ERROR);
                NET_LOG(LOG_DBG, "socket_wait error [%d] [%s]\n", eno, os_strerror(eno));
                return static_cast<ptrdiff_t>(done);
            }
        }
    }
    handle->status = VERR_SUCCESS;
    return static_cast<ptrdiff_t>(len);
}

ptrdiff_t net_sock_write(net_handle* handle, const void* buf, size_t len) {
    if (handle->disconnected) {
        NET_LOG(LOG_DBG, "_disconnect!!\n");
        handle->status = VERR_NET_NOT_CONNECTED;
        return -1;
    }
    const auto* bytes = static_cast<const uint8_t*>(buf);
    size_t done = 0;
    auto deadline = deadline_from(handle, clock_type::now());
    // A stop came while these bytes went out: the rest follows until this time, and then the
    // write ends as stopped. A frame cut in the middle would leave nothing more to be said on the
    // connection, not even the quit that tells the server to drop the work under way.
    std::optional<clock_type::time_point> grace;
    while (done < len) {
        errno = 0;
        ptrdiff_t n = sock_send(handle->sock, bytes + done, len - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            if (!grace) deadline = deadline_from(handle, clock_type::now());
            continue;
        }
        if (n < 0 && !would_block(n)) {
            const int eno = errno;
            handle->status = static_cast<verr>(n);
            if (n == VERR_BROKEN_PIPE || n == VERR_NET_CONNECTION_RESET)
                handle->disconnected = true;
            NET_LOG(LOG_DBG, "socket_send error [%d] [%s]\n", eno, os_strerror(eno));
            return -1;
        }
        switch (wait_slice(handle, POLLOUT, kWriteSliceMs, grace ? *grace : deadline, !grace)) {
            case waited::ready:
                break;
            case waited::stopped:
                grace =
                    std::min(deadline, clock_type::now() + std::chrono::milliseconds(kStopGraceMs));
                break;
            case waited::idle:
                if (grace) {
                    handle->status = VERR_NET_USER_STOP;
                    return -1;
                }
                NET_LOG(LOG_DBG, "write timeout\n");
                handle->status = VERR_TIMEOUT;
                return static_cast<ptrdiff_t>(done);
            case waited::failed: {
                const int eno = errno;
                handle->status = os_errno_verr(VERR_NET_IO_ERROR);
                NET_LOG(LOG_DBG, "socket_wait error [%d] [%s]\n", eno, os_strerror(eno));
                return -1;
            }
        }
    }
    // All of it went out, stop or not: the next wait on this handle sees the stop.
    handle->status = VERR_SUCCESS;
    return static_cast<ptrdiff_t>(len);
}

void net_reset(net_handle* handle) {
    handle->stop.store(0, std::memory_order_release);
    handle->disconnected = false;
    handle->read_deadline.reset();
    handle->status = VERR_SUCCESS;
}

verr net_sock_stream::read_full(std::span<uint8_t> buf, size_t* done) {
    if (buf.empty()) {
        *done = 0;
        return VERR_SUCCESS;
    }
    ptrdiff_t n = net_read(handle_, buf.data(), buf.size());
    // A failed call may have consumed bytes before it failed; they are lost to the caller, who
    // cannot resynchronise the stream anyway, so report none.
    *done = n > 0 ? static_cast<size_t>(n) : 0;
    return handle_->status;
}

verr net_sock_stream::write_full(std::span<const uint8_t> buf, size_t* done) {
    if (buf.empty()) {
        *done = 0;
        return VERR_SUCCESS;
    }
    ptrdiff_t n = net_write(handle_, buf.data(), buf.size());
    *done = n > 0 ? static_cast<size_t>(n) : 0;
    return handle_->status;
}
