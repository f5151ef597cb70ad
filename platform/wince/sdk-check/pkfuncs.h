// For compile checks off the device only: the declarations of the Windows CE 5 SDK's
// pkfuncs.h that the driver uses, as that header declares them.
#pragma once

extern "C" void NKDbgPrintfW(LPCWSTR lpszFmt, ...);
extern "C" BOOL CeSafeCopyMemory(LPVOID pDest, LPVOID pSrc, DWORD cbSize);
