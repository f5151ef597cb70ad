// The Wine harness's test clock: the module's clock, so that the machine's is never set.
#include "harness.h"

namespace harness {

std::vector<SYSTEMTIME> g_set_calls;

namespace {

CRITICAL_SECTION g_clock_lock;
ULONGLONG g_clock;  // 100 ns units since 1601, as a FILETIME

}  // namespace

void StartTestClock() {
    InitializeCriticalSection(&g_clock_lock);
}

ULONGLONG ToTicks(const SYSTEMTIME& st) {
    FILETIME ft;
    if (!SystemTimeToFileTime(&st, &ft))
        return 0;
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

SYSTEMTIME FromTicks(ULONGLONG t) {
    FILETIME ft{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
    SYSTEMTIME st{};
    FileTimeToSystemTime(&ft, &st);
    return st;
}

void WINAPI TestGetSystemTime(LPSYSTEMTIME st) {
    EnterCriticalSection(&g_clock_lock);
    *st = FromTicks(g_clock);
    LeaveCriticalSection(&g_clock_lock);
}

BOOL WINAPI TestSetSystemTime(const SYSTEMTIME* st) {
    ULONGLONG t = st ? ToTicks(*st) : 0;
    EnterCriticalSection(&g_clock_lock);
    if (st)
        g_set_calls.push_back(*st);
    if (t)
        g_clock = t;
    LeaveCriticalSection(&g_clock_lock);
    return t != 0;
}

SYSTEMTIME Date(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s) {
    SYSTEMTIME st{};
    st.wYear = y;
    st.wMonth = mo;
    st.wDay = d;
    st.wHour = h;
    st.wMinute = mi;
    st.wSecond = s;
    return FromTicks(ToTicks(st));  // with its day of the week
}

void SetClock(const SYSTEMTIME& st) {
    EnterCriticalSection(&g_clock_lock);
    g_clock = ToTicks(st);
    LeaveCriticalSection(&g_clock_lock);
}

bool SameTime(const SYSTEMTIME& a, const SYSTEMTIME& b) {
    return ToTicks(a) / 10000 == ToTicks(b) / 10000;
}

}  // namespace harness
