// SPDX-License-Identifier: BSD-2-Clause
// The address type: a source made from the input the ways the receive loop
// makes one must have the text the C library gives its bytes (addr_model.h),
// a text that parses back to the same address and zone, cut cleanly at any
// bound, and a hash that keeps the IPv4 values, ignores what is no part of
// the address and is reached by every bit that is.
//
// Input: a byte of how, 16 address bytes, 4 zone bytes, low byte first
// (missing bytes are zero). How: bits 0-1 the constructor (Addr_FromV6, a
// socket address of family AF_INET6, one of AF_INET from the first four
// bytes, or one of another family, which none takes); bit 2 makes the
// address link-local, bit 3 IPv4-mapped; bits 4-7 a cut size.

#include <arpa/inet.h>
#include <net/if.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/addr.h"
#include "fuzz/addr_model.h"

namespace {

// Single-bit flips and how many left the hash as it was. A 32-bit hash of a
// good mix collides on about one flip in 2^32; a byte the hash missed would
// collide on every flip of its bits.
uint64_t flips = 0;
uint64_t unchanged = 0;

[[noreturn]] void Fail(const char* what, const AddrBytes& a, uint32_t zone, const std::string& text) {
    fprintf(stderr, "addr fuzz: %s\n  bytes:", what);
    for (unsigned char b : a.b) fprintf(stderr, " %02x", b);
    fprintf(stderr, "\n  zone %u\n  text [%s]\n", zone, text.c_str());
    abort();
}

// The text through a buffer of exactly size bytes on the heap, so ASan sees
// a byte written beyond it.
std::string Format(const Addr& a, size_t size, size_t* len) {
    std::vector<char> buf(size, '#');
    *len = Addr_Format(a, buf.data(), size);
    if (*len >= size || buf[*len] != '\0') return "<not terminated at its length>";
    return std::string(buf.data(), strlen(buf.data()));
}

void Flip(const Addr& a, uint32_t hash, int word, uint32_t bit) {
    Addr b = a;
    if (word < 4)
        b.words[word] ^= bit;
    else
        b.zone ^= bit;
    flips++;
    if (Addr_Hash(b) == hash) unchanged++;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t in[21] = {};
    memcpy(in, data, size < sizeof in ? size : sizeof in);
    const int how = in[0] & 3;
    AddrBytes bytes{};
    memcpy(bytes.b, in + 1, sizeof bytes.b);
    uint32_t zone = in[17] | in[18] << 8 | in[19] << 16 | static_cast<uint32_t>(in[20]) << 24;
    if (in[0] & 4) {
        bytes.b[0] = 0xfe;
        bytes.b[1] = static_cast<unsigned char>(0x80 | (bytes.b[1] & 0x3f));
    }
    if (in[0] & 8) {
        memset(bytes.b, 0, 10);
        bytes.b[10] = bytes.b[11] = 0xff;
    }
    uint32_t v4;
    memcpy(&v4, bytes.b + 12, sizeof v4);

    struct sockaddr_in6 sa6 = {};
    memcpy(&sa6.sin6_addr, bytes.b, sizeof bytes.b);
    sa6.sin6_scope_id = zone;
    sa6.sin6_family = AF_INET6;
    if (how == 2) {
        // Built the way a receive into an IPv4 socket fills the socket address.
        struct sockaddr_in sa4 = {};
        sa4.sin_family = AF_INET;
        memcpy(&sa4.sin_addr, bytes.b, sizeof sa4.sin_addr);
        memset(&sa6, 0, sizeof sa6);
        memcpy(&sa6, &sa4, sizeof sa4);
        memcpy(&v4, bytes.b, sizeof v4);
        memset(bytes.b, 0, 10);
        bytes.b[10] = bytes.b[11] = 0xff;
        memcpy(bytes.b + 12, &v4, sizeof v4);
        zone = 0;
    } else if (how == 3) {
        sa6.sin6_family = static_cast<sa_family_t>(in[17] == AF_INET || in[17] == AF_INET6 ? AF_UNIX : in[17]);
    }

    Addr a{};
    if (how == 0) {
        struct in6_addr raw;
        memcpy(&raw, bytes.b, sizeof raw);
        a = Addr_FromV6(raw, zone);
    } else if (!Addr_FromSockaddr(sa6, &a)) {
        if (how != 3) Fail("Addr_FromSockaddr refused an address family it takes", bytes, zone, "");
        return 0;
    } else if (how == 3) {
        Fail("Addr_FromSockaddr took an address family it does not", bytes, zone, "");
    }

    // What the address is: the zone of a link-local address only, one form of IPv4.
    const bool mapped = AddrModel_IsMapped(bytes);
    const uint32_t kept = AddrModel_IsLinkLocal(bytes) ? zone : 0;
    if (a.zone != kept || memcmp(a.words.data(), bytes.b, sizeof bytes.b) != 0)
        Fail("the address does not hold its bytes and zone", bytes, zone, "");
    if (Addr_IsV4(a) != mapped) Fail("Addr_IsV4 disagrees with the bytes", bytes, zone, "");
    if (mapped) {
        if (!(a == Addr_FromV4(v4)) || Addr_V4(a) != v4)
            Fail("the mapped form is not the IPv4 address", bytes, zone, "");
        if (Addr_Hash(a) != ntohl(v4)) Fail("an IPv4 hash is not the address's value", bytes, zone, "");
    }

    // The text, the C library's, and back.
    size_t len = 0;
    const std::string text = Format(a, ADDR_TEXT_SIZE, &len);
    if (text != AddrModel_Text(bytes, zone) || len != text.size())
        Fail(("the text differs from the model's [" + AddrModel_Text(bytes, zone) + "]").c_str(), bytes, zone, text);
    AddrBytes back{};
    uint32_t backzone = 0;
    if (!AddrModel_Parse(text, &back, &backzone) || memcmp(back.b, bytes.b, sizeof back.b) != 0 || backzone != kept)
        Fail("the text does not parse back to the address", bytes, zone, text);
    // A smaller buffer holds the text's start, terminated.
    const size_t cuts[] = {1, len, static_cast<size_t>(1 + (in[0] >> 4) * len / 15)};
    for (size_t cut : cuts) {
        if (cut == 0) continue;
        size_t cutlen = 0;
        std::string part = Format(a, cut, &cutlen);
        if (cutlen != (len < cut ? len : cut - 1) || part != text.substr(0, cutlen))
            Fail(("a cut at " + std::to_string(cut) + " gives [" + part + "]").c_str(), bytes, zone, text);
    }

    // The hash: the same for the same address, whatever scope came with one
    // that is not link-local; changed by every bit of the address and, but
    // for IPv4, of the zone.
    const uint32_t hash = Addr_Hash(a);
    if (!AddrModel_IsLinkLocal(bytes)) {
        struct in6_addr raw;
        memcpy(&raw, bytes.b, sizeof raw);
        Addr other = Addr_FromV6(raw, zone ^ 0x5a5a5a5au);
        if (!(other == a) || Addr_Hash(other) != hash)
            Fail("the scope of an address that is not link-local counts", bytes, zone, text);
    }
    for (int word = 0; word < (mapped ? 4 : 5); word++)
        for (uint32_t bit = 1; bit != 0; bit <<= 1) Flip(a, hash, word, bit);
    if (unchanged > 8 + flips / (uint64_t{1} << 26))
        Fail(("flipped bits left the hash as it was " + std::to_string(unchanged) + " times in " +
              std::to_string(flips)).c_str(),
             bytes, zone, text);
    return 0;
}
