// SPDX-License-Identifier: BSD-2-Clause
// Receive modes: a datagram's text becomes one or more records in its file.
#pragma once

#include <cstddef>

#include "dest/dest.h"

inline constexpr size_t RECORD_MAXTEXT = 8192;

// Cleans data in place according to Settings.recvmode and writes the records
// to d, which must be open. data has room for min(n, RECORD_MAXTEXT) + 1
// bytes. Returns the worst that became of d's file (DEST_GONE: the source's
// directory went, and d is to be released).
DestStatus Record_Store(Dest* d, char* data, size_t n);
