// SPDX-License-Identifier: BSD-2-Clause
// Fixed clock, clean process-wide state and daemon log reading for the
// reception tests.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "clock/clock.h"
#include "clock/clock_test.h"
#include "dest/dest_hash.h"
#include "log/log.h"
#include "recv/fail_report.h"
#include "recv/recv_test.h"
#include "recv/open_gate.h"
#include "common/settings.h"
#include "support/child.h"
#include "support/reset.h"

// 2024-05-06 07:08:09.000042 UTC: every stamp and key below follows from it.
inline constexpr int64_t kSec = 1714979289;
inline constexpr int64_t kUsec = 42;
inline const std::string kStamp = "2024-05-06T07:08:09.000042+00:00";
inline const std::string kDaemonLog = "corvashenmir-20240506";

// The source address of an IPv4 sender.
inline Addr Ip(const char* dotted) {
    in_addr a{};
    EXPECT_EQ(inet_pton(AF_INET, dotted, &a), 1) << dotted;
    return Addr_FromV4(a.s_addr);
}

// The clock is rebuilt from zero so that a changed oldtimestamp takes effect.
inline void SetClock() {
    SetTimeZone("UTC0");
    Clock = {};
    Clock.oldstyle = Settings.oldtimestamp != 0;
    Clock.daily = Settings.split == SPLIT_DAY;
    Clock_UpdateAt(&Clock, kSec, kUsec);
}

inline void ResetRecvState() {
    ResetModules();
    SetClock();
}

// The messages of a daemon log text, each line checked for its stamp and end.
inline std::vector<std::string> LogMessages(const std::string& text) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) {
            ADD_FAILURE() << "unterminated log line: " << text.substr(pos);
            break;
        }
        std::string line = text.substr(pos, nl - pos);
        if (line.compare(0, kStamp.size() + 1, kStamp + " ") != 0)
            ADD_FAILURE() << "log line without its stamp: " << line;
        else
            out.push_back(line.substr(kStamp.size() + 1));
        pos = nl + 1;
    }
    return out;
}

// A temp directory as the root, the daemon log open in it, fresh state.
class DaemonLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetRecvState();
        Log_Open();
    }
    void TearDown() override { Log_Close(); }

    // Messages written since the previous call.
    std::vector<std::string> NewLines() {
        std::vector<std::string> all = LogMessages(ReadFile(kDaemonLog));
        std::vector<std::string> fresh(all.begin() + static_cast<long>(std::min(seen_, all.size())), all.end());
        seen_ = all.size();
        return fresh;
    }

    InTempDir dir_;

private:
    size_t seen_ = 0;
};
