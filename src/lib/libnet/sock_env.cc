#include "libnet/sock_env.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "liblog/log2.h"

#define NET_LOG(level, ...) DV_LOG("net", level, __VA_ARGS__)

namespace {

constexpr int kPassMaxWaitMs = 1000;
constexpr int kStopWaitMs = 1000;
constexpr int kMaxEventsLimit = 4096;
// A listener that cannot accept for want of descriptors or memory rests this long, so that a
// pending connection does not turn the loop into a busy one.
constexpr int64_t kAcceptPauseMs = 100;
// The poller's tag of the wake-up descriptor; registrations are numbered from 1.
constexpr uint64_t kWakeTag = 0;

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void name_thread(const std::string& name) {
    char short_name[16];  // the kernel keeps 15 characters
    std::snprintf(short_name, sizeof short_name, "%s", name.c_str());
    pthread_setname_np(pthread_self(), short_name);
    os_thread_name_set(name.c_str());
}

class descriptor final {
  public:
    explicit descriptor(int fd = -1) : fd_(fd) {}
    ~descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

struct registration final {
    // Fixed when registered.
    sock_event_id id = 0;
    int type = 0;
    sock_handle sock = 0;
    sock_event_handler handler = nullptr;
    sock_work_proc work = nullptr;
    void* context = nullptr;
    std::string name;
    uint32_t poll_flags = 0;
    // Used by the loop thread only.
    int64_t last_activity_ms = 0;
    bool not_active = true;
    int64_t paused_until_ms = 0;  // listeners resting after a failed accept; 0: not resting
};

std::atomic<uint64_t> g_next_id{1};

class event_loop final : public std::enable_shared_from_this<event_loop> {
  public:
    event_loop(int epoll_fd, int wake_fd, int max_events)
        : epoll_(epoll_fd), wake_(wake_fd), max_events_(max_events) {}
    event_loop(const event_loop&) = delete;
    event_loop& operator=(const event_loop&) = delete;

    ~event_loop() {
        stop_.store(true);
        if (thread_.joinable()) {
            if (thread_.get_id() == std::this_thread::get_id()) {
                thread_.detach();
            } else {
                wake();
                thread_.join();
            }
        }
        for (auto& [id, reg] : registrations_) sock_close(reg->sock);
    }

    static std::shared_ptr<event_loop> create(const sock_env_param& param) {
        const int epoll_fd = epoll_create1(EPOLL_CLOEXEC);
        if (epoll_fd < 0) {
            NET_LOG(LOG_ERR, "os_poller_init failed\n");
            return nullptr;
        }
        const int wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wake_fd < 0) {
            ::close(epoll_fd);
            NET_LOG(LOG_ERR, "os_poller_init failed\n");
            return nullptr;
        }
        auto loop = std::make_shared<event_loop>(epoll_fd, wake_fd,
                                                 std::clamp(param.max_events, 1, kMaxEventsLimit));
        epoll_event wake_event{};
        wake_event.events = EPOLLIN;
        wake_event.data.u64 = kWakeTag;
        if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, wake_fd, &wake_event) != 0) {
            NET_LOG(LOG_ERR, "os_poller_init failed\n");
            return nullptr;
        }
        return loop;
    }

    int start() {
        try {
            // The thread keeps the loop alive, so a loop given up on while a handler still
            // runs is released by its own thread once the handler returns.
            thread_ = std::thread([self = shared_from_this()] { self->run(); });
        } catch (const std::system_error& e) {
            NET_LOG(LOG_ERR, "os_thread_init failed: %s\n", e.what());
            return -1;
        }
        return 0;
    }

    void set(const sock_env_settings& settings) {
        {
            std::lock_guard lock(mutex_);
            settings_ = settings;
        }
        wake();  // a shorter time-out shortens the next wait
    }

    sock_event_id add(std::unique_ptr<registration> reg) {
        const sock_handle sock = reg->sock;
        if (stop_.load()) {
            NET_LOG(LOG_ERR, "sock_add_event: the event loop is stopped\n");
            sock_close(sock);
            return 0;
        }
        reg->id = g_next_id.fetch_add(1);
        reg->last_activity_ms = now_ms();
        const sock_event_id id = reg->id;
        epoll_event event{};
        event.events = reg->poll_flags;
        event.data.u64 = id;
        {
            std::lock_guard lock(mutex_);
            registrations_.emplace(id, std::move(reg));
        }
        if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, sock_fd(sock), &event) != 0) {
            NET_LOG(LOG_ERR | LOG_ERRNO, "os_poller_add sock=%d error: ", sock_fd(sock));
            std::lock_guard lock(mutex_);
            registrations_.erase(id);
            sock_close(sock);
            return 0;
        }
        return id;
    }

    int remove(sock_event_id id) {
        std::unique_lock lock(mutex_);
        if (!registrations_.contains(id) ||
            std::find(pending_removals_.begin(), pending_removals_.end(), id) !=
                pending_removals_.end()) {
            return -1;
        }
        // Only the loop thread closes a registration while the loop runs, so a handler never
        // sees its socket closed (and its number reused) under it.
        if (running_ && std::this_thread::get_id() != thread_id_) {
            pending_removals_.push_back(id);
            lock.unlock();
            wake();
            return 0;
        }
        lock.unlock();
        return close_registration(id) ? 0 : -1;
    }

    // Asks the thread to end and waits up to a second. 0 when it has ended or will end right
    // after the handler that asked; -1 while a handler holds it.
    int stop() {
        stop_.store(true);
        wake();
        std::unique_lock lock(mutex_);
        if (std::this_thread::get_id() == thread_id_) return 0;
        const bool ended = finished_cv_.wait_for(lock, std::chrono::milliseconds(kStopWaitMs),
                                                 [this] { return !running_; });
        lock.unlock();
        if (!ended) {
            NET_LOG(LOG_ERR, "os_thread_wait_kill_exit ret=%d error=%d\n", -1, ETIMEDOUT);
            return -1;
        }
        std::lock_guard join_lock(join_mutex_);
        if (thread_.joinable()) thread_.join();
        return 0;
    }

    // For a loop being released while its thread still runs: the thread finishes on its own.
    void let_go() {
        std::lock_guard join_lock(join_mutex_);
        if (thread_.joinable()) thread_.detach();
    }

  private:
    void wake() {
        const uint64_t one = 1;
        // A full counter already means a pending wake-up.
        [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
    }

    void drain_wake() {
        uint64_t count = 0;
        [[maybe_unused]] ssize_t n = ::read(wake_.get(), &count, sizeof count);
    }

    std::shared_ptr<registration> find(sock_event_id id) {
        std::lock_guard lock(mutex_);
        auto it = registrations_.find(id);
        return it == registrations_.end() ? nullptr : it->second;
    }

    bool close_registration(sock_event_id id) {
        std::shared_ptr<registration> reg;
        {
            std::lock_guard lock(mutex_);
            auto it = registrations_.find(id);
            if (it == registrations_.end()) return false;
            reg = std::move(it->second);
            registrations_.erase(it);
        }
        epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, sock_fd(reg->sock), nullptr);
        sock_close(reg->sock);
        return true;
    }

    void run() {
        name_thread("sock_listen");
        {
            std::lock_guard lock(mutex_);
            thread_id_ = std::this_thread::get_id();
            running_ = true;
        }
        NET_LOG(LOG_VERB, "==>\n");
        std::vector<epoll_event> events(static_cast<size_t>(max_events_));
        while (!stop_.load()) {
            const int n = epoll_wait(epoll_.get(), events.data(), max_events_, pass_wait_ms());
            if (n < 0) {
                if (errno == EINTR) continue;
                // Only a broken poller fails here; going round again would spin.
                NET_LOG(LOG_ERR | LOG_ERRNO, "os_poller_wait error: ");
                break;
            }
            for (int i = 0; i < n && !stop_.load(); ++i) {
                if (events[i].data.u64 == kWakeTag) {
                    drain_wake();
                    continue;
                }
                dispatch(events[i].data.u64, events[i].events);
            }
            apply_pending_removals();
            const sock_env_settings settings = current_settings();
            sweep(settings);
            if (settings.periodic != nullptr) settings.periodic(settings.periodic_context);
        }
        NET_LOG(LOG_VERB, "<==\n");
        os_thread_name_del();
        {
            std::lock_guard lock(mutex_);
            running_ = false;
        }
        finished_cv_.notify_all();
    }

    sock_env_settings current_settings() {
        std::lock_guard lock(mutex_);
        return settings_;
    }

    // Waits no longer than the shortest idle time-out, so that idle sockets go close to it.
    int pass_wait_ms() {
        const sock_env_settings settings = current_settings();
        int wait = kPassMaxWaitMs;
        for (int32_t limit : {settings.first_idle_ms, settings.idle_ms}) {
            if (limit > 0) wait = std::min(wait, std::max(limit / 2, 10));
        }
        return wait;
    }

    void dispatch(sock_event_id id, uint32_t events) {
        std::shared_ptr<registration> reg = find(id);
        if (!reg) return;  // ended earlier in this pass
        switch (reg->type) {
            case SOCK_EVENT_DGRAM:
                reg->handler(reg->sock, events, reg->context);
                break;
            case SOCK_EVENT_LISTEN:
                accept_pending(*reg);
                break;
            case SOCK_EVENT_CONN:
                reg->not_active = false;
                reg->last_activity_ms = now_ms();
                if (reg->handler(reg->sock, events, reg->context) < 0) close_registration(id);
                break;
            default:
                NET_LOG(LOG_ERR, "invalid type=%d\n", reg->type);
                break;
        }
    }

    void accept_pending(registration& reg) {
        while (!stop_.load()) {
            const int fd =
                accept4(sock_fd(reg.sock), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                const int eno = errno;
                if (eno == EINTR || eno == ECONNABORTED) continue;
                if (eno == EAGAIN || eno == EWOULDBLOCK) return;
                NET_LOG(LOG_ERR | LOG_ERRNO, "accept error: ");
                if (eno == EMFILE || eno == ENFILE || eno == ENOBUFS || eno == ENOMEM) {
                    pause_listener(reg);
                }
                return;
            }
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // not TCP: harmless
            const sock_handle sock = sock_from_fd(fd);
            if (reg.handler != nullptr) {
                reg.handler(sock, 0, reg.context);
            } else {
                start_work(reg, sock);
            }
        }
    }

    static void start_work(const registration& reg, sock_handle sock) {
        try {
            std::thread([name = reg.name + "_work", work = reg.work, context = reg.context, sock] {
                name_thread(name);
                work(sock, context);
                os_thread_name_del();
            }).detach();
        } catch (const std::system_error& e) {
            NET_LOG(LOG_ERR, "os_thread_init error: %s\n", e.what());
            sock_close(sock);
        }
    }

    void pause_listener(registration& reg) {
        epoll_event event{};
        event.data.u64 = reg.id;
        if (epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, sock_fd(reg.sock), &event) == 0) {
            reg.paused_until_ms = now_ms() + kAcceptPauseMs;
        }
    }

    void apply_pending_removals() {
        std::vector<sock_event_id> ids;
        {
            std::lock_guard lock(mutex_);
            ids.swap(pending_removals_);
        }
        for (sock_event_id id : ids) close_registration(id);
    }

    void sweep(const sock_env_settings& settings) {
        const int64_t now = now_ms();
        std::vector<std::shared_ptr<registration>> idle;
        std::vector<std::shared_ptr<registration>> rested;
        {
            std::lock_guard lock(mutex_);
            for (const auto& [id, reg] : registrations_) {
                if (reg->paused_until_ms != 0 && now >= reg->paused_until_ms) rested.push_back(reg);
                if (reg->type != SOCK_EVENT_CONN) continue;
                const int32_t limit = reg->not_active ? settings.first_idle_ms : settings.idle_ms;
                if (limit > 0 && now - reg->last_activity_ms >= limit) idle.push_back(reg);
            }
        }
        for (const auto& reg : idle) {
            NET_LOG(LOG_DBG, "sock=%d idle for %lld ms: closed\n", sock_fd(reg->sock),
                    static_cast<long long>(now - reg->last_activity_ms));
            close_registration(reg->id);
        }
        for (const auto& reg : rested) {
            epoll_event event{};
            event.events = reg->poll_flags;
            event.data.u64 = reg->id;
            if (epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, sock_fd(reg->sock), &event) == 0) {
                reg->paused_until_ms = 0;
            }
        }
    }

    // Fixed at creation.
    const descriptor epoll_;
    const descriptor wake_;
    const int max_events_;

    std::atomic<bool> stop_{false};

    // State below is protected by mutex_.
    std::mutex mutex_;
    std::condition_variable finished_cv_;
    std::map<sock_event_id, std::shared_ptr<registration>> registrations_;
    std::vector<sock_event_id> pending_removals_;
    sock_env_settings settings_;
    bool running_ = false;
    std::thread::id thread_id_;

    // Joining and detaching the thread, by whoever stops or releases the loop.
    std::mutex join_mutex_;
    std::thread thread_;
};

// The process's loop. Callers take a reference under the mutex and use the loop without it, so
// that a handler may call in while another thread waits for the loop to stop.
std::mutex g_env_mutex;
std::shared_ptr<event_loop> g_env;

std::shared_ptr<event_loop> current_loop() {
    std::lock_guard lock(g_env_mutex);
    return g_env;
}

sock_event_id add_registration(std::unique_ptr<registration> reg) {
    std::shared_ptr<event_loop> loop = current_loop();
    if (!loop) {
        NET_LOG(LOG_ERR, "sock_add_event: no event loop\n");
        sock_close(reg->sock);
        return 0;
    }
    return loop->add(std::move(reg));
}

bool valid_socket(sock_handle sock, const char* what) {
    if (sock_fd(sock) >= 0) return true;
    NET_LOG(LOG_ERR, "%s: no socket\n", what);
    return false;
}

}  // namespace

int sock_env_init(const sock_env_param* param) {
    std::lock_guard lock(g_env_mutex);
    if (g_env) return 0;
    const sock_env_param defaults{};
    std::shared_ptr<event_loop> loop = event_loop::create(param != nullptr ? *param : defaults);
    if (!loop || loop->start() != 0) return -1;
    g_env = std::move(loop);
    return 0;
}

int sock_env_set(const sock_env_settings* settings) {
    std::shared_ptr<event_loop> loop = current_loop();
    if (!loop || settings == nullptr) return -1;
    loop->set(*settings);
    return 0;
}

int sock_env_stop() {
    std::shared_ptr<event_loop> loop = current_loop();
    return loop ? loop->stop() : 0;
}

int sock_env_exit() {
    std::shared_ptr<event_loop> loop;
    {
        std::lock_guard lock(g_env_mutex);
        loop.swap(g_env);
    }
    if (!loop) return 0;
    if (loop->stop() != 0) {
        loop->let_go();
        return -1;
    }
    return 0;
}

sock_event_id sock_add_event(sock_handle sock, uint32_t poll_flags, sock_event_handler handler,
                             void* context) {
    if (!valid_socket(sock, "sock_add_event")) return 0;
    auto reg = std::make_unique<registration>();
    reg->type = SOCK_EVENT_CONN;
    reg->sock = sock;
    reg->handler = handler;
    reg->context = context;
    reg->poll_flags = poll_flags != 0 ? poll_flags : POLLIN;
    if (handler == nullptr) {
        NET_LOG(LOG_ERR, "sock_add_event: no handler\n");
        sock_close(sock);
        return 0;
    }
    return add_registration(std::move(reg));
}

sock_event_id sock_add_listen(sock_handle sock, const char* name, sock_event_handler handler,
                              sock_work_proc work, void* context) {
    if (!valid_socket(sock, "sock_add_listen")) return 0;
    if (handler == nullptr && work == nullptr) {
        NET_LOG(LOG_ERR, "sock_add_listen: neither a handler nor a work procedure\n");
        sock_close(sock);
        return 0;
    }
    // Accepting goes on until none is pending: on a blocking socket that last accept would
    // hold the loop.
    const int flags = fcntl(sock_fd(sock), F_GETFL);
    if (flags < 0 || fcntl(sock_fd(sock), F_SETFL, flags | O_NONBLOCK) != 0) {
        NET_LOG(LOG_ERR | LOG_ERRNO, "sock_add_listen sock=%d: ", sock_fd(sock));
        sock_close(sock);
        return 0;
    }
    auto reg = std::make_unique<registration>();
    reg->type = SOCK_EVENT_LISTEN;
    reg->sock = sock;
    reg->handler = handler;
    reg->work = work;
    reg->context = context;
    reg->name = name != nullptr ? name : "sock";
    reg->poll_flags = POLLIN;
    return add_registration(std::move(reg));
}

sock_event_id sock_add_dgram(sock_handle sock, sock_event_handler handler, void* context) {
    if (!valid_socket(sock, "sock_add_dgram")) return 0;
    if (handler == nullptr) {
        NET_LOG(LOG_ERR, "sock_add_dgram: no handler\n");
        sock_close(sock);
        return 0;
    }
    auto reg = std::make_unique<registration>();
    reg->type = SOCK_EVENT_DGRAM;
    reg->sock = sock;
    reg->handler = handler;
    reg->context = context;
    reg->poll_flags = POLLIN;
    return add_registration(std::move(reg));
}

int sock_del_event(sock_event_id id) {
    std::shared_ptr<event_loop> loop = current_loop();
    return loop ? loop->remove(id) : -1;
}
