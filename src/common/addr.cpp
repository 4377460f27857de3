// SPDX-License-Identifier: BSD-2-Clause
#include "common/addr.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cstdio>

size_t Addr_Format(const Addr& a, char* buf, size_t size) {
    int n;
    if (Addr_IsV4(a)) {
        uint32_t ip = Addr_V4(a);
        const auto* o = reinterpret_cast<const unsigned char*>(&ip);
        n = snprintf(buf, size, "%u.%u.%u.%u", o[0], o[1], o[2], o[3]);
    } else {
        char text[INET6_ADDRSTRLEN];
        if (inet_ntop(AF_INET6, a.words.data(), text, sizeof text) == nullptr) text[0] = '\0';
        char name[IF_NAMESIZE];
        if (a.zone == 0)
            n = snprintf(buf, size, "%s", text);
        else if (if_indextoname(a.zone, name) != nullptr)
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
