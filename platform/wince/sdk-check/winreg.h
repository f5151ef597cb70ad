// For compile checks off the device only: Windows CE 5.0's winreg.h, the calls the driver and
// timewardctl use, each as the row of docs/developers.md's table "The device's declarations"
// named beside it gives it.
#ifndef TIMEWARD_SDK_CHECK_WINREG_H
#define TIMEWARD_SDK_CHECK_WINREG_H

#include "windef.h"

// Row Constants: Windows' own values, the desktop's as well.
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002)
#define KEY_ALL_ACCESS 0xF003F
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

extern "C" {

// Row RegOpenKeyExW: ulOptions is reserved, 0; samDesired is not supported.
LONG APIENTRY RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                            PHKEY phkResult);
// Row RegQueryValueExW: lpReserved is reserved, NULL.
LONG APIENTRY RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                               LPBYTE lpData, LPDWORD lpcbData);
// Row RegSetValueExW: Reserved is reserved, 0.
LONG APIENTRY RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                             CONST BYTE* lpData, DWORD cbData);
// Row RegFlushKey, RegCloseKey, RegDeleteValueW.
LONG APIENTRY RegFlushKey(HKEY hKey);
LONG APIENTRY RegCloseKey(HKEY hKey);
LONG APIENTRY RegDeleteValueW(HKEY hKey, LPCWSTR lpszValueName);
// Row RegEnumKeyExW: lpReserved is reserved, NULL.
LONG APIENTRY RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcbName,
                            LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcbClass,
                            PFILETIME lpftLastWriteTime);

}  // extern "C"

#endif  // TIMEWARD_SDK_CHECK_WINREG_H
