// Decides whether the driver runs, restores a clock that fell back, and starts the saver.
#include "startup.h"

#include "saver.h"
#include "seconds.h"
#include "store.h"

// Sets the clock to the previous run's snapshot when that is more than RESTORE_MARGIN_SECONDS
// later than the clock.
static void RestoreClock(void) {
    SYSTEMTIME stSaved;
    const DWORD dwRead = ReadWholeSnapshot(&stSaved);
    if (dwRead == SNAPSHOT_READ_TORN) {
        // A power cut came between two of its value writes: the record may be one the clock
        // never showed, a day or a year ahead of both snapshots it was made of.
        NKDbgPrintfW(
            TEXT("The saved time is torn: a snapshot was cut short, nothing is "
                 "restored\r\n"));
        return;
    }
    if (dwRead != SNAPSHOT_READ_WHOLE) {
        NKDbgPrintfW(TEXT("We did not save RTC before\r\n"));
        return;
    }

    SYSTEMTIME stNow;
    GetSystemTime(&stNow);
    DWORD dwSavedSeconds;
    DWORD dwNowSeconds;
    if (RestoreIsDue(&stSaved, &stNow, &dwSavedSeconds, &dwNowSeconds)) {
        NKDbgPrintfW(TEXT("SavedTime is bigger than CurrentTime for more than 5 minutes\r\n"));
        SetSystemTime(&stSaved);
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
    RestoreClock();
    const BOOL fFirstInstance = StartSaver();
    if (pfFirstInstance != NULL) {
        *pfFirstInstance = fFirstInstance;
    }
    return DEVICE_CONTEXT;
}
