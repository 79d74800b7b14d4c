// Whole jobs of the engine on real trees in a temporary directory: open checks, names that must
// reach the file system byte for byte, stops and block sizes. What a user sees of copy, sync and
// list (rules, orphans, listings) is tested on the program in tests/system/dvcp_local_test.cc.
#include "libcdir/libcdir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "lib/test_support/temp_dir.h"
#include "libcdir/comm.h"

namespace fs = std::filesystem;

namespace {

using dvtest::read_file;

void write_file(const std::string& path, const std::string& data) {
    fs::create_directories(fs::path(path).parent_path());
    dvtest::write_file(path, data);
}

// Everything below `root`: relative path -> type, mode, mtime, content or link text.
std::map<std::string, std::string> snapshot(const std::string& root) {
    std::map<std::string, std::string> out;
    for (auto& e : fs::recursive_directory_iterator(root)) {
        std::string rel = fs::relative(e.path(), root).string();
        struct stat st;
        lstat(e.path().c_str(), &st);
        std::string desc = std::to_string(st.st_mode) + " ";
        desc += std::to_string(st.st_mtim.tv_sec);
        if (S_ISLNK(st.st_mode)) {
            desc += " -> " + fs::read_symlink(e.path()).string();
        } else if (S_ISREG(st.st_mode)) {
            desc += " " + read_file(e.path());
        }
        out[rel] = desc;
    }
    return out;
}

struct job_result {
    libcdir_ctx* opened = nullptr;
    int status = -1;
    cdir_counters st;
    err_info err{};
};

class Job : public ::testing::Test {
  protected:
    void SetUp() override { fs::create_directories(src_); }

    job_result run(uint32_t job_type, uint32_t cmp_mode, const char* o_url,
                   const char* olist = nullptr, uint32_t bs = LIBCDIR_BS_DEFAULT,
                   bool stop_at_once = false) {
        libcdir_param param;
        libcdir_param_init(&param);
        param.i_url = src_.c_str();
        param.o_url = o_url;
        param.job_type = job_type;
        param.cmp_mode = cmp_mode;
        param.olist = olist;
        param.bs = bs;
        job_result r;
        libcdir_ctx* job = libcdir_open(&param);
        r.opened = job;
        if (job != nullptr) {
            if (stop_at_once) libcdir_req_stop(job);
            r.status = libcdir_wait_stop(job);
            r.st = job->st;
            libcdir_close(job);
        }
        r.err = param.err;
        return r;
    }
    job_result copy(uint32_t cmp_mode = 0) { return run(LIBCDIR_JOB_COPY, cmp_mode, dst_.c_str()); }

    dvtest::TempDir tmp_{"cdir_job"};
    std::string dir_ = tmp_.path(), src_ = tmp_.at("src"), dst_ = tmp_.at("dst");
};

TEST_F(Job, OpenRefusesUnusableParameters) {
    write_file(dir_ + "/plain", "x");
    fs::create_directories(src_ + "/inner");
    ASSERT_EQ(symlink("src", (dir_ + "/alias").c_str()), 0);
    const std::string src_slash = src_ + "/";
    const std::string inside = src_ + "/inner/new";
    const std::string alias = dir_ + "/alias";
    const std::string plain = dir_ + "/plain";
    struct {
        const char* what;
        uint32_t job_type;
        const char* o_url;
        uint32_t bs;
        verr code;
    } cases[] = {
        {"copy without destination", LIBCDIR_JOB_COPY, nullptr, LIBCDIR_BS_DEFAULT,
         VERR_INVALID_PARAMETER},
        {"same text", LIBCDIR_JOB_SYNC, src_.c_str(), LIBCDIR_BS_DEFAULT, VERR_INVALID_PARAMETER},
        {"same directory, other text", LIBCDIR_JOB_COPY, src_slash.c_str(), LIBCDIR_BS_DEFAULT,
         VERR_INVALID_PARAMETER},
        {"same directory through a link", LIBCDIR_JOB_SYNC, alias.c_str(), LIBCDIR_BS_DEFAULT,
         VERR_INVALID_PARAMETER},
        {"destination inside the source", LIBCDIR_JOB_COPY, inside.c_str(), LIBCDIR_BS_DEFAULT,
         VERR_INVALID_PARAMETER},
        {"bs 0", LIBCDIR_JOB_COPY, dst_.c_str(), 0, VERR_OUT_OF_RANGE},
        {"bs below 64k", LIBCDIR_JOB_COPY, dst_.c_str(), 65535, VERR_OUT_OF_RANGE},
        {"bs above 256M", LIBCDIR_JOB_COPY, dst_.c_str(), LIBCDIR_BS_MAX + 1, VERR_OUT_OF_RANGE},
        {"url of another scheme", LIBCDIR_JOB_COPY, "ftp://127.0.0.1/x", LIBCDIR_BS_DEFAULT,
         VERR_NOT_SUPPORTED},
        {"server that does not listen", LIBCDIR_JOB_COPY, "dvp://127.0.0.1:1/x", LIBCDIR_BS_DEFAULT,
         VERR_NET_CONNECTION_REFUSED},
        {"server url without a host", LIBCDIR_JOB_COPY, "dvp:///x", LIBCDIR_BS_DEFAULT,
         VERR_INVALID_PARAMETER},
        {"session reference without a client profile", LIBCDIR_JOB_SYNC, "///mysession/x",
         LIBCDIR_BS_DEFAULT, VERR_INVALID_PARAMETER},
        {"destination is a file", LIBCDIR_JOB_COPY, plain.c_str(), LIBCDIR_BS_DEFAULT,
         VERR_GENERAL_FAILURE},
    };
    for (const auto& c : cases) {
        job_result r = run(c.job_type, 0, c.o_url, nullptr, c.bs);
        EXPECT_EQ(r.opened, nullptr) << c.what;
        EXPECT_EQ(r.err.code, c.code) << c.what;
        EXPECT_NE(libcdir_open_failure_status(&r.err), 0) << c.what;
    }
    EXPECT_FALSE(fs::exists(inside));
}

TEST_F(Job, MissingSourceFailsWithItsStatus) {
    fs::remove_all(src_);
    job_result r = run(LIBCDIR_JOB_LIST, 0, nullptr);
    EXPECT_EQ(r.opened, nullptr);
    EXPECT_EQ(r.err.code, VERR_FILE_NOT_FOUND);
    EXPECT_EQ(libcdir_open_failure_status(&r.err), 2);
}

TEST_F(Job, SmallBlockSizeLowersTheBatchSize) {
    struct {
        uint32_t bs;
        uint32_t max_mfile_size;
    } cases[] = {{1024 * 1024, 512 * 1024}, {512 * 1024, 256 * 1024}, {64 * 1024, 32 * 1024}};
    for (const auto& c : cases) {
        libcdir_param param;
        libcdir_param_init(&param);
        param.i_url = src_.c_str();
        param.job_type = LIBCDIR_JOB_LIST;
        param.bs = c.bs;
        libcdir_ctx* job = libcdir_open(&param);
        ASSERT_NE(job, nullptr);
        EXPECT_EQ(param.imfile_param.max_mfile_size, c.max_mfile_size) << c.bs;
        EXPECT_EQ(libcdir_wait_stop(job), 0);
        libcdir_close(job);
    }
}

// A tree whose names only survive when every path is joined byte for byte.
void make_tricky_tree(const std::string& src) {
    write_file(src + "/a\\b", "backslash file");
    write_file(src + "/a/b", "nested file");
    write_file(src + "/ lead", "leading blank");
    write_file(src + "/trail ", "trailing blank");
    write_file(src + "/q\"uote'", "quotes");
    write_file(src + "/file:", "colon");
    write_file(src + "/sub\\dir/x", "in a directory with a backslash");
}

TEST_F(Job, CopyKeepsEveryNameByteForByte) {
    make_tricky_tree(src_);
    job_result r = copy();
    ASSERT_NE(r.opened, nullptr);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(snapshot(dst_), snapshot(src_));
    EXPECT_EQ(r.st.file_open_count, 7u);
}

TEST_F(Job, ListOutputThatCannotBeWrittenFailsTheRun) {
    for (int i = 0; i < 100; ++i) write_file(src_ + "/file" + std::to_string(i), "x");
    job_result r = run(LIBCDIR_JOB_LIST, 0, nullptr, "/dev/full");
    ASSERT_NE(r.opened, nullptr);
    EXPECT_EQ(r.status, 4);  // disk full
    EXPECT_EQ(r.st.file_count, 100u);
}

TEST_F(Job, StopBeforeAnyWorkEndsWithSix) {
    for (int i = 0; i < 50; ++i) write_file(src_ + "/d" + std::to_string(i) + "/f", "x");
    job_result r = run(LIBCDIR_JOB_COPY, 0, dst_.c_str(), nullptr, LIBCDIR_BS_DEFAULT, true);
    ASSERT_NE(r.opened, nullptr);
    EXPECT_EQ(r.status, 6);
    EXPECT_LT(r.st.file_open_count, 50u);
}

TEST_F(Job, BlockSizeOf64kCopiesLargeFiles) {
    std::string big(1024 * 1024 + 3, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    write_file(src_ + "/big", big);
    job_result r = run(LIBCDIR_JOB_COPY, 0, dst_.c_str(), nullptr, 64 * 1024);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(dst_ + "/big"), big);
    EXPECT_EQ(r.st.total_read, big.size());
}

}  // namespace
