#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lib/liblog/stderr_capture.h"
#include "lib/test_support/temp_dir.h"
#include "liblog/log2.h"
#include "liblog/log2_sink.h"
#include "liblogsink/log_sinks.h"
#include "libpal/os_fs.h"

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

namespace {

namespace fs = std::filesystem;

// "YYYY-MM-DD hh:mm:ss.uuuuuu LEVEL pid --- [thread] tag "
const char kPrefixPattern[] =
    "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6} [A-Z ]{5} [0-9]+ --- "
    "\\[[^\\]]*\\] [a-z]+ ";

using dvtest::read_file;

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class FileSink : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("DVDBGLOG");
        ASSERT_EQ(0, log_sinks_install());
        ctx_ = log2_ctx_new();
        int off = 0;
        uint32_t flags = LOG_FLAG_FUNC;
        ASSERT_EQ(0, log2_ioctl(ctx_, 40, &off, -1));
        ASSERT_EQ(0, log2_ioctl(ctx_, 2, &flags, -1));
    }
    void TearDown() override {
        log2_exit(ctx_);
        log2_diag_enable(false);
    }

    int command(int number, const std::string& text) {
        return log2_ioctl(ctx_, number, const_cast<char*>(text.c_str()), -1);
    }
    int set_max(int64_t bytes) { return log2_ioctl(ctx_, 22, &bytes, sizeof(bytes)); }
    void open_enabled(const std::string& name) {
        ASSERT_EQ(0, command(20, name));
        int on = 1;
        ASSERT_EQ(0, log2_ioctl(ctx_, 42, &on, -1));
    }
    void info(const char* text) {
        log2_printf(ctx_, LOG_INFO, "cdir", "f.cc", 3, "fn", "%s", text);
    }

    dvtest::TempDir tmp_{"logsink_file"};
    std::string dir_ = tmp_.path();
    log2_ctx* ctx_ = nullptr;
};

TEST_F(FileSink, LinePrefixShowsTimeLevelPidThreadAndTag) {
    const std::string path = dir_ + "/app.log";
    open_enabled(path);
    info("hello\n");
    char thread[96];
    os_thread_name_get(thread, sizeof(thread));
    EXPECT_THAT(read_file(path),
                MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6} "
                             "INFO  " +
                             std::to_string(getpid()) + " --- \\[" + thread +
                             "\\] cdir fn\\(\\): hello\n"));
}

TEST_F(FileSink, LevelNamesArePaddedToFive) {
    const std::string path = dir_ + "/levels.log";
    open_enabled(path);
    int verb = LOG_VERB;
    ASSERT_EQ(0, log2_ioctl(ctx_, 1, &verb, -1));
    const uint32_t levels[] = {
        LOG_CRIT | LOG_NOEXIT, LOG_ERR, LOG_WARN, LOG_NOTI, LOG_DBG, LOG_VERB};
    for (uint32_t level : levels) log2_printf(ctx_, level, "rdir", "f.cc", 1, nullptr, "x\n");
    std::vector<std::string> names;
    for (const std::string& line : split_lines(read_file(path))) {
        names.push_back(line.substr(27, 6));
    }
    EXPECT_THAT(names,
                ::testing::ElementsAre("CRIT  ", "ERROR ", "WARN  ", "NOTI  ", "DEBUG ", "VERB  "));
}

TEST_F(FileSink, RelativeNameGoesBelowTheDirectoryAbsoluteDoesNot) {
    const std::string logs = dir_ + "/a/b/logs";
    ASSERT_EQ(0, command(21, logs));  // created with its parents
    EXPECT_TRUE(fs::is_directory(logs));
    open_enabled("rel.log");
    info("one\n");
    EXPECT_THAT(read_file(logs + "/rel.log"), HasSubstr("one\n"));

    open_enabled(dir_ + "/abs.log");
    info("two\n");
    EXPECT_THAT(read_file(dir_ + "/abs.log"), HasSubstr("two\n"));
    EXPECT_THAT(read_file(logs + "/rel.log"), ::testing::Not(HasSubstr("two\n")));
}

TEST_F(FileSink, RelativeDirectoryIsBelowTheExecutable) {
    char exe_dir[PL_MAX_PATH];
    ASSERT_EQ(0, os_exe_get_dir(exe_dir, sizeof(exe_dir)));
    const std::string name = "logsink_test_dir_" + std::to_string(getpid());
    ASSERT_EQ(0, command(21, name + "/logs"));
    const std::string expected = std::string(exe_dir) + name + "/logs";
    EXPECT_TRUE(fs::is_directory(expected));
    fs::remove_all(std::string(exe_dir) + name);
}

TEST_F(FileSink, DefaultModeTruncatesAnExistingFile) {
    const std::string path = dir_ + "/w.log";
    std::ofstream(path) << "old content\n";
    open_enabled(path);
    info("new\n");
    const std::string text = read_file(path);
    EXPECT_EQ(std::string::npos, text.find("old content"));
    EXPECT_THAT(text, HasSubstr("new\n"));
}

TEST_F(FileSink, CapKeepsTheNewestHalfAtLineBoundaries) {
    const std::string path = dir_ + "/capped.log";
    ASSERT_EQ(0, set_max(2048));
    open_enabled(path);
    const std::regex line_pattern(std::string(kPrefixPattern) + "fn\\(\\): line [0-9]+ x*");
    size_t longest = 0;
    bool cut_seen = false;
    uintmax_t previous = 0;
    for (int i = 0; i < 300; ++i) {
        // Lines of varying length, so that cuts land at different offsets within a line.
        const std::string message = "line " + std::to_string(i) + " " + std::string(i % 97, 'x');
        info((message + "\n").c_str());
        const std::string text = read_file(path);
        longest = std::max(longest, split_lines(text).back().size() + 1);
        ASSERT_LE(text.size(), 2048 + longest) << "after line " << i;
        if (text.size() < previous) cut_seen = true;
        previous = text.size();
        for (const std::string& line : split_lines(text)) {
            ASSERT_TRUE(std::regex_match(line, line_pattern)) << "after line " << i << ": " << line;
        }
        ASSERT_TRUE(text.ends_with(message + "\n"));
    }
    EXPECT_TRUE(cut_seen);
}

TEST_F(FileSink, ThreadsNeverInterleaveWithinTheCappedFile) {
    const std::string path = dir_ + "/threads.log";
    ASSERT_EQ(0, set_max(8192));
    open_enabled(path);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 300; ++i) {
                log2_printf(ctx_, LOG_INFO, "cdir", "f.cc", 3, "fn", "thread %d line %d %s\n", t, i,
                            std::string(static_cast<size_t>(i % 50), 'y').c_str());
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const std::regex line_pattern(std::string(kPrefixPattern) +
                                  "fn\\(\\): thread [0-3] line [0-9]+ y*");
    const std::string text = read_file(path);
    EXPECT_LE(text.size(), 8192u + 200u);
    for (const std::string& line : split_lines(text)) {
        ASSERT_TRUE(std::regex_match(line, line_pattern)) << line;
    }
}

TEST_F(FileSink, SizeBelowTheMinimumIsRefusedAndTheCapStays) {
    const std::string path = dir_ + "/min.log";
    ASSERT_EQ(0, set_max(4096));
    EXPECT_EQ(-1, set_max(1023));
    EXPECT_EQ(-1, log2_ioctl(ctx_, 22, nullptr, -1));
    open_enabled(path);
    for (int i = 0; i < 200; ++i) info("some forty bytes of text in every line\n");
    const uintmax_t size = fs::file_size(path);
    EXPECT_GT(size, 1100u);  // a cap of 1023 would keep at most about 1023 / 2 + a line
    EXPECT_LE(size, 4096u + 120u);
}

TEST_F(FileSink, DeletedOrMovedFileIsRecreatedByTheNextLine) {
    const std::string path = dir_ + "/gone.log";
    open_enabled(path);
    info("first\n");
    ASSERT_EQ(0, unlink(path.c_str()));
    info("second\n");
    std::string text = read_file(path);
    EXPECT_THAT(text, HasSubstr("second\n"));
    EXPECT_EQ(std::string::npos, text.find("first"));

    ASSERT_EQ(0, rename(path.c_str(), (dir_ + "/moved.log").c_str()));
    info("third\n");
    EXPECT_THAT(read_file(path), HasSubstr("third\n"));
    EXPECT_EQ(std::string::npos, read_file(dir_ + "/moved.log").find("third"));

    // Recreated files are appended to, not truncated.
    info("fourth\n");
    text = read_file(path);
    EXPECT_THAT(text, HasSubstr("third\n"));
    EXPECT_THAT(text, HasSubstr("fourth\n"));
}

TEST_F(FileSink, OpenFailuresReturnMinusOneWithADiagnostic) {
    log2_diag_enable(true);
    struct Case {
        std::string name;
        const char* diagnostic;
    };
    const Case cases[] = {
        {dir_ + "/missing/dir/x.log", "fopen "},
        {dir_, "fopen "},  // a directory
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StderrCapture capture;
        EXPECT_EQ(-1, command(20, c.name));
        EXPECT_THAT(capture.text(), HasSubstr(c.diagnostic));
    }
}

TEST_F(FileSink, DirectoryThatCannotBeCreatedIsRefused) {
    log2_diag_enable(true);
    const std::string blocker = dir_ + "/plain";
    std::ofstream(blocker) << "x";
    StderrCapture capture;
    EXPECT_EQ(-1, command(21, blocker + "/sub"));
    EXPECT_THAT(capture.text(), HasSubstr("os_mkdirs " + blocker + "/sub failed\n"));
}

TEST_F(FileSink, WriteErrorIsReportedAndLoggingGoesOn) {
    log2_diag_enable(true);
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    open_enabled("/dev/full");
    StderrCapture capture;
    info("does not fit\n");
    info("nor this\n");
    EXPECT_THAT(capture.text(), HasSubstr("log_file_write: fwrite error\n"));
}

}  // namespace
