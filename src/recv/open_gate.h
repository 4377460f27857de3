// SPDX-License-Identifier: BSD-2-Clause
// Admission of new file opens per second, and the once-a-second drop report.
#pragma once

// Counts an attempt and answers whether a file may be opened now.
bool OpenGate_Allow();

// Reports the refusals of the second just ended and starts a new one.
void OpenGate_Tick();

// Starts a burst allowance after every file has been closed.
void OpenGate_Reset();
