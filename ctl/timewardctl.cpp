// timewardctl: shows, saves and clears the snapshot of the clock that Timeward keeps, and checks
// the driver on the device. This file reads the command line; ctl_commands.cpp and ctl_check.cpp
// do the commands.
#include "ctl_commands.h"
#include "ctl_output.h"
#include "platform.h"
#include "timeward_version.h"

#define WIDE(text) TEXT(text)

// How long save waits for the driver by default, and at the most.
static const DWORD DEFAULT_SAVE_TIMEOUT_S = 10;
static const DWORD MAX_SAVE_TIMEOUT_S = 3600;

// Every line within 80 columns: a device's console is narrow.
// clang-format off
static const WCHAR USAGE[] =
    TEXT("usage: timewardctl status [--json] | save [-t SECONDS] | clear | check [--json]\n")
    TEXT("       timewardctl -h | --help | /? | --version\n")
    TEXT("  status  the key, the driver, the snapshot, the switch, the clock, and what\n")
    TEXT("          the next start would do; --json: the same as one JSON object\n")
    TEXT("  save    asks the driver for a snapshot now (\"SaveRTCEvent\") and waits up\n")
    TEXT("          to SECONDS (1 to 3600, default 10) until it is in the store\n")
    TEXT("  clear   removes \"TimewardSignature\" and the records beside it, so that a\n")
    TEXT("          start restores nothing until the driver takes its next snapshot\n")
    TEXT("  check   checks the driver on this device: the key, the switch, the Device\n")
    TEXT("          Manager's list, the last snapshot, a requested one and the time-change\n")
    TEXT("          notification; one line each, PASS or FAIL with what to change\n")
    TEXT("exit status: 0 done, or every check passed; 1 not done (no driver answered,\n")
    TEXT("  or the value stayed), or a check failed; 2 bad arguments; 3 the key\n")
    TEXT("  HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvex\\Timeward is missing\n");
// clang-format on

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

// A command that takes nothing but --json.
static int ReadJsonOnly(int argc, WCHAR* argv[], LPCWSTR pszProblem, CTL_REQUEST* pRequest) {
    if (argc == 2 || (argc == 3 && SameText(argv[2], TEXT("--json")))) {
        pRequest->fJson = argc == 3;
        return -1;
    }
    return Usage(argv[argc == 3 ? 2 : 3], pszProblem);
}

static int ReadSave(int argc, WCHAR* argv[], CTL_REQUEST* pRequest) {
    pRequest->dwTimeoutSeconds = DEFAULT_SAVE_TIMEOUT_S;
    if (argc == 2) {
        return -1;
    }
    if (!SameText(argv[2], TEXT("-t"))) {
        return Usage(argv[2], TEXT("save takes nothing, or -t SECONDS"));
    }
    if (argc == 3) {
        return Usage(argv[2], TEXT("expected a number of seconds after it"));
    }
    if (!ParseSeconds(argv[3], &pRequest->dwTimeoutSeconds)) {
        return Usage(argv[3], TEXT("expected a whole number of seconds from 1 to 3600"));
    }
    if (argc > 4) {
        return Usage(argv[4], TEXT("save takes nothing after -t SECONDS"));
    }
    return -1;
}

extern "C" int ReadCtlCommandLine(int argc, WCHAR* argv[], CTL_REQUEST* pRequest) {
    pRequest->fJson = FALSE;
    pRequest->dwTimeoutSeconds = DEFAULT_SAVE_TIMEOUT_S;
    if (argc < 2) {
        return Usage(NULL, TEXT("expected a command: status, save, clear or check"));
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
        pRequest->dwCommand = CTL_STATUS;
        return ReadJsonOnly(argc, argv, TEXT("status takes nothing but --json"), pRequest);
    }
    if (SameText(pszCommand, TEXT("check"))) {
        pRequest->dwCommand = CTL_CHECK;
        return ReadJsonOnly(argc, argv, TEXT("check takes nothing but --json"), pRequest);
    }
    if (SameText(pszCommand, TEXT("clear"))) {
        pRequest->dwCommand = CTL_CLEAR;
        return argc == 2 ? -1 : Usage(argv[2], TEXT("clear takes nothing after it"));
    }
    if (SameText(pszCommand, TEXT("save"))) {
        pRequest->dwCommand = CTL_SAVE;
        return ReadSave(argc, argv, pRequest);
    }
    return Usage(pszCommand, TEXT("unknown command: expected status, save, clear or check"));
}

extern "C" int wmain(int argc, WCHAR* argv[]) {
    CTL_REQUEST request;
    const int rc = ReadCtlCommandLine(argc, argv, &request);
    return rc >= 0 ? rc : RunCtlRequest(&request);
}
