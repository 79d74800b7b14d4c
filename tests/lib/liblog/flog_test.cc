#include "liblog/flog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lib/liblog/stderr_capture.h"
#include "lib/test_support/temp_dir.h"

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

namespace {

using dvtest::read_file;
using dvtest::write_file;

class Flog : public ::testing::Test {
  protected:
    dvtest::TempDir tmp_{"flog_test"};
    std::string dir_ = tmp_.path();
    std::string path_ = tmp_.at("login.log");
};

TEST_F(Flog, AppendsToAnExistingFile) {
    write_file(path_, "old\n");
    flog* log = flog_open(path_.c_str(), 0);
    ASSERT_NE(nullptr, log);
    EXPECT_EQ(0, flog_last_result(log));
    EXPECT_EQ(0, flog_write(log, "one\n", 4));
    EXPECT_EQ(0, flog_printf(log, "\t%s\t%s\n", "info", "two"));
    EXPECT_EQ(0, flog_last_result(log));
    flog_close(log);
    EXPECT_EQ("old\none\n\tinfo\ttwo\n", read_file(path_));
}

TEST_F(Flog, TimePrefixOnEveryWrite) {
    flog* log = flog_open(path_.c_str(), FLOG_OPT_TIME);
    ASSERT_NE(nullptr, log);
    flog_write(log, "a\n", 2);
    flog_write(log, "b\n", 2);
    flog_close(log);
    const char* stamp = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} ";
    EXPECT_THAT(read_file(path_), MatchesRegex(std::string(stamp) + "a\n" + stamp + "b\n"));
}

TEST_F(Flog, PrintfFormatsAtMost4096Bytes) {
    flog* log = flog_open(path_.c_str(), 0);
    ASSERT_NE(nullptr, log);
    std::string big(5000, 'x');
    EXPECT_EQ(0, flog_printf(log, "%s", big.c_str()));
    flog_close(log);
    EXPECT_EQ(std::string(4095, 'x'), read_file(path_));
}

TEST_F(Flog, OpenFailureLogsAndGivesNoHandle) {
    StderrCapture capture;
    std::string bad = dir_ + "/missing/login.log";
    EXPECT_EQ(nullptr, flog_open(bad.c_str(), 0));
    EXPECT_EQ(nullptr, flog_open(nullptr, 0));
    EXPECT_THAT(capture.text(),
                HasSubstr("fopen " + bad + " error: " + std::string(strerror(ENOENT)) + "\n"));
}

TEST_F(Flog, DeletedFileIsCreatedAgain) {
    flog* log = flog_open(path_.c_str(), 0);
    ASSERT_NE(nullptr, log);
    flog_write(log, "before\n", 7);
    ASSERT_EQ(0, unlink(path_.c_str()));
    EXPECT_EQ(0, flog_write(log, "after\n", 6));
    flog_close(log);
    EXPECT_EQ("after\n", read_file(path_));
}

TEST_F(Flog, WriteFailureIsReportedNotSwallowed) {
    flog* log = flog_open("/dev/full", 0);
    ASSERT_NE(nullptr, log);
    EXPECT_EQ(-1, flog_write(log, "lost\n", 5));
    EXPECT_EQ(-1, flog_last_result(log));
    flog_close(log);
    EXPECT_EQ(-1, flog_write(nullptr, "x", 1));
}

TEST_F(Flog, SizeCapKeepsNewestWholeLines) {
    constexpr uint64_t kMax = 2048;
    flog* log = flog_open(path_.c_str(), 0);
    ASSERT_NE(nullptr, log);
    flog_set_max_size(log, kMax);
    size_t longest = 0;
    for (int i = 0; i < 300; ++i) {
        std::string line = "line " + std::to_string(i) + " " + std::string(i % 97, '.') + "\n";
        longest = std::max(longest, line.size());
        ASSERT_EQ(0, flog_write(log, line.data(), line.size()));
        std::string content = read_file(path_);
        ASSERT_LT(content.size(), kMax + longest) << i;
        ASSERT_EQ('l', content.front()) << i;  // starts at a line boundary
        ASSERT_EQ('\n', content.back());
    }
    flog_close(log);
    std::string content = read_file(path_);
    EXPECT_THAT(content, HasSubstr("line 299 "));
    EXPECT_LT(content.size(), kMax);
}

struct CutCase {
    const char* name;
    std::string content;
    uint64_t max;
    int result;
    std::string expected;
};

class KeepNewestHalf : public Flog, public ::testing::WithParamInterface<CutCase> {};

TEST_P(KeepNewestHalf, CutsAtTheFirstLineFeedOfTheTail) {
    const CutCase& c = GetParam();
    for (const char* mode : {"a+", "a", "r+"}) {
        write_file(path_, c.content);
        FILE* file = fopen(path_.c_str(), mode);
        ASSERT_NE(nullptr, file);
        fseek(file, 0, SEEK_END);
        EXPECT_EQ(c.result, log_file_keep_newest_half(file, path_.c_str(), c.max)) << mode;
        fputs("+\n", file);  // later writes go to the end
        fclose(file);
        EXPECT_EQ(c.expected + "+\n", read_file(path_)) << mode;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KeepNewestHalf,
    ::testing::Values(CutCase{"BelowCap", "abc\ndef\n", 100, 0, "abc\ndef\n"},
                      CutCase{"NoCap", std::string(500, 'x'), 0, 0, std::string(500, 'x')},
                      // tail of 10 bytes is "22\n333333\n": keep what follows its first '\n'
                      CutCase{"AtCap", "0000\n1111\n22\n333333\n", 20, 1, "333333\n"},
                      CutCase{"NoLineFeedInTail", "ab\ncdefghij", 10, 1, "ghij"},
                      CutCase{"TailStartsOnLineBoundary", "aaaa\nbbbb\n", 10, 1, ""}),
    [](const ::testing::TestParamInfo<CutCase>& info) { return info.param.name; });

TEST_F(Flog, WriteOnlyStreamIsReadByName) {
    write_file(path_, "0000\n1111\n22\n333333\n");
    FILE* file = fopen(path_.c_str(), "w");  // truncates: write the content through it
    ASSERT_NE(nullptr, file);
    fputs("0000\n1111\n22\n333333\n", file);
    EXPECT_EQ(1, log_file_keep_newest_half(file, path_.c_str(), 20));
    fputs("+\n", file);
    fclose(file);
    EXPECT_EQ("333333\n+\n", read_file(path_));
}

TEST_F(Flog, ThreadsNeverInterleave) {
    flog* log = flog_open(path_.c_str(), 0);
    ASSERT_NE(nullptr, log);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([log, t] {
            std::string line(50 + t * 20, static_cast<char>('a' + t));
            line += '\n';
            for (int i = 0; i < 200; ++i) flog_write(log, line.data(), line.size());
        });
    }
    for (std::thread& t : threads) t.join();
    flog_close(log);
    std::istringstream in(read_file(path_));
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        ASSERT_FALSE(line.empty());
        int t = line[0] - 'a';
        ASSERT_EQ(std::string(50 + t * 20, line[0]), line);
        ++count;
    }
    EXPECT_EQ(800, count);
}

}  // namespace
