// Connections: library set-up, connect and login, server information, reconnect, close, handle
// resolution and the last-error accessors; and the request helpers every operation uses.
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "libdvsd/cli_internal.h"
#include "libnet/proxy_cli.h"
#include "libpal/url.h"
#include "libpwd/libpwd.h"
#include "libssl/ssl.h"

namespace {

constexpr int32_t kDefaultConnectTimeoutMs = 4000;
constexpr int32_t kDefaultReadTimeoutMs = 10000;
constexpr int32_t kDefaultWriteTimeoutMs = 8000;
constexpr uint32_t kDefaultBlockSize = 10u << 20;
constexpr uint32_t kDefaultRdirSize = 1u << 20;
constexpr uint32_t kDefaultSockBufsize = 0;  // the kernel sizes the buffers, growing with the link
constexpr uint32_t kMaxSockBufsize = 64u << 20;
constexpr size_t kCipherMax = 47;
constexpr size_t kProxyNameMax = 255;
constexpr size_t kInfoSize = 4096;
// How long the quit of an abandoned connection may wait for the socket.
constexpr int32_t kAbandonTimeoutMs = 1000;
constexpr const char* kDefaultPacker = "lz4";
constexpr const char* kProbeUser = ":";
// "errno" of a probe that the server refuses because it wants credentials.
constexpr int32_t kProbeNeedsLogin = 1;

std::atomic<bool> g_initialised{false};

uint32_t load_be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void copy_text(char* dst, size_t size, const char* src) {
    snprintf(dst, size, "%s", src != nullptr ? src : "");
}

// ---- options ----

struct cli_options {
    int32_t connect_timeout_ms = kDefaultConnectTimeoutMs;
    int32_t read_timeout_ms = kDefaultReadTimeoutMs;
    int32_t write_timeout_ms = kDefaultWriteTimeoutMs;
    std::string pack = kDefaultPacker;
    std::string proxy_url;
    std::string proxy;
    uint32_t block_size = kDefaultBlockSize;
    uint32_t rdir_size = kDefaultRdirSize;
    uint32_t sock_bufsize = kDefaultSockBufsize;
    std::string cipher;
    std::string ssl_ca;
    std::string ssl_pin;
};

// Seconds of option `key` in milliseconds; `def_ms` when absent or not positive.
int32_t option_ms(const char* query, const char* key, int32_t def_ms) {
    const int64_t seconds = url_get_query_int64(query, key, 0);
    if (seconds <= 0) return def_ms;
    return static_cast<int32_t>(std::min<int64_t>(seconds, INT32_MAX / 1000) * 1000);
}

uint32_t option_size(const char* query, const char* key, uint32_t def, uint32_t max) {
    const uint64_t size = url_get_query_size(query, key, def);
    if (size == 0) return def;
    if (size > max) {
        CLI_LOG(LOG_WARN, "%s=%llu is above %u, %u used\n", key,
                static_cast<unsigned long long>(size), max, max);
        return max;
    }
    return static_cast<uint32_t>(size);
}

std::string option_text(const char* query, const char* key) {
    std::vector<char> buf(PL_MAX_URL);
    url_get_query(query, key, "", buf.data(), buf.size());
    return buf.data();
}

cli_options read_options(const char* query) {
    cli_options o;
    o.connect_timeout_ms = option_ms(query, "connect_timeout", kDefaultConnectTimeoutMs);
    o.read_timeout_ms = option_ms(query, "read_timeout", kDefaultReadTimeoutMs);
    o.write_timeout_ms = std::min(option_ms(query, "write_timeout", kDefaultWriteTimeoutMs),
                                  o.read_timeout_ms - 1000);
    o.pack = option_text(query, "pack");
    if (o.pack.empty() || o.pack.size() >= ZCOMP_NAME_SIZE) o.pack = kDefaultPacker;
    o.proxy_url = option_text(query, "proxy_url");
    o.proxy = option_text(query, "proxy");
    if (o.proxy.size() > kProxyNameMax) o.proxy.resize(kProxyNameMax);
    o.block_size = option_size(query, "mblock-size", kDefaultBlockSize, DVSD_CLI_MAX_BLOCK);
    o.rdir_size = option_size(query, "rdir-size", kDefaultRdirSize, DVSD_CLI_MAX_BLOCK);
    o.sock_bufsize = option_size(query, "sock-bufsize", kDefaultSockBufsize, kMaxSockBufsize);
    o.cipher = option_text(query, "ssl-cipher");
    if (o.cipher.size() > kCipherMax) o.cipher.resize(kCipherMax);
    o.ssl_ca = option_text(query, "ssl-ca");
    o.ssl_pin = option_text(query, "ssl-pin");
    return o;
}

// The proxy of a connection, from "proxy_url" (a proxy URL in base64, where "-", "_" and ","
// may stand for "+", "/" and "="; a plain URL is taken as it is) and "proxy" (a profile name).
// 0 with `proxy` filled (type none for a direct connection), or -1 with `err` holding why.
int choose_proxy(const cli_options& o, conf_proxy* proxy, err_info* err) {
    std::string url;
    err_info why{};
    if (!o.proxy_url.empty()) {
        if (o.proxy_url.find("://") != std::string::npos) {
            url = o.proxy_url;
        } else if (!proxy_base64_decode(o.proxy_url, &url) || url.size() >= PL_MAX_URL) {
            // Not shown: the text may hold a password.
            ERR_INFO_SET(err, VERR_INVALID_PARAMETER, "proxy url [***] invalid");
            CLI_LOG(LOG_ERR, "proxy_url is not base64\n");
            return -1;
        }
    }
    const int chosen = conf_proxy_get(url.c_str(), o.proxy.c_str(), proxy, &why);
    if (chosen < 0) {
        CLI_LOG(LOG_ERR, "proxy: %s\n", err_info_str(&why));
        err_info_copy(err, &why);
        return -1;
    }
    if (chosen == 1) *proxy = conf_proxy{};
    return 0;
}

// ---- login ----

int cli_init1(dvsd_cli_ctx* ctx, const char* user, const char* passwd) {
    cli_msg_begin(ctx);
    ctx->msg.add_string(SDF_USER, user);
    ctx->msg.add_string(SDF_PASSWD, libpwd_sha_pwd(passwd).c_str());
    size_t len = 0;
    int rc = cli_exchange(ctx, SD_REQ_LOGIN, &len);
    CLI_LOG(LOG_VERB, "client_recv_response len=%zu\n", len);
    if (rc != SD_FRAME_OK) {
        CLI_LOG(LOG_DBG, "client_recv_response ret=%d error: %s\n", rc, sd_frame_status_str(rc));
        return rc;
    }
    const blob_attr* tb[SD_LOGIN_COUNT];
    rc = cli_parse(ctx, SD_REQ_LOGIN, false, tb, SD_LOGIN_COUNT, len, "blobmsg_parse");
    if (rc == SD_FRAME_DATA_ERROR) return rc;
    if (tb[SD_LOGIN_OS_TYPE] != nullptr) ctx->os_type = blobmsg_get_int32(tb[SD_LOGIN_OS_TYPE]);
    return rc;
}

int cli_init2(dvsd_cli_ctx* ctx, int32_t* server_ver, std::string* cert) {
    cli_msg_begin(ctx);
    ctx->msg.add_string(SDF_USER, ctx->user.c_str());
    ctx->msg.add_int32(SDF_VER, 1);
    const blob_attr* tb[SD_KEY_LOGIN_COUNT];
    const int rc =
        cli_request(ctx, SD_REQ_KEY_LOGIN1, false, tb, SD_KEY_LOGIN_COUNT, "blobmsg_parse");
    if (rc != SD_FRAME_OK) return rc;
    *server_ver = blobmsg_get_int32(tb[SD_KEY_LOGIN_VER]);
    cert->assign(blobmsg_get_string(tb[SD_KEY_LOGIN_CERT]));
    if (cert->size() > CLI_CERT_MAX) cert->resize(CLI_CERT_MAX);
    return SD_FRAME_OK;
}

int cli_init3(dvsd_cli_ctx* ctx) {
    cli_msg_begin(ctx);
    ctx->msg.add_string(SDF_LKEY, ctx->login_key);
    const blob_attr* tb[SD_STATUS_COUNT];
    return cli_request(ctx, SD_REQ_KEY_LOGIN2, false, tb, SD_STATUS_COUNT, "blobmsg_parse");
}

int cli_key_login(dvsd_cli_ctx* ctx) {
    int32_t server_ver = 0;
    std::string cert;
    int rc = cli_init2(ctx, &server_ver, &cert);
    if (rc != SD_FRAME_OK) return rc;
    if (libpwd_build_key(ctx->user.c_str(), ctx->passwd.c_str(), server_ver, cert.c_str(),
                         ctx->login_key, sizeof ctx->login_key) != 0) {
        return SD_FRAME_NO_MEMORY;
    }
    return cli_init3(ctx);
}

// Probe without credentials first: a server that admits anybody never sees the password.
int cli_login(dvsd_cli_ctx* ctx) {
    int rc = cli_init1(ctx, kProbeUser, "");
    if (rc != SD_FRAME_SRV_ERROR) return rc;
    if (ctx->frame.srv_errno != kProbeNeedsLogin) return SD_FRAME_SRV_ERROR;
    if (ctx->frame.peer_protocol != SD_FRAME_PROTOCOL) return cli_key_login(ctx);
    return cli_init1(ctx, ctx->user.c_str(), ctx->passwd.c_str());
}

// ---- server information ----

std::string_view trim_blanks(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

// The value of `key` in an information text ("key=[value]" lines) into `out` (`cap` bytes);
// false, leaving `out` empty, when the key is absent, its line has no brackets or the value does
// not fit.
bool info_value(std::string_view info, const char* key, char* out, size_t cap) {
    out[0] = '\0';
    while (!info.empty()) {
        const size_t nl = info.find('\n');
        const std::string_view line = info.substr(0, nl);
        info.remove_prefix(nl == std::string_view::npos ? info.size() : nl + 1);
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos || trim_blanks(line.substr(0, eq)) != key) continue;
        const size_t open = line.find('['), close = line.rfind(']');
        if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
            return false;
        }
        const std::string_view value = line.substr(open + 1, close - open - 1);
        if (value.size() >= cap) return false;
        memcpy(out, value.data(), value.size());
        out[value.size()] = '\0';
        return true;
    }
    return false;
}

// ---- connect steps ----

void free_ctx(dvsd_cli_ctx* ctx) {
    net_close(&ctx->net);
    delete ctx;
}

// The TLS handshake on the connection's fresh socket, with the certificate check its options
// ask for. On failure `err` says why and the socket has no channel.
bool tls_connect(dvsd_cli_ctx* ctx, err_info* err) {
    ssl_verify verify;
    verify.host = ctx->host;
    verify.ca_file = ctx->ssl_ca;
    verify.pin = ctx->ssl_pin;
    return ssl_cli_connect(nullptr, &ctx->net, ctx->cipher.c_str(), ctx->connect_timeout_ms,
                           &verify, err) != nullptr;
}

int send_packer_choice(dvsd_cli_ctx* ctx) {
    const std::string name = ctx->pack_name;
    const int rc = cli_file_ioctl(ctx, 0, DVSD_IOCTL_PACK, name.c_str(), name.size() + 1);
    return cli_outcome(ctx, rc);
}

}  // namespace

// ---- helpers ------------------------------------------------------------------------------------

uint64_t cli_version_number(const char* text) {
    if (text == nullptr) return 0;
    uint64_t packed = 0;
    int parts = 0;
    const char* p = text;
    while (true) {
        if (*p < '0' || *p > '9') return 0;
        uint32_t number = 0;
        for (int digits = 0; *p >= '0' && *p <= '9'; ++p, ++digits) {
            if (digits >= 5) return 0;
            number = number * 10 + static_cast<uint32_t>(*p - '0');
        }
        if (number > 0xffff) return 0;
        packed |= uint64_t{number} << (48 - 16 * parts);
        ++parts;
        if (*p == '\0') break;
        if (*p != '.' || parts == 4) return 0;
        ++p;
    }
    if ((packed >> 48) == 0) return 0;
    return packed;
}

bool cli_ver_at_least(const dvsd_cli_ctx* ctx, const char* version) {
    const uint64_t have = cli_version_number(ctx->ver);
    return have != 0 && have >= cli_version_number(version);
}

int cli_not_supported(dvsd_cli_ctx* ctx) {
    return cli_fail(ctx, VERR_NOT_IMPLEMENTED, DVSD_CLI_NOT_SUPPORTED);
}

int cli_fail(dvsd_cli_ctx* ctx, verr code, const char* text) {
    ERR_INFO_SET(ctx->last_error, code, "%s", text);
    return -1;
}

void cli_msg_begin(dvsd_cli_ctx* ctx) {
    ctx->msg.reset();
}

int cli_exchange(dvsd_cli_ctx* ctx, uint8_t code, size_t* len) {
    *len = 0;
    if (!ctx->msg.ok()) {
        CLI_LOG(LOG_ERR, "request %u lost a field, not sent\n", code);
        return SD_FRAME_NO_MEMORY;
    }
    // A stopped connection starts no new exchange.
    if (ctx->net.stop.load(std::memory_order_acquire) != 0) return SD_FRAME_USER_STOP;
    int rc = dvsd_send_request(&ctx->frame, code, ctx->msg);
    CLI_LOG(LOG_VERB, "client_send_reqest ret=%d\n", rc);
    if (rc != SD_FRAME_OK) return rc;
    rc = client_recv_response(&ctx->frame, len);
    if (rc != SD_FRAME_OK) CLI_LOG(LOG_DBG, "client_recv_response ret=%d\n", rc);
    return rc;
}

int cli_send_only(dvsd_cli_ctx* ctx, uint8_t code) {
    if (!ctx->msg.ok()) return SD_FRAME_NO_MEMORY;
    return dvsd_send_request(&ctx->frame, code, ctx->msg);
}

int cli_parse(dvsd_cli_ctx* ctx, int code, bool extended, const blob_attr** tb, size_t count,
              size_t len, const char* what) {
    const auto table = sd_reply_table(code, extended);
    const std::vector<uint8_t>& reply = ctx->frame.reply;
    if (table.size() != count || len < BLOB_ATTR_HEADER_SIZE || reply.size() < len) {
        CLI_LOG(LOG_ERR, "%s: no reply table of %zu fields for request %d\n", what, count, code);
        return SD_FRAME_DATA_ERROR;
    }
    const size_t root_len = load_be32(reply.data()) & BLOB_ATTR_LEN_MASK;
    if (root_len < BLOB_ATTR_HEADER_SIZE || root_len > len ||
        cli_blobmsg_parse(table.data(), static_cast<int>(count), tb,
                          reply.data() + BLOB_ATTR_HEADER_SIZE,
                          root_len - BLOB_ATTR_HEADER_SIZE) != 0) {
        CLI_LOG(LOG_ERR, "%s\n", what);
        return SD_FRAME_DATA_ERROR;
    }
    const int32_t srv_errno = blobmsg_get_int32(tb[SD_ERRNO]);
    ctx->frame.srv_errno = srv_errno;
    if (srv_errno != 0) {
        copy_text(ctx->frame.srv_errstr, sizeof ctx->frame.srv_errstr,
                  blobmsg_get_string(tb[SD_ERRNO_STR]));
        return SD_FRAME_SRV_ERROR;
    }
    ctx->frame.srv_errstr[0] = '\0';
    return SD_FRAME_OK;
}

int cli_request(dvsd_cli_ctx* ctx, uint8_t code, bool extended, const blob_attr** tb, size_t count,
                const char* what) {
    size_t len = 0;
    const int rc = cli_exchange(ctx, code, &len);
    if (rc != SD_FRAME_OK) return rc;
    return cli_parse(ctx, code, extended, tb, count, len, what);
}

int cli_outcome(dvsd_cli_ctx* ctx, int status) {
    ctx->frame.last_error = ctx->last_error;
    dvsd_cli_set_last_error(&ctx->frame, status);
    return status == SD_FRAME_OK ? 0 : -1;
}

int cli_add_packed(dvsd_cli_ctx* ctx, const void* data, size_t len) {
    const size_t capacity = zcomp_bound(len);
    if (capacity == 0) return SD_FRAME_UNPACK_ERROR;
    blob_attr* field = ctx->msg.reserve(SDF_DATA, capacity);
    if (field == nullptr) return SD_FRAME_NO_MEMORY;
    const int packed = zcomp_compress(&ctx->pack, data, len, blobmsg_data(field), capacity);
    if (packed < 0) {
        CLI_LOG(LOG_DBG, "sdcomp_pack len=%zu ret=%d\n", len, packed);
        return SD_FRAME_UNPACK_ERROR;
    }
    if (!ctx->msg.trim(field, static_cast<size_t>(packed))) return SD_FRAME_NO_MEMORY;
    return SD_FRAME_OK;
}

int cli_set_packer(dvsd_cli_ctx* ctx, const char* name) {
    copy_text(ctx->pack_name, sizeof ctx->pack_name, name);
    copy_text(ctx->pack.name, sizeof ctx->pack.name, name);
    return zcomp_init(&ctx->pack);
}

void cli_forget_file(dvsd_cli_file* file) {
    auto& files = file->ctx->files;
    std::erase_if(files, [file](const auto& f) { return f.get() == file; });
}

void cli_forget_dir(dvsd_cli_dir* dir) {
    auto& dirs = dir->ctx->dirs;
    std::erase_if(dirs, [dir](const auto& d) { return d.get() == dir; });
}

std::string cli_format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    const int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n));
        vsnprintf(out.data(), out.size() + 1, fmt, again);
    }
    va_end(again);
    return out;
}

// ---- library ------------------------------------------------------------------------------------

int dvsd_cli_init() {
    CLI_LOG(LOG_VERB, "==>\n");
    // Sockets need no process-wide set-up (sends never raise SIGPIPE), the codec table is
    // constant and the reply tables are compile-time data.
    if (g_initialised.exchange(true)) return 0;
    libssl_init();
    return 0;
}

void dvsd_cli_uninit() {
    if (g_initialised.exchange(false)) libssl_exit();
}

// ---- connect ------------------------------------------------------------------------------------

dvsd_cli_ctx* dvsd_cli_connect3_imp(const char* url, sock_cancel* cancel, bool login,
                                    err_info* err) {
    std::vector<char> storage(PL_MAX_URL);
    url_info info;
    const int parsed = url_parser(&info, storage.data(), url);
    if (parsed != 0 || url_get_type(&info) != URL_TYPE_DVP || info.host[0] == '\0') {
        ERR_INFO_SET(err, VERR_INVALID_PARAMETER, "invalid dvsd url");
        return nullptr;
    }
    const bool tls = strcasecmp(info.protocol, "dvps") == 0;
    const uint16_t port =
        info.port != 0 ? info.port : (tls ? DVSD_CLI_DEFAULT_TLS_PORT : DVSD_CLI_DEFAULT_PORT);
    const cli_options o = read_options(info.query);
    conf_proxy proxy;
    if (choose_proxy(o, &proxy, err) != 0) return nullptr;

    sock_opt opt;
    opt.connect_timeout_ms = o.connect_timeout_ms;
    opt.sock_bufsize = o.sock_bufsize;
    opt.proxy = &proxy;
    opt.cancel = cancel;
    const sock_handle sock = sock_tcp_connect(info.host, port, &opt, err);
    if (sock == 0) {
        CLI_LOG(LOG_DBG, "sock_connect ip=%s port=%d connect_timeout=%d buf_size=%d failed\n",
                info.host, port, o.connect_timeout_ms, o.sock_bufsize);
        return nullptr;
    }

    dvsd_cli_ctx* ctx = new (std::nothrow) dvsd_cli_ctx;
    if (ctx == nullptr) {
        sock_close(sock);
        ERR_INFO_SET(err, VERR_NO_MEMORY, nullptr);
        return nullptr;
    }
    ctx->kind = DVSD_CLI_KIND_CTX;
    ctx->net.sock = sock;
    ctx->net.timeout_ms = o.read_timeout_ms;
    ctx->net.cancel = cancel;
    if (err != nullptr) ctx->last_error = err;
    ctx->frame.stream = &ctx->stream;
    ctx->frame.last_error = ctx->last_error;
    ctx->block_size = o.block_size;
    ctx->rdir_size = o.rdir_size;
    ctx->host = info.host;
    ctx->port = port;
    ctx->sock_bufsize = o.sock_bufsize;
    ctx->connect_timeout_ms = o.connect_timeout_ms;
    ctx->read_timeout_ms = o.read_timeout_ms;
    ctx->write_timeout_ms = o.write_timeout_ms;
    ctx->tls = tls;
    ctx->cipher = o.cipher;
    ctx->ssl_ca = o.ssl_ca;
    ctx->ssl_pin = o.ssl_pin;
    ctx->user = info.user;
    ctx->passwd = info.passwd;
    ctx->proxy = std::move(proxy);
    copy_text(ctx->pack_name, sizeof ctx->pack_name, o.pack.c_str());

    if (tls && !tls_connect(ctx, ctx->last_error)) {
        CLI_LOG(LOG_DBG, "ssl_cli_connect failed\n");
        // The reason stays in the text; the code is that of every TLS failure.
        ctx->last_error->code = VERR_GENERAL_FAILURE;
        free_ctx(ctx);
        return nullptr;
    }

    // The client's own codec starts as "none" so that nothing is packed before the server has
    // agreed on a packer.
    if (cli_set_packer(ctx, "none") != 0) {
        ERR_INFO_SET(ctx->last_error, VERR_NO_MEMORY, "pack init failed");
        free_ctx(ctx);
        return nullptr;
    }
    copy_text(ctx->pack_name, sizeof ctx->pack_name, o.pack.c_str());

    if (login) {
        const int rc = cli_login(ctx);
        if (rc != SD_FRAME_OK) {
            CLI_LOG(LOG_DBG, "cli_init ret=%d\n", rc);
            cli_outcome(ctx, rc);
            free_ctx(ctx);
            return nullptr;
        }
    }
    CLI_LOG(LOG_VERB, "ip=%s port=%d sock_bufsize=%d block_size=%d rdir_size=%d\n",
            ctx->host.c_str(), port, o.sock_bufsize, o.block_size, o.rdir_size);
    CLI_LOG(LOG_VERB, "connect_timeout=%d read_timeout=%d write_timeout=%d\n", o.connect_timeout_ms,
            o.read_timeout_ms, o.write_timeout_ms);
    CLI_LOG(LOG_VERB, "user=[%s] passwd=[%s] pack=[%s] bssl=[%d] cipher=[%s]\n", ctx->user.c_str(),
            libpwd_log_mask(ctx->passwd.c_str()), ctx->pack_name, tls ? 1 : 0, ctx->cipher.c_str());

    if (send_packer_choice(ctx) != 0 || dvsd_cli_ver_info(ctx) != 0) {
        free_ctx(ctx);
        return nullptr;
    }
    return ctx;
}

namespace {

// Requests a connection keeps in flight at most, whatever the server offers.
constexpr uint32_t kPipeWindowMax = 64;

// Response bytes on the way at most: the memory of responses read ahead of their collection,
// and what a server keeps for a replay.
constexpr size_t kPipeReplyBytesMax = size_t{32} << 20;

// The window of requests sent ahead, from the server's "pipe" offer, and the socket's buffers
// that keep the two directions from filling at once (sd_frame_conn). Without the offer, one
// exchange at a time.
void cli_pipe_setup(dvsd_cli_ctx* ctx, std::string_view info) {
    char value[16];
    uint32_t offered = 0;
    if (info_value(info, "pipe", value, sizeof value)) {
        offered = static_cast<uint32_t>(
            std::min<unsigned long>(strtoul(value, nullptr, 10), kPipeWindowMax));
    }
    const auto buffer = [&](int option) {
        int bytes = 0;
        socklen_t optlen = sizeof bytes;
        if (getsockopt(sock_fd(ctx->net.sock), SOL_SOCKET, option, &bytes, &optlen) != 0) return 0;
        // Half of it: TLS records and the kernel's own bookkeeping take their share.
        return std::max(bytes, 0) / 2;
    };
    const int rcvbuf = offered > 1 ? buffer(SO_RCVBUF) : 0;
    const int sndbuf = offered > 1 ? buffer(SO_SNDBUF) : 0;
    if (rcvbuf <= 0 || sndbuf <= 0) offered = 0;
    ctx->frame.window = ctx->frame.window_max = std::max<uint32_t>(offered, 1);
    ctx->frame.window_bytes = offered > 1 ? kPipeReplyBytesMax : 0;
    ctx->frame.sock_reply_bytes = static_cast<size_t>(rcvbuf);
    ctx->frame.sock_request_bytes = static_cast<size_t>(sndbuf);
    CLI_LOG(LOG_VERB, "pipe window=%u bytes=%zu socket=%d/%d\n", ctx->frame.window,
            ctx->frame.window_bytes, rcvbuf, sndbuf);
}

}  // namespace

dvsd_cli_ctx* dvsd_cli_connect(const char* url, err_info* err) {
    return dvsd_cli_connect3_imp(url, nullptr, true, err);
}

dvsd_cli_ctx* dvsd_cli_connect_ex(const char* url, sock_cancel* cancel, err_info* err) {
    return dvsd_cli_connect3_imp(url, cancel, true, err);
}

dvsd_cli_ctx* dvsd_cli_connect_nologin(const char* url, err_info* err) {
    return dvsd_cli_connect3_imp(url, nullptr, false, err);
}

int dvsd_cli_ver_info(dvsd_cli_ctx* ctx) {
    if (ctx == nullptr) return -1;
    std::vector<char> info(kInfoSize);
    if (dvsd_cli_info(ctx, info.data(), static_cast<uint32_t>(info.size())) != 0) return -1;
    const std::string_view text(info.data());
    try {
        ctx->server_info.assign(text);
    } catch (const std::bad_alloc&) {
        return cli_fail(ctx, VERR_NO_MEMORY, "no memory for the server information");
    }
    info_value(text, "ver", ctx->ver, sizeof ctx->ver);
    info_value(text, "plat", ctx->plat, sizeof ctx->plat);
    info_value(text, "arch", ctx->arch, sizeof ctx->arch);
    info_value(text, "bit", ctx->bit, sizeof ctx->bit);
    info_value(text, "order", ctx->order, sizeof ctx->order);
    info_value(text, "is_root", ctx->is_root, sizeof ctx->is_root);
    ctx->ext_stat = cli_ver_at_least(ctx, CLI_VER_EXT_STAT);
    ctx->pos_io = cli_ver_at_least(ctx, CLI_VER_POS_IO);
    ctx->windows = strcmp(ctx->plat, "windows") == 0;
    cli_pipe_setup(ctx, text);
    CLI_LOG(LOG_VERB, "ver=%s os=%s.%s.%s order=%s is_root=%s\n", ctx->ver, ctx->plat, ctx->arch,
            ctx->bit, ctx->order, ctx->is_root);
    return 0;
}

const char* dvsd_cli_server_info(const dvsd_cli_ctx* ctx) {
    return ctx != nullptr ? ctx->server_info.c_str() : nullptr;
}

int dvsd_cli_reconnect(dvsd_cli_ctx* ctx) {
    if (ctx == nullptr) return -1;
    // Closing the handle clears its stop flag; a stop asked for must outlive the socket.
    const uint32_t stop = ctx->net.stop.load(std::memory_order_acquire);
    net_close(&ctx->net);
    ctx->net.stop.store(stop, std::memory_order_release);
    ctx->frame.send_failed = false;
    ctx->frame.send_incomplete = false;
    if (stop != 0) return cli_outcome(ctx, SD_FRAME_USER_STOP);

    // The same way as the first connect: where only the proxy reaches the server, a direct
    // connect would fail, and elsewhere it would quietly leave the proxy out.
    sock_opt opt;
    opt.connect_timeout_ms = ctx->connect_timeout_ms;
    opt.sock_bufsize = ctx->sock_bufsize;
    opt.proxy = &ctx->proxy;
    opt.cancel = ctx->net.cancel;
    err_info connect_error{};
    const sock_handle sock = sock_tcp_connect(ctx->host.c_str(), ctx->port, &opt, &connect_error);
    if (sock == 0) {
        CLI_LOG(LOG_DBG, "reconnect %s:%u: %s\n", ctx->host.c_str(), ctx->port,
                err_info_str(&connect_error));
        if (connect_error.code == VERR_NET_USER_STOP) return cli_outcome(ctx, SD_FRAME_USER_STOP);
        return cli_fail(ctx, VERR_TIMEOUT, "connect timeout error");
    }
    ctx->net.sock = sock;
    if (ctx->tls) {
        err_info tls_error{};
        if (!tls_connect(ctx, &tls_error)) {
            CLI_LOG(LOG_ERR, "reconnect %s:%u: %s\n", ctx->host.c_str(), ctx->port,
                    err_info_str(&tls_error));
            const uint32_t stop_asked = ctx->net.stop.load(std::memory_order_acquire);
            net_close(&ctx->net);
            ctx->net.stop.store(stop_asked, std::memory_order_release);
            return cli_fail(ctx, VERR_TIMEOUT, "ssl connect timeout error");
        }
    }
    const int rc = cli_login(ctx);
    if (rc != SD_FRAME_OK) return cli_outcome(ctx, rc);
    return 0;
}

int dvsd_cli_exit_imp(dvsd_cli_ctx* ctx, bool send_quit) {
    if (ctx == nullptr) return 0;
    CLI_LOG(LOG_VERB, "==>\n");
    for (auto& file : ctx->files) {
        if (send_quit && ctx->net.sock != 0) {
            cli_msg_begin(ctx);
            ctx->msg.add_int64(SDF_FD, file->fd);
            const blob_attr* tb[SD_STATUS_COUNT];
            cli_request(ctx, SD_REQ_CLOSE, false, tb, SD_STATUS_COUNT, "parse data error");
        }
    }
    for (auto& dir : ctx->dirs) {
        if (send_quit && ctx->net.sock != 0) {
            cli_msg_begin(ctx);
            ctx->msg.add_int64(SDF_FD, dir->fd);
            const blob_attr* tb[SD_STATUS_COUNT];
            cli_request(ctx, SD_REQ_CLOSEDIR, false, tb, SD_STATUS_COUNT, "parse data error");
        }
    }
    ctx->files.clear();
    ctx->dirs.clear();
    int rc = SD_FRAME_OK;
    if (send_quit && ctx->net.sock != 0) {
        cli_msg_begin(ctx);
        rc = cli_send_only(ctx, SD_REQ_QUIT);
    }
    free_ctx(ctx);
    CLI_LOG(LOG_VERB, "<==\n");
    return rc;
}

int dvsd_cli_exit(dvsd_cli_ctx* ctx) {
    return dvsd_cli_exit_imp(ctx, true);
}

int dvsd_cli_drop(dvsd_cli_ctx* ctx) {
    return dvsd_cli_exit_imp(ctx, false);
}

namespace {

// A socket closed with answers still unread in it is reset, and a reset may make the server's
// side drop what it had not read yet: the quit. So this side ends its sending and reads what
// comes until the server closes (a short while at most) before the socket goes.
void let_quit_arrive(int fd) {
    if (fd < 0 || shutdown(fd, SHUT_WR) != 0) return;
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kAbandonTimeoutMs);
    char sink[16384];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return;
        const ssize_t n = recv(fd, sink, sizeof sink, 0);
        if (n <= 0) return;
    }
}

}  // namespace

int dvsd_cli_abandon(dvsd_cli_ctx* ctx) {
    if (ctx == nullptr) return 0;
    CLI_LOG(LOG_VERB, "==>\n");
    // No close for open files: a close would put an unfinished file in place.
    ctx->files.clear();
    ctx->dirs.clear();
    int rc = SD_FRAME_NET_ERROR;
    if (ctx->net.sock != 0 && !ctx->frame.send_incomplete &&
        (!ctx->frame.repair_failed || ctx->frame.stopped_posted)) {
        // The quit is the last word on this connection, stop or not; it must not wait long
        // behind a server that stopped reading.
        ctx->net.stop.store(0, std::memory_order_release);
        ctx->net.timeout_ms = std::min(ctx->net.timeout_ms, kAbandonTimeoutMs);
        // Requests sent ahead are answered first (within the same short time), so that the quit
        // finds room on the way; the server then drops what they left unfinished.
        ctx->frame.repair_enabled = false;
        // A stop with requests posted left the stream whole: the quit may still go on it.
        if (ctx->frame.stopped_posted) ctx->frame.repair_failed = false;
        while (!ctx->frame.posted.empty() && !ctx->frame.repair_failed) {
            if (sd_frame_take_posted(&ctx->frame) != SD_FRAME_OK) break;
        }
        ctx->frame.posted.clear();
        ctx->frame.arrived.clear();
        cli_msg_begin(ctx);
        rc = cli_send_only(ctx, SD_REQ_QUIT);
        if (rc == SD_FRAME_OK) let_quit_arrive(sock_fd(ctx->net.sock));
    }
    free_ctx(ctx);
    return rc;
}

// ---- handles and errors -------------------------------------------------------------------------

dvsd_cli_ctx* cli_get_ctx(void* handle, uint64_t* object) {
    if (handle == nullptr) return nullptr;
    auto* head = static_cast<cli_handle_head*>(handle);
    switch (head->kind) {
        case DVSD_CLI_KIND_CTX:
            return static_cast<dvsd_cli_ctx*>(head);
        case DVSD_CLI_KIND_FILE: {
            auto* file = static_cast<dvsd_cli_file*>(head);
            if (object != nullptr) *object = file->fd;
            return file->ctx;
        }
        case DVSD_CLI_KIND_DIR: {
            auto* dir = static_cast<dvsd_cli_dir*>(head);
            if (object != nullptr) *object = dir->fd;
            return dir->ctx;
        }
        default:
            CLI_LOG(LOG_ERR, "invalid handle\n");
            return nullptr;
    }
}

const char* dvsd_cli_get_error_str(void* handle) {
    dvsd_cli_ctx* ctx = cli_get_ctx(handle, nullptr);
    return ctx != nullptr ? err_info_str(ctx->last_error) : "invalid handle";
}

verr dvsd_cli_get_error(void* handle) {
    dvsd_cli_ctx* ctx = cli_get_ctx(handle, nullptr);
    return ctx != nullptr ? ctx->last_error->code : VERR_GENERAL_FAILURE;
}

void dvsd_cli_set_last_errno(void* handle, verr code) {
    dvsd_cli_ctx* ctx = cli_get_ctx(handle, nullptr);
    if (ctx != nullptr) ERR_INFO_SET(ctx->last_error, code, nullptr);
}

void dvsd_cli_copy_error(void* handle, err_info* dst) {
    dvsd_cli_ctx* ctx = cli_get_ctx(handle, nullptr);
    if (ctx != nullptr) err_info_copy(dst, ctx->last_error);
}

int dvsd_cli_get_os_type(dvsd_cli_ctx* ctx, int32_t* os_type) {
    if (ctx != nullptr && os_type != nullptr) *os_type = ctx->os_type;
    return 0;
}

const char* dvsd_cli_get_version(dvsd_cli_ctx* ctx) {
    return ctx != nullptr ? ctx->ver : "";
}

int dvsd_cli_stop(dvsd_cli_ctx* ctx) {
    if (ctx != nullptr) ctx->net.stop.store(1, std::memory_order_release);
    return 0;
}

void dvsd_cli_get_traffic(const dvsd_cli_ctx* ctx, dvsd_cli_traffic* out) {
    *out = dvsd_cli_traffic{};
    if (ctx == nullptr) return;
    out->requests = ctx->frame.requests;
    out->waits = ctx->frame.waits;
}

int dvsd_cli_get_pack_id(void* handle) {
    dvsd_cli_ctx* ctx = cli_get_ctx(handle, nullptr);
    if (ctx == nullptr || !ctx->pack.codec) return -1;
    return zcomp_get_id(ctx->pack.codec.get());
}

uint64_t dvsd_cli_version_number(const char* text) {
    return cli_version_number(text);
}
