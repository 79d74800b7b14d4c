// Wire constants of the file-server protocol: the typed-field attribute layout,
// its type numbers, the frame layout, the request codes and the field names.
// Client and server both build and read message bytes only through
// libdvsd/blobmsg.h; this header is the one place these numbers live.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- attribute layout -------------------------------------------------------
//
// Every attribute starts on a 4-byte boundary with a big-endian header word:
//   bit 31      named (1 for every message field, 0 for the root)
//   bits 24-30  type
//   bits 0-23   length: header word through the end of the value, no padding
// A named attribute continues with a big-endian 16-bit name length N, the name
// and its terminating zero, zero padding to a multiple of 4, then the value and
// 0 to 3 padding bytes. The root is an unnamed table whose value is the
// concatenation of the padded fields.

inline constexpr uint32_t BLOB_ATTR_NAMED = 0x80000000u;
inline constexpr uint32_t BLOB_ATTR_TYPE_SHIFT = 24;
inline constexpr uint32_t BLOB_ATTR_TYPE_MASK = 0x7f000000u;
inline constexpr uint32_t BLOB_ATTR_LEN_MASK = 0x00ffffffu;
inline constexpr size_t BLOB_ATTR_HEADER_SIZE = 4;
inline constexpr size_t BLOB_ATTR_ALIGN = 4;
// Size of the name-length field that follows the header of a named attribute.
inline constexpr size_t BLOBMSG_NAME_LEN_SIZE = 2;

// Type numbers. Anything above BLOBMSG_TYPE_LAST makes an attribute invalid.
enum blobmsg_type : uint8_t {
    BLOBMSG_TYPE_UNSPEC = 0,  // any bytes; as a field-table type: matches every type
    BLOBMSG_TYPE_ARRAY = 1,   // nested attributes
    BLOBMSG_TYPE_TABLE = 2,   // nested attributes
    BLOBMSG_TYPE_BINARY = 3,  // raw bytes
    BLOBMSG_TYPE_STRING = 4,  // text and its terminating zero
    BLOBMSG_TYPE_INT64 = 5,   // 8 bytes, big-endian
    BLOBMSG_TYPE_INT32 = 6,   // 4 bytes, big-endian
    BLOBMSG_TYPE_INT16 = 7,   // 2 bytes, big-endian
    BLOBMSG_TYPE_INT8 = 8,    // 1 byte
    BLOBMSG_TYPE_LAST = BLOBMSG_TYPE_INT8,
};

// ---- frame layout --------------------------------------------------------------
//
// A frame is an 8-byte head followed by the rest of the root attribute:
//   0  'D'   1  'V'   2  protocol byte   3  request code
//   4  root header word (not named, type table, length L counting the header word)
//   8  root payload, zero-padded so that the frame ends on a multiple of 4
// The padded root (header word included) is P = (L + 3) & ~3 bytes; the frame is 4 + P bytes.

inline constexpr uint8_t SD_FRAME_MAGIC0 = 0x44;   // 'D'
inline constexpr uint8_t SD_FRAME_MAGIC1 = 0x56;   // 'V'
inline constexpr uint8_t SD_FRAME_PROTOCOL = 1;    // what this side sends in byte 2
inline constexpr size_t SD_FRAME_PREFIX_SIZE = 4;  // the bytes before the root attribute
inline constexpr size_t SD_FRAME_HEAD_SIZE = SD_FRAME_PREFIX_SIZE + BLOB_ATTR_HEADER_SIZE;
inline constexpr size_t SD_FRAME_OFFSET_PROTOCOL = 2;
inline constexpr size_t SD_FRAME_OFFSET_CODE = 3;
// Largest frame on the wire, head included. A head announcing more is refused before anything is
// allocated for it.
inline constexpr size_t SD_FRAME_MAX_SIZE = size_t{16} << 20;

// ---- request codes (byte 3 of a frame) --------------------------------------

enum sd_request_code : uint8_t {
    SD_REQ_LOGIN = 1,          // user and hashed password
    SD_REQ_QUIT = 2,           // no response
    SD_REQ_LSBLK = 3,          // list block devices
    SD_REQ_INFO = 4,           // server information
    SD_REQ_STATFS = 5,         // file-system space of a path
    SD_REQ_STAT = 6,           // stat of a path, base fields
    SD_REQ_STAT_EX = 7,        // stat of a path, extended fields
    SD_REQ_IOCTL = 8,          // control request with output
    SD_REQ_PUT_FILE = 9,       // store a whole small file
    SD_REQ_OPEN = 10,          // open by path and mode
    SD_REQ_CLOSE = 11,         // close a file
    SD_REQ_READ = 12,          // read at the current position
    SD_REQ_WRITE = 13,         // write at the current position
    SD_REQ_FILE_FD = 14,       // file request carrying only the file number
    SD_REQ_SEEK = 15,          // seek
    SD_REQ_SET_LEN = 16,       // set the length of an open file
    SD_REQ_GEOMETRY = 19,      // file and device geometry of an open file
    SD_REQ_FILE_IOCTL = 20,    // control request without output
    SD_REQ_FSTAT = 21,         // stat of an open file, base fields
    SD_REQ_FSET_TIME = 22,     // set the times of an open file, base fields
    SD_REQ_RANGE = 23,         // ranged request (type, offset, length)
    SD_REQ_WOPEN = 24,         // open with access, sharing and disposition flags
    SD_REQ_OPEN2 = 25,         // open by path, flags and mode
    SD_REQ_FSTAT_EX = 26,      // stat of an open file, extended fields
    SD_REQ_FSET_TIME_EX = 27,  // set the times of an open file, extended fields
    SD_REQ_LSTAT = 28,         // stat of a path without following a final link
    SD_REQ_PREAD = 29,         // read at a given offset
    SD_REQ_PWRITE = 30,        // write at a given offset
    SD_REQ_OPENDIR = 41,       // open a directory
    SD_REQ_READDIR = 42,       // read directory entries, base fields
    SD_REQ_CLOSEDIR = 43,      // close a directory
    SD_REQ_READDIR_EX = 44,    // read directory entries, extended fields
    SD_REQ_RANGE_LEN = 50,     // ranged request (mode, length, offset) answering a length
    SD_REQ_KEY_LOGIN1 = 90,    // key login, step 1
    SD_REQ_KEY_LOGIN2 = 91,    // key login, step 2
};

// ---- field names --------------------------------------------------------------

inline constexpr char SDF_ERRNO[] = "errno";
inline constexpr char SDF_ERRNO_STR[] = "errno_str";
inline constexpr char SDF_USER[] = "user";
inline constexpr char SDF_PASSWD[] = "passwd";
inline constexpr char SDF_OS_TYPE[] = "os_type";
inline constexpr char SDF_PARAM[] = "param";
inline constexpr char SDF_LSBLK[] = "lsblk";
inline constexpr char SDF_INFO[] = "info";
inline constexpr char SDF_PATH[] = "path";
inline constexpr char SDF_NAME[] = "name";
inline constexpr char SDF_PATTERN[] = "pattern";
inline constexpr char SDF_FLAGS[] = "flags";
inline constexpr char SDF_FLAG[] = "flag";
inline constexpr char SDF_NAME_LEN[] = "name_len";
inline constexpr char SDF_AVAIL_BYTES[] = "avail_bytes";
inline constexpr char SDF_FREE_BYTES[] = "free_bytes";
inline constexpr char SDF_TOTAL_BYTES[] = "total_bytes";
inline constexpr char SDF_FS_NAME[] = "fs_name";
inline constexpr char SDF_VOL_NAME[] = "vol_name";
inline constexpr char SDF_FD[] = "fd";
inline constexpr char SDF_CMD[] = "cmd";
inline constexpr char SDF_DATA[] = "data";
inline constexpr char SDF_OLEN[] = "olen";
inline constexpr char SDF_LEN[] = "len";
inline constexpr char SDF_MODE[] = "mode";
inline constexpr char SDF_OFFSET[] = "offset";
inline constexpr char SDF_TYPE[] = "type";
inline constexpr char SDF_SECTOR_BYTES[] = "sector_bytes";
inline constexpr char SDF_ATTRIB_MODE[] = "attrib_mode";
inline constexpr char SDF_UID[] = "uid";
inline constexpr char SDF_GID[] = "gid";
inline constexpr char SDF_TIME_ACCESS[] = "time_access";
inline constexpr char SDF_TIME_WRITE[] = "time_write";
inline constexpr char SDF_TIME_CREATE[] = "time_create";
inline constexpr char SDF_TIME_ACCESS_NS[] = "time_access_ns";
inline constexpr char SDF_TIME_WRITE_NS[] = "time_write_ns";
inline constexpr char SDF_TIME_CREATE_NS[] = "time_create_ns";
inline constexpr char SDF_ST_NLINK[] = "st_nlink";
inline constexpr char SDF_ST_DEV[] = "st_dev";
inline constexpr char SDF_ST_RDEV[] = "st_rdev";
inline constexpr char SDF_ST_INO[] = "st_ino";
inline constexpr char SDF_ST_BLKSIZE[] = "st_blksize";
inline constexpr char SDF_ST_BLOCKS[] = "st_blocks";
inline constexpr char SDF_DESIRE_ACCESS[] = "desire_access";
inline constexpr char SDF_SHARE_MODE[] = "share_mode";
inline constexpr char SDF_SEC_ATTRIB[] = "sec_attrib";
inline constexpr char SDF_CREAT_DISP[] = "creat_disp";
inline constexpr char SDF_FLAG_ATTRIB[] = "flag_attrib";
inline constexpr char SDF_TEMP_HANDLE[] = "temp_handle";
inline constexpr char SDF_VER[] = "ver";
inline constexpr char SDF_CERT[] = "cert";
inline constexpr char SDF_LKEY[] = "lkey";

// Separator of the typed lists carried in reply fields (directory entries,
// counters).
inline constexpr char SD_TYPED_LIST_SEPARATOR = '\t';
