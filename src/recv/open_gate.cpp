#include "recv/open_gate.h"

#include "log/log.h"
#include "shell/settings.h"

OpenGateState OpenGate;

bool OpenGate_Allow() {
    int32_t a = OpenGate.attempts;
    OpenGate.attempts = a + 1;
    int32_t m = Settings.maxopenspersec;
    return m <= 0 || a < m || (OpenGate.secondsSinceFlush <= 1 && a < Settings.maxopen);
}

// Judges the second just ended with the secondsSinceFlush the gate used during
// it, so each line names the refused attempts and the limit that refused them.
void OpenGate_Tick() {
    int32_t j = OpenGate.attempts;
    int32_t s = OpenGate.secondsSinceFlush;
    int32_t m = Settings.maxopenspersec;
    int32_t big = Settings.maxopen;
    bool burstAdmittedAll = s < 2 && j <= big;
    if (m > 0 && j > m && !burstAdmittedAll) {
        if (s < 2 && big > m) {
            Log_Msg(LOGLEVEL_FILE,
                    "drops: ignored %u file open attempts. maxopen (%u) exceeded during a single second.",
                    static_cast<unsigned>(j - big), static_cast<unsigned>(big));
        } else {
            Log_Msg(LOGLEVEL_FILE, "drops: ignored %u file open attempts. maxopenspersec (%u) exceeded.",
                    static_cast<unsigned>(j - m), static_cast<unsigned>(m));
        }
    }
    OpenGate.secondsSinceFlush = s + 1;
    OpenGate.attempts = 0;
}

void OpenGate_Reset() { OpenGate.secondsSinceFlush = 0; }
