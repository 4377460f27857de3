// SPDX-License-Identifier: BSD-2-Clause
// Test seam of the clock: not for the daemon's own modules.
#pragma once

#include "clock/clock.h"

// Clock_Update for a given reading instead of the wall clock.
ClockTurn Clock_UpdateAt(ClockRecord* clock, int64_t sec, int64_t usec);
