// timewardctl check: the integrator's check-out of the driver on the device, one line a check,
// each PASS or FAIL, and on FAIL what to change in the OS design.
#include "ctl_commands.h"

#include "ctl_output.h"
#include "saver.h"
#include "store.h"
#include "store_status.h"
#include "time_change.h"

// How long the check waits for the snapshot it asks for: save's default.
static const DWORD CHECK_SAVE_TIMEOUT_S = 10;
// A snapshot may be one interval old, and a minute more for the saver's turn to come.
static const DWORD SNAPSHOT_GRACE_S = 60;

static const DWORD CHECK_COUNT = 6;

struct CHECK_RESULT {
    LPCWSTR pszName;
    BOOL fPass;
    TEXT_LINE text;  // what was found
    LPCWSTR pszFix;  // FAIL: what to change; else NULL
};

static TEXT_LINE* Begin(CHECK_RESULT* pCheck, LPCWSTR pszName) {
    pCheck->pszName = pszName;
    pCheck->fPass = TRUE;
    pCheck->pszFix = NULL;
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

// The snapshot is there and no older than the interval in effect and a minute.
static void CheckSnapshotAge(const STORE_STATUS* pStatus, DWORD dwIntervalSeconds,
                             CHECK_RESULT* pCheck) {
    TEXT_LINE* pText = Begin(pCheck, TEXT("snapshot"));
    if (pStatus->dwSnapshot != SNAPSHOT_VALID) {
        AppendSnapshotText(pText, pStatus);
        Fail(pCheck, pStatus->dwSnapshot == SNAPSHOT_NONE
                         ? TEXT("load the driver, wait one interval, and check again")
                         : TEXT("run timewardctl save: the driver's snapshot replaces it"));
        return;
    }
    // The limit is not said: with the date and any age, the line would pass 80 columns.
    const DWORD dwAge = pStatus->fClockLater ? pStatus->dwDistanceSeconds : 0;
    const DWORD dwLimit = dwIntervalSeconds + SNAPSHOT_GRACE_S;
    LineAppendDate(pText, &pStatus->stSnapshot);
    LineAppend(pText, TEXT(", "));
    LineAppendDuration(pText, dwAge);
    LineAppend(pText, TEXT(" old"));
    if (dwAge > dwLimit) {
        Fail(pCheck, TEXT("over the interval and 1 min: is the driver loaded, its key writable?"));
    }
}

// A snapshot asked for through "SaveRTCEvent" arrives, as save waits for it.
static void CheckRequestedSnapshot(const STORE_STATUS* pStatus, CHECK_RESULT* pCheck) {
    TEXT_LINE* pText = Begin(pCheck, TEXT("save"));
    SYSTEMTIME stSaved;
    const DWORD dwResult = RequestSnapshot(CHECK_SAVE_TIMEOUT_S, &stSaved);
    if (dwResult == REQUEST_SAVED) {
        LineAppend(pText, TEXT("a requested snapshot arrived: "));
        LineAppendDate(pText, &stSaved);
    } else if (dwResult == REQUEST_NO_DRIVER) {
        LineAppend(pText, TEXT("no driver answered: nothing holds \"SaveRTCEvent\""));
        Fail(pCheck, TEXT("load the driver: see the driver above"));
    } else {
        LineAppend(pText, TEXT("no snapshot within "));
        LineAppendNumber(pText, CHECK_SAVE_TIMEOUT_S, 1);
        LineAppend(pText, TEXT(" s of asking"));
        Fail(pCheck, pStatus->fKey
                         ? TEXT("no other program may create \"SaveRTCEvent\" before the driver")
                         : TEXT("the driver cannot save without the key: see the key above"));
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
        JsonLine(TEXT("      "), TEXT("fix"), pChecks[i].pszFix, TEXT(""));
        ConsoleWriteW(FALSE, i + 1 < CHECK_COUNT ? TEXT("    },\n") : TEXT("    }\n"));
    }
    ConsoleWriteW(FALSE, TEXT("  ]\n}\n"));
}

int CheckCommand(BOOL fJson) {
    STORE_STATUS status;
    ReadStatusNow(&status);

    // The last snapshot's age is judged before the check asks for a new one.
    CHECK_RESULT aChecks[CHECK_COUNT];
    CheckKey(&status, &aChecks[0]);
    CheckSwitch(&status, &aChecks[1]);
    CheckDriver(&status, &aChecks[2]);
    CheckSnapshotAge(&status, status.dwIntervalSeconds, &aChecks[3]);
    CheckRequestedSnapshot(&status, &aChecks[4]);
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
