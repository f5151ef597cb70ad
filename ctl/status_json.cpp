// Renders the status model as one JSON object, one field to a line, in the status lines' words.
#include "status_text.h"

#include "floor.h"

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
