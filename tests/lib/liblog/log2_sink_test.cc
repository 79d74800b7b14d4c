// The sink provider is installed once per process, so these tests have a binary of their own.
#include "liblog/log2_sink.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/liblog/stderr_capture.h"
#include "liblog/log2.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

struct FakeSinks {
    std::vector<std::string> events;
    int opened = 0;
    int closed = 0;
    int shutdowns = 0;
    int next_result = 0;
};

FakeSinks* fake = nullptr;

void* fake_open(log2_ctx*) {
    ++fake->opened;
    return fake;
}
void fake_close(void* state) {
    EXPECT_EQ(fake, state);
    ++fake->closed;
}
int fake_ioctl(void* state, int command, void* arg, int) {
    EXPECT_EQ(fake, state);
    std::string value = command == 42 || command == 43 ? std::to_string(*static_cast<int*>(arg))
                                                       : std::string(static_cast<const char*>(arg));
    fake->events.push_back("ioctl " + std::to_string(command) + " " + value);
    return fake->next_result;
}
void fake_record(void*, const log2_line* line) {
    fake->events.push_back(std::string("record ") + line->tag + " " + line->message);
}
void fake_write(void*, const log2_line* line, bool file_on, bool syslog_on) {
    fake->events.push_back(std::string("write ") + (file_on ? "F" : "-") + (syslog_on ? "S" : "-") +
                           " " + line->tag + " [" + line->file_text + "] [" + line->console + "]");
}
void fake_shutdown() {
    ++fake->shutdowns;
}

const log2_sink_provider kFake = {fake_open,   fake_close, fake_ioctl,
                                  fake_record, fake_write, fake_shutdown};
const log2_sink_provider kOther = {};

class Log2Sinks : public ::testing::Test {
  protected:
    void SetUp() override {
        fake = &sinks_;
        ASSERT_EQ(0, log2_set_sink_provider(&kFake));
        ctx_ = log2_ctx_new();
        uint32_t flags = LOG_FLAG_FUNC;
        int off = 0;
        log2_ioctl(ctx_, 2, &flags, -1);
        log2_ioctl(ctx_, 40, &off, -1);
    }
    void TearDown() override {
        if (ctx_ != nullptr) log2_exit(ctx_);
        fake = nullptr;
    }

    FakeSinks sinks_;
    log2_ctx* ctx_ = nullptr;
};

TEST_F(Log2Sinks, OnlyOneProvider) {
    EXPECT_EQ(0, log2_set_sink_provider(&kFake));
    EXPECT_EQ(-1, log2_set_sink_provider(&kOther));
    EXPECT_EQ(-1, log2_set_sink_provider(nullptr));
}

TEST_F(Log2Sinks, SinkCommandsAreForwardedWithTheirResult) {
    int on = 1;
    EXPECT_EQ(0, log2_ioctl(ctx_, 20, const_cast<char*>("dvcp.log"), -1));
    EXPECT_EQ(0, log2_ioctl(ctx_, 24, const_cast<char*>("tcp://127.0.0.1"), -1));
    sinks_.next_result = -1;
    EXPECT_EQ(-1, log2_ioctl(ctx_, 21, const_cast<char*>("/nowhere"), -1));
    EXPECT_EQ(-1, log2_ioctl(ctx_, 42, &on, -1));
    EXPECT_THAT(sinks_.events, ElementsAre("ioctl 20 dvcp.log", "ioctl 24 tcp://127.0.0.1",
                                           "ioctl 21 /nowhere", "ioctl 42 1"));
    EXPECT_EQ(1, sinks_.opened);
}

TEST_F(Log2Sinks, LinesReachRecordAndTextSinks) {
    int on = 1;
    log2_printf(ctx_, LOG_INFO, "cdir", "f.cc", 1, "fn", "no sink enabled\n");
    ASSERT_EQ(0, log2_ioctl(ctx_, 43, &on, -1));
    sinks_.events.clear();
    log2_printf(ctx_, LOG_INFO, "", "f.cc", 1, "fn", "m1");
    log2_printf(ctx_, LOG_INFO, "net", "f.cc", 1, "fn", "m2\n");
    log2_printf(ctx_, LOG_INFO, "bsv", "f.cc", 1, "fn", "m3\n");
    log2_printf(ctx_, LOG_ERR | LOG_RECONLY, "rdir", "f.cc", 1, "fn", "m4\n");
    log2_printf(ctx_, LOG_VERB, "rdir", "f.cc", 1, "fn", "filtered\n");
    EXPECT_THAT(sinks_.events,
                ElementsAre("record tag m1", "write -S tag [fn(): m1\n] [fn(): m1\n]",
                            "write -S net [fn(): m2\n] [fn(): m2\n]",
                            "write -S bsv [fn(): m3\n] [fn(): m3\n]", "record rdir m4\n"));
}

TEST_F(Log2Sinks, ExitClosesTheContextAndGlobalExitShutsDown) {
    int on = 1;
    ASSERT_EQ(0, log2_ioctl(ctx_, 42, &on, -1));
    log2_exit(ctx_);
    ctx_ = nullptr;
    EXPECT_EQ(1, sinks_.closed);
    EXPECT_EQ(0, sinks_.shutdowns);

    log2_ioctl(nullptr, 20, const_cast<char*>("global.log"), -1);
    log2_exit(nullptr);
    EXPECT_EQ(2, sinks_.opened);
    EXPECT_EQ(2, sinks_.closed);
    EXPECT_EQ(1, sinks_.shutdowns);
}

TEST(Log2Diag, OnlyWhenEnabled) {
    StderrCapture capture;
    log2_diag("hidden %d\n", 1);
    log2_diag_enable(true);
    log2_diag("log.level=%s\n", "dbg");
    log2_diag_enable(false);
    std::string out = capture.text();
    if (getenv("DVDBGLOG") == nullptr) {
        EXPECT_EQ("log.level=dbg\n", out);
    } else {
        EXPECT_THAT(out, HasSubstr("log.level=dbg\n"));
    }
}

}  // namespace
