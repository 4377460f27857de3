// SPDX-License-Identifier: BSD-2-Clause
// Admission of new file opens per second, and the once-a-second drop report.
#pragma once

#include <cstdint>

struct OpenGateState {
    int32_t attempts;           // open attempts this second, admitted or not
    int32_t secondsSinceFlush;  // 0 after a reset, +1 per tick; <= 1 is a burst second
    int32_t refusedPerSec;      // refused by maxopenspersec since the last report
    int32_t refusedMaxopen;     // refused by maxopen in a burst second since the last report
};

extern OpenGateState OpenGate;

// Counts an attempt and answers whether a file may be opened now.
bool OpenGate_Allow();

// Reports the refusals of the second just ended and starts a new one.
void OpenGate_Tick();

// Starts a burst allowance after every file has been closed.
void OpenGate_Reset();
