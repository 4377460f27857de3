// SPDX-License-Identifier: BSD-2-Clause
#include "recv/udp.h"

#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "common/counters.h"
#include "common/file_io.h"
#include "common/settings.h"
#include "dest/dest_dirs.h"
#include "log/log.h"
#include "recv/record.h"
#include "recv/recv_loop.h"
#include "recv/recv_test.h"

namespace {

// Datagrams taken from the kernel per system call.
constexpr int RECV_BATCH = 64;

// One datagram, plus the byte Record_Store terminates it with: it never
// reaches into the next slot.
constexpr size_t RECV_SLOT = RECORD_MAXTEXT + 1;

struct RecvBatchRecord {
    std::array<std::array<char, RECV_SLOT>, RECV_BATCH> slots;
    std::array<struct mmsghdr, RECV_BATCH> msgs;
    std::array<struct iovec, RECV_BATCH> iovs;
    std::array<struct sockaddr_in6, RECV_BATCH> from;  // room for either family
};

RecvBatchRecord Batch;
RecvSource Source;
uint32_t kernelSeen;  // the socket's own drop counter when last read, which wraps at 2^32

void InitBatch() {
    for (int i = 0; i < RECV_BATCH; i++) {
        Batch.iovs[i] = {Batch.slots[i].data(), RECORD_MAXTEXT};
        struct msghdr& h = Batch.msgs[i].msg_hdr;
        h = {};
        h.msg_name = &Batch.from[i];
        h.msg_namelen = sizeof Batch.from[i];
        h.msg_iov = &Batch.iovs[i];
        h.msg_iovlen = 1;
    }
}

// One batch: every datagram of it is handed on, whatever comes meanwhile.
// A socket that keeps a full batch waiting stays ready, so the loop's next
// turn takes the next batch after the other sources had theirs. Its only
// local array is the sender's Addr, which the code fills itself: it needs
// no stack guard, which would cost every wake-up.
[[gnu::no_stack_protector]] bool Ready(RecvSource* source, uint32_t) {
    int n = recvmmsg(source->fd, Batch.msgs.data(), RECV_BATCH, MSG_DONTWAIT, nullptr);
    if (n <= 0) return false;
    // One reading for the batch: its datagrams were read together.
    Recv_Clock();
    DestDirs_Recheck();
    for (int i = 0; i < n; i++) {
        const struct msghdr& h = Batch.msgs[i].msg_hdr;
        if (h.msg_flags & MSG_TRUNC) Totals.cut++;
        Addr from;
        size_t len = Batch.msgs[i].msg_len;
        // A sender of another family (none the socket delivers) is nobody's datagram.
        if (!Addr_FromSockaddr(Batch.from[i], &from)) len = 0;
        // The call wrote the sender's length there; the next reads it as the room.
        Batch.msgs[i].msg_hdr.msg_namelen = sizeof Batch.from[i];
        Recv_Message(from, Batch.slots[i].data(), len);
    }
    return true;
}

void Period(RecvSource*) {
    const TotalsRecord& start = Counters_PeriodStart();
    Udp_ReadQueue();
    uint64_t dropped = Totals.kernelDrops - start.kernelDrops;
    if (dropped != 0)
        Log_Msg(LOGLEVEL_FILE, "drops: kernel dropped %u datagrams (socket receive queue full)", Counters_Print(dropped));
    uint64_t cut = Totals.cut - start.cut;
    if (cut != 0)
        Log_Msg(LOGLEVEL_FILE, "drops: cut %u datagrams to %u bytes", Counters_Print(cut),
                static_cast<unsigned>(RECORD_MAXTEXT));
}

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
        File_CloseKeepErrno(sock);
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
        File_CloseKeepErrno(sock);
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

int Udp_Open() {
    int sock = -1;
    if (!Settings.ipv4only) {
        sock = OpenIpv6();
        if (sock < 0)
            Log_Msg(LOGLEVEL_CONSOLE, "warning: IPv6 is not available (%s): receiving IPv4 only", strerror(errno));
    }
    if (sock < 0) sock = OpenIpv4();
    ReportReceiveBuffer(sock);
    InitBatch();
    Source = {sock, Ready, Period};
    Recv_AddSource(&Source, EPOLLIN);
    return sock;
}

UdpQueue Udp_ReadQueue() {
    uint32_t mem[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof mem;
    if (getsockopt(Source.fd, SOL_SOCKET, SO_MEMINFO, mem, &len) != 0 || len <= SK_MEMINFO_DROPS * sizeof mem[0])
        return {0, 0, false};
    // The difference still holds across the counter's wrap.
    Totals.kernelDrops += mem[SK_MEMINFO_DROPS] - kernelSeen;
    kernelSeen = mem[SK_MEMINFO_DROPS];
    return {mem[SK_MEMINFO_RMEM_ALLOC], mem[SK_MEMINFO_RCVBUF], true};
}

void Udp_TestAdopt(int sock, uint32_t seen) {
    Source = {sock, Ready, Period};
    kernelSeen = seen;
}
