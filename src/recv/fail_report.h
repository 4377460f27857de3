// SPDX-License-Identifier: BSD-2-Clause
// Per-period counts of datagrams from sources whose file could not be opened.
#pragma once

#include <array>
#include <cstdint>

#include "common/addr.h"

inline constexpr int FAILREPORT_ENTRIES = 10;

struct FailReport {
    Addr addr;
    int32_t count;
};

struct FailReportTable {
    std::array<FailReport, FAILREPORT_ENTRIES> entries;  // in order of first failure
    int32_t used;
    int32_t overflow;  // failures of sources that found the table full
};

extern FailReportTable FailReports;

void FailReport_Add(const Addr& addr);

// Logs one line per failing source and the overflow sum, then empties the table.
void FailReport_Flush();
