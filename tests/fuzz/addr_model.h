// SPDX-License-Identifier: BSD-2-Clause
// A source address's text as the C library states it, and its way back, for
// the tests that check Addr_Format against something it does not share.
#pragma once

#include <arpa/inet.h>
#include <net/if.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

struct AddrBytes {
    unsigned char b[16];  // network byte order
};

inline bool AddrModel_IsMapped(const AddrBytes& a) {
    static const unsigned char prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return memcmp(a.b, prefix, sizeof prefix) == 0;
}

// fe80::/10.
inline bool AddrModel_IsLinkLocal(const AddrBytes& a) { return a.b[0] == 0xfe && (a.b[1] & 0xc0) == 0x80; }

// The dotted quad of an IPv4-mapped address; else inet_ntop's IPv6 text, and
// for a link-local address with a zone '%' and the zone's interface name, or
// its number when no interface has that index.
inline std::string AddrModel_Text(const AddrBytes& a, uint32_t zone) {
    char text[INET6_ADDRSTRLEN];
    if (AddrModel_IsMapped(a)) {
        inet_ntop(AF_INET, a.b + 12, text, sizeof text);
        return text;
    }
    inet_ntop(AF_INET6, a.b, text, sizeof text);
    std::string out = text;
    if (!AddrModel_IsLinkLocal(a) || zone == 0) return out;
    char name[IF_NAMESIZE];
    return out + "%" + (if_indextoname(zone, name) != nullptr ? std::string(name) : std::to_string(zone));
}

// The address and zone a text names: inet_pton for the address (a dotted quad
// as its mapped form), and after a '%' an interface name through
// if_nametoindex or a decimal index. False when the text does not parse.
inline bool AddrModel_Parse(const std::string& text, AddrBytes* a, uint32_t* zone) {
    size_t pct = text.find('%');
    std::string host = text.substr(0, pct);
    *zone = 0;
    memset(a->b, 0, sizeof a->b);
    if (inet_pton(AF_INET, host.c_str(), a->b + 12) == 1) {
        a->b[10] = a->b[11] = 0xff;
    } else if (inet_pton(AF_INET6, host.c_str(), a->b) != 1) {
        return false;
    }
    if (pct == std::string::npos) return true;
    std::string z = text.substr(pct + 1);
    if (z.empty()) return false;
    if (z.find_first_not_of("0123456789") == std::string::npos) {
        if (z.size() > 10) return false;
        unsigned long long v = strtoull(z.c_str(), nullptr, 10);
        if (v > UINT32_MAX) return false;
        *zone = static_cast<uint32_t>(v);
        return true;
    }
    *zone = if_nametoindex(z.c_str());
    return *zone != 0;
}
