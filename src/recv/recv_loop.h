// The receive loop: one datagram per turn, per-second work, rollover, hangup.
#pragma once

#include <cstdint>
#include <ctime>

#include "common/counters.h"

// Runs until an iteration ends with StopFlag set; returns the opens of the
// current period. tm holds the start-up clock's local time.
int32_t Recv_Loop(int sock, struct tm* tm);
