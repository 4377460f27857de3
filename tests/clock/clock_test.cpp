// SPDX-License-Identifier: BSD-2-Clause
// The cached clock and its strings, driven through the Clock_UpdateAt seam so
// that every expected string is known in advance.
#include "clock/clock.h"
#include "clock/clock_test.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <ostream>
#include <string>
#include <vector>

#include "common/settings.h"
#include "support/child.h"

namespace {

// Worked example: local 5 March 2031 22:07:09 at 3h30 west, i.e. UTC 6 March 01:37:09.
const int64_t EXAMPLE = UtcSeconds(2031, 3, 6, 1, 37, 9);
constexpr const char* EXAMPLE_ZONE = "ABC3:30";

class ClockTest : public ::testing::Test {
protected:
    void SetUp() override {
        Settings = SettingsRecord{};
        Clock = ClockRecord{};
    }
    void TearDown() override {
        Settings = SettingsRecord{};
        Clock = ClockRecord{};
    }

    // A forced rebuild in the given style.
    static void Rebuild(int64_t sec, int64_t usec, bool oldstyle = false, int32_t split = SPLIT_HOUR) {
        Clock.sec = 0;
        Clock.oldstyle = oldstyle;
        Clock.daily = split == SPLIT_DAY;
        ASSERT_GE(Clock_UpdateAt(&Clock, sec, usec), CLOCK_SECOND);
    }

    SavedTimeZone savedtz;
};

struct Local {
    int year, mon, mday, hour, min, sec;
};

struct ClockCase {
    std::string name;
    const char* tz;
    int64_t utc;
    int64_t usec;
    int32_t tzoff;
    const char* tmpl;
    const char* stamp;
    const char* oldstamp;
    const char* datekey;
    const char* hourkey;
    Local local;
};

const std::vector<ClockCase> CLOCK_CASES = {
    {"WorkedExample", EXAMPLE_ZONE, EXAMPLE, 42, -210, "2031-03-05T22:07:09.%06u-03:30",
     "2031-03-05T22:07:09.000042-03:30", "Mar  5 22:07:09", "20310305", "2031030522", {2031, 3, 5, 22, 7, 9}},
    {"WestSameDay", EXAMPLE_ZONE, UtcSeconds(2031, 6, 10, 15, 30, 0), 123456, -210, "2031-06-10T12:00:00.%06u-03:30",
     "2031-06-10T12:00:00.123456-03:30", "Jun 10 12:00:00", "20310610", "2031061012", {2031, 6, 10, 12, 0, 0}},
    // Zero offset is "+00:00", never "Z".
    {"Utc", "UTC0", UtcSeconds(2031, 11, 17, 8, 9, 10), 999999, 0, "2031-11-17T08:09:10.%06u+00:00",
     "2031-11-17T08:09:10.999999+00:00", "Nov 17 08:09:10", "20311117", "2031111708", {2031, 11, 17, 8, 9, 10}},
    // Raw difference -1095, corrected by the year, not the day of the year.
    {"EastAfterNewYear", "XYZ-5:45", UtcSeconds(2030, 12, 31, 20, 15, 0), 0, 345, "2031-01-01T02:00:00.%06u+05:45",
     "2031-01-01T02:00:00.000000+05:45", "Jan  1 02:00:00", "20310101", "2031010102", {2031, 1, 1, 2, 0, 0}},
    {"EastAfterMidnight", "XYZ-5:45", UtcSeconds(2031, 7, 3, 18, 45, 0), 7, 345, "2031-07-04T00:30:00.%06u+05:45",
     "2031-07-04T00:30:00.000007+05:45", "Jul  4 00:30:00", "20310704", "2031070400", {2031, 7, 4, 0, 30, 0}},
    {"EastLeapDay", "XYZ-5:45", UtcSeconds(2032, 2, 28, 23, 15, 0), 10, 345, "2032-02-29T05:00:00.%06u+05:45",
     "2032-02-29T05:00:00.000010+05:45", "Feb 29 05:00:00", "20320229", "2032022905", {2032, 2, 29, 5, 0, 0}},
    {"EastThirteenHours", "TOT-13", UtcSeconds(2030, 12, 31, 11, 0, 0), 1, 780, "2031-01-01T00:00:00.%06u+13:00",
     "2031-01-01T00:00:00.000001+13:00", "Jan  1 00:00:00", "20310101", "2031010100", {2031, 1, 1, 0, 0, 0}},
    // UTC is already in the next year: local day 364 against UTC day 0.
    {"WestBeforeNewYear", EXAMPLE_ZONE, UtcSeconds(2031, 1, 1, 1, 45, 30), 500000, -210, "2030-12-31T22:15:30.%06u-03:30",
     "2030-12-31T22:15:30.500000-03:30", "Dec 31 22:15:30", "20301231", "2030123122", {2030, 12, 31, 22, 15, 30}},
    {"WestLateEvening", "HST10", UtcSeconds(2031, 3, 1, 9, 59, 59), 654321, -600, "2031-02-28T23:59:59.%06u-10:00",
     "2031-02-28T23:59:59.654321-10:00", "Feb 28 23:59:59", "20310228", "2031022823", {2031, 2, 28, 23, 59, 59}},
    // The offset in force at that second, summer time included.
    {"SummerTime", "EST5EDT,M3.2.0,M11.1.0", UtcSeconds(2031, 7, 15, 16, 0, 1), 90, -240, "2031-07-15T12:00:01.%06u-04:00",
     "2031-07-15T12:00:01.000090-04:00", "Jul 15 12:00:01", "20310715", "2031071512", {2031, 7, 15, 12, 0, 1}},
};

// Keeps the registered test names readable and stable.
void PrintTo(const ClockCase& c, std::ostream* os) { *os << c.name; }

class ClockCaseTest : public ClockTest, public ::testing::WithParamInterface<ClockCase> {};

TEST_P(ClockCaseTest, StringsInEveryStyle) {
    const ClockCase& c = GetParam();
    SetTimeZone(c.tz);

    ASSERT_EQ(Clock_UpdateAt(&Clock, c.utc, c.usec), CLOCK_DAY);
    EXPECT_EQ(Clock.sec, c.utc);
    EXPECT_EQ(Clock.usec, c.usec);
    EXPECT_EQ(Clock.tzoff, c.tzoff);
    EXPECT_STREQ(Clock.tmpl, c.tmpl);
    EXPECT_STREQ(Clock_Stamp(), c.stamp);
    EXPECT_STREQ(Clock.datekey, c.datekey);
    EXPECT_STREQ(Clock.filekey, c.hourkey);

    // The record keeps the local hour and date, which tell the next update what began.
    EXPECT_EQ(Clock.year + 1900, c.local.year);
    EXPECT_EQ(Clock.mon + 1, c.local.mon);
    EXPECT_EQ(Clock.mday, c.local.mday);
    EXPECT_EQ(Clock.hour, c.local.hour);

    // Every combination of stamp style and split, after a forced rebuild.
    for (int old : {0, 1}) {
        for (int split : {SPLIT_HOUR, SPLIT_DAY}) {
            SCOPED_TRACE("oldtimestamp " + std::to_string(old) + " split " + std::to_string(split));
            Rebuild(c.utc, c.usec, old != 0, split);
            EXPECT_EQ(Clock.tzoff, c.tzoff);
            EXPECT_STREQ(Clock.tmpl, old ? c.oldstamp : c.tmpl);
            EXPECT_STREQ(Clock_Stamp(), old ? c.oldstamp : c.stamp);
            EXPECT_STREQ(Clock.datekey, c.datekey);
            EXPECT_STREQ(Clock.filekey, split == SPLIT_DAY ? c.datekey : c.hourkey);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ClockInstants, ClockCaseTest, ::testing::ValuesIn(CLOCK_CASES),
                         [](const ::testing::TestParamInfo<ClockCase>& p) { return p.param.name; });

TEST_F(ClockTest, SameSecondOnlyRefreshesMicroseconds) {
    SetTimeZone(EXAMPLE_ZONE);
    ASSERT_EQ(Clock_UpdateAt(&Clock, EXAMPLE, 100), CLOCK_DAY);
    const ClockRecord built = Clock;
    const std::string first = Clock_Stamp();

    EXPECT_EQ(Clock_UpdateAt(&Clock, EXAMPLE, 999999), CLOCK_SAME);
    EXPECT_EQ(Clock.sec, built.sec);
    EXPECT_EQ(Clock.usec, 999999);
    EXPECT_EQ(Clock.tzoff, built.tzoff);
    EXPECT_STREQ(Clock.tmpl, built.tmpl);
    EXPECT_STREQ(Clock.datekey, built.datekey);
    EXPECT_STREQ(Clock.filekey, built.filekey);
    EXPECT_EQ(first, "2031-03-05T22:07:09.000100-03:30");
    EXPECT_STREQ(Clock_Stamp(), "2031-03-05T22:07:09.999999-03:30");
}

TEST_F(ClockTest, MillionMicrosecondsIsNextSecond) {
    SetTimeZone(EXAMPLE_ZONE);
    ASSERT_EQ(Clock_UpdateAt(&Clock, EXAMPLE - 1, 1000000), CLOCK_DAY);
    EXPECT_EQ(Clock.sec, EXAMPLE);
    EXPECT_EQ(Clock.usec, 0);
    EXPECT_STREQ(Clock_Stamp(), "2031-03-05T22:07:09.000000-03:30");

    // The carry happens before the comparison: the same second again.
    EXPECT_EQ(Clock_UpdateAt(&Clock, EXAMPLE, 5), 0);
    EXPECT_EQ(Clock_UpdateAt(&Clock, EXAMPLE - 1, 1000000), 0);
    EXPECT_EQ(Clock.usec, 0);
}

TEST_F(ClockTest, BackwardStepRebuilds) {
    SetTimeZone(EXAMPLE_ZONE);
    ASSERT_EQ(Clock_UpdateAt(&Clock, EXAMPLE, 0), CLOCK_DAY);

    EXPECT_EQ(Clock_UpdateAt(&Clock, EXAMPLE - 1, 999999), CLOCK_SECOND);
    EXPECT_STREQ(Clock_Stamp(), "2031-03-05T22:07:08.999999-03:30");

    // Back past the start of the hour is a new hour; back a day, a new date.
    EXPECT_EQ(Clock_UpdateAt(&Clock, EXAMPLE - 600, 1), CLOCK_HOUR);
    EXPECT_EQ(Clock_UpdateAt(&Clock, EXAMPLE - 86400, 3), CLOCK_DAY);
    EXPECT_EQ(Clock.mday, 4);
    EXPECT_STREQ(Clock_Stamp(), "2031-03-04T22:07:09.000003-03:30");
    EXPECT_STREQ(Clock.datekey, "20310304");
    EXPECT_STREQ(Clock.filekey, "2031030422");
}

// A second beyond what the calendar conversions take is reported, not fatal
// here, and leaves every string of the last rebuild for the caller's fatal line.
TEST_F(ClockTest, FailedConversionIsReportedAndChangesNothing) {
    SetTimeZone(EXAMPLE_ZONE);
    ASSERT_EQ(Clock_UpdateAt(&Clock, EXAMPLE, 42), CLOCK_DAY);
    ClockRecord before = Clock;
    errno = 0;
    EXPECT_EQ(Clock_UpdateAt(&Clock, INT64_MAX / 2, 7), CLOCK_FAILED);
    EXPECT_EQ(errno, EOVERFLOW);
    EXPECT_STREQ(Clock.failed, "localtime");
    EXPECT_EQ(Clock.sec, before.sec);
    EXPECT_EQ(Clock.usec, before.usec);
    EXPECT_STREQ(Clock.tmpl, before.tmpl);
    EXPECT_STREQ(Clock.filekey, before.filekey);
    EXPECT_EQ(Clock.year, before.year);
    EXPECT_STREQ(Clock_Stamp(), "2031-03-05T22:07:09.000042-03:30");
}

// The style is the init call's, and takes effect at that rebuild, not before.
TEST_F(ClockTest, StyleTakesEffectAtInit) {
    SetTimeZone(EXAMPLE_ZONE);
    ASSERT_GE(Clock_UpdateAt(&Clock, EXAMPLE, 42), CLOCK_SECOND);

    Settings.oldtimestamp = 1;
    Settings.split = SPLIT_DAY;
    EXPECT_EQ(Clock_UpdateAt(&Clock, EXAMPLE, 43), CLOCK_SAME);
    EXPECT_STREQ(Clock.tmpl, "2031-03-05T22:07:09.%06u-03:30");
    EXPECT_STREQ(Clock.filekey, "2031030522");

    ASSERT_NE(Clock_Init(&Clock, true, SPLIT_DAY), CLOCK_FAILED);
    EXPECT_EQ(Clock.oldstyle, true);
    EXPECT_STRNE(Clock.tmpl, "2031-03-05T22:07:09.%06u-03:30");
    Rebuild(EXAMPLE, 44, true, SPLIT_DAY);
    EXPECT_STREQ(Clock.tmpl, "Mar  5 22:07:09");
    EXPECT_STREQ(Clock_Stamp(), "Mar  5 22:07:09");
    EXPECT_STREQ(Clock.filekey, "20310305");

    // Any split but SPLIT_DAY is hourly.
    Rebuild(EXAMPLE, 45, true, 2);
    EXPECT_STREQ(Clock_Stamp(), "Mar  5 22:07:09");
    EXPECT_STREQ(Clock.filekey, "2031030522");

    Rebuild(EXAMPLE, 46);
    EXPECT_STREQ(Clock_Stamp(), "2031-03-05T22:07:09.000046-03:30");
    EXPECT_STREQ(Clock.filekey, "2031030522");
}

// Each turn tells the most that began: a new second, hour or date.
TEST_F(ClockTest, TurnsNameWhatBegan) {
    SetTimeZone("UTC0");
    const int64_t midnight = 1714953600;  // 2024-05-06 00:00:00 UTC
    struct Step {
        int64_t sec;
        ClockTurn turn;
    } steps[] = {
        {midnight - 2, CLOCK_DAY},  {midnight - 2, CLOCK_SAME}, {midnight - 1, CLOCK_SECOND},
        {midnight, CLOCK_DAY},      {midnight + 3599, CLOCK_SECOND}, {midnight + 3600, CLOCK_HOUR},
        {midnight + 3601, CLOCK_SECOND}, {midnight + 86400 + 3601, CLOCK_DAY},
    };
    for (const Step& st : steps) {
        SCOPED_TRACE(st.sec);
        EXPECT_EQ(Clock_UpdateAt(&Clock, st.sec, 5), st.turn);
    }
}

TEST(ClockBoundedCopy, BoundAndPadding) {
    struct Row {
        const char* src;
        size_t n;
        std::string want;  // all n bytes
    };
    const std::vector<Row> rows = {
        {"abc", 8, std::string("abc\0\0\0\0\0", 8)},
        {"abcdefg", 8, std::string("abcdefg\0", 8)},
        {"abcdefgh", 8, std::string("abcdefg\0", 8)},
        {"abcdefghijklmnop", 8, std::string("abcdefg\0", 8)},
        {"", 4, std::string("\0\0\0\0", 4)},
        {"xyz", 1, std::string("\0", 1)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.src) + " bound " + std::to_string(row.n));
        char buf[16];
        memset(buf, '#', sizeof buf);
        Clock_BoundedCopy(buf, row.src, row.n);
        EXPECT_EQ(std::string(buf, row.n), row.want);
        EXPECT_EQ(std::string(buf + row.n, sizeof buf - row.n), std::string(sizeof buf - row.n, '#'));
    }
}

TEST_F(ClockTest, RealClockBuildsFirstTime) {
    SetTimeZone("XYZ-5:45");
    using std::chrono::system_clock;
    ClockRecord c{};
    auto before = system_clock::to_time_t(system_clock::now());
    ASSERT_EQ(Clock_Update(&c), CLOCK_DAY);
    auto after = system_clock::to_time_t(system_clock::now());

    EXPECT_GE(c.sec, static_cast<int64_t>(before));
    EXPECT_LE(c.sec, static_cast<int64_t>(after));
    EXPECT_GE(c.usec, 0);
    EXPECT_LT(c.usec, 1000000);
    EXPECT_EQ(c.tzoff, 345);

    time_t t = static_cast<time_t>(c.sec);
    struct tm local;
    localtime_r(&t, &local);
    EXPECT_EQ(c.year, local.tm_year);
    EXPECT_EQ(c.mday, local.tm_mday);
    EXPECT_EQ(c.hour, local.tm_hour);
    char key[32];
    snprintf(key, sizeof key, "%04d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
             local.tm_hour);
    EXPECT_STREQ(c.filekey, key);

    // A further reading rebuilds exactly when the second moved on.
    int64_t sec = c.sec;
    int changed = Clock_Update(&c);
    EXPECT_EQ(changed >= CLOCK_SECOND, c.sec != sec);
    EXPECT_GE(c.sec, sec);
}

}  // namespace
