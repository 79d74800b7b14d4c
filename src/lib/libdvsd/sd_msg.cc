#include "libdvsd/sd_msg.h"

#include <array>

namespace {

constexpr uint8_t kStr = BLOBMSG_TYPE_STRING;
constexpr uint8_t kBin = BLOBMSG_TYPE_BINARY;
constexpr uint8_t kI32 = BLOBMSG_TYPE_INT32;
constexpr uint8_t kI64 = BLOBMSG_TYPE_INT64;

#define SD_REPLY_HEAD       \
    {SDF_ERRNO, kI32}, {    \
        SDF_ERRNO_STR, kStr \
    }

constexpr std::array<blobmsg_policy, SD_STATUS_COUNT> kStatus{{SD_REPLY_HEAD}};

constexpr std::array<blobmsg_policy, SD_LOGIN_COUNT> kLogin{{SD_REPLY_HEAD, {SDF_OS_TYPE, kI32}}};

constexpr std::array<blobmsg_policy, SD_LSBLK_COUNT> kLsblk{{SD_REPLY_HEAD, {SDF_LSBLK, kStr}}};

constexpr std::array<blobmsg_policy, SD_INFO_COUNT> kInfo{{SD_REPLY_HEAD, {SDF_INFO, kStr}}};

constexpr std::array<blobmsg_policy, SD_STATFS_COUNT> kStatfs{{
    SD_REPLY_HEAD,
    {SDF_FLAGS, kI32},
    {SDF_NAME_LEN, kI32},
    {SDF_AVAIL_BYTES, kI64},
    {SDF_FREE_BYTES, kI64},
    {SDF_TOTAL_BYTES, kI64},
    {SDF_FS_NAME, kStr},
    {SDF_VOL_NAME, kStr},
}};

// The base table is the first SD_STAT_COUNT entries of the extended one.
constexpr std::array<blobmsg_policy, SD_STAT_EX_COUNT> kStatEx{{
    SD_REPLY_HEAD,
    {SDF_TYPE, kI32},
    {SDF_ATTRIB_MODE, kI32},
    {SDF_UID, kI32},
    {SDF_GID, kI32},
    {SDF_LEN, kI64},
    {SDF_TIME_ACCESS, kI64},
    {SDF_TIME_WRITE, kI64},
    {SDF_TIME_CREATE, kI64},
    {SDF_TIME_ACCESS_NS, kI32},
    {SDF_TIME_WRITE_NS, kI32},
    {SDF_TIME_CREATE_NS, kI32},
    {SDF_ST_NLINK, kI64},
    {SDF_ST_DEV, kI64},
    {SDF_ST_RDEV, kI64},
    {SDF_ST_INO, kI64},
    {SDF_ST_BLKSIZE, kI64},
    {SDF_ST_BLOCKS, kI64},
}};

constexpr std::array<blobmsg_policy, SD_IOCTL_COUNT> kIoctl{{SD_REPLY_HEAD, {SDF_DATA, kBin}}};

constexpr std::array<blobmsg_policy, SD_LEN_COUNT> kLen{{SD_REPLY_HEAD, {SDF_LEN, kI32}}};

constexpr std::array<blobmsg_policy, SD_FD_COUNT> kFd{{SD_REPLY_HEAD, {SDF_FD, kI64}}};

constexpr std::array<blobmsg_policy, SD_READ_COUNT> kRead{{
    SD_REPLY_HEAD,
    {SDF_LEN, kI32},
    {SDF_FLAGS, kI32},
    {SDF_DATA, kBin},
}};

constexpr std::array<blobmsg_policy, SD_SEEK_COUNT> kSeek{{SD_REPLY_HEAD, {SDF_OFFSET, kI64}}};

constexpr std::array<blobmsg_policy, SD_GEOMETRY_COUNT> kGeometry{{
    SD_REPLY_HEAD,
    {SDF_TYPE, kI32},
    {SDF_LEN, kI64},
    {SDF_OFFSET, kI64},
    {SDF_SECTOR_BYTES, kI32},
    {SDF_INFO, kStr},
}};

constexpr std::array<blobmsg_policy, SD_READDIR_COUNT> kReaddir{{
    SD_REPLY_HEAD,
    {SDF_LEN, kI32},
    {SDF_DATA, kBin},
}};

constexpr std::array<blobmsg_policy, SD_KEY_LOGIN_COUNT> kKeyLogin{{
    SD_REPLY_HEAD,
    {SDF_VER, kI32},
    {SDF_CERT, kStr},
}};

#undef SD_REPLY_HEAD

}  // namespace

std::span<const blobmsg_policy> sd_reply_table(int code, bool extended) {
    switch (code) {
        case SD_REQ_LOGIN:
            return kLogin;
        case SD_REQ_LSBLK:
            return kLsblk;
        case SD_REQ_INFO:
            return kInfo;
        case SD_REQ_STATFS:
            return kStatfs;
        case SD_REQ_STAT:
        case SD_REQ_STAT_EX:
        case SD_REQ_FSTAT:
        case SD_REQ_FSTAT_EX:
        case SD_REQ_LSTAT:
            return std::span<const blobmsg_policy>(kStatEx).first(extended ? SD_STAT_EX_COUNT
                                                                           : SD_STAT_COUNT);
        case SD_REQ_IOCTL:
            return kIoctl;
        case SD_REQ_PUT_FILE:
        case SD_REQ_WRITE:
        case SD_REQ_PWRITE:
        case SD_REQ_RANGE_LEN:
            return kLen;
        case SD_REQ_OPEN:
        case SD_REQ_WOPEN:
        case SD_REQ_OPEN2:
        case SD_REQ_OPENDIR:
            return kFd;
        case SD_REQ_READ:
        case SD_REQ_PREAD:
            return kRead;
        case SD_REQ_SEEK:
            return kSeek;
        case SD_REQ_GEOMETRY:
            return kGeometry;
        case SD_REQ_READDIR:
        case SD_REQ_READDIR_EX:
            return kReaddir;
        case SD_REQ_KEY_LOGIN1:
            return kKeyLogin;
        case SD_REQ_CLOSE:
        case SD_REQ_FILE_FD:
        case SD_REQ_SET_LEN:
        case SD_REQ_FILE_IOCTL:
        case SD_REQ_FSET_TIME:
        case SD_REQ_RANGE:
        case SD_REQ_FSET_TIME_EX:
        case SD_REQ_CLOSEDIR:
        case SD_REQ_KEY_LOGIN2:
            return kStatus;
        default:
            return {};
    }
}
