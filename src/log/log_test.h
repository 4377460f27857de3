// SPDX-License-Identifier: BSD-2-Clause
// Test seam of the daemon log: not for the daemon's own modules.
#pragma once

// No refused line waits to be told of: as at start, with the counters as they stand.
void Log_TestReset();
