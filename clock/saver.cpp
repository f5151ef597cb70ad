// Runs the saver thread that keeps the saved-time store current, and owns its start and stop.
#include "saver.h"

#include "interval.h"
#include "seconds.h"
#include "startup.h"
#include "store.h"
#include "time_change.h"

// What one saver thread works with. Written under the saver's lock before the thread starts,
// read by that thread alone while it runs, and closed under the lock once it has ended.
struct SAVER {
    // The thread's wake-up event first, then "SaveRTCEvent" and the time-change event where
    // they could be had.
    HANDLE ahEvents[3];
    DWORD cEvents;
    BOOL fTimeChangeEvent;  // the last of ahEvents is the time-change event
    HMODULE hModule;        // the thread's own reference to the module; NULL without one
    HANDLE hThread;         // from the start until the thread has ended and is closed
};

// The saver's state and its locks.
//
// g_csSaver guards every variable below but g_lStopRequested, g_lSaveRequested and g_lResumed,
// which callers set under it and the saver thread reads and clears with interlocked calls
// without it, and g_hSaverModule, set once at attach. A caller sets one of these before it sets
// the wake-up event, so the wake finds it set. The lock is held only for
// steps that never wait for anything (counting, creating the events, taking a reference to
// the module and starting the thread, setting an event, closing handles), and the saver thread
// never takes it, so it is never held while a snapshot is written and a power request never
// waits for one.
//
// There is at most one saver thread. A new one starts only after the old one has ended and its
// handles are closed, so the stop flag and g_saver always belong to the one thread there is. A
// handle is closed only by whoever, under the lock, takes the last look at it: the events after
// requests can no longer reach them (g_hWakeEvent is NULL from the stop's start), the thread
// after every caller waiting for its end has seen it end.
//
// g_csSnapshot is held while the saver writes and flushes a snapshot and while start-up reads
// one, and for nothing else: it never waits for anything while held, and the power requests
// never take it.
static CRITICAL_SECTION g_csSaver;
static CRITICAL_SECTION g_csSnapshot;
static HMODULE g_hSaverModule = NULL;
static LONG g_lInstances = 0;        // initialised instances
HANDLE g_hSaveEvent = NULL;          // "SaveRTCEvent", from the start until it is closed
static HANDLE g_hWakeEvent = NULL;   // what requests and the stop set; NULL once a stop has begun
static SAVER g_saver;                // the thread's; hThread is NULL while there is no thread
static LONG g_lStopWaiters = 0;      // callers waiting, without the lock, for the thread's end
static BOOL g_fSavePending = FALSE;  // a request came while a stop was ending an old saver
// Touched only through the Interlocked calls, which take a plain LONG * on Windows CE 5.0.
static LONG g_lStopRequested = 0;
static LONG g_lSaveRequested = 0;  // a request came since the last snapshot
static LONG g_lResumed = 0;        // a resume came since the last snapshot

extern "C" void InitSaverLock(void) {
    InitializeCriticalSection(&g_csSaver);
    InitializeCriticalSection(&g_csSnapshot);
}

extern "C" void DeleteSaverLock(void) {
    DeleteCriticalSection(&g_csSnapshot);
    DeleteCriticalSection(&g_csSaver);
}

extern "C" void SetSaverModule(HMODULE hModule) {
    g_hSaverModule = hModule;
}

static BOOL StopRequested(void) {
    return InterlockedCompareExchange(&g_lStopRequested, 0, 0) != 0;
}

// The first snapshot of a start comes within this, whatever the interval: a device whose
// power goes within one long interval of each start still gets past the snapshot it restored.
static const DWORD FIRST_SNAPSHOT_MAX_MS = 300000;

// A set of the clock is saved at once at most this often; a set within this long of the last
// snapshot taken for one is saved when this long is up. Two programs that set the clock every
// second, one to local time and one to UTC, cost one snapshot a minute.
static const DWORD SET_SNAPSHOT_SPACING_MS = 60000;

// The saver registers for time changes this long after it starts, so that a notification
// subsystem that is slow to answer early in boot cannot hold back a request or a stop made
// meanwhile; a registration that fails is tried again after a pause that begins at this long and
// doubles, up to WATCH_RETRY_MAX_MS.
static const DWORD FIRST_WATCH_DELAY_MS = 1000;
static const DWORD WATCH_RETRY_MAX_MS = 60000;

// While nothing notifies the saver of time changes, it looks at the clock at least this often.
static const DWORD UNWATCHED_LOOK_MS = 300000;

// While no wait works at all, the saver pauses this long at a time and looks for a stop
// between pauses: a stop ends it within one pause, and it never spins.
static const DWORD FAILED_WAIT_PAUSE_MS = 1000;

// Where the clock was at one moment: its reading, in seconds since 1961, and the tick count. The
// tick count stands still while the device is suspended; the clock does not.
struct CLOCK_POINT {
    SYSTEMTIME stTime;
    DWORD dwSeconds;
    DWORD dwTick;
};

static void ReadClockPoint(CLOCK_POINT* pPoint) {
    GetSystemTime(&pPoint->stTime);
    pPoint->dwTick = GetTickCount();
    SYSTEMTIME stTime = pPoint->stTime;
    SecondsSince1961(&stTime, &pPoint->dwSeconds);
}

// TRUE when the clock is more than the restore margin, either way, from where it would be had it
// run on from pBase: the changes a later start would otherwise undo or lose. Smaller ones (a time
// client's nudges) wait for the periodic snapshot, and add up against pBase, not against the last
// look. Unsigned differences, so that the tick count may wrap between the two.
static BOOL ClockMovedFrom(const CLOCK_POINT* pBase, const CLOCK_POINT* pNow) {
    const DWORD dwRunning = pBase->dwSeconds + (pNow->dwTick - pBase->dwTick) / MS_PER_SECOND;
    const DWORD dwAhead = pNow->dwSeconds - dwRunning;
    return dwAhead > RESTORE_MARGIN_SECONDS && dwAhead < 0u - RESTORE_MARGIN_SECONDS;
}

// What is left at dwNow of dwSpan from dwFrom, in ticks.
static DWORD TimeLeft(DWORD dwFrom, DWORD dwSpan, DWORD dwNow) {
    const DWORD dwPassed = dwNow - dwFrom;
    return dwPassed >= dwSpan ? 0 : dwSpan - dwPassed;
}

static DWORD Shorter(DWORD dwA, DWORD dwB) {
    return dwA < dwB ? dwA : dwB;
}

// After a wait on all the saver's events failed (a handle closed under it by a bug elsewhere):
// waits up to dwMs on its own wake-up event, which a stop sets, and where even that fails,
// pauses that long in short pauses. WAIT_OBJECT_0 when the wake-up event was set, else
// WAIT_TIMEOUT.
static DWORD WaitAfterFailedWait(HANDLE hWake, DWORD dwMs) {
    const DWORD dwResult = WaitForSingleObject(hWake, dwMs);
    if (dwResult != WAIT_FAILED) {
        return dwResult == WAIT_OBJECT_0 ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
    const DWORD dwStart = GetTickCount();
    for (;;) {
        const DWORD dwPassed = GetTickCount() - dwStart;
        if (StopRequested() || dwPassed >= dwMs) {
            return WAIT_TIMEOUT;
        }
        const DWORD dwLeft = dwMs - dwPassed;
        Sleep(dwLeft < FAILED_WAIT_PAUSE_MS ? dwLeft : FAILED_WAIT_PAUSE_MS);
    }
}

// What the saver thread keeps from one pass to the next; its own, touched by no other thread.
struct SAVER_PASSES {
    DWORD dwSnapshotTick;  // the last snapshot's, or the start's
    DWORD dwDueMs;         // from dwSnapshotTick to the periodic snapshot
    CLOCK_POINT base;      // the last snapshot's reading, or the last resume's: where the
                           // clock runs from
    BOOL fSetSaved;        // a snapshot was taken for a set of the clock, at dwSetTick
    DWORD dwSetTick;
    BOOL fSetWaiting;  // a set came within SET_SNAPSHOT_SPACING_MS of it: saved when that is up
    TIME_CHANGE_WATCH watch;
    BOOL fSaidUnwatched;
    DWORD dwTryTick;    // the start, or the last registration that failed
    DWORD dwRetryMs;    // from dwTryTick to the next registration
    DWORD dwBackoffMs;  // the pause after the next failure
    DWORD dwLookTick;   // the last look at the clock
    BOOL fLookAgain;    // the registration was just made: look at the clock at once
};

// How long the saver may wait before its next pass.
static DWORD NextWaitMs(SAVER_PASSES* pPasses) {
    const DWORD dwNow = GetTickCount();
    DWORD dwWait = TimeLeft(pPasses->dwSnapshotTick, pPasses->dwDueMs, dwNow);
    if (pPasses->watch == TIME_CHANGES_UNWATCHED) {
        dwWait = Shorter(dwWait, TimeLeft(pPasses->dwTryTick, pPasses->dwRetryMs, dwNow));
    }
    // A set that nothing notifies is found by a look.
    if (pPasses->watch != TIME_CHANGES_WATCHED) {
        dwWait = Shorter(dwWait, TimeLeft(pPasses->dwLookTick, UNWATCHED_LOOK_MS, dwNow));
    }
    if (pPasses->fSetWaiting) {
        dwWait = Shorter(dwWait, TimeLeft(pPasses->dwSetTick, SET_SNAPSHOT_SPACING_MS, dwNow));
    }
    if (pPasses->fLookAgain) {
        pPasses->fLookAgain = FALSE;
        dwWait = 0;
    }
    return dwWait;
}

// Registers for time changes when the next try is due. The first time a registration fails
// after none or after one that was made, says so with its error.
static void TryToWatch(SAVER_PASSES* pPasses) {
    if (pPasses->watch != TIME_CHANGES_UNWATCHED ||
        TimeLeft(pPasses->dwTryTick, pPasses->dwRetryMs, GetTickCount()) != 0) {
        return;
    }
    pPasses->watch = WatchTimeChanges();
    const DWORD dwError = GetLastError();
    if (pPasses->watch == TIME_CHANGES_WATCHED) {
        // A change between this pass's reading of the clock and the registration is notified
        // to nobody: the next pass reads the clock again without waiting.
        pPasses->fLookAgain = TRUE;
        return;
    }
    if (pPasses->watch == TIME_CHANGES_UNWATCHED) {
        if (!pPasses->fSaidUnwatched) {
            NKDbgPrintfW(TEXT("TimewardTimeChanged cannot be registered (error %u): a clock that "
                              "is set is saved at the next snapshot until it is\r\n"),
                         dwError);
            pPasses->fSaidUnwatched = TRUE;
        }
        pPasses->dwTryTick = GetTickCount();
        pPasses->dwRetryMs = pPasses->dwBackoffMs;
        pPasses->dwBackoffMs = Shorter(2 * pPasses->dwBackoffMs, WATCH_RETRY_MAX_MS);
    }
}

extern "C" DWORD WINAPI SaveThreadProc(LPVOID pvSaver) {
    const SAVER* pSaver = (const SAVER*)pvSaver;
    const DWORD dwIntervalMs = ReadSaveIntervalMs();
    const DWORD dwTimeChange =
        pSaver->fTimeChangeEvent ? pSaver->cEvents - 1 : MAXIMUM_WAIT_OBJECTS;
    SAVER_PASSES passes;
    ReadClockPoint(&passes.base);
    passes.dwSnapshotTick = passes.base.dwTick;
    passes.dwDueMs = Shorter(dwIntervalMs, FIRST_SNAPSHOT_MAX_MS);
    passes.fSetSaved = FALSE;
    passes.dwSetTick = 0;
    passes.fSetWaiting = FALSE;
    passes.watch = pSaver->fTimeChangeEvent ? TIME_CHANGES_UNWATCHED : TIME_CHANGES_UNAVAILABLE;
    passes.fSaidUnwatched = FALSE;
    passes.dwTryTick = passes.base.dwTick;
    passes.dwRetryMs = FIRST_WATCH_DELAY_MS;
    passes.dwBackoffMs = FIRST_WATCH_DELAY_MS;
    passes.dwLookTick = passes.base.dwTick;
    passes.fLookAgain = FALSE;
    for (;;) {
        // A stop that came during the last snapshot is answered without a wait.
        DWORD dwWake = WAIT_OBJECT_0;
        if (!StopRequested()) {
            const DWORD dwWait = NextWaitMs(&passes);
            dwWake = WaitForMultipleObjects(pSaver->cEvents, pSaver->ahEvents, FALSE, dwWait);
            if (dwWake == WAIT_FAILED) {
                dwWake = WaitAfterFailedWait(pSaver->ahEvents[0], dwWait);
            }
        }
        // A request is answered by a snapshot, as is the stop; a resume alone by a new base, as
        // the tick count stood still while the clock ran on. With neither flag left, a snapshot
        // since its caller set it has answered it already.
        BOOL fSave = FALSE;
        BOOL fResumed = FALSE;
        if (dwWake == WAIT_OBJECT_0) {
            fSave = InterlockedExchange(&g_lSaveRequested, 0) != 0;
            fResumed = !fSave && InterlockedExchange(&g_lResumed, 0) != 0;
        } else if (dwWake != WAIT_TIMEOUT && dwWake != WAIT_OBJECT_0 + dwTimeChange) {
            fSave = TRUE;  // "SaveRTCEvent"
        }
        // Read before the snapshot, so the last snapshot always begins after the stop request.
        BOOL fStop = StopRequested();
        BOOL fForSet = FALSE;
        if (!fSave && !fStop) {
            // Reset before the clock is read: a change notified after the reading wakes the
            // saver again. A manual-reset "TimewardTimeChanged" that another process created
            // would otherwise stay set and wake it again at once, for ever.
            if (pSaver->fTimeChangeEvent) {
                EventModify(pSaver->ahEvents[dwTimeChange], EVENT_RESET);
            }
            CLOCK_POINT now;
            ReadClockPoint(&now);
            passes.dwLookTick = now.dwTick;
            if (fResumed) {
                passes.base = now;
            }
            fSave = now.dwTick - passes.dwSnapshotTick >= passes.dwDueMs;
            // A set that waits for its minute is judged again when it is up: the clock may be
            // back where it runs by then.
            const BOOL fMoved = !fSave && ClockMovedFrom(&passes.base, &now);
            fForSet = fMoved && (!passes.fSetSaved ||
                                 now.dwTick - passes.dwSetTick >= SET_SNAPSHOT_SPACING_MS);
            passes.fSetWaiting = fMoved && !fForSet;
            fSave = fSave || fForSet;
        }
        if (fSave || fStop) {
            // One snapshot per wake: left reset, an event set at the same time as the one that
            // woke the saver, or a manual-reset "SaveRTCEvent" that another process created,
            // cannot make it snapshot again at once, and the requests made before this
            // snapshot reads the clock are all answered by it. A wake without a snapshot leaves
            // them set, so that a request that came with a time change is answered next.
            for (DWORD i = 0; i < pSaver->cEvents; ++i) {
                EventModify(pSaver->ahEvents[i], EVENT_RESET);
            }
            InterlockedExchange(&g_lSaveRequested, 0);
            InterlockedExchange(&g_lResumed, 0);
            // A stop that came since the flag was read is answered by this snapshot, which reads
            // the clock after it: the saver ends here instead of taking another for the stop.
            fStop = fStop || StopRequested();
            CLOCK_POINT snapshot;
            ReadClockPoint(&snapshot);
            EnterCriticalSection(&g_csSnapshot);
            SaveSnapshotOf(&snapshot.stTime);
            LeaveCriticalSection(&g_csSnapshot);
            passes.base = snapshot;
            passes.dwLookTick = snapshot.dwTick;
            passes.dwSnapshotTick = snapshot.dwTick;
            passes.dwDueMs = dwIntervalMs;
            passes.fSetWaiting = FALSE;
            if (fForSet) {
                passes.fSetSaved = TRUE;
                passes.dwSetTick = snapshot.dwTick;
            }
        }
        if (fStop) {
            break;
        }
        // After the wake's snapshot, never before it.
        TryToWatch(&passes);
    }
    if (passes.watch == TIME_CHANGES_WATCHED) {
        UnwatchTimeChanges();
    }
    if (pSaver->hModule != NULL) {
        FreeLibraryAndExitThread(pSaver->hModule, 0);
    }
    return 0;
}

// "SaveRTCEvent", created or, where this process may open but not create it, opened; NULL when
// another kind of object holds the name or it cannot be had at all, which the debug output says.
static HANDLE OpenSaveEvent(void) {
    HANDLE hEvent = CreateEventW(NULL, FALSE, FALSE, SAVE_EVENT_NAME);
    if (hEvent != NULL) {
        return hEvent;
    }
    const DWORD dwError = GetLastError();
    hEvent = OpenEventW(EVENT_ALL_ACCESS, FALSE, SAVE_EVENT_NAME);  // the one access CE takes
    if (hEvent == NULL) {
        NKDbgPrintfW(TEXT("SaveRTCEvent cannot be opened (error %u): requests by name will not "
                          "be heard\r\n"),
                     dwError);
    }
    return hEvent;
}

// A reference to the module for the saver thread to hold, or NULL. The module is loaded again
// by its own file name, which only counts one more reference to it.
static HMODULE HoldSaverModule(void) {
    if (g_hSaverModule == NULL) {
        return NULL;
    }
    WCHAR szFile[MAX_PATH];
    const DWORD cchFile = GetModuleFileNameW(g_hSaverModule, szFile, MAX_PATH);
    if (cchFile == 0 || cchFile >= MAX_PATH - 1) {
        return NULL;  // a name that fills the buffer may have been cut short
    }
    const HMODULE hModule = LoadLibraryW(szFile);
    if (hModule != NULL && hModule != g_hSaverModule) {
        FreeLibrary(hModule);
        return NULL;
    }
    return hModule;
}

// Closes the events of g_saver; under the lock.
static void CloseSaverEventsLocked(void) {
    for (DWORD i = 0; i < g_saver.cEvents; ++i) {
        CloseHandle(g_saver.ahEvents[i]);
    }
    g_saver.cEvents = 0;
    g_hSaveEvent = NULL;
}

// Says why there is no saver: its private event or its thread could not be created.
static void SayTheSaverCannotStart(void) {
    NKDbgPrintfW(TEXT("The saver cannot start (error %u): no snapshot will be taken\r\n"),
                 GetLastError());
}

// Starts a saver unless one exists, running or stopping; under the lock.
static void StartSaverLocked(void) {
    if (g_saver.hThread != NULL) {
        return;
    }
    const HANDLE hWake = CreateEventW(NULL, FALSE, FALSE, NULL);
    if (hWake == NULL) {
        SayTheSaverCannotStart();
        return;
    }
    g_saver.ahEvents[0] = hWake;
    g_saver.cEvents = 1;
    g_hSaveEvent = OpenSaveEvent();
    if (g_hSaveEvent != NULL) {
        g_saver.ahEvents[g_saver.cEvents++] = g_hSaveEvent;
    }
    const HANDLE hTimeChange = CreateEventW(NULL, FALSE, FALSE, TIME_CHANGE_EVENT_NAME);
    g_saver.fTimeChangeEvent = hTimeChange != NULL;
    if (hTimeChange != NULL) {
        g_saver.ahEvents[g_saver.cEvents++] = hTimeChange;
    } else {
        NKDbgPrintfW(TEXT("TimewardTimeChanged cannot be created (error %u): a clock that is set "
                          "is saved at the next snapshot, not at once\r\n"),
                     GetLastError());
    }

    InterlockedExchange(&g_lStopRequested, 0);
    InterlockedExchange(&g_lSaveRequested, 0);
    InterlockedExchange(&g_lResumed, 0);
    g_saver.hModule = HoldSaverModule();
    g_saver.hThread = CreateThread(NULL, 0, SaveThreadProc, &g_saver, 0, NULL);
    if (g_saver.hThread == NULL) {
        SayTheSaverCannotStart();
        if (g_saver.hModule != NULL) {
            FreeLibrary(g_saver.hModule);
        }
        CloseSaverEventsLocked();
        return;
    }
    g_hWakeEvent = hWake;
    if (g_fSavePending) {
        g_fSavePending = FALSE;
        InterlockedExchange(&g_lSaveRequested, 1);
        EventModify(hWake, EVENT_SET);
    }
}

// Waits for the stopping saver thread to end, without the lock; entered and left under it. The
// last caller to see the end closes the handles and, if an instance started meanwhile, starts
// its saver, or answers the request of one that has ended as well.
static void WaitForSaverEndLocked(void) {
    const HANDLE hThread = g_saver.hThread;
    ++g_lStopWaiters;
    LeaveCriticalSection(&g_csSaver);
    WaitForSingleObject(hThread, INFINITE);
    EnterCriticalSection(&g_csSaver);
    if (--g_lStopWaiters != 0) {
        return;
    }
    CloseHandle(g_saver.hThread);
    g_saver.hThread = NULL;
    CloseSaverEventsLocked();
    if (g_lInstances > 0) {
        StartSaverLocked();
    } else if (g_fSavePending) {
        // The instance that asked during the stop has ended too, before any saver of its own
        // could answer: its snapshot is taken here, after its request, as a stop's last one is.
        g_fSavePending = FALSE;
        LeaveCriticalSection(&g_csSaver);
        EnterCriticalSection(&g_csSnapshot);
        SaveCurrentTime();
        LeaveCriticalSection(&g_csSnapshot);
        EnterCriticalSection(&g_csSaver);
    }
}

extern "C" BOOL StartSaver(void) {
    EnterCriticalSection(&g_csSaver);
    const BOOL fFirst = ++g_lInstances == 1;
    StartSaverLocked();
    LeaveCriticalSection(&g_csSaver);
    return fFirst;
}

extern "C" void RequestSave(void) {
    EnterCriticalSection(&g_csSaver);
    // Without a saver there is nobody to ask, and a failed EventModify would leave an error
    // code behind for the caller of a request that sets none.
    if (g_hWakeEvent != NULL) {
        InterlockedExchange(&g_lSaveRequested, 1);
        EventModify(g_hWakeEvent, EVENT_SET);
    } else if (g_saver.hThread != NULL && g_lInstances > 0) {
        g_fSavePending = TRUE;  // the saver that follows the stopping one answers it
    }
    LeaveCriticalSection(&g_csSaver);
}

extern "C" void NoteResume(void) {
    EnterCriticalSection(&g_csSaver);
    // A saver that starts later reads the clock as it starts.
    if (g_hWakeEvent != NULL) {
        InterlockedExchange(&g_lResumed, 1);
        EventModify(g_hWakeEvent, EVENT_SET);
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
    if (g_lInstances == 0 && g_hWakeEvent != NULL) {
        InterlockedExchange(&g_lStopRequested, 1);
        EventModify(g_hWakeEvent, EVENT_SET);
        g_hWakeEvent = NULL;
    }
    // Also when another caller began the stop: the last instance's stop returns only once no
    // saver thread runs.
    if (g_lInstances == 0 && g_saver.hThread != NULL) {
        WaitForSaverEndLocked();
    }
    LeaveCriticalSection(&g_csSaver);
    return TRUE;
}

extern "C" void ReadWholeSnapshot(STORE_RECORDS* pRecords) {
    EnterCriticalSection(&g_csSnapshot);
    ReadStore(pRecords);
    LeaveCriticalSection(&g_csSnapshot);
}
