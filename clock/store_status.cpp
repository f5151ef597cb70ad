// Reads the store as the start-up check does and says what it means.
#include "store_status.h"

#include "floor.h"
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

static BOOL RegistryReadBytes(void*, LPCWSTR pszName, BYTE* pbData, DWORD cbData) {
    return RegReadBinary(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, pszName, pbData, cbData);
}

extern "C" void RegistryStoreReader(STORE_READER* pReader) {
    pReader->pContext = NULL;
    pReader->pfnKeyExists = RegistryKeyExists;
    pReader->pfnReadValue = RegistryReadValue;
    pReader->pfnReadBytes = RegistryReadBytes;
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

// The store as the start-up check judges it.
static void ReadSnapshotState(const STORE_READER* pReader, STORE_STATUS* pStatus) {
    STORE_VALUES values;
    values.fSignature = ReadNumber(pReader, SIGNATURE_VALUE_NAME, &values.dwSignature);
    for (DWORD i = 0; i < CLOCK_VALUE_COUNT; ++i) {
        values.afClock[i] = ReadNumber(pReader, CLOCK_VALUES[i].pszValueName, &values.adwClock[i]);
    }
    values.fCheck = ReadNumber(pReader, CHECK_VALUE_NAME, &values.dwCheck);
    values.fRecord =
        pReader->pfnReadBytes(pReader->pContext, RECORD_VALUE_NAME, values.abRecord, RECORD_BYTES);
    values.fPrevious = pReader->pfnReadBytes(pReader->pContext, PREVIOUS_VALUE_NAME,
                                             values.abPrevious, PREVIOUS_BYTES);
    STORE_RECORDS records;
    JudgeStore(&values, &records);
    pStatus->fSignature = values.fSignature;
    pStatus->dwSignature = values.dwSignature;
    pStatus->dwSnapshot = records.dwCurrent;
    if (records.dwCurrent == SNAPSHOT_INVALID) {
        pStatus->pszBadValue = CLOCK_VALUES[records.dwBadValue].pszValueName;
        pStatus->fBadValueRead = records.fBadValueRead;
        pStatus->dwBadValue = values.adwClock[records.dwBadValue];
    }
    pStatus->stSnapshot = records.stCurrent;
    pStatus->dwWriter = records.dwWriter;
    pStatus->dwGeneration = records.dwGeneration;
    pStatus->fPrevious = records.fPrevious;
    pStatus->stPrevious = records.stPrevious;
    pStatus->dwPreviousGeneration = records.dwPreviousGeneration;
    pStatus->dwUse = records.dwUse;
    RecordToRestore(&records, &pStatus->stUse);
}

// An optional setting and its rule's judgement: the state, and the number in effect.
typedef DWORD (*SETTING_RULE)(BOOL fPresent, DWORD dwType, DWORD cbData, DWORD dwValue,
                              DWORD* pdwInEffect);

static DWORD ReadSettingState(const STORE_READER* pReader, LPCWSTR pszName, SETTING_RULE pfnRule,
                              BOOL* pfRead, DWORD* pdwValue, DWORD* pdwInEffect) {
    DWORD dwType = REG_NONE;
    DWORD cbData = 0;
    const BOOL fPresent =
        pReader->pfnReadValue(pReader->pContext, pszName, &dwType, &cbData, pfRead, pdwValue);
    *pfRead = fPresent && *pfRead;
    return pfnRule(fPresent, dwType, cbData, *pdwValue, pdwInEffect);
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
    status.dwInterval =
        ReadSettingState(pReader, INTERVAL_VALUE_NAME, JudgeInterval, &status.fIntervalRead,
                         &status.dwIntervalValue, &status.dwIntervalSeconds);
    status.dwFloorState =
        ReadSettingState(pReader, FLOOR_VALUE_NAME, JudgeFloor, &status.fFloorRead,
                         &status.dwFloorValue, &status.dwFloor);

    // The start-up check's decision, made as it makes it.
    if (status.dwUse != USE_NONE) {
        SYSTEMTIME stSaved = status.stUse;
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
    if (status.dwNextStart != NEXT_RESTORE && IsBeforeFloor(&status.stClock, status.dwFloor)) {
        status.dwNextStart = NEXT_FLOOR;
    }
    if (status.fRefuses) {
        status.dwNextStart = NEXT_REFUSE;
    }
    *pStatus = status;
}
