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

// Whether a driver holds the save event: it creates the event when it starts.
static BOOL RegistryDriverRunning(void*) {
    SetLastError(ERROR_SUCCESS);  // a new event need not clear an older error
    HANDLE hEvent = CreateEventW(NULL, FALSE, FALSE, SAVE_EVENT_NAME);
    if (hEvent == NULL) {
        return FALSE;
    }
    const BOOL fExisted = GetLastError() == ERROR_ALREADY_EXISTS;
    CloseHandle(hEvent);
    return fExisted;
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

extern "C" void ReadStoreStatus(const STORE_READER* pReader, const SYSTEMTIME* pstClock,
                                STORE_STATUS* pStatus) {
    STORE_STATUS status = STORE_STATUS();
    status.fKey = pReader->pfnKeyExists(pReader->pContext);
    status.fDriverRunning = pReader->pfnDriverRunning(pReader->pContext);
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
        status.fClockLater = dwNowSeconds > dwSavedSeconds;
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
