// TLS channels over socket net handles.
//
// A channel wraps one connected socket handle: its TLS records travel through the handle's timed
// reads and writes (so the handle's time-out, stop flag and cancel hook apply), and the handle
// gets read, write and free hooks, so that everything above keeps calling net_read, net_write and
// net_close unchanged. Closing the handle sends the close-notify alert (without waiting) and
// frees the channel.
//
// Server certificates: by default a client accepts any certificate (peers with self-signed
// certificates rely on that); it logs the certificate's SHA-256 fingerprint on every connect and
// warns that nothing was verified. A CA file (verify the chain and the host name) or a pinned
// fingerprint (accept exactly that certificate) make the connect fail on any other certificate.
//
// Running out of memory fails the call like any other failure (VERR_NO_MEMORY, or null with the
// reason), never throws out of it.
//
// Threads: libssl_init / libssl_exit from the main thread before and after all connections; any
// number of connects and accepts may run at once on other threads (the configurations are not
// changed after they are made). A channel is used by the one thread that uses its handle.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "libnet/net_sock.h"
#include "libpal/verr.h"

struct ssl_cli_conf;  // client configuration (the shared one when null is passed)
struct ssl_srv_conf;  // server configuration: certificate chain and key
struct ssl_channel;   // one TLS session on one net handle

// The cipher name that restricts a client to TLS_RSA_WITH_AES_256_CBC_SHA (0x0035).
inline constexpr char SSL_FORCED_CIPHER_NAME[] = "aes_256_ecb";
inline constexpr int SSL_FORCED_CIPHERSUITE = 0x0035;

using ssl_sha256 = std::array<uint8_t, 32>;

// How a client checks the server's certificate. Both empty: not at all (warned in the log).
struct ssl_verify {
    std::string host;     // the name the certificate must carry when ca_file is given
    std::string ca_file;  // PEM or DER file of trusted CA certificates ("ssl-ca")
    std::string pin;      // hex SHA-256 of the server's DER certificate ("ssl-pin")
};

// Creates the shared client configuration unless it exists, registers the TLS read and write
// procedures and the TLS connect of net_open (tcps://, https://). Always 0; a failure is logged
// ("ssl_cli_conf_new failed") and a later connect tries again.
int libssl_init();
// Releases the shared client configuration. Channels still open keep what they use alive.
int libssl_exit();

// Runs the client handshake on `handle` (a connected socket handle) and installs the channel on
// it. `conf` null: the shared configuration. `cipher` "aes_256_ecb" offers only suite 0x0035,
// anything else every suite. The handshake must finish within `timeout_ms`. Afterwards the
// server's certificate is checked as `verify` (null: not at all) says. Returns the channel (also
// in handle->ssl), or null after logging why and filling `err` (may be null); the socket stays
// open and the caller's, without a channel.
ssl_channel* ssl_cli_connect(ssl_cli_conf* conf, net_handle* handle, const char* cipher,
                             int32_t timeout_ms, const ssl_verify* verify = nullptr,
                             err_info* err = nullptr);

// Loads the server's certificate file (own certificate first, then its CA chain) and unencrypted
// key file. Null after logging why, with `*err` (may be null) saying it for the user.
ssl_srv_conf* ssl_srv_conf_new(const char* cert_file, const char* key_file,
                               std::string* err = nullptr);
// Null is accepted. Every channel made with it must be freed first.
void ssl_srv_conf_free(ssl_srv_conf* conf);

// Runs the server handshake on `handle` (an accepted socket) and installs the channel on it. The
// handshake must finish within `timeout_ms`; a client that stays silent or stalls is dropped
// then, and a stop on the handle ends it at once. Null on failure (logged); the socket stays the
// caller's.
ssl_channel* ssl_srv_new(ssl_srv_conf* conf, net_handle* handle, int32_t timeout_ms);

// The hooks installed on a channel's handle, with the contract of net_sock_read / net_sock_write:
// `len` when all moved; fewer when nothing moved for the handle's time-out (status VERR_TIMEOUT)
// or the peer closed (status VERR_NET_NOT_CONNECTED, the handle disconnected); -1 on a TLS or
// socket error, a stop or a disconnected handle.
ptrdiff_t ssl_recv_proc(net_handle* handle, void* buf, size_t len);
ptrdiff_t ssl_send_proc(net_handle* handle, const void* buf, size_t len);

// Sends the close-notify alert when the handshake had completed (without waiting for room) and
// frees the channel. Null is accepted. The handle's ssl field and hooks are left to the caller;
// net_close does all of this through the free hook.
void ssl_channel_free(ssl_channel* channel);

// Parses a pinned fingerprint: 64 hexadecimal digits, either case, colons anywhere between them
// ignored. False for anything else.
bool ssl_parse_pin(std::string_view text, ssl_sha256* out);
// SHA-256 of the peer's DER certificate on an established client channel; false when the peer
// sent none.
bool ssl_peer_fingerprint(const ssl_channel* channel, ssl_sha256* out);
// The negotiated cipher suite's name on an established channel.
const char* ssl_channel_cipher(const ssl_channel* channel);
// Lower-case hex without separators, as ssl-pin takes it.
std::string ssl_hex(const ssl_sha256& digest);
