// Inside of the file-server client: the handle records and the request helpers shared by the
// cli_*.cc files. Not for other modules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "libconf/ini/conf_proxy.h"
#include "libdvsd/blobmsg.h"
#include "libdvsd/dvsd_cli.h"
#include "libdvsd/sd_frame.h"
#include "libdvsd/sd_msg.h"
#include "liblog/log2.h"
#include "libnet/net_sock.h"
#include "libpack/pack_ex.h"

#define CLI_LOG(level, ...) DV_LOG("sdcli", level, __VA_ARGS__)

// Feature gates: server versions packed by cli_version_number.
inline constexpr const char* CLI_VER_PWRITEX = "1.5.2";
inline constexpr const char* CLI_VER_EXT_STAT = "1.5.3";
inline constexpr const char* CLI_VER_HASH_INIT = "1.5.9";
inline constexpr const char* CLI_VER_READONLY_CONF = "1.6.1";
inline constexpr const char* CLI_VER_1_6_2 = "1.6.2";
inline constexpr const char* CLI_VER_1_6_3 = "1.6.3";
inline constexpr const char* CLI_VER_POS_IO = "1.6.4";
inline constexpr const char* CLI_VER_1_6_7 = "1.6.7";
inline constexpr const char* CLI_VER_HASH_GET2 = "1.6.8";
inline constexpr const char* CLI_VER_1_7_8 = "1.7.8";

// A read position meaning "fetch a new batch".
inline constexpr uint32_t CLI_DIR_NEED_BATCH = UINT32_MAX;
inline constexpr size_t CLI_LOGIN_KEY_SIZE = 41;
inline constexpr size_t CLI_CERT_MAX = 256;

// What every handle starts with.
struct cli_handle_head {
    uint32_t kind;
};

// The arguments of an open by access, sharing and disposition (request 24) that are sent.
struct cli_wopen_args {
    uint32_t desired_access = 0;
    uint32_t share_mode = 0;
    uint32_t creation_disposition = 0;
    uint32_t flags_and_attributes = 0;
    uint32_t template_handle = 0;
};

struct dvsd_cli_file final : cli_handle_head {
    dvsd_cli_ctx* ctx = nullptr;
    std::string path;
    int32_t flags = 0;  // open flags (request 10) or mode (request 25); 0 for request 24
    // How the file was opened, so that a restart opens it again the same way.
    uint8_t open_code = SD_REQ_OPEN;
    int32_t open2_flag = 0;  // request 25
    cli_wopen_args wopen;    // request 24
    uint64_t fd = 0;
    uint64_t position = 0;
    bool pending_read_timeout = false;
    bool pending_write_timeout = false;
};

struct dvsd_cli_dir final : cli_handle_head {
    dvsd_cli_ctx* ctx = nullptr;
    uint64_t fd = 0;
    std::vector<char> batch;  // empty until the first read
    uint32_t read_pos = CLI_DIR_NEED_BATCH;
    uint32_t batch_len = 0;
    dvsd_dirent entry;
    uint64_t handed_out = 0;
};

// Every field belongs to the thread that carries the connection's exchanges, except net.stop,
// which dvsd_cli_stop may set from any thread.
struct dvsd_cli_ctx final : cli_handle_head {
    net_handle net;
    net_sock_stream stream{&net};
    sd_frame_conn frame;  // reply buffer, counts, repair marks, last server error
    sd_frame_msg msg;
    err_info own_error{};
    err_info* last_error = &own_error;  // the caller's record when one was given
    char login_key[CLI_LOGIN_KEY_SIZE] = {};

    // What a reconnect needs.
    std::string host;
    uint16_t port = 0;
    uint32_t sock_bufsize = 0;
    int32_t connect_timeout_ms = 0;
    int32_t read_timeout_ms = 0;
    int32_t write_timeout_ms = 0;
    bool tls = false;
    std::string cipher;
    std::string ssl_ca;   // CA file the server's certificate must verify against
    std::string ssl_pin;  // fingerprint the server's certificate must have
    std::string user;
    std::string passwd;
    conf_proxy proxy;  // the tunnel of every connect; type none: direct

    uint32_t block_size = 0;
    uint32_t max_read = 0;  // largest amount one read request has returned
    uint32_t rdir_size = 0;
    int32_t os_type = 0;
    uint32_t data_written = 0;

    zcomp_ctx pack;
    char pack_name[ZCOMP_NAME_SIZE] = {};

    char ver[32] = {};
    char plat[64] = {};
    char arch[64] = {};
    char bit[8] = {};
    char order[16] = {};
    char is_root[4] = {};
    std::string server_info;  // the information text of the last login
    bool ext_stat = false;
    bool pos_io = false;
    bool windows = false;
    uint64_t ctx_addr = 0;        // server context of the repair layer
    bool auto_reconnect = false;  // a broken request may be repaired on a new connection
    bool pipe_armed = false;      // the server keeps responses for a replay of posted requests

    std::vector<std::unique_ptr<dvsd_cli_file>> files;
    std::vector<std::unique_ptr<dvsd_cli_dir>> dirs;
};

// ---- helpers (cli_conn.cc) ----------------------------------------------------------------------

// Packs a version text "a[.b[.c[.d]]]" into 64 bits, 16 per number, the first highest; 0 for a
// text that is not one to four numbers or whose first number is 0.
uint64_t cli_version_number(const char* text);
// Whether the connection's server is at least `version`.
bool cli_ver_at_least(const dvsd_cli_ctx* ctx, const char* version);
// Stores -12 and the "not supported" text; returns -1.
int cli_not_supported(dvsd_cli_ctx* ctx);
// Stores `code` and `text` in the last error; returns -1.
int cli_fail(dvsd_cli_ctx* ctx, verr code, const char* text);

// Empties the request message.
void cli_msg_begin(dvsd_cli_ctx* ctx);
// Sends the message as request `code` and receives the response; `*len` gets its padded length.
// A message that lost a field is not sent: SD_FRAME_NO_MEMORY.
int cli_exchange(dvsd_cli_ctx* ctx, uint8_t code, size_t* len);
// Sends without reading a response (quit).
int cli_send_only(dvsd_cli_ctx* ctx, uint8_t code);
// Parses the reply in the reply buffer (`len` from cli_exchange) with `code`'s table into `tb`
// (`count` entries): SD_FRAME_OK, SD_FRAME_SRV_ERROR (the server's number and text kept) or
// SD_FRAME_DATA_ERROR (logged as "`what`").
int cli_parse(dvsd_cli_ctx* ctx, int code, bool extended, const blob_attr** tb, size_t count,
              size_t len, const char* what);
// cli_exchange followed by cli_parse.
int cli_request(dvsd_cli_ctx* ctx, uint8_t code, bool extended, const blob_attr** tb, size_t count,
                const char* what);
// Records `status` as the operation's outcome; returns 0 for SD_FRAME_OK, else -1.
int cli_outcome(dvsd_cli_ctx* ctx, int status);

// Adds a "data" field of `len` bytes packed with the connection's packer and then trimmed:
// SD_FRAME_OK, SD_FRAME_NO_MEMORY (no room) or SD_FRAME_UNPACK_ERROR (packing failed).
int cli_add_packed(dvsd_cli_ctx* ctx, const void* data, size_t len);

// Re-creates the connection's codec under `name`; 0 or -1.
int cli_set_packer(dvsd_cli_ctx* ctx, const char* name);

// Frees a file / directory handle that is on its connection's list.
void cli_forget_file(dvsd_cli_file* file);
void cli_forget_dir(dvsd_cli_dir* dir);

// ---- repair (cli_repair.cc) ---------------------------------------------------------------------

// Repeats the exchange whose response did not arrive on a new connection attached to the same
// server context; the connection's receive calls it when repair is enabled. SD_FRAME_OK with the
// response in the reply buffer and `*out_len` its padded length; SD_FRAME_USER_STOP when a stop
// ended it; any other value when it failed.
int client_fix_last_error(dvsd_cli_ctx* ctx, size_t* out_len);
// The same for a break with requests posted (sd_frame_conn::repair_posted).
int client_fix_posted(dvsd_cli_ctx* ctx);
// Before the first request goes ahead on a connection with repair: has the server keep the
// responses of a window's requests (the window drops to 1 when it will not). A frame status.
int cli_pipe_arm(dvsd_cli_ctx* ctx);

// ---- control requests (cli_ctl.cc) -------------------------------------------------------------

// Posts control `code` on handle `fd` ahead of its answer (dvsd_post_request), whatever the code:
// the caller sees to it that a replay cannot meet it (a context code only before repair is on).
// A frame status.
int cli_post_ioctl(dvsd_cli_ctx* ctx, uint64_t fd, int32_t code, const void* data, uint32_t len,
                   uint32_t out_capacity);

// Request 20 on object `fd`: frame status.
int cli_file_ioctl(dvsd_cli_ctx* ctx, uint64_t fd, int32_t code, const void* data, size_t len);
// Request 8 on object `fd`: frame status; output handling as dvsd_cli_ioctl2.
int cli_ioctl_imp(dvsd_cli_ctx* ctx, uint64_t fd, int32_t code, const void* data, size_t len,
                  void* out, uint32_t out_capacity, uint32_t* out_len);
// A text control request without / with output on any handle, recorded: 0 or -1. The output is
// terminated within `out_size` when `out` is given (the terminating zero counts).
int cli_ctl_text(void* handle, int32_t code, const std::string& text);
int cli_ctl_text_out(void* handle, int32_t code, const std::string* text, char* out,
                     uint32_t out_size, uint32_t* out_len);
// Copies a parsed stat reply (10 or, with `extended`, 19 entries) into `st`.
void cli_fill_stat(const blob_attr* const* tb, bool extended, dvsd_stat* st);
// printf into a std::string.
std::string cli_format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
