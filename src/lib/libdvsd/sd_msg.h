// Reply field tables of every request code, and the indices of their fields.
//
// Every table starts with {"errno", int32} and {"errno_str", string}; the
// further fields follow in the order below. The tables are compile-time
// constants, so they are ready before any connection exists and any thread may
// read them.
//
//   const blob_attr* tb[SD_STAT_EX_COUNT];
//   auto table = sd_reply_table(SD_REQ_STAT_EX, true);
//   if (cli_blobmsg_parse(table.data(), int(table.size()), tb, reply + 4, len) != 0) ...
//   uint64_t size = blobmsg_get_int64(tb[SD_STAT_LEN]);
#pragma once

#include <cstddef>
#include <span>

#include "libdvsd/blobmsg.h"
#include "libdvsd/sd_wire.h"

// Shared by every table.
enum : size_t { SD_ERRNO = 0, SD_ERRNO_STR = 1, SD_REPLY_HEAD_COUNT = 2 };

// 1: login.
enum : size_t { SD_LOGIN_OS_TYPE = 2, SD_LOGIN_COUNT };
// 3: block devices.
enum : size_t { SD_LSBLK_LSBLK = 2, SD_LSBLK_COUNT };
// 4: server information.
enum : size_t { SD_INFO_INFO = 2, SD_INFO_COUNT };
// 5: file-system space.
enum : size_t {
    SD_STATFS_FLAGS = 2,
    SD_STATFS_NAME_LEN,
    SD_STATFS_AVAIL_BYTES,
    SD_STATFS_FREE_BYTES,
    SD_STATFS_TOTAL_BYTES,
    SD_STATFS_FS_NAME,
    SD_STATFS_VOL_NAME,
    SD_STATFS_COUNT
};
// 6, 7, 21, 26, 28: stat. The base set has SD_STAT_COUNT (10) entries, the
// extended set SD_STAT_EX_COUNT (19).
enum : size_t {
    SD_STAT_TYPE = 2,
    SD_STAT_ATTRIB_MODE,
    SD_STAT_UID,
    SD_STAT_GID,
    SD_STAT_LEN,
    SD_STAT_TIME_ACCESS,
    SD_STAT_TIME_WRITE,
    SD_STAT_TIME_CREATE,
    SD_STAT_COUNT,
    SD_STAT_TIME_ACCESS_NS = SD_STAT_COUNT,
    SD_STAT_TIME_WRITE_NS,
    SD_STAT_TIME_CREATE_NS,
    SD_STAT_ST_NLINK,
    SD_STAT_ST_DEV,
    SD_STAT_ST_RDEV,
    SD_STAT_ST_INO,
    SD_STAT_ST_BLKSIZE,
    SD_STAT_ST_BLOCKS,
    SD_STAT_EX_COUNT
};
// 8: control request with output.
enum : size_t { SD_IOCTL_DATA = 2, SD_IOCTL_COUNT };
// 9, 13, 30, 50: a length.
enum : size_t { SD_LEN_LEN = 2, SD_LEN_COUNT };
// 10, 24, 25, 41: an object number.
enum : size_t { SD_FD_FD = 2, SD_FD_COUNT };
// 12, 29: read.
enum : size_t { SD_READ_LEN = 2, SD_READ_FLAGS, SD_READ_DATA, SD_READ_COUNT };
// 15: seek.
enum : size_t { SD_SEEK_OFFSET = 2, SD_SEEK_COUNT };
// 19: geometry.
enum : size_t {
    SD_GEOMETRY_TYPE = 2,
    SD_GEOMETRY_LEN,
    SD_GEOMETRY_OFFSET,
    SD_GEOMETRY_SECTOR_BYTES,
    SD_GEOMETRY_INFO,
    SD_GEOMETRY_COUNT
};
// 42, 44: directory entries.
enum : size_t { SD_READDIR_LEN = 2, SD_READDIR_DATA, SD_READDIR_COUNT };
// 90: key login, step 1.
enum : size_t { SD_KEY_LOGIN_VER = 2, SD_KEY_LOGIN_CERT, SD_KEY_LOGIN_COUNT };
// 11, 14, 16, 20, 22, 23, 27, 43, 91: "errno" and "errno_str" only.
enum : size_t { SD_STATUS_COUNT = SD_REPLY_HEAD_COUNT };

// The reply table of request `code`. For the stat codes (6, 7, 21, 26, 28)
// `extended` chooses the 19-entry table over the 10-entry one; other codes
// ignore it. Empty for the quit request (no reply) and for unknown codes.
std::span<const blobmsg_policy> sd_reply_table(int code, bool extended);
