// Calendar records as points in time, by the standard library's civil calendar.
#ifndef TIMEWARD_SUPPORT_CALENDAR_H
#define TIMEWARD_SUPPORT_CALENDAR_H

#include <timeward_backend.h>

#include <chrono>
#include <cstdint>
#include <optional>

namespace support {

constexpr int64_t kMsPerSecond = std::chrono::milliseconds{std::chrono::seconds{1}}.count();

// A point in UTC to the millisecond, as the system clock of a device keeps it.
using Instant = std::chrono::sys_time<std::chrono::milliseconds>;

// The first instant a record can hold: 1601-01-01 00:00:00.000.
constexpr Instant kFirstInstant{std::chrono::sys_days{std::chrono::year{1601} / 1 / 1}};

// The records the device's clock can hold: 1601-01-01 00:00:00.000 to 30827-12-31
// 23:59:59.999, every field in range. The day of the week plays no part.
bool IsValidRecord(const SYSTEMTIME& st);

// The days of a month, 1 to 12, of a year of the proleptic Gregorian calendar.
unsigned DaysInMonth(WORD year, WORD month);

// The instant of a valid record; nothing for any other.
std::optional<Instant> ToInstant(const SYSTEMTIME& st);

// The record of an instant, the day of the week filled in. An instant before 1601 gives
// 1601-01-01 00:00:00.000.
SYSTEMTIME ToRecord(Instant t);

// The host's clock, to the second.
SYSTEMTIME NowUtc();

}  // namespace support

#endif  // TIMEWARD_SUPPORT_CALENDAR_H
