// Whole jobs of the engine on real trees in a temporary directory: open checks, copy, sync and
// list, with names that must reach the file system byte for byte.
#include "libcdir/libcdir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
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

void set_mtime(const std::string& path, int64_t mtime) {
    timespec t[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// Everything below `root`: relative path -> type, mode, mtime, content or link text.
std::map<std::string, std::string> snapshot(const std::string& root, bool with_dir_times = true) {
    std::map<std::string, std::string> out;
    for (auto& e : fs::recursive_directory_iterator(root)) {
        std::string rel = fs::relative(e.path(), root).string();
        struct stat st;
        lstat(e.path().c_str(), &st);
        std::string desc = std::to_string(st.st_mode) + " ";
        if (!S_ISDIR(st.st_mode) || with_dir_times) desc += std::to_string(st.st_mtim.tv_sec);
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
    job_result sync() { return run(LIBCDIR_JOB_SYNC, 0, dst_.c_str()); }

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

TEST_F(Job, SyncDeletesExactlyTheOrphanWithABackslash) {
    make_tricky_tree(src_);
    ASSERT_EQ(sync().status, 0);
    // The orphan "x\y" sits beside a directory "x" holding "y", which the source also has.
    write_file(src_ + "/x/y", "keep");
    write_file(dst_ + "/x/y", "keep");
    write_file(dst_ + "/x\\y", "orphan");
    job_result r = sync();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.st.sync_del_file_count, 1u);
    EXPECT_FALSE(fs::exists(dst_ + "/x\\y"));
    EXPECT_EQ(read_file(dst_ + "/x/y"), "keep");
    EXPECT_EQ(snapshot(dst_, false), snapshot(src_, false));
}

TEST_F(Job, CopyRecreatesTreeWithAttributesAndDirectoryTimes) {
    write_file(src_ + "/top", "top");
    write_file(src_ + "/d1/d2/deep", std::string(300000, 'z'));
    write_file(src_ + "/d1/empty", "");
    fs::create_directories(src_ + "/emptydir/inner");
    ASSERT_EQ(symlink("../top", (src_ + "/d1/rel").c_str()), 0);
    ASSERT_EQ(symlink("/nowhere/dangling", (src_ + "/abs").c_str()), 0);
    ASSERT_EQ(chmod((src_ + "/top").c_str(), 0600), 0);
    for (const char* p : {"/d1/d2/deep", "/d1/d2", "/d1", "/emptydir/inner", "/emptydir"}) {
        set_mtime(src_ + p, 1600000000);
    }
    job_result r = copy();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(snapshot(dst_), snapshot(src_));
    EXPECT_EQ(r.st.file_count, 5u);
    EXPECT_EQ(r.st.file_open_count, 5u);
    EXPECT_EQ(r.st.dir_count, 4u);
    EXPECT_EQ(r.st.total_write, 300003u);
}

TEST_F(Job, CopyNeverDeletesAndSyncKeepsOrphanDirectories) {
    write_file(src_ + "/keep", "k");
    write_file(dst_ + "/orphan", "o");
    write_file(dst_ + "/olddir/inside", "i");
    job_result r = copy();
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fs::exists(dst_ + "/orphan"));

    r = sync();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.st.sync_del_file_count, 1u);
    EXPECT_FALSE(fs::exists(dst_ + "/orphan"));
    EXPECT_EQ(read_file(dst_ + "/olddir/inside"), "i");
}

TEST_F(Job, SyncOfEmptySourceDirectoryRemovesFilesOnly) {
    fs::create_directories(src_ + "/d");
    write_file(dst_ + "/d/f1", "1");
    write_file(dst_ + "/d/f2", "2");
    write_file(dst_ + "/d/sub/f3", "3");
    job_result r = sync();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.st.sync_del_file_count, 2u);
    EXPECT_FALSE(fs::exists(dst_ + "/d/f1"));
    EXPECT_TRUE(fs::exists(dst_ + "/d/sub/f3"));
}

TEST_F(Job, SyncCreatesNoEmptyDirectoriesAndSkipsEqualFiles) {
    write_file(src_ + "/f", "content");
    set_mtime(src_ + "/f", 1600000000);
    fs::create_directories(src_ + "/empty/deeper");
    write_file(dst_ + "/f", "CONTENT");  // same size, time 2 s apart: equal
    set_mtime(dst_ + "/f", 1600000002);
    job_result r = sync();
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(fs::exists(dst_ + "/empty"));
    EXPECT_EQ(read_file(dst_ + "/f"), "CONTENT");
    EXPECT_EQ(r.st.file_open_count, 0u);

    set_mtime(dst_ + "/f", 1600000003);  // 3 s apart: transferred
    r = sync();
    EXPECT_EQ(read_file(dst_ + "/f"), "content");
    EXPECT_EQ(r.st.file_open_count, 1u);
}

TEST_F(Job, CopyModesThatKeepDestinationFiles) {
    write_file(src_ + "/old", "source");
    write_file(src_ + "/new", "source");
    set_mtime(src_ + "/old", 1500000000);
    write_file(dst_ + "/old", "newer destination");
    set_mtime(dst_ + "/old", 1700000000);

    job_result r = copy(LIBCDIR_CMP_NEWER);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(dst_ + "/old"), "newer destination");
    EXPECT_EQ(read_file(dst_ + "/new"), "source");

    write_file(dst_ + "/new", "changed at the destination");
    r = copy(LIBCDIR_CMP_NO_OVERWRITE);
    EXPECT_EQ(read_file(dst_ + "/new"), "changed at the destination");
    EXPECT_EQ(r.st.file_open_count, 0u);

    r = copy(LIBCDIR_CMP_OVERWRITE);
    EXPECT_EQ(read_file(dst_ + "/old"), "source");
    EXPECT_EQ(read_file(dst_ + "/new"), "source");
}

TEST_F(Job, ListWritesEveryPath) {
    write_file(src_ + "/f", "1");
    write_file(src_ + "/d/g", "22");
    fs::create_directories(src_ + "/d/e");
    ASSERT_EQ(symlink("f", (src_ + "/l").c_str()), 0);
    const std::string list = dir_ + "/list.txt";
    job_result r = run(LIBCDIR_JOB_LIST, 0, nullptr, list.c_str());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.st.file_count, 3u);
    EXPECT_EQ(r.st.file_total_size, 3u);
    EXPECT_EQ(r.st.dir_count, 2u);
    std::ifstream in(list);
    std::multiset<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.insert(line);
    std::multiset<std::string> expected = {src_ + "/f", src_ + "/l -> f", src_ + "/d/",
                                           src_ + "/d/g", src_ + "/d/e/"};
    EXPECT_EQ(lines, expected);
}

TEST_F(Job, FileUrlsAndUserTypedPathsAreLocal) {
    write_file(src_ + "/f", "x");
    libcdir_param param;
    libcdir_param_init(&param);
    const std::string i_url = "file://" + src_;
    const std::string o_url = "\"" + dst_ + "//\"";  // quoted, doubled slash
    param.i_url = i_url.c_str();
    param.o_url = o_url.c_str();
    libcdir_ctx* job = libcdir_open(&param);
    ASSERT_NE(job, nullptr) << err_info_str(&param.err);
    EXPECT_EQ(libcdir_wait_stop(job), 0);
    libcdir_close(job);
    EXPECT_EQ(read_file(dst_ + "/f"), "x");
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
