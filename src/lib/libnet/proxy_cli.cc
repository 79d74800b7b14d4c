#include "libnet/proxy_cli.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "liblog/log2.h"
#include "libnet/net_sock.h"

#define PROXY_LOG(level, ...) DV_LOG("net", level, __VA_ARGS__)

namespace {

using clock_type = std::chrono::steady_clock;

// The handshake's bound when the caller gave no connect time-out.
constexpr int32_t kDefaultHandshakeMs = 4000;
// Fields that SOCKS carries behind a one-byte length.
constexpr size_t kSocksFieldMax = 255;
// SOCKS4 has no length byte for the user id; this keeps the request within reason.
constexpr size_t kSocks4UserMax = 4087;

constexpr uint8_t kSocks4Version = 4;
constexpr uint8_t kSocks4Granted = 0x5a;
constexpr uint8_t kSocks5Version = 5;
constexpr uint8_t kSocksConnect = 1;
constexpr uint8_t kSocks5NoAuth = 0;
constexpr uint8_t kSocks5UserPwd = 2;
constexpr uint8_t kSocks5NoMethod = 0xff;
constexpr uint8_t kSocks5AuthVersion = 1;
constexpr uint8_t kAddrIpv4 = 1;
constexpr uint8_t kAddrName = 3;
constexpr uint8_t kAddrIpv6 = 4;

struct addrinfo_deleter {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

std::string bare_host(const char* host) {
    std::string text = host == nullptr ? "" : host;
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
    }
    return text;
}

bool holds_ipv6_literal(const std::string& host) {
    return std::count(host.begin(), host.end(), ':') > 1;
}

// Reads and writes of one handshake, all within one deadline, so that a proxy that trickles its
// answer byte by byte cannot hold the connect longer than its time-out.
class handshake_io final {
  public:
    handshake_io(sock_handle sock, sock_cancel* cancel, int32_t timeout_ms)
        : deadline_(clock_type::now() + std::chrono::milliseconds(timeout_ms)) {
        net_.sock = sock;
        net_.cancel = cancel;
    }
    ~handshake_io() { net_.sock = 0; }  // the socket stays the caller's
    handshake_io(const handshake_io&) = delete;
    handshake_io& operator=(const handshake_io&) = delete;

    bool send(const void* buf, size_t len) {
        if (!arm()) return false;
        return net_sock_write(&net_, buf, len) == static_cast<ptrdiff_t>(len);
    }
    bool send(const std::string& bytes) { return send(bytes.data(), bytes.size()); }
    bool send(const std::vector<uint8_t>& bytes) { return send(bytes.data(), bytes.size()); }

    // The count read: `len`, or fewer when the proxy closed, went silent or time ran out.
    size_t recv(void* buf, size_t len) {
        if (!arm()) return 0;
        const ptrdiff_t n = net_sock_read(&net_, buf, len);
        return n < 0 ? 0 : static_cast<size_t>(n);
    }

    bool stopped() const { return net_.status == VERR_NET_USER_STOP; }

  private:
    // Gives the next call what is left of the deadline; false once it has passed.
    bool arm() {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - clock_type::now());
        if (left.count() <= 0) {
            net_.status = VERR_TIMEOUT;
            return false;
        }
        net_.timeout_ms = static_cast<int32_t>(left.count());
        return true;
    }

    net_handle net_;
    clock_type::time_point deadline_;
};

bool fail(err_info* err, verr code, const char* text) {
    ERR_INFO_SET(err, code, "%s", text);
    PROXY_LOG(LOG_DBG, "%s\n", text);
    return false;
}

// A failure of the exchange: the user's stop wins over the protocol's text.
bool fail_io(handshake_io& io, err_info* err, verr code, const char* text) {
    if (io.stopped()) return fail(err, VERR_NET_USER_STOP, "User request stop");
    return fail(err, code, text);
}

void put_port(std::vector<uint8_t>* out, uint32_t port) {
    out->push_back(static_cast<uint8_t>((port >> 8) & 0xff));
    out->push_back(static_cast<uint8_t>(port & 0xff));
}

// ---- HTTP CONNECT ----

bool http_init(handshake_io& io, const std::string& host, uint32_t port, const conf_proxy& proxy,
               err_info* err) {
    PROXY_LOG(LOG_VERB, "==>\n");
    const std::string target =
        (holds_ipv6_literal(host) ? "[" + host + "]" : host) + ":" + std::to_string(port & 0xffff);
    std::string head = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
    std::string request = head;
    std::string shown = head;
    if (!proxy.user.empty()) {
        request +=
            "Proxy-Authorization: Basic " + proxy_base64(proxy.user + ":" + proxy.pwd) + "\r\n";
        shown += "Proxy-Authorization: Basic ***\r\n";
    }
    request += "\r\n";
    shown += "\r\n";
    PROXY_LOG(LOG_VERB, "[%s]\n", shown.c_str());
    if (!io.send(request)) return fail_io(io, err, VERR_GENERAL_FAILURE, "proxy send error");

    char status[13] = {};
    const size_t got = io.recv(status, 12);
    PROXY_LOG(LOG_VERB, "ret=%zu\n", got);
    if (got != 12) {
        PROXY_LOG(LOG_DBG, "net_read ret=%zu !=12 error\n", got);
        return fail_io(io, err, VERR_GENERAL_FAILURE, "proxy recv len error");
    }
    if (status[9] != '2') {
        char shown_status[12];
        for (size_t i = 0; i < 11; ++i) {
            const unsigned char c = static_cast<unsigned char>(status[i]);
            shown_status[i] = c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '.';
        }
        shown_status[11] = '\0';
        PROXY_LOG(LOG_DBG, "net_read [%s] buf[9]=%c !=2 error\n", shown_status, shown_status[9]);
        return fail(err, VERR_GENERAL_FAILURE,
                    status[9] == '4' ? "proxy user or pwd error" : "proxy read return error");
    }

    // The rest of the header block, one byte at a time so that nothing of the tunnel is taken:
    // it ends with CR LF, any number of further CRs, and LF.
    PROXY_LOG(LOG_VERB, "read last...\n");
    enum { searching, after_cr, after_crlf, after_crlf_cr } state = searching;
    for (size_t count = 0;; ++count) {
        if (count >= PROXY_HTTP_MAX_HEADER) {
            PROXY_LOG(LOG_DBG, "proxy header block longer than %zu bytes\n", PROXY_HTTP_MAX_HEADER);
            return fail(err, VERR_GENERAL_FAILURE, "proxy read return error");
        }
        char c;
        if (io.recv(&c, 1) != 1) {
            return fail_io(io, err, VERR_GENERAL_FAILURE, "proxy read return error");
        }
        if (c == '\r') {
            state = state == after_crlf || state == after_crlf_cr ? after_crlf_cr : after_cr;
        } else if (c == '\n') {
            if (state == after_crlf || state == after_crlf_cr) break;
            state = state == after_cr ? after_crlf : searching;
        } else {
            state = searching;
        }
    }
    PROXY_LOG(LOG_DBG, "proxy init ok!!\n");
    return true;
}

// ---- SOCKS4 ----

bool sock4_init(handshake_io& io, const std::string& host, uint32_t port, const conf_proxy& proxy,
                err_info* err) {
    PROXY_LOG(LOG_VERB, "==>\n");
    if (holds_ipv6_literal(host)) {
        return fail(err, VERR_GENERAL_FAILURE, "SOCK4 does not support IPv6");
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 ||
        found == nullptr) {
        ERR_INFO_SET(err, VERR_INVALID_PARAMETER, "addrinfo_addr %s error", host.c_str());
        PROXY_LOG(LOG_DBG, "addrinfo_addr %s error\n", host.c_str());
        return false;
    }
    std::unique_ptr<addrinfo, addrinfo_deleter> list(found);
    const addrinfo* ipv4 = nullptr;
    for (const addrinfo* a = list.get(); a != nullptr && ipv4 == nullptr; a = a->ai_next) {
        if (a->ai_family == AF_INET) ipv4 = a;
    }
    if (ipv4 == nullptr) return fail(err, VERR_GENERAL_FAILURE, "SOCK4 does not support IPv6");
    const uint32_t address =
        ntohl(reinterpret_cast<const sockaddr_in*>(ipv4->ai_addr)->sin_addr.s_addr);
    PROXY_LOG(LOG_VERB, "hostaddr=%x\n", address);

    const bool socks4a = address == 0xffffffffu;
    std::vector<uint8_t> request{kSocks4Version, kSocksConnect};
    put_port(&request, port);
    const uint32_t sent_address = socks4a ? 1u : address;
    for (int shift = 24; shift >= 0; shift -= 8) {
        request.push_back(static_cast<uint8_t>((sent_address >> shift) & 0xff));
    }
    request.insert(request.end(), proxy.user.begin(), proxy.user.end());
    request.push_back(0);
    if (socks4a) {
        PROXY_LOG(LOG_VERB, "use socks4a\n");
        request.insert(request.end(), host.begin(), host.end());
        request.push_back(0);
    }
    if (!io.send(request)) return fail_io(io, err, VERR_GENERAL_FAILURE, "proxy send error");
    uint8_t reply[8] = {};
    const size_t got = io.recv(reply, sizeof reply);
    if (got != sizeof reply || reply[0] != 0 || reply[1] != kSocks4Granted) {
        PROXY_LOG(LOG_DBG, "ret=%zu error\n", got);
        return fail_io(io, err, VERR_GENERAL_FAILURE, "proxy read return error");
    }
    return true;
}

// ---- SOCKS5 ----

const char* socks5_reply_text(uint8_t code, char* other, size_t other_size) {
    static const char* const kTexts[] = {
        nullptr,
        "General SOCKS server failure!",
        "Connection not allowed by ruleset!",
        "Network unreachable!",
        "Host unreachable!",
        "Connection refused!",
        "TTL (packet time to live) expired!",
        "SOCKS Command not supported!",
        "Address type not supported!",
    };
    if (code >= 1 && code <= 8) return kTexts[code];
    snprintf(other, other_size, "proxy unkown error: %d", code);
    return other;
}

// The target address of a SOCKS5 request: an IPv4 or IPv6 literal as such, anything else as a
// name for the proxy to resolve.
void socks5_address(const std::string& host, std::vector<uint8_t>* out) {
    in_addr v4{};
    in6_addr v6{};
    if (host != "255.255.255.255" && inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        out->push_back(kAddrIpv4);
        const auto* b = reinterpret_cast<const uint8_t*>(&v4);
        out->insert(out->end(), b, b + 4);
    } else if (holds_ipv6_literal(host) && inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        out->push_back(kAddrIpv6);
        const auto* b = reinterpret_cast<const uint8_t*>(&v6);
        out->insert(out->end(), b, b + 16);
    } else {
        out->push_back(kAddrName);
        out->push_back(static_cast<uint8_t>(host.size()));
        out->insert(out->end(), host.begin(), host.end());
    }
}

bool sock5_init(handshake_io& io, const std::string& host, uint32_t port, const conf_proxy& proxy,
                err_info* err) {
    PROXY_LOG(LOG_VERB, "==>\n");
    const bool with_user = !proxy.user.empty();
    std::vector<uint8_t> greeting{kSocks5Version, 1, kSocks5NoAuth};
    if (with_user) greeting = {kSocks5Version, 2, kSocks5NoAuth, kSocks5UserPwd};
    if (!io.send(greeting)) return fail_io(io, err, VERR_GENERAL_FAILURE, "proxy send error");
    uint8_t choice[2] = {};
    const size_t got = io.recv(choice, sizeof choice);
    uint8_t method = choice[1];
    // Only a method that was offered may be chosen.
    if (method != kSocks5NoAuth && !(with_user && method == kSocks5UserPwd)) {
        method = kSocks5NoMethod;
    }
    if (got != sizeof choice || choice[0] != kSocks5Version || method == kSocks5NoMethod) {
        PROXY_LOG(LOG_DBG, "nrbytes=%zu buf[0]=0x%x buf[1]=0x%x error\n", got, choice[0],
                  choice[1]);
        return fail_io(io, err, VERR_INVALID_PARAMETER, "Proxy read return error");
    }
    if (method == kSocks5UserPwd) {
        std::vector<uint8_t> auth{kSocks5AuthVersion, static_cast<uint8_t>(proxy.user.size())};
        auth.insert(auth.end(), proxy.user.begin(), proxy.user.end());
        auth.push_back(static_cast<uint8_t>(proxy.pwd.size()));
        auth.insert(auth.end(), proxy.pwd.begin(), proxy.pwd.end());
        uint8_t status[2] = {};
        if (!io.send(auth) || io.recv(status, sizeof status) != sizeof status || status[1] != 0) {
            return fail_io(io, err, VERR_INVALID_PARAMETER, "Proxy password or user name error");
        }
    }

    std::vector<uint8_t> request{kSocks5Version, kSocksConnect, 0};
    socks5_address(host, &request);
    put_port(&request, port);
    if (!io.send(request)) return fail_io(io, err, VERR_GENERAL_FAILURE, "proxy send error");
    // A short reply leaves the request's own bytes in place, so that its command byte (1) reads
    // as a general failure.
    uint8_t reply[4] = {request[0], request[1], request[2], request[3]};
    const size_t head = io.recv(reply, sizeof reply);
    if (head == sizeof reply && reply[0] == kSocks5Version && reply[1] == 0) {
        size_t rest = 0;
        switch (reply[3]) {
            case kAddrIpv4:
                rest = 4 + 2;
                break;
            case kAddrIpv6:
                rest = 16 + 2;
                break;
            case kAddrName: {
                uint8_t len = 0;
                if (io.recv(&len, 1) != 1) {
                    return fail_io(io, err, VERR_GENERAL_FAILURE, "proxy read return error");
                }
                rest = size_t{len} + 2;
                break;
            }
            default: {
                // Without a known length the tunnel's first bytes cannot be told from the reply.
                char text[64];
                snprintf(text, sizeof text, "proxy bound address type %d unknown", reply[3]);
                return fail(err, VERR_GENERAL_FAILURE, text);
            }
        }
        std::vector<uint8_t> bound(rest);
        if (io.recv(bound.data(), rest) != rest) {
            return fail_io(io, err, VERR_GENERAL_FAILURE, "proxy read return error");
        }
        return true;
    }
    if (head < sizeof reply) PROXY_LOG(LOG_DBG, "nrbytes=%zu of the reply\n", head);
    char other[64];
    return fail_io(io, err, VERR_GENERAL_FAILURE, socks5_reply_text(reply[1], other, sizeof other));
}

// What cannot be sent is refused before the proxy is even asked.
bool check_request(const std::string& host, const conf_proxy& proxy, err_info* err) {
    char text[128];
    auto too_long = [&](const char* what, size_t max) {
        snprintf(text, sizeof text, "proxy %s longer than %zu bytes", what, max);
        return fail(err, VERR_INVALID_PARAMETER, text);
    };
    switch (proxy.type) {
        case CONF_PROXY_HTTP:
            return true;
        case CONF_PROXY_SOCKS4:
            if (proxy.user.size() > kSocks4UserMax) return too_long("user", kSocks4UserMax);
            if (host.size() > kSocksFieldMax) return too_long("target host", kSocksFieldMax);
            return true;
        case CONF_PROXY_SOCKS5:
            if (proxy.user.size() > kSocksFieldMax) return too_long("user", kSocksFieldMax);
            if (proxy.pwd.size() > kSocksFieldMax) return too_long("password", kSocksFieldMax);
            if (host.size() > kSocksFieldMax) return too_long("target host", kSocksFieldMax);
            return true;
        default:
            snprintf(text, sizeof text, "Unsupported proxy type=%d", proxy.type);
            return fail(err, VERR_GENERAL_FAILURE, text);
    }
}

}  // namespace

sock_handle proxy_tcp_connect(const char* host, uint32_t port, const sock_opt* opt, err_info* err) {
    PROXY_LOG(LOG_VERB, "==>\n");
    if (opt == nullptr || opt->proxy == nullptr) {
        fail(err, VERR_INVALID_PARAMETER, "no proxy given");
        return 0;
    }
    const conf_proxy& proxy = *opt->proxy;
    const std::string target = bare_host(host);
    if (!check_request(target, proxy, err)) return 0;

    sock_opt direct = *opt;
    direct.proxy = nullptr;
    direct.no_wait = 0;
    const sock_handle sock = sock_tcp_connect(proxy.host.c_str(), proxy.port, &direct, err);
    if (sock == 0) {
        PROXY_LOG(LOG_DBG, "connect proxy server %s:%d failed\n", proxy.host.c_str(),
                  static_cast<int>(proxy.port));
        return 0;
    }
    PROXY_LOG(LOG_DBG, "connect proxy ip=%s port=%d ok!\n", proxy.host.c_str(),
              static_cast<int>(proxy.port));
    const int32_t timeout_ms =
        opt->connect_timeout_ms > 0 ? opt->connect_timeout_ms : kDefaultHandshakeMs;
    bool ok = false;
    {
        handshake_io io(sock, opt->cancel, timeout_ms);
        switch (proxy.type) {
            case CONF_PROXY_HTTP:
                ok = http_init(io, target, port, proxy, err);
                break;
            case CONF_PROXY_SOCKS4:
                ok = sock4_init(io, target, port, proxy, err);
                break;
            default:
                ok = sock5_init(io, target, port, proxy, err);
                break;
        }
    }
    if (!ok) {
        sock_close(sock);
        return 0;
    }
    err_info_clear(err);
    return sock;
}

std::string proxy_base64(const std::string& bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t v = (uint32_t{static_cast<uint8_t>(bytes[i])} << 16) |
                           (uint32_t{static_cast<uint8_t>(bytes[i + 1])} << 8) |
                           static_cast<uint8_t>(bytes[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    const size_t left = bytes.size() - i;
    if (left > 0) {
        uint32_t v = uint32_t{static_cast<uint8_t>(bytes[i])} << 16;
        if (left == 2) v |= uint32_t{static_cast<uint8_t>(bytes[i + 1])} << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += left == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool proxy_base64_decode(const std::string& text, std::string* out) {
    out->clear();
    uint32_t acc = 0;
    int bits = 0;
    size_t padding = 0;
    size_t symbols = 0;
    for (char c : text) {
        int v = -1;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        if (c >= '0' && c <= '9') v = c - '0' + 52;
        if (c == '+' || c == '-') v = 62;
        if (c == '/' || c == '_') v = 63;
        if (c == '=' || c == ',') {
            ++padding;
            continue;
        }
        if (v < 0 || padding != 0) {
            out->clear();
            return false;
        }
        ++symbols;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out->push_back(static_cast<char>((acc >> bits) & 0xff));
        }
    }
    if (symbols % 4 == 1 || padding > 2 || (padding != 0 && (symbols + padding) % 4 != 0)) {
        out->clear();
        return false;
    }
    return true;
}
