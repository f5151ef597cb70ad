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

// A snapshot's header: REG_BINARY of RECORD_BYTES, written before its eight clock values and
// again after them. It holds the snapshot's generation, its check (RecordCheck over the eight
// values as written and the generation) and RECORD_WRITING, then RECORD_WRITTEN: so the store
// tells a snapshot this driver cut short (still writing) from clock values that a driver without
// these values rewrote over a written one (written, and no longer matching).
#define RECORD_VALUE_NAME TEXT("TimewardRecord")
static const DWORD RECORD_BYTES = 12;
static const DWORD RECORD_WRITTEN = 0;
static const DWORD RECORD_WRITING = 1;

// The whole record that the clock values held before the last snapshot, written before that
// snapshot began to overwrite them: REG_BINARY of PREVIOUS_BYTES, the eight clock values as
// 16-bit numbers in the order of CLOCK_VALUES, then the record's generation and its check
// (RecordCheck). A snapshot cut short leaves this record to restore.
#define PREVIOUS_VALUE_NAME TEXT("TimewardPrevious")
static const DWORD PREVIOUS_BYTES = 24;

// The check that the version before this one wrote after the signature: SnapshotCheck over the
// eight clock values, and CHECK_PENDING before them where the key had none. This driver reads it
// as that version meant it and removes it with its first snapshot, so that the version before,
// run again, takes CHECK_PENDING first, and a snapshot it cuts short is told from a whole one.
#define CHECK_VALUE_NAME TEXT("TimewardCheck")
static const DWORD CHECK_PENDING = 0;

// What the eight clock values and the signature hold, in the order the start-up check decides.
enum SNAPSHOT_STATE {
    SNAPSHOT_NONE,     // no "TimewardSignature"
    SNAPSHOT_FOREIGN,  // a signature other than SNAPSHOT_SIGNATURE
    SNAPSHOT_INVALID,  // a clock value is missing, or out of range in a record whole by its check
    SNAPSHOT_VALID,
    SNAPSHOT_TORN  // cut short: a mix of two snapshots, not restored
};

// Who wrote the clock values of a valid record.
enum RECORD_WRITER {
    WRITER_THIS,            // this driver: "TimewardRecord" matches them
    WRITER_CHECKED,         // the version before: "TimewardCheck" matches them
    WRITER_OLDER,           // a driver that wrote no check: read as it always was
    WRITER_OLDER_OVER_THIS  // such a driver rewrote them after this driver's last snapshot
};

// Which record a start restores from.
enum RECORD_USE { USE_NONE, USE_CURRENT, USE_PREVIOUS };

// The store's values as read. A flag is FALSE where the value is absent or cannot be read as the
// driver reads it: more than 4 bytes for a DWORD, for the two records another type or size.
struct STORE_VALUES {
    BOOL fSignature;
    DWORD dwSignature;
    BOOL afClock[CLOCK_VALUE_COUNT];
    DWORD adwClock[CLOCK_VALUE_COUNT];
    BOOL fCheck;
    DWORD dwCheck;
    BOOL fRecord;
    BYTE abRecord[RECORD_BYTES];
    BOOL fPrevious;
    BYTE abPrevious[PREVIOUS_BYTES];
};

// The store, judged: the record in the clock values, the one before it, and which one a start
// restores from.
struct STORE_RECORDS {
    DWORD dwCurrent;       // SNAPSHOT_STATE
    DWORD dwWriter;        // SNAPSHOT_VALID: RECORD_WRITER
    DWORD dwGeneration;    // SNAPSHOT_VALID: 0 for a record of a driver without generations
    SYSTEMTIME stCurrent;  // SNAPSHOT_VALID; SNAPSHOT_TORN where every value could be read
    DWORD dwBadValue;      // SNAPSHOT_INVALID: the index in CLOCK_VALUES of the first wrong value
    BOOL fBadValueRead;    // and whether it could be read at all
    BOOL fPrevious;        // "TimewardPrevious" holds a whole, valid record:
    SYSTEMTIME stPrevious;
    DWORD dwPreviousGeneration;
    DWORD dwUse;  // RECORD_USE: the current record when valid, the previous one when the current
                  // is torn, else none
};

extern "C" {

// Reads one value as a DWORD, opening and closing the key around it. FALSE, with *pdwValue
// untouched, when the key or value is absent or its data is longer than 4 bytes. The value's
// type plays no part; data shorter than 4 bytes reads zero-extended.
BOOL RegReadDword(HKEY hRoot, LPCWSTR pszKeyPath, LPCWSTR pszValueName, DWORD* pdwValue);

// Reads one value into pbData, opening and closing the key around it: TRUE when it is a
// REG_BINARY of exactly cbData bytes.
BOOL RegReadBinary(HKEY hRoot, LPCWSTR pszKeyPath, LPCWSTR pszValueName, BYTE* pbData,
                   DWORD cbData);

// Reads an optional setting of the driver's key into a DWORD, with its type and its size, as
// the one rule for the setting judges it: TRUE when the value is there, data longer than 4
// bytes included (then *pdwValue is 0).
BOOL ReadSetting(LPCWSTR pszValueName, DWORD* pdwType, DWORD* pcbData, DWORD* pdwValue);

// Writes one REG_DWORD value, opening and closing the key around it. TRUE when the set
// succeeded.
BOOL RegWriteDword(HKEY hRoot, LPCWSTR pszKeyPath, LPCWSTR pszValueName, DWORD dwValue);

// Takes a snapshot of the clock's reading: SaveSnapshotOf the time GetSystemTime gives.
void SaveCurrentTime(void);

// Writes the snapshot *pstNow, one value at a time: the record the clock values hold, where it
// is whole, into "TimewardPrevious"; "TimewardRecord" with the next generation, the new values'
// check and RECORD_WRITING; the removal of "TimewardCheck" where the version before left one; the
// eight clock values; the signature; "TimewardRecord" again, RECORD_WRITTEN; then flushes the
// key. A cut after any one of these writes leaves one whole record, the new one or the one
// before it. Says in the debug output "RTC is saved" when every step succeeded, else "RTC is
// not saved: error N" with the error of the first step that failed (opening the key counts as
// part of each step). A failed write does not stop the others.
void SaveSnapshotOf(const SYSTEMTIME* pstNow);

// The check of the eight clock values, in the order of CLOCK_VALUES: FNV-1a over their bytes,
// least significant first. Never CHECK_PENDING. The version before this one wrote it.
DWORD SnapshotCheck(const DWORD adwValues[]);

// The check of a record of this driver: FNV-1a over the bytes of the eight clock values, in the
// order of CLOCK_VALUES, then of its generation, each least significant byte first.
DWORD RecordCheck(const DWORD adwValues[], DWORD dwGeneration);

// Reads every value of the store from the registry, as RegReadDword reads the DWORDs.
void ReadStoreValues(STORE_VALUES* pValues);

// The one rule for what the store holds. With no signature, or another one, there is no record
// at all. The record in the clock values is whole when "TimewardRecord" matches them; else, where
// "TimewardCheck" is there, when it matches them, and torn when not; else torn while
// "TimewardRecord" says it is being written; else (a driver without these values wrote them) it
// is read as such a driver's, without a check. A whole record with a value out of range is
// invalid, as is one with a value missing that is not torn: the check is judged before the
// range, so a tear is always reported as one. "TimewardPrevious" counts when its check matches and
// its record is valid; a start restores from it only when the current record is torn.
void JudgeStore(const STORE_VALUES* pValues, STORE_RECORDS* pRecords);

// ReadStoreValues, then JudgeStore.
void ReadStore(STORE_RECORDS* pRecords);

// TRUE with *pTime the record a start restores from (JudgeStore's dwUse), if any.
BOOL RecordToRestore(const STORE_RECORDS* pRecords, SYSTEMTIME* pTime);

// The generation of the record a start restores from: 0 when there is none, or it is a record of
// a driver without generations. A new snapshot takes the next one.
DWORD NewestGeneration(const STORE_RECORDS* pRecords);

// TRUE with *pTime the record a start restores from, read from the registry.
BOOL ReadSnapshot(SYSTEMTIME* pTime);

}  // extern "C"

#endif  // TIMEWARD_CLOCK_STORE_H
