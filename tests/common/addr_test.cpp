// SPDX-License-Identifier: BSD-2-Clause
#include "common/addr.h"
#include "dest/dest_test.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "dest/dest_hash.h"
#include "fuzz/addr_model.h"

namespace {

AddrBytes Bytes(const char* text) {
    AddrBytes a{};
    if (inet_pton(AF_INET6, text, a.b) != 1) ADD_FAILURE() << "not an IPv6 address: " << text;
    return a;
}

Addr FromBytes(const AddrBytes& a, uint32_t scope) {
    struct in6_addr in;
    memcpy(&in, a.b, sizeof in);
    return Addr_FromV6(in, scope);
}

Addr V6(const char* text, uint32_t scope = 0) { return FromBytes(Bytes(text), scope); }

uint32_t V4Bits(const char* dotted) {
    uint32_t ip = 0;
    if (inet_pton(AF_INET, dotted, &ip) != 1) ADD_FAILURE() << "not an IPv4 address: " << dotted;
    return ip;
}

std::string Text(const Addr& a) {
    char buf[ADDR_TEXT_SIZE];
    size_t len = Addr_Format(a, buf, sizeof buf);
    EXPECT_EQ(len, strlen(buf));
    return buf;
}

// The name of interface index, or "" when there is none, as sysfs lists them.
std::string InterfaceName(uint32_t index) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/sys/class/net", ec)) {
        std::ifstream f(e.path() / "ifindex");
        uint32_t i = 0;
        if (f >> i && i == index) return e.path().filename().string();
    }
    return "";
}

// The text RFC 5952 asks for, written from its rules: groups in lowercase
// hexadecimal without leading zeros, the longest run of two or more zero
// groups (the first of equal ones) as "::"; the C library's form of the
// deprecated IPv4-compatible range (six zero groups, then the address
// dotted); '%' and the zone's interface name, or its number, for a zone.
std::string Rfc5952(const AddrBytes& a, uint32_t zone) {
    uint16_t g[8];
    for (int i = 0; i < 8; i++) g[i] = static_cast<uint16_t>(a.b[2 * i] << 8 | a.b[2 * i + 1]);
    int best = -1, bestlen = 0;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && g[j] == 0) j++;
        if (j - i > bestlen && j - i >= 2) {
            best = i;
            bestlen = j - i;
        }
        i = j == i ? i + 1 : j;
    }
    std::string out;
    char buf[16];
    if (best == 0 && bestlen == 6) {
        snprintf(buf, sizeof buf, "%u.%u.%u.%u", a.b[12], a.b[13], a.b[14], a.b[15]);
        out = std::string("::") + buf;
    } else {
        for (int i = 0; i < 8; i++) {
            if (i == best) {
                out += "::";
                i += bestlen - 1;
                continue;
            }
            if (!out.empty() && out.back() != ':') out += ':';
            snprintf(buf, sizeof buf, "%x", g[i]);
            out += buf;
        }
    }
    if (zone == 0) return out;
    std::string name = InterfaceName(zone);
    return out + "%" + (name.empty() ? std::to_string(zone) : name);
}

AddrBytes BytesOf(const Addr& a) {
    AddrBytes b;
    memcpy(b.b, a.words.data(), sizeof b.b);
    return b;
}

// Random IPv6 addresses, half of them with a run of one to four zero groups
// (so distinct: at least four groups stay random), none IPv4-mapped;
// link-local ones with a random zone when asked.
std::vector<Addr> RandomV6(size_t count, bool linklocal, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<Addr> out;
    while (out.size() < count) {
        uint64_t words[2] = {rng(), rng()};
        AddrBytes b;
        memcpy(b.b, words, sizeof b.b);
        if (rng() % 2 == 0) {
            size_t at = rng() % 8;
            size_t len = 1 + rng() % 4;
            for (size_t g = at; g < at + len && g < 8; g++) b.b[2 * g] = b.b[2 * g + 1] = 0;
        }
        if (linklocal) {
            b.b[0] = 0xfe;
            b.b[1] = static_cast<unsigned char>(0x80 | (b.b[1] & 0x3f));
        }
        if (AddrModel_IsMapped(b)) continue;
        out.push_back(FromBytes(b, static_cast<uint32_t>(rng())));
    }
    return out;
}

TEST(AddrV4Test, MappedAndPlainAreOneAddressWithTheIPv4HomeSlot) {
    // The home slots of the 4096-slot table: (ntohl(ip) * 0x9E3779B9) >> 20.
    const struct {
        const char* dotted;
        uint32_t home;
    } cases[] = {
        {"10.0.0.1", 3459}, {"127.0.0.1", 1619}, {"192.168.1.1", 1905}, {"0.0.0.0", 0}, {"10.0.14.163", 4095},
    };
    DestHash_Init(1024);
    ASSERT_EQ(DestHash_Slots().size(), 4096u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dotted);
        uint32_t ip = V4Bits(c.dotted);
        Addr plain = Addr_FromV4(ip);
        Addr mapped = V6(("::ffff:" + std::string(c.dotted)).c_str(), 7);
        EXPECT_TRUE(plain == mapped);
        EXPECT_TRUE(Addr_IsV4(plain));
        EXPECT_TRUE(Addr_IsV4(mapped));
        EXPECT_EQ(mapped.zone, 0u);
        EXPECT_EQ(Addr_V4(mapped), ip);
        EXPECT_EQ(Addr_Hash(plain), ntohl(ip));
        EXPECT_EQ(Addr_Hash(mapped), ntohl(ip));
        EXPECT_EQ(DestHash_Index(mapped), c.home);
        EXPECT_EQ(Text(plain), c.dotted);
        EXPECT_EQ(Text(mapped), c.dotted);
    }
}

TEST(AddrSockaddrTest, TakesIPv6AndIPv4AndRefusesOtherFamilies) {
    struct sockaddr_in6 sa6 = {};
    sa6.sin6_family = AF_INET6;
    memcpy(&sa6.sin6_addr, Bytes("fe80::5").b, 16);
    sa6.sin6_scope_id = 3;
    Addr a{};
    ASSERT_TRUE(Addr_FromSockaddr(sa6, &a));
    EXPECT_TRUE(a == V6("fe80::5", 3));
    EXPECT_EQ(a.zone, 3u);

    struct sockaddr_in sa4 = {};
    sa4.sin_family = AF_INET;
    sa4.sin_addr.s_addr = V4Bits("192.0.2.7");
    struct sockaddr_in6 storage = {};
    memcpy(&storage, &sa4, sizeof sa4);
    ASSERT_TRUE(Addr_FromSockaddr(storage, &a));
    EXPECT_TRUE(a == Addr_FromV4(V4Bits("192.0.2.7")));

    for (sa_family_t family : {AF_UNSPEC, AF_UNIX, AF_PACKET}) {
        SCOPED_TRACE(family);
        storage.sin6_family = family;
        EXPECT_FALSE(Addr_FromSockaddr(storage, &a));
    }
}

TEST(AddrTextTest, Rfc5952FormAndZones) {
    const std::string lo = InterfaceName(1);
    const struct {
        const char* addr;
        uint32_t scope;
        std::string text;
    } cases[] = {
        {"::", 0, "::"},
        {"::1", 0, "::1"},
        {"2001:DB8::1", 0, "2001:db8::1"},
        {"2001:0db8:0000:0000:0000:0000:0002:0001", 0, "2001:db8::2:1"},
        // The first of two equal runs of zero groups is shortened, and the longest of two unequal ones.
        {"2001:db8:0:0:1:0:0:1", 0, "2001:db8::1:0:0:1"},
        {"2001:0:0:1:0:0:0:1", 0, "2001:0:0:1::1"},
        // One zero group is not shortened.
        {"2001:db8:0:1:1:1:1:1", 0, "2001:db8:0:1:1:1:1:1"},
        {"1:0:0:0:0:0:0:0", 0, "1::"},
        {"1234:5678:9abc:def0:1234:5678:9abc:def0", 0, "1234:5678:9abc:def0:1234:5678:9abc:def0"},
        // inet_ntop writes the deprecated IPv4-compatible range with a dotted tail, other prefixes in groups.
        {"::192.0.2.7", 0, "::192.0.2.7"},
        {"::ffff:0:192.0.2.7", 0, "::ffff:0:c000:207"},
        {"64:ff9b::192.0.2.33", 0, "64:ff9b::c000:221"},
        // A zone only for link-local fe80::/10, by name or, without one, by number.
        {"fe80::1", 0, "fe80::1"},
        {"fe80::1", 4294967295u, "fe80::1%4294967295"},
        {"febf:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 4000000000u, "febf:ffff:ffff:ffff:ffff:ffff:ffff:ffff%4000000000"},
        {"fe80::1", 1, lo.empty() ? "fe80::1%1" : "fe80::1%" + lo},
        {"fec0::1", 5, "fec0::1"},
        {"2001:db8::1", 5, "2001:db8::1"},
        {"ff02::1", 5, "ff02::1"},
        {"::ffff:192.0.2.7", 5, "192.0.2.7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.addr) + " scope " + std::to_string(c.scope));
        Addr a = V6(c.addr, c.scope);
        std::string text = Text(a);
        EXPECT_EQ(text, c.text);
        EXPECT_LT(text.size(), static_cast<size_t>(ADDR_TEXT_SIZE));
        // And back: the address through inet_pton, the zone through if_nametoindex or its digits.
        AddrBytes back{};
        uint32_t zone = 99;
        ASSERT_TRUE(AddrModel_Parse(text, &back, &zone));
        EXPECT_EQ(memcmp(back.b, a.words.data(), 16), 0);
        EXPECT_EQ(zone, a.zone);
    }
}

TEST(AddrTextTest, CutAtTheBufferBound) {
    const Addr a = V6("febf:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 4000000000u);
    const std::string whole = Text(a);
    ASSERT_EQ(whole.size(), 50u);
    for (size_t size : {size_t{1}, size_t{2}, size_t{39}, size_t{40}, size_t{41}, size_t{50}, size_t{51}}) {
        SCOPED_TRACE(size);
        std::vector<char> buf(size, '#');
        size_t len = Addr_Format(a, buf.data(), size);
        EXPECT_EQ(len, std::min(whole.size(), size - 1));
        EXPECT_EQ(buf[len], '\0');
        EXPECT_EQ(std::string(buf.data()), whole.substr(0, len));
    }
}

TEST(AddrTextTest, RandomAddressesInTheRfc5952FormAndParseBack) {
    for (bool linklocal : {false, true}) {
        SCOPED_TRACE(linklocal ? "link-local" : "global");
        for (const Addr& a : RandomV6(20000, linklocal, linklocal ? 2 : 1)) {
            std::string text = Text(a);
            ASSERT_EQ(text, Rfc5952(BytesOf(a), a.zone));
            AddrBytes back{};
            uint32_t zone = 0;
            ASSERT_TRUE(AddrModel_Parse(text, &back, &zone)) << text;
            ASSERT_EQ(memcmp(back.b, a.words.data(), 16), 0) << text;
            ASSERT_EQ(zone, a.zone) << text;
        }
    }
}

// A hash that missed a byte of the address or the zone would keep its value
// when a bit of that byte flips; a good 32-bit mix does so about once in
// 2^32 flips, far fewer than this test makes.
TEST(AddrHashTest, EveryBitOfAddressAndZoneReachesTheHash) {
    struct Kind {
        const char* name;
        std::vector<Addr> addrs;
        int words;  // 4: the address; 5: and the zone
    };
    std::vector<Addr> v4;
    std::mt19937 rng(3);
    for (int i = 0; i < 3000; i++) v4.push_back(Addr_FromV4(static_cast<uint32_t>(rng())));
    const Kind kinds[] = {
        {"global", RandomV6(3000, false, 4), 5},
        {"link-local", RandomV6(3000, true, 5), 5},
        {"IPv4", v4, 4},
    };
    for (const Kind& k : kinds) {
        SCOPED_TRACE(k.name);
        int unchanged = 0;
        for (const Addr& a : k.addrs) {
            uint32_t hash = Addr_Hash(a);
            for (int w = 0; w < k.words; w++) {
                for (int bit = 0; bit < 32; bit++) {
                    Addr b = a;
                    (w < 4 ? b.words[w] : b.zone) ^= uint32_t{1} << bit;
                    if (Addr_Hash(b) == hash) {
                        unchanged++;
                        ADD_FAILURE() << "bit " << bit << " of word " << w << " of " << Text(a) << " left the hash";
                    }
                    if (unchanged > 10) return;
                }
            }
        }
    }
}

// Addresses in a pattern: sequential hosts in one /64, sequential /64s, the
// same link-local address on sequential zones, and random ones.
std::vector<Addr> Pattern(const std::string& kind, size_t count) {
    if (kind == "random") return RandomV6(count, false, 6);
    std::vector<Addr> out;
    AddrBytes base = Bytes(kind == "zones" ? "fe80::1" : "2001:db8::1");
    for (uint32_t i = 0; i < count; i++) {
        AddrBytes b = base;
        uint32_t zone = 0;
        if (kind == "hosts") {
            uint32_t host = htonl(i + 1);
            memcpy(b.b + 12, &host, 4);
        } else if (kind == "subnets") {
            uint32_t subnet = htonl(i);
            memcpy(b.b + 4, &subnet, 4);
        } else {
            zone = i + 1;
        }
        out.push_back(FromBytes(b, zone));
    }
    return out;
}

// The spread over the home slots of the table, sized as DestHash_Init sizes
// it for a quarter of its slots, from 4096 to 4M slots: per-slot counts of as
// many addresses as slots within six standard deviations of the chi-square
// of a uniform spread, and a quarter-full table, probed linearly as the
// table does, with no long probe. A uniform hash gives probes of at most
// about 14 slots here; a hash blind to part of the address piles a pattern
// that varies only there onto a few slots.
TEST(AddrHashTest, IPv6SpreadsOverEveryTableSize) {
    for (const char* kind : {"hosts", "subnets", "zones", "random"}) {
        for (int bits = DESTHASH_MIN_BITS; bits <= 22; bits++) {
            SCOPED_TRACE(std::string(kind) + ", " + std::to_string(1 << bits) + " slots");
            const size_t slots = size_t{1} << bits;
            DestHash_Init(static_cast<int32_t>(slots / 4));
            ASSERT_EQ(DestHash_Slots().size(), slots);
            const std::vector<Addr> addrs = Pattern(kind, slots);

            std::vector<uint32_t> count(slots, 0);
            for (const Addr& a : addrs) {
                uint32_t home = DestHash_Index(a);
                ASSERT_LT(home, slots);
                count[home]++;
            }
            double chi2 = 0;
            for (uint32_t c : count) chi2 += (c - 1.0) * (c - 1.0);
            double df = static_cast<double>(slots - 1);
            EXPECT_LT(chi2, df + 6 * std::sqrt(2 * df));

            // Linear probing of the first quarter, as DestHash_Add places them.
            std::vector<bool> taken(slots, false);
            size_t longest = 0;
            for (size_t i = 0; i < slots / 4; i++) {
                size_t slot = DestHash_Index(addrs[i]);
                size_t probe = 0;
                for (; taken[slot]; slot = (slot + 1) & (slots - 1)) probe++;
                taken[slot] = true;
                longest = std::max(longest, probe);
            }
            EXPECT_LE(longest, 32u);
        }
    }
}

}  // namespace
