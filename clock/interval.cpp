// Reads and judges the saver's interval from the driver's key.
#include "interval.h"

#include "store.h"

extern "C" DWORD JudgeInterval(BOOL fPresent, DWORD dwType, DWORD cbData, DWORD dwValue,
                               DWORD* pdwSeconds) {
    *pdwSeconds = DEFAULT_INTERVAL_SECONDS;
    if (!fPresent) {
        return INTERVAL_ABSENT;
    }
    if (dwType != REG_DWORD || cbData != sizeof(DWORD)) {
        return INTERVAL_WRONG_TYPE;
    }
    if (dwValue < MIN_INTERVAL_SECONDS || dwValue > MAX_INTERVAL_SECONDS) {
        return INTERVAL_OUT_OF_RANGE;
    }
    *pdwSeconds = dwValue;
    return INTERVAL_SET;
}

extern "C" DWORD ReadSaveIntervalMs(void) {
    DWORD dwType;
    DWORD cbData;
    DWORD dwValue;
    const BOOL fPresent = ReadSetting(INTERVAL_VALUE_NAME, &dwType, &cbData, &dwValue);
    DWORD dwSeconds;
    const DWORD dwState = JudgeInterval(fPresent, dwType, cbData, dwValue, &dwSeconds);
    if (dwState == INTERVAL_OUT_OF_RANGE) {
        NKDbgPrintfW(TEXT("TimewardInterval %u is out of range (60 to 86400 seconds): the saver "
                          "uses 300\r\n"),
                     dwValue);
    } else if (dwState == INTERVAL_WRONG_TYPE) {
        NKDbgPrintfW(TEXT("TimewardInterval is not a REG_DWORD: the saver uses 300\r\n"));
    }
    return dwSeconds * MS_PER_SECOND;
}
