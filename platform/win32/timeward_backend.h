// Desktop Win32 backend: the Win32 headers, plus desktop stand-ins for the calls and types
// that only Windows CE has (its kernel debug print, EventModify, CeSafeCopyMemory, and the
// Power Manager's declarations).
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

#define EVENT_PULSE 1
#define EVENT_RESET 2
#define EVENT_SET 3

extern "C" {

// EVENT_SET is SetEvent, EVENT_RESET ResetEvent, EVENT_PULSE PulseEvent.
BOOL EventModify(HANDLE hEvent, DWORD func);
// Writes the text to OutputDebugStringW. Formats are not expanded: the driver passes none.
void NKDbgPrintfW(LPCWSTR lpszFmt, ...);
// Copies without ever faulting: FALSE when the source cannot be read or the destination
// cannot be written, and then nothing is written.
BOOL CeSafeCopyMemory(LPVOID pDest, LPCVOID pSrc, DWORD cbSize);
// Console programs: writes wide text to standard output, or to standard error when fError; as
// UTF-8 when the handle is a file or a pipe.
void ConsoleWriteW(BOOL fError, LPCWSTR pszText);

}  // extern "C"

#include "power_manager.h"

#endif  // TIMEWARD_WIN32_BACKEND_H
