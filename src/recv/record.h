// Receive modes: a datagram's text becomes one or more records in its file.
#pragma once

#include <cstddef>

#include "dest/dest.h"

inline constexpr size_t RECORD_MAXTEXT = 8192;

// Cleans data in place according to Settings.recvmode and writes the records
// to d, which must be open. data has room for min(n, 8192) + 1 bytes.
void Record_Store(Dest* d, char* data, size_t n);
