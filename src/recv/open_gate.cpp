// SPDX-License-Identifier: BSD-2-Clause
#include "recv/open_gate.h"

#include "common/counters.h"
#include "log/log.h"
#include "shell/settings.h"

OpenGateState OpenGate;

// A refusal is blamed on its limit when it happens: a reset later in the same
// second changes the limit for the attempts after it, not for those before.
bool OpenGate_Allow() {
    int32_t a = OpenGate.attempts;
    OpenGate.attempts = a + 1;
    int32_t m = Settings.maxopenspersec;
    int32_t big = Settings.maxopen;
    if (m <= 0 || a < m) return true;
    if (OpenGate.secondsSinceFlush <= 1 && a < big) return true;
    if (OpenGate.secondsSinceFlush <= 1 && big > m) {
        Count_Inc(OpenGate.refusedMaxopen);
        Totals.droppedBurst++;
    } else {
        Count_Inc(OpenGate.refusedPerSec);
        Totals.droppedRate++;
    }
    return false;
}

void OpenGate_Tick() {
    if (OpenGate.refusedPerSec > 0)
        Log_Msg(LOGLEVEL_FILE, "drops: ignored %u file open attempts. maxopenspersec (%u) exceeded.",
                static_cast<unsigned>(OpenGate.refusedPerSec), static_cast<unsigned>(Settings.maxopenspersec));
    if (OpenGate.refusedMaxopen > 0)
        Log_Msg(LOGLEVEL_FILE,
                "drops: ignored %u file open attempts. maxopen (%u) exceeded during a single second.",
                static_cast<unsigned>(OpenGate.refusedMaxopen), static_cast<unsigned>(Settings.maxopen));
    OpenGate.refusedPerSec = 0;
    OpenGate.refusedMaxopen = 0;
    Count_Inc(OpenGate.secondsSinceFlush);
    OpenGate.attempts = 0;
}

void OpenGate_Reset() { OpenGate.secondsSinceFlush = 0; }
