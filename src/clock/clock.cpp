// SPDX-License-Identifier: BSD-2-Clause
#include "clock/clock.h"

#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "clock/clock_test.h"
#include "common/settings.h"

ClockRecord Clock;

namespace {

constexpr const char* MONTHS[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The longest stamp ("2031-03-05T22:07:09.000042-03:30") and key ("2031030522").
static_assert(CLOCK_STAMP_SIZE > 32 && CLOCK_KEY_SIZE > 10);

// Local minus UTC in minutes, from the broken-down times alone, so that
// platforms without tm_gmtoff give the same answer.
int32_t Offset(const struct tm& local, const struct tm& utc) {
    int32_t off = (local.tm_hour - utc.tm_hour) * 60 + (local.tm_min - utc.tm_min);
    if (local.tm_year > utc.tm_year)
        off += 1440;
    else if (local.tm_year < utc.tm_year)
        off -= 1440;
    else if (local.tm_yday > utc.tm_yday)
        off += 1440;
    else if (local.tm_yday < utc.tm_yday)
        off -= 1440;
    return off;
}

}  // namespace

int64_t Clock_SteadyUsec() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void Clock_BoundedCopy(char* dst, const char* src, size_t n) {
    strncpy(dst, src, n);
    dst[n - 1] = '\0';
}

ClockTurn Clock_Init(ClockRecord* clock, bool oldstyle, int32_t split) {
    clock->oldstyle = oldstyle;
    clock->daily = split == SPLIT_DAY;
    clock->sec = 0;
    return Clock_Update(clock);
}

ClockTurn Clock_Update(ClockRecord* clock) {
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) < 0) {
        clock->failed = "gettimeofday";
        return CLOCK_FAILED;
    }
    // The common case, once per datagram: the same second. The new second's
    // work stays out of line, so this path keeps a small frame.
    if (tv.tv_sec == clock->sec && tv.tv_usec < 1000000) {
        clock->usec = tv.tv_usec;
        return CLOCK_SAME;
    }
    return Clock_UpdateAt(clock, tv.tv_sec, tv.tv_usec);
}

[[gnu::noinline]] ClockTurn Clock_UpdateAt(ClockRecord* clock, int64_t sec, int64_t usec) {
    if (usec >= 1000000) {
        usec -= 1000000;
        sec++;
    }
    if (sec == clock->sec) {
        clock->usec = usec;
        return CLOCK_SAME;
    }

    // A failed conversion leaves the record as the last rebuild made it, so
    // the caller's fatal line still has a stamp.
    time_t t = static_cast<time_t>(sec);
    struct tm local;
    struct tm utc;
    if (localtime_r(&t, &local) == nullptr) {
        clock->failed = "localtime";
        return CLOCK_FAILED;
    }
    if (gmtime_r(&t, &utc) == nullptr) {
        clock->failed = "gmtime";
        return CLOCK_FAILED;
    }
    clock->sec = sec;
    clock->usec = usec;
    ClockTurn turn = CLOCK_SECOND;
    if (local.tm_mday != clock->mday || local.tm_mon != clock->mon || local.tm_year != clock->year)
        turn = CLOCK_DAY;
    else if (local.tm_hour != clock->hour)
        turn = CLOCK_HOUR;
    clock->hour = local.tm_hour;
    clock->mday = local.tm_mday;
    clock->mon = local.tm_mon;
    clock->year = local.tm_year;

    clock->tzoff = Offset(local, utc);

    unsigned year = static_cast<unsigned>(local.tm_year + 1900);
    unsigned mon = static_cast<unsigned>(local.tm_mon + 1);
    unsigned mday = static_cast<unsigned>(local.tm_mday);
    unsigned hour = static_cast<unsigned>(local.tm_hour);
    unsigned min = static_cast<unsigned>(local.tm_min);
    unsigned s = static_cast<unsigned>(local.tm_sec);

    if (clock->oldstyle) {
        snprintf(clock->tmpl, sizeof clock->tmpl, "%s %2u %02u:%02u:%02u", MONTHS[local.tm_mon],
                 mday, hour, min, s);
        clock->usecpos = -1;
    } else {
        unsigned absoff = static_cast<unsigned>(clock->tzoff < 0 ? -clock->tzoff : clock->tzoff);
        snprintf(clock->tmpl, sizeof clock->tmpl, "%04u-%02u-%02uT%02u:%02u:%02u.%%06u%c%02u:%02u",
                 year, mon, mday, hour, min, s, clock->tzoff >= 0 ? '+' : '-', absoff / 60,
                 absoff % 60);
        const char* hole = strstr(clock->tmpl, "%06u");
        // Only a year far beyond any real date could push the hole out of the stamp buffer.
        bool fits = hole != nullptr && hole - clock->tmpl + 6 < CLOCK_STAMP_SIZE;
        clock->usecpos = fits ? static_cast<int32_t>(hole - clock->tmpl) : -1;
    }
    // The stamp is the template with six places for the microseconds, so a
    // stamp needs only its digits written.
    if (clock->usecpos < 0) {
        Clock_BoundedCopy(clock->stamp, clock->tmpl, sizeof clock->stamp);
    } else {
        size_t pos = static_cast<size_t>(clock->usecpos);
        snprintf(clock->stamp, sizeof clock->stamp, "%.*s000000%s", static_cast<int>(pos), clock->tmpl,
                 clock->tmpl + pos + 4);
    }
    clock->stamplen = static_cast<uint32_t>(strlen(clock->stamp));

    snprintf(clock->datekey, sizeof clock->datekey, "%04u%02u%02u", year, mon, mday);
    if (clock->daily)
        Clock_BoundedCopy(clock->filekey, clock->datekey, sizeof clock->filekey);
    else
        snprintf(clock->filekey, sizeof clock->filekey, "%04u%02u%02u%02u", year, mon, mday, hour);
    return turn;
}
