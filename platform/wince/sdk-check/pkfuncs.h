// For compile checks off the device only: Windows CE 5.0's pkfuncs.h (an OEM header), the
// guarded copy.
#ifndef TIMEWARD_SDK_CHECK_PKFUNCS_H
#define TIMEWARD_SDK_CHECK_PKFUNCS_H

#include "windef.h"

// Row CeSafeCopyMemory: no WINAPI. COREDLL exports it on CE 5; its CE 5.0 declaration is the
// one row of the table taken from a later page, not from CE 5.0's own.
extern "C" BOOL CeSafeCopyMemory(LPVOID pDst, LPCVOID pSrc, DWORD cbSize);

#endif  // TIMEWARD_SDK_CHECK_PKFUNCS_H
