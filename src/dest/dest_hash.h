// SPDX-License-Identifier: BSD-2-Clause
// Source address to destination descriptor: 4096 slots, linear probing.
#pragma once

#include <array>
#include <cstdint>

#include "dest/dest.h"

inline constexpr int DESTHASH_BITS = 12;
inline constexpr int DESTHASH_SLOTS = 1 << DESTHASH_BITS;

Dest* DestHash_Find(uint32_t ip);
void DestHash_Add(Dest* d);
void DestHash_Remove(Dest* d);
void DestHash_Clear();

// Testing: the slots (null is an empty slot; the table refers to descriptors,
// owns none) and the home slot of ip (network byte order): Fibonacci hash,
// top 12 bits.
extern std::array<Dest*, DESTHASH_SLOTS> DestHash;
uint32_t DestHash_Index(uint32_t ip);
