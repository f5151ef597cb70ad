// Decides whether the driver runs, restores a clock that fell back, and starts the saver.
#include "startup.h"

#include "floor.h"
#include "saver.h"
#include "seconds.h"
#include "store.h"

// Sets the clock to the newest whole record when that is more than RESTORE_MARGIN_SECONDS later
// than the clock; else, when the clock is earlier than the floor, to the floor.
static void RestoreClock(DWORD dwFloor) {
    STORE_RECORDS records;
    ReadWholeSnapshot(&records);
    SYSTEMTIME stSaved;
    const BOOL fRecord = RecordToRestore(&records, &stSaved);
    if (records.dwCurrent == SNAPSHOT_TORN) {
        // A power cut came between two of its value writes: the record may be one the clock
        // never showed, a day or a year ahead of both snapshots it was made of.
        NKDbgPrintfW(fRecord ? TEXT("The saved time is torn: a snapshot was cut short, the one "
                                    "before it is used\r\n")
                             : TEXT("The saved time is torn: a snapshot was cut short, nothing is "
                                    "restored\r\n"));
    } else if (!fRecord) {
        NKDbgPrintfW(TEXT("We did not save RTC before\r\n"));
    }

    SYSTEMTIME stNow;
    GetSystemTime(&stNow);
    DWORD dwSavedSeconds;
    DWORD dwNowSeconds;
    if (fRecord && RestoreIsDue(&stSaved, &stNow, &dwSavedSeconds, &dwNowSeconds)) {
        NKDbgPrintfW(TEXT("SavedTime is bigger than CurrentTime for more than 5 minutes\r\n"));
        SetSystemTime(&stSaved);
        return;
    }
    // No restore: a clock at its reset date (1980, 2000, 2003 on many boards) starts at the
    // floor instead. A clock at or past the floor is left alone.
    SYSTEMTIME stFloor;
    if (IsBeforeFloor(&stNow, dwFloor) && FloorDate(dwFloor, &stFloor)) {
        NKDbgPrintfW(TEXT("The clock is earlier than the floor %u (YYYYMMDD): it is set to that "
                          "day\r\n"),
                     FloorNumber(dwFloor));
        SetSystemTime(&stFloor);
    }
}

extern "C" BOOL RestoreIsDue(SYSTEMTIME* pstSaved, SYSTEMTIME* pstNow, DWORD* pdwSavedSeconds,
                             DWORD* pdwNowSeconds) {
    SecondsSince1961(pstNow, pdwNowSeconds);
    SecondsSince1961(pstSaved, pdwSavedSeconds);
    // Unsigned 32-bit, as stored: equality does not restore, and a clock ahead of the
    // snapshot is never moved back.
    return *pdwSavedSeconds > *pdwNowSeconds + RESTORE_MARGIN_SECONDS;
}

extern "C" DWORD StartClockKeeping(BOOL* pfFirstInstance) {
    DWORD dwImplemented;
    if (RegReadDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, SWITCH_VALUE_NAME, &dwImplemented) &&
        dwImplemented == SWITCH_OFF) {
        NKDbgPrintfW(TEXT("Timeward is already implemented\r\n"));
        return 0;
    }
    // The saver starts only after the restore: no snapshot of this run, and so no reset clock,
    // can reach the store before the previous run's snapshot has been read and restored.
    RestoreClock(ReadFloor());
    const BOOL fFirstInstance = StartSaver();
    if (pfFirstInstance != NULL) {
        *pfFirstInstance = fFirstInstance;
    }
    return DEVICE_CONTEXT;
}
