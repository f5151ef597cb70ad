// timewardctl: shows, saves and clears the snapshot of the clock that Timeward keeps, and checks
// the driver on the device. This file reads the command line and runs the command it names;
// ctl_commands.cpp does status, save and clear, and ctl_check.cpp the check-out, with what
// ctl_commands.cpp reads and asks of the driver.
#include "ctl_check.h"
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
static const WCHAR USAGE_HEAD[] =
    TEXT("usage: timewardctl status [--json] | save [-t SECONDS] | clear | check [--json]\n")
    TEXT("       timewardctl -h | --help | -? | /? | --version\n")
    TEXT("       timewardctl COMMAND --help\n");

// Each command: its form, and what it does under its name.
struct CTL_USAGE {
    LPCWSTR pszName;
    LPCWSTR pszForm;
    LPCWSTR pszWhat;
};
static const CTL_USAGE COMMAND_USAGE[] = {
    {TEXT("status"), TEXT("status [--json]"),
     TEXT("  status  the key, the driver, the snapshot and the one before it, the\n")
     TEXT("          switch, the interval, the floor, the clock, and what the next start\n")
     TEXT("          would do; --json: one JSON object\n")},
    {TEXT("save"), TEXT("save [-t SECONDS]"),
     TEXT("  save    asks the driver for a snapshot now (\"SaveRTCEvent\") and waits up\n")
     TEXT("          to SECONDS (1 to 3600, default 10) until it is in the store\n")},
    {TEXT("clear"), TEXT("clear"),
     TEXT("  clear   removes \"TimewardSignature\" and the records beside it, so that a\n")
     TEXT("          start restores nothing until the driver takes its next snapshot\n")},
    {TEXT("check"), TEXT("check [--json]"),
     TEXT("  check   checks the driver on this device: the key, the switch, the Device\n")
     TEXT("          Manager's list, the last snapshot, a requested one and the time-change\n")
     TEXT("          notification; one line each, PASS or FAIL with what to change\n")}};
static const DWORD COMMAND_COUNT = sizeof(COMMAND_USAGE) / sizeof(COMMAND_USAGE[0]);

// One meaning each, for every command.
static const WCHAR EXIT_STATUSES[] =
    TEXT("exit status:\n")
    TEXT("  0  done: status printed, the snapshot saved, the signature cleared (or\n")
    TEXT("     there was none), or every check passed\n")
    TEXT("  1  not done: no driver answered save, the signature stayed, or a check\n")
    TEXT("     failed\n")
    TEXT("  2  bad arguments: nothing was read or changed\n")
    TEXT("  3  the key HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvex\\Timeward is missing: status\n")
    TEXT("     still prints what it finds (check counts it as a failed check: 1)\n");
// clang-format on

// The usage of one command (pCommand), or of them all (NULL), on standard error when fError.
static void WriteUsage(BOOL fError, const CTL_USAGE* pCommand) {
    if (pCommand != NULL) {
        ConsoleWriteW(fError, TEXT("usage: timewardctl "));
        ConsoleWriteW(fError, pCommand->pszForm);
        ConsoleWriteW(fError, TEXT("\n"));
        ConsoleWriteW(fError, pCommand->pszWhat);
    } else {
        ConsoleWriteW(fError, USAGE_HEAD);
        for (DWORD i = 0; i < COMMAND_COUNT; ++i) {
            ConsoleWriteW(fError, COMMAND_USAGE[i].pszWhat);
        }
    }
    ConsoleWriteW(fError, EXIT_STATUSES);
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

// A word is quoted up to this many characters, so that what is wrong with it fits after it.
static const DWORD QUOTED_CHARS = 40;

// Says what is wrong with pszWord (NULL: nothing to quote), and how the command (NULL: the
// tool) is used.
static int Usage(LPCWSTR pszWord, LPCWSTR pszProblem, const CTL_USAGE* pCommand = NULL) {
    TEXT_LINE line;
    LineBegin(&line);
    if (pszWord != NULL) {
        WCHAR szQuoted[QUOTED_CHARS + 1];
        DWORD i = 0;
        for (; pszWord[i] != 0 && i < QUOTED_CHARS; ++i) {
            szQuoted[i] = pszWord[i];
        }
        szQuoted[i] = 0;
        LineAppend(&line, TEXT("'"));
        LineAppend(&line, szQuoted);
        LineAppend(&line, pszWord[i] != 0 ? TEXT("...': ") : TEXT("': "));
    }
    LineAppend(&line, pszProblem);
    PrintError(&line);
    WriteUsage(TRUE, pCommand);
    return EXIT_USAGE;
}

static BOOL IsHelpWord(LPCWSTR pszWord) {
    return SameText(pszWord, TEXT("-h")) || SameText(pszWord, TEXT("--help")) ||
           SameText(pszWord, TEXT("-?")) || SameText(pszWord, TEXT("/?"));
}

// A command that takes nothing but --json.
static int ReadJsonOnly(int argc, WCHAR* argv[], LPCWSTR pszProblem, const CTL_USAGE* pCommand,
                        CTL_REQUEST* pRequest) {
    if (argc == 2 || (argc == 3 && SameText(argv[2], TEXT("--json")))) {
        pRequest->fJson = argc == 3;
        return -1;
    }
    return Usage(argv[argc == 3 ? 2 : 3], pszProblem, pCommand);
}

static int ReadSave(int argc, WCHAR* argv[], const CTL_USAGE* pCommand, CTL_REQUEST* pRequest) {
    pRequest->dwTimeoutSeconds = DEFAULT_SAVE_TIMEOUT_S;
    if (argc == 2) {
        return -1;
    }
    if (!SameText(argv[2], TEXT("-t"))) {
        return Usage(argv[2], TEXT("save takes nothing, or -t SECONDS"), pCommand);
    }
    if (argc == 3) {
        return Usage(argv[2], TEXT("expected a number of seconds after it"), pCommand);
    }
    if (!ParseSeconds(argv[3], &pRequest->dwTimeoutSeconds)) {
        return Usage(argv[3], TEXT("expected a whole number of seconds from 1 to 3600"), pCommand);
    }
    if (argc > 4) {
        return Usage(argv[4], TEXT("save takes nothing after -t SECONDS"), pCommand);
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
    if (IsHelpWord(pszCommand)) {
        WriteUsage(FALSE, NULL);
        return EXIT_DONE;
    }
    if (SameText(pszCommand, TEXT("--version"))) {
        ConsoleWriteW(FALSE, TEXT("timewardctl ") WIDE(TIMEWARD_VERSION_TEXT) TEXT("\n"));
        return EXIT_DONE;
    }
    const CTL_USAGE* pCommand = NULL;
    for (DWORD i = 0; i < COMMAND_COUNT; ++i) {
        if (SameText(pszCommand, COMMAND_USAGE[i].pszName)) {
            pCommand = &COMMAND_USAGE[i];
        }
    }
    if (pCommand == NULL) {
        return Usage(pszCommand, TEXT("unknown command: expected status, save, clear or check"));
    }
    // A help word after the command, wherever it stands: that command's usage.
    for (int i = 2; i < argc; ++i) {
        if (IsHelpWord(argv[i])) {
            WriteUsage(FALSE, pCommand);
            return EXIT_DONE;
        }
    }
    if (SameText(pszCommand, TEXT("status"))) {
        pRequest->dwCommand = CTL_STATUS;
        return ReadJsonOnly(argc, argv, TEXT("status takes nothing but --json"), pCommand,
                            pRequest);
    }
    if (SameText(pszCommand, TEXT("check"))) {
        pRequest->dwCommand = CTL_CHECK;
        return ReadJsonOnly(argc, argv, TEXT("check takes nothing but --json"), pCommand, pRequest);
    }
    if (SameText(pszCommand, TEXT("clear"))) {
        pRequest->dwCommand = CTL_CLEAR;
        return argc == 2 ? -1 : Usage(argv[2], TEXT("clear takes nothing after it"), pCommand);
    }
    pRequest->dwCommand = CTL_SAVE;
    return ReadSave(argc, argv, pCommand, pRequest);
}

extern "C" int RunCtlRequest(const CTL_REQUEST* pRequest) {
    switch (pRequest->dwCommand) {
        case CTL_STATUS:
            return StatusCommand(pRequest->fJson);
        case CTL_SAVE:
            return SaveCommand(pRequest->dwTimeoutSeconds);
        case CTL_CLEAR:
            return ClearCommand();
        default:
            return CheckCommand(pRequest->fJson);
    }
}

extern "C" int wmain(int argc, WCHAR* argv[]) {
    CTL_REQUEST request;
    const int rc = ReadCtlCommandLine(argc, argv, &request);
    return rc >= 0 ? rc : RunCtlRequest(&request);
}
