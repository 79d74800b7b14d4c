// The remote endpoints' connection set-up against a scripted server: the version gate. Whole
// transfers against the real dvsd are process tests.
#include "libcdir/v_remote.h"

#include <gtest/gtest.h>

#include <string>

#include "lib/libdvsd/cli_fake_server.h"
#include "libcdir/libcdir.h"

namespace {

class RemoteOpen : public ::testing::Test {
  protected:
    void SetUp() override { dvsd_cli_init(); }

    // Runs a job to its end (or its failed open); the exit status, or -100 when it did not open.
    int run(uint32_t job_type, const std::string& i_url, const std::string& o_url) {
        libcdir_param p;
        libcdir_param_init(&p);
        p.job_type = job_type;
        p.i_url = i_url.c_str();
        p.o_url = o_url.empty() ? nullptr : o_url.c_str();
        p.read_timeout_ms = 1000;
        libcdir_ctx* job = libcdir_open(&p);
        err_ = p.err;
        if (job == nullptr) return -100;
        int status = libcdir_wait_stop(job);
        libcdir_close(job);
        return status;
    }

    fake::server srv_;
    err_info err_{};
};

TEST_F(RemoteOpen, ServerOlderThanTheRoutesNeedIsRefusedBeforeAnyListing) {
    srv_.set_info("ver=[1.7.7]\nplat=[linux]\n");
    EXPECT_EQ(run(LIBCDIR_JOB_LIST, srv_.url(), ""), -100);
    EXPECT_STREQ(err_.msg, "not supported, please upgrade dvsd to the latest version");
    EXPECT_NE(libcdir_open_failure_status(&err_), 0);
    EXPECT_TRUE(srv_.controls(DVSD_IOCTL_RDIR_OPEN).empty());
}

}  // namespace
