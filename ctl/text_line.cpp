// One line of output built in place without a C runtime: text, numbers, dates, durations and
// JSON strings appended to it.
#include "text_line.h"

static const DWORD SECONDS_PER_MINUTE = 60;
static const DWORD SECONDS_PER_HOUR = 3600;
static const DWORD SECONDS_PER_DAY = 86400;

extern "C" void LineBegin(TEXT_LINE* pLine) {
    pLine->cch = 0;
    pLine->sz[0] = 0;
}

extern "C" void LineAppend(TEXT_LINE* pLine, LPCWSTR pszText) {
    const DWORD cchMax = sizeof(pLine->sz) / sizeof(pLine->sz[0]) - 1;
    while (*pszText && pLine->cch < cchMax) {
        pLine->sz[pLine->cch++] = *pszText++;
    }
    pLine->sz[pLine->cch] = 0;
}

extern "C" void LineLabel(TEXT_LINE* pLine, LPCWSTR pszLabel) {
    LineBegin(pLine);
    LineAppend(pLine, pszLabel);
    while (pLine->cch < STATUS_LABEL_WIDTH) {
        LineAppend(pLine, TEXT(" "));
    }
}

extern "C" void LineAppendNumber(TEXT_LINE* pLine, DWORD dwValue, DWORD cDigits) {
    WCHAR szDigits[11];
    DWORD i = sizeof(szDigits) / sizeof(szDigits[0]) - 1;
    szDigits[i] = 0;
    do {
        szDigits[--i] = (WCHAR)(TEXT('0') + dwValue % 10);
        dwValue /= 10;
        if (cDigits > 0) {
            --cDigits;
        }
    } while (dwValue != 0 || cDigits > 0);
    LineAppend(pLine, &szDigits[i]);
}

extern "C" void LineAppendHex(TEXT_LINE* pLine, DWORD dwValue) {
    static const WCHAR DIGITS[] = TEXT("0123456789ABCDEF");
    WCHAR sz[11];
    sz[0] = TEXT('0');
    sz[1] = TEXT('x');
    for (int i = 0; i < 8; ++i) {
        sz[2 + i] = DIGITS[(dwValue >> (28 - 4 * i)) & 0xF];
    }
    sz[10] = 0;
    LineAppend(pLine, sz);
}

// 2026-12-08, the separator, 09:30:00.000
static void AppendDateTime(TEXT_LINE* pLine, const SYSTEMTIME* pTime, LPCWSTR pszSeparator) {
    LineAppendNumber(pLine, pTime->wYear, 4);
    LineAppend(pLine, TEXT("-"));
    LineAppendNumber(pLine, pTime->wMonth, 2);
    LineAppend(pLine, TEXT("-"));
    LineAppendNumber(pLine, pTime->wDay, 2);
    LineAppend(pLine, pszSeparator);
    LineAppendNumber(pLine, pTime->wHour, 2);
    LineAppend(pLine, TEXT(":"));
    LineAppendNumber(pLine, pTime->wMinute, 2);
    LineAppend(pLine, TEXT(":"));
    LineAppendNumber(pLine, pTime->wSecond, 2);
    LineAppend(pLine, TEXT("."));
    LineAppendNumber(pLine, pTime->wMilliseconds, 3);
}

extern "C" void LineAppendDate(TEXT_LINE* pLine, const SYSTEMTIME* pTime) {
    AppendDateTime(pLine, pTime, TEXT(" "));
    LineAppend(pLine, TEXT(" UTC"));
}

extern "C" void LineAppendIsoDate(TEXT_LINE* pLine, const SYSTEMTIME* pTime) {
    AppendDateTime(pLine, pTime, TEXT("T"));
    LineAppend(pLine, TEXT("Z"));
}

extern "C" void LineAppendDuration(TEXT_LINE* pLine, DWORD dwSeconds) {
    static const struct {
        DWORD dwSeconds;
        LPCWSTR pszUnit;
    } UNITS[] = {{SECONDS_PER_DAY, TEXT(" d")},
                 {SECONDS_PER_HOUR, TEXT(" h")},
                 {SECONDS_PER_MINUTE, TEXT(" min")},
                 {1, TEXT(" s")}};
    const DWORD cUnits = sizeof(UNITS) / sizeof(UNITS[0]);
    BOOL fFirst = TRUE;
    for (DWORD i = 0; i < cUnits; ++i) {
        const DWORD dwCount = dwSeconds / UNITS[i].dwSeconds;
        dwSeconds %= UNITS[i].dwSeconds;
        if (dwCount == 0 && !(fFirst && i == cUnits - 1)) {
            continue;
        }
        if (!fFirst) {
            LineAppend(pLine, TEXT(" "));
        }
        LineAppendNumber(pLine, dwCount, 1);
        LineAppend(pLine, UNITS[i].pszUnit);
        fFirst = FALSE;
    }
}

// A JSON string: the texts here hold no control characters, only quotes to escape.
extern "C" void AppendJsonString(TEXT_LINE* pLine, LPCWSTR pszText) {
    LineAppend(pLine, TEXT("\""));
    for (; *pszText; ++pszText) {
        const WCHAR sz[3] = {TEXT('\\'), *pszText, 0};
        LineAppend(pLine, (*pszText == TEXT('"') || *pszText == TEXT('\\')) ? sz : sz + 1);
    }
    LineAppend(pLine, TEXT("\""));
}
