// SPDX-License-Identifier: BSD-2-Clause
// Test seams of reception: state and shortcuts for the tests, not for the
// daemon's own modules.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/addr.h"

// The length of the start of p that the control-byte cleaning leaves as it
// is, or less (down to the start of the 16- or 64-byte block holding the
// first byte to change). Record_ControlFree is the build the cpu runs (AVX2
// where it has it); the portable one is the build without.
size_t Record_ControlFree(const char* p, size_t len);
size_t Record_ControlFreePortable(const char* p, size_t len);

// The per-second state of the open gate, and the fail report table, which
// a test may set up or reset to what start-up leaves.
struct OpenGateState {
    int32_t attempts;           // open attempts this second, admitted or not
    int32_t secondsSinceFlush;  // 0 after a reset, +1 per tick; <= 1 is a burst second
    uint64_t reportedRate;      // Totals.droppedRate at the last report
    uint64_t reportedBurst;     // Totals.droppedBurst at the last report
};
OpenGateState& OpenGate_State();

// The gate as start-up leaves it, its report taken as made up to the totals.
void OpenGate_TestReset();

inline constexpr int FAILREPORT_ENTRIES = 10;

struct FailReport {
    Addr addr;
    uint64_t count;
};

struct FailReportTable {
    FailReport entries[FAILREPORT_ENTRIES];  // in order of first failure
    int32_t used;
    uint64_t overflow;  // failures of sources that found the table full
};
FailReportTable& FailReport_State();

// Takes sock, a datagram socket the test made, as the UDP source's socket
// whose queue Udp_ReadQueue reads, with seen as the socket's drop counter
// when last read (the counter wraps at 2^32).
void Udp_TestAdopt(int sock, uint32_t seen = 0);
