#include "liblog/log2.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "lib/liblog/stderr_capture.h"
#include "liblog/log2_sink.h"

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t lf = text.find('\n', start);
        if (lf == std::string::npos) lf = text.size();
        lines.push_back(text.substr(start, lf - start));
        start = lf + 1;
    }
    return lines;
}

// A private context per test, so the settings of one test never leak into another.
class Log2 : public ::testing::Test {
  protected:
    void SetUp() override { ctx_ = log2_ctx_new(); }
    void TearDown() override { log2_exit(ctx_); }

    void set_flags(uint32_t flags) { ASSERT_EQ(0, log2_ioctl(ctx_, 2, &flags, sizeof(flags))); }
    void set_level(int level) { ASSERT_EQ(0, log2_ioctl(ctx_, 1, &level, sizeof(level))); }
    void set_colour(int mode) { ASSERT_EQ(0, log2_ioctl(ctx_, 41, &mode, sizeof(mode))); }
    int level() {
        int value = -100;
        EXPECT_EQ(0, log2_ioctl(ctx_, 7, &value, sizeof(value)));
        return value;
    }

    log2_ctx* ctx_ = nullptr;
};

TEST(Log2Global, DebugLineIsCyanWithTimeThreadIdAndFunction) {
    int always = LOG_COLOUR_ALWAYS;
    ASSERT_EQ(0, log2_ioctl(nullptr, 41, &always, sizeof(always)));
    StderrCapture capture;
    DV_LOG("pal", LOG_DBG, "hello %d\n", 42);
    std::string out = capture.text();
    int automatic = LOG_COLOUR_AUTO;
    ASSERT_EQ(0, log2_ioctl(nullptr, 41, &automatic, sizeof(automatic)));
    std::string expected_tid = "[" + std::to_string(os_thread_id()) + "] ";
    EXPECT_THAT(out, StartsWith("\033[36m"));
    EXPECT_THAT(out, MatchesRegex("\033\\[36m[0-9]{2}:[0-9]{2}:[0-9]{2} \\[[0-9]+\\] "
                                  "TestBody\\(\\): hello 42\033\\[0m\n"));
    EXPECT_THAT(out, HasSubstr(expected_tid));
}

TEST(Log2Global, LevelSixSuppressesDebugAndIsRestored) {
    int saved = 0;
    ASSERT_EQ(0, log2_ioctl(nullptr, 7, &saved, sizeof(saved)));
    ASSERT_EQ(0, log2_ioctl(nullptr, 3, const_cast<char*>("info"), -1));
    StderrCapture capture;
    DV_LOG("pal", LOG_DBG, "hidden\n");
    DV_LOG("pal", LOG_INFO, "shown\n");
    std::string out = capture.text();
    ASSERT_EQ(0, log2_ioctl(nullptr, 1, &saved, sizeof(saved)));
    EXPECT_THAT(out, Not(HasSubstr("hidden")));
    EXPECT_THAT(out, HasSubstr("shown"));
}

TEST(Log2Global, ExitStartsAFreshDefaultContext) {
    int level = LOG_ERR;
    ASSERT_EQ(0, log2_ioctl(nullptr, 1, &level, sizeof(level)));
    log2_exit(nullptr);
    log2_exit(nullptr);  // a second exit is harmless
    ASSERT_EQ(0, log2_ioctl(nullptr, 7, &level, sizeof(level)));
    EXPECT_EQ(LOG_DBG, level);
    EXPECT_STREQ("", log2_recent_lines());
}

// A server's messages carry clients' texts: with command 50, no control byte of a message but
// its closing line feed reaches a sink as itself.
TEST_F(Log2, EscapedMessagesCannotStartALineOfTheirOwn) {
    set_flags(0);
    const int on = 1;
    ASSERT_EQ(0, log2_ioctl(ctx_, 50, const_cast<int*>(&on), -1));
    StderrCapture capture;
    log2_printf(ctx_, LOG_ERR, "pal", __FILE__, __LINE__, __func__, "name [%s] gone\n",
                "a\nFORGED\r\t\x7f\x1b[31m");
    log2_printf(ctx_, LOG_ERR, "pal", __FILE__, __LINE__, __func__, "plain [%s]\n", "ok");
    EXPECT_EQ("name [a\\x0aFORGED\\x0d\\x09\\x7f\\x1b[31m] gone\nplain [ok]\n", capture.text());
    const int off = 0;
    ASSERT_EQ(0, log2_ioctl(ctx_, 50, const_cast<int*>(&off), -1));
}

TEST_F(Log2, ErrnoTextIsAppendedAndErrnoKept) {
    set_flags(0);
    int fd = open("/nonexistent-dir/file", O_RDONLY);
    ASSERT_EQ(-1, fd);
    ASSERT_EQ(ENOENT, errno);
    StderrCapture capture;
    log2_printf(ctx_, LOG_ERR | LOG_ERRNO, "pal", __FILE__, __LINE__, __func__,
                "open %s error: ", "/nonexistent-dir/file");
    EXPECT_EQ(ENOENT, errno);
    EXPECT_EQ("open /nonexistent-dir/file error: " + std::string(strerror(ENOENT)) + "\n",
              capture.text());
}

TEST_F(Log2, ColourByLevel) {
    struct Case {
        uint32_t level;
        const char* colour;  // null: none
    };
    const Case cases[] = {
        {LOG_CRIT | LOG_NOEXIT, "\033[01;07;31m"},
        {LOG_ERR, "\033[01;31m"},
        {LOG_WARN, "\033[01;33m"},
        {LOG_NOTI, "\033[07;37m"},
        {LOG_INFO, nullptr},
        {LOG_DBG, "\033[36m"},
        {LOG_VERB, "\033[32m"},
    };
    set_level(LOG_VERB);
    set_flags(LOG_FLAG_COLOUR);
    set_colour(LOG_COLOUR_ALWAYS);
    for (const Case& c : cases) {
        StderrCapture capture;
        log2_printf(ctx_, c.level, "t", "f.cc", 1, "fn", "msg");
        std::string expected =
            c.colour == nullptr ? std::string("msg\n") : std::string(c.colour) + "msg\033[0m\n";
        EXPECT_EQ(expected, capture.text()) << "level " << (c.level & 0xff);
    }
    set_flags(0);
    StderrCapture capture;
    log2_printf(ctx_, LOG_ERR, "t", "f.cc", 1, "fn", "plain\n");
    EXPECT_EQ("plain\n", capture.text());
}

// Standard error on the slave side of a pseudo-terminal in raw mode (no "\r\n" translation),
// for as long as the object lives; what was written is read back from the master side.
class PtyStderr final {
  public:
    PtyStderr() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        int slave = open(ptsname(master_), O_RDWR | O_NOCTTY);
        if (slave < 0) return;
        termios raw{};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        fflush(stderr);
        saved_ = dup(2);
        dup2(slave, 2);
        close(slave);
        fcntl(master_, F_SETFL, O_NONBLOCK);
    }
    ~PtyStderr() {
        restore();
        if (master_ >= 0) close(master_);
    }
    PtyStderr(const PtyStderr&) = delete;
    PtyStderr& operator=(const PtyStderr&) = delete;

    bool ok() const { return saved_ >= 0; }
    // Everything written so far; stops the redirection.
    std::string text() {
        restore();
        std::string all;
        char buf[4096];
        for (ssize_t n; (n = read(master_, buf, sizeof(buf))) > 0;) all.append(buf, n);
        return all;
    }

  private:
    void restore() {
        if (saved_ < 0) return;
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    int master_ = -1;
    int saved_ = -1;
};

// Sets or clears NO_COLOR for the life of the object.
class NoColorEnv final {
  public:
    explicit NoColorEnv(const char* value) {
        if (const char* old = getenv("NO_COLOR")) saved_ = old;
        if (value != nullptr) {
            setenv("NO_COLOR", value, 1);
        } else {
            unsetenv("NO_COLOR");
        }
    }
    ~NoColorEnv() {
        if (saved_) {
            setenv("NO_COLOR", saved_->c_str(), 1);
        } else {
            unsetenv("NO_COLOR");
        }
    }
    NoColorEnv(const NoColorEnv&) = delete;
    NoColorEnv& operator=(const NoColorEnv&) = delete;

  private:
    std::optional<std::string> saved_;
};

struct ColourCase {
    const char* name;
    bool terminal;         // standard error is a pseudo-terminal, else a file
    const char* no_color;  // NO_COLOR's value, null: unset
    int mode;              // command 41
    bool coloured;
};
void PrintTo(const ColourCase& c, std::ostream* os) {
    *os << c.name;
}

class Log2Colour : public ::testing::TestWithParam<ColourCase> {};

TEST_P(Log2Colour, CodesOnlyWhereAllowed) {
    const ColourCase& c = GetParam();
    log2_ctx* ctx = log2_ctx_new();
    uint32_t flags = LOG_FLAG_COLOUR;
    ASSERT_EQ(0, log2_ioctl(ctx, 2, &flags, sizeof(flags)));
    int mode = c.mode;
    ASSERT_EQ(0, log2_ioctl(ctx, 41, &mode, sizeof(mode)));
    NoColorEnv env(c.no_color);
    std::string out;
    if (c.terminal) {
        PtyStderr pty;
        ASSERT_TRUE(pty.ok());
        log2_printf(ctx, LOG_ERR, "t", "f.cc", 1, "fn", "red\n");
        out = pty.text();
    } else {
        StderrCapture capture;
        log2_printf(ctx, LOG_ERR, "t", "f.cc", 1, "fn", "red\n");
        out = capture.text();
    }
    log2_exit(ctx);
    EXPECT_EQ(c.coloured ? std::string("\033[01;31mred\033[0m\n") : std::string("red\n"), out);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Log2Colour,
    ::testing::Values(ColourCase{"AutoTerminal", true, nullptr, LOG_COLOUR_AUTO, true},
                      ColourCase{"AutoFile", false, nullptr, LOG_COLOUR_AUTO, false},
                      ColourCase{"AutoTerminalNoColor", true, "1", LOG_COLOUR_AUTO, false},
                      ColourCase{"AutoTerminalEmptyNoColor", true, "", LOG_COLOUR_AUTO, true},
                      ColourCase{"NeverTerminal", true, nullptr, LOG_COLOUR_NEVER, false},
                      ColourCase{"AlwaysFile", false, nullptr, LOG_COLOUR_ALWAYS, true},
                      ColourCase{"AlwaysFileNoColor", false, "1", LOG_COLOUR_ALWAYS, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Log2, ColourModeOutOfRangeRefused) {
    int bad = 3;
    EXPECT_EQ(-1, log2_ioctl(ctx_, 41, &bad, sizeof(bad)));
    EXPECT_EQ(-1, log2_ioctl(ctx_, 41, nullptr, -1));
}

TEST_F(Log2, ColourResetBeforeTheLastLineFeedOnly) {
    set_flags(LOG_FLAG_COLOUR);
    set_colour(LOG_COLOUR_ALWAYS);
    StderrCapture capture;
    log2_printf(ctx_, LOG_WARN, "t", "f.cc", 1, "fn", "one\ntwo\n");
    EXPECT_EQ("\033[01;33mone\ntwo\033[0m\n", capture.text());
}

// The status line: drawn in place, moved below each log line, blanked at the end, and a show
// after the end writes nothing.
TEST_F(Log2, StatusLineStaysBelowLogLinesAndIsErasedAtTheEnd) {
    set_flags(0);
    StderrCapture capture;
    EXPECT_EQ(-1, log2_status_show(ctx_, "before begin"));
    ASSERT_EQ(0, log2_status_begin(ctx_));
    EXPECT_EQ(0, log2_status_show(ctx_, "12 files"));
    log2_printf(ctx_, LOG_INFO, "t", "f.cc", 1, "fn", "a log line\n");
    EXPECT_EQ(0, log2_status_show(ctx_, "3"));
    EXPECT_EQ(0, log2_status_end(ctx_));
    EXPECT_EQ(-1, log2_status_show(ctx_, "after end"));
    log2_printf(ctx_, LOG_INFO, "t", "f.cc", 1, "fn", "report\n");
    const std::string blank8 = "\r" + std::string(8, ' ') + "\r";
    EXPECT_EQ("\r12 files" + blank8 + "a log line\n\r12 files" + "\r3" + std::string(7, ' ') +
                  blank8 + "report\n",
              capture.text());
}

TEST_F(Log2, StatusLineShowsControlBytesAsQuestionMarksAndCountsColumns) {
    StderrCapture capture;
    ASSERT_EQ(0, log2_status_begin(ctx_));
    EXPECT_EQ(0, log2_status_show(ctx_, "a\033[2Jb\ncaf\xc3\xa9"));
    EXPECT_EQ(0, log2_status_end(ctx_));
    // "a?[2Jb?café" is 11 columns on the screen though 12 bytes long.
    EXPECT_EQ("\ra?[2Jb?caf\xc3\xa9\r" + std::string(11, ' ') + "\r", capture.text());
}

TEST_F(Log2, StatusLineNeedsTheConsole) {
    int off = 0;
    ASSERT_EQ(0, log2_ioctl(ctx_, 40, &off, sizeof(off)));
    StderrCapture capture;
    ASSERT_EQ(0, log2_status_begin(ctx_));
    EXPECT_EQ(-1, log2_status_show(ctx_, "hidden"));
    EXPECT_EQ(0, log2_status_end(ctx_));
    EXPECT_EQ("", capture.text());
}

TEST_F(Log2, PrefixesInOrder) {
    ASSERT_EQ(0, os_thread_name_set("pfx"));
    char name[128];
    os_thread_name_get(name, sizeof(name));
    set_flags(LOG_FLAG_TID | LOG_FLAG_TID_NAME | LOG_FLAG_FILE | LOG_FLAG_FILE_BASE |
              LOG_FLAG_FUNC);
    StderrCapture capture;
    log2_printf(ctx_, LOG_INFO, "t", "/src/lib/x/file.cc", 12, "do_it", "m\n");
    std::string expected =
        "[" + std::to_string(os_thread_id()) + "] [" + name + "] [file.cc:12] do_it(): m\n";
    EXPECT_EQ(expected, capture.text());
    os_thread_name_del();
}

TEST_F(Log2, FilePrefixKeepsWholePathWithoutBaseFlagAndCutsAtBackslash) {
    set_flags(LOG_FLAG_FILE);
    {
        StderrCapture capture;
        log2_printf(ctx_, LOG_INFO, "t", "/a/b.cc", 3, nullptr, "m\n");
        EXPECT_EQ("[/a/b.cc:3] m\n", capture.text());
    }
    set_flags(LOG_FLAG_FILE | LOG_FLAG_FILE_BASE);
    StderrCapture capture;
    log2_printf(ctx_, LOG_INFO, "t", "c:\\dir\\b.cc", 3, "", "m\n");
    EXPECT_EQ("[b.cc:3] m\n", capture.text());
}

TEST_F(Log2, TimePrefixForms) {
    set_flags(LOG_FLAG_TIME_MS);
    {
        StderrCapture capture;
        log2_printf(ctx_, LOG_INFO, "t", nullptr, 0, nullptr, "m\n");
        EXPECT_THAT(capture.text(), MatchesRegex("[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} m\n"));
    }
    set_flags(LOG_FLAG_TIME_MS | LOG_FLAG_TIME);  // seconds win
    StderrCapture capture;
    log2_printf(ctx_, LOG_INFO, "t", nullptr, 0, nullptr, "m\n");
    EXPECT_THAT(capture.text(), MatchesRegex("[0-9]{2}:[0-9]{2}:[0-9]{2} m\n"));
}

TEST_F(Log2, LineFeedAddedAndLongMessageCut) {
    set_flags(0);
    std::string long_text(20000, 'x');
    StderrCapture capture;
    log2_printf(ctx_, LOG_INFO, "t", nullptr, 0, nullptr, "no newline");
    log2_printf(ctx_, LOG_INFO, "t", nullptr, 0, nullptr, "%s", long_text.c_str());
    std::string out = capture.text();
    std::vector<std::string> lines = split_lines(out);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("no newline", lines[0]);
    EXPECT_EQ(8191u, lines[1].size());
    EXPECT_EQ('\n', out.back());
}

TEST_F(Log2, RecordOnlyLinesAndDisabledConsoleWriteNothing) {
    set_flags(0);
    StderrCapture capture;
    log2_printf(ctx_, LOG_ERR | LOG_RECONLY, "t", nullptr, 0, nullptr, "record only\n");
    int off = 0;
    ASSERT_EQ(0, log2_ioctl(ctx_, 40, &off, -1));
    log2_printf(ctx_, LOG_ERR, "t", nullptr, 0, nullptr, "console off\n");
    EXPECT_EQ("", capture.text());
}

TEST(Log2Flags, NamesToBits) {
    struct Case {
        const char* text;
        uint32_t flags;
    };
    const Case cases[] = {
        {nullptr, 32},         {"", 32},
        {"no_colour", 0},      {"time", 34},
        {"time_ms", 96},       {"time|time_ms", 96},
        {"time_ms|time", 98},  {"func|tid", 37},
        {"tid_name", 160},     {"file", 56},
        {"time|tid|func", 39}, {" func | no_colour ", 4},
        {"func||tid", 37},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.flags, log_flags_2_int(c.text)) << (c.text ? c.text : "(null)");
    }
}

TEST(Log2Flags, UnknownNameIsReportedAndSkipped) {
    StderrCapture capture;
    EXPECT_EQ(36u, log_flags_2_int("func|bogus"));
    EXPECT_EQ("Invalid tags: [bogus]\n", capture.text());
}

TEST_F(Log2, FlagsFromNamesByCommand) {
    ASSERT_EQ(0, log2_ioctl(ctx_, 4, const_cast<char*>("no_colour|func"), -1));
    StderrCapture capture;
    log2_printf(ctx_, LOG_ERR, "t", nullptr, 0, "f", "m\n");
    EXPECT_EQ("f(): m\n", capture.text());
}

TEST_F(Log2, LevelByName) {
    struct Case {
        const char* name;
        int level;
    };
    const Case cases[] = {{"crit", 2}, {"err", 3}, {"warn", 4}, {"noti", 5},
                          {"info", 6}, {"dbg", 7}, {"verb", 8}};
    for (const Case& c : cases) {
        EXPECT_EQ(0, log2_ioctl(ctx_, 3, const_cast<char*>(c.name), -1)) << c.name;
        EXPECT_EQ(c.level, level()) << c.name;
        EXPECT_STREQ(c.name, log_level_name(c.level));
    }
    EXPECT_STREQ("ERROR", log_level_file_name(LOG_ERR));
    EXPECT_STREQ("DEBUG", log_level_file_name(LOG_DBG));
}

TEST_F(Log2, BadLevelNameKeepsTheLevelAndCritStillShows) {
    set_level(LOG_WARN);
    StderrCapture capture;
    EXPECT_EQ(-1, log2_ioctl(ctx_, 3, const_cast<char*>("loud"), -1));
    EXPECT_EQ(-1, log2_ioctl(ctx_, 3, nullptr, -1));
    EXPECT_EQ(LOG_WARN, level());
    set_flags(0);
    log2_printf(ctx_, LOG_CRIT | LOG_NOEXIT, "t", nullptr, 0, nullptr, "still here\n");
    EXPECT_EQ("error: invalid level [loud]\nerror: invalid level []\nstill here\n", capture.text());
}

TEST_F(Log2, CommandArgumentErrors) {
    int value = 5;
    int too_low = 1;
    int too_high = 256;
    EXPECT_EQ(-1, log2_ioctl(ctx_, 1, nullptr, -1));
    EXPECT_EQ(-1, log2_ioctl(ctx_, 1, &too_low, sizeof(int)));
    EXPECT_EQ(-1, log2_ioctl(ctx_, 1, &too_high, sizeof(int)));
    EXPECT_EQ(-1, log2_ioctl(ctx_, 7, &value, 3));
    EXPECT_EQ(-1, log2_ioctl(ctx_, 7, nullptr, 4));
    EXPECT_EQ(LOG_DBG, level());
    // Without a sink provider the sink commands fail, the enable flags are only recorded.
    for (int command : {20, 21, 22, 23, 24}) {
        EXPECT_EQ(-1, log2_ioctl(ctx_, command, const_cast<char*>("x"), -1)) << command;
    }
    int on = 1;
    EXPECT_EQ(0, log2_ioctl(ctx_, 42, &on, -1));
    EXPECT_EQ(0, log2_ioctl(ctx_, 43, &on, -1));

    StderrCapture capture;
    EXPECT_EQ(-1, log2_ioctl(ctx_, 44, &value, -1));
    EXPECT_EQ(-1, log2_ioctl(ctx_, 0, &value, -1));
    EXPECT_EQ("Invalid command code\nInvalid command code\n", capture.text());
}

std::vector<std::string>* hook_calls = nullptr;

void low_hook(uint32_t level, const char* text, size_t length) {
    hook_calls->push_back("low " + std::to_string(level & 0xff) + " " + std::string(text, length));
}
void high_hook(uint32_t level, const char* text, size_t length) {
    hook_calls->push_back("high " + std::to_string(level & 0xff) + " " + std::string(text, length));
}

TEST_F(Log2, OutputHooksOnlyWhenBothAreSet) {
    std::vector<std::string> calls;
    hook_calls = &calls;
    set_flags(0);
    int off = 0;
    ASSERT_EQ(0, log2_ioctl(ctx_, 40, &off, -1));
    log2_out_hook low = low_hook;
    log2_out_hook high = high_hook;
    ASSERT_EQ(0, log2_ioctl(ctx_, 5, &low, sizeof(low)));
    log2_printf(ctx_, LOG_ERR, "t", nullptr, 0, nullptr, "one\n");
    EXPECT_TRUE(calls.empty());
    ASSERT_EQ(0, log2_ioctl(ctx_, 6, &high, sizeof(high)));
    log2_printf(ctx_, LOG_WARN, "t", nullptr, 0, nullptr, "two\n");
    log2_printf(ctx_, LOG_NOTI, "t", nullptr, 0, nullptr, "three\n");
    EXPECT_THAT(calls, ::testing::ElementsAre("low 4 two\n", "high 5 three\n"));
    EXPECT_EQ(-1, log2_ioctl(ctx_, 5, nullptr, -1));
    hook_calls = nullptr;
}

TEST(Log2Assert, FailureLogsTwoLinesAndExecutionGoesOn) {
    StderrCapture capture;
    int x = 1;
    bool held = DV_ASSERT("pal", x == 1);
    bool failed = DV_ASSERT("pal", x == 2);
    std::string out = capture.text();
    EXPECT_TRUE(held);
    EXPECT_FALSE(failed);
    EXPECT_THAT(out, HasSubstr("expr[x == 2]: assert failed\n"));
    EXPECT_THAT(out, HasSubstr("[release no stack info]\n"));
    EXPECT_THAT(out, Not(HasSubstr("x == 1")));
}

// The recent-lines buffer belongs to the global context; each test starts it afresh.
class Log2Recent : public ::testing::Test {
  protected:
    void SetUp() override {
        log2_exit(nullptr);
        int off = 0;
        uint32_t flags = 0;
        log2_ioctl(nullptr, 40, &off, -1);
        log2_ioctl(nullptr, 2, &flags, -1);
    }
    void TearDown() override { log2_exit(nullptr); }

    static void line(const std::string& text) { DV_LOG("t", LOG_INFO, "%s\n", text.c_str()); }
};

TEST_F(Log2Recent, KeepsWholeLinesNewestLast) {
    line("first");
    line("second");
    EXPECT_STREQ("first\nsecond\n", log2_recent_lines());
}

TEST_F(Log2Recent, OldLinesDroppedWholeToMakeRoom) {
    std::string a(400, 'a'), b(400, 'b'), c(400, 'c');
    line(a);
    line(b);
    line(c);  // 1203 bytes would not fit: "a..." goes
    EXPECT_EQ(b + "\n" + c + "\n", std::string(log2_recent_lines()));
    std::string d(1000, 'd');
    line(d);  // both older lines go
    EXPECT_EQ(d + "\n", std::string(log2_recent_lines()));
}

TEST_F(Log2Recent, LineTooLongForTheBufferLeavesItAlone) {
    line("keep");
    line(std::string(1023, 'z'));  // with its line feed and NUL it can never fit
    EXPECT_STREQ("keep\n", log2_recent_lines());
    line(std::string(1022, 'y'));  // exactly fits once everything else is gone
    EXPECT_EQ(std::string(1022, 'y') + "\n", std::string(log2_recent_lines()));
}

TEST(Log2Crit, CritLineIsWrittenThenTheProcessExitsWithOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(DV_LOG("pal", LOG_CRIT, "fatal %s\n", "thing"), ::testing::ExitedWithCode(1),
                "fatal thing");
}

TEST(Log2Crit, NoExitBitKeepsTheProcess) {
    StderrCapture capture;
    DV_LOG("pal", LOG_CRIT | LOG_NOEXIT, "survived\n");
    EXPECT_THAT(capture.text(), HasSubstr("survived"));
}

TEST(ThreadName, RegisteredNameFormatAndRemoval) {
    char buf[128];
    std::thread([&] {
        std::string own = std::to_string(os_thread_id());
        EXPECT_EQ(own, std::string(os_thread_name_get(buf, sizeof(buf))));
        ASSERT_EQ(0, os_thread_name_set("worker"));
        EXPECT_THAT(std::string(os_thread_name_get(buf, sizeof(buf))),
                    MatchesRegex("worker_[0-9a-f]{4}_" + own));
        EXPECT_EQ(0, os_thread_name_del());
        EXPECT_EQ(own, std::string(os_thread_name_get(buf, sizeof(buf))));
        EXPECT_EQ(-1, os_thread_name_del());
    }).join();
    EXPECT_EQ(-1, os_thread_name_set(""));
    EXPECT_EQ(-1, os_thread_name_set(nullptr));
    std::string own = std::to_string(os_thread_id());
    EXPECT_EQ(own.substr(0, 2), std::string(os_thread_name_get(buf, 3)));  // cut, terminated
}

TEST(ThreadName, SameNameTwiceGetsDifferentDigits) {
    constexpr int kThreads = 8;
    std::string names[kThreads];
    // Every thread stays registered until all of them have read their names.
    std::atomic<int> registered{0};
    std::atomic<int> read{0};
    std::vector<std::thread> threads;
    for (std::string& name : names) {
        threads.emplace_back([&name, &registered, &read] {
            os_thread_name_set("cmder");
            ++registered;
            while (registered.load() < kThreads) std::this_thread::yield();
            char buf[128];
            std::string full = os_thread_name_get(buf, sizeof(buf));
            name = full.substr(0, full.rfind('_'));
            ++read;
            while (read.load() < kThreads) std::this_thread::yield();
            os_thread_name_del();
        });
    }
    for (std::thread& t : threads) t.join();
    std::vector<std::string> seen;
    for (const std::string& name : names) {
        EXPECT_THAT(name, MatchesRegex("cmder_[0-9a-f]{4}"));
        for (const std::string& other : seen) EXPECT_NE(other, name);
        seen.push_back(name);
    }
}

TEST_F(Log2, LinesOfManyThreadsNeverInterleave) {
    set_flags(LOG_FLAG_TID);
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    StderrCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            std::string payload(100 + t * 37, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) {
                log2_printf(ctx_, LOG_INFO, "t", nullptr, 0, nullptr, "%d %s\n", t,
                            payload.c_str());
            }
        });
    }
    for (std::thread& t : threads) t.join();
    std::vector<std::string> lines = split_lines(capture.text());
    ASSERT_EQ(static_cast<size_t>(kThreads * kLines), lines.size());
    const std::regex shape("\\[[0-9]+\\] ([0-3]) ([a-d]+)");
    for (const std::string& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
        int t = m[1].str()[0] - '0';
        EXPECT_EQ(std::string(100 + t * 37, static_cast<char>('a' + t)), m[2].str());
    }
}

TEST(ErrnoText, Texts) {
    char buf[256];
    EXPECT_STREQ("ok", os_strerror(0));
    EXPECT_STREQ(strerror(EACCES), os_strerror(EACCES));
    EXPECT_STREQ("ok", os_errno_str(0, buf, sizeof(buf)));
    EXPECT_STREQ(strerror(ENOENT), os_errno_str(ENOENT, buf, sizeof(buf)));
    EXPECT_STREQ("No", os_errno_str(ENOENT, buf, 3));  // bounded by the buffer
    errno = EPIPE;
    EXPECT_STREQ(strerror(EPIPE), os_last_errno_str());
}

}  // namespace
