// SPDX-License-Identifier: BSD-2-Clause
#include "common/addr.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "common/fd_reserve.h"

namespace {

// The dotted quad without a format: every datagram of a source without a
// descriptor needs its text to look its directory up.
size_t FormatV4(uint32_t ip, char* buf) {
    const auto* o = reinterpret_cast<const unsigned char*>(&ip);
    char* p = buf;
    for (int i = 0; i < 4; i++) {
        unsigned v = o[i];
        if (v >= 100) *p++ = static_cast<char>('0' + v / 100);
        if (v >= 10) *p++ = static_cast<char>('0' + v / 10 % 10);
        *p++ = static_cast<char>('0' + v % 10);
        *p++ = i < 3 ? '.' : '\0';
    }
    return static_cast<size_t>(p - buf - 1);
}

// The name of an interface takes a socket to ask for; at the open-file
// limit a pooled file gives its descriptor back first. The C library tells
// of a socket it could not make as ENOENT (a missing interface is ENXIO).
const char* InterfaceName(uint32_t index, char* name) {
    const char* got = if_indextoname(index, name);
    if (got == nullptr && (errno == ENOENT || errno == EMFILE || errno == ENFILE) && FdReserve_Reclaim(EMFILE))
        got = if_indextoname(index, name);
    return got;
}

}  // namespace

size_t Addr_Format(const Addr& a, char* buf, size_t size) {
    if (size == 0) return 0;
    int n;
    if (Addr_IsV4(a)) {
        // "255.255.255.255" and its NUL.
        if (size >= 16) return FormatV4(Addr_V4(a), buf);
        const auto* o = reinterpret_cast<const unsigned char*>(a.words.data() + 3);
        n = snprintf(buf, size, "%u.%u.%u.%u", o[0], o[1], o[2], o[3]);
    } else {
        char text[INET6_ADDRSTRLEN];
        if (inet_ntop(AF_INET6, a.words.data(), text, sizeof text) == nullptr) text[0] = '\0';
        char name[IF_NAMESIZE];
        if (a.zone == 0)
            n = snprintf(buf, size, "%s", text);
        else if (InterfaceName(a.zone, name) != nullptr)
            n = snprintf(buf, size, "%s%%%s", text, name);
        else
            n = snprintf(buf, size, "%s%%%u", text, a.zone);
    }
    if (n < 0) {
        buf[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}
