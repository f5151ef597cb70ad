// The start-up check: the switch, the saver, and the restore of a clock that fell back.
#ifndef TIMEWARD_CLOCK_STARTUP_H
#define TIMEWARD_CLOCK_STARTUP_H

#include "platform.h"

// A snapshot must be later than the clock by more than this to be restored.
static const DWORD RESTORE_MARGIN_SECONDS = 300;

// The device context of every initialised instance.
static const DWORD DEVICE_CONTEXT = 1;

extern "C" {

// The work of RTC_Init. Returns 0 when "TimewardImplemented" is 1 (nothing is started), else
// sets the clock to the newest whole record in the store if that is more than
// RESTORE_MARGIN_SECONDS later than the clock, or, if none is, to the floor (floor.h) if the
// clock is earlier than that; then counts the instance with the saver (the first starts it), and
// returns DEVICE_CONTEXT, with *pfFirstInstance (unless NULL) TRUE when no other instance was
// counted. The clock is only ever moved forward.
DWORD StartClockKeeping(BOOL* pfFirstInstance);

// The start-up check's decision on a snapshot: converts the clock reading, then the snapshot,
// with SecondsSince1961 (in place: a year below 1961 becomes 1961), stores both counts, and
// returns TRUE when the snapshot's count exceeds the clock's plus RESTORE_MARGIN_SECONDS, in
// unsigned 32-bit arithmetic. Tools that foretell the next start ask this too, so that they
// cannot disagree with it.
BOOL RestoreIsDue(SYSTEMTIME* pstSaved, SYSTEMTIME* pstNow, DWORD* pdwSavedSeconds,
                  DWORD* pdwNowSeconds);

}  // extern "C"

#endif  // TIMEWARD_CLOCK_STARTUP_H
