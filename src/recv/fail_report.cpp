// SPDX-License-Identifier: BSD-2-Clause
#include "recv/fail_report.h"

#include <cstdio>

#include "common/counters.h"
#include "common/settings.h"
#include "log/log.h"
#include "recv/recv_test.h"

namespace {

FailReportTable Reports;

}  // namespace

void FailReport_Add(const Addr& addr) {
    Totals.droppedFailed++;
    for (int32_t i = Reports.used - 1; i >= 0; i--) {
        if (Reports.entries[i].addr == addr) {
            Reports.entries[i].count++;
            return;
        }
    }
    if (Reports.used < FAILREPORT_ENTRIES) {
        if (Settings.verbose) {
            char text[ADDR_TEXT_SIZE];
            Addr_Format(addr, text, sizeof text);
            printf("Adding new fail report for %s\n", text);
        }
        Reports.entries[Reports.used++] = {addr, 1};
        return;
    }
    Reports.overflow++;
}

void FailReport_Flush() {
    for (int32_t i = 0; i < Reports.used; i++) {
        const FailReport& r = Reports.entries[i];
        char text[ADDR_TEXT_SIZE];
        Addr_Format(r.addr, text, sizeof text);
        Log_Msg(LOGLEVEL_FILE, "drop: failed %s %u times", text, Counters_Print(r.count));
    }
    if (Reports.overflow != 0) Log_Msg(LOGLEVEL_FILE, "drop: failed * %u times", Counters_Print(Reports.overflow));
    Reports.used = 0;
    Reports.overflow = 0;
}

FailReportTable& FailReport_State() { return Reports; }
