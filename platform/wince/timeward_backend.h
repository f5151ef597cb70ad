// Windows CE backend: the platform's own headers. The driver calls COREDLL directly.
#ifndef TIMEWARD_WINCE_BACKEND_H
#define TIMEWARD_WINCE_BACKEND_H

#include <windows.h>
#include <winioctl.h>  // CTL_CODE and the rest that pm.h's codes are made of: before pm.h
#include <kfuncs.h>    // EventModify, EVENT_SET
#include <dbgapi.h>    // NKDbgPrintfW
#include <pkfuncs.h>   // CeSafeCopyMemory
#include <pm.h>        // POWER_CAPABILITIES, CEDEVICE_POWER_STATE, IOCTL_POWER_*
#include <notify.h>    // NOTIFICATION_EVENT_*: CeRunAppAtEvent is found at run time
#include <stdio.h>     // fputws: COREDLL's console output

// Console programs: writes wide text to standard output, or to standard error when fError.
inline void ConsoleWriteW(BOOL fError, LPCWSTR pszText) {
    if (pszText != NULL) {
        fputws(pszText, fError ? stderr : stdout);
    }
}

#endif  // TIMEWARD_WINCE_BACKEND_H
