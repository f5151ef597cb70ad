// timewardctl: shows, saves and clears the snapshot of the clock that Timeward keeps.
//
// It reads the store with the driver's own reader and conversion, so what it says the next
// start would do is what the driver would do. It writes nothing but the requests the driver
// already takes: the save event, and the removal of the signature. The switch is never written.
#include "platform.h"
#include "saver.h"
#include "startup.h"
#include "store.h"

// Exit statuses, for scripts.
static const int EXIT_DONE = 0;      // the command did what it says
static const int EXIT_NOT_DONE = 1;  // save: no driver answered; clear: the value stayed
static const int EXIT_USAGE = 2;     // bad arguments
static const int EXIT_NO_KEY = 3;    // the store's key is not in the registry

// How long save waits for the driver by default, and how often it looks at the store.
static const DWORD DEFAULT_SAVE_TIMEOUT_S = 10;
static const DWORD MAX_SAVE_TIMEOUT_S = 3600;
static const DWORD POLL_INTERVAL_MS = 100;

static const DWORD SECONDS_PER_MINUTE = 60;
static const DWORD SECONDS_PER_HOUR = 3600;
static const DWORD SECONDS_PER_DAY = 86400;

// clang-format off
static const WCHAR USAGE[] =
    TEXT("usage: timewardctl status | save [-t SECONDS] | clear | -h\n")
    TEXT("  status  the stored snapshot, the switch, the clock, and what the next start would do\n")
    TEXT("  save    asks the driver for a snapshot now (\"SaveRTCEvent\") and waits up to\n")
    TEXT("          SECONDS (default 10) until it is in the store\n")
    TEXT("  clear   removes \"TimewardSignature\", so that a start restores nothing until the\n")
    TEXT("          driver takes its next snapshot\n")
    TEXT("exit status: 0 done, 1 not done (no driver answered, or the value stayed),\n")
    TEXT("  2 bad arguments, 3 the key ")
    TEXT("HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvex\\Timeward is missing\n");
// clang-format on

// One line of output, built in place: no C runtime.
struct Line {
    WCHAR sz[256];
    DWORD cch;
};

static void Begin(Line* pLine) {
    pLine->cch = 0;
    pLine->sz[0] = 0;
}

// Appends what fits.
static void Append(Line* pLine, LPCWSTR pszText) {
    const DWORD cchMax = sizeof(pLine->sz) / sizeof(pLine->sz[0]) - 1;
    while (*pszText && pLine->cch < cchMax) {
        pLine->sz[pLine->cch++] = *pszText++;
    }
    pLine->sz[pLine->cch] = 0;
}

// Decimal, with at least cDigits digits.
static void AppendNumber(Line* pLine, DWORD dwValue, DWORD cDigits) {
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
    Append(pLine, &szDigits[i]);
}

static void AppendHex(Line* pLine, DWORD dwValue) {
    static const WCHAR DIGITS[] = TEXT("0123456789ABCDEF");
    WCHAR sz[11];
    sz[0] = TEXT('0');
    sz[1] = TEXT('x');
    for (int i = 0; i < 8; ++i) {
        sz[2 + i] = DIGITS[(dwValue >> (28 - 4 * i)) & 0xF];
    }
    sz[10] = 0;
    Append(pLine, sz);
}

// 2026-12-08 09:30:00.000
static void AppendDate(Line* pLine, const SYSTEMTIME* pTime) {
    AppendNumber(pLine, pTime->wYear, 4);
    Append(pLine, TEXT("-"));
    AppendNumber(pLine, pTime->wMonth, 2);
    Append(pLine, TEXT("-"));
    AppendNumber(pLine, pTime->wDay, 2);
    Append(pLine, TEXT(" "));
    AppendNumber(pLine, pTime->wHour, 2);
    Append(pLine, TEXT(":"));
    AppendNumber(pLine, pTime->wMinute, 2);
    Append(pLine, TEXT(":"));
    AppendNumber(pLine, pTime->wSecond, 2);
    Append(pLine, TEXT("."));
    AppendNumber(pLine, pTime->wMilliseconds, 3);
}

// "2 h", "1 h 59 min 58 s", "3 d 4 h": the parts that are not zero.
static void AppendDuration(Line* pLine, DWORD dwSeconds) {
    static const struct {
        DWORD dwSeconds;
        LPCWSTR pszUnit;
    } UNITS[] = {{SECONDS_PER_DAY, TEXT(" d")},
                 {SECONDS_PER_HOUR, TEXT(" h")},
                 {SECONDS_PER_MINUTE, TEXT(" min")},
                 {1, TEXT(" s")}};
    BOOL fFirst = TRUE;
    for (DWORD i = 0; i < sizeof(UNITS) / sizeof(UNITS[0]); ++i) {
        DWORD dwCount = dwSeconds / UNITS[i].dwSeconds;
        dwSeconds %= UNITS[i].dwSeconds;
        if (dwCount == 0 && !(fFirst && i == 3)) {
            continue;
        }
        if (!fFirst) {
            Append(pLine, TEXT(" "));
        }
        AppendNumber(pLine, dwCount, 1);
        Append(pLine, UNITS[i].pszUnit);
        fFirst = FALSE;
    }
}

static void Print(const Line* pLine) {
    ConsoleWriteW(FALSE, pLine->sz);
    ConsoleWriteW(FALSE, TEXT("\n"));
}

static void PrintError(const Line* pLine) {
    ConsoleWriteW(TRUE, TEXT("timewardctl: "));
    ConsoleWriteW(TRUE, pLine->sz);
    ConsoleWriteW(TRUE, TEXT("\n"));
}

// Says that the store's key is not there, and why that stops the command.
static int NoKey(LPCWSTR pszWhy) {
    Line line;
    Begin(&line);
    Append(&line, TEXT("the key HKEY_LOCAL_MACHINE\\"));
    Append(&line, TIMEWARD_KEY_PATH);
    Append(&line, pszWhy);
    PrintError(&line);
    return EXIT_NO_KEY;
}

static BOOL KeyExists(void) {
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, 0, 0, &hKey) != ERROR_SUCCESS) {
        return FALSE;
    }
    RegCloseKey(hKey);
    return TRUE;
}

// The registry type and size of a value; FALSE when it is absent.
static BOOL QueryValueType(LPCWSTR pszName, DWORD* pdwType, DWORD* pcbData) {
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, 0, KEY_ALL_ACCESS, &hKey) !=
        ERROR_SUCCESS) {
        return FALSE;
    }
    *pcbData = 0;
    LONG lResult = RegQueryValueExW(hKey, pszName, NULL, pdwType, NULL, pcbData);
    RegCloseKey(hKey);
    return lResult == ERROR_SUCCESS;
}

static LPCWSTR TypeName(DWORD dwType) {
    switch (dwType) {
        case REG_SZ:
            return TEXT("a string (REG_SZ)");
        case REG_EXPAND_SZ:
            return TEXT("a string (REG_EXPAND_SZ)");
        case REG_MULTI_SZ:
            return TEXT("a string list (REG_MULTI_SZ)");
        case REG_BINARY:
            return TEXT("binary (REG_BINARY)");
        default:
            return TEXT("not a DWORD");
    }
}

// Whether a driver holds the save event: it creates the event when it starts.
static BOOL DriverHoldsSaveEvent(void) {
    SetLastError(ERROR_SUCCESS);  // a new event need not clear an older error
    HANDLE hEvent = CreateEventW(NULL, FALSE, FALSE, SAVE_EVENT_NAME);
    if (hEvent == NULL) {
        return FALSE;
    }
    BOOL fExisted = GetLastError() == ERROR_ALREADY_EXISTS;
    CloseHandle(hEvent);
    return fExisted;
}

static BOOL SameRecord(const SYSTEMTIME* pA, const SYSTEMTIME* pB) {
    return pA->wYear == pB->wYear && pA->wMonth == pB->wMonth && pA->wDayOfWeek == pB->wDayOfWeek &&
           pA->wDay == pB->wDay && pA->wHour == pB->wHour && pA->wMinute == pB->wMinute &&
           pA->wSecond == pB->wSecond && pA->wMilliseconds == pB->wMilliseconds;
}

static int Status(void) {
    Line line;
    const BOOL fKey = KeyExists();
    Begin(&line);
    Append(&line, TEXT("key        HKEY_LOCAL_MACHINE\\"));
    Append(&line, TIMEWARD_KEY_PATH);
    Append(&line, fKey ? TEXT(": present")
                       : TEXT(": missing: the driver keeps nothing until the image's registry "
                              "holds this key"));
    Print(&line);

    // The snapshot, as the start-up check reads it.
    SYSTEMTIME stSaved;
    const BOOL fSnapshot = ReadSnapshot(&stSaved);
    DWORD dwSignature;
    const BOOL fSignature =
        RegReadDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, SIGNATURE_VALUE_NAME, &dwSignature);
    Begin(&line);
    Append(&line, TEXT("snapshot   "));
    if (fSnapshot) {
        AppendDate(&line, &stSaved);
        Append(&line, TEXT(" UTC: valid"));
    } else if (!fSignature) {
        Append(&line, TEXT("none: no \"TimewardSignature\""));
    } else if (dwSignature != SNAPSHOT_SIGNATURE) {
        Append(&line, TEXT("none: \"TimewardSignature\" is "));
        AppendHex(&line, dwSignature);
        Append(&line, TEXT(", not "));
        AppendHex(&line, SNAPSHOT_SIGNATURE);
    } else {
        Append(&line, TEXT("invalid: signed, but a clock value is missing or out of range"));
    }
    Print(&line);

    // The switch, as the start-up check reads it, and its type, which the check ignores.
    DWORD dwSwitch;
    const BOOL fSwitchRead =
        RegReadDword(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, SWITCH_VALUE_NAME, &dwSwitch);
    const BOOL fRefuses = fSwitchRead && dwSwitch == SWITCH_OFF;
    DWORD dwType = REG_NONE;
    DWORD cbData = 0;
    const BOOL fSwitchPresent = QueryValueType(SWITCH_VALUE_NAME, &dwType, &cbData);
    Begin(&line);
    Append(&line, TEXT("switch     \"TimewardImplemented\" "));
    if (!fSwitchPresent) {
        Append(&line, TEXT("absent"));
    } else if (dwType == REG_DWORD) {
        Append(&line, TEXT("= "));
        AppendNumber(&line, dwSwitch, 1);
    } else {
        Append(&line, TEXT("is "));
        Append(&line, TypeName(dwType));
        if (fSwitchRead) {
            Append(&line, TEXT(", read as "));
            AppendNumber(&line, dwSwitch, 1);
        } else {
            Append(&line, TEXT(" of "));
            AppendNumber(&line, cbData, 1);
            Append(&line, TEXT(" bytes, unreadable as a number"));
        }
        Append(&line, TEXT("; make it a DWORD"));
    }
    Append(&line, fRefuses ? TEXT(": the driver refuses to start") : TEXT(": the driver runs"));
    Print(&line);

    SYSTEMTIME stNow;
    GetSystemTime(&stNow);
    Begin(&line);
    Append(&line, TEXT("clock      "));
    AppendDate(&line, &stNow);
    Append(&line, TEXT(" UTC"));
    Print(&line);

    // The start-up check's decision, made as it makes it, with the clock as it is now.
    Begin(&line);
    Append(&line, TEXT("next start "));
    if (fRefuses) {
        Append(&line, TEXT("refuses to start: switch"));
    } else if (!fSnapshot) {
        Append(&line, TEXT("no restore: no snapshot"));
    } else {
        DWORD dwSavedSeconds;
        DWORD dwNowSeconds;
        if (RestoreIsDue(&stSaved, &stNow, &dwSavedSeconds, &dwNowSeconds)) {
            Append(&line, TEXT("restore to "));
            AppendDate(&line, &stSaved);
            Append(&line, TEXT(", "));
            AppendDuration(&line, dwSavedSeconds - dwNowSeconds);
            Append(&line, TEXT(" ahead"));
        } else if (dwSavedSeconds > dwNowSeconds) {
            Append(&line, TEXT("no restore: within 300 s"));
        } else {
            Append(&line, TEXT("no restore: the clock is ahead"));
        }
    }
    Print(&line);
    return fKey ? EXIT_DONE : EXIT_NO_KEY;
}

static int Save(DWORD dwTimeoutSeconds) {
    Line line;
    if (!KeyExists()) {
        return NoKey(TEXT(" is missing: the driver cannot save"));
    }
    SYSTEMTIME stBefore;
    const BOOL fBefore = ReadSnapshot(&stBefore);

    // The driver creates the event when it starts; if this call creates it, nobody listens.
    SetLastError(ERROR_SUCCESS);
    HANDLE hEvent = CreateEventW(NULL, FALSE, FALSE, SAVE_EVENT_NAME);
    if (hEvent == NULL || GetLastError() != ERROR_ALREADY_EXISTS) {
        if (hEvent != NULL) {
            CloseHandle(hEvent);
        }
        Begin(&line);
        Append(&line, TEXT("no driver answered: nothing holds \"SaveRTCEvent\" (is Timeward.dll "
                           "loaded, and \"TimewardImplemented\" not 1?)"));
        PrintError(&line);
        return EXIT_NOT_DONE;
    }
    EventModify(hEvent, EVENT_SET);

    // The nine values are written one by one: a snapshot counts once it reads the same twice.
    const DWORD dwStart = GetTickCount();
    const DWORD dwTimeoutMs = dwTimeoutSeconds * 1000;
    SYSTEMTIME stSeen;
    BOOL fSeen = FALSE;
    BOOL fSaved = FALSE;
    for (;;) {
        SYSTEMTIME stNow;
        if (ReadSnapshot(&stNow) && !(fBefore && SameRecord(&stNow, &stBefore))) {
            if (fSeen && SameRecord(&stNow, &stSeen)) {
                fSaved = TRUE;
                break;
            }
            stSeen = stNow;
            fSeen = TRUE;
        } else {
            fSeen = FALSE;
        }
        if (GetTickCount() - dwStart >= dwTimeoutMs) {
            break;
        }
        Sleep(POLL_INTERVAL_MS);
    }
    CloseHandle(hEvent);

    Begin(&line);
    if (!fSaved) {
        Append(&line, TEXT("no driver answered within "));
        AppendNumber(&line, dwTimeoutSeconds, 1);
        Append(&line, TEXT(" s: the snapshot is unchanged"));
        PrintError(&line);
        return EXIT_NOT_DONE;
    }
    Append(&line, TEXT("saved: the snapshot is "));
    AppendDate(&line, &stSeen);
    Append(&line, TEXT(" UTC"));
    Print(&line);
    return EXIT_DONE;
}

static int Clear(void) {
    Line line;
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, 0, KEY_ALL_ACCESS, &hKey) !=
        ERROR_SUCCESS) {
        return NoKey(TEXT(" is missing or cannot be opened"));
    }
    DWORD dwType;
    DWORD cbData = 0;
    const BOOL fPresent =
        RegQueryValueExW(hKey, SIGNATURE_VALUE_NAME, NULL, &dwType, NULL, &cbData) == ERROR_SUCCESS;
    LONG lResult = ERROR_SUCCESS;
    if (fPresent) {
        lResult = RegDeleteValueW(hKey, SIGNATURE_VALUE_NAME);
        if (lResult == ERROR_SUCCESS) {
            RegFlushKey(hKey);  // on a hive-based registry nothing is on storage until then
        }
    }
    RegCloseKey(hKey);

    Begin(&line);
    if (lResult != ERROR_SUCCESS) {
        Append(&line, TEXT("cannot remove \"TimewardSignature\" (error "));
        AppendNumber(&line, (DWORD)lResult, 1);
        Append(&line, TEXT("): the snapshot stays"));
        PrintError(&line);
        return EXIT_NOT_DONE;
    }
    Append(&line, fPresent ? TEXT("cleared: \"TimewardSignature\" removed")
                           : TEXT("cleared: there was no \"TimewardSignature\""));
    Print(&line);
    if (DriverHoldsSaveEvent()) {
        Begin(&line);
        Append(&line, TEXT("note: the driver is running; its next snapshot (within five minutes, "
                           "or on suspend) makes a new one. Restart before then to start "
                           "without one."));
        Print(&line);
    }
    return EXIT_DONE;
}

static BOOL SameText(LPCWSTR pszA, LPCWSTR pszB) {
    while (*pszA && *pszA == *pszB) {
        ++pszA;
        ++pszB;
    }
    return *pszA == *pszB;
}

// A whole number of seconds from 1 to MAX_SAVE_TIMEOUT_S.
static BOOL ParseSeconds(LPCWSTR pszText, DWORD* pdwSeconds) {
    DWORD dwValue = 0;
    if (*pszText == 0) {
        return FALSE;
    }
    for (; *pszText; ++pszText) {
        if (*pszText < TEXT('0') || *pszText > TEXT('9')) {
            return FALSE;
        }
        dwValue = dwValue * 10 + (DWORD)(*pszText - TEXT('0'));
        if (dwValue > MAX_SAVE_TIMEOUT_S) {
            return FALSE;
        }
    }
    if (dwValue == 0) {
        return FALSE;
    }
    *pdwSeconds = dwValue;
    return TRUE;
}

static int Usage(LPCWSTR pszProblem) {
    Line line;
    Begin(&line);
    Append(&line, pszProblem);
    PrintError(&line);
    ConsoleWriteW(TRUE, USAGE);
    return EXIT_USAGE;
}

extern "C" int wmain(int argc, WCHAR* argv[]) {
    if (argc < 2) {
        return Usage(TEXT("expected a command"));
    }
    LPCWSTR pszCommand = argv[1];
    if (SameText(pszCommand, TEXT("-h")) || SameText(pszCommand, TEXT("--help"))) {
        ConsoleWriteW(FALSE, USAGE);
        return EXIT_DONE;
    }
    if (SameText(pszCommand, TEXT("status")) && argc == 2) {
        return Status();
    }
    if (SameText(pszCommand, TEXT("clear")) && argc == 2) {
        return Clear();
    }
    if (SameText(pszCommand, TEXT("save"))) {
        DWORD dwTimeout = DEFAULT_SAVE_TIMEOUT_S;
        if (argc == 2) {
            return Save(dwTimeout);
        }
        if (argc == 4 && SameText(argv[2], TEXT("-t")) && ParseSeconds(argv[3], &dwTimeout)) {
            return Save(dwTimeout);
        }
        return Usage(TEXT("save: expected nothing, or -t and a number of seconds from 1 to 3600"));
    }
    if (SameText(pszCommand, TEXT("status")) || SameText(pszCommand, TEXT("clear"))) {
        return Usage(TEXT("expected nothing after the command"));
    }
    return Usage(TEXT("unknown command"));
}
