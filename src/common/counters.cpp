// SPDX-License-Identifier: BSD-2-Clause
#include "common/counters.h"

RecvCounterRecord RecvCounter;
TotalsRecord Totals;

void RecvCounter_Add(uint32_t len) {
    RecvCounter.remainder += len;
    if (RecvCounter.remainder >= 1000000) {
        RecvCounter.millions += RecvCounter.remainder / 1000000;
        RecvCounter.remainder %= 1000000;
    }
}
