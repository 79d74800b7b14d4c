// Wire constants of the stat record lines, the lister's block streams and the batch worker's
// result blocks. Every producer and parser of these texts takes its formats from here, so the
// local lister, the batch worker and the file server stay byte-for-byte compatible.
#pragma once

#include <cstdint>

// ---- entry type word ----
inline constexpr uint32_t RDIR_TYPE_KIND_MASK = 0xff;  // low byte: the kind
inline constexpr uint32_t RDIR_TYPE_DIR = 1;           // a directory (or a link to one)
inline constexpr uint32_t RDIR_TYPE_OTHER = 2;         // file, device, fifo, socket, unknown
inline constexpr uint32_t RDIR_TYPE_LINK = 0x100;      // a symbolic link; the kind is its target's
inline constexpr uint32_t RDIR_TYPE_JUNCTION = 0x200;  // a junction of another host; never created
inline constexpr uint32_t RDIR_TYPE_NO_POSIX = 0x800;  // `mode` is not POSIX; use `attr`
// (type & RDIR_TYPE_DIR_TEST_MASK) == RDIR_TYPE_DIR: a real directory, not a link to one.
inline constexpr uint32_t RDIR_TYPE_DIR_TEST_MASK = 0x1ff;

inline constexpr bool rdir_type_is_dir(uint32_t type) {
    return (type & RDIR_TYPE_DIR_TEST_MASK) == RDIR_TYPE_DIR;
}

// ---- attribute column as this platform's lister fills it ----
inline constexpr uint32_t RDIR_ATTR_POSIX = 0x80;
inline constexpr uint32_t RDIR_ATTR_DIR_DEFAULT = 0755;
inline constexpr uint32_t RDIR_ATTR_FILE_DEFAULT = 0644;

// ---- line shapes: one tab between fields, nothing escaped ----
inline constexpr char RDIR_FIELD_SEP = '\t';
inline constexpr char RDIR_LINE_SEP = '\n';

// Listing line: name, link, type, mode, attr, size, ctime, mtime, atime, uid, gid.
#define RDIR_LIST_LINE_FMT "%s\t%s\t%x\t%x\t%x\t%lld\t%llx\t%llx\t%llx\t%u\t%u\n"
inline constexpr const char* RDIR_LIST_LINE_TYPES = "str|str|x32|x32|x32|u64|x64|x64|x64|u32|u32";
inline constexpr int RDIR_LIST_LINE_FIELDS = 11;

// Directory-creation line: name, type, mode, attr, ctime, mtime, atime, uid, gid (no newline).
// Its type list names a tenth text field that no writer fills; a reader accepts exactly nine
// fields.
#define RDIR_DIR_LINE_FMT "%s\t%x\t%x\t%x\t%llx\t%llx\t%llx\t%u\t%u"
inline constexpr const char* RDIR_DIR_LINE_TYPES = "str|x32|x32|x32|x64|x64|x64|u32|u32|str";
inline constexpr int RDIR_DIR_LINE_FIELDS = 9;

// File-write line: name, link, type, mode, attr, ctime, mtime, atime, uid, gid, base64 data.
// A write line up to its data, and the whole line.
#define RDIR_WRITE_HEAD_FMT "%s\t%s\t%x\t%x\t%x\t%llx\t%llx\t%llx\t%u\t%u\t"
#define RDIR_WRITE_LINE_FMT RDIR_WRITE_HEAD_FMT "%s"
inline constexpr const char* RDIR_WRITE_LINE_TYPES = "str|str|x32|x32|x32|x64|x64|x64|u32|u32|str";
inline constexpr int RDIR_WRITE_LINE_FIELDS = 11;

// Longest listing line the lister formats.
inline constexpr int RDIR_LINE_MAX = 8192;

// ---- lister block streams ----
inline constexpr char RDIR_STREAM_FILES = 'F';
inline constexpr char RDIR_STREAM_DIRS = 'D';
inline constexpr char RDIR_END_MARK = '\r';  // an end-marker block: "\r%d" with the status
#define RDIR_END_MARK_FMT "\r%d"

// ---- batch worker ----
inline constexpr uint32_t MFILE_CMD_READ = 1;       // read files
inline constexpr uint32_t MFILE_CMD_MKDIR = 2;      // create directories
inline constexpr uint32_t MFILE_CMD_WRITE = 3;      // write files
inline constexpr uint32_t MFILE_CMD_REMOVE = 4;     // remove files
inline constexpr uint32_t MFILE_CMD_CLEAR_DIR = 5;  // remove every non-directory of the base

// Data block head of command 1: big-endian word, then the payload.
inline constexpr uint32_t MFILE_HEAD_OPEN_FAILED = 0x80000000u;
inline constexpr uint32_t MFILE_HEAD_READ_FAILED = 0x40000000u;
inline constexpr uint32_t MFILE_HEAD_LEN_MASK = 0x3fffffffu;
inline constexpr uint32_t RDIR_MAX_MLEN = MFILE_HEAD_LEN_MASK;
inline constexpr int MFILE_HEAD_SIZE = 4;
inline constexpr int MFILE_FAIL_BLOCK_SIZE = 8;  // a failure head always carries a 4-byte status

// Result texts.
#define MFILE_STATUS_FMT "%d\t"            // commands 2, 4 and 5 per entry
#define MFILE_WRITE_RESULT_FMT "%d\t%d\n"  // command 3: stage, bytes written or status
#define MFILE_CLEAR_DIR_OPEN_FAILED_FMT "D\t%d\t$"
inline constexpr const char* MFILE_CLEAR_DIR_BEGIN = "F\t";
inline constexpr const char* MFILE_CLEAR_DIR_END = "$";
inline constexpr char MFILE_END_BLOCK = '\n';  // the one-byte block that ends every command

// Stages of a command 3 result.
inline constexpr int MFILE_STAGE_OK = 0;
inline constexpr int MFILE_STAGE_OPEN = 1;   // opening the file or making the link failed
inline constexpr int MFILE_STAGE_WRITE = 2;  // writing the data failed
