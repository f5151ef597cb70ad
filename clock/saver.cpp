// Runs the saver thread that keeps the saved-time store current, and owns its start and stop.
#include "saver.h"

#include "store.h"

// The saver's state and its lock.
//
// g_csSaver guards every variable below but g_lStopRequested, which the saver thread reads
// with an interlocked call. The lock is held only for steps that never block (counting,
// creating the event and the thread, setting the event, closing handles): never while anyone
// waits, and the saver thread never takes it, so it is never held while a snapshot is written
// and a power request never waits for one.
//
// There is at most one saver thread. A new one starts only after the old one has ended and its
// handles are closed, so the stop flag and the handles always belong to the one thread there
// is. A handle is closed only by whoever, under the lock, takes the last look at it: the event
// after requests can no longer reach it (g_hSaveEvent is NULL from the stop's start), the thread
// after every caller waiting for its end has seen it end.
static CRITICAL_SECTION g_csSaver;
static LONG g_lInstances = 0;        // initialised instances
HANDLE g_hSaveEvent = NULL;          // what requests set; NULL once a stop has begun
static HANDLE g_hSaverEvent = NULL;  // the thread's own handle of the event
static HANDLE g_hSaveThread = NULL;  // from the start until the thread has ended and is closed
static LONG g_lStopWaiters = 0;      // callers waiting, without the lock, for the thread's end
static BOOL g_fSavePending = FALSE;  // a request came while a stop was ending an old saver
static volatile LONG g_lStopRequested = 0;

extern "C" void InitSaverLock(void) {
    InitializeCriticalSection(&g_csSaver);
}

extern "C" void DeleteSaverLock(void) {
    DeleteCriticalSection(&g_csSaver);
}

static BOOL StopRequested(void) {
    return InterlockedCompareExchange(&g_lStopRequested, 0, 0) != 0;
}

extern "C" DWORD WINAPI SaveThreadProc(LPVOID pvSaveEvent) {
    const HANDLE hEvent = (HANDLE)pvSaveEvent;
    for (;;) {
        // A stop that came during the last snapshot is answered without a wait.
        if (!StopRequested() && WaitForSingleObject(hEvent, SAVE_INTERVAL_MS) == WAIT_FAILED) {
            // A wait that fails at once must not turn into back-to-back snapshots.
            Sleep(SAVE_INTERVAL_MS);
        }
        // One snapshot per wake: left reset, a manual-reset event that another process created
        // cannot make the saver spin, and the requests made before this snapshot begins are all
        // answered by it.
        EventModify(hEvent, EVENT_RESET);
        // Read before the snapshot, so the last snapshot always begins after the stop request.
        const BOOL fStop = StopRequested();
        SaveCurrentTime();
        if (fStop) {
            return 0;
        }
    }
}

// Starts a saver unless one exists, running or stopping; under the lock.
static void StartSaverLocked(void) {
    if (g_hSaveThread != NULL) {
        return;
    }
    const HANDLE hEvent = CreateEventW(NULL, FALSE, FALSE, SAVE_EVENT_NAME);
    if (hEvent == NULL) {
        return;
    }
    InterlockedExchange(&g_lStopRequested, 0);
    const HANDLE hThread = CreateThread(NULL, 0, SaveThreadProc, hEvent, 0, NULL);
    if (hThread == NULL) {
        CloseHandle(hEvent);
        return;
    }
    g_hSaverEvent = hEvent;
    g_hSaveEvent = hEvent;
    g_hSaveThread = hThread;
    if (g_fSavePending) {
        g_fSavePending = FALSE;
        EventModify(hEvent, EVENT_SET);
    }
}

// Waits for the stopping saver thread to end, without the lock; entered and left under it. The
// last caller to see the end closes the handles and, if an instance started meanwhile, starts
// its saver.
static void WaitForSaverEndLocked(void) {
    const HANDLE hThread = g_hSaveThread;
    ++g_lStopWaiters;
    LeaveCriticalSection(&g_csSaver);
    WaitForSingleObject(hThread, INFINITE);
    EnterCriticalSection(&g_csSaver);
    if (--g_lStopWaiters != 0) {
        return;
    }
    CloseHandle(g_hSaveThread);
    g_hSaveThread = NULL;
    CloseHandle(g_hSaverEvent);
    g_hSaverEvent = NULL;
    if (g_lInstances > 0) {
        StartSaverLocked();
    } else {
        g_fSavePending = FALSE;
    }
}

extern "C" void StartSaver(void) {
    EnterCriticalSection(&g_csSaver);
    ++g_lInstances;
    StartSaverLocked();
    LeaveCriticalSection(&g_csSaver);
}

extern "C" void RequestSave(void) {
    EnterCriticalSection(&g_csSaver);
    // Without a saver there is nobody to ask, and a failed EventModify would leave an error
    // code behind for the caller of a request that sets none.
    if (g_hSaveEvent != NULL) {
        EventModify(g_hSaveEvent, EVENT_SET);
    } else if (g_hSaveThread != NULL && g_lInstances > 0) {
        g_fSavePending = TRUE;  // the saver that follows the stopping one answers it
    }
    LeaveCriticalSection(&g_csSaver);
}

extern "C" BOOL StopSaver(void) {
    EnterCriticalSection(&g_csSaver);
    if (g_lInstances == 0) {
        LeaveCriticalSection(&g_csSaver);
        return FALSE;
    }
    --g_lInstances;
    if (g_lInstances == 0 && g_hSaveEvent != NULL) {
        InterlockedExchange(&g_lStopRequested, 1);
        EventModify(g_hSaveEvent, EVENT_SET);
        g_hSaveEvent = NULL;
    }
    // Also when another caller began the stop: the last instance's stop returns only once no
    // saver thread runs.
    if (g_lInstances == 0 && g_hSaveThread != NULL) {
        WaitForSaverEndLocked();
    }
    LeaveCriticalSection(&g_csSaver);
    return TRUE;
}

extern "C" BOOL IsSaverRunning(void) {
    EnterCriticalSection(&g_csSaver);
    const BOOL fRunning = g_hSaveEvent != NULL;
    LeaveCriticalSection(&g_csSaver);
    return fRunning;
}
