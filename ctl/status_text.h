// The words of the status model: the lines (status_text.cpp) and the JSON (status_json.cpp) that
// timewardctl and the simulator both print, built in place without a C runtime.
#ifndef TIMEWARD_CTL_STATUS_TEXT_H
#define TIMEWARD_CTL_STATUS_TEXT_H

#include "platform.h"
#include "store_status.h"
#include "text_line.h"

// The version of the JSON that `status --json` prints; raised when a field changes meaning.
static const DWORD STATUS_JSON_SCHEMA = 1;

extern "C" {

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
