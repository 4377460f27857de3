// SPDX-License-Identifier: BSD-2-Clause
#include "recv/recv_loop.h"

#include <sys/epoll.h>

#include <array>

#include "clock/clock.h"
#include "common/counters.h"
#include "common/settings.h"
#include "common/signal_flags.h"
#include "dest/dest_dirs.h"
#include "dest/dest_hash.h"
#include "dest/dest_pool.h"
#include "log/log.h"
#include "recv/fail_report.h"
#include "recv/open_gate.h"
#include "recv/record.h"

namespace {

// The longest wait, so a hangup, a stop and the once-a-second work are
// served within a quarter of a second without traffic.
constexpr int WAIT_MS = 250;

// Seconds between two writes of the metrics file.
constexpr int64_t REPORT_PERIOD_SEC = 10;

// A stop stores what the sources already hold, for at most this long.
constexpr int64_t STOP_DRAIN_USEC = 1000000;

// Sources ready at once that one wait reports; more wait for the next turn.
constexpr int READY_MAX = 64;

// The sources with their own lines after the statistics line.
constexpr int SOURCES_MAX = 8;

struct LoopRecord {
    int epfd = -1;
    std::array<RecvSource*, SOURCES_MAX> sources{};
    int nsources = 0;
    void (*report)() = nullptr;
    bool first = true;     // the clock has not been looked at by the loop yet
    uint64_t clocks = 0;   // calls of Recv_Clock, so a turn knows whether the clock was looked at
};

LoopRecord Loop;

void Statistics() {
    const TotalsRecord& start = Counters_PeriodStart();
    uint64_t bytes = Totals.receivedBytes - start.receivedBytes;
    // The millions wrap at 2^32, as the statistics line has always printed them.
    Log_Msg(LOGLEVEL_FILE, "statistics: opens=%u recvd=%u%06u", Counters_Print(Totals.fileOpens - start.fileOpens),
            static_cast<uint32_t>(bytes / 1000000), static_cast<uint32_t>(bytes % 1000000));
    for (int i = 0; i < Loop.nsources; i++)
        if (Loop.sources[i]->period != nullptr) Loop.sources[i]->period(Loop.sources[i]);
}

void Rollover() {
    Log_Close();
    Log_Open();
    DestPool_CloseAll();
    DestDirs_Read();
    // The first rollover begins the first period: there is none to report.
    if (!Loop.first) {
        Statistics();
        Counters_StartPeriod();
    }
    FailReport_Flush();
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

// What a new second, hour or day and a hangup ask for, once the clock told
// of one of them, or at the loop's start.
[[gnu::noinline]] void TurnWork(ClockTurn turn) {
    if (turn == CLOCK_FAILED) FatalErrno(Clock.failed);
    bool report = false;
    if (turn >= CLOCK_SECOND || Loop.first) {
        if (turn >= CLOCK_HOUR || Loop.first) {
            Rollover();
            report = !Loop.first;
        }
        OpenGate_Tick();
        if (!Loop.first) {
            // Records wait in memory at most about a second.
            DestPool_WriteOutBefore(Clock.sec);
            DestDirs_Tick();
        }
        report = report || Clock.sec % REPORT_PERIOD_SEC == 0;
        Loop.first = false;
    }
    if (HupFlag) {
        HupFlag = 0;
        Hangup();
        report = true;
    }
    if (report && Loop.report != nullptr) Loop.report();
}

// The clock, read for every message: the same second without a hangup, the
// common case, costs no call beyond the clock's.
inline void Turn() {
    ClockTurn turn = Clock_Update(&Clock);
    if (turn != CLOCK_SAME || HupFlag || Loop.first) [[unlikely]]
        TurnWork(turn);
}

// A source without a descriptor is stored only when its directory exists;
// that is looked up before the open gate, so sources nobody made a
// directory for (a flood of forged addresses among them) cost neither
// admissions of the gate nor descriptors nor a system call, and a directory
// made while the daemon runs counts from the source's next datagram on. Out
// of line: the text buffer would cost every datagram a stack guard.
[[gnu::noinline]] void RouteUnknown(const Addr& source, char* data, size_t len) {
    char text[ADDR_TEXT_SIZE];
    size_t textlen = Addr_Format(source, text, sizeof text);
    if (!DestDirs_Has(text)) {
        FailReport_Add(source);
        return;
    }
    if (!OpenGate_Allow()) return;
    Totals.fileOpens++;
    DestStatus st;
    Dest* d = DestPool_Open(source, text, textlen, &st);
    if (st != DEST_OK)
        FailReport_Add(source);
    else if (Record_Store(d, data, len) == DEST_GONE)
        DestPool_Release(d);
}

void Route(const Addr& source, char* data, size_t len) {
    Dest* d = DestHash_Find(source);
    if (d == nullptr) [[unlikely]] {
        RouteUnknown(source, data, len);
        return;
    }
    if (!Dest_IsOpen(d))
        FailReport_Add(source);
    else if (Record_Store(d, data, len) == DEST_GONE)
        DestPool_Release(d);
}

}  // namespace

void Recv_AddSource(RecvSource* source, uint32_t events) {
    if (Loop.epfd < 0) Loop.epfd = epoll_create1(EPOLL_CLOEXEC);
    if (Loop.epfd < 0) FatalErrno("epoll_create1");
    if (Loop.nsources == SOURCES_MAX) Fatal("INTERNAL BROKENNESS: Recv_AddSource: more sources than the loop holds");
    struct epoll_event ev = {};
    ev.events = events;
    ev.data.ptr = source;
    if (epoll_ctl(Loop.epfd, EPOLL_CTL_ADD, source->fd, &ev) != 0) FatalErrno("epoll_ctl");
    Loop.sources[Loop.nsources++] = source;
}

void Recv_Clock() {
    Loop.clocks++;
    Turn();
}

void Recv_Message(const Addr& source, char* data, size_t len) {
    if (len == 0) return;
    Totals.receivedDatagrams++;
    Totals.receivedBytes += len;
    Totals.lastDatagramSec = Clock.sec;
    Totals.lastDatagramUsec = Clock.usec;
    Route(source, data, len);
}

void Recv_Loop(void (*report)()) {
    Loop.report = report;
    Turn();
    int64_t drainUntil = -1;  // set when a stop is requested
    std::array<struct epoll_event, READY_MAX> ready;
    for (;;) {
        int n = epoll_wait(Loop.epfd, ready.data(), READY_MAX, drainUntil < 0 ? WAIT_MS : 0);
        uint64_t before = Loop.clocks;
        bool got = false;
        for (int i = 0; i < n; i++) {
            auto* source = static_cast<RecvSource*>(ready[i].data.ptr);
            got = source->ready(source, ready[i].events) || got;
        }
        // A turn without a read still keeps the clock and its work.
        if (Loop.clocks == before) Turn();
        if (StopFlag) {
            // What the sources already hold is stored before the shutdown,
            // but a sender that never pauses cannot hold the stop off. The
            // bound is on the steady clock: a wall clock held or stepped back
            // (NTP, an operator, a resumed virtual machine) must not stretch it.
            if (drainUntil < 0)
                drainUntil = Clock_SteadyUsec() + STOP_DRAIN_USEC;
            else if (!got || Clock_SteadyUsec() >= drainUntil)
                return;
        }
    }
}

void Recv_EndPeriod() {
    // The last, partial second's refusals are reported like any other second's.
    OpenGate_Tick();
    Statistics();
    FailReport_Flush();
}
