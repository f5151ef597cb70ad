// The saver: one thread that snapshots the clock every five minutes and at once on request.
#ifndef TIMEWARD_CLOCK_SAVER_H
#define TIMEWARD_CLOCK_SAVER_H

#include "platform.h"

// The longest wait between two snapshots.
static const DWORD SAVE_INTERVAL_MS = 300000;

// Any process that opens this auto-reset event by name and sets it gets a snapshot at once.
#define SAVE_EVENT_NAME TEXT("SaveRTCEvent")

extern "C" {

// The save event; NULL while no saver runs.
extern HANDLE g_hSaveEvent;

// Creates the save event and starts the saver thread. Does nothing while a saver runs. Without
// an event the thread could only spin, so none is started; the next start tries again.
void StartSaver(void);

// Sets the save event and returns at once; the snapshot follows on the saver thread.
void RequestSave(void);

// Makes the saver take one last snapshot, waits for its thread to end, and closes the
// thread and the event. After it no driver code runs on the saver thread, so the module may
// be unloaded. Does nothing while no saver runs.
void StopSaver(void);

// TRUE while a saver thread runs.
BOOL IsSaverRunning(void);

// The thread: waits up to SAVE_INTERVAL_MS for the save event, then snapshots, for ever,
// until StopSaver ends it.
DWORD WINAPI SaveThreadProc(LPVOID pvUnused);

}  // extern "C"

#endif  // TIMEWARD_CLOCK_SAVER_H
