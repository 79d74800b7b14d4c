#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "lib/liblog/stderr_capture.h"
#include "lib/liblogsink/bsv_reader.h"
#include "lib/test_support/real_peer.h"
#include "lib/test_support/temp_dir.h"
#include "liblog/log2.h"
#include "liblog/log2_sink.h"
#include "liblogsink/bsv.h"
#include "liblogsink/log_sinks.h"
#include "liblogsink/sink_impl.h"

using ::testing::HasSubstr;

namespace {

namespace fs = std::filesystem;
using dvtest::read_file;

// What a frame must hold for a line logged by this test's thread: the record from `pid` on.
size_t expected_frame_length(const std::vector<std::string>& strings) {
    size_t length = BSV_LOG_FIXED_SIZE - BSV_PCAP_RECORD_SKIP;
    for (const std::string& s : strings) length += s.size() + 1;
    return length;
}

std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

bool have_tshark() {
    return !run("command -v tshark 2>/dev/null").empty();
}

class BsvPcap : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("DVDBGLOG");
        ASSERT_EQ(0, log_sinks_install());
        ctx_ = log2_ctx_new();
        int off = 0;
        ASSERT_EQ(0, log2_ioctl(ctx_, 40, &off, -1));
        os_thread_name_get(thread_, sizeof(thread_));
    }
    void TearDown() override {
        log2_exit(ctx_);
        log2_diag_enable(false);
    }

    int open_file(const std::string& path, char mode = 'w') {
        EXPECT_EQ(0, logsink::set_file_mode(ctx_, mode));
        const int rc = log2_ioctl(ctx_, 20, const_cast<char*>(path.c_str()), -1);
        int on = 1;
        EXPECT_EQ(0, log2_ioctl(ctx_, 42, &on, -1));
        return rc;
    }
    void info(const std::string& text, uint32_t options = 0) {
        log2_printf(ctx_, LOG_INFO | options, "cdir", "w.cc", 7, "fn", "%s", text.c_str());
    }
    std::vector<std::string> strings_of(const std::string& text) const {
        return {"cdir", thread_, "w.cc", "7", "fn", text};
    }
    bsvtest::pcap_file read_pcap(const std::string& path) {
        auto parsed = bsvtest::parse_pcap(read_file(path));
        EXPECT_TRUE(parsed.has_value()) << path << " is not a global header and whole frames";
        return parsed.value_or(bsvtest::pcap_file{});
    }
    std::vector<std::string> messages(const std::string& path) {
        std::vector<std::string> out;
        for (const auto& frame : read_pcap(path).frames) {
            auto record = bsvtest::parse_record(frame.data, false);
            EXPECT_TRUE(record.has_value());
            if (record.has_value() && record->strings.size() == 6) {
                out.push_back(record->strings[5]);
            }
        }
        return out;
    }

    dvtest::TempDir tmp_{"logsink_pcap"};
    std::string dir_ = tmp_.path();
    log2_ctx* ctx_ = nullptr;
    char thread_[96] = "";
};

TEST_F(BsvPcap, EveryLineBecomesOneFrame) {
    const std::string path = dir_ + "/records.pcap";
    ASSERT_EQ(0, open_file(path));
    const time_t before = time(nullptr);
    info("first\n");
    log2_printf(ctx_, LOG_WARN | LOG_RECONLY, "rdir", "/x/y.cc", 12345, "walk", "second\n");
    info(std::string(3000, 'q'));  // cut to the record's 1470 bytes

    const bsvtest::pcap_file file = read_pcap(path);
    EXPECT_EQ(BSV_PCAP_MAGIC, file.magic);
    EXPECT_EQ(2, file.major);
    EXPECT_EQ(4, file.minor);
    EXPECT_EQ(0, file.zone);
    EXPECT_EQ(0u, file.accuracy);
    EXPECT_EQ(65536u, file.snapshot);
    EXPECT_EQ(147u, file.link_type);
    ASSERT_EQ(3u, file.frames.size());

    const std::vector<std::vector<std::string>> strings = {
        strings_of("first\n"),
        {"rdir", thread_, "/x/y.cc", "12345", "walk", "second\n"},
        strings_of(std::string(BSV_LOG_STRINGS_MAX - 5 - strlen(thread_) - 1 - 5 - 2 - 3 - 1, 'q')),
    };
    const int levels[] = {LOG_INFO, LOG_WARN, LOG_INFO};
    for (size_t i = 0; i < file.frames.size(); ++i) {
        SCOPED_TRACE(i);
        const bsvtest::pcap_frame& frame = file.frames[i];
        EXPECT_EQ(frame.captured, frame.original);
        EXPECT_EQ(expected_frame_length(strings[i]), frame.captured);
        EXPECT_GE(frame.sec, static_cast<uint32_t>(before));
        EXPECT_LT(frame.usec, 1000000u);
        auto record = bsvtest::parse_record(frame.data, false);
        ASSERT_TRUE(record.has_value());
        EXPECT_EQ(static_cast<uint32_t>(getpid()), record->pid);
        EXPECT_EQ(static_cast<uint32_t>(os_thread_id()), record->tid);
        EXPECT_EQ(levels[i], record->level);
        EXPECT_EQ(strings[i], record->strings);
    }
    // The full record: 1470 bytes, of which the frame holds all but the first 12.
    EXPECT_EQ(BSV_LOG_RECORD_MAX - BSV_PCAP_RECORD_SKIP, file.frames[2].captured);
}

TEST_F(BsvPcap, TsharkReadsTheFramesWeWrote) {
    if (!have_tshark()) DV_PEER_MISSING("tshark is not installed (scripts/setup.sh installs it)");
    const std::string path = dir_ + "/for tshark.pcap";
    ASSERT_EQ(0, open_file(path));
    for (const std::string& text :
         std::vector<std::string>{"a\n", "a longer line\n", std::string(2000, 'w')}) {
        info(text);
    }
    const bsvtest::pcap_file file = read_pcap(path);
    ASSERT_EQ(3u, file.frames.size());

    const std::string out =
        run("tshark -r '" + path +
            "' -T fields -e frame.len -e frame.cap_len -e frame.time_epoch 2>/dev/null");
    std::istringstream lines(out);
    std::string row;
    size_t index = 0;
    for (; std::getline(lines, row); ++index) {
        SCOPED_TRACE(row);
        ASSERT_LT(index, file.frames.size());
        const bsvtest::pcap_frame& frame = file.frames[index];
        char epoch[32];
        snprintf(epoch, sizeof(epoch), "%u.%06u", frame.sec, frame.usec);
        EXPECT_EQ(std::to_string(frame.captured) + "\t" + std::to_string(frame.captured) + "\t" +
                      epoch + "000",
                  row);
    }
    EXPECT_EQ(3u, index);
}

TEST_F(BsvPcap, TextLinesNeverEnterTheFileAndTheSinkSwitchGatesRecords) {
    const std::string path = dir_ + "/only.pcap";
    ASSERT_EQ(0, open_file(path));
    info("in\n");
    int off = 0;
    ASSERT_EQ(0, log2_ioctl(ctx_, 42, &off, -1));
    info("out\n");
    int on = 1;
    ASSERT_EQ(0, log2_ioctl(ctx_, 42, &on, -1));
    info("in again\n");
    // Parsing checks that the file is nothing but the header and whole frames.
    EXPECT_EQ((std::vector<std::string>{"in\n", "in again\n"}), messages(path));
}

TEST_F(BsvPcap, ModeDecidesBetweenAppendingAndStartingAfresh) {
    const std::string path = dir_ + "/twice.pcap";
    ASSERT_EQ(0, open_file(path, 'a'));
    info("one\n");
    ASSERT_EQ(0, open_file(path, 'a'));
    info("two\n");
    // A single global header, both frames.
    EXPECT_EQ((std::vector<std::string>{"one\n", "two\n"}), messages(path));

    ASSERT_EQ(0, open_file(path, 'w'));
    info("three\n");
    EXPECT_EQ((std::vector<std::string>{"three\n"}), messages(path));
}

TEST_F(BsvPcap, AppendingToAFileOfAnotherKindIsRefused) {
    log2_diag_enable(true);
    struct Case {
        const char* name;
        std::string content;
    };
    std::string other_link(BSV_PCAP_HEADER_SIZE, '\0');
    const uint32_t magic = BSV_PCAP_MAGIC, link = 1;
    memcpy(other_link.data(), &magic, 4);
    memcpy(other_link.data() + 20, &link, 4);
    const Case cases[] = {
        {"text log", "2024-05-01 12:00:00.000000 INFO  1 --- [main] cdir hello\n"},
        {"short", "\xd4\xc3\xb2"},
        {"other link type", other_link},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir_ + "/" + c.name + ".pcap";
        std::ofstream(path, std::ios::binary) << c.content;
        StderrCapture capture;
        EXPECT_EQ(-1, open_file(path, 'a'));
        info("must not land\n");
        EXPECT_THAT(capture.text(), HasSubstr("not a capture file"));
        EXPECT_EQ(c.content, read_file(path));
    }
}

TEST_F(BsvPcap, CapDropsWholeFramesFromTheFront) {
    const std::string path = dir_ + "/capped.pcap";
    ASSERT_EQ(0, open_file(path));
    int64_t max = 2048;
    ASSERT_EQ(0, log2_ioctl(ctx_, 22, &max, sizeof(max)));
    const size_t frame_max = BSV_PCAP_PACKET_HEADER_SIZE + 200;
    for (int i = 0; i < 200; ++i) {
        info("line " + std::to_string(i) + "\n");
        ASSERT_LT(fs::file_size(path), static_cast<uintmax_t>(max) + frame_max) << i;
    }
    const std::vector<std::string> kept = messages(path);
    ASSERT_FALSE(kept.empty());
    // The newest lines, consecutive, up to the last one.
    EXPECT_EQ("line 199\n", kept.back());
    const int first = 200 - static_cast<int>(kept.size());
    for (size_t i = 0; i < kept.size(); ++i) {
        EXPECT_EQ("line " + std::to_string(first + static_cast<int>(i)) + "\n", kept[i]);
    }
    EXPECT_GT(first, 0);
}

TEST_F(BsvPcap, DeletedFileIsRecreatedWithItsHeader) {
    const std::string path = dir_ + "/gone.pcap";
    ASSERT_EQ(0, open_file(path));
    info("before\n");
    ASSERT_EQ(0, unlink(path.c_str()));
    info("after\n");
    EXPECT_EQ((std::vector<std::string>{"after\n"}), messages(path));
}

TEST_F(BsvPcap, FailedWriteLeavesNoPartialFrame) {
    if (geteuid() != 0 || access("/bin/mount", X_OK) != 0) GTEST_SKIP() << "needs root and mount";
    const std::string mount_dir = dir_ + "/small";
    fs::create_directory(mount_dir);
    if (system(("mount -t tmpfs -o size=64k tmpfs '" + mount_dir + "' 2>/dev/null").c_str()) != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    struct unmount {
        std::string dir;
        ~unmount() { EXPECT_EQ(0, system(("umount -l '" + dir + "'").c_str())); }
    } unmount_at_end{mount_dir};
    const std::string path = mount_dir + "/full.pcap";
    ASSERT_EQ(0, open_file(path));
    int64_t max = int64_t{1} << 30;
    ASSERT_EQ(0, log2_ioctl(ctx_, 22, &max, sizeof(max)));
    log2_diag_enable(true);
    {
        StderrCapture capture;
        for (int i = 0; i < 100; ++i) info(std::string(1000, 'f'));
        EXPECT_THAT(capture.text(), HasSubstr("log_file_write: fwrite error\n"));
    }
    // The disk filled up part-way through a frame: what is there still reads as whole frames.
    const size_t frames = messages(path).size();
    EXPECT_GT(frames, 0u);
    EXPECT_LT(frames, 100u);
    log2_exit(ctx_);  // closes the file before the unmount
    ctx_ = log2_ctx_new();
}

}  // namespace
