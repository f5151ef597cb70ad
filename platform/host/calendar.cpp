// The virtual clock's calendar: records to milliseconds since 1601-01-01 and back, and which
// records are valid.
#include "coredll_sim.h"

#include <chrono>

namespace coredll::clock {
namespace {

using namespace std::chrono;

constexpr sys_days kEpoch = year{1601} / January / 1;
// The years a record can hold.
constexpr int kFirstYear = 1601;
constexpr int kLastYear = 30827;

}  // namespace

bool IsValidRecord(const SYSTEMTIME& st) {
    // Fields out of range are refused before they reach the calendar, which keeps fewer bits.
    if (st.wYear < kFirstYear || st.wYear > kLastYear || st.wMonth < 1 || st.wMonth > 12 ||
        st.wDay < 1 || st.wDay > 31) {
        return false;
    }
    const year_month_day date{year{st.wYear}, month{st.wMonth}, day{st.wDay}};
    return date.ok() && st.wHour < 24 && st.wMinute < 60 && st.wSecond < 60 &&
           st.wMilliseconds < 1000;
}

bool ToMs(const SYSTEMTIME& st, int64_t* ms) {
    if (!IsValidRecord(st))
        return false;
    const sys_days date = year_month_day{year{st.wYear}, month{st.wMonth}, day{st.wDay}};
    const milliseconds since = (date - kEpoch) + hours{st.wHour} + minutes{st.wMinute} +
                               seconds{st.wSecond} + milliseconds{st.wMilliseconds};
    *ms = since.count();
    return true;
}

SYSTEMTIME FromMs(int64_t ms) {
    const milliseconds since{ms < 0 ? 0 : ms};
    const days whole_days = floor<days>(since);
    const sys_days date = kEpoch + whole_days;
    const year_month_day ymd{date};
    const hh_mm_ss<milliseconds> time{since - whole_days};
    SYSTEMTIME st;
    st.wYear = static_cast<WORD>(static_cast<int>(ymd.year()));
    st.wMonth = static_cast<WORD>(static_cast<unsigned>(ymd.month()));
    st.wDay = static_cast<WORD>(static_cast<unsigned>(ymd.day()));
    st.wDayOfWeek = static_cast<WORD>(weekday{date}.c_encoding());  // Sunday is 0
    st.wHour = static_cast<WORD>(time.hours().count());
    st.wMinute = static_cast<WORD>(time.minutes().count());
    st.wSecond = static_cast<WORD>(time.seconds().count());
    st.wMilliseconds = static_cast<WORD>(time.subseconds().count());
    return st;
}

}  // namespace coredll::clock
