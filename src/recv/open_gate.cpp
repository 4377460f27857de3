// SPDX-License-Identifier: BSD-2-Clause
#include "recv/open_gate.h"

#include "common/counters.h"
#include "common/settings.h"
#include "log/log.h"
#include "recv/recv_test.h"

namespace {

OpenGateState Gate;

}  // namespace

// A refusal is blamed on its limit when it happens: a reset later in the same
// second changes the limit for the attempts after it, not for those before.
bool OpenGate_Allow() {
    int32_t a = Gate.attempts;
    Gate.attempts = a + 1;
    int32_t m = Settings.maxopenspersec;
    int32_t big = Settings.maxopen;
    if (m <= 0 || a < m) return true;
    if (Gate.secondsSinceFlush <= 1 && a < big) return true;
    if (Gate.secondsSinceFlush <= 1 && big > m)
        Totals.droppedBurst++;
    else
        Totals.droppedRate++;
    return false;
}

void OpenGate_Tick() {
    uint64_t rate = Totals.droppedRate - Gate.reportedRate;
    uint64_t burst = Totals.droppedBurst - Gate.reportedBurst;
    if (rate > 0)
        Log_Msg(LOGLEVEL_FILE, "drops: ignored %u file open attempts. maxopenspersec (%u) exceeded.",
                Counters_Print(rate), static_cast<unsigned>(Settings.maxopenspersec));
    if (burst > 0)
        Log_Msg(LOGLEVEL_FILE,
                "drops: ignored %u file open attempts. maxopen (%u) exceeded during a single second.",
                Counters_Print(burst), static_cast<unsigned>(Settings.maxopen));
    Gate.reportedRate = Totals.droppedRate;
    Gate.reportedBurst = Totals.droppedBurst;
    if (Gate.secondsSinceFlush < INT32_MAX) Gate.secondsSinceFlush++;
    Gate.attempts = 0;
}

void OpenGate_Reset() { Gate.secondsSinceFlush = 0; }

OpenGateState& OpenGate_State() { return Gate; }

void OpenGate_TestReset() {
    Gate = OpenGateState{};
    Gate.reportedRate = Totals.droppedRate;
    Gate.reportedBurst = Totals.droppedBurst;
}
