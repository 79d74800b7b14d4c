#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/libdvsd/cli_fake_server.h"
#include "libdvsd/cli_internal.h"
#include "libdvsd/dvsd_cli.h"

namespace {

using fake::Bytes;

class CliDir : public ::testing::Test {
  protected:
    void SetUp() override { dvsd_cli_init(); }
    void TearDown() override { dvsd_cli_exit(ctx_); }

    void connect(const char* ver = "1.7.8", const std::string& query = "") {
        srv_.set_info(std::string("ver=[") + ver + "]\n");
        ctx_ = dvsd_cli_connect(srv_.url(query).c_str(), &err_);
        ASSERT_NE(ctx_, nullptr) << err_info_str(&err_);
        dir_ = dvsd_cli_opendir(ctx_, "/d", nullptr);
        ASSERT_NE(dir_, nullptr);
        srv_.clear();
    }
    // Answers the batch requests with `batches` in turn (packed), then with an empty line.
    void serve_batches(std::vector<std::string> batches) {
        auto next = std::make_shared<size_t>(0);
        auto handler = [this, batches, next](const fake::request&) {
            const std::string text =
                *next < batches.size() ? batches[(*next)++] : std::string("\n");
            const Bytes raw(text.begin(), text.end());
            return fake::reply().i32("len", raw.size()).bin("data", srv_.pack(raw));
        };
        srv_.on(SD_REQ_READDIR, handler);
        srv_.on(SD_REQ_READDIR_EX, handler);
    }
    std::vector<std::string> names() {
        std::vector<std::string> out;
        while (dvsd_dirent* e = dvsd_cli_readdir(dir_)) out.push_back(e->name);
        return out;
    }

    fake::server srv_;
    err_info err_{};
    dvsd_cli_ctx* ctx_ = nullptr;
    dvsd_cli_dir* dir_ = nullptr;
};

const std::string kExtLine =
    "1\t420\t10\t20\t100\t200\t300\t4096\t1\t2\t3\t4\t5\t6\t7\t8\t9\tinfo\tname\n";

TEST_F(CliDir, ExtendedEntryIsParsedFieldByField) {
    connect();
    serve_batches({kExtLine + "\n" + std::string(1, '\0')});
    dvsd_dirent* e = dvsd_cli_readdir(dir_);
    ASSERT_NE(e, nullptr) << dvsd_cli_get_error_str(ctx_);
    EXPECT_EQ(e->st.type, 1u);
    EXPECT_EQ(e->st.attrib_mode, 420u);
    EXPECT_EQ(e->st.time_access, 100u);
    EXPECT_EQ(e->st.time_create, 300u);
    EXPECT_EQ(e->st.len, 4096u);
    EXPECT_EQ(e->st.time_create_ns, 3u);
    EXPECT_EQ(e->st.st_nlink, 4u);
    EXPECT_EQ(e->st.st_blocks, 9u);
    EXPECT_STREQ(e->info, "info");
    EXPECT_STREQ(e->name, "name");
    EXPECT_EQ(dvsd_cli_telldir(dir_), 1u);
    EXPECT_EQ(dvsd_cli_readdir(dir_), nullptr);
    EXPECT_EQ(dvsd_cli_get_error(ctx_), 0);
    const auto reqs = srv_.requests(SD_REQ_READDIR_EX);
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].at("len").u32(), 1u << 20);
    EXPECT_EQ(reqs[0].at("fd").u64(), 7u);
}

TEST_F(CliDir, BaseSetOnOlderServersWithPackedBatches) {
    connect("1.5.2", "pack=lz4&rdir-size=64k");
    serve_batches({"2\t493\t0\t0\t1\t2\t3\t0\t\tsub dir\n1\t420\t0\t0\t1\t2\t3\t77\tx\tfile\n\n"});
    dvsd_dirent* e = dvsd_cli_readdir(dir_);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->name, "sub dir");
    EXPECT_STREQ(e->info, "");
    e = dvsd_cli_readdir(dir_);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->st.len, 77u);
    EXPECT_EQ(e->st.time_write_ns, 0u);
    EXPECT_EQ(dvsd_cli_readdir(dir_), nullptr);
    EXPECT_EQ(srv_.requests(SD_REQ_READDIR).size(), 1u);
    EXPECT_EQ(srv_.requests(SD_REQ_READDIR)[0].at("len").u32(), 64u << 10);
}

TEST_F(CliDir, BatchBoundaries) {
    struct {
        const char* name;
        std::vector<std::string> batches;
        std::vector<std::string> want;
        size_t fetches;
    } cases[] = {
        {"a single empty line ends the listing", {"\n"}, {}, 1},
        {"a batch ending at its zero fetches the next",
         {kExtLine + std::string(1, '\0'), kExtLine + "\n"},
         {"name", "name"},
         2},
        {"a batch ending at its length fetches the next", {kExtLine, "\n"}, {"name"}, 2},
    };
    for (const auto& c : cases) {
        connect();
        serve_batches(c.batches);
        EXPECT_EQ(names(), c.want) << c.name;
        EXPECT_EQ(dvsd_cli_get_error(ctx_), 0) << c.name;
        EXPECT_EQ(srv_.requests(SD_REQ_READDIR_EX).size(), c.fetches) << c.name;
        // Exhausted: another read fetches nothing.
        EXPECT_EQ(dvsd_cli_readdir(dir_), nullptr) << c.name;
        EXPECT_EQ(srv_.requests(SD_REQ_READDIR_EX).size(), c.fetches) << c.name;
        dvsd_cli_exit(ctx_);
        ctx_ = nullptr;
    }
}

TEST_F(CliDir, SeekdirRestartsWithANewBatch) {
    connect();
    serve_batches({kExtLine + "\n", kExtLine + "\n"});
    EXPECT_EQ(names().size(), 1u);
    ASSERT_EQ(dvsd_cli_seekdir(dir_, 0), 0);
    const auto seeks = srv_.controls(DVSD_IOCTL_SEEKDIR);
    ASSERT_EQ(seeks.size(), 1u);
    EXPECT_EQ(seeks[0].code, SD_REQ_IOCTL);
    EXPECT_EQ(seeks[0].at("data").value, (Bytes{'0', 0}));
    EXPECT_EQ(dvsd_cli_telldir(dir_), 0u);
    EXPECT_EQ(names().size(), 1u);
    EXPECT_EQ(srv_.requests(SD_REQ_READDIR_EX).size(), 2u);
}

TEST_F(CliDir, MalformedBatchesAreDataErrors) {
    struct {
        const char* name;
        std::string batch;
        verr want;
    } cases[] = {
        {"no line feed", "1\t2\t3", VERR_NET_PROTOCOL_ERROR},
        {"too few numbers", "1\t2\tinfo\tname\n", VERR_NET_PROTOCOL_ERROR},
        {"one text only", "1\t420\t10\t20\t100\t200\t300\t4096\t1\t2\t3\t4\t5\t6\t7\t8\t9\n",
         VERR_NET_PROTOCOL_ERROR},
    };
    for (const auto& c : cases) {
        connect();
        serve_batches({c.batch});
        EXPECT_EQ(dvsd_cli_readdir(dir_), nullptr) << c.name;
        EXPECT_EQ(dvsd_cli_get_error(ctx_), c.want) << c.name;
        dvsd_cli_exit(ctx_);
        ctx_ = nullptr;
    }
}

TEST_F(CliDir, FailedBatchFetchLeavesTheConnectionWithoutASocket) {
    connect();
    srv_.on(SD_REQ_READDIR_EX, [](const fake::request&) {
        return fake::reply().i32("len", 100).bin("data", "short");
    });
    EXPECT_EQ(dvsd_cli_readdir(dir_), nullptr);
    // Data that does not unpack to what it states breaks the protocol.
    EXPECT_STREQ(dvsd_cli_get_error_str(ctx_), "read data content error");
    EXPECT_EQ(dvsd_cli_get_error(ctx_), VERR_NET_PROTOCOL_ERROR);
    EXPECT_EQ(ctx_->net.sock, 0);
    // Closing needs no traffic now.
    EXPECT_EQ(dvsd_cli_closedir(dir_), 0);
    EXPECT_TRUE(ctx_->dirs.empty());
}

// ---- server-side lister and worker
// ---------------------------------------------------------------

TEST_F(CliDir, ListerAndWorkerTexts) {
    connect();
    srv_.on_ctl(DVSD_IOCTL_RDIR_READ, [](const fake::request& r) {
        EXPECT_EQ(r.at("olen").u32(), 8u);
        return fake::reply().bin("data", "F\tline-longer-than-8\n");
    });
    ASSERT_EQ(dvsd_cli_rdir_open(ctx_, "/root", 0x1f, 3000), 0);
    ASSERT_EQ(dvsd_cli_rdir_enum(ctx_, "/root/sub"), 0);
    char buf[8];
    EXPECT_EQ(dvsd_cli_rdir_read(ctx_, buf, sizeof buf), 8);
    EXPECT_EQ(std::string(buf, 8), "F\tline-l");
    ASSERT_EQ(dvsd_cli_rdir_close(ctx_), 0);
    ASSERT_EQ(dvsd_cli_mfile_open(ctx_, 1 << 20, 5000), 0);
    ASSERT_EQ(dvsd_cli_mfile_cmd(ctx_, DVSD_IOCTL_MFILE_WRITE, "/base", "list"), 0);
    ASSERT_EQ(dvsd_cli_mfile_cmd(ctx_, DVSD_IOCTL_MFILE_READ, nullptr, "only list"), 0);
    ASSERT_EQ(dvsd_cli_mfile_cmd(ctx_, DVSD_IOCTL_MFILE_MKDIR, "/base", nullptr), 0);
    ASSERT_EQ(dvsd_cli_mfile_cmd(ctx_, DVSD_IOCTL_MFILE_EMPTY, "/base", ""), 0);
    ASSERT_EQ(dvsd_cli_mfile_close(ctx_), 0);
    std::vector<std::pair<int32_t, std::string>> got;
    for (const auto& r : srv_.requests()) {
        EXPECT_EQ(r.code, SD_REQ_IOCTL);
        got.emplace_back(r.cmd(), r.text());
    }
    const std::vector<std::pair<int32_t, std::string>> want = {
        {10120, "/root\t1f\t3000"},
        {10122, "/root/sub"},
        {10123, ""},
        {10121, ""},
        {10130, "1048576\t5000"},
        {10135, "/base\tlist"},
        {10133, "\tonly list"},
        {10134, "/base"},
        {10138, "/base\t"},
        {10131, ""},
    };
    EXPECT_EQ(got, want);
    srv_.clear();
    EXPECT_EQ(dvsd_cli_mfile_cmd(ctx_, 10137, "/base", "x"), -1);
    EXPECT_EQ(dvsd_cli_get_error(ctx_), VERR_INVALID_PARAMETER);
    EXPECT_TRUE(srv_.requests().empty());
}

TEST_F(CliDir, SetStatTexts) {
    connect();
    dvsd_cli_file* f = dvsd_cli_open(ctx_, "/f", 0);
    ASSERT_NE(f, nullptr);
    dvsd_attr a;
    a.type = 1;
    a.mode = 0644;
    a.attr = 0x20;
    a.ctime = 0x10;
    a.mtime = 0x20;
    a.atime = 0x30;
    a.uid = 1000;
    a.gid = 100;
    ASSERT_EQ(dvsd_cli_set_stat(ctx_, "/p", &a), 0);
    ASSERT_EQ(dvsd_cli_fset_stat(f, &a), 0);
    const auto set = srv_.controls(DVSD_IOCTL_SET_STAT);
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set[0].code, SD_REQ_FILE_IOCTL);
    EXPECT_EQ(set[0].text(), "/p\t1\t1a4\t20\t10\t20\t30\t1000\t100");
    EXPECT_EQ(set[0].at("fd").u64(), 0u);
    const auto fset = srv_.controls(DVSD_IOCTL_FSET_STAT);
    ASSERT_EQ(fset.size(), 1u);
    EXPECT_EQ(fset[0].text(), "1\t1a4\t20\t10\t20\t30\t1000\t100");
    EXPECT_EQ(fset[0].at("fd").u64(), 7u);
    EXPECT_EQ(fset[0].at("len").u32(), fset[0].at("data").value.size());
}

}  // namespace
