// For compile checks off the device only: Windows CE 5.0's dbgapi.h, the kernel debug print.
#ifndef TIMEWARD_SDK_CHECK_DBGAPI_H
#define TIMEWARD_SDK_CHECK_DBGAPI_H

#include "windef.h"

// Row NKDbgPrintfW: variadic, __cdecl.
extern "C" void WINAPIV NKDbgPrintfW(LPCWSTR lpszFmt, ...);

#endif  // TIMEWARD_SDK_CHECK_DBGAPI_H
