// Renders the status model in the words every tool uses: the status lines, and the words the
// check-out and the JSON take from them.
#include "status_text.h"

#include "floor.h"
#include "interval.h"
#include "startup.h"
#include "store.h"

static void AppendQuoted(TEXT_LINE* pLine, LPCWSTR pszName) {
    LineAppend(pLine, TEXT("\""));
    LineAppend(pLine, pszName);
    LineAppend(pLine, TEXT("\""));
}

extern "C" void AppendSnapshotText(TEXT_LINE* pLine, const STORE_STATUS* pStatus) {
    switch (pStatus->dwSnapshot) {
        case SNAPSHOT_VALID:
            LineAppendDate(pLine, &pStatus->stSnapshot);
            if (pStatus->dwWriter == WRITER_THIS) {
                LineAppend(pLine, TEXT(": valid, generation "));
                LineAppendNumber(pLine, pStatus->dwGeneration, 1);
            } else if (pStatus->dwWriter == WRITER_OLDER_OVER_THIS) {
                LineAppend(pLine, TEXT(": valid, rewritten by an older driver"));
            } else {
                LineAppend(pLine, TEXT(": valid, an older driver's"));
            }
            break;
        case SNAPSHOT_TORN:
            LineAppendDate(pLine, &pStatus->stSnapshot);
            LineAppend(pLine, TEXT(": torn (a snapshot cut short)"));
            break;
        case SNAPSHOT_NONE:
            LineAppend(pLine, TEXT("none: no "));
            AppendQuoted(pLine, SIGNATURE_VALUE_NAME);
            break;
        case SNAPSHOT_FOREIGN:
            LineAppend(pLine, TEXT("none: "));
            AppendQuoted(pLine, SIGNATURE_VALUE_NAME);
            LineAppend(pLine, TEXT(" is "));
            LineAppendHex(pLine, pStatus->dwSignature);
            LineAppend(pLine, TEXT(", not "));
            LineAppendHex(pLine, SNAPSHOT_SIGNATURE);
            break;
        default:
            LineAppend(pLine, TEXT("invalid: "));
            AppendQuoted(pLine, pStatus->pszBadValue);
            if (pStatus->fBadValueRead) {
                LineAppend(pLine, TEXT(" is "));
                LineAppendNumber(pLine, pStatus->dwBadValue, 1);
                LineAppend(pLine, TEXT(", out of range"));
            } else {
                LineAppend(pLine, TEXT(" is missing or not a number"));
            }
            break;
    }
}

// The switch's value as the driver reads it, without the verdict.
static void AppendSwitchValue(TEXT_LINE* pLine, const STORE_STATUS* pStatus) {
    AppendQuoted(pLine, SWITCH_VALUE_NAME);
    if (pStatus->dwSwitch == SWITCH_ABSENT) {
        LineAppend(pLine, TEXT(" absent"));
    } else if (pStatus->dwSwitch == SWITCH_DWORD) {
        LineAppend(pLine, TEXT(" = "));
        LineAppendNumber(pLine, pStatus->dwSwitchValue, 1);
    } else {
        // The driver ignores the type: a string "1" is the bytes '1', 0, read as 49.
        LineAppend(pLine, TEXT(" is "));
        LineAppend(pLine, RegTypeName(pStatus->dwSwitchType));
        if (pStatus->fSwitchRead) {
            LineAppend(pLine, TEXT(", read as "));
            LineAppendNumber(pLine, pStatus->dwSwitchValue, 1);
        } else {
            LineAppend(pLine, TEXT(" of "));
            LineAppendNumber(pLine, pStatus->cbSwitch, 1);
            LineAppend(pLine, TEXT(" bytes, unread"));
        }
    }
}

static LPCWSTR SwitchVerdict(const STORE_STATUS* pStatus) {
    return pStatus->fRefuses ? TEXT("the driver refuses to start") : TEXT("the driver runs");
}

extern "C" void AppendSwitchText(TEXT_LINE* pLine, const STORE_STATUS* pStatus) {
    AppendSwitchValue(pLine, pStatus);
    LineAppend(pLine, TEXT(": "));
    LineAppend(pLine, SwitchVerdict(pStatus));
    if (pStatus->dwSwitch == SWITCH_OTHER_TYPE) {
        LineAppend(pLine, TEXT("; make it a REG_DWORD"));
    }
}

extern "C" void AppendPreviousText(TEXT_LINE* pLine, const STORE_STATUS* pStatus) {
    if (!pStatus->fPrevious) {
        LineAppend(pLine, TEXT("none"));
        return;
    }
    LineAppendDate(pLine, &pStatus->stPrevious);
    LineAppend(pLine, TEXT(", generation "));
    LineAppendNumber(pLine, pStatus->dwPreviousGeneration, 1);
    if (pStatus->dwUse == USE_PREVIOUS) {
        LineAppend(pLine, TEXT(": a start uses it"));
    }
}

// "2026-12-01", the floor's day.
static void AppendFloorDay(TEXT_LINE* pLine, DWORD dwFloor) {
    const DWORD dwNumber = FloorNumber(dwFloor);
    LineAppendNumber(pLine, dwNumber / 10000, 4);
    LineAppend(pLine, TEXT("-"));
    LineAppendNumber(pLine, dwNumber / 100 % 100, 2);
    LineAppend(pLine, TEXT("-"));
    LineAppendNumber(pLine, dwNumber % 100, 2);
}

extern "C" void AppendFloorText(TEXT_LINE* pLine, const STORE_STATUS* pStatus) {
    AppendFloorDay(pLine, pStatus->dwFloor);
    switch (pStatus->dwFloorState) {
        case FLOOR_ABSENT:
            LineAppend(pLine, TEXT(": the release's; no "));
            AppendQuoted(pLine, FLOOR_VALUE_NAME);
            break;
        case FLOOR_SET:
            LineAppend(pLine, TEXT(": "));
            AppendQuoted(pLine, FLOOR_VALUE_NAME);
            break;
        case FLOOR_OUT_OF_RANGE:
            LineAppend(pLine, TEXT(": "));
            AppendQuoted(pLine, FLOOR_VALUE_NAME);
            LineAppend(pLine, TEXT(" = "));
            LineAppendHex(pLine, pStatus->dwFloorValue);
            LineAppend(pLine, TEXT(" is out of range"));
            break;
        default:
            LineAppend(pLine, TEXT(": "));
            AppendQuoted(pLine, FLOOR_VALUE_NAME);
            LineAppend(pLine, TEXT(" is not a REG_DWORD"));
            break;
    }
}

extern "C" void AppendNextStartText(TEXT_LINE* pLine, const STORE_STATUS* pStatus) {
    switch (pStatus->dwNextStart) {
        case NEXT_REFUSE:
            LineAppend(pLine, TEXT("refuses to start: switch"));
            break;
        case NEXT_NO_SNAPSHOT:
            LineAppend(pLine, TEXT("no restore: no snapshot"));
            break;
        case NEXT_RESTORE:
            // Past the wrap of the driver's seconds, the restore sets the clock back.
            LineAppend(pLine, TEXT("restore to "));
            LineAppendDate(pLine, &pStatus->stUse);
            LineAppend(pLine, TEXT(", "));
            LineAppendDuration(pLine, pStatus->dwDistanceSeconds);
            LineAppend(pLine, pStatus->fClockLater ? TEXT(" back") : TEXT(" ahead"));
            break;
        case NEXT_WITHIN_MARGIN:
            LineAppend(pLine, TEXT("no restore: the snapshot is "));
            LineAppendDuration(pLine, pStatus->dwDistanceSeconds);
            LineAppend(pLine, TEXT(" ahead, within "));
            LineAppendNumber(pLine, RESTORE_MARGIN_SECONDS, 1);
            LineAppend(pLine, TEXT(" s"));
            break;
        case NEXT_CLOCK_AT_SNAPSHOT:
            LineAppend(pLine, TEXT("no restore: the clock is at the snapshot"));
            break;
        case NEXT_TORN:
            LineAppend(pLine, TEXT("no restore: the snapshot is torn"));
            break;
        case NEXT_FLOOR:
            LineAppend(pLine, TEXT("no restore: the clock is set to the floor, "));
            AppendFloorDay(pLine, pStatus->dwFloor);
            break;
        default:
            if (!pStatus->fClockLater) {
                LineAppend(pLine, TEXT("no restore, though the snapshot is "));
                LineAppendDuration(pLine, pStatus->dwDistanceSeconds);
                LineAppend(pLine, TEXT(" ahead"));
                break;
            }
            LineAppend(pLine, TEXT("no restore: the clock is "));
            LineAppendDuration(pLine, pStatus->dwDistanceSeconds);
            LineAppend(pLine, TEXT(" ahead of it"));
            break;
    }
}

extern "C" LPCWSTR SnapshotStateName(DWORD dwSnapshot) {
    static const LPCWSTR NAMES[] = {TEXT("none"), TEXT("foreign"), TEXT("invalid"), TEXT("valid"),
                                    TEXT("torn")};
    return NAMES[dwSnapshot];
}

extern "C" LPCWSTR SwitchStateName(DWORD dwSwitch) {
    static const LPCWSTR NAMES[] = {TEXT("absent"), TEXT("dword"), TEXT("wrong-type")};
    return NAMES[dwSwitch];
}

extern "C" LPCWSTR NextStartName(DWORD dwNextStart) {
    static const LPCWSTR NAMES[] = {TEXT("refuse"),
                                    TEXT("no-snapshot"),
                                    TEXT("restore"),
                                    TEXT("within-margin"),
                                    TEXT("clock-at-snapshot"),
                                    TEXT("clock-ahead"),
                                    TEXT("torn"),
                                    TEXT("floor")};
    return NAMES[dwNextStart];
}

extern "C" LPCWSTR FloorStateName(DWORD dwFloorState) {
    static const LPCWSTR NAMES[] = {TEXT("default"), TEXT("set"), TEXT("out-of-range"),
                                    TEXT("wrong-type")};
    return NAMES[dwFloorState];
}

extern "C" LPCWSTR RecordUseName(DWORD dwUse) {
    static const LPCWSTR NAMES[] = {NULL, TEXT("current"), TEXT("previous")};
    return NAMES[dwUse];
}

extern "C" LPCWSTR IntervalStateName(DWORD dwInterval) {
    static const LPCWSTR NAMES[] = {TEXT("default"), TEXT("set"), TEXT("out-of-range"),
                                    TEXT("wrong-type")};
    return NAMES[dwInterval];
}

extern "C" void AppendIntervalText(TEXT_LINE* pLine, const STORE_STATUS* pStatus) {
    LineAppendNumber(pLine, pStatus->dwIntervalSeconds, 1);
    LineAppend(pLine, TEXT(" s"));
    switch (pStatus->dwInterval) {
        case INTERVAL_ABSENT:
            LineAppend(pLine, TEXT(": no "));
            AppendQuoted(pLine, INTERVAL_VALUE_NAME);
            break;
        case INTERVAL_SET:
            LineAppend(pLine, TEXT(": "));
            AppendQuoted(pLine, INTERVAL_VALUE_NAME);
            break;
        case INTERVAL_OUT_OF_RANGE:
            LineAppend(pLine, TEXT(": "));
            AppendQuoted(pLine, INTERVAL_VALUE_NAME);
            LineAppend(pLine, TEXT(" = "));
            LineAppendNumber(pLine, pStatus->dwIntervalValue, 1);
            LineAppend(pLine, TEXT(" is out of 60 to 86400"));
            break;
        default:
            LineAppend(pLine, TEXT(": "));
            AppendQuoted(pLine, INTERVAL_VALUE_NAME);
            LineAppend(pLine, TEXT(" is not a REG_DWORD"));
            break;
    }
}

extern "C" LPCWSTR RegTypeName(DWORD dwType) {
    switch (dwType) {
        case REG_SZ:
            return TEXT("REG_SZ");
        case REG_EXPAND_SZ:
            return TEXT("REG_EXPAND_SZ");
        case REG_MULTI_SZ:
            return TEXT("REG_MULTI_SZ");
        case REG_BINARY:
            return TEXT("REG_BINARY");
        case REG_DWORD:
            return TEXT("REG_DWORD");
        default:
            return TEXT("REG_NONE");
    }
}

// The switch's line; another type takes a second line: the driver reads the number and ignores
// the type.
static void WriteSwitchLines(const STORE_STATUS* pStatus, LINE_SINK pfnSink, void* pContext) {
    TEXT_LINE line;
    LineLabel(&line, TEXT("switch"));
    if (pStatus->dwSwitch == SWITCH_OTHER_TYPE) {
        AppendSwitchValue(&line, pStatus);
        pfnSink(pContext, &line);
        LineLabel(&line, TEXT(""));
        LineAppend(&line, SwitchVerdict(pStatus));
        LineAppend(&line, TEXT("; make it a REG_DWORD"));
    } else {
        AppendSwitchText(&line, pStatus);
    }
    pfnSink(pContext, &line);
}

extern "C" void WriteStatusLines(const STORE_STATUS* pStatus, LINE_SINK pfnSink, void* pContext) {
    TEXT_LINE line;
    LineLabel(&line, TEXT("key"));
    LineAppend(&line, TEXT("HKEY_LOCAL_MACHINE\\"));
    LineAppend(&line, TIMEWARD_KEY_PATH);
    LineAppend(&line, pStatus->fKey ? TEXT(": present") : TEXT(": missing"));
    pfnSink(pContext, &line);
    if (!pStatus->fKey) {
        LineLabel(&line, TEXT(""));
        LineAppend(&line, TEXT("the driver keeps nothing until the image's registry has it"));
        pfnSink(pContext, &line);
    }

    LineLabel(&line, TEXT("driver"));
    LineAppend(&line, !pStatus->fDriverKnown
                          ? TEXT("unknown: no Device Manager's list (Drivers\\Active) to read")
                      : pStatus->fDriverRunning
                          ? TEXT("running: the Device Manager lists it in Drivers\\Active")
                          : TEXT("not running: not in the Device Manager's Drivers\\Active"));
    pfnSink(pContext, &line);

    LineLabel(&line, TEXT("snapshot"));
    AppendSnapshotText(&line, pStatus);
    pfnSink(pContext, &line);

    LineLabel(&line, TEXT("previous"));
    AppendPreviousText(&line, pStatus);
    pfnSink(pContext, &line);

    WriteSwitchLines(pStatus, pfnSink, pContext);

    LineLabel(&line, TEXT("interval"));
    AppendIntervalText(&line, pStatus);
    pfnSink(pContext, &line);

    LineLabel(&line, TEXT("floor"));
    AppendFloorText(&line, pStatus);
    pfnSink(pContext, &line);

    LineLabel(&line, TEXT("clock"));
    LineAppendDate(&line, &pStatus->stClock);
    pfnSink(pContext, &line);

    LineLabel(&line, TEXT("next start"));
    AppendNextStartText(&line, pStatus);
    pfnSink(pContext, &line);
    if (pStatus->fSecondsWrap) {
        LineLabel(&line, TEXT(""));
        LineAppend(&line, TEXT("the driver's seconds since 1961 wrap after 2097-02-06 06:28:15"));
        pfnSink(pContext, &line);
    }
}
