// SPDX-License-Identifier: BSD-2-Clause
// Every module's process-wide state as start-up leaves it, through the
// modules' own test seams.
#pragma once

#include "clock/clock.h"
#include "common/counters.h"
#include "common/settings.h"
#include "dest/dest_dirs.h"
#include "dest/dest_hash.h"
#include "dest/dest_pool.h"
#include "dest/dest_test.h"
#include "log/log.h"
#include "log/log_test.h"
#include "recv/recv_test.h"

// Settings, counters, clock (zeroed: the caller sets it), daemon log
// (closed), pool and table (for the default maxopen), the root's index, the
// eviction's random state, the open gate and the fail reports.
inline void ResetModules() {
    Log_Close();
    Settings = SettingsRecord{};
    Totals = TotalsRecord{};
    Counters_StartPeriod();
    Log_TestReset();
    Clock = ClockRecord{};
    DestPool_Rand() = {DEST_RAND_SEED, 0};
    DestPool_Init();
    DestHash_Init(Settings.maxopen);
    DestDirs_Reset();
    OpenGate_TestReset();
    FailReport_State() = FailReportTable{};
}

// Dest_Open with the address text made here, as the receive loop makes it;
// true for an open file. The table is not touched.
inline bool OpenSourceFile(Dest* d, const Addr& addr, DestStatus* st = nullptr) {
    char text[ADDR_TEXT_SIZE];
    DestStatus got = Dest_Open(d, addr, text, Addr_Format(addr, text, sizeof text));
    if (st != nullptr) *st = got;
    return got == DEST_OK;
}

// A source's descriptor from the pool, as the receive loop takes it; true
// for an open file.
inline bool OpenPooled(const Addr& addr) {
    char text[ADDR_TEXT_SIZE];
    DestStatus st;
    DestPool_Open(addr, text, Addr_Format(addr, text, sizeof text), &st);
    return st == DEST_OK;
}

// A zeroed clock in the style the settings name, for a test to set.
inline void ClockFromSettings() {
    Clock = ClockRecord{};
    Clock.oldstyle = Settings.oldtimestamp != 0;
    Clock.daily = Settings.split == SPLIT_DAY;
}
