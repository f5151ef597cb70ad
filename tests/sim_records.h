// Calendar records and stored snapshots for tests and benchmarks of the simulated device.
#ifndef TIMEWARD_TESTS_SIM_RECORDS_H
#define TIMEWARD_TESTS_SIM_RECORDS_H

#include <cstdio>
#include <optional>
#include <string>

#include "coredll_sim.h"

namespace timeward_test {

inline constexpr const char* kKey = "SOFTWARE\\Orvex\\Timeward";
inline constexpr DWORD kSignature = 0x54575244;

inline SYSTEMTIME Record(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0,
                         WORD ms = 0) {
    SYSTEMTIME st{};
    st.wYear = y;
    st.wMonth = mo;
    st.wDay = d;
    st.wHour = h;
    st.wMinute = mi;
    st.wSecond = s;
    st.wMilliseconds = ms;
    return st;
}

// The check of these eight values: FNV-1a over their bytes, least significant first, and, in
// this driver's records, over the generation's after them (the tests' own copy of the rule).
inline DWORD CheckOfValues(const DWORD (&values)[8], std::optional<DWORD> generation = {}) {
    DWORD hash = 2166136261u;
    auto add = [&hash](DWORD v) {
        for (int b = 0; b < 4; ++b)
            hash = (hash ^ ((v >> (8 * b)) & 0xFF)) * 16777619u;
    };
    for (DWORD v : values)
        add(v);
    if (generation)  // this driver's check covers the generation too
        add(*generation);
    return hash;
}

// Writes a snapshot into the key as the saver would; without its check, as an older driver
// did.
inline void StoreSnapshot(const SYSTEMTIME& st, DWORD signature = kSignature,
                          bool with_check = true) {
    coredll::reg::SetDword(kKey, "RTCYear", st.wYear);
    coredll::reg::SetDword(kKey, "RTCMonth", st.wMonth);
    coredll::reg::SetDword(kKey, "RTCDayOfWeek", st.wDayOfWeek);
    coredll::reg::SetDword(kKey, "RTCDay", st.wDay);
    coredll::reg::SetDword(kKey, "RTCHour", st.wHour);
    coredll::reg::SetDword(kKey, "RTCMinute", st.wMinute);
    coredll::reg::SetDword(kKey, "RTCSecond", st.wSecond);
    coredll::reg::SetDword(kKey, "RTCMilliseconds", st.wMilliseconds);
    coredll::reg::SetDword(kKey, "TimewardSignature", signature);
    const DWORD values[] = {st.wYear, st.wMonth,  st.wDayOfWeek, st.wDay,
                            st.wHour, st.wMinute, st.wSecond,    st.wMilliseconds};
    if (with_check)
        coredll::reg::SetDword(kKey, "TimewardCheck", CheckOfValues(values));
}

inline bool SameTime(const SYSTEMTIME& a, const SYSTEMTIME& b) {
    return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour &&
           a.wMinute == b.wMinute && a.wSecond == b.wSecond && a.wMilliseconds == b.wMilliseconds;
}

inline std::string Show(const SYSTEMTIME& st) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth,
                  st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
    return buf;
}

}  // namespace timeward_test

#endif  // TIMEWARD_TESTS_SIM_RECORDS_H
