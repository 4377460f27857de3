// SPDX-License-Identifier: BSD-2-Clause
#include "common/counters.h"

TotalsRecord Totals;

namespace {

TotalsRecord periodStart;

}  // namespace

const TotalsRecord& Counters_PeriodStart() { return periodStart; }

void Counters_StartPeriod() { periodStart = Totals; }
