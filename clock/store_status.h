// What the store means, as the driver's start-up check would read it: the one model that every
// tool renders, so that they all say the same thing.
#ifndef TIMEWARD_CLOCK_STORE_STATUS_H
#define TIMEWARD_CLOCK_STORE_STATUS_H

#include "platform.h"
#include "store.h"

// FALSE when the value is absent; else its type and size, and *pfRead TRUE with *pdwValue the
// value as the driver reads it (data of at most 4 bytes, zero-extended).
typedef BOOL (*STORE_VALUE_READ)(void* pContext, LPCWSTR pszName, DWORD* pdwType, DWORD* pcbData,
                                 BOOL* pfRead, DWORD* pdwValue);

// How the model reads the store's key: the live registry on a device, or a copy of it.
struct STORE_READER {
    void* pContext;
    // TRUE when the store's key is there.
    BOOL (*pfnKeyExists)(void* pContext);
    STORE_VALUE_READ pfnReadValue;
    // TRUE, with pbData filled, when the value is a REG_BINARY of exactly cbData bytes.
    BOOL (*pfnReadBytes)(void* pContext, LPCWSTR pszName, BYTE* pbData, DWORD cbData);
    // TRUE when the Device Manager lists the driver as active (Drivers\Active); *pfKnown FALSE
    // when there is no such list to read (no Device Manager keeps one here), and whether the
    // driver runs is unknown.
    BOOL (*pfnDriverRunning)(void* pContext, BOOL* pfKnown);
};

enum SWITCH_STATE {
    SWITCH_ABSENT,
    SWITCH_DWORD,
    SWITCH_OTHER_TYPE  // read by the driver all the same, as its bytes
};

// What the next start does, in the order the start-up check decides.
enum NEXT_START {
    NEXT_REFUSE,             // the switch turns the driver off
    NEXT_NO_SNAPSHOT,        // nothing valid to restore
    NEXT_RESTORE,            // the record is more than the margin ahead of the clock
    NEXT_WITHIN_MARGIN,      // ahead, but by RESTORE_MARGIN_SECONDS or less
    NEXT_CLOCK_AT_SNAPSHOT,  // the same second
    NEXT_CLOCK_AHEAD,        // the clock is later than the record
    NEXT_TORN,               // the snapshot is torn, with none before it: nothing is restored
    NEXT_FLOOR               // nothing is restored, and the clock is set to the floor
};

struct STORE_STATUS {
    BOOL fKey;
    BOOL fDriverRunning;
    BOOL fDriverKnown;   // FALSE: no Device Manager's list to read (fDriverRunning is FALSE)
    SYSTEMTIME stClock;  // the clock the next start is judged against

    DWORD dwSnapshot;  // SNAPSHOT_STATE of the record in the clock values
    BOOL fSignature;   // a signature could be read: dwSignature holds it
    DWORD dwSignature;
    LPCWSTR pszBadValue;    // SNAPSHOT_INVALID: the first clock value that is wrong
    BOOL fBadValueRead;     // FALSE: that value is missing or unreadable
    DWORD dwBadValue;       // else the number the driver reads from it
    SYSTEMTIME stSnapshot;  // SNAPSHOT_VALID, SNAPSHOT_TORN: the record the values make
    DWORD dwWriter;         // SNAPSHOT_VALID: RECORD_WRITER
    DWORD dwGeneration;     // SNAPSHOT_VALID: its generation
    BOOL fPrevious;         // "TimewardPrevious" holds a whole record:
    SYSTEMTIME stPrevious;
    DWORD dwPreviousGeneration;
    DWORD dwUse;  // RECORD_USE: the record the next start judges, and restores if due:
    SYSTEMTIME stUse;

    DWORD dwSwitch;  // SWITCH_STATE
    DWORD dwSwitchType;
    DWORD cbSwitch;
    BOOL fSwitchRead;  // dwSwitchValue holds what the driver reads
    DWORD dwSwitchValue;
    BOOL fRefuses;  // the driver does not start

    DWORD dwInterval;         // INTERVAL_STATE (interval.h)
    DWORD dwIntervalSeconds;  // in effect
    BOOL fIntervalRead;       // dwIntervalValue holds the value's number
    DWORD dwIntervalValue;

    DWORD dwFloorState;  // FLOOR_STATE (floor.h)
    DWORD dwFloor;       // in effect
    BOOL fFloorRead;     // dwFloorValue holds the value's number
    DWORD dwFloorValue;

    DWORD dwNextStart;        // NEXT_START
    DWORD dwDistanceSeconds;  // a record to use: between it and the clock, either way
    BOOL fClockLater;         // a record to use: the clock is later than it, by the calendar
    // A record to use: the 32-bit seconds since 1961 that the start-up check compares wrapped
    // between the two (after 2097-02-06 06:28:15), so the check sees them the other way round:
    // with NEXT_RESTORE, the restore sets the clock back.
    BOOL fSecondsWrap;
};

extern "C" {

// The reader on the registry of this process, with the driver's own reads.
void RegistryStoreReader(STORE_READER* pReader);

// Fills *pStatus from the store as read by pReader, judging the next start against *pstClock
// with RestoreIsDue, as the start-up check does.
void ReadStoreStatus(const STORE_READER* pReader, const SYSTEMTIME* pstClock,
                     STORE_STATUS* pStatus);

}  // extern "C"

#endif  // TIMEWARD_CLOCK_STORE_STATUS_H
