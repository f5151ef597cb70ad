// For compile checks off the device only: the desktop windows.h, plus what the Windows CE 5
// SDK's windows.h declares and the desktop one lacks (GetProcAddressW, from its winbase.h).
#pragma once
// A system header, as the one it wraps: -pedantic would flag #include_next, a GCC extension.
#pragma GCC system_header

#include_next <windows.h>

extern "C" FARPROC WINAPI GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName);
