// Tests of the conversion to seconds since 1961 and of the calendar record check.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "seconds.h"
#include "sim_fixture.h"

namespace {

using timeward_test::Record;

DWORD Seconds(SYSTEMTIME st) {
    DWORD s = 0xDEADBEEF;
    SecondsSince1961(&st, &s);
    return s;
}

// An independent oracle: the standard library's calendar, as days since 1961-01-01.
int64_t DaysSince1961(int y, unsigned m, unsigned d) {
    using namespace std::chrono;
    return (sys_days(year(y) / month(m) / day(d)) - sys_days(year(1961) / January / 1)).count();
}

TEST(SecondsSince1961, KnownDates) {
    EXPECT_EQ(Seconds(Record(1961, 1, 1)), 0u);
    EXPECT_EQ(Seconds(Record(1961, 3, 1)), 5097600u);
    EXPECT_EQ(Seconds(Record(1964, 3, 1)), 99792000u);    // 1964 is a leap year
    EXPECT_EQ(Seconds(Record(2000, 3, 1)), 1235865600u);  // leap by the 400 rule
    EXPECT_EQ(Seconds(Record(2008, 12, 31, 23, 59, 59)), 1514764799u);
    EXPECT_EQ(Seconds(Record(2100, 3, 1)), 96571904u);  // wrapped; 2100 is not leap
}

TEST(SecondsSince1961, WrapsAfter2097) {
    EXPECT_EQ(Seconds(Record(2097, 2, 6, 6, 28, 15)), 0xFFFFFFFFu);
    EXPECT_EQ(Seconds(Record(2097, 2, 6, 6, 28, 16)), 0u);
}

TEST(SecondsSince1961, YearBefore1961IsRaisedInTheCallersRecord) {
    SYSTEMTIME st = Record(1900, 1, 1);
    DWORD s = 1;
    SecondsSince1961(&st, &s);
    EXPECT_EQ(s, 0u);
    EXPECT_EQ(st.wYear, 1961);
    st = Record(0, 1, 2);
    SecondsSince1961(&st, &s);
    EXPECT_EQ(s, 86400u);
    EXPECT_EQ(st.wYear, 1961);
}

TEST(SecondsSince1961, IgnoresDayOfWeekAndMilliseconds) {
    SYSTEMTIME a = Record(2026, 7, 14, 10, 20, 30, 0);
    SYSTEMTIME b = a;
    b.wDayOfWeek = 6;
    b.wMilliseconds = 999;
    EXPECT_EQ(Seconds(a), Seconds(b));
}

TEST(SecondsSince1961, JanuaryAddsNoMonthAndMonthZeroNeither) {
    EXPECT_EQ(Seconds(Record(1961, 1, 31)), 30u * 86400);
    EXPECT_EQ(Seconds(Record(1961, 0, 31)), 30u * 86400);
}

TEST(SecondsSince1961, MonthsAboveTwelveStopAtTheTable) {
    // Thirteen or 65535: twelve whole months, the same as the next 1 January less a day's
    // worth of the day field.
    DWORD december = Seconds(Record(1961, 12, 1)) + 31u * 86400;
    EXPECT_EQ(Seconds(Record(1961, 13, 1)), december);
    EXPECT_EQ(Seconds(Record(1961, 65535, 1)), december);
}

// The last day of a month, from the standard library's calendar.
unsigned LastDay(int y, unsigned m) {
    using namespace std::chrono;
    return static_cast<unsigned>(year_month_day_last(year(y), month_day_last(month(m))).day());
}

TEST(SecondsSince1961, MatchesCivilOracleForEveryDayTo2110) {
    for (int y = 1961; y <= 2110; ++y) {
        for (unsigned m = 1; m <= 12; ++m) {
            SYSTEMTIME past = Record(static_cast<WORD>(y), static_cast<WORD>(m),
                                     static_cast<WORD>(LastDay(y, m) + 1));
            ASSERT_FALSE(IsValidCalendarRecord(&past)) << y << "-" << m << ": a day too many";
            for (unsigned d = 1; d <= LastDay(y, m); ++d) {
                const int64_t day = DaysSince1961(y, m, d);
                const uint32_t midnight = static_cast<uint32_t>(day * 86400);
                const uint32_t last = static_cast<uint32_t>(day * 86400 + 86399);
                SYSTEMTIME st =
                    Record(static_cast<WORD>(y), static_cast<WORD>(m), static_cast<WORD>(d));
                ASSERT_TRUE(IsValidCalendarRecord(&st)) << y << "-" << m << "-" << d;
                ASSERT_EQ(Seconds(Record(static_cast<WORD>(y), static_cast<WORD>(m),
                                         static_cast<WORD>(d))),
                          midnight)
                    << y << "-" << m << "-" << d;
                ASSERT_EQ(Seconds(Record(static_cast<WORD>(y), static_cast<WORD>(m),
                                         static_cast<WORD>(d), 23, 59, 59)),
                          last)
                    << y << "-" << m << "-" << d;
            }
        }
    }
}

// Far past 2110, up to the last year the record check accepts, sampled: the wrapped count.
TEST(SecondsSince1961, MatchesCivilOracleForSampledYearsTo30827) {
    for (int y = 2111; y <= 30827; y += 97) {
        for (unsigned m : {1u, 2u, 3u, 12u}) {
            const unsigned d = LastDay(y, m);
            const int64_t s = DaysSince1961(y, m, d) * 86400 + 23 * 3600 + 59 * 60 + 59;
            ASSERT_EQ(Seconds(Record(static_cast<WORD>(y), static_cast<WORD>(m),
                                     static_cast<WORD>(d), 23, 59, 59)),
                      static_cast<uint32_t>(s))
                << y << "-" << m << "-" << d;
        }
    }
    EXPECT_EQ(Seconds(Record(30827, 12, 31, 23, 59, 59)),
              static_cast<uint32_t>(DaysSince1961(30827, 12, 31) * 86400 + 86399));
}

TEST(IsLeapYear, GregorianRule) {
    EXPECT_TRUE(IsLeapYear(1964));
    EXPECT_TRUE(IsLeapYear(2000));
    EXPECT_FALSE(IsLeapYear(1900));
    EXPECT_FALSE(IsLeapYear(2100));
    EXPECT_FALSE(IsLeapYear(2026));
}

TEST(IsValidCalendarRecord, AcceptsEveryFieldAtItsBounds) {
    SYSTEMTIME first = Record(2026, 1, 1);
    EXPECT_TRUE(IsValidCalendarRecord(&first));
    SYSTEMTIME last = Record(2026, 12, 31, 23, 59, 59, 999);
    EXPECT_TRUE(IsValidCalendarRecord(&last));
    SYSTEMTIME leap = Record(2024, 2, 29);
    EXPECT_TRUE(IsValidCalendarRecord(&leap));
    SYSTEMTIME leap_year_end = Record(2024, 12, 31, 23, 59, 59, 999);
    EXPECT_TRUE(IsValidCalendarRecord(&leap_year_end));
}

TEST(IsValidCalendarRecord, RejectsEachFieldJustOutOfRange) {
    const SYSTEMTIME good = Record(2026, 6, 15, 12, 30, 30, 500);
    struct Case {
        const char* what;
        WORD SYSTEMTIME::*field;
        WORD value;
    } cases[] = {
        {"month 0", &SYSTEMTIME::wMonth, 0},
        {"month 13", &SYSTEMTIME::wMonth, 13},
        {"month max", &SYSTEMTIME::wMonth, 0xFFFF},
        {"day 0", &SYSTEMTIME::wDay, 0},
        {"June 31", &SYSTEMTIME::wDay, 31},
        {"hour 24", &SYSTEMTIME::wHour, 24},
        {"minute 60", &SYSTEMTIME::wMinute, 60},
        {"second 60", &SYSTEMTIME::wSecond, 60},
        {"ms 1000", &SYSTEMTIME::wMilliseconds, 1000},
        {"year max", &SYSTEMTIME::wYear, 0xFFFF},
        {"day max", &SYSTEMTIME::wDay, 0xFFFF},
        {"hour max", &SYSTEMTIME::wHour, 0xFFFF},
        {"minute max", &SYSTEMTIME::wMinute, 0xFFFF},
        {"second max", &SYSTEMTIME::wSecond, 0xFFFF},
        {"ms max", &SYSTEMTIME::wMilliseconds, 0xFFFF},
    };
    // In a common year and in a leap year, whose month tables differ.
    for (WORD year : {2026, 2024}) {
        for (const Case& c : cases) {
            SYSTEMTIME st = good;
            st.wYear = year;
            st.*c.field = c.value;
            EXPECT_FALSE(IsValidCalendarRecord(&st)) << c.what << " in " << year;
        }
    }
    SYSTEMTIME dec32 = Record(2024, 12, 32);
    EXPECT_FALSE(IsValidCalendarRecord(&dec32)) << "32 December of a leap year";
    SYSTEMTIME feb = Record(2026, 2, 29);
    EXPECT_FALSE(IsValidCalendarRecord(&feb)) << "29 February in a common year";
    SYSTEMTIME late = Record(30828, 1, 1);
    EXPECT_FALSE(IsValidCalendarRecord(&late)) << "after the last year the clock can hold";
    late.wYear = 30827;
    EXPECT_TRUE(IsValidCalendarRecord(&late));
    SYSTEMTIME early = Record(1900, 1, 1);
    EXPECT_TRUE(IsValidCalendarRecord(&early)) << "raised to 1961 by the conversion";
    SYSTEMTIME leap = Record(1960, 2, 29);
    EXPECT_FALSE(IsValidCalendarRecord(&leap)) << "29 February 1961 after the conversion";
}

}  // namespace
