// Checks a scenario's expectations against the device.
#ifndef TIMEWARD_SIM_EXPECT_H
#define TIMEWARD_SIM_EXPECT_H

#include <timeward_backend.h>

#include <optional>

#include "scenario.h"

namespace tws {

// The expectations, one for each step that checks: about the clock, the stored snapshot or the
// switch, as the status model reads the key flushed to the hive; or about the driver's debug
// lines, counted from the boot. `clock` is the system clock while the device is on, the
// real-time clock while it is off. A failure is said on the console with what was expected and
// what was seen.
bool ExpectClock(const Step& s, const SYSTEMTIME& clock);
bool ExpectClockAtSnapshot(const Step& s, const SYSTEMTIME& clock);
bool ExpectSnapshot(const Step& s, const SYSTEMTIME& clock);
bool ExpectSwitch(const Step& s, const SYSTEMTIME& clock);
bool ExpectLine(const Step& s, const SYSTEMTIME& clock);
bool ExpectNoLine(const Step& s, const SYSTEMTIME& clock);
// About the exit status of the ctl step just before it, as noted in this process.
bool ExpectCtlExit(const Step& s, const SYSTEMTIME& clock);

// The exit status of the last ctl step played in this process; none when it did not end (the
// power went in it, or it could not start).
void NoteCtlExit(std::optional<int> status);

}  // namespace tws

#endif  // TIMEWARD_SIM_EXPECT_H
