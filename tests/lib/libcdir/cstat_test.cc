// Failure classes, stop decisions, exit statuses and the run report.
#include "libcdir/cstat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "libcdir/comm.h"
#include "libnet/sock_cli.h"

namespace {

struct class_case {
    verr code;
    int cls;
    bool stops;
};

class FailureClass : public ::testing::TestWithParam<class_case> {};

TEST_P(FailureClass, CodeMapsToClassAndStopDecision) {
    const class_case& c = GetParam();
    EXPECT_EQ(libcdir_verr_2_eno(c.code), c.cls);
    libcdir_ctx job;
    int ret = cdir_verr_check(&job, c.code);
    EXPECT_EQ(job.error_stop.load() != 0, c.stops);
    EXPECT_EQ(ret != 0, c.stops);
    EXPECT_EQ(job.last_verr.load(), c.code);
    EXPECT_EQ(job.last_class.load(), c.cls);
    EXPECT_EQ(cdir_need_exit(&job), c.stops ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FailureClass,
    ::testing::Values(
        class_case{VERR_FILE_NOT_FOUND, -2, false}, class_case{VERR_PATH_NOT_FOUND, -2, false},
        class_case{VERR_ACCESS_DENIED, -2, false}, class_case{VERR_SHARING_VIOLATION, -2, false},
        class_case{VERR_WRITE_PROTECT, -3, true}, class_case{VERR_DISK_FULL, -4, true},
        class_case{VERR_DEV_NO_SUCH_DEVICE, -5, true}, class_case{VERR_DEV_NOT_READY, -5, true},
        class_case{VERR_TIMEOUT, -7, true}, class_case{VERR_GENERAL_FAILURE, -1, true},
        class_case{VERR_INVALID_PARAMETER, 0, false}, class_case{VERR_NOT_SUPPORTED, 0, false},
        class_case{-156, 0, false}));

TEST(FailureClassCheck, LostConnectionStopsAsATimeOut) {
    // Every later request on a broken connection fails the same way: the job stops (exit 7)
    // instead of walking on, counting each file as failed.
    for (verr code : {VERR_NET_CONNECTION_RESET, VERR_NET_NOT_CONNECTED, VERR_NET_IO_ERROR,
                      VERR_NET_PROTOCOL_ERROR, VERR_BROKEN_PIPE}) {
        libcdir_ctx job;
        EXPECT_EQ(libcdir_verr_2_eno(code), 0) << code;
        EXPECT_NE(cdir_verr_check(&job, code), 0) << code;
        EXPECT_EQ(job.last_class.load(), -7) << code;
        EXPECT_EQ(job.last_verr.load(), code) << code;
        EXPECT_EQ(cdir_need_exit(&job), 1) << code;
    }
}

TEST(FailureClassCheck, SuccessIsNotRecorded) {
    libcdir_ctx job;
    EXPECT_EQ(cdir_verr_check(&job, 0), 0);
    EXPECT_EQ(job.last_verr.load(), 0);
    EXPECT_EQ(job.error_stop.load(), 0u);
}

// How a run ended: the counters it left, the failure codes it recorded, whether it was asked
// to stop, and the exit status that gives.
struct status_case {
    const char* name;
    uint64_t cdir_counters::*counter;  // set to 2, or none
    std::vector<verr> failures;        // recorded in this order
    bool stop_request;
    int status;
};

void PrintTo(const status_case& c, std::ostream* os) {
    *os << c.name;
}

class ExitStatus : public ::testing::TestWithParam<status_case> {};

TEST_P(ExitStatus, FromCountersFailuresAndStop) {
    const status_case& c = GetParam();
    libcdir_ctx job;
    if (c.counter != nullptr) job.st.*c.counter = 2;
    for (verr code : c.failures) cdir_verr_check(&job, code);
    if (c.stop_request) libcdir_req_stop(&job);
    EXPECT_EQ(cdir_report_and_status(&job), c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExitStatus,
    ::testing::Values(
        status_case{"Clean", nullptr, {}, false, 0},
        // A recorded failure that does not stop the job and left no counted file behind.
        status_case{"NotFoundWithoutCountedFailure", nullptr, {VERR_FILE_NOT_FOUND}, false, 0},
        status_case{"SourceFileFailed", &cdir_counters::i_file_fail_count, {}, false, 8},
        status_case{"DestinationFileFailed", &cdir_counters::o_file_fail_count, {}, false, 8},
        status_case{"SourceDirectoryFailed", &cdir_counters::i_dir_fail_count, {}, false, 8},
        status_case{"OrphanNotDeleted", &cdir_counters::sync_del_file_fail_count, {}, false, 8},
        status_case{
            "AccessDeniedFile", &cdir_counters::i_file_fail_count, {VERR_ACCESS_DENIED}, false, 8},
        status_case{"DestinationListingOnly", &cdir_counters::o_dir_fail_count, {}, false, 0},
        status_case{"DeletionsAreNotFailures", &cdir_counters::sync_del_file_count, {}, false, 0},
        // A stop says more than a count of failed files.
        status_case{"StopBeatsFailedFiles", &cdir_counters::i_file_fail_count, {}, true, 6},
        status_case{"StopAfterDiskFull", nullptr, {VERR_DISK_FULL}, true, 6},
        status_case{"StoppingClassBeatsFailedFiles",
                    &cdir_counters::o_file_fail_count,
                    {VERR_DISK_FULL},
                    false,
                    4},
        // A failure without a class recorded after the stop must not turn the run into success.
        status_case{"StoppingClassNotHiddenByLaterFailure",
                    nullptr,
                    {VERR_DISK_FULL, VERR_INVALID_PARAMETER},
                    false,
                    4},
        status_case{"TimeoutGivesSeven", nullptr, {VERR_TIMEOUT}, false, 7},
        status_case{"GeneralFailureGivesOne",
                    &cdir_counters::i_dir_fail_count,
                    {VERR_GENERAL_FAILURE},
                    false,
                    1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExitStatusRecord, FailedRunKeepsItsStatusAsTheLastClass) {
    libcdir_ctx job;
    job.st.sync_del_file_fail_count = 1;
    EXPECT_EQ(cdir_report_and_status(&job), 8);
    EXPECT_EQ(job.last_class.load(), -8);
}

TEST(OpenFailureStatus, NeverZero) {
    struct {
        verr code;
        int status;
    } cases[] = {{VERR_SUCCESS, 1},
                 {VERR_INVALID_PARAMETER, 1},
                 {VERR_NOT_SUPPORTED, 1},
                 {VERR_ACCESS_DENIED, 2},
                 {VERR_GENERAL_FAILURE, 1},
                 {VERR_DISK_FULL, 4},
                 {VERR_TIMEOUT, 7},
                 {VERR_NET_PROTOCOL_ERROR, 1},
                 // A stop that ended the open is the run's stop.
                 {VERR_NET_USER_STOP, 6}};
    for (const auto& c : cases) {
        err_info err{};
        err.code = c.code;
        EXPECT_EQ(libcdir_open_failure_status(&err), c.status) << c.code;
    }
    EXPECT_EQ(libcdir_open_failure_status(nullptr), 1);
}

TEST(Elapsed, ZeroBecomesOneMillisecond) {
    EXPECT_DOUBLE_EQ(cdir_elapsed_seconds(5000, 5000), 0.001);
    EXPECT_DOUBLE_EQ(cdir_elapsed_seconds(5000, 7500), 2.5);
}

cdir_counters sample_counters() {
    cdir_counters st;
    st.file_total_size = 1536;
    st.file_count = 12;
    st.dir_count = 3;
    st.file_open_count = 10;
    st.i_file_fail_count = 1;
    st.i_dir_fail_count = 2;
    st.o_file_fail_count = 4;
    st.o_dir_fail_count = 5;
    st.sync_del_file_count = 6;
    st.sync_del_file_fail_count = 7;
    st.total_read = 2048;
    st.total_write = 1048576;
    return st;
}

TEST(Report, CopyJobLines) {
    std::vector<std::string> expected = {
        "file_total_size=1536 (1.5K)\n", "file_count=12\n",       "dir_count=3\n",
        "file_open_count=10\n",          "i_file_fail_count=1\n", "i_dir_fail_count=2\n",
        "o_file_fail_count=4\n",         "o_dir_fail_count=5\n",  "total_read=2048 (2.0K)\n",
        "total_write=1048576 (1.0M)\n",  "trans_rate=512.0K\n",   "file_rate=5.00\n",
        "total_time=00:02.000\n"};
    EXPECT_EQ(cdir_report_lines(sample_counters(), LIBCDIR_JOB_COPY, 2.0), expected);
}

TEST(Report, SyncJobLinesHaveDeletionsAndNoRates) {
    std::vector<std::string> expected = {
        "file_total_size=1536 (1.5K)\n", "file_count=12\n",          "dir_count=3\n",
        "file_open_count=10\n",          "i_file_fail_count=1\n",    "i_dir_fail_count=2\n",
        "o_file_fail_count=4\n",         "o_dir_fail_count=5\n",     "sync_del_file_count=6\n",
        "sync_del_file_fail_count=7\n",  "total_read=2048 (2.0K)\n", "total_write=1048576 (1.0M)\n",
        "total_time=01:02:05.500\n"};
    EXPECT_EQ(cdir_report_lines(sample_counters(), LIBCDIR_JOB_SYNC, 3725.5), expected);
}

TEST(Report, ListJobHasSixCountersAndTime) {
    std::vector<std::string> expected = {
        "file_total_size=1536 (1.5K)\n", "file_count=12\n",       "dir_count=3\n",
        "file_open_count=10\n",          "i_file_fail_count=1\n", "i_dir_fail_count=2\n",
        "total_time=00:00.001\n"};
    EXPECT_EQ(cdir_report_lines(sample_counters(), LIBCDIR_JOB_LIST, 0.001), expected);
}

TEST(Report, RatesAgainstOneMillisecond) {
    cdir_counters st;
    st.total_write = 1024;
    st.file_open_count = 1;
    std::vector<std::string> lines = cdir_report_lines(st, LIBCDIR_JOB_COPY, 0.001);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], "trans_rate=1000.0K\n");
    EXPECT_EQ(lines[lines.size() - 2], "file_rate=1000.00\n");
}

struct people_size_case {
    uint64_t bytes;
    const char* text;
};
void PrintTo(const people_size_case& c, std::ostream* os) {
    *os << c.bytes << " -> " << c.text;
}

class SizeForPeople : public ::testing::TestWithParam<people_size_case> {};

TEST_P(SizeForPeople, BinaryUnitsThreeDigits) {
    EXPECT_EQ(cdir_size_for_people(GetParam().bytes), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Table, SizeForPeople,
                         ::testing::Values(people_size_case{0, "0 B"},
                                           people_size_case{1023, "1023 B"},
                                           people_size_case{1024, "1.00 KiB"},
                                           people_size_case{1536, "1.50 KiB"},
                                           people_size_case{10 * 1024 + 512, "10.5 KiB"},
                                           people_size_case{1023 * 1024, "1.00 MiB"},
                                           people_size_case{123ull << 20, "123 MiB"},
                                           people_size_case{5ull << 30, "5.00 GiB"},
                                           people_size_case{UINT64_MAX, "16.0 EiB"}));

TEST(DurationForPeople, SecondsThenMinutesThenHours) {
    EXPECT_EQ(cdir_duration_for_people(0.001), "0.00 s");
    EXPECT_EQ(cdir_duration_for_people(2.345), "2.35 s");
    EXPECT_EQ(cdir_duration_for_people(42.06), "42.1 s");
    EXPECT_EQ(cdir_duration_for_people(125.4), "2m05s");
    EXPECT_EQ(cdir_duration_for_people(3725.5), "1h02m06s");
    EXPECT_EQ(cdir_duration_for_people(-1.0), "0.00 s");
}

TEST(Summary, CopyAndSyncCountFilesDeletionsFailuresBytesAndRate) {
    // Failed: 1 unreadable + 4 unwritable + 7 undeletable files; 2 directories on their own.
    EXPECT_EQ(cdir_summary_line(sample_counters(), LIBCDIR_JOB_SYNC, false, 2.0),
              "10 files copied, 6 deleted, 12 failed (and 2 directories), 1.00 MiB written at "
              "512 KiB/s, in 2.00 s\n");
    cdir_counters clean;
    clean.file_open_count = 3;
    clean.total_write = 3 << 20;
    EXPECT_EQ(cdir_summary_line(clean, LIBCDIR_JOB_COPY, false, 0.5),
              "3 files copied, 0 deleted, 0 failed, 3.00 MiB written at 6.00 MiB/s, in 0.50 s\n");
}

TEST(Summary, DryRunSaysWhatWouldBeDoneAndListSaysWhatWasListed) {
    EXPECT_EQ(cdir_summary_line(sample_counters(), LIBCDIR_JOB_SYNC, true, 65.0),
              "dry run: 10 files to copy, 6 to delete, 12 failed (and 2 directories), in 1m05s\n");
    EXPECT_EQ(cdir_summary_line(sample_counters(), LIBCDIR_JOB_LIST, false, 0.25),
              "listed 12 files in 3 directories, 12 failed (and 2 directories), in 0.25 s\n");
}

// Server traffic: only the kinds that had a connection are reported, in report lines and in the
// one line for a person; a job without a server reports none.
TEST(Traffic, KindsWithAConnectionOnly) {
    cdir_traffic_kinds kinds{};
    kinds[CDIR_CONN_LISTER] = {.connections = 2, .requests = 130, .waits = 129};
    kinds[CDIR_CONN_FILE] = {.connections = 1, .requests = 7, .waits = 7};
    EXPECT_EQ(cdir_traffic_lines(kinds),
              (std::vector<std::string>{"file_conns=1\n", "file_requests=7\n", "file_waits=7\n",
                                        "lister_conns=2\n", "lister_requests=130\n",
                                        "lister_waits=129\n"}));
    EXPECT_EQ(cdir_traffic_summary(kinds),
              "server round trips: file requests=7 waits=7, lister requests=130 waits=129\n");

    EXPECT_TRUE(cdir_traffic_lines(cdir_traffic_kinds{}).empty());
    EXPECT_EQ(cdir_traffic_summary(cdir_traffic_kinds{}), "");
}

}  // namespace
