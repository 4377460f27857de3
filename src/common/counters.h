// SPDX-License-Identifier: BSD-2-Clause
// Counters below every module: received bytes, which the receive loop adds
// and the eviction's random pick reads, and the saturating step that every
// per-period count uses.
#pragma once

#include <cstdint>

// Bytes received since the last rollover, as millions and a remainder.
struct RecvCounterRecord {
    uint32_t millions;
    uint32_t remainder;  // below 1,000,000
};

extern RecvCounterRecord RecvCounter;

void RecvCounter_Add(uint32_t len);

// Raises a counter by more (at least 0), stopping at 2147483647 instead of wrapping.
inline void Count_Add(int32_t& n, int32_t more) {
    n = n > INT32_MAX - more ? INT32_MAX : n + more;
}

inline void Count_Inc(int32_t& n) { Count_Add(n, 1); }
