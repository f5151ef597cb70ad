// The Wine harness's registry helpers: the driver's key reset, written and read as it is on
// the device.
#include "harness.h"

namespace harness {

void ResetKey() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
    HKEY h;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr);
    RegCloseKey(h);
}

void SetValue(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY h;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &h) != ERROR_SUCCESS)
        return;
    RegSetValueExW(h, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(h);
}

void SetDword(const wchar_t* name, DWORD value) {
    SetValue(name, REG_DWORD, &value, sizeof value);
}

bool GetDword(const wchar_t* name, DWORD* value) {
    DWORD type = 0, size = sizeof *value;
    return RegGetValueW(HKEY_LOCAL_MACHINE, kKey, name, RRF_RT_ANY, &type, value, &size) ==
               ERROR_SUCCESS &&
           type == REG_DWORD;
}

void StoreSnapshot(const SYSTEMTIME& st) {
    SetDword(L"RTCYear", st.wYear);
    SetDword(L"RTCMonth", st.wMonth);
    SetDword(L"RTCDayOfWeek", st.wDayOfWeek);
    SetDword(L"RTCDay", st.wDay);
    SetDword(L"RTCHour", st.wHour);
    SetDword(L"RTCMinute", st.wMinute);
    SetDword(L"RTCSecond", st.wSecond);
    SetDword(L"RTCMilliseconds", st.wMilliseconds);
    SetDword(L"TimewardSignature", kSignature);
    // As a driver without the check wrote it: the cases edit the fields afterwards, which the
    // values an earlier case's snapshot left beside them would judge.
    HKEY h;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &h) == ERROR_SUCCESS) {
        for (const wchar_t* name : {L"TimewardCheck", L"TimewardRecord", L"TimewardPrevious"})
            RegDeleteValueW(h, name);
        RegCloseKey(h);
    }
}

bool StoredSnapshot(SYSTEMTIME* st) {
    DWORD v[9];
    const wchar_t* names[] = {L"RTCYear",   L"RTCMonth",        L"RTCDayOfWeek",
                              L"RTCDay",    L"RTCHour",         L"RTCMinute",
                              L"RTCSecond", L"RTCMilliseconds", L"TimewardSignature"};
    for (int i = 0; i < 9; ++i) {
        if (!GetDword(names[i], &v[i]))
            return false;
    }
    *st = SYSTEMTIME{static_cast<WORD>(v[0]), static_cast<WORD>(v[1]), static_cast<WORD>(v[2]),
                     static_cast<WORD>(v[3]), static_cast<WORD>(v[4]), static_cast<WORD>(v[5]),
                     static_cast<WORD>(v[6]), static_cast<WORD>(v[7])};
    return v[8] == kSignature;
}

}  // namespace harness
