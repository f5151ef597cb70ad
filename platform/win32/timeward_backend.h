// Desktop Win32 backend: the Win32 headers, plus desktop stand-ins for the calls and types
// that only Windows CE has (its kernel debug print, EventModify, CeSafeCopyMemory,
// GetProcAddressW, and the Power Manager's and the notification subsystem's declarations).
#ifndef TIMEWARD_WIN32_BACKEND_H
#define TIMEWARD_WIN32_BACKEND_H

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>  // what the Power Manager's codes are made of, as on Windows CE

#define EVENT_PULSE 1
#define EVENT_RESET 2
#define EVENT_SET 3

// The notification subsystem's events (notify.h). Desktop Windows has no such subsystem: the
// driver finds no CeRunAppAtEvent there and never passes these.
#define NOTIFICATION_EVENT_NONE 0
#define NOTIFICATION_EVENT_TIME_CHANGE 1

extern "C" {

// EVENT_SET is SetEvent, EVENT_RESET ResetEvent, EVENT_PULSE PulseEvent.
BOOL EventModify(HANDLE hEvent, DWORD func);
// Writes the text to OutputDebugStringW, with the only conversions the driver passes expanded:
// %u (a DWORD) and %%. Any other conversion is written as it stands, and a line is cut at 255
// characters. KERNEL32 has no wide printf, and the module imports nothing else that has one.
void NKDbgPrintfW(LPCWSTR lpszFmt, ...);
// Copies without ever faulting: FALSE when the source cannot be read or the destination
// cannot be written, and then nothing is written.
BOOL CeSafeCopyMemory(LPVOID pDest, LPCVOID pSrc, DWORD cbSize);
// GetProcAddress with a wide name, as Windows CE has it. The desktop call takes a narrow name:
// a name that is not ASCII, or is longer than 255 characters, is not found
// (ERROR_PROC_NOT_FOUND). An ordinal passes through.
FARPROC GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName);
// Console programs: writes wide text to standard output, or to standard error when fError; as
// UTF-8 when the handle is a file or a pipe.
void ConsoleWriteW(BOOL fError, LPCWSTR pszText);
// As notify.h declares it, so that the driver's pointer to it is checked against it. Nothing
// defines it: desktop Windows has no notification subsystem, and the driver, which finds the call
// at run time, finds none there.
BOOL CeRunAppAtEvent(TCHAR* pwszAppName, LONG lWhichEvent);
// A module's entry point, as the desktop's process.h and Windows CE's winbase.h declare it.
BOOL WINAPI DllMain(HANDLE hinstDLL, DWORD dwReason, LPVOID lpvReserved);

}  // extern "C"

#include "power_manager.h"

#endif  // TIMEWARD_WIN32_BACKEND_H
