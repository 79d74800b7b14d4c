// Net handles of every kind, the TLS hooks and opening from a URL, against real descriptors and
// loopback sockets.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "lib/librdir/log_capture.h"
#include "libnet/net_sock.h"
#include "libpal/url.h"
#include "loopback.h"

namespace {

using loopback::fd_owner;

// The environment's proxy would take every connection of these tests elsewhere.
const int kNoEnvironmentProxy = unsetenv("http_proxy");

std::string read_text(net_handle* handle, size_t len) {
    std::string buf(len, '\0');
    ptrdiff_t n = net_read(handle, buf.data(), len);
    return n < 0 ? "<error>" : buf.substr(0, static_cast<size_t>(n));
}

ptrdiff_t write_text(net_handle* handle, const std::string& text) {
    return net_write(handle, text.data(), text.size());
}

struct pipe_pair {
    fd_owner read_end;
    fd_owner write_end;
    pipe_pair() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) == 0) {
            read_end.reset(fds[0]);
            write_end.reset(fds[1]);
        }
    }
};

// ---- memory buffer
// --------------------------------------------------------------------------------

class MemHandle : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(net_open(&handle_, "net://mem", 0), 0); }
    void TearDown() override { net_close(&handle_); }
    net_handle handle_;
};

TEST_F(MemHandle, ReadsWhatWasWrittenThenAFreshExchangeStarts) {
    EXPECT_EQ(handle_.kind, NET_KIND_MEM);
    EXPECT_EQ(write_text(&handle_, "0123456789"), 10);
    EXPECT_EQ(read_text(&handle_, 4), "0123");
    EXPECT_EQ(read_text(&handle_, 10), "456789");
    EXPECT_EQ(read_text(&handle_, 10), "");
    EXPECT_EQ(write_text(&handle_, "ab"), 2);
    EXPECT_EQ(read_text(&handle_, 10), "ab");
}

TEST_F(MemHandle, WritesBeforeAnyReadAppend) {
    EXPECT_EQ(write_text(&handle_, "abc"), 3);
    EXPECT_EQ(write_text(&handle_, "def"), 3);
    EXPECT_EQ(read_text(&handle_, 100), "abcdef");
}

TEST_F(MemHandle, WriteAfterAPartialReadKeepsTheUnreadBytes) {
    EXPECT_EQ(write_text(&handle_, "0123456789"), 10);
    EXPECT_EQ(read_text(&handle_, 4), "0123");
    EXPECT_EQ(write_text(&handle_, "xyz"), 3);
    EXPECT_EQ(read_text(&handle_, 100), "456789xyz");
}

TEST_F(MemHandle, CloseFreesTheBufferAndReopenStartsEmpty) {
    EXPECT_EQ(write_text(&handle_, "abc"), 3);
    EXPECT_EQ(net_close(&handle_), 0);
    EXPECT_EQ(handle_.mem.capacity(), 0u);
    ASSERT_EQ(net_open(&handle_, "net://mem", 0), 0);
    EXPECT_EQ(read_text(&handle_, 10), "");
}

// ---- kinds without a carrier of their own
// ---------------------------------------------------------

TEST(NetHandleKinds, UnknownKindFailsEveryOperation) {
    for (int kind : {-1, 7, 100}) {
        net_handle handle;
        handle.kind = kind;
        char buf[4] = "abc";
        EXPECT_EQ(net_read(&handle, buf, sizeof buf), -1) << kind;
        EXPECT_EQ(net_write(&handle, buf, sizeof buf), -1) << kind;
        EXPECT_EQ(net_write(&handle, buf, 0), -1) << kind;
        EXPECT_EQ(net_close(&handle), -1) << kind;
    }
}

TEST(NetHandleKinds, ZeroByteWriteDoesNotTouchTheCarrier) {
    // A socket handle without a socket would fail any real write.
    net_handle handle;
    handle.timeout_ms = 100;
    EXPECT_EQ(net_write(&handle, "x", 0), 0);
    EXPECT_EQ(net_write(&handle, "x", 1), -1);
}

TEST(NetHandleKinds, CloseClearsStopAndDisconnectedOfEveryKind) {
    for (int kind : {NET_KIND_SOCK, NET_KIND_STDIO, NET_KIND_PIPE_SRV, NET_KIND_PIPE_CLI,
                     NET_KIND_SERIAL, NET_KIND_MEM}) {
        net_handle handle;
        handle.kind = kind;
        handle.stop = 1;
        handle.disconnected = true;
        // The serial line's descriptor stays its opener's: closing reports that.
        EXPECT_EQ(net_close(&handle), kind == NET_KIND_SERIAL ? -1 : 0) << kind;
        EXPECT_EQ(handle.stop.load(), 0u) << kind;
        EXPECT_FALSE(handle.disconnected) << kind;
    }
}

// ---- TLS hooks
// --------------------------------------------------------------------------------------

struct hook_log {
    std::string calls;
    bool socket_open_at_free = false;
};
hook_log g_hooks;

ptrdiff_t fake_read(net_handle*, void* buf, size_t len) {
    g_hooks.calls += "read;";
    std::memset(buf, 'r', len);
    return static_cast<ptrdiff_t>(len);
}
ptrdiff_t fake_write(net_handle*, const void*, size_t len) {
    g_hooks.calls += "write;";
    return static_cast<ptrdiff_t>(len);
}
ptrdiff_t proc_read(net_handle*, void*, size_t len) {
    g_hooks.calls += "proc_read;";
    return static_cast<ptrdiff_t>(len);
}
ptrdiff_t proc_write(net_handle*, const void*, size_t len) {
    g_hooks.calls += "proc_write;";
    return static_cast<ptrdiff_t>(len);
}
void fake_free(net_handle* handle) {
    g_hooks.calls += "free;";
    g_hooks.socket_open_at_free = loopback::is_open(sock_fd(handle->sock));
}

class TlsHooks : public ::testing::Test {
  protected:
    void SetUp() override {
        g_hooks = {};
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        handle_.sock = sock_from_fd(fds[0]);
        peer_.reset(fds[1]);
        handle_.ssl = &channel_;
        handle_.timeout_ms = 200;
    }
    void TearDown() override {
        net_ssl_set_proc(nullptr, nullptr);
        net_close(&handle_);
    }
    net_handle handle_;
    fd_owner peer_;
    int channel_ = 0;
};

TEST_F(TlsHooks, HandleHooksCarryTheBytesNotTheSocket) {
    net_set_hooks(&handle_, fake_read, fake_write, fake_free);
    net_ssl_set_proc(proc_read, proc_write);
    EXPECT_EQ(write_text(&handle_, "hello"), 5);
    EXPECT_EQ(read_text(&handle_, 3), "rrr");
    EXPECT_EQ(g_hooks.calls, "write;read;");
    EXPECT_EQ(loopback::read_some(peer_.get(), 50), "");
}

TEST_F(TlsHooks, ProcessProceduresServeHandlesWithoutHooks) {
    net_ssl_set_proc(proc_read, proc_write);
    EXPECT_EQ(write_text(&handle_, "hello"), 5);
    EXPECT_EQ(read_text(&handle_, 3).size(), 3u);
    EXPECT_EQ(g_hooks.calls, "proc_write;proc_read;");
}

TEST_F(TlsHooks, NeitherHooksNorProceduresFailInsteadOfCrashing) {
    log_capture log;
    EXPECT_EQ(write_text(&handle_, "hello"), -1);
    EXPECT_EQ(read_text(&handle_, 3), "<error>");
    EXPECT_TRUE(log.has("g_ssl_write_proc!=NULL"));
    EXPECT_TRUE(log.has("g_ssl_read_proc!=NULL"));
    EXPECT_EQ(loopback::read_some(peer_.get(), 50), "");
}

TEST_F(TlsHooks, CloseFreesTheChannelWhileTheSocketIsStillOpen) {
    net_set_hooks(&handle_, fake_read, fake_write, fake_free);
    const int fd = sock_fd(handle_.sock);
    EXPECT_EQ(net_close(&handle_), 0);
    EXPECT_EQ(g_hooks.calls, "free;");
    EXPECT_TRUE(g_hooks.socket_open_at_free);
    EXPECT_EQ(handle_.ssl, nullptr);
    EXPECT_EQ(handle_.sock, 0);
    EXPECT_FALSE(loopback::is_open(fd));
}

// ---- named pipes and the serial line
// ----------------------------------------------------------------

TEST(PipeHandle, ServingSideReadsOnePipeAndWritesTheOther) {
    pipe_pair in;
    pipe_pair out;
    net_handle handle;
    handle.kind = NET_KIND_PIPE_SRV;
    handle.fd = in.read_end.get();
    handle.write_fd = out.write_end.get();
    handle.timeout_ms = 2000;
    ASSERT_EQ(write(in.write_end.get(), "ping", 4), 4);
    EXPECT_EQ(read_text(&handle, 100), "ping");
    EXPECT_EQ(write_text(&handle, "pong"), 4);
    char buf[8] = {};
    EXPECT_EQ(read(out.read_end.get(), buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "pong");
    EXPECT_EQ(net_close(&handle), 0);
    EXPECT_TRUE(loopback::is_open(in.read_end.get()));  // the opener's to close
}

TEST(PipeHandle, ClientSideTimesOutThenSeesTheWriterGo) {
    pipe_pair in;
    net_handle handle;
    handle.kind = NET_KIND_PIPE_CLI;
    handle.fd = in.read_end.get();
    handle.timeout_ms = 50;
    EXPECT_EQ(read_text(&handle, 10), "");
    EXPECT_EQ(handle.status, VERR_TIMEOUT);
    EXPECT_FALSE(handle.disconnected);
    in.write_end.reset();
    EXPECT_EQ(read_text(&handle, 10), "");
    EXPECT_TRUE(handle.disconnected);
    EXPECT_EQ(read_text(&handle, 10), "<error>");
}

TEST(PipeHandle, WriteToAPipeWithoutReaderFailsAndTheProcessLives) {
    pipe_pair out;
    out.read_end.reset();
    net_handle handle;
    handle.kind = NET_KIND_PIPE_CLI;
    handle.fd = out.write_end.get();
    handle.timeout_ms = 100;
    EXPECT_EQ(write_text(&handle, "lost"), -1);
    EXPECT_TRUE(handle.disconnected);
}

TEST(PipeHandle, StopEndsAWaitingRead) {
    pipe_pair in;
    net_handle handle;
    handle.kind = NET_KIND_PIPE_SRV;
    handle.fd = in.read_end.get();
    handle.timeout_ms = 60000;
    std::thread stopper([&handle] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        handle.stop = 1;
    });
    EXPECT_EQ(read_text(&handle, 10), "<error>");
    EXPECT_EQ(handle.status, VERR_NET_USER_STOP);
    stopper.join();
}

TEST(SerialHandle, ReadsUntilTheLengthTheLineEndsOrGoesQuiet) {
    struct row {
        const char* name;
        bool close_writer;
        size_t want;
        const char* expected;
        verr status;
    };
    for (const row& r : {row{"whole length", false, 3, "abc", VERR_SUCCESS},
                         row{"zero read ends it", true, 10, "abcde", VERR_EOF},
                         row{"quiet line times out", false, 10, "abcde", VERR_TIMEOUT}}) {
        pipe_pair line;
        net_handle handle;
        handle.kind = NET_KIND_SERIAL;
        handle.fd = line.read_end.get();
        handle.timeout_ms = 100;
        ASSERT_EQ(write(line.write_end.get(), "abc", 3), 3);
        std::thread writer([&line, &r] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            (void)!write(line.write_end.get(), "de", 2);
            if (r.close_writer) line.write_end.reset();
        });
        // The first read may see "abc" alone; the rest arrives within the time-out.
        std::string got = read_text(&handle, r.want);
        writer.join();
        EXPECT_EQ(got, r.expected) << r.name;
        EXPECT_EQ(handle.status, r.status) << r.name;
    }
}

TEST(SerialHandle, WritesAllAndTheOpenerKeepsTheDescriptor) {
    pipe_pair line;
    net_handle handle;
    handle.kind = NET_KIND_SERIAL;
    handle.fd = line.write_end.get();
    handle.timeout_ms = 100;
    EXPECT_EQ(write_text(&handle, "AT\r\n"), 4);
    EXPECT_EQ(loopback::read_some(line.read_end.get(), 1000), "AT\r\n");
    EXPECT_EQ(net_close(&handle), -1);
    EXPECT_TRUE(loopback::is_open(line.write_end.get()));
}

// ---- standard input and output
// ------------------------------------------------------------------------

// Points a standard descriptor elsewhere for the life of the object.
class redirect final {
  public:
    redirect(int std_fd, int target) : std_fd_(std_fd), saved_(dup(std_fd)) {
        std::fflush(stdout);
        dup2(target, std_fd);
    }
    ~redirect() {
        std::fflush(stdout);
        std::clearerr(stdout);
        std::clearerr(stdin);
        dup2(saved_.get(), std_fd_);
    }

  private:
    int std_fd_;
    fd_owner saved_;
};

TEST(StdioHandle, ReadsStandardInputToItsEnd) {
    pipe_pair in;
    ASSERT_EQ(write(in.write_end.get(), "line\n", 5), 5);
    in.write_end.reset();
    redirect r(STDIN_FILENO, in.read_end.get());
    net_handle handle;
    handle.kind = NET_KIND_STDIO;
    EXPECT_EQ(read_text(&handle, 3), "lin");
    EXPECT_EQ(read_text(&handle, 10), "e\n");
    EXPECT_EQ(net_close(&handle), 0);
}

TEST(StdioHandle, WriteIsFlushedAndAFullDeviceIsAnError) {
    // Checked once standard output is back: a failure message goes there too.
    pipe_pair out;
    ptrdiff_t written = 0;
    std::string seen;
    {
        redirect r(STDOUT_FILENO, out.write_end.get());
        net_handle handle;
        handle.kind = NET_KIND_STDIO;
        written = write_text(&handle, "visible");
        // Flushed by the write itself: the reader has it before anything else flushes.
        seen = loopback::read_some(out.read_end.get(), 1000);
    }
    EXPECT_EQ(written, 7);
    EXPECT_EQ(seen, "visible");

    fd_owner full(open("/dev/full", O_WRONLY | O_CLOEXEC));
    ASSERT_GE(full.get(), 0);
    {
        redirect r(STDOUT_FILENO, full.get());
        net_handle handle;
        handle.kind = NET_KIND_STDIO;
        written = write_text(&handle, "lost");
    }
    EXPECT_EQ(written, -1);
}

// ---- opening from a URL
// --------------------------------------------------------------------------------

struct open_case {
    const char* name;
    std::string url;
    const char* log_text;
};

void PrintTo(const open_case& c, std::ostream* os) {
    *os << c.name << " [" << c.url << "]";
}

class NetOpenRefused : public ::testing::TestWithParam<open_case> {};

TEST_P(NetOpenRefused, FailsWithItsLogLineAndLeavesTheHandleClosed) {
    const open_case& c = GetParam();
    log_capture log;
    net_handle handle;
    EXPECT_EQ(net_open(&handle, c.url.c_str(), 500), -1);
    EXPECT_TRUE(log.has(c.log_text)) << c.log_text;
    EXPECT_EQ(handle.sock, 0);
}

// A port with nothing listening: bound for the test's life, never listening.
uint16_t closed_port() {
    static fd_owner fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length);
    getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

INSTANTIATE_TEST_SUITE_P(
    Urls, NetOpenRefused,
    ::testing::Values(
        open_case{"udp", "udp://127.0.0.1:9000", "unkouwn protocol [udp]"},
        open_case{"tcp without port", "tcp://127.0.0.1", "needs to specify the port"},
        open_case{"tcps without port", "tcps://127.0.0.1/x", "needs to specify the port"},
        open_case{"no scheme", "127.0.0.1:80", "url 127.0.0.1:80 syntax error"},
        open_case{"no host", "tcp://:8000", "url tcp://:8000 syntax error"},
        open_case{"tcps", "tcps://127.0.0.1:8443", "TLS is not available"},
        open_case{"https default port", "https://127.0.0.1", "TLS is not available"},
        open_case{"nothing listening", "tcp://127.0.0.1:" + std::to_string(closed_port()),
                  "tcp_connect 127.0.0.1 error: connect"}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& ch : name) {
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        }
        return name;
    });

TEST(NetOpen, TcpConnectsAndMovesBytesBothWays) {
    loopback::listener server;
    ASSERT_TRUE(server.ok());
    net_handle handle;
    ASSERT_EQ(net_open(&handle, ("tcp://127.0.0.1:" + std::to_string(server.port())).c_str(), 2000),
              0);
    EXPECT_EQ(handle.kind, NET_KIND_SOCK);
    EXPECT_EQ(handle.timeout_ms, 2000);
    fd_owner peer(server.accept_one());
    ASSERT_GE(peer.get(), 0);
    EXPECT_EQ(write_text(&handle, "request"), 7);
    EXPECT_EQ(loopback::read_some(peer.get(), 2000), "request");
    ASSERT_EQ(send(peer.get(), "answer", 6, 0), 6);
    EXPECT_EQ(read_text(&handle, 6), "answer");
    const int fd = sock_fd(handle.sock);
    EXPECT_EQ(net_close(&handle), 0);
    EXPECT_FALSE(loopback::is_open(fd));
    EXPECT_TRUE(loopback::peer_closed_within(peer.get(), 2000));
}

TEST(NetOpen, AProxyProfileThatCannotBeLoadedFailsTheOpen) {
    loopback::listener server;
    ASSERT_TRUE(server.ok());
    unsetenv("DV_PROXY_FILE");
    log_capture log;
    net_handle handle;
    const std::string url =
        "http://127.0.0.1:" + std::to_string(server.port()) + "/index?proxy=corp";
    EXPECT_EQ(net_open(&handle, url.c_str(), 2000), -1);
    EXPECT_TRUE(log.has("conf_proxy_get [corp] error: %DV_ENV_PROXY_FILE% Is NULL"));
    EXPECT_FALSE(loopback::readable_within(server.fd(), 0));  // nothing connected
}

TEST(NetOpen, TcpThroughTheProxyOfItsProxyUrl) {
    loopback::listener proxy;
    ASSERT_TRUE(proxy.ok());
    std::string request;
    std::thread peer_thread([&] {
        fd_owner peer(proxy.accept_one());
        while (request.find("\r\n\r\n") == std::string::npos) {
            const std::string more = loopback::read_some(peer.get(), 2000);
            if (more.empty()) return;
            request += more;
        }
        const std::string answer = "HTTP/1.1 200 OK\r\n\r\nhello";
        send(peer.get(), answer.data(), answer.size(), MSG_NOSIGNAL);
        loopback::peer_closed_within(peer.get(), 2000);
    });
    net_handle handle;
    const std::string proxy_url = "http://127.0.0.1:" + std::to_string(proxy.port());
    const std::string url = "tcp://192.0.2.7:4000/?proxy_url=" + str_escape_url_args(proxy_url);
    ASSERT_EQ(net_open(&handle, url.c_str(), 2000), 0);
    EXPECT_EQ(read_text(&handle, 5), "hello");
    net_close(&handle);
    peer_thread.join();
    EXPECT_EQ(request, "CONNECT 192.0.2.7:4000 HTTP/1.1\r\nHost: 192.0.2.7:4000\r\n\r\n");
}

}  // namespace
