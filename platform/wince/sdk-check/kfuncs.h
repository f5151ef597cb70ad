// For compile checks off the device only: Windows CE 5.0's kfuncs.h, what the driver and
// timewardctl use, as the rows of docs/developers.md's table "The device's declarations" named
// beside each give it.
#ifndef TIMEWARD_SDK_CHECK_KFUNCS_H
#define TIMEWARD_SDK_CHECK_KFUNCS_H

#include "windef.h"

// Row EventModify.
#define EVENT_PULSE 1
#define EVENT_RESET 2
#define EVENT_SET 3

extern "C" BOOL WINAPI EventModify(HANDLE hEvent, DWORD func);

// Row SetEvent / ResetEvent / PulseEvent: inline calls of EventModify, which COREDLL exports
// and they are not.
inline BOOL PulseEvent(HANDLE h) {
    return EventModify(h, EVENT_PULSE);
}
inline BOOL ResetEvent(HANDLE h) {
    return EventModify(h, EVENT_RESET);
}
inline BOOL SetEvent(HANDLE h) {
    return EventModify(h, EVENT_SET);
}

#endif  // TIMEWARD_SDK_CHECK_KFUNCS_H
