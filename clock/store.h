// The saved-time store: one registry key holding the last snapshot of the clock.
#ifndef TIMEWARD_CLOCK_STORE_H
#define TIMEWARD_CLOCK_STORE_H

#include "platform.h"

// Under HKEY_LOCAL_MACHINE. The device's registry configuration holds it; the driver never
// creates it.
#define TIMEWARD_KEY_PATH TEXT("SOFTWARE\\Orvex\\Timeward")

// 'TWRD', first letter in the most significant byte: a snapshot was written.
static const DWORD SNAPSHOT_SIGNATURE = 0x54575244;

extern "C" {

// Reads one value as a DWORD, opening and closing the key around it. FALSE, with *pdwValue
// untouched, when the key or value is absent or its data is longer than 4 bytes. The value's
// type plays no part; data shorter than 4 bytes reads zero-extended.
BOOL RegReadDword(HKEY hRoot, LPCWSTR pszKeyPath, LPCWSTR pszValueName, DWORD* pdwValue);

// Writes one REG_DWORD value, opening and closing the key around it. TRUE when the set
// succeeded.
BOOL RegWriteDword(HKEY hRoot, LPCWSTR pszKeyPath, LPCWSTR pszValueName, DWORD dwValue);

// Writes the clock's eight fields, then the signature, then flushes the key. Not atomic across
// the nine values: a snapshot cut short leaves the fields written so far new.
void SaveCurrentTime(void);

// TRUE with *pTime filled when the key holds the signature and eight clock values that form a
// valid calendar record. A missing value or a field out of range counts as no snapshot.
BOOL ReadSnapshot(SYSTEMTIME* pTime);

}  // extern "C"

#endif  // TIMEWARD_CLOCK_STORE_H
