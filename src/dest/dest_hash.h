// Source address to destination descriptor: 4096 slots, linear probing.
#pragma once

#include <array>
#include <cstdint>

#include "dest/dest.h"

inline constexpr int DESTHASH_BITS = 12;
inline constexpr int DESTHASH_SLOTS = 1 << DESTHASH_BITS;

// The slots; null is an empty slot. The table refers to descriptors, owns none.
extern std::array<Dest*, DESTHASH_SLOTS> DestHash;

// Home slot of ip (network byte order): Fibonacci hash, top 12 bits.
uint32_t DestHash_Index(uint32_t ip);

Dest* DestHash_Find(uint32_t ip);
void DestHash_Add(Dest* d);
void DestHash_Remove(Dest* d);
void DestHash_Clear();
