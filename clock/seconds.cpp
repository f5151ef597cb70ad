// Converts calendar records to seconds since 1961 and checks their fields.
#include "seconds.h"

static const DWORD SECONDS_PER_MINUTE = 60;
static const DWORD MINUTES_PER_HOUR = 60;
static const DWORD HOURS_PER_DAY = 24;
static const DWORD DAYS_PER_COMMON_YEAR = 365;
static const DWORD MONTHS_PER_YEAR = 12;

extern "C" const WORD MonthDaysLeap[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
extern "C" const WORD MonthDaysCommon[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// Leap years from year 1 up to and including dwYear. At most 15891 for a 16-bit year.
static DWORD LeapYearsThrough(DWORD dwYear) {
    return dwYear / 4 - dwYear / 100 + dwYear / 400;
}

static const WORD* MonthDaysOf(DWORD dwYear) {
    return IsLeapYear(dwYear) ? MonthDaysLeap : MonthDaysCommon;
}

extern "C" BOOL IsLeapYear(DWORD dwYear) {
    return (dwYear % 4 == 0 && dwYear % 100 != 0) || dwYear % 400 == 0;
}

extern "C" BOOL IsValidCalendarRecord(const SYSTEMTIME* pTime) {
    // Unsigned: month 0 wraps to a large number and fails the same compare as 13.
    if (pTime->wYear > MAX_CLOCK_YEAR || (DWORD)pTime->wMonth - 1 >= MONTHS_PER_YEAR) {
        return FALSE;
    }
    const DWORD dwYear = pTime->wYear < BASE_YEAR ? BASE_YEAR : pTime->wYear;
    if (pTime->wDay < 1 || pTime->wDay > MonthDaysOf(dwYear)[pTime->wMonth - 1]) {
        return FALSE;
    }
    return pTime->wHour < HOURS_PER_DAY && pTime->wMinute < MINUTES_PER_HOUR &&
           pTime->wSecond < SECONDS_PER_MINUTE && pTime->wMilliseconds < 1000;
}

extern "C" void SecondsSince1961(SYSTEMTIME* pTime, DWORD* pdwSeconds) {
    if (pTime->wYear < BASE_YEAR) {
        pTime->wYear = (WORD)BASE_YEAR;
    }
    const DWORD dwYear = pTime->wYear;

    // Whole years since 1961: at most 64574 of them, about 23.6 million days.
    DWORD dwDays = (dwYear - BASE_YEAR) * DAYS_PER_COMMON_YEAR + LeapYearsThrough(dwYear - 1) -
                   LeapYearsThrough(BASE_YEAR - 1);

    const WORD* pMonthDays = MonthDaysOf(dwYear);
    for (DWORD dwMonth = 1; dwMonth < pTime->wMonth && dwMonth <= MONTHS_PER_YEAR; ++dwMonth) {
        dwDays += pMonthDays[dwMonth - 1];
    }

    // Unsigned 32-bit throughout: the product wraps after 2097-02-06 06:28:15.
    *pdwSeconds = (((dwDays + pTime->wDay - 1) * HOURS_PER_DAY + pTime->wHour) * MINUTES_PER_HOUR +
                   pTime->wMinute) *
                      SECONDS_PER_MINUTE +
                  pTime->wSecond;
}
