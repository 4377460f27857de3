// SPDX-License-Identifier: BSD-2-Clause
#include "recv/fail_report.h"

#include <cstdio>

#include "log/log.h"
#include "common/counters.h"
#include "shell/settings.h"

FailReportTable FailReports;

void FailReport_Add(const Addr& addr) {
    Totals.droppedFailed++;
    for (int32_t i = FailReports.used - 1; i >= 0; i--) {
        if (FailReports.entries[i].addr == addr) {
            Count_Inc(FailReports.entries[i].count);
            return;
        }
    }
    if (FailReports.used < FAILREPORT_ENTRIES) {
        if (Settings.verbose) {
            char text[ADDR_TEXT_SIZE];
            Addr_Format(addr, text, sizeof text);
            printf("Adding new fail report for %s\n", text);
        }
        FailReports.entries[FailReports.used++] = {addr, 1};
        return;
    }
    Count_Inc(FailReports.overflow);
}

void FailReport_Flush() {
    for (int32_t i = 0; i < FailReports.used; i++) {
        const FailReport& r = FailReports.entries[i];
        char text[ADDR_TEXT_SIZE];
        Addr_Format(r.addr, text, sizeof text);
        Log_Msg(LOGLEVEL_FILE, "drop: failed %s %i times", text, r.count);
    }
    if (FailReports.overflow != 0) Log_Msg(LOGLEVEL_FILE, "drop: failed * %i times", FailReports.overflow);
    FailReports.used = 0;
    FailReports.overflow = 0;
}
