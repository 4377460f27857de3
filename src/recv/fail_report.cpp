// SPDX-License-Identifier: BSD-2-Clause
#include "recv/fail_report.h"

#include <cstdio>

#include "log/log.h"
#include "common/counters.h"
#include "shell/settings.h"

FailReportTable FailReports;

void FailReport_Add(uint32_t ip) {
    for (int32_t i = FailReports.used - 1; i >= 0; i--) {
        if (FailReports.entries[i].addr == ip) {
            Count_Inc(FailReports.entries[i].count);
            return;
        }
    }
    if (FailReports.used < FAILREPORT_ENTRIES) {
        if (Settings.verbose) {
            const auto* o = reinterpret_cast<const unsigned char*>(&ip);
            printf("Adding new fail report for %u.%u.%u.%u\n", o[0], o[1], o[2], o[3]);
        }
        FailReports.entries[FailReports.used++] = {ip, 1};
        return;
    }
    Count_Inc(FailReports.overflow);
}

void FailReport_Flush() {
    for (int32_t i = 0; i < FailReports.used; i++) {
        const FailReport& r = FailReports.entries[i];
        const auto* o = reinterpret_cast<const unsigned char*>(&r.addr);
        Log_Msg(LOGLEVEL_FILE, "drop: failed %u.%u.%u.%u %i times", o[0], o[1], o[2], o[3], r.count);
    }
    if (FailReports.overflow != 0) Log_Msg(LOGLEVEL_FILE, "drop: failed * %i times", FailReports.overflow);
    FailReports.used = 0;
    FailReports.overflow = 0;
}
