#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "lib/liblog/stderr_capture.h"
#include "lib/liblogsink/loopback.h"
#include "liblog/log2.h"
#include "liblog/log2_sink.h"
#include "liblogsink/log_sinks.h"

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;

namespace {

std::string expected_hostname() {
    char name[256] = "";
    gethostname(name, sizeof(name) - 1);
    std::string host = name;
    if (host.empty() || host == "(none)") host = "unknown";
    return host.substr(0, 32);
}

std::string regex_escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::string(".[]{}()*+?^$|\\").find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out;
}

// A private context with the console off, so that only the syslog sink sees the lines.
class SyslogSink : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("DVDBGLOG");
        ASSERT_EQ(0, log_sinks_install());
        ctx_ = log2_ctx_new();
        int off = 0;
        ASSERT_EQ(0, log2_ioctl(ctx_, 40, &off, -1));
    }
    void TearDown() override {
        log2_exit(ctx_);
        log2_diag_enable(false);
    }

    int configure(const std::string& url) {
        return log2_ioctl(ctx_, 24, const_cast<char*>(url.c_str()), -1);
    }
    void enable(int on = 1) { ASSERT_EQ(0, log2_ioctl(ctx_, 43, &on, -1)); }
    void set_flags(uint32_t flags) { ASSERT_EQ(0, log2_ioctl(ctx_, 2, &flags, -1)); }
    void set_level(int level) { ASSERT_EQ(0, log2_ioctl(ctx_, 1, &level, -1)); }
    void info(const char* text) {
        log2_printf(ctx_, LOG_INFO, "cdir", "w.cc", 7, "fn", "%s", text);
    }

    // "<pri>Mmm dd hh:mm:ss host tag[pid]: " as a pattern.
    static std::string head_pattern(int priority, const std::string& tag) {
        return "<" + std::to_string(priority) +
               ">[A-Z][a-z]{2} [ 0-3][0-9] [0-9]{2}:[0-9]{2}:" + "[0-9]{2} " +
               regex_escape(expected_hostname()) + " " + tag + "\\[" + std::to_string(getpid()) +
               "\\]: ";
    }

    log2_ctx* ctx_ = nullptr;
};

TEST_F(SyslogSink, UdpMessageBytes) {
    loopback::udp_receiver receiver;
    ASSERT_TRUE(receiver.ok());
    ASSERT_EQ(0, configure("udp://127.0.0.1:" + std::to_string(receiver.port())));
    enable();
    set_flags(LOG_FLAGS_DEFAULT);  // colour, time, thread id, function
    info("hello 1\n");

    auto message = receiver.receive();
    ASSERT_TRUE(message.has_value());
    // Sent with its terminating NUL, and nothing after it.
    ASSERT_FALSE(message->empty());
    EXPECT_EQ('\0', message->back());
    const std::string text = message->substr(0, message->size() - 1);
    EXPECT_EQ(std::string::npos, text.find('\0'));
    // The console line without its "HH:MM:SS " prefix, no colour codes.
    const std::string body = "[" + std::to_string(os_thread_id()) + "] fn(): hello 1\n";
    EXPECT_THAT(text, MatchesRegex(head_pattern(14, "cdir") + regex_escape(body)));
}

TEST_F(SyslogSink, PriorityAndBodyFollowLevelAndFlags) {
    loopback::udp_receiver receiver;
    ASSERT_TRUE(receiver.ok());
    ASSERT_EQ(0, configure("udp://127.0.0.1:" + std::to_string(receiver.port())));
    enable();
    set_level(LOG_VERB);

    struct Case {
        uint32_t level;
        uint32_t flags;
        int priority;
        const char* body;
    };
    const Case cases[] = {
        {LOG_CRIT | LOG_NOEXIT, LOG_FLAG_FUNC, 10, "fn(): m\n"},
        {LOG_ERR, LOG_FLAG_FUNC, 11, "fn(): m\n"},
        {LOG_WARN, LOG_FLAG_FUNC, 12, "fn(): m\n"},
        {LOG_NOTI, LOG_FLAG_FUNC, 13, "fn(): m\n"},
        {LOG_DBG, LOG_FLAG_FUNC, 15, "fn(): m\n"},
        {LOG_VERB, LOG_FLAG_FUNC, 15, "fn(): m\n"},  // no syslog severity beyond debug
        // "HH:MM:SS.mmm " is 13 characters.
        {LOG_INFO, LOG_FLAG_TIME_MS | LOG_FLAG_FUNC, 14, "fn(): m\n"},
        // With both time options the short form wins.
        {LOG_INFO, LOG_FLAG_TIME | LOG_FLAG_TIME_MS, 14, "m\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.priority);
        set_flags(c.flags);
        log2_printf(ctx_, c.level, "rdir", "w.cc", 1, "fn", "m\n");
        auto message = receiver.receive();
        ASSERT_TRUE(message.has_value());
        EXPECT_THAT(*message, MatchesRegex(head_pattern(c.priority, "rdir") + regex_escape(c.body) +
                                           std::string(1, '\0')));
    }
}

TEST_F(SyslogSink, LongLinesAreCutAt800Characters) {
    loopback::udp_receiver receiver;
    ASSERT_TRUE(receiver.ok());
    ASSERT_EQ(0, configure("udp://127.0.0.1:" + std::to_string(receiver.port())));
    enable();
    set_flags(0);
    info(std::string(2000, 'x').c_str());
    auto message = receiver.receive();
    ASSERT_TRUE(message.has_value());
    EXPECT_THAT(*message, MatchesRegex(head_pattern(14, "cdir") + "x{800}" + std::string(1, '\0')));
}

TEST_F(SyslogSink, DisabledOrUnconfiguredSendsNothing) {
    loopback::udp_receiver receiver;
    ASSERT_TRUE(receiver.ok());
    enable();
    info("before configuring\n");
    ASSERT_EQ(0, configure("udp://127.0.0.1:" + std::to_string(receiver.port())));
    enable(0);
    info("switched off\n");
    enable(1);
    info("on\n");
    auto message = receiver.receive();
    ASSERT_TRUE(message.has_value());
    EXPECT_THAT(*message, HasSubstr(": on\n"));
    EXPECT_FALSE(receiver.receive(200).has_value());
}

TEST_F(SyslogSink, TcpMessagesAreNulTerminatedOnOneConnection) {
    loopback::tcp_listener listener;
    ASSERT_TRUE(listener.ok());
    ASSERT_EQ(0, configure("tcp://127.0.0.1:" + std::to_string(listener.port())));
    enable();
    set_flags(LOG_FLAG_FUNC);
    info("first\n");
    info("second\n");

    int conn = listener.accept_one();
    ASSERT_GE(conn, 0);
    auto first = loopback::read_to_nul(conn);
    auto second = loopback::read_to_nul(conn);
    close(conn);
    ASSERT_TRUE(first.has_value());
    ASSERT_TRUE(second.has_value());
    EXPECT_THAT(*first, MatchesRegex(head_pattern(14, "cdir") + "fn\\(\\): first\n" +
                                     std::string(1, '\0')));
    EXPECT_THAT(*second, MatchesRegex(head_pattern(14, "cdir") + "fn\\(\\): second\n" +
                                      std::string(1, '\0')));
}

TEST_F(SyslogSink, TcpServerThatClosedGetsTheNextLineOnANewConnection) {
    loopback::tcp_listener listener;
    ASSERT_TRUE(listener.ok());
    ASSERT_EQ(0, configure("tcp://127.0.0.1:" + std::to_string(listener.port())));
    enable();
    set_flags(0);

    info("one\n");
    int first = listener.accept_one();
    ASSERT_GE(first, 0);
    ASSERT_TRUE(loopback::read_to_nul(first).has_value());
    close(first);

    info("two\n");
    int second = listener.accept_one();
    ASSERT_GE(second, 0);
    auto message = loopback::read_to_nul(second);
    close(second);
    ASSERT_TRUE(message.has_value());
    EXPECT_THAT(*message, HasSubstr(": two\n"));
}

TEST_F(SyslogSink, UdpReconnectsOnceAfterAFailedSend) {
    auto receiver = std::make_unique<loopback::udp_receiver>();
    ASSERT_TRUE(receiver->ok());
    const uint16_t port = receiver->port();
    ASSERT_EQ(0, configure("udp://127.0.0.1:" + std::to_string(port)));
    enable();
    set_flags(0);
    info("one\n");
    ASSERT_TRUE(receiver->receive().has_value());

    // With the receiver gone, the port-unreachable answer to this datagram leaves an error on the
    // sink's socket, so that the next send fails.
    receiver.reset();
    info("lost\n");
    {
        // Once a probe has seen its own answer, the sink's has arrived as well.
        int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to = loopback::address(port);
        ASSERT_EQ(0, connect(probe, reinterpret_cast<sockaddr*>(&to), sizeof(to)));
        ASSERT_EQ(1, send(probe, "p", 1, 0));
        pollfd p{probe, POLLIN, 0};
        poll(&p, 1, loopback::kWaitMs);
        close(probe);
    }

    loopback::udp_receiver again(port);
    ASSERT_TRUE(again.ok());
    info("three\n");
    auto message = again.receive();
    ASSERT_TRUE(message.has_value());
    EXPECT_THAT(*message, HasSubstr(": three\n"));
}

TEST_F(SyslogSink, ConnectFailureIsShownOnceAndLoggingGoesOn) {
    uint16_t port = 0;
    {
        loopback::tcp_listener closed;  // an ephemeral port that nobody listens on afterwards
        ASSERT_TRUE(closed.ok());
        port = closed.port();
    }
    ASSERT_EQ(0, configure("tcp://127.0.0.1:" + std::to_string(port)));
    enable();
    StderrCapture capture;
    info("one\n");
    info("two\n");
    const std::string out = capture.text();
    const std::string expected = "failed to connect to 127.0.0.1 port " + std::to_string(port);
    EXPECT_THAT(out, HasSubstr(expected));
    EXPECT_EQ(out.find(expected), out.rfind(expected)) << out;
}

TEST_F(SyslogSink, TcpWithoutPortUsesTheSyslogConnService) {
    // 601 is the registered port of "syslog-conn"; binding it needs privileges.
    loopback::tcp_listener listener(601);
    enable();
    ASSERT_EQ(0, configure("tcp://127.0.0.1"));
    set_flags(0);
    if (!listener.ok()) {
        StderrCapture capture;
        info("nobody there\n");
        EXPECT_THAT(capture.text(), HasSubstr("127.0.0.1 port syslog-conn"));
        return;
    }
    info("to 601\n");
    int conn = listener.accept_one();
    ASSERT_GE(conn, 0);
    auto message = loopback::read_to_nul(conn);
    close(conn);
    ASSERT_TRUE(message.has_value());
    EXPECT_THAT(*message, HasSubstr(": to 601\n"));
}

TEST_F(SyslogSink, BadUrlsAreRefusedWithoutShowingThePassword) {
    log2_diag_enable(true);
    const char* bad[] = {"not a url", "/var/log/x", "udp://user:secret@", "tcp://:514"};
    for (const char* url : bad) {
        SCOPED_TRACE(url);
        StderrCapture capture;
        EXPECT_EQ(-1, configure(url));
        const std::string out = capture.text();
        EXPECT_THAT(out, HasSubstr("url_parser "));
        EXPECT_THAT(out, HasSubstr(" failed\n"));
        EXPECT_THAT(out, Not(HasSubstr("secret")));
    }
}

TEST_F(SyslogSink, RefusedUrlKeepsThePreviousServer) {
    loopback::udp_receiver receiver;
    ASSERT_TRUE(receiver.ok());
    ASSERT_EQ(0, configure("udp://127.0.0.1:" + std::to_string(receiver.port())));
    enable();
    EXPECT_EQ(-1, configure("nonsense"));
    info("still here\n");
    auto message = receiver.receive();
    ASSERT_TRUE(message.has_value());
    EXPECT_THAT(*message, HasSubstr("still here\n"));
}

}  // namespace
