// SPDX-License-Identifier: BSD-2-Clause
// Receive modes: a datagram's text becomes one or more records in its file.
#pragma once

#include <cstddef>

#include "dest/dest.h"

inline constexpr size_t RECORD_MAXTEXT = 8192;

// Cleans data in place according to Settings.recvmode and writes the records
// to d, which must be open. data has room for min(n, 8192) + 1 bytes.
void Record_Store(Dest* d, char* data, size_t n);

// Testing: the length of the start of p that the control-byte cleaning
// leaves as it is, or less (down to the start of the 16- or 64-byte block
// holding the first byte to change). Record_ControlFree is the build the
// cpu runs (AVX2 where it has it); the portable one is the build without.
size_t Record_ControlFree(const char* p, size_t len);
size_t Record_ControlFreePortable(const char* p, size_t len);
