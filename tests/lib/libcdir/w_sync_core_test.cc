// The sync core never deletes on the strength of an incomplete source listing.
#include "libcdir/w_sync_core.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <filesystem>
#include <string>

#include "lib/test_support/temp_dir.h"
#include "libcdir/v_rdir.h"
#include "libcdir/work.h"
#include "libpal/os_root.h"

namespace fs = std::filesystem;

namespace {

using dvtest::write_file;

// A listing endpoint that serves canned blocks.
struct canned_rdir final : vrdir {
    std::deque<std::string> blocks;
    int enum_dir(const char*) override { return 0; }
    int read_some(char* buf, int len) override {
        if (blocks.empty()) return -1;
        std::string b = blocks.front();
        blocks.pop_front();
        if (static_cast<int>(b.size()) > len) return -1;
        memcpy(buf, b.data(), b.size());
        return static_cast<int>(b.size());
    }
};

std::string line(const char* name, uint64_t size) {
    return std::string(name) + "\t\t2\t81a4\t80\t" + std::to_string(size) + "\t0\t0\t0\t0\t0\n";
}

class IncompleteListing : public ::testing::Test {
  protected:
    void SetUp() override {
        job_.job_type = LIBCDIR_JOB_SYNC;
        job_.cmp_mode = LIBCDIR_CMP_SYNC_DIFF_SIZE_DATE;
        job_.route = CDIR_ROUTE_LL;
        job_.read_timeout_ms = 1000;
        job_.max_mfile_size = 4096;
        job_.list_buf.reset(new char[job_.max_mfile_size + 1]);
        job_.bs = 64 * 1024;
        job_.trans_buf.reset(new char[job_.bs + 1]);
        job_.src.root = tmp_.at("src");
        job_.dst.root = tmp_.at("dst");
        job_.has_dst = true;
        fs::create_directories(job_.src.root);
        fs::create_directories(job_.dst.root);
        job_.src.fs.reset(os_root_open(job_.src.root.c_str(), OS_ROOT_NO_SYMLINKS));
        job_.dst.fs.reset(os_root_open(job_.dst.root.c_str(), OS_ROOT_NO_SYMLINKS));
        ASSERT_TRUE(job_.src.fs && job_.dst.fs);
        job_.dst.endpoints.reset(cdir_endpoints_for(job_.dst.root.c_str()));
        rdir_.job = &job_;
        job_.irdir.reset(&rdir_);
    }
    void TearDown() override { (void)job_.irdir.release(); }

    dvtest::TempDir tmp_{"cdir_sync"};
    libcdir_ctx job_;
    canned_rdir rdir_;
};

TEST_F(IncompleteListing, FailureStatusOrLostEntriesMarkTheListing) {
    struct {
        const char* what;
        std::string files_end;
        bool incomplete;
    } cases[] = {
        {"complete", "\r0", false},
        {"directory could not be read", "\r-38", true},
        {"entry skipped by the lister", "\r-104", true},
    };
    for (const auto& c : cases) {
        job_.st = cdir_counters{};
        rdir_.blocks = {"F" + line("a", 1) + line("b", 2) + c.files_end, "D" + c.files_end};
        cdir_item_ptr item = rdir_read_stat(&job_, false, nullptr, nullptr);
        ASSERT_TRUE(item) << c.what;
        EXPECT_EQ(item->src_incomplete, c.incomplete) << c.what;
        EXPECT_EQ(item->src_files.items().size(), 2u) << c.what;
        EXPECT_EQ(job_.st.i_dir_fail_count, c.incomplete ? 1u : 0u) << c.what;
        EXPECT_TRUE(item->dst_exists) << c.what;  // the root
    }
}

TEST_F(IncompleteListing, FileWorkTransfersButDeletesNothing) {
    write_file(job_.src.root + "/listed", "new");
    write_file(job_.dst.root + "/listed", "old content");
    write_file(job_.dst.root + "/unlisted", "may still exist in the source");
    rdir_.blocks = {"F" + line("listed", 3) + "\r-38", "D\r-38"};
    cdir_item_ptr item = rdir_read_stat(&job_, false, nullptr, nullptr);
    ASSERT_TRUE(item);
    item->dst_files = cdir_set_ref::create();
    item->dst_dirs = cdir_set_ref::create();
    mstat_item e{};
    e.type = RDIR_TYPE_OTHER;
    e.size = 11;
    mstat_cp_alloc(item->dst_files.get(), &e, "listed", {});
    mstat_cp_alloc(item->dst_files.get(), &e, "unlisted", {});

    EXPECT_EQ(r_sync_file_list(&job_, *item, CDIR_ROUTE_LL, true), 0);
    EXPECT_TRUE(fs::exists(job_.dst.root + "/unlisted"));
    EXPECT_EQ(job_.st.sync_del_file_count, 0u);
    EXPECT_EQ(dvtest::read_file(job_.dst.root + "/listed"), "new");

    // The same directory listed completely: the orphan goes.
    item->src_incomplete = false;
    EXPECT_EQ(r_sync_file_list(&job_, *item, CDIR_ROUTE_LL, true), 0);
    EXPECT_FALSE(fs::exists(job_.dst.root + "/unlisted"));
    EXPECT_EQ(job_.st.sync_del_file_count, 1u);
}

TEST_F(IncompleteListing, DirectoryWithoutListedFilesKeepsItsDestinationFiles) {
    write_file(job_.dst.root + "/f", "x");
    cdir_item record;
    record.src_path = job_.src.root;
    record.dst_path = job_.dst.root;
    record.dst_files = cdir_set_ref::create();
    mstat_item e{};
    e.type = RDIR_TYPE_OTHER;
    mstat_cp_alloc(record.dst_files.get(), &e, "f", {});

    record.src_incomplete = true;
    EXPECT_EQ(cdir_sync_no_files(&job_, record), 0);
    EXPECT_TRUE(fs::exists(job_.dst.root + "/f"));

    record.src_incomplete = false;
    EXPECT_EQ(cdir_sync_no_files(&job_, record), 0);
    EXPECT_FALSE(fs::exists(job_.dst.root + "/f"));
    EXPECT_EQ(job_.st.sync_del_file_count, 1u);
}

TEST_F(IncompleteListing, MalformedLineStopsTheJob) {
    rdir_.blocks = {"Fonly\tthree\tfields\n\r0", "D\r0"};
    EXPECT_FALSE(rdir_read_stat(&job_, false, nullptr, nullptr));
    EXPECT_EQ(job_.error_stop.load(), 1u);
}

}  // namespace
