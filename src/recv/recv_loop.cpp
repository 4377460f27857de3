// SPDX-License-Identifier: BSD-2-Clause
#include "recv/recv_loop.h"

#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>

#include "clock/clock.h"
#include "common/counters.h"
#include "dest/dest_dirs.h"
#include "dest/dest_hash.h"
#include "dest/dest_pool.h"
#include "log/log.h"
#include "metrics/metrics.h"
#include "recv/fail_report.h"
#include "recv/open_gate.h"
#include "recv/record.h"
#include "shell/lifecycle.h"

namespace {

constexpr int WAIT_MS = 250;

// Datagrams taken from the kernel per system call.
constexpr int RECV_BATCH = 64;

// One datagram, plus the byte Record_Store terminates it with: it never
// reaches into the next slot.
constexpr size_t RECV_SLOT = RECORD_MAXTEXT + 1;

// A stop stores what is already queued, for at most this long.
constexpr int64_t STOP_DRAIN_USEC = 1000000;

struct Datagram {
    char* data;
    size_t len;
    Addr source;
};

struct RecvBatchRecord {
    std::array<std::array<char, RECV_SLOT>, RECV_BATCH> slots;
    std::array<struct mmsghdr, RECV_BATCH> msgs;
    std::array<struct iovec, RECV_BATCH> iovs;
    std::array<struct sockaddr_in6, RECV_BATCH> from;  // room for either family
    int count;  // datagrams the last call delivered
    int next;   // the next of them to hand out
};

RecvBatchRecord Batch;

// Losses the daemon sees only from the socket: counted per period.
struct SocketLossRecord {
    uint32_t kernelDropsSeen;  // the socket's drop counter at the last report
    int32_t cut;               // datagrams longer than RECORD_MAXTEXT
};

SocketLossRecord SocketLoss;

struct Period {
    int hour, mday, mon, year;
};

void Batch_Init() {
    for (int i = 0; i < RECV_BATCH; i++) {
        Batch.iovs[i] = {Batch.slots[i].data(), RECORD_MAXTEXT};
        struct msghdr& h = Batch.msgs[i].msg_hdr;
        h = {};
        h.msg_name = &Batch.from[i];
        h.msg_namelen = sizeof Batch.from[i];
        h.msg_iov = &Batch.iovs[i];
        h.msg_iovlen = 1;
    }
    Batch.count = 0;
    Batch.next = 0;
}

int ReceiveBatch(int sock) {
    // Only the entries the last call filled have had their lengths changed.
    for (int i = 0; i < Batch.count; i++) Batch.msgs[i].msg_hdr.msg_namelen = sizeof Batch.from[i];
    int n = recvmmsg(sock, Batch.msgs.data(), RECV_BATCH, MSG_DONTWAIT, nullptr);
    Batch.count = n > 0 ? n : 0;
    if (n > 0) DestDirs_Recheck();
    Batch.next = 0;
    return Batch.count;
}

// Hands out the next datagram, receiving a new batch when this one is used
// up. With wait set an empty socket is waited on for at most WAIT_MS; the
// timeout of recvmmsg itself is no use, as it is checked only after a
// datagram arrives. A batch shorter than RECV_BATCH emptied the queue, so
// then the wait comes first: a datagram that came since ends it at once, and
// a trickle of single datagrams costs no call that finds nothing.
bool Receive(int sock, bool wait, Datagram* dg) {
    if (Batch.next >= Batch.count) {
        bool drained = wait && Batch.count < RECV_BATCH;
        if (drained || ReceiveBatch(sock) == 0) {
            if (!wait) return false;
            struct pollfd pfd = {sock, POLLIN, 0};
            if (poll(&pfd, 1, WAIT_MS) <= 0 || ReceiveBatch(sock) == 0) return false;
        }
    }
    int i = Batch.next++;
    const struct msghdr& h = Batch.msgs[i].msg_hdr;
    if (h.msg_flags & MSG_TRUNC) {
        Count_Inc(SocketLoss.cut);
        Totals.cut++;
    }
    dg->data = Batch.slots[i].data();
    dg->len = Batch.msgs[i].msg_len;
    // A sender of another family (none the socket delivers) is nobody's datagram.
    if (!Addr_FromSockaddr(Batch.from[i], &dg->source)) dg->len = 0;
    return true;
}

// The socket's own count of datagrams it had no room for.
uint32_t KernelDrops(int sock) {
    uint32_t mem[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof mem;
    if (getsockopt(sock, SOL_SOCKET, SO_MEMINFO, mem, &len) != 0 || len <= SK_MEMINFO_DROPS * sizeof mem[0])
        return SocketLoss.kernelDropsSeen;
    return mem[SK_MEMINFO_DROPS];
}

void Rollover(int sock, bool first, int32_t* opens) {
    Log_Close();
    Log_Open();
    DestPool_CloseAll();
    DestDirs_Read();
    // Nothing was counted before the first turn but that turn's own datagram,
    // which belongs to the first period: resetting then would lose it.
    if (!first) Recv_Statistics(sock, *opens);
    FailReport_Flush();
    *opens = 0;
    OpenGate_Reset();
}

void Hangup() {
    Log_Msg(LOGLEVEL_FILE, "signal: got SIGHUP - flushing and closing all open files");
    DestPool_CloseAll();
    DestDirs_Read();
    Log_Close();
    Log_Open();
    Log_Msg(LOGLEVEL_FILE, "signal: back from SIGHUP - all files including local daemon log were closed");
    OpenGate_Reset();
}

// A source without a descriptor is stored only when its directory exists;
// that is looked up before the open gate, so sources nobody made a
// directory for (a flood of forged addresses among them) cost neither
// admissions of the gate nor descriptors nor a system call, and a directory
// made while the daemon runs counts from the source's next datagram on.
void Route(const Datagram& dg, int32_t* opens) {
    Dest* d = DestHash_Find(dg.source);
    if (d != nullptr) {
        if (Dest_IsOpen(d))
            Record_Store(d, dg.data, dg.len);
        else
            FailReport_Add(dg.source);
        // A write-out on the way may have found the directory gone.
        if (d->gone) DestPool_Release(d);
        return;
    }
    char text[ADDR_TEXT_SIZE];
    Addr_Format(dg.source, text, sizeof text);
    if (!DestDirs_Has(text)) {
        FailReport_Add(dg.source);
        return;
    }
    if (!OpenGate_Allow()) return;
    Count_Inc(*opens);
    Totals.fileOpens++;
    d = DestPool_Take();
    if (Dest_Open(d, dg.source)) {
        Record_Store(d, dg.data, dg.len);
    } else {
        FailReport_Add(dg.source);
    }
    if (d->gone) DestPool_Release(d);
}

}  // namespace

void Recv_Statistics(int sock, int32_t opens) {
    Log_Msg(LOGLEVEL_FILE, "statistics: opens=%u recvd=%u%06u", static_cast<unsigned>(opens),
            RecvCounter.millions, RecvCounter.remainder);
    RecvCounter = {0, 0};
    uint32_t drops = KernelDrops(sock);
    // The kernel's counter wraps at 2^32; the difference still holds.
    uint32_t dropped = drops - SocketLoss.kernelDropsSeen;
    SocketLoss.kernelDropsSeen = drops;
    if (dropped != 0) Log_Msg(LOGLEVEL_FILE, "drops: kernel dropped %u datagrams (socket receive queue full)", dropped);
    if (SocketLoss.cut != 0)
        Log_Msg(LOGLEVEL_FILE, "drops: cut %u datagrams to %u bytes", static_cast<unsigned>(SocketLoss.cut),
                static_cast<unsigned>(RECORD_MAXTEXT));
    SocketLoss.cut = 0;
}

int32_t Recv_Loop(int sock, struct tm* tm) {
    bool first = true;
    int32_t opens = 0;
    Period last = {-1, -1, -1, -1};
    int64_t drainUntil = -1;  // set when a stop is requested
    Batch_Init();
    for (;;) {
        Datagram dg = {nullptr, 0, {}};
        bool got = Receive(sock, drainUntil < 0, &dg);
        RecvCounter_Add(static_cast<uint32_t>(dg.len));

        int clock = Clock_Update(&Clock, tm);
        if (clock == CLOCK_FAILED) FatalErrno(Clock.failed);
        bool metricsDue = false;
        if (clock == CLOCK_CHANGED || first) {
            Period now = {tm->tm_hour, tm->tm_mday, tm->tm_mon, tm->tm_year};
            if (first || now.hour != last.hour || now.mday != last.mday || now.mon != last.mon ||
                now.year != last.year) {
                Rollover(sock, first, &opens);
                metricsDue = !first;
            }
            OpenGate_Tick();
            // Records wait in memory at most about a second.
            if (!first) DestPool_WriteOutBefore(Clock.sec);
            if (!first) DestDirs_Tick();
            last = now;
            metricsDue = metricsDue || Clock.sec % 10 == 0;
        }

        if (HupFlag) {
            HupFlag = 0;
            Hangup();
            metricsDue = true;
        }
        if (metricsDue && Settings.metrics != nullptr) Metrics_Write(sock);

        if (dg.len > 0) {
            Totals.receivedDatagrams++;
            Totals.receivedBytes += dg.len;
            Totals.lastDatagramSec = Clock.sec;
            Totals.lastDatagramUsec = Clock.usec;
            Route(dg, &opens);
        }

        first = false;
        if (StopFlag) {
            // What the kernel already holds is stored before the shutdown,
            // but a sender that never pauses cannot hold the stop off; what
            // was taken from the kernel is always finished. The bound is on
            // the steady clock: a wall clock held or stepped back (NTP, an
            // operator, a resumed virtual machine) must not stretch it.
            if (drainUntil < 0)
                drainUntil = Clock_SteadyUsec() + STOP_DRAIN_USEC;
            else if (Batch.next >= Batch.count && (!got || Clock_SteadyUsec() >= drainUntil))
                return opens;
        }
    }
}
