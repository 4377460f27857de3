// SPDX-License-Identifier: BSD-2-Clause
// Source address to destination descriptor: a power-of-two table of slots
// with linear probing, at least four slots for every descriptor.
#pragma once

#include <cstdint>

#include "common/addr.h"

struct Dest;

// The smallest table: up to 1024 descriptors it is these 4096 slots.
inline constexpr int DESTHASH_MIN_BITS = 12;

// Allocates the table for up to capacity descriptors, at least four slots
// for each and never fewer than 2^DESTHASH_MIN_BITS, and empties it. Once at
// start-up; running out of memory is fatal.
void DestHash_Init(int32_t capacity);

Dest* DestHash_Find(const Addr& addr);
void DestHash_Add(Dest* d);
void DestHash_Remove(Dest* d);
void DestHash_Clear();
