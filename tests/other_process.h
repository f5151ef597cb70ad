// Another process that creates two named events before anyone else, as a program that also
// uses the saver's event names might: an auto-reset one and a manual-reset one, both not set.
// Written against platform.h: the Win32 build runs it as a process of its own
// (another_process.exe), the host as a simulated thread (platform_support.h).
#ifndef TIMEWARD_TESTS_OTHER_PROCESS_H
#define TIMEWARD_TESTS_OTHER_PROCESS_H

#include <platform.h>

#define OTHER_AUTO_RESET TEXT("TimewardOtherAutoReset")
#define OTHER_MANUAL_RESET TEXT("TimewardOtherManualReset")
// Created by the case before the other process starts; the other process sets it once both of
// its events exist.
#define OTHER_READY TEXT("TimewardOtherReady")

// Exit codes: 0, the auto-reset event was set within ten seconds and the manual-reset one then
// set; 1, it was not; 2, the events could not be created as new ones; 3, no ready event.
inline DWORD OtherProcessMain() {
    HANDLE hAuto = CreateEventW(NULL, FALSE, FALSE, OTHER_AUTO_RESET);
    const BOOL fAutoNew = hAuto != NULL && GetLastError() != ERROR_ALREADY_EXISTS;
    HANDLE hManual = CreateEventW(NULL, TRUE, FALSE, OTHER_MANUAL_RESET);
    const BOOL fManualNew = hManual != NULL && GetLastError() != ERROR_ALREADY_EXISTS;
    HANDLE hReady = OpenEventW(EVENT_ALL_ACCESS, FALSE, OTHER_READY);
    DWORD dwExit = 3;
    if (hReady != NULL) {
        dwExit = 2;
        if (fAutoNew && fManualNew) {
            SetEvent(hReady);
            dwExit = 1;
            if (WaitForSingleObject(hAuto, 10000) == WAIT_OBJECT_0 && SetEvent(hManual)) {
                dwExit = 0;
            }
        }
        CloseHandle(hReady);
    }
    if (hAuto != NULL) {
        CloseHandle(hAuto);
    }
    if (hManual != NULL) {
        CloseHandle(hManual);
    }
    return dwExit;
}

#endif  // TIMEWARD_TESTS_OTHER_PROCESS_H
