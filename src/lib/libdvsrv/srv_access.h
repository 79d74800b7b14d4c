// Inside the file server: lists of client addresses (hosts_allow=, hosts_deny=) and the users of
// the configuration, each with its root and rights.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One address or CIDR range, IPv4 or IPv6. IPv4 addresses are kept as IPv4-mapped IPv6, so that
// a client on a dual-stack listener ("::ffff:10.0.0.1") matches "10.0.0.0/8".
struct srv_net final {
    uint8_t addr[16] = {};
    unsigned prefix = 128;
};

// Parses a comma-separated list of addresses and ranges ("10.0.0.0/8, ::1, fd00::/8"). Empty
// entries are ignored. False with `*err` naming the first bad entry.
bool srv_net_list_parse(std::string_view text, std::vector<srv_net>* out, std::string* err);

// Whether the address text `peer` (as the listener reports it) lies in one of the ranges.
bool srv_net_list_match(const std::vector<srv_net>& list, const char* peer);
