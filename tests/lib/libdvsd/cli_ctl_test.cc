#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "lib/libdvsd/cli_fake_server.h"
#include "libdvsd/cli_internal.h"
#include "libdvsd/dvsd_cli.h"
#include "libpwd/libpwd.h"

namespace {

using fake::Bytes;

class CliCtl : public ::testing::Test {
  protected:
    void SetUp() override { dvsd_cli_init(); }
    void TearDown() override { dvsd_cli_exit(ctx_); }

    void connect(const char* ver = "1.7.8") {
        srv_.set_info(std::string("ver=[") + ver + "]\n");
        ctx_ = dvsd_cli_connect(srv_.url().c_str(), &err_);
        ASSERT_NE(ctx_, nullptr) << err_info_str(&err_);
        srv_.clear();
    }

    fake::server srv_;
    err_info err_{};
    dvsd_cli_ctx* ctx_ = nullptr;
};

TEST_F(CliCtl, OutputIsCutToTheCapacityAndCounted) {
    connect();
    srv_.on_ctl(10002,
                [](const fake::request&) { return fake::reply().bin("data", "0123456789"); });
    char out[4];
    uint32_t n = 99;
    ASSERT_EQ(dvsd_cli_ioctl2(ctx_, 10002, "arg", DVSD_CLI_TEXT, out, sizeof out, &n), 0);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::string(out, 4), "0123");
    const auto req = srv_.controls(10002);
    ASSERT_EQ(req.size(), 1u);
    EXPECT_EQ(req[0].order, (std::vector<std::string>{"fd", "cmd", "data", "olen"}));
    EXPECT_EQ(req[0].at("data").value, (Bytes{'a', 'r', 'g', 0}));
    EXPECT_EQ(req[0].at("olen").u32(), 4u);
    // A capacity beyond what a frame can carry is asked for as the largest block.
    ASSERT_EQ(dvsd_cli_ioctl2(ctx_, 10002, nullptr, 0, nullptr, 100u << 20, &n), 0);
    EXPECT_EQ(srv_.controls(10002)[1].at("olen").u32(), DVSD_CLI_MAX_BLOCK);
    EXPECT_EQ(n, 0u);
}

TEST_F(CliCtl, ErrorClassNeedsNoRequest) {
    connect();
    struct {
        int32_t os_type, srv_errno;
        uint32_t want;
    } cases[] = {
        {0, 0, 0}, {1, 0, 0}, {1, 55, 2}, {1, 2, 2}, {1, 23, 1}, {1, 1117, 1},
        {1, 5, 3}, {0, 6, 2}, {0, 5, 1},  {0, 2, 3}, {2, 6, 2},  {0, -102, 3},
    };
    for (const auto& c : cases) {
        ctx_->os_type = c.os_type;
        ctx_->frame.srv_errno = c.srv_errno;
        uint32_t cls = 99;
        ASSERT_EQ(dvsd_cli_ioctl(ctx_, DVSD_IOCTL_ERROR_CLASS, &cls, sizeof cls), 0);
        EXPECT_EQ(cls, c.want) << c.os_type << " " << c.srv_errno;
    }
    EXPECT_TRUE(srv_.requests().empty());
}

TEST_F(CliCtl, LocalCodesUseTheFixedRequests) {
    connect("1.5.3");
    dvsd_cli_file* f = dvsd_cli_open(ctx_, "/f", 0);
    ASSERT_NE(f, nullptr);
    srv_.on(SD_REQ_GEOMETRY, [](const fake::request&) {
        return fake::reply()
            .i32("type", 1)
            .i64("len", 5000)
            .i64("offset", 12)
            .i32("sector_bytes", 512)
            .str("info", "disk");
    });
    EXPECT_EQ(dvsd_cli_get_size(f), 5000u);
    EXPECT_EQ(dvsd_cli_get_offset(f), 12u);
    dvsd_times t{1, 2, 3, 4, 5, 6};
    ASSERT_EQ(dvsd_cli_futimes(f, &t), 0);
    const auto times = srv_.requests(SD_REQ_FSET_TIME_EX);
    ASSERT_EQ(times.size(), 1u);
    EXPECT_EQ(times[0].order,
              (std::vector<std::string>{"fd", "time_access", "time_write", "time_create",
                                        "time_access_ns", "time_write_ns", "time_create_ns"}));
    EXPECT_EQ(times[0].at("time_write").u64(), 3u);
    EXPECT_EQ(times[0].at("time_create_ns").u32(), 6u);
    ASSERT_EQ(dvsd_cli_frange(f, 2, 100, 200), 0);
    const auto range = srv_.requests(SD_REQ_RANGE);
    ASSERT_EQ(range.size(), 1u);
    EXPECT_EQ(range[0].order, (std::vector<std::string>{"fd", "type", "offset", "len"}));
    EXPECT_EQ(range[0].at("len").u64(), 200u);

    srv_.on(SD_REQ_GEOMETRY, [](const fake::request&) { return fake::reply::error(-4, "bad"); });
    EXPECT_EQ(dvsd_cli_get_size(f), UINT64_MAX);
    EXPECT_EQ(dvsd_cli_get_error(f), -4);
}

TEST_F(CliCtl, TimesWithoutNanosecondsOnOlderServers) {
    connect("1.5.2");
    dvsd_cli_file* f = dvsd_cli_open(ctx_, "/f", 0);
    dvsd_times t{1, 2, 3, 4, 5, 6};
    ASSERT_EQ(dvsd_cli_futimes(f, &t), 0);
    const auto times = srv_.requests(SD_REQ_FSET_TIME);
    ASSERT_EQ(times.size(), 1u);
    EXPECT_FALSE(times[0].has("time_access_ns"));
}

TEST_F(CliCtl, SettingsReadonlyFlag) {
    struct {
        const char* conf;
        int want;
    } cases[] = {
        {"a=1\r\nallow_set_readonly=0\r\nb=2", 1},
        {"allow_set_readonly=1", 0},
        {"a=1\r\nb=0", 0},
        {"allow_set_readonly=00", 0},
    };
    connect();
    for (const auto& c : cases) {
        srv_.on_ctl(DVSD_IOCTL_GET_CONF,
                    [&c](const fake::request&) { return fake::reply().bin("data", c.conf); });
        int deny = 7;
        ASSERT_EQ(dvsd_cli_deny_set_readonly(ctx_, &deny), 0) << c.conf;
        EXPECT_EQ(deny, c.want) << c.conf;
    }
    EXPECT_EQ(srv_.controls(DVSD_IOCTL_GET_CONF)[0].at("olen").u32(), 4095u);
}

TEST_F(CliCtl, SetConfEnciphersTheCredentialsWithTheLoginKey) {
    connect();
    snprintf(ctx_->login_key, sizeof ctx_->login_key, "%s", "0123456789abcdef");
    ASSERT_EQ(dvsd_cli_set_conf(ctx_, "port=1\r\nuser=bob\r\npasswd=s3cret"), 0);
    const auto req = srv_.controls(DVSD_IOCTL_SET_CONF);
    ASSERT_EQ(req.size(), 1u);
    const std::string text = req[0].text();
    EXPECT_EQ(text.find("s3cret"), std::string::npos);
    const size_t at = text.find("\npasswd=");
    ASSERT_NE(at, std::string::npos) << text;
    char plain[64];
    ASSERT_EQ(libpwd_decrypt_b64(text.substr(at + 8).c_str(), ctx_->login_key, plain, sizeof plain),
              0);
    EXPECT_STREQ(plain, "s3cret");
    EXPECT_TRUE(text.starts_with("port=1\nuser=")) << text;
    // Without both keys the text goes as it is.
    ASSERT_EQ(dvsd_cli_set_conf(ctx_, "port=2\r\nuser=bob"), 0);
    EXPECT_EQ(srv_.controls(DVSD_IOCTL_SET_CONF)[1].text(), "port=2\r\nuser=bob");
}

TEST_F(CliCtl, NamedOperationsAndTheirTexts) {
    connect();
    dvsd_cli_file* f = dvsd_cli_open(ctx_, "/f", 0);
    srv_.clear();
    srv_.on_ctl(DVSD_IOCTL_HASH_MAX,
                [](const fake::request&) { return fake::reply().bin("data", "7ff"); });
    srv_.on_ctl(DVSD_IOCTL_PACK, [](const fake::request& r) {
        if (r.code == SD_REQ_IOCTL)
            return fake::reply().bin("data", "1\t2\t3\t4\t5\t6\t7\t8\t9\t10\t11");
        return fake::reply();
    });
    dvsd_times t{10, 1, 20, 2, 30, 3};
    ASSERT_EQ(dvsd_cli_set_times2(ctx_, "/p", &t), 0);
    ASSERT_EQ(dvsd_cli_mkdirs(ctx_, "/a/b"), 0);
    ASSERT_EQ(dvsd_cli_remove2(ctx_, "/x", -1), 0);
    ASSERT_EQ(dvsd_cli_hash_init(f, 2000, 3, 4, "md5", nullptr, 0), 0);
    EXPECT_EQ(dvsd_cli_hash_max(ctx_), 0x7ff);
    uint64_t counters[11];
    ASSERT_EQ(dvsd_cli_get_counters(ctx_, "all", counters), 0);
    EXPECT_EQ(counters[0], 1u);
    EXPECT_EQ(counters[10], 11u);
    uint32_t size = 64;
    char out[64];
    ASSERT_EQ(dvsd_cli_smart_test(ctx_, "/dev/sda", "short", out, &size), 0);
    ASSERT_EQ(dvsd_cli_hash_get2(ctx_, nullptr, 0), 0);
    std::vector<std::pair<int32_t, std::string>> got;
    for (const auto& r : srv_.requests()) got.emplace_back(r.cmd(), r.text());
    const std::vector<std::pair<int32_t, std::string>> want = {
        {10030, "/p\t10\t20\t30\t1\t2\t3"},    {10013, "/a/b"}, {10037, "/x\t-1"},
        {10103, "7\t2000\t3\t4\tmd5"},         {10110, ""},     {10001, "all"},
        {10100, "-t force -t short /dev/sda"},
    };
    EXPECT_EQ(got, want);
}

TEST_F(CliCtl, ShapeWrappersRefuseOtherCodesAndTabs) {
    connect();
    EXPECT_EQ(dvsd_cli_ctl_s(ctx_, 10014, "/p"), 0);
    EXPECT_EQ(dvsd_cli_ctl_sul(ctx_, 10021, "/p", 1, 2), 0);
    EXPECT_EQ(dvsd_cli_ctl_uu(ctx_, 10103, 5, 6), 0);
    const auto reqs = srv_.requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[1].text(), "/p\t1\t2");
    EXPECT_EQ(reqs[2].text(), "5\t6");
    srv_.clear();
    EXPECT_EQ(dvsd_cli_ctl_s(ctx_, 10021, "/p"), -1);
    EXPECT_EQ(dvsd_cli_get_error(ctx_), VERR_INVALID_PARAMETER);
    EXPECT_EQ(dvsd_cli_ctl_su(ctx_, 10018, "a\tb", 1), -1);
    EXPECT_EQ(dvsd_cli_ctl_out(ctx_, 10013, "x", nullptr, 0, nullptr), -1);
    EXPECT_TRUE(srv_.requests().empty());
}

TEST_F(CliCtl, InformationRequests) {
    connect();
    srv_.on(SD_REQ_STATFS, [](const fake::request& r) {
        EXPECT_EQ(r.at("path").str(), "/mnt");
        return fake::reply()
            .i32("flags", 1)
            .i32("name_len", 255)
            .i64("avail_bytes", 10)
            .i64("free_bytes", 20)
            .i64("total_bytes", 30)
            .str("fs_name", "ext4")
            .str("vol_name", "v");
    });
    srv_.on(SD_REQ_LSBLK,
            [](const fake::request&) { return fake::reply().str("lsblk", "sda 100G"); });
    dvsd_statfs fs;
    ASSERT_EQ(dvsd_cli_statfs(ctx_, "/mnt", &fs), 0);
    EXPECT_EQ(fs.total_bytes, 30u);
    EXPECT_STREQ(fs.fs_name, "ext4");
    char buf[4];
    ASSERT_EQ(dvsd_cli_lsblk(ctx_, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "sda");
    EXPECT_EQ(srv_.requests(SD_REQ_LSBLK)[0].at("param").str(), "");
}

}  // namespace
