// The saver: one thread that snapshots the clock every five minutes and at once on request.
#ifndef TIMEWARD_CLOCK_SAVER_H
#define TIMEWARD_CLOCK_SAVER_H

#include "platform.h"

// The longest wait between two snapshots.
static const DWORD SAVE_INTERVAL_MS = 300000;

// Any process that opens this event by name and sets it gets a snapshot at once. The driver
// asks for an auto-reset event; whatever kind another process created first, the saver leaves
// it reset after each wake.
#define SAVE_EVENT_NAME TEXT("SaveRTCEvent")

extern "C" {

// The save event while a saver runs and its stop has not begun; NULL otherwise. Guarded by the
// saver's lock (saver.cpp).
extern HANDLE g_hSaveEvent;

// Set up and tear down the saver's lock: once per process, before and after every other
// procedure here. DllMain does it on process attach and detach.
void InitSaverLock(void);
void DeleteSaverLock(void);

// Counts one more initialised instance. The first starts the saver: creates the save event and
// starts the saver thread. Without an event the thread could only spin, so none is started;
// the next instance to start tries again. An instance that starts while the last one's saver
// is being stopped gets a new saver as soon as the old thread has ended.
void StartSaver(void);

// Sets the save event and returns at once; the snapshot follows on the saver thread. Does
// nothing while no saver runs.
void RequestSave(void);

// Counts one initialised instance less. FALSE, and nothing changes, when no instance is
// counted. The last one makes the saver take one last snapshot, waits for its thread to end and
// closes the thread and the event; it returns only once no saver thread runs, so the module may
// be unloaded.
BOOL StopSaver(void);

// TRUE while a saver thread exists and its stop has not begun.
BOOL IsSaverRunning(void);

// The thread, given the save event: waits up to SAVE_INTERVAL_MS for the event, then
// snapshots, until the stop of StopSaver ends it after one last snapshot.
DWORD WINAPI SaveThreadProc(LPVOID pvSaveEvent);

}  // extern "C"

#endif  // TIMEWARD_CLOCK_SAVER_H
