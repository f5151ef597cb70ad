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

// Opens the key, sets one REG_DWORD value and closes the key: the open's error, else the set's.
static LONG SetDwordValue(HKEY hRoot, LPCWSTR pszKeyPath, LPCWSTR pszValueName, DWORD dwValue) {
    HKEY hKey;
    LONG lResult = RegOpenKeyExW(hRoot, pszKeyPath, 0, KEY_ALL_ACCESS, &hKey);
    if (lResult != ERROR_SUCCESS) {
        return lResult;
    }
    lResult =
        RegSetValueExW(hKey, pszValueName, 0, REG_DWORD, (const BYTE*)&dwValue, sizeof(dwValue));
    RegCloseKey(hKey);
    return lResult;
}

// Opens the key (asking no access) and flushes it: the open's error, else the flush's.
static LONG FlushStore(void) {
    HKEY hKey;
    LONG lResult = RegOpenKeyExW(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, 0, 0, &hKey);
    if (lResult != ERROR_SUCCESS) {
        return lResult;
    }
    lResult = RegFlushKey(hKey);
    RegCloseKey(hKey);
    return lResult;
}

// Keeps the first error of a series of steps.
static void NoteError(LONG* plFirstError, LONG lResult) {
    if (*plFirstError == ERROR_SUCCESS) {
        *plFirstError = lResult;
    }
}

extern "C" BOOL RegWriteDword(HKEY hRoot, LPCWSTR pszKeyPath, LPCWSTR pszValueName, DWORD dwValue) {
    return SetDwordValue(hRoot, pszKeyPath, pszValueName, dwValue) == ERROR_SUCCESS;
}

static const DWORD FNV_OFFSET_BASIS = 2166136261u;
static const DWORD FNV_PRIME = 16777619u;
static const DWORD BITS_PER_BYTE = 8;

extern "C" DWORD SnapshotCheck(const DWORD adwValues[]) {
    DWORD dwHash = FNV_OFFSET_BASIS;
    for (DWORD i = 0; i < CLOCK_VALUE_COUNT; ++i) {
        for (DWORD b = 0; b < sizeof(DWORD); ++b) {
            dwHash ^= (adwValues[i] >> (BITS_PER_BYTE * b)) & 0xFF;
            dwHash *= FNV_PRIME;
        }
    }
    return dwHash == CHECK_PENDING ? CHECK_PENDING + 1 : dwHash;
}

extern "C" void SaveCurrentTime(void) {
    SYSTEMTIME stNow;
    GetSystemTime(&stNow);
    DWORD adwValues[CLOCK_VALUE_COUNT];
    for (DWORD i = 0; i < CLOCK_VALUE_COUNT; ++i) {
        adwValues[i] = stNow.*CLOCK_VALUES[i].pField;
    }

    // A failed write leaves that value as it was and does not stop the others.
    LONG lFirstError = ERROR_SUCCESS;
    // A check left by the last snapshot stops matching at the first field that changes; without
    // one, an older driver's store would read a mix as whole until the new check is written.
    DWORD dwCheck;
    if (!RegReadDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, CHECK_VALUE_NAME, &dwCheck)) {
        NoteError(&lFirstError, SetDwordValue(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH,
                                              CHECK_VALUE_NAME, CHECK_PENDING));
    }
    for (DWORD i = 0; i < CLOCK_VALUE_COUNT; ++i) {
        NoteError(&lFirstError, SetDwordValue(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH,
                                              CLOCK_VALUES[i].pszValueName, adwValues[i]));
    }
    NoteError(&lFirstError, SetDwordValue(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH,
                                          SIGNATURE_VALUE_NAME, SNAPSHOT_SIGNATURE));
    NoteError(&lFirstError, SetDwordValue(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, CHECK_VALUE_NAME,
                                          SnapshotCheck(adwValues)));
    // On a hive-based registry nothing is on storage until the flush.
    NoteError(&lFirstError, FlushStore());
    if (lFirstError == ERROR_SUCCESS) {
        NKDbgPrintfW(TEXT("RTC is saved\r\n"));
    } else {
        NKDbgPrintfW(TEXT("RTC is not saved: error %u\r\n"), (DWORD)lFirstError);
    }
}

extern "C" DWORD ReadSnapshotRecord(SYSTEMTIME* pTime) {
    DWORD dwSignature;
    if (!RegReadDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, SIGNATURE_VALUE_NAME, &dwSignature) ||
        dwSignature != SNAPSHOT_SIGNATURE) {
        return SNAPSHOT_READ_NONE;
    }
    SYSTEMTIME stSaved;
    DWORD adwValues[CLOCK_VALUE_COUNT];
    for (DWORD i = 0; i < CLOCK_VALUE_COUNT; ++i) {
        if (!RegReadDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, CLOCK_VALUES[i].pszValueName,
                          &adwValues[i])) {
            return SNAPSHOT_READ_NONE;  // no default for a missing field
        }
        stSaved.*CLOCK_VALUES[i].pField = (WORD)(adwValues[i] & 0xFFFF);
    }
    // Only an edited store holds a record the clock could not have given.
    if (!IsValidCalendarRecord(&stSaved)) {
        return SNAPSHOT_READ_NONE;
    }
    DWORD dwCheck;
    if (RegReadDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, CHECK_VALUE_NAME, &dwCheck) &&
        dwCheck != SnapshotCheck(adwValues)) {
        return SNAPSHOT_READ_TORN;
    }
    *pTime = stSaved;
    return SNAPSHOT_READ_WHOLE;
}

extern "C" BOOL ReadSnapshot(SYSTEMTIME* pTime) {
    return ReadSnapshotRecord(pTime) == SNAPSHOT_READ_WHOLE;
}
