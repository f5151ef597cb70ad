// Tests of the conversion to seconds since 1961 and of the calendar record check.
#include <gtest/gtest.h>

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

// An independent oracle: Howard Hinnant's days_from_civil.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
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

TEST(SecondsSince1961, MatchesCivilOracleForEveryDayTo2110) {
    const int64_t epoch = DaysFromCivil(1961, 1, 1);
    for (int y = 1961; y <= 2110; ++y) {
        for (unsigned m = 1; m <= 12; ++m) {
            const WORD* table = IsLeapYear(static_cast<DWORD>(y)) ? MonthDaysLeap : MonthDaysCommon;
            for (unsigned d = 1; d <= table[m - 1]; ++d) {
                const int64_t day = DaysFromCivil(y, m, d) - epoch;
                const uint32_t midnight = static_cast<uint32_t>(day * 86400);
                const uint32_t last = static_cast<uint32_t>(day * 86400 + 86399);
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
    };
    for (const Case& c : cases) {
        SYSTEMTIME st = good;
        st.*c.field = c.value;
        EXPECT_FALSE(IsValidCalendarRecord(&st)) << c.what;
    }
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
