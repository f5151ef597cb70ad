// Runs the saver thread that keeps the saved-time store current.
#include "saver.h"

#include "store.h"

HANDLE g_hSaveEvent = NULL;

// Kept open, unlike a fire-and-forget thread, so that the saver can be waited for before
// the module goes away.
static HANDLE g_hSaveThread = NULL;
static volatile LONG g_lSaverRunning = 0;
static volatile LONG g_lStopRequested = 0;

extern "C" DWORD WINAPI SaveThreadProc(LPVOID pvUnused) {
    (void)pvUnused;
    for (;;) {
        if (WaitForSingleObject(g_hSaveEvent, SAVE_INTERVAL_MS) == WAIT_FAILED) {
            // A wait that fails at once must not turn into back-to-back snapshots.
            Sleep(SAVE_INTERVAL_MS);
        }
        // Requests made before this snapshot begins are all answered by it.
        WaitForSingleObject(g_hSaveEvent, 0);
        // Read before the snapshot, so the last snapshot always begins after the stop request.
        const LONG lStop = InterlockedCompareExchange(&g_lStopRequested, 0, 0);
        SaveCurrentTime();
        if (lStop) {
            return 0;
        }
    }
}

extern "C" void StartSaver(void) {
    if (InterlockedCompareExchange(&g_lSaverRunning, 1, 0) != 0) {
        return;
    }
    InterlockedExchange(&g_lStopRequested, 0);
    g_hSaveEvent = CreateEventW(NULL, FALSE, FALSE, SAVE_EVENT_NAME);
    if (g_hSaveEvent == NULL) {
        InterlockedExchange(&g_lSaverRunning, 0);
        return;
    }
    g_hSaveThread = CreateThread(NULL, 0, SaveThreadProc, NULL, 0, NULL);
    if (g_hSaveThread == NULL) {
        CloseHandle(g_hSaveEvent);
        g_hSaveEvent = NULL;
        InterlockedExchange(&g_lSaverRunning, 0);
    }
}

extern "C" void RequestSave(void) {
    // Without a saver there is nobody to ask, and a failed EventModify would leave an error
    // code behind for the caller of a request that sets none.
    if (g_hSaveEvent != NULL) {
        EventModify(g_hSaveEvent, EVENT_SET);
    }
}

extern "C" void StopSaver(void) {
    if (!IsSaverRunning()) {
        return;
    }
    InterlockedExchange(&g_lStopRequested, 1);
    EventModify(g_hSaveEvent, EVENT_SET);
    WaitForSingleObject(g_hSaveThread, INFINITE);
    CloseHandle(g_hSaveThread);
    g_hSaveThread = NULL;
    CloseHandle(g_hSaveEvent);
    g_hSaveEvent = NULL;
    InterlockedExchange(&g_lSaverRunning, 0);
}

extern "C" BOOL IsSaverRunning(void) {
    return InterlockedCompareExchange(&g_lSaverRunning, 0, 0) != 0;
}
