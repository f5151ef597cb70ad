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

extern "C" BOOL ReadSetting(LPCWSTR pszValueName, DWORD* pdwType, DWORD* pcbData, DWORD* pdwValue) {
    *pdwType = REG_NONE;
    *pdwValue = 0;
    *pcbData = sizeof(*pdwValue);
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, 0, KEY_ALL_ACCESS, &hKey) !=
        ERROR_SUCCESS) {
        return FALSE;
    }
    const LONG lResult =
        RegQueryValueExW(hKey, pszValueName, NULL, pdwType, (LPBYTE)pdwValue, pcbData);
    RegCloseKey(hKey);
    // Data longer than a DWORD is there all the same, and of the wrong size.
    return lResult == ERROR_SUCCESS || lResult == ERROR_MORE_DATA;
}

extern "C" BOOL RegWriteDword(HKEY hRoot, LPCWSTR pszKeyPath, LPCWSTR pszValueName, DWORD dwValue) {
    return SetDwordValue(hRoot, pszKeyPath, pszValueName, dwValue) == ERROR_SUCCESS;
}

// Removes one value, opening and closing the key around it: the open's error, else the delete's.
static LONG DeleteValue(LPCWSTR pszValueName) {
    HKEY hKey;
    LONG lResult = RegOpenKeyExW(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, 0, KEY_ALL_ACCESS, &hKey);
    if (lResult != ERROR_SUCCESS) {
        return lResult;
    }
    lResult = RegDeleteValueW(hKey, pszValueName);
    RegCloseKey(hKey);
    return lResult;
}

// Sets one REG_BINARY value, opening and closing the key around it.
static LONG SetBinaryValue(LPCWSTR pszValueName, const BYTE* pbData, DWORD cbData) {
    HKEY hKey;
    LONG lResult = RegOpenKeyExW(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, 0, KEY_ALL_ACCESS, &hKey);
    if (lResult != ERROR_SUCCESS) {
        return lResult;
    }
    lResult = RegSetValueExW(hKey, pszValueName, 0, REG_BINARY, pbData, cbData);
    RegCloseKey(hKey);
    return lResult;
}

extern "C" BOOL RegReadBinary(HKEY hRoot, LPCWSTR pszKeyPath, LPCWSTR pszValueName, BYTE* pbData,
                              DWORD cbData) {
    HKEY hKey;
    if (RegOpenKeyExW(hRoot, pszKeyPath, 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS) {
        return FALSE;
    }
    DWORD dwType = REG_NONE;
    DWORD cbRead = cbData;
    const LONG lResult = RegQueryValueExW(hKey, pszValueName, NULL, &dwType, pbData, &cbRead);
    RegCloseKey(hKey);
    return lResult == ERROR_SUCCESS && dwType == REG_BINARY && cbRead == cbData;
}

// Numbers in the two binary records: least significant byte first, whatever the processor, and
// byte by byte, as the records need not be aligned.
static const DWORD BITS_PER_BYTE = 8;

static void PutNumber(BYTE* pb, DWORD dwValue, DWORD cb) {
    for (DWORD i = 0; i < cb; ++i) {
        pb[i] = (BYTE)(dwValue >> (BITS_PER_BYTE * i));
    }
}

static DWORD GetNumber(const BYTE* pb, DWORD cb) {
    DWORD dwValue = 0;
    for (DWORD i = 0; i < cb; ++i) {
        dwValue |= (DWORD)pb[i] << (BITS_PER_BYTE * i);
    }
    return dwValue;
}

static DWORD GetDword(const BYTE* pb) {
    return GetNumber(pb, sizeof(DWORD));
}

// "TimewardRecord": generation, check, state.
static const DWORD RECORD_GENERATION_AT = 0;
static const DWORD RECORD_CHECK_AT = 4;
static const DWORD RECORD_STATE_AT = 8;
// "TimewardPrevious": eight 16-bit clock values, generation, check.
static const DWORD FIELD_BYTES = sizeof(WORD);
static const DWORD PREVIOUS_GENERATION_AT = 16;
static const DWORD PREVIOUS_CHECK_AT = 20;

static const DWORD FNV_OFFSET_BASIS = 2166136261u;
static const DWORD FNV_PRIME = 16777619u;

// FNV-1a of a hash so far and the four bytes of a number, least significant first.
static DWORD HashNumber(DWORD dwHash, DWORD dwValue) {
    for (DWORD b = 0; b < sizeof(DWORD); ++b) {
        dwHash ^= (dwValue >> (BITS_PER_BYTE * b)) & 0xFF;
        dwHash *= FNV_PRIME;
    }
    return dwHash;
}

static DWORD HashValues(const DWORD adwValues[]) {
    DWORD dwHash = FNV_OFFSET_BASIS;
    for (DWORD i = 0; i < CLOCK_VALUE_COUNT; ++i) {
        dwHash = HashNumber(dwHash, adwValues[i]);
    }
    return dwHash;
}

extern "C" DWORD SnapshotCheck(const DWORD adwValues[]) {
    const DWORD dwHash = HashValues(adwValues);
    return dwHash == CHECK_PENDING ? CHECK_PENDING + 1 : dwHash;
}

extern "C" DWORD RecordCheck(const DWORD adwValues[], DWORD dwGeneration) {
    return HashNumber(HashValues(adwValues), dwGeneration);
}

static void ValuesOf(const SYSTEMTIME* pTime, DWORD adwValues[]) {
    for (DWORD i = 0; i < CLOCK_VALUE_COUNT; ++i) {
        adwValues[i] = pTime->*CLOCK_VALUES[i].pField;
    }
}

extern "C" void SaveCurrentTime(void) {
    SYSTEMTIME stNow;
    GetSystemTime(&stNow);
    SaveSnapshotOf(&stNow);
}

extern "C" void SaveSnapshotOf(const SYSTEMTIME* pstNow) {
    DWORD adwValues[CLOCK_VALUE_COUNT];
    ValuesOf(pstNow, adwValues);
    STORE_VALUES before;
    ReadStoreValues(&before);
    STORE_RECORDS records;
    JudgeStore(&before, &records);
    const DWORD dwGeneration = NewestGeneration(&records) + 1;

    // A failed write leaves that value as it was and does not stop the others.
    LONG lFirstError = ERROR_SUCCESS;
    // Kept before the clock values change: a cut among them leaves this record to restore. A
    // torn record is no record, and leaves the one kept before it.
    if (records.dwCurrent == SNAPSHOT_VALID) {
        DWORD adwBefore[CLOCK_VALUE_COUNT];
        ValuesOf(&records.stCurrent, adwBefore);
        BYTE abPrevious[PREVIOUS_BYTES];
        for (DWORD i = 0; i < CLOCK_VALUE_COUNT; ++i) {
            PutNumber(&abPrevious[FIELD_BYTES * i], adwBefore[i], FIELD_BYTES);
        }
        PutNumber(&abPrevious[PREVIOUS_GENERATION_AT], records.dwGeneration, sizeof(DWORD));
        PutNumber(&abPrevious[PREVIOUS_CHECK_AT], RecordCheck(adwBefore, records.dwGeneration),
                  sizeof(DWORD));
        NoteError(&lFirstError, SetBinaryValue(PREVIOUS_VALUE_NAME, abPrevious, PREVIOUS_BYTES));
    }
    // The new record's check comes before its values: once all eight are written they match
    // it, whatever comes after.
    BYTE abRecord[RECORD_BYTES];
    PutNumber(&abRecord[RECORD_GENERATION_AT], dwGeneration, sizeof(DWORD));
    PutNumber(&abRecord[RECORD_CHECK_AT], RecordCheck(adwValues, dwGeneration), sizeof(DWORD));
    PutNumber(&abRecord[RECORD_STATE_AT], RECORD_WRITING, sizeof(DWORD));
    NoteError(&lFirstError, SetBinaryValue(RECORD_VALUE_NAME, abRecord, RECORD_BYTES));
    if (before.fCheck) {
        NoteError(&lFirstError, DeleteValue(CHECK_VALUE_NAME));
    }
    for (DWORD i = 0; i < CLOCK_VALUE_COUNT; ++i) {
        NoteError(&lFirstError, SetDwordValue(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH,
                                              CLOCK_VALUES[i].pszValueName, adwValues[i]));
    }
    NoteError(&lFirstError, SetDwordValue(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH,
                                          SIGNATURE_VALUE_NAME, SNAPSHOT_SIGNATURE));
    PutNumber(&abRecord[RECORD_STATE_AT], RECORD_WRITTEN, sizeof(DWORD));
    NoteError(&lFirstError, SetBinaryValue(RECORD_VALUE_NAME, abRecord, RECORD_BYTES));
    // On a hive-based registry nothing is on storage until the flush.
    NoteError(&lFirstError, FlushStore());
    if (lFirstError == ERROR_SUCCESS) {
        NKDbgPrintfW(TEXT("RTC is saved\r\n"));
    } else {
        NKDbgPrintfW(TEXT("RTC is not saved: error %u\r\n"), (DWORD)lFirstError);
    }
}

extern "C" void ReadStoreValues(STORE_VALUES* pValues) {
    pValues->fSignature = RegReadDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, SIGNATURE_VALUE_NAME,
                                       &pValues->dwSignature);
    for (DWORD i = 0; i < CLOCK_VALUE_COUNT; ++i) {
        pValues->afClock[i] = RegReadDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH,
                                           CLOCK_VALUES[i].pszValueName, &pValues->adwClock[i]);
    }
    pValues->fCheck =
        RegReadDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, CHECK_VALUE_NAME, &pValues->dwCheck);
    pValues->fRecord = RegReadBinary(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, RECORD_VALUE_NAME,
                                     pValues->abRecord, RECORD_BYTES);
    pValues->fPrevious = RegReadBinary(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, PREVIOUS_VALUE_NAME,
                                       pValues->abPrevious, PREVIOUS_BYTES);
}

// The record the values make, keeping each one's low 16 bits; FALSE, naming the first value that
// makes it invalid, when one is out of range. Each is set in turn into a record that is valid
// before it, so the first that makes it invalid is the one out of range, by the driver's own
// check.
static BOOL MakeRecord(const DWORD adwValues[], SYSTEMTIME* pTime, DWORD* pdwBad) {
    SYSTEMTIME stTried = {2000, 1, 6, 1, 0, 0, 0, 0};
    BOOL fValid = TRUE;
    for (DWORD i = 0; i < CLOCK_VALUE_COUNT; ++i) {
        stTried.*CLOCK_VALUES[i].pField = (WORD)(adwValues[i] & 0xFFFF);
        if (fValid && !IsValidCalendarRecord(&stTried)) {
            *pdwBad = i;
            fValid = FALSE;
        }
    }
    *pTime = stTried;
    return fValid;
}

// The record the clock values hold, by the rule of JudgeStore.
static void JudgeCurrent(const STORE_VALUES* pValues, STORE_RECORDS* pRecords) {
    BOOL fAllRead = TRUE;
    for (DWORD i = 0; i < CLOCK_VALUE_COUNT && fAllRead; ++i) {
        if (!pValues->afClock[i]) {
            fAllRead = FALSE;
            pRecords->dwBadValue = i;
        }
    }
    const DWORD dwRecordGeneration = GetDword(&pValues->abRecord[RECORD_GENERATION_AT]);
    const BOOL fWriting =
        pValues->fRecord && GetDword(&pValues->abRecord[RECORD_STATE_AT]) == RECORD_WRITING;
    if (fAllRead && pValues->fRecord &&
        GetDword(&pValues->abRecord[RECORD_CHECK_AT]) ==
            RecordCheck(pValues->adwClock, dwRecordGeneration)) {
        pRecords->dwWriter = WRITER_THIS;
        pRecords->dwGeneration = dwRecordGeneration;
    } else if (fAllRead && pValues->fCheck) {
        if (pValues->dwCheck != SnapshotCheck(pValues->adwClock)) {
            pRecords->dwCurrent = SNAPSHOT_TORN;
        }
        pRecords->dwWriter = WRITER_CHECKED;
    } else if (fWriting) {
        pRecords->dwCurrent = SNAPSHOT_TORN;
    } else if (!fAllRead) {
        pRecords->dwCurrent = SNAPSHOT_INVALID;
        return;  // no default for a missing value
    } else if (pValues->fRecord) {
        pRecords->dwWriter = WRITER_OLDER_OVER_THIS;
        pRecords->dwGeneration = dwRecordGeneration + 1;
    } else {
        pRecords->dwWriter = WRITER_OLDER;
    }
    if (!fAllRead) {
        return;
    }
    SYSTEMTIME stRecord;
    DWORD dwBad = 0;
    const BOOL fInRange = MakeRecord(pValues->adwClock, &stRecord, &dwBad);
    if (pRecords->dwCurrent == SNAPSHOT_TORN) {
        pRecords->stCurrent = stRecord;  // as far as it could be made, for the tools to show
        return;
    }
    if (!fInRange) {
        // Only an edited store holds a record the clock could not have given.
        pRecords->dwCurrent = SNAPSHOT_INVALID;
        pRecords->dwBadValue = dwBad;
        pRecords->fBadValueRead = TRUE;
        return;
    }
    pRecords->dwCurrent = SNAPSHOT_VALID;
    pRecords->stCurrent = stRecord;
}

// The record in "TimewardPrevious", where it is whole and valid.
static void JudgePrevious(const STORE_VALUES* pValues, STORE_RECORDS* pRecords) {
    if (!pValues->fPrevious) {
        return;
    }
    DWORD adwValues[CLOCK_VALUE_COUNT];
    for (DWORD i = 0; i < CLOCK_VALUE_COUNT; ++i) {
        adwValues[i] = GetNumber(&pValues->abPrevious[FIELD_BYTES * i], FIELD_BYTES);
    }
    const DWORD dwGeneration = GetDword(&pValues->abPrevious[PREVIOUS_GENERATION_AT]);
    DWORD dwBad;
    pRecords->fPrevious =
        GetDword(&pValues->abPrevious[PREVIOUS_CHECK_AT]) == RecordCheck(adwValues, dwGeneration) &&
        MakeRecord(adwValues, &pRecords->stPrevious, &dwBad);
    pRecords->dwPreviousGeneration = dwGeneration;
}

extern "C" void JudgeStore(const STORE_VALUES* pValues, STORE_RECORDS* pRecords) {
    STORE_RECORDS records = STORE_RECORDS();
    records.dwUse = USE_NONE;
    if (!pValues->fSignature) {
        records.dwCurrent = SNAPSHOT_NONE;
    } else if (pValues->dwSignature != SNAPSHOT_SIGNATURE) {
        records.dwCurrent = SNAPSHOT_FOREIGN;
    } else {
        JudgeCurrent(pValues, &records);
        JudgePrevious(pValues, &records);
        if (records.dwCurrent == SNAPSHOT_VALID) {
            records.dwUse = USE_CURRENT;
        } else if (records.dwCurrent == SNAPSHOT_TORN && records.fPrevious) {
            records.dwUse = USE_PREVIOUS;
        }
    }
    *pRecords = records;
}

extern "C" void ReadStore(STORE_RECORDS* pRecords) {
    STORE_VALUES values;
    ReadStoreValues(&values);
    JudgeStore(&values, pRecords);
}

extern "C" BOOL RecordToRestore(const STORE_RECORDS* pRecords, SYSTEMTIME* pTime) {
    if (pRecords->dwUse == USE_NONE) {
        return FALSE;
    }
    *pTime = pRecords->dwUse == USE_CURRENT ? pRecords->stCurrent : pRecords->stPrevious;
    return TRUE;
}

extern "C" DWORD NewestGeneration(const STORE_RECORDS* pRecords) {
    switch (pRecords->dwUse) {
        case USE_CURRENT:
            return pRecords->dwGeneration;
        case USE_PREVIOUS:
            return pRecords->dwPreviousGeneration;
        default:
            return 0;
    }
}

extern "C" BOOL ReadSnapshot(SYSTEMTIME* pTime) {
    STORE_RECORDS records;
    ReadStore(&records);
    return RecordToRestore(&records, pTime);
}
