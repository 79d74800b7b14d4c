// Reads and writes of a net handle by kind, closing, the TLS hooks and opening from a URL.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "libconf/ini/conf_proxy.h"
#include "liblog/log2.h"
#include "libnet/net_sock.h"
#include "libpal/url.h"

#define NET_LOG(level, ...) DV_LOG("net", level, __VA_ARGS__)

namespace {

using clock_type = std::chrono::steady_clock;

constexpr size_t kMemInitialCapacity = 4096;
constexpr size_t kQueryValueSize = 256;
constexpr int kWaitSliceMs = 300;
constexpr int kSerialPauseMs = 1000;

std::atomic<net_read_hook> g_ssl_read_proc{nullptr};
std::atomic<net_write_hook> g_ssl_write_proc{nullptr};
std::atomic<net_tls_connect_hook> g_tls_connect{nullptr};

bool stop_requested(net_handle* handle) {
    return handle->stop.load(std::memory_order_acquire) != 0 ||
           sock_cancel_requested(handle->cancel, handle->timeout_ms);
}

clock_type::time_point deadline_after(int32_t ms) {
    return clock_type::now() + std::chrono::milliseconds(std::max<int32_t>(ms, 0));
}

enum class waited { ready, idle, stopped, failed };

// Waits for `events` on a descriptor in stop-aware slices until `deadline`; errno is kept on
// `failed`.
waited wait_fd(net_handle* handle, int fd, short events, clock_type::time_point deadline) {
    for (;;) {
        if (stop_requested(handle)) return waited::stopped;
        const auto now = clock_type::now();
        const auto left =
            now >= deadline
                ? 0
                : std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        pollfd p{fd, events, 0};
        const int rc = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, kWaitSliceMs)));
        if (rc > 0) return waited::ready;
        if (rc < 0 && errno != EINTR) return waited::failed;
        if (rc == 0 && left == 0) return waited::idle;
    }
}

// A write that reports a reader gone as EPIPE instead of letting SIGPIPE end the process: the
// signal is blocked for this thread around the call and a SIGPIPE it raised is taken back.
ptrdiff_t write_no_sigpipe(int fd, const void* buf, size_t len) {
    sigset_t pipe_set;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    sigset_t old_mask;
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old_mask);
    const ptrdiff_t n = ::write(fd, buf, len);
    const int eno = errno;
    if (n < 0 && eno == EPIPE && !was_pending) {
        const timespec no_wait{};
        while (sigtimedwait(&pipe_set, nullptr, &no_wait) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    errno = eno;
    return n;
}

bool is_socket_kind(int kind) {
    return kind == NET_KIND_SOCK || kind == NET_KIND_SOCK_SRV;
}

bool is_known_kind(int kind) {
    return kind >= NET_KIND_SOCK && kind <= NET_KIND_MEM;
}

ptrdiff_t fail(net_handle* handle, verr status) {
    handle->status = status;
    return -1;
}

ptrdiff_t os_fail(net_handle* handle, const char* what) {
    const int eno = errno;
    NET_LOG(LOG_DBG, "%s%s\n", what, os_strerror(eno));
    return fail(handle, os_errno_verr());
}

// ---- TLS ----

ptrdiff_t ssl_read(net_handle* handle, void* buf, size_t len) {
    net_read_hook hook = handle->read_hook != nullptr ? handle->read_hook : g_ssl_read_proc.load();
    if (hook == nullptr) {
        log2_assert_fail("net", "g_ssl_read_proc!=NULL", __FILE__, __LINE__, __func__);
        return fail(handle, VERR_INVALID_STATE);
    }
    return hook(handle, buf, len);
}

ptrdiff_t ssl_write(net_handle* handle, const void* buf, size_t len) {
    net_write_hook hook =
        handle->write_hook != nullptr ? handle->write_hook : g_ssl_write_proc.load();
    if (hook == nullptr) {
        log2_assert_fail("net", "g_ssl_write_proc!=NULL", __FILE__, __LINE__, __func__);
        return fail(handle, VERR_INVALID_STATE);
    }
    return hook(handle, buf, len);
}

// ---- standard input and output ----

ptrdiff_t stdio_read(net_handle* handle, void* buf, size_t len) {
    const size_t n = std::fread(buf, 1, len, stdin);
    if (n == 0 && std::ferror(stdin) != 0) {
        std::clearerr(stdin);
        return os_fail(handle, "stdin read error: ");
    }
    handle->status = n == len ? VERR_SUCCESS : VERR_EOF;
    return static_cast<ptrdiff_t>(n);
}

ptrdiff_t stdio_write(net_handle* handle, const void* buf, size_t len) {
    // A short write or a failed flush is a failure: the bytes did not reach the reader.
    if (std::fwrite(buf, 1, len, stdout) != len || std::fflush(stdout) != 0) {
        std::clearerr(stdout);
        return os_fail(handle, "stdout write error: ");
    }
    handle->status = VERR_SUCCESS;
    return static_cast<ptrdiff_t>(len);
}

// ---- named pipes ----

ptrdiff_t pipe_read(net_handle* handle, void* buf, size_t len) {
    if (handle->disconnected) return fail(handle, VERR_NET_NOT_CONNECTED);
    switch (wait_fd(handle, handle->fd, POLLIN, deadline_after(handle->timeout_ms))) {
        case waited::ready:
            break;
        case waited::idle:
            handle->status = VERR_TIMEOUT;
            return 0;
        case waited::stopped:
            return fail(handle, VERR_NET_USER_STOP);
        case waited::failed:
            return os_fail(handle, "poll error: ");
    }
    for (;;) {
        const ptrdiff_t n = ::read(handle->fd, buf, len);
        if (n > 0) {
            handle->status = VERR_SUCCESS;
            return n;
        }
        if (n == 0) {
            handle->disconnected = true;
            handle->status = VERR_NET_NOT_CONNECTED;
            return 0;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            handle->status = VERR_TIMEOUT;
            return 0;
        }
        return os_fail(handle, handle->kind == NET_KIND_PIPE_SRV ? "os_name_pipe_srv_read error: "
                                                                 : "os_name_pipe_cli_read error: ");
    }
}

// Writes all of `buf` to `fd`, waiting for room in slices; gives up when no byte moved for
// `idle_ms`.
ptrdiff_t fd_write_all(net_handle* handle, int fd, const void* buf, size_t len, int32_t idle_ms) {
    if (handle->disconnected) return fail(handle, VERR_NET_NOT_CONNECTED);
    const auto* bytes = static_cast<const uint8_t*>(buf);
    size_t done = 0;
    auto deadline = deadline_after(idle_ms);
    while (done < len) {
        const ptrdiff_t n = write_no_sigpipe(fd, bytes + done, len - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            deadline = deadline_after(idle_ms);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            if (errno == EPIPE) handle->disconnected = true;
            return os_fail(handle, "write error: ");
        }
        switch (wait_fd(handle, fd, POLLOUT, deadline)) {
            case waited::ready:
                break;
            case waited::idle:
                NET_LOG(LOG_DBG, "write timeout\n");
                handle->status = VERR_TIMEOUT;
                return static_cast<ptrdiff_t>(done);
            case waited::stopped:
                return fail(handle, VERR_NET_USER_STOP);
            case waited::failed:
                return os_fail(handle, "poll error: ");
        }
    }
    handle->status = VERR_SUCCESS;
    return static_cast<ptrdiff_t>(len);
}

// ---- serial line ----

ptrdiff_t serial_read(net_handle* handle, void* buf, size_t len) {
    auto* bytes = static_cast<uint8_t*>(buf);
    size_t done = 0;
    auto deadline = deadline_after(handle->timeout_ms);
    while (done < len) {
        // Waiting before every read keeps a blocking descriptor from holding the caller once
        // the line goes quiet.
        switch (wait_fd(handle, handle->fd, POLLIN, deadline)) {
            case waited::ready:
                break;
            case waited::idle:
                handle->status = VERR_TIMEOUT;
                return static_cast<ptrdiff_t>(done);
            case waited::stopped:
                return fail(handle, VERR_NET_USER_STOP);
            case waited::failed:
                return os_fail(handle, "select error: ");
        }
        const ptrdiff_t n = ::read(handle->fd, bytes + done, len - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            deadline = deadline_after(handle->timeout_ms);
            continue;
        }
        if (n == 0) {
            handle->status = VERR_EOF;
            return static_cast<ptrdiff_t>(done);
        }
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        return os_fail(handle, "serial read error: ");
    }
    handle->status = VERR_SUCCESS;
    return static_cast<ptrdiff_t>(len);
}

// ---- memory buffer ----

ptrdiff_t mem_read(net_handle* handle, void* buf, size_t len) {
    const size_t unread = handle->mem.size() - handle->mem_read;
    const size_t n = std::min(len, unread);
    if (n > 0) std::memcpy(buf, handle->mem.data() + handle->mem_read, n);
    handle->mem_read += n;
    handle->status = VERR_SUCCESS;
    return static_cast<ptrdiff_t>(n);
}

ptrdiff_t mem_write(net_handle* handle, const void* buf, size_t len) {
    // Once reading has begun a write starts the next exchange: what was read is dropped, while
    // bytes not yet read stay in front of the new ones.
    if (handle->mem_read > 0) {
        handle->mem.erase(handle->mem.begin(),
                          handle->mem.begin() + static_cast<ptrdiff_t>(handle->mem_read));
        handle->mem_read = 0;
    }
    try {
        const auto* bytes = static_cast<const uint8_t*>(buf);
        handle->mem.insert(handle->mem.end(), bytes, bytes + len);
    } catch (const std::bad_alloc&) {
        NET_LOG(LOG_ERR, "memory buffer of %zu bytes: out of memory\n", handle->mem.size() + len);
        return fail(handle, VERR_NO_MEMORY);
    }
    handle->status = VERR_SUCCESS;
    return static_cast<ptrdiff_t>(len);
}

// ---- opening ----

bool is_one_of(const char* scheme, std::initializer_list<const char*> names) {
    return std::any_of(names.begin(), names.end(),
                       [scheme](const char* name) { return std::strcmp(scheme, name) == 0; });
}

int open_mem(net_handle* handle) {
    handle->kind = NET_KIND_MEM;
    handle->mem.clear();
    handle->mem_read = 0;
    try {
        handle->mem.reserve(kMemInitialCapacity);
    } catch (const std::bad_alloc&) {
        NET_LOG(LOG_ERR, "memory buffer: out of memory\n");
        return -1;
    }
    net_reset(handle);
    return 0;
}

}  // namespace

ptrdiff_t net_read(net_handle* handle, void* buf, size_t len) {
    switch (handle->kind) {
        case NET_KIND_SOCK:
        case NET_KIND_SOCK_SRV:
            return handle->ssl != nullptr ? ssl_read(handle, buf, len)
                                          : net_sock_read(handle, buf, len);
        case NET_KIND_STDIO:
            return stdio_read(handle, buf, len);
        case NET_KIND_PIPE_SRV:
        case NET_KIND_PIPE_CLI:
            return pipe_read(handle, buf, len);
        case NET_KIND_SERIAL:
            return serial_read(handle, buf, len);
        case NET_KIND_MEM:
            return mem_read(handle, buf, len);
        default:
            return fail(handle, VERR_INVALID_PARAMETER);
    }
}

ptrdiff_t net_write(net_handle* handle, const void* buf, size_t len) {
    if (!is_known_kind(handle->kind)) return fail(handle, VERR_INVALID_PARAMETER);
    if (len == 0) return 0;
    switch (handle->kind) {
        case NET_KIND_SOCK:
        case NET_KIND_SOCK_SRV:
            return handle->ssl != nullptr ? ssl_write(handle, buf, len)
                                          : net_sock_write(handle, buf, len);
        case NET_KIND_STDIO:
            return stdio_write(handle, buf, len);
        case NET_KIND_PIPE_SRV:
            return fd_write_all(handle, handle->write_fd, buf, len, handle->timeout_ms);
        case NET_KIND_PIPE_CLI:
            return fd_write_all(handle, handle->fd, buf, len, handle->timeout_ms);
        case NET_KIND_SERIAL:
            return fd_write_all(handle, handle->fd, buf, len,
                                std::max<int32_t>(handle->timeout_ms, kSerialPauseMs));
        default:
            return mem_write(handle, buf, len);
    }
}

int net_close(net_handle* handle) {
    net_reset(handle);
    if (is_socket_kind(handle->kind)) {
        if (handle->ssl != nullptr) {
            if (handle->free_hook != nullptr) handle->free_hook(handle);
            handle->ssl = nullptr;
        }
        sock_close(handle->sock);
        handle->sock = 0;
        return 0;
    }
    switch (handle->kind) {
        case NET_KIND_STDIO:
        case NET_KIND_PIPE_SRV:
        case NET_KIND_PIPE_CLI:
            return 0;
        case NET_KIND_MEM:
            std::vector<uint8_t>().swap(handle->mem);
            handle->mem_read = 0;
            return 0;
        default:
            return -1;
    }
}

void net_set_hooks(net_handle* handle, net_read_hook read_hook, net_write_hook write_hook,
                   net_free_hook free_hook) {
    handle->read_hook = read_hook;
    handle->write_hook = write_hook;
    handle->free_hook = free_hook;
}

void net_ssl_set_proc(net_read_hook read_proc, net_write_hook write_proc) {
    g_ssl_read_proc.store(read_proc);
    g_ssl_write_proc.store(write_proc);
}

int net_open(net_handle* handle, const char* url, int32_t timeout_ms) {
    if (url != nullptr && std::strcmp(url, "net://mem") == 0) return open_mem(handle);

    // The parser takes any text; what cannot name a server is refused here.
    std::array<char, PL_MAX_URL> storage{};
    url_info info{};
    if (url == nullptr || std::strlen(url) >= PL_MAX_URL || std::strstr(url, "://") == nullptr ||
        url_parser(&info, storage.data(), url) != 0 || info.host[0] == '\0') {
        NET_LOG(LOG_ERR, "url %s syntax error\n", url == nullptr ? "(null)" : url);
        return -1;
    }
    std::array<char, kQueryValueSize> proxy_name{};
    std::array<char, PL_MAX_URL> proxy_url{};  // a cut URL would name another proxy
    url_get_query(info.query, "proxy", "", proxy_name.data(), proxy_name.size());
    url_get_query(info.query, "proxy_url", "", proxy_url.data(), proxy_url.size());

    if (!is_one_of(info.protocol, {"tcp", "tcps", "http", "https"})) {
        NET_LOG(LOG_ERR, "unkouwn protocol [%s]\n", info.protocol);
        return -1;
    }
    conf_proxy proxy;
    err_info proxy_err{};
    const int chosen = conf_proxy_get(proxy_url.data(), proxy_name.data(), &proxy, &proxy_err);
    if (chosen < 0) {
        NET_LOG(LOG_ERR, "conf_proxy_get [%s] error: %s\n",
                proxy_name[0] != '\0' ? proxy_name.data() : "", err_info_str(&proxy_err));
        return -1;
    }
    uint32_t port = info.port;
    if (port == 0) {
        if (std::strcmp(info.protocol, "http") == 0) port = 80;
        if (std::strcmp(info.protocol, "https") == 0) port = 443;
    }
    if (port == 0) {
        NET_LOG(LOG_ERR, "needs to specify the port\n");
        return -1;
    }
    const net_tls_connect_hook tls_connect = url_is_tls(&info) ? g_tls_connect.load() : nullptr;
    if (url_is_tls(&info) && tls_connect == nullptr) {
        // Refused before connecting: a plain connection in its place would send in the clear.
        NET_LOG(LOG_ERR, "ssl_cli_connect failed: TLS is not available\n");
        return -1;
    }

    sock_opt opt;
    opt.connect_timeout_ms = timeout_ms;
    if (chosen == 0) opt.proxy = &proxy;
    err_info err{};
    const sock_handle sock = sock_tcp_connect(info.host, port, &opt, &err);
    if (sock == 0) {
        NET_LOG(LOG_ERR, "tcp_connect %s error: %s\n", info.host, err_info_str(&err));
        return -1;
    }
    handle->kind = NET_KIND_SOCK;
    handle->sock = sock;
    handle->timeout_ms = timeout_ms;
    handle->ssl = nullptr;
    net_reset(handle);
    if (tls_connect != nullptr && tls_connect(handle, timeout_ms) != 0) {
        NET_LOG(LOG_ERR, "ssl_cli_connect failed\n");
        net_close(handle);
        return -1;
    }
    return 0;
}

void net_tls_set_connect(net_tls_connect_hook hook) {
    g_tls_connect.store(hook);
}

void libnet_exit() {
    // Nothing process-wide is kept here any more: the one serving program, dvsd, accepts on its
    // own loop (libdvsrv).
}
