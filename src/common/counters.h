// SPDX-License-Identifier: BSD-2-Clause
// Counters below every module: received bytes, which the receive loop adds
// and the eviction's random pick reads; the totals since start, which the
// metrics file shows; and the saturating step that every per-period count
// uses.
#pragma once

#include <cstdint>

// Bytes received since the last rollover, as millions and a remainder.
struct RecvCounterRecord {
    uint32_t millions;
    uint32_t remainder;  // below 1,000,000
};

extern RecvCounterRecord RecvCounter;

void RecvCounter_Add(uint32_t len);

// What became of every datagram since start, never reset and never
// saturating: each is raised where the per-period count or the log line it
// matches is made. Every datagram received is stored or dropped for exactly
// one reason, so receivedDatagrams = stored + droppedFailed + droppedRate +
// droppedBurst + droppedCap between any two datagrams.
struct TotalsRecord {
    uint64_t receivedDatagrams;  // of one byte or more, taken from the socket
    uint64_t receivedBytes;
    uint64_t stored;             // handed to their source's file below its cap
    uint64_t droppedFailed;      // the source's file could not be opened, or it has no directory
    uint64_t droppedRate;        // refused by maxopenspersec
    uint64_t droppedBurst;       // refused by maxopen in a burst second
    uint64_t droppedCap;         // came for a file at its size cap
    uint64_t cut;                // longer than a datagram is stored
    uint64_t lostRecords;        // records that could not be written
    uint64_t fileOpens;          // admitted by the open gate
    uint64_t evictions;
    uint64_t logUnwritten;       // daemon log lines that went to stderr instead
    int64_t lastDatagramSec;     // clock of the last datagram received, 0 before it
    int64_t lastDatagramUsec;
};

extern TotalsRecord Totals;

// Raises a counter by more (at least 0), stopping at 2147483647 instead of wrapping.
inline void Count_Add(int32_t& n, int32_t more) {
    n = n > INT32_MAX - more ? INT32_MAX : n + more;
}

inline void Count_Inc(int32_t& n) { Count_Add(n, 1); }
