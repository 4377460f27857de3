#include "recv/recv_loop.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "clock/clock.h"
#include "dest/dest_hash.h"
#include "dest/dest_pool.h"
#include "log/log.h"
#include "recv/fail_report.h"
#include "recv/open_gate.h"
#include "recv/record.h"
#include "shell/lifecycle.h"

namespace {

constexpr int WAIT_MS = 250;

// One datagram, plus the byte Record_Store terminates it with.
char recvbuf[RECORD_MAXTEXT + 1];

struct Period {
    int hour, mday, mon, year;
};

// Receives one datagram, waiting at most WAIT_MS for it. A queued datagram is
// taken without the wait's system call, which matters under load.
size_t Receive(int sock, uint32_t* source) {
    struct sockaddr_in from;
    socklen_t fromlen = sizeof from;
    ssize_t n = recvfrom(sock, recvbuf, RECORD_MAXTEXT, MSG_DONTWAIT,
                         reinterpret_cast<struct sockaddr*>(&from), &fromlen);
    if (n < 0) {
        struct pollfd pfd = {sock, POLLIN, 0};
        if (poll(&pfd, 1, WAIT_MS) <= 0) return 0;
        fromlen = sizeof from;
        n = recvfrom(sock, recvbuf, RECORD_MAXTEXT, MSG_DONTWAIT,
                     reinterpret_cast<struct sockaddr*>(&from), &fromlen);
    }
    if (n <= 0) return 0;
    *source = from.sin_addr.s_addr;
    return static_cast<size_t>(n);
}

void Rollover(bool first, int32_t* opens) {
    Log_Close();
    Log_Open();
    DestPool_CloseAll();
    // Nothing was counted before the first turn but that turn's own datagram,
    // which belongs to the first period: resetting then would lose it.
    if (!first) {
        Log_Msg(LOGLEVEL_FILE, "statistics: opens=%u recvd=%u%06u", static_cast<unsigned>(*opens),
                RecvCounter.millions, RecvCounter.remainder);
        RecvCounter = {0, 0};
    }
    FailReport_Flush();
    *opens = 0;
    OpenGate_Reset();
}

void Hangup() {
    Log_Msg(LOGLEVEL_FILE, "signal: got SIGHUP - flushing and closing all open files");
    DestPool_CloseAll();
    Log_Close();
    Log_Open();
    Log_Msg(LOGLEVEL_FILE, "signal: back from SIGHUP - all files including local daemon log were closed");
    OpenGate_Reset();
}

void Route(uint32_t source, size_t len, int32_t* opens) {
    Dest* d = DestHash_Find(source);
    if (d != nullptr) {
        if (Dest_IsOpen(d))
            Record_Store(d, recvbuf, len);
        else
            FailReport_Add(source);
        return;
    }
    if (!OpenGate_Allow()) return;
    Count_Inc(*opens);
    d = DestPool_Take();
    if (Dest_Open(d, source))
        Record_Store(d, recvbuf, len);
    else
        FailReport_Add(source);
}

}  // namespace

int32_t Recv_Loop(int sock, struct tm* tm) {
    bool first = true;
    int32_t opens = 0;
    Period last = {-1, -1, -1, -1};
    for (;;) {
        uint32_t source = 0;
        size_t len = Receive(sock, &source);
        RecvCounter_Add(static_cast<uint32_t>(len));

        if (Clock_Update(&Clock, tm) || first) {
            Period now = {tm->tm_hour, tm->tm_mday, tm->tm_mon, tm->tm_year};
            if (first || now.hour != last.hour || now.mday != last.mday || now.mon != last.mon ||
                now.year != last.year)
                Rollover(first, &opens);
            OpenGate_Tick();
            last = now;
        }

        if (HupFlag) {
            HupFlag = 0;
            Hangup();
        }

        if (len > 0) Route(source, len, &opens);

        first = false;
        if (StopFlag) return opens;
    }
}
