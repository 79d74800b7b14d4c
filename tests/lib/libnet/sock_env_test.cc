// The socket event loop with real loopback sockets: accepting, work threads, datagrams, idle
// sweeps, handler results, removal and stopping.
#include "libnet/sock_env.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "lib/librdir/log_capture.h"
#include "libnet/net_sock.h"
#include "loopback.h"

namespace {

using loopback::fd_owner;
using std::chrono::milliseconds;
using clock_type = std::chrono::steady_clock;

// Hands values from the loop's threads to the test, which waits for them with a bound.
template <typename T>
class mailbox final {
  public:
    void put(T value) {
        {
            std::lock_guard lock(mutex_);
            items_.push_back(std::move(value));
        }
        cv_.notify_all();
    }
    // The next value, or `none` when nothing came within 5 s.
    T take(T none) {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, std::chrono::seconds(5), [this] { return !items_.empty(); })) {
            return none;
        }
        T value = std::move(items_.front());
        items_.pop_front();
        return value;
    }
    size_t size() {
        std::lock_guard lock(mutex_);
        return items_.size();
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<T> items_;
};

int take_accepted(sock_handle sock, uint32_t, void* context) {
    static_cast<mailbox<int>*>(context)->put(sock_fd(sock));
    return 0;
}

// Reads what is there; a closed peer ends the registration.
int drain_handler(sock_handle sock, uint32_t, void* context) {
    char buf[256];
    ptrdiff_t n = sock_recv(sock, buf, sizeof buf);
    if (n == 0) return -1;
    if (n > 0) static_cast<mailbox<std::string>*>(context)->put(std::string(buf, n));
    return 0;
}

int hang_up_handler(sock_handle, uint32_t, void* context) {
    static_cast<std::atomic<int>*>(context)->fetch_add(1);
    return -1;
}

struct work_record {
    mailbox<std::string> names;
};

struct latch {
    std::mutex mutex;
    std::condition_variable cv;
    bool entered = false;
    bool released = false;
};

// Contexts live in the fixture: a handler may run until TearDown has ended the loop.
class SockEnv : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(sock_env_init(nullptr), 0);
        ASSERT_TRUE(server_.ok());
    }
    void TearDown() override { EXPECT_EQ(sock_env_exit(), 0); }

    void set_idle(int32_t first_idle_ms, int32_t idle_ms) {
        sock_env_settings settings;
        settings.first_idle_ms = first_idle_ms;
        settings.idle_ms = idle_ms;
        ASSERT_EQ(sock_env_set(&settings), 0);
    }

    // A connected pair: the client end for the test, the server end for a registration.
    void connect_pair(fd_owner* client, sock_handle* server_side) {
        client->reset(loopback::connect_to(server_.port()));
        ASSERT_GE(client->get(), 0);
        int fd = server_.accept_one();
        ASSERT_GE(fd, 0);
        *server_side = sock_from_fd(fd);
    }

    loopback::listener server_;
    mailbox<int> accepted_;
    mailbox<std::string> got_;
    std::atomic<int> calls_{0};
    std::atomic<int> passes_{0};
    work_record record_;
    latch latch_;
};

// ---- listening sockets
// ------------------------------------------------------------------------------

TEST_F(SockEnv, ListenerHandsEveryPendingConnectionToItsHandler) {
    ASSERT_NE(
        sock_add_listen(sock_from_fd(server_.release()), "srv", take_accepted, nullptr, &accepted_),
        0u);
    ASSERT_EQ(sock_env_init(nullptr), 0);  // a second call leaves the loop as it is

    fd_owner first(loopback::connect_to(server_.port()));
    fd_owner second(loopback::connect_to(server_.port()));
    fd_owner third(loopback::connect_to(server_.port()));
    for (fd_owner* client : {&first, &second, &third}) {
        ASSERT_GE(client->get(), 0);
        fd_owner handed(accepted_.take(-1));
        ASSERT_GE(handed.get(), 0);
        EXPECT_NE(fcntl(handed.get(), F_GETFL) & O_NONBLOCK, 0);
        EXPECT_NE(fcntl(handed.get(), F_GETFD) & FD_CLOEXEC, 0);
        // The connections come in order of arrival; each is the client's.
        ASSERT_EQ(send(client->get(), "hi", 2, 0), 2);
        EXPECT_EQ(loopback::read_some(handed.get(), 2000), "hi");
    }
}

void echo_work(sock_handle sock, void* context) {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    static_cast<work_record*>(context)->names.put(name);
    std::string got = loopback::read_some(sock_fd(sock), 2000);
    (void)!send(sock_fd(sock), got.data(), got.size(), MSG_NOSIGNAL);
    sock_close(sock);
}

TEST_F(SockEnv, ListenerWithoutHandlerServesEachConnectionOnAWorkThread) {
    ASSERT_NE(sock_add_listen(sock_from_fd(server_.release()), "srv", nullptr, echo_work, &record_),
              0u);
    for (const char* text : {"one", "two"}) {
        fd_owner client(loopback::connect_to(server_.port()));
        ASSERT_GE(client.get(), 0);
        EXPECT_EQ(record_.names.take("<none>"), "srv_work");
        ASSERT_EQ(send(client.get(), text, 3, 0), 3);
        EXPECT_EQ(loopback::read_some(client.get(), 2000), text);
        EXPECT_TRUE(loopback::peer_closed_within(client.get(), 2000));
    }
}

TEST_F(SockEnv, ListenerNeedsAHandlerOrAWorkProcedure) {
    const int fd = server_.release();
    EXPECT_EQ(sock_add_listen(sock_from_fd(fd), "srv", nullptr, nullptr, nullptr), 0u);
    EXPECT_FALSE(loopback::is_open(fd));
}

// ---- datagram sockets
// ------------------------------------------------------------------------------

int take_datagram(sock_handle sock, uint32_t, void* context) {
    char buf[64];
    ptrdiff_t n = sock_recvfrom(sock, buf, sizeof buf, nullptr, nullptr);
    if (n > 0) static_cast<mailbox<std::string>*>(context)->put(std::string(buf, n));
    return 0;
}

TEST_F(SockEnv, DatagramHandlerGetsEachDatagram) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ASSERT_NE(sock_add_dgram(sock_from_fd(fd), take_datagram, &got_), 0u);

    fd_owner sender(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    for (const std::string text : {"first", "second"}) {
        ASSERT_EQ(sendto(sender.get(), text.data(), text.size(), 0,
                         reinterpret_cast<sockaddr*>(&address), length),
                  static_cast<ssize_t>(text.size()));
        EXPECT_EQ(got_.take("<none>"), text);
    }
}

// ---- connected sockets: handler results and idle sweeps
// ----------------------------------------------

TEST_F(SockEnv, HandlerGetsTheDataAndANegativeResultClosesTheRegistration) {
    fd_owner client;
    sock_handle server_side = 0;
    connect_pair(&client, &server_side);
    const sock_event_id id = sock_add_event(server_side, 0, drain_handler, &got_);
    ASSERT_NE(id, 0u);
    ASSERT_EQ(send(client.get(), "data", 4, 0), 4);
    EXPECT_EQ(got_.take("<none>"), "data");
    EXPECT_FALSE(loopback::peer_closed_within(client.get(), 100));

    // The client's half-close reaches the handler as a zero read; its -1 closes the server side.
    ASSERT_EQ(shutdown(client.get(), SHUT_WR), 0);
    EXPECT_TRUE(loopback::peer_closed_within(client.get(), 5000));
    EXPECT_EQ(sock_del_event(id), -1);
}

TEST_F(SockEnv, HandlerResultAloneClosesTheConnection) {
    fd_owner client;
    sock_handle server_side = 0;
    connect_pair(&client, &server_side);
    ASSERT_NE(sock_add_event(server_side, 0, hang_up_handler, &calls_), 0u);
    ASSERT_EQ(send(client.get(), "x", 1, 0), 1);
    EXPECT_TRUE(loopback::peer_closed_within(client.get(), 5000));
    EXPECT_EQ(calls_.load(), 1);
}

TEST_F(SockEnv, SilentConnectionIsClosedByTheFirstActivitySweep) {
    set_idle(300, 0);
    fd_owner client;
    sock_handle server_side = 0;
    connect_pair(&client, &server_side);
    const auto start = clock_type::now();
    ASSERT_NE(sock_add_event(server_side, 0, hang_up_handler, &calls_), 0u);
    EXPECT_TRUE(loopback::peer_closed_within(client.get(), 5000));
    EXPECT_GE(clock_type::now() - start, milliseconds(290));
    EXPECT_EQ(calls_.load(), 0);
}

TEST_F(SockEnv, ActiveConnectionStaysUntilTheIdleTimeAfterActivity) {
    set_idle(200, 1500);
    fd_owner client;
    sock_handle server_side = 0;
    connect_pair(&client, &server_side);
    ASSERT_NE(sock_add_event(server_side, 0, drain_handler, &got_), 0u);
    const auto sent = clock_type::now();
    ASSERT_EQ(send(client.get(), "x", 1, 0), 1);
    EXPECT_EQ(got_.take("<none>"), "x");
    // Well past the first-activity limit, still open.
    EXPECT_FALSE(loopback::peer_closed_within(client.get(), 700));
    EXPECT_TRUE(loopback::peer_closed_within(client.get(), 5000));
    EXPECT_GE(clock_type::now() - sent, milliseconds(1450));
}

TEST_F(SockEnv, WithoutIdleTimeOutsASilentConnectionStays) {
    fd_owner client;
    sock_handle server_side = 0;
    connect_pair(&client, &server_side);
    ASSERT_NE(sock_add_event(server_side, 0, hang_up_handler, &calls_), 0u);
    EXPECT_FALSE(loopback::peer_closed_within(client.get(), 1500));
}

TEST_F(SockEnv, RemovalFromAnotherThreadClosesTheSocketOnce) {
    fd_owner client;
    sock_handle server_side = 0;
    connect_pair(&client, &server_side);
    const sock_event_id id = sock_add_event(server_side, 0, hang_up_handler, &calls_);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(sock_del_event(id), 0);
    EXPECT_EQ(sock_del_event(id), -1);
    EXPECT_TRUE(loopback::peer_closed_within(client.get(), 5000));
    EXPECT_EQ(calls_.load(), 0);
}

// ---- periodic procedure and stopping
// ------------------------------------------------------------------

void count_pass(void* context) {
    static_cast<std::atomic<int>*>(context)->fetch_add(1);
}

TEST_F(SockEnv, PeriodicProcedureRunsEveryPass) {
    sock_env_settings settings;
    settings.periodic = count_pass;
    settings.periodic_context = &passes_;
    ASSERT_EQ(sock_env_set(&settings), 0);
    const auto deadline = clock_type::now() + std::chrono::seconds(5);
    while (passes_.load() < 2 && clock_type::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_GE(passes_.load(), 2);
}

TEST_F(SockEnv, StopEndsTheLoopAndLaterRegistrationsAreRefused) {
    EXPECT_EQ(sock_env_stop(), 0);
    fd_owner client;
    sock_handle server_side = 0;
    connect_pair(&client, &server_side);
    EXPECT_EQ(sock_add_event(server_side, 0, hang_up_handler, &calls_), 0u);
    EXPECT_FALSE(loopback::is_open(sock_fd(server_side)));
}

int blocking_handler(sock_handle, uint32_t, void* context) {
    auto* l = static_cast<latch*>(context);
    std::unique_lock lock(l->mutex);
    l->entered = true;
    l->cv.notify_all();
    l->cv.wait(lock, [l] { return l->released; });
    return -1;
}

TEST_F(SockEnv, StopGivesUpOnABusyHandlerInsteadOfHanging) {
    fd_owner client;
    sock_handle server_side = 0;
    connect_pair(&client, &server_side);
    ASSERT_NE(sock_add_event(server_side, 0, blocking_handler, &latch_), 0u);
    ASSERT_EQ(send(client.get(), "x", 1, 0), 1);
    {
        std::unique_lock lock(latch_.mutex);
        ASSERT_TRUE(
            latch_.cv.wait_for(lock, std::chrono::seconds(5), [this] { return latch_.entered; }));
    }
    log_capture log;
    EXPECT_EQ(sock_env_stop(), -1);
    EXPECT_TRUE(log.has("os_thread_wait_kill_exit"));
    {
        std::lock_guard lock(latch_.mutex);
        latch_.released = true;
    }
    latch_.cv.notify_all();
    // TearDown's exit now finds the loop ending and returns 0.
}

TEST_F(SockEnv, DescriptorThePollerRefusesIsClosed) {
    // Regular files cannot be polled.
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    const int fd = dup(fileno(file));
    std::fclose(file);
    EXPECT_EQ(sock_add_event(sock_from_fd(fd), 0, hang_up_handler, &calls_), 0u);
    EXPECT_FALSE(loopback::is_open(fd));
}

TEST(SockEnvAbsent, RegistrationsWithoutALoopAreRefusedAndTheirSocketsClosed) {
    ASSERT_EQ(sock_env_init(nullptr), 0);
    libnet_exit();
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    fd_owner peer(fds[1]);
    std::atomic<int> calls{0};
    EXPECT_EQ(sock_add_event(sock_from_fd(fds[0]), 0, hang_up_handler, &calls), 0u);
    EXPECT_FALSE(loopback::is_open(fds[0]));
    sock_env_settings settings;
    EXPECT_EQ(sock_env_set(&settings), -1);
    EXPECT_EQ(sock_env_stop(), 0);
    EXPECT_EQ(sock_env_exit(), 0);
}

TEST(SockEnvAbsent, ExitClosesRemainingRegistrationsAndInitStartsAfresh) {
    ASSERT_EQ(sock_env_init(nullptr), 0);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    fd_owner peer(fds[1]);
    // Outlives the test body in case a failed assertion leaves the loop running.
    static std::atomic<int> calls;
    calls = 0;
    ASSERT_NE(sock_add_event(sock_from_fd(fds[0]), 0, hang_up_handler, &calls), 0u);
    EXPECT_EQ(sock_env_exit(), 0);
    EXPECT_TRUE(loopback::peer_closed_within(peer.get(), 1000));

    ASSERT_EQ(sock_env_init(nullptr), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    fd_owner peer2(fds[1]);
    ASSERT_NE(sock_add_event(sock_from_fd(fds[0]), 0, hang_up_handler, &calls), 0u);
    ASSERT_EQ(send(peer2.get(), "x", 1, 0), 1);
    EXPECT_TRUE(loopback::peer_closed_within(peer2.get(), 5000));
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(sock_env_exit(), 0);
}

}  // namespace
