// The path, file and directory requests, called in-process on a context over a temporary root,
// with a directory outside the root whose sentinels must never change.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_frame.h"
#include "libdvsd/sd_msg.h"
#include "libdvsd/sd_wire.h"
#include "libdvsrv/srv_route.h"
#include "libdvsrv/srv_session.h"
#include "libpal/os_root.h"
#include "librdir/temp_name.h"

namespace {

namespace fs = std::filesystem;

constexpr int32_t kInvalidHandle = -4;

// A parsed reply: its message is kept so that the fields stay valid.
struct reply_t {
    std::unique_ptr<sd_frame_msg> msg = std::make_unique<sd_frame_msg>();
    std::vector<const blob_attr*> tb;
    bool parsed = false;
    int32_t error = 0;

    int64_t i64(size_t i) const { return blobmsg_get_int64(tb.at(i)); }
    int32_t i32(size_t i) const { return blobmsg_get_int32(tb.at(i)); }
    std::string str(size_t i) const { return blobmsg_get_string(tb.at(i)); }
    std::vector<uint8_t> bin(size_t i) const {
        const uint8_t* p = blobmsg_data(tb.at(i));
        return {p, p + blobmsg_data_len(tb.at(i))};
    }
};

using build_fn = std::function<void(sd_frame_msg&)>;

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void spit(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

std::vector<uint8_t> pattern_bytes(size_t n) {
    std::vector<uint8_t> v(n);
    uint32_t x = 12345;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        // Half compressible runs, half noise.
        v[i] = (i / 4096) % 2 == 0 ? static_cast<uint8_t>(i / 64) : static_cast<uint8_t>(x >> 16);
    }
    return v;
}

class SrvFile : public testing::Test {
  protected:
    void SetUp() override {
        base_ = fs::temp_directory_path() /
                ("srv_file_test." + std::to_string(getpid()) + "." +
                 testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(base_);
        root_dir_ = base_ / "root";
        outside_ = base_ / "outside";
        fs::create_directories(root_dir_);
        fs::create_directories(outside_ / "dir");
        spit(outside_ / "secret", "sentinel");
        chmod((outside_ / "secret").c_str(), 0600);
        struct timespec old[2] = {{1000000, 0}, {1000000, 0}};
        utimensat(AT_FDCWD, (outside_ / "secret").c_str(), old, 0);
        root_ = os_root_open(root_dir_.c_str(), OS_ROOT_IN_ROOT);
        ASSERT_NE(root_, nullptr);
        make_context();
    }
    void TearDown() override {
        ctx_.reset();
        os_root_close(root_);
        // The sentinels outside the root stay as they were, whatever a test did.
        EXPECT_EQ(slurp(outside_ / "secret"), "sentinel");
        struct stat st;
        ASSERT_EQ(lstat((outside_ / "secret").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(st.st_mtim.tv_sec, 1000000);
        EXPECT_TRUE(fs::is_directory(outside_ / "dir"));
        fs::remove_all(base_);
    }

    void make_context() {
        ctx_ = srv_context_new(&conf_, root_, "");
        ASSERT_NE(ctx_, nullptr);
    }
    void use_packer(const char* name) {
        std::strncpy(ctx_->pack.name, name, sizeof(ctx_->pack.name) - 1);
        ASSERT_EQ(zcomp_init(&ctx_->pack), 0);
        std::strncpy(pack_.name, name, sizeof(pack_.name) - 1);
        ASSERT_EQ(zcomp_init(&pack_), 0);
    }

    // Request `code` with the fields `build` adds; the reply parsed with its table.
    reply_t call(uint8_t code, const build_fn& build) {
        sd_frame_msg req;
        EXPECT_EQ(req.reset(), 0);
        build(req);
        EXPECT_TRUE(req.ok());
        reply_t r;
        srv_context_request(*ctx_, code, req.root().subspan(4), *r.msg);
        return parse(code, std::move(r));
    }
    reply_t parse(uint8_t code, reply_t r) {
        auto table = sd_reply_table(code, code != SD_REQ_STAT && code != SD_REQ_FSTAT);
        r.tb.assign(table.size(), nullptr);
        const auto root = r.msg->root();
        EXPECT_GE(root.size(), 4u);
        r.parsed = cli_blobmsg_parse(table.data(), static_cast<int>(table.size()), r.tb.data(),
                                     root.data() + 4, root.size() - 4) == 0;
        EXPECT_TRUE(r.parsed) << "reply of " << int(code) << " does not parse with its table";
        if (r.parsed) r.error = blobmsg_get_int32(r.tb[SD_ERRNO]);
        return r;
    }
    reply_t control(int32_t cmd, const std::string& text, uint64_t fd = 0) {
        reply_t r;
        const auto* p = reinterpret_cast<const uint8_t*>(text.c_str());
        srv_context_control(*ctx_, SD_REQ_FILE_IOCTL, fd, cmd, {p, text.size() + 1}, 0, *r.msg);
        return parse(SD_REQ_FILE_IOCTL, std::move(r));
    }
    reply_t seekdir(uint64_t fd, uint64_t index) {
        reply_t r;
        const std::string text = std::to_string(index);
        const auto* p = reinterpret_cast<const uint8_t*>(text.c_str());
        srv_context_control(*ctx_, SD_REQ_IOCTL, fd, SD_CTL_SEEKDIR, {p, text.size() + 1}, 0,
                            *r.msg);
        return parse(SD_REQ_IOCTL, std::move(r));
    }

    uint64_t open(const std::string& path, uint64_t mode) {
        reply_t r = call(SD_REQ_OPEN, [&](sd_frame_msg& m) {
            m.add_string(SDF_PATH, path.c_str());
            m.add_int64(SDF_MODE, mode);
        });
        EXPECT_EQ(r.error, 0) << path;
        return r.error == 0 ? static_cast<uint64_t>(r.i64(SD_FD_FD)) : 0;
    }
    reply_t open2(const std::string& path, int flags, int mode) {
        return call(SD_REQ_OPEN2, [&](sd_frame_msg& m) {
            m.add_string(SDF_PATH, path.c_str());
            m.add_int32(SDF_FLAG, static_cast<uint32_t>(flags));
            m.add_int32(SDF_MODE, static_cast<uint32_t>(mode));
        });
    }
    reply_t by_fd(uint8_t code, uint64_t fd) {
        return call(code, [&](sd_frame_msg& m) { m.add_int64(SDF_FD, fd); });
    }
    int32_t close(uint64_t fd) { return by_fd(SD_REQ_CLOSE, fd).error; }

    std::vector<uint8_t> packed(const std::vector<uint8_t>& data) {
        std::vector<uint8_t> out(zcomp_bound(data.size()));
        static const uint8_t kNone[1] = {0};
        const int n = zcomp_compress(&pack_, data.empty() ? kNone : data.data(), data.size(),
                                     out.data(), out.size());
        EXPECT_GE(n, 0);
        out.resize(static_cast<size_t>(n));
        return out;
    }
    // Write (13) or, with an offset, positional write (30). The stated length may differ from
    // the data's to forge a request.
    reply_t write(uint64_t fd, const std::vector<uint8_t>& data, int64_t offset = -1,
                  int64_t stated = -1) {
        const std::vector<uint8_t> p = packed(data);
        return call(offset < 0 ? SD_REQ_WRITE : SD_REQ_PWRITE, [&](sd_frame_msg& m) {
            m.add_int64(SDF_FD, fd);
            m.add_int32(SDF_FLAGS, 0);
            m.add_int32(SDF_LEN, static_cast<uint32_t>(stated < 0 ? int64_t(data.size()) : stated));
            if (offset >= 0) m.add_int64(SDF_OFFSET, static_cast<uint64_t>(offset));
            m.add_field(BLOBMSG_TYPE_BINARY, SDF_DATA, p.data(), p.size());
        });
    }
    // Read (12) or positional read (29); the unpacked data in *out.
    reply_t read(uint64_t fd, uint32_t len, std::vector<uint8_t>* out, int64_t offset = -1) {
        reply_t r = call(offset < 0 ? SD_REQ_READ : SD_REQ_PREAD, [&](sd_frame_msg& m) {
            m.add_int64(SDF_FD, fd);
            m.add_int32(SDF_LEN, len);
            if (offset >= 0) m.add_int64(SDF_OFFSET, static_cast<uint64_t>(offset));
        });
        if (r.error == 0 && out != nullptr) {
            const std::vector<uint8_t> p = r.bin(SD_READ_DATA);
            out->assign(static_cast<size_t>(r.i32(SD_READ_LEN)) + 1, 0);
            const int n = zcomp_decompress(&pack_, p.data(), p.size(), out->data(), out->size());
            EXPECT_EQ(n, r.i32(SD_READ_LEN));
            out->resize(static_cast<size_t>(n < 0 ? 0 : n));
        }
        return r;
    }
    reply_t stat(uint8_t code, const std::string& path) {
        return call(code, [&](sd_frame_msg& m) { m.add_string(SDF_PATH, path.c_str()); });
    }
    uint64_t opendir(const std::string& path) {
        reply_t r = call(SD_REQ_OPENDIR, [&](sd_frame_msg& m) {
            m.add_string(SDF_PATH, path.c_str());
            m.add_string(SDF_PATTERN, "");
        });
        EXPECT_EQ(r.error, 0);
        return r.error == 0 ? static_cast<uint64_t>(r.i64(SD_FD_FD)) : 0;
    }
    // One batch of 42 (or 44): its text (NUL included) in *text.
    reply_t readdir(uint64_t fd, uint32_t len, std::string* text, bool extended = false) {
        reply_t r = call(extended ? SD_REQ_READDIR_EX : SD_REQ_READDIR, [&](sd_frame_msg& m) {
            m.add_int64(SDF_FD, fd);
            m.add_int32(SDF_LEN, len);
        });
        if (r.error == 0) {
            const std::vector<uint8_t> p = r.bin(SD_READDIR_DATA);
            std::vector<uint8_t> out(len);
            const int n = zcomp_decompress(&pack_, p.data(), p.size(), out.data(), out.size());
            EXPECT_EQ(n, r.i32(SD_READDIR_LEN));
            text->assign(reinterpret_cast<const char*>(out.data()), n < 0 ? 0 : size_t(n));
        }
        return r;
    }

    struct stat lstat_of(const fs::path& p) {
        struct stat st {};
        EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
        return st;
    }
    // Names in the directory that are the writer's temporaries.
    size_t temporaries(const fs::path& dir) {
        size_t n = 0;
        for (const auto& e : fs::directory_iterator(dir)) {
            if (rdir_temp_name_is(e.path().filename().string())) ++n;
        }
        return n;
    }

    fs::path base_, root_dir_, outside_;
    dvsrv_conf conf_;
    os_root* root_ = nullptr;
    std::shared_ptr<srv_context> ctx_;
    zcomp_ctx pack_ = [] {
        zcomp_ctx p;
        std::strncpy(p.name, "lz4", sizeof(p.name) - 1);
        zcomp_init(&p);
        return p;
    }();
};

// ---- reading and writing ----

struct round_trip_case {
    const char* packer;
    size_t size;
};
void PrintTo(const round_trip_case& c, std::ostream* os) {
    *os << c.packer << " " << c.size << " bytes";
}

class SrvFileRoundTrip : public SrvFile, public testing::WithParamInterface<round_trip_case> {};

TEST_P(SrvFileRoundTrip, WrittenThenReadBackWhole) {
    use_packer(GetParam().packer);
    const std::vector<uint8_t> data = pattern_bytes(GetParam().size);
    const uint64_t w = open("sub/dir/file", 0x2a);
    ASSERT_NE(w, 0u);
    reply_t wr = write(w, data);
    ASSERT_EQ(wr.error, 0);
    EXPECT_EQ(static_cast<uint32_t>(wr.i32(SD_LEN_LEN)), data.size());
    ASSERT_EQ(close(w), 0);
    EXPECT_EQ(fs::file_size(root_dir_ / "sub/dir/file"), data.size());

    const uint64_t r = open("sub/dir/file", 0x1081);
    ASSERT_NE(r, 0u);
    std::vector<uint8_t> back;
    // Asking for more than there is: a short answer at the end of the file.
    ASSERT_EQ(read(r, static_cast<uint32_t>(data.size() + 7), &back).error, 0);
    EXPECT_TRUE(back == data);
    EXPECT_EQ(close(r), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SrvFileRoundTrip, testing::ValuesIn([] {
                             std::vector<round_trip_case> cases;
                             for (const char* packer : {"lz4", "none"}) {
                                 for (size_t size :
                                      {size_t{0}, size_t{1}, size_t{204800}, size_t{524284},
                                       size_t{524285}, size_t{524286}, size_t{524287},
                                       size_t{524288}, size_t{524289}, (size_t{10} << 20) + 1}) {
                                     cases.push_back({packer, size});
                                 }
                             }
                             return cases;
                         }()));

TEST_F(SrvFile, ReadsAdvanceAndEndShortThenEmpty) {
    spit(root_dir_ / "f", std::string(100, 'x'));
    const uint64_t fd = open("f", 0x1);
    std::vector<uint8_t> got;
    ASSERT_EQ(read(fd, 64, &got).error, 0);
    EXPECT_EQ(got.size(), 64u);
    ASSERT_EQ(read(fd, 64, &got).error, 0);
    EXPECT_EQ(got.size(), 36u);
    ASSERT_EQ(read(fd, 64, &got).error, 0);
    EXPECT_EQ(got.size(), 0u);
    // Positional reads do not care where the handle stands.
    ASSERT_EQ(read(fd, 10, &got, 95).error, 0);
    EXPECT_EQ(got.size(), 5u);
}

TEST_F(SrvFile, PositionalWriteSeekAndLength) {
    const uint64_t fd = open("f", 0x2b);  // read, write, create, truncate
    ASSERT_EQ(write(fd, {'a', 'b', 'c', 'd'}).error, 0);
    ASSERT_EQ(write(fd, {'X'}, 1).error, 0);
    reply_t seek = call(SD_REQ_SEEK, [&](sd_frame_msg& m) {
        m.add_int64(SDF_FD, fd);
        m.add_int64(SDF_OFFSET, 0);
        m.add_int64(SDF_MODE, SEEK_SET);
    });
    ASSERT_EQ(seek.error, 0);
    EXPECT_EQ(seek.i64(SD_SEEK_OFFSET), 0);
    // The file not yet placed reads back from its temporary.
    std::vector<uint8_t> got;
    ASSERT_EQ(read(fd, 10, &got).error, 0);
    EXPECT_EQ(std::string(got.begin(), got.end()), "aXcd");
    reply_t len = call(SD_REQ_SET_LEN, [&](sd_frame_msg& m) {
        m.add_int64(SDF_FD, fd);
        m.add_int64(SDF_LEN, 2);
    });
    EXPECT_EQ(len.error, 0);
    reply_t geo = by_fd(SD_REQ_GEOMETRY, fd);
    ASSERT_EQ(geo.error, 0);
    EXPECT_EQ(geo.i32(SD_GEOMETRY_TYPE), 1);
    EXPECT_EQ(geo.i64(SD_GEOMETRY_LEN), 2);
    EXPECT_EQ(geo.i64(SD_GEOMETRY_OFFSET), 4);
    EXPECT_EQ(geo.i32(SD_GEOMETRY_SECTOR_BYTES), 512);
    reply_t st = by_fd(SD_REQ_FSTAT_EX, fd);
    ASSERT_EQ(st.error, 0);
    EXPECT_EQ(st.i64(SD_STAT_LEN), 2);
    EXPECT_FALSE(fs::exists(root_dir_ / "f"));
    ASSERT_EQ(close(fd), 0);
    EXPECT_EQ(slurp(root_dir_ / "f"), "aX");
    EXPECT_EQ(lstat_of(root_dir_ / "f").st_mode & 07777, 0644u);
}

TEST_F(SrvFile, BadLengthsAndPayloadsAreRefused) {
    const uint64_t fd = open("f", 0x2b);
    const std::vector<uint8_t> data = pattern_bytes(1000);
    // Unpacks to 1000 bytes, stated otherwise.
    EXPECT_EQ(write(fd, data, -1, 999).error, VERR_NET_PROTOCOL_ERROR);
    EXPECT_EQ(write(fd, data, -1, 1001).error, VERR_NET_PROTOCOL_ERROR);
    EXPECT_EQ(write(fd, {}, -1, 1).error, VERR_NET_PROTOCOL_ERROR);
    // Not a packed payload at all.
    reply_t junk = call(SD_REQ_WRITE, [&](sd_frame_msg& m) {
        const uint8_t bytes[] = {0xff, 0xff, 0xff, 0xff, 0x01};
        m.add_int64(SDF_FD, fd);
        m.add_int32(SDF_FLAGS, 0);
        m.add_int32(SDF_LEN, 100);
        m.add_field(BLOBMSG_TYPE_BINARY, SDF_DATA, bytes, sizeof(bytes));
    });
    EXPECT_EQ(junk.error, VERR_NET_PROTOCOL_ERROR);
    // More than one block, either way (and a negative length is a huge one).
    EXPECT_EQ(write(fd, {}, -1, int64_t(SRV_MAX_BLOCK) + 1).error, VERR_BUFFER_OVERFLOW);
    EXPECT_EQ(read(fd, uint32_t(SRV_MAX_BLOCK) + 1, nullptr).error, VERR_BUFFER_OVERFLOW);
    EXPECT_EQ(read(fd, 0xffffffffu, nullptr).error, VERR_BUFFER_OVERFLOW);
    // Nothing was written by any of them.
    EXPECT_EQ(by_fd(SD_REQ_FSTAT, fd).i64(SD_STAT_LEN), 0);
    // A body without its fields.
    EXPECT_EQ(call(SD_REQ_READ, [](sd_frame_msg&) {}).error, VERR_NET_PROTOCOL_ERROR);
    EXPECT_EQ(close(fd), 0);
}

TEST_F(SrvFile, UnknownAndClosedNumbersAreErrors) {
    spit(root_dir_ / "f", "x");
    const uint64_t closed = open("f", 0x1);
    ASSERT_EQ(close(closed), 0);
    const uint64_t dir = opendir("");
    const uint64_t file = open("f", 0x1);
    for (uint64_t number : {uint64_t{0}, closed, uint64_t{987654321}}) {
        SCOPED_TRACE(number);
        for (uint8_t code : {SD_REQ_CLOSE, SD_REQ_FILE_FD, SD_REQ_GEOMETRY, SD_REQ_FSTAT,
                             SD_REQ_FSTAT_EX, SD_REQ_CLOSEDIR}) {
            EXPECT_EQ(by_fd(code, number).error, kInvalidHandle) << int(code);
        }
        EXPECT_EQ(read(number, 1, nullptr).error, kInvalidHandle);
        EXPECT_EQ(write(number, {'x'}).error, kInvalidHandle);
        std::string text;
        EXPECT_EQ(readdir(number, 100, &text).error, kInvalidHandle);
        EXPECT_EQ(seekdir(number, 0).error, kInvalidHandle);
        EXPECT_EQ(control(10039, "2\t1a4\t80\t0\t0\t0\t0\t0", number).error, kInvalidHandle);
    }
    // A directory number is no file number and the other way round.
    EXPECT_EQ(read(dir, 1, nullptr).error, kInvalidHandle);
    EXPECT_EQ(by_fd(SD_REQ_CLOSE, dir).error, kInvalidHandle);
    EXPECT_EQ(by_fd(SD_REQ_CLOSEDIR, file).error, kInvalidHandle);
    // Numbers belong to their context.
    auto other = srv_context_new(&conf_, root_, "");
    std::swap(ctx_, other);
    EXPECT_EQ(read(file, 1, nullptr).error, kInvalidHandle);
    std::swap(ctx_, other);
    EXPECT_EQ(close(file), 0);
    EXPECT_EQ(by_fd(SD_REQ_CLOSEDIR, dir).error, 0);
}

TEST_F(SrvFile, RequestsNotOfferedAnswerNotSupported) {
    EXPECT_EQ(by_fd(SD_REQ_WOPEN, 1).error, VERR_NOT_SUPPORTED);
    EXPECT_EQ(by_fd(SD_REQ_RANGE, 1).error, VERR_NOT_SUPPORTED);
    EXPECT_EQ(by_fd(SD_REQ_RANGE_LEN, 1).error, VERR_NOT_SUPPORTED);
    reply_t r = call(SD_REQ_OPENDIR, [](sd_frame_msg& m) {
        m.add_string(SDF_PATH, "");
        m.add_string(SDF_PATTERN, "*.txt");
    });
    EXPECT_EQ(r.error, VERR_NOT_SUPPORTED);
}

// ---- stat and information ----

TEST_F(SrvFile, StatRepliesDescribeFilesDirectoriesAndLinks) {
    spit(root_dir_ / "f", "12345");
    fs::create_directory(root_dir_ / "d");
    fs::create_symlink("f", root_dir_ / "lf");
    fs::create_symlink("d", root_dir_ / "ld");
    struct row {
        uint8_t code;
        const char* path;
        int32_t type;
        int64_t len;
    };
    for (const row& c : {row{SD_REQ_STAT, "f", 2, 5}, row{SD_REQ_STAT_EX, "d", 1, -1},
                         row{SD_REQ_STAT, "lf", 2, 5}, row{SD_REQ_STAT_EX, "ld", 1, -1},
                         row{SD_REQ_LSTAT, "lf", 0x102, 0}, row{SD_REQ_LSTAT, "ld", 0x101, 0},
                         row{SD_REQ_LSTAT, "/d/../f", 2, 5}}) {
        SCOPED_TRACE(c.path);
        reply_t r = stat(c.code, c.path);
        ASSERT_EQ(r.error, 0);
        EXPECT_EQ(r.i32(SD_STAT_TYPE), c.type);
        if (c.len >= 0) {
            EXPECT_EQ(r.i64(SD_STAT_LEN), c.len);
        }
        // "/d/../f" names "f": the root is "/" and ".." goes back from "d".
        const struct stat st = lstat_of(root_dir_ / (c.path[0] == '/' ? "f" : c.path));
        EXPECT_EQ(static_cast<uint32_t>(r.i32(SD_STAT_UID)), st.st_uid);
        if (c.code == SD_REQ_LSTAT) {
            EXPECT_EQ(static_cast<uint32_t>(r.i32(SD_STAT_ATTRIB_MODE)), st.st_mode);
            EXPECT_EQ(static_cast<uint64_t>(r.i64(SD_STAT_ST_INO)), st.st_ino);
        }
    }
    EXPECT_EQ(stat(SD_REQ_STAT, "missing").error, srv_errno_status(ENOENT));
    reply_t fsr = stat(SD_REQ_STATFS, "d");
    ASSERT_EQ(fsr.error, 0);
    EXPECT_GT(fsr.i64(SD_STATFS_TOTAL_BYTES), 0);
    EXPECT_LE(fsr.str(SD_STATFS_FS_NAME).size(), 15u);
    reply_t blk = call(SD_REQ_LSBLK, [](sd_frame_msg& m) { m.add_string(SDF_PARAM, ""); });
    EXPECT_EQ(blk.error, 0);
}

// ---- the root is never left ----

TEST_F(SrvFile, EscapesThroughPathsAndLinksStayInsideTheRoot) {
    const std::string out = outside_.string();
    fs::create_symlink(out + "/secret", root_dir_ / "abs");      // absolute, to the file
    fs::create_symlink(out, root_dir_ / "absdir");               // absolute, to the directory
    fs::create_symlink("../outside/secret", root_dir_ / "rel");  // climbing
    fs::create_symlink("../outside", root_dir_ / "reldir");
    fs::create_symlink("rel", root_dir_ / "chain");  // a link to a link that climbs
    const std::vector<std::string> escapes = {
        "../outside/secret", "/../outside/secret",      "abs", "rel", "chain", "absdir/secret",
        "reldir/secret",     "reldir/../outside/secret"};
    // Nothing outside can be read, described or listed.
    for (const std::string& p : escapes) {
        SCOPED_TRACE(p);
        EXPECT_EQ(open2(p, O_RDONLY, 0).error, srv_errno_status(ENOENT));
        EXPECT_EQ(stat(SD_REQ_STAT, p).error, srv_errno_status(ENOENT));
    }
    reply_t d = call(SD_REQ_OPENDIR, [](sd_frame_msg& m) {
        m.add_string(SDF_PATH, "reldir");
        m.add_string(SDF_PATTERN, "");
    });
    EXPECT_EQ(d.error, srv_errno_status(ENOENT));
    // Writing, setting attributes and times, making directories: nothing outside changes
    // (checked when the test ends), whatever each of them answers.
    for (const std::string& p : escapes) {
        SCOPED_TRACE(p);
        reply_t c = open2(p, O_RDWR | O_CREAT | O_TRUNC, 0777);
        if (c.error == 0) {
            const uint64_t fd = static_cast<uint64_t>(c.i64(SD_FD_FD));
            write(fd, {'y'});
            control(10039, "2\t1ff\t80\t0\t0\t0\t0\t0", fd);
            close(fd);
        }
        reply_t w = call(SD_REQ_OPEN, [&](sd_frame_msg& m) {
            m.add_string(SDF_PATH, p.c_str());
            m.add_int64(SDF_MODE, 0x2a);
        });
        if (w.error == 0) {
            const uint64_t fd = static_cast<uint64_t>(w.i64(SD_FD_FD));
            write(fd, {'x'});
            control(10039, "2\t1ff\t80\t0\t0\t0\t0\t0", fd);
            close(fd);
        }
        control(10038, p + "\t2\t1ff\t80\t0\t0\t0\t0\t0");
        control(10030, p + "\t0\t0\t0\t0\t0\t0");
        control(10013, p + "/newdir");
    }
    // The links themselves may be changed or removed; their targets never.
    EXPECT_EQ(control(10037, "abs\t0").error, 0);
    EXPECT_NE(control(10036, "absdir\t0").error, 0);
    EXPECT_FALSE(fs::exists(outside_ / "newdir"));
    EXPECT_FALSE(fs::exists(outside_ / "dir" / "newdir"));
}

TEST_F(SrvFile, SetStatOnALinkChangesTheLinkNotItsTarget) {
    fs::create_symlink(outside_ / "secret", root_dir_ / "lnk");
    reply_t r = control(10038, "lnk\t258\t1ff\t80\t0\t5f5e100\t5f5e100\t0\t0");
    EXPECT_EQ(r.error, 0);
    const struct stat st = lstat_of(root_dir_ / "lnk");
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(st.st_mtim.tv_sec, 100000000);
    // Times on the link itself too.
    EXPECT_EQ(control(10030, "lnk\t200000000\t200000000\t0\t0\t0\t0").error, 0);
    EXPECT_EQ(lstat_of(root_dir_ / "lnk").st_mtim.tv_sec, 200000000);
}

TEST_F(SrvFile, PutFileThroughALinkedDirectoryLandsInsideTheRoot) {
    fs::create_symlink(outside_, root_dir_ / "absdir");
    const std::vector<uint8_t> p = packed({'h', 'i'});
    auto put = [&](const char* dir, const char* name, int32_t len) {
        return call(SD_REQ_PUT_FILE, [&](sd_frame_msg& m) {
            m.add_string(SDF_PATH, dir);
            m.add_string(SDF_NAME, name);
            m.add_int32(SDF_FLAGS, 0);
            m.add_int32(SDF_LEN, static_cast<uint32_t>(len));
            m.add_field(BLOBMSG_TYPE_BINARY, SDF_DATA, p.data(), p.size());
        });
    };
    // The link's target does not exist inside the root: nothing is made through it.
    EXPECT_EQ(put("absdir/dir", "new", 2).error, srv_errno_status(ENOTDIR));
    fs::create_directories(root_dir_ / outside_.relative_path());
    EXPECT_EQ(put("absdir/dir", "new", 3).error, VERR_NET_PROTOCOL_ERROR);
    EXPECT_EQ(put("absdir/dir", "../x", 2).error, srv_errno_status(EINVAL));
    reply_t r = put("absdir/dir", "new", 2);
    ASSERT_EQ(r.error, 0);
    EXPECT_EQ(r.i32(SD_LEN_LEN), 2);
    EXPECT_FALSE(fs::exists(outside_ / "dir" / "new"));
    // The absolute link text starts at the served root.
    EXPECT_EQ(slurp(root_dir_ / outside_.relative_path() / "dir" / "new"), "hi");
}

// ---- replacing files ----

TEST_F(SrvFile, AnUnfinishedReplacementLeavesTheOldFile) {
    for (int request : {10, 25}) {
        SCOPED_TRACE(request);
        spit(root_dir_ / "f", "old content");
        uint64_t fd = 0;
        if (request == 10) {
            fd = open("f", 0x2a);
        } else {
            reply_t r = open2("f", O_WRONLY | O_CREAT | O_TRUNC, 0600);
            fd = r.error == 0 ? static_cast<uint64_t>(r.i64(SD_FD_FD)) : 0;
        }
        ASSERT_NE(fd, 0u);
        ASSERT_EQ(write(fd, pattern_bytes(5000)).error, 0);
        EXPECT_EQ(slurp(root_dir_ / "f"), "old content");
        // The connection and its context end without a close.
        make_context();
        EXPECT_EQ(slurp(root_dir_ / "f"), "old content");
        EXPECT_EQ(temporaries(root_dir_), 0u);
    }
}

TEST_F(SrvFile, AFailedPlacementIsAFailedClose) {
    spit(root_dir_ / "f", "old");
    const uint64_t fd = open("f", 0x2a);
    ASSERT_EQ(write(fd, {'n', 'e', 'w'}).error, 0);
    // Something the file cannot replace now stands at its name.
    fs::remove(root_dir_ / "f");
    fs::create_directory(root_dir_ / "f");
    EXPECT_NE(close(fd), 0);
    EXPECT_TRUE(fs::is_directory(root_dir_ / "f"));
    EXPECT_EQ(temporaries(root_dir_), 0u);
}

TEST_F(SrvFile, ReplacedFileKeepsItsBitsAndPlainWritesGoInPlace) {
    spit(root_dir_ / "f", "0123456789");
    chmod((root_dir_ / "f").c_str(), 0640);
    const ino_t ino = lstat_of(root_dir_ / "f").st_ino;
    // Writing without create or truncate: the same file, changed where written.
    uint64_t fd = open("f", 0x2);
    ASSERT_EQ(write(fd, {'a', 'b'}, 3).error, 0);
    EXPECT_EQ(slurp(root_dir_ / "f"), "012ab56789");
    ASSERT_EQ(close(fd), 0);
    EXPECT_EQ(lstat_of(root_dir_ / "f").st_ino, ino);
    // Truncating: a new file, placed on close, with the old one's bits.
    fd = open("f", 0x22);
    ASSERT_EQ(write(fd, {'z'}).error, 0);
    ASSERT_EQ(close(fd), 0);
    EXPECT_EQ(slurp(root_dir_ / "f"), "z");
    EXPECT_EQ(lstat_of(root_dir_ / "f").st_mode & 07777, 0640u);
    // Exclusive creation of an existing name fails; of a new one succeeds.
    EXPECT_EQ(open2("f", O_WRONLY | O_CREAT | O_EXCL, 0600).error, srv_errno_status(EEXIST));
    EXPECT_EQ(open2("missing", O_RDONLY, 0).error, srv_errno_status(ENOENT));
    reply_t x = open2("g", O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_EQ(x.error, 0);
    ASSERT_EQ(close(static_cast<uint64_t>(x.i64(SD_FD_FD))), 0);
    EXPECT_EQ(lstat_of(root_dir_ / "g").st_mode & 07777, 0600u);
}

TEST_F(SrvFile, AFifoNeverHoldsTheConnection) {
    ASSERT_EQ(mkfifo((root_dir_ / "fifo").c_str(), 0600), 0);
    // No writer will ever come: neither the open nor the read may wait for one.
    const uint64_t fd = open("fifo", 0x1);
    ASSERT_NE(fd, 0u);
    std::vector<uint8_t> got;
    EXPECT_EQ(read(fd, 10, &got).error, 0);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(by_fd(SD_REQ_FILE_FD, fd).error, 0);
    EXPECT_EQ(close(fd), 0);
}

TEST_F(SrvFile, FileAttributesSetBeforeCloseSurviveThePlacement) {
    const uint64_t fd = open("f", 0x2a);
    ASSERT_EQ(write(fd, {'d'}).error, 0);
    // mode 0751, mtime 0x5f5e100, atime 0x5f5e0ff
    ASSERT_EQ(control(10039, "2\t1e9\t80\t0\t5f5e100\t5f5e0ff\t0\t0", fd).error, 0);
    ASSERT_EQ(close(fd), 0);
    const struct stat st = lstat_of(root_dir_ / "f");
    EXPECT_EQ(st.st_mode & 07777, 0751u);
    EXPECT_EQ(st.st_mtim.tv_sec, 100000000);
    EXPECT_EQ(st.st_atim.tv_sec, 99999999);
    // Times with nanoseconds on an open file (27).
    const uint64_t rd = open("f", 0x1);
    reply_t t = call(SD_REQ_FSET_TIME_EX, [&](sd_frame_msg& m) {
        m.add_int64(SDF_FD, rd);
        m.add_int64(SDF_TIME_ACCESS, 300);
        m.add_int64(SDF_TIME_WRITE, 400);
        m.add_int64(SDF_TIME_CREATE, 0);
        m.add_int32(SDF_TIME_ACCESS_NS, 5);
        m.add_int32(SDF_TIME_WRITE_NS, 6);
        m.add_int32(SDF_TIME_CREATE_NS, 0);
    });
    EXPECT_EQ(t.error, 0);
    EXPECT_EQ(lstat_of(root_dir_ / "f").st_mtim.tv_nsec, 6);
    EXPECT_EQ(close(rd), 0);
}

// ---- set-id bits ----

// Kept only with keep_setid and for a client that logged in with credentials, on a server that
// may give owners (root): anywhere else they would grant the server's own rights.
TEST_F(SrvFile, SetIdBitsAreDroppedUnlessKept) {
    for (const auto& [user, keep] :
         {std::pair<const char*, bool>{"", false}, {"", true}, {"joe", false}, {"joe", true}}) {
        SCOPED_TRACE(std::string(user) + (keep ? " keep" : ""));
        conf_.keep_setid = keep;
        ctx_->user = user;
        const bool kept = keep && user[0] != '\0' && geteuid() == 0;
        const uint32_t expected = kept ? 06755 : 0755;
        spit(root_dir_ / "a", "a");
        ASSERT_EQ(control(10038, "a\t2\tded\t80\t0\t0\t0\t0\t0").error, 0);  // 06755
        EXPECT_EQ(lstat_of(root_dir_ / "a").st_mode & 07777, expected);

        reply_t r = open2("b", O_WRONLY | O_CREAT | O_TRUNC, 06755);
        ASSERT_EQ(r.error, 0);
        ASSERT_EQ(close(static_cast<uint64_t>(r.i64(SD_FD_FD))), 0);
        EXPECT_EQ(lstat_of(root_dir_ / "b").st_mode & 07777, expected);

        const uint64_t fd = open("c", 0x2a);
        ASSERT_EQ(control(10039, "2\tded\t80\t0\t0\t0\t0\t0", fd).error, 0);
        ASSERT_EQ(close(fd), 0);
        EXPECT_EQ(lstat_of(root_dir_ / "c").st_mode & 07777, expected);
        for (const char* n : {"a", "b", "c"}) fs::remove(root_dir_ / n);
    }
}

// ---- paths ----

TEST_F(SrvFile, DirectoriesAreMadeAndRemoved) {
    EXPECT_EQ(control(10013, "x/y/z").error, 0);
    EXPECT_TRUE(fs::is_directory(root_dir_ / "x/y/z"));
    EXPECT_EQ(control(10013, "x/y/z").error, 0);  // already there
    spit(root_dir_ / "x/file", "");
    EXPECT_EQ(control(10013, "x/file/sub").error, srv_errno_status(ENOTDIR));
    EXPECT_EQ(control(10036, "x/y\t0").error, srv_errno_status(ENOTEMPTY));
    EXPECT_EQ(control(10036, "x/y/z\t0").error, 0);
    EXPECT_FALSE(fs::exists(root_dir_ / "x/y/z"));
    EXPECT_EQ(control(10037, "x/file\t0").error, 0);
    EXPECT_FALSE(fs::exists(root_dir_ / "x/file"));
    EXPECT_EQ(control(10037, "x/file\t0").error, srv_errno_status(ENOENT));
    EXPECT_EQ(control(10037, "no field").error, srv_errno_status(EINVAL));
    // A name with a tab: the fixed fields are taken from the right.
    spit(root_dir_ / "a\tb", "");
    EXPECT_EQ(control(10030, "a\tb\t100\t200\t0\t7\t8\t0").error, 0);
    const struct stat st = lstat_of(root_dir_ / "a\tb");
    EXPECT_EQ(st.st_mtim.tv_sec, 200);
    EXPECT_EQ(st.st_mtim.tv_nsec, 8);
    EXPECT_EQ(control(10030, "a\tb\t100\t200\t0\t1000000000\t8\t0").error,
              srv_errno_status(EINVAL));
}

// ---- directory listings ----

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size() && text[start] != '\0') {
        const size_t nl = text.find('\n', start);
        if (nl == std::string::npos) break;
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

std::string name_of(const std::string& line) {
    return line.substr(line.rfind('\t') + 1);
}

TEST_F(SrvFile, ReaddirBatchesWholeLinesAndSkipsUncarriableNames) {
    fs::create_directory(root_dir_ / "d");
    for (const char* n : {"a", "b", "c", "tab\there", "nl\nhere"}) spit(root_dir_ / "d" / n, "xyz");
    fs::create_symlink("a", root_dir_ / "d" / "l");
    const uint64_t fd = opendir("d");
    std::vector<std::string> lines;
    bool ended = false;
    for (int batch = 0; batch < 20 && !ended; ++batch) {
        std::string text;
        ASSERT_EQ(readdir(fd, 80, &text).error, 0);
        ASSERT_FALSE(text.empty());
        EXPECT_LE(text.size(), 80u);
        EXPECT_EQ(text.back(), '\0');
        for (const std::string& l : split_lines(text)) {
            if (l.empty()) {
                ended = true;
            } else {
                lines.push_back(l);
            }
        }
    }
    ASSERT_TRUE(ended);
    std::set<std::string> names;
    for (const std::string& l : lines) names.insert(name_of(l));
    EXPECT_EQ(names, (std::set<std::string>{"a", "b", "c", "l"}));
    for (const std::string& l : lines) {
        uint32_t type = 0, mode = 0, uid = 0, gid = 0;
        uint64_t at = 0, mt = 0, ct = 0, size = 0;
        const typed_dest dest[] = {&type, &mode, &uid, &gid, &at, &mt, &ct, &size};
        ASSERT_EQ(cli_typed_list_parse(l, '\t', "u32|u32|u32|u32|u64|u64|u64|u64", dest), 8);
        if (name_of(l) == "l") {
            EXPECT_EQ(type, 0x102u);
            EXPECT_NE(l.find("\ta\tl"), std::string::npos);  // the link text before the name
        } else {
            EXPECT_EQ(type, 2u);
            EXPECT_EQ(size, 3u);
        }
    }
    // Past the end, the end again.
    std::string again;
    ASSERT_EQ(readdir(fd, 80, &again).error, 0);
    EXPECT_EQ(again, std::string("\n\0", 2));

    // A buffer too small for one line.
    ASSERT_EQ(seekdir(fd, 0).error, 0);
    std::string small;
    EXPECT_EQ(readdir(fd, 10, &small).error, VERR_BUFFER_OVERFLOW);
    // The line is not lost: a large enough read still gets every entry.
    std::string all;
    ASSERT_EQ(readdir(fd, 4096, &all, true).error, 0);
    const auto full = split_lines(all);
    ASSERT_EQ(full.size(), 5u);
    EXPECT_TRUE(full.back().empty());
    // Extended lines: 17 numbers, link text and name.
    EXPECT_EQ(std::count(full[0].begin(), full[0].end(), '\t'), 18);

    // seekdir counts entries as they were handed out.
    ASSERT_EQ(seekdir(fd, 3).error, 0);
    std::string rest;
    ASSERT_EQ(readdir(fd, 4096, &rest).error, 0);
    const auto tail = split_lines(rest);
    ASSERT_EQ(tail.size(), 2u);
    EXPECT_EQ(name_of(tail[0]), name_of(full[3]));
    EXPECT_TRUE(tail[1].empty());
    EXPECT_EQ(seekdir(fd, 99).error, 0);
    ASSERT_EQ(readdir(fd, 4096, &rest).error, 0);
    EXPECT_EQ(rest, std::string("\n\0", 2));
    EXPECT_EQ(by_fd(SD_REQ_CLOSEDIR, fd).error, 0);
}

TEST_F(SrvFile, ReaddirHidesTheWritersTemporaries) {
    const uint64_t w = open("f", 0x2a);  // a temporary now stands beside "f"
    ASSERT_EQ(temporaries(root_dir_), 1u);
    const uint64_t fd = opendir("/");
    std::string text;
    ASSERT_EQ(readdir(fd, 4096, &text).error, 0);
    EXPECT_EQ(text, std::string("\n\0", 2));
    EXPECT_EQ(close(w), 0);
}

// ---- read-only access ----

// Everything of the tree that a change could touch: names, types, bits, owners, sizes, times,
// contents and link texts.
std::string tree_state(const fs::path& root) {
    std::string out;
    std::vector<fs::path> paths;
    for (const auto& e : fs::recursive_directory_iterator(root)) paths.push_back(e.path());
    std::sort(paths.begin(), paths.end());
    for (const fs::path& p : paths) {
        struct stat st {};
        ::lstat(p.c_str(), &st);
        out += fs::relative(p, root).string() + " " + std::to_string(st.st_mode) + " " +
               std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " " +
               std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
               std::to_string(st.st_mtim.tv_nsec);
        if (S_ISREG(st.st_mode)) out += " [" + slurp(p) + "]";
        if (S_ISLNK(st.st_mode)) out += " -> " + fs::read_symlink(p).string();
        out += "\n";
    }
    return out;
}

class SrvReadOnly : public SrvFile {
  protected:
    void SetUp() override {
        SrvFile::SetUp();
        spit(root_dir_ / "f", "data");
        fs::create_directories(root_dir_ / "d" / "sub");
        spit(root_dir_ / "d" / "g", "more");
        fs::create_symlink("f", root_dir_ / "l");
        struct timespec old[2] = {{2000000, 0}, {2000000, 0}};
        utimensat(AT_FDCWD, (root_dir_ / "f").c_str(), old, 0);
        ctx_->read_only = true;
        before_ = tree_state(root_dir_);
    }
    reply_t control8(int32_t cmd, const std::string& text, uint64_t fd = 0) {
        reply_t r;
        const auto* p = reinterpret_cast<const uint8_t*>(text.c_str());
        srv_context_control(*ctx_, SD_REQ_IOCTL, fd, cmd, {p, text.size() + 1}, 4096, *r.msg);
        return parse(SD_REQ_IOCTL, std::move(r));
    }
    std::string before_;
};

class SrvReadOnlyChange;
struct change_case {
    const char* name;
    std::function<int32_t(SrvReadOnlyChange&)> run;
};
void PrintTo(const change_case& c, std::ostream* os) {
    *os << c.name;
}

class SrvReadOnlyChange : public SrvReadOnly, public testing::WithParamInterface<change_case> {
  public:
    // The table reaches the fixture through these.
    using SrvFile::call;
    using SrvFile::control;
    using SrvFile::packed;
    using SrvFile::write;
    int32_t open_mode(const char* path, uint64_t mode) {
        return call(SD_REQ_OPEN,
                    [&](sd_frame_msg& m) {
                        m.add_string(SDF_PATH, path);
                        m.add_int64(SDF_MODE, mode);
                    })
            .error;
    }
    int32_t open_flags(const char* path, int flags) { return open2(path, flags, 0644).error; }
    // A file opened for reading, then a request on its number.
    int32_t on_read_file(const std::function<reply_t(SrvReadOnlyChange&, uint64_t)>& request) {
        const uint64_t fd = open("f", SD_OPEN_READ);
        const int32_t error = request(*this, fd).error;
        EXPECT_EQ(close(fd), 0);
        return error;
    }
    int32_t ctl20(int32_t cmd, const std::string& text, uint64_t fd = 0) {
        return control(cmd, text, fd).error;
    }
    int32_t ctl8(int32_t cmd, const std::string& text) { return control8(cmd, text).error; }
    int32_t worker(int32_t cmd, const std::string& text) {
        EXPECT_EQ(control8(SD_CTL_MFILE_OPEN, "65536\t0").error, 0);
        const int32_t error = control8(cmd, text).error;
        control8(SD_CTL_MFILE_CLOSE, "");
        return error;
    }
};

TEST_P(SrvReadOnlyChange, RefusedAsWriteProtectAndTreeUnchanged) {
    EXPECT_EQ(GetParam().run(*this), VERR_WRITE_PROTECT);
    EXPECT_EQ(tree_state(root_dir_), before_);
    EXPECT_EQ(temporaries(root_dir_), 0u);
}

using RO = SrvReadOnlyChange;
INSTANTIATE_TEST_SUITE_P(
    Table, SrvReadOnlyChange,
    testing::Values(
        change_case{"open for writing", [](RO& t) { return t.open_mode("f", SD_OPEN_WRITE); }},
        change_case{"open to create",
                    [](RO& t) { return t.open_mode("new/file", SD_OPEN_WRITE | SD_OPEN_CREATE); }},
        change_case{"open to truncate",
                    [](RO& t) { return t.open_mode("f", SD_OPEN_READ | SD_OPEN_TRUNCATE); }},
        change_case{"open2 for writing", [](RO& t) { return t.open_flags("f", O_RDWR); }},
        change_case{"open2 to create", [](RO& t) { return t.open_flags("n", O_RDONLY | O_CREAT); }},
        change_case{"open2 to truncate",
                    [](RO& t) { return t.open_flags("f", O_RDONLY | O_TRUNC); }},
        change_case{"put file",
                    [](RO& t) {
                        const std::vector<uint8_t> p = t.packed({'x'});
                        return t
                            .call(SD_REQ_PUT_FILE,
                                  [&](sd_frame_msg& m) {
                                      m.add_string(SDF_PATH, "d");
                                      m.add_string(SDF_NAME, "put");
                                      m.add_int32(SDF_FLAGS, 0);
                                      m.add_int32(SDF_LEN, 1);
                                      m.add_field(BLOBMSG_TYPE_BINARY, SDF_DATA, p.data(),
                                                  p.size());
                                  })
                            .error;
                    }},
        change_case{"write",
                    [](RO& t) {
                        return t.on_read_file(
                            [](RO& s, uint64_t fd) { return s.write(fd, {'x'}); });
                    }},
        change_case{"positional write",
                    [](RO& t) {
                        return t.on_read_file(
                            [](RO& s, uint64_t fd) { return s.write(fd, {'x'}, 0); });
                    }},
        change_case{"set length",
                    [](RO& t) {
                        return t.on_read_file([](RO& s, uint64_t fd) {
                            return s.call(SD_REQ_SET_LEN, [&](sd_frame_msg& m) {
                                m.add_int64(SDF_FD, fd);
                                m.add_int64(SDF_LEN, 0);
                            });
                        });
                    }},
        change_case{"file times",
                    [](RO& t) {
                        return t.on_read_file([](RO& s, uint64_t fd) {
                            return s.call(SD_REQ_FSET_TIME_EX, [&](sd_frame_msg& m) {
                                m.add_int64(SDF_FD, fd);
                                m.add_int64(SDF_TIME_ACCESS, 300);
                                m.add_int64(SDF_TIME_WRITE, 400);
                            });
                        });
                    }},
        change_case{"file attributes",
                    [](RO& t) {
                        return t.on_read_file([](RO& s, uint64_t fd) {
                            reply_t r = s.control(SD_CTL_FSET_STAT, "0\t0\t0\t0\t0\t0\t0", fd);
                            return r;
                        });
                    }},
        change_case{"make directories", [](RO& t) { return t.ctl20(SD_CTL_MKDIRS, "x/y"); }},
        change_case{"path times", [](RO& t) { return t.ctl20(SD_CTL_SET_TIMES, "f\t1\t1\t1"); }},
        change_case{"path times 2", [](RO& t) { return t.ctl20(SD_CTL_SET_TIMES2, "f\t1\t1\t1"); }},
        change_case{"remove directory", [](RO& t) { return t.ctl20(SD_CTL_RMDIR2, "d/sub"); }},
        change_case{"remove file", [](RO& t) { return t.ctl20(SD_CTL_REMOVE2, "f"); }},
        change_case{"path attributes",
                    [](RO& t) { return t.ctl20(SD_CTL_SET_STAT, "f\t0\t0\t0\t0\t0\t0\t0"); }},
        change_case{"worker mkdir", [](RO& t) { return t.worker(SD_CTL_MFILE_MKDIR, "d\tnew"); }},
        change_case{"worker write", [](RO& t) { return t.worker(SD_CTL_MFILE_WRITE, "d\tg"); }},
        change_case{"worker remove", [](RO& t) { return t.worker(SD_CTL_MFILE_REMOVE, "d\tg"); }},
        change_case{"worker empty", [](RO& t) { return t.worker(SD_CTL_MFILE_EMPTY, "d"); }},
        change_case{"store settings", [](RO& t) { return t.ctl8(SD_CTL_SET_CONF, "root=/"); }},
        change_case{"credentials 10002", [](RO& t) { return t.ctl8(SD_CTL_OUT_10002, "u"); }},
        change_case{"credentials 10003", [](RO& t) { return t.ctl8(SD_CTL_OUT_10003, "u"); }},
        change_case{"credentials 10004", [](RO& t) { return t.ctl8(SD_CTL_OUT_10004, "u\tp"); }},
        change_case{"credentials 10005", [](RO& t) { return t.ctl8(SD_CTL_OUT_10005, "u\tp"); }}));

// Every request code and every control code, with fields that name the tree's entries, leaves
// the tree as it was.
TEST_F(SrvReadOnly, NoRequestOrControlChangesTheTree) {
    const std::vector<uint8_t> data = packed({'x', 'y'});
    const uint64_t fd = open("f", SD_OPEN_READ);
    for (int code = 0; code < 256; ++code) {
        SCOPED_TRACE(code);
        // Codes without a reply table of their own: the reply is not parsed.
        sd_frame_msg req;
        req.reset();
        req.add_string(SDF_PATH, "f");
        req.add_string(SDF_NAME, "g");
        req.add_int64(SDF_FD, fd);
        req.add_int32(SDF_FLAGS, 0);
        req.add_int32(SDF_LEN, 2);
        req.add_int64(SDF_OFFSET, 0);
        req.add_field(BLOBMSG_TYPE_BINARY, SDF_DATA, data.data(), data.size());
        ASSERT_TRUE(req.ok());
        sd_frame_msg reply;
        srv_context_request(*ctx_, static_cast<uint8_t>(code), req.root().subspan(4), reply);
        EXPECT_EQ(tree_state(root_dir_), before_);
    }
    std::vector<int32_t> codes;
    for (int32_t c = 0; c <= 200; ++c) codes.push_back(c);
    for (int32_t c = 10000; c <= 10200; ++c) codes.push_back(c);
    for (int32_t cmd : codes) {
        SCOPED_TRACE(cmd);
        for (const char* text : {"f", "d\tg", "d"}) {
            control(cmd, text, fd);
            control8(cmd, text, fd);
        }
        control8(SD_CTL_MFILE_CLOSE, "");
        control8(SD_CTL_RDIR_CLOSE, "");
        EXPECT_EQ(tree_state(root_dir_), before_);
    }
    EXPECT_EQ(temporaries(root_dir_), 0u);
}

TEST_F(SrvReadOnly, ReadingStillWorks) {
    std::vector<uint8_t> got;
    const uint64_t fd = open("d/g", SD_OPEN_READ);
    ASSERT_EQ(read(fd, 16, &got).error, 0);
    EXPECT_EQ(std::string(got.begin(), got.end()), "more");
    EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(open2("l", O_RDONLY, 0).error, 0);
    EXPECT_EQ(stat(SD_REQ_LSTAT, "l").error, 0);
    const uint64_t dir = opendir("d");
    std::string text;
    EXPECT_EQ(readdir(dir, 4096, &text).error, 0);
    EXPECT_NE(text.find("sub"), std::string::npos);
    EXPECT_EQ(tree_state(root_dir_), before_);
}

// A file opened for writing under an earlier login that could write is not placed by a close
// under a read-only one.
TEST_F(SrvReadOnly, CloseAfterTheLoginTurnedReadOnlyPlacesNothing) {
    ctx_->read_only = false;
    const uint64_t fd = open("f", SD_OPEN_WRITE | SD_OPEN_TRUNCATE);
    ASSERT_EQ(write(fd, {'n', 'e', 'w'}).error, 0);
    ctx_->read_only = true;
    EXPECT_EQ(close(fd), VERR_WRITE_PROTECT);
    EXPECT_EQ(tree_state(root_dir_), before_);
    EXPECT_EQ(temporaries(root_dir_), 0u);
}

}  // namespace
