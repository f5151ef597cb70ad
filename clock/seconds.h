// Calendar records as seconds since 1961, the unit in which the start-up check compares them.
#ifndef TIMEWARD_CLOCK_SECONDS_H
#define TIMEWARD_CLOCK_SECONDS_H

#include "platform.h"

// 1961-01-01 00:00:00 is second 0.
static const DWORD BASE_YEAR = 1961;

// The last year the platform's clock can be set to.
static const DWORD MAX_CLOCK_YEAR = 30827;

extern "C" {

// Month lengths, January first.
extern const WORD MonthDaysLeap[12];
extern const WORD MonthDaysCommon[12];

// Gregorian rule: divisible by 4 and not by 100, or divisible by 400.
BOOL IsLeapYear(DWORD dwYear);

// TRUE when every field a clock reading can hold is in range: a year no later than 30827 (the
// last the platform's clock can be set to), month 1 to 12, a day that exists in that month,
// hour below 24, minute and second below 60, milliseconds below 1000. A year before 1961 is
// not refused, but the day is checked against 1961, the year the conversion raises it to, so
// the record stays valid after the conversion. The day of the week is not checked.
BOOL IsValidCalendarRecord(const SYSTEMTIME* pTime);

// Seconds from 1961-01-01 00:00:00 to the record's time in the proleptic Gregorian calendar,
// modulo 2^32: the last second that fits is 2097-02-06 06:28:15. A year below 1961 is first
// raised to 1961 in the caller's record. The day of the week and the milliseconds play no
// part. Defined for months 1 to 12; a month above 12 counts as twelve whole months, and the
// month tables are never read outside their twelve entries.
void SecondsSince1961(SYSTEMTIME* pTime, DWORD* pdwSeconds);

}  // extern "C"

#endif  // TIMEWARD_CLOCK_SECONDS_H
