#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "lib/libdvsd/cli_fake_server.h"
#include "lib/librdir/log_capture.h"
#include "libdvsd/cli_internal.h"
#include "libdvsd/dvsd_cli.h"

namespace {

using fake::Bytes;

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 7 + i / 251) & 0xff);
    return b;
}

// A remote file: reads are answered from `content` (request 12 at the server's position, moved
// by seeks and reads; request 29 at its offset), writes land in `written`.
struct remote_file {
    Bytes content;
    Bytes written;
    uint64_t pos = 0;
    std::function<bool(const fake::request&)> fail_read;  // answer this read with errno -5

    void install(fake::server& srv) {
        auto read = [this, &srv](const fake::request& r) {
            if (fail_read && fail_read(r)) return fake::reply::error(-5, "io error");
            const uint64_t at = r.code == SD_REQ_PREAD ? r.at("offset").u64() : pos;
            const size_t len = r.at("len").u32();
            const size_t n = at >= content.size() ? 0 : std::min(len, content.size() - at);
            const Bytes part(content.begin() + at, content.begin() + at + n);
            if (r.code == SD_REQ_READ) pos = at + n;
            return fake::reply().i32("len", n).i32("flags", 0).bin("data", srv.pack(part));
        };
        srv.on(SD_REQ_READ, read);
        srv.on(SD_REQ_PREAD, read);
        auto write = [this, &srv](const fake::request& r) {
            const size_t len = r.at("len").u32();
            const Bytes data = srv.unpack(r.at("data").value, len);
            const uint64_t at = r.code == SD_REQ_PWRITE ? r.at("offset").u64() : pos;
            if (written.size() < at + data.size()) written.resize(at + data.size());
            std::copy(data.begin(), data.end(), written.begin() + at);
            if (r.code == SD_REQ_WRITE) pos = at + data.size();
            return fake::reply().i32("len", data.size());
        };
        srv.on(SD_REQ_WRITE, write);
        srv.on(SD_REQ_PWRITE, write);
        srv.on(SD_REQ_SEEK, [this](const fake::request& r) {
            const int64_t whence = static_cast<int64_t>(r.at("mode").u64());
            const int64_t off = static_cast<int64_t>(r.at("offset").u64());
            pos = whence == 1 ? pos + off : static_cast<uint64_t>(off);
            return fake::reply().i64("offset", pos);
        });
    }
};

class CliFile : public ::testing::Test {
  protected:
    void SetUp() override { dvsd_cli_init(); }
    void TearDown() override { dvsd_cli_exit(ctx_); }

    void connect(const std::string& query = "", const char* ver = "1.7.8",
                 const char* plat = "linux") {
        srv_.set_info(std::string("ver=[") + ver + "]\nplat=[" + plat + "]\n");
        file_.install(srv_);
        ctx_ = dvsd_cli_connect(srv_.url(query).c_str(), &err_);
        ASSERT_NE(ctx_, nullptr) << err_info_str(&err_);
        fh_ = dvsd_cli_open(ctx_, "/data/f", 4225);
        ASSERT_NE(fh_, nullptr);
        srv_.clear();
    }

    std::vector<uint32_t> lens(uint8_t code) const {
        std::vector<uint32_t> out;
        for (auto& r : srv_.requests(code)) out.push_back(r.at("len").u32());
        return out;
    }

    fake::server srv_;
    remote_file file_;
    err_info err_{};
    dvsd_cli_ctx* ctx_ = nullptr;
    dvsd_cli_file* fh_ = nullptr;
};

// ---- reading
// --------------------------------------------------------------------------------------

TEST_F(CliFile, ReadSplitsIntoBlocksAndEndsWithTheShortCountAtEndOfFile) {
    file_.content = pattern(150 << 10);
    connect("pack=lz4&mblock-size=64k");
    Bytes buf(200 << 10);
    EXPECT_EQ(dvsd_cli_read(fh_, buf.data(), buf.size(), 0), 150 << 10);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + (150 << 10)), file_.content);
    const auto reads = srv_.requests(SD_REQ_PREAD);
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(lens(SD_REQ_PREAD), (std::vector<uint32_t>{65536, 65536, 65536}));
    EXPECT_EQ(reads[1].at("offset").u64(), 65536u);
    EXPECT_EQ(reads[2].at("offset").u64(), 131072u);
    EXPECT_EQ(fh_->position, uint64_t{150 << 10});
    EXPECT_TRUE(srv_.requests(SD_REQ_SEEK).empty());
}

TEST_F(CliFile, ReadAtAnOffsetSeeksFirstOnServersWithoutPositionalRequests) {
    file_.content = pattern(1000);
    connect("", "1.6.3");
    Bytes buf(100);
    EXPECT_EQ(dvsd_cli_read(fh_, buf.data(), 100, 500), 100);
    EXPECT_EQ(Bytes(buf.begin(), buf.end()),
              Bytes(file_.content.begin() + 500, file_.content.begin() + 600));
    EXPECT_EQ(srv_.codes(), (std::vector<uint8_t>{SD_REQ_SEEK, SD_REQ_READ}));
    // At the current position: no seek, no offset.
    srv_.clear();
    EXPECT_EQ(dvsd_cli_read(fh_, buf.data(), 100, DVSD_CLI_CUR_POS), 100);
    EXPECT_EQ(srv_.codes(), (std::vector<uint8_t>{SD_REQ_READ}));
    EXPECT_EQ(fh_->position, 700u);
}

TEST_F(CliFile, EmptyReadAndWriteSendOneRequestEach) {
    connect("pack=lz4");
    uint8_t byte = 0;
    EXPECT_EQ(dvsd_cli_read(fh_, &byte, 0, DVSD_CLI_CUR_POS), 0);
    EXPECT_EQ(dvsd_cli_write(fh_, &byte, 0, DVSD_CLI_CUR_POS), 0);
    EXPECT_EQ(lens(SD_REQ_READ), (std::vector<uint32_t>{0}));
    EXPECT_EQ(lens(SD_REQ_WRITE), (std::vector<uint32_t>{0}));
}

TEST_F(CliFile, FailedLargeReadRestartsWithSmallBlocksOnANewConnection) {
    file_.content = pattern(12u << 20);
    file_.fail_read = [](const fake::request& r) { return r.connection == 1; };
    connect();
    Bytes buf(12u << 20);
    file_.pos = 0;
    ASSERT_EQ(dvsd_cli_read(fh_, buf.data(), buf.size(), DVSD_CLI_CUR_POS), 12 << 20)
        << dvsd_cli_get_error_str(ctx_);
    EXPECT_EQ(buf, file_.content);
    EXPECT_EQ(srv_.connections(), 2);
    EXPECT_EQ(ctx_->block_size, DVSD_CLI_RESTART_BLOCK);

    const auto all = srv_.requests();
    ASSERT_GE(all.size(), 5u);
    EXPECT_EQ(all[0].code, SD_REQ_READ);
    EXPECT_EQ(all[0].at("len").u32(), 10u << 20);
    EXPECT_EQ(all[1].code, SD_REQ_LOGIN);
    EXPECT_EQ(all[1].connection, 2);
    EXPECT_EQ(all[2].code, SD_REQ_OPEN);
    EXPECT_EQ(all[2].at("path").str(), "/data/f");
    EXPECT_EQ(all[2].at("mode").u64(), 4225u);
    EXPECT_EQ(all[3].code, SD_REQ_SEEK);
    EXPECT_EQ(all[3].at("offset").u64(), 0u);
    EXPECT_EQ(all[4].code, SD_REQ_FILE_IOCTL);
    EXPECT_EQ(all[4].cmd(), DVSD_IOCTL_PACK);
    EXPECT_EQ(all[4].text(), "none");
    const auto reads = lens(SD_REQ_READ);
    ASSERT_EQ(reads.size(), 1u + (12u << 20) / 204800 + 1);
    for (size_t i = 1; i + 1 < reads.size(); ++i) ASSERT_EQ(reads[i], 204800u) << i;
    EXPECT_EQ(reads.back(), (12u << 20) % 204800);
}

// With repair on, the restart's new connection has a server context of its own: it is
// registered again (101, 102) before the file is reopened, so that a later repair attaches to it.
TEST_F(CliFile, RestartWithRepairOnRegistersTheNewContext) {
    file_.content = pattern(1 << 20);
    file_.fail_read = [](const fake::request& r) { return r.connection == 1; };
    int addresses = 0;
    srv_.on_ctl(102, [&addresses](const fake::request&) {
        const std::string text = std::to_string(++addresses * 1000) + std::string(1, '\0');
        return fake::reply().bin("data", text);
    });
    connect();
    ASSERT_EQ(dvsd_cli_set_auto_reconnect(ctx_), 0);
    EXPECT_EQ(ctx_->ctx_addr, 1000u);
    srv_.clear();
    Bytes buf(1 << 20);
    file_.pos = 0;
    ASSERT_EQ(dvsd_cli_read(fh_, buf.data(), buf.size(), DVSD_CLI_CUR_POS), 1 << 20)
        << dvsd_cli_get_error_str(ctx_);
    EXPECT_EQ(buf, file_.content);
    const auto all = srv_.requests();
    ASSERT_GE(all.size(), 5u);
    EXPECT_EQ(all[1].code, SD_REQ_LOGIN);
    EXPECT_EQ(all[2].cmd(), 101);
    EXPECT_EQ(all[3].cmd(), 102);
    EXPECT_EQ(all[3].connection, 2);
    EXPECT_EQ(all[4].code, SD_REQ_OPEN);
    EXPECT_EQ(ctx_->ctx_addr, 2000u);
}

// The restart opens the file again the way it was opened, but never creates or empties it: the
// client may have written to it on the lost connection.
TEST_F(CliFile, RestartReopensTheSameWayWithoutCreatingOrTruncating) {
    struct {
        const char* name;
        std::function<dvsd_cli_file*(dvsd_cli_ctx*)> open;
        uint8_t code;
        const char* field;  // the only field the reopen changes
        uint64_t first, again;
    } cases[] = {
        {"open: write, create, truncate",
         [](dvsd_cli_ctx* c) { return dvsd_cli_open(c, "/f", 42); }, SD_REQ_OPEN, "mode", 42, 2},
        {"open: read", [](dvsd_cli_ctx* c) { return dvsd_cli_open(c, "/f", 0x1081); }, SD_REQ_OPEN,
         "mode", 0x1081, 0x1081},
        {"open2: create, truncate, exclusive",
         [](dvsd_cli_ctx* c) {
             return dvsd_cli_open2(c, "/f", O_RDWR | O_CREAT | O_TRUNC | O_EXCL | O_APPEND, 0640);
         },
         SD_REQ_OPEN2, "flag", O_RDWR | O_CREAT | O_TRUNC | O_EXCL | O_APPEND, O_RDWR | O_APPEND},
        {"wopen: create always",
         [](dvsd_cli_ctx* c) {
             return dvsd_cli_wopen(c, "/f", 0xC0000000u, 3, nullptr, 2, 0x80, 0);
         },
         SD_REQ_WOPEN, "creat_disp", 2, 3},
    };
    file_.content = pattern(1 << 20);
    file_.install(srv_);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bool failed = false;
        file_.fail_read = [&failed](const fake::request&) { return !std::exchange(failed, true); };
        file_.pos = 0;
        dvsd_cli_ctx* ctx = dvsd_cli_connect(srv_.url().c_str(), &err_);
        ASSERT_NE(ctx, nullptr);
        dvsd_cli_file* f = c.open(ctx);
        ASSERT_NE(f, nullptr);
        Bytes buf(1 << 20);
        EXPECT_EQ(dvsd_cli_read(f, buf.data(), buf.size(), DVSD_CLI_CUR_POS), 1 << 20)
            << dvsd_cli_get_error_str(ctx);
        EXPECT_EQ(buf, file_.content);
        const auto opens = srv_.requests(c.code);
        ASSERT_EQ(opens.size(), 2u);
        EXPECT_EQ(opens[0].at(c.field).u64(), c.first);
        EXPECT_EQ(opens[1].at(c.field).u64(), c.again);
        // Everything else is sent as it was the first time.
        auto others = [&c](fake::request r) {
            r.fields.erase(c.field);
            return r.fields;
        };
        EXPECT_EQ(others(opens[0]).size(), others(opens[1]).size());
        for (const auto& [name, value] : others(opens[0])) {
            EXPECT_EQ(opens[1].at(name).value, value.value) << name;
        }
        dvsd_cli_exit(ctx);
        srv_.clear();
    }
}

TEST_F(CliFile, ReadsThatMustNotRestartFailAtOnce) {
    struct {
        const char* name;
        const char* query;
        uint32_t len;
        int32_t srv_errno;
        verr want;
    } cases[] = {
        {"file not found", "", 1 << 20, -102, -102},
        {"no such device", "", 1 << 20, -258, -258},
        {"small request", "mblock-size=200k", 1 << 20, -5, -5},
    };
    for (const auto& c : cases) {
        srv_.on(SD_REQ_READ,
                [&c](const fake::request&) { return fake::reply::error(c.srv_errno, "refused"); });
        srv_.set_info("ver=[1.7.8]\n");
        dvsd_cli_ctx* ctx = dvsd_cli_connect(srv_.url(c.query).c_str(), &err_);
        ASSERT_NE(ctx, nullptr);
        dvsd_cli_file* f = dvsd_cli_open(ctx, "/f", 0);
        const int before = srv_.connections();
        Bytes buf(c.len);
        EXPECT_EQ(dvsd_cli_read(f, buf.data(), c.len, DVSD_CLI_CUR_POS), -1) << c.name;
        EXPECT_EQ(dvsd_cli_get_error(ctx), c.want) << c.name;
        EXPECT_EQ(srv_.connections(), before) << c.name;
        dvsd_cli_exit(ctx);
    }
}

TEST_F(CliFile, SecondFailureOfTheSameReadGivesUp) {
    file_.content = pattern(1 << 20);
    file_.fail_read = [](const fake::request&) { return true; };
    connect();
    log_capture log;
    Bytes buf(1 << 20);
    EXPECT_EQ(dvsd_cli_read(fh_, buf.data(), buf.size(), DVSD_CLI_CUR_POS), -1);
    EXPECT_TRUE(log.has("error: count++>=1"));
    EXPECT_EQ(srv_.connections(), 2);
    EXPECT_EQ(dvsd_cli_get_error(ctx_), -5);
}

TEST_F(CliFile, StopDuringAReadNeitherRestartsNorReconnects) {
    file_.content = pattern(1 << 20);
    connect("read_timeout=20");
    srv_.on(SD_REQ_READ, [](const fake::request&) {
        fake::reply r;
        r.silent = true;
        return r;
    });
    std::thread stopper([this] {
        usleep(200000);
        dvsd_cli_stop(ctx_);
    });
    Bytes buf(1 << 20);
    EXPECT_EQ(dvsd_cli_read(fh_, buf.data(), buf.size(), DVSD_CLI_CUR_POS), -1);
    stopper.join();
    EXPECT_EQ(dvsd_cli_get_error(ctx_), VERR_NET_USER_STOP);
    EXPECT_EQ(srv_.connections(), 1);
    EXPECT_EQ(ctx_->block_size, 10u << 20);
}

TEST_F(CliFile, ReplyDataThatDoesNotMatchItsStatedLengthIsRefused) {
    connect();
    struct {
        const char* name;
        uint32_t stated;
        Bytes data;
    } cases[] = {
        {"shorter than stated", 10, Bytes(8, 'x')},
        {"stated more than asked", 20, Bytes(20, 'x')},
        {"data without length", 0, Bytes(4, 'x')},
    };
    for (const auto& c : cases) {
        srv_.on(SD_REQ_PREAD, [&c](const fake::request&) {
            return fake::reply().i32("len", c.stated).i32("flags", 0).bin("data", c.data);
        });
        Bytes buf(16);
        EXPECT_EQ(dvsd_cli_read(fh_, buf.data(), 16, 0), -1) << c.name;
        // A protocol error, which no restart on a new connection can mend.
        EXPECT_STREQ(dvsd_cli_get_error_str(ctx_), "read data content error") << c.name;
        EXPECT_EQ(dvsd_cli_get_error(ctx_), VERR_NET_PROTOCOL_ERROR) << c.name;
    }
    EXPECT_EQ(srv_.connections(), 1);
}

TEST_F(CliFile, WindowsServerGetsTheReadTimeOutBeforeTheFirstReadOnly) {
    file_.content = pattern(100);
    connect("read_timeout=5", "1.7.8", "windows");
    // The handle was opened on a Windows server: both pending marks are set.
    Bytes buf(10);
    ASSERT_EQ(dvsd_cli_read(fh_, buf.data(), 10, 0), 10);
    ASSERT_EQ(dvsd_cli_read(fh_, buf.data(), 10, 10), 10);
    const auto controls = srv_.controls(DVSD_IOCTL_FD_READ_TIMEOUT);
    ASSERT_EQ(controls.size(), 1u);
    EXPECT_EQ(controls[0].text(), "4000");
    EXPECT_EQ(controls[0].at("fd").u64(), 7u);
    EXPECT_EQ(srv_.codes(), (std::vector<uint8_t>{SD_REQ_FILE_IOCTL, SD_REQ_PREAD, SD_REQ_PREAD}));
}

TEST_F(CliFile, ReadPackedHandsOverThePackedBytes) {
    file_.content = pattern(8000);
    connect("pack=lz4");
    Bytes buf(zcomp_bound(4096));
    uint32_t packed_len = 0;
    EXPECT_EQ(dvsd_cli_read_packed(fh_, buf.data(), 4096, &packed_len, 1000), 4096);
    ASSERT_GT(packed_len, 0u);
    Bytes raw(4096);
    ASSERT_EQ(zcomp_decompress(&ctx_->pack, buf.data(), packed_len, raw.data(), raw.size()), 4096);
    EXPECT_EQ(raw, Bytes(file_.content.begin() + 1000, file_.content.begin() + 5096));
    EXPECT_EQ(fh_->position, 1000u);
}

// ---- writing
// --------------------------------------------------------------------------------------

TEST_F(CliFile, WriteSplitsIntoPackedBlocks) {
    connect("pack=lz4&mblock-size=64k");
    const Bytes data = pattern(150 << 10);
    EXPECT_EQ(dvsd_cli_write(fh_, data.data(), data.size(), 4096), 150 << 10);
    EXPECT_EQ(lens(SD_REQ_PWRITE), (std::vector<uint32_t>{65536, 65536, 22528}));
    const auto writes = srv_.requests(SD_REQ_PWRITE);
    EXPECT_EQ(writes[0].order, (std::vector<std::string>{"fd", "flags", "len", "offset", "data"}));
    EXPECT_EQ(writes[2].at("offset").u64(), 4096u + 131072u);
    // Packed on the wire: this data packs well.
    EXPECT_LT(writes[0].at("data").value.size(), 65536u);
    EXPECT_EQ(Bytes(file_.written.begin() + 4096, file_.written.end()), data);
    EXPECT_EQ(fh_->position, 4096u + (150 << 10));
    EXPECT_EQ(ctx_->data_written, 1u);
}

TEST_F(CliFile, ShortWriteIsAFailureNotASuccess) {
    connect("mblock-size=64k");
    srv_.on(SD_REQ_PWRITE, [](const fake::request& r) {
        const uint32_t len = r.at("len").u32();
        return fake::reply().i32("len", r.at("offset").u64() == 0 ? len : len - 1);
    });
    const Bytes data = pattern(100000);
    EXPECT_EQ(dvsd_cli_write(fh_, data.data(), data.size(), 0), -1);
    EXPECT_EQ(dvsd_cli_get_error(ctx_), VERR_WRITE_ERROR);
    EXPECT_STREQ(dvsd_cli_get_error_str(ctx_),
                 "short write: asked 34464 bytes, server wrote 34463");
    // The position counts the request that was written whole.
    EXPECT_EQ(fh_->position, 65536u);

    const Bytes packed = {1, 2, 3};
    srv_.on(SD_REQ_WRITE, [](const fake::request&) { return fake::reply().i32("len", 0); });
    EXPECT_EQ(dvsd_cli_write_packed(fh_, packed.data(), 3, 3, DVSD_CLI_CUR_POS), -1);
    EXPECT_EQ(dvsd_cli_get_error(ctx_), VERR_WRITE_ERROR);
    srv_.on(SD_REQ_PUT_FILE, [](const fake::request&) { return fake::reply().i32("len", 1); });
    EXPECT_EQ(dvsd_cli_put_small_file(ctx_, "/d", "n", packed.data(), 3, 0), -1);
    EXPECT_EQ(dvsd_cli_get_error(ctx_), VERR_WRITE_ERROR);
}

TEST_F(CliFile, SmallFileStoreCarriesPackedDataAndItsRawLength) {
    connect("pack=lz4");
    const Bytes data = pattern(3000);
    srv_.on(SD_REQ_PUT_FILE, [this, &data](const fake::request& r) {
        EXPECT_EQ(srv_.unpack(r.at("data").value, r.at("len").u32()), data);
        return fake::reply().i32("len", r.at("len").u32());
    });
    ASSERT_EQ(dvsd_cli_put_small_file(fh_, "/dir", "name", data.data(), data.size(), 3), 0);
    const auto put = srv_.requests(SD_REQ_PUT_FILE);
    ASSERT_EQ(put.size(), 1u);
    EXPECT_EQ(put[0].order, (std::vector<std::string>{"path", "name", "flags", "len", "data"}));
    EXPECT_EQ(put[0].at("flags").u32(), 3u);
    EXPECT_EQ(put[0].at("len").u32(), 3000u);
}

TEST_F(CliFile, PwritexByServerVersion) {
    struct {
        const char* ver;
        uint8_t code;
    } cases[] = {{"1.6.1", SD_REQ_RANGE_LEN}, {"1.6.2", SD_REQ_IOCTL}};
    for (const auto& c : cases) {
        srv_.set_info(std::string("ver=[") + c.ver + "]\n");
        srv_.on(SD_REQ_RANGE_LEN, [](const fake::request&) { return fake::reply().i32("len", 9); });
        srv_.on_ctl(DVSD_IOCTL_PWRITEX,
                    [](const fake::request&) { return fake::reply().bin("data", "123456"); });
        dvsd_cli_ctx* ctx = dvsd_cli_connect(srv_.url().c_str(), &err_);
        ASSERT_NE(ctx, nullptr);
        dvsd_cli_file* f = dvsd_cli_open(ctx, "/f", 0);
        srv_.clear();
        EXPECT_EQ(dvsd_cli_pwritex(f, 2, 100, 5000), c.code == SD_REQ_IOCTL ? 123456 : 9) << c.ver;
        const auto reqs = srv_.requests();
        ASSERT_EQ(reqs.size(), 1u);
        EXPECT_EQ(reqs[0].code, c.code);
        if (c.code == SD_REQ_IOCTL) {
            EXPECT_EQ(reqs[0].text(), "5000\t100");
            EXPECT_EQ(reqs[0].at("olen").u32(), 511u);
        } else {
            EXPECT_EQ(reqs[0].at("mode").u32(), 2u);
            EXPECT_EQ(reqs[0].at("offset").u64(), 5000u);
        }
        dvsd_cli_exit(ctx);
    }
}

// ---- position, length, stat
// -----------------------------------------------------------------------

TEST_F(CliFile, SeekAndTruncateKeepThePosition) {
    connect();
    EXPECT_EQ(dvsd_cli_seek(fh_, -3, 1), DVSD_CLI_CUR_POS - 2);  // the fake adds what it is given
    EXPECT_EQ(srv_.requests(SD_REQ_SEEK)[0].at("mode").u64(), 1u);
    EXPECT_EQ(dvsd_cli_seek(fh_, 77, 0), 77u);
    EXPECT_EQ(fh_->position, 77u);
    srv_.clear();
    EXPECT_EQ(dvsd_cli_ftruncate(fh_, 10), 0);
    EXPECT_EQ(srv_.codes(), (std::vector<uint8_t>{SD_REQ_SET_LEN, SD_REQ_SEEK}));
    EXPECT_EQ(srv_.requests(SD_REQ_SET_LEN)[0].at("len").u64(), 10u);

    srv_.on(SD_REQ_SEEK, [](const fake::request&) { return fake::reply::error(-107, "seek"); });
    EXPECT_EQ(dvsd_cli_seek(fh_, 1, 0), DVSD_CLI_CUR_POS);
    EXPECT_EQ(dvsd_cli_get_error(ctx_), -107);
}

fake::reply stat_reply(bool extended) {
    fake::reply r;
    r.i32("type", 1).i32("attrib_mode", 0644).i32("uid", 10).i32("gid", 20).i64("len", 1234);
    r.i64("time_access", 100).i64("time_write", 200).i64("time_create", 300);
    if (extended) {
        r.i32("time_access_ns", 1).i32("time_write_ns", 2).i32("time_create_ns", 3);
        r.i64("st_nlink", 4).i64("st_dev", 5).i64("st_rdev", 6).i64("st_ino", 7);
        r.i64("st_blksize", 8).i64("st_blocks", 9);
    }
    return r;
}

TEST_F(CliFile, StatUsesTheFieldSetOfTheServer) {
    struct {
        const char* ver;
        uint8_t code;
        bool extended;
    } cases[] = {{"1.5.3", SD_REQ_STAT_EX, true}, {"1.5.2", SD_REQ_STAT, false}};
    for (const auto& c : cases) {
        srv_.set_info(std::string("ver=[") + c.ver + "]\n");
        srv_.on(c.code, [&c](const fake::request&) { return stat_reply(c.extended); });
        srv_.on(SD_REQ_LSTAT, [&c](const fake::request&) { return stat_reply(c.extended); });
        dvsd_cli_ctx* ctx = dvsd_cli_connect(srv_.url().c_str(), &err_);
        ASSERT_NE(ctx, nullptr);
        dvsd_stat st;
        st.time_write_ns = 99;
        st.st_ino = 99;
        ASSERT_EQ(dvsd_cli_stat(ctx, "/p", &st), 0) << c.ver;
        EXPECT_EQ(st.len, 1234u);
        EXPECT_EQ(st.attrib_mode, 0644u);
        EXPECT_EQ(st.time_create, 300u);
        EXPECT_EQ(st.time_write_ns, c.extended ? 2u : 0u);
        EXPECT_EQ(st.st_ino, c.extended ? 7u : 99u);
        ASSERT_EQ(dvsd_cli_lstat(ctx, "/p", &st), 0) << c.ver;
        EXPECT_EQ(srv_.requests(SD_REQ_LSTAT).back().at("path").str(), "/p");
        dvsd_cli_exit(ctx);
    }
    // A reply lacking a field of its table is malformed.
    srv_.set_info("ver=[1.7.8]\n");
    srv_.on(SD_REQ_STAT_EX, [](const fake::request&) { return stat_reply(false); });
    dvsd_cli_ctx* ctx = dvsd_cli_connect(srv_.url().c_str(), &err_);
    ASSERT_NE(ctx, nullptr);
    dvsd_stat st;
    EXPECT_EQ(dvsd_cli_stat(ctx, "/p", &st), -1);
    EXPECT_EQ(dvsd_cli_get_error(ctx), VERR_NET_PROTOCOL_ERROR);
    dvsd_cli_exit(ctx);
}

TEST_F(CliFile, OpenFormsSendTheirFields) {
    connect();
    dvsd_cli_file* f2 = dvsd_cli_open2(ctx_, "/a", 0x241, 0644);
    ASSERT_NE(f2, nullptr);
    EXPECT_EQ(f2->flags, 0644);
    dvsd_cli_file* fw = dvsd_cli_wopen(ctx_, "/b", 1, 2, nullptr, 3, 4, 5);
    ASSERT_NE(fw, nullptr);
    const auto reqs = srv_.requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].order, (std::vector<std::string>{"path", "flag", "mode"}));
    EXPECT_EQ(reqs[1].order,
              (std::vector<std::string>{"path", "desire_access", "share_mode", "sec_attrib",
                                        "creat_disp", "flag_attrib", "temp_handle"}));
    EXPECT_EQ(reqs[1].at("temp_handle").u64(), 5u);
    // Open with a negative mode: sign-extended.
    srv_.clear();
    ASSERT_NE(dvsd_cli_open(ctx_, "/c", -2), nullptr);
    EXPECT_EQ(srv_.requests()[0].at("mode").u64(), UINT64_MAX - 1);
    // A refused open leaves no handle behind.
    srv_.on(SD_REQ_OPEN, [](const fake::request&) { return fake::reply::error(-102, "nope"); });
    const size_t open_before = ctx_->files.size();
    EXPECT_EQ(dvsd_cli_open(ctx_, "/missing", 0), nullptr);
    EXPECT_EQ(dvsd_cli_get_error(ctx_), -102);
    EXPECT_STREQ(dvsd_cli_get_error_str(ctx_), "nope");
    EXPECT_EQ(ctx_->files.size(), open_before);
    EXPECT_EQ(dvsd_cli_close(f2), 0);
    EXPECT_EQ(ctx_->files.size(), open_before - 1);
}

}  // namespace
