// Decides whether the driver runs, starts the saver, and restores a clock that fell back.
#include "startup.h"

#include "saver.h"
#include "seconds.h"
#include "store.h"

extern "C" DWORD StartClockKeeping(void) {
    DWORD dwImplemented;
    if (RegReadDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, TEXT("TimewardImplemented"),
                     &dwImplemented) &&
        dwImplemented == 1) {
        NKDbgPrintfW(TEXT("Timeward is already implemented\r\n"));
        return 0;
    }

    StartSaver();

    SYSTEMTIME stSaved;
    if (!ReadSnapshot(&stSaved)) {
        NKDbgPrintfW(TEXT("We did not save RTC before\r\n"));
        return 1;
    }

    SYSTEMTIME stNow;
    GetSystemTime(&stNow);
    DWORD dwNowSeconds;
    DWORD dwSavedSeconds;
    SecondsSince1961(&stNow, &dwNowSeconds);
    SecondsSince1961(&stSaved, &dwSavedSeconds);

    // Unsigned 32-bit, as stored: equality does not restore, and a clock ahead of the
    // snapshot is never moved back.
    if (dwSavedSeconds > dwNowSeconds + RESTORE_MARGIN_SECONDS) {
        NKDbgPrintfW(TEXT("SavedTime is bigger than CurrentTime for more than 5 minutes\r\n"));
        SetSystemTime(&stSaved);
    }
    return 1;
}
