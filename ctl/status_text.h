// The words of the status model: the lines and the JSON field values that timewardctl and the
// simulator both print, built in place without a C runtime.
#ifndef TIMEWARD_CTL_STATUS_TEXT_H
#define TIMEWARD_CTL_STATUS_TEXT_H

#include "platform.h"
#include "store_status.h"

// The version of the JSON that `status --json` prints; raised when a field changes meaning.
static const DWORD STATUS_JSON_SCHEMA = 1;

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

// What the snapshot, the switch and the next start are, in the words of the status lines.
void AppendSnapshotText(TEXT_LINE* pLine, const STORE_STATUS* pStatus);
void AppendSwitchText(TEXT_LINE* pLine, const STORE_STATUS* pStatus);
void AppendNextStartText(TEXT_LINE* pLine, const STORE_STATUS* pStatus);
// "600 s between snapshots: "TimewardInterval"", or why the default is in effect.
void AppendIntervalText(TEXT_LINE* pLine, const STORE_STATUS* pStatus);
// The record kept before the snapshot, its generation, and whether the next start uses it.
void AppendPreviousText(TEXT_LINE* pLine, const STORE_STATUS* pStatus);
// "2026-12-01: the release's; no "TimewardFloor"", or why the release's floor is in effect.
void AppendFloorText(TEXT_LINE* pLine, const STORE_STATUS* pStatus);

// The JSON's words for the states: "valid", "wrong-type", "clock-at-snapshot" and the like.
LPCWSTR SnapshotStateName(DWORD dwSnapshot);
LPCWSTR SwitchStateName(DWORD dwSwitch);
LPCWSTR NextStartName(DWORD dwNextStart);
LPCWSTR IntervalStateName(DWORD dwInterval);
LPCWSTR FloorStateName(DWORD dwFloorState);
// "current", "previous", or NULL for none.
LPCWSTR RecordUseName(DWORD dwUse);
// "REG_SZ" and the like; "REG_NONE" for a type with no name here.
LPCWSTR RegTypeName(DWORD dwType);

// The lines of the status: key, driver, snapshot, previous, switch, interval, floor, clock and
// next start.
void WriteStatusLines(const STORE_STATUS* pStatus, LINE_SINK pfnSink, void* pContext);
// The same as one JSON object, one field to a line.
void WriteStatusJson(const STORE_STATUS* pStatus, LINE_SINK pfnSink, void* pContext);

}  // extern "C"

#endif  // TIMEWARD_CTL_STATUS_TEXT_H
