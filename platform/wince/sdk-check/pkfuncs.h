// For compile checks off the device only: the declarations of the Windows CE 5 SDK's
// pkfuncs.h that the driver uses, in their strictest form (a source without const, as some
// SDKs declare it), so that the check catches a call that only a lax declaration accepts.
#pragma once

extern "C" void NKDbgPrintfW(LPCWSTR lpszFmt, ...);
extern "C" BOOL CeSafeCopyMemory(LPVOID pDest, LPVOID pSrc, DWORD cbSize);
