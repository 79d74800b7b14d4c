#include "libdvsrv/srv_access.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>

namespace {

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// An address text as 16 bytes; IPv4 mapped. False when it is neither form.
bool parse_address(const std::string& text, uint8_t out[16], bool* v4) {
    in_addr a4{};
    if (inet_pton(AF_INET, text.c_str(), &a4) == 1) {
        std::memset(out, 0, 10);
        out[10] = 0xff;
        out[11] = 0xff;
        std::memcpy(out + 12, &a4, 4);
        *v4 = true;
        return true;
    }
    in6_addr a6{};
    if (inet_pton(AF_INET6, text.c_str(), &a6) == 1) {
        std::memcpy(out, &a6, 16);
        *v4 = false;
        return true;
    }
    return false;
}

}  // namespace

bool srv_net_list_parse(std::string_view text, std::vector<srv_net>* out, std::string* err) {
    out->clear();
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view entry = trimmed(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (entry.empty()) continue;
        const size_t slash = entry.find('/');
        srv_net net;
        bool v4 = false;
        if (!parse_address(std::string(entry.substr(0, slash)), net.addr, &v4)) {
            *err = "\"" + std::string(entry) + "\": not an IPv4 or IPv6 address";
            return false;
        }
        const unsigned max = v4 ? 32 : 128;
        unsigned bits = max;
        if (slash != std::string_view::npos) {
            const std::string_view digits = entry.substr(slash + 1);
            auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), bits);
            if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() ||
                bits > max) {
                *err = "\"" + std::string(entry) + "\": prefix must be a number from 0 to " +
                       std::to_string(max);
                return false;
            }
        }
        net.prefix = v4 ? 96 + bits : bits;
        out->push_back(net);
    }
    return true;
}

bool srv_net_list_match(const std::vector<srv_net>& list, const char* peer) {
    uint8_t addr[16];
    bool v4 = false;
    if (peer == nullptr || !parse_address(peer, addr, &v4)) return false;
    for (const srv_net& net : list) {
        const unsigned whole = net.prefix / 8;
        const unsigned rest = net.prefix % 8;
        if (std::memcmp(addr, net.addr, whole) != 0) continue;
        if (rest != 0) {
            const uint8_t mask = static_cast<uint8_t>(0xff << (8 - rest));
            if ((addr[whole] & mask) != (net.addr[whole] & mask)) continue;
        }
        return true;
    }
    return false;
}
