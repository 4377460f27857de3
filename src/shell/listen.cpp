// SPDX-License-Identifier: BSD-2-Clause
#include "shell/listen.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "log/log.h"
#include "shell/settings.h"

namespace {

// The errors that say the system has no IPv6, rather than that the port or
// the process is at fault.
bool NoIpv6(int err) { return err == EAFNOSUPPORT || err == EADDRNOTAVAIL || err == EPROTONOSUPPORT; }

// Before the bind, so the queue is that large from the first datagram on.
// SO_RCVBUFFORCE passes net.core.rmem_max, but needs CAP_NET_ADMIN.
void SetReceiveBuffer(int sock) {
    if (Settings.rcvbuf <= 0) return;
    int bytes = Settings.rcvbuf;
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void ReportReceiveBuffer(int sock) {
    if (Settings.rcvbuf <= 0) return;
    int got = 0;
    socklen_t len = sizeof got;
    if (getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &got, &len) != 0) got = 0;
    Log_Msg(LOGLEVEL_CONSOLE, "startup: socket receive buffer %u bytes", static_cast<unsigned>(got));
    // The kernel grants twice what is asked, for its own bookkeeping, but
    // keeps the doubled size within an int.
    uint64_t asked = static_cast<uint64_t>(Settings.rcvbuf);
    uint64_t full = 2 * (asked < INT_MAX / 2 ? asked : INT_MAX / 2);
    if (static_cast<uint64_t>(got) < full)
        Log_Msg(LOGLEVEL_CONSOLE,
                "warning: socket receive buffer capped at %u bytes (asked for %u): raise net.core.rmem_max or "
                "grant CAP_NET_ADMIN",
                static_cast<unsigned>(got), static_cast<unsigned>(Settings.rcvbuf));
}

// The dual-stack socket, or -1 with errno set when the system has no IPv6.
int OpenIpv6() {
    int sock = socket(AF_INET6, SOCK_DGRAM, 0);
    if (sock < 0) {
        if (NoIpv6(errno)) return -1;
        FatalErrno("socket");
    }
    // Whatever net.ipv6.bindv6only says: IPv4 senders come in on this socket too.
    int off = 0;
    if (setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) {
        int saved = errno;
        close(sock);
        errno = saved;
        return -1;
    }
    SetReceiveBuffer(sock);
    struct sockaddr_in6 addr;
    memset(&addr, 0, sizeof addr);
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(static_cast<uint16_t>(Settings.port));
    addr.sin6_addr = in6addr_any;
    if (bind(sock, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
        if (!NoIpv6(errno)) FatalErrno("bind");
        int saved = errno;
        close(sock);
        errno = saved;
        return -1;
    }
    return sock;
}

int OpenIpv4() {
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) FatalErrno("socket");
    SetReceiveBuffer(sock);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(Settings.port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(sock, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) FatalErrno("bind");
    return sock;
}

}  // namespace

int Listen_Open() {
    int sock = -1;
    if (!Settings.ipv4only) {
        sock = OpenIpv6();
        if (sock < 0)
            Log_Msg(LOGLEVEL_CONSOLE, "warning: IPv6 is not available (%s): receiving IPv4 only", strerror(errno));
    }
    if (sock < 0) sock = OpenIpv4();
    ReportReceiveBuffer(sock);
    return sock;
}
