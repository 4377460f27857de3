// SPDX-License-Identifier: BSD-2-Clause
// The receive loop: one datagram per turn, per-second work, rollover, hangup.
#pragma once

#include <cstdint>
#include <ctime>

// Runs until an iteration ends with StopFlag set and the datagrams already
// queued on the socket are stored; returns the opens of the current period.
// tm holds the start-up clock's local time.
int32_t Recv_Loop(int sock, struct tm* tm);

// Writes the period's statistics line and the loss lines that go with it,
// then starts the next period's counts.
void Recv_Statistics(int sock, int32_t opens);
