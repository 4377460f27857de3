// The receive loop: one datagram per turn, per-second work, rollover, hangup.
#pragma once

#include <cstdint>
#include <ctime>

// Bytes received since the last rollover, as millions and a remainder.
struct RecvCounterRecord {
    uint32_t millions;
    uint32_t remainder;  // below 1,000,000
};

extern RecvCounterRecord RecvCounter;

void RecvCounter_Add(uint32_t len);

// Runs until an iteration ends with StopFlag set; returns the opens of the
// current period. tm holds the start-up clock's local time.
int32_t Recv_Loop(int sock, struct tm* tm);
