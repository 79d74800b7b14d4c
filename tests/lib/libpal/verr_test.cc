#include "libpal/verr.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include "lib/liblog/stderr_capture.h"
#include "liblog/log2.h"

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

namespace {

int count_lines(const std::string& text) {
    int n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

TEST(VerrTable, SizeOrderAndClosingEntry) {
    ASSERT_EQ(258u, verr_msg_count);
    EXPECT_EQ(nullptr, verr_msg_table[verr_msg_count].msg);
    std::set<verr> codes;
    for (size_t i = 0; i < verr_msg_count; ++i) {
        ASSERT_NE(nullptr, verr_msg_table[i].msg) << i;
        EXPECT_TRUE(codes.insert(verr_msg_table[i].code).second) << verr_msg_table[i].code;
    }
    struct Spot {
        size_t index;
        verr code;
    };
    // Group boundaries and the gaps the numbering leaves.
    const Spot spots[] = {{0, 0},      {13, -13},   {14, -18},   {20, -24},   {21, -26},
                          {88, -93},   {89, -95},   {93, -99},   {94, -100},  {153, -159},
                          {154, -200}, {157, 203},  {158, -225}, {167, -234}, {168, -250},
                          {177, -300}, {186, -350}, {214, -400}, {221, -436}, {246, -461},
                          {247, -464}, {251, -600}, {255, -619}, {256, -901}, {257, -902}};
    for (const Spot& s : spots) EXPECT_EQ(s.code, verr_msg_table[s.index].code) << s.index;
}

TEST(VerrTable, NamedCodesAndTheirMessages) {
    struct Case {
        verr code;
        const char* msg;
    };
    const Case cases[] = {
        {VERR_SUCCESS, "Success."},
        {VERR_GENERAL_FAILURE, "General failure - DON'T USE THIS!!!."},
        {VERR_INVALID_PARAMETER, "Invalid parameter."},
        {VERR_NO_MEMORY, "Memory allocation failed."},
        {VERR_NOT_IMPLEMENTED, "The request function is not implemented."},
        {VERR_NOT_SUPPORTED, "Not supported."},
        {VERR_ACCESS_DENIED, "Access denied."},
        {VERR_INTERRUPTED, "Call interrupted."},
        {VERR_TIMEOUT, "Timeout."},
        {VERR_BUFFER_OVERFLOW, "Buffer too small to save result."},
        {VERR_TOO_MUCH_DATA, "Data size overflow."},
        {VERR_TRY_AGAIN, "Retry the operation."},
        {VERR_PARSE_ERROR, "Generic parse error."},
        {VERR_OUT_OF_RANGE, "Value out of range."},
        {VERR_NOT_FOUND, "Generic not found error."},
        {VERR_INVALID_STATE, "Generic invalid state error."},
        {VERR_AUTHENTICATION_FAILURE, "Authentication failure."},
        {VERR_FILE_IO_ERROR, "Unresolved (unknown) file i/o error."},
        {VERR_FILE_NOT_FOUND, "File not found."},
        {VERR_PATH_NOT_FOUND, "Path not found."},
        {VERR_ALREADY_EXISTS, "The object in question already exists."},
        {VERR_EOF, "Reached the end of the file."},
        {VERR_WRITE_PROTECT, "Write protect error."},
        {VERR_SHARING_VIOLATION, "Sharing violation, file is being used by another process."},
        {VERR_FILENAME_TOO_LONG, "The filename or extension is too long."},
        {VERR_DISK_FULL, "Disk is full."},
        {VERR_DEV_IO_ERROR, "Device i/o error."},
        {VERR_DEV_NOT_READY, "Device i/o: Not ready."},
        {VERR_DEV_NO_SUCH_DEVICE, "Device i/o: No such device or address."},
        {VERR_BROKEN_PIPE, "Broken pipe."},
        {VERR_NET_IO_ERROR, "Unresolved (unknown) network error."},
        {VERR_NET_IN_PROGRESS, "Operation in progress."},
        {VERR_NET_CONNECTION_RESET, "Connection reset by peer."},
        {VERR_NET_NOT_CONNECTED, "Socket is not connected."},
        {VERR_NET_CONNECTION_REFUSED, "Connection refused."},
        {VERR_NET_HOST_UNREACHABLE, "No route to host."},
        {VERR_NET_PROTOCOL_ERROR, "Protocol error."},
    };
    for (const Case& c : cases) EXPECT_STREQ(c.msg, verr2str(c.code)) << c.code;
}

TEST(Verr2Str, SharedTextsAndThePositiveCode) {
    EXPECT_STREQ("Internal error: Unexpected status code.", verr2str(-230));
    EXPECT_STREQ(verr2str(-230), verr2str(-231));
    EXPECT_STREQ(verr2str(-230), verr2str(-232));
    EXPECT_STREQ("Too many references: can't splice.", verr2str(-460));
    EXPECT_STREQ(verr2str(-459), verr2str(-460));
    EXPECT_STREQ("RTDirReadEx() failed to retrieve the extra data which was requested.",
                 verr2str(203));
    EXPECT_STREQ("Encountered a '-' during conversion to an unsigned value.", verr2str(-57));
}

TEST(Verr2Str, UnknownCodeGivesFallbackAndOneDebugLine) {
    for (verr code : {-14, -17, -25, -94, -160, -199, -203, 1, -1000}) {
        StderrCapture capture;
        EXPECT_STREQ("Invalid error code", verr2str(code)) << code;
        std::string out = capture.text();
        EXPECT_EQ(1, count_lines(out)) << out;
        char expected[64];
        snprintf(expected, sizeof(expected), "Invalid errno=%d (0x%x)\n", code,
                 static_cast<unsigned>(code));
        EXPECT_THAT(out, HasSubstr(expected));
    }
    StderrCapture capture;
    verr2str(-14);
    EXPECT_THAT(capture.text(), HasSubstr("Invalid errno=-14 (0xfffffff2)"));
}

struct ErrnoCase {
    int eno;
    verr code;
};

const ErrnoCase kErrnoToVerr[] = {
    {0, 0},
    {EINVAL, -2},
    {EDOM, -2},
    {ERANGE, -2},
    {EBADF, -4},
    {EBADFD, -4},
    {EFAULT, -6},
    {ENOMEM, -8},
    {ENOTTY, -36},
    {ENOSYS, -37},
    {EPERM, -38},
    {EACCES, -38},
    {EINTR, -39},
    {ERESTART, -39},
    {ETIMEDOUT, -40},
    {E2BIG, -42},
    {EOVERFLOW, -42},
    {ESRCH, -50},
    {ECHILD, -50},
    {EAGAIN, -52},
    {EWOULDBLOCK, -52},
    {EILSEQ, -58},
    {ENOENT, -102},
    {ENODEV, -102},
    {ENOTDIR, -103},
    {EEXIST, -105},
    {EMFILE, -106},
    {ENFILE, -106},
    {ESPIPE, -109},
    {EROFS, -113},
    {ETXTBSY, -114},
    {ENOLCK, -115},
    {EXDEV, -119},
    {ENAMETOOLONG, -120},
    {ENOMEDIUM, -121},
    {EMEDIUMTYPE, -122},
    {ENOTEMPTY, -125},
    {EISDIR, -127},
    {EFBIG, -128},
    {EBUSY, -138},
    {ENOSPC, -152},
    {EDQUOT, -152},
    {ELOOP, -156},
    {EIO, -250},
    {ENXIO, -258},
    {EPIPE, -301},
    {ENODATA, -304},
    {EDEADLK, -365},
    {ENONET, -405},
    {ENOTUNIQ, -406},
    {EINPROGRESS, -436},
    {EALREADY, -437},
    {ENOTSOCK, -438},
    {EDESTADDRREQ, -439},
    {EMSGSIZE, -440},
    {EPROTOTYPE, -441},
    {ENOPROTOOPT, -442},
    {EPROTONOSUPPORT, -443},
    {ESOCKTNOSUPPORT, -444},
    {EOPNOTSUPP, -445},
    {EPFNOSUPPORT, -446},
    {EAFNOSUPPORT, -447},
    {EADDRINUSE, -448},
    {EADDRNOTAVAIL, -449},
    {ENETDOWN, -450},
    {ENETUNREACH, -451},
    {ENETRESET, -452},
    {ECONNABORTED, -453},
    {ECONNRESET, -454},
    {ENOBUFS, -455},
    {EISCONN, -456},
    {ENOTCONN, -457},
    {ESHUTDOWN, -458},
    {ETOOMANYREFS, -459},
    {ECONNREFUSED, -461},
    {EHOSTDOWN, -464},
    {EHOSTUNREACH, -465},
    {EPROTO, -466},
    {ENOEXEC, -608},
};

TEST(OsVerrGet, EveryMappedErrnoWithoutALogLine) {
    StderrCapture capture;
    for (const ErrnoCase& c : kErrnoToVerr) EXPECT_EQ(c.code, os_verr_get(c.eno)) << c.eno;
    EXPECT_EQ("", capture.text());
}

TEST(OsVerrGet, UnmappedErrnoGivesMinusOneAndOneWarning) {
    for (int eno : {ENOTBLK, EMLINK, 12345}) {
        StderrCapture capture;
        EXPECT_EQ(-1, os_verr_get(eno));
        std::string out = capture.text();
        EXPECT_EQ(1, count_lines(out));
        EXPECT_THAT(out, HasSubstr("unkown eno=" + std::to_string(eno) + "\n"));
    }
}

// Callers branch on the status of a failed call where they used to branch on errno: every errno
// they tell apart must keep a code of its own.
TEST(OsErrnoVerr, ErrnosCallersTellApartKeepDistinctCodes) {
    const int told_apart[] = {ENOENT, EEXIST,       ELOOP,       EXDEV,     ENOTDIR, EISDIR,
                              EACCES, ENOSPC,       EINTR,       EAGAIN,    EBUSY,   ENOTEMPTY,
                              EINVAL, ENAMETOOLONG, EOPNOTSUPP,  ENOSYS,    ENODATA, EMFILE,
                              EPIPE,  ECONNRESET,   EINPROGRESS, ETIMEDOUT, ENOMEM,  EROFS};
    std::set<verr> codes;
    for (int eno : told_apart) {
        errno = eno;
        const verr code = os_errno_verr();
        EXPECT_LT(code, VERR_GENERAL_FAILURE) << strerror(eno);
        EXPECT_TRUE(codes.insert(code).second) << strerror(eno) << " shares " << code;
    }
    // Folded on purpose: callers treat these alike.
    errno = EPERM;
    const verr perm = os_errno_verr();
    errno = EACCES;
    EXPECT_EQ(perm, os_errno_verr());
}

TEST(OsErrnoVerr, NoErrnoGivesTheFallback) {
    errno = 0;
    EXPECT_EQ(VERR_GENERAL_FAILURE, os_errno_verr());
    EXPECT_EQ(VERR_NET_IO_ERROR, os_errno_verr(VERR_NET_IO_ERROR));
    errno = ENOENT;
    EXPECT_EQ(VERR_FILE_NOT_FOUND, os_errno_verr(VERR_NET_IO_ERROR));
}

TEST(VerrToPosix, FirstErrnoOfEachRowWithTheExceptions) {
    const ErrnoCase cases[] = {
        {0, 0},
        {EPERM, -1},
        {EINVAL, -2},
        {EBADF, -4},
        {EPERM, -38},
        {EINTR, -39},
        {ETIMEDOUT, -40},
        {E2BIG, -42},
        {EAGAIN, -52},
        {ENOENT, -102},
        {EMFILE, -106},
        {ENOSPC, -152},
        {EOPNOTSUPP, -37},
        {ENXIO, -252},
        {ENXIO, -258},
        {ECONNRESET, -454},
        {ETOOMANYREFS, -459},
        {ENOEXEC, -608},
    };
    StderrCapture capture;
    for (const ErrnoCase& c : cases) EXPECT_EQ(c.eno, verr_2_posix(c.code)) << c.code;
    EXPECT_EQ("", capture.text());
}

TEST(VerrToPosix, RoundTripThroughEachRow) {
    // An errno that leads its row comes back unchanged; the others fold into the leader.
    for (const ErrnoCase& c : kErrnoToVerr) {
        if (c.code == VERR_NOT_SUPPORTED) continue;  // ENOSYS comes back as EOPNOTSUPP
        int back = verr_2_posix(os_verr_get(c.eno));
        EXPECT_EQ(c.code, os_verr_get(back)) << c.eno;
    }
    EXPECT_EQ(EOPNOTSUPP, verr_2_posix(os_verr_get(ENOSYS)));
    EXPECT_EQ(ENOSPC, verr_2_posix(os_verr_get(EDQUOT)));
}

TEST(VerrToPosix, UnmappedCodeGivesEpermAndOneWarning) {
    for (verr code : {-3, -460, -231, 203, -999}) {
        StderrCapture capture;
        EXPECT_EQ(EPERM, verr_2_posix(code)) << code;
        std::string out = capture.text();
        EXPECT_EQ(1, count_lines(out));
        EXPECT_THAT(out, HasSubstr("unkown verrno = " + std::to_string(code) + "\n"));
    }
}

TEST(VerrToPosix, SetErrnoFromCode) {
    errno = 0;
    EXPECT_EQ(ETIMEDOUT, os_set_errno_verr(VERR_TIMEOUT));
    EXPECT_EQ(ETIMEDOUT, errno);
    EXPECT_EQ(0, os_set_errno_verr(VERR_SUCCESS));
    EXPECT_EQ(0, errno);
}

TEST(ErrInfo, AbsentFormatUsesTheCodeMessage) {
    err_info e;
    memset(&e, 'x', sizeof(e));
    ERR_INFO_SET(&e, VERR_TIMEOUT, nullptr);
    EXPECT_STREQ("Timeout.", err_info_str(&e));
    EXPECT_EQ(VERR_TIMEOUT, e.code);
    EXPECT_STREQ(__FILE__, e.file);
    EXPECT_STREQ("TestBody", e.function);
    EXPECT_EQ(static_cast<uint32_t>(__LINE__ - 5), e.line);
}

TEST(ErrInfo, FormattedAndDetailMessages) {
    err_info e{};
    ERR_INFO_SET(&e, VERR_NET_CONNECTION_REFUSED, "connect %s ", "host:6688");
    EXPECT_STREQ("connect host:6688 ", err_info_str(&e));
    ERR_INFO_SET_DETAIL(&e, VERR_NET_CONNECTION_REFUSED, "Connection refused", "connect %s ",
                        "host:6688");
    EXPECT_STREQ("connect host:6688 : Connection refused", err_info_str(&e));
    ERR_INFO_SET_DETAIL(&e, VERR_TIMEOUT, nullptr, "wait %d ms", 5);
    EXPECT_STREQ("wait 5 ms: ", err_info_str(&e));
    ERR_INFO_SET_DETAIL(&e, VERR_TIMEOUT, "only detail", nullptr);
    EXPECT_STREQ("only detail", err_info_str(&e));
}

TEST(ErrInfo, LongTextsAreCutNeverOverrun) {
    err_info e{};
    std::string big(6000, 'a');
    ERR_INFO_SET(&e, -1, "%s", big.c_str());
    EXPECT_EQ(4095u, strlen(e.msg));
    ERR_INFO_SET_DETAIL(&e, -1, big.c_str(), "%s", "head");
    EXPECT_EQ(4095u, strlen(e.msg));
    EXPECT_THAT(std::string(e.msg), MatchesRegex("head: a+"));
    ERR_INFO_SET_DETAIL(&e, -1, "tail", "%s", big.c_str());
    EXPECT_EQ(std::string(4095, 'a'), e.msg);
}

TEST(ErrInfo, NullRecordsAndCopies) {
    ERR_INFO_SET(static_cast<err_info*>(nullptr), -2, "ignored");
    EXPECT_STREQ("", err_info_str(nullptr));
    err_info a{};
    err_info b{};
    ERR_INFO_SET(&a, VERR_EOF, "end of %s", "stream");
    err_info_copy(&b, &a);
    EXPECT_EQ(VERR_EOF, b.code);
    EXPECT_STREQ("end of stream", b.msg);
    EXPECT_EQ(a.line, b.line);
    EXPECT_EQ(a.file, b.file);
    err_info_copy(&a, &a);
    EXPECT_STREQ("end of stream", a.msg);
    memset(a.msg, 'z', sizeof(a.msg));  // unterminated source: the copy stays bounded
    err_info_copy(&b, &a);
    EXPECT_EQ(4095u, strlen(b.msg));
    err_info_clear(&b);
    EXPECT_EQ(VERR_SUCCESS, b.code);
    EXPECT_STREQ("Success.", err_info_str(&b));
}

}  // namespace
