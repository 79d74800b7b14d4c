// Tunnelled TCP connects: a connection to a target host made through an HTTP proxy (CONNECT,
// optionally with Basic authentication), a SOCKS4 proxy (SOCKS4a for a host that resolves to
// 255.255.255.255) or a SOCKS5 proxy (no authentication, or user name and password). After the
// handshake the socket carries the caller's protocol as if connected directly.
#pragma once

#include <cstdint>
#include <string>

#include "libconf/ini/conf_proxy.h"
#include "libnet/sock_cli.h"

// Connects to the proxy of `opt->proxy` with the rest of `opt` (time-out, buffer size, cancel
// hook) and asks it for a tunnel to `host`:`port`. The whole handshake is bounded by the connect
// time-out and ends early when the cancel hook asks to stop. Returns the socket handle, positioned
// right after the proxy's answer, or 0 with `err` (may be null) holding:
//   the connect's status and text          the proxy itself could not be reached
//   VERR_INVALID_PARAMETER "addrinfo_addr %s error"   SOCKS4: the target does not resolve
//   VERR_INVALID_PARAMETER "proxy user longer than 255 bytes" (password, target host): a SOCKS
//                        field that does not fit, refused before anything is sent
//   VERR_GENERAL_FAILURE "SOCK4 does not support IPv6", "proxy send error", "proxy recv len error",
//   "proxy user or pwd error",
//                        "proxy read return error", "Unsupported proxy type=%d", the SOCKS5
//                        reply texts ("Connection refused!", ...)
//   VERR_INVALID_PARAMETER "Proxy read return error", "Proxy password or user name error" (SOCKS5
//                        method choice and authentication)
//   VERR_NET_USER_STOP   "User request stop"
// The password never appears in a log line. Any thread.
sock_handle proxy_tcp_connect(const char* host, uint32_t port, const sock_opt* opt, err_info* err);

// The longest header block an HTTP proxy may answer with before the tunnel is refused.
inline constexpr size_t PROXY_HTTP_MAX_HEADER = 16 * 1024;

// Standard base64 (with "=" padding) of `bytes`.
std::string proxy_base64(const std::string& bytes);
// Decodes base64 text; "-" and "_" are taken for "+" and "/", "," for "=". False (out cleared)
// for text that is not base64.
bool proxy_base64_decode(const std::string& text, std::string* out);
