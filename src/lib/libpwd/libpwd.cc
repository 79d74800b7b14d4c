#include "libpwd/libpwd.h"

#include <mbedtls/arc4.h>
#include <mbedtls/base64.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/sha1.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <vector>

#include "liblog/log2.h"
#include "libpwd/ipchk.h"
#include "libpwd/pwd_internal.h"

#define PWD_LOG(level, ...) DV_LOG("pwd", level, __VA_ARGS__)

namespace {

constexpr const char* kWrongLogin = "Wrong user or password";
constexpr size_t kShaSize = 20;

// One user of the serving side.
struct account {
    char user[LIBPWD_TEXT_SIZE] = {};
    char pwd[LIBPWD_TEXT_SIZE] = {};
    char sha_pwd[LIBPWD_TEXT_SIZE] = {};

    void wipe() {
        mbedtls_platform_zeroize(user, sizeof(user));
        mbedtls_platform_zeroize(pwd, sizeof(pwd));
        mbedtls_platform_zeroize(sha_pwd, sizeof(sha_pwd));
    }
    // Both texts must fit (checked by the callers).
    void store(const char* new_user, const char* new_pwd) {
        wipe();
        std::memcpy(user, new_user, std::strlen(new_user) + 1);
        std::memcpy(pwd, new_pwd, std::strlen(new_pwd) + 1);
        std::string sha = libpwd_sha_pwd(pwd);
        std::memcpy(sha_pwd, sha.c_str(), sha.size() + 1);
    }
};

// The configured user, then those added. Readers hold the shared lock while they compare.
struct credentials {
    std::shared_mutex mutex;
    account first;
    std::vector<std::unique_ptr<account>> more;

    void wipe() {
        first.wipe();
        for (auto& a : more) a->wipe();
        more.clear();
    }
    void store(const char* new_user, const char* new_pwd) {
        wipe();
        first.store(new_user, new_pwd);
    }
    const account* find(const char* user) const {
        if (std::strcmp(user, first.user) == 0) return &first;
        for (const auto& a : more) {
            if (std::strcmp(user, a->user) == 0) return a.get();
        }
        return nullptr;
    }
};

credentials& creds() {
    static credentials c;
    return c;
}

// Certificates come straight from the kernel's random source. A generator whose state lives in
// the process (seeded from the clock, or seeded once and then copied by fork) would hand two
// processes the same certificates; the kernel's source has no such state to copy.
bool fill_random(unsigned char* out, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = getrandom(out + done, size - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            PWD_LOG(LOG_ERR, "getrandom failed: %s\n", std::strerror(errno));
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

const char* or_empty(const char* s) {
    return s ? s : "";
}

// Lower-case hexadecimal of `bytes` into out (2 * size + 1 bytes).
void to_hex(const unsigned char* bytes, size_t size, char* out) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < size; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 0x0f];
    }
    out[2 * size] = '\0';
}

// Equal texts, in time that does not depend on where they differ.
bool same_secret(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return diff == 0;
}

void rc4(const char* key, const unsigned char* in, unsigned char* out, size_t size) {
    // RC4's key schedule reads at most 256 key bytes.
    size_t key_len = std::min<size_t>(std::strlen(key), 256);
    mbedtls_arc4_context ctx;
    mbedtls_arc4_init(&ctx);
    mbedtls_arc4_setup(&ctx, reinterpret_cast<const unsigned char*>(key),
                       static_cast<unsigned int>(key_len));
    mbedtls_arc4_crypt(&ctx, size, in, out);
    mbedtls_arc4_free(&ctx);
}

bool too_long(const char* text) {
    return std::strlen(text) >= LIBPWD_TEXT_SIZE;
}

// Checks the address before a login step; logs and returns the lock result.
int address_allowed(const char* address, char* err, size_t err_size) {
    char lock_text[256];
    int ret = ipcheck(address, lock_text, sizeof(lock_text));
    if (ret != 0) {
        PWD_LOG(LOG_WARN, "ip=[%s] error: %s\n", address, lock_text);
        pwd_set_err(err, err_size, "%s", lock_text);
    }
    return ret;
}

}  // namespace

void pwd_set_err(char* err, size_t err_size, const char* fmt, ...) {
    if (err == nullptr || err_size == 0) return;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(err, err_size, fmt, ap);
    va_end(ap);
}

std::string pwd_log_text(const char* text) {
    std::string out(or_empty(text));
    for (char& c : out) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) c = '?';
    }
    return out;
}

const char* libpwd_log_mask(const char* pwd) {
    return pwd != nullptr && *pwd ? "***" : "";
}

std::string libpwd_sha_pwd(const char* pwd) {
    if (pwd == nullptr || *pwd == '\0') return {};
    unsigned char digest[kShaSize];
    mbedtls_sha1_ret(reinterpret_cast<const unsigned char*>(pwd), std::strlen(pwd), digest);
    unsigned char b64[32];
    size_t len = 0;
    mbedtls_base64_encode(b64, sizeof(b64), &len, digest, sizeof(digest));
    std::string out = "{SHA}";
    out.append(reinterpret_cast<const char*>(b64), len);
    return out;
}

int libpwd_init(const libpwd_conf* conf) {
    libpwd_conf defaults;
    const libpwd_conf& c = conf ? *conf : defaults;
    const char* user = or_empty(c.user);
    const char* pwd = or_empty(c.pwd);
    if (too_long(user) || too_long(pwd)) {
        PWD_LOG(LOG_ERR, "user or passwd longer than %zu characters\n", LIBPWD_TEXT_SIZE - 1);
        return -1;
    }
    {
        std::unique_lock lock(creds().mutex);
        creds().store(user, pwd);
    }
    return ipcheck_init(&c);
}

int libpwd_exit() {
    {
        std::unique_lock lock(creds().mutex);
        creds().wipe();
    }
    return ipcheck_exit();
}

int libpwd_set_user_pwd(const char* user, const char* pwd, char* err, size_t err_size) {
    user = or_empty(user);
    pwd = or_empty(pwd);
    if (std::strpbrk(user, LIBPWD_REFUSED_CHARS) != nullptr) {
        pwd_set_err(err, err_size, "user is invalid, Cannot use [%s]", LIBPWD_REFUSED_CHARS);
        return -1;
    }
    if (std::strpbrk(pwd, LIBPWD_REFUSED_CHARS) != nullptr) {
        pwd_set_err(err, err_size, "passwd is invalid, Cannot use [%s]", LIBPWD_REFUSED_CHARS);
        return -1;
    }
    if (too_long(user) || too_long(pwd)) {
        pwd_set_err(err, err_size, "user or passwd is longer than %zu characters",
                    LIBPWD_TEXT_SIZE - 1);
        return -1;
    }
    std::unique_lock lock(creds().mutex);
    creds().first.store(user, pwd);
    return 0;
}

int libpwd_add_user(const char* user, const char* pwd) {
    user = or_empty(user);
    pwd = or_empty(pwd);
    if (too_long(user) || too_long(pwd)) return -1;
    auto a = std::make_unique<account>();
    a->store(user, pwd);
    std::unique_lock lock(creds().mutex);
    if (creds().find(user) != nullptr) {
        a->wipe();
        return -1;
    }
    creds().more.push_back(std::move(a));
    return 0;
}

int libpwd_build_key(const char* user, const char* pwd, int version, const char* cert, char* key,
                     size_t key_size) {
    (void)version;
    user = or_empty(user);
    pwd = or_empty(pwd);
    cert = or_empty(cert);
    PWD_LOG(LOG_VERB, "user=[%s] pwd=[%s] cert=[%s]\n", user, libpwd_log_mask(pwd), cert);
    if (key == nullptr || key_size < LIBPWD_KEY_SIZE) {
        log2_assert_fail("pwd", "ret != FALSE", __FILE__, __LINE__, __func__);
        if (key != nullptr && key_size > 0) key[0] = '\0';
        return -1;
    }
    unsigned char digest[kShaSize];
    mbedtls_sha1_context ctx;
    mbedtls_sha1_init(&ctx);
    mbedtls_sha1_starts_ret(&ctx);
    mbedtls_sha1_update_ret(&ctx, reinterpret_cast<const unsigned char*>("KELPO"), 5);
    mbedtls_sha1_update_ret(&ctx, reinterpret_cast<const unsigned char*>(user), std::strlen(user));
    mbedtls_sha1_update_ret(&ctx, reinterpret_cast<const unsigned char*>(pwd), std::strlen(pwd));
    mbedtls_sha1_update_ret(&ctx, reinterpret_cast<const unsigned char*>(cert), std::strlen(cert));
    mbedtls_sha1_finish_ret(&ctx, digest);
    mbedtls_sha1_free(&ctx);
    to_hex(digest, sizeof(digest), key);
    // The key answers a challenge like a password: it never goes into a log.
    PWD_LOG(LOG_VERB, "lkey=[%s]\n", key[0] != '\0' ? "***" : "");
    return 0;
}

int libpwd_check_user_pwd(const char* address, const char* user, const char* pwd, char* err,
                          size_t err_size) {
    address = or_empty(address);
    user = or_empty(user);
    pwd = or_empty(pwd);
    const auto attempt = ipcheck_attempt();
    if (int ret = address_allowed(address, err, err_size); ret != 0) return ret;

    bool user_ok = false;
    bool pwd_ok = false;
    {
        std::shared_lock lock(creds().mutex);
        const account* c = creds().find(user);
        user_ok = c != nullptr;
        pwd_ok = user_ok && (same_secret(pwd, c->pwd) || same_secret(pwd, c->sha_pwd));
    }
    if (!user_ok) {
        pwd_set_err(err, err_size, "%s", kWrongLogin);
        // ":" is a client asking whether credentials are needed at all: not a failed login.
        if (std::strcmp(user, ":") == 0) return 1;
        PWD_LOG(LOG_WARN, "ip=[%s] wrong user [%s]\n", address, pwd_log_text(user).c_str());
        ipcheck_login_fail(address, user);
        return 1;
    }
    if (!pwd_ok) {
        PWD_LOG(LOG_WARN, "ip=[%s] wrong pwd [%s]\n", address, libpwd_log_mask(pwd));
        pwd_set_err(err, err_size, "%s", kWrongLogin);
        ipcheck_login_fail(address, user);
        return 1;
    }
    ipcheck_login_ok(address, user);
    PWD_LOG(LOG_DBG, "ip=[%s] [%s] login_ok\n", address, user);
    return 0;
}

int libpwd_user_get_cert(const char* address, int version, int* version_out, const char* user,
                         char* cert, size_t cert_size, char* key, size_t key_size, char* err,
                         size_t err_size) {
    address = or_empty(address);
    user = or_empty(user);
    if (cert != nullptr && cert_size > 0) cert[0] = '\0';
    if (key != nullptr && key_size > 0) key[0] = '\0';
    const auto attempt = ipcheck_attempt();
    if (int ret = address_allowed(address, err, err_size); ret != 0) return ret;

    std::shared_lock lock(creds().mutex);
    const account* c = creds().find(user);
    if (c == nullptr) {
        lock.unlock();
        PWD_LOG(LOG_WARN, "ip=[%s] wrong user [%s]\n", address, pwd_log_text(user).c_str());
        pwd_set_err(err, err_size, "%s", kWrongLogin);
        ipcheck_login_fail(address, user);
        return 1;
    }
    if (!DV_ASSERT("pwd", cert != nullptr && cert_size >= LIBPWD_CERT_SIZE) ||
        !DV_ASSERT("pwd", key != nullptr && key_size >= LIBPWD_KEY_SIZE)) {
        pwd_set_err(err, err_size, "%s", kWrongLogin);
        return 1;
    }
    unsigned char random[LIBPWD_CERT_BYTES];
    if (!fill_random(random, sizeof(random))) {
        pwd_set_err(err, err_size, "%s", "cannot make a certificate");
        return 1;
    }
    to_hex(random, sizeof(random), cert);
    libpwd_build_key(c->user, c->pwd, version, cert, key, key_size);
    if (version_out != nullptr) *version_out = version;
    return 0;
}

int libpwd_check_key(const char* address, const char* key, const char* expected, char* err,
                     size_t err_size) {
    address = or_empty(address);
    key = or_empty(key);
    expected = or_empty(expected);
    const auto attempt = ipcheck_attempt();
    if (int ret = address_allowed(address, err, err_size); ret != 0) return ret;

    std::string user;
    {
        std::shared_lock lock(creds().mutex);
        user = creds().first.user;
    }
    if (*expected == '\0' || !same_secret(key, expected)) {
        PWD_LOG(LOG_WARN, "ip=[%s] wrong key [%s]\n", address, libpwd_log_mask(key));
        pwd_set_err(err, err_size, "%s", kWrongLogin);
        ipcheck_login_fail(address, user.c_str());
        return 1;
    }
    PWD_LOG(LOG_DBG, "ip=[%s] key=[%s] login_ok\n", address, libpwd_log_mask(key));
    ipcheck_login_ok(address, user.c_str());
    return 0;
}

int libpwd_encrypt_b64(const char* text, const char* key, char* out, size_t out_size) {
    if (out == nullptr || out_size == 0) return -1;
    out[0] = '\0';
    if (text == nullptr || key == nullptr || *key == '\0') return -1;
    const size_t len = std::strlen(text);
    std::vector<unsigned char> cipher(len);
    rc4(key, reinterpret_cast<const unsigned char*>(text), cipher.data(), len);
    size_t written = 0;
    int ret = mbedtls_base64_encode(reinterpret_cast<unsigned char*>(out), out_size, &written,
                                    cipher.data(), len);
    mbedtls_platform_zeroize(cipher.data(), cipher.size());
    if (ret != 0) {
        out[0] = '\0';
        return -1;
    }
    out[written] = '\0';
    return 0;
}

int libpwd_decrypt_b64(const char* b64, const char* key, char* out, size_t out_size) {
    if (out == nullptr || out_size == 0) return -1;
    out[0] = '\0';
    if (b64 == nullptr || key == nullptr || *key == '\0') return -1;
    size_t len = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(out);
    int ret = mbedtls_base64_decode(bytes, out_size, &len,
                                    reinterpret_cast<const unsigned char*>(b64), std::strlen(b64));
    if (ret != 0 || len == 0 || len >= out_size) {
        if (ret == 0) mbedtls_platform_zeroize(out, std::min(len, out_size));
        out[0] = '\0';
        return -1;
    }
    out[len] = '\0';
    rc4(key, bytes, bytes, len);
    return 0;
}
