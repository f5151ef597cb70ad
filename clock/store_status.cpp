// Reads the store as the start-up check does and says what it means.
#include "store_status.h"

#include "interval.h"
#include "saver.h"
#include "seconds.h"
#include "startup.h"
#include "store.h"

static BOOL RegistryKeyExists(void*) {
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, 0, 0, &hKey) != ERROR_SUCCESS) {
        return FALSE;
    }
    RegCloseKey(hKey);
    return TRUE;
}

static BOOL RegistryReadValue(void*, LPCWSTR pszName, DWORD* pdwType, DWORD* pcbData, BOOL* pfRead,
                              DWORD* pdwValue) {
    // With the access the driver's reads ask: desktop Windows refuses a query on a key opened
    // with none.
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, 0, KEY_ALL_ACCESS, &hKey) !=
        ERROR_SUCCESS) {
        return FALSE;
    }
    *pcbData = 0;
    const LONG lResult = RegQueryValueExW(hKey, pszName, NULL, pdwType, NULL, pcbData);
    RegCloseKey(hKey);
    if (lResult != ERROR_SUCCESS) {
        return FALSE;
    }
    // The number itself through the driver's own read.
    *pfRead = RegReadDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, pszName, pdwValue);
    return TRUE;
}

// The Device Manager lists each driver it has loaded under Drivers\Active: a key per instance
// whose "Key" names the driver's own key, which names its module in "Dll". Another object that
// happens to hold "SaveRTCEvent" says nothing about the driver, so the list decides.
#define ACTIVE_DRIVERS_PATH TEXT("Drivers\\Active")
static const WCHAR DRIVER_MODULE_NAME[] = TEXT("Timeward.dll");
static const DWORD NAME_CHARS = 128;

static WCHAR LowerAscii(WCHAR ch) {
    return ch >= TEXT('A') && ch <= TEXT('Z') ? (WCHAR)(ch - TEXT('A') + TEXT('a')) : ch;
}

// The module's name, after any folder, is this driver's.
static BOOL IsDriverModule(LPCWSTR pszDll) {
    LPCWSTR pszFile = pszDll;
    for (LPCWSTR p = pszDll; *p; ++p) {
        if (*p == TEXT('\\')) {
            pszFile = p + 1;
        }
    }
    LPCWSTR pszOurs = DRIVER_MODULE_NAME;
    while (*pszFile && LowerAscii(*pszFile) == LowerAscii(*pszOurs)) {
        ++pszFile;
        ++pszOurs;
    }
    return *pszFile == 0 && *pszOurs == 0;
}

// A string value of a key under hRoot into psz (cch characters, the terminator included);
// FALSE when the key or the value is absent, or the value is not a string that fits.
static BOOL ReadKeyString(HKEY hRoot, LPCWSTR pszKey, LPCWSTR pszName, WCHAR* psz, DWORD cch) {
    HKEY hKey;
    if (RegOpenKeyExW(hRoot, pszKey, 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS) {
        return FALSE;
    }
    DWORD dwType = REG_NONE;
    DWORD cbData = (cch - 1) * sizeof(WCHAR);
    const LONG lResult = RegQueryValueExW(hKey, pszName, NULL, &dwType, (LPBYTE)psz, &cbData);
    RegCloseKey(hKey);
    if (lResult != ERROR_SUCCESS || dwType != REG_SZ) {
        return FALSE;
    }
    psz[cbData / sizeof(WCHAR)] = 0;  // the data need not end in a terminator
    return TRUE;
}

static BOOL RegistryDriverRunning(void*, BOOL* pfKnown) {
    // The Device Manager makes the list at every start: without it, nothing here says whether
    // the driver runs.
    HKEY hActive;
    *pfKnown = RegOpenKeyExW(HKEY_LOCAL_MACHINE, ACTIVE_DRIVERS_PATH, 0, KEY_ALL_ACCESS,
                             &hActive) == ERROR_SUCCESS;
    if (!*pfKnown) {
        return FALSE;
    }
    BOOL fRunning = FALSE;
    for (DWORD i = 0; !fRunning; ++i) {
        WCHAR szEntry[NAME_CHARS];
        DWORD cchEntry = NAME_CHARS;
        const LONG lResult = RegEnumKeyExW(hActive, i, szEntry, &cchEntry, NULL, NULL, NULL, NULL);
        if (lResult == ERROR_MORE_DATA) {
            continue;  // not a name the Device Manager gives
        }
        if (lResult != ERROR_SUCCESS) {
            break;
        }
        WCHAR szKey[NAME_CHARS];
        WCHAR szDll[NAME_CHARS];
        fRunning = ReadKeyString(hActive, szEntry, TEXT("Key"), szKey, NAME_CHARS) &&
                   ReadKeyString(HKEY_LOCAL_MACHINE, szKey, TEXT("Dll"), szDll, NAME_CHARS) &&
                   IsDriverModule(szDll);
    }
    RegCloseKey(hActive);
    return fRunning;
}

extern "C" void RegistryStoreReader(STORE_READER* pReader) {
    pReader->pContext = NULL;
    pReader->pfnKeyExists = RegistryKeyExists;
    pReader->pfnReadValue = RegistryReadValue;
    pReader->pfnDriverRunning = RegistryDriverRunning;
}

// A number the driver reads from a value: FALSE when the value is absent or unreadable.
static BOOL ReadNumber(const STORE_READER* pReader, LPCWSTR pszName, DWORD* pdwValue) {
    DWORD dwType;
    DWORD cbData;
    BOOL fRead = FALSE;
    return pReader->pfnReadValue(pReader->pContext, pszName, &dwType, &cbData, &fRead, pdwValue) &&
           fRead;
}

// The snapshot as ReadSnapshot takes it, naming the first value that makes it fail.
static void ReadSnapshotState(const STORE_READER* pReader, STORE_STATUS* pStatus) {
    pStatus->fSignature = ReadNumber(pReader, SIGNATURE_VALUE_NAME, &pStatus->dwSignature);
    if (!pStatus->fSignature) {
        pStatus->dwSnapshot = SNAPSHOT_NONE;
        return;
    }
    if (pStatus->dwSignature != SNAPSHOT_SIGNATURE) {
        pStatus->dwSnapshot = SNAPSHOT_FOREIGN;
        return;
    }
    pStatus->dwSnapshot = SNAPSHOT_INVALID;
    DWORD adwValues[CLOCK_VALUE_COUNT];
    for (DWORD i = 0; i < CLOCK_VALUE_COUNT; ++i) {
        if (!ReadNumber(pReader, CLOCK_VALUES[i].pszValueName, &adwValues[i])) {
            pStatus->pszBadValue = CLOCK_VALUES[i].pszValueName;
            return;
        }
    }
    // Fields set one by one into a record that is valid before them: the first whose setting
    // makes it invalid is the one out of range, by the driver's own check.
    SYSTEMTIME stTried = {2000, 1, 6, 1, 0, 0, 0, 0};
    for (DWORD i = 0; i < CLOCK_VALUE_COUNT; ++i) {
        stTried.*CLOCK_VALUES[i].pField = (WORD)(adwValues[i] & 0xFFFF);
        if (!IsValidCalendarRecord(&stTried)) {
            pStatus->pszBadValue = CLOCK_VALUES[i].pszValueName;
            pStatus->fBadValueRead = TRUE;
            pStatus->dwBadValue = adwValues[i];
            return;
        }
    }
    pStatus->stSnapshot = stTried;
    // No check: an older driver's store, read as it always was.
    DWORD dwCheck;
    pStatus->dwSnapshot =
        ReadNumber(pReader, CHECK_VALUE_NAME, &dwCheck) && dwCheck != SnapshotCheck(adwValues)
            ? SNAPSHOT_TORN
            : SNAPSHOT_VALID;
}

static void ReadIntervalState(const STORE_READER* pReader, STORE_STATUS* pStatus) {
    DWORD dwType = REG_NONE;
    DWORD cbData = 0;
    const BOOL fPresent =
        pReader->pfnReadValue(pReader->pContext, INTERVAL_VALUE_NAME, &dwType, &cbData,
                              &pStatus->fIntervalRead, &pStatus->dwIntervalValue);
    pStatus->fIntervalRead = fPresent && pStatus->fIntervalRead;
    pStatus->dwInterval = JudgeInterval(fPresent, dwType, cbData, pStatus->dwIntervalValue,
                                        &pStatus->dwIntervalSeconds);
}

static void ReadSwitchState(const STORE_READER* pReader, STORE_STATUS* pStatus) {
    BOOL fRead = FALSE;
    if (!pReader->pfnReadValue(pReader->pContext, SWITCH_VALUE_NAME, &pStatus->dwSwitchType,
                               &pStatus->cbSwitch, &fRead, &pStatus->dwSwitchValue)) {
        pStatus->dwSwitch = SWITCH_ABSENT;
        return;
    }
    pStatus->fSwitchRead = fRead;
    pStatus->dwSwitch = pStatus->dwSwitchType == REG_DWORD ? SWITCH_DWORD : SWITCH_OTHER_TYPE;
    // The start-up check reads the number and ignores the type.
    pStatus->fRefuses = fRead && pStatus->dwSwitchValue == SWITCH_OFF;
}

// Whether *pA is later than *pB to the second, field by field (the check ignores milliseconds).
static BOOL CalendarLater(const SYSTEMTIME* pA, const SYSTEMTIME* pB) {
    const WORD awA[] = {pA->wYear, pA->wMonth, pA->wDay, pA->wHour, pA->wMinute, pA->wSecond};
    const WORD awB[] = {pB->wYear, pB->wMonth, pB->wDay, pB->wHour, pB->wMinute, pB->wSecond};
    for (DWORD i = 0; i < sizeof(awA) / sizeof(awA[0]); ++i) {
        if (awA[i] != awB[i]) {
            return awA[i] > awB[i];
        }
    }
    return FALSE;
}

extern "C" void ReadStoreStatus(const STORE_READER* pReader, const SYSTEMTIME* pstClock,
                                STORE_STATUS* pStatus) {
    STORE_STATUS status = STORE_STATUS();
    status.fKey = pReader->pfnKeyExists(pReader->pContext);
    status.fDriverRunning = pReader->pfnDriverRunning(pReader->pContext, &status.fDriverKnown);
    status.stClock = *pstClock;
    ReadSnapshotState(pReader, &status);
    ReadSwitchState(pReader, &status);
    ReadIntervalState(pReader, &status);

    // The start-up check's decision, made as it makes it.
    if (status.dwSnapshot == SNAPSHOT_VALID) {
        SYSTEMTIME stSaved = status.stSnapshot;
        SYSTEMTIME stNow = status.stClock;
        DWORD dwSavedSeconds;
        DWORD dwNowSeconds;
        if (RestoreIsDue(&stSaved, &stNow, &dwSavedSeconds, &dwNowSeconds)) {
            status.dwNextStart = NEXT_RESTORE;
        } else if (dwSavedSeconds > dwNowSeconds) {
            status.dwNextStart = NEXT_WITHIN_MARGIN;
        } else if (dwSavedSeconds == dwNowSeconds) {
            status.dwNextStart = NEXT_CLOCK_AT_SNAPSHOT;
        } else {
            status.dwNextStart = NEXT_CLOCK_AHEAD;
        }
        // Which is later by the calendar; the difference of the wrapped counts is the distance
        // all the same, below 2^32 s (136 years).
        status.fClockLater = CalendarLater(&stNow, &stSaved);
        status.fSecondsWrap =
            status.fClockLater ? dwNowSeconds < dwSavedSeconds : dwSavedSeconds < dwNowSeconds;
        status.dwDistanceSeconds =
            status.fClockLater ? dwNowSeconds - dwSavedSeconds : dwSavedSeconds - dwNowSeconds;
    } else {
        status.dwNextStart = status.dwSnapshot == SNAPSHOT_TORN ? NEXT_TORN : NEXT_NO_SNAPSHOT;
    }
    if (status.fRefuses) {
        status.dwNextStart = NEXT_REFUSE;
    }
    *pStatus = status;
}
