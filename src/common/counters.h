// SPDX-License-Identifier: BSD-2-Clause
// What became of every datagram, counted once per event. The totals only
// grow; a period's numbers (a second, an hour) are the difference of the
// totals since the period began, and a line that prints one stops it at
// 2147483647 there. The metrics file shows the totals themselves.
#pragma once

#include <cstdint>

// Every datagram received is stored or dropped for exactly one reason, so
// receivedDatagrams = stored + droppedFailed + droppedRate + droppedBurst +
// droppedCap between any two datagrams.
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
    uint64_t kernelDrops;        // the socket had no room for them, as last read from it
};

extern TotalsRecord Totals;

// The totals when the current statistics period (the hour) began.
const TotalsRecord& Counters_PeriodStart();

// Begins a new statistics period at the totals as they stand.
void Counters_StartPeriod();

// A count as a line prints it with %u: at most 2147483647.
inline uint32_t Counters_Print(uint64_t n) { return n > INT32_MAX ? INT32_MAX : static_cast<uint32_t>(n); }
