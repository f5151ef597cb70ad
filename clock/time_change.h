// Time changes: the saver is woken whenever the system time is set, where the platform's
// notification subsystem can say so.
#ifndef TIMEWARD_CLOCK_TIME_CHANGE_H
#define TIMEWARD_CLOCK_TIME_CHANGE_H

#include "platform.h"

// The event the notification subsystem sets at every change of the system time. The driver's own
// name: no waiter on "SaveRTCEvent" can take these wakes.
#define TIME_CHANGE_EVENT_NAME TEXT("TimewardTimeChanged")

enum TIME_CHANGE_WATCH {
    TIME_CHANGES_UNWATCHED,   // not registered yet: the registration failed, or was never tried
    TIME_CHANGES_WATCHED,     // registered
    TIME_CHANGES_UNAVAILABLE  // the OS design has no notification subsystem
};

extern "C" {

// Asks the notification subsystem to set TIME_CHANGE_EVENT_NAME whenever the system time is set.
// The subsystem is an optional component, so its call is found at run time; where the core
// library lacks it, the debug output says so and the caller need not ask again. Called by the
// saver thread only: the subsystem may not be ready when the Device Manager loads built-in
// drivers, and start-up must not wait for it.
TIME_CHANGE_WATCH WatchTimeChanges(void);

// Whether the core library has the notification subsystem's call, as WatchTimeChanges finds it.
BOOL TimeChangesAvailable(void);

// Removes the registration that WatchTimeChanges made.
void UnwatchTimeChanges(void);

}  // extern "C"

#endif  // TIMEWARD_CLOCK_TIME_CHANGE_H
