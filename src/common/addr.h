// SPDX-License-Identifier: BSD-2-Clause
// A source address, IPv4 or IPv6, as one small value that every module keys on.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

// An IPv4 address is held in its IPv4-mapped form (::ffff:a.b.c.d), so a
// datagram that reaches the dual-stack socket from an IPv4 sender and one
// that reaches an IPv4 socket are the same source. The zone is the interface
// index of a link-local IPv6 address (fe80::/10), 0 for every other address:
// the same link-local address on two links is two sources.
struct Addr {
    std::array<uint32_t, 4> words;  // the 16 bytes in network byte order
    uint32_t zone;

    // Compared once or more per datagram: in two halves, where the defaulted
    // comparison would call memcmp.
    bool operator==(const Addr& o) const {
        uint64_t a[2], b[2];
        memcpy(a, words.data(), sizeof a);
        memcpy(b, o.words.data(), sizeof b);
        return ((a[0] ^ b[0]) | (a[1] ^ b[1]) | (zone ^ o.zone)) == 0;
    }
};

// The longest text: a full IPv6 address (45), '%' and an interface name
// (at most 15) or index (at most 10), and the NUL.
inline constexpr int ADDR_TEXT_SIZE = 64;

inline bool Addr_IsV4(const Addr& a) {
    uint64_t head;
    memcpy(&head, a.words.data(), sizeof head);
    return head == 0 && a.words[2] == htonl(0x0000ffffu);
}

// The IPv4 address of a v4 source, network byte order.
inline uint32_t Addr_V4(const Addr& a) { return a.words[3]; }

inline Addr Addr_FromV4(uint32_t ip) { return {{0, 0, htonl(0x0000ffffu), ip}, 0}; }

// From the 16 bytes of an IPv6 address and the scope of the socket address
// it came in; the scope counts only for a link-local address.
inline Addr Addr_FromV6(const struct in6_addr& in, uint32_t scope) {
    Addr a;
    memcpy(a.words.data(), &in, sizeof a.words);
    bool linklocal = (ntohl(a.words[0]) & 0xffc00000u) == 0xfe800000u;
    a.zone = linklocal ? scope : 0;
    return a;
}

// The sender of a datagram, from the socket address the receive call
// filled; false for a family the daemon does not take.
inline bool Addr_FromSockaddr(const struct sockaddr_in6& sa, Addr* out) {
    if (sa.sin6_family == AF_INET6) {
        *out = Addr_FromV6(sa.sin6_addr, sa.sin6_scope_id);
        return true;
    }
    if (sa.sin6_family == AF_INET) {
        struct sockaddr_in in;
        memcpy(&in, &sa, sizeof in);
        *out = Addr_FromV4(in.sin_addr.s_addr);
        return true;
    }
    return false;
}

// 32 bits of the address for the hash table's Fibonacci step: an IPv4
// address as its own value in host byte order; an IPv6 address, its zone
// included, folded by a mix in which every byte moves every bit.
inline uint32_t Addr_Hash(const Addr& a) {
    if (Addr_IsV4(a)) return ntohl(Addr_V4(a));
    uint64_t hi, lo;
    memcpy(&hi, a.words.data(), sizeof hi);
    memcpy(&lo, a.words.data() + 2, sizeof lo);
    // The finalizer of MurmurHash3: a bijection of 64 bits with full avalanche.
    auto mix = [](uint64_t h) {
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdull;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53ull;
        h ^= h >> 33;
        return h;
    };
    uint64_t h = mix(mix(lo + a.zone * 0x9e3779b97f4a7c15ull) ^ hi);
    return static_cast<uint32_t>(h ^ (h >> 32));
}

// The address as text into buf (ADDR_TEXT_SIZE bytes): the dotted quad of
// an IPv4 address; for IPv6 the RFC 5952 form (lowercase, the longest run of
// zero groups shortened), and for a link-local address '%' and the name of
// its interface, or its index when the interface has no name. Returns the
// length; the text is NUL-terminated and cut at the buffer's bound.
size_t Addr_Format(const Addr& a, char* buf, size_t size);
