// The lister and the batch worker as a client drives them through control requests with output:
// listings and worker commands compared with the disk, what stays out of reach of the served
// root, bad texts, interrupts of a blocked wait, and closing with work outstanding.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lib/test_support/temp_dir.h"
#include "libdvsd/sd_msg.h"
#include "libdvsrv/srv_route.h"
#include "libdvsrv/srv_session.h"
#include "libpal/os_root.h"
#include "librdir/mfile.h"
#include "librdir/misc.h"
#include "librdir/stat_line.h"

namespace fs = std::filesystem;
using dvtest::read_file;
using dvtest::write_file;

namespace {

constexpr uint32_t kOutput = 1 << 20;

struct answer {
    bool handled = false;
    int32_t error = 0;
    std::string text;
    bool has_data = false;
    std::string data;
};

// One listing: the lines of each stream and the status of its end marker.
struct listing {
    std::multiset<std::string> files, dirs;  // whole lines, newline cut
    std::string files_end, dirs_end;         // "" until the end marker came
};

struct data_block {
    bool failed = false;
    verr status = 0;
    std::string payload;
};

std::string bytes_of(std::string_view text) {
    std::string bytes(text);
    bytes.push_back('\0');
    return bytes;
}

std::string b64(const std::string& s) {
    return rdir_b64_encode(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
}

std::string write_line(const std::string& name, const std::string& data, uint32_t type = 2,
                       const char* link = nullptr) {
    mstat_attr a{link, type, 0100644, 0x80, getuid(), getgid(), 1500000000, 1500000000, 0};
    char out[4096];
    EXPECT_EQ(libmfile_write_printf(name.c_str(), &a, data.c_str(), out, sizeof(out)), 0);
    return out;
}

std::string dir_line(const std::string& name) {
    mstat_attr a{nullptr, 1, 040755, 0x80, getuid(), getgid(), 1500000000, 1500000000, 0};
    char out[512];
    EXPECT_EQ(libmfile_dir_printf(name.c_str(), &a, out, sizeof(out)), 0);
    return out;
}

// The name column of a listing line.
std::string name_of(const std::string& line) {
    return line.substr(0, line.find('\t'));
}

std::set<std::string> names_of(const std::multiset<std::string>& lines) {
    std::set<std::string> names;
    for (const auto& line : lines) names.insert(name_of(line));
    return names;
}

// Field `index` (from 0) of a listing line.
std::string field_of(const std::string& line, int index) {
    size_t start = 0;
    for (int i = 0; i < index; ++i) start = line.find('\t', start) + 1;
    return line.substr(start, line.find('\t', start) - start);
}

class BatchControl : public testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(root_path_);
        fs::create_directories(outside_ + "/dir");
        write_file(outside_ + "/secret", "sentinel");
        write_file(outside_ + "/dir/deep", "sentinel");
        fs::create_symlink(outside_, root_path_ + "/abs_out");
        fs::create_symlink("../outside", root_path_ + "/rel_out");
        root_ = os_root_open(root_path_.c_str(), OS_ROOT_IN_ROOT);
        ASSERT_NE(root_, nullptr);
        ctx_ = srv_context_new(&conf_, root_, "joe");
        ASSERT_TRUE(ctx_);
    }
    void TearDown() override {
        ctx_.reset();
        os_root_close(root_);
        // Whatever a test asked for, nothing outside the served root was touched.
        std::set<std::string> outside;
        for (const auto& e : fs::recursive_directory_iterator(outside_))
            outside.insert(e.path().lexically_relative(outside_).string());
        EXPECT_EQ(outside, (std::set<std::string>{"dir", "dir/deep", "secret"}));
        EXPECT_EQ(read_file(outside_ + "/secret"), "sentinel");
        EXPECT_EQ(read_file(outside_ + "/dir/deep"), "sentinel");
    }

    std::string at(const std::string& name) const { return root_path_ + "/" + name; }

    answer control_bytes(int32_t cmd, const std::string& data, uint32_t olen = 0) {
        sd_frame_msg reply;
        answer a;
        srv_context_control(
            *ctx_, SD_REQ_IOCTL, 0, cmd,
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size()),
            olen, reply);
        auto table = sd_reply_table(SD_REQ_IOCTL, false);
        const blob_attr* tb[SD_IOCTL_COUNT] = {};
        auto root = reply.root();
        EXPECT_TRUE(reply.ok());
        EXPECT_EQ(cli_blobmsg_parse(table.data(), static_cast<int>(table.size()), tb,
                                    root.data() + 4, root.size() - 4),
                  0);
        if (tb[SD_ERRNO] == nullptr) return a;
        a.error = blobmsg_get_int32(tb[SD_ERRNO]);
        a.text = blobmsg_get_string(tb[SD_ERRNO_STR]);
        // A code the table has no row for is answered as unknown.
        a.handled = a.text != "Unknown control " + std::to_string(cmd);
        if (tb[SD_IOCTL_DATA] != nullptr) {
            a.has_data = true;
            a.data.assign(reinterpret_cast<const char*>(blobmsg_data(tb[SD_IOCTL_DATA])),
                          blobmsg_data_len(tb[SD_IOCTL_DATA]));
            EXPECT_LE(a.data.size(), olen);
        }
        return a;
    }
    answer control(int32_t cmd, std::string_view text = {}, uint32_t olen = 0) {
        return control_bytes(cmd, bytes_of(text), olen);
    }
    void expect_ok(int32_t cmd, std::string_view text) {
        answer a = control(cmd, text);
        EXPECT_EQ(a.error, 0) << cmd << " [" << text << "]: " << a.text;
        EXPECT_TRUE(a.has_data);
        EXPECT_EQ(a.data, "");
    }

    // Reads 10123 until both end markers of one listing came (or reads keep coming back empty).
    listing read_listing(uint32_t olen = kOutput) {
        listing l;
        for (int empty = 0; empty < 3 && (l.files_end.empty() || l.dirs_end.empty());) {
            answer a = control(10123, {}, olen);
            EXPECT_EQ(a.error, 0) << a.text;
            if (a.error != 0) break;
            if (a.data.empty()) {
                ++empty;
                continue;
            }
            EXPECT_TRUE(a.data[0] == 'F' || a.data[0] == 'D') << a.data;
            auto& lines = a.data[0] == 'F' ? l.files : l.dirs;
            auto& end = a.data[0] == 'F' ? l.files_end : l.dirs_end;
            EXPECT_EQ(end, "") << "data after the end marker";
            std::string rest = a.data.substr(1);
            const size_t cr = rest.find('\r');
            if (cr != std::string::npos) {
                end = rest.substr(cr + 1);
                rest.resize(cr);
            }
            EXPECT_TRUE(rest.empty() || rest.back() == '\n') << "a line was cut: " << rest;
            for (size_t pos = 0; pos < rest.size();) {
                const size_t nl = rest.find('\n', pos);
                lines.insert(rest.substr(pos, nl - pos));
                pos = nl + 1;
            }
        }
        return l;
    }

    // Collects 10132 results until `done` holds for them or a read comes back empty.
    template <typename Done>
    std::string collect(Done done, uint32_t olen = kOutput) {
        std::string all;
        while (!done(all)) {
            answer a = control(10132, {}, olen);
            EXPECT_EQ(a.error, 0) << a.text;
            if (a.error != 0 || a.data.empty()) break;
            all += a.data;
        }
        return all;
    }
    // The results of a command with `entries` text answers, each ending in `sep`.
    std::string collect_texts(size_t entries, char sep = '\t') {
        return collect([&](const std::string& s) {
            return static_cast<size_t>(std::count(s.begin(), s.end(), sep)) >= entries;
        });
    }
    std::vector<data_block> collect_blocks(size_t entries, uint32_t olen = kOutput) {
        std::vector<data_block> blocks;
        std::string raw = collect(
            [&](const std::string& s) {
                size_t count = 0;
                for (size_t pos = 0; pos + 4 <= s.size(); ++count) {
                    uint32_t head = (uint32_t{static_cast<uint8_t>(s[pos])} << 24) |
                                    (uint32_t{static_cast<uint8_t>(s[pos + 1])} << 16) |
                                    (uint32_t{static_cast<uint8_t>(s[pos + 2])} << 8) |
                                    static_cast<uint8_t>(s[pos + 3]);
                    pos += 4 + (head & MFILE_HEAD_LEN_MASK);
                }
                return count >= entries;
            },
            olen);
        for (size_t pos = 0; pos < raw.size();) {
            size_t consumed = 0;
            mfile_data_result r;
            if (libmfile_read_get_data_len_err(reinterpret_cast<uint8_t*>(raw.data() + pos),
                                               raw.size() - pos, &consumed, &r) != 0) {
                ADD_FAILURE() << "bad block at " << pos;
                break;
            }
            data_block b{r.open_failed || r.read_failed, r.status, {}};
            if (r.data != nullptr) b.payload.assign(reinterpret_cast<char*>(r.data), r.length);
            std::free(r.data);
            blocks.push_back(b);
            pos += consumed;
        }
        return blocks;
    }

    dvtest::TempDir top_{"srv_batch_test"};
    std::string root_path_ = top_.at("root");
    std::string outside_ = top_.at("outside");
    dvsrv_conf conf_;
    os_root* root_ = nullptr;
    std::shared_ptr<srv_context> ctx_;
};

// ---- the lister ----

TEST_F(BatchControl, ListsFilesDirectoriesAndLinksAsOnDisk) {
    write_file(at("a.txt"), "abc");
    fs::create_directories(at("sub/deeper"));
    write_file(at("sub/inner"), "12345");
    fs::create_symlink("a.txt", at("to_file"));
    fs::create_symlink("sub", at("to_dir"));
    fs::create_symlink("nowhere", at("dangling"));

    expect_ok(10120, "/\t0\t2000");
    listing l = read_listing();
    EXPECT_EQ(l.files_end, "0");
    EXPECT_EQ(l.dirs_end, "0");
    std::set<std::string> on_disk_files, on_disk_dirs;
    for (const auto& e : fs::directory_iterator(root_path_)) {
        const bool real_dir = e.is_directory() && !e.is_symlink();
        (real_dir ? on_disk_dirs : on_disk_files).insert(e.path().filename().string());
    }
    EXPECT_EQ(names_of(l.files), on_disk_files);
    EXPECT_EQ(names_of(l.dirs), on_disk_dirs);
    for (const auto& line : l.files) {
        const std::string name = name_of(line);
        if (name == "a.txt") {
            EXPECT_EQ(field_of(line, 1), "");
            EXPECT_EQ(field_of(line, 5), "3");
        } else if (name == "to_dir") {
            EXPECT_EQ(field_of(line, 1), "sub");
            EXPECT_EQ(field_of(line, 2), "101");
            EXPECT_EQ(field_of(line, 5), "0");
        } else if (name == "abs_out") {
            // The link's text as stored; what it leads to is judged beneath the root.
            EXPECT_EQ(field_of(line, 1), outside_);
            EXPECT_EQ(field_of(line, 2), "102");
        }
    }

    // One more directory on the same lister, then one that has gone in between.
    expect_ok(10122, "sub");
    l = read_listing();
    EXPECT_EQ(names_of(l.files), std::set<std::string>{"inner"});
    EXPECT_EQ(names_of(l.dirs), std::set<std::string>{"deeper"});
    EXPECT_EQ(l.files_end, "0");
    expect_ok(10122, "sub/gone");
    l = read_listing();
    EXPECT_TRUE(l.files.empty() && l.dirs.empty());
    EXPECT_EQ(l.files_end, std::to_string(srv_errno_status(ENOENT)));
    EXPECT_EQ(l.dirs_end, l.files_end);
}

// A small output takes the listing in several replies of whole lines, none lost or repeated.
TEST_F(BatchControl, SmallOutputGetsWholeLinesOnly) {
    std::set<std::string> names;
    for (int i = 0; i < 30; ++i) {
        names.insert("file_" + std::to_string(i));
        write_file(at("file_" + std::to_string(i)), "x");
    }
    names.insert("abs_out");
    names.insert("rel_out");
    expect_ok(10120, "\t0\t1000");
    listing l = read_listing(200);
    EXPECT_EQ(l.files.size(), names.size());
    EXPECT_EQ(names_of(l.files), names);
    EXPECT_EQ(l.files_end, "0");
}

TEST_F(BatchControl, ListerOpenFailuresCarryTheDirectorysStatus) {
    write_file(at("plain"), "x");
    answer a = control(10120, "missing\t0\t1000");
    EXPECT_EQ(a.error, srv_errno_status(ENOENT));
    a = control(10120, "plain\t0\t1000");
    EXPECT_EQ(a.error, srv_errno_status(ENOTDIR));
    EXPECT_EQ(control(10123, {}, kOutput).error, VERR_INVALID_STATE);

    // A failed second open leaves no lister of the first behind.
    expect_ok(10120, "/\t0\t1000");
    EXPECT_NE(control(10120, "missing\t0\t1000").error, 0);
    EXPECT_EQ(control(10122, "/").error, VERR_INVALID_STATE);
}

// A second open replaces the first, also while the first still has lines to hand over.
TEST_F(BatchControl, SecondListerOpenReplacesTheFirst) {
    fs::create_directories(at("one"));
    fs::create_directories(at("two"));
    write_file(at("one/1"), "");
    write_file(at("two/2"), "");
    expect_ok(10120, "one\t0\t1000");
    expect_ok(10120, "two\t1f\t1000");
    listing l = read_listing();
    EXPECT_EQ(names_of(l.files), std::set<std::string>{"2"});
    expect_ok(10121, "");
    expect_ok(10121, "");  // closing no lister is fine
}

// ---- the worker ----

TEST_F(BatchControl, WorkerCommandsRoundTripAgainstTheDisk) {
    expect_ok(10130, "65536\t1000");

    // Write files: data, a new parent, an empty file, a link entry.
    const std::string writes = write_line("f1", b64("hello")) + "\n" +
                               write_line("d/f2", b64("world")) + "\n" + write_line("empty", "") +
                               "\n" + write_line("lnk", "", 0x102, "f1");
    expect_ok(10135, "/\t" + writes);
    std::string results = collect_texts(4, '\n');
    EXPECT_EQ(results, "0\t5\n0\t5\n0\t0\n0\t0\n");
    EXPECT_EQ(read_file(at("f1")), "hello");
    EXPECT_EQ(read_file(at("d/f2")), "world");
    EXPECT_TRUE(fs::is_regular_file(at("empty")) && fs::file_size(at("empty")) == 0);
    EXPECT_EQ(fs::read_symlink(at("lnk")), "f1");

    // Read files: the base kept from before ("\tlist"), a short file, a missing one.
    expect_ok(10133, "\tf1\t100\nd/f2\t3\nmissing\t10");
    auto blocks = collect_blocks(3);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].payload, "hello");
    EXPECT_EQ(blocks[1].payload, "wor");
    EXPECT_TRUE(blocks[2].failed);
    EXPECT_EQ(blocks[2].status, srv_errno_status(ENOENT));

    // Create directories, parents included.
    expect_ok(10134, "/\t" + dir_line("x/y") + "\n" + dir_line("z"));
    EXPECT_EQ(collect_texts(2), "0\t0\t");
    EXPECT_TRUE(fs::is_directory(at("x/y")) && fs::is_directory(at("z")));

    // Remove files: the link goes, not what it leads to; a missing name fails alone.
    expect_ok(10136, "/\tlnk\nmissing");
    EXPECT_EQ(collect_texts(2), "0\t" + std::to_string(srv_errno_status(ENOENT)) + "\t");
    EXPECT_FALSE(fs::exists(fs::symlink_status(at("lnk"))));
    EXPECT_TRUE(fs::exists(at("f1")));

    // Empty a base given alone, and one given with an empty list: directories stay.
    fs::create_directories(at("d/sub"));
    expect_ok(10138, "d");
    EXPECT_EQ(collect([](const std::string& s) { return s.find('$') != std::string::npos; }),
              "F\t0\t$");
    EXPECT_FALSE(fs::exists(at("d/f2")));
    EXPECT_TRUE(fs::is_directory(at("d/sub")));
    expect_ok(10138, "missing\t");
    EXPECT_EQ(collect([](const std::string& s) { return s.find('$') != std::string::npos; }),
              "D\t" + std::to_string(srv_errno_status(ENOENT)) + "\t$");
}

// The block that ends a command never reaches the client: a command without entries answers
// nothing, and the next command's results come alone.
TEST_F(BatchControl, EndOfCommandIsNeverDelivered) {
    expect_ok(10130, "4096\t300");
    expect_ok(10136, "/");
    answer a = control(10132, {}, kOutput);
    EXPECT_EQ(a.error, 0);
    EXPECT_EQ(a.data, "");
    expect_ok(10136, "/\tnone1\nnone2");
    expect_ok(10136, "/\tnone3");
    const std::string enoent = std::to_string(srv_errno_status(ENOENT));
    EXPECT_EQ(collect([](const std::string&) { return false; }),
              enoent + "\t" + enoent + "\t" + enoent + "\t");
}

// A buffer larger than the server grants is lowered to its cap and a tiny one raised to the
// worker's minimum; what does not fit is refused per entry, never cut.
TEST_F(BatchControl, WorkerBufferIsCappedBothWays) {
    write_file(at("big"), std::string(SRV_MAX_WORKER_BUFFER, 'b'));
    expect_ok(10130, "100000000\t1000");
    expect_ok(10133, "/\tbig\t" + std::to_string(SRV_MAX_WORKER_BUFFER - 4) + "\nbig\t" +
                         std::to_string(SRV_MAX_WORKER_BUFFER));
    // The first block fills the whole buffer: an output one byte short cannot take it.
    EXPECT_EQ(control(10132, {}, SRV_MAX_WORKER_BUFFER - 1).error, VERR_BUFFER_OVERFLOW);
    auto blocks = collect_blocks(2, SRV_MAX_WORKER_BUFFER);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].payload, std::string(SRV_MAX_WORKER_BUFFER - 4, 'b'));
    EXPECT_TRUE(blocks[1].failed);
    EXPECT_EQ(blocks[1].status, VERR_BUFFER_OVERFLOW);

    expect_ok(10130, "0\t1000");
    expect_ok(10133, "/\tbig\t4\nbig\t5");
    blocks = collect_blocks(2);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].payload, "bbbb");
    EXPECT_EQ(blocks[1].status, VERR_BUFFER_OVERFLOW);
}

// ---- what a client cannot reach ----

// Bases and names that point out of the served root, through "..", absolute paths, links that
// were there and links the worker itself wrote: nothing outside is read, listed, written or
// removed (the fixture checks the outside tree after every test).
TEST_F(BatchControl, WorkerNeverReachesOutsideTheRoot) {
    expect_ok(10130, "65536\t1000");
    expect_ok(10135, "/\t" + write_line("own_link", "", 0x102, outside_.c_str()) + "\n" +
                         write_line("own_rel", "", 0x102, "../outside"));
    EXPECT_EQ(collect_texts(2, '\n'), "0\t0\n0\t0\n");

    const std::vector<std::string> bases = {"../outside", "/../outside", outside_,
                                            "abs_out",    "abs_out/",    "rel_out/",
                                            "own_link",   "own_link/",   "own_rel/"};
    for (const auto& base : bases) {
        SCOPED_TRACE(base);
        expect_ok(10133, base + "\tsecret\t100\ndir/deep\t100");
        const auto blocks = collect_blocks(2);
        EXPECT_EQ(blocks.size(), 2u);
        for (const auto& b : blocks) {
            EXPECT_TRUE(b.failed);
            EXPECT_EQ(b.payload, "");
        }
        expect_ok(10135, base + "\t" + write_line("secret", b64("pwned")) + "\n" +
                             write_line("planted", b64("pwned")));
        collect_texts(2, '\n');
        expect_ok(10134, base + "\t" + dir_line("newdir"));
        collect_texts(1);
        expect_ok(10136, base + "\tsecret\ndir/deep");
        collect_texts(2);
        expect_ok(10138, base);
        collect([](const std::string& s) { return s.find('$') != std::string::npos; });
    }
    // Names that climb, or lead through the links, from the root itself.
    const std::string names =
        "../outside/secret\nabs_out/secret\nrel_out/secret\nown_link/"
        "secret\nown_rel/dir/deep\n/etc/passwd";
    std::string reads;
    for (size_t pos = 0; pos < names.size();) {
        size_t nl = names.find('\n', pos);
        reads += names.substr(pos, nl - pos) + "\t100\n";
        pos = nl == std::string::npos ? names.size() : nl + 1;
    }
    reads.pop_back();
    expect_ok(10133, "/\t" + reads);
    const auto blocks = collect_blocks(6);
    EXPECT_EQ(blocks.size(), 6u);
    for (const auto& b : blocks) EXPECT_TRUE(b.failed);
    expect_ok(10136, "/\t" + names);
    const std::string removed = collect_texts(6);
    EXPECT_EQ(std::count(removed.begin(), removed.end(), '\t'), 6) << removed;
    EXPECT_EQ(("\t" + removed).find("\t0\t"), std::string::npos) << removed;
}

TEST_F(BatchControl, ListerNeverListsOutsideTheRoot) {
    fs::create_symlink(outside_ + "/dir", at("abs_dir"));
    const std::vector<std::string> dirs = {"..",      "../outside", "/../outside", outside_,
                                           "abs_out", "abs_out/",   "rel_out",     "abs_dir"};
    expect_ok(10120, "/\t0\t1000");
    read_listing();
    for (const auto& dir : dirs) {
        SCOPED_TRACE(dir);
        answer a = control(10120, dir + "\t0\t500");
        if (a.error == 0) {
            listing l = read_listing();
            for (const auto& line : l.files) EXPECT_NE(name_of(line), "secret");
            for (const auto& line : l.dirs) EXPECT_NE(name_of(line), "dir");
        }
        expect_ok(10120, "/\t0\t500");
        read_listing();
        expect_ok(10122, dir);
        listing l = read_listing();
        for (const auto& line : l.files) {
            EXPECT_NE(name_of(line), "secret");
            EXPECT_NE(name_of(line), "deep");
        }
        for (const auto& line : l.dirs) EXPECT_NE(name_of(line), "dir");
    }
}

// ---- bad requests ----

struct bad_text {
    int32_t cmd;
    std::string data;  // as sent, zero included or not
    verr error;
};

void PrintTo(const bad_text& c, std::ostream* os) {
    *os << c.cmd << " [";
    for (char ch : c.data) {
        if (ch == '\0') {
            *os << "\\0";
        } else if (ch == '\t') {
            *os << "\\t";
        } else {
            *os << ch;
        }
    }
    *os << "]";
}

TEST_F(BatchControl, BadTextsAreRefusedAndChangeNothing) {
    using namespace std::string_literals;
    const bad_text cases[] = {
        {10120, "\0"s, VERR_INVALID_PARAMETER},
        {10120, "dir\0"s, VERR_INVALID_PARAMETER},
        {10120, "/\t0\0"s, VERR_INVALID_PARAMETER},
        {10120, "/\tzz\t100\0"s, VERR_INVALID_PARAMETER},
        {10120, "/\t0\t-1\0"s, VERR_INVALID_PARAMETER},
        {10120, "/\t0\t1x\0"s, VERR_INVALID_PARAMETER},
        {10120, "/\t0\t\0"s, VERR_INVALID_PARAMETER},
        {10120, "/\t0\t99999999999\0"s, VERR_INVALID_PARAMETER},
        {10120, "/\t123456789\t100\0"s, VERR_INVALID_PARAMETER},
        {10120, "/\0\t0\t100\0"s, VERR_INVALID_PARAMETER},
        {10130, ""s, VERR_INVALID_PARAMETER},
        {10130, "4096\0"s, VERR_INVALID_PARAMETER},
        {10130, "4096\t-5\0"s, VERR_INVALID_PARAMETER},
        {10130, "-1\t100\0"s, VERR_INVALID_PARAMETER},
        {10130, "abc\t100\0"s, VERR_INVALID_PARAMETER},
        {10130, "4096\t100\t7\0"s, VERR_INVALID_PARAMETER},
        {10130, "4096\t100\0junk"s, VERR_INVALID_PARAMETER},
        {10130, "99999999999\t100\0"s, VERR_INVALID_PARAMETER},
    };
    write_file(at("kept"), "k");
    expect_ok(10120, "/\t0\t1000");
    expect_ok(10130, "4096\t1000");
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c));
        answer a = control_bytes(c.cmd, c.data, kOutput);
        EXPECT_TRUE(a.handled);
        EXPECT_EQ(a.error, c.error) << a.text;
        EXPECT_FALSE(a.has_data);
    }
    // The lister and the worker opened before are still the ones serving.
    EXPECT_EQ(names_of(read_listing().files),
              (std::set<std::string>{"kept", "abs_out", "rel_out"}));
    expect_ok(10133, "/\tkept\t10");
    auto blocks = collect_blocks(1);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].payload, "k");
    // A worker command with garbage after its zero, and an empty-the-base with a list.
    EXPECT_EQ(control_bytes(10136, std::string("/\tkept\0junk", 11)).error, VERR_INVALID_PARAMETER);
    EXPECT_EQ(control(10138, "/\tkept").error, VERR_INVALID_PARAMETER);
    EXPECT_TRUE(fs::exists(at("kept")));
}

// A text without its terminating zero is taken whole.
TEST_F(BatchControl, TextWithoutZeroIsTakenWhole) {
    write_file(at("f"), "data");
    EXPECT_EQ(control_bytes(10120, "/\t0\t1000").error, 0);
    EXPECT_EQ(control_bytes(10130, "4096\t1000").error, 0);
    EXPECT_EQ(control_bytes(10133, "/\tf\t4").error, 0);
    auto blocks = collect_blocks(1);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].payload, "data");
}

TEST_F(BatchControl, RequestsNeedingAnOpenListerOrWorkerAreRefused) {
    for (int32_t cmd : {10122, 10123, 10132, 10133, 10134, 10135, 10136, 10138}) {
        SCOPED_TRACE(cmd);
        answer a = control(cmd, "/\tx", kOutput);
        EXPECT_EQ(a.error, VERR_INVALID_STATE);
    }
    for (int32_t cmd : {10121, 10131}) {
        SCOPED_TRACE(cmd);
        expect_ok(cmd, "");
    }
    // Closed again after being open.
    expect_ok(10130, "4096\t100");
    expect_ok(10131, "");
    EXPECT_EQ(control(10132, {}, kOutput).error, VERR_INVALID_STATE);
    expect_ok(10120, "/\t0\t100");
    expect_ok(10121, "");
    EXPECT_EQ(control(10123, {}, kOutput).error, VERR_INVALID_STATE);
}

TEST_F(BatchControl, CodesBesideTheBatchCodesAreNotTheirs) {
    for (int32_t cmd : {0, 10119, 10124, 10129, 10137, 10139, -10120}) {
        SCOPED_TRACE(cmd);
        EXPECT_FALSE(control(cmd, "/\t0\t100", kOutput).handled);
    }
}

TEST_F(BatchControl, OutputTooSmallIsRefused) {
    expect_ok(10120, "/\t0\t100");
    EXPECT_EQ(control(10123, {}, 0).error, VERR_BUFFER_OVERFLOW);
    EXPECT_EQ(control(10123, {}, 1).error, VERR_BUFFER_OVERFLOW);
    expect_ok(10130, "4096\t100");
    // Short answers are collected with an output far below the worker's buffer: only a block
    // that cannot fit the output is refused.
    expect_ok(10136, "/\tnone");
    answer a = control(10132, {}, 16);
    EXPECT_EQ(a.error, 0);
    EXPECT_EQ(a.data, std::to_string(srv_errno_status(ENOENT)) + "\t");
    write_file(at("f"), std::string(100, 'f'));
    expect_ok(10133, "/\tf\t100");
    answer small;
    for (int i = 0; i < 50 && small.error == 0 && small.data.empty(); ++i) {
        small = control(10132, {}, 64);
    }
    EXPECT_EQ(small.error, VERR_BUFFER_OVERFLOW);
    a = control(10132, {}, 4096);
    EXPECT_EQ(a.error, 0);
    EXPECT_EQ(a.data.size(), 104u);
    // An output far above what the server hands out is served, capped.
    EXPECT_EQ(control(10132, {}, 0xffffffffu).error, 0);
    EXPECT_EQ(control(10123, {}, 0xffffffffu).error, 0);
}

// ---- waits ----

// A request waiting for listing data or results returns promptly, successful and empty, when
// another thread interrupts the context; an interrupt that came while nothing waited ends the
// next wait.
TEST_F(BatchControl, InterruptEndsABlockedWait) {
    expect_ok(10120, "/\t0\t5000");
    read_listing();
    expect_ok(10130, "4096\t5000");
    for (int32_t cmd : {10123, 10132}) {
        SCOPED_TRACE(cmd);
        std::thread interrupter([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            srv_batch_interrupt(*ctx_);
        });
        const auto start = std::chrono::steady_clock::now();
        answer a = control(cmd, {}, kOutput);
        const auto waited = std::chrono::steady_clock::now() - start;
        interrupter.join();
        EXPECT_EQ(a.error, 0);
        EXPECT_EQ(a.data, "");
        EXPECT_LT(waited, std::chrono::milliseconds(2500));
    }
    srv_batch_interrupt(*ctx_);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(control(10132, {}, kOutput).data, "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
}

// However long a client asks to wait, one request waits at most the server's longest wait.
TEST_F(BatchControl, WaitIsCapped) {
    expect_ok(10130, "4096\t600000");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(control(10132, {}, kOutput).data, "");
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(SRV_MAX_WAIT_MS - 100));
    EXPECT_LT(waited, std::chrono::milliseconds(SRV_MAX_WAIT_MS + 2000));
}

// ---- what a client may leave posted ----

// Posts are taken without waiting and held until their turn: a client that posts and never reads
// is refused once it has a bounded amount outstanding (a few frames of lists, a megabyte of
// directories), and may post again once it has read.
TEST_F(BatchControl, PostsBeyondWhatTheClientReadsAreRefused) {
    write_file(at("f"), "0123456789");
    std::string reads;
    for (int i = 0; i < 200; ++i) reads += "f\t10\n";
    expect_ok(10130, "4096\t1000");
    expect_ok(10133, "/\t" + reads);  // more results than the worker queues: it waits for us
    const std::string big_list = "/\t" + std::string(4 << 20, 'x');
    int accepted = 0;
    answer refused;
    for (int i = 0; i < 20 && refused.error == 0; ++i) {
        answer a = control(10136, big_list);
        if (a.error == 0) {
            ++accepted;
        } else {
            refused = a;
        }
    }
    EXPECT_EQ(refused.error, VERR_TRY_AGAIN) << refused.text;
    EXPECT_GE(accepted, 6);
    EXPECT_LE(accepted, 8);
    EXPECT_EQ(collect_blocks(200).size(), 200u);
    const std::string removed = collect_texts(static_cast<size_t>(accepted));
    EXPECT_EQ(std::count(removed.begin(), removed.end(), '\t'), accepted) << removed;
    expect_ok(10136, big_list);
    EXPECT_NE(collect_texts(1), "");

    fs::create_directories(at("many"));
    for (int i = 0; i < 1500; ++i)
        write_file(at("many/" + std::string(120, 'n') + std::to_string(i)), "");
    expect_ok(10120, "many\t0\t1000");  // its listing fills the streams and waits for a read
    const std::string long_dir(64 << 10, 'd');
    accepted = 0;
    refused = answer{};
    for (int i = 0; i < 40 && refused.error == 0; ++i) {
        answer a = control(10122, long_dir);
        if (a.error == 0) {
            ++accepted;
        } else {
            refused = a;
        }
    }
    EXPECT_EQ(refused.error, VERR_TRY_AGAIN) << refused.text;
    EXPECT_GE(accepted, 14);
    EXPECT_LE(accepted, 16);
}

// ---- closing with work outstanding ----

// Results nobody collects and a listing nobody reads hold their threads back; closing, a second
// open and the end of the context still return.
TEST_F(BatchControl, ClosingWithWorkOutstandingReturns) {
    write_file(at("f"), "0123456789");
    fs::create_directories(at("many"));
    for (int i = 0; i < 1500; ++i)
        write_file(at("many/" + std::string(120, 'n') + std::to_string(i)), "");
    std::string reads;
    for (int i = 0; i < 3000; ++i) reads += "f\t10\n";
    reads.pop_back();

    expect_ok(10130, "4096\t1000");
    expect_ok(10133, "/\t" + reads);
    expect_ok(10131, "");
    expect_ok(10130, "4096\t1000");
    expect_ok(10133, "/\t" + reads);
    expect_ok(10130, "4096\t1000");  // replaces the busy worker
    expect_ok(10133, "/\t" + reads);
    EXPECT_FALSE(collect_blocks(1).empty());

    expect_ok(10120, "many\t0\t1000");
    EXPECT_EQ(control(10123, {}, 4096).error, 0);
    expect_ok(10121, "");
    expect_ok(10120, "many\t0\t1000");
    expect_ok(10120, "many\t0\t1000");
    expect_ok(10122, "many");
    ctx_.reset();  // the deleter stops and closes both
}

}  // namespace
