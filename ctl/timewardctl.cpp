// timewardctl: shows, saves and clears the snapshot of the clock that Timeward keeps.
//
// It reads the store with the driver's own reader and conversion, so what it says the next
// start would do is what the driver would do. It writes nothing but the requests the driver
// already takes: the save event, and the removal of the signature. The switch is never written.
#include "platform.h"
#include "saver.h"
#include "startup.h"
#include "store_status.h"
#include "status_text.h"
#include "store.h"
#include "timeward_version.h"

#define WIDE(text) TEXT(text)

// Exit statuses, for scripts.
static const int EXIT_DONE = 0;      // the command did what it says
static const int EXIT_NOT_DONE = 1;  // save: no driver answered; clear: the value stayed
static const int EXIT_USAGE = 2;     // bad arguments
static const int EXIT_NO_KEY = 3;    // the store's key is not in the registry

// How long save waits for the driver by default, and how often it looks at the store.
static const DWORD DEFAULT_SAVE_TIMEOUT_S = 10;
static const DWORD MAX_SAVE_TIMEOUT_S = 3600;
static const DWORD POLL_INTERVAL_MS = 100;

// Every line within 80 columns: a device's console is narrow.
// clang-format off
static const WCHAR USAGE[] =
    TEXT("usage: timewardctl status [--json] | save [-t SECONDS] | clear\n")
    TEXT("       timewardctl -h | --help | /? | --version\n")
    TEXT("  status  the key, the driver, the snapshot, the switch, the clock, and what\n")
    TEXT("          the next start would do; --json: the same as one JSON object\n")
    TEXT("  save    asks the driver for a snapshot now (\"SaveRTCEvent\") and waits up\n")
    TEXT("          to SECONDS (1 to 3600, default 10) until it is in the store\n")
    TEXT("  clear   removes \"TimewardSignature\", so that a start restores nothing\n")
    TEXT("          until the driver takes its next snapshot\n")
    TEXT("exit status: 0 done; 1 not done (no driver answered, or the value stayed);\n")
    TEXT("  2 bad arguments; 3 the key HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvex\\Timeward\n")
    TEXT("  is missing\n");
// clang-format on

static void Print(const TEXT_LINE* pLine) {
    ConsoleWriteW(FALSE, pLine->sz);
    ConsoleWriteW(FALSE, TEXT("\n"));
}

static void PrintLine(void*, const TEXT_LINE* pLine) {
    Print(pLine);
}

// An error, and the line that says why, on standard error.
static void PrintError(const TEXT_LINE* pLine, LPCWSTR pszWhy = NULL) {
    ConsoleWriteW(TRUE, TEXT("timewardctl: "));
    ConsoleWriteW(TRUE, pLine->sz);
    ConsoleWriteW(TRUE, TEXT("\n"));
    if (pszWhy != NULL) {
        ConsoleWriteW(TRUE, TEXT("  "));
        ConsoleWriteW(TRUE, pszWhy);
        ConsoleWriteW(TRUE, TEXT("\n"));
    }
}

// Says that the store's key is not there, and why that stops the command.
static int NoKey(LPCWSTR pszWhy) {
    TEXT_LINE line;
    LineBegin(&line);
    LineAppend(&line, TEXT("the key HKEY_LOCAL_MACHINE\\"));
    LineAppend(&line, TIMEWARD_KEY_PATH);
    LineAppend(&line, TEXT(" is missing"));
    PrintError(&line, pszWhy);
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

static BOOL SameRecord(const SYSTEMTIME* pA, const SYSTEMTIME* pB) {
    return pA->wYear == pB->wYear && pA->wMonth == pB->wMonth && pA->wDayOfWeek == pB->wDayOfWeek &&
           pA->wDay == pB->wDay && pA->wHour == pB->wHour && pA->wMinute == pB->wMinute &&
           pA->wSecond == pB->wSecond && pA->wMilliseconds == pB->wMilliseconds;
}

// The store as the start-up check reads it, with the clock as it is now.
static int Status(BOOL fJson) {
    STORE_READER reader;
    RegistryStoreReader(&reader);
    SYSTEMTIME stNow;
    GetSystemTime(&stNow);
    STORE_STATUS status;
    ReadStoreStatus(&reader, &stNow, &status);
    if (fJson) {
        WriteStatusJson(&status, PrintLine, NULL);
    } else {
        WriteStatusLines(&status, PrintLine, NULL);
    }
    return status.fKey ? EXIT_DONE : EXIT_NO_KEY;
}

static int Save(DWORD dwTimeoutSeconds) {
    TEXT_LINE line;
    if (!KeyExists()) {
        return NoKey(TEXT("the driver cannot save without it"));
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
        LineBegin(&line);
        LineAppend(&line, TEXT("no driver answered: nothing holds \"SaveRTCEvent\""));
        PrintError(&line, TEXT("is Timeward.dll loaded, and \"TimewardImplemented\" not 1?"));
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

    LineBegin(&line);
    if (!fSaved) {
        LineAppend(&line, TEXT("no driver answered within "));
        LineAppendNumber(&line, dwTimeoutSeconds, 1);
        LineAppend(&line, TEXT(" s: the snapshot is unchanged"));
        PrintError(&line);
        return EXIT_NOT_DONE;
    }
    LineAppend(&line, TEXT("saved: the snapshot is "));
    LineAppendDate(&line, &stSeen);
    Print(&line);
    return EXIT_DONE;
}

static int Clear(void) {
    TEXT_LINE line;
    HKEY hKey;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TIMEWARD_KEY_PATH, 0, KEY_ALL_ACCESS, &hKey) !=
        ERROR_SUCCESS) {
        return NoKey(TEXT("or cannot be opened"));
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

    LineBegin(&line);
    if (lResult != ERROR_SUCCESS) {
        LineAppend(&line, TEXT("cannot remove \"TimewardSignature\" (error "));
        LineAppendNumber(&line, (DWORD)lResult, 1);
        LineAppend(&line, TEXT("): the snapshot stays"));
        PrintError(&line);
        return EXIT_NOT_DONE;
    }
    LineAppend(&line, fPresent ? TEXT("cleared: \"TimewardSignature\" removed")
                               : TEXT("cleared: there was no \"TimewardSignature\""));
    Print(&line);
    STORE_READER reader;
    RegistryStoreReader(&reader);
    if (reader.pfnDriverRunning(reader.pContext)) {
        ConsoleWriteW(FALSE, TEXT("note: the driver is running; its next snapshot (within five ")
                                 TEXT("minutes,\n  or on suspend) makes a new one. Restart before ")
                                     TEXT("then to start\n  without one.\n"));
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

// Says what is wrong with pszWord (NULL: nothing to quote), and how the tool is used.
static int Usage(LPCWSTR pszWord, LPCWSTR pszProblem) {
    TEXT_LINE line;
    LineBegin(&line);
    if (pszWord != NULL) {
        LineAppend(&line, TEXT("'"));
        LineAppend(&line, pszWord);
        LineAppend(&line, TEXT("': "));
    }
    LineAppend(&line, pszProblem);
    PrintError(&line);
    ConsoleWriteW(TRUE, USAGE);
    return EXIT_USAGE;
}

extern "C" int wmain(int argc, WCHAR* argv[]) {
    if (argc < 2) {
        return Usage(NULL, TEXT("expected a command: status, save or clear"));
    }
    LPCWSTR pszCommand = argv[1];
    if (SameText(pszCommand, TEXT("-h")) || SameText(pszCommand, TEXT("--help")) ||
        SameText(pszCommand, TEXT("/?"))) {
        ConsoleWriteW(FALSE, USAGE);
        return EXIT_DONE;
    }
    if (SameText(pszCommand, TEXT("--version"))) {
        ConsoleWriteW(FALSE, TEXT("timewardctl ") WIDE(TIMEWARD_VERSION_TEXT) TEXT("\n"));
        return EXIT_DONE;
    }
    if (SameText(pszCommand, TEXT("status"))) {
        if (argc == 2 || (argc == 3 && SameText(argv[2], TEXT("--json")))) {
            return Status(argc == 3);
        }
        return Usage(argv[argc == 3 ? 2 : 3], TEXT("status takes nothing but --json"));
    }
    if (SameText(pszCommand, TEXT("clear"))) {
        if (argc == 2) {
            return Clear();
        }
        return Usage(argv[2], TEXT("clear takes nothing after it"));
    }
    if (SameText(pszCommand, TEXT("save"))) {
        DWORD dwTimeout = DEFAULT_SAVE_TIMEOUT_S;
        if (argc == 2) {
            return Save(dwTimeout);
        }
        if (!SameText(argv[2], TEXT("-t"))) {
            return Usage(argv[2], TEXT("save takes nothing, or -t SECONDS"));
        }
        if (argc == 3) {
            return Usage(argv[2], TEXT("expected a number of seconds after it"));
        }
        if (!ParseSeconds(argv[3], &dwTimeout)) {
            return Usage(argv[3], TEXT("expected a whole number of seconds from 1 to 3600"));
        }
        if (argc > 4) {
            return Usage(argv[4], TEXT("save takes nothing after -t SECONDS"));
        }
        return Save(dwTimeout);
    }
    return Usage(pszCommand, TEXT("unknown command: expected status, save or clear"));
}
