// Credentials shared by both ends of the file-server protocol.
//
// Client side: the "{SHA}" form of a password (what the password login sends), the login key that
// answers a key-login challenge, and enciphering of texts with a connection key.
// Serving side: one configured user and password, password checks ("{SHA}" form accepted in place
// of the password), challenge logins with a random certificate, and per-address throttling with a
// login log (see libpwd/ipchk.h).
//
// Threads: libpwd_init and libpwd_exit run at start-up and shut-down, when no check runs. The
// checks, libpwd_set_user_pwd and the client-side helpers may be called from any thread.
//
// Error texts: functions that take `err`/`err_size` write a NUL-terminated reason there (cut to
// fit) when they refuse; `err` may be null.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Capacity of the stored user, password and "{SHA}" form, NUL included.
inline constexpr size_t LIBPWD_TEXT_SIZE = 4096;
// A login key: 40 lower-case hexadecimal characters and the NUL.
inline constexpr size_t LIBPWD_KEY_SIZE = 41;
// Random bytes in a certificate, and its text size (two hexadecimal characters a byte, and NUL).
inline constexpr size_t LIBPWD_CERT_BYTES = 128;
inline constexpr size_t LIBPWD_CERT_SIZE = 2 * LIBPWD_CERT_BYTES + 1;
// The characters a user name or password set through libpwd_set_user_pwd may not hold.
inline constexpr const char* LIBPWD_REFUSED_CHARS = ";/\\\"'?:@# ";

// Monotonic clock in milliseconds; injectable for tests.
using libpwd_clock = uint64_t (*)();

// Settings of the serving side.
struct libpwd_conf {
    const char* user = nullptr;       // the one user (null: "")
    const char* pwd = nullptr;        // its password, plain or in "{SHA}" form (null: "")
    uint32_t login_fail_count = 0;    // failures that lock an address; 0 switches throttling off
    uint32_t login_lock_minutes = 0;  // how long a lock lasts; 0 means 60
    uint32_t login_max_ip = 0;        // addresses tracked at most; 0 means 10000
    const char* login_log = nullptr;  // path of the login log; null or "" for none
    uint32_t login_log_opt = 0;       // flog_open options of the login log (FLOG_OPT_TIME)
    uint64_t login_log_max_size = 0;  // size cap of the login log in bytes; 0: none
    libpwd_clock clock = nullptr;     // null: the system's monotonic clock
};

// Clears the state, copies user and password, computes the "{SHA}" form and starts throttling
// (ipcheck_init). Returns 0, or -1 (error line) when the user or password does not fit
// LIBPWD_TEXT_SIZE; then nothing is configured.
int libpwd_init(const libpwd_conf* conf);

// Wipes user and password, stops throttling and closes the login log. Returns 0.
int libpwd_exit();

// Throttling figures for monitoring: addresses locked since the process started (each lock once,
// logged as "ip=[%s] locked for %llu minutes after %u failed logins") and addresses locked now.
void libpwd_lock_stats(uint64_t* locks, size_t* locked_now);

// Replaces user and password (and the "{SHA}" form). Returns 0, or -1 with the error text
// "user is invalid, Cannot use [%s]" / "passwd is invalid, Cannot use [%s]" (the refused
// characters) or a too-long text; then nothing changes.
int libpwd_set_user_pwd(const char* user, const char* pwd, char* err, size_t err_size);

// Adds one more user beside the configured one (libpwd_init drops them again); the checks accept
// each with its own password. Returns 0, or -1 when the name is taken or a text does not fit.
int libpwd_add_user(const char* user, const char* pwd);

// "{SHA}" and the base64 of the password's SHA-1 digest (33 characters); "" for an empty or null
// password.
std::string libpwd_sha_pwd(const char* pwd);

// Login key: SHA-1 of "KELPO", user, password and certificate, as 40 lower-case hexadecimal
// characters. `version` does not enter the key. Returns 0, or -1 (assertion "ret != FALSE") when
// `key_size` is below LIBPWD_KEY_SIZE; then `key` holds "" when it has room for it.
int libpwd_build_key(const char* user, const char* pwd, int version, const char* cert, char* key,
                     size_t key_size);

// Password login from `address`: 0 accepted, 1 refused ("Wrong user or password"), 2 the address
// is locked (the lock text). The offered password may be the plain password or its "{SHA}" form.
// User ":" (the probe of a client) is refused without logging or counting a failure.
int libpwd_check_user_pwd(const char* address, const char* user, const char* pwd, char* err,
                          size_t err_size);

// First half of a challenge login: for the configured user, a fresh certificate (256 hexadecimal
// characters of random bytes) and the login key the client must answer with. `version_out`
// (may be null) receives `version`. Returns 0; 1 for another user (a failure is counted) or when
// no certificate could be made; 2 when the address is locked.
int libpwd_user_get_cert(const char* address, int version, int* version_out, const char* user,
                         char* cert, size_t cert_size, char* key, size_t key_size, char* err,
                         size_t err_size);

// Second half: compares the client's key with the expected one (in constant time). Returns 0 (a
// success is recorded), 1 on a mismatch or an empty expected key (a failure is counted against the
// configured user), 2 when the address is locked.
int libpwd_check_key(const char* address, const char* key, const char* expected, char* err,
                     size_t err_size);

// RC4 with `key` over the text's bytes, then standard base64 into `out`. Returns 0, or -1 when the
// key is empty or `out` is too small.
int libpwd_encrypt_b64(const char* text, const char* key, char* out, size_t out_size);

// Reverse of libpwd_encrypt_b64: decodes into `out`, terminates and deciphers in place. Returns 0,
// or -1 (out holds "") when the key is empty, the input is not base64, decodes to nothing, or does
// not fit `out` with its terminating NUL. Any input is safe.
int libpwd_decrypt_b64(const char* b64, const char* key, char* out, size_t out_size);

// How a password appears in log lines: "***", or "" for an empty or null password.
const char* libpwd_log_mask(const char* pwd);
