// Reads and writes the snapshot of the clock in the saved-time store.
#include "store.h"

#include "seconds.h"

extern "C" BOOL RegReadDword(HKEY hRoot, LPCWSTR pszKeyPath, LPCWSTR pszValueName,
                             DWORD* pdwValue) {
    HKEY hKey;
    if (RegOpenKeyExW(hRoot, pszKeyPath, 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS) {
        return FALSE;
    }
    DWORD dwData = 0;  // shorter data leaves the high bytes zero, never undefined
    DWORD cbData = sizeof(dwData);
    LONG lResult = RegQueryValueExW(hKey, pszValueName, NULL, NULL, (LPBYTE)&dwData, &cbData);
    RegCloseKey(hKey);
    if (lResult != ERROR_SUCCESS) {
        return FALSE;
    }
    *pdwValue = dwData;
    return TRUE;
}

extern "C" BOOL RegWriteDword(HKEY hRoot, LPCWSTR pszKeyPath, LPCWSTR pszValueName, DWORD dwValue) {
    HKEY hKey;
    if (RegOpenKeyExW(hRoot, pszKeyPath, 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS) {
        return FALSE;
    }
    LONG lResult =
        RegSetValueExW(hKey, pszValueName, 0, REG_DWORD, (const BYTE*)&dwValue, sizeof(dwValue));
    RegCloseKey(hKey);
    return lResult == ERROR_SUCCESS;
}

extern "C" void SaveCurrentTime(void) {
    SYSTEMTIME stNow;
    GetSystemTime(&stNow);

    // A failed write leaves that value as it was and does not stop the others.
    for (DWORD i = 0; i < CLOCK_VALUE_COUNT; ++i) {
        RegWriteDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, CLOCK_VALUES[i].pszValueName,
                      stNow.*CLOCK_VALUES[i].pField);
    }
    RegWriteDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, SIGNATURE_VALUE_NAME, SNAPSHOT_SIGNATURE);

    // On a hive-based registry nothing is on storage until the flush.
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, 0, 0, &hKey) == ERROR_SUCCESS) {
        RegFlushKey(hKey);
        RegCloseKey(hKey);
    }
    NKDbgPrintfW(TEXT("RTC is saved\r\n"));
}

extern "C" BOOL ReadSnapshot(SYSTEMTIME* pTime) {
    DWORD dwSignature;
    if (!RegReadDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, SIGNATURE_VALUE_NAME, &dwSignature) ||
        dwSignature != SNAPSHOT_SIGNATURE) {
        return FALSE;
    }
    SYSTEMTIME stSaved;
    for (DWORD i = 0; i < CLOCK_VALUE_COUNT; ++i) {
        DWORD dwValue;
        if (!RegReadDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, CLOCK_VALUES[i].pszValueName,
                          &dwValue)) {
            return FALSE;  // no default for a missing field
        }
        stSaved.*CLOCK_VALUES[i].pField = (WORD)(dwValue & 0xFFFF);
    }
    // Only an edited store holds a record the clock could not have given.
    if (!IsValidCalendarRecord(&stSaved)) {
        return FALSE;
    }
    *pTime = stSaved;
    return TRUE;
}
