// One line of output built in place without a C runtime: text, numbers, dates, durations and
// JSON strings appended to it, and where a finished line goes.
#ifndef TIMEWARD_CTL_TEXT_LINE_H
#define TIMEWARD_CTL_TEXT_LINE_H

#include "platform.h"

// Labels stand in a column this wide; no line is wider than 80 columns.
static const DWORD STATUS_LABEL_WIDTH = 11;

// One line of output.
struct TEXT_LINE {
    WCHAR sz[160];
    DWORD cch;
};

typedef void (*LINE_SINK)(void* pContext, const TEXT_LINE* pLine);

extern "C" {

void LineBegin(TEXT_LINE* pLine);
// Begins a line with its label, padded to STATUS_LABEL_WIDTH ("" for a continued line).
void LineLabel(TEXT_LINE* pLine, LPCWSTR pszLabel);
// Appends what fits.
void LineAppend(TEXT_LINE* pLine, LPCWSTR pszText);
// Decimal, with at least cDigits digits.
void LineAppendNumber(TEXT_LINE* pLine, DWORD dwValue, DWORD cDigits);
void LineAppendHex(TEXT_LINE* pLine, DWORD dwValue);
// "2026-12-08 09:30:00.000 UTC"
void LineAppendDate(TEXT_LINE* pLine, const SYSTEMTIME* pTime);
// "2026-12-08T09:30:00.000Z"
void LineAppendIsoDate(TEXT_LINE* pLine, const SYSTEMTIME* pTime);
// "2 h", "1 h 59 min 58 s", "3 d 4 h", "0 s": the parts that are not zero.
void LineAppendDuration(TEXT_LINE* pLine, DWORD dwSeconds);

// A JSON string, quoted, with its quotes and backslashes escaped.
void AppendJsonString(TEXT_LINE* pLine, LPCWSTR pszText);

}  // extern "C"

#endif  // TIMEWARD_CTL_TEXT_LINE_H
