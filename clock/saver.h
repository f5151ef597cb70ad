// The saver: one thread that snapshots the clock every five minutes and at once on request.
#ifndef TIMEWARD_CLOCK_SAVER_H
#define TIMEWARD_CLOCK_SAVER_H

#include "platform.h"

// The longest wait between two snapshots unless "TimewardInterval" says otherwise (interval.h).
static const DWORD SAVE_INTERVAL_MS = 300000;

// Any process that opens this event by name and sets it gets a snapshot at once. The driver
// asks for an auto-reset event; whatever kind another process created first, the saver leaves
// it reset after each wake. The driver's own requests and its stop never go through it, so a
// process that waits on it can take only what was asked by name.
#define SAVE_EVENT_NAME TEXT("SaveRTCEvent")

extern "C" {

// "SaveRTCEvent" while a saver holds it; NULL otherwise, and while a saver runs without it (the
// name is held by another kind of object, or cannot be opened). Guarded by the saver's lock
// (saver.cpp).
extern HANDLE g_hSaveEvent;

// Set up and tear down the saver's locks: once per process, before and after every other
// procedure here. DllMain does it on process attach and detach.
void InitSaverLock(void);
void DeleteSaverLock(void);

// The module the saver's code lives in. Each saver thread holds a reference to it from its
// start until it ends (FreeLibraryAndExitThread), so a FreeLibrary without RTC_Deinit cannot
// unmap the code under a running saver. DllMain sets it on process attach; a program that links
// the clock keeping sets none, and its savers hold nothing.
void SetSaverModule(HMODULE hModule);

// Counts one more initialised instance; TRUE when it is the first. The first starts the saver:
// creates its events and starts the saver thread. Without its private wake-up event the thread
// could not be stopped, so none is started, and the next instance to start tries again. An
// instance that starts while the last one's saver is being stopped gets a new saver as soon as
// the old thread has ended.
BOOL StartSaver(void);

// Wakes the saver, which takes a snapshot, and returns at once; the snapshot follows on the
// saver thread. Does nothing while no saver runs.
void RequestSave(void);

// A resume (D0 after a low-power state): the saver takes the clock as it now reads as where it
// runs from, without a snapshot, as the tick count stood still while the clock ran on. Returns at
// once; does nothing while no saver runs.
void NoteResume(void);

// Counts one initialised instance less. FALSE, and nothing changes, when no instance is
// counted. The last one makes the saver take one last snapshot, waits for its thread to end and
// closes the thread and the events; it returns only once no saver thread runs, so the module
// may be unloaded.
BOOL StopSaver(void);

// ReadStore, never while this process's saver is writing a snapshot: the store read is between
// two snapshots, never in the middle of one.
struct STORE_RECORDS;
void ReadWholeSnapshot(STORE_RECORDS* pRecords);

// The thread, given the saver's state: snapshots once an interval after the last one (the first
// within five minutes of its start), at once on a request, and at once when the clock is more
// than the restore margin from where the last snapshot says it runs, but for a set within a
// minute of the last one saved for a set, which waits until that minute is up; until the stop
// of StopSaver ends it after one last snapshot.
DWORD WINAPI SaveThreadProc(LPVOID pvSaver);

}  // extern "C"

#endif  // TIMEWARD_CLOCK_SAVER_H
