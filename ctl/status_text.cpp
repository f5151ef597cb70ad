// Renders the status model in the words every tool uses.
#include "status_text.h"

#include "floor.h"
#include "interval.h"
#include "startup.h"
#include "store.h"

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

    // Another type takes a second line: the driver reads the number and ignores the type.
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

// --- JSON --------------------------------------------------------------------------------------

// A JSON string: the texts here hold no control characters, only quotes to escape.
extern "C" void AppendJsonString(TEXT_LINE* pLine, LPCWSTR pszText) {
    LineAppend(pLine, TEXT("\""));
    for (; *pszText; ++pszText) {
        const WCHAR sz[3] = {TEXT('\\'), *pszText, 0};
        LineAppend(pLine, (*pszText == TEXT('"') || *pszText == TEXT('\\')) ? sz : sz + 1);
    }
    LineAppend(pLine, TEXT("\""));
}

// Where the JSON goes, and how deep in it the next field stands.
struct JSON_OUT {
    LINE_SINK pfnSink;
    void* pContext;
    DWORD dwDepth;
};

// Begins `  "name": ` at the current depth.
static void JsonName(TEXT_LINE* pLine, const JSON_OUT* pOut, LPCWSTR pszName) {
    LineBegin(pLine);
    for (DWORD i = 0; i < pOut->dwDepth; ++i) {
        LineAppend(pLine, TEXT("  "));
    }
    AppendJsonString(pLine, pszName);
    LineAppend(pLine, TEXT(": "));
}

// Writes the line, with a comma unless it is the last of its object.
static void JsonEnd(TEXT_LINE* pLine, const JSON_OUT* pOut, BOOL fLast) {
    if (!fLast) {
        LineAppend(pLine, TEXT(","));
    }
    pOut->pfnSink(pOut->pContext, pLine);
}

// A field whose value is a string, or null.
static void JsonText(const JSON_OUT* pOut, LPCWSTR pszName, LPCWSTR pszText, BOOL fLast = FALSE) {
    TEXT_LINE line;
    JsonName(&line, pOut, pszName);
    if (pszText != NULL) {
        AppendJsonString(&line, pszText);
    } else {
        LineAppend(&line, TEXT("null"));
    }
    JsonEnd(&line, pOut, fLast);
}

// A time, or null.
static void JsonDate(const JSON_OUT* pOut, LPCWSTR pszName, BOOL fPresent,
                     const SYSTEMTIME* pTime) {
    TEXT_LINE text;
    LineBegin(&text);
    LineAppendIsoDate(&text, pTime);
    JsonText(pOut, pszName, fPresent ? text.sz : NULL);
}

// A number (negative when fNegative), or null.
static void JsonNumber(const JSON_OUT* pOut, LPCWSTR pszName, BOOL fPresent, DWORD dwValue,
                       BOOL fNegative = FALSE) {
    TEXT_LINE line;
    JsonName(&line, pOut, pszName);
    if (!fPresent) {
        LineAppend(&line, TEXT("null"));
    } else {
        LineAppend(&line, fNegative ? TEXT("-") : TEXT(""));
        LineAppendNumber(&line, dwValue, 1);
    }
    JsonEnd(&line, pOut, FALSE);
}

// The last field of its object: a number that is always there.
static void JsonNumberLast(const JSON_OUT* pOut, LPCWSTR pszName, DWORD dwValue) {
    TEXT_LINE line;
    JsonName(&line, pOut, pszName);
    LineAppendNumber(&line, dwValue, 1);
    JsonEnd(&line, pOut, TRUE);
}

static void JsonBool(const JSON_OUT* pOut, LPCWSTR pszName, BOOL fValue, BOOL fLast = FALSE) {
    TEXT_LINE line;
    JsonName(&line, pOut, pszName);
    LineAppend(&line, fValue ? TEXT("true") : TEXT("false"));
    JsonEnd(&line, pOut, fLast);
}

// Opens an object, as a field (pszName) or the whole (NULL), and closes it.
static void JsonOpen(JSON_OUT* pOut, LPCWSTR pszName) {
    TEXT_LINE line;
    if (pszName != NULL) {
        JsonName(&line, pOut, pszName);
    } else {
        LineBegin(&line);
    }
    LineAppend(&line, TEXT("{"));
    pOut->pfnSink(pOut->pContext, &line);
    ++pOut->dwDepth;
}

static void JsonClose(JSON_OUT* pOut, BOOL fLast) {
    TEXT_LINE line;
    --pOut->dwDepth;
    LineBegin(&line);
    for (DWORD i = 0; i < pOut->dwDepth; ++i) {
        LineAppend(&line, TEXT("  "));
    }
    LineAppend(&line, TEXT("}"));
    JsonEnd(&line, pOut, fLast);
}

extern "C" void WriteStatusJson(const STORE_STATUS* p, LINE_SINK pfnSink, void* pContext) {
    const BOOL fValid = p->dwSnapshot == SNAPSHOT_VALID;
    const BOOL fUsed = p->dwUse != USE_NONE;
    JSON_OUT out = {pfnSink, pContext, 0};
    JsonOpen(&out, NULL);
    JsonNumber(&out, TEXT("schema"), TRUE, STATUS_JSON_SCHEMA);
    JsonBool(&out, TEXT("key"), p->fKey);
    if (p->fDriverKnown) {
        JsonBool(&out, TEXT("driver_running"), p->fDriverRunning);
    } else {
        JsonText(&out, TEXT("driver_running"), NULL);
    }
    JsonDate(&out, TEXT("clock"), TRUE, &p->stClock);

    JsonOpen(&out, TEXT("snapshot"));
    JsonText(&out, TEXT("state"), SnapshotStateName(p->dwSnapshot));
    JsonDate(&out, TEXT("time"), fValid, &p->stSnapshot);
    JsonNumber(&out, TEXT("signature"), p->fSignature, p->dwSignature);
    JsonText(&out, TEXT("bad_value"), p->dwSnapshot == SNAPSHOT_INVALID ? p->pszBadValue : NULL);
    JsonNumber(&out, TEXT("generation"), fValid, p->dwGeneration);
    JsonDate(&out, TEXT("previous"), p->fPrevious, &p->stPrevious);
    JsonNumber(&out, TEXT("previous_generation"), p->fPrevious, p->dwPreviousGeneration);
    JsonText(&out, TEXT("uses"), RecordUseName(p->dwUse), TRUE);
    JsonClose(&out, FALSE);

    JsonOpen(&out, TEXT("switch"));
    JsonText(&out, TEXT("state"), SwitchStateName(p->dwSwitch));
    JsonText(&out, TEXT("type"),
             p->dwSwitch != SWITCH_ABSENT ? RegTypeName(p->dwSwitchType) : NULL);
    JsonNumber(&out, TEXT("value"), p->fSwitchRead, p->dwSwitchValue);
    JsonBool(&out, TEXT("refuses"), p->fRefuses, TRUE);
    JsonClose(&out, FALSE);

    JsonOpen(&out, TEXT("interval"));
    JsonText(&out, TEXT("state"), IntervalStateName(p->dwInterval));
    JsonNumber(&out, TEXT("value"), p->fIntervalRead, p->dwIntervalValue);
    JsonNumberLast(&out, TEXT("seconds"), p->dwIntervalSeconds);
    JsonClose(&out, FALSE);

    JsonOpen(&out, TEXT("floor"));
    JsonText(&out, TEXT("state"), FloorStateName(p->dwFloorState));
    JsonNumber(&out, TEXT("value"), p->fFloorRead, p->dwFloorValue);
    JsonNumberLast(&out, TEXT("day"), FloorNumber(p->dwFloor));
    JsonClose(&out, FALSE);

    JsonOpen(&out, TEXT("next_start"));
    JsonText(&out, TEXT("action"), NextStartName(p->dwNextStart));
    JsonDate(&out, TEXT("to"), p->dwNextStart == NEXT_RESTORE, &p->stUse);
    JsonNumber(&out, TEXT("snapshot_ahead_s"), fUsed, p->dwDistanceSeconds, p->fClockLater);
    TEXT_LINE text;
    LineBegin(&text);
    AppendNextStartText(&text, p);
    JsonText(&out, TEXT("text"), text.sz, TRUE);
    JsonClose(&out, TRUE);
    JsonClose(&out, TRUE);
}
