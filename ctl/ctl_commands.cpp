// timewardctl's commands. They read the store with the driver's own reader and conversion, so
// what status says the next start would do is what the driver would do, and write nothing but
// the requests the driver already takes: the save event, and the removal of the signature.
#include "ctl_commands.h"

#include "ctl_output.h"
#include "saver.h"
#include "startup.h"
#include "status_text.h"
#include "store.h"
#include "store_status.h"

// How often save looks at the store.
static const DWORD POLL_INTERVAL_MS = 100;

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

void ReadStatusNow(STORE_STATUS* pStatus) {
    STORE_READER reader;
    RegistryStoreReader(&reader);
    SYSTEMTIME stNow;
    GetSystemTime(&stNow);
    ReadStoreStatus(&reader, &stNow, pStatus);
}

int StatusCommand(BOOL fJson) {
    STORE_STATUS status;
    ReadStatusNow(&status);
    if (fJson) {
        WriteStatusJson(&status, PrintLine, NULL);
    } else {
        WriteStatusLines(&status, PrintLine, NULL);
    }
    return status.fKey ? EXIT_DONE : EXIT_NO_KEY;
}

DWORD RequestSnapshot(DWORD dwTimeoutSeconds, SYSTEMTIME* pstSaved) {
    // A snapshot in the same second as the last one may hold the same time: the generation
    // tells them apart, and a record counts once all its values match its check.
    STORE_RECORDS records;
    ReadStore(&records);
    const DWORD dwBefore = NewestGeneration(&records);

    // The driver creates the event when it starts; if this call creates it, nobody listens.
    SetLastError(ERROR_SUCCESS);
    HANDLE hEvent = CreateEventW(NULL, FALSE, FALSE, SAVE_EVENT_NAME);
    if (hEvent == NULL || GetLastError() != ERROR_ALREADY_EXISTS) {
        if (hEvent != NULL) {
            CloseHandle(hEvent);
        }
        return REQUEST_NO_DRIVER;
    }
    EventModify(hEvent, EVENT_SET);

    const DWORD dwStart = GetTickCount();
    const DWORD dwTimeoutMs = dwTimeoutSeconds * 1000;
    BOOL fSaved = FALSE;
    for (;;) {
        ReadStore(&records);
        // Generations only grow: a wrap after four billion snapshots is no concern here.
        if (NewestGeneration(&records) > dwBefore && RecordToRestore(&records, pstSaved)) {
            fSaved = TRUE;
            break;
        }
        if (GetTickCount() - dwStart >= dwTimeoutMs) {
            break;
        }
        Sleep(POLL_INTERVAL_MS);
    }
    CloseHandle(hEvent);
    return fSaved ? REQUEST_SAVED : REQUEST_NO_ANSWER;
}

int SaveCommand(DWORD dwTimeoutSeconds) {
    TEXT_LINE line;
    if (!KeyExists()) {
        return NoKey(TEXT("the driver cannot save without it"));
    }
    SYSTEMTIME stSaved;
    const DWORD dwResult = RequestSnapshot(dwTimeoutSeconds, &stSaved);
    LineBegin(&line);
    if (dwResult == REQUEST_NO_DRIVER) {
        LineAppend(&line, TEXT("no driver answered: nothing holds \"SaveRTCEvent\""));
        PrintError(&line, TEXT("is Timeward.dll loaded, and \"TimewardImplemented\" not 1?"));
        return EXIT_NOT_DONE;
    }
    if (dwResult == REQUEST_NO_ANSWER) {
        LineAppend(&line, TEXT("no driver answered within "));
        LineAppendNumber(&line, dwTimeoutSeconds, 1);
        LineAppend(&line, TEXT(" s: the snapshot is unchanged"));
        PrintError(&line);
        return EXIT_NOT_DONE;
    }
    LineAppend(&line, TEXT("saved: the snapshot is "));
    LineAppendDate(&line, &stSaved);
    Print(&line);
    return EXIT_DONE;
}

int ClearCommand(void) {
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
    }
    if (lResult == ERROR_SUCCESS) {
        // Without the signature nothing is restored; the record kept before the snapshot goes
        // too, and the driver's headers with it, so that a driver that writes none of them
        // starts this key afresh as well.
        static const LPCWSTR KEPT[] = {PREVIOUS_VALUE_NAME, RECORD_VALUE_NAME, CHECK_VALUE_NAME};
        BOOL fChanged = fPresent;
        for (DWORD i = 0; i < sizeof(KEPT) / sizeof(KEPT[0]); ++i) {
            fChanged = RegDeleteValueW(hKey, KEPT[i]) == ERROR_SUCCESS || fChanged;
        }
        if (fChanged) {
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
    BOOL fKnown;
    if (reader.pfnDriverRunning(reader.pContext, &fKnown)) {
        ConsoleWriteW(FALSE, TEXT("note: the driver is running; its next snapshot (within five ")
                                 TEXT("minutes,\n  or on suspend) makes a new one. Restart before ")
                                     TEXT("then to start\n  without one.\n"));
    }
    return EXIT_DONE;
}
