// SPDX-License-Identifier: BSD-2-Clause
#include "recv/open_gate.h"
#include "recv/recv_test.h"

#include <gtest/gtest.h>

#include <iterator>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "recv_support.h"

namespace {

// One call sequence as the receive loop makes it: a rollover or hangup is a
// Reset, a new second a Tick, a datagram from a source without a descriptor
// one Allow.
enum class Op { Reset, Tick, Attempts };

struct Step {
    Op op;
    int attempts = 0;  // Attempts: how many Allow calls
    int admitted = 0;  // Attempts: how many of them, from the first on, are admitted
    std::vector<std::string> lines;  // Tick: the lines it writes
};

Step Reset() { return {Op::Reset, 0, 0, {}}; }
Step Tick(std::vector<std::string> lines = {}) { return {Op::Tick, 0, 0, std::move(lines)}; }
Step Tick(const char* line) { return Tick(std::vector<std::string>{line}); }
Step Try(int attempts, int admitted) { return {Op::Attempts, attempts, admitted, {}}; }

// The loop's first iteration is a rollover followed by the first tick.
const Step kStart[] = {Reset(), Tick()};

struct Scenario {
    const char* name;
    int32_t maxopenspersec;
    int32_t maxopen;
    std::vector<Step> steps;
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class RecvOpenGate : public DaemonLogTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(RecvOpenGate, AdmitsAndReports) {
    const Scenario& s = GetParam();
    Settings.maxopenspersec = s.maxopenspersec;
    Settings.maxopen = s.maxopen;
    std::vector<Step> steps(std::begin(kStart), std::end(kStart));
    steps.insert(steps.end(), s.steps.begin(), s.steps.end());

    for (size_t i = 0; i < steps.size(); i++) {
        const Step& st = steps[i];
        SCOPED_TRACE(testing::Message() << "step " << i);
        std::vector<std::string> expect;
        switch (st.op) {
        case Op::Reset:
            OpenGate_Reset();
            break;
        case Op::Tick:
            OpenGate_Tick();
            expect = st.lines;
            break;
        case Op::Attempts: {
            int admitted = 0;
            int lastAdmitted = -1;
            for (int k = 0; k < st.attempts; k++) {
                if (OpenGate_Allow()) {
                    admitted++;
                    lastAdmitted = k;
                }
            }
            EXPECT_EQ(admitted, st.admitted);
            // The admitted ones are the first of the second, never a later one.
            EXPECT_EQ(lastAdmitted, st.admitted - 1);
            break;
        }
        }
        EXPECT_EQ(NewLines(), expect);
    }
}

const char* const kPerSec50of200 = "drops: ignored 50 file open attempts. maxopenspersec (200) exceeded.";
const char* const kPerSec15of5 = "drops: ignored 15 file open attempts. maxopenspersec (5) exceeded.";
const char* const kMaxopen200of1000 =
    "drops: ignored 200 file open attempts. maxopen (1000) exceeded during a single second.";

INSTANTIATE_TEST_SUITE_P(
    Scenarios, RecvOpenGate,
    ::testing::Values(
        // M <= m: a burst second admits no more than any other, and maxopen is never named.
        Scenario{"DefaultsCapEverySecondAt200", 200, 50,
                 {Try(250, 200), Tick(kPerSec50of200), Try(250, 200), Tick(kPerSec50of200), Reset(),
                  Try(250, 200), Tick(kPerSec50of200), Try(50, 50), Tick()}},
        Scenario{"FirstSecondAboveMaxopen", 5, 1000,
                 {Try(1200, 1000), Tick(kMaxopen200of1000), Try(20, 5), Tick(kPerSec15of5)}},
        Scenario{"FirstSecondWithinMaxopen", 5, 1000,
                 {Try(900, 900), Tick(), Try(20, 5), Tick(kPerSec15of5)}},
        Scenario{"ExactlyMaxopenspersec", 5, 1,
                 {Try(5, 5), Tick(), Try(5, 5), Tick(), Try(6, 5),
                  Tick("drops: ignored 1 file open attempts. maxopenspersec (5) exceeded.")}},
        Scenario{"ExactlyMaxopenInBurst", 5, 1000,
                 {Try(1000, 1000), Tick(), Reset(), Tick(), Try(1001, 1000),
                  Tick("drops: ignored 1 file open attempts. maxopen (1000) exceeded during a single second.")}},
        Scenario{"BurstWithMaxopenBelowMaxopenspersec", 10, 5,
                 {Try(12, 10), Tick("drops: ignored 2 file open attempts. maxopenspersec (10) exceeded.")}},
        // maxopen is named only when it is the larger limit.
        Scenario{"BurstWithMaxopenEqualToMaxopenspersec", 10, 10,
                 {Try(12, 10), Tick("drops: ignored 2 file open attempts. maxopenspersec (10) exceeded.")}},
        // Attempts before the hangup still count towards the second's total.
        Scenario{"HangupMakesRestOfSecondAndNextBurst", 5, 100,
                 {Tick(), Try(3, 3), Reset(), Try(100, 97),
                  Tick("drops: ignored 3 file open attempts. maxopen (100) exceeded during a single second."),
                  Try(100, 100), Tick(), Try(20, 5), Tick(kPerSec15of5)}},
        // A hangup changes the limit from its moment on: refusals before it stay
        // blamed on maxopenspersec, those after it on maxopen, each with its own count.
        Scenario{"RefusalsBeforeHangupStayReported", 5, 1000, {Tick(), Try(10, 5), Reset(), Try(10, 10), Tick("drops: ignored 5 file open attempts. maxopenspersec (5) exceeded.")}},
        Scenario{"HangupSecondNamesBothLimits", 5, 100,
                 {Tick(), Try(10, 5), Reset(), Try(100, 90),
                  Tick({"drops: ignored 5 file open attempts. maxopenspersec (5) exceeded.",
                        "drops: ignored 10 file open attempts. maxopen (100) exceeded during a single second."})}},
        // The rollover's reset comes before the tick that reports the old period's last second.
        Scenario{"LastSecondBeforeRolloverReported", 5, 1000,
                 {Tick(), Try(20, 5), Reset(), Tick(kPerSec15of5), Try(1000, 1000), Tick(), Try(20, 5), Tick(kPerSec15of5)}},
        Scenario{"LastSecondBeforeRolloverAboveMaxopen", 5, 1000,
                 {Tick(), Try(1200, 5), Reset(), Tick("drops: ignored 1195 file open attempts. maxopenspersec (5) exceeded.")}},
        Scenario{"QuietSecondsWriteNothing", 200, 50,
                 {Tick(), Tick(), Try(1, 1), Tick(), Try(200, 200), Tick(), Tick(), Reset(), Tick(), Tick()}},
        Scenario{"ZeroMaxopenspersecAdmitsAll", 0, 50, {Try(5000, 5000), Tick(), Try(3000, 3000), Tick()}},
        Scenario{"NegativeMaxopenspersecAdmitsAll", -1, 50, {Tick(), Try(5000, 5000), Tick()}}),
    [](const auto& p) { return std::string(p.param.name); });

using RecvOpenGateEcho = DaemonLogTest;

// Drop lines are level 0: on the console only with verbose.
TEST_F(RecvOpenGateEcho, DropLineEchoedOnlyWhenVerbose) {
    Log_Close();
    for (int verbose : {0, 1}) {
        SCOPED_TRACE(testing::Message() << "verbose " << verbose);
        ChildResult r = RunInChild([verbose] {
            Settings.verbose = verbose;
            Settings.maxopenspersec = 5;
            OpenGate_TestReset();
            OpenGate_Reset();
            OpenGate_Tick();
            OpenGate_Tick();
            for (int k = 0; k < 20; k++) OpenGate_Allow();
            OpenGate_Tick();
        });
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, kStamp + " " + kPerSec15of5 + "\n");
        EXPECT_EQ(r.out, verbose ? "corvashenmir " + std::string(kPerSec15of5) + "\n" : "");
    }
}

}  // namespace
