#include "librdir/librdir.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lib/librdir/log_capture.h"
#include "lib/test_support/temp_dir.h"
#include "libpal/os_root.h"
#include "librdir/mstat.h"
#include "librdir/temp_name.h"

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

// A slow file system for the lister: each status call of a name starting with "slow_" takes
// this long. Set only by the tests that want it.
std::atomic<int> g_slow_stat_ms{0};

}  // namespace

// Takes the place of the C library's fstatat for the lister linked into this program.
extern "C" int fstatat(int dir_fd, const char* name, struct stat* st, int flags) noexcept {
    using real_fn = int (*)(int, const char*, struct stat*, int);
    static const auto real = reinterpret_cast<real_fn>(dlsym(RTLD_NEXT, "fstatat"));
    const int delay = g_slow_stat_ms.load();
    if (delay > 0 && std::strncmp(name, "slow_", 5) == 0) {
        std::this_thread::sleep_for(milliseconds(delay));
    }
    return real(dir_fd, name, st, flags);
}

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

// The end-marker statuses of one listing, as text.
struct listing_status {
    std::string files;
    std::string dirs;
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
        return open_with(dir, p);
    }

    lister_ptr open_with(const std::string& dir, librdir_param p) {
        p.err = &err_;
        return lister_ptr(librdir_open(dir.c_str(), &p));
    }

    // `count` files named `prefix` + a number padded to a line of about `line_bytes`.
    void make_files(const std::string& dir, const std::string& prefix, int count,
                    size_t name_bytes = 20) {
        for (int i = 0; i < count; ++i) {
            std::string name = prefix + std::to_string(i);
            if (name.size() < name_bytes) name.append(name_bytes - name.size(), 'x');
            make_file(dir.empty() ? name : dir + "/" + name, 1);
        }
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

    void TearDown() override { g_slow_stat_ms.store(0); }

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
    // The line may come with its marker or on its own, as the lister happens to hand it over.
    std::string files;
    for (const std::string& b : read_listing(h.get(), 512).buffers) {
        if (b[0] == 'F') files += b.substr(1);
    }
    ASSERT_EQ(files.size() > 3 ? files.substr(files.size() - 3) : files, "\n\r0");
    const std::string line = files.substr(0, files.size() - 2);

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

// ---------------------------------------------------------------------------------------------
// Entries that are never listed

TEST_F(Lister, WritersTemporaryFilesAreNotListed) {
    char temp[RDIR_TEMP_NAME_LEN + 1];
    rdir_temp_name_make(temp);
    make_file(temp, 10);
    rdir_temp_name_make(temp);
    fs::create_directory(path(temp));
    // Near misses are a user's own files.
    const std::set<std::string> kept = {"real", ".dvcp.0123456789AB.tmp", ".dvcp.0123456789ab.tmpx",
                                        "dvcp.0123456789ab.tmp", ".dvcp.0123456789a.tmp"};
    for (const std::string& name : kept) make_file(name, 1);
    auto h = open(root_);
    ASSERT_TRUE(h);
    listing l = read_listing(h.get());
    std::set<std::string> names;
    for (const auto& [name, item] : l.files) names.insert(name);
    EXPECT_EQ(names, kept);
    EXPECT_TRUE(l.dirs.empty());
    EXPECT_EQ(l.files_status, "0");
    EXPECT_EQ(l.dirs_status, "0");
}

// The other end of a job mounted below the listed directory (the same directory under a second
// name): a walk that entered it would copy the destination into itself.
class SkipIdentity : public Lister {
  protected:
    void SetUp() override {
        fs::create_directories(path("other_end/inside"));
        make_file("other_end/file", 1);
        fs::create_directories(path("listed/plain"));
        make_file("listed/f", 1);
        fs::create_symlink(path("other_end"), path("listed/link_to_other_end"));
        for (const char* name : {"listed/mount_a", "listed/mount_b"}) {
            fs::create_directory(path(name));
            if (::mount(path("other_end").c_str(), path(name).c_str(), nullptr, MS_BIND, nullptr) !=
                0) {
                GTEST_SKIP() << "mount --bind is not allowed here";
            }
            mounts_.push_back(path(name));
        }
        struct stat st;
        ASSERT_EQ(::stat(path("other_end").c_str(), &st), 0);
        skip_.skip_dir = true;
        skip_.skip_dev = st.st_dev;
        skip_.skip_ino = st.st_ino;
    }
    void TearDown() override {
        for (const std::string& m : mounts_) ::umount2(m.c_str(), MNT_DETACH);
        Lister::TearDown();
    }

    static std::set<std::string> names(const std::map<std::string, mstat_item>& items) {
        std::set<std::string> out;
        for (const auto& [name, item] : items) out.insert(name);
        return out;
    }

    std::vector<std::string> mounts_;
    librdir_param skip_;
};

TEST_F(SkipIdentity, BindMountsOfTheOtherEndAreLeftOutWithOneWarningPerListing) {
    log_capture log;
    auto h = open_with(path("listed"), skip_);
    ASSERT_TRUE(h);
    listing l = read_listing(h.get());
    EXPECT_EQ(names(l.dirs), std::set<std::string>{"plain"});
    // A link to it is a link, listed as such: it is never walked into.
    EXPECT_EQ(names(l.files), (std::set<std::string>{"f", "link_to_other_end"}));
    EXPECT_EQ(l.files_status, "0");
    EXPECT_EQ(l.dirs_status, "0");
    EXPECT_EQ(log.count("left out: it is the other end of the job"), 1);
    EXPECT_TRUE(log.has("[" + path("listed/mount_")));

    ASSERT_EQ(librdir_enum_dir(h.get(), path("listed").c_str()), 0);
    listing again = read_listing(h.get());
    EXPECT_EQ(names(again.dirs), std::set<std::string>{"plain"});
    EXPECT_EQ(log.count("left out: it is the other end of the job"), 2);
}

TEST_F(SkipIdentity, WithoutTheIdentityTheMountsAreListed) {
    auto h = open(path("listed"));
    ASSERT_TRUE(h);
    listing l = read_listing(h.get());
    EXPECT_EQ(names(l.dirs), (std::set<std::string>{"mount_a", "mount_b", "plain"}));
}

// ---------------------------------------------------------------------------------------------
// Root-confined listings: the root is root_/inside; root_/outside sits next to it.

struct root_case {
    const char* name;
    uint32_t mode;
    const char* dir;       // given to the lister, resolved beneath the root
    const char* expected;  // names listed, comma-separated in order; nullptr: the open fails
};

void PrintTo(const root_case& c, std::ostream* os) {
    *os << c.name << " (dir \"" << c.dir << "\")";
}

class RootConfined : public Lister, public ::testing::WithParamInterface<root_case> {
  protected:
    void SetUp() override {
        fs::create_directories(path("inside/d/sub"));
        make_file("inside/d/kept", 1);
        fs::create_directories(path("outside/secret_dir"));
        make_file("outside/secret", 1);
        fs::create_symlink(path("outside"), path("inside/d/abs_out"));
        fs::create_symlink("../../outside/secret_dir", path("inside/d/rel_out"));
        fs::create_symlink("sub", path("inside/d/to_sub"));
    }

    struct root_closer {
        void operator()(os_root* r) const { os_root_close(r); }
    };
    std::unique_ptr<os_root, root_closer> make_root(uint32_t mode) {
        return std::unique_ptr<os_root, root_closer>(os_root_open(path("inside").c_str(), mode));
    }

    static std::string joined_names(const listing& l) {
        std::set<std::string> all;
        for (const auto& [name, item] : l.files) all.insert(name);
        for (const auto& [name, item] : l.dirs) all.insert(name);
        std::string out;
        for (const std::string& n : all) out += (out.empty() ? "" : ",") + n;
        return out;
    }
};

TEST_P(RootConfined, PathsResolveBeneathTheRootOnly) {
    const root_case& c = GetParam();
    auto root = make_root(c.mode);
    ASSERT_TRUE(root) << std::strerror(errno);
    librdir_param p;
    p.root = root.get();
    auto h = open_with(c.dir, p);
    if (c.expected == nullptr) {
        EXPECT_FALSE(h);
        EXPECT_NE(err_.code, 0);
        return;
    }
    ASSERT_TRUE(h) << err_.code;
    listing l = read_listing(h.get());
    EXPECT_EQ(joined_names(l), c.expected);
    EXPECT_EQ(l.files_status, "0");
}

const root_case kRootCases[] = {
    {"PlainPath", OS_ROOT_IN_ROOT, "d", "abs_out,kept,rel_out,sub,to_sub"},
    {"AbsolutePathStartsAtTheRoot", OS_ROOT_IN_ROOT, "/d/sub", ""},
    {"DotDotStopsAtTheRoot", OS_ROOT_IN_ROOT, "d/../../..", "d"},
    {"DotDotAboveTheRootFails", OS_ROOT_NO_SYMLINKS, "../outside", nullptr},
    {"DotDotInsideIsFine", OS_ROOT_NO_SYMLINKS, "d/sub/..", "abs_out,kept,rel_out,sub,to_sub"},
    {"LinkOutIsResolvedInsideAndFindsNothing", OS_ROOT_IN_ROOT, "d/abs_out", nullptr},
    {"LinkIsNotFollowed", OS_ROOT_NO_SYMLINKS, "d/to_sub", nullptr},
};

INSTANTIATE_TEST_SUITE_P(Cases, RootConfined, ::testing::ValuesIn(kRootCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RootConfined, LinksOutOfTheRootAreListedAsLinksAndNeverFollowed) {
    for (uint32_t mode : {OS_ROOT_IN_ROOT, OS_ROOT_NO_SYMLINKS}) {
        SCOPED_TRACE(mode);
        auto root = make_root(mode);
        ASSERT_TRUE(root);
        librdir_param p;
        p.root = root.get();
        auto h = open_with("d", p);
        ASSERT_TRUE(h);
        listing l = read_listing(h.get());
        EXPECT_EQ(l.files_status, "0");
        // Followed on the host, both would lead to a directory; beneath the root they lead
        // nowhere. The text stays as stored.
        EXPECT_EQ(l.files["abs_out"].type, 0x102u);
        EXPECT_EQ(l.links["abs_out"], path("outside"));
        EXPECT_EQ(l.files["rel_out"].type, 0x102u);
        EXPECT_EQ(l.links["rel_out"], "../../outside/secret_dir");
        // A link inside the root still has its target's kind.
        EXPECT_EQ(l.files["to_sub"].type, 0x101u);
        EXPECT_EQ(l.dirs.count("sub"), 1u);
    }
    // Without a root the same links lead to directories: the difference above is the root's.
    auto h = open(path("inside/d"));
    ASSERT_TRUE(h);
    listing host = read_listing(h.get());
    EXPECT_EQ(host.files["abs_out"].type, 0x101u);
    EXPECT_EQ(host.files["rel_out"].type, 0x101u);
}

// A link's kind beneath the root, whether its target is an entry of the link's own directory
// (looked up through the listed directory) or a path elsewhere (looked up from the root), and
// chains that mix the two.
TEST_F(RootConfined, LinkKindsFollowChainsBeneathTheRoot) {
    struct link_case {
        const char* name;
        const char* text;
        uint32_t type;
    };
    const link_case cases[] = {
        {"chain_to_dir", "to_sub", 0x101},    // -> to_sub -> sub
        {"chain_to_file", "to_kept", 0x102},  // -> to_kept -> kept
        {"to_kept", "kept", 0x102},
        {"sibling_missing", "nothing_here", 0x102},
        {"loop_a", "loop_b", 0x102},
        {"loop_b", "loop_a", 0x102},
        {"dot", ".", 0x101},
        {"dotdot", "..", 0x101},  // the root itself
        {"via_parent", "../d/sub", 0x101},
        {"chain_via_parent", "via_parent", 0x101},  // sibling, then a path from the root
        {"chain_out", "rel_out", 0x102},            // sibling, then out of the root
        {"into_file", "kept/x", 0x102},
    };
    for (const link_case& c : cases)
        fs::create_symlink(c.text, path(std::string("inside/d/") + c.name));
    for (uint32_t mode : {OS_ROOT_IN_ROOT, OS_ROOT_NO_SYMLINKS}) {
        SCOPED_TRACE(mode);
        auto root = make_root(mode);
        ASSERT_TRUE(root);
        librdir_param p;
        p.root = root.get();
        auto h = open_with("d", p);
        ASSERT_TRUE(h);
        listing l = read_listing(h.get());
        EXPECT_EQ(l.files_status, "0");
        for (const link_case& c : cases) {
            EXPECT_EQ(l.files[c.name].type, c.type) << c.name;
            EXPECT_EQ(l.links[c.name], c.text) << c.name;
        }
        EXPECT_EQ(l.files["to_sub"].type, 0x101u);
    }
}

TEST_F(RootConfined, WithoutLinkKindsEveryLinkReadsAsOtherAndKeepsItsText) {
    fs::create_directory_symlink("/", path("inside/d/to_root"));
    auto root = make_root(OS_ROOT_NO_SYMLINKS);
    ASSERT_TRUE(root);
    librdir_param p;
    p.root = root.get();
    p.link_kinds = false;
    auto h = open_with("d", p);
    ASSERT_TRUE(h);
    listing l = read_listing(h.get());
    EXPECT_EQ(l.files_status, "0");
    for (const char* name : {"to_sub", "abs_out", "rel_out", "to_root"}) {
        EXPECT_EQ(l.files[name].type, 0x102u) << name;
        EXPECT_EQ(l.files[name].size, 0u) << name;
    }
    EXPECT_EQ(l.links["to_sub"], "sub");
    EXPECT_EQ(l.links["to_root"], "/");
    EXPECT_EQ(l.dirs.count("sub"), 1u);
    EXPECT_EQ(l.dirs["sub"].type, 1u);
}

// ---------------------------------------------------------------------------------------------
// Hand-over, back-pressure and stop

int elapsed_ms(steady_clock::time_point since) {
    return static_cast<int>(
        std::chrono::duration_cast<milliseconds>(steady_clock::now() - since).count());
}

TEST_F(Lister, SlowEntriesReachAReaderWithAShortTimeOutAsTheyAreListed) {
    make_files("", "slow_", 40);
    g_slow_stat_ms.store(30);  // 1.2 s in all, far beyond one read's time-out
    auto h = open(root_, 400);
    ASSERT_TRUE(h);
    std::vector<char> buf(65536);
    size_t file_buffers = 0;
    int ends = 0;
    std::string files;
    while (ends < 2) {
        int n = librdir_read_item_list(h.get(), buf.data(), static_cast<int>(buf.size()));
        ASSERT_GT(n, 0) << "a read timed out with " << file_buffers << " buffers received";
        std::string block(buf.data(), static_cast<size_t>(n));
        if (block[0] == 'F') {
            ++file_buffers;
            files += block.substr(1);
        }
        if (block.find('\r') != std::string::npos) ++ends;
    }
    EXPECT_GT(file_buffers, 3u);
    EXPECT_EQ(std::count(files.begin(), files.end(), '\n'), 40);
    EXPECT_EQ(files.substr(files.size() - 3), "\n\r0");
}

TEST_F(Lister, LinesAreHandedOverWithinAboutATenthOfASecondEvenWithoutAWaitingReader) {
    make_files("", "slow_", 40);
    g_slow_stat_ms.store(30);
    auto h = open(root_);
    ASSERT_TRUE(h);
    // Nobody reads: only the age of the gathered lines can send them on.
    std::this_thread::sleep_for(milliseconds(450));
    EXPECT_GE(librdir_queued_blocks(h.get(), 'F'), 2u);
}

// Listings posted ahead run while the reader is busy elsewhere: small directories do not stop
// the lister after a few blocks, and each comes whole, in posting order.
TEST_F(Lister, SmallListingsPostedAheadRunBeforeTheReaderComes) {
    constexpr int kDirs = 40;
    for (int i = 0; i < kDirs; ++i) {
        const std::string dir = "d" + std::to_string(i);
        fs::create_directory(path(dir));
        make_files(dir, "f" + std::to_string(i) + "_", 3);
        fs::create_directory(path(dir + "/sub"));
    }
    auto h = open(path("d0"));
    ASSERT_TRUE(h);
    for (int i = 1; i < kDirs; ++i) {
        ASSERT_EQ(librdir_enum_dir(h.get(), path("d" + std::to_string(i)).c_str()), 0);
    }
    const auto deadline = steady_clock::now() + std::chrono::seconds(10);
    while (librdir_queued_blocks(h.get(), 'D') < static_cast<uint32_t>(kDirs) &&
           steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_EQ(librdir_queued_blocks(h.get(), 'F'), static_cast<uint32_t>(kDirs));
    EXPECT_EQ(librdir_queued_blocks(h.get(), 'D'), static_cast<uint32_t>(kDirs));
    for (int i = 0; i < kDirs; ++i) {
        SCOPED_TRACE(i);
        listing l = read_listing(h.get());
        EXPECT_EQ(l.files_status, "0");
        EXPECT_EQ(l.dirs_status, "0");
        ASSERT_EQ(l.files.size(), 3u);
        EXPECT_EQ(l.files.begin()->first.rfind("f" + std::to_string(i) + "_", 0), 0u);
        EXPECT_EQ(l.dirs.count("sub"), 1u);
    }
    EXPECT_EQ(librdir_queued_bytes(h.get(), 'F'), 0u);
}

struct pressure_case {
    const char* name;
    int files;
    int dirs;
};

void PrintTo(const pressure_case& c, std::ostream* os) {
    *os << c.name << " (" << c.files << " files, " << c.dirs << " directories)";
}

class BackPressure : public Lister, public ::testing::WithParamInterface<pressure_case> {};

// A reader that stops reading holds the lister at a few blocks per stream; nothing is dropped,
// and neither stream being full can stall the other.
TEST_P(BackPressure, IdleReaderBoundsTheQueuesAndLosesNothing) {
    const pressure_case& c = GetParam();
    make_files("", "file_", c.files, 150);
    for (int i = 0; i < c.dirs; ++i) {
        std::string name = "dir_" + std::to_string(i);
        fs::create_directory(path(name + std::string(150 - name.size(), 'y')));
    }
    auto h = open(root_);
    ASSERT_TRUE(h);
    // 32 KiB a stream, far less than either listing.
    constexpr size_t kBound = 32 * 1024;
    std::this_thread::sleep_for(milliseconds(500));
    const size_t files_held = librdir_queued_bytes(h.get(), 'F');
    const size_t dirs_held = librdir_queued_bytes(h.get(), 'D');
    EXPECT_LE(files_held, kBound);
    EXPECT_LE(dirs_held, kBound);
    EXPECT_GT(files_held + dirs_held, 0u);
    // Still waiting, not dropping: nothing moves while nobody reads.
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(librdir_queued_bytes(h.get(), 'F'), files_held);
    EXPECT_EQ(librdir_queued_bytes(h.get(), 'D'), dirs_held);

    std::vector<char> buf(4096);
    std::string files, dirs;
    int ends = 0;
    while (ends < 2) {
        int n = librdir_read_item_list(h.get(), buf.data(), static_cast<int>(buf.size()));
        ASSERT_GT(n, 0);
        (buf[0] == 'F' ? files : dirs).append(buf.data() + 1, static_cast<size_t>(n - 1));
        if (std::memchr(buf.data(), '\r', static_cast<size_t>(n)) != nullptr) ++ends;
        EXPECT_LE(librdir_queued_bytes(h.get(), 'F'), kBound);
        EXPECT_LE(librdir_queued_bytes(h.get(), 'D'), kBound);
    }
    EXPECT_EQ(std::count(files.begin(), files.end(), '\n'), c.files);
    EXPECT_EQ(std::count(dirs.begin(), dirs.end(), '\n'), c.dirs);
    EXPECT_EQ(files.substr(files.size() - 2), "\r0");
    EXPECT_EQ(dirs.substr(dirs.size() - 2), "\r0");
}

const pressure_case kPressureCases[] = {
    {"FilesFillUp", 2000, 3},
    {"DirectoriesFillUp", 3, 2000},
    {"BothFillUp", 1500, 1500},
};

INSTANTIATE_TEST_SUITE_P(Cases, BackPressure, ::testing::ValuesIn(kPressureCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Reads until both end markers of one listing came; each read must return within `max_ms`.
listing_status read_to_end(librdir_handle* h, int max_ms, size_t* lines) {
    listing_status st;
    std::vector<char> buf(65536);
    int ends = 0;
    const auto start = steady_clock::now();
    while (ends < 2 && elapsed_ms(start) < 3000) {
        const auto before = steady_clock::now();
        int n = librdir_read_item_list(h, buf.data(), static_cast<int>(buf.size()));
        EXPECT_LE(elapsed_ms(before), max_ms);
        if (n <= 0) continue;
        std::string block(buf.data(), static_cast<size_t>(n));
        *lines += static_cast<size_t>(std::count(block.begin(), block.end(), '\n'));
        size_t cr = block.find('\r');
        if (cr == std::string::npos) continue;
        (block[0] == 'F' ? st.files : st.dirs) = block.substr(cr + 1);
        ++ends;
    }
    return st;
}

TEST_F(Lister, StopEndsTheRunningListingAndLaterOnesAtOnce) {
    make_files("", "slow_", 200);
    g_slow_stat_ms.store(20);  // 4 s for the whole directory
    auto h = open(root_);
    ASSERT_TRUE(h);
    ASSERT_EQ(librdir_enum_dir(h.get(), root_.c_str()), 0);
    ASSERT_EQ(librdir_enum_dir(h.get(), root_.c_str()), 0);
    char buf[4096];
    ASSERT_GT(librdir_read_item_list(h.get(), buf, sizeof(buf)), 0);  // it is running

    std::atomic<bool> stopped{false};
    steady_clock::time_point stop_time;
    std::thread stopper([&] {
        std::this_thread::sleep_for(milliseconds(200));
        stop_time = steady_clock::now();
        librdir_stop(h.get());
        stopped.store(true);
    });
    size_t lines = 0;
    listing_status first = read_to_end(h.get(), 1000, &lines);
    stopper.join();
    ASSERT_TRUE(stopped.load());
    EXPECT_LT(elapsed_ms(stop_time), 1000);
    EXPECT_EQ(first.files, "-39");
    EXPECT_EQ(first.dirs, "-39");
    EXPECT_LT(lines, 200u);
    // The listings posted behind it end without listing anything.
    for (int i = 0; i < 2; ++i) {
        size_t more = 0;
        listing_status later = read_to_end(h.get(), 200, &more);
        EXPECT_EQ(later.files, "-39");
        EXPECT_EQ(later.dirs, "-39");
        EXPECT_EQ(more, 0u);
    }
    // Nothing left: a read no longer waits out its time-out.
    const auto before = steady_clock::now();
    EXPECT_EQ(librdir_read_item_list(h.get(), buf, sizeof(buf)), 0);
    EXPECT_LT(elapsed_ms(before), 300);
}

TEST_F(Lister, StopReleasesAListerWaitingForRoom) {
    make_files("", "file_", 2000, 150);
    auto h = open(root_);
    ASSERT_TRUE(h);
    std::this_thread::sleep_for(milliseconds(300));
    ASSERT_GT(librdir_queued_bytes(h.get(), 'F'), 0u);
    librdir_stop(h.get());
    size_t lines = 0;
    listing_status st = read_to_end(h.get(), 1000, &lines);
    EXPECT_EQ(st.files, "-39");
    EXPECT_EQ(st.dirs, "-39");
    EXPECT_LT(lines, 2000u);
}

struct close_case {
    const char* name;
    bool stop_first;
    bool slow;  // else the lister waits for room
};

void PrintTo(const close_case& c, std::ostream* os) {
    *os << c.name;
}

class CloseWhileBusy : public Lister, public ::testing::WithParamInterface<close_case> {};

// Close must not wait for listings nobody will read: each could take long on a slow file
// system, and one waiting for room would wait for ever.
TEST_P(CloseWhileBusy, ReturnsPromptly) {
    const close_case& c = GetParam();
    if (c.slow) {
        make_files("", "slow_", 200);
        g_slow_stat_ms.store(20);
    } else {
        make_files("", "file_", 2000, 150);
    }
    librdir_param p;
    p.read_timeout_ms = 10000;
    p.err = &err_;
    librdir_handle* h = librdir_open(root_.c_str(), &p);
    ASSERT_NE(h, nullptr);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(librdir_enum_dir(h, root_.c_str()), 0);
    std::this_thread::sleep_for(milliseconds(200));
    const auto start = steady_clock::now();
    if (c.stop_first) librdir_stop(h);
    librdir_close(h);
    EXPECT_LT(elapsed_ms(start), 1000);
}

const close_case kCloseCases[] = {
    {"SlowListingsPosted", false, true},
    {"SlowListingsPostedAfterStop", true, true},
    {"ListerWaitingForRoom", false, false},
    {"ListerWaitingForRoomAfterStop", true, false},
};

INSTANTIATE_TEST_SUITE_P(Cases, CloseWhileBusy, ::testing::ValuesIn(kCloseCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
