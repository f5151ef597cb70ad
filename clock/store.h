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

// Written after the signature, last of a snapshot: SnapshotCheck over the eight clock values as
// written. A power cut between two value writes, where the registry writes each through to
// storage, leaves a mix of two snapshots that this check tells from a whole one. A store
// written by a driver that had no check has no such value and is read as before.
#define CHECK_VALUE_NAME TEXT("TimewardCheck")
// Never the check of any record. Written before the clock values when the store has no check
// yet, so that a snapshot cut short there is not taken for a whole one.
static const DWORD CHECK_PENDING = 0;

// What ReadSnapshotRecord found.
enum SNAPSHOT_READ {
    SNAPSHOT_READ_NONE,  // no signature, or a clock value missing or out of range
    SNAPSHOT_READ_TORN,  // a whole-looking record whose check does not match: a mix of two
    SNAPSHOT_READ_WHOLE
};

extern "C" {

// Reads one value as a DWORD, opening and closing the key around it. FALSE, with *pdwValue
// untouched, when the key or value is absent or its data is longer than 4 bytes. The value's
// type plays no part; data shorter than 4 bytes reads zero-extended.
BOOL RegReadDword(HKEY hRoot, LPCWSTR pszKeyPath, LPCWSTR pszValueName, DWORD* pdwValue);

// Writes one REG_DWORD value, opening and closing the key around it. TRUE when the set
// succeeded.
BOOL RegWriteDword(HKEY hRoot, LPCWSTR pszKeyPath, LPCWSTR pszValueName, DWORD dwValue);

// Writes the clock's eight fields, then the signature, then the check, then flushes the key,
// and says in the debug output "RTC is saved" when every step succeeded, else "RTC is not
// saved: error N" with the error of the first step that failed (opening the key counts as part
// of each step). A store without a check first gets CHECK_PENDING. A failed write does not stop
// the others. Not atomic across the values: a snapshot cut short leaves the fields written so
// far new, and a check that no longer matches them.
void SaveCurrentTime(void);

// The check of the eight clock values, in the order of CLOCK_VALUES: FNV-1a over their bytes,
// least significant first. Never CHECK_PENDING.
DWORD SnapshotCheck(const DWORD adwValues[]);

// SNAPSHOT_READ_WHOLE with *pTime filled when the key holds the signature and eight clock
// values that form a valid calendar record, and either no "TimewardCheck" (an older driver's
// store) or one that matches them. A missing value or a field out of range counts as no
// snapshot; a check that does not match (or is CHECK_PENDING) as a torn one. *pTime is
// written only for a whole one.
DWORD ReadSnapshotRecord(SYSTEMTIME* pTime);

// TRUE when ReadSnapshotRecord finds a whole snapshot.
BOOL ReadSnapshot(SYSTEMTIME* pTime);

}  // extern "C"

#endif  // TIMEWARD_CLOCK_STORE_H
