// timewardctl check: the integrator's check-out of the driver on the device, one line a check,
// each PASS or FAIL, and on FAIL what to change in the OS design. It reads the store and asks
// for a snapshot as status and save do (ctl_commands.cpp), which use nothing of it.
#include "ctl_check.h"

#include "ctl_commands.h"

#include "ctl_output.h"
#include "saver.h"
#include "status_text.h"
#include "store.h"
#include "store_status.h"
#include "time_change.h"

// How long the check waits for the snapshot it asks for: save's default.
static const DWORD CHECK_SAVE_TIMEOUT_S = 10;
// A snapshot may be one interval old, and a minute more for the saver's turn to come.
static const DWORD SNAPSHOT_GRACE_S = 60;
// The first snapshot of a start comes within this, or the interval if that is shorter.
static const DWORD FIRST_SNAPSHOT_MAX_S = 300;

static const DWORD CHECK_COUNT = 6;

struct CHECK_RESULT {
    LPCWSTR pszName;
    BOOL fPass;
    TEXT_LINE text;   // what was found
    LPCWSTR pszFix;   // FAIL: what to change; else NULL
    LPCWSTR pszNote;  // what else to know; else NULL
};

static TEXT_LINE* Begin(CHECK_RESULT* pCheck, LPCWSTR pszName) {
    pCheck->pszName = pszName;
    pCheck->fPass = TRUE;
    pCheck->pszFix = NULL;
    pCheck->pszNote = NULL;
    LineBegin(&pCheck->text);
    return &pCheck->text;
}

static void Fail(CHECK_RESULT* pCheck, LPCWSTR pszFix) {
    pCheck->fPass = FALSE;
    pCheck->pszFix = pszFix;
}

// The key is there, and opens as the driver's writes open it.
static void CheckKey(const STORE_STATUS* pStatus, CHECK_RESULT* pCheck) {
    TEXT_LINE* pText = Begin(pCheck, TEXT("key"));
    LineAppend(pText, TEXT("HKEY_LOCAL_MACHINE\\"));
    LineAppend(pText, TIMEWARD_KEY_PATH);
    if (!pStatus->fKey) {
        LineAppend(pText, TEXT(" is missing"));
        Fail(pCheck, TEXT("merge timeward.reg into platform.reg; the driver makes no key"));
        return;
    }
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, 0, KEY_ALL_ACCESS, &hKey) !=
        ERROR_SUCCESS) {
        LineAppend(pText, TEXT(": no write access"));
        Fail(pCheck, TEXT("let the driver's process open the key with KEY_ALL_ACCESS"));
        return;
    }
    RegCloseKey(hKey);
    LineAppend(pText, TEXT(": opens for writing"));
}

// The switch lets the driver start, and is the DWORD it is meant to be.
static void CheckSwitch(const STORE_STATUS* pStatus, CHECK_RESULT* pCheck) {
    TEXT_LINE* pText = Begin(pCheck, TEXT("switch"));
    AppendSwitchText(pText, pStatus);
    if (pStatus->fRefuses) {
        Fail(pCheck, TEXT("make \"TimewardImplemented\" dword:0 in platform.reg, or remove it"));
    } else if (pStatus->dwSwitch == SWITCH_OTHER_TYPE) {
        Fail(pCheck, TEXT("make \"TimewardImplemented\" a dword (dword:0) in platform.reg"));
    }
}

static void CheckDriver(const STORE_STATUS* pStatus, CHECK_RESULT* pCheck) {
    TEXT_LINE* pText = Begin(pCheck, TEXT("driver"));
    if (pStatus->fDriverRunning) {
        LineAppend(pText, TEXT("loaded: listed in the Device Manager's Drivers\\Active"));
        return;
    }
    if (!pStatus->fDriverKnown) {
        LineAppend(pText, TEXT("unknown: no Device Manager's list (Drivers\\Active) to read"));
        Fail(pCheck, TEXT("run the check on the device, whose Device Manager keeps the list"));
        return;
    }
    LineAppend(pText, TEXT("not loaded: not in the Device Manager's Drivers\\Active"));
    Fail(pCheck, pStatus->fRefuses
                     ? TEXT("the switch turns it off: see the switch above")
                     : TEXT("merge timeward.reg and Timeward.bib into the OS design; rebuild"));
}

// The snapshot after the check's own request: the one that request brought, or else the one in
// the store, no older than the interval in effect and a minute unless the device started too
// recently for a periodic one to be due.
static void CheckSnapshot(const STORE_STATUS* pBefore, const STORE_STATUS* pAfter, DWORD dwSave,
                          const SYSTEMTIME* pstSaved, CHECK_RESULT* pCheck) {
    TEXT_LINE* pText = Begin(pCheck, TEXT("snapshot"));
    if (dwSave == REQUEST_SAVED) {
        LineAppendDate(pText, pstSaved);
        LineAppend(pText, TEXT(": just saved, generation "));
        LineAppendNumber(pText, pAfter->dwGeneration, 1);
        if (pBefore->dwSnapshot == SNAPSHOT_TORN) {
            pCheck->pszNote = TEXT("the one before was torn by a power cut; this one is whole");
        }
        return;
    }
    // No new snapshot came: see the save check below for why.
    if (pAfter->dwUse == USE_NONE) {
        AppendSnapshotText(pText, pAfter);
        Fail(pCheck, pAfter->dwSnapshot == SNAPSHOT_NONE
                         ? TEXT("load the driver, wait one interval, and check again")
                         : TEXT("the driver's next snapshot replaces it: see the save check"));
        return;
    }
    // The limit is not said: with the date and any age, the line would pass 80 columns.
    const DWORD dwAge = pAfter->fClockLater ? pAfter->dwDistanceSeconds : 0;
    const DWORD dwLimit = pAfter->dwIntervalSeconds + SNAPSHOT_GRACE_S;
    LineAppendDate(pText, &pAfter->stUse);
    LineAppend(pText, TEXT(", "));
    LineAppendDuration(pText, dwAge);
    LineAppend(pText, TEXT(" old"));
    if (dwAge <= dwLimit) {
        return;
    }
    // After a long power-off the last snapshot is as old as the time off, until the first of
    // this start, which comes within five minutes (or the interval, if shorter).
    const DWORD dwFirstS = pAfter->dwIntervalSeconds < FIRST_SNAPSHOT_MAX_S
                               ? pAfter->dwIntervalSeconds
                               : FIRST_SNAPSHOT_MAX_S;
    if (pAfter->fDriverRunning && GetTickCount() / 1000 <= dwFirstS + SNAPSHOT_GRACE_S) {
        LineAppend(pText, TEXT(": not due yet"));
        return;
    }
    Fail(pCheck, TEXT("over the interval and 1 min: see the driver and save checks"));
}

// A snapshot asked for through "SaveRTCEvent" arrives, as save waits for it.
static void CheckRequestedSnapshot(const STORE_STATUS* pStatus, DWORD dwSave,
                                   const SYSTEMTIME* pstSaved, CHECK_RESULT* pCheck) {
    TEXT_LINE* pText = Begin(pCheck, TEXT("save"));
    if (dwSave == REQUEST_SAVED) {
        LineAppend(pText, TEXT("a requested snapshot arrived: "));
        LineAppendDate(pText, pstSaved);
    } else if (dwSave == REQUEST_NO_DRIVER && pStatus->fDriverRunning) {
        LineAppend(pText, TEXT("no answer: \"SaveRTCEvent\" is not an event the driver holds"));
        Fail(pCheck, TEXT("no other program may hold the name \"SaveRTCEvent\""));
    } else if (dwSave == REQUEST_NO_DRIVER) {
        LineAppend(pText, TEXT("no driver answered: nothing holds \"SaveRTCEvent\""));
        Fail(pCheck, TEXT("load the driver: see the driver above"));
    } else {
        LineAppend(pText, TEXT("no snapshot within "));
        LineAppendNumber(pText, CHECK_SAVE_TIMEOUT_S, 1);
        LineAppend(pText, TEXT(" s of asking"));
        Fail(pCheck, !pStatus->fKey
                         ? TEXT("the driver cannot save without the key: see the key above")
                     : pStatus->fDriverRunning
                         ? TEXT("no other program may create \"SaveRTCEvent\" before the driver")
                         : TEXT("load the driver: see the driver above"));
    }
}

static void CheckTimeChanges(CHECK_RESULT* pCheck) {
    TEXT_LINE* pText = Begin(pCheck, TEXT("notify"));
    if (TimeChangesAvailable()) {
        LineAppend(pText, TEXT("CeRunAppAtEvent is there: a clock that is set is saved at once"));
        return;
    }
    LineAppend(pText, TEXT("CeRunAppAtEvent is missing: a set clock waits for a snapshot"));
    Fail(pCheck, TEXT("add the notification component to the OS design"));
}

static void PrintCheckLines(const CHECK_RESULT* pChecks, DWORD dwFailed) {
    TEXT_LINE line;
    for (DWORD i = 0; i < CHECK_COUNT; ++i) {
        LineBegin(&line);
        LineAppend(&line, pChecks[i].fPass ? TEXT("PASS  ") : TEXT("FAIL  "));
        LineAppend(&line, pChecks[i].pszName);
        for (DWORD cch = line.cch; cch < STATUS_LABEL_WIDTH + 6; ++cch) {
            LineAppend(&line, TEXT(" "));
        }
        LineAppend(&line, pChecks[i].text.sz);
        Print(&line);
        if (pChecks[i].pszFix != NULL) {
            LineBegin(&line);
            LineAppend(&line, TEXT("      fix: "));
            LineAppend(&line, pChecks[i].pszFix);
            Print(&line);
        }
        if (pChecks[i].pszNote != NULL) {
            LineBegin(&line);
            LineAppend(&line, TEXT("      note: "));
            LineAppend(&line, pChecks[i].pszNote);
            Print(&line);
        }
    }
    LineBegin(&line);
    if (dwFailed == 0) {
        LineAppend(&line, TEXT("check: all "));
        LineAppendNumber(&line, CHECK_COUNT, 1);
        LineAppend(&line, TEXT(" passed"));
    } else {
        LineAppend(&line, TEXT("check: "));
        LineAppendNumber(&line, dwFailed, 1);
        LineAppend(&line, TEXT(" of "));
        LineAppendNumber(&line, CHECK_COUNT, 1);
        LineAppend(&line, TEXT(" failed"));
    }
    Print(&line);
}

// A line of the JSON: indentation, then the parts given.
static void JsonLine(LPCWSTR pszIndent, LPCWSTR pszName, LPCWSTR pszText, LPCWSTR pszEnd) {
    TEXT_LINE line;
    LineBegin(&line);
    LineAppend(&line, pszIndent);
    if (pszName != NULL) {
        AppendJsonString(&line, pszName);
        LineAppend(&line, TEXT(": "));
        if (pszText != NULL) {
            AppendJsonString(&line, pszText);
        } else {
            LineAppend(&line, TEXT("null"));
        }
    }
    LineAppend(&line, pszEnd);
    Print(&line);
}

static void PrintCheckJson(const CHECK_RESULT* pChecks, DWORD dwFailed) {
    ConsoleWriteW(FALSE, TEXT("{\n  \"schema\": 1,\n"));
    ConsoleWriteW(FALSE,
                  dwFailed == 0 ? TEXT("  \"pass\": true,\n") : TEXT("  \"pass\": false,\n"));
    ConsoleWriteW(FALSE, TEXT("  \"checks\": [\n"));
    for (DWORD i = 0; i < CHECK_COUNT; ++i) {
        ConsoleWriteW(FALSE, TEXT("    {\n"));
        JsonLine(TEXT("      "), TEXT("name"), pChecks[i].pszName, TEXT(","));
        ConsoleWriteW(FALSE, pChecks[i].fPass ? TEXT("      \"pass\": true,\n")
                                              : TEXT("      \"pass\": false,\n"));
        JsonLine(TEXT("      "), TEXT("text"), pChecks[i].text.sz, TEXT(","));
        JsonLine(TEXT("      "), TEXT("fix"), pChecks[i].pszFix, TEXT(","));
        JsonLine(TEXT("      "), TEXT("note"), pChecks[i].pszNote, TEXT(""));
        ConsoleWriteW(FALSE, i + 1 < CHECK_COUNT ? TEXT("    },\n") : TEXT("    }\n"));
    }
    ConsoleWriteW(FALSE, TEXT("  ]\n}\n"));
}

int CheckCommand(BOOL fJson) {
    STORE_STATUS status;
    ReadStatusNow(&status);
    // The snapshot is judged after the check's own request, so that one line cannot say the
    // driver saves while another says it does not.
    SYSTEMTIME stSaved;
    const DWORD dwSave = RequestSnapshot(CHECK_SAVE_TIMEOUT_S, &stSaved);
    STORE_STATUS after;
    ReadStatusNow(&after);

    CHECK_RESULT aChecks[CHECK_COUNT];
    CheckKey(&status, &aChecks[0]);
    CheckSwitch(&status, &aChecks[1]);
    CheckDriver(&status, &aChecks[2]);
    CheckSnapshot(&status, &after, dwSave, &stSaved, &aChecks[3]);
    CheckRequestedSnapshot(&status, dwSave, &stSaved, &aChecks[4]);
    CheckTimeChanges(&aChecks[5]);

    DWORD dwFailed = 0;
    for (DWORD i = 0; i < CHECK_COUNT; ++i) {
        dwFailed += aChecks[i].fPass ? 0 : 1;
    }
    if (fJson) {
        PrintCheckJson(aChecks, dwFailed);
    } else {
        PrintCheckLines(aChecks, dwFailed);
    }
    return dwFailed == 0 ? EXIT_DONE : EXIT_NOT_DONE;
}
