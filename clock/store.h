// The saved-time store: one registry key holding the last snapshot of the clock.
#ifndef TIMEWARD_CLOCK_STORE_H
#define TIMEWARD_CLOCK_STORE_H

#include "platform.h"

// Under HKEY_LOCAL_MACHINE. The device's registry configuration holds it; the driver never
// creates it.
#define TIMEWARD_KEY_PATH TEXT("SOFTWARE\\Orvex\\Timeward")

// 'TWRD', first letter in the most significant byte, written after the clock values: a
// snapshot was written.
#define SIGNATURE_VALUE_NAME TEXT("TimewardSignature")
static const DWORD SNAPSHOT_SIGNATURE = 0x54575244;

// The device's image turns the driver off with this value at SWITCH_OFF; absent or any other
// value, the driver runs. The driver reads it and never writes it.
#define SWITCH_VALUE_NAME TEXT("TimewardImplemented")
static const DWORD SWITCH_OFF = 1;

// The clock fields in the order they are written and read, one REG_DWORD value each.
struct CLOCK_VALUE {
    LPCWSTR pszValueName;
    WORD SYSTEMTIME::*pField;
};
static const CLOCK_VALUE CLOCK_VALUES[] = {
    {TEXT("RTCYear"), &SYSTEMTIME::wYear},
    {TEXT("RTCMonth"), &SYSTEMTIME::wMonth},
    {TEXT("RTCDayOfWeek"), &SYSTEMTIME::wDayOfWeek},
    {TEXT("RTCDay"), &SYSTEMTIME::wDay},
    {TEXT("RTCHour"), &SYSTEMTIME::wHour},
    {TEXT("RTCMinute"), &SYSTEMTIME::wMinute},
    {TEXT("RTCSecond"), &SYSTEMTIME::wSecond},
    {TEXT("RTCMilliseconds"), &SYSTEMTIME::wMilliseconds},
};
static const DWORD CLOCK_VALUE_COUNT = sizeof(CLOCK_VALUES) / sizeof(CLOCK_VALUES[0]);

extern "C" {

// Reads one value as a DWORD, opening and closing the key around it. FALSE, with *pdwValue
// untouched, when the key or value is absent or its data is longer than 4 bytes. The value's
// type plays no part; data shorter than 4 bytes reads zero-extended.
BOOL RegReadDword(HKEY hRoot, LPCWSTR pszKeyPath, LPCWSTR pszValueName, DWORD* pdwValue);

// Writes one REG_DWORD value, opening and closing the key around it. TRUE when the set
// succeeded.
BOOL RegWriteDword(HKEY hRoot, LPCWSTR pszKeyPath, LPCWSTR pszValueName, DWORD dwValue);

// Writes the clock's eight fields, then the signature, then flushes the key, and says in the
// debug output "RTC is saved" when all ten steps succeeded, else "RTC is not saved: error N"
// with the error of the first step that failed (opening the key counts as part of each step).
// A failed write does not stop the others. Not atomic across the nine values: a snapshot cut
// short leaves the fields written so far new.
void SaveCurrentTime(void);

// TRUE with *pTime filled when the key holds the signature and eight clock values that form a
// valid calendar record. A missing value or a field out of range counts as no snapshot.
BOOL ReadSnapshot(SYSTEMTIME* pTime);

}  // extern "C"

#endif  // TIMEWARD_CLOCK_STORE_H
