// Dates and durations as the simulator's users write them and read them.
#ifndef TIMEWARD_SIM_DATE_TEXT_H
#define TIMEWARD_SIM_DATE_TEXT_H

#include <timeward_backend.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace tws {

// Dates as "2026-12-08", "2026-12-08 09:30", "2026-12-08T09:30:15.250" (UTC, which a trailing
// " UTC" or "Z" may say), read into a valid record with its day of the week, and written with
// " UTC"; durations as "250ms", "90s", "5m", "2h", "1d" or sums such as "1h30m", largest unit
// first and each unit once, at most a century.
bool ParseDate(std::string_view text, SYSTEMTIME* out);
std::string FormatDate(const SYSTEMTIME& st, bool with_ms = false);
bool ParseDuration(std::string_view text, int64_t* ms);
std::string FormatDuration(int64_t ms);

// Why a text is not a date or a duration, for a message after the word quoted; "" when it is.
std::string DateProblem(std::string_view text);
std::string DurationProblem(std::string_view text);

}  // namespace tws

#endif  // TIMEWARD_SIM_DATE_TEXT_H
