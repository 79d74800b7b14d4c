#include "librdir/librdir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "lib/librdir/log_capture.h"
#include "lib/test_support/temp_dir.h"
#include "librdir/mstat.h"

namespace fs = std::filesystem;

namespace {

struct closer {
    void operator()(librdir_handle* h) const { librdir_close(h); }
};
using lister_ptr = std::unique_ptr<librdir_handle, closer>;

// One listing as the consumer sees it.
struct listing {
    std::vector<std::string> buffers;  // as returned, prefix byte included
    std::map<std::string, mstat_item> files;
    std::map<std::string, mstat_item> dirs;
    std::map<std::string, std::string> links;
    std::string files_status;  // text after the end marker's carriage return
    std::string dirs_status;
};

class Lister : public ::testing::Test {
  protected:
    std::string path(const std::string& name) const { return tmp_.at(name); }

    void make_file(const std::string& name, size_t size) {
        dvtest::write_file(path(name), std::string(size, 'x'));
    }

    lister_ptr open(const std::string& dir, int timeout_ms = 10000) {
        librdir_param p;
        p.read_timeout_ms = timeout_ms;
        p.err = &err_;
        return lister_ptr(librdir_open(dir.c_str(), &p));
    }

    // Reads until both end markers have come (or a read times out).
    static listing read_listing(librdir_handle* h, int buf_size = 65536) {
        listing out;
        std::vector<char> buf(static_cast<size_t>(buf_size));
        bool files_end = false, dirs_end = false;
        mstat* files = mstat_init(nullptr);
        mstat* dirs = mstat_init(nullptr);
        while (!(files_end && dirs_end)) {
            int n = librdir_read_item_list(h, buf.data(), buf_size);
            if (n <= 0) break;
            std::string block(buf.data(), static_cast<size_t>(n));
            out.buffers.push_back(block);
            std::string body = block.substr(1);
            size_t cr = body.find('\r');
            std::string status;
            if (cr != std::string::npos) {
                status = body.substr(cr + 1);
                body.resize(cr);
            }
            bool is_files = block[0] == 'F';
            EXPECT_TRUE(is_files || block[0] == 'D') << block;
            EXPECT_EQ(str_2_stat(body, is_files ? files : dirs), 0) << body;
            if (cr != std::string::npos) {
                (is_files ? files_end : dirs_end) = true;
                (is_files ? out.files_status : out.dirs_status) = status;
            }
        }
        for (auto [set, map] : {std::pair{files, &out.files}, std::pair{dirs, &out.dirs}}) {
            for (const mstat_item& it : mstat_items(set)) {
                (*map)[it.name] = it;
                if (it.link() != nullptr) out.links[it.name] = it.link();
            }
        }
        mstat_exit(files);
        mstat_exit(dirs);
        return out;
    }

    dvtest::TempDir tmp_{"librdir_test"};
    std::string root_ = tmp_.path();
    err_info err_{};
};

TEST_F(Lister, EmptyDirectoryGivesFilesEndThenDirsEnd) {
    auto h = open(root_);
    ASSERT_TRUE(h);
    char buf[64];
    int n = librdir_read_item_list(h.get(), buf, sizeof(buf));
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "F\r0");
    n = librdir_read_item_list(h.get(), buf, sizeof(buf));
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "D\r0");
}

TEST_F(Lister, FilesOnlyDirectory) {
    for (int i = 0; i < 5; ++i) make_file("f" + std::to_string(i), static_cast<size_t>(i * 10));
    struct timeval times[2] = {{1000, 0}, {2000, 0}};
    ASSERT_EQ(utimes(path("f1").c_str(), times), 0);
    auto h = open(root_);
    ASSERT_TRUE(h);
    listing l = read_listing(h.get());
    ASSERT_GE(l.buffers.size(), 2u);
    EXPECT_EQ(l.buffers.back(), "D\r0");
    for (size_t i = 0; i + 1 < l.buffers.size(); ++i) EXPECT_EQ(l.buffers[i][0], 'F');
    EXPECT_EQ(l.files_status, "0");
    ASSERT_EQ(l.files.size(), 5u);
    EXPECT_TRUE(l.dirs.empty());
    const mstat_item& f1 = l.files["f1"];
    EXPECT_EQ(f1.size, 10u);
    EXPECT_EQ(f1.type, 2u);
    EXPECT_EQ(f1.mode & S_IFMT, static_cast<uint32_t>(S_IFREG));
    EXPECT_EQ(f1.attr, 0x80u);
    EXPECT_EQ(f1.atime, 1000);
    EXPECT_EQ(f1.mtime, 2000);
    EXPECT_EQ(f1.uid, getuid());
    EXPECT_EQ(f1.gid, getgid());
}

TEST_F(Lister, LinksGoToTheFilesStreamWithRawTextAndSizeZero) {
    fs::create_directory(path("sub"));
    make_file("sub/inner", 3);
    make_file("plain", 7);
    fs::create_directory_symlink("sub", path("to_dir"));
    fs::create_symlink("../elsewhere/missing", path("dangling"));
    fs::create_symlink("plain", path("to_file"));
    auto h = open(root_);
    ASSERT_TRUE(h);
    listing l = read_listing(h.get());
    EXPECT_EQ(l.files_status, "0");
    EXPECT_EQ(l.dirs_status, "0");
    ASSERT_EQ(l.dirs.size(), 1u);
    EXPECT_EQ(l.dirs["sub"].type, 1u);
    EXPECT_EQ(l.dirs["sub"].link(), nullptr);

    ASSERT_EQ(l.files.size(), 4u);
    EXPECT_EQ(l.files["to_dir"].type, 0x101u);
    EXPECT_EQ(l.files["to_dir"].size, 0u);
    EXPECT_EQ(l.files["to_dir"].attr, 0x80u);
    EXPECT_EQ(l.links["to_dir"], "sub");
    EXPECT_EQ(l.files["dangling"].type, 0x102u);
    EXPECT_EQ(l.links["dangling"], "../elsewhere/missing");
    EXPECT_EQ(l.files["to_file"].type, 0x102u);
    EXPECT_EQ(l.files["to_file"].size, 0u);
    EXPECT_EQ(l.files["plain"].size, 7u);
    EXPECT_EQ(l.links.count("plain"), 0u);
}

TEST_F(Lister, NamesAreListedAndStatedByteForByte) {
    // Each name gets its own size: a normalised path would stat a different file (or none).
    const std::vector<std::string> names = {"a\\b", " lead", "trail ", "q\"uote", "'s'", "file:x"};
    for (size_t i = 0; i < names.size(); ++i) make_file(names[i], i + 1);
    auto h = open(root_);
    ASSERT_TRUE(h);
    listing l = read_listing(h.get());
    EXPECT_EQ(l.files_status, "0");
    ASSERT_EQ(l.files.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        ASSERT_EQ(l.files.count(names[i]), 1u) << names[i];
        EXPECT_EQ(l.files[names[i]].size, i + 1) << names[i];
    }
}

TEST_F(Lister, NameThatCannotBeCarriedIsSkippedAndTheListingMarkedIncomplete) {
    log_capture log;
    make_file("ok", 1);
    make_file("tab\there", 1);
    make_file("new\nline", 1);
    make_file("\r0", 1);  // would otherwise pass for an end marker
    fs::create_directory(path("dir\nname"));
    fs::create_symlink("bad\ttarget", path("link"));
    auto h = open(root_);
    ASSERT_TRUE(h);
    listing l = read_listing(h.get());
    ASSERT_EQ(l.files.size(), 1u);
    EXPECT_EQ(l.files.count("ok"), 1u);
    EXPECT_TRUE(l.dirs.empty());
    // Both streams end with a failure, so no consumer takes the skipped entries for deleted.
    EXPECT_EQ(l.files_status, "-104");
    EXPECT_EQ(l.dirs_status, "-104");
    EXPECT_TRUE(log.has("skipped"));
}

TEST_F(Lister, SmallReaderBufferHoldsTheBlockBack) {
    const std::string name(100, 'n');
    make_file(name, 1);
    auto h = open(root_, 300);
    ASSERT_TRUE(h);
    log_capture log;
    char small[32];
    // The files line does not fit: that stream gives nothing; the directories stream (only its
    // end marker) may be served meanwhile.
    for (int i = 0; i < 3; ++i) {
        int n = librdir_read_item_list(h.get(), small, sizeof(small));
        if (n > 0) {
            EXPECT_EQ(std::string(small, static_cast<size_t>(n)), "D\r0");
        }
    }
    EXPECT_TRUE(log.has("len must >= blen"));
    char big[512];
    int n = librdir_read_item_list(h.get(), big, sizeof(big));
    ASSERT_GT(n, 0);
    std::string block(big, static_cast<size_t>(n));
    EXPECT_EQ(block.substr(0, 102), "F" + name + "\t");
    EXPECT_EQ(block.substr(block.size() - 3), "\n\r0");
}

TEST_F(Lister, LargeDirectoryStreamsInWholeLines) {
    for (int i = 0; i < 300; ++i) make_file("entry_" + std::to_string(i), 1);
    for (int i = 0; i < 20; ++i) fs::create_directory(path("dir_" + std::to_string(i)));
    auto h = open(root_);
    ASSERT_TRUE(h);
    listing l = read_listing(h.get(), 1024);
    EXPECT_GT(l.buffers.size(), 5u);
    for (const std::string& b : l.buffers) EXPECT_LE(b.size(), 1024u);
    EXPECT_EQ(l.files.size(), 300u);
    EXPECT_EQ(l.dirs.size(), 20u);
    EXPECT_EQ(l.files_status, "0");
    EXPECT_EQ(l.dirs_status, "0");
}

TEST_F(Lister, ManyLinesArriveWholeWhateverTheReaderBufferSize) {
    // Far more lines than one hand-over block holds.
    const std::string stem(120, 's');
    for (int i = 0; i < 800; ++i) make_file(stem + std::to_string(i), 1);
    for (int i = 0; i < 5; ++i) fs::create_directory(path("dir_" + std::to_string(i)));
    auto h = open(root_);
    ASSERT_TRUE(h);
    bool first = true;
    for (int buf_size : {1 << 20, 65536, 4096, 200}) {
        SCOPED_TRACE(buf_size);
        if (!first) {
            ASSERT_EQ(librdir_enum_dir(h.get(), root_.c_str()), 0);
        }
        first = false;
        listing l = read_listing(h.get(), buf_size);  // refuses any line cut in two
        EXPECT_EQ(l.files.size(), 800u);
        EXPECT_EQ(l.dirs.size(), 5u);
        EXPECT_EQ(l.files_status, "0");
        EXPECT_EQ(l.dirs_status, "0");
        // Only the last buffer of each stream carries its end marker; the others end a line.
        std::map<char, size_t> markers;
        for (size_t i = 0; i < l.buffers.size(); ++i) {
            const std::string& b = l.buffers[i];
            EXPECT_LE(b.size(), static_cast<size_t>(buf_size));
            size_t cr = b.find('\r');
            if (cr == std::string::npos) {
                EXPECT_EQ(b.back(), '\n');
                continue;
            }
            ++markers[b[0]];
            bool last_of_stream = true;
            for (size_t j = i + 1; j < l.buffers.size(); ++j) {
                if (l.buffers[j][0] == b[0]) last_of_stream = false;
            }
            EXPECT_TRUE(last_of_stream) << b[0];
        }
        EXPECT_EQ(markers['F'], 1u);
        EXPECT_EQ(markers['D'], 1u);
    }
}

TEST_F(Lister, EndMarkerThatDoesNotFitComesWithTheNextRead) {
    make_file("only", 1);
    auto h = open(root_);
    ASSERT_TRUE(h);
    char big[512];
    int whole = librdir_read_item_list(h.get(), big, sizeof(big));
    ASSERT_GT(whole, 3);
    const std::string block(big, static_cast<size_t>(whole));
    ASSERT_EQ(block.substr(block.size() - 3), "\n\r0");
    const std::string line = block.substr(1, block.size() - 3);
    ASSERT_EQ(librdir_read_item_list(h.get(), big, sizeof(big)), 3);  // "D\r0"

    // Room for the prefix, the line and one byte: the marker waits for the next read.
    ASSERT_EQ(librdir_enum_dir(h.get(), root_.c_str()), 0);
    std::vector<char> tight(line.size() + 2);
    int n = librdir_read_item_list(h.get(), tight.data(), static_cast<int>(tight.size()));
    EXPECT_EQ(std::string(tight.data(), static_cast<size_t>(n > 0 ? n : 0)), "F" + line);
    n = librdir_read_item_list(h.get(), tight.data(), static_cast<int>(tight.size()));
    EXPECT_EQ(std::string(tight.data(), static_cast<size_t>(n > 0 ? n : 0)), "F\r0");
    n = librdir_read_item_list(h.get(), tight.data(), static_cast<int>(tight.size()));
    EXPECT_EQ(std::string(tight.data(), static_cast<size_t>(n > 0 ? n : 0)), "D\r0");
}

TEST_F(Lister, HandleIsReusedAfterBothEndMarkers) {
    fs::create_directory(path("a"));
    fs::create_directory(path("b"));
    make_file("a/one", 1);
    make_file("b/two", 2);
    auto h = open(path("a"));
    ASSERT_TRUE(h);
    listing first = read_listing(h.get());
    EXPECT_EQ(first.files.count("one"), 1u);
    ASSERT_EQ(librdir_enum_dir(h.get(), path("b").c_str()), 0);
    listing second = read_listing(h.get());
    ASSERT_EQ(second.files.size(), 1u);
    EXPECT_EQ(second.files["two"].size, 2u);
    EXPECT_EQ(second.files_status, "0");
    EXPECT_EQ(second.dirs_status, "0");
}

TEST_F(Lister, NothingPostedMeansATimeOutNotAHang) {
    auto h = open(root_, 200);
    ASSERT_TRUE(h);
    listing l = read_listing(h.get());
    ASSERT_EQ(l.files_status, "0");
    char buf[64];
    EXPECT_EQ(librdir_read_item_list(h.get(), buf, sizeof(buf)), 0);
}

TEST_F(Lister, DirectoryGoneBeforeItsListingEndsBothStreamsWithTheError) {
    auto h = open(root_);
    ASSERT_TRUE(h);
    read_listing(h.get());
    ASSERT_EQ(librdir_enum_dir(h.get(), path("missing").c_str()), 0);
    listing l = read_listing(h.get());
    EXPECT_EQ(l.buffers, (std::vector<std::string>{"F\r-102", "D\r-102"}));
}

TEST_F(Lister, OpenOfAMissingDirectoryFailsWithItsReason) {
    auto h = open(path("nope"));
    EXPECT_FALSE(h);
    EXPECT_EQ(err_.code, -102);
}

}  // namespace
