// Reads and judges the floor from the driver's key.
#include "floor.h"

#include "seconds.h"
#include "store.h"

static const DWORD DIGIT_BITS = 4;
static const DWORD DIGITS = 8;

extern "C" BOOL FloorDate(DWORD dwFloor, SYSTEMTIME* pTime) {
    DWORD dwNumber = 0;
    for (DWORD i = 0; i < DIGITS; ++i) {
        const DWORD dwDigit = (dwFloor >> (DIGIT_BITS * (DIGITS - 1 - i))) & 0xF;
        if (dwDigit > 9) {
            return FALSE;
        }
        dwNumber = dwNumber * 10 + dwDigit;
    }
    SYSTEMTIME stDay = {0, 0, 0, 0, 0, 0, 0, 0};
    stDay.wYear = (WORD)(dwNumber / 10000);
    stDay.wMonth = (WORD)(dwNumber / 100 % 100);
    stDay.wDay = (WORD)(dwNumber % 100);
    if (stDay.wYear < BASE_YEAR || !IsValidCalendarRecord(&stDay)) {
        return FALSE;
    }
    *pTime = stDay;
    return TRUE;
}

extern "C" DWORD JudgeFloor(BOOL fPresent, DWORD dwType, DWORD cbData, DWORD dwValue,
                            DWORD* pdwFloor) {
    *pdwFloor = RELEASE_FLOOR;
    if (!fPresent) {
        return FLOOR_ABSENT;
    }
    if (dwType != REG_DWORD || cbData != sizeof(DWORD)) {
        return FLOOR_WRONG_TYPE;
    }
    // Decimal digits compare as the dates they make.
    SYSTEMTIME stDay;
    if (!FloorDate(dwValue, &stDay) || dwValue < RELEASE_FLOOR || dwValue > LAST_FLOOR) {
        return FLOOR_OUT_OF_RANGE;
    }
    *pdwFloor = dwValue;
    return FLOOR_SET;
}

extern "C" DWORD FloorNumber(DWORD dwFloor) {
    SYSTEMTIME stDay;
    if (!FloorDate(dwFloor, &stDay)) {
        return 0;
    }
    return (DWORD)stDay.wYear * 10000 + (DWORD)stDay.wMonth * 100 + stDay.wDay;
}

extern "C" DWORD ReadFloor(void) {
    DWORD dwType;
    DWORD cbData;
    DWORD dwValue;
    const BOOL fPresent = ReadSetting(FLOOR_VALUE_NAME, &dwType, &cbData, &dwValue);
    DWORD dwFloor;
    const DWORD dwState = JudgeFloor(fPresent, dwType, cbData, dwValue, &dwFloor);
    if (dwState == FLOOR_OUT_OF_RANGE) {
        NKDbgPrintfW(TEXT("TimewardFloor is not a day from %u to %u (dword:YYYYMMDD): the "
                          "floor is %u\r\n"),
                     FloorNumber(RELEASE_FLOOR), FloorNumber(LAST_FLOOR), FloorNumber(dwFloor));
    } else if (dwState == FLOOR_WRONG_TYPE) {
        NKDbgPrintfW(TEXT("TimewardFloor is not a REG_DWORD: the floor is %u\r\n"),
                     FloorNumber(dwFloor));
    }
    return dwFloor;
}

extern "C" BOOL IsBeforeFloor(const SYSTEMTIME* pClock, DWORD dwFloor) {
    SYSTEMTIME stDay;
    if (!FloorDate(dwFloor, &stDay)) {
        return FALSE;
    }
    if (pClock->wYear != stDay.wYear) {
        return pClock->wYear < stDay.wYear;
    }
    if (pClock->wMonth != stDay.wMonth) {
        return pClock->wMonth < stDay.wMonth;
    }
    return pClock->wDay < stDay.wDay;
}
