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

inline constexpr uint8_t SD_FRAME_MAGIC0 = 0x44;  // 'D'
inline constexpr uint8_t SD_FRAME_MAGIC1 = 0x56;  // 'V'
inline constexpr uint8_t SD_FRAME_PROTOCOL = 1;   // what this side sends in byte 2
// What a server that accepts only the key login sends in byte 2.
inline constexpr uint8_t SD_FRAME_PROTOCOL_KEY_LOGIN = 2;
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

// ---- values of reply fields ----------------------------------------------------

// "os_type" of the login reply: the server runs on Linux.
inline constexpr uint32_t SD_OS_TYPE_LINUX = 2;

// ---- open flags of request 10 (field "mode") ----------------------------------

inline constexpr uint64_t SD_OPEN_READ = 0x1;
inline constexpr uint64_t SD_OPEN_WRITE = 0x2;
inline constexpr uint64_t SD_OPEN_CREATE = 0x8;     // make the file when it is not there
inline constexpr uint64_t SD_OPEN_TRUNCATE = 0x20;  // empty the file
// Needs a server of 1.6.7 or later.
inline constexpr uint64_t SD_OPEN_NEEDS_167 = 0x10000;
// Creation disposition of request 24 that opens only a file that is there, as it is.
inline constexpr uint32_t SD_WOPEN_OPEN_EXISTING = 3;

// ---- control codes (field "cmd" of requests 8 and 20) -----------------------

enum sd_control_code : int32_t {
    // Server contexts (request 8 on the connection itself; decimal texts). Their exchanges never
    // start a repair.
    SD_CTL_CTX_FIRST = 100,
    SD_CTL_CTX_INIT = 101,          // keep this context for a re-attach
    SD_CTL_CTX_GET_ADDR = 102,      // the context's address
    SD_CTL_CTX_LAST_INDEX = 103,    // index of the last request a context executed
    SD_CTL_CTX_ATTACH = 104,        // work on that context from now on
    SD_CTL_CTX_ATTACH_REPLY = 105,  // the same, answered by its last response
    SD_CTL_CTX_RUN_STATUS = 106,    // "1" while a request of it runs
    SD_CTL_CTX_REQ_STOP = 107,      // end its connection's waits
    // Offered as "pipe=[N]": requests may follow each other without waiting for their responses.
    SD_CTL_CTX_PIPE = 108,         // keep the responses of up to "N" requests for a replay
    SD_CTL_CTX_ATTACH_FROM = 109,  // "ADDR IDX": attach, answered by every response after IDX
    SD_CTL_CTX_LAST = 110,

    SD_CTL_GET_CONF = 10,  // server settings text
    SD_CTL_SET_CONF = 11,  // store server settings
    SD_CTL_PACK = 10001,   // without output: choose the packer; with output: counters
    // Output texts of 10002 to 10005.
    SD_CTL_OUT_10002 = 10002,
    SD_CTL_OUT_10003 = 10003,
    SD_CTL_OUT_10004 = 10004,
    SD_CTL_OUT_10005 = 10005,
    SD_CTL_MKDIRS = 10013,  // a directory and every missing parent
    // Codes sent by the public wrappers by the shape of their argument text; the client gives
    // them no meaning of its own.
    SD_CTL_10014 = 10014,
    SD_CTL_10015 = 10015,
    SD_CTL_10016 = 10016,
    SD_CTL_10018 = 10018,
    SD_CTL_10019 = 10019,
    SD_CTL_10020 = 10020,
    SD_CTL_10021 = 10021,
    SD_CTL_10022 = 10022,
    SD_CTL_10023 = 10023,
    SD_CTL_10024 = 10024,
    SD_CTL_10025 = 10025,
    SD_CTL_10026 = 10026,
    SD_CTL_10027 = 10027,
    SD_CTL_10028 = 10028,
    SD_CTL_SET_TIMES = 10029,  // times of a path
    SD_CTL_SET_TIMES2 = 10030,
    SD_CTL_10035 = 10035,
    SD_CTL_RMDIR2 = 10036,
    SD_CTL_REMOVE2 = 10037,
    SD_CTL_SET_STAT = 10038,   // attributes of a path
    SD_CTL_FSET_STAT = 10039,  // attributes of an open file
    SD_CTL_SEEKDIR = 10050,    // reposition a directory listing
    // 10100 to 10113: time-outs of a file without output; with output, host queries, hashes
    // and commands.
    SD_CTL_HOST_FIRST = 10100,
    SD_CTL_FD_READ_TIMEOUT = 10100,
    SD_CTL_10101 = 10101,
    SD_CTL_10102 = 10102,
    SD_CTL_HASH_INIT = 10103,
    SD_CTL_10104 = 10104,
    SD_CTL_FD_WRITE_TIMEOUT = 10105,
    SD_CTL_BCOUNT_INIT = 10106,
    SD_CTL_10107 = 10107,
    SD_CTL_PWRITEX = 10108,
    SD_CTL_10109 = 10109,
    SD_CTL_HASH_MAX = 10110,
    SD_CTL_VSS_MOUNT = 10111,
    SD_CTL_10112 = 10112,
    SD_CTL_HASH_GET2 = 10113,
    SD_CTL_HOST_LAST = 10113,
    // The directory lister.
    SD_CTL_RDIR_OPEN = 10120,
    SD_CTL_RDIR_CLOSE = 10121,
    SD_CTL_RDIR_ENUM = 10122,
    SD_CTL_RDIR_READ = 10123,
    // The batched small-file worker.
    SD_CTL_MFILE_OPEN = 10130,
    SD_CTL_MFILE_CLOSE = 10131,
    SD_CTL_MFILE_LIST_RET = 10132,
    SD_CTL_MFILE_READ = 10133,    // command 1
    SD_CTL_MFILE_MKDIR = 10134,   // command 2
    SD_CTL_MFILE_WRITE = 10135,   // command 3
    SD_CTL_MFILE_REMOVE = 10136,  // command 4
    SD_CTL_MFILE_EMPTY = 10138,   // command 5
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
