// What the process tests of dvcp share: the binary under test, a fixture base that runs it, and
// the check of an exit status that prints the run when it fails.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "system/support/process.h"

namespace systest {

#ifdef DVCP_BIN
inline const char* const kDvcpBinary = DVCP_BIN;
#else
inline const char* const kDvcpBinary = nullptr;
#endif

inline constexpr uid_t kNobodyUid = 65534;
inline constexpr gid_t kNogroupGid = 65534;

inline bool running_as_root() {
    return ::geteuid() == 0;
}

#define EXPECT_EXIT_STATUS(result, status)                         \
    EXPECT_TRUE((result).exited && (result).exit_code == (status)) \
        << "expected exit status " << (status) << "\n"             \
        << (result).describe()

// A test that runs dvcp; skipped when the build has no dvcp.
class DvcpProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (kDvcpBinary == nullptr) GTEST_SKIP() << "dvcp is not part of this build";
    }

    RunResult dvcp(const std::vector<std::string>& args, RunOptions options = {}) const {
        std::vector<std::string> argv{kDvcpBinary};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv, options);
    }
};

}  // namespace systest
