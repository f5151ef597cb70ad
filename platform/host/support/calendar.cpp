// Converts calendar records to points in time and back, by <chrono>.
#include "calendar.h"

namespace support {
namespace {

using namespace std::chrono;

constexpr year kFirstYear = year_month_day{floor<days>(kFirstInstant)}.year();
constexpr year kLastYear{30827};

}  // namespace

unsigned DaysInMonth(WORD y, WORD m) {
    const year_month_day_last last{year{y}, month_day_last{month{m}}};
    return static_cast<unsigned>(last.day());
}

bool IsValidRecord(const SYSTEMTIME& st) {
    // Checked as numbers first: year, month and day keep only a short or a byte of them.
    if (st.wYear < static_cast<int>(kFirstYear) || st.wYear > static_cast<int>(kLastYear) ||
        st.wMonth < static_cast<unsigned>(January) || st.wMonth > static_cast<unsigned>(December))
        return false;
    return st.wDay >= 1 && st.wDay <= DaysInMonth(st.wYear, st.wMonth) &&
           hours{st.wHour} < days{1} && minutes{st.wMinute} < hours{1} &&
           seconds{st.wSecond} < minutes{1} && milliseconds{st.wMilliseconds} < seconds{1};
}

std::optional<Instant> ToInstant(const SYSTEMTIME& st) {
    if (!IsValidRecord(st))
        return std::nullopt;
    const sys_days date{year{st.wYear} / month{st.wMonth} / day{st.wDay}};
    return date + hours{st.wHour} + minutes{st.wMinute} + seconds{st.wSecond} +
           milliseconds{st.wMilliseconds};
}

SYSTEMTIME ToRecord(Instant t) {
    if (t < kFirstInstant)
        t = kFirstInstant;
    const sys_days date = floor<days>(t);
    const year_month_day ymd{date};
    const hh_mm_ss<milliseconds> time{t - date};
    SYSTEMTIME st;
    st.wYear = static_cast<WORD>(static_cast<int>(ymd.year()));
    st.wMonth = static_cast<WORD>(static_cast<unsigned>(ymd.month()));
    st.wDayOfWeek = static_cast<WORD>(weekday{date}.c_encoding());  // Sunday is 0
    st.wDay = static_cast<WORD>(static_cast<unsigned>(ymd.day()));
    st.wHour = static_cast<WORD>(time.hours().count());
    st.wMinute = static_cast<WORD>(time.minutes().count());
    st.wSecond = static_cast<WORD>(time.seconds().count());
    st.wMilliseconds = static_cast<WORD>(time.subseconds().count());
    return st;
}

SYSTEMTIME NowUtc() {
    return ToRecord(floor<seconds>(system_clock::now()));
}

}  // namespace support
