// SPDX-License-Identifier: BSD-2-Clause
// Per-period counts of datagrams from sources that cannot be stored: their
// file could not be opened, or they have no directory.
#pragma once

#include "common/addr.h"

// Counts a datagram of addr as failed.
void FailReport_Add(const Addr& addr);

// Logs one line per failing source and the overflow sum, then empties the table.
void FailReport_Flush();
