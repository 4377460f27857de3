// SPDX-License-Identifier: BSD-2-Clause
// The cached wall clock and every time string derived from it.
#pragma once

#include <cstdint>
#include <cstring>

inline constexpr int CLOCK_STAMP_SIZE = 64;
inline constexpr int CLOCK_KEY_SIZE = 20;

struct ClockRecord {
    int64_t sec;                   // second of the last rebuild; 0 forces a rebuild
    int64_t usec;                  // 0..999999, refreshed by every update
    int32_t tzoff;                 // minutes east of UTC at sec
    char tmpl[CLOCK_STAMP_SIZE];   // stamp for sec; "%06u" stands for the microseconds
    char datekey[CLOCK_KEY_SIZE];  // YYYYMMDD
    char filekey[CLOCK_KEY_SIZE];  // YYYYMMDDHH, or YYYYMMDD with the daily split
    int32_t usecpos;               // offset of "%06u" in tmpl, -1 in the old style
    char stamp[CLOCK_STAMP_SIZE];  // tmpl with room for the microseconds, which Clock_Stamp fills
    uint32_t stamplen;             // characters in stamp
    const char* failed;            // the call that failed, when an update returned CLOCK_FAILED
    int32_t hour, mday, mon, year; // local time of sec, as localtime gives it
    bool oldstyle;                 // "Mar  5 22:07:09" stamps instead of RFC 3339
    bool daily;                    // the file key is the date alone
};

extern ClockRecord Clock;

// What an update found: each result implies those below it, so a new day
// is also a new hour and a new second.
enum ClockTurn : int {
    CLOCK_FAILED = -1,  // errno set, clock->failed names the call; the record is unchanged
    CLOCK_SAME = 0,
    CLOCK_SECOND = 1,   // a new second
    CLOCK_HOUR = 2,     // a new local hour (or the clock was set back past one)
    CLOCK_DAY = 3,      // a new local date
};

// Sets the stamp style and the file key's split and rebuilds every string
// from the wall clock. The clock cannot end the process itself, since the
// daemon log stamps its lines from it: on CLOCK_FAILED the caller does.
ClockTurn Clock_Init(ClockRecord* clock, bool oldstyle, int32_t split);

// Reads the wall clock into clock and tells what began since the last read.
ClockTurn Clock_Update(ClockRecord* clock);

// Two decimal digits for each of 0..99.
inline constexpr char CLOCK_PAIRS[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The stamp of the process clock, in a shared buffer that the next call
// overwrites; Clock.stamplen is its length. Called for every stored record,
// so it only writes the six microsecond digits into the prepared stamp, two
// at a time.
inline const char* Clock_Stamp() {
    if (Clock.usecpos >= 0) {
        char* digits = Clock.stamp + Clock.usecpos;
        uint32_t us = static_cast<uint32_t>(Clock.usec);
        uint32_t high = us / 10000, rest = us - high * 10000;
        uint32_t mid = rest / 100, low = rest - mid * 100;
        memcpy(digits, CLOCK_PAIRS + 2 * high, 2);
        memcpy(digits + 2, CLOCK_PAIRS + 2 * mid, 2);
        memcpy(digits + 4, CLOCK_PAIRS + 2 * low, 2);
    }
    return Clock.stamp;
}

// Microseconds of the system's steady clock, which no setting of the wall
// clock moves: for bounds on how long something may take.
int64_t Clock_SteadyUsec();

// Copies at most n bytes of src into dst, padding with NULs; dst[n-1] is always NUL.
void Clock_BoundedCopy(char* dst, const char* src, size_t n);
