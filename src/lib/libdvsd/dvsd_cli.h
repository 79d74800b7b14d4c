// Client of the dvsd file server: connections, remote files and directories, control requests.
//
// Handles are opaque. Every handle starts with a 32-bit kind word: 0 a connection
// (dvsd_cli_ctx), 1 a file (dvsd_cli_file), 2 a directory (dvsd_cli_dir). Functions that take
// "any handle" (void*) resolve it to its connection with cli_get_ctx; file and directory handles
// are owned by their connection and freed with it when still open at dvsd_cli_exit/drop.
//
// Outcome: every operation on a connection leaves its outcome in the connection's last error
// (the err_info given to connect, or the connection's own record when none was given), read back
// with dvsd_cli_get_error / dvsd_cli_get_error_str. On success the record holds code 0 and no
// text. On failure an operation returns -1 (a null handle, or all bits set where the result is
// unsigned) and the record holds:
//   server refusal          the server's error number and text, unchanged
//   socket failure          the socket's status code (VERR_NET_IO_ERROR when none), its text
//   malformed reply         VERR_NET_PROTOCOL_ERROR "read data content error"
//   time-out, cut frame     VERR_TIMEOUT "read data timeout"
//   no memory, field lost   VERR_NO_MEMORY "memory allocation failed"
//   user stop               VERR_NET_USER_STOP "user stop"
//   bad payload             -1 "unkown error=7" (a packed payload that does not unpack to the
//                           length its reply states, or cannot be packed)
//   short write             VERR_WRITE_ERROR "short write: asked %u bytes, server wrote %u"
//   older server            VERR_NOT_IMPLEMENTED "not supported, please upgrade dvsd to the
//                           latest version" (no request is sent)
//   bad argument            VERR_INVALID_PARAMETER with a text (no request is sent)
//
// Threads: dvsd_cli_init/uninit run once on the main thread, before and after every connection.
// A connection and all its handles are used by one thread at a time; only dvsd_cli_stop may be
// called from another thread while an operation runs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libdvsd/sd_wire.h"
#include "libnet/sock_cli.h"
#include "libpal/verr.h"

struct dvsd_cli_ctx;   // kind 0
struct dvsd_cli_file;  // kind 1
struct dvsd_cli_dir;   // kind 2

inline constexpr uint32_t DVSD_CLI_KIND_CTX = 0;
inline constexpr uint32_t DVSD_CLI_KIND_FILE = 1;
inline constexpr uint32_t DVSD_CLI_KIND_DIR = 2;

// An offset meaning "at the handle's current position".
inline constexpr uint64_t DVSD_CLI_CUR_POS = UINT64_MAX;
// A control data length meaning "the data is a text: send it with its terminating zero".
inline constexpr uint32_t DVSD_CLI_TEXT = UINT32_MAX;
// A write that the server reports shorter than asked.
inline constexpr verr VERR_WRITE_ERROR = -112;

inline constexpr int DVSD_CLI_DEFAULT_PORT = 6688;      // dvp://
inline constexpr int DVSD_CLI_DEFAULT_TLS_PORT = 6686;  // dvps://
// Largest data amount of one read or write request ("mblock-size" is clamped to it) and largest
// output a control request asks for: a packed block of this size and its fields fit one frame.
inline constexpr uint32_t DVSD_CLI_MAX_BLOCK = 15u << 20;
// Block size that a failed large read falls back to for the rest of the connection.
inline constexpr uint32_t DVSD_CLI_RESTART_BLOCK = 0x32000;

inline constexpr char DVSD_CLI_NOT_SUPPORTED[] =
    "not supported, please upgrade dvsd to the latest version";

// ---- records ----------------------------------------------------------------------------------

// Stat of a path or an open file, in the server's units. Without the extended set (servers before
// 1.5.3) the nanosecond fields are 0 and the fields after them are left as they were.
struct dvsd_stat {
    uint32_t type = 0;
    uint32_t attrib_mode = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint64_t len = 0;
    uint64_t time_access = 0;
    uint32_t time_access_ns = 0;
    uint64_t time_write = 0;
    uint32_t time_write_ns = 0;
    uint64_t time_create = 0;
    uint32_t time_create_ns = 0;
    uint64_t st_nlink = 0;
    uint64_t st_dev = 0;
    uint64_t st_rdev = 0;
    uint64_t st_ino = 0;
    uint64_t st_blksize = 0;
    uint64_t st_blocks = 0;
};

// One directory entry: its stat record first, then the server's second text and the name.
struct dvsd_dirent {
    dvsd_stat st;
    char info[512] = {};
    char name[4096] = {};
};

// Times of an open file (dvsd_cli_futimes); nanoseconds are sent to servers of 1.5.3 or later.
struct dvsd_times {
    uint64_t time_access = 0;
    uint32_t time_access_ns = 0;
    uint64_t time_write = 0;
    uint32_t time_write_ns = 0;
    uint64_t time_create = 0;
    uint32_t time_create_ns = 0;
};

// File and device geometry of an open file (local control code 0).
struct dvsd_geometry {
    uint32_t type = 0;
    uint64_t len = 0;
    uint64_t offset = 0;
    uint32_t sector_bytes = 0;
    char info[128] = {};
};

// Ranged request on an open file (local control code 4).
struct dvsd_range {
    uint32_t type = 0;
    uint64_t offset = 0;
    uint64_t len = 0;
};

// File-system space of a path.
struct dvsd_statfs {
    uint32_t flags = 0;
    uint32_t name_len = 0;
    uint64_t avail_bytes = 0;
    uint64_t free_bytes = 0;
    uint64_t total_bytes = 0;
    char fs_name[16] = {};
    char vol_name[256] = {};
};

// Attributes applied by dvsd_cli_set_stat / dvsd_cli_fset_stat, as in a stat line's attribute
// record (times in whole seconds).
struct dvsd_attr {
    int32_t type = 0;
    uint32_t mode = 0;
    uint32_t attr = 0;
    uint64_t ctime = 0;
    uint64_t mtime = 0;
    uint64_t atime = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
};

// ---- library and connections --------------------------------------------------------------------

// Once per process before any connection; a second call does nothing. Returns 0.
int dvsd_cli_init();
// Undoes dvsd_cli_init when it had run.
void dvsd_cli_uninit();

// Connects to a "dvp://[user[:password]@]host[:port][/path][?options]" URL (user and password
// %-escaped), logs in when `login` is set, agrees on the packer and reads the server's version.
// Options: connect_timeout, read_timeout, write_timeout (seconds), pack ("lz4" or "none"),
// mblock-size, rdir-size, sock-bufsize (size texts), ssl-cipher, proxy, proxy_url; values that
// are absent, not positive or unusable take their defaults, sizes above DVSD_CLI_MAX_BLOCK are
// clamped to it. "dvps" runs TLS over the connection; its server certificate is accepted as it
// is unless ssl-ca=FILE (the chain and the URL's host checked against that CA file) or
// ssl-pin=SHA256 (the hex SHA-256 of the server's DER certificate) is given; reconnects check
// it the same way. Returns the connection, or nullptr with `err` (may be null) holding why:
//   VERR_INVALID_PARAMETER  the URL is not a dvp/dvps URL with a host and a valid port
//   VERR_GENERAL_FAILURE    "ssl_cli_connect failed: ..." with why the TLS handshake or the
//                           certificate check failed
//   the connect's status    the TCP connect failed (sock_tcp_connect's code and text)
//   the login's outcome     the login was refused or failed (as any operation's outcome)
// `cancel` (may be null) can end the connect and every later wait of the connection.
// The connection is tunnelled through a proxy when "proxy_url" (a proxy URL, base64-encoded) or
// "proxy" (a profile of the proxy profile file) is given, or else `http_proxy` is set
// (conf_proxy_get); a proxy that cannot be chosen fails the connect with VERR_INVALID_PARAMETER
// and conf_proxy_get's text, a failed tunnel with proxy_tcp_connect's status and text.
dvsd_cli_ctx* dvsd_cli_connect3_imp(const char* url, sock_cancel* cancel, bool login,
                                    err_info* err);
dvsd_cli_ctx* dvsd_cli_connect(const char* url, err_info* err);
dvsd_cli_ctx* dvsd_cli_connect_ex(const char* url, sock_cancel* cancel, err_info* err);
dvsd_cli_ctx* dvsd_cli_connect_nologin(const char* url, err_info* err);

// Closes every open file and directory handle (with their close requests when `send_quit` is set),
// sends the quit request when `send_quit` is set and the socket is up, and frees the connection
// with everything it owns. Returns the frame status of the quit request (0 when none was sent).
// A null context returns 0.
int dvsd_cli_exit_imp(dvsd_cli_ctx* ctx, bool send_quit);
int dvsd_cli_exit(dvsd_cli_ctx* ctx);
int dvsd_cli_drop(dvsd_cli_ctx* ctx);

// Ends the connection so that the server throws away everything it opened: no close request for
// open files or directories (a close would put an unfinished file in place), only the quit,
// which ends the server's context at once rather than keeping it for a repair. The quit is sent
// even after a stop, waiting at most a second, and not at all when an earlier send ended part-way
// or repair failed (the server then lets the context expire). Frees the connection; 0 when the
// quit went out.
int dvsd_cli_abandon(dvsd_cli_ctx* ctx);

// Replaces the connection's socket by a new one to the same server (through the same proxy, with
// the same cancel hook) and logs in again with the saved credentials. Keeps everything else:
// packer, version marks, counters, open handles (whose server numbers are stale), the stop flag. 0,
// or -1 with the last error: VERR_TIMEOUT "connect timeout error" when the connect failed,
// VERR_NET_USER_STOP when the connection was asked to stop, or the login's outcome.
int dvsd_cli_reconnect(dvsd_cli_ctx* ctx);

// Switches repair on: the server is asked to keep the connection's context for a re-attach
// (101) and for its address (102). From then on a request whose response does not arrive is
// repeated on a new connection attached to that context (at most 3 connects, retried only after
// a time-out); the caller sees only the delay. A repair that fails leaves the connection refusing
// all traffic (status 3; status 6 when the user stopped it). 0, or -1 with the last error (repair
// then stays off).
int dvsd_cli_set_auto_reconnect(dvsd_cli_ctx* ctx);
// Switches repair off (before a close, whose requests must not be repeated). 0, or -1 for a null
// connection.
int dvsd_cli_clear_auto_reconnect(dvsd_cli_ctx* ctx);

// A version text "a[.b[.c[.d]]]" as a number, 16 bits per part, the first highest: versions
// compare as these numbers do. 0 for a text that is not one to four numbers.
uint64_t dvsd_cli_version_number(const char* text);

// Reads the server information (request 4) and sets the version marks. 0 or -1.
int dvsd_cli_ver_info(dvsd_cli_ctx* ctx);

// The connection of any handle, and (when `object` is not null) the server number of a file or
// directory; a connection leaves `object` untouched. nullptr for a null handle or an unknown kind.
dvsd_cli_ctx* cli_get_ctx(void* handle, uint64_t* object);

// Last error of the handle's connection. "invalid handle" / -1 for an unusable handle.
const char* dvsd_cli_get_error_str(void* handle);
verr dvsd_cli_get_error(void* handle);
// Stores `code` without text in the connection's record.
void dvsd_cli_set_last_errno(void* handle, verr code);
// Copies the connection's record to `dst`; nothing for an unusable handle.
void dvsd_cli_copy_error(void* handle, err_info* dst);
// The server's "os_type" from the password login (0 when never received). Returns 0.
int dvsd_cli_get_os_type(dvsd_cli_ctx* ctx, int32_t* os_type);
// The server version text ("" before dvsd_cli_ver_info succeeded).
const char* dvsd_cli_get_version(dvsd_cli_ctx* ctx);

// ---- files --------------------------------------------------------------------------------------

// Open by path and flags (request 10). Flag 0x10000 needs server 1.6.7.
dvsd_cli_file* dvsd_cli_open(dvsd_cli_ctx* ctx, const char* path, int32_t flags);
// Open by path, flag and mode (request 25).
dvsd_cli_file* dvsd_cli_open2(dvsd_cli_ctx* ctx, const char* path, int32_t flag, int32_t mode);
// Open with access, sharing and disposition numbers (request 24); passed to the server unchanged.
// `security_attributes` is not sent.
dvsd_cli_file* dvsd_cli_wopen(dvsd_cli_ctx* ctx, const char* path, uint32_t desired_access,
                              uint32_t share_mode, const void* security_attributes,
                              uint32_t creation_disposition, uint32_t flags_and_attributes,
                              uint32_t template_handle);
// Sends the close request when the socket is up and frees the handle in every case.
// 0, or -1 when the close request failed.
int dvsd_cli_close(dvsd_cli_file* file);

// Reads `len` bytes at `offset` (DVSD_CLI_CUR_POS: at the position) in requests of at most the
// block size. Returns the bytes read: `len`, or fewer at the end of the file; -1 on failure, even
// when some requests succeeded (the position then counts what was read). A failed request of more
// than 204800 bytes, on a connection that has never read 2 MiB at once, is retried once on a new
// connection with 204800-byte requests (not after a user stop or a "not found" / "no such device"
// refusal).
int64_t dvsd_cli_read(dvsd_cli_file* file, void* buf, uint32_t len, uint64_t offset);
// One read request of `len` bytes whose packed data is copied unchanged into `buf`, which must
// hold zcomp_bound(len) bytes; `*packed_len` receives its length. Returns the unpacked length the
// server states (at most `len`), or -1. The position is not changed.
int64_t dvsd_cli_read_packed(dvsd_cli_file* file, void* buf, uint32_t len, uint32_t* packed_len,
                             uint64_t offset);
// Writes `len` bytes at `offset` in requests of at most the block size, packed with the
// connection's packer. Returns `len`, or -1 (also when the server wrote less than a request
// carried: VERR_WRITE_ERROR). The position counts what was written.
int64_t dvsd_cli_write(dvsd_cli_file* file, const void* data, uint32_t len, uint64_t offset);
// Reads sent ahead of their answers (with a server that offers it; otherwise each post waits for
// its answer), at explicit offsets, at most the block size each. Every post is collected, in the
// order of the posts, before any other request goes on the connection; a failed post or collect
// with others posted leaves the connection unusable (close it). A post is 0 or -1 (not supported
// where the server lacks positional I/O: use dvsd_cli_read); a collect gives the bytes placed in
// `buf` (`len` as posted) or -1.
int dvsd_cli_post_read(dvsd_cli_file* file, uint32_t len, uint64_t offset);
int64_t dvsd_cli_collect_read(dvsd_cli_file* file, void* buf, uint32_t len);
// The block size of the connection: the most one read or write request carries.
uint32_t dvsd_cli_block_size(const dvsd_cli_ctx* ctx);
// Whether reads may be posted ahead on this connection (the server offers it and
// takes explicit offsets).
bool dvsd_cli_can_post_io(const dvsd_cli_ctx* ctx);
// One write request carrying already packed data that unpacks to `len` bytes. 0 or -1 (a short
// write included). The position is not changed.
int dvsd_cli_write_packed(dvsd_cli_file* file, const void* packed, uint32_t len,
                          uint32_t packed_len, uint64_t offset);
// Ranged write request (server 1.5.2); returns the server's count or -1.
int64_t dvsd_cli_pwritex(dvsd_cli_file* file, uint32_t mode, uint32_t len, uint64_t offset);
// Seek (whence 0 set, 1 current, 2 end). Returns the new position, DVSD_CLI_CUR_POS on failure.
uint64_t dvsd_cli_seek(dvsd_cli_file* file, int64_t offset, int32_t whence);
// Sets the file's length and refreshes the position. 0 or -1.
int dvsd_cli_ftruncate(dvsd_cli_file* file, uint64_t len);
// Stat of a path (following / not following a final symbolic link). 0 or -1.
int dvsd_cli_stat(dvsd_cli_ctx* ctx, const char* path, dvsd_stat* st);
int dvsd_cli_lstat(dvsd_cli_ctx* ctx, const char* path, dvsd_stat* st);
// Stores a whole small file (request 9) on the connection of any handle. 0 or -1 (a short write
// included).
int dvsd_cli_put_small_file(void* handle, const char* path, const char* name, const void* data,
                            uint32_t len, uint32_t flags);
// Server-side read / write time-out of the file, in milliseconds. 0 or -1.
int dvsd_cli_set_fd_read_timeout(dvsd_cli_file* file, int32_t timeout_ms);
int dvsd_cli_set_fd_write_timeout(dvsd_cli_file* file, int32_t timeout_ms);
// Request 14 on the file (its number only); its meaning is the server's. 0 or -1.
int dvsd_cli_fd_request(dvsd_cli_file* file);

// ---- directories --------------------------------------------------------------------------------

// Opens a directory listing (request 41); `pattern` may be null.
dvsd_cli_dir* dvsd_cli_opendir(dvsd_cli_ctx* ctx, const char* path, const char* pattern);
// The next entry, valid until the next readdir or the close; nullptr at the end (last error 0) or
// on failure (last error set). A failed batch fetch closes the connection's socket.
dvsd_dirent* dvsd_cli_readdir(dvsd_cli_dir* dir);
// Sends the close request when the socket is up and frees the handle in every case. 0 or -1.
int dvsd_cli_closedir(dvsd_cli_dir* dir);
// Entries handed out so far.
uint64_t dvsd_cli_telldir(dvsd_cli_dir* dir);
// Repositions the listing; the next read fetches a new batch. 0 or -1.
int dvsd_cli_seekdir(dvsd_cli_dir* dir, uint64_t pos);

// The server's directory lister (server 1.7.8).
int dvsd_cli_rdir_open(dvsd_cli_ctx* ctx, const char* dir, uint32_t flag, int32_t timeout_ms);
int dvsd_cli_rdir_close(dvsd_cli_ctx* ctx);
int dvsd_cli_rdir_enum(dvsd_cli_ctx* ctx, const char* dir);
// Next block of listing lines into `buf` (at most `size` bytes). Bytes delivered or -1.
int64_t dvsd_cli_rdir_read(dvsd_cli_ctx* ctx, char* buf, uint32_t size);

// The server's batched small-file worker (server 1.7.8).
int dvsd_cli_mfile_open(dvsd_cli_ctx* ctx, int32_t buffer_size, int32_t list_timeout_ms);
int dvsd_cli_mfile_close(dvsd_cli_ctx* ctx);
// Next result block into `buf` (at most `size` bytes). Bytes delivered or -1.
int64_t dvsd_cli_mfile_list_ret(dvsd_cli_ctx* ctx, char* buf, uint32_t size);
// Worker command `code` (10133 to 10136, 10138) with a base directory and a list, either may be
// null. Another code is VERR_INVALID_PARAMETER without a request. 0 or -1.
int dvsd_cli_mfile_cmd(dvsd_cli_ctx* ctx, int32_t code, const char* base, const char* list);
// The same command and a collection of results (at most `size` bytes) posted ahead of their
// answers, as dvsd_cli_post_ioctl2 posts; the command's answer is collected with no output, the
// results' with dvsd_cli_collect_ioctl2. A collection posted where the worker will have nothing
// to hand over waits on the server for the worker's time-out. 0 or -1.
int dvsd_cli_mfile_post(dvsd_cli_ctx* ctx, int32_t code, const char* base, const char* list);
int dvsd_cli_mfile_post_results(dvsd_cli_ctx* ctx, uint32_t size);

// Applies attributes to a path on the connection of any handle / to an open file. 0 or -1.
int dvsd_cli_set_stat(void* handle, const char* path, const dvsd_attr* attr);
// dvsd_cli_set_stat posted ahead of its answer (see dvsd_cli_post_ioctl2), and the collection
// of that answer in the order of the posts. 0 or -1; the collection gives 1 when the server
// refused the request (its status is the last error; the connection goes on).
int dvsd_cli_post_set_stat(dvsd_cli_ctx* ctx, const char* path, const dvsd_attr* attr);
int dvsd_cli_collect_set_stat(dvsd_cli_ctx* ctx);
int dvsd_cli_fset_stat(dvsd_cli_file* file, const dvsd_attr* attr);

// ---- control requests -------------------------------------------------------------------------

// Local codes of dvsd_cli_ioctl: what `data` points at.
enum : int32_t {
    DVSD_IOCTL_GEOMETRY = 0,     // dvsd_geometry (out)
    DVSD_IOCTL_ERROR_CLASS = 1,  // uint32_t (out): class of the last server error, no request
    DVSD_IOCTL_FSTAT = 2,        // dvsd_stat (out)
    DVSD_IOCTL_FUTIMES = 3,      // dvsd_times (in)
    DVSD_IOCTL_FRANGE = 4,       // dvsd_range (in)
};
// Context control codes (request 8 on the connection itself, decimal texts): the server keeps a
// connection's context so that a new connection can take over its work after a break.
enum : int32_t {
    DVSD_IOCTL2_CTX_INIT = SD_CTL_CTX_INIT,          // "0": keep this context for a re-attach
    DVSD_IOCTL2_GET_CTX_ADDR = SD_CTL_CTX_GET_ADDR,  // out: the context's address
    DVSD_IOCTL2_GET_LAST_CMD_IDX =
        SD_CTL_CTX_LAST_INDEX,                   // address ("0": own) -> index of its last request
    DVSD_IOCTL2_ATTACH_CTX = SD_CTL_CTX_ATTACH,  // address: work on that context from now on
    DVSD_IOCTL2_ATTACH_CTX_REPLY =
        SD_CTL_CTX_ATTACH_REPLY,  // address: the same, answered by its last response
    DVSD_IOCTL2_CTX_RUN_STATUS =
        SD_CTL_CTX_RUN_STATUS,                       // address -> "1" while a request of it runs
    DVSD_IOCTL2_CTX_REQ_STOP = SD_CTL_CTX_REQ_STOP,  // address: end its connection's waits
    DVSD_IOCTL2_CTX_PIPE = SD_CTL_CTX_PIPE,          // depth: keep that many responses
    DVSD_IOCTL2_CTX_ATTACH_FROM = SD_CTL_CTX_ATTACH_FROM,  // "address index": attach, replay
};
// Control codes with a meaning for the client (their numbers: sd_wire.h).
enum : int32_t {
    DVSD_IOCTL_GET_CONF = SD_CTL_GET_CONF,
    DVSD_IOCTL_SET_CONF = SD_CTL_SET_CONF,
    DVSD_IOCTL_PACK = SD_CTL_PACK,
    DVSD_IOCTL_MKDIRS = SD_CTL_MKDIRS,
    DVSD_IOCTL_SET_TIMES = SD_CTL_SET_TIMES,
    DVSD_IOCTL_SET_TIMES2 = SD_CTL_SET_TIMES2,
    DVSD_IOCTL_RMDIR2 = SD_CTL_RMDIR2,
    DVSD_IOCTL_REMOVE2 = SD_CTL_REMOVE2,
    DVSD_IOCTL_SET_STAT = SD_CTL_SET_STAT,
    DVSD_IOCTL_FSET_STAT = SD_CTL_FSET_STAT,
    DVSD_IOCTL_SEEKDIR = SD_CTL_SEEKDIR,
    DVSD_IOCTL_FD_READ_TIMEOUT =
        SD_CTL_FD_READ_TIMEOUT,  // without output; with output: disk-health queries
    DVSD_IOCTL_FD_WRITE_TIMEOUT = SD_CTL_FD_WRITE_TIMEOUT,
    DVSD_IOCTL_HASH_INIT = SD_CTL_HASH_INIT,
    DVSD_IOCTL_BCOUNT_INIT = SD_CTL_BCOUNT_INIT,
    DVSD_IOCTL_PWRITEX = SD_CTL_PWRITEX,
    DVSD_IOCTL_10109 = SD_CTL_10109,
    DVSD_IOCTL_HASH_MAX = SD_CTL_HASH_MAX,
    DVSD_IOCTL_VSS_MOUNT = SD_CTL_VSS_MOUNT,
    DVSD_IOCTL_HASH_GET2 = SD_CTL_HASH_GET2,
    DVSD_IOCTL_RDIR_OPEN = SD_CTL_RDIR_OPEN,
    DVSD_IOCTL_RDIR_CLOSE = SD_CTL_RDIR_CLOSE,
    DVSD_IOCTL_RDIR_ENUM = SD_CTL_RDIR_ENUM,
    DVSD_IOCTL_RDIR_READ = SD_CTL_RDIR_READ,
    DVSD_IOCTL_MFILE_OPEN = SD_CTL_MFILE_OPEN,
    DVSD_IOCTL_MFILE_CLOSE = SD_CTL_MFILE_CLOSE,
    DVSD_IOCTL_MFILE_LIST_RET = SD_CTL_MFILE_LIST_RET,
    DVSD_IOCTL_MFILE_READ = SD_CTL_MFILE_READ,
    DVSD_IOCTL_MFILE_MKDIR = SD_CTL_MFILE_MKDIR,
    DVSD_IOCTL_MFILE_WRITE = SD_CTL_MFILE_WRITE,
    DVSD_IOCTL_MFILE_REMOVE = SD_CTL_MFILE_REMOVE,
    DVSD_IOCTL_MFILE_EMPTY = SD_CTL_MFILE_EMPTY,
};

// Control request without output on any handle (its number; 0 for a connection). Codes 0 to 4
// are the local codes above. `len` DVSD_CLI_TEXT sends `data` as a text with its zero. 0 or -1.
int dvsd_cli_ioctl(void* handle, int32_t code, void* data, uint32_t len);
// Control request with output (request 8). At most `out_capacity` bytes of the output go to `out`
// (may be null); their count goes to `*out_len` (may be null). 0 or -1.
int dvsd_cli_ioctl2(void* handle, int32_t code, const void* data, uint32_t len, void* out,
                    uint32_t out_capacity, uint32_t* out_len);

// Control requests with output sent ahead of their answers, when the server offers it ("pipe" in
// its information; otherwise each post waits for its answer, as dvsd_cli_ioctl2 does). Every post
// is collected, in the order of the posts, before any other request goes on the connection; a
// post waits only when the connection's window is full. dvsd_cli_collect_ioctl2 takes the oldest
// answer as dvsd_cli_ioctl2 hands out its output. 0 or -1 (a failed post or collect with others
// posted leaves the connection unusable: it must be closed).
int dvsd_cli_post_ioctl2(void* handle, int32_t code, const void* data, uint32_t len,
                         uint32_t out_capacity);
int dvsd_cli_collect_ioctl2(dvsd_cli_ctx* ctx, void* out, uint32_t out_capacity, uint32_t* out_len);
// Takes the oldest posted answer, whatever request it answers, and drops it: 0, or -1 when the
// connection failed.
int dvsd_cli_collect_discard(dvsd_cli_ctx* ctx);
// Requests the connection keeps in flight at most: 1 without the server's offer.
uint32_t dvsd_cli_pipe_window(const dvsd_cli_ctx* ctx);
// Posts whose answers have not been collected yet. A failed collect that leaves the others in
// place (a refusal by the server) keeps this count one lower; one that broke the connection leaves
// it at 0.
size_t dvsd_cli_pipe_pending(const dvsd_cli_ctx* ctx);

// Wrappers over the local codes. get_size / get_offset return all bits set on failure.
uint64_t dvsd_cli_get_size(void* handle);
uint64_t dvsd_cli_get_offset(void* handle);
int dvsd_cli_fstat(void* handle, dvsd_stat* st);
int dvsd_cli_futimes(void* handle, const dvsd_times* times);
int dvsd_cli_frange(void* handle, uint32_t type, uint64_t offset, uint64_t len);

// Information requests. The texts are cut to `size` bytes, terminating zero included.
int dvsd_cli_lsblk(dvsd_cli_ctx* ctx, char* buf, uint32_t size);
int dvsd_cli_info(dvsd_cli_ctx* ctx, char* buf, uint32_t size);
// The server's information text as the connection learned it when it logged in (null for a
// null handle): what dvsd_cli_info would answer, without a round trip.
const char* dvsd_cli_server_info(const dvsd_cli_ctx* ctx);
int dvsd_cli_statfs(dvsd_cli_ctx* ctx, const char* path, dvsd_statfs* out);

// Server settings text ("key=value" records separated by "\r\n"), cut to `size` bytes. Returns
// the output length or -1.
int64_t dvsd_cli_get_conf(dvsd_cli_ctx* ctx, char* buf, uint32_t size);
// `*deny` = 1 when the server's "allow_set_readonly" is "0", else 0 (also on servers before
// 1.6.1). 0 or -1.
int dvsd_cli_deny_set_readonly(dvsd_cli_ctx* ctx, int* deny);
// Stores server settings (at most 8181 characters); "user" and "passwd" values are enciphered
// with the login key. 0 or -1.
int dvsd_cli_set_conf(void* handle, const char* text);
// Eleven counters of the server (typed list of u64) for `text`. 0 or -1.
int dvsd_cli_get_counters(void* handle, const char* text, uint64_t counters[11]);

// Named control operations.
int dvsd_cli_mkdirs(void* handle, const char* path);
int dvsd_cli_set_times(void* handle, const char* path, const dvsd_times* times);
int dvsd_cli_set_times2(void* handle, const char* path, const dvsd_times* times);
int dvsd_cli_rmdir2(void* handle, const char* path, int32_t flag);   // server 1.7.8
int dvsd_cli_remove2(void* handle, const char* path, int32_t flag);  // server 1.7.8
// Hash and block-count set-up on an open file; output text into `out` (may be null).
int dvsd_cli_hash_init(dvsd_cli_file* file, uint32_t block_count, uint32_t a, uint32_t b,
                       const char* text, char* out, uint32_t out_size);
int dvsd_cli_bcount_init(dvsd_cli_file* file, int32_t a, uint32_t b, int32_t c, const char* text,
                         char* out, uint32_t out_size);
// Control 10109 (server 1.6.2; older servers: 0 without a request).
int dvsd_cli_ioctl_10109(dvsd_cli_file* file, uint32_t a, uint32_t b, char* out, uint32_t out_size);
// Largest hash block count: the server's number (1023 before 1.6.3), or -1.
int64_t dvsd_cli_hash_max(void* handle);
// Output (at most 4096 bytes) into `out`. Server 1.6.7.
int dvsd_cli_vss_mount(void* handle, const char* text, char* out, uint32_t out_size);
// Output into `out`; a null `out` sends nothing and returns 0. Server 1.6.8.
int dvsd_cli_hash_get2(void* handle, char* out, uint32_t out_size);

// Control codes without a meaning for the client, by the shape of their argument text. Each
// refuses (VERR_INVALID_PARAMETER, no request) a code that does not take that shape; texts
// ("%s") must not hold a tab. Without output:
int dvsd_cli_ctl_s(void* handle, int32_t code, const char* s);  // 10013 10014 10015
int dvsd_cli_ctl_ss(void* handle, int32_t code, const char* s1, const char* s2);  // 10023 10024
int dvsd_cli_ctl_ssu(void* handle, int32_t code, const char* s1, const char* s2,
                     uint32_t u);  // 10016
// 10018 10019 10020 10022 10025 10026 10101
int dvsd_cli_ctl_su(void* handle, int32_t code, const char* s, uint32_t u);
int dvsd_cli_ctl_sul(void* handle, int32_t code, const char* s, uint32_t u,
                     uint64_t l);  // 10021
int dvsd_cli_ctl_suu(void* handle, int32_t code, const char* s, uint32_t u1,
                     uint32_t u2);                                          // 10027 10028
int dvsd_cli_ctl_sl(void* handle, int32_t code, const char* s, int64_t l);  // 10035
int dvsd_cli_ctl_u(void* handle, int32_t code, uint32_t u);                 // 10102 10104
int dvsd_cli_ctl_uu(void* handle, int32_t code, uint32_t u1, uint32_t u2);  // 10103
// With output (into `out`, `*out_len` the output length; both may be null):
// 10002, 10101: any text; 10003: "%s"; 10004, 10005: "%s\t%s"; 10104, 10107: "%lld\t%u";
// 10105: "%u"; 10112: no text.
int dvsd_cli_ctl_out(void* handle, int32_t code, const char* text, char* out, uint32_t out_size,
                     uint32_t* out_len);

// Disk-health queries run by the server; `*size` holds the capacity of `buf` on entry and the
// output length on return (scan: `capacity`). 0 or -1.
int dvsd_cli_smart_scan(dvsd_cli_ctx* ctx, char* buf, uint32_t capacity);
int dvsd_cli_smart_info(dvsd_cli_ctx* ctx, const char* device, char* buf, uint32_t* size);
int dvsd_cli_smart_test(dvsd_cli_ctx* ctx, const char* device, const char* test_type, char* buf,
                        uint32_t* size);
int dvsd_cli_smart_abort(dvsd_cli_ctx* ctx, const char* device, char* buf, uint32_t* size);

// What a connection sent and waited for since it was made (reconnects included, the repeats of a
// repair left out): requests, and waits, the receives of a response that the sender could not
// overlap with sending more. In lock-step every request is one wait.
struct dvsd_cli_traffic {
    uint64_t requests = 0;
    uint64_t waits = 0;
};
// The connection's traffic; zeros for a null connection. The connection's thread, or another
// once the connection is idle.
void dvsd_cli_get_traffic(const dvsd_cli_ctx* ctx, dvsd_cli_traffic* out);

// Id of the connection's codec (0 "none", 1 "lz4"); -1 for an unusable handle.
int dvsd_cli_get_pack_id(void* handle);

// Asks every wait of the connection to give up (status VERR_NET_USER_STOP); may be called from
// any thread. The stop stays in force, also across a reconnect, for the life of the connection.
// Returns 0.
int dvsd_cli_stop(dvsd_cli_ctx* ctx);
