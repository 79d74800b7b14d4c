#include "libssl/ssl.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/pk.h>
#include <mbedtls/sha256.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "liblog/log2.h"

#define SSL_LOG(level, ...) DV_LOG("ssl", level, __VA_ARGS__)

namespace {

using clock_type = std::chrono::steady_clock;

constexpr char kClientPersonalisation[] = "ssl_client";
constexpr char kServerPersonalisation[] = "dvsd_srv";
constexpr size_t kErrorTextSize = 512;
constexpr int kForcedSuites[] = {SSL_FORCED_CIPHERSUITE, 0};

std::string error_text(int code) {
    char text[kErrorTextSize] = "";
    mbedtls_strerror(code, text, sizeof text);
    return text;
}

// The entropy source and the generator seeded from it; mbedTLS locks the generator itself, so
// the handshakes of several threads may draw from one.
class random_source final {
  public:
    random_source() {
        mbedtls_ctr_drbg_init(&drbg_);
        mbedtls_entropy_init(&entropy_);
    }
    ~random_source() {
        mbedtls_ctr_drbg_free(&drbg_);
        mbedtls_entropy_free(&entropy_);
    }
    random_source(const random_source&) = delete;
    random_source& operator=(const random_source&) = delete;

    bool seed(std::string_view personalisation) {
        const int rc = mbedtls_ctr_drbg_seed(
            &drbg_, mbedtls_entropy_func, &entropy_,
            reinterpret_cast<const unsigned char*>(personalisation.data()), personalisation.size());
        if (rc != 0) SSL_LOG(LOG_ERR, "mbedtls_ctr_drbg_seed failed\n");
        return rc == 0;
    }
    void use_in(mbedtls_ssl_config* conf) {
        mbedtls_ssl_conf_rng(conf, mbedtls_ctr_drbg_random, &drbg_);
    }

  private:
    mbedtls_entropy_context entropy_;
    mbedtls_ctr_drbg_context drbg_;
};

class ssl_config final {
  public:
    ssl_config() { mbedtls_ssl_config_init(&conf_); }
    ~ssl_config() { mbedtls_ssl_config_free(&conf_); }
    ssl_config(const ssl_config&) = delete;
    ssl_config& operator=(const ssl_config&) = delete;

    // Defaults for `endpoint` over a stream; no peer certificate requested or checked here.
    bool set_up(int endpoint, random_source& rng, const int* suites) {
        if (mbedtls_ssl_config_defaults(&conf_, endpoint, MBEDTLS_SSL_TRANSPORT_STREAM,
                                        MBEDTLS_SSL_PRESET_DEFAULT) != 0) {
            SSL_LOG(LOG_ERR, "mbedtls_ssl_config_defaults failed\n");
            return false;
        }
        mbedtls_ssl_conf_ciphersuites(&conf_, suites);
        rng.use_in(&conf_);
        mbedtls_ssl_conf_authmode(&conf_, MBEDTLS_SSL_VERIFY_NONE);
        return true;
    }
    mbedtls_ssl_config* get() { return &conf_; }

  private:
    mbedtls_ssl_config conf_;
};

class x509_chain final {
  public:
    x509_chain() { mbedtls_x509_crt_init(&crt_); }
    ~x509_chain() { mbedtls_x509_crt_free(&crt_); }
    x509_chain(const x509_chain&) = delete;
    x509_chain& operator=(const x509_chain&) = delete;
    mbedtls_x509_crt* get() { return &crt_; }

  private:
    mbedtls_x509_crt crt_;
};

class private_key final {
  public:
    private_key() { mbedtls_pk_init(&pk_); }
    ~private_key() { mbedtls_pk_free(&pk_); }
    private_key(const private_key&) = delete;
    private_key& operator=(const private_key&) = delete;
    mbedtls_pk_context* get() { return &pk_; }

  private:
    mbedtls_pk_context pk_;
};

}  // namespace

// Two immutable configurations, so that a connect never changes what another one is using: the
// forced suite is chosen per connect by picking the configuration.
struct ssl_cli_conf final {
    random_source rng;
    ssl_config all_suites;
    ssl_config forced_suite;
};

struct ssl_srv_conf final {
    random_source rng;
    ssl_config conf;
    x509_chain chain;
    private_key key;
};

struct ssl_channel final {
    explicit ssl_channel(net_handle* h) : handle(h) { mbedtls_ssl_init(&ssl); }
    ~ssl_channel() { mbedtls_ssl_free(&ssl); }
    ssl_channel(const ssl_channel&) = delete;
    ssl_channel& operator=(const ssl_channel&) = delete;

    mbedtls_ssl_context ssl;
    net_handle* handle;
    std::shared_ptr<ssl_cli_conf> keep;  // the shared client configuration, while it is used
    bool handshake_done = false;
    // Set by the transport callbacks for the call in progress.
    bool waited_out = false;      // a wait ended without a byte moving
    bool carrier_failed = false;  // the socket failed or a stop was asked for: status is set
    // While a handshake runs, no wait goes beyond this.
    bool has_deadline = false;
    clock_type::time_point deadline;
};

namespace {

std::mutex g_shared_mutex;
std::shared_ptr<ssl_cli_conf> g_shared;  // protected by g_shared_mutex

std::unique_ptr<ssl_cli_conf> ssl_cli_conf_new() {
    SSL_LOG(LOG_VERB, "==>\n");
    auto conf = std::make_unique<ssl_cli_conf>();
    if (!conf->rng.seed(kClientPersonalisation) ||
        !conf->all_suites.set_up(MBEDTLS_SSL_IS_CLIENT, conf->rng,
                                 mbedtls_ssl_list_ciphersuites()) ||
        !conf->forced_suite.set_up(MBEDTLS_SSL_IS_CLIENT, conf->rng, kForcedSuites)) {
        return nullptr;
    }
    return conf;
}

std::shared_ptr<ssl_cli_conf> shared_conf() {
    std::lock_guard<std::mutex> lock(g_shared_mutex);
    if (!g_shared) {
        g_shared = ssl_cli_conf_new();
        if (!g_shared) SSL_LOG(LOG_ERR, "ssl_cli_conf_new failed\n");
    }
    return g_shared;
}

// The wait a transport callback may spend: the handle's time-out, cut to what is left of a
// handshake's deadline (a handle without a time-out then waits for the rest of the deadline).
// False when the deadline has passed.
bool wait_budget(const ssl_channel* ch, int32_t* ms) {
    *ms = ch->handle->timeout_ms;
    if (!ch->has_deadline) return true;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(ch->deadline - clock_type::now()).count();
    if (left <= 0) return false;
    const int32_t capped = static_cast<int32_t>(std::min<long long>(left, INT32_MAX));
    *ms = *ms > 0 ? std::min(*ms, capped) : capped;
    return true;
}

// Lends the handle a time-out for one call of its timed operations.
class timeout_override final {
  public:
    timeout_override(net_handle* handle, int32_t ms) : handle_(handle), saved_(handle->timeout_ms) {
        handle_->timeout_ms = ms;
    }
    ~timeout_override() { handle_->timeout_ms = saved_; }
    timeout_override(const timeout_override&) = delete;
    timeout_override& operator=(const timeout_override&) = delete;

  private:
    net_handle* handle_;
    int32_t saved_;
};

int transport_send(void* context, const unsigned char* buf, size_t len) {
    auto* ch = static_cast<ssl_channel*>(context);
    int32_t ms = 0;
    if (!wait_budget(ch, &ms)) {
        ch->waited_out = true;
        return MBEDTLS_ERR_SSL_WANT_WRITE;
    }
    const size_t chunk = std::min<size_t>(len, INT_MAX);
    ptrdiff_t n;
    {
        timeout_override lend(ch->handle, ms);
        n = net_sock_write(ch->handle, buf, chunk);
    }
    if (n > 0) return static_cast<int>(n);
    if (n == 0) {
        ch->waited_out = true;
        return MBEDTLS_ERR_SSL_WANT_WRITE;
    }
    ch->carrier_failed = true;
    return MBEDTLS_ERR_NET_SEND_FAILED;
}

// Takes what the socket holds; only when it holds nothing does it wait, through the handle's
// timed read, for one byte. 0 tells the library the peer has closed.
int transport_recv(void* context, unsigned char* buf, size_t len) {
    auto* ch = static_cast<ssl_channel*>(context);
    net_handle* handle = ch->handle;
    if (handle->disconnected) return 0;
    // The reader's deadline holds for records that trickle in as well.
    if (handle->read_deadline && clock_type::now() >= *handle->read_deadline) {
        handle->status = VERR_TIMEOUT;
        ch->waited_out = true;
        return MBEDTLS_ERR_SSL_WANT_READ;
    }
    const size_t chunk = std::min<size_t>(len, INT_MAX);
    errno = 0;
    const ptrdiff_t got = sock_recv(handle->sock, buf, chunk);
    if (got > 0) return static_cast<int>(got);
    if (got == 0) {
        handle->disconnected = true;
        handle->status = VERR_NET_NOT_CONNECTED;
        return 0;
    }
    if (got != VERR_TRY_AGAIN && got != VERR_INTERRUPTED) {
        handle->status = static_cast<verr>(got);
        ch->carrier_failed = true;
        return MBEDTLS_ERR_NET_RECV_FAILED;
    }
    int32_t ms = 0;
    if (!wait_budget(ch, &ms)) {
        ch->waited_out = true;
        return MBEDTLS_ERR_SSL_WANT_READ;
    }
    ptrdiff_t n;
    {
        timeout_override lend(handle, ms);
        n = net_sock_read(handle, buf, 1);
    }
    if (n == 1) return 1;
    if (n == 0) {
        if (handle->disconnected) return 0;
        ch->waited_out = true;
        return MBEDTLS_ERR_SSL_WANT_READ;
    }
    ch->carrier_failed = true;
    return MBEDTLS_ERR_NET_RECV_FAILED;
}

ssl_channel* channel_of(net_handle* handle) {
    return static_cast<ssl_channel*>(handle->ssl);
}

void free_hook(net_handle* handle) {
    ssl_channel_free(channel_of(handle));
    handle->ssl = nullptr;
    net_set_hooks(handle, nullptr, nullptr, nullptr);
}

// Whether nothing has moved on the handle for its time-out since `progress`.
bool stalled(const net_handle* handle, clock_type::time_point progress) {
    return clock_type::now() - progress >=
           std::chrono::milliseconds(std::max<int32_t>(handle->timeout_ms, 0));
}

bool is_retry(int rc) {
    return rc == MBEDTLS_ERR_SSL_WANT_READ || rc == MBEDTLS_ERR_SSL_WANT_WRITE;
}

// Repeats the handshake while the library waits for the peer, until the deadline. 0, a library
// code, or MBEDTLS_ERR_SSL_TIMEOUT when the deadline passed.
int run_handshake(ssl_channel* ch, int32_t timeout_ms) {
    ch->has_deadline = true;
    ch->deadline = clock_type::now() + std::chrono::milliseconds(std::max<int32_t>(timeout_ms, 1));
    int rc;
    for (;;) {
        ch->waited_out = false;
        rc = mbedtls_ssl_handshake(&ch->ssl);
        if (!is_retry(rc)) break;
        if (clock_type::now() >= ch->deadline) {
            rc = MBEDTLS_ERR_SSL_TIMEOUT;
            break;
        }
    }
    ch->has_deadline = false;
    ch->handshake_done = rc == 0;
    return rc;
}

// "mbedtls_ssl_handshake eno=%d err=[%s]" for the log and the caller's record.
std::string handshake_failure(const ssl_channel* ch, int rc, int32_t timeout_ms) {
    if (rc == MBEDTLS_ERR_SSL_TIMEOUT) {
        return "mbedtls_ssl_handshake eno=" + std::to_string(rc) + " err=[no handshake within " +
               std::to_string(timeout_ms) + " ms]";
    }
    std::string text =
        "mbedtls_ssl_handshake eno=" + std::to_string(rc) + " err=[" + error_text(rc) + "]";
    if (ch->carrier_failed) {
        text += " (" + std::string(verr2str(ch->handle->status)) + ")";
    }
    return text;
}

void install(net_handle* handle, ssl_channel* ch) {
    handle->ssl = ch;
    net_set_hooks(handle, ssl_recv_proc, ssl_send_proc, free_hook);
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Why a certificate that a verification option asks for was refused; "" when accepted.
std::string check_certificate(ssl_channel* ch, const ssl_verify& verify,
                              const ssl_sha256& fingerprint) {
    if (!verify.pin.empty()) {
        ssl_sha256 pin{};
        if (!ssl_parse_pin(verify.pin, &pin) || pin != fingerprint) {
            return "server certificate sha256=" + ssl_hex(fingerprint) + " does not match ssl-pin";
        }
    }
    if (!verify.ca_file.empty()) {
        x509_chain ca;
        const int rc = mbedtls_x509_crt_parse_file(ca.get(), verify.ca_file.c_str());
        if (rc != 0) {
            return "ssl-ca=" + verify.ca_file + ": cannot load CA certificates (" + error_text(rc) +
                   ")";
        }
        // The peer's chain as it was sent, checked here rather than in the handshake so that
        // the shared configurations stay untouched.
        auto* peer = const_cast<mbedtls_x509_crt*>(mbedtls_ssl_get_peer_cert(&ch->ssl));
        uint32_t flags = 0;
        if (mbedtls_x509_crt_verify(peer, ca.get(), nullptr, verify.host.c_str(), &flags, nullptr,
                                    nullptr) != 0) {
            char info[kErrorTextSize] = "";
            mbedtls_x509_crt_verify_info(info, sizeof info, "", flags);
            std::string why = info;
            std::replace(why.begin(), why.end(), '\n', ';');
            while (!why.empty() && (why.back() == ';' || why.back() == ' ')) why.pop_back();
            return "server certificate not verified with ssl-ca=" + verify.ca_file + " for host " +
                   verify.host + ": " + why;
        }
    }
    return {};
}

bool is_address_literal(const std::string& host) {
    return host.find(':') != std::string::npos || std::all_of(host.begin(), host.end(), [](char c) {
               return c == '.' || (c >= '0' && c <= '9');
           });
}

int net_open_tls(net_handle* handle, int32_t timeout_ms) {
    return ssl_cli_connect(nullptr, handle, "", timeout_ms) != nullptr ? 0 : -1;
}

}  // namespace

int libssl_init() {
    shared_conf();
    net_ssl_set_proc(ssl_recv_proc, ssl_send_proc);
    net_tls_set_connect(net_open_tls);
    return 0;
}

int libssl_exit() {
    net_tls_set_connect(nullptr);
    std::lock_guard<std::mutex> lock(g_shared_mutex);
    g_shared.reset();
    return 0;
}

namespace {

ssl_channel* cli_connect(ssl_cli_conf* conf, net_handle* handle, const char* cipher,
                         int32_t timeout_ms, const ssl_verify* verify, err_info* err) {
    std::shared_ptr<ssl_cli_conf> keep;
    if (conf == nullptr) {
        keep = shared_conf();
        conf = keep.get();
        if (conf == nullptr) {
            ERR_INFO_SET(err, VERR_GENERAL_FAILURE,
                         "ssl_cli_connect failed: ssl_cli_conf_new failed");
            return nullptr;
        }
    }
    // A pin that cannot match anything is a typing error: said before any handshake.
    ssl_sha256 pin{};
    if (verify != nullptr && !verify->pin.empty() && !ssl_parse_pin(verify->pin, &pin)) {
        SSL_LOG(LOG_ERR, "ssl-pin=%s: expected 64 hexadecimal digits\n", verify->pin.c_str());
        ERR_INFO_SET(err, VERR_INVALID_PARAMETER,
                     "ssl_cli_connect failed: ssl-pin=%s: expected 64 hexadecimal digits",
                     verify->pin.c_str());
        return nullptr;
    }
    ssl_config* chosen = &conf->all_suites;
    if (cipher != nullptr && std::strcmp(cipher, SSL_FORCED_CIPHER_NAME) == 0) {
        SSL_LOG(LOG_DBG, "force_ciphersuite=%d\n", SSL_FORCED_CIPHERSUITE);
        chosen = &conf->forced_suite;
    } else if (cipher != nullptr && cipher[0] != '\0') {
        SSL_LOG(LOG_WARN, "ssl-cipher=%s unknown: every cipher suite offered\n", cipher);
    }

    auto ch = std::make_unique<ssl_channel>(handle);
    ch->keep = std::move(keep);
    if (mbedtls_ssl_setup(&ch->ssl, chosen->get()) != 0) {
        SSL_LOG(LOG_ERR, "mbedtls_ssl_setup failed\n");
        ERR_INFO_SET(err, VERR_NO_MEMORY, "ssl_cli_connect failed: mbedtls_ssl_setup failed");
        return nullptr;
    }
    // The name goes out as SNI; an address literal is no server name.
    if (verify != nullptr && !verify->host.empty() && !is_address_literal(verify->host)) {
        mbedtls_ssl_set_hostname(&ch->ssl, verify->host.c_str());
    }
    mbedtls_ssl_set_bio(&ch->ssl, ch.get(), transport_send, transport_recv, nullptr);

    const int rc = run_handshake(ch.get(), timeout_ms);
    if (rc != 0) {
        const std::string why = handshake_failure(ch.get(), rc, timeout_ms);
        SSL_LOG(LOG_ERR, "%s\n", why.c_str());
        ERR_INFO_SET(err, rc == MBEDTLS_ERR_SSL_TIMEOUT ? VERR_TIMEOUT : VERR_NET_PROTOCOL_ERROR,
                     "ssl_cli_connect failed: %s", why.c_str());
        return nullptr;
    }

    ssl_sha256 fingerprint{};
    const bool have_cert = ssl_peer_fingerprint(ch.get(), &fingerprint);
    const bool checked = verify != nullptr && (!verify->ca_file.empty() || !verify->pin.empty());
    if (have_cert) {
        SSL_LOG(LOG_INFO, "server certificate sha256=%s protocol=[%s] cipher=[%s]\n",
                ssl_hex(fingerprint).c_str(), mbedtls_ssl_get_version(&ch->ssl),
                mbedtls_ssl_get_ciphersuite(&ch->ssl));
    }
    std::string refused;
    if (checked && !have_cert) {
        refused = "the server sent no certificate";
    } else if (checked) {
        refused = check_certificate(ch.get(), *verify, fingerprint);
    } else {
        SSL_LOG(
            LOG_WARN,
            "server certificate not verified: give ssl-ca=FILE or ssl-pin=SHA256 to check it\n");
    }
    if (!refused.empty()) {
        SSL_LOG(LOG_ERR, "%s\n", refused.c_str());
        ERR_INFO_SET(err, VERR_AUTHENTICATION_FAILURE, "ssl_cli_connect failed: %s",
                     refused.c_str());
        ssl_channel_free(ch.release());
        return nullptr;
    }
    install(handle, ch.get());
    return ch.release();
}

}  // namespace

ssl_channel* ssl_cli_connect(ssl_cli_conf* conf, net_handle* handle, const char* cipher,
                             int32_t timeout_ms, const ssl_verify* verify, err_info* err) {
    try {
        return cli_connect(conf, handle, cipher, timeout_ms, verify, err);
    } catch (const std::bad_alloc&) {
        ERR_INFO_SET(err, VERR_NO_MEMORY, "ssl_cli_connect failed: out of memory");
        return nullptr;
    }
}

namespace {

ssl_srv_conf* srv_conf_new(const char* cert_file, const char* key_file, std::string* err) {
    SSL_LOG(LOG_VERB, "==>\n");
    std::string ignored;
    if (err == nullptr) err = &ignored;
    auto conf = std::make_unique<ssl_srv_conf>();
    if (!conf->rng.seed(kServerPersonalisation)) {
        *err = "mbedtls_ctr_drbg_seed failed";
        return nullptr;
    }
    if (!conf->conf.set_up(MBEDTLS_SSL_IS_SERVER, conf->rng, mbedtls_ssl_list_ciphersuites())) {
        *err = "mbedtls_ssl_config_defaults failed";
        return nullptr;
    }
    int rc = mbedtls_x509_crt_parse_file(conf->chain.get(), cert_file);
    if (rc != 0) {
        SSL_LOG(LOG_ERR, "mbedtls_x509_crt_parse_file %s failed\n", cert_file);
        *err = std::string("ssl_cert=") + cert_file + ": cannot load the certificate (" +
               (rc > 0 ? "a certificate in it does not parse" : error_text(rc)) + ")";
        return nullptr;
    }
    rc = mbedtls_pk_parse_keyfile(conf->key.get(), key_file, nullptr);
    if (rc != 0) {
        SSL_LOG(LOG_ERR, "mbedtls_pk_parse_keyfile %s failed\n", key_file);
        *err =
            std::string("ssl_key=") + key_file + ": cannot load the key (" + error_text(rc) + ")";
        return nullptr;
    }
    // A key of another certificate would fail every handshake; say so now.
    if (mbedtls_pk_check_pair(&conf->chain.get()->pk, conf->key.get()) != 0) {
        SSL_LOG(LOG_ERR, "ssl_key %s does not belong to ssl_cert %s\n", key_file, cert_file);
        *err = std::string("ssl_key=") + key_file + " does not belong to ssl_cert=" + cert_file;
        return nullptr;
    }
    if (conf->chain.get()->next != nullptr) {
        mbedtls_ssl_conf_ca_chain(conf->conf.get(), conf->chain.get()->next, nullptr);
    }
    rc = mbedtls_ssl_conf_own_cert(conf->conf.get(), conf->chain.get(), conf->key.get());
    if (rc != 0) {
        SSL_LOG(LOG_ERR, "mbedtls_ssl_conf_own_cert returned %d\n", rc);
        *err = "mbedtls_ssl_conf_own_cert returned " + std::to_string(rc);
        return nullptr;
    }
    return conf.release();
}

}  // namespace

ssl_srv_conf* ssl_srv_conf_new(const char* cert_file, const char* key_file, std::string* err) {
    try {
        return srv_conf_new(cert_file, key_file, err);
    } catch (const std::bad_alloc&) {
        if (err != nullptr) *err = "out of memory";
        return nullptr;
    }
}

void ssl_srv_conf_free(ssl_srv_conf* conf) {
    delete conf;
}

namespace {

ssl_channel* srv_new(ssl_srv_conf* conf, net_handle* handle, int32_t timeout_ms) {
    if (conf == nullptr) return nullptr;
    auto ch = std::make_unique<ssl_channel>(handle);
    int rc = mbedtls_ssl_setup(&ch->ssl, conf->conf.get());
    if (rc != 0) {
        SSL_LOG(LOG_ERR, "mbedtls_ssl_setup returned %d\n", rc);
        return nullptr;
    }
    mbedtls_ssl_session_reset(&ch->ssl);
    mbedtls_ssl_set_bio(&ch->ssl, ch.get(), transport_send, transport_recv, nullptr);
    rc = run_handshake(ch.get(), timeout_ms);
    if (rc != 0) {
        SSL_LOG(LOG_WARN, "%s\n", handshake_failure(ch.get(), rc, timeout_ms).c_str());
        return nullptr;
    }
    SSL_LOG(LOG_DBG, "Proto=[%s] Cipher=[%s]\n", mbedtls_ssl_get_version(&ch->ssl),
            mbedtls_ssl_get_ciphersuite(&ch->ssl));
    install(handle, ch.get());
    return ch.release();
}

}  // namespace

ssl_channel* ssl_srv_new(ssl_srv_conf* conf, net_handle* handle, int32_t timeout_ms) {
    try {
        return srv_new(conf, handle, timeout_ms);
    } catch (const std::bad_alloc&) {
        SSL_LOG(LOG_ERR, "ssl_srv_new: out of memory\n");
        return nullptr;
    }
}

ptrdiff_t ssl_recv_proc(net_handle* handle, void* buf, size_t len) {
    ssl_channel* ch = channel_of(handle);
    if (ch == nullptr) {
        handle->status = VERR_INVALID_STATE;
        return -1;
    }
    // Bytes the library already holds are still handed out after the peer has gone.
    if (handle->disconnected && mbedtls_ssl_get_bytes_avail(&ch->ssl) == 0) {
        handle->status = VERR_NET_NOT_CONNECTED;
        return -1;
    }
    auto* bytes = static_cast<unsigned char*>(buf);
    size_t done = 0;
    auto progress = clock_type::now();
    while (done < len) {
        ch->waited_out = false;
        ch->carrier_failed = false;
        const int n =
            mbedtls_ssl_read(&ch->ssl, bytes + done, std::min<size_t>(len - done, INT_MAX));
        if (n > 0) {
            done += static_cast<size_t>(n);
            progress = clock_type::now();
            continue;
        }
        if (n == 0 || n == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY) {
            handle->disconnected = true;
            handle->status = VERR_NET_NOT_CONNECTED;
            return static_cast<ptrdiff_t>(done);
        }
        if (is_retry(n)) {
            // A record without data (a ticket, a refused renegotiation) is read past; only
            // nothing at all for the handle's time-out ends the read.
            if (ch->waited_out || stalled(handle, progress)) {
                handle->status = VERR_TIMEOUT;
                return static_cast<ptrdiff_t>(done);
            }
            continue;
        }
        SSL_LOG(LOG_VERB, "mbedtls_ssl_read = %d\n", n);
        if (!ch->carrier_failed) handle->status = VERR_NET_IO_ERROR;
        return -1;
    }
    handle->status = VERR_SUCCESS;
    return static_cast<ptrdiff_t>(len);
}

ptrdiff_t ssl_send_proc(net_handle* handle, const void* buf, size_t len) {
    ssl_channel* ch = channel_of(handle);
    if (ch == nullptr) {
        handle->status = VERR_INVALID_STATE;
        return -1;
    }
    if (handle->disconnected) {
        handle->status = VERR_NET_NOT_CONNECTED;
        return -1;
    }
    const auto* bytes = static_cast<const unsigned char*>(buf);
    size_t done = 0;
    auto progress = clock_type::now();
    while (done < len) {
        ch->waited_out = false;
        ch->carrier_failed = false;
        const int n =
            mbedtls_ssl_write(&ch->ssl, bytes + done, std::min<size_t>(len - done, INT_MAX));
        if (n > 0) {
            done += static_cast<size_t>(n);
            progress = clock_type::now();
            continue;
        }
        if (is_retry(n)) {
            if (ch->waited_out || stalled(handle, progress)) {
                handle->status = VERR_TIMEOUT;
                return static_cast<ptrdiff_t>(done);
            }
            continue;
        }
        SSL_LOG(LOG_VERB, "mbedtls_ssl_write = %d\n", n);
        if (!ch->carrier_failed) handle->status = VERR_NET_IO_ERROR;
        return -1;
    }
    handle->status = VERR_SUCCESS;
    return static_cast<ptrdiff_t>(len);
}

void ssl_channel_free(ssl_channel* channel) {
    if (channel == nullptr) return;
    if (channel->handshake_done && !channel->handle->disconnected) {
        // A goodbye, not a wait: a peer that reads nothing must not hold the close.
        timeout_override no_wait(channel->handle, 0);
        mbedtls_ssl_close_notify(&channel->ssl);
    }
    delete channel;
}

bool ssl_parse_pin(std::string_view text, ssl_sha256* out) {
    ssl_sha256 digest{};
    size_t nibbles = 0;
    for (const char c : text) {
        if (c == ':') continue;
        const int v = hex_digit(c);
        if (v < 0 || nibbles >= 2 * digest.size()) return false;
        digest[nibbles / 2] =
            static_cast<uint8_t>(digest[nibbles / 2] | (v << (nibbles % 2 == 0 ? 4 : 0)));
        ++nibbles;
    }
    if (nibbles != 2 * digest.size()) return false;
    *out = digest;
    return true;
}

bool ssl_peer_fingerprint(const ssl_channel* channel, ssl_sha256* out) {
    const mbedtls_x509_crt* peer = mbedtls_ssl_get_peer_cert(&channel->ssl);
    if (peer == nullptr || peer->raw.p == nullptr) return false;
    return mbedtls_sha256_ret(peer->raw.p, peer->raw.len, out->data(), 0) == 0;
}

const char* ssl_channel_cipher(const ssl_channel* channel) {
    return mbedtls_ssl_get_ciphersuite(&channel->ssl);
}

std::string ssl_hex(const ssl_sha256& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const uint8_t b : digest) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}
