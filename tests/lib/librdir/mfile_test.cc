#include "librdir/mfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "lib/librdir/log_capture.h"
#include "lib/test_support/temp_dir.h"
#include "libpal/os_root.h"
#include "librdir/dst_writer.h"
#include "librdir/misc.h"
#include "librdir/temp_name.h"

namespace fs = std::filesystem;
using dvtest::read_file;
using dvtest::write_file;

namespace {

constexpr uint32_t kMax = 4096;

struct closer {
    void operator()(libmfile_handle* h) const { libmfile_close(h); }
};
using worker_ptr = std::unique_ptr<libmfile_handle, closer>;

struct data_block {
    bool open_failed, read_failed;
    verr status;
    std::string payload;
};

std::string b64(const std::string& s) {
    return rdir_b64_encode(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
}

class Worker : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory(base_);
        libmfile_param p;
        p.max_mfile_size = kMax;
        p.list_timeout_ms = 300;  // collect() ends on the first quiet period
        p.err = &err_;
        h_.reset(libmfile_open(&p));
        ASSERT_TRUE(h_);
    }
    void TearDown() override { h_.reset(); }

    std::string in_base(const std::string& name) const { return base_ + "/" + name; }

    // Every result byte of the posted commands, up to the first quiet period.
    std::string collect() {
        std::string all;
        std::vector<char> buf(kMax + 16);
        for (;;) {
            int n = libmfile_get_list_ret(h_.get(), buf.data(), static_cast<int>(buf.size()));
            if (n <= 0) return all;
            all.append(buf.data(), static_cast<size_t>(n));
        }
    }

    std::string run(uint32_t cmd, const std::string& list, const char* base = nullptr) {
        EXPECT_EQ(libmfile_cmd_add_list(h_.get(), cmd, base != nullptr ? base : base_.c_str(),
                                        list.c_str()),
                  0);
        return collect();
    }

    std::vector<data_block> read_blocks(const std::string& list, const char* base = nullptr) {
        std::string raw = run(MFILE_CMD_READ, list, base);
        std::vector<data_block> out;
        size_t pos = 0;
        while (pos < raw.size()) {
            size_t consumed = 0;
            mfile_data_result r;
            auto* p = reinterpret_cast<uint8_t*>(raw.data() + pos);
            if (libmfile_read_get_data_len_err(p, raw.size() - pos, &consumed, &r) != 0) {
                ADD_FAILURE() << "bad block at " << pos;
                break;
            }
            data_block b{r.open_failed, r.read_failed, r.status, {}};
            if (r.data != nullptr) b.payload.assign(reinterpret_cast<char*>(r.data), r.length);
            std::free(r.data);
            out.push_back(b);
            pos += consumed;
        }
        return out;
    }

    static std::string write_line(const std::string& name, const std::string& data,
                                  uint32_t type = 2, uint32_t mode = 0100644,
                                  const char* link = nullptr, int64_t mtime = 1500000000) {
        mstat_attr a{link, type, mode, 0x80, getuid(), getgid(), mtime - 5, mtime, 0};
        std::vector<char> out(data.size() + name.size() + 512);
        EXPECT_EQ(libmfile_write_printf(name.c_str(), &a, data.c_str(), out.data(), out.size()), 0);
        return out.data();
    }

    static std::string dir_line(const std::string& name, uint32_t mode, int64_t mtime) {
        mstat_attr a{nullptr, 1, mode, 0x80, getuid(), getgid(), mtime, mtime, 0};
        char out[512];
        EXPECT_EQ(libmfile_dir_printf(name.c_str(), &a, out, sizeof(out)), 0);
        return out;
    }

    dvtest::TempDir tmp_{"mfile_test"};
    std::string root_ = tmp_.path();
    std::string base_ = tmp_.at("base");
    err_info err_{};
    worker_ptr h_;
};

// ---- results wait for a slow reader ----

// A reader that does not collect holds the worker back at a small bound; nothing is lost, and
// closing a worker whose results nobody reads does not hang.
TEST_F(Worker, SlowReaderHoldsTheWorkerBackWithoutLosingResults) {
    std::string list;
    for (int i = 0; i < 2000; ++i) list += "missing_" + std::to_string(i) + "\n";
    list.pop_back();
    ASSERT_EQ(libmfile_remove_list(h_.get(), base_.c_str(), list.c_str()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LE(libmfile_queued_blocks(h_.get()), 64u);
    const std::string results = collect();
    EXPECT_EQ(std::count(results.begin(), results.end(), '\t'), 2000);

    ASSERT_EQ(libmfile_remove_list(h_.get(), base_.c_str(), list.c_str()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = std::chrono::steady_clock::now();
    h_.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// ---- command 1 ----

TEST_F(Worker, ReadFilesAnswersOneBlockPerEntry) {
    write_file(in_base("hello"), "hello");
    write_file(in_base("empty"), "");
    write_file(in_base("a\\b"), "backslash");
    fs::create_directory(in_base("dir"));
    auto blocks =
        read_blocks("hello\t5\nempty\t0\nmissing\t3\nshort\t\nhello\t100\na\\b\t9\ndir\t4");
    ASSERT_EQ(blocks.size(), 7u);
    EXPECT_EQ(blocks[0].payload, "hello");
    EXPECT_FALSE(blocks[0].open_failed || blocks[0].read_failed);
    EXPECT_EQ(blocks[1].payload, "");
    EXPECT_FALSE(blocks[1].open_failed || blocks[1].read_failed);
    EXPECT_TRUE(blocks[2].open_failed);
    EXPECT_EQ(blocks[2].status, -102);
    EXPECT_TRUE(blocks[3].read_failed);     // the length is not a number
    EXPECT_EQ(blocks[4].payload, "hello");  // shorter than asked: what is there
    EXPECT_EQ(blocks[5].payload, "backslash");
}

TEST_F(Worker, MissingFileIsAnEightByteBlockWithBit31) {
    std::string raw = run(MFILE_CMD_READ, "missing\t10");
    ASSERT_EQ(raw.size(), 8u);
    EXPECT_EQ(static_cast<uint8_t>(raw[0]), 0x80);
    EXPECT_EQ(raw.substr(1, 3), std::string("\0\0\x04", 3));
    int32_t status = static_cast<int32_t>((uint32_t{static_cast<uint8_t>(raw[4])} << 24) |
                                          (uint32_t{static_cast<uint8_t>(raw[5])} << 16) |
                                          (uint32_t{static_cast<uint8_t>(raw[6])} << 8) |
                                          static_cast<uint8_t>(raw[7]));
    EXPECT_EQ(status, -102);
}

TEST_F(Worker, ReadLongerThanTheBufferIsRefusedNotOverrun) {
    log_capture log;
    std::string big(kMax, 'b');
    write_file(in_base("big"), big);
    auto blocks = read_blocks("big\t" + std::to_string(kMax - 3) + "\nbig\t" +
                              std::to_string(kMax - 4) + "\nbig\t2147483647\nbig\t-1");
    ASSERT_EQ(blocks.size(), 4u);
    EXPECT_TRUE(blocks[0].read_failed);
    EXPECT_EQ(blocks[0].status, -41);
    EXPECT_EQ(blocks[1].payload, big.substr(0, kMax - 4));
    EXPECT_TRUE(blocks[2].read_failed);
    EXPECT_EQ(blocks[2].status, -41);
    EXPECT_TRUE(blocks[3].read_failed);
    EXPECT_TRUE(log.has("expr[len <= mlen]: assert failed"));
}

TEST_F(Worker, FifoInAFilesPlaceDoesNotStallTheWorker) {
    ASSERT_EQ(mkfifo(in_base("fifo").c_str(), 0644), 0);
    auto blocks = read_blocks("fifo\t10");
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].payload, "");
}

// ---- names from the list never leave the base ----

TEST_F(Worker, NamesThatTryToEscapeTheBaseAreRefused) {
    write_file(root_ + "/victim", "keep");
    fs::create_directory(in_base("sub"));
    const std::vector<std::string> names = {"../victim",       "..", ".", "sub/../../victim",
                                            root_ + "/victim", ""};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        auto blocks = read_blocks(name + "\t4");
        ASSERT_EQ(blocks.size(), 1u);
        EXPECT_TRUE(blocks[0].open_failed);
        EXPECT_EQ(blocks[0].status, -104);
        if (!name.empty()) {
            EXPECT_EQ(run(MFILE_CMD_REMOVE, name), "-104\t");
            EXPECT_EQ(run(MFILE_CMD_WRITE, write_line(name, b64("evil"))), "1\t-104\n");
            EXPECT_EQ(run(MFILE_CMD_MKDIR, dir_line(name, 0755, 1)), "-104\t");
        }
    }
    EXPECT_EQ(read_file(root_ + "/victim"), "keep");
}

TEST_F(Worker, WorkerWithoutABaseTouchesNothing) {
    libmfile_param p;
    p.max_mfile_size = kMax;
    p.list_timeout_ms = 300;
    h_.reset(libmfile_open(&p));
    ASSERT_TRUE(h_);
    EXPECT_EQ(run(MFILE_CMD_REMOVE, "tmp", ""), "-104\t");
    EXPECT_EQ(run(MFILE_CMD_CLEAR_DIR, "", ""), "D\t-104\t$");
}

// ---- command 2 ----

TEST_F(Worker, CreateDirectoriesWithParentsAndAttributes) {
    write_file(in_base("file"), "x");
    std::string list = dir_line("d1", 040700, 1234567) + "\n" + dir_line("deep/er", 040750, 7) +
                       "\n" + dir_line("file", 040755, 7) + "\n" + dir_line(" odd\\name", 0755, 7);
    std::string res = run(MFILE_CMD_MKDIR, list);
    EXPECT_TRUE(res.starts_with("0\t0\t-")) << res;
    EXPECT_TRUE(res.ends_with("\t0\t")) << res;
    struct stat st;
    ASSERT_EQ(stat(in_base("d1").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_mtime, 1234567);
    ASSERT_EQ(stat(in_base("deep/er").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    EXPECT_TRUE(fs::is_directory(in_base(" odd\\name")));
}

// ---- command 3 ----

TEST_F(Worker, WriteFilesWithContentAttributesAndMissingParents) {
    std::string list = write_line("f", b64("hello"), 2, 0100600, nullptr, 1600000000) + "\n" +
                       write_line("new/sub/g", b64("x")) + "\n" + write_line("empty", "");
    EXPECT_EQ(run(MFILE_CMD_WRITE, list), "0\t5\n0\t1\n0\t0\n");
    struct stat st;
    ASSERT_EQ(stat(in_base("f").c_str(), &st), 0);  // before reading it changes the access time
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_mtime, 1600000000);
    EXPECT_EQ(st.st_atime, 1600000000 - 5);
    EXPECT_EQ(read_file(in_base("f")), "hello");
    EXPECT_EQ(read_file(in_base("new/sub/g")), "x");
    ASSERT_EQ(stat(in_base("empty").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}

TEST_F(Worker, WriteRemovesTemporariesOfKilledWriters) {
    // A server killed in the middle of a file leaves its temporary behind; the next write into
    // that directory removes it (a live writer's stays).
    pid_t gone = fork();
    if (gone == 0) _exit(0);
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    char dead[64], live[64];
    std::snprintf(dead, sizeof(dead), ".dvcp.%08x%04x.tmp", static_cast<unsigned>(gone), 1u);
    std::snprintf(live, sizeof(live), ".dvcp.%08x%04x.tmp", static_cast<unsigned>(getpid()), 2u);
    write_file(in_base(dead), "partial");
    write_file(in_base(live), "being written");
    EXPECT_EQ(run(MFILE_CMD_WRITE, write_line("f", b64("x"))), "0\t1\n");
    EXPECT_FALSE(fs::exists(in_base(dead)));
    EXPECT_TRUE(fs::exists(in_base(live)));
}

// A gathering collection takes every answer of a command in one go, and stops before a block
// that would not fit the room left; nothing is lost across collections.
TEST_F(Worker, GatheringCollectionTakesTheWholeCommandOrWhatFits) {
    std::string list;
    std::string expected;
    for (int i = 0; i < 40; ++i) {
        const std::string data(100 + i, static_cast<char>('a' + i % 26));
        list += (i == 0 ? "" : "\n") + write_line("g" + std::to_string(i), b64(data));
        expected += "0\t" + std::to_string(100 + i) + "\n";
    }
    ASSERT_EQ(libmfile_write_list(h_.get(), base_.c_str(), list.c_str()), 0);
    std::vector<char> buf(kMax + 16);
    int n = libmfile_get_list_ret_gather(h_.get(), buf.data(), static_cast<int>(buf.size()), 5000);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf.data(), static_cast<size_t>(n)), expected);

    // Reads answer with the files' data: a room of two blocks takes at most two at a time.
    const std::string names = "g0\t101\ng1\t102\ng2\t103\ng3\t104\ng4\t105";
    ASSERT_EQ(libmfile_read_list(h_.get(), base_.c_str(), names.c_str()), 0);
    std::string all;
    for (int rounds = 0; rounds < 10; ++rounds) {
        n = libmfile_get_list_ret_gather(h_.get(), buf.data(), 2 * (104 + 16), 5000);
        if (n <= 0) break;
        all.append(buf.data(), static_cast<size_t>(n));
    }
    size_t blocks = 0;
    for (size_t pos = 0; pos < all.size(); ++blocks) {
        size_t consumed = 0;
        mfile_data_result r;
        ASSERT_EQ(libmfile_read_get_data_len_err(reinterpret_cast<uint8_t*>(all.data() + pos),
                                                 all.size() - pos, &consumed, &r),
                  0);
        EXPECT_EQ(r.length, 100 + blocks);
        std::free(r.data);
        pos += consumed;
    }
    EXPECT_EQ(blocks, 5u);
}

TEST_F(Worker, WriteTruncatesAnExistingFile) {
    write_file(in_base("f"), "a much longer old content");
    EXPECT_EQ(run(MFILE_CMD_WRITE, write_line("f", b64("new"))), "0\t3\n");
    EXPECT_EQ(read_file(in_base("f")), "new");
}

// Whole zero blocks arrive as holes; the content reads back the same.
TEST_F(Worker, ZeroBlocksBecomeHoles) {
    constexpr uint32_t kBig = 128 * 1024;
    libmfile_param p;
    p.max_mfile_size = kBig;
    p.list_timeout_ms = 300;
    worker_ptr big(libmfile_open(&p));
    ASSERT_TRUE(big);
    struct Case {
        const char* name;
        std::string data;
    };
    const Case cases[] = {
        {"all_zero", std::string(64 * 1024, '\0')},
        {"hole_then_tail", std::string(3 * 4096, '\0') + "tail"},
        {"head_hole_head", "head" + std::string(5 * 4096, '\0') + "more"},
        {"short_zero", std::string(100, '\0')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mstat_attr a{nullptr, 2, 0100644, 0x80, getuid(), getgid(), 1500000000, 1500000000, 0};
        std::vector<char> line(kBig * 2);
        ASSERT_EQ(libmfile_write_printf(c.name, &a, b64(c.data).c_str(), line.data(), line.size()),
                  0);
        ASSERT_EQ(libmfile_write_list(big.get(), base_.c_str(), line.data()), 0);
        std::string results;
        std::vector<char> buf(kBig + 16);
        for (int n; (n = libmfile_get_list_ret(big.get(), buf.data(),
                                               static_cast<int>(buf.size()))) > 0;) {
            results.append(buf.data(), static_cast<size_t>(n));
        }
        EXPECT_EQ(results, "0\t" + std::to_string(c.data.size()) + "\n");
        EXPECT_TRUE(read_file(in_base(c.name)) == c.data) << "content differs";
        struct stat st;
        ASSERT_EQ(stat(in_base(c.name).c_str(), &st), 0);
        EXPECT_EQ(st.st_size, static_cast<off_t>(c.data.size()));
        if (c.data.size() >= 3 * 4096) {
            EXPECT_LT(st.st_blocks * 512, st.st_size) << "no hole was left";
        }
    }
}

TEST_F(Worker, LinkEntryAfterAFailedEntryIsMadeVerbatimAndOwnsItsTimes) {
    write_file(root_ + "/target", "t");
    chmod((root_ + "/target").c_str(), 0640);
    fs::create_directory(in_base("blocker"));
    write_file(in_base("blocker/inside"), "x");  // a non-empty directory cannot be replaced
    const char* text = "../odd \\target";
    std::string list =
        write_line("blocker", "", 0x102, 0120777, "x") + "\n" +
        write_line("lnk", "", 0x102, 0120777, text, 1400000000) + "\n" +
        write_line("abs", "", 0x102, 0120777, (root_ + "/target").c_str(), 1300000000);
    std::string res = run(MFILE_CMD_WRITE, list);
    EXPECT_TRUE(res.starts_with("1\t-")) << res;
    EXPECT_TRUE(res.ends_with("\n0\t0\n0\t0\n")) << res;
    EXPECT_EQ(fs::read_symlink(in_base("lnk")).string(), text);
    struct stat st;
    ASSERT_EQ(lstat(in_base("abs").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1300000000);
    ASSERT_EQ(stat((root_ + "/target").c_str(), &st), 0);
    EXPECT_NE(st.st_mtime, 1300000000);  // the target keeps its own times
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(Worker, LinkEntryReplacesWhatStandsThere) {
    write_file(in_base("was_file"), "old");
    fs::create_directory(in_base("was_dir"));
    std::string list = write_line("was_file", "", 0x102, 0120777, "t1") + "\n" +
                       write_line("was_dir", "", 0x101, 0120777, "t2");
    EXPECT_EQ(run(MFILE_CMD_WRITE, list), "0\t0\n0\t0\n");
    EXPECT_EQ(fs::read_symlink(in_base("was_file")).string(), "t1");
    EXPECT_EQ(fs::read_symlink(in_base("was_dir")).string(), "t2");
}

// A node line (no data, a node type in the mode, a device's number in the link field) makes
// the node under a temporary and renames it; a server's policy decides which kinds a client may
// make, and a refused one leaves nothing at the name.
TEST_F(Worker, NodeLinesAreMadeAsThePolicyAllows) {
    if (geteuid() != 0) GTEST_SKIP() << "only root makes devices";
    struct Case {
        const char* what;
        rdir_attr_policy policy;
        bool fifo, device;
    } cases[] = {
        {"anonymous", {}, false, false},
        {"credentials", {true, false, true, false}, true, false},
        {"keep_setid", {true, true, true, true}, true, true},
    };
    const std::string dev = std::to_string(makedev(1, 3));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(base_);
        fs::create_directory(base_);
        libmfile_param p;
        p.max_mfile_size = kMax;
        p.list_timeout_ms = 300;
        p.err = &err_;
        p.policy = &c.policy;
        h_.reset(libmfile_open(&p));
        ASSERT_TRUE(h_);
        const std::string list = write_line("fifo", "", 2, 010640) + "\n" +
                                 write_line("chr", "", 2, 020600, dev.c_str()) + "\n" +
                                 write_line("bad", "", 2, 020600, "x1");
        EXPECT_EQ(run(MFILE_CMD_WRITE, list),
                  std::string(c.fifo ? "0\t0\n" : "1\t-38\n") +
                      (c.device ? "0\t0\n1\t-2\n" : "1\t-38\n1\t-38\n"));
        struct stat st {};
        EXPECT_EQ(lstat(in_base("fifo").c_str(), &st) == 0 && S_ISFIFO(st.st_mode), c.fifo);
        if (c.fifo) {
            EXPECT_EQ(st.st_mode & 07777, 0640u);
        }
        EXPECT_EQ(lstat(in_base("chr").c_str(), &st) == 0 && S_ISCHR(st.st_mode), c.device);
        if (c.device) {
            EXPECT_EQ(st.st_rdev, makedev(1, 3));
        }
        EXPECT_FALSE(fs::exists(fs::symlink_status(in_base("bad"))));
        size_t left = 0;
        for (const auto& e : fs::directory_iterator(base_))
            left += e.path().filename() != "fifo" && e.path().filename() != "chr";
        EXPECT_EQ(left, 0u) << "a temporary or a refused node was left";
    }
}

TEST_F(Worker, JunctionIsNotSupported) {
    EXPECT_EQ(run(MFILE_CMD_WRITE, write_line("j", "", 0x301, 0120777, "t")), "1\t-37\n");
    EXPECT_FALSE(fs::exists(fs::symlink_status(in_base("j"))));
}

TEST_F(Worker, FileIsNeverWrittenThroughASymlinkStandingInItsPlace) {
    write_file(root_ + "/outside", "precious");
    fs::create_symlink(root_ + "/outside", in_base("f"));
    EXPECT_EQ(run(MFILE_CMD_WRITE, write_line("f", b64("new"))), "0\t3\n");
    EXPECT_EQ(read_file(root_ + "/outside"), "precious");
    EXPECT_FALSE(fs::is_symlink(in_base("f")));
    EXPECT_EQ(read_file(in_base("f")), "new");
}

// ---- every line is answered ----

// The raw bytes of a data block of command 1.
std::string data_block_bytes(const std::string& payload) {
    uint8_t head[MFILE_HEAD_SIZE];
    EXPECT_EQ(libmfile_read_set_data_len_err(head, static_cast<uint32_t>(payload.size()),
                                             MFILE_FAIL_NONE),
              0);
    return std::string(reinterpret_cast<char*>(head), sizeof(head)) + payload;
}

std::string failure_block_bytes(int kind, verr status) {
    uint8_t block[MFILE_FAIL_BLOCK_SIZE];
    EXPECT_EQ(libmfile_read_set_data_len_err(block, 4, kind), 0);
    const auto s = static_cast<uint32_t>(status);
    block[4] = static_cast<uint8_t>(s >> 24);
    block[5] = static_cast<uint8_t>(s >> 16);
    block[6] = static_cast<uint8_t>(s >> 8);
    block[7] = static_cast<uint8_t>(s);
    return std::string(reinterpret_cast<char*>(block), sizeof(block));
}

// A bad line between two good ones: the caller, waiting for one answer per line, gets all three
// in order and both good entries are done. Empty lines, such as a trailing newline, get none.
TEST_F(Worker, EveryNonEmptyLineIsAnsweredInOrder) {
    write_file(in_base("a"), "A");
    write_file(in_base("b"), "B");
    write_file(in_base("r1"), "1");
    write_file(in_base("r2"), "2");
    const std::string too_big = b64(std::string(kMax + 1, 'z'));
    struct Case {
        const char* what;
        uint32_t cmd;
        std::string list;
        std::string answers;
        std::vector<std::string> made;  // entries that exist afterwards
        std::vector<std::string> gone;  // entries that do not
    };
    const Case cases[] = {
        {"read: no tab",
         MFILE_CMD_READ,
         "a\t1\nno tab here\nb\t1\n",
         data_block_bytes("A") + failure_block_bytes(MFILE_FAIL_READ, -2) + data_block_bytes("B"),
         {},
         {}},
        {"read: empty lines",
         MFILE_CMD_READ,
         "a\t1\n\n\nb\t1\n\n",
         data_block_bytes("A") + data_block_bytes("B"),
         {},
         {}},
        {"mkdir: unparsable",
         MFILE_CMD_MKDIR,
         dir_line("d1", 0755, 1) + "\nbroken\n" + dir_line("d2", 0755, 1) + "\n",
         "0\t-2\t0\t",
         {"d1", "d2"},
         {"broken"}},
        {"mkdir: field missing",
         MFILE_CMD_MKDIR,
         dir_line("d3", 0755, 1) + "\nd4\t1\t0755\n\n" + dir_line("d5", 0755, 1),
         "0\t-2\t0\t",
         {"d3", "d5"},
         {"d4"}},
        {"write: unparsable",
         MFILE_CMD_WRITE,
         write_line("w1", b64("1")) + "\nshort\tline\n" + write_line("w2", b64("22")) + "\n",
         "0\t1\n1\t-2\n0\t2\n",
         {"w1", "w2"},
         {"short"}},
        {"write: not base64",
         MFILE_CMD_WRITE,
         write_line("w3", b64("1")) + "\n" + write_line("bad", "not*base64") + "\n" +
             write_line("w4", b64("2")) + "\n",
         "0\t1\n2\t-41\n0\t1\n",
         {"w3", "w4"},
         {"bad"}},
        {"write: too big",
         MFILE_CMD_WRITE,
         write_line("w5", b64("1")) + "\n" + write_line("big", too_big) + "\n\n" +
             write_line("w6", b64("2")),
         "0\t1\n2\t-41\n0\t1\n",
         {"w5", "w6"},
         {"big"}},
        {"remove: refused name",
         MFILE_CMD_REMOVE,
         "r1\n../r2\n\nr2\n",
         "0\t-104\t0\t",
         {},
         {"r1", "r2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(run(c.cmd, c.list), c.answers);
        for (const std::string& name : c.made) EXPECT_TRUE(fs::exists(in_base(name))) << name;
        for (const std::string& name : c.gone) EXPECT_FALSE(fs::exists(in_base(name))) << name;
    }
}

TEST_F(Worker, TrailingNewlineOfAReadListIsLoggedAfterTheLastAnswer) {
    log_capture log;
    write_file(in_base("a"), "A");
    auto blocks = read_blocks("a\t1\na\t1\n");
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[1].payload, "A");
    EXPECT_EQ(log.count("invalid name_list"), 1);
}

// Data that cannot be had whole is never written in part: an existing file keeps its content
// and times, and a missing one is not created.
TEST_F(Worker, UndecodableOrOversizeDataLeavesTheFileAlone) {
    log_capture log;
    const std::string old_content = "old content";
    struct Case {
        const char* what;
        std::string data;
    };
    const Case cases[] = {
        {"not in the alphabet", "not*base64"},
        {"a length base64 cannot have", "QUJDR"},
        {"padding in the middle", "QQ==QUJD"},
        {"stray bits after the last byte", "QR=="},
        {"one byte over the buffer", b64(std::string(kMax + 1, 'z'))},
        {"far over the buffer", b64(std::string(4 * kMax, 'z'))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(in_base("kept"), old_content);
        ASSERT_EQ(
            utimensat(AT_FDCWD, in_base("kept").c_str(),
                      std::array<timespec, 2>{timespec{1000, 0}, timespec{2000, 0}}.data(), 0),
            0);
        EXPECT_EQ(
            run(MFILE_CMD_WRITE, write_line("kept", c.data) + "\n" + write_line("new", c.data)),
            "2\t-41\n2\t-41\n");
        EXPECT_EQ(read_file(in_base("kept")), old_content);
        struct stat st;
        ASSERT_EQ(stat(in_base("kept").c_str(), &st), 0);
        EXPECT_EQ(st.st_mtime, 2000);
        EXPECT_FALSE(fs::exists(in_base("new")));
    }
    EXPECT_TRUE(log.has("file_data base64 decode error"));
    // Exactly a full buffer is written whole.
    const std::string full(kMax, 'f');
    EXPECT_EQ(run(MFILE_CMD_WRITE, write_line("kept", b64(full))),
              "0\t" + std::to_string(kMax) + "\n");
    EXPECT_TRUE(read_file(in_base("kept")) == full);
}

// ---- commands 4 and 5 ----

TEST_F(Worker, RemoveFilesAnswersEachName) {
    write_file(in_base("a"), "1");
    write_file(in_base(" b\\"), "2");
    EXPECT_EQ(run(MFILE_CMD_REMOVE, "a\nmissing\n b\\"), "0\t-102\t0\t");
    EXPECT_FALSE(fs::exists(in_base("a")));
    EXPECT_FALSE(fs::exists(in_base(" b\\")));
}

TEST_F(Worker, ClearDirRemovesFilesAndLeavesDirectories) {
    write_file(in_base("one"), "1");
    write_file(in_base("two"), "2");
    fs::create_directory(in_base("sub"));
    write_file(in_base("sub/kept"), "k");
    fs::create_directory_symlink("sub", in_base("to_sub"));
    EXPECT_EQ(run(MFILE_CMD_CLEAR_DIR, ""), "F\t0\t0\t$");
    EXPECT_FALSE(fs::exists(in_base("one")));
    EXPECT_FALSE(fs::exists(in_base("two")));
    EXPECT_TRUE(fs::exists(in_base("sub/kept")));
    EXPECT_TRUE(fs::is_symlink(in_base("to_sub")));
}

TEST_F(Worker, ClearDirOfAMissingBase) {
    std::string missing = root_ + "/missing";
    EXPECT_EQ(run(MFILE_CMD_CLEAR_DIR, "", missing.c_str()), "D\t-102\t$");
}

TEST_F(Worker, EmptyBaseKeepsThePreviousOneAndCommandsAnswerInOrder) {
    write_file(in_base("a"), "1");
    write_file(in_base("b"), "2");
    ASSERT_EQ(libmfile_remove_list(h_.get(), base_.c_str(), "a"), 0);
    ASSERT_EQ(libmfile_remove_list(h_.get(), "", "b"), 0);
    ASSERT_EQ(libmfile_remove_list(h_.get(), nullptr, "a"), 0);
    EXPECT_EQ(collect(), "0\t0\t-102\t");
}

TEST_F(Worker, OpenRefusesUnusableBufferSizes) {
    for (uint32_t size : {0u, 7u, 0x40000004u}) {
        libmfile_param p;
        p.max_mfile_size = size;
        err_info err{};
        p.err = &err;
        EXPECT_EQ(libmfile_open(&p), nullptr) << size;
        EXPECT_EQ(err.code, VERR_INVALID_PARAMETER);
    }
}

// ---- the worker as a server faces it: hostile names, links and special files ----

// Every entry below `dir` (itself included) with its type, mode, size, mtime and file content:
// equal texts mean nothing there was touched.
std::string describe(const std::string& dir) {
    std::vector<std::string> lines;
    auto one = [&](const std::string& path, const std::string& rel) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) return lines.push_back(rel + " missing");
        char text[160];
        std::snprintf(text, sizeof(text), " %o %lld %lld.%09ld", st.st_mode,
                      static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
                      st.st_mtim.tv_nsec);
        lines.push_back(rel + text + (S_ISREG(st.st_mode) ? " [" + read_file(path) + "]" : ""));
    };
    one(dir, ".");
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        one(e.path().string(), fs::relative(e.path(), dir).string());
    }
    std::sort(lines.begin(), lines.end());
    std::string all;
    for (const std::string& l : lines) all += l + "\n";
    return all;
}

struct root_closer {
    void operator()(os_root* r) const { os_root_close(r); }
};

// How the worker is reached: bases as host paths (the copy engine), or beneath a served root
// (the file server, which hands out the client's base text as it came).
enum class reach { host, served };

void PrintTo(reach r, std::ostream* os) {
    *os << (r == reach::host ? "host path" : "served root");
}

// Two sentinels no command may change: one beside the base (inside a served root) and one far
// away, outside any root.
class HostileWorker : public Worker, public ::testing::WithParamInterface<reach> {
  protected:
    void SetUp() override {
        // A worker stuck on a fifo or device would hang the test (and its close): fail instead.
        alarm(120);
        Worker::SetUp();
        fs::create_directory(near_);
        write_file(near_ + "/secret", "near secret");
        write_file(far_.at("secret"), "far secret");
        fs::create_directory(far_.at("inner"));
        near_before_ = describe(near_);
        far_before_ = describe(far_.path());
        if (GetParam() == reach::served) {
            served_.reset(os_root_open(root_.c_str(), OS_ROOT_IN_ROOT));
            ASSERT_TRUE(served_);
            libmfile_param p;
            p.max_mfile_size = kMax;
            p.list_timeout_ms = 300;
            p.root = served_.get();
            h_.reset(libmfile_open(&p));
            ASSERT_TRUE(h_);
            base_arg_ = "/base";
        }
    }
    void TearDown() override {
        Worker::TearDown();
        EXPECT_EQ(describe(near_), near_before_) << "the sentinel beside the base changed";
        EXPECT_EQ(describe(far_.path()), far_before_) << "the sentinel outside changed";
        alarm(0);
    }

    std::string cmd(uint32_t command, const std::string& list) {
        return run(command, list, base_arg_.c_str());
    }

    dvtest::TempDir far_{"mfile_test_far"};
    std::string near_ = tmp_.at("outside");
    std::string near_before_, far_before_;
    std::unique_ptr<os_root, root_closer> served_;
    std::string base_arg_ = base_;
};

INSTANTIATE_TEST_SUITE_P(Reach, HostileWorker, ::testing::Values(reach::host, reach::served));

TEST_P(HostileWorker, LinkInTheBaseNeverLeadsAWriteOut) {
    struct {
        const char* made_by;
        bool absolute;
    } cases[] = {{"the same list", false},      {"the same list", true},
                 {"an earlier command", false}, {"an earlier command", true},
                 {"the test", false},           {"the test", true}};
    int i = 0;
    for (const auto& c : cases) {
        const std::string evil = "evil" + std::to_string(i++);
        const std::string text = c.absolute ? far_.path() : "../outside";
        SCOPED_TRACE(evil + ": link to " + text + " made by " + c.made_by);
        const std::string link = write_line(evil, "", 0x101, 0120777, text.c_str());
        const std::string planted = write_line(evil + "/planted", b64("planted"));
        const std::string made_by = c.made_by;
        if (made_by == "the same list") {
            EXPECT_EQ(cmd(MFILE_CMD_WRITE, link + "\n" + planted), "0\t0\n0\t7\n");
        } else {
            if (made_by == "an earlier command") {
                EXPECT_EQ(cmd(MFILE_CMD_WRITE, link), "0\t0\n");
            } else {
                fs::create_symlink(text, in_base(evil));
            }
            ASSERT_TRUE(fs::is_symlink(in_base(evil)));
            EXPECT_EQ(cmd(MFILE_CMD_WRITE, planted), "0\t7\n");
        }
        EXPECT_EQ(cmd(MFILE_CMD_MKDIR, dir_line(evil + "/sub", 040755, 9)), "0\t");
        EXPECT_FALSE(fs::is_symlink(in_base(evil)));
        EXPECT_EQ(read_file(in_base(evil + "/planted")), "planted");
        EXPECT_TRUE(fs::is_directory(in_base(evil + "/sub")));
    }
}

TEST_P(HostileWorker, MissingBaseIsMadeForWritesOnly) {
    // A sync writes the files of a directory new at the destination before anything made it.
    const std::string deep = base_arg_ + "/new/deep";
    EXPECT_EQ(run(MFILE_CMD_READ, "f\t4", (base_arg_ + "/absent").c_str()).size(), 8u);
    EXPECT_FALSE(fs::exists(in_base("absent")));
    EXPECT_EQ(run(MFILE_CMD_WRITE, write_line("f", b64("data")), deep.c_str()), "0\t4\n");
    EXPECT_EQ(read_file(in_base("new/deep/f")), "data");
    EXPECT_EQ(run(MFILE_CMD_MKDIR, dir_line("d", 040755, 9), (base_arg_ + "/new2").c_str()), "0\t");
    EXPECT_TRUE(fs::is_directory(in_base("new2/d")));
    if (GetParam() == reach::served) {
        // Made beneath the served root, whatever links stand in the way.
        fs::create_symlink(far_.path(), in_base("out"));
        const std::string through = base_arg_ + "/out/made";
        EXPECT_EQ(run(MFILE_CMD_WRITE, write_line("f", b64("data")), through.c_str()).substr(0, 1),
                  "0");
    }
}

TEST_P(HostileWorker, WriteOntoAFifoOrADeviceReplacesItPromptly) {
    ASSERT_EQ(mkfifo(in_base("fifo").c_str(), 0666), 0);
    ASSERT_EQ(mknod(in_base("null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    ASSERT_EQ(mknod(in_base("zero").c_str(), S_IFCHR | 0666, makedev(1, 5)), 0);
    for (const char* name : {"fifo", "null", "zero"}) {
        SCOPED_TRACE(name);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(cmd(MFILE_CMD_WRITE, write_line(name, b64("data"))), "0\t4\n");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        struct stat st;
        ASSERT_EQ(lstat(in_base(name).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(read_file(in_base(name)), "data");
    }
}

TEST_P(HostileWorker, ReadAndRemoveNeverReachThroughALink) {
    fs::create_symlink(far_.at("secret"), in_base("abs_file"));
    fs::create_symlink(far_.path(), in_base("abs_dir"));
    fs::create_symlink("../outside/secret", in_base("rel_file"));
    fs::create_symlink("../outside", in_base("rel_dir"));
    fs::create_directory(in_base("sub"));
    fs::create_symlink("..", in_base("sub/up"));
    const std::vector<std::string> through = {"abs_file",        "abs_dir/secret",
                                              "rel_file",        "rel_dir/secret",
                                              "sub/up/rel_file", "sub/up/abs_dir/secret"};
    std::string list;
    for (const std::string& name : through) list += name + "\t100\n";
    list += "abs_dir/../abs_file\t100\n../outside/secret\t100";
    auto blocks = read_blocks(list, base_arg_.c_str());
    ASSERT_EQ(blocks.size(), through.size() + 2);
    for (size_t i = 0; i < blocks.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(blocks[i].open_failed);
        EXPECT_EQ(blocks[i].payload.find("secret"), std::string::npos);
    }
    EXPECT_EQ(blocks[through.size()].status, -104);
    EXPECT_EQ(blocks[through.size() + 1].status, -104);

    // Through a link nothing is removed; the link itself is removed like a file.
    std::string res = cmd(MFILE_CMD_REMOVE,
                          "abs_dir/secret\nrel_dir/secret\nsub/up/rel_file\nabs_dir/../abs_file");
    std::vector<int> statuses;
    for (size_t pos = 0, tab; (tab = res.find('\t', pos)) != std::string::npos; pos = tab + 1) {
        statuses.push_back(std::atoi(res.substr(pos, tab - pos).c_str()));
    }
    ASSERT_EQ(statuses.size(), 4u) << res;
    for (int status : statuses) EXPECT_LT(status, 0) << res;
    EXPECT_EQ(statuses[3], -104);
    EXPECT_TRUE(fs::is_symlink(in_base("rel_file")));
    EXPECT_EQ(cmd(MFILE_CMD_REMOVE, "abs_file\nrel_file\nabs_dir"), "0\t0\t0\t");
    EXPECT_FALSE(fs::exists(fs::symlink_status(in_base("abs_dir"))));
}

TEST_P(HostileWorker, ClearRemovesNoDirectoryNothingThroughALinkAndNoLiveTemporary) {
    write_file(in_base("a"), "1");
    ASSERT_EQ(mkfifo(in_base("fifo").c_str(), 0600), 0);
    fs::create_symlink(far_.at("secret"), in_base("to_file"));
    fs::create_symlink(far_.path(), in_base("to_dir"));
    fs::create_symlink("../outside", in_base("to_near"));
    fs::create_directory(in_base("sub"));
    write_file(in_base("sub/kept"), "k");
    pid_t gone = fork();
    if (gone == 0) _exit(0);
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    auto temp_of = [](pid_t pid) {
        char name[64];
        std::snprintf(name, sizeof(name), ".dvcp.%08x0001.tmp", static_cast<unsigned>(pid));
        return std::string(name);
    };
    // Temporaries of writers that still run (this process, pid 1) are theirs to rename or
    // remove; one whose writer is gone is debris that would keep the directory from emptying.
    write_file(in_base(temp_of(getpid())), "live");
    write_file(in_base(temp_of(1)), "live");
    write_file(in_base(temp_of(gone)), "stale");

    // Beneath a served root a link is judged there: the absolute text of to_dir names nothing
    // inside it, so to_dir goes like any link that leads to no directory.
    const bool served = GetParam() == reach::served;
    EXPECT_EQ(cmd(MFILE_CMD_CLEAR_DIR, ""), served ? "F\t0\t0\t0\t0\t$" : "F\t0\t0\t0\t$");
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(base_)) left.push_back(e.path().filename());
    std::sort(left.begin(), left.end());
    std::vector<std::string> expected = {temp_of(getpid()), temp_of(1), "sub", "to_near"};
    if (!served) expected.push_back("to_dir");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left, expected);
    EXPECT_EQ(read_file(in_base("sub/kept")), "k");
}

TEST_P(HostileWorker, EachCommandResolvesItsBaseAfresh) {
    // A base that is missing for one command and made before the next.
    const std::string later = base_arg_ + "_later";
    EXPECT_EQ(run(MFILE_CMD_CLEAR_DIR, "", later.c_str()), "D\t-102\t$");
    fs::create_directory(base_ + "_later");
    EXPECT_EQ(run(MFILE_CMD_WRITE, write_line("f", b64("1")), later.c_str()), "0\t1\n");
    EXPECT_EQ(read_file(base_ + "_later/f"), "1");

    // A base moved away between commands: the next one writes where the name now leads.
    fs::rename(base_ + "_later", base_ + "_moved");
    fs::create_directory(base_ + "_later");
    EXPECT_EQ(run(MFILE_CMD_WRITE, write_line("g", b64("2")), ""), "0\t1\n");
    EXPECT_EQ(read_file(base_ + "_later/g"), "2");
    EXPECT_FALSE(fs::exists(base_ + "_moved/g"));
}

// ---- result helpers ----

TEST(DataBlock, HeadWritesAndReadsBack) {
    uint8_t head[4];
    ASSERT_EQ(libmfile_read_set_data_len_err(head, 0x3fffffff, MFILE_FAIL_NONE), 0);
    EXPECT_EQ(std::vector<uint8_t>(head, head + 4), (std::vector<uint8_t>{0x3f, 0xff, 0xff, 0xff}));
    ASSERT_EQ(libmfile_read_set_data_len_err(head, 4, MFILE_FAIL_OPEN), 0);
    EXPECT_EQ(head[0], 0x80);
    ASSERT_EQ(libmfile_read_set_data_len_err(head, 4, MFILE_FAIL_READ), 0);
    EXPECT_EQ(head[0], 0x40);

    log_capture log;
    uint8_t untouched[4] = {1, 2, 3, 4};
    EXPECT_EQ(libmfile_read_set_data_len_err(untouched, 0x40000000, MFILE_FAIL_NONE), -1);
    EXPECT_TRUE(log.has("expr[dlen <= RDIR_MAX_MLEN]: assert failed"));
    EXPECT_EQ(untouched[0], 1);
}

TEST(DataBlock, ParserNeverReadsPastWhatIsThere) {
    struct {
        std::vector<uint8_t> bytes;
        const char* assertion;
    } cases[] = {
        {{0, 0}, nullptr},
        {{0x80, 0, 0, 4, 0xff, 0xff}, "alen>=8"},
        {{0x40, 0, 0, 5, 0xff, 0xff, 0xff, 0x9a, 0}, "len==4"},
        {{0, 0, 0, 9, 'a', 'b'}, "alen>=len+4"},
        {{0x3f, 0xff, 0xff, 0xff}, "alen>=len+4"},
    };
    for (auto& c : cases) {
        log_capture log;
        size_t consumed = 99;
        mfile_data_result r;
        EXPECT_EQ(libmfile_read_get_data_len_err(c.bytes.data(), c.bytes.size(), &consumed, &r),
                  -1);
        EXPECT_EQ(consumed, 0u);
        EXPECT_EQ(r.data, nullptr);
        if (c.assertion != nullptr) {
            EXPECT_TRUE(log.has(std::string("expr[") + c.assertion + "]")) << c.assertion;
        }
    }
}

TEST(DataBlock, ParserClearsTheFlagBitsAndReportsTheStatus) {
    uint8_t block[] = {0xc0, 0, 0, 4, 0xff, 0xff, 0xff, 0x9a, 0xee};
    size_t consumed = 0;
    mfile_data_result r;
    ASSERT_EQ(libmfile_read_get_data_len_err(block, sizeof(block), &consumed, &r), 0);
    EXPECT_TRUE(r.open_failed);
    EXPECT_TRUE(r.read_failed);
    EXPECT_EQ(r.status, -102);
    EXPECT_EQ(consumed, 8u);
    EXPECT_EQ(block[0], 0);
}

TEST(WriteResult, ReadsOneLineAtATime) {
    const char text[] = "0\t5\n1\t-102\n2\t";
    size_t pos = 0, consumed = 0;
    int stage = -1, number = -1;
    ASSERT_EQ(libmfile_write_get_info(text, sizeof(text) - 1, &consumed, &stage, &number), 0);
    EXPECT_EQ(consumed, 4u);
    EXPECT_EQ(stage, 0);
    EXPECT_EQ(number, 5);
    pos += consumed;
    ASSERT_EQ(
        libmfile_write_get_info(text + pos, sizeof(text) - 1 - pos, &consumed, &stage, &number), 0);
    EXPECT_EQ(stage, 1);
    EXPECT_EQ(number, -102);
    pos += consumed;
    EXPECT_EQ(
        libmfile_write_get_info(text + pos, sizeof(text) - 1 - pos, &consumed, &stage, &number),
        -1);  // no complete line left

    log_capture log;
    EXPECT_EQ(libmfile_write_get_info("0\n", 2, &consumed, &stage, &number), -1);
    EXPECT_TRUE(log.has("ret=1 error: ret!=2"));
}

}  // namespace
